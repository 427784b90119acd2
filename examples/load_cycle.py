"""The whole load cycle on a real file: create, stage batches (a list, then a stream), query, merge, query again."""

from __future__ import annotations

import random
import shutil
import sqlite3
import tempfile
import time
from pathlib import Path
from typing import Iterator

import morvel
from morvel.morvel import DB, create_table, find, insert_temp

COLUMNS = ["name", "type", "address", "age"]
INDEXES = [{"name": "index_0", "cols": "name,type,address"}, {"name": "index_1", "cols": "age"}]
UNIQUES = [{"name": "unique_0", "cols": [0, 2]}]  # a home is identified by (name, address)


def batch(rng: random.Random, size: int, names: int) -> list[tuple[str, str, str, int]]:
    """Rows for `names` distinct homes, so that later batches update earlier ones."""
    return [
        (f"home{rng.randrange(names)}", rng.choice(["flat", "house"]), f"street {rng.randrange(10)}", rng.randrange(100))
        for _ in range(size)
    ]


def stream(rng: random.Random, size: int, names: int) -> Iterator[tuple[str, str, str, int]]:
    """The same rows as a generator, as a CSV reader or a cursor would hand them over: never all at once."""
    for _ in range(size):
        yield from batch(rng, 1, names)


def timed(label: str, fn, *args):  # type: ignore[no-untyped-def]
    start = time.perf_counter()
    result = fn(*args)
    print(f"{label:<44} {time.perf_counter() - start:8.3f} s")
    return result


def main() -> None:
    folder = Path(tempfile.mkdtemp(prefix="morvel-example-"))
    try:
        handle = DB("example", str(folder / "homes.db"))
        conn: sqlite3.Connection = handle.connection()
        rng = random.Random(7)

        timed("create_table homes", create_table, conn, "homes", COLUMNS, INDEXES, UNIQUES)
        for n in range(2):
            timed(f"insert_temp batch {n + 1} (50,000 rows)", insert_temp, conn, "homes", batch(rng, 50_000, 20_000))
        timed("morvel.load batch 3 (50,000 rows, streamed)", morvel.load, conn, "homes", stream(rng, 50_000, 20_000))
        staged = conn.execute("SELECT count(*) FROM temp_homes").fetchone()[0]

        where = "where name = 'home42' order by age"
        before = timed("find before the merge", find, conn, "*", "homes", where)
        answer = timed("morvel.query before the merge (all rows)", morvel.query, conn, "homes")
        report = timed("morvel.merge", morvel.merge, conn, "homes")
        after = timed("find after the merge", find, conn, "*", "homes", where)
        kept = conn.execute("SELECT count(*) FROM homes").fetchone()[0]

        print(f"\nstaged {staged} rows; the main table keeps the newest of each home: {kept} rows")
        print(f"merge: {report.merged} merged, {report.replaced} replaced, {report.superseded} superseded, "
              f"indexes {'rebuilt' if report.rebuilt else 'kept live'}")
        print(f"home42 before the merge: {before}")
        print(f"home42 after the merge:  {after}")
        assert sorted(before) == sorted(after), "find must see the same rows before and after the merge"
        assert sorted(answer) == sorted(morvel.query(conn, "homes")), "query answers what the merge leaves"
        indexes = [r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'index' ORDER BY name")]
        print(f"indexes rebuilt after the merge: {indexes}")
        conn.close()
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
