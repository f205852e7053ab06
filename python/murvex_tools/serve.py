"""murvex serve: not built yet; the command says so instead of failing later."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from typing import Any


def serve_files(args: argparse.Namespace, load: Callable[..., Any]) -> int:
    raise ImportError("murvex serve is not part of this version yet")
