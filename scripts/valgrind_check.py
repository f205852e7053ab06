"""Runs a short murvex workload under valgrind and reports what murvex loses.

    python scripts/valgrind_check.py      (make valgrind)

The interpreter keeps some objects until exit by design, so valgrind's
'definitely lost' records are filtered to those whose stack passes through
murvex's own code; any such record fails the check.
"""

import re
import subprocess
import sys
import tempfile
from pathlib import Path

WORKLOAD = """
import murvex
for round in range(20):
    engine = murvex.Murvex(max_results=10)
    engine.add([{"id": i, "t": f"record number {i}", "x": "caf\\u00e9"} for i in range(300)])
    engine.add({"t": "single"})
    for query in ("number", "recrod", "caf\\u00e9", "", "zzzz"):
        results = engine.search(query)
        [repr(r) for r in results]
    try:
        engine.add([{"t": "ok"}, {"id": "bad"}])
    except TypeError:
        pass
    try:
        engine.max_errors = 9
    except ValueError:
        pass
    engine.remove(3)
    repr(engine)
    engine.reset()
"""


def main():
    with tempfile.TemporaryDirectory() as tmp:
        log = Path(tmp, "valgrind.log")
        command = [
            "valgrind",
            "--leak-check=full",
            "--show-leak-kinds=definite",
            "--num-callers=40",
            f"--log-file={log}",
            sys.executable,
            "-c",
            WORKLOAD,
        ]
        env = {"PYTHONMALLOC": "malloc", "PATH": "/usr/bin:/bin"}
        subprocess.run(command, check=True, env=env)
        report = log.read_text()
    records = re.split(r"\n==\d+== \n", report)
    lost = [r for r in records if "definitely lost" in r and "murvex" in r]
    summary = re.search(r"definitely lost: ([\d,]+) bytes in ([\d,]+) blocks", report)
    print(
        f"valgrind: definitely lost overall: {summary.group(1) if summary else '0'} bytes "
        f"({summary.group(2) if summary else '0'} blocks), of which from murvex: {len(lost)} records"
    )
    for record in lost:
        print(record)
    if lost:
        sys.exit(1)


if __name__ == "__main__":
    main()
