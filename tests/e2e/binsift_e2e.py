"""Helpers for the end-to-end tests: run the built program on a temporary
tree and look at exactly what it wrote."""

import os
import shutil
import struct
import subprocess
import tempfile
import unittest

BINSIFT = os.path.abspath(os.environ.get("BINSIFT", os.path.join(os.path.dirname(__file__), "../../build/binsift")))
GENBIN = os.path.abspath(os.environ.get("GENBIN", os.path.join(os.path.dirname(__file__), "../../build/genbin")))
SAMPLES = os.environ.get("BINSIFT_SAMPLES", os.path.join(os.path.dirname(__file__), "../../../shared/samples"))

HEADER = (b"              SOURCE|        Size| Delete Date|  Time (GMT)| Extension| Original "
          b"Filename|    Modified| Time (GMT)| Last Access| Time (GMT)|  Created| Time (GMT)|\n")
NO_COMPANION = b" N/A | N/A | N/A | N/A | N/A | N/A | "

BANNER_LINES = 29 + 7


def run(args, cwd=None, env=None, stdin=subprocess.DEVNULL, timeout=60):
    """Runs binsift; returns (exit code, stdout bytes, stderr bytes)."""
    full_env = dict(os.environ)
    full_env.setdefault("LANG", "C")
    for name in ("RESET", "NORESET", "ACCT", "ACCTING"):
        full_env.pop(name, None)
    if env:
        full_env.update(env)
    p = subprocess.run([BINSIFT] + list(args), cwd=cwd, env=full_env, stdin=stdin,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
    return p.returncode, p.stdout, p.stderr


def split_banner(test, err):
    """Checks that the error stream starts with the banner; returns the rest."""
    lines = err.split(b"\n")
    test.assertGreaterEqual(len(lines), BANNER_LINES, err)
    test.assertEqual(lines[:29], [b""] * 29)
    box = lines[29:BANNER_LINES]
    for row in box:
        test.assertTrue(row.startswith(b"  "), row)
    test.assertIn(b"BINSIFT", box[1])
    return b"\n".join(lines[BANNER_LINES:])


def summary(count, elapsed=b" 0 hrs. 0 mins. 0 secs.\n\n"):
    return b"\n\nProcessed %d file(s) \nElapsed time:  " % count + elapsed


def read_stderr_until(test, proc, marker, timeout=20):
    """Reads the running program's error stream until `marker` shows;
    returns what was read.  Fails the test when it never shows."""
    import select
    import time
    seen = b""
    deadline = time.time() + timeout
    while marker not in seen:
        ready, _, _ = select.select([proc.stderr], [], [], max(0, deadline - time.time()))
        if not ready:
            test.fail("never saw %r in %r" % (marker, seen[-300:]))
        chunk = os.read(proc.stderr.fileno(), 4096)
        if not chunk:
            test.fail("the error stream ended before %r: %r" % (marker, seen[-300:]))
        seen += chunk
    return seen


class TreeTest(unittest.TestCase):
    """A test with a temporary directory of its own."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="binsift-e2e-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def write(self, relative, data=b""):
        p = self.path(relative)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data)
        return p


# --- An independent model of the report row, for comparing whole rows. ---

def filetime(year, month, day, hour=0, minute=0, second=0):
    import calendar
    seconds = calendar.timegm((year, month, day, hour, minute, second))
    return (seconds + 11644473600) * 10000000


def index_v2(size, deleted, name):
    units = name.encode("utf-16-le")
    return struct.pack("<QqQI", 2, size, deleted, len(units) // 2 + 1) + units + b"\0\0"


def index_v1(size, deleted, name):
    units = name.encode("utf-16-le")
    return struct.pack("<QqQ", 1, size, deleted) + units.ljust(520, b"\0")


def _civil(ft):
    """UTC breakdown of a FILETIME, or None when its top bit is set."""
    if ft >> 63:
        return None
    days, rest = divmod(ft, 864000000000)
    z = days + 584694  # days from 0000-03-01
    era, doe = divmod(z, 146097)
    yoe = (doe - doe // 1460 + doe // 36524 - doe // 146096) // 365
    doy = doe - (365 * yoe + yoe // 4 - yoe // 100)
    mp = (5 * doy + 2) // 153
    day = doy - (153 * mp + 2) // 5 + 1
    month = mp + 3 if mp < 10 else mp - 9
    year = yoe + era * 400 + (1 if month <= 2 else 0)
    secs = rest // 10000000
    return year, month, day, secs // 3600, secs // 60 % 60, secs % 60


def _latin1(units, limit=None):
    out = bytearray()
    chars = 0
    i = 0
    while i < len(units) and (limit is None or chars < limit):
        u = units[i]
        if 1 <= u <= 0xFF:
            out.append(u)
        else:
            if 0xD800 <= u <= 0xDBFF and i + 1 < len(units) and 0xDC00 <= units[i + 1] <= 0xDFFF:
                i += 1
            out += b"?"
        chars += 1
        i += 1
    return bytes(out), chars


def expected_middle(data):
    """Columns 2 to 6 for the bytes of an index file, or b"" for none."""
    if len(data) < 4:
        return b""
    version = struct.unpack_from("<I", data)[0]
    if version not in (1, 2):
        return b""
    offset = 24 if version == 1 else 28
    if len(data) < offset:
        return b""
    size, deleted = struct.unpack_from("<qQ", data, 8)
    raw = data[offset:]
    units = list(struct.unpack("<%dH" % (len(raw) // 2), raw[: len(raw) // 2 * 2]))
    if 0 in units:
        units = units[: units.index(0)]
    out = b"% 12d|" % size
    t = _civil(deleted)
    if t is None:
        out += b"  0000-00-00|    00:00:00|"
    else:
        out += b"  %4d-%02d-%02d|    %02d:%02d:%02d|" % t
    if 0x2E in units:
        last = len(units) - 1 - units[::-1].index(0x2E)
        ext, chars = _latin1(units[last + 1:], 10)
        out += b" " * (10 - chars) + ext + b"|"
    else:
        out += b"      NONE|"
    out += _latin1(units)[0] + b"|"
    return out


def companion_columns(ft_modified, ft_accessed, ft_created):
    out = b""
    for ft, suffix in ((ft_modified, b"m"), (ft_accessed, b"a"), (ft_created, b"c")):
        t = _civil(ft)
        if t[0] == 1601:
            t = (1980, 0, 0, 0, 0, 0)
        out += b"  %04d-%02d-%02d|%02d:%02d:%02d" % t + suffix + b"|"
    return out


def birth_filetime(path):
    """The creation time binsift reports for `path` (0 where none is kept)."""
    out = subprocess.run(["stat", "-c", "%W", path], capture_output=True, text=True).stdout.strip()
    seconds = int(out) if out and out != "-" else 0
    if seconds <= 0:
        return 0
    nanos = subprocess.run(["stat", "-c", "%.9W", path], capture_output=True, text=True).stdout.strip()
    whole, _, frac = nanos.partition(".")
    return (int(whole) + 11644473600) * 10000000 + int((frac or "0").ljust(9, "0")[:7])


def expected_row(name, data, companion=None):
    """The whole row; `companion` is (modified, accessed, created) FILETIMEs."""
    row = name.rjust(20) + b"|" + expected_middle(data)
    row += companion_columns(*companion) if companion else NO_COMPANION
    return row + b"\n"
