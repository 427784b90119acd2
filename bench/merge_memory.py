"""morvel.merge's peak memory and the load cycle's CPU time against the upserts, side by side in one run.

    python bench/merge_memory.py [--rows 1000000] [--batches 10000,100000] [--rounds 3] [--dir TMP] [--smoke]

Memory: a child process per measurement builds a file with `rows` main rows (unique key on k, an index on
name) and `rows` staged rows, half of them new versions of main rows, then runs morvel.merge alone; it reports
the Python memory that tracemalloc saw at its peak during the merge and the process's peak RSS beyond its RSS
before the merge (SQLite's page cache included). Load cycle: insert_temp + morvel.merge (committed) of each
batch into `rows` main rows, and morvel.load + morvel.merge, against executemany INSERT OR REPLACE and INSERT ...
ON CONFLICT DO UPDATE into a table with PRIMARY KEY k and the same index, and the merge's two statements that
move rows (its DELETE and its INSERT) alone on a file with the batch staged, each on a fresh copy of the same
file, the five rotating; CPU time (time.process_time), median of the rounds, ratio = module / other (median of
the per-round ratios).
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc

import sqlite3

import morvel
from morvel import morvel as mv

COLUMNS = ["k", "name", "score", "n"]


def rows_of(count: int, first_key: int, seed: int) -> list:
    rng = random.Random(seed)
    return [(first_key + i, f"name {i % 977}", rng.random(), i) for i in range(count)]


def module_file(path: str, main_rows: int) -> None:
    conn = sqlite3.connect(path)
    morvel.prepare(conn)
    mv.create_table(conn, "t", COLUMNS, [{"name": "by_name", "cols": "name"}], [{"name": "u0", "cols": [0]}])
    conn.executemany("INSERT INTO t VALUES (?,?,?,?)", rows_of(main_rows, 0, 1))
    conn.commit()
    conn.close()


def plain_file(path: str, main_rows: int) -> None:
    conn = sqlite3.connect(path)
    conn.execute("CREATE TABLE t (k PRIMARY KEY, name, score, n)")
    conn.execute("CREATE INDEX t_by_name ON t (name)")
    conn.executemany("INSERT INTO t VALUES (?,?,?,?)", rows_of(main_rows, 0, 1))
    conn.commit()
    conn.close()


def rss_kb(field: str = "VmRSS") -> int:
    """The process's resident memory now (VmRSS) or at its peak (VmHWM), in KiB. Not ru_maxrss: across exec
    it keeps the peak of the parent that forked the process."""
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))


def memory_child(path: str) -> None:
    """In a process of its own, which has built no rows: the merge alone, its memory measured."""
    conn = sqlite3.connect(path)
    before = rss_kb()
    tracemalloc.start()
    start = time.process_time()
    merged = morvel.merge(conn, "t")
    cpu = time.process_time() - start
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    peak_rss = rss_kb("VmHWM")
    conn.close()
    print(json.dumps({"merged": list(merged), "cpu_s": cpu, "python_peak_mb": peak / 2**20,
                      "rss_before_mb": before / 1024, "rss_added_mb": max(0, peak_rss - before) / 1024}))


def memory(work: str, rows: int) -> dict:
    """`rows` main rows and `rows` staged (half new versions of main rows), built here; merged in a child."""
    path = os.path.join(work, "memory.db")
    module_file(path, rows)
    conn = sqlite3.connect(path)
    mv.insert_temp(conn, "t", rows_of(rows, rows // 2, 2))
    conn.close()
    out = subprocess.run([sys.executable, __file__, "--child", path], capture_output=True, text=True,
                         check=True).stdout
    os.remove(path)
    return json.loads(out.splitlines()[-1])


def cycle(work: str, main_rows: int, batch: int, rounds: int) -> dict:
    module_base, plain_base = os.path.join(work, "module.db"), os.path.join(work, "plain.db")
    module_file(module_base, main_rows)
    plain_file(plain_base, main_rows)
    batch_rows = rows_of(batch, main_rows - batch // 2, 3)  # half replace the newest main rows

    def merge(c):
        mv.insert_temp(c, "t", batch_rows)
        morvel.merge(c, "t")

    def load(c):
        morvel.load(c, "t", batch_rows)
        morvel.merge(c, "t")

    def replace(c):
        c.executemany("INSERT OR REPLACE INTO t VALUES (?,?,?,?)", batch_rows)
        c.commit()

    def upsert(c):
        c.executemany("INSERT INTO t VALUES (?,?,?,?) ON CONFLICT (k) DO UPDATE SET name = excluded.name, "
                      "score = excluded.score, n = excluded.n", batch_rows)
        c.commit()

    # The two statements of the merge that move rows, alone, on a file with the batch staged already: what a
    # merge costs without staging the rows, finding repeated keys and emptying the staging table.
    staged_base = os.path.join(work, "staged.db")
    shutil.copyfile(module_base, staged_base)
    with contextlib.closing(sqlite3.connect(staged_base)) as c:
        mv.insert_temp(c, "t", batch_rows)

    def moves(c):
        c.execute("BEGIN IMMEDIATE")
        c.execute("DELETE FROM t WHERE rowid IN (SELECT m.rowid FROM temp_t AS s CROSS JOIN t AS m ON m.k = s.k)")
        c.execute("INSERT INTO t SELECT * FROM temp_t ORDER BY rowid DESC")
        c.commit()

    contenders = {"merge": (module_base, merge), "load": (module_base, load), "replace": (plain_base, replace),
                  "upsert": (plain_base, upsert), "moves": (staged_base, moves)}
    names = list(contenders)
    times: dict = {n: [] for n in names}
    for r in range(rounds * len(names)):
        for name in names[r % len(names):] + names[:r % len(names)]:
            base, fn = contenders[name]
            path = os.path.join(work, "run.db")
            shutil.copyfile(base, path)
            conn = sqlite3.connect(path)
            start = time.process_time()
            fn(conn)
            times[name].append(time.process_time() - start)
            conn.close()
            os.remove(path)
    for base in (module_base, plain_base, staged_base):
        os.remove(base)
    res = {"main_rows": main_rows, "batch": batch, "rounds": len(times["merge"]),
           **{f"{n}_s": statistics.median(times[n]) for n in names}}
    for mine in ("merge", "load", "moves"):
        for other in ("replace", "upsert"):
            res[f"{mine}_ratio_{other}"] = statistics.median(a / b for a, b in zip(times[mine], times[other]))
    return res


def main() -> None:
    p = argparse.ArgumentParser()
    p.add_argument("--rows", type=int, default=1_000_000)
    p.add_argument("--batches", default="10000,100000")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--dir", default=None)
    p.add_argument("--smoke", action="store_true", help="every size a hundredth")
    p.add_argument("--child", default=None, help=argparse.SUPPRESS)
    a = p.parse_args()
    if a.child:
        memory_child(a.child)
        return
    scale = 100 if a.smoke else 1
    rows = a.rows // scale
    work = tempfile.mkdtemp(dir=a.dir)
    try:
        print(f"SQLite {sqlite3.sqlite_version}, load average {os.getloadavg()}")
        m = memory(work, rows)
        print(f"morvel.merge of {rows:,} staged into {rows:,} main rows (half replacing): {m}")
        for batch in (int(b) // scale for b in a.batches.split(",") if b):
            c = cycle(work, rows, batch, a.rounds)
            print(f"load cycle {batch:,} into {rows:,} ({c['rounds']} rounds): INSERT OR REPLACE "
                  f"{c['replace_s'] * 1e3:.1f} ms, ON CONFLICT DO UPDATE {c['upsert_s'] * 1e3:.1f} ms")
            for mine, what in [("merge", "insert_temp + morvel.merge"), ("load", "morvel.load + morvel.merge"),
                               ("moves", "the merge's DELETE and INSERT alone")]:
                print(f"    {what:36} {c[mine + '_s'] * 1e3:8.1f} ms   / REPLACE {c[mine + '_ratio_replace']:.2f}, "
                      f"/ ON CONFLICT {c[mine + '_ratio_upsert']:.2f}")
        print(f"load average {os.getloadavg()}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
