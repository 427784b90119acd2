"""The command line: inspect, merge, repair, query and load the managed tables of a file.

A managed table is every table ``t`` that has its staging table ``temp_t`` beside it, in a file that
holds both catalog tables (``index_table`` and ``unique_table``). A file without the catalog has no
managed tables. Files are only ever opened, never created, except by ``load`` (morvel.cli.load). Each
command holds a shared flock on the file while its connection is open (Database), so that a failed load
never removes a file that it created but another command has open. One module per command; the pieces
they share are in morvel.cli.common, which imports none of them."""

from __future__ import annotations

import argparse
import os
import sqlite3
import sys
from typing import Sequence

from morvel.cli import load
from morvel.cli.common import PROG, CliError, Database, seconds
from morvel.cli.find import cmd_find, param, row_count
from morvel.cli.merge import cmd_merge
from morvel.cli.repair import cmd_repair
from morvel.cli.staging import cmd_staging
from morvel.cli.tables import cmd_tables
from morvel.cli.version import VersionAction, native_off_reason

__all__ = ["CliError", "main", "native_off_reason", "parser", "run"]


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog=PROG,
        description="Inspect, merge, repair, query and load the managed tables of a morvel SQLite file. "
        "A managed table is a table T with its staging table temp_T beside it, in a file that holds the "
        "catalog (index_table, unique_table).",
        epilog="Exit status: 0 on success, 1 when the command fails, 2 for wrong arguments, 130 when interrupted.",
    )
    top.add_argument("--version", action=VersionAction)
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("file", metavar="FILE", help="an existing SQLite file (never created)")
    common.add_argument(
        "--timeout",
        type=seconds,
        default=2.0,
        metavar="SECONDS",
        help="how long to wait for a database another connection holds locked (default: %(default)s)",
    )
    sub = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser(
        "tables",
        parents=[common],
        help="list the managed tables, their row counts, unique keys and indexes",
        description="One line per managed table: rows in the main table, rows staged and waiting for "
        "the merge, unique keys with their columns, and the indexes the catalog records; an index the "
        "catalog records but the schema lacks is marked MISSING.",
    )
    p.add_argument("--json", action="store_true", help="print the same as JSON")
    p.set_defaults(run=cmd_tables)

    p = sub.add_parser(
        "merge",
        parents=[common],
        help="merge the staged rows of one table into its main table",
        description="Merge the staged rows of TABLE in one transaction, as temp_to_main does, and report the "
        "rows merged into the main table, the main rows they replaced, the staged rows superseded within the "
        "batch, whether the indexes were rebuilt, and the time taken.",
    )
    p.add_argument("table", metavar="TABLE", help="a managed table")
    p.add_argument("--rebuild", choices=["auto", "yes", "no"], default="auto",
                   help="drop and rebuild the table's indexes (yes), keep them live (no), or choose by the "
                   "batch's size against the table's (auto, the default)")
    p.set_defaults(run=cmd_merge)

    p = sub.add_parser(
        "staging",
        parents=[common],
        help="show or set whether a table's staging table is indexed",
        description="Index the staging table of TABLE like its main table (--index: every index of the "
        "catalog, under names of its own, so that find and query seek staged rows instead of reading them "
        "all), or make it index-free again (--no-index), in one transaction; --index again copies the "
        "indexes registered since. Without an option, print the current choice.",
    )
    p.add_argument("table", metavar="TABLE", help="a managed table")
    p.add_argument("--index", action=argparse.BooleanOptionalAction, default=None,
                   help="index the staging table (--index) or drop its indexes (--no-index)")
    p.set_defaults(run=cmd_staging)

    p = sub.add_parser(
        "repair",
        parents=[common],
        help="rebuild catalog indexes that are missing from the schema",
        description="Rebuild the indexes the catalog records but the schema lacks (after a crash or a "
        "failed merge), of TABLE or of every managed table, and list what was rebuilt. Nothing to do "
        "is not an error.",
    )
    p.add_argument("table", metavar="TABLE", nargs="?", help="a managed table (default: all)")
    p.set_defaults(run=cmd_repair)

    p = sub.add_parser(
        "find",
        parents=[common],
        help="print the rows of one table as the merge will leave them, staged or merged",
        description="Print the rows that TABLE will hold once its staged rows are merged: the staged rows "
        "that no newer staged row replaces, then the main rows that no staged row replaces, as an aligned "
        "table (NULL shows as NULL, blobs as x'hex'), CSV (NULL empty), JSON (null) or JSON Lines, or in the "
        "order of --order-by. Rows are written as they are answered, so memory does not grow with the answer.",
    )
    p.add_argument("table", metavar="TABLE", help="a managed table")
    p.add_argument("--select", default="*", metavar="COLS", help="comma-separated columns (default: all)")
    p.add_argument("--where", default="", metavar="CONDITIONS", help="an SQL condition, e.g. \"age > ?\"")
    p.add_argument("--param", action="append", default=[], type=param, metavar="VALUE",
                   help="a value for the next ? in --where (repeatable): a number as a number, x'01ff' as a "
                   "blob, '...' as the text inside the quotes, anything else as text")
    p.add_argument("--order-by", metavar="ORDERING",
                   help="an SQL ordering of the whole answer, e.g. \"price DESC, name\" (default: staged rows, "
                   "then main rows, each in rowid order)")
    p.add_argument("--limit", type=row_count, metavar="N", help="at most N rows (after superseded rows are left out)")
    fmt = p.add_mutually_exclusive_group()
    fmt.add_argument("--csv", dest="format", action="store_const", const="csv", help="print CSV")
    fmt.add_argument("--json", dest="format", action="store_const", const="json", help="print one JSON array")
    fmt.add_argument("--jsonl", dest="format", action="store_const", const="jsonl",
                     help="print JSON Lines: one object per row")
    p.set_defaults(run=cmd_find, format="text")

    load.add_parser(sub)
    return top


def main(argv: Sequence[str] | None = None) -> int:
    try:
        return run(argv)
    except KeyboardInterrupt:  # Ctrl-C, wherever it comes: one line, not a traceback
        print("morvel: interrupted", file=sys.stderr)
        return 130


def run(argv: Sequence[str] | None) -> int:
    args = parser().parse_args(argv)
    try:
        # What the command works on: FILE, opened; or what its own opener made of FILE and its arguments.
        opened = args.opener(args) if "opener" in args else Database(args.file, args.timeout)
        try:
            args.run(opened, args)
        finally:
            opened.close()
    except CliError as e:
        print(f"morvel: {e}", file=sys.stderr)
        return getattr(e, "status", 1)
    except sqlite3.Error as e:
        hint = " (another connection holds it; try again or raise --timeout)" if "locked" in str(e) else ""
        print(f"morvel: {args.file}: {e}{hint}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (`| head`); stop quietly without a second error at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0
