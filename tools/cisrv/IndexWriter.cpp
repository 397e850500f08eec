// Batching the index changes of all sessions into few durable commits.
#include "IndexWriter.h"

#include <exception>
#include <utility>

#include "Requests.h"

namespace cisrv {

struct IndexWriter::Job {
    enum class Kind { Erase, Prune, Flush };

    Kind kind = Kind::Flush;
    EraseScope erase;
    PruneScope prune;
    std::string origin;
    PruneLosses losses;
    std::promise<EraseResult> erased;
    std::promise<void> flushed;

    Status status = Status::ok();
    int64_t removed = 0;

    // Whether someone waits for this change to be committed.
    bool awaited() const { return kind != Kind::Prune; }
};

IndexWriter::IndexWriter(IndexStore& store, ServerLog& log, const Limits& limits)
    : m_store(store), m_log(log), m_limits(limits) {
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
    if (m_thread.joinable()) m_thread.join();
}

std::future<IndexWriter::EraseResult> IndexWriter::erase(const EraseScope& scope) {
    Job job;
    job.kind = Job::Kind::Erase;
    job.erase = scope;
    std::future<EraseResult> result = job.erased.get_future();
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
    std::future<void> flushed = job.flushed.get_future();
    enqueue(std::move(job));
    flushed.wait();
}

void IndexWriter::enqueue(Job job) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_roomFreed.wait(lock, [this] { return m_queue.size() < m_limits.maxQueued || m_finished; });
    if (m_finished) {
        lock.unlock();
        job.status = Status::failure("the index writer has stopped");
        complete(job);
        return;
    }
    m_queue.push_back(std::move(job));
    lock.unlock();
    m_workQueued.notify_one();
}

// The next queued job. ForWork waits until there is one (false only once
// stopping with nothing left, which ends the writer); Linger waits at most
// the linger time, and not at all when stopping; None does not wait.
bool IndexWriter::take(Job& job, Wait wait) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto ready = [this] { return !m_queue.empty() || m_stopping; };
    if (wait == Wait::ForWork) {
        m_workQueued.wait(lock, ready);
    } else if (wait == Wait::Linger) {
        m_workQueued.wait_for(lock, m_limits.linger, ready);
    }
    if (m_queue.empty()) {
        if (wait == Wait::ForWork) {
            m_finished = true;
            m_roomFreed.notify_all();
        }
        return false;
    }
    job = std::move(m_queue.front());
    m_queue.pop_front();
    m_roomFreed.notify_one();
    return true;
}

void IndexWriter::run() noexcept {
    for (;;) {
        Job first;
        if (!take(first, Wait::ForWork)) return;
        try {
            runBatch(std::move(first));
        } catch (const std::exception& failure) {
            // Jobs of the batch that were not completed break their promises:
            // their sessions see the erase fail.
            m_store.rollback();
            m_log.error(std::string("index writer: batch abandoned: ") + failure.what());
        }
    }
}

void IndexWriter::runBatch(Job first) {
    std::vector<Job> batch;
    Status transaction = m_store.begin();
    Job job = std::move(first);
    bool awaited = false;
    for (;;) {
        apply(job, batch, transaction);
        awaited = awaited || job.awaited();
        batch.push_back(std::move(job));
        if (batch.size() >= m_limits.maxBatch) break;
        job = Job();
        if (!take(job, awaited ? Wait::None : Wait::Linger)) break;
    }
    commit(batch, transaction);
    for (Job& done : batch) complete(done);
}

void IndexWriter::apply(Job& job, std::vector<Job>& batch, Status& transaction) {
    if (!transaction.isOk()) {
        job.status = Status::failure("cannot start a transaction: " + transaction.message());
        return;
    }
    switch (job.kind) {
        case Job::Kind::Erase: job.status = m_store.erase(job.erase, job.removed); break;
        case Job::Kind::Prune: job.status = m_store.prune(job.prune, job.removed); break;
        case Job::Kind::Flush: return;
    }
    if (job.status.isOk() || m_store.inTransaction()) return;
    // SQLite rolled the whole transaction back (I/O error, full disk, out of
    // memory): the batch's earlier changes went with it.
    for (Job& earlier : batch) {
        if (earlier.status.isOk()) {
            earlier.status =
                Status::failure("rolled back after a later failure: " + job.status.message());
        }
    }
    transaction = m_store.begin();
}

void IndexWriter::commit(std::vector<Job>& batch, const Status& transaction) {
    if (!transaction.isOk()) return;
    const Status committed = m_store.commit();
    if (committed.isOk()) {
        ++m_commits;
        return;
    }
    m_store.rollback();
    for (Job& job : batch) {
        if (job.status.isOk())
            job.status = Status::failure("commit failed: " + committed.message());
    }
}

void IndexWriter::complete(Job& job) {
    switch (job.kind) {
        case Job::Kind::Erase: job.erased.set_value(EraseResult{job.status, job.removed}); break;
        case Job::Kind::Prune:
            m_log.write(job.status.isOk() ? ServerLog::Level::Info : ServerLog::Level::Error,
                        job.origin + ": " + describe(job.prune) +
                            (job.status.isOk()
                                 ? ": " + std::to_string(job.removed) + " documents removed"
                                 : " failed: " + job.status.message()));
            if (!job.status.isOk() && job.losses) ++*job.losses;
            break;
        case Job::Kind::Flush: job.flushed.set_value(); break;
    }
}

}  // namespace cisrv
