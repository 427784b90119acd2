"""`python -m morvel load`: rows from CSV, TSV or JSON Lines (or Parquet and Arrow IPC files, through
morvel.cli.columnar) staged into a managed table, all or nothing.

Values are kept as written: an empty CSV field is NULL. A new table's columns get one type each from all
their fields (INTEGER when each is ``645``; REAL when each is that or a decimal whose double keeps every
digit, ``17.00``; TEXT otherwise, ``0517`` anywhere), a first pass over the file telling them (the first
batch, for standard input); an existing table's declared types convert the fields, and a field the type
would change stops the load; a column without a type makes a number of a field only when that number
written back is the same text (``645``; never ``00645`` or ``1.50``). JSON Lines get the same rule by
JSON's types (INTEGER: integers within 64 bits, true and false as 1 and 0; REAL: numbers; TEXT: anything
else, where true and false are stored as those words), and an object or array inside a line's object is
stored as its text on the line, exactly as written. CSV records
are parsed, converted and staged by the compiled module a block at a time (``_stage_csv``: no Python object
per value); other rows are staged through ``morvel.load``, a batch at a time, so memory follows the batch,
not the file.

A load that fails leaves nothing of itself: its transaction is rolled back, and a FILE it created is
removed again, unless another connection has the file open (a second load waiting for this one's lock, a
program's own connection) or has committed to it; then the file stays, without this load's rows. Every
command holds a shared flock on FILE while its connection is open, which is how the failed load tells
(morvel.cli.Database); other programs' connections are seen through a write lease, where Linux has one."""

from __future__ import annotations

import argparse
import bz2
import contextlib
import gzip
import io
import itertools
import json
import lzma
import math
import os
import re
import sqlite3
import stat
import sys
import time
import zlib
from pathlib import Path
from typing import IO, Any, Callable, Iterator, Sequence, cast

import morvel
from morvel import morvel as mv
from morvel.cli.columnar import FORMATS as COLUMNAR
from morvel.cli.columnar import ColumnarSource, declared_type
from morvel.cli.common import (
    CliError,
    Database,
    begin_write,
    callable_table,
    hides_rowid,
    ident,
    managed_names,
    merged,
    plural,
    rowid_error,
    seconds,
)

FORMATS = {".csv": "csv", ".tsv": "tsv", ".tab": "tsv", ".jsonl": "jsonl", ".ndjson": "jsonl", **COLUMNAR}


CHUNK = 10_000  # rows read and converted at a time; progress moves between chunks


BLOCK = 1 << 20  # bytes read at a time


BOM = b"\xef\xbb\xbf"


PLAIN_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")


INT64 = range(-(2**63), 2**63)


TYPES = {"n": "TEXT", "i": "INTEGER", "j": "INTEGER", "r": "REAL", "t": "TEXT"}  # what a column's fields allow: its type


LETTERS = {"INTEGER": "i", "REAL": "r", "TEXT": "t"}


def declared_letter(declared: str) -> str:
    """How a column of this declared type converts a field, by SQLite's rules for its affinity: "i", "r"
    or "t" as its type writes it back; "v" (the lossless rule of each value) for none and for NUMERIC."""
    kind = declared.upper()
    if "INT" in kind:
        return "i"
    if "CHAR" in kind or "CLOB" in kind or "TEXT" in kind:
        return "t"
    if "BLOB" in kind or not kind:
        return "v"
    if "REAL" in kind or "FLOA" in kind or "DOUB" in kind:
        return "r"
    return "v"


class Interrupted(CliError):
    """Ctrl-C: reported like an error, with its own exit status."""

    status = 130


def zstd_file(raw: IO[bytes]) -> IO[bytes]:
    try:
        from compression import zstd  # type: ignore[import-not-found]  # Python 3.14 on
    except ImportError:
        raise CliError("this Python cannot read Zstandard (zst) data: that comes with Python 3.14") from None
    return zstd.ZstdFile(raw)  # type: ignore[no-any-return]


DECOMPRESS: dict[str, Callable[[IO[bytes]], IO[bytes]]] = {
    "gzip": lambda raw: cast(IO[bytes], gzip.GzipFile(fileobj=raw, mode="rb")),
    "bz2": lambda raw: cast(IO[bytes], bz2.BZ2File(raw)),
    "xz": lambda raw: cast(IO[bytes], lzma.LZMAFile(raw)),
    "zst": zstd_file,
}


COMPRESSED = {".gz": "gzip", ".bz2": "bz2", ".xz": "xz", ".zst": "zst"}  # by extension


def compression_of(path: str, given: str) -> str | None:
    """The compression a source is read through: --compression's, else its extension's (none for -)."""
    if given != "auto":
        return None if given == "none" else given
    return None if path == "-" else COMPRESSED.get(Path(path).suffix.lower())


class Source:
    """A file or standard input, read as UTF-8 (a byte-order mark is skipped), through a decompressor
    when compressed; knows how far it has read."""

    def __init__(self, path: str, compression: str | None = None) -> None:
        self.name = "<stdin>" if path == "-" else path
        if path == "-":
            self.file: IO[bytes] = sys.stdin.buffer
        else:
            try:
                self.file = open(path, "rb")  # noqa: SIM115 - closed by close()
            except OSError as e:
                raise CliError(f"{path}: {e.strerror}") from None
        try:
            st = os.fstat(self.file.fileno())
            self.size = st.st_size if stat.S_ISREG(st.st_mode) else None
        except (OSError, io.UnsupportedOperation):
            self.size = None
        self.compression = compression
        try:
            self.raw = DECOMPRESS[compression](self.file) if compression else self.file
        except CliError as e:
            self.close()
            raise CliError(f"{self.name}: {e}") from None
        self.started = False

    @contextlib.contextmanager
    def reading(self, line: Callable[[], int] | None = None) -> Iterator[None]:
        """A decompressor's complaint as the source's error (at the line reached, when known)."""
        try:
            yield
        except (OSError, EOFError, lzma.LZMAError, zlib.error) as e:
            if not self.compression:
                raise
            what = f"cannot read it as {self.compression} data: {e}"
            raise (self.error(line(), what) if line else CliError(f"{self.name}: {what}")) from None

    def read(self, n: int) -> bytes:
        """Up to n bytes, at least one unless the source has ended; the byte-order mark left out."""
        with self.reading():
            block = self.raw.read1(n) if isinstance(self.raw, io.BufferedReader) else self.raw.read(n)
            if not self.started:
                while len(block) < 3 and (more := self.raw.read(3 - len(block))):
                    block += more
        if not self.started:
            self.started = True
            if block.startswith(BOM):
                return block[3:] or self.read(n)  # nothing after the mark yet is not the end
        return block

    def lines(self) -> Iterator[tuple[int, str]]:
        """(number, text) of each line ("\n" ends one; JSON takes "\r" as blank space)."""
        number = 0
        with self.reading(lambda: number + 1):
            for raw in self.raw:
                number += 1
                try:
                    text = (raw.removeprefix(BOM) if number == 1 else raw).decode("utf-8")
                except UnicodeDecodeError as e:
                    raise self.error(number, f"not UTF-8 text (byte {e.object[e.start]:#04x})") from None
                yield number, text

    def share_read(self) -> float | None:
        """The share of the file read (of the compressed bytes, when it is compressed)."""
        if not self.size:
            return None
        try:
            return min(self.file.tell() / self.size, 1.0)
        except (OSError, ValueError):
            return None

    def error(self, line: int, what: str) -> CliError:
        return CliError(f"{self.name}:{line}: {what}")

    def seekable(self) -> bool:
        """Whether it can be read again from its start (a regular file)."""
        return self.size is not None and self.file is not sys.stdin.buffer

    def rewind(self) -> None:
        self.raw.seek(0)
        self.started = False

    def close(self) -> None:
        if getattr(self, "raw", self.file) is not self.file:
            self.raw.close()
        if self.file is not sys.stdin.buffer:
            self.file.close()


class Rows:
    """The rows of a source in the table's column order, converted, a chunk at a time."""

    source: Source
    header: list[str]
    order: tuple[int, ...] | None = None  # source positions of the table's columns (-1: none); None: as read
    line = 0  # the last line read

    require_all: tuple[str, str] | None = None  # (table, why): a source without some of its columns is refused
    letters = ""  # JSON Lines: how each column converts a value (JSON_CONVERT's keys)

    def chunks(self, size: int) -> Iterator[list[Sequence[Any]]]:
        raise NotImplementedError

    def infer(self, limit: int | None) -> list[str]:
        raise NotImplementedError

    def check_all(self, line: int, names: tuple[str, ...], columns: list[str]) -> None:
        """With require_all, every column of the table must be among `names`: else the rows a merge
        replaces would lose those columns' values."""
        if self.require_all is None:
            return
        given = {n.lower() for n in names}
        lacking = [c for c in columns if c.lower() not in given]
        if lacking:
            table, why = self.require_all
            raise self.source.error(line, f"no column {', '.join(map(repr, lacking))} of table {table} here: with "
                                    f"{why}, the rows replaced would lose their values; give --missing null if "
                                    "they are meant to be NULL")

    def bind(self, columns: list[str]) -> None:
        """Fixes the order of the values to that of the table's `columns`; the header names a subset."""
        at = {name.lower(): i for i, name in enumerate(self.header)}
        order = tuple(at.get(c.lower(), -1) for c in columns)
        self.order = None if order == tuple(range(len(self.header))) else order


class DelimitedRows(Rows):
    """CSV (RFC 4180, as spreadsheets write it) or TSV with the same quoting; the compiled module parses and
    converts a block at a time. Blank lines hold no row."""

    def __init__(self, source: Source, delimiter: str, convert: bool) -> None:
        # True/False: each value by its own rule, or text; later a letter per column for its declared type
        self.source, self.delimiter = source, delimiter
        self.convert: bool | str = convert
        self.data, self.pos, self.ended = b"", 0, False
        header = self.parse(None, None, 1)
        if not header:
            raise source.error(1, "no header row (the source is empty)")
        self.header = list(header[0])
        self.width = len(self.header)

    def parse(self, convert: Any, shape: tuple[int, tuple[int, ...] | None] | None, limit: int,
              keep: bool = False, into: tuple[sqlite3.Connection, str] | None = None) -> Any:
        """Up to `limit` records (their number, for the first pass, or staged `into` a table); with `keep`,
        the data read stays."""
        while True:
            if into is None:
                rows, self.pos, self.line, stop = mv._parse_csv(self.data, self.pos, self.line, self.ended,
                                                               self.delimiter, convert, shape, limit)
            else:
                rows, self.pos, self.line, stop = mv._stage_csv(*into, self.data, self.pos, self.line, self.ended,
                                                               self.delimiter, convert, shape, limit)
            if stop:
                line, what, *field = cast("tuple[int, str, *tuple[int, ...]]", stop)
                raise self.source.error(line, f"{self.header[field[0]]}: {what}" if field else what)
            if rows or self.ended:
                return rows
            # No whole record left: read on, as much again as is waiting, so that a record longer than a
            # block is not parsed over and over.
            block = self.source.read(max(BLOCK, len(self.data) - self.pos))
            if keep:
                self.data, self.ended = self.data + block, not block
            else:
                self.data, self.pos, self.ended = self.data[self.pos:] + block, 0, not block

    def infer(self, limit: int | None) -> list[str]:
        """Each column's type from its fields: of the whole source (read again afterwards), or, when it
        cannot be read again, of its first `limit` records (kept, and converted by those types)."""
        kinds = bytearray(b"n" * self.width)
        seekable = self.source.seekable()
        start, line = self.pos, self.line
        left = sys.maxsize if seekable or limit is None else limit
        while left > 0 and kinds.count(b"t") < self.width:  # all text: nothing more to tell
            n = self.parse(kinds, (self.width, None), min(left, 1 << 20), keep=not seekable)
            if not n:
                break
            left -= n
        if seekable:
            self.source.rewind()
            self.data, self.pos, self.line, self.ended = b"", 0, 0, False
            self.parse(None, None, 1)
        else:
            self.pos, self.line = start, line
        return [TYPES[chr(k)] for k in kinds]

    def chunks(self, size: int) -> Iterator[list[Sequence[Any]]]:
        while rows := self.parse(self.convert, (self.width, self.order), size):
            yield rows

    def stage(self, conn: sqlite3.Connection, table: str, size: int) -> Iterator[int]:
        """The rows staged in `table` as they are parsed, with no Python object per value: how many at a
        time, `size` at most."""
        while staged := self.parse(self.convert, (self.width, self.order), size, into=(conn, table)):
            yield staged


def field_value(text: str) -> Any:
    """What a load stores for one non-empty CSV field of this text: the lossless rule, from the same
    compiled conversion."""
    if not text or not text.isascii():  # no number is written otherwise
        return text
    quoted = '"' + text.replace('"', '""') + '"\n'
    rows, *_ = mv._parse_csv(quoted.encode(), 0, 0, True, ",", True, (1, None), 1)
    return rows[0][0]


def json_number(text: str) -> float | str:
    """A JSON number with a fraction or exponent; one beyond a float's range keeps its text."""
    value = float(text)
    return value if math.isfinite(value) else text


def no_constant(name: str) -> None:
    raise ValueError(f"{name} is not JSON")


def json_value(value: Any) -> Any:
    """A top-level JSON value as read: NESTED for an object or an array, whose source text is stored;
    others as the decoder gives them (a number beyond a float's range as its text)."""
    kind = type(value)
    if kind is tuple or kind is list:
        return NESTED
    return value


def untyped_json(value: Any) -> Any:
    """A JSON value into a column without a type: null is NULL, true and false are 1 and 0 (SQLite has no
    booleans), an integer beyond 64 bits keeps its text."""
    kind = type(value)
    if kind is bool:
        return int(value)
    if kind is int:
        return value if value in INT64 else str(value)
    return value


def text_json(value: Any) -> Any:
    """A JSON value into a TEXT column: a text as it is, true and false as JSON writes them, a number as
    its shortest text (``1.10`` is ``1.1``)."""
    kind = type(value)
    if kind is str or value is None:
        return value
    if kind is bool:
        return "true" if value else "false"
    return repr(value) if kind is float else str(value)


def integer_json(value: Any) -> Any:
    """A JSON value into an INTEGER column: a JSON integer within 64 bits, true and false as 1 and 0 (as
    SQLite writes booleans); anything else would change."""
    if value is None or (type(value) is int and value in INT64):
        return value
    if type(value) is bool:
        return int(value)
    raise JsonTypeError(value, "a JSON integer within 64 bits", "INTEGER")


def real_json(value: Any) -> Any:
    """A JSON value into a REAL column: a finite number, an integer only where a double holds it exactly
    (true and false are 1 and 0)."""
    kind = type(value)
    if value is None or kind is float:
        return value
    if kind is bool or kind is int and int(float(value)) == value:
        return float(value)
    raise JsonTypeError(value, "a JSON number that a REAL holds exactly", "REAL")


class JsonTypeError(ValueError):
    def __init__(self, value: Any, wanted: str, column_type: str) -> None:
        shown = json.dumps(value, ensure_ascii=False)
        super().__init__(f"{shown if len(shown) <= 40 else shown[:37] + '...'} is not {wanted} (the column is "
                         f"{column_type})")


JSON_CONVERT = {"v": untyped_json, "t": text_json, "i": integer_json, "r": real_json}


AS_IS: dict[str, set[type]] = {"v": {str, int, float, type(None)}, "t": {str, type(None)}, "i": {int, type(None)},
         "r": {float, type(None)}}  # the types of values that a column stores as they are (ints within 64 bits)


DOUBLE_INT = 2**53  # integers up to this size a double holds, whatever their value


def json_kind(value: Any) -> str:
    """What one JSON value allows its column to be: "n" (null: anything), "i" (an integer that a double
    holds, true and false too), "I" (an integer within 64 bits that a double does not), "r" (a finite
    number), "t" (text)."""
    kind = type(value)
    if value is None:
        return "n"
    if kind is bool:
        return "i"
    if kind is int:
        if value not in INT64:
            return "t"
        return "i" if int(float(value)) == value else "I"
    if kind is float:
        return "r" if math.isfinite(value) else "t"  # beyond a float's range: kept as its text
    return "t"  # a string, a nested value, a number beyond a float's range


# The kind of a column that held kinds a and b: JOIN[a + b].
JOIN = {a + b: (a if a == b else b if a == "n" else a if b == "n" else
                "r" if {a, b} == {"i", "r"} else "I" if {a, b} == {"i", "I"} else "t")
        for a in "niIrt" for b in "niIrt"}


JSON_TYPES = {"n": "TEXT", "i": "INTEGER", "I": "INTEGER", "r": "REAL", "t": "TEXT"}


NESTED = object()  # a nested object or array, stored as written on its line


_BLANK, _STRING = r"[ \t\n\r]*", r'"[^"\\]*(?:\\.[^"\\]*)*"'
BLANK = re.compile(_BLANK)


_KEY = rf"{_BLANK}[{{,]{_BLANK}{_STRING}{_BLANK}:{_BLANK}"


TO_NESTED = re.compile(rf"(?:{_KEY}(?:{_STRING}|[-+.0-9A-Za-z]+))*{_KEY}(?=[\[{{])")


SURROGATE = re.compile("[\ud800-\udfff]")


SURROGATE_ESCAPE = re.compile(r"\\u[dD][89a-fA-F]")


KEYS_KEPT = 4096  # distinct key lists whose column positions are remembered


class JsonRows(Rows):
    """One JSON object per line, its keys the columns; blank lines are skipped. The header, for a table
    that is created, is the keys of the first object. An object or array inside a line's object is stored
    as its text on the line, exactly as written."""

    def __init__(self, source: Source) -> None:
        self.source = source
        # Objects come as tuples of (key, value) pairs: keys that repeat are seen, and arrays are lists.
        # The scanners of json.JSONDecoder, called directly: its decode adds two calls in Python to each line.
        Scan = Callable[[str, int], tuple[Any, int]]
        decoder = json.JSONDecoder(parse_float=json_number, parse_constant=no_constant, object_pairs_hook=tuple)
        self.scan_line: Scan = decoder.scan_once  # type: ignore[attr-defined]
        self.scan_nested: Scan = json.JSONDecoder().scan_once  # type: ignore[attr-defined]
        # The first pass only tells types: floats as the C scanner reads them (beyond range: infinite).
        self.scan_types: Scan = json.JSONDecoder(object_pairs_hook=tuple).scan_once  # type: ignore[attr-defined]
        self.lines = source.lines()
        self.pending = self.next_object()
        if self.pending is None:
            raise source.error(1, "no JSON object (the source is empty)")
        number, keys, _ = self.pending
        self.check_keys(number, keys)
        self.header = list(keys)
        self.letters = "v" * len(keys)  # how each column converts a value: JSON_CONVERT's keys
        self.kept: list[tuple[int, tuple[str, ...], list[Any]]] = []  # objects read by infer, not yet given

    def take(self) -> tuple[int, tuple[str, ...], list[Any]] | None:
        return self.kept.pop() if self.kept else self.next_object()

    def infer(self, limit: int | None) -> list[str]:
        """Each column's type from its values: of the whole source (read again afterwards), or, when it
        cannot be read again, of its first `limit` objects (kept, and converted by those types)."""
        at = {c.lower(): i for i, c in enumerate(self.header)}
        kinds = ["n"] * len(self.header)
        assert self.pending is not None
        if self.source.seekable():
            self.infer_all(kinds, at, self.pending[1:])
            self.source.rewind()
            self.lines = self.source.lines()
            self.pending = self.next_object()
            return [JSON_TYPES[k] for k in kinds]
        left = sys.maxsize if limit is None else limit
        kept = []
        obj: tuple[int, tuple[str, ...], list[Any]] | None = self.pending
        while obj is not None and left > 0 and kinds.count("t") < len(kinds):
            _, keys, values = obj
            for key, value in zip(keys, values):
                i = at.get(key.lower())
                if i is not None:
                    kinds[i] = JOIN[kinds[i] + json_kind(value)]
            left -= 1
            kept.append(obj)
            obj = self.next_object() if left > 0 else None
        if obj is not None:  # read, not yet told: every column was TEXT already
            kept.append(obj)
        self.pending = kept[0]
        self.kept = kept[:0:-1]  # taken from the end
        return [JSON_TYPES[k] for k in kinds]

    def next_object(self) -> tuple[int, tuple[str, ...], list[Any]] | None:
        """(line number, keys, values as stored) of the next object."""
        for number, line in self.lines:
            self.line = number
            if not line or line.isspace():
                continue
            text = line  # its "\r\n" is blank space to JSON
            try:
                obj = self.decode(text)
                if type(obj) is not tuple:
                    raise self.source.error(number, f"not a JSON object but {type(obj).__name__}")
                if not obj:
                    return number, (), []
                keys, values = zip(*obj)
                row = list(map(json_value, values))
                if NESTED in row:
                    texts = self.nested_texts(text)
                    row = [next(texts) if v is NESTED else v for v in row]
            except json.JSONDecodeError as e:
                column = min(e.pos, len(text.rstrip("\r\n"))) + 1
                raise self.source.error(number, f"bad JSON: {e.msg} (column {column})") from None
            except RecursionError:
                raise self.source.error(number, "bad JSON: nested too deeply") from None
            except ValueError as e:
                raise self.source.error(number, f"bad JSON: {e}") from None
            if "\\u" in text and SURROGATE_ESCAPE.search(text):  # only an escape makes a lone surrogate
                for key, value in zip(keys, row):
                    if type(value) is str and (bad := SURROGATE.search(value)):
                        raise self.source.error(number, f"the value of {key!r} holds \\u{ord(bad[0]):04x}, a lone "
                                                "surrogate, which text cannot hold")
            return number, keys, row
        return None

    def decode(self, text: str, scan: Callable[[str, int], tuple[Any, int]] | None = None) -> Any:
        """json.JSONDecoder.decode of a line."""
        blank = BLANK.match
        try:
            obj, end = (scan or self.scan_line)(text, blank(text).end())  # type: ignore[union-attr]
        except StopIteration as e:
            raise json.JSONDecodeError("Expecting value", text, e.value) from None
        end = blank(text, end).end()  # type: ignore[union-attr]
        if end != len(text):
            raise json.JSONDecodeError("Extra data", text, end)
        return obj

    def nested_texts(self, text: str) -> Iterator[str]:
        """The source text of each nested value of the object on `text` (valid JSON), in order."""
        at = 0
        while True:
            start = TO_NESTED.match(text, at).end()  # type: ignore[union-attr]
            at = self.scan_nested(text, start)[1]
            yield text[start:at]

    def check_keys(self, number: int, keys: tuple[str, ...]) -> None:
        seen: dict[str, str] = {}
        for key in keys:
            first = seen.get(key.lower())
            if first == key:
                raise self.source.error(number, f"key {key!r} appears twice")
            if first is not None:
                raise self.source.error(number, f"keys {first!r} and {key!r} name one column (case does not count)")
            seen[key.lower()] = key

    def infer_all(self, kinds: list[str], at: dict[str, int], first: tuple[tuple[str, ...], list[Any]]) -> None:
        """The first pass over a whole file, from the `first` object's (keys, values) on: only the types of
        the values, read from the decoded pairs. A line that is wrong ends it: the pass that stages the rows
        refuses that line. Lines of the same keys and the same types of values tell nothing new, but for
        integers that a double may not hold: the integers' places are kept for each such shape."""
        shapes: dict[tuple[tuple[str, ...], tuple[type, ...]], tuple[tuple[int, int], ...]] = {}

        def pairs() -> Iterator[tuple[tuple[str, ...], Sequence[Any]]]:
            yield first
            for _, line in self.lines:
                if not line or line.isspace():
                    continue
                try:
                    obj = self.decode(line, self.scan_types)
                except (ValueError, RecursionError):
                    return
                if type(obj) is not tuple:
                    return
                if obj:
                    keys, values = zip(*obj)
                    yield keys, values

        for keys, values in pairs():
            shape = (keys, tuple(map(type, values)))
            ints = shapes.get(shape)
            if ints is None:
                if len(shapes) >= KEYS_KEPT:
                    shapes.clear()
                places = [at.get(key.lower()) for key in keys]
                for i, value in zip(places, values):
                    if i is not None:
                        kinds[i] = JOIN[kinds[i] + json_kind(value)]
                if kinds.count("t") == len(kinds):
                    return
                shapes[shape] = tuple((n, i) for n, (i, t) in enumerate(zip(places, shape[1])) if i is not None and t is int)
            else:
                for n, i in ints:
                    if not -DOUBLE_INT <= values[n] <= DOUBLE_INT:
                        kinds[i] = JOIN[kinds[i] + json_kind(values[n])]

    def chunks(self, size: int) -> Iterator[list[Sequence[Any]]]:
        columns = self.header
        at = {c.lower(): i for i, c in enumerate(columns)}
        width = len(columns)
        in_order = tuple(columns)
        places: dict[tuple[str, ...], tuple[int, ...]] = {}  # a line's keys: their columns

        def place(number: int, keys: tuple[str, ...]) -> tuple[int, ...]:
            self.check_keys(number, keys)
            missing = [k for k in keys if k.lower() not in at]
            if missing:
                raise self.source.error(number, f"column {missing[0]!r} is not in the table ({', '.join(columns)})")
            if len(places) >= KEYS_KEPT:
                places.clear()
            self.check_all(number, keys, columns)
            places[keys] = found = tuple(at[k.lower()] for k in keys)
            return found

        letters = self.letters
        converts = [JSON_CONVERT[c] for c in letters]
        untyped = letters == "v" * width
        # Rows whose values are all of the types their columns take as they are (integers within 64 bits
        # aside) need no conversion: by the types of its values, whether a row is such, and where its
        # integers are.
        # By the types of a row's values: where its integers are, and which values are not of a type
        # their column takes as it is.
        shapes: dict[tuple[type, ...], tuple[tuple[int, ...], tuple[int, ...]]] = {}

        def converted(number: int, row: list[Any]) -> list[Any]:
            types = tuple(map(type, row))
            shape = shapes.get(types)
            if shape is None:
                if len(shapes) >= KEYS_KEPT:
                    shapes.clear()
                shapes[types] = shape = (tuple(i for i, t in enumerate(types) if t is int),
                                         tuple(i for i, (t, c) in enumerate(zip(types, letters)) if t not in AS_IS[c]))
            ints, others = shape
            try:
                if all(row[i] in INT64 for i in ints):
                    for i in others:
                        row[i] = converts[i](row[i])
                    return row
                return list(map(untyped_json, row)) if untyped else [f(v) for f, v in zip(converts, row)]
            except JsonTypeError:
                for column, f, v in zip(columns, converts, row):
                    try:
                        f(v)
                    except JsonTypeError as e:
                        raise self.source.error(number, f"{column}: {e}") from None
                raise

        while self.pending is not None:
            chunk: list[Sequence[Any]] = []
            while self.pending is not None and len(chunk) < size:
                number, keys, values = self.pending
                if keys == in_order:
                    chunk.append(converted(number, values))
                else:
                    where = places.get(keys) or place(number, keys)
                    row: list[Any] = [None] * width
                    for i, value in zip(where, values):
                        row[i] = value
                    chunk.append(converted(number, row))
                self.pending = self.take()
            yield chunk

    def bind(self, columns: list[str]) -> None:
        # Every line is matched by its own keys: the first one's are only a header for a new table.
        if len(columns) != len(self.letters):
            self.letters = "v" * len(columns)
        self.header = list(columns)
        self.order = None


class ArrowRows(Rows):
    """The rows of a Parquet or Arrow IPC file, staged from its Arrow stream; its schema types a new table."""

    source: ColumnarSource  # type: ignore[assignment]

    def __init__(self, source: ColumnarSource) -> None:
        self.source = source
        self.header = list(source.schema.names)

    def infer(self, limit: int | None) -> list[str]:
        return [declared_type(t) for t in self.source.schema.types]


def open_rows(source: Source, fmt: str, convert: bool, delimiter: str | None = None) -> Rows:
    if fmt == "jsonl":
        if delimiter is not None:
            raise CliError(f"{source.name}: --delimiter is for CSV and TSV, not JSON Lines")
        return JsonRows(source)
    return DelimitedRows(source, delimiter or ("\t" if fmt == "tsv" else ","), convert)


def format_of(path: str, given: str | None) -> str:
    """--format, else the extension's (the one before a compression's: rows.csv.gz is CSV)."""
    if given:
        return given
    if path == "-":
        return "csv"
    name = Path(path)
    if name.suffix.lower() in COMPRESSED:
        name = name.with_suffix("")
    fmt = FORMATS.get(name.suffix.lower())
    if fmt is None:
        raise CliError(f"{path}: cannot tell the format from the name: give --format csv, tsv, jsonl, parquet or "
                       "arrow")
    return fmt


def delimiter(text: str) -> str:
    if len(text) != 1 or not text.isascii() or text in '"\r\n':
        raise argparse.ArgumentTypeError(f"takes one ASCII character other than a quote or a line end, not {text!r}")
    return text


class Progress:
    """One line on standard error, rewritten a few times a second: rows, rows per second, share read."""

    def __init__(self, source: Source | ColumnarSource, shown: bool) -> None:
        self.source, self.shown = source, shown
        self.start = self.last = time.perf_counter()
        self.written = False

    def update(self, rows: int) -> None:
        now = time.perf_counter()
        if not self.shown or (self.written and now - self.last < 0.2):  # the first chunk shows at once
            return
        self.last = now
        rate = rows / (now - self.start)
        share = self.source.share_read()
        of = f", {share:.0%} of {self.source.name}" if share is not None else ""
        sys.stderr.write(f"\r{rows:,} rows, {rate:,.0f} rows/s{of}\x1b[K")
        sys.stderr.flush()
        self.written = True

    def phase(self, what: str) -> None:
        """A step after the reading, shown at once: the line does not stand at the share read meanwhile."""
        if self.shown:
            sys.stderr.write(f"\r{what}\x1b[K")
            sys.stderr.flush()
            self.written = True

    def clear(self) -> None:
        if self.written:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


def column_list(text: str, option: str) -> list[str]:
    names = [c.strip() for c in text.split(",")]
    if not all(names):
        raise argparse.ArgumentTypeError(f"{option} takes column names joined by commas, not {text!r}")
    return names


def plain_name(name: str, what: str, where: Callable[[str], CliError]) -> str:
    # Names are written into the statements as they are: only plain identifiers are taken.
    if not PLAIN_NAME.match(name):
        raise where(f"{what} {name!r} is not a plain name (letters, digits and _, not starting with a digit)")
    return name


def positions(keys: list[list[str]], header: list[str], what: str, where: Callable[[str], CliError]) -> list[list[int]]:
    at = {c.lower(): i for i, c in enumerate(header)}
    out = []
    for key in keys:
        missing = [c for c in key if c.lower() not in at]
        if missing:
            raise where(f"{what} column {missing[0]!r} is not in the source ({', '.join(header)})")
        out.append([at[c.lower()] for c in key])
    return out


def check_header(header: list[str], where: Callable[[str], CliError]) -> None:
    """Every name of the header can be a column: not empty, not one that hides the rowid, none twice."""
    seen: dict[str, int] = {}
    for at, name in enumerate(header, 1):
        if not name.strip():
            hint = (": a file written by pandas holds its index there (write it with to_csv(index=False))"
                    if at == 1 else ": give it a name")
            raise where(f"column {at} of the header has no name{hint}")
        if hides_rowid(name):
            raise where(f"column {at} of the header, {name!r}, would hide the rowid that staging, the merge and "
                        "the queries identify rows by: rename it")
        first = seen.setdefault(name.lower(), at)
        if first != at:
            raise where(f"column {at} of the header, {name!r}, repeats column {first} (case does not count): "
                        "rename one of them")


def sql_name(conn: sqlite3.Connection, name: str) -> str:
    """A column's name as a statement writes it: as it is when SQLite reads it so, else quoted."""
    if PLAIN_NAME.match(name):
        try:
            conn.execute(f"SELECT 0 AS {name}")
            return name
        except sqlite3.Error:  # a keyword ("order", "when")
            pass
    return ident(name)


def names_of(columns: str) -> tuple[str, ...]:
    """The column names of a catalog row's column list ('a,"dep time"'), unquoted, in lower case."""
    out, name, quoted, i = [], "", False, 0
    while i < len(columns):
        c = columns[i]
        if quoted and c == '"' and columns[i + 1:i + 2] == '"':
            name, i = name + '"', i + 1
        elif c == '"':
            quoted = not quoted
        elif c == "," and not quoted:
            out.append(name.strip().lower())
            name = ""
        else:
            name += c
        i += 1
    out.append(name.strip().lower())
    return tuple(out)


def column_types(rows: Rows, args: argparse.Namespace) -> list[str]:
    """The declared type of each column of a new table: --type, or every TEXT with --no-convert, or what
    all its fields allow (a first pass over them)."""
    at = {c.lower(): i for i, c in enumerate(rows.header)}
    types: list[str | None] = [None] * len(rows.header)
    for name, kind in args.type:
        if name.lower() not in at:
            raise rows.source.error(1, f"--type column {name!r} is not in the source ({', '.join(rows.header)})")
        types[at[name.lower()]] = kind
    if args.no_convert:
        return [t or "TEXT" for t in types]
    if None in types:
        told = rows.infer(None if rows.source.seekable() else args.batch)
        types = [t or k for t, k in zip(types, told)]
    return [t or "TEXT" for t in types]


def create(conn: sqlite3.Connection, table: str, rows: Rows, args: argparse.Namespace) -> None:
    def header_error(what: str) -> CliError:
        return rows.source.error(1, what)

    plain_name(table, "table name", lambda what: CliError(f"{args.file}: {what}"))
    uniques = positions(args.unique, rows.header, "--unique", header_error)
    indexes = positions(args.index, rows.header, "--index", header_error)
    clash = [t for t in (table, f"temp_{table}") if conn.execute(
        "SELECT 1 FROM sqlite_master WHERE type IN ('table', 'view') AND name = ? COLLATE NOCASE", (t,)).fetchone()]
    if clash:
        raise CliError(f"{args.file}: {clash[0]!r} exists but {table!r} is not a managed table; load would replace it")
    types = column_types(rows, args)
    names = [sql_name(conn, c) for c in rows.header]
    definitions = [f"{n} {t}" if t else n for n, t in zip(names, types)]
    if isinstance(rows, DelimitedRows):
        rows.convert = "".join(LETTERS[t] for t in types)
    elif isinstance(rows, JsonRows):
        rows.letters = "".join(LETTERS[t] for t in types)
    try:
        mv.create_table(conn, table, definitions,
                        [{"name": f"index_{i}", "cols": ",".join(names[p] for p in key)}
                         for i, key in enumerate(indexes)],
                        [{"name": f"unique_{i}", "cols": key} for i, key in enumerate(uniques)], False)
    except sqlite3.Error as e:
        raise header_error(f"cannot create table {table} with these columns: {e}") from None


def check_keys(conn: sqlite3.Connection, table: str, args: argparse.Namespace) -> None:
    """--unique and --index on an existing table must name keys and indexes it has: load changes no key."""

    def lists(sql: str) -> set[tuple[str, ...]]:
        return {names_of(str(cols)) for (cols,) in conn.execute(sql, (table,))}

    uniques = lists("SELECT columns FROM unique_table WHERE table_name = ?")
    indexes = lists("SELECT columns FROM index_table WHERE table_name = ?")
    for option, given, has in (("--unique", args.unique, uniques), ("--index", args.index, indexes)):
        for key in given:
            if tuple(c.lower() for c in key) not in has:
                raise CliError(f"{args.file}: table {table} has no {option[2:]} key ({','.join(key)}); "
                               "load creates keys only with the table")


def target(conn: sqlite3.Connection, rows: Rows, args: argparse.Namespace) -> tuple[str, bool]:
    """The managed table to load into, created from the header when missing; (name, created)."""
    found = [t for t in managed_names(conn) if t.lower() == args.table.lower()]
    if not found:
        check_header(rows.header, lambda what: rows.source.error(1, what))
        create(conn, args.table, rows, args)
        return args.table, True
    table = callable_table(args.file, found[0], "load")
    check_keys(conn, table, args)
    if args.type:
        raise CliError(f"{args.file}: table {table} exists: its columns keep their types (--type is for a new table)")
    info = [(r[1], str(r[2] or "")) for r in conn.execute(f"PRAGMA table_info({ident(table)})")]
    columns = [name for name, _ in info]
    for column in filter(hides_rowid, columns):
        raise rowid_error(args.file, table, column)
    check_header(rows.header, lambda what: rows.source.error(1, what))
    known = {c.lower() for c in columns}
    # Each field as its column's declared type keeps it; a table without types keeps the rule of each
    # value (or text, with --no-convert).
    letters = {name.lower(): declared_letter(kind) for name, kind in info}
    if isinstance(rows, (DelimitedRows, ArrowRows)):
        unknown = [c for c in rows.header if c.lower() not in known]
        if unknown:
            raise rows.source.error(1, f"column {unknown[0]!r} is not in table {table} ({', '.join(columns)})")
    if isinstance(rows, DelimitedRows):
        if any(v != "v" for v in letters.values()):
            untyped = "t" if args.no_convert else "v"
            rows.convert = "".join(letters[c.lower()].replace("v", untyped) for c in rows.header)
    elif isinstance(rows, JsonRows):
        rows.letters = "".join(letters[c.lower()] for c in columns)
    if args.missing != "null" and (args.merge or conn.execute(
            "SELECT 1 FROM unique_table WHERE table_name = ? LIMIT 1", (table,)).fetchone()):
        rows.require_all = (table, "--merge" if args.merge else "its unique keys")
        if isinstance(rows, (DelimitedRows, ArrowRows)):
            rows.check_all(1, tuple(rows.header), columns)
    rows.bind(columns)
    return table, False


def merge(conn: sqlite3.Connection, table: str) -> str:
    """morvel.merge inside the load's transaction, and what it did."""
    before = int(conn.execute(f"SELECT count(*) FROM {ident(table)}").fetchone()[0])
    return f"merge: {merged(morvel.merge(conn, table, False), before)}"


class Loading:
    """What `load` works on: FILE opened (created when missing) and the source's rows, their header read."""

    def __init__(self, db: Database, rows: Rows) -> None:
        self.db, self.rows = db, rows

    def close(self) -> None:
        self.db.close()


def cmd_load(loading: Loading, args: argparse.Namespace) -> None:
    conn, rows = loading.db.conn, loading.rows
    source = rows.source
    progress = Progress(source, sys.stderr.isatty() and not args.quiet)
    read = 0

    def converted() -> Iterator[list[Sequence[Any]]]:
        nonlocal read
        for chunk in rows.chunks(min(CHUNK, args.batch)):
            yield chunk
            read += len(chunk)
            progress.update(read)

    start = time.perf_counter()
    try:
        try:
            begin_write(conn)
            morvel.prepare(conn)
            table, created = target(conn, rows, args)
            if isinstance(rows, ArrowRows):
                staged = load_arrow(conn, table, rows, progress)
            elif isinstance(rows, DelimitedRows):
                staged = 0
                for n in rows.stage(conn, table, min(CHUNK, args.batch)):
                    staged += n
                    progress.update(staged)
            else:
                staged = morvel.load(conn, table, itertools.chain.from_iterable(converted()), False, batch=args.batch)
            if args.merge:
                progress.phase(f"{staged:,} row{'s' * (staged != 1)} staged; merging into {table}...")
            merged = merge(conn, table) if args.merge else None
            conn.commit()
        except KeyboardInterrupt:
            raise Interrupted(f"{source.name}:{rows.line}: interrupted") from None
        finally:
            progress.clear()
    except BaseException:
        # Nothing of this load stays: the transaction goes, and so does a file it created, unless another
        # connection has it open (a load waiting for this one's lock, say) or wrote to it.
        with contextlib.suppress(sqlite3.Error):
            conn.rollback()
        if loading.db.created:
            loading.db.remove_unused()
        raise
    finally:
        source.close()
    elapsed = time.perf_counter() - start
    what = f"{table}: {'new table; ' if created else ''}{plural(staged, 'row')} staged from {source.name}"
    print(f"{what}; {merged + '; ' if merged else ''}{elapsed:.3f} s")


def load_arrow(conn: sqlite3.Connection, table: str, rows: ArrowRows, progress: Progress) -> int:
    """The file's Arrow stream staged as it is read; a value or type the module refuses names the column."""
    try:
        # the columns it lacks were refused already unless they are meant to be NULL
        return morvel.load(conn, table, rows.source.stream(progress.update), False, missing="null")
    except ValueError as e:
        raise CliError(f"{rows.source.name}: {e}") from None


def open_for_load(args: argparse.Namespace) -> Loading:
    """Reads the source's header, then opens FILE, creating it when missing (the catalog comes with the load)."""
    fmt = format_of(args.source, args.format)
    if fmt in COLUMNAR.values():
        if args.source == "-" or args.compression not in ("auto", "none") or args.delimiter or args.no_convert:
            raise CliError(f"{args.source}: a {fmt} file is read as it is: from a file, without --compression, "
                           "--delimiter or --no-convert")
        arrow_rows = ArrowRows(ColumnarSource(args.source, fmt))
        try:
            return Loading(Database(args.file, args.timeout, create=True), arrow_rows)
        except BaseException:
            arrow_rows.source.close()
            raise
    source = Source(args.source, compression_of(args.source, args.compression))
    try:
        rows = open_rows(source, fmt, not args.no_convert, args.delimiter)
        return Loading(Database(args.file, args.timeout, create=True), rows)
    except BaseException:
        source.close()
        raise


def column_type(text: str) -> tuple[str, str]:
    name, _, kind = text.rpartition("=")
    if not name.strip() or kind.strip().upper() not in LETTERS:
        raise argparse.ArgumentTypeError(f"takes COL=integer, COL=real or COL=text, not {text!r}")
    return name.strip(), kind.strip().upper()


def batch_size(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        n = 0
    if n < 1:
        raise argparse.ArgumentTypeError(f"must be a number of rows >= 1, not {text!r}")
    return min(n, sys.maxsize)  # no source has more rows: a larger batch stages the same, all at once


def add_parser(sub: Any) -> None:
    p = sub.add_parser(
        "load",
        help="stage rows from CSV, TSV, JSON Lines, Parquet or Arrow files into a table, all or nothing",
        description="Stage the rows of SOURCE into TABLE of FILE in one transaction: all of them, or "
        "nothing when a row is wrong (the line is named) or Ctrl-C stops it. FILE and TABLE are created "
        "when missing, TABLE with the source's columns in order, each of one type that all its fields allow "
        "(INTEGER: 645, -3; REAL: those and 17.00, 1.5e-05; TEXT: 0517, +3 or any other text anywhere), or "
        "of its --type. Values are kept as written: an empty field is NULL; an existing table's types "
        "convert the fields, and a field its column's type would change stops the load; a column without "
        "a type makes a number of a field only when the number written back is the same text (645, "
        "-3, 1.5; but 00645, +3, 1.50, 1e3 stay text); JSON Lines by JSON's types (INTEGER, true and false "
        "as 1 and 0; REAL; TEXT for strings, where true and false are those words), an "
        "object or array inside a line's object is stored as its text on the line, and a line whose keys "
        "repeat or differ only in case is wrong. A FILE that the load created is removed again when it "
        "fails, unless another connection has it open or has written to it (another load waiting for this "
        "one's lock, say): then the file stays, without this load's rows.",
        epilog="Exit status: 0 on success, 1 when nothing was loaded, 130 when interrupted, 2 for wrong arguments.",
    )
    p.add_argument("file", metavar="FILE", help="the SQLite file (created with the catalog when missing)")
    p.add_argument("table", metavar="TABLE", help="a managed table, or a new one made from the source's columns")
    p.add_argument("source", metavar="SOURCE", help="a CSV, TSV or JSON Lines file, or - for standard input; a "
                   "Parquet (.parquet) or Arrow IPC (.arrow, .feather) file with pyarrow installed")
    p.add_argument("--unique", action="append", default=[], metavar="COLS",
                   type=lambda t: column_list(t, "--unique"),
                   help="a unique key of a new table, e.g. sku or name,address (repeatable)")
    p.add_argument("--index", action="append", default=[], metavar="COLS",
                   type=lambda t: column_list(t, "--index"), help="an index of a new table (repeatable)")
    p.add_argument("--merge", action="store_true", help="merge the staged rows into the main table afterwards")
    p.add_argument("--format", choices=["csv", "tsv", "jsonl", "parquet", "arrow"],
                   help="the source's format (default: from its extension; csv for standard input)")
    p.add_argument("--compression", choices=["auto", "none", "gzip", "bz2", "xz", "zst"], default="auto",
                   help="read the source through this decompressor (default: by the extension: .gz, .bz2, .xz, "
                   ".zst; none for standard input); zst needs Python 3.14")
    p.add_argument("--delimiter", type=delimiter, metavar="CHAR",
                   help="the field separator of CSV or TSV, one ASCII character such as ';' or '|' (default: ',' "
                   "for CSV, a tab for TSV)")
    p.add_argument("--type", action="append", default=[], metavar="COL=TYPE", type=column_type,
                   help="the type of a column of a new table: integer, real or text (repeatable; default: "
                   "what every field of the column allows)")
    p.add_argument("--no-convert", action="store_true",
                   help="keep every non-empty CSV/TSV field as text (a new table's columns are TEXT, for JSON Lines too)")
    p.add_argument("--missing", choices=["refuse", "null"], default="refuse",
                   help="a source without some of the table's columns, with --merge or into a table with unique "
                   "keys: refused (default), or those columns are NULL")
    p.add_argument("--batch", type=batch_size, default=100_000, metavar="N",
                   help="rows staged at a time, which bounds the memory (default: %(default)s)")
    p.add_argument("--quiet", action="store_true", help="no progress on standard error")
    p.add_argument("--timeout", type=seconds, default=2.0, metavar="SECONDS",
                   help="how long to wait for a database another connection holds locked (default: %(default)s)")
    p.set_defaults(run=cmd_load, opener=open_for_load)
