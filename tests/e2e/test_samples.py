"""Real index files written by Windows, decoded to the values their
provenance lists, and damaged ones decoded soundly."""

import os
import shutil
import unittest

from binsift_e2e import (HEADER, NO_COMPANION, SAMPLES, TreeTest, birth_filetime, expected_row,
                         filetime, run, split_banner, summary)

LONG1 = "C:\\Users\\student\\Desktop\\" + "1234567890" * 22
# (size, date, time, original path) as the provenance of each file lists them.
# A path given as (prefix, suffix, length) is too long to quote whole.
EXPECTED = {
    "artemis/recyclebin/win10/$IWHBX3J": (0, "2021-09-09", "00:27:08", "C:\\Users\\bob\\Projects\\osquery\\build\\ns_osquery_utils_system_systemutils"),
    "dtformats/test_data/$II3DF3L.zip": (724919, "2012-03-12", "20:49:58", "C:\\Users\\bogus\\Documents\\RandomResearch\\Archives.zip"),
    "plaso/test_data/recycler/$I103S5F.jpg": (222255, "2016-06-29", "21:37:45", "C:\\Users\\random\\Downloads\\bunnies.jpg"),
    "plaso/test_data/recycler/$II3DF3L.zip": (724919, "2012-03-12", "20:49:58", "C:\\Users\\nfury\\Documents\\Alloy Research\\StarFury.zip"),
    "rbcmd/TestFiles/Win10 - DEFCON 2018 Desktop/$I2JRX90": (14155310, "2018-08-07", "19:54:58", "C:\\temp"),
    "rbcmd/TestFiles/Win10 - DEFCON 2018 Desktop/$IFATB0K": (3276800, "2018-08-07", "19:54:50", "C:\\vss"),
    "rbcmd/TestFiles/Win7 - nfury/$I6SODDB": (102742, "2012-04-06", "18:42:04", "C:\\Windows\\System32\\dllhost"),
    "rbcmd/TestFiles/Win7 - nfury/$ID5HSV3.exe": (3943584, "2012-04-06", "18:43:07", "C:\\Windows\\System32\\hythonize.exe"),
    "rbcmd/TestFiles/Win7 - nfury/$IZI9VH9.exe": (2990574, "2012-04-06", "18:43:07", "C:\\Windows\\System32\\hythonized.exe"),
    "rbcmd/TestFiles/Win7 - nromanoff/$IPFXZSB": (5838271, "2012-04-01", "14:16:47", "C:\\Users\\Public\\Pictures\\Sample Pictures"),
    "rbcmd/TestFiles/Win7 - nromanoff/$ISEBKEC.zip": (13449655, "2012-03-16", "20:27:20", "C:\\Users\\nromanoff\\Documents\\New-Site-HQ-And-Landing-Pad.zip"),
    "rbcmd/TestFiles/Win8.1 - Donald Blake/$I3VPA17": (16131820, "2013-10-21", "19:59:21", "C:\\Users\\Donald\\SkyDrive\\Documents\\Lean startup"),
    "rbcmd/TestFiles/Win8.1 - Donald Blake/$IEMAANA": (1399035, "2013-10-21", "19:59:21", "C:\\Users\\Donald\\SkyDrive\\Documents\\Articles"),
    "rbcmd/TestFiles/Win8.1 - Donald Blake/$IG1VEXX.xls": (16384, "2013-10-21", "18:32:52", "C:\\Users\\Donald\\SkyDrive\\Documents\\WACC Calc Spreadsheet -SECRET.xls"),
    "rbcmd/TestFiles/Win8.1 - Donald Blake/$ISFWPA9.xls": (16384, "2013-10-21", "18:32:52", "C:\\Users\\Donald\\SkyDrive\\Documents\\WACC Calc Spreadsheet -SECRET-Bifrost.xls"),
    "rifiuti2/crafted/dir-bad-uni/$I77T7B0.ahk": (324, "2019-04-14", "11:44:43", "D:\\\U00010082\U00010330\U00010385\U00010814\U000282E2.ahk"),
    "rifiuti2/crafted/dir-bad-uni/$I77T7B1.ahk": (324, "2019-04-14", "11:44:43", "D:\\\U00010082\U00010330\U00010385\U00010814\ud860.\udee2.ahk"),
    "rifiuti2/crafted/dir-bad-uni/$I77T7B2.ahk": (324, "2019-04-14", "11:44:43", "D:\\\udc82\ud800\U00010330\U00010385\U00010814\U000282E2.ahk"),
    "rifiuti2/crafted/dir-bad-uni/$I77T7B3.ahk": (324, "2019-04-14", "11:44:43", "D:\\\U00010082\U00010330\u05ff\U00010385\U00010814\U000282E2.ahk"),
    "rifiuti2/crafted/dir-badfiles/$I4OZLXW.bmp": (1714662, "2019-05-07", "21:01:01", "\\\\WIN-163RLA0PH3N\\somewhere\\\u09aa\u09b0\u09c0\u0995\u09cd\u09b7\u09be.bmp"),
    "rifiuti2/crafted/dir-badfiles/$IF47Q09": (7, "2019-05-07", "21:08:55", ""),
    "rifiuti2/crafted/dir-badfiles/$IW0RYW0.rtf": (7, "1990-01-01", "00:00:05", "\\\\WIN-163RLA0PH3N\\somewhere\\hahaha.rtf"),
    "rifiuti2/crafted/dir-badfiles/$IX1JBL3.djvu": (1714662, "2019-05-07", "21:01:01", "\\\\WIN-163RLA0PH3N\\somewhere\\\u09aa\u09b0\u09c0"),
    "rifiuti2/crafted/dir-mixed/$IDNLPD4.exe": (872448, "2015-04-19", "10:50:51", "C:\\Temp\\FAU\\FAU.x86\\dd.exe"),
    "rifiuti2/crafted/dir-mixed/$IEQWWMF.exe": (679936, "2007-09-21", "08:38:30", "C:\\Users\\student\\Downloads\\fau-1.3.0.2355(rc3)\\fau\\FAU.x86\\fmdata.exe"),
    "rifiuti2/dir-2019-uncpath/$I4OZLXW.bmp": (1714662, "2019-05-07", "21:01:01", "\\\\WIN-163RLA0PH3N\\somewhere\\\u09aa\u09b0\u09c0\u0995\u09cd\u09b7\u09be.bmp"),
    "rifiuti2/dir-2019-uncpath/$IW0RYW0.rtf": (7, "2019-05-07", "20:56:04", "\\\\WIN-163RLA0PH3N\\somewhere\\hahaha.rtf"),
    "rifiuti2/dir-2019-uncpath/$IYDW1CC.rtf": (7, "2019-05-07", "21:08:55", "\\\\WIN-163RLA0PH3N\\somewhere\\hahaha.rtf"),
    "rifiuti2/dir-sample1/$I0JGHX7": (0, "2007-09-21", "06:47:49", "C:\\Users\\student\\Desktop\\New Folder 1"),
    "rifiuti2/dir-sample1/$I1IS2OK.txt": (0, "2007-09-21", "06:48:13", "C:\\Users\\student\\Desktop\\New Text Document blah.txt"),
    "rifiuti2/dir-sample1/$I1TDH1G.exe": (704512, "2007-09-21", "08:38:30", "C:\\Users\\student\\Downloads\\fau-1.3.0.2355(rc3)\\fau\\FAU.x86\\nc.exe"),
    "rifiuti2/dir-sample1/$I7FV8IY.exe": (153478296, "2007-09-21", "08:23:18", "C:\\Users\\student\\Downloads\\VMware-server-installer-1.0.4-56528.exe"),
    "rifiuti2/dir-sample1/$I95CUKU": (4096, "2007-09-21", "08:02:59", "C:\\Users\\student\\Downloads\\fau-1.3.0.2355(rc3)\\fau\\FAU.x86\\sparsefile"),
    "rifiuti2/dir-sample1/$IC6GEAW.exe": (-9223372036854755328, None, None, None),
    "rifiuti2/dir-sample1/$IEQWWMF.exe": (679936, "2007-09-21", "08:38:30", "C:\\Users\\student\\Downloads\\fau-1.3.0.2355(rc3)\\fau\\FAU.x86\\fmdata.exe"),
    "rifiuti2/dir-sample1/$IFRN1CZ.exe": (110592, "2007-09-21", "08:38:30", "C:\\Users\\student\\Downloads\\fau-1.3.0.2355(rc3)\\fau\\FAU.x86\\wipe.exe"),
    "rifiuti2/dir-sample1/$IHMU3NR.zip": (5025829, "2007-09-21", "08:17:19", "C:\\Users\\student\\Downloads\\fau-1.3.0.2355(rc3).zip"),
    "rifiuti2/dir-sample1/$IMG2SSB": (0, "2007-09-21", "08:28:57", ("C:\\Users\\student\\Desktop\\12345678901", "345678901234567890123456789012", 247)),
    "rifiuti2/dir-sample1/$IUVFB0M.rtf": (155, "2007-09-21", "06:32:46", "C:\\Users\\student\\Desktop\\New Rich Text Document.rtf"),
    "rifiuti2/dir-sample1/$IW527XU.exe": (331776, "2007-09-21", "08:38:30", "C:\\Users\\student\\Downloads\\fau-1.3.0.2355(rc3)\\fau\\FAU.x86\\volume_dump.exe"),
    "rifiuti2/dir-sample1/$IYAR1YY.exe": (8070450532247949312, None, None, None),
    "rifiuti2/dir-sample1/$IZK01YL.txt": (11, "2007-09-21", "08:31:35", ("C:\\Users\\student\\Desktop\\12345678901", "567890123456789012\\1234567.txt", 259)),
    "rifiuti2/dir-sample1/$IZUFRX4.vmdk": (10737418240, "2007-09-21", "09:22:25", "C:\\Virtual Machines\\Windows XP Professional\\Windows XP Professional-flat.vmdk"),
    "rifiuti2/dir-win10-01/$I7R52EG.txt": (14, "2015-04-04", "17:24:09", "C:\\Temp\\foobat.txt.txt"),
    "rifiuti2/dir-win10-01/$IBBFODN": (7, "2015-04-07", "23:19:35", "C:\\Temp\\\U00028CCA\U00028D99\u95aa\u90a8\u9c02"),
    "rifiuti2/dir-win10-01/$IDNLPD4.exe": (872448, "2015-04-19", "10:50:51", "C:\\Temp\\FAU\\FAU.x86\\dd.exe"),
    "rifiuti2/dir-win10-01/$IHO61YT": (12884901888, "2015-04-07", "23:32:07", "C:\\Temp\\largesparsefile"),
    "rifiuti2/dir-win10-01/$IKEGS1G": (0, "2015-04-04", "17:19:52", ("C:\\Users\\tester\\12345678901234567890", "123456789012345678901234567890", 246)),
    "rifiuti2/dir-win10-01/$IQ7LAXT.png": (6455, "2015-04-04", "17:20:01", "C:\\Users\\tester\\Pictures\\web-canvas.png"),
    "rifiuti2/dir-win10-01/$IROMPZ0.exe": (1761792, "2015-04-19", "10:49:59", "C:\\Temp\\FAU\\FAU.x64\\dd.exe"),
}


def as_row_text(path):
    """A path as the report writes it: one byte per character up to U+00FF."""
    return "".join(c if 0 < ord(c) <= 0xFF else "?" for c in path).encode("latin-1")


def columns(row):
    """(name, size, date, time, extension, path) of a row with a record."""
    fields = row.split(b"|")
    return fields[0].strip(), int(fields[1]), fields[2].strip(), fields[3].strip(), fields[4], fields[5]


@unittest.skipUnless(os.path.isdir(SAMPLES), "the sample files are not beside this checkout")
class SampleFiles(TreeTest):
    def copy_samples(self):
        root = self.path("samples")
        shutil.copytree(SAMPLES, root)
        return root

    def test_every_index_file_decodes_to_its_listed_values(self):
        root = self.copy_samples()
        code, out, err = run(["-p", root, "-f", "$I*.*"])
        self.assertEqual(code, 0, err)
        self.assertTrue(out.startswith(HEADER))
        rows = out[len(HEADER):].split(b"\n")
        self.assertEqual(rows[-1], b"")
        rows = rows[:-1]
        self.assertEqual(len(rows), len(EXPECTED))
        by_name = {}
        for row in rows:
            by_name.setdefault(row.split(b"|")[0].strip(), []).append(row)
        for relative, (size, date, time, path) in EXPECTED.items():
            name = os.path.basename(relative).encode()
            with open(os.path.join(SAMPLES, relative), "rb") as f:
                data = f.read()
            prefix = expected_row(name, data)[:-len(NO_COMPANION) - 1]
            candidates = [r for r in by_name[name] if r.startswith(prefix)]
            self.assertTrue(candidates, relative)
            _, got_size, got_date, got_time, _, got_path = columns(candidates[0])
            self.assertEqual(got_size, size, relative)
            if date is None:
                continue  # a damaged copy: only soundness is asked of it
            self.assertEqual((got_date, got_time), (date.encode(), time.encode()), relative)
            if isinstance(path, tuple):
                prefix, suffix, length = path
                self.assertTrue(got_path.startswith(prefix.encode()), relative)
                self.assertTrue(got_path.endswith(suffix.encode()), relative)
                self.assertEqual(len(got_path), length, relative)
            else:
                self.assertEqual(got_path, as_row_text(path), relative)
        self.assertTrue(split_banner(self, err).endswith(summary(len(EXPECTED))))

    def test_rows_are_byte_exact_with_companion_times(self):
        root = self.copy_samples()
        folder = os.path.join(root, "rifiuti2", "dir-win10-01")
        times = {}
        for i, name in enumerate(sorted(os.listdir(folder))):
            if name.startswith("$R"):
                atime = filetime(2015, 4, 4 + i, 1, 2, 3)
                mtime = filetime(2014, 12, 31, 23, 59, 59)
                os.utime(os.path.join(folder, name),
                         ns=((atime // 10000000 - 11644473600) * 10**9 + 123,
                             (mtime // 10000000 - 11644473600) * 10**9 + 999999999))
                times[name] = (mtime + 9999999, atime, birth_filetime(os.path.join(folder, name)))
        code, out, err = run(["-p", folder, "-f", "$I*.*", "-r"])
        self.assertEqual(code, 0, err)
        expected = []
        for name in sorted(os.listdir(folder)):
            if not name.startswith("$I"):
                continue
            with open(os.path.join(folder, name), "rb") as f:
                data = f.read()
            expected.append(expected_row(name.encode(), data, times.get("$R" + name[2:])))
        got = out[len(HEADER):].splitlines(keepends=True)
        self.assertEqual(out[:len(HEADER)], HEADER)
        self.assertEqual(sorted(got), sorted(expected))
        self.assertEqual(len(got), 7)

    def test_a_bin_with_only_desktop_ini(self):
        code, out, err = run(["-p", os.path.join(SAMPLES, "rifiuti2", "dir-empty"), "-f", "$I*.*"])
        self.assertEqual((code, out), (0, HEADER))
        self.assertEqual(split_banner(self, err), summary(0))


if __name__ == "__main__":
    unittest.main()
