"""Any number of records in one process, searched on every core."""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Mapping, Sequence
from os import PathLike
from typing import Any, Self, TypedDict, Unpack

from murvex_tools._batches import SHARD_CAPACITY, SequenceNotStr, as_batch
from murvex_tools._native import Hit, Index, load
from murvex_tools.tables import Kind, results_table

SAVED_MAGIC = b"MURVEXIX"  # the first bytes of a file that save() writes


class SearchOptions(TypedDict, total=False):
    """What one search may bring of its own (None: the index's)."""

    workers: int | None
    threshold: float | None
    max_errors: int | None
    max_results: int | None
    forgiving: bool | None


class ShardedMurvex:
    """Any number of records in engines ("shards") of up to 100,000, searched as one.

    Results equal those of one engine of unlimited size: the same scores, best
    first, ties in insertion order, at most `max_results`; a record without an
    'id' gets the total count. A search runs without holding the interpreter
    lock, on `workers` threads (None: every CPU this process may use; 1: the
    calling thread alone), so other Python threads run meanwhile. Changes from
    other threads wait for running searches. `kernel` chooses a form of the
    search kernel by name (see murvex_tools._native.kernels()); every form
    gives the same results.

    With `forgiving`, matching forgives what murvex.Murvex does not: a swap of
    two neighbouring letters is one edit, the first letter may be wrong, and a
    record lacking a letter of the query can still match (the pre-filter
    skips a record only when it lacks more of the query's byte classes than
    edits are allowed); `start` is where the closest stretch begins, not the
    end less the query's length. Everything else (folding, the 32-byte query,
    the budget by length, scores, ranking) stays.
    """

    def __init__(
        self,
        threshold: float = 0.25,
        max_errors: int = 2,
        max_results: int = 50,
        *,
        shard_capacity: int = SHARD_CAPACITY,
        workers: int | None = None,
        kernel: str = "automatic",
        forgiving: bool = False,
    ) -> None:
        self._index = Index(
            threshold,
            max_errors,
            max_results,
            shard_capacity=shard_capacity,
            workers=workers,
            kernel=kernel,
            forgiving=forgiving,
        )

    def __repr__(self) -> str:
        return f"ShardedMurvex(records={self.count}, shards={self.shards})"

    @property
    def count(self) -> int:
        """Number of records in all shards."""
        return self._index.count

    @property
    def shards(self) -> int:
        """Number of engines in use."""
        return self._index.shards

    @property
    def workers(self) -> int:
        """Threads a search runs on."""
        return self._index.workers

    @workers.setter
    def workers(self, value: int | None) -> None:
        self._index.workers = value  # type: ignore[assignment]  # None: every usable CPU

    @property
    def threshold(self) -> float:
        """Minimum score, 0.0 to 1.0, as held (whole thousandths: 0.251 reads back as 0.25)."""
        return self._index.threshold

    @threshold.setter
    def threshold(self, value: float) -> None:
        self._index.threshold = value

    @property
    def max_errors(self) -> int:
        """Byte edits allowed, 0 to 3."""
        return self._index.max_errors

    @max_errors.setter
    def max_errors(self, value: int) -> None:
        self._index.max_errors = value

    @property
    def max_results(self) -> int:
        """Most results per search, 0 to 100."""
        return self._index.max_results

    @max_results.setter
    def max_results(self, value: int) -> None:
        self._index.max_results = value

    @property
    def forgiving(self) -> bool:
        """Whether matching forgives swaps, a wrong first letter and letters the record lacks."""
        return self._index.forgiving

    @forgiving.setter
    def forgiving(self, value: bool) -> None:
        self._index.forgiving = value

    @property
    def metadata(self) -> bytes:
        """Bytes kept with the index: save() writes them into the file, load() gives them back."""
        return self._index.metadata

    @metadata.setter
    def metadata(self, value: bytes) -> None:
        self._index.metadata = value

    @property
    def kernel(self) -> str:
        """The form of the search kernel searches run in."""
        return self._index.kernel

    def add(self, records: Mapping[Any, Any] | Iterable[Any]) -> int:
        """Adds one record, or every record of a list or other iterable; returns how many were added.

        As in one engine, an error ends the call and the records added before the
        failing one stay.
        """
        return self._index.add(as_batch(records))

    def add_texts(self, texts: SequenceNotStr[str] | Iterator[str], ids: Sequence[int] | None = None) -> int:
        """Adds one record per str, without dicts: its id from `ids` (ints, as many as texts), else the count.

        A str that cannot be encoded (a lone surrogate) adds nothing, as for a
        dict's value. Bad input (a str for `texts`, an item that is not a str, an
        id out of range, lengths that disagree) raises an error naming the
        position, and nothing of the call is added. Returns the number of
        records added.
        """
        return self._index.add_texts(texts, ids)

    def add_frame(self, frame: object, columns: str | Sequence[str] | None = None, id_column: str | None = None) -> int:
        """Adds one record per row of a table: a pyarrow Table, a polars or pandas (2.2+) DataFrame, a DuckDB result.

        Anything that exports Arrow data (__arrow_c_stream__) works; its string
        buffers are read directly. A row's text is the `columns` (default: every
        string column but the id column) joined with single spaces, nulls
        skipped; a row with none adds nothing. Its id comes from `id_column`
        (integers, 0 to 4294967295, no nulls), else the count. An error names the
        column (and row), and nothing of the call is added.
        """
        return self._index.add_frame(frame, columns, id_column)

    def search(self, query: str, **own: Unpack[SearchOptions]) -> list[Hit]:
        """The best results over all shards, best first, ties in insertion order.

        `workers` and a setting given here apply to this search only; the index's own stay as they
        are, so that threads searching with different settings never disturb each other."""
        return self._index.search(query, **own)

    def matching_ids(self, query: str, **own: Unpack[SearchOptions]) -> list[int]:
        """The ids of every record search(query) would find if it had no cap on its results, in insertion order
        (max_results plays no part): len() of it counts the matches."""
        return self._index.matching_ids(query, **own)

    def records(self, positions: Sequence[int]) -> list[tuple[int, str]]:
        """The (id, text) of the records at these places in insertion order."""
        return self._index.records(positions)

    def search_many(self, queries: SequenceNotStr[str], **own: Unpack[SearchOptions]) -> list[list[Hit]]:
        """[search(q, ...) for q in queries], the queries spread over the worker threads."""
        return self._index.search_many(queries, **own)

    def search_frame(self, queries: SequenceNotStr[str], *, workers: int | None = None, as_: Kind = "pyarrow") -> Any:
        """search_many(queries) as one table (pyarrow, polars or pandas): a row per hit, with the
        query, its position in `queries` (query_index), the hit's rank (0 for the best), id, score,
        start and end."""
        return results_table(queries, self.search_many(queries, workers=workers), as_)

    def save(self, path: str | PathLike[str]) -> None:
        """Writes the index to a file for load(): settings, shards, records and metadata, checksummed.

        The file is written beside `path` under a temporary name and renamed
        once whole, so a crash never leaves half an index under the name.
        """
        self._index.save(path)

    @classmethod
    def load(cls, path: str | PathLike[str], *, workers: int | None = None, kernel: str = "automatic") -> Self:
        """The index a file written by save() holds; search results equal those before saving, ties included.

        OSError when the file cannot be read; ValueError naming the file and
        the problem when it is not a whole saved index (truncated, corrupted,
        foreign, or of another format version). Nothing is half loaded.
        """
        index = cls.__new__(cls)
        index._index = load(Index, path, workers=workers, kernel=kernel)
        return index

    def remove(self, record_id: int) -> bool:
        """Removes the first record, in insertion order, that carries `record_id`."""
        return self._index.remove(record_id)

    def reset(self) -> None:
        """Removes every record; the settings stay."""
        self._index.reset()
