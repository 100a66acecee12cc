"""Print the first bash block of the README after a marker, its continued lines joined, so that
CI runs the command exactly as the README shows it.

    python3 .ci/readme_command.py README.md "**A real planet.**"
"""

import sys

text = open(sys.argv[1], encoding="utf-8").read()
block = text.split(sys.argv[2], 1)[1].split("```bash\n", 1)[1].split("```", 1)[0]
print(block.replace("\\\n", " "))
