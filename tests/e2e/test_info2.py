"""INFO2 bins (Windows 95 to XP and Server 2003): one row per record, on the
real sample files and on files built here to be damaged."""

import json
import os
import struct
import time
import unittest

from binsift_e2e import (HEADER, NO_COMPANION, SAMPLES, TreeTest, birth_filetime, companion_columns,
                         filetime, run, split_banner, summary)

INFO2_SAMPLES = os.path.join(SAMPLES, "info2")


def info2(version, record_size, records):
    """An INFO2 file; each record is (ansi bytes, number, drive, deleted, size, utf16 text)."""
    out = struct.pack("<IIIII", version, 0, 0, record_size, 0)
    for ansi, number, drive, deleted, size, text in records:
        rec = ansi.ljust(260, b"\0")[:260] + struct.pack("<IIQI", number, drive, deleted, size)
        if record_size == 800:
            rec += (text or "").encode("utf-16-le").ljust(520, b"\0")
        out += rec
    return out


def rows_of(out):
    assert out.startswith(HEADER), out[:200]
    return out[len(HEADER):].split(b"\n")[:-1]


def columns(row):
    return row.split(b"|")


@unittest.skipUnless(os.path.isdir(INFO2_SAMPLES), "the sample files are not here")
class Samples(TreeTest):
    def run_on(self, sample, name="INFO2", folder="RECYCLER/S-1-5-21-1-2-3-1003", extra=()):
        with open(os.path.join(INFO2_SAMPLES, sample), "rb") as f:
            self.write(folder + "/" + name, f.read())
        code, out, err = run(["-p", self.path(folder), "-f", name] + list(extra))
        self.assertEqual(code, 0, err[-300:])
        self.assertTrue(split_banner(self, err).endswith(summary(1)), err[-300:])
        return rows_of(out)

    def test_an_xp_bin_with_a_companion(self):
        folder = "RECYCLER/S-1-5-21-1-2-3-1003"
        self.write(folder + "/Dc1.exe", b"x" * 10)
        os.utime(self.path(folder, "Dc1.exe"), ns=(1500000000123456700, 1400000000765432100))
        rows = self.run_on("plaso/INFO2")
        self.assertEqual(len(rows), 4)
        accessed = (1500000000 + 11644473600) * 10000000 + 1234567
        modified = (1400000000 + 11644473600) * 10000000 + 7654321
        created = birth_filetime(self.path(folder, "Dc1.exe"))
        self.assertEqual(rows[0], b"             Dc1.exe|     2160128|  2004-08-25|    16:18:25|       exe|"
                         b"C:\\Documents and Settings\\Mr. Evil\\Desktop\\lalsetup250.exe|"
                         + companion_columns(modified, accessed, created))
        self.assertTrue(rows[1].startswith(b"             Dc2.exe|"), rows[1])
        self.assertTrue(rows[1].endswith(NO_COMPANION), rows[1])

    def test_every_record_names_its_dc_file_as_the_seed_report_does(self):
        for sample in ("plaso/INFO2", "rifiuti2/INFO2-sample1", "rbcmd/WinXp - mueller1/INFO2"):
            with self.subTest(sample=sample):
                seed = self.run_on(sample)
                folder = self.path("RECYCLER/S-1-5-21-1-2-3-1003")
                code, out, err = run(["-p", folder, "-f", "INFO2", "--format=jsonl"])
                self.assertEqual(code, 0, err[-300:])
                records = [json.loads(line) for line in out.decode().splitlines()]
                self.assertEqual([r["entry_name"].encode() for r in records],
                                 [columns(row)[0].strip() for row in seed])
                self.assertTrue(all(r["entry_name"].startswith("Dc") for r in records))
                # Every record is of the one INFO2 file: its own times.
                st = os.stat(os.path.join(folder, "INFO2"))
                modified = {r["index_modified"] for r in records}
                self.assertEqual(len(modified), 1)
                self.assertTrue(modified.pop().startswith(
                    time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(st.st_mtime))))

    def test_a_japanese_windows_95_bin_in_its_code_page(self):
        rows = self.run_on("rifiuti2/INFO-95-ja-1", name="INFO", folder="RECYCLED")
        self.assertEqual(len(rows), 11)
        third = columns(rows[2])
        self.assertEqual(third[0].strip(), b"Dc3.txt")
        self.assertEqual(third[1].strip(), b"32768")
        self.assertEqual((third[2].strip(), third[3].strip()), (b"2015-05-11", b"07:19:25"))
        self.assertEqual(third[5].decode("cp932"), "D:\\WINDOWS\\ﾃﾞｽｸﾄｯﾌﾟ\\新規ﾃｷｽﾄ文書.txt")

    def test_unicode_paths_of_nt_bins(self):
        rows = self.run_on("rifiuti2/INFO2-sample1")
        self.assertEqual(len(rows), 16)
        first = columns(rows[0])
        self.assertEqual(first[0].strip(), b"Dc44.lnk")
        self.assertEqual((first[1].strip(), first[2].strip(), first[3].strip()),
                         (b"4096", b"2008-10-28", b"15:53:42"))
        self.assertEqual(first[5], b"C:\\Documents and Settings\\All Users\\Desktop\\??????.lnk")

        rows = self.run_on("rifiuti2/INFO2-2k-cht-1")
        self.assertEqual(len(rows), 5)
        fourth = [columns(r) for r in rows if columns(r)[0].strip() == b"Dc4.doc"][0]
        self.assertEqual((fourth[1].strip(), fourth[2].strip(), fourth[3].strip()),
                         (b"0", b"2019-03-31", b"19:40:16"))
        self.assertEqual(fourth[5], "C:\\temp\\Ödüllü ????? ?????.doc".encode("latin-1"))

    def test_a_network_share(self):
        rows = self.run_on("rifiuti2/INFO2-03-tw-uncpath")
        self.assertEqual(len(rows), 4)
        first = columns(rows[0])
        self.assertEqual((first[0].strip(), first[1].strip(), first[2].strip(), first[3].strip()),
                         (b"Dc1.zip", b"3153920", b"2019-05-05", b"17:08:49"))
        self.assertEqual(first[5], b"\\\\Vm-2003-r2-tw\\Temp\\??\\Downloads\\HxDSetup.zip")

    def test_an_empty_bin_counts_once_and_has_no_row(self):
        self.assertEqual(self.run_on("rifiuti2/INFO2-empty"), [])


@unittest.skipUnless(os.path.isdir(INFO2_SAMPLES), "the sample files are not here")
class JsonLines(TreeTest):
    def records(self, sample, *extra):
        with open(os.path.join(INFO2_SAMPLES, sample), "rb") as f:
            self.write("RECYCLER/S-1-5-21-7-8-9-1004/INFO2", f.read())
        code, out, err = run(["-p", self.path("RECYCLER"), "-f", "INFO2", "--format=jsonl"] + list(extra))
        self.assertEqual(code, 0, err[-300:])
        return [json.loads(line) for line in out.decode("utf-8").splitlines()]

    def test_the_values_the_samples_record(self):
        first = self.records("plaso/INFO2")[0]
        self.assertEqual((first["format"], first["user_sid"], first["deleted"], first["original_path"],
                          first["extension"], first["companion"], first["warnings"]),
                         ("info2", "S-1-5-21-7-8-9-1004", "2004-08-25T16:18:25.2370000Z",
                          "C:\\Documents and Settings\\Mr. Evil\\Desktop\\lalsetup250.exe", "exe",
                          "missing", []))
        cht = [r for r in self.records("rifiuti2/INFO2-2k-cht-1")
               if r["deleted"].startswith("2019-03-31T19:40:16")]
        self.assertEqual([(r["size"], r["original_path"]) for r in cht],
                         [(0, "C:\\temp\\Ödüllü 混合中文字 تشكيل.doc")])
        tw = self.records("rifiuti2/INFO2-03-tw-uncpath")[0]
        self.assertEqual((tw["size"], tw["deleted"][:19], tw["original_path"]),
                         (3153920, "2019-05-05T17:08:49", "\\\\Vm-2003-r2-tw\\Temp\\文件\\Downloads\\HxDSetup.zip"))
        one = self.records("rifiuti2/INFO2-sample1")
        self.assertEqual(len(one), 16)
        self.assertEqual((one[0]["size"], one[0]["deleted"][:19], one[0]["original_path"]),
                         (4096, "2008-10-28T15:53:42",
                          "C:\\Documents and Settings\\All Users\\Desktop\\有道桌面词典.lnk"))


class Damaged(TreeTest):
    WHEN = filetime(2003, 4, 5, 6, 7, 8)

    def rows(self, data, name="INFO2"):
        self.write("RECYCLER/" + name, data)
        code, out, err = run(["-p", self.path("RECYCLER"), "-f", name])
        self.assertEqual(code, 0, err[-300:])
        return rows_of(out)

    def test_restored_and_purged_records_get_their_drive_back(self):
        data = info2(5, 800, [(b"\0:\\gone\\a.txt", 1, 2, self.WHEN, 100, ""),
                              (b"\0\\server\\share\\b.doc", 2, 26, self.WHEN, 200, ""),
                              (b"D:\\kept\\c.bin", 3, 3, self.WHEN, 300, "D:\\kept\\c.bin")])
        self.write("RECYCLER/INFO2", data)
        code, out, _ = run(["-p", self.path("RECYCLER"), "-f", "INFO2", "--format=jsonl"])
        records = [json.loads(line) for line in out.decode().splitlines()]
        self.assertEqual([(r["original_path"], r["warnings"]) for r in records],
                         [("C:\\gone\\a.txt", ["restored-or-purged"]),
                          ("\\\\server\\share\\b.doc", ["restored-or-purged"]),
                          ("D:\\kept\\c.bin", [])])
        rows = self.rows(data)
        self.assertEqual([columns(r)[0].strip() for r in rows], [b"Dc1.txt", b"Dc2.doc", b"Dc3.bin"])
        self.assertEqual([columns(r)[5] for r in rows],
                         [b"C:\\gone\\a.txt", b"\\\\server\\share\\b.doc", b"D:\\kept\\c.bin"])

    def test_short_records_of_windows_98(self):
        rows = self.rows(info2(4, 280, [(b"C:\\WINDOWS\\DESKTOP\\NOTE.TXT", 7, 2, self.WHEN, 55, None)]))
        self.assertEqual(rows, [b"             Dc7.TXT|          55|  2003-04-05|    06:07:08|       TXT|"
                                b"C:\\WINDOWS\\DESKTOP\\NOTE.TXT|" + NO_COMPANION])

    def test_a_truncated_last_record_gives_a_short_row(self):
        data = info2(5, 800, [(b"C:\\a.txt", 1, 2, self.WHEN, 1, "C:\\a.txt"),
                              (b"C:\\b.txt", 2, 2, self.WHEN, 2, "C:\\b.txt")])
        self.write("RECYCLER/INFO2", data[:-300])
        code, out, _ = run(["-p", self.path("RECYCLER"), "-f", "INFO2", "--format=jsonl"])
        records = [json.loads(line) for line in out.decode().splitlines()]
        self.assertEqual([r["warnings"] for r in records], [[], ["truncated"]])
        self.assertEqual((records[1]["size"], records[1]["deleted"][:10]), (2, "2003-04-05"))
        rows = self.rows(data[:-300])
        self.assertEqual(len(rows), 2)
        self.assertTrue(rows[0].startswith(b"             Dc1.txt|"))
        self.assertEqual(rows[1], b"               INFO2|" + NO_COMPANION)

    def test_a_header_that_does_not_check_out_is_an_unknown_version(self):
        for version, size in ((5, 900), (3, 800)):
            with self.subTest(version=version, size=size):
                data = info2(version, size, [])
                rows = self.rows(data + b"\0" * 800)
                self.assertEqual(rows, [b"               INFO2|" + NO_COMPANION])

    def test_counters_in_the_header_are_not_trusted(self):
        data = bytearray(info2(5, 800, [(b"C:\\a.txt", 1, 2, self.WHEN, 1, "C:\\a.txt")]))
        struct.pack_into("<II", data, 4, 1000, 1000)
        self.assertEqual(len(self.rows(bytes(data))), 1)


def run_counting(args, keep):
    """Runs binsift in a child of its own, reading its report as it comes;
    returns (exit code, number of lines, {index: line} for the indexes in
    `keep` (negative from the end), peak memory in KB)."""
    import subprocess
    import sys
    from binsift_e2e import BINSIFT
    script = (
        "import collections, json, resource, subprocess, sys\n"
        "keep = json.loads(sys.argv[1])\n"
        "p = subprocess.Popen(sys.argv[2:], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,"
        " stderr=subprocess.DEVNULL)\n"
        "count, kept, last = 0, {}, collections.deque(maxlen=8)\n"
        "for line in p.stdout:\n"
        "    if count in keep: kept[count] = line.decode('latin-1')\n"
        "    last.append((count, line.decode('latin-1')))\n"
        "    count += 1\n"
        "code = p.wait()\n"
        "for i, line in last:\n"
        "    if i - count in keep: kept[i - count] = line\n"
        "peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss\n"
        "print(json.dumps([code, count, kept, peak]))\n")
    out = subprocess.run([sys.executable, "-c", script, json.dumps(keep), BINSIFT] + args,
                         capture_output=True, timeout=600, check=True).stdout
    code, count, kept, peak = json.loads(out)
    return code, count, {int(k): v.encode("latin-1") for k, v in kept.items()}, peak


class LargeFile(TreeTest):
    def test_every_record_of_a_file_past_256_mib(self):
        # 393,216 records of 800 bytes (300 MiB, mostly a hole: empty
        # records, which name restored items) and 300 bytes of one more.
        # Named ones at the start, across the 256 MiB mark, past it and at
        # the end.
        when = filetime(2004, 5, 6, 7, 8, 9)
        count = 393216
        named = {0: "C:\\first.txt", 335544: "C:\\across.txt", 335545: "C:\\past.txt",
                 count - 1: "C:\\last.txt"}
        path = self.path("RECYCLER", "INFO2")
        os.makedirs(os.path.dirname(path))
        with open(path, "wb") as f:
            f.write(info2(5, 800, []))
            for index, text in named.items():
                f.seek(20 + 800 * index)
                f.write(info2(5, 800, [(text.encode(), index + 1, 2, when, index, text)])[20:])
            f.truncate(20 + 800 * count + 300)
        self.assertLessEqual(20 + 800 * 335544, 256 << 20)
        self.assertGreater(20 + 800 * 335545, 256 << 20)

        code, lines, kept, peak_kb = run_counting(
            ["-p", self.path("RECYCLER"), "-f", "INFO2"], [0, 1, 2, 335545, 335546, -2, -1])
        self.assertEqual(code, 0)
        self.assertEqual(lines, 1 + count + 1)  # the header, every record, the cut one
        self.assertEqual(kept[0], HEADER)
        for line, index in ((1, 0), (335545, 335544), (335546, 335545), (-2, count - 1)):
            name = named[index].encode()
            self.assertEqual(kept[line], (b"Dc%d.txt" % (index + 1)).rjust(20) +
                             b"|% 12d|  2004-05-06|    07:08:09|       txt|" % index + name + b"|" +
                             NO_COMPANION + b"\n")
        self.assertEqual(kept[2], b"                 Dc0|           0|  1601-01-01|    00:00:00|      NONE||" +
                         NO_COMPANION + b"\n")
        self.assertEqual(kept[-1], b"               INFO2|" + NO_COMPANION + b"\n")
        if not os.environ.get("BINSIFT_SANITIZED"):
            self.assertLessEqual(peak_kb, 64 * 1024)


if __name__ == "__main__":
    unittest.main()
