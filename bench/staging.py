"""Indexed staging: point queries with 1,000,000 main and 1,000,000 staged rows against the same indexed fetch
of the main table alone, and morvel.load of 1,000,000 rows into indexed vs index-free staging. CPU time
(time.process_time), medians.

    python bench/staging.py [--rows N] [--dir DIR]
    python bench/staging.py --growth [--rows N] [--dir DIR] [--out DIR]

--growth: how a point query by key grows with the staged rows (1,000 to N, over N main rows), through indexed
staging, through index-free staging (compiled key sets) and the main table alone; staging-growth.json and
staging-growth.png in --out (default bench/results), the second panel the full answer against a plain fetch of
the candidate rows as the last `bench/run.py --query-cost` measured it (query-cost.json there).
"""

from __future__ import annotations

import argparse
import json
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


# The answer of a query on indexed staging written by hand in one statement: staged rows no newer staged row
# repeats, then main rows no staged row repeats (the key k has no collation, so SQL's = is the merge's).
BY_HAND = """SELECT * FROM temp_t AS s WHERE {0} = ? AND NOT EXISTS (SELECT 1 FROM temp_t AS n WHERE n.k = s.k AND n.rowid > s.rowid)
UNION ALL SELECT * FROM t AS m WHERE {0} = ? AND NOT EXISTS (SELECT 1 FROM temp_t AS n WHERE n.k = m.k)"""


def cpu(fn, repeat):
    times = []
    for _ in range(repeat):
        t = time.process_time()
        fn()
        times.append(time.process_time() - t)
    return statistics.median(times)


def per_call(fn, calls, repeat=9):
    return cpu(lambda: [fn(i) for i in range(calls)], repeat) / calls


def growth(n, work, out):
    lines = [f"point query by key against staged rows, {n:,} main rows; load average {os.getloadavg()[0]:.2f}"]
    print(lines[0])
    path, points = os.path.join(work, "staging-growth.db"), []
    for staged in sorted({min(s, n) for s in (1_000, 10_000, 100_000, n)}):
        c = made(path, n, staged, True)
        keys = [(i * 104729) % (n + staged // 2) for i in range(200)]
        point = {"staged": staged,
                 "main_s": per_call(lambda i: c.execute("SELECT * FROM t WHERE k = ?", (keys[i],)).fetchall(), 200),
                 "indexed_s": per_call(lambda i: morvel.query(c, "t", "k = ?", (keys[i],)), 200)}
        morvel.index_staging(c, "t", False)
        calls = max(3, min(200, 2_000_000 // (staged + 10_000)))
        point["index_free_s"] = per_call(lambda i: morvel.query(c, "t", "k = ?", (keys[i],)), calls, repeat=3)
        c.close()
        lines.append(f"  staged {staged:>9,}: indexed {point['indexed_s'] * 1e6:8.1f} us, index-free "
                     f"{point['index_free_s'] * 1e6:11.1f} us, main alone {point['main_s'] * 1e6:6.1f} us")
        print(lines[-1], flush=True)
        points.append(point)
    os.remove(path)
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "staging-growth.txt"), "w") as f:
        f.write("\n".join(lines + [f"load average at the end {os.getloadavg()[0]:.2f}"]) + "\n")
    with open(os.path.join(out, "staging-growth.json"), "w") as f:
        json.dump({"main_rows": n, "load_average": os.getloadavg(), "points": points}, f, indent=1)
    plot_growth(n, points, out)


def plot_growth(n, points, out):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, (left, right) = plt.subplots(1, 2, figsize=(12, 4.2))
    staged = [p["staged"] for p in points]
    for key, label, style in [("index_free_s", "query, index-free staging (key sets)", "o-"),
                              ("indexed_s", "query, indexed staging", "s-"),
                              ("main_s", "the same fetch, main table alone", "^:")]:
        left.plot(staged, [p[key] * 1e6 for p in points], style, label=label)
    left.set(xscale="log", yscale="log", xlabel="staged rows", ylabel="microseconds per call (CPU)",
             title=f"a point query by key, {n:,} main rows")
    left.legend(fontsize=8)
    cost = os.path.join(out, "query-cost.json")
    if os.path.exists(cost):
        with open(cost) as f:
            g = json.load(f)["growth"]
        right.plot([p["n"] for p in g], [p["query_s"] * 1e3 for p in g], "o-", label="query, index-free staging")
        right.plot([p["n"] for p in g], [p["fetch_s"] * 1e3 for p in g], "^:", label="a plain fetch of the candidate rows")
        right.set(xscale="log", yscale="log", xlabel="staged rows (keys with repeats, empty main table)",
                  ylabel="milliseconds (CPU)", title="the full answer (bench/run.py --query-cost)")
        right.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(os.path.join(out, "staging-growth.png"), dpi=110)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--dir", default=tempfile.gettempdir())
    ap.add_argument("--growth", action="store_true")
    ap.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "results"))
    a = ap.parse_args()
    n = a.rows
    if a.growth:
        growth(n, a.dir, a.out)
        return
    print(f"rows {n:,} main, {n:,} staged; load average {os.getloadavg()[0]:.2f}")
    c = made(os.path.join(a.dir, "staging-bench.db"), n, n, True)
    # 200 keys, again and again: the main table's pages for them (about 400) stay in SQLite's default page
    # cache of 2 MB, the query's (about 800: main and staging) cannot. 20,000 keys: neither fits, as for
    # point queries over the whole table.
    for calls in sorted({200, min(20_000, n // 50)}):
        keys = [(i * 104729) % (n + n // 2) for i in range(calls)]  # main only, both, staged only
        ps = [(i * 613) % (n // 10) for i in range(calls)]
        floor_k = per_call(lambda i: c.execute("SELECT * FROM t WHERE k = ?", (keys[i],)).fetchall(), calls)
        floor_p = per_call(lambda i: c.execute("SELECT * FROM t WHERE p = ?", (ps[i],)).fetchall(), calls)
        q_k = per_call(lambda i: morvel.query(c, "t", "k = ?", (keys[i],)), calls)
        q_p = per_call(lambda i: morvel.query(c, "t", "p = ?", (ps[i],)), calls)
        sql_k = per_call(lambda i: c.execute(BY_HAND.format("k"), (keys[i],) * 2).fetchall(), calls)
        sql_p = per_call(lambda i: c.execute(BY_HAND.format("p"), (ps[i],) * 2).fetchall(), calls)
        for name, q, f, h in [(f"point by key, {calls:,} keys", q_k, floor_k, sql_k),
                              (f"point by p, {calls:,} values", q_p, floor_p, sql_p)]:
            print(f"{name:28} query {q * 1e6:9.1f} us   main alone {f * 1e6:8.1f} us   {q / f:6.2f} x"
                  f"   (the same answer in SQL by hand {h * 1e6:.1f} us: query / it {q / h:.2f})")
    lo = [(i * 7717) % n for i in range(50)]
    floor_r = per_call(lambda i: c.execute("SELECT * FROM t WHERE k BETWEEN ? AND ?", (lo[i], lo[i] + 99)).fetchall(), 50)
    q_r = per_call(lambda i: morvel.query(c, "t", "k BETWEEN ? AND ?", (lo[i], lo[i] + 99)), 50)
    print(f"{'range of 100 keys':28} query {q_r * 1e6:9.1f} us   main alone {floor_r * 1e6:8.1f} us   {q_r / floor_r:6.2f} x")
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
