"""Running out of memory: every limit on the address space ends the run with
a report, or with exit code 6 and a message, never with an abort."""

import os
import re
import resource
import subprocess
import unittest

from binsift_e2e import BINSIFT, TreeTest, index_v1, index_v2

# What a run that runs out of memory may end with on the error stream.
MESSAGES = (
    b"\nnot enough memory\n",
    b"\n553 ./binsift\nCouldn't create input buffer\n",
    b"\n572 ./binsift\nError obtaining memory\n",
    b"Couldn't create pg_complete_path buffer\n",
    b"\n517 ./binsift\nCouldn't create g_searchstr buffer\n",
    b"\nCan't get timezone information\n",
)
# The walk's buffers: "\nLine #: NUMBER,  memory error".
NUMBERED = re.compile(rb"\nLine #: \d+,  memory error\Z")


def limited(kilobytes):
    def apply():
        resource.setrlimit(resource.RLIMIT_AS, (kilobytes * 1024, kilobytes * 1024))
    return apply


@unittest.skipIf(os.environ.get("BINSIFT_SANITIZED"), "the sanitizers reserve far more address space")
class AddressSpaceLimits(TreeTest):
    def test_every_limit_ends_with_a_report_or_code_6(self):
        self.write("bin/$IA.txt", index_v2(10, 0, "C:\\a.txt"))
        self.write("bin/S-1-5-21/$IB", index_v1(20, 0, "C:\\b"))
        self.write("bin/S-1-5-21/$RB", b"b")
        args = [BINSIFT, "-p", self.path("bin"), "-f", "$I*.*", "-1", self.path("runs.log"), "-o", self.path("out.txt")]
        outcomes = set()
        for kilobytes in range(3000, 9000, 25):
            p = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, timeout=30,
                               preexec_fn=limited(kilobytes), env=dict(os.environ, LANG="C"))
            if (b"error while loading shared libraries" in p.stderr
                    or b"cannot allocate TLS data structures" in p.stderr):
                continue  # the dynamic loader gave up: the program never started
            with self.subTest(kilobytes=kilobytes):
                self.assertIn(p.returncode, (0, 1, 6), p.stderr[-300:])
                if p.returncode == 1:
                    self.assertTrue(p.stderr.endswith(b"\n572 ./binsift\nError obtaining memory\n"))
                if p.returncode == 6:
                    self.assertTrue(p.stderr.endswith(MESSAGES) or NUMBERED.search(p.stderr),
                                    p.stderr[-300:])
                    self.assertNotIn(b"Processed", p.stderr)
                if p.returncode == 0:
                    self.assertEqual(len(p.stdout.splitlines()), 3)
                outcomes.add(p.returncode)
        # The range reaches from runs that cannot start to runs that finish.
        self.assertIn(6, outcomes)
        self.assertIn(0, outcomes)


if __name__ == "__main__":
    unittest.main()
