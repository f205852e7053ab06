"""Tools around the murvex engine: indexes past 100,000 records, span helpers and the command line.

from murvex_tools import ShardedMurvex, RayMurvex, record_text, matched_text
"""

from __future__ import annotations

from importlib.metadata import version

from murvex_tools.ray_index import Hit, RayMurvex, ShardLostError
from murvex_tools.sharded import ShardedMurvex
from murvex_tools.spans import char_span, matched_text, record_text

__all__ = ["Hit", "RayMurvex", "ShardLostError", "ShardedMurvex", "char_span", "matched_text", "record_text"]
__version__ = version("murvex")
