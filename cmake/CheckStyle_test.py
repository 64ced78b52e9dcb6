#!/usr/bin/env python3
"""The test of the size and naming check: plants one violation of each kind
(and, beside each, a name or size the rules allow) in a scratch tree, runs
cmake/CheckStyle.py over it and expects it to fail naming every violation
and none of the allowed ones. The tree itself is never touched."""

import os
import subprocess
import sys
import tempfile


def body(lines):
    """A function body of LINES lines from its opening to its closing brace."""
    return "{\n" + "    ++n;\n" * (lines - 2) + "}\n"


# file, its text, what the check must say of it (None: nothing).
CASES = [
    ("jexlink/core/Long.cpp", "int Long::Steps(int n) " + body(121),
     "jexlink/core/Long.cpp:1: Long::Steps is 121 lines, over 120 for a function"),
    ("jexlink/core/Edge.cpp", "int Edge(int n) " + body(120), None),
    ("platform/Inline.h", "class Inline {\n    int Run(int n) const " + body(121) + "};\n",
     "platform/Inline.h:2: Run is 121 lines, over 120 for a function"),
    ("Hostsys/Ctor.cpp", "Ctor::Ctor(int n) : n_(n), m_{n} " + body(125),
     "Hostsys/Ctor.cpp:1: Ctor::Ctor is 125 lines, over 120 for a function"),
    ("wizard/Big.cpp", "int x;\n" * 901, "wizard/Big.cpp: 901 lines, over 900 for a file"),
    ("wizard/Fits.cpp", "int x;\n" * 900, None),
    ("jexlink/session/Snake.h", "class Snake {\n    bool recv_bounded(int limitMs);\n};\n",
     "jexlink/session/Snake.h:2: recv_bounded: a name of the project's own"),
    ("jexlink/session/Member.h", "class Member {\n    int hop_limit_ = 0;\n    int m_count = 0;\n};\n",
     "jexlink/session/Member.h:2: hop_limit_: a name of the project's own"),
    ("tools/nodewalk/Param.cpp", "void Walk(const char* tree_path) {}\n",
     "tools/nodewalk/Param.cpp:1: tree_path: a name of the project's own"),
    ("C2JavaAPI/Local.cpp", "void Log() {\n    int line_count = 0;\n    (void)line_count;\n}\n",
     "C2JavaAPI/Local.cpp:2: line_count: a name of the project's own"),
    ("WindowsService/Type.h", "struct service_entry {\n    int code;\n};\n",
     "WindowsService/Type.h:1: service_entry: a type is named CamelCase"),
    ("jexlink/core/Macro.h", "#define tavro_check(x) (x)\n#define TAVRO_CHECK(x) (x)\n",
     "jexlink/core/Macro.h:1: tavro_check: a macro is named UPPER_CASE"),
    ("jexlink/core/Fixed.h", "class Fixed {\n    int trace_flags_ = 0;\n    void set_state(int to);\n};\n", None),
    ("jexlink/core/Quoted.cpp", "const char* kText = \"recv_bounded\";  // send_data\n", None),
    ("jexlink/core/Posix.cpp", "int Name(const dirent* e) { return e->d_name[0] + s.st_mode; }\n", None),
    ("jexlink/core/Snake_test.cpp", "void take_connect_reply() " + body(200), None),
    ("jexlink/core/SnakeTestSupport.h", "int drop_gateway;\n", None),
    ("testing/support/Helper.cpp", "void take_connect_reply() " + body(200), None),
]
FIXED = "# planted\ntrace_flags\nset_state\n"


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    with tempfile.TemporaryDirectory() as root:
        for path, text, _ in CASES:
            os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
            with open(os.path.join(root, path), "w", encoding="utf-8") as f:
                f.write(text)
        fixed = os.path.join(root, "fixed.txt")
        with open(fixed, "w", encoding="utf-8") as f:
            f.write(FIXED)
        run = subprocess.run([sys.executable, os.path.join(here, "CheckStyle.py"), "--root", root,
                              "--fixed", fixed], capture_output=True, text=True, timeout=60)
    out = run.stdout + run.stderr
    missed = []
    if run.returncode != 1:
        missed.append(f"the check exited {run.returncode}, not 1")
    for path, _, says in CASES:
        if says and says not in out:
            missed.append(f"not said: {says}")
        if not says and f"{path}:" in out.replace(f"{path}: 9", ""):
            missed.append(f"said of an allowed case: {path}")
    if missed:
        print("\n".join(missed) + "\nthe check said:\n" + out, file=sys.stderr)
        return 1
    print(f"The size and naming check caught every one of {sum(1 for c in CASES if c[2])} planted faults")
    return 0


if __name__ == "__main__":
    sys.exit(main())
