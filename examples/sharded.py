"""More than 100,000 records: one search over several murvex engines.

An engine holds at most 100,000 records. `murvex_tools.ShardedMurvex` fills
engines ("shards") one after another and merges their results into exactly
the list one big engine would give; `murvex_tools.RayMurvex` does the same
with the shards in Ray actors, so that a search runs on several cores.

    python examples/sharded.py
"""

from __future__ import annotations

from murvex_tools import ShardedMurvex


def main() -> None:
    index = ShardedMurvex(max_results=3)
    index.add({"id": i, "t": f"row {i}"} for i in range(150_000))
    print(index, [(hit.id, hit.score) for hit in index.search("row 149999")])


if __name__ == "__main__":
    main()
