#!/usr/bin/env python3
"""Runs clang-tidy over every translation unit of a compile_commands.json, JOBS at a time, and
skips a unit it already found clean with the same input.

A unit's input is what the preprocessor makes of it (the file and every header it includes, our
own and the system's), the command, .clang-tidy and the clang-tidy version; its hash names an
empty file in the cache folder, written only when clang-tidy found nothing. A finding is never
cached, so it shows again on every run until it is mended; a changed header changes the input of
every unit that includes it.

    run_tidy.py COMPILE_COMMANDS_DIR CACHE_DIR JOBS
Prints the findings and exits 1 when there are any; prints how many units were checked and how
many were known clean.
"""

import concurrent.futures
import hashlib
import json
import os
import pathlib
import shlex
import subprocess
import sys

TIDY = "clang-tidy-14"


def preprocess_command(command):
    """The compile command turned into one that writes the preprocessed unit to stdout."""
    words = shlex.split(command)
    if os.path.basename(words[0]) == "ccache":
        words = words[1:]
    kept, skip = [], False
    for word in words:
        if skip:
            skip = False
        elif word in ("-o", "-MT", "-MF", "-MQ"):
            skip = True
        elif word not in ("-c", "-MD", "-MMD"):
            kept.append(word)
    return kept + ["-E"]


def unit_key(entry, common):
    preprocessed = subprocess.run(preprocess_command(entry["command"]), cwd=entry["directory"],
                                  capture_output=True, check=False)
    if preprocessed.returncode != 0:
        return None  # clang-tidy will say what is wrong with it
    digest = hashlib.sha256(common)
    digest.update(entry["command"].encode())
    digest.update(preprocessed.stdout)
    return digest.hexdigest()


def check(entry, common, compile_dir, cache):
    key = unit_key(entry, common)
    if key is not None and (cache / key).exists():
        return entry["file"], True, ""
    result = subprocess.run([TIDY, "-p", compile_dir, "--quiet", entry["file"]],
                            capture_output=True, text=True, check=False)
    if result.returncode == 0 and key is not None:
        (cache / key).touch()
    found = "" if result.returncode == 0 else result.stdout + result.stderr
    return entry["file"], False, found


def main():
    compile_dir, cache_dir, jobs = sys.argv[1], sys.argv[2], int(sys.argv[3])
    entries = json.loads((pathlib.Path(compile_dir) / "compile_commands.json").read_text())
    cache = pathlib.Path(cache_dir)
    cache.mkdir(parents=True, exist_ok=True)
    version = subprocess.run([TIDY, "--version"], capture_output=True, check=True).stdout
    common = version + pathlib.Path(".clang-tidy").read_bytes()
    findings, known = [], 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        for name, was_known, found in pool.map(lambda e: check(e, common, compile_dir, cache),
                                               entries):
            known += was_known
            if found:
                findings.append(f"== {name}\n{found}")
    print(f"static: clang-tidy checked {len(entries) - known} unit(s), "
          f"{known} known clean from {cache_dir}")
    if findings:
        print("\n".join(findings))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
