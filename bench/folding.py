"""Accents and case: what an index that folds finds in word lists of four languages, and what folding costs.

    python bench/folding.py [--out docs/benchmarks.md]

- Recall: 1,000 words sampled from each of Debian's French, German and
  Spanish word lists and the Greek hunspell dictionary (packages wfrench,
  wngerman, wspanish, hunspell-el), each typed without its accents and in
  the other case (upper case, or lower case for a word with a capital), then
  with one typo as well (a swap, a letter left out or doubled, another
  vowel); found when the word itself is among the top 10 of a words-mode
  index (max_errors 2) over the whole list. The same queries against an
  index made strict (that does not fold) searched in the words mode, for
  comparison.
- Cost: 100,000 records of about 110 bytes made of random words of each
  list (and the ASCII benchmark corpus), added to an index that folds and
  to one that does not: add time, memory (RSS growth of a fresh process),
  and the words-mode p50 of 40 of its own words, per byte of the lanes.

Writes the "folding" section of docs/benchmarks.md.
"""

import argparse
import importlib.util
import json
import random
import statistics
import subprocess
import sys
import time
import unicodedata
from pathlib import Path

ROOT = Path(__file__).resolve().parent
sys.path[:0] = [str(ROOT), str(ROOT.parent / "examples")]

import recall as recall_bench  # noqa: E402

# The table's maker, for the lane form (the letters of one byte) whose bytes the search reads.
_maker = importlib.util.spec_from_file_location("make_fold_table", ROOT.parent / "scripts" / "make-fold-table.py")
table_maker = importlib.util.module_from_spec(_maker)
_maker.loader.exec_module(table_maker)

import report  # noqa: E402
from murvex_tools import ShardedMurvex, _native, fold  # noqa: E402

LISTS = {
    "French": "/usr/share/dict/french",
    "German": "/usr/share/dict/ngerman",
    "Spanish": "/usr/share/dict/spanish",
    "Greek": "/usr/share/hunspell/el_GR.dic",
}
SAMPLE = 1000


def words_of(path):
    encoding = "utf-8"
    if path.endswith(".dic"):  # hunspell: the encoding in the .aff file's SET line
        for line in Path(path[:-4] + ".aff").read_text(encoding="latin-1").splitlines():
            if line.startswith("SET "):
                encoding = line.split()[1].replace("ISO8859", "iso8859")
    lines = Path(path).read_text(encoding=encoding, errors="replace").splitlines()
    if path.endswith(".dic"):  # a count, then word/flags
        lines = [line.split("/")[0] for line in lines[1:]]
    return list(dict.fromkeys(w.strip() for w in lines if w.strip() and " " not in w.strip()))


def unaccented_other_case(word):
    bare = "".join(c for c in unicodedata.normalize("NFKD", word) if not unicodedata.combining(c))
    return bare.lower() if any(c.isupper() for c in word) else bare.upper()


def typo(rng, word):
    return word if len(word) < 3 else recall_bench.typo(rng, word)


def recall(words, rng):
    sample = rng.sample(range(len(words)), min(SAMPLE, len(words)))
    rows = {}
    for folds in (True, False):
        index = ShardedMurvex(max_errors=2, max_results=10, words=folds, workers=2)
        index.add_texts(words)
        plain = [unaccented_other_case(words[i]) for i in sample]
        typed = [typo(rng, q) for q in plain]
        rows[folds] = [
            sum(i in {h.id for h in hits} for i, hits in zip(sample, index.search_many(qs, words=True), strict=True))
            / len(sample)
            for qs in (plain, typed)
        ]
    return rows


def corpus(words, rng, count=100_000, length=110):
    """Records of random words of the list, about `length` bytes each, the first word capitalised."""
    out = []
    for _ in range(count):
        parts, size = [], 0
        while size < length:
            w = words[rng.randrange(len(words))]
            parts.append(w)
            size += len(w.encode()) + 1
        parts[0] = parts[0][:1].upper() + parts[0][1:]
        out.append(" ".join(parts))
    return out


PROBE = """
import gc, json, sys
sys.path[:0] = {paths!r}
from murvex_tools import ShardedMurvex
texts = json.load(open({file!r}))
gc.collect()
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
before = rss()
index = ShardedMurvex(workers=1, words={folds!r})
index.add_texts(texts)
print(rss() - before)
"""


def memory(file, folds):
    code = PROBE.format(paths=sys.path[:3], file=str(file), folds=folds)
    runs = [int(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout)]
    return min(runs)


def best_ms(body, repeats=7):
    return report.best_seconds(body, repeats) * 1000


def cost(name, texts, rng, tmp):
    file = tmp / f"{name}.json"
    file.write_text(json.dumps(texts), encoding="utf-8")
    raw = sum(len(t.encode()) for t in texts)
    lane_bytes = sum(len(table_maker.lane_form(fold(t))) for t in texts)
    queries = [w for t in rng.sample(texts, 40) for w in [rng.choice(t.split())] if len(w) >= 4][:40]
    row = {"bytes": raw, "lanes": lane_bytes, "readable": sum(len(fold(t).encode()) for t in texts)}
    records = [{"id": i, "text": t} for i, t in enumerate(texts)]

    def timed_add(folds, call, data):  # the add alone: the index is made and let go outside the timing
        index = ShardedMurvex(workers=1, words=folds)
        began = time.perf_counter()
        getattr(index, call)(data)
        return (time.perf_counter() - began) * 1000

    def fresh_records():  # strs as read from a file: no UTF-8 of theirs kept yet
        return [{"id": i, "text": t.encode().decode()} for i, t in enumerate(texts)]

    ShardedMurvex(workers=1).add(records)  # these strs keep their UTF-8 from now on
    adds = {False: [], True: []}
    for _ in range(15):  # in turn, so that both meet the same state of the machine
        for folds in (False, True):
            adds[folds].append(
                (
                    timed_add(folds, "add_texts", texts),
                    timed_add(folds, "add", fresh_records()),
                    timed_add(folds, "add", records),
                )
            )
    for folds in (False, True):
        add, add_dicts, add_encoded = (min(times) for times in zip(*adds[folds], strict=True))
        row[folds] = {"add": add, "add_dicts": add_dicts, "add_encoded": add_encoded, "memory": memory(file, folds)}
    # The words-mode search: an index that folds, against one that does not
    # holding the texts folded already (in UTF-8: the letters of Greek and
    # Cyrillic take two bytes there, one in the lanes of the index that
    # folds), for the same folded queries: the same matches; compared per
    # byte of the lanes.
    indexes = {True: ShardedMurvex(workers=1, words=True), False: ShardedMurvex(workers=1, words=False)}
    indexes[True].add_texts(texts)
    indexes[False].add_texts([fold(t) for t in texts])
    folded_queries = [fold(q) for q in queries]
    row["p50"] = {
        folds: statistics.median(
            best_ms(lambda q=q, index=indexes[folds]: index.search(q, words=True)) for q in folded_queries
        )
        for folds in (False, True)
    }
    return row


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", type=Path, default=ROOT.parent / "docs" / "benchmarks.md")
    args = parser.parse_args()
    rng = random.Random(11)
    import tempfile

    import corpus as ascii_corpus

    lines = [
        "## Accents and case: an index that folds",
        "",
        f"Made by `bench/folding.py` on {time.strftime('%Y-%m-%d')}: {report.machine()}; "
        f"kernel form {_native.kernels()[0]}; Unicode {_native.UNICODE_VERSION} (the folding table).",
        "",
        "**Recall.** 1,000 words sampled from each list, typed without their accents and in the other case, "
        "then with one typo as well; found when the word is among the top 10 (words mode, max_errors 2).",
        "",
    ]
    recall_rows, cost_rows = [], []
    lists = {}
    for name, path in LISTS.items():
        if not Path(path).exists():
            print(f"{name}: {path} is missing, skipped")
            continue
        lists[name] = words_of(path)
        found = recall(lists[name], rng)
        recall_rows.append(
            (f"{name} ({len(lists[name]):,} words)", *(f"{100 * v:.1f} %" for v in found[True] + found[False]))
        )
        print(recall_rows[-1], flush=True)
    lines += report.table(
        ["list", "folds: unaccented", "folds: + one typo", "does not fold: unaccented", "does not fold: + one typo"],
        recall_rows,
    )
    with tempfile.TemporaryDirectory() as tmp:
        mixed = [ascii_corpus.text_of(r) for r in ascii_corpus.records()]
        made_ascii = [unaccented_other_case(t).swapcase().encode("ascii", "ignore").decode() for t in mixed]
        share = sum(not t.isascii() for t in mixed) / len(mixed)
        corpora = {
            "ASCII (the benchmark corpus made ASCII)": made_ascii,
            f"the benchmark corpus ({share:.0%} of records not ASCII)": mixed,
        }
        for name in ("French", "Greek"):
            if name in lists:
                corpora[name] = corpus(lists[name], rng)
        for name, texts in corpora.items():
            row = cost(name.split()[0], texts, rng, Path(tmp))
            plain, folds, p50 = row[False], row[True], row["p50"]
            cost_rows.append(
                (
                    name,
                    f"{row['bytes'] / 1e6:.1f} MB, lanes {row['lanes'] / row['bytes']:.2f}",
                    " / ".join(f"{folds[k] / plain[k]:.2f}" for k in ("add", "add_dicts", "add_encoded")),
                    f"{folds['memory'] / plain['memory']:.2f}",
                    f"{p50[False]:.2f} / {p50[True]:.2f} ms",
                    f"{(p50[True] / row['lanes']) / (p50[False] / row['readable']):.2f}",
                )
            )
            print(cost_rows[-1], flush=True)
    lines += [
        "",
        "**Cost.** 100,000 records of about 110 bytes (random words of the list, the first capitalised), in an "
        "index that folds against one that does not (one worker): add time (the add alone, the best of 15 taken "
        "in turn) of add_texts, of add of dicts whose strs are fresh (as read from a file), and of add of the "
        "same dicts again (their strs keep the UTF-8 the first add made, which an index that does not fold "
        "reads as it is, and one that folds does not use) and "
        "memory (RSS growth of a fresh "
        "process) as ratios; and the words-mode p50 of 40 words of the records, folded, in an index that does "
        "not fold holding the folded texts (in UTF-8) against the index that folds (Greek and Cyrillic letters "
        "take a byte each in its lanes): the same matches, and the time per byte of the lanes.",
        "",
        *report.table(
            [
                "corpus",
                "text",
                "add: texts / dicts / dicts again",
                "memory",
                "p50: folded texts / folds",
                "per lane byte",
            ],
            cost_rows,
        ),
    ]
    report.write_section(args.out, "folding", lines)


if __name__ == "__main__":
    main()
