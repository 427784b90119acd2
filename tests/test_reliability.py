"""Reliability: no reference or memory leaks, and hostile callers get exceptions, never a crash."""

import contextlib
import gc
import os
import sqlite3
import subprocess
import sys
import tracemalloc
import traceback
import types

import pytest
from hypothesis import given, strategies as st

from conftest import DEPTH, examples, needs_native, unique_name
from morvel import morvel as mv

COLS, SELECT = ["k", "v", "n"], "rowid,k,v,n"
BASE = """
CREATE TABLE index_table (table_name, index_name, columns);
CREATE TABLE unique_table (table_name, unique_name, columns, col_num);
CREATE TABLE t (k, v, n); CREATE TABLE temp_t (k, v, n); CREATE TABLE bad (a); CREATE TABLE temp_bad (a);
INSERT INTO index_table VALUES ('t','i0','v'), ('t','u0','k'), ('t','u1','n'), ('ghost','g','x');
INSERT INTO unique_table VALUES ('t','u0','k','0'), ('t','u1','n','2'), ('bad','ub','a','5');
CREATE INDEX t_i0 ON t (v); CREATE INDEX t_u0 ON t (k); CREATE INDEX t_u1 ON t (n);
INSERT INTO t VALUES (1,'a',10), (2,'b',20), (3,'c',30);
INSERT INTO temp_t VALUES (1,'A',11), (4,'d',20), (5,'e',50), (5,'E',51); INSERT INTO temp_bad VALUES (1);
"""


class Boom(Exception):
    pass


def _raise(self, *args):
    raise Boom(type(self).__name__)


BadEq = type("BadEq", (), {"__hash__": lambda self: 0, "__eq__": _raise, "__lt__": _raise, "__gt__": _raise})
BadHash = type("BadHash", (), {"__hash__": _raise})
BadStr = type("BadStr", (), dict.fromkeys(["__str__", "__repr__", "__format__"], _raise))
Collider = type("Collider", (), {"__hash__": lambda self: hash((1, 5)), "__eq__": _raise})  # like row key (1, 5)


def memdb():
    c = sqlite3.connect(":memory:")
    c.executescript(BASE)
    return c


def good_args(c):
    """A valid call of every function on the database of memdb()."""
    return {
        "insert_index": (c, {"table": "t", "name": "i1", "cols": "n,v"}), "drop_index": (c, "t", "i0"),
        "active_table_index": (c, "t"), "drop_table_index": (c, "t"), "insert_unique": (c, "t", "u2", "v", "1"),
        "drop_unique": (c, "t", "u1"),
        "create_table": (c, "w", ["a", "b"], [{"name": "i", "cols": "a"}], [{"name": "u", "cols": [1, 0]}]),
        "insert_temp": (c, "t", [(1, "x", 10 ** 9), ["y", 2.5, None]]), "delete_row_main": (c, "t", {10 ** 9, "2"}),
        "temp_to_main": (c, "t"), "_insert_main": (c, "t", [[10 ** 9, "x", b"z"]]), "drop_table": (c, "gone"),
        "find": (c, "*", "t", ""),
        "_check_newest_unique": (c, "t", (0, 1), [1, 1, "a", 10], {"u0": [0], "u1": [2]}, COLS, SELECT, set()),
    }


FUNCS = list(good_args(None))


def module_entries(exc):
    return [f.name for f in traceback.extract_tb(exc.__traceback__) if f.name.startswith("morvel.morvel.")]


def call_cleanly(qualname, fn, *args):
    """An ordinary exception that left through the callable's own traceback entry is an acceptable outcome."""
    try:
        return fn(*args)
    except Exception as exc:  # noqa: BLE001
        assert not isinstance(exc, SystemError), exc
        assert module_entries(exc)[:1] == [f"morvel.morvel.{qualname}"], (exc, module_entries(exc))
        return exc


def proxy(real, hook):
    """Forwards to `real`; hook(kind, value) runs at every cursor, execute, fetchall and commit and may raise;
    for fetchall, what it returns reaches the module instead of the fetched rows."""
    def cursor():
        hook("cursor", None)
        cur = real.cursor()
        return types.SimpleNamespace(execute=lambda sql, *p: (hook("execute", sql), cur.execute(sql, *p)),
                                     fetchall=lambda: hook("fetchall", cur.fetchall()))
    return types.SimpleNamespace(cursor=cursor, commit=lambda: (hook("commit", None), real.commit()))


NOWHERE = types.SimpleNamespace(commit=list, cursor=lambda: types.SimpleNamespace(execute=lambda *a: 0, fetchall=list))


def scripted(answer, on_execute=lambda sql: None):
    """A connection without a database: each fetchall gets answer(last statement)."""
    last = [""]

    def hook(kind, value):
        if kind == "execute":
            last[0] = value
            on_execute(value)
        return answer(last[0]) if kind == "fetchall" else value
    return proxy(NOWHERE, hook)


def leak_cases(c, tmp_path):
    """name -> (callable, succeeding args, args that fail part-way, setup before every call)."""
    handle, broken = mv.DB(unique_name(), str(tmp_path / "h.db")), mv.DB(unique_name(), str(tmp_path / "b.db"))
    broken.address = str(tmp_path / "missing" / "b.db")
    g, evil = good_args(c), BadEq()
    bad = {"insert_index": (c, {"table": "t", "name": "i1"}), "active_table_index": (c, "ghost"),
           "insert_unique": (c, "t", "u2", ["v"], "1"), "temp_to_main": (c, "bad"), "find": (c, "v,zz", "t", ""),
           "create_table": (c, "w", ["a", "b"], [], [{"name": "u", "cols": [5]}]), "_insert_main": (c, 7, [[1]]),
           "insert_temp": (c, "t", [(1, "x", 10 ** 9), (2,)]), "delete_row_main": (c, "t", [(1, 2)]),
           "_check_newest_unique": g["_check_newest_unique"][:4] + ({"u": [7]},) + g["_check_newest_unique"][5:]}
    setup = {"drop_table_index": lambda: c.execute("CREATE INDEX IF NOT EXISTS t_i0 ON t (v)"),
             "insert_temp": lambda: c.execute("DELETE FROM temp_t"), "_check_newest_unique": g[FUNCS[-1]][-1].clear,
             "temp_to_main": lambda: c.execute("INSERT INTO temp_t VALUES (1,'A',11), (5,'e',50), (5,'E',51)")}
    cases = {n: (getattr(mv, n), g[n], bad.get(n, g[n] + (evil,)), setup.get(n)) for n in FUNCS}
    cases["DB.__init__"] = (mv.DB, (handle.name, handle.address), ([], "x"), None)
    cases["DB.connection"] = (mv.DB.connection, (handle,), (broken,), None)
    return cases


def watched(args):
    """The arguments and their items, without the small numbers and letters that everybody shares."""
    out = list(args)
    for a in args:
        out.extend(a.values() if isinstance(a, dict) else a if isinstance(a, (list, tuple, set)) else ())
    return [o for o in out if not (o is None or type(o) in (bool, int) and -5 <= o <= 256
                                   or isinstance(o, str) and len(o) < 2)]


@pytest.mark.parametrize("variant", ["ok", "error", "binding"])
@pytest.mark.parametrize("name", FUNCS + ["DB.__init__", "DB.connection"])
def test_repeated_calls_leak_no_references_and_no_memory(name, variant, tmp_path):
    # What the suite made before this test is left out of the collections below: a full collection walks the
    # whole heap, and a test's calls make no garbage that involves it.
    gc.freeze()
    try:
        repeated_calls(name, variant, tmp_path)
    finally:
        gc.unfreeze()


def repeated_calls(name, variant, tmp_path):
    fn, good, bad, setup = leak_cases(memdb(), tmp_path)[name]
    args, kwargs = {"ok": (good, {}), "error": (bad, {}), "binding": (good, {"bogus": 1})}[variant]

    def once():
        (setup or list)()
        try:
            got = fn(*args, **kwargs)
        except Exception as exc:  # noqa: BLE001
            assert variant != "ok", exc
        else:
            assert variant == "ok"
            getattr(got, "close", list)()

    objects, calls = watched(args), max(100, round(2000 * DEPTH))
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        for _ in range(min(200, calls)):
            once()
        gc.collect()
        before = [sys.getrefcount(o) for o in objects]
        tracemalloc.start()
        try:
            start = tracemalloc.get_traced_memory()[0]
            for _ in range(calls):
                once()
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - start
        finally:
            tracemalloc.stop()
    assert [sys.getrefcount(o) for o in objects] == before
    # What a few hundred calls keep is within the noise of the interpreter's own caches: memory is judged at full depth.
    assert grown < 48 * 1024 or calls < 2000, f"{grown} bytes kept after {calls} calls"


def fail_at(k, calls):
    """Logs the calls of the connection and its cursors in `calls`; the k-th one raises Boom(k)."""
    def hook(kind, value):
        calls.append(kind)
        if len(calls) == k:
            raise Boom(k)
        return value
    return hook


@pytest.mark.parametrize("name", ["create_table", "temp_to_main", "find", "insert_temp"])
def test_failure_at_every_connection_call_propagates(name):
    run = lambda hook: getattr(mv, name)(proxy(memdb(), hook), *good_args(None)[name][1:])  # noqa: E731
    run(fail_at(0, calls := []))
    assert len(calls) >= 4
    for k in range(1, len(calls) + 1):
        with pytest.raises(Boom) as ei:
            run(fail_at(k, []))
        assert ei.value.args == (k,) and module_entries(ei.value)[0] == f"morvel.morvel.{name}"


def table_t(staged):
    """Answers for the table t (columns k, v, n; one unique key on k) whose data statements return `staged`."""
    return lambda sql: ([(i, col) for i, col in enumerate(COLS)] if sql.startswith("PRAGMA") else
                        [("t", "u0", "k", "0")] if "unique_table" in sql else [] if "WHERE" in sql else staged)


@pytest.mark.parametrize("fn", [mv.temp_to_main, lambda c, t: mv.find(c, "*", t, "")], ids=["merge", "find"])
@pytest.mark.parametrize("value", [BadHash, BadEq])
def test_key_values_whose_hash_or_eq_raise(fn, value):
    with pytest.raises(Boom):  # the key is element 0 of a staged row and element 1 of a found one
        fn(scripted(table_t([[value(), value(), 1, 2], [value(), value(), 3, 4]])), "t")


@pytest.mark.parametrize("name", FUNCS[:-2])
def test_comm_whose_eq_raises(name):
    with pytest.raises(Boom) as ei:
        getattr(mv, name)(*good_args(memdb())[name], comm=BadEq())
    assert module_entries(ei.value)[0] == f"morvel.morvel.{name}"


@pytest.mark.parametrize("rowid, seen", [((1, 2), {Collider()}), ((1, BadEq()), set()), ((BadEq(), 9), set())])
def test_row_keys_that_refuse_comparison(rowid, seen):
    conn = scripted(lambda sql: [(5, 1, "x", 2)] if "temp_t" in sql else [])
    with pytest.raises(Boom):
        mv._check_newest_unique(conn, "t", rowid, [1, 1, "x", 2], {"u0": [0]}, COLS, SELECT, seen)


@pytest.mark.parametrize("name", FUNCS)
def test_deep_reentrance_ends_in_recursion_error(name):
    def again(sql):
        getattr(mv, name)(loop, *good_args(None)[name][1:])
    loop = scripted(lambda sql: [], again)
    with pytest.raises(RecursionError) as ei:
        again("")
    assert module_entries(ei.value)[0] == f"morvel.morvel.{name}"


def clearing(owner):
    """A value that empties `owner` whenever the module looks at it, then answers harmlessly."""
    act = lambda value: lambda self, *args: (owner.clear(), value() if callable(value) else value)[1]  # noqa: E731
    return type("Clearing", (), {"__index__": act(0), "__hash__": act(0), "__len__": act(3), "__add__": act(1),
                                 "__str__": act("1"), "__getitem__": act(1),
                                 "__iter__": act(lambda: iter([1, 2, 3]))})()


@pytest.mark.parametrize("name", ["insert_temp", "_insert_main", "delete_row_main", "create_table",
                                  "_check_newest_unique"])
def test_arguments_emptied_while_in_use(name):
    c, rows, ids, names, index, unique, uniques = memdb(), [(1, "x", 2)], [1], ["a", "b"], [], [], {}
    rows += [clearing(rows), (2, "y", 3)]
    ids += [clearing(ids), 3]
    setitem = lambda d, k, v: (index.clear(), names.clear(), dict.__setitem__(d, k, v))  # noqa: E731
    index += [type("D", (dict,), {"__setitem__": setitem})(name="i", cols="a"), {"name": "j", "cols": "b"}]
    unique += [{"name": "u", "cols": [0, clearing(unique)]}, {"name": "x", "cols": [1]}]
    uniques.update(u0=[0, clearing(uniques)], u1=[2])
    args = {"insert_temp": (c, "t", rows), "_insert_main": (c, "t", rows), "delete_row_main": (c, "t", ids),
            "create_table": (c, "w", names, index, unique),
            "_check_newest_unique": (c, "t", (0, 1), [1, 1, "a", 10], uniques, COLS, SELECT, set())}[name]
    call_cleanly(name, getattr(mv, name), *args)


@pytest.mark.parametrize("name", ["insert_temp", "_insert_main"])
@pytest.mark.skipif(sys.version_info >= (3, 12), reason="the collector runs only between bytecodes from 3.12 on")
def test_row_emptied_by_the_collector_while_copied(name):
    # Copying a list row allocates; the collection that may start there empties the row being copied.
    rows = [[i, f"v{i}", i * 0.5] for i in range(3000)]
    expected, sent = [list(r) for r in rows], []
    cursor = types.SimpleNamespace(execute=lambda sql, params: sent.append(params))  # no list goes back to the free list
    conn = types.SimpleNamespace(cursor=lambda: cursor, commit=list)

    def empty_next(phase, info):
        if phase == "start" and len(sent) < len(rows):
            rows[len(sent)].clear()

    threshold = gc.get_threshold()
    gc.callbacks.append(empty_next)
    gc.set_threshold(50)
    try:  # the connection takes anything: the first row sent empty is named, once sent (the very first row
          # may be emptied before its length gives the placeholders, and is then refused as empty)
        with pytest.raises(ValueError, match=r"^row \d+ has 0 values for [13] placeholders, and the connection bound it"
                                             r"|^row 0 is empty"):
            getattr(mv, name)(conn, "t", rows)
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(empty_next)
    assert not sent or (sent[-1] == [] and [] not in sent[:-1])  # nothing sent: the first row came empty
    assert all(p in (e, []) for p, e in zip(sent, expected))


@pytest.mark.parametrize("name", ["temp_to_main", "find", "_check_newest_unique", "active_table_index"])
def test_fetched_rows_emptied_while_walked(name):
    handed = []

    def shred(kind, value):  # rows are handed out as lists, all of them emptied at the next statement
        if kind == "execute":
            any(lst.clear() for lst in handed)
        elif kind == "fetchall":
            value = [list(r) for r in value]
            handed.extend([value] + value)
        return value
    c = memdb()
    call_cleanly(name, getattr(mv, name), proxy(c, shred), *good_args(c)[name][1:])


SHAPES = {"tuple": tuple, "iterator": iter, "generator": lambda rows: (r for r in rows),
          "lists": lambda rows: [list(r) for r in rows], "short": lambda rows: [r[:1] for r in rows],
          "text": lambda rows: ["".join(map(str, r)) for r in rows],
          "dicts": lambda rows: [dict(enumerate(r)) for r in rows]}


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("name", ["active_table_index", "drop_table_index", "temp_to_main", "find",
                                  "_check_newest_unique"])
def test_fetchall_answers_of_other_shapes(name, shape):
    c = memdb()
    reshape = lambda kind, value: SHAPES[shape](value) if kind == "fetchall" else value  # noqa: E731
    got = call_cleanly(name, getattr(mv, name), proxy(c, reshape), *good_args(c)[name][1:])
    if shape == "lists" and name == "find":  # rows are only read by position
        assert sorted(got) == sorted(mv.find(memdb(), "*", "t", ""))


def junk_values():
    return [None, 0, -1, 2 ** 70, 1.5, float("nan"), "", "t'", b"t", bytearray(b"x"), [], [[]], {}, set(), (),
            {"table": 1, "name": [], "cols": None}, [{"name": BadStr(), "cols": BadHash()}], object(), BadEq(),
            BadHash(), BadStr(), iter([1]), print, types.SimpleNamespace(address=1, cursor=print),
            types.MappingProxyType({"table": "t", "name": "i", "cols": "v", "u0": (0,)})]


@pytest.mark.parametrize("name", FUNCS + ["DB.__init__", "DB.connection"])
def test_every_argument_of_every_wrong_type(name, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # a text or bytes address opens a file of that name
    fn = {"DB.__init__": mv.DB.__init__, "DB.connection": mv.DB.connection}.get(name) or getattr(mv, name)
    for position in range({"DB.__init__": 3, "DB.connection": 1}.get(name) or len(good_args(None)[name])):
        for junk in junk_values():  # a DB name that gets registered would stay in the registry: only unhashables
            if name == "DB.__init__" and position == 1 and not isinstance(junk, (list, dict, set, BadHash)):
                continue
            args = {"DB.__init__": [types.SimpleNamespace(), unique_name(), ":memory:"],
                    "DB.connection": [mv.DB(unique_name(), ":memory:")]}.get(name) or list(good_args(memdb())[name])
            args[position] = junk
            getattr(call_cleanly(name, fn, *args), "close", list)()


junk = st.deferred(lambda: st.one_of(
    st.none(), st.integers(), st.floats(), st.text(max_size=4), st.binary(max_size=3), st.builds(BadEq),
    st.builds(BadHash), st.builds(BadStr), st.lists(junk, max_size=5), st.lists(junk, max_size=5).map(tuple),
    st.lists(junk, max_size=4).map(lambda xs: (x for x in xs))))
@examples(300)
@given(st.sampled_from(FUNCS), st.data())
def test_random_failures_junk_answers_and_reentrance(name, data):
    c, calls = memdb(), [0]

    def chaos(kind, value):  # at each call: go on, raise, answer junk, or re-enter the module first
        calls[0] += 1
        action = data.draw(st.sampled_from(["go"] * 6 + ["raise", "junk", "reenter"])) if calls[0] < 60 else "go"
        if action == "raise":
            raise Boom(calls[0])
        if action == "reenter":  # another call on the same connection; drop_table takes t away under the caller
            other = data.draw(st.sampled_from(FUNCS))
            getattr(mv, other)(c, *(("t",) if other == "drop_table" else good_args(None)[other][1:]))
        return data.draw(junk) if action == "junk" and kind == "fetchall" else value
    call_cleanly(name, getattr(mv, name), proxy(c, chaos), *good_args(c)[name][1:])


@pytest.mark.parametrize("evil", ["x' OR '1'='1", "[x' OR table_name <> 'q]", "x'--", "'", "a\"b'c",
                                  "v'';DELETE FROM index_table;--"])
def test_quoted_names_leave_other_tables_catalog_rows_alone(evil):
    c = memdb()
    c.executescript("CREATE TABLE w (a); INSERT INTO index_table VALUES ('w','u0','a');"
                    "INSERT INTO unique_table VALUES ('w','u0','a','0');")
    rows = lambda: [sorted(r for r in c.execute(f"SELECT * FROM {cat}")  # noqa: E731
                           if r[0] in ("t", "w") and r[1] != evil) for cat in ("index_table", "unique_table")]
    before = rows()
    calls = [lambda: mv.insert_index(c, {"table": evil, "name": "u0", "cols": "a"}),
             lambda: mv.insert_index(c, {"table": "w", "name": evil, "cols": "a"}),
             lambda: mv.insert_unique(c, evil, "u0", "a", "0"), lambda: mv.insert_unique(c, "w", evil, "a", "0"),
             lambda: mv.find(c, "*", evil, "")]
    calls += [lambda fn=fn: fn(c, evil, "u0") for fn in (mv.drop_index, mv.drop_unique)]
    calls += [lambda fn=fn: fn(c, "w", evil) for fn in (mv.drop_index, mv.drop_unique)]
    calls += [lambda fn=fn: fn(c, evil) for fn in (mv.active_table_index, mv.drop_table, mv.temp_to_main)]
    for call in calls:
        with contextlib.suppress(Exception):
            call()
        assert rows() == before
    c.execute("INSERT INTO unique_table VALUES ('w', ?, 'a', '0')", (evil,))
    mv.drop_unique(c, "w", evil)  # the quoted name matches its own row, and only that one
    assert rows() == before
    assert c.execute("SELECT count(*) FROM unique_table WHERE unique_name = ?", (evil,)).fetchone() == (0,)


_INTERRUPTED = r"""
import dis, os, signal, sqlite3, sys, threading
from morvel import morvel as mv
# Ctrl-C raises KeyboardInterrupt here whatever the parent left: a shell runs its background jobs with
# SIGINT ignored, and a child inherits that, which would leave every call below to run to its end.
signal.signal(signal.SIGINT, signal.default_int_handler)
path = sys.argv[1]
conn = mv.DB("interrupted", path).connection()
mv.create_table(conn, "t", ["k", "v"], [], [{"name": "u", "cols": [0]}])
mv.insert_temp(conn, "t", [(i, i) for i in range(20_000)])  # find over these takes many thousand statements
batch = [(1, 2)] * 3_000_000

def interrupted(call):
    # Ctrl-C comes once the main thread is inside the module's call (its frame at the call instruction),
    # never before the call starts, however loaded the machine is.
    main = threading.main_thread().ident
    at = [i.offset for i in dis.get_instructions(call) if i.opname == "CALL"][-1]
    over = threading.Event()
    def press():
        while (f := sys._current_frames().get(main)) is None or f.f_code is not call.__code__ or f.f_lasti != at:
            if over.wait(0.001):
                return
        os.kill(os.getpid(), signal.SIGINT)
    presser = threading.Thread(target=press)
    presser.start()
    try:
        call()
        print("returned")
    except KeyboardInterrupt:
        print("interrupted", conn.in_transaction, conn.execute("SELECT count(*) FROM temp_t").fetchone()[0])
        conn.rollback()
    over.set()
    presser.join()

interrupted(lambda: mv.insert_temp(conn, "t", batch))
interrupted(lambda: mv.find(conn, "*", "t", ""))
conn.close()
"""


def test_ctrl_c_interrupts_long_calls_and_commits_nothing(tmp_path):
    path = str(tmp_path / "i.db")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", _INTERRUPTED, path], env=env, capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    insert, find = (line.split() for line in out.stdout.splitlines())
    # Stopped before its end (a finished insert_temp would have committed its 3,000,000 rows), and the
    # call rolled back the rows it had sent: nothing waits in a transaction.
    assert insert == ["interrupted", "False", "20000"]
    assert find == ["interrupted", "False", "20000"]
    with contextlib.closing(sqlite3.connect(path)) as c:
        assert c.execute("SELECT count(*) FROM temp_t").fetchone() == (20_000,)


def interrupted_after(*values):
    """Yields the values, then Ctrl-C arrives."""
    yield from values
    raise KeyboardInterrupt


class CtrlC:
    """A row whose values are never read: Ctrl-C arrives first."""

    def __iter__(self):
        raise KeyboardInterrupt


# Calls that fail part-way: name -> (call, error, whether another connection holds the write lock meanwhile,
# whether comm=False leaves the caller's transaction open, as the statements sent before the error open it).
PART_WAY = {
    "create_table-bad-spec": (lambda c, comm: mv.create_table(c, "t", ["a"], [], [{"name": "u", "cols": [5]}], comm),
                              IndexError, False, True),
    "insert_index-bad-spec": (lambda c, comm: mv.insert_index(c, {"table": "t", "name": "i0"}, comm), KeyError, False,
                              True),
    "insert_unique-bad-column": (lambda c, comm: mv.insert_unique(c, "t", "u2", "zz", "1", comm),
                                 sqlite3.OperationalError, False, True),
    "insert_temp-bad-row": (lambda c, comm: mv.insert_temp(c, "t", [(7, "x", 1), (8,)], comm),
                            sqlite3.ProgrammingError, False, True),
    "_insert_main-ctrl-c": (lambda c, comm: mv._insert_main(c, "t", [(7, "x", 1), CtrlC()], comm), KeyboardInterrupt,
                            False, True),
    "delete_row_main-ctrl-c": (lambda c, comm: mv.delete_row_main(c, "t", interrupted_after(1, 2), comm),
                               KeyboardInterrupt, False, True),
    # the merge's BEGIN IMMEDIATE is what waits for the lock: no transaction opens
    "temp_to_main-lock": (lambda c, comm: mv.temp_to_main(c, "t", comm), sqlite3.OperationalError, True, False),
    "drop_table-lock": (lambda c, comm: mv.drop_table(c, "t", comm), sqlite3.OperationalError, True, False),
    "drop_index-lock": (lambda c, comm: mv.drop_index(c, "t", "i0", comm), sqlite3.OperationalError, True, True),
    "drop_unique-lock": (lambda c, comm: mv.drop_unique(c, "t", "u0", comm), sqlite3.OperationalError, True, True),
    "drop_table_index-lock": (lambda c, comm: mv.drop_table_index(c, "t", comm), sqlite3.OperationalError, True,
                              False),
}


def file_state(path):
    with contextlib.closing(sqlite3.connect(path)) as c:
        names = [n for n, in c.execute("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")]
        return (c.execute("SELECT * FROM sqlite_master ORDER BY name").fetchall(),
                {n: c.execute(f"SELECT rowid, * FROM {n} ORDER BY rowid").fetchall() for n in names})


# How the caller's connection stands when the call begins: connect()'s arguments, and what it sends first.
TRANSACTION_MODES = {
    "default": ({}, None),
    "autocommit": ({"isolation_level": None}, None),
    "open": ({}, "BEGIN"),  # the caller's own transaction
}
if sys.version_info >= (3, 12):
    TRANSACTION_MODES.update({"autocommit-on": ({"autocommit": True}, None),
                              "autocommit-off": ({"autocommit": False}, None)})  # one always open


@pytest.mark.parametrize("txn", TRANSACTION_MODES, ids=TRANSACTION_MODES.keys())
@pytest.mark.parametrize("mode", [pytest.param("require", marks=needs_native), "0"], ids=["native", "method"])
@pytest.mark.parametrize("comm", [True, False])
@pytest.mark.parametrize("call, error, locked, left_open", PART_WAY.values(), ids=PART_WAY.keys())
def test_a_call_with_comm_is_all_or_nothing(tmp_path, monkeypatch, call, error, locked, left_open, comm, mode, txn):
    monkeypatch.setenv("MORVEL_NATIVE", mode)
    path = str(tmp_path / "a.db")
    with contextlib.closing(sqlite3.connect(path)) as setup:
        setup.executescript(BASE)
    before = file_state(path)
    kwargs, first = TRANSACTION_MODES[txn]
    conn, other = sqlite3.connect(path, timeout=0, **kwargs), sqlite3.connect(path, timeout=0.05)
    caller_open = first is not None or kwargs.get("autocommit") is False
    try:
        if first:
            conn.execute(first)
        if locked:  # another writer holds the write lock; it must be able to commit afterwards
            other.execute("BEGIN IMMEDIATE")
            other.execute("INSERT INTO temp_bad VALUES (2)")
        with pytest.raises(error):
            call(conn, comm)
        if comm:
            # Nothing of the call is left: not in the file, and not in the caller's transaction, which the
            # caller's own commit would otherwise write.
            assert conn.in_transaction is caller_open
            conn.commit()
            assert file_state(path) == before
            if not locked:
                other.execute("INSERT INTO temp_bad VALUES (2)")
            other.commit()  # the failed call holds no lock
        elif txn == "default":  # the transaction is the caller's: what was sent waits in it
            assert conn.in_transaction is left_open
            conn.rollback()
            other.rollback()
        else:  # each statement on its own in autocommit mode; in an open transaction, the caller's to end
            assert conn.in_transaction is caller_open
            conn.rollback()
            other.rollback()
    finally:
        conn.close()
        other.close()
