#!/usr/bin/env bash
# Release checks: the sdist and, from it, one wheel per given Python, built and repaired by wheels.sh as for a
# release (or, with MORVEL_DIST=DIR, taken from DIR as they are); check what they contain; install each wheel into a
# fresh venv of its own Python and run that Python's suites against the installed package, from a directory where
# the source tree is not importable: the whole suite, then the files whose outcome the path can change once more
# with MORVEL_NATIVE=0; type-check the example and a typed snippet with mypy --strict (once, with the first Python;
# and make sure the stub is really what mypy reads).
# Usage: release_check.sh PYTHON [PYTHON...]
set -euo pipefail
[[ $# -ge 1 ]] || { echo "usage: release_check.sh PYTHON [PYTHON...]" >&2; exit 2; }
PY=$1
repo=$(cd "$(dirname "$0")/.." && pwd)
source "$repo/.ci/lib.sh"
export PIP_DISABLE_PIP_VERSION_CHECK=1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

dist=${MORVEL_DIST:-}
if [[ -z "$dist" ]]; then
    dist=$work/dist
    echo "== the sdist and the wheels"
    bash "$repo/.ci/wheels.sh" "$dist" "$@"
fi
sdist=$(ls "$dist"/morvel-*.tar.gz)

mkdir "$work/run"
cp -r "$repo/tests" "$work/run/tests"
cp "$repo/README.md" "$work/run/README.md"  # the README is run too, against the installed package
find "$work/run/tests" -name __pycache__ -prune -exec rm -rf {} +

for py in "$@"; do
tag=$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
wheel=$(ls "$dist"/morvel-*-"$tag"-"$tag"-*.whl)
echo "wheel: $(basename "$wheel")"

echo "== $tag: contents of the sdist and the wheel"
"$PY" - "$sdist" "$wheel" "$tag" <<'EOF'
import sys, tarfile, zipfile
sdist = {n.split("/", 1)[1] for n in tarfile.open(sys.argv[1]).getnames() if "/" in n}
wheel = set(zipfile.ZipFile(sys.argv[2]).namelist())
need_sdist = {"pyproject.toml", "CMakeLists.txt", "README.md", "src/morvel/morvel.cpp", "src/morvel/morvel.pyi",
              "src/morvel/py.typed", "src/morvel/__init__.py", "src/morvel/morvel_state.py",
              "src/morvel/sqlite_api.cpp", "src/morvel/compat.hpp"}
need_wheel = {"morvel/__init__.py", "morvel/morvel_state.py", "morvel/morvel.pyi", "morvel/py.typed",
              "morvel/cli.py", "morvel/__main__.py"}
problems = [f"sdist lacks {n}" for n in sorted(need_sdist - sdist)]
problems += [f"wheel lacks {n}" for n in sorted(need_wheel - wheel)]
if not any(n.startswith("morvel/morvel.") and n.endswith(".so") for n in wheel):
    problems.append("wheel lacks the compiled module")
tag = sys.argv[3]
problems += [f"wheel carries a module built for another Python: {n}" for n in sorted(wheel)
             if n.endswith(".so") and f"-{tag[2:]}-" not in n.replace("cpython", "")]
meta = next(zipfile.ZipFile(sys.argv[2]).read(n).decode() for n in wheel if n.endswith(".dist-info/METADATA"))
version = f"{tag[2]}.{tag[3:]}"
if f"Classifier: Programming Language :: Python :: {version}\n" not in meta:
    problems.append(f"the wheel's classifiers leave out Python {version}")
problems += [f"wheel carries source {n}" for n in sorted(wheel) if n.endswith((".cpp", ".hpp"))]
problems += [f"wheel carries a library of its own: {n}" for n in sorted(wheel) if n.startswith("morvel.libs/")]
print("\n".join(problems) or "ok")
sys.exit(bool(problems))
EOF

echo "== $tag: install the repaired wheel into a fresh venv, test against the installed package"
"$py" -m venv "$work/test-$tag"
V="$work/test-$tag/bin/python"
"$V" -m pip install -q "$wheel[test]"
(
cd "$work/run"
"$V" -c 'import sys, morvel.morvel as m; assert m.__file__.startswith(sys.prefix), m.__file__'
export PYTHONDONTWRITEBYTECODE=1
stage "$tag tests" "$V" -m pytest -q -ra -p no:cacheprovider tests
echo "== $tag: the tests whose outcome the path can change, with the native path off"
MORVEL_NATIVE=0 stage "$tag tests, native path off" "$V" -m pytest -q -p no:cacheprovider $(path_tests)
)
done

echo "== mypy --strict"
V="$work/test-$("$PY" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')/bin/python"
"$V" -m pip install -q mypy
cd "$work/run"
cat > typed_use.py <<'EOF'
import sqlite3
from typing import Any

import morvel
from morvel.morvel import (DB, _check_newest_unique, _insert_main, active_table_index, create_table,
                           delete_row_main, drop_index, drop_table, drop_table_index, drop_unique, find,
                           insert_index, insert_temp, insert_unique, temp_to_main)


def cycle(path: str) -> list[list[object]]:
    conn: sqlite3.Connection = DB("typed", path).connection()
    create_table(conn, "homes", ["name", "age"], [{"name": "i0", "cols": "age"}], [{"name": "u0", "cols": [0]}])
    insert_index(conn, {"table": "homes", "name": "i1", "cols": "name"}, comm=False)
    insert_unique(conn, "homes", "u1", "age", "1")
    insert_temp(conn, "homes", [("a", 1), ("b", 2), ("a", 3)])
    drop_table_index(conn, "homes")
    active_table_index(conn, "homes")
    temp_to_main(conn, "homes")
    _insert_main(conn, "homes", [["c", 4]])
    delete_row_main(conn, "homes", {10, 11})
    ok, seen = _check_newest_unique(conn, "homes", (0, 1), [1, "a", 3], {"u0": [0]}, ["name", "age"],
                                    "rowid,name,age", set())
    rows = find(conn, "name,age", "homes", "where age > 0")
    drop_unique(conn, "homes", "u1")
    drop_index(conn, "homes", "i1")
    drop_table(conn, "homes")
    conn.close()
    return rows if ok and seen is not None else []


class Logged:
    """A wrapper connection: what the module needs of one, and nothing more."""

    def __init__(self, real: sqlite3.Connection) -> None:
        self.real, self.sent = real, 0

    def cursor(self) -> "Logged":
        return self

    def execute(self, sql: str, *params: Any) -> None:
        self.sent += 1
        self.real.execute(sql, *params)

    def fetchall(self) -> list[Any]:
        return []

    def commit(self) -> None:
        self.real.commit()


def wrapped(conn: sqlite3.Connection) -> int:
    logged = Logged(conn)
    drop_table(logged, "homes", comm=False)
    return logged.sent


def in_memory() -> list[list[object]]:
    conn = sqlite3.connect(":memory:")
    morvel.prepare(conn)
    create_table(conn, "t", ["k"], [], [], comm=1)  # commits exactly when comm == True: 1 and 1.0 too
    temp_to_main(conn, "t", comm=1.0)
    return find(conn, "*", "t", "")


def package(conn: sqlite3.Connection) -> tuple[int, morvel.Merged, list[list[Any]]]:
    staged = morvel.load(conn, "t", (row for row in [("a",), ("b",)]), batch=10)
    report = morvel.merge(conn, "t", rebuild=None)
    rows = morvel.query(conn, "t", "k > ?", ["a"], columns=["k"], order_by="k DESC", limit=5)
    return staged, report, rows
EOF
cat > typed_misuse.py <<'EOF'
import sqlite3

import morvel
from morvel.morvel import drop_table, find, insert_temp, temp_to_main

conn = sqlite3.connect(":memory:")
count: int = find(None, 1, "homes", "")
insert_temp("not a connection", "homes", [(1, 2)])
drop_table(conn, 7)
temp_to_main(conn, "homes", comm="yes")
morvel.query(conn, 7)
EOF
"$V" -m mypy --strict --no-incremental --cache-dir=/dev/null "$repo/examples/load_cycle.py" typed_use.py
if "$V" -m mypy --strict --no-incremental --cache-dir=/dev/null typed_misuse.py > misuse.out; then
    echo "mypy accepted a misuse of the stub: the stub is not in effect" >&2
    exit 1
fi
for expected in 'Incompatible types in assignment' 'Argument 1 to "find"' 'Argument 2 to "find"' \
                'Argument 1 to "insert_temp"' 'Argument 2 to "drop_table"' 'Argument "comm" to "temp_to_main"' \
                'Argument 2 to "query"'; do
    grep -qF "$expected" misuse.out || {
        echo "mypy did not report: $expected" >&2
        cat misuse.out >&2
        exit 1
    }
done
"$V" - "$work/run/typed.db" <<'EOF'
import sys, typed_use
rows = typed_use.cycle(sys.argv[1])
assert sorted(rows) == [["a", 3], ["b", 2], ["c", 4]], rows
EOF
echo "== release checks passed"
