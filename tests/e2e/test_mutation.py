"""Damaged copies of an NTFS image with a recycle bin (mutants.py): a few
hundred mutants, each with a few bytes of the bin's MFT entries, index
blocks or run lists changed, or a cluster zeroed.  On every one the program
must end by itself (no signal, no sanitizer report, no hang), with exit
code 0 or 10.  A run that ends with 0 has read the whole bin: every index
file that The Sleuth Kit's fls and istat show as an allocated regular file
inside a bin folder gives a record of its data, and no name inside a bin
refers to an entry the library cannot load.  A run that ends with 10 names,
on the error stream, each index file it gives no record of, or a folder
that holds it.  Whatever the exit code, no MFT entry gives two live
records, and no entry that is not allocated gives one.  No run changes the
image (mutants.judge has the rules in full).

A failure names each mutant that failed, by its index, with the bytes it
changes; `python3 mutants.py build INDEX OUT.img` rebuilds it and
`python3 mutants.py check INDEX` judges it alone."""

import collections
import concurrent.futures
import json
import os
import shutil
import tempfile
import threading
import time
import unittest

import images
import mutants
from binsift_e2e import BINSIFT, run

SANITIZED = bool(os.environ.get("BINSIFT_SANITIZED"))
# What a run may take before it counts as a hang: on the intact image it
# takes a few hundredths of a second (a few tenths under the sanitizers).
PROGRAM_TIMEOUT = 60 if SANITIZED else 20
# All mutants take some 25 s here (45 s under the sanitizers); past the
# budget, or after MAX_HANGS hangs, the rest are not run and the test fails.
BUDGET = 200
MAX_HANGS = 3
WORKERS = 2


def images_supported():
    """Whether the program under test was built to read images."""
    code, out, err = run(["--image=/nonexistent.E01", "-p", "/nonexistent"])
    return b"Evidence images are not supported by this build" not in err


class Mutants(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="binsift-mutants-")
        cls.base_path = None
        cls.unavailable = None
        try:
            images.require_tools("fls", "ils", "istat", "icat")
            if not images_supported():
                raise images.Unavailable("this build reads no images")
            cls.base_path = mutants.build_image(os.path.join(cls.work, "base.img"))
        except images.Unavailable as e:
            cls.unavailable = str(e)
            return
        with open(cls.base_path, "rb") as f:
            cls.base = f.read()
        cls.base_digest = images.sha256(cls.base_path)
        cls.base_stamp = os.stat(cls.base_path).st_mtime_ns
        cls.layout = mutants.Layout(cls.base_path)
        cls.mutants = mutants.generate(cls.layout)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, True)

    def setUp(self):
        if self.unavailable:
            self.skipTest(self.unavailable)
        self.addCleanup(self.check_base_unchanged)

    def check_base_unchanged(self):
        # Every program here only reads the intact image.
        self.assertEqual(images.sha256(self.base_path), self.base_digest)
        self.assertEqual(os.stat(self.base_path).st_mtime_ns, self.base_stamp)

    def test_the_intact_image_gives_every_index_file(self):
        view = mutants.TskView(self.base_path)
        expected = {i.path for i in mutants.bin_items()
                    if not i.is_dir and i.path.rsplit("/", 1)[-1].startswith("$I")}
        self.assertEqual(len(expected), 48)
        # The oracle sees them all, and nothing it would call lost or stale.
        self.assertEqual({path for path, _ in view.live_index_files()}, expected)
        self.assertEqual(len(view.live_index_files()), 48)
        self.assertEqual(view.unallocated_names(), [])
        runs = [mutants.run_program(BINSIFT, self.base_path, extra, PROGRAM_TIMEOUT)
                for extra in ([], ["--carve"])]
        for r in runs:
            self.assertEqual(r.code, 0, r.err[-2000:])
        self.assertEqual(mutants.judge(view, runs, PROGRAM_TIMEOUT), [])
        for r in runs:
            records = [json.loads(line) for line in r.out.splitlines()]
            self.assertEqual(sorted(rec["source"] for rec in records if "/$I" in rec["source"]),
                             sorted("IMAGE:p0:/" + p for p in expected))
            self.assertFalse([rec for rec in records if "cannot-open" in rec["warnings"]])
        # The seed report with the usual pattern: a row for each.
        code, out, err = run(["--image=" + self.base_path, "-f", "$I*.*"], cwd=self.work)
        self.assertEqual(code, 0, err[-2000:])
        self.assertEqual(len(out.splitlines()) - 1, 48)

    def test_the_mutated_structures_are_where_the_sleuth_kit_finds_them(self):
        layout = self.layout
        listing = mutants.TskView(self.base_path)
        by_path = {"/" + path: entry for path, entry, _, _ in listing.bin_names()}
        self.assertEqual(len(layout.index_files), 48)
        for r in layout.index_files + layout.folders[1:]:
            self.assertEqual(by_path[layout.path_of[r.number]], r.number, layout.path_of[r.number])
        # Index blocks and data clusters as istat lists them.
        for r in layout.folders + layout.spilled():
            stat = listing.istat(r.number)
            self.assertTrue(stat.startswith("Allocated"), stat)
            out = mutants.tsk_run(["istat", self.base_path, str(r.number)], 30)[1]
            for type_, name, label in ((0xA0, "$I30", "$INDEX_ALLOCATION"), (0x80, "", "$DATA")):
                a = r.attribute(type_, name)
                if a is None or not a.nonresident:
                    continue
                section = out.split("Type: " + label, 1)[1].split("\nType: ", 1)[0]
                shown = [int(n) for n in section.split("\n", 1)[1].split()]
                self.assertEqual(shown, layout.volume.clusters(a.runs), (layout.path_of[r.number], label))
        # What the image was built to hold: a folder with several index
        # blocks, one whose index stays in its MFT entry, index files whose
        # data is resident and others whose data lies in clusters.
        blocks = collections.Counter(layout.path_of[b.folder.number] for b in layout.blocks)
        self.assertGreaterEqual(max(blocks.values()), 3)
        self.assertTrue(any(f.attribute(0xA0, "$I30") is None for f in layout.folders))
        self.assertGreaterEqual(len(layout.spilled()), 5)
        self.assertGreaterEqual(len(layout.index_files) - len(layout.spilled()), 30)
        self.assertEqual(len(layout.root_blocks), 1)

    def test_the_seed_fixes_the_mutants(self):
        # A second build of the image gives the same mutants, byte for byte:
        # what `mutants.py build INDEX` rebuilds is what failed here.
        second = mutants.build_image(os.path.join(self.work, "again.img"))
        again = mutants.generate(mutants.Layout(second))
        os.remove(second)
        self.assertGreaterEqual(len(self.mutants), 300)
        self.assertEqual([(m.what, m.patches) for m in again], [(m.what, m.patches) for m in self.mutants])
        kinds = collections.Counter(m.what.split(":")[0] for m in self.mutants)
        self.assertEqual(sorted(kinds), sorted(k.replace("_", " ") for k, _ in mutants.PLAN))
        for m in self.mutants:
            for offset, new in m.patches:
                self.assertLessEqual(offset + len(new), len(self.base))
                self.assertNotEqual(self.base[offset:offset + len(new)], new, m.describe(self.base))
        # A mutant built alone is the intact image with its bytes changed.
        one = os.path.join(self.work, "one.img")
        m = self.mutants[len(self.mutants) // 2]
        mutants.write_mutant(self.base_path, m, one)
        with open(one, "rb") as f:
            data = bytearray(f.read())
        for offset, new in m.patches:
            data[offset:offset + len(new)] = self.base[offset:offset + len(new)]
        self.assertEqual(bytes(data), self.base)
        os.remove(one)

    def test_the_judge_catches_each_kind_of_failure(self):
        # Stand-ins for the program, each failing one way, on the intact
        # image: the judge must name each failure by its cause.
        real = BINSIFT.replace("'", "'\\''")
        fakes = {
            "hang": "exec sleep 60",
            "crash": "kill -SEGV $$",
            "sanitizer": "echo '==1==ERROR: AddressSanitizer: heap-buffer-overflow' >&2; exit 1",
            "exit 3": "exit 3",
            "exit 10 naming nothing": "'%s' \"$@\" >/dev/null 2>&1; exit 10" % real,
            "exit 10 naming the wrong thing":
                "echo 'No recycle-bin folder ($Recycle.Bin, RECYCLER or RECYCLED) in image x' >&2; exit 10",
            "record lost": "'%s' \"$@\" 2>/dev/null | grep -v 'IZK01YL'; exit 0" % real,
            "one entry, several records": "'%s' \"$@\" 2>/dev/null | sed -e '/IZK01YL/p'; exit 0" % real,
            "file not opened, exit 0": "'%s' \"$@\" 2>/dev/null | sed -e '/IZK01YL/s/\"warnings\":\\[/"
                                       "&\"cannot-open\",/'; exit 0" % real,
            # A byte of the boot sector's code, which no reader looks at.
            "image changed": "printf x | dd of=\"${1#--image=}\" bs=1 seek=300 conv=notrunc 2>/dev/null; "
                             "exec '%s' \"$@\"" % real,
        }
        intact = mutants.Mutant(0, "no change", [])
        for cause, body in fakes.items():
            fake = os.path.join(self.work, "fake")
            with open(fake, "w") as f:
                f.write("#!/bin/sh\n%s\n" % body)
            os.chmod(fake, 0o755)
            problems, runs, view = mutants.examine(fake, self.base_path, self.base, intact, self.work, 2)
            self.assertIn(cause, [c for c, _ in problems], (body, problems))
            self.assertEqual({c for c, _ in problems} - {cause}, set(), (body, problems))
        # The real program passes.
        problems, runs, view = mutants.examine(BINSIFT, self.base_path, self.base, intact, self.work,
                                               PROGRAM_TIMEOUT)
        self.assertEqual(problems, [])

    def test_no_mutant_crashes_hangs_or_loses_a_record(self):
        started = time.monotonic()
        lock = threading.Lock()
        hangs = []

        def judge(m):
            # After a few hangs, or past the time budget, the rest are not
            # run: the test must end well before CTest's limit and say so.
            with lock:
                if len(hangs) >= MAX_HANGS or time.monotonic() - started > BUDGET:
                    return None
            result = mutants.examine(BINSIFT, self.base_path, self.base, m, self.work, PROGRAM_TIMEOUT)
            if any(cause == "hang" for cause, _ in result[0]):
                with lock:
                    hangs.append(m.index)
            return result

        results = {}
        with concurrent.futures.ThreadPoolExecutor(WORKERS) as pool:
            for m, result in zip(self.mutants, pool.map(judge, self.mutants)):
                if result is not None:
                    results[m.index] = result
        elapsed = time.monotonic() - started
        not_run = [m.index for m in self.mutants if m.index not in results]
        # The oracle must have had something to say for nearly all of them.
        judged = [i for i, (_, _, view) in results.items() if not view.failed and view.live_index_files()]
        self.assertGreaterEqual(len(judged), 0.9 * len(results))
        exits = collections.Counter(tuple(r.code for r in runs) for _, runs, _ in results.values())
        by_cause = collections.OrderedDict()
        for index in sorted(results):
            for cause, detail in results[index][0]:
                by_cause.setdefault(cause, collections.OrderedDict()).setdefault(index, []).append(detail)
        failed = sorted({i for causes in by_cause.values() for i in causes})
        report = ["%d of %d mutants failed (seed %d, %.0f s; %d with index files The Sleuth Kit lists; "
                  "exit codes of the plain and --carve runs: %s)."
                  % (len(failed), len(results), mutants.SEED, elapsed, len(judged),
                     ", ".join("%s: %d" % (k, n) for k, n in sorted(exits.items(), key=str))),
                  "Rebuild one with `python3 tests/e2e/mutants.py build INDEX OUT.img`, "
                  "judge it alone with `python3 tests/e2e/mutants.py check INDEX`."]
        if not_run:
            report.append("%d mutants were not run (%s): %s" % (
                len(not_run), "%d hangs" % len(hangs) if len(hangs) >= MAX_HANGS else
                "past the budget of %d s" % BUDGET, " ".join(map(str, not_run[:50]))))
        for cause, failures in by_cause.items():
            report.append("")
            report.append("[%s] %d mutants: %s" % (cause, len(failures), " ".join(map(str, failures))))
            for index in list(failures)[:3]:
                report.append("  " + self.mutants[index].describe(self.base))
                details = failures[index]
                for detail in details[:2]:
                    report.append("    " + detail)
                if len(details) > 2:
                    report.append("    (and %d more)" % (len(details) - 2))
        if failed or not_run:
            self.fail("\n".join(report))


if __name__ == "__main__":
    unittest.main()
