"""Benchmark of morvel's loading, merge and query against bare-sqlite3 floors and other upsert paths.

    python bench/run.py [--quick] [--sizes 10000,100000] [--rounds R] [--dir TMP] [--out DIR]
    python bench/run.py --find-cost [--out DIR]
    python bench/run.py --second-thread [--out DIR]
    python bench/run.py --merge [--rounds R] [--out DIR]
    python bench/run.py --query-cost [--out DIR]
    python bench/run.py --query-memory [--out DIR]
    python bench/run.py --query-arrow [--rounds R] [--out DIR]
    python bench/run.py --load-command [--shape products|lineitem] [--sizes N] [--rounds R] [--out DIR]
    python bench/run.py --load-cycle [--out DIR]
    python bench/run.py --frames [--sizes N] [--rounds R] [--out DIR]
    python bench/run.py --staging-goals [--out DIR]
    python bench/run.py --smoke ...   (any of the above, every size a hundredth: CI's check that they run)

Writes results.txt, results.json and growth.png to bench/results/ (a --quick run to bench/results-quick/,
so that it never replaces the committed figures). --find-cost measures only how find's cost grows with
unmerged rows, with and without an index that the caller creates on the staging table's key column, and
writes find-cost.txt and find-cost.json; --second-thread measures only insert_temp against executemany
while another thread is alive (second-thread.txt and .json); --merge measures only the load cycle of
morvel.merge against the upserts and its growth sweep of rebuild choices (merge.txt, .json and .png, and
growth.png redrawn with this sweep beside the panels of the last full run's results.json, where there is one);
--query-cost measures only morvel.query against a plain fetch of the same candidate rows, its growth and its
memory (query-cost.txt and .json); --query-memory measures only morvel.query's peak memory beyond its
answer and its key sets, with and without limit, where and order_by (query-memory.txt and .json); --query-arrow
measures only morvel.query_arrow against morvel.query of the same rows, in CPU time (query-arrow.txt and .json);
--load-command measures only `python -m morvel load` of a CSV file (6 columns, or with --shape lineitem
lineitem's 16) against the SQLite shell's .import and sqlite-utils insert --csv, each a process of its own
(load-command.txt and .json, load-command-lineitem.* for lineitem); --load-cycle measures only the load cycle, the connections of other packages
included (load-cycle.txt and .json); --frames measures only Arrow tables, DataFrames and records into
morvel.load against adbc_ingest, pandas' to_sql and the C floor of bench/floor.c (frames.txt and .json;
bench/frames.py); --staging-goals runs, one after another in one run, each a process of its own, what the goals
of indexed staging and the bounded merge name: bench/staging.py, bench/merge_memory.py at 1,000,000 and
6,000,000 main rows and --load-command --shape lineitem, and writes their reports with the goals and the load
average in staging-goals.txt (about half an hour). Every ratio is module time / other
time, measured side by side in this process (rotating order, a fresh copy of the same prepared file for
every run), median of the per-round ratios. The floor of a call is the very statements it sent, recorded
once through a logging connection and replayed by a bare loop of cursor calls.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import gc
import importlib
import itertools
import json
import os
import platform
import random
import resource
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import tracemalloc
from pathlib import Path

import sqlite_utils

import frames as fr
import harness as h
import morvel
from morvel import morvel as mv

RESULTS = Path(__file__).resolve().parent / "results"
QUICK_RESULTS = Path(__file__).resolve().parent / "results-quick"
UNIQUE = [{"name": "u0", "cols": [0]}]        # one unique key on k
FIND_STAGED = 1_000                            # rows staged (not merged) when find runs
FIND_COND = "WHERE k % 20 = 0"                 # selective: 5% of the rows of each table
GROWTH_BATCH = 10_000                          # fixed batch merged into main tables of growing size
GOALS = {"insert_temp/floor": 0.6, "temp_to_main/floor": 0.7, "find/floor": 0.85, "find ''/floor": 0.85,
         "insert_temp/executemany": 0.8, "cycle/upsert_all": 0.25, "cycle/executemany OR REPLACE": 2.0}
CYCLE_MAIN, CYCLE_BATCH = 100_000, 10_000      # the load cycle: a batch, half of it replacing rows
# The connections of other packages, where installed (the bench extras): they take the method path.
OTHER_CONNECTIONS = {}
for _package, _module in (("pysqlite3-binary", "pysqlite3.dbapi2"), ("sqlean.py", "sqlean"), ("libsql", "libsql")):
    with contextlib.suppress(ImportError):
        OTHER_CONNECTIONS[_package] = importlib.import_module(_module).connect
MERGE_PHASES = ["scan+lookups", "drop indexes", "delete", "insert", "reindex+commit"]
SUB_CALLS = ["drop_table_index", "delete_row_main", "_insert_main", "active_table_index"]
# morvel.merge's load cycle: main rows + batch (half of it new versions of main rows), goals as module / other
MERGE_CASES = {(1_000_000, 10_000): (1.3, 1.0), (100_000, 10_000): (1.5, 1.0), (100_000, 100_000): (0.85, 1.0)}
MERGE_INDEX = [{"name": "by_name", "cols": "name"}]   # beside the unique key's own index on k
MERGE_SWEEP = {10_000: [0.01, 0.03, 0.1, 0.3, 1.0], 100_000: [0.01, 0.03, 0.1, 0.3, 1.0],
               1_000_000: [0.003, 0.01, 0.03, 0.1, 0.3]}  # main rows: batch / main rows
MERGE_FILES = itertools.count()                # DB handles are registered by name once per process
MERGE_CHOOSER_GOAL = 1.05                      # merge(rebuild=None) / the better of True and False
LOAD_COMMAND_ROWS = 1_000_000                  # rows of the CSV file that the load command stages
LOAD_GOALS = {"sqlite3 .import": 1.2, "sqlite-utils insert --csv": 0.2}  # load command / other (CPU)


def batch_rows(n: int, seed: int = 2) -> list:
    """n rows whose keys hit about two thirds of a main table of n rows, with repeats inside the batch."""
    return h.make_rows(n, lambda rng, i: rng.randrange(n + n // 2), seed)


def growth_batch(main_rows: int) -> list:
    """A fixed-size batch, half of it replacing the newest main rows, half new keys."""
    return h.make_rows(GROWTH_BATCH, lambda rng, i: main_rows - GROWTH_BATCH // 2 + rng.randrange(GROWTH_BATCH), 3)


def module_base(path: str, main_rows: int, staged: list = ()) -> str:
    """A prepared file: table t (unique key on k) with keys 0..main_rows-1 in main and `staged` in staging."""
    conn = mv.DB(f"bench_{Path(path).stem}", path).connection()
    mv.create_table(conn, "t", h.COLUMNS, [], UNIQUE)
    conn.executemany("INSERT INTO t VALUES (?,?,?,?)", h.make_rows(main_rows, lambda rng, i: i, 1))
    conn.commit()
    if staged:
        mv.insert_temp(conn, "t", staged)
    conn.close()
    return path


def sqlite_base(path: str, main_rows: int, staged: list = ()) -> str:
    """The same main rows in a plain table with a UNIQUE index on k, and an unindexed staging table s."""
    conn = sqlite3.connect(path)
    conn.execute("CREATE TABLE t (k, name, score, n)")
    conn.execute("CREATE UNIQUE INDEX t_k ON t (k)")
    conn.execute("CREATE TABLE s (k, name, score, n)")
    conn.executemany("INSERT INTO t VALUES (?,?,?,?)", h.make_rows(main_rows, lambda rng, i: i, 1))
    conn.executemany("INSERT INTO s VALUES (?,?,?,?)", staged)
    conn.commit()
    conn.close()
    return path


@contextlib.contextmanager
def marked_sub_calls(marks: dict):
    """Note when temp_to_main enters each function it calls through the module namespace."""
    originals = {name: getattr(mv, name) for name in SUB_CALLS}

    def wrap(name, fn):
        def entered(*args, **kwargs):
            marks[name] = time.perf_counter()
            return fn(*args, **kwargs)
        return entered

    for name, fn in originals.items():
        setattr(mv, name, wrap(name, fn))
    try:
        yield
    finally:
        for name, fn in originals.items():
            setattr(mv, name, fn)


class Passthrough:
    """A connection-like object that forwards to a sqlite3.Connection: the method path, as any proxy gets."""

    def __init__(self, conn: sqlite3.Connection):
        self.real = conn

    isolation_level = property(lambda self: self.real.isolation_level)
    in_transaction = property(lambda self: self.real.in_transaction)

    def cursor(self):
        return self.real.cursor()

    def commit(self) -> None:
        self.real.commit()


def method_path(call):
    """`call` with the native path turned off, as MORVEL_NATIVE=0 does."""
    def run(conn):
        before = os.environ.get("MORVEL_NATIVE")
        os.environ["MORVEL_NATIVE"] = "0"
        try:
            return call(conn)
        finally:
            if before is None:
                del os.environ["MORVEL_NATIVE"]
            else:
                os.environ["MORVEL_NATIVE"] = before
    return run


def through_proxy(call):
    return lambda conn: call(Passthrough(conn))


def module_merge(conn, rows=None) -> dict:
    marks: dict = {}
    with marked_sub_calls(marks):
        if rows is not None:
            mv.insert_temp(conn, "t", rows)
        marks["temp_to_main"] = time.perf_counter()
        mv.temp_to_main(conn, "t")
    return marks


def floor_merge(conn, steps: list) -> dict:
    opened = h.replay(conn, steps)
    if len(opened) != 5:
        raise RuntimeError(f"merge opened {len(opened)} cursors, expected 5")
    return dict(zip(["temp_to_main"] + SUB_CALLS, opened))


def phases(runs: list[dict], elapsed: list[float], cycle: bool = False) -> dict:
    """Median seconds per merge phase, from the entry marks of each run."""
    order = ["temp_to_main"] + SUB_CALLS
    per_run = []
    for marks, total in zip(runs, elapsed):
        starts = [marks[name] for name in order] + [total]
        split = {"insert_temp": marks["temp_to_main"]} if cycle else {}
        split.update({ph: b - a for ph, a, b in zip(MERGE_PHASES, starts, starts[1:])})
        per_run.append(split)
    return {ph: statistics.median(r[ph] for r in per_run) for ph in per_run[0]}


def sqlite_cycle(conn, rows) -> None:
    conn.executemany("INSERT INTO s VALUES (?,?,?,?)", rows)
    conn.execute("INSERT OR REPLACE INTO t SELECT * FROM s ORDER BY rowid")
    conn.execute("DELETE FROM s")
    conn.commit()


def sqlite_merge(conn) -> None:
    sqlite_cycle(conn, [])


def outcome(path: str) -> tuple:
    """A digest of both tables of t, to check that a replay left the same rows as the call."""
    conn = sqlite3.connect(path)
    try:
        return tuple(conn.execute(f"SELECT count(*), total(k), total(score), total(n) FROM {table}").fetchone()
                     for table in ("t", "temp_t"))
    finally:
        conn.close()


def bench_size(n: int, rounds: int, work: str) -> dict:
    out: dict = {"rows": n}
    batch = batch_rows(n)
    base = module_base(os.path.join(work, f"m{n}.db"), n)
    staged = module_base(os.path.join(work, f"s{n}.db"), n, batch)
    found = module_base(os.path.join(work, f"f{n}.db"), n, batch[:FIND_STAGED])
    plain = sqlite_base(os.path.join(work, f"q{n}.db"), n)

    def against_floor(name, path, call, floor=h.replay, **others):
        steps = h.record(path, work, call, outcome)
        contenders = {"module": (path, call), "floor": (path, lambda c: floor(c, steps)),
                      "method": (path, method_path(call)), "proxy": (path, through_proxy(call))}
        contenders.update(others)
        t = h.paired(contenders, rounds, work)
        out[name] = {f"{who}_s": statistics.median(t[who]) for who in ("module", "floor", "method", "proxy")}
        out[name].update(ratio_floor=h.ratio(t, "module", "floor"), ratio_method=h.ratio(t, "module", "method"),
                         method_floor=h.ratio(t, "method", "floor"), proxy_floor=h.ratio(t, "proxy", "floor"),
                         times=t)
        return t

    def insert_rows(c):
        mv.insert_temp(c, "t", batch)

    def executemany(c):
        c.executemany("INSERT INTO temp_t VALUES (?,?,?,?)", batch)
        c.commit()

    t = against_floor("insert_temp", base, insert_rows, executemany=(base, executemany))
    out["insert_temp"].update(executemany_s=statistics.median(t["executemany"]),
                              ratio_executemany=h.ratio(t, "module", "executemany"),
                              floor_vs_executemany=h.ratio(t, "floor", "executemany"))

    t = against_floor("temp_to_main", staged, module_merge, floor_merge,
                      begin=(staged, lambda c: (c.execute("BEGIN"), mv.temp_to_main(c, "t"))))
    out["temp_to_main"]["begin_vs_module"] = h.ratio(t, "begin", "module")
    out["temp_to_main"]["phases"] = {who: phases(t[f"{who}:phases"], t[who]) for who in ("module", "floor")}

    against_floor("find", found, lambda c: mv.find(c, "*", "t", FIND_COND))
    if n <= 10_000:
        against_floor("find ''", found, lambda c: mv.find(c, "*", "t", ""))

    dicts = [dict(zip(h.COLUMNS, row)) for row in batch]
    t = h.paired({"module": (base, lambda c: module_merge(c, batch)),
                  "sqlite": (plain, lambda c: sqlite_cycle(c, batch)),
                  "sqlite_utils": (plain, lambda c: sqlite_utils.Database(c)["t"].upsert_all(dicts, pk="k"))},
                 rounds, work)
    out["cycle"] = {f"{who}_s": statistics.median(t[who]) for who in ("module", "sqlite", "sqlite_utils")}
    out["cycle"].update(ratio_sqlite=h.ratio(t, "module", "sqlite"),
                        ratio_sqlite_utils=h.ratio(t, "module", "sqlite_utils"),
                        phases=phases(t["module:phases"], t["module"], cycle=True), times=t)
    out["merge_growth"] = merge_growth(n, rounds, work, base, plain)
    return out


def load_cycle(rounds: int, work: str) -> dict:
    """A batch loaded and merged into a bigger main table, half of it replacing rows, against the usual
    ways of upserting the same rows into a table with the same unique index."""
    rows = h.make_rows(CYCLE_BATCH, lambda rng, i: CYCLE_MAIN - CYCLE_BATCH // 2 + i, 3)
    base = module_base(os.path.join(work, "cycle.db"), CYCLE_MAIN)
    plain = sqlite_base(os.path.join(work, "cycle-plain.db"), CYCLE_MAIN)
    dicts = [dict(zip(h.COLUMNS, row)) for row in rows]

    def cycle(c):
        mv.insert_temp(c, "t", rows)
        mv.temp_to_main(c, "t")

    def upsert_many(c):
        c.executemany("INSERT OR REPLACE INTO t VALUES (?,?,?,?)", rows)
        c.commit()

    others = {package: (base, cycle, connect) for package, connect in OTHER_CONNECTIONS.items()}
    t = h.paired({"module": (base, cycle), "method": (base, method_path(cycle)),
                  "upsert_all": (plain, lambda c: sqlite_utils.Database(c)["t"].upsert_all(dicts, pk="k")),
                  "upsert_many": (plain, upsert_many), **others}, rounds, work)
    res = {f"{who}_s": statistics.median(t[who]) for who in t}
    res.update({f"ratio_{who}": h.ratio(t, "module", who) for who in ("method", "upsert_all", "upsert_many", *others)})
    res["others"] = list(others)
    return res


def merge_growth(main_rows: int, rounds: int, work: str, base: str | None = None, plain: str | None = None) -> dict:
    """Merge of a fixed batch into a main table of `main_rows` rows: module vs INSERT OR REPLACE."""
    rows = growth_batch(main_rows)
    staged = h.fresh_copy(base, work) if base else module_base(os.path.join(work, f"g{main_rows}.db"), main_rows)
    conn = sqlite3.connect(staged)
    mv.insert_temp(conn, "t", rows)
    conn.close()
    plain_staged = h.fresh_copy(plain, work) if plain else sqlite_base(os.path.join(work, "g0q.db"), main_rows)
    conn = sqlite3.connect(plain_staged)
    conn.executemany("INSERT INTO s VALUES (?,?,?,?)", rows)
    conn.commit()
    conn.close()
    t = h.paired({"module": (staged, module_merge), "sqlite": (plain_staged, sqlite_merge)}, rounds, work)
    return {"main_rows": main_rows, "module_s": statistics.median(t["module"]),
            "reindex_s": phases(t["module:phases"], t["module"])["reindex+commit"],
            "sqlite_s": statistics.median(t["sqlite"]), "ratio_sqlite": h.ratio(t, "module", "sqlite")}


def merge_bases(work: str, main_rows: int, batch: int) -> tuple[str, str, list]:
    """A module file (unique key on k, an index on name) and a plain one (PRIMARY KEY k, the same index on
    name) with the same main rows, and a batch of which half are new versions of the newest main rows."""
    rows = h.make_rows(batch, lambda rng, i: main_rows - batch // 2 + i, 3)
    path = os.path.join(work, f"mc{main_rows}-{batch}.db")
    conn = mv.DB(f"bench_{Path(path).stem}_{next(MERGE_FILES)}", path).connection()  # a name once per process
    mv.create_table(conn, "t", h.COLUMNS, [dict(i) for i in MERGE_INDEX], UNIQUE)
    conn.executemany("INSERT INTO t VALUES (?,?,?,?)", h.make_rows(main_rows, lambda rng, i: i, 1))
    conn.commit()
    conn.close()
    plain = os.path.join(work, f"mp{main_rows}-{batch}.db")
    conn = sqlite3.connect(plain)
    conn.execute("CREATE TABLE t (k PRIMARY KEY, name, score, n)")
    conn.execute("CREATE INDEX t_by_name ON t (name)")
    conn.executemany("INSERT INTO t VALUES (?,?,?,?)", h.make_rows(main_rows, lambda rng, i: i, 1))
    conn.commit()
    conn.close()
    return path, plain, rows


def merge_cycle(work: str, rounds: int) -> list:
    """insert_temp + morvel.merge against INSERT OR REPLACE and sqlite-utils upsert_all of the same rows."""
    res = []
    for (main_rows, batch), (goal_replace, goal_upsert) in MERGE_CASES.items():
        path, plain, rows = merge_bases(work, main_rows, batch)
        dicts = [dict(zip(h.COLUMNS, row)) for row in rows]

        def cycle(rebuild):
            def run(c):
                mv.insert_temp(c, "t", rows)
                return morvel.merge(c, "t", rebuild=rebuild).rebuilt
            return run

        def replace(c):
            c.executemany("INSERT OR REPLACE INTO t VALUES (?,?,?,?)", rows)
            c.commit()

        t = h.paired({"merge": (path, cycle(None)), "rebuild": (path, cycle(True)), "live": (path, cycle(False)),
                      "replace": (plain, replace),
                      "upsert_all": (plain, lambda c: sqlite_utils.Database(c)["t"].upsert_all(dicts, pk="k"))},
                     rounds * 3 if main_rows < 1_000_000 else rounds, work)  # the five rotate: 15 rounds by default
        case = {"main_rows": main_rows, "batch": batch, "goal_replace": goal_replace, "goal_upsert": goal_upsert,
                "rounds": len(t["merge"])}
        case.update({f"{who}_s": statistics.median(t[who]) for who in ("merge", "rebuild", "live", "replace", "upsert_all")})
        case.update(ratio_replace=h.ratio(t, "merge", "replace"), ratio_upsert=h.ratio(t, "merge", "upsert_all"),
                    ratio_rebuild=h.ratio(t, "merge", "rebuild"), ratio_live=h.ratio(t, "merge", "live"))
        res.append(case)
        print(f"  merge cycle {main_rows:,} + {batch:,}: {case}", file=sys.stderr, flush=True)
        empty(work)
    return res


def empty(work: str) -> None:
    """Removes the files one measurement left in the work directory, before the next one makes its own."""
    for name in os.listdir(work):
        os.remove(os.path.join(work, name))


def sweep_rounds(rounds: int, batch: int) -> int:
    """Rounds of a sweep point: a multiple of three (the contenders rotate), more for the shorter merges."""
    wanted = rounds * 6 if batch < 10_000 else rounds * 3 if batch < 100_000 else rounds
    return -(-wanted // 3) * 3


def merge_sweep(work: str, rounds: int) -> list:
    """morvel.merge alone of batches of a growing share of the main table: rebuild None, True and False."""
    res = []
    for main_rows, shares in MERGE_SWEEP.items():
        for share in shares:
            batch = max(1, int(main_rows * share))
            path, _, rows = merge_bases(work, main_rows, batch)
            conn = sqlite3.connect(path)
            mv.insert_temp(conn, "t", rows)
            conn.close()

            def merge(rebuild):
                return lambda c: morvel.merge(c, "t", rebuild=rebuild)

            # Each round runs the three side by side in a rotated order, so a round count that is a multiple of
            # three puts each of them first, second and third equally often; merges of a few milliseconds get
            # many more rounds, so that a slow moment of the shared machine cannot decide.
            t = h.paired({"merge": (path, merge(None)), "rebuild": (path, merge(True)), "live": (path, merge(False))},
                         sweep_rounds(rounds, batch), work)
            point = {"main_rows": main_rows, "batch": batch, "share": share, "rounds": len(t["merge"]),
                     **{f"{who}_s": statistics.median(t[who]) for who in ("merge", "rebuild", "live")}}
            conn = sqlite3.connect(h.fresh_copy(path, work))
            point["chose_rebuild"] = morvel.merge(conn, "t").rebuilt
            conn.close()
            # The better fixed choice by its median, then the chooser against it round by round: the median of
            # ratios measured side by side in one round (a minimum of the two per round would favour the
            # fixed choices, which get two draws of the noise against the chooser's one).
            point["better"] = "rebuild" if point["rebuild_s"] <= point["live_s"] else "live"
            point["ratio_best"] = h.ratio(t, "merge", point["better"])
            res.append(point)
            print(f"  merge sweep {main_rows:,} x {share}: {point}", file=sys.stderr, flush=True)
            empty(work)
    return res


def merge_report(cycle: list, sweep: list) -> str:
    lines = [f"morvel.merge: {machine()}",
             "load cycle: insert_temp + morvel.merge (unique key on k, an index on name) against executemany INSERT OR "
             "REPLACE and sqlite-utils upsert_all(pk='k') into a table with PRIMARY KEY k and the same index on name;",
             "half of each batch new versions of main rows; median ms, ratio = module / other (median of paired rounds)",
             ""]
    for c in cycle:
        lines.append(f"  {c['main_rows']:>9,} + {c['batch']:>7,}: merge {c['merge_s'] * 1e3:8.1f}  rebuild=True "
                     f"{c['rebuild_s'] * 1e3:8.1f}  rebuild=False {c['live_s'] * 1e3:8.1f}  REPLACE {c['replace_s'] * 1e3:8.1f}  "
                     f"upsert_all {c['upsert_all_s'] * 1e3:8.1f}  / REPLACE {c['ratio_replace']:.2f} (goal <= "
                     f"{c['goal_replace']:.2f})  / upsert_all {c['ratio_upsert']:.2f} (goal <= {c['goal_upsert']:.2f})")
    lines += ["", "growth sweep: morvel.merge alone (batch staged), rebuild None (the chooser), True and False; "
              f"goal: chooser / better of the two <= {MERGE_CHOOSER_GOAL:.2f}",
              "(median ms; the better is the fixed choice of lower median, the ratio the median of the per-round "
              "ratios of the chooser to it)", ""]
    for p in sweep:
        lines.append(f"  {p['main_rows']:>9,} main, batch {p['batch']:>7,} ({p['share']:>5.3f}): None {p['merge_s'] * 1e3:8.1f}"
                     f" ({'rebuilt' if p['chose_rebuild'] else 'live'})  True {p['rebuild_s'] * 1e3:8.1f}  False "
                     f"{p['live_s'] * 1e3:8.1f}  None / {p['better']:<7} {p['ratio_best']:.3f}  ({p['rounds']} rounds)")
    return "\n".join(lines) + "\n"


def plot_sweep(axis, sweep: list, source: str = "") -> None:
    """The growth sweep: time of each rebuild choice against the batch's share of the main table."""
    for main_rows in sorted({p["main_rows"] for p in sweep}):
        points = [p for p in sweep if p["main_rows"] == main_rows]
        shares = [p["share"] for p in points]
        line, = axis.plot(shares, [p["merge_s"] * 1e3 for p in points], "o-", label=f"merge, {main_rows:,} rows")
        axis.plot(shares, [p["rebuild_s"] * 1e3 for p in points], "s--", color=line.get_color(), alpha=0.6,
                  label="rebuild=True")
        axis.plot(shares, [p["live_s"] * 1e3 for p in points], "^:", color=line.get_color(), alpha=0.6,
                  label="rebuild=False")
    axis.set(xscale="log", yscale="log", xlabel="batch / main rows", ylabel="milliseconds",
             title="morvel.merge: rebuild None, True, False" + (f"\n({source})" if source else ""))
    axis.set_ylim(bottom=axis.get_ylim()[0] / 10)  # room for the legend below the fastest points
    axis.legend(fontsize=7, ncol=3, loc="lower center")


def load_csv(path: str, n: int) -> int:
    """A CSV file of n rows and 6 columns, about 66 bytes a row: ids, codes, names, prices, zip codes (some
    with leading zeros, which must stay text) and barcodes (a fifth of them empty); returns its size."""
    rng = random.Random(7)
    with open(path, "w", newline="") as f:
        f.write("id,sku,name,price,zip,barcode\n")
        for start in range(0, n, 10_000):
            f.write("".join(
                f"{i},SKU-{rng.randrange(10**6):06d},product name number {i % 9973},{rng.randrange(100_000) / 100},"
                f"{rng.randrange(100_000):05d},{'' if rng.random() < 0.2 else f'{rng.randrange(10**12):013d}'}\n"
                for i in range(start, min(n, start + 10_000))))
    return os.path.getsize(path)


def lineitem_csv(path: str, n: int) -> int:
    """A CSV file of n rows shaped as TPC-H's lineitem as its generator writes it (decimals with two places:
    `17.00`, dates as ISO text), about 120 bytes a row; returns its size."""
    rng = random.Random(7)
    day = datetime.date(1992, 1, 1).toordinal()
    dates = [datetime.date.fromordinal(day + d).isoformat() for d in range(2600)]
    words = ["carefully", "final", "deposits", "sleep", "quickly", "ironic", "packages", "among", "the", "blithely"]
    instructs = ["DELIVER IN PERSON", "COLLECT COD", "NONE", "TAKE BACK RETURN"]
    modes = ["AIR", "MAIL", "SHIP", "TRUCK", "RAIL", "FOB", "REG AIR"]
    with open(path, "w", newline="") as f:
        f.write("l_orderkey,l_partkey,l_suppkey,l_linenumber,l_quantity,l_extendedprice,l_discount,l_tax,"
                "l_returnflag,l_linestatus,l_shipdate,l_commitdate,l_receiptdate,l_shipinstruct,l_shipmode,"
                "l_comment\n")
        for start in range(0, n, 10_000):
            lines = []
            for i in range(start, min(n, start + 10_000)):
                ship = rng.randrange(2500)
                lines.append(
                    f"{i // 4 + 1},{rng.randrange(1, 200_001)},{rng.randrange(1, 10_001)},{i % 4 + 1},"
                    f"{rng.randrange(1, 51)}.00,{rng.randrange(90_000, 10_500_000) / 100:.2f},"
                    f"0.{rng.randrange(11):02d},0.{rng.randrange(9):02d},{rng.choice('ANR')},{rng.choice('OF')},"
                    f"{dates[ship]},{dates[ship + rng.randrange(0, 60)]},{dates[ship + rng.randrange(1, 31)]},"
                    f"{rng.choice(instructs)},{rng.choice(modes)},{' '.join(rng.choices(words, k=rng.randrange(2, 7)))}\n")
            f.write("".join(lines))
    return os.path.getsize(path)


LOAD_SHAPES = {"products": (load_csv, "6 columns"), "lineitem": (lineitem_csv, "16 columns shaped as TPC-H's lineitem")}


# The merged load of lineitem: its key and an index, beside the shell's import and the same CREATE INDEX statements.
LINEITEM_KEY, LINEITEM_INDEX = "l_orderkey,l_linenumber", "l_partkey"
MERGED_GOALS = {"sqlite3 .import + indexes": 1.3}  # load --merge / other (CPU)
MERGED_MEMORY_GOAL_MB = 200


def peak_run(cmd: list[str]) -> int:
    """Runs cmd in a process of its own and returns that process's peak resident size in bytes."""
    probe = ("import resource, subprocess, sys; subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL); "
             "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    out = subprocess.run([sys.executable, "-c", probe, *cmd], check=True, capture_output=True, text=True)
    return int(out.stdout.split()[-1]) * 1024


def load_command(work: str, n: int, rounds: int, shape: str = "products") -> dict:
    """`python -m morvel load` of a CSV file into a new file against the usual ways of loading one: the SQLite
    shell's .import (every value text, empty fields '') and sqlite-utils insert --csv (types guessed); for
    lineitem also the load with its key, an index and --merge against .import and the same CREATE INDEX
    statements. Each a process of its own, in rotating order: wall time, the CPU time of the process (user +
    system) and its peak resident size."""
    src, target = os.path.join(work, "load.csv"), os.path.join(work, "load.db")
    size = LOAD_SHAPES[shape][0](src, n)
    load = [sys.executable, "-m", "morvel", "load", target, "t", src, "--quiet"]
    commands = {"morvel load": load}
    if shutil.which("sqlite3"):
        commands["sqlite3 .import"] = ["sqlite3", target, f".import --csv {src} t"]
    if shape == "lineitem":
        commands["morvel load --merge"] = [*load, "--unique", LINEITEM_KEY, "--index", LINEITEM_INDEX, "--merge"]
        if shutil.which("sqlite3"):
            commands["sqlite3 .import + indexes"] = [
                "sqlite3", target, f".import --csv {src} t", f"CREATE UNIQUE INDEX t_key ON t ({LINEITEM_KEY})",
                f"CREATE INDEX t_index ON t ({LINEITEM_INDEX})"]
    beside = Path(sys.executable).with_name("sqlite-utils")
    # sqlite-utils, 30 times slower, only beside the smaller file
    if shape == "products" and (beside.exists() or shutil.which("sqlite-utils")):
        commands["sqlite-utils insert --csv"] = [str(beside) if beside.exists() else "sqlite-utils", "insert",
                                                 target, "t", src, "--csv"]
    names = list(commands)
    stored: dict[str, str] = {}  # what each tool stores: the types of each column's values
    wall: dict[str, list[float]] = {who: [] for who in names}
    cpu: dict[str, list[float]] = {who: [] for who in names}
    peak: dict[str, int] = {who: 0 for who in names}
    for r in range(rounds):
        for who in names[r % len(names):] + names[:r % len(names)]:
            with contextlib.suppress(FileNotFoundError):
                os.remove(target)
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            start = time.perf_counter()
            peak[who] = max(peak[who], peak_run(commands[who]))
            wall[who].append(time.perf_counter() - start)
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            # never 0 for a ratio: a tiny file (the CI's smoke run) can take less than the clock's step
            cpu[who].append(max(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime, 1e-6))
            with contextlib.closing(sqlite3.connect(target)) as conn:
                table = {"morvel load": "temp_t", "morvel load --merge": "t"}.get(who, "t")
                if who.startswith("morvel") and conn.execute(f"SELECT count(*) FROM {table}").fetchone()[0] != n:
                    raise RuntimeError(f"{who} left another number of rows")
                stored[who] = stored_types(conn, table)
    res: dict = {"rows": n, "bytes": size, "rounds": rounds, "stored": stored, "shape": shape,
                 "peak_mb": {who: peak[who] / 1e6 for who in names}}
    for who in names:
        res[f"{who}_s"], res[f"{who}_cpu_s"] = statistics.median(wall[who]), statistics.median(cpu[who])
        mine = "morvel load --merge" if who in MERGED_GOALS else "morvel load"
        if not who.startswith("morvel"):
            res[f"ratio {who}"] = h.ratio(wall, mine, who)
            res[f"cpu ratio {who}"] = h.ratio(cpu, mine, who)
    return res


def load_command_report(res: dict) -> str:
    shape = res.get("shape", "products")
    lines = [f"load command: {machine()}",
             f"python -m morvel load of a {res['rows']:,}-row CSV file of {LOAD_SHAPES[shape][1]} "
             f"({res['bytes'] / 1e6:.0f} MB) into a new file, against the SQLite shell's .import --csv"
             + (f" (and, with --unique {LINEITEM_KEY} --index {LINEITEM_INDEX} --merge, against .import and the same "
                "CREATE INDEX statements)" if shape == "lineitem" else " and sqlite-utils insert --csv")
             + f", each a process of its own; median of {res['rounds']} rounds, ratio = morvel / other (median of "
             "paired rounds); CPU = user + system time of the process; peak = its largest resident size", ""]
    goals = {**LOAD_GOALS, **MERGED_GOALS} if shape == "lineitem" else LOAD_GOALS
    for who in ("morvel load", *LOAD_GOALS, "morvel load --merge", *MERGED_GOALS):
        if f"{who}_s" not in res:
            if who in goals and (shape == "products" or who != "sqlite-utils insert --csv"):
                lines.append(f"  {who:<27} not installed")
            continue
        line = f"  {who:<27}{res[f'{who}_s']:8.2f} s (CPU {res[f'{who}_cpu_s']:6.2f} s)"
        if "peak_mb" in res:
            line += f", peak {res['peak_mb'][who]:6.0f} MB"
        if who in goals:
            line += (f"   morvel / this {res[f'ratio {who}']:.2f} (CPU {res[f'cpu ratio {who}']:.2f}), "
                     f"goal <= {goals[who]:.2f}")
        if who == "morvel load --merge":
            line += f"; goal peak <= {MERGED_MEMORY_GOAL_MB} MB"
        lines.append(line)
        if who in res.get("stored", {}) and who not in MERGED_GOALS and who != "morvel load --merge":
            lines.append(f"  {'':<27}stores {res['stored'][who]}")
    return "\n".join(lines) + "\n"


def stored_types(conn: sqlite3.Connection, table: str) -> str:
    """Each column's declared type and the types of its values, e.g. "price REAL: real; zip TEXT: text"."""
    parts = []
    for _, name, declared, *_ in conn.execute(f"PRAGMA table_info({table})").fetchall():
        kinds = [k for (k,) in conn.execute(f'SELECT DISTINCT typeof("{name}") FROM {table} ORDER BY 1')]
        parts.append(f"{name}{' ' + declared if declared else ''}: {'+'.join(kinds)}")
    return "; ".join(parts)


FIND_STAGED_SIZES = [5_000, 10_000, 20_000]    # distinct keys staged, find without a condition
FIND_VERSIONS = [200, 400, 800]                # staged versions of one key
INDEX_COST_ROWS = 100_000                      # rows loaded and merged to price the staging index


def with_staging_index(path: str) -> str:
    """A copy of `path` whose staging table has the index a caller may create on the key column."""
    copy = path.replace(".db", "-idx.db")
    with contextlib.closing(sqlite3.connect(path)) as src, contextlib.closing(sqlite3.connect(copy)) as dst:
        src.backup(dst)
        dst.execute("CREATE INDEX temp_t_k ON temp_t (k)")
        dst.commit()
    return copy


def find_cost(work: str, rounds: int) -> dict:
    """find over staged rows, with and without the staging index; the index's price in insert_temp and the merge."""
    res: dict = {"staged": [], "versions": [], "index_cost": {}}

    def timed_find(label: str, staged: list, cases: list, n: int) -> None:
        base = module_base(os.path.join(work, f"{label}{n}.db"), 0, staged)
        indexed = with_staging_index(base)
        once = 1 if n >= 10_000 or label == "v" else rounds
        t = h.paired({"plain": (base, lambda c: mv.find(c, "*", "t", "")),
                      "indexed": (indexed, lambda c: mv.find(c, "*", "t", ""))}, once, work)
        cases.append({"n": n, "plain_s": statistics.median(t["plain"]), "indexed_s": statistics.median(t["indexed"])})
        print(f"  {label} {n}: {cases[-1]}", file=sys.stderr, flush=True)

    for n in FIND_STAGED_SIZES:
        timed_find("s", h.make_rows(n, lambda rng, i: i, 4), res["staged"], n)
    for n in FIND_VERSIONS:
        timed_find("v", h.make_rows(n, lambda rng, i: 7, 5), res["versions"], n)

    rows = batch_rows(INDEX_COST_ROWS)
    empty = module_base(os.path.join(work, "ic.db"), INDEX_COST_ROWS)
    indexed = with_staging_index(empty)
    t = h.paired({"plain": (empty, lambda c: module_merge(c, rows)),
                  "indexed": (indexed, lambda c: module_merge(c, rows))}, rounds, work)
    for who in ("plain", "indexed"):
        split = phases(t[f"{who}:phases"], t[who], cycle=True)
        res["index_cost"][who] = {"insert_temp_s": split["insert_temp"],
                                  "temp_to_main_s": statistics.median(t[who]) - split["insert_temp"]}
    res["index_cost"]["ratio"] = h.ratio(t, "indexed", "plain")
    return res


def find_cost_report(res: dict) -> str:
    lines = [f"find cost: {machine()}", "find(conn, '*', 't', '') with a unique key on k, main table empty; "
             "'indexed' adds CREATE INDEX ON temp_t (k)", ""]
    for title, key, unit in (("distinct keys staged", "staged", "rows"), ("versions of one key staged", "versions",
                                                                          "versions")):
        lines.append(f"{title}:")
        prev = None
        for c in res[key]:
            grow = f"  x{c['plain_s'] / prev['plain_s']:.1f} for x{c['n'] / prev['n']:.0f} {unit}" if prev else ""
            lines.append(f"  {c['n']:>7,} {unit:<8}: {c['plain_s']:9.3f} s without index, {c['indexed_s']:8.3f} s with "
                         f"(ratio {c['indexed_s'] / c['plain_s']:.3f}){grow}")
            prev = c
    ic = res["index_cost"]
    lines += ["", f"price of the staging index, {INDEX_COST_ROWS:,} rows (main table of the same size), median:",
              f"  insert_temp  {ic['plain']['insert_temp_s']:.3f} s without, {ic['indexed']['insert_temp_s']:.3f} s with "
              f"(ratio {ic['indexed']['insert_temp_s'] / ic['plain']['insert_temp_s']:.2f})",
              f"  temp_to_main {ic['plain']['temp_to_main_s']:.3f} s without, {ic['indexed']['temp_to_main_s']:.3f} s "
              f"with (ratio {ic['indexed']['temp_to_main_s'] / ic['plain']['temp_to_main_s']:.2f})",
              f"  whole cycle ratio {ic['ratio']:.2f}"]
    return "\n".join(lines) + "\n"


QUERY_WHERE = "n % 100 = 0"                    # 1 % of the rows of each table (n is the row's number)
QUERY_GROWTH = [10_000, 100_000, 1_000_000]     # staged rows, empty main table


def query_shapes() -> list[tuple[str, int, list, str]]:
    """(label, main rows, staged rows, where) of each shape that query's goals name."""
    versions = h.make_rows(2_800, lambda rng, i: 7 if i % 7 in (0, 3) else 1_000 + i, 6)  # 800 versions of k = 7
    return [("20,000 distinct staged keys, empty main table", 0, h.make_rows(20_000, lambda rng, i: i, 4), ""),
            ("800 versions of one key among 2,800 staged rows", 0, versions, ""),
            ("200,000 main + 20,000 staged rows, where 1 %", 200_000,
             h.make_rows(20_000, lambda rng, i: rng.randrange(220_000), 7), QUERY_WHERE)]


def plain_fetch(where: str):
    """The candidate rows of both tables, fetched as they are: the cost of reading them."""
    cond = f" WHERE {where}" if where else ""

    def fetch(c):
        return c.execute(f"SELECT rowid,* FROM temp_t{cond}").fetchall() + c.execute(f"SELECT rowid,* FROM t{cond}").fetchall()
    return fetch


def query_cost(work: str, rounds: int) -> dict:
    """morvel.query against a plain fetch of the candidate rows, side by side; its growth with staged rows;
    its memory for the largest batch."""
    res: dict = {"shapes": [], "growth": []}
    for label, main_rows, staged, where in query_shapes():
        base = module_base(os.path.join(work, f"qc{len(res['shapes'])}.db"), main_rows, staged)
        ask = lambda c, w=where: morvel.query(c, "t", w)  # noqa: E731
        t = h.paired({"query": (base, ask), "fetch": (base, plain_fetch(where)), "method": (base, method_path(ask))},
                     rounds, work)
        res["shapes"].append({"shape": label, "query_s": statistics.median(t["query"]),
                              "fetch_s": statistics.median(t["fetch"]), "method_s": statistics.median(t["method"]),
                              "ratio_fetch": h.ratio(t, "query", "fetch"), "method_fetch": h.ratio(t, "method", "fetch")})
        print(f"  {res['shapes'][-1]}", file=sys.stderr, flush=True)
    for n in QUERY_GROWTH:
        base = module_base(os.path.join(work, f"qg{n}.db"), 0, batch_rows(n))
        t = h.paired({"query": (base, lambda c: morvel.query(c, "t")), "fetch": (base, plain_fetch(""))},
                     rounds if n < 1_000_000 else max(1, rounds // 2), work)
        res["growth"].append({"n": n, "query_s": statistics.median(t["query"]), "fetch_s": statistics.median(t["fetch"]),
                              "ratio_fetch": h.ratio(t, "query", "fetch")})
        print(f"  {res['growth'][-1]}", file=sys.stderr, flush=True)
        os.remove(base)
    base = module_base(os.path.join(work, "qmem.db"), 0, batch_rows(QUERY_GROWTH[-1]))
    res["memory"] = query_memory_of(base, {}, shared=True)
    os.remove(base)
    return res


def query_memory_of(path: str, kwargs: dict, shared: bool = False) -> dict:
    """morvel.query(conn, 't', **kwargs) on the file at `path`, measured in a fresh process (query_memory_child)."""
    spec = json.dumps({"path": path, "kwargs": kwargs, "shared": shared})
    cmd = [sys.executable, __file__, "--query-memory-child", spec]
    return json.loads(subprocess.run(cmd, check=True, capture_output=True, text=True).stdout)


def query_memory_child(spec: str) -> None:
    """Run in a subprocess: what morvel.query allocates beyond the answer it returns (tracemalloc), and beyond
    both the answer and its key sets. The key sets are measured apart: one set of the distinct staged keys of
    k (the table's one unique key) grown entry by entry, at its end and at its peak (its last resize), and the
    key values it holds, one per distinct key (`shared`: the answer holds those values itself, as they are
    read with the rows answered). The key sets are complete before the answer grows, so the call holds at
    least the larger of the key sets at their peak and the key sets at their end plus the answer; what it
    holds beyond that is the rest: the reads in progress."""
    s = json.loads(spec)
    conn = sqlite3.connect(s["path"])
    staged, main = (conn.execute(f"SELECT count(*) FROM {t}").fetchone()[0] for t in ("temp_t", "t"))
    values = list(set(r[0] for r in conn.execute("SELECT k FROM temp_t")))
    distinct = len(values)
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    keys = set(values)  # grown entry by entry, as query grows it: its peak holds the last resize
    table, table_peak = (m - before for m in tracemalloc.get_traced_memory())
    tracemalloc.stop()
    del keys
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    fresh = [int(str(v)) for v in values]  # one value per distinct key, as a read makes them
    objects = tracemalloc.get_traced_memory()[0] - before - sys.getsizeof(fresh)
    tracemalloc.stop()
    del fresh, values
    values_held = 0 if s["shared"] else objects
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    answer = morvel.query(conn, "t", **s["kwargs"])
    held, peak = (m - before for m in tracemalloc.get_traced_memory())
    tracemalloc.stop()
    conn.close()
    mb = 2**20
    least = max(table_peak + values_held, table + values_held + held)
    print(json.dumps({"staged": staged, "main": main, "distinct_keys": distinct, "answered": len(answer),
                      "answer_mb": held / mb, "beyond_answer_mb": (peak - held) / mb,
                      "key_sets_mb": (table + values_held) / mb, "key_sets_peak_mb": (table_peak + values_held) / mb,
                      "beyond_both_mb": (peak - least) / mb}))


# morvel.query's peak memory beside its answer and its key sets, each case in a fresh process under
# tracemalloc, on a file of QUERY_MEMORY_MAIN main rows (no staged row) or of QUERY_MEMORY_STAGED staged
# rows (batch_rows: repeated keys, an empty main table). Goal: at most 16 MB beyond both, at any size.
QUERY_MEMORY_MAIN, QUERY_MEMORY_STAGED = 2_000_000, 1_000_000
QUERY_MEMORY_GOAL_MB = 16
QUERY_MEMORY_CASES = [  # (rows, query's keyword arguments, whether the answer holds the key values read)
    ("main", {"order_by": "score DESC", "limit": 1}, False),
    ("main", {"limit": 1}, False),
    ("main", {"where": QUERY_WHERE}, False),
    ("main", {"order_by": "score DESC", "limit": 1000}, False),
    ("staged", {"where": "1", "limit": 1}, False),
    ("staged", {"limit": 1}, False),
    ("staged", {"order_by": "score DESC", "limit": 1}, False),
    ("staged", {}, True),
    ("staged", {"where": "1"}, False),
    ("staged", {"order_by": "score DESC"}, False),
]


def query_memory(work: str, rounds: int) -> list:
    """Every case of QUERY_MEMORY_CASES (one run each: tracemalloc counts allocations, not time)."""
    bases = {"main": module_base(os.path.join(work, "qmm.db"), QUERY_MEMORY_MAIN),
             "staged": module_base(os.path.join(work, "qms.db"), 0, batch_rows(QUERY_MEMORY_STAGED))}
    res = []
    for rows, kwargs, shared in QUERY_MEMORY_CASES:
        res.append({"rows": rows, "kwargs": kwargs, **query_memory_of(bases[rows], kwargs, shared)})
        print(f"  {res[-1]}", file=sys.stderr, flush=True)
    return res


def query_memory_report(res: list) -> str:
    lines = [f"query memory: {machine()}",
             "morvel.query(conn, 't', ...) on a file of main rows only or staged rows only (one unique key on k), "
             "each case in a fresh process: tracemalloc's peak during the call beyond the answer it returns, and "
             "beyond both the answer and the key sets (a set of the distinct staged keys, built apart, at its end "
             "and at its peak, with the key values unless the answer holds them; beyond both: beyond the larger of "
             "the key sets at their peak and the key sets at their end plus the answer). "
             f"Goal: at most {QUERY_MEMORY_GOAL_MB} MB beyond both.", ""]
    for r in res:
        args = ", ".join(f"{k}={v!r}" for k, v in r["kwargs"].items()) or "(no arguments)"
        rows = f"{r['main']:,} main rows" if r["rows"] == "main" else f"{r['staged']:,} staged rows"
        lines.append(f"  {rows:>20}, {args:<40} answered {r['answered']:>9,} ({r['answer_mb']:6.1f} MB); peak beyond "
                     f"the answer {r['beyond_answer_mb']:6.1f} MB, key sets {r['key_sets_mb']:5.1f} MB "
                     f"(peak {r['key_sets_peak_mb']:5.1f}), beyond both {r['beyond_both_mb']:5.1f} MB")
    return "\n".join(lines) + "\n"


def query_cost_report(res: dict) -> str:
    lines = [f"query cost: {machine()}",
             "morvel.query(conn, 't', where) / a plain fetch of the same candidate rows (SELECT rowid,* FROM temp_t "
             "[WHERE ...] and the same on t), median of paired rounds; one unique key on k", ""]
    for c in res["shapes"]:
        lines.append(f"  {c['shape']:<50} query {c['query_s'] * 1e3:8.1f} ms, fetch {c['fetch_s'] * 1e3:8.1f} ms, "
                     f"ratio {c['ratio_fetch']:.2f} (goal <= 2.0); method path / fetch {c['method_fetch']:.2f}")
    lines += ["", "growth with the staged rows (keys with repeats, empty main table):"]
    prev = None
    for g in res["growth"]:
        grow = f"  x{g['query_s'] / prev['query_s']:.1f} for x{g['n'] // prev['n']} rows (goal <= x12)" if prev else ""
        lines.append(f"  {g['n']:>9,} staged rows: query {g['query_s'] * 1e3:9.1f} ms "
                     f"({g['query_s'] / g['n'] * 1e6:.2f} us per row), ratio to fetch {g['ratio_fetch']:.2f}{grow}")
        prev = g
    m = res["memory"]
    lines += ["", f"memory (tracemalloc, fresh process): {m['staged']:,} staged rows, {m['distinct_keys']:,} distinct keys, "
              f"{m['answered']:,} rows answered taking {m['answer_mb']:.0f} MB; peak beyond the answer "
              f"{m['beyond_answer_mb']:.0f} MB"]
    return "\n".join(lines) + "\n"


# morvel.query_arrow against morvel.query: the same answer, as Arrow data or as lists; CPU time of the call
# (time.process_time), the answer's own freeing left out, median of the per-round ratios. Goal: at most 1.0.
QUERY_ARROW_ROWS = 1_000_000                   # staged rows (batch_rows: keys with repeats), empty main table
QUERY_ARROW_GOAL = 1.0
QUERY_ARROW_CASES = [{}, {"where": "n % 2 = 0"}, {"order_by": "score"}]


def cpu_of(path: str, call) -> float:
    """The CPU time of call(conn) on a new connection to `path`; what it returns is freed afterwards."""
    conn = sqlite3.connect(path)
    gc.collect()
    start = time.process_time()
    answer = call(conn)
    elapsed = time.process_time() - start
    del answer
    conn.close()
    return elapsed


def query_arrow_cost(work: str, rounds: int) -> dict:
    """morvel.query_arrow and morvel.query of the same rows, side by side in rotating order; and pyarrow.table
    of the Arrow answer, where pyarrow is installed (the bench extras do not need it)."""
    try:
        import pyarrow
    except ImportError:
        pyarrow = None
    base = module_base(os.path.join(work, "qa.db"), 0, batch_rows(QUERY_ARROW_ROWS))
    res: dict = {"machine": machine(), "staged": QUERY_ARROW_ROWS, "cases": []}
    for kwargs in QUERY_ARROW_CASES:
        contenders = {"query": lambda c, k=kwargs: morvel.query(c, "t", **k),
                      "query_arrow": lambda c, k=kwargs: morvel.query_arrow(c, "t", **k)}
        if pyarrow is not None:
            contenders["query_arrow+pyarrow.table"] = lambda c, k=kwargs: pyarrow.table(morvel.query_arrow(c, "t", **k))
        times: dict[str, list[float]] = {name: [] for name in contenders}
        names = list(contenders)
        for r in range(rounds):
            for name in names[r % len(names):] + names[:r % len(names)]:
                times[name].append(cpu_of(base, contenders[name]))
        with sqlite3.connect(base) as conn:
            answer = morvel.query_arrow(conn, "t", **kwargs)
        case = {"kwargs": kwargs, "answered": len(answer), "types": dict(zip(answer.columns, answer.types)),
                **{f"{name}_s": statistics.median(t) for name, t in times.items()},
                "ratio": h.ratio(times, "query_arrow", "query")}
        if pyarrow is not None:
            case["ratio_with_table"] = h.ratio(times, "query_arrow+pyarrow.table", "query")
        res["cases"].append(case)
        print(f"  {case}", file=sys.stderr, flush=True)
    os.remove(base)
    return res


def query_arrow_report(res: dict) -> str:
    lines = [f"query arrow: {res['machine']}",
             f"morvel.query_arrow(conn, 't', ...) / morvel.query(conn, 't', ...), {res['staged']:,} staged rows (k with "
             "repeats, name, score, n; one unique key on k), empty main table: CPU time of the call (process_time), "
             f"the answer's freeing left out, median of the per-round ratios. Goal: at most {QUERY_ARROW_GOAL}.", ""]
    for c in res["cases"]:
        args = ", ".join(f"{k}={v!r}" for k, v in c["kwargs"].items()) or "(no arguments)"
        table = (f"; with pyarrow.table {c['query_arrow+pyarrow.table_s']:.3f} s, ratio {c['ratio_with_table']:.2f}"
                 if "ratio_with_table" in c else "")
        lines.append(f"  {args:<22} {c['answered']:>9,} rows: query {c['query_s']:.3f} s, query_arrow "
                     f"{c['query_arrow_s']:.3f} s, ratio {c['ratio']:.2f}{table}")
    types = ", ".join(f"{k} {v}" for k, v in res["cases"][0]["types"].items()) if res["cases"] else ""
    return "\n".join(lines + ["", f"columns: {types}"]) + "\n"


SECOND_THREAD_SIZES = [10_000, 100_000]


def second_thread(work: str, rounds: int) -> list:
    """insert_temp against executemany of the same rows, alone and while an idle second thread is alive:
    then every step that may write gives up the interpreter lock, as the sqlite3 module's steps do."""
    res = []
    for n in SECOND_THREAD_SIZES:
        batch = batch_rows(n)
        base = module_base(os.path.join(work, f"st{n}.db"), n)

        def executemany(c):
            c.executemany("INSERT INTO temp_t VALUES (?,?,?,?)", batch)
            c.commit()

        contenders = {"module": (base, lambda c: mv.insert_temp(c, "t", batch)), "executemany": (base, executemany)}
        alone = h.paired(contenders, rounds, work)
        stop = threading.Event()
        idle = threading.Thread(target=stop.wait)
        idle.start()
        try:
            shared = h.paired(contenders, rounds, work)
        finally:
            stop.set()
            idle.join()
        res.append({"n": n, "alone": h.ratio(alone, "module", "executemany"),
                    "second_thread": h.ratio(shared, "module", "executemany"),
                    "module_s": [statistics.median(alone["module"]), statistics.median(shared["module"])],
                    "executemany_s": [statistics.median(alone["executemany"]), statistics.median(shared["executemany"])]})
    return res


def second_thread_report(res: list) -> str:
    lines = [f"second thread: {machine()}",
             "insert_temp(conn, 't', rows) / executemany of the same rows into temp_t + commit, median of paired rounds",
             ""]
    for c in res:
        lines.append(f"  {c['n']:>7,} rows: alone {c['alone']:.3f} ({c['module_s'][0] * 1e3:.1f} / "
                     f"{c['executemany_s'][0] * 1e3:.1f} ms), with an idle second thread {c['second_thread']:.3f} "
                     f"({c['module_s'][1] * 1e3:.1f} / {c['executemany_s'][1] * 1e3:.1f} ms)")
    return "\n".join(lines) + "\n"


def peak_rss_mb(reset: bool = False) -> float:
    """Peak resident size of this process (VmHWM); `reset` restarts the peak from the current size."""
    if reset:
        Path("/proc/self/clear_refs").write_text("5")
    status = Path("/proc/self/status").read_text()
    return int(status.split("VmHWM:")[1].split()[0]) / 1024


def memory_child(n: int, trace: bool, work_dir: str | None) -> None:
    """Run in a subprocess: load and merge n rows, print memory figures as JSON."""
    with tempfile.TemporaryDirectory(prefix="morvel-mem-", dir=work_dir) as work:
        if trace:
            tracemalloc.start()
        rows = batch_rows(n)
        conn = sqlite3.connect(module_base(os.path.join(work, "mem.db"), 0))
        res = {"rows": n} if trace else {"rows": n, "rss_before_mb": peak_rss_mb()}
        for name, call in (("insert_temp", lambda: mv.insert_temp(conn, "t", rows)),
                           ("temp_to_main", lambda: mv.temp_to_main(conn, "t"))):
            if trace:
                tracemalloc.reset_peak()
                held = tracemalloc.get_traced_memory()[0]
                call()
                res[f"{name}_traced_peak_mb"] = (tracemalloc.get_traced_memory()[1] - held) / 2**20
                res.setdefault("rows_traced_mb", held / 2**20)
            else:
                peak_rss_mb(reset=True)
                call()
                res[f"{name}_peak_rss_mb"] = peak_rss_mb()
        conn.close()
    print(json.dumps(res))


def load_memory_child(n: int, work_dir: str | None) -> None:
    """Run in a subprocess: morvel.load of an n-row generator; prints the rise of the peak RSS as JSON."""
    with tempfile.TemporaryDirectory(prefix="morvel-mem-", dir=work_dir) as work:
        conn = sqlite3.connect(module_base(os.path.join(work, "load.db"), 0))
        rows = ((i, f"name {i}", i * 0.5, i % 7) for i in range(n))
        before = peak_rss_mb(reset=True)
        staged = morvel.load(conn, "t", rows)
        print(json.dumps({"rows": staged, "peak_rise_mb": peak_rss_mb() - before}))
        conn.close()


def load_memory(n: int, work_dir: str | None) -> dict:
    cmd = [sys.executable, __file__, "--load-memory", str(n)] + (["--dir", work_dir] if work_dir else [])
    return json.loads(subprocess.run(cmd, check=True, capture_output=True, text=True).stdout)


def memory(n: int, work_dir: str | None) -> dict:
    res: dict = {}
    for flags in ([], ["--trace"]):
        cmd = [sys.executable, __file__, "--memory", str(n), *flags] + (["--dir", work_dir] if work_dir else [])
        res.update(json.loads(subprocess.run(cmd, check=True, capture_output=True, text=True).stdout))
    return res


def machine() -> str:
    # lscpu may be missing, or see nothing in a root without /sys (CI's unstable one): then the kernel's view.
    try:
        described = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
    except OSError:
        described = ""
    with contextlib.suppress(OSError):
        described += Path("/proc/cpuinfo").read_text()
    cpu = next((line.split(":", 1)[1].strip() for line in described.splitlines()
                if line.startswith(("Model name", "model name"))), "?")
    return (f"{cpu}, {os.cpu_count()} CPUs, Python {platform.python_version()}, "
            f"SQLite {sqlite3.sqlite_version}, {platform.system()} {platform.release()}")


def cycle_lines(cycle: dict) -> list[str]:
    lines = [f"load cycle: insert_temp + temp_to_main of {CYCLE_BATCH:,} rows (half replacing) into "
             f"{CYCLE_MAIN:,} rows, against upserting the same rows into a table with a UNIQUE index on k:"]
    whos = [("module", "module (native path)"), ("method", "module (method path)"),
            ("upsert_all", "sqlite-utils upsert_all"), ("upsert_many", "executemany INSERT OR REPLACE")]
    whos += [(package, f"{package} connection") for package in cycle.get("others", [])]
    for who, label in whos:
        ratio = "" if who == "module" else f"   module / this {cycle['ratio_' + who]:.3f}"
        goal = {"upsert_all": "cycle/upsert_all", "upsert_many": "cycle/executemany OR REPLACE"}.get(who)
        lines.append(f"  {label:<32}{cycle[who + '_s'] * 1e3:9.1f} ms{ratio}" + (f"  (goal <= {GOALS[goal]:.2f})" if goal else ""))
    return lines


def load_cycle_report(cycle: dict) -> str:
    return "\n".join([f"load cycle: {machine()}", "ratio = module on a sqlite3.Connection (native path) / other, "
                      "median of paired rounds", ""] + cycle_lines(cycle)) + "\n"


def report(results: list[dict], growth: list[dict], mem: dict, cycle: dict, elapsed: float, where: str) -> str:
    us = lambda seconds, n: f"{seconds / n * 1e6:8.2f}"  # noqa: E731
    lines = [f"morvel benchmark: {machine()}; databases in {where}", f"run time {elapsed:.0f} s; ratio = module / other, "
             "median of per-round ratios (module and other timed back to back on identical fresh files)",
             "module: a sqlite3.Connection (native path); method path: the same with MORVEL_NATIVE=0; proxy: through a "
             "forwarding object", ""]
    head = f"{'ratio':<34}{'goal':>6}" + "".join(f"{r['rows']:>12,}" for r in results)
    lines += [head, "-" * len(head)]
    rows = [("insert_temp/floor", "insert_temp", "ratio_floor"), ("temp_to_main/floor", "temp_to_main", "ratio_floor"),
            ("find/floor", "find", "ratio_floor"), ("find ''/floor", "find ''", "ratio_floor"),
            ("insert_temp/executemany", "insert_temp", "ratio_executemany"),
            ("insert_temp native/method path", "insert_temp", "ratio_method"),
            ("temp_to_main native/method path", "temp_to_main", "ratio_method"),
            ("find native/method path", "find", "ratio_method"),
            ("insert_temp method path/floor", "insert_temp", "method_floor"),
            ("temp_to_main method path/floor", "temp_to_main", "method_floor"),
            ("find method path/floor", "find", "method_floor"),
            ("insert_temp proxy/floor", "insert_temp", "proxy_floor"),
            ("temp_to_main proxy/floor", "temp_to_main", "proxy_floor"),
            ("find proxy/floor", "find", "proxy_floor"),
            ("(floor/executemany)", "insert_temp", "floor_vs_executemany"),
            ("(temp_to_main after BEGIN/without)", "temp_to_main", "begin_vs_module"),
            ("load cycle/INSERT OR REPLACE", "cycle", "ratio_sqlite"),
            ("load cycle/sqlite-utils upsert_all", "cycle", "ratio_sqlite_utils")]
    for label, op, key in rows:
        cells = "".join(f"{r[op][key]:>12.3f}" if op in r else f"{'-':>12}" for r in results)
        goal = f"{GOALS[label]:.2f}" if label in GOALS else ""
        lines.append(f"{label:<34}{goal:>6}{cells}")
    lines += ["", f"microseconds per row (module / floor or other){'':<4}" + "".join(f"{r['rows']:>22,}" for r in results)]
    for label, op, a, b in [("insert_temp / floor", "insert_temp", "module_s", "floor_s"),
                            ("insert_temp / executemany", "insert_temp", "module_s", "executemany_s"),
                            ("temp_to_main / floor", "temp_to_main", "module_s", "floor_s"),
                            ("load cycle / INSERT OR REPLACE", "cycle", "module_s", "sqlite_s"),
                            ("load cycle / sqlite-utils", "cycle", "module_s", "sqlite_utils_s")]:
        lines.append(f"{label:<50}" + "".join(f"{us(r[op][a], r['rows'])} /{us(r[op][b], r['rows'])}" + "    "
                                             for r in results))
    lines.append(f"{'find ' + FIND_COND + ' (per table row)':<50}" + "".join(
        f"{us(r['find']['module_s'], r['rows'] + FIND_STAGED)} /{us(r['find']['floor_s'], r['rows'] + FIND_STAGED)}    "
        for r in results))
    lines += ["", "where the time goes, seconds (median run): load cycle of the module | temp_to_main alone: module / floor"]
    for r in results:
        cyc, mod, flo = r["cycle"]["phases"], r["temp_to_main"]["phases"]["module"], r["temp_to_main"]["phases"]["floor"]
        lines.append(f"  {r['rows']:>9,} rows: " + ", ".join(f"{k} {v:.3f}" for k, v in cyc.items()))
        lines.append(f"  {'':>9}       " + ", ".join(f"{k} {mod[k]:.3f}/{flo[k]:.3f}" for k in MERGE_PHASES))
    lines += [""] + cycle_lines(cycle)
    lines += ["", f"merge of a fixed {GROWTH_BATCH:,}-row batch (half replacing, half new) into a main table of:"]
    for g in growth:
        lines.append(f"  {g['main_rows']:>9,} rows: module {g['module_s'] * 1e3:8.1f} ms (reindex+commit "
                     f"{g['reindex_s'] * 1e3:5.1f} ms), INSERT OR REPLACE "
                     f"{g['sqlite_s'] * 1e3:8.1f} ms, ratio {g['ratio_sqlite']:.2f}")
    lines += ["", f"memory of a {mem['rows']:,}-row insert_temp + temp_to_main (fresh process, rows built first):",
              f"  peak RSS {mem['rss_before_mb']:.0f} MB with the rows built, {mem['insert_temp_peak_rss_mb']:.0f} MB "
              f"during insert_temp, {mem['temp_to_main_peak_rss_mb']:.0f} MB during temp_to_main",
              f"  tracemalloc: the rows hold {mem['rows_traced_mb']:.0f} MB; peak above that during insert_temp "
              f"{mem['insert_temp_traced_peak_mb']:.1f} MB, during temp_to_main {mem['temp_to_main_traced_peak_mb']:.0f} MB"]
    return "\n".join(lines) + "\n"


def plot(results: list[dict], growth: list[dict], path: Path, sweep: list | None = None, sweep_source: str = "") -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sizes = [r["rows"] for r in results]
    fig, axes = plt.subplots(1, 3 if sweep else 2, figsize=(18 if sweep else 12, 4.8))
    left, right = axes[:2]
    if sweep:
        plot_sweep(axes[2], sweep, sweep_source)
    for label, op, key, style in [("insert_temp", "insert_temp", "module_s", "o-"),
                                  ("insert_temp method path", "insert_temp", "method_s", "o-."),
                                  ("insert_temp floor", "insert_temp", "floor_s", "o--"),
                                  ("executemany", "insert_temp", "executemany_s", "o:"),
                                  ("temp_to_main", "temp_to_main", "module_s", "s-"),
                                  ("temp_to_main method path", "temp_to_main", "method_s", "s-."),
                                  ("temp_to_main floor", "temp_to_main", "floor_s", "s--"),
                                  ("load cycle", "cycle", "module_s", "^-"),
                                  ("INSERT OR REPLACE cycle", "cycle", "sqlite_s", "^--"),
                                  ("sqlite-utils upsert_all", "cycle", "sqlite_utils_s", "^:")]:
        left.plot(sizes, [r[op][key] / r["rows"] * 1e6 for r in results], style, label=label)
    left.set(xscale="log", yscale="log", xlabel="rows per batch (main table of the same size)",
             ylabel="microseconds per row", title="time per row")
    left.set_ylim(top=left.get_ylim()[1] * 12)
    left.legend(fontsize=7, ncol=3, loc="upper center")
    mains = [g["main_rows"] for g in growth]
    right.plot(mains, [g["module_s"] * 1e3 for g in growth], "o-", label="temp_to_main")
    right.plot(mains, [g["sqlite_s"] * 1e3 for g in growth], "o--", label="INSERT OR REPLACE ... SELECT")
    right.plot(mains, [g["reindex_s"] * 1e3 for g in growth], "o:", label="temp_to_main: reindex+commit phase")
    right.set_xscale("symlog", linthresh=GROWTH_BATCH)
    right.set(xlabel="rows in the main table", ylabel="milliseconds", title=f"merging a {GROWTH_BATCH:,}-row batch")
    right.set_xlim(left=0)
    right.set_ylim(bottom=0)
    right.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def shrink() -> None:
    """--smoke: the sizes that the measurements fix for themselves, a hundredth of each (CI runs the commands
    so, to see that they still work, in seconds)."""
    global CYCLE_MAIN, CYCLE_BATCH, MERGE_CASES, MERGE_SWEEP, QUERY_GROWTH, FIND_STAGED_SIZES, FIND_VERSIONS
    global INDEX_COST_ROWS, SECOND_THREAD_SIZES, LOAD_COMMAND_ROWS, QUERY_MEMORY_MAIN, QUERY_MEMORY_STAGED
    global QUERY_ARROW_ROWS, QUERY_MEMORY_CASES
    CYCLE_MAIN, CYCLE_BATCH = CYCLE_MAIN // 100, CYCLE_BATCH // 100
    MERGE_CASES = {(m // 100, b // 100): goals for (m, b), goals in MERGE_CASES.items()}
    MERGE_SWEEP = {m // 100: shares[:2] for m, shares in list(MERGE_SWEEP.items())[:2]}  # its plot's two lines
    QUERY_GROWTH = [n // 100 for n in QUERY_GROWTH]
    FIND_STAGED_SIZES = [n // 100 for n in FIND_STAGED_SIZES]
    FIND_VERSIONS = [n // 100 for n in FIND_VERSIONS]
    INDEX_COST_ROWS //= 100
    SECOND_THREAD_SIZES = [n // 100 for n in SECOND_THREAD_SIZES]
    LOAD_COMMAND_ROWS //= 100
    QUERY_MEMORY_MAIN //= 100
    QUERY_MEMORY_STAGED //= 100
    QUERY_MEMORY_CASES = [QUERY_MEMORY_CASES[0], QUERY_MEMORY_CASES[-1]]  # each a process of its own
    fr.ROWS //= 100
    QUERY_ARROW_ROWS //= 100


# The parts of --staging-goals: (what it measures, its goals, its command after the interpreter).
STAGING_GOALS = [
    ("indexed staging, 1,000,000 main and 1,000,000 staged rows",
     "point by key and by an indexed column <= 2 x the main table alone (over 20,000 keys; 200 shown too); a range of 100 keys <= 3 x; load into "
     "indexed staging <= 1.6 x index-free; index-free point query <= 0.3 x 621 ms (the Python key sets)",
     ["bench/staging.py", "--rows", "1000000"]),
    ("merge and load cycle, 1,000,000 main rows",
     "merge of 1,000,000 into 1,000,000 adds <= 64 MB; the cycle <= 1.0 x INSERT OR REPLACE and <= 1.1 x ON "
     "CONFLICT at 10,000 and 100,000, ahead of both at 1,000,000",
     ["bench/merge_memory.py", "--rows", "1000000", "--batches", "10000,100000,1000000"]),
    ("merge and load cycle, 6,000,000 main rows",
     "the cycle <= 1.0 x INSERT OR REPLACE and <= 1.1 x ON CONFLICT at 10,000 and 100,000",
     ["bench/merge_memory.py", "--rows", "6000000", "--batches", "10000,100000"]),
    ("load --unique --index --merge of lineitem SF 1 into a new table",
     "<= 1.3 x .import and the same CREATE INDEX statements, peak <= 200 MB",
     ["bench/run.py", "--load-command", "--shape", "lineitem", "--sizes", "6001215"]),
]


def staging_goals(out: Path, smoke: bool, work_dir: str | None) -> None:
    """Each part in a process of its own, one after another; their reports, their goals and the load average
    before each, in staging-goals.txt."""
    here = Path(__file__).resolve().parent.parent
    lines = [f"indexed staging and the bounded merge: {machine()}", ""]
    for what, goals, command in STAGING_GOALS:
        if smoke:  # a hundredth of each size: each script shrinks its own but bench/staging.py
            if command[0] == "bench/staging.py":
                command = ["bench/staging.py", "--rows", "10000"]
            elif command[0] == "bench/run.py":
                command = command[:command.index("--sizes")] + ["--smoke", "--rounds", "1"]
            else:
                command = command + ["--smoke"]
        if work_dir and command[0] != "bench/run.py":
            command = command + ["--dir", work_dir]
        if command[0] == "bench/run.py":
            command = command + ["--out", str(out)]
        load = os.getloadavg()
        done = subprocess.run([sys.executable, *command], cwd=here, capture_output=True, text=True, check=True)
        lines += [f"== {what} (load average {load[0]:.2f}, {load[1]:.2f}, {load[2]:.2f}): python {' '.join(command)}",
                  f"goals: {goals}", done.stdout.rstrip(), ""]
        print("\n".join(lines[-4:]), flush=True)
    load = os.getloadavg()
    lines.append(f"load average at the end {load[0]:.2f}, {load[1]:.2f}, {load[2]:.2f}")
    out.mkdir(parents=True, exist_ok=True)
    (out / "staging-goals.txt").write_text("\n".join(lines) + "\n")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="10,000 and 100,000 rows only")
    parser.add_argument("--sizes", help="comma-separated row counts, e.g. 10000,50000")
    parser.add_argument("--rounds", type=int, help="rounds per measurement (default 15/5/3 by size)")
    parser.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else None,
                        help="where the temporary databases go (default /dev/shm: no disk noise)")
    parser.add_argument("--out", help="where the results go (default bench/results; bench/results-quick for --quick)")
    parser.add_argument("--find-cost", action="store_true", help="measure only how find's cost grows (minutes)")
    parser.add_argument("--second-thread", action="store_true",
                        help="measure only insert_temp against executemany with a second thread alive")
    parser.add_argument("--merge", action="store_true",
                        help="measure only morvel.merge's load cycle and its growth sweep of rebuild choices")
    parser.add_argument("--load-command", action="store_true",
                        help="measure only the load command against the SQLite shell and sqlite-utils (minutes)")
    parser.add_argument("--shape", choices=sorted(LOAD_SHAPES), default="products",
                        help="the CSV file of --load-command: 6 columns (products) or lineitem's 16")
    parser.add_argument("--load-cycle", action="store_true",
                        help="measure only the load cycle, on the connections of other packages too")
    parser.add_argument("--frames", action="store_true",
                        help="measure only Arrow tables, DataFrames and records into morvel.load against their peers")
    parser.add_argument("--staging-goals", action="store_true",
                        help="run every measurement of the indexed-staging and bounded-merge goals, in one run")
    parser.add_argument("--memory", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--load-memory", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--query-cost", action="store_true",
                        help="measure only morvel.query against a plain fetch of its candidate rows")
    parser.add_argument("--query-memory", action="store_true",
                        help="measure only morvel.query's peak memory beyond its answer and its key sets")
    parser.add_argument("--query-arrow", action="store_true",
                        help="measure only morvel.query_arrow against morvel.query, in CPU time")
    parser.add_argument("--query-memory-child", help=argparse.SUPPRESS)
    parser.add_argument("--trace", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--smoke", action="store_true",
                        help="every fixed size a hundredth of itself: proves that a command runs, measures nothing")
    args = parser.parse_args()
    if args.smoke:
        shrink()
    if args.memory:
        return memory_child(args.memory, args.trace, args.dir)
    if args.load_memory:
        return load_memory_child(args.load_memory, args.dir)
    if args.query_memory_child:
        return query_memory_child(args.query_memory_child)
    out = Path(args.out or (QUICK_RESULTS if args.quick else RESULTS))
    if args.staging_goals:
        return staging_goals(out, args.smoke, args.dir)
    if args.merge:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        with tempfile.TemporaryDirectory(prefix="morvel-bench-", dir=args.dir) as work:
            cycle, sweep = merge_cycle(work, args.rounds or 5), merge_sweep(work, args.rounds or 5)
        loaded = load_memory(1_000_000, args.dir)
        text = merge_report(cycle, sweep) + (f"\nmorvel.load of a {loaded['rows']:,}-row generator (batch 100,000): "
                                             f"peak RSS rose {loaded['peak_rise_mb']:.0f} MB\n")
        out.mkdir(parents=True, exist_ok=True)
        (out / "merge.txt").write_text(text)
        (out / "merge.json").write_text(json.dumps({"machine": machine(), "cycle": cycle, "sweep": sweep,
                                                    "load_memory": loaded}, indent=1))
        fig, axis = plt.subplots(figsize=(7, 4.8))
        plot_sweep(axis, sweep)
        fig.tight_layout()
        fig.savefig(out / "merge.png", dpi=110)
        # growth.png: the panels of the last full run, from its results.json, beside this run's sweep
        if (out / "results.json").exists():
            full = json.loads((out / "results.json").read_text())
            plot(full["results"], full["merge_growth"], out / "growth.png", sweep, "the sweep of bench/run.py --merge")
        print(text)
        return None
    if args.load_command:
        with tempfile.TemporaryDirectory(prefix="morvel-bench-", dir=args.dir) as work:
            res = load_command(work, int(args.sizes.split(",")[-1]) if args.sizes else LOAD_COMMAND_ROWS,
                               args.rounds or 3, args.shape)
        text = load_command_report(res)
        out.mkdir(parents=True, exist_ok=True)
        name = "load-command" if args.shape == "products" else f"load-command-{args.shape}"
        (out / f"{name}.txt").write_text(text)
        (out / f"{name}.json").write_text(json.dumps(res, indent=1))
        print(text)
        return None
    for wanted, name, measure, report_of in ((args.find_cost, "find-cost", find_cost, find_cost_report),
                                             (args.second_thread, "second-thread", second_thread,
                                              second_thread_report),
                                             (args.query_cost, "query-cost", query_cost, query_cost_report),
                                             (args.query_memory, "query-memory", query_memory, query_memory_report),
                                             (args.query_arrow, "query-arrow", query_arrow_cost, query_arrow_report),
                                             (args.load_cycle, "load-cycle", lambda work, rounds: load_cycle(rounds, work),
                                              load_cycle_report),
                                             (args.frames, "frames", lambda work, rounds: fr.frames(
                                                 work, rounds, int(args.sizes.split(",")[-1]) if args.sizes else fr.ROWS),
                                              fr.report)):
        if not wanted:
            continue
        with tempfile.TemporaryDirectory(prefix="morvel-bench-", dir=args.dir) as work:
            res = measure(work, args.rounds or {"find-cost": 3, "query-cost": 5, "load-cycle": 7, "frames": 5,
                                                 "query-arrow": 7}.get(name, 15))
        text = report_of(res)
        out.mkdir(parents=True, exist_ok=True)
        (out / f"{name}.txt").write_text(text)
        (out / f"{name}.json").write_text(json.dumps(res, indent=1))
        print(text)
        return None
    sizes = [int(s) for s in args.sizes.split(",")] if args.sizes else \
        [10_000, 100_000] if args.quick else [10_000, 100_000, 1_000_000]
    start = time.perf_counter()
    results, growth = [], []
    with tempfile.TemporaryDirectory(prefix="morvel-bench-", dir=args.dir) as work:
        growth.append(merge_growth(0, args.rounds or 7, work))
        for n in sizes:
            rounds = args.rounds or (15 if n <= 10_000 else 5 if n <= 100_000 else 3)
            print(f"{n:,} rows, {rounds} rounds ...", file=sys.stderr, flush=True)
            results.append(bench_size(n, rounds, work))
            growth.append(results[-1].pop("merge_growth"))
            empty(work)
        print("load cycle ...", file=sys.stderr, flush=True)
        cycle = load_cycle(args.rounds or 7, work)
        print("morvel.merge ...", file=sys.stderr, flush=True)
        merges = merge_cycle(work, args.rounds or 5)
        sweep = merge_sweep(work, args.rounds or 5)
        print("load command ...", file=sys.stderr, flush=True)
        loads = load_command(work, max(sizes), args.rounds or 3)
    mem = memory(max(sizes), args.dir)
    text = report(results, growth, mem, cycle, time.perf_counter() - start, args.dir or tempfile.gettempdir())
    text += "\n" + merge_report(merges, sweep)
    text += "\n" + load_command_report(loads)
    out.mkdir(parents=True, exist_ok=True)
    (out / "results.txt").write_text(text)
    (out / "results.json").write_text(json.dumps(
        {"machine": machine(), "sizes": sizes, "results": results, "merge_growth": growth, "memory": mem,
         "load_cycle": cycle, "merge_cycle": merges, "merge_sweep": sweep, "load_command": loads}, indent=1))
    plot(results, growth, out / "growth.png", sweep)
    print(text)
    print(f"written to {out}", file=sys.stderr)


if __name__ == "__main__":
    main()
