"""Records from a user's files: JSON Lines, a JSON array, CSV with a header row, or plain text.

A file is read once, from start to end, so pipes work too, and comes out as
what an index needs (each record's text, the string fields joined with single
spaces as the engine joins a dict's values) and what showing a hit needs (its
line, its own id, the fields it leads with). An 'id' field (a JSON integer,
or decimal digits) is the record's own id. Anything wrong is one
`InputError` naming the file and the line.
"""

from __future__ import annotations

import csv
import json
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import AbstractContextManager, nullcontext
from dataclasses import dataclass, field
from itertools import chain
from pathlib import Path
from typing import Any, BinaryIO

MAX_ID = 2**32 - 1
FORMATS = ("auto", "jsonl", "json", "csv", "text")

# The longest line (a record of text, JSON Lines or CSV) and the largest JSON
# array document that are read: past them the input is refused, not read
# until memory runs out (/dev/zero, an endless pipe).
MAX_LINE_BYTES = 64 << 20
MAX_DOCUMENT_BYTES = 2 << 30
CHUNK_BYTES = 1 << 22


class InputError(Exception):
    """Bad input, in one line that names the file and, where there is one, the line."""


@dataclass
class Choice:
    """Which fields make a record's text (`fields`; None: every string field) and which it leads with."""

    fields: Sequence[str] | None = None
    show: Sequence[str] | None = None
    header: bool = True  # CSV: the first row names the columns


@dataclass
class Source:
    """One file's records: their texts, and per record its line, its own id and the text it leads with.

    `lines` None means record i is on line i + 1; `ids` None means its id is i.
    """

    name: str
    texts: list[str] = field(default_factory=list)
    lines: list[int] | None = None
    ids: list[int] | None = None
    leads: list[str] = field(default_factory=list)

    def line(self, i: int) -> int:
        return self.lines[i] if self.lines is not None else i + 1

    def own_id(self, i: int) -> int:
        return self.ids[i] if self.ids is not None else i

    def lead(self, i: int) -> str:
        return self.leads[i] if self.leads else ""


# --- bytes into lines ----------------------------------------------------------


def _chunks(stream: BinaryIO, start: bytes) -> Iterator[bytes]:
    yield start
    while chunk := stream.read(CHUNK_BYTES):
        yield chunk


def _raw_lines(chunks: Iterable[bytes], name: str) -> Iterator[bytes]:
    """The lines of a stream of chunks, each with its line ending; one longer than MAX_LINE_BYTES is an InputError."""
    pending = b""
    number = 1
    for chunk in chunks:
        pending += chunk
        *whole, pending = pending.split(b"\n")
        for line in whole:
            yield line + b"\n"
        number += len(whole)
        if len(pending) > MAX_LINE_BYTES:
            raise InputError(f"{name} line {number}: longer than {MAX_LINE_BYTES >> 20} MiB")
    if pending:
        yield pending


def _decoded(raw: bytes, name: str, number: int) -> str:
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        raise InputError(f"{name} line {number}: not UTF-8 text ({error.reason} at byte {error.start})") from None
    return text[1:] if number == 1 and text.startswith("\ufeff") else text  # a byte order mark


def _decoded_lines(raw_lines: Iterable[bytes], name: str) -> Iterator[tuple[int, str]]:
    """(line number, text with its line ending) for each line."""
    for number, raw in enumerate(raw_lines, 1):
        yield number, _decoded(raw, name, number)


# --- records -----------------------------------------------------------------------


def _own_id(value: Any, where: str) -> int:
    """The record's own id from its 'id' field: a whole number from 0 to 4294967295."""
    if isinstance(value, int) and not isinstance(value, bool) and 0 <= value <= MAX_ID:
        return value
    if isinstance(value, str) and value.isascii() and value.isdigit() and len(value) <= 10 and int(value) <= MAX_ID:
        return int(value)
    shown = repr(value) if len(repr(value)) <= 40 else repr(value)[:37] + "..."
    raise InputError(f"{where}: id {shown} is not a whole number from 0 to {MAX_ID}")


class _Collector:
    """Turns rows (dicts of fields) into a Source's texts, lines, ids and leads, as chosen."""

    def __init__(self, name: str, choice: Choice, unit: str = "line") -> None:
        self.source = Source(name, lines=[], ids=[])
        self.choice = choice
        self.unit = unit  # what the messages count: "line", or "item" in a JSON array
        self.own_ids = False

    def where(self, line: int) -> str:
        return f"{self.source.name} {self.unit} {line}"

    def add_all(self, rows: Iterable[tuple[int, Any]]) -> None:
        """Adds each (line, row); a row that is not a dict is an InputError. Millions of rows come this way:
        what a row needs is looked up once, outside the loop."""
        source, fields, show = self.source, self.choice.fields, self.choice.show
        texts, lines, ids, leads = source.texts, source.lines, source.ids, source.leads
        assert lines is not None and ids is not None
        for line, row in rows:
            if not isinstance(row, dict):
                raise InputError(f"{self.where(line)}: expected a JSON object, found {_json_kind(row)}")
            if "id" in row:
                ids.append(_own_id(row["id"], self.where(line)))
                self.own_ids = True
            else:
                ids.append(len(texts))
            if fields is None:
                parts = [value for key, value in row.items() if isinstance(value, str) and key != "id"]
            else:
                parts = [value for key in fields if isinstance(value := row.get(key), str)]
            texts.append(" ".join(parts))
            lines.append(line)
            if show is not None:
                leads.append(" ".join(str(row[key]) for key in show if row.get(key) is not None))
            else:
                leads.append(parts[0] if parts else "")

    def done(self) -> Source:
        if not self.own_ids:
            self.source.ids = None
        return self.source


def _json(text: str, where: str) -> Any:
    """The JSON value of `text`; anything the parser refuses is an InputError naming `where`."""
    try:
        return json.loads(text)
    except json.JSONDecodeError as error:
        at = where if " line " in where else f"{where} line {error.lineno}"
        raise InputError(f"{at}: not valid JSON ({error.msg})") from None
    except RecursionError:
        raise InputError(f"{where}: not valid JSON here (nested too deeply)") from None
    except ValueError as error:  # an integer of thousands of digits
        raise InputError(f"{where}: not valid JSON here ({error})") from None


def _json_kind(value: Any) -> str:
    return {dict: "an object", list: "an array", str: "a string", bool: "true or false"}.get(
        type(value), "null" if value is None else "a number"
    )


JSON_BATCH = 2048  # lines parsed by one json.loads call


def _json_rows(batch: list[tuple[int, str]], name: str) -> list[Any]:
    """The values of a batch of JSON lines, parsed as one array (a call per line costs more than the parsing);
    when that fails, or a line held more or less than one value, line by line, for the error naming the line."""
    try:
        rows = json.loads("[" + ",".join(text for _, text in batch) + "]")
        if isinstance(rows, list) and len(rows) == len(batch):
            return rows
    except (ValueError, RecursionError):
        pass
    return [_json(text, f"{name} line {number}") for number, text in batch]


def _json_lines(lines: Iterable[tuple[int, str]], name: str, choice: Choice) -> Source:
    collector = _Collector(name, choice)
    batch: list[tuple[int, str]] = []
    for number, text in chain(lines, [(0, "")]):
        if number and text.strip():
            batch.append((number, text))
        if len(batch) < JSON_BATCH and number:
            continue
        collector.add_all(zip((at for at, _ in batch), _json_rows(batch, name), strict=True))
        batch.clear()
    return collector.done()


def _json_array(lines: Iterable[tuple[int, str]], name: str, choice: Choice) -> Source:
    text, size = [], 0
    for _, line in lines:
        text.append(line)
        size += len(line)
        if size > MAX_DOCUMENT_BYTES:
            raise InputError(f"{name}: a JSON document larger than {MAX_DOCUMENT_BYTES >> 30} GiB; use JSON Lines")
    rows = _json("".join(text), name)
    if not isinstance(rows, list):
        raise InputError(f"{name}: expected an array of objects, found {_json_kind(rows)}")
    collector = _Collector(name, choice, "item")
    collector.add_all(enumerate(rows, 1))
    return collector.done()


def _looks_like_data(cell: str) -> bool:
    return cell.strip().replace(".", "", 1).replace("-", "", 1).isdigit()


def _csv(lines: Iterable[tuple[int, str]], name: str, choice: Choice) -> Source:
    csv.field_size_limit(MAX_LINE_BYTES)
    texts = (text for _, text in lines)  # with their line endings: a quoted field may hold a line break
    reader = csv.reader(texts)

    def rows() -> Iterator[tuple[int, list[str]]]:
        """(first line, fields) of each row but blank ones; the reader counts the lines."""
        while True:
            first = reader.line_num + 1
            try:
                row = next(reader)
            except StopIteration:
                return
            except csv.Error as error:
                raise InputError(f"{name} line {reader.line_num or 1}: not valid CSV ({error})") from None
            if row:
                yield first, row

    found = rows()
    head = next(found, None)
    if head is None:
        raise InputError(f"{name}: empty, where a CSV file needs a header row")
    header_line, header = head
    if choice.header:
        for i, column in enumerate(header):
            if not column.strip():
                raise InputError(
                    f"{name} line {header_line}: the header row has no name for column {i + 1}; no header? "
                    "(--no-header reads every row as a record)"
                )
            if header.index(column) != i:
                raise InputError(f"{name} line {header_line}: the header row names {column!r} twice; no header?")
            if _looks_like_data(column):
                raise InputError(
                    f"{name} line {header_line}: the header row holds {column!r}, which looks like data, not a "
                    "column name (--no-header reads every row as a record)"
                )
        rest: Iterable[tuple[int, list[str]]] = found
    else:
        rest = chain([head], found)
        header = [str(i + 1) for i in range(len(header))]
    for wanted in [*(choice.fields or ()), *(choice.show or ())]:
        if wanted not in header:
            raise InputError(f"{name}: no column {wanted!r} (the columns: {', '.join(header)})")

    def named() -> Iterator[tuple[int, dict[str, str]]]:
        for number, row in rest:
            if len(row) != len(header):
                raise InputError(f"{name} line {number}: {len(row)} fields where the header has {len(header)}")
            yield number, dict(zip(header, row, strict=True))

    collector = _Collector(name, choice)
    collector.add_all(named())
    return collector.done()


def _text(chunks: Iterable[bytes], name: str) -> Source:
    """A record per line, read a few megabytes at a time and split in one go: the fast path."""
    source = Source(name)
    pending = b""
    for chunk in chunks:
        pending += chunk
        cut = pending.rfind(b"\n") + 1
        if not cut:
            if len(pending) > MAX_LINE_BYTES:
                raise InputError(f"{name} line {len(source.texts) + 1}: longer than {MAX_LINE_BYTES >> 20} MiB")
            continue
        _text_lines(pending[:cut], source, name)
        pending = pending[cut:]
    if pending:
        _text_lines(pending + b"\n", source, name)
    return source


def _text_lines(block: bytes, source: Source, name: str) -> None:
    try:
        text = block.decode("utf-8")
    except UnicodeDecodeError as error:
        line = len(source.texts) + block.count(b"\n", 0, error.start) + 1
        raise InputError(f"{name} line {line}: not UTF-8 text ({error.reason} at byte {error.start})") from None
    if not source.texts and text.startswith("\ufeff"):
        text = text[1:]
    lines = text.split("\n")
    lines.pop()  # after the last line ending
    source.texts.extend(line[:-1] if line.endswith("\r") else line for line in lines)


def _sniff(start: bytes, suffix_format: str) -> str:
    """JSON Lines or a JSON array by the first character of the data, else `suffix_format`."""
    first = start.lstrip(b"\xef\xbb\xbf \t\r\n")[:1]
    return "json" if first == b"[" else "jsonl" if first == b"{" else suffix_format


def format_of(path: Path, chosen: str, start: bytes) -> str:
    """The format to read: `chosen`, or for "auto" the file's suffix (.jsonl, .ndjson, .json,
    .csv; anything else is text), a .json file being JSON Lines when `start` (its first bytes)
    begins with an object; standard input ("-") by its first bytes alone."""
    if chosen != "auto":
        return chosen
    if str(path) == "-":
        return _sniff(start, "text")
    suffix = path.suffix.lower()
    if suffix in (".jsonl", ".ndjson"):
        return "jsonl"
    if suffix == ".csv":
        return "csv"
    if suffix == ".json":
        return _sniff(start, "json")
    return "text"


LINE_READERS: dict[str, Callable[[Iterable[tuple[int, str]], str, Choice], Source]] = {
    "jsonl": _json_lines,
    "json": _json_array,
    "csv": _csv,
}


def read_source(path: Path | str, chosen: str = "auto", choice: Choice | None = None) -> Source:
    """The records of a file; "-" is standard input. The file is read once, from the start to the end."""
    choice = choice or Choice()
    name = "<stdin>" if str(path) == "-" else str(path)
    owned: AbstractContextManager[BinaryIO]
    if name == "<stdin>":
        stream: BinaryIO = sys.stdin.buffer
        path, owned = Path("-"), nullcontext(stream)  # left open: standard input is not ours to close
    else:
        path = Path(path)
        if path.is_dir():
            raise InputError(f"{path} is a directory (-r searches the files in it)")
        try:
            stream = owned = path.open("rb")
        except OSError as error:
            raise InputError(f"cannot read {path}: {error.strerror or error}") from None
    with owned:
        start = stream.read(4096)
        form = format_of(path, chosen, start)
        if form == "text":  # a line is a record: there are no fields to choose (--fields, --show)
            return _text(_chunks(stream, start), name)
        lines = _decoded_lines(_raw_lines(_chunks(stream, start), name), name)
        return LINE_READERS[form](lines, name, choice)


def files_under(paths: Sequence[str], recursive: bool) -> list[str]:
    """The files to read: each path, and with `recursive` the files below each directory, in name order."""
    found: list[str] = []
    for path in paths:
        if recursive and path != "-" and Path(path).is_dir():
            found.extend(str(p) for p in sorted(Path(path).rglob("*")) if p.is_file())
        else:
            found.append(path)
    return found
