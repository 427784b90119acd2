"""`staging FILE TABLE --index|--no-index`: the staging table indexed like the main table (morvel.index_staging),
or index-free again; without an option, the current choice."""

from __future__ import annotations

import argparse

from morvel.cli.common import Database, begin_write, callable_table, describe, managed


def cmd_staging(db: Database, args: argparse.Namespace) -> None:
    conn = db.conn
    from morvel import index_staging

    table = managed(conn, args.file, args.table)
    if args.index is not None:
        callable_table(args.file, table, "staging")
        begin_write(conn)
        index_staging(conn, table, args.index, False)
        conn.commit()
    print(f"{table}: {describe(conn, table, count=False).staging} staging")
