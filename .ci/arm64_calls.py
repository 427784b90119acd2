"""A few calls of each kind on the installed package, with the answers they must give (the aarch64 wheels' check
under emulation, where the suite itself would take too long). Run with MORVEL_NATIVE=require.

Usage: python arm64_calls.py DIR   (DIR: where its database file goes)
"""
import os, sqlite3, sys

import morvel
from morvel.morvel import create_table, find, insert_temp, temp_to_main

conn = sqlite3.connect(os.path.join(sys.argv[1], "calls.db"))
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
