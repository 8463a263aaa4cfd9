"""The terminal is always given back: after a signal during the walk, after
Ctrl+C at the overwrite question, and a background job never touches it."""

import fcntl
import os
import resource
import signal
import subprocess
import sys
import termios
import time
import unittest

from binsift_e2e import BINSIFT, HEADER, TreeTest, expected_row, index_v1, read_stderr_until
import test_run
from test_run import big_bin

DATA = index_v1(5, 0, "C:\\t.txt")


def no_core_dump():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def own_terminal():
    """In the child: a session of its own whose controlling terminal is the
    pseudo-terminal on standard input, so that typed Ctrl+C is a signal."""
    os.setsid()
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


class TerminalTest(TreeTest):
    def setUp(self):
        super().setUp()
        self.master, self.slave = os.openpty()
        self.addCleanup(os.close, self.master)
        self.addCleanup(os.close, self.slave)
        self.before = termios.tcgetattr(self.slave)

    def start(self, args, **kwargs):
        env = dict(os.environ, LANG="C")
        return subprocess.Popen([BINSIFT] + args, stdin=self.slave, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=env, cwd=self.tmp, **kwargs)


class Signals(TerminalTest):
    def test_termination_signals_during_the_walk(self):
        folder = big_bin(self, 3000)
        for number in (signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGPIPE):
            with self.subTest(signal=number.name):
                proc = self.start(["-p", folder, "-f", "$I*.*"], preexec_fn=no_core_dump)
                test_run.Interrupt.wait_until_blocked(self, proc)
                # The walk watches for Esc: the terminal is in its key mode.
                self.assertNotEqual(termios.tcgetattr(self.slave)[3], self.before[3])
                proc.send_signal(number)
                out, err = proc.communicate(timeout=30)
                self.assertEqual(proc.returncode, -number)
                self.assertEqual(termios.tcgetattr(self.slave), self.before)


class OverwriteQuestion(TerminalTest):
    QUESTION = b"Enter a Y, Q, or A"

    def test_ctrl_c_at_the_question(self):
        self.write("d/$IA", DATA)
        existing = self.write("existing.txt", b"kept\n")
        proc = self.start(["-p", self.path("d"), "-o", "-"], preexec_fn=own_terminal)
        read_stderr_until(self, proc, b"File name")
        os.write(self.master, existing.encode() + b"\n")
        read_stderr_until(self, proc, self.QUESTION)
        time.sleep(0.2)  # the key read has begun
        self.assertFalse(termios.tcgetattr(self.slave)[3] & termios.ECHO)
        os.write(self.master, b"\x03")
        out = proc.communicate(timeout=30)[0]
        self.assertEqual((proc.returncode, out), (2, b""))
        self.assertEqual(termios.tcgetattr(self.slave), self.before)
        with open(existing, "rb") as f:
            self.assertEqual(f.read(), b"kept\n")

    def test_a_signal_at_the_question(self):
        self.write("d/$IA", DATA)
        existing = self.write("existing.txt", b"kept\n")
        proc = self.start(["-p", self.path("d"), "-o", "-"])
        read_stderr_until(self, proc, b"File name")
        os.write(self.master, existing.encode() + b"\n")
        read_stderr_until(self, proc, self.QUESTION)
        time.sleep(0.2)
        proc.send_signal(signal.SIGTERM)
        proc.communicate(timeout=30)
        self.assertEqual(proc.returncode, -signal.SIGTERM)
        self.assertEqual(termios.tcgetattr(self.slave), self.before)


# Runs its arguments as a background job of a session whose controlling
# terminal is standard input, and says how the job ended.
BACKGROUND_JOB = r"""
import fcntl, os, subprocess, sys, termios, time
os.setsid()
fcntl.ioctl(0, termios.TIOCSCTTY, 0)
with open(sys.argv[1], "wb") as out:
    job = subprocess.Popen(sys.argv[2:], stdout=out, stderr=subprocess.DEVNULL,
                           preexec_fn=os.setpgrp)
deadline = time.time() + 30
while True:
    pid, status = os.waitpid(job.pid, os.WUNTRACED | os.WNOHANG)
    if pid:
        break
    if time.time() > deadline:
        job.kill()
        print("hung")
        sys.exit(0)
    time.sleep(0.02)
if os.WIFSTOPPED(status):
    print("stopped by signal %d" % os.WSTOPSIG(status))
    job.kill()
else:
    print("exit %d" % os.waitstatus_to_exitcode(status))
"""


class BackgroundJob(TerminalTest):
    def test_a_background_job_runs_to_its_end(self):
        self.write("d/$IA", DATA)
        report = self.path("report.txt")
        p = subprocess.run([sys.executable, "-c", BACKGROUND_JOB, report, BINSIFT, "-p", self.path("d")],
                           stdin=self.slave, capture_output=True, timeout=60)
        self.assertEqual(p.stdout, b"exit 0\n", p.stderr)
        with open(report, "rb") as f:
            self.assertEqual(f.read(), HEADER + expected_row(b"$IA", DATA))
        self.assertEqual(termios.tcgetattr(self.slave), self.before)


if __name__ == "__main__":
    unittest.main()
