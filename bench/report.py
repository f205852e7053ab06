"""docs/benchmarks.md is written in sections, one per benchmark script, so each can be rerun alone."""

import os
import platform
import re
import time
from pathlib import Path


def cpu_name():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def machine():
    """The CPU, core count, Python and kernel that made a figure."""
    return (
        f"{cpu_name()}, {os.cpu_count()} cores, Python {platform.python_version()}, "
        f"{platform.system()} {platform.release()} {platform.machine()}"
    )


def write_section(path, name, lines):
    """Puts `lines` between the markers of section `name` in `path`, after the other sections when new."""
    begin, end = f"<!-- {name}: begin -->", f"<!-- {name}: end -->"
    block = "\n".join([begin, *lines, end])
    text = path.read_text(encoding="utf-8") if path.exists() else "# Benchmarks\n"
    pattern = re.compile(re.escape(begin) + r".*?" + re.escape(end), re.DOTALL)
    text, found = pattern.subn(lambda _: block, text)
    if not found:
        text = text.rstrip("\n") + "\n\n" + block + "\n"
    path.write_text(text, encoding="utf-8")


def table(header, rows):
    """A Markdown table; the first column left-aligned, the others right-aligned."""
    return [
        "| " + " | ".join(header) + " |",
        "|---|" + "---:|" * (len(header) - 1),
        *["| " + " | ".join(map(str, row)) + " |" for row in rows],
    ]


def best_seconds(run, repeats=1):
    """The least time `run()` took in `repeats` calls."""
    best = float("inf")
    for _ in range(repeats):
        began = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - began)
    return best
