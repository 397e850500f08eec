// Filling an index with made-up documents in the shape of a real one: a few
// thousand clients, archive files of 1,000 to 10,000 documents each, paths
// 4 to 8 levels deep, texts of a few hundred bytes whose words follow a
// Zipf distribution (a few words in most documents, most words in few).
// For demos and for measuring the server on large indexes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "cisrv/IndexStore.h"

namespace cisrv {

struct GeneratorOptions {
    int64_t documents = 0;
    // Decides every number and word; the same seed gives the same documents.
    // Client ids are seed * 100,000 + 1..clients and archive file ids
    // seed * 1,000,000 + 1, 2, ..., so different seeds never share either.
    int64_t seed = 1;
    // 0: documents / 250, at least 1 and at most 4,000.
    int64_t clients = 0;
    // 0: each archive file holds 1,000 to 10,000 documents (the last one the rest).
    int64_t archiveFileSize = 0;
    int64_t cloudId = 1;
    int64_t cellNumber = 1;
    // When not empty, the last word of every text (a word to look for in the
    // index's files once the documents are erased).
    std::string marker;
    // Told the documents added so far at the start of each archive file.
    std::function<void(int64_t added)> progress;
};

struct GeneratedIndex {
    int64_t documents = 0;
    int64_t archiveFiles = 0;
    int64_t clients = 0;
};

// The path every document of `clientId` lies under: "/host-<clientId>".
std::string generatedClientRoot(int64_t clientId);

// Adds the documents in transactions of many thousands (one sync each),
// archive file after archive file, each document of a client picked at random.
// Every document of a client lies under generatedClientRoot(), carries the
// app type 1, 2, 13 or 33 (by client) and the client id as application id.
CYxError generateDocuments(IndexStore& store, const GeneratorOptions& options,
                           GeneratedIndex& made);

}  // namespace cisrv
