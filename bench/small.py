"""A search of a small index: ShardedMurvex against the murvex module on the same 100 records.

    python bench/small.py [--out docs/benchmarks.md]

Each query of the benchmark's mix (`bench/queries.py`, drawn from these
records) is searched 20,000 times in a row, the best
of 7 such rounds per query; the table gives the median over the queries of
the time per search (and of each query's time over the module's), and the
same for the queries that find nothing and for those that find something.
Writes the "small" section of docs/benchmarks.md.
"""

import argparse
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent
sys.path[:0] = [str(ROOT), str(ROOT.parent / "examples")]

import corpus  # noqa: E402
import murvex  # noqa: E402
import report  # noqa: E402
from murvex_tools import ShardedMurvex, _native  # noqa: E402
from queries import query_mix  # noqa: E402

RECORDS = 100
CALLS = 20_000


def per_call_us(search, query):
    best = float("inf")
    for _ in range(7):
        began = time.perf_counter()
        for _ in range(CALLS):
            search(query)
        best = min(best, time.perf_counter() - began)
    return best / CALLS * 1e6


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", type=Path, default=ROOT.parent / "docs" / "benchmarks.md")
    args = parser.parse_args()
    records = [{"id": i, "text": corpus.text_of(r)} for i, r in zip(range(RECORDS), corpus.records(), strict=False)]
    queries = query_mix([r["text"] for r in records])
    module = murvex.Murvex()
    module.add(records)
    engines = {"murvex.Murvex": module.search}
    for workers in (1, 2):
        index = ShardedMurvex(workers=workers)
        index.add(records)
        engines[f"ShardedMurvex, workers={workers}"] = index.search
    words = ShardedMurvex(workers=1, words=True)
    words.add(records)
    engines["ShardedMurvex, words mode"] = words.search
    hits = {q: len(module.search(q)) for q in queries}
    groups = {
        "all queries": list(queries),
        "no hit": [q for q in queries if hits[q] == 0],
        "hits": [q for q in queries if hits[q] > 0],
    }
    times = {name: {q: per_call_us(search, q) for q in queries} for name, search in engines.items()}
    base = times["murvex.Murvex"]
    rows = []
    for name, own in times.items():
        cells = []
        for group in groups.values():
            us = statistics.median(own[q] for q in group)
            ratio = statistics.median(own[q] / base[q] for q in group)
            cells.append(f"{us:.2f} µs ({ratio:.2f})")
        rows.append((name, *cells))
        print(rows[-1], flush=True)
    lines = [
        "## A small index: one search of 100 records",
        "",
        f"Made by `bench/small.py` on {time.strftime('%Y-%m-%d')}: {report.machine()}; "
        f"kernel form {_native.kernels()[0]}. The {len(queries)} queries of `bench/queries.py` over the first "
        f"{RECORDS} records of the benchmark corpus (drawn from them); per search, the median over the "
        "queries (and of each query's time over the module's); an index of so few records searches on the "
        "calling thread.",
        "",
        *report.table(["engine", *(f"{k} ({len(v)})" for k, v in groups.items())], rows),
    ]
    report.write_section(args.out, "small", lines)


if __name__ == "__main__":
    main()
