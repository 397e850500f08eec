// Made-up documents in the shape of a real index.
#include "cisrv/Generator.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "common/ErrorResult.h"

namespace cisrv {

namespace {

constexpr int64_t kDocumentsPerClient = 250;
constexpr int64_t kMostClients = 4000;
constexpr int64_t kClientIdsPerSeed = 100'000;
constexpr int64_t kArchiveFileIdsPerSeed = 1'000'000;
constexpr int64_t kSmallestArchiveFile = 1000;
constexpr int64_t kLargestArchiveFile = 10'000;
// Documents per transaction: few syncs, and the full-text index flushes its
// pending terms in large segments.
constexpr int64_t kDocumentsPerCommit = 50'000;
constexpr int kFewestLevels = 4;  // host, top folder, owner, file
constexpr int kMostLevels = 8;
constexpr int kFolderFanOut = 12;
constexpr int kOwners = 40;
constexpr int kFewestWords = 40;
constexpr int kMostWords = 70;
constexpr size_t kVocabulary = 20'000;

constexpr std::array<int64_t, 4> kAppTypes = {1, 2, 13, 33};
constexpr std::array<const char*, 5> kTopFolders = {"home", "srv", "data", "projects", "mail"};
constexpr std::array<const char*, 6> kExtensions = {"txt", "pdf", "doc", "eml", "xls", "jpg"};
// The most frequent words, most frequent first; rarer ones are "term<rank>".
constexpr std::array<const char*, 40> kCommonWords = {
    "the",      "and",     "report",  "meeting",  "invoice",  "project", "customer", "order",
    "budget",   "review",  "draft",   "contract", "payment",  "summary", "schedule", "team",
    "quarter",  "client",  "update",  "account",  "policy",   "design",  "notes",    "release",
    "delivery", "service", "support", "minutes",  "proposal", "audit",   "agenda",   "travel",
    "training", "backup",  "archive", "storage",  "network",  "server",  "license",  "renewal"};

// splitmix64: fast, and the same numbers on every platform for a seed.
class Random {
public:
    explicit Random(uint64_t seed) : m_state(seed) {}
    uint64_t next() {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // Uniform in [least, most].
    int64_t between(int64_t least, int64_t most) {
        return least + static_cast<int64_t>(next() % static_cast<uint64_t>(most - least + 1));
    }
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

private:
    uint64_t m_state;
};

// Word ranks drawn with probability proportional to 1 / (rank + 1).
class ZipfWords {
public:
    ZipfWords() : m_cumulative(kVocabulary) {
        double sum = 0;
        for (size_t rank = 0; rank < kVocabulary; ++rank) {
            sum += 1.0 / static_cast<double>(rank + 1);
            m_cumulative[rank] = sum;
        }
        for (double& value : m_cumulative) {
            value /= sum;
        }
    }
    void append(Random& random, std::string& text) const {
        const auto found =
            std::lower_bound(m_cumulative.begin(), m_cumulative.end(), random.unit());
        const size_t rank =
            std::min(static_cast<size_t>(found - m_cumulative.begin()), kVocabulary - 1);
        if (rank < kCommonWords.size()) {
            text += kCommonWords[rank];
        } else {
            text += "term";
            text += std::to_string(rank);
        }
    }

private:
    std::vector<double> m_cumulative;
};

struct ArchiveFile {
    int64_t id = 0;
    int64_t size = 0;
};

class Generator {
public:
    Generator(const GeneratorOptions& options)
        : m_options(options),
          m_random(static_cast<uint64_t>(options.seed)),
          m_clients(options.clients > 0 ? options.clients
                                        : std::clamp(options.documents / kDocumentsPerClient,
                                                     int64_t{1}, kMostClients)) {}

    int64_t clients() const { return m_clients; }

    ArchiveFile nextArchiveFile(int64_t number, int64_t documentsLeft) {
        ArchiveFile file;
        file.id = m_options.seed * kArchiveFileIdsPerSeed + number;
        file.size = m_options.archiveFileSize > 0
                        ? m_options.archiveFileSize
                        : m_random.between(kSmallestArchiveFile, kLargestArchiveFile);
        file.size = std::min(file.size, documentsLeft);
        return file;
    }

    // A document of a client picked at random, in archive file `file`.
    void fill(const ArchiveFile& file, Document& document) {
        const int64_t client = m_random.between(1, m_clients);
        document.clientId = m_options.seed * kClientIdsPerSeed + client;
        document.appType = kAppTypes[static_cast<size_t>(client) % kAppTypes.size()];
        document.applicationId = document.clientId;
        document.archiveFileId = file.id;
        document.cloudId = m_options.cloudId;
        document.cellNumber = m_options.cellNumber;
        fillPath(document.clientId, document.path);
        fillText(document.text);
    }

private:
    void fillPath(int64_t clientId, std::string& path) {
        path = generatedClientRoot(clientId);
        path += '/';
        path += kTopFolders[pick(kTopFolders.size())];
        path += "/user-";
        path += std::to_string(pick(kOwners));
        const int64_t folders = m_random.between(kFewestLevels, kMostLevels) - kFewestLevels;
        for (int64_t level = 0; level < folders; ++level) {
            path += "/dir-";
            path += std::to_string(pick(kFolderFanOut));
        }
        path += "/file-";
        path += std::to_string(m_random.next() % 100'000);
        path += '.';
        path += kExtensions[pick(kExtensions.size())];
    }

    void fillText(std::string& text) {
        text.clear();
        const int64_t words = m_random.between(kFewestWords, kMostWords);
        for (int64_t word = 0; word < words; ++word) {
            if (word > 0) {
                text += ' ';
            }
            m_words.append(m_random, text);
        }
    }

    size_t pick(size_t choices) { return static_cast<size_t>(m_random.next() % choices); }

    const GeneratorOptions& m_options;
    Random m_random;
    const ZipfWords m_words;
    const int64_t m_clients;
};

}  // namespace

std::string generatedClientRoot(int64_t clientId) { return "/host-" + std::to_string(clientId); }

CYxError generateDocuments(IndexStore& store, const GeneratorOptions& options,
                           GeneratedIndex& made) {
    Generator generator(options);
    made = GeneratedIndex();
    int64_t committed = 0;
    Document document;
    ArchiveFile file;
    int64_t leftInFile = 0;
    while (made.documents < options.documents) {
        CYxError status = store.begin();
        const int64_t end = std::min(options.documents, made.documents + kDocumentsPerCommit);
        for (; !status.IsError() && made.documents < end; ++made.documents) {
            if (leftInFile == 0) {
                if (options.progress) {
                    options.progress(made.documents);
                }
                file = generator.nextArchiveFile(++made.archiveFiles,
                                                 options.documents - made.documents);
                leftInFile = file.size;
            }
            generator.fill(file, document);
            if (!options.marker.empty()) {
                document.text += " " + options.marker;
            }
            int64_t id = 0;
            status = store.add(document, id);
            --leftInFile;
        }
        if (!status.IsError()) {
            status = store.commit();
        }
        if (status.IsError()) {
            store.rollback();
            made.documents = committed;
            return tqcommon::makeError(status.Code(), status.AsString() + " (" +
                                                          std::to_string(committed) +
                                                          " documents were added before)");
        }
        committed = made.documents;
    }
    made.clients = std::min(generator.clients(), made.documents);
    return CYxError();
}

}  // namespace cisrv
