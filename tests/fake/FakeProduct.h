// A fake product layer for unit tests: every product class the helper library
// calls, with answers a test scripts and a journal of every call made.
//
// Sessions are named S1, S2, ... in the order they are constructed; the
// journal names the session each call was made on.
#pragma once

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "TqMessages.h"

namespace fake {

// One message handed to CTqNetwork::SendXDRMessage.
struct SentMessage {
    std::string session;  // "S2"
    unsigned long code = 0;
    unsigned long length = 0;     // the buffer's valid length
    std::vector<uint8_t> record;  // the record's bytes (32 for an erase request)
    std::string path;             // an erase request's path, followed through its pointer
    int flags = 0;
    int wait = 0;

    tqmsg::EraseDataReq eraseRequest() const;  // record as an erase request
    tqmsg::AfPruneReq pruneRequest() const;    // record as a prune request
};

// What one receive does.
struct Reply {
    int32_t error = 0;      // negative: the receive fails with this code
    bool timedOut = false;  // set the timed-out flag (with or without an error)
    unsigned long code = tqmsg::kEraseDataResp;
    int32_t status = 1;
    size_t bodySize = sizeof(tqmsg::EraseDataResp);  // bytes of the body delivered
};

struct Cloud {
    int result = 0;
    std::list<unsigned long> clients;
    std::list<unsigned long> properties;
};

struct EngineList {
    int result = 0;
    std::vector<int> engineIds;
};

struct Client {
    int hostResult = 0;
    std::string host;
    int cellResult = 0;
    std::deque<int> nextCellResults;  // results of the next getVornCellId calls; then cellResult
    unsigned long cellId = 0;
};

struct World {
    // --- scripted answers -------------------------------------------------
    std::deque<bool> logInitResults;  // next EvDebug::initialize results; then true
    std::map<unsigned long, unsigned long> cellNumbers;        // cell id -> number
    std::map<unsigned long, Cloud> clouds;                     // cloud id -> members
    std::map<std::pair<int, int>, EngineList> clientEngines;   // (client, appType)
    std::map<int, EngineList> applicationEngines;              // application id
    std::map<unsigned long, Client> clients;                   // client id -> record
    std::map<unsigned long, unsigned long> applicationOwners;  // application id -> client id
    std::string focus = "Instance001";
    unsigned int platformType = 0;
    std::string vornServerClientName = "vornserver-client";
    std::string physicalMachine = "host-a";
    std::map<std::string, int32_t> attachErrors;  // host -> error code of its attach
    std::deque<int32_t> sendResults;        // next send results (0 ok); then: ok when attached
    std::deque<Reply> replies;              // next receives; then an erase response, status 1
    std::deque<int32_t> disconnectResults;  // next disconnect results (0 ok); then ok

    // --- journal ----------------------------------------------------------
    // false: nothing below is recorded and log lines are not formatted, so
    // that a benchmark times the library with a fake that does next to nothing.
    bool journaling = true;
    std::vector<std::string> calls;
    std::vector<SentMessage> sent;
    std::vector<std::pair<std::string, std::string>> attaches;  // (session, host) of each attach
    std::vector<std::pair<std::string, int>> disconnects;  // (session, wait) of each disconnect
    std::vector<std::string> logLines;
    std::vector<size_t> callsBeforeLogLine;  // journal length when each line was written
    int sessionsConstructed = 0;
    int sessionsAlive = 0;
    int clientsAlive = 0;
    int buffersAlive = 0;
    long ownedBodiesAlive = 0;
};

World& world();
// Forget every script and the journal.
void reset();
// Journal entries that start with `prefix`, in order.
std::vector<std::string> callsStartingWith(const std::string& prefix);
// Messages sent with `code`, in order.
std::vector<SentMessage> sentWithCode(unsigned long code);
// The sessions that messages with `code` were sent on, in order ("S2", ...).
std::vector<std::string> sendSessions(unsigned long code);
// The hosts attached to, in order.
std::vector<std::string> attachedHosts();
// The journal entries of sessions being made, disconnected and destroyed.
std::vector<std::string> sessionEvents();

// Convenience scripts.
void addCell(unsigned long cellId, unsigned long number);
// A client with a host name "host-<id>" in cell `cellId`.
void addClient(int clientId, unsigned long cellId = 1);
// A cloud whose CI CDS client (property bit 0) is `serverClientId`.
void addCloudServedBy(int cloudId, int serverClientId);

// Make the n-th following non-throwing allocation (n = 1: the next one) fail;
// 0 disables. Counts only `new (std::nothrow)`, which only the library uses.
void failNothrowAllocation(long n);

}  // namespace fake
