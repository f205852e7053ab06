"""murvex serve: a page to search in and a JSON API."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from typing import Any


def serve_files(args: argparse.Namespace, load: Callable[..., Any]) -> int:
    raise ImportError("not built yet")
