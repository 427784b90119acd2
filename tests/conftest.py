"""Shared fixtures: a recording Connection proxy and prepared database files."""

import contextlib
import functools
import importlib
import importlib.metadata
import itertools
import os
import re
import shutil
import sqlite3
import tempfile

import pytest
from hypothesis import HealthCheck, settings
from packaging.requirements import Requirement

import morvel
from morvel import morvel as mv
from morvel.cli import native_off_reason

# The native path is off, for every call, only where the interpreter's connection layout is not verified: tests
# that exist to run it have nothing to run there and skip; any other reason for it to be off fails them.
_NATIVE_OFF = native_off_reason()
needs_native = pytest.mark.skipif(_NATIVE_OFF is not None and " is not verified " in _NATIVE_OFF, reason=str(_NATIVE_OFF))

def pytest_configure(config):
    """The suite's files go to a memory file system where there is one: nothing it checks needs the disk to
    have the data (a process killed mid-write leaves its file in the page cache all the same), and on a disk
    that other work keeps busy every commit would wait on fsync. An explicit --basetemp is kept."""
    config.addinivalue_line("markers", "heavy: reads more rows than the module's reads, pages and batches hold "
                                       "(run at full depth, or with MORVEL_TEST_HEAVY=1)")
    if config.option.basetemp is None and os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
        config.option.basetemp = config._morvel_basetemp = tempfile.mkdtemp(prefix="morvel-tests-", dir="/dev/shm")


def pytest_unconfigure(config):
    basetemp = getattr(config, "_morvel_basetemp", None)
    if basetemp:
        shutil.rmtree(basetemp, ignore_errors=True)


settings.register_profile("morvel", deadline=None)
settings.load_profile("morvel")

# How deep the suite digs: 1 by default; CI runs it once in full and repeats it for each other interpreter and
# build at a fraction (MORVEL_TEST_DEPTH=0.1), where every test still runs and what differs between builds shows
# in the first examples. Properties take their example counts from `examples`, loops their lengths from `DEPTH`.
DEPTH = float(os.environ.get("MORVEL_TEST_DEPTH", "1"))
# The tests of data beyond the module's reads, pages and batches (100,000 rows and more) cost half the suite
# and test code that no interpreter changes: a repetition leaves them out unless asked for them, and then runs
# them on the native path alone (the sanitizer build asks: it checks the memory at the boundaries between them).
HEAVY = "all" if DEPTH >= 1 else "native" if os.environ.get("MORVEL_TEST_HEAVY") == "1" else None


def pytest_collection_modifyitems(config, items):
    def left_out(item):
        if HEAVY == "all" or item.get_closest_marker("heavy") is None:
            return False
        return HEAVY is None or getattr(item, "callspec", None) is not None and \
            item.callspec.params.get("path", "native") != "native"

    out = [item for item in items if left_out(item)]
    if out:
        config.hook.pytest_deselected(items=out)
        items[:] = [item for item in items if not left_out(item)]


def examples(n, **kwargs):
    """The settings of a property searched with n examples at full depth (at least one at any depth)."""
    return settings(max_examples=max(1, round(n * DEPTH)), deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture], **kwargs)

_names = itertools.count()


class RecordingCursor:
    """Forwards to a real cursor and logs every call on the owning connection's log."""

    def __init__(self, owner, cursor):
        self._owner = owner
        self._cursor = cursor

    def execute(self, sql, *params):
        if params:
            self._owner.log.append(("execute", sql, list(params[0])))
        else:
            self._owner.log.append(("execute", sql))
        self._cursor.execute(sql, *params)
        return self

    def fetchall(self):
        self._owner.log.append(("fetchall",))
        return self._cursor.fetchall()


class RecordingConnection:
    """A stand-in for sqlite3.Connection that records cursor, execute, fetchall, commit and rollback calls."""

    def __init__(self, conn):
        self.real = conn
        self.log = []

    @property
    def isolation_level(self):
        return self.real.isolation_level

    @property
    def in_transaction(self):
        return self.real.in_transaction

    def __getattr__(self, name):  # the autocommit switch, where the connection has one
        if name == "autocommit":
            return self.real.autocommit
        raise AttributeError(name)

    def cursor(self):
        self.log.append(("cursor",))
        return RecordingCursor(self, self.real.cursor())

    def commit(self):
        self.log.append(("commit",))
        self.real.commit()

    def rollback(self):
        self.log.append(("rollback",))
        self.real.rollback()

    def close(self):
        self.log.append(("close",))
        self.real.close()

    def statements(self):
        """The SQL texts sent, in order."""
        return [entry[1] for entry in self.log if entry[0] == "execute"]

    def executes(self):
        """(sql, params-or-None) for every execute, in order."""
        return [(e[1], e[2] if len(e) > 2 else None) for e in self.log if e[0] == "execute"]

    def clear(self):
        self.log.clear()


def unique_name(prefix="db"):
    """A registry name no other test has used in this process."""
    return f"{prefix}_{next(_names)}"


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "test.db")


@pytest.fixture
def conn(db_path):
    """A real Connection on a file with the catalog tables."""
    c = sqlite3.connect(db_path)
    morvel.prepare(c)
    yield c
    c.close()


@pytest.fixture
def proxy(conn):
    """A recording proxy around the prepared connection."""
    return RecordingConnection(conn)


def schema(conn, kind):
    """Names and SQL of every object of one kind ('index' or 'table') in the file."""
    return sorted(
        (r[1], r[2], r[4])
        for r in conn.execute("SELECT * FROM sqlite_master WHERE type = ?", (kind,)).fetchall()
    )


def snapshot(conn, table):
    """Everything a merge of `table` may touch: main and staging rows, the schema and the catalog."""
    rows = [conn.execute(f"SELECT rowid, * FROM {t} ORDER BY rowid").fetchall() for t in (table, f"temp_{table}")]
    return rows, sorted(conn.execute("SELECT * FROM sqlite_master").fetchall()), catalog(conn)


def catalog(conn):
    """(index_table rows, unique_table rows), sorted."""
    return (
        sorted(conn.execute("SELECT * FROM index_table").fetchall()),
        sorted(conn.execute("SELECT * FROM unique_table").fetchall()),
    )


# Past this many staged rows the merge finds the superseded ones by SQLite's grouping, not by key sets.
KEY_SET_ROWS = 1 << 17


def managed(target, table, cols, keys=(), main=(), staged=(), index=()):
    """A managed table made by create_table, with rows written as they are into its main and its staging
    table, then committed, on a connection or on the file at a path; the catalog tables made where missing.
    keys: lists of positions (named u0, u1, ...) or a dict of name -> positions; index: name -> columns."""
    if isinstance(target, str):
        with contextlib.closing(sqlite3.connect(target)) as c:
            return managed(c, table, cols, keys, main, staged, index)
    morvel.prepare(target)
    keys = keys if isinstance(keys, dict) else {f"u{i}": k for i, k in enumerate(keys)}
    mv.create_table(target, table, list(cols), [{"name": n, "cols": c} for n, c in dict(index).items()],
                    [{"name": n, "cols": list(k)} for n, k in keys.items()])
    marks = ",".join("?" * len(cols))
    target.executemany(f"INSERT INTO {table} VALUES ({marks})", list(main))
    target.executemany(f"INSERT INTO temp_{table} VALUES ({marks})", list(staged))
    target.commit()


def broken_index(c):
    """Registers an index of t on a column that does not exist: the merge's rebuild of the indexes fails."""
    c.cursor().execute("INSERT INTO index_table VALUES ('t', 'broken', 'no_such_column')")
    c.commit()


def typed(value):
    """The value with the type of every part, so that 1, 1.0 and True differ, and a list from a tuple."""
    if isinstance(value, sqlite3.Row):
        return ("Row", tuple(value.keys()), typed(tuple(value)))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, tuple(typed(v) for v in value))
    if isinstance(value, (set, frozenset)):
        return ("set", tuple(sorted(map(repr, value))))
    return (type(value).__name__, value)


def outcome(fn, conn):
    """fn(conn)'s result, typed, or its exception: class, message and SQLite codes."""
    try:
        return ("ok", typed(fn(conn)))
    except Exception as exc:  # noqa: BLE001 - the exception is what is compared
        # the thread-check message names thread ids, which differ from run to run
        return ("raised", type(exc).__name__, re.sub(r"thread id \d+", "thread id N", str(exc)),
                getattr(exc, "sqlite_errorcode", None), getattr(exc, "sqlite_errorname", None))


def dump(path):
    """Every table's rows, typed and with the bytes stored (invalid UTF-8 included), and the schema."""
    with contextlib.closing(sqlite3.connect(path)) as c:
        tables = [n for n, in c.execute("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")]
        c.text_factory = bytes
        rows = {t: typed(c.execute(f"SELECT rowid, * FROM {t} ORDER BY rowid").fetchall()) for t in tables}
        return rows, c.execute("SELECT * FROM sqlite_master ORDER BY name").fetchall()


@pytest.fixture
def fresh_conn(tmp_path):
    """A real Connection on an empty file with no catalog tables."""
    c = sqlite3.connect(str(tmp_path / "bare.db"))
    yield c
    c.close()


class Connector:
    """Opens connections of one package on a file, as `connect(path, **kwargs)` of that package does.

    `missing` is None, or why this interpreter has no such connection: the test extras install the package
    only where it publishes wheels. Where they should have installed it, its absence is an error. The
    package is imported at the first use, so that tests which use none run without it.
    """

    def __init__(self, name, requirement, module):
        self.name, self._requirement, self._module = name, requirement, module

    @functools.cached_property
    def module(self):
        try:
            return importlib.import_module(self._module)
        except ImportError as exc:
            if _installed_by_test_extras(self._requirement):
                raise
            return exc

    @property
    def missing(self):
        if isinstance(self.module, ImportError):
            return f"{self._requirement} publishes no wheel for this interpreter or platform ({self.module})"
        return None

    def __call__(self, path, **kwargs):
        return self.module.connect(path, **kwargs)

    def __repr__(self):
        return self.name


def _installed_by_test_extras(name):
    try:
        wanted = importlib.metadata.requires("morvel") or ()
    except importlib.metadata.PackageNotFoundError:  # the module run from a build, not installed
        return False
    for text in wanted:
        req = Requirement(text)
        if req.name == name and req.marker is not None and req.marker.evaluate({"extra": "test"}):
            return True
    return False


class _Proxied:
    """sqlite3 connections behind the recording proxy: the method path with the standard module."""

    name, missing = "proxy", None

    def __call__(self, path, **kwargs):
        return RecordingConnection(sqlite3.connect(path, **kwargs))

    def __repr__(self):
        return self.name


class _Awaited:
    """aiosqlite connections, on an event loop of their own in another thread, as morvel.aio's calls see them:
    every statement, commit and rollback an awaited call of aiosqlite's API."""

    name = "aiosqlite"

    @property
    def missing(self):
        try:
            import aiosqlite  # noqa: F401
        except ImportError as e:
            return f"aiosqlite is not installed ({e})"
        return None

    def __call__(self, path, **kwargs):
        import asyncio
        import threading

        import aiosqlite
        from morvel import aio

        class Connection(aio._Connection):
            def close(self):
                self._wait(self._async.close())
                loop.call_soon_threadsafe(loop.stop)
                thread.join()
                loop.close()

        loop = asyncio.new_event_loop()
        thread = threading.Thread(target=loop.run_forever, daemon=True)
        thread.start()

        async def opened():
            return await aiosqlite.connect(path, **kwargs)

        return Connection(asyncio.run_coroutine_threadsafe(opened(), loop).result(), loop)

    def __repr__(self):
        return self.name


class DqliteCluster:
    """Three dqlite-demo nodes (Debian's go-dqlite) on 127.0.0.1, each with its data in `folder`; the first
    one bootstraps the cluster and the others join it."""

    def __init__(self, folder):
        import socket
        import subprocess
        import time

        def free_port():
            with contextlib.closing(socket.socket()) as s:
                s.bind(("127.0.0.1", 0))
                return s.getsockname()[1]

        self.addresses, self.nodes = [], []
        for i in range(3):
            db, api = f"127.0.0.1:{free_port()}", f"127.0.0.1:{free_port()}"
            data = os.path.join(folder, f"node{i}")
            os.makedirs(data)
            join = ["--join", self.addresses[0]] if i else []
            self.nodes.append(subprocess.Popen(["dqlite-demo", "--api", api, "--db", db, "--dir", data, *join],
                                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            self.addresses.append(db)
            deadline = time.monotonic() + 30
            while True:  # up once its database port answers
                try:
                    socket.create_connection(("127.0.0.1", int(db.rsplit(":", 1)[1])), timeout=1).close()
                    break
                except OSError:
                    if time.monotonic() > deadline or self.nodes[-1].poll() is not None:
                        self.stop()
                        raise RuntimeError(f"dqlite-demo node {i} did not start")
                    time.sleep(0.05)
        # The nodes join as spares and are made voters one by one: only with three voters does losing one
        # leave a quorum.
        deadline = time.monotonic() + 60
        while True:
            shown = subprocess.run(["dqlite", "-s", self.addresses[0], "demo", ".cluster"], capture_output=True,
                                   text=True, timeout=30).stdout
            if shown.count("|voter") == 3:
                break
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"the dqlite nodes did not all become voters: {shown!r}")
            time.sleep(0.1)

    def connect(self, database, address=None, **kwargs):
        import dqlitedbapi

        return dqlitedbapi.connect(address or self.addresses[0], database=database, **kwargs)

    def stop(self):
        for node in self.nodes:
            if node.poll() is None:
                node.kill()
            node.wait()


def dqlite_missing():
    """Why this machine cannot run a dqlite cluster for the tests, or None."""
    if shutil.which("dqlite-demo") is None:
        return "dqlite-demo (Debian's go-dqlite) is not installed"
    try:
        import dqlitedbapi  # noqa: F401
    except ImportError as e:
        return f"dqlite-dbapi (CPython 3.13 and newer) is not installed ({e})"
    return None


def dump_through(conn):
    """dump()'s answer read through a connection (of a database that is no local file): text read as its
    bytes in SQL, as dump() reads it."""
    def as_stored(columns):
        return ", ".join(f"CASE typeof({c}) WHEN 'text' THEN CAST({c} AS BLOB) ELSE {c} END" for c in columns)

    cur = conn.cursor()
    tables = [n for n, in cur.execute("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name").fetchall()]
    rows = {}
    for t in tables:
        columns = ["rowid"] + [f'"{c}"' for _, c, *_ in cur.execute(f"PRAGMA table_info({t})").fetchall()]
        rows[t] = typed(cur.execute(f"SELECT {as_stored(columns)} FROM {t} ORDER BY rowid").fetchall())
    master = cur.execute(f"SELECT {as_stored(['type', 'name', 'tbl_name', 'rootpage', 'sql'])} FROM sqlite_master "
                         "ORDER BY name").fetchall()
    return rows, master


class _Dqlite:
    """Connections to a three-node dqlite cluster through dqlite-dbapi, each path a database of its own on
    it (the cluster starts at the first connection and stops with the tests)."""

    name = "dqlite"
    cluster = None

    @property
    def missing(self):
        return dqlite_missing()

    @property
    def module(self):
        import dqlitedbapi

        return dqlitedbapi

    @staticmethod
    def database(path):
        import hashlib

        return hashlib.sha1(str(path).encode()).hexdigest()[:20] + ".db"

    def __call__(self, path, **kwargs):
        if _Dqlite.cluster is None:
            import atexit

            _Dqlite.cluster = DqliteCluster(tempfile.mkdtemp(prefix="morvel-dqlite-"))
            atexit.register(_Dqlite.cluster.stop)
        return _Dqlite.cluster.connect(self.database(path), **kwargs)

    def dump(self, path):
        with contextlib.closing(self(path)) as conn:
            return dump_through(conn)

    def __repr__(self):
        return self.name


# The connections of other packages, each a factory: connect(path, isolation_level=...) -> connection.
FOREIGN = {
    "pysqlite3": Connector("pysqlite3", "pysqlite3-binary", "pysqlite3.dbapi2"),
    "sqlean": Connector("sqlean", "sqlean.py", "sqlean"),
    "libsql": Connector("libsql", "libsql", "libsql"),
}
# Every kind of connection the functions are proved on: a genuine one, the proxy and the foreign ones.
CONNECTORS = {"sqlite3": Connector("sqlite3", "sqlite3", "sqlite3"), "proxy": _Proxied(), **FOREIGN,
              "aiosqlite": _Awaited(), "dqlite": _Dqlite()}


def _connector(request):
    kind = CONNECTORS[request.param]
    if kind.missing:
        pytest.skip(kind.missing)
    return kind


@pytest.fixture(params=list(CONNECTORS))
def connector(request):
    """A factory of every kind of connection the module takes: sqlite3, the proxy and the foreign ones."""
    return _connector(request)
