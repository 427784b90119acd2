// morvel.query_arrow: morvel.query's answer as Arrow data, handed out through the C Stream interface.
//
// The rows go, as the query answers them, into column buffers of this module's own (no Python object per
// value beyond those the read makes), cut into batches of kBatchRows rows. A column's Arrow type is known
// once every value is in: its values' kinds decide it, and only NULLs leave it to the declared type.
//   integers (and NULLs)                                  int64
//   reals, or reals and integers that a double holds      float64
//   texts                                                 utf8
//   blobs                                                 binary
//   any other mix without a blob                          utf8, each value as CAST(value AS TEXT) writes it
//   any other mix with a blob                             binary, each value as CAST(value AS BLOB) makes it
//   only NULLs (or no row)                                by the declared type's affinity: INTEGER int64,
//                                                         REAL float64, TEXT utf8, a type naming BLOB binary;
//                                                         NUMERIC or no type: null
// Reals in a text or binary column are written by the connection's SQLite (a statement of CASTs), whose
// digits differ between versions. Everything the stream and its arrays hold is C++ data, shared by every
// stream and array taken from one answer: their callbacks, which a consumer may call on any thread without
// the interpreter lock, touch no Python object.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "answer_sink.hpp"
#include "arrow.hpp"
#include "callables.hpp"
#include "connection.hpp"

namespace morvel {

namespace to_arrow {
namespace {

using arrow::ArrowArray;
using arrow::ArrowArrayStream;
using arrow::ArrowSchema;

// The declared types, read only when a column holds nothing but NULLs.
constexpr std::string_view kDeclaredTypes = "PRAGMA table_info({})";

// Reals as the connection's SQLite writes them, this many in one statement of one row.
constexpr std::string_view kCastFirst = "SELECT CAST(? AS TEXT)";
constexpr std::string_view kCastNext = ", CAST(? AS TEXT)";
constexpr Py_ssize_t kCastsAtOnce = 100;

constexpr const char* kAnswerCapsule = "morvel.arrow_answer";

constexpr int64_t kBatchRows = 65536;
// A batch's texts and blobs stay within what 32-bit offsets reach, with room for the numbers of a column that
// turns to text (24 characters each at most).
constexpr int64_t kNumberText = 24;
constexpr int64_t kBatchBytes = INT32_MAX - kNumberText * kBatchRows;

enum Kind : uint8_t { KNull, KInt, KReal, KText, KBlob };
constexpr unsigned bit(Kind k) { return 1u << k; }

enum class Type : uint8_t { Null, Int64, Float64, Utf8, Binary };

const char* format_of(Type t) {
    switch (t) {
        case Type::Int64: return "l";
        case Type::Float64: return "g";
        case Type::Utf8: return "u";
        case Type::Binary: return "z";
        default: return "n";
    }
}

const char* name_of(Type t) {
    switch (t) {
        case Type::Int64: return "int64";
        case Type::Float64: return "float64";
        case Type::Utf8: return "utf8";
        case Type::Binary: return "binary";
        default: return "null";
    }
}

// The answer's type of a column from the kinds of its values (a bit per Kind, NULL left out).
Type type_of(unsigned kinds, bool inexact_int) {
    if (kinds == bit(KInt)) return Type::Int64;
    if (kinds == bit(KReal) || (kinds == (bit(KInt) | bit(KReal)) && !inexact_int)) return Type::Float64;
    if (kinds & bit(KBlob)) return Type::Binary;
    return Type::Utf8;
}

bool contains_ascii(std::string_view s, std::string_view word) {
    if (word.size() > s.size()) return false;
    for (size_t i = 0; i + word.size() <= s.size(); ++i) {
        size_t j = 0;
        while (j < word.size() && (s[i + j] & ~0x20) == word[j]) ++j;
        if (j == word.size()) return true;
    }
    return false;
}

// The type of a column of NULLs, from its declared type's affinity, in the order SQLite decides it.
Type declared_type(std::string_view declared) {
    if (contains_ascii(declared, "INT")) return Type::Int64;
    if (contains_ascii(declared, "CHAR") || contains_ascii(declared, "CLOB") || contains_ascii(declared, "TEXT"))
        return Type::Utf8;
    if (contains_ascii(declared, "BLOB")) return Type::Binary;
    if (declared.empty()) return Type::Null;
    if (contains_ascii(declared, "REAL") || contains_ascii(declared, "FLOA") || contains_ascii(declared, "DOUB"))
        return Type::Float64;
    return Type::Null;
}

bool double_holds(long long v) {
    const double d = static_cast<double>(v);
    return d >= -9223372036854775808.0 && d < 9223372036854775808.0 && static_cast<long long>(d) == v;
}

int64_t bits_of(double d) {
    int64_t w;
    std::memcpy(&w, &d, sizeof w);
    return w;
}

double double_of(int64_t w) {
    double d;
    std::memcpy(&d, &w, sizeof d);
    return d;
}

// A str's UTF-8 bytes, at most this many.
size_t utf8_bound(PyObject* s) {
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
    if (PyUnicode_IS_ASCII(s)) return n;
    return n * (PyUnicode_KIND(s) == PyUnicode_1BYTE_KIND ? 2 : PyUnicode_KIND(s) == PyUnicode_2BYTE_KIND ? 3 : 4);
}

void append(std::vector<char>& out, const char* p, size_t n) { out.insert(out.end(), p, p + n); }

// Appends a str as UTF-8; a lone surrogate raises the encoding error that str.encode() raises.
void append_utf8(std::vector<char>& out, PyObject* s) {
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
    if (PyUnicode_IS_ASCII(s)) return append(out, static_cast<const char*>(PyUnicode_DATA(s)), n);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const size_t at = out.size();
    out.resize(at + utf8_bound(s));
    auto* p = reinterpret_cast<unsigned char*>(out.data() + at);
    for (size_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, static_cast<Py_ssize_t>(i));
        if (c < 0x80) {
            *p++ = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            *p++ = static_cast<unsigned char>(0xC0 | (c >> 6));
            *p++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) {
                out.resize(at);
                Py_ssize_t size = 0;
                if (PyUnicode_AsUTF8AndSize(s, &size) == nullptr) throw PyError{};
                raise(PyExc_SystemError, "morvel: a text failed to encode once only");
            }
            *p++ = static_cast<unsigned char>(0xE0 | (c >> 12));
            *p++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else {
            *p++ = static_cast<unsigned char>(0xF0 | (c >> 18));
            *p++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            *p++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    out.resize(static_cast<size_t>(reinterpret_cast<char*>(p) - out.data()));
}

template <class T>
void free_vector(std::vector<T>& v) {
    std::vector<T>().swap(v);
}

// One column of one batch. While rows come, it holds the values as they are, whatever their kinds; once the
// column's type is known (settle), exactly that type's Arrow buffers.
struct Part {
    int64_t n = 0, nulls = 0;
    std::vector<uint8_t> valid;    // a bit per value, 0 for NULL; empty while no value is NULL
    std::vector<int64_t> words;    // integers, or the bits of reals; empty until the first number
    std::vector<int32_t> offsets;  // where each text or blob ends, after a leading 0; empty until the first
    std::vector<char> bytes;
    std::vector<uint8_t> kinds;    // each value's Kind, once a second kind has come
    Kind only = KNull;             // while `kinds` is empty: the kind of every value that is not NULL

    bool is_null(int64_t i) const { return !valid.empty() && !((valid[static_cast<size_t>(i >> 3)] >> (i & 7)) & 1); }
    Kind kind_at(int64_t i) const {
        if (!kinds.empty()) return static_cast<Kind>(kinds[static_cast<size_t>(i)]);
        return is_null(i) ? KNull : only;
    }

    // The common cases inline, the rest out of line: this runs for every value.
    void present(bool yes) {
        if (yes && valid.empty()) return;
        mark(yes);
    }
    void kind(Kind k) {
        if (k == only && kinds.empty()) return;
        change(k);
    }

    void add_null() {
        present(false);
        placeholders(true, true);
        if (!kinds.empty()) kinds.push_back(KNull);
        ++n;
    }
    void add_number(Kind k, int64_t w) {
        present(true);
        kind(k);
        if (words.empty()) start_words();
        words.push_back(w);
        placeholders(false, true);
        ++n;
    }
    // A text or a blob: its bytes go to `bytes` between these two.
    void begin_bytes(Kind k) {
        present(true);
        kind(k);
        placeholders(true, false);
        if (offsets.empty()) start_offsets();
    }
    void end_bytes() {
        offsets.push_back(static_cast<int32_t>(bytes.size()));
        ++n;
    }

    [[gnu::noinline]] void mark(bool yes) {
        const size_t at = static_cast<size_t>(n >> 3);
        if (valid.empty()) {
            valid.reserve(static_cast<size_t>(kBatchRows / 8));
            valid.assign(at + 1, 0xFF);
        } else if (at >= valid.size()) {
            valid.push_back(0xFF);
        }
        if (!yes) {
            valid[at] = static_cast<uint8_t>(valid[at] & ~(1u << (n & 7)));
            ++nulls;
        }
    }
    [[gnu::noinline]] void change(Kind k) {
        if (kinds.empty()) {
            if (only == KNull) {
                only = k;
                return;
            }
            kinds.reserve(static_cast<size_t>(kBatchRows));
            for (int64_t i = 0; i < n; ++i) kinds.push_back(is_null(i) ? KNull : only);
        }
        kinds.push_back(k);
    }
    void placeholders(bool word, bool end) {
        if (word && !words.empty()) words.push_back(0);
        if (end && !offsets.empty()) offsets.push_back(offsets.back());
    }
    [[gnu::noinline]] void start_words() {
        words.reserve(static_cast<size_t>(kBatchRows));
        words.resize(static_cast<size_t>(n));
    }
    [[gnu::noinline]] void start_offsets() {
        offsets.reserve(static_cast<size_t>(kBatchRows + 1));
        offsets.resize(static_cast<size_t>(n + 1));
    }

    // Takes the last value off again.
    void pop() {
        --n;
        if (!valid.empty()) {
            const size_t at = static_cast<size_t>(n >> 3);
            if (is_null(n)) {
                valid[at] = static_cast<uint8_t>(valid[at] | (1u << (n & 7)));
                --nulls;
            }
            if ((n & 7) == 0) valid.pop_back();
        }
        if (static_cast<int64_t>(words.size()) > n) words.pop_back();
        if (static_cast<int64_t>(kinds.size()) > n) kinds.pop_back();
        if (!offsets.empty()) {
            offsets.pop_back();
            bytes.resize(static_cast<size_t>(offsets.back()));
        }
    }

    // The values in the opposite order, in place.
    void reverse() {
        for (int64_t i = 0, j = n - 1; !valid.empty() && i < j; ++i, --j) {
            const bool a = !is_null(i), b = !is_null(j);
            if (a == b) continue;
            valid[static_cast<size_t>(i >> 3)] ^= static_cast<uint8_t>(1u << (i & 7));
            valid[static_cast<size_t>(j >> 3)] ^= static_cast<uint8_t>(1u << (j & 7));
        }
        std::reverse(words.begin(), words.end());
        std::reverse(kinds.begin(), kinds.end());
        if (offsets.empty()) return;
        for (size_t i = static_cast<size_t>(n); i > 0; --i) offsets[i] -= offsets[i - 1];  // each value's size
        std::reverse(offsets.begin() + 1, offsets.end());
        for (size_t i = 1; i <= static_cast<size_t>(n); ++i) offsets[i] += offsets[i - 1];
        std::reverse(bytes.begin(), bytes.end());
        for (size_t i = 0; i < static_cast<size_t>(n); ++i)
            std::reverse(bytes.begin() + offsets[i], bytes.begin() + offsets[i + 1]);
    }
};

struct Batch {
    int64_t rows = 0;
    std::vector<Part> parts;
};

struct Column {
    std::string name;
    Type type = Type::Null;
};

// A whole answer, unchanged once made; every stream and array taken from it shares it.
struct Data {
    std::vector<Column> columns;
    std::vector<Batch> batches;
    int64_t rows = 0;
};

// The texts that CAST(real AS TEXT) makes on the connection, in order.
std::vector<std::string> cast_texts(db::Cursor& cur, const std::vector<double>& reals) {
    std::vector<std::string> out;
    out.reserve(reals.size());
    Ref statement;
    Py_ssize_t statement_size = 0;
    for (size_t at = 0; at < reals.size();) {
        const Py_ssize_t k = static_cast<Py_ssize_t>(std::min<size_t>(reals.size() - at, kCastsAtOnce));
        if (k != statement_size) {
            TextBuilder b;
            b.ascii(kCastFirst);
            for (Py_ssize_t i = 1; i < k; ++i) b.ascii(kCastNext);
            statement = b.finish();
            statement_size = k;
        }
        Ref params = own(PyList_New(k));
        for (Py_ssize_t i = 0; i < k; ++i) PyList_SET_ITEM(params.get(), i, own(PyFloat_FromDouble(reals[at++])).release());
        Ref rows = db::query(cur, statement.get(), params.get());
        Ref row = item_at(rows.get(), 0);
        for (Py_ssize_t i = 0; i < k; ++i) {
            Ref text = item_at(row.get(), i);
            Py_ssize_t size = 0;
            const char* p = nullptr;
            if (PyUnicode_Check(text.get())) {
                p = PyUnicode_AsUTF8AndSize(text.get(), &size);
                if (p == nullptr) throw PyError{};
            } else if (PyBytes_Check(text.get())) {
                p = PyBytes_AS_STRING(text.get());
                size = PyBytes_GET_SIZE(text.get());
            } else {
                raise(PyExc_TypeError, "query_arrow: CAST(real AS TEXT) answered %.200s", Py_TYPE(text.get())->tp_name);
            }
            if (size > kNumberText) raise(PyExc_OverflowError, "query_arrow: CAST(real AS TEXT) answered %zd characters", size);
            out.emplace_back(p, static_cast<size_t>(size));
        }
    }
    return out;
}

// Turns one part into the buffers of its column's type: in place where the values are of that type already,
// through buffers of its own (one batch at a time) where they must be written as text.
void settle(Part& p, Type type, db::Cursor& cur) {
    const size_t n = static_cast<size_t>(p.n);
    switch (type) {
        case Type::Null:
            p = Part{p.n, p.n};
            return;
        case Type::Int64:
        case Type::Float64:
            if (p.words.empty()) p.words.resize(n);
            if (type == Type::Float64 && (p.only == KInt || !p.kinds.empty()))
                for (size_t i = 0; i < n; ++i)
                    if (p.kind_at(static_cast<int64_t>(i)) == KInt) p.words[i] = bits_of(static_cast<double>(p.words[i]));
            free_vector(p.kinds);
            free_vector(p.offsets);
            free_vector(p.bytes);
            return;
        default:
            break;
    }
    const bool numbers = p.kinds.empty() ? (p.only == KInt || p.only == KReal)
                                         : std::any_of(p.kinds.begin(), p.kinds.end(),
                                                       [](uint8_t k) { return k == KInt || k == KReal; });
    if (numbers) {
        std::vector<double> reals;
        for (size_t i = 0; i < n; ++i)
            if (p.kind_at(static_cast<int64_t>(i)) == KReal) reals.push_back(double_of(p.words[i]));
        const std::vector<std::string> texts = cast_texts(cur, reals);
        std::vector<int32_t> offsets;
        offsets.reserve(n + 1);
        offsets.push_back(0);
        std::vector<char> bytes;
        bytes.reserve(p.bytes.size() + n * 8);
        size_t next_real = 0;
        for (size_t i = 0; i < n; ++i) {
            switch (p.kind_at(static_cast<int64_t>(i))) {
                case KInt: {
                    char digits[24];
                    const auto done = std::to_chars(digits, digits + sizeof digits, p.words[i]);
                    append(bytes, digits, static_cast<size_t>(done.ptr - digits));
                    break;
                }
                case KReal:
                    append(bytes, texts[next_real].data(), texts[next_real].size());
                    ++next_real;
                    break;
                case KText:
                case KBlob:
                    append(bytes, p.bytes.data() + p.offsets[i], static_cast<size_t>(p.offsets[i + 1] - p.offsets[i]));
                    break;
                default:
                    break;
            }
            offsets.push_back(static_cast<int32_t>(bytes.size()));
        }
        p.offsets.swap(offsets);
        p.bytes.swap(bytes);
    }
    if (p.offsets.empty()) p.offsets.resize(n + 1);
    free_vector(p.words);
    free_vector(p.kinds);
    if (p.bytes.capacity() > p.bytes.size() + p.bytes.size() / 4 + 4096) p.bytes.shrink_to_fit();
}

// The rows of one query_arrow call, column by column.
class Builder final : public AnswerSink {
public:
    void columns(PyObject* cols, const std::vector<Py_ssize_t>& out) override {
        out_ = out;
        for (Py_ssize_t c : out) {
            PyObject* name = PyList_GET_ITEM(cols, c);
            Ref text = PyUnicode_Check(name) ? Ref::borrow(name) : str_of(name);
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
            if (utf8 == nullptr) throw PyError{};
            data_->columns.push_back(Column{std::string(utf8, static_cast<size_t>(size)), Type::Null});
            names_.push_back(std::move(text));
        }
        kinds_.assign(out.size(), 0);
        inexact_.assign(out.size(), false);
        values_.resize(out.size());
    }

    void row(PyObject* row, const std::vector<Py_ssize_t>& slot) override {
        const size_t ncols = out_.size();
        const bool tuple = PyTuple_CheckExact(row);
        for (size_t c = 0; c < ncols; ++c) {
            const Py_ssize_t at = slot[static_cast<size_t>(out_[c])];
            if (tuple && at >= 0 && at < PyTuple_GET_SIZE(row)) {
                values_[c] = PyTuple_GET_ITEM(row, at);
            } else {
                held_.push_back(item_at(row, at));
                values_[c] = held_.back().get();
            }
        }
        if (open_ == nullptr || open_->rows == kBatchRows) open();
        for (size_t c = 0; c < ncols; ++c) {
            if (add(c, values_[c])) continue;
            // Its texts would not fit the batch: the row begins the next one.
            for (size_t d = 0; d < c; ++d) open_->parts[d].pop();
            open();
            for (size_t d = 0; d < ncols; ++d) add(d, values_[d]);
            break;
        }
        ++open_->rows;
        held_.clear();
    }

    void reverse() override {
        close();
        std::reverse(data_->batches.begin(), data_->batches.end());
        for (Batch& b : data_->batches)
            for (Part& p : b.parts) p.reverse();
    }

    void finish(db::Cursor& cur, PyObject* table) override {
        close();
        std::vector<Column>& columns = data_->columns;
        bool unknown = false;
        for (size_t c = 0; c < columns.size(); ++c) {
            if (kinds_[c] == 0)
                unknown = true;
            else
                columns[c].type = type_of(kinds_[c], inexact_[c]);
        }
        if (unknown) {
            Ref info = db::query(cur, sql(kDeclaredTypes, {table}).get());
            std::vector<Ref> declared;
            for (ForEach it(info.get()); Ref row = it.next();) declared.push_back(item_at(row.get(), 2));
            for (size_t c = 0; c < columns.size(); ++c) {
                const size_t at = static_cast<size_t>(out_[c]);
                if (kinds_[c] != 0 || at >= declared.size() || !PyUnicode_Check(declared[at].get())) continue;
                Py_ssize_t size = 0;
                const char* text = PyUnicode_AsUTF8AndSize(declared[at].get(), &size);
                if (text == nullptr) throw PyError{};
                columns[c].type = declared_type({text, static_cast<size_t>(size)});
            }
        }
        for (Batch& b : data_->batches) {
            for (size_t c = 0; c < columns.size(); ++c) settle(b.parts[c], columns[c].type, cur);
            data_->rows += b.rows;
        }
    }

    std::shared_ptr<const Data> take() { return std::move(data_); }
    const std::vector<Ref>& names() const { return names_; }

private:
    void open() {
        close();
        data_->batches.emplace_back();
        open_ = &data_->batches.back();
        open_->parts.resize(out_.size());
    }

    void close() {
        if (open_ == nullptr) return;
        if (open_->rows == 0) data_->batches.pop_back();
        open_ = nullptr;
    }

    // Adds a value to the open batch; false, with nothing added, when its bytes would not fit (a value too large
    // for a batch of its own raises).
    bool add(size_t c, PyObject* v) {
        Part& p = open_->parts[c];
        PyTypeObject* type = Py_TYPE(v);
        if (v == Py_None) {
            p.add_null();
        } else if (type == &PyLong_Type || (type != &PyFloat_Type && type != &PyUnicode_Type && PyLong_Check(v))) {
            int overflow = 0;
            const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (overflow != 0)
                raise(PyExc_OverflowError, "query_arrow: column %U holds an integer beyond 64 bits", names_[c].get());
            if (x == -1 && PyErr_Occurred()) throw PyError{};
            p.add_number(KInt, x);
            kinds_[c] |= bit(KInt);
            if (!inexact_[c] && !double_holds(x)) inexact_[c] = true;
        } else if (type == &PyFloat_Type || (type != &PyUnicode_Type && PyFloat_Check(v))) {
            p.add_number(KReal, bits_of(PyFloat_AS_DOUBLE(v)));
            kinds_[c] |= bit(KReal);
        } else if (PyUnicode_Check(v)) {
            check(compat::ready(v));
            if (!room(p, c, utf8_bound(v))) return false;
            p.begin_bytes(KText);
            append_utf8(p.bytes, v);
            if (p.bytes.size() > static_cast<size_t>(kBatchBytes)) too_large(c);
            p.end_bytes();
            kinds_[c] |= bit(KText);
        } else if (PyBytes_Check(v) || PyByteArray_Check(v)) {
            const bool bytes = PyBytes_Check(v);
            const size_t size = static_cast<size_t>(bytes ? PyBytes_GET_SIZE(v) : PyByteArray_GET_SIZE(v));
            if (!room(p, c, size)) return false;
            if (size > static_cast<size_t>(kBatchBytes)) too_large(c);
            p.begin_bytes(KBlob);
            append(p.bytes, bytes ? PyBytes_AS_STRING(v) : PyByteArray_AS_STRING(v), size);
            p.end_bytes();
            kinds_[c] |= bit(KBlob);
        } else {
            raise(PyExc_TypeError, "query_arrow: column %U holds a value of type %.200s, which no Arrow column of "
                                   "SQLite values takes", names_[c].get(), type->tp_name);
        }
        return true;
    }

    // Whether `size` more bytes fit the open batch's part; a batch without rows takes any value that fits at all.
    bool room(const Part& p, size_t c, size_t size) const {
        (void)c;
        return open_->rows == 0 || p.bytes.size() + size <= static_cast<size_t>(kBatchBytes);
    }

    [[noreturn]] void too_large(size_t c) const {
        raise(PyExc_OverflowError, "query_arrow: a value of column %U takes more than 2 GiB", names_[c].get());
    }

    std::shared_ptr<Data> data_ = std::make_shared<Data>();
    Batch* open_ = nullptr;  // the batch that takes the next row; null: a new one begins
    std::vector<Py_ssize_t> out_;
    std::vector<Ref> names_;
    std::vector<unsigned> kinds_;  // per column: a bit per Kind met (NULL left out)
    std::vector<bool> inexact_;    // per column: an integer met that a double does not hold
    std::vector<PyObject*> values_;
    std::vector<Ref> held_;
};

// ---------------------------------------------------------------------------------------------------
// The C Data and C Stream interfaces. Every callback below may run on any thread, without the interpreter
// lock: they read and free C++ data only, and no exception leaves them.

const char kNoBytes[1] = {0};

struct SchemaChild {
    std::string name;
};

void release_schema_child(ArrowSchema* s) noexcept {
    std::unique_ptr<SchemaChild> gone(static_cast<SchemaChild*>(s->private_data));
    s->release = nullptr;
}

struct SchemaTop {
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema*> pointers;
};

void release_schema_top(ArrowSchema* s) noexcept {
    std::unique_ptr<SchemaTop> top(static_cast<SchemaTop*>(s->private_data));
    for (ArrowSchema* child : top->pointers)  // a child moved out has been released by its new owner
        if (child->release != nullptr) child->release(child);
    s->release = nullptr;
}

int export_schema(const Data& d, ArrowSchema* out) noexcept {
    try {
        const size_t n = d.columns.size();
        auto top = std::make_unique<SchemaTop>();
        top->children.resize(n);
        top->pointers.resize(n);
        std::vector<std::unique_ptr<SchemaChild>> made;
        for (const Column& c : d.columns) made.push_back(std::make_unique<SchemaChild>(SchemaChild{c.name}));
        for (size_t c = 0; c < n; ++c) {
            ArrowSchema& child = top->children[c];
            child = ArrowSchema{format_of(d.columns[c].type), made[c]->name.c_str(), nullptr, arrow::kFlagNullable, 0,
                                nullptr, nullptr, release_schema_child, made[c].release()};
            top->pointers[c] = &child;
        }
        *out = ArrowSchema{"+s", "", nullptr, 0, static_cast<int64_t>(n), top->pointers.data(), nullptr,
                           release_schema_top, nullptr};
        out->private_data = top.release();
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

struct ArrayChild {
    std::shared_ptr<const Data> data;
    const void* buffers[3] = {nullptr, nullptr, nullptr};
};

void release_array_child(ArrowArray* a) noexcept {
    std::unique_ptr<ArrayChild> gone(static_cast<ArrayChild*>(a->private_data));
    a->release = nullptr;
}

struct ArrayTop {
    std::shared_ptr<const Data> data;
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> pointers;
    const void* buffers[1] = {nullptr};
};

void release_array_top(ArrowArray* a) noexcept {
    std::unique_ptr<ArrayTop> top(static_cast<ArrayTop*>(a->private_data));
    for (ArrowArray* child : top->pointers)
        if (child->release != nullptr) child->release(child);
    a->release = nullptr;
}

int export_batch(const std::shared_ptr<const Data>& d, size_t at, ArrowArray* out) noexcept {
    try {
        const Batch& batch = d->batches[at];
        const size_t n = d->columns.size();
        auto top = std::make_unique<ArrayTop>();
        top->data = d;
        top->children.resize(n);
        top->pointers.resize(n);
        std::vector<std::unique_ptr<ArrayChild>> made;
        for (size_t c = 0; c < n; ++c) made.push_back(std::make_unique<ArrayChild>(ArrayChild{d, {}}));
        for (size_t c = 0; c < n; ++c) {
            const Part& p = batch.parts[c];
            const Type type = d->columns[c].type;
            ArrayChild& own = *made[c];
            own.buffers[0] = p.nulls > 0 ? p.valid.data() : nullptr;
            int64_t buffers = 0;
            if (type == Type::Int64 || type == Type::Float64) {
                own.buffers[1] = p.words.data();
                buffers = 2;
            } else if (type == Type::Utf8 || type == Type::Binary) {
                own.buffers[1] = p.offsets.data();
                own.buffers[2] = p.bytes.empty() ? static_cast<const void*>(kNoBytes) : p.bytes.data();
                buffers = 3;
            }
            ArrowArray& child = top->children[c];
            child = ArrowArray{p.n, type == Type::Null ? p.n : p.nulls, 0, buffers, 0, own.buffers, nullptr, nullptr,
                               release_array_child, made[c].release()};
            top->pointers[c] = &child;
        }
        *out = ArrowArray{batch.rows, 0, 0, 1, static_cast<int64_t>(n), top->buffers, top->pointers.data(), nullptr,
                          release_array_top, nullptr};
        out->private_data = top.release();
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

struct StreamState {
    std::shared_ptr<const Data> data;
    size_t next = 0;
    const char* error = nullptr;
};

StreamState& state_of(ArrowArrayStream* s) { return *static_cast<StreamState*>(s->private_data); }

int stream_schema(ArrowArrayStream* s, ArrowSchema* out) noexcept {
    StreamState& st = state_of(s);
    const int rc = export_schema(*st.data, out);
    st.error = rc == 0 ? nullptr : "out of memory";
    return rc;
}

int stream_next(ArrowArrayStream* s, ArrowArray* out) noexcept {
    StreamState& st = state_of(s);
    if (st.next >= st.data->batches.size()) {  // the end: a released array
        *out = ArrowArray{};
        return 0;
    }
    const int rc = export_batch(st.data, st.next, out);
    st.error = rc == 0 ? nullptr : "out of memory";
    if (rc == 0) ++st.next;
    return rc;
}

const char* stream_error(ArrowArrayStream* s) noexcept { return state_of(s).error; }

void release_stream(ArrowArrayStream* s) noexcept {
    std::unique_ptr<StreamState> gone(static_cast<StreamState*>(s->private_data));
    s->release = nullptr;
}

// The capsule of a stream owns it until a consumer moves it out (leaving it released).
void drop_stream(PyObject* capsule) noexcept {
    std::unique_ptr<arrow::Stream> held(static_cast<arrow::Stream*>(PyCapsule_GetContext(capsule)));
}

void drop_answer(PyObject* capsule) noexcept {
    std::unique_ptr<std::shared_ptr<const Data>> held(
        static_cast<std::shared_ptr<const Data>*>(PyCapsule_GetPointer(capsule, kAnswerCapsule)));
}

}  // namespace
}  // namespace to_arrow

using to_arrow::Builder;
using to_arrow::Column;
using to_arrow::Data;

Ref query_arrow(PyObject* conn, PyObject* table, PyObject* where, PyObject* params, PyObject* columns,
                PyObject* order_by, PyObject* limit) {
    Builder builder;
    Ref rows = query_into(conn, table, where, params, columns, order_by, limit, builder);
    std::shared_ptr<const Data> data = builder.take();
    Ref column_names = own(PyList_New(0)), types = own(PyList_New(0));
    for (const Ref& name : builder.names()) check(PyList_Append(column_names.get(), name.get()));
    for (const Column& c : data->columns) check(PyList_Append(types.get(), own(PyUnicode_FromString(to_arrow::name_of(c.type))).get()));
    auto held = std::make_unique<std::shared_ptr<const Data>>(std::move(data));
    Ref answer = own(PyCapsule_New(held.get(), to_arrow::kAnswerCapsule, to_arrow::drop_answer));
    held.release();
    return own(PyTuple_Pack(4, answer.get(), rows.get(), column_names.get(), types.get()));
}

Ref arrow_stream(PyObject* answer, PyObject* requested_schema) {
    // A requested schema is a wish the interface lets a producer pass over: the answer's types are its own.
    (void)requested_schema;
    using namespace to_arrow;
    if (!PyCapsule_IsValid(answer, kAnswerCapsule))
        raise(PyExc_TypeError, "answer must be what _query_arrow answers, not %.200s", Py_TYPE(answer)->tp_name);
    const auto* data = static_cast<std::shared_ptr<const Data>*>(PyCapsule_GetPointer(answer, kAnswerCapsule));
    auto stream_state = std::make_unique<StreamState>();
    stream_state->data = *data;
    auto held = std::make_unique<arrow::Stream>();
    ArrowArrayStream* s = held->get();
    *s = ArrowArrayStream{stream_schema, stream_next, stream_error, release_stream, stream_state.release()};
    Ref capsule = own(PyCapsule_New(s, arrow::kStreamCapsule, drop_stream));
    check(PyCapsule_SetContext(capsule.get(), held.get()));
    held.release();
    return capsule;
}

}  // namespace morvel
