"""The examples of the README and of the documentation pages run as written: every ```python
block is a doctest session, and every `$ vestrim ...` command of a ```console block prints the
output shown under it."""

import doctest
import pathlib
import re
import shlex

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md"] + sorted((ROOT / "docs").glob("**/*.md"))


def _blocks(language):
    """(label, page, text) of every fenced block of ``language`` on the pages."""
    found = []
    for page in PAGES:
        if not page.exists():
            continue
        text = page.read_text(encoding="utf-8")
        pattern = rf"^```{language}\n(.*?)^```"
        for index, block in enumerate(re.findall(pattern, text, flags=re.S | re.M)):
            found.append((f"{page.relative_to(ROOT)}:{language}{index}", page, block))
    return found


BLOCKS = _blocks("python")
COMMANDS = [(label, argv, expected) for label, _, block in _blocks("console")
            for argv, expected in re.findall(r"^\$ vestrim (.*)\n((?:(?!\$ ).*\n)*)", block, flags=re.M)]


@pytest.mark.skipif(not BLOCKS, reason="README and docs not found next to the tests")
@pytest.mark.parametrize("label, page, block", BLOCKS, ids=[b[0] for b in BLOCKS])
def test_page_example(label, page, block, monkeypatch):
    monkeypatch.chdir(ROOT)  # the examples name the bundled example files relative to the root
    parser = doctest.DocTestParser()
    test = parser.get_doctest(block, {}, label, str(page), 0)
    assert test.examples, f"{label}: a python block without a >>> session (use code-block for scripts)"
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = []
    result = runner.run(test, out=report.append)
    assert result.failed == 0, "".join(report)


@pytest.mark.skipif(not COMMANDS, reason="README and docs not found next to the tests")
@pytest.mark.parametrize("label, argv, expected", COMMANDS, ids=[c[0] for c in COMMANDS])
def test_page_command(label, argv, expected, monkeypatch, capsys):
    from vestrim import cli

    monkeypatch.chdir(ROOT)
    args = shlex.split(argv, comments=True)
    if not {"--jobs", "-j"} & set(args):
        args += ["--jobs", "1"]  # the same output, without starting workers
    cli.main(args)
    out, err = capsys.readouterr()
    checker = doctest.OutputChecker()
    assert checker.check_output(expected, out + err, doctest.ELLIPSIS), \
        f"{label}: vestrim {argv}\n--- shown\n{expected}--- printed\n{out + err}"


def test_readme_links_name_existing_files():
    readme = ROOT / "README.md"
    targets = re.findall(r"\]\(([^)#:]+)(?:#[^)]*)?\)", readme.read_text(encoding="utf-8"))
    missing = [t for t in targets if not (ROOT / t).exists()]
    assert targets and not missing, missing
