"""The records of the command line's files in one index, and that index saved to a file and read back.

The index's ids are the records' places (0, 1, 2, ... across the files); a
Source tells, for each file, what a hit shows: its name, each record's line,
own id and lead. A saved index keeps that description in its own metadata,
checksummed with it, so that an index file is always whole and consistent.
"""

from __future__ import annotations

import argparse
import bisect
import json
import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import IO

from murvex_tools.files import Choice, InputError, NotText, Source, files_under, read_source
from murvex_tools.printer import visible
from murvex_tools.sharded import SAVED_MAGIC, ShardedMurvex

PROGRESS_EVERY = 200_000
METADATA_VERSION = 1


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

    def bounds(self, place: int) -> tuple[int, int]:
        """The places of the first record of the file holding `place`, and of the next file's first."""
        at = bisect.bisect_right(self.starts, place) - 1
        return self.starts[at], self.starts[at + 1] if at + 1 < len(self.starts) else self.index.count

    @property
    def mode(self) -> str:
        """The index's matching as the command line names it: words, forgiving or strict."""
        return mode_of(self.index.forgiving, self.index.words)

    def texts(self, places: Sequence[int]) -> dict[int, str]:
        if self.saved:
            return {place: text for place, (_, text) in zip(places, self.index.records(places), strict=True)}
        texts = {}
        for place in places:
            source, i = self.locate(place)
            texts[place] = source.texts[i]
        return texts


def names(value: str | None) -> list[str] | None:
    return [name.strip() for name in value.split(",") if name.strip()] if value else None


def results_wanted(args: argparse.Namespace) -> int:
    """-m, or the command's own default when it is not given."""
    given = getattr(args, "max_results", None)
    return given if given is not None else getattr(args, "listed", 10)


def mode_of(forgiving: bool, words: bool) -> str:
    """The command-line mode of an index's settings."""
    return "words" if words else "forgiving" if forgiving else "strict"


def mode_settings(mode: str) -> dict[str, bool]:
    """The index settings of a command-line mode: words, forgiving or strict."""
    return {"forgiving": mode != "strict", "words": mode == "words"}


def new_index(args: argparse.Namespace) -> ShardedMurvex:
    mode = mode_settings(getattr(args, "mode", "strict"))
    try:
        return ShardedMurvex(
            getattr(args, "threshold", 0.25),
            getattr(args, "max_errors", 2),
            results_wanted(args),
            workers=getattr(args, "workers", None),
            forgiving=mode["forgiving"],
            words=mode["words"],
        )
    except (ValueError, OverflowError, TypeError) as error:
        raise InputError(f"bad setting: {error}") from None


def load(
    paths: Sequence[str],
    args: argparse.Namespace,
    progress: IO[str] | None,
    problem: Callable[[str, bool], None] | None = None,
) -> Corpus:
    """Every file's records in one index; a saved index when the only file is one.

    With -r (args.recursive), files below a directory that are binary or not
    UTF-8 are skipped and other files that cannot be read are passed over,
    each told to `problem(message, is_skip)`; without it, or without
    `problem`, the first such file is an InputError.
    """
    if len(paths) == 1 and paths[0] != "-" and is_saved(paths[0]):
        return load_saved(paths[0], args)
    index = new_index(args)
    choice = Choice(names(args.fields), names(getattr(args, "show", None)), not args.no_header)
    corpus = Corpus(index, [], [])
    for path in files_under(paths, args.recursive):
        try:
            source = read_source(path, args.format, choice, binary_is_skipped=args.recursive)
        except NotText as error:
            if not (args.recursive and problem):
                raise
            problem(f"skipped {error}", True)
            continue
        except InputError as error:
            if not (args.recursive and problem):
                raise
            problem(str(error), False)
            continue
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


def is_saved(path: str) -> bool:
    """Whether the file is an index saved by `murvex index`; a pipe never is (and is read only once)."""
    if not Path(path).is_file():
        return False
    try:
        with open(path, "rb") as stream:
            return stream.read(len(SAVED_MAGIC)) == SAVED_MAGIC
    except OSError:
        return False


def sidecar(path: str) -> Path:
    """Where murvex 0.x kept a saved index's file list (its format 2 has no metadata)."""
    return Path(path + ".files.json")


def save(corpus: Corpus, output: str) -> None:
    """The index and its file list in one file, written whole or not at all."""
    described = [
        {
            "name": s.name,
            "count": len(s.texts),
            "lines": s.lines,
            "ids": s.ids,
            "leads": s.leads or None,
            "kind": s.kind,
        }
        for s in corpus.sources
    ]
    corpus.index.metadata = json.dumps({"version": METADATA_VERSION, "sources": described}).encode()
    try:
        corpus.index.save(output)
    except OSError as error:
        raise InputError(f"cannot write the index to {output}: {error.strerror or error}") from None
    stale = sidecar(output)
    if stale.exists():  # an older index's file list: the new file holds its own
        stale.unlink()


def load_saved(path: str, args: argparse.Namespace) -> Corpus:
    try:
        index = ShardedMurvex.load(path, workers=args.workers)
    except (OSError, ValueError) as error:
        raise InputError(f"cannot read the saved index {path}: {error}") from None
    where = path
    metadata = index.metadata
    if not metadata:  # an index saved by murvex 0.x: its file list beside it
        where = str(sidecar(path))
        try:
            metadata = sidecar(path).read_bytes()
        except OSError as error:
            raise InputError(
                f"cannot read {where}, the file list of the saved index {path}: {error.strerror}"
            ) from None
    sources, starts = described_sources(metadata, index.count, where)
    index.threshold, index.max_errors = args.threshold, args.max_errors
    index.max_results = results_wanted(args)
    for name, value in mode_settings(args.mode).items():
        setattr(index, name, value)
    return Corpus(index, sources, starts, saved=True)


def described_sources(metadata: bytes, count: int, where: str) -> tuple[list[Source], list[int]]:
    """The sources a saved index's metadata describes, checked against each other and the index's `count`."""

    def damaged(why: str) -> InputError:
        return InputError(f"{where}: the saved index's file list is damaged ({why}): make the index again")

    try:
        described = json.loads(metadata)
    except (ValueError, RecursionError):
        raise damaged("not JSON") from None
    if not isinstance(described, dict) or not isinstance(described.get("sources"), list):
        raise damaged("no list of sources")
    sources, starts, place = [], [], 0
    for number, entry in enumerate(described["sources"]):
        if not isinstance(entry, dict):
            raise damaged(f"source {number} is not an object")
        name, size = entry.get("name"), entry.get("count")
        if not isinstance(name, str) or type(size) is not int or size < 0:
            raise damaged(f"source {number} has no name or count")
        columns = {key: entry.get(key) for key in ("lines", "ids", "leads")}
        for key, values in columns.items():
            kind = str if key == "leads" else int
            if values is not None and not (
                isinstance(values, list) and len(values) == size and all(type(v) is kind for v in values)
            ):
                raise damaged(f"source {number}'s {key} do not fit its {size} records")
        kind = entry.get("kind", "text")
        source = Source(name, [], columns["lines"], columns["ids"], columns["leads"] or [], kind=str(kind))
        sources.append(source)
        starts.append(place)
        place += size
    if place != count:
        raise damaged(f"it lists {place:,} records, the index holds {count:,}")
    return sources, starts


def output_problem(path: str) -> str | None:
    """What keeps `path` from taking a saved index, found before the files are read: None when nothing."""
    target = Path(path)
    if target.is_dir():
        return f"{path} is a directory"
    folder = target.parent if str(target.parent) else Path(".")
    if not folder.is_dir():
        return f"{folder} is not a directory"
    if not os.access(folder, os.W_OK):
        return f"cannot write in {folder}"
    return None
