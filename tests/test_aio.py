"""morvel.aio: the package's functions awaited on aiosqlite connections, with the results of the synchronous
ones, the event loop free while they run."""

import asyncio
import sqlite3

import pytest

import morvel
from conftest import dump
from morvel import morvel as mv

aiosqlite = pytest.importorskip("aiosqlite")
aio = pytest.importorskip("morvel.aio")

ROWS = [(i, f"v{i % 7}", i * 0.5) for i in range(300)]
LATER = [(i, "later", -1.0) for i in range(250, 400)]


def seen(answer):
    """What is compared of an answer (an Arrow answer by its rows' count, names and types)."""
    return (len(answer), answer.columns, answer.types) if isinstance(answer, morvel.ArrowAnswer) else answer


def workload(api):
    """One cycle of every kind of call, as (name, call) pairs; `api` is morvel.aio or a synchronous stand-in."""
    return [
        ("prepare", lambda c: api.prepare(c)),
        ("create_table", lambda c: api.create_table(c, "t", ["k", "v", "w"], [{"name": "by_v", "cols": "v"}],
                                                    [{"name": "key", "cols": [0]}])),
        ("load", lambda c: api.load(c, "t", ROWS, batch=64)),
        ("merge", lambda c: api.merge(c, "t")),
        ("insert_temp", lambda c: api.insert_temp(c, "t", LATER)),
        ("index_staging", lambda c: api.index_staging(c, "t")),
        ("query", lambda c: api.query(c, "t", "v = ?", ["later"], order_by="k DESC", limit=5)),
        ("query_arrow", lambda c: api.query_arrow(c, "t", "k < ?", [3])),
        ("find", lambda c: api.find(c, "*", "t", "WHERE k = 260")),
        ("temp_to_main", lambda c: api.temp_to_main(c, "t")),
        ("count", lambda c: api.query(c, "t", columns="k", limit=1000)),
    ]


class Sync:
    """morvel's synchronous functions under the names morvel.aio gives them."""

    def __getattr__(self, name):
        return getattr(morvel, name, None) or getattr(mv, name)


def test_each_call_answers_and_leaves_what_the_synchronous_one_does(tmp_path):
    expected = []
    c = sqlite3.connect(tmp_path / "sync.db")
    for _, call in workload(Sync()):
        expected.append(seen(call(c)))
    c.close()
    got = []

    async def run():
        async with aiosqlite.connect(tmp_path / "async.db") as c:
            for _, call in workload(aio):
                got.append(seen(await call(c)))

    asyncio.run(run())
    assert got == expected
    assert dump(str(tmp_path / "sync.db")) == dump(str(tmp_path / "async.db"))


def test_errors_are_the_synchronous_ones(tmp_path):
    async def run():
        async with aiosqlite.connect(tmp_path / "e.db") as c:
            await aio.prepare(c)
            with pytest.raises(sqlite3.OperationalError, match="no such table: nowhere"):
                await aio.query(c, "nowhere")
            await aio.create_table(c, "t", ["k"], [], [])
            with pytest.raises(TypeError):
                await aio.load(c, "t", [(1,), "not a row"])
            assert not c.in_transaction and await aio.query(c, "t") == []

    asyncio.run(run())


def test_the_loop_runs_other_tasks_during_a_merge_and_calls_on_one_connection_take_turns(tmp_path):
    """While a merge runs, another task gets turns between its statements; two loads awaited together on one
    connection each stay all or nothing, one after the other."""
    events = []

    async def ticker(stop):
        while not stop.is_set():
            events.append("tick")
            await asyncio.sleep(0)

    async def run():
        async with aiosqlite.connect(tmp_path / "m.db") as c:
            await aio.prepare(c)
            await aio.create_table(c, "t", ["k", "v"], [{"name": "by_v", "cols": "v"}], [{"name": "key", "cols": [0]}])
            loads = [aio.load(c, "t", ((i, i % 10) for i in range(j, 20_000, 2)), batch=1_000) for j in (0, 1)]
            assert await asyncio.gather(*loads) == [10_000, 10_000]
            stop = asyncio.Event()
            task = asyncio.create_task(ticker(stop))
            await asyncio.sleep(0)
            events.append("merge")
            merged = await aio.merge(c, "t")
            events.append("merged")
            stop.set()
            await task
            assert merged.merged == 20_000 and await aio.query(c, "t", "k = ?", [19_999]) == [[19_999, 9]]

    asyncio.run(run())
    assert "tick" in events[events.index("merge"):events.index("merged")]
