"""The man pages and the README's reference say the same: the same options for
each program, the same exit statuses, the summary's every label; and the pages
render without a warning of groff."""

import os
import pathlib
import re
import shutil
import subprocess
import unittest

from harness import VELKOR, closed_port, run_velkor

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text(encoding="utf-8")
PROGRAMS = ("velkor", "velkor-report")


def man_source(program):
    return (ROOT / "docs" / "man" / f"{program}.1.in").read_text(encoding="utf-8")


def man_section(source, name):
    """The roff lines of one .SH section."""
    match = re.search(rf"^\.SH {name}\n(.*?)(?=^\.SH |\Z)", source, re.M | re.S)
    return match[1] if match else ""


def tagged_words(section):
    """The first word of each .TP item's tag: "-t", "--save", "0"."""
    tags = re.findall(r"^\.TP\n\.[BI]\w*\s+(\S+)", section, re.M)
    return {tag.replace("\\-", "-").strip('"') for tag in tags}


def readme_part(program):
    """The README's reference for one program: its part of "Command line"."""
    command_line = README.split("\n## Command line\n", 1)[1].split("\n## ", 1)[0]
    velkor_part, report_part = command_line.split("\n### velkor-report\n", 1)
    return velkor_part if program == "velkor" else report_part


def readme_options(program):
    part = readme_part(program)
    rows = re.findall(r"^\| `(-[^` ]+)", part, re.M)
    spans = re.findall(rf"`{program} (--[a-z-]+)`", part)
    return set(rows) | set(spans)


def readme_statuses(program):
    table = README.split("\n## Exit status\n", 1)[1].split("\n## ", 1)[0]
    header = [cell.strip() for cell in table.strip().split("\n")[0].strip("|").split("|")]
    column = header.index(f"`{program}`")
    statuses = set()
    for line in table.strip().split("\n")[2:]:
        cells = [cell.strip() for cell in line.strip("|").split("|")]
        if cells[column]:
            statuses.add(cells[0])
    return statuses


class ManPagesTest(unittest.TestCase):
    def test_each_option_is_in_both_references(self):
        for program in PROGRAMS:
            with self.subTest(program=program):
                in_man = {word for word in tagged_words(man_section(man_source(program), "OPTIONS"))
                          if word.startswith("-")}
                self.assertTrue(in_man)
                self.assertEqual(in_man, readme_options(program))

    def test_each_exit_status_is_in_both_references(self):
        for program in PROGRAMS:
            with self.subTest(program=program):
                in_man = tagged_words(man_section(man_source(program), "EXIT STATUS"))
                self.assertEqual(in_man, {"0", "1"})
                self.assertEqual(in_man, readme_statuses(program))

    def test_the_synopsis_shows_every_option(self):
        for program in PROGRAMS:
            source = man_source(program)
            synopsis = man_section(source, "SYNOPSIS").replace("\\-", "-")
            for option in tagged_words(man_section(source, "OPTIONS")):
                if option.startswith("-"):
                    self.assertRegex(synopsis, rf"\B{re.escape(option)}\b", program)

    def test_every_summary_label_is_explained(self):
        run = run_velkor("-t", "0", "-c", "1", f"http://127.0.0.1:{closed_port()}/")
        self.assertEqual(run.returncode, 0)
        labels = re.findall(r"^([A-Z][A-Za-z0-9 ()-]+):  ", run.text(), re.M)
        self.assertIn("Completed requests", labels)
        output = man_section(man_source("velkor"), "OUTPUT").replace("\\-", "-")
        for label in labels:
            self.assertIn(label, output)

    @unittest.skipUnless(shutil.which("groff"), "groff is not installed")
    def test_the_pages_render_without_warnings(self):
        for program in PROGRAMS:
            with self.subTest(program=program):
                page = man_source(program).replace("@PROJECT_VERSION@", "0.0.0")
                for command in (["groff", "-ww", "-man", "-z"],
                                ["groff", "-ww", "-k", "-man", "-Tutf8", "-z"]):
                    run = subprocess.run(command, input=page.encode(), capture_output=True)
                    self.assertEqual(run.stderr.decode(), "", command)
                    self.assertEqual(run.returncode, 0)

    def test_velkor_report_help_names_every_option(self):
        report = pathlib.Path(VELKOR).with_name("velkor-report")
        if not os.access(report, os.X_OK):
            self.skipTest("velkor-report is not built")
        run = subprocess.run([str(report), "--help"], capture_output=True, timeout=30)
        self.assertEqual(run.returncode, 0)
        text = run.stdout.decode()
        for option in tagged_words(man_section(man_source("velkor-report"), "OPTIONS")):
            self.assertIn(option, text)


if __name__ == "__main__":
    unittest.main()
