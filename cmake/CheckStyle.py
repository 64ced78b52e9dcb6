#!/usr/bin/env python3
"""Checks the size and naming house rules over the product code of the tree.

    python3 cmake/CheckStyle.py [--root DIR] [--fixed FILE]

Size: no function over 120 lines (from the line of its opening brace to
that of its closing one) and no file over 900 lines. Naming: the names the project declares
follow its style (types CamelCase, macros UPPER_CASE, no snake_case name of
its own); the names the system fixes (its interfaces, wire records and the
service side's m_ members) are listed in cmake/FixedNames.txt and stay as
they stand.

Product code is every C++ source under the top folders other than testing/,
fuzz/, bench/ and cmake/, except test code (*_test.*, *_testapp.*,
*TestSupport.*, *TestHost.*), the same as for the layering check. The check
reads the sources as text (comments, strings and preprocessor lines set
aside), so that the whole tree takes well under a second; exits 1 with one
line per fault.
"""

import argparse
import bisect
import os
import re
import sys

MAX_FUNCTION_LINES = 120
MAX_FILE_LINES = 900
NOT_PRODUCT = {"testing", "fuzz", "bench", "cmake"}
TEST_CODE = re.compile(r"(_test|_testapp|TestSupport|TestHost)\.[A-Za-z]+$")
SOURCE = re.compile(r"\.(cpp|cc|cxx|c|h|hh|hpp|hxx|inc|ipp)$")

KEYWORDS = set("""
alignas alignof and asm auto bool break case catch char class co_await co_return co_yield const
consteval constexpr constinit const_cast continue decltype default delete do double
dynamic_cast else enum explicit export extern false float for friend goto if inline int long
mutable namespace new noexcept not nullptr operator or private protected public register
reinterpret_cast requires return short signed sizeof static static_assert static_cast struct
switch template this thread_local throw true try typedef typeid typename union unsigned using
virtual void volatile wchar_t while final override
""".split())
CONTROL = {"if", "for", "while", "switch", "catch", "do", "else", "try"}
SNAKE = re.compile(r"^_?[a-z][a-z0-9]*(_[a-z0-9]+)+_?$")


def product_sources(root):
    for top in sorted(os.listdir(root)):
        path = os.path.join(root, top)
        if (not os.path.isdir(path) or top.startswith((".", "build")) or top in NOT_PRODUCT
                or os.path.exists(os.path.join(path, "CMakeCache.txt"))):
            continue
        for folder, dirs, files in os.walk(path):
            dirs.sort()
            for name in sorted(files):
                if SOURCE.search(name) and not TEST_CODE.search(name):
                    yield os.path.relpath(os.path.join(folder, name), root)


def strip(text):
    """The code with comments, string and character literals and preprocessor
    lines blanked (newlines kept, so that line numbers hold), and the
    preprocessor lines on their own."""
    out = []
    directives = []
    i, n = 0, len(text)
    at_line_start = True
    while i < n:
        c = text[i]
        if at_line_start and c in " \t":
            out.append(c)
            i += 1
            continue
        if at_line_start and c == "#":
            j = i
            while j < n and text[j] != "\n":
                j = j + 2 if text[j] == "\\" and j + 1 < n else j + 1
            directive = text[i:j]
            directives.append((text.count("\n", 0, i) + 1, directive))
            out.append(re.sub(r"[^\n]", " ", directive))
            i = j
            continue
        at_line_start = False
        if c == "\n":
            at_line_start = True
            out.append(c)
            i += 1
        elif text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c == "R" and text.startswith('"', i + 1) and not (i and (text[i - 1].isalnum() or text[i - 1] == "_")):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            end = text.find(")" + (m.group(1) if m else "") + '"', i)
            j = n if not m or end < 0 else end + len(m.group(1)) + 2
            out.append('R""' + re.sub(r"[^\n]", " ", text[i + 3:j]))
            i = j
        elif c in "\"'":
            if c == "'" and i and text[i - 1].isalnum():  # a digit separator
                out.append(c)
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            out.append(c + " " * max(0, j - i - 2) + c)
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out), directives


def matching_paren(text, close):
    depth = 0
    for k in range(close, -1, -1):
        if text[k] == ")":
            depth += 1
        elif text[k] == "(":
            depth -= 1
            if depth == 0:
                return k
    return -1


TRAILER = re.compile(r"^\s*((const|volatile|noexcept(\s*\([^)]*\))?|override|final|mutable|&&|&|"
                     r"throw\s*\(\s*\)|->\s*[\w:<>,\s\*&]+?)\s*)*$")
INIT_LIST = re.compile(r"^\s*((const|noexcept)\s*)*:\s*[\w:<>]+\s*[({]")


def function_name(header):
    """The name of the function a body opens after HEADER, or None."""
    header = header.rstrip()
    close = header.rfind(")")
    while close >= 0:
        rest = header[close + 1:]
        if TRAILER.match(rest) or INIT_LIST.match(rest):
            start = matching_paren(header, close)
            if start < 0:
                return None
            m = re.search(r"(~?[A-Za-z_]\w*(\s*::\s*~?[A-Za-z_]\w*)*|operator\s*\S+)\s*(<[^;{}()]*>)?\s*$",
                          header[:start])
            if not m:
                return None
            name = re.sub(r"\s+", "", m.group(1))
            last = name.split("::")[-1]
            if last in CONTROL or last in {"sizeof", "alignof", "decltype", "noexcept", "requires"}:
                return None
            before = header[:m.start()].rstrip()
            if before.endswith(("=", "(", ",", "return", "[", "?")):
                return None  # a call or an initializer, not a definition
            return name
        close = header.rfind(")", 0, close)
    return None


def scan(code):
    """Function bodies (name, first line, last line) and the scopes of the
    code: a brace is a namespace, class, function, or other (initializer,
    block, lambda inside a function)."""
    functions = []
    stack = []  # (kind, name, line)
    header_start = 0
    line = 1
    for i, c in enumerate(code):
        if c == "\n":
            line += 1
        elif c in ";":
            if not stack or stack[-1][0] in ("namespace", "class"):
                header_start = i + 1
        elif c == "{":
            if stack and stack[-1][0] in ("function", "other", "init"):
                stack.append(("other", None, line))
                continue
            header = code[header_start:i]
            if re.search(r"\b(namespace|extern\s+\"\s*\")\s*[\w:]*\s*$", header) or re.search(r"\bextern\s*\"", header):
                stack.append(("namespace", None, line))
            elif re.search(r"\b(class|struct|union|enum)\b[^;(){}=]*$", header):
                stack.append(("class", None, line))
            else:
                name = function_name(header)
                if name and re.search(r"\)\s*:", header) and re.search(r"\w\s*$", header) \
                        and not TRAILER.match(header[header.rfind(")") + 1:]):
                    # A member's braced initializer in a constructor's list:
                    # the header goes on after it.
                    stack.append(("init", None, line))
                    continue
                if name and not re.search(r"=\s*$", header):
                    stack.append(("function", name, line))
                else:
                    stack.append(("other", None, line))
            header_start = i + 1
        elif c == "}":
            if not stack:
                continue
            kind, name, first = stack.pop()
            if kind == "init":
                continue
            if kind == "function":
                functions.append((name, first, line))
            if not stack or stack[-1][0] in ("namespace", "class"):
                header_start = i + 1
    return functions


# Declarations: an identifier that follows a type (a name that is no
# keyword, a template's close, a pointer or reference) and is followed by
# what ends a declarator; or that a class qualifies in a definition.
DECLARED = re.compile(r"(?:(?<![\w.>:])(?P<type>[A-Za-z_]\w*)|(?P<mark>>|\*+|&+))\s*"
                      r"(?P<name>[a-z_]\w*)\s*(?=[;=,)\[{(:])")
QUALIFIED = re.compile(r"\b[A-Z]\w*::(?P<name>~?[a-z_]\w*)\s*\(")
TYPE_DECL = re.compile(r"\b(?:class|struct|union|enum(?:\s+class)?)\s+(?:alignas\([^)]*\)\s*)?(?P<name>\w+)\s*(?=[:{;]|final)")
USING_DECL = re.compile(r"\busing\s+(?P<name>\w+)\s*=")
MACRO = re.compile(r"^\s*#\s*define\s+(?P<name>\w+)")


def names(code, directives, bodies):
    """(line, name, what) of every name the code declares that the naming
    rules judge; what is "function", "name" (a variable, member or
    parameter), "type" or "macro". BODIES are the (first, last) lines of
    the function bodies."""
    found = []
    starts = [0] + [k + 1 for k, c in enumerate(code) if c == "\n"]

    def line_of(pos):
        return bisect.bisect_right(starts, pos)

    def in_body(line):
        k = bisect.bisect_right(body_starts, line) - 1
        return k >= 0 and line <= body_ends[k]

    spans = sorted(bodies)
    body_starts = [first for first, _ in spans]
    body_ends = []
    for _, last in spans:
        body_ends.append(max(last, body_ends[-1]) if body_ends else last)

    for m in DECLARED.finditer(code):
        t, name = m.group("type") or m.group("mark")[0], m.group("name")
        if t in KEYWORDS and t not in {"int", "char", "bool", "auto", "long", "short", "unsigned",
                                       "signed", "double", "float", "void", "const", "static",
                                       "constexpr", "inline", "virtual", "explicit", "mutable",
                                       "volatile", "extern", "thread_local", "struct", "class",
                                       "enum", "typename", "union", "constinit", "consteval"}:
            continue
        if t in {"struct", "class", "enum", "union", "typename"}:
            continue  # an elaborated type, not a declarator
        if name in KEYWORDS or name.endswith("_t"):
            continue
        if t == ">" and code[m.start() - 1:m.start()] == "-":
            continue  # a member of another's record, through ->
        if t in ("*", "&"):
            # After a pointer or reference the name is declared only where
            # a type precedes the mark.
            # clang-format sets the mark against the type ("Foo* name",
            # "Foo&& name"), and apart from the operands of a product or
            # a logical "and" ("a * b", "a && b").
            before = code[max(0, m.start() - 80):m.start()]
            before = re.sub(r"[*&]+$", "", before)
            if not re.search(r"[\w>]$", before) or re.search(r"\b(return|case|throw|sizeof)$", before):
                continue
        number = line_of(m.start("name"))
        called = code[m.end():m.end() + 1] == "("
        found.append((number, name, "function" if called and not in_body(number) else "name"))
    for m in QUALIFIED.finditer(code):
        found.append((line_of(m.start("name")), m.group("name").lstrip("~"), "function"))
    for m in TYPE_DECL.finditer(code):
        found.append((line_of(m.start("name")), m.group("name"), "type"))
    for m in USING_DECL.finditer(code):
        found.append((line_of(m.start("name")), m.group("name"), "type"))
    for number, text in directives:
        m = MACRO.match(text)
        if m:
            found.append((number, m.group("name"), "macro"))
    return found


def judge(name, what):
    """What is wrong with a name of the project's own, or None."""
    if what == "macro":
        return None if re.fullmatch(r"[A-Z][A-Z0-9_]*", name) else "a macro is named UPPER_CASE"
    if what == "type":
        if name[0].isupper():
            return None
        return "a type is named CamelCase"
    if name.startswith("m_"):
        return None  # the service side's members, as the system names them
    name = re.sub(r"^[gst]_", "", name)  # a global, static or thread-local mark
    if re.fullmatch(r"[a-z]", name.rstrip("_")):
        return None
    if SNAKE.match(name):
        return "a name of the project's own is camelCase (members trailing_), not snake_case"
    return None


def read_list(path):
    entries = set()
    if path and os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            for line in f:
                line = line.split("#", 1)[0].strip()
                if line:
                    entries.add(line)
    return entries


def check(root, fixed):
    faults = []
    files = 0
    for path in product_sources(root):
        files += 1
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
            text = f.read()
        lines = text.count("\n") + (0 if text.endswith("\n") or not text else 1)
        if lines > MAX_FILE_LINES:
            faults.append(f"{path}: {lines} lines, over {MAX_FILE_LINES} for a file")
        code, directives = strip(text)
        functions = scan(code)
        for name, first, last in functions:
            length = last - first + 1
            if length > MAX_FUNCTION_LINES:
                faults.append(f"{path}:{first}: {name} is {length} lines, over {MAX_FUNCTION_LINES} for a function")
        seen = set()
        for number, name, what in names(code, directives, [(f, l) for _, f, l in functions]):
            bare = re.sub(r"^[gst]_", "", name).rstrip("_")
            if name in fixed or name.rstrip("_") in fixed or bare in fixed or (name, what) in seen:
                continue
            why = judge(name, what)
            if why:
                seen.add((name, what))
                faults.append(f"{path}:{number}: {name}: {why}")
    return files, faults


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--root", default=os.path.dirname(here))
    parser.add_argument("--fixed", default=os.path.join(here, "FixedNames.txt"))
    args = parser.parse_args()
    files, faults = check(os.path.abspath(args.root), read_list(args.fixed))
    for line in faults:
        print(line, file=sys.stderr)
    if faults:
        print(f"{len(faults)} faults against the size and naming rules in {files} product files",
              file=sys.stderr)
        return 1
    print(f"Size and naming kept by {files} product files")
    return 0


if __name__ == "__main__":
    sys.exit(main())
