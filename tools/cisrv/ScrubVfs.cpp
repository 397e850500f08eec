// The scrubbing VFS: every call goes to the default VFS; writes of whole
// pages to a main database file have their B-tree pages scrubbed first.
#include "cisrv/ScrubVfs.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace cisrv {

namespace {

constexpr char kVfsName[] = "cisrv-scrub";

constexpr size_t kFileHeaderSize = 100;
constexpr size_t kPageSizeOffset = 16;
constexpr size_t kReservedOffset = 20;
constexpr size_t kSmallestPage = 512;
constexpr size_t kLargestPage = 65536;
// Beyond this many pages a page number's first byte may be 2 or more, so an
// overflow or freelist trunk page could pass for a B-tree page.
constexpr int64_t kMostScrubbedPages = int64_t{1} << 25;

constexpr unsigned char kInteriorIndex = 2;
constexpr unsigned char kInteriorTable = 5;
constexpr unsigned char kLeafIndex = 10;
constexpr unsigned char kLeafTable = 13;

unsigned readTwo(const unsigned char* at) { return (unsigned{at[0]} << 8) | at[1]; }

bool isPowerOfTwo(size_t value) { return value != 0 && (value & (value - 1)) == 0; }

size_t clearBytes(unsigned char* from, size_t length) {
    const auto nonZero =
        static_cast<size_t>(std::count_if(from, from + length, [](unsigned char b) { return b; }));
    std::memset(from, 0, length);
    return nonZero;
}

struct FreeBlock {
    size_t offset;
    size_t size;
};

// The scrubbing file: our methods first, the default VFS's file after it.
struct ScrubFile {
    sqlite3_file base;
    sqlite3_file* real;
    bool database;
    bool scrubbing;   // false past kMostScrubbedPages or with pointer maps
    size_t pageSize;  // 0 until known from the file header
    size_t reservedBytes;
    std::vector<unsigned char>* scratch;
};

sqlite3_vfs* g_default = nullptr;
sqlite3_vfs g_vfs{};
sqlite3_io_methods g_methods{};

ScrubFile* scrubFile(sqlite3_file* file) { return reinterpret_cast<ScrubFile*>(file); }
sqlite3_file* realFile(sqlite3_file* file) { return scrubFile(file)->real; }

// Learns the page size, reserved bytes and whether pointer-map pages may exist
// from the 100-byte file header.
void readHeader(ScrubFile& file, const unsigned char* header) {
    const unsigned pageSize = readTwo(header + kPageSizeOffset);
    file.pageSize = pageSize == 1 ? kLargestPage : pageSize;
    file.reservedBytes = header[kReservedOffset];
    // Bytes 52-55: the largest root page, non-zero only with auto_vacuum.
    const bool pointerMaps =
        header[52] != 0 || header[53] != 0 || header[54] != 0 || header[55] != 0;
    if (pointerMaps) {
        file.scrubbing = false;
    }
}

int scrubClose(sqlite3_file* file) {
    ScrubFile* self = scrubFile(file);
    const int rc = self->real->pMethods->xClose(self->real);
    delete self->scratch;
    self->scratch = nullptr;
    return rc;
}

int scrubRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
    return realFile(file)->pMethods->xRead(realFile(file), buffer, amount, offset);
}

int scrubWrite(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
    ScrubFile* self = scrubFile(file);
    sqlite3_file* real = self->real;
    const auto size = static_cast<size_t>(amount);
    const bool wholePage = self->database && self->scrubbing && isPowerOfTwo(size) &&
                           size >= kSmallestPage && size <= kLargestPage && offset >= 0 &&
                           offset % amount == 0;
    if (!wholePage) {
        return real->pMethods->xWrite(real, buffer, amount, offset);
    }
    const int64_t pageNumber = offset / amount + 1;
    if (pageNumber == 1) {
        readHeader(*self, static_cast<const unsigned char*>(buffer));
    }
    if (!self->scrubbing || self->pageSize != size || pageNumber >= kMostScrubbedPages) {
        if (pageNumber >= kMostScrubbedPages) {
            self->scrubbing = false;
        }
        return real->pMethods->xWrite(real, buffer, amount, offset);
    }
    std::vector<unsigned char>& copy = *self->scratch;
    copy.assign(static_cast<const unsigned char*>(buffer),
                static_cast<const unsigned char*>(buffer) + size);
    scrubBtreePage(copy.data(), size, static_cast<uint32_t>(pageNumber), self->reservedBytes);
    return real->pMethods->xWrite(real, copy.data(), amount, offset);
}

int scrubTruncate(sqlite3_file* file, sqlite3_int64 size) {
    return realFile(file)->pMethods->xTruncate(realFile(file), size);
}
int scrubSync(sqlite3_file* file, int flags) {
    return realFile(file)->pMethods->xSync(realFile(file), flags);
}
int scrubFileSize(sqlite3_file* file, sqlite3_int64* size) {
    return realFile(file)->pMethods->xFileSize(realFile(file), size);
}
int scrubLock(sqlite3_file* file, int level) {
    return realFile(file)->pMethods->xLock(realFile(file), level);
}
int scrubUnlock(sqlite3_file* file, int level) {
    return realFile(file)->pMethods->xUnlock(realFile(file), level);
}
int scrubCheckReservedLock(sqlite3_file* file, int* out) {
    return realFile(file)->pMethods->xCheckReservedLock(realFile(file), out);
}
int scrubFileControl(sqlite3_file* file, int op, void* argument) {
    return realFile(file)->pMethods->xFileControl(realFile(file), op, argument);
}
int scrubSectorSize(sqlite3_file* file) {
    return realFile(file)->pMethods->xSectorSize(realFile(file));
}
int scrubDeviceCharacteristics(sqlite3_file* file) {
    return realFile(file)->pMethods->xDeviceCharacteristics(realFile(file));
}
int scrubShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** out) {
    return realFile(file)->pMethods->xShmMap(realFile(file), region, size, extend, out);
}
int scrubShmLock(sqlite3_file* file, int offset, int count, int flags) {
    return realFile(file)->pMethods->xShmLock(realFile(file), offset, count, flags);
}
void scrubShmBarrier(sqlite3_file* file) { realFile(file)->pMethods->xShmBarrier(realFile(file)); }
int scrubShmUnmap(sqlite3_file* file, int deleteFlag) {
    return realFile(file)->pMethods->xShmUnmap(realFile(file), deleteFlag);
}
int scrubFetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** out) {
    return realFile(file)->pMethods->xFetch(realFile(file), offset, amount, out);
}
int scrubUnfetch(sqlite3_file* file, sqlite3_int64 offset, void* page) {
    return realFile(file)->pMethods->xUnfetch(realFile(file), offset, page);
}

size_t realFileOffset() {
    constexpr size_t align = alignof(std::max_align_t);
    return (sizeof(ScrubFile) + align - 1) / align * align;
}

// The VFS files are opened with: the default one now (a test may have put
// one of its own in front of the system's), when its files fit.
sqlite3_vfs* baseForOpen() {
    sqlite3_vfs* current = sqlite3_vfs_find(nullptr);
    if (current == nullptr || current == &g_vfs || current->szOsFile > g_default->szOsFile) {
        return g_default;
    }
    return current;
}

int scrubOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
    ScrubFile* self = scrubFile(file);
    std::memset(self, 0, sizeof *self);
    self->real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(file) + realFileOffset());
    sqlite3_vfs* base = baseForOpen();
    const int rc = base->xOpen(base, name, self->real, flags, outFlags);
    if (self->real->pMethods == nullptr) {
        file->pMethods = nullptr;
        return rc;
    }
    file->pMethods = &g_methods;
    self->database = (flags & SQLITE_OPEN_MAIN_DB) != 0;
    self->scrubbing = self->database;
    if (self->database) {
        self->scratch = new (std::nothrow) std::vector<unsigned char>();
        if (self->scratch == nullptr) {
            self->scrubbing = self->database = false;
        }
    }
    if (rc == SQLITE_OK && self->database) {
        sqlite3_int64 size = 0;
        unsigned char header[kFileHeaderSize];
        if (self->real->pMethods->xFileSize(self->real, &size) == SQLITE_OK &&
            size >= static_cast<sqlite3_int64>(kFileHeaderSize) &&
            self->real->pMethods->xRead(self->real, header, sizeof header, 0) == SQLITE_OK) {
            readHeader(*self, header);
            if (self->pageSize != 0 &&
                size / static_cast<sqlite3_int64>(self->pageSize) >= kMostScrubbedPages) {
                self->scrubbing = false;
            }
        }
    }
    return rc;
}

int vfsDelete(sqlite3_vfs*, const char* name, int syncDir) {
    return g_default->xDelete(g_default, name, syncDir);
}
int vfsAccess(sqlite3_vfs*, const char* name, int flags, int* out) {
    return g_default->xAccess(g_default, name, flags, out);
}
int vfsFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
    return g_default->xFullPathname(g_default, name, size, out);
}
void* vfsDlOpen(sqlite3_vfs*, const char* name) { return g_default->xDlOpen(g_default, name); }
void vfsDlError(sqlite3_vfs*, int size, char* out) { g_default->xDlError(g_default, size, out); }
void (*vfsDlSym(sqlite3_vfs*, void* handle, const char* symbol))(void) {
    return g_default->xDlSym(g_default, handle, symbol);
}
void vfsDlClose(sqlite3_vfs*, void* handle) { g_default->xDlClose(g_default, handle); }
int vfsRandomness(sqlite3_vfs*, int size, char* out) {
    return g_default->xRandomness(g_default, size, out);
}
int vfsSleep(sqlite3_vfs*, int microseconds) { return g_default->xSleep(g_default, microseconds); }
int vfsCurrentTime(sqlite3_vfs*, double* out) { return g_default->xCurrentTime(g_default, out); }
int vfsGetLastError(sqlite3_vfs*, int size, char* out) {
    return g_default->xGetLastError(g_default, size, out);
}
int vfsCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
    return g_default->xCurrentTimeInt64(g_default, out);
}

void registerVfs() {
    g_default = sqlite3_vfs_find(nullptr);
    if (g_default == nullptr) {
        return;
    }
    g_methods.iVersion = 3;
    g_methods.xClose = scrubClose;
    g_methods.xRead = scrubRead;
    g_methods.xWrite = scrubWrite;
    g_methods.xTruncate = scrubTruncate;
    g_methods.xSync = scrubSync;
    g_methods.xFileSize = scrubFileSize;
    g_methods.xLock = scrubLock;
    g_methods.xUnlock = scrubUnlock;
    g_methods.xCheckReservedLock = scrubCheckReservedLock;
    g_methods.xFileControl = scrubFileControl;
    g_methods.xSectorSize = scrubSectorSize;
    g_methods.xDeviceCharacteristics = scrubDeviceCharacteristics;
    g_methods.xShmMap = scrubShmMap;
    g_methods.xShmLock = scrubShmLock;
    g_methods.xShmBarrier = scrubShmBarrier;
    g_methods.xShmUnmap = scrubShmUnmap;
    g_methods.xFetch = scrubFetch;
    g_methods.xUnfetch = scrubUnfetch;

    g_vfs.iVersion = 2;
    g_vfs.szOsFile = static_cast<int>(realFileOffset()) + g_default->szOsFile;
    g_vfs.mxPathname = g_default->mxPathname;
    g_vfs.zName = kVfsName;
    g_vfs.xOpen = scrubOpen;
    g_vfs.xDelete = vfsDelete;
    g_vfs.xAccess = vfsAccess;
    g_vfs.xFullPathname = vfsFullPathname;
    g_vfs.xDlOpen = vfsDlOpen;
    g_vfs.xDlError = vfsDlError;
    g_vfs.xDlSym = vfsDlSym;
    g_vfs.xDlClose = vfsDlClose;
    g_vfs.xRandomness = vfsRandomness;
    g_vfs.xSleep = vfsSleep;
    g_vfs.xCurrentTime = vfsCurrentTime;
    g_vfs.xGetLastError = vfsGetLastError;
    g_vfs.xCurrentTimeInt64 = vfsCurrentTimeInt64;
    if (sqlite3_vfs_register(&g_vfs, 0) != SQLITE_OK) {
        g_default = nullptr;
    }
}

// The free blocks of a page, in order, or false when the chain is malformed.
bool freeBlocks(const unsigned char* page, size_t header, size_t contentStart, size_t usable,
                std::vector<FreeBlock>& blocks) {
    size_t next = readTwo(page + header + 1);
    size_t end = contentStart;
    while (next != 0) {
        if (next < end || next + 4 > usable || blocks.size() > usable / 4) {
            return false;
        }
        const size_t size = readTwo(page + next + 2);
        if (size < 4 || next + size > usable) {
            return false;
        }
        blocks.push_back({next, size});
        end = next + size;
        next = readTwo(page + next);
        if (next != 0 && next <= end) {
            return false;
        }
    }
    return true;
}

}  // namespace

const char* scrubbingVfs() {
    static std::once_flag once;
    std::call_once(once, registerVfs);
    return g_default != nullptr ? kVfsName : nullptr;
}

size_t scrubBtreePage(unsigned char* page, size_t pageSize, uint32_t pageNumber,
                      size_t reservedBytes) {
    if (reservedBytes >= pageSize) {
        return 0;
    }
    const size_t usable = pageSize - reservedBytes;
    const size_t header = pageNumber == 1 ? kFileHeaderSize : 0;
    if (header + 12 > usable) {
        return 0;
    }
    const unsigned char type = page[header];
    if (type != kInteriorIndex && type != kInteriorTable && type != kLeafIndex &&
        type != kLeafTable) {
        return 0;
    }
    const size_t headerSize = type == kInteriorIndex || type == kInteriorTable ? 12 : 8;
    const size_t cells = readTwo(page + header + 3);
    size_t contentStart = readTwo(page + header + 5);
    if (contentStart == 0) {
        contentStart = kLargestPage;
    }
    const size_t pointersEnd = header + headerSize + 2 * cells;
    if (pointersEnd > contentStart || contentStart > usable) {
        return 0;
    }
    for (size_t cell = 0; cell < cells; ++cell) {
        const size_t at = readTwo(page + header + headerSize + 2 * cell);
        if (at < contentStart || at >= usable) {
            return 0;
        }
    }
    std::vector<FreeBlock> blocks;
    if (!freeBlocks(page, header, contentStart, usable, blocks)) {
        return 0;
    }

    size_t cleared = clearBytes(page + pointersEnd, contentStart - pointersEnd);
    for (const FreeBlock& block : blocks) {
        cleared += clearBytes(page + block.offset + 4, block.size - 4);
    }
    return cleared;
}

}  // namespace cisrv
