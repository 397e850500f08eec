// Information about the local machine and the product instance on it (libTqLib).
#pragma once

#include "TqPlatformApi.h"

class TQ_PLATFORM_API TQPI_Focus {
public:
    // The focus (instance name) of this process, NUL-terminated; never null.
    static const char* getFocus();
};

class TQ_PLATFORM_API TQPlatformInfo {
public:
    TQPlatformInfo();
    ~TQPlatformInfo();
    TQPlatformInfo(const TQPlatformInfo&) = delete;
    TQPlatformInfo& operator=(const TQPlatformInfo&) = delete;

    // Answer later queries for the instance named `focus`.
    void setFocus(const char* focus);
    // Platform flags of the focused instance. Bit 0: the machine is a VornServer.
    unsigned int getTQPlatformType();
    // Copy the VornServer client name into `buffer` (NUL-terminated, at most
    // `size` bytes with the NUL). Returns 0, or non-zero when there is none.
    int getVornServerClientName(char* buffer, int size);
    // The local physical machine name; valid while this object lives.
    const char* getPhysicalMachine();

    struct Impl;

private:
    Impl* m_impl;
};
