"""The output file (-o, -O): one writer per file, and nothing that can
block the run or make it its own reader."""

import os
import select
import stat
import subprocess
import unittest

from binsift_e2e import BINSIFT, HEADER, TreeTest, expected_row, index_v1, run
import test_run
from test_run import big_bin

DATA = index_v1(7, 0, "C:\\a.txt")


class OutputFile(TreeTest):
    def setUp(self):
        super().setUp()
        self.write("d/$IA", DATA)

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def refused(self, err, path, message=b"error opening output file "):
        # The first attempt names the file; with no one to pick another at
        # the prompt, the run ends with status 1.
        self.assertIn(b"\n" + message + path.encode() + b"\nhit return to choose new output file", err)

    def test_the_accounting_file_cannot_be_the_output_file(self):
        log = self.write("runs.log", b"an earlier record of another run\n")
        code, out, err = run(["-p", self.path("d"), "-1", log, "-o", log], timeout=30)
        self.assertEqual((code, out), (1, b""), err)
        self.refused(err, log)
        kept = self.read(log)
        self.assertTrue(kept.startswith(b"an earlier record of another run\n" + b"\n" + b"*" * 40 + b"\n"
                                        b"\n\n  Started: "), kept)

    def test_the_memo_file_cannot_be_the_output_file(self):
        memo = self.write("memo.txt", b"notes kept here\n")
        code, out, err = run(["-p", self.path("d"), "--memo=" + memo, "-o", memo], timeout=30)
        self.assertEqual(code, 1, err[-300:])
        self.refused(err, memo)
        self.assertEqual(self.read(memo), b"notes kept here\n")

    def test_two_runs_cannot_share_an_output_file(self):
        folder = big_bin(self, 3000)
        shared = self.path("report.txt")
        first = subprocess.Popen([BINSIFT, "-p", folder, "-f", "$I*.*", "-o", shared],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            test_run.Interrupt.wait_until_blocked(self, first)
            for option, message in (("-o", b"error opening output file "),
                                    ("-O", b"error opening/creating output file ")):
                with self.subTest(option=option):
                    code, out, err = run(["-p", self.path("d"), option, shared], timeout=30)
                    self.assertEqual((code, out), (1, b""), err)
                    self.refused(err, shared, message)
        finally:
            out, err = first.communicate(timeout=60)
        self.assertEqual(first.returncode, 0, err[-300:])
        self.assertEqual(len(out.splitlines()), 3001)
        self.assertEqual(self.read(shared), out)

    def test_what_cannot_receive_the_report(self):
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        os.mkdir(self.path("dir"))
        device = self.path("zero")
        try:
            os.mknod(device, 0o666 | stat.S_IFCHR, os.makedev(1, 5))
        except PermissionError:
            device = "/dev/zero"
        for target in (fifo, self.path("dir"), device):
            for option in ("-o", "-O"):
                with self.subTest(target=target, option=option):
                    code, out, err = run(["-p", self.path("d"), option, target], timeout=20)
                    self.assertEqual((code, out), (1, b""), err)
                    self.assertIn(b"output file " + target.encode() + b"\nhit return", err)
        self.assertEqual(stat.S_IFMT(os.stat(fifo).st_mode), stat.S_IFIFO)

    def test_the_null_device_and_a_fifo_with_a_reader_take_the_report(self):
        code, out, err = run(["-p", self.path("d"), "-o", "/dev/null"])
        self.assertEqual((code, out), (0, HEADER + expected_row(b"$IA", DATA)), err)
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, reader)
        code, out, err = run(["-p", self.path("d"), "-o", fifo], timeout=20)
        self.assertEqual(code, 0, err)
        self.assertEqual(os.read(reader, 65536), out)

    def test_a_fifo_whose_reader_quits_ends_the_run_with_code_8(self):
        folder = big_bin(self, 3000)
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        proc = subprocess.Popen([BINSIFT, "-p", folder, "-f", "$I*.*", "-o", fifo], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            # Once the report has started to arrive, the reader goes away.
            ready, _, _ = select.select([reader], [], [], 20)
            self.assertTrue(ready)
            self.assertTrue(os.read(reader, 4096).startswith(HEADER))
        finally:
            os.close(reader)
        try:
            err = proc.communicate(timeout=30)[1]
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.communicate()
            self.fail("the run hung on its own output file")
        self.assertEqual(proc.returncode, 8, err[-300:])
        self.assertTrue(err.endswith(b"\nCan't write the report to the output file " + fifo.encode() +
                                     b": Broken pipe\n"), err[-300:])
        self.assertNotIn(b"Processed", err)


class Messages(TreeTest):
    """A name in a message cannot drive the terminal."""

    def setUp(self):
        super().setUp()
        self.write("d/$IA", DATA)

    def test_an_output_file_that_cannot_be_opened(self):
        name = os.path.join(os.fsencode(self.path("missing")), b"\x1b]0;owned\x07caf\xc3\xa9\xe9.txt")
        for locale, shown in (("C", b"?]0;owned?caf\xc3\xa9\xe9.txt"), ("C.UTF-8", b"?]0;owned?caf\xc3\xa9?.txt")):
            for option, message in (("-o", b"error opening output file "),
                                    ("-O", b"error opening/creating output file ")):
                with self.subTest(locale=locale, option=option):
                    code, out, err = run(["-p", self.path("d"), option, name], env={"LC_ALL": locale})
                    self.assertEqual((code, out), (1, b""), err)
                    shown_name = os.fsencode(self.path("missing")) + b"/" + shown
                    self.assertIn(b"\n" + message + shown_name + b"\nhit return to choose new output file", err)
                    self.assertNotIn(b"\x1b", err)
                    self.assertNotIn(b"\x07", err)

    def test_a_report_that_cannot_be_written_names_the_file(self):
        folder = big_bin(self, 3000)
        fifo = os.path.join(os.fsencode(self.tmp), b"fi\x1b[2Jfo")
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        proc = subprocess.Popen([BINSIFT, "-p", folder, "-f", "$I*.*", "-o", fifo], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                env=dict(os.environ, LC_ALL="C"))
        try:
            ready, _, _ = select.select([reader], [], [], 20)
            self.assertTrue(ready)
        finally:
            os.close(reader)
        err = proc.communicate(timeout=60)[1]
        self.assertEqual(proc.returncode, 8, err[-300:])
        self.assertTrue(err.endswith(b"\nCan't write the report to the output file " +
                                     os.fsencode(self.tmp) + b"/fi?[2Jfo: Broken pipe\n"), err[-300:])


if __name__ == "__main__":
    unittest.main()
