"""Past one engine and one core: ShardedMurvex and RayMurvex on millions of records.

    make bench-scale      (or: python bench/scale.py [--sizes 1000000,5000000] [--actors 2])

One process and one run: the in-process index and a RayMurvex on a local Ray
are measured on the same records, so their ratios compare like with like.
Writes the "scale" section of docs/benchmarks.md.
"""

import argparse
import gc
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "examples"), str(ROOT / "bench")]

import corpus  # noqa: E402
import murvex  # noqa: E402
import queries as query_module  # noqa: E402
import report  # noqa: E402
from murvex_tools import RayMurvex, ShardedMurvex  # noqa: E402


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


EVICTION = bytearray(64 << 20)  # larger than any L3 cache here


def search_times(index, mix, repeats=3, cold=False):
    """Best of `repeats` per query, in milliseconds; `cold`: with the CPU caches emptied before each."""
    times = []
    for query in mix:
        best = float("inf")
        for _ in range(repeats):
            if cold:
                bytes(EVICTION)  # reads and writes 128 MB: nothing of the index stays cached
            began = time.perf_counter()
            index.search(query)
            best = min(best, time.perf_counter() - began)
        times.append(best * 1000)
    return times


class EnginesOnly:
    """The shards of a ShardedMurvex searched one after another, without the merge."""

    def __init__(self, index):
        self.engines = index._engines  # a benchmark's look inside

    def search(self, query):
        for engine in self.engines:
            engine.search(query)


def measure(make_index, records, mix, memory):
    index = make_index()
    gc.collect()
    before = memory(index)
    began = time.perf_counter()
    added = index.add(records)
    add_s = time.perf_counter() - began
    assert added == len(records), (added, len(records))
    grown = memory(index) - before
    times = search_times(index, mix)
    figures = {"add_s": add_s, "p50": statistics.median(times), "worst": max(times), "memory": grown}
    if isinstance(index, ShardedMurvex):
        figures["engines_p50"] = statistics.median(search_times(EnginesOnly(index), mix))
    return index, figures


def section(results, base_p50, cold_p50, text_bytes, mix, *, actors):
    """The "scale" section of docs/benchmarks.md."""
    sizes = list(results)
    rows = []
    for size, (local, remote) in results.items():
        ray_name = f"Ray, {actors} actors (RayMurvex)"
        for name, figures in (("in-process (ShardedMurvex)", local), (ray_name, remote)):
            rows.append(
                (
                    f"{size:,}",
                    name,
                    f"{figures['add_s']:.2f} s",
                    f"{figures['p50']:.2f} ms",
                    f"{figures['worst']:.2f} ms",
                    f"{figures['memory'] / 1e6:,.0f} MB",
                )
            )
    targets = []
    if 1_000_000 in results:
        ratio = results[1_000_000][0]["p50"] / base_p50
        targets.append(("in-process p50 at 1,000,000 / one engine's p50 at 100,000", ratio, "<= 10.5", ratio <= 10.5))
        cold = results[1_000_000][0]["p50"] / cold_p50
        targets.append(("the same against one engine whose texts are not in the CPU's caches", cold, "", None))
    for size, (local, _) in results.items():
        merge = local["p50"] / local["engines_p50"]
        targets.append((f"in-process p50 / its engines' searches alone at {size:,} (the merge)", merge, "", None))
    for size, (local, remote) in results.items():
        speedup = local["p50"] / remote["p50"]
        add_ratio = remote["add_s"] / local["add_s"]
        if size == 5_000_000 or size == max(sizes):
            targets.append((f"Ray search speed-up over in-process at {size:,}", speedup, ">= 1.6", speedup >= 1.6))
            targets.append((f"Ray add / in-process add at {size:,}", add_ratio, "<= 2", add_ratio <= 2))
    lines = [
        "## More than 100,000 records",
        "",
        f"Made by `make bench-scale` on {time.strftime('%Y-%m-%d')}: {report.machine()}. "
        f"Generated records (`examples/corpus.py`, {text_bytes:.0f} bytes of text each on average), "
        f"the {len(mix)} queries of `bench/queries.py`, best of 3 per query. "
        f"One engine over the first 100,000 records: p50 {base_p50:.2f} ms; {cold_p50:.2f} ms with the CPU's caches "
        "emptied before each search (one engine's 13 MB fit in this CPU's 32 MB L3 cache, ten engines do not). "
        f"Ray: a local Ray with {actors} CPUs in the same run; memory is the growth of the "
        "process (in-process) or of the actors together (Ray) while adding.",
        "",
        *report.table(("records", "index", "add", "search p50", "worst", "memory"), rows),
        "",
        *report.table(
            ("target", "measured", "aim", ""),
            [
                (name, f"{value:.2f}", aim, "" if met is None else "met" if met else "not met")
                for name, value, aim, met in targets
            ],
        ),
    ]
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="1000000,5000000")
    parser.add_argument("--actors", type=int, default=2)
    parser.add_argument("--out", type=Path, default=ROOT / "docs" / "benchmarks.md")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    import ray

    began = time.perf_counter()
    records = corpus.records(max(sizes))
    print(f"generated {len(records):,} records in {time.perf_counter() - began:.1f} s; {report.machine()}")
    text_bytes = sum(len(corpus.text_of(r).encode()) for r in records[:100_000]) / 100_000
    mix = query_module.query_mix([corpus.text_of(r) for r in records[:100_000]])

    one = murvex.Murvex()
    one.add(records[:100_000])
    base_p50 = statistics.median(search_times(one, mix))
    cold_p50 = statistics.median(search_times(one, mix, cold=True))
    del one

    # In-process first, before Ray's processes start and take CPU time.
    local = {}
    for size in sizes:
        sharded, local[size] = measure(ShardedMurvex, records[:size], mix, lambda _: rss())
        del sharded
        gc.collect()
    ray.init(num_cpus=args.actors, include_dashboard=False, log_to_driver=False)
    time.sleep(5)  # let the workers Ray starts ahead of time settle
    results = {}
    for size in sizes:
        with RayMurvex(actors=args.actors) as remote_index:
            remote_index.add({"t": "warm up"})  # the actors start now, not inside the timed add
            remote_index.reset()
            _, remote = measure(
                lambda index=remote_index: index, records[:size], mix, lambda index: sum(index.memory())
            )
        results[size] = (local[size], remote)
        loc = local[size]
        print(
            f"{size:>10,}  in-process add {loc['add_s']:.2f} s, p50 {loc['p50']:.2f} ms, "
            f"worst {loc['worst']:.2f} ms, {loc['memory'] / 1e6:.0f} MB | "
            f"Ray add {remote['add_s']:.2f} s, p50 {remote['p50']:.2f} ms, worst {remote['worst']:.2f} ms, "
            f"{remote['memory'] / 1e6:.0f} MB | search speed-up {loc['p50'] / remote['p50']:.2f}x"
        )
    ray.shutdown()

    lines = section(results, base_p50, cold_p50, text_bytes, mix, actors=args.actors)
    report.write_section(args.out, "scale", lines)
    print(f"wrote the scale section of {args.out}")


if __name__ == "__main__":
    main()
