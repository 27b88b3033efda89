#!/usr/bin/env python3
"""clang-tidy over every project source of a compile database, in parallel,
skipping the files it already found clean.

    scripts/tidy.py BUILD_DIR [--jobs N] [--log FILE]

A file is skipped when a clean result is stored for its key: a hash of the
file as clang-tidy's own compiler front end sees it (preprocessed, comments
kept so that NOLINT markers count, with every header it includes), its
compile command, the clang-tidy version, every .clang-tidy configuration
between it and the root, and this script's checking options. Paths below the
source root and the build directory are replaced by placeholders first, so a
clone elsewhere finds the same keys. Only clean results are stored: a file
with a finding is checked, and fails, every time.

The store is ${XDG_CACHE_HOME:-~/.cache}/clockramp/clang-tidy, outside the
clone (CLOCKRAMP_TIDY_CACHE overrides it; an empty value turns it off).

Progress goes to stdout as "clang-tidy: file n of N", the findings to the log
file (default BUILD_DIR/clang-tidy.log) and to stdout. Exit status: 0 clean,
1 findings or a clang-tidy failure, 2 bad usage or a missing database.
"""

import argparse
import concurrent.futures
import hashlib
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

# Bump when the way results are checked or keyed changes.
SCHEME = "1"
TIDY_ARGS = ["--quiet"]
# Lines clang-tidy prints about suppressed diagnostics, not findings.
NOISE = re.compile(
    r"^[0-9]+ warnings? (generated|treated as errors?)\.$|^Suppressed [0-9]+ warnings|"
    r"^Use -header-filter")
FINDING = re.compile(r"(warning|error):")


def find_tool(names):
    for name in names:
        path = shutil.which(name)
        if path:
            return path
    return None


def project_sources(database, root):
    """(source, entry) for each project file of the database, first entry wins."""
    seen = {}
    for entry in database:
        path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
        rel = os.path.relpath(path, root)
        if rel.startswith(("build", "..")) or rel in seen:
            continue
        seen[rel] = entry
    return sorted(seen.items())


def entry_arguments(entry):
    if "arguments" in entry:
        return list(entry["arguments"])
    return shlex.split(entry["command"])


def preprocess_command(args, clang):
    """The entry's compile command turned into clang's preprocessor run."""
    out = [clang]
    skip = False
    for arg in args[1:]:
        if skip:
            skip = False
            continue
        if arg in ("-o", "-MF", "-MT", "-MQ"):
            skip = True
            continue
        if arg in ("-c", "-MD", "-MMD") or arg.startswith(("-o", "-MF")):
            continue
        out.append(arg)
    return out + ["-E", "-C", "-o", "-"]


def tidy_configs(rel, root):
    """The contents of every .clang-tidy from the file's folder up to the root."""
    parts = []
    folder = os.path.dirname(os.path.join(root, rel))
    while True:
        config = os.path.join(folder, ".clang-tidy")
        if os.path.isfile(config):
            with open(config, "rb") as f:
                parts.append(f.read())
        if os.path.samefile(folder, root) or folder == os.path.dirname(folder):
            break
        folder = os.path.dirname(folder)
    return parts


class Normaliser:
    """Replaces the clone's own paths by placeholders, longest first."""

    def __init__(self, root, build):
        pairs = [(os.path.realpath(build), "@BUILD@"), (os.path.realpath(root), "@ROOT@")]
        pairs.sort(key=lambda p: len(p[0]), reverse=True)
        self.pairs = [(p.encode(), r.encode()) for p, r in pairs]

    def __call__(self, data):
        for path, placeholder in self.pairs:
            data = data.replace(path, placeholder)
        return data


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--log")
    opts = parser.parse_args()

    root = os.getcwd()
    build = os.path.abspath(opts.build)
    db_path = os.path.join(build, "compile_commands.json")
    if not os.path.isfile(db_path):
        print(f"clang-tidy: {db_path} is missing; configure first", file=sys.stderr)
        return 2
    tidy = find_tool(["clang-tidy"])
    if not tidy:
        print("clang-tidy: not installed (scripts/deps.sh)", file=sys.stderr)
        return 2
    version = subprocess.run([tidy, "--version"], capture_output=True, check=True).stdout
    major = re.search(rb"version (\d+)", version)
    # The preprocessor of the same LLVM release as clang-tidy sees the same text.
    clang = find_tool([f"clang++-{major.group(1).decode()}" if major else "", "clang++"])
    if not clang:
        print("clang-tidy: clang++ is missing (scripts/deps.sh)", file=sys.stderr)
        return 2

    env_cache = os.environ.get("CLOCKRAMP_TIDY_CACHE")
    if env_cache is None:
        base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
        env_cache = os.path.join(base, "clockramp", "clang-tidy")
    cache = env_cache or None

    with open(db_path) as f:
        sources = project_sources(json.load(f), root)
    normalise = Normaliser(root, build)
    common = hashlib.sha256()
    for part in (SCHEME.encode(), version, " ".join(TIDY_ARGS).encode()):
        common.update(part + b"\0")

    def key_of(rel, entry):
        args = entry_arguments(entry)
        pre = subprocess.run(preprocess_command(args, clang), cwd=entry["directory"],
                             capture_output=True)
        if pre.returncode != 0:
            return None  # clang-tidy will report why
        h = common.copy()
        h.update(normalise(" ".join(args).encode()) + b"\0")
        h.update(normalise(entry["directory"].encode()) + b"\0")
        for config in tidy_configs(rel, root):
            h.update(config + b"\0")
        h.update(normalise(pre.stdout))
        return h.hexdigest()

    def check(item):
        rel, entry = item
        key = key_of(rel, entry) if cache else None
        stamp = os.path.join(cache, key[:2], key) if key else None
        if stamp and os.path.exists(stamp):
            return rel, "cached", ""
        run = subprocess.run([tidy, "-p", build, *TIDY_ARGS, rel], capture_output=True,
                             text=True, errors="replace")
        lines = [l for l in (run.stdout + run.stderr).splitlines() if not NOISE.search(l)]
        text = "\n".join(lines)
        if run.returncode != 0 or FINDING.search(text):
            if run.returncode != 0 and not FINDING.search(text):
                text += f"\n{rel}: clang-tidy exited with status {run.returncode}"
            return rel, "FINDINGS", text
        if stamp:
            os.makedirs(os.path.dirname(stamp), exist_ok=True)
            fd, tmp = tempfile.mkstemp(dir=os.path.dirname(stamp))
            os.close(fd)
            os.replace(tmp, stamp)
        return rel, "clean", ""

    total = len(sources)
    where = cache if cache else "off"
    print(f"clang-tidy: {total} files, {opts.jobs} at a time, cache {where}", flush=True)
    counts = {"cached": 0, "clean": 0, "FINDINGS": 0}
    reports = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, opts.jobs)) as pool:
        futures = [pool.submit(check, item) for item in sources]
        for n, done in enumerate(concurrent.futures.as_completed(futures), start=1):
            rel, outcome, text = done.result()
            counts[outcome] += 1
            print(f"clang-tidy: file {n} of {total}: {rel} ({outcome})", flush=True)
            if text:
                print(text, flush=True)
                reports.append(text)

    log = opts.log or os.path.join(build, "clang-tidy.log")
    with open(log, "w") as f:
        f.write("\n".join(reports) + ("\n" if reports else ""))
    print(f"clang-tidy: {counts['clean']} checked clean, {counts['cached']} clean before "
          f"and unchanged, {counts['FINDINGS']} with findings (log {log})", flush=True)
    return 1 if counts["FINDINGS"] else 0


if __name__ == "__main__":
    sys.exit(main())
