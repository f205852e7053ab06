"""Every entry point against hostile input: the specified exception with its
exact message, never a crash, and the engine unchanged afterwards."""

import math
import operator

import pytest

import murvex
from conftest import outcome


class MyInt(int):
    pass


class MyStr(str):
    pass


class IndexRaises:
    def __index__(self):
        raise ZeroDivisionError("index failed")


class IndexWrongType:
    def __index__(self):
        return "seven"  # noqa: PLE0305 - the wrong type on purpose


class IndexHuge:
    def __index__(self):
        return 2**70


class FloatRaises:
    def __float__(self):
        raise ArithmeticError("float failed")


class FloatWrongType:
    def __float__(self):
        return "half"


class TypeErrorSubclass(TypeError):
    pass


class IndexRaisesTypeErrorSubclass:
    def __index__(self):
        raise TypeErrorSubclass("subclassed")


HOSTILE = [
    "x",
    MyStr("3"),
    b"3",
    1.5,
    math.nan,
    math.inf,
    -math.inf,
    None,
    [],
    {},
    object(),
    -1,
    -(2**70),
    2**32,
    2**32 - 1,
    2**64,
    2**64 - 1,
    2**100,
    True,
    MyInt(2),
    MyInt(-3),
    IndexRaises(),
    IndexWrongType(),
    IndexHuge(),
    FloatRaises(),
    FloatWrongType(),
    IndexRaisesTypeErrorSubclass(),
]


def convert_u64(value):
    n = operator.index(value) if not isinstance(value, int) else int(value)
    if n < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if n >= 2**64:
        raise OverflowError("int too big to convert")
    return n


def convert_u32(value):
    n = convert_u64(value)
    if n >= 2**32:
        raise OverflowError("out of range integral type conversion attempted")
    return n


def convert_f32(value):
    return math.ldexp(value, 0)  # goes through PyFloat_AsDouble, with its messages


def named(name, convert):
    """The conversion as the engine reports it for argument `name`."""

    def run(value):
        try:
            return convert(value)
        except TypeError as error:
            if type(error) is not TypeError:
                raise
            raise TypeError(f"argument '{name}': {error}") from None

    return run


def validate(name, value):
    if name == "threshold" and (value < 0.0 or value > 1.0):
        raise ValueError("threshold must be between 0.0 and 1.0")
    if name == "max_errors" and value > 3:
        raise ValueError("max_errors must be between 0 and 3")
    if name == "max_results" and value > 100:
        raise ValueError("max_results must be <= 100")
    return value


CONVERSIONS = {"threshold": convert_f32, "max_errors": convert_u32, "max_results": convert_u64}


def snapshot(engine):
    """What can be observed of an engine: repr, count and search outcomes."""
    return (
        repr(engine),
        engine.count,
        [(r.id, r.score, r.start, r.end) for r in engine.search("abcdef")],
        len(engine.search("a")),
    )


@pytest.fixture
def loaded():
    engine = murvex.Murvex(threshold=0.5, max_errors=1, max_results=7)
    engine.add([{"id": i, "t": "abcdef" if i % 3 else "abxdef a"} for i in range(20)])
    return engine


@pytest.mark.parametrize("value", HOSTILE, ids=repr)
@pytest.mark.parametrize("name", ["threshold", "max_errors", "max_results"])
def test_constructor(name, value):
    expected = outcome(lambda: validate(name, named(name, CONVERSIONS[name])(value)))
    got = outcome(lambda: murvex.Murvex(**{name: value}))
    if expected[0] == "ok":
        assert got[0] == "ok"
    else:
        assert got == expected


@pytest.mark.parametrize("value", HOSTILE, ids=repr)
@pytest.mark.parametrize("name", ["threshold", "max_errors", "max_results"])
def test_setter(loaded, name, value):
    before = snapshot(loaded)
    expected = outcome(lambda: validate(name, named("value", CONVERSIONS[name])(value)))
    got = outcome(lambda: setattr(loaded, name, value))
    if expected[0] == "ok":
        assert got == ("ok", None)
    else:
        assert got == expected
        assert snapshot(loaded) == before


@pytest.mark.parametrize("value", HOSTILE, ids=repr)
def test_remove(loaded, value):
    before = snapshot(loaded)
    expected = outcome(lambda: named("id", convert_u32)(value))
    got = outcome(lambda: loaded.remove(value))
    if expected[0] == "ok":
        assert got == ("ok", expected[1] < 20)
    else:
        assert got == expected
        assert snapshot(loaded) == before


@pytest.mark.parametrize("value", [*HOSTILE, "ab\ud800", "\udfff"], ids=repr)
def test_search(loaded, value):
    before = snapshot(loaded)
    got = outcome(lambda: loaded.search(value))
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError as error:
            assert got == ("error", UnicodeEncodeError, str(error))
        else:
            assert got[0] == "ok"
    else:
        qualname = type(value).__qualname__
        assert got == ("error", TypeError, f"argument 'query': '{qualname}' object cannot be converted to 'PyString'")
    assert snapshot(loaded) == before


@pytest.mark.parametrize("value", HOSTILE, ids=repr)
def test_add_id(loaded, value):
    before = snapshot(loaded)
    expected = outcome(lambda: convert_u32(value))  # no argument name for ids
    got = outcome(lambda: loaded.add({"id": value, "t": "new record"}))
    if expected[0] == "ok":
        assert got == ("ok", 1)
    else:
        assert got == expected
        assert snapshot(loaded) == before


@pytest.mark.parametrize("value", HOSTILE, ids=repr)
def test_add_non_dict_candidates_add_nothing(loaded, value):
    before = snapshot(loaded)
    if isinstance(value, (list, dict)):
        assert loaded.add(value) == 0
    else:
        assert outcome(lambda: loaded.add(value)) == ("ok", 0)
    assert snapshot(loaded) == before


def test_mappings_whose_item_access_raises(loaded):
    class Exploding(dict):
        def __getitem__(self, key):
            raise RuntimeError("pretend")

    class OutOfMemory(dict):
        def __getitem__(self, key):
            raise MemoryError("pretend")

    class NotAMapping:
        def __getitem__(self, key):
            raise LookupError(key)

    before = snapshot(loaded)
    assert loaded.add([NotAMapping(), NotAMapping()]) == 0
    assert snapshot(loaded) == before
    assert loaded.add(Exploding(t="exploding")) == 1  # the lookup error falls back to the count
    assert loaded.count == 21
    with pytest.raises(MemoryError):  # running out of memory is not a missing id
        loaded.add(OutOfMemory(t="lost"))
    assert loaded.count == 21


def test_reset_count_and_reprs_take_no_input(loaded):
    before = snapshot(loaded)
    for call in (lambda: loaded.reset(1), lambda: loaded.reset(x=1), lambda: murvex.Murvex.reset(5)):
        assert outcome(call)[1] is TypeError
    assert snapshot(loaded) == before
    result = loaded.search("abcdef")[0]
    assert repr(result) == str(result) == f"SearchResult(id={result.id}, score=1.000, start=0, end=6)"
    for bad_receiver in (lambda: murvex.Murvex.__repr__(5), lambda: murvex.SearchResult.__repr__(loaded)):
        assert outcome(bad_receiver)[1] is TypeError
