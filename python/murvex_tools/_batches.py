"""What the in-process and the Ray-backed index share: batches, where their records go, and one merge.

Shards fill one after another: a record's place in the index is (shard,
place in its shard), later shards only ever take later records, and room freed
by a remove in an earlier shard is not reused. Results of several shards then
merge into exactly the list one engine of unlimited size would give: best
score first, ties in index order.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Mapping, Sequence
from operator import itemgetter
from typing import Any, Protocol, SupportsIndex, TypeVar, overload

from murvex_tools._native import Hit

SHARD_CAPACITY = 100_000

_Item_co = TypeVar("_Item_co", covariant=True)


class SequenceNotStr(Protocol[_Item_co]):
    """A sequence, but not a str: a str is a sequence of one-letter strs, and a list of texts or queries that
    is a str by mistake would otherwise type-check. (A str's __contains__ takes only a str, this one's any
    object, so a type checker tells them apart.)"""

    @overload
    def __getitem__(self, index: SupportsIndex, /) -> _Item_co: ...
    @overload
    def __getitem__(self, index: slice, /) -> Sequence[_Item_co]: ...
    def __contains__(self, value: object, /) -> bool: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[_Item_co]: ...
    def index(self, value: Any, start: int = 0, stop: int = ..., /) -> int: ...
    def count(self, value: Any, /) -> int: ...
    def __reversed__(self) -> Iterator[_Item_co]: ...


def as_batch(records: Mapping[Any, Any] | Iterable[Any] | Any) -> Any:
    """A list is a batch, as for one engine, and so is any other iterable but a mapping, a str or bytes.

    Only the top level is a batch: its items are taken as one engine takes
    them (a list among them adds nothing).
    """
    if isinstance(records, (list, Mapping, str, bytes)) or not isinstance(records, Iterable):
        return records
    return list(records)


def chunks(total: int, counts: Sequence[int], capacity: int) -> Iterator[tuple[int, int, int]]:
    """(shard, first, end) for `total` new records in order, given the records per shard so far.

    Each chunk fills the last shard's room; a full shard is followed by a new one.
    """
    shard = len(counts) - 1
    room = capacity - counts[-1] if counts else 0
    first = 0
    while first < total:
        if room == 0:
            shard, room = shard + 1, capacity
        end = min(total, first + room)
        yield shard, first, end
        room -= end - first
        first = end


def merge(replies: Sequence[Iterable[tuple[int, Hit]]], max_results: int) -> list[Hit]:
    """The best `max_results` of several holders' ranked results: reply a holds shards a, a + n, a + 2n, ...

    Each reply lists (its own shard number, hit), best first, ties in its
    order. A stable sort by score and index-wide shard keeps ties in index
    order, since one shard's hits all come from one reply, in its order.
    """
    n = len(replies)
    ranked = [((-hit.score, holder + shard * n), hit) for holder, reply in enumerate(replies) for shard, hit in reply]
    ranked.sort(key=itemgetter(0))
    return [hit for _, hit in ranked[:max_results]]
