// Reading prune elements from text: one archive file per line,
//   <vornCellNumber> <archiveFileId> <cloudId> [<auxValue1> <auxValue2>]
// Blank lines and lines starting with '#' are skipped.
#pragma once

#include <istream>
#include <string>
#include <vector>

#include "TQCIHelper.h"

struct PruneListError {
    int line = 0;  // 1-based line of the first bad line; 0 when none
    std::string message;
};

// Appends the elements of `in` to `elements`. False (with `error` set) at the
// first malformed line; elements before it are kept.
bool readPruneList(std::istream& in, std::vector<_PruneElem>& elements, PruneListError& error);
