// The document generator: the shape it promises (clients, archive files,
// path depth), that a seed decides everything, and that its documents are
// found and removed like any others.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <set>

#include "CisrvTestSupport.h"
#include "cisrv/Generator.h"

namespace cisrv::test {
namespace {

std::vector<Document> allDocuments(IndexStore& store) {
    std::vector<Document> documents;
    const CYxError status = store.search(
        SearchFilter(), [&](const Document& document) { documents.push_back(document); });
    EXPECT_FALSE(status.IsError()) << status.AsString();
    return documents;
}

GeneratedIndex generate(IndexStore& store, const GeneratorOptions& options) {
    GeneratedIndex made;
    const CYxError status = generateDocuments(store, options, made);
    EXPECT_FALSE(status.IsError()) << status.AsString();
    return made;
}

size_t levels(const std::string& path) {
    return static_cast<size_t>(std::count(path.begin(), path.end(), '/'));
}

TEST(GeneratorTest, DocumentsHaveTheShapePromised) {
    TemporaryFolder dir;
    auto store = openIndex(dir.file("index.db"));
    GeneratorOptions options;
    options.documents = 12'500;
    options.seed = 3;
    const GeneratedIndex made = generate(*store, options);
    EXPECT_EQ(made.documents, 12'500);
    EXPECT_EQ(made.clients, 50);

    std::map<int64_t, int64_t> archiveFileSizes;
    std::set<int64_t> clients;
    for (const Document& document : allDocuments(*store)) {
        ++archiveFileSizes[document.archiveFileId];
        clients.insert(document.clientId);
        EXPECT_EQ(document.path.rfind(generatedClientRoot(document.clientId) + "/", 0), 0u)
            << document.path;
        EXPECT_GE(levels(document.path), 4u) << document.path;
        EXPECT_LE(levels(document.path), 8u) << document.path;
        EXPECT_GT(document.clientId, 300'000);
        EXPECT_LE(document.clientId, 300'050);
        EXPECT_EQ(document.applicationId, document.clientId);
        EXPECT_EQ(document.cellNumber, 1);
        EXPECT_GE(document.text.size(), 150u);
    }
    EXPECT_EQ(clients.size(), 50u);
    EXPECT_EQ(static_cast<int64_t>(archiveFileSizes.size()), made.archiveFiles);
    for (auto it = archiveFileSizes.begin(); it != std::prev(archiveFileSizes.end()); ++it) {
        EXPECT_GE(it->second, 1000);
        EXPECT_LE(it->second, 10'000);
    }
}

TEST(GeneratorTest, ASeedDecidesTheDocumentsAndOtherSeedsShareNoIds) {
    TemporaryFolder dir;
    auto first = openIndex(dir.file("first.db"));
    auto second = openIndex(dir.file("second.db"));
    GeneratorOptions options;
    options.documents = 300;
    options.archiveFileSize = 100;
    generate(*first, options);
    generate(*second, options);
    options.seed = 2;
    generate(*second, options);

    const std::vector<Document> once = allDocuments(*first);
    const std::vector<Document> twice = allDocuments(*second);
    ASSERT_EQ(twice.size(), 600u);
    std::set<int64_t> firstSeedFiles;
    for (size_t i = 0; i < once.size(); ++i) {
        EXPECT_EQ(once[i].path, twice[i].path);
        EXPECT_EQ(once[i].text, twice[i].text);
        EXPECT_EQ(once[i].archiveFileId, twice[i].archiveFileId);
        firstSeedFiles.insert(once[i].archiveFileId);
    }
    EXPECT_EQ(firstSeedFiles.size(), 3u);
    for (size_t i = once.size(); i < twice.size(); ++i) {
        EXPECT_EQ(firstSeedFiles.count(twice[i].archiveFileId), 0u);
        EXPECT_GT(twice[i].clientId, 200'000);
    }
}

TEST(GeneratorTest, OneClientsDocumentsAreOneSubtreeAndTheirTextIsSearchable) {
    TemporaryFolder dir;
    auto store = openIndex(dir.file("index.db"));
    GeneratorOptions options;
    options.documents = 2000;
    options.clients = 1;
    options.archiveFileSize = 500;
    options.cellNumber = 7;
    generate(*store, options);
    const Document sample = allDocuments(*store).front();
    SearchFilter common;
    common.match = "the";
    int64_t found = 0;
    ASSERT_FALSE(store->search(common, [&](const Document&) { ++found; }).IsError());
    EXPECT_GT(found, 1900);

    EraseScope scope;
    scope.clientId = sample.clientId;
    scope.appType = sample.appType;
    scope.cellNumber = 7;
    scope.path = generatedClientRoot(sample.clientId);
    int64_t removed = 0;
    ASSERT_FALSE(store->erase(scope, removed).IsError());
    EXPECT_EQ(removed, 2000);

    EXPECT_TRUE(allDocuments(*store).empty());
    found = 0;
    ASSERT_FALSE(store->search(common, [&](const Document&) { ++found; }).IsError());
    EXPECT_EQ(found, 0);
}

TEST(GeneratorTest, CommandLineAddsAndSays) {
    TemporaryFolder dir;
    const std::string index = dir.file("demo.db");
    const ProgramRun made =
        runCisrv(dir, {"generate", "--index", index, "--documents", "1500", "--clients", "3"});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.out.substr(0, made.out.find(" in ")), "1500 documents added");
    EXPECT_EQ(runCisrv(dir, {"count", "--index", index}).out, "1500\n");
    EXPECT_EQ(runCisrv(dir, {"generate", "--index", index, "--documents", "0"}).status, 2);
}

}  // namespace
}  // namespace cisrv::test
