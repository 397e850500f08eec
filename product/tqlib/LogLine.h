// Formatting of one debug-log line: "<pid> <tid> <MM/DD HH:MM:SS.mmm> <text>\n".
#pragma once

#include <cstdarg>
#include <cstddef>
#include <memory>

namespace tqlib {

// Ordinary lines are formatted on the stack; only longer ones take the heap.
constexpr size_t kStackLineBytes = 4096;
// Text beyond this many bytes is cut, and the line ends with kCutMarker.
constexpr size_t kMaxLineTextBytes = size_t{4} * 1024 * 1024;
constexpr char kCutMarker[] = " [line cut]";

// Room the prefix needs at most: two ids, the time and separators.
constexpr size_t kMaxPrefixBytes = 64;

// Write the line prefix "<pid> <tid> <MM/DD HH:MM:SS.mmm> " (local time) at
// `out`, which has room for kMaxPrefixBytes; returns its length.
size_t formatLinePrefix(char* out);

// One finished line: prefix, text formatted printf-style, line feed. Control
// characters of the text (below 0x20, and 0x7F) are written as \n, \r, \t or
// \xHH, so one line is one call whatever its text holds; other bytes, UTF-8
// included, are written as they are.
class LineBuffer {
public:
    LineBuffer(const char* format, va_list args);
    LineBuffer(const LineBuffer&) = delete;
    LineBuffer& operator=(const LineBuffer&) = delete;

    const char* data() const { return m_data; }
    // 0 when the format could not be applied: there is no line to write.
    size_t size() const { return m_size; }

private:
    void formatOnHeap(size_t prefixLength, size_t textLength, const char* format, va_list args);
    void cutInStack(size_t prefixLength);
    void escapeControlCharacters(size_t prefixLength);
    char* mutableData() { return m_heap ? m_heap.get() : m_stack; }

    char m_stack[kStackLineBytes];
    std::unique_ptr<char[]> m_heap;
    const char* m_data;
    size_t m_size;
};

}  // namespace tqlib
