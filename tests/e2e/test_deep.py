"""Trees that test how the walk holds directories: very deep branches, the
longest paths, and a directory swapped for a link while the run goes on."""

import os
import subprocess
import sys
import unittest

from binsift_e2e import BINSIFT, HEADER, TreeTest, expected_row, filetime, index_v2

DATA = index_v2(7, filetime(2024, 5, 6, 7, 8, 9), "C:\\Users\\x\\deep.txt")


def make_chain(top, depth):
    """`depth` nested directories "d" below `top`, each holding $I<level>;
    made through directory handles, as no path could name the deepest."""
    fd = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
    for level in range(depth):
        os.mkdir("d", dir_fd=fd)
        nxt = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        fd = nxt
        f = os.open("$I%d" % level, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
        os.write(f, DATA)
        os.close(f)
    os.close(fd)


def remove_chain(top):
    """Removes a chain made by make_chain, deepest first, holding one
    directory open at a time."""
    fd = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
    depth = 0
    while True:  # down to the deepest
        try:
            nxt = os.open("d", os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=fd)
        except FileNotFoundError:
            break
        os.close(fd)
        fd = nxt
        depth += 1
    while True:  # and back up, emptying each level
        for name in os.listdir(fd):
            os.unlink(name, dir_fd=fd)
        if depth == 0:
            break
        parent = os.open("..", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        os.rmdir("d", dir_fd=parent)
        fd = parent
        depth -= 1
    os.close(fd)


def run_measured(args):
    """Runs binsift in a child of its own; returns (exit code, rows, peak KB)."""
    script = (
        "import resource, subprocess, sys\n"
        "p = subprocess.run(sys.argv[1:], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,"
        " stderr=subprocess.DEVNULL)\n"
        "rows = p.stdout.count(b'\\n')\n"
        "peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss\n"
        "print(p.returncode, rows, peak)\n")
    out = subprocess.run([sys.executable, "-c", script, BINSIFT] + args, capture_output=True,
                         timeout=600, check=True).stdout.split()
    return int(out[0]), int(out[1]), int(out[2])


class DeepTrees(TreeTest):
    def test_twenty_thousand_levels_in_little_memory(self):
        top = self.path("bin")
        os.mkdir(top)
        self.addCleanup(remove_chain, top)
        make_chain(top, 20000)
        code, rows, peak_kb = run_measured(["-p", top, "-f", "$I*"])
        self.assertEqual(code, 0)
        self.assertEqual(rows, 20001)  # the header and a row per level
        if not os.environ.get("BINSIFT_SANITIZED"):
            self.assertLessEqual(peak_kb, 64 * 1024)

    def test_a_hundred_thousand_levels_complete(self):
        top = self.path("bin")
        os.mkdir(top)
        self.addCleanup(remove_chain, top)
        make_chain(top, 100000)
        code, rows, _ = run_measured(["-p", top, "-f", "$I*", "-B"])
        self.assertEqual((code, rows), (0, 100000))

    def test_a_directory_path_of_exactly_4096_bytes(self):
        base = self.path("bin")
        os.mkdir(base)
        # Components of 200 characters, the last one cut so that the whole
        # directory path is 4,096 bytes.
        parts = []
        length = len(base)
        while length + 201 < 4096:
            parts.append("p" * 200)
            length += 201
        parts.append("q" * (4096 - length - 1))
        fd = os.open(base, os.O_RDONLY | os.O_DIRECTORY)
        for part in parts:
            os.mkdir(part, dir_fd=fd)
            nxt = os.open(part, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = nxt
        f = os.open("$IEXACT.txt", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
        os.write(f, DATA)
        os.close(f)
        os.close(fd)
        exact = base + "/" + "/".join(parts)
        self.assertEqual(len(exact.encode()), 4096)
        self.addCleanup(lambda: subprocess.run(["rm", "-rf", base]))
        for where in (base, exact):
            p = subprocess.run([BINSIFT, "-p", where, "-f", "$I*.*"], stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=60)
            self.assertEqual(p.returncode, 0, p.stderr[-400:])
            self.assertEqual(p.stdout, HEADER + expected_row(b"$IEXACT.txt", DATA))


class SwappedDirectory(TreeTest):
    def test_a_directory_swapped_for_a_link_is_not_entered(self):
        # The first directory's rows fill the report pipe, so the walk waits
        # inside it while the other, already listed, is replaced by a link to
        # a folder outside the bin.
        for i in range(2000):
            self.write("bin/A/$IA%04d" % i, DATA)
            self.write("bin/B/$IB%04d" % i, DATA)
        self.write("outside/$IOUTSIDE", DATA)
        p = subprocess.Popen([BINSIFT, "-p", self.path("bin"), "-f", "$I*"], stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)
        first = b""
        while len(first) < 4096:  # the run has started in one of them
            first += p.stdout.read(4096 - len(first))
        later = "B" if b"$IA" in first else "A"
        os.rename(self.path("bin", later), self.path(later + ".old"))
        os.symlink(self.path("outside"), self.path("bin", later))
        rest, err = p.communicate(timeout=60)
        out = first + rest
        self.assertEqual(p.returncode, 10, err[-400:])
        self.assertEqual(out.count(b"\n"), 2001)
        self.assertNotIn(b"$IOUTSIDE", out)
        self.assertNotIn(b"$I" + later.encode(), out)
        self.assertIn(b"\nCan't read directory " + self.path("bin", later).encode() +
                      b"/: it is a link now, and is not entered\n", err)


if __name__ == "__main__":
    unittest.main()
