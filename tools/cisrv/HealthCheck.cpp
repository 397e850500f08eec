// The client side of a health check.
#include "cisrv/HealthCheck.h"

namespace cisrv {

CYxError checkServer(const tqsession::HostPort& target, int64_t timeoutMs, bool& secure,
                     tqsession::TlsExpiry& served) {
    const tqsession::Deadline deadline = tqsession::Deadline::afterMs(timeoutMs);
    const tqsession::Hello hello{kHealthCheckLibrary, kHealthCheckEntry, "cisrv check"};
    tqsession::Connection connection;
    bool timedOut = false;
    CYxError result = connection.connect(target, deadline, timedOut);
    if (!result.IsError()) {
        result = tqsession::sendHello(connection, hello, deadline, timedOut);
    }
    if (!result.IsError()) {
        result = tqsession::awaitHelloAnswer(connection, deadline, timedOut);
    }
    if (result.IsError()) {
        return result;
    }
    secure = connection.isSecure();
    if (secure) {
        (void)connection.peerCertificate(served);
    }
    // The server waits for this close before it closes its side.
    (void)connection.closeGracefully(deadline, timedOut);
    return CYxError();
}

}  // namespace cisrv
