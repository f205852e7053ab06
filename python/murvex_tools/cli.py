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
import contextlib
import os
import shlex
import signal
import sys
import time
import traceback
from collections.abc import Iterable, Iterator, Sequence
from pathlib import Path
from typing import IO

from murvex_tools.corpus import Corpus, load, output_problem, results_wanted, save
from murvex_tools.files import FORMATS, InputError
from murvex_tools.printer import Printer, visible

MOST_LISTED = 100  # results a search lists at most: the engine's cap

MODES_HELP = {
    "words": "the default: each word of a query matched on its own, in any order, with the forgiving rules (two "
    "swapped letters are one edit, the first letter may be wrong, accents and case are folded in every script); "
    "records holding every word first, then those holding all but the last word, and so on; ranked by how close "
    "their words are to the query's",
    "forgiving": "the whole query matched as one stretch, with the forgiving rules and ranking",
    "strict": "murvex.Murvex's own rules and ranking: the first letter must be right, a swap is two edits, only "
    "ASCII letters fold their case",
}

EXAMPLES = """examples:
  murvex search people.csv "jon smiht"            one file, one query
  murvex search -e rhythym -e acommodate a.txt b.txt   several queries and files
  murvex search -r -e "stainles steel" data/        every file below a directory
  murvex search products.csv "geforce nvidia"     words in any order (the default)
  murvex search --strict words.txt definately      murvex.Murvex's own rules
  murvex search --fields name,city --show id people.csv ada
  murvex search -c -e lovlace people.csv           the number of hits per query
  cat notes.txt | murvex search - meeting          records from standard input
  murvex index big.txt -o big.murvex               keep an index to search again
  murvex search big.murvex rythm
  murvex serve people.csv                          a page to search in (needs starlette, uvicorn)

exit status: 0 something matched, 1 nothing matched, 2 bad input or arguments,
70 a fault of murvex's own, 130 interrupted.
"""


def grep_options(search: argparse.ArgumentParser) -> None:
    """The options of grep's that murvex search takes as grep does."""
    search.add_argument("-i", "--ignore-case", action="store_true", help="accepted for grep's sake: case never counts")
    search.add_argument("-w", "--word-regexp", action="store_true", help="only records whose best match is whole words")
    search.add_argument("-x", "--line-regexp", action="store_true", help="only records that match as a whole")
    search.add_argument("-v", "--invert-match", action="store_true", help="the records that do not match")
    search.add_argument("-o", "--only-matching", action="store_true", help="only the matched text of each hit")
    names = search.add_mutually_exclusive_group()
    names.add_argument(
        "-H", "--with-filename", dest="with_filename", action="store_const", const=True, help="name each hit's file"
    )
    names.add_argument(
        "-h", "--no-filename", dest="with_filename", action="store_const", const=False, help="never name the files"
    )
    search.add_argument("-s", "--no-messages", action="store_true", help="no messages about files skipped or unread")
    for short, name, what in (("-A", "after", "after"), ("-B", "before", "before"), ("-C", "", "around")):
        search.add_argument(
            short,
            f"--{name + '-' if name else ''}context",
            type=int,
            metavar="NUM",
            help=f"NUM lines of context {what} each hit (plain-text files)",
        )


def build_parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    """The murvex parser, and the parser of each command."""
    parser = argparse.ArgumentParser(
        prog="murvex",
        description="Typo-tolerant search over your own files: JSON Lines, JSON arrays, CSV and plain text.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action=Version, nargs=0, help="show the version and exit")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def settings(sub: argparse.ArgumentParser, max_results: int) -> None:
        sub.add_argument("--threshold", type=float, default=0.25, help="minimum score, 0.0 to 1.0 (default 0.25)")
        sub.add_argument("--max-errors", type=int, default=2, help="byte edits allowed, 0 to 3 (default 2)")
        sub.add_argument(
            "-m",
            "--max-results",
            type=int,
            default=None,
            help=f"results listed per query, 0 to {MOST_LISTED} (default {max_results}); with -c or -v, a cap on "
            "the count or the records listed",
        )
        sub.set_defaults(listed=max_results)  # when -m is not given
        modes = sub.add_mutually_exclusive_group()
        for mode, what in MODES_HELP.items():
            modes.add_argument(f"--{mode}", dest="mode", action="store_const", const=mode, help=what)
        sub.set_defaults(mode="words")
        sub.add_argument("--workers", type=int, help="threads a search runs on (default: every CPU)")

    def reading(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--format", choices=FORMATS, default="auto", help="how to read the files (default: by name)")
        sub.add_argument("--fields", metavar="NAME,...", help="search only these fields (JSON and CSV)")
        sub.add_argument("--no-header", action="store_true", help="CSV: the first row is a record too")
        sub.add_argument("-r", "--recursive", action="store_true", help="read every file below a directory")
        sub.add_argument("--debug", action="store_true", help="show the traceback of an internal error")

    search = commands.add_parser(
        "search",
        add_help=False,  # -h is grep's --no-filename
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
    search.add_argument("--help", action="help", help="show this help message and exit")
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
    grep_options(search)
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
        help="a page to search the files in, and a JSON API (needs starlette and uvicorn)",
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


class Version(argparse.Action):
    """--version, the package's version looked up only when asked (it costs more than the rest of the start)."""

    def __call__(self, parser: argparse.ArgumentParser, *_: object) -> None:
        from importlib.metadata import version

        print(f"murvex {version('murvex')}")
        parser.exit()


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


# --- the queries -------------------------------------------------------------------


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


def corrected_command(arguments: Sequence[str]) -> str:
    """The command that searches what `arguments` (FILE QUERY ... with files among the queries, or grep's order
    QUERY FILE ...) mean: the files as files and the rest as -e queries."""
    files = [a for a in arguments if a == "-" or Path(a).exists()]
    queries = [a for a in arguments if a not in files]
    if not queries:
        return "give the queries after the file, or with -e"
    shown = " ".join([*(f"-e {shlex.quote(q)}" for q in queries), *map(shlex.quote, files)])
    return f"several files need their queries with -e, as in: murvex search {shown}"


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
    if any(query != "-" and Path(query).exists() for query in queries):
        raise InputError(
            f"{visible(repr(next(q for q in queries if Path(q).exists())))} is a file, given where a "
            f"query goes: {corrected_command(args.arguments)}"
        )
    if queries:
        return [checked_query(q) for q in queries]
    if "-" in files:
        raise InputError("give the queries as arguments when the records come from standard input")
    if stream.isatty():
        return typed_queries("query> ")
    return (checked_query(line.rstrip("\r\n")) for line in stream if line.strip())


def checked_options(args: argparse.Namespace) -> None:
    """Refuses options that cannot go together, before any file is read."""
    if args.max_results is not None and not 0 <= args.max_results <= MOST_LISTED:
        raise InputError(
            f"-m {args.max_results}: at most {MOST_LISTED} results are listed per query (the engine's cap per "
            "search); -c counts every match, and -c -m N caps the count"
        )
    for flag, given in (("-w", args.word_regexp), ("-x", args.line_regexp), ("-o", args.only_matching)):
        if given and (args.count or args.invert_match):
            raise InputError(f"{flag} goes with a list of hits, not with {'-c' if args.count else '-v'}")
    for flag in ("after_context", "before_context", "context"):
        if (getattr(args, flag) or 0) < 0:
            raise InputError(f"--{flag.replace('_', '-')} takes a number of lines from 0 up")


def every_record(corpus: Corpus, query: str, args: argparse.Namespace) -> list[int]:
    """-c and -v: the places of every record that matches (or, with -v, does not), in file order; -m caps them."""
    found = corpus.index.matching_ids(query)
    if args.invert_match:
        matching = set(found)
        found = [place for place in range(corpus.index.count) if place not in matching]
    return found[: args.max_results] if args.max_results is not None else found


def run_search(args: argparse.Namespace, out: IO[str]) -> int:
    if not args.arguments and not (args.query or args.queries_from):
        raise InputError("give a FILE to search (and queries), or see murvex search --help")
    files = args.arguments if (args.query or args.queries_from) else args.arguments[:1]
    if not files:
        raise InputError("give the FILEs to search")
    checked_options(args)
    queries = queries_of(args, files, sys.stdin)
    failures: list[str] = []

    def problem(message: str, is_skip: bool) -> None:
        if not args.no_messages:
            print(f"murvex: {visible(message)}", file=sys.stderr)
        if not is_skip:
            failures.append(message)

    corpus = load(files, args, sys.stderr if sys.stderr.isatty() and not args.quiet else None, problem)
    printer = Printer(args, out, corpus)
    if any(printer.context()) and (bad := [s.name for s in corpus.sources if s.kind != "text"]):
        raise InputError(f"context lines (-A, -B, -C) are for plain-text files, not {visible(bad[0])}")
    matched = False
    for query in queries:
        began = time.perf_counter()
        if args.count or args.invert_match:
            found = every_record(corpus, query, args)
            matched |= bool(found)
            if args.quiet and matched:
                return 0
            if args.count:
                printer.count(query, len(found))
            elif not args.quiet:
                printer.show_unmatched(query, found)
            continue
        listed = results_wanted(args)
        if args.word_regexp or args.line_regexp:  # the best whole matches among all the engine lists
            hits = corpus.index.search(query, max_results=MOST_LISTED)
            texts = corpus.texts([hit.id for hit in hits])
            hits = [hit for hit in hits if printer.whole(query, hit, texts[hit.id])][:listed]
        else:
            hits = corpus.index.search(query)
        matched |= bool(hits)
        if args.quiet and matched:
            return 0
        if not args.quiet:
            printer.show(query, hits, (time.perf_counter() - began) * 1000)
    return 2 if failures else 0 if matched else 1


def run_index(args: argparse.Namespace) -> int:
    if problem := output_problem(args.output):
        raise InputError(f"cannot write the index to {args.output}: {problem}")
    # Made in the words mode, as searches run by default: the index folds (each search still chooses its mode).
    args.threshold, args.max_errors, args.max_results, args.workers, args.mode = 0.25, 2, 50, None, "words"
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
        raise InputError(
            f"murvex serve needs starlette and uvicorn: pip install starlette uvicorn, or in a clone of murvex "
            f"pip install '.[serve]' ({error})"
        ) from None
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
        signal.signal(signal.SIGINT, signal.default_int_handler)  # a KeyboardInterrupt while the command runs
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
    finally:
        # A Ctrl-C once the command is done (while a large index is freed at exit) ends the process as one
        # during the command does, not with a traceback from the interpreter's shutdown.
        signal.signal(signal.SIGINT, interrupted_at_exit)
    return status


def interrupted_at_exit(signum: int, frame: object) -> None:
    with contextlib.suppress(OSError, ValueError):
        sys.stdout.flush()
        sys.stderr.write("\n")
        sys.stderr.flush()
    os._exit(130)


if __name__ == "__main__":
    sys.exit(main())
