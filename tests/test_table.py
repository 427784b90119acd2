"""Creating a managed table with its staging table, indexes and keys, and removing it again."""

import sqlite3

import pytest

from conftest import catalog, schema
from morvel import morvel as mv
from test_catalog import stored_idx

COLS = ["name", "type", "address", "age"]


def tables(conn):
    return [r[0] for r in schema(conn, "table") if r[0] not in ("index_table", "unique_table")]


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

