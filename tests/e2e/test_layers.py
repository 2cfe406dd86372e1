"""The source folders form layers, as the layout in docs/development.md says: a file includes
only its own folder's headers and those of the layers below it, so the
entry points stand above everything they use and nothing reaches back up."""

import pathlib
import re
import unittest

SOURCE = pathlib.Path(__file__).resolve().parents[2] / "src"

# Higher numbers lie lower; folders of one number may not include each other.
LAYERS = {"app": 0, "load": 1, "report": 1, "results": 2, "metrics": 2, "http": 3, "stats": 4,
          "config": 5, "common": 5, "platform": 6}
# velkor-report's entry point lives beside the report code it drives.
ENTRY_POINTS = {"report/report_main.cpp"}


# Inside the platform layer its rooms form layers of their own, from the
# entry header on top down to the system's names; a room includes only rooms
# below it, so the pollers and TLS stand on the fibers and the OS basics.
PLATFORM = SOURCE / "platform"
ROOMS = {"": 0, "tls": 1, "credentials": 2, "net": 3, "listen": 3, "uring": 4, "iocp": 4, "pool": 4,
         "pollers": 5, "fibers": 6, "os": 7}


def includes(path):
    return re.findall(r'^#include "([a-z_]+)/', path.read_text(encoding="utf-8"), re.M)


def platform_includes(path):
    """The rooms of the platform headers a file includes ("" for the entry header)."""
    found = re.findall(r'^#include "platform/(?:([a-z_]+)/)?[a-z_]+\.h"',
                       path.read_text(encoding="utf-8"), re.M)
    return found


def room_of(path):
    relative = path.relative_to(PLATFORM)
    return relative.parts[0] if len(relative.parts) > 1 else ""


class Layers(unittest.TestCase):
    def test_every_include_points_down(self):
        self.assertEqual(sorted(p.name for p in SOURCE.iterdir() if p.is_dir()), sorted(LAYERS))
        upward = []
        for path in sorted(SOURCE.rglob("*.[ch]*")):
            relative = path.relative_to(SOURCE).as_posix()
            folder = relative.split("/")[0]
            level = -1 if relative in ENTRY_POINTS else LAYERS[folder]
            for included in includes(path):
                if included != folder and LAYERS[included] <= level:
                    upward.append(f"{relative} includes {included}/")
        self.assertEqual(upward, [])

    def test_inside_the_platform_every_include_points_down(self):
        self.assertEqual(sorted(p.name for p in PLATFORM.iterdir() if p.is_dir()),
                         sorted(room for room in ROOMS if room))
        upward = []
        for path in sorted(PLATFORM.rglob("*.[ch]*")):
            room = room_of(path)
            for included in platform_includes(path):
                if included != room and ROOMS[included] <= ROOMS[room]:
                    upward.append(f"{path.relative_to(SOURCE).as_posix()} includes "
                                  f"platform/{included or 'platform.h'}")
        self.assertEqual(upward, [])

    def test_no_folder_outgrows_a_reader(self):
        # About 20 files and 1,500 lines a folder or room, so a newcomer scans its names.
        for folder in [p for p in SOURCE.rglob("*") if p.is_dir()]:
            files = [p for p in folder.iterdir() if p.suffix in (".cpp", ".h")]
            lines = sum(len(p.read_text(encoding="utf-8").splitlines()) for p in files)
            with self.subTest(folder.relative_to(SOURCE).as_posix()):
                self.assertLessEqual(len(files), 20)
                self.assertLessEqual(lines, 1550)


if __name__ == "__main__":
    unittest.main()
