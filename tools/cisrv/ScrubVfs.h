// A thin SQLite VFS over the system's default one that zeroes the unused
// space of every B-tree page written to a database file.
//
// PRAGMA secure_delete zeroes a cell when it is deleted and a page when it is
// freed, but not the copies a cell leaves behind when a page is rebuilt (a
// split or a merge moves cells to a sibling and leaves their old bytes in the
// unallocated space between the cell pointers and the cell content). Such a
// copy outlives the document once the document is deleted. Every write of a
// database page through this VFS clears that space and the bodies of the free
// blocks first, so the database file never holds bytes outside live cells.
// The write-ahead log is written as SQLite made it (its frames are
// checksummed); the purge empties it with a TRUNCATE checkpoint, whose copies
// into the database pass through here.
//
// Only pages whose first byte is a B-tree page type (2, 5, 10, 13) are
// touched, and only once their header, cell pointers and free-block chain
// check out. Overflow and freelist trunk pages begin with a page number,
// whose first byte is 0 or 1 in a file below 2^25 pages (128 GiB with 4 KiB
// pages); in larger files, and in files with pointer-map pages (auto_vacuum),
// which cisrv never creates, pages are written untouched.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cisrv {

// The VFS's name for sqlite3_open_v2(); registered (not as the default) on
// the first call.
const char* scrubbingVfs();

// Zeroes the unallocated space and the free-block bodies of one B-tree page
// in place. `page` holds `pageSize` bytes of database page `pageNumber` (1 for
// the page that starts with the file header); the last `reservedBytes` of
// each page belong to extensions. Returns the number of bytes set to zero,
// 0 when the page is not a B-tree page or does not check out.
size_t scrubBtreePage(unsigned char* page, size_t pageSize, uint32_t pageNumber,
                      size_t reservedBytes);

}  // namespace cisrv
