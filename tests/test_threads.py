"""Several connections at work on one file: loaders in threads, and writers that meet a merge halfway."""

import random
import sqlite3
import subprocess
import sys
import threading
import time

import pytest

import morvel
from conftest import DEPTH, RecordingConnection, managed, needs_native, unique_name
from morvel import morvel as mv

REFUSED = ("Another thread is inside a morvel call on this connection: one connection takes the calls of one "
           "thread at a time.")


def work(path, i):
    # Several loaders on one file: a merge opened IMMEDIATE waits for the other writers instead of failing.
    c = sqlite3.connect(path, isolation_level="IMMEDIATE", timeout=60, check_same_thread=False)
    table, rng, newest = f"tab{i}", random.Random(i), {}
    mv.create_table(c, table, ["k", "v", "w"], [{"name": "by_v", "cols": "v"}], [{"name": "key", "cols": [0]}])
    for rnd in range(12):
        batch = [(rng.randrange(15), rng.randrange(1000), f"{i}-{rnd}-{j}") for j in range(10)]
        mv.insert_temp(c, table, batch)
        newest.update((row[0], list(row)) for row in batch)
        assert sorted(mv.find(c, "*", table, "")) == sorted(newest.values())
        assert sorted(mv.find(c, "w,k", table, "WHERE v < 500")) == sorted(
            [w, k] for k, v, w in newest.values() if v < 500)
        if rnd % 3 == 2:
            mv.temp_to_main(c, table)
            assert c.execute(f"SELECT count(*) FROM temp_{table}").fetchone() == (0,)
            assert sorted(map(list, c.execute(f"SELECT * FROM {table}"))) == sorted(newest.values())
            indexes = c.execute("SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = ?", (table,))
            assert sorted(indexes) == [(f"{table}_by_v",), (f"{table}_key",)]
    c.close()


@pytest.mark.parametrize("one_file", [True, False], ids=["one-file", "own-files"])
def test_threads_with_their_own_connections_and_tables(tmp_path, one_file):
    failures = []

    def run(i):
        try:
            work(str(tmp_path / ("shared.db" if one_file else f"own{i}.db")), i)
        except BaseException as exc:  # noqa: BLE001 - reported by the main thread
            failures.append((i, exc))

    # The files are prepared first: DB's own connection waits only its default 5 s for a lock, which four
    # loaders reading in snapshots on a slow (debug, sanitizer) interpreter can hold longer between them.
    for path in {str(tmp_path / ("shared.db" if one_file else f"own{i}.db")) for i in range(4)}:
        mv.DB(unique_name(), path)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads often
    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join(300)
    finally:
        sys.setswitchinterval(interval)
    assert not any(t.is_alive() for t in threads) and failures == []


class Hooked(RecordingConnection):
    """A recording connection that runs `hook(n)` after its n-th fetchall or execute."""

    def __init__(self, conn, hook):
        super().__init__(conn)
        self.hook, self.calls = hook, 0

    def cursor(self):
        cur, owner = super().cursor(), self

        class Cursor:
            def execute(self, *args):
                cur.execute(*args)
                owner.calls += 1
                owner.hook(owner.calls)

            def fetchall(self):
                rows = cur.fetchall()
                owner.calls += 1
                owner.hook(owner.calls)
                return rows
        return Cursor()


def staged_file(path):
    managed(path, "t", ["k", "v"], {"key": [0]}, main=[(k, "main") for k in range(20)],
            staged=[(k, "staged") for k in range(10, 30)], index={"by_v": "v"})


def keys_and_rows(path):
    c = sqlite3.connect(path)
    main = [k for k, in c.execute("SELECT k FROM t")]
    rows = set(c.execute("SELECT * FROM t UNION ALL SELECT * FROM temp_t"))
    c.close()
    return main, rows


OTHER_ROWS = [("x1", "other"), ("x2", "other")]


@pytest.mark.parametrize("where", ["another-connection", "another-thread"])
def test_rows_staged_during_a_merge_are_never_lost(tmp_path, where):
    # Staged by another connection on the file, the rows are merged, left staged or refused with "database is
    # locked". Staged by another thread on the merge's own connection, they are refused at every point of
    # the merge (the merge would empty them unmerged), and that thread waits for nothing.
    n = 0
    while True:
        n += 1
        path = str(tmp_path / f"f{n}.db")
        staged_file(path)
        other = sqlite3.connect(path, timeout=0)
        outcome = []

        def on_another_connection():
            try:
                other.executemany("INSERT INTO temp_t VALUES (?, ?)", OTHER_ROWS)
                other.commit()
                return "committed"
            except sqlite3.OperationalError as exc:
                assert str(exc) == "database is locked"
                other.rollback()
                return "refused"

        def on_another_thread():
            got = []

            def stage():
                try:
                    mv.insert_temp(merging, "t", OTHER_ROWS)
                    got.append("committed")
                except sqlite3.ProgrammingError as exc:
                    got.append("refused" if str(exc) == REFUSED else str(exc))

            thread = threading.Thread(target=stage)
            thread.start()
            thread.join()
            return got[0]

        stage_elsewhere = on_another_connection if where == "another-connection" else on_another_thread
        merging = Hooked(sqlite3.connect(path, check_same_thread=False),
                         lambda calls: calls == n and outcome.append(stage_elsewhere()))
        mv.temp_to_main(merging, "t")
        merging.real.close()
        other.close()
        main, rows = keys_and_rows(path)
        assert len(main) == len(set(main))
        if outcome == ["committed"]:
            assert set(OTHER_ROWS) <= rows, n
        if where == "another-thread":
            assert outcome in ([], ["refused"]), n
        if not outcome:  # the merge ended before its n-th call: every point has been tried
            break
    assert n > 10


@pytest.mark.parametrize("level", ["", "IMMEDIATE", None], ids=["deferred", "immediate", "autocommit"])
def test_two_merges_of_one_table_at_once(tmp_path, level):
    # Each merge takes the write lock with its BEGIN IMMEDIATE, whatever the connection's level: the second
    # waits for the first to commit, then merges what is left (nothing), and neither fails.
    path = str(tmp_path / "two.db")
    staged_file(path)
    failures = []

    def merge():
        conn = sqlite3.connect(path, isolation_level=level, timeout=30, check_same_thread=False)
        try:
            mv.temp_to_main(conn, "t")
        except sqlite3.OperationalError as exc:
            failures.append(str(exc))
        conn.close()

    threads = [threading.Thread(target=merge) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert failures == []
    main, rows = keys_and_rows(path)
    assert sorted(main) == list(range(30)) and len(rows) == 30


def test_a_write_waiting_for_a_reader_in_another_thread_lets_that_thread_run(tmp_path):
    path = str(tmp_path / "wait.db")
    managed(path, "t", ["k", "v"])
    writer = sqlite3.connect(path, timeout=30)
    mv.insert_temp(writer, "t", [(k, "first") for k in range(10)])
    writer.execute("PRAGMA cache_size = 5")  # the batch spills to the file: that needs the exclusive lock
    reading, done = threading.Event(), []

    def read_for_a_while():
        reader = sqlite3.connect(path)
        cur = reader.execute("SELECT * FROM temp_t")
        cur.fetchone()  # the unfinished statement holds the shared lock
        reading.set()
        for _ in range(5):  # Python work: it needs the interpreter lock while the writer waits
            threading.Event().wait(0.01)
        cur.close()
        reader.close()
        done.append(True)

    thread = threading.Thread(target=read_for_a_while)
    thread.start()
    reading.wait(10)
    mv.insert_temp(writer, "t", [(k, "x" * 200) for k in range(5000)])
    # Had the writer kept the interpreter lock while it waits, the reader could never let go of its lock:
    # the spill would wait out the whole timeout and fail with "database is locked".
    thread.join(30)
    assert done == [True]
    assert writer.execute("SELECT count(*) FROM temp_t").fetchone() == (5010,)
    writer.close()


def test_a_call_waiting_for_a_lock_on_a_new_connection_lets_other_threads_run(tmp_path):
    # A call's first contact with a fresh connection must not wait for a database lock while it holds the
    # interpreter lock: the holder of the database lock may need it to let go (here: the main thread).
    path = str(tmp_path / "new.db")
    managed(path, "t", ["k"])
    holder = sqlite3.connect(path, isolation_level=None)
    holder.execute("BEGIN EXCLUSIVE")
    calling, answers = threading.Event(), []

    def call():
        conn = sqlite3.connect(path, timeout=60)
        calling.set()
        start = time.monotonic()
        answers.append(mv.find(conn, "*", "t", ""))
        answers.append(time.monotonic() - start < 30)  # a hang guard: it waits for the ROLLBACK only
        conn.close()

    thread = threading.Thread(target=call, daemon=True)
    thread.start()
    calling.wait(10)
    threading.Event().wait(0.2)  # time to start waiting; sooner or later, the outcome is the same
    # Had the call held the interpreter lock while it waits, this thread could only roll back once the
    # call's 60 s busy timeout had run out.
    holder.execute("ROLLBACK")
    thread.join(120)
    holder.close()
    assert answers == [[], True]


def shared(connector, path):
    """A connection of `connector` on `path` that any thread may use."""
    try:
        return connector(path, check_same_thread=False)
    except TypeError:  # a package without the check
        return connector(path)


def outcome(call):
    try:
        return call()
    except Exception as exc:  # noqa: BLE001 - the error is what is compared
        return type(exc), str(exc)


def test_a_connection_takes_the_calls_of_one_thread_at_a_time(connector, tmp_path):
    """A thread is held inside a load on the connection, its rows coming from a generator that waits: every
    other thread's call on that connection is refused before it sends anything, with the ProgrammingError of
    the connection's own sqlite3 module (sqlite3's for any other object), even a thread that the first one
    waits for; the first thread's own calls nested inside its call run, and so do calls on another
    connection. Once the call has ended, by an error here, the connection takes calls from any thread."""
    # The proxy and aiosqlite's stand-in are no connections of any module's; libsql's module has no
    # ProgrammingError.
    refused = (sqlite3 if connector.name in ("proxy", "libsql", "aiosqlite") else connector.module).ProgrammingError
    paths = [str(tmp_path / "one.db"), str(tmp_path / "other.db")]
    conn, other = (shared(connector, p) for p in paths)
    for c in (conn, other):
        morvel.prepare(c)
        mv.create_table(c, "t", ["k", "v"], [], [{"name": "key", "cols": [0]}])
        mv.insert_temp(c, "t", [(1, "staged")])
    inside, release, seen = threading.Event(), threading.Event(), {}

    def rows():
        seen["nested"] = [mv.find(conn, "k,v", "t", ""), morvel.query(conn, "t", columns="k")]
        helper, box = threading.Thread(target=lambda: box.append(outcome(lambda: mv.find(conn, "*", "t", "")))), []
        helper.start()
        helper.join()  # a call that waited for this one to end would never end
        seen["helper"] = box
        inside.set()
        release.wait(60)  # a hang guard: the main thread releases it
        yield 2, "loaded"
        raise ValueError("the rows end badly")

    first = []
    thread = threading.Thread(target=lambda: first.append(outcome(lambda: morvel.load(conn, "t", rows()))))
    thread.start()
    assert inside.wait(60)
    calls = [lambda: mv.insert_temp(conn, "t", [(3, "other")]), lambda: morvel.load(conn, "t", [(3, "other")]),
             lambda: mv.temp_to_main(conn, "t"), lambda: morvel.merge(conn, "t"), lambda: mv.drop_table(conn, "t"),
             lambda: mv.find(conn, "*", "t", ""), lambda: morvel.query(conn, "t")]
    others = [outcome(call) for call in calls]
    elsewhere = mv.find(other, "k,v", "t", "")
    release.set()
    thread.join(60)
    assert others == [(refused, REFUSED)] * len(calls)
    assert elsewhere == [[1, "staged"]]
    assert seen == {"nested": [[[1, "staged"]], [[1]]], "helper": [(refused, REFUSED)]}
    assert first == [(ValueError, "the rows end badly")]
    mv.insert_temp(conn, "t", [(4, "after")])
    for c in (conn, other):
        c.close()
    check = connector(paths[0]) if hasattr(connector, "dump") else sqlite3.connect(paths[0])  # a cluster's file
    assert check.execute("SELECT * FROM temp_t ORDER BY rowid").fetchall() == [(1, "staged"), (4, "after")]
    assert check.execute("SELECT count(*) FROM t").fetchone() == (0,)
    check.close()


_CLOSED_UNDER_CALLS = r"""
import random, sqlite3, sys, threading, time
import morvel
from morvel import morvel as mv

rounds, workers = int(sys.argv[1]), int(sys.argv[2])
for trial in range(rounds):
    conn = sqlite3.connect(":memory:", check_same_thread=False)
    morvel.prepare(conn)
    mv.create_table(conn, "t", ["k", "v"], [{"name": "by_v", "cols": "v"}], [{"name": "key", "cols": [0]}])
    calls = [lambda r: mv.active_table_index(conn, "t", False),
             lambda r: mv.insert_temp(conn, "t", [(r.randrange(40), r.random()) for _ in range(8)]),
             lambda r: morvel.load(conn, "t", ((r.randrange(40), "l") for _ in range(8)), batch=3),
             lambda r: mv.find(conn, "*", "t", "WHERE k < 20"),
             lambda r: morvel.query(conn, "t", "k > ?", [5]),
             lambda r: mv.temp_to_main(conn, "t"),
             lambda r: morvel.merge(conn, "t")]
    errors, started = [], threading.Barrier(workers + 1)

    def work(i):
        rng = random.Random(trial * workers + i)
        started.wait()
        while True:
            try:
                rng.choice(calls)(rng)
            except sqlite3.ProgrammingError as exc:  # any other error ends the thread, and the run fails
                if not str(exc).startswith("Another thread is inside a morvel call on this connection"):
                    errors.append(str(exc))
                    return

    threads = [threading.Thread(target=work, args=(i,)) for i in range(workers)]
    for thread in threads:
        thread.start()
    started.wait()
    time.sleep(random.Random(trial).uniform(0, 0.003))
    conn.close()  # at any moment of a call: before, during or after any of its statements
    for thread in threads:
        thread.join()
    assert errors == ["Cannot operate on a closed database."] * workers, errors
"""


@needs_native
@pytest.mark.parametrize("workers,rounds", [(1, 200), (3, 100)], ids=["one-worker", "three-workers"])
def test_another_thread_closing_the_connection_at_any_moment_of_calls(monkeypatch, workers, rounds):
    # The native path only: the sqlite3 module's own execute (the method path's statements) crashes when
    # another thread closes the connection during its step, with one worker already. With several workers,
    # only one at a time is inside a call; the others are refused and try again. The rounds never shrink with
    # the depth (a quick run of a sanitizer build is where a race shows), and grow beyond 1.
    monkeypatch.setenv("MORVEL_NATIVE", "require")
    rounds = str(round(rounds * max(DEPTH, 1)))
    out = subprocess.run([sys.executable, "-c", _CLOSED_UNDER_CALLS, rounds, str(workers)], capture_output=True,
                         text=True, timeout=600)
    assert out.returncode == 0, out.stderr[-2000:]
