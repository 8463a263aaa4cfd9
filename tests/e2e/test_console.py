"""The console side: the output-file prompt and its question, the start
banner, and the help file."""

import os
import re
import shutil
import subprocess
import time
import unittest

from binsift_e2e import BINSIFT, HEADER, TreeTest, index_v1, run, read_stderr_until
from test_run import HELP_TEXT, STAMPS


class OutputFilePrompt(TreeTest):
    """Standard input is a terminal, as when an examiner answers."""

    def setUp(self):
        super().setUp()
        self.write("d/$IA", index_v1(1, 0, "C:\\a"))
        self.master, self.slave = os.openpty()
        self.addCleanup(os.close, self.master)
        self.addCleanup(os.close, self.slave)

    def start(self, args):
        env = dict(os.environ, LANG="C")
        return subprocess.Popen([BINSIFT, "-p", self.path("d")] + args, stdin=self.slave,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)

    def answer(self, proc, *typed):
        for text in typed:
            time.sleep(0.2)
            os.write(self.master, text)
        out, err = proc.communicate(timeout=30)
        return proc.returncode, out, err

    def existing(self, contents=b"kept\n"):
        path = self.write("existing.txt", contents)
        return path

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def test_the_prompt_and_the_overwrite_question(self):
        question = (b"\n\n%s aleady exists\nDo you wish to overwrite Y\nDo you wish to abort     Q\n"
                    b"Do you wish to append    A\nEnter a Y, Q, or A\n\n")
        for key, code, contents in ((b"Y", 0, None), (b"o", 0, None), (b"A", 0, b"kept\n"),
                                    (b"q", 3, b"kept\n"), (b"N", 3, b"kept\n")):
            with self.subTest(key=key):
                path = self.existing()
                rc, out, err = self.answer(self.start(["-o", "-"]), path.encode() + b"\n", key)
                self.assertEqual(rc, code, err)
                self.assertIn(b"\nOutput File Selection\n", err)
                self.assertIn(question % path.encode(), err)
                if code == 0:
                    self.assertEqual(self.read(path), (contents or b"") + out)
                    self.assertIn(b"Processed 1 file(s)", err)
                else:
                    self.assertEqual(self.read(path), contents)
                    self.assertEqual(out, b"")
                    self.assertNotIn(b"Processed", err)

    def test_the_append_flag_asks_nothing(self):
        path = self.existing()
        rc, out, err = self.answer(self.start(["-O", "-"]), path.encode() + b"\n")
        self.assertEqual(rc, 0, err)
        self.assertNotIn(b"aleady exists", err)
        self.assertEqual(self.read(path), b"kept\n" + out)

    def test_a_plain_name_that_exists_is_emptied_without_a_question(self):
        path = self.existing()
        rc, out, err = self.answer(self.start(["-o", path]))
        self.assertEqual(rc, 0, err)
        self.assertEqual(self.read(path), out)

    def test_a_name_that_cannot_be_created_twice(self):
        bad = self.path("missing", "out.txt")
        again = self.path("missing", "again.txt")
        for option, message in ((["-o", bad], b"error opening output file"),
                                (["-O", bad], b"error opening/creating output file")):
            with self.subTest(option=option[0]):
                rc, out, err = self.answer(self.start(option), b"\n", again.encode() + b"\n")
                self.assertEqual((rc, out), (1, b""))
                self.assertRegex(err, rb"\n.*output_file\.cc\n\d+\n" + re.escape(message) + b" " +
                                 re.escape(bad.encode()) + rb"\nhit return to choose new output file")
                self.assertTrue(err.endswith(b"error opening output file " + again.encode() + b"\n"), err)

    def test_the_last_choice_is_the_default(self):
        # The picked file cannot be created at first; once its folder is
        # there, an empty line at the next prompt takes the same name again.
        chosen = self.path("later", "out.txt")
        proc = self.start(["-o", "-"])
        seen = read_stderr_until(self, proc, b"File name (empty to cancel): ")
        self.assertNotIn(b"Last choice", seen)
        os.write(self.master, chosen.encode() + b"\n")
        read_stderr_until(self, proc, b"hit return to choose new output file")
        os.mkdir(self.path("later"))
        os.write(self.master, b"\n")
        seen = read_stderr_until(self, proc, b"Last choice: " + chosen.encode() + b"\nFile name")
        os.write(self.master, b"\n")
        out, err = proc.communicate(timeout=30)
        self.assertEqual(proc.returncode, 0, err)
        self.assertEqual(self.read(chosen), out)
        self.assertTrue(out.startswith(HEADER))
        self.assertIn(b"\nFile name (empty for the last choice): ", seen + err)

    def test_a_cancelled_prompt_at_the_end_of_input(self):
        rc, out, err = run(["-p", self.path("d"), "-o", "-"], stdin=subprocess.DEVNULL)
        self.assertEqual((rc, out), (3, b""))


class Banner(TreeTest):
    def banner(self, lang):
        os.mkdir(self.path("d-" + lang))
        code, out, err = run(["-p", self.path("d-" + lang)], env={"LANG": lang, "LC_ALL": lang})
        self.assertEqual(code, 0)
        return err.split(b"\n")[:36]

    def check(self, lines, tl, h, tr, v, bl, br, mark):
        self.assertEqual(lines[:29], [b""] * 29)
        self.assertEqual(lines[29], b"  " + tl + h * 74 + tr)
        self.assertEqual(lines[30], b"  " + v + b" " * 34 + b"BINSIFT" + b" " * 33 + v)
        self.assertRegex(lines[31], b"\\A  " + v + b" {24}Ver\\. \\d\\d\\.\\d\\d\\.\\d\\d\\.\\d\\d\\.\\d\\d" +
                         mark + b" 64 BIT {23}" + v + b"\\Z")
        self.assertEqual(lines[32], b"  " + v + b" " * 74 + v)
        self.assertEqual(lines[35], b"  " + bl + h * 74 + br)

    def test_code_page_437_on_the_c_locale(self):
        self.check(self.banner("C"), b"\xc9", b"\xcd", b"\xbb", b"\xba", b"\xc8", b"\xbc", b"\xfb")

    def test_the_same_glyphs_in_utf8(self):
        self.check(self.banner("C.UTF-8"), "╔".encode(), "═".encode(), "╗".encode(), "║".encode(),
                   "╚".encode(), "╝".encode(), "√".encode())


class HelpFile(TreeTest):
    def test_a_help_file_beside_the_program(self):
        program = self.path("binsift")
        shutil.copy(BINSIFT, program)
        self.write("binsift.hlp", b"HELP FILE TEXT\n")
        question = b"\nDO YOU WISH TO SEE A DOS HELP SCREEN ALSO  (Y/N)? "
        for key in (b"n", b"N", b""):
            p = subprocess.run([program, "-k"], input=key, capture_output=True)
            self.assertEqual((p.returncode, p.stdout), (5, b"Wait for help to appear\n"))
            self.assertEqual(p.stderr, b"HELP FILE TEXT\n" + question + b"\n")
        p = subprocess.run([program, "-k"], input=b"y", capture_output=True)
        self.assertEqual((p.returncode, p.stdout), (5, b"Wait for help to appear\n"))
        self.assertTrue(p.stderr.startswith(b"HELP FILE TEXT\n" + question + HELP_TEXT), p.stderr)
        self.assertRegex(p.stderr[len(b"HELP FILE TEXT\n" + question + HELP_TEXT):], STAMPS)


if __name__ == "__main__":
    unittest.main()
