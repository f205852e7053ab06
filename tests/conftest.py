import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, settings

import murvex

# CI runs the property tests with a fixed seed and more examples, so that a
# fault they can find is found on every run; HYPOTHESIS_PROFILE=ci selects it.
settings.register_profile("dev", max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("ci", settings.get_profile("dev"), max_examples=1000, derandomize=True)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "dev"))


@pytest.fixture
def engine():
    return murvex.Murvex()


def make_engine(texts, **settings):
    """An engine holding one record per text, with ids 0, 1, 2, ..."""
    engine = murvex.Murvex(**settings)
    engine.add([{"id": i, "text": text} for i, text in enumerate(texts)])
    return engine


def hits(results):
    """Results as (id, score in thousandths, start, end) tuples."""
    return [(r.id, round(r.score * 1000), r.start, r.end) for r in results]


def outcome(call, *, messages=True):
    """("ok", what call() returned), or ("error", the exception's type, its message) for what it raised."""
    try:
        return ("ok", call())
    except Exception as error:
        return ("error", type(error), str(error)) if messages else ("error", type(error))


# What only some systems have: /proc and address-space limits (Linux);
# fork, terminals, FIFOs and signals sent to a process (POSIX).
linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and RLIMIT_AS")
posix_only = pytest.mark.skipif(os.name != "posix", reason="needs fork, terminals, FIFOs or POSIX signals")


def run_python(code, **kwargs):
    """Runs code in a fresh interpreter; returns the completed process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        **kwargs,
    )
