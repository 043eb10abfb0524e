"""Layers depend one way: the morvane package has no import circle (imports
inside functions count; those only for type checkers do not), its extension
imports nothing of the package, and the command line is built on morvane's
public API alone."""

from __future__ import annotations

import ast
import re
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
PACKAGE = REPO / "python" / "morvane"


def module_name(path: Path) -> str:
    parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def type_checking_only(tree: ast.AST) -> set[ast.AST]:
    """The import statements under `if TYPE_CHECKING:`."""
    hidden: set[ast.AST] = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.If) and isinstance(node.test, ast.Name) and node.test.id == "TYPE_CHECKING":
            hidden.update(inner for statement in node.body for inner in ast.walk(statement))
    return hidden


def imports_of(path: Path, modules: set[str]) -> set[str]:
    """The package's modules path imports, anywhere in it."""
    name = module_name(path)
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    tree = ast.parse(path.read_text())
    hidden = type_checking_only(tree)
    found: set[str] = set()
    for node in ast.walk(tree):
        if node in hidden:
            continue
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names if alias.name in modules)
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = package.split(".")[: len(package.split(".")) - node.level + 1]
                source = ".".join(base + ([node.module] if node.module else []))
            else:
                source = node.module or ""
            submodules = {f"{source}.{alias.name}" for alias in node.names} & modules
            found |= submodules
            if len(submodules) < len(node.names) and source in modules:
                found.add(source)
    return found - {name}


def package_graph() -> dict[str, set[str]]:
    sources = {module_name(path): path for path in PACKAGE.rglob("*.py")}
    modules = set(sources) | {module_name(path) for path in PACKAGE.rglob("*.pyi")}
    return {name: imports_of(path, modules) for name, path in sources.items()}


def cycles(graph: dict[str, set[str]]) -> list[list[str]]:
    """The strongly connected components of more than one module."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    found: list[list[str]] = []

    def visit(node: str) -> None:
        index[node] = low[node] = len(index)
        stack.append(node)
        for target in graph.get(node, ()):
            if target not in index:
                visit(target)
                low[node] = min(low[node], low[target])
            elif target in stack:
                low[node] = min(low[node], index[target])
        if low[node] == index[node]:
            component = []
            while True:
                member = stack.pop()
                component.append(member)
                if member == node:
                    break
            if len(component) > 1:
                found.append(sorted(component))

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return found


@pytest.mark.parametrize("graph, expected", [
    ({"a": {"b"}, "b": set()}, []),
    ({"a": {"b"}, "b": {"a"}}, [["a", "b"]]),
    ({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": {"a"}}, [["a", "b", "c"]]),
    ({"a": {"a"}}, []),
])
def test_the_cycle_finder(graph, expected):
    assert cycles(graph) == expected


def test_the_package_has_no_import_circle():
    graph = package_graph()
    assert "morvane.qc._metrics" in graph and graph["morvane._run"], "the graph is empty"
    assert cycles(graph) == []


def test_the_extension_imports_nothing_of_its_package():
    sources = sorted((REPO / "python" / "morvane_ext").glob("*.[ch]pp"))
    assert sources
    importing = [path.name for path in sources if re.search(r'PyImport_\w+\("morvane', path.read_text())]
    assert importing == []


def test_the_command_line_uses_public_api_only():
    tree = ast.parse((REPO / "python" / "karvel_cli.py").read_text())
    private = []
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and (node.module or "").startswith("morvane"):
            names = [*node.module.split("."), *(alias.name for alias in node.names)]
            private += [f"from {node.module} import {n}" for n in names if n.startswith("_")]
        elif isinstance(node, ast.Import):
            private += [alias.name for alias in node.names
                        if alias.name.startswith("morvane") and "._" in alias.name]
        elif isinstance(node, ast.Attribute) and node.attr.startswith("_") and not node.attr.startswith("__"):
            private.append(f".{node.attr}")
    assert private == []
