"""Getting records in: dicts, str, Arrow tables and saved indexes, the command line against ugrep, and a fuzzy
join, over 1,000,000 generated records (examples/corpus.py).

    python bench/ingest.py                   every figure, ratios from runs timed in turn (best of 3)
    python bench/ingest.py --records 200000  smaller

Each ratio is the dict route's time over the other route's, both timed in the
same run, in turn, after one untimed run of each. Peak memory of add_frame is measured in a child process
(the table built first; its peak over the index it leaves behind).
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE.parent / "examples")]

import corpus  # noqa: E402
from murvex_tools import ShardedMurvex, fuzzy_join  # noqa: E402


def best_of(runs: int, work: Callable[[], object]) -> float:
    best = float("inf")
    for _ in range(runs):
        gc.collect()
        began = time.perf_counter()
        work()
        best = min(best, time.perf_counter() - began)
    return best


def status(name: str) -> int:
    """A figure of /proc/self/status in bytes (VmRSS, VmHWM)."""
    with open("/proc/self/status", encoding="ascii") as lines:
        return next(int(line.split()[1]) * 1024 for line in lines if line.startswith(name + ":"))


def cpu_name() -> str:
    with open("/proc/cpuinfo", encoding="ascii", errors="replace") as info:
        for line in info:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor()


FRAME_PEAK = """
import json, sys, pyarrow as pa
from murvex_tools import ShardedMurvex
table = pa.ipc.open_file(sys.argv[1]).read_all()
def status(name):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) * 1024 for line in lines if line.startswith(name + ":"))
with open("/proc/self/clear_refs", "w") as refs:
    refs.write("5")  # the peak starts again from now
before = status("VmRSS")
index = ShardedMurvex()
index.add_frame(table, id_column="id")
print(json.dumps({"index": status("VmRSS") - before, "peak_over": status("VmHWM") - before}))
"""


def frame_peak(table: object, folder: Path) -> dict[str, int]:
    import pyarrow as pa

    path = folder / "table.arrow"
    with pa.ipc.new_file(str(path), table.schema) as writer:  # type: ignore[attr-defined]
        writer.write_table(table)
    done = subprocess.run([sys.executable, "-c", FRAME_PEAK, str(path)], capture_output=True, text=True, check=True)
    return json.loads(done.stdout)  # type: ignore[no-any-return]


def command_time(command: list[str], runs: int = 3) -> float:
    return best_of(runs, lambda: subprocess.run(command, capture_output=True, check=False))


def join_figures(table: Any, texts: list[str]) -> tuple[str, str]:
    """fuzzy_join of 10,000 rows (the first 24 characters of records spread over the table) against it."""
    import pyarrow as pa

    left = pa.table({"name": [texts[i][:24] for i in range(0, len(texts), max(1, len(texts) // 10_000))][:10_000]})
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # the peak starts again from now
    before = status("VmRSS")
    began = time.perf_counter()
    joined = fuzzy_join(left, table, left_on="name", right_on=[c for c in table.column_names if c != "id"], workers=2)
    took = time.perf_counter() - began
    grown = status("VmHWM") - before
    return (
        f"fuzzy_join {left.num_rows:,} x {table.num_rows:,} rows, workers=2",
        f"{took:.1f} s, {joined.num_rows:,} matches, peak {grown / 2**20:.0f} MiB over the tables",
    )


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--lines", help="a large text file for the command line against ugrep -Z2")
    args = parser.parse_args()
    import pyarrow as pa

    print(f"{cpu_name()}, {os.cpu_count()} CPUs, Linux {platform.release()}, Python {platform.python_version()}")
    records = corpus.records(args.records)
    texts = [corpus.text_of(record) for record in records]
    ids = [record["id"] for record in records]
    # Every field of every kind of record a column (from_pylist alone would keep the first record's only).
    fields = list(dict.fromkeys(key for record in records[:1000] for key in record))
    table = pa.Table.from_pylist(
        records, schema=pa.schema([(key, pa.int64() if key == "id" else pa.string()) for key in fields])
    )
    text_bytes = sum(len(text.encode()) for text in texts)
    rows: list[tuple[str, str]] = []

    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        saved = folder / "index.murvex"
        index = ShardedMurvex()
        index.add_texts(texts, ids)
        index.save(saved)
        del index
        routes: dict[str, Callable[[], object]] = {
            "add of the dicts": lambda: ShardedMurvex().add(records),
            "add_texts of the same records' texts": lambda: ShardedMurvex().add_texts(texts, ids),
            "add_frame of a pyarrow table of them": lambda: ShardedMurvex().add_frame(table, id_column="id"),
            "load of the saved index": lambda: ShardedMurvex.load(saved),
            "load of the saved index, mapped": lambda: ShardedMurvex.load(saved, mapped=True),
        }
        best = dict.fromkeys(routes, float("inf"))
        for route in routes.values():
            route()  # untimed: a process's first touch of fresh memory costs up to 3x on a virtual machine
        for _ in range(3):  # in turn, so that drift hits every route alike
            for name, route in routes.items():
                best[name] = min(best[name], best_of(1, route))
        dicts = best.pop("add of the dicts")
        rows.append((f"add of {args.records:,} dicts", f"{dicts * 1000:.0f} ms"))
        rows += [(name, f"{took * 1000:.0f} ms, {dicts / took:.2f}x the dicts") for name, took in best.items()]
        file_bytes = saved.stat().st_size
        rows += [
            ("saved file / text bytes", f"{file_bytes / text_bytes:.3f}"),
            *(
                (f"{name}, file bytes a second", f"{file_bytes / best[name] / 1e9:.2f} GB/s")
                for name in ("load of the saved index", "load of the saved index, mapped")
            ),
        ]
        peak = frame_peak(table, folder)
        rows.append(("add_frame peak memory / final index", f"{(peak['peak_over']) / max(peak['index'], 1):.2f}"))

        lines = Path(args.lines) if args.lines else folder / "records.txt"
        if not args.lines:
            lines.write_text("\n".join(texts) + "\n", encoding="utf-8")
        murvex = [sys.executable, "-m", "murvex_tools", "search", "-c", str(lines), "stainles steel"]
        ours = command_time(murvex)
        rows.append((f"murvex search -c over {lines.name} (load + 1 query)", f"{ours * 1000:.0f} ms"))
        if shutil.which("ugrep"):  # -i: murvex folds case, so ugrep is asked to as well
            for flags in (["-Z2", "-i"], ["-Z2"]):
                theirs = command_time(["ugrep", *flags, "-c", "stainles steel", str(lines)])
                rows.append((f"  / ugrep {' '.join(flags)} -c on the same file", f"{ours / theirs:.2f}x"))
        jsonl = folder / "records.jsonl"
        with open(jsonl, "w", encoding="utf-8") as out:
            for record in records:
                out.write(json.dumps(record) + "\n")
        murvex[-2] = str(jsonl)
        rows.append((f"murvex search -c over {args.records:,} JSON Lines", f"{command_time(murvex) * 1000:.0f} ms"))

    rows.append(join_figures(table, texts))
    for name, value in rows:
        print(f"{name:52} {value}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
