// Counting pending connections and sessions against their limits.
#include "Admission.h"

namespace cisrv {

std::unique_ptr<Admission::Place> Admission::admit(const std::string& peerAddress,
                                                   std::string& why) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pending >= m_limits.maxPending) {
        why = std::to_string(m_pending) + " connections are pending (--max-pending)";
        return nullptr;
    }
    size_t& fromPeer = m_pendingByPeer[peerAddress];
    if (fromPeer >= m_limits.maxPendingPerPeer) {
        why = std::to_string(fromPeer) + " connections from " + peerAddress +
              " are pending (--max-pending-per-peer)";
        return nullptr;
    }
    std::unique_ptr<Place> place(new Place(*this, peerAddress));
    ++fromPeer;
    ++m_pending;
    return place;
}

void Admission::leavePending(const std::string& peerAddress) {
    --m_pending;
    const auto found = m_pendingByPeer.find(peerAddress);
    if (--found->second == 0) m_pendingByPeer.erase(found);
}

bool Admission::Place::takeSessionSlot() {
    const std::lock_guard<std::mutex> lock(m_admission.m_mutex);
    if (m_inSession) return true;
    if (m_admission.m_sessions >= m_admission.m_limits.maxSessions) return false;
    m_admission.leavePending(m_peerAddress);
    ++m_admission.m_sessions;
    m_inSession = true;
    return true;
}

Admission::Place::~Place() {
    const std::lock_guard<std::mutex> lock(m_admission.m_mutex);
    if (m_inSession) {
        --m_admission.m_sessions;
    } else {
        m_admission.leavePending(m_peerAddress);
    }
}

}  // namespace cisrv
