"""The README's examples run as written."""

import doctest
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), flags=re.S) if README.exists() else []


@pytest.mark.skipif(not BLOCKS, reason="README not found next to the tests")
@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_readme_example(index):
    parser = doctest.DocTestParser()
    test = parser.get_doctest(BLOCKS[index], {}, f"README block {index}", str(README), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = []
    result = runner.run(test, out=report.append)
    assert result.failed == 0, "".join(report)
