"""DB handle: registry, notice on duplicate names, file preparation and connections."""

import os
import sqlite3
import traceback
import types

import pytest

import morvel
from conftest import RecordingConnection, catalog, schema, unique_name
from morvel import morvel as mv
from morvel import morvel_state

CATALOG_SQL = [
    ("index_table", "index_table", "CREATE TABLE index_table (table_name, index_name, columns)"),
    ("unique_table", "unique_table", "CREATE TABLE unique_table (table_name, unique_name, columns, col_num)")]
BAD_PATH = "/nonexistent/dir/x.db"
SRC = "src/morvel/morvel.cpp"


@pytest.fixture
def registry(monkeypatch):  # an empty registry of our own, so fixed names meet no other handle
    monkeypatch.setattr(morvel_state, "DB_dict", {})
    return morvel_state.DB_dict


class FakeSqlite:
    """Stands in for the sqlite3 module: connect hands out recording proxies around real connections."""

    def __init__(self, broken_cursor=False):
        self.calls, self.proxies, self.broken_cursor = [], [], broken_cursor

    def connect(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        self.proxies.append(RecordingConnection(sqlite3.connect(*args)))
        if self.broken_cursor:
            self.proxies[-1].cursor = refuse
        return self.proxies[-1]


def refuse():
    raise sqlite3.OperationalError("disk I/O error")


def entries(exc):
    return [(f.lineno, f.name) for f in traceback.extract_tb(exc.__traceback__) if f.filename == SRC]


def test_class_is_plain():
    assert mv.DB.__bases__ == (object,) and mv.DB.__doc__ is None and mv.DB.__module__ == "morvel.morvel"
    assert mv.DB.__name__ == mv.DB.__qualname__ == "DB"
    assert {k for k in vars(mv.DB) if not k.startswith("__")} == {"connection"}


def test_fresh_file_holds_two_empty_catalog_tables(tmp_path, capsys):
    path, name = str(tmp_path / "new.db"), unique_name()
    handle = object.__new__(mv.DB)
    assert mv.DB.__init__(handle, name, path) is None
    assert os.path.exists(path) and morvel_state.DB_dict[name] is handle
    assert list(vars(handle).items()) == [("name", name), ("address", path)]
    c = handle.connection()
    assert isinstance(c, sqlite3.Connection) and schema(c, "table") == CATALOG_SQL
    assert schema(c, "index") == [] and catalog(c) == ([], [])
    assert c.execute("PRAGMA journal_mode").fetchone() == ("delete",)
    c.close()
    assert capsys.readouterr().out == ""


FMT = type("Formatted", (), {"__format__": lambda self, fmt: "formatted" + fmt, "__str__": lambda self: "plain"})()


@pytest.mark.parametrize("first, second, shown", [
    ("main", "main", "main"), (1, True, "True"), (0, False, "False"), (1, 1.0, "1.0"),
    (2.5, 2.5, "2.5"), (("a", 1), ("a", 1), "('a', 1)"), (FMT, FMT, "formatted")])
def test_duplicate_name_prints_notice(registry, tmp_path, capsys, monkeypatch, first, second, shown):
    path1, path2 = str(tmp_path / "one.db"), str(tmp_path / "two.db")
    handle = mv.DB(first, path1)
    assert capsys.readouterr().out == ""
    monkeypatch.setattr(mv, "sqlite3", fake := FakeSqlite())
    other = object.__new__(mv.DB)
    assert mv.DB.__init__(other, second, path2) is None
    assert capsys.readouterr().out == f"DB {shown} exists!\n"
    assert list(registry) == [first] and registry[first] is handle
    assert handle.address == path1 and handle.name is first
    assert fake.calls == [] and not os.path.exists(path2) and vars(other) == {}
    with pytest.raises(AttributeError, match="address"):
        other.connection()


def test_two_handles_share_one_file(db_path):
    mv.DB(unique_name(), db_path)
    c = sqlite3.connect(db_path)
    c.execute("INSERT INTO index_table VALUES ('homes', 'index_0', 'name')")
    c.execute("INSERT INTO unique_table VALUES ('homes', 'unique_0', 'name', '0')")
    c.commit()
    before = catalog(c)
    mv.DB(unique_name(), db_path)
    assert catalog(c) == before and schema(c, "table") == CATALOG_SQL
    c.close()


def test_connection_is_new_each_time(db_path):
    handle = mv.DB(unique_name(), db_path)
    c1, c2 = handle.connection(), handle.connection()
    assert c1 is not c2
    with c1:
        c1.execute("INSERT INTO index_table VALUES ('t', 'i', 'a')")
    assert c2.execute("SELECT * FROM index_table").fetchall() == [("t", "i", "a")]
    c1.close(), c2.close()


@pytest.mark.parametrize("name", [[1], {"a": 1}, {2}])
def test_unhashable_name_fails_before_anything_is_set(db_path, name):
    handle, before = object.__new__(mv.DB), dict(morvel_state.DB_dict)
    with pytest.raises(TypeError, match="unhashable") as ei:
        mv.DB.__init__(handle, name, db_path)
    assert vars(handle) == {} and morvel_state.DB_dict == before and not os.path.exists(db_path)
    assert entries(ei.value) == [(10, "morvel.morvel.DB.__init__")]


@pytest.mark.parametrize("broken", ["path", "cursor"])
def test_failed_preparation_leaves_no_registration(monkeypatch, tmp_path, capsys, broken):
    name = unique_name()
    if broken == "cursor":
        monkeypatch.setattr(mv, "sqlite3", FakeSqlite(broken_cursor=True))
    with pytest.raises(sqlite3.OperationalError) as ei:
        mv.DB(name, BAD_PATH if broken == "path" else str(tmp_path / "x.db"))
    assert entries(ei.value) == [(10, "morvel.morvel.DB.__init__")]
    assert name not in morvel_state.DB_dict
    monkeypatch.setattr(mv, "sqlite3", sqlite3)
    handle = mv.DB(name, str(tmp_path / "good.db"))
    assert morvel_state.DB_dict[name] is handle and handle.address == str(tmp_path / "good.db")
    assert capsys.readouterr().out == ""
    c = handle.connection()
    assert schema(c, "table") == CATALOG_SQL
    c.close()


def test_failed_preparation_keeps_a_newer_registration(monkeypatch):
    name, newer = unique_name(), object()

    def connect(address):
        morvel_state.DB_dict[name] = newer
        raise sqlite3.OperationalError("unable to open database file")

    monkeypatch.setattr(mv, "sqlite3", types.SimpleNamespace(connect=connect))
    with pytest.raises(sqlite3.OperationalError):
        mv.DB(name, BAD_PATH)
    assert morvel_state.DB_dict[name] is newer


def test_connection_error_carries_its_entry(db_path):
    handle = mv.DB(unique_name(), db_path)
    handle.address = BAD_PATH
    with pytest.raises(sqlite3.OperationalError) as ei:
        handle.connection()
    assert entries(ei.value) == [(44, "morvel.morvel.DB.connection")]


@pytest.mark.parametrize("address", [":memory:", "plain.db"])
def test_prepare_readies_any_connection(tmp_path, monkeypatch, db_path, address):
    monkeypatch.chdir(tmp_path)
    conn = sqlite3.connect(address)
    conn.execute("CREATE TABLE t0 (a)")
    conn.execute("INSERT INTO t0 VALUES (1)")
    t0 = schema(conn, "table")
    morvel.prepare(conn)  # joins the open transaction and leaves it open
    assert conn.in_transaction
    conn.rollback()
    assert schema(conn, "table") == t0
    morvel.prepare(conn)
    morvel.prepare(conn)  # outside a transaction: committed by SQLite, statement by statement
    assert not conn.in_transaction
    by_db = mv.DB(unique_name(), db_path).connection()
    assert schema(conn, "table") == sorted(schema(by_db, "table") + t0)
    by_db.close()

    mv.create_table(conn, "homes", ["name", "age"], [{"name": "i0", "cols": "age"}], [{"name": "u0", "cols": [0]}])
    mv.insert_temp(conn, "homes", [("a", 1), ("b", 2)])
    mv.temp_to_main(conn, "homes")
    mv.insert_temp(conn, "homes", [("a", 3)])
    assert mv.find(conn, "*", "homes", "") == [["a", 3], ["b", 2]]
    mv.temp_to_main(conn, "homes")
    assert sorted(conn.execute("SELECT * FROM homes")) == [("a", 3), ("b", 2)] and not conn.in_transaction
    assert catalog(conn) == ([("homes", "i0", "age"), ("homes", "u0", "name")], [("homes", "u0", "name", "0")])
    conn.close()
