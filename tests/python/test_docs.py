"""Every Python block of the README and of the pages in docs/ runs as written: each in a fresh
interpreter, as a script in a folder of its own. A block whose fence reads ```python cluster
starts a Dask cluster of its own and runs under the `cluster` mark."""

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]


def python_blocks(page):
    """(first line, words after the language, code) of each fenced Python block of `page`."""
    lines = page.read_text().splitlines()
    found, opened = [], None
    for number, line in enumerate(lines, 1):
        if not line.startswith("```"):
            continue
        if opened is None:
            opened, words = number, line[3:].split()
            continue
        if words[:1] in (["python"], ["py"]):
            found.append((opened + 1, words[1:], "\n".join(lines[opened:number - 1]) + "\n"))
        opened = None
    if opened is not None:
        raise ValueError(f"{page.name}: the block opened on line {opened} is never closed")
    return found


BLOCKS = [pytest.param(code, id=f"{page.name}:{line}",
                       marks=[pytest.mark.cluster] if "cluster" in words else [])
          for page in PAGES for line, words, code in python_blocks(page)]


def test_blocks_are_found_on_the_pages_that_have_them():
    pages = {block.id.split(":")[0] for block in BLOCKS}
    assert {"README.md", "estimators.md", "cluster.md", "model-format.md"} <= pages


@pytest.mark.parametrize("code", BLOCKS)
def test_block_runs_as_written(code, tmp_path):
    script = tmp_path / "example.py"
    script.write_text(code)
    done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True,
                          text=True, timeout=180)
    assert done.returncode == 0, done.stderr[-4000:]
