// Who may hold a place on the server. A connection is pending from its
// accept until its TLS handshake and hello have succeeded; only then does it
// take one of the session slots, which it keeps until it ends. Pending
// connections have caps of their own, in all and per peer address, so peers
// that never authenticate can neither take the slots of hosts that do nor
// crowd out every other address.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace cisrv {

class Admission {
public:
    struct Limits {
        size_t maxSessions;
        size_t maxPending;
        size_t maxPendingPerPeer;
    };

    // One connection's place; given back when destroyed.
    class Place {
    public:
        ~Place();
        Place(const Place&) = delete;
        Place& operator=(const Place&) = delete;

        // Trades the pending place for a session slot; false (still pending)
        // when every slot is taken.
        bool takeSessionSlot();

    private:
        friend class Admission;
        Place(Admission& admission, std::string peerAddress)
            : m_admission(admission), m_peerAddress(std::move(peerAddress)) {}

        Admission& m_admission;
        const std::string m_peerAddress;
        bool m_inSession = false;
    };

    explicit Admission(const Limits& limits) : m_limits(limits) {}
    Admission(const Admission&) = delete;
    Admission& operator=(const Admission&) = delete;

    // A pending place for a connection from `peerAddress` (the address
    // without its port), or null with `why` set when a cap is reached.
    std::unique_ptr<Place> admit(const std::string& peerAddress, std::string& why);

private:
    void leavePending(const std::string& peerAddress);

    const Limits m_limits;
    std::mutex m_mutex;
    size_t m_sessions = 0;
    size_t m_pending = 0;
    std::map<std::string, size_t> m_pendingByPeer;
};

}  // namespace cisrv
