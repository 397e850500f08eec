// Batching the index changes of all sessions into few durable commits.
#include "cisrv/IndexWriter.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "cisrv/Metrics.h"
#include "cisrv/Requests.h"
#include "common/ErrorResult.h"

namespace cisrv {

namespace {

// A promise that is always kept: one still pending when it is destroyed (a
// batch abandoned after an unexpected failure) is kept with what `unkept`
// makes, so a waiting session sees a failed result, never a broken promise.
template <typename Value>
class KeptPromise {
public:
    using Unkept = Value (*)();
    explicit KeptPromise(Unkept unkept) : m_unkept(unkept) {}
    KeptPromise(KeptPromise&& other) noexcept
        : m_promise(std::move(other.m_promise)),
          m_unkept(other.m_unkept),
          m_pending(std::exchange(other.m_pending, false)) {}
    KeptPromise& operator=(KeptPromise&& other) noexcept {
        keepUnkept();
        m_promise = std::move(other.m_promise);
        m_unkept = other.m_unkept;
        m_pending = std::exchange(other.m_pending, false);
        return *this;
    }
    ~KeptPromise() { keepUnkept(); }

    // The promise is owed from here on: only a promise someone waits for is kept.
    std::future<Value> future() {
        m_pending = true;
        return m_promise.get_future();
    }
    void keep(Value value) {
        if (!std::exchange(m_pending, false)) {
            return;
        }
        m_promise.set_value(std::move(value));
    }

private:
    void keepUnkept() noexcept {
        if (m_pending) {
            keep(m_unkept());
        }
    }

    std::promise<Value> m_promise;
    Unkept m_unkept;
    bool m_pending = false;
};

bool abandonedFlush() { return false; }

IndexWriter::EraseResult abandonedErase() {
    IndexWriter::EraseResult result;
    result.status = tqcommon::ioError("the index writer abandoned its batch");
    return result;
}

}  // namespace

struct IndexWriter::Job {
    enum class Kind { Erase, Prune, Flush };

    Kind kind = Kind::Flush;
    EraseScope erase;
    PruneScope prune;
    std::string origin;
    PruneLosses losses;
    KeptPromise<EraseResult> erased{abandonedErase};
    KeptPromise<bool> flushed{abandonedFlush};

    CYxError status = CYxError();
    int64_t removed = 0;
    // The thread that waits for this change, if it is awaited.
    std::thread::id waiter;

    // Whether someone waits for this change to be committed.
    bool awaited() const { return kind != Kind::Prune; }
};

IndexWriter::IndexWriter(IndexStore& store, ServerLog& log, const Limits& limits)
    : m_store(store),
      m_log(log),
      m_limits(limits),
      m_purger(store, log, limits.purge, limits.lockWait) {
    m_store.setLockWait(m_limits.lockWait);
    m_thread = std::thread([this] { run(); });
}

IndexWriter::~IndexWriter() { stop(); }

void IndexWriter::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_workQueued.notify_all();
    m_roomFreed.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

std::future<IndexWriter::EraseResult> IndexWriter::erase(const EraseScope& scope) {
    Job job;
    job.kind = Job::Kind::Erase;
    job.erase = scope;
    job.waiter = std::this_thread::get_id();
    std::future<EraseResult> result = job.erased.future();
    enqueue(std::move(job));
    return result;
}

void IndexWriter::prune(const PruneScope& scope, std::string origin, PruneLosses losses) {
    Job job;
    job.kind = Job::Kind::Prune;
    job.prune = scope;
    job.origin = std::move(origin);
    job.losses = std::move(losses);
    enqueue(std::move(job));
}

void IndexWriter::flush() {
    Job job;
    job.kind = Job::Kind::Flush;
    job.waiter = std::this_thread::get_id();
    std::future<bool> flushed = job.flushed.future();
    enqueue(std::move(job));
    flushed.wait();
}

void IndexWriter::enqueue(Job job) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_roomFreed.wait(lock, [this] { return m_queue.size() < m_limits.maxQueued || m_finished; });
    if (m_finished) {
        lock.unlock();
        job.status = tqcommon::ioError("the index writer has stopped");
        complete(job);
        return;
    }
    m_queue.push_back(std::move(job));
    metrics().queued();
    lock.unlock();
    m_workQueued.notify_one();
}

// The next queued job. ForWork waits until there is one, or until a purge
// step is due (false then, or once stopping with nothing left, which ends the
// writer); Linger waits at most the linger time, and not at all when
// stopping; None does not wait.
bool IndexWriter::take(Job& job, Wait wait) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto ready = [this] { return !m_queue.empty() || m_stopping; };
    if (wait == Wait::ForWork) {
        const auto purgeDue = m_purger.due();
        if (purgeDue == Purger::Clock::time_point::max()) {
            m_workQueued.wait(lock, ready);
        } else {
            m_workQueued.wait_until(lock, purgeDue, ready);
        }
    } else if (wait == Wait::Linger) {
        m_workQueued.wait_for(lock, m_limits.linger, ready);
    } else if (wait == Wait::Briefly) {
        m_workQueued.wait_until(lock, m_gatherUntil, ready);
    }
    if (m_queue.empty()) {
        if (wait == Wait::ForWork && m_stopping) {
            m_finished = true;
            m_roomFreed.notify_all();
        }
        return false;
    }
    job = std::move(m_queue.front());
    m_queue.pop_front();
    metrics().dequeued();
    m_roomFreed.notify_one();
    return true;
}

void IndexWriter::run() noexcept {
    for (;;) {
        Job first;
        try {
            m_purger.runDue();
            if (!take(first, Wait::ForWork)) {
                if (!finished()) {
                    continue;  // a purge step is due
                }
                m_purger.finish();
                return;
            }
            runBatch(std::move(first));
        } catch (const std::exception& failure) {
            // Jobs of the batch that were not completed keep their promises
            // as failed when they go: their sessions see the erase fail.
            m_store.rollback();
            metrics().writerIdle();
            m_log.error(std::string("index writer: batch abandoned: ") + failure.what());
            if (finished()) {
                return;
            }
        }
    }
}

// How long to look for the next change of a batch that holds `awaitedInBatch`
// awaited ones and lacks those of `missingWaiters` sessions the last batch
// answered (see the class comment).
IndexWriter::Wait IndexWriter::waitForNext(size_t awaitedInBatch, size_t missingWaiters) const {
    if (awaitedInBatch == 0) {
        return Wait::Linger;
    }
    return missingWaiters > 0 ? Wait::Briefly : Wait::None;
}

void IndexWriter::runBatch(Job first) {
    std::vector<Job> batch;
    metrics().writerWorking();  // each lock wait is a piece of work of its own
    CYxError transaction = m_store.begin();
    Job job = std::move(first);
    size_t awaited = 0;
    std::unordered_set<std::thread::id> answering;  // waiters of this batch
    size_t missing = m_lastAnswered.size();
    m_gatherUntil =
        std::chrono::steady_clock::now() +
        std::min<std::chrono::steady_clock::duration>(m_lastCommitTime, m_limits.linger);
    for (;;) {
        metrics().writerWorking();
        apply(job, batch, transaction);
        if (job.awaited()) {
            ++awaited;
            if (answering.insert(job.waiter).second && missing > 0 &&
                m_lastAnswered.count(job.waiter) != 0) {
                --missing;
            }
        }
        batch.push_back(std::move(job));
        if (batch.size() >= m_limits.maxBatch) {
            break;
        }
        job = Job();
        if (!take(job, waitForNext(awaited, missing))) {
            break;
        }
    }
    const auto committing = std::chrono::steady_clock::now();
    metrics().writerWorking();
    commit(batch, transaction);
    metrics().writerIdle();
    m_lastCommitTime = std::chrono::steady_clock::now() - committing;
    m_lastAnswered = std::move(answering);
    m_purger.committed(removedBy(batch));
    for (Job& done : batch) {
        complete(done);
    }
}

// Documents a committed batch removed.
int64_t IndexWriter::removedBy(const std::vector<Job>& batch) {
    int64_t removed = 0;
    for (const Job& job : batch) {
        if (!job.status.IsError()) {
            removed += job.removed;
        }
    }
    return removed;
}

bool IndexWriter::finished() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_finished;
}

void IndexWriter::apply(Job& job, std::vector<Job>& batch, CYxError& transaction) {
    if (transaction.IsError()) {
        job.status = tqcommon::ioError("cannot start a transaction: " + transaction.AsString());
        return;
    }
    switch (job.kind) {
        case Job::Kind::Erase: job.status = m_store.erase(job.erase, job.removed); break;
        case Job::Kind::Prune: job.status = m_store.prune(job.prune, job.removed); break;
        case Job::Kind::Flush: return;
    }
    if (!job.status.IsError() || m_store.inTransaction()) {
        return;
    }
    // SQLite rolled the whole transaction back (I/O error, full disk, out of
    // memory): the batch's earlier changes went with it.
    for (Job& earlier : batch) {
        if (!earlier.status.IsError()) {
            earlier.status =
                tqcommon::ioError("rolled back after a later failure: " + job.status.AsString());
        }
    }
    transaction = m_store.begin();
}

void IndexWriter::commit(std::vector<Job>& batch, const CYxError& transaction) {
    if (transaction.IsError()) {
        metrics().batchFailed(batch.size());
        return;
    }
    const auto started = std::chrono::steady_clock::now();
    const CYxError committed = m_store.commit();
    if (!committed.IsError()) {
        ++m_commits;
        metrics().batchCommitted(batch.size(), std::chrono::steady_clock::now() - started);
        return;
    }
    metrics().batchFailed(batch.size());
    m_store.rollback();
    for (Job& job : batch) {
        if (!job.status.IsError()) {
            job.status = tqcommon::ioError("commit failed: " + committed.AsString());
        }
    }
}

void IndexWriter::complete(Job& job) {
    switch (job.kind) {
        case Job::Kind::Erase: job.erased.keep(EraseResult{job.status, job.removed}); break;
        case Job::Kind::Prune:
            m_log.write(!job.status.IsError() ? ServerLog::Level::Info : ServerLog::Level::Error,
                        job.origin + ": " + describe(job.prune) +
                            (!job.status.IsError()
                                 ? ": " + std::to_string(job.removed) + " documents removed"
                                 : " failed: " + job.status.AsString()));
            if (job.status.IsError() && job.losses) {
                ++*job.losses;
            }
            metrics().pruned(job.status.IsError() ? PruneOutcome::Failed : PruneOutcome::Done,
                             job.status.IsError() ? 0 : job.removed);
            break;
        case Job::Kind::Flush: job.flushed.keep(true); break;
    }
}

}  // namespace cisrv
