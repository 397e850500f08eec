#include "tqlib/LogLine.h"

#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

namespace tqlib {
namespace {

constexpr size_t kMaxDecimalDigits = 20;
constexpr char kClockTemplate[] = "MM/DD HH:MM:SS.";
constexpr size_t kClockLength = sizeof kClockTemplate - 1;
constexpr long kNanosPerMilli = 1000000;
constexpr char kHexDigits[] = "0123456789ABCDEF";
// What a control character is written as when it is not one of \n, \r, \t.
constexpr size_t kHexEscapeLength = sizeof "\\xHH" - 1;
// Written in place of a control character when there is no memory to escape it.
constexpr char kUnescapedControl = '?';

bool isControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

// The letter of a two-character escape, or 0 when `c` takes \xHH.
char shortEscape(char c) {
    switch (c) {
        case '\n': return 'n';
        case '\r': return 'r';
        case '\t': return 't';
        default: return 0;
    }
}

size_t escapeLength(char c) { return shortEscape(c) != 0 ? 2 : kHexEscapeLength; }

// Writes the escape of control character `c` at `out`; returns its length.
size_t writeEscape(char c, char* out) {
    out[0] = '\\';
    if (const char letter = shortEscape(c)) {
        out[1] = letter;
        return 2;
    }
    const auto byte = static_cast<unsigned char>(c);
    out[1] = 'x';
    out[2] = kHexDigits[byte >> 4];
    out[3] = kHexDigits[byte & 0xF];
    return kHexEscapeLength;
}

// getpid() is a real system call, dearer than the rest of a line together, so
// the ids are cached per thread and refreshed only in a forked child: fork()
// bumps this generation there.
std::atomic<unsigned int> g_processGeneration{1};

void enterNewProcess() { g_processGeneration.fetch_add(1, std::memory_order_relaxed); }

[[maybe_unused]] const bool g_forkHandlerRegistered =
    pthread_atfork(nullptr, nullptr, enterNewProcess) == 0;

// What stays the same from line to line of one thread: its ids, and the clock
// text of the current second. Trivially initialised, so reading it costs no
// guard; generation 0 and `clockValid` false force the first refresh.
struct ThreadPrefixCache {
    unsigned int generation;
    char ids[2 * kMaxDecimalDigits + 2];
    size_t idsLength;
    bool clockValid;
    time_t second;
    char clock[kClockLength];
};
thread_local ThreadPrefixCache t_prefix;

static_assert(sizeof(ThreadPrefixCache::ids) + kClockLength + sizeof "mmm " <= kMaxPrefixBytes,
              "prefix room");

size_t appendDecimal(char* out, unsigned long value) {
    char reversed[kMaxDecimalDigits];
    size_t count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (size_t i = 0; i < count; ++i) {
        out[i] = reversed[count - 1 - i];
    }
    return count;
}

void putTwoDigits(char* out, int value) {
    out[0] = static_cast<char>('0' + value / 10 % 10);
    out[1] = static_cast<char>('0' + value % 10);
}

void refreshIds(unsigned int generation) {
    size_t length = appendDecimal(t_prefix.ids, static_cast<unsigned long>(getpid()));
    t_prefix.ids[length++] = ' ';
    length += appendDecimal(t_prefix.ids + length, static_cast<unsigned long>(gettid()));
    t_prefix.ids[length++] = ' ';
    t_prefix.idsLength = length;
    t_prefix.generation = generation;
}

void refreshClock(time_t second) {
    std::tm local{};
    localtime_r(&second, &local);
    char* out = t_prefix.clock;
    std::memcpy(out, kClockTemplate, kClockLength);
    putTwoDigits(out + 0, local.tm_mon + 1);
    putTwoDigits(out + 3, local.tm_mday);
    putTwoDigits(out + 6, local.tm_hour);
    putTwoDigits(out + 9, local.tm_min);
    putTwoDigits(out + 12, local.tm_sec);
    t_prefix.second = second;
    t_prefix.clockValid = true;
}

}  // namespace

size_t formatLinePrefix(char* out) {
    const unsigned int generation = g_processGeneration.load(std::memory_order_relaxed);
    if (generation != t_prefix.generation) {
        refreshIds(generation);
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (!t_prefix.clockValid || now.tv_sec != t_prefix.second) {
        refreshClock(now.tv_sec);
    }
    size_t length = t_prefix.idsLength;
    std::memcpy(out, t_prefix.ids, length);
    std::memcpy(out + length, t_prefix.clock, kClockLength);
    length += kClockLength;
    const int millis = static_cast<int>(now.tv_nsec / kNanosPerMilli);
    out[length++] = static_cast<char>('0' + millis / 100);
    putTwoDigits(out + length, millis % 100);
    length += 2;
    out[length++] = ' ';
    return length;
}

LineBuffer::LineBuffer(const char* format, va_list args) : m_data(m_stack), m_size(0) {
    const size_t prefixLength = formatLinePrefix(m_stack);
    // One byte of the stack buffer stays free for the line feed.
    const size_t textRoom = kStackLineBytes - prefixLength - 1;
    va_list retry;
    va_copy(retry, args);
    const int formatted = std::vsnprintf(m_stack + prefixLength, textRoom, format, args);
    if (formatted >= 0) {
        const auto textLength = static_cast<size_t>(formatted);
        if (textLength < textRoom) {
            m_size = prefixLength + textLength;
            m_stack[m_size++] = '\n';
        } else {
            formatOnHeap(prefixLength, textLength, format, retry);
        }
        escapeControlCharacters(prefixLength);
    }
    va_end(retry);
}

void LineBuffer::formatOnHeap(size_t prefixLength, size_t textLength, const char* format,
                              va_list args) {
    const bool cut = textLength > kMaxLineTextBytes;
    const size_t keptText = std::min(textLength, kMaxLineTextBytes);
    const size_t markerLength = cut ? sizeof kCutMarker - 1 : 0;
    const size_t lineLength = prefixLength + keptText + markerLength + 1;
    // Room for the NUL that vsnprintf always writes.
    m_heap.reset(new (std::nothrow) char[lineLength + 1]);
    if (!m_heap) {
        cutInStack(prefixLength);
        return;
    }
    char* line = m_heap.get();
    std::memcpy(line, m_stack, prefixLength);
    (void)std::vsnprintf(line + prefixLength, keptText + 1, format, args);
    std::memcpy(line + prefixLength + keptText, kCutMarker, markerLength);
    line[lineLength - 1] = '\n';
    m_data = line;
    m_size = lineLength;
}

// Rewrites the text with its control characters escaped, cut (and marked) if
// it grows beyond kMaxLineTextBytes. Without memory for that, each control
// character is overwritten in place instead: the line stays one line.
void LineBuffer::escapeControlCharacters(size_t prefixLength) {
    const size_t textEnd = m_size - 1;  // the line feed stays last
    size_t escapedText = 0;
    bool any = false;
    for (size_t i = prefixLength; i < textEnd; ++i) {
        const bool control = isControl(m_data[i]);
        any = any || control;
        escapedText += control ? escapeLength(m_data[i]) : 1;
    }
    if (!any) {
        return;
    }
    const bool cut = escapedText > kMaxLineTextBytes;
    const size_t markerLength = cut ? sizeof kCutMarker - 1 : 0;
    const size_t keptText = std::min(escapedText, kMaxLineTextBytes);
    const size_t lineLength = prefixLength + keptText + markerLength + 1;
    std::unique_ptr<char[]> escaped(new (std::nothrow) char[lineLength]);
    if (!escaped) {
        char* data = mutableData();
        std::replace_if(data + prefixLength, data + textEnd, isControl, kUnescapedControl);
        return;
    }
    char* out = escaped.get();
    std::memcpy(out, m_data, prefixLength);
    size_t written = prefixLength;
    for (size_t i = prefixLength; i < textEnd; ++i) {
        const char c = m_data[i];
        const size_t length = isControl(c) ? escapeLength(c) : 1;
        if (written + length > prefixLength + keptText) {
            break;  // an escape is never cut in two
        }
        if (length == 1) {
            out[written++] = c;
        } else {
            written += writeEscape(c, out + written);
        }
    }
    std::memcpy(out + written, kCutMarker, markerLength);
    written += markerLength;
    out[written++] = '\n';
    m_heap = std::move(escaped);
    m_data = m_heap.get();
    m_size = written;
}

// Without memory for a long line, write what the stack holds, marked as cut.
void LineBuffer::cutInStack(size_t prefixLength) {
    const size_t markerLength = sizeof kCutMarker - 1;
    const size_t keptText = kStackLineBytes - prefixLength - markerLength - 1;
    std::memcpy(m_stack + prefixLength + keptText, kCutMarker, markerLength);
    m_size = kStackLineBytes;
    m_stack[m_size - 1] = '\n';
}

}  // namespace tqlib
