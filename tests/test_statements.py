"""Every call's exact statement sequence, pinned in this one place: what a RecordingConnection logs of its
cursors, statements (texts and parameters), fetches, commits and rollbacks. The other tests check what the
calls leave behind: rows, tables, the catalog, errors."""

import collections.abc
import contextlib
import functools
import pathlib
import sqlite3

import pytest

import morvel
from conftest import KEY_SET_ROWS, RecordingConnection, catalog, managed, schema, unique_name
from morvel import morvel as mv
from test_catalog import QUOTED, REGISTERED, index_names, registered, stored_idx
from test_db import FakeSqlite
from test_find import check, linked_rows
from test_load import LOADS, ROWS, Frame, _raises_after, four_and_one, inserters, rows_of
from test_merge import MODES, _bare
from test_query import two_tables
from test_table import COLS, tables as user_tables

CURSOR, FETCH, COMMIT, ROLLBACK = ("cursor",), ("fetchall",), ("commit",), ("rollback",)
BEGIN = ("execute", "BEGIN IMMEDIATE")  # the transaction of a call with comm=True when none is open
OPEN, CLOSE = ("execute", "BEGIN"), ("execute", "COMMIT")  # the snapshot of a reader


def sql(*lines, depth=12):
    """A statement as the module sends it: each line after a break and `depth` blanks, then a break and four
    blanks fewer."""
    return "".join("\n" + " " * depth + line for line in lines) + "\n" + " " * (depth - 4)


def ex(text, params=None):
    return ("execute", text) if params is None else ("execute", text, params)


def lit(value):
    """The text of a name inside a single-quoted literal: quotes doubled."""
    return str(value).replace("'", "''")


def key_reads(table):
    """How a merge or a reader learns the table's columns and unique keys."""
    return [ex(f"PRAGMA table_info({table})"), FETCH,
            ex(sql("SELECT *", "FROM unique_table", f"WHERE table_name = '{lit(table)}'")), FETCH]


# ---------------------------------------------------------------- catalog

CT_INDEX = ex(sql("CREATE TABLE IF NOT EXISTS index_table (table_name, index_name, columns)"))
CT_UNIQUE = ex(sql("CREATE TABLE IF NOT EXISTS unique_table (table_name, unique_name, columns, col_num)"))
SEL_MASTER = ex(sql("SELECT * FROM sqlite_master WHERE type = 'index'"))


def del_index(t, n):
    return ex(sql("DELETE FROM index_table", f"where table_name = '{lit(t)}' AND index_name = '{lit(n)}'"))


def del_unique(t, n):
    return ex(sql("DELETE FROM unique_table", f"where table_name = '{lit(t)}' AND unique_name = '{lit(n)}'"))


def drop_idx(full):
    return ex(sql(f"DROP INDEX if exists {full}"))


def create_idx(t, n, cols):
    return ex(sql(f"CREATE INDEX if not exists {t}_{n}", f"ON {t} ({cols})"))


def sel_index(t):
    return ex(sql("SELECT *", "FROM index_table", f"WHERE table_name = '{lit(t)}'"))


@pytest.fixture
def homes(conn):
    return registered(conn)


def test_db_and_prepare_sequences(monkeypatch, tmp_path):
    monkeypatch.setattr(mv, "sqlite3", fake := FakeSqlite())
    address = pathlib.Path(tmp_path / "rec.db")
    handle = mv.DB(unique_name(), address)
    assert fake.calls == [((address,), {})] and fake.calls[0][0][0] is address
    journal = ex("\n" + " " * 8 + "PRAGMA journal_mode=JOURNAL;\n" + " " * 6)
    assert fake.proxies[0].log == [CURSOR, journal, CT_INDEX, CT_UNIQUE, COMMIT, ("close",)]
    c = handle.connection()
    assert c is fake.proxies[1] and fake.calls[1] == ((address,), {}) and fake.calls[1][0][0] is address
    assert c.log == []
    morvel.prepare(c)  # the catalog statements of DB, on the caller's connection, and no commit
    assert c.log == [CURSOR, CT_INDEX, CT_UNIQUE]
    c.real.close()


def owned(log, commits=True, failed=False):
    """A call's log as it runs: with comm=True its BEGIN after its first cursor, then the commit at its end
    or the rollback of a failure."""
    if not commits:
        return log
    return log[:1] + [BEGIN] + log[1:] + [ROLLBACK if failed else COMMIT]


def log_insert_index(t, n, cols):
    return [CURSOR, CT_INDEX, del_index(t, n), drop_idx(f"{t}_{n}"),
            ex(sql("INSERT INTO index_table", "Values (?,?,?)"), [t, n, cols]), create_idx(t, n, cols)]


def log_insert_unique(t, n, cols, num):
    return [CURSOR, CT_UNIQUE, del_unique(t, n),
            ex(sql("INSERT INTO unique_table", "Values (?,?,?,?)"), [t, n, cols, num])] + log_insert_index(t, n, cols)


COMMS = [({}, True), ({"comm": True}, True), ({"comm": 1}, True),
         ({"comm": False}, False), ({"comm": "yes"}, False), ({"comm": 2}, False)]
COMM_IDS = ["default", "True", "one", "False", "text", "two"]


@pytest.mark.parametrize("kw, commits", COMMS, ids=COMM_IDS)
@pytest.mark.parametrize("call, expected", [
    (lambda c, kw: mv.insert_index(c, {"table": "homes", "name": "index_1", "cols": "name,age"}, **kw),
     log_insert_index("homes", "index_1", "name,age")),
    (lambda c, kw: mv.drop_index(c, "homes", "index_0", **kw),
     [CURSOR, CT_INDEX, del_index("homes", "index_0"), drop_idx("homes_index_0")]),
    (lambda c, kw: mv.insert_unique(c, "homes", "unique_1", "type,age", "1,3", **kw),
     log_insert_unique("homes", "unique_1", "type,age", "1,3")),
    (lambda c, kw: mv.drop_unique(c, "homes", "unique_0", **kw),
     [CURSOR, CT_UNIQUE, del_unique("homes", "unique_0")]),
    (lambda c, kw: mv.drop_table_index(c, "homes", **kw),
     [CURSOR, SEL_MASTER, FETCH] + [drop_idx(n) for n in ("homes_index_0", "homes_unique_0", "by_hand")]),
    (lambda c, kw: mv.active_table_index(c, "homes", **kw),
     [CURSOR, sel_index("homes"), FETCH, create_idx("homes", "index_0", "name,type,address"),
      create_idx("homes", "unique_0", "name,address")]),
    # names compare exactly: another letter case finds nothing to drop or build
    (lambda c, kw: mv.drop_table_index(c, "HOMES", **kw), [CURSOR, SEL_MASTER, FETCH]),
    (lambda c, kw: mv.active_table_index(c, "HOMES", **kw), [CURSOR, sel_index("HOMES"), FETCH]),
], ids=["insert_index", "drop_index", "insert_unique", "drop_unique", "drop_table_index", "active_table_index",
        "drop_table_index-letter-case", "active_table_index-letter-case"])
def test_catalog_sequences(homes, proxy, call, expected, kw, commits):
    assert call(proxy, kw) is None
    assert proxy.log == owned(expected, commits)


@pytest.mark.parametrize("missing, sent", [
    ("table", [CURSOR]), ("name", [CURSOR]),  # both names are checked before anything is sent
    ("cols", owned([CURSOR, CT_INDEX, del_index("homes", "index_0"), drop_idx("homes_index_0")], failed=True)),
])
def test_missing_key_of_index_description(homes, proxy, missing, sent):
    desc = {"table": "homes", "name": "index_0", "cols": "age"}
    del desc[missing]
    with pytest.raises(KeyError) as err:
        mv.insert_index(proxy, desc)
    assert err.value.args == (missing,) and proxy.log == sent
    # what was sent before the error is rolled back: the old registration and index stay
    assert ("homes", "index_0", "name,type,address") in catalog(homes)[0]
    assert "homes_index_0" in index_names(homes, "homes") and not homes.in_transaction


def test_names_that_are_not_text(homes, proxy):
    mv.insert_index(proxy, {"table": "homes", "name": 7, "cols": "age"})
    assert proxy.log == owned(log_insert_index("homes", 7, "age"))
    assert homes.execute("SELECT * FROM index_table WHERE index_name = 7").fetchall() == [("homes", 7, "age")]
    assert ("homes_7", "homes", stored_idx("homes", 7, "age")) in schema(homes, "index")


def test_a_quote_in_a_key_name_stays_inside_literal(homes, proxy):
    # a key's own name is not written into a statement but into a literal of drop_unique
    homes.execute("INSERT INTO unique_table VALUES ('homes', ?, 'age', '3')", (QUOTED,))
    homes.commit()
    mv.drop_unique(proxy, "homes", QUOTED)
    assert proxy.log == owned([CURSOR, CT_UNIQUE, del_unique("homes", QUOTED)])
    assert "where table_name = 'homes' AND unique_name = 'x'' OR ''1''=''1'" in proxy.statements()[2]
    assert catalog(homes) == (sorted(REGISTERED), [("homes", "unique_0", "name,address", "0,2"),
                                                  ("other", "unique_0", "age", "1")])


# ---------------------------------------------------------------- table

def log_drop_table(t):
    return [CURSOR, ex(sql(f"DROP Table IF EXISTS {t}")),
            ex(sql("DELETE", "FROM index_table", f"Where table_name = '{lit(t)}'")),
            ex(sql("DELETE", "FROM unique_table", f"Where table_name = '{lit(t)}'")),
            ex(sql(f"DROP Table IF EXISTS temp_{t}"))]


def creates(t, col_str):
    return [ex(sql(f"CREATE TABLE {t} ({col_str})")), ex(sql(f"CREATE TABLE temp_{t} ({col_str})"))]


@pytest.mark.parametrize("kw, commits", COMMS, ids=COMM_IDS)
def test_creation_sequence_of_the_documented_example(proxy, kw, commits):
    index = [{"name": "index_0", "cols": "name,type,address"}, {"name": "index_1", "cols": "age"}]
    unique = [{"name": "unique_0", "cols": [0, 1]}, {"name": "unique_1", "cols": [2]}]
    assert mv.create_table(proxy, "homes", COLS, index, unique, **kw) is None
    assert proxy.log == owned([CURSOR] + log_drop_table("homes") + creates("homes", "name,type,address,age")
                              + log_insert_index("homes", "index_0", "name,type,address")
                              + log_insert_index("homes", "index_1", "age")
                              + log_insert_unique("homes", "unique_0", "name,type", "0,1")
                              + log_insert_unique("homes", "unique_1", "address", "2"), commits)


@pytest.mark.parametrize("cols, positions, col_str, key_cols, num", [
    (["only"], [0], "only", "only", "0"),
    (("a", "b", "c"), [-1, 0], "a,b,c", "c,a", "-1,0"),  # a negative position counts from the end
    # a key's columns and lookup index take the column's name, not its whole definition
    (["id INTEGER", "name TEXT"], [0], "id INTEGER,name TEXT", "id", "0"),
    (['"dep time" REAL', "n", '"order" TEXT', "[x]"], [0, 2, 3], '"dep time" REAL,n,"order" TEXT,[x]',
     '"dep time","order",x', "0,2,3"),
], ids=["single_column", "tuple_and_negative_position", "typed_columns", "quoted_names"])
def test_creation_sequence_of_other_shapes(proxy, cols, positions, col_str, key_cols, num):
    mv.create_table(proxy, "t", cols, [], [{"name": "u", "cols": positions}])
    assert proxy.log == owned([CURSOR] + log_drop_table("t") + creates("t", col_str)
                              + log_insert_unique("t", "u", key_cols, num))
    assert catalog(proxy.real)[1] == [("t", "u", key_cols, num)]
    row = tuple(range(len(cols)))
    mv.insert_temp(proxy.real, "t", [row] * 2)  # the key works: one row of the two stays
    mv.temp_to_main(proxy.real, "t")
    mv.insert_temp(proxy.real, "t", [row])  # and a staged row hides the main row of its key
    assert proxy.real.execute("SELECT count(*) FROM t").fetchone() == (1,)
    assert len(mv.find(proxy.real, "*", "t", "")) == 1


BAD = [  # (cols, index, unique, error, statements after drop_table's)
    ([], [], [], IndexError, []),
    (["a", 1], [], [], TypeError, []),
    (["a", "b"], None, [], TypeError, creates("t", "a,b")),
    (["a", "b"], [("name", "i")], [], TypeError, creates("t", "a,b")),
    (["a", "b"], [{"name": "i", "cols": "a"}], [{"name": "u"}], KeyError,
     creates("t", "a,b") + log_insert_index("t", "i", "a")),
    (["a", "b"], [], [{"name": "u", "cols": [0]}, {"name": "v", "cols": [2]}], IndexError,
     creates("t", "a,b") + log_insert_unique("t", "u", "a", "0")),
    (["a", "b"], [], [{"name": "u", "cols": []}], IndexError, creates("t", "a,b")),
    (["a", "b"], [], [{"name": "u", "cols": ["0"]}], TypeError, creates("t", "a,b")),
    # a column that would hide the rowid every statement identifies rows by: refused before anything is sent
    (["k", " RowId TEXT"], [], [], ValueError, None),
    (["k", '"rowid" TEXT'], [], [], ValueError, None),
]


@pytest.mark.parametrize("cols, index, unique, error, after", BAD, ids=[
    "empty_cols", "column_not_text", "index_none", "index_tuple",
    "key_without_cols", "position_beyond_cols", "no_positions", "position_text", "rowid", "quoted_rowid"])
def test_creation_failure_points(proxy, cols, index, unique, error, after):
    mv.create_table(proxy.real, "t", ["old"], [], [])
    proxy.real.execute("INSERT INTO t VALUES (1)")
    proxy.real.commit()
    with pytest.raises(error):
        mv.create_table(proxy, "t", cols, index, unique)
    assert proxy.log == ([CURSOR] if after is None else owned([CURSOR] + log_drop_table("t") + after, failed=True))
    # the call is all or nothing: the table it was to replace is still there, rows and all
    assert user_tables(proxy.real) == ["t", "temp_t"] and not proxy.real.in_transaction
    assert proxy.real.execute("SELECT * FROM t").fetchall() == [(1,)]


@pytest.mark.parametrize("kw, commits", COMMS, ids=COMM_IDS)
def test_removal_sequence(proxy, kw, commits):
    assert mv.drop_table(proxy, "gone", **kw) is None
    assert proxy.log == owned(log_drop_table("gone"), commits)


@pytest.mark.parametrize("table", ["[x' OR 'b'<>'c]", "x' OR '1'='1", 12, "index_table", "temp_homes"])
def test_removal_with_odd_names(conn, proxy, table):
    mv.create_table(conn, "homes", ["a"], [{"name": "i", "cols": "a"}], [{"name": "u", "cols": [0]}])
    before = (catalog(conn), user_tables(conn))
    with pytest.raises(ValueError):
        mv.drop_table(proxy, table)
    assert proxy.log[:1] == [CURSOR] and COMMIT not in proxy.log  # refused before it writes
    assert (catalog(conn), user_tables(conn)) == before


# ---------------------------------------------------------------- load

def ins(table, val_str, params):
    return ex(sql(f"INSERT INTO {table} Values ({val_str})"), params)


def staging_state(table):
    """Whether the staging table is indexed: the record's table and the staging table's indexes, in one read
    (a load that owns its transaction asks, to build them after its rows where it fills the table from empty)."""
    return [ex(sql("SELECT type, name FROM sqlite_master",
                   "WHERE (type = 'table' AND name = 'staging_index') OR (type = 'index' AND tbl_name = ? "
                   "COLLATE NOCASE)"), [f"temp_{table}"]), FETCH]


def dele(table, j):
    return ex(sql(f"DELETE From {table} Where rowid in ({j})"))


@pytest.fixture
def tables(conn):
    return four_and_one(conn)


@inserters
@pytest.mark.parametrize("table,rows,val_str", [("t4", ROWS, "?,?,?,?"), ("t1", [("a",), ["b"]], "?")])
@pytest.mark.parametrize("comm,commits", [(True, True), (1, True), (1.0, True), (False, False),
                                          (0, False), (2, False), ("yes", False), (None, False)])
def test_one_execute_per_row_then_commit(proxy, tables, func, prefix, table, rows, val_str, comm, commits):
    assert func(proxy, table, rows, comm=comm) is None
    assert proxy.log == owned([CURSOR] + [ins(prefix + table, val_str, list(r)) for r in rows], commits)
    assert [r[1:] for r in rows_of(tables, prefix + table)] == [tuple(r) for r in rows]
    assert tables.in_transaction == (not commits)


@inserters
@pytest.mark.parametrize("first,val_str", [((7,), "?"), ([], None), ((1, 2), "?,?")])
def test_placeholders_come_from_first_row(proxy, tables, func, prefix, first, val_str):
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
def test_bad_second_row_fails_after_first_is_sent(proxy, tables, func, prefix, bad, error, sent, comm):
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


@inserters
@pytest.mark.parametrize("rows,error,opened", [([], None, False), ((), None, False), ((r for r in ROWS), TypeError, False),
                                               (None, TypeError, False), ({(1, 2, 3, 4)}, TypeError, True),
                                               ([5, (1, 2, 3, 4)], TypeError, True),
                                               (Frame((1, 2), (3, 4)), "morvel.load", False)])
def test_batch_checked_before_any_statement(proxy, tables, func, prefix, rows, error, opened):
    if isinstance(error, str):  # a TypeError that says where such data goes instead
        error = functools.partial(pytest.raises, TypeError, match=error)
    else:
        error = functools.partial(pytest.raises, error) if error else None
    with error() if error else contextlib.nullcontext():
        assert func(proxy, "t4", rows) is None
    # _insert_main opens its cursor before looking at the rows; an empty batch sends nothing
    assert proxy.log == ([CURSOR] if opened or func is mv._insert_main else [])


def test_numeric_table_name(proxy, conn):
    conn.execute("CREATE TABLE temp_7 (a)")
    for insert in (mv.insert_temp, mv._insert_main):  # "7" is no identifier: refused before any statement
        with pytest.raises(ValueError, match="table name '7'"):
            insert(proxy, 7, [(1,)])
    assert proxy.log == [CURSOR, CURSOR]


@pytest.fixture
def filled(tables):
    tables.executemany("INSERT INTO t4 VALUES (?,?,?,?)", [(i, i, i, i) for i in range(1, 11)])
    tables.commit()
    return tables


def left(conn):
    return [r[0] for r in rows_of(conn, "t4")]


ALL = list(range(1, 11))
# table, ids, comm, the error, what delete_row_main sends (one DELETE per id, in order), the rowids then left
DELETES = {
    **{f"in-order-{i}": ("t4", ids, True, None, owned([CURSOR, dele("t4", 3), dele("t4", 9)]), [1, 2, 4, 5, 6, 7, 8, 10])
       for i, ids in enumerate([[3, 9], (3, 9), iter([3, 9]), {3: "a", 9: "b"}, ["3", "9"]])},
    # no ids: nothing is sent, yet comm still commits (so a missing table goes unnoticed)
    **{f"empty-{i}-{comm}": ("t4", ids, comm, None, [CURSOR] + [COMMIT] * comm, ALL)
       for i, ids in enumerate([[], set(), ()]) for comm in (True, False)},
    "empty-missing-table": ("nowhere", [], True, None, [CURSOR, COMMIT], ALL),
    "missing-table": ("nowhere", [1], True, sqlite3.OperationalError, owned([CURSOR, dele("nowhere", 1)], failed=True), ALL),
    "ids-not-iterable": ("t4", 5, True, TypeError, [CURSOR], ALL),
    # comm=False: the deletions stay in the open transaction, up to a failing one
    "open-transaction": ("t4", ["3,4", 7, 7], False, None, [CURSOR] + [dele("t4", j) for j in ("3,4", 7, 7)],
                         [1, 2, 5, 6, 8, 9, 10]),
    "open-transaction-bad-id": ("t4", [2, (3, 4), 5], False, sqlite3.Error, [CURSOR, dele("t4", 2), dele("t4", (3, 4))],
                                [1] + list(range(3, 11))),
}


@pytest.mark.parametrize("table, ids, comm, error, log, remaining", DELETES.values(), ids=DELETES.keys())
def test_delete_sequences(proxy, filled, table, ids, comm, error, log, remaining):
    with pytest.raises(error) if error else contextlib.nullcontext():
        assert mv.delete_row_main(proxy, table, ids, comm) is None
    assert proxy.log == log and left(filled) == remaining
    assert filled.in_transaction == (not comm and len(log) > 1)
    filled.rollback()
    assert left(filled) == (remaining if comm else ALL)


# morvel.load's log after its cursor, for test_load's cases that send something or nothing at all
ASKS = [BEGIN, *staging_state("t4")]
LOAD_LOGS = {
    "generator": ASKS + [ins("temp_t4", "?,?,?,?", list(r)) for r in ROWS] + [COMMIT],
    "empty": [],
    "refused_row": ASKS + [ins("temp_t4", "?,?,?,?", list(r)) for r in ROWS[:2]] + [ROLLBACK],
    "bad_batch": [],
    "huge_batch": [],
    "frame": [],
    "comm_false": [ins("temp_t4", "?,?,?,?", list(r)) for r in ROWS],
    # mappings: the staging table's columns read inside the call's transaction, before the first INSERT
    "dicts": [BEGIN, ex("PRAGMA table_info(temp_t4)"), FETCH, *staging_state("t4")] + [ins("temp_t4", "?,?,?,?", list(r)) for r in ROWS]
    + [COMMIT],
    # a row lacks a column: whether the table has unique keys is read once
    "dicts_partial": [BEGIN, ex("PRAGMA table_info(temp_t4)"), FETCH, *key_reads("t4")[2:], *staging_state("t4")]
    + [ins("temp_t4", "?,?,?,?", list(r)) for r in [("x", None, None, 1), (None, 2, 3, None), (None,) * 4]] + [COMMIT],
    "unknown_key": [BEGIN, ex("PRAGMA table_info(temp_t4)"), FETCH, *staging_state("t4")]
    + [ins("temp_t4", "?,?,?,?", list(r)) for r in ROWS[:2]] + [ROLLBACK],
}


@pytest.mark.parametrize("name", LOAD_LOGS)
def test_load_sequences(proxy, tables, name):
    make_rows, comm, batch, outcome, _ = LOADS[name]
    error = outcome[0] if isinstance(outcome, tuple) else outcome  # an error, or with its message
    with contextlib.nullcontext() if isinstance(outcome, int) else pytest.raises(error):
        morvel.load(proxy, "t4", make_rows(), comm, batch=batch)
    assert proxy.log == ([CURSOR] if LOAD_LOGS[name] else []) + LOAD_LOGS[name]


def test_arrow_load_sequence(proxy, tables):
    """The staging table's columns read first (and its unique keys, as columns are missing); then sixteen rows
    to a statement, the rest one to a statement."""
    pa = pytest.importorskip("pyarrow")
    morvel.load(proxy, "t4", pa.table({"d": list(range(17)), "B": ["x"] * 17}))
    group = "),(".join(["?,?,?,?"] * 16)
    values = [[None, "x", None, i] for i in range(17)]
    assert proxy.log == [CURSOR, *key_reads("temp_t4")[:2], *key_reads("t4")[2:], *ASKS,
                         ins("temp_t4", group, [v for row in values[:16] for v in row]),
                         ins("temp_t4", "?,?,?,?", values[16]), COMMIT]


def test_load_inside_an_open_transaction(proxy, tables):
    """Its own savepoint, rolled back to and released when the rows end badly: never the caller's rollback."""
    tables.execute("INSERT INTO t1 VALUES ('mine')")
    with pytest.raises(KeyError):
        morvel.load(proxy, "t4", _raises_after(2), batch=1)
    assert proxy.log == [CURSOR, ex("SAVEPOINT morvel"), *staging_state("t4"), *[ins("temp_t4", "?,?,?,?", list(r)) for r in ROWS[:2]],
                         ex("ROLLBACK TO morvel"), ex("RELEASE morvel")]



# ---------------------------------------------------------------- merge

def head_reads(table, begin=(BEGIN,)):
    return [CURSOR, *begin, *key_reads(table), ex(sql(f"SELECT * FROM temp_{table} ORDER BY rowid DESC")), FETCH]


def index_steps(conn, table):
    """What dropping and rebuilding the table's indexes sends, from the current schema and catalog."""
    names = [n for n, t in conn.execute("SELECT name, tbl_name FROM sqlite_master WHERE type = 'index'") if t == table]
    rows = conn.execute(f"SELECT * FROM index_table WHERE table_name = '{table}'").fetchall()
    return ([CURSOR, SEL_MASTER, FETCH, *[drop_idx(n) for n in names]],
            [CURSOR, sel_index(table), FETCH, *[create_idx(t, n, c) for t, n, c in rows]])


def deletes_apart(log):
    """Single-row deletions may come in any order: compare them as a set, the rest as a sequence."""
    is_del = [e[0] == "execute" and "Where rowid in (" in e[1] for e in log]
    return [("DELETE",) if d else e for e, d in zip(log, is_del)], sorted(e for e, d in zip(log, is_del) if d)


def test_merge_sequence(proxy, conn):
    managed(conn, "homes", ["name", "type", "address", "age"], [[0], [1, 2]],
            main=[("a", "h", "x", 1), ("b", "h", "y", 2), ("c", "f", "z", 3)],
            staged=[("a", "f", "q", 4), ("d", "h", "y", 5), ("a", "g", "r", 6)],
            index={"index_0": "age"})
    before = schema(conn, "index")
    suspend, reactivate = index_steps(conn, "homes")
    seek = lambda where, vals: [ex(sql(f"SELECT rowid FROM homes WHERE {where}"), vals), FETCH]  # noqa: E731
    expected = head_reads("homes") + seek("name = ? ", ["a"]) + seek("type = ? AND address = ? ", ["g", "r"]) \
        + seek("name = ? ", ["d"]) + seek("type = ? AND address = ? ", ["h", "y"]) \
        + seek("type = ? AND address = ? ", ["f", "q"]) + suspend \
        + [CURSOR, dele("homes", 1), dele("homes", 2),
           CURSOR, ins("homes", "?,?,?,?", ["a", "g", "r", 6]), ins("homes", "?,?,?,?", ["d", "h", "y", 5]),
           ex(sql("DELETE From temp_homes"))] + reactivate + [COMMIT]
    assert mv.temp_to_main(proxy, "homes") is None
    assert deletes_apart(proxy.log) == deletes_apart(expected)
    assert conn.execute("SELECT rowid, * FROM homes ORDER BY rowid").fetchall() == [
        (3, "c", "f", "z", 3), (4, "a", "g", "r", 6), (5, "d", "h", "y", 5)]
    assert conn.execute("SELECT * FROM temp_homes").fetchall() == []
    assert schema(conn, "index") == before


@pytest.mark.parametrize("merged_before", [False, True])
def test_empty_staging_sequence(proxy, conn, merged_before):
    managed(conn, "t", ["k", "v"], [[0]], main=[("a", 1)], staged=[("b", 2)] * merged_before,
            index={"by_v": "v"})
    if merged_before:
        mv.temp_to_main(conn, "t")
    rows = conn.execute("SELECT rowid, * FROM t").fetchall()
    suspend, reactivate = index_steps(conn, "t")
    expected = head_reads("t") + suspend + [CURSOR, CURSOR, ex(sql("DELETE From temp_t"))] + reactivate + [COMMIT]
    mv.temp_to_main(proxy, "t")
    assert proxy.log == expected
    assert conn.execute("SELECT rowid, * FROM t").fetchall() == rows


@pytest.mark.parametrize("setup, begin", MODES.values(), ids=MODES.keys())
def test_merge_opens_its_transaction_before_its_first_read(proxy, conn, setup, begin):
    managed(conn, "t", ["k", "v"], [[0]], main=[("a", 1)], staged=[("a", 2), ("b", 3)])
    target = _bare(proxy) if setup is _bare else (setup(conn), proxy)[1]
    mv.temp_to_main(target, "t")
    head = head_reads("t", [ex(s) for s in begin])
    assert proxy.log[:len(head)] == head
    assert sum(proxy.statements().count(s) for s in ("BEGIN IMMEDIATE", "BEGIN EXCLUSIVE", "SAVEPOINT morvel")) == len(begin)
    assert conn.execute("SELECT * FROM t ORDER BY rowid").fetchall() == [("b", 3), ("a", 2)]


class StagesDuringMerge(RecordingConnection):
    """Stages one more row right after the merge has read how far the staged rows go, as another thread could."""

    def cursor(self):
        cur = super().cursor()
        forward = cur.execute

        def execute(sql, *params):
            result = forward(sql, *params)
            if sql.lstrip().startswith("SELECT (SELECT max(rowid) FROM temp_t)"):
                self.real.execute("INSERT INTO temp_t VALUES ('late', 9)")
            return result

        cur.execute = execute
        return cur


def row_set(name):
    """A temporary set of rowids that the merge makes, and drops."""
    return [ex(sql(f"DROP TABLE IF EXISTS temp.{name}")), ex(sql(f"CREATE TEMP TABLE {name} (id INTEGER PRIMARY KEY)"))]


@pytest.mark.parametrize("rebuild", [True, False])
@pytest.mark.parametrize("filler", [0, KEY_SET_ROWS], ids=["key_sets", "grouped"])
def test_merge_statements_and_rows_staged_meanwhile(conn, rebuild, filler):
    managed(conn, "t", ["k", "v"], [[0]], main=[("a", 1), ("b", 2)],
            staged=[("a", 3), ("c", 4), ("c", 5)] + [(f"f{i}", 0) for i in range(filler)], index={"by_v": "v"})
    suspend, reactivate = index_steps(conn, "t")
    proxy = StagesDuringMerge(conn)
    assert morvel.merge(proxy, "t", rebuild=rebuild) == (2 + filler, 1, 1, rebuild)
    high = [3 + filler]
    ends = ["SELECT (SELECT max(rowid) FROM temp_t), (SELECT min(rowid) FROM t), (SELECT max(rowid) FROM t),",
            "    (SELECT count(*) FROM temp_t)"]
    changes = [ex(sql("SELECT changes()")), FETCH]
    if filler:  # the staged rows that a newer one repeats: found by SQLite, no key read back, the repeated values first
        repeated_gone = ex(sql("DROP TABLE IF EXISTS temp.morvel_repeated"))
        superseded = [*row_set("morvel_superseded"), repeated_gone,
                      ex(sql("CREATE TEMP TABLE morvel_repeated (k0, newest, PRIMARY KEY (k0)) WITHOUT ROWID")),
                      ex(sql("INSERT INTO temp.morvel_repeated", 'SELECT "k" COLLATE BINARY, max(rowid)',
                             '    FROM temp_t WHERE rowid <= ? AND "k" IS NOT NULL',
                             '    GROUP BY "k" COLLATE BINARY HAVING count(*) > 1'), high), *changes,
                      ex(sql("INSERT OR IGNORE INTO temp.morvel_superseded",
                             "SELECT s.rowid FROM temp_t AS s CROSS JOIN temp.morvel_repeated AS d",
                             'ON s."k" COLLATE BINARY = d.k0 AND s.rowid < d.newest')), *changes, repeated_gone]
        dropped = [ex(sql("DELETE FROM temp_t WHERE rowid IN (SELECT id FROM temp.morvel_superseded)"))]
        sets_gone = [ex(sql("DROP TABLE IF EXISTS temp.morvel_superseded"))]
    else:  # their keys read newest first, in bounded parts, into compiled sets; each such row deleted by rowid
        superseded = [ex(sql('SELECT rowid,"k"', "FROM temp_t", "WHERE rowid <= ?", "ORDER BY rowid DESC",
                             "LIMIT 16384"), high), FETCH]
        dropped, sets_gone = [ex(sql("DELETE FROM temp_t WHERE rowid = ?"), [2])], []
    join = sql("SELECT m.rowid FROM temp_t AS s CROSS JOIN t AS m", 'ON m."k" = s."k"', "WHERE s.rowid <= ?")
    # rebuilt: the rowids found before the drops, kept by SQLite, deleted after; live: deleted by the join itself
    deletes = [*row_set("morvel_replaced"), ex("\n" + " " * 12 + "INSERT OR IGNORE INTO temp.morvel_replaced" + join, high),
               *changes, *suspend, ex(sql("DELETE FROM t WHERE rowid IN (SELECT id FROM temp.morvel_replaced)")),
               ex(sql("DROP TABLE IF EXISTS temp.morvel_replaced"))] \
        if rebuild else [sel_index("t"), FETCH, SEL_MASTER, FETCH, ex(sql("DELETE FROM t WHERE rowid IN (")[:-9] + join + ")", high),
                         *changes]
    expected = head_reads("t")[:-2] + [ex(sql(*ends)), FETCH, *superseded] + deletes + dropped \
        + [ex(sql("INSERT INTO t SELECT * FROM temp_t WHERE rowid <= ? ORDER BY rowid DESC"), high),
           ex(sql("DELETE FROM temp_t WHERE rowid <= ?"), high), *sets_gone] + reactivate + [COMMIT]
    assert proxy.log == expected
    assert conn.execute("SELECT rowid, * FROM t WHERE k IN ('a', 'b', 'c') ORDER BY rowid").fetchall() \
        == [(2, "b", 2), (3 + filler, "c", 5), (4 + filler, "a", 3)]
    assert conn.execute("SELECT rowid, * FROM temp_t").fetchall() == [(4 + filler, "late", 9)]  # staged during the merge


# ---------------------------------------------------------------- find

def look(src, where, values, select="rowid,name,type"):
    """A look-up of the newest check, a level deeper than the module's other statements."""
    return [ex(sql(f"SELECT {select}", f"FROM {src}", f"WHERE {where}", depth=20), values), FETCH]


S = lambda where, value: look("temp_h", where, [value])  # noqa: E731
M = lambda where, value: look("h", where, [value])  # noqa: E731
N, T = "name = ? ", "type = ? "


WALKS = {
    "staging_wins": ((1, 1), (1, "a", "x"), True, {(1, 1), (0, 1), (0, 2)},
                     S(N, "a") + M(N, "a") + [CURSOR] + S(N, "a") + M(N, "a") + S(T, "y") + M(T, "y")
                     + [CURSOR] + S(N, "b") + M(N, "b") + S(T, "y") + M(T, "y") + S(T, "x") + M(T, "x")),
    "main_loses_at_once": ((0, 1), (1, "a", "y"), False, {(0, 1), (1, 1)}, S(N, "a")),
    "main_loses_deep": ((0, 2), (2, "b", "y"), False, {(0, 2), (0, 1), (1, 1)},
                        S(N, "b") + M(N, "b") + S(T, "y") + M(T, "y") + [CURSOR] + S(N, "a")),
}


@pytest.mark.parametrize("key,row,verdict,visited,log", WALKS.values(), ids=WALKS.keys())
def test_walk_statements_and_verdict(proxy, linked, key, row, verdict, visited, log):
    seen = {key}
    result = check(proxy, key, row, seen)
    assert type(result) is tuple and result == ((True, seen) if verdict else (False, None))
    assert verdict is False or result[1] is seen
    assert seen == visited
    assert proxy.log == [CURSOR] + log


@pytest.mark.parametrize("uniques,log", [({}, []), ({"u0": []}, []), ({"e": [], "u1": [1]}, S(T, "x") + M(T, "x")),
                                         ({"k": [1, 0]}, look("temp_h", "type = ? AND name = ? ", ["x", "a"])
                                          + look("h", "type = ? AND name = ? ", ["x", "a"]))])
def test_key_lists(proxy, linked, uniques, log):
    seen = {(1, 1)}
    assert check(proxy, (1, 1), (1, "a", "x"), seen, uniques) == (True, {(1, 1)})
    assert proxy.log == [CURSOR] + log


def data(src, cond, select="rowid,name,type,age"):
    return ex(sql(f"SELECT {select}", f"FROM {src}", cond))


def head(table):
    """find reads one snapshot: BEGIN first and COMMIT last when the connection has no transaction open."""
    return [CURSOR, OPEN, *key_reads(table)]


@pytest.fixture
def linked(conn):
    return linked_rows(conn)


@pytest.fixture
def n(conn):
    managed(conn, "n", ["name", "type", "age"], [], staged=[("s1", "x", 1), ("s2", "y", 3)], main=[("s1", "x", 2)])
    return conn


FINDS = [("*", "", [["s1", "x", 1], ["s2", "y", 3], ["s1", "x", 2]]),
         ("age,name", "", [[1, "s1"], [3, "s2"], [2, "s1"]]),
         ("name,name", "", [["s1", "s1"], ["s2", "s2"], ["s1", "s1"]]),
         ("type", "WHERE type = 'x'", [["x"], ["x"]]),
         ("name", "ORDER BY age DESC", [["s2"], ["s1"], ["s1"]]),
         ("age", "LIMIT 1", [[1], [2]])]


@pytest.mark.parametrize("select,cond,expected", FINDS)
def test_find_without_keys(proxy, n, select, cond, expected):
    assert mv.find(proxy, select, "n", cond) == expected
    # with no keys each newest check opens its cursor and sends nothing
    assert [e for e in proxy.log if e != CURSOR] == head("n")[1:] + [data("temp_n", cond), FETCH, data("n", cond), FETCH, CLOSE]
    assert proxy.log.count(CURSOR) == 1 + len(expected)


@pytest.mark.parametrize("select", ["name, age", "Name", "name,", "rowid"])
def test_unknown_select_piece(proxy, n, select):
    with pytest.raises(ValueError):
        mv.find(proxy, select, "n", "")
    assert proxy.log == head("n") + [CLOSE]


def test_find_statements_with_keys(proxy, linked):
    assert mv.find(proxy, "*", "h", "") == [["a", "x"]]
    assert proxy.log == head("h") + [data("temp_h", "", "rowid,name,type"), FETCH, CURSOR, *WALKS["staging_wins"][4],
                                     data("h", "", "rowid,name,type"), FETCH, CURSOR, *WALKS["main_loses_deep"][4],
                                     CLOSE]


# ---------------------------------------------------------------- query

STAGING_STATE = staging_state("h")[0][1:]


def test_query_statements_with_indexed_staging(proxy, conn):
    two_tables(conn)
    morvel.index_staging(conn, "h")
    newer = "NOT EXISTS (SELECT 1 FROM temp_h AS n WHERE n.rowid > s.rowid AND s.\"a\" = n.\"a\" AND n.\"a\" = s.\"a\" COLLATE BINARY)"
    staged = "NOT EXISTS (SELECT 1 FROM temp_h AS n WHERE m.\"a\" = n.\"a\")"
    reads = [("BEGIN", None), ("PRAGMA table_info(h)", None), ("PRAGMA table_info(temp_h)", None),
             (sql("SELECT *", "FROM unique_table", "WHERE table_name = 'h'"), None), STAGING_STATE,
             (sql("SELECT count(*) FROM staging_index WHERE table_name = ?"), ["h"])]
    condition = "(\nb <> ?\n" + " " * 12 + ")"

    def arm(source, table, alias, survives, limit):
        return (sql(f"SELECT {source} AS morvel_source_, rowid AS rowid, * FROM {table} AS {alias}",
                    f"WHERE {survives} AND ")[:-9] + condition + sql("ORDER BY rowid") + sql(f"LIMIT {limit}"), ["y"])

    # without an ordering: staged rows no newer one repeats, then main rows no staged one repeats, by rowid
    assert morvel.query(proxy, "h", "b <> ?", ["y"], columns="c", limit=5) == [[11], [41], [30]]
    assert proxy.executes() == reads + [arm(1, "temp_h", "s", newer, 5), arm(0, "h", "m", staged, 3), ("COMMIT", None)]
    # with one: the two as one table, in one statement
    proxy.clear()
    assert morvel.query(proxy, "h", "b <> ?", ["y"], columns="c", order_by="c", limit=5) == [[11], [30], [41]]
    assert proxy.executes() == reads + [
        (sql("SELECT * FROM (", "    SELECT 1 AS morvel_source_, rowid AS rowid, * FROM temp_h AS s",
             f"    WHERE {newer}", "    UNION ALL", "    SELECT 0, rowid, * FROM h AS m", f"    WHERE {staged}", ")")[:-9]
         + sql("WHERE (", ")").replace("(\n" + " " * 12, "(\nb <> ?\n" + " " * 12, 1)[:-9]
         + sql("ORDER BY", ")").replace("BY\n" + " " * 12 + ")", "BY\nc\n" + " " * 12 + ", morvel_source_ DESC, rowid")
         + sql("LIMIT 5"), ["y"]),
        ("COMMIT", None),
    ]


def test_query_statements(proxy, conn):
    two_tables(conn)
    assert morvel.query(proxy, "h", "b <> ?", ["y"], columns="c") == [[11], [41], [30]]
    pad, end = "\n" + " " * 12, "\n" + " " * 8
    assert proxy.log[0] == ("cursor",) and proxy.log.count(("cursor",)) == 1
    assert proxy.executes() == [
        ("BEGIN", None),
        ("PRAGMA table_info(h)", None),
        ("PRAGMA table_info(temp_h)", None),
        (sql("SELECT *", "FROM unique_table", "WHERE table_name = 'h'"), None),
        STAGING_STATE,
        # the collation of each column: the table's own text (a temporary table of the name first)
        (f"{pad}SELECT sql FROM ({pad}    SELECT 0 AS o, sql FROM sqlite_temp_master WHERE type = 'table' AND "
         f"name = 'h' COLLATE NOCASE{pad}    UNION ALL{pad}    SELECT 1, sql FROM sqlite_master WHERE type = "
         f"'table' AND name = 'h' COLLATE NOCASE{pad}){pad}ORDER BY o{pad}LIMIT 1{end}", None),
        # the candidates of each table, in pages by rowid: few, so held
        (f'{pad}SELECT rowid,"a","c"{pad}FROM temp_h{pad}WHERE rowid >= {-2**63} AND (\nb <> ?{pad}){pad}'
         f"ORDER BY rowid{pad}LIMIT 16384{end}", ["y"]),
        (f'{pad}SELECT rowid,"a","c"{pad}FROM h{pad}WHERE rowid >= {-2**63} AND (\nb <> ?{pad}){pad}'
         f"ORDER BY rowid{pad}LIMIT 16384{end}", ["y"]),
        # the staged keys that share a first value with a candidate (its first row of each tuple), newest
        # first, in chunks, looked for among the candidates' tuples
        (f'{pad}SELECT rowid,"a"{pad}FROM temp_h{pad}WHERE rowid <= ? AND (+"a" COLLATE BINARY IN (SELECT +"a" '
         f'FROM temp_h WHERE rowid IN (?,?) UNION ALL SELECT +"a" FROM h WHERE rowid IN (?))){pad}ORDER BY rowid DESC'
         f'{pad}LIMIT 16384{end}', [2**63 - 1, 1, 2, 3]),
        ("COMMIT", None),
    ]