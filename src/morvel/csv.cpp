// CSV and TSV records read into rows of values, without losing any: an empty field is NULL, and a field
// becomes a number only when that number, written back as Python writes it, is the very same text. "645"
// is 645, but "00645", "+3", "1.50", "1e3" and " 7" stay text, because no number is written that way.
// Everything else is text, decoded as UTF-8. A column with a declared type converts each field by that
// type instead (an INTEGER column "645" only, a REAL column "17.00" and "1.5e-05" too), and a field the
// type would change is refused; a first pass over the file can tell each column's type from all its
// fields. The command line's loader hands this one block of the file at a time: parsing and converting
// here costs a fraction of what csv.reader and Python would.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "callables.hpp"
#include "compat.hpp"
#include "load.hpp"
#include "names.hpp"
#include "transaction.hpp"

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

// The exponent part of a number literal at s[i], which is 'e' or 'E': an optional sign and digits. `value`
// gets it (beyond 100000 in magnitude it stays there, past every double's range), i the position after it;
// returns the number of its digits (0: no exponent after all).
Py_ssize_t exponent_part(const char* s, Py_ssize_t& i, Py_ssize_t n, long& value) {
    ++i;
    const bool negative = i < n && s[i] == '-';
    if (i < n && (s[i] == '-' || s[i] == '+')) ++i;
    const Py_ssize_t start = i;
    for (value = 0; i < n && is_digit(s[i]); ++i)
        if (value < 100000) value = value * 10 + (s[i] - '0');
    if (negative) value = -value;
    return i - start;
}

// The double of "-?[0-9]+(\.[0-9]+)?([eE][-+]?[0-9]+)?" when one IEEE operation gives it correctly rounded:
// its digits (at most 15 from the first non-zero one, so an integer below 2^53) times or over a power of ten
// that a double holds exactly (at most 10^22). False otherwise: then only a full conversion tells.
bool quick_double(const char* s, Py_ssize_t n, double* out) {
    static constexpr double kTens[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                       1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    Py_ssize_t i = s[0] == '-';
    unsigned long long m = 0;
    int digits = 0;  // from the first non-zero one
    long scale = 0;  // the power of ten of the last digit
    bool any = false;
    const auto digit = [&](char c) {
        if (m != 0 || c != '0') ++digits;
        m = m * 10 + static_cast<unsigned long long>(c - '0');
        any = true;
    };
    for (; i < n && is_digit(s[i]) && digits <= 15; ++i) digit(s[i]);
    if (i < n && s[i] == '.') {
        const Py_ssize_t start = ++i;
        for (; i < n && is_digit(s[i]) && digits <= 15; ++i) digit(s[i]), --scale;
        if (i == start) return false;
    }
    if (!any || digits > 15) return false;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        long written = 0;
        if (exponent_part(s, i, n, written) == 0) return false;
        scale += written;
    }
    if (i != n || scale < -22 || scale > 22) return false;
    const double v = scale < 0 ? static_cast<double>(m) / kTens[-scale] : static_cast<double>(m) * kTens[scale];
    *out = s[0] == '-' ? -v : v;
    return true;
}

// A number that a field stands for: an integer, or a double.
struct Number {
    bool real = false;
    long long i = 0;
    double d = 0;
};

// float(text) when repr() of it gives back `s`, exactly; otherwise false.
bool float_of_repr(const char* s, Py_ssize_t n, Number& out) {
    if (!float_alphabet(s, n)) return false;
    char* end = nullptr;
    const double v = PyOS_string_to_double(s, &end, nullptr);
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();  // not a number at all: it stays text
        return false;
    }
    if (end != s + n || !std::isfinite(v)) return false;
    char* written = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (written == nullptr) throw PyError{};
    const bool same = std::strlen(written) == static_cast<size_t>(n) && std::memcmp(written, s, static_cast<size_t>(n)) == 0;
    PyMem_Free(written);
    out = Number{true, 0, v};
    return same;
}

// The number a non-empty field stands for, from its bytes; false when it stays text. Numbers are short: a
// longer field is text without a look.
bool number_of(const char* field, Py_ssize_t n, Number& out) {
    if (n > 32 || !(is_digit(field[0]) || (field[0] == '-' && n > 1 && is_digit(field[1])))) return false;
    char s[33];  // the conversions below read up to a NUL
    std::memcpy(s, field, static_cast<size_t>(n));
    s[n] = '\0';
    if (integer_text(s, n, &out.i)) {
        out.real = false;
        return true;
    }
    if (plain_decimal(s, n)) {
        out.real = true;
        if (quick_double(s, n, &out.d)) return true;
        out.d = PyOS_string_to_double(s, nullptr, nullptr);
        if (out.d == -1.0 && PyErr_Occurred()) throw PyError{};
        return true;
    }
    return float_of_repr(s, n, out);
}

// The digits of a decimal number's text without leading and trailing zeros, and the power of ten of the
// last of them: "17.00" is ("17", 0), "1.5e-05" ("15", -6), "0.0" ("", 0). False unless `s` is
// "-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?"; `point_or_exponent` tells whether it has a point or an
// exponent.
bool decimal_digits(const char* s, Py_ssize_t n, std::string& digits, long& exponent, bool& point_or_exponent) {
    Py_ssize_t i = s[0] == '-';
    const Py_ssize_t int_start = i;
    while (i < n && is_digit(s[i])) ++i;
    const Py_ssize_t int_end = i;
    if (int_end == int_start || (int_end - int_start > 1 && s[int_start] == '0')) return false;
    Py_ssize_t frac_start = i, frac_end = i;
    point_or_exponent = false;
    if (i < n && s[i] == '.') {
        frac_start = ++i;
        while (i < n && is_digit(s[i])) ++i;
        frac_end = i;
        if (frac_end == frac_start) return false;
        point_or_exponent = true;
    }
    long written_exponent = 0;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        if (exponent_part(s, i, n, written_exponent) == 0) return false;
        point_or_exponent = true;
    }
    if (i != n) return false;
    digits.assign(s + int_start, static_cast<size_t>(int_end - int_start));
    digits.append(s + frac_start, static_cast<size_t>(frac_end - frac_start));
    exponent = written_exponent - static_cast<long>(frac_end - frac_start);
    const size_t lead = digits.find_first_not_of('0');
    if (lead == std::string::npos) {
        digits.clear();
        exponent = 0;
        return true;
    }
    digits.erase(0, lead);
    const size_t last = digits.find_last_not_of('0');
    exponent += static_cast<long>(digits.size() - 1 - last);
    digits.erase(last + 1);
    return true;
}

// Whether a field is surely a REAL's text without computing its double: an integer, decimal or exponent
// literal of at most 15 significant digits within the normal doubles (any two such decimals are distinct
// doubles, so the shortest text of this one has these very digits). False says only "not surely".
bool surely_real(const char* s, Py_ssize_t n) {
    Py_ssize_t i = s[0] == '-';
    const Py_ssize_t int_start = i;
    Py_ssize_t first = -1, last = -1, digits = 0, point = -1;  // positions among the digits
    while (i < n && is_digit(s[i])) {
        if (s[i] != '0') {
            if (first < 0) first = digits;
            last = digits;
        }
        ++digits, ++i;
    }
    const Py_ssize_t int_digits = digits;
    if (int_digits == 0 || (int_digits > 1 && s[int_start] == '0')) return false;
    bool point_or_exponent = false;
    if (i < n && s[i] == '.') {
        ++i;
        point = digits;
        while (i < n && is_digit(s[i])) {
            if (s[i] != '0') {
                if (first < 0) first = digits;
                last = digits;
            }
            ++digits, ++i;
        }
        if (digits == point) return false;
        point_or_exponent = true;
    }
    long written_exponent = 0;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        const Py_ssize_t exponent_digits = exponent_part(s, i, n, written_exponent);
        if (exponent_digits == 0 || exponent_digits > 4 || i != n) return false;  // more digits: the long way
        point_or_exponent = true;
    }
    if (i != n || !point_or_exponent) return false;  // integers are told apart before
    if (first < 0) return true;  // zero
    // The magnitude: the power of ten just above the first significant digit.
    const long magnitude = written_exponent + static_cast<long>(int_digits - first);
    return last - first + 1 <= 15 && magnitude > -300 && magnitude < 300;
}

// A REAL column's value of a field: the double of an integer, decimal or exponent literal when that double
// keeps every significant digit of the text (17.00 and 1.5e-05 do; 0.1000000000000000000001 and
// 12345678901234567 do not: the double's shortest text has other digits). False otherwise.
bool real_text(const char* field, Py_ssize_t n, double* out) {
    if (!(is_digit(field[0]) || (field[0] == '-' && n > 1 && is_digit(field[1])))) return false;
    // Most fields: an integer or decimal of at most 15 significant digits, whose double one operation gives.
    long long whole = 0;
    if (integer_text(field, n, &whole) && n - (field[0] == '-') <= 15) {
        *out = static_cast<double>(whole);
        return true;
    }
    if (surely_real(field, n) && quick_double(field, n, out)) return true;
    char small[65];  // the conversions below read up to a NUL
    std::string large;
    char* s = small;
    if (n < static_cast<Py_ssize_t>(sizeof small)) {
        std::memcpy(small, field, static_cast<size_t>(n));
        small[n] = '\0';
    } else {
        large.assign(field, static_cast<size_t>(n));
        s = large.data();
    }
    const bool integer = integer_text(s, n, &whole);
    std::string digits;
    long exponent = 0;
    bool point_or_exponent = false;
    if (!decimal_digits(s, n, digits, exponent, point_or_exponent)) return false;
    if (!integer && !point_or_exponent) return false;  // "-0": no integer as written, no decimal either
    const double v = PyOS_string_to_double(s, nullptr, nullptr);
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (!std::isfinite(v)) return false;
    *out = v;
    const long magnitude = exponent + static_cast<long>(digits.size());  // 10^(magnitude-1) <= |v| < 10^magnitude
    // At most 15 digits within the normal doubles: any two such decimals are distinct doubles, so the
    // shortest text of this one has these very digits.
    if (digits.empty() || (digits.size() <= 15 && magnitude > -300 && magnitude < 300)) return digits.empty() == (v == 0.0);
    char* written = PyOS_double_to_string(v, 'r', 0, 0, nullptr);
    if (written == nullptr) throw PyError{};
    std::string back_digits;
    long back_exponent = 0;
    bool unused = false;
    const bool parsed = decimal_digits(written, static_cast<Py_ssize_t>(std::strlen(written)), back_digits, back_exponent, unused);
    PyMem_Free(written);
    return parsed && back_digits == digits && back_exponent == exponent;
}

// What the fields of a column seen so far allow, the wider the later: none but empty fields, INTEGER (with
// "j": one of them an integer that a REAL would not keep, so that a decimal makes the column TEXT), REAL,
// TEXT. The first pass keeps one per field position.
enum Kind : char { kNone = 'n', kInteger = 'i', kWideInteger = 'j', kReal = 'r', kText = 't', kPerValue = 'v' };

// A column that allowed `k` and now holds this non-empty field too.
Kind widen(Kind k, const char* s, Py_ssize_t n) {
    if (!(is_digit(s[0]) || (s[0] == '-' && n > 1 && is_digit(s[1])))) return kText;
    double d = 0;
    long long i = 0;
    if (integer_text(s, n, &i)) {
        if (k == kReal) return n - (s[0] == '-') <= 15 || real_text(s, n, &d) ? kReal : kText;
        if (k == kWideInteger) return kWideInteger;
        return n - (s[0] == '-') <= 15 || real_text(s, n, &d) ? kInteger : kWideInteger;
    }
    if (k == kWideInteger) return kText;
    return surely_real(s, n) || real_text(s, n, &d) ? kReal : kText;
}

// How fields become values: the header's names, text (an empty field NULL), text and numbers, each
// field by its column's type, or only the column types told from the fields (no values at all).
enum class Mode { header, text, convert, typed, infer };

// A stop in the middle of the data: the line it names and what is wrong.
struct Stop {
    Py_ssize_t line;
    std::string what;
    Py_ssize_t field = -1;  // the field whose column's type refuses it, if that is what is wrong
};

// `'text'` for a message: at most 40 bytes of it, cut at a character's start.
std::string shown(const char* s, Py_ssize_t n) {
    Py_ssize_t k = n;
    if (k > 40) {
        k = 40;
        while (k > 0 && (static_cast<unsigned char>(s[k]) & 0xc0) == 0x80) --k;
    }
    std::string out(1, '\'');
    out.append(s, static_cast<size_t>(k));
    out += k < n ? "...'" : "'";
    return out;
}

// The stop for a field that is not UTF-8, naming its first byte that is not ASCII.
Stop not_utf8(const char* s, Py_ssize_t n, Py_ssize_t line) {
    Py_ssize_t bad = 0;
    while (bad < n && static_cast<unsigned char>(s[bad]) < 0x80) ++bad;
    char what[48];
    PyOS_snprintf(what, sizeof what, "not UTF-8 text (byte 0x%02x)", static_cast<unsigned char>(s[bad < n ? bad : 0]));
    return Stop{line, what};
}

// The rule every sink of values shares: a non-empty field under its column's kind is a number (true, in
// `out`) or text (false); a field its column's type would change stops the read.
bool field_number(char kind, const char* s, Py_ssize_t n, Py_ssize_t line, Py_ssize_t field, Number& out) {
    if (kind == kPerValue) return number_of(s, n, out);
    if (kind == kInteger) {
        if (!integer_text(s, n, &out.i))
            throw Stop{line, shown(s, n) + " is not an integer as written (the column is INTEGER)", field};
        out.real = false;
        return true;
    }
    if (kind == kReal) {
        if (!real_text(s, n, &out.d))
            throw Stop{line, shown(s, n) + " is not a number whose every digit a REAL keeps (the column is REAL)", field};
        out.real = true;
        return true;
    }
    return false;
}

// A sink takes what the fields of a record become, as the parser reads them: start(), then one field() per
// field, in order. `transient`: the bytes are the parser's own and change with the next field.

// The column types told from the fields: what each column's fields allow, widened field by field.
class Kinds {
public:
    explicit Kinds(std::string& kinds) : kinds_(kinds) {}
    void start() {}
    void field(Py_ssize_t field, const char* s, Py_ssize_t n, Py_ssize_t, bool) {
        if (n == 0 || field >= static_cast<Py_ssize_t>(kinds_.size())) return;
        char& kind = kinds_[static_cast<size_t>(field)];
        if (kind != kText) kind = widen(static_cast<Kind>(kind), s, n);
    }

private:
    std::string& kinds_;
};

// How a field's column converts it: by its letter (typed), by the rule of each value, or as text.
class Rule {
public:
    Rule(Mode mode, const std::string& kinds) : mode_(mode), kinds_(kinds) {}
    char kind(Py_ssize_t field) const {
        if (mode_ == Mode::typed && field < static_cast<Py_ssize_t>(kinds_.size())) return kinds_[static_cast<size_t>(field)];
        return mode_ == Mode::convert ? kPerValue : kText;
    }
    bool header() const { return mode_ == Mode::header; }

private:
    Mode mode_;
    const std::string& kinds_;
};

// Each field a Python object: None, int, float or str.
class Objects {
public:
    explicit Objects(Rule rule) : rule_(rule) {}
    void start() { values_.clear(); }
    void field(Py_ssize_t field, const char* s, Py_ssize_t n, Py_ssize_t line, bool) {
        if (n == 0 && !rule_.header()) {
            values_.push_back(Ref::borrow(Py_None));
            return;
        }
        Number v;
        if (n > 0 && field_number(rule_.kind(field), s, n, line, field, v)) {
            values_.push_back(own(v.real ? PyFloat_FromDouble(v.d) : PyLong_FromLongLong(v.i)));
            return;
        }
        PyObject* text = PyUnicode_DecodeUTF8(s, n, "strict");
        if (text == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw PyError{};
            PyErr_Clear();
            throw not_utf8(s, n, line);
        }
        values_.push_back(Ref::steal(text));
    }
    std::vector<Ref>& values() { return values_; }

private:
    Rule rule_;
    std::vector<Ref> values_;
};

// Each field an SQLite value, text pointing into the data (or, for a field the parser unescaped, into a
// copy that lasts until clear()).
class Values {
public:
    explicit Values(Rule rule) : rule_(rule) {}
    void start() { values_.clear(); }
    void field(Py_ssize_t field, const char* s, Py_ssize_t n, Py_ssize_t line, bool transient) {
        db::Value& out = values_.emplace_back();
        if (n == 0) return;  // NULL
        Number v;
        if (field_number(rule_.kind(field), s, n, line, field, v)) {
            if (v.real) {
                out.kind = db::Value::Kind::Real;
                out.d = v.d;
            } else {
                out.kind = db::Value::Kind::Int;
                out.i = v.i;
            }
            return;
        }
        if (!valid_utf8(s, static_cast<size_t>(n))) throw not_utf8(s, n, line);
        if (transient) s = copies_.emplace_back(s, static_cast<size_t>(n)).data();
        out.kind = db::Value::Kind::Text;
        out.p = s;
        out.n = static_cast<size_t>(n);
    }
    const std::vector<db::Value>& values() const { return values_; }
    void clear() { copies_.clear(); }

private:
    Rule rule_;
    std::vector<db::Value> values_;
    std::deque<std::string> copies_;  // a deque: the strings stay where they are as it grows
};

template <class Sink>
class Parser {
public:
    Parser(const char* data, Py_ssize_t size, bool final, char delimiter, Sink& sink)
        : p_(data), n_(size), final_(final), delimiter_(delimiter), sink_(sink) {}

    // Reads the record that starts at `at`, each field handed to the sink. True with `at` past it; false when the data
    // ends inside it and more is to come (`at` is left alone); a Stop when it is malformed.
    bool record(Py_ssize_t& at, Py_ssize_t first_line, Py_ssize_t& lines) {
        sink_.start();
        fields_ = 0;
        Py_ssize_t i = at;
        lines = 0;  // line ends inside quoted fields
        for (;;) {
            const char* text = p_ + i;
            Py_ssize_t len = 0;
            bool escaped = false;
            if (i < n_ && p_[i] == '"') {
                ++i;
                text = p_ + i;
                scratch_.clear();
                for (;;) {
                    const auto* q = static_cast<const char*>(std::memchr(p_ + i, '"', static_cast<size_t>(n_ - i)));
                    if (q == nullptr) {
                        if (final_) throw Stop{first_line, "a quoted field that starts here is never closed"};
                        return false;
                    }
                    const Py_ssize_t end = q - p_;
                    lines += line_ends(i, end);
                    if (end + 1 < n_ && p_[end + 1] == '"') {  // "" inside quotes is one quote
                        scratch_.append(p_ + i, static_cast<size_t>(end + 1 - i));
                        escaped = true;
                        i = end + 2;
                        continue;
                    }
                    if (end + 1 == n_ && !final_) return false;
                    if (escaped) {
                        scratch_.append(p_ + i, static_cast<size_t>(end - i));
                    } else {
                        len = end - i;
                    }
                    i = end + 1;
                    break;
                }
                if (i < n_ && p_[i] != delimiter_ && p_[i] != '\n' && p_[i] != '\r') {
                    std::string what = "'";
                    what += delimiter_ == '\t' ? "\\t" : std::string(1, delimiter_);
                    throw Stop{first_line + lines, what + "' expected after '\"'"};
                }
            } else {
                Py_ssize_t j = i;
                while (j < n_ && p_[j] != delimiter_ && p_[j] != '\n' && p_[j] != '\r') ++j;
                if (j == n_ && !final_) return false;  // the field may go on (a character's bytes too)
                len = j - i;
                i = j;
            }
            if (escaped) {
                sink_.field(fields_++, scratch_.data(), static_cast<Py_ssize_t>(scratch_.size()), first_line + lines, true);
            } else {
                sink_.field(fields_++, text, len, first_line + lines, false);
            }
            if (i < n_ && p_[i] == delimiter_) {
                ++i;
                continue;
            }
            // The record's end: a line end, or the end of the data when no more is to come.
            if (i == n_) {
                if (!final_) return false;
            } else if (p_[i] == '\n') {
                ++i;
            } else if (i + 1 < n_) {  // '\r', alone or in "\r\n"
                i += p_[i + 1] == '\n' ? 2 : 1;
            } else if (final_) {
                ++i;
            } else {
                return false;  // "\r" last: its "\n" may be in the next block
            }
            at = i;
            return true;
        }
    }

    // Skips a blank line at `at`; false when there is none (or its end is not here yet).
    bool blank_line(Py_ssize_t& at) const {
        if (at >= n_) return false;
        if (p_[at] == '\n') {
            ++at;
            return true;
        }
        if (p_[at] != '\r') return false;
        if (at + 1 < n_) {
            at += p_[at + 1] == '\n' ? 2 : 1;
            return true;
        }
        if (!final_) return false;
        ++at;
        return true;
    }

    Py_ssize_t fields() const { return fields_; }

private:
    // Line ends in p_[from, to): "\n", "\r\n" and a lone "\r" are one each, as the record ends are.
    Py_ssize_t line_ends(Py_ssize_t from, Py_ssize_t to) const {
        Py_ssize_t count = 0;
        for (Py_ssize_t k = from; k < to; ++k)
            if (p_[k] == '\n' || (p_[k] == '\r' && (k + 1 >= n_ || p_[k + 1] != '\n'))) ++count;
        return count;
    }

    const char* p_;
    Py_ssize_t n_;
    bool final_;
    char delimiter_;
    Sink& sink_;
    Py_ssize_t fields_ = 0;  // the fields of the record so far
    std::string scratch_;  // a quoted field with "" in it, unescaped
};

Py_ssize_t as_size(PyObject* o) { return check_size(PyNumber_AsSsize_t(o, PyExc_OverflowError)); }

// The arguments shared by _parse_csv and _stage_csv, read into C++ values.
struct Request {
    const char* data = nullptr;
    Py_ssize_t size = 0, pos = 0, line = 0, limit = 0;
    bool final = false;
    char delimiter = ',';
    Mode mode = Mode::text;
    std::string kinds;
    Py_ssize_t width = -1;  // -1: any number of fields (the header)
    std::vector<Py_ssize_t> order;
    bool ordered = false;

    // The field of each value of a row (-1 for NULL), for a record of `fields` fields.
    Py_ssize_t row_width(Py_ssize_t fields) const { return ordered ? static_cast<Py_ssize_t>(order.size()) : fields; }
    Py_ssize_t from(Py_ssize_t j) const { return ordered ? order[static_cast<size_t>(j)] : j; }
};

// The bytes object is held by the caller for the whole call, and nothing here runs Python code that could
// reach it: its buffer stays put.
Request read_request(PyObject* data, PyObject* pos_arg, PyObject* line_arg, PyObject* final_arg,
                     PyObject* delimiter_arg, PyObject* convert, PyObject* shape, PyObject* limit_arg) {
    if (!PyBytes_Check(data)) {
        raise(PyExc_TypeError, "data must be bytes, not %.200s", Py_TYPE(data)->tp_name);
    }
    Request r;
    r.pos = as_size(pos_arg);
    r.line = as_size(line_arg);
    r.final = check(PyObject_IsTrue(final_arg)) != 0;
    r.limit = as_size(limit_arg);
    const Py_UCS4 d = PyUnicode_Check(delimiter_arg) && check(compat::ready(delimiter_arg)) == 0 &&
                              PyUnicode_GET_LENGTH(delimiter_arg) == 1
                          ? PyUnicode_READ_CHAR(delimiter_arg, 0) : 0;
    if (d == 0 || d > 127 || d == '"' || d == '\n' || d == '\r') {
        raise(PyExc_ValueError, "delimiter must be one ASCII character other than a quote or a line end");
    }
    r.delimiter = static_cast<char>(d);
    if (convert == Py_None) {
        r.mode = Mode::header;
    } else if (PyByteArray_Check(convert)) {  // copied: a signal handler could resize it meanwhile
        r.mode = Mode::infer;
        r.kinds.assign(PyByteArray_AS_STRING(convert), static_cast<size_t>(PyByteArray_GET_SIZE(convert)));
    } else if (PyUnicode_Check(convert)) {
        r.mode = Mode::typed;
        Py_ssize_t n = 0;
        const char* letters = PyUnicode_AsUTF8AndSize(convert, &n);
        if (letters == nullptr) throw PyError{};
        r.kinds.assign(letters, static_cast<size_t>(n));
        for (char c : r.kinds)
            if (c != kInteger && c != kReal && c != kText && c != kPerValue) {
                PyErr_SetString(PyExc_ValueError, "convert: a column type is one of the letters i, r, t and v");
                throw PyError{};
            }
    } else if (check(PyObject_IsTrue(convert))) {
        r.mode = Mode::convert;
    }
    if (shape != Py_None) {
        if (!PyTuple_Check(shape) || PyTuple_GET_SIZE(shape) != 2) {
            raise(PyExc_TypeError, "shape must be None or a tuple (width, order)");
        }
        r.width = as_size(PyTuple_GET_ITEM(shape, 0));
        PyObject* positions = PyTuple_GET_ITEM(shape, 1);
        if (positions != Py_None) {
            if (!PyTuple_Check(positions)) {
                raise(PyExc_TypeError, "order must be None or a tuple of field positions");
            }
            for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(positions); ++j) {
                const Py_ssize_t p = as_size(PyTuple_GET_ITEM(positions, j));
                if (p < -1 || p >= r.width) {
                    raise(PyExc_ValueError, "order names field %zd of a record of %zd", p, r.width);
                }
                r.order.push_back(p);
            }
            r.ordered = true;
        }
    }
    r.data = PyBytes_AS_STRING(data);
    r.size = PyBytes_GET_SIZE(data);
    if (r.pos < 0 || r.pos > r.size) {
        raise(PyExc_IndexError, "pos is outside the data");
    }
    return r;
}

// Reads up to r.limit records from r.pos, each whole record handed to `take` (its number of fields), and
// moves r.pos and r.line past the last of them. Returns their number, and None or the stop as the tuple
// (line, what[, field]) when a record is malformed, ragged, not UTF-8 or refused by its column's type.
template <class Sink, class Take>
std::pair<Py_ssize_t, Ref> read_records(Request& r, Sink& sink, Take&& take) {
    Parser<Sink> parser(r.data, r.size, r.final, r.delimiter, sink);
    Py_ssize_t records = 0;
    SignalPoll poll;
    try {
        while (records < r.limit) {
            poll();
            if (parser.blank_line(r.pos)) {
                ++r.line;
                continue;
            }
            Py_ssize_t at = r.pos, inner = 0;
            if (at >= r.size || !parser.record(at, r.line + 1, inner)) break;
            const Py_ssize_t fields = parser.fields();
            if (r.width >= 0 && fields != r.width) {
                char what[96];
                PyOS_snprintf(what, sizeof what, "%zd field%s, but the header has %zd", fields, fields == 1 ? "" : "s", r.width);
                throw Stop{r.line + 1, what};
            }
            ++records;
            take(fields);
            r.pos = at;
            r.line += inner + 1;
        }
    } catch (const Stop& s) {
        Ref what = own(PyUnicode_DecodeUTF8(s.what.data(), static_cast<Py_ssize_t>(s.what.size()), "replace"));
        return {records, s.field < 0 ? own(Py_BuildValue("(nO)", s.line, what.get()))
                                     : own(Py_BuildValue("(nOn)", s.line, what.get(), s.field))};
    }
    return {records, Ref::borrow(Py_None)};
}

Ref result(PyObject* rows, const Request& r, const Ref& stop) {
    Ref pos = own(PyLong_FromSsize_t(r.pos)), line = own(PyLong_FromSsize_t(r.line));
    return own(PyTuple_Pack(4, rows, pos.get(), line.get(), stop.get()));
}

}  // namespace

// _parse_csv(data, pos, line, final, delimiter, convert, shape, limit) -> (rows, pos, line, stop)
//
// Reads up to `limit` records of the bytes `data` from offset `pos`, where line `line` has just ended;
// `final` says that no more data follows. Blank lines hold no record. `convert`: None reads the header
// (every field text), False keeps text (an empty field NULL), True makes numbers of the fields that are
// exactly a number's text; a str holds one letter per field, its column's type: "i" INTEGER, "r" REAL, "t"
// TEXT, "v" the rule of True, and a field that its column's type would change stops the read with
// (line, what, field); a bytearray, one byte per field, is the first pass: no rows are made (`rows` is
// their number) and each byte widens to what the column's fields allow: "n" (only empty fields so far)
// to "i", "j" (integers, one of them more than a REAL keeps), "r" and "t", as for the str. `shape`: None
// for the header, else (width, order): every record must have `width` fields, and with `order` (a tuple of
// field positions, -1 for none) a row holds the values in that order. Returns the rows (tuples), the
// offset and line after the last whole record (a record cut off by the end of the data is left for the
// next call), and None or (line, what is wrong) when a record is malformed, ragged or not UTF-8.
// The arguments that are read into C++ values are named `*_arg`; the values keep the plain names.
Ref parse_csv(PyObject* data, PyObject* pos_arg, PyObject* line_arg, PyObject* final_arg, PyObject* delimiter_arg,
              PyObject* convert, PyObject* shape, PyObject* limit_arg) {
    Request r = read_request(data, pos_arg, line_arg, final_arg, delimiter_arg, convert, shape, limit_arg);
    if (r.mode == Mode::infer) {
        Kinds kinds(r.kinds);
        auto [records, stop] = read_records(r, kinds, [](Py_ssize_t) {});
        std::memcpy(PyByteArray_AS_STRING(convert), r.kinds.data(),
                    std::min(r.kinds.size(), static_cast<size_t>(PyByteArray_GET_SIZE(convert))));
        return result(own(PyLong_FromSsize_t(records)).get(), r, stop);
    }
    Objects objects{Rule(r.mode, r.kinds)};
    Ref rows = own(PyList_New(0));
    auto [records, stop] = read_records(r, objects, [&](Py_ssize_t fields) {
        std::vector<Ref>& values = objects.values();
        const Py_ssize_t n = r.row_width(fields);
        // A tuple: the insert binds it as it is, where a list would be copied first.
        Ref row = own(PyTuple_New(n));
        for (Py_ssize_t j = 0; j < n; ++j) {
            const Py_ssize_t from = r.from(j);
            Ref v = from < 0 ? Ref::borrow(Py_None) : values[static_cast<size_t>(from)];
            PyTuple_SET_ITEM(row.get(), j, v.release());
        }
        check(PyList_Append(rows.get(), row.get()));
    });
    return result(rows.get(), r, stop);
}

// _stage_csv(conn, table, data, pos, line, final, delimiter, convert, shape, limit) -> (staged, pos, line, stop)
//
// _parse_csv's rows staged in `table` as they are read, through insert_temp's INSERT (a group of rows to a
// statement) and joining the caller's transaction as morvel.load(comm=False) does, each value bound without
// a Python object; returns how many were staged instead of the rows. `convert` is never the header's None
// or the first pass's bytearray, and `shape` never None.
Ref stage_csv(PyObject* conn, PyObject* table, PyObject* data, PyObject* pos_arg, PyObject* line_arg,
              PyObject* final_arg, PyObject* delimiter_arg, PyObject* convert, PyObject* shape, PyObject* limit_arg) {
    Ref name = str_of(table);
    require_plain(name.get(), "table");
    Request r = read_request(data, pos_arg, line_arg, final_arg, delimiter_arg, convert, shape, limit_arg);
    if (r.mode == Mode::header || r.mode == Mode::infer || r.width < 0) {
        raise(PyExc_ValueError, "_stage_csv stages records of a known width, converted or text");
    }
    const Py_ssize_t width = r.row_width(r.width);
    if (width == 0) raise(PyExc_ValueError, "row 0 is empty: a row holds one value per column of the table");
    Values fields{Rule(r.mode, r.kinds)};
    std::optional<db::Call> call;  // at the first row: no row, nothing sent
    std::optional<StagingInsert> insert;
    std::vector<db::Value> rows;   // the rows not yet sent, width values each
    Py_ssize_t staged = 0;
    const auto send = [&](size_t n) {
        if (!call) {
            call.emplace(conn, Py_False);
            insert.emplace(name.get(), static_cast<size_t>(width));
        }
        call->atomic.begin();
        for (size_t k = 0; k < rows.size(); k += n * static_cast<size_t>(width)) insert->send(call->cur, rows.data() + k, n);
        staged += static_cast<Py_ssize_t>(rows.size()) / width;
        rows.clear();
        fields.clear();
    };
    const size_t group = StagingInsert::group_of(static_cast<size_t>(width));
    auto [records, stop] = read_records(r, fields, [&](Py_ssize_t) {
        const std::vector<db::Value>& values = fields.values();
        for (Py_ssize_t j = 0; j < width; ++j) {
            const Py_ssize_t from = r.from(j);
            rows.push_back(from < 0 ? db::Value{} : values[static_cast<size_t>(from)]);
        }
        if (rows.size() == group * static_cast<size_t>(width)) send(group);
    });
    if (!rows.empty()) send(1);  // the rows left: one to a statement
    if (call) call->atomic.commit();
    (void)records;
    return result(own(PyLong_FromSsize_t(staged)).get(), r, stop);
}

}  // namespace morvel
