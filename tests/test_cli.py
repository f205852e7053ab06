"""The murvex command, run as a user runs it: in a subprocess."""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import posix_only

FLAG = "\U0001f1eb\U0001f1f7"  # a flag: 8 bytes in two characters


def murvex(*args, stdin="", env=None):
    return subprocess.run(
        [sys.executable, "-m", "murvex_tools", *map(str, args)],
        input=stdin.encode() if isinstance(stdin, str) else stdin,
        capture_output=True,
        timeout=300,
        env=env,
    )


def on_terminal(*args, **env):
    """What murvex prints with a pseudo-terminal as its standard output (and input)."""
    import pty

    pid, fd = pty.fork()
    if pid == 0:
        os.execve(sys.executable, [sys.executable, "-m", "murvex_tools", *map(str, args)], {**os.environ, **env})
    shown = b""
    while True:
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            break
        if not chunk:
            break
        shown += chunk
    os.waitpid(pid, 0)
    return shown.decode()


def hits(process):
    """The hit objects of a --json run (the summary object after each query left out)."""
    assert process.returncode in (0, 1), process.stderr.decode()
    return [row for line in process.stdout.decode().splitlines() if "hits" not in (row := json.loads(line))]


FORMATS = {
    "people.jsonl": '{"id": 7, "name": "Ada Lovelace", "city": "London"}\n\n{"name": "Alan Turing"}\n',
    "people.json": '[{"id": 7, "name": "Ada Lovelace", "city": "London"}, {"name": "Alan Turing"}]',
    "people-lines.json": '{"id": 7, "name": "Ada Lovelace", "city": "London"}\n{"name": "Alan Turing"}\n',
    "people.csv": "id,name,city\n7,Ada Lovelace,London\n1,Alan Turing,\n",  # an empty field is a part too
    "people.txt": "Ada Lovelace London\nAlan Turing\n",
}


@pytest.mark.parametrize("name", FORMATS)
def test_every_format_gives_the_records_and_their_text(tmp_path, name):
    path = tmp_path / name
    path.write_text(FORMATS[name], encoding="utf-8")
    found = hits(murvex("search", "--json", path, "lovelace", "alan turnig"))
    ada = {"query": "lovelace", "score": 1.0, "start": 4, "end": 12, "text": "Ada Lovelace London"}
    assert {k: found[0][k] for k in ada} == ada
    assert found[0]["id"] == (0 if name.endswith(".txt") else 7)
    assert found[0]["line"] == (1 if name.endswith((".txt", ".json")) else 2 if name.endswith(".csv") else 1)
    turing = "Alan Turing " if name.endswith(".csv") else "Alan Turing"
    assert [(h["query"], h["text"]) for h in found[1:]] == [("alan turnig", turing)]
    assert found[1]["id"] == 1


def test_text_lines_lose_the_cr_of_a_crlf_ending_and_keep_any_other(tmp_path):
    path = tmp_path / "people.txt"
    path.write_bytes(b"Ada Lovelace\r\nAlan\rTuring\nGrace Hopper\r\n")
    found = hits(murvex("search", "--json", path, "lovelace", "turing", "hopper"))
    assert [(h["query"], h["text"]) for h in found] == [
        ("lovelace", "Ada Lovelace"),
        ("turing", "Alan\rTuring"),
        ("hopper", "Grace Hopper"),
    ]


def test_standard_input_for_records_or_for_queries(tmp_path):
    jsonl = FORMATS["people.jsonl"]
    assert [h["id"] for h in hits(murvex("search", "--json", "-", "lovelace", stdin=jsonl))] == [7]
    csv_text = FORMATS["people.csv"]
    assert [h["id"] for h in hits(murvex("search", "--json", "--format", "csv", "-", "turing", stdin=csv_text))] == [1]
    path = tmp_path / "people.jsonl"
    path.write_text(jsonl, encoding="utf-8")
    found = hits(murvex("search", "--json", path, stdin="lovelace\n\nturing\n"))
    assert [h["query"] for h in found] == ["lovelace", "turing"]


def test_readable_output_highlights_only_when_asked(tmp_path):
    path = tmp_path / "places.txt"
    path.write_text(f"{FLAG} France\nGermany\n", encoding="utf-8")
    plain = murvex("search", path, "Fracne")
    assert plain.returncode == 0
    summary, *shown = plain.stdout.decode().splitlines()
    assert re.fullmatch(r"'Fracne': 1 result in \d+\.\d\d ms", summary), summary
    assert shown == [f"  0.875  1        {FLAG} France"]  # the line number, as grep -n; one swap: one edit
    strict = murvex("search", "--strict", path, "Fracne").stdout.decode().splitlines()[1:]
    assert strict == [f"  0.525  1        {FLAG} France"]
    coloured = murvex("search", "--color", "always", path, "Fracne").stdout.decode()
    assert "\x1b[1;33m" in coloured and "\ufffd" not in coloured  # never a broken character
    assert "\x1b[" not in murvex("search", path, "Fracne", env={"NO_COLOR": "1", "PATH": ""}).stdout.decode()


def test_a_match_that_starts_inside_a_character_is_widened(tmp_path):
    path = tmp_path / "places.jsonl"
    path.write_text(json.dumps({"name": f"{FLAG} France"}) + "\n", encoding="utf-8")
    (hit,) = hits(murvex("search", "--json", "--strict", path, "Fracne"))
    assert hit["text"].encode()[hit["start"] : hit["end"]] == b"Fran"  # the stretch that matched, not end - m
    from murvex_tools import ShardedMurvex, matched_text

    index = ShardedMurvex()
    index.add_texts([hit["text"]])
    (engine,) = index.search("Fracne")
    with pytest.raises(UnicodeDecodeError):
        hit["text"].encode()[engine.start : engine.end].decode()  # the engine's span cuts the flag
    assert matched_text(hit["text"], engine.start, engine.end) == "\U0001f1f7 Fran"


def test_more_than_one_engine_holds(tmp_path):
    path = tmp_path / "rows.txt"
    path.write_text("".join(f"row {i}\n" for i in range(120_000)), encoding="utf-8")
    found = hits(murvex("search", "--json", "--max-results", "3", path, "row 119999", "row 100000"))
    assert [(h["id"], h["score"]) for h in found[:1]] == [(119999, 1.0)]
    assert found[3]["id"] == 100000 and found[3]["line"] == 100001


@pytest.mark.parametrize(
    "name, content, message",
    [
        ("missing.csv", None, "cannot read {path}: No such file or directory"),
        ("latin1.txt", "ok\ncaf\xe9\n".encode("latin-1"), "{path} line 2: not UTF-8 text"),
        ("headerless.csv", "Ada,London,\nAlan,Wilmslow,\n", "{path} line 1: the header row has no name for column 3"),
        (
            "numbers.csv",
            "1,Ada,London\n2,Alan,Wilmslow\n",
            "{path} line 1: the header row holds '1', which looks like data",
        ),
        ("twice.csv", "Ada,Ada\nx,y\n", "{path} line 1: the header row names 'Ada' twice"),
        ("ragged.csv", "name,city\nAda,London,extra\n", "{path} line 2: 3 fields where the header has 2"),
        ("bad-id.csv", "id,name\n7,Ada\nx1,Alan\n", "{path} line 3: id 'x1' is not a whole number"),
        ("array.jsonl", '{"a": "x"}\n[1, 2]\n', "{path} line 2: expected a JSON object, found an array"),
        ("broken.jsonl", '{"a": "x"}\n{broken\n', "{path} line 2: not valid JSON"),
        ("bad-id.jsonl", '{"id": -1, "a": "x"}\n', "{path} line 1: id -1 is not a whole number"),
        ("numbers.json", "[1, 2]", "{path} item 1: expected a JSON object, found a number"),
        ("empty.csv", "", "{path}: empty, where a CSV file needs a header row"),
    ],
)
def test_bad_input_is_one_line_naming_file_and_line(tmp_path, name, content, message):
    path = tmp_path / name
    if content is not None:
        path.write_bytes(content if isinstance(content, bytes) else content.encode())
    process = murvex("search", path, "query")
    assert process.returncode == 2
    assert process.stdout == b""  # nothing printed as if it had worked
    error = process.stderr.decode()
    assert error.startswith("murvex: error: " + message.format(path=path)), error
    assert len(error.strip().splitlines()) == 1


@pytest.mark.installed
def test_bad_arguments_and_the_version():
    bad = murvex("search", "--max-errors", "7", "-", "x", stdin="a\n")
    assert bad.returncode == 2 and b"max_errors must be between 0 and 3" in bad.stderr and bad.stdout == b""
    huge = murvex("search", "--max-results", str(10**23), "-", "x", stdin="a\n")  # an OverflowError inside
    assert huge.returncode == 2 and huge.stdout == b""
    assert huge.stderr.decode().startswith("murvex: error: -m 1000") and len(huge.stderr.splitlines()) == 1
    assert b"at most 100 results are listed per query" in huge.stderr
    no_queries = murvex("search", "-", stdin="a\n")
    assert no_queries.returncode == 2 and b"give the queries as arguments" in no_queries.stderr
    assert no_queries.stdout == b""
    from importlib.metadata import version

    shown = murvex("--version")
    assert shown.returncode == 0 and shown.stdout.decode().strip() == f"murvex {version('murvex')}"


# --- hostile input: nothing reaches the terminal raw, nothing is lost, no traceback ----------------

HOSTILE = "needle \x1b]0;PWNED\x07 \x1b[2J \x1b[6n \u009b31m back\x08space \u202eevil"


@posix_only
def test_control_characters_of_a_record_are_shown_escaped_on_a_terminal_and_in_a_pipe(tmp_path):

    path = tmp_path / "e.jsonl"
    path.write_text(json.dumps({"t": HOSTILE}) + "\n", encoding="utf-8")
    piped = murvex("search", path, "needle").stdout.decode()
    shown = on_terminal("search", path, "needle").encode()
    for output in (piped, shown.decode()):
        raw = re.sub(r"\x1b\[(1;33|32|35|0)m", "", output)  # murvex's own highlight and colours
        assert not any(c in raw for c in "\x1b\x07\x08\u009b\u202e"), repr(output)
        assert "\\x1b]0;PWNED\\x07" in raw and "\\x1b[2J" in raw and "\\x9b31m" in raw and "\\u202eevil" in raw


@pytest.mark.parametrize("name", ["people.jsonl", "people.json", "people.csv"])
def test_records_from_a_pipe_are_read_once_and_whole(tmp_path, name):
    fifo = tmp_path / name
    os.mkfifo(fifo)
    writer = subprocess.Popen(["sh", "-c", f"cat > {fifo}"], stdin=subprocess.PIPE)
    writer.stdin.write(FORMATS[name].encode())
    writer.stdin.close()
    found = hits(murvex("search", "--json", fifo, "lovelace", "alan turnig"))
    writer.wait(timeout=60)
    lines = {"people.jsonl": [1, 3], "people.json": [1, 2], "people.csv": [2, 3]}[name]  # a JSON array: items
    assert [(h["id"], h["line"]) for h in found] == list(zip([7, 1], lines, strict=True))


@pytest.mark.parametrize(
    "name, content, message",
    [
        ("deep.json", "[" * 100_000 + "]" * 100_000, "{path}: not valid JSON here (nested too deeply)"),
        ("deep.jsonl", '{"a": ' + "[" * 100_000 + "]" * 100_000 + "}\n", "{path} line 1: not valid JSON here"),
        ("long-id.jsonl", '{"id": ' + "7" * 5000 + ', "a": "x"}\n', "{path} line 1: not valid JSON here"),
        ("long-id.json", '[{"id": ' + "7" * 5000 + ', "a": "x"}]', "{path}: not valid JSON here"),
        ("long-id.csv", "id,name\n" + "7" * 5000 + ",x\n", "{path} line 2: id '77777"),
        ("endless.txt", b"x" * (65 << 20), "{path} line 1: longer than 64 MiB"),
    ],
)
def test_input_that_broke_the_reader_is_one_line_and_exit_2(tmp_path, name, content, message):
    path = tmp_path / name
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    process = murvex("search", path, "query")
    error = process.stderr.decode()
    assert process.returncode == 2 and error.startswith("murvex: error: " + message.format(path=path)), error[:300]
    assert len(error.strip().splitlines()) == 1


def test_queries_that_are_not_utf8_are_refused_and_output_never_fails_to_encode(tmp_path):
    path = tmp_path / "places.txt"
    path.write_text("caf\u00e9 cr\u00e8me\n", encoding="utf-8")
    argv = subprocess.run(
        [sys.executable.encode(), b"-m", b"murvex_tools", b"search", bytes(path), b"caf\xe9"], capture_output=True
    )
    assert argv.returncode == 2 and argv.stderr.startswith(b"murvex: error: the query 'caf\\xe9' is not UTF-8 text")
    piped = murvex("search", path, stdin=b"caf\xe9\n")
    assert piped.returncode == 2 and b"is not UTF-8 text" in piped.stderr
    ascii_only = murvex("search", path, "cr\u00e8me", env={**os.environ, "PYTHONIOENCODING": "ascii"})
    assert ascii_only.returncode == 0 and "caf\\xe9 cr\\xe8me" in ascii_only.stdout.decode()


def test_a_fault_of_murvex_is_one_line_and_exit_70():
    code = (
        "import sys, murvex_tools.cli as cli\n"
        "cli.COMMANDS['search'] = lambda args: 1 / 0\n"
        "sys.exit(cli.main(['search', '-', 'x']))\n"
    )
    quiet = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, stdin=subprocess.DEVNULL)
    assert quiet.returncode == 70
    assert quiet.stderr == "murvex: internal error, please report it (run with --debug for the details)\n"
    loud = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env={**os.environ, "MURVEX_DEBUG": "1"}
    )
    assert loud.returncode == 70 and "ZeroDivisionError" in loud.stderr


# --- grep's habits and the defects they mend -------------------------------------------


@pytest.fixture
def two_files(tmp_path):
    words = tmp_path / "words.txt"
    words.write_text("rhythm\naccommodate\nrhyme\n", encoding="utf-8")
    people = tmp_path / "people.csv"
    people.write_text('id,name,address\n7,Ada,"12 Main St\nSpringfield"\n8,Alan,"1 Rhythm Road"\n', encoding="utf-8")
    return words, people


def test_options_go_anywhere_and_a_file_is_never_taken_for_a_query(two_files):
    words, people = two_files
    anywhere = murvex("search", words, "--json", "rhythym", "-m", "1")
    assert anywhere.returncode == 0 and [h["text"] for h in hits(anywhere)] == ["rhythm"]
    mistaken = murvex("search", words, people, "rhythym")
    assert mistaken.returncode == 2 and mistaken.stdout == b""
    assert b"is a file, given where a query goes" in mistaken.stderr
    assert f"murvex search -e rhythym {words} {people}\n".encode() in mistaken.stderr
    grep_order = murvex("search", "rhythym", words)  # grep's order: the query first
    assert grep_order.returncode == 2 and f"murvex search -e rhythym {words}\n".encode() in grep_order.stderr
    both = hits(murvex("search", "--json", "-e", "rhythym", "-e", "acommodate", words, people))
    assert {(Path(h["file"]).name, h["line"]) for h in both} >= {("words.txt", 1), ("people.csv", 4), ("words.txt", 2)}
    lines = murvex("search", "-e", "rhythym", words, people).stdout.decode().splitlines()
    assert any(line.split()[1] == f"{words}:1" for line in lines), lines  # each hit names its file


def test_a_quoted_csv_field_keeps_its_line_break_and_the_readers_line_numbers(two_files):
    _, people = two_files
    (glued,) = hits(murvex("search", "--json", people, "StSpringfield", "--max-errors", "0")) or [None]
    assert glued is None
    (ada,) = hits(murvex("search", "--json", people, "Springfield"))
    assert ada["text"] == "Ada 12 Main St\nSpringfield" and ada["line"] == 2 and ada["id"] == 7
    (alan,) = hits(murvex("search", "--json", people, "Rhythm Road"))
    assert alan["line"] == 4
    headless = murvex("search", "--json", "--no-header", "--fields", "2", people, "Alan")
    assert [h["text"] for h in hits(headless)] == ["Alan"]


def test_exit_status_and_quiet_count_and_files_with_matches(two_files, tmp_path):
    words, people = two_files
    assert murvex("search", words, "rhythm").returncode == 0
    assert murvex("search", words, "zzzzzz").returncode == 1
    assert murvex("search", tmp_path / "missing.txt", "x").returncode == 2
    quiet = murvex("search", "-q", words, "rhythm")
    assert (quiet.returncode, quiet.stdout) == (0, b"")
    assert murvex("search", "-q", words, "zzzzzz").returncode == 1
    counted = murvex("search", "-c", "-e", "rhyme", "-e", "zzzzzz", words).stdout.decode()
    assert counted == "'rhyme': 1\n'zzzzzz': 0\n"
    listed = murvex("search", "-l", "-e", "rhythm", words, people).stdout.decode().splitlines()
    assert listed == [str(words), str(people)]
    queries = tmp_path / "queries.txt"
    queries.write_text("rhyme\n\naccomodate\n", encoding="utf-8")
    assert murvex("search", "-c", "-f", queries, words).stdout.decode() == "'rhyme': 1\n'accomodate': 1\n"


def test_empty_results_are_visible_in_json_and_every_query_has_its_summary(two_files):
    words, _ = two_files
    rows = [
        json.loads(line)
        for line in murvex("search", "--json", words, "zzzzzz", "rhyme").stdout.decode().split("\n")
        if line
    ]
    assert [row.get("hits") for row in rows] == [0, None, 1]
    assert rows[0]["query"] == "zzzzzz" and isinstance(rows[0]["ms"], float)


def test_recursive_search_fields_show_and_a_far_match_led_by_the_first_field(tmp_path):
    (tmp_path / "data" / "deep").mkdir(parents=True)
    (tmp_path / "data" / "a.txt").write_text("nothing here\n", encoding="utf-8")
    (tmp_path / "data" / "deep" / "b.jsonl").write_text(
        json.dumps({"id": 3, "name": "zeta-pkg", "notes": "x" * 200 + " needle at the far end", "tag": "needle"})
        + "\n",
        encoding="utf-8",
    )
    found = hits(murvex("search", "--json", "-r", "-e", "needle", tmp_path / "data"))
    assert [(Path(h["file"]).name, h["id"]) for h in found] == [("b.jsonl", 3)]
    only_tag = hits(murvex("search", "--json", "--fields", "tag", "-r", "-e", "needle", tmp_path / "data"))
    assert [h["text"] for h in only_tag] == ["needle"]
    shown = murvex("search", "--fields", "notes", "-r", "-e", "neddle at the far", tmp_path / "data").stdout.decode()
    assert "zeta-pkg" not in shown and "xxxx" in shown  # led by the first field searched: notes
    led = murvex("search", "--show", "name", "--fields", "notes", "-r", "-e", "far end", tmp_path / "data")
    assert "zeta-pkg … " in led.stdout.decode()
    directory = murvex("search", tmp_path / "data", "needle")
    assert directory.returncode == 2 and b"is a directory (-r searches the files in it)" in directory.stderr


@posix_only
def test_colour_follows_the_option_no_color_and_a_dumb_terminal(two_files):

    words, _ = two_files
    assert "\x1b[" in murvex("search", "--color", "always", words, "rhythm").stdout.decode()
    assert "\x1b[" not in murvex("search", words, "rhythm").stdout.decode()  # piped: plain

    assert "\x1b[1;33m" in on_terminal("search", words, "rhythm")
    assert "\x1b[" not in on_terminal("search", words, "rhythm", NO_COLOR="1")
    assert "\x1b[" not in on_terminal("search", words, "rhythm", TERM="dumb")
    assert "\x1b[" not in on_terminal("search", "--color", "never", words, "rhythm")


@posix_only
def test_interactive_queries_have_line_editing_and_leave_cleanly(two_files):
    import pty
    import select
    import time as clock

    words, _ = two_files
    pid, fd = pty.fork()
    if pid == 0:
        os.execve(sys.executable, [sys.executable, "-m", "murvex_tools", "search", str(words)], dict(os.environ))

    def read_until(marker, seconds=30):
        shown, deadline = b"", clock.monotonic() + seconds
        while marker not in shown and clock.monotonic() < deadline:
            if select.select([fd], [], [], 0.2)[0]:
                try:
                    shown += os.read(fd, 4096)
                except OSError:
                    break
        return shown

    def exit_status(seconds=30):
        deadline = clock.monotonic() + seconds
        while clock.monotonic() < deadline:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                return os.waitstatus_to_exitcode(status)
            clock.sleep(0.1)
        os.kill(pid, 9)
        return None

    try:
        assert b"query> " in read_until(b"query> ")
        os.write(fd, b"rhyx\x7fme\r")  # a typo taken back with backspace
        assert b"'rhyme': 1 result" in read_until(b"query> ")
        os.write(fd, b"\x1b[A\r")  # the arrow key brings the last query back
        assert b"'rhyme': 1 result" in read_until(b"query> ")
        # Ctrl-C mid-line leaves. Typed once the line is being read: a Ctrl-C that comes before Python's
        # readline waits for input (the prompt shown, the wait not begun) is lost until the next key, under
        # load a few times in a hundred; no one types that fast.
        os.write(fd, b"acc")
        read_until(b"acc", seconds=5)
        clock.sleep(0.2)
        os.write(fd, b"\x03")
        read_until(b"\n", seconds=5)
    finally:
        status = exit_status()
    assert status == 130


def test_a_saved_index_searches_as_the_files_do(two_files, tmp_path):
    words, people = two_files
    saved = tmp_path / "both.murvex"
    made = murvex("index", words, people, "-o", saved)
    assert made.returncode == 0 and b"saved 5 records of 2 file(s)" in made.stderr
    direct = hits(murvex("search", "--json", "-e", "rhythym", "-e", "Springfeld", words, people))
    from_saved = hits(murvex("search", "--json", saved, "rhythym", "Springfeld"))
    assert [(h["file"], h["line"], h["id"], h["text"], h["score"]) for h in from_saved] == [
        (h["file"], h["line"], h["id"], h["text"], h["score"]) for h in direct
    ]


def test_accents_and_case_fold_in_files_and_in_saved_indexes(tmp_path):
    cities = tmp_path / "cities.txt"
    cities.write_text("Αθήνα, Ελλάδα\nMünchen Hauptbahnhof\nOslo\n", encoding="utf-8")
    saved = tmp_path / "cities.murvex"
    assert murvex("index", cities, "-o", saved).returncode == 0
    for source in (cities, saved):
        found = hits(murvex("search", "--json", source, "ΑΘΗΝΑ"))
        # byte offsets into the line's own text, on whole characters
        assert [(h["line"], h["text"].encode()[h["start"] : h["end"]].decode()) for h in found] == [(1, "Αθήνα")]
    assert murvex("search", "--strict", cities, "ΑΘΗΝΑ").returncode == 1  # four byte edits from Αθήνα


def test_the_forgiving_mode_and_the_help(two_files):
    words, _ = two_files
    assert murvex("search", "--strict", words, "xhythm").returncode == 1  # the first letter is never in error
    assert hits(murvex("search", "--json", "--forgiving", words, "xhythm"))[0]["text"] == "rhythm"
    assert hits(murvex("search", "--json", words, "xhythm"))[0]["text"] == "rhythm"  # the words mode: the default
    shown = " ".join(murvex("search", "--help").stdout.decode().split())  # as wrapped to any width
    assert "--strict" in shown and "two swapped letters are one edit" in shown
    assert "examples:" in shown and "exit status: 0 something matched, 1 nothing matched" in shown


@pytest.mark.installed
def test_the_man_page_and_completions_are_made_from_the_parser_and_installed():
    pytest.importorskip("shtab", reason="shtab makes the completions (it comes with the test extra)")
    root = Path(__file__).resolve().parent.parent
    check = subprocess.run(
        [sys.executable, root / "scripts" / "make-docs.py", "--check"], capture_output=True, text=True
    )
    assert check.returncode == 0, check.stdout
    share = Path(sys.prefix) / "share"
    page = (share / "man" / "man1" / "murvex.1").read_text(encoding="utf-8")
    assert page.startswith(".TH MURVEX 1") and "\\-\\-forgiving" in page and ".SH EXIT STATUS" in page
    assert "murvex" in (share / "bash-completion" / "completions" / "murvex").read_text(encoding="utf-8")
    assert (share / "zsh" / "site-functions" / "_murvex").read_text(encoding="utf-8").startswith("#compdef murvex")


def test_json_lines_read_in_batches_keep_every_line_s_record_and_name_the_faulty_line(tmp_path):
    from murvex_tools import files

    rows = [{"id": i, "name": f"name {i}", "n": i, "note": "é\u2028" if i % 7 else None} for i in range(5000)]
    lines = [json.dumps(row) for row in rows]
    lines[2500] = "  " + lines[2500] + "  "  # whitespace around a value, and a blank line, are fine
    path = tmp_path / "many.jsonl"
    path.write_text("\n".join([*lines[:100], "", *lines[100:]]) + "\n", encoding="utf-8")
    source = files.read_source(path)
    expected = [" ".join(v for k, v in row.items() if isinstance(v, str) and k != "id") for row in rows]
    assert source.texts == expected and source.ids == list(range(5000))
    assert source.lines[99:102] == [100, 102, 103]

    # two values on one line never pass as two records, wherever the line is in its batch
    for at in (0, 3000, 4999):
        broken = [*lines[:at], '{"a": "x"}, {"b": "y"}', *lines[at + 1 :]]
        path.write_text("\n".join(broken) + "\n", encoding="utf-8")
        with pytest.raises(files.InputError, match=f"line {at + 1}: not valid JSON"):
            files.read_source(path)


def listed(process):
    """The record lines of a plain run: (where, text) after the score (blank on context lines and with -v)."""
    assert process.returncode in (0, 1), process.stderr.decode()
    rows = [line[9:].split(None, 1) for line in process.stdout.decode().splitlines() if line.startswith("  ")]
    return [(row[0], row[1] if len(row) > 1 else "") for row in rows]


def test_grep_options_count_invert_whole_words_and_only_the_match(tmp_path):
    words = tmp_path / "words.txt"
    words.write_text("seperate\n" * 150 + "party\nart\nsmart art\nseparately\nart deco\n", encoding="utf-8")
    count = murvex("search", "-c", "-i", words, "seperate")  # -i is accepted: case never counts
    assert count.stdout == b"'seperate': 151\n"  # every match, not max_results of them
    assert murvex("search", "-c", "-m", "20", words, "seperate").stdout == b"'seperate': 20\n"
    inverted = listed(murvex("search", "-v", words, "seperate"))
    assert [text for _, text in inverted] == ["party", "art", "smart art", "art deco"]
    assert murvex("search", "-c", "-v", words, "seperate").stdout == b"'seperate': 4\n"
    # a record whose best match is a whole word ("smart art" matches first inside "smart")
    assert [text for _, text in listed(murvex("search", "-w", words, "art"))] == ["art", "art deco"]
    assert [text for _, text in listed(murvex("search", "-x", words, "art"))] == ["art"]
    assert listed(murvex("search", "-o", "-m", "1", words, "separatly")) == [("154", "separately")]
    assert listed(murvex("search", "-o", "-H", words, "smart"))[0][0] == f"{words}:153"
    assert listed(murvex("search", "-h", "-e", "smart", words, words))[0][0] == "153"
    both = murvex("search", "-c", "-w", words, "art")
    assert both.returncode == 2 and b"-w goes with a list of hits, not with -c" in both.stderr


def test_context_lines_around_hits_of_plain_text(tmp_path, two_files):
    words, people = two_files
    shown = murvex("search", "-C", "1", words, "accomodate").stdout.decode().splitlines()
    assert [line.split()[-1] for line in shown[1:]] == ["rhythm", "accommodate", "rhyme"]
    assert [line.split()[0] for line in shown[1:]] == ["1", "0.875", "3"]
    assert murvex("search", "-A", "5", words, "rhyme").stdout.decode().count("\n") == 2  # the file ends
    refused = murvex("search", "-B", "1", people, "Ada")
    assert refused.returncode == 2 and b"plain-text files, not" in refused.stderr


def test_recursive_search_skips_what_is_not_text_and_says_so_unless_silenced(tmp_path):
    folder = tmp_path / "docs"
    folder.mkdir()
    (folder / "a.txt").write_text("garbage collector\n", encoding="utf-8")
    (folder / "b.gz").write_bytes(b"\x1f\x8b\x08garbage colector\xff\n")
    (folder / "c.bin").write_bytes(b"garbage collector\x00\x01\n")
    (folder / "d.txt").write_text("another garbage collector\n", encoding="utf-8")
    found = murvex("search", "-r", "-e", "garbage colector", folder)
    assert found.returncode == 0 and [Path(w.split(":")[0]).name for w, _ in listed(found)] == ["a.txt", "d.txt"]
    notes = found.stderr.decode().splitlines()
    assert len(notes) == 2 and "skipped" in notes[0] and "b.gz line 1: not UTF-8 text" in notes[0]
    assert "c.bin: a binary file" in notes[1]
    silent = murvex("search", "-r", "-s", "-e", "garbage colector", folder)
    assert silent.returncode == 0 and silent.stderr == b""
    assert murvex("search", "-e", "x", folder / "b.gz").returncode == 2  # a file named alone is an error


def test_the_match_is_highlighted_from_where_it_starts_and_the_lead_shows_when_cut_off(tmp_path):
    from murvex_tools.printer import excerpt

    packages = tmp_path / "packages.csv"
    long_tail = "maintained by the office team " * 4
    packages.write_text(f"name,description\nlibreoffice,{long_tail}spreadsheet (no GUI)\n", encoding="utf-8")
    shown = murvex("search", "--color", "always", packages, "libreofice").stdout.decode()
    assert "\x1b[1;33mlibreoffice\x1b[0m" in shown  # not l[ibreoffice]
    deep = listed(murvex("search", "-m", "1", packages, "spreadsheet (no GUI"))[0][1]
    assert deep.startswith("libreoffice … ") and "spreadsheet (no GUI)" in deep
    assert excerpt("Ada Lovelace London", 4, 12, "Ada", False) == "Ada Lovelace London"
    assert excerpt("Ada Lovelace London", 4, 12, "London", False, lead_always=True).startswith("London — Ada")


def test_a_saved_index_holds_its_file_list_and_output_paths_are_checked(tmp_path, two_files):
    words, _ = two_files
    empty_cells = tmp_path / "empty.csv"
    empty_cells.write_text("id,name\n1,\n2,\n", encoding="utf-8")
    saved = tmp_path / "saved.murvex"
    assert murvex("index", empty_cells, words, "-o", saved).returncode == 0
    assert os.listdir(tmp_path / "docs" if False else tmp_path).count("saved.murvex.files.json") == 0
    assert [h["text"] for h in hits(murvex("search", "--json", saved, "rhythym"))] == ["rhythm"]
    for bad_output, problem in [("/proc/x.idx", b"cannot write"), (str(tmp_path), b"is a directory")]:
        made = murvex("index", words, "-o", bad_output)
        assert made.returncode == 2 and problem in made.stderr and len(made.stderr.splitlines()) == 1

    # an index of murvex 0.x: no metadata, its file list beside it, checked against it
    from murvex_tools import ShardedMurvex

    index = ShardedMurvex()
    index.add_texts(["rhythm", "rhyme"])
    old = tmp_path / "old.murvex"
    index.save(old)
    good = {"version": 1, "sources": [{"name": "w.txt", "count": 2, "lines": None, "ids": None, "leads": None}]}
    sidecar = tmp_path / "old.murvex.files.json"
    sidecar.write_text(json.dumps(good), encoding="utf-8")
    assert [h["file"] for h in hits(murvex("search", "--json", "-m", "1", old, "rhythm"))] == ["w.txt"]
    source = good["sources"][0]
    for damaged in [
        {"sources": 3},
        {"sources": [[]]},
        None,
        {"sources": [source | {"count": 5}]},
        {"sources": [source | {"lines": []}]},
    ]:
        sidecar.write_text(json.dumps(damaged), encoding="utf-8")
        refused = murvex("search", old, "rhythm")
        assert (
            refused.returncode == 2
            and b"old.murvex.files.json: the saved index's file list is damaged" in refused.stderr
        )


@posix_only
def test_a_closed_pipe_and_a_late_ctrl_c_end_quietly(tmp_path):
    import signal
    import time as clock

    words = tmp_path / "words.txt"
    words.write_text("".join(f"word number {i}\n" for i in range(300_000)), encoding="utf-8")
    reader = subprocess.Popen(
        [sys.executable, "-m", "murvex_tools", "search", words, *[f"number {i}" for i in range(2000)]],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    reader.stdout.readline()
    reader.stdout.close()  # murvex ... | head -1
    assert reader.wait(timeout=120) == 0 and reader.communicate()[1] == b""
    for delay in (0.5, 0.8, 1.1, 1.4, 1.8):  # while loading, searching, or freeing the index at exit
        run = subprocess.Popen(
            [sys.executable, "-m", "murvex_tools", "search", words, "number 7"],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
        )
        clock.sleep(delay)
        run.send_signal(signal.SIGINT)
        said = run.communicate(timeout=60)[1]
        # (-SIGINT: the signal came before the interpreter took it over, as for any program)
        assert run.returncode in (0, 130, -signal.SIGINT) and b"Traceback" not in said, delay


def test_lines_over_the_limit_are_refused_in_every_format(tmp_path, monkeypatch):
    from murvex_tools import files

    monkeypatch.setattr(files, "MAX_LINE_BYTES", 100)
    monkeypatch.setattr(files, "CHUNK_BYTES", 16)  # lines that grow over several chunks
    for name, short, fits, over in [
        ("a.txt", "short", "x" * 100, "x" * 101),
        ("a.jsonl", '{"t": "s"}', json.dumps({"t": "x" * 91}), json.dumps({"t": "x" * 92})),
        ("a.csv", "short", "y" * 100, "y" * 101),
    ]:
        path = tmp_path / name
        head = "t\n" if name.endswith(".csv") else ""
        path.write_text(f"{head}{short}\n{fits}\n", encoding="utf-8")
        assert len(files.read_source(path).texts) == 2
        path.write_text(f"{head}{short}\n{fits}\n{over}\n{short}\n", encoding="utf-8")
        with pytest.raises(files.InputError, match=f"line {3 + bool(head)}: longer than 100 bytes"):
            files.read_source(path)
    broken = tmp_path / "broken.json"
    broken.write_text('[{"t": "x"},\n {"t": "unterminated}]\n', encoding="utf-8")
    with pytest.raises(files.InputError, match=r"line 2: not valid JSON \(Invalid control character at column 23\)"):
        files.read_source(broken)
