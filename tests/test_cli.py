"""`python -m morvel` run as a subprocess on real files."""

import contextlib
import json
import re
import sqlite3
import subprocess
import sys

import pytest

from conftest import unique_name
from morvel import morvel as mv


def run(*argv, cwd=None):
    r = subprocess.run([sys.executable, "-m", "morvel", *argv], capture_output=True, text=True, cwd=cwd)
    return r.returncode, r.stdout, r.stderr


@pytest.fixture
def homes(tmp_path):
    """homes: a, b, c merged, then a twice and d staged; pairs: two merged rows, one staged row that
    matches both on different keys; owners: no keys, nothing in it."""
    path = tmp_path / "homes.db"
    conn = mv.DB(unique_name("cli"), str(path)).connection()
    mv.create_table(conn, "homes", ["name", "type", "address", "age"],
                    [{"name": "index_0", "cols": "name,type,address"}], [{"name": "unique_0", "cols": [0, 2]}])
    mv.insert_temp(conn, "homes", [("a", "flat", "x", 1), ("b", "flat", "y", None), ("c", "flat", "z", 3)])
    mv.temp_to_main(conn, "homes")
    mv.insert_temp(conn, "homes", [("a", "house", "x", 4), ("a", "house", "x", 5), ("d", "flat", "w", b"\x01\xff")])
    mv.create_table(conn, "pairs", ["k1", "k2"], [], [{"name": "u1", "cols": [0]}, {"name": "u2", "cols": [1]}])
    mv.insert_temp(conn, "pairs", [(1, "x"), (2, "y")])
    mv.temp_to_main(conn, "pairs")
    mv.insert_temp(conn, "pairs", [(1, "y")])
    mv.create_table(conn, "owners", ["owner"], [], [])
    conn.close()
    return str(path)


HOMES_JSON = {
    "table": "homes", "rows": 3, "staged": 3,
    "unique_keys": [{"name": "unique_0", "columns": "name,address"}],
    "indexes": [
        {"name": "index_0", "sqlite_name": "homes_index_0", "columns": "name,type,address", "exists": True},
        {"name": "unique_0", "sqlite_name": "homes_unique_0", "columns": "name,address", "exists": True},
    ],
}


@pytest.mark.parametrize("argv, expected", [
    (["tables"], r"^homes\s+3\s+3\s+unique_0\(name,address\)\s+index_0\(name,type,address\), unique_0\(name,address\)$"),
    (["tables"], r"^owners\s+0\s+0\s+-\s+-$"),
    (["tables", "--json"], lambda out: json.loads(out)[0] == HOMES_JSON and len(json.loads(out)) == 3),
    (["find", "homes", "--where", "name <> 'c'"],
     "name  type   address  age\n----  -----  -------  -------\n"
     "a     house  x        5\nd     flat   w        x'01ff'\nb     flat   y        NULL\n(3 rows)\n"),
    (["find", "homes", "--select", "age, name", "--where", "name < 'c'", "--csv"], "age,name\n5,a\n,b\n"),
    (["find", "homes", "--json", "--select", "name,age", "--where", "name in ('b', 'd')"],
     lambda out: json.loads(out) == [{"name": "d", "age": "x'01ff'"}, {"name": "b", "age": None}]),
    (["find", "homes", "--select", "name,age", "--where", "age > ? AND name <> ?", "--param", "3", "--param", "'d'",
      "--csv"], "name,age\na,5\n"),
    (["find", "homes", "--select", "name", "--where", "age IN (?, ?, ?)", "--param", "x'01FF'", "--param", "2.5e0",
      "--param", "3", "--csv"], "name\nd\nc\n"),
])
def test_read_commands(homes, argv, expected):
    code, out, err = run(argv[0], homes, *argv[1:])
    assert (code, err) == (0, "")
    if callable(expected):
        assert expected(out)
    elif "\n" in expected:
        assert out == expected
    else:
        assert re.search(expected, out, re.M), out


@pytest.mark.parametrize("argv", [[], ["tables"], ["merge"], ["repair"], ["find"]])
def test_help(argv):
    code, out, _ = run(*argv, "--help")
    assert code == 0 and out.startswith(f"usage: python -m morvel {' '.join(argv)}".rstrip())


@pytest.mark.parametrize("table, options, counts, after", [
    ("homes", [], "3 staged rows: 2 merged, 1 replaced in the main table, 1 superseded within the batch; "
                  "main table 3 -> 4 rows; indexes rebuilt", [("a", "house", "x", 5), ("b", "flat", "y", None),
                                                               ("c", "flat", "z", 3), ("d", "flat", "w", b"\x01\xff")]),
    ("pairs", [], "1 staged row: 1 merged, 2 replaced in the main table, 0 superseded within the batch; "
                  "main table 2 -> 1 row; indexes rebuilt", [(1, "y")]),
    ("pairs", ["--rebuild", "no"], "1 staged row: 1 merged, 2 replaced in the main table, 0 superseded within the "
                                   "batch; main table 2 -> 1 row; indexes kept live", [(1, "y")]),
])
def test_merge_reports_what_it_did(homes, table, options, counts, after):
    code, out, err = run("merge", homes, table, *options)
    assert (code, err) == (0, "") and out.startswith(f"{table}: {counts}; "), out
    conn = sqlite3.connect(homes)
    assert sorted(conn.execute(f"SELECT * FROM {table}").fetchall(), key=repr) == sorted(after, key=repr)
    assert conn.execute(f"SELECT count(*) FROM temp_{table}").fetchone() == (0,)


def test_repair_rebuilds_indexes_dropped_by_hand(homes):
    conn = sqlite3.connect(homes)
    conn.execute("DROP INDEX homes_index_0")
    conn.execute("DROP INDEX homes_unique_0")
    _, out, _ = run("tables", homes)
    assert "index_0(name,type,address) MISSING, unique_0(name,address) MISSING" in out
    assert "2 catalog indexes missing" in out

    code, out, err = run("repair", homes)
    assert (code, err) == (0, "")
    assert out == "homes: rebuilt homes_index_0 (name,type,address)\nhomes: rebuilt homes_unique_0 (name,address)\n"
    indexes = {r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'index'")}
    assert {"homes_index_0", "homes_unique_0"} <= indexes
    assert run("repair", homes, "homes") == (0, "nothing to repair: every catalog index of table homes exists\n", "")


def missing_file(homes, tmp_path):
    return str(tmp_path / "missing.db"), None


def text_file(homes, tmp_path):
    (tmp_path / "rows.csv").write_text("name,age\na,5\n")
    return str(tmp_path / "rows.csv"), None


def as_is(homes, tmp_path):
    return homes, None


def write_locked(homes, tmp_path):
    holder = sqlite3.connect(homes)
    holder.execute("BEGIN IMMEDIATE")
    return homes, holder


def malformed_key(homes, tmp_path, col_num="x,1"):
    with contextlib.closing(sqlite3.connect(homes)) as c:
        c.execute("UPDATE unique_table SET col_num = ? WHERE table_name = 'homes'", (col_num,))
        c.commit()
    return homes, None


@pytest.mark.parametrize("setup, argv, message", [
    (malformed_key, ["find", "FILE", "homes"], "unique key 'unique_0' of homes has malformed column positions 'x,1'"),
    (lambda h, t: malformed_key(h, t, 7), ["merge", "FILE", "homes"], "malformed column positions 7"),
    (lambda h, t: malformed_key(h, t, "0,4"), ["merge", "FILE", "homes"], "malformed column positions '0,4'"),
    (missing_file, ["tables", "FILE"], "missing.db: no such file"),
    (text_file, ["find", "FILE", "homes"], "rows.csv: file is not a database"),
    (as_is, ["merge", "FILE", "nope"], "'nope' is not a managed table"),
    (as_is, ["repair", "FILE", "temp_homes"], "'temp_homes' is not a managed table"),
    (as_is, ["find", "FILE", "homes", "--select", "name,colour"], "no column 'colour' (columns: name, type, address, age)"),
    (as_is, ["find", "FILE", "homes", "--where", "age >"], "syntax error"),
    (as_is, ["find", "FILE", "homes", "--where", "age > ?"], "Incorrect number of bindings supplied"),
    (write_locked, ["merge", "FILE", "homes", "--timeout", "0.1"], "database is locked"),
    (as_is, ["tables", "FILE", "--timeout", "-1"], "argument --timeout: must be a finite number of seconds >= 0"),
    (as_is, ["find", "FILE", "homes", "--timeout", "nan"], "argument --timeout: must be a finite number"),
])
def test_bad_input_is_one_line(homes, tmp_path, setup, argv, message):
    path, holder = setup(homes, tmp_path)
    before = open(path, "rb").read() if holder is None and setup is not missing_file else None
    code, out, err = run(*[path if a == "FILE" else a for a in argv])
    if message.startswith("argument "):  # wrong arguments: the usage, then one error line; exit 2
        assert (code, out) == (2, "") and err.startswith("usage: ") and f": error: {message}" in err, err
    else:
        assert (code, out) == (1, "")
        assert err.startswith(f"morvel: {path}: ") and err.count("\n") == 1 and message in err, err
    if setup is missing_file:
        assert not (tmp_path / "missing.db").exists()
    if before is not None:
        assert open(path, "rb").read() == before
    if holder:
        holder.rollback()
        assert holder.execute("SELECT count(*) FROM temp_homes").fetchone() == (3,)
