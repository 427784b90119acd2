"""Bulk row insertion: the rows the calls take, and morvel.load of any iterable in batches."""

import sqlite3

import pytest

from conftest import RecordingConnection, managed
from morvel import morvel as mv

ROWS = [(1, "x", 2.5, None), (2, "y", b"z", 3), (3, "x", -1, "w")]


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


def four_and_one(conn):
    """Tables t4 (four columns) and t1 (one), no keys."""
    managed(conn, "t4", ["a", "b", "c", "d"])
    managed(conn, "t1", ["a"])
    return conn


@pytest.fixture
def tables(conn):
    return four_and_one(conn)


def rows_of(conn, table):
    return conn.execute(f"SELECT rowid, * FROM {table} ORDER BY rowid").fetchall()


inserters = pytest.mark.parametrize("func,prefix", [(mv.insert_temp, "temp_"), (mv._insert_main, "")],
                                    ids=["temp", "main"])


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


class Interchange:
    """A DataFrame that exposes only the interchange protocol: its items are its columns, and no Arrow stream."""

    def __init__(self, *columns):
        self.columns = columns

    def __len__(self):
        return len(self.columns)

    def __getitem__(self, i):
        return self.columns[i]

    def __dataframe__(self, nan_as_null=False, allow_copy=True):
        raise AssertionError("not read")


# ---------------------------------------------------------------- deletion by rowid


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


# rows, comm, batch, outcome (rows staged, or the error), rows staged after the call. A failed call with comm
# true leaves nothing staged and no transaction open.
LOADS = {
    "generator": (lambda: (r for r in ROWS), True, 2, 3, ROWS),
    "list": (lambda: list(ROWS), True, 100_000, 3, ROWS),
    "cursor": (_cursor_rows, True, 1, 3, [(1, "x", 2.5, None), (2, "y", b"z", 3), (3, "x", -1, "w")]),
    "empty": (lambda: iter(()), True, 1, 0, []),
    "refused_row": (lambda: iter([ROWS[0], ROWS[1], "abcd", ROWS[2]]), True, 2, TypeError, []),
    "rejected_row": (lambda: iter([ROWS[0], (1, 2)]), True, 5, sqlite3.ProgrammingError, []),
    "source_raises": (lambda: _raises_after(2), True, 1, KeyError, []),
    "bad_batch": (lambda: iter(ROWS), True, 0, ValueError, []),
    "huge_batch": (lambda: iter(ROWS), True, 10**30, ValueError, []),
    # one row object refilled for every row: each row is taken as it was when it came
    "reused_row": (lambda: _refilled(10), True, 4, 10, [(i, i, i, i) for i in range(10)]),
    "frame": (lambda: Interchange((1, 2), (3, 4)), True, 10, TypeError, []),
    "comm_false": (lambda: (r for r in ROWS), False, 2, 3, ROWS),
    # without comm the caller's transaction is the caller's: the rows before the failure stay in it
    "comm_false_raises": (lambda: _raises_after(2), False, 1, KeyError, ROWS[:2]),
}


@pytest.mark.parametrize("make_rows,comm,batch,outcome,staged", LOADS.values(), ids=LOADS.keys())
@pytest.mark.parametrize("through", ["connection", "proxy"])
def test_load_cases(tables, db_path, make_rows, comm, batch, outcome, staged, through):
    from morvel import load

    proxy = RecordingConnection(tables)
    target = proxy if through == "proxy" else tables
    if isinstance(outcome, int):
        assert load(target, "t4", make_rows(), comm, batch=batch) == outcome
    else:
        with pytest.raises(outcome):
            load(target, "t4", make_rows(), comm, batch=batch)
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
    assert tables.in_transaction
    assert rows_of(tables, "temp_t4") == [] and rows_of(tables, "t1") == [(1, "mine")]
    tables.rollback()
    pulled = []

    def rows():  # the load never holds more than a batch: each row is sent before the next batch is pulled
        for i in range(10):
            pulled.append(len(rows_of(tables, "temp_t4")))
            yield (i, i, i, i)
    assert load(tables, "t4", rows(), batch=4) == 10
    assert pulled == [0, 0, 0, 0, 4, 4, 4, 4, 8, 8]
