#!/usr/bin/env python3
"""Compares the names REFERENCE.md lists with the names the sources read.

usage: check_reference.py SOURCE_DIR

Environment variables: string literals passed to getenv and the library's
environment helpers (and GetEnvironmentVariableA), and the platform's *Var constants, in every source of
the system (tests excluded). Settings: the dotted setting names of the
support-network library's sources, and names read through JexConfig's Value
and Path. Each name read and not listed, and each name listed and read
nowhere, is printed; the exit status is 1 when there is any.
"""
import pathlib
import re
import sys

SOURCE_DIRS = ["platform", "Hostsys", "WindowsService", "C2JavaAPI", "jexlink", "tools", "wizard"]
ENV_READ = re.compile(
    r'\b(?:getenv|JexGetEnv|JexGetEnvFlag|Env|ReopenFrom|GetEnvironmentVariableA)'
    r'\(\s*"([A-Za-z_][A-Za-z0-9_]*)"'
    r'|\bGetTavroEnv\(\s*\w+\s*,\s*"([A-Za-z_][A-Za-z0-9_]*)"')
ENV_CONSTANT = re.compile(r'\bk\w*Var\s*=\s*"([A-Z_][A-Z0-9_]*)"')
DOTTED_NAME = re.compile(r'"([A-Z][A-Za-z0-9]*(?:\.[A-Za-z][A-Za-z0-9]*)+)"')
CONFIG_READ = re.compile(r'\.(?:Value|Path)\(\s*"([A-Za-z][A-Za-z0-9_.]*)"')


def sources(root, dirs):
    for name in dirs:
        for path in sorted((root / name).rglob("*")):
            if path.suffix in (".cpp", ".h") and not path.stem.endswith("_test"):
                yield path.read_text(errors="replace")


def names_read(root):
    env, settings = set(), set()
    for text in sources(root, SOURCE_DIRS):
        env.update(name for pair in ENV_READ.findall(text) for name in pair if name)
        env.update(ENV_CONSTANT.findall(text))
    for text in sources(root, ["jexlink"]):
        settings.update(DOTTED_NAME.findall(text))
        settings.update(CONFIG_READ.findall(text))
    return env, settings


def names_listed(reference):
    """First-column names of the tables under the two headings."""
    sections, current = {}, None
    for line in reference.splitlines():
        if line.startswith("## "):
            current = line[3:].strip()
            continue
        if current and line.startswith("| `"):
            first = line.split("|")[1]
            sections.setdefault(current, set()).update(re.findall(r"`([^`]+)`", first))
    return sections.get("Environment variables", set()), sections.get("Settings", set())


def main():
    root = pathlib.Path(sys.argv[1])
    env_read, settings_read = names_read(root)
    env_listed, settings_listed = names_listed((root / "REFERENCE.md").read_text())
    problems = []
    for kind, read, listed in (("environment variable", env_read, env_listed),
                               ("setting", settings_read, settings_listed)):
        problems += [f"{kind} {name} is read but not in REFERENCE.md" for name in sorted(read - listed)]
        problems += [f"{kind} {name} is in REFERENCE.md but read nowhere" for name in sorted(listed - read)]
    for line in problems:
        print(line)
    print(f"{len(env_read)} environment variables and {len(settings_read)} settings read; "
          f"{len(problems)} differences")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
