"""Evidence images for the tests, built at test time from the real sample
index files: NTFS (mkntfs, filled through an ntfs-3g FUSE mount), FAT32
(mtools), a disk with two partitions (sfdisk), and an E01 copy
(ewfacquire).  Every builder raises Unavailable when a tool, FUSE or the
samples are missing, so that a test can skip cleanly.

Run as a program it builds one image for the unit tests:
    python3 images.py KIND OUTPUT
(KIND: ntfs, ntfs-carve, ntfs-names, ntfs-nobin, fat32, partitioned, e01, e01-segments; exit code 77 when it
cannot be built here, with the reason on standard output).
"""

import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

SAMPLES = os.environ.get("BINSIFT_SAMPLES",
                         os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../../shared/samples"))

SECTOR = 512
SID_1001 = "S-1-5-21-3623811015-3361044348-30300820-1001"
SID_1002 = "S-1-5-21-3623811015-3361044348-30300820-1002"
SID_1003 = "S-1-5-21-3623811015-3361044348-30300820-1003"
SID_1004 = "S-1-5-21-3623811015-3361044348-30300820-1004"
SID_1005 = "S-1-5-21-3623811015-3361044348-30300820-1005"
SID_500 = "S-1-5-21-1417001333-1482476501-1644491937-500"


class Unavailable(Exception):
    """What this machine lacks to build an image."""


def filetime(year, month, day, hour=0, minute=0, second=0, ticks=0):
    import calendar
    seconds = calendar.timegm((year, month, day, hour, minute, second))
    return (seconds + 11644473600) * 10000000 + ticks


def require_tools(*names):
    for name in names:
        if shutil.which(name) is None:
            raise Unavailable("%s is not installed" % name)


def require_samples():
    if not os.path.isdir(SAMPLES):
        raise Unavailable("no sample folder at %s" % SAMPLES)
    return SAMPLES


def require_fuse():
    require_tools("mkntfs", "ntfs-3g", "umount")
    if os.geteuid() != 0:
        raise Unavailable("an ntfs-3g mount needs root")
    if not os.path.exists("/dev/fuse"):
        raise Unavailable("no /dev/fuse")


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


class Entry:
    """A file or folder to put in an image: its path inside the volume
    (with "/"), its bytes (None for a folder) and, optionally, the times
    (created, modified, accessed) as FILETIMEs."""

    def __init__(self, path, data=None, times=None, junction=None):
        self.path = path
        self.data = data
        self.times = times
        self.junction = junction  # a Windows path: a junction (NTFS only)

    @property
    def is_dir(self):
        return self.data is None and self.junction is None


def junction_data(target):
    """The reparse data of an NTFS junction (a mount point) to `target`."""
    substitute = ("\\??\\" + target).encode("utf-16-le")
    printed = target.encode("utf-16-le")
    body = struct.pack("<HHHH", 0, len(substitute), len(substitute) + 2, len(printed))
    body += substitute + b"\0\0" + printed + b"\0\0"
    return struct.pack("<IHH", 0xA0000003, len(body), 0) + body


def sample_entries():
    """Recycle bins of real index files: three users' $Recycle.Bin folders
    and an XP RECYCLER folder.  Every companion gets times of its own, with
    sub-second parts, so that a test can tell them from any other time."""
    root = require_samples()
    entries = []
    serial = [0]

    def companion_times():
        serial[0] += 1
        n = serial[0]
        return (filetime(2019, 3, 1 + n, 8, 30, 0, 1000000 + n),
                filetime(2019, 4, 1 + n, 9, 45, 30, 2000000 + n),
                filetime(2019, 5, 1 + n, 10, 15, 45, 3000000 + n))

    def add_folder(source, target, skip=()):
        src = os.path.join(root, source)
        if not os.path.isdir(src):
            raise Unavailable("sample folder %s is missing" % src)
        entries.append(Entry(target))
        for name in sorted(os.listdir(src)):
            if name in skip:
                continue
            with open(os.path.join(src, name), "rb") as f:
                data = f.read()
            times = companion_times() if name.startswith("$R") else None
            entries.append(Entry(target + "/" + name, data, times))

    entries.append(Entry("$Recycle.Bin"))
    add_folder("rifiuti2/dir-sample1", "$Recycle.Bin/" + SID_1001)
    # $RKEGS1G was a folder in the bin it came from; so it is here.
    add_folder("rifiuti2/dir-win10-01", "$Recycle.Bin/" + SID_1002, skip=("$RKEGS1G",))
    entries.append(Entry("$Recycle.Bin/%s/$RKEGS1G" % SID_1002, None, companion_times()))
    entries.append(Entry("$Recycle.Bin/%s/$RKEGS1G/notes.txt" % SID_1002, b"kept in a folder\r\n"))
    add_folder("rbcmd/TestFiles/Win8.1 - Donald Blake", "$Recycle.Bin/" + SID_1003)
    entries.append(Entry("RECYCLER"))
    add_folder("info2/rbcmd/WinXp - mueller1", "RECYCLER/" + SID_500)
    # Something that is not a bin, to be left alone, with a junction as
    # Windows makes them.
    entries.append(Entry("Users"))
    entries.append(Entry("Users/readme.txt", b"not in a bin\r\n"))
    entries.append(Entry("Users/All Users", junction="C:\\ProgramData"))
    return entries


def long_index_file(size, letter):
    """A version 2 index file with a path of some 3,000 characters: 6,092
    bytes, too many to stay in its MFT entry (its data is in clusters)."""
    path = ("C:\\Users\\student\\Documents\\" + letter * 3000 + ".txt").encode("utf-16-le")
    return (struct.pack("<QqQI", 2, size, filetime(2020, 1, 2, 3, 4, 5), len(path) // 2 + 1)
            + path + b"\0\0")


# The fifth user's index files whose data lie in clusters: the first one's
# clusters are given to another file after the deletion, the second's stay
# free.
CARVE_LOST = ("$IBIGAAA.txt", long_index_file(1111, "a"))
CARVE_IN_CLUSTERS = ("$IBIGBBB.txt", long_index_file(2222, "b"))


def carve_entries():
    """sample_entries() plus a fourth user's bin whose folder will be
    deleted whole (its index files become orphans) and a fifth user's with
    index files too long for their MFT entries."""
    entries = sample_entries()
    root = SAMPLES
    target = "$Recycle.Bin/" + SID_1004
    entries.append(Entry(target))
    for name in ("$II3DF3L.zip", "$I103S5F.jpg"):
        with open(os.path.join(root, "plaso/test_data/recycler", name), "rb") as f:
            entries.append(Entry(target + "/" + name, f.read()))
    target = "$Recycle.Bin/" + SID_1005
    entries.append(Entry(target))
    # Written first, so that its MFT entry is the lowest of the three.
    entries.append(Entry(target + "/spare.dat", b"s"))
    for name, data in (CARVE_LOST, CARVE_IN_CLUSTERS):
        entries.append(Entry(target + "/" + name, data))
    return entries


# Files deleted in the carving image: SID_1001's bin emptied except one
# companion, SID_1004's whole folder, and SID_1005's files.
CARVE_DELETED_FOLDER = "$Recycle.Bin/" + SID_1004
CARVE_KEPT_COMPANION = "$R1IS2OK.txt"


def write_tree(root, entries, ntfs_times=False):
    """Writes the entries under `root`.  With ntfs_times (an ntfs-3g
    mount) the three times are set through system.ntfs_times; otherwise
    the modified and accessed times through utime."""
    for e in entries:
        p = os.path.join(root, e.path)
        if e.junction is not None:
            if ntfs_times:
                # ntfs-3g makes the junction but then reports an error
                # (EIO, from updating its reparse index); the image's own
                # metadata shows the junction (the unit tests check it).
                os.makedirs(p)
                try:
                    os.setxattr(p, "system.ntfs_reparse_data", junction_data(e.junction))
                except OSError:
                    pass
            else:
                os.symlink(e.junction.replace("\\", "/"), p)
        elif e.is_dir:
            os.makedirs(p, exist_ok=True)
        else:
            os.makedirs(os.path.dirname(p), exist_ok=True)
            with open(p, "wb") as f:
                f.write(e.data)
    # Times last, deepest first, so that writing into a folder does not
    # change them again.
    for e in sorted(entries, key=lambda e: -e.path.count("/")):
        if e.times is None:
            continue
        p = os.path.join(root, e.path)
        created, modified, accessed = e.times
        if ntfs_times:
            os.setxattr(p, "system.ntfs_times",
                        struct.pack("<4Q", created, modified, accessed, modified),
                        follow_symlinks=False)
        else:
            def ns(ft):
                return (ft - 116444736000000000) * 100
            os.utime(p, ns=(ns(accessed), ns(modified)), follow_symlinks=False)


class NtfsMount:
    """An ntfs-3g mount of an image file, in the foreground as a child
    process; leaving the block unmounts it and waits for that child, so
    that everything is written when the block ends."""

    def __init__(self, image, read_only=False):
        self.image = image
        self.options = "ro,no_detach" if read_only else "no_detach,noatime"
        self.dir = tempfile.mkdtemp(prefix="binsift-mnt-")
        self.child = None

    def __enter__(self):
        self.child = subprocess.Popen(["ntfs-3g", "-o", self.options, self.image, self.dir],
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.PIPE)
        deadline = time.time() + 20
        while not os.path.ismount(self.dir):
            if self.child.poll() is not None:
                err = self.child.stderr.read().decode(errors="replace")
                os.rmdir(self.dir)
                raise Unavailable("ntfs-3g could not mount %s: %s" % (self.image, err.strip()))
            if time.time() > deadline:
                self.child.kill()
                self.child.wait()
                raise Unavailable("ntfs-3g did not mount %s" % self.image)
            time.sleep(0.05)
        return self.dir

    def __exit__(self, *exc):
        for attempt in range(50):
            if subprocess.run(["umount", self.dir], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0:
                break
            time.sleep(0.1)
        try:
            self.child.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.child.kill()
            self.child.wait()
        self.child.stderr.close()
        os.rmdir(self.dir)
        return False


def make_sparse(path, size):
    with open(path, "wb") as f:
        f.truncate(size)


def build_ntfs(path, entries, size_mib=16, partition_start=None):
    """An NTFS file system in `path`, holding the entries."""
    require_fuse()
    make_sparse(path, size_mib << 20)
    cmd = ["mkntfs", "-F", "-q", "-T", "-s", "512", "-c", "4096"]
    if partition_start is not None:
        cmd += ["-p", str(partition_start), "-H", "255", "-S", "63"]
    subprocess.run(cmd + [path], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with NtfsMount(path) as root:
        write_tree(root, entries, ntfs_times=True)
    return path


def build_ntfs_from_folder(path, source, size_mib):
    """An NTFS file system in `path` holding a copy of the folder `source`
    (its contents at the volume's root), modified times kept."""
    require_fuse()
    make_sparse(path, size_mib << 20)
    subprocess.run(["mkntfs", "-F", "-q", "-T", "-s", "512", "-c", "4096", path], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with NtfsMount(path) as root:
        for name in os.listdir(source):
            src = os.path.join(source, name)
            if os.path.isdir(src):
                shutil.copytree(src, os.path.join(root, name), symlinks=True)
            else:
                shutil.copy2(src, os.path.join(root, name))
    return path


def build_ntfs_carve(path, size_mib=16):
    """The carving image: carve_entries() written, then, each step in a
    mount of its own (a new file takes the lowest free MFT entry and the
    lowest free clusters):
    1. SID_1005's files deleted, then a new file written that takes
       spare.dat's entry and CARVE_LOST's clusters;
    2. SID_1004's folder deleted whole, then a new file written that takes
       the folder's entry, so that its index files are orphans;
    3. SID_1001's bin emptied (all but one companion)."""
    entries = carve_entries()
    build_ntfs(path, entries, size_mib)
    with NtfsMount(path) as root:
        folder = os.path.join(root, "$Recycle.Bin", SID_1005)
        for name in os.listdir(folder):
            os.remove(os.path.join(folder, name))
    with NtfsMount(path) as root:
        with open(os.path.join(root, "Users", "filler.bin"), "wb") as f:
            f.write(b"F" * 8192)
    with NtfsMount(path) as root:
        shutil.rmtree(os.path.join(root, CARVE_DELETED_FOLDER))
    with NtfsMount(path) as root:
        with open(os.path.join(root, "Users", "new.txt"), "wb") as f:
            f.write(b"takes the deleted folder's entry\r\n")
    with NtfsMount(path) as root:
        folder = os.path.join(root, "$Recycle.Bin", SID_1001)
        for name in os.listdir(folder):
            if name != CARVE_KEPT_COMPANION:
                os.remove(os.path.join(folder, name))
    return path


# The names-image (build_ntfs_names): each index file's data is
# numbered_index_file(N), so that its size field tells which one was read.
NAMES_FILES = {
    SID_1001: [("$IAAAAAA.txt", 1001), ("$IBBBBBB.txt", 1002), ("$ILINKED.txt", 1009)],
    SID_1002: [("$ICCCCCC.txt", 1003), ("$IEEEEEE.txt", 1005)],
    SID_1003: [("$IDDDDDD.txt", 1004)],
    SID_1004: [("$IFFFFFF.txt", 1006)],
}


def names_entries():
    entries = [Entry("$Recycle.Bin")]
    for sid, files in NAMES_FILES.items():
        entries.append(Entry("$Recycle.Bin/" + sid))
        for name, number in files:
            entries.append(Entry("$Recycle.Bin/%s/%s" % (sid, name), numbered_index_file(number)))
    entries.append(Entry("$Recycle.Bin/%s/$RAAAAAA.txt" % SID_1001, b"c" * 1001))
    entries.append(Entry("$Recycle.Bin/%s/$RFOLDER" % SID_1001))
    entries.append(Entry("$Recycle.Bin/%s/$RFOLDER/inner.txt" % SID_1001, b"inside\r\n"))
    return entries


def build_ntfs_names(path):
    """An NTFS volume whose folder indexes and MFT entries disagree, as those
    of a damaged volume do (The Sleuth Kit then lists a folder's index and,
    beside it, each entry whose own $FILE_NAME places it in the folder under
    a name the index lacks):
    - SID_1001's index entry $IBBBBBB.txt refers to the folder $RFOLDER
      beside it: the name is listed twice, for the folder and for the file;
    - SID_1002/$ICCCCCC.txt's own name ($FILE_NAME) is %ICCCCCC.txt: the
      entry is listed under both names;
    - SID_1002's index entry $IEEEEEE.txt has lost its name (length 0);
    - SID_1003's index entry $IDDDDDD.txt refers to SID_1001/$IAAAAAA.txt;
    - the root's index entry $Recycle.Bin refers to SID_1004's folder;
    - SID_1001/$ILINKED.txt has a second name (a hard link),
      SID_1004/$ILINKED.txt.
    The Sleuth Kit's fls is asked whether it lists every case so."""
    import mutants  # its NTFS reader; it needs this module first
    build_ntfs(path, names_entries())
    with NtfsMount(path) as root:
        os.link(os.path.join(root, "$Recycle.Bin", SID_1001, "$ILINKED.txt"),
                os.path.join(root, "$Recycle.Bin", SID_1004, "$ILINKED.txt"))
    volume = mutants.Volume(path)
    by_path = {"": volume.records[5]}
    for _ in range(4):  # parents before children
        for r in volume.records:
            if r.in_use and r.number != 5:
                for parent, name in r.names:
                    for p, folder in list(by_path.items()):
                        if folder.number == parent:
                            by_path.setdefault((p + "/" + name).lstrip("/"), r)

    def index_entry(folder_path, name):
        folder = by_path[folder_path]
        a = folder.attribute(0x90, "$I30")
        found = [(folder, e) for e in mutants.index_entries(folder.data, a.value_start + 16) if e.name == name]
        for block in volume.index_blocks(folder):
            found += [(block, e) for e in block.entries if e.name == name]
        if len(found) != 1:
            raise RuntimeError("%d index entries %s in %s" % (len(found), name, folder_path))
        return found[0]

    patches = []

    def patch(structure, offset, new):
        patches.extend((structure.disk(offset + i), new[i:i + 1]) for i in range(len(new)))

    def refer(folder_path, name, target_path):
        structure, e = index_entry(folder_path, name)
        t = by_path[target_path]
        patch(structure, e.start, struct.pack("<Q", t.number | t.sequence << 48))

    bin_ = "$Recycle.Bin/"
    refer(bin_ + SID_1001, "$IBBBBBB.txt", bin_ + SID_1001 + "/$RFOLDER")
    refer(bin_ + SID_1003, "$IDDDDDD.txt", bin_ + SID_1001 + "/$IAAAAAA.txt")
    refer("", "$Recycle.Bin", bin_ + SID_1004)
    structure, e = index_entry(bin_ + SID_1002, "$IEEEEEE.txt")
    patch(structure, e.start + 16 + 64, b"\0")
    r = by_path[bin_ + SID_1002 + "/$ICCCCCC.txt"]
    a = r.attribute(0x30)
    patch(r, a.value_start + 66, "%".encode("utf-16-le"))
    with open(path, "r+b") as f:
        for offset, new in patches:
            f.seek(offset)
            f.write(new)

    listing = subprocess.run(["fls", "-r", "-p", path], check=True, stdout=subprocess.PIPE).stdout.decode()
    names = [line.split("\t", 1)[1] for line in listing.splitlines() if "\t" in line]
    for shown, times in [(bin_ + SID_1001 + "/$IBBBBBB.txt", 2), (bin_ + SID_1002 + "/$ICCCCCC.txt", 1),
                         (bin_ + SID_1002 + "/%ICCCCCC.txt", 1), (bin_ + SID_1002 + "/", 1),
                         (bin_ + SID_1002 + "/$IEEEEEE.txt", 1), (bin_ + SID_1003 + "/$IDDDDDD.txt", 2),
                         ("$Recycle.Bin", 2), (bin_ + SID_1004 + "/$ILINKED.txt", 1)]:
        if names.count(shown) != times:
            raise RuntimeError("fls lists %s %d times, not %d" % (shown, names.count(shown), times))
    return path


def fat_mtools_env():
    env = dict(os.environ)
    env["MTOOLS_SKIP_CHECK"] = "1"
    env["TZ"] = env.get("TZ", "UTC")
    env["SOURCE_DATE_EPOCH"] = "1557262861"  # 2019-05-07 21:01:01 UTC, the folders' time
    return env


def build_fat32(path, entries, size_mib=40, hidden_sectors=0):
    """A FAT32 file system in `path` (mtools), holding the entries; the
    files keep their modified times (local time, from TZ)."""
    require_tools("mformat", "mmd", "mcopy")
    make_sparse(path, size_mib << 20)
    env = fat_mtools_env()
    subprocess.run(["mformat", "-i", path, "-F", "-c", "1", "-H", str(hidden_sectors), "::"],
                   check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    # A partition-table reader must not see a table in the boot sector or
    # its backup.
    with open(path, "r+b") as f:
        for sector in (0, 6):
            f.seek(sector * SECTOR + 0x1BE)
            f.write(b"\0" * (0x1FE - 0x1BE))
    staging = tempfile.mkdtemp(prefix="binsift-fat-")
    try:
        write_tree(staging, entries)
        for e in entries:
            target = "::/" + e.path
            if e.junction is not None:
                continue  # FAT has none
            if e.is_dir:
                subprocess.run(["mmd", "-i", path, target], check=True, env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            else:
                subprocess.run(["mcopy", "-m", "-i", path, os.path.join(staging, e.path), target],
                               check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    finally:
        shutil.rmtree(staging, True)
    return path


def build_partitioned(path, volumes, label="dos"):
    """A disk with a partition table (`label` "dos" or "gpt"): `volumes` is
    a list of (volume image file or None for a partition of zeros, size in
    MiB, type as sfdisk takes it[, GPT partition name]).  Partitions start at
    sector 2048 and follow each other; their addresses (mmls) are 2, 3, ...
    on a DOS disk and 4, 5, ... on a GPT disk.  Returns the start sectors."""
    require_tools("sfdisk")
    starts = []
    start = 2048
    lines = ["label: " + label]
    for volume in volumes:
        image, size_mib, ptype = volume[:3]
        sectors = (size_mib << 20) // SECTOR
        starts.append(start)
        line = "start=%d, size=%d, type=%s" % (start, sectors, ptype)
        if len(volume) > 3:
            line += ', name="%s"' % volume[3]
        lines.append(line)
        start += sectors
    # Room for the backup GPT at the end.
    make_sparse(path, (start + 2048) * SECTOR)
    subprocess.run(["sfdisk", "--no-reread", "--no-tell-kernel", "-q", path],
                   input=("\n".join(lines) + "\n").encode(), check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    for volume, first in zip(volumes, starts):
        image = volume[0]
        if image is None:
            continue
        subprocess.run(["dd", "if=" + image, "of=" + path, "bs=512", "seek=%d" % first,
                        "conv=notrunc,sparse", "status=none"], check=True)
    return starts


def build_e01(source, target_base):
    """An EnCase 6 (E01) copy of `source`; returns the .E01 file's path."""
    require_tools("ewfacquire")
    subprocess.run(["ewfacquire", "-u", "-q", "-t", target_base, "-f", "encase6", "-c", "deflate:fast",
                    "-C", "case", "-D", "test image", "-e", "examiner", "-E", "1", "-N", "notes",
                    "-m", "fixed", "-M", "logical", source],
                   stdin=subprocess.DEVNULL, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return target_base + ".E01"


def build_vhd_fixed(source, target):
    """A fixed-size VHD copy of `source`: its bytes, then the 512-byte VHD
    footer (big-endian fields, one's-complement checksum)."""
    with open(source, "rb") as f:
        data = f.read()
    size = len(data)
    footer = bytearray()
    footer += b"conectix"
    footer += struct.pack(">IIQ", 2, 0x00010000, 0xFFFFFFFFFFFFFFFF)  # features, version, no data offset
    footer += struct.pack(">I", 0) + b"bsft" + struct.pack(">I", 0x00010000) + b"Wi2k"
    footer += struct.pack(">QQ", size, size)
    footer += struct.pack(">HBB", min(size // (16 * 63 * 512), 65535), 16, 63)  # geometry
    footer += struct.pack(">II", 2, 0)  # a fixed disk; the checksum comes below
    footer += bytes(range(16))          # unique id
    footer += b"\0" * (512 - len(footer))
    footer[64:68] = struct.pack(">I", ~sum(footer) & 0xFFFFFFFF)
    with open(target, "wb") as f:
        f.write(data + bytes(footer))
    return target


def build_vmdk_flat(source, target):
    """A monolithic flat VMDK copy of `source`: the descriptor `target`
    (a .vmdk) naming an extent file beside it that holds the bytes."""
    extent = target[:-len(".vmdk")] + "-flat.vmdk"
    shutil.copyfile(source, extent)
    sectors = os.path.getsize(source) // SECTOR
    with open(target, "w") as f:
        f.write("# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\n"
                "createType=\"monolithicFlat\"\n\n# Extent description\n"
                "RW %d FLAT \"%s\" 0\n\n# The Disk Data Base\n#DDB\n\n"
                "ddb.virtualHWVersion = \"4\"\nddb.geometry.cylinders = \"%d\"\n"
                "ddb.geometry.heads = \"16\"\nddb.geometry.sectors = \"63\"\n"
                "ddb.adapterType = \"ide\"\n" % (sectors, os.path.basename(extent), sectors // (16 * 63)))
    return target


def build_e01_segments(source, target_base):
    """An uncompressed EnCase 6 copy of `source` in segments of 1 MiB
    (.E01, .E02, ...); returns the segment files' paths in order."""
    require_tools("ewfacquire")
    subprocess.run(["ewfacquire", "-u", "-q", "-t", target_base, "-f", "encase6", "-c", "none",
                    "-S", "1MiB", "-C", "case", "-D", "test image", "-e", "examiner", "-E", "1",
                    "-N", "notes", "-m", "fixed", "-M", "logical", source],
                   stdin=subprocess.DEVNULL, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    folder = os.path.dirname(target_base)
    prefix = os.path.basename(target_base) + ".E"
    return sorted(os.path.join(folder, n) for n in os.listdir(folder) if n.startswith(prefix))


def build_split_raw(source, target_base, segment_size):
    """`source` cut into target_base.001, .002, ... of `segment_size` bytes."""
    paths = []
    with open(source, "rb") as f:
        while True:
            block = f.read(segment_size)
            if not block:
                break
            paths.append("%s.%03d" % (target_base, len(paths) + 1))
            with open(paths[-1], "wb") as g:
                g.write(block)
    return paths


def build_vmdk_split_sparse(source, target):
    """A VMDK copy of `source` as a descriptor `target` and sparse extent
    files beside it (qemu-img); returns the extent files' paths."""
    require_tools("qemu-img")
    subprocess.run(["qemu-img", "convert", "-f", "raw", "-O", "vmdk", "-o",
                    "subformat=twoGbMaxExtentSparse", source, target],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    with open(target) as f:
        text = f.read()
    folder = os.path.dirname(target)
    return [os.path.join(folder, line.split('"')[1]) for line in text.splitlines()
            if line.startswith("RW ")]


def vhd_footer(size, disk_type, data_offset):
    """A VHD footer (big-endian fields, one's-complement checksum)."""
    footer = bytearray()
    footer += b"conectix"
    footer += struct.pack(">IIQ", 2, 0x00010000, data_offset)
    footer += struct.pack(">I", 0) + b"bsft" + struct.pack(">I", 0x00010000) + b"Wi2k"
    footer += struct.pack(">QQ", size, size)
    footer += struct.pack(">HBB", min(size // (16 * 63 * 512), 65535), 16, 63)
    footer += struct.pack(">II", disk_type, 0)
    footer += bytes(range(16))
    footer += b"\0" * (512 - len(footer))
    footer[64:68] = struct.pack(">I", ~sum(footer) & 0xFFFFFFFF)
    return bytes(footer)


def build_vhd_differencing(target, parent_name, size=1 << 20):
    """A differencing VHD whose parent is `parent_name` beside it, named by
    a relative parent locator (W2ru) and the parent's name, with no block of
    its own."""
    block = 2 << 20
    blocks = (size + block - 1) // block
    header = bytearray(1024)
    header[0:8] = b"cxsparse"
    header[8:16] = struct.pack(">Q", 0xFFFFFFFFFFFFFFFF)
    header[16:24] = struct.pack(">Q", 512 + 1024)     # the block table
    header[24:28] = struct.pack(">I", 0x00010000)
    header[28:32] = struct.pack(">I", blocks)
    header[32:36] = struct.pack(">I", block)
    name = parent_name.encode("utf-16-be")
    header[64:64 + len(name)] = name
    locator = (".\\" + parent_name).encode("utf-16-le")
    locator_at = 512 + 1024 + 512
    header[576:600] = b"W2ru" + struct.pack(">III", 512, len(locator), 0) + struct.pack(">Q", locator_at)
    header[36:40] = struct.pack(">I", ~sum(header) & 0xFFFFFFFF)
    footer = vhd_footer(size, 4, 512)
    table = b"\xff" * 512
    with open(target, "wb") as f:
        f.write(footer + bytes(header) + table + locator.ljust(512, b"\0") + footer)
    return target


def build_gpt_repeated(path, volume, volume_mib, entries=65536):
    """A GPT disk whose `entries` partition entries all name the same
    sectors, which hold the file system image `volume` (built for a
    partition starting at gpt_repeated_start(entries)).  CRCs are right."""
    import uuid
    import zlib
    table_sectors = entries * 128 // SECTOR
    start = gpt_repeated_start(entries)
    sectors = (volume_mib << 20) // SECTOR
    last_usable = start + sectors - 1 + 8
    total = last_usable + 1 + table_sectors + 1
    make_sparse(path, total * SECTOR)
    entry = (bytes.fromhex("A2A0D0EBE5B9334487C068B6B72699C7") + uuid.UUID(int=1).bytes_le
             + struct.pack("<QQQ", start, start + sectors - 1, 0)
             + "Basic data partition".encode("utf-16-le").ljust(72, b"\0"))
    table = entry * entries
    table_crc = zlib.crc32(table) & 0xFFFFFFFF

    def header(current, backup, table_lba):
        h = struct.pack("<8sIIIIQQQQ16sQIII", b"EFI PART", 0x10000, 92, 0, 0, current, backup,
                        2 + table_sectors, last_usable, uuid.UUID(int=2).bytes_le, table_lba,
                        entries, 128, table_crc)
        h = h[:16] + struct.pack("<I", zlib.crc32(h) & 0xFFFFFFFF) + h[20:]
        return h.ljust(SECTOR, b"\0")

    mbr = bytearray(SECTOR)
    mbr[446:462] = struct.pack("<BBBBBBBBII", 0, 0, 2, 0, 0xEE, 0xFF, 0xFF, 0xFF, 1,
                               min(total - 1, 0xFFFFFFFF))
    mbr[510:512] = b"\x55\xaa"
    with open(path, "r+b") as f:
        f.write(mbr)
        f.write(header(1, total - 1, 2))
        f.write(table)
        f.seek((total - 1 - table_sectors) * SECTOR)
        f.write(table)
        f.write(header(total - 1, 1, total - 1 - table_sectors))
    subprocess.run(["dd", "if=" + volume, "of=" + path, "bs=512", "seek=%d" % start,
                    "conv=notrunc,sparse", "status=none"], check=True)
    return start


def gpt_repeated_start(entries):
    return 2 + entries * 128 // SECTOR + 6


def numbered_index_file(number, folder="u"):
    """A version 2 index file whose size is `number` and whose original
    path names it."""
    path = ("C:\\Users\\%s\\file%05d.txt" % (folder, number)).encode("utf-16-le")
    return (struct.pack("<QqQI", 2, number, filetime(2020, 1, 2, 3, 4, 5), len(path) // 2 + 1)
            + path + b"\0\0")


def build_large_bin(path, count, size_mib=64):
    """An NTFS volume whose one user folder holds `count` index files
    $I00000.txt, $I00001.txt, ... (numbered_index_file)."""
    entries = [Entry("$Recycle.Bin"), Entry("$Recycle.Bin/" + SID_1001)]
    for i in range(count):
        entries.append(Entry("$Recycle.Bin/%s/$I%05d.txt" % (SID_1001, i), numbered_index_file(i)))
    return build_ntfs(path, entries, size_mib)


def delete_in_large_bin(path, numbers):
    """Deletes the index files `numbers` of build_large_bin's folder."""
    with NtfsMount(path) as root:
        folder = os.path.join(root, "$Recycle.Bin", SID_1001)
        for i in numbers:
            os.remove(os.path.join(folder, "$I%05d.txt" % i))


def tsk_attribute_clusters(image, inode, attribute, offset=None):
    """The clusters of a non-resident attribute ("$INDEX_ALLOCATION",
    "$DATA") of `inode`, as istat lists them."""
    cmd = ["istat"] + (["-o", str(offset)] if offset is not None else []) + [image, str(inode)]
    out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE).stdout.decode(errors="replace")
    lines = out.splitlines()
    for i, line in enumerate(lines):
        if line.startswith("Type: %s " % attribute) and "Non-Resident" in line:
            clusters = []
            for follow in lines[i + 1:]:
                if follow.startswith("Type:") or not follow.strip():
                    break
                clusters += [int(c) for c in follow.split()]
            return clusters
    return []


# --- What The Sleuth Kit's own tools say, to check against. ---

def tsk_inode(image, path, offset=None):
    """The metadata address of `path` inside the volume (ifind)."""
    cmd = ["ifind"] + (["-o", str(offset)] if offset is not None else []) + ["-n", path, image]
    out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE,
                         env=dict(os.environ, TZ="UTC")).stdout.decode().strip()
    return out.split("-")[0]


def tsk_standard_information_times(image, inode, offset=None):
    """The $STANDARD_INFORMATION times istat shows in UTC, as text:
    {"Created": "2019-03-02 08:30:00.100000100 (UTC)", ...}."""
    cmd = ["istat", "-z", "UTC"] + (["-o", str(offset)] if offset is not None else []) + [image, str(inode)]
    out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE).stdout.decode(errors="replace")
    section = out.split("$STANDARD_INFORMATION Attribute Values:")[1].split("$FILE_NAME Attribute Values:")[0]
    times = {}
    for line in section.splitlines():
        for key in ("Created", "File Modified", "MFT Modified", "Accessed"):
            if line.startswith(key + ":"):
                times[key] = line.split(":", 1)[1].strip()
    return times


def tsk_fat_times(image, inode, offset=None):
    """The times istat shows for a FAT directory entry (TZ=UTC), as text:
    {"Written": "2019-04-02 09:45:30 (UTC)", "Accessed": ..., "Created": ...}."""
    cmd = ["istat", "-z", "UTC"] + (["-o", str(offset)] if offset is not None else []) + [image, str(inode)]
    env = dict(os.environ, TZ="UTC")
    out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE, env=env).stdout.decode(errors="replace")
    times = {}
    for line in out.split("Directory Entry Times:")[1].splitlines():
        for key in ("Written", "Accessed", "Created"):
            if line.startswith(key + ":"):
                times[key] = line.split(":", 1)[1].strip()
    return times


def main(argv):
    if len(argv) != 3:
        print("usage: images.py ntfs|ntfs-carve|ntfs-names|ntfs-nobin|fat32|partitioned|e01|e01-segments|vss-bin|vss-carve|vss-partitioned|vsstest|users-bin OUTPUT",
              file=sys.stderr)
        return 2
    kind, out = argv[1], argv[2]
    if kind in ("vss-bin", "vss-carve", "vss-partitioned", "vsstest", "users-bin"):
        # Built by their own modules, which end with 77 themselves.
        module = __import__("hives" if kind == "users-bin" else "vss_image")
        return module.main([argv[0], kind, out])
    try:
        if kind == "ntfs":
            build_ntfs(out, sample_entries())
        elif kind == "ntfs-carve":
            build_ntfs_carve(out)
        elif kind == "ntfs-names":
            build_ntfs_names(out)
        elif kind == "ntfs-nobin":
            build_ntfs(out, [Entry("Users"), Entry("Users/readme.txt", b"no bin here\r\n")])
        elif kind == "fat32":
            build_fat32(out, sample_entries())
        elif kind == "partitioned":
            work = tempfile.mkdtemp(prefix="binsift-img-")
            try:
                ntfs = build_ntfs(os.path.join(work, "ntfs.img"), sample_entries(), 16, 2048)
                fat = build_fat32(os.path.join(work, "fat.img"), sample_entries(), 40, 2048 + (16 << 11))
                build_partitioned(out, [(ntfs, 16, "7"), (fat, 40, "c")])
            finally:
                shutil.rmtree(work, True)
        elif kind == "e01-segments":
            # OUTPUT ends with .E01; the other segments go beside it.
            work = tempfile.mkdtemp(prefix="binsift-img-")
            try:
                raw = build_ntfs(os.path.join(work, "ntfs.img"), sample_entries())
                base = out[:-len(".E01")]
                made = build_e01_segments(raw, os.path.join(work, "copy"))
                for i, segment in enumerate(made):
                    shutil.move(segment, base + segment[-4:])
            finally:
                shutil.rmtree(work, True)
        elif kind == "e01":
            work = tempfile.mkdtemp(prefix="binsift-img-")
            try:
                raw = build_ntfs(os.path.join(work, "ntfs.img"), sample_entries())
                made = build_e01(raw, os.path.join(work, "copy"))
                shutil.move(made, out)
            finally:
                shutil.rmtree(work, True)
        else:
            print("unknown kind %s" % kind, file=sys.stderr)
            return 2
    except Unavailable as e:
        print(str(e))
        return 77
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
