"""The terminal is always given back: after a signal during the walk, after
Ctrl+C at the overwrite question, and a background job never touches it."""

import csv
import fcntl
import io
import os
import re
import resource
import select
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

from binsift_e2e import (BINSIFT, HEADER, TreeTest, expected_row, index_v1, read_stderr_until, run,
                         split_banner)
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


def run_with_terminal_stderr(args, columns=100, env=None):
    """Runs binsift with its error stream on a pseudo-terminal of `columns`
    columns (standard output a pipe); returns (code, stdout, what the
    terminal received, with its CR LF line ends back to LF)."""
    master, slave = os.openpty()
    try:
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 40, columns, 0, 0))
        attrs = termios.tcgetattr(slave)
        attrs[1] &= ~termios.ONLCR  # the bytes as written
        termios.tcsetattr(slave, termios.TCSANOW, attrs)
        # The report goes to a file: a pipe nobody reads would hold the run.
        report = tempfile.TemporaryFile()
        proc = subprocess.Popen([BINSIFT] + args, stdin=subprocess.DEVNULL, stdout=report,
                                stderr=slave, env=dict(os.environ, LANG="C", **(env or {})))
        os.close(slave)
        slave = None
        received = b""
        while True:
            ready, _, _ = select.select([master], [], [], 60)
            if not ready:
                proc.kill()
                break
            try:
                chunk = os.read(master, 65536)
            except OSError:  # the last writer closed it
                break
            if not chunk:
                break
            received += chunk
        proc.wait(timeout=60)
        report.seek(0)
        out = report.read()
        report.close()
        return proc.returncode, out, received
    finally:
        os.close(master)
        if slave is not None:
            os.close(slave)


def before_summary(test, rest, count):
    """What the error stream holds between the banner and the summary of
    `count` files (whatever the elapsed time)."""
    m = re.search(rb"\n\nProcessed %d file\(s\) \nElapsed time:   \d+ hrs\. \d+ mins\. \d+ secs\.\n\n\Z"
                  % count, rest)
    test.assertTrue(m, rest[-300:])
    return rest[:m.start()]


STATUS = re.compile(rb"\r(\d+) files?, (?:(\d+) files/s(?:, reading ([^\r]*?))?|carving ([^:]+): "
                    rb"(\d+)% of its metadata, [^\r]*?) *(?=\r)")


class StatusLine(TreeTest):
    """The UTF-8 formats draw one status line in place of the "Processing:"
    line of each file, when the error stream is a terminal."""

    def test_a_status_line_on_a_terminal(self):
        folder = big_bin(self, 3000)
        code, out, err = run_with_terminal_stderr(["-p", folder, "-f", "$I*.*", "--format=csv"])
        self.assertEqual(code, 0, err[-500:])
        self.assertEqual(out.count(b"\r\n"), 3001)
        rest = split_banner(self, err)
        self.assertNotIn(b"Processing:", rest)
        drawn = before_summary(self, rest, 3000)
        lines = STATUS.findall(rest)
        # First when the walk starts, last with the final count.
        self.assertEqual(lines[0][:2], (b"0", b"0"))
        self.assertEqual(lines[-1][0], b"3000")
        self.assertEqual(lines[-1][2], folder.encode() + b"/")
        counts = [int(line[0]) for line in lines]
        self.assertEqual(counts, sorted(counts))
        # Each drawn over the one before, none wider than the terminal, and
        # the last erased before the summary.
        self.assertNotIn(b"\n", drawn)
        widest = max(len(part) for part in drawn.split(b"\r"))
        self.assertLess(widest, 100)
        self.assertTrue(drawn.endswith(b"\r" + b" " * widest + b"\r"), drawn[-200:])

    def test_the_line_keeps_within_a_narrow_terminal(self):
        folder = big_bin(self, 50)
        code, out, err = run_with_terminal_stderr(["-p", folder, "--format=jsonl"], columns=40)
        self.assertEqual(code, 0)
        drawn = before_summary(self, split_banner(self, err), 50)
        self.assertTrue(drawn)
        self.assertLessEqual(max(len(part) for part in drawn.split(b"\r")), 39)
        self.assertIn(b"...", drawn)  # the folder's path, cut at its start

    def test_with_an_output_file_the_folder_lines_are_the_status_lines_part(self):
        folder = big_bin(self, 30)
        args = ["-p", self.tmp, "-f", "$I*.*", "--format=csv", "-o", self.path("out.csv")]
        code, out, err = run_with_terminal_stderr(args)
        self.assertEqual(code, 0)
        drawn = before_summary(self, split_banner(self, err), 30)
        self.assertNotIn(b"\n", drawn)  # no folder line to be drawn over
        self.assertIn(b"reading " + folder.encode() + b"/", drawn)
        # Where no status line is drawn, each folder has its line.
        code, out, err = run(args, env={"LANG": "C"})
        self.assertIn(b"\n" + folder.encode() + b"/", err)

    def test_the_seed_report_keeps_its_processing_lines(self):
        folder = big_bin(self, 20)
        code, out, err = run_with_terminal_stderr(["-p", folder, "-f", "$I*.*"])
        self.assertEqual(code, 0)
        # Byte for byte what the same run writes to a pipe.
        piped = run(["-p", folder, "-f", "$I*.*"], env={"LANG": "C"})
        self.assertEqual(err, piped[2])
        self.assertEqual(err.count(b"Processing: "), 20)

    def test_no_status_line_where_the_error_stream_is_no_terminal(self):
        folder = big_bin(self, 20)
        for fmt in ("csv", "tsv", "jsonl", "body"):
            code, out, err = run(["-p", folder, "-f", "$I*.*", "--format=" + fmt], env={"LANG": "C"})
            self.assertEqual(code, 0)
            self.assertEqual(before_summary(self, split_banner(self, err), 20), b"", fmt)

    def test_carving_shows_the_volume_and_the_share_of_its_metadata(self):
        import images
        from test_image import images_supported
        if not images_supported():
            self.skipTest("this build reads no images")
        try:
            image = images.build_ntfs_carve(self.path("carve.img"))
        except images.Unavailable as e:
            self.skipTest(str(e))
        before = (images.sha256(image), os.stat(image).st_mtime_ns)
        code, out, err = run_with_terminal_stderr(["--image=" + image, "-f", "$I*.*", "--carve",
                                                   "--format=csv"])
        self.assertEqual((images.sha256(image), os.stat(image).st_mtime_ns), before)
        self.assertEqual(code, 0, err[-500:])
        lines = STATUS.findall(split_banner(self, err))
        carving = [line for line in lines if line[3]]
        self.assertTrue(carving, lines)
        self.assertEqual(carving[0][3:], (b"p0", b"0"))
        # The files counted are the index files: a recycled folder's
        # contents are rows of their own.
        rows = list(csv.DictReader(io.StringIO(out.decode("utf-8"), newline="")))
        self.assertEqual(len([r for r in rows if r["format"] != "content"]), int(lines[-1][0]))


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
