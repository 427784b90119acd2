"""morvel.index_staging: the staging table indexed like the main table's catalog, recorded in the file, kept by
every later write and merge, removed again; and what query answers through it."""

import contextlib
import os
import sqlite3
import subprocess
import sys

import pytest

import morvel
from conftest import RecordingConnection, managed, needs_native, schema
from morvel import morvel as mv


def staged_indexes(conn, table="t"):
    return sorted((n, s) for n, t, s in schema(conn, "index") if t == f"temp_{table}")


def recorded(conn):
    if not conn.execute("SELECT 1 FROM sqlite_master WHERE name = 'staging_index'").fetchall():
        return None
    return conn.execute("SELECT * FROM staging_index").fetchall()


@pytest.fixture
def t(conn):
    managed(conn, "t", ["k", "v", "w"], {"key": [0]}, main=[(1, "a", 10), (2, "b", 20)],
            staged=[(2, "c", 30), (3, "d", 40)], index={"by_w": "w"})
    return conn


def failed_load(c):
    def rows():
        yield 9, "x", 1
        raise KeyError("the source broke")

    with pytest.raises(KeyError):
        morvel.load(c, "t", rows(), batch=1)
    assert c.execute("SELECT count(*) FROM temp_t").fetchone() == (0,)


WANTED = [("temp_t_by_w", "CREATE INDEX temp_t_by_w ON temp_t (w)"), ("temp_t_key", "CREATE INDEX temp_t_key ON temp_t (k)")]

# Each step, then what the staging table's indexes and the record are.
STEPS = {
    "on": ([lambda c: morvel.index_staging(c, "t")], WANTED, [("t",)]),
    "idempotent": ([lambda c: morvel.index_staging(c, "t")] * 2, WANTED, [("t",)]),
    "off": ([lambda c: morvel.index_staging(c, "t"), lambda c: morvel.index_staging(c, "t", False)], [], []),
    "off_without_record": ([lambda c: morvel.index_staging(c, "t", on=False)], [], None),
    "insert_temp_keeps": ([lambda c: morvel.index_staging(c, "t"), lambda c: mv.insert_temp(c, "t", [(9, "x", 1)])],
                          WANTED, [("t",)]),
    "load_keeps": ([lambda c: morvel.index_staging(c, "t"), lambda c: morvel.load(c, "t", [(9, "x", 1)])],
                   WANTED, [("t",)]),
    # from empty, the indexes go before the rows and come back after them; a failed load brings them back too
    "load_into_empty_keeps": ([lambda c: morvel.index_staging(c, "t"), lambda c: morvel.merge(c, "t"),
                               lambda c: morvel.load(c, "t", [(9, "x", 1), (10, "y", 2)], batch=1)],
                              WANTED, [("t",)]),
    "failed_load_into_empty_keeps": ([lambda c: morvel.index_staging(c, "t"), lambda c: morvel.merge(c, "t"),
                                      failed_load], WANTED, [("t",)]),
    "temp_to_main_keeps": ([lambda c: morvel.index_staging(c, "t"), lambda c: mv.temp_to_main(c, "t")],
                           WANTED, [("t",)]),
    "merge_keeps": ([lambda c: morvel.index_staging(c, "t"), lambda c: morvel.merge(c, "t", rebuild=False)],
                    WANTED, [("t",)]),
    "rebuilding_merge_keeps": ([lambda c: morvel.index_staging(c, "t"), lambda c: morvel.merge(c, "t", rebuild=True)],
                               WANTED, [("t",)]),
    # an index registered later is copied by the next call; one dropped from the catalog goes
    "resync": ([lambda c: morvel.index_staging(c, "t"), lambda c: mv.insert_index(c, {"table": "t", "name": "v2", "cols": "v"}),
                lambda c: mv.drop_index(c, "t", "by_w"), lambda c: morvel.index_staging(c, "t")],
               [("temp_t_key", "CREATE INDEX temp_t_key ON temp_t (k)"), ("temp_t_v2", "CREATE INDEX temp_t_v2 ON temp_t (v)")],
               [("t",)]),
    # create_table drops the staging table with its indexes: the record stays, query scans until a new call
    "create_table_drops": ([lambda c: morvel.index_staging(c, "t"), lambda c: mv.create_table(c, "t", ["k"], [], [])],
                           [], [("t",)]),
}


@pytest.mark.parametrize("steps,indexes,record", STEPS.values(), ids=STEPS.keys())
def test_index_staging_steps(t, steps, indexes, record):
    main = schema(t, "index")
    main = [i for i in main if not i[0].startswith("temp_")]
    for step in steps:
        step(t)
    assert staged_indexes(t) == indexes and recorded(t) == record
    if staged_indexes(t) == WANTED:  # the main table's indexes as they were
        assert [i for i in schema(t, "index") if not i[0].startswith("temp_")] == main
    assert not t.in_transaction


def test_query_answers_the_same_through_the_indexes(t):
    before = morvel.query(t, "t"), morvel.query(t, "t", "w >= ?", [20], order_by="w DESC", limit=2)
    morvel.index_staging(t, "t")
    proxy = RecordingConnection(t)
    assert (morvel.query(proxy, "t"), morvel.query(proxy, "t", "w >= ?", [20], order_by="w DESC", limit=2)) == before
    assert any("NOT EXISTS" in s for s, _ in proxy.executes())  # through the one statement
    # The texts kept from one call to the next answer only the same condition: the proxy builds them anew.
    for where, params, kw in 2 * [("k > ?", [0], {}), ("k > ?", [1], {}), ("".join(["k", " > ?"]), [2], {}),
                                  ("w >= ?", [20], {}), ("k > ?", [0], {"limit": 1}), ("", [], {}),
                                  ("k > ?", [0], {"columns": "v"}), ("k > ?", [0], {"order_by": "w"})]:
        assert morvel.query(t, "t", where, params, **kw) == morvel.query(proxy, "t", where, params, **kw), where
    morvel.index_staging(t, "t", False)
    proxy.clear()
    assert morvel.query(proxy, "t") == before[0] and not any("NOT EXISTS" in s for s, _ in proxy.executes())


def rekeyed(c, db_path, tmp_path):
    """Another connection makes t anew with its key on v, and rows that the new key supersedes."""
    with contextlib.closing(sqlite3.connect(db_path)) as other:
        managed(other, "t", ["k", "v", "w"], {"key": [1]}, main=[(1, "a", 10), (2, "b", 20)], staged=[(5, "a", 50)])
        morvel.index_staging(other, "t")


def another_file(c, db_path, tmp_path):
    """The connection closes; one on another file made by the same statements, with another key, takes its
    place (and most likely its memory)."""
    c.close()
    path = str(tmp_path / "other.db")
    managed(path, "t", ["k", "v", "w"], {"key": [1]}, main=[(1, "a", 10), (2, "b", 20)], staged=[(2, "a", 30)])
    other = sqlite3.connect(path)
    morvel.index_staging(other, "t")
    return other


# Changes after which what the first query read of the catalog no longer holds: the next query reads again.
CHANGED = {
    "rekeyed_by_another_connection": rekeyed,
    "another_connection_on_another_file": another_file,
    "a_column_added_inside_a_transaction": lambda c, *_: [c.execute("BEGIN"), c.execute("ALTER TABLE t ADD x"),
                                                         c.execute("ALTER TABLE temp_t ADD x")],
    "the_catalog_rewritten_inside_a_transaction": lambda c, *_: c.execute(
        "UPDATE unique_table SET col_num = '1' WHERE table_name = 't'"),
    "the_catalog_rewritten_and_committed": lambda c, *_: [c.execute(
        "UPDATE unique_table SET col_num = '1' WHERE table_name = 't'"), c.commit()],
}


@pytest.mark.parametrize("change", CHANGED.values(), ids=CHANGED.keys())
def test_query_reads_the_catalog_again_after_any_change(t, db_path, tmp_path, change):
    """A query through indexed staging keeps what it read of the catalog for the next call on the same
    connection while its database stands where it stood; any change made since, by this connection or another,
    is seen. The proxy's calls read everything each time."""
    morvel.index_staging(t, "t")
    before = morvel.query(t, "t", "k > ?", [0])
    assert morvel.query(t, "t", "k > ?", [0]) == before
    made = change(t, db_path, tmp_path)
    c = made if isinstance(made, sqlite3.Connection) else t
    try:
        after = morvel.query(c, "t", "k > ?", [0])
        assert after == morvel.query(RecordingConnection(c), "t", "k > ?", [0]) and after != before
    finally:
        if c is not t:
            c.close()


@pytest.mark.parametrize("comm", [True, False])
def test_index_staging_is_all_or_nothing(t, comm):
    """A failure halfway (a catalog index on a column that does not exist) leaves neither indexes nor record."""
    t.execute("INSERT INTO index_table VALUES ('t', 'broken', 'no_such_column')")
    t.commit()
    t.execute("SELECT 1")
    if not comm:
        t.execute("BEGIN")
    with pytest.raises(sqlite3.OperationalError, match="no_such_column"):
        morvel.index_staging(t, "t", comm=comm)
    if not comm:
        t.rollback()
    assert staged_indexes(t) == [] and recorded(t) is None and not t.in_transaction


def test_index_staging_commits_with_comm_and_joins_without(t, db_path):
    morvel.index_staging(t, "t", comm=False)
    assert t.in_transaction
    t.rollback()  # the record table itself may stay, as DDL outside a transaction commits at once
    assert staged_indexes(t) == [] and not recorded(t)
    morvel.index_staging(t, "t")
    assert not t.in_transaction
    with sqlite3.connect(db_path) as other:
        assert staged_indexes(other) == WANTED and recorded(other) == [("t",)]


REFUSED = {
    "unmanaged": (lambda c: c.execute("CREATE TABLE plain (a)") and morvel.index_staging(c, "plain"),
                  ValueError, "plain is not a managed table"),
    "missing": (lambda c: morvel.index_staging(c, "nope"), ValueError, "nope is not a managed table"),
    "not_plain": (lambda c: morvel.index_staging(c, "a b"), ValueError, "not a plain SQL identifier"),
    # a table named temp whose index takes the name the copy of t's index would take
    "name_taken": (lambda c: (c.execute("CREATE TABLE temp_x (a)"), c.execute("CREATE INDEX temp_t_key ON temp_x (a)"),
                              morvel.index_staging(c, "t")), ValueError, "'temp_t_key'.*is the name of an index of 'temp_x'"),
}


@pytest.mark.parametrize("call,error,message", REFUSED.values(), ids=REFUSED.keys())
def test_index_staging_refuses(t, call, error, message):
    with pytest.raises(error, match=message):
        call(t)
    assert staged_indexes(t) == [] and recorded(t) is None


def test_a_file_made_before_and_one_with_indexed_staging_work_with_every_function(tmp_path):
    """Every catalog function on a file without staging_index, and on one with it: the same outcome."""
    outcomes = []
    for indexed in (False, True):
        path = str(tmp_path / f"{indexed}.db")
        managed(path, "t", ["k", "v"], [[0]], main=[(1, "a")], staged=[(1, "b"), (2, "c")])
        with sqlite3.connect(path) as c:
            if indexed:
                morvel.index_staging(c, "t")
            mv.insert_temp(c, "t", [(3, "d")])
            found = mv.find(c, "*", "t", "")
            queried = morvel.query(c, "t")
            mv.temp_to_main(c, "t")
            mv.insert_temp(c, "t", [(3, "e")])
            report = morvel.merge(c, "t")
            mv.drop_table_index(c, "t")
            mv.active_table_index(c, "t")
            mv.delete_row_main(c, "t", [1])
            rows = c.execute("SELECT rowid, * FROM t ORDER BY rowid").fetchall()
            outcomes.append((sorted(found), queried, report, rows))
            if indexed:
                assert staged_indexes(c) == [("temp_t_u0", "CREATE INDEX temp_t_u0 ON temp_t (k)")]
            mv.drop_table(c, "t")
    assert outcomes[0] == outcomes[1]


@needs_native
def test_a_condition_that_closes_the_connection_raises_through_the_indexes(tmp_path):
    """Python code that closes the connection in the middle of the indexed plan's statements (a function of
    the condition) meets the closed-connection error, where the sqlite3 module's own execute would crash (and
    does, on the method path): they run on the native path, however often the same text comes. In a process
    of its own."""
    script = f"""
import sqlite3, morvel
from morvel import morvel as mv
c = sqlite3.connect({str(tmp_path / "closing.db")!r})
morvel.prepare(c)
mv.create_table(c, "t", ["k", "v"], [], [{{"name": "key", "cols": [0]}}])
mv.insert_temp(c, "t", [(1, "a"), (2, "b")])
morvel.index_staging(c, "t")
assert morvel.query(c, "t", "k > ?", [0]) == morvel.query(c, "t", "k > ?", [0]) == [[1, "a"], [2, "b"]]
c.create_function("closer", 1, lambda k: c.close() or 1)
try:
    morvel.query(c, "t", "closer(k)")
except sqlite3.ProgrammingError as e:
    print(e)
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                          env={**os.environ, "MORVEL_NATIVE": "require"})
    assert (done.returncode, done.stdout, done.stderr) == (0, "Cannot operate on a closed database.\n", "")
