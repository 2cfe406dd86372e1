"""The source folders form layers, as the layout in docs/development.md says: a file includes
only its own folder's headers and those of the layers below it, so the
entry points stand above everything they use and nothing reaches back up."""

import pathlib
import re
import unittest

SOURCE = pathlib.Path(__file__).resolve().parents[2] / "src"

# Higher numbers lie lower; folders of one number may not include each other.
LAYERS = {"app": 0, "load": 1, "report": 1, "http": 2, "stats": 3, "config": 4, "common": 4,
          "platform": 5}
# velkor-report's entry point lives beside the report code it drives.
ENTRY_POINTS = {"report/report_main.cpp"}


def includes(path):
    return re.findall(r'^#include "([a-z_]+)/', path.read_text(encoding="utf-8"), re.M)


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


if __name__ == "__main__":
    unittest.main()
