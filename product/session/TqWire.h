// The session protocol, usable from both ends of a connection, for users
// outside the session library: frames, waits, security, addresses, message
// codecs, connections and the attach handshake, each declared in its own
// header. CTqNetwork is built on it; a server speaks the same protocol by
// using it too. docs/SESSION.md describes the bytes on the wire.
//
// Every call reports through a CYxError and never throws; calls that wait take
// a Deadline and set `timedOut` when it ran out.
#pragma once

#include "Connection.h"
#include "Frame.h"
#include "FrameReader.h"
#include "Handshake.h"
#include "HostAddress.h"
#include "Security.h"
#include "Waits.h"
#include "XdrCodecs.h"
