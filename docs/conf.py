"""Sphinx configuration of the vestrim documentation.

The API reference documents the installed package (``pip install '.[docs]'``, or a development
build on ``PYTHONPATH``): docstrings from the modules, signatures of the native functions from the
stubs shipped with them (``_ext/stubsigs.py``). Build with ``sphinx-build -W docs build/docs``.
"""

import pathlib
import re
import sys

try:
    import vestrim
except ImportError as e:
    raise ImportError("the documentation is built from the installed package: pip install "
                      "'.[docs]', or put a development build on PYTHONPATH") from e

sys.path.insert(0, str(pathlib.Path(__file__).parent / "_ext"))

project = "vestrim"
author = "the vestrim developers"
copyright = "the vestrim developers"
release = vestrim.__version__
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinxarg.ext",
    "stubsigs",
]

source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
root_doc = "index"
exclude_patterns = ["_build", "_ext", "**/.ipynb_checkpoints"]

myst_enable_extensions = ["colon_fence", "deflist", "fieldlist"]
myst_heading_anchors = 3

# Option names (--jobs) and quotes stay as written.
smartquotes = False

# Docstrings write `name` for code and cross-references alike.
default_role = "py:obj"
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "undoc-members": True}

html_theme = "pydata_sphinx_theme"
html_title = f"vestrim {release}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
}
html_show_sourcelink = False


def _docstring_markup(app, what, name, obj, options, lines):
    """The extension's docstrings link names as [`name`] and [`Type::member`]: render them as
    the cross-references they are. A plural written ``Name``s needs an escaped space in
    reStructuredText."""
    for i, line in enumerate(lines):
        line = re.sub(r"\[`([\w:]+)`\]", lambda m: "`" + m.group(1).replace("::", ".") + "`", line)
        lines[i] = re.sub(r"(?<![\w`])(``[^`\s](?:[^`]*[^`\s])?``)(?=\w)", r"\1\\ ", line)


def _complete_api_page(app, docname, source):
    """Every public name of the package is on the API page: names the page does not place in a
    section yet are appended under "More"."""
    if docname != "reference/api":
        return
    placed = set(re.findall(r"\.\. auto\w+:: (\w+)", source[0]))
    missing = [name for name in vestrim.__all__ if name not in placed and not name.startswith("_")]
    if not missing:
        return
    lines = ["", "## More", "", "```{eval-rst}", ".. currentmodule:: vestrim", ""]
    for name in missing:
        obj = getattr(vestrim, name)
        if isinstance(obj, type):
            kind = "autoexception" if issubclass(obj, BaseException) else "autoclass"
        else:
            kind = "autofunction" if callable(obj) else "autodata"
        lines.append(f".. {kind}:: {name}")
    section = "\n".join(lines + ["```", "", ""])
    head, readers, tail = source[0].partition("\n## File readers")
    source[0] = head + section + readers + tail if readers else head + section


def setup(app):
    app.connect("autodoc-process-docstring", _docstring_markup)
    app.connect("source-read", _complete_api_page)
