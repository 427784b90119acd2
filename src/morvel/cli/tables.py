"""`tables FILE`: each managed table with its row counts, unique keys, indexes and kind of staging."""

from __future__ import annotations

import argparse

from morvel.cli.common import Database, PROG, Index, aligned, describe, dumps, managed_names, plural


def cmd_tables(db: Database, args: argparse.Namespace) -> None:
    conn = db.conn
    tables = [describe(conn, t) for t in managed_names(conn)]
    if args.json:
        print(dumps([t.as_json() for t in tables]))
        return
    if not tables:
        print(f"no managed tables in {args.file}")
        return

    def index_text(i: Index) -> str:
        return f"{i.name}({i.columns})" + ("" if i.exists else " MISSING")

    rows = [
        [
            t.name,
            t.rows,
            t.staged,
            ", ".join(f"{n}({c})" for n, c in t.unique_keys) or "-",
            ", ".join(index_text(i) for i in t.indexes) or "-",
        ]
        for t in tables
    ]
    header = ["table", "rows", "staged", "unique keys", "indexes"]
    if any(t.staging != "index-free" for t in tables):  # a file that never chose indexed staging shows no column
        header.append("staging")
        for row, t in zip(rows, tables):
            row.append(t.staging)
    for line in aligned(header, rows):
        print(line)
    missing = sum(len(t.missing()) for t in tables)
    if missing:
        print(f"{plural(missing, 'catalog index', 'catalog indexes')} missing: run `{PROG} repair {args.file}`")
    for t in tables:
        if t.staging == "stale":
            print(f"{t.name}: the staging table lacks some catalog indexes: run `{PROG} staging {args.file} {t.name} --index`")
