"""NTFS images with Volume Shadow Copy stores, for the tests of shadow-copy
reading.

vsstest_raw() converts the sample volume that Windows wrote (two stores) to
a raw image.  build_vss_bin() builds an NTFS volume whose live recycle bin is
empty while its two shadow-copy stores still hold index files and their
companions from the real samples:

1. the volume is made with mkntfs and filled through an ntfs-3g mount with
   the bin as it was when the older snapshot was taken (state 1), then
   changed in a second mount to the bin as it was at the newer snapshot
   (state 2), and emptied in a third mount (the live volume), which also
   creates the catalog file and one store file per snapshot in
   "System Volume Information", as Windows does;
2. the catalog, the store headers, block lists, block range lists and
   bitmaps are then written into those files' clusters, and the volume
   header at offset 0x1e00, as libyal's "Volume Shadow Snapshot (VSS)
   format" document lays them out.  Each store holds the old contents of
   the 16 KiB blocks that changed after its snapshot was taken (copy on
   write): a block that changed between snapshot k and the next state goes
   to store k, as long as some snapshot up to k still uses it.  Reading
   snapshot k thus gives state k for every cluster that state k uses.

The older store holds a Windows 10 user's two pairs (and a file outside the
bin that was deleted before the newer snapshot), the newer one a pair and
two index files whose companions are gone.  Every identifier and time is
fixed; where libfaketime is installed, the clock ntfs-3g sees is stopped
too, and two builds give the same bytes.

build_vss_partitioned() puts that volume in the first partition of a disk
(p2), beside an NTFS volume without shadow copies (p3).  Built from
CARVE_SNAPSHOTS (vss-carve), the newer store holds the picture's pair as
deleted entries, for carving in a store.

Run as a program:  python3 vss_image.py vss-bin|vss-carve|vss-partitioned|
vsstest OUTPUT  (exit code 77 when this machine cannot build it, with the
reason on standard output).
"""

import contextlib
import glob
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import uuid

import images
from images import Entry, NtfsMount, Unavailable, filetime

# The identifier VSS writes at the start of every one of its blocks and in
# the names of its files.
VSS_IDENTIFIER = uuid.UUID("3808876b-c176-4e48-b7ae-04046e6cc752")
BLOCK = 0x4000              # the store's block size
CLUSTER = 4096
VOLUME_HEADER_OFFSET = 0x1e00
CATALOG_BLOCKS = 4          # Windows 7 keeps a 64 KiB catalog file
STORE_FILE_BLOCKS = 64      # 1 MiB per store: room for far more changes than these states make
VOLUME_MIB = 16

RECORD_VOLUME_HEADER = 1
RECORD_CATALOG = 2
RECORD_BLOCK_LIST = 3
RECORD_STORE_HEADER = 4
RECORD_RANGE_LIST = 5
RECORD_BITMAP = 6

SVI = "System Volume Information"
CATALOG_NAME = "{%s}" % VSS_IDENTIFIER

# The store information's first GUID, whose meaning is not known: the value
# Windows 7 wrote in both stores of the sample volume.
STORE_INFO_GUID = uuid.UUID("ae9a9337-0048-4ed6-9874-71500654b7b3")
SNAPSHOT_CONTEXT = 9            # VSS_CTX_APP_ROLLBACK, as in the sample volume
ATTRIBUTE_FLAGS = 0x00420009    # persistent, no auto release, differential, auto recover
MACHINE = "EXAMINER-PC"
VOLUME_ID = uuid.UUID("5c1e0b3a-7d2f-11e3-9a41-0800271f6c2d")

VSS_SID = images.SID_1001
OTHER_SID = images.SID_1002
VSS_FOLDER = "$Recycle.Bin/" + VSS_SID
DESKTOP_INI = "rifiuti2/dir-win10-01/desktop.ini"


class Snapshot:
    """One shadow copy: when it was taken, its identifiers, the files of the
    bin folder VSS_FOLDER at that moment: (name, sample path, companion
    times (created, modified, accessed) or None), and other files the
    volume had then: (path, bytes, times)."""

    def __init__(self, created, store_id, copy_id, set_id, files, others=()):
        self.created = created
        self.store_id = uuid.UUID(store_id)
        self.copy_id = uuid.UUID(copy_id)
        self.set_id = uuid.UUID(set_id)
        self.files = files
        self.others = others

    @property
    def store_file(self):
        return "{%s}%s" % (self.store_id, CATALOG_NAME)


# Oldest first: the bin of a Windows 10 user on 5 and on 20 April 2015.
# Between the two, the picture's pair left the bin (its companion's
# clusters became free), and two index files whose companions are gone
# came in; the text file's pair is in both.
_PICTURE = [("$IQ7LAXT.png", "rifiuti2/dir-win10-01/$IQ7LAXT.png", None),
            ("$RQ7LAXT.png", "rifiuti2/dir-win10-01/$RQ7LAXT.png",
             (filetime(2015, 3, 30, 10, 0, 1, 1234567), filetime(2015, 4, 1, 12, 30, 45, 2345678),
              filetime(2015, 4, 4, 17, 19, 58, 3456789)))]
_TEXT = [("$I7R52EG.txt", "rifiuti2/dir-win10-01/$I7R52EG.txt", None),
         ("$R7R52EG.txt", "rifiuti2/dir-win10-01/$R7R52EG.txt",
          (filetime(2015, 4, 2, 8, 0, 0, 1111111), filetime(2015, 4, 3, 9, 10, 11, 2222222),
           filetime(2015, 4, 4, 17, 24, 5, 3333333)))]
_GONE = [("$IDNLPD4.exe", "rifiuti2/dir-win10-01/$IDNLPD4.exe", None),
         ("$IROMPZ0.exe", "rifiuti2/dir-win10-01/$IROMPZ0.exe", None)]
# A file of 48 KiB that was deleted for good between the two snapshots: its
# clusters were free when the newer one was taken, and the live volume
# reuses them, so that the newer store keeps blocks that only the older
# snapshot uses.
NOTES = ("Users/tester/Documents/notes.txt",
         b"".join(b"Line %05d of the notes, kept only by the older shadow copy.\r\n" % n
                  for n in range(800))[:48 << 10],
         (filetime(2015, 3, 20, 9, 0, 0, 4444444), filetime(2015, 4, 2, 15, 30, 0, 5555555),
          filetime(2015, 4, 3, 8, 45, 0, 6666666)))
SNAPSHOTS = [
    Snapshot(filetime(2015, 4, 5, 10, 15, 27, 3141592),
             "8c5e1f62-db6a-11e4-8a3e-0019d1e2f3a4", "1b7c3d59-2e84-4f06-9d1a-6c0f5e3b2a71",
             "9e2f4a6b-3c51-47d8-b0e9-2a7c8d5f1e36", _PICTURE + _TEXT, [NOTES]),
    Snapshot(filetime(2015, 4, 20, 8, 3, 11, 2718281),
             "d41a7b90-e72f-11e4-8c21-0019d1e2f3a4", "6f3e9a24-81c7-4b5d-a2f0-93d6e4c1b758",
             "c0a8d3e5-5f19-4e72-8b64-1d2e9f7a0c43", _TEXT + _GONE),
]

# For carving in a store: the same two snapshots, but the newer one taken
# after the picture's pair left the bin and before anything took their MFT
# entries, so that the newer store still holds them as deleted entries (the
# live volume's store files take them afterwards).
CARVE_SNAPSHOTS = [
    Snapshot(SNAPSHOTS[0].created, str(SNAPSHOTS[0].store_id), str(SNAPSHOTS[0].copy_id),
             str(SNAPSHOTS[0].set_id), _PICTURE + _TEXT),
    Snapshot(SNAPSHOTS[1].created, str(SNAPSHOTS[1].store_id), str(SNAPSHOTS[1].copy_id),
             str(SNAPSHOTS[1].set_id), _TEXT),
]

# Times of the folders (created, modified, accessed), in each state; the
# last one is the live volume's.  The clock of each state's mount stops at
# its time too (see frozen_clock), so that every name ntfs-3g writes in that
# mount, and the "MFT modified" time of every file it touches, gets it.
FOLDER_CREATED = filetime(2015, 3, 1, 12, 0, 0, 5555555)
STATE_TIMES = [filetime(2015, 4, 4, 17, 24, 10),
               filetime(2015, 4, 19, 10, 50, 52),
               filetime(2016, 1, 10, 19, 45, 0)]


def _guid(value):
    return value.bytes_le


def index_deletion_time(data):
    """The deletion time a version 1 or 2 index file records (bytes 16 to 23)."""
    return struct.unpack_from("<Q", data, 16)[0]


def _run(args):
    p = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if p.returncode != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(args), p.stderr.decode(errors="replace").strip()))
    return p.stdout


def vsstest_raw(out_path):
    """The sample volume Windows wrote with two shadow-copy stores, as a
    sparse raw image (1 GiB, some 22 MiB on disk)."""
    images.require_tools("qemu-img")
    source = os.path.join(images.require_samples(), "vss", "vsstest.qcow2")
    if not os.path.isfile(source):
        raise Unavailable("sample %s is missing" % source)
    _run(["qemu-img", "convert", "-q", "-f", "qcow2", "-O", "raw", "-S", "4k", source, out_path])
    return out_path


# --- What a state of the volume holds ---

def _sample(path):
    full = os.path.join(images.require_samples(), path)
    if not os.path.isfile(full):
        raise Unavailable("sample %s is missing" % full)
    with open(full, "rb") as f:
        return f.read()


def _folder_entries(state):
    """The folders, with the times they have in `state` (0 the oldest), and
    in the first state each user's desktop.ini."""
    modified = STATE_TIMES[state]
    times = (FOLDER_CREATED, modified, modified)
    entries = [Entry("", None, times), Entry("$Recycle.Bin", None, times), Entry(SVI, None, times)]
    entries += [Entry(p, None, times) for p in ("Users", "Users/tester", "Users/tester/Documents")]
    for sid in (VSS_SID, OTHER_SID):
        entries.append(Entry("$Recycle.Bin/" + sid, None, times))
        if state == 0:
            entries.append(Entry("$Recycle.Bin/%s/desktop.ini" % sid, _sample(DESKTOP_INI),
                                 (FOLDER_CREATED, FOLDER_CREATED, FOLDER_CREATED)))
    return entries


def bin_entries(files):
    """Bin files (as Snapshot.files) as images.Entry: index files carry
    their own deletion time as all their times (Windows writes them at the
    deletion), companions the times given."""
    entries = []
    for name, sample, times in files:
        data = _sample(sample)
        if times is None:
            deleted = index_deletion_time(data)
            times = (deleted, deleted, deleted)
        entries.append(Entry(VSS_FOLDER + "/" + name, data, times))
    return entries


def state_files(snapshot):
    """{path: Entry} of the files (not the folders) a snapshot's state has."""
    files = {e.path: e for e in bin_entries(snapshot.files)}
    files.update((path, Entry(path, data, times)) for path, data, times in snapshot.others)
    return files


def _changes(before, after):
    """The paths of `before` that `after` has not (or has otherwise), and
    the entries of `after` to write."""
    def same(path):
        return path in before and path in after and (before[path].data, before[path].times) == \
            (after[path].data, after[path].times)
    return ([p for p in sorted(before) if not same(p)], [after[p] for p in sorted(after) if not same(p)])


@contextlib.contextmanager
def frozen_clock(when):
    """ntfs-3g records its own clock in the names it indexes, whatever times
    are set afterwards: with libfaketime (Debian's faketime) the mounts
    started inside this block see the clock stopped at `when` (a FILETIME),
    so that every build gives the same bytes.  Without it the build goes on
    with the real clock."""
    library = sorted(glob.glob("/usr/lib/*/faketime/libfaketimeMT.so.1"))
    if not library:
        yield False
        return
    seconds = when // 10000000 - 11644473600
    saved = {name: os.environ.get(name) for name in ("LD_PRELOAD", "FAKETIME", "DONT_FAKE_MONOTONIC", "TZ")}
    os.environ["LD_PRELOAD"] = library[0]
    os.environ["TZ"] = "UTC"
    os.environ["FAKETIME"] = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(seconds))
    os.environ["DONT_FAKE_MONOTONIC"] = "1"
    try:
        yield True
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


def deterministic():
    """Whether builds here give the same bytes every time."""
    return bool(glob.glob("/usr/lib/*/faketime/libfaketimeMT.so.1"))


# --- What The Sleuth Kit reads of an NTFS volume ---

def cluster_count(image):
    with open(image, "rb") as f:
        boot = f.read(512)
    bytes_per_sector, = struct.unpack_from("<H", boot, 0x0b)
    sectors_per_cluster = boot[0x0d]
    total_sectors, = struct.unpack_from("<Q", boot, 0x28)
    return total_sectors // sectors_per_cluster


def used_clusters(image):
    """The allocation bitmap ($Bitmap, MFT entry 6) as icat reads it: a
    function telling whether a cluster is in use.  Clusters past the end
    of the volume count as used (they hold the backup boot sector)."""
    bitmap = _run(["icat", image, "6"])
    count = cluster_count(image)

    def used(cluster):
        if cluster >= count:
            return True
        return bool(bitmap[cluster // 8] >> (cluster % 8) & 1)
    return used


def file_runs(image, path):
    """(MFT entry, sequence number, the clusters of its $DATA in file order)
    of the file at `path` inside the volume, as ifind and istat show them."""
    entry = images.tsk_inode(image, path)
    out = _run(["istat", image, entry]).decode(errors="replace")
    sequence = int(re.search(r"^Entry: \d+\s+Sequence: (\d+)", out, re.M).group(1))
    lines = out.splitlines()
    clusters = None
    for i, line in enumerate(lines):
        if line.startswith("Type: $DATA (128-") and "Name: N/A" in line and "Non-Resident" in line:
            clusters = []
            for more in lines[i + 1:]:
                if not re.fullmatch(r"[\d ]+", more.strip() or "x"):
                    break
                clusters += [int(c) for c in more.split()]
            break
    if not clusters or 0 in clusters:
        raise RuntimeError("%s has no allocated clusters in %s" % (path, image))
    return int(entry), sequence, clusters


def file_blocks(clusters):
    """The 16 KiB store blocks a file offers: (offset in the file, offset in
    the volume) of every four clusters at a file offset that is a multiple
    of 16 KiB and contiguous in the volume, in file order.  (Windows aligns
    them in the volume too; ntfs-3g does not, and libvshadow reads store
    blocks at any offset.)"""
    blocks = []
    for i in range(0, len(clusters) - 3, 4):
        first = clusters[i]
        if clusters[i:i + 4] == list(range(first, first + 4)):
            blocks.append((i * CLUSTER, first * CLUSTER))
    return blocks


# --- The on-disk structures ---

def _block_header(record_type, relative, offset, next_offset, info_size=0):
    return (_guid(VSS_IDENTIFIER) + struct.pack("<IIQQQQ", 1, record_type, relative, offset, next_offset,
                                                info_size)).ljust(128, b"\0")


def volume_header(catalog_offset):
    data = _guid(VSS_IDENTIFIER) + struct.pack("<IIQQQQQ", 1, RECORD_VOLUME_HEADER, VOLUME_HEADER_OFFSET,
                                               VOLUME_HEADER_OFFSET, 0, catalog_offset, 0)
    data += _guid(VOLUME_ID) + _guid(VOLUME_ID)
    return data.ljust(512, b"\0")


def catalog_blocks(offsets, entries):
    """The catalog: blocks at `offsets` (volume offsets, the first holding
    the entries, 128 bytes each)."""
    blocks = []
    for n, offset in enumerate(offsets):
        following = offsets[n + 1] if n + 1 < len(offsets) else 0
        data = _block_header(RECORD_CATALOG, n * BLOCK, offset, following)
        if n == 0:
            data += b"".join(entries)
        blocks.append(data.ljust(BLOCK, b"\0"))
    return blocks


def catalog_entry_snapshot(snapshot, sequence, volume_size):
    return struct.pack("<QQ", 2, volume_size) + _guid(snapshot.store_id) + struct.pack(
        "<QQQ", sequence, 0x40, snapshot.created).ljust(128 - 32, b"\0")


def catalog_entry_store(snapshot, block_list, header, range_list, bitmap, file_reference, allocated):
    """The entry that places a store: the volume offsets of its first block
    list, header, range list and bitmap blocks, and its file's MFT
    reference and size."""
    return (struct.pack("<QQ", 3, block_list) + _guid(snapshot.store_id)
            + struct.pack("<QQQQQQQ", header, range_list, bitmap, file_reference, allocated, 0, 0)).ljust(128, b"\0")


def store_header(snapshot, relative, offset):
    machine = MACHINE.encode("utf-16-le")
    info = (_guid(STORE_INFO_GUID) + _guid(snapshot.copy_id) + _guid(snapshot.set_id)
            + struct.pack("<IIII", SNAPSHOT_CONTEXT, 1, ATTRIBUTE_FLAGS, 0)
            + struct.pack("<H", len(machine)) + machine + struct.pack("<H", len(machine)) + machine)
    return (_block_header(RECORD_STORE_HEADER, relative, offset, 0, len(info)) + info).ljust(BLOCK, b"\0")


def _chained(record_type, places, payloads):
    """Blocks of one list (block list, range list, bitmap): `places` are
    (relative, volume) offsets, `payloads` what follows each header."""
    blocks = []
    for n, (relative, offset) in enumerate(places):
        following = places[n + 1][1] if n + 1 < len(places) else 0
        blocks.append((_block_header(record_type, relative, offset, following) + payloads[n]).ljust(BLOCK, b"\0"))
    return blocks


def _split(items, per_block):
    chunks = [items[i:i + per_block] for i in range(0, len(items), per_block)]
    return chunks or [[]]


# --- Building ---

def _copy_sparse(source, target):
    _run(["cp", "--sparse=always", source, target])


def _read_blocks(image):
    with open(image, "rb") as f:
        data = f.read()
    return [data[i:i + BLOCK] for i in range(0, len(data), BLOCK)]


def _block_used(used, block):
    return any(used(c) for c in range(block * 4, block * 4 + 4))


def plan_stores(states, live_blocks, changed_live):
    """Which blocks each store keeps.  `states` are, oldest first, (blocks,
    used) of each snapshot's state; `live_blocks` the live volume's blocks;
    `changed_live` the blocks whose live contents are still to be written
    (they count as changed).  A block that changed after snapshot k and
    before the next state goes to store k, when snapshot k or an older one
    that keeps no copy of its own still uses it (copy on write); reading
    snapshot k then gives state k for every block that it uses."""
    count = len(live_blocks)
    kept = [dict() for _ in states]
    for b in range(count):
        waiting = False  # an older snapshot uses this block and keeps no copy of it
        for k, (blocks, used) in enumerate(states):
            waiting = waiting or _block_used(used, b)
            following = states[k + 1][0][b] if k + 1 < len(states) else live_blocks[b]
            changed = blocks[b] != following or (k + 1 == len(states) and b in changed_live)
            if waiting and changed:
                kept[k][b] = blocks[b]
                waiting = False
    return kept


PER_BLOCK_LIST = (BLOCK - 128) // 32      # block descriptors in one block
PER_BITMAP = BLOCK - 128                  # bitmap bytes in one block


class StoreLayout:
    """Where the parts of one store go in its file: the header, the block
    list, the block range list, the bitmap, then the kept blocks, each as
    (offset in the store, offset in the volume).  The store starts at its
    file's first 16 KiB block."""

    def __init__(self, clusters, kept_count, volume_blocks):
        places = file_blocks(clusters)
        start = places[0][0] if places else 0
        places = [(relative - start, offset) for relative, offset in places]
        lists = max(1, -(-kept_count // PER_BLOCK_LIST))
        bitmaps = max(1, -(-volume_blocks // (PER_BITMAP * 8)))
        needed = 2 + lists + bitmaps + kept_count
        if needed > len(places):
            raise RuntimeError("the store file has %d blocks, %d are needed" % (len(places), needed))
        self.header = places[0]
        self.block_list = places[1:1 + lists]
        self.range_list = places[1 + lists:2 + lists]
        self.bitmap = places[2 + lists:2 + lists + bitmaps]
        self.data = places[2 + lists + bitmaps:needed]
        # The block range list: the file's contiguous runs from the start.
        self.runs = []
        first = start // CLUSTER
        for i in range(first, len(clusters)):
            if self.runs and self.runs[-1][0] + self.runs[-1][2] == clusters[i] * CLUSTER:
                self.runs[-1][2] += CLUSTER
            else:
                self.runs.append([clusters[i] * CLUSTER, (i - first) * CLUSTER, CLUSTER])


def build_vss_bin(out_path, states_dir=None, snapshots=None):
    """The image described above, in `out_path`; with `states_dir`, the
    snapshots' states are kept there as state1.img, state2.img (the volume
    as each snapshot must read, for the clusters that state uses).
    `snapshots` (SNAPSHOTS by default, or CARVE_SNAPSHOTS) are the states."""
    snapshots = SNAPSHOTS if snapshots is None else snapshots
    images.require_fuse()
    images.require_tools("icat", "istat", "ifind", "cp")
    for snapshot in snapshots:
        bin_entries(snapshot.files)  # the samples are there
    work = tempfile.mkdtemp(prefix="binsift-vss-")
    try:
        image = os.path.join(work, "volume.img")
        images.make_sparse(image, VOLUME_MIB << 20)
        _run(["mkntfs", "-F", "-q", "-T", "-s", "512", "-c", str(CLUSTER), image])
        state_images = []
        previous = {}
        for k, snapshot in enumerate(snapshots):
            current = state_files(snapshot)
            removed, added = _changes(previous, current)
            with frozen_clock(STATE_TIMES[k]), NtfsMount(image) as root:
                for path in removed:
                    os.remove(os.path.join(root, path))
                images.write_tree(root, _folder_entries(k) + added, ntfs_times=True)
            state = os.path.join(work, "state%d.img" % (k + 1))
            _copy_sparse(image, state)
            state_images.append(state)
            previous = current
        # The live volume: the store files, then the bin emptied.
        store_size = STORE_FILE_BLOCKS * BLOCK
        with frozen_clock(STATE_TIMES[-1]), NtfsMount(image) as root:
            svi = os.path.join(root, SVI)
            files = [(CATALOG_NAME, CATALOG_BLOCKS * BLOCK)] + [(s.store_file, store_size) for s in snapshots]
            for name, size in files:
                with open(os.path.join(svi, name), "wb") as f:
                    f.write(b"\0" * size)
            for path in sorted(previous):
                os.remove(os.path.join(root, path))
            store_times = [Entry(SVI + "/" + CATALOG_NAME, b"", (snapshots[0].created,) * 3)]
            store_times += [Entry(SVI + "/" + s.store_file, b"", (s.created,) * 3) for s in snapshots]
            images.write_tree(root, _folder_entries(len(snapshots)), ntfs_times=True)
            for e in store_times:
                created, modified, accessed = e.times
                os.setxattr(os.path.join(root, e.path), "system.ntfs_times",
                            struct.pack("<4Q", created, modified, accessed, modified))
        write_stores(image, state_images, snapshots)
        _copy_sparse(image, out_path)
        if states_dir is not None:
            for state in state_images:
                _copy_sparse(state, os.path.join(states_dir, os.path.basename(state)))
    finally:
        shutil.rmtree(work, True)
    return out_path


def build_vss_partitioned(out_path):
    """A DOS disk whose first partition (p2, as mmls numbers it) is the
    volume build_vss_bin() makes, and whose second (p3) an NTFS volume
    holding the samples' bin and no shadow copy."""
    work = tempfile.mkdtemp(prefix="binsift-vss-")
    try:
        start = 2048
        volume = build_vss_bin(os.path.join(work, "vss.img"))
        # The boot sector and its backup (the volume's last sector) name
        # the sectors before the partition, as Windows writes them.  No
        # store keeps that sector: each reads the live volume's.
        with open(volume, "r+b") as f:
            boot = bytearray(f.read(512))
            struct.pack_into("<I", boot, 0x1c, start)
            f.seek(0)
            f.write(boot)
            f.seek(struct.unpack_from("<Q", boot, 0x28)[0] * 512)
            f.write(boot)
        plain = images.build_ntfs(os.path.join(work, "plain.img"), images.sample_entries(), 16,
                                  start + (VOLUME_MIB << 11))
        images.build_partitioned(out_path, [(volume, VOLUME_MIB, "7"), (plain, 16, "7")])
    finally:
        shutil.rmtree(work, True)
    return out_path


def store_blocks(snapshot, layout, kept, used, volume_blocks):
    """The blocks of one store: [(volume offset, 16 KiB)].  `kept` maps
    block numbers to their old contents, `used` tells the clusters in use
    when the snapshot was taken."""
    writes = [(layout.header[1], store_header(snapshot, *layout.header))]
    descriptors = []
    for (original, data), (relative, offset) in zip(sorted(kept.items()), layout.data):
        descriptors.append(struct.pack("<QQQII", original * BLOCK, relative, offset, 0, 0))
        writes.append((offset, data))
    payloads = [b"".join(chunk) for chunk in _split(descriptors, PER_BLOCK_LIST)]
    writes += zip([o for _, o in layout.block_list], _chained(RECORD_BLOCK_LIST, layout.block_list, payloads))
    ranges = b"".join(struct.pack("<QQQ", *run) for run in layout.runs)
    writes += zip([o for _, o in layout.range_list], _chained(RECORD_RANGE_LIST, layout.range_list, [ranges]))
    # A set bit: the block was free when the snapshot was taken, so nothing
    # of it needs keeping.
    bits = bytearray(-(-volume_blocks // 8))
    for b in range(volume_blocks):
        if not _block_used(used, b):
            bits[b // 8] |= 1 << (b % 8)
    payloads = [bytes(bits[i:i + PER_BITMAP]) for i in range(0, len(bits), PER_BITMAP)]
    writes += zip([o for _, o in layout.bitmap], _chained(RECORD_BITMAP, layout.bitmap, payloads))
    return writes


def write_stores(image, state_images, snapshots=None):
    """Writes the catalog, the stores and the volume header into the live
    volume `image`, whose catalog and store files exist (zero-filled);
    `state_images` are the states of `snapshots` (SNAPSHOTS by default),
    oldest first."""
    snapshots = SNAPSHOTS if snapshots is None else snapshots
    live = _read_blocks(image)
    _, _, catalog_clusters = file_runs(image, "/%s/%s" % (SVI, CATALOG_NAME))
    catalog_places = [offset for _, offset in file_blocks(catalog_clusters)]
    if len(catalog_places) != CATALOG_BLOCKS:
        raise RuntimeError("the catalog file is not laid out in 16 KiB blocks")
    store_files = [file_runs(image, "/%s/%s" % (SVI, s.store_file)) for s in snapshots]
    # What is written below counts as changed, whatever it was before.
    rewritten = {c // 4 for c in catalog_clusters} | {VOLUME_HEADER_OFFSET // BLOCK}
    for _, _, clusters in store_files:
        rewritten |= {c // 4 for c in clusters}
    states = [(_read_blocks(s), used_clusters(s)) for s in state_images]
    kept = plan_stores(states, live, rewritten)

    writes = []
    entries = []
    for k, snapshot in enumerate(snapshots):
        entry, sequence, clusters = store_files[k]
        layout = StoreLayout(clusters, len(kept[k]), len(live))
        writes += store_blocks(snapshot, layout, kept[k], states[k][1], len(live))
        entries.append(catalog_entry_snapshot(snapshot, k + 1, os.path.getsize(image)))
        entries.append(catalog_entry_store(snapshot, layout.block_list[0][1], layout.header[1],
                                           layout.range_list[0][1], layout.bitmap[0][1],
                                           entry | sequence << 48, len(clusters) * CLUSTER))
    writes += zip(catalog_places, catalog_blocks(catalog_places, entries))
    writes.append((VOLUME_HEADER_OFFSET, volume_header(catalog_places[0])))
    with open(image, "r+b") as f:
        for offset, data in writes:
            f.seek(offset)
            f.write(data)


# --- The Sleuth Kit's and libvshadow's own tools, to check against ---

FLS_LINE = re.compile(r"^(?P<kind>[-a-zA-Z]/[-a-zA-Z]) (?P<deleted>\* )?(?P<entry>\d+)(?:-\d+-\d+)?:\t(?P<path>.*)$")


def fls(image, offset=None):
    """Every name fls -r -p lists in the volume (at sector `offset` of a
    disk): {path: (MFT entry, deleted, kind as "r/r")}; a name both
    deleted and allocated keeps the allocated one."""
    cmd = ["fls", "-r", "-p"] + (["-o", str(offset)] if offset is not None else []) + [image]
    out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE).stdout
    names = {}
    for line in out.decode("utf-8", errors="replace").splitlines():
        m = FLS_LINE.match(line)
        if m is None:
            raise RuntimeError("fls wrote %r" % line)
        path, deleted = m.group("path"), m.group("deleted") is not None
        if path not in names or names[path][1]:
            names[path] = (int(m.group("entry")), deleted, m.group("kind"))
    return names


def allocated(names, folder):
    """The allocated names directly inside `folder` ("" the root) of an
    fls() listing."""
    prefix = folder + "/" if folder else ""
    return sorted(p[len(prefix):] for p, (_, deleted, _) in names.items()
                  if p.startswith(prefix) and "/" not in p[len(prefix):] and not deleted)


def icat(image, entry, offset=None):
    cmd = ["icat"] + (["-o", str(offset)] if offset is not None else []) + [image, str(entry)]
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE).stdout


class VshadowMount:
    """vshadowmount's view of an image's stores (DIR/vss1, DIR/vss2, ...,
    1 the oldest), in the foreground as a child process; leaving the block
    unmounts it and waits for that child."""

    def __init__(self, image, offset=None):
        self.image = image
        self.offset = offset
        self.dir = None
        self.child = None

    def __enter__(self):
        images.require_tools("vshadowmount", "umount")
        if os.geteuid() != 0 or not os.path.exists("/dev/fuse"):
            raise Unavailable("vshadowmount needs root and /dev/fuse")
        self.dir = tempfile.mkdtemp(prefix="binsift-vss-mnt-")
        self.log = tempfile.TemporaryFile()
        cmd = ["vshadowmount", "-v"] + (["-o", str(self.offset)] if self.offset else []) + [self.image, self.dir]
        self.child = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.log)
        deadline = time.time() + 20
        while not os.path.ismount(self.dir):
            if self.child.poll() is not None or time.time() > deadline:
                if self.child.poll() is None:
                    self.child.kill()
                self.child.wait()
                self.log.seek(0)
                err = self.log.read().decode(errors="replace").strip()
                self.log.close()
                os.rmdir(self.dir)
                raise RuntimeError("vshadowmount could not mount %s: %s" % (self.image, err))
            time.sleep(0.05)
        return self.dir

    def __exit__(self, *exc):
        for attempt in range(50):
            if subprocess.run(["umount", self.dir], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0:
                break
            time.sleep(0.1)
        try:
            self.child.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.child.kill()
            self.child.wait()
        self.log.close()
        os.rmdir(self.dir)
        return False


def main(argv):
    if len(argv) != 3 or argv[1] not in ("vss-bin", "vss-carve", "vss-partitioned", "vsstest"):
        print("usage: vss_image.py vss-bin|vss-carve|vss-partitioned|vsstest OUTPUT", file=sys.stderr)
        return 2
    try:
        if argv[1] == "vss-bin":
            build_vss_bin(argv[2])
        elif argv[1] == "vss-carve":
            build_vss_bin(argv[2], snapshots=CARVE_SNAPSHOTS)
        elif argv[1] == "vss-partitioned":
            build_vss_partitioned(argv[2])
        else:
            vsstest_raw(argv[2])
    except Unavailable as e:
        print(str(e))
        return 77
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
