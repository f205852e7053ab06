"""The Ray actor of RayMurvex: an index of some of its shards, searched on every core of its machine."""

from __future__ import annotations

import secrets

from murvex_tools._native import Hit, Index
from murvex_tools._process import resident_bytes


class WrongActorError(RuntimeError):
    """The actor called is not the one that holds the shards: Ray restarted it, empty."""


class ShardHost:
    """Shards a, a + n, a + 2n, ... of a RayMurvex of n actors, as shards 0, 1, 2, ... of one index.

    Every call names the token of the actor the client placed; an actor Ray
    restarted has a new one and refuses, so that a call never reads or changes
    an actor that lost its records.
    """

    def __init__(
        self,
        threshold: float,
        max_errors: int,
        max_results: int,
        shard_capacity: int,
        *,
        forgiving: bool = False,
        words: bool = False,
    ) -> None:
        self._index = Index(
            threshold, max_errors, max_results, shard_capacity=shard_capacity, forgiving=forgiving, words=words
        )
        self._token = secrets.token_hex(16)

    def token(self) -> str:
        return self._token

    def _check(self, token: str) -> Index:
        if token != self._token:
            raise WrongActorError("this actor was restarted and holds none of the records it was given")
        return self._index

    def add(
        self, token: str, data: bytes, lengths: bytes, ids: bytes, new_shard: bool
    ) -> tuple[int, BaseException | None]:
        """Adds records in wire form; how many were added, and the error that ended the add, if any."""
        index = self._check(token)
        before = index.count
        try:
            index._add_encoded(data, lengths, ids, new_shard=new_shard)
        except MemoryError as error:
            return index.count - before, error
        return index.count - before, None

    def ranked(self, token: str, query: str, words: bool | None = None) -> list[tuple[int, int, Hit]]:
        return self._check(token).ranked(query, words=words)

    def holding(self, token: str, record_id: int) -> list[int]:
        return self._check(token).shards_holding(record_id)

    def remove(self, token: str, record_id: int, shard: int) -> bool:
        return self._check(token).remove(record_id, shard=shard)

    def truncate(self, token: str, shards: int) -> None:
        self._check(token)._truncate(shards)

    def configure(self, token: str, name: str, value: float | bool) -> None:
        setattr(self._check(token), name, value)

    def reset(self, token: str) -> None:
        self._check(token).reset()

    def memory(self, token: str) -> int:
        """This actor's resident memory in bytes."""
        self._check(token)
        return resident_bytes()
