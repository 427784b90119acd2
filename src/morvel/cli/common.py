"""The pieces every command shares: opening FILE with its shared lock, reading what the file manages,
errors reported as one line, and the output helpers."""

from __future__ import annotations

import argparse
import contextlib
import fcntl
import json
import math
import os
import signal
import sqlite3
import stat
import threading
import unicodedata
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Iterator, Sequence

if TYPE_CHECKING:
    from morvel import Merged

PROG = "python -m morvel"


class CliError(Exception):
    """A failure reported as one line on stderr."""


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
    # "indexed" (morvel.index_staging), "index-free", or "stale": chosen, but the staging table lacks some of
    # the catalog's indexes (a later index, or the staging table made anew): `staging FILE TABLE --index` again
    staging: str = "index-free"

    def missing(self) -> list[Index]:
        return [i for i in self.indexes if not i.exists]

    def as_json(self) -> dict[str, Any]:
        return {
            "table": self.name,
            "rows": self.rows,
            "staged": self.staged,
            "unique_keys": [{"name": n, "columns": c} for n, c in self.unique_keys],
            "staging": self.staging,
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
    staging = "index-free"
    if "staging_index" in {r[0].lower() for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}:
        if conn.execute("SELECT count(*) FROM staging_index WHERE table_name = ?", (name,)).fetchone()[0]:
            complete = all(f"temp_{name}_{i.name}".lower() in in_schema for i in indexes)
            staging = "indexed" if complete else "stale"
    rows = staged = -1
    if count:
        rows = conn.execute(f"SELECT count(*) FROM {ident(name)}").fetchone()[0]
        staged = conn.execute(f"SELECT count(*) FROM {ident('temp_' + name)}").fetchone()[0]
    return Table(name, rows, staged, [(str(n), str(c)) for n, c in uniques], indexes, staging)


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


def merged(done: Merged, before: int) -> str:
    """What a merge did, as `merge` and `load --merge` report it: `before` is the main table's rows before it."""
    after = before + done.merged - done.replaced
    return (f"{done.merged} merged, {done.replaced} replaced in the main table, {done.superseded} superseded "
            f"within the batch; main table {before} -> {plural(after, 'row')}; "
            f"indexes {'rebuilt' if done.rebuilt else 'kept live'}")


def seconds(text: str) -> float:
    """--timeout: a finite number of seconds, 0 or more."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (0 <= value < math.inf):
        raise argparse.ArgumentTypeError(f"must be a finite number of seconds >= 0, not {text!r}")
    return value
