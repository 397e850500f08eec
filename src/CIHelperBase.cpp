// TQCIHelper: keeps the content index in step with deletions.
//
// The library in four units, in the order an erase runs: this one holds the
// plain entry points and the helper base (log, initialisation, attachment,
// directory lookups); CIEraseWrapper.cpp the three erases and what they
// remember between calls; EraseExchange.cpp one erase request's exchange with
// a CI server; CIAFPruner.cpp archive-file pruning. The library reaches the
// network, the directory and the log only through the product classes
// declared in platform/.
//
// Every text this library writes to its log is fixed: operators and their
// tools search for it as it stands, typos included ("clould", "succees",
// "vornecell"). Calls marked "fixed text" must not be reworded or corrected;
// docs/GLOSSARY.md lists them.

#include "TQCIHelper.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "SessionWaits.h"
#include "TQAppMgr.h"
#include "TQPlatformInfo.h"
#include "TqIds.h"
#include "TqMessages.h"

// Version stamp: one line in a section that is not loaded at run time, read by
// tools that inspect the installed file.
#ifndef TQCI_VERSION_LINE
#error "TQCI_VERSION_LINE must be defined by the build"
#endif
asm(".pushsection TqVersion,\"\",@progbits\n\t"
    ".ascii \"" TQCI_VERSION_LINE
    "\\n\"\n\t"
    ".popsection");

namespace {

using tqci::kAttachWait;
using tqci::kDisconnectWait;

// What the helper's debug log is opened with.
constexpr unsigned int kLogModuleId = 0x27C30418;
constexpr long long kLogLevel = -123456;

// The property bit that marks a cloud's CI server among its clients.
constexpr unsigned long kCiCdsClientProperty = 1ul;

// Guards the shared line buffer: helpers on different threads must not
// overwrite each other's lines while formatting. Uncontended it costs a few
// nanoseconds; a buffer per call would put 64 KiB on hosts' thread stacks.
std::mutex sLogLock;

}  // namespace

// ---------------------------------------------------------------------------
// Plain entry points
// ---------------------------------------------------------------------------

extern "C" {

void* initEraseCIHelper() { return static_cast<void*>(new (std::nothrow) CIEraseWrapper); }

void deInitEraseCIHelper(void* handle) { delete static_cast<CIEraseWrapper*>(handle); }

int eraseBackupData(void* handle, int vornCellId, int clientId, int appType, const char* path,
                    bool flag) {
    if (handle == nullptr) {
        return 1;
    }
    return static_cast<CIEraseWrapper*>(handle)->eraseBackupData(vornCellId, clientId, appType,
                                                                 path, flag);
}

int eraseMigratedData(void* handle, int vornCellId, int applicationId, const char* path,
                      bool flag) {
    if (handle == nullptr) {
        return 1;
    }
    return static_cast<CIEraseWrapper*>(handle)->eraseMigratedData(vornCellId, applicationId, path,
                                                                   flag);
}

}  // extern "C"

// ---------------------------------------------------------------------------
// CIHelperBase: log, initialisation, attachment, directory lookups
// ---------------------------------------------------------------------------

char CIHelperBase::sMessage[CIHelperBase::kMessageSize];

CIHelperBase::CIHelperBase()
    : initialized(false), serverListResolved(false), serverListAppType(0), logger(nullptr) {}

CIHelperBase::~CIHelperBase() {
    bool timedOut = false;
    (void)defaultSession.Disconnect(kDisconnectWait, timedOut);
    initialized = false;
}

bool CIHelperBase::init() {
    if (initialized) {
        return true;
    }
    if (!logger.initialize(kLogModuleId, kLogLevel, false, std::string())) {
        return false;
    }
    if (!initialize()) {
        logger.debug("%s", "Failed to initialize CI helper object.");  // fixed text
        return false;
    }
    initialized = true;
    return true;
}

void CIHelperBase::CIHelperLog(const char* format, ...) {
    if (!initialized || format == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(sLogLock);
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(sMessage, kMessageSize, format, args);
    va_end(args);
    if (length < 0) {
        (void)std::snprintf(sMessage, kMessageSize, "(unformattable log line: %s)", format);
    } else if (static_cast<size_t>(length) >= kMessageSize) {
        // Cut to the buffer; the marker tells a reader the line was longer.
        static constexpr char kCutMarker[] = "...";
        std::memcpy(sMessage + kMessageSize - sizeof kCutMarker, kCutMarker, sizeof kCutMarker);
    }
    // The finished line is data: a per cent sign in it is never read as a directive.
    logger.debug("%s", sMessage);
}

namespace {

constexpr unsigned int kPlatformTypeVornServer = 1u;
constexpr size_t kLocalNameSize = 256;
constexpr size_t kServiceNameSize = 256;

// The mangled host name of the client named by `applicationId` (when not 0)
// or `clientId`; false after a line that says which lookup failed.
bool mangledHostNameOf(CIHelperBase& helper, int vornCellId, int clientId, int applicationId,
                       std::string& hostName) {
    // An application id takes precedence; the client id then only names the
    // client in messages. Either way the record is ours to release.
    std::unique_ptr<TQClient> client;
    if (applicationId != 0) {
        ApplicationId application(tq::widenId(vornCellId), tq::widenId(applicationId));
        client.reset(application.getClient(nullptr));
    } else {
        client = std::make_unique<TQClient>(tq::widenId(vornCellId), tq::widenId(clientId));
    }
    if (!client) {
        // fixed text
        helper.CIHelperLog("Failed to get client object from application id [%d] client id [%d]",
                           applicationId, clientId);
        return false;
    }
    if (client->getMangledHostName(hostName, nullptr) != 0) {
        // fixed text
        helper.CIHelperLog("Failed to get mangled host name from client id[%d] application id [%d]",
                           clientId, applicationId);
        return false;
    }
    return true;
}

// The remote indexing service of a CI server, as the session names it.
tqsExecuteRemoteDllType indexService() {
    tqsExecuteRemoteDllType service;
    std::memset(&service, 0, sizeof service);
    std::strncpy(service.remoteLibraryName, tqmsg::kRemoteIndexLibrary, kServiceNameSize);
    std::strncpy(service.remoteEntryName, tqmsg::kRemoteIndexEntry, kServiceNameSize);
    return service;
}

// The name this machine gives the server: its client name on a vornServer,
// otherwise its physical machine name, cut to fit.
void localNameOf(TQPlatformInfo& platformInfo, char (&localName)[kLocalNameSize]) {
    if (platformInfo.getTQPlatformType() & kPlatformTypeVornServer) {
        platformInfo.getVornServerClientName(localName, static_cast<int>(kLocalNameSize));
    } else if (const char* machine = platformInfo.getPhysicalMachine()) {
        std::strncpy(localName, machine, kLocalNameSize - 1);
    }
    localName[kLocalNameSize - 1] = '\0';
}

}  // namespace

bool CIHelperBase::attach(int vornCellId, int clientId, int applicationId, CTqNetwork* session) {
    TQPlatformInfo platformInfo;
    if (clientId == 0 && applicationId == 0) {
        CIHelperLog("Both application ID and client ID are zeros.");  // fixed text
        return false;
    }
    platformInfo.setFocus(TQPI_Focus::getFocus());
    std::string mangledHostName;
    if (!mangledHostNameOf(*this, vornCellId, clientId, applicationId, mangledHostName)) {
        return false;
    }

    if (session == nullptr) {
        session = &defaultSession;
    }
    tqsExecuteRemoteDllType service = indexService();
    char localName[kLocalNameSize] = {};
    localNameOf(platformInfo, localName);
    bool timedOut = false;
    CYxError error = session->Attach_RemoteDLL(mangledHostName.c_str(), &service, localName,
                                               kAttachWait, timedOut);
    if (error.IsError()) {
        CIHelperLog("Failed to attach the remote CI server [%s]. Error:[%s]",  // fixed text
                    mangledHostName.c_str(), error.AsString().c_str());
        return false;
    }
    return true;
}

bool CIHelperBase::getVornCellNumber(int vornCellId, int& vornCellNumber) {
    TQVornCell cell(tq::widenId(vornCellId));
    unsigned long number = 0;
    (void)cell.getVornCellNumber(number, nullptr);
    // A number whose low 32 bits are 0 would go out as "no number": refuse it too.
    const int narrowed = tq::narrowId(number);
    if (narrowed == 0) {
        return false;
    }
    vornCellNumber = narrowed;
    return true;
}

bool CIHelperBase::getCISvrClientId(int cloudId, int& ciServerClientId) {
    ContentIndexEngine engine(tq::widenId(cloudId));
    std::list<unsigned long> clients;
    std::list<unsigned long> properties;
    std::string text;
    ciServerClientId = -1;
    if (engine.getCloudClientList(clients, properties, text, nullptr) != 0) {
        CIHelperLog("Failed to get clould client properties. cloud[%d]", cloudId);  // fixed text
        return false;
    }
    // fixed text
    CIHelperLog("List of client that form the cloud [%d]", static_cast<int>(clients.size()));
    auto client = clients.begin();
    auto property = properties.begin();
    for (; client != clients.end() && property != properties.end(); ++client, ++property) {
        if (*property & kCiCdsClientProperty) {
            ciServerClientId = tq::narrowId(*client);
            CIHelperLog("CI CDS client id is [%d]", ciServerClientId);  // fixed text
            return true;
        }
    }
    return false;
}

bool CIHelperBase::send(int, const tqsDatabuf*) { return false; }
