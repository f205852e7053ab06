"""More than 100,000 records: one search over several murvex engines.

An engine holds at most 100,000 records. `ShardedMurvex` fills engines
("shards") one after another and merges their results by score, ties in
shard-then-insertion order, which is exactly the order one big engine would
give. A search costs the sum of the shards' searches.

    from sharded import ShardedMurvex
    index = ShardedMurvex(max_results=20)
    index.add(records)            # any number of records
    hits = index.search("jon smiht")
"""

from __future__ import annotations

import heapq
from collections.abc import Iterable, Mapping
from itertools import islice
from typing import Any

import murvex

SHARD_CAPACITY = 100_000


class ShardedMurvex:
    """Several engines behind one add/search/remove API."""

    def __init__(
        self, threshold: float = 0.25, max_errors: int = 2, max_results: int = 50, shard_capacity: int = SHARD_CAPACITY
    ) -> None:
        if not 1 <= shard_capacity <= SHARD_CAPACITY:
            raise ValueError(f"shard_capacity must be between 1 and {SHARD_CAPACITY}")
        murvex.Murvex(threshold, max_errors, max_results)  # validates the settings
        self._settings = (threshold, max_errors, max_results)
        self._max_results = max_results
        self._capacity = shard_capacity
        self._shards: list[murvex.Murvex] = []
        self._counts: list[int] = []

    @property
    def count(self) -> int:
        return sum(self._counts)

    @property
    def shards(self) -> int:
        return len(self._shards)

    def add(self, records: Mapping[Any, Any] | Iterable[Any]) -> int:
        """Adds one record or many; a record without 'id' gets the total count, as in one engine."""
        batch = [records] if isinstance(records, Mapping) else list(records)
        added = 0
        for record in batch:
            if isinstance(record, Mapping) and "id" not in record:
                record = {"id": self.count, **record}
            shard = self._shard_with_room()
            taken = self._shards[shard].add(record)
            self._counts[shard] += taken
            added += taken
        return added

    def search(self, query: str) -> list[murvex.SearchResult]:
        """The best results over all shards, best first, ties in shard-then-insertion order."""
        per_shard = (
            [(-result.score, shard, rank, result) for rank, result in enumerate(engine.search(query))]
            for shard, engine in enumerate(self._shards)
        )
        merged = heapq.merge(*per_shard)
        return [entry[3] for entry in islice(merged, self._max_results)]

    def remove(self, record_id: int) -> bool:
        """Removes the first record carrying `record_id`, in shard order."""
        for shard, engine in enumerate(self._shards):
            if engine.remove(record_id):
                self._counts[shard] -= 1
                return True
        return False

    def reset(self) -> None:
        self._shards.clear()
        self._counts.clear()

    def _shard_with_room(self) -> int:
        # Later shards only ever take new records, so insertion order stays
        # shard-then-store order; room freed by remove() in earlier shards
        # is not reused.
        if not self._shards or self._counts[-1] >= self._capacity:
            self._shards.append(murvex.Murvex(*self._settings))
            self._counts.append(0)
        return len(self._shards) - 1
