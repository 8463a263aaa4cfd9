"""Damaged copies ("mutants") of one small NTFS image that holds a recycle
bin, for test_mutation.py.

The image (build_image) has four users' bin folders filled from the real
sample index files: one folder large enough to need index blocks (INDX) of
its own, one whose index stays in its MFT entry, index files whose data is
resident in their MFT entry and others whose data lies in clusters, and a
companion that is a folder.  Layout reads the image's own NTFS structures
(boot sector, MFT, attributes, run lists, index blocks) to find where the
bin lives; generate() then makes, from a fixed seed, a list of mutants,
each a few bytes changed (or a cluster zeroed, as an imager does over a bad
sector) in exactly those structures.  The recipe puts every structure of
the bin at the same offset each time it is built, so the seed fixes the
mutants; judge() tells what a run of the program did wrong on one.

From the command line:
    python3 mutants.py base OUT.img           the intact image
    python3 mutants.py list [BASE.img]        every mutant, one line each
    python3 mutants.py build INDEX OUT.img [BASE.img]
                                              the intact image with mutant INDEX applied
    python3 mutants.py check INDEX [BASE.img] run the program ($BINSIFT, else
                                              build/binsift) on mutant INDEX and judge
                                              it as test_mutation.py does
Without BASE.img the intact image is built afresh (a second or two; root,
FUSE and ntfs-3g needed).  --seed=N anywhere takes the mutants of another
seed than the test's.  Exit code 77 when it cannot be built here.
"""

import collections
import hashlib
import json
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile

import images

SEED = 20240917
IMAGE_MIB = 8
CLUSTER = 4096

SID_LARGE = images.SID_1001   # needs index blocks of its own
SID_MIXED = images.SID_1002   # a companion that is a folder
SID_SMALL = images.SID_1003   # its index stays in its MFT entry
SID_ODD = images.SID_1004     # crafted and edited index files


# --- The intact image ------------------------------------------------------

class Item:
    """A file or folder of the image: its path inside the volume, its bytes
    (None for a folder), and whether its data must lie in clusters even
    when it is small enough to stay in its MFT entry."""

    def __init__(self, path, data=None, in_clusters=False):
        self.path = path
        self.data = data
        self.in_clusters = in_clusters

    @property
    def is_dir(self):
        return self.data is None


def _sample_files(folder):
    root = os.path.join(images.require_samples(), folder)
    if not os.path.isdir(root):
        raise images.Unavailable("sample folder %s is missing" % root)
    out = []
    for name in sorted(os.listdir(root)):
        p = os.path.join(root, name)
        if name.startswith(("$I", "$R")) and os.path.isfile(p):
            with open(p, "rb") as f:
                out.append((name, f.read()))
    return out


def bin_items():
    """The image's files and folders, in the order they are written."""
    items = [Item("$Recycle.Bin")]

    def add(sid, folders, companions=True, every_in_clusters=0, in_clusters=(), only=None):
        base = "$Recycle.Bin/" + sid
        if not any(i.path == base for i in items):
            items.append(Item(base))
        files = []
        for folder in folders:
            files += [(n, d) for n, d in _sample_files(folder) if only is None or only(n)]
        names = {n for n, _ in files}
        count = 0
        for name, data in sorted(files):
            if name.startswith("$I"):
                count += 1
                spill = name in in_clusters or (every_in_clusters and count % every_in_clusters == 0)
                items.append(Item(base + "/" + name, data, spill))
                companion = "$R" + name[2:]
                if companions and companion not in names:
                    items.append(Item(base + "/" + companion,
                                      ("recycled content of %s\r\n" % name).encode() * (1 + count % 3)))
            elif name not in ("$RKEGS1G",):
                items.append(Item(base + "/" + name, data))
        return base

    add(SID_LARGE, ["rifiuti2/dir-sample1", "rifiuti2/dir-2019-uncpath", "rbcmd/TestFiles/Win7 - nfury",
                    "rbcmd/TestFiles/Win7 - nromanoff", "rbcmd/TestFiles/Win10 - DEFCON 2018 Desktop",
                    "plaso/test_data/recycler", "artemis/recyclebin/win10"], every_in_clusters=4)
    mixed = add(SID_MIXED, ["rifiuti2/dir-win10-01"], in_clusters=("$IKEGS1G",))
    # $RKEGS1G was a folder in the bin it came from.
    items.append(Item(mixed + "/$RKEGS1G"))
    items.append(Item(mixed + "/$RKEGS1G/notes.txt", b"kept in a recycled folder\r\n"))
    small = ("$IG1VEXX.xls", "$ISFWPA9.xls")
    add(SID_SMALL, ["rbcmd/TestFiles/Win8.1 - Donald Blake"], companions=False, only=lambda n: n in small)
    add(SID_ODD, ["dtformats/test_data", "rifiuti2/crafted/dir-badfiles", "rifiuti2/crafted/dir-bad-uni"],
        companions=False, in_clusters=("$II3DF3L.zip",))
    add(SID_ODD, ["rbcmd/TestFiles/Win8.1 - Donald Blake"], companions=False, only=lambda n: n not in small)
    items.append(Item("Users"))
    items.append(Item("Users/readme.txt", b"not in a bin\r\n"))
    return items


def build_image(path):
    """The intact image in `path` (sparse, IMAGE_MIB MiB)."""
    images.require_fuse()
    items = bin_items()
    images.make_sparse(path, IMAGE_MIB << 20)
    subprocess.run(["mkntfs", "-F", "-q", "-T", "-s", "512", "-c", str(CLUSTER), path], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with images.NtfsMount(path) as root:
        for item in items:
            p = os.path.join(root, item.path)
            if item.is_dir:
                os.makedirs(p, exist_ok=True)
                continue
            with open(p, "wb") as f:
                if item.in_clusters:
                    # Written long, then cut: the data stays in clusters.
                    f.write(item.data + b"\0" * 8192)
                    f.truncate(len(item.data))
                else:
                    f.write(item.data)
        # Fixed times, deepest first, so that the bin's entries are the same
        # every time.
        for n, item in sorted(enumerate(items), key=lambda t: -t[1].path.count("/")):
            t = images.filetime(2021, 6, 1 + n % 28, 12, n % 60, 0, 1234567 + n)
            os.setxattr(os.path.join(root, item.path), "system.ntfs_times", struct.pack("<4Q", t, t, t, t))
    return path


# --- NTFS structures as the image holds them --------------------------------

class Fixups:
    """A structure protected by an update sequence array (an MFT entry or an
    index block): its bytes as stored, and as read once the array is
    applied.  `disk(offset)` is where a logical byte of it is stored."""

    def __init__(self, image_offset, stored):
        self.image_offset = image_offset
        self.stored = bytes(stored)
        self.usa_offset, self.usa_count = struct.unpack_from("<HH", stored, 4)
        data = bytearray(stored)
        self.sectors = max(0, min(self.usa_count - 1, len(stored) // 512))
        for i in range(self.sectors):
            pos = self.usa_offset + 2 + 2 * i
            if pos + 2 <= len(stored):
                data[512 * i + 510:512 * i + 512] = stored[pos:pos + 2]
        self.data = bytes(data)

    def disk(self, offset):
        """The image offset that holds logical byte `offset`."""
        sector, within = divmod(offset, 512)
        if within >= 510 and sector < self.sectors:
            return self.image_offset + self.usa_offset + 2 + 2 * sector + (within - 510)
        return self.image_offset + offset


ATTRIBUTE_NAMES = {0x10: "$STANDARD_INFORMATION", 0x20: "$ATTRIBUTE_LIST", 0x30: "$FILE_NAME",
                   0x40: "$OBJECT_ID", 0x50: "$SECURITY_DESCRIPTOR", 0x60: "$VOLUME_NAME",
                   0x70: "$VOLUME_INFORMATION", 0x80: "$DATA", 0x90: "$INDEX_ROOT",
                   0xA0: "$INDEX_ALLOCATION", 0xB0: "$BITMAP", 0xC0: "$REPARSE_POINT"}


class Attribute:
    """One attribute of an MFT entry: where its header starts in the entry,
    its value (resident) or its run list (non-resident)."""

    def __init__(self, record, start):
        d = record.data
        self.start = start
        self.type, self.length, self.nonresident, self.name_length, self.name_offset = \
            struct.unpack_from("<IIBBH", d, start)
        self.name = d[start + self.name_offset:start + self.name_offset + 2 * self.name_length].decode(
            "utf-16-le", "replace")
        self.label = ATTRIBUTE_NAMES.get(self.type, "0x%X" % self.type) + (":" + self.name if self.name else "")
        self.runs = []
        if self.nonresident:
            self.value_start = self.value_length = None
            runs_offset = struct.unpack_from("<H", d, start + 32)[0]
            self.runs_start = start + runs_offset
            self.runs_end = start + self.length
            self.real_size = struct.unpack_from("<Q", d, start + 48)[0]
            self.runs, self.runs_used = decode_runs(d, self.runs_start, self.runs_end)
        else:
            self.value_length, value_offset = struct.unpack_from("<IH", d, start + 16)
            self.value_start = start + value_offset

    def value(self, record):
        return record.data[self.value_start:self.value_start + self.value_length]


def decode_runs(data, start, end):
    """[(first cluster or None for a sparse run, cluster count)], and the
    bytes the list takes (with its closing 0)."""
    runs = []
    pos = start
    lcn = 0
    while pos < end and data[pos] != 0:
        header = data[pos]
        length_size, offset_size = header & 0x0F, header >> 4
        pos += 1
        length = int.from_bytes(data[pos:pos + length_size], "little")
        pos += length_size
        if offset_size:
            lcn += int.from_bytes(data[pos:pos + offset_size], "little", signed=True)
            runs.append((lcn, length))
        else:
            runs.append((None, length))
        pos += offset_size
    return runs, pos + 1 - start


class IndexEntry:
    """One entry of a folder's index: the MFT entry it names and its key's
    file name."""

    def __init__(self, data, start):
        self.start = start
        ref, self.length, self.key_length, self.flags = struct.unpack_from("<QHHB", data, start)
        self.entry = ref & 0xFFFFFFFFFFFF
        self.sequence = ref >> 48
        self.last = bool(self.flags & 2)
        self.has_child = bool(self.flags & 1)
        self.name = None
        if not self.last and self.key_length >= 66:
            key = start + 16
            name_length = data[key + 64]
            self.name = data[key + 66:key + 66 + 2 * name_length].decode("utf-16-le", "replace")


def index_entries(data, header_start):
    """The entries of the index node whose header (entries offset, index
    length, ...) is at `header_start`."""
    entries_offset, index_length = struct.unpack_from("<II", data, header_start)
    pos = header_start + entries_offset
    end = header_start + index_length
    out = []
    while pos + 16 <= end:
        e = IndexEntry(data, pos)
        out.append(e)
        if e.last or e.length < 16:
            break
        pos += e.length
    return out


class Record(Fixups):
    """One MFT entry."""

    def __init__(self, number, image_offset, stored):
        super().__init__(image_offset, stored)
        d = self.data
        self.number = number
        self.valid = d[:4] == b"FILE"
        self.attributes = []
        self.names = []  # (parent entry, name) of each $FILE_NAME
        if not self.valid:
            return
        self.sequence, _, first, self.flags = struct.unpack_from("<HHHH", d, 16)
        pos = first
        while pos + 16 <= len(d):
            type_ = struct.unpack_from("<I", d, pos)[0]
            if type_ == 0xFFFFFFFF:
                break
            a = Attribute(self, pos)
            if a.length < 16:
                break
            self.attributes.append(a)
            if a.type == 0x30 and not a.nonresident:
                v = a.value(self)
                parent = struct.unpack_from("<Q", v, 0)[0] & 0xFFFFFFFFFFFF
                name = v[66:66 + 2 * v[64]].decode("utf-16-le", "replace")
                if v[65] != 2:  # the DOS name is an alias
                    self.names.append((parent, name))
            pos += a.length

    @property
    def in_use(self):
        return self.valid and bool(self.flags & 1)

    @property
    def is_dir(self):
        return self.valid and bool(self.flags & 2)

    def attribute(self, type_, name=""):
        for a in self.attributes:
            if a.type == type_ and a.name == name:
                return a
        return None


class IndexBlock(Fixups):
    """One INDX block of a folder."""

    def __init__(self, folder, vcn, image_offset, stored):
        super().__init__(image_offset, stored)
        self.folder = folder
        self.vcn = vcn
        self.valid = self.data[:4] == b"INDX"
        self.entries = index_entries(self.data, 0x18) if self.valid else []


class Volume:
    """The NTFS structures of an image that holds one NTFS file system."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.image = f.read()
        boot = self.image[:512]
        if boot[3:11] != b"NTFS    ":
            raise ValueError("%s holds no NTFS boot sector" % path)
        self.sector = struct.unpack_from("<H", boot, 11)[0]
        self.cluster = self.sector * boot[13]
        mft_lcn = struct.unpack_from("<Q", boot, 48)[0]
        self.record_size = self._size(struct.unpack_from("<b", boot, 64)[0])
        self.index_size = self._size(struct.unpack_from("<b", boot, 68)[0])
        first = Record(0, mft_lcn * self.cluster, self.image[mft_lcn * self.cluster:][:self.record_size])
        data = first.attribute(0x80)
        self.mft_runs = data.runs
        self.records = []
        for offset in self._offsets(self.mft_runs, data.real_size, self.record_size):
            n = len(self.records)
            self.records.append(Record(n, offset, self.image[offset:offset + self.record_size]))

    def _size(self, value):
        return value * self.cluster if value > 0 else 1 << -value

    def _offsets(self, runs, size, step):
        """Image offsets of the `step`-byte pieces of a run list's data."""
        out = []
        for lcn, length in runs:
            for i in range(0, length * self.cluster, step):
                if len(out) * step >= size:
                    return out
                out.append(None if lcn is None else lcn * self.cluster + i)
        return out

    def clusters(self, runs):
        """Every cluster of a run list, in order."""
        out = []
        for lcn, length in runs:
            if lcn is not None:
                out += range(lcn, lcn + length)
        return out

    def index_blocks(self, record):
        """The INDX blocks of a folder's $INDEX_ALLOCATION."""
        a = record.attribute(0xA0, "$I30")
        if a is None:
            return []
        blocks = []
        for vcn_step, offset in enumerate(self._offsets(a.runs, a.real_size, self.index_size)):
            if offset is None:
                continue
            vcn = vcn_step * self.index_size // self.cluster
            blocks.append(IndexBlock(record, vcn, offset, self.image[offset:offset + self.index_size]))
        return blocks


class Layout:
    """Where the bin lives in the intact image."""

    def __init__(self, path):
        self.volume = v = Volume(path)
        self.path_of = {5: "/"}
        children = {}
        for r in v.records:
            if r.in_use and r.number != 5:
                for parent, name in r.names[:1]:
                    children.setdefault(parent, []).append((name, r))
        self.bin = None
        for name, r in children.get(5, []):
            if name.lower() == "$recycle.bin" and r.is_dir:
                self.bin = r
        if self.bin is None:
            raise ValueError("the image has no $Recycle.Bin folder")
        self.path_of[self.bin.number] = "/" + next(n for n, r in children[5] if r is self.bin)
        self.folders = [self.bin]   # the bin and every folder inside it
        self.index_files = []       # every $I file inside it
        self.companions = []
        todo = [self.bin]
        while todo:
            folder = todo.pop(0)
            for name, r in sorted(children.get(folder.number, []), key=lambda t: t[0]):
                self.path_of[r.number] = self.path_of[folder.number].rstrip("/") + "/" + name
                if r.is_dir:
                    self.folders.append(r)
                    todo.append(r)
                elif name.upper().startswith("$I"):
                    self.index_files.append(r)
                else:
                    self.companions.append(r)
        self.root = v.records[5]
        self.blocks = []  # the index blocks of the bin's folders
        for folder in self.folders:
            self.blocks += v.index_blocks(folder)
        # The root folder's index entry that names the bin.
        self.root_blocks = [b for b in v.index_blocks(self.root)
                            if any(e.entry == self.bin.number for e in b.entries)]

    def describe(self, record):
        path = self.path_of.get(record.number)
        if path is None:
            path = "/" + record.names[0][1] if record.names else "?"
        return "MFT entry %d (%s)" % (record.number, path)

    def spilled(self):
        """The index files whose data lies in clusters."""
        return [r for r in self.index_files if r.attribute(0x80) is not None and r.attribute(0x80).nonresident]


# --- Mutants -----------------------------------------------------------------

RECORD_FIELDS = [
    (0, 4, "signature 'FILE'"), (4, 2, "update sequence offset"), (6, 2, "update sequence count"),
    (8, 8, "log sequence number"), (16, 2, "sequence number"), (18, 2, "link count"),
    (20, 2, "first attribute offset"), (22, 2, "flags (in use, directory)"), (24, 4, "bytes in use"),
    (28, 4, "bytes allocated"), (32, 6, "base record entry"), (38, 2, "base record sequence"),
    (40, 2, "next attribute id"), (44, 4, "own entry number")]
ATTRIBUTE_FIELDS = [
    (0, 4, "type"), (4, 4, "length"), (8, 1, "non-resident flag"), (9, 1, "name length"),
    (10, 2, "name offset"), (12, 2, "flags"), (14, 2, "attribute id")]
RESIDENT_FIELDS = [(16, 4, "value length"), (20, 2, "value offset"), (22, 1, "indexed flag")]
NONRESIDENT_FIELDS = [
    (16, 8, "first VCN"), (24, 8, "last VCN"), (32, 2, "run list offset"), (34, 2, "compression unit"),
    (40, 8, "allocated size"), (48, 8, "real size"), (56, 8, "initialized size")]
FILE_NAME_FIELDS = [
    (0, 6, "parent entry"), (6, 2, "parent sequence"), (40, 8, "allocated size"),
    (48, 8, "real size"), (56, 4, "flags"), (64, 1, "name length"), (65, 1, "namespace"),
    (66, 2, "first name character"), (68, 2, "second name character")]
INDEX_ROOT_FIELDS = [
    (0, 4, "indexed attribute type"), (4, 4, "collation rule"), (8, 4, "index block size"),
    (12, 1, "clusters per index block"), (16, 4, "entries offset"), (20, 4, "index length"),
    (24, 4, "allocated size"), (28, 1, "flags (large index)")]
INDX_FIELDS = [
    (0, 4, "signature 'INDX'"), (4, 2, "update sequence offset"), (6, 2, "update sequence count"),
    (8, 8, "log sequence number"), (16, 8, "VCN"), (24, 4, "entries offset"), (28, 4, "index length"),
    (32, 4, "allocated size"), (36, 1, "flags (has children)")]
ENTRY_FIELDS = [
    (0, 6, "MFT entry"), (6, 2, "sequence number"), (8, 2, "entry length"), (10, 2, "key length"),
    (12, 1, "flags (child, last)"), (16, 6, "key: parent entry"), (16 + 56, 4, "key: file flags"),
    (16 + 64, 1, "key: name length"), (16 + 65, 1, "key: namespace"), (16 + 66, 2, "key: first name character"),
    (16 + 68, 2, "key: second name character")]

VALUE_OPS = ("flip", "flip", "zero", "ones", "inc", "dec", "random", "high")


def mutate_value(rng, old):
    """New bytes for a field whose bytes are `old` (never the same)."""
    size = len(old)
    value = int.from_bytes(old, "little")
    top = (1 << (8 * size)) - 1
    for _ in range(20):
        op = rng.choice(VALUE_OPS)
        if op == "flip":
            # Half of the flips in the low byte, where small values live.
            bit = rng.randrange(8 * size) if size > 1 and rng.random() < 0.5 else rng.randrange(8)
            new, how = value ^ (1 << bit), "bit %d flipped" % bit
        elif op == "zero":
            new, how = 0, "zeroed"
        elif op == "ones":
            new, how = top, "all ones"
        elif op == "inc":
            new, how = (value + 1) & top, "plus one"
        elif op == "dec":
            new, how = (value - 1) & top, "minus one"
        elif op == "random":
            new, how = rng.getrandbits(8 * size), "random"
        else:
            new, how = value | (1 << (8 * size - 1)), "top bit set"
        if new != value:
            return new.to_bytes(size, "little"), how
    return bytes(b ^ 0xFF for b in old), "inverted"


class Mutant:
    """Bytes to change in the intact image: [(image offset, new bytes)], and
    what they are, for a developer to find them again."""

    def __init__(self, index, what, patches, seed=SEED):
        self.index = index
        self.what = what
        self.patches = patches
        self.seed = seed

    def describe(self, base=None):
        shown = []
        for offset, new in self.patches:
            if len(new) > 16 and not any(new):
                shown.append("0x%X: %d zero bytes" % (offset, len(new)))
            else:
                old = base[offset:offset + len(new)].hex() if base is not None else "?"
                shown.append("0x%X: %s -> %s" % (offset, old, new.hex()))
        return "mutant %d (seed %d): %s [%s]" % (self.index, self.seed, self.what, "; ".join(shown))


class Generator:
    """Makes one mutant of a given kind at a time, from the layout and the
    random generator it is given."""

    def __init__(self, layout, rng):
        self.layout = layout
        self.rng = rng
        self.volume = layout.volume

    def field(self, struct_, base, fields, label):
        """A patch of one field of the fixed-up structure `struct_`, whose
        fields start at logical offset `base`."""
        offset, size, name = self.rng.choice(fields)
        start = base + offset
        old = struct_.data[start:start + size]
        if len(old) < size:
            return None
        new, how = mutate_value(self.rng, old)
        patches = [(struct_.disk(start + i), new[i:i + 1]) for i in range(size) if new[i] != old[i]]
        where = "+0x%X" % offset if base == 0 else "at +0x%X +0x%X" % (base, offset)
        return "%s, %s (%s): %s -> %s, %s" % (label, where, name, old.hex(), new.hex(), how), patches

    def record_target(self, folders_weight=0.5):
        if self.rng.random() < folders_weight:
            return self.rng.choice(self.layout.folders)
        return self.rng.choice(self.layout.index_files)

    # One method per kind of damage; each returns (what, patches).
    def record_header(self):
        r = self.record_target()
        return self.field(r, 0, RECORD_FIELDS, self.layout.describe(r) + " header")

    def fixups(self):
        s = self.rng.choice([self.record_target()] * 3 + [self.rng.choice(self.layout.blocks)])
        label = self.label_of(s)
        kind = self.rng.randrange(3)
        if kind == 0:
            new, how = mutate_value(self.rng, s.stored[s.usa_offset:s.usa_offset + 2])
            return ("%s: update sequence number %s" % (label, how),
                    [(s.image_offset + s.usa_offset, new)])
        sector = self.rng.randrange(max(1, s.sectors))
        if kind == 1:
            at = s.usa_offset + 2 + 2 * sector
            new, how = mutate_value(self.rng, s.stored[at:at + 2])
            return ("%s: update sequence array entry of sector %d %s" % (label, sector, how),
                    [(s.image_offset + at, new)])
        at = 512 * sector + 510
        new, how = mutate_value(self.rng, s.stored[at:at + 2])
        return ("%s: end of sector %d (the update sequence check) %s" % (label, sector, how),
                [(s.image_offset + at, new)])

    def label_of(self, s):
        if isinstance(s, IndexBlock):
            return "index block VCN %d of %s" % (s.vcn, self.layout.describe(s.folder))
        return self.layout.describe(s)

    def attribute_header(self):
        r = self.record_target()
        a = self.rng.choice(r.attributes)
        fields = ATTRIBUTE_FIELDS + (NONRESIDENT_FIELDS if a.nonresident else RESIDENT_FIELDS)
        return self.field(r, a.start, fields, "%s, %s attribute header" % (self.layout.describe(r), a.label))

    def file_name(self):
        r = self.record_target(0.3)
        names = [a for a in r.attributes if a.type == 0x30 and not a.nonresident]
        a = self.rng.choice(names)
        return self.field(r, a.value_start, FILE_NAME_FIELDS, "%s, $FILE_NAME value" % self.layout.describe(r))

    def index_root(self):
        r = self.rng.choice(self.layout.folders)
        a = r.attribute(0x90, "$I30")
        label = "%s, $INDEX_ROOT" % self.layout.describe(r)
        if self.rng.random() < 0.4:
            return self.field(r, a.value_start, INDEX_ROOT_FIELDS, label + " value")
        entries = index_entries(r.data, a.value_start + 16)
        e = self.rng.choice(entries)
        fields = [f for f in ENTRY_FIELDS if f[0] + f[1] <= (e.length if not e.last else 16)]
        if e.has_child:
            fields.append((e.length - 8, 8, "child block VCN"))
        return self.field(r, e.start, fields, "%s entry %s" % (label, e.name or "(last)"))

    def run_list(self):
        choices = [(r, r.attribute(0x80)) for r in self.layout.spilled()]
        choices += [(f, f.attribute(0xA0, "$I30")) for f in self.layout.folders if f.attribute(0xA0, "$I30")]
        # The index allocations count twice: there are fewer of them.
        choices += choices[len(self.layout.spilled()):]
        r, a = self.rng.choice(choices)
        label = "%s, %s run list" % (self.layout.describe(r), a.label)
        used = max(1, a.runs_used)
        at = a.runs_start + self.rng.randrange(used)
        kind = self.rng.randrange(4)
        if kind == 0 and a.runs_used > 1:
            # The list ends early (or, at its end, goes on into what follows).
            old = r.data[at:at + 1]
            new = b"\0" if old != b"\0" else b"\x11"
            return ("%s byte %d set to %s (the list ends or runs on)" % (label, at - a.runs_start, new.hex()),
                    [(r.disk(at), new)])
        old = r.data[at:at + 1]
        new, how = mutate_value(self.rng, old)
        return ("%s byte %d of %d: %s -> %s, %s" % (label, at - a.runs_start, used, old.hex(), new.hex(), how),
                [(r.disk(at), new)])

    def index_bitmap(self):
        folders = [f for f in self.layout.folders if f.attribute(0xB0, "$I30") is not None]
        r = self.rng.choice(folders)
        a = r.attribute(0xB0, "$I30")
        if a.nonresident:
            return self.attribute_header()
        at = a.value_start + self.rng.randrange(max(1, min(a.value_length, 2)))
        old = r.data[at:at + 1]
        new, how = mutate_value(self.rng, old)
        return ("%s, $BITMAP:$I30 value byte %d: %s -> %s, %s" % (self.layout.describe(r), at - a.value_start,
                                                                  old.hex(), new.hex(), how), [(r.disk(at), new)])

    def index_block(self):
        blocks = self.layout.blocks + self.layout.root_blocks
        b = self.rng.choice(blocks)
        label = self.label_of(b)
        if b in self.layout.root_blocks and self.rng.random() < 0.8:
            e = next(e for e in b.entries if e.entry == self.layout.bin.number)
            return self.field(b, e.start, ENTRY_FIELDS, "%s, entry naming $Recycle.Bin" % label)
        if self.rng.random() < 0.3:
            return self.field(b, 0, INDX_FIELDS, label + " header")
        e = self.rng.choice(b.entries)
        fields = [f for f in ENTRY_FIELDS if f[0] + f[1] <= (e.length if not e.last else 16)]
        if e.has_child:
            fields.append((e.length - 8, 8, "child block VCN"))
        return self.field(b, e.start, fields, "%s, entry %s" % (label, e.name or "(last)"))

    def named_entries(self):
        """(structure, index entry, label) of the index entries that name a
        file or folder of the bin, in three groups: the root's entry for the
        bin, the entries that name folders, the entries that name files."""
        if not hasattr(self, "_named"):
            out = []
            for b in self.layout.root_blocks:
                out += [(b, e, self.label_of(b)) for e in b.entries if e.entry == self.layout.bin.number]
            for f in self.layout.folders:
                a = f.attribute(0x90, "$I30")
                out += [(f, e, "%s, $INDEX_ROOT" % self.layout.describe(f))
                        for e in index_entries(f.data, a.value_start + 16) if e.name]
            for b in self.layout.blocks:
                out += [(b, e, self.label_of(b)) for e in b.entries if e.name]
            folders = {f.number for f in self.layout.folders}
            self._named = ([x for x in out if x[1].entry == self.layout.bin.number],
                           [x for x in out if x[1].entry in folders and x[1].entry != self.layout.bin.number],
                           [x for x in out if x[1].entry not in folders])
        return self._named

    def index_reference(self):
        root, folders, files = self.named_entries()
        s, e, label = self.rng.choice(self.rng.choice([root, folders, files, files]))
        if self.rng.random() < 0.3:
            # The directory flag of the name's key: what the library calls
            # the name's type.
            at = e.start + 16 + 56
            old = s.data[at:at + 4]
            value = int.from_bytes(old, "little") ^ 0x10000000
            new = value.to_bytes(4, "little")
            return ("%s, entry %s: its key's directory flag %s" % (
                label, e.name, "set" if value & 0x10000000 else "cleared"),
                [(s.disk(at + i), new[i:i + 1]) for i in range(4) if new[i] != old[i]])
        v = self.volume
        targets = ([v.records[0], v.records[5], self.layout.bin] + self.layout.folders[1:] +
                   [self.rng.choice(self.layout.index_files), self.rng.choice(self.layout.companions)])
        old = s.data[e.start:e.start + 8]
        for _ in range(10):
            t = self.rng.choice(targets)
            new = (t.number | t.sequence << 48).to_bytes(8, "little")
            if new != old:
                break
        else:
            return None
        return ("%s, entry %s now refers to %s" % (label, e.name, self.layout.describe(t)),
                [(s.disk(e.start + i), new[i:i + 1]) for i in range(8) if new[i] != old[i]])

    def zero_cluster(self):
        v = self.volume
        kind = self.rng.randrange(4)
        if kind == 0 and self.layout.blocks:
            b = self.rng.choice(self.layout.blocks)
            offset, what = b.image_offset, self.label_of(b)
        elif kind == 1:
            r = self.rng.choice(self.layout.spilled())
            lcn = v.clusters(r.attribute(0x80).runs)[0]
            offset, what = lcn * v.cluster, "the data of " + self.layout.describe(r)
        else:
            r = self.rng.choice(self.layout.index_files if kind == 2 else self.layout.folders)
            offset = r.image_offset // v.cluster * v.cluster
            held = [x.number for x in v.records if x.image_offset is not None
                    and x.image_offset // v.cluster * v.cluster == offset]
            what = "the MFT cluster of %s (entries %d to %d)" % (self.layout.describe(r), held[0], held[-1])
        return ("cluster %d zeroed (%s)" % (offset // v.cluster, what), [(offset, bytes(v.cluster))])

    def scattered_bytes(self):
        s = self.rng.choice([self.record_target(), self.record_target(), self.rng.choice(self.layout.blocks)])
        places = sorted(set(self.rng.randrange(len(s.data)) for _ in range(self.rng.randrange(2, 5))))
        patches = []
        for at in places:
            # The new byte does not depend on the old one (a time, which
            # differs from one build of the image to the next).
            new = self.rng.randrange(256)
            patches.append((s.disk(at), bytes([new if new != s.data[at] else new ^ 0xFF])))
        return ("%s: %d bytes set at random" % (self.label_of(s), len(patches)), patches)


# How many mutants of each kind, in the order they are made.
PLAN = [("record_header", 60), ("fixups", 40), ("attribute_header", 65), ("file_name", 40),
        ("index_root", 50), ("run_list", 55), ("index_bitmap", 10), ("index_block", 90),
        ("index_reference", 40), ("zero_cluster", 15), ("scattered_bytes", 35)]


def generate(layout, seed=SEED):
    """Every mutant, in index order."""
    rng = random.Random(seed)
    gen = Generator(layout, rng)
    out = []
    seen = set()
    for kind, count in PLAN:
        made = 0
        while made < count:
            result = getattr(gen, kind)()
            if result is None or not result[1]:
                continue
            what, patches = result
            key = tuple(sorted(patches))
            if key in seen:
                continue
            seen.add(key)
            out.append(Mutant(len(out), "%s: %s" % (kind.replace("_", " "), what), patches, seed))
            made += 1
    return out


def write_mutant(base_path, mutant, out_path, base=None):
    """A sparse copy of the intact image with the mutant's bytes changed."""
    if base is None:
        with open(base_path, "rb") as f:
            base = f.read()
    with open(out_path, "wb") as f:
        f.truncate(len(base))
        step = 1 << 16
        zero = bytes(step)
        for at in range(0, len(base), step):
            block = base[at:at + step]
            if block != zero[:len(block)]:
                f.seek(at)
                f.write(block)
        for offset, new in mutant.patches:
            f.seek(offset)
            f.write(new)
    return out_path


# --- What The Sleuth Kit sees, and what the program gave ----------------------

BIN_FOLDERS = ("$recycle.bin", "recycler", "recycled")
SANITIZER_MARKS = (b"ERROR: AddressSanitizer", b"ERROR: LeakSanitizer", b"runtime error:",
                   b"ERROR: UndefinedBehaviorSanitizer", b"SUMMARY: AddressSanitizer")
FLS_LINE = re.compile(r"^(?P<name_type>.)/(?P<meta_type>.) (?P<deleted>\* )?(?P<entry>\d+)(-\d+-\d+)?"
                      r"(?P<realloc>\(realloc\))?:\t(?P<path>.*)$")


def tsk_run(args, timeout):
    try:
        p = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout,
                           env=dict(os.environ, TZ="UTC"))
        return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")
    except subprocess.TimeoutExpired:
        return None, "", "no answer within %d s" % timeout


def in_bin(path):
    """Whether a path as fls writes it lies inside a bin folder at the root."""
    parts = path.split("/")
    return len(parts) >= 2 and parts[0].lower() in BIN_FOLDERS


class TskView:
    """The image as The Sleuth Kit's fls -r and ils show it, and istat on
    the entries that need a closer look."""

    def __init__(self, image, timeout=60):
        self.image = image
        self.timeout = timeout
        code, out, err = tsk_run(["fls", "-r", "-p", image], timeout)
        # A listing cut short by a crash or a hang proves nothing.
        self.failed = code is None or code < 0
        self.error = err.strip()
        self.names = []  # (path, entry, name allocated, name type, meta type)
        for line in out.splitlines():
            m = FLS_LINE.match(line)
            if m is None:
                continue
            self.names.append((m.group("path"), int(m.group("entry")), m.group("deleted") is None,
                               m.group("name_type"), m.group("meta_type")))
        code, out, err = tsk_run(["ils", "-e", image], timeout)
        # When ils stops at a damaged entry, istat answers for each entry.
        self.allocated = set() if code == 0 else None
        for line in out.splitlines() if code == 0 else ():
            fields = line.split("|")
            if len(fields) > 2 and fields[0].isdigit() and fields[1] == "a":
                self.allocated.add(int(fields[0]))
        self._istat = {}
        # The entries that the allocated names at a path refer to (a damaged
        # folder may show one name twice: from its index, and rebuilt from
        # the MFT).
        self.entries_at = collections.defaultdict(set)
        for path, entry, name_alloc, _, _ in self.names:
            if name_alloc:
                self.entries_at[path].add(entry)

    def bin_names(self):
        """(path, entry, name type, meta type) of the allocated names inside
        bin folders that are index files or folders (not a stream's name, nor
        "." or "..")."""
        for path, entry, name_alloc, name_type, meta_type in self.names:
            base = path.rsplit("/", 1)[-1]
            if not name_alloc or not in_bin(path) or ":" in base:
                continue
            # "." and ".." are no names a folder holds: fls makes ".." from
            # the folder's own parent reference, which a walk from the root
            # down never follows (a damaged one refers to no entry at all).
            if base in (".", ".."):
                continue
            if base[:2].upper() == "$I" or "d" in (name_type, meta_type):
                yield path, entry, name_type, meta_type

    def is_allocated(self, entry):
        if self.allocated is None:
            return self.istat(entry).startswith("Allocated")
        return entry in self.allocated

    def live_index_files(self):
        """(path, entry) of every index file inside a bin folder whose name
        is allocated and whose metadata entry is an allocated regular file."""
        return sorted({(path, entry) for path, entry, _, meta_type in self.bin_names()
                       if meta_type == "r" and path.rsplit("/", 1)[-1][:2].upper() == "$I"
                       and self.is_allocated(entry)})

    def unallocated_names(self):
        """(path, entry) of the names inside bin folders whose metadata entry
        ils does not show as allocated: stale index entries, and entries the
        library cannot load at all (istat tells which)."""
        return sorted({(path, entry) for path, entry, _, _ in self.bin_names() if not self.is_allocated(entry)})

    def istat(self, entry):
        """istat's allocation line for the entry ("Allocated File", "Not
        Allocated Directory"), or "istat fails: REASON"."""
        if entry not in self._istat:
            code, out, err = tsk_run(["istat", self.image, str(entry)], self.timeout)
            if code != 0:
                said = "istat fails: " + " ".join(err.split())[-200:]
            else:
                said = next((l.strip() for l in out.splitlines() if "Allocated" in l),
                            "istat shows no allocation line")
            self._istat[entry] = said
        return self._istat[entry]

    def icat_fails(self, entry):
        """icat's reason when it cannot read the entry's data, else None."""
        try:
            p = subprocess.run(["icat", self.image, str(entry)], stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, timeout=self.timeout)
        except subprocess.TimeoutExpired:
            return "icat gives no answer within %d s" % self.timeout
        err = " ".join(p.stderr.decode("utf-8", "replace").split())
        if p.returncode != 0 or err:
            return "icat fails: " + (err[-200:] or "exit %d" % p.returncode)
        return None


def shown(path):
    """A path as fls prints it (control characters as ^)."""
    return "".join("^" if ord(c) < 0x20 else c for c in path)


class Run:
    def __init__(self, args, code, out, err, timed_out):
        self.args, self.code, self.out, self.err, self.timed_out = args, code, out, err, timed_out


def run_program(binsift, image, extra, timeout):
    args = [binsift, "--image=" + image, "--format=jsonl"] + extra
    env = dict(os.environ)
    env.setdefault("LANG", "C")
    for name in ("RESET", "NORESET", "ACCT", "ACCTING"):
        env.pop(name, None)
    p = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         env=env, cwd=os.path.dirname(image), start_new_session=True)
    try:
        out, err = p.communicate(timeout=timeout)
        return Run(extra, p.returncode, out, err, False)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        out, err = p.communicate()
        return Run(extra, None, out, err, True)


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def folder_named(message):
    """The folder that "Can't read directory /DIR/: ..." names, as fls
    writes paths ("" for the root)."""
    return message[len("Can't read directory "):].split(": ", 1)[0].strip("/")


def explains(message, path):
    """Whether a message names `path` (a path inside the volume, without its
    first "/"), or a folder that holds it ("Can't read directory DIR: ...")."""
    if message.startswith("Can't read directory /"):
        folder = folder_named(message)
        if folder == "" or path.startswith(folder + "/"):
            return True
    return ("/" + path + ":") in message or ("/" + path + " ") in message


def judge(view, runs, program_timeout):
    """What went wrong, as (cause, detail) pairs; none when all is well.

    Every run ends by itself, without a signal or a sanitizer report, with
    exit code 0 or 10, and 10 only with a message.  Whatever the exit code:
    - no MFT entry gives two live records (counted through the paths fls
      shows for one entry only), and
    - no name whose metadata entry is not allocated gives a live record.
    An index file that fls lists inside a bin folder, whose metadata entry
    is an allocated regular file (ils, istat), is "expected"; it is found by
    its path, or by its MFT entry when fls shows the entry under a second
    path too (a folder rebuilt from the MFT beside its index entry).
    - Exit 10: every expected index file without a record is named in a
      message, or lies in a folder that a message names.
    - Exit 0 claims that everything was read: every expected index file has
      a record, and one whose file could be opened; and no name inside a
      bin refers to an entry the library cannot load (exit 10 and a message
      are due then)."""
    problems = []
    for r in runs:
        name = "binsift " + " ".join(["--image=MUTANT", "--format=jsonl"] + r.args)
        if r.timed_out:
            problems.append(("hang", "%s: no exit within %d s" % (name, program_timeout)))
            continue
        if r.code < 0:
            problems.append(("crash", "%s: killed by %s" % (name, signal.Signals(-r.code).name)))
            continue
        marks = [m for m in SANITIZER_MARKS if m in r.err]
        if marks:
            line = next(l for l in r.err.splitlines() if any(m in l for m in marks))
            problems.append(("sanitizer", "%s: %s" % (name, line.decode("utf-8", "replace").strip())))
            continue
        if r.code not in (0, 10):
            problems.append(("exit %d" % r.code, "%s: exit code %d: %s" % (
                name, r.code, " ".join(r.err.decode("utf-8", "replace").split())[-300:])))
            continue
        messages = [l.decode("utf-8", "replace") for l in r.err.splitlines()
                    if l.startswith(b"Can't ") or l.startswith(b"No recycle-bin folder")]
        if r.code == 10 and not messages:
            problems.append(("exit 10 naming nothing", "%s: exit code 10 and no message" % name))
            continue
        try:
            records = [json.loads(line) for line in r.out.decode("utf-8").splitlines() if line]
        except ValueError as e:
            problems.append(("output", "%s: standard output is not JSON lines (%s)" % (name, e)))
            continue
        if view.failed:
            continue
        live = collections.defaultdict(list)
        for rec in records:
            source = rec.get("source") or ""
            if source.startswith("IMAGE:p0:/") and "recovered" not in rec.get("warnings", []):
                live[shown(source[len("IMAGE:p0:/"):])].append(rec)
        # Records per MFT entry, counted through the paths that name one
        # entry only.
        per_entry = collections.Counter()
        for path, recs in live.items():
            if len(view.entries_at.get(path, ())) == 1:
                per_entry[next(iter(view.entries_at[path]))] += len(recs)
        for entry, count in sorted(per_entry.items()):
            if count > 1:
                paths = sorted(p for p in live if view.entries_at.get(p) == {entry})
                problems.append(("one entry, several records", "%s: %d live records of MFT entry %d: %s"
                                 % (name, count, entry, ", ".join(paths))))
        missing = [(path, entry) for path, entry in view.live_index_files()
                   if path not in live and entry not in per_entry]
        stale = [(path, entry, view.istat(entry)) for path, entry in view.unallocated_names()]
        for path, entry, said in stale:
            if said.startswith("Not Allocated") and path in live and view.entries_at[path] == {entry}:
                problems.append(("stale entry shown as live",
                                 "%s: a live record of %s, whose MFT entry %d is not allocated (istat: %s)"
                                 % (name, path, entry, said)))
        if r.code == 10:
            # What is missing must be named, or lie in a folder that is.
            named = [m for m in messages if m.startswith("Can't read directory /")]
            as_folder = [(path, entry) for path, entry in missing if any(folder_named(m) == path for m in named)]
            for path, entry in as_folder[:1]:
                problems.append(("index file taken for a folder",
                                 "%s: exit 10, and no record of %s, which fls lists as a regular file "
                                 "(MFT entry %d, istat: %s) but the run named as a folder: %s"
                                 % (name, path, entry, view.istat(entry),
                                    next(m for m in named if folder_named(m) == path)[:300])))
            unexplained = [path for path, entry in missing if (path, entry) not in as_folder
                           and not any(explains(m, path) for m in messages)]
            if unexplained:
                problems.append(("exit 10 naming the wrong thing",
                                 "%s: exit 10 naming only \"%s\", and no record of %d index files that fls "
                                 "lists as allocated regular files, none of them named, such as %s"
                                 % (name, " / ".join(messages)[:300], len(unexplained), unexplained[0])))
            continue
        for path, entry in missing:
            said = view.istat(entry)
            if said.startswith("Allocated File"):
                problems.append(("record lost", "%s: exit 0 without a record of %s (MFT entry %d; istat: %s)"
                                 % (name, path, entry, said)))
        for path, entry, said in stale:
            if said.startswith("istat fails"):
                problems.append(("entry the library cannot load, exit 0",
                                 "%s: exit 0, and nothing names %s (MFT entry %d), which fls lists but %s; "
                                 "the run %s" % (name, path, entry, said,
                                                 "gave it a record" if path in live else "gave no record")))
        for path, entry in view.live_index_files():
            recs = live.get(path)
            if not recs or not all("cannot-open" in rec.get("warnings", []) for rec in recs):
                continue
            reason = view.icat_fails(entry)
            problems.append(("file not opened, exit 0",
                             "%s: exit 0, and the record of %s (MFT entry %d, %s) carries cannot-open; %s"
                             % (name, path, entry, view.istat(entry), reason or "icat reads it")))
    return problems


def examine(binsift, base_path, base, mutant, workdir, program_timeout, keep=False):
    """Builds the mutant in `workdir`, runs the program on it (plain and with
    --carve) and The Sleuth Kit's tools; returns the problems found."""
    image = os.path.join(workdir, "mutant-%d.img" % mutant.index)
    write_mutant(base_path, mutant, image, base)
    try:
        digest = sha256(image)
        stamp = os.stat(image).st_mtime_ns
        runs = [run_program(binsift, image, [], program_timeout),
                run_program(binsift, image, ["--carve"], program_timeout)]
        problems = []
        if sha256(image) != digest or os.stat(image).st_mtime_ns != stamp:
            problems.append(("image changed", "the run changed the image's bytes or modification time"))
        view = TskView(image)
        problems += judge(view, runs, program_timeout)
        return problems, runs, view
    finally:
        if not keep:
            os.remove(image)


# --- Command line ------------------------------------------------------------

def _read(path):
    with open(path, "rb") as f:
        return f.read()


def _base(argv, work):
    if argv:
        return argv[0]
    return build_image(os.path.join(work, "base.img"))


def main(argv):
    seed = SEED
    for arg in argv[1:]:
        if arg.startswith("--seed="):
            seed = int(arg[len("--seed="):])
    argv = [a for a in argv if not a.startswith("--seed=")]
    if len(argv) < 2 or argv[1] not in ("base", "list", "build", "check"):
        print(__doc__.split("From the command line:")[1], file=sys.stderr)
        return 2
    command = argv[1]
    work = tempfile.mkdtemp(prefix="binsift-mutants-")
    try:
        if command == "base":
            build_image(argv[2])
            return 0
        if command == "list":
            base_path = _base(argv[2:], work)
            base = _read(base_path)
            for m in generate(Layout(base_path), seed):
                print(m.describe(base))
            return 0
        index = int(argv[2])
        if command == "build":
            out = argv[3]
            base_path = _base(argv[4:], work)
            m = generate(Layout(base_path), seed)[index]
            write_mutant(base_path, m, out)
            print(m.describe(_read(base_path)))
            return 0
        base_path = _base(argv[3:], work)
        base = _read(base_path)
        m = generate(Layout(base_path), seed)[index]
        print(m.describe(base))
        binsift = os.path.abspath(os.environ.get(
            "BINSIFT", os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../build/binsift")))
        problems, runs, view = examine(binsift, base_path, base, m, work, 30)
        print("fls lists %d index files inside bin folders as allocated regular files"
              % len(view.live_index_files()))
        for r in runs:
            print("%s: exit %s, %d records" % (
                " ".join(["binsift", "--image=MUTANT", "--format=jsonl"] + r.args),
                "(none: killed)" if r.code is None else r.code, r.out.count(b"\n")))
            for line in r.err.decode("utf-8", "replace").splitlines():
                if line.startswith(("Can't ", "No recycle-bin")) or any(
                        m.decode() in line for m in SANITIZER_MARKS):
                    print("    " + line)
        shown_per_cause = collections.Counter()
        for cause, detail in problems:
            shown_per_cause[cause] += 1
            if shown_per_cause[cause] <= 4:
                print("FAIL [%s] %s" % (cause, detail))
        for cause, count in shown_per_cause.items():
            if count > 4:
                print("FAIL [%s] ... and %d more" % (cause, count - 4))
        if not problems:
            print("no fault found")
        return 1 if problems else 0
    except images.Unavailable as e:
        print(str(e))
        return 77
    finally:
        shutil.rmtree(work, True)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
