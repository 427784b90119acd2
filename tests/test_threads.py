"""Threads that each load, merge and query their own table at the same time all see their own rows."""

import random
import sys
import threading

import pytest

from conftest import unique_name
from morvel import morvel as mv


def work(path, i):
    c = mv.DB(unique_name(), path).connection()
    c.execute("PRAGMA busy_timeout = 60000")
    table, rng, newest = f"tab{i}", random.Random(i), {}
    mv.create_table(c, table, ["k", "v", "w"], [{"name": "by_v", "cols": "v"}], [{"name": "key", "cols": [0]}])
    for rnd in range(12):
        batch = [(rng.randrange(15), rng.randrange(1000), f"{i}-{rnd}-{j}") for j in range(10)]
        mv.insert_temp(c, table, batch)
        newest.update((row[0], list(row)) for row in batch)
        assert sorted(mv.find(c, "*", table, "")) == sorted(newest.values())
        assert sorted(mv.find(c, "w,k", table, "WHERE v < 500")) == sorted(
            [w, k] for k, v, w in newest.values() if v < 500)
        if rnd % 3 == 2:
            mv.temp_to_main(c, table)
            assert c.execute(f"SELECT count(*) FROM temp_{table}").fetchone() == (0,)
            assert sorted(map(list, c.execute(f"SELECT * FROM {table}"))) == sorted(newest.values())
            indexes = c.execute("SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = ?", (table,))
            assert sorted(indexes) == [(f"{table}_by_v",), (f"{table}_key",)]
    c.close()


@pytest.mark.parametrize("one_file", [True, False], ids=["one-file", "own-files"])
def test_threads_with_their_own_connections_and_tables(tmp_path, one_file):
    failures = []

    def run(i):
        try:
            work(str(tmp_path / ("shared.db" if one_file else f"own{i}.db")), i)
        except BaseException as exc:  # noqa: BLE001 - reported by the main thread
            failures.append((i, exc))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads often
    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join(300)
    finally:
        sys.setswitchinterval(interval)
    assert not any(t.is_alive() for t in threads) and failures == []
