"""Index registration, suspension and reactivation, and unique keys, checked through the catalog."""


import pytest

from conftest import catalog, schema
import morvel
from morvel import morvel as mv

B, E = "\n" + " " * 12, "\n" + " " * 8
QUOTED = "x' OR '1'='1"  # closes the literal early if it were pasted in unchanged


def stored_idx(t, n, cols):
    """The text SQLite keeps for an index the module built (it drops the leading blanks and 'if not exists')."""
    return f"CREATE INDEX {t}_{n}{B}ON {t} ({cols}){E}"


REGISTERED = [("homes", "index_0", "name,type,address"), ("other", "index_0", "age"),
              ("homes", "unique_0", "name,address")]


def registered(conn):
    """Registered indexes and keys on homes and other, an index made by hand on homes, one on temp_homes."""
    conn.executescript("""CREATE TABLE homes (name, type, address, age); CREATE TABLE other (name, age);
        CREATE TABLE temp_homes (name, type, address, age); CREATE INDEX staged ON temp_homes (name);
        INSERT INTO unique_table VALUES ('homes', 'unique_0', 'name,address', '0,2'), ('other', 'unique_0', 'age', '1');
        CREATE INDEX homes_index_0 ON homes (name,type,address); CREATE INDEX other_index_0 ON other (age);
        CREATE INDEX homes_unique_0 ON homes (name,address); CREATE INDEX by_hand ON homes (age);""")
    conn.executemany("INSERT INTO index_table VALUES (?,?,?)", REGISTERED)
    conn.commit()
    return conn


@pytest.fixture
def homes(conn):
    return registered(conn)


def index_names(conn, table):
    return [r[1] for r in conn.execute("SELECT * FROM sqlite_master WHERE type = 'index'") if r[2] == table]


def idx(cols):
    return lambda c: mv.insert_index(c, {"table": "homes", "name": "k", "cols": cols})


def key(cols, num):
    return lambda c: mv.insert_unique(c, "homes", "k", cols, num)


@pytest.mark.parametrize("steps, cols, key_row", [
    ([idx("name"), idx("age")], "age", None),
    ([idx("name"), key("age", "3")], "age", ("homes", "k", "age", "3")),
    ([key("age", "3"), idx("name")], "name", ("homes", "k", "age", "3")),
    ([key("name,address", "0,2"), key("age", "3")], "age", ("homes", "k", "age", "3")),
], ids=["index_twice", "index_then_key", "key_then_index", "key_twice"])
def test_later_registration_of_a_name_wins(homes, steps, cols, key_row):
    for step in steps:
        step(homes)
    indexes, uniques = catalog(homes)
    assert [r for r in indexes if r[1] == "k"] == [("homes", "k", cols)]
    assert [r for r in uniques if r[1] == "k"] == ([key_row] if key_row else [])
    assert [r for r in schema(homes, "index") if r[0] == "homes_k"] == [("homes_k", "homes", stored_idx("homes", "k", cols))]


def test_dropping_key_keeps_lookup_index_and_dropping_index_keeps_key(homes):
    mv.drop_unique(homes, "homes", "unique_0")
    assert ("homes", "unique_0", "name,address") in catalog(homes)[0]
    assert ("other", "unique_0", "age", "1") in catalog(homes)[1]
    assert "homes_unique_0" in index_names(homes, "homes")
    mv.insert_unique(homes, "homes", "unique_0", "name,address", "0,2")
    mv.drop_index(homes, "homes", "unique_0")
    assert ("homes", "unique_0", "name,address", "0,2") in catalog(homes)[1]
    assert [r for r in catalog(homes)[0] if r[0] == "homes"] == [("homes", "index_0", "name,type,address")]
    assert index_names(homes, "homes") == ["homes_index_0", "by_hand"]


@pytest.mark.parametrize("call, tables", [
    (lambda c: mv.insert_index(c, {"table": "homes", "name": "i", "cols": "age"}), ["homes", "index_table"]),
    (lambda c: mv.drop_index(c, "homes", "i"), ["homes", "index_table"]),
    (lambda c: mv.insert_unique(c, "homes", "u", "age", "1"), ["homes", "index_table", "unique_table"]),
    (lambda c: mv.drop_unique(c, "homes", "u"), ["homes", "unique_table"]),
])
def test_writers_create_their_catalog_table(fresh_conn, call, tables):
    fresh_conn.execute("CREATE TABLE homes (name, age)")
    call(fresh_conn)
    assert [r[0] for r in schema(fresh_conn, "table")] == tables


def test_suspension_and_reactivation(homes):
    homes.executescript('CREATE INDEX "my idx" ON homes (age); CREATE INDEX "Order" ON homes (type)')  # quoted
    before = catalog(homes)
    mv.drop_table_index(homes, "homes")
    assert index_names(homes, "homes") == []
    assert index_names(homes, "temp_homes") == ["staged"] and index_names(homes, "other") == ["other_index_0"]
    assert catalog(homes) == before
    for _ in range(2):  # a second reactivation finds everything in place
        mv.active_table_index(homes, "homes")
        assert [r for r in schema(homes, "index") if r[1] == "homes"] == [
            ("homes_index_0", "homes", stored_idx("homes", "index_0", "name,type,address")),
            ("homes_unique_0", "homes", stored_idx("homes", "unique_0", "name,address"))]
    assert catalog(homes) == before


def test_reactivation_keeps_an_index_of_the_same_name(homes):
    homes.execute("DROP INDEX homes_index_0")
    homes.execute("CREATE INDEX homes_index_0 ON homes (age)")
    mv.active_table_index(homes, "homes")
    assert ("homes_index_0", "homes", "CREATE INDEX homes_index_0 ON homes (age)") in schema(homes, "index")


def test_letter_case_and_unknown_names_find_nothing(homes):
    before = (catalog(homes), schema(homes, "index"))
    mv.drop_index(homes, "homes", "never")
    mv.drop_unique(homes, "homes", "never")
    mv.drop_table_index(homes, "HOMES")
    assert (catalog(homes), schema(homes, "index")) == before
    mv.drop_table_index(homes, "homes")
    mv.active_table_index(homes, "HOMES")
    assert index_names(homes, "homes") == []


def test_key_passes_its_lookup_index_by_keyword(conn, monkeypatch):
    calls = []
    monkeypatch.setattr(mv, "insert_index", lambda *a, **k: calls.append((a, k)))  # looked up at call time
    mv.insert_unique(conn, "homes", "u", "age", "3")
    assert calls == [((), dict(conn=conn, index={"table": "homes", "name": "u", "cols": "age"}, comm=False))]


# Table and index names that are not one plain identifier are refused before anything is sent, whatever
# they would have done; the catalog's own names and the staging table of a managed table only where a call
# would create or drop them.
NOT_PLAIN = ["keep --", "main.keep", "a b", "7up", "$x", "", QUOTED, "[a", "x\u00b7y", "\udc80t"]
OWN = ["index_table", "unique_table", "Unique_Table", "temp_homes", "TEMP_Homes"]
TAKES_A_NAME = {
    "create_table": lambda c, t: mv.create_table(c, t, ["a"], [], []),
    "drop_table": lambda c, t: mv.drop_table(c, t),
    "insert_index": lambda c, t: mv.insert_index(c, {"table": t, "name": "i", "cols": "a"}),
    "insert_index-name": lambda c, t: mv.insert_index(c, {"table": "homes", "name": t, "cols": "age"}),
    "drop_index": lambda c, t: mv.drop_index(c, t, "index_0"),
    "drop_index-name": lambda c, t: mv.drop_index(c, "homes", t),
    "insert_unique": lambda c, t: mv.insert_unique(c, t, "u", "a", "0"),
    "insert_unique-name": lambda c, t: mv.insert_unique(c, "homes", t, "age", "3"),
    "drop_unique": lambda c, t: mv.drop_unique(c, t, "unique_0"),
    "active_table_index": lambda c, t: mv.active_table_index(c, t),
    "drop_table_index": lambda c, t: mv.drop_table_index(c, t),
    "insert_temp": lambda c, t: mv.insert_temp(c, t, [(1,)]),
    "_insert_main": lambda c, t: mv._insert_main(c, t, [(1,)]),
    "delete_row_main": lambda c, t: mv.delete_row_main(c, t, [1]),
    "temp_to_main": lambda c, t: mv.temp_to_main(c, t),
    "load": lambda c, t: morvel.load(c, t, iter([(1,)])),
    "merge": lambda c, t: morvel.merge(c, t),
    "query": lambda c, t: morvel.query(c, t),
    "find": lambda c, t: mv.find(c, "*", t, ""),
    "_check_newest_unique": lambda c, t: mv._check_newest_unique(c, t, (1, 1), (1, "a"), {"u": [0]}, ["a"], "*", set()),
}
# an index is named "<table>_<name>": a name that only may not start it ("7up", "$x", "") is plain there
CASES = [(f, t) for f in TAKES_A_NAME for t in NOT_PLAIN if not (f.endswith("-name") and t in ("7up", "$x", ""))]
CASES += [(f, t) for f in ("create_table", "drop_table") for t in OWN]


@pytest.mark.parametrize("call, name", CASES)
def test_names_that_could_reach_another_table_are_refused(homes, proxy, call, name):
    before = (catalog(homes), schema(homes, "table"), schema(homes, "index"))
    with pytest.raises(ValueError) as err:
        TAKES_A_NAME[call](proxy, name)
    assert repr(name)[1:-1] in str(err.value)
    sent = proxy.statements()  # at most the look at the schema that tells a staging table
    assert sent == [] or sent[0].split() == ["SELECT", "count(*)", "FROM", "sqlite_master"] + sent[0].split()[4:]
    assert len(sent) <= 1 and not homes.in_transaction
    assert (catalog(homes), schema(homes, "table"), schema(homes, "index")) == before


@pytest.mark.parametrize("name", ["caf\u00e9", "x$1", "_t", "\u0394\u0431\u0662", "temp_nothing"])
def test_plain_names_of_any_script(conn, name):
    mv.create_table(conn, name, ["k", "v"], [{"name": "by_v", "cols": "v"}], [{"name": "k\u00e9", "cols": [0]}])
    mv.insert_temp(conn, name, [(1, "a"), (1, "b")])
    assert mv.find(conn, "*", name, "") == [[1, "b"]]
    mv.temp_to_main(conn, name)
    assert mv.find(conn, "*", name, "") == [[1, "b"]]
    assert f"{name}_k\u00e9" in [r[0] for r in schema(conn, "index")]
    mv.drop_table(conn, name)
    assert catalog(conn) == ([], []) and name not in [r[0] for r in schema(conn, "table")]

