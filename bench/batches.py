"""Batches of queries: search_many against a loop of search, per query, by batch size, records and workers.

    python bench/batches.py [--sizes 100000,1000000] [--out docs/benchmarks.md]

search_many runs its queries in batches that read each group of lane blocks
(about 256 KiB, an L2 cache's worth) once for the whole batch. This measures,
on generated records of about 110 bytes (`examples/corpus.py`):

- the time per query by batch size (how many queries one search_many call
  gets; 1 is a loop of search) on 1 and 2 workers, for short queries (4-12
  bytes, most with a typo) and long ones (20-32 bytes), at each size;
- at 1,000,000 records: 1,000 short queries as one search_many against a loop
  of search; fuzzy_join of 10,000 short rows against the loop it replaced;
  two workers against one for long queries, also beside a process that
  streams a 1 GB array (a memory-bound neighbour); a words-mode query of
  three words against one word of the same length.

Writes the "batches" section of docs/benchmarks.md.
"""

import argparse
import multiprocessing
import random
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent
sys.path[:0] = [str(ROOT), str(ROOT.parent / "examples")]

import corpus  # noqa: E402
import report  # noqa: E402
from murvex_tools import ShardedMurvex, _native, fuzzy_join  # noqa: E402
from queries import _typo  # noqa: E402

BATCHES = (1, 2, 4, 8, 64, 256)


def short_queries(texts, count, seed=3):
    rng = random.Random(seed)
    queries = []
    while len(queries) < count:
        word = rng.choice(rng.choice(texts).split()).strip(",.")
        if 4 <= len(word.encode()) <= 12:
            queries.append(_typo(rng, word) if len(word) > 5 and rng.random() < 0.7 else word)
    return queries


def long_queries(texts, count, seed=5):
    rng = random.Random(seed)
    queries = []
    while len(queries) < count:
        text = rng.choice(texts)
        at = rng.randrange(max(1, len(text) - 32))
        query = text[at : at + rng.randrange(20, 33)]
        if 20 <= len(query.encode()) <= 32:
            queries.append(query)
    return queries


def per_query_ms(index, queries, batch, workers):
    """Milliseconds per query when `queries` go to search_many `batch` at a time (1: a loop of search)."""
    if batch == 1:
        total = report.best_seconds(lambda: [index.search(q, workers=workers) for q in queries])
    else:
        total = report.best_seconds(
            lambda: [index.search_many(queries[i : i + batch], workers=workers) for i in range(0, len(queries), batch)]
        )
    return total / len(queries) * 1000


def stream_memory(stop):
    """A memory-bound neighbour: copies a 1 GB array back and forth until told to stop."""
    import numpy as np

    a = np.ones(1 << 27)  # 1 GiB of float64
    b = np.empty_like(a)
    while not stop.is_set():
        np.copyto(b, a)
        np.copyto(a, b)


def two_workers(index, queries):
    one = report.best_seconds(lambda: index.search_many(queries, workers=1), 2)
    two = report.best_seconds(lambda: index.search_many(queries, workers=2), 2)
    return one, two


def batch_rows(size, index, short, long_):
    rows = []
    for name, queries in (("short", short[:256]), ("long", long_)):
        for workers in (1, 2):
            cells = [per_query_ms(index, queries, batch, workers) for batch in BATCHES]
            rows.append((f"{size:,}", name, workers, *(f"{ms:.2f} ({cells[0] / ms:.2f}x)" for ms in cells)))
            print(rows[-1], flush=True)
    return rows


def worker_targets(index, short, long_):
    targets = []
    for workers in (1, 2):
        loop = per_query_ms(index, short, 1, workers)
        many = per_query_ms(index, short, len(short), workers)
        targets.append(
            (
                f"search_many of 1,000 short queries, workers={workers}",
                f"{loop:.2f} -> {many:.2f} ms per query",
                f"{loop / many:.2f}x",
            )
        )
    one, two = two_workers(index, long_)
    targets.append(
        ("search_many of 256 long queries, 2 workers against 1", f"{one:.2f} s -> {two:.2f} s", f"{one / two:.2f}x")
    )
    stop = multiprocessing.Event()
    neighbour = multiprocessing.Process(target=stream_memory, args=(stop,))
    neighbour.start()
    time.sleep(2)  # its array made
    try:
        one, two = two_workers(index, long_)
    finally:
        stop.set()
        neighbour.join()
    targets.append(
        ("the same beside a process streaming a 1 GB array", f"{one:.2f} s -> {two:.2f} s", f"{one / two:.2f}x")
    )
    return targets


def join_target(texts):
    import pyarrow as pa

    rows_left = short_queries(texts, 10_000, seed=11)
    left, right = pa.table({"name": rows_left}), pa.table({"text": texts})
    joined = report.best_seconds(lambda: fuzzy_join(left, right, left_on="name", right_on="text", workers=1))
    index = ShardedMurvex(max_results=1, workers=1)
    index.add_texts(texts)
    sample = rows_left[:1000]
    loop = report.best_seconds(lambda: [index.search(q) for q in sample]) * len(rows_left) / len(sample)
    built = report.best_seconds(lambda: ShardedMurvex(max_results=1, workers=1).add_frame(right, "text", row_ids=True))
    return (
        "fuzzy_join of 10,000 short rows, workers=1 (before: a loop of search, estimated from 1,000)",
        f"{built + loop:.1f} s -> {joined:.1f} s",
        f"{(built + loop) / joined:.2f}x",
    )


def words_target(texts):
    words = ShardedMurvex(workers=1, words=True)
    words.add_texts(texts)
    rng = random.Random(17)
    three, one_word = [], []
    while len(three) < 100:
        found = [w.strip(",.") for w in rng.choice(texts).split() if 4 <= len(w.strip(",.")) <= 9]
        if len(found) >= 3:
            picked = [_typo(rng, w) for w in rng.sample(found, 3)]
            if len(" ".join(picked).encode()) <= 32:
                three.append(" ".join(picked))
                one_word.append("".join(picked) + "x")  # the same length, one word
    t3 = statistics.median(report.best_seconds(lambda q=q: words.search(q), 3) for q in three)
    t1 = statistics.median(report.best_seconds(lambda q=q: words.search(q), 3) for q in one_word)
    return (
        "a words-mode query of three words against one word of its length",
        f"{t1 * 1000:.2f} -> {t3 * 1000:.2f} ms",
        f"{t3 / t1:.2f}x",
    )


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="100000,1000000")
    parser.add_argument("--out", type=Path, default=ROOT.parent / "docs" / "benchmarks.md")
    args = parser.parse_args()
    rows, targets = [], []
    for size in [int(s) for s in args.sizes.split(",")]:
        texts = [corpus.text_of(r) for r in corpus.records(size)]
        short, long_ = short_queries(texts, 1000), long_queries(texts, 256)
        index = ShardedMurvex(workers=1)
        index.add_texts(texts)
        rows += batch_rows(size, index, short, long_)
        if size == 1_000_000:
            targets += worker_targets(index, short, long_)
            del index
            targets += [join_target(texts), words_target(texts)]
            for target in targets:
                print(target, flush=True)
    lines = [
        "## Batches of queries: search_many",
        "",
        f"Made by `bench/batches.py` on {time.strftime('%Y-%m-%d')}: {report.machine()}; "
        f"kernel form {_native.kernels()[0]}. Generated records of about 110 bytes; short queries are words "
        "of 4-12 bytes from the records, most with a typo, long ones 20-32 bytes of a record. Milliseconds "
        "per query by how many queries one search_many call gets (1: a loop of search), and in brackets how "
        "much faster than that loop; search_many runs 64 queries at most in one batch, each batch reading "
        "every group of about 256 KiB of lanes once for all of them, and in the strict mode the queries that "
        "read many lanes of a block share passes of the kernel (four at a time with AVX-512, two with AVX2).",
        "",
        *report.table(["records", "queries", "workers", *(f"batch {b}" for b in BATCHES)], rows),
    ]
    if targets:
        lines += ["", *report.table(["at 1,000,000 records", "time", "ratio"], targets)]
    report.write_section(args.out, "batches", lines)


if __name__ == "__main__":
    main()
