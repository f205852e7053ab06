"""murvex against the memory-scan floor and the peers a Python user would pick.

    make bench      (or: python bench/run.py [--kernel-bench PATH] [--quick])

One run, best of several repetitions for every figure. Prints tables of
ratios and writes the "main" and "kernels" sections of docs/benchmarks.md
and docs/benchmarks.png. The kernel figures come from bench/kernel_bench.cpp,
for every form of the search kernel this CPU runs; the instruction counts
from callgrind, where valgrind is installed.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "examples"), str(ROOT / "bench")]

import corpus  # noqa: E402
import murvex  # noqa: E402
import queries as query_module  # noqa: E402
import report  # noqa: E402


def best_of(repeats, body):
    best = float("inf")
    for _ in range(repeats):
        began = time.perf_counter()
        body()
        best = min(best, time.perf_counter() - began)
    return best * 1000  # milliseconds


RSS_PROBE = """
import gc, sys
sys.path.insert(0, {examples!r})
import corpus, murvex
records = corpus.records()
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
if {temporary!r}:  # a 10 MB temporary, touched and freed, as many programs have had
    temporary = bytearray(10 << 20)
    temporary[::4096] = b"x" * len(temporary[::4096])
    del temporary
gc.collect()
before = rss()
engine = murvex.Murvex()
engine.add(records)
after = rss()
print(after - before)
"""


def engine_memory(text_bytes, count, temporary=False):
    """RSS growth of a fresh process adding the corpus, and its bytes per record beyond the texts."""
    code = RSS_PROBE.format(examples=str(ROOT / "examples"), temporary=temporary)
    growth = int(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout)
    return growth, (growth - text_bytes) / count


def measure_murvex(records, mix):
    engine = murvex.Murvex()
    add_ms = best_of(3, lambda: murvex.Murvex().add(records))
    join_ms = best_of(3, lambda: [" ".join(v for v in r.values() if isinstance(v, str)) for r in records])
    engine.add(records)
    per_query = {q: best_of(7, lambda q=q: engine.search(q)) for q in mix}
    return add_ms, join_ms, per_query


def measure_interleaved(records, mix, rounds=200):
    """Milliseconds per (add one record, search) pair on a store of 100,000 minus `rounds`."""
    engine = murvex.Murvex()
    engine.add(records[:-rounds])
    extra = records[-rounds:]
    began = time.perf_counter()
    for i, record in enumerate(extra):
        engine.add(record)
        engine.search(mix[i % len(mix)])
    return (time.perf_counter() - began) * 1000 / rounds


def measure_floor(text_bytes_list):
    joined = b"".join(text_bytes_list)
    return best_of(30, lambda: joined.find(b"\x00"))


def measure_rapidfuzz(texts, sample):
    from rapidfuzz import fuzz, process

    return {q: best_of(2, lambda q=q: process.extract(q, texts, scorer=fuzz.partial_ratio, limit=50)) for q in sample}


def measure_per_record(texts, sample, subset, search_one):
    """Time per query over `subset` records, scaled to the whole corpus."""
    part = texts[:subset]
    scale = len(texts) / subset

    def run(q):
        for text in part:
            search_one(q, text)

    return {q: best_of(2, lambda q=q: run(q)) * scale for q in sample}


def measure_regex(texts, sample, subset):
    import regex

    compiled = {q: regex.compile(f"(?:{regex.escape(q)}){{e<=2}}", regex.IGNORECASE) for q in sample}
    return measure_per_record(texts, sample, subset, lambda q, text: compiled[q].search(text))


def measure_edlib(texts, sample, subset):
    import edlib

    return measure_per_record(texts, sample, subset, lambda q, text: edlib.align(q, text, mode="HW", k=2))


def run_kernel_bench(binary, mode, texts_file, queries_file, *extra):
    out = subprocess.run(
        [str(binary), mode, str(texts_file), str(queries_file), *extra], capture_output=True, text=True, check=True
    )
    return json.loads(out.stdout)


def instructions(binary, texts_file, queries_file, form):
    """callgrind's instruction count of the search alone: the whole run less one that loads and searches nothing."""
    if not shutil.which("valgrind"):
        return None

    def count(queries):
        with tempfile.TemporaryDirectory() as tmp:
            out = Path(tmp, "callgrind.out")
            subprocess.run(
                [
                    "valgrind",
                    "--tool=callgrind",
                    f"--callgrind-out-file={out}",
                    str(binary),
                    "once",
                    str(texts_file),
                    str(queries),
                    form,
                ],
                capture_output=True,
                text=True,
                check=True,
            )
            for line in out.read_text().splitlines():
                if line.startswith("summary:") or line.startswith("totals:"):
                    return int(line.split()[1])
        raise RuntimeError("no callgrind totals")

    return count(queries_file) - count(os.devnull)


def one_record_overhead():
    """Microseconds a search of a one-record engine takes beyond the call of a search that returns at once."""
    engine = murvex.Murvex()
    engine.add({"id": 1, "t": "hello world"})
    n = 100_000

    def per_call(query):
        return min(timeit.repeat(lambda: engine.search(query), number=n, repeat=5)) / n * 1e6

    bare = per_call("")
    return bare, {q: per_call(q) - bare for q in ("hello", "helol world", "zzzz")}


def kernels_section(binary, texts_file, queries_file, mix):
    """The per-form tables: the mix, the length sweep, the worst cases; and the instruction count."""
    forms_mix = run_kernel_bench(binary, "mix", texts_file, queries_file)
    sweep = run_kernel_bench(binary, "sweep", texts_file, queries_file)
    worst = run_kernel_bench(binary, "worst", texts_file, queries_file)
    memchr_ms = forms_mix["memchr_ms"]
    forms = list(forms_mix["forms"])
    lane_forms = [f for f in forms if f != "one_by_one"]
    p50 = {f: statistics.median(ts) for f, ts in forms_mix["forms"].items()}
    lines = [
        "## The search kernel, form by form",
        "",
        f"Made by `make bench` on {time.strftime('%Y-%m-%d')}: {report.machine()}. "
        f"Forms: {', '.join(forms)} (the forms this CPU runs; `automatic` takes {lane_forms[0]}). "
        "All from `bench/kernel_bench.cpp` in one run, best of 5-7 runs per query.",
        "",
        "### The query mix on the corpus",
        "",
        f"{forms_mix['records']:,} records, {forms_mix['bytes'] / 1e6:.1f} MB; one memchr pass: {memchr_ms:.3f} ms.",
        "",
        *report.table(
            ("form", "p50", "p50 / memchr", "worst", "worst / memchr", "one-by-one / form"),
            [
                (
                    f,
                    f"{p50[f]:.2f} ms",
                    f"{p50[f] / memchr_ms:.2f}",
                    f"{max(forms_mix['forms'][f]):.2f} ms",
                    f"{max(forms_mix['forms'][f]) / memchr_ms:.2f}",
                    f"{p50['one_by_one'] / p50[f]:.2f}",
                )
                for f in forms
            ],
        ),
        "",
        "### Text length sweep",
        "",
        f"About {sweep['total'] / 2**20:.0f} MiB of the corpus's text cut into records of each length "
        "(16-byte records: the 100,000 an engine holds). Time per text byte of the mix's p50, "
        "as a ratio to the 1,000-byte figure of the same form (target: every length within 1.3).",
        "",
    ]
    rows = []
    for entry in sweep["lengths"]:
        row = [f"{entry['length']:,}", f"{entry['records']:,}"]
        for f in forms:
            base = next(e for e in sweep["lengths"] if e["length"] == 1000)
            per_byte = statistics.median(entry["forms"][f]) / entry["bytes"]
            base_per_byte = statistics.median(base["forms"][f]) / base["bytes"]
            row.append(f"{statistics.median(entry['forms'][f]):.2f} ms ({per_byte / base_per_byte:.2f})")
        row.append(f"{entry['memchr_ms']:.3f} ms")
        rows.append(row)
    lines += report.table(("bytes per record", "records", *forms, "memchr"), rows)
    lines += [
        "",
        "### Worst cases",
        "",
        "Each against the p50 of the mix in the same form (target: at most 4; the dense case at "
        "max_errors 2 within 2 times its max_errors 0).",
        "",
    ]
    rows = []
    for case in worst["cases"]:
        row = [case["name"]]
        for f in forms:
            t = case["forms"][f][0]
            row.append(f"{t:.2f} ms ({t / p50[f]:.2f})")
        rows.append(row)
    lines += report.table(("case", *forms), rows)
    dense = {c["name"][-1]: c["forms"] for c in worst["cases"] if c["name"].startswith("'b'")}
    if dense:
        lines += [
            "",
            "Dense case, max_errors 2 / max_errors 0: "
            + ", ".join(f"{f} {dense['2'][f][0] / dense['0'][f][0]:.2f}" for f in forms)
            + ".",
        ]
    counted = instructions(binary, texts_file, queries_file, "avx2" if "avx2" in forms else forms[0])
    if counted is not None:
        per_byte = counted / (forms_mix["bytes"] * len(mix))
        lines += [
            "",
            f"Instructions (callgrind, the {'avx2' if 'avx2' in forms else forms[0]} form, the whole mix once): "
            f"{counted:,} for {len(mix)} queries over {forms_mix['bytes']:,} bytes, "
            f"{per_byte:.2f} per text byte per query.",
        ]
    bare, overhead = one_record_overhead()
    lines += [
        "",
        f"A search of a one-record engine, beyond the {bare:.3f} µs of a search that returns at once "
        "(an empty query): " + ", ".join(f"{q!r} {us:.3f} µs" for q, us in overhead.items()) + ".",
    ]
    return lines, forms_mix, p50


def plot(path, bars):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names, values = zip(*bars, strict=True)
    fig, ax = plt.subplots(figsize=(8, 4.2), dpi=120)
    colours = ["#2a7ab0" if n.startswith("murvex") else "#999999" if "memchr" in n else "#d9822b" for n in names]
    ax.barh(names, values, color=colours)
    ax.set_xscale("log")
    ax.invert_yaxis()
    ax.set_xlabel("median time per query over 100,000 records (ms, log scale)")
    for y, v in enumerate(values):
        ax.text(v * 1.08, y, f"{v:,.2f} ms" if v < 100 else f"{v:,.0f} ms", va="center", fontsize=8)
    ax.set_xlim(min(values) / 2, max(values) * 8)
    ax.set_title("Fuzzy search of one query (lower is better)")
    fig.tight_layout()
    fig.savefig(path)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kernel-bench", type=Path, default=ROOT / "build" / "bench" / "murvex_kernel_bench")
    parser.add_argument("--quick", action="store_true", help="fewer peer queries (for a fast look)")
    parser.add_argument("--out", type=Path, default=ROOT / "docs")
    args = parser.parse_args()

    records = corpus.records()
    texts = [corpus.text_of(r) for r in records]
    text_bytes = [t.encode() for t in texts]
    total_bytes = sum(map(len, text_bytes))
    mix = query_module.query_mix(texts)
    peer_sample = mix[:: 8 if args.quick else 4]
    print(f"{len(records):,} records, {total_bytes / 1e6:.1f} MB of text, {len(mix)} queries; {report.machine()}")

    add_ms, join_ms, per_query = measure_murvex(records, mix)
    floor_ms = measure_floor(text_bytes)
    interleaved_ms = measure_interleaved(records, mix)
    growth, per_record = engine_memory(total_bytes, len(records))
    growth_after_temporary, per_record_after_temporary = engine_memory(total_bytes, len(records), temporary=True)
    p50, worst = statistics.median(per_query.values()), max(per_query.values())
    print(f"murvex search p50 {p50:.2f} ms, worst {worst:.2f} ms; memchr pass {floor_ms:.3f} ms")

    rapidfuzz = measure_rapidfuzz(texts, peer_sample)
    edlib_ms = measure_edlib(texts, peer_sample, 20_000)
    regex_ms = measure_regex(texts, peer_sample, 2_000)
    with tempfile.TemporaryDirectory() as tmp:
        texts_file, queries_file = Path(tmp, "texts.txt"), Path(tmp, "queries.txt")
        texts_file.write_text("\n".join(texts) + "\n", encoding="utf-8")
        queries_file.write_text("\n".join(mix) + "\n", encoding="utf-8")
        kernel_lines, kernel, form_p50 = kernels_section(args.kernel_bench, texts_file, queries_file, mix)
    fast_cpp = form_p50[next(iter(kernel["forms"]))]
    plain_cpp = statistics.median(kernel["straightforward"])

    def murvex_on(sample):
        return statistics.median(per_query[q] for q in sample)

    rows = [
        ("search p50 / memchr pass", p50 / floor_ms, "<= 30 (aim 10)", p50 / floor_ms <= 30),
        ("worst query / memchr pass", worst / floor_ms, "<= 80", worst / floor_ms <= 80),
        ("straightforward kernel / search kernel (C++)", plain_cpp / fast_cpp, ">= 8", plain_cpp / fast_cpp >= 8),
        (
            "rapidfuzz partial_ratio extract / murvex",
            statistics.median(rapidfuzz.values()) / murvex_on(rapidfuzz),
            ">= 100",
            statistics.median(rapidfuzz.values()) / murvex_on(rapidfuzz) >= 100,
        ),
        (
            "edlib HW k=2 per record / murvex",
            statistics.median(edlib_ms.values()) / murvex_on(edlib_ms),
            "wide margin",
            None,
        ),
        (
            "regex {e<=2} per record / murvex",
            statistics.median(regex_ms.values()) / murvex_on(regex_ms),
            "wide margin",
            None,
        ),
        ("add of 100,000 dicts / plain-Python join", add_ms / join_ms, "<= 0.5", add_ms / join_ms <= 0.5),
        ("engine memory beyond the texts, bytes per record", per_record, "<= 32", per_record <= 32),
        (
            "the same after the process freed a 10 MB temporary",
            per_record_after_temporary,
            "<= 32",
            per_record_after_temporary <= 32,
        ),
    ]
    print()
    print(f"{'measure':52} {'ratio':>10}  target")
    for name, value, target, met in rows:
        verdict = "" if met is None else ("met" if met else "NOT met")
        print(f"{name:52} {value:10.2f}  {target} {verdict}")

    details = [
        ("murvex search, median over the mix", f"{p50:.2f} ms"),
        ("murvex search, worst query", f"{worst:.2f} ms"),
        ("one memchr pass over the same bytes", f"{floor_ms:.3f} ms ({total_bytes / floor_ms / 1e6:.0f} GB/s)"),
        (f"C++ search kernel ({next(iter(kernel['forms']))}), median", f"{fast_cpp:.2f} ms"),
        ("C++ straightforward kernel, median", f"{plain_cpp:.2f} ms"),
        (
            "rapidfuzz.process.extract, partial_ratio, limit 50, median",
            f"{statistics.median(rapidfuzz.values()):.1f} ms",
        ),
        (
            "edlib.align HW k=2 per record, median (from 20,000 records)",
            f"{statistics.median(edlib_ms.values()):.0f} ms",
        ),
        ("regex (?:q){e<=2} per record, median (from 2,000 records)", f"{statistics.median(regex_ms.values()):.0f} ms"),
        ("add one record, then search, in turn (mean per pair)", f"{interleaved_ms:.2f} ms"),
        ("add of 100,000 dicts", f"{add_ms:.1f} ms"),
        ("plain-Python join of the same records", f"{join_ms:.1f} ms"),
        ("engine RSS growth for 100,000 records", f"{growth / 1e6:.1f} MB ({total_bytes / 1e6:.1f} MB of text)"),
        ("the same after a 10 MB temporary was freed", f"{growth_after_temporary / 1e6:.1f} MB"),
    ]

    args.out.mkdir(exist_ok=True)
    bars = [
        ("memchr pass (floor)", floor_ms),
        ("murvex", p50),
        ("C++ straightforward kernel", plain_cpp),
        ("rapidfuzz partial_ratio", statistics.median(rapidfuzz.values())),
        ("edlib HW k=2 (extrapolated)", statistics.median(edlib_ms.values())),
        ("regex {e<=2} (extrapolated)", statistics.median(regex_ms.values())),
    ]
    plot(args.out / "benchmarks.png", bars)
    lines = [
        f"Made by `make bench` on {time.strftime('%Y-%m-%d')}: {report.machine()}.",
        f"Corpus: {len(records):,} generated records (`examples/corpus.py`), {total_bytes / 1e6:.1f} MB of text; "
        f"{len(mix)} queries (`bench/queries.py`): typo'd words and phrases from the corpus "
        "and a few that match nothing. "
        f"Peers ran on every {'eighth' if args.quick else 'fourth'} query of the mix ({len(peer_sample)} queries); "
        "murvex's ratio against each peer uses its own times on the same queries. "
        "edlib and regex are timed on the first 20,000 and 2,000 records and scaled to 100,000.",
        "",
        "![median time per query](benchmarks.png)",
        "",
        "| measure | ratio | target |",
        "|---|---:|---|",
        *[
            f"| {name} | {value:.2f} | {target}{'' if met is None else (' — met' if met else ' — not met')} |"
            for name, value, target, met in rows
        ],
        "",
        "| figure | value |",
        "|---|---:|",
        *[f"| {name} | {value} |" for name, value in details],
    ]
    report.write_section(args.out / "benchmarks.md", "main", lines)
    report.write_section(args.out / "benchmarks.md", "kernels", kernel_lines)
    print("\n".join(kernel_lines))
    print(f"\nwrote {args.out / 'benchmarks.md'} and {args.out / 'benchmarks.png'}")


if __name__ == "__main__":
    main()
