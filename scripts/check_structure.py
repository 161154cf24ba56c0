#!/usr/bin/env python3
"""Checks of the source tree's shape that no compiler makes; prints each finding, exits 1 on any.

- Layers: an include points down the layer order or stays in its layer, never up.
- One way to fail: no `std::string& error` out-parameter; a call returns Expected instead.
- The README's Layout names every folder of the tree, and no folder that is gone.
"""
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Lower ranks are lower layers; a file may include its own rank and below. The longest matching
# prefix decides, so that the faces of the window sit above its controller.
LAYERS = {
    "core/platform": 0,
    "core/serial": 1,
    "core/protocol": 2,
    "core/image": 3,
    "core/settings": 3,
    "core/discovery": 4,
    "core/update": 4,
    "core/records": 5,
    "core/session": 6,
    "sim": 7,
    "app/controller": 8,
    "cli": 8,
    "web": 8,
    "app/qt": 9,
    "app/win32": 9,
}
CODE_FOLDERS = ("core", "app", "cli", "sim", "web")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)
# A non-const std::string reference whose name says error, as a parameter: `std::string& error`,
# `std::string &startError`, at the start of a line or after '(' or ','.
OUT_ERROR = re.compile(
    r"(?:^|[(,])\s*(std::string\s*&\s*\w*[eE]rror\w*)\s*(?=[,)]|$)", re.MULTILINE)


def tracked(*folders):
    listed = subprocess.run(["git", "ls-files", "--", *folders], cwd=ROOT, check=True,
                            capture_output=True, text=True).stdout.split()
    return [path for path in listed if (ROOT / path).exists()]


def layer_of(path):
    matches = [prefix for prefix in LAYERS if path == prefix or path.startswith(prefix + "/")]
    return LAYERS[max(matches, key=len)] if matches else None


def check_layers(sources):
    findings = []
    for path in sources:
        own = layer_of(path)
        if own is None:
            continue
        for target in INCLUDE.findall((ROOT / path).read_text(encoding="utf-8")):
            theirs = layer_of(target)
            if theirs is not None and theirs > own:
                findings.append(f"{path}: includes {target}, a layer above its own "
                                f"({pathlib.PurePath(path).parent} may use only what lies below)")
    return findings


def check_out_errors(sources):
    findings = []
    for path in sources:
        text = (ROOT / path).read_text(encoding="utf-8")
        for match in OUT_ERROR.finditer(text):
            line = text.count("\n", 0, match.start(1)) + 1
            findings.append(f"{path}:{line}: an std::string& error out-parameter; return "
                            "lumaflash::Expected<T, E> with the layer's error type instead")
    return findings


def layout_folders():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = readme.split("\n## Layout\n", 1)[1].split("\n## ", 1)[0]
    block = section.split("```", 2)[1]
    return {m.group(1) for m in re.finditer(r"^([a-z0-9_]+/(?:[a-z0-9_]+/)?)\s", block, re.M)}


def tree_folders(files):
    folders = set()
    for path in files:
        parts = path.split("/")
        if len(parts) > 1 and not parts[0].startswith("."):
            folders.add(parts[0] + "/")
        # The core and the window are read by their parts: each part is a folder of its own.
        if len(parts) > 2 and parts[0] in ("core", "app"):
            folders.add(f"{parts[0]}/{parts[1]}/")
    return folders


def check_layout(files):
    listed = layout_folders()
    tree = tree_folders(files)
    # A top-level folder whose parts are listed one by one is named by them.
    named = listed | {folder.split("/")[0] + "/" for folder in listed}
    findings = [f"README.md: the Layout does not name the folder {f}" for f in sorted(tree - named)]
    findings += [f"README.md: the Layout names {f}, which the tree does not have"
                 for f in sorted(listed - tree)]
    return findings


def main():
    files = tracked(".")
    sources = [p for p in files if p.split("/")[0] in CODE_FOLDERS and p.endswith((".cpp", ".h"))]
    findings = check_layers(sources) + check_out_errors(sources) + check_layout(files)
    for finding in findings:
        print(finding)
    print(f"structure: {len(sources)} files, {len(findings)} finding(s)")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
