"""What the three modes find, and what they cost: misspelled words, sentences and several words.

    python bench/recall.py [--words /usr/share/dict/american-english-large] [--kernel-bench BINARY]
                           [--texts TEXTS --queries QUERIES] [--out docs/benchmarks.md]

- Word list: each common misspelling of bench/misspellings.txt searched among
  the words of a dictionary (one record per word), max_errors 2; found when
  the word meant is among the top 10 (and first). RapidFuzz's
  process.extract(scorer=fuzz.ratio) over the same list for comparison.
- Sentences: Debian's package short descriptions (this machine's apt lists);
  300 of their words of 5 letters or more, each misspelled once (a swap, a
  letter left out or doubled, another vowel), searched alone; found when a
  record holding the original word is among the top 10.
- Several words: 2 or 3 words of a description, shuffled, one typo in each;
  and two neighbouring words typed in the other order without typos; found
  when the description, or one holding every original word, is in the top 10.
- Speed: the C++ benchmark's strict and forgiving p50 per kernel form on the
  benchmark corpus (--texts/--queries, as bench/run.py writes them); the
  word list's p50 per mode; and in the words mode a query of three words
  against one word of the same length, over the benchmark corpus.

Writes the "recall" section of docs/benchmarks.md.
"""

import argparse
import glob
import json
import random
import re
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
MODES = {"strict": {"forgiving": False, "words": False}, "forgiving": {"forgiving": True, "words": False}}
MODES["words"] = {"forgiving": True, "words": True}
SAMPLE = 300
LONG_WORD = re.compile(r"[A-Za-z]{5,}")
WORD = re.compile(r"[A-Za-z0-9]+")


def misspellings(words):
    """(misspelling, word meant) for every pair whose word is in the list."""
    pairs = []
    for line in (ROOT / "misspellings.txt").read_text(encoding="utf-8").splitlines():
        if line and not line.startswith("#"):
            wrong, meant = line.split()
            if meant in words:
                pairs.append((wrong, meant))
    return pairs


VOWEL_SETS = ("aeiou", "αεηιουω", "аеиоуъ")


def typo(rng, word):
    """`word` with one typo inside it: two letters swapped, one left out or doubled, or another vowel of its
    script."""
    i = rng.randrange(1, len(word) - 1)
    kind = rng.choice(["swap", "drop", "double", "vowel"])
    if kind == "drop":
        return word[:i] + word[i + 1 :]
    if kind == "double":
        return word[:i] + word[i] + word[i:]
    vowels = next((v for v in VOWEL_SETS if word[i].lower() in v), None)
    if kind == "vowel" and vowels:
        return word[:i] + rng.choice([v for v in vowels if v != word[i].lower()]) + word[i + 1 :]
    return word[:i] + word[i + 1] + word[i] + word[i + 2 :]


def p50_ms(index, queries, **own):
    """The median over the queries of the best of 5 searches."""
    times = []
    for query in queries:
        best = float("inf")
        for _ in range(5):
            began = time.perf_counter()
            index.search(query, **own)
            best = min(best, time.perf_counter() - began)
        times.append(best * 1000)
    return statistics.median(times)


def word_list(path):
    words = [w for w in path.read_text(encoding="utf-8", errors="replace").split("\n") if w]
    pairs = misspellings(set(words))
    index = ShardedMurvex(max_errors=2, max_results=10, workers=1)
    index.add_texts(words)
    rows = []
    for name, own in MODES.items():
        top = first = 0
        for wrong, meant in pairs:
            found = [words[hit.id] for hit in index.search(wrong, **own)]
            top += meant in found
            first += found[:1] == [meant]
        rows.append((f"murvex, {name}", top, first, p50_ms(index, [w for w, _ in pairs], **own)))
    try:
        from rapidfuzz import fuzz, process
    except ImportError:
        return words, pairs, rows
    top = first = 0
    times = []
    for wrong, meant in pairs:
        began = time.perf_counter()
        found = [match for match, _, _ in process.extract(wrong, words, scorer=fuzz.ratio, limit=10)]
        times.append((time.perf_counter() - began) * 1000)
        top += meant in found
        first += found[:1] == [meant]
    rows.append(("RapidFuzz extract, fuzz.ratio", top, first, statistics.median(times)))
    return words, pairs, rows


def descriptions():
    """The unique short descriptions of Debian's packages, from this machine's apt lists."""
    found = glob.glob("/var/lib/apt/lists/*_main_binary-*_Packages*")
    if not found:
        return []
    source = max(found, key=lambda path: Path(path).stat().st_size)  # the release's own list, not an update's
    command = ["lz4", "-dc", source] if source.endswith(".lz4") else ["cat", source]
    raw = subprocess.run(command, capture_output=True, check=True).stdout.decode("utf-8", "replace")
    return sorted({line[13:] for line in raw.split("\n") if line.startswith("Description: ")})


def sentences(texts):
    rng = random.Random(7)
    words_of = [{w.lower() for w in WORD.findall(text)} for text in texts]
    index = ShardedMurvex(max_results=10)
    index.add_texts(texts)
    single = []
    while len(single) < SAMPLE:
        candidates = LONG_WORD.findall(texts[rng.randrange(len(texts))])
        if candidates:
            word = rng.choice(candidates)
            single.append((typo(rng, word), word.lower()))
    several = []
    while len(several) < SAMPLE:
        place = rng.randrange(len(texts))
        candidates = list(dict.fromkeys(re.findall(r"[A-Za-z]{4,}", texts[place])))
        if len(candidates) >= 3:
            picked = rng.sample(candidates, rng.choice([2, 3]))
            several.append((" ".join(typo(rng, w) for w in picked), place, [w.lower() for w in picked]))
    reordered = []
    while len(reordered) < SAMPLE:
        place = rng.randrange(len(texts))
        found = re.findall(r"[A-Za-z]{3,}", texts[place])
        if len(found) >= 2:
            i = rng.randrange(len(found) - 1)
            reordered.append((f"{found[i + 1]} {found[i]}", place, [found[i].lower(), found[i + 1].lower()]))

    def holds(hits, place, wanted):
        return any(hit.id == place or all(w in words_of[hit.id] for w in wanted) for hit in hits)

    rows = []
    for name, own in MODES.items():
        rows.append(
            (
                name,
                sum(any(word in words_of[hit.id] for hit in index.search(q, **own)) for q, word in single),
                sum(holds(index.search(q, **own), place, wanted) for q, place, wanted in several),
                sum(holds(index.search(q, **own), place, wanted) for q, place, wanted in reordered),
            )
        )
    return rows


def words_cost(texts):
    """p50 of three-word queries against one word of the same length, in the words mode."""
    rng = random.Random(11)
    vocabulary = sorted({w for text in texts[:20000] for w in re.findall(r"[A-Za-z]{3,}", text)})
    by_length = {}
    for w in vocabulary:
        by_length.setdefault(len(w), []).append(w)
    long_words = [w for w in vocabulary if 11 <= len(w) <= 24]
    three, one = [], []
    while len(three) < 60:
        single = rng.choice(long_words)
        first, second = rng.choice(by_length[4]), rng.choice(by_length[5])
        rest = len(single) - len(first) - len(second) - 2
        if by_length.get(rest) and rest >= 3:
            picked = [first, second, rng.choice(by_length[rest])]
            three.append(" ".join(typo(rng, w) if len(w) > 3 else w for w in picked))
            one.append(typo(rng, single))
    index = ShardedMurvex(words=True, workers=1)
    index.add_texts(texts)
    return p50_ms(index, one), p50_ms(index, three)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--words", type=Path, default=next((Path(p) for p in WORD_LISTS if Path(p).exists()), None))
    parser.add_argument("--kernel-bench", type=Path, default=ROOT.parent / "build" / "bench" / "murvex_kernel_bench")
    parser.add_argument("--texts", type=Path, help="texts and queries files of the benchmark corpus")
    parser.add_argument("--queries", type=Path)
    parser.add_argument("--out", type=Path, default=ROOT.parent / "docs" / "benchmarks.md")
    args = parser.parse_args()
    if args.words is None:
        sys.exit("no word list: install Debian's wamerican-large, or give --words")

    words, pairs, list_rows = word_list(args.words)
    lines = [
        "## Finding what people mean: the three modes",
        "",
        f"Made by `bench/recall.py` on {time.strftime('%Y-%m-%d')}: {report.machine()}; kernel form "
        f"{_native.kernels()[0]}, one worker.",
        "",
        f"**Word list.** {len(pairs)} common misspellings (`bench/misspellings.txt`) searched among the "
        f"{len(words):,} words of {args.words} (one record per word), max_errors 2.",
        "",
        *report.table(
            ("matcher", f"meant word in the top 10 (of {len(pairs)})", "first", "search p50"),
            [
                (name, f"{100 * top / len(pairs):.1f} %", f"{100 * first / len(pairs):.1f} %", f"{p50:.3f} ms")
                for name, top, first, p50 in list_rows
            ],
        ),
    ]
    texts = descriptions()
    if texts:
        rows = sentences(texts)
        lines += [
            "",
            f"**Sentences and several words.** The {len(texts):,} unique short descriptions of Debian's "
            f"packages. Misspelled word: {SAMPLE} words of 5 letters or more, one typo each (a swap, a letter "
            "left out or doubled, another vowel), found when a record holding the word is in the top 10. "
            f"Several words: {SAMPLE} queries of 2 or 3 words of a description, shuffled, one typo in each. "
            f"Reordered: {SAMPLE} pairs of neighbouring words typed the other way round. Found when the "
            "description, or one holding every original word, is in the top 10.",
            "",
            *report.table(
                ("mode", "misspelled word", "several words", "reordered"),
                [(name, *(f"{100 * n / SAMPLE:.1f} %" for n in found)) for name, *found in rows],
            ),
        ]
    if args.texts and args.queries and args.kernel_bench.exists():
        out = subprocess.run(
            [str(args.kernel_bench), "modes", str(args.texts), str(args.queries)], capture_output=True, text=True
        )
        forms = json.loads(out.stdout)["forms"]
        corpus = args.texts.read_text(encoding="utf-8").splitlines()
        one, three = words_cost(corpus)
        lines += [
            "",
            "**Speed.** The benchmark corpus (`murvex_kernel_bench modes`: 100,000 records, the query mix, best "
            "of 5 per query, the two modes timed in turn):",
            "",
            *report.table(
                ("form", "strict p50", "forgiving p50", "forgiving / strict"),
                [
                    (form, f"{t['strict']:.2f} ms", f"{t['forgiving']:.2f} ms", f"{t['forgiving'] / t['strict']:.2f}")
                    for form, t in forms.items()
                ],
            ),
            "",
            f"Words mode on the same corpus, 60 queries each: three words with a typo in each {three:.2f} ms "
            f"against one word of the same length {one:.2f} ms ({three / one:.2f} times).",
        ]
    strict = next(p50 for name, _, _, p50 in list_rows if name == "murvex, strict")
    forgiving = next(p50 for name, _, _, p50 in list_rows if name == "murvex, forgiving")
    lines += ["", f"Word list, forgiving / strict p50: {forgiving / strict:.2f} times."]
    report.write_section(args.out, "recall", lines)
    print("\n".join(lines))


if __name__ == "__main__":
    main()
