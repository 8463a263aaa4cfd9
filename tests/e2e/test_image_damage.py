"""Evidence images that are damaged, incomplete or hostile: a folder index
overwritten with zeros, image sets with a missing, short or FIFO segment,
an E01 chunk that fails its checksum, stale folder index entries, a GPT
whose 65,536 entries name one volume, deleted files with index-file names
outside the bins, a raw disk that ends with a stored VHD footer, folder
indexes whose entries disagree with the MFT entries they name.  Every
image is built once per class (images.py), The Sleuth Kit's own tools say
what is in it, and after every run every file of the image's set has the
same bytes and modification time."""

import json
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

import images
from binsift_e2e import BINSIFT, HEADER, run
from test_image import images_supported, report_rows

SID_1001, SID_1002, SID_1003 = images.SID_1001, images.SID_1002, images.SID_1003
# An index file too long for its MFT entry: its data lies in clusters.
LONG = ("$ILONGIX.txt", images.long_index_file(3333, "c"))
LONG_PATH = "$Recycle.Bin/%s/%s" % (SID_1002, LONG[0])


def damage_entries():
    entries = images.sample_entries()
    entries.append(images.Entry(LONG_PATH, LONG[1]))
    return entries


def records(out):
    return [json.loads(line) for line in out.decode().splitlines()]


def problems(err):
    """The lines of the error stream that name something of the image."""
    return [line for line in err.decode(errors="replace").split("\n")
            if line.startswith(("Can't", "Image ", "No recycle"))]


def by_source(got):
    """Records in the order of their sources (a folder listed from its
    entries rather than its damaged index lists them in another order);
    the records of one source keep theirs."""
    return sorted(got, key=lambda r: r["source"])


def without_volume_fields(record):
    """A record as far as it does not depend on where the image came from."""
    return {k: v for k, v in record.items() if k not in ("image",)}


class DamageTest(unittest.TestCase):
    """Images built once for the class in a folder of its own."""

    @classmethod
    def setUpClass(cls):
        if not images_supported():
            raise unittest.SkipTest("this build reads no images")
        cls.dir = tempfile.mkdtemp(prefix="binsift-damage-")
        try:
            cls.build()
        except images.Unavailable as e:
            shutil.rmtree(cls.dir, True)
            raise unittest.SkipTest(str(e))
        except BaseException:
            shutil.rmtree(cls.dir, True)
            raise

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, True)

    @classmethod
    def at(cls, *parts):
        return os.path.join(cls.dir, *parts)

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="binsift-e2e-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def state(self, folder):
        """Bytes and modification time of every regular file of `folder`."""
        out = {}
        for name in sorted(os.listdir(folder)):
            p = os.path.join(folder, name)
            st = os.lstat(p)
            if stat.S_ISREG(st.st_mode):
                out[name] = (images.sha256(p), st.st_mtime_ns)
        return out

    def run_image(self, image, args, env=None, timeout=120):
        """Runs binsift on `image`; every file beside it (its set) must be
        unchanged afterwards."""
        folder = os.path.dirname(image)
        before = self.state(folder)
        result = run(["--image=" + image] + list(args), cwd=self.tmp, env=env, timeout=timeout)
        self.assertEqual(self.state(folder), before, "the run changed a file of the image's set")
        return result

    def jsonl(self, image, args=(), expect=None, timeout=120):
        """The records of a run, each without its image (the image as given,
        checked here), so that copies of one image compare equal."""
        code, out, err = self.run_image(image, ["--format=jsonl"] + list(args), timeout=timeout)
        if expect is not None:
            self.assertEqual(code, expect, err[-3000:])
        got = records(out)
        for record in got:
            self.assertEqual(record.pop("image"), image)
        return code, got, problems(err)


def copy_of(source, target):
    shutil.copyfile(source, target)
    return target


def zero(path, offset, size):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(b"\0" * size)


class FolderIndexDamage(DamageTest):
    """One zeroed cluster of /$Recycle.Bin's $INDEX_ALLOCATION, as an imager
    writes over a bad sector; and a user folder whose MFT entry is zeroed."""

    @classmethod
    def build(cls):
        os.makedirs(cls.at("intact"))
        os.makedirs(cls.at("index"))
        os.makedirs(cls.at("entry"))
        cls.intact = images.build_ntfs(cls.at("intact", "ntfs.img"), damage_entries())
        cls.bin_inode = images.tsk_inode(cls.intact, "/$Recycle.Bin")
        clusters = images.tsk_attribute_clusters(cls.intact, cls.bin_inode, "$INDEX_ALLOCATION")
        if not clusters:
            raise AssertionError("the bin's folder index has no $INDEX_ALLOCATION")
        cls.index = copy_of(cls.intact, cls.at("index", "ntfs.img"))
        zero(cls.index, clusters[0] * 4096, 4096)
        cls.entry = copy_of(cls.intact, cls.at("entry", "ntfs.img"))
        cls.folder_inode = images.tsk_inode(cls.intact, "/$Recycle.Bin/" + SID_1003)
        mft = images.tsk_attribute_clusters(cls.intact, 0, "$DATA")[0] * 4096
        zero(cls.entry, mft + int(cls.folder_inode) * 1024, 1024)

    def test_the_sleuth_kit_rebuilds_the_folders_without_a_name_type(self):
        listing = subprocess.run(["fls", self.index, self.bin_inode], check=True,
                                 stdout=subprocess.PIPE).stdout.decode()
        for sid in (SID_1001, SID_1002, SID_1003):
            self.assertRegex(listing, r"(^|\n)-/d \d+-144-\d+:\t%s\n" % sid)
        intact = subprocess.run(["fls", "-r", self.intact], check=True, stdout=subprocess.PIPE).stdout
        damaged = subprocess.run(["fls", "-r", self.index], check=True, stdout=subprocess.PIPE).stdout
        count = lambda text: len(re.findall(rb"\t\$I[^\n]*\n", text))
        self.assertEqual(count(damaged), count(intact))
        self.assertEqual(count(damaged), 27)

    def test_every_record_of_the_intact_image_is_there(self):
        code, intact, _ = self.jsonl(self.intact, ["-f", "$I*.*"], expect=0)
        code, damaged, said = self.jsonl(self.index, ["-f", "$I*.*"], expect=0)
        self.assertEqual(said, [])
        # One record per index file (fls counts them), and the contents of
        # its recycled folders.
        self.assertEqual(len([r for r in intact if r["format"] != "content"]), 27)
        # The folders come in the order of their MFT entries now.
        key = lambda r: r["source"]
        self.assertEqual(sorted(map(without_volume_fields, damaged), key=key),
                         sorted(map(without_volume_fields, intact), key=key))
        # And the classic report: no folder is taken for an index file.
        code, out, err = self.run_image(self.index, [])
        self.assertEqual(code, 0, err[-2000:])
        self.assertNotIn(b"Can't open", out)
        code2, out2, _ = self.run_image(self.intact, [])
        self.assertEqual(sorted(report_rows(out)), sorted(report_rows(out2)))

    def test_a_folder_whose_entry_cannot_be_loaded_is_named_with_the_librarys_reason(self):
        istat = subprocess.run(["istat", self.entry, self.folder_inode], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
        self.assertNotEqual(istat.returncode, 0)
        reason = istat.stderr.decode().strip()
        self.assertTrue(reason)
        code, damaged, said = self.jsonl(self.entry, ["-f", "$I*.*"], expect=10)
        self.assertEqual(said, ["Can't read entry /$Recycle.Bin/%s: image %s, partition p0: %s"
                                % (SID_1003, self.entry, reason)])
        code, intact, _ = self.jsonl(self.intact, ["-f", "$I*.*"], expect=0)
        self.assertEqual([r for r in damaged], [r for r in intact if SID_1003 not in r["source"]])


class IncompleteSets(DamageTest):
    """An E01 set without one segment, a split raw set with a segment 1 MiB
    short, an E01 chunk that fails its checksum, raw images cut short.  The
    bins' folder indexes, INFO2 files and one index file lie in clusters
    from 2560 on (10 MiB into the volume); the MFT, with the other index
    files, in its first megabyte."""

    @classmethod
    def build(cls):
        cls.raw = images.build_ntfs(cls.at("ntfs.img"), damage_entries())
        cls.long_inode = images.tsk_inode(cls.raw, "/" + LONG_PATH)
        cls.long_clusters = images.tsk_attribute_clusters(cls.raw, cls.long_inode, "$DATA")
        # Every file of the bins whose data is in clusters, and where.
        cls.nonresident = {}
        for e in damage_entries():
            if e.data is None or not e.path.startswith(("$Recycle.Bin/", "RECYCLER/")):
                continue
            clusters = images.tsk_attribute_clusters(cls.raw, images.tsk_inode(cls.raw, "/" + e.path),
                                                     "$DATA")
            if clusters:
                cls.nonresident["/" + e.path] = clusters
        os.makedirs(cls.at("e01"))
        cls.segments = images.build_e01_segments(cls.raw, cls.at("e01", "copy"))
        os.makedirs(cls.at("split"))
        # Segments of 5.25 MiB: the second, 1 MiB short, leaves bytes 9.5 to
        # 10.5 MiB out, where the data clusters are.
        cls.split = images.build_split_raw(cls.raw, cls.at("split", "disk"), 5376 << 10)
        os.truncate(cls.split[1], os.path.getsize(cls.split[1]) - (1 << 20))

    def expected_with_unreadable_data(self, unreadable):
        """The intact image's records, in the order of their sources, each
        file whose data is unreadable (`unreadable(cluster)`) one short
        record with "truncated" (none of them has a companion, and an INFO2
        file read as nothing is no INFO2 file)."""
        code, intact, _ = self.jsonl(self.raw, expect=0)
        expected = []
        for r in intact:
            path = r["source"][len("IMAGE:p0:"):]
            clusters = self.nonresident.get(path)
            if not (clusters and any(unreadable(c) for c in clusters)):
                expected.append(r)
            elif not expected or expected[-1]["source"] != r["source"]:
                short = dict(r)
                for field in ("size", "deleted", "original_path", "extension"):
                    short[field] = None
                if r["format"] == "info2":
                    # Its records' companions were the items beside it, each
                    # named by its record.
                    for field in ("companion_size", "companion_modified", "companion_accessed",
                                  "companion_created", "companion_changed"):
                        short[field] = None
                    short["companion"] = "missing"
                    short["entry_name"] = path.rsplit("/", 1)[1]
                short.update(format="unknown", warnings=["truncated"])
                expected.append(short)
        return by_source(expected)

    def test_the_data_clusters_lie_where_the_recipe_says(self):
        for path in ("/" + LONG_PATH, "/RECYCLER/%s/INFO2" % images.SID_500,
                     "/RECYCLER/%s/INFO2_MultiFiles" % images.SID_500):
            self.assertIn(path, self.nonresident)
        for clusters in self.nonresident.values():
            for c in clusters:
                self.assertGreaterEqual(c * 4096, 10 << 20)
                self.assertLess(c * 4096, (10 << 20) + (512 << 10))
        self.assertGreater(len(self.segments), 12)

    def test_an_e01_set_without_a_segment(self):
        gone = self.segments[10]  # .E11: each segment holds less than 1 MiB
        self.assertTrue(gone.endswith(".E11"))
        moved = gone + ".away"
        os.rename(gone, moved)
        try:
            code, got, said = self.jsonl(self.segments[0], expect=10)
        finally:
            os.rename(moved, gone)
        self.assertEqual(said[0], "Can't read image %s: segment %s is missing" % (self.segments[0], gone))
        # The ten segments before it hold less than 10 MiB: every data
        # cluster is past them.
        self.assertEqual(by_source(got), self.expected_with_unreadable_data(lambda c: True))
        for path in self.nonresident:
            self.assertTrue(any(line.startswith("Can't read file %s: image %s, partition p0: "
                                                "Error reading image file (segment %s is missing)"
                                                % (path, self.segments[0], gone)) for line in said),
                            said)
        # What was read is what the intact set gives.
        code, whole, said = self.jsonl(self.segments[0], expect=0)
        self.assertEqual(said, [])

    def test_an_e01_set_whose_last_segment_is_missing(self):
        gone = self.segments[-1]
        moved = gone + ".away"
        os.rename(gone, moved)
        try:
            code, got, said = self.jsonl(self.segments[0], expect=10)
        finally:
            os.rename(moved, gone)
        # Its last segment says that one follows.
        self.assertEqual(said, ["Can't read image %s: segment %s is missing" % (self.segments[0], gone)])
        code, intact, _ = self.jsonl(self.raw, expect=0)
        self.assertEqual(got, intact)

    def test_a_split_raw_segment_one_megabyte_short(self):
        start = 5376 << 10
        code, got, said = self.jsonl(self.split[0], expect=10)
        self.assertEqual(said[0], "Can't read image %s: segment %s is 1048576 bytes shorter than the "
                                  "other segments (bytes %d to %d of the image are missing)"
                         % (self.split[0], self.split[1], 2 * start - (1 << 20), 2 * start - 1))
        missing = lambda c: 2 * start - (1 << 20) <= c * 4096 < 2 * start
        self.assertEqual(by_source(got), self.expected_with_unreadable_data(missing))
        # The bytes after the gap are where they belong: nothing moved to
        # $OrphanFiles, no index file lost.
        self.assertFalse([r for r in got if "$OrphanFiles" in r["source"]])

    def test_an_e01_chunk_that_fails_its_checksum(self):
        folder = self.at("bad-chunk")
        os.makedirs(folder, exist_ok=True)
        copies = [copy_of(s, os.path.join(folder, os.path.basename(s))) for s in self.segments]
        chunk_offset = (self.long_clusters[0] * 4096) // 32768 * 32768
        with open(self.raw, "rb") as f:
            f.seek(chunk_offset)
            chunk = f.read(32768)
        for copy in copies:
            with open(copy, "r+b") as f:
                data = f.read()
                at = data.find(chunk)
                if at >= 0:
                    f.seek(at + 2000)
                    f.write(bytes([data[at + 2000] ^ 0x5A]))
                    break
        else:
            self.fail("the chunk is in no segment")
        # libewf's own tool finds the same chunk.
        verify = subprocess.run(["ewfverify", "-q", copies[0]], stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT).stdout.decode()
        m = re.search(r"at sector\(s\): (\d+) - (\d+)", verify)
        self.assertTrue(m, verify)
        self.assertEqual(int(m.group(1)) * 512, chunk_offset)
        code, got, said = self.jsonl(copies[0], expect=10)
        self.assertEqual(said[0], "Can't read image %s: chunk at offset %d fails its checksum"
                         % (copies[0], chunk_offset))
        bad = lambda c: chunk_offset <= c * 4096 < chunk_offset + 32768
        self.assertEqual(by_source(got), self.expected_with_unreadable_data(bad))
        self.assertIn("Can't read file /%s: image %s, partition p0: Error reading image file (chunk at "
                      "offset %d fails its checksum)" % (LONG_PATH, copies[0], chunk_offset), said)

    def test_a_raw_image_cut_short_is_named_with_where_it_ends(self):
        # The volume's end as The Sleuth Kit's fsstat gives its clusters.
        fsstat = subprocess.run(["fsstat", self.raw], check=True, stdout=subprocess.PIPE).stdout.decode()
        last = int(re.search(r"Total Cluster Range: 0 - (\d+)", fsstat).group(1))
        end = (last + 1) * 4096
        cut = copy_of(self.raw, os.path.join(self.tmp, "cut.img"))
        os.truncate(cut, 12 << 20)
        code, got, said = self.jsonl(cut, expect=10)
        self.assertEqual(said, ["Can't read image %s: it ends at byte %d, before the end of partition p0 "
                                "at byte %d" % (cut, 12 << 20, end)])
        code, intact, _ = self.jsonl(self.raw, expect=0)
        self.assertEqual([without_volume_fields(r) for r in got], [without_volume_fields(r) for r in intact])

    def test_a_file_system_that_cannot_be_opened_is_named_with_the_librarys_reason(self):
        cut = copy_of(self.raw, os.path.join(self.tmp, "cut.img"))
        os.truncate(cut, 300000)
        fsstat = subprocess.run(["fsstat", "-f", "ntfs", cut], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        reason = fsstat.stderr.decode().strip()
        self.assertIn("Address missing in partial image: 519", reason)
        code, out, err = self.run_image(cut, [])
        self.assertEqual(code, 10)
        self.assertEqual(out, HEADER)
        said = problems(err)
        with open(self.raw, "rb") as f:
            boot = f.read(512)
        size = int.from_bytes(boot[0x28:0x30], "little") * 512
        self.assertEqual(said, [
            "Can't read image %s: it ends at byte 300000, before the end of partition p0 at byte %d"
            % (cut, size),
            "Can't read image %s: the NTFS file system it holds cannot be read (%s)" % (cut, reason)])


class StaleIndexEntries(DamageTest):
    """A folder of 2,000 index files whose first 1,000 were deleted: its
    index keeps entries of deleted files in records no longer in use, which
    The Sleuth Kit lists as live."""

    COUNT, DELETED = 2000, 1000

    @classmethod
    def build(cls):
        cls.image = images.build_large_bin(cls.at("large.img"), cls.COUNT)
        images.delete_in_large_bin(cls.image, range(cls.DELETED))

    def test_the_sleuth_kit_lists_stale_entries_as_live(self):
        listing = subprocess.run(["fls", "-r", "-u", "-p", self.image], check=True,
                                 stdout=subprocess.PIPE).stdout.decode()
        listed = re.findall(r"r/r (\d+)-\d+-\d+:\t\$Recycle\.Bin/[^/]+/\$I(\d{5})\.txt\n", listing)
        stale = [(inode, n) for inode, n in listed if int(n) < self.DELETED]
        self.assertTrue(stale, "the recipe leaves no stale entry")
        for inode, _ in stale[:5]:
            istat = subprocess.run(["istat", self.image, inode], check=True,
                                   stdout=subprocess.PIPE).stdout.decode()
            self.assertIn("Not Allocated", istat)

    def test_only_allocated_entries_are_records(self):
        code, got, said = self.jsonl(self.image, ["-f", "$I*.*"], expect=0)
        self.assertEqual(said, [])
        self.assertEqual(sorted(r["size"] for r in got), list(range(self.DELETED, self.COUNT)))
        self.assertTrue(all(r["warnings"] == [] for r in got))

    def test_with_carve_every_entry_is_one_record_with_its_folder(self):
        code, got, said = self.jsonl(self.image, ["-f", "$I*.*", "--carve"], expect=0)
        self.assertEqual(said, [])
        live = [r for r in got if "recovered" not in r["warnings"]]
        recovered = [r for r in got if "recovered" in r["warnings"]]
        self.assertEqual(got, live + recovered)
        self.assertEqual(sorted(r["size"] for r in recovered), list(range(self.DELETED)))
        self.assertEqual(len({r["source"] for r in got}), self.COUNT)
        folder = "IMAGE:p0:/$Recycle.Bin/%s/" % SID_1001
        for r in recovered:
            self.assertEqual(r["source"], folder + "$I%05d.txt" % r["size"])
            self.assertEqual(r["user_sid"], SID_1001)


class UnsafeSets(DamageTest):
    """Sets with a FIFO where a segment, an extent or a parent belongs:
    opening one would block the run."""

    @classmethod
    def build(cls):
        cls.raw = images.build_ntfs(cls.at("ntfs.img"), damage_entries())
        for name in ("split", "e01", "vmdk", "vhd"):
            os.makedirs(cls.at(name))
        cls.split = images.build_split_raw(cls.raw, cls.at("split", "disk"), 5 << 20)
        cls.segments = images.build_e01_segments(cls.raw, cls.at("e01", "copy"))
        cls.vmdk = cls.at("vmdk", "disk.vmdk")
        try:
            cls.extents = images.build_vmdk_split_sparse(cls.raw, cls.vmdk)
        except images.Unavailable as e:
            cls.extents = None
            cls.no_vmdk = str(e)
        cls.vhd = images.build_vhd_differencing(cls.at("vhd", "child.vhd"), "base.vhd")
        for fifo in (cls.split[1], cls.segments[1]) + ((cls.extents[0],) if cls.extents else ()):
            os.rename(fifo, fifo + ".away")
            os.mkfifo(fifo)
        os.mkfifo(cls.at("vhd", "base.vhd"))

    def test_a_split_raw_segment_that_is_a_fifo(self):
        code, got, said = self.jsonl(self.split[0], timeout=60, expect=10)
        self.assertEqual(said, ["Can't read image %s: segment %s is not a regular file"
                                % (self.split[0], self.split[1])])
        # Bytes 5 to 10 MiB hold nothing the bins use: every record is there.
        code, intact, _ = self.jsonl(self.raw, expect=0)
        self.assertEqual([without_volume_fields(r) for r in got],
                         [without_volume_fields(r) for r in intact])

    def test_an_e01_segment_that_is_a_fifo(self):
        code, out, err = self.run_image(self.segments[0], [], timeout=60)
        self.assertEqual(code, 10)
        said = problems(err)
        self.assertEqual(said[0], "Can't read image %s: segment %s is not a regular file"
                         % (self.segments[0], self.segments[1]))

    def test_a_vmdk_extent_that_is_a_fifo(self):
        if not self.extents:
            self.skipTest(self.no_vmdk)
        code, out, err = self.run_image(self.vmdk, [], timeout=60)
        self.assertEqual((code, out), (10, HEADER))
        self.assertEqual(problems(err), [
            "Can't read image %s: extent %s is not a regular file" % (self.vmdk, self.extents[0]),
            "Can't read image %s: it is not opened, since its VMDK reader would open a file of it "
            "that is not a regular file" % self.vmdk])

    def test_a_vhd_parent_that_is_a_fifo(self):
        code, out, err = self.run_image(self.vhd, [], timeout=60)
        self.assertEqual(code, 10)
        self.assertEqual(problems(err)[0], "Can't read image %s: parent %s is not a regular file"
                         % (self.vhd, self.at("vhd", "base.vhd")))


class CarvingScope(DamageTest):
    """Deleted index files in a user's bin, and a deleted picture of the
    user's whose name starts with "$I" outside any bin."""

    @classmethod
    def build(cls):
        entries = images.sample_entries()
        entries.append(images.Entry("Users/u"))
        entries.append(images.Entry("Users/u/Pictures"))
        entries.append(images.Entry("Users/u/Pictures/$Image.png", b"\x89PNG\r\n\x1a\n" + b"p" * 40))
        cls.image = images.build_ntfs(cls.at("scope.img"), entries)
        with images.NtfsMount(cls.image) as root:
            os.remove(os.path.join(root, "Users/u/Pictures/$Image.png"))
            folder = os.path.join(root, "$Recycle.Bin", SID_1001)
            for name in os.listdir(folder):
                if name.startswith("$I"):
                    os.remove(os.path.join(folder, name))
        cls.deleted = sorted(n for n in os.listdir(os.path.join(images.SAMPLES, "rifiuti2/dir-sample1"))
                             if n.startswith("$I"))

    def recovered(self, args):
        code, got, said = self.jsonl(self.image, ["--carve"] + list(args), expect=0)
        self.assertEqual(said, [])
        return sorted(r["source"].rsplit(":", 1)[1] for r in got if "recovered" in r["warnings"])

    def test_the_sleuth_kit_sees_the_deleted_picture(self):
        listing = subprocess.run(["fls", "-r", "-d", "-p", self.image], check=True,
                                 stdout=subprocess.PIPE).stdout.decode()
        self.assertRegex(listing, r"\* \d+-128-\d+:\tUsers/u/Pictures/\$Image\.png\n")

    def test_only_the_bins_deleted_index_files(self):
        folder = "/$Recycle.Bin/%s/" % SID_1001
        self.assertEqual(self.recovered(["-f", "$I*.*"]), sorted(folder + n for n in self.deleted))
        self.assertEqual(self.recovered([]), sorted(folder + n for n in self.deleted))

    def test_patterns_and_exclusions_select_as_in_the_walk(self):
        folder = "/$Recycle.Bin/%s/" % SID_1001
        self.assertEqual(self.recovered(["-f", "$I1*.*"]),
                         [folder + "$I1IS2OK.txt", folder + "$I1TDH1G.exe"])
        self.assertEqual(self.recovered(["-f", "$I*.*", "-x", "*.exe"]),
                         sorted(folder + n for n in self.deleted if not n.endswith(".exe")))

    def test_the_listed_paths_are_the_scope(self):
        self.assertEqual(self.recovered(["-p", "/$Recycle.Bin/" + SID_1002]), [])
        self.assertEqual(self.recovered(["-p", "/Users", "-f", "$I*.*"]), ["/Users/u/Pictures/$Image.png"])
        self.assertEqual(self.recovered(["-p", "/Users", "-f", "$I*.*", "-r"]), [])


class RepeatedGptEntries(DamageTest):
    """A GPT whose 65,536 entries all name one NTFS volume."""

    ENTRIES = 65536

    @classmethod
    def build(cls):
        start = images.gpt_repeated_start(cls.ENTRIES)
        cls.volume = images.build_ntfs(cls.at("volume.img"), images.sample_entries(), 16, start)
        cls.disk = cls.at("gpt.img")
        images.build_gpt_repeated(cls.disk, cls.volume, 16, cls.ENTRIES)
        # A small disk of the same kind, for The Sleuth Kit's mmls.
        cls.small = cls.at("small.img")
        cls.small_volume = images.build_ntfs(cls.at("small-volume.img"), images.sample_entries(), 16,
                                             images.gpt_repeated_start(4))
        images.build_gpt_repeated(cls.small, cls.small_volume, 16, 4)

    def test_the_sleuth_kit_numbers_the_partitions(self):
        table = subprocess.run(["mmls", self.small], check=True, stdout=subprocess.PIPE).stdout.decode()
        start = images.gpt_repeated_start(4)
        for n in range(4):
            self.assertRegex(table, r"\n%03d:  %03d       %010d   %010d   0000032768   Basic data partition\n"
                             % (4 + n, n, start, start + 32767))
        code, out, err = self.run_image(self.small, ["-f", "$I*.*"])
        self.assertEqual(code, 0)
        self.assertEqual(problems(err), [
            "Image %s: partition p%d (sectors %d to %d) names the same sectors as partition p4 and is "
            "read once, as p4" % (self.small, n, start, start + 32767) for n in (5, 6, 7)])

    def test_one_volume_read_once_in_little_memory(self):
        script = ("import resource, subprocess, sys\n"
                  "p = subprocess.run(sys.argv[1:], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,"
                  " stderr=subprocess.PIPE)\n"
                  "sys.stdout.buffer.write(b'%d %d %d\\n' % (p.returncode, len(p.stdout),"
                  " resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss))\n"
                  "sys.stdout.buffer.write(p.stdout + b'\\0' + p.stderr)\n")
        before = self.state(self.dir)
        result = subprocess.run([sys.executable, "-c", script, BINSIFT, "--image=" + self.disk,
                                 "-f", "$I*.*"], stdout=subprocess.PIPE, timeout=280, check=True,
                                cwd=self.tmp).stdout
        self.assertEqual(self.state(self.dir), before)
        head, rest = result.split(b"\n", 1)
        code, out_size, peak_kb = map(int, head.split())
        out, err = rest[:out_size], rest[out_size + 1:]
        self.assertEqual(code, 0, problems(err)[-3:])
        code1, out1, _ = self.run_image(self.volume, ["-f", "$I*.*"])
        self.assertEqual(out.replace(b"IMAGE:p4:", b"IMAGE:p0:"), out1)
        said = problems(err)
        self.assertEqual(len(said), self.ENTRIES - 1)
        start = images.gpt_repeated_start(self.ENTRIES)
        self.assertEqual(said[0], "Image %s: partition p5 (sectors %d to %d) names the same sectors as "
                                  "partition p4 and is read once, as p4" % (self.disk, start, start + 32767))
        self.assertTrue(said[-1].startswith("Image %s: partition p%d " % (self.disk, self.ENTRIES + 3)))
        if not os.environ.get("BINSIFT_SANITIZED"):
            self.assertLessEqual(peak_kb, 64 * 1024)


class StoredVhdFooter(DamageTest):
    """A raw disk whose last sector holds a VHD footer its reader refuses
    (a dynamic disk's, whose header is not where the footer says)."""

    @classmethod
    def build(cls):
        cls.raw = images.build_ntfs(cls.at("ntfs.img"), images.sample_entries())
        cls.disk = cls.at("disk.img")
        with open(cls.raw, "rb") as f, open(cls.disk, "wb") as g:
            g.write(f.read())
            g.write(images.vhd_footer(16 << 20, 3, 512))

    def test_the_disk_is_read_as_raw_and_the_failing_reader_named(self):
        # The Sleuth Kit's VHD reader refuses it; its detection then reads
        # it as a raw image.
        vhd = subprocess.run(["img_stat", "-i", "vhd", self.disk], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT)
        self.assertNotEqual(vhd.returncode, 0)
        self.assertIn(b"unsupported signature", vhd.stdout)
        stat_out = subprocess.run(["img_stat", self.disk], check=True,
                                  stdout=subprocess.PIPE).stdout.decode()
        self.assertRegex(stat_out, r"Image Type:\s+raw\n")
        code, out, err = self.run_image(self.disk, [])
        self.assertEqual(code, 0, err[-2000:])
        said = problems(err)
        self.assertEqual(len(said), 1, said)
        self.assertRegex(said[0], r"^Image %s: the VHD reader cannot open it \(.*unsupported signature.*\); "
                                  r"it is read as a raw image$" % re.escape(self.disk))
        code1, out1, _ = self.run_image(self.raw, [])
        self.assertEqual((code, out), (code1, out1))
        self.assertGreater(len(report_rows(out)), 30)



class DisagreeingNames(DamageTest):
    """Folder indexes and MFT entries that disagree (images.build_ntfs_names):
    The Sleuth Kit lists a name twice, for two entries, or one entry under
    two names.  Each entry gives one record, under the name its own metadata
    gives it, and what is passed over is named."""

    @classmethod
    def build(cls):
        cls.image = images.build_ntfs_names(cls.at("ntfs.img"))
        listing = subprocess.run(["fls", "-r", "-p", cls.image], check=True,
                                 stdout=subprocess.PIPE).stdout.decode()
        cls.fls = re.findall(r"^(\S)/(\S) (\d+)-\d+-\d+:\t(.*)$", listing, re.M)

    def entries(self, path, name_type=None):
        """The MFT entries fls lists at `path` (with the name type given)."""
        return [int(e) for t, _, e, p in self.fls if p == path and name_type in (None, t)]

    def test_the_sleuth_kit_lists_names_twice(self):
        folder = "$Recycle.Bin/%s/" % SID_1001
        twice = sorted(self.entries(folder + "$IBBBBBB.txt"))
        self.assertEqual(len(twice), 2)
        self.assertEqual(twice, sorted(self.entries(folder + "$IBBBBBB.txt", "-") + self.entries(folder + "$RFOLDER")))
        self.assertEqual(len(set(self.entries("$Recycle.Bin"))), 2)
        folder = "$Recycle.Bin/%s/" % SID_1002
        self.assertEqual(len(self.entries(folder + "$ICCCCCC.txt")), 1)
        self.assertEqual(self.entries(folder + "$ICCCCCC.txt"), self.entries(folder + "%ICCCCCC.txt", "-"))
        self.assertEqual(len(self.entries(folder)), 1)
        self.assertEqual(self.entries(folder), self.entries(folder + "$IEEEEEE.txt", "-"))

    def expected(self):
        """What the run names, with the entries fls lists."""
        bin_ = "$Recycle.Bin/"
        the_bin = self.entries("$Recycle.Bin", "-")[0]
        sid_1004 = self.entries(bin_ + images.SID_1004)[0]
        sid_1001 = self.entries(bin_ + SID_1001)[0]
        c = self.entries(bin_ + SID_1002 + "/%ICCCCCC.txt")[0]
        a = self.entries(bin_ + SID_1001 + "/$IAAAAAA.txt")[0]
        d = self.entries(bin_ + "%s/$IDDDDDD.txt" % images.SID_1003, "-")[0]
        linked = self.entries(bin_ + SID_1001 + "/$ILINKED.txt")[0]
        # The hard link's first name, as istat lists its names.
        istat = subprocess.run(["istat", self.image, str(linked)], check=True,
                               stdout=subprocess.PIPE).stdout.decode()
        first_parent = int(re.search(r"\$FILE_NAME Attribute Values:\nFlags:.*\nName:.*\n"
                                     r"Parent MFT Entry: (\d+)", istat).group(1))
        second = images.SID_1004 if first_parent == sid_1001 else SID_1001
        context = ": image %s, partition p0: " % self.image
        said = [
            "Can't read entry /$Recycle.Bin%sthe folder lists this name for MFT entry %d, whose own name "
            "is %s in the folder of MFT entry %d; MFT entry %d, whose own name this is, is read under it; "
            "MFT entry %d is read only where its own name places it"
            % (context, sid_1004, images.SID_1004, the_bin, the_bin, sid_1004),
            "Can't read entry /$Recycle.Bin/%s/$ICCCCCC.txt%sthe folder lists this name for MFT entry %d, "
            "whose own name is %%ICCCCCC.txt; MFT entry %d is read under its own name" % (SID_1002, context, c, c),
            "Can't read entry /$Recycle.Bin/%s/$IDDDDDD.txt%sthe folder lists this name for MFT entry %d, "
            "whose own name is $IAAAAAA.txt in the folder of MFT entry %d; MFT entry %d, whose own name this "
            "is, is read under it; MFT entry %d is read only where its own name places it"
            % (images.SID_1003, context, a, sid_1001, d, a),
            "Can't read entry /$Recycle.Bin/%s/$ILINKED.txt%sthe folder lists this name for MFT entry %d, "
            "whose first name is $ILINKED.txt in the folder of MFT entry %d; MFT entry %d is read only where "
            "its first name places it" % (second, context, linked, first_parent, linked)]
        if second == SID_1001:  # told with SID 1001's listing, before the others
            said.insert(1, said.pop())
        records = {"IMAGE:p0:/$Recycle.Bin/%s/%s" % (sid, name): number
                   for sid, files in images.NAMES_FILES.items() for name, number in files}
        # The hard link's record is made under its first name.
        first = SID_1001 if second == images.SID_1004 else images.SID_1004
        records["IMAGE:p0:/$Recycle.Bin/%s/$ILINKED.txt" % first] = \
            records.pop("IMAGE:p0:/$Recycle.Bin/%s/$ILINKED.txt" % SID_1001)
        records["IMAGE:p0:/$Recycle.Bin/%s/%%ICCCCCC.txt" % SID_1002] = \
            records.pop("IMAGE:p0:/$Recycle.Bin/%s/$ICCCCCC.txt" % SID_1002)
        return said, records

    def test_each_entry_gives_one_record_and_what_is_passed_over_is_named(self):
        said, expected = self.expected()
        code, got, told = self.jsonl(self.image, ["-f", "$I*.*", "-f", "%I*.*"], expect=10)
        self.assertEqual(told, said)
        self.assertEqual({r["source"]: r["size"] for r in got}, expected)
        self.assertEqual(len(got), len(expected))
        self.assertFalse([r for r in got if r["warnings"]])

    def test_a_name_only_the_index_gives_is_named_when_the_pattern_misses_the_own_name(self):
        said, expected = self.expected()
        code, got, told = self.jsonl(self.image, ["-f", "$I*"], expect=10)
        # %ICCCCCC.txt, its own name, is no index file's; the name the
        # index gives it is told.
        self.assertEqual(told, said)
        self.assertEqual(sorted(r["source"] for r in got), sorted(s for s in expected if "%" not in s))

    def test_a_folder_is_walked_once_per_volume(self):
        code, once, told = self.jsonl(self.image, ["-f", "$I*.*", "-p", "/$Recycle.Bin"], expect=10)
        user = "/$Recycle.Bin/" + SID_1001
        for paths in ([user, "/$Recycle.Bin"], ["/$Recycle.Bin", user, user.upper() + "/."]):
            args = ["-f", "$I*.*"]
            for p in paths:
                args += ["-p", p]
            code, got, told_again = self.jsonl(self.image, args, expect=10)
            self.assertEqual(sorted(r["source"] for r in got), sorted(r["source"] for r in once), paths)
            self.assertEqual(sorted(told_again), sorted(told))

if __name__ == "__main__":
    unittest.main()
