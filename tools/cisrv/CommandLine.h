// The command line of cisrv: which command, and its options checked and
// converted.
#pragma once

#include <string>

#include "IndexStore.h"
#include "ServerConfig.h"
#include "Status.h"

namespace cisrv {

enum class Command { Help, Serve, Add, Search, Count };

struct CommandLine {
    Command command = Command::Help;
    std::string indexFile;
    // serve
    ServerConfig server;
    std::string portFile;
    std::string logFile;  // empty: standard error
    // add
    Document document;
    // search
    SearchFilter filter;
};

extern const char kUsage[];

// Parses the arguments as main() receives them (argv[0] is the program). A
// failure is a usage error and says what is wrong.
Status parseCommandLine(int argc, const char* const* argv, CommandLine& out);

}  // namespace cisrv
