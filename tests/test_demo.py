import sys
from pathlib import Path

import pytest

from conftest import run_python

DEMO = Path(__file__).resolve().parent.parent / "examples" / "demo.py"


def run_demo(*args):
    return run_python(
        f"import sys, runpy; sys.argv = {[str(DEMO), *map(str, args)]!r}; "
        f"runpy.run_path({str(DEMO)!r}, run_name='__main__')"
    )


@pytest.mark.parametrize(
    "suffix, content",
    [
        (".jsonl", '{"name": "Ada Lovelace", "city": "London"}\n\n{"name": "Alan Turing", "id": 17}\n'),
        (".csv", "name,city\nAda Lovelace,London\nAlan Turing,Wilmslow\n"),
    ],
)
def test_demo_searches_a_users_file(tmp_path, suffix, content):
    data = tmp_path / f"people{suffix}"
    data.write_text(content, encoding="utf-8")
    process = run_demo("--data", data, "--query", "alan turnig", "--query", "lovelace")
    assert process.returncode == 0, process.stderr
    assert "added 2 records" in process.stdout
    assert "[Lovelace]" in process.stdout
    assert "'alan turnig': 1 result" in process.stdout


@pytest.mark.parametrize(
    "content, message",
    [
        ('{"a": "x"}\n{broken\n', "line 2: not valid JSON"),
        ("[1, 2]\n", "expected a JSON object"),
        ("", "empty, where a CSV file needs a header row"),
    ],
)
def test_demo_reports_bad_files_in_one_line(tmp_path, content, message):
    data = tmp_path / "bad.jsonl" if content.startswith(("{", "[")) else tmp_path / "bad.csv"
    data.write_text(content, encoding="utf-8")
    process = run_demo("--data", data)
    assert process.returncode == 2
    assert message in process.stderr
    assert "Traceback" not in process.stderr
    assert len(process.stderr.strip().splitlines()) == 1


def test_demo_refuses_bad_settings_and_missing_files(tmp_path):
    for args, message in [
        (("--max-errors", "7"), "max_errors must be between 0 and 3"),
        (("--data", tmp_path / "missing.csv"), "cannot read"),
    ]:
        process = run_demo(*args)
        assert process.returncode == 2
        assert message in process.stderr and "Traceback" not in process.stderr


def test_corpus_is_deterministic():
    sys.path.insert(0, str(DEMO.parent))
    try:
        import corpus
    finally:
        sys.path.pop(0)
    first, second = corpus.records(500), corpus.records(500)
    assert first == second
    assert [r["id"] for r in first] == list(range(500))
    assert all(40 <= len(corpus.text_of(r).encode()) <= 200 for r in first)
