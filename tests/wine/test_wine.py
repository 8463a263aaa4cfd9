"""The Windows program under Wine: the same rows as the Linux program for
every real index file, the exit codes, the help screen, and an accounting
file and an INI file named with Windows paths.

Wine is started headless: wine64 called directly, a prefix of the test's
own, a debugger that gives exit codes instead of dumps, and a persistent
wineserver whose output does not hold the test's pipes open."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
EXE = os.path.abspath(os.environ.get("BINSIFT_EXE", os.path.join(ROOT, "build-win64", "binsift.exe")))
LINUX = os.path.abspath(os.environ.get("BINSIFT", os.path.join(ROOT, "build", "binsift")))
SAMPLES = os.path.abspath(os.environ.get("BINSIFT_SAMPLES", os.path.join(ROOT, "..", "shared", "samples")))
WINE = "/usr/lib/wine/wine64"
SERVER = "/usr/lib/wine/wineserver"

HELP_START = (b"\r\n\r\nThis program: binsift is intended to take the $RECYCLE.BIN files\r\n"
              b"named: $Ixxxx.ext from Windows 7 and above and decode the content of same.\r\n\r\n")

ENV = {}
SERVER_PROCESS = []


def windows_path(path):
    """Wine shows the Linux root as drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def setUpModule():
    if not (os.path.exists(WINE) and os.path.exists(EXE)):
        raise unittest.SkipTest("wine64 or the Windows program is missing")
    prefix = tempfile.mkdtemp(prefix="binsift-wine-")
    ENV.update(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", LANG="C")
    ENV.pop("DISPLAY", None)
    subprocess.run([WINE, "wineboot", "-i"], env=ENV, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600, check=True)
    subprocess.run([WINE, "reg", "add", "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug",
                    "/v", "Debugger", "/d", "", "/f"], env=ENV, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120, check=True)
    SERVER_PROCESS.append(subprocess.Popen([SERVER, "-p"], env=ENV, stdin=subprocess.DEVNULL,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))


def tearDownModule():
    if ENV:
        subprocess.run([SERVER, "-k"], env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for p in SERVER_PROCESS:
            p.wait(timeout=60)
        shutil.rmtree(ENV["WINEPREFIX"], ignore_errors=True)


def wine(args, cwd=None, timeout=120, env=None):
    p = subprocess.run([WINE, EXE] + args, env=dict(ENV, **(env or {})), cwd=cwd, stdin=subprocess.DEVNULL,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
    return p.returncode, p.stdout, p.stderr


def linux(args):
    p = subprocess.run([LINUX] + args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, timeout=120, env=dict(os.environ, LANG="C"))
    return p.returncode, p.stdout, p.stderr


class SameRows(unittest.TestCase):
    @unittest.skipUnless(os.path.isdir(SAMPLES), "the sample files are not beside this checkout")
    def test_every_sample_folder(self):
        folders = sorted({os.path.dirname(os.path.join(root, f))
                          for root, _, files in os.walk(SAMPLES) for f in files if f.startswith("$I")})
        self.assertGreater(len(folders), 8)
        for folder in folders:
            with self.subTest(folder=os.path.relpath(folder, SAMPLES)):
                code, out, err = wine(["-p", windows_path(folder), "-f", "$I*.*", "-r"])
                self.assertEqual(code, 0, err)
                self.assertNotIn(b"\n", out.replace(b"\r\n", b""))  # every line end is CR LF
                rows = sorted(out.replace(b"\r\n", b"\n").splitlines(keepends=True))
                code, expected, _ = linux(["-p", folder, "-f", "$I*.*", "-r"])
                self.assertEqual(rows, sorted(expected.splitlines(keepends=True)))


class ExitCodes(unittest.TestCase):
    def test_help_screen_and_code_5(self):
        for args in ([], ["-?"]):
            with self.subTest(args=args):
                code, out, err = wine(args)
                self.assertEqual((code, out), (5, b""))
                self.assertTrue(err.startswith(HELP_START), err[:200])
                self.assertIn(b"Since output is to the screen, it is suggested you redirect >> output\r\n",
                              err)

    def test_code_5_for_bad_options(self):
        self.assertEqual(wine(["-f", "a\\b"])[:2], (5, b""))
        self.assertEqual(wine(["--rec=Off"])[:2], (5, b"\r\nIllegal option: rec=Off"))

    def test_images_and_shadow_copies_are_refused_alike(self):
        refused = (5, b"", b"\r\nEvidence images are not supported by this build\r\n")
        self.assertEqual(wine(["--image=Z:\\disk.dd", "-p", "C:\\"]), refused)
        self.assertEqual(wine(["--shadows", "-p", "C:\\"]), refused)
        self.assertEqual(wine(["--SHADOWS", "--image=Z:\\disk.dd"]), refused)

    def test_registry_hives_are_refused_as_images_are(self):
        refused = (5, b"", b"\r\nRegistry hives are not supported by this build\r\n")
        self.assertEqual(wine(["--format=csv", "--registry=Z:\\SAM", "-p", "C:\\"]), refused)

    def test_code_0_for_a_run_that_finds_nothing(self):
        # (Options are written with "-": Wine turns an argument that starts
        # with "/" into a path before the program sees it.)
        folder = tempfile.mkdtemp(prefix="binsift-wine-run-")
        self.addCleanup(shutil.rmtree, folder, True)
        code, out, err = wine(["-p", windows_path(folder), "-B"])
        self.assertEqual((code, out), (0, b""))
        self.assertIn(b"Processed 0 file(s) \r\n", err)


class ContentsAndNames(unittest.TestCase):
    """A deleted folder's contents, and the system's own account names."""

    def test_the_same_contents_as_the_linux_program_and_the_systems_names(self):
        folder = tempfile.mkdtemp(prefix="binsift-wine-bin-")
        self.addCleanup(shutil.rmtree, folder, True)
        index = (b"\x02" + b"\0" * 7 + b"\0" * 8 + b"\x00\x80\x3e\xd5\xde\xb1\x9d\x01" +
                 b"\x05\0\0\0" + "C:\\x\0".encode("utf-16-le"))
        for sid in ("S-1-5-18", "S-1-5-20"):
            os.makedirs(os.path.join(folder, sid, "$RFOLDER", "sub"))
            with open(os.path.join(folder, sid, "$IFOLDER"), "wb") as f:
                f.write(index)
            with open(os.path.join(folder, sid, "$RFOLDER", "sub", "a.txt"), "wb") as f:
                f.write(b"abc")
        code, out, err = wine(["-p", windows_path(folder), "-f", "$I*", "--format=jsonl"])
        self.assertEqual(code, 0, err)
        import json
        records = [json.loads(line) for line in out.splitlines()]
        self.assertEqual([(r["format"], r["original_path"], r["user_name"]) for r in records], [
            (fmt, path, name) for name in ("SYSTEM", "NETWORK SERVICE")
            for fmt, path in (("v2", "C:\\x"), ("content", "C:\\x\\sub"), ("content", "C:\\x\\sub\\a.txt"))])
        self.assertTrue(records[2]["source"].endswith("\\$RFOLDER\\sub\\a.txt"), records[2])
        code, expected, _ = linux(["-p", folder, "-f", "$I*", "--format=jsonl"])
        linux_records = [json.loads(line) for line in expected.splitlines()]
        self.assertEqual([(r["format"], r["original_path"], r["companion"], r["companion_size"], r["user_name"])
                          for r in records],
                         [(r["format"], r["original_path"], r["companion"], r["companion_size"], r["user_name"])
                          for r in linux_records])


class RunLogAndIni(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="binsift-wine-log-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        os.makedirs(os.path.join(self.tmp, "bin"))
        shutil.copy(os.path.join(SAMPLES, "rifiuti2", "dir-win10-01", "$IHO61YT"),
                    os.path.join(self.tmp, "bin")) if os.path.isdir(SAMPLES) else None

    def test_an_accounting_file_with_a_windows_path(self):
        log = os.path.join(self.tmp, "logs", "new", "runs.log")
        code, out, err = wine(["-p", windows_path(os.path.join(self.tmp, "bin")), "-1", windows_path(log)])
        self.assertEqual(code, 0, err)
        self.assertIn(b"Creating (log\\error) directory:  " + windows_path(os.path.join(self.tmp, "logs")).encode(),
                      out)
        with open(log, "rb") as f:
            record = f.read()
        self.assertRegex(record, rb"\A\r\n\*{40}\r\n\r\n\r\n  Started: .{24}\r\n .*\r\n\r\n Started .*\r\n"
                                 rb" Command line: .*\r\n\r\n Processed \d+ files:  0 Hits\r\n\r\n Finished: .{24}\r\n"
                                 rb" Elapsed:  0 hrs\. 0 mins\. \d+ secs\.\r\n\*{53}\r\n\Z")

    def test_an_ini_file_in_the_current_directory(self):
        with open(os.path.join(self.tmp, "binsift.ini"), "wb") as f:
            f.write(b"[ignored]\r\nPath=" + windows_path(os.path.join(self.tmp, "bin")).encode() +
                    b"\r\nQUIET=ON\r\n")
        code, out, err = wine(["-f", "$I*.*"], cwd=self.tmp)
        self.assertEqual(code, 0, err)
        self.assertFalse(out.startswith(b"              SOURCE"), out[:100])
        if os.path.isdir(SAMPLES):
            self.assertTrue(out.startswith(b"            $IHO61YT| 12884901888|"), out[:100])


if __name__ == "__main__":
    unittest.main()


class RecycledItems(unittest.TestCase):
    """--hash through the system's CNG."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="binsift-wine-items-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        import struct
        folder = os.path.join(self.tmp, "S-1-5-21-1-2-3-1001")
        os.makedirs(folder)
        self.data = {"$RAAAAAA.txt": b"hello world", "$RBBBBBB.bin": bytes(range(256)) * 5000,
                     "$RCCCCCC.txt": b""}
        for name, data in self.data.items():
            path = ("C:\\x\\" + name[2:]).encode("utf-16-le") + b"\0\0"
            with open(os.path.join(folder, "$I" + name[2:]), "wb") as f:
                f.write(struct.pack("<QqQI", 2, len(data), 132000000000000000, len(path) // 2) + path)
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)

    def test_digests_equal_the_linux_programs(self):
        import hashlib
        import json
        code, out, err = wine(["-p", windows_path(self.tmp), "-f", "$I*", "--format=jsonl",
                               "--hash=md5,SHA1,sha256"])
        self.assertEqual(code, 0, err)
        records = [json.loads(line) for line in out.decode().splitlines()]
        self.assertEqual(len(records), 3)
        for r in records:
            data = self.data["$R" + r["entry_name"][2:]]
            self.assertEqual((r["companion_md5"], r["companion_sha1"], r["companion_sha256"]),
                             (hashlib.md5(data).hexdigest(), hashlib.sha1(data).hexdigest(),
                              hashlib.sha256(data).hexdigest()), r["entry_name"])
        self.assertEqual(wine(["-p", windows_path(self.tmp), "--hash=sha512"])[:2],
                         (5, b"\r\nIllegal option: hash=sha512"))


class CollectedCopies(unittest.TestCase):
    """--collect=DIR: the same copies and manifest as the Linux program's,
    with the names Windows cannot hold written with "_"."""

    SID = "S-1-5-21-1-2-3-1001"
    # entry name: (original path, companion contents or a folder's files)
    ITEMS = {
        "$IFILE01.txt": ("C:\\x\\report.txt", bytes(range(256)) * 1200),
        "$IFOLD01": ("C:\\x\\Project", {"a.txt": b"alpha", "sub/b.bin": b"\0\1\2" * 1000,
                                            "sub/deeper/c.txt": b"", "empty/": None}),
        "$INONASC.txt": ("C:\\x\\caf\u00e9 \u2603.txt", b"snow"),
        "$IQUEST.txt": ("C:\\x\\what? a:b.txt", b"question"),
        "$ICONDEV.txt": ("C:\\x\\CON.txt", b"device"),
    }
    # The copies' names that Windows changes (relative to DIR/SID).
    RENAMED = {"$IQUEST.txt/what? a:b.txt": "$IQUEST.txt/what_ a_b.txt",
               "$ICONDEV.txt/CON.txt": "$ICONDEV.txt/CON_.txt"}
    WRITTEN = 132000000000000000  # a FILETIME in 2019
    MTIME_NS = (WRITTEN - 116444736000000000) * 100 + 1234500

    def setUp(self):
        import struct
        import time
        self.tmp = tempfile.mkdtemp(prefix="binsift-wine-collect-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.bin = os.path.join(self.tmp, "bin")
        folder = os.path.join(self.bin, self.SID)
        os.makedirs(folder)
        # Accessed after modified and recently, so that no read changes it.
        self.atime_ns = (int(time.time()) - 60) * 1000000000 + 7654300
        self.expected = {}  # copy below DIR/SID: bytes
        for entry, (original, data) in self.ITEMS.items():
            path = original.encode("utf-16-le") + b"\0\0"
            with open(os.path.join(folder, entry), "wb") as f:
                f.write(struct.pack("<QqQI", 2, 0, self.WRITTEN, len(path) // 2) + path)
            companion = os.path.join(folder, "$R" + entry[2:])
            last = original.rsplit("\\", 1)[1]
            if isinstance(data, dict):
                for name, content in data.items():
                    os.makedirs(os.path.dirname(os.path.join(companion, name)), exist_ok=True)
                    if content is None:
                        continue
                    with open(os.path.join(companion, name), "wb") as f:
                        f.write(content)
                    os.utime(os.path.join(companion, name), ns=(self.atime_ns, self.MTIME_NS))
                    self.expected[entry + "/" + last + "/" + name] = content
            else:
                with open(companion, "wb") as f:
                    f.write(data)
                self.expected[entry + "/" + last] = data
            os.utime(companion, ns=(self.atime_ns, self.MTIME_NS))

    def run_both(self):
        import json
        linux_dir = os.path.join(self.tmp, "linux-copies")
        windows_dir = os.path.join(self.tmp, "windows-copies")
        # (Wine writes names in the Unix locale's character set: UTF-8 here.)
        code, out, err = wine(["-p", windows_path(os.path.join(self.bin, self.SID)), "-f", "$I*",
                               "--format=jsonl", "--collect=" + windows_path(windows_dir)],
                              env={"LANG": "C.UTF-8"})
        self.assertEqual(code, 0, err)
        # Second: its reads may change the companions' access times.
        code, out, err = linux(["-p", os.path.join(self.bin, self.SID), "-f", "$I*", "--format=jsonl",
                                "--collect=" + linux_dir])
        self.assertEqual(code, 0, err)
        manifests = []
        for d in (linux_dir, windows_dir):
            with open(os.path.join(d, "manifest.jsonl"), "rb") as f:
                manifests.append([json.loads(line) for line in f.read().decode().splitlines()])
        return linux_dir, windows_dir, manifests

    def test_the_copies_and_manifest_equal_the_linux_programs_but_for_the_renamed(self):
        import hashlib
        linux_dir, windows_dir, (linux_lines, windows_lines) = self.run_both()
        # Every file copied, byte for byte, with its times.
        for copy, data in self.expected.items():
            name = self.RENAMED.get(copy, copy)
            path = os.path.join(windows_dir, self.SID, *name.split("/"))
            with self.subTest(copy=name):
                st = os.stat(path)  # before it is read, which may set its access time
                with open(path, "rb") as f:
                    self.assertEqual(hashlib.sha256(f.read()).hexdigest(), hashlib.sha256(data).hexdigest())
                self.assertEqual((st.st_mtime_ns, st.st_atime_ns), (self.MTIME_NS, self.atime_ns))
        # The deleted folder's tree, its empty folder and its folder's time too.
        project = os.path.join(windows_dir, self.SID, "$IFOLD01", "Project")
        self.assertTrue(os.path.isdir(os.path.join(project, "empty")))
        self.assertEqual(os.stat(project).st_mtime_ns, self.MTIME_NS)
        copied = sorted(os.path.relpath(os.path.join(r, f), windows_dir)
                        for r, _, files in os.walk(windows_dir) for f in files)
        self.assertEqual(copied, sorted(["manifest.jsonl"] + [
            os.path.join(self.SID, *self.RENAMED.get(c, c).split("/")) for c in self.expected]))

        # The manifests: the same lines, the sources in each system's form,
        # the renamed copies said to be so.
        def key(line, windows):
            source = line["source"]
            if windows:
                self.assertTrue(source.startswith("Z:\\"), source)
                source = source[2:].replace("\\", "/")
            return (line["copy"], os.path.relpath(source, self.bin), line["original_path"], line["size"],
                    line["sha256"], line["renamed"])
        renamed = {self.SID + "/" + a: self.SID + "/" + b for a, b in self.RENAMED.items()}
        expected = sorted((renamed.get(c, c), s, o, n, h, r or c in renamed)
                          for c, s, o, n, h, r in (key(line, False) for line in linux_lines))
        self.assertEqual(sorted(key(line, True) for line in windows_lines), expected)
        self.assertEqual(len(windows_lines), len(self.expected))
        self.assertEqual(sum(line["renamed"] for line in windows_lines), 2)
        self.assertIn(self.SID + "/$INONASC.txt/caf\u00e9 \u2603.txt", [line["copy"] for line in windows_lines])

    def test_a_folder_not_empty_or_inside_the_walked_tree_is_refused(self):
        full = os.path.join(self.tmp, "full")
        os.makedirs(full)
        with open(os.path.join(full, "kept.txt"), "wb") as f:
            f.write(b"keep")
        inside = windows_path(os.path.join(self.bin, self.SID))
        for target, reason in (
                (windows_path(full), b"it is not empty"),
                (windows_path(os.path.join(full, "kept.txt")), b"it is not a folder"),
                (inside + "\\copies", b"it lies inside the walked folder"),
                # Another case and the other slash name the same folder.
                (inside.upper().replace("\\", "/") + "/new/copies", b"it lies inside the walked folder")):
            with self.subTest(target=target):
                code, out, err = wine(["-p", inside, "-f", "$I*", "--format=jsonl", "--collect=" + target])
                self.assertEqual((code, out), (5, b""))
                self.assertIn(b"Illegal option: collect=", err)
                self.assertIn(reason, err)
        self.assertEqual(os.listdir(full), ["kept.txt"])
        self.assertEqual(sorted(os.listdir(os.path.join(self.bin, self.SID))),
                         sorted(list(self.ITEMS) + ["$R" + e[2:] for e in self.ITEMS]))

    def test_a_folder_deeper_than_max_path_is_made_and_written(self):
        import json
        target = os.path.join(self.tmp, "deep", *["level-%02d-abcdefghijkl" % i for i in range(20)])
        self.assertGreater(len(windows_path(target)), 260)
        code, out, err = wine(["-p", windows_path(os.path.join(self.bin, self.SID)), "-f", "$IFILE01.txt",
                               "--format=jsonl", "--collect=" + windows_path(target)])
        self.assertEqual(code, 0, err)
        with open(os.path.join(target, "manifest.jsonl"), "rb") as f:
            lines = [json.loads(line) for line in f.read().decode().splitlines()]
        self.assertEqual([line["copy"] for line in lines], [self.SID + "/$IFILE01.txt/report.txt"])
        with open(os.path.join(target, self.SID, "$IFILE01.txt", "report.txt"), "rb") as f:
            self.assertEqual(f.read(), self.ITEMS["$IFILE01.txt"][1])

    def test_names_listed_in_the_ansi_code_page_keep_their_characters(self):
        # The walk lists a folder's entries in the ANSI code page (1252
        # here); their copies are made under the same characters.
        os.makedirs(os.path.join(self.bin, self.SID, "$RFOLD01", "na\u00efve"))
        with open(os.path.join(self.bin, self.SID, "$RFOLD01", "na\u00efve", "caf\u00e9.txt"), "wb") as f:
            f.write(b"latin")
        target = os.path.join(self.tmp, "copies")
        code, out, err = wine(["-p", windows_path(os.path.join(self.bin, self.SID)), "-f", "$IFOLD01",
                               "--format=jsonl", "--collect=" + windows_path(target)], env={"LANG": "C.UTF-8"})
        self.assertEqual(code, 0, err)
        with open(os.path.join(target, self.SID, "$IFOLD01", "Project", "na\u00efve", "caf\u00e9.txt"), "rb") as f:
            self.assertEqual(f.read(), b"latin")

    def test_names_that_differ_only_in_case_are_numbered(self):
        # Windows takes them as one name: the second copy gets " (2)".
        for name, data in (("Same.txt", b"upper"), ("same.txt", b"lower!")):
            with open(os.path.join(self.bin, self.SID, "$RFOLD01", name), "wb") as f:
                f.write(data)
        target = os.path.join(self.tmp, "copies")
        code, out, err = wine(["-p", windows_path(os.path.join(self.bin, self.SID)), "-f", "$IFOLD01",
                               "--format=jsonl", "--collect=" + windows_path(target)])
        self.assertEqual(code, 0, err)
        project = os.path.join(target, self.SID, "$IFOLD01", "Project")
        copies = {}
        for name in os.listdir(project):
            if name.lower().startswith("same"):
                with open(os.path.join(project, name), "rb") as f:
                    copies[name] = f.read()
        self.assertEqual(sorted(copies.values()), [b"lower!", b"upper"])
        self.assertEqual(sorted(n.lower() for n in copies), ["same (2).txt", "same.txt"])
