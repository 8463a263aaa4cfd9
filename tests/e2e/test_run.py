"""Whole runs of binsift on temporary trees: the report, progress, the walk,
time restoring, and stopping with Esc or Ctrl+C."""

import os
import re
import select
import shutil
import signal
import subprocess
import termios
import time
import unittest

from binsift_e2e import (BINSIFT, GENBIN, HEADER, TreeTest, birth_filetime, expected_row, filetime,
                         index_v1, index_v2, run, split_banner, summary)

HELP_TEXT = (b"\n\nThis program: binsift is intended to take the $RECYCLE.BIN files\n"
             b"named: $Ixxxx.ext from Windows 7 and above and decode the content of same.\n\n"
             b"The content of the $Ixxxxx.ext files contains the\n"
             b"Original filename, original file size, and DATE of deletion of the file.\n\n"
             b"The output is a pipe (|) delimeted file which can easily be imported \n"
             b"into a spreadsheet. \n\n"
             b"command line syntax:\n"
             b"binsift   -p  path_to_the_files  -f  $I*.*  \n\n"
             b"Hopefully, the $Ixxxx.ext files are the only thing you point it to.\n\n"
             b"Since output is to the screen, it is suggested you redirect >> output\n")
STAMPS = re.compile(rb"\A[ \w.]{12} last updated:      \w{3} [ \d]\d \d{4} \d\d:\d\d:\d\d\n"
                    rb"[ \w.]{12} file last updated: \w{3} [ \d]\d \d{4} \d\d:\d\d:\d\d\n"
                    rb"[ \w.]{12} file last updated: \w{3} [ \d]\d \d{4} \d\d:\d\d:\d\d\n\n\Z")


def filetime_of(ns):
    return (ns // 100) + 11644473600 * 10000000


def progress(entries):
    """The progress bytes for files decoded in this order: (directory, name)."""
    out = b""
    previous = 0
    for directory, name in entries:
        line = b"Processing: " + (directory + name if len(directory) + len(name) < 80 else name) + b"\n"
        out += b"\b" * previous + b" " * previous + b"\b" * previous + line
        previous = len(line)
    return out


class Help(TreeTest):
    def test_no_arguments_shows_the_help_screen(self):
        code, out, err = run([])
        self.assertEqual((code, out), (5, b""))
        self.assertTrue(err.startswith(HELP_TEXT), err)
        self.assertRegex(err[len(HELP_TEXT):], STAMPS)


class Report(TreeTest):
    def test_the_demo_bin_row_for_row_with_its_progress(self):
        subprocess.run([GENBIN, "--demo", self.tmp], check=True)
        bin_dir = self.path("$RECYCLE.BIN")
        code, out, err = run(["-p", "$RECYCLE.BIN", "-f", "$I*.*"], cwd=self.tmp)
        self.assertEqual(code, 0, err)
        rows = []
        decoded = []
        for sid in os.listdir(bin_dir):
            folder = os.path.join(bin_dir, sid)
            for name in os.listdir(folder):
                if not name.startswith("$I"):
                    continue
                with open(os.path.join(folder, name), "rb") as f:
                    data = f.read()
                companion = os.path.join(folder, "$R" + name[2:])
                times = None
                if os.path.lexists(companion):
                    st = os.lstat(companion)
                    times = (filetime_of(st.st_mtime_ns), filetime_of(st.st_atime_ns),
                             birth_filetime(companion))
                rows.append(expected_row(name.encode(), data, times))
                decoded.append((b"$RECYCLE.BIN/" + sid.encode() + b"/", name.encode()))
        self.assertEqual(len(rows), 8)
        self.assertEqual(out, HEADER + b"".join(rows))
        self.assertEqual(split_banner(self, err), progress(decoded) + summary(8))

    def test_no_header_and_a_file_that_cannot_be_opened(self):
        self.write("bin/$IAAA", index_v2(5, filetime(2020, 1, 2, 3, 4, 5), "C:\\a"))
        os.mkfifo(self.path("bin", "$IFIFO"))
        os.symlink(self.path("bin", "gone"), self.path("bin", "$IDANGLING"))
        code, out, err = run(["-p", self.path("bin"), "-f", "$IAAA", "$IFIFO", "$IDANGLING", "-B"])
        self.assertEqual(code, 0, err)
        directory = self.path("bin").encode() + b"/"
        self.assertEqual(out, expected_row(b"$IAAA", index_v2(5, filetime(2020, 1, 2, 3, 4, 5), "C:\\a"))
                         + b"\nCan't open " + directory + b"$IFIFO for searching\n"
                         + b"\nCan't open " + directory + b"$IDANGLING for searching\n")
        self.assertEqual(split_banner(self, err), progress([(directory, b"$IAAA")]) + summary(3))


class Walk(TreeTest):
    def names_in(self, out):
        return [row.split(b"|")[0].strip() for row in out.splitlines()[1:]]

    def test_dotless_names_links_and_patterns(self):
        for name in ("$IAAA.txt", "$IBBB", "sub/$ICCC.doc"):
            self.write("bin/" + name, index_v1(1, 0, "C:\\x"))
        os.symlink(self.path("bin", "sub"), self.path("bin", "sub", "loop"))
        os.symlink(self.path("bin"), self.path("bin", "up"))
        code, out, err = run(["-p", self.path("bin"), "-f", "$I*.*"])
        self.assertEqual(code, 0, err)
        names = self.names_in(out)
        self.assertEqual(names[0], b"$ICCC.doc")
        self.assertEqual(sorted(names[1:]), [b"$IAAA.txt", b"$IBBB"])

        # Two patterns that match a file decode it twice, in pattern order.
        code, out, err = run(["-p", self.path("bin"), "-f", "$IBBB", "$I*.", "-r"])
        self.assertEqual(self.names_in(out), [b"$IBBB", b"$IBBB"])

    def test_a_pattern_that_starts_with_a_dash_ends_the_list(self):
        self.write("bin/$IAAA", index_v1(1, 0, "C:\\x"))
        self.write("bin/-stop", b"")
        bin_dir = self.path("bin")
        code, out, err = run([bin_dir + "/$I*", bin_dir + "/-stop"])
        self.assertEqual((code, self.names_in(out)), (0, [b"$IAAA"]))
        code, out, err = run([bin_dir + "/-stop", bin_dir + "/$I*"])
        self.assertEqual((code, out), (0, HEADER))
        self.assertTrue(split_banner(self, err).endswith(summary(0)))

    def test_paths_longer_than_the_old_buffers(self):
        deep = "/".join(["d%03d" % i + "x" * 40 for i in range(45)])  # about 2,000 characters
        data = index_v2(9, filetime(2022, 2, 2), "C:\\" + "y" * 3000 + ".longextension")
        self.write(deep + "/$ILONG.txt", data)
        code, out, err = run(["-p", self.path("d000" + "x" * 40), "-f", "$I*.*"])
        self.assertEqual(code, 0, err)
        self.assertEqual(out, HEADER + expected_row(b"$ILONG.txt", data))
        self.assertIn(b"Processing: $ILONG.txt\n", err)

    def test_bare_arguments_and_a_missing_directory(self):
        # A mistyped directory is named, the rest is still read, and the run
        # says it is incomplete.
        self.write("bin/$IAAA.txt", index_v2(1, 0, "C:\\x.txt"))
        code, out, err = run([self.path("bin", "$I*.txt"), self.path("missing") + "/"])
        self.assertEqual((code, self.names_in(out)), (10, [b"$IAAA.txt"]))
        self.assertIn(b"\nCan't read directory " + self.path("missing").encode() +
                      b"/: No such file or directory\n", err)
        self.assertTrue(err.endswith(summary(1)), err)

    def test_a_message_never_merges_into_the_next_row(self):
        self.write("bin/$IAAA", index_v2(5, filetime(2020, 1, 2, 3, 4, 5), "C:\\a"))
        os.mkfifo(self.path("bin", "$I000"))
        code, out, err = run(["-p", self.path("bin"), "-f", "$I000", "$IAAA", "-B"])
        self.assertEqual(code, 0, err)
        lines = out.split(b"\n")
        self.assertEqual(lines[0], b"")
        self.assertTrue(lines[1].startswith(b"Can't open ") and lines[1].endswith(b"for searching"))
        self.assertEqual(lines[2] + b"\n", expected_row(b"$IAAA", index_v2(5, filetime(2020, 1, 2, 3, 4, 5), "C:\\a")))


class ResetTimes(TreeTest):
    def test_dash_R_restores_access_and_write_times_exactly(self):
        path = self.write("bin/$IAAA", index_v2(1, 0, "C:\\x"))
        os.utime(path, ns=(978307200_123456789, 1262304000_987654321))
        code, out, err = run(["-p", self.path("bin"), "-R"])
        self.assertEqual(code, 0, err)
        st = os.stat(path)
        self.assertEqual((st.st_atime_ns, st.st_mtime_ns), (978307200_123456789, 1262304000_987654321))

    def test_the_environment_sets_the_default(self):
        path = self.write("bin/$IAAA", index_v2(1, 0, "C:\\x"))
        os.utime(path, ns=(978307200_000000001, 1262304000_000000002))
        run(["-p", self.path("bin")], env={"RESET": ""})
        self.assertEqual(os.stat(path).st_atime_ns, 978307200_000000001)


def big_bin(test, count):
    """A bin whose report is far larger than a pipe holds."""
    data = index_v2(1234, filetime(2021, 1, 1), "C:\\Users\\someone\\Documents\\" + "x" * 60 + ".txt")
    folder = test.path("bin")
    os.makedirs(folder)
    for i in range(count):
        with open(os.path.join(folder, "$I%06d.txt" % i), "wb") as f:
            f.write(data)
    return folder


class Interrupt(TreeTest):
    """The report pipe is left unread until it is full, so that the walk is
    known to be under way when the key or signal arrives."""

    def start(self, folder, stdin):
        env = dict(os.environ, LANG="C")
        return subprocess.Popen([BINSIFT, "-p", folder, "-f", "$I*.*"], stdin=stdin,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)

    def wait_until_blocked(self, proc):
        # The pipe holds 64 KiB; rows are about 150 bytes.
        deadline = time.time() + 20
        while time.time() < deadline:
            with open("/proc/%d/stat" % proc.pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if fields[0] == "S" and select.select([proc.stdout], [], [], 0)[0]:
                time.sleep(0.2)
                return
            time.sleep(0.05)
        self.fail("the walk never filled the pipe")

    def test_esc_stops_the_walk_and_the_terminal_mode_is_restored(self):
        folder = big_bin(self, 3000)
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        before = termios.tcgetattr(slave)
        proc = self.start(folder, slave)
        self.wait_until_blocked(proc)
        os.write(master, b"\x1b")
        out, err = proc.communicate(timeout=30)
        self.assertEqual(proc.returncode, 1)
        rows = out.splitlines(keepends=True)
        self.assertLess(len(rows) - 1, 3000)
        self.assertTrue(all(r.endswith(b"\n") for r in rows))
        self.assertNotIn(b"Processed", err)
        self.assertEqual(termios.tcgetattr(slave), before)

    def test_other_keys_are_read_and_ignored(self):
        folder = big_bin(self, 200)
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        os.write(master, b"q")
        proc = self.start(folder, slave)
        out, err = proc.communicate(timeout=30)
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(len(out.splitlines()), 201)

    def test_ctrl_c_ends_the_run_with_code_2_and_no_half_row(self):
        folder = big_bin(self, 3000)
        proc = self.start(folder, subprocess.DEVNULL)
        self.wait_until_blocked(proc)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
        self.assertEqual(proc.returncode, 2)
        self.assertTrue(out.endswith(b"\n"))
        for row in out.splitlines()[1:]:
            self.assertEqual(len(row), len(out.splitlines()[1]))
        self.assertNotIn(b"Processed", err)


@unittest.skipUnless(shutil.which("strace"), "strace is not installed")
@unittest.skipIf(os.environ.get("BINSIFT_SANITIZED"), "a sanitized build makes calls of its own")
class SystemCalls(TreeTest):
    def test_the_cost_per_file(self):
        folder = big_bin(self, 400)
        for i in range(0, 400, 2):
            with open(os.path.join(folder, "$R%06d.txt" % i), "wb"):
                pass
        log = self.path("strace.log")
        subprocess.run(["strace", "-f", "-qq", "-o", log, "-e", "trace=all", BINSIFT, "-p", folder, "-f", "$I*.*"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        calls = {}
        with open(log) as f:
            for line in f:
                m = re.match(r"\d+\s+(\w+)\(", line)
                if m:
                    calls[m.group(1)] = calls.get(m.group(1), 0) + 1
        index_files = 400
        writes = calls.get("write", 0)
        # One row and one progress line per file; a few lines at start and end.
        self.assertLessEqual(writes, 2 * index_files + 40)
        self.assertLessEqual(calls.get("statx", 0), index_files + 5)
        self.assertLessEqual(calls.get("openat", 0) + calls.get("open", 0), index_files + 30)
        self.assertLessEqual(calls.get("read", 0), index_files + 20)
        self.assertLessEqual(calls.get("close", 0), index_files + 30)
        for name in ("poll", "newfstatat", "fstat", "stat", "lstat", "ioctl", "brk", "mmap"):
            self.assertLess(calls.get(name, 0), 40, name)
        total = sum(calls.values())
        self.assertLessEqual(total / index_files, 6.5, calls)


if __name__ == "__main__":
    unittest.main()
