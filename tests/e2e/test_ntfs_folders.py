"""The program's own loads of NTFS folders against The Sleuth Kit's, folder
by folder (tools/ntfs_folder_check, built beside the program): every folder
of every NTFS volume of the test images and of the 500 damaged images of
mutants.py, loaded both ways, lists the same names in the same order, with
the same entries, sequence numbers, kinds and flags; a folder the program
leaves to the library is one the library refuses.  No image changes."""

import os
import shutil
import subprocess
import tempfile
import unittest

import images
import mutants
from binsift_e2e import BINSIFT

CHECKER = os.path.join(os.path.dirname(BINSIFT), "ntfs_folder_check")
KINDS = ["ntfs", "ntfs-carve", "ntfs-names", "ntfs-nobin", "partitioned", "e01", "vss-bin",
         "vsstest", "users-bin"]


def check(paths):
    """Runs the checker on `paths`; returns (exit code, its lines): what it
    writes to its standard output, then its error stream (kept apart, so that
    what a sanitizer writes at exit cannot split a line)."""
    p = subprocess.run([CHECKER, "-v"] + paths, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       timeout=600)
    return p.returncode, (p.stdout + p.stderr).decode("utf-8", "replace").splitlines()


class FolderLoads(unittest.TestCase):
    def setUp(self):
        if not os.path.exists(CHECKER):
            self.skipTest("this build reads no images (no %s)" % CHECKER)
        self.work = tempfile.mkdtemp(prefix="binsift-folders-")
        self.addCleanup(shutil.rmtree, self.work, True)

    def assert_same(self, code, lines, volumes):
        self.assertEqual(code, 0, "\n".join(lines[-40:]))
        summaries = [line for line in lines if line.endswith(" differ")]
        self.assertEqual(len(summaries), volumes, "\n".join(lines[-40:]))
        for line in summaries:
            self.assertTrue(line.endswith(", 0 differ"), line)
        # Left to the library only where the library refuses the folder.
        self.assertEqual([line for line in lines if "which reads it" in line], [])
        return summaries

    def test_every_test_image(self):
        built, volumes = [], 0
        for kind in KINDS:
            out = os.path.join(self.work, "image.E01" if kind == "e01" else kind + ".img")
            p = subprocess.run(["python3", os.path.join(os.path.dirname(__file__), "images.py"), kind, out],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            if p.returncode == 77:
                continue
            self.assertEqual(p.returncode, 0, p.stdout[-2000:])
            built.append(out)
            # The NTFS volumes each kind holds (the FAT one of "partitioned" is not checked).
            volumes += 2 if kind == "users-bin" else 1
        if not built:
            self.skipTest("no test image can be built here")
        before = {path: (images.sha256(path), os.stat(path).st_mtime_ns) for path in built}
        code, lines = check(built)
        summaries = self.assert_same(code, lines, volumes)
        # Every folder loaded here, none left to the library.
        for line in summaries:
            folders, here = line.split(": ")[-1].split(", ")[:2]
            self.assertEqual(folders.split()[0], here.split()[0], line)
        self.assertEqual(before, {path: (images.sha256(path), os.stat(path).st_mtime_ns) for path in built})

    def test_every_mutant(self):
        try:
            images.require_tools("fls")
            base_path = mutants.build_image(os.path.join(self.work, "base.img"))
        except images.Unavailable as e:
            self.skipTest(str(e))
        with open(base_path, "rb") as f:
            base = f.read()
        digest, stamp = images.sha256(base_path), os.stat(base_path).st_mtime_ns
        every = mutants.generate(mutants.Layout(base_path))
        self.assertEqual(len(every), 500)
        loaded_here = left = 0
        for start in range(0, len(every), 50):
            batch = []
            for m in every[start:start + 50]:
                path = os.path.join(self.work, "m%03d.img" % m.index)
                mutants.write_mutant(base_path, m, path, base)
                batch.append(path)
            code, lines = check(batch)
            for line in self.assert_same(code, lines, len(batch)):
                counts = line.split(": ")[-1].split(", ")
                loaded_here += int(counts[1].split()[0])
                left += int(counts[2].split()[0])
            for path in batch:
                os.remove(path)
        # Most folders of the damaged images are still loaded here.
        self.assertGreater(loaded_here, 20 * left)
        self.assertEqual((images.sha256(base_path), os.stat(base_path).st_mtime_ns), (digest, stamp))


if __name__ == "__main__":
    unittest.main()
