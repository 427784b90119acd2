"""`find FILE TABLE`: the rows the merge will leave, answered by morvel.query and written as they are
answered, a part at a time, so that memory does not follow the answer's size."""

from __future__ import annotations

import argparse
import csv
import json
import math
import re
import sys
from typing import IO, Any, Callable, Iterator, Sequence, cast

from morvel.cli.common import (
    CliError,
    Database,
    callable_table,
    cell,
    check_keys,
    dumps,
    ident,
    json_value,
    managed,
    plural,
    utf8,
    width,
)


def cmd_find(db: Database, args: argparse.Namespace) -> None:
    conn = db.conn
    from morvel.morvel import _query

    table = callable_table(args.file, managed(conn, args.file, args.table), "find")
    check_keys(conn, args.file, table)
    utf8(args.where, f"--where {args.where!r}", args.file)
    if args.order_by is not None:
        utf8(args.order_by, f"--order-by {args.order_by!r}", args.file)
    for value in args.param:
        if isinstance(value, str):
            utf8(value, f"--param {value!r}", args.file)
    columns = [r[1] for r in conn.execute(f"PRAGMA table_info({ident(table)})")]
    header = columns if args.select.strip() == "*" else [c.strip() for c in args.select.split(",")]
    unknown = [c for c in header if c not in columns]
    if unknown:
        raise CliError(f"{args.file}: {table} has no column {unknown[0]!r} (columns: {', '.join(columns)})")

    def answer(each: Callable[[list[list[Any]]], object]) -> int:
        """The rows that morvel.query answers, handed to `each` part by part as they are answered."""
        return cast(int, _query(conn, table, args.where, args.param, header, args.order_by, args.limit, each))

    out = sys.stdout
    if args.format in ("json", "jsonl"):
        write_json(out, header, answer, args.format == "jsonl")
    elif args.format == "csv":
        rows = csv.writer(out, lineterminator="\n")
        rows.writerow(header)
        answer(lambda part: rows.writerows([cell(v) for v in r] for r in part))
    else:
        # The columns are as wide as their widest value: a first pass tells the widths, a second writes
        # the rows, both in one snapshot.
        conn.execute("BEGIN")
        try:
            widths = Widths(header)
            answer(widths.add)
            lines = widths.lines()
            out.write(next(lines) + "\n" + next(lines) + "\n")
            n = answer(lambda part: out.write("".join(widths.line(r) + "\n" for r in part)))
        finally:
            conn.rollback()  # nothing was written
        out.write(f"({plural(n, 'row')})\n")


def write_json(out: IO[str], header: list[str], answer: Callable[[Callable[[list[list[Any]]], object]], int],
               lines: bool) -> None:
    """The rows as one JSON array, written row by row as dumps would write the whole list (--json), or one
    object per line (--jsonl)."""
    keys = [json.dumps(name, ensure_ascii=False) + ": " for name in header]
    if lines:
        def part_text(part: list[list[Any]]) -> str:
            return "".join("{" + ", ".join(k + value_json(v) for k, v in zip(keys, row)) + "}\n" for row in part)
        answer(lambda part: out.write(part_text(part)))
        return
    opened = False
    keys = ["    " + k for k in keys]

    def write(part: list[list[Any]]) -> None:
        nonlocal opened
        text = ",\n".join("  {\n" + ",\n".join(k + value_json(v) for k, v in zip(keys, row)) + "\n  }" for row in part)
        out.write((",\n" if opened else "[\n") + text)
        opened = True

    answer(write)
    out.write("\n]\n" if opened else "[]\n")


encode_text = json.encoder.encode_basestring


def value_json(value: Any) -> str:
    """One value as dumps writes it: a blob as its x'hex' text, characters beyond ASCII as they are."""
    kind = type(value)
    if kind is str:
        return encode_text(value)
    if kind is int:
        return int.__repr__(value)
    if value is None:
        return "null"
    if kind is float and math.isfinite(value):
        return float.__repr__(value)
    return dumps(json_value(value))


class Widths:
    """The table view's columns, told from all the rows: each as wide as its widest value, numbers to the
    right when every value of the column is a number or NULL."""

    def __init__(self, header: list[str]) -> None:
        self.header = header
        self.widths = [width(h) for h in header]
        self.numeric = [True] * len(header)
        self.rows = 0

    def add(self, part: list[list[Any]]) -> None:
        self.rows += len(part)
        for row in part:
            for i, v in enumerate(row):
                self.widths[i] = max(self.widths[i], width(cell(v, "NULL")))
                if self.numeric[i] and not (isinstance(v, (int, float)) or v is None):
                    self.numeric[i] = False

    def lines(self) -> Iterator[str]:
        if not self.rows:
            self.numeric = [False] * len(self.header)
        yield self.padded(self.header)
        yield self.padded(["-" * w for w in self.widths])

    def padded(self, values: Sequence[str]) -> str:
        pads = [" " * (w - width(v)) for v, w in zip(values, self.widths)]
        return "  ".join(pad + v if num else v + pad for v, pad, num in zip(values, pads, self.numeric)).rstrip()

    def line(self, row: Sequence[Any]) -> str:
        return self.padded([cell(v, "NULL") for v in row])


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


def row_count(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        n = -1
    if n < 0:
        raise argparse.ArgumentTypeError(f"must be a number of rows >= 0, not {text!r}")
    return n
