"""What the Python layer's indexes share: what add() takes as one batch, the types of their arguments and
settings, and for RayMurvex where records go and how its shards' results merge.

Shards fill one after another: a record's place in the index is (shard,
place in its shard), later shards only ever take later records, and room freed
by a remove in an earlier shard is not reused. Results of several shards then
merge into exactly the list one engine of unlimited size would give: best
score first, ties in index order.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Mapping, Sequence
from operator import itemgetter
from typing import Any, Generic, Protocol, SupportsIndex, TypedDict, TypeVar, overload

from murvex_tools._native import Hit, Index

SHARD_CAPACITY = 100_000

_Item_co = TypeVar("_Item_co", covariant=True)
_Value = TypeVar("_Value")


class SearchOptions(TypedDict, total=False):
    """What one search may bring of its own (None: the index's): its threads, and its settings."""

    workers: int | None
    threshold: float | None
    max_errors: int | None
    max_results: int | None
    forgiving: bool | None
    words: bool | None


class Configured(Protocol):
    """An index whose settings live in a compiled Index and change through _configure() (RayMurvex)."""

    _settings: Index

    def _configure(self, name: str, value: Any) -> None: ...


class Setting(Generic[_Value]):
    """A setting of a Configured index: read as its Index holds it, set through _configure() (which lets the
    Index validate it), documented as the Index documents it."""

    def __set_name__(self, owner: type, name: str) -> None:
        self.name = name
        self.__doc__ = getattr(Index, name).__doc__

    @overload
    def __get__(self, index: None, owner: type) -> Setting[_Value]: ...
    @overload
    def __get__(self, index: Configured, owner: type) -> _Value: ...
    def __get__(self, index: Configured | None, owner: type) -> Setting[_Value] | _Value:
        if index is None:
            return self
        value: _Value = getattr(index._settings, self.name)
        return value

    def __set__(self, index: Configured, value: _Value) -> None:
        index._configure(self.name, value)


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


def merge(replies: Sequence[Iterable[tuple[int, int, Hit]]], max_results: int) -> list[Hit]:
    """The best `max_results` of several holders' ranked results: reply a holds shards a, a + n, a + 2n, ...

    Each reply lists (its own shard number, rank, hit), best first, ties in
    its order. A stable sort by rank and index-wide shard keeps ties in index
    order, since one shard's hits all come from one reply, in its order.
    """
    n = len(replies)
    ranked = [((rank, holder + shard * n), hit) for holder, reply in enumerate(replies) for shard, rank, hit in reply]
    ranked.sort(key=itemgetter(0))
    return [hit for _, hit in ranked[:max_results]]
