"""Timing helpers for bench/run.py: a recording connection, the replay floor and paired timing."""

from __future__ import annotations

import gc
import os
import random
import shutil
import sqlite3
import statistics
import time
from typing import Any, Callable

COLUMNS = ["k", "name", "score", "n"]


def make_rows(count: int, keys: Callable[[random.Random, int], int], seed: int) -> list[tuple[Any, ...]]:
    """`count` rows (key, text, real, integer); `keys(rng, i)` gives the key of row i."""
    rng = random.Random(seed)
    return [(keys(rng, i), f"name {i % 977}", rng.random(), i) for i in range(count)]


class _Cursor:
    def __init__(self, log: list, cid: int, cursor: sqlite3.Cursor):
        self._log, self._cid, self._cursor = log, cid, cursor

    def execute(self, sql: str, *params: Any) -> "_Cursor":
        self._log.append(("execute", self._cid, sql, list(params[0]) if params else None))
        self._cursor.execute(sql, *params)
        return self

    def fetchall(self) -> list:
        self._log.append(("fetchall", self._cid))
        return self._cursor.fetchall()


class Recorder:
    """Stands in for a Connection: logs cursor/execute/fetchall/commit and forwards to the real one."""

    def __init__(self, conn: sqlite3.Connection):
        self.real, self.log, self._cursors = conn, [], 0

    @property
    def isolation_level(self) -> str | None:  # so that the recorded merge opens its transaction as it does
        return self.real.isolation_level

    @property
    def in_transaction(self) -> bool:
        return self.real.in_transaction

    def cursor(self) -> _Cursor:
        self.log.append(("cursor", self._cursors))
        self._cursors += 1
        return _Cursor(self.log, self._cursors - 1, self.real.cursor())

    def commit(self) -> None:
        self.log.append(("commit",))
        self.real.commit()


def compile_log(log: list) -> list[tuple]:
    """Turn a log into replay steps; consecutive executes of one text on one cursor become one loop."""
    steps: list[list] = []
    for entry in log:
        kind = entry[0]
        if kind == "fetchall":
            last = steps[-1]
            if last[0] != "exec" or last[1] != entry[1] or last[4]:
                raise ValueError("fetchall not right after its execute")
            last[4] = True
        elif kind == "execute":
            _, cid, sql, params = entry
            steps.append(["exec", cid, sql, params, False])
        else:
            steps.append(list(entry))
    merged: list[tuple] = []
    for step in steps:
        prev = merged[-1] if merged else None
        if step[0] == "exec" and step[3] is not None and prev and prev[0] == "loop" \
                and prev[1:3] == (step[1], step[2]) and prev[4] == step[4]:
            prev[3].append(step[3])
        elif step[0] == "exec" and step[3] is not None:
            merged.append(("loop", step[1], step[2], [step[3]], step[4]))
        else:
            merged.append(tuple(step))
    return merged


def replay(conn: sqlite3.Connection, steps: list[tuple]) -> list[float]:
    """The floor: send the recorded statements with bare cursor calls. Returns the time of each cursor()."""
    cursors: dict[int, sqlite3.Cursor] = {}
    opened = []
    for step in steps:
        kind = step[0]
        if kind == "loop":
            _, cid, sql, plist, fetch = step
            cur = cursors[cid]
            if fetch:
                for params in plist:
                    cur.execute(sql, params)
                    cur.fetchall()
            else:
                for params in plist:
                    cur.execute(sql, params)
        elif kind == "exec":
            cur = cursors[step[1]]
            cur.execute(step[2])
            if step[4]:
                cur.fetchall()
        elif kind == "cursor":
            opened.append(time.perf_counter())
            cursors[step[1]] = conn.cursor()
        else:
            conn.commit()
    return opened


def record(base: str, workdir: str, call: Callable[[Any], Any], check: Callable[[str], Any]) -> list[tuple]:
    """Run `call` once through a Recorder on a copy of `base` and compile the log into replay steps.

    The steps are replayed once on another copy; `check(path)` must give the same outcome for both files.
    """
    made, again = fresh_copy(base, workdir), fresh_copy(base, workdir)
    conn = sqlite3.connect(made)
    recorder = Recorder(conn)
    call(recorder)
    conn.close()
    steps = compile_log(recorder.log)
    conn = sqlite3.connect(again)
    replay(conn, steps)
    conn.close()
    if check(made) != check(again):
        raise RuntimeError("replaying the recorded statements gave another outcome")
    os.remove(made), os.remove(again)
    return steps


_copies = 0


def fresh_copy(base: str, workdir: str) -> str:
    global _copies
    _copies += 1
    path = os.path.join(workdir, f"run{_copies}.db")
    shutil.copyfile(base, path)
    return path


def paired(contenders: dict[str, tuple[Any, ...]], rounds: int, workdir: str) -> dict[str, list[float]]:
    """Time each contender once per round on a fresh copy of its base file, rotating the order.

    A contender is (base file, fn(conn) -> extra) or (base file, fn, connect): fn may return a dict of phase
    times; connect(path) opens its connection (sqlite3.connect by default). Returns the list of wall times per
    contender; phase dicts are collected under '<name>:phases'.
    """
    names = list(contenders)
    times: dict[str, list] = {name: [] for name in names}
    for r in range(rounds):
        for name in names[r % len(names):] + names[:r % len(names)]:
            base, fn, *opener = contenders[name]
            path = fresh_copy(base, workdir)
            conn = (opener[0] if opener else sqlite3.connect)(path)
            gc.collect()
            start = time.perf_counter()
            extra = fn(conn)
            elapsed = time.perf_counter() - start
            if isinstance(extra, dict):
                times.setdefault(name + ":phases", []).append({k: v - start for k, v in extra.items()})
            times[name].append(elapsed)
            conn.close()
            os.remove(path)
    return times


def ratio(times: dict[str, list[float]], a: str, b: str) -> float:
    """Median over rounds of time(a) / time(b), each pair taken from the same round."""
    return statistics.median(x / y for x, y in zip(times[a], times[b]))
