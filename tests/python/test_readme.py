"""Every ```python and ```sh block of README.md runs as written.

Each block runs on its own (a fresh interpreter or shell) in an empty
temporary folder in which examples/sample.d is the repository's sample run;
it must exit with status 0 and show something: print to standard output or
write a file. A block opts out only with a first line of the form
`# not run: REASON`."""

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
SAMPLE = REPO / "examples" / "sample.d"
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


BLOCKS = code_blocks(README.read_text(encoding="utf-8"))


def _env() -> dict[str, str]:
    env = dict(os.environ)
    env["PATH"] = os.pathsep.join([str(Path(sys.executable).parent), env.get("PATH", "")])
    return env


def _files(folder: Path) -> set[Path]:
    return {p for p in folder.rglob("*") if p.is_file() and "sample.d" not in p.parts}


@pytest.mark.parametrize("block", BLOCKS, ids=[f"{b.language}-line{b.line}" for b in BLOCKS])
def test_readme_block_runs(block: Block, tmp_path):
    if block.opt_out:
        pytest.skip(f"README line {block.line}: {block.opt_out}")
    (tmp_path / "examples").mkdir()
    (tmp_path / "examples" / "sample.d").symlink_to(SAMPLE)
    script = tmp_path / ("snippet.py" if block.language == "python" else "snippet.sh")
    script.write_text(block.code)
    command = [sys.executable, script.name] if block.language == "python" else ["bash", "-eo", "pipefail", script.name]
    done = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, env=_env(), timeout=600)
    assert done.returncode == 0, f"README line {block.line} exited {done.returncode}:\n{done.stderr[-3000:]}"
    written = _files(tmp_path) - {script}
    assert done.stdout.strip() or written, f"README line {block.line} shows nothing"


def test_readme_has_blocks_to_run():
    assert [b for b in BLOCKS if b.language == "python" and not b.opt_out]
    assert [b for b in BLOCKS if b.language == "sh" and not b.opt_out]


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
