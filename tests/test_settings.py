import math

import pytest

import murvex
from conftest import make_engine


def shown(engine):
    """The threshold and max_errors as the repr shows them."""
    text = repr(engine)
    assert text.startswith("Murvex(records=") and text.endswith(")")
    fields = dict(part.split("=") for part in text[len("Murvex(") : -1].split(", "))
    return fields["threshold"], int(fields["max_errors"])


def test_defaults_and_repr():
    engine = murvex.Murvex()
    assert repr(engine) == "Murvex(records=0, threshold=0.25, max_errors=2)"
    assert str(engine) == repr(engine)
    engine.add([{"t": "a"}, {"t": "b"}])
    assert repr(engine) == f"Murvex(records={engine.count}, threshold=0.25, max_errors=2)"


def test_positional_and_keyword_arguments_build_equal_engines():
    a = murvex.Murvex(0.5, 1, 10)
    b = murvex.Murvex(max_results=10, threshold=0.5, max_errors=1)
    assert repr(a) == repr(b) == "Murvex(records=0, threshold=0.50, max_errors=1)"


@pytest.mark.parametrize(
    "kwargs",
    [
        {"threshold": 1.0},
        {"threshold": 0.0},
        {"threshold": -0.0},
        {"threshold": 1.00000001},
        {"threshold": True},
        {"threshold": 1},
        {"max_errors": 0},
        {"max_errors": 3},
        {"max_errors": True},
        {"max_results": 0},
        {"max_results": 100},
    ],
)
def test_bounds_are_inclusive(kwargs):
    built = murvex.Murvex(**kwargs)
    engine = murvex.Murvex()
    for name, value in kwargs.items():
        setattr(engine, name, value)
    assert repr(engine) == repr(built)  # the threshold and max_errors it shows
    if "max_results" in kwargs:  # shown nowhere: seen in how many results come back
        for index in (built, engine):
            index.add([{"t": "same"}] * 101)
            assert len(index.search("same")) == kwargs["max_results"]


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"threshold": 1.0000001}, "threshold must be between 0.0 and 1.0"),
        ({"threshold": -0.001}, "threshold must be between 0.0 and 1.0"),
        ({"threshold": math.inf}, "threshold must be between 0.0 and 1.0"),
        ({"max_errors": 4}, "max_errors must be between 0 and 3"),
        ({"max_results": 101}, "max_results must be <= 100"),
        ({"max_results": 2**64 - 1}, "max_results must be <= 100"),
    ],
)
def test_out_of_range_settings_are_refused_and_the_old_value_kept(kwargs, message):
    with pytest.raises(ValueError) as info:
        murvex.Murvex(**kwargs)
    assert info.value.args == (message,)

    engine = murvex.Murvex(threshold=0.5, max_errors=1, max_results=1)
    engine.add([{"t": "abcdef"}, {"t": "abcdef"}])
    for name, value in kwargs.items():
        with pytest.raises(ValueError, match=message):
            setattr(engine, name, value)
    assert repr(engine) == "Murvex(records=2, threshold=0.50, max_errors=1)"
    assert len(engine.search("abcdef")) == 1  # max_results still 1


@pytest.mark.parametrize(
    "threshold, held",
    [
        (0.25, "0.25"),
        (0.125, "0.12"),
        (0.375, "0.38"),
        (0.251, "0.25"),
        (1.0, "1.00"),
        (0.0, "0.00"),
        (1.00000001, "1.00"),
        (math.nan, "0.00"),
        (0.999, "1.00"),
    ],
)
def test_threshold_repr_rounds_the_held_thousandths(threshold, held):
    assert shown(murvex.Murvex(threshold=threshold))[0] == held
    engine = murvex.Murvex()
    engine.threshold = threshold
    assert shown(engine)[0] == held


def test_threshold_is_held_in_truncated_single_precision_thousandths():
    # 0.251 * 1000 in single precision falls just below 251: held as 250,
    # so a score of 0.25 passes; 0.252 is held as 252 and it does not.
    record = "zzzzzzzzzzzzzzzzzzzzzzzzabxyzf cde"  # three errors, far from the start: 0.25
    assert [r.score for r in make_engine([record], max_errors=3, threshold=0.251).search("abcdef")] == [0.25]
    assert make_engine([record], max_errors=3, threshold=0.252).search("abcdef") == []
    # NaN is accepted and held as 0.
    assert len(make_engine([record], max_errors=3, threshold=math.nan).search("abcdef")) == 1


def test_all_conversions_come_before_any_validation():
    with pytest.raises(TypeError, match=r"^argument 'max_errors': "):
        murvex.Murvex(threshold=2.0, max_errors="x")
    with pytest.raises(ValueError, match="threshold"):
        murvex.Murvex(threshold=2.0, max_errors=9)
    with pytest.raises(ValueError, match="max_errors"):
        murvex.Murvex(max_errors=9, max_results=1000)


@pytest.mark.parametrize(
    "name, value, error, message",
    [
        ("threshold", None, TypeError, "^argument '{}': must be real number, not NoneType$"),
        ("threshold", "0.5", TypeError, "^argument '{}': must be real number, not str$"),
        ("max_errors", 2.0, TypeError, "^argument '{}': 'float' object cannot be interpreted as an integer$"),
        ("max_errors", "2", TypeError, "^argument '{}': 'str' object cannot be interpreted as an integer$"),
        ("max_results", None, TypeError, "^argument '{}': 'NoneType' object cannot be interpreted as an integer$"),
        ("max_errors", -1, OverflowError, "^can't convert negative int to unsigned$"),
        ("max_results", -1, OverflowError, "^can't convert negative int to unsigned$"),
        ("max_results", 2**64, OverflowError, "^int too big to convert$"),
        ("max_errors", 2**32, OverflowError, "^out of range integral type conversion attempted$"),
    ],
)
def test_conversion_errors_name_the_argument_only_for_type_errors(name, value, error, message):
    with pytest.raises(error, match=message.format(name)) as info:
        murvex.Murvex(**{name: value})
    assert type(info.value) is error
    engine = murvex.Murvex()
    with pytest.raises(error, match=message.format("value")):
        setattr(engine, name, value)
    assert repr(engine) == "Murvex(records=0, threshold=0.25, max_errors=2)"


def test_conversions_accept_index_and_float_protocols():
    class Index:
        def __index__(self):
            return 1

    class Float:
        def __float__(self):
            return 0.5

    class Huge(int):
        pass

    engine = murvex.Murvex(threshold=Float(), max_errors=Index(), max_results=Index())
    assert repr(engine) == "Murvex(records=0, threshold=0.50, max_errors=1)"
    engine.threshold = Index()
    engine.max_errors = Huge(3)
    assert repr(engine) == "Murvex(records=0, threshold=1.00, max_errors=3)"


def test_failing_conversion_hooks_propagate_unchanged_or_wrapped():
    class Broken:
        def __index__(self):
            raise ZeroDivisionError("boom")

    class WrongType:
        def __index__(self):
            return "not an int"  # noqa: PLE0305 - the wrong type on purpose

    with pytest.raises(ZeroDivisionError, match="boom"):
        murvex.Murvex(max_errors=Broken())
    with pytest.raises(TypeError, match=r"^argument 'max_errors': __index__ returned non-int"):
        murvex.Murvex(max_errors=WrongType())


def test_wrapped_type_error_keeps_the_cause():
    cause = KeyError("inner")

    class Chained:
        def __index__(self):
            raise TypeError("outer") from cause

    with pytest.raises(TypeError) as info:
        murvex.Murvex(max_results=Chained())
    assert str(info.value) == "argument 'max_results': outer"
    assert info.value.__cause__ is cause


def test_settings_are_write_only_and_cannot_be_deleted(engine):
    for name in ("threshold", "max_errors", "max_results"):
        with pytest.raises(AttributeError, match="not readable"):
            getattr(engine, name)
        with pytest.raises(AttributeError) as info:
            delattr(engine, name)
        assert str(info.value) == "can't delete attribute"
    assert repr(engine) == "Murvex(records=0, threshold=0.25, max_errors=2)"


def test_count_is_read_only(engine):
    assert engine.count == 0
    with pytest.raises(AttributeError):
        engine.count = 5


def test_setters_change_what_search_does():
    engine = make_engine(["abxdef c", "zzabxdef c", "abcdef"])
    engine.max_results = 0
    assert engine.search("abcdef") == []
    engine.max_results = 2
    assert [r.id for r in engine.search("abcdef")] == [2, 0]
    engine.max_results = 50
    engine.threshold = 1.0
    assert [r.id for r in engine.search("abcdef")] == [2]
    engine.threshold = 0.0
    engine.max_errors = 0
    assert [r.id for r in engine.search("abcdef")] == [2]
