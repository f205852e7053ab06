"""python -m murvex_tools: the murvex command."""

import sys

from murvex_tools.cli import main

sys.exit(main())
