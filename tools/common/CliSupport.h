// What the tools' command lines share: integer options read by the one
// integer parser, and one way to report a bad command line.
//
// Exit status of every tool: 0 for --help and --version, 2 for a usage error
// ("TOOL: what is wrong", then "Try 'TOOL --help'." on standard error).
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <iostream>
#include <limits>
#include <string>

#include "common/Integer.h"

namespace tqtool {

constexpr int kExitUsage = 2;

// A bad command line found after parsing (a relative path, a list that
// cannot be read); reported like CLI11's own errors.
struct UsageError {
    std::string message;
};

inline int usageError(const std::string& tool, const std::string& message) {
    std::cerr << tool << ": " << message << "\nTry '" << tool << " --help'.\n";
    return kExitUsage;
}

// "a 32-bit integer", "a whole number from 1 to 100000".
inline std::string describeRange(int64_t least, int64_t most) {
    if (least == std::numeric_limits<int32_t>::min() &&
        most == std::numeric_limits<int32_t>::max()) {
        return "a 32-bit integer";
    }
    if (least == std::numeric_limits<int64_t>::min() &&
        most == std::numeric_limits<int64_t>::max()) {
        return "a 64-bit integer";
    }
    return "a whole number from " + std::to_string(least) + " to " + std::to_string(most);
}

// An option `name` whose value, an integer from `least` to `most`, is handed
// to `store`. A value out of range or not a number is a usage error naming
// the option and the range.
template <typename Store>
CLI::Option* addIntegerOption(CLI::App& command, const std::string& name, const std::string& help,
                              int64_t least, int64_t most, Store store) {
    return command
        .add_option_function<std::string>(
            name,
            [name, least, most, store](const std::string& text) {
                int64_t value = 0;
                if (!tqcommon::parseInteger(text, least, most, value)) {
                    throw CLI::ValidationError(name + " needs " + describeRange(least, most) +
                                               ", not '" + text + "'");
                }
                store(value);
            },
            help)
        ->type_name("N");
}

// The same, stored in `slot`; by default the whole range of a signed `Int`.
template <typename Int>
CLI::Option* addInteger(CLI::App& command, const std::string& name, Int& slot,
                        const std::string& help, int64_t least = std::numeric_limits<Int>::min(),
                        int64_t most = std::numeric_limits<Int>::max()) {
    return addIntegerOption(command, name, help, least, most,
                            [&slot](int64_t value) { slot = static_cast<Int>(value); });
}

// A flag that may be given once, without a value.
inline CLI::Option* addFlag(CLI::App& command, const std::string& name, bool& slot,
                            const std::string& help) {
    return command.add_flag(name, slot, help)
        ->disable_flag_override()
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
}

// Refuses an empty value of an option that names something (a file, a path).
inline CLI::Validator nonEmpty(const std::string& what) {
    return CLI::Validator(
        [what](const std::string& value) {
            return value.empty() ? "needs " + what + ", not an empty text" : std::string();
        },
        "", "not empty");
}

// Parses the command line into what `app` defines, then returns `run()`.
// --help and --version print and give 0; a bad command line, CLI11's or a
// UsageError of `run`, gives kExitUsage.
template <typename Run>
int parseAndRun(CLI::App& app, int argc, char** argv, Run run) {
    try {
        app.parse(argc, argv);
        return run();
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0) {
            return app.exit(error);
        }
        return usageError(app.get_name(), error.what());
    } catch (const UsageError& error) {
        return usageError(app.get_name(), error.message);
    }
}

}  // namespace tqtool
