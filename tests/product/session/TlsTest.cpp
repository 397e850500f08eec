// Sessions over TLS against a peer thread on 127.0.0.1, the rule that plain
// TCP stays on loopback, and a peer's close leaving the socket to its owner.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "TestCerts.h"
#include "TestPeer.h"
#include "TqMessages.h"
#include "TqSession.h"
#include "session/TqWire.h"

namespace sessiontest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kShortWait = 3;   // 60 ms
constexpr int kLongWait = 250;  // 5 s
// A refused attach must end well within the attach wait.
constexpr int64_t kFailFastMs = 2000;

int64_t msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A promise the test keeps to let a peer go on; the peer waits boundedly.
struct Signal {
    std::promise<void> promise;
    std::shared_future<void> future = promise.get_future().share();
    void raise() { promise.set_value(); }
    void await() const { future.wait_for(std::chrono::milliseconds(kPeerWaitMs)); }
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

CYxError attach(CTqNetwork& session, const std::string& host) {
    tqsExecuteRemoteDllType service = indexService();
    bool timedOut = false;
    return session.Attach_RemoteDLL(host.c_str(), &service, "clientA", kLongWait, timedOut);
}

CYxError sendPrune(CTqNetwork& session, int64_t archiveFileId) {
    tqmsg::AfPruneReq prune{};
    prune.cloudId = 3;
    prune.archiveFileId = archiveFileId;
    tqsDatabuf_v2 body;
    body.setExternalBuffer(reinterpret_cast<char*>(&prune), sizeof prune);
    bool timedOut = false;
    return session.SendXDRMessage(tqmsg::kAfPruneReq, &body, 0, -1, timedOut);
}

// An erase request and the buffer that sends it; its answer lands there too.
struct EraseExchange {
    char path[8] = "/data/x";
    tqmsg::EraseDataReq request{};
    tqsDatabuf_v2 body;
    unsigned long code = 0;

    EraseExchange() {
        request.vornCellNumber = 2;
        request.path = path;
        body.setExternalBuffer(reinterpret_cast<char*>(&request), sizeof request + sizeof path);
    }
    CYxError send(CTqNetwork& session) {
        bool timedOut = false;
        return session.SendXDRMessage(tqmsg::kEraseDataReq, &body, 0, -1, timedOut);
    }
    CYxError receive(CTqNetwork& session) {
        bool timedOut = false;
        return session.ReceiveXDRMessage(&code, &body, nullptr, 0, kLongWait, timedOut);
    }
};

// One cell authority with a server certificate for 127.0.0.1 and a host
// certificate, and the certificates that must be refused.
class Cell {
public:
    Cell() {
        certs.authority("cell");
        certs.authority("other");
        server = certs.security("cell", certs.issue("cell", "server", "IP:127.0.0.1"));
        host = certs.security("cell", certs.issue("cell", "host", "DNS:host.cell"));
        expiredHost =
            certs.security("cell", certs.issue("cell", "expired-host", "DNS:host.cell", -10, -1));
        // Trusts the cell's servers but carries a certificate of another authority.
        foreignHost = certs.security("other", certs.issue("other", "foreign-host", "DNS:x"));
        foreignHost.authority = server.authority;
        serverOfAnotherHost =
            certs.security("cell", certs.issue("cell", "elsewhere", "DNS:ci.elsewhere"));
        hostWithoutCertificate.authority = server.authority;
    }

    TestCerts certs;
    tqsession::Security server, host, expiredHost, foreignHost, serverOfAnotherHost,
        hostWithoutCertificate;
};

Cell& cell() {
    static Cell made;
    return made;
}

TEST(TlsSession, ValidPairCarriesAnEraseExchangeAndClosesGracefully) {
    TestPeer peer(cell().server);
    ASSERT_TRUE(peer.listening());
    bool secure = false;
    peer.run([&secure](tqsession::Connection& connection) {
        acceptHello(connection);
        secure = connection.isSecure();
        uint32_t code = 0;
        uint32_t wireLength = 0;
        tqsDatabuf_v2 body;
        bool timedOut = false;
        ASSERT_FALSE(
            connection.receiveMessage(code, body, wireLength, peerDeadline(), timedOut).IsError());
        ASSERT_EQ(code, tqmsg::kEraseDataReq);
        tqmsg::EraseDataResp response{};
        response.status = 1;
        ASSERT_FALSE(connection
                         .sendMessage(tqmsg::kEraseDataResp, reinterpret_cast<char*>(&response),
                                      sizeof response, peerDeadline(), timedOut)
                         .IsError());
        EXPECT_EQ(countFramesUntilClosed(connection), 0);
    });
    ScopedSecurityEnvironment environment(cell().host);
    CTqNetwork session;
    ASSERT_FALSE(attach(session, peer.hostPort()).IsError());

    EraseExchange erase;
    ASSERT_FALSE(erase.send(session).IsError());
    ASSERT_FALSE(erase.receive(session).IsError());
    EXPECT_EQ(erase.code, tqmsg::kEraseDataResp);
    tqmsg::EraseDataResp response{};
    std::memcpy(&response, erase.body.getDataBuffer(), sizeof response);
    EXPECT_EQ(response.status, 1);
    bool timedOut = false;
    EXPECT_FALSE(session.Disconnect(kLongWait, timedOut).IsError());
    peer.join();
    EXPECT_TRUE(secure);
}

TEST(TlsSession, LargeAndManyFramesArriveWholeAndInOrder) {
    constexpr int kFrames = 3000;
    const size_t largest = tqsession::kMaxBodyLength - 4;
    int arrived = 0;
    bool inOrder = true;
    TestPeer peer(cell().server);
    peer.run([&](tqsession::Connection& connection) {
        acceptHello(connection);
        uint32_t code = 0;
        uint32_t wireLength = 0;
        tqsDatabuf_v2 body;
        bool timedOut = false;
        ASSERT_FALSE(
            connection.receiveMessage(code, body, wireLength, peerDeadline(), timedOut).IsError());
        ASSERT_EQ(body.getValidLen(), largest);
        for (size_t i = 0; i < largest; i += 4093) {
            ASSERT_EQ(body.getDataBuffer()[i], static_cast<char>(i * 7)) << "byte " << i;
        }
        for (;;) {
            CYxError result =
                connection.receiveMessage(code, body, wireLength, peerDeadline(), timedOut);
            if (result.IsError()) {
                EXPECT_EQ(result.Code(), tqerr::kPeerClosed) << result.AsString();
                return;
            }
            tqmsg::AfPruneReq prune;
            std::memcpy(&prune, body.getDataBuffer(), sizeof prune);
            inOrder = inOrder && prune.archiveFileId == arrived;
            ++arrived;
        }
    });
    ScopedSecurityEnvironment environment(cell().host);
    CTqNetwork session;
    ASSERT_FALSE(attach(session, peer.hostPort()).IsError());
    std::vector<char> payload(largest);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<char>(i * 7);
    }
    tqsDatabuf_v2 body;
    body.setExternalBuffer(payload.data(), payload.size());
    bool timedOut = false;
    ASSERT_FALSE(session.SendXDRMessage(0x0E0007FF, &body, 0, -1, timedOut).IsError());
    for (int frame = 0; frame < kFrames; ++frame) {
        ASSERT_FALSE(sendPrune(session, frame).IsError());
    }
    EXPECT_FALSE(session.Disconnect(kLongWait, timedOut).IsError());
    peer.join();
    EXPECT_EQ(arrived, kFrames);
    EXPECT_TRUE(inOrder);
}

TEST(TlsSession, ReceiveTimeoutKeepsTheSession) {
    Signal go;
    TestPeer peer(cell().server);
    peer.run([&go](tqsession::Connection& connection) {
        acceptHello(connection);
        go.await();
        tqmsg::EraseDataResp response{};
        bool timedOut = false;
        EXPECT_FALSE(connection
                         .sendMessage(tqmsg::kEraseDataResp, reinterpret_cast<char*>(&response),
                                      sizeof response, peerDeadline(), timedOut)
                         .IsError());
        countFramesUntilClosed(connection);
    });
    ScopedSecurityEnvironment environment(cell().host);
    CTqNetwork session;
    ASSERT_FALSE(attach(session, peer.hostPort()).IsError());
    unsigned long code = 0;
    tqsDatabuf_v2 body;
    bool timedOut = false;
    const auto start = Clock::now();
    EXPECT_EQ(session.ReceiveXDRMessage(&code, &body, nullptr, 0, kShortWait, timedOut).Code(),
              tqerr::kTimedOut);
    EXPECT_TRUE(timedOut);
    EXPECT_LT(msSince(start), 1000);
    go.raise();
    EXPECT_FALSE(
        session.ReceiveXDRMessage(&code, &body, nullptr, 0, kLongWait, timedOut).IsError());
    EXPECT_EQ(code, tqmsg::kEraseDataResp);
    EXPECT_FALSE(session.Disconnect(kLongWait, timedOut).IsError());
}

struct RefusalCase {
    const char* name;
    tqsession::Security Cell::*client;
    tqsession::Security Cell::*server;
    const char* clientReason;  // in the attach error
};

class TlsRefusal : public ::testing::TestWithParam<RefusalCase> {};

// Every refusal ends the attach fast with the reason in the error, and the
// server sees a TLS failure rather than a hello.
TEST_P(TlsRefusal, AttachFailsWithTheReason) {
    const RefusalCase& refusal = GetParam();
    CYxError peerResult;
    TestPeer peer(cell().*refusal.server);
    peer.run([&peerResult](tqsession::Connection& connection) {
        tqsession::Hello hello;
        bool timedOut = false;
        peerResult = tqsession::receiveHello(connection, hello, peerDeadline(), timedOut);
    });
    ScopedSecurityEnvironment environment(cell().*refusal.client);
    CTqNetwork session;
    const auto start = Clock::now();
    const CYxError result = attach(session, peer.hostPort());
    EXPECT_LT(msSince(start), kFailFastMs);
    EXPECT_EQ(result.Code(), tqerr::kSecurity) << result.AsString();
    EXPECT_TRUE(contains(result.AsString(), refusal.clientReason)) << result.AsString();
    peer.join();
    EXPECT_EQ(peerResult.Code(), tqerr::kSecurity) << peerResult.AsString();
    EXPECT_EQ(sendPrune(session, 1).Code(), tqerr::kNotAttached);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TlsRefusal,
    ::testing::Values(RefusalCase{"ClientWithoutCertificate", &Cell::hostWithoutCertificate,
                                  &Cell::server, "certificate required"},
                      RefusalCase{"ClientOfAnotherAuthority", &Cell::foreignHost, &Cell::server,
                                  "unknown ca"},
                      RefusalCase{"ExpiredClientCertificate", &Cell::expiredHost, &Cell::server,
                                  "certificate expired"},
                      RefusalCase{"ServerNamingAnotherHost", &Cell::host,
                                  &Cell::serverOfAnotherHost, "IP address mismatch"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

TEST(TlsMismatch, PlainClientAndTlsServerBothSayWhyAtOnce) {
    CYxError peerResult;
    TestPeer peer(cell().server);
    peer.run([&peerResult](tqsession::Connection& connection) {
        tqsession::Hello hello;
        bool timedOut = false;
        peerResult = tqsession::receiveHello(connection, hello, peerDeadline(), timedOut);
    });
    CTqNetwork session;
    const auto start = Clock::now();
    const CYxError result = attach(session, peer.hostPort());
    EXPECT_LT(msSince(start), kFailFastMs);
    EXPECT_TRUE(result.IsError());
    EXPECT_TRUE(contains(result.AsString(), "peer speaks TLS")) << result.AsString();
    peer.join();
    EXPECT_EQ(peerResult.Code(), tqerr::kSecurity);
    EXPECT_TRUE(contains(peerResult.AsString(), "peer does not speak TLS"))
        << peerResult.AsString();
}

TEST(TlsMismatch, TlsClientAndPlainServerBothSayWhyAtOnce) {
    CYxError peerResult;
    TestPeer peer{tqsession::Security()};
    peer.run([&peerResult](tqsession::Connection& connection) {
        tqsession::Hello hello;
        bool timedOut = false;
        peerResult = tqsession::receiveHello(connection, hello, peerDeadline(), timedOut);
    });
    ScopedSecurityEnvironment environment(cell().host);
    CTqNetwork session;
    const auto start = Clock::now();
    const CYxError result = attach(session, peer.hostPort());
    EXPECT_LT(msSince(start), kFailFastMs);
    EXPECT_EQ(result.Code(), tqerr::kSecurity) << result.AsString();
    EXPECT_TRUE(contains(result.AsString(), "peer does not speak TLS")) << result.AsString();
    peer.join();
    EXPECT_EQ(peerResult.Code(), tqerr::kSecurity);
    EXPECT_TRUE(contains(peerResult.AsString(), "peer speaks TLS")) << peerResult.AsString();
}

// 192.0.2.1 (TEST-NET-1) is never contacted: the refusal comes before any
// socket exists, so it is immediate.
TEST(PlainPolicy, DialBeyondLoopbackIsRefusedWithoutConnecting) {
    CTqNetwork session;
    const auto start = Clock::now();
    const CYxError result = attach(session, "192.0.2.1:8403");
    EXPECT_LT(msSince(start), 100);
    EXPECT_EQ(result.Code(), tqerr::kSecurity) << result.AsString();
    EXPECT_TRUE(contains(result.AsString(), "TLS is not configured")) << result.AsString();
    EXPECT_TRUE(contains(result.AsString(), "192.0.2.1:8403 is not on loopback"))
        << result.AsString();
}

TEST(PlainPolicy, ListeningBeyondLoopbackIsRefusedAndBadFilesShowAtOnce) {
    int fd = -1;
    uint16_t port = 0;
    for (const char* everywhere : {"0.0.0.0", "::"}) {
        const CYxError result =
            tqsession::listenTcp(everywhere, 0, tqsession::Security(), fd, port);
        EXPECT_EQ(result.Code(), tqerr::kSecurity) << everywhere << ": " << result.AsString();
    }
    EXPECT_EQ(tqsession::listenTcp(nullptr, 0, tqsession::Security(), fd, port).Code(),
              tqerr::kSecurity);

    tqsession::Security missing = cell().server;
    missing.certificate += ".missing";
    const CYxError unreadable = tqsession::listenTcp("127.0.0.1", 0, missing, fd, port);
    EXPECT_EQ(unreadable.Code(), tqerr::kSecurity);
    EXPECT_TRUE(contains(unreadable.AsString(), "cannot read certificate"))
        << unreadable.AsString();
    tqsession::Security serverWithoutKey;
    serverWithoutKey.authority = cell().server.authority;
    EXPECT_EQ(tqsession::listenTcp("127.0.0.1", 0, serverWithoutKey, fd, port).Code(),
              tqerr::kSecurity);

    // A client's bad files fail before any address is dialled.
    tqsession::Connection connection;
    tqsession::HostPort target{"192.0.2.1", 8403};
    bool timedOut = false;
    const auto start = Clock::now();
    EXPECT_EQ(
        connection.connect(target, missing, tqsession::Deadline::afterMs(5000), timedOut).Code(),
        tqerr::kSecurity);
    EXPECT_LT(msSince(start), 100);
}

// The peer sees the client's close at a frame boundary while its socket stays
// open, so the client's graceful close waits until the peer has finished.
class PeerClose : public ::testing::TestWithParam<bool> {};

// What the peer does between the client's close and its own.
constexpr int kPeerWorkMs = 300;

TEST_P(PeerClose, LeavesTheSocketToItsOwnerSoDisconnectWaitsForIt) {
    const bool tls = GetParam();
    bool openAfterClose = false;
    TestPeer peer(tls ? cell().server : tqsession::Security());
    peer.run([&openAfterClose](tqsession::Connection& connection) {
        acceptHello(connection);
        EXPECT_EQ(countFramesUntilClosed(connection), 2);
        openAfterClose = connection.isOpen();
        tqsession::Frame frame;
        bool timedOut = false;
        EXPECT_EQ(connection.receiveFrame(frame, peerDeadline(), timedOut).Code(),
                  tqerr::kPeerClosed);
        std::this_thread::sleep_for(std::chrono::milliseconds(kPeerWorkMs));
        connection.closeNow();
    });
    std::unique_ptr<ScopedSecurityEnvironment> environment;
    if (tls) {
        environment = std::make_unique<ScopedSecurityEnvironment>(cell().host);
    }
    CTqNetwork session;
    ASSERT_FALSE(attach(session, peer.hostPort()).IsError());
    ASSERT_FALSE(sendPrune(session, 1).IsError());
    ASSERT_FALSE(sendPrune(session, 2).IsError());
    bool timedOut = false;
    const auto start = Clock::now();
    EXPECT_FALSE(session.Disconnect(kLongWait, timedOut).IsError());
    EXPECT_GE(msSince(start), kPeerWorkMs - 50);
    peer.join();
    EXPECT_TRUE(openAfterClose);
}

INSTANTIATE_TEST_SUITE_P(Transports, PeerClose, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Tls" : "Plain";
                         });

// A server that closed an idle session costs the host nothing: the next send
// attaches again as the first attach did and goes out on the new connection.
// A connection that breaks with a request in flight fails that call, and
// nothing is sent again.
class IdleClose : public ::testing::TestWithParam<bool> {};

TEST_P(IdleClose, NextSendAttachesAgainButARequestInFlightIsNotResent) {
    const bool tls = GetParam();
    Signal idleClosed;
    int connections = 0;
    std::string secondName;
    TestPeer peer(tls ? cell().server : tqsession::Security());
    peer.run(
        [&](tqsession::Connection& connection) {
            const tqsession::Hello hello = acceptHello(connection);
            if (++connections == 1) {
                connection.closeNow();
                idleClosed.raise();
                return;
            }
            secondName = hello.localName;
            tqsession::Frame frame;
            bool timedOut = false;
            for (const uint32_t expected : {tqmsg::kAfPruneReq, tqmsg::kEraseDataReq}) {
                ASSERT_FALSE(connection.receiveFrame(frame, peerDeadline(), timedOut).IsError());
                EXPECT_EQ(frame.code, expected);
            }
            connection.closeNow();  // the erase stays unanswered
        },
        2);
    std::unique_ptr<ScopedSecurityEnvironment> environment;
    if (tls) {
        environment = std::make_unique<ScopedSecurityEnvironment>(cell().host);
    }
    CTqNetwork session;
    ASSERT_FALSE(attach(session, peer.hostPort()).IsError());
    idleClosed.await();
    // The close travels, and the session looks for it only once it was idle.
    std::this_thread::sleep_for(tqsession::Connection::kIdleBeforeCheck +
                                std::chrono::milliseconds(100));
    ASSERT_FALSE(sendPrune(session, 1).IsError());

    EraseExchange erase;
    ASSERT_FALSE(erase.send(session).IsError());
    EXPECT_EQ(erase.receive(session).Code(), tqerr::kPeerClosed);
    EXPECT_EQ(sendPrune(session, 2).Code(), tqerr::kPeerClosed);
    peer.join();
    EXPECT_EQ(secondName, "clientA");
    EXPECT_FALSE(peer.connectionWaiting());
}

INSTANTIATE_TEST_SUITE_P(Transports, IdleClose, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Tls" : "Plain";
                         });

}  // namespace
}  // namespace sessiontest
