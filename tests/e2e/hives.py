"""Registry hives for the tests of user names, built from the real samples
with hivex's own tools (hivexsh, hivexget), and a disk image whose Windows
partition holds them beside a data partition whose recycle bin has the
users' folders.

- software_with_profiles(): the partial SOFTWARE sample with a ProfileList;
- sam_accounts(): what the SAM sample says of its local accounts, read with
  hivexsh and hivexget;
- truncated_hive(): a hive cut short;
- build_users_bin(): the two-partition disk (mmls addresses 2 and 3).

Run as a program:  python3 hives.py users-bin OUTPUT  (exit code 77 when
this machine cannot build it, with the reason on standard output).
"""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

import images
from images import Entry, Unavailable, filetime
from vss_image import frozen_clock

SOFTWARE_SAMPLE = "registry/SOFTWARE-partial"
SAM_SAMPLE = "registry/SAM"
PROFILE_LIST = "Microsoft\\Windows NT\\CurrentVersion\\ProfileList"
ACCOUNT = "SAM\\Domains\\Account"
NAMES = ACCOUNT + "\\Users\\Names"
REG_EXPAND_SZ = 2
REG_BINARY = 3


def _sample(path):
    full = os.path.join(images.require_samples(), path)
    if not os.path.isfile(full):
        raise Unavailable("sample %s is missing" % full)
    return full


def _run(args, stdin=None):
    p = subprocess.run(args, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if p.returncode != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(args), p.stderr.decode(errors="replace").strip()))
    return p.stdout


def sid_bytes(sid):
    """A SID in its binary form (revision, count, 48-bit big-endian
    authority, 32-bit little-endian sub-authorities)."""
    parts = sid.split("-")
    if parts[0] != "S" or len(parts) < 3:
        raise ValueError("not a SID: %s" % sid)
    subs = [int(p) for p in parts[3:]]
    return struct.pack("<BB", int(parts[1]), len(subs)) + int(parts[2]).to_bytes(6, "big") + \
        struct.pack("<%dI" % len(subs), *subs)


def sid_text(data):
    """The text form of a binary SID."""
    revision, count = data[0], data[1]
    authority = int.from_bytes(data[2:8], "big")
    subs = struct.unpack_from("<%dI" % count, data, 8)
    return "S-%d-%d" % (revision, authority) + "".join("-%d" % s for s in subs)


def _hex(data):
    return ",".join("%02x" % b for b in data)


def software_with_profiles(out_path, profiles):
    """A copy of the SOFTWARE sample with a key ProfileList\\<SID> for each
    (SID, profile folder) of `profiles`, holding ProfileImagePath
    (REG_EXPAND_SZ; written as raw UTF-16 so that names need not be
    ASCII), Flags, State and Sid, as Windows keeps them.  hivexsh writes
    it; the result is the same for the same profiles."""
    images.require_tools("hivexsh")
    shutil.copyfile(_sample(SOFTWARE_SAMPLE), out_path)
    os.chmod(out_path, 0o644)
    script = ["cd \\" + PROFILE_LIST.rpartition("\\")[0], "add ProfileList", "cd ProfileList"]
    for sid, folder in profiles:
        script += ["add " + sid, "cd " + sid, "setval 4",
                   "ProfileImagePath", "hex:%d:%s" % (REG_EXPAND_SZ, _hex((folder + "\0").encode("utf-16-le"))),
                   "Flags", "dword:00000000",
                   "State", "dword:00000000",
                   "Sid", "hex:%d:%s" % (REG_BINARY, _hex(sid_bytes(sid))),
                   "cd .."]
    script.append("commit")
    _run(["hivexsh", "-w", out_path], ("\n".join(script) + "\n").encode())
    return out_path


def hivex_value(hive, key, value):
    """The bytes of a value as hivexget gives them (strings in UTF-8 with a
    line end, binary data as it is)."""
    return _run(["hivexget", hive, key, value])


def hivex_subkeys(hive, key):
    out = _run(["hivexsh", hive], ("cd %s\nls\n" % key).encode())
    return out.decode("utf-8").splitlines()


def hivex_default_type(hive, key):
    """The type of the key's default value, as hivexget shows it
    ("@"=hex(500): for a value of type 500 and no data)."""
    out = _run(["hivexget", hive, key]).decode("utf-8", errors="replace")
    m = re.search(r'^"@"=hex\((\d+)\):', out, re.M)
    if m is None:
        raise RuntimeError("%s\\%s has no default value: %r" % (hive, key, out))
    return int(m.group(1))


def sam_accounts(path):
    """(machine SID, {account name: RID}) of a SAM hive: the machine SID is
    the binary SID that ends the value V of SAM\\Domains\\Account (its last
    12 bytes are the sub-authorities a, b, c of S-1-5-21-a-b-c), each RID
    the type of the default value of Users\\Names\\<name>."""
    images.require_tools("hivexsh", "hivexget")
    v = hivex_value(path, ACCOUNT, "V")
    domain = v[-24:]
    if domain[:12] != bytes([1, 4, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0]):
        raise RuntimeError("%s: V does not end with a machine SID" % path)
    accounts = {name: hivex_default_type(path, NAMES + "\\" + name) for name in hivex_subkeys(path, NAMES)}
    return sid_text(domain), accounts


def truncated_hive(src, out, size):
    """The first `size` bytes of the hive `src`."""
    with open(src, "rb") as f:
        data = f.read(size)
    with open(out, "wb") as f:
        f.write(data)
    return out


# --- The disk with a Windows partition and a data partition ---

# The sample SAM's machine (see the tests for how this was read).
MACHINE_SID = "S-1-5-21-1760460187-1592185332-161725925"
PRESTON_SID = MACHINE_SID + "-1000"
ADMINISTRATOR_SID = MACHINE_SID + "-500"
# A domain account of another machine: known only from the ProfileList.
JUERGEN_SID = images.SID_1001
# Known nowhere.
UNKNOWN_SID = images.SID_1002

# The ProfileList: the last component of each path is the name.  Preston's
# profile folder is not named as his account, as happens when a folder of
# that name already existed; the three service accounts as every Windows
# has them.
PROFILES = [
    ("S-1-5-18", "%systemroot%\\system32\\config\\systemprofile"),
    ("S-1-5-19", "C:\\Windows\\ServiceProfiles\\LocalService"),
    ("S-1-5-20", "C:\\Windows\\ServiceProfiles\\NetworkService"),
    (PRESTON_SID, "C:\\Users\\Preston.EXAMINER-PC"),
    (JUERGEN_SID, "C:\\Users\\J\u00fcrgen"),
]

DATA_BIN = "$Recycle.Bin"
FOLDER_INDEX = "$IK3J9Q2"
FOLDER_COMPANION = "$RK3J9Q2"
FOLDER_ORIGINAL = "D:\\Projekte\\\u00dcn\u00efc\u00f6d\u00e9"
FOLDER_DELETED = filetime(2015, 4, 6, 14, 3, 27, 5120000)
# The deleted folder's contents (path below it, bytes or None for a
# folder): non-ASCII and CJK names, a folder three deep, an empty folder,
# and a user's own file named like an index file (holding a real one's
# bytes, so that only its place tells it from one).
FOLDER_CONTENTS = [
    ("\u00dcn\u00efc\u00f6d\u00e9.txt", "Gr\u00fc\u00dfe aus D:\\Projekte\r\n".encode("utf-8")),
    ("\u5831\u544a\u66f8", None),
    ("\u5831\u544a\u66f8/\u6458\u8981.txt", "\u6458\u8981\r\n".encode("utf-16-le")),
    ("\u5831\u544a\u66f8/\u6df1\u3044", None),
    ("\u5831\u544a\u66f8/\u6df1\u3044/data.bin", bytes(range(256)) * 20),
    ("leer", None),
    ("$IFAKE01.txt", "rifiuti2/dir-win10-01/$IROMPZ0.exe"),
]


def index_file_v2(size, deleted, path):
    """A version 2 index file (as Windows 10 writes them)."""
    name = (path + "\0").encode("utf-16-le")
    return struct.pack("<QqQI", 2, size, deleted, len(name) // 2) + name


def folder_entries(folder):
    """The deleted folder's contents as images.Entry below `folder`, and
    their total size (what Windows records as the folder's size)."""
    entries = []
    total = 0
    for path, data in FOLDER_CONTENTS:
        if isinstance(data, str):
            with open(_sample(data), "rb") as f:
                data = f.read()
        entries.append(Entry(folder + "/" + path, data))
        total += len(data) if data is not None else 0
    return entries, total


def _times(n):
    return (filetime(2015, 3, n, 8, 0, 0, 1000000 + n), filetime(2015, 3, n + 1, 9, 0, 0, 2000000 + n),
            filetime(2015, 4, 4, 10, 0, 0, 3000000 + n))


def data_entries():
    """The data partition: a bin folder for each kind of user."""
    def sample(path):
        with open(_sample(path), "rb") as f:
            return f.read()
    win10 = "rifiuti2/dir-win10-01/"
    preston = DATA_BIN + "/" + PRESTON_SID
    entries = [Entry(DATA_BIN), Entry(preston),
               Entry(preston + "/desktop.ini", sample(win10 + "desktop.ini")),
               Entry(preston + "/$IQ7LAXT.png", sample(win10 + "$IQ7LAXT.png")),
               Entry(preston + "/$RQ7LAXT.png", sample(win10 + "$RQ7LAXT.png"), _times(1)),
               Entry(preston + "/$I7R52EG.txt", sample(win10 + "$I7R52EG.txt")),
               Entry(preston + "/$R7R52EG.txt", sample(win10 + "$R7R52EG.txt"), _times(2))]
    companion = preston + "/" + FOLDER_COMPANION
    contents, total = folder_entries(companion)
    entries.append(Entry(preston + "/" + FOLDER_INDEX, index_file_v2(total, FOLDER_DELETED, FOLDER_ORIGINAL)))
    entries.append(Entry(companion, None, _times(3)))
    entries += contents
    for sid, files in ((JUERGEN_SID, ["plaso/test_data/recycler/$I103S5F.jpg"]),
                       (ADMINISTRATOR_SID, [win10 + "$IDNLPD4.exe"]),
                       (UNKNOWN_SID, [win10 + "$IHO61YT"]),
                       ("S-1-5-18", [])):
        entries.append(Entry(DATA_BIN + "/" + sid))
        for path in files:
            entries.append(Entry("%s/%s/%s" % (DATA_BIN, sid, os.path.basename(path)), sample(path)))
    return entries


VOLUME_MIB = 16
DISK_ID = 0x5eed2015
WINDOWS_START = 2048
DATA_START = WINDOWS_START + (VOLUME_MIB << 20) // images.SECTOR


def build_users_bin(out_path, sam_size=None):
    """A DOS disk of two NTFS partitions: the first (sector 2048) holds
    Windows/System32/config/SOFTWARE (software_with_profiles(PROFILES)) and
    .../SAM (the sample; with `sam_size`, only its first bytes), the second
    (sector 34816) the bin of data_entries()."""
    images.require_fuse()
    images.require_tools("sfdisk", "hivexsh")
    work = tempfile.mkdtemp(prefix="binsift-users-")
    try:
        software = software_with_profiles(os.path.join(work, "SOFTWARE"), PROFILES)
        with open(software, "rb") as f:
            software_data = f.read()
        with open(_sample(SAM_SAMPLE), "rb") as f:
            sam_data = f.read(sam_size) if sam_size is not None else f.read()
        config = "Windows/System32/config"
        windows = [Entry("Windows"), Entry("Windows/System32"), Entry(config),
                   Entry(config + "/SOFTWARE", software_data), Entry(config + "/SAM", sam_data),
                   Entry("Users"), Entry("Users/Preston.EXAMINER-PC"), Entry("Users/J\u00fcrgen")]
        data = data_entries()
        # ntfs-3g's clock, stopped, so that the names it writes are the
        # same in every build.
        with frozen_clock(filetime(2015, 4, 20, 12, 0, 0)):
            c = images.build_ntfs(os.path.join(work, "c.img"), windows, VOLUME_MIB, WINDOWS_START)
            d = images.build_ntfs(os.path.join(work, "d.img"), data, VOLUME_MIB, DATA_START)
        images.build_partitioned(out_path, [(c, VOLUME_MIB, "7"), (d, VOLUME_MIB, "7")])
        # sfdisk gives the disk a random identifier: a fixed one instead.
        with open(out_path, "r+b") as f:
            f.seek(0x1b8)
            f.write(struct.pack("<I", DISK_ID))
    finally:
        shutil.rmtree(work, True)
    return out_path


def main(argv):
    if len(argv) != 3 or argv[1] != "users-bin":
        print("usage: hives.py users-bin OUTPUT", file=sys.stderr)
        return 2
    try:
        build_users_bin(argv[2])
    except Unavailable as e:
        print(str(e))
        return 77
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
