"""`merge FILE TABLE`: morvel.merge in one transaction, and its report."""

from __future__ import annotations

import argparse
import time

from morvel.cli.common import Database, begin_write, callable_table, check_keys, ident, managed, merged, plural


def cmd_merge(db: Database, args: argparse.Namespace) -> None:
    conn = db.conn
    from morvel import merge

    table = callable_table(args.file, managed(conn, args.file, args.table), "merge")
    check_keys(conn, args.file, table)
    begin_write(conn)
    before = int(conn.execute(f"SELECT count(*) FROM {ident(table)}").fetchone()[0])
    start = time.perf_counter()
    done = merge(conn, table, False, rebuild={"auto": None, "yes": True, "no": False}[args.rebuild])
    conn.commit()
    elapsed = time.perf_counter() - start
    print(f"{table}: {plural(done.merged + done.superseded, 'staged row')}: {merged(done, before)}; {elapsed:.3f} s")
