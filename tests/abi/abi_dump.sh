#!/usr/bin/env bash
# Writes the exported ABI of a shared object, as libabigail sees it in the
# debug information, in the canonical form kept in tests/abi/libTQCIHelper.abi.
#
# Only what the exported symbols reach is described; locations, parameter names,
# the DT_NEEDED list (checked by check_shared_object.sh) and the corpus and
# compilation paths are left out, and the source path is made relative, so two
# builds of the same sources at different places give the same text.
#
# Usage: abi_dump.sh LIBRARY SOURCE_DIR > out.abi
set -euo pipefail
lib=$1
source_dir=$2
here=$(cd "$(dirname "$0")" && pwd)

abidw --exported-interfaces-only --drop-undefined-syms \
      --no-corpus-path --no-comp-dir-path --no-show-locs --no-elf-needed --no-parameter-names \
      --type-id-style hash \
      "$lib" | python3 "$here/canonical_abixml.py" "$(cd "$source_dir" && pwd)"
