"""The README stays short and sends the reader on: every link it or a guide in
docs/ holds to another file of the project reaches that file, and a link to a
section reaches a heading there, so no topic moved out of the README is lost."""

import pathlib
import re
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
README_MOST_LINES = 300


def anchor_of(heading):
    """The anchor a Markdown heading gets on the project's forge: lower case,
    punctuation dropped, blanks as hyphens."""
    words = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return words.replace(" ", "-")


def anchors(page):
    text = re.sub(r"```.*?```", "", page.read_text(encoding="utf-8"), flags=re.S)
    return {anchor_of(heading) for heading in re.findall(r"^#+ (.+)$", text, re.M)}


def local_links(page):
    """(target file, anchor or "") of each link to a file of the project."""
    text = re.sub(r"```.*?```", "", page.read_text(encoding="utf-8"), flags=re.S)
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if re.match(r"[a-z]+:", target):
            continue
        path, _, anchor = target.partition("#")
        yield (page.parent / path).resolve() if path else page, anchor


class DocLinks(unittest.TestCase):
    def test_every_link_reaches_its_file_and_section(self):
        broken = []
        for page in PAGES:
            for target, anchor in local_links(page):
                name = page.relative_to(ROOT).as_posix()
                if not target.exists():
                    broken.append(f"{name}: no {target.relative_to(ROOT)}")
                elif anchor and target.suffix == ".md" and anchor not in anchors(target):
                    broken.append(f"{name}: no section #{anchor} in {target.name}")
        self.assertEqual(broken, [])

    def test_the_readme_is_read_in_minutes_and_links_every_guide(self):
        readme = ROOT / "README.md"
        self.assertLessEqual(len(readme.read_text(encoding="utf-8").splitlines()),
                             README_MOST_LINES)
        linked = {target.name for target, _ in local_links(readme)}
        linked |= {target.name for target, _ in local_links(ROOT / "docs" / "development.md")}
        guides = {page.name for page in PAGES[1:]}
        self.assertEqual(guides - linked, set())


if __name__ == "__main__":
    unittest.main()
