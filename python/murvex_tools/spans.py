"""Record texts and matched spans as Python strings.

A result's `start` and `end` are byte offsets into the record's text as the
engine joined it, and `start` is `end` minus the query's length in bytes: it
can fall inside a multi-byte character. These helpers rebuild that text from
the record and cut it at whole characters.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from murvex_tools._native import Hit


def text_parts(record: Any) -> Iterator[str]:
    """The string values of `record` that the engine joins into its text, in the dict's order.

    Keys and values of other types play no part; a string holding a lone
    surrogate is skipped, as the engine skips it. Anything but a dict has none.
    """
    if not isinstance(record, dict):
        return
    for value in dict.values(record):  # the stored entries, as the engine reads them
        if isinstance(value, str):
            try:
                str.encode(value, "utf-8")  # str's own encoding, never a subclass's encode()
            except UnicodeEncodeError:
                continue
            yield str.__str__(value)


def record_text(record: Any) -> str:
    """The text the engine stores for `record`: its text parts joined with single spaces."""
    return " ".join(text_parts(record))


def _is_continuation(byte: int) -> bool:
    return byte & 0xC0 == 0x80


def char_span(text: str, start: int, end: int) -> tuple[int, int]:
    """The character offsets into `text` of the byte span start..end, widened to whole UTF-8 characters."""
    raw = text.encode("utf-8")
    start, end = max(0, min(start, len(raw))), max(0, min(end, len(raw)))
    while 0 < start < len(raw) and _is_continuation(raw[start]):
        start -= 1
    while end < len(raw) and _is_continuation(raw[end]):
        end += 1
    begin = len(raw[:start].decode("utf-8"))
    return begin, begin + len(raw[start : max(start, end)].decode("utf-8"))


def matched_text(text: str, start: int, end: int) -> str:
    """The part of `text` that bytes start..end cover, never a broken character."""
    begin, finish = char_span(text, start, end)
    return text[begin:finish]


QUERY_BYTES = 32  # the part of a query the engine matches
MOST_ERRORS = 3


def match_start(text: bytes, query: str, end: int) -> int:
    """Where the stretch of `text` (a record's UTF-8 bytes) that ends at byte `end` and is closest to `query`
    starts: the fewest byte edits (ASCII case folded), then the longest such stretch. The engine's own
    `start` is `end` less the query's length (a byte off after a letter left out or put in), or in the
    forgiving mode the shortest closest stretch; this is the stretch a reader sees as the match."""
    pattern = query.encode("utf-8")[:QUERY_BYTES].lower()[::-1]
    m = len(pattern)
    window = text[max(0, end - m - MOST_ERRORS) : end].lower()[::-1]  # read backwards from the end
    # row[j]: the edits between the pattern's last i bytes and the window's last j bytes
    row = list(range(len(window) + 1))
    for i in range(1, m + 1):
        previous, row = row, [i] + [0] * len(window)
        for j in range(1, len(window) + 1):
            row[j] = min(previous[j] + 1, row[j - 1] + 1, previous[j - 1] + (pattern[i - 1] != window[j - 1]))
    best = min(range(len(window) + 1), key=lambda j: (row[j], -j))
    return end - best


def is_word_byte(byte: int) -> bool:
    """A byte of a word, as the forgiving and words modes count words: an ASCII letter or digit, or a byte of
    a non-ASCII character."""
    return byte >= 0x80 or chr(byte).isalnum()


def covering_words(text: bytes, start: int, end: int) -> tuple[int, int]:
    """Bytes start..end of `text` widened to the whole words they start and end in."""
    if start < end and is_word_byte(text[start]):
        while start > 0 and is_word_byte(text[start - 1]):
            start -= 1
    if start < end and is_word_byte(text[end - 1]):
        while end < len(text) and is_word_byte(text[end]):
            end += 1
    return start, end


def shown_spans(text: bytes, query: str, hit: Hit, mode: str) -> list[tuple[int, int] | None]:
    """The byte spans a reader sees as a hit's matches in `text` (the record's UTF-8 bytes). In the strict
    mode one span, from where the stretch closest to the query starts (see match_start); in the forgiving mode
    the match widened to the words it touches; in the words mode each query word's so (None for a word the
    record does not hold)."""
    if mode == "strict":
        return [(match_start(text, query, hit.end), hit.end)]
    return [None if span is None else covering_words(text, *span) for span in engine_spans(hit, mode)]


def engine_spans(hit: Hit, mode: str) -> list[tuple[int, int] | None]:
    """A hit's matches as the engine gives them: each query word's in the words mode, else start..end."""
    return list(hit.spans) if mode == "words" else [(hit.start, hit.end)]


def outer_span(spans: Sequence[tuple[int, int] | None]) -> tuple[int, int]:
    """From the first span's start to the last one's end (None, a word not held, left out)."""
    held = [span for span in spans if span]
    return min(start for start, _ in held), max(end for _, end in held)
