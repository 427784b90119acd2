"""The functions on every kind of connection: sqlite3's, the proxy, and those of other packages.

A random workload runs on a genuine sqlite3 connection and on the connection under test, each on a file of
its own: every call's result or error, the transaction state after it, and in the end every table and the
schema must agree. What a package does differently from sqlite3 is pinned in DIFFERENCES below (and listed in
the README), so that a new release of it that changes any of it is noticed.
"""

import os
import re
import sqlite3
import types

import pytest
from hypothesis import example, given, strategies as st

import morvel
from conftest import FOREIGN, broken_index, dump, examples, outcome
from morvel import morvel as mv
from morvel.cli import native_off_reason

COLS = ["k", "v", "w"]
# libsql binds an int outside 32 bits as a REAL (see DIFFERENCES); its workloads keep to the ints it keeps.
NARROW = {"libsql"}
I32 = 2 ** 31 - 1


def values(kind):
    ints = st.integers(-I32 - 1, I32) if kind.name in NARROW else st.integers(-(2 ** 63), 2 ** 63 - 1)
    return st.one_of(st.none(), st.integers(0, 4), ints, st.floats(allow_nan=False, width=32),
                     st.sampled_from(["", "a", "é", "1"]), st.binary(max_size=3))


def operations(kind):
    rows = st.lists(st.tuples(st.none() | st.integers(0, 5), values(kind), values(kind)), max_size=6)
    return st.lists(st.one_of(
        st.tuples(st.just("load"), st.tuples(rows, st.booleans())),
        st.tuples(st.just("merged"), st.tuples(st.booleans(), st.sampled_from([None, True, False]))),
        st.tuples(st.just("query"), st.sampled_from(["", "v IS NOT NULL", "w > 1"])),
        st.tuples(st.just("insert"), st.tuples(rows, st.booleans())),
        st.tuples(st.just("merge"), st.booleans()),
        st.tuples(st.just("find"), st.sampled_from(["", "WHERE v IS NOT NULL", "ORDER BY w LIMIT 3", "WHERE"])),
        st.tuples(st.just("delete"), st.lists(st.integers(1, 12), max_size=3)),
        st.tuples(st.just("indexes"), st.sampled_from(["drop_table_index", "active_table_index"])),
        st.tuples(st.just("end"), st.sampled_from(["commit", "rollback"])),
    ), max_size=8)


def step(op):
    kind, arg = op
    if kind == "insert":
        return lambda c: mv.insert_temp(c, "t", arg[0], comm=arg[1])
    if kind == "load":  # a generator, two rows a batch
        return lambda c: morvel.load(c, "t", (r for r in arg[0]), comm=arg[1], batch=2)
    if kind == "merge":
        return lambda c: mv.temp_to_main(c, "t", comm=arg)
    if kind == "merged":
        return lambda c: tuple(morvel.merge(c, "t", comm=arg[0], rebuild=arg[1]))
    if kind == "query":
        return lambda c: morvel.query(c, "t", arg)
    if kind == "find":
        return lambda c: mv.find(c, "*", "t", arg)
    if kind == "delete":
        return lambda c: mv.delete_row_main(c, "t", arg, comm=False)
    if kind == "indexes":
        return lambda c: getattr(mv, arg)(c, "t")
    return lambda c: getattr(c, arg)()


def run(connect, path, steps, level):
    """Prepares the file through the connection itself, then runs the steps; what each call gave."""
    conn = connect(path, isolation_level=level)
    morvel.prepare(conn)
    mv.create_table(conn, "t", COLS, [{"name": "by_v", "cols": "v"}], [{"name": "key", "cols": [0]}])
    mv._insert_main(conn, "t", [(0, "m0", 0.5), (2, "m2", None), (4, b"m4", -1)])
    log = [(outcome(s, conn), conn.in_transaction) for s in steps]
    conn.rollback()
    conn.close()
    return log, getattr(connect, "dump", dump)(path)


def as_on(kind, observed):
    """What sqlite3's outcome reads as on `kind`: libsql raises ValueError with SQLite's message for every
    SQLite error; the others raise their own classes of the same names."""
    if kind.name == "libsql" and observed[0] == "raised" and hasattr(sqlite3, observed[1]):
        return ("raised", "ValueError", observed[2], None, None)
    return observed


def as_told(kind, observed):
    """What `kind` raised, as sqlite3 tells it: dqlite-dbapi appends the node that answered to SQLite's message."""
    if kind.name == "dqlite" and observed[0] == "raised":
        return (*observed[:2], re.sub(r" to 127\.0\.0\.1:\d+$", "", observed[2]), *observed[3:])
    return observed


def reference_mode():
    """The genuine connection takes the native path wherever it can, even beside the other packages'
    copies of SQLite in the process; with MORVEL_NATIVE=0 the method path."""
    if os.environ.get("MORVEL_NATIVE") == "0" or native_off_reason() is not None:
        return "0"
    return "require"


@pytest.mark.parametrize("level", ["DEFERRED", "IMMEDIATE", None], ids=["deferred", "immediate", "autocommit"])
@examples(40)
@given(data=st.data())
def test_random_workloads_agree_with_sqlite3(connector, monkeypatch, tmp_path_factory, level, data):
    if connector.name == "dqlite" and level is not None:
        pytest.skip("dqlite-dbapi keeps the isolation level it is given but begins no transaction before a write: "
                    "only its own autocommit mode is sqlite3's")
    steps = [step(op) for op in data.draw(operations(connector))]
    where = tmp_path_factory.mktemp("w")
    monkeypatch.setenv("MORVEL_NATIVE", reference_mode())
    expected = run(sqlite3.connect, str(where / "reference.db"), steps, level)
    if connector.name == "sqlite3":  # the same connection on the other path
        monkeypatch.setenv("MORVEL_NATIVE", "0" if reference_mode() == "require" else "1")
    got = run(connector, str(where / "candidate.db"), steps, level)
    for i, (want, have) in enumerate(zip(expected[0], got[0])):
        assert (as_on(connector, want[0]), want[1]) == (as_told(connector, have[0]), have[1]), f"call {i}"
    assert expected[1] == got[1]


@pytest.mark.parametrize("comm", [True, False])
def test_failed_merge_rolled_back_leaves_everything_as_before(connector, tmp_path, comm):
    path = str(tmp_path / "m.db")
    conn = connector(path)
    morvel.prepare(conn)
    mv.create_table(conn, "t", COLS, [{"name": "by_v", "cols": "v"}], [{"name": "key", "cols": [0]}])
    mv._insert_main(conn, "t", [(1, "a", 0)])
    mv.insert_temp(conn, "t", [(1, "b", 1), (2, "c", 2)])
    broken_index(conn)
    read = getattr(connector, "dump", dump)
    before = read(path)
    with pytest.raises(Exception, match="no such column: no_such_column"):
        mv.temp_to_main(conn, "t", comm)
    # With comm the call rolls back itself, and so does a merge in autocommit mode; without, the caller does.
    assert conn.in_transaction is (not comm and conn.isolation_level is not None)
    conn.rollback()
    assert read(path) == before
    conn.close()


def _staged(c):
    return c.cursor().execute("SELECT k, typeof(k), v FROM temp_t ORDER BY rowid").fetchall()


def _insert(rows):
    def call(c):
        mv.insert_temp(c, "t", rows)
        return _staged(c)
    return call


# What a package's connection does differently from sqlite3's with the module's calls: (package, call,
# its outcome there). sqlite3's own outcome is measured beside it; each row is a difference.
DIFFERENCES = {
    # The forks of the sqlite3 module raise their own classes, of the same names and messages; a text of
    # several statements gets their older class for it.
    "pysqlite3-own-classes": ("pysqlite3", lambda c: mv.find(c, "*", "t", "WHERE"),
                              ("raised", "pysqlite3.dbapi2.OperationalError", "incomplete input")),
    "sqlean-own-classes": ("sqlean", lambda c: mv.find(c, "*", "t", "WHERE"),
                           ("raised", "sqlean.dbapi2.OperationalError", "incomplete input")),
    "pysqlite3-two-statements": ("pysqlite3", lambda c: mv.find(c, "*", "t", "; SELECT 1"),
                                 ("raised", "pysqlite3.dbapi2.Warning", "You can only execute one statement at a time.")),
    "sqlean-two-statements": ("sqlean", lambda c: mv.find(c, "*", "t", "; SELECT 1"),
                              ("raised", "sqlean.dbapi2.Warning", "You can only execute one statement at a time.")),
    # libsql: every SQLite error is a ValueError with SQLite's message, without its codes.
    "libsql-errors": ("libsql", lambda c: mv.find(c, "*", "t", "WHERE"), ("raised", "builtins.ValueError", "incomplete input")),
    # libsql runs the first statement of several, and binds a row of another length than the placeholders
    # (padded with NULL, or cut): the module says so once its execute has returned.
    "libsql-two-statements": ("libsql", lambda c: mv.find(c, "*", "t", "; SELECT 1"), ("raised", "builtins.ValueError",
                              "the connection took a text of several statements without an error: it does not refuse "
                              "them as sqlite3 does, and may have run the first of them, or all")),
    "libsql-short-row": ("libsql", _insert([(5, "x", 1), (6, "y")]), ("raised", "builtins.ValueError", "row 1 has 2 values "
                         "for 3 placeholders, and the connection bound it without an error: it does not check the number "
                         "of parameters. The row was sent: roll back to undo it")),
    "libsql-long-row": ("libsql", _insert([(5, "x", 1), (6, "y", 2, 3)]), ("raised", "builtins.ValueError", "row 1 has 4 "
                        "values for 3 placeholders, and the connection bound it without an error: it does not check the "
                        "number of parameters. The row was sent: roll back to undo it")),
    # libsql silently stores an int outside 32 bits as a REAL (beyond 2**53 a different number).
    "libsql-wide-int": ("libsql", _insert([(2 ** 31, "x", 1), (2 ** 53 + 1, "y", 2)]),
                        ("ok", [(2.0 ** 31, "real", "x"), (2.0 ** 53, "real", "y")])),
    # libsql refuses, with its own words, the values that sqlite3 adapts or binds as blobs.
    "libsql-bytearray": ("libsql", _insert([(5, bytearray(b"x"), 1)]),
                         ("raised", "builtins.ValueError", "Unsupported parameter type bytearray(b'x')")),
    # libsql panics on text that is not UTF-8: an exception that `except Exception` does not catch.
    "libsql-invalid-utf8": ("libsql", lambda c: (c.cursor().execute("INSERT INTO temp_t VALUES (2, CAST(x'ff' AS TEXT), 0)"),
                                                 mv.find(c, "*", "t", "")),
                            ("raised", "pyo3_runtime.PanicException",
                             "called `Result::unwrap()` on an `Err` value: Utf8Error { valid_up_to: 0, error_len: Some(1) }")),
}


@pytest.mark.parametrize("package, call, there", DIFFERENCES.values(), ids=DIFFERENCES.keys())
def test_differences_from_sqlite3(tmp_path, package, call, there):
    kind = FOREIGN[package]
    if kind.missing:
        pytest.skip(kind.missing)

    def seen(connect, name):
        conn = connect(str(tmp_path / name))
        morvel.prepare(conn)
        mv.create_table(conn, "t", COLS, [], [{"name": "key", "cols": [0]}])
        mv._insert_main(conn, "t", [(1, "a", 0)])
        try:
            return ("ok", call(conn))
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as exc:  # noqa: BLE001 - the error is what is compared, a panic included
            return ("raised", f"{type(exc).__module__}.{type(exc).__qualname__}", str(exc))
        finally:
            conn.rollback()
            conn.close()

    assert seen(kind, "there.db") == there
    assert seen(sqlite3.connect, "sqlite3.db") != there


def lenient(real):
    """A connection whose execute binds any number of values, as many as the statement has places for, and
    runs the first statement of several."""
    def execute(cur, sql, *params):
        if params:
            wanted = sql.count("?")
            params = (list(params[0])[:wanted] + [None] * (wanted - len(params[0])),)
        try:
            return cur.execute(sql, *params)
        except sqlite3.ProgrammingError:  # several statements: SQLite's own tokenizer finds where the first ends
            end = next(i for i, ch in enumerate(sql) if ch == ";" and sqlite3.complete_statement(sql[:i + 1]))
            return cur.execute(sql[:end + 1], *params)

    def cursor():
        cur = real.cursor()
        return types.SimpleNamespace(execute=lambda sql, *p: execute(cur, sql, *p), fetchall=cur.fetchall)
    return types.SimpleNamespace(cursor=cursor, commit=real.commit)


@pytest.mark.parametrize("call", [mv.insert_temp, mv._insert_main], ids=["insert_temp", "_insert_main"])
@pytest.mark.parametrize("rows, said", [
    ([(1, "a", 0), (2, "b")], "row 1 has 2 values for 3 placeholders"),
    ([[1, "a", 0], [2, "b", 0], [3, "c", 0, 9]], "row 2 has 4 values for 3 placeholders"),
], ids=["short", "long"])
def test_a_row_bound_at_another_length_is_refused(conn, call, rows, said):
    mv.create_table(conn, "t", COLS, [], [])
    with pytest.raises(ValueError, match=f"^{said}, and the connection bound it without an error: it does not check "
                                         "the number of parameters"):
        call(lenient(conn), "t", rows)
    conn.rollback()
    assert conn.execute("SELECT count(*) FROM t").fetchone() == conn.execute("SELECT count(*) FROM temp_t").fetchone() == (0,)


SEVERAL = ("raised", "ValueError", "the connection took a text of several statements without an error: it does not "
           "refuse them as sqlite3 does, and may have run the first of them, or all", None, None)
TAILS = st.lists(st.sampled_from([" ", "\n", ";", "'a;b'", "--c;\n", "/* ; */", "/*", "[x;y]", "SELECT 1", "v",
                                  "'it''s;'", '"v"', "é"]), max_size=6).map("".join)


@examples(150)
@given(tail=TAILS)
@example(tail="; SELECT 1")
@example(tail="; DROP TABLE t")
@example(tail=";\n ;")
@example(tail="; -- the end")
@example(tail=" /* ; */;  /* x */ ")
@example(tail=" AND v <> 'it'';s'")
@example(tail=" OR 'é;' = v ;")
def test_several_statements_are_told_as_sqlite3_tells_them(conn, tail):
    mv.create_table(conn, "t", COLS, [], [])
    mv.insert_temp(conn, "t", [(1, "a;b", 0)])
    conditions = "AS [x;y] WHERE v = 'a;b'" + tail
    want = outcome(lambda c: mv.find(c, "*", "t", conditions), conn)
    got = outcome(lambda c: mv.find(lenient(c), "*", "t", conditions), conn)
    assert got == (SEVERAL if want[:2] == ("raised", "ProgrammingError") and "one statement" in want[2] else want)
    assert conn.execute("SELECT count(*) FROM temp_t").fetchone() == (1,)  # a second statement never ran
