import random
import sys
from pathlib import Path

import pytest

import murvex

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
from sharded import ShardedMurvex


def as_tuples(results):
    return [(r.id, r.score, r.start, r.end) for r in results]


def random_records(count, seed):
    rng = random.Random(seed)
    words = ["alpha", "Beta", "gamma", "delta", "caf\u00e9", "alpah", "gama"]
    return [{"id": rng.randrange(50), "t": " ".join(rng.choices(words, k=rng.randrange(1, 5)))} for _ in range(count)]


@pytest.mark.parametrize("capacity", [1, 7, 100])
@pytest.mark.parametrize("max_results", [0, 3, 50])
def test_sharded_search_equals_one_engine(capacity, max_results):
    records = random_records(300 if capacity > 1 else 40, seed=capacity)
    single = murvex.Murvex(max_results=max_results)
    sharded = ShardedMurvex(max_results=max_results, shard_capacity=capacity)
    assert single.add(records) == sharded.add(records)
    assert sharded.count == single.count
    for query in ["alpha", "gamma delta", "cafe", "Beta", "xyz"]:
        assert as_tuples(sharded.search(query)) == as_tuples(single.search(query))
    for record_id in [3, 3, 17, 99]:
        assert sharded.remove(record_id) == single.remove(record_id)
    assert sharded.count == single.count
    assert as_tuples(sharded.search("alpha")) == as_tuples(single.search("alpha"))


def test_default_ids_continue_across_shards():
    sharded = ShardedMurvex(shard_capacity=2)
    sharded.add([{"t": "same"}] * 5 + [5, "not a record"])
    assert sharded.shards == 3
    assert [r.id for r in sharded.search("same")] == [0, 1, 2, 3, 4]


def test_more_than_one_engine_holds():
    sharded = ShardedMurvex(max_results=3)
    sharded.add({"id": i, "t": f"row {i}"} for i in range(150_000))
    assert sharded.count == 150_000 and sharded.shards == 2
    # an exact match, then one-error matches in insertion order (49999 lacks a "1")
    assert [r.id for r in sharded.search("row 149999")] == [149999, 14999, 140999]
    sharded.reset()
    assert sharded.count == 0 and sharded.search("row") == []


def test_settings_are_validated():
    with pytest.raises(ValueError, match="max_errors"):
        ShardedMurvex(max_errors=4)
    with pytest.raises(ValueError, match="shard_capacity"):
        ShardedMurvex(shard_capacity=100_001)
