// Throw-away certificate authorities and certificates for the TLS tests,
// made with the OpenSSL API in a temporary folder.
#pragma once

#include <memory>
#include <string>

#include "session/TqWire.h"

namespace sessiontest {

struct Issued {
    std::string certificate;
    std::string key;
};

class TestCerts {
public:
    TestCerts();
    ~TestCerts();
    TestCerts(const TestCerts&) = delete;
    TestCerts& operator=(const TestCerts&) = delete;

    // An authority named `name`; its certificate is `<name>-ca.pem`.
    std::string authority(const std::string& name);
    // A certificate `name` signed by authority `by`, naming `subjectAltName`
    // ("IP:127.0.0.1", "DNS:host"; empty: none), valid from `fromDays` to
    // `toDays` days from now.
    Issued issue(const std::string& by, const std::string& name, const std::string& subjectAltName,
                 int fromDays = -1, int toDays = 30);

    // Security of an end with the files of `issued` and authority `by`.
    tqsession::Security security(const std::string& by, const Issued& issued) const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Sets the session's security variables for the life of the object and
// clears them after (the tests otherwise run without them).
class ScopedSecurityEnvironment {
public:
    explicit ScopedSecurityEnvironment(const tqsession::Security& security);
    ~ScopedSecurityEnvironment();
    ScopedSecurityEnvironment(const ScopedSecurityEnvironment&) = delete;
    ScopedSecurityEnvironment& operator=(const ScopedSecurityEnvironment&) = delete;
};

}  // namespace sessiontest
