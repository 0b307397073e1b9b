#!/usr/bin/python3
"""The test command's bookkeeping: counts the tests of a leg from its JUnit
file, and prints the summary of all legs.

    legs.py count FILE.xml...   prints "PASSED FAILED SKIPPED"
    legs.py summary LEGS.tsv    prints the table and "N passed, M failed";
                                exit status 1 when a leg failed

A leg line in LEGS.tsv: name, status (passed, failed, skipped), passed,
failed, seconds, note (the reason of a skip or a failure).
"""
import re
import sys
import xml.etree.ElementTree as ET

# A whole GoogleTest program run as one test (the Windows suite under Wine)
# counts its own cases; so does a script that ends with our own tally.
GTEST_RAN = re.compile(r"^\[==========\] (\d+) tests? from .* ran", re.M)
GTEST_PASSED = re.compile(r"^\[  PASSED  \] (\d+) tests?", re.M)
TALLY = re.compile(r"^(\d+) passed, (\d+) failed\s*$", re.M)


def count_case(case):
    """(passed, failed, skipped) of one <testcase>."""
    status = case.get("status")  # ctest's attribute; pytest uses children
    if status in ("notrun", "disabled") or case.find("skipped") is not None:
        return 0, 0, 1
    failed = status == "fail" or case.find("failure") is not None or case.find("error") is not None
    out = case.findtext("system-out") or ""
    ran = GTEST_RAN.findall(out)
    if ran:
        total = int(ran[-1])
        good = GTEST_PASSED.findall(out)
        passed = int(good[-1]) if good else 0
        bad = total - passed
        return passed, max(bad, 1 if failed else 0), 0
    tally = TALLY.findall(out)
    if tally:
        passed, bad = (int(v) for v in tally[-1])
        return passed, max(bad, 1 if failed else 0), 0
    return (0, 1, 0) if failed else (1, 0, 0)


def count(paths):
    totals = [0, 0, 0]
    for path in paths:
        try:
            root = ET.parse(path).getroot()
        except (OSError, ET.ParseError):
            totals[1] += 1  # no results at all: the run itself failed
            continue
        for case in root.iter("testcase"):
            for i, v in enumerate(count_case(case)):
                totals[i] += v
    print(*totals)


def summary(path):
    legs = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.strip():
                name, status, passed, failed, seconds, note = (line.rstrip("\n").split("\t") + [""] * 6)[:6]
                legs.append((name, status, int(passed or 0), int(failed or 0), float(seconds or 0), note))
    width = max([len(leg[0]) for leg in legs] + [3])
    print(f"{'leg':<{width}}  {'result':<7}  {'tests':>9}  {'time':>7}")
    for name, status, passed, failed, seconds, note in legs:
        tests = f"{passed}/{passed + failed}" if status != "skipped" else "-"
        line = f"{name:<{width}}  {status:<7}  {tests:>9}  {seconds:>6.0f}s"
        print(line + (f"  {note}" if note else ""))
    passed = sum(leg[2] for leg in legs)
    failed = sum(leg[3] for leg in legs) + sum(1 for leg in legs if leg[1] == "failed" and leg[3] == 0)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) >= 3 and sys.argv[1] == "count":
        count(sys.argv[2:])
    elif len(sys.argv) == 3 and sys.argv[1] == "summary":
        sys.exit(summary(sys.argv[2]))
    else:
        sys.stderr.write(__doc__)
        sys.exit(2)
