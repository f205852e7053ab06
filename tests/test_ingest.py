import pytest

import murvex

LIMIT = 100_000


def test_dict_values_are_joined_with_single_spaces_in_insertion_order(engine):
    assert engine.add({"id": 1, "title": "Hello", "body": "World"}) == 1
    assert [(r.id, r.start, r.end) for r in engine.search("Hello World")] == [(1, 0, 11)]
    assert engine.add({"b": "two", "id": 9, "a": "one"}) == 1
    assert [(r.id, r.start, r.end) for r in engine.search("two one")] == [(9, 0, 7)]
    assert engine.search("one two") == []


def test_keys_play_no_part_and_only_string_values_count(engine):
    assert engine.add({"id": 3, 5: "five", "n": 3, "tags": ["x"], "s": "six", None: b"bytes"}) == 1
    assert [(r.id, r.end) for r in engine.search("five six")] == [(3, 8)]
    assert engine.count == 1


def test_default_id_is_the_current_count(engine):
    assert engine.add({"title": "x"}) == 1
    assert engine.add({"title": "x"}) == 1
    assert [r.id for r in engine.search("x")] == [0, 1]
    assert engine.remove(0) is True
    assert engine.add({"title": "x"}) == 1
    assert [r.id for r in engine.search("x")] == [1, 1]


@pytest.mark.parametrize("candidate", [{"id": 7}, {"id": 7, "n": 3, "tags": ["a"]}, {}, (1, 2), "hello", None, 5])
def test_candidates_without_text_add_nothing(engine, candidate):
    assert engine.add(candidate) == 0
    assert engine.count == 0


def test_empty_strings_are_parts(engine):
    assert engine.add({"id": 7, "a": ""}) == 1  # stored with empty text, never found
    assert engine.add({"id": 8, "a": "ab", "b": ""}) == 1  # 'ab '
    assert engine.add({"id": 9, "a": "", "b": ""}) == 1  # ' '
    assert engine.count == 3
    assert [(r.id, r.end) for r in engine.search("ab ")] == [(8, 3)]
    assert [r.id for r in engine.search(" ")] == [8, 9]


@pytest.mark.parametrize(
    "bad_id, error, message",
    [
        ("7", TypeError, "'str' object cannot be interpreted as an integer"),
        (2.0, TypeError, "'float' object cannot be interpreted as an integer"),
        (None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
        (4294967296, OverflowError, "out of range integral type conversion attempted"),
    ],
)
def test_bad_ids_are_refused_without_an_argument_prefix(engine, bad_id, error, message):
    with pytest.raises(error) as info:
        engine.add({"id": bad_id, "a": "x"})
    assert str(info.value) == message
    assert engine.count == 0


def test_id_conversion_accepts_bool_index_and_the_full_range(engine):
    class Index:
        def __index__(self):
            return 12

    engine.add([{"id": True, "a": "x"}, {"id": 4294967295, "a": "x"}, {"id": Index(), "a": "x"}])
    assert [r.id for r in engine.search("x")] == [1, 4294967295, 12]


def test_a_failing_item_stops_the_list_but_keeps_earlier_records(engine):
    with pytest.raises(TypeError):
        engine.add([{"id": 1, "a": "x"}, {"id": "x", "a": "y"}, {"id": 3, "a": "z"}])
    assert engine.count == 1
    assert [r.id for r in engine.search("x")] == [1]


def test_list_items_that_are_not_dicts_are_skipped(engine):
    d1, d2 = {"id": 1, "a": "x"}, {"id": 2, "a": "x"}
    assert engine.add([d1, 5, "text", None, (1,), d2]) == 2
    assert engine.add([]) == 0
    assert engine.add((d1, d2)) == 0
    assert engine.count == 2


def test_dict_subclasses_use_their_own_item_access_but_stored_values():
    class Renumbered(dict):
        def __getitem__(self, key):
            return 99 if key == "id" else super().__getitem__(key)

    class Defaulted(dict):
        def __missing__(self, key):
            return 42

    class Values(dict):
        def values(self):
            return ["ignored"]

        def items(self):
            return [("x", "ignored")]

    engine = murvex.Murvex()
    assert engine.add([Renumbered(id=1, a="x"), Defaulted(a="x"), Values(id=5, a="x")]) == 3
    assert [r.id for r in engine.search("x")] == [99, 42, 5]
    assert engine.search("ignored") == []


def test_failing_id_lookup_falls_back_to_the_count():
    class Raising(dict):
        def __getitem__(self, key):
            raise RuntimeError("lookup failed")

    engine = murvex.Murvex()
    engine.add({"a": "y"})
    assert engine.add(Raising(id=5, a="x")) == 1
    assert [r.id for r in engine.search("x")] == [1]


def test_mappings_that_are_not_dicts_are_looked_up_but_never_stored():
    class Mapping:
        def __init__(self, id_value):
            self.id_value = id_value
            self.looked_up = 0

        def __getitem__(self, key):
            self.looked_up += 1
            return self.id_value

    engine = murvex.Murvex()
    good = Mapping(4)
    assert engine.add(good) == 0
    assert good.looked_up == 1
    with pytest.raises(TypeError):
        engine.add(Mapping("not an int"))
    assert engine.count == 0


def test_string_subclasses_are_values(engine):
    class Text(str):
        pass

    assert engine.add({"id": 1, "a": Text("subclassed")}) == 1
    assert [r.id for r in engine.search("subclassed")] == [1]


def test_list_subclasses_are_read_from_their_storage(engine):
    class Hiding(list):
        def __getitem__(self, index):
            raise AssertionError("not called")

        def __len__(self):
            return 0

        def __iter__(self):
            return iter([])

    assert engine.add(Hiding([{"a": "x"}, {"a": "y"}])) == 2


def test_list_shrinking_during_add_stops_the_walk(engine):
    records = []

    class Shrinker(dict):
        def __getitem__(self, key):
            del records[1:]
            raise KeyError(key)

    records.extend([Shrinker(a="x"), {"a": "y"}, {"a": "z"}])
    assert engine.add(records) == 1
    assert engine.count == 1


def test_list_growing_during_add_is_not_followed(engine):
    records = []

    class Grower(dict):
        def __getitem__(self, key):
            records.append({"a": "late"})
            raise KeyError(key)

    records.extend([Grower(a="x"), {"a": "y"}])
    assert engine.add(records) == 2
    assert engine.search("late") == []


def test_list_items_replaced_during_add_stay_alive(engine):
    records = []

    class Replacer(dict):
        def __getitem__(self, key):
            records[0] = None  # drops the list's reference to this very dict
            raise KeyError(key)

    records.append(Replacer(a="still here"))
    assert engine.add(records) == 1
    assert [r.id for r in engine.search("still here")] == [0]


def test_duplicate_records_are_kept(engine):
    engine.add({"id": 1, "a": "x"})
    engine.add({"id": 1, "a": "x"})
    assert engine.count == 2


def test_record_limit():
    engine = murvex.Murvex()
    assert engine.add([{"id": i, "t": "r"} for i in range(LIMIT - 1)]) == LIMIT - 1
    with pytest.raises(ValueError) as info:
        engine.add([{"id": 1, "t": "last"}, {"id": 2, "t": "over"}])
    assert info.value.args == ("Maximum record limit reached",)
    assert engine.count == LIMIT
    assert [r.id for r in engine.search("last")] == [1]

    # At the limit every candidate is refused before it is looked at...
    for candidate in (5, {}, {"id": "bad"}, [5]):
        with pytest.raises(ValueError, match="Maximum record limit reached"):
            engine.add(candidate)
    # ...except an empty list, which has no candidate.
    assert engine.add([]) == 0
    assert engine.count == LIMIT

    assert engine.remove(1) is True
    assert engine.add({"t": "again"}) == 1
    with pytest.raises(ValueError):
        engine.add({"t": "over"})
    engine.reset()
    assert engine.count == 0
    assert engine.add({"t": "fresh"}) == 1


def test_memory_error_from_an_id_lookup_is_raised_not_taken_for_a_missing_id(engine):
    class OutOfMemoryLookup(dict):
        def __getitem__(self, key):
            raise MemoryError

    class MissingLookup(dict):
        def __getitem__(self, key):
            raise LookupError(key)

    engine.add({"t": "kept"})
    with pytest.raises(MemoryError):
        engine.add([{"t": "before"}, OutOfMemoryLookup(t="lost"), {"t": "after"}])
    assert engine.count == 2  # the item before the failure stays
    assert [r.id for r in engine.search("before")] == [1]
    assert engine.search("lost") == [] and engine.search("after") == []
    assert engine.add(MissingLookup(t="default id")) == 1  # any other failure means "no id"
    assert [r.id for r in engine.search("default id")] == [2]


def test_only_a_lone_surrogate_makes_a_value_skipped(engine):
    assert engine.add({"id": 4, "a": "bad\ud800", "b": "good"}) == 1
    assert hits_of(engine.search("good")) == [(4, 0, 4)]
    assert engine.add({"id": 5, "a": "\udc80"}) == 0


def hits_of(results):
    return [(r.id, r.start, r.end) for r in results]
