"""morvel's functions for asyncio, on aiosqlite connections: ``await morvel.aio.load(conn, "t", rows)``.

Each function takes an ``aiosqlite.Connection`` where its synchronous namesake takes a connection, with the
same other arguments, and returns what that one returns, raising what it raises. The call runs in a worker
thread (``asyncio.to_thread``) on a stand-in connection whose every statement, commit and rollback is an
awaited call of aiosqlite's own API (``cursor()``, ``execute``, ``executemany``, ``fetchmany``, ``commit``,
``rollback``), so it runs on the connection's thread and the event loop stays free between statements. The
calls on one connection run one after another, in the order they were awaited; rows given to ``load`` are
taken in the worker thread (an iterable, not an async one).
"""

from __future__ import annotations

import asyncio
import functools
import weakref
from typing import TYPE_CHECKING, Any, Awaitable, Callable, Concatenate, ParamSpec, TypeVar

import morvel
from morvel import morvel as _native

if TYPE_CHECKING:
    import aiosqlite

P = ParamSpec("P")
R = TypeVar("R")

# One lock per aiosqlite connection: a call's statements, transaction included, never interleave with another's.
_locks: weakref.WeakKeyDictionary[Any, asyncio.Lock] = weakref.WeakKeyDictionary()


class _Cursor:
    """The stand-in's cursor: one aiosqlite cursor, each method awaited on the event loop."""

    def __init__(self, owner: _Connection) -> None:
        self._owner = owner
        self._cursor = owner._wait(owner._async.cursor())

    def execute(self, sql: str, params: Any = ()) -> _Cursor:
        self._owner._wait(self._cursor.execute(sql, params))
        return self

    def executemany(self, sql: str, rows: Any) -> _Cursor:
        self._owner._wait(self._cursor.executemany(sql, rows))
        return self

    def fetchmany(self, size: int) -> list[Any]:
        return list(self._owner._wait(self._cursor.fetchmany(size)))

    def fetchall(self) -> list[Any]:
        return list(self._owner._wait(self._cursor.fetchall()))


class _Connection:
    """What morvel's functions see of an aiosqlite connection, from a worker thread: its transaction state as
    the connection reports it, and its statements run through the event loop that owns it."""

    def __init__(self, connection: aiosqlite.Connection, loop: asyncio.AbstractEventLoop) -> None:
        self._async, self._loop = connection, loop

    def _wait(self, awaitable: Awaitable[R]) -> R:
        async def run() -> R:
            return await awaitable

        return asyncio.run_coroutine_threadsafe(run(), self._loop).result()

    @property
    def isolation_level(self) -> str | None:
        return self._async.isolation_level

    @property
    def in_transaction(self) -> bool:
        return self._async.in_transaction

    @property
    def text_factory(self) -> Any:
        return self._async.text_factory

    def cursor(self) -> _Cursor:
        return _Cursor(self)

    def commit(self) -> None:
        self._wait(self._async.commit())

    def rollback(self) -> None:
        self._wait(self._async.rollback())


def _awaitable(fn: Callable[Concatenate[Any, P], R]) -> Callable[Concatenate[aiosqlite.Connection, P], Awaitable[R]]:
    @functools.wraps(fn)
    async def call(conn: aiosqlite.Connection, *args: P.args, **kwargs: P.kwargs) -> R:
        loop = asyncio.get_running_loop()
        lock = _locks.setdefault(conn, asyncio.Lock())
        async with lock:
            return await asyncio.to_thread(fn, _Connection(conn, loop), *args, **kwargs)

    call.__doc__ = f"Awaitable {fn.__module__}.{fn.__name__} on an aiosqlite connection.\n\n{fn.__doc__ or ''}"
    return call


prepare = _awaitable(morvel.prepare)
load = _awaitable(morvel.load)
merge = _awaitable(morvel.merge)
query = _awaitable(morvel.query)
query_arrow = _awaitable(morvel.query_arrow)
index_staging = _awaitable(morvel.index_staging)
create_table = _awaitable(_native.create_table)
insert_temp = _awaitable(_native.insert_temp)
temp_to_main = _awaitable(_native.temp_to_main)
find = _awaitable(_native.find)
insert_index = _awaitable(_native.insert_index)
drop_index = _awaitable(_native.drop_index)
active_table_index = _awaitable(_native.active_table_index)
drop_table_index = _awaitable(_native.drop_table_index)
insert_unique = _awaitable(_native.insert_unique)
drop_unique = _awaitable(_native.drop_unique)
delete_row_main = _awaitable(_native.delete_row_main)
drop_table = _awaitable(_native.drop_table)

__all__ = ["prepare", "load", "merge", "query", "query_arrow", "index_staging", "create_table", "insert_temp",
           "temp_to_main", "find", "insert_index", "drop_index", "active_table_index", "drop_table_index",
           "insert_unique", "drop_unique", "delete_row_main", "drop_table"]
