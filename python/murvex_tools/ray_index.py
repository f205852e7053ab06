"""Shards on Ray actors: more records than one process should hold, searched on several machines.

Indexes cannot be pickled, so they are built inside the actors and records
travel to them, as what an index reads of each (its id and its joined text).
Shards fill one after another, as in `ShardedMurvex`, and are dealt to the
actors in turn (shard s lives on actor s mod n), so that a search keeps every
actor busy; each actor searches its shards on every core of its machine.
Results equal those of one engine of unlimited size.
"""

from __future__ import annotations

import socket
from collections.abc import Iterable, Mapping, Sequence
from itertools import accumulate
from operator import index
from typing import Any

from murvex_tools._batches import SHARD_CAPACITY, Setting, as_batch, chunks, merge
from murvex_tools._native import Hit, Index, encode_records
from murvex_tools._ray_actor import ShardHost, WrongActorError


class ShardLostError(RuntimeError):
    """A Ray actor holding shards of the index is gone, and with it their records."""


class ActorPlacementError(RuntimeError):
    """Ray could not start the index's actors in time."""


def _import_ray() -> Any:
    try:
        import ray  # type: ignore[import-not-found, unused-ignore]  # an extra: the package type-checks without it
    except ImportError:
        raise ImportError("RayMurvex needs Ray, which is not installed: pip install 'murvex[ray]'") from None
    return ray


def _connect(ray: Any, address: str | None, timeout: float) -> None:
    """ray.init(address=address), failing at once where no cluster answers at a host:port address."""
    host, _, port = (address or "").rpartition(":")
    if host and port.isdigit() and "://" not in address:  # type: ignore[operator]
        try:
            socket.create_connection((host, int(port)), timeout=min(timeout, 10.0)).close()
        except OSError as error:
            raise ConnectionError(f"no Ray cluster at {address}: {error.strerror or error}") from None
    ray.init(address=address)


class RayMurvex:
    """Shards of up to 100,000 records in Ray actors, searched as one index.

    It uses the Ray runtime this process is connected to, else calls
    ray.init(address=address): None starts a local Ray (or joins the one
    RAY_ADDRESS names), "auto" joins a running cluster; a host:port where no
    cluster answers raises ConnectionError at once. `actors` defaults to the
    cluster's nodes: each actor searches on every core of its machine. An actor
    reserves no CPU (it holds memory; `actor_options` may ask for more), and the
    actors are spread over the nodes. When Ray has not started them all within
    `placement_timeout` seconds, ActorPlacementError says what they asked for
    and what the cluster has. Call close() (or use a with block) to end them.
    `forgiving` and `words` are ShardedMurvex's forgiving matching and words mode.

    An actor that dies, or that Ray restarts (empty), takes its shards' records
    with it: every later call raises ShardLostError naming them, until reset()
    starts over empty.
    """

    def __init__(
        self,
        threshold: float = 0.25,
        max_errors: int = 2,
        max_results: int = 50,
        *,
        actors: int | None = None,
        shard_capacity: int = SHARD_CAPACITY,
        address: str | None = None,
        actor_options: Mapping[str, Any] | None = None,
        placement_timeout: float = 60.0,
        forgiving: bool = False,
        words: bool = False,
    ) -> None:
        # An empty index of the settings: it validates them, and the arguments of every call.
        self._settings = Index(
            threshold,
            max_errors,
            max_results,
            shard_capacity=shard_capacity,
            workers=1,
            forgiving=forgiving,
            words=words,
        )
        if actors is not None and actors < 1:
            raise ValueError("actors must be at least 1")
        ray = self._ray = _import_ray()
        if not ray.is_initialized():
            _connect(ray, address, placement_timeout)
        self._options = {"num_cpus": 0, "scheduling_strategy": "SPREAD", **(actor_options or {})}
        self._host = ray.remote(ShardHost).options(**self._options)
        self._placement_timeout = placement_timeout
        count = actors or max(1, sum(1 for node in ray.nodes() if node.get("Alive")))
        self._actors: list[Any] = []
        self._tokens: list[str] = []
        self._place(count)
        self._lost: dict[int, str] = {}  # actor -> why
        self._counts: list[int] = []  # records per shard

    def __enter__(self) -> RayMurvex:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"RayMurvex(records={self.count}, shards={self.shards}, actors={len(self._actors)})"

    @property
    def count(self) -> int:
        """Number of records in all shards."""
        return sum(self._counts)

    @property
    def shards(self) -> int:
        return len(self._counts)

    @property
    def actors(self) -> int:
        return len(self._actors)

    # The settings: read from the local Index that validates them, and written to it and every actor.
    threshold = Setting[float]()
    max_errors = Setting[int]()
    max_results = Setting[int]()
    forgiving = Setting[bool]()
    words = Setting[bool]()

    def memory(self) -> list[int]:
        """Each actor's resident memory in bytes."""
        return self._gather([self._call(a, "memory") for a in range(len(self._actors))], range(len(self._actors)))

    def add(self, records: Mapping[Any, Any] | Iterable[Any]) -> int:
        """Adds one record, or every record of a list or other iterable; returns how many were added.

        Records are read here, as one engine reads them, and travel as ids and
        texts; chunks go to the actors without waiting for each other. As in one
        engine, an error ends the call: the records before the failing one stay.
        """
        self._check_alive()
        before = self.count
        data, lengths, ids, error = encode_records(as_batch(records), before)
        ends = [0, *accumulate(memoryview(lengths).cast("I"))]
        pending: list[tuple[int, int, Any]] = []
        try:
            for shard, first, end in chunks(len(ends) - 1, self._counts, self._settings.shard_capacity):
                new = shard == len(self._counts)
                if new:
                    self._counts.append(0)
                part = (data[ends[first] : ends[end]], lengths[4 * first : 4 * end], ids[4 * first : 4 * end], new)
                pending.append((shard, self._counts[shard], self._call(shard % len(self._actors), "add", *part)))
                self._counts[shard] += end - first  # until the reply says how many were stored
        finally:
            self._settle(pending)
        if error is not None:
            raise error
        return self.count - before

    def search(self, query: str, *, words: bool | None = None) -> list[Hit]:
        """The best results over all shards, best first, ties in insertion order; `words` (None: the
        setting) for this search only."""
        self._check_alive()
        self._settings.search(query, words=words)  # the index's own argument errors
        holders = range(min(len(self._actors), len(self._counts)))
        replies = self._gather([self._call(a, "ranked", query, words) for a in holders], holders)
        return merge(replies, self._settings.max_results)

    def remove(self, record_id: int) -> bool:
        """Removes the first record, in insertion order, that carries `record_id`."""
        self._check_alive()
        self._settings.remove(record_id)  # the index's own argument errors
        record_id = index(record_id)
        n = len(self._actors)
        holders = range(min(n, len(self._counts)))
        replies = self._gather([self._call(a, "holding", record_id) for a in holders], holders)
        holding = sorted(holder + shard * n for holder, shards in enumerate(replies) for shard in shards)
        if not holding:
            return False
        shard = holding[0]
        if self._gather([self._call(shard % n, "remove", record_id, shard // n)], [shard % n])[0]:
            self._counts[shard] -= 1
            return True
        return False

    def reset(self) -> None:
        """Removes every record; lost actors are replaced. The settings stay."""
        for a in range(len(self._actors)):
            if a not in self._lost:
                try:
                    self._ray.get(self._call(a, "reset"))
                    continue
                except (self._ray.exceptions.RayActorError, WrongActorError):
                    pass
            self._ray.kill(self._actors[a])
            self._actors[a], self._tokens[a] = self._start(1)[0]
        self._lost.clear()
        self._counts.clear()

    def close(self) -> None:
        """Ends the actors; the index holds nothing afterwards."""
        for actor in self._actors:
            self._ray.kill(actor)
        self._actors.clear()
        self._tokens.clear()
        self._counts.clear()

    # --- helpers --------------------------------------------------------------

    def _start(self, count: int) -> list[tuple[Any, str]]:
        """`count` new actors with their tokens, once Ray has started them all; else ActorPlacementError."""
        settings = (self.threshold, self.max_errors, self.max_results, self._settings.shard_capacity)
        modes = {"forgiving": self.forgiving, "words": self.words}
        actors = [self._host.remote(*settings, **modes) for _ in range(count)]
        refs = [actor.token.remote() for actor in actors]
        ready, waiting = self._ray.wait(refs, num_returns=len(refs), timeout=self._placement_timeout)
        if waiting:
            for actor in actors:
                self._ray.kill(actor)
            available = {k: v for k, v in self._ray.available_resources().items() if not k.startswith("node:")}
            raise ActorPlacementError(
                f"Ray started {len(ready)} of {count} actors within {self._placement_timeout:g} s; each asks for "
                f"{self._options}, and the cluster has {available} available: give fewer actors, smaller "
                "actor_options, or a longer placement_timeout"
            )
        return list(zip(actors, self._ray.get(refs), strict=True))

    def _place(self, count: int) -> None:
        for actor, token in self._start(count):
            self._actors.append(actor)
            self._tokens.append(token)

    def _call(self, actor: int, method: str, *args: Any) -> Any:
        return getattr(self._actors[actor], method).remote(self._tokens[actor], *args)

    def _configure(self, name: str, value: float | bool) -> None:
        self._check_alive()
        setattr(self._settings, name, value)  # the index's own validation and messages
        held = getattr(self._settings, name)
        actors = range(len(self._actors))
        self._gather([self._call(a, "configure", name, held) for a in actors], actors)

    def _shards_of(self, actor: int) -> list[int]:
        return list(range(actor, len(self._counts), len(self._actors)))

    def _check_alive(self) -> None:
        if not self._actors:
            raise RuntimeError("this RayMurvex is closed")
        if self._lost:
            actor, why = next(iter(self._lost.items()))
            shards = self._shards_of(actor)
            raise ShardLostError(
                f"shard{'s' * (len(shards) != 1)} {', '.join(map(str, shards))} on Ray actor {actor} "
                f"{'are' if len(shards) != 1 else 'is'} lost ({why}); their records are gone: "
                "call reset() and add the records again"
            )

    def _gather(self, refs: Sequence[Any], actors: Iterable[int]) -> list[Any]:
        """ray.get of each reference; an actor that died or was restarted is noted, and reported as ShardLostError."""
        replies = []
        for ref, actor in zip(refs, actors, strict=True):
            try:
                replies.append(self._ray.get(ref))
            except self._ray.exceptions.RayActorError as error:
                self._lost.setdefault(actor, type(error).__name__)
            except WrongActorError:
                self._lost.setdefault(actor, "the actor was restarted, empty")
        self._check_alive()
        return replies

    def _settle(self, pending: list[tuple[int, int, Any]]) -> None:
        """Takes the replies of the adds in flight; on the first error, drops the shards filled after it."""
        n = len(self._actors)
        taken = list(pending)
        pending.clear()
        replies = self._gather([ref for _, _, ref in taken], [shard % n for shard, _, _ in taken])
        for (shard, before, _), (added, error) in zip(taken, replies, strict=True):
            self._counts[shard] = before + added
            if error is not None:
                for actor in range(n):
                    self._gather([self._call(actor, "truncate", len(range(actor, shard + 1, n)))], [actor])
                del self._counts[shard + 1 :]
                raise error
