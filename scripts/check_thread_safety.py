#!/usr/bin/env python3
"""Runs Clang's thread-safety analysis over the files that take locks.

The build compiles with GCC, which ignores the annotations of
util/thread_annotations.h; this check compiles (syntax only) every
translation unit under the checked areas that takes a lock or includes a
header that declares one, with Clang and -Wthread-safety as an error, using
the include paths and definitions of the build's compile_commands.json.
Members under a lock are private, so only the files that lock or that include
their class's header can touch them; the others have nothing for the
analysis to check and are passed over, which keeps the check short.

Usage: check_thread_safety.py BUILD_DIR [--jobs N] [--clang PATH]
Exits 0 when clean, 1 with Clang's diagnostics otherwise, 2 when it cannot run.
"""

import argparse
import concurrent.futures
import json
import os
import re
import shlex
import shutil
import subprocess
import sys

AREAS = ("src/util/", "src/transport/", "src/protocol/", "src/bindings/")
# Anything that takes, holds or declares a lock of util/sync.h or
# util/thread_annotations.h.
LOCKING = re.compile(
    r"\b(Mutex|RwLock|InnerLock|AnnotatedMutex|AnnotatedSharedMutex|MutexLock|WriterLock|"
    r"ReaderLock|lock_or_recover|read_or_recover|write_or_recover|GUARDED_BY|REQUIRES)\b")
CLANGS = ("clang++-16", "clang++-17", "clang++-18", "clang++")
KEEP_FLAG = re.compile(r"^-(I|D|std=|isystem)")


def find_clang(explicit):
    for name in ([explicit] if explicit else CLANGS):
        path = shutil.which(name)
        if not path:
            continue
        out = subprocess.run([path, "--version"], capture_output=True, text=True).stdout
        m = re.search(r"clang version (\d+)", out)
        # Clang 14 cannot parse libstdc++ 12's <source_location>.
        if m and int(m.group(1)) >= 16:
            return path
    return None


def flags_of(entry):
    args = entry.get("arguments") or shlex.split(entry["command"])
    keep = []
    i = 1
    while i < len(args):
        a = args[i]
        if a in ("-I", "-D", "-isystem") and i + 1 < len(args):
            keep += [a, args[i + 1]]
            i += 2
            continue
        if KEEP_FLAG.match(a):
            keep.append(a)
        i += 1
    return keep


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build_dir")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--clang")
    opts = ap.parse_args()

    clang = find_clang(opts.clang)
    if clang is None:
        print("check_thread_safety: no clang++ 16 or later (scripts/install-deps.sh installs clang-16)")
        return 2
    db_path = os.path.join(opts.build_dir, "compile_commands.json")
    try:
        with open(db_path) as f:
            db = json.load(f)
    except OSError as e:
        print(f"check_thread_safety: cannot read {db_path}: {e}")
        return 2

    root = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
    src = os.path.join(root, "src")
    locking_headers = set()
    for dirpath, _, names in os.walk(src):
        for name in names:
            if name.endswith(".h") and name != "thread_annotations.h":
                path = os.path.join(dirpath, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    if LOCKING.search(f.read()):
                        locking_headers.add(os.path.relpath(path, src))
    jobs = {}
    for entry in db:
        path = os.path.abspath(os.path.join(entry.get("directory", ""), entry["file"]))
        rel = os.path.relpath(path, root)
        if not rel.startswith(AREAS) or path in jobs:
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
        includes = set(re.findall(r'#\s*include\s*"([^"]+)"', text))
        if not LOCKING.search(text) and not includes & locking_headers:
            continue
        jobs[path] = [clang, "-fsyntax-only", "-Wno-everything", "-Wthread-safety",
                      "-Werror=thread-safety", *flags_of(entry), path]

    def run(item):
        path, cmd = item
        r = subprocess.run(cmd, capture_output=True, text=True)
        return path, r.returncode, r.stderr

    failed = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, opts.jobs)) as pool:
        for path, code, err in pool.map(run, sorted(jobs.items())):
            if code != 0:
                failed += 1
                print(f"== {os.path.relpath(path, root)}\n{err}")
    if failed:
        print(f"check_thread_safety: {failed} of {len(jobs)} files break the lock annotations")
        return 1
    print(f"check_thread_safety: {len(jobs)} files that take locks, no thread-safety warning "
          f"({os.path.basename(clang)})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
