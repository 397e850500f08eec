// Who may hold a place on the server. A connection is pending from its
// accept until its TLS handshake and hello have succeeded; only then does it
// take one of the session slots, which it keeps until it ends. Pending
// connections have caps of their own, in all and per peer address, so peers
// that never authenticate can neither take the slots of hosts that do nor
// crowd out every other address.
//
// When every pending place is taken, the newest connection gets one and the
// oldest connection still waiting for its handshake and hello is evicted: a
// host that completes its handshake quickly always gets through, while
// connections that never finish churn. The per-address cap still turns the
// newest away: it is there to stop one address.
#pragma once

#include <cstddef>
#include <list>
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

        // The connection has said its hello: it can no longer be evicted.
        void handOver();
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
        bool m_evicted = false;  // its count was given back when it was evicted
        std::list<Place*>::iterator m_waiting;
        bool m_isWaiting = false;
    };

    explicit Admission(const Limits& limits) : m_limits(limits) {}
    Admission(const Admission&) = delete;
    Admission& operator=(const Admission&) = delete;

    // A pending place for a connection from `peerAddress` (the address
    // without its port), or null with `why` set when its address is at its
    // cap, or every pending place is held by a connection that has already
    // said its hello. When the table is full, `evicted` names the place of
    // the oldest connection still waiting, which the caller closes.
    std::unique_ptr<Place> admit(const std::string& peerAddress, std::string& why,
                                 const Place*& evicted);

    size_t pending() const;

private:
    void leavePending(Place& place);

    const Limits m_limits;
    mutable std::mutex m_mutex;
    size_t m_sessions = 0;
    size_t m_pending = 0;
    std::map<std::string, size_t> m_pendingByPeer;
    std::list<Place*> m_waiting;  // pending and evictable, oldest first
};

}  // namespace cisrv
