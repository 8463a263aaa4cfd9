"""Runs started with a standard stream closed: no file of the run takes its
place, and a closed standard output ends the run before it reads anything."""

import os
import re
import subprocess
import time
import unittest

from binsift_e2e import BINSIFT, HEADER, TreeTest, expected_row, index_v1
import test_run
from test_run import big_bin
from test_runlog import STARS40, closing_block, start_record, started_block

DATA = index_v1(3, 0, "C:\\x.doc")


def run_closed(args, closing, **kwargs):
    """Runs binsift through the shell with one stream closed (">&-",
    "2>&-" or "<&-")."""
    env = dict(os.environ, LANG="C")
    for name in ("RESET", "NORESET", "ACCT", "ACCTING"):
        env.pop(name, None)
    return subprocess.Popen(["sh", "-c", 'exec "$0" "$@" ' + closing, BINSIFT] + args, env=env, **kwargs)


class ClosedStreams(TreeTest):
    def setUp(self):
        super().setUp()
        self.write("d/$IA", DATA)
        self.log = self.path("runs.log")

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def test_closed_standard_output_ends_the_run_before_anything_is_read(self):
        kept = self.write("report.txt", b"an earlier report\n")
        args = ["-p", self.path("d"), "-1", self.log, "-o", kept]
        proc = run_closed(args, ">&-", stdin=subprocess.DEVNULL, stderr=subprocess.PIPE)
        err = proc.communicate(timeout=30)[1]
        self.assertEqual(proc.returncode, 8)
        self.assertEqual(err, b"Can't write the report: standard output is closed\n")
        self.assertFalse(os.path.exists(self.log))
        self.assertEqual(self.read(kept), b"an earlier report\n")

    def test_closed_error_stream_keeps_the_banner_out_of_the_run_log(self):
        args = ["-p", self.path("d"), "-1", self.log]
        proc = run_closed(args, "2>&-", stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        out = proc.communicate(timeout=30)[0]
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(out, HEADER + expected_row(b"$IA", DATA))
        echo = b"".join(b" " + a.encode() for a in [BINSIFT] + args)
        command = b"".join(a.encode() + b" " for a in [BINSIFT] + args)
        self.assertRegex(self.read(self.log), b"\\A" + STARS40 + started_block(echo) + start_record(command) +
                         closing_block(1) + b"\\Z")

    def test_closed_standard_input_is_the_null_device(self):
        folder = big_bin(self, 3000)
        args = ["-p", folder, "-f", "$I*.*", "-1", self.log]
        proc = run_closed(args, "<&-", stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            test_run.Interrupt.wait_until_blocked(self, proc)
            self.assertEqual(os.readlink("/proc/%d/fd/0" % proc.pid), "/dev/null")
        finally:
            out, err = proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 0, err[-300:])
        self.assertEqual(len(out.splitlines()), 3001)
        self.assertTrue(self.read(self.log).endswith(b"*" * 53 + b"\n"))

    def test_help_needs_no_standard_output(self):
        proc = run_closed([], ">&-", stdin=subprocess.DEVNULL, stderr=subprocess.PIPE)
        err = proc.communicate(timeout=30)[1]
        self.assertEqual(proc.returncode, 5)
        self.assertTrue(err.startswith(b"\n\nThis program: binsift"), err)


if __name__ == "__main__":
    unittest.main()
