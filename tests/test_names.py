"""Names reach the statement texts exactly as given: table and index names of any script, other texts with any
character, lone surrogates included, on every interpreter."""

import re

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from conftest import examples
from morvel import morvel as mv


class Silent:
    """A connection (and its own cursor) that only keeps the statements sent to it."""

    def __init__(self):
        self.sent = []

    def cursor(self):
        return self

    def execute(self, sql, *params):
        self.sent.append(sql)
        return self

    def fetchall(self):
        return []

    def commit(self):
        pass


class Text:
    """An object whose str() is the given text: a rowid that is no int takes the general path."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


# Each call writes `a` and `b` somewhere into its statements.
CALLS = {
    "drop_table": lambda c, a, b: mv.drop_table(c, a),
    "drop_index": lambda c, a, b: mv.drop_index(c, a, a),  # the index name is one too
    "create_table": lambda c, a, b: mv.create_table(c, a, [b, "x"], [], []),
    "insert_temp": lambda c, a, b: mv.insert_temp(c, a, [(1, 2)]),
    "delete_row_main": lambda c, a, b: mv.delete_row_main(c, a, [7, Text(b), -2 ** 70, Text(b + b)]),
    "find": lambda c, a, b: mv.find(c, "*", a, b),
}
A, B = "zqxa", "zqxb"  # stand-ins that no statement contains otherwise

# Every code point, lone surrogates included, but the quote (doubled inside literals, tested elsewhere).
texts = st.text(st.characters(exclude_categories=(), exclude_characters="'"), max_size=12)
# A table name: one plain identifier of any script.
plain = st.builds(str.__add__, st.characters(categories=["L"]) | st.just("_"),
                  st.text(st.characters(categories=["L", "Nd"]) | st.sampled_from("_$"), max_size=11))


def sent(call, a, b):
    c = Silent()
    try:
        CALLS[call](c, a, b)
    except ValueError as exc:  # a `;` in a name made a text of several statements, which Silent took
        assert str(exc).startswith("the connection took a text of several statements") and ";" in c.sent[-1]
    return c.sent


@pytest.mark.parametrize("call", CALLS)
@examples(100)
@given(a=plain, b=texts)
@example(a="tbl\U00010400", b="\udc80\U0001f600\u0100")  # a lone surrogate; characters of four and two bytes
@example(a="caf\xe9", b="\xff")  # one byte each, beyond ASCII
@example(a="t", b="\u20ac")  # ASCII first, wider later
def test_names_reach_the_statements_as_given(call, a, b):
    template = sent(call, A, B)
    assert any(A in s for s in template)
    expected = [re.sub(f"{A}|{B}", lambda m: a if m.group() == A else b, s) for s in template]
    got = sent(call, a, b)
    # str equality also compares the storage width: a text stored wider than its characters need is unequal
    assert got == expected[:len(got)] and all(type(s) is str for s in got)
    assert len(got) == len(expected) or ";" in a + b
