"""The shipped type stubs match the module, and the examples pass mypy --strict."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
pytestmark = pytest.mark.installed


def run(*args):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=ROOT, timeout=300)


def test_stubs_match_the_runtime_module():
    process = run("mypy.stubtest", "murvex")
    assert process.returncode == 0, process.stdout + process.stderr


def test_examples_type_check_strictly():
    process = run("mypy", "--strict", "--no-incremental", "examples/quickstart.py", "examples/sharded.py")
    assert process.returncode == 0, process.stdout + process.stderr


def test_the_installed_tools_package_is_typed_and_type_checks_strictly():
    import murvex_tools

    package = Path(murvex_tools.__file__).parent
    assert (package / "py.typed").is_file()
    process = run("mypy", "--strict", "--no-incremental", "-p", "murvex_tools")
    assert process.returncode == 0, process.stdout + process.stderr
    pyright = shutil.which("pyright", path=str(Path(sys.executable).parent))
    if pyright is not None:
        checked = subprocess.run(
            [pyright, "--pythonpath", sys.executable, str(package)], capture_output=True, text=True, timeout=300
        )
        assert checked.returncode == 0, checked.stdout + checked.stderr


MISUSE = """
import murvex

engine = murvex.Murvex()
engine.search(5)  # error: not a str
engine.max_errors = "two"  # error: not an int
engine.count = 3  # error: read-only
threshold: float = engine.threshold  # error: write-only, nothing usable to read
try:
    murvex.SearchResult()  # raises at run time; the lines after it are still checked
except TypeError:
    pass
engine.remove("1")  # error: not an int
engine.search(query="x", max_error=1)  # error: no such argument
"""
MISUSE_ERRORS = 6


def test_stubs_catch_misuse_with_mypy(tmp_path):
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE)
    process = run("mypy", "--strict", "--no-incremental", "--warn-unreachable", str(misuse))
    assert process.returncode == 1
    assert process.stdout.count("error:") == MISUSE_ERRORS, process.stdout


def test_stubs_catch_misuse_with_pyright(tmp_path):
    pyright = shutil.which("pyright", path=str(Path(sys.executable).parent))
    if pyright is None:
        pytest.skip("pyright is not installed here (it comes with the test extra)")
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE)
    process = subprocess.run(
        [pyright, "--pythonpath", sys.executable, str(misuse)], capture_output=True, text=True, timeout=300
    )
    assert process.stdout.count(" - error:") == MISUSE_ERRORS, process.stdout + process.stderr


TOOLS_MISUSE = """
from murvex_tools import ShardedMurvex

index = ShardedMurvex()
index.add_texts("libreoffice")  # error: a str is not a list of texts
index.add_texts(["libreoffice"])
index.add_texts(text for text in ["libreoffice"])
index.search_many("libreofice")  # error: a str is not a list of queries
index.search_frame("libreofice")  # error
index.search_many(("libreofice",))
"""
TOOLS_MISUSE_ERRORS = 3


def test_a_str_for_a_list_of_texts_or_queries_is_flagged(tmp_path):
    misuse = tmp_path / "tools_misuse.py"
    misuse.write_text(TOOLS_MISUSE)
    process = run("mypy", "--strict", "--no-incremental", str(misuse))
    assert process.stdout.count("error:") == TOOLS_MISUSE_ERRORS, process.stdout
    pyright = shutil.which("pyright", path=str(Path(sys.executable).parent))
    if pyright is not None:
        checked = subprocess.run(
            [pyright, "--pythonpath", sys.executable, str(misuse)], capture_output=True, text=True, timeout=300
        )
        assert checked.stdout.count(" - error:") == TOOLS_MISUSE_ERRORS, checked.stdout + checked.stderr
