#!/usr/bin/env python3
"""Checks of the source tree's shape that no compiler makes; prints each finding, exits 1 on any.

- Layers: an include points down the layer order or stays in its layer, never up.
- One way to fail: no `std::string& error` out-parameter; a call returns Expected instead.
- The README's Layout names every folder of the tree, and no folder that is gone.
- Files that do one job: no source file over 400 lines, no function over 60 lines; tables
  (initializers of constants) may be longer.
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


LONGEST_FILE = 400
LONGEST_FUNCTION = 60
CONTAINER = re.compile(r"^(?:namespace|class|struct|union|enum|extern)\b")
TEMPLATE_PREFIX = re.compile(r"^template\s*<")
ACCESS_LABEL = re.compile(r"^\s*(?:public|private|protected)\s*:(?!:)")


def digit_separator(text, i):
    """Whether the quote at `i` stands between two digits or letters, as in 60'000."""
    return text[i - 1:i].isalnum() and text[i + 1:i + 2].isalnum()


def blank_out(text):
    """The text with comments, string and character literals and preprocessor lines turned into
    spaces, so that only the code's own braces are left; every newline stays where it was."""
    out = []
    i, n = 0, len(text)
    line_start = True
    while i < n:
        c = text[i]
        if line_start and c == "#":
            end = i
            while end < n and (text[end] != "\n" or text[end - 1] == "\\"):
                end += 1
            out.append(re.sub(r"[^\n]", " ", text[i:end]))
            i = end
            continue
        if c == "\n":
            line_start = True
            out.append(c)
            i += 1
            continue
        if not c.isspace():
            line_start = False
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
        elif text.startswith('R"', i) and not (i and (text[i - 1].isalnum() or text[i - 1] == "_")):
            delimiter = text[i + 2:text.find("(", i + 2)]
            end = text.find(")" + delimiter + '"', i)
            end = n if end < 0 else end + len(delimiter) + 2
        elif c == '"' or (c == "'" and not digit_separator(text, i)):
            end = i + 1
            while end < n and text[end] != c:
                end += 2 if text[end] == "\\" else 1
            end += 1
        else:
            out.append(c)
            i += 1
            continue
        out.append(re.sub(r"[^\n]", " ", text[i:end]))
        i = end
    return "".join(out)


def depth_zero(header):
    """The header with whatever stands in parentheses, brackets or a leading template<...> taken
    out, and operator names dropped, so that an `=` left in it is an initializer's."""
    header = re.sub(r"\boperator\s*(?:\(\)|[^\s(]+)", "operator", header)
    if TEMPLATE_PREFIX.match(header):
        depth = 0
        for index, c in enumerate(header):
            depth += {"<": 1, ">": -1}.get(c, 0)
            if depth == 0 and c == ">":
                header = header[index + 1:].lstrip()
                break
    kept, depth = [], 0
    for c in header:
        if c in "([":
            depth += 1
        elif c in ")]":
            depth -= 1
        elif depth == 0:
            kept.append(c)
    return "".join(kept), header


def block_kind(header):
    """What a brace at namespace or class level opens: a container of declarations, a function
    body, or an initializer (a table, exempt from the length rule)."""
    flat, header = depth_zero(header.strip())
    if "=" in flat:
        # A lambda kept in a constant is a function all the same.
        return "function" if re.search(r"=\s*\[", header) else "initializer"
    if CONTAINER.match(header):
        return "container"
    return "function" if "(" in header else "initializer"


def constant_table(header):
    """Whether a brace inside a function opens the initializer of a constant (a table)."""
    flat, _ = depth_zero(header.strip())
    ends_code = re.search(r"(?:[):\]]|\b(?:else|do|try|mutable|noexcept))\s*$", header.strip())
    return bool(re.search(r"\b(?:const|constexpr)\b", flat)) and not ends_code


def functions(text):
    """(first line, last line, table lines) of every function body at namespace or class level;
    the table lines are those inside the initializers of constants the function holds."""
    code = blank_out(text)
    found = []
    stack = []  # [kind, first line, lines of tables inside] per open brace
    header_start = 0
    for i, c in enumerate(code):
        if c == "{":
            header = code[header_start:i]
            line = code.count("\n", 0, i) + 1
            kinds = [entry[0] for entry in stack]
            if all(kind == "container" for kind in kinds):
                kind = block_kind(header)
                if kind == "function" and member_initializer(code, i):
                    kind = "initializer"  # m_value{x} in a constructor's initializer list
                # The function starts at its declaration, after any access label before it.
                label = ACCESS_LABEL.match(header)
                start = header_start + (label.end() if label else 0)
                declaration = code[start:i]
                indent = len(declaration) - len(declaration.lstrip())
                first = code.count("\n", 0, start + indent) + 1
                stack.append([kind, first, 0])
            elif "function" in kinds and "table" not in kinds and constant_table(header):
                stack.append(["table", line, 0])
            else:
                stack.append(["inner", line, 0])
            header_start = i + 1
        elif c in "};":
            if c == "}" and not stack:
                raise ValueError(f"line {code.count(chr(10), 0, i) + 1}: a brace closes none")
            if c == "}":
                kind, first, tables = stack.pop()
                last = code.count("\n", 0, i) + 1
                if kind == "function":
                    found.append((first, last, tables))
                elif kind == "table":
                    owner = next(entry for entry in reversed(stack) if entry[0] == "function")
                    owner[2] += max(last - first - 1, 0)
            header_start = i + 1
    if stack:
        raise ValueError("a brace is never closed")
    return found


def member_initializer(code, brace):
    """Whether the brace at `brace` closes before a `,` or another `{`: a braced member
    initializer, not the constructor's body."""
    depth = 0
    for index in range(brace, len(code)):
        depth += {"{": 1, "}": -1}.get(code[index], 0)
        if depth == 0:
            rest = code[index + 1:].lstrip()
            return rest[:1] in (",", "{")
    return False


def check_sizes(sources):
    findings = []
    for path in sources:
        text = (ROOT / path).read_text(encoding="utf-8")
        lines = text.count("\n")
        if lines > LONGEST_FILE:
            findings.append(f"{path}: {lines} lines; a file does one job in at most "
                            f"{LONGEST_FILE}: split it by job")
        try:
            bodies = functions(text)
        except ValueError as error:
            findings.append(f"{path}: cannot read its braces ({error}); the size check needs them")
            continue
        for first, last, tables in bodies:
            length = last - first + 1 - tables
            if length > LONGEST_FUNCTION:
                findings.append(f"{path}:{first}: a function of {length} lines; split it into "
                                f"steps of at most {LONGEST_FUNCTION}")
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
    findings = (check_layers(sources) + check_out_errors(sources) + check_layout(files) +
                check_sizes(sources))
    for finding in findings:
        print(finding)
    print(f"structure: {len(sources)} files, {len(findings)} finding(s)")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
