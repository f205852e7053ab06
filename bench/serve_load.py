"""A bounded load test of `murvex serve` on 127.0.0.1: clients × queries over a file of records.

    python bench/serve_load.py                        1,000,000 records, 8 clients × 500 queries
    python bench/serve_load.py --records 100000 --clients 4 --queries 100

Starts the server on a free port, waits for it, sends every client's queries
over one kept-alive connection each, stops the server with SIGTERM and
prints p50/p99 latency, throughput, the errors and the server's resident
memory before and after (from /stats). Exits 1 when a request failed.
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


def start_server(path: Path, *extra: str) -> tuple[subprocess.Popen[str], int]:
    command = [sys.executable, "-m", "murvex_tools", "serve", str(path), "--port", "0", *extra]
    server = subprocess.Popen(command, stderr=subprocess.PIPE, text=True)
    assert server.stderr is not None
    for line in server.stderr:
        found = re.search(r"serving at http://127\.0\.0\.1:(\d+)/", line)
        if found:
            threading.Thread(target=server.stderr.read, daemon=True).start()  # keep the pipe drained
            return server, int(found.group(1))
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


def resident(port: int) -> int:
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    return int(json.loads(get(connection, "/stats")[1])["memory"]["resident_bytes"])


def run(records: int, clients: int, per_client: int, extra: list[str]) -> dict[str, object]:
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "records.txt"
        texts = write_records(path, records)
        queries = query_mix(texts, count=200, seed=11)
        started = time.perf_counter()
        server, port = start_server(path, *extra)
        try:
            result: dict[str, object] = {"records": records, "start_s": time.perf_counter() - started}
            load(port, queries, clients, 20)  # warm up: threads, pages, connections
            before = resident(port)
            result |= load(port, queries, clients, per_client)
            after = resident(port)
            result |= {"resident_before_mib": before / 2**20, "resident_after_mib": after / 2**20}
        finally:
            server.terminate()
            result["exit_status"] = server.wait(timeout=30)
    return result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--clients", type=int, default=8)
    parser.add_argument("--queries", type=int, default=500, help="queries per client")
    parser.add_argument("server_options", nargs="*", help="options for murvex serve (after --)")
    args = parser.parse_args()
    result = run(args.records, args.clients, args.queries, args.server_options)
    errors = result.pop("errors")
    for name, value in result.items():
        print(f"{name:>20}: {value:,.1f}" if isinstance(value, float) else f"{name:>20}: {value:,}")
    print(f"{'errors':>20}: {len(errors)}", *errors[:5], sep="\n")  # type: ignore[arg-type]
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
