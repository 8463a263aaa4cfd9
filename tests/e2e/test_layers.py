"""The source tree's plan: which folder of src/ may include which (an
allow-list, with no cycles), no cycle of headers, and no header of one
platform outside src/platform (The Sleuth Kit's own headers only in the
image folder, hivex's only in the users folder).  The plan is the program's: tests (*_test.cc and the test
helpers) put parts of several folders together, and make what they test
with the system's own calls (FIFOs, sockets, descriptors), so they may
include any folder and any header."""

import os
import re
import tempfile
import unittest

SRC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src")

# Each folder and the folders it may include besides itself.  Dependencies
# run one way: from the driver down to the platform layer.
PLAN = {
    "driver": {"options", "runlog", "report", "decode", "walk", "image", "users", "companion",
               "collect", "common", "platform"},
    "options": {"common", "platform"},
    "runlog": {"common", "platform"},
    "report": {"decode", "common", "platform"},
    "decode": {"common", "platform"},
    "companion": {"common", "platform"},
    "collect": {"companion", "report", "decode", "common", "platform"},
    "image": {"walk", "common", "platform"},
    "walk": {"common", "platform"},
    "users": {"common", "platform"},
    "common": {"platform"},
    "platform": set(),
}
# Headers that only one platform has, and the folders that may include them.
PLATFORM_HEADERS = re.compile(
    r"^(unistd|fcntl|dirent|termios|poll|iconv|dlfcn|windows|winbase|commdlg|shellapi|conio|io|"
    r"signal|sys/.*)\.h$")
PLATFORM_FOLDERS = {"platform"}
# The headers of the libraries loaded at run time, and the one folder that
# may include each.
LIBRARY_HEADERS = [
    (re.compile(r"^tsk/"), {"image"}, "a header of The Sleuth Kit"),
    (re.compile(r"^hivex\.h$"), {"users"}, "a header of hivex"),
]
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)


def is_test(name):
    return name.endswith("_test.cc") or name.endswith("_test.h") or name.startswith("test_")


def plan_cycles(plan):
    """The cycles of the plan itself, each as a path of folders."""
    found = []

    def visit(folder, path):
        for other in sorted(plan.get(folder, ())):
            if other in path:
                found.append(path[path.index(other):] + [other])
            elif other in plan:
                visit(other, path + [other])

    for folder in sorted(plan):
        visit(folder, [folder])
    return sorted({" -> ".join(c) for c in found})


def sources(src):
    for folder in sorted(os.listdir(src)):
        base = os.path.join(src, folder)
        if not os.path.isdir(base):
            continue
        for name in sorted(os.listdir(base)):
            if name.endswith((".h", ".cc")):
                with open(os.path.join(base, name), encoding="utf-8", errors="replace") as f:
                    yield folder, name, f.read()


def header_cycles(src):
    """Cycles of quoted includes between the tree's headers."""
    graph = {}
    for folder, name, text in sources(src):
        if name.endswith(".h"):
            graph["%s/%s" % (folder, name)] = [h for kind, h in INCLUDE.findall(text) if kind == '"']
    found = set()
    state = {}

    def visit(header, path):
        state[header] = "open"
        for other in graph.get(header, ()):
            if state.get(other) == "open":
                cycle = path[path.index(other):] + [other]
                start = cycle.index(min(cycle[:-1]))
                found.add(" -> ".join(cycle[start:-1] + cycle[:start + 1]))
            elif other in graph and other not in state:
                visit(other, path + [other])
        state[header] = "done"

    for header in sorted(graph):
        if header not in state:
            visit(header, [header])
    return sorted(found)


def violations(src, plan=PLAN):
    found = ["the plan has a cycle: " + c for c in plan_cycles(plan)]
    for folder, name, text in sources(src):
        where = "%s/%s" % (folder, name)
        if folder not in plan:
            found.append(where + " is in a folder the plan does not name")
            continue
        if is_test(name):
            continue
        for kind, header in INCLUDE.findall(text):
            if kind == '"':
                target = header.split("/", 1)[0]
                if "/" not in header or target == folder:
                    continue
                if target not in plan:
                    found.append("%s includes %s, of a folder the plan does not name" % (where, header))
                elif target not in plan[folder]:
                    found.append("%s includes %s, which the plan does not allow" % (where, header))
            elif PLATFORM_HEADERS.match(header) and folder not in PLATFORM_FOLDERS:
                found.append("%s includes %s, a header of one platform" % (where, header))
            else:
                for pattern, folders, what in LIBRARY_HEADERS:
                    if pattern.match(header) and folder not in folders:
                        found.append("%s includes %s, %s" % (where, header, what))
    found += ["headers include each other: " + c for c in header_cycles(src)]
    return found


class Layers(unittest.TestCase):
    def test_the_tree_keeps_to_the_plan(self):
        self.assertEqual(violations(SRC), [])

    def test_the_plan_names_every_folder(self):
        folders = {f for f in os.listdir(SRC) if os.path.isdir(os.path.join(SRC, f))}
        self.assertEqual(folders - set(PLAN), set())

    def test_every_rule_catches_what_is_planted(self):
        with tempfile.TemporaryDirectory() as tmp:
            for folder, name, text in (
                    # An upward include, and a sideways one the plan does not allow.
                    ("common", "a.cc", '#include "driver/run.h"\n#include "platform/platform.h"\n'),
                    ("walk", "b.cc", '#include "decode/decoder.h"\n#include "common/status.h"\n'),
                    # A folder the plan does not name, and an include of one.
                    ("extra", "c.cc", '#include "common/status.h"\n'),
                    ("report", "d.cc", '#include "fuzz/fuzz_targets.h"\n#include "decode/x.h"\n'),
                    # Headers of one platform, and The Sleuth Kit's, where they do not belong.
                    ("options", "e.cc", "#include <unistd.h>\n#include <dlfcn.h>\n#include <string>\n"),
                    ("walk", "f.cc", "#include <tsk/libtsk.h>\n"),
                    ("platform", "g.cc", '#include <unistd.h>\n#include <tsk/libtsk.h>\n'
                                         '#include "common/exit_codes.h"\n'),
                    ("image", "i.cc", '#include <tsk/libtsk.h>\n#include "walk/volume_source.h"\n'),
                    # hivex's header, in the one folder that may include it and in another.
                    ("users", "j.cc", '#include <hivex.h>\n#include "platform/memory_file.h"\n'),
                    ("image", "k.cc", '#include <hivex.h>\n#include "users/user_names.h"\n'),
                    # Tests put folders together, with the system's own calls.
                    ("decode", "h_test.cc", '#include "report/report_writer.h"\n#include <sys/stat.h>\n'),
                    # Two headers that include each other.
                    ("decode", "x.h", '#include "decode/y.h"\n'),
                    ("decode", "y.h", '#include "decode/x.h"\n')):
                os.makedirs(os.path.join(tmp, folder), exist_ok=True)
                with open(os.path.join(tmp, folder, name), "w") as f:
                    f.write(text)
            self.assertEqual(violations(tmp), [
                "common/a.cc includes driver/run.h, which the plan does not allow",
                "extra/c.cc is in a folder the plan does not name",
                "image/k.cc includes hivex.h, a header of hivex",
                "image/k.cc includes users/user_names.h, which the plan does not allow",
                "options/e.cc includes unistd.h, a header of one platform",
                "options/e.cc includes dlfcn.h, a header of one platform",
                "platform/g.cc includes tsk/libtsk.h, a header of The Sleuth Kit",
                "platform/g.cc includes common/exit_codes.h, which the plan does not allow",
                "report/d.cc includes fuzz/fuzz_targets.h, of a folder the plan does not name",
                "walk/b.cc includes decode/decoder.h, which the plan does not allow",
                "walk/f.cc includes tsk/libtsk.h, a header of The Sleuth Kit",
                "headers include each other: decode/x.h -> decode/y.h -> decode/x.h",
            ])

    def test_a_plan_with_a_cycle_is_caught(self):
        plan = dict(PLAN, common={"platform", "walk"})
        self.assertEqual(plan_cycles(PLAN), [])
        self.assertIn("common -> walk -> common", plan_cycles(plan))
        with tempfile.TemporaryDirectory() as tmp:
            self.assertIn("the plan has a cycle: common -> walk -> common", violations(tmp, plan))


if __name__ == "__main__":
    unittest.main()
