"""The package's metadata names the running Python and the package's version (the type stub is checked with the
module's surface, in test_surface.py)."""

import os
import platform
import re
import sqlite3
import subprocess
import sys
from importlib.metadata import metadata, version

from packaging.specifiers import SpecifierSet

import pytest

import morvel
from conftest import managed
from morvel import morvel as mv
from morvel.cli import native_off_reason


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
