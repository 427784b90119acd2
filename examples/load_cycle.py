"""The whole load cycle on a real file: create, stage batches, query, merge, query again."""

from __future__ import annotations

import random
import shutil
import sqlite3
import tempfile
import time
from pathlib import Path

from morvel.morvel import DB, create_table, find, insert_temp, temp_to_main

COLUMNS = ["name", "type", "address", "age"]
INDEXES = [{"name": "index_0", "cols": "name,type,address"}, {"name": "index_1", "cols": "age"}]
UNIQUES = [{"name": "unique_0", "cols": [0, 2]}]  # a home is identified by (name, address)


def batch(rng: random.Random, size: int, names: int) -> list[tuple[str, str, str, int]]:
    """Rows for `names` distinct homes, so that later batches update earlier ones."""
    return [
        (f"home{rng.randrange(names)}", rng.choice(["flat", "house"]), f"street {rng.randrange(10)}", rng.randrange(100))
        for _ in range(size)
    ]


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
        for n in range(3):
            timed(f"insert_temp batch {n + 1} (50,000 rows)", insert_temp, conn, "homes", batch(rng, 50_000, 20_000))
        staged = conn.execute("SELECT count(*) FROM temp_homes").fetchone()[0]

        query = "where name = 'home42' order by age"
        before = timed("find before the merge", find, conn, "*", "homes", query)
        timed("temp_to_main", temp_to_main, conn, "homes")
        after = timed("find after the merge", find, conn, "*", "homes", query)
        kept = conn.execute("SELECT count(*) FROM homes").fetchone()[0]

        print(f"\nstaged {staged} rows; the main table keeps the newest of each home: {kept} rows")
        print(f"home42 before the merge: {before}")
        print(f"home42 after the merge:  {after}")
        assert sorted(before) == sorted(after), "find must see the same rows before and after the merge"
        indexes = [r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'index' ORDER BY name")]
        print(f"indexes rebuilt after the merge: {indexes}")
        conn.close()
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
