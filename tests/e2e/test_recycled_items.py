"""The recycled items themselves: the digests of every companion (--hash),
copies of them out of the bin or the image (--collect), and the
Zone.Identifier stream a download carries (zone_id, host_url,
referrer_url), on folders, on an NTFS image read in place and on the
ntfs-3g mount of the same image."""

import hashlib
import json
import os
import shutil
import subprocess
import unittest

import images
from binsift_e2e import TreeTest, filetime, index_v2, run
from test_image import ImageTest, formats_supported

SID = "S-1-5-21-1-2-3-1001"
ZONE_TEXT = (b"[ZoneTransfer]\r\nZoneId=3\r\nReferrerUrl=https://example.com/downloads\r\n"
             b"HostUrl=https://cdn.example.com/setup.exe\r\n")
BIG = bytes((i * 131 + (i >> 9)) & 0xFF for i in range(3 * 1024 * 1024 + 17))


def digests(data):
    return {"companion_md5": hashlib.md5(data).hexdigest(),
            "companion_sha1": hashlib.sha1(data).hexdigest(),
            "companion_sha256": hashlib.sha256(data).hexdigest()}


NO_DIGESTS = {"companion_md5": None, "companion_sha1": None, "companion_sha256": None}


def jsonl(out):
    return [json.loads(line) for line in out.decode("utf-8").splitlines()]


def by_entry(records):
    return {r["entry_name"]: r for r in records}


def bin_files():
    """(path in the bin, bytes) of a user's bin: a file with a download's
    stream, a large file, an empty one, a deleted folder, an index file
    whose companion is gone."""
    deleted = filetime(2021, 6, 7, 8, 9, 10)
    return [
        ("$IAAAAAA.exe", index_v2(11, deleted, "C:\\Users\\u\\Downloads\\setup.exe")),
        ("$RAAAAAA.exe", b"hello world"),
        ("$IBIGBIG.bin", index_v2(len(BIG), deleted, "C:\\Users\\u\\big.bin")),
        ("$RBIGBIG.bin", BIG),
        ("$IEMPTY0.txt", index_v2(0, deleted, "C:\\Users\\u\\empty.txt")),
        ("$REMPTY0.txt", b""),
        ("$IFOLDER", index_v2(0, deleted, "C:\\Users\\u\\Project")),
        ("$RFOLDER/notes.txt", b"notes\r\n"),
        ("$RFOLDER/src/main.c", b"int main(void) { return 0; }\n"),
        ("$IGONE00.doc", index_v2(5, deleted, "C:\\Users\\u\\gone.doc")),
    ]


class Hashes(TreeTest):
    def setUp(self):
        super().setUp()
        if not formats_supported():
            self.skipTest("this build writes no UTF-8 formats")
        for name, data in bin_files():
            self.write("bin/%s/%s" % (SID, name), data)
        self.bin = self.path("bin")

    def test_digests_equal_those_of_the_system_tools(self):
        code, out, err = run(["-p", self.bin, "-f", "$I*", "--format=jsonl",
                              "--hash=sha256,MD5,Sha1"])
        self.assertEqual(code, 0, err)
        records = by_entry(jsonl(out))
        folder = self.path("bin", SID)
        for entry, companion in (("$IAAAAAA.exe", "$RAAAAAA.exe"), ("$IBIGBIG.bin", "$RBIGBIG.bin"),
                                 ("$IEMPTY0.txt", "$REMPTY0.txt")):
            got = records[entry]
            for tool, field in (("md5sum", "companion_md5"), ("sha1sum", "companion_sha1"),
                                ("sha256sum", "companion_sha256")):
                line = subprocess.run([tool, os.path.join(folder, companion)], check=True,
                                      stdout=subprocess.PIPE).stdout
                self.assertEqual(got[field], line.split()[0].decode(), (entry, tool))
        # A folder's and a missing companion's digests are empty.
        self.assertEqual({k: records["$IFOLDER"][k] for k in NO_DIGESTS}, NO_DIGESTS)
        self.assertEqual({k: records["$IGONE00.doc"][k] for k in NO_DIGESTS}, NO_DIGESTS)

    def test_only_the_digests_asked_for(self):
        code, out, err = run(["-p", self.bin, "-f", "$IA*", "--format=csv", "--hash=sha1"])
        self.assertEqual(code, 0, err)
        import csv
        import io
        rows = list(csv.DictReader(io.StringIO(out.decode())))
        self.assertEqual(len(rows), 1)
        self.assertEqual(rows[0]["companion_sha1"], hashlib.sha1(b"hello world").hexdigest())
        self.assertEqual(rows[0]["companion_md5"], "")
        self.assertEqual(rows[0]["companion_sha256"], "")

    def test_the_body_files_md5_column(self):
        code, out, err = run(["-p", self.bin, "-f", "$IA*", "--format=body", "--hash=md5"])
        self.assertEqual(code, 0, err)
        lines = out.decode().splitlines()
        self.assertEqual(len(lines), 2)
        self.assertTrue(lines[0].startswith("0|C:\\Users\\u\\Downloads\\setup.exe (deleted; "))
        self.assertEqual(lines[1].split("|")[0], hashlib.md5(b"hello world").hexdigest())
        self.assertIn("(recycled content; ", lines[1])
        # Without --hash the column stays 0.
        code, plain, err = run(["-p", self.bin, "-f", "$IA*", "--format=body"])
        self.assertEqual(plain.decode().splitlines()[1].split("|")[0], "0")

    def test_the_classic_report_is_unchanged(self):
        base = run(["-p", self.bin, "-f", "$I*"])
        hashed = run(["-p", self.bin, "-f", "$I*", "--hash=md5,sha1,sha256"])
        self.assertEqual(hashed[0], 0)
        self.assertEqual(hashed[1], base[1])

    def test_refused_lists(self):
        for value in ("sha512", "md5,sha512", "md5,md5", "", "md5,"):
            code, out, err = run(["-p", self.bin, "--format=jsonl", "--hash=" + value])
            self.assertEqual(code, 5, value)
            self.assertEqual(out, b"", value)
            self.assertIn(b"Illegal option: hash=" + value.encode(), err)
        code, out, err = run(["-p", self.bin, "--format=jsonl", "--hahs=md5"])
        self.assertEqual(code, 5)
        self.assertIn(b"Did you mean --hash?", err)

    @unittest.skipIf(os.environ.get("BINSIFT_SANITIZED"), "the sanitizers do not run under strace")
    def test_each_companion_is_opened_once_for_every_digest_and_its_copy(self):
        if shutil.which("strace") is None:
            self.skipTest("strace is not installed")
        log = self.path("trace")
        binsift = os.environ.get("BINSIFT") or run.__globals__["BINSIFT"]
        subprocess.run(["strace", "-f", "-o", log, "-e", "trace=openat,open,read,pread64,preadv2,close", binsift,
                        "-p", self.bin, "-f", "$I*", "--format=jsonl", "--hash=md5,sha1,sha256",
                        "--collect=" + self.path("copies")],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        with open(log) as f:
            trace = f.read().splitlines()
        for name in ("$RAAAAAA.exe", "$RBIGBIG.bin"):
            opens = [l for l in trace if "open" in l and name in l and "O_RDONLY" in l]
            self.assertEqual(len(opens), 1, (name, opens))
        # A file inside a recycled folder is read by the copy of the folder,
        # then once more for its own record's digests.
        for name in ("notes.txt", "main.c"):
            opens = [l for l in trace if "open" in l and name in l and "O_RDONLY" in l]
            self.assertEqual(len(opens), 2, (name, opens))
        # The big one's bytes read once: the reads of its descriptor add up
        # to its size.
        [at] = [i for i, l in enumerate(trace)
                if "open" in l and "$RBIGBIG.bin" in l and "O_RDONLY" in l]
        fd = trace[at].rsplit("=", 1)[1].strip()
        pid = trace[at].split()[0]
        total = 0
        for l in trace[at + 1:]:
            # A read, or a read at an offset (tried first without waiting).
            if l.startswith(pid + " ") and any((" %s(%s," % (call, fd)) in l
                                               for call in ("read", "pread64", "preadv2")):
                total += max(0, int(l.rsplit("=", 1)[1].split()[0]))
            if l.startswith(pid + " ") and "close(%s)" % fd in l:
                break
        self.assertEqual(total, len(BIG))

    def test_reset_times_sets_back_what_was_hashed(self):
        target = self.path("bin", SID, "$RBIGBIG.bin")
        old = 1_500_000_000_123_456_700
        mtime = os.stat(target).st_mtime_ns
        # An access time before the modification: reading changes it.
        os.utime(target, ns=(old, mtime))
        code, out, err = run(["-p", self.bin, "-f", "$IBIG*", "--format=jsonl", "--hash=md5"])
        self.assertEqual(code, 0, err)
        changed = os.stat(target).st_atime_ns
        if changed == old:
            self.skipTest("this file system does not record reads")
        os.utime(target, ns=(old, mtime))
        code, out, err = run(["-R", "-p", self.bin, "-f", "$IBIG*", "--format=jsonl",
                              "--hash=md5", "--collect=" + self.path("copies")])
        self.assertEqual(code, 0, err)
        self.assertEqual(os.stat(target).st_atime_ns, old)
        self.assertEqual(os.stat(target).st_mtime_ns, mtime)

    @unittest.skipIf(os.environ.get("BINSIFT_SANITIZED"), "the sanitizers do not run under strace")
    def test_zone_fields_cost_one_attribute_call_per_companion(self):
        if shutil.which("strace") is None:
            self.skipTest("strace is not installed")
        log = self.path("trace")
        binsift = run.__globals__["BINSIFT"]
        subprocess.run(["strace", "-f", "-o", log, "-e", "trace=getxattr,lgetxattr,fgetxattr",
                        binsift, "-p", self.bin, "-f", "$I*", "--format=csv"],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        with open(log) as f:
            calls = [l for l in f if "Zone.Identifier" in l]
        # Four companions are there (three files and a folder), one is gone;
        # the folder holds three entries (src, src/main.c, notes.txt).
        self.assertEqual(len(calls), 7, calls)
        # The classic report asks for none.
        subprocess.run(["strace", "-f", "-o", log, "-e", "trace=getxattr,lgetxattr,fgetxattr",
                        binsift, "-p", self.bin, "-f", "$I*"],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        with open(log) as f:
            self.assertEqual([l for l in f if "Zone.Identifier" in l], [])


class Info2Companions(TreeTest):
    def test_the_dc_files_are_hashed_and_copied(self):
        if not formats_supported():
            self.skipTest("this build writes no UTF-8 formats")
        from test_info2 import info2
        when = filetime(2005, 1, 2, 3, 4, 5)
        sid = "S-1-5-21-1-2-3-500"
        self.write("RECYCLER/%s/INFO2" % sid, info2(5, 800, [
            (b"C:\\docs\\a.txt", 1, 2, when, 5, "C:\\docs\\a.txt"),
            (b"C:\\docs\\b.exe", 2, 2, when, 9, "C:\\docs\\b.exe")]))
        self.write("RECYCLER/%s/Dc1.txt" % sid, b"first")
        out_dir = self.path("copies")
        code, out, err = run(["-p", self.path("RECYCLER"), "-f", "INFO2", "--format=jsonl",
                              "--hash=sha256", "--collect=" + out_dir])
        self.assertEqual(code, 0, err)
        records = by_entry(jsonl(out))
        self.assertEqual(records["Dc1.txt"]["companion_sha256"], hashlib.sha256(b"first").hexdigest())
        self.assertIsNone(records["Dc2.exe"]["companion_sha256"])
        with open(os.path.join(out_dir, sid, "Dc1.txt", "a.txt"), "rb") as f:
            self.assertEqual(f.read(), b"first")
        self.assertEqual(sorted(os.listdir(os.path.join(out_dir, sid))), ["Dc1.txt"])


class ZoneOnAMountedTree(TreeTest):
    def test_the_user_attribute_gives_the_fields(self):
        if not formats_supported():
            self.skipTest("this build writes no UTF-8 formats")
        for name, data in bin_files():
            self.write("bin/%s/%s" % (SID, name), data)
        target = self.path("bin", SID, "$RAAAAAA.exe")
        try:
            os.setxattr(target, "user.Zone.Identifier", b"\xef\xbb\xbf" + ZONE_TEXT.replace(b"\r", b""))
        except OSError as e:
            self.skipTest("no user attributes here: %s" % e)
        code, out, err = run(["-p", self.path("bin"), "-f", "$I*", "--format=jsonl"])
        self.assertEqual(code, 0, err)
        records = by_entry(jsonl(out))
        got = records["$IAAAAAA.exe"]
        self.assertEqual((got["zone_id"], got["host_url"], got["referrer_url"]),
                         (3, "https://cdn.example.com/setup.exe", "https://example.com/downloads"))
        for entry in ("$IBIGBIG.bin", "$IFOLDER", "$IGONE00.doc"):
            self.assertEqual((records[entry]["zone_id"], records[entry]["host_url"],
                              records[entry]["referrer_url"]), (None, None, None))


class Collect(TreeTest):
    def setUp(self):
        super().setUp()
        self.times = {}
        for name, data in bin_files():
            p = self.write("bin/%s/%s" % (SID, name), data)
        # Times of their own, to 100 ns, deepest first.
        for i, rel in enumerate(["$RFOLDER/src/main.c", "$RFOLDER/src", "$RFOLDER/notes.txt",
                                 "$RFOLDER", "$RAAAAAA.exe", "$RBIGBIG.bin", "$REMPTY0.txt"]):
            ns = (1_600_000_000 + i * 86400) * 10**9 + 1234500 + i * 100
            os.utime(self.path("bin", SID, rel), ns=(ns + 7_000_000_000, ns))
            self.times[rel] = (ns + 7_000_000_000, ns)
        self.bin = self.path("bin")
        self.out = self.path("copies")

    def manifest(self):
        path = os.path.join(self.out, "manifest.jsonl")
        if shutil.which("jq"):
            text = subprocess.run(["jq", "-c", ".", path], check=True,
                                  stdout=subprocess.PIPE).stdout
        else:
            with open(path, "rb") as f:
                text = f.read()
        return [json.loads(l) for l in text.decode().splitlines()]

    def test_copies_are_the_originals_with_their_times(self):
        code, out, err = run(["-p", self.bin, "-f", "$I*", "--format=jsonl", "--collect=" + self.out])
        self.assertEqual(code, 0, err)
        base = os.path.join(self.out, SID)
        expected = {
            "$IAAAAAA.exe/setup.exe": "$RAAAAAA.exe",
            "$IBIGBIG.bin/big.bin": "$RBIGBIG.bin",
            "$IEMPTY0.txt/empty.txt": "$REMPTY0.txt",
            "$IFOLDER/Project/notes.txt": "$RFOLDER/notes.txt",
            "$IFOLDER/Project/src/main.c": "$RFOLDER/src/main.c",
        }
        found = []
        for root, dirs, files in os.walk(self.out):
            found += [os.path.relpath(os.path.join(root, f), base) for f in files]
        self.assertEqual(sorted(found), sorted(list(expected) + ["../manifest.jsonl"]))
        for copy, original in expected.items():
            c, o = os.path.join(base, copy), self.path("bin", SID, original)
            st = os.stat(c)  # before it is read
            self.assertEqual((st.st_atime_ns, st.st_mtime_ns), self.times[original], copy)
            self.assertEqual(images.sha256(c), images.sha256(o), copy)
        for folder, original in (("$IFOLDER/Project", "$RFOLDER"), ("$IFOLDER/Project/src", "$RFOLDER/src")):
            st = os.stat(os.path.join(base, folder))
            self.assertEqual(st.st_mtime_ns, self.times[original][1], folder)
        lines = self.manifest()
        self.assertEqual(len(lines), 5)
        for line in lines:
            self.assertEqual(set(line), {"source", "original_path", "copy", "size", "sha256", "renamed"})
            copy = os.path.join(self.out, line["copy"])
            with open(copy, "rb") as f:
                data = f.read()
            self.assertEqual(line["size"], len(data))
            self.assertEqual(line["sha256"], hashlib.sha256(data).hexdigest())
            self.assertFalse(line["renamed"])
            with open(line["source"], "rb") as f:
                self.assertEqual(f.read(), data)
        by_copy = {l["copy"]: l for l in lines}
        self.assertEqual(by_copy[SID + "/$IFOLDER/Project/src/main.c"]["original_path"],
                         "C:\\Users\\u\\Project\\src\\main.c")

    def test_never_overwritten_and_never_outside(self):
        deleted = filetime(2021, 6, 7, 8, 9, 10)
        # A second bin with the same user, the same entry name and the same
        # original name; and a forged path that would climb out.
        self.write("bin2/%s/$IAAAAAA.exe" % SID, index_v2(3, deleted, "D:\\other\\setup.exe"))
        self.write("bin2/%s/$RAAAAAA.exe" % SID, b"two")
        self.write("bin2/%s/$IUPUPUP.txt" % SID, index_v2(1, deleted, "C:\\x\\.."))
        self.write("bin2/%s/$RUPUPUP.txt" % SID, b"u")
        code, out, err = run(["-p", self.bin, "-p", self.path("bin2"), "-f", "$I*",
                              "--format=jsonl", "--collect=" + self.out])
        self.assertEqual(code, 0, err)
        base = os.path.join(self.out, SID)
        with open(os.path.join(base, "$IAAAAAA.exe/setup.exe"), "rb") as f:
            self.assertEqual(f.read(), b"hello world")
        with open(os.path.join(base, "$IAAAAAA.exe/setup (2).exe"), "rb") as f:
            self.assertEqual(f.read(), b"two")
        with open(os.path.join(base, "$IUPUPUP.txt/__"), "rb") as f:
            self.assertEqual(f.read(), b"u")
        by_copy = {l["copy"]: l for l in self.manifest()}
        self.assertTrue(by_copy[SID + "/$IAAAAAA.exe/setup (2).exe"]["renamed"])
        self.assertTrue(by_copy[SID + "/$IUPUPUP.txt/__"]["renamed"])
        self.assertFalse(by_copy[SID + "/$IAAAAAA.exe/setup.exe"]["renamed"])
        self.assertEqual(sorted(os.listdir(self.tmp)), ["bin", "bin2", "copies"])

    def test_a_folder_deeper_than_a_path_can_name(self):
        depth = 1200  # some 6,000 bytes of path, past PATH_MAX
        # Taken away by rm, whose walk does not recurse as Python's does.
        self.addCleanup(subprocess.run, ["rm", "-rf", self.path("deep"), self.out])
        deleted = filetime(2021, 6, 7, 8, 9, 10)
        self.write("deep/%s/$IDEEPER" % SID, index_v2(0, deleted, "C:\\deep"))
        fd = os.open(self.path("deep", SID), os.O_RDONLY | os.O_DIRECTORY)
        os.mkdir("$RDEEPER", dir_fd=fd)
        for level in range(depth):
            below = os.open("$RDEEPER" if level == 0 else "d%d" % (level - 1), os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = below
            os.mkdir("d%d" % level, dir_fd=fd)
        below = os.open("d%d" % (depth - 1), os.O_RDONLY, dir_fd=fd)
        os.close(fd)
        fd = below
        last = os.open("f.txt", os.O_WRONLY | os.O_CREAT, dir_fd=fd)
        os.write(last, b"bottom")
        os.close(last)
        os.close(fd)
        code, out, err = run(["-p", self.path("deep"), "-f", "$I*", "--format=jsonl",
                              "--collect=" + self.out], timeout=120)
        self.assertEqual(code, 0, err)
        fd = os.open(os.path.join(self.out, SID, "$IDEEPER", "deep"), os.O_RDONLY)
        for level in range(depth):
            below = os.open("d%d" % level, os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = below
        f = os.open("f.txt", os.O_RDONLY, dir_fd=fd)
        self.assertEqual(os.read(f, 100), b"bottom")
        os.close(f)
        os.close(fd)
        [line] = self.manifest()
        self.assertEqual(line["copy"].count("/"), depth + 3)
        self.assertEqual(line["original_path"], "C:\\deep\\" +
                         "\\".join("d%d" % i for i in range(depth)) + "\\f.txt")

    def refused(self, args, reason):
        code, out, err = run(args)
        self.assertEqual(code, 5, err)
        self.assertIn(b"Illegal option: collect=", out + err)
        self.assertIn(reason, err)
        return code, out, err

    def test_a_folder_that_is_not_empty_or_not_a_folder_is_refused(self):
        os.makedirs(self.out)
        self.write("copies/earlier.txt", b"x")
        self.refused(["-p", self.bin, "--format=jsonl", "--collect=" + self.out], b"it is not empty")
        self.assertEqual(os.listdir(self.out), ["earlier.txt"])
        self.refused(["-p", self.bin, "--collect=" + self.path("copies/earlier.txt")],
                     b"it is not a folder")

    def test_a_folder_inside_the_walked_tree_is_refused_and_not_made(self):
        inside = self.path("bin", SID, "copies")
        self.refused(["-p", self.bin, "--format=jsonl", "--collect=" + inside],
                     b"it lies inside the walked folder")
        self.assertFalse(os.path.exists(inside))
        # Also through a link, and as the walked folder itself.
        os.symlink(self.path("bin", SID), self.path("link"))
        self.refused(["-p", self.bin, "--collect=" + self.path("link", "new")], b"inside the walked")
        self.assertFalse(os.path.exists(self.path("bin", SID, "new")))
        self.refused(["-p", self.bin, "--collect=" + self.bin], b"inside the walked")
        # Without -p the current folder is walked.
        code, out, err = run(["--collect=copies"], cwd=self.tmp)
        self.assertEqual(code, 5)
        self.assertFalse(os.path.exists(self.out))

    def test_a_copy_that_cannot_be_written_is_named_and_the_run_goes_on(self):
        if os.geteuid() != 0 or shutil.which("mount") is None:
            self.skipTest("a small file system needs root")
        os.makedirs(self.out)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", self.out],
                          stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("tmpfs cannot be mounted here")
        self.addCleanup(subprocess.run, ["umount", self.out])
        code, out, err = run(["-p", self.bin, "-f", "$I*", "--format=jsonl", "--hash=sha256",
                              "--collect=" + self.out])
        self.assertEqual(code, 8, err)
        self.assertIn(b"Can't write the copy " + SID.encode() + b"/$IBIGBIG.bin/big.bin: "
                      b"No space left on device", err)
        # The rest are copied, the partial copy is gone, the report is whole.
        base = os.path.join(self.out, SID)
        self.assertFalse(os.path.exists(os.path.join(base, "$IBIGBIG.bin/big.bin")))
        self.assertTrue(os.path.exists(os.path.join(base, "$IAAAAAA.exe/setup.exe")))
        records = by_entry([r for r in jsonl(out) if r["format"] != "content"])
        self.assertEqual(len(records), 5)
        self.assertEqual(records["$IBIGBIG.bin"]["companion_sha256"], hashlib.sha256(BIG).hexdigest())
        with open(os.path.join(self.out, "manifest.jsonl")) as f:
            self.assertNotIn("big.bin", f.read())


def zone_entries():
    deleted = filetime(2021, 6, 7, 8, 9, 10)
    folder = "$Recycle.Bin/" + SID
    entries = [images.Entry("$Recycle.Bin"), images.Entry(folder)]
    for name, data in bin_files():
        if "/" in name:
            parent = folder + "/" + name.rsplit("/", 1)[0]
            if not any(e.path == parent for e in entries):
                entries.append(images.Entry(parent))
        entries.append(images.Entry(folder + "/" + name, data))
    return entries


class OnAnImage(ImageTest):
    """An NTFS image whose $R file carries a Zone.Identifier stream written
    through ntfs-3g; read in place and through the ntfs-3g mount."""

    def setUp(self):
        super().setUp()
        if not formats_supported():
            self.skipTest("this build writes no UTF-8 formats")
        self.image = self.path("zone.img")
        self.build(images.build_ntfs, self.image, zone_entries(), 16)
        with images.NtfsMount(self.image) as root:
            os.setxattr(os.path.join(root, "$Recycle.Bin", SID, "$RAAAAAA.exe"),
                        "user.Zone.Identifier", ZONE_TEXT)

    def icat(self, path):
        inode = subprocess.run(["ifind", "-n", path, self.image], check=True,
                               stdout=subprocess.PIPE).stdout.decode().strip()
        return subprocess.run(["icat", self.image, inode], check=True, stdout=subprocess.PIPE).stdout

    def test_zone_fields_and_digests_in_place_and_through_the_mount(self):
        if shutil.which("icat") is None or shutil.which("ifind") is None:
            self.skipTest("The Sleuth Kit's tools are not installed")
        code, out, err = self.run_image(self.image, ["-f", "$I*", "--format=jsonl",
                                                     "--hash=md5,sha1,sha256"])
        self.assertEqual(code, 0, err)
        in_image = by_entry(jsonl(out))
        got = in_image["$IAAAAAA.exe"]
        self.assertEqual((got["zone_id"], got["host_url"], got["referrer_url"]),
                         (3, "https://cdn.example.com/setup.exe", "https://example.com/downloads"))
        for entry in ("$IBIGBIG.bin", "$IFOLDER", "$IGONE00.doc", "$IEMPTY0.txt"):
            self.assertIsNone(in_image[entry]["zone_id"], entry)
            self.assertIsNone(in_image[entry]["host_url"], entry)
        for entry, companion in (("$IAAAAAA.exe", "$RAAAAAA.exe"), ("$IBIGBIG.bin", "$RBIGBIG.bin"),
                                 ("$IEMPTY0.txt", "$REMPTY0.txt")):
            data = self.icat("/$Recycle.Bin/%s/%s" % (SID, companion))
            self.assertEqual({k: in_image[entry][k] for k in NO_DIGESTS}, digests(data), entry)
        self.assertEqual({k: in_image["$IFOLDER"][k] for k in NO_DIGESTS}, NO_DIGESTS)

        image_stamp = (images.sha256(self.image), os.stat(self.image).st_mtime_ns)
        with images.NtfsMount(self.image, read_only=True) as root:
            code, out, err = run(["-p", os.path.join(root, "$Recycle.Bin"), "-f", "$I*",
                                  "--format=jsonl", "--hash=md5,sha1,sha256"])
        self.assertEqual((images.sha256(self.image), os.stat(self.image).st_mtime_ns), image_stamp)
        self.assertEqual(code, 0, err)
        mounted = by_entry(jsonl(out))
        for entry, record in in_image.items():
            for field in ("zone_id", "host_url", "referrer_url", "companion_md5", "companion_sha1",
                          "companion_sha256"):
                self.assertEqual(mounted[entry][field], record[field], (entry, field))

    def test_copies_out_of_the_image_without_mounting_it(self):
        if shutil.which("icat") is None or shutil.which("ifind") is None:
            self.skipTest("The Sleuth Kit's tools are not installed")
        out_dir = self.path("copies")
        code, out, err = self.run_image(self.image, ["-f", "$I*", "--format=jsonl",
                                                     "--collect=" + out_dir])
        self.assertEqual(code, 0, err)
        base = os.path.join(out_dir, SID)
        for copy, original in (("$IAAAAAA.exe/setup.exe", "$RAAAAAA.exe"),
                               ("$IBIGBIG.bin/big.bin", "$RBIGBIG.bin"),
                               ("$IFOLDER/Project/src/main.c", "$RFOLDER/src/main.c")):
            with open(os.path.join(base, copy), "rb") as f:
                self.assertEqual(hashlib.sha256(f.read()).hexdigest(),
                                 hashlib.sha256(self.icat("/$Recycle.Bin/%s/%s" % (SID, original))).hexdigest())
        with open(os.path.join(out_dir, "manifest.jsonl")) as f:
            lines = [json.loads(l) for l in f]
        self.assertEqual(len(lines), 5)
        self.assertTrue(all(l["source"].startswith("IMAGE:p0:/$Recycle.Bin/") for l in lines))

    def test_a_folder_on_the_evidence_is_refused(self):
        for target in (self.image, os.path.join(self.tmp, "link.img")):
            if target != self.image:
                os.symlink(self.image, target)
            code, out, err = self.run_image(self.image, ["--format=jsonl", "--collect=" + target])
            self.assertEqual(code, 5, err)
            self.assertIn(b"it is part of the evidence image", err)
            self.assertEqual(out, b"")


if __name__ == "__main__":
    unittest.main()
