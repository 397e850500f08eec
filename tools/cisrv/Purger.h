// The purge: after an erase or prune is committed, no byte of the documents
// it removed stays in the index's files once `within` has passed.
//
// The documents' rows and index entries are overwritten with zeros as they
// are deleted (secure_delete, the scrubbing VFS); what stays behind is in the
// full-text shards (segments and delete markers until a merge) and in the
// write-ahead log (older frames). A purge round rewrites every shard that
// erased_shards lists (or the whole file, after a migration), one shard per
// step, and ends with a checkpoint that truncates the log. A round starts
// once the oldest removal it covers is half the bound old, so erases that
// come close together share it; the writer runs one step between two batches,
// so a round never holds answers up for longer than one shard's rewrite.
// A round that readers of older snapshots (or another process's writes) keep
// from truncating the log is retried after 250 ms, then less often, up to
// every 4 s; past the bound it says so in the log.
//
// The writer thread owns its Purger and makes every call.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cisrv/IndexStore.h"
#include "cisrv/ServerLog.h"

namespace cisrv {

struct PurgeOptions {
    // false (--purge-within off): no purge rounds, no secure_delete and no
    // scrubbing; erased data stays in the files until SQLite reuses the space.
    bool enabled = true;
    // The bound; 0: a round runs before the commit's erases are answered.
    std::chrono::milliseconds within{60'000};
};

class Purger {
public:
    using Clock = std::chrono::steady_clock;

    // What an earlier run left (erased shards, a log after a crash) is due
    // within the bound from now. `readerWait`: how long a round that must
    // finish now (bound 0, stopping) waits for readers.
    Purger(IndexStore& store, ServerLog& log, const PurgeOptions& options,
           std::chrono::milliseconds readerWait);

    // The writer committed a transaction that removed `removed` documents.
    // With a bound of 0 and removed documents, a whole round runs here.
    void committed(int64_t removed);
    // When runDue() has a step to run; Clock::time_point::max() when none.
    Clock::time_point due() const;
    // Runs the next step of a round when it is due (starting the round).
    void runDue();
    // Runs a round to its end now, waiting for readers up to readerWait
    // (stopping: what is pending is purged before the server exits).
    void finish();
    // Whether something removed is waiting for a round, or a round runs.
    bool pending() const { return m_oldest.has_value() || m_round.has_value(); }

private:
    struct Round {
        Clock::time_point started;
        Clock::time_point oldest;     // the oldest commit the round covers
        std::vector<int64_t> shards;  // to rewrite, from erased_shards
        size_t next = 0;
        std::vector<int64_t> rewritten;
        bool wholeFile = false;  // every page rewritten
        int64_t bytesWritten = 0;
        Clock::time_point retryAt{};
        int retries = 0;  // truncations held back so far
        bool warned = false;
        bool failed = false;
        bool afterStart = false;
    };

    void startRound(Clock::time_point now);
    // One step; true when the round is over.
    bool step(std::chrono::milliseconds readerWait);
    void endRound(int64_t logBytes);
    void runWholeRound();

    IndexStore& m_store;
    ServerLog& m_log;
    const PurgeOptions m_options;
    const std::chrono::milliseconds m_readerWait;
    // The oldest commit with removals that no round has taken up yet.
    std::optional<Clock::time_point> m_oldest;
    std::optional<Round> m_round;
    bool m_afterStart = true;
    // No round starts before this (after a round that failed).
    Clock::time_point m_notBefore{};
};

// cisrv purge: rewrites every full-text shard and every page (VACUUM) and
// truncates the log, waiting for readers as long as the store's lock wait.
// `summary`: one line of what it did.
// `step` is told each step before it runs ("full-text shard 3 of 62").
CYxError purgeEverything(IndexStore& store, std::string& summary,
                         const std::function<void(const std::string&)>& step = nullptr);

}  // namespace cisrv
