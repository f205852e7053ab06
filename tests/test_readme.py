"""Every Python example of the README runs as written and prints what its comments say."""

import importlib.util
import re
from pathlib import Path

import pytest

from conftest import run_python

README = Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.DOTALL)


def printed(block):
    """What the block's print() calls promise, from their trailing comments: '# 1 0.775 5 12'."""
    return [line.split("# ", 1)[1].split(":")[0] for line in block.splitlines() if "print(" in line and "# " in line]


@pytest.mark.parametrize("block", BLOCKS, ids=[f"block {i + 1}" for i in range(len(BLOCKS))])
def test_readme_example_runs(block, tmp_path):
    if "import ray" in block and importlib.util.find_spec("ray") is None:
        pytest.skip("Ray is not installed here")
    process = run_python(block, cwd=tmp_path)
    assert process.returncode == 0, process.stderr
    shown = [line for line in process.stdout.splitlines() if line]
    for got, promised in zip(shown, printed(block), strict=True):
        assert got.startswith(promised.strip()), (got, promised)
