#!/usr/bin/env python3
"""Names the tests the last ctest run skipped for a package or a folder this
machine lacks, group by group, and prints the one apt-get line that brings
every package the tests use (tools/packages.txt, which .ci/run installs).

    tools/skipped_tests.py BUILD [--packages FILE]

It reads BUILD/Testing/Temporary/LastTest.log, where ctest keeps the whole
output of every test: the unit tests' "Skipped" notes and the end-to-end
tests' "skipped 'REASON'" lines.  Skips for other reasons (a sanitized
build, a build that reads images running the tests of one that does not)
are not a machine's lack and are not named.  Always exits 0: the summary
never changes how "make test" ends.
"""

import argparse
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

TEST_START = re.compile(r"^\d+/\d+ Testing: (\S+)$", re.M)
# unittest -v: "test_x (module.Class.test_x) ... skipped 'reason'".
PY_SKIP = re.compile(r"^(\w+) \(([\w.]+)\)(?: \.\.\.)?.*? skipped '(.*)'$", re.M)
# GoogleTest: "file:line: Skipped", the reason, then "[  SKIPPED ] Suite.Name (N ms)".
GTEST_SKIP = re.compile(r": Skipped\n((?:(?!\[  SKIPPED \]).*\n)*?)\[  SKIPPED \] (\w+)\.(\w+) \(", re.M)

# Reasons that name a folder of samples.
SAMPLE_REASONS = re.compile(r"sample files are not|no sample folder|sample folder .* is missing|"
                            r"no samples at|sample \S+ is missing")


def read_packages(path):
    """[(package, [what it brings])] in the file's order."""
    packages = []
    with open(path) as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            name, _, brings = line.partition(":")
            packages.append((name.strip(), brings.split()))
    return packages


def skips(log_text):
    """[(ctest name, group, reason)] of every skipped test."""
    found = []
    starts = list(TEST_START.finditer(log_text))
    for i, m in enumerate(starts):
        block = log_text[m.end():starts[i + 1].start() if i + 1 < len(starts) else len(log_text)]
        name = m.group(1)
        for s in PY_SKIP.finditer(block):
            group = s.group(2).rsplit(".", 1)[0]  # module.Class
            found.append((name, group, s.group(3)))
        for s in GTEST_SKIP.finditer(block):
            found.append(("unit tests", s.group(2), s.group(1).strip()))
    return found


def lack(reason, packages, samples):
    """What this machine lacks that the reason names: a package, a folder,
    or None for any other reason."""
    if SAMPLE_REASONS.search(reason):
        return "the sample folder " + samples
    if "this build reads no images" in reason:
        return "package libtsk-dev (the build found no libtsk and reads no images)"
    for m in re.finditer(r"(\S+) is not installed|no (lib\w+) here", reason):
        wanted = m.group(1) or m.group(2)
        for package, brings in packages:
            if wanted in brings or wanted == package:
                return "package %s (%s)" % (package, wanted)
        return "the command " + wanted
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build")
    parser.add_argument("--packages", default=os.path.join(HERE, "packages.txt"))
    a = parser.parse_args()

    log = os.path.join(a.build, "Testing", "Temporary", "LastTest.log")
    try:
        with open(log, errors="replace") as f:
            text = f.read()
    except OSError as e:
        print("No test log to read skipped tests from (%s)." % e)
        return 0
    packages = read_packages(a.packages)
    samples = os.path.normpath(os.environ.get(
        "BINSIFT_SAMPLES", os.path.join(HERE, "..", "..", "shared", "samples")))

    lacking = {}
    for test, group, reason in skips(text):
        what = lack(reason, packages, samples)
        if what is None:
            continue
        lacking.setdefault(what, {}).setdefault(test, set()).add(group)
    print()
    if not lacking:
        print("No test was skipped for a package or a folder this machine lacks.")
        return 0
    print("Tests skipped for what this machine lacks:")
    for what in sorted(lacking):
        print("  %s:" % what)
        for test in sorted(lacking[what]):
            print("    %s: %s" % (test, ", ".join(sorted(lacking[what][test]))))
    print("Every package the tests use (tools/packages.txt):")
    print("  sudo apt-get install --no-install-recommends " + " ".join(p for p, _ in packages))
    return 0


if __name__ == "__main__":
    sys.exit(main())
