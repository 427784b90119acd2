"""Misuses of the package that mypy --strict must refuse: proof that the stub is what it reads."""

import sqlite3

import morvel
from morvel.morvel import drop_table, find, insert_temp, temp_to_main

conn = sqlite3.connect(":memory:")
count: int = find(None, 1, "homes", "")
insert_temp("not a connection", "homes", [(1, 2)])
drop_table(conn, 7)
temp_to_main(conn, "homes", comm="yes")
morvel.query(conn, 7)
