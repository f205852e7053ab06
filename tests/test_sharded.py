"""ShardedMurvex: several engines in one process, answering as one engine would."""

import pytest

import murvex
from murvex_tools import ShardedMurvex
from scenarios import as_tuples, check_argument_errors, play


@pytest.mark.parametrize("capacity", [1, 7, 100])
@pytest.mark.parametrize("max_results", [0, 3, 50])
def test_sharded_index_answers_as_one_engine(capacity, max_results):
    play(ShardedMurvex(max_results=max_results, shard_capacity=capacity), max_results, seed=capacity)


def test_argument_errors_are_the_engines_own():
    check_argument_errors(ShardedMurvex())


def test_default_ids_continue_across_shards():
    sharded = ShardedMurvex(shard_capacity=2)
    assert sharded.add([{"t": "same"}] * 5 + [5, "not a record"]) == 5
    assert sharded.shards == 3
    assert [r.id for r in sharded.search("same")] == [0, 1, 2, 3, 4]
    assert sharded.remove(0)
    sharded.add({"t": "same"})  # the total count, now 4 again
    assert [r.id for r in sharded.search("same")] == [1, 2, 3, 4, 4]


def test_more_than_one_engine_holds():
    sharded = ShardedMurvex(max_results=3)
    assert sharded.add({"id": i, "t": f"row {i}"} for i in range(150_000)) == 150_000
    assert sharded.count == 150_000 and sharded.shards == 2
    # an exact match, then one-error matches in insertion order (49999 lacks a "1")
    assert [r.id for r in sharded.search("row 149999")] == [149999, 14999, 140999]
    sharded.reset()
    assert sharded.count == 0 and sharded.search("row") == []


def test_ties_across_shard_boundaries_keep_insertion_order():
    sharded = ShardedMurvex(max_results=4, shard_capacity=3)
    sharded.add([{"id": i, "t": "tie" if i % 2 else "tie x"} for i in range(10)])
    assert as_tuples(sharded.search("tie")) == [(i, 1.0, 0, 3) for i in range(4)]


def test_settings_are_validated():
    with pytest.raises(ValueError, match="max_errors"):
        ShardedMurvex(max_errors=4)
    with pytest.raises(ValueError, match="shard_capacity"):
        ShardedMurvex(shard_capacity=100_001)


def test_a_batch_is_taken_item_by_item_as_one_engine_takes_it():
    class LookupFails(dict):
        def __getitem__(self, key):
            raise KeyError(key)

    batch = [{"id": 1, "t": "a"}, {"t": "b"}, [{"id": 9, "t": "nested"}], LookupFails(id="hello", t="sub")]
    engine = murvex.Murvex()
    for capacity in (1, 100):
        index = ShardedMurvex(shard_capacity=capacity)
        assert index.add(batch) == engine.add(batch) == 3
        assert index.search("nested") == []
        assert as_tuples(index.search("hello sub")) == as_tuples(engine.search("hello sub"))  # past the first shard
        engine.reset()


def test_a_search_brings_its_own_settings_without_changing_the_index_s():
    texts = [f"record number {i} {'ryhthm' if i % 3 else 'rhythm'}" for i in range(40)]
    index = ShardedMurvex(shard_capacity=7)
    index.add_texts(texts)
    for own in [{"max_results": 3}, {"max_errors": 0, "threshold": 0.9}, {"forgiving": True, "max_errors": 1}]:
        alike = ShardedMurvex(shard_capacity=7, **{k: v for k, v in own.items() if k != "forgiving"})
        alike.forgiving = own.get("forgiving", False)
        alike.add_texts(texts)
        for query in ("rhythm", "rythm", "number 7"):
            assert index.search(query, **own) == alike.search(query)
            assert index.ranked(query, **own) == alike.ranked(query)
        assert index.search_many(["rhythm", "rythm"], workers=2, **own) == alike.search_many(["rhythm", "rythm"])
    for bad, error in [
        ({"max_errors": 4}, ValueError),
        ({"threshold": -0.1}, ValueError),
        ({"max_results": "9"}, TypeError),
    ]:
        with pytest.raises(error):
            index.search("rhythm", **bad)
    assert (index.max_results, index.max_errors, index.threshold, index.forgiving) == (50, 2, 0.25, False)
    assert index.search("rhythm", workers=1) == index.search("rhythm")
