"""python -m exokern.grid: the command exokern-grid (exokern.cli.grid)."""

import sys

from exokern.cli.grid import main

sys.exit(main())
