"""Trees nobody designed: every one gives sound rows or a clear message, the
run goes on, ends with code 0, and nothing hangs."""

import os
import shutil
import socket
import stat
import subprocess
import unittest

from binsift_e2e import (BINSIFT, HEADER, NO_COMPANION, TreeTest, expected_row, filetime, index_v2,
                         run, split_banner, summary)
from test_run import Interrupt, big_bin

DATA = index_v2(42, filetime(2023, 1, 2, 3, 4, 5), "C:\\Users\\x\\file.txt")


def rows_of(test, out):
    test.assertTrue(out.startswith(HEADER), out[:200])
    return out[len(HEADER):]


class HostileTrees(TreeTest):
    def test_two_hundred_nested_levels(self):
        deep = "/".join(["d"] * 200)
        self.write(deep + "/$IDEEP.txt", DATA)
        code, out, err = run(["-p", self.path("d"), "-f", "$I*.*"], timeout=60)
        self.assertEqual(code, 0, err[-500:])
        self.assertEqual(rows_of(self, out), expected_row(b"$IDEEP.txt", DATA))

    def test_a_path_of_8000_characters(self):
        # Built one level at a time, relative to the level before: no single
        # call could name the whole path.
        parts = ["p%03d%s" % (i, "x" * 196) for i in range(40)]
        fd = os.open(self.tmp, os.O_RDONLY)
        for part in parts:
            os.mkdir(part, dir_fd=fd)
            fd_next = os.open(part, os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = fd_next
        for name, data in (("$ILONG.txt", DATA), ("$RLONG.txt", b"x")):
            f = os.open(name, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
            os.write(f, data)
            os.close(f)
        os.utime("$RLONG.txt", ns=(1700000000 * 10**9, 1600000000 * 10**9), dir_fd=fd)
        os.close(fd)
        self.assertGreater(len(self.path(*parts)), 8000)
        code, out, err = run(["-p", self.path(parts[0]), "-f", "$I*.*", "-R"])
        self.assertEqual(code, 0, err[-500:])
        row = rows_of(self, out)
        self.assertTrue(row.startswith(expected_row(b"$ILONG.txt", DATA)[:-len(NO_COMPANION) - 1]), row)
        self.assertIn(b"|  2020-09-13|12:26:40m|  2023-11-14|22:13:20a|", row)
        self.assertNotIn(b"Can't", err)
        self.addCleanup(subprocess.run, ["rm", "-rf", self.path(parts[0])])

    def test_names_that_would_break_a_row(self):
        names = [b"$I\nnewline", b"$I|bar", b"$I\xe9\xff\x80", b"$I\xc3\x28invalid", b"$I\x1b[2Jesc",
                 b"$I\xc3\xa9t\xc3\xa9\xc2\x9b\xe2\x82\xac"]
        folder = self.path("bin").encode()
        os.makedirs(folder)
        for name in names:
            with open(os.path.join(folder, name), "wb") as f:
                f.write(DATA)
        for locale in ("C", "C.UTF-8"):
            with self.subTest(locale=locale):
                code, out, err = run(["-p", self.path("bin"), "-f", "$I*"], env={"LC_ALL": locale})
                self.assertEqual(code, 0, err)
                rows = rows_of(self, out).split(b"\n")
                self.assertEqual(rows[-1], b"")
                shown = sorted(r.split(b"|")[0].strip() for r in rows[:-1])
                # The report keeps its bytes in every locale.
                self.assertEqual(shown, sorted([b"$I?newline", b"$I?bar", b"$I\xe9\xff\x80", b"$I\xc3(invalid",
                                                b"$I?[2Jesc", b"$I\xc3\xa9t\xc3\xa9\xc2\x9b\xe2\x82\xac"]))
                for r in rows[:-1]:
                    self.assertEqual(r.count(b"|"), 12, r)
                # Nor can a name drive the terminal through the progress lines.
                progress = split_banner(self, err)
                self.assertNotIn(b"\x1b", progress)
                self.assertIn(b"Processing: " + folder + b"/$I?[2Jesc\n", progress)
                if locale == "C":
                    self.assertIn(b"Processing: " + folder + b"/$I\xe9\xff?\n", progress)
                    self.assertIn(b"Processing: " + folder + b"/$I\xc3(invalid\n", progress)
                    self.assertIn(b"Processing: " + folder + b"/$I\xc3\xa9t\xc3\xa9\xc2?\xe2?\xac\n", progress)
                else:
                    # Whole UTF-8 characters stay; bytes that are not UTF-8
                    # and the C1 control U+009B are "?".
                    self.assertIn(b"Processing: " + folder + b"/$I???\n", progress)
                    self.assertIn(b"Processing: " + folder + b"/$I?(invalid\n", progress)
                    self.assertIn(b"Processing: " + folder + b"/$I\xc3\xa9t\xc3\xa9?\xe2\x82\xac\n", progress)

    def test_dash_R_never_touches_a_file_swapped_in_while_the_row_is_written(self):
        # The report pipe holds less than the row, so the run waits in the
        # middle of writing it; meanwhile the index file becomes a link to a
        # file outside the tree.
        data = index_v2(1, filetime(2023, 1, 2), "C:\\" + "x" * 6000 + ".txt")
        target = self.write("bin/$ITARGET.txt", data)
        os.utime(target, ns=(1111111111000000001, 1222222222000000002))
        outside = self.write("outside.txt", b"evidence")
        os.utime(outside, ns=(1333333333000000003, 1444444444000000004))
        read_end, write_end = os.pipe()
        try:
            import fcntl
            fcntl.fcntl(write_end, 1031, 4096)  # F_SETPIPE_SZ
        except OSError:
            pass
        p = subprocess.Popen([BINSIFT, "-p", self.path("bin"), "-f", "$I*", "-R"], stdin=subprocess.DEVNULL,
                             stdout=write_end, stderr=subprocess.DEVNULL)
        os.close(write_end)
        first = os.read(read_end, 100)  # the header: the run has started
        import time
        time.sleep(0.5)  # the row is being written
        os.rename(target, self.path("moved.txt"))
        os.symlink(outside, target)
        rest = b""
        while True:
            chunk = os.read(read_end, 65536)
            if not chunk:
                break
            rest += chunk
        os.close(read_end)
        self.assertEqual(p.wait(timeout=30), 0)
        self.assertEqual(first + rest, HEADER + expected_row(b"$ITARGET.txt", data))
        st = os.lstat(outside)
        self.assertEqual((st.st_atime_ns, st.st_mtime_ns), (1333333333000000003, 1444444444000000004))
        st = os.stat(self.path("moved.txt"))
        self.assertEqual((st.st_atime_ns, st.st_mtime_ns), (1111111111000000001, 1222222222000000002))

    def test_index_files_that_are_not_regular_files(self):
        folder = self.path("bin")
        os.makedirs(folder)
        os.mkfifo(os.path.join(folder, "$IFIFO"))
        sock = socket.socket(socket.AF_UNIX)
        sock.bind(os.path.join(folder, "$ISOCK"))
        self.addCleanup(sock.close)
        made_device = True
        try:
            os.mknod(os.path.join(folder, "$IDEV"), 0o600 | stat.S_IFCHR, os.makedev(1, 3))
        except PermissionError:
            made_device = False
        os.symlink(os.path.join(folder, "nowhere"), os.path.join(folder, "$IDANGLE"))
        os.symlink("/dev/zero", os.path.join(folder, "$IZERO"))
        with open(os.path.join(folder, "$IGOOD"), "wb") as f:
            f.write(DATA)
        code, out, err = run(["-p", folder, "-f", "$I*"], timeout=30)
        self.assertEqual(code, 0, err)
        text = rows_of(self, out)
        for name in ["$IFIFO", "$ISOCK", "$IDANGLE", "$IZERO"] + (["$IDEV"] if made_device else []):
            self.assertIn(b"\nCan't open " + folder.encode() + b"/" + name.encode() + b" for searching", text)
        self.assertIn(expected_row(b"$IGOOD", DATA)[:-1], text)
        self.assertTrue(split_banner(self, err).endswith(summary(5 + made_device)))

    def test_a_ten_gigabyte_sparse_index_file(self):
        name_units = 40000  # no terminator within the first 64 KiB
        data = index_v2(1, 0, "C:\\" + "y" * name_units)[:-2]
        path = self.write("bin/$IHUGE", data)
        with open(path, "r+b") as f:
            f.truncate(10 * 1024**3)
        code, out, err = run(["-p", self.path("bin")], timeout=30)
        self.assertEqual(code, 0, err)
        row = rows_of(self, out)
        shown = row.split(b"|")[5]
        self.assertEqual(len(shown), (65536 - 28) // 2)

    def test_a_companion_that_is_a_dangling_link(self):
        self.write("bin/$IAAA.txt", DATA)
        os.symlink(self.path("bin", "gone"), self.path("bin", "$RAAA.txt"))
        code, out, err = run(["-p", self.path("bin")])
        self.assertEqual(code, 0, err)
        st = os.lstat(self.path("bin", "$RAAA.txt"))
        import time
        expected = time.strftime("  %Y-%m-%d|%H:%M:%Sm|", time.gmtime(st.st_mtime)).encode()
        self.assertIn(expected, rows_of(self, out))

    def test_files_deleted_while_the_walk_runs(self):
        # More files than the walk keeps from one listing, so that the
        # folder is listed again after the files are gone.
        folder = big_bin(self, 17000)
        proc = subprocess.Popen([BINSIFT, "-p", folder, "-f", "$I*.*"], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        Interrupt.wait_until_blocked(self, proc)
        for name in os.listdir(folder):
            os.remove(os.path.join(folder, name))
        out, err = proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 0)
        # Files already listed give a message; files deleted before the
        # listing reached them are no longer there.  Every row is whole.
        rows = [r for r in out.split(b"\n")[1:] if r]
        messages = out.count(b"\nCan't open ")
        self.assertGreater(messages, 0)
        self.assertLess(len(rows), 17000)
        for r in rows:
            if not r.startswith(b"Can't open"):
                self.assertTrue(r.endswith(b" N/A | N/A | N/A | N/A | N/A | N/A | "), r)


@unittest.skipIf(os.geteuid() == 0 and not hasattr(os, "setuid"), "cannot drop privileges")
class Unreadable(TreeTest):
    """Run as an unprivileged user (CI runs as root, which reads anything)."""

    def test_unreadable_directories_and_files(self):
        os.chmod(self.tmp, 0o755)
        self.write("bin/$IOK", DATA)
        self.write("bin/$ISECRET", DATA)
        self.write("bin/locked/$IINSIDE", DATA)
        os.chmod(self.path("bin", "$ISECRET"), 0)
        os.chmod(self.path("bin", "locked"), 0)
        self.addCleanup(os.chmod, self.path("bin", "locked"), 0o755)
        for p in (self.path("bin"), self.path("bin", "$IOK")):
            os.chmod(p, 0o755)
        demote = None
        if os.geteuid() == 0:
            def demote():
                os.setgid(65534)
                os.setuid(65534)
        # A copy of the program that the unprivileged user can run, wherever
        # the build lives.
        program = self.path("binsift")
        shutil.copy(BINSIFT, program)
        os.chmod(program, 0o755)
        p = subprocess.run([program, "-p", self.path("bin"), "-f", "$I*.*"], stdin=subprocess.DEVNULL,
                           capture_output=True, preexec_fn=demote, cwd="/", timeout=30)
        # The rest is read, but the run says it is incomplete.
        self.assertEqual(p.returncode, 10, p.stderr)
        self.assertIn(expected_row(b"$IOK", DATA), p.stdout)
        self.assertIn(b"\nCan't open " + self.path("bin", "$ISECRET").encode() + b" for searching", p.stdout)
        self.assertIn(b"\nCan't read directory " + self.path("bin", "locked").encode() +
                      b"/: Permission denied\n", p.stderr)


if __name__ == "__main__":
    unittest.main()
