"""An image run never writes the evidence: an output, accounting or memo
file that is the image, under any of its names (itself, a hard link, a
symbolic link, a further segment of a split image), is a file that cannot be
opened, named with the reason, and the run goes the way it goes for a file
that cannot be opened.  Every test checks the SHA-256 and the modification
time of every file of the evidence after each run."""

import os
import re
import subprocess
import unittest

import images
from binsift_e2e import TreeTest, run, split_banner
from test_image import images_supported

PROMPT = (b"hit return to choose new output file\nOutput File Selection\n"
          b"  All Files (*.*)       *.*\n  Data Files (*.OUT)    *.OUT\nFile name (empty to cancel): ")
POSITION = rb"\n[^\n]*%s\n\d+\n"


def without_elapsed(err):
    """The error stream with the summary's elapsed time masked: two runs can
    fall on either side of a second's tick."""
    return re.sub(rb"\d+ hrs\. \d+ mins\. \d+ secs\.", b"<ELAPSED>", err)


def output_refused(message, name, image):
    """The error stream after the banner when the output file is refused as
    evidence and nobody is there to pick another at the prompt."""
    return (POSITION % rb"output_file\.cc" +
            re.escape(message + b" " + name + b": it is part of the evidence image " + image + b"\n" + PROMPT) +
            POSITION % rb"output_file\.cc" + re.escape(b"error opening output file \n"))


def accounting_refused(name, image):
    return POSITION % rb"run_log\.cc" + re.escape(
        b"error opening " + name + b": it is part of the evidence image " + image + b"\n")


class EvidenceTest(TreeTest):
    """A 16 MiB NTFS volume holding the sample bins in a 17 MiB image file,
    so that the image ends in a run of zero bytes, which the accounting
    file's cleaning would cut from a file of its own."""

    def setUp(self):
        if not images_supported():
            self.skipTest("this build reads no images")
        super().setUp()
        try:
            self.image = images.build_ntfs(self.path("ev.img"), images.sample_entries())
        except images.Unavailable as e:
            self.skipTest(str(e))
        with open(self.image, "r+b") as f:
            f.truncate(17 << 20)
        os.link(self.image, self.path("hard.img"))
        os.symlink("ev.img", self.path("soft.img"))
        self.evidence = [self.image]
        self.plain = None

    def fingerprints(self):
        return [(images.sha256(p), os.stat(p).st_mtime_ns) for p in self.evidence]

    def run_here(self, args, env=None):
        """Runs binsift in the test's folder; the evidence must be unchanged."""
        before = self.fingerprints()
        result = run(args, cwd=self.tmp, env=env, timeout=120)
        self.assertEqual(self.fingerprints(), before, "the run changed the evidence")
        return result

    def plain_run(self):
        """What the image run gives with nothing to refuse."""
        if self.plain is None:
            self.plain = self.run_here(["--image=ev.img", "-.ini"])
            self.assertEqual(self.plain[0], 0, self.plain[2])
        return self.plain


class OutputFile(EvidenceTest):
    def test_the_image_under_each_of_its_names(self):
        for args, message, name, image in (
                (["--image=ev.img", "-o", "ev.img"], b"error opening output file", b"ev.img", b"ev.img"),
                (["--image=ev.img", "-O", "ev.img"], b"error opening/creating output file", b"ev.img", b"ev.img"),
                (["--image=ev.img", "-a", "-o", "hard.img"], b"error opening/creating output file", b"hard.img",
                 b"ev.img"),
                (["-o", "soft.img", "--image=ev.img"], b"error opening output file", b"soft.img", b"ev.img"),
                (["--image=soft.img", "-oev.img"], b"error opening output file", b"ev.img", b"soft.img"),
                (["--image=" + self.image, "--out=hard.img"], b"error opening output file",
                 self.path("hard.img").encode(), self.image.encode())):
            with self.subTest(args=args):
                code, out, err = self.run_here(args)
                self.assertEqual((code, out), (1, b""), err[-400:])
                self.assertRegex(split_banner(self, err), b"\\A" + output_refused(message, name, image) + b"\\Z")

    def test_the_ini_files_output_key(self):
        self.write("binsift.ini", b"OUTPUT=soft.img\n")
        code, out, err = self.run_here(["--image=ev.img"])
        self.assertEqual((code, out), (1, b""), err[-400:])
        self.assertRegex(split_banner(self, err), b"\\A" + output_refused(
            b"error opening output file", self.path("soft.img").encode(), b"ev.img") + b"\\Z")

    def test_a_file_beside_the_image_receives_the_report(self):
        code, out, err = self.run_here(["--image=ev.img", "-.ini", "-o", "report.txt", "-1", "runs.log"])
        self.assertEqual((code, out), (0, self.plain_run()[1]), err[-400:])
        with open(self.path("report.txt"), "rb") as f:
            self.assertEqual(f.read(), out)
        with open(self.path("runs.log"), "rb") as f:
            self.assertIn(b"\n Processed 34 files:", f.read())

    def test_the_same_names_without_an_image_are_ordinary_files(self):
        os.makedirs(self.path("d"))
        self.evidence = []
        code, out, err = self.run_here(["-p", self.path("d"), "-o", "soft.img"])
        self.assertEqual(code, 0, err[-400:])
        self.assertEqual(os.path.getsize(self.image), len(out))


class AccountingFile(EvidenceTest):
    def test_named_before_or_after_the_image_word(self):
        for args, name in ((["-1", "ev.img", "--image=ev.img"], b"ev.img"),
                           (["--image=ev.img", "-2", "soft.img"], b"soft.img"),
                           (["-r", "--acc=hard.img", "--image=ev.img"], b"hard.img"),
                           (["--LOG=soft.img", "--IMAGE=ev.img"], b"soft.img"),
                           (["-1hard.img", "-p", "/$Recycle.Bin", "-r-image=ev.img"], b"hard.img")):
            with self.subTest(args=args):
                code, out, err = self.run_here(["-.ini"] + args)
                self.assertEqual((code, out), (1, b""), err)
                self.assertRegex(err, b"\\A" + accounting_refused(name, b"ev.img") + b"\\Z")

    def test_named_by_the_environment(self):
        for env, name in (({"ACCT": "ev.img"}, b"ev.img"), ({"ACCTING": "soft.img"}, b"soft.img"),
                          ({"ACCTING": self.path("hard.img")}, self.path("hard.img").encode())):
            with self.subTest(env=env):
                code, out, err = self.run_here(["-.ini", "--image=ev.img", "-p", "/$Recycle.Bin"], env=env)
                self.assertEqual((code, out), (1, b""), err)
                self.assertRegex(err, b"\\A" + accounting_refused(name, b"ev.img") + b"\\Z")

    def test_named_by_the_ini_file(self):
        for line, name in ((b"ACCT=hard.img", b"hard.img"), (b"accting=soft.img", b"soft.img")):
            with self.subTest(line=line):
                self.write("binsift.ini", line + b"\n")
                code, out, err = self.run_here(["--image=ev.img"])
                self.assertEqual((code, out), (1, b""), err)
                self.assertRegex(err, b"\\A" + accounting_refused(name, b"ev.img") + b"\\Z")


class MemoFile(EvidenceTest):
    def test_refused_and_the_run_goes_on_without_it(self):
        plain_code, plain_out, plain_err = self.plain_run()
        for args, ini in ((["--memo=soft.img"], None), ([], b"MEMO=hard.img\n")):
            with self.subTest(args=args, ini=ini):
                if ini:
                    self.write("binsift.ini", ini)
                code, out, err = self.run_here(args + ["--image=ev.img"] + ([] if ini else ["-.ini"]))
                self.assertEqual((code, out), (plain_code, plain_out), err[-400:])
                name = self.path("soft.img" if args else "hard.img").encode()
                self.assertEqual(without_elapsed(err),
                                 without_elapsed(b"\nCan't open the memo file " + name +
                                                 b": it is part of the evidence image ev.img\n" +
                                                 plain_err))


class SplitImage(EvidenceTest):
    """disk.001, disk.002, ...: every segment is evidence."""

    def setUp(self):
        super().setUp()
        with open(self.image, "rb") as f:
            number = 1
            while True:
                block = f.read(5 << 20)
                if not block:
                    break
                with open(self.path("disk.%03d" % number), "wb") as g:
                    g.write(block)
                number += 1
        self.segments = [self.path("disk.%03d" % n) for n in range(1, number)]
        self.assertGreaterEqual(len(self.segments), 4)
        self.evidence = self.segments

    def test_every_segment_is_refused(self):
        code, out, err = self.run_here(["--image=disk.001", "-.ini", "-o", "disk.003"])
        self.assertEqual((code, out), (1, b""), err[-400:])
        self.assertRegex(split_banner(self, err), b"\\A" + output_refused(
            b"error opening output file", b"disk.003", b"disk.001") + b"\\Z")
        os.symlink("disk.004", self.path("last"))
        code, out, err = self.run_here(["-.ini", "-2", "last", "--image=disk.001"])
        self.assertEqual((code, out), (1, b""), err)
        self.assertRegex(err, b"\\A" + accounting_refused(b"last", b"disk.001") + b"\\Z")


if __name__ == "__main__":
    unittest.main()
