// The product's debug log (libTqLib).
#pragma once

#include <string>

#include "TqPlatformApi.h"

// A file of the debug log shared by several EvDebug objects. Opaque here.
class EvDebugFileInstance;

class TQ_PLATFORM_API EvDebug {
public:
    // `instance` may be null: the log then opens its own file on initialize().
    explicit EvDebug(EvDebugFileInstance* instance);
    ~EvDebug();
    EvDebug(const EvDebug&) = delete;
    EvDebug& operator=(const EvDebug&) = delete;

    // Set the log up for writing. `moduleId` and `name` choose the file,
    // `level` the detail (negative: everything), `toConsole` mirrors lines to
    // standard error. False when the log cannot be opened.
    bool initialize(unsigned int moduleId, long long level, bool toConsole,
                    const std::string& name);
    // Format one line printf-style and write it whole. Does nothing before a
    // successful initialize().
    void debug(const char* format, ...) __attribute__((format(printf, 2, 3)));

    struct Impl;

private:
    EvDebugFileInstance* m_instance;
    Impl* m_impl;
};
