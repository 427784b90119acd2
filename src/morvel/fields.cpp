// Text fields read from a file (CSV, TSV) turned into the values they stand for, without losing any:
// an empty field is NULL, and a field becomes a number only when that number, written back as Python
// writes it, is the very same text. "645" is 645, but "00645", "+3", "1.50", "1e3" and " 7" stay text,
// because no number is written that way. The command line's loader calls this once per chunk of rows.
#include <cmath>
#include <cstring>
#include <vector>

#include "callables.hpp"

namespace morvel {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// "-?(0|[1-9][0-9]*)" within SQLite's signed 64-bit range: the text of a Python int, and one that the
// database stores as an integer (a wider one would not bind at all).
bool integer_text(const char* s, Py_ssize_t n, long long* out) {
    const bool negative = s[0] == '-';
    const char* d = s + negative;
    const Py_ssize_t digits = n - negative;
    if (digits < 1 || digits > 19 || (d[0] == '0' && (digits > 1 || negative))) return false;
    unsigned long long v = 0;
    for (Py_ssize_t i = 0; i < digits; ++i) {
        if (!is_digit(d[i])) return false;
        v = v * 10 + static_cast<unsigned long long>(d[i] - '0');  // 19 digits cannot wrap 64 bits
    }
    const unsigned long long limit = negative ? 9223372036854775808ULL : 9223372036854775807ULL;
    if (v > limit) return false;
    *out = negative ? static_cast<long long>(0 - v) : static_cast<long long>(v);
    return true;
}

// Plain decimals "-?(0|[1-9][0-9]*)\.[0-9]+" that repr() is certain to write back unchanged: at most 15
// significant digits (any two such decimals are distinct doubles, so none shorter stands for the
// same one), no trailing zero in the fraction except in "x.0", and a magnitude that repr() writes
// without an exponent (from 1e-4 on). Everything else goes the long way, through repr() itself.
bool plain_decimal(const char* s, Py_ssize_t n) {
    Py_ssize_t i = s[0] == '-';
    const Py_ssize_t int_start = i;
    while (i < n && is_digit(s[i])) ++i;
    const Py_ssize_t int_digits = i - int_start;
    if (int_digits == 0 || i >= n || s[i] != '.' || (int_digits > 1 && s[int_start] == '0')) return false;
    const Py_ssize_t frac_start = ++i;
    while (i < n && is_digit(s[i])) ++i;
    const Py_ssize_t frac_digits = i - frac_start;
    if (i != n || frac_digits == 0) return false;
    if (s[n - 1] == '0' && frac_digits > 1) return false;  // "1.50"
    const bool int_zero = int_digits == 1 && s[int_start] == '0';
    if (!int_zero) return int_digits + frac_digits <= 15;
    Py_ssize_t zeros = 0;
    while (zeros < frac_digits && s[frac_start + zeros] == '0') ++zeros;
    if (zeros == frac_digits) return frac_digits == 1;  // "0.0" and "-0.0" are repr's; "0.00" is not
    return zeros <= 3 && frac_digits - zeros <= 15;
}

// Could repr() of a finite float have written it? Only digits, '-', '.', 'e' and '+'; a '.' or an 'e'
// somewhere; and no leading zero before another digit ("08271" and "00645" are text at once).
bool float_alphabet(const char* s, Py_ssize_t n) {
    const Py_ssize_t first = s[0] == '-';
    if (n > first + 1 && s[first] == '0' && is_digit(s[first + 1])) return false;
    bool point_or_exponent = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const char c = s[i];
        if (c == '.' || c == 'e') {
            point_or_exponent = true;
        } else if (!is_digit(c) && c != '-' && c != '+') {
            return false;
        }
    }
    return point_or_exponent;
}

// float(text) when repr() of it gives back `s`, exactly; otherwise nothing.
Ref float_of_repr(const char* s, Py_ssize_t n) {
    if (!float_alphabet(s, n)) return {};
    char* end = nullptr;
    const double v = PyOS_string_to_double(s, &end, nullptr);
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();  // not a number at all: it stays text
        return {};
    }
    if (end != s + n || !std::isfinite(v)) return {};
    char* written = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (written == nullptr) throw PyError{};
    const bool same = std::strlen(written) == static_cast<size_t>(n) && std::memcmp(written, s, static_cast<size_t>(n)) == 0;
    PyMem_Free(written);
    return same ? own(PyFloat_FromDouble(v)) : Ref{};
}

// The value a non-empty text field stands for; nothing when it stays text.
Ref number_of(PyObject* field) {
    // A number's text is ASCII, and ASCII str keeps its characters as bytes that end in a NUL.
    check(compat::ready(field));
    if (!PyUnicode_IS_ASCII(field)) return {};
    const char* s = static_cast<const char*>(PyUnicode_DATA(field));
    const Py_ssize_t n = PyUnicode_GET_LENGTH(field);
    if (!is_digit(s[0]) && !(s[0] == '-' && n > 1 && is_digit(s[1]))) return {};
    long long i = 0;
    if (integer_text(s, n, &i)) return own(PyLong_FromLongLong(i));
    if (plain_decimal(s, n)) {
        const double v = PyOS_string_to_double(s, nullptr, nullptr);
        if (v == -1.0 && PyErr_Occurred()) throw PyError{};
        return own(PyFloat_FromDouble(v));
    }
    return float_of_repr(s, n);
}

// The stored value of one field: NULL for an empty text, a number where the text is one (`convert`),
// the field itself otherwise. Values that are not text pass unchanged.
Ref value_of(PyObject* field, bool convert) {
    if (!PyUnicode_Check(field)) return Ref::borrow(field);
    if (PyUnicode_GET_LENGTH(field) == 0) return Ref::borrow(Py_None);
    if (convert)
        if (Ref number = number_of(field)) return number;
    return Ref::borrow(field);
}

}  // namespace

// _lossless(rows, start, width, order, convert): converts, from rows[start] on, every row of `width`
// fields in place; with `order` (a tuple of field positions, -1 for none), the row is replaced by a
// new list with the values in that order and NULL where no field is given. Returns the position of
// the first row of another width, which is left as it is, or -1 when every row was converted.
Ref lossless(Args a) {
    PyObject *rows = a[0], *start_arg = a[1], *width_arg = a[2], *order = a[3], *convert_arg = a[4];
    if (!PyList_Check(rows)) {
        PyErr_Format(PyExc_TypeError, "rows must be a list, not %.200s", Py_TYPE(rows)->tp_name);
        throw PyError{};
    }
    if (order != Py_None && !PyTuple_Check(order)) {
        PyErr_Format(PyExc_TypeError, "order must be a tuple or None, not %.200s", Py_TYPE(order)->tp_name);
        throw PyError{};
    }
    const Py_ssize_t start = check_size(PyNumber_AsSsize_t(start_arg, PyExc_OverflowError));
    const Py_ssize_t width = check_size(PyNumber_AsSsize_t(width_arg, PyExc_OverflowError));
    const bool convert = check(PyObject_IsTrue(convert_arg)) != 0;
    std::vector<Py_ssize_t> positions;
    if (order != Py_None) {
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(order); ++j) {
            const Py_ssize_t p = check_size(PyNumber_AsSsize_t(PyTuple_GET_ITEM(order, j), PyExc_OverflowError));
            if (p < -1 || p >= width) {
                PyErr_Format(PyExc_ValueError, "order names field %zd of a row of %zd", p, width);
                throw PyError{};
            }
            positions.push_back(p);
        }
    }
    SignalPoll poll;
    // The list is read afresh at every row: nothing here runs Python code, but its length is the
    // caller's to change between calls.
    for (Py_ssize_t i = start < 0 ? 0 : start; i < PyList_GET_SIZE(rows); ++i) {
        poll();
        PyObject* row = PyList_GET_ITEM(rows, i);
        if (!PyList_CheckExact(row)) {
            PyErr_Format(PyExc_TypeError, "row %zd is of type '%.200s', not a list of fields", i, Py_TYPE(row)->tp_name);
            throw PyError{};
        }
        if (PyList_GET_SIZE(row) != width) return own(PyLong_FromSsize_t(i));
        if (order == Py_None) {
            for (Py_ssize_t j = 0; j < width; ++j) {
                PyObject* field = PyList_GET_ITEM(row, j);
                Ref v = value_of(field, convert);
                if (v.get() != field) check(PyList_SetItem(row, j, v.release()));  // drops the text it replaces
            }
            continue;
        }
        const auto n = static_cast<Py_ssize_t>(positions.size());
        Ref ordered = own(PyList_New(n));
        for (Py_ssize_t j = 0; j < n; ++j) {
            const Py_ssize_t p = positions[static_cast<size_t>(j)];
            Ref v = p < 0 ? Ref::borrow(Py_None) : value_of(PyList_GET_ITEM(row, p), convert);
            PyList_SET_ITEM(ordered.get(), j, v.release());
        }
        check(PyList_SetItem(rows, i, ordered.release()));
    }
    return own(PyLong_FromLong(-1));
}

}  // namespace morvel
