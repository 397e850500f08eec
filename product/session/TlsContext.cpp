// The process's TLS contexts: built from the security's files on first use,
// checked before use, and kept. A client's context is read again when the
// change time of one of its files changed; a server's when the server asks.
// Revocation lists are read and checked here: with TQ_TLS_CRL set, a list
// that is missing, unreadable, not signed by the authority or out of date
// fails the context, so that nobody is accepted (fail closed).
#include "session/TlsContext.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <vector>

#include "session/Errors.h"
#include "session/Waits.h"

namespace tqsession::detail {

void ContextDeleter::operator()(SSL_CTX* context) const { SSL_CTX_free(context); }

namespace {

// Room for one OpenSSL error text.
constexpr size_t kErrorTextSize = 256;
// A client whose own certificate runs out within this many days says so.
constexpr int64_t kClientWarnDays = 30;
constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kSecondsPerHour = 3600;
// A client looks at its files at most this often: the attaches of one call
// to many servers, or of a loop, cost no system call for it.
constexpr int64_t kLookEveryMs = 1000;
// Longest subject kept for a log line.
constexpr size_t kMostNameLength = 256;

struct CertificateDeleter {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct ListDeleter {
    void operator()(X509_CRL* list) const { X509_CRL_free(list); }
};
struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using CertificatePtr = std::unique_ptr<X509, CertificateDeleter>;
using ListPtr = std::unique_ptr<X509_CRL, ListDeleter>;
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

// What a file was like when it was read. A rename puts another inode there,
// a write or a chmod changes the change time: either makes a client read
// its files again. A folder of lists changes when its entries do.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    timespec changed{};
    off_t size = 0;
    int error = 0;

    bool operator==(const FileStamp& other) const {
        return device == other.device && inode == other.inode &&
               changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec &&
               size == other.size && error == other.error;
    }
};
// Two files tell a client that its files changed, so that an attach costs
// at most two stat() calls: the certificate, and the revocation lists (the
// authority without them). The key comes with its certificate (a
// certificate whose new key is not there yet fails the rebuild, which is
// tried again), and with lists set a new authority needs a new list file
// anyway, since its certificates are refused without one.
using FileStamps = std::array<FileStamp, 2>;

FileStamp stampOf(const std::string& path) {
    FileStamp stamp;
    struct stat info {};
    if (path.empty()) {
        return stamp;
    }
    if (::stat(path.c_str(), &info) != 0) {
        stamp.error = errno;
        return stamp;
    }
    stamp.device = info.st_dev;
    stamp.inode = info.st_ino;
    stamp.changed = info.st_ctim;
    stamp.size = info.st_size;
    return stamp;
}

FileStamps stampsOf(const Security& security) {
    const std::string& lists =
        security.revocations.empty() ? security.authority : security.revocations;
    return {stampOf(security.certificate), stampOf(lists)};
}

int64_t secondsOf(const ASN1_TIME* time) {
    std::tm parts{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) {
        return 0;
    }
    return static_cast<int64_t>(::timegm(&parts));
}

std::string utcText(int64_t seconds) {
    const auto when = static_cast<time_t>(seconds);
    std::tm parts{};
    char text[32] = "?";
    if (::gmtime_r(&when, &parts) != nullptr) {
        (void)std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    }
    return text;
}

// RFC 2253 with control and non-ASCII bytes escaped: a peer's name cannot
// forge a log line.
std::string nameText(const X509_NAME* name) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253) < 0) {
        return "?";
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    std::string text(data, static_cast<size_t>(std::max(length, 0L)));
    if (text.size() > kMostNameLength) {
        text.resize(kMostNameLength), text += "...";
    }
    return text;
}

// In hex, as `openssl x509 -serial` prints it.
std::string serialText(const X509* certificate) {
    BIGNUM* number = ASN1_INTEGER_to_BN(X509_get0_serialNumber(certificate), nullptr);
    char* hex = number != nullptr ? BN_bn2hex(number) : nullptr;
    std::string text = hex != nullptr ? hex : "?";
    OPENSSL_free(hex);
    BN_free(number);
    return text;
}

bool isRehashName(const std::string& name) {
    constexpr size_t kHashDigits = 8;
    if (name.size() < kHashDigits + 3 || name.compare(kHashDigits, 2, ".r") != 0) {
        return false;
    }
    const auto isHex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    const auto isDigit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    return std::all_of(name.begin(), name.begin() + kHashDigits, isHex) &&
           std::all_of(name.begin() + kHashDigits + 2, name.end(), isDigit);
}

// Appends every PEM item `read` finds in `path`; false with `why` when the
// file cannot be read, holds a malformed item, or none.
template <typename Ptr, typename Read>
bool readPemItems(const std::string& path, const char* kind, Read read, std::vector<Ptr>& items,
                  std::string& why) {
    ERR_clear_error();
    errno = 0;
    BioPtr bio(BIO_new_file(path.c_str(), "r"));
    if (!bio) {
        why = "cannot read " + path + " (" + (errno != 0 ? errnoText(errno) : takeOpenSslErrors()) +
              ")";
        return false;
    }
    const size_t before = items.size();
    while (auto* item = read(bio.get(), nullptr, nullptr, nullptr)) {
        items.emplace_back(item);
    }
    // The end of the file leaves "no start line" queued; anything else is a
    // malformed item.
    const unsigned long last = ERR_peek_last_error();
    const bool atEnd =
        ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE;
    if (!atEnd) {
        why = path + " holds a malformed " + kind + " (" + takeOpenSslErrors() + ")";
        return false;
    }
    ERR_clear_error();
    if (items.size() == before) {
        why = path + " holds no " + kind + " (PEM)";
        return false;
    }
    return true;
}

bool readCertificates(const std::string& path, std::vector<CertificatePtr>& out, std::string& why) {
    return readPemItems(path, "certificate", PEM_read_bio_X509, out, why);
}

// The lists of a PEM file, or of every c_rehash entry (HASH.rN) of a folder.
bool readLists(const std::string& path, std::vector<ListPtr>& out, std::string& why) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        why = "cannot read " + path + " (" + errnoText(errno) + ")";
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        return readPemItems(path, "revocation list", PEM_read_bio_X509_CRL, out, why);
    }
    std::vector<std::string> names;
    std::error_code failed;
    for (std::filesystem::directory_iterator entry(path, failed), end; !failed && entry != end;
         entry.increment(failed)) {
        std::string name = entry->path().filename().string();
        if (isRehashName(name)) {
            names.push_back(std::move(name));
        }
    }
    if (failed) {
        why = "cannot read the folder " + path + " (" + failed.message() + ")";
        return false;
    }
    if (names.empty()) {
        why = "the folder " + path + " holds no revocation list in c_rehash form (HASH.r0: run " +
              "openssl rehash " + path + ")";
        return false;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string entry = path;
        entry.append("/").append(name);
        if (!readLists(entry, out, why)) {
            return false;
        }
    }
    return true;
}

// Of several lists of one authority (an old one left beside the new), the
// newest counts.
void keepNewest(std::vector<ListPtr>& lists) {
    std::vector<ListPtr> kept;
    for (ListPtr& list : lists) {
        const auto same = std::find_if(kept.begin(), kept.end(), [&](const ListPtr& other) {
            return X509_NAME_cmp(X509_CRL_get_issuer(other.get()),
                                 X509_CRL_get_issuer(list.get())) == 0;
        });
        if (same == kept.end()) {
            kept.push_back(std::move(list));
        } else if (ASN1_TIME_compare(X509_CRL_get0_lastUpdate(list.get()),
                                     X509_CRL_get0_lastUpdate(same->get())) > 0) {
            *same = std::move(list);
        }
    }
    lists = std::move(kept);
}

// Whether an authority certificate of `store` signed `list`.
bool signedByAuthority(X509_STORE* store, X509_CRL* list) {
    STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(store);
    for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
        X509* authority = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i));
        if (authority != nullptr &&
            X509_NAME_cmp(X509_get_subject_name(authority), X509_CRL_get_issuer(list)) == 0 &&
            X509_CRL_verify(list, X509_get0_pubkey(authority)) == 1) {
            return true;
        }
    }
    ERR_clear_error();
    return false;
}

CYxError contextError(const std::string& what) {
    const std::string reasons = takeOpenSslErrors();
    return makeError(tqerr::kSecurity,
                     "TLS setup failed: " + what + (reasons.empty() ? "" : " (" + reasons + ")"));
}

CYxError revocationError(const Security& security, const std::string& what) {
    ERR_clear_error();
    return makeError(tqerr::kSecurity, "TLS setup failed: " + std::string(kTlsCrlVariable) + " " +
                                           security.revocations + ": " + what +
                                           "; nobody is accepted until the list is fixed");
}

// The lists of TQ_TLS_CRL go into the context's store once each is signed by
// an authority of the store and within its update times; then every peer's
// certificate is checked against its authority's list.
bool addRevocations(SSL_CTX* context, const Security& security, CYxError& error) {
    std::vector<ListPtr> lists;
    std::string why;
    if (!readLists(security.revocations, lists, why)) {
        error = revocationError(security, why);
        return false;
    }
    keepNewest(lists);
    X509_STORE* store = SSL_CTX_get_cert_store(context);
    for (const ListPtr& list : lists) {
        const std::string issuer = "the list of " + nameText(X509_CRL_get_issuer(list.get()));
        const ASN1_TIME* next = X509_CRL_get0_nextUpdate(list.get());
        if (!signedByAuthority(store, list.get())) {
            error = revocationError(security, issuer + " is not signed by an authority of " +
                                                  kTlsCaVariable + " " + security.authority);
            return false;
        }
        if (next != nullptr && X509_cmp_current_time(next) <= 0) {
            error = revocationError(security, issuer + " is past its next update (" +
                                                  utcText(secondsOf(next)) +
                                                  "): make a new one (openssl ca -gencrl)");
            return false;
        }
        if (X509_cmp_current_time(X509_CRL_get0_lastUpdate(list.get())) > 0) {
            error = revocationError(
                security, issuer + " is not valid yet (last update " +
                              utcText(secondsOf(X509_CRL_get0_lastUpdate(list.get()))) + ")");
            return false;
        }
        if (X509_STORE_add_crl(store, list.get()) != 1) {
            error = contextError("cannot use the revocation lists of " + security.revocations);
            return false;
        }
    }
    X509_STORE_set_flags(store, X509_V_FLAG_CRL_CHECK);
    return true;
}

bool checkFiles(TlsRole role, const Security& security, CYxError& error) {
    if (security.authority.empty()) {
        error = makeError(tqerr::kSecurity, std::string("TLS setup failed: ") + kTlsCaVariable +
                                                " (the cell's authority) is not set");
        return false;
    }
    if (security.certificate.empty() != security.key.empty()) {
        error =
            makeError(tqerr::kSecurity, std::string("TLS setup failed: ") + kTlsCertVariable +
                                            " and " + kTlsKeyVariable + " must be set together");
        return false;
    }
    if (role == TlsRole::Server && security.certificate.empty()) {
        error = makeError(tqerr::kSecurity, std::string("TLS setup failed: a server needs ") +
                                                kTlsCertVariable + " and " + kTlsKeyVariable);
        return false;
    }
    return true;
}

// A key that group or others can read is no longer secret, and one they can
// write can be swapped for theirs; either is refused unless the owner says
// the key is shared on purpose. A file that cannot be examined is left to
// OpenSSL's load, which names the problem.
bool checkKeyIsPrivate(const Security& security, CYxError& error) {
    constexpr mode_t kShared = S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH;
    struct stat info {};
    if (security.allowSharedKey || ::stat(security.key.c_str(), &info) != 0 ||
        (info.st_mode & kShared) == 0) {
        return true;
    }
    char mode[8];
    (void)std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    error = makeError(tqerr::kSecurity, "TLS setup failed: private key " + security.key +
                                            " is readable or writable by group or others (mode " +
                                            mode + "); make it private with chmod 600 " +
                                            security.key + " (or set " + kAllowSharedKeyVariable +
                                            "=1 for a key on a read-only mount)");
    return false;
}

// A client's line for its log when its own certificate runs out soon.
std::string expiryNotice(SSL_CTX* context, const Security& security) {
    X509* own = SSL_CTX_get0_certificate(context);
    const int64_t expires = own != nullptr ? secondsOf(X509_get0_notAfter(own)) : 0;
    const int64_t now = ::time(nullptr);
    if (expires == 0 || expires - now > kClientWarnDays * kSecondsPerDay) {
        return std::string();
    }
    return "TLS certificate " + security.certificate + " (" + describeCertificate(own) +
           ") expires " + describeExpiry(expires, now) +
           ": renew it (the new files are read at the next attach)";
}

bool build(TlsRole role, const Security& security, ContextPtr& out, std::string& notice,
           CYxError& error) {
    if (!checkFiles(role, security, error)) {
        return false;
    }
    ERR_clear_error();
    ContextPtr context(
        SSL_CTX_new(role == TlsRole::Client ? TLS_client_method() : TLS_server_method()));
    if (!context) {
        error = contextError("cannot create a context");
        return false;
    }
    SSL_CTX* ctx = context.get();
    SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
    // Whole records per read: one system call brings in what has arrived.
    SSL_CTX_set_read_ahead(ctx, 1);
    // Sessions are long-lived and few: no resumption, no tickets to send or keep.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(ctx, 0);
    if (!security.certificate.empty()) {
        if (!checkKeyIsPrivate(security, error)) {
            return false;
        }
        if (SSL_CTX_use_certificate_chain_file(ctx, security.certificate.c_str()) != 1) {
            error = contextError("cannot read certificate " + security.certificate);
            return false;
        }
        if (SSL_CTX_use_PrivateKey_file(ctx, security.key.c_str(), SSL_FILETYPE_PEM) != 1) {
            const bool mismatch =
                ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH;
            error = contextError(mismatch ? "key " + security.key + " does not match certificate " +
                                                security.certificate
                                          : "cannot read key " + security.key);
            return false;
        }
        if (SSL_CTX_check_private_key(ctx) != 1) {
            error = contextError("key " + security.key + " does not match certificate " +
                                 security.certificate);
            return false;
        }
    }
    if (SSL_CTX_load_verify_locations(ctx, security.authority.c_str(), nullptr) != 1) {
        error = contextError("cannot read authority " + security.authority);
        return false;
    }
    if (!security.revocations.empty() && !addRevocations(ctx, security, error)) {
        return false;
    }
    SSL_CTX_set_verify(ctx,
                       role == TlsRole::Server ? SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT
                                               : SSL_VERIFY_PEER,
                       nullptr);
    notice = role == TlsRole::Client ? expiryNotice(ctx, security) : std::string();
    out = std::move(context);
    return true;
}

// The contexts built so far, keyed by role and files. OpenSSL is initialised
// before the map exists, so the map is destroyed before OpenSSL cleans up at
// exit.
class ContextCache {
public:
    ContextCache() { OPENSSL_init_ssl(0, nullptr); }

    bool borrow(TlsRole role, const Security& security, SSL_CTX*& out, CYxError& error) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        bool built = false;
        Entry* entry = entryLocked(role, security, built, error);
        if (entry == nullptr) {
            return false;
        }
        if (role == TlsRole::Client && !built && entry->nextLook.expired()) {
            entry->nextLook = Deadline::afterMs(kLookEveryMs);
            refresh(*entry, role, security);
        }
        out = entry->context.get();
        return true;
    }

    bool acquire(TlsRole role, const Security& security, ContextPtr& out, CYxError& error) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        bool built = false;
        Entry* entry = entryLocked(role, security, built, error);
        if (entry == nullptr) {
            return false;
        }
        SSL_CTX_up_ref(entry->context.get());
        out.reset(entry->context.get());
        return true;
    }

    std::string takeNotice(TlsRole role, const Security& security) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_entries.find(keyOf(role, security));
        std::string notice;
        if (found != m_entries.end()) {
            notice.swap(found->second.notice);
        }
        return notice;
    }

    CYxError rebuild(TlsRole role, const Security& security) {
        ContextPtr context;
        std::string notice;
        CYxError error;
        // Files are read outside the lock: connections go on meanwhile.
        if (!build(role, security, context, notice, error)) {
            return error;
        }
        const std::lock_guard<std::mutex> lock(m_mutex);
        Entry& entry = m_entries[keyOf(role, security)];
        entry.context = std::move(context);
        entry.notice = notice;
        entry.failure.clear();
        return CYxError();
    }

private:
    struct Entry {
        ContextPtr context;
        // A client's files as they were when read (taken before reading them,
        // so that a change during the read is seen at the next look).
        FileStamps stamps{};
        Deadline nextLook = Deadline::afterMs(kLookEveryMs);
        // A line for the log of the next stream; the last failed rebuild.
        std::string notice;
        std::string failure;
    };

    static std::string keyOf(TlsRole role, const Security& security) {
        return std::string(role == TlsRole::Client ? "client" : "server") + '\n' +
               security.certificate + '\n' + security.key + '\n' + security.authority + '\n' +
               security.revocations + (security.allowSharedKey ? "\n1" : "\n0");
    }

    Entry* entryLocked(TlsRole role, const Security& security, bool& built, CYxError& error) {
        const std::string key = keyOf(role, security);
        const auto found = m_entries.find(key);
        if (found != m_entries.end()) {
            return &found->second;
        }
        Entry entry;
        if (role == TlsRole::Client) {
            entry.stamps = stampsOf(security);
        }
        if (!build(role, security, entry.context, entry.notice, error)) {
            return nullptr;
        }
        built = true;
        return &m_entries.emplace(key, std::move(entry)).first->second;
    }

    // Changed files replace a client's context; files that cannot be used
    // (caught in the middle of a replacement, say) leave it, are tried again
    // at the next look, and the log hears of each new failure once.
    static void refresh(Entry& entry, TlsRole role, const Security& security) {
        const FileStamps stamps = stampsOf(security);
        if (stamps == entry.stamps) {
            return;
        }
        ContextPtr context;
        std::string notice;
        CYxError error;
        if (build(role, security, context, notice, error)) {
            entry.context = std::move(context);
            entry.stamps = stamps;
            entry.notice = notice;
            entry.failure.clear();
        } else if (error.AsString() != entry.failure) {
            entry.failure = error.AsString();
            entry.notice =
                "changed TLS files not taken, those read before stay in use: " + entry.failure;
        }
    }

    std::mutex m_mutex;
    std::map<std::string, Entry> m_entries;
};

ContextCache& cache() {
    static ContextCache contexts;
    return contexts;
}

}  // namespace

bool tlsContext(TlsRole role, const Security& security, SSL_CTX*& out, CYxError& error) {
    return cache().borrow(role, security, out, error);
}

bool acquireTlsContext(TlsRole role, const Security& security, ContextPtr& out, CYxError& error) {
    return cache().acquire(role, security, out, error);
}

std::string takeTlsNotice(const Security& security) {
    return security.tlsEnabled() ? cache().takeNotice(TlsRole::Client, security) : std::string();
}

std::string describeCertificate(X509* certificate) {
    return "subject " + nameText(X509_get_subject_name(certificate)) + ", serial " +
           serialText(certificate);
}

TlsExpiry expiryOf(X509* certificate, const std::string& what, const std::string& file) {
    return {what, file, nameText(X509_get_subject_name(certificate)), serialText(certificate),
            secondsOf(X509_get0_notAfter(certificate))};
}

std::string takeOpenSslErrors() {
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        char reason[kErrorTextSize];
        const char* name = ERR_reason_error_string(code);
        if (name == nullptr) {
            ERR_error_string_n(code, reason, sizeof reason);
            name = reason;
        }
        if (!text.empty()) {
            text += "; ";
        }
        text += name;
    }
    return text;
}

}  // namespace tqsession::detail

namespace tqsession {

CYxError reloadServerTls(const Security& security) {
    return detail::guarded(
        [&] { return detail::cache().rebuild(detail::TlsRole::Server, security); });
}

CYxError tlsExpiries(const Security& security, std::vector<TlsExpiry>& out) {
    using namespace detail;
    return guarded([&] {
        out.clear();
        std::string why;
        std::vector<CertificatePtr> own;
        std::vector<CertificatePtr> authorities;
        std::vector<ListPtr> lists;
        if ((!security.certificate.empty() && !readCertificates(security.certificate, own, why)) ||
            (!security.authority.empty() &&
             !readCertificates(security.authority, authorities, why)) ||
            (!security.revocations.empty() && !readLists(security.revocations, lists, why))) {
            return makeError(tqerr::kSecurity, why);
        }
        if (!own.empty()) {
            out.push_back(expiryOf(own.front().get(), "certificate", security.certificate));
        }
        for (const CertificatePtr& authority : authorities) {
            out.push_back(expiryOf(authority.get(), "authority", security.authority));
        }
        keepNewest(lists);
        for (const ListPtr& list : lists) {
            out.push_back({"revocation list", security.revocations,
                           nameText(X509_CRL_get_issuer(list.get())), std::string(),
                           secondsOf(X509_CRL_get0_nextUpdate(list.get()))});
        }
        return CYxError();
    });
}

std::string describeExpiry(int64_t expires, int64_t now) {
    using detail::kSecondsPerDay;
    using detail::kSecondsPerHour;
    const int64_t left = expires - now;
    const int64_t span = left < 0 ? -left : left;
    // To the nearest unit: a certificate made for a day runs out "in 24 hours".
    const auto rounded = [span](int64_t unit, const char* name) {
        return std::to_string((span + unit / 2) / unit) + name;
    };
    std::string amount;
    if (span >= 2 * kSecondsPerDay) {
        amount = rounded(kSecondsPerDay, " days");
    } else if (span >= 2 * kSecondsPerHour) {
        amount = rounded(kSecondsPerHour, " hours");
    } else {
        amount = rounded(60, " minutes");
    }
    return "on " + detail::utcText(expires) + " (" + (left < 0 ? amount + " ago" : "in " + amount) +
           ")";
}

}  // namespace tqsession
