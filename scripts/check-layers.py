#!/usr/bin/env python3
"""Checks the include graph of src/: every #include "..." points to the same
layer or one below it, and no files include each other in a cycle.
Exit status 1 with the offending edges otherwise.

Layers, lowest first (a folder belongs to the first pattern it matches)."""
import os
import re
import sys

LAYERS = [
    ("system", r"platform/(system/|wave_format\.h)"),  # the kernel's services, portable records
    ("foundation", r"foundation/"),
    ("codecs", r"codecs/"),              # outside codec libraries and our own codecs
    ("services", r"platform/"),          # GDI, ACM, AVI files and IC, mmio, toolkit: one backend per OS
    ("image", r"image/(image|geometry|palette)"),
    ("bitmap", r"image/(bitmap|text)"),
    ("sound", r"sound/"),
    ("formats", r"formats/"),
    ("engine", r"engine/"),
    ("ui", r"ui/"),
    ("api", r"api/"),
]
# The Linux backends of the services are built on the codec libraries, so
# the codecs sit below them.
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layer_of(path):
    for rank, (name, pattern) in enumerate(LAYERS):
        if re.match(pattern, path):
            return rank, name
    return None, None


def main():
    src = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "src")
    files = {}
    for root, _, names in os.walk(src):
        for n in names:
            if n.endswith((".h", ".cpp")):
                full = os.path.join(root, n)
                rel = os.path.relpath(full, src).replace(os.sep, "/")
                with open(full, encoding="utf-8", errors="replace") as f:
                    files[rel] = INCLUDE.findall(f.read())
    bad = []
    for rel, incs in sorted(files.items()):
        rank, name = layer_of(rel)
        if rank is None:
            bad.append(f"{rel}: in no layer")
            continue
        for inc in incs:
            if inc not in files:
                continue  # the public header or an outside library
            r2, n2 = layer_of(inc)
            if r2 is not None and r2 > rank:
                bad.append(f"{rel} ({name}) includes {inc} ({n2}): an arrow upward")
    # Cycles among files.
    state = {}
    stack = []

    def visit(f):
        state[f] = 1
        stack.append(f)
        for inc in files.get(f, []):
            if inc not in files:
                continue
            if state.get(inc) == 1:
                cyc = stack[stack.index(inc):] + [inc]
                bad.append("cycle: " + " -> ".join(cyc))
            elif inc not in state:
                visit(inc)
        stack.pop()
        state[f] = 2

    for f in sorted(files):
        if f not in state:
            visit(f)
    for b in bad:
        print(b)
    print(f"check-layers: {len(files)} files, {len(bad)} faults")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
