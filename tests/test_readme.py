"""The README's examples run and print what it says; the scripts of examples/ run."""

import doctest
import os
import pathlib
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


@pytest.mark.skipif(not README.exists(), reason="README.md is not beside the tests")
def test_readme_examples():
    text = README.read_text()
    blocks = [b.split("```", 1)[0] for b in text.split("```python\n")[1:]]
    parser = doctest.DocTestParser()
    test = parser.get_doctest("\n".join(blocks), {}, "README", str(README), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.failures == 0 and runner.tries > 0


EXAMPLES = sorted((README.parent / "examples").glob("*.py"))


@pytest.mark.skipif(not EXAMPLES, reason="examples/ is not beside the tests")
@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.name)
def test_examples_run(path, tmp_path):
    done = subprocess.run([sys.executable, str(path)], cwd=tmp_path, capture_output=True,
                          text=True, timeout=300, env=dict(os.environ, MPLBACKEND="Agg"))
    assert done.returncode == 0 and done.stderr == "", done.stderr
    assert done.stdout.strip()
