"""The source tree's layers: each folder of src/ includes only headers of its
own layer or of the layers below it, and only src/platform includes a system
header of one platform."""

import os
import re
import tempfile
import unittest

SRC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src")

# Higher layers first; folders on one line are one layer.
LAYERS = [
    {"driver"},
    {"options", "walk", "recycle", "runlog"},
    {"common"},
    {"platform"},
]
# Headers that only one platform has.
PLATFORM_HEADERS = re.compile(
    r"^(unistd|fcntl|dirent|termios|poll|iconv|windows|winbase|commdlg|shellapi|conio|io|"
    r"signal|sys/.*|tsk/.*)\.h$")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)


def layer_of(folder):
    for i, layer in enumerate(LAYERS):
        if folder in layer:
            return i
    return None


def violations(src):
    found = []
    for folder in sorted(os.listdir(src)):
        own = layer_of(folder)
        base = os.path.join(src, folder)
        if own is None or not os.path.isdir(base):
            continue
        for name in sorted(os.listdir(base)):
            if not name.endswith((".h", ".cc")):
                continue
            with open(os.path.join(base, name), encoding="utf-8", errors="replace") as f:
                text = f.read()
            for kind, header in INCLUDE.findall(text):
                where = "%s/%s includes %s" % (folder, name, header)
                if kind == '"':
                    target = header.split("/", 1)[0]
                    other = layer_of(target)
                    if other is not None and other < own:
                        found.append(where + " from a layer above it")
                elif folder != "platform" and PLATFORM_HEADERS.match(header):
                    found.append(where + ", a header of one platform")
    return found


class Layers(unittest.TestCase):
    def test_no_folder_includes_from_a_layer_above_it(self):
        self.assertEqual(violations(SRC), [])

    def test_a_planted_upward_include_is_caught(self):
        with tempfile.TemporaryDirectory() as tmp:
            for folder, name, text in (
                    ("common", "a.cc", '#include "driver/run.h"\n#include "platform/platform.h"\n'),
                    ("walk", "b.cc", '#include "recycle/decoder.h"\n#include <unistd.h>\n'),
                    ("platform", "c.cc", '#include <unistd.h>\n#include "common/exit.h"\n')):
                os.makedirs(os.path.join(tmp, folder), exist_ok=True)
                with open(os.path.join(tmp, folder, name), "w") as f:
                    f.write(text)
            self.assertEqual(violations(tmp), [
                "common/a.cc includes driver/run.h from a layer above it",
                "platform/c.cc includes common/exit.h from a layer above it",
                "walk/b.cc includes unistd.h, a header of one platform",
            ])


if __name__ == "__main__":
    unittest.main()
