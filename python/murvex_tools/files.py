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
from dataclasses import dataclass
from pathlib import Path
from typing import Any

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
    if isinstance(value, str) and value.isascii() and value.isdigit() and int(value) <= MAX_ID:
        return int(value)
    raise InputError(f"{where}: id {value!r} is not a whole number from 0 to {MAX_ID}")


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
        try:
            row = json.loads(text)
        except json.JSONDecodeError as error:
            raise InputError(f"{name} line {number}: not valid JSON ({error.msg})") from None
        if not isinstance(row, dict):
            raise InputError(f"{name} line {number}: expected a JSON object, found {_json_kind(row)}")
        yield _record(index, number, row, f"{name} line {number}")
        index += 1


def _json_kind(value: Any) -> str:
    return {dict: "an object", list: "an array", str: "a string", bool: "true or false"}.get(
        type(value), "null" if value is None else "a number"
    )


def _json_array(lines: Iterable[tuple[int, str]], name: str) -> Iterator[Record]:
    text = "\n".join(line for _, line in lines)
    try:
        rows = json.loads(text)
    except json.JSONDecodeError as error:
        raise InputError(f"{name} line {error.lineno}: not valid JSON ({error.msg})") from None
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


def format_of(path: Path, chosen: str) -> str:
    """The format to read: `chosen`, or for "auto" the file's suffix (.jsonl, .ndjson, .json,
    .csv; anything else is text), a .json file being JSON Lines when it starts with an object."""
    if chosen != "auto":
        return chosen
    suffix = path.suffix.lower()
    if suffix in (".jsonl", ".ndjson"):
        return "jsonl"
    if suffix == ".csv":
        return "csv"
    if suffix == ".json":
        with path.open("rb") as stream:
            return _sniff(stream.read(4096), "json")
    return "text"


READERS: dict[str, Callable[[Iterable[tuple[int, str]], str], Iterator[Record]]] = {
    "jsonl": _json_lines,
    "json": _json_array,
    "csv": _csv,
    "text": _text,
}


def read_records(path: Path | str, chosen: str = "auto") -> Iterator[Record]:
    """The records of a file; "-" is standard input (read in full first when its format is "auto")."""
    if str(path) == "-":
        data = sys.stdin.buffer.read()
        form = _sniff(data[:4096], "text") if chosen == "auto" else chosen
        yield from READERS[form](_decoded_lines(data.splitlines(keepends=True), "<stdin>"), "<stdin>")
        return
    path = Path(path)
    try:
        stream = path.open("rb")
    except OSError as error:
        raise InputError(f"cannot read {path}: {error.strerror or error}") from None
    with stream:
        form = format_of(path, chosen)
        yield from READERS[form](_decoded_lines(stream, str(path)), str(path))
