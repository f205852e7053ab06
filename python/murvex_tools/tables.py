"""Results as tables.

Tables come in through the Arrow PyCapsule interface, so any library that
exports Arrow data works (pyarrow, polars, pandas 2.2 and later, DuckDB) and
none of them is needed by murvex itself. Tables go out in the library asked
for; that one must be installed (`pip install 'murvex[frames]'` brings pyarrow).
"""

from __future__ import annotations

import importlib
from collections.abc import Iterable, Sequence
from typing import Any, Literal

from murvex_tools._native import Hit

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
