"""Arrow data into morvel.load: every column type read from its buffers as the value a Python row would give."""

import contextlib
import datetime as dt
import decimal
import math
import sqlite3
import zoneinfo

import pytest
from conftest import RecordingConnection, dump, examples, managed
from hypothesis import given
from hypothesis import strategies as st

import morvel

pa = pytest.importorskip("pyarrow")

UNITS = {"s": 1, "ms": 10**3, "us": 10**6, "ns": 10**9}
FRACTION = {"s": 0, "ms": 3, "us": 6, "ns": 9}


def clock(seconds, fraction, unit):
    """HH:MM:SS and the unit's digits of fraction."""
    text = f"{seconds // 3600:02}:{seconds // 60 % 60:02}:{seconds % 60:02}"
    return text + (f".{fraction:0{FRACTION[unit]}}" if FRACTION[unit] else "")


def offset_text(seconds):
    sign, seconds = ("-" if seconds < 0 else "+"), abs(seconds)
    text = f"{sign}{seconds // 3600:02}:{seconds // 60 % 60:02}"
    return text + (f":{seconds % 60:02}" if seconds % 60 else "")


def zone_offset(tz, seconds):
    """Seconds east of UTC of zone `tz` at the instant `seconds` after the epoch."""
    if tz[0] in "+-":
        return (-1 if tz[0] == "-" else 1) * (int(tz[1:3]) * 3600 + int(tz[4:6]) * 60)
    if tz in ("UTC", "Etc/UTC"):
        return 0
    instant = dt.datetime(1970, 1, 1, tzinfo=dt.UTC) + dt.timedelta(seconds=seconds)
    return int(instant.astimezone(zoneinfo.ZoneInfo(tz)).utcoffset().total_seconds())


def expected(column):
    """The values a column stores, as a Python row would hold them: written here without the module's code."""
    t = column.type
    if pa.types.is_dictionary(t):
        values = expected(column.dictionary)
        return [None if i is None else values[i] for i in column.indices.to_pylist()]
    if pa.types.is_timestamp(t) or pa.types.is_time(t):
        ints = column.cast(pa.int64() if t.bit_width == 64 else pa.int32()).to_pylist()
        out = []
        for v in ints:
            if v is None:
                out.append(None)
                continue
            seconds, fraction = divmod(v, UNITS[t.unit])
            if pa.types.is_time(t):
                out.append(clock(seconds, fraction, t.unit))
                continue
            offset = zone_offset(t.tz, seconds) if t.tz else 0
            days, rest = divmod(seconds + offset, 86400)
            text = f"{dt.date(1970, 1, 1) + dt.timedelta(days=days)} {clock(rest, fraction, t.unit)}"
            out.append(text + (offset_text(offset) if t.tz else ""))
        return out
    values = column.to_pylist()
    if pa.types.is_boolean(t):
        return [None if v is None else int(v) for v in values]
    if pa.types.is_floating(t):
        return [None if v is None or math.isnan(v) else float(v) for v in values]
    if pa.types.is_decimal(t):
        return [None if v is None else f"{v:.{t.scale}f}" for v in values]
    if pa.types.is_date(t):
        return [None if v is None else v.isoformat() for v in values]
    return values


def python_rows(table):
    return list(zip(*(expected(c.combine_chunks()) for c in table.columns)))


def stored(tmp_path, name, load, columns):
    """What `load(conn)` leaves in a new file's staging table t."""
    path = str(tmp_path / f"{name}.db")
    with contextlib.closing(sqlite3.connect(path)) as conn:
        managed(conn, "t", columns)
        load(conn)
        conn.commit()
    return dump(path)[0]["temp_t"]


ZONES = ["", "UTC", "+05:30", "-08:00", "America/New_York", "Asia/Kathmandu"]
TYPES = {
    "int8": (pa.int8(), st.integers(-2**7, 2**7 - 1)), "uint8": (pa.uint8(), st.integers(0, 2**8 - 1)),
    "int16": (pa.int16(), st.integers(-2**15, 2**15 - 1)), "uint32": (pa.uint32(), st.integers(0, 2**32 - 1)),
    "int64": (pa.int64(), st.integers(-2**63, 2**63 - 1)), "uint64": (pa.uint64(), st.integers(0, 2**63 - 1)),
    "float32": (pa.float32(), st.floats(width=32)), "float64": (pa.float64(), st.floats()),
    "bool": (pa.bool_(), st.booleans()),
    "utf8": (pa.utf8(), st.text()), "large_utf8": (pa.large_utf8(), st.text()),
    "utf8_view": (pa.string_view(), st.text(max_size=30)), "binary": (pa.binary(), st.binary()),
    "large_binary": (pa.large_binary(), st.binary()), "binary_view": (pa.binary_view(), st.binary(max_size=30)),
    "fixed_binary": (pa.binary(3), st.binary(min_size=3, max_size=3)),
    "decimal128": (pa.decimal128(12, 3), st.decimals(min_value=-10**8, max_value=10**8, places=3)),
    "decimal256": (pa.decimal256(50, 0), st.integers(-10**49, 10**49).map(decimal.Decimal)),
    "date32": (pa.date32(), st.dates()),
    "date64": (pa.date64(), st.dates(min_value=dt.date(1, 1, 1))),
    "time32": (pa.time32("ms"), st.times().map(lambda t: t.replace(microsecond=t.microsecond // 1000 * 1000))),
    "time64": (pa.time64("ns"), st.integers(0, 86400 * 10**9 - 1)),
    "dictionary": (pa.dictionary(pa.int8(), pa.utf8()), st.sampled_from(["a", "b", "ccc"])),
    "null": (pa.null(), st.none()),
    **{f"timestamp_{unit}_{tz or 'naive'}": (pa.timestamp(unit, tz or None),
                                             st.integers(*(-9 * 10**9, 9 * 10**9) if unit == "ns" else (-6 * 10**10, 2 * 10**11))
                                             .map(lambda s, u=unit: s * UNITS[u]))
       for unit in UNITS for tz in ZONES[:3]},
    **{f"timestamp_us_{tz}": (pa.timestamp("us", tz), st.integers(-2 * 10**9, 4 * 10**9).map(lambda s: s * 10**6 + 17))
       for tz in ZONES[3:]},
}


@st.composite
def arrow_tables(draw):
    kinds = draw(st.lists(st.sampled_from(sorted(TYPES)), min_size=1, max_size=5))
    n = draw(st.integers(0, 40))
    columns = {}
    for i, kind in enumerate(kinds):
        arrow_type, values = TYPES[kind]
        data = draw(st.lists(st.none() | values, min_size=n, max_size=n))
        if pa.types.is_dictionary(arrow_type):
            columns[f"c{i}"] = pa.array(data, pa.utf8()).dictionary_encode()
        else:
            columns[f"c{i}"] = pa.array(data, arrow_type)
    table = pa.table(columns)
    cut = draw(st.integers(1, 16))  # batches of any length, and views into a bigger batch
    return pa.Table.from_batches(table.to_batches(max_chunksize=cut), table.schema) if n else table


@given(table=arrow_tables(), through=st.sampled_from(["connection", "proxy"]))
@examples(120)
def test_arrow_columns_store_what_python_rows_store(tmp_path_factory, table, through):
    """Every type, with nulls, in batches: what load stores is what insert_temp stores for the Python rows."""
    tmp = tmp_path_factory.mktemp("arrow")
    columns = table.column_names
    wrap = RecordingConnection if through == "proxy" else (lambda c: c)
    rows = python_rows(table)
    got = stored(tmp, "arrow", lambda c: morvel.load(wrap(c), "t", table), columns)
    assert got == stored(tmp, "rows", lambda c: rows and morvel.morvel.insert_temp(c, "t", rows), columns)


@given(table=arrow_tables())
@examples(30)
def test_frames_store_what_their_arrow_data_stores(tmp_path_factory, table):
    """pandas and polars frames: each is read through the Arrow stream it exposes (string views, large text)."""
    tmp = tmp_path_factory.mktemp("frames")
    frames = []
    with contextlib.suppress(ImportError):
        import polars as pl
        if not any(pa.types.is_decimal256(t) for t in table.schema.types):  # polars panics on those
            with contextlib.suppress(Exception):  # a type polars does not take
                frames.append(pl.from_arrow(table))
    with contextlib.suppress(ImportError):
        import pandas as pd
        frames.append(table.to_pandas(types_mapper=pd.ArrowDtype))
    for i, frame in enumerate(frames):
        exported = pa.table(frame)
        got = stored(tmp, f"frame{i}", lambda c, f=frame: morvel.load(c, "t", f), exported.column_names)
        rows = python_rows(exported)
        assert got == stored(tmp, f"rows{i}", lambda c, r=rows: r and morvel.morvel.insert_temp(c, "t", r),
                             exported.column_names)


class OneBatch:
    """Exposes only the one-batch capsules."""

    def __init__(self, batch):
        self.batch = batch

    def __arrow_c_array__(self, requested_schema=None):
        return self.batch.__arrow_c_array__()


def failing_stream():
    schema = pa.schema([("a", pa.int64())])

    def batches():
        yield pa.record_batch([pa.array([1, 2])], schema=schema)
        raise RuntimeError("source broke")
    return pa.RecordBatchReader.from_batches(schema, batches())


def invalid_text():
    return pa.table({"a": pa.Array.from_buffers(pa.utf8(), 1, [None, pa.py_buffer(b"\0\0\0\0\2\0\0\0"),
                                                               pa.py_buffer(b"\xff\xfe")])})


# data (or what makes it), the error (class and message) or the rows staged; into t (a, b) and k (a, b) with a unique key on a
CASES = {
    "names_match_any_case_and_order": ("t", pa.table({"B": ["x"], "a": [1]}), [(1, "x")]),
    "missing_column_is_null": ("t", pa.table({"b": ["x"]}), [(None, "x")]),
    "one_batch_capsules": ("t", OneBatch(pa.record_batch({"a": [1, 2]})), [(1, None), (2, None)]),
    "seventeen_rows_in_groups": ("t", pa.table({"a": list(range(17))}), [(i, None) for i in range(17)]),
    "nan_is_null": ("t", pa.table({"a": [float("nan"), 1.5]}), [(None, None), (1.5, None)]),
    "half_floats": ("t", pa.table({"a": pa.array([1.5, None], pa.float16())}), [(1.5, None), (None, None)]),
    "unknown_column": ("t", pa.table({"a": [1], "zz": [2]}), (ValueError, "column 'zz' is not a column of t")),
    "twice_the_same_column": ("t", pa.table([[1], [2]], names=["a", "A"]), (ValueError, "are both column")),
    "pandas_index": ("t", pa.table({"a": [1], "__index_level_0__": [0]}), (ValueError, "reset_index")),
    "nested": ("t", pa.table({"a": [[1, 2]]}), (ValueError, "'a' is of Arrow format '\\+l', nested values")),
    "duration": ("t", pa.table({"a": pa.array([1], pa.duration("s"))}), (ValueError, "a duration")),
    "uint64_beyond": ("t", pa.table({"a": pa.array([1, 2**63], pa.uint64())}), (ValueError, "'a', row 1: an unsigned")),
    "invalid_utf8": ("t", invalid_text(), (ValueError, "row 0: the text is not valid UTF-8")),
    "stream_fails_midway": ("t", failing_stream, (Exception, "source broke")),
    "key_table_lacks_columns": ("k", pa.table({"a": [1]}), (ValueError, "has no column b of k, which has unique keys")),
    "key_table_all_columns": ("k", pa.table({"b": ["x"], "a": [1]}), [(1, "x")]),
}


@pytest.mark.parametrize("table, data, outcome", CASES.values(), ids=CASES.keys())
@pytest.mark.parametrize("native", [True, False])
def test_arrow_cases(conn, monkeypatch, table, data, outcome, native):
    if not native:
        monkeypatch.setenv("MORVEL_NATIVE", "0")
    data = data() if callable(data) else data  # a stream is read once
    managed(conn, "t", ["a", "b"])
    managed(conn, "k", ["a", "b"], keys={"k": [0]})
    if isinstance(outcome, tuple):
        with pytest.raises(outcome[0], match=outcome[1]):
            morvel.load(conn, table, data)
        outcome = []
    else:
        assert morvel.load(conn, table, data) == len(outcome)
    assert not conn.in_transaction
    assert conn.execute(f"SELECT * FROM temp_{table}").fetchall() == outcome


# ---------------------------------------------------------------- the command line's Parquet and Arrow files

def write_file(path, table):
    if path.suffix == ".parquet":
        import pyarrow.parquet as pq
        pq.write_table(table, path, row_group_size=3)
    elif path.name.endswith(".stream.arrow"):
        with pa.ipc.new_stream(path, table.schema) as w:
            w.write_table(table, max_chunksize=2)
    else:
        from pyarrow import feather
        feather.write_feather(table, path, chunksize=2)


SAMPLE = pa.table({"id": [1, 2, 3, 4], "price": [1.5, None, 2.0, 3.25], "name": ["a", "b", None, "d"],
                   "day": pa.array([dt.date(2024, 1, d) for d in (1, 2, 3, 4)], pa.date32()),
                   "ok": [True, False, None, True], "raw": [b"\x00", b"", None, b"z"]})
# source file, arguments after it, the exit status, and what the table then holds: its declared types and
# staged rows, or the one line on standard error
FILE_LOADS = {
    "parquet_new_table": ("s.parquet", [], 0, ("INTEGER REAL TEXT TEXT INTEGER BLOB", python_rows(SAMPLE))),
    "feather_merged": ("s.feather", ["--unique", "id", "--merge"], 0, ("INTEGER REAL TEXT TEXT INTEGER BLOB", [])),
    "ipc_stream": ("s.stream.arrow", [], 0, ("INTEGER REAL TEXT TEXT INTEGER BLOB", python_rows(SAMPLE))),
    "format_given": ("s.bin", ["--format", "parquet"], 0, ("INTEGER REAL TEXT TEXT INTEGER BLOB", python_rows(SAMPLE))),
    "not_that_format": ("s.csv", ["--format", "parquet"], 1, "cannot read it as parquet data"),
    "no_compression": ("s.parquet", ["--compression", "gzip"], 1, "is read as it is"),
}


@pytest.mark.parametrize("name, argv, status, then", FILE_LOADS.values(), ids=FILE_LOADS.keys())
def test_load_command_reads_columnar_files(tmp_path, capsys, name, argv, status, then):
    from morvel.cli import main

    source = tmp_path / name
    if name.endswith(".csv"):
        source.write_text("id\n1\n")
    else:
        write_file(source if name != "s.bin" else tmp_path / "s.parquet", SAMPLE)
        if name == "s.bin":
            (tmp_path / "s.parquet").rename(source)
    db = str(tmp_path / "t.db")
    assert main(["load", db, "t", str(source), "--quiet", *argv]) == status
    err = capsys.readouterr().err
    if status:
        assert then in err and err.count("\n") == 1
        return
    types, staged = then
    with contextlib.closing(sqlite3.connect(db)) as conn:
        assert " ".join(r[2] for r in conn.execute("PRAGMA table_info(t)")) == types
        assert conn.execute("SELECT * FROM temp_t").fetchall() == staged
        if "--merge" in argv:
            assert conn.execute("SELECT * FROM t ORDER BY id").fetchall() == python_rows(SAMPLE)


def test_load_command_into_a_table_with_keys(tmp_path, capsys):
    """An existing table: its columns by name; with unique keys, a file without all of them needs --missing null."""
    from morvel.cli import main

    db, source = str(tmp_path / "t.db"), tmp_path / "part.parquet"
    managed(db, "t", ["id", "name", "extra"], keys={"k": [0]})
    write_file(source, pa.table({"name": ["x"], "id": [7]}))
    assert main(["load", db, "t", str(source), "--quiet"]) == 1
    assert "no column 'extra' of table t here" in capsys.readouterr().err
    assert main(["load", db, "t", str(source), "--quiet", "--missing", "null"]) == 0
    write_file(source, pa.table({"id": [8], "zz": [1]}))
    assert main(["load", db, "t", str(source), "--quiet", "--missing", "null"]) == 1
    assert "column 'zz' is not in table t" in capsys.readouterr().err
    write_file(source, pa.table({"id": [[1]]}))
    assert main(["load", db, "t", str(source), "--quiet", "--missing", "null"]) == 1
    assert "column 'id' is of Arrow format '+l'" in capsys.readouterr().err
    with contextlib.closing(sqlite3.connect(db)) as conn:
        assert conn.execute("SELECT * FROM temp_t").fetchall() == [(7, "x", None)]
