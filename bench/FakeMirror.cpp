#include "FakeMirror.h"

#include <algorithm>
#include <cstring>
#include <regex>

#include "FakeProduct.h"
#include "TQAppMgr.h"
#include "TqIds.h"

namespace bench {

namespace {

// As the library passes them.
constexpr int kAttachWait = 120;
constexpr int kSendWait = -1;
constexpr int kReceiveWait = 600;
constexpr unsigned int kLogModuleId = 0x27C30418;
constexpr long long kLogLevel = -123456;

constexpr char kBufferMade[] = "tqsDatabuf_v2()";
constexpr char kBufferGone[] = "~tqsDatabuf_v2()";

void attach(CTqNetwork& session, const char* host) {
    tqsExecuteRemoteDllType service{};
    std::strncpy(service.remoteLibraryName, tqmsg::kRemoteIndexLibrary,
                 sizeof service.remoteLibraryName);
    std::strncpy(service.remoteEntryName, tqmsg::kRemoteIndexEntry,
                 sizeof service.remoteEntryName);
    bool timedOut = false;
    (void)session.Attach_RemoteDLL(host, &service, "mirror", kAttachWait, timedOut);
}

}  // namespace

EraseMirror::EraseMirror(std::vector<std::string> logLines, const char* host, const char* path)
    : m_lines(std::move(logLines)) {
    attach(m_session, host);
    m_logger.initialize(kLogModuleId, kLogLevel, false, std::string());
    m_record.path = const_cast<char*>(path);
    m_recordLength = sizeof m_record + std::strlen(path) + 1;
}

void EraseMirror::run() {
    {
        tqsDatabuf_v2 buffer;
        buffer.setExternalBuffer(reinterpret_cast<char*>(&m_record), m_recordLength);
        if (!m_lines.empty()) m_logger.debug("%s", m_lines.front().c_str());
        bool timedOut = false;
        CYxError result =
            m_session.SendXDRMessage(tqmsg::kEraseDataReq, &buffer, 0, kSendWait, timedOut);
        unsigned long code = tqmsg::kEraseDataResp;
        tqmsg::EraseDataResp response{};
        buffer.setExternalBuffer(reinterpret_cast<char*>(&response), sizeof response);
        result = m_session.ReceiveXDRMessage(&code, &buffer, nullptr, 0, kReceiveWait, timedOut);
        (void)m_session.FreeReceivedMessage(tqmsg::kEraseDataResp, &buffer);
    }
    for (size_t i = 1; i < m_lines.size(); ++i) m_logger.debug("%s", m_lines[i].c_str());
}

PruneElementMirror::PruneElementMirror(const char* host, int serverClientId,
                                       bool cellLookupPerElement)
    : m_serverClient(tq::widenId(serverClientId)), m_cellLookup(cellLookupPerElement) {
    attach(m_session, host);
}

void PruneElementMirror::run(const _PruneElem& element) {
    tqmsg::AfPruneReq record{};
    tqsDatabuf_v2 buffer;
    buffer.setExternalBuffer(reinterpret_cast<char*>(&record), sizeof record);
    if (m_cellLookup) {
        TQClient server(m_serverClient);
        unsigned long cell = 0;
        (void)server.getVornCellId(cell, nullptr);
    }
    record.cloudId = element.cloudId;
    record.archiveFileId = element.archiveFileId;
    bool timedOut = false;
    (void)m_session.SendXDRMessage(tqmsg::kAfPruneReq, &buffer, 0, kSendWait, timedOut);
}

void scriptCoreWorld() {
    fake::reset();
    fake::addCell(core::kCell, core::kCellNumber);
    fake::world().clientEngines[{core::kClient, core::kAppType}].engineIds = {core::kCloud};
    fake::addCloudServedBy(core::kCloud, core::kServerClient);
    fake::addClient(core::kServerClient, core::kCell);
}

void clearJournal() {
    fake::World& world = fake::world();
    world.calls.clear();
    world.sent.clear();
    world.logLines.clear();
}

std::vector<_PruneElem> corePruneElements(int count) {
    std::vector<_PruneElem> elements;
    elements.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        elements.push_back(_PruneElem{core::kCellNumber, i + 1, core::kCloud, 0, 0, 0});
    }
    return elements;
}

namespace {

std::string mismatch(const char* what, const std::vector<std::string>& library,
                     const std::vector<std::string>& mirror) {
    if (library == mirror) return {};
    std::string text = std::string("the fake-alone baseline of ") + what +
                       " no longer makes the library's calls\nlibrary:\n";
    for (const auto& call : library) text += "  " + call + "\n";
    text += "baseline:\n";
    for (const auto& call : mirror) text += "  " + call + "\n";
    return text;
}

// A handle that has taken its first erase: the next one takes the cached path.
struct CachedHandle {
    CachedHandle() : handle(initEraseCIHelper()) { erase(); }
    ~CachedHandle() { deInitEraseCIHelper(handle); }
    CachedHandle(const CachedHandle&) = delete;
    CachedHandle& operator=(const CachedHandle&) = delete;
    int erase() {
        return eraseBackupData(handle, core::kCell, core::kClient, core::kAppType, core::kPath,
                               false);
    }
    void* handle;
};

}  // namespace

std::string eraseMirrorMismatch() {
    scriptCoreWorld();
    CachedHandle library;
    clearJournal();
    if (library.erase() != 0) return "the library's cached erase failed on the fake";
    const std::vector<std::string> calls = withoutSessionNames(fake::world().calls);
    const std::vector<std::string> lines = fake::world().logLines;
    EraseMirror mirror(lines, core::kServerHost, core::kPath);
    clearJournal();
    mirror.run();
    const std::string callsDiffer =
        mismatch("a cached erase", calls, withoutSessionNames(fake::world().calls));
    return callsDiffer.empty() ? mismatch("a cached erase's log", lines, fake::world().logLines)
                               : callsDiffer;
}

namespace {

// The journal of the last of three prune elements of one cloud; empty when
// the prune failed.
std::vector<std::string> callsOfALaterElement(std::vector<_PruneElem>& elements) {
    scriptCoreWorld();
    elements = corePruneElements(3);
    CIAFPruner pruner;
    if (pruner.PruneCIDocs(elements) != 0) return {};
    return withoutSessionNames(lastElementCalls(fake::world().calls));
}

}  // namespace

bool libraryLooksUpCellPerElement() {
    std::vector<_PruneElem> elements;
    const std::vector<std::string> calls = callsOfALaterElement(elements);
    return std::any_of(calls.begin(), calls.end(), [](const std::string& call) {
        return call.rfind("getVornCellId", 0) == 0;
    });
}

std::string pruneMirrorMismatch() {
    std::vector<_PruneElem> elements;
    const std::vector<std::string> calls = callsOfALaterElement(elements);
    if (calls.empty()) return "the library's prune failed on the fake";
    const bool lookup = libraryLooksUpCellPerElement();
    scriptCoreWorld();
    PruneElementMirror mirror(core::kServerHost, core::kServerClient, lookup);
    clearJournal();
    mirror.run(elements.back());
    return mismatch("a prune element", calls, withoutSessionNames(fake::world().calls));
}

std::vector<std::string> withoutSessionNames(const std::vector<std::string>& calls) {
    static const std::regex kSessionName("\\bS[0-9]+\\b");
    std::vector<std::string> out;
    out.reserve(calls.size());
    for (const std::string& call : calls) out.push_back(std::regex_replace(call, kSessionName, "S#"));
    return out;
}

std::vector<std::string> lastElementCalls(const std::vector<std::string>& calls) {
    const auto made = std::find(calls.rbegin(), calls.rend(), kBufferMade);
    if (made == calls.rend()) return {};
    const auto begin = made.base() - 1;
    const auto end = std::find(begin, calls.end(), kBufferGone);
    return std::vector<std::string>(begin, end == calls.end() ? end : end + 1);
}

}  // namespace bench
