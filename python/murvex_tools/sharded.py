"""Any number of records in one process, searched on every core."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from os import PathLike
from typing import TYPE_CHECKING, Any

from murvex_tools._batches import SearchOptions, SequenceNotStr, as_batch
from murvex_tools._native import Index, load
from murvex_tools.tables import Kind, results_table

if TYPE_CHECKING:  # in annotations only: Python 3.10's typing has neither (type checkers know typing_extensions)
    from typing_extensions import Self, Unpack

SAVED_MAGIC = b"MURVEXIX"  # the first bytes of a file that save() writes


class ShardedMurvex(Index):
    """Any number of records in engines ("shards") of up to 100,000, searched as one.

    Results equal those of one engine of unlimited size: the same scores, best
    first, ties in insertion order, at most `max_results`; a record without an
    'id' gets the total count. A search runs without holding the interpreter
    lock, on `workers` threads (None: every CPU this process may use; 1: the
    calling thread alone), so other Python threads run meanwhile; one search
    of a small index (at most 1,000 records in 256 KiB) runs on the calling
    thread with the lock held, which costs less than letting it go. Changes
    from other threads wait for running searches. `kernel` chooses a form of the
    search kernel by name (see murvex_tools._native.kernels()); every form
    gives the same results. Every method and setting is the compiled Index's
    (murvex_tools._native); this class adds what the Python layer does:
    iterables for add(), tables of results, and load() making this class.

    With `forgiving`, matching forgives what murvex.Murvex does not: a swap of
    two neighbouring letters is one edit, the first letter may be wrong, and a
    record lacking a letter of the query can still match (the pre-filter
    skips a record only when it lacks more of the query's bytes than edits
    are allowed), a 3-byte query gets one edit; `start` is where the closest
    stretch begins. Records rank by the words of their text that cover the
    match (a word: a run of letters, digits and non-ASCII bytes): their
    distance from the query (optimal string alignment, capped at 10), then
    the match's errors, then a match that starts a word, then a cover that
    starts in the query's case, then a typo cost weighing the misspellings
    people make, then the shorter record, then insertion order;
    the score is 1 - (100 distance + 25 errors + 10 if it starts inside a
    word) / 1000, at least 0, and `threshold` applies to it.

    With `words`, each whitespace-separated word of the query (up to 16) is
    matched on its own with the forgiving rules, its own budget by its length,
    anywhere in the record. Records holding every word come first, ranked by
    the sum of the words' distances, then whether other words stand between
    them, then whether they stand in another order (the phrase itself
    first), then the shorter record; when fewer than `max_results` hold them
    all, records holding all but the last word follow, then all but the last
    two, and so on. A hit's `spans` gives each query word's (start, end)
    (None where the record does not hold it), and start..end covers them.
    With n words of which h are held, the score is h/n of 1 - penalty/1000,
    penalty = 100 distance + 40 if words stand between + 20 if out of order,
    at most ceil(1000/n) - 1: a record holding more words scores higher. One
    word gives exactly the forgiving mode's results.

    An index made with `forgiving` or `words` folds (its `folds` is True): it
    keeps each text with every character casefolded, decomposed (NFKD) and
    without combining marks (see fold()), and its forgiving and words
    searches fold the query alike, so 'munchen' finds 'München', 'strasse'
    'Straße' and 'αθηνα' 'Αθήνα'. Starts, ends and spans are byte offsets
    into each record's own text, on whole characters. Its strict searches
    match the texts as they are, as any index's do (each record that folding
    changed is then matched on its own, more slowly); an index made strict
    never folds, whatever a search asks.
    """

    def __repr__(self) -> str:
        return f"{type(self).__name__}(records={self.count}, shards={self.shards})"

    def add(self, records: Mapping[Any, Any] | Iterable[Any], *, new_shard: bool = False) -> int:
        """Adds one record, or every record of a list or other iterable; returns how many were added.

        As in one engine, an error ends the call and the records added before the
        failing one stay.
        """
        return super().add(as_batch(records), new_shard=new_shard)

    def search_frame(self, queries: SequenceNotStr[str], *, as_: Kind = "pyarrow", **own: Unpack[SearchOptions]) -> Any:
        """search_many(queries, **own) as one table (pyarrow, polars or pandas): a row per hit, with
        the query, its position in `queries` (query_index), the hit's rank (0 for the best), id,
        score, start and end."""
        return results_table(queries, self.search_many(queries, **own), as_)

    @classmethod
    def load(
        cls, path: str | PathLike[str], *, workers: int | None = None, kernel: str = "automatic", mapped: bool = False
    ) -> Self:
        """The index a file written by save() holds; search results equal those before saving, ties included.

        OSError when the file cannot be read; ValueError naming the file and
        the problem when it is not a whole saved index (truncated, corrupted,
        foreign, or of another format version). Nothing is half loaded.

        With mapped=True the records' lanes (most of the file) are not copied
        into memory: the file is mapped copy-on-write and read where it lies,
        which loads faster and shares the pages with the system's file cache.
        The index then depends on the file: adding and removing records never
        write to it, and save() over the same path replaces it safely (Windows
        refuses that while the file is mapped: OSError), but a program that
        writes into the file in place changes what the index reads, and one
        that cuts it short ends this process (SIGBUS).
        Whatever reads the records (a search, records(), save()) of an index
        whose file was written since the load raises ValueError: load it again.
        """
        return load(cls, path, workers=workers, kernel=kernel, mapped=mapped)
