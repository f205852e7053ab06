"""Many queries against one index, spread over Ray Data: each actor loads the saved index once.

RayMurvex spreads *records* over actors (for more records than one machine
should hold); this spreads *queries* (for many queries against an index one
machine holds): record linkage, deduplication, batch lookups.

    python examples/ray_data_search.py INDEX QUERIES.txt     # one query per line
"""

from __future__ import annotations

import sys
from typing import Any

from murvex_tools import ShardedMurvex


class SearchBatch:
    """A Ray Data actor: the index, loaded once per actor, searches every batch of queries it is given."""

    def __init__(self, index_path: str) -> None:
        self.index = ShardedMurvex.load(index_path)

    def __call__(self, batch: dict[str, Any]) -> dict[str, list[Any]]:
        queries = [str(q) for q in batch["query"]]
        results = self.index.search_many(queries)
        best = [hits[0] if hits else None for hits in results]
        return {
            "query": queries,
            "id": [hit.id if hit else None for hit in best],
            "score": [hit.score if hit else None for hit in best],
            "hits": [len(hits) for hits in results],
        }


def search_with_ray_data(index_path: str, queries: list[str], actors: int = 2, batch_size: int = 256) -> list[dict]:
    """The best hit of every query (None where none), as rows in the queries' order."""
    import ray

    dataset = ray.data.from_items([{"query": q} for q in queries])
    found = dataset.map_batches(
        SearchBatch, fn_constructor_args=(index_path,), batch_size=batch_size, concurrency=actors, num_cpus=1
    )
    rows = {row["query"]: row for row in found.take_all()}
    return [rows[q] for q in queries]


if __name__ == "__main__":
    import ray

    ray.init()
    with open(sys.argv[2], encoding="utf-8") as lines:
        wanted = [line.rstrip("\n") for line in lines if line.strip()]
    for row in search_with_ray_data(sys.argv[1], wanted):
        print(row["query"], row["id"], row["score"])
