"""morvel.load on the method path: a batch by one executemany (a cursor that has it) against one execute per row
(a cursor without it), and the native path beside them; sqlite3, 200,000 rows of three columns, CPU time
(time.process_time), the median of 3. With --dqlite (CPython 3.13+, dqlite-dbapi and Debian's go-dqlite), the
same two ways on a three-node dqlite cluster on 127.0.0.1, 10,000 rows, and a merge of them into 10,000 main
rows; wall time there (the nodes do the work), the median of 3.

    python bench/method_path.py [--dir DIR] [--dqlite]
"""

from __future__ import annotations

import argparse
import os
import sqlite3
import statistics
import tempfile
import time

import morvel
from morvel import morvel as mv

ROWS = [(i, f"v{i}", i * 0.5) for i in range(200_000)]


class PerRow:
    """A sqlite3 connection whose cursors have no executemany: what a DB-API driver without it gets."""

    def __init__(self, conn: sqlite3.Connection) -> None:
        self.conn = conn

    @property
    def isolation_level(self) -> str | None:
        return self.conn.isolation_level

    @property
    def in_transaction(self) -> bool:
        return self.conn.in_transaction

    def cursor(self):
        cur = self.conn.cursor()
        return type("Cursor", (), {"execute": staticmethod(cur.execute), "fetchall": staticmethod(cur.fetchall),
                                   "fetchmany": staticmethod(cur.fetchmany)})()

    def commit(self) -> None:
        self.conn.commit()

    def rollback(self) -> None:
        self.conn.rollback()


def cpu(path: str, wrap, native: str) -> float:
    os.environ["MORVEL_NATIVE"] = native
    times = []
    for _ in range(3):
        if os.path.exists(path):
            os.remove(path)
        conn = sqlite3.connect(path)
        morvel.prepare(conn)
        mv.create_table(conn, "t", ["a", "b", "c"], [], [])
        t = time.process_time()
        morvel.load(wrap(conn), "t", ROWS)
        times.append(time.process_time() - t)
        conn.close()
    os.remove(path)
    return statistics.median(times)


def on_dqlite(folder: str) -> str:
    """The load's two ways and a merge on a three-node cluster (the tests' own cluster of dqlite-demo nodes)."""
    import sys

    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
    from conftest import DqliteCluster

    rows = ROWS[:10_000]
    cluster = DqliteCluster(folder)
    try:
        took: dict[str, list[float]] = {"executemany": [], "per row": [], "merge": []}
        for r in range(3):
            for way, wrap in (("executemany", lambda c: c), ("per row", PerRow)):
                conn = cluster.connect(f"bench-{way.replace(' ', '-')}-{r}.db")
                morvel.prepare(conn)
                mv.create_table(conn, "t", ["a", "b", "c"], [], [{"name": "key", "cols": [0]}])
                t = time.perf_counter()
                morvel.load(wrap(conn), "t", rows)
                took[way].append(time.perf_counter() - t)
                if way == "executemany":
                    morvel.merge(conn, "t")
                    morvel.load(conn, "t", rows)
                    t = time.perf_counter()
                    morvel.merge(conn, "t")
                    took["merge"].append(time.perf_counter() - t)
                conn.close()
    finally:
        cluster.stop()
    many, per_row, merge = (statistics.median(took[k]) for k in ("executemany", "per row", "merge"))
    return (f"on a three-node dqlite cluster (dqlite-dbapi, wall time): morvel.load of {len(rows):,} rows with "
            f"executemany {many:.2f} s ({many / len(rows) * 1e6:.0f} us a row), one execute per row {per_row:.2f} s "
            f"({per_row / many:.2f} x); morvel.merge of them into {len(rows):,} main rows {merge:.3f} s")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else tempfile.gettempdir())
    ap.add_argument("--dqlite", action="store_true", help="also on a three-node dqlite cluster")
    args = ap.parse_args()
    if args.dqlite:
        with tempfile.TemporaryDirectory(dir=args.dir) as folder:
            print(on_dqlite(folder))
    path = os.path.join(args.dir, "method-path.db")
    many, per_row = cpu(path, lambda c: c, "0"), cpu(path, PerRow, "0")
    native = cpu(path, lambda c: c, "1")
    print(f"morvel.load of {len(ROWS):,} rows (load average {os.getloadavg()[0]:.2f}): method path with executemany "
          f"{many:.3f} s, one execute per row {per_row:.3f} s ({per_row / many:.2f} x), native path {native:.3f} s")


if __name__ == "__main__":
    main()
