"""The murvex command: typo-tolerant search over your own files, with grep's habits.

    murvex search people.csv "jon smiht" "mueller"
    murvex search -e rhythym -e acommodate words.txt notes.txt
    murvex search -r -e "stainles steel" data/
    murvex search --json products.jsonl "stainles steel" | jq .
    murvex index big.txt -o big.murvex && murvex search big.murvex "rythm"
    murvex serve people.csv

Exit status 0 when something matched, 1 when nothing did, 2 for bad input or
arguments, 70 for a fault of murvex's own (the traceback with --debug or
MURVEX_DEBUG=1), 130 when interrupted.
"""

from __future__ import annotations

import argparse
import bisect
import contextlib
import json
import os
import sys
import time
import traceback
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from importlib.metadata import version
from pathlib import Path
from typing import IO

from murvex_tools._native import Hit
from murvex_tools.files import FORMATS, Choice, InputError, Source, files_under, read_source
from murvex_tools.sharded import ShardedMurvex
from murvex_tools.spans import char_span

HIGHLIGHT, RESET = "\x1b[1;33m", "\x1b[0m"
FILE_COLOUR, LINE_COLOUR = "\x1b[35m", "\x1b[32m"
SHOWN_CONTEXT = 60  # characters shown on each side of a match in a long text
LEAD_WIDTH = 30  # characters of the fields a hit leads with
PROGRESS_EVERY = 200_000
SAVED_MAGIC = b"MURVEXIX"

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

FORGIVING_HELP = (
    "forgive what the default matching does not: two swapped letters count as one edit, the first letter may "
    "be wrong, and a record may lack letters of the query; the match is shown where its closest stretch starts"
)

EXAMPLES = """examples:
  murvex search people.csv "jon smiht"            one file, one query
  murvex search -e rhythym -e acommodate a.txt b.txt   several queries and files
  murvex search -r -e "stainles steel" data/        every file below a directory
  murvex search --forgiving words.txt definately   swaps, a wrong first letter
  murvex search --fields name,city --show id people.csv ada
  murvex search -c -e lovlace people.csv           the number of hits per query
  cat notes.txt | murvex search - meeting          records from standard input
  murvex index big.txt -o big.murvex               keep an index to search again
  murvex search big.murvex rythm
  murvex serve people.csv                          a page to search in (murvex[serve])

exit status: 0 something matched, 1 nothing matched, 2 bad input or arguments,
70 a fault of murvex's own, 130 interrupted.
"""


def build_parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    """The murvex parser, and the parser of each command."""
    parser = argparse.ArgumentParser(
        prog="murvex",
        description="Typo-tolerant search over your own files: JSON Lines, JSON arrays, CSV and plain text.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"murvex {version('murvex')}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def settings(sub: argparse.ArgumentParser, max_results: int) -> None:
        sub.add_argument("--threshold", type=float, default=0.25, help="minimum score, 0.0 to 1.0 (default 0.25)")
        sub.add_argument("--max-errors", type=int, default=2, help="byte edits allowed, 0 to 3 (default 2)")
        sub.add_argument(
            "-m",
            "--max-results",
            type=int,
            default=max_results,
            help=f"results per query, 0 to 100 (default {max_results})",
        )
        sub.add_argument("--forgiving", action="store_true", help=FORGIVING_HELP)
        sub.add_argument("--workers", type=int, help="threads a search runs on (default: every CPU)")

    def reading(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--format", choices=FORMATS, default="auto", help="how to read the files (default: by name)")
        sub.add_argument("--fields", metavar="NAME,...", help="search only these fields (JSON and CSV)")
        sub.add_argument("--no-header", action="store_true", help="CSV: the first row is a record too")
        sub.add_argument("-r", "--recursive", action="store_true", help="read every file below a directory")
        sub.add_argument("--debug", action="store_true", help="show the traceback of an internal error")

    search = commands.add_parser(
        "search",
        help="search files of records",
        description="Searches each FILE for each QUERY, allowing a few typos, and lists the best records first. "
        "A FILE holds JSON Lines, a JSON array of objects, CSV with a header row, or plain text (a record per line), "
        "or is an index saved by `murvex index`; '-' is standard input. A record's text is its string fields; an "
        "'id' field (a whole number) is its own id. Without -e or -f, the first argument is the FILE and the rest "
        "are queries; with them, every argument is a FILE. Without any query, queries are read from standard "
        "input, one per line, with line editing on a terminal.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    search.add_argument("arguments", metavar="FILE [QUERY ...]", nargs="*", help="the file, then the queries")
    search.add_argument("-e", "--query", action="append", default=[], metavar="QUERY", help="a query (repeatable)")
    search.add_argument(
        "-f",
        "--queries-from",
        action="append",
        default=[],
        metavar="QUERYFILE",
        help="queries from a file, one per line (repeatable)",
    )
    settings(search, 10)
    reading(search)
    search.add_argument("--show", metavar="NAME,...", help="the fields a hit leads with (default: its first field)")
    output = search.add_mutually_exclusive_group()
    output.add_argument("--json", action="store_true", help="a JSON object per hit and one per query")
    output.add_argument("-c", "--count", action="store_true", help="the number of hits per query")
    output.add_argument("-l", "--files-with-matches", action="store_true", help="the files with a hit")
    output.add_argument("-q", "--quiet", action="store_true", help="nothing: the exit status says it")
    search.add_argument(
        "-n",
        "--line-number",
        action="store_true",
        default=True,
        help="show line numbers (the default, where a file has lines)",
    )
    search.add_argument("--no-line-number", dest="line_number", action="store_false", help="do not show them")
    search.add_argument(
        "--color",
        "--colour",
        choices=("auto", "always", "never"),
        default="auto",
        help="highlight matches (auto: on a terminal, unless NO_COLOR is set or TERM=dumb)",
    )

    index = commands.add_parser(
        "index",
        help="save an index of files, to search again without reading them",
        description="Reads the files as `murvex search` does and saves their index to OUTPUT; "
        "`murvex search OUTPUT QUERY` then searches it without reading the files again.",
    )
    index.add_argument("files", metavar="FILE", nargs="+", help="the files of records")
    index.add_argument("-o", "--output", required=True, metavar="INDEX", help="where to save the index")
    reading(index)

    serve = commands.add_parser(
        "serve",
        help="a page to search the files in, and a JSON API (needs murvex[serve])",
        description="Loads the files and serves a search-as-you-type page at / and a JSON API at /search, "
        "/health and /stats. Binds to 127.0.0.1 unless --host says otherwise; there is no authentication.",
    )
    serve.add_argument("files", metavar="FILE", nargs="+", help="the files of records")
    serve.add_argument("--host", default="127.0.0.1", help="the address to listen on (default 127.0.0.1)")
    serve.add_argument("--port", type=int, default=8000, help="the port (default 8000)")
    serve.add_argument("--cors", metavar="ORIGIN", help="let pages from ORIGIN call the API (default: same origin)")
    settings(serve, 20)
    reading(serve)
    return parser, {"search": search, "index": index, "serve": serve}


def parser() -> argparse.ArgumentParser:
    """The murvex parser, for the man page and the shell completions made from it."""
    return build_parser()[0]


def parse(argv: Sequence[str]) -> argparse.Namespace:
    """The command's arguments, its options anywhere on the line (argparse takes them so only without subparsers)."""
    parser, commands = build_parser()
    if not argv or argv[0] not in commands:
        return parser.parse_args(argv)  # help, the version, or the error for a missing or unknown command
    args = commands[argv[0]].parse_intermixed_args(argv[1:])
    args.command = argv[0]
    return args


# --- the records --------------------------------------------------------------------


@dataclass
class Corpus:
    """The records of every file, in one index whose ids are their places (0, 1, 2, ... across the files)."""

    index: ShardedMurvex
    sources: list[Source]
    starts: list[int]  # the place of each source's first record
    saved: bool = False  # texts come from the saved index

    def locate(self, place: int) -> tuple[Source, int]:
        at = bisect.bisect_right(self.starts, place) - 1
        return self.sources[at], place - self.starts[at]

    def texts(self, places: Sequence[int]) -> dict[int, str]:
        if self.saved:
            return {place: text for place, (_, text) in zip(places, self.index._index.records(places), strict=True)}
        texts = {}
        for place in places:
            source, i = self.locate(place)
            texts[place] = source.texts[i]
        return texts


def names(value: str | None) -> list[str] | None:
    return [name.strip() for name in value.split(",") if name.strip()] if value else None


def new_index(args: argparse.Namespace) -> ShardedMurvex:
    try:
        return ShardedMurvex(
            getattr(args, "threshold", 0.25),
            getattr(args, "max_errors", 2),
            getattr(args, "max_results", 10),
            workers=getattr(args, "workers", None),
            forgiving=getattr(args, "forgiving", False),
        )
    except (ValueError, OverflowError, TypeError) as error:
        raise InputError(f"bad setting: {error}") from None


def load(paths: Sequence[str], args: argparse.Namespace, progress: IO[str] | None) -> Corpus:
    """Every file's records in one index; a saved index when the only file is one."""
    if len(paths) == 1 and paths[0] != "-" and _is_saved(paths[0]):
        return load_saved(paths[0], args)
    index = new_index(args)
    choice = Choice(names(args.fields), names(getattr(args, "show", None)), not args.no_header)
    corpus = Corpus(index, [], [])
    for path in files_under(paths, args.recursive):
        source = read_source(path, args.format, choice)
        corpus.starts.append(index.count)
        corpus.sources.append(source)
        shown = progress if len(source.texts) > PROGRESS_EVERY else None  # long loads only
        for first in range(0, len(source.texts), PROGRESS_EVERY):
            texts = source.texts[first : first + PROGRESS_EVERY]
            index.add_texts(texts, range(index.count, index.count + len(texts)))
            if shown:
                shown.write(f"\rloading {visible(source.name)}: {first + len(texts):,} records")
                shown.flush()
        if shown:
            shown.write(", done\n")
    return corpus


def _is_saved(path: str) -> bool:
    """Whether the file is an index saved by `murvex index`; a pipe never is (and is read only once)."""
    if not Path(path).is_file():
        return False
    try:
        with open(path, "rb") as stream:
            return stream.read(len(SAVED_MAGIC)) == SAVED_MAGIC
    except OSError:
        return False


def sidecar(path: str) -> Path:
    return Path(path + ".files.json")


def save(corpus: Corpus, output: str) -> None:
    corpus.index.save(output)
    described = [
        {"name": s.name, "count": len(s.texts), "lines": s.lines, "ids": s.ids, "leads": s.leads or None}
        for s in corpus.sources
    ]
    sidecar(output).write_text(json.dumps({"version": 1, "sources": described}), encoding="utf-8")


def load_saved(path: str, args: argparse.Namespace) -> Corpus:
    try:
        index = ShardedMurvex.load(path, workers=args.workers)
        described = json.loads(sidecar(path).read_text(encoding="utf-8"))["sources"]
    except (OSError, ValueError, KeyError) as error:
        raise InputError(f"cannot read the saved index {path}: {error}") from None
    index.threshold, index.max_errors, index.max_results = args.threshold, args.max_errors, args.max_results
    index.forgiving = args.forgiving
    sources, starts, place = [], [], 0
    for entry in described:
        source = Source(entry["name"], texts=[], lines=entry["lines"], ids=entry["ids"], leads=entry["leads"] or [])
        sources.append(source)
        starts.append(place)
        place += entry["count"]
    return Corpus(index, sources, starts, saved=True)


# --- output -------------------------------------------------------------------------


def visible(text: str) -> str:
    """`text` on one line, every control character escaped (\\x1b), so that a record cannot drive a terminal."""
    return text.translate(VISIBLE)


def excerpt(text: str, start: int, end: int, lead: str, colour: bool) -> str:
    """The record on one line: from its start when the match is near it, else its lead, then the match in
    context; the matched characters highlighted."""
    begin, finish = char_span(text, start, end)
    before, match, after = text[:begin], text[begin:finish], text[finish:]
    if len(before) > SHOWN_CONTEXT:
        shown_lead = lead if len(lead) <= LEAD_WIDTH else lead[: LEAD_WIDTH - 1] + "…"
        before = (f"{shown_lead} … " if shown_lead and not before.startswith(lead) else "…") + before[-SHOWN_CONTEXT:]
    if len(after) > SHOWN_CONTEXT:
        after = after[:SHOWN_CONTEXT] + "…"
    before, match, after = (visible(part) for part in (before, match, after))
    return f"{before}{HIGHLIGHT}{match}{RESET}{after}" if colour else f"{before}{match}{after}"


def checked_query(query: str) -> str:
    """The query, which must be UTF-8 text (an argument or line of other bytes is refused)."""
    try:
        query.encode("utf-8")
    except UnicodeEncodeError:
        shown = query.encode("utf-8", "surrogateescape").decode("ascii", "backslashreplace")
        raise InputError(f"the query '{shown}' is not UTF-8 text") from None
    return query


def typed_queries(prompt: str) -> Iterator[str]:
    """Queries typed on a terminal, with line editing and history where Python has readline."""
    with contextlib.suppress(ImportError):
        import readline  # noqa: F401  (input() edits lines through it once imported)
    while True:
        try:
            line = input(prompt)
        except EOFError:
            sys.stderr.write("\n")
            return
        if line.strip():
            yield checked_query(line)


def queries_of(args: argparse.Namespace, files: list[str], stream: IO[str]) -> Iterable[str]:
    """The queries: -e and -f, the arguments after the file, or standard input."""
    given = list(args.query)
    for path in args.queries_from:
        try:
            text = (sys.stdin if path == "-" else open(path, encoding="utf-8", errors="surrogateescape")).read()  # noqa: SIM115
        except OSError as error:
            raise InputError(f"cannot read {path}: {error.strerror or error}") from None
        given.extend(line.rstrip("\r") for line in text.split("\n") if line.strip())
    if args.query or args.queries_from:
        return [checked_query(q) for q in given]
    queries = args.arguments[1:]
    for query in queries:
        if query != "-" and Path(query).exists():
            raise InputError(
                f"{query!r} is a file, given where a query goes: several files need their queries "
                f"with -e (murvex search -e QUERY {' '.join([*files, query])})"
            )
    if queries:
        return [checked_query(q) for q in queries]
    if "-" in files:
        raise InputError("give the queries as arguments when the records come from standard input")
    if stream.isatty():
        return typed_queries("query> ")
    return (checked_query(line.rstrip("\r\n")) for line in stream if line.strip())


def colour_wanted(choice: str, out: IO[str]) -> bool:
    if choice != "auto":
        return choice == "always"
    return out.isatty() and not os.environ.get("NO_COLOR") and os.environ.get("TERM") != "dumb"


class Printer:
    """Writes the hits of each query as the options ask: lines, JSON, counts or file names."""

    def __init__(self, args: argparse.Namespace, out: IO[str], corpus: Corpus) -> None:
        self.args, self.out, self.corpus = args, out, corpus
        self.colour = colour_wanted(args.color, out)
        self.several = len(corpus.sources) > 1
        self.files_with_hits: list[str] = []

    def show(self, query: str, hits: list[Hit], ms: float) -> None:
        args, out = self.args, self.out
        if args.count:
            out.write(f"{visible(repr(query))}: {len(hits)}\n")
        elif args.files_with_matches:
            for hit in hits:
                name = self.corpus.locate(hit.id)[0].name
                if name not in self.files_with_hits:
                    self.files_with_hits.append(name)
                    out.write(visible(name) + "\n")
        elif args.json:
            texts = self.corpus.texts([hit.id for hit in hits])
            for hit in hits:
                source, i = self.corpus.locate(hit.id)
                shown = {"query": query, "file": source.name, "id": source.own_id(i), "score": round(hit.score, 3)}
                shown |= {"start": hit.start, "end": hit.end, "line": source.line(i), "text": texts[hit.id]}
                out.write(json.dumps(shown, ensure_ascii=False) + "\n")
            out.write(json.dumps({"query": query, "hits": len(hits), "ms": round(ms, 3)}, ensure_ascii=False) + "\n")
        else:
            texts = self.corpus.texts([hit.id for hit in hits])
            out.write(f"{visible(repr(query))}: {len(hits)} result{'s' * (len(hits) != 1)} in {ms:.2f} ms\n")
            for hit in hits:
                out.write(self.line(hit, texts[hit.id]))
        out.flush()

    def line(self, hit: Hit, text: str) -> str:
        source, i = self.corpus.locate(hit.id)
        where = []
        if self.several:
            where.append(f"{FILE_COLOUR}{visible(source.name)}{RESET}" if self.colour else visible(source.name))
        if self.args.line_number:
            where.append(f"{LINE_COLOUR}{source.line(i)}{RESET}" if self.colour else str(source.line(i)))
        if source.ids is not None:
            where.append(f"#{source.own_id(i)}")
        shown = excerpt(text, hit.start, hit.end, source.lead(i), self.colour)
        return f"  {hit.score:.3f}  {':'.join(where):<8} {shown}\n"


def run_search(args: argparse.Namespace, out: IO[str]) -> int:
    if not args.arguments and not (args.query or args.queries_from):
        raise InputError("give a FILE to search (and queries), or see murvex search --help")
    files = args.arguments if (args.query or args.queries_from) else args.arguments[:1]
    if not files:
        raise InputError("give the FILEs to search")
    queries = queries_of(args, files, sys.stdin)
    corpus = load(files, args, sys.stderr if sys.stderr.isatty() and not args.quiet else None)
    printer = Printer(args, out, corpus)
    matched = False
    for query in queries:
        began = time.perf_counter()
        hits = corpus.index.search(query)
        matched |= bool(hits)
        if args.quiet and matched:
            return 0
        if not args.quiet:
            printer.show(query, hits, (time.perf_counter() - began) * 1000)
    return 0 if matched else 1


def run_index(args: argparse.Namespace) -> int:
    args.threshold, args.max_errors, args.max_results, args.workers, args.forgiving = 0.25, 2, 50, None, False
    progress = sys.stderr if sys.stderr.isatty() else None
    corpus = load(args.files, args, progress)
    save(corpus, args.output)
    print(
        f"murvex: saved {corpus.index.count:,} records of {len(corpus.sources)} file(s) to {args.output}",
        file=sys.stderr,
    )
    return 0


def run_serve(args: argparse.Namespace) -> int:
    try:
        from murvex_tools.serve import serve_files
    except ImportError as error:
        raise InputError(f"murvex serve needs its extra: pip install 'murvex[serve]' ({error})") from None
    return serve_files(args)


COMMANDS = {"search": lambda args: run_search(args, sys.stdout), "index": run_index, "serve": run_serve}


def main(argv: Sequence[str] | None = None) -> int:
    # Whatever the terminal or PYTHONIOENCODING, output never fails to encode;
    # queries typed on standard input that are not UTF-8 are refused, not a traceback.
    for stream in (sys.stdout, sys.stderr):
        stream.reconfigure(errors="backslashreplace")  # type: ignore[union-attr]
    if sys.stdin is not None:
        sys.stdin.reconfigure(encoding="utf-8", errors="surrogateescape")  # type: ignore[union-attr]
    args = parse(sys.argv[1:] if argv is None else argv)
    try:
        return COMMANDS[args.command](args)
    except InputError as error:
        print(f"murvex: error: {visible(str(error))}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        sys.stderr.write("\n")
        status = 130
    except BrokenPipeError:
        # The reader went away (murvex ... | head): stop quietly, and keep the
        # interpreter's final flush of stdout from failing too.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = 0
    except Exception:
        if getattr(args, "debug", False) or os.environ.get("MURVEX_DEBUG"):
            traceback.print_exc()
        print("murvex: internal error, please report it (run with --debug for the details)", file=sys.stderr)
        status = 70
    return status


if __name__ == "__main__":
    sys.exit(main())
