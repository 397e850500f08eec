// CTqNetwork against a peer thread on the loopback address.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <future>
#include <vector>

#include "GoldenVectors.h"
#include "TestPeer.h"
#include "TqMessages.h"
#include "TqSession.h"
#include "session/TqWire.h"

namespace sessiontest {
namespace {

using Clock = std::chrono::steady_clock;

// Waits for the tests, in units of kTestWaitUnitMs.
constexpr int kShortWait = 3;   // 60 ms: for waits that are meant to run out
constexpr int kLongWait = 250;  // 5 s: for waits that must not

int64_t msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

CYxError attachTo(CTqNetwork& session, const std::string& host,
                  tqsExecuteRemoteDllType service = indexService()) {
    bool timedOut = false;
    CYxError result =
        session.Attach_RemoteDLL(host.c_str(), &service, "clientA", kLongWait, timedOut);
    EXPECT_FALSE(timedOut);
    return result;
}

template <typename Record>
CYxError sendRecord(CTqNetwork& session, unsigned long code, Record& record,
                    unsigned long length = sizeof(Record)) {
    tqsDatabuf_v2 body;
    body.setExternalBuffer(reinterpret_cast<char*>(&record), length);
    bool timedOut = false;
    return session.SendXDRMessage(code, &body, 0, -1, timedOut);
}

CYxError receive(CTqNetwork& session, unsigned long& code, tqsDatabuf_v2& body, int wait,
                 bool& timedOut) {
    return session.ReceiveXDRMessage(&code, &body, nullptr, 0, wait, timedOut);
}

// A promise the test keeps to let a peer go on; the peer waits boundedly.
struct Signal {
    std::promise<void> promise;
    std::shared_future<void> future = promise.get_future().share();
    void raise() { promise.set_value(); }
    void await() const { future.wait_for(std::chrono::milliseconds(kPeerWaitMs)); }
};

std::string frameBytes(unsigned long code, const std::string& body) {
    unsigned char header[tqsession::kFrameHeaderSize];
    tqsession::encodeFrameHeader(static_cast<uint32_t>(code), static_cast<uint32_t>(body.size()),
                                 header);
    return std::string(reinterpret_cast<char*>(header), sizeof header) + body;
}

TEST(SessionAttach, EraseExchangeFollowsPathAndAnswersIntoTheRequest) {
    TestPeer peer;
    peer.run([](tqsession::Connection& connection) {
        const tqsession::Hello hello = acceptHello(connection);
        EXPECT_EQ(hello.library, tqmsg::kRemoteIndexLibrary);
        EXPECT_EQ(hello.entry, tqmsg::kRemoteIndexEntry);
        EXPECT_EQ(hello.localName, "clientA");

        uint32_t code = 0;
        uint32_t wireLength = 0;
        tqsDatabuf_v2 body;
        bool timedOut = false;
        ASSERT_FALSE(
            connection.receiveMessage(code, body, wireLength, peerDeadline(), timedOut).IsError());
        EXPECT_EQ(code, tqmsg::kEraseDataReq);
        ASSERT_TRUE(body.ownsData());
        ASSERT_EQ(body.getValidLen(), sizeof(tqmsg::EraseDataReq) + sizeof "/data/erase");
        tqmsg::EraseDataReq request;
        std::memcpy(&request, body.getDataBuffer(), sizeof request);
        EXPECT_EQ(request.path, body.getDataBuffer() + sizeof request);
        EXPECT_STREQ(request.path, "/data/erase");
        EXPECT_EQ(request.clientId, 5);

        auto response = goldenEraseResponse();
        EXPECT_FALSE(connection
                         .sendMessage(tqmsg::kEraseDataResp, reinterpret_cast<char*>(&response),
                                      sizeof response, peerDeadline(), timedOut)
                         .IsError());
        countFramesUntilClosed(connection);
    });

    CTqNetwork session;
    ASSERT_FALSE(attachTo(session, peer.hostPort()).IsError());
    char path[] = "/data/erase";
    tqmsg::EraseDataReq request{};
    request.clientId = 5;
    request.path = path;
    tqsDatabuf_v2 body;
    body.setExternalBuffer(reinterpret_cast<char*>(&request), sizeof request + sizeof path);
    bool timedOut = false;
    ASSERT_FALSE(session.SendXDRMessage(tqmsg::kEraseDataReq, &body, 0, -1, timedOut).IsError());

    unsigned long code = 0;
    tqsHostProtocolHeader header{};
    ASSERT_FALSE(
        session.ReceiveXDRMessage(&code, &body, &header, 0, kLongWait, timedOut).IsError());
    EXPECT_EQ(code, tqmsg::kEraseDataResp);
    EXPECT_EQ(header.messageCode, tqmsg::kEraseDataResp);
    EXPECT_EQ(header.bodyLength, 32u);
    EXPECT_FALSE(body.ownsData());
    EXPECT_EQ(body.getValidLen(), 32u);
    const auto expected = goldenEraseResponse();
    EXPECT_EQ(std::memcmp(&request, &expected, sizeof expected), 0);
    EXPECT_STREQ(path, "/data/erase");
    EXPECT_FALSE(session.FreeReceivedMessage(code, &body).IsError());
    EXPECT_FALSE(session.Disconnect(kLongWait, timedOut).IsError());
}

TEST(SessionAttach, RefusalCarriesThePeersReason) {
    TestPeer peer;
    peer.run([](tqsession::Connection& connection) {
        tqsession::Hello hello;
        bool timedOut = false;
        ASSERT_FALSE(
            tqsession::receiveHello(connection, hello, peerDeadline(), timedOut).IsError());
        EXPECT_EQ(hello.library, "libOther");
        EXPECT_FALSE(tqsession::sendRefuse(connection, "no service libOther/entryOther here",
                                           peerDeadline(), timedOut)
                         .IsError());
        countFramesUntilClosed(connection);
    });
    CTqNetwork session;
    const CYxError result =
        attachTo(session, peer.hostPort(), serviceNamed("libOther", "entryOther"));
    EXPECT_EQ(result.Code(), tqerr::kServiceRefused);
    EXPECT_NE(result.AsString().find("no service libOther/entryOther here"), std::string::npos);
    auto prune = goldenPrune();
    EXPECT_EQ(sendRecord(session, tqmsg::kAfPruneReq, prune).Code(), tqerr::kNotAttached);
}

TEST(SessionAttach, ClosedPortIsRefusedQuickly) {
    const std::string host = "127.0.0.1:" + std::to_string(closedPort());
    CTqNetwork session;
    const auto start = Clock::now();
    const CYxError result = attachTo(session, host);
    EXPECT_EQ(result.Code(), tqerr::kConnectionRefused);
    EXPECT_NE(result.AsString().find(host), std::string::npos) << result.AsString();
    EXPECT_LT(msSince(start), 1000);
}

TEST(SessionAttach, SilentPeerRunsTheWaitOut) {
    Signal release;
    TestPeer peer;
    peer.run([&release](tqsession::Connection& connection) {
        tqsession::Hello hello;
        bool timedOut = false;
        EXPECT_FALSE(
            tqsession::receiveHello(connection, hello, peerDeadline(), timedOut).IsError());
        release.await();
    });
    CTqNetwork session;
    tqsExecuteRemoteDllType service = indexService();
    bool timedOut = false;
    const auto start = Clock::now();
    const CYxError result =
        session.Attach_RemoteDLL(peer.hostPort().c_str(), &service, "clientA", 5, timedOut);
    const int64_t elapsed = msSince(start);
    release.raise();
    EXPECT_EQ(result.Code(), tqerr::kTimedOut);
    EXPECT_TRUE(timedOut);
    EXPECT_GE(elapsed, 90);
    EXPECT_LT(elapsed, 2000);
}

TEST(SessionAttach, ReattachClosesTheOldConnectionFirst) {
    Signal firstClosed;
    TestPeer first;
    first.run([&firstClosed](tqsession::Connection& connection) {
        acceptHello(connection);
        EXPECT_EQ(countFramesUntilClosed(connection), 0);
        firstClosed.raise();
    });
    TestPeer second;
    second.run([](tqsession::Connection& connection) {
        acceptHello(connection);
        EXPECT_EQ(countFramesUntilClosed(connection), 0);
    });
    CTqNetwork session;
    ASSERT_FALSE(attachTo(session, first.hostPort()).IsError());
    ASSERT_FALSE(attachTo(session, second.hostPort()).IsError());
    EXPECT_EQ(firstClosed.future.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    bool timedOut = false;
    EXPECT_FALSE(session.Disconnect(kLongWait, timedOut).IsError());
}

TEST(SessionAttach, Ipv6LoopbackInBrackets) {
    TestPeer peer("::1");
    if (!peer.listening()) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    peer.run([](tqsession::Connection& connection) {
        acceptHello(connection);
        EXPECT_EQ(countFramesUntilClosed(connection), 1);
    });
    CTqNetwork session;
    ASSERT_FALSE(attachTo(session, peer.hostPort()).IsError());
    auto prune = goldenPrune();
    EXPECT_FALSE(sendRecord(session, tqmsg::kAfPruneReq, prune).IsError());
    bool timedOut = false;
    EXPECT_FALSE(session.Disconnect(kLongWait, timedOut).IsError());
}

// The peer checks the exact bytes: header and body of the prune request read
// raw, then the bodies of the other codecs.
TEST(SessionWire, EveryCodecSendsItsGoldenBytes) {
    TestPeer peer;
    peer.run([](tqsession::Connection& connection) {
        acceptHello(connection);
        EXPECT_EQ(readExactly(connection.fd(), 16 + 44), kGoldenPruneHeader + kGoldenPruneBody);
        const std::pair<uint32_t, std::string> expected[] = {
            {tqmsg::kEraseDataReq, kGoldenEraseRequestBody},
            {tqmsg::kEraseDataResp, kGoldenEraseResponseBody},
            {static_cast<uint32_t>(kOtherCode), kGoldenOpaqueBody}};
        for (const auto& [code, body] : expected) {
            tqsession::Frame frame;
            bool timedOut = false;
            ASSERT_FALSE(connection.receiveFrame(frame, peerDeadline(), timedOut).IsError());
            EXPECT_EQ(frame.code, code);
            EXPECT_EQ(std::string(frame.body, frame.bodyLength), body);
        }
        // And back: the client decodes the golden prune body.
        writeAll(connection.fd(), frameBytes(tqmsg::kAfPruneReq, kGoldenPruneBody));
        countFramesUntilClosed(connection);
    });
    CTqNetwork session;
    ASSERT_FALSE(attachTo(session, peer.hostPort()).IsError());
    auto prune = goldenPrune();
    auto request = goldenEraseRequest();
    auto response = goldenEraseResponse();
    char opaque[] = "hello";
    ASSERT_FALSE(sendRecord(session, tqmsg::kAfPruneReq, prune).IsError());
    ASSERT_FALSE(sendRecord(session, tqmsg::kEraseDataReq, request, sizeof request + 4).IsError());
    ASSERT_FALSE(sendRecord(session, tqmsg::kEraseDataResp, response).IsError());
    ASSERT_FALSE(sendRecord(session, kOtherCode, opaque, 5).IsError());

    unsigned long code = 0;
    tqsDatabuf_v2 body;
    bool timedOut = false;
    ASSERT_FALSE(receive(session, code, body, kLongWait, timedOut).IsError());
    EXPECT_EQ(code, tqmsg::kAfPruneReq);
    ASSERT_EQ(body.getValidLen(), sizeof prune);
    EXPECT_EQ(std::memcmp(body.getDataBuffer(), &prune, sizeof prune), 0);
    EXPECT_FALSE(session.FreeReceivedMessage(code, &body).IsError());
    EXPECT_FALSE(body.ownsData());
    EXPECT_FALSE(session.Disconnect(kLongWait, timedOut).IsError());
}

// A receive that runs out keeps the part of a frame already read.
TEST(SessionWire, TimedOutReceiveKeepsTheSessionAndPartialFrame) {
    Signal sendRest;
    TestPeer peer;
    peer.run([&sendRest](tqsession::Connection& connection) {
        acceptHello(connection);
        const std::string frame = frameBytes(tqmsg::kEraseDataResp, kGoldenEraseResponseBody);
        writeAll(connection.fd(), frame.substr(0, 20));
        sendRest.await();
        writeAll(connection.fd(), frame.substr(20));
        countFramesUntilClosed(connection);
    });
    CTqNetwork session;
    ASSERT_FALSE(attachTo(session, peer.hostPort()).IsError());
    unsigned long code = 0;
    tqmsg::EraseDataResp response{};
    tqsDatabuf_v2 body;
    body.setExternalBuffer(reinterpret_cast<char*>(&response), sizeof response);
    bool timedOut = false;
    const auto start = Clock::now();
    const CYxError result = receive(session, code, body, kShortWait, timedOut);
    const int64_t elapsed = msSince(start);
    sendRest.raise();
    EXPECT_EQ(result.Code(), tqerr::kTimedOut);
    EXPECT_TRUE(timedOut);
    EXPECT_GE(elapsed, 50);
    EXPECT_LT(elapsed, 1000);

    ASSERT_FALSE(receive(session, code, body, kLongWait, timedOut).IsError());
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(code, tqmsg::kEraseDataResp);
    EXPECT_EQ(response.status, 1);
    EXPECT_FALSE(session.Disconnect(kLongWait, timedOut).IsError());
}

// What the peer sends to break the stream, and the error the client reports.
struct BrokenStreamCase {
    const char* name;
    std::string bytes;
    int32_t expected;
    bool closeAfter;
};

class SessionBrokenStream : public ::testing::TestWithParam<BrokenStreamCase> {};

TEST_P(SessionBrokenStream, ReportsTheErrorAndNeverTouchesTheSocketAgain) {
    const BrokenStreamCase& broken = GetParam();
    Signal done;
    TestPeer peer;
    peer.run([&](tqsession::Connection& connection) {
        acceptHello(connection);
        writeAll(connection.fd(), broken.bytes);
        if (broken.closeAfter) {
            connection.closeNow();
            return;
        }
        // A valid frame after the damage must not be delivered.
        writeAll(connection.fd(), frameBytes(tqmsg::kAfPruneReq, kGoldenPruneBody));
        done.await();
    });
    CTqNetwork session;
    ASSERT_FALSE(attachTo(session, peer.hostPort()).IsError());
    unsigned long code = 0;
    tqsDatabuf_v2 body;
    bool timedOut = false;
    const CYxError first = receive(session, code, body, kLongWait, timedOut);
    EXPECT_EQ(first.Code(), broken.expected) << first.AsString();
    EXPECT_FALSE(timedOut);

    const auto start = Clock::now();
    EXPECT_TRUE(receive(session, code, body, kLongWait, timedOut).IsError());
    auto prune = goldenPrune();
    EXPECT_TRUE(sendRecord(session, tqmsg::kAfPruneReq, prune).IsError());
    EXPECT_LT(msSince(start), 100);
    done.raise();
    EXPECT_FALSE(session.Disconnect(kLongWait, timedOut).IsError());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SessionBrokenStream,
    ::testing::Values(
        BrokenStreamCase{"PeerClosesMidFrame",
                         frameBytes(tqmsg::kAfPruneReq, kGoldenPruneBody).substr(0, 30),
                         tqerr::kPeerClosed, true},
        BrokenStreamCase{"GarbageHeader", "GARBAGE-GARBAGE!", tqerr::kProtocol, false},
        BrokenStreamCase{"OversizedFrame",
                         frameBytes(kOtherCode, "").substr(0, 12) +
                             bytes({0x00, 0x10, 0x04, 0x01}),  // kMaxBodyLength + 1
                         tqerr::kFrameTooLarge, false}),
    [](const ::testing::TestParamInfo<BrokenStreamCase>& info) { return info.param.name; });

TEST(SessionWire, OversizedSendIsRefusedAndTheLargestFrameArrivesWhole) {
    const size_t largest = tqsession::kMaxBodyLength - 4;
    TestPeer peer;
    peer.run([largest](tqsession::Connection& connection) {
        acceptHello(connection);
        uint32_t code = 0;
        uint32_t wireLength = 0;
        tqsDatabuf_v2 body;
        bool timedOut = false;
        ASSERT_FALSE(
            connection.receiveMessage(code, body, wireLength, peerDeadline(), timedOut).IsError());
        EXPECT_EQ(code, kOtherCode);
        ASSERT_EQ(body.getValidLen(), largest);
        for (size_t i = 0; i < largest; ++i) {
            ASSERT_EQ(body.getDataBuffer()[i], static_cast<char>(i * 7)) << "byte " << i;
        }
        ASSERT_FALSE(
            connection.receiveMessage(code, body, wireLength, peerDeadline(), timedOut).IsError());
        EXPECT_EQ(code, tqmsg::kAfPruneReq);
        countFramesUntilClosed(connection);
    });
    CTqNetwork session;
    ASSERT_FALSE(attachTo(session, peer.hostPort()).IsError());
    std::vector<char> payload(largest + 1);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<char>(i * 7);
    }
    tqsDatabuf_v2 body;
    body.setExternalBuffer(payload.data(), payload.size());
    bool timedOut = false;
    EXPECT_EQ(session.SendXDRMessage(kOtherCode, &body, 0, -1, timedOut).Code(),
              tqerr::kFrameTooLarge);
    body.setExternalBuffer(payload.data(), largest);
    EXPECT_FALSE(session.SendXDRMessage(kOtherCode, &body, 0, -1, timedOut).IsError());
    auto prune = goldenPrune();
    EXPECT_FALSE(sendRecord(session, tqmsg::kAfPruneReq, prune).IsError());
    EXPECT_FALSE(session.Disconnect(kLongWait, timedOut).IsError());
}

TEST(SessionWire, SendToAPeerThatStoppedReadingTimesOut) {
    Signal done;
    TestPeer peer;
    peer.run([&done](tqsession::Connection& connection) {
        acceptHello(connection);
        done.await();
    });
    CTqNetwork session;
    ASSERT_FALSE(attachTo(session, peer.hostPort()).IsError());
    std::vector<char> payload(1 << 20, 'x');
    tqsDatabuf_v2 body;
    body.setExternalBuffer(payload.data(), payload.size());
    CYxError result;
    bool timedOut = false;
    int64_t lastSendMs = 0;
    for (int frame = 0; frame < 256 && !result.IsError(); ++frame) {
        const auto start = Clock::now();
        result = session.SendXDRMessage(kOtherCode, &body, 0, kShortWait, timedOut);
        lastSendMs = msSince(start);
    }
    done.raise();
    EXPECT_EQ(result.Code(), tqerr::kTimedOut);
    EXPECT_TRUE(timedOut);
    EXPECT_LT(lastSendMs, 1000);
}

// A send cut by its deadline after part of a frame went out breaks the
// connection: the peer sees the partial frame, then the close, and nothing
// sent later may follow it.
TEST(SessionWire, SendCutAfterPartOfAFrameBreaksTheConnection) {
    Signal clientDone;
    std::string received;
    TestPeer peer;
    peer.run([&](tqsession::Connection& connection) {
        clientDone.await();
        const tqsession::Deadline deadline = peerDeadline();
        char chunk[65536];
        while (!deadline.expired()) {
            pollfd entry{connection.fd(), POLLIN, 0};
            if (::poll(&entry, 1, deadline.pollTimeoutMs()) <= 0) {
                continue;
            }
            const ssize_t got = ::recv(connection.fd(), chunk, sizeof chunk, 0);
            if (got <= 0) {
                break;
            }
            received.append(chunk, static_cast<size_t>(got));
        }
    });
    tqsession::HostPort target;
    ASSERT_FALSE(tqsession::parseHostPort(peer.hostPort().c_str(), target).IsError());
    tqsession::Connection client;
    bool timedOut = false;
    ASSERT_FALSE(client.connect(target, peerDeadline(), timedOut).IsError());
    // A small send buffer: the frame cannot all be queued while the peer waits.
    const int sendBuffer = 4096;
    ASSERT_EQ(0, ::setsockopt(client.fd(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer));
    const std::string body(1 << 20, 'x');
    const CYxError cut = client.sendFrame(kOtherCode, body.data(), body.size(),
                                          tqsession::Deadline::afterMs(300), timedOut);
    EXPECT_EQ(cut.Code(), tqerr::kTimedOut);
    EXPECT_TRUE(timedOut);
    EXPECT_TRUE(client.isBroken());
    EXPECT_TRUE(client.sendFrame(kOtherCode, "later", 5, peerDeadline(), timedOut).IsError());
    clientDone.raise();
    peer.join();

    ASSERT_GT(received.size(), tqsession::kFrameHeaderSize);
    EXPECT_LT(received.size(), tqsession::kFrameHeaderSize + body.size());
    EXPECT_EQ(received.find_first_not_of('x', tqsession::kFrameHeaderSize), std::string::npos);
}

TEST(SessionWire, SendToAClosedPeerFailsWithoutSigpipe) {
    TestPeer peer;
    peer.run([](tqsession::Connection& connection) {
        acceptHello(connection);
        connection.closeNow();
    });
    // A bare connection: a session would notice the close and attach again.
    tqsession::Connection connection;
    tqsession::HostPort target;
    tqsession::Hello hello;
    bool timedOut = false;
    ASSERT_FALSE(tqsession::parseHostPort(peer.hostPort().c_str(), target).IsError());
    ASSERT_FALSE(tqsession::makeHello(indexService(), "clientA", hello).IsError());
    ASSERT_FALSE(connection.connect(target, peerDeadline(), timedOut).IsError());
    ASSERT_FALSE(tqsession::sendHello(connection, hello, peerDeadline(), timedOut).IsError());
    ASSERT_FALSE(tqsession::awaitHelloAnswer(connection, peerDeadline(), timedOut).IsError());
    peer.join();
    auto prune = goldenPrune();
    CYxError result;
    for (int attempt = 0; attempt < 200 && !result.IsError(); ++attempt) {
        result = connection.sendMessage(tqmsg::kAfPruneReq, reinterpret_cast<char*>(&prune),
                                        sizeof prune, peerDeadline(), timedOut);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(result.Code(), tqerr::kPeerClosed) << result.AsString();
}

TEST(SessionLifecycle, UnattachedSessionReportsErrorsAndDisconnectIsHarmless) {
    CTqNetwork session;
    auto prune = goldenPrune();
    EXPECT_EQ(sendRecord(session, tqmsg::kAfPruneReq, prune).Code(), tqerr::kNotAttached);
    bool timedOut = false;
    EXPECT_EQ(session.SendXDRMessage(tqmsg::kAfPruneReq, nullptr, 0, -1, timedOut).Code(),
              tqerr::kInvalidArgument);
    unsigned long code = 0;
    tqsDatabuf_v2 body;
    EXPECT_EQ(receive(session, code, body, kShortWait, timedOut).Code(), tqerr::kNotAttached);
    EXPECT_FALSE(timedOut);
    EXPECT_FALSE(session.FreeReceivedMessage(code, &body).IsError());
    EXPECT_FALSE(session.FreeReceivedMessage(code, nullptr).IsError());
    EXPECT_FALSE(session.Disconnect(kShortWait, timedOut).IsError());
    EXPECT_FALSE(session.Disconnect(kShortWait, timedOut).IsError());

    const std::string closed = "127.0.0.1:" + std::to_string(closedPort());
    EXPECT_TRUE(attachTo(session, closed).IsError());
    EXPECT_EQ(sendRecord(session, tqmsg::kAfPruneReq, prune).Code(), tqerr::kNotAttached);
    EXPECT_FALSE(session.Disconnect(kShortWait, timedOut).IsError());
}

// Disconnect lets the peer read every one-way frame, although the client left
// a message of the peer's unread: closing over unread data resets the
// connection and drops what is still queued for sending.
TEST(SessionLifecycle, DisconnectDeliversEveryOneWayFrame) {
    constexpr int kFrames = 10000;
    int arrived = 0;
    bool inOrder = true;
    TestPeer peer;
    peer.run([&](tqsession::Connection& connection) {
        acceptHello(connection);
        // Read slowly through a fixed window, so that frames still wait in the
        // client's send queue when it disconnects: a close that turned into a
        // reset would drop them.
        const int window = 64 * 1024;
        ::setsockopt(connection.fd(), SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        for (;;) {
            uint32_t code = 0;
            uint32_t wireLength = 0;
            tqsDatabuf_v2 body;
            bool timedOut = false;
            CYxError result =
                connection.receiveMessage(code, body, wireLength, peerDeadline(), timedOut);
            if (result.IsError()) {
                EXPECT_EQ(result.Code(), tqerr::kPeerClosed) << result.AsString();
                return;
            }
            tqmsg::AfPruneReq prune;
            std::memcpy(&prune, body.getDataBuffer(), sizeof prune);
            inOrder = inOrder && prune.archiveFileId == arrived;
            if (arrived == 0) {
                // A message the client never reads: it stays in the client's
                // receive queue until the client closes.
                writeAll(connection.fd(), frameBytes(kOtherCode, kGoldenOpaqueBody));
            }
            if (++arrived % 64 == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    });
    CTqNetwork session;
    ASSERT_FALSE(attachTo(session, peer.hostPort()).IsError());
    auto prune = goldenPrune();
    for (int frame = 0; frame < kFrames; ++frame) {
        prune.archiveFileId = frame;
        ASSERT_FALSE(sendRecord(session, tqmsg::kAfPruneReq, prune).IsError());
    }
    bool timedOut = false;
    EXPECT_FALSE(session.Disconnect(kLongWait, timedOut).IsError());
    EXPECT_FALSE(timedOut);
    peer.join();
    EXPECT_EQ(arrived, kFrames);
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(sendRecord(session, tqmsg::kAfPruneReq, prune).Code(), tqerr::kNotAttached);
}

}  // namespace
}  // namespace sessiontest
