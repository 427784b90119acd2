"""morvel.query: the rows the merge will leave, answered before it, in one snapshot; and find's snapshot.
morvel.query_arrow: the same answer as Arrow data."""

import collections
import ctypes
import functools
import gc
import sqlite3
import tracemalloc

import pytest
from hypothesis import given, strategies as st

import morvel
from conftest import RecordingConnection, examples, managed, needs_native, typed
from morvel import morvel as mv

try:
    import pyarrow
except ImportError:  # the Arrow answers are read by the reader below alone
    pyarrow = None

PATHS = {"native": "require", "method": "0", "proxy": "0"}


@pytest.fixture(params=[pytest.param(p, marks=needs_native if m == "require" else ()) for p, m in PATHS.items()],
                ids=PATHS.keys())
def path(request, monkeypatch):
    monkeypatch.setenv("MORVEL_NATIVE", PATHS[request.param])
    return request.param


# The paths of the tests of many rows: the proxy reads them as the method path does, through the same calls.
two_paths = pytest.mark.parametrize("path", [pytest.param("native", marks=needs_native), "method"], indirect=True)


def on(path, conn):
    return RecordingConnection(conn) if path == "proxy" else conn


def rows_typed(rows):
    """A multiset of rows, lists or tuples, in which 1 and 1.0 stay apart (and 0.0 and -0.0): each value with
    its type (a float by its text), counted."""
    return collections.Counter(tuple((type(v), repr(v) if type(v) is float else v) for v in r) for r in rows)


# ---------------------------------------------------------------------------------------------------------------
# Arrow answers, read through the C Stream interface by ctypes (so that they are checked where pyarrow is not
# installed) and, where it is, by pyarrow too.

class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


class ArrowArrayStream(ctypes.Structure):
    pass


ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p), ("flags", ctypes.c_int64),
    ("n_children", ctypes.c_int64), ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))),
    ("dictionary", ctypes.POINTER(ArrowSchema)), ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))),
    ("private_data", ctypes.c_void_p)]
ArrowArray._fields_ = [
    ("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64), ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))), ("dictionary", ctypes.POINTER(ArrowArray)),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))), ("private_data", ctypes.c_void_p)]
ArrowArrayStream._fields_ = [
    ("get_schema", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowSchema))),
    ("get_next", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray))),
    ("get_last_error", ctypes.CFUNCTYPE(ctypes.c_char_p, ctypes.POINTER(ArrowArrayStream))),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))), ("private_data", ctypes.c_void_p)]
_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype, _capsule_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
WIDTHS = {"l": ctypes.c_int64, "g": ctypes.c_double}


def taken_stream(answer):
    """The stream of a new __arrow_c_stream__() capsule, moved out of it as a consumer moves it."""
    capsule = answer.__arrow_c_stream__()
    at = _capsule_pointer(capsule, b"arrow_array_stream")
    stream = ArrowArrayStream()
    ctypes.memmove(ctypes.byref(stream), at, ctypes.sizeof(stream))
    ctypes.memset(at + ArrowArrayStream.release.offset, 0, ctypes.sizeof(ctypes.c_void_p))
    return stream


def child_values(array, fmt):
    n, buffers = array.length, array.buffers
    valid = ctypes.string_at(buffers[0], (n + array.offset + 7) // 8) if fmt != "n" and buffers[0] else None
    at = range(array.offset, array.offset + n)
    if fmt == "n":
        values = [None] * n
    elif fmt in WIDTHS:
        data = (WIDTHS[fmt] * (array.offset + n)).from_address(buffers[1])
        values = [data[i] for i in at]
    else:
        ends = (ctypes.c_int32 * (array.offset + n + 1)).from_address(buffers[1])
        data = ctypes.string_at(buffers[2], ends[array.offset + n])
        values = [data[ends[i]:ends[i + 1]] for i in at]
        if fmt == "u":
            values = [v.decode() for v in values]
    values = [None if valid is not None and not valid[i >> 3] >> (i & 7) & 1 else v for i, v in zip(at, values)]
    assert array.null_count == values.count(None)
    return values


def read_stream(answer):
    """(fields as (name, format), the length of each batch, the rows) of an answer, every struct released."""
    stream = taken_stream(answer)
    schema = ArrowSchema()
    assert stream.get_schema(ctypes.byref(stream), ctypes.byref(schema)) == 0
    assert schema.format == b"+s" and schema.n_children == len(answer.columns)
    fields = [(schema.children[i].contents.name.decode(), schema.children[i].contents.format.decode())
              for i in range(schema.n_children)]
    schema.release(ctypes.byref(schema))
    assert not schema.release
    sizes, rows = [], []
    while True:
        batch = ArrowArray()
        assert stream.get_next(ctypes.byref(stream), ctypes.byref(batch)) == 0
        if not batch.release:
            break
        columns = [child_values(batch.children[i].contents, fmt) for i, (_, fmt) in enumerate(fields)]
        assert all(len(c) == batch.length for c in columns)
        sizes.append(batch.length)
        rows += [list(r) for r in zip(*columns)] if columns else [[] for _ in range(batch.length)]
        batch.release(ctypes.byref(batch))
        assert not batch.release
    stream.release(ctypes.byref(stream))
    assert not stream.release
    return fields, sizes, rows


FORMATS = {"int64": "l", "float64": "g", "utf8": "u", "binary": "z", "null": "n"}


def arrow_rows(answer):
    """The rows of an Arrow answer, read by the ctypes reader and, where installed, by pyarrow (which must agree),
    after checking its names and types against the stream's schema."""
    fields, sizes, rows = read_stream(answer)
    assert fields == [(n, FORMATS[t]) for n, t in zip(answer.columns, answer.types)]
    assert sum(sizes) == len(answer) == len(rows) and 0 not in sizes
    if pyarrow is not None:
        table = pyarrow.table(answer)
        assert table.column_names == list(answer.columns)
        assert [str(f.type) for f in table.schema] == [PYARROW_TYPES[t] for t in answer.types]
        columns = [c.to_pylist() for c in table.columns]
        assert ([list(r) for r in zip(*columns)] if columns else [[]] * table.num_rows) == rows
    return rows


PYARROW_TYPES = {"int64": "int64", "float64": "double", "utf8": "string", "binary": "binary", "null": "null"}


def affinity_type(declared):
    """The Arrow type of a column of NULLs: its declared type's affinity, decided as SQLite decides it."""
    d = declared.upper()
    if "INT" in d:
        return "int64"
    if any(w in d for w in ("CHAR", "CLOB", "TEXT")):
        return "utf8"
    if "BLOB" in d:
        return "binary"
    if any(w in d for w in ("REAL", "FLOA", "DOUB")):
        return "float64"
    return "null"


def as_arrow(conn, table, answer, names):
    """query's answer read per query_arrow's rule: (the type of each column, the rows)."""
    declared = {r[1]: r[2] for r in conn.execute(f'PRAGMA table_info("{table}")')}
    cast = lambda v: conn.execute("SELECT CAST(? AS TEXT)", (v,)).fetchone()[0]  # noqa: E731
    columns, types = [], []
    for name, values in zip(names, zip(*answer) if answer else [()] * len(names)):
        kinds = {type(v) for v in values} - {type(None)}
        exact = all(int(float(v)) == v for v in values if type(v) is int)
        kind = (affinity_type(declared[name]) if not kinds else "int64" if kinds == {int} else
                "float64" if kinds <= {int, float} and exact else "utf8" if kinds == {str} else
                "binary" if bytes in kinds else "utf8")
        text = {int: str, float: cast, str: lambda v: v, bytes: lambda v: v}
        if kind == "float64":
            values = [None if v is None else float(v) for v in values]
        elif kind in ("utf8", "binary") and kinds != {str} and kinds != {bytes}:
            values = [None if v is None else text[type(v)](v) for v in values]
            if kind == "binary":
                values = [v.encode() if isinstance(v, str) else v for v in values]
        columns.append(values)
        types.append(kind)
    return types, [list(r) for r in zip(*columns)] if columns else [[] for _ in answer]


def check_arrow(conn, table, answer, names, arrow):
    """An Arrow answer is query's answer, read per the rule."""
    types, rows = as_arrow(conn, table, answer, names)
    assert (list(arrow.columns), list(arrow.types)) == (names, types)
    assert typed(arrow_rows(arrow)) == typed(rows)


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
# Reals and integers of every Arrow column that query_arrow makes of them: 1e20 reads as a text unlike Python's,
# and a double does not hold 2**53 + 1.
VALUE = st.sampled_from([None, 1, 1.0, 2, "1", b"1", "a", "A", "a ", "A  ", "\u00e9", "\u00c9", "a\x00b", "A\x00c",
                         1e20, 2 ** 53 + 1])
WHERES = [("", ()), ("", []), ("c0 = ?", (1,)), ("c0 IS NOT NULL AND typeof(c0) <> 'blob'", ()),
          ("c0 IN (:x, '1')", {"x": 2})]
# What follows a column's name where it is declared: a type (values stored take its affinity) and a collation,
# written in every way the CREATE TABLE text may hold it; a COLLATE inside a comment, a string or parentheses
# is none, and the last one counts.
DECLARATIONS = ["", " COLLATE NOCASE", " TEXT COLLATE RTRIM", " COLLATE fold", " INTEGER", " TEXT", " REAL", " BLOB",
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


# Indexed staging (index_staging) answers by one SQL statement; index-free staging by the scan.
STAGING = ["index_free", "indexed"]


@pytest.mark.parametrize("staging", STAGING)
@examples(200)
@given(history=histories(), where=st.sampled_from(WHERES), limit=st.integers(0, 6))
def test_query_is_what_the_merge_leaves(conn, path, staging, history, where, limit):
    specs, cols, keys, repeated, batches = history
    with_fold(conn)
    mv.drop_table(conn, "t")  # the connection serves every example
    for table in ("t", "temp_t"):  # as create_table makes them, but with types on key columns too
        conn.execute(f"CREATE TABLE {table} ({', '.join(specs)})")
    for i, k in enumerate(keys):  # the key's own index on its plain names
        mv.insert_unique(conn, "t", f"u{i}", ",".join(cols[c] for c in k), ",".join(map(str, k)))
    morvel.index_staging(conn, "t", staging == "indexed")
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
    check_arrow(conn, "t", answer, cols, morvel.query_arrow(on(path, conn), "t", text, params))
    check_arrow(conn, "t", answer[:limit], cols, morvel.query_arrow(on(path, conn), "t", text, params, limit=limit))
    check_arrow(conn, "t", ordered[:limit], cols[::-1], morvel.query_arrow(
        on(path, conn), "t", text, params, order_by="c0 DESC", limit=limit, columns=cols[::-1]))
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


@pytest.fixture(params=STAGING)
def h(conn, request):
    two_tables(conn)
    for table in ("h", "q"):
        morvel.index_staging(conn, table, request.param == "indexed")
    return conn


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


def answer_names(conn, table, columns="*"):
    """The names of an answer's columns, as query reads `columns`."""
    if not isinstance(columns, str):
        return list(columns)
    if columns.strip() == "*":
        return [r[1] for r in conn.execute(f'PRAGMA table_info("{table}")')]
    return [n.strip() for n in columns.split(",")]


@pytest.mark.parametrize("kwargs,expected", CASES.values(), ids=CASES.keys())
@pytest.mark.parametrize("fn", ["query", "query_arrow"])
def test_query_cases(h, path, fn, kwargs, expected):
    """query's answers and errors, and query_arrow's: the same rows as Arrow data, the same errors."""
    kwargs = dict(kwargs)
    c = on(path, h)
    table = kwargs.pop("table", "h")
    call = lambda: getattr(morvel, fn)(c, table, **kwargs)  # noqa: E731
    if isinstance(expected, tuple):
        with pytest.raises(expected[0], match=expected[1].replace("(", r"\(").replace(")", r"\)")) as info:
            call()
        assert any(f.name == "morvel.morvel._" + fn for f in __import__("traceback").extract_tb(info.tb))
    elif fn == "query":
        assert call() == expected
    else:
        check_arrow(h, table, expected, answer_names(h, table, kwargs.get("columns", "*")), call())
    assert not h.in_transaction
    if path == "proxy" and c.log:  # the snapshot closes whatever ended the call
        assert c.executes()[0] == ("BEGIN", None) and c.executes()[-1] == ("COMMIT", None)


# query_arrow's type of a column, by its values (staged and main rows alike), and by its declared type where it
# holds only NULLs.
ARROW_TYPES = {
    "integers": ("", [1, None, -(2 ** 63)], "int64"),
    "reals": ("", [0.5, None, -0.0], "float64"),
    "reals_and_integers": ("", [1.5, 2, 2 ** 53], "float64"),
    "integer_beyond_a_double": ("", [1.5, 2 ** 53 + 1], "utf8"),
    "texts": ("", ["a", None, "\u00e9\U0001f600"], "utf8"),
    "blobs": ("", [b"\x00\xff", None, b""], "binary"),
    "texts_and_numbers": ("", ["a", 1, 1e20, 0.1, -2.5e-7, None], "utf8"),
    "blobs_and_others": ("", [b"\xff", "b", 2.5, 3], "binary"),
    "declared_integer": (" BIGINT", [None, None], "int64"),
    "declared_real": (" DOUBLE PRECISION", [None], "float64"),
    "declared_text": (" VARCHAR(10)", [None], "utf8"),
    "declared_blob": (" BLOB", [None], "binary"),
    "declared_numeric": (" DATE", [None], "null"),
    "declared_nothing": ("", [None], "null"),
    "no_row": (" INTEGER", [], "int64"),
}


@pytest.mark.parametrize("declared,values,expected", ARROW_TYPES.values(), ids=ARROW_TYPES.keys())
def test_arrow_types(conn, path, declared, values, expected):
    rows = list(enumerate(values))
    managed(conn, "r", ["k", "v" + declared], [[0]], main=rows[::2], staged=rows[1::2])
    arrow = morvel.query_arrow(on(path, conn), "r", columns="v")
    assert arrow.types == (expected,)
    check_arrow(conn, "r", morvel.query(on(path, conn), "r", columns="v"), ["v"], arrow)


@pytest.mark.parametrize("reader", ["query", "query_arrow", "find"])
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
            "query_arrow": lambda: arrow_rows(morvel.query_arrow(c, "h", "merge_once(a)")),
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


@pytest.mark.heavy
@two_paths
@pytest.mark.parametrize("where", ["", "k % 3 = 0", "k % 50 = 0"])  # the last selects 943 rows
@pytest.mark.parametrize("staging", STAGING)
def test_staged_rows_beyond_one_read(conn, path, where, staging):
    """More staged rows than one read of the staging table takes, versions of a key on both sides of a
    boundary between reads; more rows answered than one page or one part of an ordered read holds, with and
    without a limit that ends the reading in the middle of one."""
    big(conn, "staged_and_main")
    morvel.index_staging(conn, "t", staging == "indexed")
    c = on(path, conn)
    answer = morvel.query(c, "t", where)
    assert rows_typed(answer) == merged_typed(where) and answer[0] == [15_000, 15_000]
    for limit in (1, 100, 20_000, 30_000):
        assert morvel.query(c, "t", where, limit=limit) == answer[:limit]
    # v grows with the staged rowids; every main row's v is "main", after every number: ties go by rowid
    ordered = morvel.query(c, "t", where, order_by="v")
    assert ordered == answer
    assert morvel.query(c, "t", where, order_by="v", limit=25_000) == answer[:25_000]
    check_arrow(conn, "t", answer[:25_000], ["k", "v"], morvel.query_arrow(c, "t", where, order_by="v", limit=25_000))
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
    # no limit, the answer as Arrow data: the rows go into column buffers, no Python object is kept of them
    "arrow_main": ("main", [[0]], {"arrow": True}),
    "arrow_where_staged": ("staged", [], {"where": "k % 2 = 0", "arrow": True}),
    "arrow_staged": ("staged", [], {"arrow": True}),
    "arrow_ordered_main": ("main", [[0]], {"order_by": "v DESC", "arrow": True}),
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


@pytest.mark.heavy
@two_paths
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
        elif "arrow" in kwargs:
            sizes = [len(morvel.query_arrow(conn, "t", **{k: v for k, v in kwargs.items() if k != "arrow"}))]
        else:
            answer = morvel.query(conn, "t", **kwargs)
        peak = tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()
    if "each" in kwargs or "arrow" in kwargs:
        assert sum(sizes) == (50_000 if "where" in kwargs else 100_000) and peak < 4 * MB
        assert "arrow" in kwargs or max(sizes) <= 1024
    else:
        assert len(answer) == kwargs["limit"] and peak < 4 * MB


# The Arrow answer's batches: 65,536 rows each but one; in the order of the rows, whichever way they were read
# (staged rows newest first, then turned around, when there is no condition and no limit: the short batch first).
ARROW_BATCHES = {
    "staged_one_pass": ("staged_0", {}),
    "staged_where": ("staged_0", {"where": "k % 3 <> 0"}),
    "main": ("main_1", {"columns": "v"}),
    "ordered_limit": ("main_1", {"order_by": "k DESC", "limit": 70_000}),
}


@pytest.mark.heavy
@two_paths
@pytest.mark.parametrize("shape,kwargs", ARROW_BATCHES.values(), ids=ARROW_BATCHES.keys())
def test_arrow_batches(conn, path, shape, kwargs):
    big(conn, shape)
    c = on(path, conn)
    arrow = morvel.query_arrow(c, "t", **kwargs)
    answer = morvel.query(c, "t", **kwargs)
    _, sizes, rows = read_stream(arrow)  # once: check_arrow's reading of these many rows would repeat it
    assert rows == answer and sorted(sizes, reverse=True) == [65_536] * (len(answer) // 65_536) + [
        len(answer) % 65_536] * (len(answer) % 65_536 > 0)
    names = answer_names(conn, "t", kwargs.get("columns", "*"))
    types, expected = as_arrow(conn, "t", answer, names)
    assert (list(arrow.columns), list(arrow.types)) == (names, types) and typed(rows) == typed(expected)


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096 / MB


@pytest.mark.heavy
@pytest.mark.skipif(not __import__("os").path.exists("/proc/self/statm"), reason="reads the resident size from /proc")
@pytest.mark.skipif("libasan" in __import__("os").environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer keeps freed memory resident, in quarantine")
def test_arrow_streams_free_what_they_hold(conn):
    """Every stream, schema and batch frees what it holds once released, whoever releases it: the ctypes reader,
    pyarrow, or the capsule of a stream nobody took. About 6 MB of buffers each answer: 20 rounds that kept them
    would hold 120 MB at least."""
    managed(conn, "w", ["k", "v"], [[0]], main=[(0, "old")], staged=[(i, f"{i:03000}") for i in range(2_000)])
    answer = morvel.query_arrow(conn, "w")
    refs = __import__("sys").getrefcount(answer)

    def round_trip():
        a = morvel.query_arrow(conn, "w")
        assert read_stream(a)[2][1_999] == [1_999, f"{1_999:03000}"]
        a.__arrow_c_stream__()  # dropped untaken: its capsule releases it
        if pyarrow is not None:
            table = pyarrow.table(a)
            del a
            assert table.num_rows == 2_000 and table.column("v")[1_999].as_py() == f"{1_999:03000}"

    round_trip()
    gc.collect()
    before = rss_mb()
    for _ in range(20):
        round_trip()
    gc.collect()
    assert rss_mb() - before < 40
    assert __import__("sys").getrefcount(answer) == refs


@pytest.mark.parametrize("reader", ["pyarrow", "polars", "pandas"])
def test_arrow_readers(h, reader):
    """The packages that read the interface get named, typed columns, the stream's batches outliving the answer."""
    module = pytest.importorskip(reader)
    arrow = morvel.query_arrow(h, "q", columns=["k", 'x"y'])
    if reader == "pyarrow":
        frame = module.table(arrow)
        del arrow
        assert frame.to_pydict() == {"k": [5, 6, 7, 4], 'x"y': ["new", "COFFEE", "v", "y"]}
    elif reader == "polars":
        frame = module.DataFrame(arrow)
        assert frame.schema == module.Schema({"k": module.Int64, 'x"y': module.String})
        assert frame.rows() == [(5, "new"), (6, "COFFEE"), (7, "v"), (4, "y")]
    else:
        frame = module.DataFrame.from_arrow(arrow) if hasattr(module.DataFrame, "from_arrow") else \
            pytest.importorskip("pyarrow").table(arrow).to_pandas()
        assert list(frame.columns) == ["k", 'x"y'] and str(frame["k"].dtype) == "int64"
        assert frame.values.tolist() == [[5, "new"], [6, "COFFEE"], [7, "v"], [4, "y"]]


# Values typed as the connection answers them: a text factory's texts are texts, an object that a converter makes
# is none of SQLite's values; where query fails, query_arrow fails alike.
CONNECTION_VALUES = {
    "text_factory": (lambda c: setattr(c, "text_factory", lambda b: b.decode()), {"k": "int64", "v": "utf8"}),
    "text_factory_bytes": (lambda c: setattr(c, "text_factory", bytes), "as query"),
    "converted": (lambda c: sqlite3.register_converter("STAMP", lambda b: __import__("datetime").date(2000, 1, 1)),
                  (TypeError, "column v holds a value of type datetime.date")),
}


@pytest.mark.parametrize("setup,expected", CONNECTION_VALUES.values(), ids=CONNECTION_VALUES.keys())
def test_arrow_values_as_the_connection_answers(tmp_path, setup, expected):
    file = str(tmp_path / "v.db")
    managed(file, "t", ["k", "v STAMP"], [[0]], main=[(1, "a")], staged=[(2, "b")])
    c = sqlite3.connect(file, detect_types=sqlite3.PARSE_DECLTYPES)
    setup(c)
    if expected == "as query":
        with pytest.raises(Exception) as by_query:
            morvel.query(c, "t")
        with pytest.raises(type(by_query.value), match=str(by_query.value)):
            morvel.query_arrow(c, "t")
    elif isinstance(expected, tuple):
        with pytest.raises(expected[0], match=expected[1]):
            morvel.query_arrow(c, "t")
    else:
        arrow = morvel.query_arrow(c, "t")
        assert dict(zip(arrow.columns, arrow.types)) == expected
        check_arrow(c, "t", morvel.query(c, "t"), ["k", "v"], arrow)
    assert not c.in_transaction
    c.close()
