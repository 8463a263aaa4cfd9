"""Recycled folders' contents: after a record whose companion is a folder,
the UTF-8 formats write one "content" record for every entry below it,
depth first, each folder before its entries, in listing order.  On a
mounted tree they are checked against os.scandir and lstat, in an image
against The Sleuth Kit's fls and istat; the csv module, jq, sqlite3 and
mactime read them back.  The seed report keeps its walk."""

import csv
import datetime
import io
import json
import os
import shutil
import subprocess
import unittest

from binsift_e2e import BINSIFT, TreeTest, filetime, index_v2, run

SID = "S-1-5-21-3623811015-3361044348-30300820-1001"
DELETED = filetime(2015, 4, 6, 14, 3, 27)
ORIGINAL = "D:\\Projekte\\\u00dcn\u00efc\u00f6d\u00e9"


def iso(ft):
    """A FILETIME as the reports write it."""
    if not ft:
        return ""
    seconds, ticks = divmod(ft, 10000000)
    moment = datetime.datetime(1601, 1, 1) + datetime.timedelta(seconds=seconds)
    return moment.strftime("%Y-%m-%dT%H:%M:%S") + ".%07dZ" % ticks


def ft_of_ns(ns):
    return ns // 100 + 116444736000000000


def csv_rows(out):
    return list(csv.DictReader(io.StringIO(out.decode("utf-8"), newline="")))


def listing(top):
    """Every entry below `top` as (path below it with "/", DirEntry), depth
    first, each folder before its entries, each folder's entries in the
    order the system lists them; links are not followed."""
    out = []
    stack = [(top, "", iter(list(os.scandir(top))))]
    while stack:
        folder, rel, entries = stack[-1]
        entry = next(entries, None)
        if entry is None:
            stack.pop()
            continue
        out.append((rel + entry.name, entry))
        if entry.is_dir(follow_symlinks=False):
            stack.append((entry.path, rel + entry.name + "/", iter(list(os.scandir(entry.path)))))
    return out


def kind_of(entry):
    if entry.is_symlink():
        return "other"
    if entry.is_dir(follow_symlinks=False):
        return "directory"
    if entry.is_file(follow_symlinks=False):
        return "file"
    return "other"


class MountedTree(TreeTest):
    def setUp(self):
        super().setUp()
        code, _, err = run(["--format=jsonl", "-p", self.tmp])
        if b"Illegal option" in err:
            self.skipTest("this build writes only the seed report")

    def make_bin(self):
        """A user's bin: a deleted folder with nested files and folders (non-
        ASCII names, a file named like an index file holding an index file's
        bytes, an empty folder, a link to a folder outside), and a file."""
        user = self.path("bin", SID)
        fake = index_v2(5, filetime(2020, 1, 2, 3, 4, 5), "C:\\not\\a\\record.txt")
        self.write("bin/%s/$IK3J9Q2" % SID, index_v2(1234, DELETED, ORIGINAL))
        top = "bin/%s/$RK3J9Q2/" % SID
        self.write(top + "\u00dcn\u00efc\u00f6d\u00e9.txt", b"Gr\xc3\xbc\xc3\x9fe\r\n")
        self.write(top + "\u5831\u544a\u66f8/\u6458\u8981.txt", "\u6458\u8981".encode("utf-16-le"))
        self.write(top + "\u5831\u544a\u66f8/\u6df1\u3044/data.bin", bytes(range(256)) * 20)
        os.makedirs(self.path(top + "leer"))
        self.write(top + "$IFAKE01.txt", fake)
        self.write("outside/secret.txt", b"never listed")
        os.symlink(self.path("outside"), self.path(top + "link"))
        self.write("bin/%s/$I7R52EG.txt" % SID, index_v2(14, DELETED, "C:\\Temp\\a.txt"))
        self.write("bin/%s/$R7R52EG.txt" % SID, b"fourteen bytes")
        return user, self.path(top.rstrip("/"))

    def test_every_entry_below_the_folder_as_the_system_lists_it(self):
        user, companion = self.make_bin()
        code, out, err = run(["-p", self.path("bin"), "-f", "$I*", "--format=csv"])
        self.assertEqual(code, 0, err)
        rows = csv_rows(out)
        index = [r for r in rows if r["format"] != "content"]
        # The user's own "$I" file in the deleted folder is no record.
        self.assertEqual(sorted(os.path.basename(r["source"]) for r in index), ["$I7R52EG.txt", "$IK3J9Q2"])
        folder_at = [i for i, r in enumerate(rows) if r["source"].endswith("$IK3J9Q2")][0]
        expected = listing(companion)
        got = rows[folder_at + 1:folder_at + 1 + len(expected)]
        # Right after its folder's record, nothing else among them.
        self.assertEqual(len([r for r in rows if r["format"] == "content"]), len(expected))
        self.assertEqual([r["source"] for r in got], [companion + "/" + rel for rel, _ in expected])
        parent = rows[folder_at]
        self.assertEqual(parent["companion"], "directory")
        for (rel, entry), r in zip(expected, got):
            st = os.lstat(entry.path)
            self.assertEqual(r["format"], "content", rel)
            self.assertEqual(r["original_path"], ORIGINAL + "\\" + rel.replace("/", "\\"), rel)
            name = rel.rsplit("/", 1)[-1]
            self.assertEqual(r["extension"], name.rsplit(".", 1)[1] if "." in name else "", rel)
            self.assertEqual((r["deleted"], r["user_sid"], r["parent_source"]),
                             (iso(DELETED), SID, parent["source"]), rel)
            self.assertEqual(r["companion"], kind_of(entry), rel)
            self.assertEqual(r["companion_size"], str(st.st_size) if r["companion"] == "file" else "", rel)
            self.assertEqual(r["companion_modified"], iso(ft_of_ns(st.st_mtime_ns)), rel)
            self.assertEqual(r["companion_changed"], iso(ft_of_ns(st.st_ctime_ns)), rel)
            if r["companion"] != "directory":  # listing a folder may touch its access time
                self.assertEqual(r["companion_accessed"], iso(ft_of_ns(st.st_atime_ns)), rel)
            # No index file of its own.
            self.assertEqual((r["size"], r["entry_name"], r["index_created"], r["index_modified"],
                              r["warnings"]), ("", "", "", "", ""), rel)
        kinds = {rel: r["companion"] for (rel, _), r in zip(expected, got)}
        self.assertEqual(kinds["link"], "other")
        self.assertEqual(kinds["$IFAKE01.txt"], "file")
        self.assertEqual(kinds["\u5831\u544a\u66f8/\u6df1\u3044"], "directory")
        self.assertNotIn("link/secret.txt", kinds)

    def test_the_seed_report_keeps_its_walk(self):
        self.make_bin()
        code, out, err = run(["-p", self.path("bin"), "-f", "$I*"])
        self.assertEqual(code, 0, err)
        names = [line.split(b"|")[0].strip() for line in out.splitlines()[1:]]
        # The walk enters the deleted folder and decodes the file in it, as
        # it always has; no content rows.
        self.assertEqual(sorted(names), [b"$I7R52EG.txt", b"$IFAKE01.txt", b"$IK3J9Q2"])

    def test_patterns_exclusions_and_recursion_do_not_filter_contents(self):
        _, companion = self.make_bin()
        code, out, err = run(["-p", self.path("bin"), "-f", "$IK*", "-x", "*.txt", "-r", "--format=tsv"])
        self.assertEqual(code, 0, err)
        lines = out.decode("utf-8").splitlines()[1:]
        # -r stops the walk at the bin: no user folder, no record.
        self.assertEqual(lines, [])
        code, out, err = run(["-p", self.path("bin", SID), "-f", "$IK*", "-x", "*.txt", "-r", "--format=tsv"])
        lines = out.decode("utf-8").splitlines()[1:]
        self.assertEqual(len(lines), 1 + len(listing(companion)))
        self.assertTrue(any(line.split("\t")[0].endswith("/$IFAKE01.txt") for line in lines))

    def test_json_lines_sqlite3_and_mactime_read_the_rows(self):
        _, companion = self.make_bin()
        expected = listing(companion)
        code, out, err = run(["-p", self.path("bin"), "-f", "$I*", "--format=jsonl"])
        self.assertEqual(code, 0, err)
        if shutil.which("jq"):
            jq = subprocess.run(["jq", "-r", 'select(.format == "content") | .original_path'],
                                input=out, capture_output=True, check=True)
            self.assertEqual(jq.stdout.decode("utf-8").splitlines(),
                             [ORIGINAL + "\\" + rel.replace("/", "\\") for rel, _ in expected])
        records = [json.loads(line) for line in out.splitlines()]
        folder = [r for r in records if r["format"] == "content" and r["companion"] == "directory"][0]
        self.assertEqual((folder["size"], folder["companion_size"], folder["entry"]), (None, None, None))

        code, out, err = run(["-p", self.path("bin"), "-f", "$I*", "--format=csv"])
        if shutil.which("sqlite3"):
            path = self.write("report.csv", out)
            db = subprocess.run(["sqlite3", ":memory:", "-cmd", ".import --csv %s r" % path,
                                 "select count(*), count(distinct parent_source) from r where format = 'content';"],
                                capture_output=True, check=True)
            self.assertEqual(db.stdout.decode().strip(), "%d|1" % len(expected))

        code, out, err = run(["-p", self.path("bin"), "-f", "$I*", "--format=body"])
        self.assertEqual(code, 0, err)
        lines = out.decode("utf-8").splitlines()
        content = [line for line in lines if "(recycled content; %s/" % companion in line]
        self.assertEqual(len(content), len(expected))
        for (rel, entry), line in zip(expected, content):
            fields = line.split("|")
            st = os.lstat(entry.path)
            self.assertEqual(fields[1], "%s\\%s (recycled content; %s/%s)"
                             % (ORIGINAL, rel.replace("/", "\\"), companion, rel))
            self.assertEqual(fields[6], str(st.st_size) if kind_of(entry) == "file" else "0")
            self.assertEqual(int(fields[8]), st.st_mtime_ns // 10**9)
        if shutil.which("mactime"):
            body = self.write("report.body", out)
            p = subprocess.run(["mactime", "-b", body, "-d", "-z", "UTC"], capture_output=True,
                               timeout=120, env=dict(os.environ, LC_ALL="C.UTF-8"))
            self.assertEqual(p.returncode, 0, p.stderr)
            text = p.stdout.decode("utf-8")
            for rel, _ in expected:
                self.assertIn("%s\\%s (recycled content;" % (ORIGINAL, rel.replace("/", "\\")), text)

    def test_an_info2_bins_dc_folder(self):
        from test_info2 import info2
        folder = "RECYCLER/S-1-5-21-1-2-3-1003"
        self.write(folder + "/INFO2", info2(5, 800, [
            (b"C:\\Docs\\Old", 1, 2, DELETED, 4096, "C:\\Docs\\Old"),
            (b"C:\\a.txt", 2, 2, DELETED, 3, "C:\\a.txt")]))
        self.write(folder + "/Dc1/Bericht.doc", b"doc")
        self.write(folder + "/Dc1/Anh\xc3\xa4nge/Bild.png", b"png")
        self.write(folder + "/Dc2.txt", b"abc")
        code, out, err = run(["-p", self.path("RECYCLER"), "-f", "INFO2", "--format=csv"])
        self.assertEqual(code, 0, err)
        rows = csv_rows(out)
        dc = self.path(folder, "Dc1")
        expected = listing(dc)
        self.assertEqual([(r["format"], r["entry_name"]) for r in rows[:2]], [("info2", "Dc1"), ("content", "")])
        self.assertEqual([r["source"] for r in rows[1:1 + len(expected)]], [dc + "/" + rel for rel, _ in expected])
        self.assertEqual([r["original_path"] for r in rows[1:1 + len(expected)]],
                         ["C:\\Docs\\Old\\" + rel.replace("/", "\\") for rel, _ in expected])
        self.assertEqual({r["parent_source"] for r in rows[1:1 + len(expected)]}, {self.path(folder, "INFO2")})
        self.assertEqual([(r["format"], r["entry_name"]) for r in rows[1 + len(expected):]], [("info2", "Dc2.txt")])

    def test_a_folder_ten_thousand_deep(self):
        depth = 10000
        self.write("bin/$IDEEP", index_v2(0, DELETED, "C:\\deep"))
        os.mkdir(self.path("bin", "$RDEEP"))
        fd = os.open(self.path("bin", "$RDEEP"), os.O_RDONLY | os.O_DIRECTORY)
        try:
            for _ in range(depth):
                os.mkdir("d", dir_fd=fd)
                child = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
                os.close(fd)
                fd = child
            with open(os.open("last.txt", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd), "wb") as f:
                f.write(b"bottom")
        finally:
            os.close(fd)
        code, out, err = run(["-p", self.path("bin"), "-f", "$I*", "--format=jsonl"], timeout=300)
        self.assertEqual(code, 0, err[-500:])
        records = [json.loads(line) for line in out.splitlines()]
        self.assertEqual(len(records), 1 + depth + 1)
        last = records[-1]
        self.assertEqual(last["original_path"], "C:\\deep" + "\\d" * depth + "\\last.txt")
        self.assertEqual((last["companion"], last["companion_size"]), ("file", 6))
        # Removing it takes the same care.
        subprocess.run(["rm", "-rf", self.path("bin", "$RDEEP")], check=True)

    def test_a_folder_inside_that_cannot_be_read_is_named_and_the_rest_written(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to run the program as another user")
        self.write("bin/$ILOCK", index_v2(0, DELETED, "C:\\lock"))
        self.write("bin/$RLOCK/a.txt", b"a")
        self.write("bin/$RLOCK/locked/secret.txt", b"s")
        self.write("bin/$RLOCK/z.txt", b"z")
        for root, dirs, files in os.walk(self.tmp):
            os.chmod(root, 0o755)
            for name in files:
                os.chmod(os.path.join(root, name), 0o644)
        os.chmod(self.path("bin", "$RLOCK", "locked"), 0)
        self.addCleanup(os.chmod, self.path("bin", "$RLOCK", "locked"), 0o755)
        program = self.path("binsift")
        shutil.copy(BINSIFT, program)
        os.chmod(program, 0o755)

        def demote():
            os.setgid(65534)
            os.setuid(65534)
        p = subprocess.run([program, "-p", self.path("bin"), "-f", "$I*", "--format=csv"],
                           stdin=subprocess.DEVNULL, capture_output=True, preexec_fn=demote, cwd="/",
                           timeout=60)
        self.assertEqual(p.returncode, 10, p.stderr)
        self.assertIn(b"\nCan't read directory " + self.path("bin", "$RLOCK", "locked").encode() +
                      b"/: Permission denied\n", p.stderr)
        rows = csv_rows(p.stdout)
        expected = ["$RLOCK/" + rel for rel, _ in listing(self.path("bin", "$RLOCK"))]
        expected.remove("$RLOCK/locked/secret.txt")
        self.assertEqual([os.path.relpath(r["source"], self.path("bin")) for r in rows], ["$ILOCK"] + expected)


if __name__ == "__main__":
    unittest.main()
