"""Any number of records in one process, searched on every core."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from os import PathLike
from typing import Any, Self

from murvex_tools._batches import SequenceNotStr, as_batch
from murvex_tools._native import Index, load
from murvex_tools.tables import Kind, results_table

SAVED_MAGIC = b"MURVEXIX"  # the first bytes of a file that save() writes


class ShardedMurvex(Index):
    """Any number of records in engines ("shards") of up to 100,000, searched as one.

    Results equal those of one engine of unlimited size: the same scores, best
    first, ties in insertion order, at most `max_results`; a record without an
    'id' gets the total count. A search runs without holding the interpreter
    lock, on `workers` threads (None: every CPU this process may use; 1: the
    calling thread alone), so other Python threads run meanwhile. Changes from
    other threads wait for running searches. `kernel` chooses a form of the
    search kernel by name (see murvex_tools._native.kernels()); every form
    gives the same results. Every method and setting is the compiled Index's
    (murvex_tools._native); this class adds what the Python layer does:
    iterables for add(), tables of results, and load() making this class.

    With `forgiving`, matching forgives what murvex.Murvex does not: a swap of
    two neighbouring letters is one edit, the first letter may be wrong, and a
    record lacking a letter of the query can still match (the pre-filter
    skips a record only when it lacks more of the query's byte classes than
    edits are allowed); `start` is where the closest stretch begins, not the
    end less the query's length. Everything else (folding, the 32-byte query,
    the budget by length, scores, ranking) stays.
    """

    def __repr__(self) -> str:
        return f"{type(self).__name__}(records={self.count}, shards={self.shards})"

    def add(self, records: Mapping[Any, Any] | Iterable[Any], *, new_shard: bool = False) -> int:
        """Adds one record, or every record of a list or other iterable; returns how many were added.

        As in one engine, an error ends the call and the records added before the
        failing one stay.
        """
        return super().add(as_batch(records), new_shard=new_shard)

    def search_frame(self, queries: SequenceNotStr[str], *, workers: int | None = None, as_: Kind = "pyarrow") -> Any:
        """search_many(queries) as one table (pyarrow, polars or pandas): a row per hit, with the
        query, its position in `queries` (query_index), the hit's rank (0 for the best), id, score,
        start and end."""
        return results_table(queries, self.search_many(queries, workers=workers), as_)

    @classmethod
    def load(cls, path: str | PathLike[str], *, workers: int | None = None, kernel: str = "automatic") -> Self:
        """The index a file written by save() holds; search results equal those before saving, ties included.

        OSError when the file cannot be read; ValueError naming the file and
        the problem when it is not a whole saved index (truncated, corrupted,
        foreign, or of another format version). Nothing is half loaded.
        """
        return load(cls, path, workers=workers, kernel=kernel)
