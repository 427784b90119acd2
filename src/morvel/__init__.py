"""Bulk-loaded SQLite tables with staging tables that can be queried before the merge.

The compiled module ``morvel.morvel`` holds the functions: ``from morvel.morvel import create_table, find``.
``prepare(conn)`` readies any connection's database for them.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from morvel.morvel import _Connection

__version__ = "0.1.0"

# The catalog statements exactly as DB sends them (catalog.hpp), so that a file reads the same whichever
# way it was prepared.
_CATALOG = (
    "\n            CREATE TABLE IF NOT EXISTS index_table (table_name, index_name, columns)\n        ",
    "\n            CREATE TABLE IF NOT EXISTS unique_table (table_name, unique_name, columns, col_num)\n        ",
)


def prepare(conn: _Connection) -> None:
    """Create the catalog tables index_table and unique_table on conn's database if they are missing.

    Sends the two CREATE TABLE IF NOT EXISTS statements that DB sends, on one conn.cursor(), so it works on
    any connection the module's functions take (an in-memory database included) and is harmless to repeat.
    It never commits: outside a transaction SQLite commits each statement on its own (a sqlite3.Connection
    opens none for them, so in_transaction stays False); inside an open transaction (or with
    autocommit=False) they join it and are saved by its commit, or undone by its rollback.
    """
    cur = conn.cursor()
    for statement in _CATALOG:
        cur.execute(statement)
