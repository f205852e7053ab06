"""Murvex: High-performance fuzzy search engine"""

from collections.abc import Mapping
from typing import Any, final

__all__ = ["Murvex", "SearchResult"]

@final
class _WriteOnly:
    """What reading a write-only setting gives a type checker: nothing usable (at run time, AttributeError)."""

@final
class Murvex:
    """High-performance fuzzy search engine"""

    def __new__(cls, threshold: float = 0.25, max_errors: int = 2, max_results: int = 50) -> Murvex: ...
    def add(self, records: Mapping[Any, Any] | list[Any]) -> int:
        """Add a single record or list of records"""
    def search(self, query: str) -> list[SearchResult]:
        """Search for matching records"""
    def remove(self, id: int) -> bool:
        """Remove a record by ID"""
    def reset(self) -> None:
        """Clear all records"""
    @property
    def count(self) -> int:
        """Get number of records"""
    # The settings are write-only: reading one raises AttributeError, so a
    # checker sees a value of no use. (NoReturn would hide the code after it.)
    @property
    def threshold(self) -> _WriteOnly:
        """Set threshold"""
    @threshold.setter
    def threshold(self, value: float) -> None: ...
    @property
    def max_errors(self) -> _WriteOnly:
        """Set max errors"""
    @max_errors.setter
    def max_errors(self, value: int) -> None: ...
    @property
    def max_results(self) -> _WriteOnly:
        """Set max results"""
    @max_results.setter
    def max_results(self, value: int) -> None: ...

@final
class SearchResult:
    """A single search result"""

    # Made only by Murvex.search; calling the class raises TypeError. The
    # stub declares no constructor of its own: one typed NoReturn would make
    # checkers skip every line after a call.
    @property
    def id(self) -> int: ...
    @property
    def score(self) -> float: ...
    @property
    def start(self) -> int: ...
    @property
    def end(self) -> int: ...
