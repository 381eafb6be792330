#!/usr/bin/env python3
"""Fails when a file under src/ includes a header of a higher layer.

Every `#include "area/..."` under src/ is checked against the layer order of
the areas below; inside src/kesu/ the same rule holds between its folders.
A file may include its own area (folder), any area on a lower level, and on
its own level only the edges listed in ALLOWED_SAME_LEVEL. Anything else is a
layering fault: the lower area would know of the higher one, and the two
could no longer be built, tested or reasoned about apart.

Usage: check_layering.py [SRC_DIR]   (default: the src/ beside scripts/)
Exits 0 when clean, 1 with one line per fault otherwise.
"""

import os
import re
import sys

# Areas of src/, lowest first. Areas on one level are peers.
LEVELS = [
    ["util"],
    ["crypto"],
    ["rfc9420", "kesu"],
    ["core", "sealed", "transport", "router", "reliability"],
    ["mls", "nostr", "store", "services", "datastore", "telemetry"],
    ["protocol"],
    ["bindings"],
]

# Edges between peers of one level that the tree relies on. core/ holds the
# message model and the wire frame that the others of its level build on, and
# the router picks among transports. These edges must stay acyclic.
ALLOWED_SAME_LEVEL = {
    ("sealed", "core"),
    ("transport", "core"),
    ("router", "core"),
    ("router", "transport"),
    ("reliability", "core"),
}

# Folders of src/kesu/, lowest first: the columnar codecs know nothing of the
# engine; common/ holds ids, values, versions and their compact forms; the
# B-tree and its arena; the delta ropes and the tracker over them; rich text;
# and the document encoding on top, which reads every structure below it.
KESU_LEVELS = [
    ["arena", "columnar", "kv_store"],
    ["common"],
    ["btree"],
    ["delta", "tracker"],
    ["richtext"],
    ["internal"],
    ["shared_arena"],
    ["change"],
    ["change_store"],
    ["dag"],
    ["oplog"],
]
KESU_ALLOWED_SAME_LEVEL = set()

# Headers outside src/ that only some areas may include: the public C header
# of the shared library belongs to the exported interface.
PUBLIC_HEADERS = {"brenvik_ffi.h": "bindings"}

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
SOURCE_SUFFIXES = (".h", ".hpp", ".cpp", ".cc", ".c", ".inc")


def level_map(levels):
    return {name: i for i, names in enumerate(levels) for name in names}


def check_acyclic(edges, what):
    graph = {}
    for a, b in edges:
        graph.setdefault(a, set()).add(b)
    seen, stack = set(), set()

    def visit(n):
        if n in stack:
            sys.exit(f"check_layering: the allowed {what} edges form a cycle through {n}")
        if n in seen:
            return
        stack.add(n)
        for m in graph.get(n, ()):
            visit(m)
        stack.discard(n)
        seen.add(n)

    for n in list(graph):
        visit(n)


def judge(frm, to, levels, allowed, scope):
    """Returns the fault text of an include from `frm` to `to`, or None."""
    if frm == to:
        return None
    if frm not in levels:
        return f"{scope}area '{frm}' has no place in the layer order (add it to check_layering.py)"
    if to not in levels:
        return f"includes {scope}area '{to}' that has no place in the layer order"
    lf, lt = levels[frm], levels[to]
    if lt < lf or (frm, to) in allowed:
        return None
    if lt == lf:
        return (f"{scope}{frm} includes {scope}{to}: areas on the same level do not include "
                f"each other")
    return f"{scope}{frm} (level {lf}) includes higher {scope}{to} (level {lt})"


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    src = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "src"))
    areas = level_map(LEVELS)
    kesu = level_map(KESU_LEVELS)
    check_acyclic(ALLOWED_SAME_LEVEL, "area")
    check_acyclic(KESU_ALLOWED_SAME_LEVEL, "kesu")

    faults = []
    files = 0
    for root, dirs, names in os.walk(src):
        dirs.sort()
        for name in sorted(names):
            if not name.endswith(SOURCE_SUFFIXES):
                continue
            path = os.path.join(root, name)
            rel = os.path.relpath(path, src).split(os.sep)
            if len(rel) < 2:
                continue  # a file directly in src/ belongs to no area
            files += 1
            area = rel[0]
            with open(path, encoding="utf-8", errors="replace") as f:
                for lineno, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    target = m.group(1)
                    parts = target.split("/")
                    where = f"src/{'/'.join(rel)}:{lineno}: #include \"{target}\": "
                    if len(parts) == 1:
                        owner = PUBLIC_HEADERS.get(target)
                        if owner is not None and areas.get(owner, -1) > areas.get(area, -1):
                            faults.append(where + f"{area} includes the public header of {owner}")
                        continue  # a header beside the file, or a public one
                    fault = judge(area, parts[0], areas, ALLOWED_SAME_LEVEL, "")
                    if fault is None and area == "kesu" == parts[0] and len(rel) > 2 and len(parts) > 2:
                        fault = judge(rel[1], parts[1], kesu, KESU_ALLOWED_SAME_LEVEL, "kesu/")
                    if fault is not None:
                        faults.append(where + fault)

    for fault in faults:
        print(fault)
    if faults:
        print(f"check_layering: {len(faults)} upward include(s) in {files} files")
        return 1
    print(f"check_layering: {files} files, no upward include")
    return 0


if __name__ == "__main__":
    sys.exit(main())
