// CYxError: a signed result code and an optional description.
#include "YxError.h"

#include <new>
#include <string>

namespace {

// Short names of the codes this repository's libraries return; used when an
// error carries no text of its own.
const char* codeName(int32_t code) {
    switch (code) {
        case tqerr::kHostNotFound: return "host not found";
        case tqerr::kConnectionRefused: return "connection refused";
        case tqerr::kTimedOut: return "timed out";
        case tqerr::kPeerClosed: return "peer closed the connection";
        case tqerr::kFrameTooLarge: return "frame too large";
        case tqerr::kProtocol: return "protocol error";
        case tqerr::kNotAttached: return "session not attached";
        case tqerr::kServiceRefused: return "service refused";
        case tqerr::kInvalidArgument: return "invalid argument";
        case tqerr::kIo: return "I/O error";
        case tqerr::kNoMemory: return "out of memory";
        case tqerr::kSecurity: return "security error";
        case tqerr::kNotFound: return "not found";
        case tqerr::kNotADirectory: return "not a directory database";
        default: return nullptr;
    }
}

// Copies `text` into `target`. A result must survive a failed allocation, so
// the text is then dropped instead of the result.
template <typename Text>
void assignText(std::string& target, const Text& text) noexcept {
    try {
        target = text;
    } catch (const std::bad_alloc&) {
        target.clear();
    }
}

}  // namespace

CYxError::CYxError() : m_code(tqerr::kOk) {}

CYxError::CYxError(int32_t code, const char* text) : m_code(code) {
    if (text != nullptr) {
        assignText(m_text, text);
    }
}

CYxError::CYxError(const CYxError& other) : m_code(other.m_code) {
    assignText(m_text, other.m_text);
}

CYxError& CYxError::operator=(const CYxError& other) {
    if (this != &other) {
        m_code = other.m_code;
        assignText(m_text, other.m_text);
    }
    return *this;
}

CYxError::~CYxError() = default;

bool CYxError::IsError() const { return m_code < 0; }

std::string CYxError::AsString() const {
    if (!m_text.empty()) {
        return m_text;
    }
    if (m_code == tqerr::kOk) {
        return "Success";
    }
    const char* name = codeName(m_code);
    std::string described = name != nullptr ? name : (IsError() ? "error" : "result");
    return described + " (code " + std::to_string(m_code) + ")";
}

int32_t CYxError::Code() const { return m_code; }
