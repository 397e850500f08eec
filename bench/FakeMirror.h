// The product calls the helper library makes for one cached erase and for one
// prune element, made directly on the fake product layer. Timed beside the
// library, they give the fake's own share (its journal allocates and formats
// on every call), which the library's measured cost is then reduced by.
#pragma once

#include <string>
#include <vector>

#include "EvDebug.h"
#include "TQCIHelper.h"
#include "TqMessages.h"
#include "TqSession.h"

namespace bench {

// The cached-path erase on one server: buffer, request, log line, send,
// receive into the response, free, log line.
class EraseMirror {
public:
    // `logLines`: the lines one library erase wrote; `host`: where its
    // server is attached.
    EraseMirror(std::vector<std::string> logLines, const char* host, const char* path);
    void run();

private:
    CTqNetwork m_session;
    EvDebug m_logger{nullptr};
    tqmsg::EraseDataReq m_record{};
    unsigned long m_recordLength = 0;
    std::vector<std::string> m_lines;
};

// One element of a prune run whose session is attached: buffer, the server
// client's cell lookup when the library makes one per element, send.
class PruneElementMirror {
public:
    PruneElementMirror(const char* host, int serverClientId, bool cellLookupPerElement);
    void run(const _PruneElem& element);

private:
    CTqNetwork m_session;
    unsigned long m_serverClient;
    bool m_cellLookup;
};

// Whether the library looks the server's cell up for every prune element or
// only when it attaches (the last element of a run of three tells).
bool libraryLooksUpCellPerElement();

// The world the core benchmarks script on the fake: cell 1 (number 4711),
// client 10 whose data of app type 33 cloud 1 indexes, cloud 1 served by
// client 101 at "host-101".
namespace core {
constexpr int kCell = 1;
constexpr int kCellNumber = 4711;
constexpr int kClient = 10;
constexpr int kAppType = 33;
constexpr int kCloud = 1;
constexpr int kServerClient = 101;
constexpr char kServerHost[] = "host-101";
constexpr char kPath[] = "/home/ann/photos";
}  // namespace core

void scriptCoreWorld();
// Forgets the fake's journal; the scripts stay.
void clearJournal();
// Elements of cloud 1 with archive files 1 to `count`.
std::vector<_PruneElem> corePruneElements(int count);

// Empty when the mirror makes exactly the calls (and log lines) the library
// makes for a cached erase / one prune element; otherwise both lists.
std::string eraseMirrorMismatch();
std::string pruneMirrorMismatch();

// Journal entries with the session names ("S12") replaced by "S#": the
// mirror's sessions are other objects than the library's.
std::vector<std::string> withoutSessionNames(const std::vector<std::string>& calls);

// The journal entries of the last prune element in `calls`: from the last
// buffer construction to its destruction.
std::vector<std::string> lastElementCalls(const std::vector<std::string>& calls);

}  // namespace bench
