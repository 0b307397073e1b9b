#!/usr/bin/python3
"""Keeps the rooms of the source tree in their order: reads every #include of
the C and C++ files and fails naming each one that runs back up, from a room
to one that is not below it.

    check_layout.py [--junit FILE] [--root DIR]

Exit status 0 when every include follows the rule, 1 when one does not (or a
file lies in a room the rule does not know), 2 for a usage error. With
--junit, FILE gets one test case per room, failed where an arrow leaves it.

The rule is the table ROOMS below (the README's layout section states it in
words): a room may include itself and the rooms it lists, nothing else. An
include names a file of the tree the way the compiler finds it: beside the
including file, else from the top of the tree, else from include/; one that
names no file of the tree (a system or a third-party header) is not an arrow.
"""
import argparse
import os
import re
import sys
import xml.etree.ElementTree as ET

BOTTOM = ["include", "protocol"]
OS_DOOR = BOTTOM + ["platform"]
SHARED = OS_DOOR + ["common"]
REGISTRY = SHARED + ["api"]
CONTROL = REGISTRY + ["control"]
LIBRARY = CONTROL + ["discovery", "correction", "firmware", "capture", "platform/sim"]

# Room (a directory of the tree; the longest that holds a file is its room)
# and what it may include besides itself, bottom first.
ROOMS = {
    "include": [],
    "protocol": [],
    "platform": BOTTOM,  # the OS door: os.h, compat/, windows/, framework/, linux/
    "common": OS_DOOR,
    "platform/sim": SHARED,  # the simulated world, beside the library
    "api": SHARED,
    "control": REGISTRY,
    "discovery": CONTROL,
    "correction": CONTROL,
    "firmware": CONTROL,
    "capture": CONTROL + ["discovery", "correction", "firmware"],
    "tools": BOTTOM,  # clients of the public headers
    "tests": LIBRARY,
    "bench": LIBRARY,
}

SOURCE = re.compile(r"\.(c|cc|cpp|cxx|h|hh|hpp|hxx|inc)$")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
SKIPPED_DIRS = {"build", ".git"}


def room_of(path):
    """The room of a path relative to the root ('/' separated), or None."""
    best = None
    for room in ROOMS:
        if (path == room or path.startswith(room + "/")) and (best is None or len(room) > len(best)):
            best = room
    return best


def top_room(path):
    return path.split("/", 1)[0] if "/" in path else path


def resolve(root, including, quote, name):
    """The tree path an include names, or None for a file outside the tree."""
    bases = [os.path.dirname(including)] if quote == '"' else []
    bases += ["", "include"]
    for base in bases:
        candidate = os.path.normpath(os.path.join(base, name)).replace(os.sep, "/")
        if candidate.startswith("../"):
            continue
        if os.path.isfile(os.path.join(root, candidate)):
            return candidate
    return None


def sources(root):
    for directory, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d not in SKIPPED_DIRS and not d.startswith("."))
        for name in sorted(files):
            if SOURCE.search(name):
                yield os.path.relpath(os.path.join(directory, name), root).replace(os.sep, "/")


def check(root):
    """{room: [problem, ...]} for every room of ROOMS and any unknown one."""
    problems = {room: [] for room in ROOMS}
    for path in sources(root):
        room = room_of(path)
        if room is None:
            problems.setdefault(top_room(path), []).append(
                f"{path}: no rule says what the room {top_room(path)!r} may include (scripts/check_layout.py)")
            continue
        allowed = set(ROOMS[room]) | {room}
        try:
            with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
                lines = f.readlines()
        except OSError as e:
            problems[room].append(f"{path}: cannot be read: {e.strerror}")
            continue
        for number, line in enumerate(lines, 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            target = resolve(root, path, match.group(1), match.group(2))
            if target is None:
                continue
            target_room = room_of(target) or top_room(target)
            if target_room not in allowed:
                below = ", ".join(ROOMS[room]) or "none"
                problems[room].append(f"{path}:{number}: {room} includes {target}, but {target_room} is not below "
                                      f"{room} (rooms below {room}: {below})")
    return problems


def write_junit(path, problems):
    suites = ET.Element("testsuites")
    suite = ET.SubElement(suites, "testsuite", name="layout", tests=str(len(problems)),
                          failures=str(sum(1 for found in problems.values() if found)))
    for room, found in problems.items():
        case = ET.SubElement(suite, "testcase", classname="layout", name=room)
        if found:
            failure = ET.SubElement(case, "failure", message=f"{len(found)} include(s) against the layout rule")
            failure.text = "\n".join(found)
    ET.ElementTree(suites).write(path, encoding="utf-8", xml_declaration=True)


def main(argv):
    parser = argparse.ArgumentParser(description="Fails naming every #include that runs back up the rooms.")
    parser.add_argument("--junit", metavar="FILE", help="write one JUnit test case per room to FILE")
    parser.add_argument("--root", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."),
                        help="the top of the source tree (default: this checkout)")
    args = parser.parse_args(argv)
    root = os.path.abspath(args.root)
    if not os.path.isdir(root):
        parser.error(f"--root {args.root}: not a directory")
    problems = check(root)
    if args.junit:
        try:
            write_junit(args.junit, problems)
        except OSError as e:
            print(f"check_layout: cannot write {args.junit}: {e.strerror}", file=sys.stderr)
            return 1
    bad = [p for found in problems.values() for p in found]
    for problem in bad:
        print(problem)
    rooms_bad = sum(1 for found in problems.values() if found)
    print(f"layout: {len(problems) - rooms_bad} rooms follow the rule, {rooms_bad} do not")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
