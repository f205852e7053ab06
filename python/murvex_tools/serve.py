"""murvex serve: a search-as-you-type page and a JSON API over the records of files.

    GET /             the page (murvex_tools/page/), searching as one types
    GET /search?q=…   {"query", "took_ms", "hits": [{"id", "score", "start", "end", "span", "text", "file", "line"}]}
                      optional: max_results, max_errors, threshold, forgiving, words (this request only);
                      "spans" gives each query word's characters in the words mode
    GET /health       {"status": "ok", "records"}
    GET /stats        {"records", "shards", "files", "memory", "settings", ...}

Errors are JSON, {"error": "...", "parameter": "..."} where a parameter is at
fault: 400 for a bad parameter, 413 for a query over MAX_QUERY_BYTES, 404 for
an unknown path, 405 for a method other than GET; never a traceback.

Searches run in a thread of their own, without the interpreter lock, on the
companion's thread pool: the event loop only parses requests and writes
responses, so it never waits for a scan. The requests that arrive while a scan
runs are gathered into the next one (search_many reads the records once for
all of them), each with its own settings and hits.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import ipaddress
import math
import queue
import signal
import socket
import sys
import threading
import time
from collections.abc import AsyncIterator, Callable, Iterator
from dataclasses import dataclass
from importlib import resources
from types import FrameType
from typing import IO, Any, cast
from urllib.parse import parse_qsl, urlsplit

import anyio
import uvicorn
from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.middleware import Middleware
from starlette.middleware.cors import CORSMiddleware
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from murvex_tools._native import Hit, usable_cpus
from murvex_tools._process import resident_bytes
from murvex_tools.corpus import Corpus, load, mode_of
from murvex_tools.files import InputError
from murvex_tools.spans import char_span, outer_span, shown_spans

MAX_QUERY_BYTES = 1024  # the engine reads the first 32 bytes; longer queries are mistakes, not searches
MAX_HEADER_BYTES = 16 * 1024  # a request's header lines, all together (browsers send a few hundred bytes)
SETTINGS = ("max_results", "max_errors", "threshold", "forgiving", "words")
PAGE_FILES = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/page.js": ("page.js", "text/javascript; charset=utf-8"),
    "/page.css": ("page.css", "text/css; charset=utf-8"),
    "/favicon.svg": ("favicon.svg", "image/svg+xml"),
}
# The page loads nothing but its own files, and no other site may frame it.
SECURITY_HEADERS = [
    (b"content-security-policy", b"default-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'"),
    (b"x-content-type-options", b"nosniff"),
    (b"referrer-policy", b"no-referrer"),
    (b"x-frame-options", b"DENY"),
]


class BadParameter(HTTPException):
    def __init__(self, parameter: str, message: str, status: int = 400) -> None:
        super().__init__(status, message)
        self.parameter = parameter


# --- the parameters of a search -------------------------------------------------------------


def _integer(name: str, value: str, low: int, high: int) -> int:
    try:
        number = int(value)
    except ValueError:
        raise BadParameter(name, f"{name} must be a whole number from {low} to {high}, not {value[:40]!r}") from None
    if not low <= number <= high:
        raise BadParameter(name, f"{name} must be from {low} to {high}, not {number}")
    return number


def _fraction(name: str, value: str) -> float:
    try:
        number = float(value)
    except ValueError:
        number = math.nan
    if not 0.0 <= number <= 1.0:  # also refuses nan
        raise BadParameter(name, f"{name} must be a number from 0.0 to 1.0, not {value[:40]!r}")
    return number


def _flag(name: str, value: str) -> bool:
    lowered = value.lower()
    if lowered in ("1", "true", "yes", "on"):
        return True
    if lowered in ("0", "false", "no", "off", ""):
        return False
    raise BadParameter(name, f"{name} must be true or false, not {value[:40]!r}")


def search_parameters(request: Request) -> tuple[str, dict[str, Any]]:
    """The query and the settings of this request, every parameter checked; BadParameter names the first fault."""
    params = request.query_params
    raw = request.scope.get("query_string", b"").decode("latin-1")
    for name, value in parse_qsl(raw, keep_blank_values=True, encoding="latin-1"):
        try:
            value.encode("latin-1").decode("utf-8")
        except UnicodeDecodeError:
            raise BadParameter(name[:40], f"{name[:40]} is not UTF-8 text") from None
    for name in params:
        if name != "q" and name not in SETTINGS:
            raise BadParameter(name, f"unknown parameter {name[:40]!r}: use q, {', '.join(SETTINGS)}")
        if len(params.getlist(name)) > 1:
            raise BadParameter(name, f"{name} is given more than once")
    if "q" not in params:
        raise BadParameter("q", "q is missing: /search?q=your+query")
    query = params["q"]
    size = len(query.encode("utf-8", "surrogatepass"))
    if size > MAX_QUERY_BYTES:
        raise BadParameter("q", f"q is {size:,} bytes long; queries are at most {MAX_QUERY_BYTES:,} bytes", 413)
    settings: dict[str, Any] = {}
    if "max_results" in params:
        settings["max_results"] = _integer("max_results", params["max_results"], 0, 100)
    if "max_errors" in params:
        settings["max_errors"] = _integer("max_errors", params["max_errors"], 0, 3)
    if "threshold" in params:
        settings["threshold"] = _fraction("threshold", params["threshold"])
    for flag in ("forgiving", "words"):
        if flag in params:
            settings[flag] = _flag(flag, params[flag])
    return query, settings


# --- the answers ------------------------------------------------------------------------------


@dataclass
class _Waiting:
    query: str
    settings: dict[str, Any]
    loop: asyncio.AbstractEventLoop
    future: asyncio.Future[tuple[list[Hit], float]]

    def answer(self, hits: list[Hit] | None, took: float, error: BaseException | None = None) -> None:
        def settle() -> None:
            if self.future.done():  # the request went away meanwhile
                return
            if error is not None:
                self.future.set_exception(error)
            else:
                self.future.set_result((hits or [], took))

        with contextlib.suppress(RuntimeError):  # a loop that has closed wants no answer
            self.loop.call_soon_threadsafe(settle)


class Batcher:
    """The searches of the requests that arrive while a scan runs, gathered into the next scan: one search_many
    per group of requests with the same settings, each request keeping its own settings and hits. A request
    waits at most for the scan that runs when it comes before its own starts; a query that fails, fails alone."""

    def __init__(self, index: Any) -> None:
        self._index = index
        self._waiting: queue.SimpleQueue[_Waiting | None] = queue.SimpleQueue()
        self._thread: threading.Thread | None = None
        self._lock = threading.Lock()

    async def search(self, query: str, settings: dict[str, Any]) -> tuple[list[Hit], float]:
        """The hits of one request and the milliseconds its scan took."""
        loop = asyncio.get_running_loop()
        waiting = _Waiting(query, settings, loop, loop.create_future())
        with self._lock:
            if self._thread is None:
                self._thread = threading.Thread(
                    target=self._run, args=(self._waiting,), name="murvex-batches", daemon=True
                )
                self._thread.start()
            self._waiting.put(waiting)
        return await waiting.future

    def stop(self) -> None:
        """Ends the thread once the searches given to it are answered; a later search starts another, with a
        queue of its own."""
        with self._lock:
            thread, self._thread = self._thread, None
            if thread is None:
                return
            self._waiting.put(None)
            self._waiting = queue.SimpleQueue()
        thread.join()

    def _run(self, waiting_queue: queue.SimpleQueue[_Waiting | None]) -> None:
        while True:
            first = waiting_queue.get()
            if first is None:
                return
            batch = [first]
            with contextlib.suppress(queue.Empty):
                while True:
                    more = waiting_queue.get_nowait()
                    if more is None:  # stop once these are answered
                        waiting_queue.put(None)
                        break
                    batch.append(more)
            groups: dict[tuple[tuple[str, Any], ...], list[_Waiting]] = {}
            for waiting in batch:
                groups.setdefault(tuple(sorted(waiting.settings.items())), []).append(waiting)
            for group in groups.values():
                try:
                    self._answer(group)
                except Exception as error:  # never leave a request waiting: the thread must go on
                    for waiting in group:
                        waiting.answer(None, 0.0, error)

    def _answer(self, group: list[_Waiting]) -> None:
        settings = group[0].settings
        began = time.perf_counter()
        try:
            results = self._index.search_many([waiting.query for waiting in group], **settings)
        except Exception:  # one query's fault, or memory: each query again on its own, with its own error
            for waiting in group:
                began = time.perf_counter()
                try:
                    hits = self._index.search(waiting.query, **settings)
                except Exception as error:
                    waiting.answer(None, 0.0, error)
                else:
                    waiting.answer(hits, (time.perf_counter() - began) * 1000)
            return
        took = (time.perf_counter() - began) * 1000
        for waiting, hits in zip(group, results, strict=True):
            waiting.answer(hits, took)


def found(corpus: Corpus, query: str, settings: dict[str, Any], hits: list[Hit], took: float) -> dict[str, Any]:
    """What the page shows of a search's hits (in a worker thread: it holds no lock of the loop's)."""
    texts = corpus.texts([hit.id for hit in hits])
    shown = []
    mode = mode_of(settings.get("forgiving", corpus.index.forgiving), settings.get("words", corpus.index.words))
    for hit in hits:
        source, i = corpus.locate(hit.id)
        text = texts[hit.id]
        spans = shown_spans(text.encode("utf-8"), query, hit, mode)
        start, end = outer_span(spans)
        shown.append(
            {
                "id": source.own_id(i),
                "score": round(hit.score, 3),
                "start": start,
                "end": end,
                "span": list(char_span(text, start, end)),  # whole characters, to highlight
                "spans": [list(char_span(text, *span)) if span else None for span in spans],
                "text": text,
                "file": source.name,
                "line": source.line(i),
            }
        )
    return {"query": query, "took_ms": round(took, 3), "hits": shown}


def stats(corpus: Corpus) -> dict[str, Any]:
    index = corpus.index
    ends = [*corpus.starts[1:], index.count]
    files = [
        {"name": source.name, "records": end - start}
        for source, start, end in zip(corpus.sources, corpus.starts, ends, strict=True)
    ]
    return {
        "records": index.count,
        "shards": index.shards,
        "files": files,
        "memory": {"resident_bytes": resident_bytes()},
        "kernel": index.kernel,
        "workers": index.workers,
        "settings": {name: getattr(index, name) for name in SETTINGS},
        "max_query_bytes": MAX_QUERY_BYTES,
    }


def error_response(request: Request, error: Exception) -> Response:
    if isinstance(error, HTTPException):
        body: dict[str, Any] = {"error": error.detail}
        if isinstance(error, BadParameter):
            body["parameter"] = error.parameter
        elif error.status_code == 404:
            body["error"] = f"no such page: {request.url.path[:200]}"
        elif error.status_code == 405:
            body["error"] = f"{request.method[:20]} is not served here: use GET"
        return JSONResponse(body, error.status_code, headers=dict(error.headers or {}))
    return JSONResponse({"error": "internal error (the server's log says more)"}, 500)


class SecurityHeaders:
    """Adds the security headers to every response, and refuses requests whose header lines are too large."""

    def __init__(self, app: ASGIApp) -> None:
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        app = self.app
        if sum(len(name) + len(value) + 4 for name, value in scope["headers"]) > MAX_HEADER_BYTES:
            body = {"error": f"the request's header lines are over {MAX_HEADER_BYTES:,} bytes"}
            app = JSONResponse(body, 431, headers={"connection": "close"})

        async def send_with_headers(message: Message) -> None:
            if message["type"] == "http.response.start":
                message["headers"] = [*message.get("headers", []), *SECURITY_HEADERS]
            await send(message)

        await app(scope, receive, send_with_headers)


def page_files() -> dict[str, tuple[bytes, str]]:
    folder = resources.files("murvex_tools") / "page"
    return {path: ((folder / name).read_bytes(), kind) for path, (name, kind) in PAGE_FILES.items()}


def create_app(corpus: Corpus, *, cors: str | None = None, searches: int | None = None) -> Starlette:
    """The ASGI application over `corpus`, whose index's settings are those of a request that names none.
    `cors`: an origin whose pages may call the API (else same origin only); `searches`: how many answers are made
    ready at once (default: the CPUs), the others waiting their turn; the searches themselves run in batches."""
    files = page_files()
    limiter = anyio.CapacityLimiter(searches or usable_cpus())
    batcher = Batcher(corpus.index)

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        try:
            yield
        finally:
            await anyio.to_thread.run_sync(batcher.stop)

    async def page(request: Request) -> Response:
        body, kind = files[request.url.path]
        return Response(body, media_type=kind, headers={"cache-control": "no-cache"})

    async def search(request: Request) -> Response:
        query, settings = search_parameters(request)
        hits, took = await batcher.search(query, settings)
        answer = await anyio.to_thread.run_sync(lambda: found(corpus, query, settings, hits, took), limiter=limiter)
        return JSONResponse(answer, headers={"cache-control": "no-store"})

    async def health(request: Request) -> Response:
        return JSONResponse({"status": "ok", "records": corpus.index.count})

    async def statistics(request: Request) -> Response:
        return JSONResponse(stats(corpus), headers={"cache-control": "no-store"})

    routes = [Route(path, page) for path in files]
    routes += [Route("/search", search), Route("/health", health), Route("/stats", statistics)]
    middleware = [Middleware(SecurityHeaders)]
    if cors:
        middleware.append(Middleware(CORSMiddleware, allow_origins=[cors], allow_methods=["GET"]))
    handlers: dict[Any, Callable[..., Any]] = {HTTPException: error_response, Exception: error_response}
    return Starlette(routes=routes, middleware=middleware, exception_handlers=handlers, lifespan=lifespan)


# --- the command ---------------------------------------------------------------------------------


def checked_origin(origin: str) -> str:
    parts = urlsplit(origin)
    if origin != "*" and not (parts.scheme in ("http", "https") and parts.netloc and parts.path in ("", "/")):
        raise InputError(f"--cors takes an origin such as https://example.org, not {origin!r}")
    return origin.rstrip("/")


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def warnings(host: str, cors: str | None) -> list[str]:
    """What the user must know before the server takes requests."""
    said = []
    if not is_loopback(host):
        said.append(
            f"listening on {host}, not on this machine alone: anyone who can reach it can search these records "
            "(there is no authentication)"
        )
    if cors == "*":
        said.append("--cors '*' lets any web page read these records through its visitors' browsers")
    return said


def listening_socket(host: str, port: int) -> socket.socket:
    """The server's socket, bound before the files are read so that a busy port fails at once."""
    if not 0 <= port <= 65535:
        raise InputError(f"--port must be from 0 to 65535, not {port}")
    try:
        family, kind, protocol, _, address = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)[0]
        # Made with its protocol named (not socket.create_server's 0): asyncio turns Nagle's algorithm off only
        # on sockets that say they are TCP, and with it on, each answer on a kept-alive connection waited 40 ms.
        sock = socket.socket(family, kind, protocol or socket.IPPROTO_TCP)
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind(address)
            sock.listen(socket.SOMAXCONN)
        except OSError:
            sock.close()
            raise
        return sock
    except OSError as error:
        raise InputError(f"cannot listen on {host}:{port}: {error.strerror or error}") from None


class Server(uvicorn.Server):
    """Uvicorn's server, stopping on SIGINT and SIGTERM alike and then returning, not raising the signal
    again (which would end the process by SIGTERM, or with a KeyboardInterrupt, after a clean stop)."""

    stopped_by = ""

    @contextlib.contextmanager
    def capture_signals(self) -> Iterator[None]:
        previous = {sig: signal.signal(sig, self.stop) for sig in (signal.SIGINT, signal.SIGTERM)}
        try:
            yield
        finally:
            for sig, handler in previous.items():
                signal.signal(sig, handler)

    def stop(self, signum: int, frame: FrameType | None) -> None:
        self.force_exit = self.should_exit  # a second Ctrl-C stops without waiting for open connections
        self.should_exit = True
        self.stopped_by = self.stopped_by or signal.Signals(signum).name


def serve_files(args: argparse.Namespace, out: IO[str] | None = None) -> int:
    """Loads the files, then serves them until Ctrl-C or SIGTERM."""
    out = out or cast(IO[str], sys.stderr)  # never None in a command's process
    cors = checked_origin(args.cors) if args.cors else None
    sock = listening_socket(args.host, args.port)
    with sock:
        host, port = sock.getsockname()[:2]
        began = time.perf_counter()
        corpus = load(args.files, args, out if out.isatty() else None)  # progress on a terminal
        app = create_app(corpus, cors=cors)
        count = corpus.index.count
        out.write(
            f"murvex: {count:,} record{'s' * (count != 1)} of {len(corpus.sources)} file(s) loaded "
            f"in {time.perf_counter() - began:.1f} s\n"
        )
        for notice in warnings(args.host, cors):
            out.write(f"murvex: warning: {notice}\n")
        shown = f"[{host}]" if ":" in host else host
        out.write(f"murvex: serving at http://{shown}:{port}/ (Ctrl-C stops)\n")
        out.flush()
        server = Server(uvicorn.Config(app, log_level="warning", lifespan="off", server_header=False))
        server.run(sockets=[sock])
        out.write(f"murvex: stopped{' by ' + server.stopped_by if server.stopped_by else ''}\n")
    return 0
