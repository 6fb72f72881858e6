"""Runs every Python example of README.md, read from the README itself.

Convention: each ```python block of the README stands alone. It imports what it
uses, builds its own indexes and checks its claims with `assert`, so a reader
can paste any one of them into an interpreter. Each block runs here in a fresh
namespace; line numbers in a failure point into README.md.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"

_FENCE = re.compile(r"^```(\S*)\s*$")


@dataclass(frozen=True)
class Block:
    language: str
    line: int  # line of README.md on which the code starts (1-based)
    code: str


def fenced_blocks(text: str) -> list[Block]:
    """Every fenced code block of a Markdown text, in order."""
    blocks: list[Block] = []
    language: str | None = None
    start = 0
    body: list[str] = []
    for number, line in enumerate(text.splitlines(), start=1):
        match = _FENCE.match(line)
        if language is None:
            if match:
                language, start, body = match.group(1), number + 1, []
        elif line.strip() == "```":
            blocks.append(Block(language, start, "\n".join(body) + "\n"))
            language = None
        else:
            body.append(line)
    if language is not None:
        raise ValueError(f"README.md: code block opened on line {start - 1} is never closed")
    return blocks


def python_blocks() -> list[Block]:
    return [b for b in fenced_blocks(README.read_text(encoding="utf-8")) if b.language == "python"]


def run_block(block: Block) -> None:
    # Pad with empty lines so tracebacks carry README line numbers.
    source = "\n" * (block.line - 1) + block.code
    exec(compile(source, str(README), "exec"), {"__name__": "__readme__"})


BLOCKS = python_blocks()


def test_fence_parser_reads_languages_lines_and_bodies():
    text = "intro\n```python\na = 1\n\nb = 2\n```\ntext\n```bash\nls\n```\n```\nplain\n```\n"
    blocks = fenced_blocks(text)
    assert blocks == [
        Block("python", 3, "a = 1\n\nb = 2\n"),
        Block("bash", 9, "ls\n"),
        Block("", 12, "plain\n"),
    ]
    with pytest.raises(ValueError, match="line 2"):
        fenced_blocks("x\n```python\nopen = True\n")


def test_readme_has_the_examples_it_promises():
    # A parser that silently finds nothing would make every example "pass".
    assert len(BLOCKS) >= 10
    text = README.read_text(encoding="utf-8")
    for heading in ("## Quickstart: PyFlat", "## Quickstart: PyHNSW", "## Metadata and filters",
                    "## numpy input", "## Behaviours that surprise people", "## Performance"):
        assert heading in text


def test_readme_commands_name_scripts_that_exist():
    text = README.read_text(encoding="utf-8")
    commands = [b for b in fenced_blocks(text) if b.language == "bash"][0].code
    for script in ("scripts/demo.sh", "scripts/test.sh"):
        assert f"bash {script}" in commands
        assert (README.parent / script).is_file()


@pytest.mark.parametrize("block", BLOCKS, ids=[f"README.md:{b.line}" for b in BLOCKS])
def test_example(block: Block):
    run_block(block)


GRAPH_BLOCKS = [b for b in BLOCKS if "PyHNSW" in b.code]


@pytest.mark.parametrize("block", GRAPH_BLOCKS, ids=[f"README.md:{b.line}" for b in GRAPH_BLOCKS])
def test_graph_example_holds_for_any_level_draw(block: Block):
    # PyHNSW draws each node's level from a generator seeded by the operating
    # system, so every run builds a different graph; the examples must not
    # depend on the draw.
    for _ in range(20):
        run_block(block)
