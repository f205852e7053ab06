"""The compiled part of murvex_tools: a sharded index whose searches release the interpreter lock."""

from collections.abc import Iterable, Iterator, Mapping, Sequence
from os import PathLike
from typing import Any, Final, Self, final

from murvex_tools._batches import SequenceNotStr

@final
class Hit(tuple[int, float, int, int]):
    """One search result: the record's id, the score, and the matched byte span start..end."""

    n_fields: Final[int]
    n_sequence_fields: Final[int]
    n_unnamed_fields: Final[int]
    def __new__(cls, sequence: Sequence[Any], dict: dict[str, Any] = ...) -> Hit: ...
    @property
    def id(self) -> int: ...
    @property
    def score(self) -> float: ...
    @property
    def start(self) -> int: ...
    @property
    def end(self) -> int: ...

class Index:
    def __new__(
        cls,
        threshold: float = 0.25,
        max_errors: int = 2,
        max_results: int = 50,
        *,
        shard_capacity: int = 100000,
        workers: int | None = None,
        kernel: str = "automatic",
        forgiving: bool = False,
    ) -> Self: ...
    def add(self, records: Mapping[Any, Any] | Iterable[Any], *, new_shard: bool = False) -> int: ...
    def search(
        self,
        query: str,
        *,
        workers: int | None = None,
        threshold: float | None = None,
        max_errors: int | None = None,
        max_results: int | None = None,
        forgiving: bool | None = None,
    ) -> list[Hit]: ...
    def search_many(
        self,
        queries: SequenceNotStr[str],
        *,
        workers: int | None = None,
        threshold: float | None = None,
        max_errors: int | None = None,
        max_results: int | None = None,
        forgiving: bool | None = None,
    ) -> list[list[Hit]]: ...
    def matching_ids(
        self,
        query: str,
        *,
        workers: int | None = None,
        threshold: float | None = None,
        max_errors: int | None = None,
        max_results: int | None = None,
        forgiving: bool | None = None,
    ) -> list[int]: ...
    def ranked(
        self,
        query: str,
        *,
        workers: int | None = None,
        threshold: float | None = None,
        max_errors: int | None = None,
        max_results: int | None = None,
        forgiving: bool | None = None,
    ) -> list[tuple[int, Hit]]: ...
    def remove(self, id: int, *, shard: int | None = None) -> bool: ...
    def shards_holding(self, id: int) -> list[int]: ...
    def records(self, positions: Sequence[int]) -> list[tuple[int, str]]: ...
    def reset(self) -> None: ...
    def add_texts(self, texts: SequenceNotStr[str] | Iterator[str], ids: Sequence[int] | None = None) -> int: ...
    def add_frame(
        self,
        frame: object,
        columns: str | Sequence[str] | None = None,
        id_column: str | None = None,
        *,
        row_ids: bool = False,
    ) -> int: ...
    def save(self, path: str | PathLike[str]) -> None: ...
    def _add_encoded(self, data: bytes, lengths: bytes, ids: bytes, *, new_shard: bool = False) -> int: ...
    def _truncate(self, shards: int) -> None: ...
    @property
    def count(self) -> int: ...
    @property
    def shards(self) -> int: ...
    @property
    def shard_capacity(self) -> int: ...
    @property
    def kernel(self) -> str: ...
    @property
    def workers(self) -> int: ...
    @workers.setter
    def workers(self, value: int | None) -> None: ...  # None: every CPU this process may use
    threshold: float
    max_errors: int
    max_results: int
    forgiving: bool
    metadata: bytes

def kernels() -> list[str]: ...
def usable_cpus() -> int: ...
def encode_records(records: object, first_id: int) -> tuple[bytes, bytes, bytes, BaseException | None]: ...
def frame_texts(frame: object, columns: str | Sequence[str] | None = None) -> list[str | None]: ...
def json_lines(
    block: bytes, first_line: int, first_id: int, fields: Sequence[str] | None
) -> tuple[list[int], list[str], list[int], list[str], bool] | None: ...
def load[T: Index](
    type: type[T], path: str | PathLike[str], workers: int | None = None, kernel: str = "automatic"
) -> T: ...
def _shutdown() -> None: ...
