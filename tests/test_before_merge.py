"""morvel.query: the rows the merge will leave, answered before it, in one snapshot; and find's snapshot."""

import sqlite3

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import morvel
from conftest import RecordingConnection, needs_native
from morvel import morvel as mv

PATHS = {"native": "require", "method": "0", "proxy": "0"}


@pytest.fixture(params=[pytest.param(p, marks=needs_native if m == "require" else ()) for p, m in PATHS.items()],
                ids=PATHS.keys())
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


@pytest.fixture
def h(conn):
    """main: a = 1, 2, 3; staged: a = 1 (replaces main's), then 4 twice (the second one newest)."""
    mv.create_table(conn, "h", ["a", "b", "c"], [], [{"name": "u0", "cols": [0]}])
    mv._insert_main(conn, "h", [(1, "x", 10), (2, "y", 20), (3, "z", 30)])
    mv.insert_temp(conn, "h", [(1, "x2", 11), (4, "w", 40), (4, "w2", 41)])
    conn.execute("CREATE TABLE plain (a)")
    conn.commit()
    return conn


ALL = [[1, "x2", 11], [4, "w2", 41], [2, "y", 20], [3, "z", 30]]
CASES = {
    "everything": ({}, ALL),
    "columns_text": ({"columns": " c , a"}, [[11, 1], [41, 4], [20, 2], [30, 3]]),
    "columns_list": ({"columns": ["b", "b"]}, [["x2", "x2"], ["w2", "w2"], ["y", "y"], ["z", "z"]]),
    "where_param": ({"where": "c > ?", "params": [15]}, ALL[1:]),
    "where_named": ({"where": "a = :a", "params": {"a": 2}}, [ALL[2]]),
    "where_comment": ({"where": "a = 3 -- the last one"}, [ALL[3]]),
    "superseded_by_unmatched": ({"where": "b = 'w'"}, []),
    "replaced_main": ({"where": "a = 1"}, [ALL[0]]),
    "order_by": ({"order_by": "c DESC"}, [ALL[1], ALL[3], ALL[2], ALL[0]]),
    "order_by_where_limit": ({"where": "c < ?", "params": (35,), "order_by": "c DESC", "limit": 2}, [ALL[3], ALL[2]]),
    "rowid_in_both_forms": ({"where": "rowid = 3", "columns": "a"}, [[4], [3]]),
    "rowid_ordered": ({"where": "rowid = 3", "order_by": "rowid, c", "columns": "a"}, [[3], [4]]),
    "limit_in_staging": ({"limit": 1}, ALL[:1]),
    "limit_into_main": ({"limit": 3}, ALL[:3]),
    "limit_zero": ({"where": "a > 0", "limit": 0}, []),
    "missing_table": ({"table": "nope"}, (sqlite3.OperationalError, "no such table: nope")),
    "unmanaged_table": ({"table": "plain"}, (sqlite3.OperationalError, "plain is not a managed table")),
    "bad_where": ({"where": "c >"}, (sqlite3.OperationalError, "incomplete input|syntax error")),
    "bad_order_by": ({"order_by": "nosuch"}, (sqlite3.OperationalError, "no such column: nosuch")),
    "params_count": ({"where": "a = ?", "params": [1, 2]}, (sqlite3.ProgrammingError, "bindings")),
    "params_without_where": ({"params": [1]}, (sqlite3.ProgrammingError, "bindings")),
    "unknown_column": ({"columns": "a,zz"}, (ValueError, "'zz' is not a column of h (columns: a, b, c)")),
    "negative_limit": ({"limit": -1}, (ValueError, "limit must be 0 or more")),
    "text_limit": ({"limit": "2"}, (TypeError, "limit must be an int")),
    "where_not_text": ({"where": 3}, (TypeError, "where must be str")),
}


@pytest.mark.parametrize("kwargs,expected", CASES.values(), ids=CASES.keys())
def test_query_cases(h, path, kwargs, expected):
    kwargs = dict(kwargs)
    c = on(path, h)
    call = lambda: morvel.query(c, kwargs.pop("table", "h"), **kwargs)  # noqa: E731
    if isinstance(expected, tuple):
        with pytest.raises(expected[0], match=expected[1].replace("(", r"\(").replace(")", r"\)")) as info:
            call()
        assert any(f.name == "morvel.morvel._query" for f in __import__("traceback").extract_tb(info.tb))
    else:
        assert call() == expected
    assert not h.in_transaction
    if path == "proxy" and c.log:  # the snapshot closes whatever ended the call
        assert c.executes()[0] == ("BEGIN", None) and c.executes()[-1] == ("COMMIT", None)


def test_query_statements(h):
    proxy = RecordingConnection(h)
    assert morvel.query(proxy, "h", "b <> ?", ["y"], columns="c") == [[11], [41], [30]]
    pad, end = "\n" + " " * 12, "\n" + " " * 8
    assert proxy.log[0] == ("cursor",) and proxy.log.count(("cursor",)) == 1
    assert proxy.executes() == [
        ("BEGIN", None),
        ("PRAGMA table_info(h)", None),
        ("PRAGMA table_info(temp_h)", None),
        (f"{pad}SELECT *{pad}FROM unique_table{pad}WHERE table_name = 'h'{end}", None),
        # every staged key, newest first, in chunks
        (f"{pad}SELECT rowid,a{pad}FROM temp_h{pad}WHERE rowid <= ?{pad}ORDER BY rowid DESC{pad}LIMIT 16384{end}",
         [2**63 - 1]),
        (f"{pad}SELECT rowid,a,c{pad}FROM temp_h{pad}WHERE (\nb <> ?{pad}){pad}ORDER BY rowid{end}", ["y"]),
        (f"{pad}SELECT rowid,a,c{pad}FROM h{pad}WHERE (\nb <> ?{pad}){pad}ORDER BY rowid{end}", ["y"]),
        ("COMMIT", None),
    ]


@pytest.mark.parametrize("reader", ["query", "find"])
def test_one_snapshot(tmp_path, path, reader):
    """A second connection stages a new version of a main row and merges while the call runs (from a
    function in its condition): the call answers as if that had not happened, and leaves no transaction
    open. Read outside one snapshot, the main table would show the new version."""
    file = str(tmp_path / "wal.db")
    writer = mv.DB(f"wal_{reader}_{path}", file).connection()
    writer.execute("PRAGMA journal_mode=WAL")
    mv.create_table(writer, "h", ["a", "b"], [], [{"name": "u0", "cols": [0]}])
    mv.insert_temp(writer, "h", [(1, "old"), (2, "two")])
    mv.temp_to_main(writer, "h")
    mv.insert_temp(writer, "h", [(1, "new"), (3, "three")])
    reader_conn = sqlite3.connect(file)
    merged = []

    def merge_once(value):
        if not merged:
            merged.append(value)
            mv.insert_temp(writer, "h", [(2, "later")])
            mv.temp_to_main(writer, "h")
        return 1

    reader_conn.create_function("merge_once", 1, merge_once)
    c = on(path, reader_conn)
    read = {"query": lambda: morvel.query(c, "h", "merge_once(a)"),
            "find": lambda: mv.find(c, "*", "h", "WHERE merge_once(a)")}[reader]
    before = [[1, "new"], [3, "three"], [2, "two"]]
    assert read() == before and merged  # the merge happened during the call, after its first statement
    assert not reader_conn.in_transaction
    assert writer.execute("SELECT count(*) FROM temp_h").fetchone() == (0,)
    assert sorted(read()) == [[1, "new"], [2, "later"], [3, "three"]]  # now all from the main table
    reader_conn.close()
    writer.close()


@pytest.mark.parametrize("where", ["", "k % 3 = 0"])
def test_staged_rows_beyond_one_read(conn, path, where):
    """More staged rows than one read of the staging table takes, versions of a key on both sides of a
    boundary between reads."""
    mv.create_table(conn, "t", ["k", "v"], [], [{"name": "u0", "cols": [0]}])
    mv._insert_main(conn, "t", [(k, "main") for k in range(0, 50_000, 7)])
    mv.insert_temp(conn, "t", [(i % 25_000, i) for i in range(40_000)])
    copy = sqlite3.connect(":memory:")
    conn.backup(copy)
    mv.temp_to_main(copy, "t")
    merged = copy.execute(f"SELECT * FROM t WHERE {where or 1}").fetchall()
    answer = morvel.query(on(path, conn), "t", where)
    assert typed(answer) == typed(merged) and answer[0] == [15_000, 15_000]
