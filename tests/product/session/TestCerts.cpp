#include "TestCerts.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "TemporaryFolder.h"

namespace sessiontest {

namespace {

constexpr long kSecondsPerDay = 24 * 60 * 60;

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct ExtFree {
    void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
};
struct FileClose {
    void operator()(FILE* file) const { std::fclose(file); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    std::unique_ptr<X509_EXTENSION, ExtFree> extension(
        X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
    ASSERT_TRUE(extension) << "extension " << value;
    X509_add_ext(cert, extension.get(), -1);
}

Cert makeCert(const std::string& commonName, EVP_PKEY* key, X509* issuer, int fromDays, int toDays,
              long serial) {
    Cert cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), fromDays * kSecondsPerDay);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), toDays * kSecondsPerDay);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    X509_set_issuer_name(cert.get(), issuer != nullptr ? X509_get_subject_name(issuer) : name);
    X509_set_pubkey(cert.get(), key);
    return cert;
}

void writePem(const std::string& path, X509* cert, EVP_PKEY* key) {
    std::unique_ptr<FILE, FileClose> file(std::fopen(path.c_str(), "w"));
    ASSERT_TRUE(file) << path;
    // Key files must be private to be used; certificates may as well be.
    ASSERT_EQ(::fchmod(::fileno(file.get()), 0600), 0) << path;
    if (cert != nullptr) {
        PEM_write_X509(file.get(), cert);
    }
    if (key != nullptr) {
        PEM_write_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
    }
}

void setOrUnset(const char* name, const std::string& value) {
    if (value.empty()) {
        ::unsetenv(name);
    } else {
        ::setenv(name, value.c_str(), 1);
    }
}

}  // namespace

struct TestCerts::Impl {
    struct Authority {
        Key key;
        Cert cert;
    };
    tqtest::TemporaryFolder folder{"tq-tls-test"};
    std::filesystem::path dir{folder.path()};
    std::map<std::string, Authority> authorities;
    long serial = 1;
};

TestCerts::TestCerts() : m_impl(new Impl) {}

TestCerts::~TestCerts() = default;

std::string TestCerts::authority(const std::string& name) {
    Impl::Authority authority;
    authority.key.reset(EVP_EC_gen("P-256"));
    authority.cert =
        makeCert(name + " authority", authority.key.get(), nullptr, -1, 365, m_impl->serial++);
    addExtension(authority.cert.get(), authority.cert.get(), NID_basic_constraints,
                 "critical,CA:TRUE");
    addExtension(authority.cert.get(), authority.cert.get(), NID_key_usage,
                 "critical,keyCertSign,cRLSign");
    X509_sign(authority.cert.get(), authority.key.get(), EVP_sha256());
    const std::string path = (m_impl->dir / (name + "-ca.pem")).string();
    writePem(path, authority.cert.get(), nullptr);
    m_impl->authorities[name] = std::move(authority);
    return path;
}

Issued TestCerts::issue(const std::string& by, const std::string& name,
                        const std::string& subjectAltName, int fromDays, int toDays) {
    const Impl::Authority& authority = m_impl->authorities.at(by);
    Key key(EVP_EC_gen("P-256"));
    Cert cert = makeCert(name, key.get(), authority.cert.get(), fromDays, toDays, m_impl->serial++);
    addExtension(cert.get(), authority.cert.get(), NID_basic_constraints, "CA:FALSE");
    if (!subjectAltName.empty()) {
        addExtension(cert.get(), authority.cert.get(), NID_subject_alt_name, subjectAltName);
    }
    X509_sign(cert.get(), authority.key.get(), EVP_sha256());
    Issued issued;
    issued.certificate = (m_impl->dir / (name + ".pem")).string();
    issued.key = (m_impl->dir / (name + ".key")).string();
    writePem(issued.certificate, cert.get(), nullptr);
    writePem(issued.key, nullptr, key.get());
    return issued;
}

tqsession::Security TestCerts::security(const std::string& by, const Issued& issued) const {
    tqsession::Security security;
    security.certificate = issued.certificate;
    security.key = issued.key;
    security.authority = (m_impl->dir / (by + "-ca.pem")).string();
    return security;
}

ScopedSecurityEnvironment::ScopedSecurityEnvironment(const tqsession::Security& security) {
    setOrUnset(tqsession::kTlsCertVariable, security.certificate);
    setOrUnset(tqsession::kTlsKeyVariable, security.key);
    setOrUnset(tqsession::kTlsCaVariable, security.authority);
    setOrUnset(tqsession::kAllowPlaintextVariable, security.allowPlaintext ? "1" : "");
}

ScopedSecurityEnvironment::~ScopedSecurityEnvironment() {
    for (const char* name : {tqsession::kTlsCertVariable, tqsession::kTlsKeyVariable,
                             tqsession::kTlsCaVariable, tqsession::kAllowPlaintextVariable}) {
        ::unsetenv(name);
    }
}

}  // namespace sessiontest
