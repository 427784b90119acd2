"""The command line: inspect, merge, repair, query and load the managed tables of a file.

A managed table is every table ``t`` that has its staging table ``temp_t`` beside it, in a file that
holds both catalog tables (``index_table`` and ``unique_table``). A file without the catalog has no
managed tables. Files are only ever opened, never created, except by ``load`` (morvel.loader). Each
command holds a shared flock on the file while its connection is open (Database), so that a failed load
never removes a file that it created but another command has open.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import fcntl
import json
import math
import os
import re
import signal
import sqlite3
import stat
import sys
import threading
import time
import unicodedata
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterator, Sequence

PROG = "python -m morvel"


class CliError(Exception):
    """A failure reported as one line on stderr."""


# ---------------------------------------------------------------------------------------------------
# Reading the file


class Database:
    """FILE as a command holds it: an SQLite connection, and a shared flock on the file taken before the
    connection opens it and kept until it is closed, so that a failed load that created the file can tell
    whether another command has it open (flock locks are apart from SQLite's own byte-range locks)."""

    def __init__(self, path: str, timeout: float, create: bool = False) -> None:
        self.path = path
        self.fd, self.created = locked(path, create)
        try:
            self.conn = sqlite3.connect(f"{Path(path).absolute().as_uri()}?mode=rw", uri=True, timeout=timeout)
        except BaseException as e:
            if self.created:
                self.discard()
            os.close(self.fd)
            if isinstance(e, sqlite3.Error):
                raise CliError(f"{path}: {e}") from None
            raise
        try:
            self.conn.execute("SELECT count(*) FROM sqlite_master").fetchone()  # fails here if not a database
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        self.conn.close()
        if self.fd >= 0:  # only now: closing a descriptor of the file drops SQLite's locks on it
            os.close(self.fd)
            self.fd = -1

    def remove_unused(self) -> bool:
        """Closes the connection, then deletes the file this command created, and its journal, if nothing
        was ever committed to it and no other connection has it open; whether it did."""
        self.conn.close()
        return self.discard()

    def discard(self) -> bool:
        try:
            fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)  # no other command has it open
        except BlockingIOError:
            return False
        with alone(self.fd) as unseen:
            if not unseen or os.fstat(self.fd).st_size:
                return False
            for name in (self.path, self.path + "-journal"):
                with contextlib.suppress(OSError):  # what failed matters more than a file left behind
                    os.remove(name)
        return True


def locked(path: str, create: bool) -> tuple[int, bool]:
    """A descriptor of the file at `path` holding a shared flock, and whether it was created here (only with
    `create`, and only when missing); a missing file is an error otherwise. Tried again when the file was
    removed or replaced while the lock was awaited."""
    while True:
        try:
            try:
                st = os.stat(path)
            except FileNotFoundError:
                if not create:
                    raise CliError(f"{path}: no such file") from None
                if os.path.islink(path):
                    raise CliError(f"{path}: no such file (a symbolic link to nothing)") from None
                try:
                    fd, created = os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o644), True
                except FileExistsError:
                    continue  # another load created it meanwhile
            else:
                if stat.S_ISDIR(st.st_mode):
                    raise CliError(f"{path}: is a directory")
                if not stat.S_ISREG(st.st_mode):
                    raise CliError(f"{path}: not a regular file")
                try:
                    fd, created = os.open(path, os.O_RDONLY | os.O_CLOEXEC), False
                except FileNotFoundError:
                    continue  # removed meanwhile
        except OSError as e:  # a name too long, a folder that is missing, say
            raise CliError(f"{path}: {e.strerror}") from None
        try:
            fcntl.flock(fd, fcntl.LOCK_SH)  # waits only while a failed load removes the file
            held, now = os.fstat(fd), os.stat(path)
            if (held.st_dev, held.st_ino) == (now.st_dev, now.st_ino):
                return fd, created
        except FileNotFoundError:
            pass
        except BaseException:
            os.close(fd)
            raise
        os.close(fd)


@contextlib.contextmanager
def alone(fd: int) -> Iterator[bool]:
    """Whether no other descriptor of the file is open, in any process (other programs' SQLite connections
    too), as a write lease tells; while it is held, an open of the file by anyone else waits. True where
    there are no leases (not Linux, a file system without them): only the flock counts there."""
    setlease, sigio = getattr(fcntl, "F_SETLEASE", None), getattr(signal, "SIGIO", None)
    if setlease is None or sigio is None or threading.current_thread() is not threading.main_thread():
        yield True  # no leases; or no signal handler can be set here
        return
    kept = signal.signal(sigio, signal.SIG_IGN)  # a lease break's signal would end the process
    try:
        try:
            fcntl.fcntl(fd, setlease, fcntl.F_WRLCK)
            leased = True
        except BlockingIOError:  # open elsewhere
            leased = None
        except OSError:  # no leases on this file system
            leased = False
        try:
            yield leased is not None
        finally:
            if leased:
                fcntl.fcntl(fd, setlease, fcntl.F_UNLCK)
    finally:
        signal.signal(sigio, kept)


def ident(name: str) -> str:
    """A name quoted for use as an SQL identifier."""
    return '"' + name.replace('"', '""') + '"'


@dataclass
class Index:
    name: str  # the name in the catalog
    sqlite_name: str  # the name in the schema: "{table}_{name}"
    columns: str
    exists: bool


@dataclass
class Table:
    name: str
    rows: int
    staged: int
    unique_keys: list[tuple[str, str]]  # (name, columns)
    indexes: list[Index]

    def missing(self) -> list[Index]:
        return [i for i in self.indexes if not i.exists]

    def as_json(self) -> dict[str, Any]:
        return {
            "table": self.name,
            "rows": self.rows,
            "staged": self.staged,
            "unique_keys": [{"name": n, "columns": c} for n, c in self.unique_keys],
            "indexes": [
                {"name": i.name, "sqlite_name": i.sqlite_name, "columns": i.columns, "exists": i.exists}
                for i in self.indexes
            ],
        }


def managed_names(conn: sqlite3.Connection) -> list[str]:
    tables = [r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")]
    lowered = {t.lower() for t in tables}
    if not {"index_table", "unique_table"} <= lowered:
        return []
    return [t for t in tables if f"temp_{t}".lower() in lowered]


def describe(conn: sqlite3.Connection, name: str, count: bool = True) -> Table:
    """What the file holds for one managed table; row counts only when `count`."""
    in_schema = {r[0].lower() for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'index'")}
    uniques = conn.execute(
        "SELECT unique_name, columns FROM unique_table WHERE table_name = ? ORDER BY unique_name", (name,)
    ).fetchall()
    indexes = [
        Index(str(n), f"{name}_{n}", str(c), f"{name}_{n}".lower() in in_schema)
        for n, c in conn.execute(
            "SELECT index_name, columns FROM index_table WHERE table_name = ? ORDER BY index_name", (name,)
        )
    ]
    rows = staged = -1
    if count:
        rows = conn.execute(f"SELECT count(*) FROM {ident(name)}").fetchone()[0]
        staged = conn.execute(f"SELECT count(*) FROM {ident('temp_' + name)}").fetchone()[0]
    return Table(name, rows, staged, [(str(n), str(c)) for n, c in uniques], indexes)


def managed(conn: sqlite3.Connection, path: str, name: str) -> str:
    """The managed table's name as the schema spells it; an error when the file does not manage it."""
    for t in managed_names(conn):
        if t.lower() == name.lower():
            return t
    raise CliError(f"{path}: {name!r} is not a managed table")


def plain(name: str) -> bool:
    """Whether the module's functions take `name` as a table's: a plain SQL identifier, letters of any
    script, digits, _ and $, not starting with a digit or $ (they write it into statements as it is)."""
    return bool(name) and (name[0] == "_" or name[0].isalpha()) and all(
        c == "_" or c == "$" or c.isalpha() or c.isdigit() for c in name[1:])


def callable_table(path: str, table: str, command: str) -> str:
    """A managed table that the module's functions take; an error naming the rule otherwise."""
    if not plain(table):
        raise CliError(f"{path}: table {table!r} is not a plain SQL identifier (letters, digits, _ and $, not "
                       f"starting with a digit or $), which {command} cannot work on")
    return table


def utf8(text: str, what: str, path: str) -> None:
    """Text from the command line that SQLite can take: argv's bytes that are not UTF-8 arrive escaped."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as e:
        code = ord(text[e.start])
        which = f"byte {code - 0xDC00:#04x}" if 0xDC80 <= code <= 0xDCFF else f"character \\u{code:04x}"
        raise CliError(f"{path}: {what} is not UTF-8 text ({which})") from None


def hides_rowid(column: str) -> bool:
    """Whether a column of this name hides the rowid that the module's statements identify rows by."""
    return column.lower() == "rowid"


def rowid_error(path: str, table: str, column: str) -> CliError:
    return CliError(f"{path}: table {table} has a column named {column!r}, which hides the rowid that staging, "
                    "the merge and the queries identify rows by: rename the column")


def check_keys(conn: sqlite3.Connection, path: str, table: str) -> None:
    """A unique key whose column positions the catalog keeps malformed, or a column that hides the rowid,
    stops a merge or a find with an error of the module: said here in one line instead."""
    columns = [r[1] for r in conn.execute(f"PRAGMA table_info({ident(table)})")]
    for column in filter(hides_rowid, columns):
        raise rowid_error(path, table, column)
    width = len(columns)
    keys = conn.execute("SELECT unique_name, col_num FROM unique_table WHERE table_name = ?", (table,))
    for name, col_num in keys:
        try:
            positions = [int(p) for p in col_num.split(",")] if isinstance(col_num, str) else None
        except ValueError:
            positions = None
        if positions is None or any(not -width <= p < width for p in positions):
            raise CliError(
                f"{path}: the catalog's unique key {name!r} of {table} has malformed column positions "
                f"{col_num!r} (col_num: positions of the table's {width} columns, such as '0,2')"
            )


def begin_write(conn: sqlite3.Connection) -> None:
    """Takes the write lock now, so that a busy file fails before anything changes."""
    conn.execute("BEGIN IMMEDIATE")


# ---------------------------------------------------------------------------------------------------
# Output


def cell(value: Any, null: str = "") -> str:
    """A value as text: NULL as `null`, blobs as x'hex', line breaks escaped."""
    if value is None:
        return null
    if isinstance(value, bytes):
        return f"x'{value.hex()}'"
    return str(value).replace("\r", "\\r").replace("\n", "\\n")


def width(text: str) -> int:
    """Columns that text takes on a terminal: wide and full-width characters (CJK, most emoji) two,
    combining marks and zero-width characters none."""
    if text.isascii():
        return len(text)
    return sum(
        0 if unicodedata.combining(c) or unicodedata.category(c) in ("Mn", "Me", "Cf")
        else 2 if unicodedata.east_asian_width(c) in ("W", "F") else 1
        for c in text
    )


def aligned(header: Sequence[str], rows: Sequence[Sequence[Any]]) -> list[str]:
    """Rows as columns padded to their widest value (in terminal columns); numbers align right; NULL shows as
    NULL, so that it differs from an empty text."""
    texts = [[cell(v, "NULL") for v in row] for row in rows]
    widths = [max([width(h)] + [width(r[i]) for r in texts]) for i, h in enumerate(header)]
    numeric = [
        bool(rows) and all(isinstance(r[i], (int, float)) or r[i] is None for r in rows) for i in range(len(header))
    ]

    def line(values: Sequence[str]) -> str:
        pads = [" " * (w - width(v)) for v, w in zip(values, widths)]
        parts = [pad + v if num else v + pad for v, pad, num in zip(values, pads, numeric)]
        return "  ".join(parts).rstrip()

    return [line(header), line(["-" * w for w in widths])] + [line(r) for r in texts]


def dumps(value: Any) -> str:
    """JSON as printed: characters beyond ASCII as they are, not as \\u escapes."""
    return json.dumps(value, indent=2, ensure_ascii=False)


def json_value(value: Any) -> Any:
    return f"x'{value.hex()}'" if isinstance(value, bytes) else value


def plural(n: int, word: str, words: str = "") -> str:
    return f"{n} {word}" if n == 1 else f"{n} {words or word + 's'}"


# ---------------------------------------------------------------------------------------------------
# Commands


def cmd_tables(conn: sqlite3.Connection, args: argparse.Namespace) -> None:
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
    for line in aligned(["table", "rows", "staged", "unique keys", "indexes"], rows):
        print(line)
    missing = sum(len(t.missing()) for t in tables)
    if missing:
        print(f"{plural(missing, 'catalog index', 'catalog indexes')} missing: run `{PROG} repair {args.file}`")


def cmd_merge(conn: sqlite3.Connection, args: argparse.Namespace) -> None:
    from morvel import merge

    table = callable_table(args.file, managed(conn, args.file, args.table), "merge")
    check_keys(conn, args.file, table)
    begin_write(conn)
    before = int(conn.execute(f"SELECT count(*) FROM {ident(table)}").fetchone()[0])
    start = time.perf_counter()
    done = merge(conn, table, False, rebuild={"auto": None, "yes": True, "no": False}[args.rebuild])
    conn.commit()
    elapsed = time.perf_counter() - start
    staged, after = done.merged + done.superseded, before + done.merged - done.replaced
    print(
        f"{table}: {plural(staged, 'staged row')}: {done.merged} merged, {done.replaced} replaced in the main table, "
        f"{done.superseded} superseded within the batch; main table {before} -> {plural(after, 'row')}; "
        f"indexes {'rebuilt' if done.rebuilt else 'kept live'}; {elapsed:.3f} s"
    )


def cmd_repair(conn: sqlite3.Connection, args: argparse.Namespace) -> None:
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


def cmd_find(conn: sqlite3.Connection, args: argparse.Namespace) -> None:
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


# ---------------------------------------------------------------------------------------------------
# --version: what a bug report needs


def native_off_reason() -> str | None:
    """Why calls on a genuine sqlite3.Connection cannot reach its SQLite handle directly in this process
    (whatever MORVEL_NATIVE says); None when they can."""
    from morvel.morvel import drop_table

    # With MORVEL_NATIVE=require, a call on a genuine connection raises the reason when the path is off.
    setting = os.environ.get("MORVEL_NATIVE")
    os.environ["MORVEL_NATIVE"] = "require"
    conn = sqlite3.connect(":memory:")
    try:
        drop_table(conn, "t", False)
    except RuntimeError as e:
        return str(e).removeprefix("MORVEL_NATIVE=require, but the native path is off: ")
    except sqlite3.Error:
        pass  # it ran: an empty database has no catalog
    finally:
        conn.close()
        if setting is None:
            del os.environ["MORVEL_NATIVE"]
        else:
            os.environ["MORVEL_NATIVE"] = setting
    return None


def native_path() -> str:
    if os.environ.get("MORVEL_NATIVE") == "0":
        return "off: MORVEL_NATIVE=0 in the environment"
    why = native_off_reason()
    return "on" if why is None else f"off: {why}"


def version_report() -> str:
    import platform

    from morvel import __version__

    return "\n".join([
        f"morvel {__version__}",
        f"Python {platform.python_version()} ({platform.python_implementation()}) on {platform.platform()}",
        f"SQLite {sqlite3.sqlite_version}",
        f"native path: {native_path()}",
    ])


class VersionAction(argparse.Action):
    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, help="print the versions of morvel, Python and SQLite, "
                         "whether the native path is on (and why not), and exit")

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> None:
        print(version_report())
        parser.exit()


# ---------------------------------------------------------------------------------------------------
# Arguments and the error boundary


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
    from morvel import loader

    return loader.field_value(text)


def seconds(text: str) -> float:
    """--timeout: a finite number of seconds, 0 or more."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (0 <= value < math.inf):
        raise argparse.ArgumentTypeError(f"must be a finite number of seconds >= 0, not {text!r}")
    return value


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
        "table (NULL shows as NULL, blobs as x'hex'), CSV (NULL empty) or JSON (null).",
    )
    p.add_argument("table", metavar="TABLE", help="a managed table")
    p.add_argument("--select", default="*", metavar="COLS", help="comma-separated columns (default: all)")
    p.add_argument("--where", default="", metavar="CONDITIONS", help="an SQL condition, e.g. \"age > ?\"")
    p.add_argument("--param", action="append", default=[], type=param, metavar="VALUE",
                   help="a value for the next ? in --where (repeatable): a number as a number, x'01ff' as a "
                   "blob, '...' as the text inside the quotes, anything else as text")
    fmt = p.add_mutually_exclusive_group()
    fmt.add_argument("--csv", dest="format", action="store_const", const="csv", help="print CSV")
    fmt.add_argument("--json", dest="format", action="store_const", const="json", help="print JSON")
    p.set_defaults(run=cmd_find, format="text")

    from morvel import loader

    loader.add_parser(sub)
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
        args.db = args.opener(args) if "opener" in args else Database(args.file, args.timeout)
        try:
            args.run(args.db.conn, args)
        finally:
            args.db.close()
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
