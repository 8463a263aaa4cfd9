#!/usr/bin/env python3
"""Runs two builds of binsift on the same inputs and compares everything
they write: standard output, the error stream, the exit code and every file
a run leaves in its working directory (the accounting file of -1, an output
file), byte for byte after masking what differs from run to run.

    tools/compare_runs.py OLD_BINSIFT NEW_BINSIFT [--genbin GENBIN]
                          [--samples DIR] [--work DIR] [--no-images] [-v]

The inputs:
  - every folder under the sample folder (recursively), read with -p and
    with the default pattern and with -f '*', in the seed report and in
    every --format;
  - the bins genbin writes (--demo, and --bench with 3,000 index files),
    the same way, and with a few options that change the walk or the output
    (-r, -B, -x, -o, -O, -R, -a);
  - the evidence images the end-to-end tests build (tests/e2e/images.py
    kinds, and VHD, VMDK, split raw and two-segment E01 copies), read with
    --image, with the default pattern, with -f '*', and with --carve,
    in every format; every image's SHA-256 and modification time are
    checked afterwards;
  - command lines that end in a message: the help screen, refused options,
    missing values, the INI file, unreadable folders and files.

Both programs run as "binsift" (argv[0]) from fresh working directories of
the same name, with standard input from /dev/null, TZ=UTC and LANG=C.
Masked before comparing: the build date and time (banner, help screen),
elapsed times, the clock times of the accounting file, and the folder and
line of source file names that messages quote (the file name stays).

The exit code is 0 when every case gave the same bytes, 1 otherwise.
"""

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
E2E = os.path.join(HERE, "..", "tests", "e2e")
FORMATS = [None, "csv", "tsv", "jsonl", "body"]

MASKS = [
    # The banner's version: the build's date and time.
    (re.compile(rb"Ver\. \d\d\.\d\d\.\d\d\.\d\d\.\d\d"), b"Ver. <BUILD>"),
    # The help screen's build stamps.
    (re.compile(rb"[A-Z][a-z]{2} [ \d]\d \d{4} \d\d:\d\d:\d\d"), b"<STAMP>"),
    # Elapsed times (summary and accounting file).
    (re.compile(rb"-?\d+ hrs\. -?\d+ mins\. -?\d+ secs\."), b"<ELAPSED>"),
    # Clock times (ctime and asctime texts, and "hh:mm" of the start record).
    (re.compile(rb"[A-Z][a-z]{2} [A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \d{4}"), b"<CLOCK>"),
    (re.compile(rb"GMT, \d\d:\d\d "), b"GMT, <HH:MM> "),
    # A source file named in a message (__FILE__, then __LINE__): its name
    # stays, its folder and line do not.
    (re.compile(rb"(?m)^(?:[^\n]*/)?(?:src/)?(?:[a-z_]+/)*([a-z_0-9]+\.cc)\n\d+\n"), rb"\1\n<LINE>\n"),
]


def mask(data):
    for pattern, replacement in MASKS:
        data = pattern.sub(replacement, data)
    return data


class Comparison:
    def __init__(self, old, new, work, verbose):
        self.binaries = {"old": old, "new": new}
        self.work = work
        self.verbose = verbose
        self.cases = 0
        self.differences = []

    def run_one(self, which, args, setup, env):
        # One folder for both programs, so that paths made absolute from it
        # are the same.
        cwd = os.path.join(self.work, "run")
        shutil.rmtree(cwd, ignore_errors=True)
        os.makedirs(cwd)
        if setup:
            setup(cwd)
        before = set(os.listdir(cwd))
        full_env = {k: v for k, v in os.environ.items()
                    if k not in ("RESET", "NORESET", "ACCT", "ACCTING")}
        full_env.update({"TZ": "UTC", "LANG": "C", "LC_ALL": "C"})
        full_env.update(env or {})
        p = subprocess.run(["binsift"] + args, executable=self.binaries[which], cwd=cwd,
                           env=full_env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=600)
        files = {}
        for root, _, names in os.walk(cwd):
            for name in names:
                path = os.path.join(root, name)
                relative = os.path.relpath(path, cwd)
                if relative in before:
                    continue
                with open(path, "rb") as f:
                    files[relative] = mask(f.read())
        return {"exit": p.returncode, "stdout": mask(p.stdout), "stderr": mask(p.stderr),
                "files": files}

    def case(self, name, args, setup=None, env=None):
        self.cases += 1
        old = self.run_one("old", args, setup, env)
        new = self.run_one("new", args, setup, env)
        if old == new:
            if self.verbose:
                print("same  %s" % name)
            return
        what = [k for k in ("exit", "stdout", "stderr", "files") if old[k] != new[k]]
        self.differences.append((name, args, what, old, new))
        print("DIFF  %s: %s differ" % (name, ", ".join(what)), flush=True)
        for k in what:
            if k == "exit":
                print("      exit %d, now %d" % (old["exit"], new["exit"]))
            elif k == "files":
                for f in sorted(set(old["files"]) | set(new["files"])):
                    if old["files"].get(f) != new["files"].get(f):
                        print("      file %s: %r\n        now %r" % (
                            f, (old["files"].get(f) or b"")[-300:], (new["files"].get(f) or b"")[-300:]))
            else:
                a, b = old[k], new[k]
                i = next((i for i in range(min(len(a), len(b))) if a[i] != b[i]), min(len(a), len(b)))
                print("      %s from byte %d: %r\n        now %r" % (k, i, a[max(0, i - 80):i + 160],
                                                                  b[max(0, i - 80):i + 160]))


def format_args(fmt):
    return [] if fmt is None else ["--format=" + fmt]


def sample_folders(samples):
    folders = []
    for root, dirs, _ in os.walk(samples):
        dirs.sort()
        folders.append(root)
    return folders


def compare_folders(c, label, folders, log=True):
    for folder in folders:
        for pattern in ([], ["-f", "*"]):
            for fmt in FORMATS:
                args = ["-p", folder] + pattern + format_args(fmt) + (["-1", "acct.log"] if log else [])
                c.case("%s %s" % (label, " ".join(args)), args)


def compare_bin_options(c, bin_root):
    """Options that change the walk or where the report goes, on a copy of a
    generated bin (-R sets times back on it)."""
    recycle = os.path.join(bin_root, "$RECYCLE.BIN")
    for extra in (["-r"], ["-B"], ["-Q", "--format=csv"], ["-x", "*.TXT", "$I0*"],
                  ["-o", "out.txt"], ["-O", "out.txt"], ["-o", "out.txt", "--format=jsonl"],
                  ["-R"], ["-a", "-o", "out.txt"], ["-f", "$I*.*", "$R*"], ["-f", "-x"],
                  ["--out=out.txt", "-1", "logs/sub/acct.log"], ["-2", "acct.log", "+1"],
                  ["--memo=memo.txt"], ["--acc=a.log", "--log=b.log"]):
        args = ["-p", recycle] + extra + ["-1", "acct.log"]
        c.case("options " + " ".join(extra), args)


def compare_messages(c, bin_root):
    """Command lines that end in a message, and what the INI file does."""
    recycle = os.path.join(bin_root, "$RECYCLE.BIN")
    lines = [
        [], ["-?"], ["-Z"], ["-p"], ["--help-more"], ["--HELP-MORE=x"], ["--format=xml"],
        ["--format=Csv", "-p", recycle], ["--carve"], ["--carve=on", "--image=x"], ["-f", "a/b"],
        ["-f", "a\\b"], ["-x"], ["-x", "-r"], ["-1"], ["-1", "-r"], ["-E"], ["-E", "-r"], ["-g"],
        ["-o"], ["--rec=Off"], ["--out"], ["--acc"], ["--image"], ["--image=missing.img"],
        ["--image=."], ["--codepage=NO-SUCH", "-p", recycle], ["--codepage=CP932", "-p", recycle],
        ["-p", "/no/such/folder", "-1", "acct.log"], ["-p", recycle, "/no/such", "-1", "acct.log"],
        [recycle], [recycle + "/$I*.*"], [os.path.join(recycle, "missing") + "/x*"],
        ["-p", recycle, "-o", "."], ["-p", recycle, "-O", "."], ["-p", recycle, "-o", "-x"],
        ["-p", recycle, "-1", "."], ["-p", recycle, "-d", ",", "-Xy", "-bcCHhIiq", "-l3"],
        ["-.ini", "-p", recycle], ["-p", recycle, "--del=pipe", "--wid=3", "--tru", "--zzz"],
        ["-p", recycle, "--Image=x", "--images=y", "--Format=csv"],
    ]
    for args in lines:
        c.case("message " + " ".join(args), args)

    # INI files: the program's own, the shared one with its section, one
    # that cannot be opened.
    def ini(text, name="binsift.ini"):
        def setup(cwd):
            path = os.path.join(cwd, name)
            if text is None:
                os.mkdir(path)
            else:
                with open(path, "w") as f:
                    f.write(text)
        return setup
    for name, text in (("binsift.ini", "recurse=off\nOUTPUT=ini-out.txt\nFILE=$I*\nACCT=ini.log\n"),
                       ("binsift.ini", "ACCT=first.log\nACCT=second.log\nMEMO=memo.txt\nEXCLUDE=*.exe\n"),
                       ("binsift.ini", "QUIET=on\nRESET=no\nDELIMITER=,\nPATH=" + recycle + "\n"),
                       ("QUILLORY.INI", "RECURSE=OFF\n[BINSIFT]\nBINARY=ON\n[other]\nFILE=x\n"),
                       ("binsift.ini", None)):
        c.case("ini %s %r" % (name, text), ["-p", recycle, "-1", "acct.log"], setup=ini(text, name))
    c.case("environment ACCT", ["-p", recycle], env={"ACCT": "env.log"})
    c.case("environment ACCT=on", ["-p", recycle], env={"ACCT": "on"})
    c.case("environment RESET", ["-p", recycle, "-1", "acct.log"], env={"NORESET": "1"})


def build_images(work, samples):
    """The images of the end-to-end tests; returns {name: path}."""
    sys.path.insert(0, E2E)
    os.environ.setdefault("BINSIFT_SAMPLES", samples)
    import images  # noqa: E402
    folder = os.path.join(work, "images")
    os.makedirs(folder, exist_ok=True)
    made = {}
    for kind, name in (("ntfs", "ntfs.img"), ("ntfs-carve", "carve.img"), ("ntfs-nobin", "nobin.img"),
                       ("fat32", "fat32.img"), ("partitioned", "disk.img"), ("e01", "ntfs.E01"),
                       ("e01-segments", "segments.E01"), ("vss-bin", "vss-bin.img"),
                       ("users-bin", "users-bin.img")):
        path = os.path.join(folder, name)
        if not os.path.exists(path):
            p = subprocess.run([sys.executable, "images.py", kind, path], cwd=E2E,
                               capture_output=True, text=True)
            if p.returncode != 0:
                print("image %s not built: %s" % (kind, (p.stdout + p.stderr).strip()[-300:]))
                continue
        made[kind] = path
    if "ntfs" in made:
        raw = made["ntfs"]
        try:
            extra = {
                "vhd": lambda p: images.build_vhd_fixed(raw, p),
                "vmdk": lambda p: images.build_vmdk_flat(raw, p),
                "split": lambda p: images.build_split_raw(raw, p[:-4], 4 << 20)[0],
            }
            for kind, build in extra.items():
                path = os.path.join(folder, {"vhd": "ntfs.vhd", "vmdk": "ntfs.vmdk",
                                             "split": "split.001"}[kind])
                if not os.path.exists(path):
                    build(path)
                made[kind] = path
        except images.Unavailable as e:
            print("extra images not built: %s" % e)
    return made


def image_state(paths):
    state = {}
    for path in paths:
        with open(path, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        state[path] = (digest, os.stat(path).st_mtime_ns)
    return state


def compare_images(c, images):
    folder = os.path.dirname(next(iter(images.values())))
    files = [os.path.join(folder, n) for n in sorted(os.listdir(folder))]
    before = image_state(files)
    for kind, path in sorted(images.items()):
        for extra in ([], ["-f", "*"], ["--carve"], ["-p", "/", "-f", "*"], ["-p", "/$Recycle.Bin", "-r"]):
            for fmt in FORMATS:
                args = ["--image=" + path] + extra + format_args(fmt) + ["-1", "acct.log"]
                c.case("image %s %s" % (kind, " ".join(args[1:])), args)
    evidence = images.get("ntfs", path)
    c.case("image as output", ["--image=" + evidence, "-o", evidence])
    after = image_state(files)
    if before != after:
        changed = [p for p in files if before[p] != after[p]]
        c.differences.append(("images changed", [], changed, None, None))
        print("DIFF  the runs changed the images: %s" % changed)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--genbin", default=os.path.join(HERE, "..", "build", "genbin"))
    parser.add_argument("--samples", default=os.environ.get(
        "BINSIFT_SAMPLES", os.path.join(HERE, "..", "..", "shared", "samples")))
    parser.add_argument("--work", default=os.path.join(tempfile.gettempdir(), "binsift-compare"))
    parser.add_argument("--no-images", action="store_true")
    parser.add_argument("-v", "--verbose", action="store_true")
    a = parser.parse_args()

    old, new = os.path.abspath(a.old), os.path.abspath(a.new)
    os.makedirs(a.work, exist_ok=True)
    c = Comparison(old, new, a.work, a.verbose)

    groups = []
    if os.path.isdir(a.samples):
        folders = sample_folders(os.path.abspath(a.samples))
        compare_folders(c, "samples", folders)
        groups.append("%d sample folders" % len(folders))
    else:
        print("no samples at %s" % a.samples)

    bins = os.path.join(a.work, "bins")
    shutil.rmtree(bins, ignore_errors=True)
    os.makedirs(bins)
    subprocess.run([a.genbin, "--demo", os.path.join(bins, "demo")], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run([a.genbin, "--bench", os.path.join(bins, "bench"), "3000"], check=True,
                   stdout=subprocess.DEVNULL)
    # Reading a file sets its access time where it is older than a day or
    # than its last change, and the companions' access times are in the
    # report: times an hour ahead are left alone by both runs.
    ahead = int(time.time()) + 3600
    for root, _, names in os.walk(bins):
        for name in names:
            path = os.path.join(root, name)
            os.utime(path, (ahead, os.stat(path).st_mtime))
    generated = sample_folders(bins)
    compare_folders(c, "genbin", generated)
    compare_bin_options(c, os.path.join(bins, "demo"))
    compare_messages(c, os.path.join(bins, "demo"))
    groups.append("%d generated folders" % len(generated))

    if not a.no_images:
        images = build_images(a.work, os.path.abspath(a.samples))
        if images:
            compare_images(c, images)
            groups.append("%d images (%s)" % (len(images), ", ".join(sorted(images))))

    print("\n%d cases (%s): %d identical, %d different" % (
        c.cases, "; ".join(groups), c.cases - len(c.differences), len(c.differences)))
    return 1 if c.differences else 0


if __name__ == "__main__":
    sys.exit(main())
