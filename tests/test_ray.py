"""RayMurvex on a local Ray with 2 CPUs, started and shut down here."""

import time

import pytest

ray = pytest.importorskip("ray", reason="Ray is not installed here (pip install 'murvex[ray]')")

from murvex_tools import RayMurvex, ShardedMurvex, ShardLostError  # noqa: E402 - after the skip
from scenarios import as_tuples, check_argument_errors, play  # noqa: E402


@pytest.fixture(scope="module", autouse=True)
def local_ray():
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield
    ray.shutdown()


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
