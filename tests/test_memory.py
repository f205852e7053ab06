"""Running out of memory raises MemoryError and leaves the engine as it was."""

import os

import pytest

from conftest import linux_only, run_python

OUT_OF_MEMORY = """
import resource
import murvex

engine = murvex.Murvex()
engine.add([{"id": i, "t": f"record {i}"} for i in range(1000)])
big = {"id": 1, "t": "x" * (1 << 28)}  # 256 MiB of text
values = [{"id": 2, "a": "y" * (1 << 27), "b": "z" * (1 << 27)}]

# Leave room for about 128 MiB more than what is in use now: less than either
# add needs, more than the interpreter itself may take meanwhile.
with open("/proc/self/statm") as statm:
    in_use = int(statm.read().split()[0]) * resource.getpagesize()
limit = in_use + (128 << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

for attempt in (lambda: engine.add(big), lambda: engine.add(values)):
    try:
        attempt()
    except MemoryError:
        pass
    else:
        raise SystemExit("no MemoryError")
    assert engine.count == 1000, engine.count
    assert repr(engine) == "Murvex(records=1000, threshold=0.25, max_errors=2)"
    assert engine.search("record 999")[0].id == 999

engine.add({"id": 5000, "t": "small records still fit"})
assert engine.count == 1001
print("ok")
"""


@linux_only
@pytest.mark.skipif(
    bool(os.environ.get("MURVEX_SANITIZED")),
    reason="AddressSanitizer reserves more address space than the limit allows",
)
def test_an_allocation_failure_raises_memory_error_and_changes_nothing():
    process = run_python(OUT_OF_MEMORY)
    assert process.returncode == 0, process.stderr
    assert process.stdout.strip() == "ok"


@linux_only
def test_reset_gives_the_memory_of_its_records_back():
    process = run_python(
        """
        import murvex

        def resident():
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[1]) * 4096

        engine = murvex.Murvex()
        records = [{"id": i, "t": f"record number {i} " * (1 + i % 9)} for i in range(50_000)]
        sizes = []
        for _ in range(20):
            engine.add(records)
            engine.reset()
            sizes.append(resident())
        print(sizes[1], sizes[-1])
        """
    )
    assert process.returncode == 0, process.stderr
    after_one, after_twenty = map(int, process.stdout.split())
    assert after_twenty - after_one < 8 << 20, (after_one, after_twenty)  # 20 rounds of 9 MiB of lanes each


# --- memory-failure injection ---------------------------------------------------
#
# _testcapi.set_nomemory(k, k + 1) makes the k-th allocation of the
# interpreter's allocators fail from then on. Each call below runs with
# k = 0, 1, 2, ... until it succeeds; every failing run must raise
# MemoryError and leave the engine as a model says, never lose data silently.

try:
    import _testcapi
except ImportError:
    _testcapi = None

needs_testcapi = pytest.mark.skipif(_testcapi is None, reason="_testcapi is not part of this CPython build")

OUT_OF_MEMORY_RUN = object()


def with_failing_allocation(k, call):
    """call() with the k-th interpreter allocation failing; MemoryError becomes OUT_OF_MEMORY_RUN."""
    _testcapi.set_nomemory(k, k + 1)
    try:
        return call()
    except MemoryError:
        return OUT_OF_MEMORY_RUN
    finally:
        _testcapi.remove_mem_hooks()


def every_failure(call, check, limit=5000, fresh=None):
    """Runs call() failing at allocation k for each k until it succeeds; check(k, outcome) after each.

    With `fresh`, each run starts from a new state = fresh(), made before the
    failure is armed: call(state) and check(k, outcome, state). Returns the
    number of failing runs.
    """
    for k in range(limit):
        state = () if fresh is None else (fresh(),)
        outcome = with_failing_allocation(k, lambda state=state: call(*state))
        check(k, outcome, *state)
        if outcome is not OUT_OF_MEMORY_RUN:
            return k
    raise AssertionError(f"still failing after {limit} injected allocation failures")


class LookupDict(dict):
    """A dict subclass whose item access runs Python code."""

    def __getitem__(self, key):
        return super().__getitem__(key)


def texts_of(records):
    return [" ".join(v for v in r.values() if isinstance(v, str)) for r in records]


def stored_exactly(engine, records):
    """The engine holds exactly `records` (unique texts), with their ids."""
    if engine.count != len(records):
        return False
    for record, text in zip(records, texts_of(records), strict=True):
        found = [(r.id, r.score, r.start, r.end) for r in engine.search(text)]
        if (record["id"], 1.0, 0, len(text.encode())) not in found:
            return False
    return True


@needs_testcapi
@pytest.mark.parametrize("make", [dict, LookupDict], ids=["dict", "dict subclass"])
def test_add_of_a_dict_under_injected_failures_raises_or_adds_it_whole(make):
    import murvex

    record = make({"id": 41, "a": "".join(["h", "\xe9", "llo"]), "b": "w\xf6rld"})

    def check(k, outcome, engine):
        expected = [] if outcome is OUT_OF_MEMORY_RUN else [dict(record)]
        assert outcome in (OUT_OF_MEMORY_RUN, 1) and stored_exactly(engine, expected), k

    assert every_failure(lambda engine: engine.add(record), check, fresh=murvex.Murvex) > 0


@needs_testcapi
def test_add_of_a_list_under_injected_failures_keeps_exactly_the_earlier_records():
    import murvex

    records = [{"id": 100 + i, "t": f"r\xe9cord {i:02}", "u": "w" + "\xf6" * i} for i in range(7)]

    def check(k, outcome, engine):
        # after a failure the records before the failing item stay, whole; nothing else does
        expected = records[: engine.count] if outcome is OUT_OF_MEMORY_RUN else records
        assert outcome in (OUT_OF_MEMORY_RUN, 7) and stored_exactly(engine, expected), k

    assert every_failure(lambda engine: engine.add(records), check, fresh=murvex.Murvex) > 0


@needs_testcapi
def test_search_and_settings_under_injected_failures_raise_or_give_the_exact_result():
    import murvex

    engine = murvex.Murvex(max_results=10)
    engine.add([{"id": i, "t": f"h\xe9llo world {i}"} for i in range(20)])
    expected = [(r.id, r.score, r.start, r.end) for r in engine.search("h\xe9llo wrld")]

    def search_check(k, outcome):
        if outcome is not OUT_OF_MEMORY_RUN:
            assert [(r.id, r.score, r.start, r.end) for r in outcome] == expected, k

    every_failure(lambda: engine.search("h\xe9llo wrld"), search_check)

    def construct_check(k, outcome):
        if outcome is not OUT_OF_MEMORY_RUN:
            assert repr(outcome) == "Murvex(records=0, threshold=0.50, max_errors=1)", k

    every_failure(lambda: murvex.Murvex(threshold=0.5, max_errors=1, max_results=10), construct_check)

    for name, value, shown in [("threshold", 0.75, "threshold=0.75"), ("max_errors", 3, "max_errors=3")]:
        target = murvex.Murvex()

        def assign(name=name, value=value, target=target):
            setattr(target, name, value)
            return True

        def setting_check(k, outcome, shown=shown, target=target):
            assert (shown in repr(target)) == (outcome is not OUT_OF_MEMORY_RUN), (k, repr(target))

        every_failure(assign, setting_check)
    target = murvex.Murvex(max_results=5)
    target.add([{"t": "same"}] * 3)

    def max_results_check(k, outcome):
        assert len(target.search("same")) == (3 if outcome is OUT_OF_MEMORY_RUN else 1), k
        target.max_results = 5

    every_failure(lambda: setattr(target, "max_results", 1) or True, max_results_check)
