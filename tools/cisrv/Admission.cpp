// Counting pending connections and sessions against their limits.
#include "cisrv/Admission.h"

namespace cisrv {

std::unique_ptr<Admission::Place> Admission::admit(const std::string& peerAddress, std::string& why,
                                                   const Place*& evicted) {
    evicted = nullptr;
    const std::lock_guard<std::mutex> lock(m_mutex);
    size_t& fromPeer = m_pendingByPeer[peerAddress];
    if (fromPeer >= m_limits.maxPendingPerPeer) {
        why = std::to_string(fromPeer) + " connections from " + peerAddress +
              " are pending (--max-pending-per-peer)";
        return nullptr;
    }
    if (m_pending >= m_limits.maxPending) {
        if (m_waiting.empty()) {
            if (fromPeer == 0) {
                m_pendingByPeer.erase(peerAddress);
            }
            why = std::to_string(m_pending) +
                  " connections are pending, all past their hello (--max-pending)";
            return nullptr;
        }
        Place* oldest = m_waiting.front();
        leavePending(*oldest);
        oldest->m_evicted = true;
        evicted = oldest;
    }
    std::unique_ptr<Place> place(new Place(*this, peerAddress));
    ++m_pendingByPeer[peerAddress];
    ++m_pending;
    place->m_waiting = m_waiting.insert(m_waiting.end(), place.get());
    place->m_isWaiting = true;
    return place;
}

size_t Admission::pending() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_pending;
}

// Under the lock.
void Admission::leavePending(Place& place) {
    --m_pending;
    const auto found = m_pendingByPeer.find(place.m_peerAddress);
    if (--found->second == 0) {
        m_pendingByPeer.erase(found);
    }
    if (place.m_isWaiting) {
        m_waiting.erase(place.m_waiting);
        place.m_isWaiting = false;
    }
}

void Admission::Place::handOver() {
    const std::lock_guard<std::mutex> lock(m_admission.m_mutex);
    if (m_isWaiting) {
        m_admission.m_waiting.erase(m_waiting);
        m_isWaiting = false;
    }
}

bool Admission::Place::takeSessionSlot() {
    const std::lock_guard<std::mutex> lock(m_admission.m_mutex);
    if (m_inSession) {
        return true;
    }
    if (m_admission.m_sessions >= m_admission.m_limits.maxSessions) {
        return false;
    }
    if (!m_evicted) {
        m_admission.leavePending(*this);
    }
    m_evicted = false;
    ++m_admission.m_sessions;
    m_inSession = true;
    return true;
}

Admission::Place::~Place() {
    const std::lock_guard<std::mutex> lock(m_admission.m_mutex);
    if (m_inSession) {
        --m_admission.m_sessions;
    } else if (!m_evicted) {
        m_admission.leavePending(*this);
    }
}

}  // namespace cisrv
