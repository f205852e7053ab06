"""The forgiving and words modes against a model written from their definition, in every form of the kernel."""

import itertools
import re
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


def is_word(byte):
    return byte >= 0x80 or 48 <= byte <= 57 or 97 <= fold(byte) <= 122


def typo_cost(a, b):
    """Tenths, in characters (each byte that is not UTF-8 one of its own): a letter of b left out of a 8 (5
    doubling the one before), one too many 10 (5 doubling), a vowel for a vowel 8, another substitution 10, a
    swap 7; at most 1023."""
    vowels = set("aeiouy")
    a, b = a.decode("utf-8", "surrogateescape"), b.decode("utf-8", "surrogateescape")
    C = [[0] * (len(b) + 1) for _ in range(len(a) + 1)]
    for i in range(len(a) + 1):
        for j in range(len(b) + 1):
            options = []
            if i:
                options.append(C[i - 1][j] + (5 if i >= 2 and a[i - 1] == a[i - 2] else 10))
            if j:
                options.append(C[i][j - 1] + (5 if j >= 2 and b[j - 1] == b[j - 2] else 8))
            if i and j:
                x, y = a[i - 1], b[j - 1]
                options.append(C[i - 1][j - 1] + (0 if x == y else 8 if x in vowels and y in vowels else 10))
            if i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                options.append(C[i - 2][j - 2] + 7)
            C[i][j] = min(options, default=0)
    return min(C[-1][-1], 1023)


def word_fit(pattern, raw, k):
    """A query word's best match in a record by the definition: (errors, start, end, covering distance,
    starts inside a word, cover start, cover end), or None."""
    m = len(pattern)
    row = distance_table(pattern, raw, anchored=False)[m]
    end = min(range(1, len(raw) + 1), key=lambda e: (row[e], e))
    errors = row[end]
    if errors > k:
        return None
    start = max(s for s in range(end + 1) if distance_table(pattern, raw[s:end], anchored=True)[m][-1] == errors)
    cover_start, cover_end = start, end
    while is_word(raw[start]) and cover_start > 0 and is_word(raw[cover_start - 1]):
        cover_start -= 1
    while is_word(raw[end - 1]) and cover_end < len(raw) and is_word(raw[cover_end]):
        cover_end += 1
    distance = min(10, distance_table(pattern, raw[cover_start:cover_end], anchored=True)[m][-1])
    inside = start > 0 and is_word(raw[start - 1])
    cost = 1023 if distance == 10 else typo_cost(pattern, raw[cover_start:cover_end])
    return errors, start, end, distance, inside, cover_start, cover_end, cost


def forgiving_search(records, query, threshold, max_errors, max_results, *, words=False):
    """What the forgiving mode (or the words mode) returns, by its definition: hits with their spans. Records
    and query are str, or bytes as they stand in the lanes."""
    encoded = query if isinstance(query, bytes) else query.encode()
    parts = [w for w in re.split(rb"[ \t\n\v\f\r]+", encoded) if w][:16] if words else [encoded] * bool(encoded)
    patterns = [bytes(fold(b) for b in part[:32]) for part in parts]
    n = len(patterns)
    ranked = []
    for place, (record_id, text) in enumerate(records):
        original = text if isinstance(text, bytes) else text.encode()
        raw = bytes(fold(b) for b in original)
        fits = []
        for pattern in patterns:
            k = min(max_errors, 1) if len(pattern) == 3 else budget(max_errors, len(pattern))  # one edit from 3 bytes
            found = word_fit(pattern, raw, k) if raw else None
            if found is None:
                break
            fits.append(found)
        if not fits:
            continue
        distance = sum(f[3] for f in fits)
        errors = sum(f[0] for f in fits)
        inside = sum(f[4] for f in fits)
        disorder = any(b[1] < a[1] for a, b in itertools.pairwise(fits))
        covers = [range(f[5], f[6]) for f in fits]
        low, high = min(f[5] for f in fits), max(f[6] for f in fits)
        between = (
            0 if len(fits) == 1 else sum(is_word(raw[p]) and not any(p in c for c in covers) for p in range(low, high))
        )
        between = min(between, 127)
        if n == 1:
            penalty = min(1000, 100 * distance + 25 * errors + 10 * inside)
        else:
            penalty = min(100 * distance + 40 * (between > 0) + 20 * disorder, -(-1000 // n) - 1)
        milli = len(fits) * (1000 - penalty) // n
        if milli < threshold:
            continue
        cost = sum(f[7] for f in fits)
        letter = lambda byte: 97 <= fold(byte) <= 122
        case_differs = sum(
            f[3] < 10 and letter(original[f[5]]) and letter(part[0]) and (original[f[5]] < 97) != (part[0] < 97)
            for f, part in zip(fits, parts, strict=False)  # the words held: the first of the parts
        )
        key = (
            n - len(fits),
            distance,
            between > 0,
            disorder,
            between,
            errors,
            inside,
            case_differs,
            cost,
            len(raw),
            place,
        )
        spans = tuple((f[1], f[2]) for f in fits) + (None,) * (n - len(fits))
        hit = (record_id, milli, min(f[1] for f in fits), max(f[2] for f in fits))
        ranked.append((key, hit, spans))
    ranked.sort(key=lambda r: r[0])
    f32 = lambda milli: struct.unpack("f", struct.pack("f", milli / 1000))[0]
    return [((i, f32(milli), start, end), spans) for _, (i, milli, start, end), spans in ranked[:max_results]]


texts = st.text(alphabet=ALPHABET, max_size=20)


@settings(max_examples=settings.default.max_examples // 2)
@given(
    stored=st.lists(st.tuples(st.integers(0, 9), texts), max_size=10),
    query=st.text(alphabet=ALPHABET, min_size=1, max_size=12),
    config=st.tuples(st.sampled_from([0, 250, 500, 750]), st.integers(0, 3), st.integers(1, 12)),
    workers=st.integers(1, 3),
    words=st.booleans(),
    capacity=st.sampled_from([1, 3, 100000]),
)
def test_every_form_finds_what_the_definition_finds(stored, query, config, workers, words, capacity):  # noqa: PLR0917
    threshold, max_errors, max_results = config
    expected = forgiving_search(stored, query, threshold, max_errors, max_results, words=words)
    for kernel in _native.kernels():
        index = ShardedMurvex(
            threshold / 1000, max_errors, max_results, workers=workers, kernel=kernel, shard_capacity=capacity
        )
        index.add([{"id": i, "t": t} for i, t in stored])
        hits = index.search(query, forgiving=True, words=words)
        assert [tuple(h) for h in hits] == [hit for hit, _ in expected], kernel
        if words:
            assert [h.spans for h in hits] == [spans for _, spans in expected], kernel
        elif hits:
            assert {h.spans for h in hits} == {((h.start, h.end),) for h in hits}


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
    assert [tuple(h)[:2] for h in index.search("Untied Kingdom")] == [(0, 0.875)]  # one swap: 1000 - 100 - 25


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
