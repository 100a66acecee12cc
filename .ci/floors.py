"""Print the lowest versions that pyproject.toml declares, as pip requirements (name==floor).

    python3 .ci/floors.py [base] [EXTRA ...]

The dependencies of the package (`base`) and those of the named extras, each pinned at its
declared floor, so that a test run against them proves the floors true. An extra that names exokern itself is skipped
(its own extras are asked for by name); an environment marker is kept."""

import re
import sys
import tomllib
from pathlib import Path

project = tomllib.loads((Path(__file__).parent.parent / "pyproject.toml").read_text())["project"]
requirements = []
for group in sys.argv[1:]:
    requirements += (project["dependencies"] if group == "base"
                     else project["optional-dependencies"][group])
for req in requirements:
    if req.startswith("exokern"):
        continue
    m = re.fullmatch(r"([A-Za-z0-9_.\-]+(?:\[[^\]]*\])?)\s*>=\s*([0-9][^,;\s]*)\s*(;.*)?",
                     req.strip())
    if m is None:
        sys.exit(f"floors: no plain floor in {req!r}")
    # An environment marker stays with its requirement: pip skips it where it does not apply.
    print(f"{m.group(1)}=={m.group(2)}" + (f"; {m.group(3)[1:].strip()}" if m.group(3) else ""))
