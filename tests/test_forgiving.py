"""The forgiving mode against a model written from its definition, in every form of the kernel."""

import struct

from hypothesis import given, settings
from hypothesis import strategies as st

import murvex
from murvex_tools import ShardedMurvex, _native

ALPHABET = "abcAB \u00e9xyz"


def fold(byte):
    return byte + 32 if 65 <= byte <= 90 else byte


def budget(max_errors, m):
    return 0 if m < 4 else min(max_errors, 1) if m < 6 else max_errors


def distance_table(p, t, anchored):
    """D[i][e]: edits (substitute, insert, delete, swap neighbours) from p[:i] to a stretch of t ending at e;
    anchored: the stretch starts at t's start, else anywhere."""
    D = [[0] * (len(t) + 1) for _ in range(len(p) + 1)]
    for i in range(len(p) + 1):
        for e in range(len(t) + 1):
            if i == 0:
                D[i][e] = e if anchored else 0
                continue
            if e == 0:
                D[i][e] = i
                continue
            d = min(D[i - 1][e] + 1, D[i][e - 1] + 1, D[i - 1][e - 1] + (p[i - 1] != t[e - 1]))
            if i >= 2 and e >= 2 and p[i - 1] == t[e - 2] and p[i - 2] == t[e - 1]:
                d = min(d, D[i - 2][e - 2] + 1)
            D[i][e] = d
    return D


def forgiving_search(records, query, threshold, max_errors, max_results):
    """What the forgiving mode returns, by its definition."""
    pattern = bytes(fold(b) for b in query.encode()[:32])
    m = len(pattern)
    if not m:
        return []
    k = budget(max_errors, m)
    classes = {b % 64 for b in pattern}
    hits = []
    for record_id, text in records:
        raw = bytes(fold(b) for b in text.encode())
        if not raw or len(classes - {b % 64 for b in raw}) > k:
            continue
        row = distance_table(pattern, raw, anchored=False)[m]
        best = min(range(1, len(raw) + 1), key=lambda e: (row[e], e))
        errors = row[best]
        if errors > k:
            continue
        start = max(s for s in range(best + 1) if distance_table(pattern, raw[s:best], anchored=True)[m][-1] == errors)
        bonus = 50 if best <= m else 25 if best < m + 10 else 0
        milli = min(1000, 1000 - 250 * errors + bonus)
        if milli >= threshold:
            hits.append((record_id, milli, start, best))
    hits.sort(key=lambda hit: -hit[1])
    f32 = lambda milli: struct.unpack("f", struct.pack("f", milli / 1000))[0]
    return [(i, f32(milli), start, end) for i, milli, start, end in hits[:max_results]]


texts = st.text(alphabet=ALPHABET, max_size=20)


@settings(max_examples=settings.default.max_examples // 2)
@given(
    stored=st.lists(st.tuples(st.integers(0, 9), texts), max_size=10),
    query=st.text(alphabet=ALPHABET, min_size=1, max_size=12),
    config=st.tuples(st.sampled_from([0, 250, 500, 750]), st.integers(0, 3), st.integers(1, 12)),
    workers=st.integers(1, 3),
)
def test_every_form_finds_what_the_definition_finds(stored, query, config, workers):
    threshold, max_errors, max_results = config
    expected = forgiving_search(stored, query, threshold, max_errors, max_results)
    for kernel in _native.kernels():
        index = ShardedMurvex(threshold / 1000, max_errors, max_results, workers=workers, kernel=kernel, forgiving=True)
        index.add([{"id": i, "t": t} for i, t in stored])
        assert [tuple(h) for h in index.search(query)] == expected, kernel


def test_the_strict_mode_of_the_index_is_the_engines():
    records = [{"id": i, "t": t} for i, t in enumerate(["United Kingdom", "definitely", "rhythm", "xbcd abcd"])]
    engine = murvex.Murvex()
    engine.add(records)
    index = ShardedMurvex(forgiving=True)
    index.add(records)
    index.forgiving = False
    for query in ["Untied Kingdom", "definately", "rythm", "xbcd", "abcd"]:
        assert [tuple(h) for h in index.search(query)] == [
            (r.id, r.score, r.start, r.end) for r in engine.search(query)
        ]
    index.forgiving = True
    assert [tuple(h)[:2] for h in index.search("Untied Kingdom")] == [(0, 0.800000011920929)]


def test_a_record_lacking_as_many_of_the_query_s_byte_classes_as_edits_are_allowed_is_searched():
    """The pre-filter skips a record only when it lacks more of the query's byte classes than the budget."""
    for kernel in _native.kernels():
        for max_errors in (1, 2, 3):
            index = ShardedMurvex(max_errors=max_errors, kernel=kernel, forgiving=True)
            index.add_texts(["zz abxd zz", "zz axyd zz", "zz xxyd zz", "zz xyzw zz"])  # lacking 1, 2, 3, 4
            found = sorted(hit.id for hit in index.search("abcd"))
            assert found == [0], (kernel, max_errors)  # a 4-byte query's budget is at most 1
    index = ShardedMurvex(max_errors=3, forgiving=True)
    index.add_texts(["zz abcxyz zz", "zz axyzef zz", "zz xxxxxf zz"])  # lacking 3, 3, 5 of abcdef's classes
    assert sorted(hit.id for hit in index.search("abcdef", threshold=0)) == [0, 1]
