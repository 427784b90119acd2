"""The package used as typed code: mypy --strict must accept all of it (the release check runs it too)."""

import sqlite3
from typing import Any

import morvel
from morvel.morvel import (DB, _check_newest_unique, _insert_main, active_table_index, create_table,
                           delete_row_main, drop_index, drop_table, drop_table_index, drop_unique, find,
                           insert_index, insert_temp, insert_unique, temp_to_main)


def cycle(path: str) -> list[list[object]]:
    conn: sqlite3.Connection = DB("typed", path).connection()
    create_table(conn, "homes", ["name", "age"], [{"name": "i0", "cols": "age"}], [{"name": "u0", "cols": [0]}])
    insert_index(conn, {"table": "homes", "name": "i1", "cols": "name"}, comm=False)
    insert_unique(conn, "homes", "u1", "age", "1")
    insert_temp(conn, "homes", [("a", 1), ("b", 2), ("a", 3)])
    drop_table_index(conn, "homes")
    active_table_index(conn, "homes")
    temp_to_main(conn, "homes")
    _insert_main(conn, "homes", [["c", 4]])
    delete_row_main(conn, "homes", {10, 11})
    ok, seen = _check_newest_unique(conn, "homes", (0, 1), [1, "a", 3], {"u0": [0]}, ["name", "age"],
                                    "rowid,name,age", set())
    rows = find(conn, "name,age", "homes", "where age > 0")
    drop_unique(conn, "homes", "u1")
    drop_index(conn, "homes", "i1")
    drop_table(conn, "homes")
    conn.close()
    return rows if ok and seen is not None else []


class Logged:
    """A wrapper connection: what the module needs of one, and nothing more."""

    def __init__(self, real: sqlite3.Connection) -> None:
        self.real, self.sent = real, 0

    def cursor(self) -> "Logged":
        return self

    def execute(self, sql: str, *params: Any) -> None:
        self.sent += 1
        self.real.execute(sql, *params)

    def fetchall(self) -> list[Any]:
        return []

    def commit(self) -> None:
        self.real.commit()


def wrapped(conn: sqlite3.Connection) -> int:
    logged = Logged(conn)
    drop_table(logged, "homes", comm=False)
    return logged.sent


def in_memory() -> list[list[object]]:
    conn = sqlite3.connect(":memory:")
    morvel.prepare(conn)
    create_table(conn, "t", ["k"], [], [], comm=1)  # commits exactly when comm == True: 1 and 1.0 too
    temp_to_main(conn, "t", comm=1.0)
    return find(conn, "*", "t", "")


def package(conn: sqlite3.Connection) -> tuple[int, morvel.Merged, list[list[Any]]]:
    staged = morvel.load(conn, "t", (row for row in [("a",), ("b",)]), batch=10)
    staged += morvel.load(conn, "t", [{"k": "c"}, {}], missing="null")
    morvel.index_staging(conn, "t")
    report = morvel.merge(conn, "t", rebuild=None)
    rows = morvel.query(conn, "t", "k > ?", ["a"], columns=["k"], order_by="k DESC", limit=5)
    return staged, report, rows


def arrow(conn: sqlite3.Connection) -> tuple[int, tuple[str, ...], tuple[str, ...], object]:
    answer: morvel.ArrowAnswer = morvel.query_arrow(conn, "t", "k > ?", ["a"], columns="k", order_by="k", limit=5)
    return len(answer), answer.columns, answer.types, answer.__arrow_c_stream__(None)
