#!/usr/bin/env python3
"""Checks of canonical_abixml.py: dumps of the same library built from sources at
different places must come out identical, and nothing whose order is layout
may move."""
import os
import subprocess
import sys
import unittest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "canonical_abixml.py")

HEAD = "<abi-corpus version='2.1' architecture='elf-amd-x86_64' soname='libX.so'>"
TAIL = "</abi-corpus>"


def canonical(lines, source_dir="/src/tree"):
    text = "\n".join([HEAD] + lines + [TAIL]) + "\n"
    result = subprocess.run([sys.executable, SCRIPT, source_dir], input=text,
                            capture_output=True, text=True, check=True, timeout=30)
    return result.stdout.splitlines()[1:-1]


def instr(path, children):
    return (["  <abi-instr address-size='64' path='%s' language='LANG_C_plus_plus_14'>" % path]
            + children + ["  </abi-instr>"])


RECORD = [
    "    <class-decl name='Rec' size-in-bits='160' is-struct='yes' visibility='default' id='r1'>",
    "      <data-member access='public' layout-offset-in-bits='96'>",
    "        <var-decl name='second' type-id='i' visibility='default'/>",
    "      </data-member>",
    "      <data-member access='public' layout-offset-in-bits='128'>",
    "        <var-decl name='first' type-id='i' visibility='default'/>",
    "      </data-member>",
    "    </class-decl>",
]
FUNCTION = [
    "    <function-decl name='f' mangled-name='f' visibility='default' binding='global' size-in-bits='64'>",
    "      <return type-id='i'/>",
    "    </function-decl>",
]
INT = ["    <type-decl name='int' size-in-bits='32' id='i'/>"]
STD = [
    "    <namespace-decl name='std'>",
    "      <typedef-decl name='size_t' type-id='u' id='s2'/>",
    "      <class-decl name='allocator&lt;int&gt;' size-in-bits='8' visibility='default' id='a1'/>",
    "    </namespace-decl>",
]


class CanonicalFormTest(unittest.TestCase):
    def test_declaration_order_and_checkout_path_do_not_matter(self):
        here = canonical(instr("/src/tree/src/a.cpp", INT + RECORD + STD + FUNCTION), "/src/tree")
        there = canonical(instr("/elsewhere/ci/checkout/src/a.cpp", FUNCTION + STD + RECORD + INT),
                          "/elsewhere/ci/checkout/")
        self.assertEqual(here, there)
        self.assertIn("path='src/a.cpp'", here[0])

    def test_members_of_a_class_keep_their_order(self):
        out = canonical(instr("/src/tree/a.cpp", FUNCTION + RECORD))
        start = out.index(RECORD[0])
        self.assertEqual(out[start:start + len(RECORD)], RECORD)

    def test_namespace_members_are_sorted_and_kept_inside(self):
        out = canonical(instr("/src/tree/a.cpp", STD))
        self.assertEqual(out[1], STD[0])
        self.assertEqual(out[2:4], sorted(STD[1:3]))
        self.assertEqual(out[4], STD[3])

    def test_paths_outside_the_source_tree_are_kept(self):
        out = canonical(instr("/usr/include/x.h", INT))
        self.assertIn("path='/usr/include/x.h'", out[0])


if __name__ == "__main__":
    unittest.main()
