"""RayMurvex on a local Ray with 2 CPUs, started and shut down here."""

import os
import threading
import time

import pytest

import murvex

ray = pytest.importorskip("ray", reason="Ray is not installed here (pip install 'murvex[ray]')")

from murvex_tools import ActorPlacementError, RayMurvex, ShardedMurvex, ShardLostError  # noqa: E402 - after the skip
from scenarios import as_tuples, check_argument_errors, play  # noqa: E402


@pytest.fixture(scope="module", autouse=True)
def local_ray():
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield
    ray.shutdown()


@pytest.fixture(autouse=True)
def patient_placement(monkeypatch):
    """Under the sanitizers (preloaded into every Ray worker too) a worker can take a minute to start."""
    if os.environ.get("MURVEX_SANITIZED"):
        defaults = {**RayMurvex.__init__.__kwdefaults__, "placement_timeout": 300.0}
        monkeypatch.setattr(RayMurvex.__init__, "__kwdefaults__", defaults)


@pytest.mark.parametrize("capacity, max_results", [(1, 3), (7, 50), (100, 0), (100, 5)])
def test_ray_index_answers_as_one_engine(capacity, max_results):
    with RayMurvex(max_results=max_results, actors=2, shard_capacity=capacity) as index:
        play(index, max_results, seed=capacity + max_results, size=300 if capacity > 1 else 60)


def test_argument_errors_are_the_engines_own():
    with RayMurvex(actors=2) as index:
        check_argument_errors(index)


def test_more_than_one_engine_holds_and_equals_the_in_process_index():
    records = [{"id": i, "t": f"row {i} {'even' if i % 2 == 0 else 'odd'}"} for i in range(120_000)]
    sharded = ShardedMurvex(max_results=10)
    sharded.add(records)
    with RayMurvex(max_results=10, actors=2) as index:
        assert index.add(records) == 120_000
        assert (index.count, index.shards) == (120_000, 2)
        for query in ["row 119999", "row 5 even", "odd", "rwo 1234"]:
            assert as_tuples(index.search(query)) == as_tuples(sharded.search(query)), query
        assert index.remove(100_001) and sharded.remove(100_001)
        assert as_tuples(index.search("row 100001")) == as_tuples(sharded.search("row 100001"))


def test_a_lost_actor_is_reported_and_the_index_can_be_rebuilt():
    records = [{"id": i, "t": f"item {i}"} for i in range(40)]
    with RayMurvex(max_results=50, actors=2, shard_capacity=10) as index:
        index.add(records)
        assert len(index.search("item")) == 40
        lost = index._actors[1]  # the test plays the failure
        ray.kill(lost)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:  # the kill takes effect a little later
            try:
                ray.get(lost.token.remote(), timeout=5)
            except ray.exceptions.RayActorError:
                break
            time.sleep(0.05)
        for call in (lambda: index.search("item"), lambda: index.add({"t": "more"}), lambda: index.remove(3)):
            with pytest.raises(ShardLostError, match=r"shards 1, 3 on Ray actor 1 are lost"):
                call()
        index.reset()  # a new actor in place of the lost one
        assert index.add(records) == 40
        assert [r.id for r in index.search("item 3")][:2] == [3, 30]


def test_missing_ray_is_explained(monkeypatch):
    import builtins

    real_import = builtins.__import__

    def without_ray(name, *args, **kwargs):
        if name == "ray":
            raise ImportError("No module named 'ray'")
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", without_ray)
    with pytest.raises(ImportError, match=r"pip install 'murvex\[ray\]'"):
        RayMurvex()


def wait_until(predicate, seconds=60):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.2)
    return False


def test_an_actor_ray_restarted_empty_is_reported_as_lost():
    with RayMurvex(actors=2, shard_capacity=1000, actor_options={"max_restarts": 1}) as index:
        index.add([{"id": i, "t": f"r{i:07}"} for i in range(4000)])
        assert [h.id for h in index.search("r0001005")][:1] == [1005]
        restarted = index._actors[1]  # the test plays the failure; Ray brings the actor back, empty
        old = index._tokens[1]
        ray.kill(restarted, no_restart=False)

        def answers_anew():
            try:
                return ray.get(restarted.token.remote(), timeout=5) != old
            except ray.exceptions.RayActorError:
                return False

        assert wait_until(answers_anew)
        for call in (lambda: index.search("r0001005"), lambda: index.remove(1005), lambda: index.add({"t": "x"})):
            with pytest.raises(ShardLostError, match=r"shards 1, 3 on Ray actor 1 are lost \(the actor was restarted"):
                call()
        index.reset()
        assert index.add([{"id": 5, "t": "again"}]) == 1 and [h.id for h in index.search("again")] == [5]


def test_actors_that_cannot_be_placed_fail_in_time_saying_why():
    began = time.monotonic()
    with pytest.raises(ActorPlacementError, match=r"Ray started 0 of 1 actors within 3 s; each asks for .*num_cpus"):
        RayMurvex(actors=1, actor_options={"num_cpus": 64}, placement_timeout=3)
    assert time.monotonic() - began < 30


def test_two_indexes_beside_each_other_both_work():
    with RayMurvex(actors=2) as first, RayMurvex(actors=3) as second:
        assert first.add({"t": "one"}) == 1 and second.add({"t": "two"}) == 1
        assert [h.id for h in second.search("two")] == [0]


def test_no_cluster_at_an_address_fails_at_once():
    from conftest import run_python

    process = run_python(
        """
        import time
        from murvex_tools import RayMurvex
        began = time.monotonic()
        try:
            RayMurvex(address="127.0.0.1:1")
        except ConnectionError as error:
            print(round(time.monotonic() - began), error)
        """
    )
    assert process.returncode == 0, process.stderr
    seconds, message = process.stdout.split(" ", 1)
    assert int(seconds) < 15 and message.startswith("no Ray cluster at 127.0.0.1:1: "), process.stdout


def test_records_travel_as_the_engine_reads_them():
    class LookupFails(dict):
        def __getitem__(self, key):
            raise KeyError(key)

    batch = [
        {"id": 77, "t": "with a lock", "lock": threading.Lock()},  # unpicklable, and not part of the text
        LookupFails(id="hello", t="subclass"),  # its id lookup fails: the default id, and "hello" is text
        [{"id": 9, "t": "nested"}],  # a list inside the batch adds nothing
        {"t": "last"},
    ]
    engine = murvex.Murvex()
    with RayMurvex(actors=2, shard_capacity=2) as index:
        assert index.add(batch) == engine.add(batch) == 3
        for query in ("with a lock", "hello subclass", "nested", "last"):
            assert as_tuples(index.search(query)) == as_tuples(engine.search(query)), query


def test_settings_apply_to_every_actor_or_are_refused():
    with RayMurvex(actors=2, shard_capacity=3) as index:
        index.add([{"t": "abcdef"}] * 8 + [{"t": "abxdef"}])
        index.max_results = 1
        assert len(index.search("abcdef")) == 1 and index.max_results == 1
        index.max_results, index.threshold = 50, 1.0
        assert len(index.search("abcdef")) == 8
        index.threshold, index.max_errors = 0.25, 0
        assert len(index.search("abcdef")) == 8
        with pytest.raises(ValueError, match="max_errors must be between 0 and 3"):
            index.max_errors = 4
        assert index.max_errors == 0


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # Ray Data's own, about its settings
def test_queries_spread_over_ray_data_find_what_one_index_finds(tmp_path):
    import sys as system
    from pathlib import Path

    pytest.importorskip("ray.data", reason="Ray Data is not installed here")
    system.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
    import ray_data_search
    from ray_data_search import search_with_ray_data

    ray.cloudpickle.register_pickle_by_value(ray_data_search)  # Ray's workers cannot import the examples

    index = ShardedMurvex()
    index.add_texts([f"customer {i} of the shop" for i in range(5000)])
    index.save(tmp_path / "index.murvex")
    queries = [f"custmer {i}" for i in range(0, 5000, 97)] + ["nothing like it"]
    rows = search_with_ray_data(str(tmp_path / "index.murvex"), queries, actors=2, batch_size=10)
    expected = [index.search(q) for q in queries]
    assert [row["id"] for row in rows] == [hits[0].id if hits else None for hits in expected]


def test_the_forgiving_mode_reaches_every_actor():
    with RayMurvex(actors=2, shard_capacity=1, forgiving=True) as index:
        index.add([{"t": "United Kingdom"}, {"t": "definitely"}])
        assert [h.id for h in index.search("definately")] == [1]
        index.forgiving = False
        assert index.search("definately") == [] and not index.forgiving
