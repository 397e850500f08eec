// What the helper hands the sessions it attaches: waits in seconds, and flags.
// Shared by the erase and prune units so that both wait alike.
#pragma once

namespace tqci {

constexpr int kAttachWait = 120;
constexpr int kDisconnectWait = 120;
// A session whose exchange failed is closed without waiting for the server:
// nothing more is owed to it, and a hung server must not hold the call up.
constexpr int kFailedSessionDisconnectWait = 0;
constexpr int kReceiveWait = 600;
constexpr int kSendWait = -1;  // the session's default send wait
constexpr int kSendFlags = 0;
constexpr int kReceiveFlags = 0;

}  // namespace tqci
