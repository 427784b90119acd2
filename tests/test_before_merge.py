"""morvel.query: the rows the merge will leave, answered before it, in one snapshot; and find's snapshot."""

import sqlite3

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import morvel
from conftest import RecordingConnection
from morvel import morvel as mv

PATHS = {"native": "require", "method": "0", "proxy": "0"}


@pytest.fixture(params=PATHS, ids=PATHS.keys())
def path(request, monkeypatch):
    monkeypatch.setenv("MORVEL_NATIVE", PATHS[request.param])
    return request.param


def on(path, conn):
    return RecordingConnection(conn) if path == "proxy" else conn


def typed(rows):
    """A multiset of rows in which 1 and 1.0 stay apart."""
    return sorted(repr([(type(v).__name__, v) for v in r]) for r in rows)


# Few values, so that rows collide often; each kind that SQL `=` tells apart (1 and 1.0 do not differ).
VALUE = st.sampled_from([None, 1, 1.0, 2, "1", b"1"])
WHERES = [("", ()), ("", []), ("c0 = ?", (1,)), ("c0 IS NOT NULL AND typeof(c0) <> 'blob'", ()),
          ("c0 IN (:x, '1')", {"x": 2})]


@st.composite
def histories(draw):
    ncols = draw(st.integers(1, 4))
    keys = draw(st.lists(st.lists(st.integers(0, ncols - 1), min_size=1, max_size=ncols, unique=True), max_size=3))
    rows = st.lists(st.tuples(*[VALUE] * ncols), max_size=8)
    repeated = draw(rows)  # written straight into the main table: rows there may repeat each other
    batches = draw(st.lists(st.tuples(rows, st.booleans()), min_size=1, max_size=4))
    return ncols, keys, repeated + repeated[:2], batches


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(history=histories(), where=st.sampled_from(WHERES), limit=st.integers(0, 6))
def test_query_is_what_the_merge_leaves(conn, path, history, where, limit):
    ncols, keys, repeated, batches = history
    cols = [f"c{i}" for i in range(ncols)]
    mv.create_table(conn, "t", cols, [], [{"name": f"u{i}", "cols": k} for i, k in enumerate(keys)])
    mv._insert_main(conn, "t", repeated)
    for i, (staged, merge) in enumerate(batches):  # the last batch stays staged
        mv.insert_temp(conn, "t", staged)
        if merge and i < len(batches) - 1:
            mv.temp_to_main(conn, "t")
    copy = sqlite3.connect(":memory:")
    conn.backup(copy)
    mv.temp_to_main(copy, "t")
    text, params = where
    merged = copy.execute(f"SELECT * FROM t WHERE {text or 1}", params).fetchall()
    copy.close()

    answer = morvel.query(on(path, conn), "t", text, params)
    assert typed(answer) == typed(merged)
    assert morvel.query(on(path, conn), "t", text, params, limit=limit) == answer[:limit]
    ordered = morvel.query(on(path, conn), "t", text, params, order_by="c0 DESC", columns=cols[::-1])
    assert typed(r[::-1] for r in ordered) == typed(merged)
    assert not conn.in_transaction
