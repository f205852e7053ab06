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


CONSOLE = re.findall(r"```console\n(.*?)```", README.read_text(encoding="utf-8"), re.DOTALL)


def sessions(block):
    """(command, what it printed) for each '$ ' line of a console block."""
    found = []
    for line in block.splitlines():
        if line.startswith("$ "):
            found.append((line[2:].split("    #")[0].strip(), []))
        elif found:
            found[-1][1].append(line)
    return [(command, "\n".join(shown).strip()) for command, shown in found]


def steady(text):
    """Output with its timings left out."""
    return re.sub(r'in \d+\.\d+ ms|"ms": [\d.]+', "in … ms", text)


def test_readme_command_line_samples_print_what_they_show(tmp_path):
    """The command line's samples, on the files they show (one they do not show is passed over)."""
    import shlex
    import subprocess
    import sys

    checked = 0
    for command, shown in sessions(CONSOLE[0]):
        if command.startswith("cat "):
            (tmp_path / command.split()[1]).write_text(shown + "\n", encoding="utf-8")
            continue
        words = shlex.split(command.split("|")[-1])
        if any(w.endswith((".jsonl", ".csv")) and not (tmp_path / w).exists() for w in words):
            continue
        run = command.replace("murvex search", f"{shlex.quote(sys.executable)} -m murvex_tools search")
        done = subprocess.run(["bash", "-c", run], capture_output=True, text=True, cwd=tmp_path, timeout=120)
        assert steady(done.stdout.strip()) == steady(shown), command
        checked += 1
    assert checked == 3


@pytest.mark.installed
def test_the_completions_and_man_page_turn_on_as_the_readme_says():
    import subprocess
    import sys

    text = README.read_text(encoding="utf-8")
    share = Path(sys.prefix) / "share"
    for line in ("source .venv/share/bash-completion/completions/murvex", ".venv/share/zsh/site-functions"):
        assert line in text
    assert (share / "man" / "man1" / "murvex.1").is_file()
    completion = share / "bash-completion" / "completions" / "murvex"
    shown = subprocess.run(["bash", "-c", f"source {completion} && complete -p murvex"], capture_output=True, text=True)
    assert shown.returncode == 0 and shown.stdout.rstrip().endswith(" murvex"), shown.stdout + shown.stderr
