"""The installed package: its version, the files a user's editor and type checker read."""

import ast
import importlib.metadata
import os
import re
import tomllib

import pytest

import Quorvex

PACKAGE_DIR = os.path.dirname(Quorvex.__file__)
STUB = os.path.join(PACKAGE_DIR, "simpleImage_ext.pyi")
# The source tree's pyproject.toml, when the tests run from a checkout (not from a copy of the
# tests beside an installed wheel).
PYPROJECT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "pyproject.toml")


def test_version_comes_from_the_package_metadata():
    assert Quorvex.__version__ == importlib.metadata.version("Quorvex")
    assert re.fullmatch(r"\d+\.\d+\.\d+\S*", Quorvex.__version__)


@pytest.mark.skipif(not os.path.exists(PYPROJECT), reason="no source tree beside the tests")
def test_version_is_the_one_in_pyproject():
    with open(PYPROJECT, "rb") as f:
        assert tomllib.load(f)["project"]["version"] == Quorvex.__version__


@pytest.mark.parametrize("name", ["simpleImage_ext.pyi", "py.typed", "data/sample.png"])
def test_installed_files(name):
    assert os.path.isfile(os.path.join(PACKAGE_DIR, name))


def undocumented(body, prefix=""):
    """Names defined in `body` (functions, classes, annotated attributes) with no docstring."""
    missing = []
    for i, node in enumerate(body):
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            if ast.get_docstring(node) is None:
                missing.append(prefix + node.name)
            if isinstance(node, ast.ClassDef):
                missing += undocumented(node.body, prefix + node.name + ".")
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            following = body[i + 1] if i + 1 < len(body) else None
            is_doc = (isinstance(following, ast.Expr) and isinstance(following.value, ast.Constant)
                      and isinstance(following.value.value, str))
            if not is_doc and not node.target.id.startswith("_Chunk"):
                missing.append(prefix + node.target.id)
        elif isinstance(node, ast.If):  # version-dependent definitions
            missing += undocumented(node.body, prefix)
    return missing


def test_every_name_in_the_stub_has_a_docstring():
    with open(STUB, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    assert ast.get_docstring(tree)
    assert undocumented(tree.body) == []


def test_the_stub_names_every_runtime_callable():
    from Quorvex import simpleImage_ext as ext
    with open(STUB, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    defined = {n.name for n in ast.walk(tree) if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    runtime = {n for n in vars(ext) if callable(getattr(ext, n)) and getattr(ext, n).__module__ == ext.__name__}
    runtime |= {n for n in vars(ext.SimpleImage) if not n.startswith("__") or n in ("__reduce__", "__setstate__")}
    runtime -= {"width", "height", "_pixels", "_alpha", "_png_chunks", "_png_filters", "_bmp_header"}
    assert runtime <= defined, runtime - defined
