#!/usr/bin/env python3
"""Reads the mutant list of scripts/mutate.sh and applies one mutant to a tree.

  mutants.py LIST list           one line per mutant: ID FILE EQUIVALENT(0/1) TARGET(host/ia32)
  mutants.py LIST check ROOT     every mutant's text occurs exactly once in its file under ROOT
  mutants.py LIST apply ID ROOT  rewrites FILE under ROOT with the mutant applied
  mutants.py LIST reason ID      the equivalence reason of a mutant (empty if none)

The list's format is described at its top. Exit status: 0 done, 1 a bad list
or a mutant whose text is missing or ambiguous, 2 bad usage.
"""
import sys
from pathlib import Path

# Files that only the IA-32 image is built from; every other module file is
# also in the host library.
IA32_ONLY = {"pei/PlatformIa32.cpp"}


def unescape(text):
    """A - or + line's text, with "\\n" standing for a line break."""
    return text.replace("\\n", "\n")


def parse(path):
    """The mutants of a list, in order, as dicts: id, file, find, put, equivalent, line."""
    mutants = []
    current = None
    for number, raw in enumerate(Path(path).read_text().splitlines(), 1):
        if raw.startswith("#") or not raw.strip():
            continue
        tag, text = raw[:1], raw[2:]
        if tag == "@":
            fields = text.split()
            if len(fields) != 2:
                sys.exit(f"{path}:{number}: '@ ID FILE' expected")
            current = {"id": fields[0], "file": fields[1], "find": None, "put": None,
                       "equivalent": "", "line": number}
            mutants.append(current)
        elif current is None:
            sys.exit(f"{path}:{number}: a mutant starts with '@ ID FILE'")
        elif tag == "-":
            current["find"] = unescape(text)
        elif tag == "+":
            current["put"] = unescape(text)
        elif tag == "=":
            current["equivalent"] = text.strip()
        else:
            sys.exit(f"{path}:{number}: unknown line")
    ids = set()
    for m in mutants:
        if not m["find"] or m["put"] is None:
            sys.exit(f"{path}:{m['line']}: mutant {m['id']} needs a '-' and a '+' line")
        if m["id"] in ids:
            sys.exit(f"{path}:{m['line']}: mutant {m['id']} listed twice")
        ids.add(m["id"])
    return mutants


def locate(mutant, root):
    """The file's text and the offset of the mutant's text, which must occur once."""
    path = Path(root) / mutant["file"]
    text = path.read_text()
    count = text.count(mutant["find"])
    if count != 1:
        sys.exit(f"mutant {mutant['id']}: its text occurs {count} times in {mutant['file']}")
    return path, text


def main(argv):
    if len(argv) < 3:
        sys.exit(2)
    mutants = parse(argv[1])
    command = argv[2]
    if command == "list":
        for m in mutants:
            target = "ia32" if m["file"] in IA32_ONLY else "host"
            print(m["id"], m["file"], 1 if m["equivalent"] else 0, target)
    elif command == "check" and len(argv) == 4:
        for m in mutants:
            locate(m, argv[3])
        print(f"{len(mutants)} mutants, each found once")
    elif command in ("apply", "reason") and len(argv) >= 4:
        found = [m for m in mutants if m["id"] == argv[3]]
        if not found:
            sys.exit(f"no mutant {argv[3]}")
        m = found[0]
        if command == "reason":
            print(m["equivalent"])
        elif len(argv) == 5:
            path, text = locate(m, argv[4])
            path.write_text(text.replace(m["find"], m["put"], 1))
        else:
            sys.exit(2)
    else:
        sys.exit(2)


if __name__ == "__main__":
    main(sys.argv)
