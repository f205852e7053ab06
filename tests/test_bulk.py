"""Records without dicts, tables in and out, fuzzy joins and saved indexes: each against the dict route."""

import builtins
import os
import random

import pytest

import murvex
from conftest import posix_only
from murvex_tools import ShardedMurvex, fuzzy_join
from scenarios import as_tuples

pa = pytest.importorskip("pyarrow", reason="pyarrow is not installed here (pip install 'murvex[frames]')")

WORDS = ["alpha", "Beta", "gamma", "d\u00e9lta", "caf\u00e9", "", "the", "\U0001f1eb\U0001f1f7"]
QUERIES = ["alpha", "gamma delta", "caf\u00e9", "Beta the", "alpah", "\U0001f1f7", "zzz"]


def polars_or_skip():
    if "libtsan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("polars crashes on import under ThreadSanitizer's preloaded runtime")
    return pytest.importorskip("polars")


def random_rows(seed, count=600):
    """Rows of two text columns with nulls, empty strings, multi-byte and long texts, and ids."""
    rng = random.Random(seed)
    rows = []
    for i in range(count):
        name = None if rng.random() < 0.15 else " ".join(rng.choices(WORDS, k=rng.randrange(0, 4)))
        note = None if rng.random() < 0.5 else rng.choice(WORDS) * rng.choice([1, 1, 1, 300])
        rows.append({"id": rng.randrange(40) if i % 5 else i, "name": name, "note": note})
    return rows


def as_dict(row, with_id=True):
    """The row as add() takes it: its string values (nulls left out), and its id."""
    record = {key: value for key, value in row.items() if key != "id" and value is not None}
    return {**record, "id": row["id"]} if with_id else record


def answers(index):
    return {query: as_tuples(index.search(query)) for query in QUERIES}


@pytest.mark.parametrize("library", ["pyarrow", "polars", "pandas"])
def test_frames_texts_and_dicts_give_the_same_index(library):
    rows = random_rows(7)
    by_dicts = ShardedMurvex(max_results=20, shard_capacity=150)
    by_dicts.add([as_dict(row) for row in rows])
    expected = answers(by_dicts)
    table = pa.table({k: [row[k] for row in rows] for k in ("id", "name", "note")})
    if library == "polars":
        table = polars_or_skip().from_arrow(table)
    elif library == "pandas":
        pytest.importorskip("pandas")
        table = table.to_pandas(types_mapper={pa.string(): __import__("pandas").StringDtype("pyarrow")}.get)
    by_frame = ShardedMurvex(max_results=20, shard_capacity=150)
    assert by_frame.add_frame(table, ["name", "note"], id_column="id") == by_dicts.count
    assert answers(by_frame) == expected

    texts = [" ".join(v for v in (row["name"], row["note"]) if v is not None) for row in rows]
    kept = [
        (row["id"], text)
        for row, text in zip(rows, texts, strict=True)
        if row["name"] is not None or row["note"] is not None
    ]
    by_texts = ShardedMurvex(max_results=20, shard_capacity=150)
    assert by_texts.add_texts([t for _, t in kept], [i for i, _ in kept]) == by_dicts.count
    assert answers(by_texts) == expected


@pytest.mark.parametrize("ids", ["column", "count", "rows"])
@pytest.mark.parametrize("first", [0, 13])
def test_large_sliced_frames_of_every_string_type_give_the_dict_routes_index(ids, first):
    """Runs of rows over several shards and workers, joined a chunk at a time from columns whose validity
    bits start at a byte or inside one; some rows have nulls only."""
    rows = random_rows(11, 4000)
    for i in range(0, len(rows), 9):
        rows[i] = {**rows[i], "name": None, "note": None, "label": None}
    rng = random.Random(5)
    for row in rows:
        label = rng.choice(WORDS) * rng.choice([1, 5]) + str(rng.randrange(99))  # in the view or in a buffer
        row.setdefault("label", None if rng.random() < 0.3 else label)
    kept = rows[first:]
    table = pa.table(
        {
            "id": pa.array([row["id"] for row in rows], pa.uint32()),
            "name": pa.array([row["name"] for row in rows], pa.string()),
            "note": pa.array([row["note"] for row in rows], pa.large_string()),
            "label": pa.array([row["label"] for row in rows], pa.string()).cast(pa.string_view()),
        }
    ).slice(first)
    by_dicts = ShardedMurvex(max_results=50, shard_capacity=1500)
    by_dicts.add({"t": "before"})
    if ids == "rows":
        for row_number, row in enumerate(kept):
            if as_dict(row, with_id=False):
                by_dicts.add({**as_dict(row, with_id=False), "id": row_number})
    else:
        by_dicts.add([as_dict(row, with_id=ids == "column") for row in kept])
    by_frame = ShardedMurvex(max_results=50, shard_capacity=1500, workers=2)
    by_frame.add({"t": "before"})
    keywords = {"column": {"id_column": "id"}, "count": {}, "rows": {"row_ids": True}}[ids]
    assert by_frame.add_frame(table, ["name", "note", "label"], **keywords) == by_dicts.count - 1
    every = range(by_dicts.count)
    assert by_frame.records(every) == by_dicts.records(every)
    assert answers(by_frame) == answers(by_dicts)


class Name(str):
    pass


@pytest.mark.parametrize("ids", ["small", "large", "none"])
def test_texts_of_every_kind_of_str_are_read_as_add_reads_them(ids):
    """Latin-1, two- and four-byte code points, str subclasses and ids past 2**30, over several shards and
    chunks; a lone surrogate among them adds nothing, wherever it is."""
    rng = random.Random(len(ids))
    alphabet = "abc XYZ\u00e9\u00ff\u0101\u4e2d\uffff\U0001f600\U0010ffff"
    texts = ["".join(rng.choices(alphabet, k=rng.randrange(0, 40))) for _ in range(2500)]
    texts[::97] = [Name(text) for text in texts[::97]]
    record_ids = {"small": [rng.randrange(2**30) for _ in texts], "large": [2**32 - 1 - i for i in range(len(texts))]}
    for surrogate_at in (None, 2400):
        if surrogate_at is not None:
            texts[surrogate_at] = "x\ud800"
        chosen = record_ids.get(ids)
        by_dicts = ShardedMurvex(max_results=100, shard_capacity=900)
        by_dicts.add([{"t": str(text)} | ({"id": chosen[i]} if chosen else {}) for i, text in enumerate(texts)])
        by_texts = ShardedMurvex(max_results=100, shard_capacity=900, workers=2)
        assert by_texts.add_texts(texts, chosen) == by_dicts.count
        every = range(by_dicts.count)
        assert by_texts.records(every) == by_dicts.records(every)


def test_default_ids_follow_the_count_as_in_add():
    rows = [{"t": "a x"}, {"t": None}, {"t": "b x"}, {"t": "c x"}]
    engine = murvex.Murvex()
    engine.add({"t": "before"})
    engine.add([{k: v for k, v in row.items() if v is not None} for row in rows])
    index = ShardedMurvex(shard_capacity=2)
    index.add({"t": "before"})
    index.add_frame(pa.table({"t": [row["t"] for row in rows]}))
    assert as_tuples(index.search("x")) == as_tuples(engine.search("x"))
    index.add_texts(["d x", "bad \ud800", "e x"])  # a str that cannot be encoded adds nothing
    engine.add([{"t": "d x"}, {"t": "bad \ud800"}, {"t": "e x"}])
    assert as_tuples(index.search("x")) == as_tuples(engine.search("x"))


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda ix: ix.add_texts(["a", 5]), TypeError, r"^argument 'texts\[1\]': 'int' object cannot be converted"),
        (
            lambda ix: ix.add_texts("libreoffice"),
            TypeError,
            r"^argument 'texts': expected a sequence of str, not a str",
        ),
        (lambda ix: ix.search_frame("libreofice"), TypeError, r"^argument 'queries': expected a sequence of str, not"),
        (lambda ix: ix.add_texts(["a", "b"], [1, -1]), OverflowError, r"^argument 'ids\[1\]': "),
        (lambda ix: ix.add_texts(["a", "b"], [1, 2**32]), OverflowError, r"^argument 'ids\[1\]': out of range"),
        (lambda ix: ix.add_texts(["a", "b"], [1, "2"]), TypeError, r"^argument 'ids\[1\]': "),
        (lambda ix: ix.add_texts(["a", "b"], [1]), ValueError, "^texts and ids differ in length: 2 texts, 1 ids$"),
        (
            lambda ix: ix.add_frame(pa.table({"n": [1], "t": ["x"]}), "n"),
            ValueError,
            "^column 'n' is int64, not strings$",
        ),
        (lambda ix: ix.add_frame(pa.table({"t": ["x"]}), "nope"), ValueError, r"^no column 'nope' in the table \(its"),
        (
            lambda ix: ix.add_frame(pa.table({"i": [1, None], "t": ["x", "y"]}), id_column="i"),
            ValueError,
            "^column 'i' row 1: null, where every row needs an id$",
        ),
        (
            lambda ix: ix.add_frame(pa.table({"i": [1, 2**32], "t": ["x", "y"]}), id_column="i"),
            ValueError,
            r"^column 'i' row 1: 4294967296 is not an id",
        ),
        (
            lambda ix: ix.add_frame(pa.table({"i": ["1"], "t": ["x"]}), id_column="i"),
            ValueError,
            r"^column 'i' is utf8, not integers",
        ),
        (lambda ix: ix.add_frame([{"t": "x"}]), TypeError, "^expected a table that exports Arrow data"),
    ],
)
def test_bad_input_names_the_position_or_column_and_adds_nothing(call, error, message):
    index = ShardedMurvex(shard_capacity=2)
    index.add_texts(["kept one", "kept two", "kept three"])
    before = answers(index)
    with pytest.raises(error, match=message):
        call(index)
    assert index.count == 3 and answers(index) == before


@pytest.mark.parametrize(
    "kind, value",
    [
        ("int8", -3),
        ("uint8", 250),
        ("int16", -300),
        ("uint16", 65000),
        ("int32", -(2**31)),
        ("uint32", 2**32 - 1),
        ("int64", 2**32),
        ("uint64", 2**64 - 1),
    ],
)
def test_id_columns_of_every_integer_type_take_their_values(kind, value):
    ids = [1, 2, value, 4]
    table = pa.table({"i": pa.array(ids, getattr(pa, kind)()), "t": ["a x", "b x", "c x", "d x"]})
    index = ShardedMurvex()
    if 0 <= value <= 2**32 - 1:
        assert index.add_frame(table, id_column="i") == 4
        assert sorted(hit.id for hit in index.search("x")) == sorted(ids)
    else:
        with pytest.raises(ValueError, match=f"^column 'i' row 2: {min(value, 2**63 - 1)} is not an id"):
            index.add_frame(table, id_column="i")
        assert index.count == 0


def utf8_array(offsets, data, kind="utf8"):
    """A utf8 or large_utf8 array whose offsets are set after pyarrow has checked them (as a caller could)."""
    import numpy as np

    width = np.int32 if kind == "utf8" else np.int64
    buffer = bytearray(np.zeros(len(offsets), width).tobytes())
    array = pa.Array.from_buffers(
        getattr(pa, kind)(), len(offsets) - 1, [None, pa.py_buffer(buffer), pa.py_buffer(data)]
    )
    buffer[:] = np.array(offsets, width).tobytes()
    return array


class Exported:
    """Any library's table: only the Arrow PyCapsule interface, so that pyarrow's own checks do not run."""

    def __init__(self, table):
        self.table = table

    def __arrow_c_array__(self, requested_schema=None):
        return self.table.__arrow_c_array__(requested_schema)


def view_array(views, buffers):
    """A string_view array of raw 16-byte views over data buffers."""
    import struct

    raw = b"".join(struct.pack("<i4sii", *view) for view in views)
    return pa.Array.from_buffers(pa.string_view(), len(views), [None, pa.py_buffer(raw), *map(pa.py_buffer, buffers)])


@pytest.mark.parametrize(
    "table, message",
    [
        (Exported(utf8_array([-4, 5, 9, 14], b"alphabetagamma")), "^column '' row 0: a negative offset"),
        (Exported(utf8_array([0, 5, 3, 14], b"alphabetagamma")), r"^column '' row 1: offsets that go back"),
        (utf8_array([-4, 5, 9, 14], b"alphabetagamma"), "Negative offsets"),  # pyarrow's own check
        (utf8_array([0, 5, 9, 1 << 30], b"alphabetagamma"), "larger than values array"),
        (pa.table({"t": utf8_array([0, 5, 9, 14], b"alphabeta\xff\xfeamma")}), "^column 't' row 2: not UTF-8 text$"),
        (pa.table({"t": utf8_array([0, 2, 4], b"ab\xc3(", "large_utf8")}), "^column 't' row 1: not UTF-8 text$"),
        (
            Exported(view_array([(2, b"ab", 0, 0), (13, b"abcd", 1, 0)], [b"x" * 20])),
            "row 1: a view into data buffer 1 of 1",
        ),
        (Exported(view_array([(13, b"abcd", 0, 10)], [b"x" * 20])), "row 0: a view past the end of its data"),
        (Exported(view_array([(13, b"abcd", 0, -1)], [b"x" * 20])), "row 0: a view past the end of its data"),
        (Exported(view_array([(-1, b"abcd", 0, 0)], [b"x" * 20])), "row 0: a view of negative length"),
        (pa.table({"t": view_array([(13, b"abcd", 0, 0)], [b"x\xed\xa0\x80" + b"x" * 16])}), "row 0: not UTF-8 text"),
        (
            pa.DictionaryArray.from_arrays(pa.array([0, 1, 0], pa.int8()), utf8_array([0, 1, 3], b"a\xc0\xaf")),
            "^column '' dictionary entry 1: not UTF-8 text$",
        ),
        (
            Exported(pa.DictionaryArray.from_arrays(pa.array([0, 5, 0], pa.int8()), ["a", "b"], safe=False)),
            "^column '' row 1: dictionary index 5 of 2 values$",
        ),
        (
            pa.table({"i": pa.array([1, None], pa.int32()), "t": ["x", None]}),
            "^column 'i' row 1: null, where every row needs an id$",  # a row without text needs its id too
        ),
    ],
)
def test_arrays_whose_buffers_do_not_hold_together_are_refused_before_they_are_read(table, message):
    """Made by changing a valid array's buffers after pyarrow checked them: never read out of bounds, never stored."""
    index = ShardedMurvex()
    index.add_texts(["kept"])
    id_column = "i" if isinstance(table, pa.Table) and "i" in table.column_names else None
    with pytest.raises(ValueError, match=message):
        index.add_frame(table, id_column=id_column)
    assert index.count == 1
    if id_column is None:  # the texts of a join's left table too
        column = table.column_names[0] if isinstance(table, pa.Table) else ""
        with pytest.raises(ValueError, match=message):
            fuzzy_join(table, pa.table({"t": ["x"]}), left_on=column, right_on="t")


def test_dictionary_encoded_and_sliced_struct_columns_read_their_values():
    words = ["alpha", None, "beta", "alpha", "gamma"]
    categorical = [] if "libtsan" in os.environ.get("LD_PRELOAD", "") else [polars_or_skip()]
    for frame in [
        pa.table({"t": pa.array(words).dictionary_encode()}),
        pa.table(
            {
                "t": pa.DictionaryArray.from_arrays(
                    pa.array([3, None, 1, 3, 0], pa.uint8()), ["gamma", "beta", "x", "alpha"]
                )
            }
        ),
        *(polars.DataFrame({"t": polars.Series(words, dtype=polars.Categorical)}) for polars in categorical),
    ]:
        index = ShardedMurvex()
        assert index.add_frame(frame) == 4
        assert [text for _, text in index.records(range(4))] == ["alpha", "beta", "alpha", "gamma"]
    struct = pa.StructArray.from_arrays([pa.array(["alpha", "beta", "gamma"]), pa.array([7, 8, 9])], names=["t", "i"])
    index = ShardedMurvex()
    assert index.add_frame(struct[1:], id_column="i") == 2
    assert index.records([0, 1]) == [(8, "beta"), (9, "gamma")]


def test_a_bad_item_late_in_a_long_list_adds_nothing_of_it():
    """The worker threads have appended shards of the list before one of them meets the bad item."""
    texts = [f"record {i} x" for i in range(6000)]
    index = ShardedMurvex(shard_capacity=1000, workers=2)
    index.add_texts(["kept x"])
    before = answers(index)
    for bad, error, message in [
        (4500, TypeError, r"^argument 'texts\[4500\]': 'bytes' object cannot be converted to 'str'$"),
        (5999, OverflowError, r"^argument 'ids\[5999\]': "),
    ]:
        items, ids = list(texts), list(range(6000))
        if error is TypeError:
            items[bad] = b"bytes"
        else:
            ids[bad] = -1
        with pytest.raises(error, match=message):
            index.add_texts(items, ids)
        assert index.count == 1 and index.shards == 1 and answers(index) == before


def test_an_error_in_a_later_batch_takes_back_the_earlier_ones():
    batches = [pa.record_batch({"i": [1, 2], "t": ["x", "y"]}), pa.record_batch({"i": [3, -4], "t": ["z", "w"]})]
    index = ShardedMurvex(shard_capacity=1)
    with pytest.raises(ValueError, match="row 3: -4 is not an id"):
        index.add_frame(pa.Table.from_batches(batches), id_column="i")
    assert index.count == 0 and index.shards == 0


def test_search_frame_and_fuzzy_join_equal_their_loops():
    index = ShardedMurvex(max_results=3)
    index.add_texts(["Ada Lovelace", "Alan Turing", "Grace Hopper", "Ada Yonath"], [10, 11, 12, 13])
    queries = ["ada", "turnig", "nobody"]
    table = index.search_frame(queries)
    assert table.to_pylist() == [
        {"query": queries[q], "query_index": q, "rank": r, "id": h.id, "score": h.score, "start": h.start, "end": h.end}
        for q, hits in enumerate(index.search_many(queries))
        for r, h in enumerate(hits)
    ]
    assert str(table.schema.field("query").type) == "string"
    assert repr(index.search("turnig")[0]) == "murvex_tools.Hit(id=11, score=0.525, start=3, end=9)"
    left = pa.table({"who": ["ada lovlace", None, "grace hoper", "nobody at all"]})
    right = pa.table({"name": ["Grace Hopper", "Ada Lovelace", None, "Alan Turing"]})
    joined = fuzzy_join(left, right, left_on="who", right_on="name", max_results=2)
    assert [(row["left_row"], row["right_row"]) for row in joined.to_pylist()] == [(0, 1), (2, 0)]
    assert all(row["score"] == 0.7749999761581421 for row in joined.to_pylist())
    assert str(joined.schema.field("left_row").type) == str(joined.schema.field("right_row").type) == "uint64"
    swapped = pa.table({"who": ["ada lvoelace"]})  # two swapped letters: one edit when forgiving
    assert fuzzy_join(swapped, right, left_on="who", right_on="name", max_errors=1).num_rows == 0
    assert fuzzy_join(swapped, right, left_on="who", right_on="name", max_errors=1, forgiving=True).num_rows == 1


def test_tables_of_a_library_that_is_not_installed_say_which_to_install(monkeypatch):
    real_import = builtins.__import__

    def without(name, *args, **kwargs):
        if name in ("polars", "pyarrow"):
            raise ImportError(f"No module named '{name}'")
        return real_import(name, *args, **kwargs)

    index = ShardedMurvex()
    index.add_texts(["x"])
    monkeypatch.setattr(builtins, "__import__", without)
    monkeypatch.setattr("importlib.import_module", without)
    with pytest.raises(ImportError, match=r"polars is not installed: pip install polars"):
        index.search_frame(["x"], as_="polars")
    with pytest.raises(ImportError, match=r"pip install 'murvex\[frames\]'"):
        index.search_frame(["x"])
    assert [h.id for h in index.search("x")] == [0]  # nothing else needs them


def test_a_saved_index_loads_with_the_same_results_and_is_never_half_written(tmp_path):
    rows = random_rows(3, 3000)
    index = ShardedMurvex(threshold=0.5, max_errors=1, max_results=9, shard_capacity=700)
    index.add([as_dict(row) for row in rows])
    index.remove(13)
    path = tmp_path / "index.murvex"
    index.save(path)
    loaded = ShardedMurvex.load(path, workers=2)
    assert (loaded.count, loaded.threshold, loaded.max_errors, loaded.max_results) == (index.count, 0.5, 1, 9)
    assert answers(loaded) == answers(index)
    assert os.listdir(tmp_path) == ["index.murvex"]  # no temporary file left beside it

    good = path.read_bytes()
    for name, data, message in [
        ("truncated", good[: len(good) // 2], r": truncated"),
        ("flipped", good[:124] + bytes([good[124] ^ 1]) + good[125:], r": corrupted: the checksum of shard 0$"),
        ("foreign", b"PK\x03\x04" + good[4:], r': not a saved murvex index \(its first bytes are not "MURVEXIX"\)'),
        ("newer", good[:8] + b"\x07" + good[9:], r": saved by a newer murvex \(file format 7;"),
    ]:
        bad = tmp_path / name
        bad.write_bytes(data)
        with pytest.raises(ValueError, match="^" + str(bad).replace("\\", "\\\\") + message):
            ShardedMurvex.load(bad)
    with pytest.raises(FileNotFoundError):
        ShardedMurvex.load(tmp_path / "missing")
    (tmp_path / "dir").mkdir()
    with pytest.raises(OSError):
        index.save(tmp_path / "dir")  # a directory is not replaced
    assert path.read_bytes() == good


@pytest.mark.parametrize("mode", [{}, {"forgiving": True}, {"forgiving": True, "words": True}])
def test_a_mapped_load_answers_as_a_copying_one_and_refuses_to_read_a_changed_file(tmp_path, mode):
    path = tmp_path / "m.murvex"
    index = ShardedMurvex(shard_capacity=150, **mode)
    index.add([as_dict(row) for row in random_rows(11)])
    index.save(path)
    good = path.read_bytes()
    copied, mapped = ShardedMurvex.load(path), ShardedMurvex.load(path, workers=2, mapped=True)
    assert answers(mapped) == answers(index)
    for each in (copied, mapped):  # changes stay the process's own
        each.remove(3)
        each.add([{"name": "gamma delta " * 90}, {"name": "alpha beta"}])
        each.remove(7)
    assert answers(mapped) == answers(copied) and mapped.records(range(mapped.count)) == copied.records(
        range(copied.count)
    )
    assert path.read_bytes() == good
    if os.name == "nt":  # Windows replaces no file that a process maps
        with pytest.raises(OSError):
            mapped.save(path)
        path = tmp_path / "m2.murvex"
    mapped.save(path)  # replaces the file: the mapped one stays whole
    assert answers(ShardedMurvex.load(path, mapped=True)) == answers(mapped) == answers(copied)

    again = ShardedMurvex.load(path, mapped=True)
    with open(path, "ab") as file:  # written in place
        file.write(b"x")
    for read in (lambda: again.search("alpha"), lambda: again.records([0]), lambda: again.save(tmp_path / "c")):
        with pytest.raises(ValueError, match=r"\.murvex: changed on disk since the index was loaded from it"):
            read()
    assert again.count == copied.count  # what needs no lane still answers
    again.reset()  # nothing is read from the file any more
    assert again.search("alpha") == [] and again.records([]) == []


@posix_only
def test_every_saved_index_loads_with_its_settings_and_metadata(tmp_path):
    from murvex_tools import _native

    path = tmp_path / "e.murvex"
    for texts, capacity in [([""], 100_000), (["a", "", "b"], 1), (["", ""], 1)]:  # shards of empty texts
        index = ShardedMurvex(shard_capacity=capacity)
        index.add_texts(texts)
        index.save(path)
        assert ShardedMurvex.load(path).count == len(texts)

    index = ShardedMurvex(threshold=0.4, max_errors=3, max_results=7, forgiving=True, words=True)
    index.add_texts(["United Kingdom", "Germany"])
    index.metadata = b"\x00sources"
    index.save(path)
    loaded = ShardedMurvex.load(path)
    settings = (round(loaded.threshold, 3), loaded.max_errors, loaded.max_results, loaded.forgiving, loaded.words)
    assert settings == (0.4, 3, 7, True, True)
    assert loaded.metadata == b"\x00sources"
    assert [h.spans for h in loaded.search("kingdom untied")] == [((7, 14), (0, 6))]
    with pytest.raises(TypeError, match="metadata must be bytes"):
        loaded.metadata = "text"

    class Own(_native.Index):
        pass

    assert type(_native.load(Own, path)) is Own
    for wrong in (int, dict, 3):
        with pytest.raises(TypeError, match=r"load\(\) needs the Index type, or a subclass of it"):
            _native.load(wrong, path)
    os.mkfifo(tmp_path / "fifo")  # no writer: refused at once, not waited for
    for special in (tmp_path / "fifo", "/dev/zero"):
        with pytest.raises(ValueError, match="not a regular file"):
            ShardedMurvex.load(special)
