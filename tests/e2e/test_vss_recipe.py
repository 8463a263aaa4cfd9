"""The shadow-copy test images (vss_image.py) read with libvshadow's own
tools (vshadowinfo, vshadowmount) and The Sleuth Kit's (fls, icat, istat):
the sample volume Windows wrote, and the built volume whose stores keep bin
files that its live bin no longer has.  Neither tool changes the image."""

import contextlib
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import images
import vss_image
from vss_image import SNAPSHOTS, VSS_FOLDER, VshadowMount, allocated, fls, icat

def vshadowinfo(image):
    return subprocess.run(["vshadowinfo", image], check=True, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE).stdout.decode()


def istat_text(filetime):
    """A FILETIME as istat -z UTC shows it."""
    seconds, ticks = divmod(filetime - 116444736000000000, 10000000)
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(seconds)) + ".%07d00 (UTC)" % ticks


def vshadowinfo_time(filetime):
    """A FILETIME as vshadowinfo shows a store's creation time."""
    seconds, ticks = divmod(filetime - 116444736000000000, 10000000)
    return time.strftime("%b %d, %Y %H:%M:%S", time.gmtime(seconds)) + ".%07d00 UTC" % ticks


def stores(info):
    """vshadowinfo's stores: [{"Identifier": ..., "Creation time": ...}, ...]."""
    found = []
    for block in re.split(r"\nStore: \d+\n", info)[1:]:
        fields = {}
        for line in block.splitlines():
            if ":" in line:
                key, _, value = line.strip().partition(":")
                fields[key.strip()] = value.strip()
        found.append(fields)
    return found


class ImageRecipeTest(unittest.TestCase):
    """Builds one image for the class (skipped where this machine cannot)
    and checks after every test that it is unchanged."""

    image_name = "image.img"

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="binsift-vss-test-")
        cls.image = os.path.join(cls.work, cls.image_name)
        cls.unavailable = None
        try:
            images.require_tools("vshadowinfo", "vshadowmount", "fls", "icat", "istat")
            cls.build(cls.image)
            cls.digest = images.sha256(cls.image)
            cls.stamp = os.stat(cls.image).st_mtime_ns
        except images.Unavailable as e:
            cls.unavailable = str(e)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, True)

    def setUp(self):
        if self.unavailable:
            self.skipTest(self.unavailable)

    def tearDown(self):
        if not self.unavailable:
            self.assertEqual(images.sha256(self.image), self.digest, "the image changed")
            self.assertEqual(os.stat(self.image).st_mtime_ns, self.stamp)

    @contextlib.contextmanager
    def mounted(self):
        """vshadowmount's folder of the image's stores (skipped where FUSE
        cannot be had)."""
        mount = VshadowMount(self.image)
        try:
            folder = mount.__enter__()
        except images.Unavailable as e:
            self.skipTest(str(e))
        try:
            yield folder
        finally:
            mount.__exit__(None, None, None)


class VsstestSample(ImageRecipeTest):
    """The sample volume: what Windows left in it, as the tools show it."""

    image_name = "vsstest.raw"

    @classmethod
    def build(cls, path):
        vss_image.vsstest_raw(path)

    def test_the_raw_image_is_the_whole_sparse_volume(self):
        self.assertEqual(os.path.getsize(self.image), 1 << 30)
        self.assertLess(os.stat(self.image).st_blocks * 512, 64 << 20)

    def test_vshadowinfo_lists_two_stores_oldest_first(self):
        info = vshadowinfo(self.image)
        self.assertIn("Number of stores:\t2\n", info)
        found = stores(info)
        self.assertEqual([s["Creation time"] for s in found],
                         ["Dec 03, 2013 06:35:09.736378700 UTC", "Dec 03, 2013 06:37:48.919058300 UTC"])
        self.assertEqual([s["Identifier"] for s in found],
                         ["600f0b69-5bdf-11e3-9d6c-005056c00008", "600f0b6d-5bdf-11e3-9d6c-005056c00008"])
        self.assertEqual([s["Volume size"] for s in found], ["1.0 GiB (1073741824 bytes)"] * 2)

    def test_each_store_shows_the_root_as_it_was(self):
        with self.mounted() as mnt:
            self.assertEqual(sorted(os.listdir(mnt)), ["vss1", "vss2"])
            roots = {name: [n for n in allocated(fls(os.path.join(mnt, name)), "")
                            if not n.startswith("$")] for name in ("vss1", "vss2")}
            syslog = icat(os.path.join(mnt, "vss1"), 35)
        roots["live"] = [n for n in allocated(fls(self.image), "") if not n.startswith("$")]
        self.assertEqual(roots, {
            "vss1": ["System Volume Information", "syslog"],
            "vss2": ["System Volume Information", "another_file", "syslog.gz"],
            "live": ["System Volume Information", "another_file", "password.txt", "syslog.gz"]})
        # MFT entry 35 was the plain syslog in the first store and is
        # syslog.gz since.
        self.assertEqual(images.hashlib.sha256(syslog).hexdigest(),
                         "0420b023f8dc1b71ff25191ce4ce88d10028f99f99f7c21532611f4c273aeae9")
        self.assertTrue(syslog.startswith(b"Jan 22 07:52:33 myhostname.myhost.com client[30840]: "))
        self.assertEqual(images.hashlib.sha256(icat(self.image, 35)).hexdigest(),
                         "841c1522cad7c594eb63c6544f9ea22a08dc56351f17b6fe14149dfd4b4fb64c")
        self.assertEqual(icat(self.image, 41)[:20], b"place,user,password\n")


class VssBin(ImageRecipeTest):
    """The built volume: an empty live bin, two stores that keep index
    files and companions."""

    image_name = "vss-bin.img"

    @classmethod
    def build(cls, path):
        cls.states = os.path.join(cls.work, "states")
        os.mkdir(cls.states)
        vss_image.build_vss_bin(path, cls.states)

    def sample(self, path):
        with open(os.path.join(images.SAMPLES, path), "rb") as f:
            return f.read()

    def test_vshadowinfo_lists_the_stores_as_written(self):
        info = vshadowinfo(self.image)
        self.assertIn("Number of stores:\t2\n", info)
        found = stores(info)
        self.assertEqual(len(found), len(SNAPSHOTS))
        for shown, snapshot in zip(found, SNAPSHOTS):
            self.assertEqual(shown["Identifier"], str(snapshot.store_id))
            self.assertEqual(shown["Shadow copy ID"], str(snapshot.copy_id))
            self.assertEqual(shown["Shadow copy set ID"], str(snapshot.set_id))
            self.assertEqual(shown["Creation time"], vshadowinfo_time(snapshot.created))
            self.assertEqual(shown["Volume size"], "16 MiB (16777216 bytes)")
            self.assertEqual(shown["Attribute flags"], "0x00420009")
        # The facts the shadow-copy tests rely on, written out.
        self.assertEqual([s["Creation time"] for s in found],
                         ["Apr 05, 2015 10:15:27.314159200 UTC", "Apr 20, 2015 08:03:11.271828100 UTC"])

    def test_the_live_bin_has_no_index_files_or_companions(self):
        names = fls(self.image)
        self.assertEqual(allocated(names, VSS_FOLDER), ["desktop.ini"])
        self.assertEqual(allocated(names, "$Recycle.Bin/" + vss_image.OTHER_SID), ["desktop.ini"])
        # The newer store's files are deleted names here.
        deleted = sorted(p.rpartition("/")[2] for p, (_, d, _) in names.items()
                         if d and p.startswith(VSS_FOLDER + "/$"))
        self.assertEqual(deleted, sorted(n for n, _, _ in SNAPSHOTS[-1].files))
        # The catalog and the store files are in System Volume Information.
        self.assertEqual(allocated(names, vss_image.SVI),
                         sorted([vss_image.CATALOG_NAME] + [s.store_file for s in SNAPSHOTS]))

    def test_each_store_holds_its_bin_files_with_their_bytes_and_times(self):
        with self.mounted() as mnt:
            self.assertEqual(sorted(os.listdir(mnt)), ["vss1", "vss2"])
            for number, snapshot in enumerate(SNAPSHOTS, 1):
                store = os.path.join(mnt, "vss%d" % number)
                names = fls(store)
                self.assertEqual(allocated(names, VSS_FOLDER),
                                 sorted([n for n, _, _ in snapshot.files] + ["desktop.ini"]), number)
                self.assertEqual(allocated(names, "$Recycle.Bin/" + vss_image.OTHER_SID), ["desktop.ini"])
                self.assertEqual(allocated(names, vss_image.SVI), [])
                companions = 0
                for name, sample, times in snapshot.files:
                    # Written in the mount of the first state that has it.
                    first = min(n for n, s in enumerate(SNAPSHOTS) if (name, sample, times) in s.files)
                    entry = names[VSS_FOLDER + "/" + name][0]
                    data = self.sample(sample)
                    self.assertEqual(icat(store, entry), data, name)
                    si = images.tsk_standard_information_times(store, entry)
                    if times is None:
                        deleted = vss_image.index_deletion_time(data)
                        times = (deleted, deleted, deleted)
                    else:
                        companions += 1
                    created, modified, accessed = times
                    expected = {"Created": istat_text(created), "File Modified": istat_text(modified),
                                "Accessed": istat_text(accessed)}
                    # ntfs-3g sets "MFT modified" from its clock, stopped
                    # at the state's time where libfaketime is.
                    if vss_image.deterministic():
                        expected["MFT Modified"] = istat_text(vss_image.STATE_TIMES[first])
                    else:
                        del si["MFT Modified"]
                    self.assertEqual(si, expected, name)
                self.assertGreaterEqual(companions, 1)

    def test_the_times_written_are_these(self):
        # Written out, so that the shadow-copy tests can take them as facts.
        with self.mounted() as mnt:
            store = os.path.join(mnt, "vss1")
            entry = fls(store)[VSS_FOLDER + "/$RQ7LAXT.png"][0]
            si = images.tsk_standard_information_times(store, entry)
            self.assertEqual((si["Created"], si["File Modified"], si["Accessed"]),
                             ("2015-03-30 10:00:01.123456700 (UTC)", "2015-04-01 12:30:45.234567800 (UTC)",
                              "2015-04-04 17:19:58.345678900 (UTC)"))
            if vss_image.deterministic():
                self.assertEqual(si["MFT Modified"], "2015-04-04 17:24:10.000000000 (UTC)")
            store = os.path.join(mnt, "vss2")
            entry = fls(store)[VSS_FOLDER + "/$R7R52EG.txt"][0]
            self.assertEqual(images.tsk_standard_information_times(store, entry)["File Modified"],
                             "2015-04-03 09:10:11.222222200 (UTC)")
            entry = fls(store)[VSS_FOLDER + "/$IDNLPD4.exe"][0]
            self.assertEqual(images.tsk_standard_information_times(store, entry)["Created"],
                             "2015-04-19 10:50:51.846000000 (UTC)")

    def test_a_file_deleted_before_the_newer_snapshot_reads_through_both_stores(self):
        path, data, _ = vss_image.NOTES
        with self.mounted() as mnt:
            older = os.path.join(mnt, "vss1")
            names = fls(older)
            self.assertFalse(names[path][1])
            self.assertEqual(icat(older, names[path][0]), data)
            clusters = vss_image.file_runs(older, "/" + path)[2]
            self.assertNotIn(path, {p for p, (_, d, _) in fls(os.path.join(mnt, "vss2")).items() if not d})
        self.assertNotIn(path, allocated(fls(self.image), "Users/tester/Documents"))
        # The live volume has reused some of its clusters, so those come
        # from the newer store (which the older one reads through).
        with open(self.image, "rb") as f:
            live = f.read()
        reused = [c for n, c in enumerate(clusters)
                  if live[c * 4096:(c + 1) * 4096] != data[n * 4096:(n + 1) * 4096]]
        self.assertTrue(reused)

    def test_each_store_reads_as_its_state_in_every_cluster_that_state_uses(self):
        with self.mounted() as mnt:
            for number in range(1, len(SNAPSHOTS) + 1):
                state = os.path.join(self.states, "state%d.img" % number)
                # Which clusters the state uses, as icat reads its $Bitmap.
                bitmap = icat(state, 6)
                with open(state, "rb") as f:
                    expected = f.read()
                with open(os.path.join(mnt, "vss%d" % number), "rb") as f:
                    shown = f.read()
                self.assertEqual(len(shown), len(expected))
                used = [c for c in range(len(expected) // 4096) if c < len(bitmap) * 8 and bitmap[c // 8] >> (c % 8) & 1]
                self.assertGreater(len(used), 500)
                wrong = [c for c in used if shown[c * 4096:(c + 1) * 4096] != expected[c * 4096:(c + 1) * 4096]]
                self.assertEqual(wrong, [], "store %d" % number)
                # The store is no copy of the live volume.
                with open(self.image, "rb") as f:
                    self.assertNotEqual(shown, f.read())

    def test_two_builds_give_the_same_bytes(self):
        if not vss_image.deterministic():
            self.skipTest("no libfaketime here: ntfs-3g records the clock")
        again = os.path.join(self.work, "again.img")
        vss_image.build_vss_bin(again)
        self.assertEqual(images.sha256(again), self.digest)
        os.remove(again)

    def test_the_command_line_builds_it(self):
        out = os.path.join(self.work, "cli.img")
        here = os.path.dirname(os.path.abspath(__file__))
        p = subprocess.run(["python3", os.path.join(here, "images.py"), "vss-bin", out],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertIn("Number of stores:\t2\n", vshadowinfo(out))
        if vss_image.deterministic():
            self.assertEqual(images.sha256(out), self.digest)
        os.remove(out)
        p = subprocess.run(["python3", os.path.join(here, "images.py"), "vss-bin", out],
                           env=dict(os.environ, BINSIFT_SAMPLES=os.path.join(self.work, "none")),
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(p.returncode, 77)
        self.assertIn(b"no sample folder at ", p.stdout)
        self.assertFalse(os.path.exists(out))


class StorePlan(unittest.TestCase):
    """Which old blocks each store keeps (copy on write), on made-up states
    of four blocks: the cases the built volume may or may not happen to
    have."""

    def plan(self, used_in_1, used_in_2, state1, state2, live, rewritten=()):
        def used(blocks):
            return lambda cluster: cluster // 4 in blocks
        return vss_image.plan_stores([(state1, used(used_in_1)), (state2, used(used_in_2))], live,
                                     set(rewritten))

    def test_a_block_goes_to_the_store_of_the_snapshot_before_its_change(self):
        kept = self.plan({0, 1, 2, 3}, {0, 1, 2, 3}, [b"a", b"b", b"c", b"d"], [b"A", b"b", b"c", b"d"],
                         [b"A", b"B", b"c", b"d"])
        self.assertEqual(kept, [{0: b"a"}, {1: b"b"}])

    def test_a_block_only_the_older_snapshot_uses_goes_to_the_newer_store_when_it_changes_later(self):
        kept = self.plan({0}, set(), [b"a"], [b"a"], [b"x"])
        self.assertEqual(kept, [{}, {0: b"a"}])
        # Changed before the newer snapshot too: the older store has it,
        # and no later change matters to anyone.
        kept = self.plan({0}, set(), [b"a"], [b"y"], [b"x"])
        self.assertEqual(kept, [{0: b"a"}, {}])

    def test_free_blocks_and_unchanged_blocks_are_not_kept(self):
        kept = self.plan(set(), {1}, [b"a", b"b"], [b"c", b"b"], [b"d", b"b"])
        self.assertEqual(kept, [{}, {}])

    def test_blocks_still_to_be_written_count_as_changed(self):
        kept = self.plan({0}, {0, 1}, [b"a", b"b"], [b"a", b"b"], [b"a", b"b"], rewritten={1})
        self.assertEqual(kept, [{}, {1: b"b"}])


if __name__ == "__main__":
    unittest.main()
