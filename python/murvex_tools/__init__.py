"""Tools around the murvex engine: indexes past 100,000 records on every core, span helpers and the command line.

from murvex_tools import ShardedMurvex, RayMurvex, Hit, fold, record_text, matched_text
"""

from __future__ import annotations

import atexit
from typing import TYPE_CHECKING, Any

from murvex_tools import _native
from murvex_tools._native import Hit, fold
from murvex_tools.join import fuzzy_join
from murvex_tools.sharded import ShardedMurvex
from murvex_tools.spans import char_span, matched_text, record_text

if TYPE_CHECKING:
    from murvex_tools.ray_index import ActorPlacementError, RayMurvex, ShardLostError

__all__ = [
    "ActorPlacementError",
    "Hit",
    "RayMurvex",
    "ShardLostError",
    "ShardedMurvex",
    "char_span",
    "fold",
    "fuzzy_join",
    "matched_text",
    "record_text",
]


def __getattr__(name: str) -> Any:
    """What is looked up only when asked, as it costs more than the rest of the import (the command line needs
    neither): the version, and the Ray index."""
    if name == "__version__":
        from importlib.metadata import version

        return version("murvex")
    if name in ("ActorPlacementError", "RayMurvex", "ShardLostError"):
        from murvex_tools import ray_index

        return getattr(ray_index, name)
    raise AttributeError(f"module 'murvex_tools' has no attribute {name!r}")


# The worker threads end before the interpreter does.
atexit.register(_native._shutdown)
