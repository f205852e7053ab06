"""Running out of memory raises MemoryError and leaves the engine as it was."""

import os

import pytest

from conftest import run_python

OUT_OF_MEMORY = """
import resource
import murvex

engine = murvex.Murvex()
engine.add([{"id": i, "t": f"record {i}"} for i in range(1000)])
big = {"id": 1, "t": "x" * (1 << 28)}  # 256 MiB of text
values = [{"id": 2, "a": "y" * (1 << 27), "b": "z" * (1 << 27)}]

# Leave room for about 64 MiB more than what is in use now.
with open("/proc/self/statm") as statm:
    in_use = int(statm.read().split()[0]) * resource.getpagesize()
limit = in_use + (64 << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

for attempt in (lambda: engine.add(big), lambda: engine.add(values)):
    try:
        attempt()
    except MemoryError:
        pass
    else:
        raise SystemExit("no MemoryError")
    assert engine.count == 1000, engine.count
    assert repr(engine) == "Murvex(records=1000, threshold=0.25, max_errors=2)"
    assert engine.search("record 999")[0].id == 999

engine.add({"id": 5000, "t": "small records still fit"})
assert engine.count == 1001
print("ok")
"""


@pytest.mark.skipif(
    bool(os.environ.get("MURVEX_SANITIZED")),
    reason="AddressSanitizer reserves more address space than the limit allows",
)
def test_an_allocation_failure_raises_memory_error_and_changes_nothing():
    process = run_python(OUT_OF_MEMORY)
    assert process.returncode == 0, process.stderr
    assert process.stdout.strip() == "ok"
