"""Bulk row insertion (staging and main tables) and deletion of main rows by rowid."""

import collections.abc
import contextlib
import functools
import sqlite3

import pytest

from conftest import RecordingConnection
from morvel import morvel as mv
from test_catalog import BEGIN, owned

CURSOR, COMMIT = ("cursor",), ("commit",)
ROWS = [(1, "x", 2.5, None), (2, "y", b"z", 3), (3, "x", -1, "w")]


def stmt(text):
    return "\n" + " " * 12 + text + "\n" + " " * 8


def ins(table, val_str, params):
    return ("execute", stmt(f"INSERT INTO {table} Values ({val_str})"), params)


def dele(table, j):
    return ("execute", stmt(f"DELETE From {table} Where rowid in ({j})"))


class RawProxy(RecordingConnection):
    """Also keeps the very parameter objects handed to execute."""

    def cursor(self):
        cur, self.raw = super().cursor(), getattr(self, "raw", [])
        forward = cur.execute

        def execute(sql, *params):
            self.raw.extend(params[:1])
            return forward(sql, *params)

        cur.execute = execute
        return cur


@pytest.fixture
def tables(conn):
    mv.create_table(conn, "t4", ["a", "b", "c", "d"], [], [])
    mv.create_table(conn, "t1", ["a"], [], [])
    return conn


def rows_of(conn, table):
    return conn.execute(f"SELECT rowid, * FROM {table} ORDER BY rowid").fetchall()


inserters = pytest.mark.parametrize("func,prefix", [(mv.insert_temp, "temp_"), (mv._insert_main, "")],
                                    ids=["temp", "main"])


@inserters
@pytest.mark.parametrize("table,rows,val_str", [("t4", ROWS, "?,?,?,?"), ("t1", [("a",), ["b"]], "?")])
@pytest.mark.parametrize("comm,commits", [(True, True), (1, True), (1.0, True), (False, False),
                                          (0, False), (2, False), ("yes", False), (None, False)])
def test_one_execute_per_row_then_commit(tables, func, prefix, table, rows, val_str, comm, commits):
    proxy = RecordingConnection(tables)
    assert func(proxy, table, rows, comm=comm) is None
    assert proxy.log == owned([CURSOR] + [ins(prefix + table, val_str, list(r)) for r in rows], commits)
    assert [r[1:] for r in rows_of(tables, prefix + table)] == [tuple(r) for r in rows]
    assert tables.in_transaction == (not commits)


@inserters
def test_rows_are_new_lists_of_any_iterable(tables, func, prefix):
    proxy = RawProxy(tables)
    row = sqlite3.connect(":memory:")
    row.row_factory = sqlite3.Row
    batch = ((1, 2, 3, 4), [5, 6, 7, 8], range(9, 13), iter((13, 14, 15, 16)), (v for v in range(17, 21)),
             row.execute("SELECT 21, 22, 23, 24").fetchone())
    func(proxy, "t4", batch)
    assert all(type(p) is list for p in proxy.raw)
    assert proxy.raw[1] is not batch[1]
    assert [r[1:] for r in rows_of(tables, prefix + "t4")] == [tuple(range(i, i + 4)) for i in range(1, 25, 4)]


@inserters
@pytest.mark.parametrize("first,val_str", [((7,), "?"), ([], None), ((1, 2), "?,?")])
def test_placeholders_come_from_first_row(tables, func, prefix, first, val_str):
    proxy = RecordingConnection(tables)
    if val_str is None:  # no placeholders to take: said before anything is sent
        with pytest.raises(ValueError, match="^row 0 is empty"):
            func(proxy, "t4", [first, (1, 2, 3, 4)])
        assert proxy.log == [CURSOR]
        return
    with pytest.raises(sqlite3.Error):
        func(proxy, "t4", [first, (1, 2, 3, 4)])
    assert proxy.log == owned([CURSOR, ins(prefix + "t4", val_str, list(first))], failed=True)


class Record(collections.abc.Mapping):
    def __init__(self, **values):
        self._values = values

    def __getitem__(self, key):
        return self._values[key]

    def __iter__(self):
        return iter(self._values)

    def __len__(self):
        return len(self._values)


# A second row that fails at its place: rejected by SQLite once sent, or refused before its INSERT
# because its items are not column values (characters, byte values, a mapping's keys).
BAD_SECOND = [((1, 2, 3), sqlite3.Error, True), ({"a": 1, "b": 2, "c": 3, "d": 4}, "'dict'", False),
              ("abcd", "'str'", False), (b"abcd", "'bytes'", False), (bytearray(b"abcd"), "'bytearray'", False),
              (Record(a=1, b=2, c=3, d=4), "'Record'", False), ({1, 2, 3, 4}, "'set'", False),
              (memoryview(b"abcd"), "'memoryview'", False)]


@inserters
@pytest.mark.parametrize("comm", [True, False])
@pytest.mark.parametrize("bad,error,sent", BAD_SECOND)
def test_bad_second_row_fails_after_first_is_sent(tables, func, prefix, bad, error, sent, comm):
    proxy = RecordingConnection(tables)
    with pytest.raises(sqlite3.Error if sent else TypeError) as failure:
        func(proxy, "t4", [(1, 2, 3, 4), bad, (5, 6, 7, 8)], comm)
    if not sent:
        assert str(failure.value) == f"row 1 is of type {error}, not a sequence of column values"
    sent_rows = [ins(prefix + "t4", "?,?,?,?", r) for r in ([1, 2, 3, 4], list(bad))[:1 + sent]]
    assert proxy.log == owned([CURSOR] + sent_rows, comm, failed=True)
    # comm=True: the call rolled its own transaction back; comm=False: the caller's transaction holds the row
    assert tables.in_transaction is not comm
    assert [r[1:] for r in rows_of(tables, prefix + "t4")] == ([] if comm else [(1, 2, 3, 4)])
    tables.rollback()
    assert rows_of(tables, prefix + "t4") == []


class Frame:
    """Tabular data as DataFrames and Arrow tables expose it: sized and indexable, its items its columns."""

    def __init__(self, *columns):
        self.columns = columns

    def __len__(self):
        return len(self.columns)

    def __getitem__(self, i):
        return self.columns[i]

    def __arrow_c_stream__(self, requested_schema=None):
        raise AssertionError("not read")


@inserters
@pytest.mark.parametrize("rows,error,opened", [([], None, False), ((), None, False), ((r for r in ROWS), TypeError, False),
                                               (None, TypeError, False), ({(1, 2, 3, 4)}, TypeError, True),
                                               ([5, (1, 2, 3, 4)], TypeError, True),
                                               (Frame((1, 2), (3, 4)), "morvel.load", False)])
def test_batch_checked_before_any_statement(tables, func, prefix, rows, error, opened):
    proxy = RecordingConnection(tables)
    if isinstance(error, str):  # a TypeError that says where such data goes instead
        error = functools.partial(pytest.raises, TypeError, match=error)
    else:
        error = functools.partial(pytest.raises, error) if error else None
    with error() if error else contextlib.nullcontext():
        assert func(proxy, "t4", rows) is None
    # _insert_main opens its cursor before looking at the rows; an empty batch sends nothing
    assert proxy.log == ([CURSOR] if opened or func is mv._insert_main else [])


def test_numeric_table_name(conn):
    conn.execute("CREATE TABLE temp_7 (a)")
    proxy = RecordingConnection(conn)
    for insert in (mv.insert_temp, mv._insert_main):  # "7" is no identifier: refused before any statement
        with pytest.raises(ValueError, match="table name '7'"):
            insert(proxy, 7, [(1,)])
    assert proxy.log == [CURSOR, CURSOR]


# ---------------------------------------------------------------- deletion by rowid

@pytest.fixture
def filled(tables):
    tables.executemany("INSERT INTO t4 VALUES (?,?,?,?)", [(i, i, i, i) for i in range(1, 11)])
    tables.commit()
    return tables


def left(conn):
    return [r[0] for r in rows_of(conn, "t4")]


@pytest.mark.parametrize("ids", [[3, 9], (3, 9), iter([3, 9]), {3: "a", 9: "b"}, ["3", "9"]])
def test_one_delete_per_id_in_order(filled, ids):
    proxy = RecordingConnection(filled)
    assert mv.delete_row_main(proxy, "t4", ids) is None
    assert proxy.log == owned([CURSOR, dele("t4", 3), dele("t4", 9)])
    assert left(filled) == [1, 2, 4, 5, 6, 7, 8, 10]


@pytest.mark.parametrize("ids", [[], set(), ()])
@pytest.mark.parametrize("comm", [True, False])
def test_empty_ids_still_commits(filled, ids, comm):
    proxy = RecordingConnection(filled)
    mv.delete_row_main(proxy, "t4", ids, comm)
    assert proxy.log == [CURSOR] + [COMMIT] * comm


@pytest.mark.parametrize("ids,error,remaining", [(["3,4", 7, 7], None, [1, 2, 5, 6, 8, 9, 10]),
                                                 ([2, (3, 4), 5], sqlite3.Error, [1] + list(range(3, 11)))])
def test_deletions_stay_in_open_transaction(filled, ids, error, remaining):
    proxy = RecordingConnection(filled)
    with pytest.raises(error) if error else contextlib.nullcontext():
        mv.delete_row_main(proxy, "t4", ids, comm=False)
    assert proxy.log == [CURSOR] + [dele("t4", j) for j in (ids[:2] if error else ids)]
    assert left(filled) == remaining and filled.in_transaction
    filled.rollback()
    assert left(filled) == list(range(1, 11))


def test_bad_ids_and_missing_table(filled):
    proxy = RecordingConnection(filled)
    with pytest.raises(TypeError):
        mv.delete_row_main(proxy, "t4", 5)
    assert proxy.log == [CURSOR]
    proxy.clear()
    mv.delete_row_main(proxy, "nowhere", [])  # nothing is sent, so the missing table goes unnoticed
    assert proxy.log == [CURSOR, COMMIT]
    with pytest.raises(sqlite3.OperationalError):
        mv.delete_row_main(proxy, "nowhere", [1])


# ---------------------------------------------------------------- morvel.load: any iterable, in batches

def _raises_after(n):
    def rows():
        yield from ROWS[:n]
        raise KeyError("source broke")
    return rows()


def _refilled(n):
    row = [None] * 4
    for i in range(n):
        row[:] = [i] * 4
        yield row


def _cursor_rows():
    source = sqlite3.connect(":memory:")
    return source.execute("SELECT * FROM (VALUES (1, 'x', 2.5, NULL), (2, 'y', x'7a', 3), (3, 'x', -1, 'w'))")


BEGIN, ROLLBACK = ("execute", "BEGIN IMMEDIATE"), ("rollback",)
# rows, comm, batch, outcome (rows staged, or the error), rows staged after the call, the proxy's log after the
# cursor (None: not checked). A failed call with comm true leaves nothing staged and no transaction open.
LOADS = {
    "generator": (lambda: (r for r in ROWS), True, 2, 3, ROWS,
                  [BEGIN] + [ins("temp_t4", "?,?,?,?", list(r)) for r in ROWS] + [COMMIT]),
    "list": (lambda: list(ROWS), True, 100_000, 3, ROWS, None),
    "cursor": (_cursor_rows, True, 1, 3, [(1, "x", 2.5, None), (2, "y", b"z", 3), (3, "x", -1, "w")], None),
    "empty": (lambda: iter(()), True, 1, 0, [], []),
    "refused_row": (lambda: iter([ROWS[0], ROWS[1], "abcd", ROWS[2]]), True, 2, TypeError, [],
                    [BEGIN] + [ins("temp_t4", "?,?,?,?", list(r)) for r in ROWS[:2]] + [ROLLBACK]),
    "rejected_row": (lambda: iter([ROWS[0], (1, 2)]), True, 5, sqlite3.ProgrammingError, [], None),
    "source_raises": (lambda: _raises_after(2), True, 1, KeyError, [], None),
    "bad_batch": (lambda: iter(ROWS), True, 0, ValueError, [], []),
    "huge_batch": (lambda: iter(ROWS), True, 10**30, ValueError, [], []),
    # one row object refilled for every row: each row is taken as it was when it came
    "reused_row": (lambda: _refilled(10), True, 4, 10, [(i, i, i, i) for i in range(10)], None),
    "frame": (lambda: Frame((1, 2), (3, 4)), True, 10, TypeError, [], []),
    "comm_false": (lambda: (r for r in ROWS), False, 2, 3, ROWS,
                   [ins("temp_t4", "?,?,?,?", list(r)) for r in ROWS]),
    # without comm the caller's transaction is the caller's: the rows before the failure stay in it
    "comm_false_raises": (lambda: _raises_after(2), False, 1, KeyError, ROWS[:2], None),
}


@pytest.mark.parametrize("make_rows,comm,batch,outcome,staged,log", LOADS.values(), ids=LOADS.keys())
@pytest.mark.parametrize("through", ["connection", "proxy"])
def test_load_cases(tables, db_path, make_rows, comm, batch, outcome, staged, log, through):
    from morvel import load

    proxy = RecordingConnection(tables)
    target = proxy if through == "proxy" else tables
    if isinstance(outcome, int):
        assert load(target, "t4", make_rows(), comm, batch=batch) == outcome
    else:
        with pytest.raises(outcome):
            load(target, "t4", make_rows(), comm, batch=batch)
    if log is not None and through == "proxy":
        assert proxy.log == ([CURSOR] if log else []) + log
    assert tables.in_transaction == (not comm and bool(staged))
    assert [r[1:] for r in rows_of(tables, "temp_t4")] == [tuple(r) for r in staged]
    if comm:  # nothing left holding the file
        other = sqlite3.connect(db_path, timeout=0)
        other.execute("INSERT INTO t1 VALUES (1)")
        other.commit()
        other.close()


def test_load_joins_an_open_transaction_and_streams(tables):
    from morvel import load

    tables.execute("INSERT INTO t1 VALUES ('mine')")
    proxy = RecordingConnection(tables)
    with pytest.raises(KeyError):  # inside the caller's transaction: its own savepoint, rolled back to
        load(proxy, "t4", _raises_after(2), batch=1)
    assert ROLLBACK not in proxy.log and tables.in_transaction
    assert proxy.statements()[0] == "SAVEPOINT morvel" and proxy.statements()[-2:] == ["ROLLBACK TO morvel",
                                                                                       "RELEASE morvel"]
    assert rows_of(tables, "temp_t4") == [] and rows_of(tables, "t1") == [(1, "mine")]
    tables.rollback()
    pulled = []

    def rows():  # the load never holds more than a batch: each row is sent before the next batch is pulled
        for i in range(10):
            pulled.append(len(rows_of(tables, "temp_t4")))
            yield (i, i, i, i)
    assert load(tables, "t4", rows(), batch=4) == 10
    assert pulled == [0, 0, 0, 0, 4, 4, 4, 4, 8, 8]
