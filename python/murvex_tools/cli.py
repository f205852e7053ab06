"""The murvex command: typo-tolerant search over a file of records.

    murvex search people.csv "jon smiht" "mueller"
    murvex search --json products.jsonl "stainles steel" | jq .
    cat notes.txt | murvex search - "meeting"
    murvex search cities.json             # queries from standard input

Exit status 0 when the searches ran, 2 for bad input or arguments, 70 for a
fault of murvex's own (the traceback with --debug or MURVEX_DEBUG=1).
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
import traceback
from collections.abc import Iterable, Iterator, Sequence
from importlib.metadata import version
from typing import IO, Any

from murvex_tools.files import FORMATS, InputError, Record, read_records
from murvex_tools.sharded import ShardedMurvex
from murvex_tools.spans import char_span, record_text

HIGHLIGHT, RESET = "\x1b[1;33m", "\x1b[0m"
# What a record's text must never send to a terminal raw: C0 and C1 control
# characters (escape sequences, a bell, a backspace), DEL, and the Unicode
# controls that reorder or hide text. Line breaks and tabs become spaces.
_FLAT = {ord("\n"): " ", ord("\r"): " ", ord("\t"): " "}
_CONTROLS = {
    c: f"\\x{c:02x}" if c < 0x100 else f"\\u{c:04x}"
    for c in [*range(0x20), 0x7F, *range(0x80, 0xA0), 0x200E, 0x200F, *range(0x202A, 0x202F), *range(0x2066, 0x206A)]
    if c not in _FLAT
}
VISIBLE = str.maketrans({**_CONTROLS, **_FLAT})
SHOWN_CONTEXT = 60  # characters shown on each side of a match in a long text
PROGRESS_EVERY = 50_000


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="murvex", description="Typo-tolerant search over your own files.")
    parser.add_argument("--version", action="version", version=f"murvex {version('murvex')}")
    parser.add_argument("--debug", action="store_true", help="show the traceback of an internal error")
    commands = parser.add_subparsers(dest="command", required=True)
    search = commands.add_parser(
        "search",
        help="search a file of records",
        description="Searches FILE for each QUERY, allowing a few typos. FILE holds JSON Lines, a JSON array "
        "of objects, CSV with a header row, or plain text (a record per line); '-' is standard input. "
        "A record's text is its string fields; an 'id' field (a whole number) is its id, else its index in the "
        "file. Without QUERY, queries are read from standard input, one per line.",
    )
    search.add_argument("file", metavar="FILE", help="the records: .jsonl, .json, .csv, or text; '-' for stdin")
    search.add_argument("queries", metavar="QUERY", nargs="*", help="what to look for")
    search.add_argument("--format", choices=FORMATS, default="auto", help="how to read FILE (default: by its name)")
    search.add_argument("--threshold", type=float, default=0.25, help="minimum score, 0.0 to 1.0 (default 0.25)")
    search.add_argument("--max-errors", type=int, default=2, help="byte edits allowed, 0 to 3 (default 2)")
    search.add_argument("--max-results", type=int, default=10, help="results per query, 0 to 100 (default 10)")
    search.add_argument("--json", action="store_true", help="one JSON object per result")
    search.add_argument(
        "--color", choices=("auto", "always", "never"), default="auto", help="highlight matches (auto: on a terminal)"
    )
    return parser.parse_args(argv)


def load(path: str, form: str, index: ShardedMurvex, progress: IO[str] | None) -> list[Record]:
    """Every record of the file, added to the index under its place in the list."""
    records: list[Record] = []
    batch: list[dict[str, Any]] = []
    for record in read_records(path, form):
        batch.append({**record.fields, "id": len(records)})
        records.append(record)
        if len(batch) == PROGRESS_EVERY:
            index.add(batch)
            batch.clear()
            if progress:
                progress.write(f"\rloading {path}: {len(records):,} records")
                progress.flush()
    index.add(batch)
    if progress and len(records) >= PROGRESS_EVERY:
        progress.write(f"\rloading {path}: {len(records):,} records, done\n")
    return records


def excerpt(text: str, start: int, end: int, colour: bool) -> str:
    """The text on one line with the matched characters highlighted, cut around the match when long."""
    begin, finish = char_span(text, start, end)
    before, match, after = text[:begin], text[begin:finish], text[finish:]
    if len(before) > SHOWN_CONTEXT:
        before = "…" + before[-SHOWN_CONTEXT:]
    if len(after) > SHOWN_CONTEXT:
        after = after[:SHOWN_CONTEXT] + "…"
    before, match, after = (visible(part) for part in (before, match, after))
    return f"{before}{HIGHLIGHT}{match}{RESET}{after}" if colour else f"{before}{match}{after}"


def visible(text: str) -> str:
    """`text` on one line, every control character escaped (\\x1b), so that a record cannot drive a terminal."""
    return text.translate(VISIBLE)


def checked_query(query: str) -> str:
    """The query, which must be UTF-8 text (an argument or line of other bytes is refused)."""
    try:
        query.encode("utf-8")
    except UnicodeEncodeError:
        shown = query.encode("utf-8", "surrogateescape").decode("ascii", "backslashreplace")
        raise InputError(f"the query '{shown}' is not UTF-8 text") from None
    return query


def queries_from(stream: IO[str], prompt: IO[str] | None) -> Iterator[str]:
    """Lines of `stream` as queries; with a prompt, one is asked for before each."""
    while True:
        if prompt:
            prompt.write("query> ")
            prompt.flush()
        line = stream.readline()
        if not line:
            if prompt:
                prompt.write("\n")
            return
        query = line.rstrip("\r\n")
        if query:
            yield checked_query(query)


def run(args: argparse.Namespace, out: IO[str]) -> None:
    if args.file == "-" and not args.queries:
        raise InputError("give the queries as arguments when the records come from standard input")
    try:
        index = ShardedMurvex(args.threshold, args.max_errors, args.max_results)
    except (ValueError, OverflowError) as error:
        raise InputError(f"bad setting: {error}") from None
    records = load(args.file, args.format, index, sys.stderr if sys.stderr.isatty() else None)
    texts: dict[int, str] = {}  # made for the records that are shown

    colour = {"always": True, "never": False}.get(args.color, out.isatty() and not os.environ.get("NO_COLOR"))
    interactive = sys.stdin.isatty()
    queries: Iterable[str] = [checked_query(q) for q in args.queries] or queries_from(
        sys.stdin, sys.stderr if interactive else None
    )
    for query in queries:
        began = time.perf_counter()
        results = index.search(query)
        ms = (time.perf_counter() - began) * 1000
        if not args.json:
            out.write(f"{query!r}: {len(results)} result{'s' * (len(results) != 1)} in {ms:.2f} ms\n")
        for result in results:
            record = records[result.id]
            text = texts.setdefault(result.id, record_text(record.fields))
            if args.json:
                hit = {
                    "query": query,
                    "id": record.id,
                    "score": round(result.score, 3),
                    "start": result.start,
                    "end": result.end,
                    "line": record.line,
                    "text": text,
                }
                out.write(json.dumps(hit, ensure_ascii=False) + "\n")
            else:
                out.write(f"  {result.score:.3f}  {record.id:<8} {excerpt(text, result.start, result.end, colour)}\n")
        out.flush()


def main(argv: Sequence[str] | None = None) -> int:
    # Whatever the terminal or PYTHONIOENCODING, output never fails to encode;
    # queries typed on standard input that are not UTF-8 are refused, not a traceback.
    for stream in (sys.stdout, sys.stderr):
        stream.reconfigure(errors="backslashreplace")  # type: ignore[union-attr]
    sys.stdin.reconfigure(encoding="utf-8", errors="surrogateescape")  # type: ignore[union-attr]
    args = parse_args(argv)
    try:
        run(args, sys.stdout)
    except InputError as error:
        print(f"murvex: error: {visible(str(error))}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 130
    except Exception:
        if args.debug or os.environ.get("MURVEX_DEBUG"):
            traceback.print_exc()
        print("murvex: internal error, please report it (run with --debug for the details)", file=sys.stderr)
        return 70
    except BrokenPipeError:
        # The reader went away (murvex ... | head): stop quietly, and keep the
        # interpreter's final flush of stdout from failing too.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
