"""Shards on Ray actors: more records than one process should hold, searched on several cores or machines.

Engines cannot be pickled, so they are built inside the actors and records
travel to them. Shards fill one after another, as in `ShardedMurvex`, and are
dealt to the actors in turn (shard s lives on actor s mod n), so that a search
keeps every actor busy. Results equal those of one engine of unlimited size.
"""

from __future__ import annotations

import gc
import marshal
import os
import pickle
from array import array
from collections.abc import Iterable, Mapping, Sequence
from itertools import chain
from operator import index, itemgetter
from typing import Any, NamedTuple

import murvex
from murvex_tools._shards import PART, SHARD_CAPACITY, add_to_engine, as_batch, check_settings, chunks, ids_given
from murvex_tools.spans import text_parts

Settings = tuple[float, int, int]
Hit4 = tuple[float, int, int, int, int]  # score, shard, id, start, end
Part = tuple[bool, bytes]  # (marshal or pickle, the records of one part)


class Hit(NamedTuple):
    """One search result of a `RayMurvex`, with the fields of `murvex.SearchResult`."""

    id: int
    score: float
    start: int
    end: int


class ShardLostError(RuntimeError):
    """A Ray actor holding shards of the index is gone, and with it their records."""


def _import_ray() -> Any:
    try:
        import ray
    except ImportError:
        raise ImportError("RayMurvex needs Ray, which is not installed: pip install 'murvex[ray]'") from None
    return ray


_ID = itemgetter("id")


def _encode(chunk: list[Any], cloudpickle: Any) -> tuple[list[Part], bool]:
    """The chunk in parts for the wire, and whether every record in it carries its own id.

    marshal writes plain dicts, strs and ints several times faster than pickle;
    what it cannot write (subclasses, other objects) goes through cloudpickle.
    """
    parts: list[Part] = []
    given = True
    for start in range(0, len(chunk), PART):
        part = chunk[start : start + PART]
        given = given and ids_given(part)  # looked at while the part is in the cache
        try:
            parts.append((True, marshal.dumps(part)))
        except ValueError:
            parts.append((False, cloudpickle.dumps(part)))
    return parts, given


def _stored_ids(records: Sequence[Any], before: int, after: int, offset: int) -> array[int]:
    """The ids of the records an add of `records` stored, the engine's count going from `before` to `after`."""
    if after - before == len(records):  # every record was stored; most often each carries its id
        try:
            return array("I", map(_ID, records))
        except Exception:
            pass
    ids: array[int] = array("I")
    count = before
    for record in records:
        if count == after:
            break
        if next(text_parts(record), None) is None:
            continue  # stored nothing
        try:
            value = record["id"]
        except Exception:
            value = offset + count  # the default id it was given
        ids.append(index(value))
        count += 1
    return ids


class ShardHost:
    """The engines of the shards one actor holds, and their ids for finding a record to remove."""

    def __init__(self, settings: Settings) -> None:
        self._settings = settings
        self._max_results = settings[2]
        self._engines: dict[int, murvex.Murvex] = {}
        self._ids: dict[int, array[int]] = {}

    def add(self, shard: int, parts: list[Part], offset: int) -> tuple[int, BaseException | None]:
        """Adds to a shard, made when new; the shard's count after, and the error that ended the add, if any."""
        engine = self._engines.get(shard)
        if engine is None:
            engine = self._engines[shard] = murvex.Murvex(*self._settings)
            self._ids[shard] = array("I")
        collecting = gc.isenabled()
        gc.disable()  # the records live only for this call: collecting them as they are made is wasted work
        try:
            for is_marshal, data in parts:
                records = marshal.loads(data) if is_marshal else pickle.loads(data)
                before = engine.count
                try:
                    add_to_engine(engine, records, offset)
                except Exception as error:
                    return engine.count, error
                finally:
                    self._ids[shard].extend(_stored_ids(records, before, engine.count, offset))
        finally:
            if collecting:
                gc.enable()
        return engine.count, None

    def search(self, query: str) -> list[Hit4]:
        """The best results of this actor's shards, best first, ties in shard-then-store order."""
        shards = sorted(self._engines)
        per_shard = (
            [(r.score, shard, r.id, r.start, r.end) for r in self._engines[shard].search(query)] for shard in shards
        )
        return sorted(chain.from_iterable(per_shard), key=itemgetter(0), reverse=True)[: self._max_results]

    def holding(self, record_id: int) -> list[int]:
        """The shards that may hold a record with this id."""
        return [shard for shard, ids in self._ids.items() if record_id in ids]

    def remove(self, shard: int, record_id: int) -> bool:
        removed = self._engines[shard].remove(record_id)
        ids = self._ids[shard]
        if removed:
            ids.remove(record_id)
        else:
            self._ids[shard] = array("I", (i for i in ids if i != record_id))
        return removed

    def drop(self, shards: list[int]) -> None:
        for shard in shards:
            self._engines.pop(shard, None)
            self._ids.pop(shard, None)

    def reset(self) -> None:
        self._engines.clear()
        self._ids.clear()

    def memory(self) -> int:
        """This actor's resident memory in bytes."""
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class RayMurvex:
    """Shards of up to 100,000 records in Ray actors, searched as one index.

    It uses the Ray runtime this process is connected to, else calls
    ray.init(address=address): None starts a local Ray (or joins the one
    RAY_ADDRESS names), "auto" joins a running cluster. `actors` defaults to
    the cluster's CPU count; each actor takes one CPU unless `actor_options`
    say otherwise. Call close() (or use a with block) to end the actors.

    An actor that dies takes its shards' records with it: every later call
    raises ShardLostError naming them, until reset() starts over empty.
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
    ) -> None:
        self._empty = check_settings(threshold, max_errors, max_results, shard_capacity)
        if actors is not None and actors < 1:
            raise ValueError("actors must be at least 1")
        ray = self._ray = _import_ray()
        from ray import cloudpickle

        self._cloudpickle = cloudpickle
        if not ray.is_initialized():
            ray.init(address=address)
        self._settings: Settings = (threshold, max_errors, max_results)
        self._max_results = max_results
        self._capacity = shard_capacity
        self._host = ray.remote(ShardHost).options(**{"num_cpus": 1, **(actor_options or {})})
        count = actors or max(1, int(ray.cluster_resources().get("CPU", 1)))
        self._actors: list[Any] = [self._host.remote(self._settings) for _ in range(count)]
        self._lost: dict[int, str] = {}  # actor -> why
        self._counts: list[int] = []

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

    def memory(self) -> list[int]:
        """Each actor's resident memory in bytes."""
        return self._gather([actor.memory.remote() for actor in self._actors], range(len(self._actors)))

    def add(self, records: Mapping[Any, Any] | Iterable[Any]) -> int:
        """Adds one record, or every record of a list or other iterable; returns how many were added.

        Chunks go to the actors without waiting for each other. As in one
        engine, an error ends the call: the records before the failing one stay,
        and shards this call filled after it are dropped.
        """
        self._check_alive()
        before = self.count
        pending: list[tuple[int, Any]] = []
        try:
            for shard, chunk in chunks(as_batch(records), self._counts, self._capacity):
                parts, given = _encode(chunk, self._cloudpickle)
                if pending and not given:
                    self._settle(pending)  # default ids need the exact count before them
                offset = self.count - self._counts[shard]
                pending.append((shard, self._actor_of(shard).add.remote(shard, parts, offset)))
                self._counts[shard] += len(chunk)  # until the reply says how many were stored
        finally:
            self._settle(pending)
        return self.count - before

    def search(self, query: str) -> list[Hit]:
        """The best results over all shards, best first, ties in insertion order."""
        self._check_alive()
        self._empty.search(query)  # the engine's own argument errors
        holders = range(min(len(self._actors), len(self._counts)))
        replies = self._gather([self._actors[a].search.remote(query) for a in holders], holders)
        best = sorted(chain.from_iterable(replies), key=_rank)[: self._max_results]
        return [Hit(record_id, score, start, end) for score, _, record_id, start, end in best]

    def remove(self, record_id: int) -> bool:
        """Removes the first record, in insertion order, that carries `record_id`."""
        self._check_alive()
        self._empty.remove(record_id)  # the engine's own argument errors
        if not self._counts:
            return False
        record_id = index(record_id)
        holders = range(min(len(self._actors), len(self._counts)))
        replies = self._gather([self._actors[a].holding.remote(record_id) for a in holders], holders)
        for shard in sorted(chain.from_iterable(replies)):
            if self._gather([self._actor_of(shard).remove.remote(shard, record_id)], [shard % len(self._actors)])[0]:
                self._counts[shard] -= 1
                return True
        return False

    def reset(self) -> None:
        """Removes every record; lost actors are replaced. The settings stay."""
        for a in range(len(self._actors)):
            if a not in self._lost:
                try:
                    self._ray.get(self._actors[a].reset.remote())
                    continue
                except self._ray.exceptions.RayActorError:
                    pass
            self._ray.kill(self._actors[a])
            self._actors[a] = self._host.remote(self._settings)
        self._lost.clear()
        self._counts.clear()

    def close(self) -> None:
        """Ends the actors; the index holds nothing afterwards."""
        for actor in self._actors:
            self._ray.kill(actor)
        self._actors.clear()
        self._counts.clear()

    # --- helpers --------------------------------------------------------------

    def _actor_of(self, shard: int) -> Any:
        return self._actors[shard % len(self._actors)]

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

    def _gather(self, refs: list[Any], actors: Iterable[int]) -> list[Any]:
        """ray.get of each reference; an actor that died is noted, and reported as ShardLostError."""
        replies = []
        for ref, actor in zip(refs, actors, strict=True):
            try:
                replies.append(self._ray.get(ref))
            except self._ray.exceptions.RayActorError as error:
                self._lost.setdefault(actor, type(error).__name__)
        self._check_alive()
        return replies

    def _settle(self, pending: list[tuple[int, Any]]) -> None:
        """Takes the replies of the adds in flight; on the first error, drops the shards filled after it."""
        shards = [shard for shard, _ in pending]
        replies = self._gather([ref for _, ref in pending], [shard % len(self._actors) for shard in shards])
        pending.clear()
        for i, (count, error) in enumerate(replies):
            self._counts[shards[i]] = count
            if error is not None:
                later = shards[i + 1 :]
                for actor in {shard % len(self._actors) for shard in later}:
                    self._actors[actor].drop.remote([s for s in later if s % len(self._actors) == actor])
                del self._counts[shards[i] + 1 :]
                raise error


def _rank(hit: Hit4) -> tuple[float, int]:
    """Best score first; among equal scores, the earlier shard (each actor keeps its shards' own order)."""
    return (-hit[0], hit[1])
