"""Who deleted what: user_name in the UTF-8 formats, from the SOFTWARE and
SAM hives of an image's Windows partition (for a bin on another
partition), from --registry hive files (checked against hivex's own
hivexget), and for the well-known SIDs; a hive that cannot be read is
named, costs no record and ends the run with 10; hivex is loaded only by
runs that read a hive.  The two-partition disk's deleted folder is also
checked against The Sleuth Kit's fls and istat.  Every image and hive is
unchanged afterwards."""

import csv
import hashlib
import io
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import hives
import images
from binsift_e2e import TreeTest, filetime, index_v2, run
from test_image import formats_supported, images_supported

DATA_OFFSET = hives.DATA_START


def csv_rows(out):
    return list(csv.DictReader(io.StringIO(out.decode("utf-8"), newline="")))


def hives_supported():
    empty = tempfile.mkdtemp(prefix="binsift-e2e-")
    try:
        code, out, err = run(["--format=csv", "--registry=/nonexistent", "-p", empty])
    finally:
        shutil.rmtree(empty, True)
    return b"Registry hives are not supported by this build" not in err


def stamp(path):
    return images.sha256(path), os.stat(path).st_mtime_ns


def loaded_libraries(err):
    return set(re.findall(rb"calling init: \S*/(lib[a-z]+)\.so", err))


class UsersBinImage(unittest.TestCase):
    """The two-partition disk of hives.py: Windows (SOFTWARE with a
    ProfileList, the sample SAM) on p2, the bin on p3."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="binsift-users-")
        cls.unavailable = None
        if not images_supported() or not formats_supported() or not hives_supported():
            cls.unavailable = "this build reads no images or hives, or writes only the seed report"
            return
        try:
            images.require_tools("fls", "istat", "ifind", "hivexget")
            cls.image = hives.build_users_bin(os.path.join(cls.work, "users-bin.img"))
            # The same disk whose SAM hive is cut short.
            cls.cut = hives.build_users_bin(os.path.join(cls.work, "users-cut.img"), sam_size=8192)
        except images.Unavailable as e:
            cls.unavailable = str(e)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, True)

    def setUp(self):
        if self.unavailable:
            self.skipTest(self.unavailable)

    def run_image(self, args, env=None, image=None):
        image = image or self.image
        before = stamp(image)
        result = run(["--image=" + image] + list(args), cwd=self.work,
                     env=dict({"TZ": "UTC"}, **(env or {})), timeout=300)
        self.assertEqual(stamp(image), before, "the run changed the image")
        return result

    def test_a_hive_of_the_image_cut_short_is_named_and_costs_no_record(self):
        code, out, err = self.run_image(["-f", "$I*", "--format=csv"], image=self.cut)
        self.assertEqual(code, 10, err[-1000:])
        said = [line for line in err.decode("utf-8", "replace").splitlines() if "registry hive" in line]
        self.assertEqual(len(said), 1, err[-1000:])
        self.assertTrue(said[0].startswith("Can't read registry hive IMAGE:p2:/Windows/System32/config/SAM: "),
                        said)
        code, whole, _ = self.run_image(["-f", "$I*", "--format=csv"])
        rows, intact = csv_rows(out), csv_rows(whole)
        # Every record, named by the SOFTWARE hive that could be read; the
        # Administrator, whom only the SAM knows, is not named.
        self.assertEqual([r["source"].split(":", 2)[2] for r in rows],
                         [r["source"].split(":", 2)[2] for r in intact])
        names = {r["user_sid"]: r["user_name"] for r in rows}
        self.assertEqual(names[hives.PRESTON_SID], "Preston.EXAMINER-PC")
        self.assertEqual(names[hives.ADMINISTRATOR_SID], "")
        self.assertEqual(names[hives.JUERGEN_SID], "J\u00fcrgen")

    def test_every_user_of_the_bin_is_named_by_the_windows_partition(self):
        code, out, err = self.run_image(["-f", "$I*", "--format=csv"])
        self.assertEqual(code, 0, err[-1000:])
        names = {r["user_sid"]: r["user_name"] for r in csv_rows(out)}
        # The ProfileList first (Preston's profile folder is not his account
        # name), the SAM for the Administrator, who has no profile; nothing
        # knows the last user.
        self.assertEqual(names, {
            hives.PRESTON_SID: "Preston.EXAMINER-PC",
            hives.ADMINISTRATOR_SID: "Administrator",
            hives.JUERGEN_SID: "J\u00fcrgen",
            hives.UNKNOWN_SID: "",
        })
        # Every row of one user, contents included, carries the name.
        rows = csv_rows(out)
        self.assertTrue(all(r["user_name"] == names[r["user_sid"]] for r in rows))

    def test_the_classic_report_reads_no_hive_and_loads_no_hivex(self):
        code, out, err = self.run_image(["-f", "$I*"], env={"LD_DEBUG": "libs"})
        self.assertEqual(code, 0, err[-1000:])
        libs = loaded_libraries(err)
        self.assertIn(b"libtsk", libs)
        self.assertNotIn(b"libhivex", libs)
        code, out, err = self.run_image(["-f", "$I*", "--format=jsonl"], env={"LD_DEBUG": "libs"})
        self.assertEqual(code, 0)
        self.assertIn(b"libhivex", loaded_libraries(err))

    def test_the_deleted_folder_is_what_fls_and_istat_show(self):
        code, out, err = self.run_image(["-f", "$I*", "--format=csv"])
        self.assertEqual(code, 0, err[-1000:])
        rows = csv_rows(out)
        folder = "/$Recycle.Bin/%s/%s" % (hives.PRESTON_SID, hives.FOLDER_COMPANION)
        inode = images.tsk_inode(self.image, folder, DATA_OFFSET)
        fls = subprocess.run(["fls", "-r", "-p", "-o", str(DATA_OFFSET), self.image, inode],
                             check=True, stdout=subprocess.PIPE).stdout.decode("utf-8").splitlines()
        listed = [re.match(r"(\w)/\w (\d+)-\S+:\t(.*)$", line).groups() for line in fls]
        at = [i for i, r in enumerate(rows) if r["source"].endswith("/" + hives.FOLDER_INDEX)][0]
        parent = rows[at]
        contents = rows[at + 1:at + 1 + len(listed)]
        self.assertEqual(len([r for r in rows if r["format"] == "content"]), len(listed))
        self.assertEqual([r["source"] for r in contents],
                         ["IMAGE:p3:%s/%s" % (folder, path) for _, _, path in listed])
        self.assertIn("$IFAKE01.txt", [path for _, _, path in listed])
        for (kind, entry, path), r in zip(listed, contents):
            self.assertEqual(r["companion"], {"r": "file", "d": "directory"}[kind], path)
            self.assertEqual(r["original_path"], hives.FOLDER_ORIGINAL + "\\" + path.replace("/", "\\"))
            self.assertEqual((r["deleted"], r["user_name"], r["parent_source"], r["volume"]),
                             (parent["deleted"], "Preston.EXAMINER-PC", parent["source"], "p3"))
            times = images.tsk_standard_information_times(self.image, entry, DATA_OFFSET)
            for field, key in (("companion_modified", "File Modified"), ("companion_changed", "MFT Modified"),
                               ("companion_accessed", "Accessed"), ("companion_created", "Created")):
                m = re.match(r"(\d{4}-\d\d-\d\d) (\d\d:\d\d:\d\d)\.(\d{9})", times[key])
                self.assertEqual(r[field], "%sT%s.%sZ" % (m.group(1), m.group(2), m.group(3)[:7]), (path, field))
            if kind == "r":
                data = subprocess.run(["icat", "-o", str(DATA_OFFSET), self.image, entry],
                                      check=True, stdout=subprocess.PIPE).stdout
                self.assertEqual(r["companion_size"], str(len(data)), path)
            else:
                self.assertEqual(r["companion_size"], "", path)
        # The folder's recorded size is the total of its files.
        self.assertEqual(int(parent["size"]), sum(int(r["companion_size"] or 0) for r in contents))

    def test_the_deleted_folders_files_are_hashed_and_copied_whole(self):
        # The folder is copied (read once) before its contents are listed:
        # both see every entry, and every file's digests are icat's.
        out_dir = os.path.join(self.work, "collected")
        shutil.rmtree(out_dir, True)
        code, out, err = self.run_image(["-f", "$I*", "--format=csv", "--hash=md5,sha256",
                                         "--collect=" + out_dir])
        self.assertEqual(code, 0, err[-1000:])
        rows = csv_rows(out)
        folder = "/$Recycle.Bin/%s/%s" % (hives.PRESTON_SID, hives.FOLDER_COMPANION)
        inode = images.tsk_inode(self.image, folder, DATA_OFFSET)
        fls = subprocess.run(["fls", "-r", "-p", "-o", str(DATA_OFFSET), self.image, inode],
                             check=True, stdout=subprocess.PIPE).stdout.decode("utf-8").splitlines()
        listed = [re.match(r"(\w)/\w (\d+)-\S+:\t(.*)$", line).groups() for line in fls]
        contents = {r["source"]: r for r in rows if r["format"] == "content"}
        self.assertEqual(len(contents), len(listed))
        parent = [r for r in rows if r["source"].endswith("/" + hives.FOLDER_INDEX)][0]
        copied = os.path.join(out_dir, hives.PRESTON_SID, hives.FOLDER_INDEX,
                              hives.FOLDER_ORIGINAL.rpartition("\\")[2])
        for kind, entry, path in listed:
            r = contents["IMAGE:p3:%s/%s" % (folder, path)]
            if kind != "r":
                self.assertEqual((r["companion_md5"], r["companion_sha256"]), ("", ""), path)
                self.assertTrue(os.path.isdir(os.path.join(copied, path)), path)
                continue
            data = subprocess.run(["icat", "-o", str(DATA_OFFSET), self.image, entry],
                                  check=True, stdout=subprocess.PIPE).stdout
            self.assertEqual((r["companion_md5"], r["companion_sha256"]),
                             (hashlib.md5(data).hexdigest(), hashlib.sha256(data).hexdigest()), path)
            with open(os.path.join(copied, path), "rb") as f:
                self.assertEqual(f.read(), data, path)
        # The folder itself has no digests; its files are in the manifest
        # once, as copies of the folder.
        self.assertEqual((parent["companion"], parent["companion_md5"]), ("directory", ""))
        with open(os.path.join(out_dir, "manifest.jsonl"), encoding="utf-8") as f:
            manifest = [json.loads(line) for line in f]
        inside = [m for m in manifest if m["copy"].startswith(
            "%s/%s/" % (hives.PRESTON_SID, hives.FOLDER_INDEX))]
        self.assertEqual(sorted(m["copy"].split("/", 3)[3] for m in inside),
                         sorted(path for kind, _, path in listed if kind == "r"))

    def test_a_registry_file_comes_after_the_images_hives(self):
        # The SAM alone names Preston by his account; the image's own
        # ProfileList, asked first, by his profile folder.
        sam = os.path.join(images.SAMPLES, hives.SAM_SAMPLE)
        before = stamp(sam)
        code, out, err = self.run_image(["-f", "$I*", "--format=csv", "--registry=" + sam])
        self.assertEqual(code, 0, err[-1000:])
        self.assertEqual(stamp(sam), before)
        names = {r["user_sid"]: r["user_name"] for r in csv_rows(out)}
        self.assertEqual(names[hives.PRESTON_SID], "Preston.EXAMINER-PC")


class RegistryFiles(TreeTest):
    """--registry=FILE on a mounted tree: the sample SAM's local accounts
    and a SOFTWARE hive given a ProfileList with hivexsh, each compared
    with what hivexget reads."""

    def setUp(self):
        super().setUp()
        if not formats_supported():
            self.skipTest("this build writes only the seed report")
        if not hives_supported():
            self.skipTest("this build reads no hives")
        try:
            images.require_tools("hivexsh", "hivexget")
            self.sam = os.path.join(images.require_samples(), hives.SAM_SAMPLE)
            if not os.path.isfile(self.sam):
                raise images.Unavailable("sample %s is missing" % self.sam)
        except images.Unavailable as e:
            self.skipTest(str(e))
        self.sam_before = stamp(self.sam)

    def tearDown(self):
        self.assertEqual(stamp(self.sam), self.sam_before, "the run changed the sample")

    def bin_of(self, sids):
        for n, sid in enumerate(sids):
            self.write("bin/%s/$IA%05d.txt" % (sid, n), index_v2(n, filetime(2020, 1, 2, 3, 4, 5), "C:\\f%d.txt" % n))
        return self.path("bin")

    def names(self, args):
        code, out, err = run(["-f", "$I*", "--format=csv"] + args)
        return code, {r["user_sid"]: r["user_name"] for r in csv_rows(out)}, err

    def test_the_sams_local_accounts(self):
        machine, accounts = hives.sam_accounts(self.sam)
        expected = {"%s-%d" % (machine, rid): name for name, rid in accounts.items()}
        sids = sorted(expected) + ["S-1-5-18", "S-1-5-19", "S-1-5-20", "S-1-5-21-1-2-3-1001", machine + "-1001"]
        code, names, err = self.names(["-p", self.bin_of(sids), "--registry=" + self.sam])
        self.assertEqual(code, 0, err)
        expected.update({"S-1-5-18": "SYSTEM", "S-1-5-19": "LOCAL SERVICE", "S-1-5-20": "NETWORK SERVICE",
                         "S-1-5-21-1-2-3-1001": "", machine + "-1001": ""})
        self.assertEqual(names, expected)
        self.assertEqual(names[hives.ADMINISTRATOR_SID], "Administrator")

    def test_a_software_hive_given_a_profile_list(self):
        profiles = [(hives.PRESTON_SID, "C:\\Users\\alice"), (hives.JUERGEN_SID, "C:\\Users\\J\u00fcrgen"),
                    ("S-1-5-18", "%systemroot%\\system32\\config\\systemprofile"),
                    ("S-1-5-21-9-9-9-1005", "D:\\Profiles\\bob.DOMAIN")]
        software = hives.software_with_profiles(self.path("SOFTWARE"), profiles)
        before = stamp(software)
        # What hivexget reads: the last component of each ProfileImagePath.
        expected = {}
        for sid, _ in profiles:
            path = hives.hivex_value(software, hives.PROFILE_LIST + "\\" + sid, "ProfileImagePath")
            expected[sid.upper()] = path.decode("utf-8").rstrip("\n").rsplit("\\", 1)[1]
        # The service account's folder is not its name.
        expected["S-1-5-18"] = "SYSTEM"
        sids = [sid.upper() for sid, _ in profiles] + [hives.ADMINISTRATOR_SID]
        code, names, err = self.names(["-p", self.bin_of(sids), "--registry=" + software])
        self.assertEqual(code, 0, err)
        expected[hives.ADMINISTRATOR_SID] = ""
        self.assertEqual(names, expected)
        self.assertEqual(names[hives.PRESTON_SID], "alice")
        # Both hives, in the order given: the first that knows a SID names it.
        code, names, err = self.names(["-p", self.path("bin"), "--registry=" + software, "--registry=" + self.sam])
        self.assertEqual((code, names[hives.PRESTON_SID], names[hives.ADMINISTRATOR_SID]), (0, "alice", "Administrator"))
        code, names, err = self.names(["-p", self.path("bin"), "--registry=" + self.sam, "--registry=" + software])
        self.assertEqual((code, names[hives.PRESTON_SID]), (0, "Preston"))
        self.assertEqual(stamp(software), before)

    def test_a_truncated_hive_is_named_and_costs_no_record(self):
        sids = [hives.PRESTON_SID, hives.ADMINISTRATOR_SID, "S-1-5-18"]
        bin_dir = self.bin_of(sids)
        for size in (4096, 8192):
            cut = hives.truncated_hive(self.sam, self.path("SAM-%d" % size), size)
            before = stamp(cut)
            code, out, err = run(["-p", bin_dir, "-f", "$I*", "--format=csv", "--registry=" + cut])
            self.assertEqual(code, 10, err)
            said = [line for line in err.decode("utf-8", "replace").splitlines() if "registry hive" in line]
            self.assertEqual(len(said), 1, err)
            self.assertTrue(said[0].startswith("Can't read registry hive %s: " % cut), said)
            self.assertGreater(len(said[0]), len("Can't read registry hive %s: " % cut))
            rows = csv_rows(out)
            self.assertEqual(len(rows), 3)
            self.assertEqual({r["user_sid"]: r["user_name"] for r in rows},
                             {hives.PRESTON_SID: "", hives.ADMINISTRATOR_SID: "", "S-1-5-18": "SYSTEM"})
            self.assertEqual(stamp(cut), before)
        # A file that is not there, and a folder, are named the same way.
        for hive in (self.path("missing"), self.path("bin")):
            code, out, err = run(["-p", bin_dir, "-f", "$I*", "--format=jsonl", "--registry=" + hive])
            self.assertEqual(code, 10, err)
            self.assertIn(b"\nCan't read registry hive " + hive.encode() + b": ", err)
            self.assertEqual(len(out.splitlines()), 3)

    def test_no_hive_no_hivex(self):
        bin_dir = self.bin_of([hives.PRESTON_SID])
        code, out, err = run(["-p", bin_dir, "-f", "$I*", "--format=csv"], env={"LD_DEBUG": "libs"})
        self.assertEqual(code, 0)
        self.assertIn(b"libc", loaded_libraries(err))
        self.assertNotIn(b"libhivex", loaded_libraries(err))
        # The seed report has no name column: it reads no hive.
        code, out, err = run(["-p", bin_dir, "-f", "$I*", "--registry=" + self.sam], env={"LD_DEBUG": "libs"})
        self.assertEqual(code, 0)
        self.assertNotIn(b"libhivex", loaded_libraries(err))
        code, out, err = run(["-p", bin_dir, "-f", "$I*", "--format=csv", "--registry=" + self.sam],
                             env={"LD_DEBUG": "libs"})
        self.assertEqual(code, 0)
        self.assertIn(b"libhivex", loaded_libraries(err))

    def test_the_word_and_the_hive_as_evidence(self):
        bin_dir = self.bin_of([hives.PRESTON_SID])
        # A value is required, as --image's is (refused as its refusal is).
        for word in ("--registry", "--registry="):
            code, out, err = run(["-p", bin_dir, "--format=csv", word])
            image = run(["-p", bin_dir, "--format=csv", word.replace("registry", "image")])
            self.assertEqual((code, out), (5, b""), err)
            self.assertEqual(err.split(b"\nIllegal option: ")[1],
                             image[2].split(b"\nIllegal option: ")[1].replace(b"image", b"registry"))
        code, out, err = run(["-p", bin_dir, "--format=csv", "--registy=" + self.sam])
        self.assertEqual(code, 5)
        self.assertIn(b"Did you mean --registry?", err)
        # Upper case, as the other words.
        code, out, err = run(["-p", bin_dir, "-f", "$I*", "--format=csv", "--REGISTRY=" + self.sam])
        self.assertEqual(code, 0, err)
        self.assertEqual(csv_rows(out)[0]["user_name"], "Preston")
        # No output may be a hive the run reads.
        copy = self.path("SAM")
        shutil.copyfile(self.sam, copy)
        before = stamp(copy)
        code, out, err = run(["-p", bin_dir, "-f", "$I*", "--format=csv", "--registry=" + copy, "-o", copy],
                             stdin=subprocess.DEVNULL)
        self.assertNotEqual(code, 0)
        self.assertIn(b"it is the registry hive " + copy.encode(), out + err)
        self.assertEqual(stamp(copy), before)


if __name__ == "__main__":
    unittest.main()
