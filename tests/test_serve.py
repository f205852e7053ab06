"""murvex serve: the JSON API through the framework's test client, the command in a subprocess, the page in
a real browser (Debian's chromium driven by Playwright) and a bounded load test on 127.0.0.1."""

import contextlib
import json
import os
import re
import signal
import subprocess
import sys
import threading
import urllib.request
from pathlib import Path

import pytest

pytest.importorskip("starlette", reason="murvex[serve] is not installed")
from starlette.testclient import TestClient

from conftest import posix_only
from murvex_tools import cli
from murvex_tools.corpus import load as load_corpus
from murvex_tools.serve import create_app, is_loopback, warnings

HERE = Path(__file__).resolve().parent
RECORDS = [
    "John Smith, 12 Baker Street, London",
    "<script>alert('owned')</script> Jane Doe",
    "Zoë Müller, Straße 5, Zürich",
    "rhythm and blues records",
    "accommodation in Edinburgh",
]


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    path = tmp_path_factory.mktemp("serve") / "people.txt"
    path.write_text("\n".join(RECORDS) + "\n", encoding="utf-8")
    return load_corpus([str(path)], cli.parse(["serve", str(path)]), None)


def client_of(corpus, **options):
    app = create_app(corpus, **options)
    return TestClient(app, raise_server_exceptions=False)


@pytest.fixture(scope="module")
def client(corpus):
    return client_of(corpus)


def test_search_answers_hits_with_their_place_text_and_whole_character_span(client):
    answer = client.get("/search", params={"q": "Muller"}).json()
    assert answer["query"] == "Muller" and answer["took_ms"] >= 0
    [hit] = answer["hits"]
    assert hit["id"] == 2 and hit["line"] == 3 and hit["file"].endswith("people.txt")
    assert hit["text"] == RECORDS[2] and (hit["start"], hit["end"]) == (5, 12)  # the stretch that matched
    begin, end = hit["span"]  # characters
    assert hit["text"][begin:end] == "Müller"
    assert client.get("/search", params={"q": ""}).json()["hits"] == []


def test_settings_apply_to_one_request_and_leave_the_index_alone(client, corpus):
    swapped = {"q": "ryhthm", "max_errors": "1"}  # a swap is two edits, or one when forgiving
    assert client.get("/search", params=swapped | {"forgiving": "false", "words": "false"}).json()["hits"] == []
    forgiving = client.get("/search", params=swapped | {"words": "false"}).json()["hits"]
    assert [hit["text"] for hit in forgiving] == [RECORDS[3]]
    hit = client.get("/search", params={"q": "strase muller"}).json()["hits"][0]  # the words mode: the default
    assert [hit["text"][slice(*span)] for span in hit["spans"]] == ["Straße", "Müller"]
    strict = {"forgiving": "false", "words": "false"}
    assert len(client.get("/search", params={"q": "e"} | strict).json()["hits"]) == 5
    assert len(client.get("/search", params={"q": "e", "max_results": "2"} | strict).json()["hits"]) == 2
    assert client.get("/search", params={"q": "Smiht", "max_errors": "0"}).json()["hits"] == []
    assert client.get("/search", params={"q": "Smiht", "threshold": "1.0"}).json()["hits"] == []
    assert client.get("/search", params={"q": "Smiht"}).json()["hits"][0]["id"] == 0
    index = corpus.index
    settings = (index.max_results, index.max_errors, index.threshold, index.forgiving, index.words)
    assert settings == (20, 2, 0.25, True, True)


@pytest.mark.parametrize(
    ("params", "status", "parameter", "words"),
    [
        ({}, 400, "q", "missing"),
        ({"q": "a", "max_results": "many"}, 400, "max_results", "whole number"),
        ({"q": "a", "max_results": "101"}, 400, "max_results", "from 0 to 100"),
        ({"q": "a", "max_errors": "-1"}, 400, "max_errors", "from 0 to 3"),
        ({"q": "a", "threshold": "nan"}, 400, "threshold", "0.0 to 1.0"),
        ({"q": "a", "threshold": "1.5"}, 400, "threshold", "0.0 to 1.0"),
        ({"q": "a", "forgiving": "perhaps"}, 400, "forgiving", "true or false"),
        ({"q": "a", "words": "2"}, 400, "words", "true or false"),
        ({"q": "a", "query": "b"}, 400, "query", "unknown parameter"),
        ([("q", "a"), ("q", "b")], 400, "q", "more than once"),
        ({"q": "x" * 1025}, 413, "q", "at most 1,024 bytes"),
        ({"q": "\u00e9" * 512 + "x"}, 413, "q", "1,025 bytes long"),
        ("q=%ED%A0%80", 400, "q", "not UTF-8 text"),
    ],
)
def test_a_bad_parameter_is_named_in_a_json_error(client, params, status, parameter, words):
    response = client.get("/search?" + params) if isinstance(params, str) else client.get("/search", params=params)
    assert response.status_code == status
    assert response.json()["parameter"] == parameter and words in response.json()["error"]


def test_the_highlight_covers_the_stretch_that_matched(client):
    """A letter left out of the query: the engine's start is one byte late, the page's span is not."""
    for forgiving, words in (("false", "false"), ("true", "false"), ("true", "true")):
        (hit,) = client.get("/search", params={"q": "acomodation", "forgiving": forgiving, "words": words}).json()[
            "hits"
        ]
        assert hit["text"][slice(*hit["span"])] == "accommodation" and hit["start"] == 0


def test_the_longest_query_is_searched_and_oversized_headers_are_refused(client):
    assert client.get("/search", params={"q": "x" * 1024}).status_code == 200
    assert client.get("/search", params={"q": "\u00e9" * 512}).status_code == 200  # 1,024 bytes in 512 characters
    refused = client.get("/search", params={"q": "x"}, headers={"x-filler": "y" * 100_000})
    assert refused.status_code == 431 and "header lines are over 16,384 bytes" in refused.json()["error"]
    assert client.get("/search", params={"q": "x"}, headers={"x-filler": "y" * 8_000}).status_code == 200


@posix_only
def test_resident_memory_without_proc_is_the_peak_in_bytes_on_every_system(monkeypatch):
    import resource

    from murvex_tools import _process

    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

    def no_proc(*args, **kwargs):
        raise FileNotFoundError("/proc/self/statm")

    monkeypatch.setattr(_process, "open", no_proc, raising=False)
    for system, unit in [("darwin", 1), ("linux", 1024), ("freebsd14", 1024)]:
        monkeypatch.setattr(_process.sys, "platform", system)
        assert peak * unit <= _process.resident_bytes() <= (peak + 64 * 1024 // unit + 1) * unit, system


def test_other_paths_and_methods_and_faults_answer_json_without_a_traceback(corpus, monkeypatch):
    client = client_of(corpus)
    assert client.get("/nowhere").status_code == 404 and "/nowhere" in client.get("/nowhere").json()["error"]
    assert client.post("/search?q=a").json() == {"error": "POST is not served here: use GET"}
    assert client.get("/health").json() == {"status": "ok", "records": 5}
    stats = client.get("/stats").json()
    assert stats["records"] == 5 and stats["files"][0]["records"] == 5 and stats["memory"]["resident_bytes"] > 0
    settings = {"max_results": 20, "max_errors": 2, "threshold": 0.25, "forgiving": True, "words": True}
    assert stats["settings"] == settings

    def broken(places):
        raise RuntimeError("secret detail of the fault")

    monkeypatch.setattr(corpus, "texts", broken)
    response = client.get("/search", params={"q": "Smith"})
    assert response.status_code == 500 and "secret" not in response.text and "Traceback" not in response.text


def test_the_page_comes_from_the_package_under_a_strict_policy_and_cors_is_same_origin_unless_asked(corpus):
    client = client_of(corpus)
    page = client.get("/")
    assert page.headers["content-type"].startswith("text/html") and '<script src="/page.js"' in page.text
    assert "default-src 'self'" in page.headers["content-security-policy"]
    for path in ("/page.js", "/page.css", "/favicon.svg"):
        assert client.get(path).status_code == 200
    asked = {"Origin": "https://example.org"}
    assert "access-control-allow-origin" not in client.get("/search?q=Smith", headers=asked).headers
    shared = client_of(corpus, cors="https://example.org").get("/search?q=Smith", headers=asked)
    assert shared.headers["access-control-allow-origin"] == "https://example.org"


def test_hosts_beyond_this_machine_and_any_origin_are_warned_of():
    assert is_loopback("127.0.0.1") and is_loopback("::1") and is_loopback("localhost")
    assert not is_loopback("0.0.0.0") and not is_loopback("192.0.2.7") and not is_loopback("example.org")
    assert warnings("127.0.0.1", None) == []
    [host_warning, cors_warning] = warnings("0.0.0.0", "*")
    assert "no authentication" in host_warning and "any web page" in cors_warning


# --- the command -----------------------------------------------------------------------------------


@contextlib.contextmanager
def serving(path, *options):
    """`murvex serve` on a free port: the process, its URL and what it said up to serving; stopped at the end."""
    server = subprocess.Popen(
        [sys.executable, "-m", "murvex_tools", "serve", str(path), "--port", "0", *options],
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        said = []
        for line in server.stderr:
            said.append(line)
            found = re.search(r"serving at (http://127\.0\.0\.1:\d+/)", line)
            if found:
                yield server, found.group(1), said
                break
        else:
            raise AssertionError("the server did not start: " + "".join(said))
    finally:
        if server.poll() is None:
            server.terminate()
        server.wait(timeout=30)
        server.stderr.close()


@pytest.fixture
def records_file(tmp_path):
    path = tmp_path / "people.txt"
    path.write_text("\n".join(RECORDS) + "\n", encoding="utf-8")
    return path


@posix_only
@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_the_server_stops_cleanly_on_a_signal(records_file, sig):
    with serving(records_file) as (server, url, said):
        assert "5 records of 1 file(s) loaded" in said[0]
        with urllib.request.urlopen(url + "search?q=Jonh+Smith") as response:
            assert json.load(response)["hits"][0]["id"] == 0
        server.send_signal(sig)
        rest = server.stderr.read()
        assert server.wait(timeout=30) == 0
    assert f"stopped by {sig.name}" in rest and "Traceback" not in rest


def test_the_command_refuses_a_busy_port_a_bad_origin_and_a_missing_extra(records_file):
    import socket

    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = str(taken.getsockname()[1])
        busy = subprocess.run(
            [sys.executable, "-m", "murvex_tools", "serve", str(records_file), "--port", port],
            capture_output=True,
            text=True,
        )
    assert busy.returncode == 2 and f"cannot listen on 127.0.0.1:{port}" in busy.stderr
    origin = subprocess.run(
        [sys.executable, "-m", "murvex_tools", "serve", str(records_file), "--cors", "example.org"],
        capture_output=True,
        text=True,
    )
    assert origin.returncode == 2 and "--cors takes an origin" in origin.stderr
    without = subprocess.run(
        [
            sys.executable,
            "-c",
            "import sys; sys.modules['starlette'] = None; from murvex_tools.cli import main; "
            f"sys.exit(main(['serve', {str(records_file)!r}]))",
        ],
        capture_output=True,
        text=True,
    )
    assert without.returncode == 2 and "pip install starlette uvicorn" in without.stderr


# --- a real browser -------------------------------------------------------------------------------


def chromium_path():
    for path in ("/usr/lib/chromium/chromium", "/usr/bin/chromium", "/usr/bin/chromium-browser"):
        if os.access(path, os.X_OK):
            return path
    return None


@pytest.fixture
def browser():
    if os.environ.get("MURVEX_SANITIZED"):
        pytest.skip("the browser does not run under the sanitizers' preloaded runtime")
    sync_api = pytest.importorskip("playwright.sync_api", reason="Playwright's Python package is not installed")
    executable = chromium_path()
    if executable is None:
        pytest.skip("no chromium here (Debian's package chromium; `make build` installs it where it can)")
    with sync_api.sync_playwright() as playwright:
        launched = playwright.chromium.launch(executable_path=executable, args=["--no-sandbox"])
        yield launched
        launched.close()


def test_the_page_searches_as_one_types_highlights_escapes_and_drops_stale_answers(records_file, browser, tmp_path):
    with serving(records_file) as (_, url, _):
        page = browser.new_page()
        problems = []
        page.on("console", lambda message: message.type in ("error", "warning") and problems.append(message.text))
        page.on("pageerror", lambda error: problems.append(str(error)))
        page.goto(url)
        page.wait_for_selector('#about:has-text("5 records in 1 file")')
        assert page.input_value("#max_results") == "20"

        page.type("#query", "Jonh Smith", delay=20)  # a typo: two letters swapped
        page.wait_for_selector('#status[data-query="Jonh Smith"]')
        first = page.locator("#results li").first
        assert first.locator("mark").all_inner_texts() == ["John", "Smith"]  # each word of the query
        assert page.input_value("#mode") == "words"
        assert "people.txt:1" in first.locator(".where").inner_text()
        float(page.get_attribute("#status", "data-latency-ms"))

        page.keyboard.press("ArrowDown")
        assert first.get_attribute("aria-selected") == "true"
        page.keyboard.press("Escape")
        page.locator("#results li").first.wait_for(state="detached")

        # A record holding markup is shown as its text.
        page.fill("#query", "<script>alert")
        page.wait_for_selector('#status[data-query="<script>alert"]')
        assert "<script>alert('owned')</script>" in page.locator("#results li .text").first.inner_text()
        assert page.locator("#results script").count() == 0

        # The answer to an earlier keystroke that arrives last is not shown.
        held = []
        page.route(
            "**/search?*", lambda route: held.append(route) if "q=Zo" in route.request.url else route.continue_()
        )
        page.fill("#query", "Zoë")
        page.wait_for_timeout(300)  # its search is sent, and held
        page.fill("#query", "rhythm")
        page.wait_for_selector('#status[data-query="rhythm"]')
        assert len(held) == 1
        with contextlib.suppress(Exception):  # the page may have aborted that request already
            held[0].fulfill(json={"query": "Zoë", "took_ms": 0, "hits": []})
        page.wait_for_timeout(300)
        assert page.get_attribute("#status", "data-query") == "rhythm"
        assert "rhythm" in page.locator("#results li mark").first.inner_text()

        page.screenshot(path=str(tmp_path / "page.png"))
        assert problems == []


# --- under load ---------------------------------------------------------------------------------------


def test_eight_clients_get_answers_without_errors_and_memory_stays_flat():
    """A small load: 1,000,000 records are make bench-serve's."""
    sys.path.insert(0, str(HERE.parent / "bench"))
    import serve_load

    result = serve_load.run(20_000, clients=8, per_client=250, extra=[])
    print({name: value for name, value in result.items() if name != "errors"})
    assert result["errors"] == [] and result["requests"] == 8 * 250 and result["exit_status"] == 0
    if not os.environ.get("MURVEX_SANITIZED"):  # AddressSanitizer keeps freed memory in its quarantine
        assert result["resident_after_mib"] <= result["resident_before_mib"] * 1.05 + 8


def test_a_saved_index_is_served_with_the_settings_of_the_command_line(records_file, tmp_path):
    saved = tmp_path / "people.murvex"
    made = subprocess.run(
        [sys.executable, "-m", "murvex_tools", "index", str(records_file), "-o", str(saved)],
        capture_output=True,
        text=True,
    )
    assert made.returncode == 0, made.stderr
    args = cli.parse(["serve", str(saved), "-m", "3", "--max-errors", "1", "--forgiving"])
    client = client_of(load_corpus(args.files, args, None))
    assert client.get("/stats").json()["settings"] == {
        "max_results": 3,
        "max_errors": 1,
        "threshold": 0.25,
        "forgiving": True,
        "words": False,
    }
    [hit] = client.get("/search", params={"q": "ryhthm"}).json()["hits"]  # one swap: one edit when forgiving
    assert (hit["text"], hit["file"], hit["line"]) == (RECORDS[3], str(records_file), 4)


def test_the_server_answers_other_requests_while_a_search_scans(corpus, monkeypatch):
    import anyio
    import httpx2

    answered = threading.Event()
    search_many = corpus.index.search_many

    def waits_for_health(queries, **settings):  # a scan that lasts until /health has been answered
        assert answered.wait(10), "/health waited for the search: the event loop is blocked"
        return search_many(queries, **settings)

    monkeypatch.setattr(corpus.index, "search_many", waits_for_health)

    async def both():
        transport = httpx2.ASGITransport(app=create_app(corpus))
        async with httpx2.AsyncClient(transport=transport, base_url="http://murvex") as client:
            found = {}

            async def searching():
                found["search"] = await client.get("/search", params={"q": "Smith"})

            async with anyio.create_task_group() as group:
                group.start_soon(searching)
                await anyio.sleep(0.05)
                found["health"] = await client.get("/health")
                answered.set()
        return found

    found = anyio.run(both)
    assert found["health"].json()["status"] == "ok"
    assert found["search"].json()["hits"][0]["id"] == 0


def test_the_listening_socket_says_it_is_tcp_so_that_answers_are_not_held_back():
    # asyncio turns Nagle's algorithm off only on sockets whose protocol is TCP; on one made with protocol 0
    # every answer on a kept-alive connection waited 40 ms for the client's delayed acknowledgement.
    import socket

    from murvex_tools.serve import listening_socket

    with listening_socket("127.0.0.1", 0) as server, socket.create_connection(server.getsockname()) as client:
        accepted, _ = server.accept()
        with accepted:
            assert accepted.proto == socket.IPPROTO_TCP
        assert client.fileno() >= 0


class _GatedIndex:
    """An index whose first scan waits until `arrived` requests wait behind it, and that notes every scan."""

    def __init__(self, index, arrived):
        self.index, self.arrived, self.scans = index, arrived, []
        self.gate = threading.Event()

    def search_many(self, queries, **settings):
        if not self.scans:
            assert self.gate.wait(10)
        self.scans.append((list(queries), settings))
        if "bad" in queries:
            raise ValueError("one bad query")
        return self.index.search_many(queries, **settings)

    def search(self, query, **settings):
        if query == "bad":
            raise ValueError("the bad query itself")
        return self.index.search(query, **settings)


def test_requests_arriving_during_a_scan_share_the_next_one_and_keep_their_own_settings_and_errors(corpus):
    import anyio

    from murvex_tools.serve import Batcher

    gated = _GatedIndex(corpus.index, 5)
    batcher = Batcher(gated)
    asked = [("Smith", {}), ("Muller", {"max_results": 1}), ("rythm", {}), ("bad", {}), ("Zurich", {"max_results": 1})]
    answers = {}

    async def ask(query, settings):
        try:
            answers[query] = (await batcher.search(query, settings))[0]
        except ValueError as error:
            answers[query] = error

    async def all_of_them():
        async with anyio.create_task_group() as group:
            group.start_soon(ask, "Edinburgh", {})  # the first scan, held until the others wait
            await anyio.sleep(0.05)
            for query, settings in asked:
                group.start_soon(ask, query, settings)
            await anyio.sleep(0.05)
            gated.gate.set()

    anyio.run(all_of_them)
    batcher.stop()
    # One scan for the first request, then one per group of settings for everything that came meanwhile.
    assert [sorted(queries) for queries, _ in gated.scans] == [
        ["Edinburgh"],
        ["Smith", "bad", "rythm"],
        ["Muller", "Zurich"],
    ]
    for query, settings in [("Edinburgh", {}), *asked]:
        if query == "bad":
            assert str(answers[query]) == "the bad query itself"  # its own error, the others unharmed
        else:
            assert answers[query] == corpus.index.search(query, **settings), query
    batcher.stop()  # a second stop does nothing

    async def again():
        return (await batcher.search("Smith", {}))[0]

    assert anyio.run(again) == corpus.index.search("Smith")  # a search after a stop starts another thread
    batcher.stop()
