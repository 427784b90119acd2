"""The type stub shipped with the package describes exactly the module's callables and names; the package's
metadata names the running Python and the package's version."""

import ast
import inspect
import platform
import sys
from importlib.metadata import metadata
from pathlib import Path

from packaging.specifiers import SpecifierSet

import pytest

import morvel
from morvel import morvel as mv

EMPTY = inspect.Parameter.empty
# the stub next to the imported module (the release check insists it is shipped) and the one in the source tree
STUBS = [p for p in (Path(mv.__file__).with_name("morvel.pyi"),
                     Path(__file__).resolve().parents[1] / "src" / "morvel" / "morvel.pyi") if p.exists()]


def stub(path):
    """(top-level names, {qualname: [(parameter, default)]}, {qualname: docstring}) of a stub file; the
    Protocol classes that describe the connection are not module names."""
    tree = ast.parse(path.read_text())
    names, sigs, docs = set(), {}, {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and any(getattr(b, "id", None) == "Protocol" for b in node.bases):
            continue
        if isinstance(node, ast.Import):
            names.update(a.asname or a.name for a in node.names)
        elif isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        for fn in [node] if isinstance(node, ast.FunctionDef) else getattr(node, "body", []):
            if isinstance(fn, ast.FunctionDef):
                a = fn.args
                assert not (a.posonlyargs or a.kwonlyargs or a.vararg or a.kwarg), fn.name
                defaults = [EMPTY] * (len(a.args) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
                prefix = "" if fn is node else node.name + "."
                sigs[prefix + fn.name] = [(p.arg, d) for p, d in zip(a.args, defaults)]
                docs[prefix + fn.name] = ast.get_docstring(fn, clean=False)
    return names, sigs, docs


@pytest.mark.parametrize("path", STUBS, ids=[p.parent.parent.name for p in STUBS])
def test_stub_matches_every_signature(path):
    names, sigs, docs = stub(path)
    assert names == {n for n in vars(mv) if not n.startswith("__")}
    callables = {n for n, v in vars(mv).items() if type(v) is type(mv.find)} | {"DB.__init__", "DB.connection"}
    assert set(sigs) == callables
    for qualname, params in sigs.items():
        fn = getattr(mv.DB, qualname[3:]) if qualname.startswith("DB.") else getattr(mv, qualname)
        got = inspect.signature(fn).parameters.values()
        assert [(p.name, p.default) for p in got] == params, qualname
        assert {p.kind for p in got} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}, qualname
        assert docs[qualname] == fn.__doc__, qualname  # what an editor shows is what help() shows


def test_metadata_claims_the_running_python():
    meta = metadata("morvel")
    assert morvel.__version__ == meta["Version"]
    assert f"Programming Language :: Python :: {sys.version_info[0]}.{sys.version_info[1]}" in meta.get_all("Classifier")
    assert platform.python_version() in SpecifierSet(meta["Requires-Python"])
    assert "Programming Language :: Python :: Implementation :: CPython" in meta.get_all("Classifier")
    assert platform.python_implementation() == "CPython"
