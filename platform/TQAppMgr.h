// The product's directory of the cell (libTQAppMgr): clients, applications,
// cells and content-indexing engines (clouds). Ids are unsigned 64-bit values.
#pragma once

#include <list>
#include <string>

#include "TqPlatformApi.h"

// The directory record of one client.
class TQ_PLATFORM_API TQClient {
public:
    TQClient(unsigned long vornCellId, unsigned long clientId);
    explicit TQClient(unsigned long clientId);
    virtual ~TQClient();
    TQClient(const TQClient&) = delete;
    TQClient& operator=(const TQClient&) = delete;

    // 0: `host` holds the name under which the client's remote services are
    // reached ("name[:port]"). Any other result is a failure.
    virtual int getMangledHostName(std::string& host, void* context);
    // 0: `vornCellId` holds the id of the client's cell. Any other result is a failure.
    int getVornCellId(unsigned long& vornCellId, void* context);

    unsigned long clientId() const { return m_clientId; }

private:
    unsigned long m_vornCellId;
    unsigned long m_clientId;
};

// An application (subclient) of the cell.
class TQ_PLATFORM_API ApplicationId {
public:
    ApplicationId(unsigned long vornCellId, unsigned long applicationId);
    ~ApplicationId();
    ApplicationId(const ApplicationId&) = delete;
    ApplicationId& operator=(const ApplicationId&) = delete;

    // The client that owns the application, or null. The record is created
    // for the caller, who owns it and deletes it; it outlives this object.
    TQClient* getClient(void* context);

private:
    unsigned long m_vornCellId;
    unsigned long m_applicationId;
};

// A cell (VornCell).
class TQ_PLATFORM_API TQVornCell {
public:
    explicit TQVornCell(unsigned long vornCellId);
    ~TQVornCell();
    TQVornCell(const TQVornCell&) = delete;
    TQVornCell& operator=(const TQVornCell&) = delete;

    // Store the cell's number in `number`, or leave it untouched when the
    // directory has none (0 means no number). 0 on success.
    int getVornCellNumber(unsigned long& number, void* context);

private:
    unsigned long m_vornCellId;
};

class TQ_PLATFORM_API AdaptersBase {
public:
    AdaptersBase() = default;
};

class TQ_PLATFORM_API ComponentLookup : public AdaptersBase {
public:
    ComponentLookup() : m_lookupContext(nullptr), m_lookupFlags(0) {}

protected:
    void* m_lookupContext;
    unsigned long m_lookupFlags;
};

// A content-indexing engine (cloud) and the clients that form it.
class TQ_PLATFORM_API ContentIndexEngine : public ComponentLookup {
public:
    explicit ContentIndexEngine(unsigned long cloudId) : m_cloudId(cloudId) {}
    ~ContentIndexEngine();
    ContentIndexEngine(const ContentIndexEngine&) = delete;
    ContentIndexEngine& operator=(const ContentIndexEngine&) = delete;

    // 0: `clients` lists the clients of the cloud and `properties` each one's
    // property word at the same position (bit 0: the cloud's CI CDS client);
    // `text` receives the cloud's name. Any other result is a failure.
    int getCloudClientList(std::list<unsigned long>& clients,
                           std::list<unsigned long>& properties, std::string& text,
                           void* context);

private:
    unsigned long m_cloudId;
};
