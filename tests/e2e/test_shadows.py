"""Shadow copies (--shadows): every NTFS volume's Volume Shadow Copy stores
read as volumes of their own, right after the volume, oldest first.

On the sample volume Windows wrote, each store's root is what The Sleuth
Kit's fls shows on that store as libvshadow's vshadowmount mounts it; on the
volumes vss_image.py builds, the bin exists only in the stores, and the
records and their companion times are the store's, as istat shows them on
the mounted store.  Damaged stores and images are named and the rest read;
the libraries are loaded only when asked for.  After every run the image
has the same SHA-256 and modification time as before."""

import contextlib
import csv
import io
import json
import os
import random
import re
import shutil
import struct
import subprocess
import tempfile
import unittest

import images
import vss_image
from binsift_e2e import HEADER, run
from vss_image import VSS_FOLDER, VshadowMount, fls

SAMPLE_BIN = "rifiuti2/dir-win10-01"
# What each store of the built volume holds in VSS_FOLDER (vss_image.py),
# and the live bin, which has none of them.
STORE_INDEX_FILES = {
    "p0:vss1": ["$I7R52EG.txt", "$IQ7LAXT.png"],
    "p0:vss2": ["$I7R52EG.txt", "$IDNLPD4.exe", "$IROMPZ0.exe"],
}

_SUPPORT = None


def shadows_supported():
    """None when the program under test reads shadow copies, else why not."""
    global _SUPPORT
    if _SUPPORT is None:
        code, out, err = run(["--shadows", "--image=/nonexistent.img", "-p", "/nonexistent"])
        _SUPPORT = ""
        for message in (b"Evidence images are not supported by this build",
                        b"Shadow copies are not supported by this build"):
            if message in err:
                _SUPPORT = message.decode()
    return _SUPPORT or None


def istat_iso(text):
    """istat -z UTC's "2015-03-30 10:00:01.123456700 (UTC)" as the UTF-8
    formats write it: "2015-03-30T10:00:01.1234567Z"."""
    m = re.fullmatch(r"(\d{4}-\d\d-\d\d) (\d\d:\d\d:\d\d\.\d{7})00 \(UTC\)", text)
    assert m, text
    return "%sT%sZ" % m.groups()


def csv_records(out):
    return list(csv.DictReader(io.StringIO(out.decode("utf-8"), newline="")))


def volume_of(source):
    """The volume a record's source names: "p0", "p0:vss1"."""
    m = re.match(r"IMAGE:(p\d+(?::vss\d+)?):/", source)
    assert m, source
    return m.group(1)


def vss_layout(data):
    """The catalog's offset in the built volume `data`, each store's first
    block-list block, and the older store's map from original 16 KiB
    blocks to where it keeps them in the volume."""
    le = lambda at: struct.unpack_from("<Q", data, at)[0]
    catalog = le(0x1e00 + 48)
    lists = [le(catalog + 128 + n * 128 + 8) for n in range(4) if le(catalog + 128 + n * 128) == 3]
    kept = {}
    block = lists[0]
    while block:
        for at in range(block + 128, block + vss_image.BLOCK - 31, 32):
            original, relative, offset = struct.unpack_from("<QQQ", data, at)
            if (original, relative, offset) == (0, 0, 0):
                break
            kept[original] = offset
        block = le(block + 40)
    return catalog, lists, kept


class ShadowImageTest(unittest.TestCase):
    """Builds the class's images once (skipped where this machine cannot);
    every run checks that the image it read is unchanged."""

    builders = {}

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="binsift-shadows-")
        cls.unavailable = shadows_supported()
        cls.paths = {}
        if cls.unavailable:
            return
        try:
            for name, builder in cls.builders.items():
                cls.paths[name] = builder(os.path.join(cls.work, name))
        except images.Unavailable as e:
            cls.unavailable = str(e)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, True)

    def setUp(self):
        if self.unavailable:
            self.skipTest(self.unavailable)

    def run_image(self, image, args, env=None):
        before = images.sha256(image)
        stamp = os.stat(image).st_mtime_ns
        result = run(["--image=" + image] + list(args), cwd=self.work,
                     env=dict({"TZ": "UTC"}, **(env or {})), timeout=300)
        self.assertEqual(images.sha256(image), before, "the run changed the image")
        self.assertEqual(os.stat(image).st_mtime_ns, stamp, "the run touched the image")
        return result

    @contextlib.contextmanager
    def mounted(self, image, offset=None):
        """vshadowmount's folder of the image's stores (skipped where FUSE
        cannot be had); the image is unchanged afterwards."""
        before = images.sha256(image)
        mount = VshadowMount(image, offset)
        try:
            folder = mount.__enter__()
        except images.Unavailable as e:
            self.skipTest(str(e))
        try:
            yield folder
        finally:
            mount.__exit__(None, None, None)
        self.assertEqual(images.sha256(image), before)

    def messages(self, err):
        """The error stream's lines that are neither progress, banner nor
        summary."""
        keep = []
        for line in err.decode("utf-8", "replace").split("\n"):
            line = line.strip("\b ").strip()
            if line and line.startswith(("Can't", "No recycle", "Image ")):
                keep.append(line)
        return keep


def root_files(image_or_store, offset=None):
    """The allocated regular files at the volume's root, in the order fls
    lists them, without NTFS's own metadata files."""
    names = fls(image_or_store, offset)
    return [path for path, (entry, deleted, kind) in names.items()
            if "/" not in path and not deleted and kind == "r/r"
            and not (entry < 16 and path.startswith("$"))]


class SampleVolume(ShadowImageTest):
    """vsstest: the sample volume Windows wrote, with two stores."""

    builders = {"vsstest.raw": vss_image.vsstest_raw}

    def test_each_stores_root_is_what_fls_shows_on_the_mounted_store(self):
        image = self.paths["vsstest.raw"]
        code, out, err = self.run_image(image, ["--shadows", "-p", "/", "-r", "-f", "*",
                                                "--format=csv"])
        self.assertEqual(code, 0, err)
        self.assertEqual(self.messages(err), [])
        rows = csv_records(out)
        shown = {}
        for row in rows:
            shown.setdefault(volume_of(row["source"]), []).append(row["source"].rpartition("/")[2])
        # The volumes in the design's order: the live one, then its stores
        # oldest first, each record's source naming its volume.
        self.assertEqual([volume_of(r["source"]) for r in rows],
                         sorted((volume_of(r["source"]) for r in rows),
                                key=["p0", "p0:vss1", "p0:vss2"].index))
        with self.mounted(image) as mnt:
            expected = {"p0:vss%d" % n: root_files(os.path.join(mnt, "vss%d" % n)) for n in (1, 2)}
        expected["p0"] = root_files(image)
        self.assertEqual(shown, expected)
        # As the recipe test found them: syslog only in the older store,
        # password.txt only live.
        self.assertEqual(shown, {"p0": ["another_file", "password.txt", "syslog.gz"],
                                 "p0:vss1": ["syslog"],
                                 "p0:vss2": ["another_file", "syslog.gz"]})
        for row in rows:
            self.assertEqual(row["source"], "IMAGE:%s:/%s" % (volume_of(row["source"]),
                                                              row["source"].rpartition("/")[2]))

    def test_without_shadows_only_the_live_volume_and_the_seed_report_has_ordinary_rows(self):
        image = self.paths["vsstest.raw"]
        code, live, err = self.run_image(image, ["-p", "/", "-r", "-f", "*"])
        self.assertEqual(code, 0, err)
        code, both, err = self.run_image(image, ["-p", "/", "-r", "-f", "*", "--shadows"])
        self.assertEqual(code, 0, err)
        names = [row[:20].strip() for row in both[len(HEADER):].decode("latin-1").splitlines()]
        self.assertEqual(names, ["another_file", "password.txt", "syslog.gz", "syslog",
                                 "another_file", "syslog.gz"])
        # The live volume's rows come first, as they are without --shadows.
        self.assertTrue(both.startswith(live), (live, both))
        self.assertIn(b"Processed 6 file(s)", err)

    def test_index_times_are_istats_on_the_mounted_store(self):
        image = self.paths["vsstest.raw"]
        code, out, err = self.run_image(image, ["--shadows", "-p", "/", "-r", "-f", "*",
                                                "--format=csv"])
        rows = csv_records(out)
        if "index_modified" not in rows[0]:
            self.skipTest("this build writes no index_created/index_modified fields")
        with self.mounted(image) as mnt:
            for row in rows:
                volume = volume_of(row["source"])
                name = row["source"].rpartition("/")[2]
                store = image if volume == "p0" else os.path.join(mnt, volume.split(":")[1])
                times = images.tsk_standard_information_times(store, fls(store)[name][0])
                self.assertEqual((row["index_created"], row["index_modified"]),
                                 (istat_iso(times["Created"]), istat_iso(times["File Modified"])),
                                 row["source"])


class BuiltVolume(ShadowImageTest):
    """The volume whose live bin is empty while its two stores hold index
    files and companions from the samples, and a disk with it as p2."""

    builders = {"vss-bin.img": vss_image.build_vss_bin,
                "vss-partitioned.img": vss_image.build_vss_partitioned}

    def plain_records(self, names):
        """The records binsift makes of the sample files themselves."""
        code, out, err = run(["-p", os.path.join(images.SAMPLES, SAMPLE_BIN), "-f"] + names
                             + ["--format=csv"])
        self.assertEqual(code, 0, err)
        return {row["source"].rpartition("/")[2]: row for row in csv_records(out)}

    def test_the_bin_is_found_only_in_the_stores_with_the_stores_companion_times(self):
        image = self.paths["vss-bin.img"]
        code, out, err = self.run_image(image, ["-f", "$I*", "--format=csv"])
        self.assertEqual((code, csv_records(out)), (0, []), err)
        code, out, err = self.run_image(image, ["-f", "$I*", "--format=csv", "--shadows"])
        self.assertEqual(code, 0, err)
        self.assertEqual(self.messages(err), [])
        rows = csv_records(out)
        self.assertEqual([(volume_of(r["source"]), r["source"].rpartition("/")[2]) for r in rows],
                         [(v, n) for v in ("p0:vss1", "p0:vss2") for n in STORE_INDEX_FILES[v]])
        plain = self.plain_records(sorted({n for v in STORE_INDEX_FILES.values() for n in v}))
        with self.mounted(image) as mnt:
            for row in rows:
                volume = volume_of(row["source"])
                name = row["source"].rpartition("/")[2]
                self.assertEqual(row["source"], "IMAGE:%s:/%s/%s" % (volume, VSS_FOLDER, name))
                # The index file's own fields are those of the sample.
                for field in ("user_sid", "format", "size", "deleted", "original_path", "extension"):
                    expected = plain[name][field] if field != "user_sid" else vss_image.VSS_SID
                    self.assertEqual(row[field], expected, (row["source"], field))
                # The companion as the store has it.
                store = os.path.join(mnt, volume.split(":")[1])
                names = fls(store)
                companion = VSS_FOLDER + "/$R" + name[2:]
                if companion not in names or names[companion][1]:
                    self.assertEqual(row["companion"], "missing", row["source"])
                    continue
                times = images.tsk_standard_information_times(store, names[companion][0])
                self.assertEqual(row["companion"], "file")
                self.assertEqual(row["companion_size"], row["size"])
                self.assertEqual((row["companion_modified"], row["companion_accessed"],
                                  row["companion_created"]),
                                 (istat_iso(times["File Modified"]), istat_iso(times["Accessed"]),
                                  istat_iso(times["Created"])), row["source"])
                self.assertEqual(row["warnings"], "")
        # The times the builder wrote, as facts.
        picture = [r for r in rows if r["source"].endswith("vss1:/%s/$IQ7LAXT.png" % VSS_FOLDER)]
        self.assertEqual(picture[0]["companion_modified"], "2015-04-01T12:30:45.2345678Z")

    def test_every_format_names_the_store(self):
        image = self.paths["vss-bin.img"]
        code, out, err = self.run_image(image, ["-f", "$I*", "--format=jsonl", "--shadows"])
        self.assertEqual(code, 0, err)
        sources = [json.loads(line)["source"] for line in out.decode().splitlines()]
        self.assertEqual(sources, ["IMAGE:%s:/%s/%s" % (v, VSS_FOLDER, n)
                                   for v in ("p0:vss1", "p0:vss2") for n in STORE_INDEX_FILES[v]])
        code, out, err = self.run_image(image, ["-f", "$I*", "--format=tsv", "-B", "--shadows"])
        self.assertEqual([line.split("\t")[0] for line in out.decode().splitlines()], sources)
        code, out, err = self.run_image(image, ["-f", "$IQ7LAXT.png", "--format=body", "--shadows"])
        self.assertEqual(out.decode().splitlines()[0].split("|")[1],
                         "C:\\Users\\tester\\Pictures\\web-canvas.png (deleted; IMAGE:p0:vss1:/%s/"
                         "$IQ7LAXT.png)" % VSS_FOLDER)
        self.assertIn("(recycled content; IMAGE:p0:vss1:/%s/$RQ7LAXT.png)" % VSS_FOLDER, out.decode())
        # The seed report: ordinary rows, the sample's own.
        code, out, err = self.run_image(image, ["-f", "$I*", "--shadows"])
        rows = out[len(HEADER):].decode("latin-1").splitlines()
        self.assertEqual([r[:20].strip() for r in rows],
                         [n for v in ("vss1", "vss2") for n in STORE_INDEX_FILES["p0:" + v]])
        code, plain, err = run(["-p", os.path.join(images.SAMPLES, SAMPLE_BIN), "-f", "$IDNLPD4.exe"])
        self.assertIn(plain[len(HEADER):].decode("latin-1").splitlines()[0], rows)

    def test_carving_the_live_volume_comes_before_its_stores(self):
        image = self.paths["vss-bin.img"]
        code, out, err = self.run_image(image, ["-f", "$I*", "--format=csv", "--shadows", "--carve"])
        self.assertEqual(code, 0, err)
        rows = csv_records(out)
        shown = [(volume_of(r["source"]), r["source"].rpartition("/")[2], r["warnings"]) for r in rows]
        # The live bin's index files are deleted entries there, recovered;
        # the text file's companion is a deleted entry too, the programs'
        # companions were gone before the newer store was taken.
        self.assertEqual(shown[:3], [("p0", n, "recovered;companion-deleted" if n.endswith(".txt")
                                      else "recovered")
                                     for n in STORE_INDEX_FILES["p0:vss2"]])
        self.assertEqual(shown[3:], [(v, n, "") for v in ("p0:vss1", "p0:vss2")
                                     for n in STORE_INDEX_FILES[v]])

    def test_the_stores_read_alike_through_every_container(self):
        # A VHD is read by The Sleuth Kit's own reader, an E01 by this
        # program's: libvshadow reads the volume through either.
        image = self.paths["vss-bin.img"]
        code, raw, err = self.run_image(image, ["-f", "$I*", "--format=csv", "--shadows"])
        self.assertEqual(code, 0, err)
        self.assertEqual(len(csv_records(raw)), 5)
        copies = [lambda: images.build_vhd_fixed(image, os.path.join(self.work, "copy.vhd")),
                  lambda: images.build_e01(image, os.path.join(self.work, "copy"))]
        for build in copies:
            try:
                container = build()
            except images.Unavailable as e:
                self.skipTest(str(e))
            code, out, err = self.run_image(container, ["-f", "$I*", "--format=csv", "--shadows"])
            # The same rows but for the image field, which names the container.
            self.assertEqual((code, out.replace(container.encode(), image.encode())), (0, raw),
                             (container, err))

    def test_the_stores_of_a_partition_are_named_after_it(self):
        image = self.paths["vss-partitioned.img"]
        code, out, err = self.run_image(image, ["-f", "$I*", "--format=csv", "--shadows",
                                                "-p", "/" + VSS_FOLDER])
        self.assertEqual(code, 0, err)
        self.assertEqual(self.messages(err), [])
        volumes = [volume_of(r["source"]) for r in csv_records(out)]
        # p3 is the samples' volume, without shadow copies.
        self.assertEqual(sorted(set(volumes), key=volumes.index), ["p2:vss1", "p2:vss2", "p3"])
        self.assertEqual([r["source"] for r in csv_records(out) if not r["source"].startswith("IMAGE:p3:")],
                         ["IMAGE:%s:/%s/%s" % (v, VSS_FOLDER, n) for v in ("p2:vss1", "p2:vss2")
                          for n in STORE_INDEX_FILES[v.replace("p2", "p0")]])
        # vshadowmount finds the same stores at the partition's offset.
        with self.mounted(image, 2048 * 512) as mnt:
            self.assertEqual(sorted(os.listdir(mnt)), ["vss1", "vss2"])

    def test_shadows_without_an_image_is_an_illegal_option(self):
        empty = tempfile.mkdtemp(dir=self.work)
        self.assertEqual(run(["-p", empty, "--shadows"], cwd=empty)[:2],
                         (5, b"\nIllegal option: shadows"))
        self.assertEqual(run(["--SHADOWS", "-p", empty], cwd=empty)[:2],
                         (5, b"\nIllegal option: SHADOWS"))
        image = self.paths["vss-bin.img"]
        code, out, err = self.run_image(image, ["--shadows=on"])
        self.assertEqual((code, out), (5, b"\nIllegal option: shadows=on"))
        code, out, err = run(["--help-more"])
        self.assertEqual((code, out), (5, b""))
        self.assertIn(b"\n--shadows        with --image: also reads every shadow copy", err)
        # A slip of the word: refused, with the word it resembles.
        code, out, err = self.run_image(image, ["--Shadows", "-f", "$I*", "--format=csv"])
        self.assertEqual((code, out), (5, b""))
        self.assertIn(b"Illegal option: Shadows\nDid you mean --shadows?\n", err)


class CarvedStore(ShadowImageTest):
    """The volume whose newer store still holds the picture's pair as
    deleted MFT entries (vss_image.CARVE_SNAPSHOTS)."""

    builders = {"vss-carve.img": lambda path: vss_image.build_vss_bin(
        path, snapshots=vss_image.CARVE_SNAPSHOTS)}

    def test_deleted_index_files_of_a_store_are_carved_in_it(self):
        image = self.paths["vss-carve.img"]
        picture = VSS_FOLDER + "/$IQ7LAXT.png"
        with self.mounted(image) as mnt:
            deleted = fls(os.path.join(mnt, "vss2"))
            self.assertTrue(deleted[picture][1], "fls shows it deleted in the newer store")
            entry = deleted[picture][0]
        code, out, err = self.run_image(image, ["-f", "$I*", "--format=csv", "--shadows"])
        self.assertEqual(code, 0, err)
        walked = [r["source"] for r in csv_records(out)]
        code, out, err = self.run_image(image, ["-f", "$I*", "--format=csv", "--shadows", "--carve"])
        self.assertEqual(code, 0, err)
        rows = csv_records(out)
        # Carving adds the store's deleted entry after its walk, and the live
        # volume's deleted entry after the live walk.
        self.assertEqual([(r["source"], r["warnings"]) for r in rows],
                         [("IMAGE:p0:/%s/$I7R52EG.txt" % VSS_FOLDER, "recovered;companion-deleted")]
                         + [(s, "") for s in walked]
                         + [("IMAGE:p0:vss2:/" + picture, "recovered;companion-deleted")])
        carved = rows[-1]
        self.assertEqual((carved["size"], carved["original_path"]),
                         ("6455", "C:\\Users\\tester\\Pictures\\web-canvas.png"))
        self.assertGreater(entry, 0)


class DamagedStores(ShadowImageTest):
    """Copies of the built volume with a store's or the catalog's bytes
    damaged, and a split set whose missing bytes hold a store's copy of
    the bin's MFT entries."""

    builders = {"vss-bin.img": vss_image.build_vss_bin}

    def damaged_copy(self, name, offset):
        with open(self.paths["vss-bin.img"], "rb") as f:
            data = bytearray(f.read())
        data[offset] ^= 0x55
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_a_damaged_store_is_named_and_the_others_are_read(self):
        with open(self.paths["vss-bin.img"], "rb") as f:
            catalog, lists, kept = vss_layout(f.read())
        image = self.damaged_copy("older-store.img", lists[0])
        code, out, err = self.run_image(image, ["-f", "$I*", "--format=csv", "--shadows"])
        self.assertEqual(code, 10, err)
        self.assertEqual(self.messages(err), [
            "Can't read image %s, partition p0:vss1: the shadow copy cannot be read "
            "(libvshadow_store_block_read_header_data: invalid store block list header identifier)"
            % image])
        self.assertEqual([(volume_of(r["source"]), r["source"].rpartition("/")[2])
                          for r in csv_records(out)],
                         [("p0:vss2", n) for n in STORE_INDEX_FILES["p0:vss2"]])

    def test_a_damaged_catalog_is_named_and_the_live_volume_read(self):
        with open(self.paths["vss-bin.img"], "rb") as f:
            catalog, lists, kept = vss_layout(f.read())
        image = self.damaged_copy("catalog.img", catalog)
        code, out, err = self.run_image(image, ["-f", "*", "--format=csv", "--shadows"])
        self.assertEqual(code, 10, err)
        self.assertEqual(self.messages(err), [
            "Can't read image %s, partition p0: its shadow copies cannot be read "
            "(libvshadow_io_handle_read_catalog_header_data: invalid catalog header identifier)"
            % image])
        self.assertEqual({volume_of(r["source"]) for r in csv_records(out)}, {"p0"})
        self.assertEqual(len(csv_records(out)), 2)  # the users' desktop.ini files

    def test_bytes_of_a_store_that_cannot_be_read_are_named_as_in_a_live_volume(self):
        with open(self.paths["vss-bin.img"], "rb") as f:
            data = f.read()
        catalog, lists, kept = vss_layout(data)
        # The older store keeps the 16 KiB of the MFT that hold the bin's
        # entries (MFT entry 64 on); a split set loses exactly that copy:
        # its second segment is one block short.
        boot = data[:512]
        cluster = struct.unpack_from("<H", boot, 0x0b)[0] * boot[0x0d]
        mft_block = struct.unpack_from("<Q", boot, 0x30)[0] * cluster + 64 * 1024
        copy = kept[mft_block // vss_image.BLOCK * vss_image.BLOCK]
        size = (copy + vss_image.BLOCK) // 2
        self.assertEqual(size % 512, 0)
        base = os.path.join(self.work, "split")
        for n, (start, end) in enumerate([(0, size), (size, copy), (copy + vss_image.BLOCK, len(data))], 1):
            with open("%s.%03d" % (base, n), "wb") as f:
                f.write(data[start:end])
        code, out, err = self.run_image(base + ".001", ["-f", "$I*", "--format=csv", "--shadows"])
        self.assertEqual(code, 10, err)
        said = self.messages(err)
        gone = "segment %s.002 is 16384 bytes shorter than the other segments" % base
        self.assertEqual(said[0], "Can't read image %s.001: %s (bytes %d to %d of the image are "
                         "missing)" % (base, gone, copy, copy + vss_image.BLOCK - 1))
        told = "Can't read image %s.001, partition p0:vss1: read error at byte %%d of the shadow " \
               "copy: the volume cannot be read at byte %d (%s)" % (base, copy, gone)
        first = mft_block // vss_image.BLOCK * vss_image.BLOCK
        self.assertTrue(any(line in [told % at for at in range(first, first + vss_image.BLOCK, 512)]
                            for line in said), said)
        # The bin's folder entry, read from those bytes, is named as a live
        # volume names it, and the other store is read whole.
        self.assertTrue(any(re.fullmatch(
            r"Can't read entry /\$Recycle\.Bin: image %s, partition p0:vss1: Error reading image "
            r"file \(read error at byte \d+ of the shadow copy: the volume cannot be read at byte "
            r"\d+ \(%s\)\)" % (re.escape(base + ".001"), re.escape(gone)), line) for line in said), said)
        self.assertEqual([(volume_of(r["source"]), r["source"].rpartition("/")[2])
                          for r in csv_records(out)],
                         [("p0:vss2", n) for n in STORE_INDEX_FILES["p0:vss2"]])


class DamagedStructures(ShadowImageTest):
    """The volume header, catalog and each store's header, block list,
    range list and bitmap damaged at random (a fixed seed): every run ends
    by itself with 0 or 10, and names what it could not read."""

    builders = {"vss-bin.img": vss_image.build_vss_bin}

    def test_random_damage_never_hangs_or_crashes(self):
        with open(self.paths["vss-bin.img"], "rb") as f:
            data = f.read()
        le = lambda d, at: struct.unpack_from("<Q", d, at)[0]
        catalog, lists, kept = vss_layout(data)
        regions = [(0x1e00, 512), (catalog, vss_image.BLOCK)]
        for n in range(4):
            at = catalog + 128 + n * 128
            if le(data, at) == 3:
                regions += [(le(data, at + k), vss_image.BLOCK) for k in (8, 32, 40, 48)]
        rng = random.Random(22)
        image = os.path.join(self.work, "mutant.img")
        for n in range(60):
            mutant = bytearray(data)
            start, length = rng.choice(regions)
            for _ in range(rng.randint(1, 4)):
                if rng.random() < 0.5:
                    mutant[start + rng.randrange(128)] ^= 1 << rng.randrange(8)
                else:
                    value = rng.choice([0, start, catalog, 0x1e00, rng.randrange(len(data)), 1 << 62])
                    struct.pack_into("<Q", mutant, start + rng.randrange(0, 512, 8), value)
            with open(image, "wb") as f:
                f.write(mutant)
            code, out, err = self.run_image(image, ["-f", "$I*", "--format=csv", "--shadows", "--carve"])
            self.assertIn(code, (0, 10), (n, err[-2000:]))
            if code == 10:
                self.assertTrue(any(line.startswith("Can't read image %s" % image)
                                    for line in self.messages(err)), (n, err[-2000:]))


class LoadedLibraries(ShadowImageTest):
    """libvshadow is loaded only by runs that ask for shadow copies (and
    libbfio only with it or The Sleuth Kit, whose image readers use it)."""

    builders = {"vss-bin.img": vss_image.build_vss_bin}

    def loaded(self, args, image=None):
        env = {"LD_DEBUG": "libs"}
        if image:
            code, out, err = self.run_image(image, args, env=env)
        else:
            code, out, err = run(args, cwd=self.work, env=env)
        return code, set(re.findall(rb"calling init: \S*/(lib[a-z]+)\.so", err))

    def test_only_runs_with_shadows_load_libvshadow(self):
        code, libs = self.loaded(["-p", self.work, "-f", "$I*"])
        self.assertEqual(code, 0)
        self.assertIn(b"libc", libs)
        self.assertNotIn(b"libvshadow", libs)
        self.assertNotIn(b"libbfio", libs)
        self.assertNotIn(b"libtsk", libs)
        image = self.paths["vss-bin.img"]
        code, libs = self.loaded(["-f", "$I*"], image)
        self.assertEqual(code, 0)
        self.assertIn(b"libtsk", libs)
        self.assertNotIn(b"libvshadow", libs)
        code, libs = self.loaded(["-f", "$I*", "--shadows"], image)
        self.assertEqual(code, 0)
        self.assertIn(b"libvshadow", libs)
        self.assertIn(b"libbfio", libs)


if __name__ == "__main__":
    unittest.main()
