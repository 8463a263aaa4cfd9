"""The registry test data (hives.py) read back with hivex's own tools
(hivexsh, hivexget) and, inside the disk image, The Sleuth Kit's (mmls,
fls, icat): the ProfileList added to the SOFTWARE sample, the SAM sample's
local accounts, truncated hives, and the two-partition disk whose data
partition's bin belongs to users those hives name."""

import os
import shutil
import struct
import subprocess
import tempfile
import unittest

import hives
import images
import vss_image
from vss_image import allocated, fls

ACCOUNT_NAMES = {"Administrator": 500, "Guest": 501, "Preston": 1000}


def sample(path):
    return os.path.join(images.SAMPLES, path)


class HiveTest(unittest.TestCase):
    def setUp(self):
        try:
            images.require_tools("hivexsh", "hivexget")
            for path in (hives.SOFTWARE_SAMPLE, hives.SAM_SAMPLE):
                if not os.path.isfile(sample(path)):
                    raise images.Unavailable("sample %s is missing" % sample(path))
        except images.Unavailable as e:
            self.skipTest(str(e))
        self.tmp = tempfile.mkdtemp(prefix="binsift-hives-")
        self.sample_digests = {p: images.sha256(sample(p)) for p in (hives.SOFTWARE_SAMPLE, hives.SAM_SAMPLE)}

    def tearDown(self):
        shutil.rmtree(self.tmp, True)
        # The samples are only ever read.
        for path, digest in self.sample_digests.items():
            self.assertEqual(images.sha256(sample(path)), digest)

    def hivexget(self, hive, *args):
        return subprocess.run(["hivexget", hive] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE)


class SoftwareWithProfiles(HiveTest):
    def test_hivexget_reads_back_each_profile(self):
        profiles = [(hives.PRESTON_SID, "C:\\Users\\alice"), (hives.JUERGEN_SID, "C:\\Users\\J\u00fcrgen"),
                    ("S-1-5-18", "%systemroot%\\system32\\config\\systemprofile")]
        hive = hives.software_with_profiles(os.path.join(self.tmp, "SOFTWARE"), profiles)
        self.assertEqual(sorted(hives.hivex_subkeys(hive, hives.PROFILE_LIST)), sorted(s for s, _ in profiles))
        for sid, folder in profiles:
            key = hives.PROFILE_LIST + "\\" + sid
            self.assertEqual(hives.hivex_value(hive, key, "ProfileImagePath"), (folder + "\n").encode("utf-8"))
            listing = self.hivexget(hive, key).stdout.decode("utf-8")
            # str(2): a REG_EXPAND_SZ string.
            self.assertIn('"ProfileImagePath"=str(2):"%s"\n' % folder.replace("\\", "\\\\"), listing)
            self.assertIn('"Flags"=dword:00000000\n', listing)
            self.assertEqual(hives.sid_text(hives.hivex_value(hive, key, "Sid")), sid)
        self.assertEqual(hives.hivex_value(hive, hives.PROFILE_LIST + "\\" + hives.PRESTON_SID, "Sid"),
                         bytes.fromhex("010500000000000515000000" "9b7dee68f4d1e65ee5bda309" "e8030000"))

    def test_the_rest_of_the_hive_is_unchanged_and_the_copy_is_reproducible(self):
        first = hives.software_with_profiles(os.path.join(self.tmp, "one"), [("S-1-5-20", "C:\\x\\y")])
        key = "Microsoft\\Windows NT\\CurrentVersion"
        before = hives.hivex_subkeys(sample(hives.SOFTWARE_SAMPLE), key)
        self.assertNotIn("ProfileList", before)
        self.assertEqual(sorted(hives.hivex_subkeys(first, key)), sorted(before + ["ProfileList"]))
        self.assertEqual(self.hivexget(first, key + "\\Winlogon").stdout,
                         self.hivexget(sample(hives.SOFTWARE_SAMPLE), key + "\\Winlogon").stdout)
        second = hives.software_with_profiles(os.path.join(self.tmp, "two"), [("S-1-5-20", "C:\\x\\y")])
        self.assertEqual(images.sha256(first), images.sha256(second))


class SamSample(HiveTest):
    """What the SAM sample says, found with hivex's tools and checked three
    ways."""

    def test_the_machine_sid_and_the_accounts(self):
        machine, accounts = hives.sam_accounts(sample(hives.SAM_SAMPLE))
        self.assertEqual(machine, "S-1-5-21-1760460187-1592185332-161725925")
        self.assertEqual(machine, hives.MACHINE_SID)
        self.assertEqual(accounts, ACCOUNT_NAMES)
        # So the names of the SIDs are:
        self.assertEqual({"%s-%d" % (machine, rid): name for name, rid in accounts.items()}, {
            "S-1-5-21-1760460187-1592185332-161725925-500": "Administrator",
            "S-1-5-21-1760460187-1592185332-161725925-501": "Guest",
            "S-1-5-21-1760460187-1592185332-161725925-1000": "Preston"})

    def test_v_ends_with_the_whole_binary_sid(self):
        v = hives.hivex_value(sample(hives.SAM_SAMPLE), hives.ACCOUNT, "V")
        # Revision 1, four sub-authorities, authority 5 (NT), 21, then the
        # three that make the machine's own part.
        self.assertEqual(v[-24:], bytes.fromhex("010400000000000515000000" "9b7dee68" "f4d1e65e" "e5bda309"))
        self.assertEqual(struct.unpack("<3I", v[-12:]), (1760460187, 1592185332, 161725925))

    def test_each_rid_is_also_a_users_key_and_in_its_f_value(self):
        hive = sample(hives.SAM_SAMPLE)
        users = hives.hivex_subkeys(hive, hives.ACCOUNT + "\\Users")
        self.assertEqual(sorted(users), sorted(["%08X" % rid for rid in ACCOUNT_NAMES.values()] + ["Names"]))
        for name, rid in ACCOUNT_NAMES.items():
            f = hives.hivex_value(hive, "%s\\Users\\%08X" % (hives.ACCOUNT, rid), "F")
            self.assertEqual(struct.unpack_from("<I", f, 0x30)[0], rid, name)
            self.assertEqual(self.hivexget(hive, hives.NAMES + "\\" + name).stdout,
                             b'"@"=hex(%d):\n' % rid)


class TruncatedHive(HiveTest):
    def test_hivex_refuses_a_short_header_and_fails_later_on_a_cut_body(self):
        hive = os.path.join(self.tmp, "SAM")
        hives.truncated_hive(sample(hives.SAM_SAMPLE), hive, 4096)
        self.assertEqual(os.path.getsize(hive), 4096)
        p = self.hivexget(hive, hives.ACCOUNT, "V")
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"failed to open hive file: %s: Invalid argument" % hive.encode(), p.stderr)
        # Long enough to open: the keys past the cut cannot be read.
        hives.truncated_hive(sample(hives.SAM_SAMPLE), hive, 8192)
        p = self.hivexget(hive, hives.ACCOUNT, "V")
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"Bad address", p.stderr)
        self.assertNotIn(b"failed to open", p.stderr)
        # Cut past its end, it is whole.
        hives.truncated_hive(sample(hives.SAM_SAMPLE), hive, 1 << 20)
        self.assertEqual(images.sha256(hive), self.sample_digests[hives.SAM_SAMPLE])


class UsersBin(HiveTest):
    """The two-partition disk: Windows on the first, the bin on the
    second."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="binsift-users-test-")
        cls.image = os.path.join(cls.work, "users-bin.img")
        cls.unavailable = None
        try:
            images.require_tools("mmls", "fls", "icat")
            hives.build_users_bin(cls.image)
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
        super().setUp()

    def tearDown(self):
        super().tearDown()
        self.assertEqual(images.sha256(self.image), self.digest, "the image changed")
        self.assertEqual(os.stat(self.image).st_mtime_ns, self.stamp)

    def volume(self, start):
        """fls -r -p of the partition at sector `start`."""
        return fls(self.image, start)

    def read(self, start, entry):
        return vss_image.icat(self.image, entry, start)

    def test_mmls_shows_two_ntfs_partitions(self):
        out = subprocess.run(["mmls", self.image], check=True, stdout=subprocess.PIPE).stdout.decode()
        self.assertIn("002:  000:000   0000002048   0000034815   0000032768   NTFS / exFAT (0x07)\n", out)
        self.assertIn("003:  000:001   0000034816   0000067583   0000032768   NTFS / exFAT (0x07)\n", out)
        self.assertEqual(hives.DATA_START, 34816)

    def test_the_windows_partition_holds_the_hives(self):
        names = self.volume(hives.WINDOWS_START)
        config = "Windows/System32/config"
        self.assertEqual(allocated(names, config), ["SAM", "SOFTWARE"])
        self.assertNotIn("$Recycle.Bin", names)
        sam = os.path.join(self.tmp, "SAM")
        with open(sam, "wb") as f:
            f.write(self.read(hives.WINDOWS_START, names[config + "/SAM"][0]))
        self.assertEqual(images.sha256(sam), self.sample_digests[hives.SAM_SAMPLE])
        software = os.path.join(self.tmp, "SOFTWARE")
        with open(software, "wb") as f:
            f.write(self.read(hives.WINDOWS_START, names[config + "/SOFTWARE"][0]))
        self.assertEqual(sorted(hives.hivex_subkeys(software, hives.PROFILE_LIST)),
                         sorted(sid for sid, _ in hives.PROFILES))
        shown = {sid: hives.hivex_value(software, hives.PROFILE_LIST + "\\" + sid, "ProfileImagePath")
                 for sid, _ in hives.PROFILES}
        self.assertEqual(shown, {
            "S-1-5-18": b"%systemroot%\\system32\\config\\systemprofile\n",
            "S-1-5-19": b"C:\\Windows\\ServiceProfiles\\LocalService\n",
            "S-1-5-20": b"C:\\Windows\\ServiceProfiles\\NetworkService\n",
            "S-1-5-21-1760460187-1592185332-161725925-1000": b"C:\\Users\\Preston.EXAMINER-PC\n",
            "S-1-5-21-3623811015-3361044348-30300820-1001": "C:\\Users\\J\u00fcrgen\n".encode("utf-8")})

    def test_the_data_partition_holds_a_bin_folder_per_user(self):
        names = self.volume(hives.DATA_START)
        self.assertEqual(allocated(names, "$Recycle.Bin"), sorted([
            "S-1-5-18", hives.PRESTON_SID, hives.ADMINISTRATOR_SID, hives.JUERGEN_SID, hives.UNKNOWN_SID]))
        self.assertEqual(allocated(names, "$Recycle.Bin/" + hives.PRESTON_SID), [
            "$I7R52EG.txt", "$IK3J9Q2", "$IQ7LAXT.png", "$R7R52EG.txt", "$RK3J9Q2", "$RQ7LAXT.png", "desktop.ini"])
        self.assertEqual(allocated(names, "$Recycle.Bin/" + hives.JUERGEN_SID), ["$I103S5F.jpg"])
        self.assertEqual(allocated(names, "$Recycle.Bin/" + hives.ADMINISTRATOR_SID), ["$IDNLPD4.exe"])
        self.assertEqual(allocated(names, "$Recycle.Bin/" + hives.UNKNOWN_SID), ["$IHO61YT"])
        self.assertEqual(allocated(names, "$Recycle.Bin/S-1-5-18"), [])
        win10 = sample("rifiuti2/dir-win10-01")
        folder = "$Recycle.Bin/" + hives.PRESTON_SID
        for name in ("$IQ7LAXT.png", "$RQ7LAXT.png", "$I7R52EG.txt", "$R7R52EG.txt"):
            with open(os.path.join(win10, name), "rb") as f:
                self.assertEqual(self.read(hives.DATA_START, names[folder + "/" + name][0]), f.read(), name)

    def test_the_deleted_folder_and_its_index_file(self):
        names = self.volume(hives.DATA_START)
        folder = "$Recycle.Bin/%s/$RK3J9Q2" % hives.PRESTON_SID
        self.assertEqual(names[folder][2], "d/d")
        below = sorted((p[len(folder) + 1:], kind) for p, (_, deleted, kind) in names.items()
                       if p.startswith(folder + "/") and not deleted)
        self.assertEqual(below, sorted([
            ("$IFAKE01.txt", "r/r"), ("leer", "d/d"), ("\u00dcn\u00efc\u00f6d\u00e9.txt", "r/r"),
            ("\u5831\u544a\u66f8", "d/d"), ("\u5831\u544a\u66f8/\u6458\u8981.txt", "r/r"),
            ("\u5831\u544a\u66f8/\u6df1\u3044", "d/d"), ("\u5831\u544a\u66f8/\u6df1\u3044/data.bin", "r/r")]))
        total = 0
        for path, kind in below:
            if kind == "r/r":
                total += len(self.read(hives.DATA_START, names[folder + "/" + path][0]))
        # The user's own $IFAKE01.txt holds a real index file's bytes.
        with open(sample("rifiuti2/dir-win10-01/$IROMPZ0.exe"), "rb") as f:
            self.assertEqual(self.read(hives.DATA_START, names[folder + "/$IFAKE01.txt"][0]), f.read())
        index = self.read(hives.DATA_START, names["$Recycle.Bin/%s/$IK3J9Q2" % hives.PRESTON_SID][0])
        version, size, deleted, length = struct.unpack_from("<QqQI", index)
        self.assertEqual((version, size, len(index)), (2, total, 28 + 2 * length))
        self.assertEqual(index[28:].decode("utf-16-le"), "D:\\Projekte\\\u00dcn\u00efc\u00f6d\u00e9\0")
        self.assertEqual(deleted, images.filetime(2015, 4, 6, 14, 3, 27, 5120000))

    def test_the_command_line_builds_it(self):
        out = os.path.join(self.tmp, "cli.img")
        here = os.path.dirname(os.path.abspath(__file__))
        p = subprocess.run(["python3", os.path.join(here, "images.py"), "users-bin", out],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        if vss_image.deterministic():
            self.assertEqual(images.sha256(out), self.digest)
        else:
            self.assertEqual(os.path.getsize(out), os.path.getsize(self.image))


if __name__ == "__main__":
    unittest.main()
