// Texts from the network or the index shown on one line: in log lines and in
// the tab-separated search output.
#pragma once

#include <string>

namespace cisrv {

// `text` with backslashes, tabs, line breaks, other control bytes and bytes
// that are not UTF-8 written as escapes ("\\", "\t", "\n", "\r", "\xNN"),
// so it stays on one line, cannot pass for a line or a field of its own, and
// keeps a log a text file.
std::string escapeControl(const std::string& text);

}  // namespace cisrv
