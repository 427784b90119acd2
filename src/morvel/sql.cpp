// Reading statement texts: how many statements a text holds, as SQLite's tokenizer would tell.
#include "sql.hpp"
#include "names.hpp"

#include <cstring>

namespace morvel {

namespace {

// SQLite's blanks: what may stand between tokens besides comments.
bool blank(Py_UCS4 c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

}  // namespace

// Whether `text` holds more than its first statement: anything but blanks and comments after the first `;`
// that stands outside a string, a quoted name or a comment.
bool several_statements(PyObject* text) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    // Most statements hold no `;` at all.
    if (kind == PyUnicode_1BYTE_KIND && std::memchr(data, ';', static_cast<size_t>(n)) == nullptr) return false;
    const auto at = [&](Py_ssize_t i) { return i < n ? PyUnicode_READ(kind, data, i) : Py_UCS4{0}; };
    bool ended = false;  // past the first statement's `;`
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = at(i);
        if (c == '-' && at(i + 1) == '-') {
            while (i < n && at(i) != '\n') ++i;
        } else if (c == '/' && at(i + 1) == '*') {
            for (i += 2; i < n && !(at(i) == '*' && at(i + 1) == '/'); ++i) {}
            ++i;
        } else if (ended) {
            if (!blank(c)) return true;
        } else if (c == '\'' || c == '"' || c == '`' || c == '[') {
            const Py_UCS4 close = c == '[' ? Py_UCS4{']'} : c;
            for (++i; i < n && at(i) != close; ++i) {}  // a doubled quote reads as two quoted runs
        } else if (c == ';') {
            ended = true;
        }
    }
    return false;
}

Ref equalities(const std::vector<Ref>& columns) {
    TextBuilder b;
    bool first = true;
    for (const Ref& c : columns) {
        if (!first) b.ascii("AND ");
        b.text(column_text(c.get()).get()).ascii(" = ? ");
        first = false;
    }
    return b.finish();
}

Ref identifier(PyObject* name) {
    Ref text = fstr_of(name);
    Ref escaped = own(PyUnicode_Replace(text.get(), names->double_quote.get(), names->two_double_quotes.get(), -1));
    return TextBuilder().ascii("\"").text(escaped.get()).ascii("\"").finish();
}

}  // namespace morvel
