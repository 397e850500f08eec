// The session protocol, usable from both ends of a connection, for users
// outside the session library: frames, waits, security, addresses, message
// codecs, connections and the attach handshake, each declared in its own
// header. CTqNetwork is built on it; a server speaks the same protocol by
// using it too. docs/SESSION.md describes the bytes on the wire.
//
// Every call reports through a CYxError and never throws; calls that wait take
// a Deadline and set `timedOut` when it ran out.
#pragma once

#include "session/Connection.h"
#include "session/Frame.h"
#include "session/FrameReader.h"
#include "session/Handshake.h"
#include "session/HostAddress.h"
#include "session/Security.h"
#include "session/Waits.h"
#include "session/XdrCodecs.h"
