"""morvel.load on the method path: a batch by one executemany (a cursor that has it) against one execute per row
(a cursor without it), and the native path beside them; sqlite3, 200,000 rows of three columns, CPU time
(time.process_time), the median of 3.

    python bench/method_path.py [--dir DIR]
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


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else tempfile.gettempdir())
    path = os.path.join(ap.parse_args().dir, "method-path.db")
    many, per_row = cpu(path, lambda c: c, "0"), cpu(path, PerRow, "0")
    native = cpu(path, lambda c: c, "1")
    print(f"morvel.load of {len(ROWS):,} rows (load average {os.getloadavg()[0]:.2f}): method path with executemany "
          f"{many:.3f} s, one execute per row {per_row:.3f} s ({per_row / many:.2f} x), native path {native:.3f} s")


if __name__ == "__main__":
    main()
