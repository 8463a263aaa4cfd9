"""Evidence images read in place (--image) and index files recovered from
an emptied bin (--carve), on images the tests build from the real sample
index files (images.py): NTFS, FAT32, a disk with two partitions and an
E01 copy.  Each image gives the rows the same files give in a plain folder
(companion times aside: they come from the image's own metadata and are
checked against The Sleuth Kit's istat), and no run changes a byte of it."""

import json
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import images
from binsift_e2e import HEADER, NO_COMPANION, TreeTest, expected_middle, run

SID_1001, SID_1002, SID_1003 = images.SID_1001, images.SID_1002, images.SID_1003
COMPANION_TIMES = re.compile(rb"(  \d{4}-\d\d-\d\d\|\d\d:\d\d:\d\d[mac]\|){3}\n\Z")


def split_row(row):
    """A seed report row as (the columns before the companion's, the six
    companion columns)."""
    m = COMPANION_TIMES.search(row)
    if m:
        return row[:m.start()], row[m.start():-1]
    if row.endswith(NO_COMPANION + b"\n"):
        return row[:-len(NO_COMPANION) - 1], NO_COMPANION
    raise AssertionError("not a report row: %r" % row)


def report_rows(out):
    """The rows of a seed report (after its header)."""
    assert out.startswith(HEADER), out[:200]
    return [line + b"\n" for line in out[len(HEADER):].split(b"\n") if line]


def istat_iso(text):
    """A time istat -z UTC shows ("2019-03-02 08:30:00.100000100 (UTC)") as the
    UTF-8 formats write it ("2019-03-02T08:30:00.1000001Z")."""
    m = re.match(r"^(\d{4}-\d\d-\d\d) (\d\d:\d\d:\d\d)\.(\d{7})\d\d \(UTC\)$", text)
    assert m, text
    return "%sT%s.%sZ" % m.groups()


def csv_records(out):
    import csv
    import io
    rows = list(csv.reader(io.StringIO(out.decode("utf-8"), newline=""), strict=True))
    return [dict(zip(rows[0], r)) for r in rows[1:]]


def seed_companion(ft_modified, ft_accessed, ft_created):
    from binsift_e2e import companion_columns
    return companion_columns(ft_modified, ft_accessed, ft_created)


_SUPPORTED = None


def images_supported():
    """Whether the program under test was built to read images."""
    global _SUPPORTED
    if _SUPPORTED is None:
        code, out, err = run(["--image=/nonexistent.E01", "-p", "/nonexistent"])
        _SUPPORTED = b"Evidence images are not supported by this build" not in err
    return _SUPPORTED


_FORMATS = None


def formats_supported():
    """Whether the program under test writes the UTF-8 formats."""
    global _FORMATS
    if _FORMATS is None:
        empty = tempfile.mkdtemp(prefix="binsift-e2e-")
        try:
            code, out, err = run(["--format=jsonl", "-p", empty])
        finally:
            shutil.rmtree(empty, True)
        _FORMATS = code == 0 and not out.startswith(HEADER)
    return _FORMATS


class ImageTest(TreeTest):
    """A test that builds images (skipped where this machine cannot) and
    checks after every run that the image is unchanged."""

    def setUp(self):
        if not images_supported():
            self.skipTest("this build reads no images")
        super().setUp()

    def build(self, builder, *args, **kwargs):
        try:
            return builder(*args, **kwargs)
        except images.Unavailable as e:
            self.skipTest(str(e))

    def run_image(self, image, args, env=None, timeout=120):
        before = images.sha256(image)
        stamp = os.stat(image)
        result = run(["--image=" + image] + list(args), cwd=self.tmp, env=env, timeout=timeout)
        self.assertEqual(images.sha256(image), before, "the run changed the image")
        self.assertEqual(os.stat(image).st_mtime_ns, stamp.st_mtime_ns)
        return result

    def plain_copy(self, entries, name="plain"):
        root = self.path(name)
        os.makedirs(root)
        images.write_tree(root, entries)
        return root

    def assert_same_rows_as_plain(self, image_out, plain_out, least_count):
        """The two reports hold the same rows, companion columns aside, and
        every companion that has times in one has them in the other."""
        image_rows = [split_row(r) for r in report_rows(image_out)]
        plain_rows = [split_row(r) for r in report_rows(plain_out)]
        self.assertEqual(len(image_rows), len(plain_rows))
        self.assertGreaterEqual(len(image_rows), least_count)
        self.assertEqual(sorted(r[0] for r in image_rows), sorted(r[0] for r in plain_rows))
        self.assertEqual(sorted((r[0], r[1] == NO_COMPANION) for r in image_rows),
                         sorted((r[0], r[1] == NO_COMPANION) for r in plain_rows))
        return image_rows


class NtfsImage(ImageTest):
    def setUp(self):
        super().setUp()
        self.entries = self.build(images.sample_entries)
        self.image = self.build(images.build_ntfs, self.path("ntfs.img"), self.entries)

    def test_rows_equal_those_of_the_same_files_in_a_plain_folder(self):
        plain = self.plain_copy(self.entries)
        code, out, err = self.run_image(self.image, [])
        self.assertEqual(code, 0, err)
        pcode, pout, perr = run(["-p", os.path.join(plain, "$Recycle.Bin"), os.path.join(plain, "RECYCLER")])
        self.assertEqual(pcode, 0, perr)
        # Every file of both bins, index files, companions and others alike
        # (the default pattern takes them all).
        files = [e for e in self.entries if not e.is_dir and e.junction is None
                 and e.path.split("/")[0] in ("$Recycle.Bin", "RECYCLER")]
        self.assert_same_rows_as_plain(out, pout, len(files))
        self.assertIn(b"\n\nProcessed %d file(s) \n" % len(files), err)

    def test_companion_times_are_the_standard_information_times_istat_shows(self):
        code, out, err = self.run_image(self.image, ["-f", "$I*.*"])
        self.assertEqual(code, 0, err)
        rows = {split_row(r)[0].split(b"|")[0].strip(): split_row(r)[1] for r in report_rows(out)}
        checked = 0
        for e in self.entries:
            folder, _, name = e.path.rpartition("/")
            if not name.startswith("$R") or e.times is None:
                continue
            index_name = ("$I" + name[2:]).encode()
            self.assertIn(index_name, rows)
            created, modified, accessed = e.times
            self.assertEqual(rows[index_name], seed_companion(modified, accessed, created), name)
            # The same times as The Sleuth Kit's own istat shows them.
            inode = images.tsk_inode(self.image, "/" + e.path)
            si = images.tsk_standard_information_times(self.image, inode)
            shown = rows[index_name].split(b"|")
            self.assertEqual(si["File Modified"][:19], (shown[0].strip() + b" " + shown[1][:8]).decode())
            self.assertEqual(si["Accessed"][:19], (shown[2].strip() + b" " + shown[3][:8]).decode())
            self.assertEqual(si["Created"][:19], (shown[4].strip() + b" " + shown[5][:8]).decode())
            checked += 1
        self.assertGreaterEqual(checked, 5)
        # The index files without a companion show none.
        self.assertEqual(rows[b"$IHO61YT"], NO_COMPANION)

    def test_entry_and_own_times_are_what_the_sleuth_kits_tools_show(self):
        if not formats_supported():
            self.skipTest("this build writes only the seed report")
        code, out, err = self.run_image(self.image, ["-f", "$I*.*", "--format=csv"])
        self.assertEqual(code, 0, err)
        records = csv_records(out)
        self.assertGreaterEqual(len(records), 20)
        with_companion = 0
        contents = 0
        for r in records:
            path = r["source"][len("IMAGE:p0:"):]
            self.assertEqual((r["image"], r["volume"]), (self.image, "p0"), path)
            if r["format"] == "content":
                # An entry inside a recycled folder has no index file: its
                # own times are those of its companion fields.
                self.assertEqual((r["entry_name"], r["entry"], r["index_created"]), ("", "", ""), path)
                own = images.tsk_standard_information_times(self.image, images.tsk_inode(self.image, path))
                self.assertEqual(r["companion_changed"], istat_iso(own["MFT Modified"]), path)
                self.assertEqual(r["companion_modified"], istat_iso(own["File Modified"]), path)
                contents += 1
                continue
            self.assertEqual(r["entry_name"], path.rsplit("/", 1)[1], path)
            # ifind names the entry; istat shows its own times.
            self.assertEqual(r["entry"], images.tsk_inode(self.image, path), path)
            si = images.tsk_standard_information_times(self.image, r["entry"])
            self.assertEqual(r["index_created"], istat_iso(si["Created"]), path)
            self.assertEqual(r["index_modified"], istat_iso(si["File Modified"]), path)
            if r["format"] == "info2" or r["companion"] == "missing":
                continue
            folder, _, name = path.rpartition("/")
            companion = images.tsk_standard_information_times(
                self.image, images.tsk_inode(self.image, folder + "/$R" + name[2:]))
            self.assertEqual(r["companion_changed"], istat_iso(companion["MFT Modified"]), path)
            self.assertEqual(r["companion_modified"], istat_iso(companion["File Modified"]), path)
            with_companion += 1
        self.assertGreaterEqual(with_companion, 5)
        self.assertGreaterEqual(contents, 1)

    def test_the_body_file_gives_mactime_the_companions_entry_and_change_time(self):
        if not formats_supported():
            self.skipTest("this build writes only the seed report")
        if not shutil.which("mactime"):
            self.skipTest("mactime is not installed")
        code, out, err = self.run_image(self.image, ["-f", "$I*.*", "--format=body"])
        self.assertEqual(code, 0, err)
        body = self.path("image.body")
        with open(body, "wb") as f:
            f.write(out)
        p = subprocess.run(["mactime", "-b", body, "-d", "-z", "UTC"], capture_output=True,
                           timeout=120, env=dict(os.environ, LC_ALL="C.UTF-8"))
        self.assertEqual(p.returncode, 0, p.stderr)
        import csv
        import io
        timeline = list(csv.reader(io.StringIO(p.stdout.decode("utf-8"), newline="")))
        changes = {}
        date = None
        for row in timeline[1:]:
            date = row[0] or date
            if "c" in row[2] and "(recycled content; " in row[7]:
                changes[row[7]] = (date, row[6])
        checked = 0
        for e in self.entries:
            folder, _, name = e.path.rpartition("/")
            if not name.startswith("$R") or e.is_dir or not folder.startswith("$Recycle.Bin"):
                continue
            inode = images.tsk_inode(self.image, "/" + e.path)
            changed = images.tsk_standard_information_times(self.image, inode)["MFT Modified"]
            when = time.strftime("%a %b %d %Y %H:%M:%S",
                                 time.strptime(changed[:19], "%Y-%m-%d %H:%M:%S"))
            line = [k for k in changes if k.endswith("(recycled content; IMAGE:p0:/%s)" % e.path)]
            self.assertEqual(len(line), 1, (e.path, sorted(changes)))
            self.assertEqual(changes[line[0]], (when, inode), e.path)
            checked += 1
        self.assertGreaterEqual(checked, 3)

    def test_paths_given_with_p_are_taken_inside_the_volume(self):
        code, out, err = self.run_image(self.image, ["-p", "$RECYCLE.BIN/" + SID_1002.lower(), "-f", "$I*.*"])
        self.assertEqual(code, 0, err)
        names = sorted(r.split(b"|")[0].strip() for r in report_rows(out))
        self.assertEqual(names, sorted(n.encode() for n in os.listdir(
            os.path.join(images.SAMPLES, "rifiuti2/dir-win10-01")) if n.startswith("$I")))
        self.assertIn(b"Processing: /$RECYCLE.BIN/" + SID_1002.lower().encode() + b"/", err)

    def test_a_path_no_volume_has_is_an_unreadable_directory(self):
        code, out, err = self.run_image(self.image, ["-p", "/nowhere", "-p", "/RECYCLER"])
        self.assertEqual(code, 10, err)
        self.assertIn(b"\nCan't read directory /nowhere: not in any volume of image %s\n"
                      % self.image.encode(), err)
        # RECYCLER was read.
        self.assertIn(b"Processing: /RECYCLER/%s/INFO2\n" % images.SID_500.encode(), err)
        self.assertTrue(report_rows(out))

    def test_exclusions_recursion_and_time_resetting(self):
        code, out, err = self.run_image(self.image, ["-r", "-p", "/$Recycle.Bin/" + SID_1002])
        self.assertEqual(code, 0, err)
        self.assertNotIn(b"notes.txt", out)  # inside the $RKEGS1G folder
        code, out2, err = self.run_image(self.image, ["-p", "/$Recycle.Bin/" + SID_1002])
        self.assertIn(b"notes.txt", out2)
        code, out3, err = self.run_image(self.image, ["-p", "/$Recycle.Bin/" + SID_1002, "-x", "*.png"])
        self.assertEqual(code, 0, err)
        self.assertNotIn(b"$IQ7LAXT.png", out3)
        self.assertIn(b"$IQ7LAXT.png", out2)
        # -R sets nothing in an image and says nothing about it.
        code, out4, err = self.run_image(self.image, ["-R", "-p", "/$Recycle.Bin/" + SID_1002])
        self.assertEqual(code, 0, err)
        self.assertEqual(out4, out2)
        self.assertNotIn(b"reset", err)

    def test_carve_finds_nothing_in_an_intact_volume(self):
        code, out, err = self.run_image(self.image, ["--carve", "-f", "$I*.*"])
        self.assertEqual(code, 0, err)
        code2, out2, err2 = self.run_image(self.image, ["-f", "$I*.*"])
        self.assertEqual(out, out2)


class Ntfs3gMount(TreeTest):
    """A volume mounted through ntfs-3g, as the README advises: statx gives no
    birth time there, ntfs-3g's system.ntfs_crtime attribute does."""

    def test_creation_times_through_the_ntfs_3g_attribute(self):
        if not shutil.which("ntfs-3g"):
            self.skipTest("ntfs-3g is not installed")
        try:
            entries = images.sample_entries()
            image = images.build_ntfs(self.path("ntfs.img"), entries)
        except images.Unavailable as e:
            self.skipTest(str(e))
        before = (images.sha256(image), os.stat(image).st_mtime_ns)
        try:
            with images.NtfsMount(image, read_only=True) as root:
                bin_folder = os.path.join(root, "$Recycle.Bin")
                seed = run(["-p", bin_folder, "-f", "$I*.*"])
                csv_out = run(["-p", bin_folder, "-f", "$I*.*", "--format=csv"])
        except images.Unavailable as e:
            self.skipTest(str(e))
        self.assertEqual((images.sha256(image), os.stat(image).st_mtime_ns), before)
        self.assertEqual(seed[0], 0, seed[2])
        self.assertEqual(csv_out[0], 0, csv_out[2])
        rows = {split_row(r)[0].split(b"|")[0].strip(): split_row(r)[1] for r in report_rows(seed[1])}
        self.assertNotIn(b"1980-00-00", seed[1])
        records = {r["entry_name"]: r for r in csv_records(csv_out[1])}
        checked = 0
        for e in entries:
            folder, _, name = e.path.rpartition("/")
            if not name.startswith("$R") or e.is_dir or not folder.startswith("$Recycle.Bin"):
                continue
            index_name = "$I" + name[2:]
            companion = images.tsk_standard_information_times(image, images.tsk_inode(image, "/" + e.path))
            index = images.tsk_standard_information_times(
                image, images.tsk_inode(image, "/%s/%s" % (folder, index_name)))
            shown = rows[index_name.encode()].split(b"|")
            self.assertEqual(companion["Created"][:19], (shown[4].strip() + b" " + shown[5][:8]).decode())
            r = records[index_name]
            self.assertEqual(r["companion_created"], istat_iso(companion["Created"]), name)
            self.assertEqual(r["companion_changed"], istat_iso(companion["MFT Modified"]), name)
            self.assertEqual(r["index_created"], istat_iso(index["Created"]), name)
            self.assertEqual(r["index_modified"], istat_iso(index["File Modified"]), name)
            self.assertEqual((r["image"], r["volume"], r["entry"]), ("", "", ""), name)
            checked += 1
        self.assertGreaterEqual(checked, 3)


class OtherImages(ImageTest):
    def test_e01_copy_gives_the_raw_images_report(self):
        entries = self.build(images.sample_entries)
        raw = self.build(images.build_ntfs, self.path("ntfs.img"), entries)
        e01 = self.build(images.build_e01, raw, self.path("copy"))
        code, out, err = self.run_image(raw, [])
        self.assertEqual(code, 0, err)
        code2, out2, err2 = self.run_image(e01, [])
        self.assertEqual(code2, 0, err2)
        self.assertEqual(out2, out)
        self.assertGreater(len(report_rows(out)), 30)

    def test_vhd_and_vmdk_copies_give_the_raw_images_report(self):
        entries = self.build(images.sample_entries)
        raw = self.build(images.build_ntfs, self.path("ntfs.img"), entries)
        vhd = images.build_vhd_fixed(raw, self.path("disk.vhd"))
        vmdk = images.build_vmdk_flat(raw, self.path("disk.vmdk"))
        code, out, err = self.run_image(raw, [])
        self.assertEqual(code, 0, err)
        for copy in (vhd, vmdk):
            code2, out2, err2 = self.run_image(copy, [])
            self.assertEqual((code2, out2), (code, out), err2)
        # The image types as The Sleuth Kit's img_stat tells them.
        for copy, kind in ((vhd, "vhdi"), (vmdk, "vmdk")):
            stat = subprocess.run(["img_stat", copy], check=True, stdout=subprocess.PIPE).stdout.decode()
            self.assertRegex(stat, r"Image Type:\s+%s\n" % kind)

    def test_split_raw_image_gives_the_whole_images_report(self):
        entries = self.build(images.sample_entries)
        raw = self.build(images.build_ntfs, self.path("ntfs.img"), entries)
        # disk.001, disk.002, ... of 5 MiB each.
        with open(raw, "rb") as f:
            number = 1
            while True:
                block = f.read(5 << 20)
                if not block:
                    break
                with open(self.path("disk.%03d" % number), "wb") as g:
                    g.write(block)
                number += 1
        self.assertGreater(number, 3)
        code, out, err = self.run_image(raw, [])
        code2, out2, err2 = self.run_image(self.path("disk.001"), [])
        self.assertEqual((code2, out2), (code, out), err2)

    def test_fat32_rows_equal_the_plain_folder(self):
        entries = self.build(images.sample_entries)
        image = self.build(images.build_fat32, self.path("fat.img"), entries)
        plain = self.plain_copy(entries)
        env = {"TZ": "UTC"}
        code, out, err = self.run_image(image, ["-f", "$I*.*"], env=env)
        self.assertEqual(code, 0, err)
        pcode, pout, perr = run(["-p", os.path.join(plain, "$Recycle.Bin"), "-f", "$I*.*"], env=env)
        rows = self.assert_same_rows_as_plain(out, pout, sum(
            1 for e in entries if e.path.startswith("$Recycle.Bin/") and "/$I" in e.path))
        # FAT keeps the modified time to 2 seconds (these are even) and the
        # access date; mcopy gave the file its modified time's date there.
        by_name = {r[0].split(b"|")[0].strip(): r[1] for r in rows}
        self.assertTrue(by_name[b"$I1IS2OK.txt"].startswith(b"  2019-04-02|09:45:30m|  2019-04-02|00:00:00a|"),
                        by_name[b"$I1IS2OK.txt"])
        # Every companion's times as The Sleuth Kit's istat shows them.
        checked = 0
        for e in entries:
            folder, _, name = e.path.rpartition("/")
            index_name = ("$I" + name[2:]).encode()
            if not name.startswith("$R") or index_name not in by_name:
                continue
            si = images.tsk_fat_times(image, images.tsk_inode(image, "/" + e.path))
            shown = by_name[index_name].split(b"|")
            for key, column in (("Written", 0), ("Accessed", 2), ("Created", 4)):
                self.assertEqual(si[key][:19], (shown[column].strip() + b" " + shown[column + 1][:8]).decode(),
                                 (name, key))
            checked += 1
        self.assertGreaterEqual(checked, 4)

    def test_a_disk_with_two_partitions_gives_both_volumes(self):
        entries = self.build(images.sample_entries)
        work = self.path("parts")
        os.makedirs(work)
        ntfs = self.build(images.build_ntfs, os.path.join(work, "ntfs.img"), entries, 16, 2048)
        fat = self.build(images.build_fat32, os.path.join(work, "fat.img"), entries, 40, 2048 + 32768)
        disk = self.path("disk.img")
        self.build(images.build_partitioned, disk, [(ntfs, 16, "7"), (fat, 40, "c")])
        # The recipe as The Sleuth Kit's mmls sees it: partitions 2 and 3.
        table = subprocess.run(["mmls", disk], check=True, stdout=subprocess.PIPE).stdout.decode()
        self.assertRegex(table, r"\n002:  000:000   0000002048   0000034815   0000032768   NTFS")
        self.assertRegex(table, r"\n003:  000:001   0000034816   0000116735   0000081920   Win95 FAT32")
        env = {"TZ": "UTC"}
        code, out, err = self.run_image(disk, ["-f", "$I*.*"], env=env)
        self.assertEqual(code, 0, err)
        code1, out1, _ = self.run_image(ntfs, ["-f", "$I*.*"], env=env)
        code2, out2, _ = self.run_image(fat, ["-f", "$I*.*"], env=env)
        # The partitions in the order of the table, each as its own image.
        self.assertEqual(out, out1 + out2[len(HEADER):])
        self.assertIn(b"Processing: /$Recycle.Bin/", err)

    def test_a_gpt_disk_as_windows_makes_them(self):
        entries = self.build(images.sample_entries)
        work = self.path("parts")
        os.makedirs(work)
        ntfs = self.build(images.build_ntfs, os.path.join(work, "ntfs.img"), entries, 16, 34816)
        disk = self.path("gpt.img")
        # The reserved partition (zeros, no file system by design) is passed
        # over; the one without a name and without a file system is not.
        self.build(images.build_partitioned, disk, [
            (None, 16, "E3C9E316-0B5C-4DB8-817D-F92DF00215AE", "Microsoft reserved partition"),
            (ntfs, 16, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "Basic data partition"),
            (None, 8, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7")], label="gpt")
        table = subprocess.run(["mmls", disk], check=True, stdout=subprocess.PIPE).stdout.decode()
        self.assertRegex(table, r"\n004:  000       0000002048   0000034815   0000032768   Microsoft reserved partition\n")
        self.assertRegex(table, r"\n005:  001       0000034816   0000067583   0000032768   Basic data partition\n")
        code, out, err = self.run_image(disk, ["-f", "$I*.*"])
        self.assertEqual(code, 10, err)
        errors = [line for line in err.split(b"\n") if line.startswith(b"Can't")]
        self.assertEqual(len(errors), 1, err[-2000:])
        self.assertRegex(errors[0], rb"^Can't read image " + re.escape(disk.encode()) +
                         rb", partition p6 \(sectors 67584 to 83967\): no file system that can be read \(")
        code1, out1, _ = self.run_image(ntfs, ["-f", "$I*.*"])
        self.assertEqual(out, out1)

    def test_an_unreadable_partition_beside_a_good_one(self):
        entries = self.build(images.sample_entries)
        work = self.path("parts")
        os.makedirs(work)
        ntfs = self.build(images.build_ntfs, os.path.join(work, "ntfs.img"), entries, 16, 2048)
        disk = self.path("disk.img")
        # The second partition holds nothing a file system reader knows.
        self.build(images.build_partitioned, disk, [(ntfs, 16, "7"), (None, 8, "7")])
        code, out, err = self.run_image(disk, ["-f", "$I*.*"])
        self.assertEqual(code, 10, err)
        self.assertRegex(err, rb"\nCan't read image " + re.escape(disk.encode()) +
                         rb", partition p3 \(NTFS / exFAT \(0x07\), sectors 34816 to 51199\): "
                         rb"no file system that can be read \([^\n]+\)\n")
        code1, out1, _ = self.run_image(ntfs, ["-f", "$I*.*"])
        self.assertEqual(out, out1)  # the good partition was read whole
        self.assertIn(b"\n\nProcessed ", err)


class BadInput(ImageTest):
    def test_a_text_file_is_no_image(self):
        text = self.write("notes.txt", b"not an image\n" * 5000)
        code, out, err = self.run_image(text, [])
        self.assertEqual(code, 10, err)
        self.assertRegex(err, rb"\nCan't read image " + re.escape(text.encode()) +
                         rb": neither a partition table nor a file system was found \([^\n]+\)\n")
        self.assertEqual(out, HEADER)
        self.assertIn(b"\n\nProcessed 0 file(s) \n", err)

    def test_a_truncated_e01(self):
        entries = self.build(images.sample_entries)
        raw = self.build(images.build_ntfs, self.path("ntfs.img"), entries)
        e01 = self.build(images.build_e01, raw, self.path("copy"))
        cut = self.path("cut.E01")
        with open(e01, "rb") as f, open(cut, "wb") as g:
            g.write(f.read(os.path.getsize(e01) // 2))
        code, out, err = self.run_image(cut, [])
        self.assertEqual(code, 10, err)
        self.assertIn(b"\nCan't read image " + cut.encode() + b": ", err)
        self.assertEqual(out, HEADER)

    def test_a_missing_image_file(self):
        missing = self.path("absent.E01")
        code, out, err = run(["--image=" + missing], cwd=self.tmp)
        self.assertEqual(code, 10, err)
        self.assertIn(b"\nCan't read image " + missing.encode() + b": ", err)

    def test_a_truncated_image_names_what_it_cannot_read_and_reads_the_rest(self):
        entries = self.build(images.sample_entries)
        full = self.build(images.build_ntfs, self.path("ntfs.img"), entries)
        cut = self.path("cut.img")
        with open(full, "rb") as f, open(cut, "wb") as g:
            g.write(f.read(6 << 20))
        code, out, err = self.run_image(cut, ["-f", "*"])
        self.assertEqual(code, 10, err)
        self.assertRegex(err, rb"\nCan't read directory /\$Recycle\.Bin/: image " + re.escape(cut.encode()) +
                         rb", partition p0: Error reading image file \([^\n]*partial image[^\n]*\n")
        # RECYCLER's folders lie in the part that is there, and were read.
        self.assertIn(b"Processing: /RECYCLER/%s/INFO2\n" % images.SID_500.encode(), err)
        self.assertIn(b"Processing: /RECYCLER/%s/INFO2_MultiFiles\n" % images.SID_500.encode(), err)
        self.assertNotIn(b"Processing: /$Recycle.Bin", err)

    def test_an_image_without_a_bin(self):
        image = self.build(images.build_ntfs, self.path("nobin.img"),
                           [images.Entry("Users"), images.Entry("Users/a.txt", b"x")])
        code, out, err = self.run_image(image, [])
        self.assertEqual(code, 10, err)
        self.assertIn(b"\nNo recycle-bin folder ($Recycle.Bin, RECYCLER or RECYCLED) in image %s\n"
                      % image.encode(), err)
        self.assertEqual(out, HEADER)

    def test_carve_without_an_image_is_an_illegal_option(self):
        code, out, err = run(["-p", self.tmp, "--carve"], cwd=self.tmp)
        self.assertEqual((code, out), (5, b"\nIllegal option: carve"))
        code, out, err = run(["--CARVE", "-p", self.tmp], cwd=self.tmp)
        self.assertEqual((code, out), (5, b"\nIllegal option: CARVE"))
        code, out, err = run(["-p", self.tmp, "--image"], cwd=self.tmp)
        self.assertEqual((code, out), (5, b"\nIllegal option: image"))


class BuildWithoutImages(TreeTest):
    def test_image_is_refused_with_the_builds_message(self):
        if images_supported():
            self.skipTest("this build reads images")
        code, out, err = run(["--image=" + self.path("disk.dd"), "-p", self.tmp], cwd=self.tmp)
        self.assertEqual((code, out), (5, b""))
        self.assertEqual(err, b"\nEvidence images are not supported by this build\n")


class Carving(ImageTest):
    def setUp(self):
        super().setUp()
        self.image = self.build(images.build_ntfs_carve, self.path("carve.img"))

    def deleted_index_files(self):
        """(name, bytes) of the index files deleted in the carving image."""
        out = []
        for folder in ("rifiuti2/dir-sample1",):
            for name in sorted(os.listdir(os.path.join(images.SAMPLES, folder))):
                if name.startswith("$I"):
                    with open(os.path.join(images.SAMPLES, folder, name), "rb") as f:
                        out.append((name, f.read()))
        for name in ("$II3DF3L.zip", "$I103S5F.jpg"):
            with open(os.path.join(images.SAMPLES, "plaso/test_data/recycler", name), "rb") as f:
                out.append((name, f.read()))
        # Its clusters are another file's now: nothing of it can be read.
        out.append((images.CARVE_LOST[0], b""))
        out.append(images.CARVE_IN_CLUSTERS)
        return out

    def test_the_recipe_leaves_deleted_and_orphaned_index_files(self):
        # As The Sleuth Kit's fls lists deleted names: the emptied bin's
        # index files in their folder, the deleted folder's as orphans.
        listing = subprocess.run(["fls", "-r", "-d", "-p", self.image], check=True,
                                 stdout=subprocess.PIPE).stdout.decode()
        self.assertRegex(listing, r"-/r \* \d+-128-\d+:\t\$Recycle\.Bin/%s/\$I1IS2OK\.txt\n" % SID_1001)
        self.assertRegex(listing, r"-/r \* \d+-128-\d+:\t\$OrphanFiles/\$II3DF3L\.zip\n")
        self.assertRegex(listing, r"-/r \* \d+-128-\d+:\t\$OrphanFiles/\$I103S5F\.jpg\n")
        self.assertNotIn("$R1IS2OK.txt", listing)  # left in place

    def test_deleted_index_files_come_after_the_walk_and_only_with_carve(self):
        code, walked, err = self.run_image(self.image, ["-f", "$I*.*"])
        self.assertEqual(code, 0, err)
        code, carved, err = self.run_image(self.image, ["-f", "$I*.*", "--carve"])
        self.assertEqual(code, 0, err)
        # The walk's rows first, unchanged; then one row per deleted entry.
        self.assertTrue(carved.startswith(walked))
        extra = report_rows(HEADER + carved[len(walked):])
        deleted = self.deleted_index_files()
        self.assertEqual(len(extra), len(deleted))
        expected = sorted(name.encode().rjust(20) + b"|" + expected_middle(data) for name, data in deleted)
        self.assertEqual(sorted(split_row(r)[0] for r in extra), expected)
        for name, _ in deleted:
            self.assertNotIn(b"|" + name.encode() + b"|", b"|" + walked.replace(b" ", b""))
        # $R1IS2OK.txt was left beside its deleted index file.
        by_name = {split_row(r)[0].split(b"|")[0].strip(): split_row(r)[1] for r in extra}
        self.assertNotEqual(by_name[b"$I1IS2OK.txt"], NO_COMPANION)
        self.assertEqual(by_name[b"$I0JGHX7"], NO_COMPANION)
        self.assertEqual(by_name[b"$II3DF3L.zip"], NO_COMPANION)
        self.assertIn(b"\n\nProcessed %d file(s) \n" % (len(report_rows(walked)) + len(deleted)), err)

    def test_recovered_records_in_json_lines(self):
        if not formats_supported():
            self.skipTest("this build writes only the seed report")
        code, out, err = self.run_image(self.image, ["-f", "$I*.*", "--carve", "--format=jsonl"])
        self.assertEqual(code, 0, err)
        records = [json.loads(line) for line in out.decode().splitlines()]
        recovered = [r for r in records if "recovered" in r["warnings"]]
        walked = [r for r in records if "recovered" not in r["warnings"]]
        self.assertEqual(records, walked + recovered)  # the walk's records first
        self.assertEqual(len(recovered), len(self.deleted_index_files()))
        for r in walked:
            self.assertRegex(r["source"], r"^IMAGE:p0:/(\$Recycle\.Bin|RECYCLER)/")
        by_source = {r["source"]: r for r in recovered}
        emptied = by_source["IMAGE:p0:/$Recycle.Bin/%s/$I1IS2OK.txt" % SID_1001]
        self.assertEqual(emptied["user_sid"], SID_1001)
        self.assertEqual(emptied["companion"], "file")
        self.assertEqual(emptied["warnings"], ["recovered"])
        orphan = by_source["IMAGE:p0:/$OrphanFiles/$II3DF3L.zip"]
        self.assertIsNone(orphan["user_sid"])
        self.assertEqual(orphan["companion"], "missing")
        self.assertEqual(orphan["size"], 724919)
        lost = by_source["IMAGE:p0:/$Recycle.Bin/%s/%s" % (images.SID_1005, images.CARVE_LOST[0])]
        self.assertEqual((lost["format"], lost["warnings"]), ("unknown", ["truncated", "recovered"]))
        kept = by_source["IMAGE:p0:/$Recycle.Bin/%s/%s" % (images.SID_1005, images.CARVE_IN_CLUSTERS[0])]
        self.assertEqual((kept["format"], kept["size"]), ("v2", 2222))

    def test_recovered_records_name_their_entries_and_deleted_companions(self):
        if not formats_supported():
            self.skipTest("this build writes only the seed report")
        code, out, err = self.run_image(self.image, ["-f", "$I*.*", "--carve", "--format=csv"])
        self.assertEqual(code, 0, err)
        records = {r["source"]: r for r in csv_records(out)}
        # fls lists each deleted name with the entry it had.
        listing = subprocess.run(["fls", "-r", "-d", "-p", self.image], check=True,
                                 stdout=subprocess.PIPE).stdout.decode()
        deleted = {}
        for line in listing.splitlines():
            m = re.match(r"^-/r \* (\d+)-128-\d+:\t(.*)$", line)
            if m:
                deleted["IMAGE:p0:/" + m.group(2)] = m.group(1)
        checked = 0
        for source, entry in deleted.items():
            if source in records:
                self.assertEqual(records[source]["entry"], entry, source)
                self.assertIn("recovered", records[source]["warnings"].split(";"), source)
                checked += 1
        self.assertEqual(checked, len([r for r in records.values() if "recovered" in r["warnings"]]))
        bin_1001 = "IMAGE:p0:/$Recycle.Bin/%s/" % SID_1001
        # $RUVFB0M.rtf was deleted with its index file: its name is still in
        # the folder, its entry unallocated.
        self.assertIn(bin_1001 + "$RUVFB0M.rtf", deleted)
        uvf = records[bin_1001 + "$IUVFB0M.rtf"]
        self.assertEqual((uvf["companion"], uvf["warnings"]), ("missing", "recovered;companion-deleted"))
        # The one left in place is a companion; one never there is missing.
        self.assertEqual(records[bin_1001 + "$I1IS2OK.txt"]["warnings"], "recovered")
        self.assertEqual(records[bin_1001 + "$I1IS2OK.txt"]["companion"], "file")
        self.assertEqual(records[bin_1001 + "$I0JGHX7"]["warnings"], "recovered")
        # The two Vista copies of 543 bytes, carved.
        for name, when in (("$IYAR1YY.exe", "2007-09-21T07:54:23"), ("$IC6GEAW.exe", "2007-09-21T08:50:16")):
            r = records[bin_1001 + name]
            self.assertEqual((r["size"], r["deleted"][:19]), ("", when), name)
            self.assertEqual(r["warnings"], "recovered;one-byte-short", name)
        # Without --carve, no record doubts its companion.
        code, out, err = self.run_image(self.image, ["-f", "$I*.*", "--format=csv"])
        self.assertNotIn(b"companion-deleted", out)

    def test_carving_a_partitioned_disk_carves_its_ntfs_volume(self):
        disk = self.path("disk.img")
        small = self.path("small.img")
        self.build(images.build_fat32, small, [images.Entry("RECYCLED")], 40)
        self.build(images.build_partitioned, disk, [(self.image, 16, "7"), (small, 40, "c")])
        code, one, err = self.run_image(self.image, ["-f", "$I*.*", "--carve"])
        code2, both, err2 = self.run_image(disk, ["-f", "$I*.*", "--carve"], env={"TZ": "UTC"})
        self.assertEqual(code2, 0, err2)
        self.assertEqual(both, one)


if __name__ == "__main__":
    unittest.main()
