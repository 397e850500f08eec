// The schema of the content index (PRAGMA user_version 3): the documents,
// their lookups, and the full-text index in shards by document id, kept in
// step by triggers; and the migration of an index of version 1 or 2.
//
// Why shards: SQLite 3.40's FTS5 keeps a deleted document's terms in its
// segments (and writes them once more as delete markers) until a merge into
// the oldest level folds them away, which for one index means rewriting all
// of it. Shard k holds the documents with ids k * 2^14 to k * 2^14 + 2^14 - 1,
// so removing what an erase left rewrites only the shards that held the
// erased documents (erased_shards lists them until the purge has done so).
//
// Why a filled shard is merged: FTS5 writes a shard's documents in many
// segments as they are added, and a term lookup reads every segment of every
// shard; at 10^6 documents (62 shards, 8 segments each) that is some 3,000
// pages a search, more than SQLite's page cache holds. Once no new id can
// fall into a shard, it is merged into one segment (FTS5 'optimize'), and
// every later purge of it leaves it as one segment again.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

#include "YxError.h"

namespace cisrv::schema {

// PRAGMA user_version of an index with this schema, and of the ones before it.
inline constexpr int kVersion = 3;
inline constexpr int kUnshardedVersion = 1;
// Sharded as now, but filled shards were left in the segments they were
// written in.
inline constexpr int kUnmergedVersion = 2;
inline bool sharded(int version) { return version >= kUnmergedVersion; }

// Document ids per full-text shard: 2^kShardBits.
inline constexpr int kShardBits = 14;
inline constexpr int64_t kShardSpan = int64_t{1} << kShardBits;
// An erased_shards entry that stands for the whole file: what was deleted
// before this schema (no secure_delete then) is only gone once every page is
// rewritten (VACUUM).
inline constexpr int64_t kWholeFile = -1;

inline int64_t shardOf(int64_t documentId) { return documentId >> kShardBits; }
// "documents_fts_<shard>".
std::string shardTable(int64_t shard);

// Creates the schema with shard 0 in an empty database; the caller holds a
// write transaction.
CYxError create(sqlite3* db);

// The shards there are, in order (0 .. the last).
CYxError shards(sqlite3* db, std::vector<int64_t>& out);

// Creates the shards up to `last` that are missing and rebuilds the triggers
// for all of them; the caller holds a write transaction.
CYxError addShards(sqlite3* db, int64_t last);

// Turns an index of version 1 into this schema: the one full-text table is
// dropped and its documents indexed again in shards, and the whole file is
// marked for a rewrite (kWholeFile), since its erases left what they removed
// in free pages and free space. The caller holds a write transaction.
CYxError migrateFromVersion1(sqlite3* db);

// Turns an index of version 2 into this schema: every filled shard is listed
// in erased_shards, so that the next purge round merges it into one segment.
// The caller holds a write transaction.
CYxError migrateFromVersion2(sqlite3* db);

// The statement that rewrites a shard as one segment, without the entries
// and delete markers of deleted documents (FTS5 'optimize').
std::string mergeShard(int64_t shard);

// The condition of a search on its parameter `parameter` (an FTS5 query) over
// every shard: " AND id IN (SELECT rowid FROM documents_fts_0 WHERE ... UNION ALL ...)".
std::string matchCondition(const std::vector<int64_t>& shards, int parameter);

}  // namespace cisrv::schema
