"""A merge killed at any of its statements leaves a sound file holding everything from before or after it."""

import os
import shutil
import signal
import sqlite3
import subprocess
import sys

from conftest import RecordingConnection, catalog, managed, schema
from morvel import morvel as mv

CHILD = r"""
import os, signal, sqlite3, sys, types
from morvel import morvel as mv
path, k, how = sys.argv[1], int(sys.argv[2]), sys.argv[3]
calls, real = [], sqlite3.connect(path)

def point(*args):  # the k-th statement, the commit, or the moment after the commit
    calls.append(1)
    if len(calls) == k:
        os._exit(9) if how == "exit" else os.kill(os.getpid(), signal.SIGKILL)

class Conn:
    isolation_level = property(lambda self: real.isolation_level)
    in_transaction = property(lambda self: real.in_transaction)

    def cursor(self):
        cur = real.cursor()
        return types.SimpleNamespace(execute=lambda *args: (point(), cur.execute(*args)), fetchall=cur.fetchall)

    def commit(self):
        point(), real.commit(), point()

mv.temp_to_main(Conn(), "homes")
"""


def state(path):
    """(rows of homes and temp_homes, catalog, tables, indexes)."""
    c = sqlite3.connect(path)
    try:
        assert c.execute("PRAGMA integrity_check").fetchall() == [("ok",)]
        rows = [c.execute(f"SELECT rowid, * FROM {t} ORDER BY rowid").fetchall() for t in ("homes", "temp_homes")]
        return rows, catalog(c), schema(c, "table"), [(name, table) for name, table, _ in schema(c, "index")]
    finally:
        c.close()


def test_merge_killed_at_each_statement(tmp_path):
    original = str(tmp_path / "original.db")
    managed(original, "homes", ["name", "city", "age"], [[0, 1], [2]], index={"by_age": "age"},
            main=[("a", "x", 1), ("b", "y", 2), ("c", "z", 3)], staged=[("a", "x", 10), ("d", "w", 2), ("d", "w", 5)])
    before = state(original)
    shutil.copy(original, tmp_path / "done.db")
    recorder = RecordingConnection(sqlite3.connect(tmp_path / "done.db"))
    mv.temp_to_main(recorder, "homes")
    recorder.real.close()
    after = state(str(tmp_path / "done.db"))
    assert after[0] != before[0] and after[0][1] == [] and after[1:] == before[1:]
    points = sum(e[0] in ("execute", "commit") for e in recorder.log) + 1  # and once more after the commit

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    for k in range(1, points + 1):
        for how, code in (("exit", 9), ("kill", -signal.SIGKILL)):
            path = str(tmp_path / f"run_{k}_{how}.db")
            shutil.copy(original, path)
            done = subprocess.run([sys.executable, "-c", CHILD, path, str(k), how], env=env, capture_output=True)
            assert done.returncode == code, (k, how, done.stderr.decode())
            # all of the merge or none of it, indexes included
            assert state(path) == (after if k == points else before), (k, how)
