import pytest

import murvex


class Reentrant(dict):
    """A dict whose 'id' lookup runs `action` on the engine and records what it raised."""

    def __init__(self, action, **values):
        super().__init__(**values)
        self.action = action
        self.raised = None

    def __getitem__(self, key):
        try:
            self.action()
        except RuntimeError as error:
            self.raised = error
        return 7


@pytest.mark.parametrize(
    "action, message",
    [
        (lambda e: e.search("x"), "Already mutably borrowed"),
        (lambda e: e.count, "Already mutably borrowed"),
        (repr, "Already mutably borrowed"),
        (lambda e: e.add({"t": "y"}), "Already borrowed"),
        (lambda e: e.remove(1), "Already borrowed"),
        (lambda e: e.reset(), "Already borrowed"),
        (lambda e: setattr(e, "threshold", 0.5), "Already borrowed"),
        (lambda e: setattr(e, "max_errors", 1), "Already borrowed"),
        (lambda e: setattr(e, "max_results", 1), "Already borrowed"),
    ],
)
def test_reentry_during_add_is_refused_and_the_engine_recovers(engine, action, message):
    candidate = Reentrant(lambda: action(engine), t="x")
    assert engine.add([candidate]) == 1
    assert isinstance(candidate.raised, RuntimeError)
    assert candidate.raised.args == (message,)
    # The outer call finished normally and released its borrow.
    assert [r.id for r in engine.search("x")] == [7]
    assert repr(engine) == "Murvex(records=1, threshold=0.25, max_errors=2)"
    engine.max_errors = 1
    assert engine.remove(7) is True


def test_remove_borrows_before_converting_its_id(engine):
    engine.add({"id": 0, "t": "x"})

    class ReadsCount:
        def __index__(self):
            return engine.count

    with pytest.raises(RuntimeError) as info:
        engine.remove(ReadsCount())
    assert info.value.args == ("Already mutably borrowed",)
    assert engine.count == 1


def test_setters_convert_before_borrowing(engine):
    engine.add([{"t": "x"}, {"t": "y"}])

    class UsesEngine:
        def __index__(self):
            return engine.count  # 2

        def __float__(self):
            return len(engine.search("x")) / 2

    engine.max_errors = UsesEngine()
    engine.max_results = UsesEngine()
    engine.threshold = UsesEngine()
    assert repr(engine) == "Murvex(records=2, threshold=0.50, max_errors=2)"


def test_a_failed_call_gives_its_borrow_back(engine):
    with pytest.raises(TypeError):
        engine.add({"id": "bad", "t": "x"})
    with pytest.raises(TypeError):
        engine.search(3)
    with pytest.raises(ValueError):
        engine.max_errors = 9
    engine.add({"t": "x"})
    engine.reset()
    assert engine.count == 0


def test_other_engines_are_free_during_a_call():
    outer, inner = murvex.Murvex(), murvex.Murvex()
    candidate = Reentrant(lambda: inner.add({"t": "inner"}), t="outer")
    outer.add(candidate)
    assert candidate.raised is None
    assert inner.count == 1 and outer.count == 1
