"""The newest check over linked rows, and find across the staging and the main table."""

import pytest
from hypothesis import given, strategies as st

from conftest import RecordingConnection, examples, managed, typed
from morvel import morvel as mv

CURSOR, FETCH = ("cursor",), ("fetchall",)


def look(src, where, values, select="rowid,name,type"):
    pad = "\n" + " " * 20
    return [("execute", f"{pad}SELECT {select}{pad}FROM {src}{pad}WHERE {where}\n{' ' * 16}", values), FETCH]


S = lambda where, value: look("temp_h", where, [value])  # noqa: E731
M = lambda where, value: look("h", where, [value])  # noqa: E731
N, T = "name = ? ", "type = ? "
UNIQ = {"u0": [0], "u1": [1]}


@pytest.fixture
def h(conn):
    # staging 1 (a, x); main 1 (a, y) and 2 (b, y): one linked group, the staging row newest
    managed(conn, "h", ["name", "type"], [[0], [1]], staged=[("a", "x")], main=[("a", "y"), ("b", "y")])
    return conn


def check(conn, key, row, seen, uniques=UNIQ):
    return mv._check_newest_unique(conn, "h", key, row, uniques, ["name", "type"], "rowid,name,type", seen)


WALKS = {
    "staging_wins": ((1, 1), (1, "a", "x"), True, {(1, 1), (0, 1), (0, 2)},
                     S(N, "a") + M(N, "a") + [CURSOR] + S(N, "a") + M(N, "a") + S(T, "y") + M(T, "y")
                     + [CURSOR] + S(N, "b") + M(N, "b") + S(T, "y") + M(T, "y") + S(T, "x") + M(T, "x")),
    "main_loses_at_once": ((0, 1), (1, "a", "y"), False, {(0, 1), (1, 1)}, S(N, "a")),
    "main_loses_deep": ((0, 2), (2, "b", "y"), False, {(0, 2), (0, 1), (1, 1)},
                        S(N, "b") + M(N, "b") + S(T, "y") + M(T, "y") + [CURSOR] + S(N, "a")),
}


@pytest.mark.parametrize("key,row,verdict,visited,log", WALKS.values(), ids=WALKS.keys())
def test_walk_statements_and_verdict(h, key, row, verdict, visited, log):
    proxy, seen = RecordingConnection(h), {key}
    result = check(proxy, key, row, seen)
    assert type(result) is tuple and result == ((True, seen) if verdict else (False, None))
    assert verdict is False or result[1] is seen
    assert seen == visited
    assert proxy.log == [CURSOR] + log


@pytest.mark.parametrize("uniques,log", [({}, []), ({"u0": []}, []), ({"e": [], "u1": [1]}, S(T, "x") + M(T, "x")),
                                         ({"k": [1, 0]}, look("temp_h", "type = ? AND name = ? ", ["x", "a"])
                                          + look("h", "type = ? AND name = ? ", ["x", "a"]))])
def test_key_lists(h, uniques, log):
    proxy, seen = RecordingConnection(h), {(1, 1)}
    assert check(proxy, (1, 1), (1, "a", "x"), seen, uniques) == (True, {(1, 1)})
    assert proxy.log == [CURSOR] + log


def test_nested_steps_go_through_module_attribute(h, monkeypatch):
    original, calls = mv._check_newest_unique, []

    def wrapper(**kw):
        calls.append((list(kw), kw["rowid"], kw["row"]))
        return original(**kw)

    monkeypatch.setattr(mv, "_check_newest_unique", wrapper)
    order = ["conn", "table", "rowid", "row", "uniques", "cols", "total_select", "eqivalent_set"]
    assert original(h, "h", (1, 1), (1, "a", "x"), UNIQ, ["name", "type"], "rowid,name,type", {(1, 1)})[0]
    assert calls == [(order, (1, 1), (1, "a", "y")), (order, (1, 1), (2, "b", "y"))]
    calls.clear()
    assert mv.find(h, "*", "h", "") == [["a", "x"]]
    assert [c[1:] for c in calls] == [((1, 1), (1, "a", "x")), ((1, 1), (1, "a", "y")), ((1, 1), (2, "b", "y")),
                                      ((0, 2), (2, "b", "y")), ((0, 2), (1, "a", "y"))]
    monkeypatch.setattr(mv, "_check_newest_unique", lambda **kw: (True, kw["eqivalent_set"], None))
    with pytest.raises(ValueError):
        original(h, "h", (1, 1), (1, "a", "x"), UNIQ, ["name", "type"], "rowid,name,type", {(1, 1)})


@pytest.mark.parametrize("staged", [[], [(-1, 0)]])
def test_deep_chain(conn, staged):
    # row k shares column a with row k+1 for even k and column b for odd k
    n = 20_000
    managed(conn, "d", ["a", "b"], [[0], [1]], staged=staged, main=[(k // 2, (k + 1) // 2) for k in range(n)])
    seen = {(0, n)}
    result = mv._check_newest_unique(conn, "d", (0, n), (n, (n - 1) // 2, n // 2), {"u0": [0], "u1": [1]},
                                     ["a", "b"], "rowid,a,b", seen)
    assert result == ((False, None) if staged else (True, seen))
    assert {(0, k) for k in range(1, n + 1)} <= seen


# ---------------------------------------------------------------- find

def data(src, cond, select="rowid,name,type,age"):
    pad = "\n" + " " * 12
    return ("execute", f"{pad}SELECT {select}{pad}FROM {src}{pad}{cond}\n{' ' * 8}")


# find reads one snapshot: BEGIN first and COMMIT last when the connection has no transaction open
BEGIN, COMMIT = ("execute", "BEGIN"), ("execute", "COMMIT")


def head(table):
    pad = "\n" + " " * 12
    return [CURSOR, BEGIN, ("execute", f"PRAGMA table_info({table})"), FETCH,
            ("execute", f"{pad}SELECT *{pad}FROM unique_table{pad}WHERE table_name = '{table}'\n{' ' * 8}"), FETCH]


@pytest.fixture
def n(conn):
    managed(conn, "n", ["name", "type", "age"], [], staged=[("s1", "x", 1), ("s2", "y", 3)], main=[("s1", "x", 2)])
    return conn


FINDS = [("*", "", [["s1", "x", 1], ["s2", "y", 3], ["s1", "x", 2]]),
         ("age,name", "", [[1, "s1"], [3, "s2"], [2, "s1"]]),
         ("name,name", "", [["s1", "s1"], ["s2", "s2"], ["s1", "s1"]]),
         ("type", "WHERE type = 'x'", [["x"], ["x"]]),
         ("name", "ORDER BY age DESC", [["s2"], ["s1"], ["s1"]]),
         ("age", "LIMIT 1", [[1], [2]])]


@pytest.mark.parametrize("select,cond,expected", FINDS)
def test_find_without_keys(n, select, cond, expected):
    proxy = RecordingConnection(n)
    assert mv.find(proxy, select, "n", cond) == expected
    # with no keys each newest check opens its cursor and sends nothing
    assert [e for e in proxy.log if e != CURSOR] == head("n")[1:] + [data("temp_n", cond), FETCH, data("n", cond), FETCH, COMMIT]
    assert proxy.log.count(CURSOR) == 1 + len(expected)


@pytest.mark.parametrize("select", ["name, age", "Name", "name,", "rowid"])
def test_unknown_select_piece(n, select):
    proxy = RecordingConnection(n)
    with pytest.raises(ValueError):
        mv.find(proxy, select, "n", "")
    assert proxy.log == head("n") + [COMMIT]


def test_find_statements_with_keys(h):
    proxy = RecordingConnection(h)
    assert mv.find(proxy, "*", "h", "") == [["a", "x"]]
    assert proxy.log == head("h") + [data("temp_h", "", "rowid,name,type"), FETCH, CURSOR, *WALKS["staging_wins"][4],
                                     data("h", "", "rowid,name,type"), FETCH, CURSOR, *WALKS["main_loses_deep"][4],
                                     COMMIT]


GROUPS = {
    "chain": ([[0], [1]], [("a", "x")], [("a", "p"), ("b", "p")], "", [["a", "x"]]),
    "chain_hidden": ([[0], [1]], [("a", "x")], [("a", "p"), ("b", "p")], "WHERE name = 'b'", []),
    "newest_later_in_pass": ([[0]], [("a", 1), ("a", 2)], [], "", [["a", 2]]),
    "newer_unmatched": ([[0]], [("a", 1), ("a", 2)], [], "WHERE type = 1", []),
    "newest_alone_matched": ([[0]], [("a", 1), ("a", 2)], [("a", 0)], "WHERE type = 2", [["a", 2]]),
    "main_by_rowid": ([[0]], [("b", 1)], [("a", 1), ("a", 2)], "", [["b", 1], ["a", 2]]),
    "null_links_nothing": ([[0]], [(None, 1), (None, 2)], [(None, 3)], "", [[None, 1], [None, 2], [None, 3]]),
    "negative_position": ([[-1]], [("old", "K"), ("new", "K")], [("main", "K")], "", [["new", "K"]]),
}


@pytest.mark.parametrize("keys,staged,main,cond,expected", GROUPS.values(), ids=GROUPS.keys())
def test_find_groups(conn, keys, staged, main, cond, expected):
    managed(conn, "g", ["name", "type"], keys, main, staged)
    assert mv.find(conn, "name,type", "g", cond) == expected


KEYVAL = st.sampled_from([None, 0, 1, 1.0, "1", "a"])
ROWS = st.lists(st.tuples(KEYVAL, KEYVAL), max_size=8)


@examples(80)
@given(keys=st.lists(st.lists(st.integers(-2, 1), min_size=1, max_size=2, unique=True), max_size=2),
       staged=ROWS, main=ROWS, merge_first=st.booleans())
def test_find_returns_newest_of_each_group(conn, keys, staged, main, merge_first):
    managed(conn, "p", ["a", "b", "c"], keys)
    main, staged = [r + (i,) for i, r in enumerate(main)], [r + (100 + i,) for i, r in enumerate(staged)]
    if merge_first:  # the main table is filled by a merge, then more rows are staged
        mv.insert_temp(conn, "p", main)
        mv.temp_to_main(conn, "p")
        main = [tuple(r) for r in conn.execute("SELECT * FROM p ORDER BY rowid")]
    else:
        conn.executemany("INSERT INTO p VALUES (?,?,?)", main)
    mv.insert_temp(conn, "p", staged)
    nodes = [((1, i + 1), r) for i, r in enumerate(staged)] + [((0, i + 1), r) for i, r in enumerate(main)]

    def group(i):  # every row reachable through equal key values
        seen, todo = {i}, [i]
        while todo:
            r = nodes[todo.pop()][1]
            new = {j for j, (_, q) in enumerate(nodes) if j not in seen
                   and any(all(r[p] is not None and r[p] == q[p] for p in k) for k in keys)}
            seen, todo = seen | new, todo + list(new)
        return seen

    expected = [list(r) for i, (key, r) in enumerate(nodes) if key == max(nodes[j][0] for j in group(i))]
    assert typed(mv.find(conn, "*", "p", "")) == typed(expected)


def test_full_load_cycle(conn):
    cols = ["name", "type", "address", "age"]
    mv.create_table(conn, "homes", cols, [{"name": "by_age", "cols": "age"}], [{"name": "unique_0", "cols": [0, 1]}])
    batches = [[(f"n{i % 5}", f"t{i % 3}", f"ad{b}", 10 * b + i) for i in range(3 * b, 3 * b + 8)] for b in range(4)]
    for b, batch in enumerate(batches):  # a repeated key inside one batch: the later row wins
        batch.append(batch[0][:2] + ("dup", 1000 + b))
    newest = {}
    for b, batch in enumerate(batches):
        mv.insert_temp(conn, "homes", batch)
        newest.update({r[:2]: list(r) for r in batch})
        if b == 0:
            mv.temp_to_main(conn, "homes")
    before = mv.find(conn, "*", "homes", "")
    mv.temp_to_main(conn, "homes")
    after = mv.find(conn, "*", "homes", "")
    assert sorted(before) == sorted(after) == sorted(newest.values())
    assert conn.execute("SELECT count(*) FROM homes").fetchone() == (len(newest),)
    assert mv.find(conn, "age,name", "homes", "WHERE name = 'n1' ORDER BY age") == sorted(
        [r[3], r[0]] for r in newest.values() if r[0] == "n1")


@pytest.mark.parametrize("returned", [
    lambda: (True, set(), None), lambda: [False, set(), 1], lambda: iter([True, set(), 3]), lambda: {1: 2, 3: 4, 5: 6},
    lambda: "abc", lambda: type("L", (list,), {})([1, 2, 3]), lambda: [True], lambda: (), lambda: (x for x in ()),
    lambda: 5, lambda: None, lambda: 2.5],
    ids=["tuple", "list", "iterator", "dict", "str", "list-subclass", "short-list", "empty-tuple", "empty-generator",
         "int", "None", "float"])
def test_nested_result_is_unpacked_like_python(h, monkeypatch, returned):
    original = mv._check_newest_unique
    try:
        verdict, seen = returned()  # what this interpreter itself says of the same unpacking
    except (TypeError, ValueError) as e:
        expected = (type(e), str(e))
    monkeypatch.setattr(mv, "_check_newest_unique", lambda **kw: returned())
    with pytest.raises(expected[0]) as ei:
        original(h, "h", (1, 1), (1, "a", "x"), UNIQ, ["name", "type"], "rowid,name,type", {(1, 1)})
    assert (type(ei.value), str(ei.value)) == expected
