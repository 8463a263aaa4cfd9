"""Index records found by their content (--scan): in a file's raw bytes
(--scan=FILE), and in the unallocated clusters of an image's volumes
(--image --scan), where no file system lists them any more.  Offsets are
checked by reading the bytes back with dd; images keep every byte and
their modification time."""

import csv
import io
import json
import os
import random
import shutil
import struct
import subprocess
import unittest

import images
from binsift_e2e import HEADER, NO_COMPANION, TreeTest, expected_middle, run, split_banner, summary
from test_image import ImageTest, formats_supported

DELETED = images.filetime(2020, 9, 13, 12, 26, 40)
BLOCK = 4 << 20  # what the scanner reads at a time


def v2(path, size):
    units = (path + "\0").encode("utf-16-le")
    return struct.pack("<QqQI", 2, size, DELETED, len(units) // 2) + units


def v1(path, size):
    units = (path + "\0").encode("utf-16-le")
    return struct.pack("<QqQ", 1, size, DELETED) + units.ljust(520, b"\0")


def info2_record(path, number, size):
    return (path.encode("cp1252").ljust(260, b"\0") + struct.pack("<IIQI", number, 2, DELETED, size)
            + (path + "\0").encode("utf-16-le").ljust(520, b"\0"))


def info2_file(records):
    """An INFO2 file of 800-byte records (Windows 2000 to XP)."""
    return struct.pack("<IIIII", 5, 0, len(records), 800, 0) + b"".join(
        info2_record(p, n, s) for p, n, s in records)


def csv_rows(out):
    rows = list(csv.reader(io.StringIO(out.decode("utf-8"), newline=""), strict=True))
    return [dict(zip(rows[0], r)) for r in rows[1:]]


def dd(path, offset, count):
    """The bytes at `offset` of `path`, as dd reads them."""
    return subprocess.run(["dd", "if=" + path, "bs=1", "skip=%d" % offset, "count=%d" % count,
                           "status=none"], check=True, stdout=subprocess.PIPE).stdout


# Records planted in random bytes: (offset, format, path, size, bytes).
def planted():
    out = []
    for offset, fmt, path in [
            (0, "v2", "C:\\Users\\a\\first.txt"),
            (4096, "v1", "\\\\server\\share\\v1 record.doc"),
            (8196, "info2", "E:\\Old\\at four.pdf"),
            (9000, "info2", "E:\\Old\\at eight.pdf"),
            (BLOCK - 16, "v2", "C:\\across the first block\\" + "n" * 300 + ".txt"),
            (2 * BLOCK - 200, "v1", "D:\\across the second block.bin"),
            (3 * BLOCK - 404, "info2", "F:\\across the third block.xls"),
            (BLOCK + 65536, "v2", "C:\\" + "L" * 32763)]:
        size = offset + 7
        data = {"v2": v2, "v1": v1}[fmt](path, size) if fmt != "info2" else info2_record(path, 3, size)
        out.append((offset, fmt, path, size, data))
    return sorted(out)


def random_file(path, size, seed, records=()):
    rng = random.Random(seed)
    data = bytearray(rng.randbytes(size))
    for offset, _, _, _, record in records:
        data[offset:offset + len(record)] = record
    with open(path, "wb") as f:
        f.write(data)


class ScanFile(TreeTest):
    def setUp(self):
        super().setUp()
        if not formats_supported():
            self.skipTest("this build writes no UTF-8 formats")

    def test_planted_records_are_found_once_with_their_fields(self):
        target = self.path("raw.bin")
        records = planted()
        random_file(target, 3 * BLOCK + 12345, 25, records)
        code, out, err = run(["--scan=" + target, "--format=csv"], cwd=self.tmp)
        self.assertEqual(code, 0, err[-500:])
        self.assertTrue(split_banner(self, err).startswith(b"\n\nProcessed %d file(s) \n" % len(records)))
        rows = csv_rows(out)
        self.assertEqual(len(rows), len(records))
        for row, (offset, fmt, path, size, data) in zip(rows, records):
            self.assertEqual(row["source"], "SCAN:%s:" % target)
            self.assertEqual(row["entry_name"], "SCAN:%s:%d" % (target, offset))
            self.assertEqual((row["format"], row["offset"], row["size"], row["original_path"]),
                             (fmt, str(offset), str(size), path))
            self.assertEqual(row["deleted"], "2020-09-13T12:26:40.0000000Z")
            self.assertEqual(row["warnings"], "recovered;scanned")
            self.assertEqual((row["companion"], row["image"], row["volume"], row["entry"]),
                             ("missing", "", "", ""))
            self.assertEqual(dd(target, offset, len(data)), data)

    def test_the_seed_report_names_each_record_by_where_it_lies(self):
        target = self.path("raw.bin")
        records = [r for r in planted() if r[1] != "info2"]
        random_file(target, 3 * BLOCK, 26, records)
        code, out, err = run(["--scan=raw.bin"], cwd=self.tmp)
        self.assertEqual(code, 0, err[-500:])
        want = HEADER
        for offset, fmt, path, size, data in records:
            want += (b"%20s|" % (b"SCAN:raw.bin:%d" % offset)) + expected_middle(data) + NO_COMPANION + b"\n"
        self.assertEqual(out, want)
        # Each record has its progress line, as any file has.
        rest = split_banner(self, err)
        for offset, *_ in records:
            self.assertIn(b"Processing: SCAN:raw.bin:%d\n" % offset, rest)

    def test_json_lines_and_the_body_file_carry_the_offset(self):
        target = self.path("raw.bin")
        records = planted()[:3]
        random_file(target, 1 << 20, 27, records)
        code, out, err = run(["--scan=" + target, "--format=jsonl"], cwd=self.tmp)
        self.assertEqual(code, 0)
        lines = [json.loads(line) for line in out.decode().splitlines()]
        self.assertEqual([(j["offset"], j["format"], j["warnings"]) for j in lines],
                         [(o, f, ["recovered", "scanned"]) for o, f, *_ in records])
        if shutil.which("jq"):
            jq = subprocess.run(["jq", "-r", "select(.format == \"info2\") | .offset"], input=out,
                                stdout=subprocess.PIPE, check=True).stdout
            self.assertEqual(jq, b"8196\n")
        code, out, err = run(["--scan=" + target, "--format=body"], cwd=self.tmp)
        self.assertEqual(code, 0)
        self.assertEqual(out.decode().splitlines()[1],
                         "0|\\\\server\\share\\v1 record.doc (deleted; SCAN:%s:4096)|0|0|0|0|4103|"
                         "1600000000|1600000000|1600000000|1600000000" % target)

    def test_nothing_is_found_in_random_bytes(self):
        target = self.path("random.bin")
        random_file(target, 48 << 20, 1521)
        code, out, err = run(["--scan=" + target, "--format=csv", "-B"], cwd=self.tmp)
        self.assertEqual((code, out), (0, b""))
        self.assertTrue(split_banner(self, err).startswith(b"\n\nProcessed 0 file(s) \n"), err[-300:])

    def test_nothing_is_found_in_the_files_of_usr(self):
        # A sample of the system's own files, each from a 4096-byte boundary,
        # as they would lie in a volume's clusters.
        target = self.path("usr.bin")
        rng = random.Random(2026)
        candidates = []
        for top in ("/usr/bin", "/usr/lib/x86_64-linux-gnu", "/usr/share/locale", "/usr/share/doc"):
            for root, _, files in os.walk(top):
                candidates += [os.path.join(root, f) for f in files]
        rng.shuffle(candidates)
        written = 0
        with open(target, "wb") as f:
            for name in candidates:
                if written > (96 << 20):
                    break
                if os.path.islink(name) or not os.path.isfile(name):
                    continue
                with open(name, "rb") as g:
                    data = g.read(8 << 20)
                f.write(data + b"\0" * (-len(data) % 4096))
                written += len(data) + (-len(data) % 4096)
        self.assertGreater(written, 16 << 20)
        code, out, err = run(["--scan=" + target, "--format=csv", "-B"], cwd=self.tmp)
        self.assertEqual((code, out), (0, b""))

    def test_a_file_that_cannot_be_read_is_named(self):
        code, out, err = run(["--scan=" + self.path("absent.bin"), "--format=csv", "-B"], cwd=self.tmp)
        self.assertEqual((code, out), (10, b""))
        self.assertEqual(split_banner(self, err),
                         b"\nCan't scan %s: No such file or directory\n" % self.path("absent.bin").encode()
                         + summary(0))
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        for name in (fifo, self.tmp):
            code, out, err = run(["--scan=" + name, "--format=csv", "-B"], cwd=self.tmp, timeout=20)
            self.assertEqual((code, out), (10, b""))
            self.assertIn(b"\nCan't scan %s: " % name.encode(), err)

    def test_scan_alone_needs_an_image(self):
        code, out, err = run(["--scan", "-p", self.tmp], cwd=self.tmp)
        self.assertEqual((code, out), (5, b"\nIllegal option: scan"))
        code, out, err = run(["--SCAN", "-p", self.tmp], cwd=self.tmp)
        self.assertEqual((code, out), (5, b"\nIllegal option: SCAN"))
        code, out, err = run(["--scan=", "-p", self.tmp], cwd=self.tmp)
        self.assertEqual((code, out), (5, b"\nIllegal option: scan="))
        code, out, err = run(["--sacn=x.bin", "-p", self.tmp], cwd=self.tmp)
        self.assertEqual(code, 5)
        self.assertIn(b"Did you mean --scan?", err)

    def test_the_file_scanned_is_never_written(self):
        target = self.path("raw.bin")
        random_file(target, 1 << 20, 28, planted()[:1])
        before = images.sha256(target)
        stamp = os.stat(target).st_mtime_ns
        code, out, err = run(["--scan=" + target, "--format=csv", "-o", target], cwd=self.tmp)
        self.assertNotEqual(code, 0)
        self.assertIn(b": it is the file scanned, " + target.encode(), err + out)
        self.assertEqual(images.sha256(target), before)
        self.assertEqual(os.stat(target).st_mtime_ns, stamp)


# The index files deleted from the images, too long to stay in their MFT
# entries: their data lies in clusters, which stay free.
def long_v2(letter, size):
    path = "C:\\Users\\student\\Documents\\" + letter * 2500 + ".txt"
    return v2(path, size)


LOST_FILES = [("$ISCANAA.txt", long_v2("a", 101)), ("$ISCANBB.txt", long_v2("b", 202)),
              ("$ISCANCC.doc", v1("D:\\short\\v1 file.doc", 303).ljust(4096 + 544, b"\0"))]


class ScanImages(ImageTest):
    def setUp(self):
        super().setUp()
        if not formats_supported():
            self.skipTest("this build writes no UTF-8 formats")

    def scanned(self, out):
        return [r for r in csv_rows(out) if "scanned" in r["warnings"].split(";")]

    def test_ntfs_records_whose_entries_were_reused(self):
        image = self.path("ntfs.img")
        folder = "$Recycle.Bin/" + images.SID_1002
        entries = [images.Entry("$Recycle.Bin"), images.Entry(folder)]
        entries += [images.Entry(folder + "/" + name, data) for name, data in LOST_FILES]
        self.build(images.build_ntfs, image, entries, 16)
        with images.NtfsMount(image) as root:
            for name, _ in LOST_FILES:
                os.remove(os.path.join(root, folder, name))
        # Small files (their data in their entries) take the deleted
        # entries, not their clusters.
        with images.NtfsMount(image) as root:
            for i in range(8):
                with open(os.path.join(root, "new%d.txt" % i), "wb") as f:
                    f.write(b"n")
        code, out, err = self.run_image(image, ["--carve", "--format=csv"])
        self.assertEqual(code, 0, err[-500:])
        self.assertEqual([r for r in csv_rows(out) if r["original_path"].endswith((".txt", ".doc"))
                          and "recovered" in r["warnings"]], [])
        code, out, err = self.run_image(image, ["--carve", "--scan", "--format=csv"])
        self.assertEqual(code, 0, err[-500:])
        rows = self.scanned(out)
        self.assertEqual(sorted(r["size"] for r in rows), ["101", "202", "303"])
        for row in rows:
            data = next(d for _, d in LOST_FILES if struct.unpack_from("<q", d, 8)[0] == int(row["size"]))
            record = data if row["format"] == "v2" else data[:544]
            self.assertEqual(dd(image, int(row["offset"]), len(record)), record)
            self.assertEqual(int(row["offset"]) % 4096, 0)
            self.assertEqual((row["source"], row["image"], row["volume"]), ("SCAN:p0:", image, "p0"))
            self.assertEqual(row["warnings"], "recovered;scanned")

    def test_what_carving_gave_is_not_given_again(self):
        image = self.path("carve.img")
        self.build(images.build_ntfs_carve, image)
        code, out, err = self.run_image(image, ["--scan", "--format=csv", "-f", "$I*.*"])
        self.assertEqual(code, 0, err[-500:])
        found = [r for r in self.scanned(out) if r["size"] == "2222"]
        self.assertEqual(len(found), 1)
        offset = int(found[0]["offset"])
        self.assertEqual(dd(image, offset, len(images.CARVE_IN_CLUSTERS[1])), images.CARVE_IN_CLUSTERS[1])
        # With --carve, the same record is the carved one, once.
        code, out, err = self.run_image(image, ["--carve", "--scan", "--format=csv", "-f", "$I*.*"])
        self.assertEqual(code, 0, err[-500:])
        rows = [r for r in csv_rows(out) if r["size"] == "2222"]
        self.assertEqual(len(rows), 1)
        self.assertEqual(rows[0]["warnings"], "recovered")
        # The index file whose clusters another file took is found by neither.
        self.assertEqual([r for r in csv_rows(out) if r["size"] == "1111"], [])

    def test_fat32_index_files_deleted(self):
        image = self.path("fat.img")
        entries = [images.Entry("$RECYCLE.BIN"), images.Entry("$RECYCLE.BIN/" + images.SID_1002),
                   images.Entry("RECYCLED")]
        entries += [images.Entry("$RECYCLE.BIN/%s/%s" % (images.SID_1002, n), d) for n, d in LOST_FILES]
        info2 = info2_file([("C:\\WINDOWS\\old one.txt", 1, 11), ("C:\\Docs\\second.xls", 2, 22)])
        entries.append(images.Entry("RECYCLED/INFO2", info2))
        self.build(images.build_fat32, image, entries, 40)
        env = images.fat_mtools_env()
        for name, _ in LOST_FILES:
            subprocess.run(["mdel", "-i", image, "::/$RECYCLE.BIN/%s/%s" % (images.SID_1002, name)],
                           check=True, env=env, stdout=subprocess.DEVNULL)
        subprocess.run(["mdel", "-i", image, "::/RECYCLED/INFO2"], check=True, env=env,
                       stdout=subprocess.DEVNULL)
        code, out, err = self.run_image(image, ["--scan", "--format=csv"])
        self.assertEqual(code, 0, err[-500:])
        rows = self.scanned(out)
        self.assertEqual(sorted((r["format"], r["size"]) for r in rows),
                         [("info2", "11"), ("info2", "22"), ("v1", "303"), ("v2", "101"), ("v2", "202")])
        for row in rows:
            offset = int(row["offset"])
            if row["format"] == "info2":
                number = 0 if row["size"] == "11" else 1
                record = info2[20 + 800 * number:20 + 800 * (number + 1)]
            else:
                data = next(d for _, d in LOST_FILES if struct.unpack_from("<q", d, 8)[0] == int(row["size"]))
                record = data if row["format"] == "v2" else data[:544]
            self.assertEqual(dd(image, offset, len(record)), record, row)
        # The volume's unallocated bytes are those The Sleuth Kit's blkls
        # gives: the records lie in them.
        if shutil.which("blkls"):
            unallocated = subprocess.run(["blkls", image], check=True, stdout=subprocess.PIPE).stdout
            for _, data in LOST_FILES:
                self.assertIn(data[:544], unallocated)


if __name__ == "__main__":
    unittest.main()
