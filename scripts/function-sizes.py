#!/usr/bin/env python3
"""Lists the longest functions and files of C++ sources, in lines.

    scripts/function-sizes.py engine            # the 15 longest functions and files
    scripts/function-sizes.py --top 40 engine/view

A function is a definition that starts in the first column and whose body
closes with a "}" in the first column, as clang-format leaves every
function outside a class; a member defined inside its class is counted with
the class only when it is that long. Tables (definitions that close with
"};") are not functions. Lines are counted from the signature's first line
to the closing brace, comments and blank lines included.
"""
import argparse
import os
import re
import sys

SKIP = re.compile(r"^(#|//|/\*|\*|\}|namespace\b|using\b|typedef\b|template\b|extern\s+\"C\"\s*\{|class\b|struct\b|enum\b)")


def functions(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        lines = f.read().split("\n")
    found = []
    start = None
    for number, line in enumerate(lines, 1):
        if start is None:
            if line and not line[0].isspace() and not SKIP.match(line) and "(" in line:
                start = number
                head = line
            continue
        if line.startswith("}"):
            if not line.startswith("};"):
                name = re.sub(r"\(.*", "", head).split()[-1] if head.split() else head
                found.append((number - start + 1, name, start))
            start = None
        elif line.endswith(";") and not line.startswith(" ") and "{" not in head:
            start = None  # a declaration, not a definition
    return found, len(lines) - (1 if lines and lines[-1] == "" else 0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--top", type=int, default=15)
    parser.add_argument("folders", nargs="+")
    args = parser.parse_args()
    all_functions = []
    all_files = []
    for folder in args.folders:
        for root, _, names in os.walk(folder):
            for name in sorted(names):
                if not name.endswith((".cpp", ".h")):
                    continue
                path = os.path.join(root, name)
                found, count = functions(path)
                all_files.append((count, path))
                all_functions.extend((size, f"{path}:{line} {fn}") for size, fn, line in found)
    all_functions.sort(reverse=True)
    all_files.sort(reverse=True)
    print("Longest functions (lines):")
    for size, where in all_functions[: args.top]:
        print(f"  {size:5d}  {where}")
    print("Longest files (lines):")
    for size, path in all_files[: args.top]:
        print(f"  {size:5d}  {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
