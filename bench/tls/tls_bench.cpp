// Attach cost and erase round-trip cost over TLS against plain TCP, in one
// run, on 127.0.0.1: a server thread speaks tqwire, the client is CTqNetwork.
// Usage: tls_bench CERT_DIR [ATTACHES] [ERASES]; CERT_DIR holds ca.pem,
// server.pem/server.key (IP:127.0.0.1) and host.pem/host.key (see run.sh).
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "TqMessages.h"
#include "TqSession.h"
#include "TqWire.h"

// Heap allocations of the measuring thread: malloc() is replaced in this
// program, so OpenSSL's allocations count too.
extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_realloc(void* memory, size_t size);

namespace {
thread_local bool t_counting = false;
thread_local uint64_t t_allocations = 0;
}  // namespace

extern "C" void* malloc(size_t size) {
    if (t_counting) ++t_allocations;
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
    if (t_counting) ++t_allocations;
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* memory, size_t size) {
    if (t_counting) ++t_allocations;
    return __libc_realloc(memory, size);
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWait = 30;
constexpr int64_t kServerWaitMs = 30000;
constexpr int kDefaultAttaches = 300;
constexpr int kDefaultErases = 20000;

tqwire::Deadline serverDeadline() { return tqwire::Deadline::afterMs(kServerWaitMs); }

// Serves sessions one after another until `stop`: hello, then an answer to
// every erase request until the client closes.
void serve(int listenFd, const tqwire::Security& security, const std::atomic<bool>& stop) {
    while (!stop.load()) {
        tqwire::Connection connection;
        bool timedOut = false;
        if (tqwire::acceptConnection(listenFd, security, tqwire::Deadline::afterMs(100), timedOut,
                                     connection)
                .IsError()) {
            continue;
        }
        tqwire::Hello hello;
        if (tqwire::receiveHello(connection, hello, serverDeadline(), timedOut).IsError() ||
            tqwire::sendAccept(connection, serverDeadline(), timedOut).IsError()) {
            continue;
        }
        tqmsg::EraseDataResp response{};
        response.status = 1;
        for (;;) {
            tqwire::Frame frame;
            if (connection.receiveFrame(frame, serverDeadline(), timedOut).IsError()) break;
            connection.sendMessage(tqmsg::kEraseDataResp, reinterpret_cast<char*>(&response),
                                   sizeof response, serverDeadline(), timedOut);
        }
        connection.closeNow();
    }
}

void setClientSecurity(const std::string& dir, bool tls) {
    if (tls) {
        ::setenv(tqwire::kTlsCertVariable, (dir + "/host.pem").c_str(), 1);
        ::setenv(tqwire::kTlsKeyVariable, (dir + "/host.key").c_str(), 1);
        ::setenv(tqwire::kTlsCaVariable, (dir + "/ca.pem").c_str(), 1);
    } else {
        ::unsetenv(tqwire::kTlsCertVariable);
        ::unsetenv(tqwire::kTlsKeyVariable);
        ::unsetenv(tqwire::kTlsCaVariable);
    }
}

bool attach(CTqNetwork& session, const std::string& host) {
    tqsExecuteRemoteDllType service{};
    std::strcpy(service.remoteLibraryName, tqmsg::kRemoteIndexLibrary);
    std::strcpy(service.remoteEntryName, tqmsg::kRemoteIndexEntry);
    bool timedOut = false;
    const CYxError result = session.Attach_RemoteDLL(host.c_str(), &service, "bench", kWait, timedOut);
    if (result.IsError()) std::fprintf(stderr, "attach: %s\n", result.AsString().c_str());
    return !result.IsError();
}

double microsecondsPer(Clock::time_point start, int count) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / count;
}

struct Result {
    double attachUs = 0;
    double eraseUs = 0;
    double eraseAllocations = 0;
};

bool measure(const std::string& host, int attaches, int erases, Result& out) {
    bool timedOut = false;
    const auto attachStart = Clock::now();
    for (int i = 0; i < attaches; ++i) {
        CTqNetwork session;
        if (!attach(session, host)) return false;
        session.Disconnect(kWait, timedOut);
    }
    out.attachUs = microsecondsPer(attachStart, attaches);

    CTqNetwork session;
    if (!attach(session, host)) return false;
    char path[] = "/home/u/docs/report.txt";
    tqsDatabuf_v2 body;
    unsigned long code = 0;
    const auto eraseStart = Clock::now();
    t_allocations = 0;
    t_counting = true;
    for (int i = 0; i < erases; ++i) {
        // The response lands in the request's memory, as in the helper.
        tqmsg::EraseDataReq request{};
        request.vornCellNumber = 4711;
        request.clientId = 10;
        request.appType = 33;
        request.path = path;
        body.setExternalBuffer(reinterpret_cast<char*>(&request), sizeof request + sizeof path);
        if (session.SendXDRMessage(tqmsg::kEraseDataReq, &body, 0, kWait, timedOut).IsError() ||
            session.ReceiveXDRMessage(&code, &body, nullptr, 0, kWait, timedOut).IsError()) {
            std::fprintf(stderr, "erase %d failed\n", i);
            return false;
        }
    }
    t_counting = false;
    out.eraseUs = microsecondsPer(eraseStart, erases);
    out.eraseAllocations = static_cast<double>(t_allocations) / erases;
    session.Disconnect(kWait, timedOut);
    return true;
}

bool run(const std::string& dir, bool tls, int attaches, int erases, Result& out) {
    tqwire::Security security;
    if (tls) {
        security.certificate = dir + "/server.pem";
        security.key = dir + "/server.key";
        security.authority = dir + "/ca.pem";
    }
    int listenFd = -1;
    uint16_t port = 0;
    const CYxError listening = tqwire::listenTcp("127.0.0.1", 0, security, listenFd, port);
    if (listening.IsError()) {
        std::fprintf(stderr, "listen: %s\n", listening.AsString().c_str());
        return false;
    }
    std::atomic<bool> stop{false};
    std::thread server(serve, listenFd, security, std::cref(stop));
    setClientSecurity(dir, tls);
    const bool ok = measure("127.0.0.1:" + std::to_string(port), attaches, erases, out);
    stop.store(true);
    server.join();
    ::close(listenFd);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CERT_DIR [ATTACHES] [ERASES]\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const int attaches = argc > 2 ? std::atoi(argv[2]) : kDefaultAttaches;
    const int erases = argc > 3 ? std::atoi(argv[3]) : kDefaultErases;
    Result plain, tls;
    if (!run(dir, false, attaches, erases, plain) || !run(dir, true, attaches, erases, tls)) {
        return 1;
    }
    std::printf("%-8s %14s %16s %20s\n", "", "attach (us)", "erase RTT (us)",
                "allocations/erase");
    std::printf("%-8s %14.1f %16.2f %20.3f\n", "plain", plain.attachUs, plain.eraseUs,
                plain.eraseAllocations);
    std::printf("%-8s %14.1f %16.2f %20.3f\n", "TLS 1.3", tls.attachUs, tls.eraseUs,
                tls.eraseAllocations);
    std::printf("%-8s %13.1fx %15.2fx\n", "ratio", tls.attachUs / plain.attachUs,
                tls.eraseUs / plain.eraseUs);
    return 0;
}
