"""Recall of the forgiving mode: common misspellings searched in a dictionary word list.

    python bench/recall.py [--words /usr/share/dict/american-english-large] [--out docs/benchmarks.md]

Each query of bench/misspellings.txt is searched among the words (one record
per word) with max_errors 2; a query counts as found when the word meant is
among the top 10 results. The same queries go to `ugrep -Z2` and `tre-agrep
-2`, which count as finding the word when it is among the lines they print.
With `--modes`, the C++ benchmark's strict and forgiving p50 per kernel form
on the benchmark corpus. Writes the "forgiving" section of docs/benchmarks.md.
"""

import argparse
import json
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent
sys.path[:0] = [str(ROOT)]

import report  # noqa: E402
from murvex_tools import ShardedMurvex, _native  # noqa: E402

WORD_LISTS = ("/usr/share/dict/american-english-large", "/usr/share/dict/words")
SHOWN = ("rythmn", "definately", "accomodate", "occured")


def misspellings(words):
    """(misspelling, word meant) for every pair whose word is in the list."""
    pairs = []
    for line in (ROOT / "misspellings.txt").read_text(encoding="utf-8").splitlines():
        if line and not line.startswith("#"):
            wrong, meant = line.split()
            if meant in words:
                pairs.append((wrong, meant))
    return pairs


def grep_lines(command, query, path):
    """The lines a grep-like command prints for the query, or None when it is not installed."""
    if not shutil.which(command[0]):
        return None
    out = subprocess.run([*command, query, str(path)], capture_output=True, text=True, errors="replace")
    return out.stdout.splitlines()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--words", type=Path, default=next((Path(p) for p in WORD_LISTS if Path(p).exists()), None))
    parser.add_argument("--kernel-bench", type=Path, default=ROOT.parent / "build" / "bench" / "murvex_kernel_bench")
    parser.add_argument("--texts", type=Path, help="texts and queries files for the C++ strict/forgiving timing")
    parser.add_argument("--queries", type=Path)
    parser.add_argument("--out", type=Path, default=ROOT.parent / "docs" / "benchmarks.md")
    args = parser.parse_args()
    if args.words is None:
        sys.exit("no word list: install Debian's wamerican-large, or give --words")

    words = args.words.read_text(encoding="utf-8", errors="replace").split("\n")
    words = [w for w in words if w]
    pairs = misspellings(set(words))
    modes = {}
    for forgiving in (False, True):
        index = ShardedMurvex(max_errors=2, max_results=10, forgiving=forgiving)
        index.add_texts(words)
        found = 0
        times = []
        for wrong, meant in pairs:
            began = time.perf_counter()
            hits = index.search(wrong)
            times.append((time.perf_counter() - began) * 1000)
            found += any(words[hit.id] == meant for hit in hits)
        index.max_results = 100
        counts = {query: len(index.search(query)) for query in SHOWN}
        in_100 = sum(any(words[hit.id] == meant for hit in index.search(wrong)) for wrong, meant in pairs)
        modes[forgiving] = (found, statistics.median(times), counts, in_100)

    greps = {}
    for name, command in (("ugrep -Z2", ["ugrep", "-Z2"]), ("tre-agrep -2", ["tre-agrep", "-2"])):
        if grep_lines(command, "a", args.words) is None:
            continue
        found = sum(meant in grep_lines(command, wrong, args.words) for wrong, meant in pairs)
        greps[name] = (found, {q: len(grep_lines(command, q, args.words)) for q in SHOWN})

    rows = [
        ("murvex, strict (murvex.Murvex's rules)", modes[False][0], modes[False][3], f"{modes[False][1]:.2f} ms"),
        ("murvex, forgiving", modes[True][0], modes[True][3], f"{modes[True][1]:.2f} ms"),
        *[(name, found, "", "") for name, (found, _) in greps.items()],
    ]
    lines = [
        "## The forgiving mode",
        "",
        f"Made by `bench/recall.py` on {time.strftime('%Y-%m-%d')}: {report.machine()}; kernel form "
        f"{_native.kernels()[0]}. {len(pairs)} common misspellings (`bench/misspellings.txt`) searched among the "
        f"{len(words):,} words of {args.words} (one record per word), max_errors 2. murvex finds the word meant "
        "when it is among the top 10 results; a grep when it is among the lines it prints.",
        "",
        *report.table(
            ("matcher", f"word meant in the top 10 (of {len(pairs)})", "share", "in the top 100", "search p50"),
            [(name, found, f"{100 * found / len(pairs):.1f} %", top, p50) for name, found, top, p50 in rows],
        ),
        "",
        "The greps print every line that holds a match, unranked (for `rythmn` over 200), so theirs is a "
        "count of the word meant anywhere in their output. murvex ranks by the score table alone, ties in "
        "store order: in an alphabetical word list, longer words holding the misspelling itself ('adress' in "
        "'ambassadress', 'wich' in 'Greenwich') rank first, and they, not a failure to match, keep the forgiving "
        "mode's top 10 below the grep count.",
        "",
        "Results per query (murvex: up to 100):",
        "",
        *report.table(
            ("query", "strict", "forgiving", *greps),
            [(q, modes[False][2][q], modes[True][2][q], *(counts[q] for _, counts in greps.values())) for q in SHOWN],
        ),
    ]
    if args.texts and args.queries and args.kernel_bench.exists():
        out = subprocess.run(
            [str(args.kernel_bench), "modes", str(args.texts), str(args.queries)], capture_output=True, text=True
        )
        forms = json.loads(out.stdout)["forms"]
        lines += [
            "",
            "Speed on the benchmark corpus (`murvex_kernel_bench modes`: 100,000 records, the query mix, best of 5 "
            "per query, the two modes timed in turn):",
            "",
            *report.table(
                ("form", "strict p50", "forgiving p50", "forgiving / strict"),
                [
                    (form, f"{t['strict']:.2f} ms", f"{t['forgiving']:.2f} ms", f"{t['forgiving'] / t['strict']:.2f}")
                    for form, t in forms.items()
                ],
            ),
        ]
    report.write_section(args.out, "forgiving", lines)
    print("\n".join(lines))


if __name__ == "__main__":
    main()
