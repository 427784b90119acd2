"""Tabular data into morvel.load, beside the peers that take the same data: adbc_ingest of the Arrow table,
pandas' to_sql of the DataFrame, and the C floor (bench/floor.c: the same rows inserted with one prepared
statement, its values parsed before its clock starts). CPU time, median of the per-round ratios, rounds in
rotating order, each on a new file; peak memory in a process of its own.

    python bench/run.py --frames [--sizes N] [--rounds R] [--out DIR]
"""

from __future__ import annotations

import datetime as dt
import gc
import json
import os
import random
import shutil
import sqlite3
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import morvel
from morvel import morvel as mv

ROWS = 1_000_000
# module / other, CPU time; peak memory beyond the input
GOALS = {"arrow/adbc_ingest": 1.0, "arrow/C floor": 1.3, "pandas/to_sql": 0.3, "dicts/tuples": 1.5}
MEMORY_GOAL_MB = 32
COLUMNS = ["l_orderkey", "l_partkey", "l_suppkey", "l_linenumber", "l_quantity", "l_extendedprice", "l_discount",
           "l_tax", "l_returnflag", "l_linestatus", "l_shipdate", "l_commitdate", "l_receiptdate", "l_shipinstruct",
           "l_shipmode", "l_comment"]
FLOOR_TYPES = "iiiirrrrtttttttt"
FLOOR_SOURCE = Path(__file__).resolve().parent / "floor.c"


def lineitem(n: int, seed: int = 7) -> Any:
    """n rows shaped as TPC-H's lineitem: 4 integers, 4 reals, 2 flags, 3 dates, 3 texts (an Arrow table)."""
    import pyarrow as pa

    rng = random.Random(seed)
    day = dt.date(1992, 1, 1)
    ship = [rng.randrange(2500) for _ in range(n)]
    words = ["carefully", "final", "deposits", "sleep", "quickly", "ironic", "packages", "among", "the", "blithely"]
    return pa.table({
        "l_orderkey": pa.array([i // 4 + 1 for i in range(n)], pa.int64()),
        "l_partkey": pa.array([rng.randrange(1, 200_001) for _ in range(n)], pa.int64()),
        "l_suppkey": pa.array([rng.randrange(1, 10_001) for _ in range(n)], pa.int64()),
        "l_linenumber": pa.array([i % 4 + 1 for i in range(n)], pa.int64()),
        "l_quantity": pa.array([float(rng.randrange(1, 51)) for _ in range(n)]),
        "l_extendedprice": pa.array([round(rng.uniform(900, 105_000), 2) for _ in range(n)]),
        "l_discount": pa.array([rng.randrange(11) / 100 for _ in range(n)]),
        "l_tax": pa.array([rng.randrange(9) / 100 for _ in range(n)]),
        "l_returnflag": pa.array([rng.choice("ANR") for _ in range(n)]),
        "l_linestatus": pa.array([rng.choice("OF") for _ in range(n)]),
        "l_shipdate": pa.array([day + dt.timedelta(days=s) for s in ship], pa.date32()),
        "l_commitdate": pa.array([day + dt.timedelta(days=s + rng.randrange(-60, 60)) for s in ship], pa.date32()),
        "l_receiptdate": pa.array([day + dt.timedelta(days=s + rng.randrange(1, 31)) for s in ship], pa.date32()),
        "l_shipinstruct": pa.array([rng.choice(["DELIVER IN PERSON", "COLLECT COD", "NONE", "TAKE BACK RETURN"])
                                    for _ in range(n)]),
        "l_shipmode": pa.array([rng.choice(["AIR", "MAIL", "SHIP", "TRUCK", "RAIL", "FOB", "REG AIR"]) for _ in range(n)]),
        "l_comment": pa.array([" ".join(rng.choices(words, k=rng.randrange(2, 7))) for _ in range(n)]),
    })


def python_rows(table: Any) -> list[tuple]:
    """The rows as morvel.load stores them: dates as their ISO text."""
    columns = [[v.isoformat() for v in c.to_pylist()] if str(c.type) == "date32[day]" else c.to_pylist()
               for c in table.columns]
    return list(zip(*columns))


def new_table(path: str) -> sqlite3.Connection:
    conn = sqlite3.connect(path)
    morvel.prepare(conn)
    mv.create_table(conn, "lineitem", list(COLUMNS), [], [])
    return conn


def cpu(fn: Callable[[], Any]) -> float:
    gc.collect()
    start = time.process_time()
    fn()
    return time.process_time() - start


def build_floor(work: str) -> str | None:
    """bench/floor.c compiled against the libsqlite3.so.0 that the sqlite3 module loads; None without a compiler."""
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        return None
    exe = os.path.join(work, "floor")
    subprocess.run([cc, "-O2", "-o", exe, str(FLOOR_SOURCE), "-l:libsqlite3.so.0"], check=True)
    return exe


def floor_run(exe: str, work: str, tsv: str) -> float:
    path = os.path.join(work, "floor.db")
    with sqlite3.connect(path) as conn:
        conn.execute(f"CREATE TABLE temp_lineitem ({', '.join(COLUMNS)})")
    out = subprocess.run([exe, path, "temp_lineitem", FLOOR_TYPES, tsv], check=True, capture_output=True, text=True)
    os.remove(path)
    return float(out.stdout)


def frames(work: str, rounds: int, n: int = ROWS) -> dict:
    import pyarrow as pa
    import pyarrow.csv as pcsv

    table = lineitem(n)
    rows = python_rows(table)
    records = [dict(zip(COLUMNS, r)) for r in rows]
    tsv = os.path.join(work, "lineitem.tsv")
    pcsv.write_csv(pa.table({c: pa.array([r[i] for r in rows]) for i, c in enumerate(COLUMNS)}), tsv,
                   pcsv.WriteOptions(include_header=False, delimiter="\t", quoting_style="none"))
    contenders: dict[str, Callable[[str], float]] = {}

    def module(data: Any) -> Callable[[str], float]:
        def run(path: str) -> float:
            conn = new_table(path)
            took = cpu(lambda: morvel.load(conn, "lineitem", data))
            conn.close()
            return took
        return run

    contenders["arrow"] = module(table)
    contenders["tuples"] = module(rows)
    contenders["dicts"] = module(records)
    try:
        import adbc_driver_sqlite.dbapi as adbc

        def ingest(path: str) -> float:
            with adbc.connect(path) as conn, conn.cursor() as cur:
                took = cpu(lambda: (cur.adbc_ingest("temp_lineitem", table, mode="create"), conn.commit()))
            return took
        contenders["adbc_ingest"] = ingest
    except ImportError:
        pass
    try:
        plain = table.to_pandas()  # numpy-backed columns, as pandas makes them by default
        contenders["pandas"] = module(plain)

        def to_sql(path: str) -> float:
            conn = sqlite3.connect(path)
            took = cpu(lambda: (plain.to_sql("temp_lineitem", conn, index=False, chunksize=100_000), conn.commit()))
            conn.close()
            return took
        contenders["to_sql"] = to_sql
    except ImportError:
        pass
    exe = build_floor(work)
    if exe is not None:
        contenders["C floor"] = lambda path: floor_run(exe, work, tsv)
    names = list(contenders)
    times: dict[str, list[float]] = {name: [] for name in names}
    for r in range(rounds):
        for name in names[r % len(names):] + names[:r % len(names)]:
            path = os.path.join(work, f"{name.replace(' ', '_')}.db")
            times[name].append(contenders[name](path))
            for leftover in (path, path + "-journal"):
                if os.path.exists(leftover):
                    os.remove(leftover)
    ratios = {}
    for pair in GOALS:
        a, b = pair.split("/")
        if a in times and b in times:
            ratios[pair] = statistics.median(x / y for x, y in zip(times[a], times[b]))
    return {"rows": n, "rounds": rounds, "cpu_s": {k: statistics.median(v) for k, v in times.items()},
            "ratios": ratios, "memory": memory(work, n)}


def memory_child(feather: str, db: str) -> None:
    """Peak resident memory of morvel.load beyond the Arrow table it is given, read into memory first."""
    import pyarrow.feather as feather_format

    table = feather_format.read_table(feather, memory_map=False)
    conn = new_table(db)
    status = Path("/proc/self/status")
    Path("/proc/self/clear_refs").write_text("5")  # the peak restarts from here
    before = int(status.read_text().split("VmRSS:")[1].split()[0])
    morvel.load(conn, "lineitem", table)
    peak = int(status.read_text().split("VmHWM:")[1].split()[0])
    print(json.dumps({"rise_mb": (peak - before) / 1024}))


def memory(work: str, n: int) -> dict:
    import pyarrow.feather as feather_format

    feather = os.path.join(work, "lineitem.arrow")
    feather_format.write_feather(lineitem(n), feather, compression="uncompressed")
    db = os.path.join(work, "memory.db")
    out = subprocess.run([sys.executable, __file__, "--memory-child", feather, db], check=True, capture_output=True,
                         text=True)
    return json.loads(out.stdout)


def report(res: dict) -> str:
    head = (f"Tabular data into morvel.load: {res['rows']:,} lineitem-shaped rows (16 columns), CPU time, "
            f"median of {res['rounds']} rounds")
    lines = [head, ""]
    for name, s in res["cpu_s"].items():
        lines.append(f"  {name:<14}{s:9.3f} s")
    lines.append("")
    for pair, goal in GOALS.items():
        if pair in res["ratios"]:
            r = res["ratios"][pair]
            lines.append(f"  {pair:<22}{r:6.2f}  (goal <= {goal:.2f}){'' if r <= goal else '  MISSED'}")
        else:
            lines.append(f"  {pair:<22}   n/a  (a peer is not installed)")
    rise = res["memory"]["rise_mb"]
    lines.append(f"  peak memory of load(arrow) beyond the table: {rise:.1f} MB (goal <= {MEMORY_GOAL_MB})")
    return "\n".join(lines) + "\n"


if __name__ == "__main__" and sys.argv[1:2] == ["--memory-child"]:
    memory_child(sys.argv[2], sys.argv[3])
