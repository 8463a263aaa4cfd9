"""The accounting file (run log), its naming sources, and the INI file."""

import os
import re
import shutil
import subprocess
import time
import unittest

from binsift_e2e import BINSIFT, HEADER, TreeTest, index_v1, run, split_banner, summary
from test_run import Interrupt, big_bin

STARS40 = rb"\n\*{40}\n"
TIME24 = rb"\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}"


def started_block(echo):
    return rb"\n\n  Started: " + TIME24 + rb"\n" + re.escape(echo) + rb"\n"


def start_record(command):
    return rb"\n Started " + TIME24 + rb" GMT, \d\d:\d\d \S+ \(\S+/\S*:-?\d+\)\n Command line: " + \
        re.escape(command) + rb"\n"


def closing_block(count):
    return (rb"\n Processed %d files:  0 Hits\n\n Finished: " % count + TIME24 +
            rb"\n Elapsed:  0 hrs\. 0 mins\. \d+ secs\.\n\*{53}\n")


def echo_of(args):
    return b"".join(b" " + (b'"|"' if a == "|" else a.encode()) for a in [BINSIFT] + args)


def command_of(args):
    return b"".join(a.encode() + b" " for a in [BINSIFT] + args)


class Record(TreeTest):
    def setUp(self):
        super().setUp()
        self.write("d/$IA", index_v1(1, 0, "C:\\a"))
        self.write("d/$IB", index_v1(2, 0, "C:\\b"))
        self.log = self.path("runs.log")

    def read_log(self, path=None):
        with open(path or self.log, "rb") as f:
            return f.read()

    def test_a_normal_run_leaves_the_whole_record(self):
        args = ["-p", self.path("d"), "-1", self.log, "|", "x"]
        code, out, err = run(args)
        self.assertEqual(code, 0, err)
        self.assertRegex(self.read_log(), b"\\A" + STARS40 + started_block(echo_of(args)) +
                         start_record(command_of(args)) + closing_block(2) + b"\\Z")
        # A second run appends its record after the first.
        run(args)
        self.assertEqual(len(re.findall(rb"\*{53}\n", self.read_log())), 2)

    def test_no_start_record_without_the_header(self):
        args = ["-B", "-p", self.path("d"), "-1" + self.log]
        self.assertEqual(run(args)[0], 0)
        self.assertRegex(self.read_log(), b"\\A" + STARS40 + started_block(echo_of(args)) +
                         closing_block(2) + b"\\Z")

    def test_a_later_option_replaces_the_file(self):
        first, second = self.path("first.txt"), self.path("second.txt")
        args = ["-p", self.path("d"), "-1", first, "-1", second]
        self.assertEqual(run(args)[0], 0)
        self.assertEqual(self.read_log(first),
                         b"\n" + b"*" * 40 + b"\nThis file closed.\n"
                         b"Accounting file overridden by option -1 file pointing to " +
                         second.encode() + b"\n")
        self.assertRegex(self.read_log(second), b"\\A" + STARS40 + started_block(echo_of(args)))
        # +1 closes it: nothing more is written.
        args = ["-p", self.path("d"), "-1", self.log, "+1"]
        self.assertEqual(run(args)[0], 0)
        self.assertEqual(self.read_log(), b"\n" + b"*" * 40 + b"\n")

    def test_the_environment_names_the_file(self):
        code, out, err = run(["-p", self.path("d")], cwd=self.tmp, env={"ACCT": "On"})
        self.assertEqual(code, 0, err)
        self.assertRegex(self.read_log(self.path("acct-ing")), closing_block(2) + b"\\Z")
        code, out, err = run(["-p", self.path("d")], env={"ACCTING": self.log})
        self.assertRegex(self.read_log(), closing_block(2) + b"\\Z")
        # ACCT wins over ACCTING.
        other = self.path("other.log")
        run(["-p", self.path("d")], env={"ACCTING": self.log, "ACCT": other})
        self.assertTrue(os.path.exists(other))
        self.assertEqual(len(re.findall(rb"\*{53}\n", self.read_log())), 1)

    def test_missing_directories_are_created(self):
        log = self.path("logs", "2024", "runs.txt")
        start = time.time()
        code, out, err = run(["-p", self.path("d"), "-1", log])
        self.assertGreaterEqual(time.time() - start, 1.0)
        self.assertEqual(code, 0, err)
        self.assertEqual(out[:out.index(HEADER)],
                         b"Creating (log\\error) directory:  " + self.path("logs").encode() + b"\n"
                         b"Creating (log) directory:  " + self.path("logs", "2024").encode() + b"\n")
        self.assertRegex(self.read_log(log), closing_block(2) + b"\\Z")

    def test_directory_notes_keep_off_a_report_that_programs_read(self):
        # However the accounting file is named, and wherever --format comes,
        # the notes go to the error stream, ahead of the banner; standard
        # output holds the report alone, as a run without a log writes it.
        for fmt, args, env, where in (
                ("csv", ["-1", self.path("opt", "a", "r.log")], None, "opt"),
                ("tsv", ["--acc=" + self.path("acc", "a", "r.log")], None, "acc"),
                ("jsonl", [], {"ACCT": self.path("env", "a", "r.log")}, "env"),
                ("body", [], None, "ini")):
            with self.subTest(fmt=fmt, where=where):
                if where == "ini":
                    self.write("binsift.ini", b"ACCTING=" + self.path("ini", "a", "r.log").encode() + b"\n")
                plain = run(["-p", self.path("d"), "-.ini", "--format=" + fmt])
                self.assertEqual(plain[0], 0, plain[2])
                code, out, err = run(args + ["-p", self.path("d"), "--format=" + fmt],
                                     cwd=self.tmp, env=env)
                self.assertEqual((code, out), (0, plain[1]), err)
                notes = (b"Creating (log\\error) directory:  " + self.path(where).encode() + b"\n"
                         b"Creating (log) directory:  " + self.path(where, "a").encode() + b"\n")
                self.assertEqual(err, notes + plain[2])
                self.assertRegex(self.read_log(self.path(where, "a", "r.log")), closing_block(2) + b"\\Z")

    def test_a_directory_part_that_is_a_file(self):
        self.write("plain", b"x")
        log = self.path("plain", "runs.txt")
        code, out, err = run(["-p", self.path("d"), "-1", log])
        self.assertEqual(code, 1)
        self.assertEqual(out, b"Creating (log) directory:  " + self.path("plain").encode() + b"\n")
        self.assertRegex(err, rb"\A\n.*run_log\.cc\n\d+\nerror opening " + re.escape(log.encode()) + rb"\n\Z")

    def test_the_end_of_an_existing_file_is_cleaned(self):
        cases = (
            (b"old record\n\x1a", b"old record\n"),
            (b"old record\n\x1a\x00\x1a\x00", b"old record\n"),
            (b"tiny\x1a", b"tiny\x1a"),  # under 10 bytes: left alone
            (b"first\x00second record\n", b"first\x00second record\n"),  # nothing lost
        )
        for before, kept in cases:
            with self.subTest(before=before):
                with open(self.log, "wb") as f:
                    f.write(before)
                self.assertEqual(run(["-p", self.path("d"), "-1", self.log])[0], 0)
                text = self.read_log()
                self.assertTrue(text.startswith(kept + b"\n" + b"*" * 40 + b"\n"), text)
                os.remove(self.log)

    def test_an_interrupted_run_leaves_its_started_block(self):
        folder = big_bin(self, 3000)
        args = ["-p", folder, "-f", "$I*.*", "-1", self.log]
        proc = subprocess.Popen([BINSIFT] + args, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        Interrupt.wait_until_blocked(self, proc)
        # A second run meets the first one's lock.
        code, out, err = run(["-p", self.path("d"), "-1", self.log])
        self.assertEqual((code, out), (1, b""))
        self.assertRegex(err, rb"\A\n.*\n\d+\nerror opening " + re.escape(self.log.encode()) + rb"\n\Z")
        proc.send_signal(2)
        proc.communicate(timeout=30)
        self.assertEqual(proc.returncode, 2)
        self.assertRegex(self.read_log(), b"\\A" + STARS40 + started_block(echo_of(args)) +
                         start_record(command_of(args)) + b"\\Z")


class IniFile(TreeTest):
    def test_settings_from_the_ini_file(self):
        self.write("Evidence/Bin/$IA", index_v1(1, 0, "C:\\a"))
        self.write("Evidence/Bin/sub/$IB", index_v1(1, 0, "C:\\b"))
        self.write("binsift.ini", b"[ignored]\nPath=Evidence/Bin\nOutput=Report.Out\nQUIET=ON\n"
                                  b"recurse=off\n")
        code, out, err = run(["-B"], cwd=self.tmp)
        self.assertEqual(code, 0, err)
        self.assertEqual(out.split(b"|")[0].strip(), b"$IA")
        self.assertEqual(len(out.splitlines()), 1)
        with open(self.path("Report.Out"), "rb") as f:
            self.assertEqual(f.read(), out)
        # The command line cannot bring the header back; -.ini skips the file.
        code, out, err = run(["-p", "Evidence/Bin"], cwd=self.tmp)
        self.assertFalse(out.startswith(HEADER))
        code, out, err = run(["-p", "Evidence/Bin", "-.ini"], cwd=self.tmp)
        self.assertTrue(out.startswith(HEADER))
        self.assertEqual(len(out.splitlines()), 3)

    def test_the_shared_file_and_its_section(self):
        self.write("d/$IA.tmp", b"")
        self.write("d/$IB.doc", b"")
        self.write("QUILLORY.INI", b"EXCLUDE=*.doc\n[other]\nEXCLUDE=*.tmp\n[binsift]\n"
                                   b"exclude=*.TMP\n[next]\nFILE=nothing\n")
        code, out, err = run(["-p", self.path("d")], cwd=self.tmp)
        self.assertEqual([r.split(b"|")[0].strip() for r in out.splitlines()[1:]], [b"$IB.doc"])

    def test_an_ini_file_that_cannot_be_opened(self):
        os.makedirs(self.path("binsift.ini"))
        os.makedirs(self.path("d"))
        code, out, err = run(["-p", self.path("d")], cwd=self.tmp, stdin=subprocess.PIPE)
        self.assertEqual(code, 0, err)
        self.assertEqual(out, b"\nCouldn't open .ini file\n" + HEADER)

    def test_in_the_utf8_formats_its_note_goes_to_the_error_stream(self):
        os.makedirs(self.path("binsift.ini"))
        self.write("d/$IA", index_v1(1, 0, "C:\\a"))
        for fmt in ("csv", "jsonl"):
            code, out, err = run(["-p", self.path("d"), "--format=" + fmt], cwd=self.tmp)
            self.assertEqual(code, 0, err)
            self.assertNotIn(b"Couldn't", out)
            self.assertTrue(out.endswith(b"\n") and out.count(b"\n") == (2 if fmt == "csv" else 1), out)
            self.assertTrue(err.startswith(b"\nCouldn't open .ini file\n"), err[:100])

    def test_the_ini_file_names_the_accounting_file(self):
        os.makedirs(self.path("d"))
        self.write("binsift.ini", b"Acct=" + self.path("from-ini.log").encode() + b"\n")
        code, out, err = run(["-p", self.path("d")], cwd=self.tmp, env={"ACCTING": self.path("env.log")})
        self.assertEqual(code, 0, err)
        with open(self.path("env.log"), "rb") as f:
            self.assertEqual(f.read(), b"\n" + b"*" * 40 + b"\nThis file closed.\n"
                             b"Accounting file overridden by .ini file pointing to " +
                             self.path("from-ini.log").encode() + b"\n")
        with open(self.path("from-ini.log"), "rb") as f:
            self.assertRegex(f.read(), closing_block(0) + b"\\Z")

    def test_ini_files_that_are_not_regular_files(self):
        # Neither can hold up the start: each is a file that cannot be opened.
        os.makedirs(self.path("d"))
        os.mkfifo(self.path("binsift.ini"))
        code, out, err = run(["-p", self.path("d")], cwd=self.tmp, timeout=20)
        self.assertEqual((code, out), (0, b"\nCouldn't open .ini file\n" + HEADER), err)
        os.remove(self.path("binsift.ini"))
        os.symlink("/dev/zero", self.path("binsift.ini"))
        code, out, err = run(["-p", self.path("d")], cwd=self.tmp, timeout=20)
        self.assertEqual((code, out), (0, b"\nCouldn't open .ini file\n" + HEADER), err)

    def test_a_help_file_that_is_not_a_regular_file(self):
        program = self.path("binsift")
        shutil.copy(BINSIFT, program)
        os.mkfifo(self.path("binsift.hlp"))
        p = subprocess.run([program, "-k"], stdin=subprocess.DEVNULL, capture_output=True, timeout=20)
        self.assertEqual((p.returncode, p.stdout), (5, b"Wait for help to appear\n"))
        self.assertTrue(p.stderr.startswith(b"\n\nThis program: binsift"), p.stderr)

    def test_a_line_that_holds_several_keys(self):
        # After the delimiter key the line is compared with every key that
        # follows in order: TYPE (no effect) handles it, so RECURSE=OFF later
        # in the same line is not applied.
        self.write("d/sub/$IA", index_v1(1, 0, "C:\\a"))
        self.write("binsift.ini", b"DELIMITER=,TYPE,RECURSE=OFF\n")
        code, out, err = run(["-p", self.path("d")], cwd=self.tmp)
        self.assertEqual(code, 0, err)
        self.assertEqual([r.split(b"|")[0].strip() for r in out.splitlines()[1:]], [b"$IA"])
        # Without the earlier key the line is a RECURSE line.
        self.write("binsift.ini", b"DELIMITER=,RECURSE=OFF\n")
        code, out, err = run(["-p", self.path("d")], cwd=self.tmp)
        self.assertEqual(out, HEADER)


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("mount") and shutil.which("umount"),
                     "mounting a small file system needs root and mount")
class FullDisk(TreeTest):
    """An accounting file on a file system with no room left."""

    def setUp(self):
        super().setUp()
        self.mnt = self.path("full")
        os.mkdir(self.mnt)
        p = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", self.mnt], capture_output=True)
        if p.returncode != 0:
            self.skipTest("cannot mount a tmpfs here: " + p.stderr.decode(errors="replace"))
        self.addCleanup(subprocess.run, ["umount", "-l", self.mnt])
        filler = os.open(os.path.join(self.mnt, "filler"), os.O_WRONLY | os.O_CREAT, 0o644)
        try:
            while os.write(filler, b"\0" * 4096) > 0:
                pass
        except OSError:
            pass
        finally:
            os.close(filler)
        self.write("d/$IA", index_v1(1, 0, "C:\\a"))
        self.write("d/$IB", index_v1(2, 0, "C:\\b"))

    def test_a_run_log_that_cannot_be_written(self):
        log = os.path.join(self.mnt, "runs.log")
        for extra in ([], ["-B"]):
            with self.subTest(extra=extra):
                code, out, err = run(["-p", self.path("d"), "-1", log] + extra)
                self.assertEqual(code, 8, err[-300:])
                # The report is whole and the run finished.
                self.assertEqual(len(out.splitlines()), 3 - len(extra))
                self.assertTrue(err.endswith(summary(2)), err[-300:])
                message = b"\nCan't write the accounting file " + log.encode() + b": No space left on device\n"
                self.assertEqual(err.count(message), 1, err[:400])
                self.assertEqual(err.count(b"Can't write"), 1)
                os.remove(log)


if __name__ == "__main__":
    unittest.main()
