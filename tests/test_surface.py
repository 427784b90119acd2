"""Module surface: names, documentation, signatures (of the module, its type stub and the typed use of it), argument
binding, commit rule, tracebacks, import."""

import ast
import functools
import importlib
import inspect
import re
import sqlite3
import sys
import traceback
from pathlib import Path

import pytest

from conftest import RecordingConnection, unique_name
from morvel import morvel as mv

SRC = "src/morvel/morvel.cpp"
P = object()  # stands for the recording proxy in an argument list


def doc(first, *examples):
    return "\n    " + "\n".join((first,) + examples) + "\n    "


INSERT_INDEX_EX = ("    index = {", "    'table': 'homes',", "    'name': 'index_0',",
                   "    'cols': 'name,type,address'", "    }")
INSERT_UNIQUE_EX = ("    table = 'homes'   # table ('name', 'type', 'address', 'age')", "    name = 'unique_0'",
                    "    cols = 'name,address'", "    cols_num = '0,2'")
CREATE_TABLE_EX = (
    "    name = 'homes'", "    cols = ['name', 'type', 'address', 'age']", "    index = [", "        {",
    "            'name': 'index_0',", "            'cols': 'name,type,address'", "        },", "        {",
    "            'name': 'index_1',", "            'cols': 'age'", "        }", "    ]", "    unique = [", "        {",
    "            'name': 'unique_0',", "            'cols': [0, 1]     # 'name, type'", "        },", "        {",
    "            'name': 'unique_1',", "            'cols': [2]     #'address'", "        }", "    ]")
FIND_EX = ("    select = '*' or 'name,age'", "    table = 'persons'", "    conditions = '''",
           "        where (id, city) = (1093, 'Tehran')", "        order by age desc", "    '''")

# qualname, parameters, first source line, documentation string
CALLABLES = [
    ("DB.__init__", "self name address", 10, None),
    ("DB.connection", "self", 44, None),
    ("insert_index", "conn index comm", 49, doc("Insert index for fast search.", *INSERT_INDEX_EX)),
    ("drop_index", "conn table name comm", 102, doc("Drop one index of table.")),
    ("active_table_index", "conn table comm", 133,
     doc("Activate indexes of table after drooping them for fast insertion.")),
    ("drop_table_index", "conn table comm", 162, doc("Drop index of table for fast insert rows.")),
    ("insert_unique", "conn table name cols cols_num comm", 192,
     doc("Insert uniques of table, the last one with unique features replaces old ones.", *INSERT_UNIQUE_EX)),
    ("drop_unique", "conn table name comm", 237, doc("Delete one unique of table.")),
    ("create_table", "conn name cols index unique comm", 270,
     doc("Create table with indexes and uniques.", *CREATE_TABLE_EX)),
    ("insert_temp", "conn table rows comm", 335, doc("Fast temp_table insertion.")),
    ("delete_row_main", "conn table ids comm", 364, doc("Fast delete selcted rows from main_table.")),
    ("temp_to_main", "conn table comm", 383, doc("Fast temp to main insertion.")),
    ("_insert_main", "conn table rows comm", 489, None),
    ("drop_table", "conn table comm", 513, doc("Drop table with indexes and uniques.")),
    ("find", "conn select table conditions", 553, doc("Find rows from temp and main tables.", *FIND_EX)),
    ("_check_newest_unique", "conn table rowid row uniques cols total_select eqivalent_set", 678, None),
]
FIRST_LINE = {q: line for q, _, line, _ in CALLABLES}
FUNCTIONS = [q for q, *_ in CALLABLES if "." not in q]


def get(qualname):
    return functools.reduce(getattr, qualname.split("."), mv)


def entries(exc):
    return [(f.lineno, f.name) for f in traceback.extract_tb(exc.__traceback__) if f.filename == SRC]


@pytest.mark.parametrize("qualname, params, line, text", CALLABLES, ids=[c[0] for c in CALLABLES])
def test_callable_attributes_and_signature(qualname, params, line, text):
    fn = get(qualname)
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (qualname.split(".")[-1], qualname, "morvel.morvel")
    assert fn.__doc__ == text
    assert fn.__defaults__ == ((True,) if "comm" in params else None)
    empty, kind = inspect.Parameter.empty, inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert [(p.name, p.kind, p.default) for p in inspect.signature(fn).parameters.values()] == [
        (n, kind, True if n == "comm" else empty) for n in params.split()]


ROOT = Path(__file__).resolve().parents[1]
# the stub next to the imported module (the release check insists it is shipped) and the one in the source tree
STUBS = [p for p in (Path(mv.__file__).with_name("morvel.pyi"), ROOT / "src" / "morvel" / "morvel.pyi") if p.exists()]
# Absent where the release check runs a copy of the tests beside the installed package (it type-checks it itself).
TYPED_USE = ROOT / ".ci" / "typed_use.py"
EMPTY = inspect.Parameter.empty


def stub(path):
    """(top-level names, {qualname: [(parameter, default)]}, {qualname: docstring}) of a stub file; the
    Protocol classes that describe the connection are not module names."""
    tree = ast.parse(path.read_text())
    names, sigs, docs = set(), {}, {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and any(getattr(b, "id", None) == "Protocol" for b in node.bases):
            continue
        if isinstance(node, ast.Import):
            names.update(a.asname or a.name for a in node.names)
        elif isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        for fn in [node] if isinstance(node, ast.FunctionDef) else getattr(node, "body", []):
            if isinstance(fn, ast.FunctionDef):
                a = fn.args
                assert not (a.posonlyargs or a.kwonlyargs or a.vararg or a.kwarg), fn.name
                defaults = [EMPTY] * (len(a.args) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
                prefix = "" if fn is node else node.name + "."
                sigs[prefix + fn.name] = [(p.arg, d) for p, d in zip(a.args, defaults)]
                docs[prefix + fn.name] = ast.get_docstring(fn, clean=False)
    return names, sigs, docs


def called_names(path):
    """The names that a script calls, as `f(...)` or `x.f(...)`."""
    calls = [n.func for n in ast.walk(ast.parse(path.read_text())) if isinstance(n, ast.Call)]
    return {getattr(f, "id", None) or getattr(f, "attr", None) for f in calls}


# The runtime objects are built from the module's table and checked against CALLABLES above; the stub and the
# typed use of it are checked against the runtime objects: every name and callable, the parameters in order
# with their defaults, the documentation, and a call of each public callable.
@pytest.mark.parametrize("path", STUBS, ids=[p.parent.parent.name for p in STUBS])
def test_stub_and_typed_use_match_the_module(path):
    names, sigs, docs = stub(path)
    assert names == {n for n in vars(mv) if not n.startswith("__")}
    callables = {n for n, v in vars(mv).items() if type(v) is type(mv.find)} | {"DB.__init__", "DB.connection"}
    assert set(sigs) == callables
    for qualname, params in sigs.items():
        got = inspect.signature(get(qualname)).parameters.values()
        assert [(p.name, p.default) for p in got] == params, qualname
        assert {p.kind for p in got} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}, qualname
        assert docs[qualname] == get(qualname).__doc__, qualname  # what an editor shows is what help() shows
    if TYPED_USE.exists():
        # a class is called by its name, for its __init__
        public = {q.removesuffix(".__init__").split(".")[-1] for q in sigs
                  if q.endswith(".__init__") or not q.split(".")[-1].startswith("_")}
        assert public - called_names(TYPED_USE) == set()


def test_methods_bind_to_the_instance(db_path):
    handle = mv.DB(unique_name(), db_path)
    assert list(inspect.signature(handle.connection).parameters) == []
    assert list(inspect.signature(handle.__init__).parameters) == ["name", "address"]
    assert list(inspect.signature(mv.DB).parameters) == ["name", "address"]
    assert handle.connection.__func__ is mv.DB.connection and handle.connection.__self__ is handle


def test_module_namespace():
    assert mv.__doc__ is None and not hasattr(mv, "__all__")
    assert mv.__name__ == "morvel.morvel" and mv.__package__ == "morvel"
    assert mv.sqlite3 is sqlite3
    assert mv.morvel_state is importlib.import_module("morvel.morvel_state")
    assert isinstance(mv.DB, type)


def test_function_type_is_closed():
    ftype = type(mv.find)
    with pytest.raises(TypeError):
        ftype()  # a blank function object would have nothing behind it
    with pytest.raises(TypeError):
        ftype.__repr__ = lambda self: "x"
    assert repr(mv.find).startswith("<function find at ") and mv.find.__reduce__() == "find"


BINDING = [
    ("drop_table", [P], {}, "takes at least 2 positional arguments (1 given)"),
    ("drop_table", [P, "t", True, 4], {"bogus": 1}, "takes at most 3 positional arguments (4 given)"),
    ("find", [P, "*", "t"], {}, "takes exactly 4 positional arguments (3 given)"),
    ("find", [P], {"select": "*", "conditions": ""}, "takes exactly 4 positional arguments (2 given)"),
    ("create_table", [P, "t", ["a"]], {}, "takes at least 5 positional arguments (3 given)"),
    ("create_table", [P, "t", ["a"], [], [], True], {"comm": True}, "got multiple values for keyword argument 'comm'"),
    ("insert_unique", [], {"conn": P, "name": "u", "cols": "a"}, "takes at least 5 positional arguments (1 given)"),
    ("_check_newest_unique", [P] + [0] * 8, {}, "takes exactly 8 positional arguments (9 given)"),
    ("drop_table", [P, "t"], {"commit": True}, "got an unexpected keyword argument 'commit'"),
    ("drop_table", [P, "t"], {"table": "u", "bogus": 1}, "got multiple values for keyword argument 'table'"),
    ("drop_table", [P, "t"], {"bogus": 1, "table": "u"}, "got an unexpected keyword argument 'bogus'"),
    ("drop_table", [], {"table": "t", "bogus": 1}, "got an unexpected keyword argument 'bogus'"),
    ("drop_table", [], {"table": "t"}, "takes at least 2 positional arguments (0 given)"),
    ("DB.connection", [], {}, "takes exactly 1 positional argument (0 given)"),
    ("DB.connection", [P, 2], {}, "takes exactly 1 positional argument (2 given)"),
    ("DB.__init__", [], {}, "takes exactly 3 positional arguments (1 given)"),
    ("DB.__init__", [], {"name": "x", "address": "y", "path": "z"}, "got an unexpected keyword argument 'path'"),
]


@pytest.mark.parametrize("qualname, args, kwargs, message", BINDING)
def test_binding_errors(qualname, args, kwargs, message, proxy):
    before = dict(mv.morvel_state.DB_dict)
    fn = mv.DB if qualname == "DB.__init__" else get(qualname)
    with pytest.raises(TypeError) as ei:
        fn(*[proxy if a is P else a for a in args], **kwargs)
    assert str(ei.value) == f"{qualname.split('.')[-1]}() {message}"
    assert entries(ei.value) == [(FIRST_LINE[qualname], "morvel.morvel." + qualname)]
    assert proxy.log == [] and mv.morvel_state.DB_dict == before


def test_non_string_keyword_is_refused(proxy):
    with pytest.raises(TypeError, match="keywords must be strings"):
        mv.drop_table(proxy, "t", **{1: True})
    assert proxy.log == []


def test_keyword_call_binds_like_positional(conn):
    by_pos, by_kw = RecordingConnection(conn), RecordingConnection(conn)
    args = ["kwt", ["a", "b"], [{"name": "i", "cols": "b"}], [{"name": "u", "cols": [0]}], True]
    mv.create_table(by_pos, *args)
    mv.create_table(**dict(zip(["conn", "name", "cols", "index", "unique", "comm"], [by_kw] + args)))
    assert by_pos.log == by_kw.log and by_pos.log[-1] == ("commit",)


@pytest.mark.parametrize("comm, commits", [
    (True, True), (1, True), (1.0, True), (False, False), (0, False), (None, False), (2, False),
    ("yes", False), ("True", False), ([True], False), (P, True)])
def test_commit_only_when_equal_to_true(proxy, comm, commits):
    mv.drop_table(conn=proxy, table="nothing_here", **({} if comm is P else {"comm": comm}))
    assert [e[0] for e in proxy.log] == ["cursor"] + ["execute"] * (4 + commits) + ["commit"] * commits


@pytest.mark.parametrize("call, exc_type, chain", [
    (lambda c: mv.drop_table(c, "t"), sqlite3.OperationalError, ["drop_table"]),
    (lambda c: mv.create_table(c, "t", ["a"], [{"name": "i"}], []), KeyError, ["create_table", "insert_index"]),
    (lambda c: mv.create_table(c, "t", ["a", 1], [], []), TypeError, ["create_table"]),
    (lambda c: mv.insert_unique(c, "no_such_table", "u", "a", "0"), sqlite3.OperationalError,
     ["insert_unique", "insert_index"]),
    (lambda c: (c.execute("CREATE TABLE t_u (x)"),  # the name of the key's lookup index is taken
                mv.create_table(c, "t", ["a", "b"], [], [{"name": "u", "cols": [1]}])),
     sqlite3.OperationalError, ["create_table", "insert_unique", "insert_index"]),
], ids=["statement", "nested-key", "column-type", "nested-sql", "two-levels"])
def test_traceback_entries(conn, fresh_conn, call, exc_type, chain):
    with pytest.raises(exc_type) as ei:
        call(fresh_conn if chain == ["drop_table"] else conn)
    assert entries(ei.value) == [(FIRST_LINE[q], "morvel.morvel." + q) for q in chain]
    assert all(f.filename == SRC for f in traceback.extract_tb(ei.value.__traceback__)[2:])


def test_callee_is_looked_up_at_call_time(proxy, monkeypatch):
    calls = []
    fake = lambda **kwargs: calls.append(kwargs)  # noqa: E731 - keyword arguments only
    monkeypatch.setattr(mv, "drop_table", fake)
    mv.create_table(proxy, "late", ["a"], [], [])
    assert calls == [{"conn": proxy, "table": "late", "comm": False}]
    assert all("DROP" not in s and "DELETE" not in s for s in proxy.statements())

    monkeypatch.setattr(mv, "insert_index", fake)
    calls.clear()
    desc = {"name": "i", "cols": "a"}
    mv.create_table(proxy, "late2", ["a"], [desc], [{"name": "u", "cols": [0]}])
    assert calls == [{"conn": proxy, "table": "late2", "comm": False},
                     {"conn": proxy, "index": desc, "comm": False},
                     {"conn": proxy, "index": {"table": "late2", "name": "u", "cols": "a"}, "comm": False}]
    assert calls[1]["index"] is desc


def test_missing_callee_raises_name_error(proxy, monkeypatch):
    monkeypatch.delattr(mv, "drop_table")
    with pytest.raises(NameError) as ei:
        mv.create_table(proxy, "gone", ["a"], [], [])
    assert str(ei.value) == "name 'drop_table' is not defined"
    assert entries(ei.value) == [(FIRST_LINE["create_table"], "morvel.morvel.create_table")]
    assert proxy.statements() == ["BEGIN IMMEDIATE"] and proxy.log[-1] == ("rollback",)


def test_reimport_returns_the_same_module(monkeypatch):
    names = [n for n in FUNCTIONS if n != "find"] + ["DB", "sqlite3", "morvel_state"]
    before = [getattr(mv, n) for n in names]
    monkeypatch.setattr(mv, "find", marker := object())  # a re-executed module would rebind it
    saved = sys.modules.pop("morvel.morvel")
    try:
        assert importlib.import_module("morvel.morvel") is mv and saved is mv
    finally:
        sys.modules["morvel.morvel"] = saved
    assert mv.find is marker and [getattr(mv, n) for n in names] == before


def in_subinterpreter(own_gil, script):
    """Runs `script` in a new subinterpreter, with its own GIL or sharing this one's; None when it ran through,
    else (name of the exception type, message)."""
    try:
        import _interpreters  # 3.13 and later
    except ImportError:
        interpreters = pytest.importorskip("_xxsubinterpreters")
        iid = interpreters.create(**({"isolated": own_gil} if sys.version_info >= (3, 12) else {}))
        try:
            interpreters.run_string(iid, script)
        except interpreters.RunFailedError as e:
            return re.fullmatch(r"<class '(\w+)'>: (.*)", str(e), re.S).groups()
        finally:
            interpreters.destroy(iid)
        return None
    iid = _interpreters.create("isolated" if own_gil else "legacy")
    try:
        failure = _interpreters.run_string(iid, script)
    finally:
        _interpreters.destroy(iid)
    return failure and (failure.type.__name__, failure.msg)


def refused_by_the_interpreter():
    """What this interpreter itself says when a subinterpreter with its own GIL imports an extension module
    that cannot live there, said of morvel.morvel."""
    said = in_subinterpreter(True, "import _testsinglephase\n")
    if said is None or said[0] == "ModuleNotFoundError":
        pytest.skip("no extension module of this interpreter to compare with")
    return said[0], said[1].replace("_testsinglephase", "morvel.morvel")


# The module lives in one interpreter per process. A subinterpreter sharing the GIL gets the module's own
# refusal; one with its own GIL (3.12 and later) is refused by the interpreter before the module runs.
@pytest.mark.parametrize("own_gil, expected", [
    (False, lambda: ("ImportError", "Interpreter change detected - this module can only be loaded into one "
                                    "interpreter per process.")),
    pytest.param(True, refused_by_the_interpreter, marks=pytest.mark.skipif(
        sys.version_info < (3, 12), reason="subinterpreters with their own GIL come with 3.12")),
], ids=["shared-gil", "own-gil"])
def test_second_interpreter_is_refused(own_gil, expected):
    script = f"import sys\nsys.path[:] = {sys.path!r}\nimport morvel.morvel\n"
    assert in_subinterpreter(own_gil, script) == expected()


_SUBINTERPRETER_FIRST = r"""
import sys
sys.path[:0] = [{tests!r}]
from test_surface import in_subinterpreter
print(in_subinterpreter(False, "import sys\nsys.path[:] = %r\nimport morvel.morvel\n" % sys.path))
import morvel.morvel
print(morvel.morvel.DB.__name__)
"""


def test_a_subinterpreter_importing_first_leaves_the_main_interpreter_free():
    import subprocess

    script = _SUBINTERPRETER_FIRST.format(tests=str(Path(__file__).parent))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    refused, main = out.stdout.splitlines()
    assert "Interpreter change detected" in refused and main == "DB"


_FAILED_IMPORT = r"""
import importlib.abc, sys, traceback

class Block(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name == "morvel.morvel_state":
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)

sys.meta_path.insert(0, Block())
try:
    import morvel.morvel
except ImportError as e:
    entry = traceback.extract_tb(e.__traceback__)[-1]
    print(type(e).__name__, e, entry.name, entry.lineno, "morvel.morvel" in sys.modules)
sys.meta_path.pop(0)
import morvel.morvel as m
print(sorted(k for k in vars(m) if not k.startswith("__"))[:3], m.DB.__name__)
"""


def test_failed_import_leaves_nothing_behind():
    import subprocess

    out = subprocess.run([sys.executable, "-c", _FAILED_IMPORT], capture_output=True, text=True, check=True)
    first, second = out.stdout.splitlines()
    assert first == "ImportError cannot import name morvel_state init morvel.morvel 4 False"
    assert second == "['DB', '_check_newest_unique', '_index_staging'] DB"
