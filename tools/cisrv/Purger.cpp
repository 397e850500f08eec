// Purge rounds: which shards, when, and what the log says about them.
#include "cisrv/Purger.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "cisrv/IndexSchema.h"
#include "common/ErrorResult.h"

namespace cisrv {

namespace {

using namespace std::chrono_literals;

// A truncation held back by readers or another writer is tried again after
// this, doubled at each further failure up to kLongestRetryPause (a bulk
// load holding the write lock is not hammered with checkpoints).
constexpr auto kRetryPause = 250ms;
constexpr auto kLongestRetryPause = 4s;
// After a round that could not do everything, the next one waits this long.
constexpr auto kFailurePause = 1s;
// How long a step between two batches waits for readers: not longer, so the
// answers queued behind it are not held up.
constexpr auto kStepReaderWait = 50ms;
// The log line names this many rewritten shards at most.
constexpr size_t kNamedShards = 8;

std::string seconds(Purger::Clock::duration duration) {
    char text[32];
    (void)std::snprintf(text, sizeof text, "%.2f s",
                        std::chrono::duration<double>(duration).count());
    return text;
}

std::string megabytes(int64_t bytes) {
    char text[32];
    (void)std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

std::string shardNames(const std::vector<int64_t>& shards) {
    std::string text;
    for (size_t i = 0; i < shards.size() && i < kNamedShards; ++i) {
        if (i > 0) {
            text += ", ";
        }
        text += std::to_string(shards[i]);
    }
    if (shards.size() > kNamedShards) {
        text += ", ...";
    }
    return text;
}

}  // namespace

Purger::Purger(IndexStore& store, ServerLog& log, const PurgeOptions& options,
               std::chrono::milliseconds readerWait)
    : m_store(store), m_log(log), m_options(options), m_readerWait(readerWait) {
    if (m_options.enabled) {
        m_oldest = Clock::now();
    }
}

void Purger::committed(int64_t removed) {
    if (!m_options.enabled || removed <= 0) {
        return;
    }
    if (!m_oldest) {
        m_oldest = Clock::now();
    }
    m_afterStart = false;  // the next round covers this removal too
    if (m_options.within.count() == 0) {
        runWholeRound();
    }
}

Purger::Clock::time_point Purger::due() const {
    if (!m_options.enabled) {
        return Clock::time_point::max();
    }
    if (m_round) {
        return m_round->retryAt;
    }
    if (!m_oldest) {
        return Clock::time_point::max();
    }
    return std::max(*m_oldest + m_options.within / 2, m_notBefore);
}

void Purger::runDue() {
    const auto now = Clock::now();
    if (now < due()) {
        return;
    }
    if (!m_round) {
        startRound(now);
    }
    (void)step(kStepReaderWait);
}

void Purger::finish() {
    if (m_options.enabled && (m_round || m_oldest)) {
        runWholeRound();
    }
}

void Purger::startRound(Clock::time_point now) {
    Round round;
    round.started = now;
    round.oldest = m_oldest.value_or(now);
    round.afterStart = m_afterStart;
    m_afterStart = false;
    m_oldest.reset();
    const CYxError listed = m_store.erasedShards(round.shards);
    if (listed.IsError()) {
        m_log.error("purge: " + listed.AsString());
        round.failed = true;
        round.shards.clear();
    }
    m_round = std::move(round);
}

void Purger::runWholeRound() {
    if (!m_round) {
        startRound(Clock::now());
    }
    for (;;) {
        const bool truncating = m_round->next >= m_round->shards.size();
        if (step(m_readerWait)) {
            return;
        }
        if (truncating) {
            // step() already waited readerWait for the readers.
            m_log.error("purge: readers kept the write-ahead log of " + m_store.file() +
                        " at an older snapshot for " + seconds(m_readerWait) +
                        "; what was removed stays in it until a later round");
            m_round->failed = true;
            endRound(-1);
            return;
        }
    }
}

bool Purger::step(std::chrono::milliseconds readerWait) {
    Round& round = *m_round;
    if (round.next < round.shards.size()) {
        const int64_t shard = round.shards[round.next++];
        int64_t written = 0;
        const bool wholeFile = shard == schema::kWholeFile;
        const CYxError status =
            wholeFile ? m_store.rewriteFile(written) : m_store.rewriteShard(shard, written);
        round.bytesWritten += written;
        if (status.IsError()) {
            m_log.error("purge: " + status.AsString());
            round.failed = true;
        } else if (wholeFile) {
            round.wholeFile = true;
        } else {
            round.rewritten.push_back(shard);
        }
        return false;
    }
    bool truncated = false;
    int64_t logBytes = 0;
    const CYxError status = m_store.truncateLog(readerWait, truncated, logBytes);
    if (status.IsError()) {
        m_log.error("purge: " + status.AsString());
        round.failed = true;
        endRound(logBytes);
        return true;
    }
    if (truncated) {
        endRound(logBytes);
        return true;
    }
    const auto now = Clock::now();
    const auto pause = std::min<Clock::duration>(kRetryPause * (1 << std::min(round.retries, 4)),
                                                 kLongestRetryPause);
    ++round.retries;
    round.retryAt = now + pause;
    if (!round.warned && now - round.oldest > m_options.within) {
        round.warned = true;
        m_log.warn("purge: the bound of " + seconds(m_options.within) +
                   " is passed for what was removed " + seconds(now - round.oldest) +
                   " ago: readers keep the write-ahead log of " + m_store.file() +
                   " at an older snapshot, or another process writes; trying again");
    }
    return false;
}

void Purger::endRound(int64_t logBytes) {
    Round round = std::move(*m_round);
    m_round.reset();
    const auto now = Clock::now();
    if (round.failed) {
        m_oldest = std::min(m_oldest.value_or(round.oldest), round.oldest);
        m_notBefore = now + kFailurePause;
    }
    const bool didSomething = round.wholeFile || !round.rewritten.empty() || logBytes > 0;
    if (!didSomething && !round.failed) {
        return;
    }

    int64_t shards = 0;
    (void)m_store.shardCount(shards);
    std::string line = round.afterStart ? "purge after start: " : "purge: ";
    if (round.wholeFile) {
        line += "every page rewritten, ";
    }
    line += std::to_string(round.rewritten.size()) + " of " + std::to_string(shards) +
            " full-text shards rewritten";
    if (!round.rewritten.empty()) {
        line += " (" + shardNames(round.rewritten) + ")";
    }
    line += ", " + megabytes(round.bytesWritten) + " written; ";
    line +=
        logBytes >= 0 ? "log of " + megabytes(logBytes) + " truncated; " : "log not truncated; ";
    const auto age = now - round.oldest;
    // A bound of 0 is kept by running the round before the answer.
    const bool missed = m_options.within.count() > 0 && age > m_options.within;
    ServerLog::Level level = ServerLog::Level::Info;
    if (round.failed) {
        line += "incomplete, a later round takes it up";
        level = ServerLog::Level::Error;
    } else {
        line += round.afterStart ? "what an earlier run left is gone from the files, " +
                                       seconds(age) + " after the start (bound "
                                 : "what was removed up to " + seconds(age) +
                                       " ago is gone from the files (bound ";
        line += seconds(m_options.within) + (missed ? ", missed)" : ")");
        if (missed) {
            level = ServerLog::Level::Warn;
        }
    }
    m_log.write(level, line + "; took " + seconds(now - round.started));
}

CYxError purgeEverything(IndexStore& store, std::string& summary,
                         const std::function<void(const std::string&)>& step) {
    const auto started = Purger::Clock::now();
    std::vector<int64_t> shards;
    CYxError status = store.shards(shards);
    int64_t written = 0;
    for (size_t i = 0; !status.IsError() && i < shards.size(); ++i) {
        int64_t bytes = 0;
        if (step) {
            step("full-text shard " + std::to_string(i + 1) + " of " +
                 std::to_string(shards.size()));
        }
        status = store.rewriteShard(shards[i], bytes);
        written += bytes;
    }
    int64_t bytes = 0;
    if (step && !status.IsError()) {
        step("every page of the file");
    }
    if (!status.IsError()) {
        status = store.rewriteFile(bytes);
    }
    written += bytes;
    bool truncated = false;
    int64_t logBytes = 0;
    if (!status.IsError()) {
        status = store.truncateLog(std::chrono::milliseconds(StoreOptions().busyTimeoutMs),
                                   truncated, logBytes);
    }
    if (status.IsError()) {
        return status;
    }
    if (!truncated) {
        return tqcommon::ioError("readers keep the write-ahead log of " + store.file() +
                                 " at an older snapshot; stop them and run cisrv purge again");
    }
    summary = "purged " + store.file() + ": " + std::to_string(shards.size()) +
              " full-text shards and every page rewritten (" + megabytes(written) +
              " written), log of " + megabytes(logBytes) + " truncated; took " +
              seconds(Purger::Clock::now() - started);
    return CYxError();
}

}  // namespace cisrv
