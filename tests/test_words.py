"""The words mode through every entry point of murvex_tools, and hits of several indexes merged as one ranks them."""

import pickle
import random

import pyarrow as pa

from murvex_tools import ShardedMurvex
from murvex_tools._batches import merge
from murvex_tools.join import fuzzy_join

PRODUCTS = ["NVIDIA GeForce RTX 4090", "GeForce Now", "United Kingdom", "Kingdom of the United Arab Emirates", "nvidia"]


def test_the_setting_per_index_per_search_and_in_batches():
    index = ShardedMurvex()
    index.add_texts(PRODUCTS)
    assert not index.words and index.search("geforce nvidia") == []
    hit, fallback = index.search("geforce nvidia", words=True)  # all words first, then all but the last
    assert (hit.id, hit.spans) == (0, ((7, 14), (0, 6)))
    assert (fallback.id, fallback.spans) == (1, ((0, 7), None)) and fallback.score <= 0.5 < hit.score
    assert (hit.start, hit.end) == (0, 14) and len(hit) == 4
    again = pickle.loads(pickle.dumps(hit))
    assert again == hit and again.spans == hit.spans and tuple(hit) == (0, hit.score, 0, 14)
    index.words = True
    assert index.search("kingdom untied")[0].id == 2
    assert [h.spans for h in index.search("nvidia zzzzzz")][:2] == [((0, 6), None), ((0, 6), None)]
    assert index.search("  \t ") == [] and index.search("kingdom", words=False) == index.search("kingdom")
    many = index.search_many(["geforce nvidia", "kingdom united"])
    assert [[h.id for h in hits] for hits in many] == [[0, 1], [2, 3]]
    table = index.search_frame(["united kingdom", "emirates arab"], words=True)
    assert table.column("id").to_pylist() == [2, 3, 3]


def test_fuzzy_join_matches_words_in_any_order():
    left = pa.table({"who": ["lovelace ada", "turing alan"]})
    right = pa.table({"name": ["Alan Turing", "Ada Lovelace", "Grace Hopper"]})
    joined = fuzzy_join(left, right, left_on="who", right_on="name", words=True)
    assert list(zip(joined.column("left_row").to_pylist(), joined.column("right_row").to_pylist(), strict=True)) == [
        (0, 1),
        (1, 0),
    ]
    assert fuzzy_join(left, right, left_on="who", right_on="name").num_rows == 0


def test_hits_of_indexes_holding_alternate_shards_merge_as_one_index_ranks_them():
    """What RayMurvex does: actor a holds shards a, a + n, ...; its ranked() replies merge by rank."""
    rng = random.Random(5)
    letters = "abcde fgh"
    texts = ["".join(rng.choice(letters) for _ in range(rng.randrange(3, 30))) for _ in range(600)]
    whole = ShardedMurvex(shard_capacity=50, max_results=40, forgiving=True)
    whole.add_texts(texts)
    parts = [ShardedMurvex(shard_capacity=50, max_results=40, forgiving=True) for _ in range(3)]
    for shard in range(12):
        parts[shard % 3].add_texts(texts[shard * 50 : (shard + 1) * 50], ids=range(shard * 50, (shard + 1) * 50))
    for query in ["abcd", "bad", "head fed", "cab hag"]:
        for words in (False, True):
            expected = whole.search(query, words=words)
            assert merge([p.ranked(query, words=words) for p in parts], 40) == expected, (query, words)
