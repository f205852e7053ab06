"""Search 100,000 generated records (or your own file) with murvex.

    python examples/demo.py                         # built-in corpus and queries
    python examples/demo.py --query "jon smiht"     # your queries on the corpus
    python examples/demo.py --data people.csv --query "Mueller"

--data takes JSON Lines (one object per line) or CSV with a header row; each
row becomes one record, its string values forming the searchable text.
"""

import argparse
import csv
import json
import os
import statistics
import sys
import time
from pathlib import Path

import murvex

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
LIMIT = 100_000


class DemoError(Exception):
    """A problem with the user's input, reported in one line."""


def read_rows(path):
    """Rows of a JSON Lines or CSV file, as dicts."""
    try:
        text = path.read_text(encoding="utf-8")
    except OSError as error:
        raise DemoError(f"cannot read {path}: {error.strerror or error}") from None
    except UnicodeDecodeError as error:
        raise DemoError(f"{path} is not UTF-8 text ({error.reason} at byte {error.start})") from None
    is_json = path.suffix.lower() in (".jsonl", ".ndjson", ".json") or text.lstrip().startswith("{")
    return read_json_lines(path, text) if is_json else read_csv(path, text)


def read_json_lines(path, text):
    rows = []
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip():
            continue
        try:
            row = json.loads(line)
        except json.JSONDecodeError as error:
            raise DemoError(f"{path} line {number}: not valid JSON ({error.msg})") from None
        if not isinstance(row, dict):
            raise DemoError(f"{path} line {number}: expected a JSON object, found {type(row).__name__}")
        rows.append(row)
    return rows


def read_csv(path, text):
    try:
        reader = csv.DictReader(text.splitlines())
        rows = [{key: value for key, value in row.items() if isinstance(value, str)} for row in reader]
    except csv.Error as error:
        raise DemoError(f"{path}: not valid CSV ({error})") from None
    if reader.fieldnames is None:
        raise DemoError(f"{path} is empty")
    return rows


def as_records(rows):
    """Records with ids 0, 1, 2, ... and the rows' values in order."""
    records = []
    for index, row in enumerate(rows):
        record = {"id": index}
        # Keys play no part in the text; renaming them keeps a row's own
        # 'id' column from replacing the index the demo displays by.
        record.update((f"field {key}", value) for key, value in row.items())
        records.append(record)
    return records


def highlight(text, start, end, colour):
    """The record text with bytes start..end marked."""
    raw = text.encode("utf-8")
    before, match, after = (raw[:start], raw[start:end], raw[end:])
    decode = lambda part: part.decode("utf-8", errors="replace")
    if colour:
        return f"{decode(before)}\x1b[1;33m{decode(match)}\x1b[0m{decode(after)}"
    return f"{decode(before)}[{decode(match)}]{decode(after)}"


def timed_search(engine, query, repeats=5):
    """The results and the best time of a few runs, in milliseconds."""
    best, results = float("inf"), []
    for _ in range(repeats):
        began = time.perf_counter()
        results = engine.search(query)
        best = min(best, time.perf_counter() - began)
    return results, best * 1000


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Fuzzy search with murvex.")
    parser.add_argument("--data", type=Path, help="JSON Lines or CSV file to search instead of the built-in corpus")
    parser.add_argument("--query", action="append", help="query to run (repeatable)")
    parser.add_argument("--max-errors", type=int, default=2, help="byte edits allowed, 0 to 3 (default 2)")
    parser.add_argument("--threshold", type=float, default=0.25, help="minimum score, 0.0 to 1.0 (default 0.25)")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    try:
        engine = murvex.Murvex(threshold=args.threshold, max_errors=args.max_errors, max_results=50)
    except (ValueError, OverflowError) as error:
        raise DemoError(f"bad setting: {error}") from None

    if args.data is not None:
        rows = read_rows(args.data)
        if not rows:
            raise DemoError(f"{args.data} holds no rows")
        if len(rows) > LIMIT:
            print(f"note: {args.data} has {len(rows):,} rows; searching the first {LIMIT:,}")
            rows = rows[:LIMIT]
        records, source = as_records(rows), str(args.data)
    else:
        began = time.perf_counter()
        records, source = corpus.records(), "the built-in corpus"
        print(f"generated {len(records):,} records in {time.perf_counter() - began:.2f} s")

    texts = [corpus.text_of(record) for record in records]
    began = time.perf_counter()
    added = engine.add(records)
    print(
        f"added {added:,} records from {source} "
        f"({sum(len(t.encode()) for t in texts) / 1e6:.1f} MB of text) in {(time.perf_counter() - began) * 1000:.0f} ms"
    )
    print(engine)

    colour = sys.stdout.isatty() and not os.environ.get("NO_COLOR")
    timings = []
    for query in args.query or DEFAULT_QUERIES:
        results, ms = timed_search(engine, query)
        timings.append(ms)
        print(f"\n{query!r}: {len(results)} result{'s' * (len(results) != 1)} in {ms:.2f} ms")
        for result in results[:SHOWN]:
            print(
                f"  {result.score:.3f}  #{result.id:<6} {highlight(texts[result.id], result.start, result.end, colour)}"
            )
        if len(results) > SHOWN:
            print(f"  ... and {len(results) - SHOWN} more")
    print(
        f"\nmedian search time {statistics.median(timings):.2f} ms over {len(timings)} queries "
        f"and {engine.count:,} records"
    )


if __name__ == "__main__":
    try:
        main()
    except DemoError as error:
        print(f"demo: error: {error}", file=sys.stderr)
        sys.exit(2)
    except KeyboardInterrupt:
        sys.exit(130)
