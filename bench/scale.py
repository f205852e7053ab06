"""Past one engine and one core: ShardedMurvex on 1 and 2 workers and RayMurvex on millions of records.

    make bench-scale      (or: python bench/scale.py [--sizes 1000000,5000000] [--actors 2])

One process and one run: one engine, the in-process index on one and on two
workers, and a RayMurvex on a local Ray are measured on the same records, so
their ratios compare like with like. The C++ benchmark's `scale` mode adds the
same figures without Python (prefetching, small stores). Writes the "scale"
section of docs/benchmarks.md.
"""

import argparse
import gc
import json
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "examples"), str(ROOT / "bench")]

import corpus  # noqa: E402
import murvex  # noqa: E402
import queries as query_module  # noqa: E402
import report  # noqa: E402
from murvex_tools import RayMurvex, ShardedMurvex, _native  # noqa: E402


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


EVICTION = bytearray(128 << 20)  # larger than any L3 cache here


def search_times(index, mix, repeats=3, cold=False):
    """Best of `repeats` per query, in milliseconds; `cold`: with the CPU caches emptied before each."""
    times = []
    for query in mix:
        best = float("inf")
        for _ in range(repeats):
            if cold:
                bytes(EVICTION)  # reads and writes 256 MB: nothing of the index stays cached
            began = time.perf_counter()
            index.search(query)
            best = min(best, time.perf_counter() - began)
        times.append(best * 1000)
    return times


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
    return index, {"add_s": add_s, "p50": statistics.median(times), "worst": max(times), "memory": grown}


def interleaved_p50(first, second, mix, repeats=3):
    """The p50s of two indexes over the mix, each query timed on both in turn (best of `repeats`), so that
    the machine's drift hits both alike."""
    times = ([], [])
    for query in mix:
        best = [float("inf"), float("inf")]
        for _ in range(repeats):
            for i, index in enumerate((first, second)):
                began = time.perf_counter()
                index.search(query)
                best[i] = min(best[i], time.perf_counter() - began)
        for i in (0, 1):
            times[i].append(best[i] * 1000)
    return statistics.median(times[0]), statistics.median(times[1])


def batch_speedup(records, mix, count=1000, repeats=3):
    """search_many of `count` queries on 2 workers against a loop of search on one, on 100,000 records:
    best of `repeats`, the two timed in turn."""
    index = ShardedMurvex(workers=1)
    index.add(records[:100_000])
    batch = (mix * (count // len(mix) + 1))[:count]
    loop_s = many_s = float("inf")
    for _ in range(repeats):
        began = time.perf_counter()
        for query in batch:
            index.search(query)
        loop_s = min(loop_s, time.perf_counter() - began)
        began = time.perf_counter()
        index.search_many(batch, workers=2)
        many_s = min(many_s, time.perf_counter() - began)
    return loop_s, many_s


def kernel_scale(binary, records, mix):
    """The C++ benchmark's scale mode on the first million texts, or None without the binary."""
    if not binary.exists():
        return None
    with tempfile.TemporaryDirectory() as tmp:
        texts, queries = Path(tmp) / "texts.txt", Path(tmp) / "queries.txt"
        texts.write_text("".join(corpus.text_of(r).replace("\n", " ") + "\n" for r in records[:1_000_000]))
        queries.write_text("".join(q + "\n" for q in mix))
        out = subprocess.run([str(binary), "scale", str(texts), str(queries)], capture_output=True, text=True)
    return json.loads(out.stdout) if out.returncode == 0 else None


def section(local, remote, base, cold, batch, *, native, text_bytes, mix, actors):
    """The "scale" section of docs/benchmarks.md."""
    rows = []
    for size in local:
        for name, figures in (
            ("ShardedMurvex, workers=1", local[size][1]),
            ("ShardedMurvex, workers=2", local[size][2]),
            (f"RayMurvex, {actors} actors", remote[size]),
        ):
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
    if "interleaved" in local.get(1_000_000, {}):
        engine_p50, index_p50 = local[1_000_000]["interleaved"]
        ratio = index_p50 / engine_p50
        name = "workers=1 p50 at 1,000,000 / one warm engine's p50 at 100,000 (timed in turn)"
        targets.append((name, ratio, "<= 10.5"))
    for size in local:
        speedup = local[size][1]["p50"] / local[size][2]["p50"]
        targets.append((f"workers=2 speed-up over workers=1 at {size:,}", speedup, ">= 1.8"))
    loop_s, many_s = batch
    targets.append(("search_many of 1,000 queries on 2 workers / a loop of search", loop_s / many_s, ">= 1.8"))
    biggest = max(local)
    ray_speedup = local[biggest][1]["p50"] / remote[biggest]["p50"]
    targets.append((f"RayMurvex ({actors} actors) speed-up over workers=1 at {biggest:,}", ray_speedup, ">= 1.6"))
    ray_vs_two = local[biggest][2]["p50"] / remote[biggest]["p50"]
    targets.append((f"RayMurvex ({actors} actors) speed-up over workers=2 at {biggest:,}", ray_vs_two, ""))
    if native:
        small = native["per_byte_ns"]["100"][1]
        targets.append(("a 100-record store's cost per byte / 100,000 records' (C++, 7 rounds)", small, "<= 2"))

    def met(value, aim):
        if not aim:
            return ""
        bound = float(aim.split()[1])
        return "met" if (value <= bound if aim.startswith("<=") else value >= bound) else "not met"

    lines = [
        "## More than 100,000 records, on every core",
        "",
        f"Made by `make bench-scale` on {time.strftime('%Y-%m-%d')}: {report.machine()}; kernel form "
        f"{_native.kernels()[0]}. Generated records (`examples/corpus.py`, {text_bytes:.0f} bytes of text each on "
        f"average), the {len(mix)} queries of `bench/queries.py`, best of 3 per query. One `murvex.Murvex` over the "
        f"first 100,000 records: p50 {base:.2f} ms warm, {cold:.2f} ms with the CPU's caches emptied before each "
        f"search. Ray: a local Ray with {actors} CPUs in the same run; memory is the growth of the process "
        "(in-process) or of the actors together (Ray) while adding.",
        "",
        *report.table(("records", "index", "add", "search p50", "worst", "memory"), rows),
        "",
        *report.table(
            ("target", "measured", "aim", ""),
            [(name, f"{value:.2f}", aim, met(value, aim)) for name, value, aim in targets],
        ),
    ]
    if native:
        per_byte = native["per_byte_ns"]
        lines += [
            "",
            f"The same without Python (`murvex_kernel_bench scale`, form {native['form']}): one engine "
            f"{native['engine_warm_ms']:.2f} ms warm and {native['engine_cold_ms']:.2f} ms cold; an index of "
            f"{native['index_records']:,} records {native['index_w1_ms']:.2f} ms on one worker and "
            f"{native['index_w2_ms']:.2f} ms on two; per text byte, stores of 100, 1,000 and 100,000 records cost "
            f"{per_byte['100'][0]:.3f}, {per_byte['1000'][0]:.3f} and {per_byte['100000'][0]:.3f} ns.",
        ]
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="1000000,5000000")
    parser.add_argument("--actors", type=int, default=2)
    parser.add_argument("--kernel-bench", type=Path, default=ROOT / "build" / "bench" / "murvex_kernel_bench")
    parser.add_argument("--out", type=Path, default=ROOT / "docs" / "benchmarks.md")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    import ray

    began = time.perf_counter()
    records = corpus.records(max(sizes))
    print(f"generated {len(records):,} records in {time.perf_counter() - began:.1f} s; {report.machine()}")
    text_bytes = sum(len(corpus.text_of(r).encode()) for r in records[:100_000]) / 100_000
    mix = query_module.query_mix([corpus.text_of(r) for r in records[:100_000]])

    native = kernel_scale(args.kernel_bench, records, mix)
    one = murvex.Murvex()
    one.add(records[:100_000])
    base = statistics.median(search_times(one, mix))
    cold = statistics.median(search_times(one, mix, cold=True))
    batch = batch_speedup(records, mix)
    print(f"one engine p50 {base:.2f} ms warm, {cold:.2f} ms cold; batch of 1,000: {batch[0] / batch[1]:.2f}x")

    # In-process first, before Ray's processes start and take CPU time.
    local = {}
    for size in sizes:
        index, one_worker = measure(lambda: ShardedMurvex(workers=1), records[:size], mix, lambda _: rss())
        local[size] = {1: one_worker, "interleaved": interleaved_p50(one, index, mix)}
        index.workers = 2
        times = search_times(index, mix)
        local[size][2] = {**one_worker, "p50": statistics.median(times), "worst": max(times)}  # the same add
        two = local[size][2]
        del index
        gc.collect()
        print(f"{size:>10,}  workers=1 p50 {one_worker['p50']:.2f} ms, workers=2 p50 {two['p50']:.2f} ms")
    del one
    ray.init(num_cpus=args.actors, include_dashboard=False, log_to_driver=False)
    time.sleep(5)  # let the workers Ray starts ahead of time settle
    remote = {}
    for size in sizes:
        with RayMurvex(actors=args.actors) as remote_index:
            _, remote[size] = measure(lambda index=remote_index: index, records[:size], mix, lambda i: sum(i.memory()))
        print(f"{size:>10,}  Ray p50 {remote[size]['p50']:.2f} ms")
    ray.shutdown()

    lines = section(local, remote, base, cold, batch, native=native, text_bytes=text_bytes, mix=mix, actors=args.actors)
    report.write_section(args.out, "scale", lines)
    print("\n".join(lines))
    print(f"wrote the scale section of {args.out}")


if __name__ == "__main__":
    main()
