"""A bounded load test of `murvex serve` on 127.0.0.1: clients x queries over a file of records.

    python bench/serve_load.py                        1,000,000 records, 8 clients x 500 queries
    python bench/serve_load.py --records 100000 --clients 4 --queries 100
    python bench/serve_load.py --browser /usr/lib/chromium/chromium    and keystroke to results in the page

Starts the server on a free port, waits for it, sends every client's queries
over one kept-alive connection each, stops the server with SIGTERM and
prints p50/p99 latency, throughput, the errors and the server's resident
memory before and after (from /stats); with --browser, also the time from
a keystroke to its results in the page, typing 20 queries a key at a time
in headless chromium (Playwright). Exits 1 when a request failed.
"""

from __future__ import annotations

import argparse
import http.client
import json
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from urllib.parse import quote

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "examples")]

import corpus  # noqa: E402
from queries import query_mix  # noqa: E402


def write_records(path: Path, count: int) -> list[str]:
    texts = [corpus.text_of(record) for record in corpus.records(count)]
    path.write_text("\n".join(texts) + "\n", encoding="utf-8")
    return texts


def start_server(path: Path, *extra: str) -> tuple[subprocess.Popen[str], int, threading.Thread]:
    """The server on a free port, its port, and the thread that drains what it says after starting."""
    command = [sys.executable, "-m", "murvex_tools", "serve", str(path), "--port", "0", *extra]
    server = subprocess.Popen(command, stderr=subprocess.PIPE, text=True)
    assert server.stderr is not None
    for line in server.stderr:
        found = re.search(r"serving at http://127\.0\.0\.1:(\d+)/", line)
        if found:
            drain = threading.Thread(target=server.stderr.read)
            drain.start()
            return server, int(found.group(1)), drain
    server.stderr.close()
    raise RuntimeError(f"the server did not start (exit status {server.wait()})")


def get(connection: http.client.HTTPConnection, path: str) -> tuple[int, bytes]:
    connection.request("GET", path)
    response = connection.getresponse()
    return response.status, response.read()


def load(port: int, queries: list[str], clients: int, per_client: int) -> dict[str, object]:
    latencies: list[float] = []
    errors: list[str] = []
    lock = threading.Lock()

    def client(number: int) -> None:
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        mine = []
        for n in range(per_client):
            query = queries[(number * per_client + n) % len(queries)]
            began = time.perf_counter()
            try:
                status, body = get(connection, "/search?q=" + quote(query))
                if status != 200 or "hits" not in json.loads(body):
                    errors.append(f"{status}: {body[:100]!r}")
            except (OSError, http.client.HTTPException, ValueError) as error:
                errors.append(repr(error))
                connection.close()
                connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
            mine.append((time.perf_counter() - began) * 1000)
        connection.close()
        with lock:
            latencies.extend(mine)

    began = time.perf_counter()
    threads = [threading.Thread(target=client, args=(n,)) for n in range(clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    seconds = time.perf_counter() - began
    latencies.sort()
    return {
        "requests": len(latencies),
        "errors": errors,
        "p50_ms": statistics.median(latencies),
        "p99_ms": latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))],
        "per_second": len(latencies) / seconds,
    }


def keystroke_latency(port: int, queries: list[str], chromium: str) -> dict[str, float]:
    """Types each query into the page in headless chromium, a key at a time, waiting for each key's results:
    the page's own figure from the keystroke to the results it shows, p50 and p90 over every key."""
    from playwright.sync_api import sync_playwright

    latencies = []
    with sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=chromium, args=["--no-sandbox"])
        page = browser.new_page()
        page.goto(f"http://127.0.0.1:{port}/")
        page.wait_for_selector('#about:has-text("records")')
        for query in queries:
            page.fill("#query", "")
            for n in range(1, len(query) + 1):
                page.keyboard.type(query[n - 1])
                if query[:n].strip():
                    shown = json.dumps(query[:n])  # a CSS string
                    page.wait_for_selector(f"#status[data-query={shown}]", timeout=30_000)
                    latencies.append(float(page.get_attribute("#status", "data-latency-ms") or "nan"))
        browser.close()
    latencies.sort()
    return {
        "keys": len(latencies),
        "key_p50_ms": statistics.median(latencies),
        "key_p90_ms": latencies[int(len(latencies) * 0.9)],
    }


def resident(port: int) -> int:
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    try:
        return int(json.loads(get(connection, "/stats")[1])["memory"]["resident_bytes"])
    finally:
        connection.close()


def run(
    records: int, clients: int, per_client: int, extra: list[str], chromium: str | None = None
) -> dict[str, object]:
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "records.txt"
        texts = write_records(path, records)
        queries = query_mix(texts, count=200, seed=11)
        started = time.perf_counter()
        server, port, drain = start_server(path, *extra)
        result: dict[str, object] = {"records": records, "start_s": time.perf_counter() - started}
        try:
            load(port, queries, clients, 20)  # warm up: threads, pages, connections
            before = resident(port)
            result |= load(port, queries, clients, per_client)
            after = resident(port)
            result |= {"resident_before_mib": before / 2**20, "resident_after_mib": after / 2**20}
            if chromium:
                result |= keystroke_latency(port, queries[:20], chromium)
        finally:
            server.terminate()
            result["exit_status"] = server.wait(timeout=30)
            drain.join()
            server.stderr.close()  # type: ignore[union-attr]
    return result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--clients", type=int, default=8)
    parser.add_argument("--queries", type=int, default=500, help="queries per client")
    parser.add_argument("--browser", metavar="CHROMIUM", help="also time keystrokes in the page in this chromium")
    parser.add_argument("server_options", nargs="*", help="options for murvex serve (after --)")
    args = parser.parse_args()
    result = run(args.records, args.clients, args.queries, args.server_options, args.browser)
    errors = result.pop("errors")
    for name, value in result.items():
        print(f"{name:>20}: {value:,.1f}" if isinstance(value, float) else f"{name:>20}: {value:,}")
    print(f"{'errors':>20}: {len(errors)}", *errors[:5], sep="\n")  # type: ignore[arg-type]
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
