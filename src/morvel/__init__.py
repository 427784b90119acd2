"""Bulk-loaded SQLite tables with staging tables that can be queried before the merge.

The compiled module ``morvel.morvel`` holds the functions: ``from morvel.morvel import create_table, find``.
``prepare(conn)`` readies any connection's database for them; ``query(conn, table, ...)`` answers the rows
the main table will hold after the merge, before it; ``query_arrow`` answers them as Arrow data.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Iterable, Literal, Mapping, NamedTuple, Sequence, cast

if TYPE_CHECKING:
    from morvel.morvel import _Connection

__version__ = "0.1.0"

# The catalog statements exactly as DB sends them (catalog.hpp), so that a file reads the same whichever
# way it was prepared.
_CATALOG = (
    "\n            CREATE TABLE IF NOT EXISTS index_table (table_name, index_name, columns)\n        ",
    "\n            CREATE TABLE IF NOT EXISTS unique_table (table_name, unique_name, columns, col_num)\n        ",
)


def prepare(conn: _Connection) -> None:
    """Create the catalog tables index_table and unique_table on conn's database if they are missing.

    Sends the two CREATE TABLE IF NOT EXISTS statements that DB sends, on one conn.cursor(), so it works on
    any connection the module's functions take (an in-memory database included) and is harmless to repeat.
    It never commits: outside a transaction SQLite commits each statement on its own (a sqlite3.Connection
    opens none for them, so in_transaction stays False); inside an open transaction (or with
    autocommit=False) they join it and are saved by its commit, or undone by its rollback.
    """
    cur = conn.cursor()
    for statement in _CATALOG:
        cur.execute(statement)


def load(conn: _Connection, table: str, rows: Iterable[Sequence[Any]] | Iterable[Mapping[str, Any]],
         comm: bool | float = True, *, batch: int = 100_000, missing: Literal["refuse", "null"] = "refuse") -> int:
    """Stage every row of any iterable in temp_<table>; returns the number of rows staged.

    Rows go through insert_temp's own statement (its placeholders from the first row) and are checked as
    insert_temp checks them, but they are taken from `rows` `batch` at a time (each row's values as the row
    is taken), so a generator, a csv.reader or a cursor is staged in bounded memory. With comm True the load
    is all or nothing in every transaction mode: its own BEGIN IMMEDIATE ... commit when no transaction is
    open, a savepoint inside an open one, undone when a row is refused or the iterable raises (that error
    propagates). An empty iterable sends nothing.

    Rows may also be mappings of column names to values (dicts, df.to_dict("records"), polars' to_dicts()
    or iter_rows(named=True)): the first row decides, and a later row of the other kind is a TypeError.
    Each mapping is staged in the order of the table's columns, its keys matched to their names as SQLite
    matches names (ASCII letters without case); a key that is no column is a ValueError, a key that is not
    str a TypeError. A column the mapping lacks is NULL, unless the table has unique keys: the merge
    replaces main rows by those keys, and the values the row lacks would be lost, so such a row is refused
    (ValueError) unless missing="null" says they are meant to be NULL.

    numpy's integer, floating and bool scalars are stored as the INTEGER, REAL and 1/0 they hold (a float
    NaN as NULL, as for float("nan")); insert_temp binds them as the sqlite3 module does.
    """
    from morvel import morvel as native  # the compiled module is imported by its first use, not by the package

    return native._load(conn, table, rows, comm, batch, missing)


class Merged(NamedTuple):
    """What a merge did: staged rows moved into the main table, main rows removed, staged rows dropped
    because a newer staged row repeats one of their keys, and whether the indexes were rebuilt.
    merged + superseded is the number of staged rows merged; the main table grew by merged - replaced."""

    merged: int
    replaced: int
    superseded: int
    rebuilt: bool


def merge(conn: _Connection, table: str, comm: bool | float = True, *, rebuild: bool | None = None) -> Merged:
    """Merge the staged rows of `table` into its main table, as temp_to_main does, and report what it did.

    The outcome is temp_to_main's: the same rows under the same rowids, the catalog's indexes present as
    the catalog defines them, one transaction from the first read (BEGIN IMMEDIATE, or a savepoint inside
    an open transaction; committed when comm is True, undone when anything fails). Only the rows staged when the merge began are merged and emptied: rows
    staged meanwhile stay staged. The staged rows are copied by SQLite, their values as stored (a
    text_factory, converter or adapter that would change them on a trip through Python does not apply).
    rebuild=True drops the table's indexes and rebuilds them after the writes; rebuild=False keeps them
    live while rows are deleted and inserted; None chooses by cost: the rebuild once the rows written
    (deleted and inserted) reach a share of the rows the table ends with, a share that falls with the
    table's size (about three quarters at 10,000 rows, a third at 100,000, a fifth from 300,000 on).
    """
    from morvel import morvel as native

    return Merged(*native._merge(conn, table, comm, rebuild))


def index_staging(conn: _Connection, table: str, on: bool = True, comm: bool | float = True) -> None:
    """Give temp_<table> the indexes of the table's catalog (on=True), or take them away (on=False).

    Every index that index_table registers for `table` (so each unique key's lookup index too) is made on the
    staging table as temp_<table>_<index>, and the choice is recorded in the table staging_index (made by the
    first call that turns it on; files without it, and every catalog function, work as before). query then
    answers by one SQL statement that seeks in those indexes instead of reading every staged row. insert_temp,
    load, temp_to_main and merge keep the indexes (the merges empty the staging table without dropping them).
    An index registered later (insert_index, insert_unique, create_table) is not copied by itself: call
    index_staging(conn, table) again, which makes the copies the catalog's as they are now (those already
    as wanted stay); so does it after create_table or drop_table, which drop the staging table with its
    indexes. Repeating a call changes nothing. With comm True it is all or nothing (BEGIN IMMEDIATE ...
    commit, or a savepoint inside an open transaction), as the other calls that take comm.
    """
    from morvel import morvel as native

    native._index_staging(conn, table, on, comm)


def query(
    conn: _Connection,
    table: str,
    where: str = "",
    params: Sequence[Any] | Mapping[str, Any] = (),
    *,
    columns: str | Sequence[str] = "*",
    order_by: str | None = None,
    limit: int | None = None,
) -> list[list[Any]]:
    """The rows that `table` will hold after temp_to_main(conn, table), among those that satisfy `where`.

    A staged row is answered unless a newer staged row has the same values for some unique key (compared
    by value, as the merge compares staged rows); a main row unless some staged row has the same values for
    some unique key as SQL `=` compares them under the main column's collation (NOCASE, RTRIM or one the
    connection registered). A key holding NULL matches nothing. Main rows that repeat each other are all
    answered.

    where: an SQL boolean expression over the table's columns ("" for every row); params: its values, a
    sequence for `?` or a mapping for `:name`. columns: "*", names joined by commas, or a sequence of
    names. Staged rows come first, then main rows, each in rowid order, unless `order_by` (an SQL
    ordering over the table's columns, e.g. "price DESC") orders the whole answer. limit: at most that
    many rows, counted after superseded rows are left out.

    With indexed staging (index_staging, and each unique key's index present on the staging table) the answer
    comes from one SQL statement that seeks in the staging table's and the main table's indexes (a staged row
    is superseded by a newer one equal by value: `=` under BINARY; a main row by a staged one equal under the
    main column's `=`), with the same rows in the same order; otherwise, and where the connection reads text
    as something other than str, each staged key is read as below.

    All statements read one snapshot: outside a transaction the call opens one and commits it at the end.
    Nothing is written. The candidate rows are read part by part, and no further once `limit` rows are
    answered: beyond its answer the call holds the key sets and one part.
    """
    global _native_query
    if _native_query is None:  # a point query costs microseconds: the import statement is made once
        from morvel.morvel import _query as _native_query

    return cast("list[list[Any]]", _native_query(conn, table, where, params, columns, order_by, limit, None))


_native_query = None


class ArrowAnswer:
    """The answer of query_arrow, as Arrow data: its rows held in column buffers of the compiled module's own.

    It has the Arrow PyCapsule interface: ``__arrow_c_stream__()`` hands out a new stream of its batches at
    each call (the answer is read once, by query_arrow), so pyarrow.table(answer), polars.DataFrame(answer)
    or pandas.DataFrame.from_arrow(answer) read it without pyarrow being needed here. len() is its number of
    rows; `columns` its column names and `types` their Arrow types ("int64", "float64", "utf8", "binary" or
    "null"), in order.
    """

    __slots__ = ("_answer", "_rows", "columns", "types")

    def __init__(self, answer: object, rows: int, columns: Sequence[str], types: Sequence[str]) -> None:
        self._answer, self._rows = answer, rows
        self.columns: tuple[str, ...] = tuple(columns)
        self.types: tuple[str, ...] = tuple(types)

    def __len__(self) -> int:
        return self._rows

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """A PyCapsule named "arrow_array_stream" holding a stream of the answer's batches. A requested schema
        is passed over: the answer's types are its own (the consumer may cast)."""
        from morvel.morvel import _arrow_stream

        return _arrow_stream(self._answer, requested_schema)

    def __repr__(self) -> str:
        shown = ", ".join(f"{name}: {kind}" for name, kind in zip(self.columns, self.types))
        return f"<morvel.ArrowAnswer of {self._rows} rows ({shown})>"


def query_arrow(
    conn: _Connection,
    table: str,
    where: str = "",
    params: Sequence[Any] | Mapping[str, Any] = (),
    *,
    columns: str | Sequence[str] = "*",
    order_by: str | None = None,
    limit: int | None = None,
) -> ArrowAnswer:
    """What query(conn, table, where, params, ...) answers, the same rows in the same order, as Arrow data.

    The call reads as query reads (its statements, in one snapshot, with its errors; and, in that snapshot,
    PRAGMA table_info where a column holds only NULLs, and a SELECT of CASTs where reals become texts) and
    keeps the rows in column buffers, not Python lists: beyond them it holds what query holds beyond its
    answer. The columns are named as query's `columns` (the table's for "*"); batches are of 65,536 rows
    (fewer where a batch's texts would pass 2 GiB). A column's Arrow type comes from the values answered:
    only integers int64; only reals, or reals and integers that a double holds exactly, float64; only
    texts utf8; only blobs binary; any other mix utf8, each value as SQLite's CAST(value AS TEXT) writes it
    (the connection's SQLite writes the reals), or binary where blobs are among them, each value as
    CAST(value AS BLOB) makes it. NULLs are nulls, and a column of NULLs only (or an empty answer) takes
    its type from its declared type's affinity: INTEGER int64, REAL float64, TEXT utf8, a declared type
    naming BLOB binary, NUMERIC or none Arrow's null type. Values are typed as the connection answers them (what a text_factory makes of a
    text counts as a text if it is a str); an object that a converter made raises TypeError.
    """
    from morvel.morvel import _query_arrow

    answer, rows, names, types = _query_arrow(conn, table, where, params, columns, order_by, limit)
    return ArrowAnswer(answer, rows, names, types)
