"""Merging the staging table into the main table under the newest-row-wins rule of unique keys."""

import collections
import itertools
import sqlite3
import sys
import threading
import tracemalloc
import types

import pytest
from hypothesis import given, strategies as st

import morvel
from conftest import KEY_SET_ROWS, RecordingConnection, broken_index, examples, managed, schema, snapshot, typed
from morvel import morvel as mv


def finds(conn, table):
    """What find answers for the whole table, as a multiset of typed rows."""
    return collections.Counter(typed(r) for r in mv.find(conn, "*", table, ""))


BEGIN = "BEGIN IMMEDIATE"  # a merge's own transaction takes the write lock at once
SAVEPOINT = "SAVEPOINT morvel"  # comm=True inside an open transaction

MERGES = {
    # A0 is replaced by the newest staged a; A1 is dropped; A2 gets the lower new rowid
    "newest_staged_wins": (["k", "v"], [[0]], [("x", 0), ("a", 0), ("y", 0)], [("a", 1), ("b", 1), ("a", 2)],
                           [(1, "x", 0), (3, "y", 0), (4, "a", 2), (5, "b", 1)], [["a"], ["b"]]),
    # R1 loses to R2 through the first key, yet still removes M through the second
    "two_keys": (["k1", "k2", "v"], [[0], [1]], [("m", "q", "M"), ("o", "o", "O")], [("r", "q", "R1"), ("r", "z", "R2")],
                 [(2, "o", "o", "O"), (3, "r", "z", "R2")], [["r"], ["z"], ["q"]]),
    "identical_row_moves": (["k", "v"], [[0]], [("a", 1), ("b", 2)], [("a", 1)], [(2, "b", 2), (3, "a", 1)], [["a"]]),
    # a key holding NULL repeats nothing, in staging as in main: every such row is kept
    "null_key": (["k1", "k2", "v"], [[0, 1]], [(None, "k", "m")], [(None, "k", "old"), (None, "k", "new")],
                 [(1, None, "k", "m"), (2, None, "k", "new"), (3, None, "k", "old")], [[None, "k"]] * 2),
    "null_emails": (["name", "email"], [[1]], [], [(f"n{i}", None) for i in range(1000)] + [("a", "@a"), ("b", "@a")],
                    [(1, "b", "@a")] + [(i + 2, f"n{999 - i}", None) for i in range(1000)], [["@a"]] + [[None]] * 1000),
    "int_equals_real": (["k", "v"], [[0]], [(1, "m")], [(1, "old"), (1.0, "new")], [(1, 1.0, "new")], [[1.0]]),
    "text_is_not_int": (["k", "v"], [[0]], [("1", "m"), (2, "n")], [("1", "s"), (1, "i")],
                        [(2, 2, "n"), (3, 1, "i"), (4, "1", "s")], [[1], ["1"]]),
    "no_keys": (["k", "v"], [], [("a", 0)], [("a", 1), ("a", 2), ("b", 3)],
                [(1, "a", 0), (2, "b", 3), (3, "a", 2), (4, "a", 1)], []),
    "empty_staging": (["k", "v"], [[0]], [("a", 0), ("a", 1)], [], [(1, "a", 0), (2, "a", 1)], []),
}


@pytest.mark.parametrize("cols,keys,main,staged,final,looked", MERGES.values(), ids=MERGES.keys())
def test_merge_outcome(conn, cols, keys, main, staged, final, looked):
    managed(conn, "t", cols, keys, main, staged)
    found = finds(conn, "t")
    proxy = RecordingConnection(conn)
    mv.temp_to_main(proxy, "t")
    if len(keys) <= 1:  # find answers the same before and after (several keys link rows transitively)
        assert finds(conn, "t") == found
    assert typed(conn.execute("SELECT rowid, * FROM t ORDER BY rowid").fetchall()) == typed(final)
    lookups = [p for s, p in proxy.executes() if s.lstrip().startswith("SELECT rowid FROM t WHERE ")]
    assert typed(lookups) == typed(looked)
    assert conn.execute("SELECT count(*) FROM temp_t").fetchone() == (0,)
    assert not conn.in_transaction


@pytest.mark.parametrize("staged", [[], [("b", 2)]])
def test_key_position_beyond_columns(conn, staged):
    managed(conn, "t", ["k", "v"], [[0]], main=[("a", 1)], staged=staged, index={"by_v": "v"})
    conn.execute("INSERT INTO unique_table VALUES ('t', 'bad', 'k', '0,5')")
    conn.commit()
    indexes = schema(conn, "index")
    proxy = RecordingConnection(conn)
    if staged:
        with pytest.raises(IndexError):
            mv.temp_to_main(proxy, "t")
        assert not any("DROP" in s or "DELETE" in s or "INSERT" in s for s in proxy.statements())
        assert conn.execute("SELECT * FROM temp_t").fetchall() == staged
    else:
        mv.temp_to_main(proxy, "t")
    assert conn.execute("SELECT * FROM t").fetchall() == [("a", 1)]
    assert schema(conn, "index") == indexes


def test_without_commit_everything_stays_open(conn):
    managed(conn, "t", ["k", "v"], [[0]], main=[("a", 1), ("c", 3)], staged=[("a", 2), ("b", 2)])
    proxy = RecordingConnection(conn)
    mv.temp_to_main(proxy, "t", comm=False)
    assert ("commit",) not in proxy.log
    assert conn.in_transaction
    assert conn.execute("SELECT * FROM t ORDER BY rowid").fetchall() == [("c", 3), ("b", 2), ("a", 2)]
    conn.rollback()
    assert conn.execute("SELECT * FROM t ORDER BY rowid").fetchall() == [("a", 1), ("c", 3)]
    assert conn.execute("SELECT * FROM temp_t").fetchall() == [("a", 2), ("b", 2)]


VALUES = st.sampled_from([None, 0, 1, 1.0, 2, "1", "a", "A", b"a"])
ROWS = st.lists(st.tuples(VALUES, VALUES, VALUES), max_size=7)
KEYS = st.lists(st.lists(st.integers(0, 2), min_size=1, max_size=2, unique=True), max_size=2)


def shares(old, new, key):  # SQL equality: NULL matches nothing
    return all(old[p] is not None and new[p] is not None and old[p] == new[p] for p in key)


@examples(80)
@given(keys=KEYS, main=ROWS, staged=ROWS)
def test_merge_equals_replaying_staged_rows(conn, keys, main, staged):
    managed(conn, "p", ["a", "b", "c"], keys, main, staged)
    mv.temp_to_main(conn, "p")
    model = [(True, r) for r in main]
    for new in staged:  # oldest first, each replacing every row it shares a key with
        model = [(m, r) for m, r in model if not any(shares(r, new, k) for k in keys)] + [(False, new)]
    expected = [r for m, r in model if m] + [r for m, r in model if not m][::-1]
    assert typed(conn.execute("SELECT * FROM p ORDER BY rowid").fetchall()) == typed(expected)
    assert conn.execute("SELECT count(*) FROM temp_p").fetchone() == (0,)


@examples(60)
@given(key=st.lists(st.integers(0, 2), min_size=1, max_size=2, unique=True),
       batches=st.lists(st.lists(st.tuples(VALUES, VALUES, VALUES), max_size=6), min_size=1, max_size=4))
def test_find_answers_the_same_across_each_merge(conn, key, batches):
    managed(conn, "f", ["a", "b", "c"], [key])
    for batch in batches:
        mv.insert_temp(conn, "f", batch)
        before = finds(conn, "f")
        mv.temp_to_main(conn, "f")
        assert finds(conn, "f") == before


def _default(c):
    return c


def _immediate(c):
    c.isolation_level = "IMMEDIATE"
    return c


def _open(c):
    c.execute("BEGIN")
    return c


def _autocommit(c):
    c.isolation_level = None
    return c


def _bare(c):  # a connection-like object without isolation_level or in_transaction
    return types.SimpleNamespace(cursor=c.cursor, commit=c.commit)


def _switch(value):
    def setup(c):
        c.autocommit = value
        return c
    return setup


def _exclusive(c):
    c.isolation_level = "exclusive"
    return c


MODES = {"default": (_default, [BEGIN]), "immediate": (_immediate, [BEGIN]),
         "exclusive": (_exclusive, ["BEGIN EXCLUSIVE"]),
         "in-transaction": (_open, [SAVEPOINT]), "autocommit": (_autocommit, [BEGIN]), "bare": (_bare, [])}
if sys.version_info >= (3, 12):  # the connection's own switch: no transactions, or always one open
    MODES.update({"autocommit-on": (_switch(True), [BEGIN]), "autocommit-off": (_switch(False), [SAVEPOINT])})


class OtherStagesDuringMerge(RecordingConnection):
    """Another connection tries to stage a row (without waiting) after each read of the staged rows."""

    def __init__(self, conn, path):
        super().__init__(conn)
        self.other, self.committed = sqlite3.connect(path, timeout=0), 0

    def cursor(self):
        cur = super().cursor()
        forward = cur.fetchall

        def fetchall():
            rows = forward()
            try:
                mv.insert_temp(self.other, "t", [(f"late{self.committed}", 9)])
                self.committed += 1
            except sqlite3.OperationalError:  # the merge holds the write lock
                pass
            return rows

        cur.fetchall = fetchall
        return cur


# Not for an object without isolation_level and in_transaction: whether a transaction is open cannot be
# read there, so the merge opens none.
READABLE_MODES = {k: v for k, v in MODES.items() if k != "bare"}


@pytest.mark.parametrize("setup, begin", READABLE_MODES.values(), ids=READABLE_MODES.keys())
@pytest.mark.parametrize("merge", ["temp_to_main", "merge"])
@pytest.mark.parametrize("journal", ["delete", "wal"])
def test_rows_others_stage_during_a_merge_are_never_emptied_unmerged(conn, db_path, setup, begin, merge, journal):
    # In WAL mode a deferred merge would fail at its first write once another writer had committed after its
    # first read; its own BEGIN IMMEDIATE holds that writer off instead.
    conn.execute(f"PRAGMA journal_mode = {journal}")
    managed(conn, "t", ["k", "v"], [[0]], main=[("a", 1)], staged=[("a", 2), ("b", 3)])
    proxy = OtherStagesDuringMerge(conn, db_path)
    target = (setup(conn), proxy)[1]
    held = True  # the merge's own transaction held the write lock from its first read to its end
    try:
        (mv.temp_to_main if merge == "temp_to_main" else morvel.merge)(target, "t")
    except sqlite3.OperationalError:  # a caller's deferred transaction cannot take the lock it did not ask for
        assert begin == [SAVEPOINT] and journal == "wal"
        held = False
    if conn.in_transaction:
        conn.commit()
    staged = conn.execute("SELECT count(*) FROM temp_t WHERE k LIKE 'late%'").fetchone()[0]
    merged_late = conn.execute("SELECT count(*) FROM t WHERE k LIKE 'late%'").fetchone()[0]
    assert staged + merged_late == proxy.committed
    if begin and held:
        assert proxy.committed == 0 and merged_late == 0
    proxy.other.close()


def test_a_merge_beside_a_writer_that_commits_all_the_time_succeeds(tmp_path):
    path = str(tmp_path / "busy.db")
    conn = sqlite3.connect(path, timeout=60, check_same_thread=False)
    conn.execute("PRAGMA journal_mode = wal")
    managed(conn, "t", ["k", "v"], [[0]], main=[(i, 0) for i in range(0, 4000, 2)], staged=[(i, 1) for i in range(4000)])
    conn.execute("CREATE TABLE log (n)")
    conn.commit()
    done, commits = threading.Event(), []

    def write():
        other = sqlite3.connect(path, timeout=60)
        while not done.is_set() or not commits:
            other.execute("INSERT INTO log VALUES (1)")
            other.commit()
            commits.append(1)
        other.close()

    writer = threading.Thread(target=write)
    writer.start()
    try:
        assert morvel.merge(conn, "t", rebuild=True) == (4000, 2000, 0, True)
    finally:
        done.set()
        writer.join(60)
    assert conn.execute("SELECT count(*), sum(v) FROM t").fetchone() == (4000, 4000)
    conn.close()


@pytest.mark.parametrize("read", [
    lambda c: mv.temp_to_main(c, "t"), lambda c: morvel.merge(c, "t"),
    lambda c: morvel.query(c, "t"), lambda c: mv.find(c, "*", "t", "")],
    ids=["temp_to_main", "merge", "query", "find"])
def test_a_column_named_rowid_is_refused_by_every_reader(conn, read):
    # With such a column, `rowid` in a statement means it: a merge would delete rows nothing replaces.
    for t in ("t", "temp_t"):
        conn.execute(f"CREATE TABLE {t} (RowID, name)")
    conn.execute("INSERT INTO unique_table VALUES ('t', 'u', 'name', '1')")
    conn.executemany("INSERT INTO t VALUES (?, ?)", [(7, "a"), (7, "b")])
    conn.executemany("INSERT INTO temp_t VALUES (?, ?)", [(1, "a"), (None, "c")])
    conn.commit()
    before = snapshot(conn, "t")
    with pytest.raises(ValueError, match="has a column named 'RowID', which hides the rowid"):
        read(conn)
    conn.rollback()
    assert snapshot(conn, "t") == before


def _disk_full(conn):
    conn.execute("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 400) "
                 "INSERT INTO temp_t SELECT 'k' || i, randomblob(400) FROM n")
    conn.commit()
    pages = conn.execute("PRAGMA page_count").fetchone()[0]
    conn.execute(f"PRAGMA max_page_count = {pages + 2}")


@pytest.mark.parametrize("breakage", [None, _disk_full, broken_index], ids=["rollback", "disk-full", "index-rebuild"])
def test_rolled_back_merge_leaves_everything_as_before(conn, breakage):
    managed(conn, "t", ["k", "v"], [[0]], main=[("a", 1), ("c", 3)], staged=[("a", 2), ("b", 2)],
            index={"by_v": "v"})
    if breakage:
        breakage(conn)
    before = snapshot(conn, "t")
    if breakage:
        with pytest.raises(sqlite3.OperationalError):
            mv.temp_to_main(conn, "t")
    else:
        mv.temp_to_main(conn, "t", comm=False)
        assert conn.in_transaction
    conn.rollback()  # SQLite may already have rolled back a transaction that ran out of space

    assert snapshot(conn, "t") == before


# ---------------------------------------------------------------- morvel.merge against temp_to_main

def indexes(conn):
    return sorted(conn.execute("SELECT name, tbl_name, sql FROM sqlite_master WHERE type = 'index'").fetchall())


def merge_state(conn, table):
    rows = [typed(conn.execute(f"SELECT rowid, * FROM {t} ORDER BY rowid").fetchall()) for t in (table, f"temp_{table}")]
    return rows, indexes(conn)


COLSETS = st.lists(st.sampled_from(["a", "b", "c"]), min_size=1, max_size=2, unique=True).map(",".join)
# key positions counted from either end, each column at most once per key
SIGNED_KEYS = st.lists(st.lists(st.integers(-3, 2), min_size=1, max_size=2, unique_by=lambda p: p % 3), max_size=2)


# the first column's definition: staged rows are told apart by value whatever the collation, main rows by SQL
DECLS = st.sampled_from(["a", "a COLLATE NOCASE", "a TEXT COLLATE RTRIM", "a NUMERIC"])


@examples(120)
@given(keys=SIGNED_KEYS, index=st.lists(COLSETS, max_size=2), main=ROWS, batches=st.lists(ROWS, min_size=1, max_size=3),
       stray=st.sampled_from([None, "extra", "missing", "changed"]), rebuild=st.sampled_from([None, True, False]),
       comm=st.booleans(), through=st.sampled_from(["connection", "proxy"]), decl=DECLS)
def test_merge_leaves_what_temp_to_main_leaves(conn, keys, index, main, batches, stray, rebuild, comm, through, decl):
    managed(conn, "p", [decl, "b", "c"], keys, main, index={f"i{n}": c for n, c in enumerate(index)})
    if stray == "extra":  # outside the catalog: the rebuild drops it, and so must a merge that keeps indexes live
        conn.execute("CREATE INDEX p_extra ON p (c)")
    elif stray == "missing" and index:  # in the catalog, missing from the file
        conn.execute("DROP INDEX p_i0")
    elif stray == "changed" and index:  # in the catalog under its name, on other columns in the file
        conn.execute("DROP INDEX p_i0")
        conn.execute("CREATE INDEX p_i0 ON p (b, a)")
    conn.commit()
    target = RecordingConnection(conn) if through == "proxy" else conn  # the method path, or the native one
    for batch in batches:
        mv.insert_temp(conn, "p", batch)
        copy = sqlite3.connect(":memory:")
        conn.backup(copy)
        mv.temp_to_main(copy, "p")
        before = conn.execute("SELECT count(*) FROM p").fetchone()[0]
        report = morvel.merge(target, "p", comm, rebuild=rebuild)
        assert conn.in_transaction == (not comm)
        if not comm:
            conn.commit()
        assert merge_state(conn, "p") == merge_state(copy, "p")
        copy.close()
        assert report.merged + report.superseded == len(batch)
        assert conn.execute("SELECT count(*) FROM p").fetchone()[0] - before == report.merged - report.replaced
        assert rebuild is None or report.rebuilt is rebuild


@pytest.mark.parametrize("through", ["connection", "proxy"])
@pytest.mark.parametrize("filler", [0, KEY_SET_ROWS], ids=["key_sets", "grouped"])
def test_either_way_of_finding_superseded_rows_leaves_what_temp_to_main_leaves(conn, through, filler):
    # staged rows tell values apart as stored (1 equals 1.0, never "1"; "a" is not "A" though the column
    # folds case; NULL repeats nothing), and two keys link rows; the filler takes the batch past the key sets
    staged = [("a", 5, 5), ("A", 6, 6), (1, "q", "r"), (1.0, 9, 9), ("1", "q", "r"), (None, 2, None), (None, 2, None),
              ("z", "q", "r"), (b"a", 7, None)] + [(f"f{i}", i, 0) for i in range(filler)]
    managed(conn, "t", ["a COLLATE NOCASE", "b", "c"], [[0], [1, 2]], main=[("x", 1, 1), ("A", 2, None), (1, "q", "s")],
            staged=staged, index={"by_c": "c"})
    copy = sqlite3.connect(":memory:")
    conn.backup(copy)
    mv.temp_to_main(copy, "t")
    report = morvel.merge(RecordingConnection(conn) if through == "proxy" else conn, "t")
    assert merge_state(conn, "t") == merge_state(copy, "t")
    assert report[:3] == (len(staged) - 2, 2, 2)


def _bad_key(conn):
    conn.execute("INSERT INTO unique_table VALUES ('t', 'bad', 'k', '0,5')")
    conn.commit()


@pytest.mark.parametrize("breakage,error", [(broken_index, sqlite3.OperationalError), (_disk_full, sqlite3.OperationalError),
                                            (_bad_key, IndexError), (None, TypeError)],
                         ids=["index-rebuild", "disk-full", "key-position", "bad-rebuild"])
@pytest.mark.parametrize("rebuild", [True, False])
@pytest.mark.parametrize("through", ["connection", "proxy"])
def test_failed_merge_leaves_everything_as_before(conn, db_path, breakage, error, rebuild, through):
    managed(conn, "t", ["k", "v"], [[0]], main=[("a", 1), ("c", 3)], staged=[("a", 2), ("b", 2)],
            index={"by_v": "v"})
    if breakage:
        breakage(conn)
    before = snapshot(conn, "t")
    with pytest.raises(error):
        morvel.merge(RecordingConnection(conn) if through == "proxy" else conn, "t",
                     rebuild=rebuild if breakage else "yes")
    assert not conn.in_transaction and snapshot(conn, "t") == before
    other = sqlite3.connect(db_path, timeout=0)
    other.execute("INSERT INTO temp_t VALUES ('z', 0)")
    other.commit()
    other.close()


# main rows, rows deleted from the middle beforehand, new rows staged: whether the rebuild was chosen, and
# whether the main rows were counted (only near the threshold; elsewhere the rowid range is enough)
CHOICES = {"small_batch": (100, 0, 1, False, False), "near_live": (100, 0, 20, False, True),
           "near_holes": (100, 60, 130, True, True), "large_batch": (10, 0, 40, True, False),
           "nothing_staged": (100, 0, 0, False, False)}


@pytest.mark.parametrize("main,holes,batch,rebuilt,counted", CHOICES.values(), ids=CHOICES.keys())
def test_rebuild_chosen_by_size(conn, main, holes, batch, rebuilt, counted):
    managed(conn, "t", ["k", "v"], [[0]], main=[(i, i) for i in range(main)], staged=[(-i - 1, 0) for i in range(batch)])
    conn.execute("DELETE FROM t WHERE rowid BETWEEN 2 AND ?", (holes + 1,))
    conn.commit()
    proxy = RecordingConnection(conn)
    assert morvel.merge(proxy, "t") == (batch, 0, 0, rebuilt)
    assert any(s.strip() == "SELECT count(*) FROM t" for s in proxy.statements()) == counted


BOUNDED = {f"key_sets-{m}-{r}": (30_000, n, r) for m, n in [("into_empty", 0), ("half_replacing", 20_000)]
           for r in (None, True, False)} | {"grouped": (KEY_SET_ROWS + 10_000, 20_000, None)}


@pytest.mark.parametrize("keys", [[[0]], [[0], [1, 2]]], ids=["one_key", "two_keys"])
@pytest.mark.parametrize("batch,main,rebuild", BOUNDED.values(), ids=BOUNDED.keys())
@pytest.mark.parametrize("through", ["connection", "proxy"])
def test_merge_memory_and_work_stay_bounded(conn, keys, batch, main, rebuild, through):
    # A third of the batch repeats keys of the rest. Up to KEY_SET_ROWS staged rows, compiled key sets find
    # the superseded ones (a few MB); past it SQLite's grouping does, and the merge's memory does not grow
    # with the batch (the keys read back would take megabytes). Neither does the work per staged row: the
    # repeated keys must not cost a pass over the staging table each (SQLite's instructions counted, a plan
    # of that kind stopped long before it ends).
    first, repeats = main // 2, batch // 3
    managed(conn, "t", ["k", "v", "w"], keys, main=[(f"key {i}", i, 0) for i in range(main)],
            staged=[(f"key {i}", i, 1) for i in range(first, first + batch - repeats)]
            + [(f"key {i}", -1 - i, 1) for i in range(first, first + repeats)])
    target = RecordingConnection(conn) if through == "proxy" else conn
    steps = itertools.count()
    conn.set_progress_handler(lambda: next(steps) > batch, 1000)
    tracemalloc.start()
    try:
        report = morvel.merge(target, "t", rebuild=rebuild)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
        conn.set_progress_handler(None, 0)
    replaced = main // 2
    assert report[:3] == (batch - repeats, replaced, repeats)
    assert peak < (200_000 if batch > KEY_SET_ROWS else 16 << 20)
    assert conn.execute("SELECT count(*), count(DISTINCT k) FROM t").fetchone() == (main + batch - repeats - replaced,) * 2


def _lowered(c):
    sqlite3.register_converter("LOWERED", bytes.lower)
    return sqlite3.connect(c, detect_types=sqlite3.PARSE_DECLTYPES)


def _folded(c):
    c = sqlite3.connect(c)
    c.text_factory = lambda b: b.decode().lower()
    return c


@pytest.mark.parametrize("decl,connect,staged,superseded", [
    ("k", sqlite3.connect, [("a",), (b"a",), ("A",)], 0),
    ("k LOWERED", sqlite3.connect, [("a",), ("A",)], 0),  # no converter applies without detect_types
    ("k", _folded, [("a",), ("A",)], 1),                  # both read as "a"
    ("k LOWERED", _lowered, [("a",), ("A",)], 1),         # both read as b"a"
    ("k", _lowered, [("a",), ("A",)], 0),                 # the converter is not the key column's
], ids=["stored", "converter_off", "text_factory", "converter", "other_column"])
def test_staged_keys_compared_as_the_connection_reads_them(db_path, decl, connect, staged, superseded):
    managed(db_path, "t", [decl], [[0]], staged=staged)
    c = connect(db_path)
    try:
        assert morvel.merge(c, "t") == (len(staged) - superseded, 0, superseded, True)
    finally:
        c.close()
        sqlite3.converters.pop("LOWERED", None)
