#!/usr/bin/env python3
"""make bench: binsift against the fastest correct way to do its job.

On folders, a synthetic recycle bin of 100,000 index files (genbin --bench:
20 user folders, companions beside most index files; 10,000 for the memory
check), each figure the median of runs taken in turns: files per second of
binsift (report to a file, progress to /dev/null), of binsift -R, binsift
--format=csv and of the reference walker (ref_walker.c); binsift's time as a
ratio of the reference's, and the CSV report's as a ratio of the classic
report's; system calls per index file (strace -c -f); peak memory
(/usr/bin/time -v) at 10,000 and 100,000 files.

Then, where NTFS images can be built here (root, FUSE, ntfs-3g; built once
under build/bench and kept):
- the same 100,000 index files read from a raw NTFS image against the same
  tree on disk, and the rows of both compared;
- the same image as E01 (ewfacquire, deflate) against the raw image;
- --carve on an image of 20,000 index files whose 10 of 20 user folders were
  emptied, against The Sleuth Kit's fls -r -d -p on the same image;
- peak memory of the 100,000-file image run;
- 20,000 index files in one folder, 5,000 of them deleted: --carve against
  the run without it.

Then --scan=FILE over 1 GB of random bytes in the page cache (with two
records planted at its ends, which it must find) against cat of the same
bytes: its time must stay within one second (one core), and its peak
memory the same as for 64 MiB.

Last, as root, the tree on a cold page cache (drop_caches before each run):
binsift against cold_reader.c, which reads the same index files with 16 in
flight in each of its ways (threads, io_uring, posix_fadvise, and posix_fadvise
only once a read with RWF_NOWAIT finds the data not in memory); the fastest
is the reference.

Slow cases stop after BENCH_BUDGET seconds (150 by default) once they have
3 runs of each command; BENCH_REPEAT (7) is the most.
"""

import glob
import os
import re
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
HERE = os.path.dirname(os.path.abspath(__file__))
WORK = os.path.join(BUILD, "bench")
BINSIFT = os.path.join(BUILD, "binsift")
GENBIN = os.path.join(BUILD, "genbin")
REPEAT = int(os.environ.get("BENCH_REPEAT", "7"))
BUDGET = float(os.environ.get("BENCH_BUDGET", "150"))
PATTERN = "$I*.*"
REPORT = os.path.join(WORK, "report.txt")


def bin_of(count, root=None):
    root = root or os.path.join(WORK, "bin-%d" % count)
    stamp = os.path.join(root, ".complete")
    if not os.path.exists(stamp):
        shutil.rmtree(root, ignore_errors=True)
        print("generating %d index files in %s ..." % (count, root), flush=True)
        subprocess.run([GENBIN, "--bench", root, str(count)], check=True)
        open(stamp, "w").close()
    return os.path.join(root, "$RECYCLE.BIN") + "/"


def compiled(name, variants):
    """bench/NAME.c compiled into build/bench/NAME with the first of
    `variants` (lists of extra cc arguments) that compiles; returns the path
    and the variant taken."""
    exe = os.path.join(WORK, name)
    source = os.path.join(HERE, name + ".c")
    flavour = exe + ".flags"
    if os.path.exists(exe) and os.path.exists(flavour) and os.path.getmtime(exe) >= os.path.getmtime(source):
        with open(flavour) as f:
            return exe, f.read().split()
    for extra in variants:
        argv = ["cc", "-O2", "-o", exe, source] + extra
        if subprocess.run(argv, stderr=subprocess.DEVNULL).returncode == 0:
            with open(flavour, "w") as f:
                f.write(" ".join(extra))
            return exe, extra
    raise RuntimeError("cannot compile %s" % source)


def reference_walker():
    return compiled("ref_walker", [[]])[0]


def commands(bin_dir):
    return {
        "binsift": ([BINSIFT, "-p", bin_dir, "-f", PATTERN], REPORT),
        "binsift csv": ([BINSIFT, "-p", bin_dir, "-f", PATTERN, "--format=csv"], REPORT),
        "reference": ([reference_walker(), bin_dir], REPORT),
        # Timed on its own after the others: the run after -R reads index
        # files whose access times were set back, and pays for updating
        # every one of them, which would tilt the comparison.
        "binsift -R": ([BINSIFT, "-p", bin_dir, "-f", PATTERN, "-R"], REPORT),
    }


def timed(argv, report):
    """Runs `argv` with its standard output to `report` and its error stream
    to /dev/null; returns the seconds it took."""
    with open(report, "wb") as out, open(os.devnull, "wb") as err:
        start = time.perf_counter()
        subprocess.run(argv, stdout=out, stderr=err, stdin=subprocess.DEVNULL, check=True)
        return time.perf_counter() - start


def in_turns(cases, before=None):
    """Runs each of `cases` (name: (argv, report)) once a round, in turns,
    so that a slow moment of the machine weighs on all alike: REPEAT rounds,
    fewer (3 at least) when the rounds so far took BUDGET seconds.
    `before` runs before each run. Returns {name: [seconds]}."""
    times = {name: [] for name in cases}
    start = time.perf_counter()
    for round_ in range(REPEAT):
        if round_ >= 3 and time.perf_counter() - start > BUDGET:
            break
        for name, (argv, report) in cases.items():
            if before:
                before()
            times[name].append(timed(argv, report))
    return times


def show(title, times, goals=(), unit_count=None):
    """Prints the medians of `times` and, for each (name, against, limit) of
    `goals`, the ratio of their medians with its goal."""
    medians = {name: statistics.median(t) for name, t in times.items()}
    runs = min(len(t) for t in times.values())
    print()
    print("%s; median of %d runs" % (title, runs))
    for name, m in medians.items():
        rate = "  %9.0f files/s" % (unit_count / m) if unit_count else ""
        spread = "  (%.3f to %.3f)" % (min(times[name]), max(times[name]))
        print("  %-26s %8.3f s%s%s" % (name, m, rate, spread))
    for name, against, limit in goals:
        ratio = medians[name] / medians[against]
        verdict = "met" if ratio <= limit else "NOT met"
        print("  %s / %s: %.2f (goal at most %.2g: %s)" % (name, against, ratio, limit, verdict))
    return medians


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


def warm(*paths):
    """Reads files into the page cache."""
    for path in paths:
        with open(path, "rb") as f:
            while f.read(1 << 24):
                pass


def machine_load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def tree_case():
    count = 100000
    bin_dir = bin_of(count)
    small_dir = bin_of(10000)
    cmds = commands(bin_dir)

    compared = {name: c for name, c in cmds.items() if name != "binsift -R"}
    for argv, report in compared.values():  # warm the page cache
        timed(argv, report)
    times = in_turns(compared)
    times_r = in_turns({"binsift -R": cmds["binsift -R"]})
    times.update(times_r)
    medians = show("%d index files in folders" % count, times, unit_count=count)
    ratio = medians["binsift"] / medians["reference"]
    ratio_r = medians["binsift -R"] / medians["reference"]
    print("  binsift / reference: %.3f (goal at most 1.15)   binsift -R / reference: %.3f" %
          (ratio, ratio_r))
    print("  binsift --format=csv / binsift: %.3f (goal at most 1.2)" %
          (medians["binsift csv"] / medians["binsift"]))

    print()
    print("system calls per index file (strace -c -f)")
    # The UTF-8 formats read each companion's Zone.Identifier attribute: one
    # call more per companion (95 of 100 index files have one here).
    limits = {"binsift": 6.5, "binsift -R": 8.5, "binsift csv": 7.5, "reference": None}
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


# --- Images ---

def images_module():
    sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
    import images
    return images


def fingerprint(path):
    """The SHA-256 and the modification time of an image file."""
    return "%s %d" % (images_module().sha256(path), os.stat(path).st_mtime_ns)


def built(path, what, build, source=None):
    """`path`, built by build(path) unless a stamp says it was built before
    (and after `source` was); the stamp holds its fingerprint."""
    stamp = path + ".complete"
    if not os.path.exists(stamp) or (source and os.path.getmtime(stamp) < os.path.getmtime(source + ".complete")):
        print("building %s ..." % what, flush=True)
        start = time.perf_counter()
        build(path)
        with open(stamp, "w") as f:
            f.write(fingerprint(path))
        print("  built in %.0f s" % (time.perf_counter() - start), flush=True)
    return path


def check_unchanged(*paths):
    """No run may change an image: each must still match its stamp."""
    for path in paths:
        with open(path + ".complete") as f:
            kept = f.read().strip()
        if kept and fingerprint(path) != kept:
            raise RuntimeError("%s changed while the benchmark read it" % path)


def image_of_bench_bin(images, path, count, size_mib):
    """genbin --bench COUNT (its $RECYCLE.BIN at the volume's root), copied
    into an NTFS volume of size_mib by ntfs-3g; the same bytes as the tree
    bin_of(COUNT) holds."""
    source = tempfile.mkdtemp(prefix="binsift-bench-", dir=WORK)
    try:
        subprocess.run([GENBIN, "--bench", source, str(count)], check=True)
        images.build_ntfs_from_folder(path, source, size_mib)
    finally:
        shutil.rmtree(source, ignore_errors=True)


def image_with_emptied_folders(images, path, count, size_mib, emptied):
    """image_of_bench_bin, then the first `emptied` user folders (in name
    order) emptied, as Windows empties a user's bin: every index file,
    companion and companion folder deleted, the folder kept."""
    image_of_bench_bin(images, path, count, size_mib)
    with images.NtfsMount(path) as root:
        bin_ = os.path.join(root, "$RECYCLE.BIN")
        for folder in sorted(os.listdir(bin_))[:emptied]:
            for name in os.listdir(os.path.join(bin_, folder)):
                p = os.path.join(bin_, folder, name)
                if os.path.isdir(p) and not os.path.islink(p):
                    shutil.rmtree(p)
                else:
                    os.remove(p)


NO_COMPANION = b" N/A | N/A | N/A | N/A | N/A | N/A | \n"


def rows_without_companion_times(report):
    """The classic report's rows as (the columns before the companion's,
    whether it has a companion), sorted: the companion's times come from the
    volume's own metadata, which a copy does not keep whole."""
    with open(report, "rb") as f:
        lines = f.read().split(b"\n")[1:]
    return sorted((line.rsplit(b"|", 7)[0], (line + b"\n").endswith(NO_COMPANION))
                  for line in lines if line)


def check_folder_loads(*paths):
    """The program's own NTFS folder loads against The Sleuth Kit's on the
    bench images, folder by folder (tools/ntfs_folder_check)."""
    checker = os.path.join(BUILD, "ntfs_folder_check")
    if not os.path.exists(checker):
        print("(no check of the folder loads: %s was not built)" % checker)
        return
    p = subprocess.run([checker, "-v"] + list(paths), stdout=subprocess.PIPE, universal_newlines=True)
    lines = p.stdout.splitlines()
    for line in lines:
        if line.endswith(" differ"):
            print("  " + os.path.basename(line))
    if p.returncode != 0 or any("which reads it" in line for line in lines):
        raise RuntimeError("the program's folder loads differ from the library's:\n" + p.stdout[-4000:])


def image_cases():
    images = images_module()
    try:
        images.require_fuse()
        raw = built(os.path.join(WORK, "bin-100000.img"),
                    "an NTFS image of the 100,000 index files of genbin --bench",
                    lambda p: image_of_bench_bin(images, p, 100000, 1024))
        carved = built(os.path.join(WORK, "emptied-20000.img"),
                       "an NTFS image of 20,000 index files, 10 of 20 folders emptied",
                       lambda p: image_with_emptied_folders(images, p, 20000, 256, 10))
    except images.Unavailable as e:
        print()
        print("(no image cases: %s)" % e)
        return

    def e01_copy(path):
        if os.path.exists(path):
            os.remove(path)
        images.build_e01(raw, path[:-len(".E01")])

    try:
        e01 = built(os.path.join(WORK, "bin-100000.E01"), "its E01 copy (ewfacquire, deflate)", e01_copy,
                    source=raw)
    except images.Unavailable as e:
        e01 = None
        print("(no E01 case: %s)" % e)
    tree = bin_of(100000)
    count = 100000
    print()
    print("The images: genbin --bench (20 user folders, index files 75% version 2, companions")
    print("85% files, 10% folders of 3 files), copied by ntfs-3g into a volume made by")
    print("mkntfs -c 4096 (1 GiB for 100,000 index files; 256 MiB for 20,000, then 10 of")
    print("its 20 user folders emptied, the folders kept); the E01 by ewfacquire -c deflate:fast.")
    print("Load average before the image cases: %s" % machine_load())
    print()
    print("Folders loaded by the program against The Sleuth Kit's loads of them:")
    check_folder_loads(*[p for p in (raw, e01, carved) if p])
    check_unchanged(*[p for p in (raw, e01, carved) if p])

    # The raw image against the same tree on disk.
    image_report = os.path.join(WORK, "report-image.txt")
    tree_report = os.path.join(WORK, "report-tree.txt")
    image_argv = [BINSIFT, "--image=" + raw, "-f", PATTERN]
    tree_argv = [BINSIFT, "-p", tree, "-f", PATTERN]
    warm(raw)
    timed(tree_argv, tree_report)
    times = in_turns({"raw NTFS image": (image_argv, image_report),
                      "the same tree on disk": (tree_argv, tree_report)})
    show("%d index files from a raw NTFS image" % count, times,
         [("raw NTFS image", "the same tree on disk", 1.3)], count)
    image_rows = rows_without_companion_times(image_report)
    tree_rows = rows_without_companion_times(tree_report)
    if len(image_rows) != count or image_rows != tree_rows:
        raise RuntimeError("the image gives %d rows and the tree %d; they differ" %
                           (len(image_rows), len(tree_rows)))
    print("  both give the same %d rows (companion times aside)" % count)

    # The E01 copy against the raw image.
    if e01:
        e01_report = os.path.join(WORK, "report-e01.txt")
        warm(e01)
        times = in_turns({"E01": ([BINSIFT, "--image=" + e01, "-f", PATTERN], e01_report),
                                  "raw NTFS image": (image_argv, image_report)})
        show("%d index files from the E01 copy" % count, times, [("E01", "raw NTFS image", 2)], count)
        with open(e01_report, "rb") as a, open(image_report, "rb") as b:
            if a.read() != b.read():
                raise RuntimeError("the E01 copy and the raw image give different reports")
        print("  both give the same report")

    # --carve against fls -r -d -p.
    if shutil.which("fls"):
        carve_report = os.path.join(WORK, "report-carve.txt")
        warm(carved)
        times = in_turns({"binsift --carve": ([BINSIFT, "--image=" + carved, "-f", PATTERN, "--carve"],
                                                 carve_report),
                             "fls -r -d -p": (["fls", "-r", "-d", "-p", carved], REPORT)})
        show("--carve, 20,000 index files, 10 of 20 folders emptied", times,
             [("binsift --carve", "fls -r -d -p", 1.5)])
        with open(carve_report, "rb") as f:
            print("  binsift gives %d rows" % (f.read().count(b"\n") - 1))
    else:
        print("(no carving case against fls: The Sleuth Kit's fls is not installed)")

    print()
    kb = peak_memory_kb(image_argv, image_report)
    check_unchanged(*[p for p in (raw, e01, carved) if p])
    print("(no run changed an image: SHA-256 and modification time as built)")
    if kb:
        print("peak memory of the %d-file raw image run (/usr/bin/time -v): %d KB (goal at most 32 MB: %s)" %
              (count, kb, "met" if kb <= 32 * 1024 else "NOT met"))

    carve_one_folder(images)


def carve_one_folder(images):
    """20,000 index files in one folder of an NTFS image, 5,000 deleted: the
    run with --carve against the same run without it."""
    path = os.path.join(WORK, "carve-20000.img")
    try:
        built(path, "an NTFS image of 20,000 index files in one folder, 5,000 deleted",
              lambda p: (images.build_large_bin(p, 20000, 128), images.delete_in_large_bin(p, range(5000))))
    except images.Unavailable as e:
        print("  (no image case: %s)" % e)
        return
    plain = [BINSIFT, "--image=" + path, "-f", PATTERN]
    check_folder_loads(path)
    warm(path)
    times = in_turns({"without --carve": (plain, REPORT), "with --carve": (plain + ["--carve"], REPORT)})
    show("NTFS image, 20,000 index files in one folder, 5,000 deleted", times,
         [("with --carve", "without --carve", 3)])
    check_unchanged(path)


# --- Digests of companions ---

def hash_bin():
    """A bin whose companions hold 1 GiB: 16 users' folders of 4 items of
    16 MiB each, random bytes, made once."""
    root = os.path.join(WORK, "hash-bin")
    done = os.path.join(root, ".complete")
    if os.path.exists(done):
        return root
    shutil.rmtree(root, ignore_errors=True)
    print("generating 1 GiB of companions in %s ..." % root, flush=True)
    deleted = 132000000000000000
    for user in range(16):
        folder = os.path.join(root, "S-1-5-21-1-2-3-%d" % (1000 + user))
        os.makedirs(folder)
        for item in range(4):
            name = "%02d%04d" % (user, item)
            path = ("C:\\Users\\u\\file%s.bin" % name).encode("utf-16-le") + b"\0\0"
            with open(os.path.join(folder, "$I%s.bin" % name), "wb") as f:
                f.write(struct.pack("<QqQI", 2, 16 << 20, deleted, len(path) // 2) + path)
            with open(os.path.join(folder, "$R%s.bin" % name), "wb") as f:
                f.write(os.urandom(16 << 20))
    open(done, "w").close()
    return root


def hash_case():
    root = hash_bin()
    companions = sorted(glob.glob(os.path.join(root, "*", "$R*")))
    report = os.path.join(WORK, "hash-report.csv")
    cases = {
        "binsift --hash=sha256": ([BINSIFT, "-p", root, "-f", PATTERN, "--format=csv",
                                   "--hash=sha256"], report),
        "binsift --hash=md5,sha1,sha256": ([BINSIFT, "-p", root, "-f", PATTERN, "--format=csv",
                                            "--hash=md5,sha1,sha256"], report),
        "sha256sum": (["sha256sum"] + companions, report),
        "md5sum, sha1sum, sha256sum": (["sh", "-c", 'md5sum "$@"; sha1sum "$@"; sha256sum "$@"',
                                        "sh"] + companions, report),
        "cat": (["cat"] + companions, os.devnull),
    }
    for argv, out in cases.values():  # warm the page cache
        timed(argv, out)
    times = in_turns(cases)
    show("1 GiB of companions (64 files) hashed, warm page cache", times,
         [("binsift --hash=sha256", "sha256sum", 1.1),
          ("binsift --hash=md5,sha1,sha256", "md5sum, sha1sum, sha256sum", 1.1)])


# --- Cold page cache ---

def drop_caches():
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def cold_case():
    if os.geteuid() != 0:
        print()
        print("(no cold-cache case: emptying the page cache needs root)")
        return
    exe, flags = compiled("cold_reader", [["-DHAVE_LIBURING", "-luring", "-lpthread"], ["-lpthread"]])
    modes = ["threads", "fadvise", "nowait"] + (["uring"] if "-DHAVE_LIBURING" in flags else [])
    tree = bin_of(100000)
    count = 100000
    cases = {"binsift": ([BINSIFT, "-p", tree, "-f", PATTERN], REPORT)}
    cases["one at a time (serial)"] = ([exe, "serial", "1", tree], REPORT)
    for mode in modes:
        cases["16 in flight, " + mode] = ([exe, mode, "16", tree], REPORT)
    print()
    print("Load average before the cold-cache case: %s" % machine_load())
    times = in_turns(cases, before=drop_caches)
    medians = {name: statistics.median(t) for name, t in times.items()}
    fastest = min((m, name) for name, m in medians.items() if "in flight" in name)[1]
    show("%d index files in folders, cold page cache (drop_caches before each run)" % count, times,
         [("binsift", fastest, 1.3)], count)
    if "uring" not in modes:
        print("  (no io_uring reference: liburing's headers are not installed)")


def random_file_with_records(path, size):
    """`size` random bytes (a fixed seed) with a version 2 index record at
    the first byte and an INFO2 record 800 bytes before the end."""
    import random
    import struct
    deleted = (1600000000 + 11644473600) * 10000000
    units = "C:\\bench\\first.txt\0".encode("utf-16-le")
    first = struct.pack("<QqQI", 2, 1, deleted, len(units) // 2) + units
    path_text = "D:\\bench\\last.txt"
    last = (path_text.encode().ljust(260, b"\0") + struct.pack("<IIQI", 1, 2, deleted, 2)
            + (path_text + "\0").encode("utf-16-le").ljust(520, b"\0"))
    rng = random.Random(1521)
    with open(path, "wb") as f:
        f.write(first)
        written = len(first)
        while written < size - len(last):
            chunk = rng.randbytes(min(1 << 24, size - len(last) - written))
            f.write(chunk)
            written += len(chunk)
        f.write(last)


def scan_case():
    """--scan=FILE on 1 GB in the page cache, beside cat."""
    size = 1 << 30
    big = os.path.join(WORK, "scan-1g.bin")
    small = os.path.join(WORK, "scan-64m.bin")
    if not os.path.exists(big) or os.path.getsize(big) != size:
        random_file_with_records(big, size)
    if not os.path.exists(small) or os.path.getsize(small) != 64 << 20:
        random_file_with_records(small, 64 << 20)
    warm(big)
    report = os.path.join(WORK, "scan.csv")
    cases = {
        "cat": (["cat", big], os.devnull),
        "binsift --scan=FILE": ([BINSIFT, "--scan=" + big, "--format=csv", "-B"], report),
    }
    times = in_turns(cases, before=lambda: warm(big))
    medians = show("--scan=FILE over 1 GB of random bytes in the page cache", times)
    gb_per_s = {name: size / 1e9 / m for name, m in medians.items()}
    print("  %s: %.2f GB/s; cat: %.2f GB/s" % ("binsift --scan", gb_per_s["binsift --scan=FILE"],
                                               gb_per_s["cat"]))
    scan = medians["binsift --scan=FILE"]
    print("  goal: at most 1 s on one core: %.3f s (%s)" % (scan, "met" if scan <= 1.0 else "NOT met"))
    # On a shared machine the time the processes used tells more than the
    # time they took.
    import resource
    for name, (argv, out) in cases.items():
        cpu = []
        for _ in range(3):
            warm(big)
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            timed(argv, out)
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpu.append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)
        print("  %-26s %8.3f s of processor time (user and system), median of 3"
              % (name, statistics.median(cpu)))
    with open(report) as f:
        rows = f.read().splitlines()
    offsets = sorted(int(r.split(",")[20]) for r in rows)
    print("  records found: %d at %s (planted at 0 and %d)" % (len(rows), offsets, size - 800))
    big_kb = peak_memory_kb([BINSIFT, "--scan=" + big, "--format=csv", "-B"], report)
    small_kb = peak_memory_kb([BINSIFT, "--scan=" + small, "--format=csv", "-B"], report)
    if big_kb and small_kb:
        print("  peak memory: %d KB for 1 GB, %d KB for 64 MiB" % (big_kb, small_kb))


def main():
    os.makedirs(WORK, exist_ok=True)
    print("Load average at the start: %s" % machine_load(), flush=True)
    # BENCH_CASES=tree,hash runs only those.
    wanted = os.environ.get("BENCH_CASES", "tree,scan,images,hash,cold").split(",")
    for name, case in (("tree", tree_case), ("scan", scan_case), ("images", image_cases), ("hash", hash_case),
                       ("cold", cold_case)):
        if name in wanted:
            case()
    print()
    print("Load average at the end: %s" % machine_load())


if __name__ == "__main__":
    main()
