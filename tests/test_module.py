import gc
import sys
import weakref

import pytest

import murvex
from conftest import run_python


def test_module_surface():
    assert murvex.__doc__ == "Murvex: High-performance fuzzy search engine"
    assert murvex.__all__ == ["Murvex", "SearchResult"]
    assert murvex.__name__ == "murvex"
    assert not hasattr(murvex, "__version__")
    assert not hasattr(murvex, "PanicException")
    public = {name for name in dir(murvex) if not name.startswith("__")}
    assert public == {"Murvex", "SearchResult"}


def test_reimport_gives_the_same_module_and_classes():
    module, engine_class = murvex, murvex.Murvex
    del sys.modules["murvex"]
    import murvex as again

    assert again is module
    assert again.Murvex is engine_class


def test_class_names_docs_and_signature():
    assert murvex.Murvex.__module__ == "builtins"
    assert murvex.Murvex.__name__ == "Murvex"
    assert murvex.Murvex.__doc__ == "High-performance fuzzy search engine"
    assert murvex.Murvex.__text_signature__ == "(threshold=0.25, max_errors=2, max_results=50)"
    assert murvex.SearchResult.__module__ == "builtins"
    assert murvex.SearchResult.__doc__ == "A single search result"
    assert murvex.Murvex.search.__doc__ == (
        "Search for matching records\n\nArgs:\n    query: The search query string\n\n"
        "Returns:\n    List of SearchResult objects sorted by score (descending)"
    )
    assert murvex.Murvex.search.__text_signature__ == "($self, query)"
    assert murvex.Murvex.add.__text_signature__ == "($self, records)"
    assert murvex.Murvex.remove.__text_signature__ == "($self, id)"
    assert murvex.Murvex.reset.__text_signature__ == "($self)"
    assert murvex.Murvex.reset.__doc__ == "Clear all records"
    assert murvex.Murvex.count.__doc__ == "Get number of records"
    assert murvex.Murvex.threshold.__doc__ == "Set threshold"


@pytest.mark.parametrize("cls", [murvex.Murvex, murvex.SearchResult])
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_instances_have_no_dict_and_no_weak_references(engine):
    engine.add({"text": "abc"})
    result = engine.search("abc")[0]
    for obj in (engine, result):
        assert not hasattr(obj, "__dict__")
        with pytest.raises(TypeError):
            weakref.ref(obj)
        with pytest.raises(AttributeError):
            obj.extra = 1


def test_search_result_has_no_constructor():
    for args in [(), (1, 0.5, 0, 1)]:
        with pytest.raises(TypeError) as info:
            murvex.SearchResult(*args)
        assert str(info.value) == "No constructor defined for SearchResult"


def test_errors_carry_their_message_as_only_argument(engine):
    with pytest.raises(ValueError) as info:
        engine.threshold = 2.0
    assert info.value.args == ("threshold must be between 0.0 and 1.0",)


def test_subinterpreter_import_is_refused_and_the_main_module_keeps_working(tmp_path):
    outcome = tmp_path / "outcome.txt"
    in_subinterpreter = (
        "try:\n"
        "    import murvex\n"
        "except ImportError as error:\n"
        f"    open({str(outcome)!r}, 'w').write('ImportError: ' + str(error))\n"
        "else:\n"
        f"    open({str(outcome)!r}, 'w').write('imported')\n"
    )
    process = run_python(
        f"""
        import _testcapi
        import murvex
        _testcapi.run_in_subinterp({in_subinterpreter!r})
        engine = murvex.Murvex()
        engine.add({{"id": 3, "t": "still working"}})
        print(engine.search("working")[0].id)
        """
    )
    assert process.returncode == 0, process.stderr
    assert process.stdout.strip() == "3"
    text = outcome.read_text()
    assert text.startswith("ImportError: ")
    assert "subinterpreters" in text


def test_no_reference_leaks_across_many_engines_and_searches():
    def workload():
        for _ in range(200):
            engine = murvex.Murvex(max_results=5)
            engine.add([{"id": j, "t": f"record number {j}"} for j in range(20)])
            engine.search("number")
            repr(engine)
            for result in engine.search("record"):
                repr(result), result.score
            engine.remove(3)
            engine.reset()

    workload()  # warm up caches
    gc.collect()
    before = (sys.getrefcount(murvex.Murvex), sys.getrefcount(murvex.SearchResult))
    total_before = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    workload()
    gc.collect()
    assert (sys.getrefcount(murvex.Murvex), sys.getrefcount(murvex.SearchResult)) == before
    if total_before is not None:
        assert sys.gettotalrefcount() - total_before < 50


UNCONSTRUCTED = """
import murvex

murvex.Murvex.__new__ = staticmethod(lambda cls, *a, **k: object.__new__(cls))
murvex.SearchResult.__new__ = staticmethod(lambda cls, *a, **k: object.__new__(cls))
engine = murvex.Murvex()

def setter(name):
    def assign():
        setattr(engine, name, 1)
    return assign

attempts = {
    "add": lambda: engine.add({"t": "abc"}),
    "add list": lambda: engine.add([{"t": "abc"}]),
    "search": lambda: engine.search("abc"),
    "remove": lambda: engine.remove(1),
    "reset": lambda: engine.reset(),
    "count": lambda: engine.count,
    "repr": lambda: repr(engine),
    "str": lambda: str(engine),
    "threshold": setter("threshold"),
    "max_errors": setter("max_errors"),
    "max_results": setter("max_results"),
}
for name, attempt in attempts.items():
    try:
        attempt()
    except TypeError as error:
        assert str(error) == "Murvex object is not initialized", (name, error)
    else:
        raise SystemExit(f"{name} raised nothing")
try:
    del engine.threshold
except AttributeError as error:
    assert str(error) == "can't delete attribute"
del engine, attempts  # deallocation of an engine that was never built

result = murvex.SearchResult()
assert (result.id, result.score, result.start, result.end) == (0, 0.0, 0, 0)
assert repr(result) == "SearchResult(id=0, score=0.000, start=0, end=0)"
del result
engines = [murvex.Murvex() for _ in range(1000)]
del engines
print("ok")
"""


def test_instances_made_without_the_constructor_are_refused_not_crashed():
    # In a subprocess: a regression is a failed test, not a dead test run.
    process = run_python(UNCONSTRUCTED)
    assert process.returncode == 0, process.stderr
    assert process.stdout.strip() == "ok"
