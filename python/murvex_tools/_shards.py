"""What the in-process and the Ray-backed index share: where records go and how results merge.

Both keep one engine per shard and fill shards one after another, so that a
record's place in the store is (shard, place in its shard): later shards only
ever take later records, and room freed by a remove in an earlier shard is not
reused. Results of several shards then merge into exactly the list one engine
of unlimited size would give: best score first, ties in store order.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Mapping, Sequence
from itertools import chain, repeat
from operator import attrgetter, contains
from typing import Any, Protocol

import murvex

SHARD_CAPACITY = 100_000
SCORE = attrgetter("score")

# Records are looked at in parts of this many, each checked and then added
# while it is still in the CPU's cache.
PART = 4096


class Scored(Protocol):
    @property
    def score(self) -> float: ...


def check_settings(threshold: float, max_errors: int, max_results: int, shard_capacity: int) -> murvex.Murvex:
    """Validates the settings as an engine does and returns an empty engine holding them."""
    if not 1 <= shard_capacity <= SHARD_CAPACITY:
        raise ValueError(f"shard_capacity must be between 1 and {SHARD_CAPACITY}")
    return murvex.Murvex(threshold, max_errors, max_results)


def as_batch(records: Mapping[Any, Any] | Iterable[Any] | Any) -> list[Any]:
    """A list is a batch, as for one engine, and so is any other iterable but a mapping or a str."""
    if isinstance(records, list):
        return records
    if isinstance(records, (Mapping, str, bytes)) or not isinstance(records, Iterable):
        return [records]
    return list(records)


def chunks(batch: list[Any], counts: list[int], capacity: int) -> Iterator[tuple[int, list[Any]]]:
    """(shard, records) in order: each chunk fills the last shard's room; a full one is followed by a new shard.

    `counts` is the caller's list of records per shard; a new shard is appended to
    it with 0 records, and the caller updates the counts as chunks are added.
    """
    start = 0
    while start < len(batch):
        if not counts or counts[-1] >= capacity:
            counts.append(0)
        shard = len(counts) - 1
        chunk = batch[start : start + capacity - counts[shard]]
        start += len(chunk)
        yield shard, chunk


def ids_given(records: Sequence[Any]) -> bool:
    """True when no record of `records` can take a default id: every one is a plain dict with an 'id'."""
    return set(map(type, records)) <= {dict} and all(map(contains, records, repeat("id")))


def _lacks_id(record: Any) -> bool:
    if not isinstance(record, dict):
        return False  # adds nothing, whatever its id
    if type(record) is dict:
        return "id" not in record
    try:
        record["id"]  # a dict subclass's own lookup, as the engine makes it
    except MemoryError:
        raise
    except Exception:
        return True
    return False


def add_to_engine(engine: murvex.Murvex, records: list[Any], offset: int) -> None:
    """engine.add(records), where `offset` records stand before this engine's in the whole index.

    A record without an 'id' gets the whole index's count, offset + engine.count,
    as it would in one engine. Errors are the engine's own; records added before
    the failing one stay. The caller reads engine.count afterwards.
    """
    for start in range(0, len(records), PART):
        part = records[start : start + PART]
        if offset == 0 or ids_given(part):
            engine.add(part)
            continue
        for record in part:
            if _lacks_id(record):
                record = {**record, "id": offset + engine.count}
            engine.add(record)


def merge[T: Scored](per_shard: Iterable[Iterable[T]], max_results: int) -> list[T]:
    """The best `max_results` of several shards' result lists, given in shard order.

    Each list is ordered best first with ties in its shard's store order; a
    stable sort by score alone then keeps ties in shard-then-store order.
    """
    return sorted(chain.from_iterable(per_shard), key=SCORE, reverse=True)[:max_results]
