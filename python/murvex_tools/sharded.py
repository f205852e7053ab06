"""More than 100,000 records in one process: several engines behind one index."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Any

import murvex
from murvex_tools._shards import SHARD_CAPACITY, add_to_engine, as_batch, check_settings, chunks, merge


class ShardedMurvex:
    """Any number of records in engines ("shards") of up to 100,000, searched as one.

    Results equal those of one engine of unlimited size: the same scores, best
    first, ties in insertion order, at most `max_results`; a record without an
    'id' gets the total count. A search costs one engine search per shard.
    """

    def __init__(
        self,
        threshold: float = 0.25,
        max_errors: int = 2,
        max_results: int = 50,
        *,
        shard_capacity: int = SHARD_CAPACITY,
    ) -> None:
        self._empty = check_settings(threshold, max_errors, max_results, shard_capacity)
        self._settings = (threshold, max_errors, max_results)
        self._max_results = max_results
        self._capacity = shard_capacity
        self._engines: list[murvex.Murvex] = []
        self._counts: list[int] = []

    def __repr__(self) -> str:
        return f"ShardedMurvex(records={self.count}, shards={self.shards})"

    @property
    def count(self) -> int:
        """Number of records in all shards."""
        return sum(self._counts)

    @property
    def shards(self) -> int:
        """Number of engines in use."""
        return len(self._engines)

    def add(self, records: Mapping[Any, Any] | Iterable[Any]) -> int:
        """Adds one record, or every record of a list or other iterable; returns how many were added.

        As in one engine, an error ends the call and the records added before the
        failing one stay.
        """
        before = self.count
        try:
            for shard, chunk in chunks(as_batch(records), self._counts, self._capacity):
                if shard == len(self._engines):
                    self._engines.append(murvex.Murvex(*self._settings))
                engine = self._engines[shard]
                try:
                    add_to_engine(engine, chunk, self.count - self._counts[shard])
                finally:
                    self._counts[shard] = engine.count
        finally:
            del self._counts[len(self._engines) :]  # a shard planned but never made
        return self.count - before

    def search(self, query: str) -> list[murvex.SearchResult]:
        """The best results over all shards, best first, ties in insertion order."""
        if not self._engines:
            return self._empty.search(query)  # an empty list, or the engine's own argument error
        return merge((engine.search(query) for engine in self._engines), self._max_results)

    def remove(self, record_id: int) -> bool:
        """Removes the first record, in insertion order, that carries `record_id`."""
        for shard, engine in enumerate(self._engines):
            if engine.remove(record_id):
                self._counts[shard] -= 1
                return True
        return self._empty.remove(record_id)  # False, or the engine's own argument error

    def reset(self) -> None:
        """Removes every record; the settings stay."""
        self._engines.clear()
        self._counts.clear()
