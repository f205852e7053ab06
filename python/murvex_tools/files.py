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

from murvex_tools._native import json_lines

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


class NotText(InputError):
    """A file that is not text: binary, or not UTF-8. Under -r such a file is skipped, as grep skips it."""


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
    kind: str = "text"  # the format it was read as: "text" has a record per line

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
            if len(line) > MAX_LINE_BYTES:
                raise _too_long(name, number)
            number += 1
            yield line + b"\n"
        if len(pending) > MAX_LINE_BYTES:
            raise _too_long(name, number)
    if pending:
        yield pending


def _too_long(name: str, number: int) -> InputError:
    return InputError(f"{name} line {number}: longer than {_shown_size(MAX_LINE_BYTES)}")


def _shown_size(size: int) -> str:
    return f"{size >> 20} MiB" if size >= 1 << 20 else f"{size:,} bytes"


def _first_line_fits(pending: bytes, name: str, number: int) -> None:
    """Refuses the first line of `pending` when it is too long: the one line that can have grown over chunks
    (every later one came whole in the last chunk, which is shorter than the limit)."""
    end = pending.find(b"\n")
    if (end if end >= 0 else len(pending)) > MAX_LINE_BYTES:
        raise _too_long(name, number)


def _line_runs(chunks: Iterable[bytes], name: str) -> Iterator[tuple[int, bytes]]:
    """(number of the first line, the lines) for the whole lines of each chunk: bytes with a line ending
    between lines but none after the last, a byte order mark dropped. A line longer than MAX_LINE_BYTES is
    an InputError."""
    pending = b""
    number = 1
    for chunk in chunks:
        if number == 1 and not pending and chunk.startswith(b"\xef\xbb\xbf"):
            chunk = chunk[3:]
        pending += chunk
        _first_line_fits(pending, name, number)
        cut = pending.rfind(b"\n")
        if cut >= 0:
            block, pending = pending[:cut], pending[cut + 1 :]
            yield number, block
            number += block.count(b"\n") + 1
    if pending:
        yield number, pending


def _decoded(raw: bytes, name: str, number: int) -> str:
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        raise NotText(f"{name} line {number}: not UTF-8 text ({error.reason} at byte {error.start})") from None
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
        what a row needs is looked up once, outside the loop, and the common case (a whole-number id or none,
        no fields chosen) is tested first."""
        source, fields, show = self.source, self.choice.fields, self.choice.show
        texts, lines, ids, leads = source.texts, source.lines, source.ids, source.leads
        assert lines is not None and ids is not None
        absent = object()
        for line, row in rows:
            if type(row) is not dict:
                raise InputError(f"{self.where(line)}: expected a JSON object, found {_json_kind(row)}")
            own = row.get("id", absent)
            if own is absent:
                ids.append(len(texts))
            else:
                self.own_ids = True
                if type(own) is int and 0 <= own <= MAX_ID:
                    ids.append(own)
                else:
                    ids.append(_own_id(own, self.where(line)))
            if fields is not None:
                parts = [value for key in fields if type(value := row.get(key)) is str]
            elif type(own) is str:  # the id's own string is not text
                parts = [value for key, value in row.items() if type(value) is str and key != "id"]
            else:
                parts = [value for value in row.values() if type(value) is str]
            texts.append(" ".join(parts))
            lines.append(line)
            if show is not None:
                leads.append(" ".join(str(row[key]) for key in show if row.get(key) is not None))
            else:
                leads.append(parts[0] if parts else "")

    def add_read(self, lines: list[int], texts: list[str], ids: list[int], leads: list[str], own_ids: bool) -> None:
        """Adds the records the companion's JSON Lines reader made, as add_all would have."""
        source = self.source
        assert source.lines is not None and source.ids is not None
        source.texts.extend(texts)
        source.lines.extend(lines)
        source.ids.extend(ids)
        source.leads.extend(leads)
        self.own_ids = self.own_ids or own_ids

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
        raise InputError(f"{at}: not valid JSON ({error.msg.removesuffix(' at')} at column {error.colno})") from None
    except RecursionError:
        raise InputError(f"{where}: not valid JSON here (nested too deeply)") from None
    except ValueError as error:  # an integer of thousands of digits
        raise InputError(f"{where}: not valid JSON here ({error})") from None


def _json_kind(value: Any) -> str:
    return {dict: "an object", list: "an array", str: "a string", bool: "true or false"}.get(
        type(value), "null" if value is None else "a number"
    )


def _json_line_values(first: int, raws: list[bytes], name: str) -> tuple[Iterable[int], list[Any]]:
    """The line numbers and values of a run of JSON Lines (raw, without line endings) numbered from `first`,
    but blank ones. Parsed as one array, as bytes decoded at once: a call per line costs more than the
    parsing. When that fails (a blank line, or a fault), the lines that are not blank are tried so once
    more, then line by line, for the error naming the line."""

    def at_once(lines: list[bytes]) -> list[Any] | None:
        # Each line in brackets of its own, so that a value cannot run on into the next line unnoticed: a
        # line of two values gives a list of two, one cut short makes the whole invalid. Only a line with
        # brackets of its own could close and reopen those: each such line is then parsed alone as well.
        joined = b"[[" + b"],\n[".join(lines) + b"]]"
        try:
            wrapped = json.loads(joined.decode("utf-8"))
            if len(wrapped) != len(lines) or any(type(value) is not list or len(value) != 1 for value in wrapped):
                return None
            if joined.count(b"[") > len(lines) + 1 or joined.count(b"]") > len(lines) + 1:
                for raw in lines:
                    if b"[" in raw or b"]" in raw:
                        json.loads(raw.decode("utf-8"))
        except (ValueError, RecursionError):  # UnicodeDecodeError among them
            return None
        return [value for (value,) in wrapped]

    values = at_once(raws)
    if values is not None:
        return range(first, first + len(raws)), values
    numbered = [(number, raw) for number, raw in enumerate(raws, first) if raw.strip()]
    values = at_once([raw for _, raw in numbered])
    if values is None:
        texts = [(number, _decoded(raw, name, number)) for number, raw in numbered]
        numbered, values = [], []
        for number, text in texts:
            if text.strip():  # blank but for Unicode spaces
                numbered.append((number, b""))
                values.append(_json(text, f"{name} line {number}"))
    return [number for number, _ in numbered], values


def _json_lines(chunks: Iterable[bytes], name: str, choice: Choice) -> Source:
    """Runs of plain lines (objects with a whole-number id or none) are read by the companion's reader
    without a Python object per field; any other run, and any run with --show, here."""
    collector = _Collector(name, choice)
    for first, block in _line_runs(chunks, name):
        read = None
        if choice.show is None:
            read = json_lines(block, first, len(collector.source.texts), choice.fields)
        if read is not None:
            collector.add_read(*read)
        else:
            numbers, values = _json_line_values(first, block.split(b"\n"), name)
            collector.add_all(zip(numbers, values, strict=True))
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
        _first_line_fits(pending, name, len(source.texts) + 1)
        cut = pending.rfind(b"\n") + 1
        if not cut:
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
        at = error.start - block.rfind(b"\n", 0, error.start) - 1
        raise NotText(f"{name} line {line}: not UTF-8 text ({error.reason} at byte {at})") from None
    if not source.texts and text.startswith("\ufeff"):
        text = text[1:]
    lines = text.split("\n")
    lines.pop()  # after the last line ending
    if "\r" in text:  # a line may end in CR LF: one by one
        source.texts.extend(line[:-1] if line.endswith("\r") else line for line in lines)
    else:
        source.texts.extend(lines)


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
    "json": _json_array,
    "csv": _csv,
}


def read_source(
    path: Path | str, chosen: str = "auto", choice: Choice | None = None, *, binary_is_skipped: bool = False
) -> Source:
    """The records of a file; "-" is standard input. The file is read once, from the start to the end.

    With `binary_is_skipped`, a file with a NUL byte in its first 4 KiB is NotText, as grep -r tells binary
    files."""
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
        start = stream.read(min(4096, CHUNK_BYTES))
        if binary_is_skipped and b"\0" in start:
            raise NotText(f"{name}: a binary file")
        form = format_of(path, chosen, start)
        if form == "text":  # a line is a record: there are no fields to choose (--fields, --show)
            source = _text(_chunks(stream, start), name)
        elif form == "jsonl":
            source = _json_lines(_chunks(stream, start), name, choice)
        else:
            lines = _decoded_lines(_raw_lines(_chunks(stream, start), name), name)
            source = LINE_READERS[form](lines, name, choice)
    source.kind = form
    return source


def files_under(paths: Sequence[str], recursive: bool) -> list[str]:
    """The files to read: each path, and with `recursive` the files below each directory, in name order."""
    found: list[str] = []
    for path in paths:
        if recursive and path != "-" and Path(path).is_dir():
            found.extend(str(p) for p in sorted(Path(path).rglob("*")) if p.is_file())
        else:
            found.append(path)
    return found
