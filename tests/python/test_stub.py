"""The type stub karvel.pyi describes exactly the module's surface."""

import ast
import importlib.util
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

import karvel

STUB = Path(__file__).resolve().parents[2] / "python" / "karvel.pyi"


def stub_tree():
    return ast.parse(STUB.read_text())


def public_classes(tree):
    return {node.name: node for node in tree.body
            if isinstance(node, ast.ClassDef) and not any(
                isinstance(d, ast.Name) and d.id == "type_check_only" for d in node.decorator_list)}


def test_stub_names_match_the_module():
    tree = stub_tree()
    names = set(public_classes(tree)) | {n.name for n in tree.body if isinstance(n, ast.FunctionDef)}
    assert names == set(karvel.__all__)
    declared_all = next(n.value for n in tree.body if isinstance(n, ast.Assign)
                        and n.targets[0].id == "__all__")
    assert ast.literal_eval(declared_all) == karvel.__all__


def test_stub_members_and_parameters_match_the_module():
    for name, node in public_classes(stub_tree()).items():
        cls = getattr(karvel, name)
        for member in node.body:
            if not isinstance(member, ast.FunctionDef) or member.name in ("__new__", "__len__", "__iter__",
                                                                         "__next__"):
                continue
            runtime = vars(cls)[member.name]
            if any(isinstance(d, ast.Name) and d.id == "property" for d in member.decorator_list):
                assert inspect.isgetsetdescriptor(runtime), member.name
                continue
            stub_params = [a.arg for a in member.args.posonlyargs + member.args.args]
            assert ["self"] + list(inspect.signature(runtime).parameters)[1:] == stub_params, member.name
        runtime_members = {m for m in vars(cls) if not m.startswith("_")}
        stub_members = {m.name for m in node.body if isinstance(m, ast.FunctionDef) and not m.name.startswith("_")}
        assert runtime_members == stub_members, name


def test_stub_is_installed_beside_the_extension():
    if "-packages" not in karvel.__file__:
        pytest.skip("karvel is loaded from a build tree, not from an installation")
    installed = Path(karvel.__file__).with_name("karvel.pyi")
    assert installed.read_text() == STUB.read_text()


def test_stubtest_agrees(tmp_path):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    env = dict(os.environ, MYPYPATH=str(STUB.parent))
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "karvel"], capture_output=True, text=True,
                            env=env, cwd=tmp_path, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
