"""The aarch64 wheels' check under emulation, where the suite itself would take too long, in one interpreter (each
start costs seconds there): the module is the one unpacked in SITE, `python -m morvel --version` reports the
native path on, and a few calls of each kind give the answers they must. Run with MORVEL_NATIVE=require.

Usage: python arm64_calls.py DIR SITE   (DIR: where its database file goes)
"""
import contextlib, io, os, runpy, sqlite3, sys

import morvel
import morvel.morvel as module
from morvel.morvel import create_table, find, insert_temp, temp_to_main

work, site = sys.argv[1:3]
assert module.__file__.startswith(site + "/"), module.__file__
report, sys.argv[1:] = io.StringIO(), ["--version"]
with contextlib.redirect_stdout(report), contextlib.suppress(SystemExit):
    runpy.run_module("morvel", run_name="__main__", alter_sys=True)
print(report.getvalue().rstrip("\n"))
assert "native path: on" in report.getvalue().splitlines(), report.getvalue()

conn = sqlite3.connect(os.path.join(work, "calls.db"))
morvel.prepare(conn)
create_table(conn, "homes", ["name", "type", "address", "age"],
             [{"name": "index_0", "cols": "name,type,address"}], [{"name": "unique_0", "cols": [0, 2]}])
insert_temp(conn, "homes", [("a", "flat", "x", 3), ("b", "house", "y", 5)])
insert_temp(conn, "homes", [("a", "house", "x", 4)])
assert find(conn, "name,age", "homes", "where age > 3") == [["b", 5], ["a", 4]]
assert morvel.query(conn, "homes", "age > ?", [3], columns=["name", "age"], order_by="name") == [["a", 4], ["b", 5]]
temp_to_main(conn, "homes")
assert find(conn, "name,age", "homes", "") == [["a", 4], ["b", 5]]

assert morvel.load(conn, "homes", ({"name": f"n{i}", "address": "z", "age": i} for i in range(1000)),
                   missing="null") == 1000
morvel.index_staging(conn, "homes")
assert morvel.load(conn, "homes", [("n7", "flat", "z", 70)]) == 1
assert morvel.query(conn, "homes", "name = ?", ["n7"], columns=["age"]) == [[70]]
report = morvel.merge(conn, "homes")
rows = conn.execute("SELECT count(*), sum(age) FROM homes").fetchone()
assert rows == (1002, sum(range(1000)) - 7 + 70 + 4 + 5), (rows, report)
assert conn.execute("SELECT count(*) FROM temp_homes").fetchone() == (0,)
assert conn.execute("PRAGMA integrity_check").fetchone() == ("ok",)
print("calls: all answered as they must")
