"""The companion's JSON Lines reader against the Python reader it stands in for: the same records, or None
and the Python reader's own answer (records or the error naming the line)."""

from __future__ import annotations

import json
from typing import Any

from hypothesis import given, settings
from hypothesis import strategies as st

from murvex_tools import files
from murvex_tools._native import json_lines


def python_reader(block: bytes, fields: list[str] | None) -> tuple[Any, ...]:
    collector = files._Collector("data.jsonl", files.Choice(fields=fields))
    numbers, values = files._json_line_values(1, block.split(b"\n"), "data.jsonl")
    collector.add_all(zip(numbers, values, strict=True))
    source = collector.done()
    return source.texts, source.lines, source.ids, source.leads


def whole_reader(block: bytes, fields: list[str] | None) -> tuple[Any, ...]:
    source = files._json_lines([block], "data.jsonl", files.Choice(fields=fields))
    return source.texts, source.lines, source.ids, source.leads


def outcome(read: Any, block: bytes, fields: list[str] | None) -> tuple[Any, ...]:
    try:
        return ("records", *read(block, fields))
    except files.InputError as error:
        return ("error", str(error))


scalars = st.one_of(
    st.text(max_size=12),
    st.integers(-(2**40), 2**40),
    st.floats(allow_nan=False),
    st.booleans(),
    st.none(),
)
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=3), inner, max_size=3),
    max_leaves=6,
)
ids = st.one_of(
    st.integers(-3, 2**32 + 3),
    st.sampled_from(["7", "0042", "4294967295", "4294967296", "x1", "", "12345678901", "\u0663"]),
    scalars,
)
objects = st.dictionaries(st.sampled_from(["name", "city", "nüm", "a b", "x", "\u2028"]), values, max_size=5)


@st.composite
def lines(draw: st.DrawFn) -> bytes:
    chosen = []
    for _ in range(draw(st.integers(0, 6))):
        if draw(st.integers(0, 9)) == 0:
            chosen.append(draw(st.sampled_from(["", "   ", "\t\r"])))
            continue
        row = draw(objects)
        if draw(st.booleans()):
            row = {**row, "id": draw(ids)} if draw(st.booleans()) else {"id": draw(ids), **row}
        spaced = draw(st.sampled_from([(", ", ": "), (",", ":"), (" ,  ", " :\t")]))
        chosen.append(json.dumps(row, ensure_ascii=draw(st.booleans()), separators=spaced))
    return "\n".join(chosen).encode("utf-8", "surrogatepass")


@settings(max_examples=400, deadline=None)
@given(lines(), st.sampled_from([None, ["city", "name"], ["x", "x", "missing"]]))
def test_the_companion_reader_makes_the_python_reader_s_records(block, fields):
    expected = outcome(python_reader, block, fields)
    read = json_lines(block, 1, 0, fields)
    if read is not None:  # what the companion reads, Python reads alike
        got_lines, texts, got_ids, leads, own = read
        assert ("records", texts, got_lines, got_ids if own else None, leads) == expected
    assert outcome(whole_reader, block, fields) == expected


def test_plain_lines_are_read_by_the_companion_and_the_rest_by_python():
    plain = [
        '{"id": 3, "name": "Ada", "n": 1.5e3, "tags": ["x", {"y": null}], "ok": true}',
        '  {"name": "caf\\u00e9 \\ud83d\\ude00", "id": "17", "city": "Z\\u00fcrich\\n"}\r',
        "",
        '{"name": "\u00e9\u2028", "z": -0.0}',
        '{"e": "\\" \\\\ \\/ \\b \\f \\n \\r \\t \\u0041\\u00DF"}',
        "{}",
    ]
    read = json_lines("\n".join(plain).encode(), 5, 100, None)
    assert read is not None
    got_lines, texts, got_ids, leads, own = read
    assert got_lines == [5, 6, 8, 9, 10] and got_ids == [3, 17, 102, 103, 104] and own
    assert texts[:3] + texts[4:] == ["Ada", "café 😀 Zürich\n", "é\u2028", ""]
    assert leads == ["Ada", "café 😀", "é\u2028", texts[3], ""]
    assert texts[3] == '" \\ / \b \f \n \r \t Aß' == json.loads(plain[4])["e"]
    assert json_lines(b'{"name": "x", "city": "y"}', 1, 0, ["city", "name", "city"])[1] == ["y x y"]
    assert json_lines(b'{"name": "x"}', 1, 2**32 - 1, None) is not None
    assert json_lines(b'{"name": "x"}\n{"name": "y"}', 1, 2**32 - 1, None) is None  # default ids run out

    for line in [
        '{"a": "x", "a": "y"}',  # Python keeps the last value at the first key's place
        '{"a": NaN}',
        '{"a": "\\ud800"}',
        '{"a": "\\udc00x"}',
        '{"a": "x"} {"b": "y"}',
        '{"a": "x"}, {"b": "y"}',
        "[1]",
        '"text"',
        '{"id": 1.0}',
        '{"id": -1}',
        '{"id": "12a"}',
        '{"id": true}',
        '{"id": null}',
        '{"id": 4294967296}',
        '{"a": 1' + "0" * 4500 + "}",
        '{"a": ' + "[" * 300 + "]" * 300 + "}",
        '{"a": "tab\there"}',
        '{"a": 01}',
        '{"a": "x",}',
        '{"a" "x"}',
        "{\x0c}",
        "\x0c",
    ]:
        block = line.encode()
        assert json_lines(block, 1, 0, None) is None, line
        assert outcome(whole_reader, block, None) == outcome(python_reader, block, None), line
    for raw in [b'{"a": "\xff"}', b'{"a": "\xed\xa0\x80"}', b'{"a": "\xc0\xaf"}', b'{"a": "\xf4\x90\x80\x80"}']:
        assert json_lines(raw, 1, 0, None) is None, raw
        assert outcome(whole_reader, raw, None)[1].startswith("data.jsonl line 1: not UTF-8 text")


def test_lines_that_only_parse_together_are_refused_line_by_line():
    # each line in brackets of its own: these would pass as three objects if lines were only joined by commas,
    # and as three one-element lists if brackets inside a line were not checked line by line
    for block in [b'{"a": "x"}, {"b": "y"}\n{"c": 1\n}', b'{"a": "x"}], [{"b": "y"}\n{"k": [[1\n2]]}']:
        assert json_lines(block, 1, 0, None) is None
        assert outcome(whole_reader, block, None)[1].startswith("data.jsonl line 1: not valid JSON")


def test_a_string_id_chosen_as_a_field_is_left_to_python():
    block = b'{"id": "42", "name": "x"}'
    assert json_lines(block, 1, 0, ["id", "name"]) is None
    assert whole_reader(block, ["id", "name"])[0] == ["42 x"]


def test_a_byte_order_mark_and_crlf_line_endings_change_nothing(tmp_path):
    lines = ['{"id": 4, "name": "Ada"}', "", '{"name": "Alan", "city": "Wilmslow"}']
    plain, marked = tmp_path / "plain.jsonl", tmp_path / "marked.jsonl"
    plain.write_bytes("\n".join(lines).encode() + b"\n")
    marked.write_bytes(b"\xef\xbb\xbf" + "\r\n".join(lines).encode() + b"\r\n")
    for path in (plain, marked):
        source = files.read_source(path)
        assert (source.texts, source.lines, source.ids, source.leads) == (
            ["Ada", "Alan Wilmslow"],
            [1, 3],
            [4, 1],
            ["Ada", "Alan"],
        )
