// Escaping of texts shown on one line.
#include "cisrv/Escape.h"

#include <cstdio>

namespace cisrv {

namespace {

void appendHex(std::string& out, unsigned char byte) {
    char escaped[8];
    (void)std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
    out += escaped;
}

// Length of the well-formed UTF-8 sequence at text[at] (lead byte >= 0x80),
// or 0 when it is not one.
size_t utf8SequenceLength(const std::string& text, size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    size_t length = 0;
    unsigned minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    unsigned codePoint = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    return codePoint >= minimum && codePoint <= 0x10FFFF && !surrogate ? length : 0;
}

}  // namespace

std::string escapeControl(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\\': out += "\\\\"; continue;
            case '\t': out += "\\t"; continue;
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            default: break;
        }
        if (byte >= 0x20 && byte < 0x7F) {
            out += c;
            continue;
        }
        // Controls, DEL and bytes that start no valid UTF-8 sequence are escaped.
        const size_t length = byte >= 0x80 ? utf8SequenceLength(text, at) : 0;
        if (length > 0) {
            out.append(text, at, length);
            at += length - 1;
        } else {
            appendHex(out, byte);
        }
    }
    return out;
}

}  // namespace cisrv
