// morvel.query: the rows that the main table will hold once its staged rows are merged, answered before
// the merge, at the cost of reading the candidate rows once. The merge's rule, restated on key tuples:
// a staged row survives unless a newer staged row has an equal tuple for some unique key; a main row
// survives unless any staged row has an equal tuple for some key (a superseded staged row included: the
// merge looks its values up too). Tuples compare as the merge compares them, by value (1 equals 1.0,
// text never equals a blob), and a tuple that holds NULL equals nothing.
#include <algorithm>
#include <climits>
#include <string_view>
#include <vector>

#include "callables.hpp"
#include "catalog.hpp"
#include "connection.hpp"
#include "function.hpp"

namespace morvel {

namespace {

// The statements: after "rowid" come ",a,b", the columns a pass needs, in table order. The caller's
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

constexpr std::string_view kRows = R"(
            SELECT rowid{}
            FROM {}
            ORDER BY rowid
        )";

constexpr std::string_view kMatchingRows = R"(
            SELECT rowid{}
            FROM {}
            WHERE (
{}
            )
            ORDER BY rowid
        )";

// Staged and main rows as one ordered stream; the source (1 staged, 0 main) and the rowid lead each row.
// The rowid keeps its name, so that the condition and the ordering may use it as on one table.
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
        )";

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
        PyErr_Format(PyExc_TypeError, "%s must be str or None, not %.200s", what, Py_TYPE(text)->tp_name);
        throw PyError{};
    }
    Ref stripped = call_method(text, names->strip.get(), {});
    return PyUnicode_GET_LENGTH(stripped.get()) > 0;
}

// `limit`: None (-1 here) or an int of 0 or more.
Py_ssize_t row_limit(PyObject* limit) {
    if (limit == Py_None) return -1;
    if (PyBool_Check(limit) || !PyIndex_Check(limit)) {
        PyErr_Format(PyExc_TypeError, "limit must be an int or None, not %.200s", Py_TYPE(limit)->tp_name);
        throw PyError{};
    }
    Ref n = own(PyNumber_Index(limit));
    const Py_ssize_t v = PyLong_AsSsize_t(n.get());
    if (v == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PyError{};
        PyErr_Clear();
        if (check(PyObject_RichCompareBool(n.get(), names->zero.get(), Py_LT))) {
            PyErr_SetString(PyExc_ValueError, "limit must be 0 or more");
            throw PyError{};
        }
        return PY_SSIZE_T_MAX;
    }
    if (v < 0) {
        PyErr_Format(PyExc_ValueError, "limit must be 0 or more, not %zd", v);
        throw PyError{};
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
            PyErr_Format(PyExc_ValueError, "%R is not a column of %S (columns: %U)", bare.get(), table, listed.get());
            throw PyError{};
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
    PyErr_SetString(PyExc_IndexError, "list index out of range");
    throw PyError{};
}

Ref int_object(Py_ssize_t v) { return own(PyLong_FromSsize_t(v)); }

long long rowid_of(PyObject* row, Py_ssize_t at) {
    Ref id = item_at(row, at);
    const long long v = PyLong_AsLongLong(id.get());
    if (v == -1 && PyErr_Occurred()) throw PyError{};
    return v;
}

struct Key {
    std::vector<Py_ssize_t> columns;  // column indexes, in the key's order
    Ref seen;                         // every tuple a staged row holds for this key
};

// Which columns one statement selects, and where each one lands in its rows.
struct Layout {
    std::vector<Py_ssize_t> slot;  // per column: its index in a fetched row, -1 when not selected
    Ref select;                    // ",a,b": the selected columns after the leading rowid

    // Rows of rowid and the given columns (in table order).
    Layout(PyObject* cols, const std::vector<bool>& wanted) : slot(wanted.size(), -1) {
        TextBuilder b;
        Py_ssize_t next = 1;
        for (size_t c = 0; c < wanted.size(); ++c) {
            if (!wanted[c]) continue;
            Ref name = Ref::borrow(PyList_GET_ITEM(cols, static_cast<Py_ssize_t>(c)));  // formatting may run code
            b.ascii(",").text(fstr_of(name.get()).get());
            slot[c] = next++;
        }
        select = b.finish();
    }
    // Rows that lead with `lead` fields, then every column.
    Layout(size_t ncols, Py_ssize_t lead) : slot(ncols) {
        for (size_t c = 0; c < ncols; ++c) slot[c] = lead + static_cast<Py_ssize_t>(c);
    }

    std::vector<Position> positions(const std::vector<Py_ssize_t>& columns) const {
        std::vector<Position> out;
        for (Py_ssize_t c : columns) out.emplace_back(int_object(slot[static_cast<size_t>(c)]));
        return out;
    }
};

// The answer is built of many new lists that can never form a cycle; the cycle collector, which would
// traverse all of them again and again as they pile up (half the time of a large call), waits until the
// call ends. Garbage that other code makes meanwhile is collected then.
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

class Answer {
public:
    Answer(db::Cursor& cur, PyObject* table, PyObject* params) : cur_(cur), table_(table), params_(params) {}

    Ref run(PyObject* where, bool filtered, PyObject* columns, PyObject* order_by, bool ordered, Py_ssize_t limit) {
        cols_ = read_columns(cur_, table_);
        text_ = fstr_of(table_);
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
        for (const UniqueKey& k : unique_keys(uniques.get())) {
            Key key{{}, own(PySet_New(nullptr))};
            for (const Position& p : k.positions) key.columns.push_back(column_of(p, cols_.get()));
            keys_.push_back(std::move(key));
        }
        out_ = output_columns(columns, cols_.get(), text_.get());
        limit_ = limit;
        answer_ = own(PyList_New(0));
        where_ = filtered ? Ref::borrow(where) : Ref{};

        if (ordered) {
            read_staged_keys();
            ordered_pass(order_by);
        } else if (!filtered) {
            staged_in_one_pass();
            if (!full()) main_pass();
        } else {
            read_staged_keys();
            staged_pass();
            if (!full()) main_pass();
        }
        return std::move(answer_);
    }

private:
    bool full() const { return limit_ >= 0 && PyList_GET_SIZE(answer_.get()) >= limit_; }

    // The columns a candidate statement needs: the output columns and every key's columns.
    Layout candidate_layout() const {
        std::vector<bool> wanted(static_cast<size_t>(PyList_GET_SIZE(cols_.get())), false);
        for (Py_ssize_t c : out_) wanted[static_cast<size_t>(c)] = true;
        for (const Key& k : keys_)
            for (Py_ssize_t c : k.columns) wanted[static_cast<size_t>(c)] = true;
        return Layout(cols_.get(), wanted);
    }

    // The rows of `from` that satisfy the condition (every row without one), in rowid order. The
    // parameters go to these statements, which hold the condition.
    Ref candidates(PyObject* from, const Layout& layout) {
        Ref statement = where_ ? sql(kMatchingRows, {layout.select.get(), from, where_.get()})
                               : sql(kRows, {layout.select.get(), from});
        return db::query(cur_, statement.get(), params_);
    }

    void emit(PyObject* row, const Layout& layout) {
        const Py_ssize_t n = static_cast<Py_ssize_t>(out_.size());
        Ref out = own(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyList_SET_ITEM(out.get(), i, item_at(row, layout.slot[static_cast<size_t>(out_[static_cast<size_t>(i)])]).release());
        check(PyList_Append(answer_.get(), out.get()));
    }

    // Records the row's tuple for every key; true when a row met before (a newer one: rows come newest
    // first) already held one of them.
    bool superseded(PyObject* row, const std::vector<std::vector<Position>>& at) {
        bool older = false;
        for (size_t k = 0; k < keys_.size(); ++k) {
            Ref entry = seen_entry(at[k], row, 0);
            if (holds_null(entry.get(), at[k].size())) continue;
            const Py_ssize_t before = PySet_GET_SIZE(keys_[k].seen.get());
            check(PySet_Add(keys_[k].seen.get(), entry.get()));
            if (PySet_GET_SIZE(keys_[k].seen.get()) == before) older = true;
        }
        return older;
    }

    // Whether some staged row holds one of the main row's tuples. A key without columns makes no look-up
    // in the merge, so it removes no main row.
    bool replaced(PyObject* row, const std::vector<std::vector<Position>>& at) const {
        for (size_t k = 0; k < keys_.size(); ++k) {
            if (at[k].empty()) continue;
            Ref entry = seen_entry(at[k], row, 0);
            if (!holds_null(entry.get(), at[k].size()) && check(PySet_Contains(keys_[k].seen.get(), entry.get())))
                return true;
        }
        return false;
    }

    std::vector<std::vector<Position>> key_positions(const Layout& layout) const {
        std::vector<std::vector<Position>> at;
        for (const Key& k : keys_) at.push_back(layout.positions(k.columns));
        return at;
    }

    // Calls `each` with every staged row, newest first, chunk by chunk.
    template <class Each>
    void newest_first(const Layout& layout, Each&& each) {
        Ref statement = sql(kStagedNewestFirst, {layout.select.get(), text_.get()});
        Ref bound = own(PyLong_FromLongLong(LLONG_MAX));
        SignalPoll poll;
        for (;;) {
            Ref params = list_of({bound.get()});
            Ref rows = db::query(cur_, statement.get(), params.get());
            Py_ssize_t n = 0;
            long long last = LLONG_MIN;
            for (ForEach it(rows.get()); Ref row = it.next(); ++n) {
                poll();
                last = rowid_of(row.get(), 0);
                each(row.get());
            }
            if (n < kStagedChunk || last == LLONG_MIN) return;
            bound = own(PyLong_FromLongLong(last - 1));
        }
    }

    // No condition: the staged rows are read once, newest first, as the merge reads them.
    void staged_in_one_pass() {
        const Layout layout = candidate_layout();
        const auto at = key_positions(layout);
        newest_first(layout, [&](PyObject* row) {
            if (!superseded(row, at)) emit(row, layout);
        });
        check(PyList_Reverse(answer_.get()));
        if (full()) check(PyList_SetSlice(answer_.get(), limit_, PY_SSIZE_T_MAX, nullptr));
    }

    // With a condition or an ordering: the key columns of every staged row first, newest first (a row
    // that fails the condition still supersedes others), keeping the rowids of the superseded ones.
    void read_staged_keys() {
        if (keys_.empty()) return;
        std::vector<bool> wanted(static_cast<size_t>(PyList_GET_SIZE(cols_.get())), false);
        for (const Key& k : keys_)
            for (Py_ssize_t c : k.columns) wanted[static_cast<size_t>(c)] = true;
        const Layout layout(cols_.get(), wanted);
        const auto at = key_positions(layout);
        newest_first(layout, [&](PyObject* row) {
            if (superseded(row, at)) older_.push_back(rowid_of(row, 0));
        });
        std::reverse(older_.begin(), older_.end());  // read newest first: now in ascending order
    }

    bool older(long long rowid) const { return std::binary_search(older_.begin(), older_.end(), rowid); }

    void staged_pass() {
        const Layout layout = candidate_layout();
        Ref rows = candidates(staging_.get(), layout);
        SignalPoll poll;
        for (ForEach it(rows.get()); Ref row = it.next();) {
            poll();
            if (older(rowid_of(row.get(), 0))) continue;
            if (full()) return;
            emit(row.get(), layout);
        }
    }

    void main_pass() {
        const Layout layout = candidate_layout();
        const auto at = key_positions(layout);
        Ref rows = candidates(text_.get(), layout);
        SignalPoll poll;
        for (ForEach it(rows.get()); Ref row = it.next();) {
            poll();
            if (replaced(row.get(), at)) continue;
            if (full()) return;
            emit(row.get(), layout);
        }
    }

    // Both tables as one statement in the caller's order; the source field tells which rule applies.
    void ordered_pass(PyObject* order_by) {
        const Layout layout(static_cast<size_t>(PyList_GET_SIZE(cols_.get())), 2);
        const auto at = key_positions(layout);
        TextBuilder b;
        b.text(sql(kOrderedHead, {text_.get(), text_.get()}).get());
        if (where_) b.text(sql(kOrderedWhere, {where_.get()}).get());
        b.text(sql(kOrderedTail, {order_by}).get());
        Ref rows = db::query(cur_, b.finish().get(), params_);
        SignalPoll poll;
        for (ForEach it(rows.get()); Ref row = it.next();) {
            poll();
            Ref source = item_at(row.get(), 0);
            const bool staged = check(PyObject_IsTrue(source.get())) != 0;
            if (staged ? older(rowid_of(row.get(), 1)) : replaced(row.get(), at)) continue;
            if (full()) return;
            emit(row.get(), layout);
        }
    }

    db::Cursor& cur_;
    PyObject* table_;
    PyObject* params_;
    Ref cols_, text_, staging_, where_, answer_;
    std::vector<Key> keys_;
    std::vector<Py_ssize_t> out_;
    std::vector<long long> older_;  // rowids of the staged rows that a newer staged row supersedes
    Py_ssize_t limit_ = -1;
};

}  // namespace

Ref query(Args a) {
    PyObject *conn = a[0], *table = a[1], *where = a[2], *params = a[3], *columns = a[4], *order_by = a[5],
             *limit = a[6];
    // The arguments are checked before anything is sent.
    const bool filtered = clause(where, "where");
    const bool ordered = clause(order_by, "order_by");
    const Py_ssize_t most = row_limit(limit);
    Ref bound = bound_params(params);
    db::Cursor cur = db::cursor(conn);
    Ref name = table_text(table);  // pasted into every statement: a plain identifier only
    db::Snapshot snapshot(conn, cur);
    CollectorPause pause;
    Ref answer = Answer(cur, name.get(), bound.get()).run(where, filtered, columns, order_by, ordered, most);
    snapshot.end();
    return answer;
}

}  // namespace morvel
