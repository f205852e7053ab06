"""The shipped type stubs match the module, and the examples pass mypy --strict."""

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


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

    assert (Path(murvex_tools.__file__).parent / "py.typed").is_file()
    process = run("mypy", "--strict", "--no-incremental", "-p", "murvex_tools")
    assert process.returncode == 0, process.stdout + process.stderr


def test_stubs_catch_misuse(tmp_path):
    misuse = tmp_path / "misuse.py"
    misuse.write_text(
        "import murvex\nengine = murvex.Murvex()\nengine.search(5)\nengine.max_errors = 'two'\nengine.count = 3\n"
    )
    process = run("mypy", "--strict", "--no-incremental", str(misuse))
    assert process.returncode == 1
    assert process.stdout.count("error:") == 3, process.stdout
