"""Tools around the murvex engine: indexes past 100,000 records on every core, span helpers and the command line.

from murvex_tools import ShardedMurvex, RayMurvex, Hit, record_text, matched_text
"""

from __future__ import annotations

import atexit
from importlib.metadata import version

from murvex_tools import _native
from murvex_tools._native import Hit
from murvex_tools.ray_index import ActorPlacementError, RayMurvex, ShardLostError
from murvex_tools.sharded import ShardedMurvex
from murvex_tools.spans import char_span, matched_text, record_text
from murvex_tools.tables import fuzzy_join

__all__ = [
    "ActorPlacementError",
    "Hit",
    "RayMurvex",
    "ShardLostError",
    "ShardedMurvex",
    "char_span",
    "fuzzy_join",
    "matched_text",
    "record_text",
]
__version__ = version("murvex")

# The worker threads end before the interpreter does.
atexit.register(_native._shutdown)
