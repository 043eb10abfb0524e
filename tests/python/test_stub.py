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
    site = Path(karvel.__file__).parent
    for installed in (site / "karvel.pyi", site / "karvel-stubs" / "__init__.pyi"):
        assert installed.read_text() == STUB.read_text(), installed


USER_CODE = """\
import karvel

def first_spectrum(path: str) -> karvel.Spectrum:
    reader = karvel.RawReader(path)
    reveal_type(reader.scan_count)
    reveal_type(reader.read_spectrum(0).mz)
    return reader.read_spectrum(0)

for spectrum in karvel.iter_spectra("run.d"):
    reveal_type(spectrum)
name: str = karvel.RawReader("run.d").scan_count
"""


def test_mypy_finds_the_installed_types(tmp_path):
    # Type-checks user code in a folder of its own against the installed
    # package only: the source tree is not on any search path.
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    if "-packages" not in karvel.__file__:
        pytest.skip("karvel is loaded from a build tree, not from an installation")
    (tmp_path / "user.py").write_text(USER_CODE)
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                             "--cache-dir", os.devnull, "--no-error-summary", "user.py"],
                            capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300)
    # Older mypy versions spell builtin types with their module.
    lines = result.stdout.replace("builtins.", "").splitlines()
    assert lines == [
        'user.py:5: note: Revealed type is "int"',
        'user.py:6: note: Revealed type is "list[float]"',
        'user.py:10: note: Revealed type is "karvel.Spectrum"',
        'user.py:11: error: Incompatible types in assignment (expression has type "int", '
        'variable has type "str")  [assignment]',
    ], result.stdout + result.stderr


def test_stubtest_agrees(tmp_path):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    env = dict(os.environ, MYPYPATH=str(STUB.parent))
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "karvel"], capture_output=True, text=True,
                            env=env, cwd=tmp_path, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
