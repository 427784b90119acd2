"""The newest check over linked rows, and find across the staging and the main table."""

import pytest
from hypothesis import given, strategies as st

from conftest import examples, managed, typed
from morvel import morvel as mv

UNIQ = {"u0": [0], "u1": [1]}


def linked_rows(conn):
    """staging 1 (a, x); main 1 (a, y) and 2 (b, y): one linked group, the staging row newest."""
    managed(conn, "h", ["name", "type"], [[0], [1]], staged=[("a", "x")], main=[("a", "y"), ("b", "y")])
    return conn


@pytest.fixture
def h(conn):
    return linked_rows(conn)


def check(conn, key, row, seen, uniques=UNIQ):
    return mv._check_newest_unique(conn, "h", key, row, uniques, ["name", "type"], "rowid,name,type", seen)


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


@pytest.mark.heavy
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


# find reads one snapshot: BEGIN first and COMMIT last when the connection has no transaction open
BEGIN, COMMIT = ("execute", "BEGIN"), ("execute", "COMMIT")


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
