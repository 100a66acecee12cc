"""python -m exokern.retrieval: the command exokern-retrieve (exokern.cli.retrieve)."""

import sys

from exokern.cli.retrieve import main

sys.exit(main())
