// morvel.query: the rows that the main table will hold once its staged rows are merged, answered before
// the merge, at the cost of reading the candidate rows once. The merge's rule, restated on key tuples:
// a staged row survives unless a newer staged row has an equal tuple for some unique key; a main row
// survives unless any staged row has an equal tuple for some key (a superseded staged row included: the
// merge looks its values up too). Staged tuples compare as the merge compares them among themselves, by
// value (1 equals 1.0, text never equals a blob); a main row's tuple is matched as the merge's look-ups match
// it, by SQL `=` under each main column's collation. A tuple that holds NULL equals nothing.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "answer_sink.hpp"
#include "callables.hpp"
#include "catalog.hpp"
#include "compat.hpp"
#include "connection.hpp"
#include "function.hpp"
#include "key_set.hpp"
#include "state.hpp"
#include "transaction.hpp"

namespace morvel {

namespace {

// The statements: after "rowid" come ',"a","b"', the columns a pass needs, in table order. The caller's
// condition and ordering sit on lines of their own, so that a trailing `--` comment cannot swallow the rest.

// The staged rows newest first, as the merge reads them, a bounded number at a time (rowid <= the one
// before the last row read): what the call holds beyond its answer grows with the staged key tuples, not
// with every staged row at once.
constexpr std::string_view kStagedNewestFirst = R"(
            SELECT rowid{}
            FROM temp_{}
            WHERE rowid <= ?
            ORDER BY rowid DESC
            LIMIT 16384
        )";
constexpr Py_ssize_t kStagedChunk = 16384;

// The same, of the staged rows that a condition on their key columns may select (staged_among).
constexpr std::string_view kStagedNewestFirstAmong = R"(
            SELECT rowid{}
            FROM temp_{}
            WHERE rowid <= ? AND ({})
            ORDER BY rowid DESC
            LIMIT 16384
        )";
// One part of that condition: a column's value is one that given rows of a table hold, compared as stored
// (`+` takes the columns' affinity away) under a collation.
constexpr std::string_view kAmongHead = "+{} COLLATE {} IN (";
constexpr std::string_view kAmongRows = "SELECT +{} FROM {} WHERE rowid IN (";
constexpr std::string_view kAmongOne = "+{} COLLATE {} = (SELECT +{} FROM {} WHERE rowid = ?)";
// The rowids of a condition, at most: fewer than any SQLite's limit on parameters.
constexpr size_t kAmongRowids = 900;

// The candidate rows of one table in rowid order, a page at a time: from a rowid on (the first one, then
// the one after the last row read), at most a number of rows. Both are written into the text, so that the
// caller's parameters, positional or named, stay the statement's only ones. A call holds one page at once
// and reads no further page once its answer is full.
constexpr std::string_view kPage = R"(
            SELECT rowid{}
            FROM {}
            WHERE rowid >= {}
            ORDER BY rowid
            LIMIT {}
        )";

constexpr std::string_view kMatchingPage = R"(
            SELECT rowid{}
            FROM {}
            WHERE rowid >= {} AND (
{}
            )
            ORDER BY rowid
            LIMIT {}
        )";

// Pages and reads are of this many rows at most; with a limit the first one is of about the rows still
// wanted (at least kFirstRows), and each next one twice the one before.
constexpr Py_ssize_t kPageRows = 16384, kFirstRows = 64;

// With a callback, the answer is handed out in lists of this many rows (the last one shorter).
constexpr Py_ssize_t kPartRows = 1024;

// A condition that selects at most this many rows of both tables together is selective: those rows are held
// while their tuples alone are looked for among the staged ones.
constexpr size_t kFewRows = 1024;

// Staged and main rows as one ordered stream; the source (1 staged, 0 main) and the rowid lead each row.
// The rowid keeps its name, so that the condition and the ordering may use it as on one table. Rows that
// the caller's ordering leaves tied come staged first, then by rowid: the order is total, so that an
// answer with a limit is the start of the one without.
constexpr std::string_view kOrderedHead = R"(
            SELECT * FROM (
                SELECT 1 AS morvel_source_, rowid AS rowid, * FROM temp_{}
                UNION ALL
                SELECT 0, rowid, * FROM {}
            ))";
constexpr std::string_view kOrderedWhere = R"(
            WHERE (
{}
            ))";
constexpr std::string_view kOrderedTail = R"(
            ORDER BY
{}
            , morvel_source_ DESC, rowid
        )";

// The table's CREATE TABLE text, which holds each column's collation; a temporary table of the name first,
// as every unqualified name resolves to it first.
constexpr std::string_view kTableText = R"(
            SELECT sql FROM (
                SELECT 0 AS o, sql FROM sqlite_temp_master WHERE type = 'table' AND name = '{}' COLLATE NOCASE
                UNION ALL
                SELECT 1, sql FROM sqlite_master WHERE type = 'table' AND name = '{}' COLLATE NOCASE
            )
            ORDER BY o
            LIMIT 1
        )";

// The main rows that share a key's values with some staged row, found by the merge's own join: SQL `=`
// under the main column's collation, for a collation that only SQLite knows.
constexpr std::string_view kJoined = R"(
            SELECT m.rowid
            FROM temp_{} AS s CROSS JOIN {} AS m
            ON {}
        )";

// With indexed staging (staging.cpp), the whole answer in one statement that seeks in the staging table's
// indexes: staged rows that no newer staged row repeats for some key, then main rows that no staged row
// repeats. Staged rows compare by value, as the merge compares them among themselves: the staging column's
// own `=` finds the candidates through its index, and `=` under BINARY keeps those equal by value. A main
// row is matched as the merge's join matches it: the main column's `=` (the left operand's collation).
// NULL equals nothing under `=`. The condition, the ordering and the limit apply to the two as one table.
constexpr std::string_view kIndexedHead = R"(
            SELECT * FROM (
                SELECT 1 AS morvel_source_, rowid AS rowid, * FROM temp_{} AS s
                WHERE {}
                UNION ALL
                SELECT 0, rowid, * FROM {} AS m
                WHERE {}
            ))";
// Without an ordering of the caller's, the staged rows and then the main rows, each table by a statement of
// its own in rowid order: the same rows in the same order, at half the preparation of the one statement
// (SQLite's sort over the two as one table is most of it), which a point query pays at every call.
constexpr std::string_view kIndexedArm = R"(
            SELECT {} AS morvel_source_, rowid AS rowid, * FROM {} AS {}
            WHERE {})";
constexpr std::string_view kIndexedArmWhere = R"( AND (
{}
            ))";
constexpr std::string_view kIndexedArmOrder = R"(
            ORDER BY rowid
        )";
constexpr std::string_view kIndexedNewer = "NOT EXISTS (SELECT 1 FROM temp_{} AS n WHERE n.rowid > s.rowid{})";
constexpr std::string_view kIndexedStaged = "NOT EXISTS (SELECT 1 FROM temp_{} AS n WHERE {})";
constexpr std::string_view kIndexedLimit = R"(
            LIMIT {}
        )";

// Begins the read on the native path, where a plan kept from an earlier call may make the catalog's reads
// needless: the schema's version is part of where the database stands.
constexpr std::string_view kSchemaVersion = "PRAGMA schema_version";
constexpr size_t kKeptPlans = 8;

[[noreturn]] void fail(PyObject* type, PyObject* message) {
    PyErr_SetObject(type, message);
    throw PyError{};
}

Ref operational_error() {
    Ref module = global(names->sqlite3.get());
    return own(PyObject_GetAttr(module.get(), names->OperationalError.get()));
}

// `where` and `order_by`: None or a text; blank text counts as none.
bool clause(PyObject* text, const char* what) {
    if (text == Py_None) return false;
    if (!PyUnicode_Check(text)) {
        raise(PyExc_TypeError, "%s must be str or None, not %.200s", what, Py_TYPE(text)->tp_name);
    }
    Ref stripped = call_method(text, names->strip.get(), {});
    return PyUnicode_GET_LENGTH(stripped.get()) > 0;
}

// `limit`: None (-1 here) or an int of 0 or more.
Py_ssize_t row_limit(PyObject* limit) {
    if (limit == Py_None) return -1;
    if (PyBool_Check(limit) || !PyIndex_Check(limit)) {
        raise(PyExc_TypeError, "limit must be an int or None, not %.200s", Py_TYPE(limit)->tp_name);
    }
    Ref n = own(PyNumber_Index(limit));
    const Py_ssize_t v = PyLong_AsSsize_t(n.get());
    if (v == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PyError{};
        PyErr_Clear();
        if (check(PyObject_RichCompareBool(n.get(), names->zero.get(), Py_LT))) {
            raise(PyExc_ValueError, "limit must be 0 or more");
        }
        return PY_SSIZE_T_MAX;
    }
    if (v < 0) {
        raise(PyExc_ValueError, "limit must be 0 or more, not %zd", v);
    }
    return v;
}

// The parameters as statements receive them: a list is copied (nobody else may change what is bound),
// anything else is passed on for the connection to bind or refuse as it binds any parameters.
Ref bound_params(PyObject* params) { return PyList_Check(params) ? new_list(params) : Ref::borrow(params); }

// The output columns: "*", names joined by commas (blanks around them allowed), or a sequence of names.
std::vector<Py_ssize_t> output_columns(PyObject* columns, PyObject* cols, PyObject* table) {
    const Py_ssize_t ncols = PyList_GET_SIZE(cols);
    std::vector<Py_ssize_t> out;
    Ref wanted;
    if (PyUnicode_Check(columns)) {
        Ref stripped = call_method(columns, names->strip.get(), {});
        if (PyUnicode_CompareWithASCIIString(stripped.get(), "*") == 0) {
            for (Py_ssize_t i = 0; i < ncols; ++i) out.push_back(i);
            return out;
        }
        wanted = call_method(columns, names->split.get(), {names->comma.get()});
    } else {
        wanted = Ref::borrow(columns);
    }
    for (ForEach it(wanted.get()); Ref name = it.next();) {
        Ref bare = PyUnicode_Check(name.get()) ? call_method(name.get(), names->strip.get(), {}) : name;
        Py_ssize_t at = -1;
        for (Py_ssize_t i = 0; i < ncols && at < 0; ++i)
            if (check(PyObject_RichCompareBool(PyList_GET_ITEM(cols, i), bare.get(), Py_EQ))) at = i;
        if (at < 0) {
            Ref sep = own(PyUnicode_FromString(", "));
            Ref listed = own(PyUnicode_Join(sep.get(), cols));
            raise(PyExc_ValueError, "%R is not a column of %S (columns: %U)", bare.get(), table, listed.get());
        }
        out.push_back(at);
    }
    return out;
}

// The column index of a key position, read as the merge reads it (cols[p]: negative counts from the end).
Py_ssize_t column_of(const Position& p, PyObject* cols) {
    const Py_ssize_t ncols = PyList_GET_SIZE(cols);
    if (p.kind == Position::Fast) {
        const Py_ssize_t i = p.value < 0 ? p.value + ncols : p.value;
        if (i >= 0 && i < ncols) return i;
    }
    p.of(cols, 0);  // raises what the merge raises for this position
    raise(PyExc_IndexError, "list index out of range");
}

Ref int_object(Py_ssize_t v) { return own(PyLong_FromSsize_t(v)); }

long long rowid_of(PyObject* row, Py_ssize_t at) {
    Ref id = item_at(row, at);
    const long long v = PyLong_AsLongLong(id.get());
    if (v == -1 && PyErr_Occurred()) throw PyError{};
    return v;
}

// ---------------------------------------------------------------------------------------------------
// Each column's collation, read from the table's CREATE TABLE text

// A piece of an SQL text as SQLite's tokenizer cuts it (what this reading needs of it): a word (a keyword
// or a plain name), a quoted run (a string or a quoted name), a parenthesis, a comma, anything else.
struct Token {
    enum Kind { End, Word, Quoted, Open, Close, Comma, Other } kind = End;
    std::string_view text;
};

bool word_char(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
           c >= 0x80;
}

char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

bool same_ascii_word(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower_ascii(a[i]) != lower_ascii(b[i])) return false;
    return true;
}

// The tokens of a UTF-8 text, blanks and comments skipped.
class Tokens {
public:
    explicit Tokens(std::string_view s) noexcept : s_(s) {}

    Token next() {
        skip();
        if (i_ >= s_.size()) return {};
        const size_t start = i_;
        const char c = s_[i_];
        auto cut = [&](Token::Kind kind) { return Token{kind, s_.substr(start, i_ - start)}; };
        if (c == '(' || c == ')' || c == ',') {
            ++i_;
            return cut(c == '(' ? Token::Open : c == ')' ? Token::Close : Token::Comma);
        }
        if (c == '\'' || c == '"' || c == '`') {  // a doubled quote stands for one inside
            for (++i_; i_ < s_.size(); ++i_) {
                if (s_[i_] != c) continue;
                if (i_ + 1 < s_.size() && s_[i_ + 1] == c) {
                    ++i_;
                    continue;
                }
                ++i_;
                break;
            }
            return cut(Token::Quoted);
        }
        if (c == '[') {  // up to the first "]", nothing doubled
            const size_t close = s_.find(']', i_);
            i_ = close == std::string_view::npos ? s_.size() : close + 1;
            return cut(Token::Quoted);
        }
        if (word_char(static_cast<unsigned char>(c))) {
            while (i_ < s_.size() && word_char(static_cast<unsigned char>(s_[i_]))) ++i_;
            return cut(Token::Word);
        }
        ++i_;
        return cut(Token::Other);
    }

private:
    void skip() {
        while (i_ < s_.size()) {
            const char c = s_[i_];
            const char after = i_ + 1 < s_.size() ? s_[i_ + 1] : '\0';
            if (c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r') {
                ++i_;
            } else if (c == '-' && after == '-') {
                const size_t end = s_.find('\n', i_);
                i_ = end == std::string_view::npos ? s_.size() : end + 1;
            } else if (c == '/' && after == '*') {
                const size_t end = s_.find("*/", i_ + 2);
                i_ = end == std::string_view::npos ? s_.size() : end + 2;
            } else {
                return;
            }
        }
    }

    std::string_view s_;
    size_t i_ = 0;
};

bool is_word(const Token& t, std::string_view w) { return t.kind == Token::Word && same_ascii_word(t.text, w); }

// A name token as SQLite reads it: a quoted one without its quotes, a doubled quote inside as one.
std::string dequoted(const Token& t) {
    if (t.kind != Token::Quoted) return std::string(t.text);
    const char open = t.text.front();
    const char close = open == '[' ? ']' : open;
    std::string_view inner = t.text.substr(1);
    if (!inner.empty() && inner.back() == close) inner.remove_suffix(1);
    std::string out;
    for (size_t i = 0; i < inner.size(); ++i) {
        out.push_back(inner[i]);
        if (open != '[' && inner[i] == close && i + 1 < inner.size() && inner[i + 1] == close) ++i;
    }
    return out;
}

Collation collation_named(const std::string& name) {
    if (same_ascii_word(name, "BINARY")) return Collation::Binary;
    if (same_ascii_word(name, "NOCASE")) return Collation::Nocase;
    if (same_ascii_word(name, "RTRIM")) return Collation::Rtrim;
    return Collation::Other;
}

// Whether the name a column definition starts with is `col` (a str), exactly.
bool names_column(const std::string& name, PyObject* col) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
    if (!text) {
        PyErr_Clear();
        return false;
    }
    return check(PyObject_RichCompareBool(text.get(), col, Py_EQ)) == 1;
}

// The collation of each column, in table order, from a CREATE TABLE text: the last COLLATE clause of each
// column definition (outside its parentheses), BINARY without one. Empty when the text is not a list of
// column definitions naming exactly the columns `cols`, in their order: then SQLite matches every key.
std::vector<Collation> column_collations(PyObject* create, PyObject* cols) {
    if (!PyUnicode_Check(create)) return {};
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(create, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return {};
    }
    Tokens tokens({utf8, static_cast<size_t>(size)});
    // CREATE [TEMP] TABLE [IF NOT EXISTS] name (  ... not CREATE TABLE name AS SELECT
    for (Token t = tokens.next(); t.kind != Token::Open; t = tokens.next())
        if (t.kind == Token::End || is_word(t, "AS")) return {};
    const size_t ncols = static_cast<size_t>(PyList_GET_SIZE(cols));
    std::vector<Collation> out;
    for (bool more = true; more;) {
        const Token name = tokens.next();
        // The table constraints, which follow the last column, start with one of these keywords.
        if (is_word(name, "CONSTRAINT") || is_word(name, "PRIMARY") || is_word(name, "UNIQUE") ||
            is_word(name, "CHECK") || is_word(name, "FOREIGN"))
            break;
        if (name.kind != Token::Word && name.kind != Token::Quoted) return {};
        if (out.size() == ncols || !names_column(dequoted(name), PyList_GET_ITEM(cols, static_cast<Py_ssize_t>(out.size()))))
            return {};
        Collation collation = Collation::Binary;
        for (int depth = 0;;) {
            const Token t = tokens.next();
            if (t.kind == Token::End) return {};
            if (t.kind == Token::Open) {
                ++depth;
            } else if (t.kind == Token::Close) {
                if (depth == 0) {
                    more = false;
                    break;
                }
                --depth;
            } else if (depth == 0 && t.kind == Token::Comma) {
                break;
            } else if (depth == 0 && is_word(t, "COLLATE")) {
                const Token named = tokens.next();
                if (named.kind != Token::Word && named.kind != Token::Quoted) return {};
                collation = collation_named(dequoted(named));
            }
        }
        out.push_back(collation);
    }
    if (out.size() != ncols) return {};
    return out;
}

// ---------------------------------------------------------------------------------------------------
// Values as a collation compares them

// ---------------------------------------------------------------------------------------------------

struct Key {
    std::vector<Py_ssize_t> columns;  // column indexes, in the key's order
    KeySet seen;                      // every tuple a staged row holds for this key
    // How a main row's tuple is matched against the staged ones: by value (every column BINARY), by value
    // once folded (NOCASE or RTRIM columns among them), or by SQLite itself (any other collation, or
    // collations this module could not read).
    enum Match { Equal, Folded, Joined } match = Equal;
    std::vector<Collation> collations;  // per key column: the main column's
    KeySet folded;                      // Folded: every staged tuple as the main columns' collations see it
};

// A key's tuple in a row, written into `out` as the key sets hold it: by value, or with `collations` as those
// columns compare text; false when it holds NULL. `values` gives a row's value at a position.
template <class Values>
bool key_entry(Values&& values, const std::vector<Py_ssize_t>& at, const std::vector<Collation>* collations,
               std::string& out) {
    out.clear();
    for (size_t i = 0; i < at.size(); ++i)
        if (!append_key_value(out, values(at[i]), collations ? (*collations)[i] : Collation::Binary)) return false;
    return true;
}

// Which columns one statement selects, and where each one lands in its rows.
struct Layout {
    std::vector<Py_ssize_t> slot;  // per column: its index in a fetched row, -1 when not selected
    Ref select;                    // ',"a","b"': the selected columns after the leading rowid

    // Rows of rowid and the given columns (in table order).
    Layout(PyObject* cols, const std::vector<bool>& wanted) : slot(wanted.size(), -1) {
        TextBuilder b;
        Py_ssize_t next = 1;
        for (size_t c = 0; c < wanted.size(); ++c) {
            if (!wanted[c]) continue;
            Ref name = Ref::borrow(PyList_GET_ITEM(cols, static_cast<Py_ssize_t>(c)));  // formatting may run code
            b.ascii(",").text(identifier(name.get()).get());
            slot[c] = next++;
        }
        select = b.finish();
    }
    // Rows that lead with `lead` fields, then every column.
    Layout(size_t ncols, Py_ssize_t lead) : slot(ncols) {
        for (size_t c = 0; c < ncols; ++c) slot[c] = lead + static_cast<Py_ssize_t>(c);
    }
};

// The answer is built of many new lists that can never form a cycle; the cycle collector, which would
// traverse all of them again and again as they pile up (half the time of a large call), waits until the
// call ends. Garbage that other code makes meanwhile is collected then.
// A fetched row's value at a position, for the key sets.
auto python_values(PyObject* row) {
    return [row](Py_ssize_t i) { return item_at(row, i); };
}

// The rows of one read handed over as values: counted, the last one's rowid (its first value) kept, each
// given to `take`.
template <class Take>
class Visiting final : public db::RowVisitor {
public:
    explicit Visiting(Take& take) : take_(take) {}
    void row(const db::Value* values, size_t) override {
        ++rows;
        last = values[0].i;
        take_(values);
    }
    Py_ssize_t rows = 0;
    long long last = LLONG_MIN;

private:
    Take& take_;
};

// Staged rows met as values, their tuples recorded in the key sets a few rows after they are read: each
// tuple's slot is brought into the cache when its row is read, so that the look-ups of a large set do not
// wait for memory one after another. The rows are recorded in the order they were read.
class Behind {
public:
    Behind(std::vector<Key>& keys, const std::vector<std::vector<Py_ssize_t>>& at, std::vector<long long>& older)
        : keys_(keys), at_(at), older_(older), ring_(kDistance) {
        for (Row& r : ring_) {
            r.entries.resize(keys.size());
            r.folded.resize(keys.size());
            r.present.resize(keys.size());
        }
    }

    void row(const db::Value* values) {
        Row& r = ring_[next_ % kDistance];
        if (next_ - done_ == kDistance) record(r);
        r.rowid = values[0].i;
        const auto value = [values](Py_ssize_t i) -> const db::Value& { return values[i]; };
        for (size_t k = 0; k < keys_.size(); ++k) {
            const Key& key = keys_[k];
            r.present[k] = key_entry(value, at_[k], nullptr, r.entries[k]) ? 1 : 0;
            if (!r.present[k]) continue;
            key.seen.prefetch(r.entries[k]);
            if (key.match == Key::Folded && key_entry(value, at_[k], &key.collations, r.folded[k]))
                r.present[k] = 2;
        }
        ++next_;
    }

    // Records every row read so far.
    void finish() {
        while (done_ < next_) record(ring_[done_ % kDistance]);
    }

private:
    static constexpr size_t kDistance = 16;
    struct Row {
        long long rowid = 0;
        std::vector<std::string> entries, folded;
        std::vector<char> present;  // 0: the tuple holds NULL; 1: entries; 2: entries and folded
    };

    void record(const Row& r) {
        bool older = false;
        for (size_t k = 0; k < keys_.size(); ++k) {
            if (r.present[k] == 0) continue;
            if (!keys_[k].seen.insert(r.entries[k])) {
                older = true;
                continue;
            }
            if (r.present[k] == 2) keys_[k].folded.insert(r.folded[k]);
        }
        if (older) older_.push_back(r.rowid);
        ++done_;
    }

    std::vector<Key>& keys_;
    const std::vector<std::vector<Py_ssize_t>>& at_;
    std::vector<long long>& older_;
    std::vector<Row> ring_;
    size_t next_ = 0, done_ = 0;  // rows read, and recorded
};

class CollectorPause {
public:
    CollectorPause() noexcept : was_(PyGC_Disable()) {}
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;
    ~CollectorPause() {
        if (was_) PyGC_Enable();
    }

private:
    int was_;
};

using Texts = State::QueryPlan::Texts;

class Answer {
public:
    // `each`: called with each part of the answer in turn (null: the answer is one list); `sink`: takes
    // every row instead (null: none).
    Answer(db::Cursor& cur, PyObject* table, PyObject* params, PyObject* each, AnswerSink* sink = nullptr)
        : cur_(cur), table_(table), params_(params), each_(each), sink_(sink) {}

    Ref run(PyObject* where, bool filtered, PyObject* columns, PyObject* order_by, bool ordered, Py_ssize_t limit,
            bool plain_values) {
        plain_values_ = plain_values;
        text_ = fstr_of(table_);
        const bool stamped = plain_values && stamp();
        if (stamped && kept_plan()) return indexed(where, filtered, columns, order_by, ordered, limit);
        cols_ = read_columns(cur_, table_);
        if (PyList_GET_SIZE(cols_.get()) == 0) {
            Ref message = own(PyUnicode_FromFormat("no such table: %U", text_.get()));
            fail(operational_error().get(), message.get());
        }
        staging_ = TextBuilder().ascii("temp_").text(text_.get()).finish();
        if (PyList_GET_SIZE(read_columns(cur_, staging_.get()).get()) == 0) {
            Ref message = own(PyUnicode_FromFormat("%U is not a managed table: no staging table %U", text_.get(),
                                                   staging_.get()));
            fail(operational_error().get(), message.get());
        }
        Ref uniques = read_uniques(cur_, table_);
        std::vector<Ref> key_names;
        bool seekable = plain_values;
        for (const UniqueKey& k : unique_keys(uniques.get())) {
            Key key;
            for (const Position& p : k.positions) key.columns.push_back(column_of(p, cols_.get()));
            // A key of no columns supersedes every older staged row, which `=` does not say.
            seekable = seekable && !key.columns.empty();
            key_names.push_back(k.name);
            keys_.push_back(std::move(key));
        }
        if (seekable && staging_indexed(cur_, text_.get(), key_names)) {
            if (stamped) keep_plan();
            return indexed(where, filtered, columns, order_by, ordered, limit);
        }
        if (!keys_.empty()) settle_matches();
        begin(where, filtered, columns, limit);
        read_joined();
        if (ordered) {
            read_staged_keys();
            ordered_pass(order_by);
        } else if (!filtered && limit_ < 0 && !each_) {  // its staged rows come newest first: held whole
            staged_in_one_pass();
            main_pass();
        } else if (!filtered || keys_.empty() || !narrow_pass()) {
            read_staged_keys();
            staged_pass();
            if (!full()) main_pass();
        }
        return finish();
    }

    // The staged rows up to `bound` that a newer staged row supersedes under `keys`, ascending: the key
    // sets' pass of read_staged_keys, alone, given up once the sets hold more than `budget` bytes. Keys
    // without columns are left out, as the merge's joins leave them.
    std::optional<std::vector<long long>> superseded_up_to(PyObject* cols, const std::vector<UniqueKey>& keys,
                                                           long long bound, size_t budget) {
        text_ = fstr_of(table_);
        cols_ = Ref::borrow(cols);
        for (const UniqueKey& k : keys) {
            if (k.positions.empty()) continue;
            Key& key = keys_.emplace_back();
            for (const Position& p : k.positions) key.columns.push_back(column_of(p, cols));
        }
        staged_bound_ = bound;
        key_budget_ = budget;
        read_staged_keys();
        if (over_budget_) return std::nullopt;
        return std::move(older_);
    }

private:
    // What every plan does first: the answer's columns, the limit and the condition.
    void begin(PyObject* where, bool filtered, PyObject* columns, Py_ssize_t limit) {
        out_ = output_columns(columns, cols_.get(), text_.get());
        if (sink_) sink_->columns(cols_.get(), out_);
        limit_ = limit;
        answer_ = own(PyList_New(0));
        where_ = filtered ? Ref::borrow(where) : Ref{};
    }

    // ... and last: the answer, or the count of rows handed out.
    Ref finish() {
        if (sink_) {
            sink_->finish(cur_, text_.get());
            return int_object(given_);
        }
        if (!each_) return std::move(answer_);
        hand_out();
        return int_object(given_);
    }

    Ref indexed(PyObject* where, bool filtered, PyObject* columns, PyObject* order_by, bool ordered,
                Py_ssize_t limit) {
        if (!texts_) texts_ = std::make_shared<Texts>();  // no plan kept: built for this call alone
        begin(where, filtered, columns, limit);
        indexed_pass(ordered ? order_by : nullptr);
        return finish();
    }

    // Where the database stands now (stamp_), once the read has begun; false off the native path.
    bool stamp() {
        if (!db::standing(cur_, stamp_.standing)) return false;
        Ref rows = db::query(cur_, ascii_text(kSchemaVersion).get());
        if (check_size(PyObject_Size(rows.get())) != 1) return false;
        Ref version = item_at(item_at(rows.get(), 0).get(), 0);
        stamp_.schema_version = PyLong_AsLongLong(version.get());
        if (stamp_.schema_version == -1 && PyErr_Occurred()) throw PyError{};
        // The data version read before the read began may be an older one.
        return db::standing(cur_, stamp_.standing);
    }

    bool same_stand(const State::QueryPlan& p) const {
        const db::Standing& now = stamp_.standing;
        if (p.db != now.db || p.schema_version != stamp_.schema_version || p.data_version != now.data_version ||
            p.changes != now.changes)
            return false;
        Ref cache = Ref::steal(compat::referent(p.cache.get()));
        return cache.get() == now.cache && PyUnicode_Compare(p.table.get(), text_.get()) == 0;
    }

    // A plan kept for this connection and table, read where the database stands now: the catalog's answers.
    bool kept_plan() {
        for (const State::QueryPlan& p : state.query_plans) {
            if (!same_stand(p)) continue;
            if (PyErr_Occurred()) throw PyError{};
            cols_ = p.columns;
            staging_ = TextBuilder().ascii("temp_").text(text_.get()).finish();
            for (const std::vector<Py_ssize_t>& columns : p.keys) keys_.emplace_back().columns = columns;
            texts_ = p.texts;
            return true;
        }
        if (PyErr_Occurred()) throw PyError{};
        return false;
    }

    void keep_plan() {
        Ref cache = Ref::steal(PyWeakref_NewRef(stamp_.standing.cache, nullptr));
        if (!cache) {  // a cache that takes no weak reference: nothing is kept, the call goes on
            PyErr_Clear();
            return;
        }
        State::QueryPlan plan{std::move(cache), stamp_.standing.db, text_, stamp_.schema_version,
                              stamp_.standing.data_version, stamp_.standing.changes, cols_, {}};
        for (const Key& k : keys_) plan.keys.push_back(k.columns);
        texts_ = plan.texts;
        if (state.query_plans.size() < kKeptPlans) {
            state.query_plans.push_back(std::move(plan));
        } else {
            state.query_plans[state.next_query_plan] = std::move(plan);
            state.next_query_plan = (state.next_query_plan + 1) % kKeptPlans;
        }
    }

    Py_ssize_t answered() const { return given_ + PyList_GET_SIZE(answer_.get()); }

    bool full() const { return limit_ >= 0 && answered() >= limit_; }

    // The rows of the first page or read: all a page takes without a limit, else about the rows still wanted.
    Py_ssize_t first_read() const {
        if (limit_ < 0) return kPageRows;
        return std::clamp(limit_ - answered(), kFirstRows, kPageRows);
    }

    // The rows gathered so far go to the callback, and a new part begins.
    void hand_out() {
        const Py_ssize_t n = PyList_GET_SIZE(answer_.get());
        if (n == 0) return;
        Ref part = std::move(answer_);
        answer_ = own(PyList_New(0));
        given_ += n;
        own(PyObject_CallOneArg(each_, part.get()));
    }

    // How each key matches main rows, from the main columns' collations.
    void settle_matches() {
        Ref quoted_name = quoted(text_.get());
        Ref rows = db::query(cur_, sql(kTableText, {quoted_name.get(), quoted_name.get()}).get());
        std::vector<Collation> collations;
        for (ForEach it(rows.get()); Ref row = it.next();) collations = column_collations(item_at(row.get(), 0).get(), cols_.get());
        for (Key& k : keys_) {
            bool other = false, folds = false;
            for (Py_ssize_t c : k.columns) {
                const Collation coll = collations.empty() ? Collation::Other : collations[static_cast<size_t>(c)];
                k.collations.push_back(coll);
                other = other || coll == Collation::Other;
                folds = folds || coll == Collation::Nocase || coll == Collation::Rtrim;
            }
            k.match = other ? Key::Joined : folds ? Key::Folded : Key::Equal;
        }
    }

    // The columns a candidate statement needs: the output columns and every key's columns.
    Layout candidate_layout() const {
        std::vector<bool> wanted(static_cast<size_t>(PyList_GET_SIZE(cols_.get())), false);
        for (Py_ssize_t c : out_) wanted[static_cast<size_t>(c)] = true;
        for (const Key& k : keys_)
            for (Py_ssize_t c : k.columns) wanted[static_cast<size_t>(c)] = true;
        return Layout(cols_.get(), wanted);
    }

    // Calls `each(row, rowid)` with the rows of `from` that satisfy the condition (every row without one), in
    // rowid order, page by page, until it returns false. The parameters go to these statements, which hold
    // the condition; the first page is always read, so that what SQLite or the connection refuses in them
    // is raised whatever the limit.
    template <class Each>
    void pages(PyObject* from, const Layout& layout, Each&& each) {
        long long first = LLONG_MIN;
        Py_ssize_t rows = first_read();
        SignalPoll poll;
        for (;;) {
            Ref from_rowid = own(PyUnicode_FromFormat("%lld", first));
            Ref most = own(PyUnicode_FromFormat("%zd", rows));
            Ref statement = where_ ? sql(kMatchingPage, {layout.select.get(), from, from_rowid.get(), where_.get(), most.get()})
                                   : sql(kPage, {layout.select.get(), from, from_rowid.get(), most.get()});
            Ref page = db::query(cur_, statement.get(), params_);
            Py_ssize_t n = 0;
            long long last = LLONG_MIN;
            for (ForEach it(page.get()); Ref row = it.next(); ++n) {
                poll();
                last = rowid_of(row.get(), 0);
                if (!each(row.get(), last)) return;
            }
            if (n < rows || last == LLONG_MAX) return;
            first = last + 1;
            rows = std::min(rows * 2, kPageRows);
        }
    }

    void emit(PyObject* row, const Layout& layout) {
        if (sink_) {
            sink_->row(row, layout.slot);
            ++given_;
            return;
        }
        const Py_ssize_t n = static_cast<Py_ssize_t>(out_.size());
        Ref out = own(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyList_SET_ITEM(out.get(), i, item_at(row, layout.slot[static_cast<size_t>(out_[static_cast<size_t>(i)])]).release());
        check(PyList_Append(answer_.get(), out.get()));
        if (each_ && PyList_GET_SIZE(answer_.get()) >= kPartRows) hand_out();
    }

    // Records the row's tuple for every key; true when a row met before (a newer one: rows come newest
    // first) already held one of them. The merge tells staged rows apart by value, whatever the collation.
    // `values` gives the row's value at a position.
    template <class Values>
    bool superseded(Values&& values, const std::vector<std::vector<Py_ssize_t>>& at) {
        bool older = false;
        for (size_t k = 0; k < keys_.size(); ++k) {
            Key& key = keys_[k];
            if (!key_entry(values, at[k], nullptr, entry_)) continue;
            if (!key.seen.insert(entry_)) {
                older = true;  // its folded form is in `folded` already
                continue;
            }
            if (key.match == Key::Folded && key_entry(values, at[k], &key.collations, entry_)) key.folded.insert(entry_);
        }
        return older;
    }

    bool superseded(PyObject* row, const std::vector<std::vector<Py_ssize_t>>& at) {
        return superseded(python_values(row), at);
    }

    // Whether some staged row holds one of the main row's tuples, as the main columns' collations compare
    // them. A key without columns makes no look-up in the merge, so it removes no main row.
    bool replaced(PyObject* row, const std::vector<std::vector<Py_ssize_t>>& at, long long rowid) {
        const auto values = python_values(row);
        for (size_t k = 0; k < keys_.size(); ++k) {
            const Key& key = keys_[k];
            if (at[k].empty() || key.match == Key::Joined) continue;
            const bool equal = key.match == Key::Equal;
            if (!key_entry(values, at[k], equal ? nullptr : &key.collations, entry_)) continue;
            if ((equal ? key.seen : key.folded).contains(entry_)) return true;
        }
        return std::binary_search(joined_.begin(), joined_.end(), rowid);
    }

    std::vector<std::vector<Py_ssize_t>> key_positions(const Layout& layout) const {
        std::vector<std::vector<Py_ssize_t>> at;
        for (const Key& k : keys_) {
            std::vector<Py_ssize_t>& in_row = at.emplace_back();
            for (Py_ssize_t c : k.columns) in_row.push_back(layout.slot[static_cast<size_t>(c)]);
        }
        return at;
    }

    // The rowids of the main rows that the keys SQLite matches remove, by the merge's join, read in
    // bounded parts.
    void read_joined() {
        for (const Key& k : keys_) {
            if (k.match != Key::Joined) continue;
            TextBuilder on;
            for (size_t i = 0; i < k.columns.size(); ++i) {
                Ref name = identifier(PyList_GET_ITEM(cols_.get(), k.columns[i]));
                if (i > 0) on.ascii(" AND ");
                on.ascii("m.").text(name.get()).ascii(" = s.").text(name.get());
            }
            Ref statement = sql(kJoined, {text_.get(), text_.get(), on.finish().get()});
            db::Stream rows(cur_, statement.get(), nullptr);
            SignalPoll poll;
            for (;;) {
                Ref part = rows.next(kPageRows);
                if (check_size(PyObject_Size(part.get())) == 0) break;
                for (ForEach it(part.get()); Ref row = it.next();) {
                    poll();
                    joined_.push_back(rowid_of(row.get(), 0));
                }
            }
        }
        std::sort(joined_.begin(), joined_.end());
        joined_.erase(std::unique(joined_.begin(), joined_.end()), joined_.end());
    }

    // A condition on the staged rows, of rowids bound as its parameters (staged_among).
    struct Among {
        Ref condition;
        std::vector<long long> rowids;
    };

    // Calls `each` with every staged row, newest first, chunk by chunk; with `each_values`, a chunk the
    // connection can hand over as values goes to that instead, with no Python object per value. With
    // `among`, only the rows its condition selects.
    template <class Each, class EachValues = std::nullptr_t>
    void newest_first(const Layout& layout, Each&& each, EachValues each_values = nullptr, const Among* among = nullptr) {
        Ref statement = among ? sql(kStagedNewestFirstAmong, {layout.select.get(), text_.get(), among->condition.get()})
                              : sql(kStagedNewestFirst, {layout.select.get(), text_.get()});
        Ref bound = own(PyLong_FromLongLong(staged_bound_));
        SignalPoll poll;
        for (;;) {
            Ref params = list_of({bound.get()});
            if (among)
                for (long long rowid : among->rowids) check(PyList_Append(params.get(), int_object(rowid).get()));
            Py_ssize_t n = 0;
            long long last = LLONG_MIN;
            bool visited = false;
            if constexpr (!std::is_same_v<EachValues, std::nullptr_t>) {
                Visiting<EachValues> visiting(each_values);
                visited = db::visit(cur_, statement.get(), params.get(), visiting);
                n = visiting.rows;
                last = visiting.last;
            }
            if (!visited) {
                Ref rows = db::query(cur_, statement.get(), params.get());
                for (ForEach it(rows.get()); Ref row = it.next(); ++n) {
                    poll();
                    last = rowid_of(row.get(), 0);
                    each(row.get());
                }
            }
            if (n < kStagedChunk || last == LLONG_MIN) return;
            if (key_budget_ != SIZE_MAX) {
                size_t held = 0;
                for (const Key& k : keys_) held += k.seen.held() + k.folded.held();
                if ((over_budget_ = held > key_budget_)) return;
            }
            bound = own(PyLong_FromLongLong(last - 1));
        }
    }

    // No condition and no limit: the staged rows are read once, newest first, as the merge reads them.
    void staged_in_one_pass() {
        const Layout layout = candidate_layout();
        const auto at = key_positions(layout);
        newest_first(layout, [&](PyObject* row) {
            if (!superseded(row, at)) emit(row, layout);
        });
        if (sink_)
            sink_->reverse();
        else
            check(PyList_Reverse(answer_.get()));
    }

    // With a condition, a limit or an ordering: the key columns of every staged row first, newest first (a
    // row that fails the condition still supersedes others), keeping the rowids of the superseded ones.
    void read_staged_keys() {
        if (keys_.empty()) return;
        std::vector<bool> wanted(static_cast<size_t>(PyList_GET_SIZE(cols_.get())), false);
        for (const Key& k : keys_)
            for (Py_ssize_t c : k.columns) wanted[static_cast<size_t>(c)] = true;
        const Layout layout(cols_.get(), wanted);
        const auto at = key_positions(layout);
        Behind behind(keys_, at, older_);
        newest_first(
            layout, [&](PyObject* row) {
                behind.finish();  // the rows of values before this one first
                if (superseded(row, at)) older_.push_back(rowid_of(row, 0));
            },
            [&](const db::Value* row) { behind.row(row); });
        behind.finish();
        std::reverse(older_.begin(), older_.end());  // read newest first: now in ascending order
    }

    bool older(long long rowid) const { return std::binary_search(older_.begin(), older_.end(), rowid); }

    // A selective condition: the rows that satisfy it first (false, nothing answered, when they are more than
    // kFewRows), then one pass over the staged keys that looks for their tuples alone, with no set of every
    // staged tuple. Per key and tuple, the newest staged row that holds it: a staged candidate is superseded
    // when that row is newer than itself, a main candidate replaced when there is one (under the main
    // columns' collations, as replaced() matches).
    bool narrow_pass() {
        struct Held {
            Ref row;
            long long rowid;
        };
        const Layout layout = candidate_layout();
        const auto at = key_positions(layout);
        std::vector<Held> staged, main;
        for (auto [from, into] : {std::pair{staging_.get(), &staged}, std::pair{text_.get(), &main}}) {
            bool many = false;
            pages(from, layout, [&, into = into](PyObject* row, long long rowid) {
                many = staged.size() + main.size() >= kFewRows;
                if (!many) into->push_back({Ref::borrow(row), rowid});
                return !many;
            });
            if (many) return false;
        }
        std::vector<std::unordered_map<std::string, long long>> newest(keys_.size()), folded(keys_.size());
        std::vector<Wanted> wanted_rows(keys_.size());
        auto want = [&](const Held& h, bool is_main) {
            const auto values = python_values(h.row.get());
            for (size_t k = 0; k < keys_.size(); ++k) {
                const Key& key = keys_[k];
                if (is_main && (at[k].empty() || key.match == Key::Joined)) continue;
                const bool by_value = !is_main || key.match == Key::Equal;
                if (key_entry(values, at[k], by_value ? nullptr : &key.collations, entry_) &&
                    (by_value ? newest : folded)[k].emplace(entry_, LLONG_MIN).second) {
                    Wanted& w = wanted_rows[k];
                    (is_main ? by_value ? w.main : w.folded : w.staged).push_back(h.rowid);
                }
            }
        };
        for (const Held& h : staged) want(h, false);
        for (const Held& h : main) want(h, true);

        std::vector<bool> wanted(static_cast<size_t>(PyList_GET_SIZE(cols_.get())), false);
        for (const Key& k : keys_)
            for (Py_ssize_t c : k.columns) wanted[static_cast<size_t>(c)] = true;
        const Layout keys_layout(cols_.get(), wanted);
        const auto keys_at = key_positions(keys_layout);
        auto look = [&](auto&& values, long long rowid) {
            for (size_t k = 0; k < keys_.size(); ++k) {
                if (!newest[k].empty() && key_entry(values, keys_at[k], nullptr, entry_)) {
                    auto it = newest[k].find(entry_);
                    if (it != newest[k].end()) it->second = std::max(it->second, rowid);
                }
                if (!folded[k].empty() && key_entry(values, keys_at[k], &keys_[k].collations, entry_)) {
                    auto it = folded[k].find(entry_);
                    if (it != folded[k].end()) it->second = std::max(it->second, rowid);
                }
            }
        };
        auto look_row = [&](PyObject* row) { look(python_values(row), rowid_of(row, 0)); };
        auto look_values = [&](const db::Value* row) {
            look([row](Py_ssize_t i) -> const db::Value& { return row[i]; }, row[0].i);
        };
        bool wanted_any = false;  // no tuple to look for (each holds NULL): no staged row can matter
        for (size_t k = 0; k < keys_.size(); ++k) wanted_any = wanted_any || !newest[k].empty() || !folded[k].empty();
        if (wanted_any) {
            const std::optional<Among> among = staged_among(wanted_rows);
            newest_first(keys_layout, look_row, look_values, among ? &*among : nullptr);
        }

        for (const Held& h : staged) {
            if (full()) return true;
            const auto values = python_values(h.row.get());
            bool superseded = false;
            for (size_t k = 0; k < keys_.size() && !superseded; ++k)
                superseded = key_entry(values, at[k], nullptr, entry_) && newest[k].at(entry_) > h.rowid;
            if (!superseded) emit(h.row.get(), layout);
        }
        for (const Held& h : main) {
            if (full()) return true;
            const auto values = python_values(h.row.get());
            bool replaced = std::binary_search(joined_.begin(), joined_.end(), h.rowid);
            for (size_t k = 0; k < keys_.size() && !replaced; ++k) {
                const Key& key = keys_[k];
                if (at[k].empty() || key.match == Key::Joined) continue;
                const bool by_value = key.match == Key::Equal;
                replaced = key_entry(values, at[k], by_value ? nullptr : &key.collations, entry_) &&
                           (by_value ? newest : folded)[k].at(entry_) != LLONG_MIN;
            }
            if (!replaced) emit(h.row.get(), layout);
        }
        return true;
    }

    // The candidate rows that hold a key's tuples first, per kind of look-up: staged ones and main ones by
    // value, main ones folded by the main columns' collations.
    struct Wanted {
        std::vector<long long> staged, main, folded;
    };

    // The condition that selects the staged rows whose first column of some key holds a value that the
    // wanted rows hold there, under the collation of their look-up. A staged row whose tuple equals a wanted
    // one holds its first value, so this selects every row that the look-ups can find. None when a key has
    // no columns (its tuple is in every staged row), when the rowids are too many for one statement, or when
    // text is not read as str (the look-ups then compare what the connection reads, which SQL cannot).
    std::optional<Among> staged_among(const std::vector<Wanted>& wanted) const {
        if (!plain_values_) return std::nullopt;
        Among among;
        TextBuilder b;
        // One IN part: the column's value under `collation` is one that `sources` hold (a table and rowids).
        auto part = [&](PyObject* column, const char* collation,
                        std::initializer_list<std::pair<PyObject*, const std::vector<long long>*>> sources) {
            size_t count = 0;
            for (auto [table, rowids] : sources) count += rowids->size();
            if (count == 1)  // one value: compared to it alone, which costs SQLite less than a look-up per row
                for (auto [table, rowids] : sources) {
                    if (rowids->empty()) continue;
                    b.ascii(among.rowids.empty() ? "" : " OR ")
                        .text(sql(kAmongOne, {column, ascii_text(collation).get(), column, table}).get());
                    among.rowids.push_back(rowids->front());
                    return;
                }
            bool head = true;
            for (auto [table, rowids] : sources) {
                if (rowids->empty()) continue;
                if (head)
                    b.ascii(among.rowids.empty() ? "" : " OR ").text(sql(kAmongHead, {column, ascii_text(collation).get()}).get());
                else
                    b.ascii(" UNION ALL ");
                b.text(sql(kAmongRows, {column, table}).get());
                for (size_t i = 0; i < rowids->size(); ++i) b.ascii(i == 0 ? "?" : ",?");
                among.rowids.insert(among.rowids.end(), rowids->begin(), rowids->end());
                b.ascii(")");
                head = false;
            }
            if (!head) b.ascii(")");
        };
        for (size_t k = 0; k < keys_.size(); ++k) {
            const Key& key = keys_[k];
            if (key.columns.empty()) return std::nullopt;
            Ref column = identifier(PyList_GET_ITEM(cols_.get(), key.columns[0]));
            part(column.get(), "BINARY", {{staging_.get(), &wanted[k].staged}, {text_.get(), &wanted[k].main}});
            const Collation c = key.collations.empty() ? Collation::Binary : key.collations[0];
            part(column.get(), c == Collation::Nocase ? "NOCASE" : c == Collation::Rtrim ? "RTRIM" : "BINARY",
                 {{text_.get(), &wanted[k].folded}});
        }
        if (among.rowids.empty() || among.rowids.size() > kAmongRowids) return std::nullopt;
        among.condition = b.finish();
        return among;
    }

    void staged_pass() {
        const Layout layout = candidate_layout();
        pages(staging_.get(), layout, [&](PyObject* row, long long rowid) {
            if (full()) return false;
            if (!older(rowid)) emit(row, layout);
            return !full();
        });
    }

    void main_pass() {
        const Layout layout = candidate_layout();
        const auto at = key_positions(layout);
        pages(text_.get(), layout, [&](PyObject* row, long long rowid) {
            if (full()) return false;
            if (!replaced(row, at, rowid)) emit(row, layout);
            return !full();
        });
    }

    // Both tables as one statement in the caller's order, read part by part (the first part is always
    // read); the source field tells which rule applies.
    void ordered_pass(PyObject* order_by) {
        const Layout layout(static_cast<size_t>(PyList_GET_SIZE(cols_.get())), 2);
        const auto at = key_positions(layout);
        TextBuilder b;
        b.text(sql(kOrderedHead, {text_.get(), text_.get()}).get());
        if (where_) b.text(sql(kOrderedWhere, {where_.get()}).get());
        b.text(sql(kOrderedTail, {order_by}).get());
        Ref statement = b.finish();
        db::Stream rows(cur_, statement.get(), params_);
        read_parts(rows, [&](PyObject* row) {
            Ref source = item_at(row, 0);
            const bool staged = check(PyObject_IsTrue(source.get())) != 0;
            const long long rowid = rowid_of(row, 1);
            if (!(staged ? older(rowid) : replaced(row, at, rowid))) emit(row, layout);
        });
    }

    // Reads `rows` part by part, the first part about the rows the answer still wants and each next one
    // twice as large, giving each row to `take` until the answer is full.
    template <class Take>
    void read_parts(db::Stream& rows, Take&& take) {
        SignalPoll poll;
        for (Py_ssize_t most = first_read();; most = std::min(most * 2, kPageRows)) {
            Ref part = rows.next(most);
            if (check_size(PyObject_Size(part.get())) == 0) return;
            for (ForEach it(part.get()); Ref row = it.next();) {
                poll();
                if (full()) return;
                take(row.get());
            }
            if (full()) return;
        }
    }

    // The key columns' equalities between the staged rows `n` and the rows `other`: by the column's `=`, and
    // by value between staged rows.
    Ref key_match(const Key& k, std::string_view other, bool by_value) const {
        TextBuilder b;
        for (size_t i = 0; i < k.columns.size(); ++i) {
            Ref name = identifier(PyList_GET_ITEM(cols_.get(), k.columns[i]));
            if (i > 0 || by_value) b.ascii(" AND ");
            b.ascii(other).ascii(".").text(name.get()).ascii(" = n.").text(name.get());
            if (by_value) b.ascii(" AND n.").text(name.get()).ascii(" = s.").text(name.get()).ascii(" COLLATE BINARY");
        }
        return b.finish();
    }

    // The answer through the staging table's indexes, read part by part: by one statement with the caller's
    // ordering, else by one per table.
    void indexed_pass(PyObject* order_by) {
        Texts& texts = *texts_;
        if (!texts.newer) {
            TextBuilder newer, staged;
            for (const Key& k : keys_) {
                if (&k != &keys_.front()) {
                    newer.ascii(" AND ");
                    staged.ascii(" AND ");
                }
                newer.text(sql(kIndexedNewer, {text_.get(), key_match(k, "s", true).get()}).get());
                staged.text(sql(kIndexedStaged, {text_.get(), key_match(k, "m", false).get()}).get());
            }
            if (keys_.empty()) {
                newer.ascii("1");
                staged.ascii("1");
            }
            texts.newer = newer.finish();
            texts.staged = staged.finish();
        }
        const Layout layout(static_cast<size_t>(PyList_GET_SIZE(cols_.get())), 2);
        auto read = [&](PyObject* statement) {
            db::Stream rows(cur_, statement, params_);
            read_parts(rows, [&](PyObject* row) { emit(row, layout); });
        };
        auto limited = [&](TextBuilder& b) {
            if (limit_ >= 0) b.text(sql(kIndexedLimit, {own(PyUnicode_FromFormat("%zd", limit_ - answered())).get()}).get());
            return b.finish();
        };
        if (!order_by) {
            // A point query repeats its condition: the texts of the last one without a limit are kept, and
            // the same text object finds its prepared statement at once.
            PyObject* condition = where_ ? where_.get() : Py_None;
            const bool kept = limit_ < 0 && texts.where &&
                              (texts.where.get() == condition ||
                               (where_ && texts.where.get() != Py_None && PyUnicode_Compare(texts.where.get(), condition) == 0));
            if (PyErr_Occurred()) throw PyError{};
            Ref arms[2];
            const std::pair<const char*, PyObject*> tables[] = {{"1", staging_.get()}, {"0", text_.get()}};
            for (size_t i = 0; i < 2; ++i) {
                if (kept) {
                    arms[i] = texts.arms[i];
                } else {
                    const auto& [source, table] = tables[i];
                    TextBuilder b;
                    b.text(sql(kIndexedArm, {ascii_text(source).get(), table, ascii_text(i == 0 ? "s" : "m").get(),
                                             (i == 0 ? texts.newer : texts.staged).get()}).get());
                    if (where_) b.text(sql(kIndexedArmWhere, {where_.get()}).get());
                    b.text(ascii_text(kIndexedArmOrder).get());
                    arms[i] = limited(b);
                }
                read(arms[i].get());
                if (full()) return;
            }
            if (limit_ < 0 && !kept) {
                texts.where = Ref::borrow(condition);
                texts.arms[0] = std::move(arms[0]);
                texts.arms[1] = std::move(arms[1]);
            }
            return;
        }
        TextBuilder b;
        b.text(sql(kIndexedHead, {text_.get(), texts.newer.get(), text_.get(), texts.staged.get()}).get());
        if (where_) b.text(sql(kOrderedWhere, {where_.get()}).get());
        b.text(sql(kOrderedTail, {order_by}).get());
        read(limited(b).get());
    }

    db::Cursor& cur_;
    PyObject* table_;
    PyObject* params_;
    PyObject* each_;
    AnswerSink* sink_;
    Py_ssize_t given_ = 0;  // rows handed to each_ or sink_
    Ref cols_, text_, staging_, where_, answer_;
    std::vector<Key> keys_;
    std::vector<Py_ssize_t> out_;
    std::string entry_;              // the key tuple at hand, written as the key sets hold it
    std::vector<long long> older_;   // rowids of the staged rows that a newer staged row supersedes
    std::vector<long long> joined_;  // rowids of the main rows that a key SQLite matches removes
    std::shared_ptr<Texts> texts_;  // the indexed plan's texts, shared with the kept plan (if any)
    Py_ssize_t limit_ = -1;
    long long staged_bound_ = LLONG_MAX;  // the newest staged row that newest_first reads
    size_t key_budget_ = SIZE_MAX;        // the bytes the key sets may hold before newest_first gives up
    bool over_budget_ = false;
    bool plain_values_ = false;  // text is read as str
    struct {
        db::Standing standing;
        long long schema_version = 0;
    } stamp_;
};

}  // namespace

namespace {

Ref run_query(PyObject* conn, PyObject* table, PyObject* where, PyObject* params, PyObject* columns,
              PyObject* order_by, PyObject* limit, PyObject* each, AnswerSink* sink) {
    // The arguments are checked before anything is sent.
    const bool filtered = clause(where, "where");
    const bool ordered = clause(order_by, "order_by");
    const Py_ssize_t most = row_limit(limit);
    if (each != Py_None && !PyCallable_Check(each)) {
        raise(PyExc_TypeError, "each must be callable or None, not %.200s", Py_TYPE(each)->tp_name);
    }
    Ref bound = bound_params(params);
    db::Read read(conn, table);  // the table's text is pasted into every statement: a plain identifier only
    // Parts handed out are freed as they go: nothing piles up for the collector to wait on.
    std::optional<CollectorPause> pause;
    if (each == Py_None) pause.emplace();
    // The merge compares staged rows by the values the connection reads: SQL compares them as stored, the
    // same only while text is read as str.
    PyObject* factory = nullptr;
    if (compat::get_optional_attr(conn, names->text_factory.get(), &factory) < 0) throw PyError{};
    Ref text_factory = Ref::steal(factory);
    const bool plain_values = !text_factory || text_factory.get() == reinterpret_cast<PyObject*>(&PyUnicode_Type);
    Ref answer = Answer(read.cur, read.text.get(), bound.get(), each == Py_None ? nullptr : each, sink)
                     .run(where, filtered, columns, order_by, ordered, most, plain_values);
    return read.done(std::move(answer));
}

}  // namespace

Ref query(PyObject* conn, PyObject* table, PyObject* where, PyObject* params, PyObject* columns, PyObject* order_by,
          PyObject* limit, PyObject* each) {
    return run_query(conn, table, where, params, columns, order_by, limit, each, nullptr);
}

std::optional<std::vector<long long>> superseded_staged(db::Cursor& cur, PyObject* table, PyObject* cols,
                                                        const std::vector<UniqueKey>& keys, long long bound,
                                                        size_t budget) {
    return Answer(cur, table, nullptr, nullptr).superseded_up_to(cols, keys, bound, budget);
}

Ref query_into(PyObject* conn, PyObject* table, PyObject* where, PyObject* params, PyObject* columns,
               PyObject* order_by, PyObject* limit, AnswerSink& sink) {
    return run_query(conn, table, where, params, columns, order_by, limit, Py_None, &sink);
}

}  // namespace morvel
