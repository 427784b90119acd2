"""The README and the pages of docs/ are run, not just read: their Python blocks in order (the README first, then
the pages in the order of PAGES) as one program in an empty folder, and their command-line sessions at the point
where they stand, on the files the blocks before them made.

A comment on a statement states what it does, and is checked when it takes one of these forms:
`# SomeError: text` (the statement raises that exception, its message containing text; `...` skips),
`# prints: text` (the statement prints that line), `# <a Python literal>...` after an expression (its value).
In a session, each `$ ` line runs in bash and its output (stdout and stderr) must be the lines below it,
times (`0.004 s`) and the folder's path aside."""

import ast
import builtins
import contextlib
import importlib
import io
import os
import re
import shutil
import subprocess
import sys
import tokenize
from pathlib import Path

import pytest

from morvel import morvel_state

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
# The pages in the order their examples build on each other.
PAGES = [README] + [ROOT / "docs" / f"{name}.md" for name in
                    ("guide", "command-line", "reference", "connections", "scaling-out", "performance", "transactions",
                     "internals")]
EXCEPTION = re.compile(r"((?:\w+\.)*\w+(?:Error|Exception|Interrupt)): ?(.*)")
TIME = re.compile(r"\b\d+\.\d+ s\b")


def blocks(page):
    """(kind, first line number of the body, body) of every fenced block of one page."""
    kind, start, body = None, 0, []
    for number, line in enumerate(page.read_text().splitlines(), 1):
        if kind is None and line.startswith("```"):
            kind, start, body = line[3:].strip(), number + 1, []
        elif kind is not None and line.startswith("```"):
            yield kind, start, "\n".join(body) + "\n"
            kind = None
        elif kind is not None:
            body.append(line)
    assert kind is None, f"{page.name}:{start}: a block is never closed"


def literal_prefix(text):
    """The longest start of text that is a Python literal (not one that ends in a comma), as (value,)."""
    for end in range(len(text), 0, -1):
        piece = text[:end].rstrip()
        if piece and not piece.endswith(","):
            try:
                return (ast.literal_eval(piece),)
            except (ValueError, SyntaxError, TypeError, MemoryError, RecursionError):
                pass
    return None


def exception_class(name, namespace):
    first, *rest = name.split(".")
    obj = namespace[first] if first in namespace else getattr(builtins, first, None)
    if obj is None:
        obj = importlib.import_module(first)
    for part in rest:
        obj = getattr(obj, part)
    return obj


def run_python(page, start, body, namespace):
    source = "\n" * (start - 1) + body  # line numbers as in the page
    tree = ast.parse(source, page.name)
    comments = {
        tok.start[0]: tok.string[1:].strip()
        for tok in tokenize.generate_tokens(io.StringIO(source).readline) if tok.type == tokenize.COMMENT
    }
    for i, stmt in enumerate(tree.body):
        # A comment belongs to the last statement on its line.
        later = tree.body[i + 1].lineno if i + 1 < len(tree.body) else float("inf")
        said = next((c for n, c in sorted(comments.items()) if stmt.lineno <= n <= stmt.end_lineno and n < later), "")
        where = f"{page.name}:{stmt.lineno}"
        if isinstance(stmt, ast.Expr):
            code = compile(ast.Expression(stmt.value), where, "eval")
        else:
            code = compile(ast.Module([stmt], []), where, "exec")
        raises = EXCEPTION.match(said)
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            if raises:
                with pytest.raises(exception_class(raises[1], namespace)) as info:
                    eval(code, namespace)
                pieces = [p.strip() for p in raises[2].split("...")]
                assert re.search(".*".join(map(re.escape, pieces)), str(info.value)), (where, str(info.value))
                continue
            value = eval(code, namespace)
        if said.startswith("prints:"):
            assert out.getvalue() == said[len("prints:"):].strip() + "\n", (where, out.getvalue())
        elif isinstance(stmt, ast.Expr) and (expected := literal_prefix(said)) is not None:
            assert value == expected[0], (where, value)


def run_session(page, start, body, folder):
    shims = 'python() { "$MORVEL_PYTHON" "$@"; }\n'
    if shutil.which("sqlite3") is None:  # the SQLite shell, for the one thing the session asks of it
        shims += ("sqlite3() { python -c 'import sqlite3, sys; c = sqlite3.connect(sys.argv[1]); "
                  "c.executescript(sys.argv[2]); c.close()' \"$@\"; }\n")
    lines = body.splitlines()
    steps = [n for n, line in enumerate(lines) if line.startswith("$ ")] + [len(lines)]
    for n, end in zip(steps, steps[1:]):
        command, expected = lines[n][2:], "\n".join(lines[n + 1:end])
        r = subprocess.run(["bash", "-c", shims + command], cwd=folder, text=True, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, env={**os.environ, "MORVEL_PYTHON": sys.executable})
        got = r.stdout.replace(str(folder) + os.sep, "").rstrip("\n")
        assert TIME.sub("<t> s", got) == TIME.sub("<t> s", expected), f"{page.name}:{start + n}: $ {command}\n{got}"


@pytest.mark.skipif(not README.exists(), reason="no README beside the tests")
@pytest.mark.skipif(shutil.which("bash") is None, reason="the README's session needs bash")
def test_readme_runs(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(morvel_state, "DB_dict", {})  # the README's handle names, in a registry of its own
    namespace = {"__name__": "__readme__"}
    kinds = []
    for page in PAGES:
        for kind, start, body in blocks(page):
            if kind == "python":
                run_python(page, start, body, namespace)
            elif kind == "console":
                run_session(page, start, body, tmp_path)
            kinds.append(kind)
    assert {"python", "console"} <= set(kinds)
    assert len(README.read_text().splitlines()) <= 250, "the README is a front door: the rest goes to docs/"
