import pytest

import murvex


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: murvex.Murvex(1, 2, 3, 4), "Murvex.__new__() takes from 0 to 3 positional arguments but 4 were given"),
        (lambda: murvex.Murvex(0.5, threshold=0.5), "Murvex.__new__() got multiple values for argument 'threshold'"),
        (lambda: murvex.Murvex(foo=1), "Murvex.__new__() got an unexpected keyword argument 'foo'"),
        (lambda: murvex.Murvex(0.5, 1, max_errors=1), "Murvex.__new__() got multiple values for argument 'max_errors'"),
    ],
)
def test_constructor_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "method, parameter, valid",
    [("add", "records", {"t": "x"}), ("search", "query", "x"), ("remove", "id", 0)],
)
def test_method_argument_errors(engine, method, parameter, valid):
    bound = getattr(engine, method)
    name = f"Murvex.{method}()"
    with pytest.raises(TypeError) as info:
        bound()
    assert str(info.value) == f"{name} missing 1 required positional argument: '{parameter}'"
    with pytest.raises(TypeError) as info:
        bound(valid, valid)
    assert str(info.value) == f"{name} takes 1 positional arguments but 2 were given"
    with pytest.raises(TypeError) as info:
        bound(valid, **{parameter: valid})
    assert str(info.value) == f"{name} got multiple values for argument '{parameter}'"
    with pytest.raises(TypeError) as info:
        bound(nope=valid)
    assert str(info.value) == f"{name} got an unexpected keyword argument 'nope'"
    bound(**{parameter: valid})  # by keyword works


def test_reset_takes_no_arguments(engine):
    with pytest.raises(TypeError):
        engine.reset(1)


def test_query_must_be_a_string(engine):
    engine.add({"t": "abc"})
    for query, type_name in [(5, "int"), (b"abc", "bytes"), (None, "NoneType")]:
        with pytest.raises(TypeError) as info:
            engine.search(query)
        assert str(info.value) == f"argument 'query': '{type_name}' object cannot be converted to 'PyString'"

    class Text(str):
        pass

    assert [r.id for r in engine.search(Text("abc"))] == [0]


def test_query_type_is_checked_on_an_empty_engine(engine):
    with pytest.raises(TypeError, match="argument 'query'"):
        engine.search(1.5)


def test_unencodable_query_raises_the_interpreters_error(engine):
    engine.add({"t": "abc"})
    with pytest.raises(UnicodeEncodeError):
        engine.search("ab\ud800")


def test_remove_id_conversion(engine):
    engine.add([{"id": 1, "t": "a"}, {"id": 4294967295, "t": "b"}])
    with pytest.raises(TypeError, match=r"^argument 'id': 'str' object cannot be interpreted as an integer$"):
        engine.remove("1")
    with pytest.raises(OverflowError, match=r"^out of range integral type conversion attempted$"):
        engine.remove(2**32)
    with pytest.raises(OverflowError):
        engine.remove(-1)
    assert engine.count == 2
    assert engine.remove(True) is True
    assert engine.remove(4294967295) is True
    assert engine.remove(1) is False
    assert engine.count == 0


def test_methods_check_their_receiver():
    with pytest.raises(TypeError):
        murvex.Murvex.search(5, "x")
    with pytest.raises(TypeError):
        murvex.Murvex.count.__get__(5)


class ShownOtherwise(str):
    """A keyword name whose __str__ must play no part in the message."""

    def __str__(self):
        raise AssertionError("__str__ of a keyword name was called")


ENTRY_POINTS = [
    ("Murvex.__new__()", lambda engine, **kw: murvex.Murvex(**kw)),
    ("Murvex.add()", lambda engine, **kw: engine.add({"t": "x"}, **kw)),
    ("Murvex.search()", lambda engine, **kw: engine.search("x", **kw)),
    ("Murvex.remove()", lambda engine, **kw: engine.remove(0, **kw)),
]


@pytest.mark.parametrize("name, call", ENTRY_POINTS, ids=[name for name, _ in ENTRY_POINTS])
@pytest.mark.parametrize("keyword", ["\udc80", "caf\u00e9", ShownOtherwise("own value")])
def test_unexpected_keywords_with_unusual_names_are_type_errors(engine, name, call, keyword):
    with pytest.raises(TypeError) as info:
        call(engine, **{keyword: 1})
    assert str(info.value) == f"{name} got an unexpected keyword argument '{str.__str__(keyword)}'"
    assert engine.count == 0
