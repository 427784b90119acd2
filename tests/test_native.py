"""A genuine connection behaves the same whichever way its statements reach SQLite.

Every scenario runs twice on identical files: with the native path required and with it turned off.
Each call's result or exception (class, message, SQLite codes), the statements a trace callback saw, the
transaction state and the change counter, and in the end every table and the schema must be equal.
"""

import contextlib
import datetime
import re
import sqlite3
import sys
import threading

import pytest
from hypothesis import example, given, strategies as st

from conftest import dump, examples, managed, needs_native, outcome, typed
from morvel import morvel as mv

NATIVE = "require"  # the native path must be on for these tests to mean anything
pytestmark = needs_native
COLS = ["k", "v", "w"]


class Conformed:
    def __conform__(self, protocol):
        return "conformed"


class Adapted:
    pass


class MyInt(int):
    pass


def prepare(path, main=(), staged=()):
    """A managed table t (unique key on k, index on v) with main and staged rows."""
    managed(path, "t", COLS, {"key": [0]}, main, staged, {"by_v": "v"})


def observe(monkeypatch, tmp_path, mode, steps, setup=prepare, connect=None, hook=None, **kwargs):
    monkeypatch.setenv("MORVEL_NATIVE", mode)
    path = str(tmp_path / f"{mode}.db")
    setup(path)
    conn = (connect or sqlite3.connect)(path, **kwargs)
    seen = []
    conn.set_trace_callback(seen.append)
    log = []
    with hook(conn, path, seen.append) if hook else contextlib.nullcontext():
        for step in steps:
            seen.clear()
            log.append((outcome(step, conn), list(seen), outcome(lambda c: (c.in_transaction, c.total_changes), conn)))
    if outcome(lambda c: c.rollback(), conn)[0] == "ok":
        conn.close()
    return log, dump(path)


def differential(monkeypatch, tmp_path, steps, **kwargs):
    native = observe(monkeypatch, tmp_path, NATIVE, steps, **kwargs)
    method = observe(monkeypatch, tmp_path, "0", steps, **kwargs)
    for i, (a, b) in enumerate(zip(native[0], method[0])):
        assert a == b, f"call {i}"
    assert native[1] == method[1]
    return native[0]


STAGED = [(k % 7, f"v{k}", k * 1.5) for k in range(30)]
MAIN = [(k, f"m{k}", None) for k in range(0, 10, 2)]


def cycle():
    return [
        lambda c: mv.find(c, "*", "t", ""),
        lambda c: mv.find(c, "w,k", "t", "WHERE k > 2 ORDER BY w DESC"),
        lambda c: mv.insert_temp(c, "t", [(1, "x", 2.5), [2, b"b", bytearray(b"ba")], (None, "", -1), (3, 2 ** 63 - 1, -(2 ** 63))]),
        lambda c: mv._check_newest_unique(c, "t", (0, 1), (1, 0, "m0", None), {"key": [0]}, COLS, "rowid,k,v,w", set()),
        lambda c: mv.temp_to_main(c, "t", comm=False),
        lambda c: mv.find(c, "v,k", "t", "WHERE k IS NOT NULL"),
        lambda c: mv.delete_row_main(c, "t", [1, 2, "3"]),
        lambda c: mv.drop_table_index(c, "t"),
        lambda c: mv.active_table_index(c, "t"),
        lambda c: mv.insert_unique(c, "t", "u2", "v", "1"),
        lambda c: mv.drop_unique(c, "t", "u2"),
        lambda c: mv.drop_index(c, "t", "by_v"),
        lambda c: mv.insert_index(c, {"table": "t", "name": "by_w", "cols": "w"}),
        lambda c: mv._insert_main(c, "t", [(50, "z", 0.0)]),
        lambda c: mv.create_table(c, "u", ["a", "b"], [], [{"name": "ua", "cols": [0]}]),
        lambda c: mv.drop_table(c, "u"),
    ]


def values():
    """Values that bind directly, need adaptation, or fail to bind, each in a row of its own."""
    rows = [(True, "bool", 1), (MyInt(5), "int subclass", 2), (2 ** 64, "too large", 3), ("\ud800", "surrogate", 4),
            (object(), "unsupported", 5), (Conformed(), "conform", 6), (Adapted(), "adapter", 7),
            (datetime.date(2024, 1, 2), "date", 8), (b"\xff\xfe", "bytes", 9), (bytearray(b"\x00"), "bytearray", 10),
            (1.0, "float", 11), (None, "none", 12)]
    return [lambda c, r=r: mv.insert_temp(c, "t", [(100, "before", 0), r, (101, "after", 0)], comm=False)
            for r in rows] + [lambda c: mv.find(c, "*", "t", "")]


def failures():
    return [
        lambda c: mv.insert_temp(c, "missing", [(1, 2, 3)]),             # prepare fails
        lambda c: mv.insert_temp(c, "t", [(1, 2, 3), (1, 2)]),           # binding count
        lambda c: mv.insert_temp(c, "t", [(1, 2)]),                      # column count
        lambda c: mv.find(c, "*", "t", "WHERE"),                         # syntax
        lambda c: mv.find(c, "*", "t", "; DROP TABLE t"),                # two statements
        lambda c: mv.find(c, "*", "t", "WHERE k = '\x00'"),              # NUL in the text
        lambda c: mv.find(c, "*", "t", "WHERE k = '\udc80'"),            # not encodable
        lambda c: mv.delete_row_main(c, "t", [(1, 2)]),
        lambda c: c.execute("CREATE TABLE temp_nn (a NOT NULL, b CHECK (b > 0), c UNIQUE)") and None,
        lambda c: mv.insert_temp(c, "nn", [(None, 1, 1)]),               # NOT NULL
        lambda c: mv.insert_temp(c, "nn", [(1, 0, 1)]),                  # CHECK
        lambda c: mv.insert_temp(c, "nn", [(1, 1, 1), (2, 2, 1)]),       # UNIQUE, after one row
        lambda c: c.execute("INSERT INTO temp_t VALUES (1, CAST(x'ff00' AS TEXT), 0)") and None,
        lambda c: mv.find(c, "*", "t", ""),                              # invalid UTF-8
        lambda c: mv.temp_to_main(c, "t"),
    ]


SCENARIOS = {
    "cycle": (cycle, {}),
    "cycle-immediate": (cycle, {"isolation_level": "IMMEDIATE"}),
    "cycle-autocommit": (cycle, {"isolation_level": None}),
    "values": (values, {}),
    "failures": (failures, {}),
    "failures-autocommit": (failures, {"isolation_level": None}),
}
if sys.version_info >= (3, 12):  # the connection's own autocommit switch
    SCENARIOS.update({"cycle-autocommit-on": (cycle, {"autocommit": True}),
                      "cycle-autocommit-off": (cycle, {"autocommit": False}),
                      "failures-autocommit-off": (failures, {"autocommit": False})})


@pytest.mark.parametrize("name", SCENARIOS)
def test_same_observations_on_both_paths(monkeypatch, tmp_path, name):
    steps, kwargs = SCENARIOS[name]
    sqlite3.register_adapter(Adapted, lambda v: "adapted")
    log = differential(monkeypatch, tmp_path, steps(), setup=lambda p: prepare(p, MAIN, STAGED), **kwargs)
    assert any(entry[1] for entry in log)  # the trace callback saw statements


def _with_factories(c):
    c.row_factory = sqlite3.Row
    c.text_factory = bytes
    return mv.find(c, "*", "t", "")


def _in_transaction(c):
    c.execute("INSERT INTO t VALUES (90, 'open', 0)").close()
    mv.temp_to_main(c, "t", comm=False)
    return mv.find(c, "k,v", "t", "")


def _adapter_for_int(c):
    sqlite3.register_adapter(int, lambda v: f"int {v}")
    try:
        mv.insert_temp(c, "t", [(1, 2, 3)], comm=False)
        return mv.find(c, "*", "t", "")
    finally:
        del sqlite3.adapters[(int, sqlite3.PrepareProtocol)]


class SubConnection(sqlite3.Connection):
    pass


@pytest.mark.parametrize("step, connect", [(_with_factories, None), (_in_transaction, None), (_adapter_for_int, None),
                                           (lambda c: mv.temp_to_main(c, "t"), SubConnection)],
                         ids=["factories", "in-transaction", "adapter-for-int", "subclass"])
def test_settings_that_change_what_a_statement_does(monkeypatch, tmp_path, step, connect):
    differential(monkeypatch, tmp_path, [step, lambda c: mv.find(c, "*", "t", "")], connect=connect,
                 setup=lambda p: prepare(p, MAIN, STAGED))


def test_handlers_and_connection_state(monkeypatch, tmp_path):
    calls = []

    def with_handlers(c):
        c.set_authorizer(lambda *args: calls.append(args[0]) or sqlite3.SQLITE_OK)
        c.set_progress_handler(lambda: 0, 5)
        try:
            return mv.temp_to_main(c, "t"), mv.find(c, "*", "t", "")
        finally:
            c.set_authorizer(None)
            c.set_progress_handler(None, 0)

    def closed(c):
        c.close()
        return mv.find(c, "*", "t", "")

    def wrong_thread(c):
        # The error names the connection's thread and the caller's by their ids, which differ from run to
        # run: each is compared as the role it plays.
        box = []

        def call():
            roles = {str(threading.main_thread().ident): "<creator>", str(threading.get_ident()): "<caller>"}
            kind, *rest = outcome(lambda x: mv.insert_temp(x, "t", [(1, 2, 3)]), c)
            box.append((kind, *(re.sub(r"\d+", lambda m: roles.get(m[0], m[0]), r) if isinstance(r, str) else r
                                for r in rest)))

        thread = threading.Thread(target=call)
        thread.start()
        thread.join()
        # The message names thread ids, which differ between the runs once other threads exist in the process.
        return [tuple(re.sub(r"thread id \d+", "thread id N", v) if isinstance(v, str) else v for v in o) for o in box]

    steps = [with_handlers, wrong_thread, closed]
    differential(monkeypatch, tmp_path, steps, setup=lambda p: prepare(p, MAIN, STAGED))
    assert calls


def test_a_trace_callback_that_closes_the_connection(monkeypatch, tmp_path):
    """Closing the connection between two statements of a call: the next statement finds it closed."""
    monkeypatch.setenv("MORVEL_NATIVE", NATIVE)
    path = str(tmp_path / "close.db")
    prepare(path, MAIN, STAGED)
    before = dump(path)
    conn = sqlite3.connect(path)
    conn.set_trace_callback(lambda sql: "SELECT rowid FROM" in sql and conn.close())
    with pytest.raises(sqlite3.ProgrammingError, match="Cannot operate on a closed database."):
        mv.temp_to_main(conn, "t")
    assert dump(path) == before


def open_files(path):
    """The descriptors of this process open on the file at `path` (its journals aside)."""
    import os

    seen = []
    for fd in os.listdir("/proc/self/fd"):
        with contextlib.suppress(OSError):
            if os.readlink(f"/proc/self/fd/{fd}") == path:
                seen.append(fd)
    return seen


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/fd")
@pytest.mark.parametrize("end", ["close", "del"])
def test_statements_kept_between_calls_never_hold_a_file_open(monkeypatch, tmp_path, end):
    """The statements a call prepared wait for the next call on its connection, which finds them after the
    schema changed too; once the connection closes (or goes), no statement keeps its file open."""
    import gc

    monkeypatch.setenv("MORVEL_NATIVE", NATIVE)
    path = str(tmp_path / "kept.db")
    prepare(path, MAIN, STAGED)
    conn = sqlite3.connect(path)
    others = [sqlite3.connect(str(tmp_path / f"other{i}.db")) for i in range(10)]  # beyond the connections kept
    for c in others:
        managed(c, "t", ["k"], staged=[(1,)])
    for c in (conn, *others):
        mv.find(c, "*", "t", "")
    first = mv.find(conn, "k", "t", "WHERE k > 0")
    conn.execute("ALTER TABLE temp_t ADD COLUMN x")  # the kept statements are prepared again by SQLite
    conn.execute("ALTER TABLE t ADD COLUMN x")
    conn.commit()
    assert mv.find(conn, "k", "t", "WHERE k > 0") == first
    assert open_files(path)
    if end == "close":
        conn.close()
    else:
        del conn
        gc.collect()
    assert open_files(path) == []
    for c in others:
        c.close()
    assert all(open_files(str(tmp_path / f"other{i}.db")) == [] for i in range(10))


@pytest.mark.parametrize("mode", [NATIVE, "0"])
def test_interrupt_from_another_thread_stops_a_long_call(monkeypatch, tmp_path, mode):
    """SQLite stops the statement that runs when interrupt() arrives (one that arrives between two
    statements is lost), so the other thread keeps interrupting: find's scans of the staged rows stop."""
    monkeypatch.setenv("MORVEL_NATIVE", mode)
    path = str(tmp_path / "long.db")
    prepare(path, staged=[(i, "x", 0) for i in range(100_000)])
    conn = sqlite3.connect(path, check_same_thread=False)
    done = threading.Event()

    def keep_interrupting():
        done.wait(0.3)
        while not done.wait(0.01):
            conn.interrupt()

    thread = threading.Thread(target=keep_interrupting)
    thread.start()
    try:
        with pytest.raises(sqlite3.OperationalError, match="interrupted") as info:
            mv.find(conn, "*", "t", "")
    finally:
        done.set()
        thread.join()
    assert info.value.sqlite_errorname == "SQLITE_INTERRUPT"
    conn.close()


OPS = st.lists(st.one_of(
    st.tuples(st.just("insert"), st.lists(st.tuples(st.none() | st.integers(0, 5),  # the key column k
                                                    st.sampled_from([None, 1, 1.0, "a", b"a"]),
                                                    st.integers(-3, 3)), max_size=6)),
    st.tuples(st.just("merge"), st.booleans()),
    st.tuples(st.just("find"), st.sampled_from(["", "WHERE v IS NOT NULL", "ORDER BY w LIMIT 3"])),
    st.tuples(st.just("delete"), st.lists(st.integers(1, 12), max_size=3)),
), max_size=8)


def _op(op):
    kind, arg = op
    if kind == "insert":
        return lambda c: mv.insert_temp(c, "t", arg)
    if kind == "merge":
        return lambda c: mv.temp_to_main(c, "t", comm=arg)
    if kind == "find":
        return lambda c: mv.find(c, "*", "t", arg)
    return lambda c: mv.delete_row_main(c, "t", arg, comm=False)


@examples(25)
@given(ops=OPS)
def test_random_workloads_agree(monkeypatch, tmp_path_factory, ops):
    tmp_path = tmp_path_factory.mktemp("w")
    differential(monkeypatch, tmp_path, [_op(op) for op in ops], setup=lambda p: prepare(p, MAIN))


# Code that runs during a call on the same connection: a hook fires an action at a moment hypothesis
# chooses (its n-th run), in the middle of a sequence of calls.
class Marked:
    """A value that binds through a hook: its adapter or its __conform__."""
    fire = staticmethod(lambda: None)

    def __conform__(self, protocol):
        Marked.fire()
        return 7


class Colliding(type):
    """A metaclass whose classes hash like NoneType: binding None compares them with NoneType."""
    fire = staticmethod(lambda: None)

    def __hash__(cls):
        return hash(type(None))

    def __eq__(cls, other):
        Colliding.fire()
        return cls is other


Key = Colliding("Key", (), {})
PROTOCOL = sqlite3.PrepareProtocol


def _replaced(fire, record=None):
    """Module functions that the module calls through its namespace, replaced by ones that report what
    they were given."""
    def replace(name, original):
        def replaced(*args, **kwargs):
            record((name, typed([args[1:], sorted((k, v) for k, v in kwargs.items() if k != "conn")])))
            fire()
            return original(*args, **kwargs)
        return replaced
    for name in ("_check_newest_unique", "_insert_main"):
        yield name, replace(name, getattr(mv, name))


HOOKS = {
    "trace": lambda c, fire, record: c.set_trace_callback(lambda sql: (record(sql), fire())),
    "function": lambda c, fire, record: c.create_function("hook", 1, lambda x: (fire(), x)[1]),
    "adapter": lambda c, fire, record: sqlite3.register_adapter(Marked, lambda v: (fire(), 8)[1]),
    "conform": lambda c, fire, record: setattr(Marked, "fire", staticmethod(fire)),
    "adapter-key-eq": lambda c, fire, record: (setattr(Colliding, "fire", staticmethod(fire)),
                                               sqlite3.adapters.__setitem__((Key, PROTOCOL), str)),
    "module-function": lambda c, fire, record: [setattr(mv, n, f) for n, f in list(_replaced(fire, record))],
    # an aggregate's finalize() runs at the end of its statement, and inside sqlite3_reset when a statement
    # stops in the middle of it (the staging trigger's SELECT hook(new.k) then runs this one)
    "aggregate-finalize": lambda c, fire, record: c.create_aggregate(
        "hook", 1, type("Agg", (), {"step": lambda self, x: setattr(self, "x", x),
                                    "finalize": lambda self: (fire(), getattr(self, "x", None))[1]})),
}

OPERATIONS = {
    "insert_temp": lambda c: mv.insert_temp(c, "t", [row + (None,) * (_width(c) - 3) for row in
                                                     [(1, "a", Marked()), (2, None, 2.5), (3, "c", None)]]),
    "temp_to_main": lambda c: mv.temp_to_main(c, "t"),
    "find": lambda c: mv.find(c, "*", "t", "WHERE hook(k) IS NOT NULL"),
    "delete_row_main": lambda c: mv.delete_row_main(c, "t", [1, 2, 3]),
    "create_table": lambda c: mv.create_table(c, "u", COLS, [], [{"name": "uk", "cols": [0]}]),
}


def _width(c):
    """The staging table's column count: a hook may have added one."""
    return len(c.execute("SELECT * FROM temp_t LIMIT 0").description)


def _toggle(c, name, a, b):
    setattr(c, name, b if getattr(c, name) is a else a)


ACTIONS = {
    "close": lambda c, path: c.close(),
    "reinitialise": lambda c, path: c.__init__(path),
    "commit": lambda c, path: c.commit(),
    "rollback": lambda c, path: c.rollback(),
    "isolation-level": lambda c, path: setattr(c, "isolation_level", None if c.isolation_level is not None else ""),
    "raise": lambda c, path: 1 / 0,
    "alter": lambda c, path: [c.execute(f"ALTER TABLE {t} ADD COLUMN x") for t in ("t", "temp_t")],
    "text-factory": lambda c, path: _toggle(c, "text_factory", str, bytes),
    "row-factory": lambda c, path: _toggle(c, "row_factory", None, sqlite3.Row),
    "adapters": lambda c, path: (sqlite3.adapters.pop((Adapted, PROTOCOL)),  # the table keeps its size
                                 sqlite3.register_adapter(int, lambda v: v + 1000)),
    **{f"re-entrant {name}": lambda c, path, op=op: op(c) for name, op in OPERATIONS.items()},
    "re-entrant calls that fill the statement cache": lambda c, path: [mv.find(c, "k", "t", f"WHERE k = {i}")
                                                                       for i in range(40)],
}


def _setup(path):
    prepare(path, MAIN, STAGED)
    c = sqlite3.connect(path)
    c.create_function("hook", 1, lambda x: x)
    c.execute("CREATE TRIGGER staged AFTER INSERT ON temp_t BEGIN SELECT hook(new.k); END")
    c.close()


# CPython's own execute crashes when code that it runs inside a statement closes or re-opens the connection.
# Inside a step the native path runs alone there, and must raise instead; binding runs on the method path.
CRASHES = {(hook, action) for hook in HOOKS for action in ("close", "reinitialise") if hook != "module-function"}
CASES = [(hook, action) for hook in HOOKS for action in ACTIONS
         if (hook, action) not in CRASHES or hook in ("trace", "function")]


@pytest.mark.parametrize("hook, action", CASES)
@examples(10)
@given(ops=st.lists(st.sampled_from(sorted(OPERATIONS)), min_size=1, max_size=3), at=st.integers(1, 12))
@example(ops=["temp_to_main"], at=4)  # a trace callback at the merge's read of the staged rows
def test_code_that_runs_during_a_call(monkeypatch, tmp_path_factory, hook, action, ops, at):
    @contextlib.contextmanager
    def during(conn, path, record):
        count = 0

        def fire():
            nonlocal count
            count += 1
            if count == at:
                ACTIONS[action](conn, path)

        saved_adapters, saved_functions = dict(sqlite3.adapters), {n: getattr(mv, n) for n, _ in _replaced(None)}
        conn.create_function("hook", 1, lambda x: x)
        sqlite3.adapters[(Adapted, PROTOCOL)] = str
        conn.row_factory = sqlite3.Row if action == "row-factory" else None  # the action sets it to None
        HOOKS[hook](conn, fire, record)
        try:
            yield
        finally:
            sqlite3.adapters.clear()
            sqlite3.adapters.update(saved_adapters)
            for name, fn in saved_functions.items():
                setattr(mv, name, fn)
            Marked.fire = Colliding.fire = staticmethod(lambda: None)

    if (hook, action) not in CRASHES:
        differential(monkeypatch, tmp_path_factory.mktemp("d"), [OPERATIONS[op] for op in ops], setup=_setup,
                     hook=during)
        return
    # Rows that bind without adaptation: each statement of the native run runs natively. No trigger for the
    # trace callback: a trigger's own trace in the step that closed the connection reaches a freed context.
    plain = {"insert_temp": lambda c: mv.insert_temp(c, "t", [(1, "a", 7), (2, None, 2.5), (3, "c", None)])}
    steps = [plain.get(op, OPERATIONS[op]) for op in ops]
    setup = _setup if hook == "function" else lambda p: prepare(p, MAIN, STAGED)
    log, _ = observe(monkeypatch, tmp_path_factory.mktemp("d"), NATIVE, steps, setup=setup, hook=during)
    closed = [entry[0][:3] == ("raised", "ProgrammingError", "Cannot operate on a closed database.") for entry in log]
    assert action != "close" or closed == sorted(closed)  # once closed, closed for good
