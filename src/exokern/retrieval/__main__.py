"""python -m exokern.retrieval: the retrieval command (see exokern.retrieval.command)."""

import sys

# The importable module's main, not a __main__ copy: worker processes unpickle what the tasks
# name by importing it.
from exokern.retrieval.command import main

sys.exit(main())
