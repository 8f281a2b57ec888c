"""The package's imports go one way: every module imports only modules of lower layers.

Read from the sources with ``ast``: every ``import`` at any depth (inside functions too) and every
``importlib.import_module`` with a literal target. The root package's table of lazily loaded
names (``import_module`` of a computed name) is the one exemption.
"""

import ast
import os

import pytest

PACKAGE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src",
                       "vestrim")

# Lowest first. A module may import modules of lower layers only; "" is the package itself.
LAYERS = [
    ["_vestrim", "_native", "errors", "fields", "pool", "protocols"],
    ["derived", "options", "datasets.records"],
    ["combination"],
    ["datasets.text", "datasets.frames"],
    ["datasets.layouts", "datasets.cells"],
    ["datasets.motchallenge", "datasets.kitti", "datasets.mots", "datasets.bdd100k",
     "datasets.multiclass", "datasets.nuscenes"],
    ["datasets", "mot", "kitti", "mots"],
    ["benchmark.result", "benchmark.plan", "events"],
    ["benchmark.score"],
    ["benchmark.run"],
    ["benchmark"],
    ["report", "results", "plot"],
    ["timeline"],
    ["event_files"],
    ["official_files"],
    ["official"],
    ["parallel", "cli"],
    ["__main__", ""],
]
LAYER = {name: k for k, names in enumerate(LAYERS) for name in names}


def modules() -> dict:
    """{dotted name under the package: path} of every Python source of the package."""
    out = {}
    for folder, _, files in os.walk(PACKAGE):
        for f in files:
            if f.endswith(".py"):
                rel = os.path.relpath(os.path.join(folder, f), PACKAGE)[:-3].split(os.sep)
                if rel[-1] == "__init__":
                    rel = rel[:-1]
                out[".".join(rel)] = os.path.join(folder, f)
    return out


def _is_module(name: str) -> bool:
    path = os.path.join(PACKAGE, *name.split("."))
    return (os.path.isdir(path) or os.path.exists(path + ".py")
            or os.path.exists(path + ".pyi"))


def imports(name: str, path: str) -> set:
    """The package's modules that the module imports ("" for the package itself)."""
    tree = ast.parse(open(path, encoding="utf-8").read(), path)
    is_package = os.path.basename(path) == "__init__.py"
    here = ["vestrim", *filter(None, name.split("."))]
    package = here if is_package else here[:-1]
    found = set()

    def add(dotted: str) -> None:
        if dotted == "vestrim" or dotted.startswith("vestrim."):
            found.add(dotted[len("vestrim."):] if dotted != "vestrim" else "")

    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                add(alias.name)
        elif isinstance(node, ast.ImportFrom):
            base = package[:len(package) - node.level + 1] if node.level else []
            target = ".".join(base + ([node.module] if node.module else []))
            if not (target == "vestrim" or target.startswith("vestrim.")):
                continue
            inner = target[len("vestrim."):]
            for alias in node.names:  # `from . import x` imports the module x, else x of target
                sub = f"{inner}.{alias.name}" if inner else alias.name
                if _is_module(sub):
                    found.add(sub)
                else:
                    add(target)
        elif (isinstance(node, ast.Call) and isinstance(node.func, (ast.Attribute, ast.Name))
              and (getattr(node.func, "attr", None) or getattr(node.func, "id", None))
              == "import_module" and node.args and isinstance(node.args[0], ast.Constant)):
            target = node.args[0].value
            if target.startswith("."):
                level = len(target) - len(target.lstrip("."))
                target = ".".join(package[:len(package) - level + 1] + [target.lstrip(".")])
            add(target)
    found.discard(name)
    return found


@pytest.mark.parametrize("name", sorted(modules()))
def test_imports_go_down_the_layers(name):
    assert name in LAYER, f"{name or 'vestrim'} is in no layer: add it to LAYERS"
    upward = sorted(m or "vestrim" for m in imports(name, modules()[name])
                    if LAYER.get(m, len(LAYERS)) >= LAYER[name])
    assert not upward, f"{name or 'vestrim'} imports its own layer or above: {upward}"


def test_the_checker_sees_imports_inside_functions_and_literal_targets(tmp_path):
    source = tmp_path / "probe.py"
    source.write_text("def f():\n    from .benchmark import run\n"
                      "import importlib\nimportlib.import_module('vestrim.cli')\n")
    assert imports("probe", str(source)) == {"benchmark.run", "cli"}
