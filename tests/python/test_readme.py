"""The README and the pages of docs/ say what is true.

Every ```python and ```sh block runs as written, on its own (a fresh
interpreter or shell) in an empty folder in which the repository files the
pages read (the sample run, the fuzzing log) are linked under their own
names; it must exit with status 0, print something, and write nothing into
that folder: an example that a reader runs in a clone writes its outputs
into a temporary folder of its own. A block opts out only with a first line of
the form `# not run: REASON`. Every relative link leads to a file (and a
heading) that exists, every page is listed, and what the pages say about
the Makefile's CI target is what the target runs."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
README = REPO / "README.md"
DOCS = REPO / "docs"
DOCUMENTS = [README, *sorted(DOCS.glob("*.md"))]
# Repository files that code blocks read, linked into each block's folder.
LINKED = ("examples/sample.d", "fuzz/campaign.tsv")
README_MAX_LINES = 400
LANGUAGES = ("python", "sh")
NOT_RUN = re.compile(r"#\s*not run:\s*(\S.*)")
FENCE = re.compile(r"^```(\S*)\s*$")


@dataclass(frozen=True)
class Block:
    language: str
    line: int          # of the opening fence, from 1
    code: str

    @property
    def opt_out(self) -> str | None:
        """The reason given on the first line for not running the block."""
        first = self.code.lstrip("\n").splitlines()[0] if self.code.strip() else ""
        found = NOT_RUN.fullmatch(first.strip())
        return found.group(1) if found else None


def code_blocks(text: str, languages: tuple[str, ...] = LANGUAGES) -> list[Block]:
    """The fenced blocks of these languages, in order. Fences are
    unindented lines of three backticks; a block left open runs to the end."""
    blocks: list[Block] = []
    language: str | None = None
    start = 0
    lines: list[str] = []
    for number, line in enumerate(text.splitlines(), 1):
        fence = FENCE.match(line)
        if language is None:
            if fence:
                language, start, lines = fence.group(1), number, []
            continue
        if fence and not fence.group(1):
            if language in languages:
                blocks.append(Block(language, start, "\n".join(lines) + "\n"))
            language = None
            continue
        lines.append(line)
    if language in languages:
        blocks.append(Block(language, start, "\n".join(lines) + "\n"))
    return blocks


def _name(document: Path) -> str:
    return document.relative_to(REPO).as_posix()


BLOCKS = [(_name(document), block)
          for document in DOCUMENTS
          for block in code_blocks(document.read_text(encoding="utf-8"))]


def _env(temporary: Path) -> dict[str, str]:
    env = dict(os.environ)
    env["PATH"] = os.pathsep.join([str(Path(sys.executable).parent), env.get("PATH", "")])
    env["TMPDIR"] = str(temporary)
    return env


def _files(folder: Path, *left_out: Path) -> set[Path]:
    return {p for p in folder.rglob("*")
            if p.is_file() and not any(p == top or top in p.parents for top in left_out)}


@pytest.mark.parametrize("where,block", BLOCKS, ids=[f"{w}:{b.line}-{b.language}" for w, b in BLOCKS])
def test_documented_block_runs(where: str, block: Block, tmp_path):
    if block.opt_out:
        pytest.skip(f"{where} line {block.line}: {block.opt_out}")
    clone = tmp_path / "clone"
    temporary = tmp_path / "tmp"
    temporary.mkdir()
    for name in LINKED:
        (clone / name).parent.mkdir(parents=True, exist_ok=True)
        (clone / name).symlink_to(REPO / name)
    script = temporary / ("snippet.py" if block.language == "python" else "snippet.sh")
    script.write_text(block.code)
    command = [sys.executable, str(script)] if block.language == "python" else ["bash", "-eo", "pipefail", str(script)]
    done = subprocess.run(command, cwd=clone, capture_output=True, text=True, env=_env(temporary), timeout=600)
    assert done.returncode == 0, f"{where} line {block.line} exited {done.returncode}:\n{done.stderr[-3000:]}"
    assert done.stdout.strip(), f"{where} line {block.line} shows nothing"
    written = _files(clone, *(clone / name for name in LINKED))
    assert not written, f"{where} line {block.line} writes into the clone: {sorted(map(str, written))}"


def test_readme_has_blocks_to_run():
    readme = [b for w, b in BLOCKS if w == "README.md" and not b.opt_out]
    assert [b for b in readme if b.language == "python"]
    assert [b for b in readme if b.language == "sh"]


PARSE_CASES = [
    ("a python block", "text\n```python\nprint(1)\n```\n", [("python", 2, "print(1)\n")]),
    ("python and sh, other languages left out",
     "```sh\nls\n```\n```sql\nSELECT 1;\n```\n```\nplain\n```\n```python\nx = 1\ny = 2\n```\n",
     [("sh", 1, "ls\n"), ("python", 10, "x = 1\ny = 2\n")]),
    ("a fence with a language inside a block is text", "```python\ns = '''\n```sh\n'''\n```\n",
     [("python", 1, "s = '''\n```sh\n'''\n")]),
    ("indented fences are text", "  ```python\n  x\n  ```\n", []),
    ("a block left open runs to the end", "```sh\necho hi\n", [("sh", 1, "echo hi\n")]),
    ("an empty block", "```python\n```\n", [("python", 1, "\n")]),
]


@pytest.mark.parametrize("what,text,expected", PARSE_CASES, ids=[c[0] for c in PARSE_CASES])
def test_code_blocks_are_found(what, text, expected):
    assert [(b.language, b.line, b.code) for b in code_blocks(text)] == expected


OPT_OUT_CASES = [
    ("# not run: needs a cluster\nx = 1\n", "needs a cluster"),
    ("\n#not run:  needs a cluster\n", "needs a cluster"),
    ("x = 1  # not run: too late\n", None),
    ("# not run:\nx = 1\n", None),          # a reason is required
    ("x = 1\n# not run: second line\n", None),
    ("", None),
]


@pytest.mark.parametrize("code,reason", OPT_OUT_CASES)
def test_opt_out_needs_the_marker_and_a_reason_on_the_first_line(code, reason):
    assert Block("python", 1, code).opt_out == reason


# -- links, the index, the front door's length, the CI target ------------------

LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
HEADING = re.compile(r"^(#{1,6})\s+(.*?)\s*#*\s*$")


def prose(text: str) -> str:
    """The text outside fenced blocks (a link inside code is code)."""
    kept: list[str] = []
    inside = False
    for line in text.splitlines():
        if line.startswith("```"):
            inside = not inside
            continue
        if not inside:
            kept.append(line)
    return "\n".join(kept)


def relative_links(text: str) -> list[str]:
    """The targets of the links that lead into the repository, in order."""
    return [target for target in LINK.findall(prose(text))
            if not re.match(r"[a-z][a-z0-9+.-]*:", target)]


def anchor(heading: str) -> str:
    """The fragment a heading is reached by, as Markdown renderers make it:
    lower case, code and emphasis marks and punctuation dropped, spaces to
    hyphens."""
    text = re.sub(r"[^\w\- ]", "", heading.lower().replace("`", ""))
    return text.replace(" ", "-")


def anchors(text: str) -> set[str]:
    return {anchor(found.group(2)) for line in prose(text).splitlines() if (found := HEADING.match(line))}


def broken_links(document: Path) -> list[str]:
    broken = []
    for target in relative_links(document.read_text(encoding="utf-8")):
        path, _, fragment = target.partition("#")
        resolved = (document.parent / path).resolve() if path else document
        if not resolved.exists():
            broken.append(f"{target}: no such file")
        elif fragment and resolved.suffix == ".md" and fragment not in anchors(resolved.read_text(encoding="utf-8")):
            broken.append(f"{target}: no such heading")
    return broken


@pytest.mark.parametrize("document", DOCUMENTS, ids=_name)
def test_links_lead_somewhere(document: Path):
    broken = broken_links(document)
    assert not broken, f"{_name(document)}: {broken}"


def test_every_page_is_listed_in_the_index_and_the_readme():
    pages = {p.name for p in DOCS.glob("*.md")} - {"README.md"}
    for index in (DOCS / "README.md", README):
        linked = {Path(t.partition("#")[0]).name for t in relative_links(index.read_text(encoding="utf-8"))}
        unlisted = sorted(pages - linked)
        assert not unlisted, (f"{_name(index)} does not link {unlisted}: add a line for each new page "
                              "to docs/README.md and to the README's Documentation table")


def test_the_front_door_is_short():
    assert len(README.read_text(encoding="utf-8").splitlines()) <= README_MAX_LINES


def ci_targets(makefile: str) -> list[str]:
    """The make invocations of the `ci` target's recipe, arguments kept."""
    recipe = re.search(r"^ci:.*\n((?:\t.*\n?)*)", makefile, re.M)
    assert recipe, "the Makefile has no ci target"
    return [re.sub(r"^.*\$\(MAKE\)(?:\s+--?\S+)*\s+", "", line).strip()
            for line in recipe.group(1).splitlines() if "$(MAKE)" in line]


def in_order(text: str, parts: list[str]) -> bool:
    position = 0
    for part in parts:
        position = text.find(part, position)
        if position < 0:
            return False
        position += len(part)
    return True


def test_the_pages_name_what_ci_runs():
    targets = ci_targets((REPO / "Makefile").read_text(encoding="utf-8"))
    row = next(line for line in README.read_text(encoding="utf-8").splitlines() if line.startswith("| `make ci`"))
    assert in_order(row, [f"`{t}`" for t in targets]), row
    reliability = " ".join((DOCS / "reliability.md").read_text(encoding="utf-8").split())
    assert in_order(reliability, [f"`make {t}`" for t in targets])


LINK_CASES = [
    ("relative files and anchors", "see [a](docs/a.md) and [b](#install), [c](b.md#x)",
     ["docs/a.md", "#install", "b.md#x"]),
    ("other schemes are left out", "[w](https://example.org/x) [m](mailto:a@b) [f](file.md)", ["file.md"]),
    ("links inside code blocks are code", "```python\nx = '[a](gone.md)'\n```\n[b](here.md)", ["here.md"]),
    ("images are links too", "![plot](qc-report.png)", ["qc-report.png"]),
]


@pytest.mark.parametrize("what,text,expected", LINK_CASES, ids=[c[0] for c in LINK_CASES])
def test_relative_links_are_found(what, text, expected):
    assert relative_links(text) == expected


ANCHOR_CASES = [
    ("Install", "install"),
    ("morvane: numpy arrays and Arrow tables", "morvane-numpy-arrays-and-arrow-tables"),
    ("Many runs, many machines: Dask", "many-runs-many-machines-dask"),
    ("The `karvel` module", "the-karvel-module"),
    ("Row 13 (QC)", "row-13-qc"),
]


@pytest.mark.parametrize("heading,expected", ANCHOR_CASES)
def test_headings_are_reached_by_their_anchor(heading, expected):
    assert anchor(heading) == expected


CI_CASES = [
    ("the project's form",
     "ci:\n\t@$(MAKE) --no-print-directory test\n\t@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=30\n\nwheel: env\n",
     ["test", "fuzz FUZZ_SECONDS=30"]),
    ("plain make, other lines ignored", "ci: deps\n\techo start\n\t$(MAKE) test-asan\n", ["test-asan"]),
]


@pytest.mark.parametrize("what,makefile,expected", CI_CASES, ids=[c[0] for c in CI_CASES])
def test_ci_targets_are_read_from_the_recipe(what, makefile, expected):
    assert ci_targets(makefile) == expected


# -- the files the pages name exist ---------------------------------------------

TOP_FOLDERS = ("src", "python", "tests", "morvane_core", "bench", "fuzz", "scripts", "examples", "cmake", "docs")
NAMED_PATH = re.compile(r"`((?:%s)/[^`\s]*)`" % "|".join(TOP_FOLDERS))
LAYOUT_ENTRY = re.compile(r"^(\S+)\s+\S")


def named_paths(text: str) -> list[str]:
    """The repository paths a page names in code spans, as glob patterns:
    `src/raw/msscan.*` stands for its files, `<name>` for any name."""
    return [re.sub(r"<[^>]*>", "*", found) for found in NAMED_PATH.findall(text)]


def layout_entries(text: str) -> list[str]:
    """The first column of the layout's table: one path (or pattern) a line."""
    block = code_blocks(text, ("",))
    assert block, "the layout has no table"
    return [found.group(1) for line in block[0].code.splitlines() if (found := LAYOUT_ENTRY.match(line))]


def missing(patterns: list[str]) -> list[str]:
    return [pattern for pattern in patterns if not any(REPO.glob(pattern.rstrip("/")))]


@pytest.mark.parametrize("document", DOCUMENTS, ids=_name)
def test_named_paths_exist(document: Path):
    gone = missing(named_paths(document.read_text(encoding="utf-8")))
    assert not gone, f"{_name(document)} names {gone}, which do not exist: say where they are now"


def test_the_layout_names_what_is_there():
    entries = layout_entries((DOCS / "layout.md").read_text(encoding="utf-8"))
    assert missing(entries) == []
    tracked_tops = {p.name for p in REPO.iterdir() if p.is_dir() and not p.name.startswith(".")} & set(TOP_FOLDERS)
    listed_tops = {entry.split("/")[0] for entry in entries}
    assert tracked_tops - listed_tops == set()


NAMED_PATH_CASES = [
    ("a file and a pattern", "`src/reader/scan_row.hpp` and `src/raw/msscan.*`",
     ["src/reader/scan_row.hpp", "src/raw/msscan.*"]),
    ("placeholders match any name", "`tests/cpp/data/fuzz/<target>/`", ["tests/cpp/data/fuzz/*/"]),
    ("other code spans are left out", "`make test`, `build/bench-data/`, `RUN.d`, `docs`", []),
]


@pytest.mark.parametrize("what,text,expected", NAMED_PATH_CASES, ids=[c[0] for c in NAMED_PATH_CASES])
def test_named_paths_are_found(what, text, expected):
    assert named_paths(text) == expected


def test_layout_entries_are_the_first_column():
    text = "# Layout\n\n```\nsrc/raw/     decoders\n             more words\nMakefile     targets\n```\n"
    assert layout_entries(text) == ["src/raw/", "Makefile"]
