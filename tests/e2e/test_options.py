"""Every way a run ends on Linux, the options as they show outside, the
header, the output file and exclusions."""

import os
import re
import resource
import subprocess
import time
import unittest

from binsift_e2e import (BINSIFT, HEADER, TreeTest, expected_row, filetime, index_v1, index_v2, run,
                         split_banner, summary)
from test_run import HELP_TEXT, STAMPS


class ExitCodes(TreeTest):
    def assert_help(self, code, out, err, stdout=b""):
        self.assertEqual((code, out), (5, stdout))
        self.assertTrue(err.startswith(HELP_TEXT), err)
        self.assertRegex(err[len(HELP_TEXT):], STAMPS)

    def test_code_0_for_a_run_that_finds_nothing(self):
        os.mkdir(self.path("empty"))
        code, out, err = run(["-p", self.path("empty")])
        self.assertEqual((code, out), (0, HEADER))
        self.assertEqual(split_banner(self, err), summary(0))

    def test_code_5_with_the_help_screen(self):
        for args in (["-?"], ["-1", "-r"], ["-x", "-r"], ["-x"], ["-g"], ["-p", "x", "-1"]):
            with self.subTest(args=args):
                self.assert_help(*run(args, cwd=self.tmp))
        self.assertEqual(os.listdir(self.tmp), [])

    def test_an_unknown_letter_asks_for_help(self):
        for args in (["-k"], ["-r/k"], ["-S"], ["-+"]):
            with self.subTest(args=args):
                self.assert_help(*run(args), stdout=b"Wait for help to appear\n")

    def test_in_the_utf8_formats_standard_output_holds_nothing_but_the_report(self):
        # The help procedure's note and refused options go to the error stream.
        code, out, err = run(["--format=jsonl", "-k"])
        self.assertEqual((code, out), (5, b""))
        self.assertTrue(err.startswith(b"Wait for help to appear\n" + HELP_TEXT), err[:200])
        for args in (["--format=csv", "--rec=Off"], ["--out", "--format=tsv"],
                     ["--format=body", "--carve"]):
            with self.subTest(args=args):
                code, out, err = run(args)
                self.assertEqual((code, out), (5, b""))
                self.assertTrue(err.startswith(b"\nIllegal option: "), err)

    def test_code_5_with_a_message_or_none(self):
        for args, out, err in (
                (["-f", "a\\b"], b"", b"Can't have a \\ in the file type option\n"),
                (["-f", "ok", "dir/x"], b"", b"Can't have a / in the file type option\n"),
                (["-E"], b"", b""),
                (["-E", "-r"], b"", b""),
                (["--rec=Off"], b"\nIllegal option: rec=Off", b""),
                (["--out"], b"\nIllegal option: out", b""),
                (["--out="], b"\nIllegal option: out=", b""),
                (["-r", "--log"], b"\nIllegal option: log", b"")):
            with self.subTest(args=args):
                self.assertEqual(run(args), (5, out, err))

    def test_code_8_when_the_report_cannot_be_written(self):
        self.write("d/$IA", index_v1(1, 0, "C:\\a"))
        with open("/dev/full", "wb") as full:
            p = subprocess.run([BINSIFT, "-p", self.path("d")], stdin=subprocess.DEVNULL,
                               stdout=full, stderr=subprocess.PIPE)
        self.assertEqual(p.returncode, 8)
        self.assertTrue(p.stderr.endswith(b"\nCan't write the report to standard output: No space left on device\n"),
                        p.stderr)
        self.assertNotIn(b"Processed", p.stderr)

    def test_accepted_letters_and_words_without_effect(self):
        os.mkdir(self.path("d"))
        code, out, err = run(["-p", self.path("d"), "-bcCHhIiq", "-E", "5", "-g", "7", "-l3",
                              "-X", "-x-", "-d", "44", "--zzz", "--Append", "--tru", "--var=1",
                              "--uni", "--che=on", "--st", "--max=1", "--wid=2", "--dir=3"])
        self.assertEqual((code, out), (0, HEADER))


class Words(TreeTest):
    """--help, --version, and the words that come near binsift's own."""

    def test_help_is_the_help_screen_of_the_question_mark(self):
        question = run(["-?"])
        self.assertEqual(question[0], 5)
        for word in ("--help", "--HELP"):
            self.assertEqual(run([word]), question, word)
        self.assertEqual(run(["-p", self.tmp, "--help", "--rec=Off"]), question)
        self.assertEqual(run(["--help=me"]), (5, b"\nIllegal option: help=me", b""))

    def test_version_is_one_line_on_standard_output(self):
        code, out, err = run(["--version"], cwd=self.tmp)
        self.assertEqual((code, err), (0, b""))
        m = re.fullmatch(rb"binsift (\d\d\.\d\d\.\d\d\.\d\d\.\d\d)\n", out)
        self.assertTrue(m, out)
        # The version the banner shows.
        os.mkdir(self.path("d"))
        _, _, banner = run(["-p", self.path("d")])
        self.assertIn(b"Ver. " + m.group(1), banner)
        self.assertEqual(run(["--VERSION", "-p", "/nowhere"])[:2], (0, out))
        self.assertEqual(run(["--version=2"]), (5, b"\nIllegal option: version=2", b""))
        self.assertEqual(os.listdir(self.tmp), ["d"])  # no accounting file, nothing written

    def test_a_slip_of_one_of_binsifts_own_words_is_refused(self):
        self.write("d/$IA", index_v1(1, 0, "C:\\a"))
        for word, meant in (("imgae=case.E01", "image"), ("crave", "carve"),
                            ("fromat=csv", "format"), ("codepge=CP932", "codepage"),
                            ("help-mroe", "help-more"), ("hepl", "help"), ("verison", "version"),
                            ("shadow", "shadows"), ("hsah=md5", "hash"), ("colect=out", "collect"),
                            ("regsitry=SAM", "registry"), ("sacn", "scan"), ("Image=x", "image"),
                            ("FORMATS=csv", "format")):
            with self.subTest(word=word):
                code, out, err = run(["-p", self.path("d"), "--" + word])
                self.assertEqual((code, out, err),
                                 (5, b"\nIllegal option: " + word.encode(),
                                  b"\nDid you mean --%s?\n" % meant.encode()))
        # In the UTF-8 formats standard output holds nothing but the report.
        code, out, err = run(["-p", self.path("d"), "--format=csv", "--imgae=case.E01"])
        self.assertEqual((code, out, err),
                         (5, b"", b"\nIllegal option: imgae=case.E01\nDid you mean --image?\n"))

    def test_other_unknown_words_and_the_later_words_have_no_effect(self):
        self.write("d/$IA", index_v1(1, 0, "C:\\a"))
        plain = run(["-p", self.path("d")])
        self.assertEqual(plain[0], 0)
        for words in (["--zzz", "--imageset=x", "--formatcsv", "--carving", "--versions-of"],
                      ["--registry=SAM"],
                      # The classic report has no column for digests.
                      ["--hash=md5,sha1", "--HASH=md5"]):
            with self.subTest(words=words):
                self.assertEqual(run(["-p", self.path("d")] + words)[:2], plain[:2])


class OptionsOutside(TreeTest):
    def rows(self, out):
        return sorted(r.split(b"|")[0].strip() for r in out.splitlines()[1:])

    def test_a_bare_argument_after_options_ends_them(self):
        self.write("first/$IA", index_v1(1, 0, "C:\\a"))
        self.write("first/sub/$IB", index_v1(1, 0, "C:\\b"))
        self.write("second/$IC", index_v1(1, 0, "C:\\c"))
        code, out, err = run([self.path("first"), "-p", self.path("second"), "-r", "extra",
                              "-f", "$IA"])
        self.assertEqual(code, 0, err)
        self.assertEqual(self.rows(out), [b"$IA", b"$IC"])

    def test_exclusions(self):
        for name in ("a", "b", "c", "$IX.TMP", "$iy.tmp", "$RZ.TMP"):
            self.write("d/" + name, b"")
        code, out, err = run(["-p", self.path("d"), "-x", "a", "b", "-x", "c"])
        self.assertEqual(self.rows(out), [b"$IX.TMP", b"$RZ.TMP", b"$iy.tmp", b"a", b"b"])
        code, out, err = run(["-p", self.path("d"), "-x", "$i*.tmp", "--not=[ab]"])
        self.assertEqual(self.rows(out), [b"$RZ.TMP", b"c"])
        code, out, err = run(["-p", self.path("d"), "-x", "*"])
        self.assertEqual((code, out), (0, HEADER))

    def test_no_header_with_B_or_Q(self):
        data = index_v2(3, filetime(2020, 5, 6, 7, 8, 9), "C:\\x.y")
        self.write("d/$IA.y", data)
        for flag in ("-B", "-Q"):
            code, out, err = run(["-p", self.path("d"), flag])
            self.assertEqual((code, out), (0, expected_row(b"$IA.y", data)))

    def test_the_output_file_holds_what_standard_output_received(self):
        self.write("d/$IA.y", index_v2(3, 0, "C:\\x.y"))
        self.write("d/sub/$IB", index_v2(4, 0, "C:\\b"))
        os.mkfifo(self.path("d", "$IFIFO"))
        report = self.path("report.txt")
        with open(report, "wb") as f:
            f.write(b"old contents that go")
        code, out, err = run(["-p", self.path("d"), "-o", report])
        self.assertEqual(code, 0, err)
        self.assertIn(b"Can't open", out)
        with open(report, "rb") as f:
            self.assertEqual(f.read(), out)
        # With recursion and an output file, each directory is named on the
        # error stream before its files.
        rest = split_banner(self, err)
        directory = self.path("d").encode() + b"/"
        self.assertTrue(rest.startswith(b"\n" + (directory + b"sub/")[:75]), rest)
        self.assertIn(b"\n" + directory[:75], rest)
        # -O appends.
        code, out2, err = run(["-p", self.path("d"), "-O", report, "-B"])
        with open(report, "rb") as f:
            self.assertEqual(f.read(), out + out2)

    def test_no_console_is_no_error(self):
        self.write("d/$IA", index_v1(1, 0, "C:\\a"))
        p = subprocess.run([BINSIFT, "-p", self.path("d")], stdin=subprocess.DEVNULL,
                           capture_output=True, start_new_session=True)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(len(p.stdout.splitlines()), 2)


class TimeZones(TreeTest):
    """The start record that the header step writes to the accounting file."""

    def start_record(self, tz):
        os.makedirs(self.path("d"), exist_ok=True)
        log = self.path("log-" + tz.replace(":", "").replace("/", ""))
        code, out, err = run(["-p", self.path("d"), "-1", log], env={"TZ": tz})
        self.assertEqual(code, 0, err)
        with open(log, "rb") as f:
            text = f.read()
        m = re.search(rb"\n Started (.*)\n Command line: (.*)\n", text)
        self.assertIsNotNone(m, text)
        self.assertEqual(m.group(2), b" ".join([BINSIFT.encode(), b"-p", self.path("d").encode(),
                                                 b"-1", log.encode()]) + b" ")
        return m.group(1)

    def check(self, tz, names, offsets):
        record = self.start_record(tz)
        m = re.fullmatch(rb"(\w{3} \w{3} [ \d]\d (\d\d):(\d\d):\d\d \d{4}) GMT, (\d\d):(\d\d) " + names,
                         record)
        self.assertIsNotNone(m, record)
        gmt = int(m.group(2)) * 60 + int(m.group(3))
        local = int(m.group(4)) * 60 + int(m.group(5))
        self.assertIn((gmt - local) % (24 * 60), [o % (24 * 60) for o in offsets], record)

    def test_a_zone_with_daylight_saving(self):
        self.check("EST5EDT", rb"EST \(EST/EDT:5\)", [300, 240])

    def test_a_zone_without_daylight_saving(self):
        self.check("UTC0", rb"UTC \(UTC/:0\)", [0])

    def test_a_zone_east_of_gmt(self):
        self.check("IST-5:30", rb"IST \(IST/:-5\)", [-330])


class ManyPaths(TreeTest):
    def test_a_hundred_thousand_directories(self):
        # 100,000 different names, each of an existing directory ("i/../j"
        # names j), then the first 1,000 again: every duplicate is dropped
        # and the run takes seconds, not minutes.
        side = 317
        for j in range(side):
            os.makedirs(self.path("d", str(j)))
        self.write("d/0/$IA", index_v1(1, 0, "C:\\a"))
        names = ["%d/../%d" % (i, j) for i in range(side) for j in range(side)][:100000]
        args = [BINSIFT, "-f", "$I*.*", "-p"] + names + names[:1000]

        def big_stack():
            # Room for the long argument list.
            resource.setrlimit(resource.RLIMIT_STACK, (256 << 20, 256 << 20))
        start = time.time()
        p = subprocess.run(args, cwd=self.path("d"), stdin=subprocess.DEVNULL, capture_output=True,
                           preexec_fn=big_stack, timeout=120)
        elapsed = time.time() - start
        self.assertEqual(p.returncode, 0, p.stderr[-300:])
        rows = p.stdout.splitlines()[1:]
        self.assertEqual(len(rows), sum(1 for n in names if n.endswith("/0")))
        self.assertTrue(all(r.split(b"|")[0].strip() == b"$IA" for r in rows))
        # A test against every listed entry took half a minute here.
        self.assertLess(elapsed, 60 if os.environ.get("BINSIFT_SANITIZED") else 15)


if __name__ == "__main__":
    unittest.main()
