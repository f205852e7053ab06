"""Records from a user's file: JSON Lines, a JSON array, CSV with a header row, or plain text.

Each record is a dict whose string values form its text, as the engine joins
them. An 'id' field (a JSON integer, or decimal digits) is the record's own
id; without one, a record's id is its index in the file (0, 1, 2, ...).
Anything wrong is one `InputError` naming the file and the line.
"""

from __future__ import annotations

import csv
import json
import sys
from collections.abc import Callable, Iterable, Iterator
from contextlib import AbstractContextManager, nullcontext
from dataclasses import dataclass
from itertools import chain
from pathlib import Path
from typing import Any, BinaryIO

MAX_ID = 2**32 - 1
FORMATS = ("auto", "jsonl", "json", "csv", "text")


class InputError(Exception):
    """Bad input, in one line that names the file and, where there is one, the line."""


@dataclass
class Record:
    """One record: its own id, the line it starts on, and its fields (the 'id' field taken out)."""

    id: int
    line: int
    fields: dict[str, Any]


# The longest line (a record of text, JSON Lines or CSV) and the largest JSON
# array document that are read: past them the input is refused, not read
# until memory runs out (/dev/zero, an endless pipe).
MAX_LINE_BYTES = 64 << 20
MAX_DOCUMENT_BYTES = 2 << 30
CHUNK_BYTES = 1 << 16


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


def _decoded_lines(stream: Iterable[bytes], name: str) -> Iterator[tuple[int, str]]:
    """(line number, text) for each line, the line ending taken off; not UTF-8 is an InputError."""
    for number, raw in enumerate(stream, 1):
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as error:
            raise InputError(f"{name} line {number}: not UTF-8 text ({error.reason} at byte {error.start})") from None
        if number == 1 and text.startswith("\ufeff"):
            text = text[1:]  # a byte order mark
        yield number, text.rstrip("\r\n")


def _own_id(value: Any, where: str) -> int:
    """The record's own id from its 'id' field: a whole number from 0 to 4294967295."""
    if isinstance(value, int) and not isinstance(value, bool) and 0 <= value <= MAX_ID:
        return value
    if isinstance(value, str) and value.isascii() and value.isdigit() and len(value) <= 10 and int(value) <= MAX_ID:
        return int(value)
    shown = repr(value) if len(repr(value)) <= 40 else repr(value)[:37] + "..."
    raise InputError(f"{where}: id {shown} is not a whole number from 0 to {MAX_ID}")


def _record(index: int, line: int, fields: dict[str, Any], where: str) -> Record:
    if "id" in fields:
        fields = dict(fields)
        return Record(_own_id(fields.pop("id"), where), line, fields)
    return Record(index, line, fields)


def _json_lines(lines: Iterable[tuple[int, str]], name: str) -> Iterator[Record]:
    index = 0
    for number, text in lines:
        if not text.strip():
            continue
        row = _json(text, f"{name} line {number}")
        if not isinstance(row, dict):
            raise InputError(f"{name} line {number}: expected a JSON object, found {_json_kind(row)}")
        yield _record(index, number, row, f"{name} line {number}")
        index += 1


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


def _json_array(lines: Iterable[tuple[int, str]], name: str) -> Iterator[Record]:
    text, size = [], 0
    for _, line in lines:
        text.append(line)
        size += len(line) + 1
        if size > MAX_DOCUMENT_BYTES:
            raise InputError(f"{name}: a JSON document larger than {MAX_DOCUMENT_BYTES >> 30} GiB; use JSON Lines")
    rows = _json("\n".join(text), name)
    if not isinstance(rows, list):
        raise InputError(f"{name}: expected an array of objects, found {_json_kind(rows)}")
    for index, row in enumerate(rows):
        if not isinstance(row, dict):
            raise InputError(f"{name} item {index + 1}: expected a JSON object, found {_json_kind(row)}")
        yield _record(index, 0, row, f"{name} item {index + 1}")


def _csv(lines: Iterable[tuple[int, str]], name: str) -> Iterator[Record]:
    numbers: list[int] = []  # the line numbers the reader has taken so far

    def texts() -> Iterator[str]:
        for number, text in lines:
            numbers.append(number)
            yield text

    csv.field_size_limit(MAX_LINE_BYTES)
    reader = csv.reader(texts())

    def rows() -> Iterator[tuple[int, list[str]]]:
        """(first line, fields) of each row but blank ones."""
        while True:
            taken = len(numbers)
            try:
                row = next(reader)
            except StopIteration:
                return
            except csv.Error as error:
                raise InputError(f"{name} line {numbers[-1] if numbers else 1}: not valid CSV ({error})") from None
            if row:
                yield numbers[taken] if taken < len(numbers) else taken + 1, row

    found = rows()
    first = next(found, None)
    if first is None:
        raise InputError(f"{name}: empty, where a CSV file needs a header row")
    header_line, header = first
    for i, column in enumerate(header):
        if not column.strip():
            raise InputError(f"{name} line {header_line}: the header row has no name for column {i + 1}; no header?")
        if header.index(column) != i:
            raise InputError(f"{name} line {header_line}: the header row names {column!r} twice; no header?")
    for index, (number, row) in enumerate(found):
        if len(row) != len(header):
            raise InputError(f"{name} line {number}: {len(row)} fields where the header has {len(header)}")
        yield _record(index, number, dict(zip(header, row, strict=True)), f"{name} line {number}")


def _text(lines: Iterable[tuple[int, str]], name: str) -> Iterator[Record]:
    for index, (number, text) in enumerate(lines):
        yield Record(index, number, {"text": text})


def _sniff(start: bytes, suffix_format: str) -> str:
    """JSON Lines or a JSON array by the first character of the data, else `suffix_format`."""
    first = start.lstrip(b"\xef\xbb\xbf \t\r\n")[:1]
    return "json" if first == b"[" else "jsonl" if first == b"{" else suffix_format


def format_of(path: Path, chosen: str, start: bytes) -> str:
    """The format to read: `chosen`, or for "auto" the file's suffix (.jsonl, .ndjson, .json,
    .csv; anything else is text), a .json file being JSON Lines when `start` (its first bytes)
    begins with an object."""
    if chosen != "auto":
        return chosen
    suffix = path.suffix.lower()
    if suffix in (".jsonl", ".ndjson"):
        return "jsonl"
    if suffix == ".csv":
        return "csv"
    if suffix == ".json":
        return _sniff(start, "json")
    return "text"


READERS: dict[str, Callable[[Iterable[tuple[int, str]], str], Iterator[Record]]] = {
    "jsonl": _json_lines,
    "json": _json_array,
    "csv": _csv,
    "text": _text,
}


def _chunks(stream: BinaryIO) -> Iterator[bytes]:
    while chunk := stream.read(CHUNK_BYTES):
        yield chunk


def read_records(path: Path | str, chosen: str = "auto") -> Iterator[Record]:
    """The records of a file; "-" is standard input. The file is read once, from the start to the end,
    so that pipes and other streams that cannot be read twice work too."""
    name = "<stdin>" if str(path) == "-" else str(path)
    owned: AbstractContextManager[BinaryIO]
    if name == "<stdin>":
        stream: BinaryIO = sys.stdin.buffer
        path, owned = Path("-"), nullcontext(stream)  # left open: standard input is not ours to close
    else:
        path = Path(path)
        try:
            stream = owned = path.open("rb")
        except OSError as error:
            raise InputError(f"cannot read {path}: {error.strerror or error}") from None
    with owned:
        start = stream.read(4096) if chosen == "auto" else b""
        form = _sniff(start, "text") if name == "<stdin>" and chosen == "auto" else format_of(path, chosen, start)
        lines = _decoded_lines(_raw_lines(chain([start], _chunks(stream)), name), name)
        yield from READERS[form](lines, name)
