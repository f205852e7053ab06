"""What the murvex command prints of a query's hits: lines with the match in context, JSON, counts or names.

A hit's text is shown on one line with every control character escaped, so
that a record can never drive the terminal; the matched stretch is
highlighted where it truly starts (in the strict mode the engine's `start` is
the end less the query's length, a byte off after a letter left out or put
in), and in the words mode every word of the query that the record holds.
"""

from __future__ import annotations

import argparse
import json
import os
from collections.abc import Sequence
from typing import IO, TYPE_CHECKING

from murvex_tools._native import Hit
from murvex_tools.spans import char_span, engine_spans, outer_span, shown_spans

if TYPE_CHECKING:
    from murvex_tools.corpus import Corpus
    from murvex_tools.files import Source

HIGHLIGHT, RESET = "\x1b[1;33m", "\x1b[0m"
FILE_COLOUR, LINE_COLOUR = "\x1b[35m", "\x1b[32m"
SHOWN_CONTEXT = 60  # characters shown on each side of a match in a long text
LEAD_WIDTH = 30  # characters of the fields a hit leads with

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


def visible(text: str) -> str:
    """`text` on one line, every control character escaped (\\x1b), so that a record cannot drive a terminal."""
    return text.translate(VISIBLE)


def excerpt(
    text: str,
    start: int,
    end: int,
    lead: str,
    colour: bool,
    *,
    lead_always: bool = False,
    marks: Sequence[tuple[int, int] | None] = (),
) -> str:
    """The record on one line: from its start when the match is near it, else its lead, then the match in
    context; the matched characters highlighted (each of `marks`, byte spans within start..end, when given:
    the words of a words-mode hit). The lead is shown wherever the record's start is cut off (and, with
    `lead_always`, before a record that does not start with it)."""
    begin, finish = char_span(text, start, end)
    before, after = text[:begin], text[finish:]
    cut = len(before) > SHOWN_CONTEXT
    if cut:
        before = before[-SHOWN_CONTEXT:]
    shown_lead = lead if len(lead) <= LEAD_WIDTH else lead[: LEAD_WIDTH - 1] + "…"
    if shown_lead and (cut or (lead_always and not text.startswith(lead))):
        before = f"{shown_lead} … {before}" if cut else f"{shown_lead} — {before}"
    elif cut:
        before = "…" + before
    if len(after) > SHOWN_CONTEXT:
        after = after[:SHOWN_CONTEXT] + "…"
    spans = [char_span(text, *mark) for mark in marks if mark is not None] or [(begin, finish)]
    return visible(before) + marked(text, begin, finish, spans, colour) + visible(after)


def marked(text: str, begin: int, finish: int, spans: Sequence[tuple[int, int]], colour: bool) -> str:
    """text[begin:finish] on one line, the characters of `spans` highlighted when `colour`."""
    if not colour:
        return visible(text[begin:finish])
    out, at = [], begin
    for first, last in sorted(spans):
        first, last = max(first, at), min(last, finish)
        if first >= last:
            continue
        out += [visible(text[at:first]), HIGHLIGHT, visible(text[first:last]), RESET]
        at = last
    return "".join([*out, visible(text[at:finish])])


def colour_wanted(choice: str, out: IO[str]) -> bool:
    if choice != "auto":
        return choice == "always"
    return out.isatty() and not os.environ.get("NO_COLOR") and os.environ.get("TERM") != "dumb"


def is_word_character(character: str) -> bool:
    return character.isalnum() or character == "_"


class Printer:
    """Writes the hits of each query as the options ask: lines, JSON, counts, file names or the matched text."""

    def __init__(self, args: argparse.Namespace, out: IO[str], corpus: Corpus) -> None:
        self.args, self.out, self.corpus = args, out, corpus
        self.colour = colour_wanted(args.color, out)
        self.names = args.with_filename if args.with_filename is not None else len(corpus.sources) > 1
        self.files_with_hits: list[str] = []

    def spans(self, query: str, hit: Hit, text: str) -> list[tuple[int, int] | None]:
        """The byte spans of a hit's matches as a reader sees them (see shown_spans)."""
        return shown_spans(text.encode("utf-8"), query, hit, self.corpus.mode)

    def span(self, query: str, hit: Hit, text: str) -> tuple[int, int]:
        """The byte span a hit covers as a reader sees it: from its first match's start to its last one's end."""
        return outer_span(self.spans(query, hit, text))

    def whole(self, query: str, hit: Hit, text: str) -> bool:
        """Whether the hit passes -w (each stretch that matched is whole words) and -x (it is the whole
        record). Outside the strict mode the stretches are the engine's own, not widened to words."""
        mode = self.corpus.mode
        spans = self.spans(query, hit, text) if mode == "strict" else engine_spans(hit, mode)
        if self.args.line_regexp and outer_span(spans) != (0, len(text.encode("utf-8"))):
            return False
        if self.args.word_regexp:
            for start, end in filter(None, spans):
                begin, finish = char_span(text, start, end)
                if (begin > 0 and is_word_character(text[begin - 1])) or (
                    finish < len(text) and is_word_character(text[finish])
                ):
                    return False
        return True

    def count(self, query: str, count: int) -> None:
        self.out.write(f"{visible(repr(query))}: {count}\n")
        self.out.flush()

    def show(self, query: str, hits: list[Hit], ms: float) -> None:
        args, out = self.args, self.out
        if args.files_with_matches:
            for hit in hits:
                name = self.corpus.locate(hit.id)[0].name
                if name not in self.files_with_hits:
                    self.files_with_hits.append(name)
                    out.write(visible(name) + "\n")
        elif args.json:
            texts = self.corpus.texts([hit.id for hit in hits])
            for hit in hits:
                source, i = self.corpus.locate(hit.id)
                start, end = self.span(query, hit, texts[hit.id])
                shown = {"query": query, "file": source.name, "id": source.own_id(i), "score": round(hit.score, 3)}
                shown |= {"start": start, "end": end, "line": source.line(i), "text": texts[hit.id]}
                if self.corpus.mode == "words":
                    shown["spans"] = [list(span) if span else None for span in self.spans(query, hit, texts[hit.id])]
                out.write(json.dumps(shown, ensure_ascii=False) + "\n")
            out.write(json.dumps({"query": query, "hits": len(hits), "ms": round(ms, 3)}, ensure_ascii=False) + "\n")
        else:
            texts = self.corpus.texts([hit.id for hit in hits])
            out.write(f"{visible(repr(query))}: {len(hits)} result{'s' * (len(hits) != 1)} in {ms:.2f} ms\n")
            for number, hit in enumerate(hits):
                if number and any(self.context()):
                    out.write("  --\n")
                self.write_hit(query, hit, texts[hit.id])
        out.flush()

    def show_unmatched(self, query: str, places: Sequence[int]) -> None:
        """-v: the records that do not match, in file order."""
        texts = self.corpus.texts(places)
        for place in places:
            source, i = self.corpus.locate(place)
            if self.args.json:
                shown = {"query": query, "file": source.name, "id": source.own_id(i), "line": source.line(i)}
                self.out.write(json.dumps(shown | {"text": texts[place]}, ensure_ascii=False) + "\n")
            else:
                self.out.write(f"  {'':5}  {self.where(source, i, ':'):<8} {visible(texts[place])}\n")
        self.out.flush()

    def context(self) -> tuple[int, int]:
        """Lines of context before and after a hit (-B, -A, -C)."""
        args = self.args
        before = args.before_context if args.before_context is not None else args.context or 0
        after = args.after_context if args.after_context is not None else args.context or 0
        return before, after

    def where(self, source: Source, i: int, mark: str) -> str:
        """The hit's file (when several, or -H), line and own id, coloured on a terminal."""
        where = []
        if self.names:
            where.append(f"{FILE_COLOUR}{visible(source.name)}{RESET}" if self.colour else visible(source.name))
        if self.args.line_number:
            where.append(f"{LINE_COLOUR}{source.line(i)}{RESET}" if self.colour else str(source.line(i)))
        if source.ids is not None:
            where.append(f"#{source.own_id(i)}")
        return mark.join(where)

    def write_hit(self, query: str, hit: Hit, text: str) -> None:
        source, i = self.corpus.locate(hit.id)
        start, end = self.span(query, hit, text)
        before, after = self.context()
        first, last = self.corpus.bounds(hit.id)
        self.write_context(source, first, range(max(hit.id - before, first), hit.id))
        if self.args.only_matching:
            begin, finish = char_span(text, start, end)
            matched = visible(text[begin:finish])
            shown = f"{HIGHLIGHT}{matched}{RESET}" if self.colour else matched
        else:
            marks = self.spans(query, hit, text)
            lead_always = self.args.show is not None
            shown = excerpt(text, start, end, source.lead(i), self.colour, lead_always=lead_always, marks=marks)
        self.out.write(f"  {hit.score:.3f}  {self.where(source, i, ':'):<8} {shown}\n")
        self.write_context(source, first, range(hit.id + 1, min(hit.id + after + 1, last)))

    def write_context(self, source: Source, first: int, places: range) -> None:
        """Records of `source` (whose first record is at place `first`) around a hit, marked as grep marks
        context lines."""
        texts = self.corpus.texts(places)
        for place in places:
            where = self.where(source, place - first, "-")
            self.out.write(f"  {'':5}  {where:<8} {visible(texts[place])}\n")
