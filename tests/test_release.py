"""The type stub shipped with the package describes exactly the module's callables and names; the package's
metadata names the running Python and the package's version."""

import ast
import inspect
import os
import platform
import re
import sqlite3
import subprocess
import sys
from importlib.metadata import metadata, version
from pathlib import Path

from packaging.specifiers import SpecifierSet

import pytest

import morvel
from conftest import managed
from morvel import morvel as mv
from morvel.cli import native_off_reason

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


@pytest.mark.parametrize("setting", [None, "0", "require"])
def test_version_tells_what_a_bug_report_needs(setting):
    env = {k: v for k, v in os.environ.items() if k != "MORVEL_NATIVE"} | ({"MORVEL_NATIVE": setting} if setting else {})
    r = subprocess.run([sys.executable, "-m", "morvel", "--version"], env=env, capture_output=True, text=True)
    why = native_off_reason()
    native = "off: MORVEL_NATIVE=0 in the environment" if setting == "0" else f"off: {why}" if why else "on"
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout.splitlines() == [
        f"morvel {version('morvel')}",
        f"Python {platform.python_version()} (CPython) on {platform.platform()}",
        f"SQLite {sqlite3.sqlite_version}",
        f"native path: {native}",
    ]


def test_an_interpreter_whose_layout_is_not_verified_runs_on_the_method_path(monkeypatch, tmp_path):
    """The native path is off for no other reason (CI also builds the module as for an unverified CPython)."""
    why = native_off_reason()
    if why is None:
        pytest.skip("the native path is on here")
    verified = "3.11, 3.12, 3.13, 3.14 and 3.15"
    found = re.fullmatch(rf"the connection layout of CPython (3\.\d+) is not verified \(verified: {verified}\)", why)
    assert found and found[1] not in re.split(", | and ", verified), why
    managed(str(tmp_path / "u.db"), "t", ["k", "v"], {"key": [0]}, staged=[(1, "a"), (2, "b"), (1, "c")])
    conn = sqlite3.connect(tmp_path / "u.db")
    mv.temp_to_main(conn, "t")
    assert sorted(mv.find(conn, "k,v", "t", "")) == [[1, "c"], [2, "b"]]
    monkeypatch.setenv("MORVEL_NATIVE", "require")
    with pytest.raises(RuntimeError) as info:
        mv.find(conn, "k,v", "t", "")
    assert str(info.value) == f"MORVEL_NATIVE=require, but the native path is off: {why}"
