"""What "make test" says at its end on a machine that lacks packages or the
sample folder (tools/skipped_tests.py): the groups of tests skipped for
each, and the one apt-get line of tools/packages.txt, which .ci/run
installs too."""

import os
import re
import subprocess
import sys
import unittest

from binsift_e2e import BINSIFT, TreeTest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
TOOL = os.path.join(ROOT, "tools", "skipped_tests.py")
PACKAGES = os.path.join(ROOT, "tools", "packages.txt")
UNIT_TESTS = os.path.join(os.path.dirname(BINSIFT), "binsift_tests")


def ctest_block(number, name, output):
    """One test's entry in ctest's LastTest.log."""
    return ("----------------------------------------------------------\n"
            "%d/9 Testing: %s\n%d/9 Test: %s\nOutput:\n"
            "----------------------------------------------------------\n%s\n"
            "<end of output>\n" % (number, name, number, name, output))


def package_names():
    names = []
    with open(PACKAGES) as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                names.append(line.split(":", 1)[0].strip())
    return names


class SkippedSummary(TreeTest):
    def summary(self, log):
        build = self.path("build")
        os.makedirs(os.path.join(build, "Testing", "Temporary"), exist_ok=True)
        with open(os.path.join(build, "Testing", "Temporary", "LastTest.log"), "w") as f:
            f.write(log)
        p = subprocess.run([sys.executable, TOOL, build], capture_output=True, text=True, timeout=60,
                           env=dict(os.environ, BINSIFT_SAMPLES=self.path("no-samples")))
        self.assertEqual((p.returncode, p.stderr), (0, ""))
        return p.stdout

    def without(self, *commands):
        """A PATH of every command of this one but `commands`."""
        farm = self.path("bin")
        os.makedirs(farm)
        for folder in os.environ.get("PATH", "").split(os.pathsep):
            if not os.path.isdir(folder):
                continue
            for name in os.listdir(folder):
                target = os.path.join(folder, name)
                if name in commands or os.path.exists(os.path.join(farm, name)):
                    continue
                if os.access(target, os.X_OK) and not os.path.isdir(target):
                    os.symlink(target, os.path.join(farm, name))
        return farm

    def test_a_machine_without_consumers_or_samples_names_what_it_skipped(self):
        farm = self.without("jq", "sqlite3", "mactime")
        env = {k: v for k, v in os.environ.items() if k != "CI"}  # CI never skips
        env.update(PATH=farm, BINSIFT_SAMPLES=self.path("no-samples"))
        e2e = subprocess.run([sys.executable, "-m", "unittest", "-v", "test_formats"],
                             cwd=os.path.dirname(os.path.abspath(__file__)), env=env,
                             capture_output=True, text=True, timeout=300)
        self.assertEqual(e2e.returncode, 0, e2e.stderr[-2000:])
        self.assertIn("skipped 'jq is not installed'", e2e.stderr)
        self.assertTrue(os.access(UNIT_TESTS, os.X_OK), UNIT_TESTS)
        unit = subprocess.run([UNIT_TESTS, "--gtest_filter=Info2Samples.*:OneByteShortSamples.*"],
                              env=env, capture_output=True, text=True, timeout=300)
        self.assertEqual(unit.returncode, 0, unit.stdout[-2000:])
        out = self.summary(ctest_block(1, "e2e.test_formats", e2e.stderr) +
                           ctest_block(2, "Info2Samples.EveryRecordOfEverySample", unit.stdout))
        lines = out.splitlines()
        self.assertIn("Tests skipped for what this machine lacks:", lines)
        samples = lines.index("  the sample folder %s:" % self.path("no-samples"))
        self.assertEqual(lines[samples + 1], "    e2e.test_formats: test_formats.Codepage, "
                                             "test_formats.SampleFormats")
        self.assertEqual(lines[samples + 2], "    unit tests: Info2Samples, OneByteShortSamples")
        jq = lines.index("  package jq (jq):")
        self.assertEqual(lines[jq + 1], "    e2e.test_formats: test_formats.DamagedAndForged")
        self.assertIn("  package sleuthkit (mactime):", lines)
        # The one line that brings every package, in the list's order.
        self.assertEqual(lines[-1], "  sudo apt-get install --no-install-recommends " +
                         " ".join(package_names()))

    def test_other_skips_are_no_lack(self):
        log = ctest_block(1, "e2e.test_image",
                          "test_image_is_refused_with_the_builds_message (test_image.BuildWithoutImages."
                          "test_image_is_refused_with_the_builds_message) ... skipped 'this build reads "
                          "images'\nok\n") + ctest_block(
            2, "e2e.test_memory", "test_every_limit (test_memory.AddressSpaceLimits.test_every_limit) "
                                  "... skipped 'the sanitizers reserve far more address space'\n")
        self.assertEqual(self.summary(log),
                         "\nNo test was skipped for a package or a folder this machine lacks.\n")

    def test_a_build_without_the_image_library(self):
        log = ctest_block(1, "ImageRun.CarvedFilesComeAfterEveryWalk",
                          "[ RUN      ] ImageRun.CarvedFilesComeAfterEveryWalk\n"
                          "src/image/image_source_test.cc:174: Skipped\nthis build reads no images\n"
                          "[  SKIPPED ] ImageRun.CarvedFilesComeAfterEveryWalk (0 ms)\n")
        out = self.summary(log)
        self.assertIn("  package libtsk-dev (the build found no libtsk and reads no images):\n"
                      "    unit tests: ImageRun\n", out)

    def test_ci_installs_the_same_list(self):
        with open(os.path.join(ROOT, ".ci", "run")) as f:
            ci = f.read()
        self.assertIn("tools/packages.txt", ci)
        self.assertTrue(re.search(r"apt-get install -y --no-install-recommends \$\(sed .*packages\.txt\)", ci))
        for name in ("sleuthkit", "jq", "sqlite3", "ntfs-3g", "libtsk-dev"):
            self.assertIn(name, package_names())


if __name__ == "__main__":
    unittest.main()
