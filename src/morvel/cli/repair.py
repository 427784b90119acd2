"""`repair FILE [TABLE]`: the catalog indexes missing from the schema, rebuilt."""

from __future__ import annotations

import argparse

from morvel.cli.common import Database, begin_write, callable_table, describe, managed, managed_names, plural


def cmd_repair(db: Database, args: argparse.Namespace) -> None:
    conn = db.conn
    from morvel.morvel import active_table_index

    names = [managed(conn, args.file, args.table)] if args.table else managed_names(conn)
    begin_write(conn)
    todo = [t for t in (describe(conn, n, count=False) for n in names) if t.missing()]
    for t in todo:
        callable_table(args.file, t.name, "repair")
    for t in todo:
        active_table_index(conn, t.name, False)
    conn.commit()
    if not todo:
        scope = f"table {names[0]}" if args.table else plural(len(names), "managed table")
        print(f"nothing to repair: every catalog index of {scope} exists")
        return
    for t in todo:
        for i in t.missing():
            print(f"{t.name}: rebuilt {i.sqlite_name} ({i.columns})")
