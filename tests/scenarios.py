"""Workloads that an index of several shards must answer exactly as one engine does."""

import random

import pytest

import murvex
from conftest import outcome

WORDS = ["alpha", "Beta", "gamma", "delta", "caf\u00e9", "alpah", "gama", "the"]
QUERIES = ["alpha", "gamma delta", "cafe", "caf\u00e9", "Beta", "the", "xyz", "alpah gama", "a"]


def as_tuples(results):
    return [(r.id, r.score, r.start, r.end) for r in results]


def random_records(rng, count):
    """Dicts with repeated ids and texts (ties everywhere), some without an id, and a few non-records."""
    records = []
    for _ in range(count):
        roll = rng.random()
        if roll < 0.03:
            records.append(rng.choice([5, "not a record", {"id": 1}, (1, 2)]))
            continue
        record = {"t": " ".join(rng.choices(WORDS, k=rng.randrange(1, 5)))}
        if roll > 0.2:
            record["id"] = rng.randrange(60)
        records.append(record)
    return records


def assert_same(index, engine):
    assert index.count == engine.count
    for query in QUERIES:
        assert as_tuples(index.search(query)) == as_tuples(engine.search(query)), query


def play(index, max_results, seed, size=400):
    """Adds, searches, removes, a failing add and a reset on `index` and on one engine, which must agree."""
    rng = random.Random(seed)
    engine = murvex.Murvex(max_results=max_results)
    for _ in range(3):
        batch = random_records(rng, rng.randrange(size // 2, size))
        assert index.add(batch) == engine.add(batch)
        assert_same(index, engine)
    for record_id in [rng.randrange(60) for _ in range(12)] + [3, 3, 3, 999]:
        assert index.remove(record_id) == engine.remove(record_id)
    assert_same(index, engine)

    # an error in the middle of a batch: the records before it stay, none after it is added
    failing = [*random_records(rng, size // 3), {"id": "not a number", "t": "alpha"}, *random_records(rng, size)]
    assert outcome(lambda: index.add(failing)) == outcome(lambda: engine.add(failing))
    assert_same(index, engine)
    single = {"t": "gamma once more"}  # one dict, the default id counting every shard
    assert index.add(single) == engine.add(single) == 1
    assert_same(index, engine)

    index.reset()
    engine.reset()
    assert_same(index, engine)
    batch = random_records(rng, size)
    assert index.add(batch) == engine.add(batch)
    assert_same(index, engine)


def check_argument_errors(index):
    """Bad queries and ids raise what one engine raises, also with no records; a type the engine calls
    'PyString' is 'str' to murvex_tools."""
    engine = murvex.Murvex()
    for call in (lambda e: e.search(5), lambda e: e.remove("x"), lambda e: e.remove(-1), lambda e: e.remove(2**32)):
        engines = outcome(lambda call=call: call(engine))
        if engines[0] == "error":
            engines = (*engines[:2], engines[2].replace("'PyString'", "'str'"))
        assert outcome(lambda call=call: call(index)) == engines
    with pytest.raises(TypeError):
        index.add([{"id": 1.5, "t": "x"}])
    assert index.count == 0
