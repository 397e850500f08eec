// The index store: which documents an erase, a prune or a search selects,
// the full-text index staying in step, and the lookups it uses.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>

#include "CisrvTestSupport.h"

namespace cisrv::test {
namespace {

class IndexStoreTest : public ::testing::Test {
protected:
    TemporaryFolder dir;
    std::string file = dir.file("index.db");
    std::unique_ptr<IndexStore> store = openIndex(file);

    Document client(int64_t clientId, int64_t appType, int64_t cell = 1) {
        Document document;
        document.clientId = clientId;
        document.appType = appType;
        document.cellNumber = cell;
        return document;
    }
    int64_t erase(const EraseScope& scope) {
        int64_t removed = -1;
        const CYxError status = store->erase(scope, removed);
        EXPECT_FALSE(status.IsError()) << status.AsString();
        return removed;
    }
    std::vector<std::string> search(const SearchFilter& filter) {
        std::vector<std::string> paths;
        const CYxError status = store->search(
            filter, [&](const Document& document) { paths.push_back(document.path); });
        EXPECT_FALSE(status.IsError()) << status.AsString();
        return paths;
    }
};

EraseScope clientScope(int64_t clientId, int64_t appType, const std::string& path,
                       int64_t cell = 1) {
    EraseScope scope;
    scope.clientId = clientId;
    scope.appType = appType;
    scope.cellNumber = cell;
    scope.path = path;
    return scope;
}

TEST_F(IndexStoreTest, EraseTakesThePathAndItsSubtreeButNoSiblings) {
    for (const char* path :
         {"/a", "/a/b", "/a/b/c", "/a/b/c/d", "/a/bc", "/a/b.txt", "/a/b-x", "/a/b0"}) {
        addDocument(*store, path, client(5, 3));
    }
    EXPECT_EQ(erase(clientScope(5, 3, "/a/b/")), 3);  // a trailing '/' names the same directory
    EXPECT_EQ(pathsIn(file),
              (std::vector<std::string>{"/a", "/a/bc", "/a/b.txt", "/a/b-x", "/a/b0"}));
    EXPECT_EQ(erase(clientScope(5, 3, "/")), 5);  // the root holds everything
    EXPECT_EQ(erase(clientScope(5, 3, "/nothing")), 0);
}

TEST_F(IndexStoreTest, PathCharactersAreNeverPatterns) {
    for (const char* path : {"/x%/1", "/x_/1", "/xy/1", "/x%y/1", "/x\\/1"}) {
        addDocument(*store, path, client(5, 3));
    }
    EXPECT_EQ(erase(clientScope(5, 3, "/x%")), 1);
    EXPECT_EQ(erase(clientScope(5, 3, "/x_")), 1);
    EXPECT_EQ(pathsIn(file), (std::vector<std::string>{"/xy/1", "/x%y/1", "/x\\/1"}));
}

TEST_F(IndexStoreTest, ClientAndMigratedErasesMatchTheirOwnersInTheirCell) {
    addDocument(*store, "/d/backup", client(5, 3));
    addDocument(*store, "/d/other-app-type", client(5, 4));
    addDocument(*store, "/d/other-client", client(6, 3));
    addDocument(*store, "/d/other-cell", client(5, 3, 2));
    Document migrated;
    migrated.applicationId = 3;
    migrated.cellNumber = 1;
    addDocument(*store, "/d/migrated", migrated);

    EraseScope byApplication;
    byApplication.owner = EraseScope::Owner::MigratedData;
    byApplication.applicationId = 3;
    byApplication.cellNumber = 1;
    byApplication.path = "/d";
    EXPECT_EQ(erase(byApplication), 1);
    EXPECT_EQ(erase(clientScope(5, 3, "/d")), 1);
    EXPECT_EQ(pathsIn(file),
              (std::vector<std::string>{"/d/other-app-type", "/d/other-client", "/d/other-cell"}));

    int64_t removed = 0;
    EXPECT_TRUE(store->erase(clientScope(5, 3, ""), removed).IsError());
}

TEST_F(IndexStoreTest, PruneTakesOneArchiveFileOfOneCloudInOneCell) {
    Document fields;
    fields.archiveFileId = 7;
    fields.cloudId = 2;
    fields.cellNumber = 1;
    addDocument(*store, "/p/1", fields);
    addDocument(*store, "/p/2", fields);
    fields.cloudId = 3;
    addDocument(*store, "/p/other-cloud", fields);
    fields.cloudId = 2;
    fields.cellNumber = 9;
    addDocument(*store, "/p/other-cell", fields);

    int64_t removed = 0;
    ASSERT_FALSE(store->prune(PruneScope{7, 2, 1}, removed).IsError());
    EXPECT_EQ(removed, 2);
    EXPECT_EQ(pathsIn(file), (std::vector<std::string>{"/p/other-cloud", "/p/other-cell"}));
}

TEST_F(IndexStoreTest, SearchMatchesTextAndPathAndForgetsErasedDocuments) {
    Document fields = client(5, 3);
    fields.text = "quarterly invoice for March";
    addDocument(*store, "/docs/march.pdf", fields);
    fields.text = "holiday photos";
    addDocument(*store, "/docs/invoices/photo.jpg", fields);
    addDocument(*store, "/other/invoice.txt", fields);

    SearchFilter filter;
    filter.match = "invoice";
    EXPECT_EQ(search(filter), (std::vector<std::string>{"/docs/march.pdf", "/other/invoice.txt"}));
    filter.under = "/docs";
    EXPECT_EQ(search(filter), (std::vector<std::string>{"/docs/march.pdf"}));

    erase(clientScope(5, 3, "/docs"));
    EXPECT_TRUE(search(filter).empty());
    // The external-content index agrees with the table after the deletes.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(
        sqlite3_exec(db, "INSERT INTO documents_fts_0 (documents_fts_0) VALUES ('integrity-check')",
                     nullptr, nullptr, nullptr),
        SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);

    filter.match = "\"unbalanced";
    EXPECT_TRUE(store->search(filter, [](const Document&) {}).IsError());
}

TEST_F(IndexStoreTest, ErasesAndPrunesAreIndexRangeLookups) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    for (const char* sql :
         {indexsql::kEraseClientData, indexsql::kEraseMigratedData, indexsql::kPrune}) {
        sqlite3_stmt* plan = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, (std::string("EXPLAIN QUERY PLAN ") + sql).c_str(), -1,
                                     &plan, nullptr),
                  SQLITE_OK);
        std::string detail;
        while (sqlite3_step(plan) == SQLITE_ROW) {
            detail += reinterpret_cast<const char*>(sqlite3_column_text(plan, 3));
        }
        sqlite3_finalize(plan);
        EXPECT_EQ(detail.rfind("SEARCH documents USING", 0), 0u) << sql << ": " << detail;
        if (sql != indexsql::kPrune) {
            EXPECT_NE(detail.find("path>? AND path<?"), std::string::npos) << detail;
        }
    }
    sqlite3_close(db);
}

TEST_F(IndexStoreTest, ReopensItsOwnIndexAndRefusesOtherFiles) {
    addDocument(*store, "/kept");
    store.reset();
    EXPECT_EQ(countDocuments(file), 1);

    std::unique_ptr<IndexStore> other;
    EXPECT_TRUE(IndexStore::open(dir.file("missing.db"), OpenMode::MustExist, {}, other).IsError());
    std::ofstream(dir.file("text.db")) << "not a database at all, just some text to fill a page";
    EXPECT_TRUE(IndexStore::open(dir.file("text.db"), OpenMode::MustExist, {}, other).IsError());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dir.file("foreign.db").c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE t (x)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    const CYxError foreign =
        IndexStore::open(dir.file("foreign.db"), OpenMode::MustExist, {}, other);
    EXPECT_NE(foreign.AsString().find("not a content index"), std::string::npos)
        << foreign.AsString();
}

}  // namespace
}  // namespace cisrv::test
