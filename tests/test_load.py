"""Bulk row insertion (staging and main tables) and deletion of main rows by rowid."""

import sqlite3

import pytest

from conftest import RecordingConnection, RecordingCursor
from morvel import morvel as mv

CURSOR, FETCH, COMMIT = ("cursor",), ("fetchall",), ("commit",)
ROWS = [(1, "x", 2.5, None), (2, "y", b"z", 3), (3, "x", -1, "w")]


def stmt(text):
    return "\n" + " " * 12 + text + "\n" + " " * 8


def ins(table, val_str, params):
    return ("execute", stmt(f"INSERT INTO {table} Values ({val_str})"), params)


def dele(table, j):
    return ("execute", stmt(f"DELETE From {table} Where rowid in ({j})"))


class RawCursor(RecordingCursor):
    """Also keeps the very parameter objects handed to execute."""

    def execute(self, sql, *params):
        if params:
            self._owner.raw.append(params[0])
        return super().execute(sql, *params)


class RawProxy(RecordingConnection):
    def __init__(self, conn):
        super().__init__(conn)
        self.raw = []

    def cursor(self):
        self.log.append(("cursor",))
        return RawCursor(self, self.real.cursor())


@pytest.fixture
def tables(conn):
    mv.create_table(conn, "t4", ["a", "b", "c", "d"], [], [])
    mv.create_table(conn, "t1", ["a"], [], [])
    return conn


def rows_of(conn, table):
    return conn.execute(f"SELECT rowid, * FROM {table} ORDER BY rowid").fetchall()


# (function, target table for "t4", log of an empty batch)
INSERTERS = [(mv.insert_temp, "temp_t4", []), (mv._insert_main, "t4", [CURSOR])]
inserters = pytest.mark.parametrize("func,target,empty_log", INSERTERS, ids=["temp", "main"])


@inserters
@pytest.mark.parametrize("comm,commits", [(True, True), (1, True), (1.0, True), (False, False),
                                          (0, False), (2, False), ("yes", False), (None, False)])
def test_one_execute_per_row_then_commit(tables, func, target, empty_log, comm, commits):
    proxy = RecordingConnection(tables)
    assert func(proxy, "t4", ROWS, comm=comm) is None
    expected = [CURSOR] + [ins(target, "?,?,?,?", list(r)) for r in ROWS] + [COMMIT] * commits
    assert proxy.log == expected
    assert [r[1:] for r in rows_of(tables, target)] == ROWS
    assert tables.in_transaction == (not commits)


@inserters
def test_rows_are_new_lists_of_any_iterable(tables, func, target, empty_log):
    proxy = RawProxy(tables)
    batch = ((1, 2, 3, 4), [5, 6, 7, 8], range(9, 13), iter((13, 14, 15, 16)), {17: 0, 18: 0, 19: 0, 20: 0})
    func(proxy, "t4", batch)
    assert all(type(p) is list for p in proxy.raw)
    assert proxy.raw[1] is not batch[1]
    assert [r[1:] for r in rows_of(tables, target)] == [tuple(range(i, i + 4)) for i in range(1, 21, 4)]


@inserters
@pytest.mark.parametrize("first,val_str", [((7,), "?"), ([], "?"), ((1, 2), "?,?")])
def test_placeholders_come_from_first_row(tables, func, target, empty_log, first, val_str):
    proxy = RecordingConnection(tables)
    with pytest.raises(sqlite3.Error):
        func(proxy, "t4", [first, (1, 2, 3, 4)])
    assert proxy.log == [CURSOR, ins(target, val_str, list(first))]
    assert COMMIT not in proxy.log


@inserters
def test_single_value_rows(tables, func, target, empty_log):
    proxy = RecordingConnection(tables)
    func(proxy, "t1", [("a",), ["b"]])
    t = target.replace("t4", "t1")
    assert proxy.log == [CURSOR, ins(t, "?", ["a"]), ins(t, "?", ["b"]), COMMIT]


@inserters
@pytest.mark.parametrize("empty", [[], ()])
def test_empty_batch(tables, func, target, empty_log, empty):
    proxy = RecordingConnection(tables)
    assert func(proxy, "t4", empty) is None
    assert proxy.log == empty_log


@inserters
def test_short_second_row_fails_after_first_is_sent(tables, func, target, empty_log):
    proxy = RecordingConnection(tables)
    with pytest.raises(sqlite3.Error):
        func(proxy, "t4", [(1, 2, 3, 4), (1, 2, 3), (5, 6, 7, 8)])
    assert proxy.log == [CURSOR, ins(target, "?,?,?,?", [1, 2, 3, 4]), ins(target, "?,?,?,?", [1, 2, 3])]
    assert tables.in_transaction
    assert [r[1:] for r in rows_of(tables, target)] == [(1, 2, 3, 4)]
    tables.rollback()
    assert rows_of(tables, target) == []


@inserters
@pytest.mark.parametrize("rows,opened", [((r for r in ROWS), False), (None, False),
                                         ({(1, 2, 3, 4)}, True), ([5, (1, 2, 3, 4)], True)])
def test_unusable_batch_fails_before_any_statement(tables, func, target, empty_log, rows, opened):
    proxy = RecordingConnection(tables)
    with pytest.raises(TypeError):
        func(proxy, "t4", rows)
    # _insert_main opens its cursor before looking at the rows
    assert proxy.log == ([CURSOR] if opened or func is mv._insert_main else [])


def test_numeric_table_name(conn):
    conn.execute("CREATE TABLE temp_7 (a)")
    proxy = RecordingConnection(conn)
    mv.insert_temp(proxy, 7, [(1,)])
    assert proxy.log == [CURSOR, ins("temp_7", "?", [1]), COMMIT]
    proxy.clear()
    with pytest.raises(TypeError):
        mv._insert_main(proxy, 7, [(1,)])
    assert proxy.log == [CURSOR]


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
    assert proxy.log == [CURSOR, dele("t4", 3), dele("t4", 9), COMMIT]
    assert left(filled) == [1, 2, 4, 5, 6, 7, 8, 10]


@pytest.mark.parametrize("ids", [[], set(), ()])
@pytest.mark.parametrize("comm", [True, False])
def test_empty_ids_still_commits(filled, ids, comm):
    proxy = RecordingConnection(filled)
    mv.delete_row_main(proxy, "t4", ids, comm)
    assert proxy.log == [CURSOR] + [COMMIT] * comm


def test_text_with_two_rowids_and_duplicates(filled):
    proxy = RecordingConnection(filled)
    mv.delete_row_main(proxy, "t4", ["3,4", 7, 7], comm=False)
    assert proxy.log == [CURSOR, dele("t4", "3,4"), dele("t4", 7), dele("t4", 7)]
    assert left(filled) == [1, 2, 5, 6, 8, 9, 10]
    assert filled.in_transaction
    filled.rollback()
    assert left(filled) == list(range(1, 11))


def test_tuple_element_fails_without_commit(filled):
    proxy = RecordingConnection(filled)
    with pytest.raises(sqlite3.Error):
        mv.delete_row_main(proxy, "t4", [2, (3, 4), 5])
    assert proxy.log == [CURSOR, dele("t4", 2), dele("t4", (3, 4))]
    assert left(filled) == [1] + list(range(3, 11))
    filled.rollback()
    assert left(filled) == list(range(1, 11))


def test_ids_not_iterable(filled):
    proxy = RecordingConnection(filled)
    with pytest.raises(TypeError):
        mv.delete_row_main(proxy, "t4", 5)
    assert proxy.log == [CURSOR]


def test_missing_table_with_empty_ids_goes_unnoticed(conn):
    proxy = RecordingConnection(conn)
    mv.delete_row_main(proxy, "nowhere", [])
    assert proxy.log == [CURSOR, COMMIT]
    with pytest.raises(sqlite3.OperationalError):
        mv.delete_row_main(proxy, "nowhere", [1])
