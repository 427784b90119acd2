"""Creating a managed table with its staging table, indexes and keys, and removing it again."""

import sqlite3

import pytest

from conftest import catalog, schema
from morvel import morvel as mv
from test_catalog import (COMM_IDS, COMMIT, COMMS, CURSOR, ex, lit, log_insert_index, log_insert_unique, owned, sql,
                          stored_idx)

COLS = ["name", "type", "address", "age"]


def log_drop_table(t):
    return [CURSOR, ex(sql(f"DROP Table IF EXISTS {t}")),
            ex(sql("DELETE", "FROM index_table", f"Where table_name = '{lit(t)}'")),
            ex(sql("DELETE", "FROM unique_table", f"Where table_name = '{lit(t)}'")),
            ex(sql(f"DROP Table IF EXISTS temp_{t}"))]


def creates(t, col_str):
    return [ex(sql(f"CREATE TABLE {t} ({col_str})")), ex(sql(f"CREATE TABLE temp_{t} ({col_str})"))]


def tables(conn):
    return [r[0] for r in schema(conn, "table") if r[0] not in ("index_table", "unique_table")]


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


def test_worked_example_on_file(conn, db_path):
    mv.create_table(conn, "homes", COLS, [{"name": "index_0", "cols": "name,type,address"}],
                    [{"name": "unique_0", "cols": [0, 2]}])
    other = sqlite3.connect(db_path)  # committed, so another connection sees it all
    assert catalog(other) == ([("homes", "index_0", "name,type,address"), ("homes", "unique_0", "name,address")],
                              [("homes", "unique_0", "name,address", "0,2")])
    assert schema(other, "index") == [
        ("homes_index_0", "homes", stored_idx("homes", "index_0", "name,type,address")),
        ("homes_unique_0", "homes", stored_idx("homes", "unique_0", "name,address"))]
    assert [r for r in schema(other, "table") if "homes" in r[0]] == [
        ("homes", "homes", "CREATE TABLE homes (name,type,address,age)"),
        ("temp_homes", "temp_homes", "CREATE TABLE temp_homes (name,type,address,age)")]
    other.close()


def test_second_creation_replaces_the_first(conn):
    mv.create_table(conn, "homes", ["a", "b"], [{"name": "i", "cols": "a"}], [{"name": "u", "cols": [1]}])
    mv.create_table(conn, "keep", ["a"], [{"name": "i", "cols": "a"}], [{"name": "u", "cols": [0]}])
    conn.execute("INSERT INTO homes VALUES (1, 2)")
    conn.execute("INSERT INTO temp_homes VALUES (1, 2)")
    mv.create_table(conn, "homes", ["x", "y", "z"], [{"name": "j", "cols": "z"}], [])
    for t in ("homes", "temp_homes"):
        assert [r[1] for r in conn.execute(f"PRAGMA table_info({t})")] == ["x", "y", "z"]
        assert conn.execute(f"SELECT * FROM {t}").fetchall() == []
    assert catalog(conn) == ([("homes", "j", "z"), ("keep", "i", "a"), ("keep", "u", "a")],
                             [("keep", "u", "a", "0")])
    assert [r[0] for r in schema(conn, "index")] == ["homes_j", "keep_i", "keep_u"]


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
    assert tables(proxy.real) == ["t", "temp_t"] and not proxy.real.in_transaction
    assert proxy.real.execute("SELECT * FROM t").fetchall() == [(1,)]


def test_nested_calls_go_through_the_module_by_keyword(conn, monkeypatch):
    calls = []
    for fn in ("drop_table", "insert_index", "insert_unique"):
        monkeypatch.setattr(mv, fn, lambda *a, _fn=fn, **k: calls.append((_fn, a, k)))
    desc, key = {"name": "i", "cols": "a", "note": 1}, {"name": "u", "cols": [1, 0]}
    mv.create_table(conn, "t", ["a", "b"], [desc], [key], comm=0)
    assert calls == [("drop_table", (), dict(conn=conn, table="t", comm=False)),
                     ("insert_index", (), dict(conn=conn, index=desc, comm=False)),
                     ("insert_unique", (), dict(conn=conn, table="t", name="u", cols="b,a", cols_num="1,0", comm=False))]
    assert calls[1][2]["index"] is desc  # the caller's own dict, now holding the table's name
    assert desc == {"name": "i", "cols": "a", "note": 1, "table": "t"} and key == {"name": "u", "cols": [1, 0]}


@pytest.mark.parametrize("kw, commits", COMMS, ids=COMM_IDS)
def test_removal_sequence(proxy, kw, commits):
    assert mv.drop_table(proxy, "gone", **kw) is None
    assert proxy.log == owned(log_drop_table("gone"), commits)


def test_removal_on_file(conn, db_path):
    two = [{"name": "i", "cols": "a"}, {"name": "j", "cols": "b"}]
    mv.create_table(conn, "homes", ["a", "b"], two, [{"name": "u", "cols": [0, 1]}])
    mv.create_table(conn, "keep", ["a", "b"], two[:1], [{"name": "u", "cols": [1]}])
    kept = ([("keep", "i", "a"), ("keep", "u", "b")], [("keep", "u", "b", "1")])
    mv.drop_table(conn, "Homes")  # SQLite drops the tables, the catalog compares exactly
    assert tables(conn) == ["keep", "temp_keep"]
    assert [r[0] for r in schema(conn, "index")] == ["keep_i", "keep_u"]
    assert len(catalog(conn)[0]) == 5 and len(catalog(conn)[1]) == 2
    mv.drop_table(conn, "homes")
    other = sqlite3.connect(db_path)
    assert catalog(other) == kept and tables(other) == ["keep", "temp_keep"]
    other.close()


def test_removal_without_catalog_tables(fresh_conn):
    for t in ("homes", "temp_homes"):
        fresh_conn.execute(f"CREATE TABLE {t} (a)")
    with pytest.raises(sqlite3.OperationalError):
        mv.drop_table(fresh_conn, "homes")
    assert tables(fresh_conn) == ["homes", "temp_homes"]  # the DROP before the failure is rolled back


@pytest.mark.parametrize("table", ["[x' OR 'b'<>'c]", "x' OR '1'='1", 12, "index_table", "temp_homes"])
def test_removal_with_odd_names(conn, proxy, table):
    mv.create_table(conn, "homes", ["a"], [{"name": "i", "cols": "a"}], [{"name": "u", "cols": [0]}])
    before = (catalog(conn), tables(conn))
    with pytest.raises(ValueError):
        mv.drop_table(proxy, table)
    assert proxy.log[:1] == [CURSOR] and COMMIT not in proxy.log
    assert (catalog(conn), tables(conn)) == before
