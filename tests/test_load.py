"""Bulk row insertion: the rows the calls take, and morvel.load of any iterable in batches."""

import collections
import sqlite3
import types

import pytest
from hypothesis import given, strategies as st

import morvel
from conftest import RecordingConnection, examples, managed, typed
from morvel import morvel as mv

ROWS = [(1, "x", 2.5, None), (2, "y", b"z", 3), (3, "x", -1, "w")]
COLS = ["a", "b", "c", "d"]  # t4's


def as_dicts(rows, keys=COLS):
    return [dict(zip(keys, r)) for r in rows]


class RawProxy(RecordingConnection):
    """Also keeps the very parameter objects handed to execute."""

    def cursor(self):
        cur, self.raw = super().cursor(), getattr(self, "raw", [])
        forward = cur.execute

        def execute(sql, *params):
            self.raw.extend(params[:1])
            return forward(sql, *params)

        cur.execute = execute
        return cur


class Batching(RecordingConnection):
    """A proxy whose cursors take executemany too: morvel.load sends its batches with it."""

    def cursor(self):
        cur = super().cursor()

        def executemany(sql, rows):
            self.log.append(("executemany", sql, [list(r) for r in rows]))
            cur._cursor.executemany(sql, rows)
            return cur

        cur.executemany = executemany
        return cur


def four_and_one(conn):
    """Tables t4 (four columns) and t1 (one), no keys."""
    managed(conn, "t4", ["a", "b", "c", "d"])
    managed(conn, "t1", ["a"])
    return conn


@pytest.fixture
def tables(conn):
    return four_and_one(conn)


def rows_of(conn, table):
    return conn.execute(f"SELECT rowid, * FROM {table} ORDER BY rowid").fetchall()


inserters = pytest.mark.parametrize("func,prefix", [(mv.insert_temp, "temp_"), (mv._insert_main, "")],
                                    ids=["temp", "main"])


@inserters
def test_rows_are_new_lists_of_any_iterable(tables, func, prefix):
    proxy = RawProxy(tables)
    row = sqlite3.connect(":memory:")
    row.row_factory = sqlite3.Row
    batch = ((1, 2, 3, 4), [5, 6, 7, 8], range(9, 13), iter((13, 14, 15, 16)), (v for v in range(17, 21)),
             row.execute("SELECT 21, 22, 23, 24").fetchone())
    func(proxy, "t4", batch)
    assert all(type(p) is list for p in proxy.raw)
    assert proxy.raw[1] is not batch[1]
    assert [r[1:] for r in rows_of(tables, prefix + "t4")] == [tuple(range(i, i + 4)) for i in range(1, 25, 4)]


class Columns:
    """Tabular data as DataFrames expose it: sized and indexable, its items its columns."""

    def __init__(self, *columns):
        self.columns = columns

    def __len__(self):
        return len(self.columns)

    def __getitem__(self, i):
        return self.columns[i]


class Frame(Columns):
    """... and an Arrow stream, as DataFrames and Arrow tables have."""

    def __arrow_c_stream__(self, requested_schema=None):
        raise AssertionError("not read")


class Interchange(Columns):
    """... and only the interchange protocol, no Arrow stream."""

    def __dataframe__(self, nan_as_null=False, allow_copy=True):
        raise AssertionError("not read")


# ---------------------------------------------------------------- deletion by rowid


# ---------------------------------------------------------------- morvel.load: any iterable, in batches

def _raises_after(n):
    def rows():
        yield from ROWS[:n]
        raise KeyError("source broke")
    return rows()


def _refilled(n):
    row = [None] * 4
    for i in range(n):
        row[:] = [i] * 4
        yield row


def _cursor_rows():
    source = sqlite3.connect(":memory:")
    return source.execute("SELECT * FROM (VALUES (1, 'x', 2.5, NULL), (2, 'y', x'7a', 3), (3, 'x', -1, 'w'))")


# rows, comm, batch, outcome (rows staged, or the error, or the error and its message), rows staged after the
# call. A failed call with comm true leaves nothing staged and no transaction open.
LOADS = {
    "generator": (lambda: (r for r in ROWS), True, 2, 3, ROWS),
    "list": (lambda: list(ROWS), True, 100_000, 3, ROWS),
    "cursor": (_cursor_rows, True, 1, 3, [(1, "x", 2.5, None), (2, "y", b"z", 3), (3, "x", -1, "w")]),
    "empty": (lambda: iter(()), True, 1, 0, []),
    "refused_row": (lambda: iter([ROWS[0], ROWS[1], "abcd", ROWS[2]]), True, 2, TypeError, []),
    "rejected_row": (lambda: iter([ROWS[0], (1, 2)]), True, 5, sqlite3.ProgrammingError, []),
    "source_raises": (lambda: _raises_after(2), True, 1, KeyError, []),
    "bad_batch": (lambda: iter(ROWS), True, 0, ValueError, []),
    "huge_batch": (lambda: iter(ROWS), True, 10**30, ValueError, []),
    # one row object refilled for every row: each row is taken as it was when it came
    "reused_row": (lambda: _refilled(10), True, 4, 10, [(i, i, i, i) for i in range(10)]),
    "frame": (lambda: Interchange((1, 2), (3, 4)), True, 10, TypeError, []),
    "comm_false": (lambda: (r for r in ROWS), False, 2, 3, ROWS),
    # a row refused as it is taken: nothing of its batch is sent; one the connection rejects: those before it
    "comm_false_refused_row": (lambda: iter([ROWS[0], ROWS[1], "abcd", ROWS[2]]), False, 5, TypeError, []),
    "comm_false_no_sequence": (lambda: iter([ROWS[0], 5, ROWS[1]]), False, 5, TypeError, []),
    "comm_false_rejected_row": (lambda: iter([ROWS[0], (1, 2), ROWS[1]]), False, 5, sqlite3.ProgrammingError,
                                ROWS[:1]),
    # without comm the caller's transaction is the caller's: the rows before the failure stay in it
    "comm_false_raises": (lambda: _raises_after(2), False, 1, KeyError, ROWS[:2]),
    # mappings: staged in the table's column order, keys matched without ASCII case, a missing key NULL
    "dicts": (lambda: iter(as_dicts(ROWS)), True, 2, 3, ROWS),
    "dicts_partial": (lambda: iter([{"d": 1, "A": "x"}, {"B": 2, "c": 3}, {}]), True, 2, 3,
                      [("x", None, None, 1), (None, 2, 3, None), (None,) * 4]),
    "mappings": (lambda: (types.MappingProxyType(d) for d in as_dicts(ROWS)), True, 2, 3, ROWS),
    "ordered_dicts": (lambda: (collections.OrderedDict(reversed(d.items())) for d in as_dicts(ROWS)), True, 1, 3,
                      ROWS),
    # the first row decides: all mappings or all sequences
    "dict_after_tuple": (lambda: iter([ROWS[0], ROWS[1], as_dicts(ROWS)[2]]), True, 2,
                         (TypeError, r"^row 2 is a mapping \(type 'dict'\), but row 0 is a sequence"), []),
    "tuple_after_dict": (lambda: iter(as_dicts(ROWS[:2]) + [ROWS[2]]), True, 2,
                         (TypeError, r"^row 2 is of type 'tuple', not a mapping, but row 0 is one"), []),
    "unknown_key": (lambda: iter(as_dicts(ROWS[:2]) + [{"a": 1, "x": 2}]), True, 2,
                    (ValueError, r"^row 2 has key 'x', which is not a column of t4 \(a, b, c, d\)$"), []),
    "key_not_str": (lambda: iter([{"a": 1}, {"a": 1, 2: 3}]), True, 5,
                    (TypeError, r"^row 1 has key 2 of type 'int': the keys of a row are column names \(str\)$"), []),
    "column_twice": (lambda: iter([{"a": 1, "b": 2, "A": 3}]), True, 5,
                     (ValueError, r"^row 0 has key 'A' for column a of t4, which another of its keys names too"), []),
    "dicts_comm_false_refused": (lambda: iter(as_dicts(ROWS[:2]) + [{"e": 1}]), False, 1, ValueError,
                                 ROWS[:2]),
}


@pytest.mark.parametrize("make_rows,comm,batch,outcome,staged", LOADS.values(), ids=LOADS.keys())
@pytest.mark.parametrize("through", ["connection", "proxy", "batching"])
def test_load_cases(tables, db_path, make_rows, comm, batch, outcome, staged, through):
    from morvel import load

    proxy = (Batching if through == "batching" else RecordingConnection)(tables)
    target = tables if through == "connection" else proxy
    if isinstance(outcome, int):
        assert load(target, "t4", make_rows(), comm, batch=batch) == outcome
    else:
        error, message = outcome if isinstance(outcome, tuple) else (outcome, None)
        with pytest.raises(error, match=message):
            load(target, "t4", make_rows(), comm, batch=batch)
    assert tables.in_transaction == (not comm and bool(staged))
    assert [r[1:] for r in rows_of(tables, "temp_t4")] == [tuple(r) for r in staged]
    if through == "batching" and staged:  # one statement per batch of rows
        assert {e[0] for e in proxy.log if len(e) > 1 and "INSERT" in e[1]} == {"executemany"}
    if comm:  # nothing left holding the file
        other = sqlite3.connect(db_path, timeout=0)
        other.execute("INSERT INTO t1 VALUES (1)")
        other.commit()
        other.close()


def test_load_joins_an_open_transaction_and_streams(tables):
    from morvel import load

    tables.execute("INSERT INTO t1 VALUES ('mine')")
    proxy = RecordingConnection(tables)
    with pytest.raises(KeyError):  # inside the caller's transaction: its own savepoint, rolled back to
        load(proxy, "t4", _raises_after(2), batch=1)
    assert tables.in_transaction
    assert rows_of(tables, "temp_t4") == [] and rows_of(tables, "t1") == [(1, "mine")]
    tables.rollback()
    pulled = []

    def rows():  # the load never holds more than a batch: each row is sent before the next batch is pulled
        for i in range(10):
            pulled.append(len(rows_of(tables, "temp_t4")))
            yield (i, i, i, i)
    assert load(tables, "t4", rows(), batch=4) == 10
    assert pulled == [0, 0, 0, 0, 4, 4, 4, 4, 8, 8]


# rows of values that bind as they are, as tuples, long enough to fill groups of rows to a statement and end
# between them; a few of them lists, or holding True (an int subclass): those go alone, as insert_temp sends them
PLAIN = st.one_of(st.none(), st.integers(-2 ** 63, 2 ** 63 - 1), st.floats(allow_nan=False), st.text(max_size=3),
                  st.binary(max_size=3))
MIXED_ROWS = st.tuples(st.integers(0, 70).flatmap(lambda n: st.lists(st.tuples(PLAIN, PLAIN, PLAIN, PLAIN), min_size=n,
                                                                         max_size=n)),
                       st.lists(st.tuples(st.integers(0, 69), st.booleans()), max_size=3)).map(
    lambda t: [(list(r) if odd[1] else (True, *r[1:])) if (odd := next((o for o in t[1] if o[0] == i), None)) else r
               for i, r in enumerate(t[0])])


@examples(60)
@given(rows=MIXED_ROWS, batch=st.sampled_from([1, 16, 17, 50, 1000]),
       through=st.sampled_from(["connection", "proxy", "batching"]))
def test_load_stores_what_insert_temp_stores(conn, rows, batch, through):
    for table in ("l", "i"):
        managed(conn, table, COLS)
    target = {"connection": conn, "proxy": RecordingConnection(conn), "batching": Batching(conn)}[through]
    assert morvel.load(target, "l", rows, batch=batch) == len(rows)
    mv.insert_temp(conn, "i", rows)
    assert typed(rows_of(conn, "temp_l")) == typed(rows_of(conn, "temp_i"))


# ---------------------------------------------------------------- morvel.load of mappings

KEYS = st.lists(st.tuples(st.booleans(), st.booleans()), min_size=4, max_size=4)  # per column: given, upper case
VALUES = st.one_of(st.none(), st.integers(-2 ** 63, 2 ** 63 - 1), st.floats(allow_nan=False), st.text(max_size=3),
                   st.binary(max_size=3))


@examples(60)
@given(rows=st.lists(st.tuples(st.lists(VALUES, min_size=4, max_size=4), st.permutations(range(4)), KEYS), max_size=8),
       batch=st.integers(1, 3))
def test_dicts_store_what_tuples_store(conn, rows, batch):
    """Each mapping (any subset of the columns, its keys in any order and letter case) is staged as the tuple of
    its values in column order, None for a missing key."""
    for table in ("d", "q"):
        managed(conn, table, COLS)
    dicts = [{(COLS[i].upper() if keys[i][1] else COLS[i]): values[i] for i in order if keys[i][0]}
             for values, order, keys in rows]
    tuples = [tuple(v if given_ else None for v, (given_, _) in zip(values, keys)) for values, _, keys in rows]
    assert morvel.load(conn, "d", dicts, batch=batch) == morvel.load(conn, "q", tuples, batch=batch) == len(rows)
    assert typed(rows_of(conn, "temp_d")) == typed(rows_of(conn, "temp_q"))


# On k (a unique key on id, and a column with a non-ASCII letter): table, rows, keywords, outcome (rows staged,
# or the error and its message), rows staged after the call.
KEYED = {
    "complete": ("k", [{"id": 1, "Éa": 2, "V": 3}], {}, 1, [(1, 2, 3)]),
    "ascii_case": ("k", [{"ID": 1, "ÉA": 2, "v": 3}], {}, 1, [(1, 2, 3)]),
    # SQLite compares only ASCII letters without case: é is not É
    "other_case": ("k", [{"id": 1, "éa": 2, "v": 3}], {},
                   (ValueError, r"^row 0 has key 'éa', which is not a column of k \(id, Éa, v\)$"), []),
    # the merge replaces main rows by the key: the values a row lacks would be lost
    "lacking": ("k", [{"id": 1, "Éa": 2, "v": 3}, {"id": 2}], {},
                (ValueError, r"^row 1 has no key for Éa, v of k \(id, Éa, v\), which has unique keys: .* pass "
                             r"missing='null' if they are meant to be NULL$"), []),
    "lacking_null": ("k", [{"id": 1, "Éa": 2, "v": 3}, {"id": 2}, {"v": 4}], {"missing": "null"}, 3,
                     [(1, 2, 3), (2, None, None), (None, None, 4)]),
    "lacking_no_keys": ("t", [{"a": 1}, {}], {}, 2, [(1, None), (None, None)]),
    "bad_missing": ("k", [{"id": 1, "Éa": 2, "v": 3}], {"missing": "NULL"},
                    (ValueError, r"^missing must be 'refuse' or 'null', not 'NULL'$"), []),
    "no_staging_table": ("nowhere", [{"a": 1}], {}, (ValueError, "^row 0 is a mapping, but there is no table "
                                                                  "temp_nowhere"), []),
}


@pytest.mark.parametrize("table,rows,kwargs,outcome,staged", KEYED.values(), ids=KEYED.keys())
@pytest.mark.parametrize("through", ["connection", "proxy"])
def test_load_mappings_into_keyed_tables(conn, table, rows, kwargs, outcome, staged, through):
    managed(conn, "k", ["id", "Éa", "v"], [[0]])
    managed(conn, "t", ["a", "b"])
    target = RecordingConnection(conn) if through == "proxy" else conn
    if isinstance(outcome, int):
        assert morvel.load(target, table, iter(rows), batch=1, **kwargs) == outcome
    else:
        with pytest.raises(outcome[0], match=outcome[1]):
            morvel.load(target, table, iter(rows), batch=1, **kwargs)
    assert not conn.in_transaction
    assert [r[1:] for r in rows_of(conn, "temp_" + ("k" if table == "nowhere" else table))] == staged


# ---------------------------------------------------------------- morvel.load of numpy scalars

BUFFER = "buffer"  # stored as the sqlite3 module binds an object with the buffer protocol: its bytes, a blob


class Indexable:
    """A class of the user's own with __index__: left to the sqlite3 module, which takes no such value."""

    def __index__(self):
        return 3


# the value (made with numpy), what morvel.load stores (value and type, or the error), what insert_temp stores
NUMPY = {
    "int64": (lambda np: np.int64(7), (7, "integer"), BUFFER),
    "int8": (lambda np: np.int8(-3), (-3, "integer"), BUFFER),
    "uint64": (lambda np: np.uint64(2 ** 64 - 1), OverflowError, BUFFER),
    "float64": (lambda np: np.float64(2.5), (2.5, "real"), (2.5, "real")),
    "float32": (lambda np: np.float32(0.5), (0.5, "real"), BUFFER),
    "nan": (lambda np: np.float64("nan"), (None, "null"), (None, "null")),
    "true": (lambda np: np.bool_(True), (1, "integer"), BUFFER),
    "false": (lambda np: np.bool_(False), (0, "integer"), BUFFER),
    # a count without its unit, and a subclass of the user's own: as the sqlite3 module binds them
    "timedelta": (lambda np: np.timedelta64(5, "s"), BUFFER, BUFFER),
    "subclass": (lambda np: type("Mine", (np.int64,), {})(5), BUFFER, BUFFER),
    "indexable": (lambda np: Indexable(), sqlite3.ProgrammingError, sqlite3.ProgrammingError),
}


def stored(conn, stage, value):
    """What `stage` stores of `value` in t1, or the class of its error; t1 emptied after."""
    try:
        stage([(value,)])
    except Exception as exc:  # noqa: BLE001 - the error is the outcome
        return type(exc)
    finally:
        conn.commit()
    got = conn.execute("SELECT a, typeof(a) FROM temp_t1").fetchall()
    conn.execute("DELETE FROM temp_t1")
    conn.commit()
    return got


@pytest.mark.parametrize("make,by_load,by_insert", NUMPY.values(), ids=NUMPY.keys())
def test_numpy_scalars(tables, make, by_load, by_insert):
    np = pytest.importorskip("numpy")
    value = make(np)

    def expected(outcome):
        if outcome == BUFFER:
            return [(memoryview(value).tobytes(), "blob")]
        return outcome if isinstance(outcome, type) else [outcome]
    by_load, by_insert = expected(by_load), expected(by_insert)
    for stage in (lambda rows: morvel.load(tables, "t1", rows),
                  lambda rows: morvel.load(tables, "t1", as_dicts(rows, ["a"]), batch=1)):
        assert stored(tables, stage, value) == by_load
    assert stored(tables, lambda rows: mv.insert_temp(tables, "t1", rows), value) == by_insert
    if isinstance(by_load, list) and by_load[0][1] in ("integer", "real"):  # found as the number it holds
        morvel.load(tables, "t1", [(value,)])
        assert morvel.query(tables, "t1", "a = ?", [by_load[0][0]]) == [[by_load[0][0]]]


# rows of other packages' making, each staged into t4 as [(1, "x", 0.5, 1), (2, "y", None, 0)]
FRAMES = {
    "pandas_records": ("pandas", lambda pd: pd.DataFrame({"a": [1, 2], "b": ["x", "y"], "c": [0.5, None],
                                                          "d": [True, False]}).to_dict("records")),
    "polars_dicts": ("polars", lambda pl: pl.DataFrame({"d": [True, False], "a": [1, 2], "b": ["x", "y"],
                                                        "c": [0.5, None]}).to_dicts()),
    "polars_named": ("polars", lambda pl: pl.DataFrame({"A": [1, 2], "b": ["x", "y"], "c": [0.5, None],
                                                        "D": [True, False]}).iter_rows(named=True)),
    # each row a numpy record, its values numpy scalars
    "numpy_records": ("numpy", lambda np: np.array([(1, "x", 0.5, True), (2, "y", np.nan, False)],
                                                   dtype="i8,U1,f4,?")),
}


@pytest.mark.parametrize("package,make", FRAMES.values(), ids=FRAMES.keys())
def test_frames_rows(tables, package, make):
    rows = make(pytest.importorskip(package))
    assert morvel.load(tables, "t4", rows) == 2
    assert tables.execute("SELECT a, b, c, d, typeof(a), typeof(c), typeof(d) FROM temp_t4").fetchall() == [
        (1, "x", 0.5, 1, "integer", "real", "integer"), (2, "y", None, 0, "integer", "null", "integer")]
