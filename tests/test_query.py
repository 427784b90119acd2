"""morvel.query: the rows the merge will leave, answered before it, in one snapshot; and find's snapshot."""

import collections
import functools
import sqlite3
import tracemalloc

import pytest
from hypothesis import given, strategies as st

import morvel
from conftest import RecordingConnection, examples, managed, needs_native
from morvel import morvel as mv

PATHS = {"native": "require", "method": "0", "proxy": "0"}


@pytest.fixture(params=[pytest.param(p, marks=needs_native if m == "require" else ()) for p, m in PATHS.items()],
                ids=PATHS.keys())
def path(request, monkeypatch):
    monkeypatch.setenv("MORVEL_NATIVE", PATHS[request.param])
    return request.param


def on(path, conn):
    return RecordingConnection(conn) if path == "proxy" else conn


def rows_typed(rows):
    """A multiset of rows, lists or tuples, in which 1 and 1.0 stay apart (and 0.0 and -0.0): each value with
    its type (a float by its text), counted."""
    return collections.Counter(tuple((type(v), repr(v) if type(v) is float else v) for v in r) for r in rows)


def folded(a, b):
    """The collation `fold` that the tests register: Unicode case folding, trailing blanks ignored."""
    a, b = a.casefold().rstrip(" "), b.casefold().rstrip(" ")
    return (a > b) - (a < b)


def with_fold(conn):
    conn.create_collation("fold", folded)
    return conn


# Few values, so that rows collide often; each kind that SQL `=` tells apart (1 and 1.0 do not differ), and
# texts that the collations below tell apart or not (NOCASE folds ASCII letters only, and stops at a NUL but
# not at another length; RTRIM ignores trailing blanks).
VALUE = st.sampled_from([None, 1, 1.0, 2, "1", b"1", "a", "A", "a ", "A  ", "\u00e9", "\u00c9", "a\x00b", "A\x00c"])
WHERES = [("", ()), ("", []), ("c0 = ?", (1,)), ("c0 IS NOT NULL AND typeof(c0) <> 'blob'", ()),
          ("c0 IN (:x, '1')", {"x": 2})]
# What follows a column's name where it is declared: a type (values stored take its affinity) and a collation,
# written in every way the CREATE TABLE text may hold it; a COLLATE inside a comment, a string or parentheses
# is none, and the last one counts.
DECLARATIONS = ["", " COLLATE NOCASE", " TEXT COLLATE RTRIM", " COLLATE fold", " INTEGER", " TEXT",
                " /* COLLATE NOCASE */ TEXT", " CHECK (',' <> 'COLLATE rtrim') COLLATE \"nocase\"",
                " DEFAULT ',' -- COLLATE fold\n COLLATE [RTRIM]", " COLLATE NOCASE COLLATE BINARY",
                " VARCHAR(10, 2) COLLATE 'FOLD'"]
# Names that must be quoted: a blank (after the name of another column: unquoted, "c0 x1" reads c0 under
# another name), a double quote, brackets. Only
# where no key reads them (the merge, this test's reference, writes key names into its look-ups as they are).
QUOTED = ['"c0 x{}"', '"c""{}"', "[c {}]"]


def declared(name):
    """The name a quoted column name declares."""
    return name[1:-1].replace('""', '"') if name[0] == '"' else name[1:-1] if name[0] == "[" else name


@st.composite
def histories(draw):
    ncols = draw(st.integers(1, 4))
    keys = draw(st.lists(st.lists(st.integers(0, ncols - 1), min_size=1, max_size=ncols, unique=True), max_size=3))
    keyed = {c for k in keys for c in k}
    names = [draw(st.sampled_from([f"c{i}"] + ([q.format(i) for q in QUOTED] if i and i not in keyed else [])))
             for i in range(ncols)]
    specs = [n + draw(st.sampled_from(DECLARATIONS)) for n in names]
    rows = st.lists(st.tuples(*[VALUE] * ncols), max_size=8)
    repeated = draw(rows)  # written straight into the main table: rows there may repeat each other
    batches = draw(st.lists(st.tuples(rows, st.booleans()), min_size=1, max_size=4))
    return specs, [declared(n) for n in names], keys, repeated + repeated[:2], batches


@examples(200)
@given(history=histories(), where=st.sampled_from(WHERES), limit=st.integers(0, 6))
def test_query_is_what_the_merge_leaves(conn, path, history, where, limit):
    specs, cols, keys, repeated, batches = history
    with_fold(conn)
    mv.drop_table(conn, "t")  # the connection serves every example
    for table in ("t", "temp_t"):  # as create_table makes them, but with types on key columns too
        conn.execute(f"CREATE TABLE {table} ({', '.join(specs)})")
    for i, k in enumerate(keys):  # the key's own index on its plain names
        mv.insert_unique(conn, "t", f"u{i}", ",".join(cols[c] for c in k), ",".join(map(str, k)))
    mv._insert_main(conn, "t", repeated)
    for i, (staged, merge) in enumerate(batches):  # the last batch stays staged
        mv.insert_temp(conn, "t", staged)
        if merge and i < len(batches) - 1:
            mv.temp_to_main(conn, "t")
    text, params = where
    results = []
    for merged_by in (mv.temp_to_main, morvel.merge):
        copy = with_fold(sqlite3.connect(":memory:"))
        conn.backup(copy)
        merged_by(copy, "t")
        results.append(copy.execute(f"SELECT * FROM t WHERE {text or 1}", params).fetchall())
        copy.close()
    merged = results[0]
    assert rows_typed(results[1]) == rows_typed(merged)

    answer = morvel.query(on(path, conn), "t", text, params)
    assert rows_typed(answer) == rows_typed(merged)
    assert morvel.query(on(path, conn), "t", text, params, limit=limit) == answer[:limit]
    ordered = morvel.query(on(path, conn), "t", text, params, order_by="c0 DESC", columns=cols[::-1])
    assert rows_typed(r[::-1] for r in ordered) == rows_typed(merged)
    assert morvel.query(on(path, conn), "t", text, params, order_by="c0 DESC", limit=limit, columns=cols[::-1]) \
        == ordered[:limit]
    assert in_parts(on(path, conn), "t", text, params)[0] == answer
    assert in_parts(on(path, conn), "t", text, params, order_by="c0 DESC", limit=limit, columns=cols[::-1])[0] \
        == ordered[:limit]
    assert not conn.in_transaction


def two_tables(conn):
    """h: main: a = 1, 2, 3; staged: a = 1 (replaces main's), then 4 twice (the second one newest).
    q: names that need quoting, keys under NOCASE and a registered collation; each staged row replaces a
    main row through one of them."""
    managed(conn, "h", ["a", "b", "c"], [[0]], main=[(1, "x", 10), (2, "y", 20), (3, "z", 30)],
            staged=[(1, "x2", 11), (4, "w", 40), (4, "w2", 41)])
    conn.execute("CREATE TABLE plain (a)")
    with_fold(conn)
    managed(conn, "q", ["k", '"k v"', '"x""y" COLLATE NOCASE', "f COLLATE fold"], [[1], [2], [3]],
            main=[(1, "m1", "Tea", "p"), (2, "m2", "Coffee", "q"), (3, "m3", "x", "\u00c9 "), (4, "m4", "y", "r")],
            staged=[(5, "m1", "new", "s"), (6, "z", "COFFEE", "t"), (7, "w", "v", "\u00e9")])
    return conn


@pytest.fixture
def h(conn):
    return two_tables(conn)


# The rows of q that the merge leaves: the staged ones, and main's k = 4 (1 shares `k v`, 2 `x"y` under
# NOCASE, 3 `f` under fold).
Q = [[5, "m1", "new", "s"], [6, "z", "COFFEE", "t"], [7, "w", "v", "\u00e9"], [4, "m4", "y", "r"]]


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
    "quoted_names": ({"table": "q"}, Q),
    "quoted_columns": ({"table": "q", "columns": ['x"y', "k v"], "where": "k > ?", "params": [3]},
                       [["new", "m1"], ["COFFEE", "z"], ["v", "w"], ["y", "m4"]]),
    "quoted_columns_text": ({"table": "q", "columns": " k v , k", "limit": 2}, [["m1", 5], ["z", 6]]),
    "quoted_in_where": ({"table": "q", "where": '"k v" IN (?, ?)', "params": ["m2", "m4"]}, [Q[3]]),
    "collated_ordered": ({"table": "q", "order_by": '"x""y" DESC', "columns": "k"}, [[4], [7], [5], [6]]),
    "collated_limit": ({"table": "q", "where": "k <> 5", "order_by": "f", "limit": 2, "columns": ["f"]},
                       [["r"], ["t"]]),
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


@pytest.mark.parametrize("reader", ["query", "find"])
def test_one_snapshot(tmp_path, path, reader):
    """A second connection stages a new version of a main row and merges while the call runs (from a
    function in its condition): the call answers as if that had not happened, and leaves no transaction
    open. Read outside one snapshot, the main table would show the new version."""
    file = str(tmp_path / "wal.db")
    writer = sqlite3.connect(file)
    writer.execute("PRAGMA journal_mode=WAL")
    # the main rows where a merge of (1, old), (2, two) leaves them
    managed(writer, "h", ["a", "b"], [[0]], main=[(2, "two"), (1, "old")], staged=[(1, "new"), (3, "three")])
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


BIG = {  # tables that several tests read as they are: made once, copied into each test's file
    "staged_and_main": lambda c: managed(c, "t", ["k", "v"], [[0]], main=[(k, "main") for k in range(0, 50_000, 7)],
                                         staged=[(i % 25_000, i) for i in range(40_000)]),
    "merged": lambda c: (big(c, "staged_and_main"), mv.temp_to_main(c, "t")),
    **{f"{rows}_{len(keys)}": lambda c, rows=rows, keys=keys: managed(
        c, "t", ["k", "v"], keys, **{rows: [(i, f"value {i:06}") for i in range(100_000)]})
       for rows, keys in [("main", [[0]]), ("staged", [])]},
}


@functools.cache
def _made(shape):
    made = sqlite3.connect(":memory:")
    BIG[shape](made)
    return made


def big(conn, shape):
    """Fills the database of `conn` with the table of BIG[shape] (whatever it held goes)."""
    _made(shape).backup(conn)
    return conn


@functools.cache
def merged_typed(where):
    """rows_typed of the rows that the merge of "staged_and_main" leaves where `where` holds (the same for every
    path: typed once)."""
    return rows_typed(_made("merged").execute(f"SELECT * FROM t WHERE {where or 1}").fetchall())


@pytest.mark.parametrize("where", ["", "k % 3 = 0"])
def test_staged_rows_beyond_one_read(conn, path, where):
    """More staged rows than one read of the staging table takes, versions of a key on both sides of a
    boundary between reads; more rows answered than one page or one part of an ordered read holds, with and
    without a limit that ends the reading in the middle of one."""
    big(conn, "staged_and_main")
    c = on(path, conn)
    answer = morvel.query(c, "t", where)
    assert rows_typed(answer) == merged_typed(where) and answer[0] == [15_000, 15_000]
    for limit in (1, 100, 20_000, 30_000):
        assert morvel.query(c, "t", where, limit=limit) == answer[:limit]
    # v grows with the staged rowids; every main row's v is "main", after every number: ties go by rowid
    ordered = morvel.query(c, "t", where, order_by="v")
    assert ordered == answer
    assert morvel.query(c, "t", where, order_by="v", limit=25_000) == answer[:25_000]
    # handed out part by part, the answer is the same, and so with a limit and an ordering
    for kwargs in ({}, {"limit": 20_000}, {"order_by": "v"}, {"order_by": "v", "limit": 25_000}, {"limit": 0}):
        rows, sizes = in_parts(c, "t", where, **kwargs)
        assert rows == answer[:kwargs.get("limit")] and all(0 < n <= 1024 for n in sizes), kwargs


MB = 2**20
# 100,000 rows in one table, a key or none; what the call may hold beyond the rows it answers.
BOUNDED = {
    "ordered_limit_main": ("main", [[0]], {"order_by": "v DESC", "limit": 1}),
    "limit_main": ("main", [[0]], {"limit": 2}),
    "where_limit_main": ("main", [[0]], {"where": "k % 2 = 1", "limit": 1}),
    "limit_staged": ("staged", [], {"limit": 1}),
    "where_limit_staged": ("staged", [], {"where": "1", "limit": 3}),
    "ordered_limit_staged": ("staged", [], {"order_by": "v", "limit": 1}),
    # no limit, the answer handed out part by part: the call holds one part, whatever the answer's size
    "parts_main": ("main", [[0]], {"each": True}),
    "parts_where_staged": ("staged", [], {"where": "k % 2 = 0", "each": True}),
    "parts_ordered_main": ("main", [[0]], {"order_by": "v DESC", "each": True}),
}


def in_parts(conn, table, where="", params=(), *, columns="*", order_by=None, limit=None, keep=True):
    """The answer as the native query hands it out part by part: (rows, the size of each part)."""
    rows, sizes = [], []

    def each(part):
        sizes.append(len(part))
        if keep:
            rows.extend(part)

    n = mv._query(conn, table, where, params, columns, order_by, limit, each)
    assert n == sum(sizes)
    return rows, sizes


@pytest.mark.parametrize("path", [pytest.param("native", marks=needs_native), "method"], indirect=True)
@pytest.mark.parametrize("rows,keys,kwargs", BOUNDED.values(), ids=BOUNDED.keys())
def test_memory_follows_the_limit(conn, path, rows, keys, kwargs):
    """With a limit, the call reads its candidates part by part and stops once its answer is full: what it
    holds (tracemalloc) stays far below the candidate rows, which take about 20 MB here."""
    big(conn, f"{rows}_{len(keys)}")
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        if "each" in kwargs:
            _, sizes = in_parts(conn, "t", **{k: v for k, v in kwargs.items() if k != "each"}, keep=False)
        else:
            answer = morvel.query(conn, "t", **kwargs)
        peak = tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()
    if "each" in kwargs:
        assert sum(sizes) == (50_000 if "where" in kwargs else 100_000) and max(sizes) <= 1024 and peak < 4 * MB
    else:
        assert len(answer) == kwargs["limit"] and peak < 4 * MB
