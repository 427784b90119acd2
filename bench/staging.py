"""Indexed staging: point queries with 1,000,000 main and 1,000,000 staged rows against the same indexed fetch
of the main table alone, and morvel.load of 1,000,000 rows into indexed vs index-free staging. CPU time
(time.process_time), medians.

    python bench/staging.py [--rows N] [--dir DIR]
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

COLS = ["k INTEGER", "p INTEGER", "v TEXT", "w REAL"]


def rows(n, start=0):
    return ((i, (i * 7919) % (n // 10 + 1), f"value {i:08}", i * 0.5) for i in range(start, start + n))


def made(path, n, staged, indexed):
    if os.path.exists(path):
        os.remove(path)
    c = sqlite3.connect(path)
    morvel.prepare(c)
    mv.create_table(c, "t", COLS, [{"name": "by_p", "cols": "p"}], [{"name": "key", "cols": [0]}])
    if indexed:
        morvel.index_staging(c, "t")
    morvel.load(c, "t", rows(n))
    morvel.merge(c, "t")
    if staged:  # half of them new versions of main rows, half new keys
        morvel.load(c, "t", rows(staged, n // 2))
    return c


def cpu(fn, repeat):
    times = []
    for _ in range(repeat):
        t = time.process_time()
        fn()
        times.append(time.process_time() - t)
    return statistics.median(times)


def per_call(fn, calls, repeat=9):
    return cpu(lambda: [fn(i) for i in range(calls)], repeat) / calls


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--dir", default=tempfile.gettempdir())
    a = ap.parse_args()
    n = a.rows
    print(f"rows {n:,} main, {n:,} staged; load average {os.getloadavg()[0]:.2f}")
    c = made(os.path.join(a.dir, "staging-bench.db"), n, n, True)
    keys = [(i * 104729) % (n + n // 2) for i in range(200)]  # main only, both, staged only
    ps = [(i * 613) % (n // 10) for i in range(200)]
    floor_k = per_call(lambda i: c.execute("SELECT * FROM t WHERE k = ?", (keys[i],)).fetchall(), 200)
    floor_p = per_call(lambda i: c.execute("SELECT * FROM t WHERE p = ?", (ps[i],)).fetchall(), 200)
    q_k = per_call(lambda i: morvel.query(c, "t", "k = ?", (keys[i],)), 200)
    q_p = per_call(lambda i: morvel.query(c, "t", "p = ?", (ps[i],)), 200)
    lo = [(i * 7717) % n for i in range(50)]
    floor_r = per_call(lambda i: c.execute("SELECT * FROM t WHERE k BETWEEN ? AND ?", (lo[i], lo[i] + 99)).fetchall(), 50)
    q_r = per_call(lambda i: morvel.query(c, "t", "k BETWEEN ? AND ?", (lo[i], lo[i] + 99)), 50)
    for name, q, f in [("point by key", q_k, floor_k), ("point by indexed column p", q_p, floor_p),
                       ("range of 100 keys", q_r, floor_r)]:
        print(f"{name:28} query {q * 1e6:9.1f} us   main alone {f * 1e6:8.1f} us   {q / f:6.2f} x")
    morvel.index_staging(c, "t", False)
    q_free = per_call(lambda i: morvel.query(c, "t", "k = ?", (keys[i],)), 3, repeat=3)
    print(f"{'point by key, index-free':28} query {q_free * 1e6:9.1f} us")
    c.close()

    loads = {}
    for indexed in (False, True):
        path = os.path.join(a.dir, f"staging-load-{indexed}.db")
        times = []
        for _ in range(3):
            c = made(path, 0, 0, indexed)
            t = time.process_time()
            morvel.load(c, "t", rows(n))
            times.append(time.process_time() - t)
            c.close()
        loads[indexed] = statistics.median(times)
        os.remove(path)
    print(f"load {n:,} rows: index-free {loads[False]:.2f} s, indexed {loads[True]:.2f} s, "
          f"{loads[True] / loads[False]:.2f} x")
    os.remove(os.path.join(a.dir, "staging-bench.db"))


if __name__ == "__main__":
    main()
