"""The README's examples run and print what it says."""

import doctest
import pathlib

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
