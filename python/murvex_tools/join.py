"""Fuzzy joins between tables: the rows of one that each row of another holds with a few typos.

Tables come in through the Arrow PyCapsule interface (see ShardedMurvex.add_frame) and go out in the library
of the left table, or the one asked for.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from murvex_tools._native import frame_texts
from murvex_tools.sharded import ShardedMurvex
from murvex_tools.tables import Kind, kind_of, table_of


def fuzzy_join(
    left: object,
    right: object,
    *,
    left_on: str | Sequence[str],
    right_on: str | Sequence[str],
    max_results: int = 1,
    threshold: float = 0.25,
    max_errors: int = 2,
    forgiving: bool = False,
    words: bool = False,
    workers: int | None = None,
    as_: Kind | None = None,
) -> Any:
    """The rows of `right` that each row of `left` matches, as a table of left_row, right_row, score, start, end.

    The text of a row is its `*_on` column(s) joined with single spaces (nulls
    skipped), as ShardedMurvex.add_frame makes it. The right table is indexed,
    and every left row's text searched in it: up to `max_results` matches per
    left row, best first, ties in right-row order; a left row without text, or
    without a match, has no row in the result (like an inner join). `start`
    and `end` are byte offsets into the right row's text. The table comes in
    the library of `left` (pyarrow, polars or pandas), or `as_`.

    Unlike pandas.merge, which pairs rows whose keys are equal, this pairs a
    left row with the right rows whose text holds its text with a few typos:
    merge left and right on the result's left_row and right_row to bring
    their other columns in. `forgiving` and `words` match as ShardedMurvex's
    settings of those names do. Row numbers are uint64 on both sides.
    """
    index = ShardedMurvex(threshold, max_errors, max_results, workers=workers, forgiving=forgiving, words=words)
    index.add_frame(right, right_on, row_ids=True)  # a hit's id is the right row's number
    texts = frame_texts(left, left_on)
    rows = [i for i, text in enumerate(texts) if text is not None]
    results = index.search_many([text for text in texts if text is not None])
    columns: dict[str, list[Any]] = {"left_row": [], "right_row": [], "score": [], "start": [], "end": []}
    for row, hits in zip(rows, results, strict=True):
        for hit in hits:
            columns["left_row"].append(row)
            columns["right_row"].append(hit.id)
            columns["score"].append(hit.score)
            columns["start"].append(hit.start)
            columns["end"].append(hit.end)
    types = {"left_row": "uint64", "right_row": "uint64", "score": "float32", "start": "uint32", "end": "uint32"}
    return table_of(columns, types, as_ or kind_of(left))
