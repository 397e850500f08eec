// The result of an operation that can fail: success, or a text saying why.
#pragma once

#include <string>
#include <utility>

namespace cisrv {

class Status {
public:
    static Status ok() { return Status(); }
    static Status failure(std::string message) { return Status(std::move(message)); }

    bool isOk() const { return !m_failed; }
    const std::string& message() const { return m_message; }

private:
    Status() = default;
    explicit Status(std::string message) : m_failed(true), m_message(std::move(message)) {}

    bool m_failed = false;
    std::string m_message;
};

}  // namespace cisrv
