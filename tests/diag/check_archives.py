#!/usr/bin/env python3
"""Checks the log zipper tests' archives with readers that share no code with
the zip writer (Python's zipfile, and Info-ZIP's unzip when installed).
Usage: check_archives.py [--reset] DIR. Each DIR/<name>.zip is checked against
DIR/<name>.json: {"entries": [{"name", "size", "md5"}, ...]} in archive order.
"""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import zipfile

END_RECORD = b"PK\x05\x06"


def check(zip_path, expected):
    problems = []
    with open(zip_path, "rb") as f:
        data = f.read()
    entries = expected["entries"]
    if not entries:
        # An archive without entries is the bare end-of-central-directory record.
        if len(data) != 22 or not data.startswith(END_RECORD):
            problems.append(f"expected a bare 22-byte end record, got {len(data)} bytes")
    with zipfile.ZipFile(zip_path) as archive:
        bad = archive.testzip()
        if bad is not None:
            problems.append(f"zipfile: CRC error in {bad}")
        infos = archive.infolist()
        names = [i.filename for i in infos]
        want = [e["name"] for e in entries]
        if names != want:
            problems.append(f"entries {names}, expected {want}")
        for info, entry in zip(infos, entries):
            content = archive.read(info)
            if info.compress_type != zipfile.ZIP_DEFLATED:
                problems.append(f"{info.filename}: method {info.compress_type}, expected deflate")
            if info.flag_bits & 0x6 != 0x2:
                problems.append(f"{info.filename}: flags {info.flag_bits:#x} do not say maximum compression")
            if info.date_time != (1980, 1, 0, 0, 0, 0):
                problems.append(f"{info.filename}: entry time {info.date_time} is not all zero")
            if info.extra or info.comment:
                problems.append(f"{info.filename}: unexpected extra field or comment")
            if len(content) != entry["size"] or hashlib.md5(content).hexdigest().upper() != entry["md5"].upper():
                problems.append(f"{info.filename}: content differs ({len(content)} bytes, expected {entry['size']})")
    if shutil.which("unzip") and entries:
        result = subprocess.run(["unzip", "-tq", zip_path], capture_output=True, text=True)
        if result.returncode != 0:
            problems.append("unzip -t: " + (result.stdout + result.stderr).strip())
    return problems


def main(argv):
    if len(argv) == 3 and argv[1] == "--reset":
        shutil.rmtree(argv[2], ignore_errors=True)
        os.makedirs(argv[2])
        return 0
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    folder = argv[1]
    names = sorted(n[:-5] for n in os.listdir(folder) if n.endswith(".json")) if os.path.isdir(folder) else []
    if not names:
        print(f"no archives in {folder}: did the zipper tests run?", file=sys.stderr)
        return 1
    failed = 0
    for name in names:
        with open(os.path.join(folder, name + ".json")) as f:
            expected = json.load(f)
        problems = check(os.path.join(folder, name + ".zip"), expected)
        print(f"{'FAIL' if problems else 'ok  '} {name} ({len(expected['entries'])} entries)")
        for p in problems:
            print(f"     {p}")
        failed += bool(problems)
    print(f"{len(names) - failed} of {len(names)} archives read back")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
