#!/usr/bin/env python3
"""make bench: binsift against a minimal reference walker on a synthetic
recycle bin of 100,000 index files (and 10,000 for the memory check).

Reports, each the median of several runs: files per second of binsift (report
to a file, progress to /dev/null), of binsift -R, binsift --format=csv and of the reference walker;
binsift's time as a ratio of the reference's, and the CSV report's as a ratio of
the classic report's; system calls per index file
(strace -c -f); peak memory (/usr/bin/time -v) at 10,000 and 100,000 files.

Then, where an NTFS image can be built here (root, FUSE, ntfs-3g), the
image case: 20,000 index files in one folder of an NTFS image, 5,000 of
them deleted; the run with --carve against the same run without it.
"""

import os
import re
import shutil
import statistics
import subprocess
import sys
import time

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
HERE = os.path.dirname(os.path.abspath(__file__))
WORK = os.path.join(BUILD, "bench")
BINSIFT = os.path.join(BUILD, "binsift")
GENBIN = os.path.join(BUILD, "genbin")
REPEAT = int(os.environ.get("BENCH_REPEAT", "7"))


def bin_of(count):
    root = os.path.join(WORK, "bin-%d" % count)
    stamp = os.path.join(root, ".complete")
    if not os.path.exists(stamp):
        shutil.rmtree(root, ignore_errors=True)
        print("generating %d index files in %s ..." % (count, root), flush=True)
        subprocess.run([GENBIN, "--bench", root, str(count)], check=True)
        open(stamp, "w").close()
    return os.path.join(root, "$RECYCLE.BIN") + "/"


def reference_walker():
    exe = os.path.join(WORK, "ref_walker")
    source = os.path.join(HERE, "ref_walker.c")
    if not os.path.exists(exe) or os.path.getmtime(exe) < os.path.getmtime(source):
        subprocess.run(["cc", "-O2", "-o", exe, source], check=True)
    return exe


def commands(bin_dir):
    report = os.path.join(WORK, "report.txt")
    return {
        "binsift": ([BINSIFT, "-p", bin_dir, "-f", "$I*.*"], report),
        "binsift csv": ([BINSIFT, "-p", bin_dir, "-f", "$I*.*", "--format=csv"], report),
        "reference": ([reference_walker(), bin_dir], report),
        # Timed on its own after the others: the run after -R reads index
        # files whose access times were set back, and pays for updating
        # every one of them, which would tilt the comparison.
        "binsift -R": ([BINSIFT, "-p", bin_dir, "-f", "$I*.*", "-R"], report),
    }


def timed(argv, report):
    with open(report, "wb") as out, open(os.devnull, "wb") as err:
        start = time.perf_counter()
        subprocess.run(argv, stdout=out, stderr=err, stdin=subprocess.DEVNULL, check=True)
        return time.perf_counter() - start


def syscalls(argv, report):
    if not shutil.which("strace"):
        return None
    log = os.path.join(WORK, "strace.txt")
    with open(report, "wb") as out, open(os.devnull, "wb") as err:
        subprocess.run(["strace", "-f", "-c", "-o", log] + argv, stdout=out, stderr=err,
                       stdin=subprocess.DEVNULL, check=True)
    with open(log) as f:
        total = [line for line in f if line.strip().endswith("total")]
    return int(total[-1].split()[3]) if total else None


def peak_memory_kb(argv, report):
    if not os.path.exists("/usr/bin/time"):
        return None
    with open(report, "wb") as out:
        p = subprocess.run(["/usr/bin/time", "-v"] + argv, stdout=out, stderr=subprocess.PIPE,
                           stdin=subprocess.DEVNULL, check=True)
    m = re.search(rb"Maximum resident set size \(kbytes\): (\d+)", p.stderr)
    return int(m.group(1)) if m else None


def carve_image():
    """The NTFS image of the carving case, built once under build/bench;
    None when it cannot be built here."""
    path = os.path.join(WORK, "carve-20000.img")
    stamp = path + ".complete"
    if os.path.exists(stamp):
        return path
    sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
    import images
    print("building an NTFS image of 20,000 index files, 5,000 deleted ...", flush=True)
    try:
        images.build_large_bin(path, 20000, 128)
        images.delete_in_large_bin(path, range(5000))
    except images.Unavailable as e:
        print("  (no image case: %s)" % e)
        return None
    open(stamp, "w").close()
    return path


def image_case():
    image = carve_image()
    if image is None:
        return
    report = os.path.join(WORK, "report.txt")
    plain = [BINSIFT, "--image=" + image, "-f", "$I*.*"]
    carve = plain + ["--carve"]
    timed(plain, report)
    timed(carve, report)
    times = {"plain": [], "carve": []}
    for _ in range(REPEAT):
        times["plain"].append(timed(plain, report))
        times["carve"].append(timed(carve, report))
    plain_t = statistics.median(times["plain"])
    carve_t = statistics.median(times["carve"])
    print()
    print("NTFS image, 20,000 index files in one folder, 5,000 deleted; median of %d runs" % REPEAT)
    print("  without --carve %7.3f s" % plain_t)
    print("  with --carve    %7.3f s  (%.2f times; goal at most 3)" % (carve_t, carve_t / plain_t))


def main():
    os.makedirs(WORK, exist_ok=True)
    count = 100000
    bin_dir = bin_of(count)
    small_dir = bin_of(10000)
    cmds = commands(bin_dir)

    compared = [name for name in cmds if name != "binsift -R"]
    for name in compared:  # warm the page cache
        timed(*cmds[name])
    times = {name: [] for name in cmds}
    for _ in range(REPEAT):  # interleaved, so that a slow moment hits all alike
        for name in compared:
            times[name].append(timed(*cmds[name]))
    for _ in range(REPEAT):
        times["binsift -R"].append(timed(*cmds["binsift -R"]))
    medians = {name: statistics.median(t) for name, t in times.items()}

    print()
    print("%d index files, median of %d runs" % (count, REPEAT))
    for name in cmds:
        print("  %-12s %7.3f s  %9.0f files/s" % (name, medians[name], count / medians[name]))
    ratio = medians["binsift"] / medians["reference"]
    ratio_r = medians["binsift -R"] / medians["reference"]
    print("  binsift / reference: %.3f (goal at most 1.15)   binsift -R / reference: %.3f" %
          (ratio, ratio_r))
    print("  binsift --format=csv / binsift: %.3f (goal at most 1.2)" %
          (medians["binsift csv"] / medians["binsift"]))

    print()
    print("system calls per index file (strace -c -f)")
    limits = {"binsift": 6.5, "binsift -R": 8.5, "binsift csv": 6.5, "reference": None}
    for name, (argv, report) in cmds.items():
        calls = syscalls(argv, report)
        if calls is None:
            print("  %-12s (strace not installed)" % name)
            continue
        goal = "" if limits[name] is None else " (goal at most %.1f)" % limits[name]
        print("  %-12s %6.2f%s" % (name, calls / count, goal))

    print()
    print("peak memory (/usr/bin/time -v)")
    for n, d in ((10000, small_dir), (count, bin_dir)):
        argv, report = commands(d)["binsift"]
        kb = peak_memory_kb(argv, report)
        print("  binsift, %6d files: %s" % (n, "%d KB" % kb if kb else "(/usr/bin/time not installed)"))
    print("  (goal: at most 4 MB, the same at both sizes)")

    image_case()


if __name__ == "__main__":
    main()
