"""A merge killed at any of its statements leaves a sound file holding everything from before or after it."""

import os
import shutil
import signal
import sqlite3
import traceback
import types

from conftest import RecordingConnection, catalog, managed, schema
from morvel import morvel as mv


class Dying:
    """A connection on the file at `path` that ends its process at its k-th point: a statement, the commit, or the
    moment after the commit; by os._exit ("exit") or SIGKILL ("kill")."""

    def __init__(self, path, k, how):
        self.real, self.k, self.how, self.calls = sqlite3.connect(path), k, how, 0

    isolation_level = property(lambda self: self.real.isolation_level)
    in_transaction = property(lambda self: self.real.in_transaction)

    def point(self):
        self.calls += 1
        if self.calls == self.k:
            os._exit(9) if self.how == "exit" else os.kill(os.getpid(), signal.SIGKILL)

    def cursor(self):
        cur = self.real.cursor()
        return types.SimpleNamespace(execute=lambda *args: (self.point(), cur.execute(*args)), fetchall=cur.fetchall)

    def commit(self):
        self.point(), self.real.commit(), self.point()


def merge_in_a_process(path, k, how):
    """The exit status of a process, forked from this one (a new interpreter would start for longer than it
    runs), that merges homes in the file at `path` through Dying(path, k, how)."""
    pid = os.fork()
    if pid == 0:  # the process that dies: it never returns into the test
        code = 0
        try:
            mv.temp_to_main(Dying(path, k, how), "homes")
        except BaseException:  # noqa: BLE001 - told on the test's stderr, and in the exit status
            os.write(2, traceback.format_exc().encode())
            code = 1
        os._exit(code)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


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

    for k in range(1, points + 1):
        for how, code in (("exit", 9), ("kill", -signal.SIGKILL)):
            path = str(tmp_path / f"run_{k}_{how}.db")
            shutil.copy(original, path)
            assert merge_in_a_process(path, k, how) == code, (k, how)
            # all of the merge or none of it, indexes included
            assert state(path) == (after if k == points else before), (k, how)
