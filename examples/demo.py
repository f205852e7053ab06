"""Search 100,000 generated records (or your own file) with murvex.

    python examples/demo.py                         # built-in corpus and queries
    python examples/demo.py --query "jon smiht"     # your queries on the corpus
    python examples/demo.py --data people.csv --query "Mueller"

--data takes what the `murvex search` command takes: JSON Lines, a JSON array
of objects, CSV with a header row, or plain text (a record per line), of any
size. The demo is a small user of the same code (murvex_tools).
"""

import argparse
import os
import statistics
import sys
import time
from pathlib import Path

from murvex_tools import ShardedMurvex, char_span, record_text
from murvex_tools.files import InputError, read_source
from murvex_tools.printer import HIGHLIGHT, RESET

sys.path.insert(0, str(Path(__file__).resolve().parent))
import corpus

DEFAULT_QUERIES = [
    "Jennifer Rodrigez",  # a missing letter
    "jose gonzalez",  # lower case, accents kept on one side only
    "stainles steel skillet",  # a missing letter in a phrase
    "Pinnacle Robotcs",  # a company with a typo
    "MAGNOLIA TERACE",  # upper case
    "mechanical keybaord",  # swapped letters
    "sold by Hooli",  # exact, found in many records
    "Zürich",  # multi-byte UTF-8
    "xylophone quartet",  # matches nothing
]

SHOWN = 5


def highlight(text, start, end, colour):
    """The record text with the match, widened to whole characters, in colour or in [brackets]."""
    begin, finish = char_span(text, start, end)
    before, match, after = text[:begin], text[begin:finish], text[finish:]
    return f"{before}{HIGHLIGHT}{match}{RESET}{after}" if colour else f"{before}[{match}]{after}"


def timed_search(index, query, repeats=5):
    """The results and the best time of a few runs, in milliseconds."""
    best, results = float("inf"), []
    for _ in range(repeats):
        began = time.perf_counter()
        results = index.search(query)
        best = min(best, time.perf_counter() - began)
    return results, best * 1000


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Fuzzy search with murvex.")
    parser.add_argument("--data", help="a file to search instead of the built-in corpus ('-' for standard input)")
    parser.add_argument("--query", action="append", help="query to run (repeatable)")
    parser.add_argument("--max-errors", type=int, default=2, help="byte edits allowed, 0 to 3 (default 2)")
    parser.add_argument("--threshold", type=float, default=0.25, help="minimum score, 0.0 to 1.0 (default 0.25)")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    try:
        index = ShardedMurvex(threshold=args.threshold, max_errors=args.max_errors, max_results=50)
    except (ValueError, OverflowError) as error:
        raise InputError(f"bad setting: {error}") from None

    began = time.perf_counter()
    if args.data is not None:
        read = read_source(args.data)
        if not read.texts:
            raise InputError(f"{args.data} holds no records")
        texts, ids, source = read.texts, [read.own_id(i) for i in range(len(read.texts))], args.data
        index.add_texts(texts, range(len(texts)))  # the index's ids are places in `texts`
    else:
        rows = corpus.records()
        print(f"generated {len(rows):,} records in {time.perf_counter() - began:.2f} s")
        began = time.perf_counter()
        index.add(rows)
        texts, ids, source = [record_text(row) for row in rows], [row["id"] for row in rows], "the built-in corpus"
    print(
        f"added {index.count:,} records from {source} "
        f"({sum(len(t.encode()) for t in texts) / 1e6:.1f} MB of text) in {(time.perf_counter() - began) * 1000:.0f} ms"
    )
    print(index)

    colour = sys.stdout.isatty() and not os.environ.get("NO_COLOR")
    timings = []
    for query in args.query or DEFAULT_QUERIES:
        results, ms = timed_search(index, query)
        timings.append(ms)
        print(f"\n{query!r}: {len(results)} result{'s' * (len(results) != 1)} in {ms:.2f} ms")
        for result in results[:SHOWN]:
            text = highlight(texts[result.id], result.start, result.end, colour)
            print(f"  {result.score:.3f}  #{ids[result.id]:<6} {text}")
        if len(results) > SHOWN:
            print(f"  ... and {len(results) - SHOWN} more")
    print(
        f"\nmedian search time {statistics.median(timings):.2f} ms over {len(timings)} queries "
        f"and {index.count:,} records"
    )


if __name__ == "__main__":
    try:
        main()
    except InputError as error:
        print(f"demo: error: {error}", file=sys.stderr)
        sys.exit(2)
    except KeyboardInterrupt:
        sys.exit(130)
