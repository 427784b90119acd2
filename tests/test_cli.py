"""The command line on real files: run in this process as `python -m morvel` runs it (`run`), and as a process of
its own where processes are what a test is about (other loads on the same file, Ctrl-C, a terminal)."""

import bz2
import contextlib
import decimal
import fcntl
import gzip
import io
import json
import lzma
import math
import os
import pty
import re
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import dump, examples, managed
import morvel
from morvel.cli import CliError, main
from morvel import morvel as mv


def run(*argv, cwd=None, stdin=None):
    """`python -m morvel ARGV` in this process (an interpreter's start costs more than most commands, the
    more so under a sanitizer or a debug interpreter): (exit status, stdout, stderr). Its output goes
    through streams that encode it as the process's would (stdout strictly as UTF-8, stderr with escapes);
    `stdin`, bytes, arrives through a pipe, as from a shell."""
    out, err = io.BytesIO(), io.BytesIO()
    with contextlib.ExitStack() as stack:
        if cwd is not None:
            stack.enter_context(contextlib.chdir(cwd))
        if stdin is not None:
            stack.enter_context(piped_stdin(stdin))
        stdout = io.TextIOWrapper(out, encoding="utf-8", errors="strict")
        stderr = io.TextIOWrapper(err, encoding="utf-8", errors="backslashreplace")
        stack.enter_context(contextlib.redirect_stdout(stdout))
        stack.enter_context(contextlib.redirect_stderr(stderr))
        try:
            code = main(list(argv))
        except SystemExit as e:  # argparse's --help and wrong arguments
            code = e.code if isinstance(e.code, int) else 0 if e.code is None else 1
        stdout.flush()
        stderr.flush()
    return code, out.getvalue().decode(), err.getvalue().decode()


@contextlib.contextmanager
def piped_stdin(data):
    """sys.stdin reading `data` from a pipe, written by a thread of its own (a pipe holds only so much)."""
    r, w = os.pipe()

    def feed():
        with contextlib.suppress(BrokenPipeError), open(w, "wb") as f:  # a reader that stops early
            f.write(data)

    writer = threading.Thread(target=feed)
    writer.start()
    kept, sys.stdin = sys.stdin, io.TextIOWrapper(open(r, "rb"))
    try:
        yield
    finally:
        sys.stdin.close()
        sys.stdin = kept
        writer.join()


@pytest.fixture
def homes(tmp_path):
    """homes: a, b, c merged, then a twice and d staged; pairs: two merged rows, one staged row that
    matches both on different keys; owners: no keys, nothing in it."""
    path = str(tmp_path / "homes.db")
    # the merged rows where a merge leaves them: the newest staged row first
    managed(path, "homes", ["name", "type", "address", "age"], {"unique_0": [0, 2]}, index={"index_0": "name,type,address"},
            main=[("c", "flat", "z", 3), ("b", "flat", "y", None), ("a", "flat", "x", 1)],
            staged=[("a", "house", "x", 4), ("a", "house", "x", 5), ("d", "flat", "w", b"\x01\xff")])
    managed(path, "pairs", ["k1", "k2"], {"u1": [0], "u2": [1]}, main=[(2, "y"), (1, "x")], staged=[(1, "y")])
    managed(path, "owners", ["owner"])
    return path


HOMES_JSON = {
    "table": "homes", "rows": 3, "staged": 3,
    "unique_keys": [{"name": "unique_0", "columns": "name,address"}],
    "staging": "index-free",
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
    (["find", "homes", "--select", "name", "--where", "age IN (?, ?, ?)", "--param", "x'01FF'", "--param", "2.5",
      "--param", "3", "--csv"], "name\nd\nc\n"),
    (["find", "homes", "--select", "name", "--where", "age IN (?, ?)", "--param", "05", "--param", "2.5e0", "--csv"],
     "name\n"),  # bound as load stores them: text, which no number equals
    (["find", "homes", "--jsonl", "--select", "name,age", "--where", "name in ('b', 'd')"],
     '{"name": "d", "age": "x\'01ff\'"}\n{"name": "b", "age": null}\n'),
    (["find", "homes", "--select", "name,age", "--order-by", "name DESC", "--limit", "2", "--csv"],
     "name,age\nd,x'01ff'\nc,3\n"),
    (["find", "homes", "--select", "name,age", "--order-by", "age", "--limit", "1", "--where", "age > ?", "--param", "3",
      "--jsonl"], '{"name": "a", "age": 5}\n'),
    (["find", "homes", "--select", "age,name", "--limit", "0"], "age  name\n---  ----\n(0 rows)\n"),
    (["find", "homes", "--json", "--where", "0"], "[]\n"),
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


@pytest.mark.parametrize("argv", [[], ["tables"], ["merge"], ["repair"], ["find"], ["load"]])
def test_help(argv):
    code, out, _ = run(*argv, "--help")
    assert code == 0 and out.startswith(f"usage: python -m morvel {' '.join(argv)}".rstrip())


@pytest.mark.parametrize("table, options, counts, after", [
    ("homes", [], "3 staged rows: 2 merged, 1 replaced in the main table, 1 superseded within the batch; "
                  "main table 3 -> 4 rows; indexes kept live", [("a", "house", "x", 5), ("b", "flat", "y", None),
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


def test_staging_shows_and_sets_the_choice(homes):
    assert run("staging", homes, "homes") == (0, "homes: index-free staging\n", "")
    assert run("staging", homes, "homes", "--index") == (0, "homes: indexed staging\n", "")
    conn = sqlite3.connect(homes)
    assert sorted(r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = 'temp_homes'")) == [
        "temp_homes_index_0", "temp_homes_unique_0"]
    out = run("tables", homes)[1]
    assert re.search(r"^homes\s.*\sindexed$", out, re.M) and re.search(r"^owners\s.*\sindex-free$", out, re.M)
    mv.insert_index(conn, {"table": "homes", "name": "later", "cols": "age"})
    conn.close()
    out = run("tables", homes)[1]
    assert re.search(r"^homes\s.*\sstale$", out, re.M) and "staging " + homes + " homes --index" in out
    assert run("staging", homes, "homes", "--index")[1] == "homes: indexed staging\n"
    assert run("staging", homes, "homes", "--no-index") == (0, "homes: index-free staging\n", "")
    assert json.loads(run("tables", homes, "--json")[1])[0]["staging"] == "index-free"
    assert "staging" not in run("tables", homes)[1]  # no table indexed: the column as before


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


def odd_table(homes, tmp_path):
    """A managed table whose name the module's functions refuse, with an index the schema lacks, and a CSV
    file for it."""
    with contextlib.closing(sqlite3.connect(homes)) as c:
        c.execute('CREATE TABLE "my t" (a)')
        c.execute('CREATE TABLE "temp_my t" (a)')
        c.execute("INSERT INTO index_table VALUES ('my t', 'index_0', 'a')")
        c.commit()
    (tmp_path / "rows.csv").write_text("a\n1\n")
    return homes, None


def rowid_table(homes, tmp_path):
    """A managed table with a column named rowid, which every reader refuses, and a CSV file for it."""
    with contextlib.closing(sqlite3.connect(homes)) as c:
        c.execute("CREATE TABLE r (RowId, a)")
        c.execute("CREATE TABLE temp_r (RowId, a)")
        c.commit()
    (tmp_path / "rows.csv").write_text("RowId,a\n1,2\n")
    return homes, None


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
    (as_is, ["find", "FILE", "homes", "--order-by", "age DESC DESC"], "syntax error"),
    (as_is, ["find", "FILE", "homes", "--limit", "-1"], "argument --limit: must be a number of rows >= 0"),
    (as_is, ["find", "FILE", "homes", "--where", "age > ?"], "Incorrect number of bindings supplied"),
    (write_locked, ["merge", "FILE", "homes", "--timeout", "0.1"], "database is locked"),
    *[(odd_table, [command, "FILE", "my t", *more],
       f"table 'my t' is not a plain SQL identifier (letters, digits, _ and $, not starting with a digit or $), "
       f"which {command} cannot work on")
      for command, more in [("merge", []), ("find", []), ("repair", []), ("load", ["TMP/rows.csv"])]],
    *[(rowid_table, [command, "FILE", "r", *more], "table r has a column named 'RowId', which hides the rowid")
      for command, more in [("merge", []), ("find", []), ("load", ["TMP/rows.csv", "--merge"])]],
    # argv's bytes that are not UTF-8 arrive as surrogate escapes, which SQLite cannot take
    (as_is, ["find", "FILE", "homes", "--where", "name = ?", "--param", "x\udcff"],
     "--param 'x\\udcff' is not UTF-8 text (byte 0xff)"),
    (as_is, ["find", "FILE", "homes", "--where", "name = ?", "--param", "'\udce9'"],
     "--param '\\udce9' is not UTF-8 text (byte 0xe9)"),
    (as_is, ["find", "FILE", "homes", "--where", "name = '\udcff'"], "--where \"name = '\\udcff'\" is not UTF-8 text"),
    (as_is, ["tables", "FILE", "--timeout", "-1"], "argument --timeout: must be a finite number of seconds >= 0"),
    (as_is, ["find", "FILE", "homes", "--timeout", "nan"], "argument --timeout: must be a finite number"),
    (as_is, ["load", "FILE", "homes", "-", "--batch", "0"], "argument --batch: must be a number of rows >= 1"),
    (as_is, ["load", "FILE", "homes", "-", "--unique", "a,,b"], "argument --unique: --unique takes column names"),
    (as_is, ["load", "FILE", "homes", "-", "--delimiter", ";;"], "argument --delimiter: takes one ASCII character"),
    (as_is, ["load", "FILE", "homes", "-", "--delimiter", '"'], "argument --delimiter: takes one ASCII character"),
])
def test_bad_input_is_one_line(homes, tmp_path, setup, argv, message):
    path, holder = setup(homes, tmp_path)
    before = open(path, "rb").read() if holder is None and setup is not missing_file else None
    code, out, err = run(*[path if a == "FILE" else a.replace("TMP", str(tmp_path)) for a in argv])
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


# ---------------------------------------------------------------------------------------------------
# load

HOMES_COLUMNS = "name, type, address, age"
LOSSLESS = "k,v\n1,645\n2,-3\n3,1.5\n4,00645\n5,+3\n6,1.50\n7,1e3\n8, 7\n9,\n10,-0\n11,99999999999999999999\n12,inf\n"


try:
    from compression import zstd
except ImportError:
    zstd = None


def merge_report(report):
    return lambda out, rows: out.startswith(f"homes: 2 rows staged from SRC; merge: {report}; ")


# (argv after FILE TABLE SOURCE, source name, its content, table: an existing one of `homes` or a new one,
#  the rows it stages (or the check of a merge), or the error line after "morvel: SRC:" (or after "morvel: ")
LOADS = [
    # one type per column: a single text makes the whole column TEXT; a table without types keeps the
    # rule of each value
    ([], "p.csv", LOSSLESS, "t",
     [(1, "645"), (2, "-3"), (3, "1.5"), (4, "00645"), (5, "+3"), (6, "1.50"), (7, "1e3"), (8, " 7"), (9, None),
      (10, "-0"), (11, "99999999999999999999"), (12, "inf")]),
    (["--missing", "null"], "p.csv", LOSSLESS.replace("k,v", "age,name"), "homes",
     [(n, None, None, a) for a, n in [(1, 645), (2, -3), (3, 1.5), (4, "00645"), (5, "+3"), (6, "1.50"),
                                      (7, "1e3"), (8, " 7"), (9, None), (10, "-0"), (11, "99999999999999999999"),
                                      (12, "inf")]]),
    ([], "p.csv", "k,v,w\n17.00,0.1000000000000000000001,-3\n2.5,1.5,645\n1.5e-05,,1E3\n", "t",
     [(17.0, "0.1000000000000000000001", -3.0), (2.5, "1.5", 645.0), (1.5e-05, None, 1000.0)]),
    ([], "p.csv", "k,v\n7,12345678901234567\n2.5,0.10000000000000000000000000000000000000000000000000000000000000000\n",
     "t", [(7.0, "12345678901234567"), (2.5, "0.10000000000000000000000000000000000000000000000000000000000000000")]),
    (["--type", "v=text", "--type", "K=real"], "p.csv", "k,v\n1,2\n", "t", [(1.0, "2")]),
    (["--type", "v=integer"], "p.csv", "k,v\n1,2\n3,x\n", "t",
     "3: v: 'x' is not an integer as written (the column is INTEGER)"),
    (["--type", "w=text"], "p.csv", "k,v\n", "t", "1: --type column 'w' is not in the source (k, v)"),
    (["--type", "age=text"], "p.csv", "age\n1\n", "homes",
     "FILE: table homes exists: its columns keep their types (--type is for a new table)"),
    # standard input: the types of the first batch, and a later field that they would change is refused
    (["--batch", "2"], "-", "k,v\n1,2.5\n2,3\n3,4.25\n", "t", [(1, 2.5), (2, 3.0), (3, 4.25)]),
    (["--batch", "2"], "-", "k,v\n1,2.5\n2,3\n0517,x\n", "t",
     "4: k: '0517' is not an integer as written (the column is INTEGER)"),
    (["--no-convert"], "p.csv", "k,v\n1,645\n2,\n3,1.5\n", "t", [("1", "645"), ("2", None), ("3", "1.5")]),
    ([], "p.csv", b'\xef\xbb\xbfk,note\r\na,"x, y"\r\nb,"two\r\nlines, ""quoted"""\r\n\r\n', "t",
     [("a", "x, y"), ("b", 'two\r\nlines, "quoted"')]),
    ([], "p.tsv", "k\tv\n1\ta,b\n2\t\n", "t", [(1, "a,b"), (2, None)]),
    (["--format", "tsv"], "p.txt", "k\tv\n1\tCafé 名前\n", "t", [(1, "Café 名前")]),
    ([], "p.jsonl", '{"k": 1, "v": {"a": [1, "é"]}, "w": null, "x": true, "y": ""}\n\n{"y": 2.5, "k": 2}\n'
                    '{"k": 99999999999999999999, "w": 1e400}\n'
                    '{"k":3,"v" :[1e400, 2, "\\ud800"],\t"w": 1.10, "x":{ "b\\"]" : 1E5, "c": {}}, '
                    '"y": "a\\"[\\ud83d\\ude00"}\r\n', "t",
     [("1", '{"a": [1, "é"]}', None, "true", ""), ("2", None, None, None, "2.5"),
      ("99999999999999999999", None, "1e400", None, None),
      ("3", '[1e400, 2, "\\ud800"]', "1.1", '{ "b\\"]" : 1E5, "c": {}}', 'a"[😀')]),  # nested values as written
    # JSON Lines: one type per column too, from JSON's own types; true and false are 1 and 0
    ([], "p.jsonl", '{"i": 1, "r": 1, "t": "0517", "b": true, "n": null, "m": 2, "x": 0.5}\n'
                    '{"i": -3, "r": 2.5, "t": 1200, "b": false, "m": 9007199254740993, "x": 9007199254740993}\n', "t",
     [(1, 1.0, "0517", 1, None, 2, "0.5"), (-3, 2.5, "1200", 0, None, 9007199254740993, "9007199254740993")]),
    (["--type", "k=text"], "p.jsonl", '{"k": 5, "v": 1.5}\n', "t", [("5", 1.5)]),
    (["--no-convert"], "p.jsonl", '{"k": 5, "v": 1.5}\n', "t", [("5", "1.5")]),
    (["--batch", "2", "--format", "jsonl"], "-", '{"k": 1, "v": "a"}\n{"k": 2, "v": "b"}\n{"v": "c", "k": 3}\n', "t",
     [(1, "a"), (2, "b"), (3, "c")]),
    (["--batch", "5", "--format", "jsonl"], "-", '{"v": "a"}\n{"v": 1}\n\n{"v": 2.5}\n', "t", [("a",), ("1",), ("2.5",)]),
    (["--batch", "1", "--format", "jsonl"], "-", '{"k": 1, "v": 2.5}\n{"k": "0517", "v": 1}\n', "t",
     '2: k: "0517" is not a JSON integer within 64 bits (the column is INTEGER)'),
    (["--batch", "1", "--format", "jsonl"], "-", '{"k": 1, "v": 2.5}\n{"k": true, "v": true}\n', "t",
     [(1, 2.5), (1, 1.0)]),
    (["--batch", "1", "--format", "jsonl"], "-", '{"k": 1, "v": 2.5}\n{"k": 2.5, "v": 1}\n', "t",
     "2: k: 2.5 is not a JSON integer within 64 bits (the column is INTEGER)"),
    (["--batch", "1", "--format", "jsonl"], "-", '{"k": 1, "v": 2.5}\n{"k": 2, "v": 9007199254740993}\n', "t",
     "2: v: 9007199254740993 is not a JSON number that a REAL holds exactly (the column is REAL)"),
    # into a table without types: the rule of each value
    (["--missing", "null"], "p.jsonl", '{"name": "e", "age": true}\n{"name": 5, "age": 99999999999999999999}\n'
                                       '{"age": 2.5}\n', "homes",
     [("e", None, None, 1), (5, None, None, "99999999999999999999"), (None, None, None, 2.5)]),
    ([], "-", "k,v\n1,x\n", "t", [(1, "x")]),
    (["--missing", "null"], "p.csv", "age,name\n7,e\n,f\n", "homes", [("e", None, None, 7), ("f", None, None, None)]),
    (["--missing", "null"], "p.jsonl", '{"age": 7, "name": "e"}\n{"Address": "q"}\n', "homes", [("e", None, None, 7), (None, None, "q", None)]),
    (["--merge"], "p.csv", "name,type,address,age\nb,house,y,8\ne,flat,v,9\n", "homes",
     merge_report("4 merged, 2 replaced in the main table, 1 superseded within the batch; main table 3 -> 5 rows; "
                  "indexes rebuilt")),
    ([], "p.csv", "k,v\n1,2\n3\n", "t", "3: 1 field, but the header has 2"),
    ([], "p.csv", 'k,v\n1,"a\nb"\n\n2,"c\r\nd",3\n', "t", "5: 3 fields, but the header has 2"),
    ([], "p.csv", 'k,v\n1,"a"b\n', "t", "2: ',' expected after '\"'"),
    ([], "p.csv", b"k,v\n1,a\n2,\xff\n", "t", "3: not UTF-8 text (byte 0xff)"),
    ([], "p.csv", "", "t", "1: no header row (the source is empty)"),
    ([], "p.csv", "k,v,K\n", "t", "1: column 3 of the header, 'K', repeats column 1 (case does not count): "
                                   "rename one of them"),
    ([], "p.csv", ",a\n0,x\n", "t", "1: column 1 of the header has no name: a file written by pandas holds its "
                                    "index there (write it with to_csv(index=False))"),
    ([], "p.csv", "a, \n", "t", "1: column 2 of the header has no name: give it a name"),
    # names as files have them: blanks and keywords are quoted
    (["--unique", "first name", "--index", "order,when"], "p.csv", 'k,first name,order,when,"a""b"\n1,Ann,2,x,y\n',
     "t", [(1, "Ann", 2, "x", "y")]),
    (["--unique", "k,w"], "p.csv", "k,v\n", "t", "1: --unique column 'w' is not in the source (k, v)"),
    ([], "p.csv", "k,rowID\n", "t", "1: column 2 of the header, 'rowID', would hide the rowid that staging, the "
                                       "merge and the queries identify rows by: rename it"),
    # a source without some of the columns of a table with unique keys (or with --merge) blanks nothing
    ([], "p.csv", "name,age\nz,1\n", "homes", "1: no column 'type', 'address' of table homes here: with its unique "
                                              "keys, the rows replaced would lose their values; give --missing null "
                                              "if they are meant to be NULL"),
    (["--merge"], "p.jsonl", '{"name": "a", "type": "t", "address": "x", "age": 1}\n{"age": 2, "name": "b"}\n',
     "homes", "2: no column 'type', 'address' of table homes here: with --merge, the rows replaced would lose their "
              "values; give --missing null if they are meant to be NULL"),
    ([], "p.csv", "name,colour\na,red\n", "homes", "1: column 'colour' is not in table homes (name, type, address, age)"),
    ([], "p.jsonl", '{"k": 1}\n{"k": \n', "t", "2: bad JSON: Expecting value (column 7)"),
    ([], "p.jsonl", '{"k": 1}\n[1]\n', "t", "2: not a JSON object but list"),
    ([], "p.jsonl", '{"k": 1}\n{"k": 2, "q": 3}\n', "t", "2: column 'q' is not in the table (k)"),
    (["--missing", "null"], "p.jsonl", '{"name": "a"}\n{"k": NaN}\n', "homes", "2: bad JSON: NaN is not JSON"),
    # keys that name one column, on any line
    ([], "p.jsonl", '{"k": 1}\n{"k": 2, "v": 3, "K": 4}\n', "t",
     "2: keys 'k' and 'K' name one column (case does not count)"),
    ([], "p.jsonl", '{"k": 1}\n\n{"k": 2, "k": 3}\n', "t", "3: key 'k' appears twice"),
    ([], "p.jsonl", '{"k": 1, "v": 2, "k": 3}\n', "t", "1: key 'k' appears twice"),
    (["--missing", "null"], "p.jsonl", '{"name": 1}\n{"Age": 2, "age": 3}\n', "homes",
     "2: keys 'Age' and 'age' name one column (case does not count)"),
    ([], "p.jsonl", '{"k": 1}\n{"k": "a\\ud800"}\n', "t",
     "2: the value of 'k' holds \\ud800, a lone surrogate, which text cannot hold"),
    pytest.param([], "p.jsonl", '{"k": 1}\n{"k": ' + "[" * 100_000 + "]" * 100_000 + "}\n", "t",
                 "2: bad JSON: nested too deeply", id="deep"),
    (["--batch", "100000000000000000000"], "p.csv", "k\n1\n2\n", "t", [(1,), (2,)]),  # beyond any source: all at once
    (["--unique", "Name,address", "--missing", "null"], "p.csv", "name\nz\n", "homes", [("z", None, None, None)]),
    (["--unique", "type"], "p.csv", "name\nz\n", "homes",
     "FILE: table homes has no unique key (type); load creates keys only with the table"),
    ([], "p.csv", "name\nz\n", "temp_homes", "FILE: 'temp_homes' exists but 'temp_homes' is not a managed table; "
                                              "load would replace it"),
    ([], "p.csv", "k\n1\n", "t-1", "FILE: table name 't-1' is not a plain name (letters, digits and _, not "
                                    "starting with a digit)"),
    ([], "p.txt", "k\n1\n", "t", "SRC: cannot tell the format from the name: give --format csv, tsv, jsonl, parquet or arrow"),
    # files as they come: compressed, by the extension or --compression, and any one-character separator
    ([], "p.csv.gz", gzip.compress(b"k,v\n1,a\n2,0517\n"), "t", [(1, "a"), (2, "0517")]),
    ([], "p.TSV.bz2", bz2.compress(b"k\tv\n1\t2.5\n"), "t", [(1, 2.5)]),
    ([], "p.jsonl.xz", lzma.compress(b'{"k": 1}\n{"k": 2}\n'), "t", [(1,), (2,)]),
    (["--compression", "gzip", "--delimiter", ";"], "-", gzip.compress(b"k;v\n1;a,b\n"), "t", [(1, "a,b")]),
    (["--compression", "xz", "--format", "jsonl"], "p.data", lzma.compress(b'{"k": "x"}\n'), "t", [("x",)]),
    (["--compression", "none"], "p.csv.gz", "k\n1\n", "t", [(1,)]),
    ([], "p.csv.gz", gzip.compress(b"k,v\n1,a\n")[:-9], "t",
     "SRC: cannot read it as gzip data: Compressed file ended before the end-of-stream marker was reached"),
    ([], "p.jsonl.xz", lzma.compress(b'{"k": 1}\n{"k": 2}\n')[:-30], "t",
     "3: cannot read it as xz data: Compressed file ended before the end-of-stream marker was reached"),
    (["--compression", "zst"], "p.csv", zstd.compress(b"k\n1\n") if zstd else b"k\n1\n", "t",
     [(1,)] if zstd else "SRC: this Python cannot read Zstandard (zst) data: that comes with Python 3.14"),
    (["--delimiter", ";"], "p.csv", "k;v\n1;a,b\n2;1,5\n", "t", [(1, "a,b"), (2, "1,5")]),
    (["--delimiter", "|"], "p.tsv", 'k|v\n1|"a|b"\n2|x\ty\n', "t", [(1, "a|b"), (2, "x\ty")]),
    (["--delimiter", ";"], "p.jsonl", '{"k": 1}\n', "t", "SRC: --delimiter is for CSV and TSV, not JSON Lines"),
]


@pytest.mark.parametrize("argv, name, content, table, expected", LOADS)
def test_load(homes, tmp_path, argv, name, content, table, expected):
    path = homes if table.endswith("homes") else str(tmp_path / "new.db")
    src = tmp_path / name
    data = content.encode() if isinstance(content, str) else content
    if name != "-":
        src.write_bytes(data)
    before = dump(path) if os.path.exists(path) else None
    code, out, err = run("load", path, table, name, *argv, cwd=tmp_path, stdin=data if name == "-" else None)
    shown = "<stdin>" if name == "-" else name
    if isinstance(expected, str):
        where = f"{shown}:{expected}" if expected[0].isdigit() else expected.replace("FILE", path).replace("SRC", name)
        assert (code, out) == (1, "") and err == f"morvel: {where}\n", err
        assert (dump(path) if os.path.exists(path) else None) == before  # nothing of it stays; a file it created is gone
        return
    assert (code, err) == (0, ""), err
    conn = sqlite3.connect(path)
    if callable(expected):
        assert expected(out.replace(shown, "SRC"), None), out
        assert conn.execute("SELECT count(*) FROM temp_homes").fetchone() == (0,)
        return
    staged = conn.execute(f"SELECT * FROM temp_{table}").fetchall()[3 if table == "homes" else 0:]
    assert list(map(repr, staged)) == list(map(repr, expected)) and out.startswith(f"{table}: {'' if table == 'homes' else 'new table; '}"
                                                 f"{len(expected)} row{'s' * (len(expected) != 1)} staged from {shown}; ")


def stored(field, convert):
    """What a CSV field is stored as, by the definition: NULL when empty; with `convert` a number when
    writing that number back gives the very same text (and the database holds it as one); else the text."""
    if field == "":
        return None
    if convert:
        with contextlib.suppress(ValueError):
            if str(int(field)) == field and -(2**63) <= int(field) < 2**63:
                return int(field)
        with contextlib.suppress(ValueError):
            if repr(float(field)) == field and math.isfinite(float(field)):
                return float(field)
    return field


DECIMAL = re.compile(r"-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?")


def column_type(fields):
    """The type a new table's column gets from its fields: INTEGER when each non-empty one is an integer as
    a 64-bit integer writes it; REAL when each is that or a decimal whose double keeps every digit (its
    shortest text has the same value: 17.00 and 17.0); TEXT otherwise."""
    def integer(f):
        return str(int(f)) == f and -(2**63) <= int(f) < 2**63 if re.fullmatch(r"-?[0-9]+", f) else False

    def real(f):
        if not DECIMAL.fullmatch(f) or not (integer(f) or "." in f or "e" in f.lower()):
            return False
        v = float(f)
        return math.isfinite(v) and decimal.Decimal(repr(v)) == decimal.Decimal(f)

    present = [f for f in fields if f != ""]
    if present and all(map(integer, present)):
        return "integer"
    if present and all(map(real, present)):
        return "real"
    return "text"


def typed_value(field, kind):
    """A field as a column of that type stores it."""
    return None if field == "" else {"integer": int, "real": float, "text": str}[kind](field)


NUMBERISH = st.from_regex(r"\A[-+ ]?[0-9]{0,20}(\.[0-9]{0,20})?([eE][-+]?[0-9]{1,3})?\Z")
FIELDS = st.one_of(
    st.text(st.characters(blacklist_categories=["Cs"], blacklist_characters="\x00"), max_size=8),
    NUMBERISH, st.integers(-(2**64), 2**64).map(str),
    st.floats(allow_nan=False).map(repr), st.floats(width=32).map(repr), st.decimals(places=3).map(str),
    # what makes a column INTEGER, REAL or TEXT, in any order
    st.sampled_from(["12345678901234567", "17.00", "0517", "1.5e-05", "-0", "645", "9007199254740993", "1e22"]),
)


@pytest.mark.parametrize("native", ["1", "0"])
@examples(60)
@given(rows=st.lists(st.lists(FIELDS, min_size=3, max_size=3), min_size=1, max_size=30), convert=st.booleans(),
       kind=st.sampled_from([(",", "csv"), ("\t", "tsv")]), end=st.sampled_from(["\r\n", "\n", "\r"]),
       quote_all=st.booleans(), typed=st.booleans())
def test_load_stores_each_field_as_defined(tmp_path, monkeypatch, native, rows, convert, kind, end, quote_all, typed):
    """A new table's columns: each field as its column's type (from all the fields) keeps it, and a value
    is of a number type only where that type writes it back as the text's value. A table without types:
    the rule of each value."""

    def field(v):  # quoted as RFC 4180 asks, or always
        return '"' + v.replace('"', '""') + '"' if quote_all or any(c in v for c in f'{kind[0]}"\r\n') else v

    monkeypatch.setenv("MORVEL_NATIVE", native)
    with tempfile.TemporaryDirectory(dir=tmp_path) as folder:
        src, db = os.path.join(folder, f"rows.{kind[1]}"), os.path.join(folder, "rows.db")
        with open(src, "w", newline="", encoding="utf-8") as f:
            f.write("".join(kind[0].join(map(field, r)) + end for r in [["a", "b", "c"], *rows]))
        if not typed:
            with contextlib.closing(sqlite3.connect(db)) as conn:
                morvel.prepare(conn)
                mv.create_table(conn, "t", ["a", "b", "c"], [], [])
        with contextlib.redirect_stdout(io.StringIO()):
            assert main(["load", db, "t", src, "--batch", "7", *([] if convert else ["--no-convert"])]) == 0
        conn = sqlite3.connect(db)
        got = conn.execute("SELECT * FROM temp_t ORDER BY rowid").fetchall()
        types = conn.execute("SELECT typeof(a), typeof(b), typeof(c) FROM temp_t ORDER BY rowid").fetchall()
        conn.close()
    if not typed:
        assert got == [tuple(stored(v, convert) for v in row) for row in rows]
        return
    kinds = [column_type(column) if convert else "text" for column in zip(*rows)]
    assert got == [tuple(typed_value(v, k) for v, k in zip(row, kinds)) for row in rows]
    assert types == [tuple("null" if v == "" else k for v, k in zip(row, kinds)) for row in rows]
    for row, fields in zip(got, rows):  # a number's shortest text has the value the field wrote
        for v, f in zip(row, fields):
            if isinstance(v, (int, float)):
                assert decimal.Decimal(repr(v)) == decimal.Decimal(f)


def flights_csv(n, seed):
    """Rows shaped as public data has them: times written with 4 digits, region codes that are mostly numbers,
    delays and quantities written with 2 decimals, a numeric key."""
    import random
    rng = random.Random(seed)
    rows = [[str(i), f"{rng.randrange(1, 2400):04d}", rng.choice(["12", "05", "A1", "7", "12", "3"]),
             f"{rng.uniform(-20, 60):.2f}", f"{rng.randrange(1, 51)}.00"] for i in range(n)]
    return ["id", "dep_time", "admin1code", "dep_delay", "l_quantity"], rows


# (the question in SQL, the answer from the file's texts as a dataframe library types them)
ANSWERS = [
    ("SELECT count(*) FROM flights WHERE dep_time > '1200'", lambda rows: sum(int(r[1]) > 1200 for r in rows)),
    ("SELECT dep_time FROM flights ORDER BY dep_time LIMIT 1", lambda rows: min(r[1] for r in rows)),
    ("SELECT count(*) FROM flights WHERE admin1code = '12'", lambda rows: sum(r[2] == "12" for r in rows)),
    ("SELECT count(*) FROM flights WHERE dep_delay > 15", lambda rows: sum(float(r[3]) > 15 for r in rows)),
    ("SELECT count(*) FROM flights WHERE l_quantity < 10", lambda rows: sum(float(r[4]) < 10 for r in rows)),
    ("SELECT typeof(id), typeof(dep_time), typeof(admin1code), typeof(dep_delay), typeof(l_quantity) FROM flights "
     "GROUP BY 1, 2, 3, 4, 5", lambda rows: ("integer", "text", "text", "real", "real")),
]


@pytest.mark.parametrize("correction", [["--no-convert"], [], "csv.reader"])
def test_loaded_columns_answer_as_their_data(tmp_path, correction):
    """Each column one type, from all its fields: comparisons and orderings answer as the data means; a
    corrected batch, however it is given, replaces the rows of the same key; and a field that a column's
    type would change is refused with its line, nothing staged."""
    import csv
    header, rows = flights_csv(3000, 7)
    db, src = str(tmp_path / "f.db"), tmp_path / "flights.csv"
    src.write_text("\n".join(",".join(r) for r in [header, *rows]) + "\n")
    assert run("load", db, "flights", str(src), "--unique", "id", "--merge", "--quiet")[0] == 0
    fixed = [[r[0], r[1], r[2], "0.00", r[4]] for r in rows[::5]]
    (tmp_path / "fixed.csv").write_text("\n".join(",".join(r) for r in [header, *fixed]) + "\n")
    if correction == "csv.reader":
        with contextlib.closing(sqlite3.connect(db)) as conn, open(tmp_path / "fixed.csv", newline="") as f:
            feed = csv.reader(f)
            next(feed)
            morvel.load(conn, "flights", feed)
            morvel.merge(conn, "flights")
    else:
        code, out, err = run("load", db, "flights", str(tmp_path / "fixed.csv"), "--merge", *correction)
        assert code == 0 and f"{len(fixed)} replaced in the main table" in out, err
    for r in rows[::5]:
        r[3] = "0.00"
    with contextlib.closing(sqlite3.connect(db)) as conn:
        assert conn.execute("SELECT count(*) FROM flights").fetchone() == (len(rows),)
        for question, answer in ANSWERS:
            got = conn.execute(question).fetchall()
            assert got == [answer(rows) if isinstance(answer(rows), tuple) else (answer(rows),)], question
        before = dump(db)
    (tmp_path / "bad.csv").write_text("id,dep_delay\n9999,1.5\n0517,2\n")
    assert run("load", db, "flights", str(tmp_path / "bad.csv"), "--missing", "null") == (
        1, "", f"morvel: {tmp_path / 'bad.csv'}:3: id: '0517' is not an integer as written (the column is INTEGER)\n")
    (tmp_path / "bad.csv").write_text("dep_delay,id\n1.5,9999\nabc,1\n")
    assert run("load", db, "flights", str(tmp_path / "bad.csv"), "--missing", "null")[2].endswith(
        ":3: dep_delay: 'abc' is not a number whose every digit a REAL keeps (the column is REAL)\n")
    (tmp_path / "bad.jsonl").write_text('{"id": 9999, "dep_time": "0517"}\n{"id": "0517"}\n')
    assert run("load", db, "flights", str(tmp_path / "bad.jsonl"), "--missing", "null")[2].endswith(
        ':2: id: "0517" is not a JSON integer within 64 bits (the column is INTEGER)\n')
    assert dump(db) == before


JSON_TEXT = st.text(st.one_of(st.sampled_from('"\\[]{}:, \t\n/'), st.characters(blacklist_categories=["Cs"])),
                    max_size=6)
JSON_SCALARS = st.one_of(st.none(), st.booleans(), st.integers(-(2**70), 2**70),
                         st.floats(allow_nan=False, allow_infinity=False), JSON_TEXT)
JSON_NESTED = st.recursive(
    st.one_of(st.lists(JSON_SCALARS, max_size=3), st.dictionaries(JSON_TEXT, JSON_SCALARS, max_size=3)),
    lambda inner: st.one_of(st.lists(inner | JSON_SCALARS, max_size=3),
                            st.dictionaries(JSON_TEXT, inner | JSON_SCALARS, max_size=3)),
    max_leaves=8)


@examples(60)
@given(lines=st.lists(st.tuples(st.permutations(["a", "b", "c"]),
                                st.lists(JSON_SCALARS | JSON_NESTED, min_size=3, max_size=3)), min_size=1, max_size=8),
       separators=st.sampled_from([(",", ":"), (", ", ": "), (" ,\t", " : \r")]), ascii=st.booleans())
def test_json_lines_store_nested_values_as_written(tmp_path, lines, separators, ascii):
    """Each column one type from JSON's types of its values (INTEGER: integers within 64 bits; REAL: numbers,
    integers that a double holds; TEXT otherwise), each value stored as that type only where it keeps its
    value, each nested one as its text on the line."""

    def written(value):
        return json.dumps(value, separators=separators, ensure_ascii=ascii)

    def integer(v):
        return type(v) in (int, bool) and -(2**63) <= v < 2**63  # true and false are 1 and 0

    def column_kind(values):
        present = [v for v in values if v is not None]
        if all(map(integer, present)):
            return "integer"
        if all(type(v) is float or integer(v) and float(v) == v for v in present):
            return "real"
        return "text"

    def stored(value, kind):
        if value is None:
            return None
        if kind == "integer":
            return int(value)
        if kind == "real":  # SQLite keeps an integral REAL as an integer on disk: -0.0 comes back 0.0
            return float(value) + 0.0
        if isinstance(value, (list, dict)):
            return written(value)
        return json.dumps(value) if isinstance(value, (bool, float)) else str(value)

    with tempfile.TemporaryDirectory(dir=tmp_path) as folder:
        src, db = os.path.join(folder, "rows.jsonl"), os.path.join(folder, "rows.db")
        with open(src, "w", encoding="utf-8", newline="") as f:
            for keys, values in lines:
                pairs = (f"{written(k)}{separators[1]}{written(v)}" for k, v in zip(keys, values))
                f.write(" {" + separators[0].join(pairs) + "} \n")
        with contextlib.redirect_stdout(io.StringIO()):
            assert main(["load", db, "t", src]) == 0
        conn = sqlite3.connect(db)
        got = conn.execute("SELECT a, b, c FROM temp_t ORDER BY rowid").fetchall()
        conn.close()
    objects = [dict(zip(keys, values)) for keys, values in lines]
    kinds = {k: column_kind([o[k] for o in objects]) for k in "abc"}
    assert list(map(repr, got)) == [repr(tuple(stored(o[k], kinds[k]) for k in "abc")) for o in objects]


def locks_held(pid, path):
    """The kinds of lock ("POSIX": SQLite's, "FLOCK") that process `pid` holds on the file at `path`."""
    ino = os.stat(path).st_ino
    with open("/proc/locks") as f:
        fields = [line.split() for line in f if "->" not in line]  # "->": a request still waiting
    return {f[1] for f in fields if int(f[4]) == pid and int(f[5].rsplit(":", 1)[1]) == ino}


def has_open(pid, path):
    with contextlib.suppress(FileNotFoundError):
        folder = f"/proc/{pid}/fd"
        return any(os.readlink(f"{folder}/{fd}") == os.path.realpath(path) for fd in os.listdir(folder))
    return False


def wait_until(ready, *procs):
    """Polls until ready() holds; fails if a process ends first (the deadline only stops a hang)."""
    deadline = time.monotonic() + 600
    while not ready():
        for p in procs:
            assert p.poll() is None, p.communicate()
        assert time.monotonic() < deadline
        time.sleep(0.01)


def leases_work(folder):
    path = folder / "lease"
    fd = os.open(path, os.O_RDWR | os.O_CREAT)
    try:
        fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_WRLCK)
        fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_UNLCK)
        return True
    except (OSError, AttributeError):
        return False
    finally:
        os.close(fd)
        os.remove(path)


# Another program on the same file: it opens the file and waits for the write lock, then stages two rows.
PROGRAM = """
import sqlite3, sys, morvel
from morvel import morvel as mv
conn = sqlite3.connect(sys.argv[1], timeout=600, isolation_level="IMMEDIATE")
morvel.prepare(conn)
mv.create_table(conn, "t", ["k", "v"], [], [])
morvel.load(conn, "t", [(2, "y"), (3, "z")])
conn.close()
"""


@pytest.mark.skipif(not os.path.exists("/proc/locks"), reason="watches the processes through /proc")
@pytest.mark.parametrize("other", ["load", "program"])
def test_a_failed_load_keeps_a_file_another_connection_opened(tmp_path, other):
    """Load A creates FILE and holds the write lock, fed through a pipe so that it waits for rows; B opens
    FILE and waits for the lock; then A meets a ragged row. A must leave the file to B, which stages its rows."""
    if other == "program" and not leases_work(tmp_path):
        pytest.skip("no leases on this file system: only other loads are seen")
    db, fifo = tmp_path / "new.db", tmp_path / "rows.csv"
    (tmp_path / "b.csv").write_text("k,v\n2,y\n3,z\n")
    os.mkfifo(fifo)
    load = [sys.executable, "-m", "morvel", "load", str(db), "t"]
    a = subprocess.Popen([*load, str(fifo)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    with open(fifo, "w") as feed:
        feed.write("k,v\n1,x\n")
        feed.flush()
        wait_until(lambda: db.exists() and "POSIX" in locks_held(a.pid, db), a)  # in its transaction
        b = subprocess.Popen([*load, str(tmp_path / "b.csv"), "--timeout", "600"] if other == "load" else
                             [sys.executable, "-c", PROGRAM, str(db)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        wait_until(lambda: has_open(b.pid, db), a, b)
        feed.write("4,w,extra\n")
    assert a.communicate() == (b"", f"morvel: {fifo}:3: 3 fields, but the header has 2\n".encode())
    out, err = b.communicate()
    assert (b.returncode, err) == (0, b""), err
    assert sqlite3.connect(db).execute("SELECT * FROM temp_t").fetchall() == [(2, "y"), (3, "z")]


def test_a_failed_load_keeps_a_file_another_connection_wrote(tmp_path, monkeypatch, capsys):
    """A file the load created but another connection committed to before the load's transaction began."""
    from morvel import cli
    from morvel.cli import load as loader

    db, src = tmp_path / "new.db", tmp_path / "rows.csv"
    src.write_text("k,v\n1,x\n2\n")
    begin = loader.begin_write

    def another_commits_first(conn):
        with contextlib.closing(sqlite3.connect(db)) as other:
            other.execute("CREATE TABLE mine (a)")
            other.commit()
        begin(conn)

    monkeypatch.setattr(loader, "begin_write", another_commits_first)
    assert cli.main(["load", str(db), "t", str(src)]) == 1
    assert capsys.readouterr() == ("", f"morvel: {src}:3: 1 field, but the header has 2\n")
    assert sqlite3.connect(db).execute("SELECT name FROM sqlite_master").fetchall() == [("mine",)]


def test_ctrl_c_during_a_load_leaves_nothing(tmp_path):
    db = tmp_path / "new.db"
    # Ctrl-C's default action in the child: a shell starts its background jobs with SIGINT ignored, and a
    # child would inherit that and load everything.
    p = subprocess.Popen([sys.executable, "-m", "morvel", "load", str(db), "t", "-"], stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    # The write returns only once the loader has read most of it, and the loader waits for the rest until
    # communicate() closes its input: Ctrl-C finds it loading.
    p.stdin.write(b"k,v\n" + b"1,x\n" * 300_000)
    p.stdin.flush()
    p.send_signal(signal.SIGINT)
    out, err = p.communicate()
    assert (p.returncode, out) == (130, b"") and re.fullmatch(rb"morvel: <stdin>:\d+: interrupted\n", err), err
    assert not db.exists()


def test_ctrl_c_anywhere_else_is_one_line(homes, monkeypatch, capsys):
    from morvel import cli
    from morvel.cli import tables

    def interrupted(*args):
        raise KeyboardInterrupt

    monkeypatch.setattr(tables, "describe", interrupted)
    assert cli.main(["tables", homes]) == 130
    assert capsys.readouterr() == ("", "morvel: interrupted\n")


def test_wide_characters_line_up_and_json_keeps_them(tmp_path):
    path, src = str(tmp_path / "w.db"), tmp_path / "w.csv"
    src.write_text("name,n\n名前,1\nCafé,22\n😀x,\ne\u0301,4\n")
    assert run("load", path, "w", str(src))[0] == 0
    assert run("find", path, "w") == (0, "name     n\n----  ----\n名前     1\nCafé    22\n😀x   NULL\n"
                                         "e\u0301        4\n(4 rows)\n", "")
    code, out, _ = run("find", path, "w", "--json", "--where", "n = 1")
    assert (code, out) == (0, '[\n  {\n    "name": "名前",\n    "n": 1\n  }\n]\n')


@pytest.mark.parametrize("native", ["1", "0"])
def test_find_writes_what_query_answers(tmp_path, monkeypatch, native):
    """Rows written part by part as they are answered read as the whole answer would: one JSON array, JSON
    Lines, CSV, the table view aligned over all of them; more rows than one part holds."""
    import csv
    from morvel.cli.common import aligned, cell, dumps

    path = str(tmp_path / "many.db")
    values = [None, 1, -2.5, 1e300, float("inf"), "Café \"名前\"\n", b"\x00\xff", "", 2**62]
    managed(path, "t", ["k", "v", "w"], [[0]], main=[(i, values[i % 9], f"m{i}") for i in range(2500)],
            staged=[(i, values[(i + 1) % 9], f"s{i}") for i in range(0, 5000, 3)])
    with contextlib.closing(sqlite3.connect(path)) as conn:
        answer = morvel.query(conn, "t", "k % 5 <> 1", order_by="w")
    header = ["k", "v", "w"]
    monkeypatch.setenv("MORVEL_NATIVE", native)

    def find(*argv):
        code, out, err = run("find", path, "t", "--where", "k % 5 <> 1", "--order-by", "w", *argv)
        assert (code, err) == (0, "")
        return out

    objects = [dict(zip(header, ("x'00ff'" if type(v) is bytes else v for v in r))) for r in answer]
    assert len(answer) > 2000 and find("--json") == dumps(objects) + "\n"
    assert find("--jsonl") == "".join(json.dumps(o, ensure_ascii=False) + "\n" for o in objects)
    table = io.StringIO()
    csv.writer(table, lineterminator="\n").writerows([header, *([cell(v) for v in r] for r in answer)])
    assert find("--csv") == table.getvalue()
    assert find() == "\n".join(aligned(header, answer)) + f"\n({len(answer)} rows)\n"
    assert find("--limit", "3", "--jsonl") == "".join(json.dumps(o, ensure_ascii=False) + "\n" for o in objects[:3])


def test_find_selects_names_that_need_quoting(tmp_path):
    """--select names columns as the table names them: "tag name" is not the column tag under another name."""
    path = str(tmp_path / "q.db")
    managed(path, "t", ["tag", '"tag name"', '"x""y"'], [[1]], main=[(1, "old", "p")], staged=[(2, "old", "q"), (3, "new", "r")])
    assert run("find", path, "t", "--select", 'tag name, x"y', "--csv") == (0, 'tag name,"x""y"\nold,q\nnew,r\n', "")


@pytest.mark.parametrize("quiet, merge", [(False, False), (True, False), (False, True), (True, True)])
def test_progress_only_on_a_terminal(tmp_path, quiet, merge):
    src = tmp_path / "rows.csv"
    src.write_text("k\n" + "1\n" * 25_000)
    main, tty = pty.openpty()
    if not os.isatty(tty):
        os.close(main), os.close(tty)
        pytest.skip("this system's pseudo-terminals are no terminals to it (an emulator's)")
    r = subprocess.run([sys.executable, "-m", "morvel", "load", str(tmp_path / "new.db"), "t", str(src),
                        *(["--quiet"] if quiet else []), *(["--merge"] if merge else [])],
                       stderr=tty, stdout=subprocess.PIPE, text=True)
    os.close(tty)
    shown = b""
    with contextlib.suppress(OSError):  # the end of a pseudo-terminal whose other end is closed
        while chunk := os.read(main, 4096):
            shown += chunk
    os.close(main)
    assert r.returncode == 0 and r.stdout.startswith("t: new table; 25000 rows staged")
    if quiet:
        assert shown == b""
    else:  # after each chunk of rows: rows, rows per second, share of the file; cleared at the end
        assert re.match(rb"\r10,000 rows, [\d,]+ rows/s, \d+% of .*rows.csv\x1b\[K", shown) and shown.endswith(b"\r\x1b[K")
        # the merge is a step of its own: the line goes on to it rather than standing at the share read
        assert (b"\r25,000 rows staged; merging into t...\x1b[K\r\x1b[K" in shown) == merge, shown


def parsed(path, block, monkeypatch):
    """Every row a CSV file gives when read `block` bytes at a time, or the error that stops it."""
    from morvel.cli import load as loader

    monkeypatch.setattr(loader, "BLOCK", block)
    source = loader.Source(str(path))
    try:
        rows = loader.DelimitedRows(source, ",", True)
        return [rows.header] + [r for chunk in rows.chunks(3) for r in chunk]
    except CliError as e:
        return str(e)
    finally:
        source.close()


@examples(100)
@given(data=st.lists(st.sampled_from(['a', '1', '-', '.', ',', '"', '""', '\r', '\n', '\r\n', 'é', '\xef\xbb\xbf', '\xff']),
                     max_size=40).map("".join), block=st.integers(1, 8))
def test_blocks_do_not_change_what_is_read(tmp_path, monkeypatch, data, block):
    path = tmp_path / "p.csv"
    path.write_bytes(data.encode("latin-1"))  # "\xff" is a byte that is not UTF-8, "\xef\xbb\xbf" the mark
    assert parsed(path, block, monkeypatch) == parsed(path, 1 << 20, monkeypatch)


TEXT_PIECES = st.one_of(FIELDS, st.sampled_from(['"a""b"', '"x,y"', '"\n"', "é", "€", "𝄞", '""""']))
# Fields that a column of each type takes (an empty one is NULL in any)
TYPED_PIECES = {"i": st.one_of(st.integers(-(2**63), 2**63 - 1).map(str), st.just("")),
                "r": st.one_of(st.floats(allow_nan=False, allow_infinity=False).map(repr),
                               st.decimals(places=2, allow_nan=False, allow_infinity=False).map(str),
                               st.integers(-(10**15), 10**15).map(str), st.just("17.00"), st.just("")),
                "t": TEXT_PIECES, "v": TEXT_PIECES}


@pytest.mark.parametrize("native", ["1", "0"])
@examples(60)
@given(data=st.data(), final=st.booleans(), convert=st.one_of(st.booleans(), st.text("irtv", min_size=3, max_size=3)),
       order=st.one_of(st.none(), st.lists(st.integers(-1, 2), min_size=1, max_size=4).map(tuple)),
       limit=st.integers(1, 70), start=st.integers(0, 3),
       spoil=st.one_of(st.none(), st.tuples(st.integers(0, 60), st.integers(0, 2),
                                            st.sampled_from(["\udcff", "\udce9", "abc", "0517", "1.5.2"]))))
def test_staging_a_block_stores_what_its_parsed_rows_load(tmp_path, monkeypatch, native, data, final, convert,
                                                           order, limit, start, spoil):
    """The command line stages CSV records straight from the bytes: exactly what morvel.load(comm=False) stages
    from the rows that the same block parses into, with the same place, line and stop (a field its column's type
    refuses, bytes that are not UTF-8, a ragged record), the unescaped fields of a group of rows included."""
    monkeypatch.setenv("MORVEL_NATIVE", native)
    kinds = convert if isinstance(convert, str) else "ttt"
    records = data.draw(st.lists(st.tuples(*(TYPED_PIECES[k] for k in kinds)).map(list), max_size=60))
    if spoil and spoil[0] < len(records):  # one field that its column's type, or UTF-8, refuses
        records[spoil[0]][spoil[1]] = spoil[2]

    def quoted(v):
        return v if v.startswith('"') else '"' + v.replace('"', '""') + '"' if any(c in v for c in ',"\r\n') else v
    text = "".join(",".join(map(quoted, r)) + "\n" for r in records).encode("utf-8", "surrogateescape")
    text = text[:-1] if text and not final else text  # the last record cut off unless the data is final
    width = 3 if order is None else len(order)
    args = (text, start if start <= len(text) else 0, 5, final, ",", convert, (3, order), limit)
    rows, *place = mv._parse_csv(*args)
    outcome = {}
    for way in ("staged", "loaded"):
        path = str(tmp_path / f"{way}.db")
        with contextlib.closing(sqlite3.connect(path)) as conn:
            managed(conn, "t", [f"c{i}" for i in range(width)])
            if way == "staged":
                staged, *where = mv._stage_csv(conn, "t", *args)
                assert (staged, where) == (len(rows), place)
            else:
                morvel.load(conn, "t", rows, False)
            conn.commit()
        outcome[way] = dump(path)
        os.remove(path)
    assert outcome["staged"] == outcome["loaded"]
