import sqlite3 as sqlite3
from types import ModuleType
from typing import Any, Callable, Iterable, Literal, Mapping, MutableMapping, Protocol, Sequence

morvel_state: ModuleType

# What the module asks of a connection: sqlite3.Connection fits, and so does any wrapper or proxy with
# these methods. Both names exist only for type checkers.
class _Cursor(Protocol):
    def execute(self, sql: str, parameters: list[Any] = ..., /) -> object: ...
    def fetchall(self) -> Iterable[Any]: ...

class _Connection(Protocol):
    def cursor(self) -> _Cursor: ...
    def commit(self) -> object: ...

class DB:
    name: Any
    address: Any
    def __init__(self, name: Any, address: Any) -> None: ...
    def connection(self) -> sqlite3.Connection: ...

def insert_index(conn: _Connection, index: Mapping[str, str], comm: bool | float = True) -> None:
    """
    Insert index for fast search.
    index = {
    'table': 'homes',
    'name': 'index_0',
    'cols': 'name,type,address'
    }
    """

def drop_index(conn: _Connection, table: str, name: str, comm: bool | float = True) -> None:
    """
    Drop one index of table.
    """

def active_table_index(conn: _Connection, table: str, comm: bool | float = True) -> None:
    """
    Activate indexes of table after drooping them for fast insertion.
    """

def drop_table_index(conn: _Connection, table: str, comm: bool | float = True) -> None:
    """
    Drop index of table for fast insert rows.
    """

def insert_unique(conn: _Connection, table: str, name: str, cols: str, cols_num: str, comm: bool | float = True) -> None:
    """
    Insert uniques of table, the last one with unique features replaces old ones.
    table = 'homes'   # table ('name', 'type', 'address', 'age')
    name = 'unique_0'
    cols = 'name,address'
    cols_num = '0,2'
    """

def drop_unique(conn: _Connection, table: str, name: str, comm: bool | float = True) -> None:
    """
    Delete one unique of table.
    """

def create_table(
    conn: _Connection,
    name: str,
    cols: Sequence[str],
    index: Iterable[MutableMapping[str, str]],
    unique: Iterable[Mapping[str, Any]],
    comm: bool | float = True,
) -> None:
    """
    Create table with indexes and uniques.
    name = 'homes'
    cols = ['name', 'type', 'address', 'age']
    index = [
        {
            'name': 'index_0',
            'cols': 'name,type,address'
        },
        {
            'name': 'index_1',
            'cols': 'age'
        }
    ]
    unique = [
        {
            'name': 'unique_0',
            'cols': [0, 1]     # 'name, type'
        },
        {
            'name': 'unique_1',
            'cols': [2]     #'address'
        }
    ]
    """

def insert_temp(conn: _Connection, table: str, rows: Sequence[Sequence[Any]], comm: bool | float = True) -> None:
    """
    Fast temp_table insertion.
    """

def delete_row_main(conn: _Connection, table: str, ids: Iterable[int], comm: bool | float = True) -> None:
    """
    Fast delete selcted rows from main_table.
    """

def temp_to_main(conn: _Connection, table: str, comm: bool | float = True) -> None:
    """
    Fast temp to main insertion.
    """

def _insert_main(conn: _Connection, table: str, rows: Sequence[Sequence[Any]], comm: bool | float = True) -> None: ...
def drop_table(conn: _Connection, table: str, comm: bool | float = True) -> None:
    """
    Drop table with indexes and uniques.
    """

def find(conn: _Connection, select: str, table: str, conditions: str) -> list[list[Any]]:
    """
    Find rows from temp and main tables.
    select = '*' or 'name,age'
    table = 'persons'
    conditions = '''
        where (id, city) = (1093, 'Tehran')
        order by age desc
    '''
    """

def _check_newest_unique(
    conn: _Connection,
    table: str,
    rowid: tuple[int, int],
    row: Sequence[Any],
    uniques: Mapping[Any, Sequence[int]],
    cols: Sequence[str],
    total_select: str,
    eqivalent_set: set[Any],
) -> tuple[bool, set[Any] | None]: ...

# Private: the work of the package's own functions (morvel.load, merge, query, index_staging), which pass every argument on.
def _load(
    conn: _Connection, table: str, rows: Iterable[Sequence[Any]] | Iterable[Mapping[str, Any]], comm: bool | float,
    batch: int, missing: Literal["refuse", "null"],
) -> int: ...
def _merge(conn: _Connection, table: str, comm: bool | float, rebuild: bool | None) -> tuple[int, int, int, bool]: ...
def _index_staging(conn: _Connection, table: str, on: bool, comm: bool | float) -> None: ...
def _query(
    conn: _Connection,
    table: str,
    where: str | None,
    params: Sequence[Any] | Mapping[str, Any],
    columns: str | Sequence[str],
    order_by: str | None,
    limit: int | None,
    each: Callable[[list[list[Any]]], object] | None,
) -> list[list[Any]] | int: ...

# Private: the work of morvel.query_arrow (the answer, its rows, column names and Arrow types) and the
# stream of its answer, a PyCapsule "arrow_array_stream".
def _query_arrow(
    conn: _Connection,
    table: str,
    where: str | None,
    params: Sequence[Any] | Mapping[str, Any],
    columns: str | Sequence[str],
    order_by: str | None,
    limit: int | None,
) -> tuple[object, int, list[str], list[str]]: ...
def _arrow_stream(answer: object, requested_schema: object | None) -> object: ...

# Private: the command line's conversion of CSV fields (morvel.loader).
def _parse_csv(
    data: bytes, pos: int, line: int, final: bool, delimiter: str, convert: bool | None,
    shape: tuple[int, tuple[int, ...] | None] | None, limit: int,
) -> tuple[list[tuple[Any, ...]], int, int, tuple[int, str] | None]: ...
def _stage_csv(
    conn: _Connection, table: str, data: bytes, pos: int, line: int, final: bool, delimiter: str,
    convert: bool | str, shape: tuple[int, tuple[int, ...] | None], limit: int,
) -> tuple[int, int, int, tuple[int, str] | None]: ...
