"""Signatures and input types of the native modules, read from the package's stubs.

The extension modules carry their docstrings and bare parameter lists; the types live in the
``.pyi`` stubs shipped beside them. This extension gives autodoc the stub's signature for every
object the package re-exports from a stubbed module, shows the stubs' private aliases under
their public spelling (``_Boxes`` as ``Boxes``), and offers the ``stub-input-types`` directive,
which documents those aliases (their comment and definition) so that signatures link to them.
"""

from __future__ import annotations

import ast
import functools
import importlib
import pathlib
import re

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util.docutils import SphinxDirective

PACKAGE = "vestrim"


@functools.cache
def _package_dir() -> pathlib.Path:
    return pathlib.Path(importlib.import_module(PACKAGE).__file__).parent


@functools.cache
def _stub(module: str) -> ast.Module | None:
    path = _package_dir() / f"{module}.pyi"
    return ast.parse(path.read_text(encoding="utf-8")) if path.exists() else None


@functools.cache
def _reexports() -> dict[str, tuple[str, str]]:
    """Public name -> (stub module, name in it), from the package stub's ``from .m import x``."""
    tree = _stub("__init__")
    found: dict[str, tuple[str, str]] = {}
    for node in tree.body if tree else ():
        if isinstance(node, ast.ImportFrom) and node.level == 1 and node.module:
            for alias in node.names:
                found[alias.asname or alias.name] = (node.module, alias.name)
    return found


def _public(text: str) -> str:
    """Stub aliases are private (``_Boxes``); the documentation calls them ``Boxes``."""
    return re.sub(r"(?<![\w.])_([A-Z]\w*)", r"\1", text)


def _find(body: list[ast.stmt], name: str) -> ast.stmt | None:
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and node.name == name:
            return node
    return None


def _stub_node(fullname: str) -> ast.stmt | None:
    parts = fullname.split(".")
    if parts[0] != PACKAGE or len(parts) < 2:
        return None
    module, name = _reexports().get(parts[1], (None, None))
    tree = _stub(module) if module and module.startswith("_") else None
    node = _find(tree.body, name) if tree else None
    for part in parts[2:]:
        node = _find(node.body, part) if isinstance(node, ast.ClassDef) else None
    return node


def _signature(function: ast.FunctionDef, bound: bool) -> tuple[str, str | None]:
    args = function.args
    if bound and (args.posonlyargs or args.args):
        args = ast.arguments(**{**args.__dict__})
        if args.posonlyargs:
            args.posonlyargs = args.posonlyargs[1:]
        else:
            args.args = args.args[1:]
    returns = _public(ast.unparse(function.returns)) if function.returns else None
    return f"({_public(ast.unparse(args))})", returns


def _is_static(function: ast.FunctionDef) -> bool:
    return any(isinstance(d, ast.Name) and d.id == "staticmethod" for d in function.decorator_list)


def process_signature(app, what, name, obj, options, signature, return_annotation):
    node = _stub_node(name)
    if isinstance(node, ast.ClassDef):
        constructor = _find(node.body, "__new__") or _find(node.body, "__init__")
        if constructor is None:
            return signature, return_annotation
        return _signature(constructor, bound=True)[0], None
    if isinstance(node, ast.FunctionDef):
        if what in ("attribute", "property"):
            return signature, return_annotation
        bound = what == "method" and not _is_static(node)
        return _signature(node, bound)
    return signature, return_annotation


def process_docstring(app, what, name, obj, options, lines):
    """An attribute of a native class gets the type its stub's property returns."""
    node = _stub_node(name) if what in ("attribute", "property") else None
    if isinstance(node, ast.FunctionDef) and node.returns is not None:
        lines += ["", f":type: {_public(ast.unparse(node.returns))}"]


class StubInputTypes(SphinxDirective):
    """Documents the type aliases of a stubbed module as ``py:type`` entries, each with the
    comment written above it in the stub."""

    required_arguments = 1  # the stub module, e.g. _vestrim

    def run(self) -> list[nodes.Node]:
        module = self.arguments[0]
        path = _package_dir() / f"{module}.pyi"
        self.env.note_dependency(str(path))
        source = path.read_text(encoding="utf-8").splitlines()
        lines = [f".. py:currentmodule:: {PACKAGE}", ""]
        for node in _stub(module).body:
            if not (isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)
                    and ast.unparse(node.annotation) == "TypeAlias"):
                continue
            comment = []
            row = node.lineno - 2
            while row >= 0 and source[row].startswith("#"):
                comment.insert(0, source[row].lstrip("# "))
                row -= 1
            lines += [f".. py:type:: {_public(node.target.id)}",
                      f"   :canonical: {_public(ast.unparse(node.value))}", ""]
            lines += [f"   {line}" for line in comment] + [""]
        return self.parse_text_to_nodes("\n".join(lines))


def setup(app):
    app.connect("autodoc-process-signature", process_signature)
    app.connect("autodoc-process-docstring", process_docstring)
    app.add_directive("stub-input-types", StubInputTypes)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
