// Fuzz target: a whole CI server session as serveSession runs it, with the
// input as what the client sends over a socket. This reaches the server's
// own frame handling (Session::handle: the code check, decoding, reading and
// checking the request, the answer), which is not callable on its own.
//
// Input: one selector byte, then the client's stream. With bit 0 clear a
// valid hello goes first, so that the rest is all requests; with it set the
// stream is used as it is. The server is read-only: every request is read,
// checked and answered (erases with status 0), and the index never changes.
//
// Checks: the server answers a hello naming its service with ACCEPT and then
// exactly one erase response, of status 0, per erase request, up to the first
// frame that ends the session (a code it does not take or a body that does
// not decode); it closes the connection at the end, and never hangs.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FuzzSupport.h"
#include "ReferenceFrames.h"
#include "TemporaryFolder.h"
#include "TqMessages.h"
#include "cisrv/IndexStore.h"
#include "cisrv/IndexWriter.h"
#include "cisrv/ServerConfig.h"
#include "cisrv/ServerLog.h"
#include "cisrv/Session.h"
#include "session/TqWire.h"

namespace {

using fuzzsupport::ReferenceFrame;

// A session with all its input already sent ends quickly; this is only a
// bound that turns a hang into a failure.
constexpr int kSessionWaitMs = 20 * 1000;
constexpr size_t kReadChunk = 64 * 1024;

// The index and writer every session shares, made once per process in a
// scratch directory that goes away at exit.
class ServerSide {
public:
    ServerSide() {
        FUZZ_CHECK(!cisrv::ServerLog::open("/dev/null", m_log).IsError());
        FUZZ_CHECK(!cisrv::IndexStore::open(m_directory.file("index.db"),
                                            cisrv::OpenMode::CreateIfMissing, m_config.store,
                                            m_store)
                        .IsError());
        m_writer = std::make_unique<cisrv::IndexWriter>(*m_store, *m_log, m_config.writer);
        m_config.readOnly = true;
    }
    ~ServerSide() {
        m_writer.reset();
        m_store.reset();
    }
    ServerSide(const ServerSide&) = delete;
    ServerSide& operator=(const ServerSide&) = delete;

    void serve(tqsession::Connection& connection) {
        const std::atomic<bool> stop{false};
        std::string why;
        const cisrv::Admission::Place* evicted = nullptr;
        const std::unique_ptr<cisrv::Admission::Place> place =
            m_admission.admit("fuzz", why, evicted);
        FUZZ_CHECK(place != nullptr);
        const cisrv::SessionContext context{
            m_config, *m_log, *m_writer,
            stop,     *place, tqsession::Deadline::afterMs(kSessionWaitMs)};
        cisrv::serveSession(++m_sessions, connection, context);
    }

private:
    tqtest::TemporaryFolder m_directory{"cisrv-session-fuzz"};
    cisrv::ServerConfig m_config;
    cisrv::Admission m_admission{{1, 1, 1}};
    std::unique_ptr<cisrv::ServerLog> m_log;
    std::unique_ptr<cisrv::IndexStore> m_store;
    std::unique_ptr<cisrv::IndexWriter> m_writer;
    uint64_t m_sessions = 0;
};

ServerSide& serverSide() {
    static ServerSide side;
    return side;
}

std::string validHelloFrame() {
    tqsession::Hello hello;
    hello.library = tqmsg::kRemoteIndexLibrary;
    hello.entry = tqmsg::kRemoteIndexEntry;
    hello.localName = "fuzz-host";
    std::string body;
    FUZZ_CHECK(!tqsession::encodeHello(hello, body).IsError());
    std::string frame(tqsession::kFrameHeaderSize, '\0');
    tqsession::encodeFrameHeader(tqsession::kHelloCode, static_cast<uint32_t>(body.size()),
                                 reinterpret_cast<unsigned char*>(&frame[0]));
    return frame + body;
}

// Sends `stream` on `fd` and collects what comes back until the server closes.
std::string converse(int fd, const std::string& stream) {
    std::string received;
    size_t sent = 0;
    bool sending = !stream.empty();
    if (!sending) {
        ::shutdown(fd, SHUT_WR);
    }
    for (;;) {
        pollfd ready{fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
        const int count = ::poll(&ready, 1, kSessionWaitMs);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        FUZZ_CHECK(count > 0);  // else the session hangs
        if (sending && (ready.revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            const ssize_t wrote =
                ::send(fd, stream.data() + sent, stream.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (wrote > 0) {
                sent += static_cast<size_t>(wrote);
            }
            // The server may end the session before it has read everything.
            if (sent == stream.size() || (wrote < 0 && errno != EAGAIN && errno != EINTR)) {
                ::shutdown(fd, SHUT_WR);
                sending = false;
            }
        }
        if ((ready.revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
            char chunk[kReadChunk];
            const ssize_t got = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (got > 0) {
                received.append(chunk, static_cast<size_t>(got));
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                return received;  // closed (a reset after unread input counts as closed)
            }
        }
    }
}

// Erase requests the server answers: those before the first frame that ends the session.
size_t answeredErases(const std::vector<ReferenceFrame>& requests) {
    size_t erases = 0;
    for (const ReferenceFrame& frame : requests) {
        if (frame.code != tqmsg::kEraseDataReq && frame.code != tqmsg::kAfPruneReq) {
            break;
        }
        tqsDatabuf_v2 decoded;
        if (tqsession::decodeBody(frame.code, frame.body.data(), frame.body.size(), decoded)
                .IsError()) {
            break;
        }
        if (frame.code == tqmsg::kEraseDataReq) {
            ++erases;
        }
    }
    return erases;
}

bool nameTheService(const ReferenceFrame& frame) {
    tqsession::Hello hello;
    return frame.code == tqsession::kHelloCode &&
           !tqsession::decodeHello(frame.body.data(), frame.body.size(), hello).IsError() &&
           hello.library == tqmsg::kRemoteIndexLibrary && hello.entry == tqmsg::kRemoteIndexEntry;
}

void checkAnswers(const std::string& sent, const std::string& answers) {
    const fuzzsupport::ReferenceStream requests = fuzzsupport::splitFrames(sent);
    const fuzzsupport::ReferenceStream replies = fuzzsupport::splitFrames(answers);
    // Whole frames only, then the close.
    FUZZ_CHECK(replies.endError == tqerr::kPeerClosed && replies.endOffset == answers.size());
    if (requests.frames.empty() || !nameTheService(requests.frames.front())) {
        FUZZ_CHECK(replies.frames.size() <= 1);
        if (!replies.frames.empty()) {
            FUZZ_CHECK(replies.frames[0].code == tqsession::kRefuseCode);
        }
        return;
    }
    std::string versionOne;
    fuzzsupport::putU32(versionOne, tqsession::kHandshakeVersion);
    FUZZ_CHECK(!replies.frames.empty() && replies.frames[0].code == tqsession::kAcceptCode);
    FUZZ_CHECK(replies.frames[0].body == versionOne);

    const std::vector<ReferenceFrame> afterHello(requests.frames.begin() + 1,
                                                 requests.frames.end());
    FUZZ_CHECK(replies.frames.size() - 1 == answeredErases(afterHello));
    for (size_t i = 1; i < replies.frames.size(); ++i) {
        FUZZ_CHECK(replies.frames[i].code == tqmsg::kEraseDataResp);
        tqsDatabuf_v2 decoded;
        const std::string& body = replies.frames[i].body;
        FUZZ_CHECK(!tqsession::decodeBody(tqmsg::kEraseDataResp, body.data(), body.size(), decoded)
                        .IsError());
        tqmsg::EraseDataResp response;
        std::memcpy(&response, decoded.getDataBuffer(), sizeof response);
        FUZZ_CHECK(response.status == 0);  // read-only: nothing erased
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::ByteReader input(data, size);
    const bool asGiven = (input.byte() & 1u) != 0;
    const std::string stream =
        (asGiven ? std::string() : validHelloFrame()) +
        std::string(reinterpret_cast<const char*>(input.rest()), input.restSize());

    ServerSide& server = serverSide();
    int fds[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
    fuzzsupport::UniqueFd client(fds[0]);
    tqsession::Connection connection;
    connection.adopt(fds[1], "fuzz client");
    std::thread session([&] { server.serve(connection); });
    const std::string answers = converse(client.get(), stream);
    session.join();
    checkAnswers(stream, answers);
    return 0;
}
