"""A replicated cluster: three dqlite nodes on 127.0.0.1 (Debian's dqlite-demo), reached through dqlite-dbapi.
The leader is killed in the middle of a large morvel.merge; a surviving node then holds the database exactly
as it was before the merge or as the merge leaves it, and the next merge completes."""

import contextlib
import sqlite3
import time

import pytest

import morvel
from conftest import DqliteCluster, dqlite_missing, dump, dump_through
from morvel import morvel as mv

pytestmark = pytest.mark.skipif(dqlite_missing() is not None, reason=str(dqlite_missing()))

MAIN, STAGED = 20_000, 100_000  # staged rows: every main key again, and new ones

def numbers(n):
    """SQLite's generate_series, which dqlite's SQLite may lack: a recursive CTE of 1..n."""
    return f"(WITH RECURSIVE s(value) AS (SELECT 1 UNION ALL SELECT value + 1 FROM s WHERE value < {n}) SELECT value FROM s)"


def built(conn):
    """The same managed table on any connection: a key on k, an index on w, main and staged rows."""
    morvel.prepare(conn)
    mv.create_table(conn, "t", ["k", "v", "w"], [{"name": "by_w", "cols": "w"}], [{"name": "key", "cols": [0]}])
    cur = conn.cursor()
    cur.execute(f"INSERT INTO t SELECT value, 'main', value % 101 FROM {numbers(MAIN)}")
    cur.execute(f"INSERT INTO temp_t SELECT value, 'staged', value % 89 FROM {numbers(STAGED)}")
    conn.commit()


class KillsLeader:
    """The connection, but its cursors kill the cluster's leader just before the merge's first INSERT."""

    def __init__(self, conn, cluster):
        self._conn, self._cluster, self.killed = conn, cluster, False

    def __getattr__(self, name):
        return getattr(self._conn, name)

    def cursor(self):
        outer, cur = self, self._conn.cursor()

        class Cursor:
            def __getattr__(self, name):
                return getattr(cur, name)

            def execute(self, statement, *params):
                if not outer.killed and statement.lstrip().upper().startswith("INSERT"):
                    outer._cluster.nodes[0].kill()
                    outer._cluster.nodes[0].wait()
                    outer.killed = True
                return cur.execute(statement, *params)

        return Cursor()


def surviving(cluster, database):
    """A connection through a surviving node, once the cluster has a leader again (every statement goes to
    the leader, so a read answers only then)."""
    deadline = time.monotonic() + 60
    while True:
        for address in cluster.addresses[1:]:
            try:
                conn = cluster.connect(database, address)
                conn.cursor().execute("SELECT count(*) FROM t").fetchall()
                return conn
            except Exception:  # noqa: BLE001 - no leader yet: the election goes on
                if time.monotonic() > deadline:
                    raise
        time.sleep(0.2)


def test_the_leader_killed_during_a_merge(tmp_path):
    reference = sqlite3.connect(str(tmp_path / "reference.db"))  # the same history on a local file
    built(reference)
    before = dump(str(tmp_path / "reference.db"))
    merged = tuple(morvel.merge(reference, "t"))
    after = dump(str(tmp_path / "reference.db"))
    reference.close()

    cluster = DqliteCluster(str(tmp_path / "cluster"))
    try:
        conn = cluster.connect("merged.db")
        built(conn)
        assert dump_through(conn) == before
        dying = KillsLeader(conn, cluster)
        with pytest.raises(Exception):
            morvel.merge(dying, "t")
        assert dying.killed
        with contextlib.suppress(Exception):
            conn.close()
        conn = surviving(cluster, "merged.db")
        state = dump_through(conn)
        assert state in (before, after)
        if state == before:
            assert tuple(morvel.merge(conn, "t")) == merged
        assert dump_through(conn) == after
        conn.close()
    finally:
        cluster.stop()
