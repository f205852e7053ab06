import pytest

import murvex
from conftest import hits, make_engine


def test_empty_query_or_engine_gives_a_new_empty_list(engine):
    first, second = engine.search("abc"), engine.search("abc")
    assert first == [] and second == [] and first is not second
    engine.add({"t": "abc"})
    assert engine.search("") == []


def test_scores_follow_errors_and_distance_from_the_start():
    engine = murvex.Murvex()
    engine.add(
        [
            {"id": 1, "t": "zzzzzzzzzzabcdef"},
            {"id": 2, "t": "abxdef c"},
            {"id": 3, "t": "zzabxdef c"},
            {"id": 4, "t": "zzzzzzzzzzabxdef c"},
        ]
    )
    assert hits(engine.search("abcdef")) == [(1, 1000, 10, 16), (2, 800, 0, 6), (3, 775, 2, 8), (4, 750, 10, 16)]
    engine = make_engine(["abxyef cd", "abxyzf cde"], max_errors=3)
    assert hits(engine.search("abcdef")) == [(0, 550, 0, 6), (1, 300, 0, 6)]


def test_scores_are_single_precision_thousandths():
    engine = make_engine(["abcdef", "zzabxdef c", "abxdef c", "zzzzzzzzzzabxyef cd"])
    scores = [r.score for r in engine.search("abcdef")]
    assert scores == [1.0, 0.800000011920929, 0.7749999761581421, 0.5]
    assert [repr(r).split(", ")[1] for r in engine.search("abcdef")] == [
        "score=1.000",
        "score=0.800",
        "score=0.775",
        "score=0.500",
    ]


@pytest.mark.parametrize("threshold, expected", [(0.8, [2]), (0.76, [2, 3]), (0.75, [2, 3, 4]), (1.0, [])])
def test_threshold_is_inclusive(threshold, expected):
    engine = murvex.Murvex(threshold=threshold)
    engine.add([{"id": 2, "t": "abxdef c"}, {"id": 3, "t": "zzabxdef c"}, {"id": 4, "t": "zzzzzzzzzzabxdef c"}])
    assert [r.id for r in engine.search("abcdef")] == expected


@pytest.mark.parametrize(
    "cap, expected", [(50, [11, 12, 14, 10, 13]), (3, [11, 12, 14]), (2, [11, 12]), (1, [11]), (0, [])]
)
def test_ties_keep_insertion_order(cap, expected):
    engine = murvex.Murvex(max_results=cap)
    engine.add(
        [
            {"id": 10, "t": "abxdef c"},
            {"id": 11, "t": "abcdef"},
            {"id": 12, "t": "zz abcdef"},
            {"id": 13, "t": "abxdef c"},
            {"id": 14, "t": "abcdef"},
        ]
    )
    assert [r.id for r in engine.search("abcdef")] == expected


def test_character_pre_filter():
    engine = make_engine(["hallo", "hallo e", "helo"], max_errors=3)
    assert hits(engine.search("hello")) == [(1, 800, 0, 5), (2, 800, 0, 4)]


def test_case_folding_is_ascii_only():
    engine = make_engine(["a Test", "\u00e9t\u00e9", "\u00c9T\u00c9"])
    assert hits(engine.search("TEST")) == [(0, 1000, 2, 6)]
    assert [r.id for r in engine.search("\u00e9t\u00e9")] == [1]


def test_positions_count_bytes_and_start_is_cut_at_zero():
    assert hits(make_engine(["\u00e9 test"]).search("test")) == [(0, 1000, 3, 7)]
    assert hits(make_engine(["abd c"]).search("abcd")) == [(0, 800, 0, 3)]


def test_positions_past_64_kib_are_reported_in_full():
    assert hits(make_engine(["x" * (65536 + 96) + "test"]).search("test")) == [(0, 1000, 65632, 65636)]
    assert hits(make_engine(["x" * 65534 + "test"]).search("test")) == [(0, 1000, 65534, 65538)]


def test_only_the_first_32_query_bytes_take_part():
    query = "0123456789abcdefghijklmnopqrstuvwxyz0123"  # 40 bytes
    assert hits(make_engine([query[:32] + " and more"]).search(query)) == [(0, 1000, 0, 32)]


def test_results_are_plain_values():
    engine = make_engine(["abcdef"])
    (result,) = engine.search("abcdef")
    assert type(result) is murvex.SearchResult
    assert (type(result.id), type(result.score), type(result.start), type(result.end)) == (int, float, int, int)
    assert repr(result) == "SearchResult(id=0, score=1.000, start=0, end=6)"
    assert str(result) == repr(result)
    (again,) = engine.search("abcdef")
    assert result != again and result is not again  # equality is identity
    for name in ("id", "score", "start", "end"):
        with pytest.raises(AttributeError):
            setattr(result, name, 1)
        with pytest.raises(AttributeError):
            delattr(result, name)
    assert result.score == 1.0


def test_results_outlive_changes_to_the_engine_and_the_engine_itself():
    engine = murvex.Murvex()
    engine.add({"id": 42, "t": "zzzabcdefg"})
    results = engine.search("abcdef")
    engine.remove(42)
    engine.reset()
    del engine
    assert repr(results[0]) == "SearchResult(id=42, score=1.000, start=3, end=9)"


def test_removed_records_are_gone_and_order_is_kept():
    engine = make_engine(["same text", "same text", "same text"])
    engine.remove(0)
    assert [r.id for r in engine.search("same")] == [1, 2]
    engine.reset()
    assert engine.search("same") == [] and engine.count == 0
    assert repr(engine) == "Murvex(records=0, threshold=0.25, max_errors=2)"


def test_bytes_beside_the_capitals_fold_to_nothing():
    # '[' and '{', '@' and '`' differ by 0x20 like a capital and its letter, but do not fold
    assert make_engine(["a[b {"]).search("a{b") == []
    assert make_engine(["a{b ["]).search("a[b") == []
    assert make_engine(["a@b `"]).search("a`b") == []
    assert make_engine(["a`b @"]).search("a@b") == []
    assert hits(make_engine(["x a{b"]).search("A{B")) == [(0, 1000, 2, 5)]


def test_texts_over_a_kibibyte_are_pre_filtered_and_matched_like_short_ones():
    tail = "x" * 1100
    assert make_engine(["hallo " + tail], max_errors=3).search("hello") == []
    assert hits(make_engine(["hallo e" + tail], max_errors=3).search("hello")) == [(0, 800, 0, 5)]
    assert hits(make_engine([tail + " abxdef c"]).search("abcdef")) == [(0, 750, 1101, 1107)]


def test_long_records_survive_remove_and_reset():
    engine = murvex.Murvex()
    engine.add({"id": 1, "t": "first " + "y" * 2000})
    assert engine.remove(1) is True
    engine.reset()
    engine.add({"id": 2, "t": "second " + "z" * 3000})
    assert engine.count == 1
    assert hits(engine.search("second")) == [(2, 1000, 0, 6)]
    assert engine.search("first") == []
