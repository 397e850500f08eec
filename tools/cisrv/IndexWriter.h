// The one thread that changes the index. Sessions hand it erases and prunes;
// it carries them out in arrival order on its own connection, many to a
// transaction, and commits:
//  - at once when the batch holds a change someone waits for (an erase, whose
//    answer must not go out before its change is durable, or a flush) and
//    nothing else is queued;
//  - for prunes only (nobody waits for them), once no further change arrived
//    for `linger`, so a stream of prunes from any number of sessions costs
//    one sync per batch rather than one per prune;
//  - after `maxBatch` changes in any case.
// Group commit: the sessions whose erases the last batch answered send their
// next ones about a round trip later. While a batch lacks a change from one of
// them, it waits for it (at most as long as the last commit took, which is
// what a commit of their own would cost, and never beyond `linger`) rather
// than committing without it. A session is the thread that waits for its
// change (the server serves each session on a thread of its own). Sessions
// are known by who they are, not by how many changes the last batch held:
// four sessions that fell into two alternating pairs would otherwise settle
// at batches of two for good. A lone session does not wait (its batch holds
// it), except in the one batch right after other sessions stopped.
// One writer means no two connections of this server ever contend for
// SQLite's single write lock, and a batch can hold the changes of every session.
//
// Another process may still hold that lock. Starting or committing a batch
// then waits for it up to `lockWait` (SQLite retries with backoff meanwhile).
// A batch that still fails is not lost silently: its erases are answered as
// failed, and each failed prune is logged and counted for its sender, whose
// session then resets its connection (see Session.cpp).
//
// Between batches, and when idle, the writer runs the steps of the purge
// that are due (Purger.h); stopping, it finishes the purge that is pending.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "YxError.h"
#include "cisrv/IndexStore.h"
#include "cisrv/Purger.h"
#include "cisrv/ServerLog.h"

namespace cisrv {

class IndexWriter {
public:
    struct Limits {
        size_t maxBatch = 1000;
        std::chrono::milliseconds linger{5};
        // Sessions handing over more changes wait while this many are queued.
        size_t maxQueued = 10000;
        // How long starting or committing a batch waits for a write lock that
        // another process holds. Below the helper's disconnect wait (120 s),
        // so a host still sees the reset that reports its lost prunes.
        std::chrono::milliseconds lockWait{60000};
        // When what erases and prunes removed must be gone from the files.
        PurgeOptions purge;
    };

    // The number of prunes of one sender that could not be carried out.
    using PruneLosses = std::shared_ptr<std::atomic<uint64_t>>;

    struct EraseResult {
        CYxError status = CYxError();
        int64_t removed = 0;
    };

    IndexWriter(IndexStore& store, ServerLog& log, const Limits& limits);
    // Stops (see stop()).
    ~IndexWriter();
    IndexWriter(const IndexWriter&) = delete;
    IndexWriter& operator=(const IndexWriter&) = delete;

    // The result is ready once the erase is committed (or has failed).
    std::future<EraseResult> erase(const EraseScope& scope);
    // Carried out and committed in the background; the outcome goes to the
    // log, attributed to `origin`, and a failure also counts in `losses`.
    void prune(const PruneScope& scope, std::string origin, PruneLosses losses = nullptr);
    // Returns once everything handed over before it is committed (or failed).
    void flush();
    // Carries out and commits everything queued, then ends the thread. Later
    // changes fail at once.
    void stop();

    // Transactions committed so far.
    uint64_t commits() const { return m_commits.load(); }

private:
    struct Job;
    enum class Wait { ForWork, Linger, Briefly, None };

    void enqueue(Job job);
    bool take(Job& job, Wait wait);
    Wait waitForNext(size_t awaitedInBatch, size_t missingWaiters) const;
    void run() noexcept;
    void runBatch(Job first);
    void apply(Job& job, std::vector<Job>& batch, CYxError& transaction);
    void commit(std::vector<Job>& batch, const CYxError& transaction);
    void complete(Job& job);
    static int64_t removedBy(const std::vector<Job>& batch);
    bool finished();

    IndexStore& m_store;
    ServerLog& m_log;
    const Limits m_limits;
    Purger m_purger;

    std::mutex m_mutex;
    std::condition_variable m_workQueued;
    std::condition_variable m_roomFreed;
    std::deque<Job> m_queue;
    bool m_stopping = false;
    bool m_finished = false;
    std::atomic<uint64_t> m_commits{0};
    // The sessions whose changes the last batch answered: the next batch
    // waits for each of them.
    std::unordered_set<std::thread::id> m_lastAnswered;
    // How long the last commit took.
    std::chrono::steady_clock::duration m_lastCommitTime{};
    // Until when the current batch waits for the changes it misses.
    std::chrono::steady_clock::time_point m_gatherUntil;
    std::thread m_thread;
};

}  // namespace cisrv
