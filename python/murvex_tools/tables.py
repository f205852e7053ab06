"""Results as tables, and fuzzy joins between tables.

Tables come in through the Arrow PyCapsule interface, so any library that
exports Arrow data works (pyarrow, polars, pandas 2.2 and later, DuckDB) and
none of them is needed by murvex itself. Tables go out in the library asked
for; that one must be installed (`pip install 'murvex[frames]'` brings pyarrow).
"""

from __future__ import annotations

import importlib
from collections.abc import Iterable, Sequence
from typing import Any, Literal

from murvex_tools._native import Hit, frame_texts

Kind = Literal["pyarrow", "polars", "pandas"]
KINDS: tuple[Kind, ...] = ("pyarrow", "polars", "pandas")


def _library(kind: str) -> Any:
    if kind not in KINDS:
        raise ValueError(f"as_ must be one of {', '.join(KINDS)}, not {kind!r}")
    try:
        return importlib.import_module(kind)
    except ImportError:
        extra = "pip install 'murvex[frames]'" if kind == "pyarrow" else f"pip install {kind}"
        raise ImportError(f"a {kind} table was asked for, and {kind} is not installed: {extra}") from None


def kind_of(table: object) -> Kind:
    """The library a table comes from, where it is one murvex can give tables of; else pyarrow."""
    root = type(table).__module__.split(".")[0]
    return "polars" if root == "polars" else "pandas" if root == "pandas" else "pyarrow"


def table_of(columns: dict[str, list[Any]], types: dict[str, str], kind: Kind) -> Any:
    """A table of these columns in the library `kind`; `types` are Arrow type names (uint32, float32, ...)."""
    library = _library(kind)
    if kind == "polars":
        dtypes = {
            "uint32": library.UInt32,
            "float32": library.Float32,
            "uint64": library.UInt64,
            "string": library.String,
        }
        return library.DataFrame([library.Series(name, v, dtype=dtypes[types[name]]) for name, v in columns.items()])
    if kind == "pandas":
        return library.DataFrame({name: library.Series(v, dtype=types[name]) for name, v in columns.items()})
    return library.table({name: library.array(v, type=getattr(library, types[name])()) for name, v in columns.items()})


RESULT_TYPES = {
    "query": "string",
    "query_index": "uint64",
    "rank": "uint32",
    "id": "uint32",
    "score": "float32",
    "start": "uint32",
    "end": "uint32",
}


def results_table(queries: Iterable[str], results: Sequence[Sequence[Hit]], kind: Kind) -> Any:
    """One row per hit: the query, its position among the queries, the hit's rank (0 = best), id, score, start
    and end."""
    columns: dict[str, list[Any]] = {name: [] for name in RESULT_TYPES}
    for position, (query, hits) in enumerate(zip(queries, results, strict=True)):
        for rank, hit in enumerate(hits):
            columns["query"].append(query)
            columns["query_index"].append(position)
            columns["rank"].append(rank)
            columns["id"].append(hit.id)
            columns["score"].append(hit.score)
            columns["start"].append(hit.start)
            columns["end"].append(hit.end)
    return table_of(columns, RESULT_TYPES, kind)


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
    their other columns in. `forgiving` matches as ShardedMurvex(forgiving=True)
    does. Row numbers are uint64 on both sides.
    """
    from murvex_tools.sharded import ShardedMurvex

    index = ShardedMurvex(threshold, max_errors, max_results, workers=workers, forgiving=forgiving)
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
