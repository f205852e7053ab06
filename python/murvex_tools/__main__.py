"""python -m murvex_tools, and the murvex command: both start here."""

import os
import signal
import sys


def run() -> int:
    """The murvex command. Until it runs, Ctrl-C ends the process quietly with status 130, not with a
    traceback from the middle of an import."""
    signal.signal(signal.SIGINT, lambda signum, frame: os._exit(130))
    from murvex_tools.cli import main

    return main()


if __name__ == "__main__":
    sys.exit(run())
