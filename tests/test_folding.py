"""Unicode folding: the table against Python's unicodedata for every code point, and the searches of an index
that folds against the forgiving model run over the folded texts, with spans taken back to the records' own."""

import importlib.util
import sys
import unicodedata
from pathlib import Path

from hypothesis import given, settings
from hypothesis import strategies as st
from test_forgiving import forgiving_search

from murvex_tools import ShardedMurvex, _native, fold

# The table's maker, for the letters written as one byte in the lanes.
_spec = importlib.util.spec_from_file_location(
    "make_fold_table", Path(__file__).resolve().parent.parent / "scripts" / "make-fold-table.py"
)
table_maker = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(table_maker)


def python_fold(char):
    """A character's fold: casefold, NFKD, no combining marks, until nothing changes; ASCII as it is."""
    if char.isascii():
        return char
    text = char
    while True:
        folded = "".join(c for c in unicodedata.normalize("NFKD", text.casefold()) if not unicodedata.combining(c))
        if folded == text:
            return folded
        text = folded


def test_every_code_point_folds_as_python_folds_it():
    assert unicodedata.unidata_version == _native.UNICODE_VERSION
    wrong = [
        hex(cp)
        for cp in range(sys.maxunicode + 1)
        if not 0xD800 <= cp < 0xE000 and fold(chr(cp)) != python_fold(chr(cp))
    ]
    assert wrong == []
    assert fold("Île-de-France, Straße, ﬁne, Αθήνα") == "ile-de-France, Strasse, fine, αθηνα"
    with __import__("pytest").raises(TypeError):
        fold(b"bytes")


def folded_with_places(text):
    """The folded text as the lanes hold it, and for each of its bytes the original (start, end) in bytes of the
    character it comes from, that end past the marks that fold to nothing after it."""
    out, places, at = b"", [], 0
    for char in text:
        raw, folded = char.encode(), table_maker.lane_form(python_fold(char))
        if not folded and places and places[-1][1] == at:
            end = at + len(raw)
            places = [(s, end if e == at else e) for s, e in places]
        out += folded
        places += [(at, at + len(raw))] * len(folded)
        at += len(raw)
    return out, places


ALPHABET = "abzAB -\u00e9\u00c9\u00df\ufb01\u03a9\u03c9\u03ac\u042f\u044f\u0301\ud55c"
texts = st.text(alphabet=ALPHABET, max_size=16)


@settings(max_examples=settings.default.max_examples // 2, deadline=None)
@given(
    stored=st.lists(texts, max_size=10),
    query=st.text(alphabet=ALPHABET, min_size=1, max_size=10),
    words=st.booleans(),
    workers=st.integers(1, 3),
)
def test_an_index_that_folds_finds_what_the_model_finds_in_the_folded_texts(stored, query, words, workers):
    folded = [folded_with_places(t) for t in stored]
    lane_query = b"".join(folded_with_places(c)[0] for c in query)
    expected = forgiving_search([(i, f) for i, (f, _) in enumerate(folded)], lane_query, 0, 2, 10, words=words)

    def back(i, span):
        if span is None:
            return None
        places = folded[i][1]
        return (places[span[0]][0] if span[0] < len(places) else len(stored[i].encode()), places[span[1] - 1][1])

    for kernel in _native.kernels():
        index = ShardedMurvex(0, 2, 10, workers=workers, kernel=kernel, forgiving=True, words=words)
        assert index.folds
        index.add_texts(stored)
        hits = index.search(query)
        assert [(h.id, h.score) for h in hits] == [(hit[0], hit[1]) for hit, _ in expected], kernel
        for h, (hit, spans) in zip(hits, expected, strict=True):
            assert (h.start, h.end) == back(h.id, (hit[2], hit[3])), kernel
            if words:
                assert h.spans == tuple(back(h.id, s) for s in spans), kernel


def test_only_an_index_made_forgiving_or_words_folds_and_it_stays_so(tmp_path):
    texts = ["Straße", "München", "strasse", "Αθήνα"]
    strict = ShardedMurvex(workers=1)
    strict.add_texts(texts)
    assert not strict.folds
    assert strict.search("ΑΘΗΝΑ", forgiving=True) == []  # its texts are as they were added
    made = ShardedMurvex(workers=1, words=True)
    made.add_texts(texts)
    assert [h.id for h in made.search("STRASSE")] == [0, 2]
    assert [h.id for h in made.search("ΑΘΗΝΑ")] == [3]
    made.words = False
    assert [h.id for h in made.search("Straße")] == [0]  # strict: the texts as they are, not folded
    assert [h[:4] for h in made.search("Munchen", forgiving=True)] == [(1, 1.0, 0, 8)]
    made.save(tmp_path / "folds.murvex")
    loaded = ShardedMurvex.load(tmp_path / "folds.murvex")
    assert loaded.folds
    assert loaded.records([0, 1]) == [(0, "Straße"), (1, "München")]
    assert [h.id for h in loaded.search("strase", forgiving=True)] == [2, 0]  # the case of the first letter ties


# Values of every width a str keeps (ASCII, Latin-1, UCS-2, UCS-4), a lone surrogate among them.
values = st.one_of(
    st.text(alphabet="ab -\u00e9\u00df\u03c9\u03ac\u042f\u0301\U0001f600\ud800", max_size=12),
    st.integers(0, 9),
)


@settings(max_examples=settings.default.max_examples // 2, deadline=None)
@given(records=st.lists(st.dictionaries(st.sampled_from(["a", "b", "c"]), values, max_size=3), max_size=8))
def test_dicts_fold_as_their_joined_texts_do(records):
    def joined(record):
        strs = [v for v in record.values() if isinstance(v, str) and "\ud800" not in v]
        return " ".join(strs) if strs else None

    texts = [(i, t) for i, t in enumerate(map(joined, records)) if t is not None]
    plain = ShardedMurvex(0, 2, 10, workers=1, words=True)
    plain.add_texts([t for _, t in texts], ids=[i for i, _ in texts])
    for one_by_one in (False, True):
        index = ShardedMurvex(0, 2, 10, workers=1, words=True)
        batch = [dict(r, id=i) for i, r in enumerate(records)]
        added = sum(index.add(r) for r in batch) if one_by_one else index.add(batch)
        assert added == len(texts)
        assert index.records(range(len(texts))) == texts
        for query in ("ETE", "\u03a9\u0391", "ss", "\U0001f600"):
            assert [(h, h.spans) for h in index.search(query)] == [(h, h.spans) for h in plain.search(query)]


def test_add_texts_folds_every_width_and_leaves_out_lone_surrogates_as_an_index_that_does_not_fold():
    texts = ["plain", "\u00e9t\u00e9", "\u03a9\u03bc\u03ad\u03b3\u03b1", "\U0001f600 \u00c9", "a\ud800b"] * 900
    made = {}
    for folds in (False, True):
        for workers in (1, 2):
            index = ShardedMurvex(workers=workers, words=folds)
            added = index.add_texts(texts)
            made[folds, workers] = (added, tuple(index.records(range(index.count))))
    assert len(set(made.values())) == 1
    index = ShardedMurvex(workers=2, words=True)
    index.add_texts(texts[:-1])  # no surrogate: read on the workers, folded as read
    assert index.records(range(4)) == list(enumerate(texts[:4]))
    assert [h.id for h in index.search("OMEGA")] == []
    assert index.search("\u03c9\u03bc\u03b5\u03b3\u03b1")[0].id == 2
