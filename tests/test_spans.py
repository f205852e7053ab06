"""The span helpers: the text the engine joins, and matched text cut at whole characters."""

from hypothesis import given
from hypothesis import strategies as st

import murvex
from murvex_tools import char_span, matched_text, record_text

values = st.one_of(
    st.text(max_size=12), st.integers(), st.none(), st.just("bad\ud800"), st.lists(st.text(), max_size=2)
)


keys = st.one_of(st.text(max_size=3).filter(lambda key: key != "id"), st.integers())  # no id to convert


@given(st.dictionaries(keys, values, min_size=1, max_size=5))
def test_record_text_is_the_text_the_engine_stores(record):
    text = record_text(record)
    engine = murvex.Murvex(max_errors=0, max_results=1)
    added = engine.add(record)
    assert added == (1 if any(isinstance(v, str) and v != "bad\ud800" for v in record.values()) else 0)
    raw = text.encode()
    if added and 0 < len(raw) <= 32:  # the text itself, as a query, matches the whole stored text
        (found,) = engine.search(text)
        assert (found.score, found.start, found.end) == (1.0, 0, len(raw))


@given(st.text(alphabet="a\u00e9\u20ac\U0001f1eb ", max_size=20), st.integers(-3, 90), st.integers(-3, 90))
def test_matched_text_never_breaks_a_character(text, start, end):
    raw = text.encode()
    begin, finish = char_span(text, start, end)
    assert 0 <= begin <= finish <= len(text)
    covered = text[begin:finish].encode()
    lo, hi = max(0, min(start, len(raw))), max(0, min(end, len(raw)))
    if lo < hi:  # every byte of the span is inside the widened text
        before = len(text[:begin].encode())
        assert before <= lo and before + len(covered) >= hi
    assert matched_text(text, start, end) == text[begin:finish]


def test_record_text_of_the_usual_records():
    assert record_text({"id": 1, "title": "Hello", "body": "World"}) == "Hello World"
    assert record_text({"b": "two", "id": 9, "a": "one", "n": 3}) == "two one"
    assert record_text({"a": "", "b": ""}) == " "
    assert record_text(["not", "a", "dict"]) == ""


def test_a_str_subclass_is_read_as_the_engine_reads_it():
    class Shouting(str):
        def encode(self, *args, **kwargs):
            raise UnicodeEncodeError("utf-8", str(self), 0, 1, "refused")

        def __str__(self):
            return "SHOUTED"

    record = {"id": 1, "a": Shouting("quiet words"), "b": "plain"}
    engine = murvex.Murvex()
    engine.add(record)
    assert record_text(record) == "quiet words plain"
    assert [h.end for h in engine.search(record_text(record))] == [len("quiet words plain")]
