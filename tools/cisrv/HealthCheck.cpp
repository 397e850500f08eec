// The client side of a health check.
#include "HealthCheck.h"

namespace cisrv {

CYxError checkServer(const tqwire::HostPort& target, int64_t timeoutMs, bool& secure,
                     tqwire::TlsExpiry& served) {
    const tqwire::Deadline deadline = tqwire::Deadline::afterMs(timeoutMs);
    const tqwire::Hello hello{kHealthCheckLibrary, kHealthCheckEntry, "cisrv check"};
    tqwire::Connection connection;
    bool timedOut = false;
    CYxError result = connection.connect(target, deadline, timedOut);
    if (!result.IsError()) result = tqwire::sendHello(connection, hello, deadline, timedOut);
    if (!result.IsError()) result = tqwire::awaitHelloAnswer(connection, deadline, timedOut);
    if (result.IsError()) return result;
    secure = connection.isSecure();
    if (secure) (void)connection.peerCertificate(served);
    // The server waits for this close before it closes its side.
    (void)connection.closeGracefully(deadline, timedOut);
    return CYxError();
}

}  // namespace cisrv
