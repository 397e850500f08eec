#!/usr/bin/env python3
"""Rewrite an abidw XML dump into a canonical form that does not depend on
where the sources were checked out.

abidw writes the declarations of a namespace in the order its reader met them,
and that order shifts with the length of the source and build paths recorded in
the debug information. The order of namespace-scope declarations carries no ABI
meaning, so the children of every <abi-instr> and <namespace-decl> are sorted.
Everything inside a class, where order is layout, is left exactly as written.
The translation unit's absolute source path is made relative to the source tree.

Usage: canonical_abixml.py SOURCE_DIR < dump.abi > canonical.abi
"""
import re
import sys

# Elements whose children are namespace-scope declarations.
SORTED_SCOPES = re.compile(r"^\s*<(abi-instr|namespace-decl)[ >]")


def indent_of(line):
    return len(line) - len(line.lstrip(" "))


def split_blocks(lines, indent):
    """Split `lines` (all children of one element) into one block per child
    element starting at column `indent`."""
    blocks = []
    for line in lines:
        if indent_of(line) == indent and not line.lstrip().startswith("</"):
            blocks.append([line])
        else:
            blocks[-1].append(line)
    return blocks


def canonical_block(block):
    """A block is one element: its opening line, its children and (unless it
    closes itself) its closing line."""
    if len(block) == 1 or not SORTED_SCOPES.match(block[0]):
        return block
    head, body, tail = block[0], block[1:-1], block[-1]
    children = [canonical_block(b) for b in split_blocks(body, indent_of(head) + 2)]
    children.sort(key=lambda b: "\n".join(b))
    return [head] + [line for child in children for line in child] + [tail]


def main():
    source_dir = sys.argv[1].rstrip("/") + "/"
    lines = sys.stdin.read().splitlines()
    lines = [line.replace("path='" + source_dir, "path='") for line in lines]
    # The corpus element wraps everything; its children sit at column 2.
    head, body, tail = lines[0], lines[1:-1], lines[-1]
    out = [head]
    for block in split_blocks(body, 2):
        out.extend(canonical_block(block))
    out.append(tail)
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
