"""The companion's index: every worker count and kernel form answers as one engine; threads, fork and exit."""

import os
import pickle
import random
import threading
import time

import pytest

import murvex
from conftest import linux_only, posix_only, run_python
from murvex_tools import Hit, ShardedMurvex, _native
from scenarios import WORDS, as_tuples, play, random_records

KERNELS = _native.kernels()


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("workers", [1, 2, 3, 4])
def test_every_form_and_worker_count_answers_as_one_engine(kernel, workers):
    for capacity, max_results in [(1, 3), (37, 50), (100_000, 7)]:
        index = ShardedMurvex(max_results=max_results, shard_capacity=capacity, workers=workers, kernel=kernel)
        assert index.kernel == kernel and index.workers == workers
        play(index, max_results, seed=capacity + workers, size=300 if capacity > 1 else 60)


def test_long_records_split_over_workers_rank_as_in_one_engine():
    rng = random.Random(5)
    records = []
    for i in range(4000):
        text = "".join(rng.choices("abcde ", k=rng.choice([20, 60, 1500, 3000])))
        if rng.random() < 0.2:
            at = rng.randrange(len(text))
            text = text[:at] + rng.choice(["needle", "neddle", "needl", "eedle"]) + text[at:]
        records.append({"id": i % 900, "t": text})
    engine = murvex.Murvex(max_results=40)
    engine.add(records)
    for workers in (1, 2, 4):
        index = ShardedMurvex(max_results=40, shard_capacity=1500, workers=workers)
        index.add(records)
        for query in ["needle", "abcde", "neexle", "ab cd"]:
            assert as_tuples(index.search(query)) == as_tuples(engine.search(query)), (workers, query)


def test_search_many_is_a_loop_of_search_and_names_a_bad_query():
    index = ShardedMurvex(max_results=5, shard_capacity=500)
    index.add(random_records(random.Random(3), 3000))
    queries = ["alpha", "gama", "cafe", "a", "", "the Beta"] * 7
    for workers in (None, 1, 2, 3):
        assert index.search_many(queries, workers=workers) == [index.search(q) for q in queries]
    with pytest.raises(TypeError, match=r"^argument 'queries\[2\]': 'int' object cannot be converted to 'str'$"):
        index.search_many(["alpha", "beta", 5])
    with pytest.raises(TypeError):
        index.search_many(5)
    assert index.search_many([]) == []


def test_search_many_in_several_batches_answers_as_search_in_every_mode():
    # search_many reads the lanes a group of blocks at a time for up to 64 queries: over enough
    # records for several groups, shards and batches, with each mode's settings, it must answer
    # each query as search() does, pruned rankings and words' spans included.
    rng = random.Random(8)
    texts = [" ".join(rng.choices(WORDS, k=rng.randrange(3, 25))) for _ in range(8000)]
    index = ShardedMurvex(max_results=4, shard_capacity=3000, words=True)
    index.add_texts(texts)
    queries = []
    for _ in range(150):
        words = rng.choice(texts).split()
        at = rng.randrange(len(words))
        query = " ".join(words[at : at + rng.randrange(1, 4)])
        cut = rng.randrange(len(query))
        queries.append(query[:cut] + query[cut + 1 :] if rng.random() < 0.5 else query.upper())
    queries[9] = ""
    for own in ({}, {"words": False, "forgiving": True}, {"words": False, "max_results": 2, "max_errors": 3}):
        expected = [index.search(q, **own) for q in queries]
        for workers in (1, 2, 3):
            assert index.search_many(queries, workers=workers, **own) == expected, (own, workers)


def test_a_list_emptied_by_another_thread_during_search_many_or_add_texts_keeps_its_items_for_the_call():
    # The queries' bytes are read without the interpreter lock, which another thread takes as soon
    # as search_many lets it go: the call must hold its queries, not borrow them from the list.
    import weakref

    class Query(str):  # a str that can be watched going
        pass

    rng = random.Random(12)
    index = ShardedMurvex(workers=1, forgiving=True)
    index.add_texts([" ".join(rng.choices(WORDS, k=12)) for _ in range(20_000)])
    queries = [Query(rng.choice(WORDS) + rng.choice(WORDS)[:3]) for _ in range(100)]
    expected = index.search_many([str(query) for query in queries])
    watched = [weakref.ref(query) for query in queries]
    go, seen = threading.Event(), {}

    def empty_it():
        go.wait()
        queries.clear()
        seen["held"] = sum(ref() is not None for ref in watched)
        seen["at"] = time.perf_counter()

    emptier = threading.Thread(target=empty_it)
    emptier.start()
    go.set()
    found = index.search_many(queries)
    returned = time.perf_counter()
    emptier.join()
    assert seen["at"] < returned, "the list was emptied after the search, not during it"
    assert seen["held"] == 100 and found == expected

    # add_texts lets the lock go while it waits for a search to leave the index: the same there.
    texts = [Query(f"text {i} " + rng.choice(WORDS)) for i in range(5000)]
    copies, watched = [str(text) for text in texts], [weakref.ref(text) for text in texts]

    def empty_texts():
        time.sleep(0.02)
        texts.clear()
        seen["held"] = sum(ref() is not None for ref in watched)

    searcher = threading.Thread(target=index.search_many, args=(copies,))
    searcher.start()
    time.sleep(0.02)  # the search holds the index
    emptier = threading.Thread(target=empty_texts)
    emptier.start()
    added = index.add_texts(texts)  # waits for the search, the interpreter lock let go
    searcher.join()
    emptier.join()
    assert added == 5000 and seen["held"] == 5000
    assert index.records(range(20_000, 25_000)) == [(20_000 + i, text) for i, text in enumerate(copies)]


def test_settings_read_back_and_apply_to_every_shard():
    index = ShardedMurvex(shard_capacity=2)
    index.add([{"t": "abcdef"}] * 5 + [{"t": "abxdef"}])
    assert (index.threshold, index.max_errors, index.max_results) == (0.25, 2, 50)
    index.max_results = 1
    assert len(index.search("abcdef")) == 1
    index.max_results = 50
    index.threshold = 0.9
    assert [h.score for h in index.search("abcdef")] == [1.0] * 5
    index.max_errors = 0
    index.threshold = 0.25
    assert len(index.search("abcdef")) == 5
    for name, value, error, message in [
        ("threshold", 1.5, ValueError, "threshold must be between 0.0 and 1.0"),
        ("max_errors", 4, ValueError, "max_errors must be between 0 and 3"),
        ("max_results", 101, ValueError, "max_results must be <= 100"),
        ("max_errors", "2", TypeError, "argument 'value': "),
        ("max_errors", 2**32, OverflowError, "out of range integral type conversion attempted"),
    ]:
        with pytest.raises(error, match=message):
            setattr(index, name, value)
    assert (index.threshold, index.max_errors, index.max_results) == (0.25, 0, 50)  # unchanged
    with pytest.raises(ValueError, match="workers must be at least 1"):
        ShardedMurvex(workers=0)
    with pytest.raises(ValueError, match="kernel 'sse9' is not one this CPU runs: "):
        ShardedMurvex(kernel="sse9")


def test_hits_are_small_immutable_picklable_comparable_values():
    index = ShardedMurvex()
    index.add([{"id": 7, "t": "Ada Lovelace"}])
    (hit,) = index.search("lovlace")
    assert isinstance(hit, Hit) and hit == Hit((7, hit.score, 5, 12)) and tuple(hit) == (7, hit.score, 5, 12)
    assert pickle.loads(pickle.dumps(hit)) == hit and hash(hit) == hash(tuple(hit))
    with pytest.raises(AttributeError):
        hit.score = 1.0  # type: ignore[misc]


def test_other_threads_run_while_a_search_runs():
    index = ShardedMurvex(max_results=100, workers=1)
    index.add({"t": "the quick brown fox " * 20} for _ in range(100_000))
    ticks = 0
    stop = threading.Event()

    def tick():
        nonlocal ticks
        while not stop.is_set():
            ticks += 1

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        time.sleep(0.05)
        before = ticks
        began = time.perf_counter()
        while time.perf_counter() - began < 0.5:
            index.search_many(["quick brwn fox"] * 8)
        during = ticks - before
    finally:
        stop.set()
        ticker.join()
    assert during > 1000  # with the interpreter lock held throughout, the ticker would barely run


def test_a_change_waits_for_the_search_running_on_the_index():
    """A search holds the index open (shared) until it ends; remove, add and a setting wait for it, so that no
    change ever happens under a scan."""
    index = ShardedMurvex(max_errors=3, workers=1, forgiving=True)
    index.add_texts(["the quick brown fox jumps over the lazy dog " * 3] * 1_500_000)
    began = time.perf_counter()
    index.search("quick brown fax jumbs")
    alone = time.perf_counter() - began
    changes = {
        "remove": lambda: index.remove(7),
        "add_texts": lambda: index.add_texts(["one more"]),
        "threshold": lambda: setattr(index, "threshold", 0.3),
    }
    for name, change in changes.items():
        ended: dict[str, float] = {}

        def search(ended: dict[str, float] = ended) -> None:
            index.search("quick brown fax jumbs")
            ended["search"] = time.perf_counter()

        searching = threading.Thread(target=search)
        searching.start()
        time.sleep(alone / 3)  # the search is running now
        change()
        changed = time.perf_counter()
        searching.join()
        # The search thread notes its end once it has the interpreter lock back, which the change may have
        # first: a quarter of the search's time is room for that, and far less than a change that did not
        # wait would leave.
        assert changed >= ended["search"] - alone / 4, f"{name} ran under a search ({alone * 1000:.0f} ms alone)"


def test_threads_searching_and_changing_indexes_at_once():
    indexes = [ShardedMurvex(max_results=10, shard_capacity=300, workers=w) for w in (1, 2)]
    for index in indexes:
        index.add(random_records(random.Random(1), 2000))
    errors = []

    def searcher(index, seed):
        rng = random.Random(seed)
        for _ in range(200):
            own = {"max_results": 3, "forgiving": True} if seed == 1 else {}  # beside the changes of max_results
            results = index.search(rng.choice(["alpha", "gamma delta", "cafe"]), **own)
            if [h.score for h in results] != sorted((h.score for h in results), reverse=True) or (
                own and len(results) > 3
            ):
                errors.append(results)

    def changer(index, seed):
        rng = random.Random(seed)
        for step in range(150):
            roll = rng.random()
            if roll < 0.5:
                index.add(random_records(rng, 20))
            elif roll < 0.8:
                index.remove(rng.randrange(60))
            elif roll < 0.9:
                index.max_results = rng.randrange(1, 20)
            elif step % 50 == 0:
                index.reset()

    threads = [threading.Thread(target=searcher, args=(ix, s)) for ix in indexes for s in range(3)]
    threads += [threading.Thread(target=changer, args=(ix, s)) for ix in indexes for s in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads) and errors == []


def test_a_small_index_searched_while_a_change_holds_it_waits_for_the_change():
    """A search of a small index runs with the interpreter lock held, but never waits for the index's lock so:
    here the change holds the index while its record's item access sleeps without the interpreter lock."""
    index = ShardedMurvex(workers=1)
    index.add_texts([f"row {i}" for i in range(100)])

    class SlowRecord(dict):
        def __getitem__(self, key):
            time.sleep(0.2)
            return super().__getitem__(key)

    firsts = []
    adding = threading.Thread(target=index.add, args=(SlowRecord(id=100, t="row 100"),), daemon=True)
    searching = threading.Thread(target=lambda: firsts.append(index.search("row 100")[0].id), daemon=True)
    adding.start()
    time.sleep(0.05)
    searching.start()
    searching.join(timeout=10)
    adding.join(timeout=10)
    assert not searching.is_alive() and not adding.is_alive() and firsts == [100]


def test_reentry_from_the_same_thread_is_an_error_not_a_hang():
    index = ShardedMurvex()

    class SearchingId:
        def __index__(self):
            index.search("x")  # while add holds the index
            return 1

    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
        index.add({"id": SearchingId(), "t": "x"})

    class AddingNumber:
        def __float__(self):
            index.add({"t": "converted first"})  # a setting converts before it takes the index
            return 0.5

    index.threshold = AddingNumber()  # type: ignore[assignment]
    assert index.threshold == 0.5 and index.count == 1


@posix_only
def test_a_forked_child_searches_on_a_working_pool():
    index = ShardedMurvex(max_results=3, shard_capacity=1000, workers=2)
    index.add({"id": i, "t": f"row {i}"} for i in range(20_000))
    expected = index.search("row 1234")  # the pool has started
    pid = os.fork()
    if pid == 0:
        ok = index.search("row 1234") == expected and index.search_many(["row 1234"] * 4) == [expected] * 4
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


def test_the_interpreter_exits_while_daemon_threads_search():
    process = run_python(
        """
        import threading
        from murvex_tools import ShardedMurvex

        index = ShardedMurvex(workers=2, shard_capacity=1000)
        index.add({"t": f"row {i} of many"} for i in range(50_000))

        def forever():
            while True:
                index.search_many(["row 1 of mny"] * 4)

        for _ in range(3):
            threading.Thread(target=forever, daemon=True).start()
        index.search("row")
        print("exiting")
        """
    )
    assert process.returncode == 0, process.stderr
    assert process.stdout.strip() == "exiting"


@linux_only
@pytest.mark.skipif(bool(os.environ.get("MURVEX_SANITIZED")), reason="the sanitizers reserve more address space")
def test_running_out_of_memory_raises_and_keeps_the_index():
    process = run_python(
        """
        import resource
        from murvex_tools import ShardedMurvex

        index = ShardedMurvex(shard_capacity=1000, workers=2)
        index.add([{"id": i, "t": f"record {i}"} for i in range(5000)])
        with open("/proc/self/statm") as statm:
            in_use = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (in_use + (64 << 20), in_use + (64 << 20)))
        try:
            index.add([{"t": "x" * (1 << 20)} for _ in range(200)])
        except MemoryError:
            pass
        else:
            raise SystemExit("no MemoryError")
        assert index.search("record 4999")[0].id == 4999
        assert len(index.search_many(["record 1"] * 8)) == 8
        print(index.count >= 5000)
        """
    )
    assert process.returncode == 0, process.stderr
    assert process.stdout.strip() == "True"


@linux_only
@pytest.mark.skipif(bool(os.environ.get("MURVEX_SANITIZED")), reason="the sanitizers reserve more address space")
def test_a_bulk_add_that_runs_out_of_memory_on_the_workers_adds_nothing():
    process = run_python(
        """
        import resource
        from murvex_tools import ShardedMurvex

        index = ShardedMurvex(shard_capacity=1000, workers=2)
        index.add_texts([f"record {i}" for i in range(5000)])
        with open("/proc/self/statm") as statm:
            in_use = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (in_use + (64 << 20), in_use + (64 << 20)))
        try:
            index.add_texts(["x" * 1000] * 200_000)  # 200 shards of 1 MB each, filled two at a time
        except MemoryError:
            pass
        else:
            raise SystemExit("no MemoryError")
        assert (index.count, index.shards) == (5000, 5)
        assert index.search("record 4999")[0].id == 4999
        index.add_texts(["record 5000"])
        print(index.search("record 5000")[0].id)
        """
    )
    assert process.returncode == 0, process.stderr
    assert process.stdout.strip() == "5000"
