"""`find FILE TABLE`: the rows the merge will leave, answered by morvel.query."""

from __future__ import annotations

import argparse
import csv
import re
import sys
from typing import Any

from morvel.cli.common import (
    Database,
    CliError,
    aligned,
    callable_table,
    cell,
    check_keys,
    dumps,
    ident,
    json_value,
    managed,
    plural,
    utf8,
)


def cmd_find(db: Database, args: argparse.Namespace) -> None:
    conn = db.conn
    from morvel import query

    table = callable_table(args.file, managed(conn, args.file, args.table), "find")
    check_keys(conn, args.file, table)
    utf8(args.where, f"--where {args.where!r}", args.file)
    for value in args.param:
        if isinstance(value, str):
            utf8(value, f"--param {value!r}", args.file)
    columns = [r[1] for r in conn.execute(f"PRAGMA table_info({ident(table)})")]
    header = columns if args.select.strip() == "*" else [c.strip() for c in args.select.split(",")]
    unknown = [c for c in header if c not in columns]
    if unknown:
        raise CliError(f"{args.file}: {table} has no column {unknown[0]!r} (columns: {', '.join(columns)})")
    rows = query(conn, table, args.where, args.param, columns=header)
    if args.format == "json":
        print(dumps([dict(zip(header, map(json_value, r))) for r in rows]))
    elif args.format == "csv":
        out = csv.writer(sys.stdout, lineterminator="\n")
        out.writerow(header)
        out.writerows([cell(v) for v in r] for r in rows)
    else:
        for line in aligned(header, rows):
            print(line)
        print(f"({plural(len(rows), 'row')})")


BLOB = re.compile(r"[xX]'((?:[0-9a-fA-F]{2})*)'")


TEXT = re.compile(r"'((?:[^']|'')*)'")


def param(text: str) -> Any:
    """--param: x'01ff' is bound as a blob, '...' as the text between the quotes; anything else as `load`
    stores a field, so that a value matches what was loaded: a number only when that number is written
    exactly so (645, -3, 1.5), every other text as it is ('00645', '1e3')."""
    if m := BLOB.fullmatch(text):
        return bytes.fromhex(m[1])
    if m := TEXT.fullmatch(text):
        return m[1].replace("''", "'")
    from morvel.cli.load import field_value

    return field_value(text)
