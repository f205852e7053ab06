"""murvex against a small pure-Python model of ingestion and search."""

import contextlib
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import murvex
from conftest import outcome

LIMIT_IDS = 2**32
ALPHABET = "abcdAB \u00e9\u00c9!"


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


# --- the model ----------------------------------------------------------------


def fold(b):
    return b + 32 if 65 <= b <= 90 else b


def char_mask(data):
    mask = 0
    for b in data:
        mask |= 1 << (fold(b) & 63)
    return mask


def budget(max_errors, m):
    return 0 if m < 4 else min(max_errors, 1) if m < 6 else max_errors


def best_match(pattern, k, text):
    """The matcher as first written: one byte at a time, every level."""
    m = len(pattern)
    masks = [0] * 256
    for i, b in enumerate(pattern):
        masks[fold(b)] |= 1 << i
    full, accept = (1 << m) - 1, 1 << (m - 1)
    R = [0] * (k + 1)
    best = None
    for pos, b in enumerate(text, 1):
        B = masks[fold(b)]
        old = R[0]
        R[0] = ((R[0] << 1) | 1) & B & full
        for j in range(1, k + 1):
            cur = R[j]
            R[j] = ((((cur << 1) | 1) & B) | ((old | R[j - 1]) << 1) | old) & full
            old = cur
        for j in range(k + 1):
            if R[j] & accept:
                if best is None or j < best[0]:
                    best = (j, pos)
                break
    return best


def to_thousandths(threshold):
    product = f32(f32(threshold) * 1000.0)
    return 0 if not product > 0 else min(int(product), 65535)


class Model:
    def __init__(self, threshold=0.25, max_errors=2, max_results=50):
        self.records = []
        self.threshold = to_thousandths(threshold)
        self.max_errors, self.max_results = max_errors, max_results

    def add_one(self, candidate):
        if len(self.records) >= 100_000:
            raise ValueError
        record_id = len(self.records)
        if isinstance(candidate, dict) and "id" in candidate:
            value = candidate["id"]
            if not isinstance(value, int) or not 0 <= value < LIMIT_IDS:
                raise (TypeError if not isinstance(value, int) else OverflowError)
            record_id = value
        if not isinstance(candidate, dict):
            return 0
        parts = []
        for value in candidate.values():
            if isinstance(value, str):
                with contextlib.suppress(UnicodeEncodeError):
                    parts.append(value.encode("utf-8"))
        if not parts:
            return 0
        self.records.append((record_id, b" ".join(parts)))
        return 1

    def add(self, records):
        if isinstance(records, list):
            return sum(self.add_one(item) for item in records)
        return self.add_one(records)

    def search(self, query):
        pattern = query.encode("utf-8")[:32]
        m = len(pattern)
        if not m:
            return []
        k, qmask = budget(self.max_errors, m), char_mask(pattern)
        hits = []
        for record_id, text in self.records:
            if qmask & ~char_mask(text) or not text:
                continue
            match = best_match(pattern, k, text)
            if match is None:
                continue
            errors, end = match
            bonus = 50 if end <= m else 25 if end < m + 10 else 0
            milli = min(1000, 1000 - 250 * errors + bonus)
            if milli >= self.threshold:
                hits.append((record_id, milli, max(end - m, 0), end))
        hits.sort(key=lambda hit: -hit[1])  # stable: ties keep store order
        return [(i, f32(milli / 1000), start, end) for i, milli, start, end in hits[: self.max_results]]

    def remove(self, record_id):
        for index, (stored_id, _) in enumerate(self.records):
            if stored_id == record_id:
                del self.records[index]
                return True
        return False


# --- strategies ---------------------------------------------------------------

texts = st.text(alphabet=ALPHABET, max_size=24)
values = st.one_of(texts, texts, st.integers(-5, 5), st.none(), st.just("bad\ud800"), st.lists(texts, max_size=2))
ids = st.one_of(st.integers(0, 20), st.just(2**32 - 1))
records = st.builds(
    lambda record_id, fields: ({"id": record_id} if record_id is not None else {}) | fields,
    st.one_of(st.none(), ids),
    st.dictionaries(st.sampled_from(["a", "b", "c", "d"]), values, max_size=4),
)
setting_values = st.tuples(st.integers(0, 1000).map(lambda t: t / 1000), st.integers(0, 3), st.integers(0, 12))


def as_tuples(results):
    return [(r.id, r.score, r.start, r.end) for r in results]


# --- properties ---------------------------------------------------------------


@given(
    batches=st.lists(st.one_of(records, st.lists(st.one_of(records, st.integers(), texts), max_size=6)), max_size=6),
    query=st.one_of(texts, st.text(alphabet=ALPHABET, min_size=30, max_size=40)),
    config=setting_values,
)
def test_ingestion_and_search_match_the_model(batches, query, config):
    engine, model = murvex.Murvex(*config), Model(*config)
    for batch in batches:
        assert outcome(lambda batch=batch: engine.add(batch), messages=False) == outcome(
            lambda batch=batch: model.add(batch), messages=False
        )
    assert engine.count == len(model.records)
    assert as_tuples(engine.search(query)) == model.search(query)


@given(
    stored=st.lists(st.tuples(ids, texts), max_size=12),
    removals=st.lists(ids, max_size=6),
    config=setting_values,
    data=st.data(),
)
def test_planted_typos_and_removals_match_the_model(stored, removals, config, data):
    engine, model = murvex.Murvex(*config), Model(*config)
    for record_id, text in stored:
        engine.add({"id": record_id, "t": text})
        model.add({"id": record_id, "t": text})
    for record_id in removals:
        assert engine.remove(record_id) == model.remove(record_id)
    source = data.draw(st.sampled_from([t for _, t in stored] or ["abcdef"]))
    start = data.draw(st.integers(0, len(source)))
    query = source[start : start + data.draw(st.integers(1, 12))] or "a"
    edits = data.draw(st.lists(st.tuples(st.integers(0, 40), st.sampled_from(ALPHABET + "x")), max_size=2))
    for at, char in edits:
        at %= len(query) + 1
        query = query[:at] + char + query[at + 1 :]
    assert as_tuples(engine.search(query)) == model.search(query)


# Texts of every length up to a few KiB, built from words so that queries
# taken from them, with typos planted, find something.
WORDS = ["alpha", "Beta", "gamma", "d\u00e9lta", "!", "aaaa", "abab"]
words = st.lists(st.sampled_from(WORDS), min_size=1, max_size=6).map(" ".join)
long_texts = st.builds(
    lambda head, filler, n, tail: f"{head} {filler * n}{tail}",
    words,
    st.sampled_from(["x", "ab ", "the ", "aaaa", "\u00e9"]),
    st.one_of(st.integers(0, 20), st.integers(200, 800)),
    words,
)


@settings(max_examples=settings.default.max_examples // 4)
@given(stored=st.lists(long_texts, min_size=1, max_size=6), config=setting_values, data=st.data())
def test_texts_of_every_length_match_the_model(stored, config, data):
    engine, model = murvex.Murvex(*config), Model(*config)
    for text in stored:
        assert engine.add({"t": text}) == model.add({"t": text})
    source = data.draw(st.sampled_from(stored))
    start = data.draw(st.integers(0, len(source)))
    query = source[start : start + data.draw(st.integers(1, 14))] or "a"
    for at, char in data.draw(st.lists(st.tuples(st.integers(0, 40), st.sampled_from("abx \u00e9")), max_size=2)):
        at %= len(query) + 1
        query = query[:at] + char + query[at + 1 :]
    assert as_tuples(engine.search(query)) == model.search(query)


@pytest.mark.parametrize("threshold", [k / 1000 for k in range(0, 1001, 7)] + [0.251, 0.253, 0.502, 0.506, 0.511])
def test_threshold_conversion_matches_the_model(threshold):
    engine = murvex.Murvex(threshold=threshold)
    held = to_thousandths(threshold)
    assert repr(engine).split("threshold=")[1].split(",")[0] == f"{f32(held / 1000):.2f}"
