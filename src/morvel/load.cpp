// Loading: rows appended to the staging or the main table, one INSERT per row (morvel.load a batch of rows
// at a time from any iterable, plain rows a group to an INSERT), and main rows deleted by rowid.
#include <algorithm>
#include <functional>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "arrow.hpp"
#include "callables.hpp"
#include "catalog.hpp"
#include "compat.hpp"
#include "connection.hpp"
#include "transaction.hpp"
#include "function.hpp"
#include "load.hpp"

namespace morvel {

namespace {

constexpr std::string_view kInsertStaging = R"(
            INSERT INTO temp_{} Values ({})
        )";


// "INSERT INTO {table} Values (" + val_str + ")", joined by plain concatenation.
constexpr std::string_view kInsertMainHead = R"(
            INSERT INTO )";
constexpr std::string_view kInsertMainValues = " Values (";
constexpr std::string_view kInsertMainTail = R"()
        )";

// "DELETE From {table} Where rowid in ({j})", one per rowid.
constexpr std::string_view kDeleteRowHead = R"(
            DELETE From {} Where rowid in ()";
constexpr std::string_view kDeleteRowTail = R"()
        )";


// "?" then ",?" for each further value.
Ref placeholders(Py_ssize_t n) {
    TextBuilder b;
    b.ascii("?");
    for (Py_ssize_t i = 1; i < n; ++i) b.ascii(",?");
    return b.finish();
}

// The placeholder list for the values of the first row.
Ref placeholders(PyObject* rows) {
    Ref first = item_at(rows, 0);
    const Py_ssize_t n = check_size(PyObject_Size(first.get()));
    if (n == 0) {
        raise(PyExc_ValueError, "row 0 is empty: a row holds one value per column of the table");
    }
    return placeholders(n);
}

// How many values a placeholder list takes: "?" and then ",?" per further value.
Py_ssize_t placeholder_count(PyObject* placeholders) { return (PyUnicode_GET_LENGTH(placeholders) + 1) / 2; }

// Text, bytes, memoryviews, sets and mappings are iterable, but their items are characters, byte values,
// members in no fixed order or keys, never the row's column values: such a row is refused at its place in
// the batch, before its INSERT.
class RowKind {
public:
    void require_row(PyObject* row, Py_ssize_t at) {
        if (PyList_CheckExact(row) || PyTuple_CheckExact(row)) return;
        if (no_values(row) || mapping(row)) refuse(row, at);
    }
    // A dict, or any collections.abc.Mapping.
    bool mapping(PyObject* row) {
        if (PyDict_Check(row)) return true;
        if (!mapping_) {
            Ref abc = own(PyImport_ImportModule("collections.abc"));
            mapping_ = own(PyObject_GetAttrString(abc.get(), "Mapping"));
        }
        return check(PyObject_IsInstance(row, mapping_.get())) != 0;
    }
    // The iterables other than mappings whose items are no column values.
    static bool no_values(PyObject* row) {
        return PyUnicode_Check(row) || PyBytes_Check(row) || PyByteArray_Check(row) || PyAnySet_Check(row) ||
               PyMemoryView_Check(row);
    }
    [[noreturn]] static void refuse(PyObject* row, Py_ssize_t at) {
        raise(PyExc_TypeError, "row %zd is of type '%.200s', not a sequence of column values", at,
              Py_TYPE(row)->tp_name);
    }

private:
    Ref mapping_;
};

// A DataFrame or Arrow data iterates over its columns (or their names), not its rows: staged as a sequence
// of rows it would be stored transposed. Such an object says what it is by the interfaces it exposes.
void require_rows(PyObject* rows, const char* instead) {
    for (PyObject* name : {names->arrow_c_stream.get(), names->arrow_c_array.get(), names->dataframe.get()}) {
        PyObject* found = nullptr;
        if (compat::get_optional_attr(rows, name, &found) < 0) throw PyError{};
        if (Ref::steal(found).get() == nullptr) continue;
        raise(PyExc_TypeError,
              "rows is a DataFrame or Arrow data (type '%.200s', with %U): its items are its columns, not its rows; "
              "%s",
              Py_TYPE(rows)->tp_name, name, instead);
    }
}

constexpr const char* kStageWithLoad = "stage it with morvel.load";
constexpr const char* kRowsInstead =
    "pass its rows as tuples (df.itertuples(index=False, name=None), df.iter_rows(), table.to_pylist())";

// A row of another length than the statement's placeholders is refused by the sqlite3 module's execute.
// A connection that binds it all the same (with NULL for the missing values, or without the extra ones)
// would store another row than the one given: that is said here, once its execute has returned.
void require_bound_width(Py_ssize_t bound, Py_ssize_t width, Py_ssize_t at) {
    if (bound == width) return;
    raise(PyExc_ValueError,
                 "row %zd has %zd values for %zd placeholders, and the connection bound it without an error: it "
                 "does not check the number of parameters. The row was sent: roll back to undo it",
                 at, bound, width);
}

// One execute per row, each row bound as a new list, all through the same statement object, whose
// placeholders are `width` in number. The call's transaction begins before the first INSERT. `at` is the
// place of the first row in the whole load, for the message of a refused row.
void insert_rows(db::Cursor& cur, db::Atomic& call, PyObject* statement, PyObject* rows, Py_ssize_t width,
                 Py_ssize_t at = 0) {
    SignalPoll poll;
    RowKind kind;
    for (ForEach it(rows); Ref row = it.next(); ++at) {
        poll();
        kind.require_row(row.get(), at);
        call.begin();
        require_bound_width(db::execute_row(cur, statement, row.get()), width, at);
    }
}



// A row whose values SQLite takes as they are, read into `out` (`width` values): a tuple of that width holding
// only None and exact int (within 64 bits), float, str (UTF-8) and bytes. Any other row goes alone, as
// insert_temp sends it, and meets what insert_temp does with it (an adapter, a conversion, an error).
bool plain_row(PyObject* row, Py_ssize_t width, db::Value* out) {
    if (!PyTuple_CheckExact(row) || PyTuple_GET_SIZE(row) != width) return false;
    for (Py_ssize_t i = 0; i < width; ++i) {
        PyObject* v = PyTuple_GET_ITEM(row, i);
        const PyTypeObject* t = Py_TYPE(v);
        db::Value& value = out[i];
        value = db::Value{};
        if (v == Py_None) continue;
        if (t == &PyLong_Type) {
            int overflow = 0;
            value.i = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (overflow != 0 || (value.i == -1 && PyErr_Occurred())) {
                PyErr_Clear();
                return false;
            }
            value.kind = db::Value::Kind::Int;
        } else if (t == &PyFloat_Type) {
            value.d = PyFloat_AS_DOUBLE(v);
            value.kind = db::Value::Kind::Real;
        } else if (t == &PyUnicode_Type) {
            Py_ssize_t n = 0;
            value.p = PyUnicode_AsUTF8AndSize(v, &n);
            if (value.p == nullptr) {  // a lone surrogate
                PyErr_Clear();
                return false;
            }
            value.n = static_cast<size_t>(n);
            value.kind = db::Value::Kind::Text;
        } else if (t == &PyBytes_Type) {
            value.p = PyBytes_AS_STRING(v);
            value.n = static_cast<size_t>(PyBytes_GET_SIZE(v));
            value.kind = db::Value::Kind::Blob;
        } else {
            return false;
        }
    }
    return true;
}

// Rows sent one to a statement, from `rows[begin:end]`: as insert_rows sends them, or, where the cursor takes
// many rows at once (the method path, a cursor with executemany), by one executemany. A row of another width
// than the statement's ends it, sent too: the connection refuses it, or binds it, as it would the one row.
void send_single(db::Cursor& cur, db::Atomic& call, const StagingInsert& insert, PyObject* rows, Py_ssize_t begin,
                 Py_ssize_t end, Py_ssize_t at) {
    const Py_ssize_t width = static_cast<Py_ssize_t>(insert.width());
    Ref slice = own(PyList_GetSlice(rows, begin, end));
    if (!db::takes_many(cur)) return insert_rows(cur, call, insert.single(), slice.get(), width, at + begin);
    for (Py_ssize_t from = 0, n = PyList_GET_SIZE(slice.get()); from < n;) {
        Py_ssize_t stop = from, bound = width;
        while (stop < n && bound == width) bound = PyTuple_GET_SIZE(PyList_GET_ITEM(slice.get(), stop++));
        call.begin();
        db::execute_many(cur, insert.single(), own(PyList_GetSlice(slice.get(), from, stop)).get());
        require_bound_width(bound, width, at + begin + stop - 1);
        from = stop;
    }
}

// morvel.load's rows (Batches made each a tuple): group() rows to a statement wherever that many plain rows
// (plain_row) follow each other, every other row alone (send_single). The same statements on every path:
// bound from the values on the native path; elsewhere each run of grouped statements goes by one executemany
// of their values, row after row, where the cursor has one, or by one execute each.
void load_rows(db::Cursor& cur, db::Atomic& call, const StagingInsert& insert, PyObject* rows, Py_ssize_t at) {
    const Py_ssize_t n = PyList_GET_SIZE(rows), width = static_cast<Py_ssize_t>(insert.width());
    const Py_ssize_t group = static_cast<Py_ssize_t>(insert.group());
    const bool many = db::takes_many(cur);
    std::vector<db::Value> values(insert.width() * insert.group());
    Ref grouped;  // many: the values of the grouped statements of the run at hand
    auto flush = [&] {
        if (!grouped || PyList_GET_SIZE(grouped.get()) == 0) return;
        call.begin();
        db::execute_many(cur, insert.grouped(), grouped.get());
        grouped = own(PyList_New(0));
    };
    if (many) grouped = own(PyList_New(0));
    SignalPoll poll;
    Py_ssize_t i = 0, single = 0;  // rows[single:i] go alone, once the next group or the end comes
    while (i < n) {
        poll();
        Py_ssize_t plain = 0;
        while (group > 1 && plain < group && i + plain < n &&
               plain_row(PyList_GET_ITEM(rows, i + plain), width, values.data() + plain * width))
            ++plain;
        if (plain < group) {  // too few plain rows here: they go alone, and so does the row after them
            i += std::max<Py_ssize_t>(plain, 1);
            continue;
        }
        if (single < i) {
            flush();
            send_single(cur, call, insert, rows, single, i, at);
        }
        if (many) {
            Ref flat = own(PyTuple_New(width * group));
            for (Py_ssize_t r = 0; r < group; ++r)
                for (Py_ssize_t c = 0; c < width; ++c)
                    PyTuple_SET_ITEM(flat.get(), r * width + c, Py_NewRef(PyTuple_GET_ITEM(PyList_GET_ITEM(rows, i + r), c)));
            check(PyList_Append(grouped.get(), flat.get()));
        } else {
            call.begin();
            insert.send(cur, values.data(), insert.group());
        }
        single = i += group;
    }
    flush();
    if (single < n) send_single(cur, call, insert, rows, single, n, at);
}

// numpy's integer, floating and bool scalars, stored by morvel.load as the int, float or 1/0 they hold:
// the sqlite3 module binds a numpy integer or bool (no int) as the bytes of its buffer, a blob that no
// `a = 1` finds. Only numpy's own types are converted, each type looked at once per load: any other class
// (one with __index__ too) keeps what the sqlite3 module and its adapters make of it.
class Numbers {
public:
    // The row (a tuple) with its numpy scalars converted: a new tuple unless `ours`, the row itself when
    // there are none.
    Ref row(Ref values, bool ours) {
        const Py_ssize_t n = PyTuple_GET_SIZE(values.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* v = PyTuple_GET_ITEM(values.get(), i);
            if (builtin(v)) continue;
            Ref stored = convert(v);
            if (!stored) continue;
            if (!ours) {
                values = copy(values.get());
                ours = true;
            }
            Ref old = Ref::steal(PyTuple_GET_ITEM(values.get(), i));
            PyTuple_SET_ITEM(values.get(), i, stored.release());
        }
        return values;
    }

private:
    enum class As { Itself, Int, Float, Bool };

    // The exact types that bind as they are, the usual values first.
    static bool builtin(PyObject* v) {
        const PyTypeObject* t = Py_TYPE(v);
        return t == &PyLong_Type || t == &PyFloat_Type || t == &PyUnicode_Type || v == Py_None ||
               t == &PyBytes_Type || t == &PyBool_Type;
    }
    // The value stored for `v`; empty when it is `v` itself.
    Ref convert(PyObject* v) {
        switch (as(Py_TYPE(v))) {
            case As::Int: return own(PyNumber_Index(v));
            case As::Float: return own(PyNumber_Float(v));
            case As::Bool: return Ref::borrow(check(PyObject_IsTrue(v)) ? names->one.get() : names->zero.get());
            case As::Itself: break;
        }
        return {};
    }
    As as(PyTypeObject* t) {
        for (const auto& [type, how] : seen_)
            if (type.get() == reinterpret_cast<PyObject*>(t)) return how;
        const As how = classify(t);
        seen_.emplace_back(Ref::borrow(reinterpret_cast<PyObject*>(t)), how);
        return how;
    }
    // A numpy scalar type is a static type whose module (its name before the dot) is numpy; a class
    // written in Python, a subclass of numpy's included, is a heap type. numpy 2's bool has no __index__
    // and a timedelta64 (an integer type) none either: its count means nothing without its unit.
    static As classify(PyTypeObject* t) {
        if (PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE)) return As::Itself;
        const std::string_view name = t->tp_name;
        constexpr std::string_view numpy = "numpy.";
        if (!name.starts_with(numpy) || name.find('.', numpy.size()) != std::string_view::npos) return As::Itself;
        if (name == "numpy.bool" || name == "numpy.bool_") return As::Bool;
        if (name == "numpy.timedelta64" || t->tp_mro == nullptr) return As::Itself;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(t->tp_mro); ++i) {
            const std::string_view base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(t->tp_mro, i))->tp_name;
            if (base == "numpy.integer") return As::Int;
            if (base == "numpy.floating") return As::Float;
        }
        return As::Itself;
    }
    static Ref copy(PyObject* tuple) {
        const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
        Ref out = own(PyTuple_New(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyTuple_SET_ITEM(out.get(), i, Ref::borrow(PyTuple_GET_ITEM(tuple, i)).release());
        return out;
    }

    std::vector<std::pair<Ref, As>> seen_;
};

// `text` with its ASCII capitals in lower case and every other character as it is: how SQLite compares
// names.
Ref ascii_lower(PyObject* text) {
    check(compat::ready(text));
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Ref out = own(PyUnicode_New(n, PyUnicode_MAX_CHAR_VALUE(text)));
    void* to = PyUnicode_DATA(out.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
        PyUnicode_WRITE(kind, to, i, c);
    }
    return out;
}

// "refuse" (the default) or "null": whether a row of a table with unique keys may lack some columns.
bool null_missing(PyObject* missing) {
    if (PyUnicode_Check(missing)) {
        if (PyUnicode_CompareWithASCIIString(missing, "null") == 0) return true;
        if (PyUnicode_CompareWithASCIIString(missing, "refuse") == 0) return false;
    }
    raise(PyExc_ValueError, "missing must be 'refuse' or 'null', not %R", missing);
}

// Rows given as mappings, each made the tuple of its values in the order of the staging table's columns,
// its keys matched to their names as SQLite matches names (ASCII letters without case). A key that names
// no column, or a column another key of the row names too, is refused; a column without a key is NULL,
// unless the table has unique keys: the merge replaces main rows by those keys, and would lose the values
// the row lacks (missing="null" says they are meant to be NULL).
class Records {
public:
    Records(db::Cursor& cur, PyObject* table, bool null_missing)
        : cur_(cur), table_(Ref::borrow(table)), at_(own(PyDict_New())), folded_(own(PyDict_New())),
          null_missing_(null_missing) {
        Ref staging = TextBuilder().ascii("temp_").text(table).finish();
        Ref columns = read_columns(cur, staging.get());
        width_ = PyList_GET_SIZE(columns.get());
        if (width_ == 0) {
            raise(PyExc_ValueError, "row 0 is a mapping, but there is no table %U whose columns its keys name",
                  staging.get());
        }
        TextBuilder listed;
        for (Py_ssize_t i = 0; i < width_; ++i) {
            PyObject* column = PyList_GET_ITEM(columns.get(), i);
            if (!PyUnicode_Check(column)) {
                raise(PyExc_TypeError, "the column names of %U are read as %.200s, not str: no key can name them",
                      staging.get(), Py_TYPE(column)->tp_name);
            }
            // Interned, as the keys written in code are: those are found by identity.
            PyObject* name = own(PyUnicode_FromObject(column)).release();
            PyUnicode_InternInPlace(&name);
            Ref interned = Ref::steal(name);
            Ref at = own(PyLong_FromSsize_t(i));
            check(PyDict_SetItem(at_.get(), interned.get(), at.get()));
            check(PyDict_SetItem(folded_.get(), ascii_lower(interned.get()).get(), at.get()));
            check(PyList_SetItem(columns.get(), i, interned.release()));
            if (i > 0) listed.ascii(", ");
            listed.text(name);
        }
        columns_ = std::move(columns);
        listed_ = listed.finish();
    }

    // The row's values in column order: a new tuple.
    Ref row(PyObject* record, Py_ssize_t at, Numbers& numbers) {
        Ref values = own(PyTuple_New(width_));
        size_t n = 0;  // the key's place in the row
        if (PyDict_CheckExact(record)) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(record, &pos, &key, &value)) place(values.get(), n++, key, value, at);
        } else {
            // Any other mapping as dict() reads one: its keys by iteration, each value by subscription.
            for (ForEach keys(record); Ref key = keys.next();)
                place(values.get(), n++, key.get(), item(record, key.get()).get(), at);
        }
        missing_.clear();
        for (Py_ssize_t i = 0; i < width_; ++i) {
            if (PyTuple_GET_ITEM(values.get(), i) != nullptr) continue;
            missing_.push_back(i);
            PyTuple_SET_ITEM(values.get(), i, Ref::borrow(Py_None).release());
        }
        if (!missing_.empty()) require_complete(at);
        // Only the batch holds the tuple, and no Python code ever sees it: it can be part of no cycle.
        // Untracked, a batch of them costs the collector nothing (tracked, they would be walked by every
        // collection until the batch is sent).
        PyObject_GC_UnTrack(values.get());
        return numbers.row(std::move(values), true);
    }

private:
    // The rows of one source mostly repeat the same key objects in the same order (the names of a
    // frame's columns, the keys of a literal): the key at place n is first compared, by identity, with
    // the key the last row had there, and looked up only when it differs.
    void place(PyObject* values, size_t n, PyObject* key, PyObject* value, Py_ssize_t at) {
        Py_ssize_t i;
        if (n < last_.size() && last_[n].first.get() == key) {
            i = last_[n].second;
        } else {
            i = position(key, at);
            if (n < last_.size()) {
                last_[n] = {Ref::borrow(key), i};  // held: its address cannot be taken by another key
            } else if (n < static_cast<size_t>(width_)) {
                last_.emplace_back(Ref::borrow(key), i);
            }
        }
        if (PyTuple_GET_ITEM(values, i) != nullptr) {
            raise(PyExc_ValueError,
                  "row %zd has key %R for column %U of %U, which another of its keys names too (keys match "
                  "column names with ASCII letters compared without case)",
                  at, key, PyList_GET_ITEM(columns_.get(), i), table_.get());
        }
        PyTuple_SET_ITEM(values, i, Ref::borrow(value).release());
    }

    Py_ssize_t position(PyObject* key, Py_ssize_t at) {
        if (PyUnicode_CheckExact(key)) {
            PyObject* found = PyDict_GetItemWithError(at_.get(), key);
            if (found != nullptr) return PyLong_AsSsize_t(found);
            if (PyErr_Occurred()) throw PyError{};
        } else if (!PyUnicode_Check(key)) {
            raise(PyExc_TypeError, "row %zd has key %R of type '%.200s': the keys of a row are column names (str)",
                  at, key, Py_TYPE(key)->tp_name);
        }
        // Another spelling of a column's name (or a str subclass): found by its ASCII lower case, and kept
        // for the rows to come.
        Ref text = own(PyUnicode_FromObject(key));
        PyObject* found = PyDict_GetItemWithError(folded_.get(), ascii_lower(text.get()).get());
        if (found == nullptr) {
            if (PyErr_Occurred()) throw PyError{};
            raise(PyExc_ValueError, "row %zd has key %R, which is not a column of %U (%U)", at, key, table_.get(),
                  listed_.get());
        }
        if (PyDict_GET_SIZE(at_.get()) < kSpellingsKept) check(PyDict_SetItem(at_.get(), text.get(), found));
        return PyLong_AsSsize_t(found);
    }

    void require_complete(Py_ssize_t at) {
        if (null_missing_) return;
        if (keyed_ < 0) keyed_ = check(PyObject_IsTrue(read_uniques(cur_, table_.get()).get()));
        if (keyed_ == 0) return;
        TextBuilder lacking;
        for (size_t n = 0; n < missing_.size(); ++n) {
            if (n > 0) lacking.ascii(", ");
            lacking.text(PyList_GET_ITEM(columns_.get(), missing_[n]));
        }
        raise(PyExc_ValueError,
              "row %zd has no key for %U of %U (%U), which has unique keys: the main rows a merge replaces "
              "would lose those values; pass missing='null' if they are meant to be NULL",
              at, lacking.finish().get(), table_.get(), listed_.get());
    }

    static constexpr Py_ssize_t kSpellingsKept = 1024;
    db::Cursor& cur_;
    Ref table_;
    Ref at_;       // a key as rows write it (a column's own name, or another spelling seen) -> its position
    Ref folded_;   // a column's name in ASCII lower case -> its position
    Ref columns_;  // the columns' names, in table order
    Ref listed_;   // "a, b, c"
    Py_ssize_t width_ = 0;
    bool null_missing_;
    int keyed_ = -1;  // whether the table has unique keys, read when a row first lacks a column
    std::vector<Py_ssize_t> missing_;
    std::vector<std::pair<Ref, Py_ssize_t>> last_;  // the keys of the last row, in its order, and their columns
};

// Rows taken from an iterator `size` at a time into one list, reused: what a load holds at once. Each
// row's values are taken as the row is taken, into a tuple of their own: an iterable that refills one row
// object for every row (as readers of binary formats do) stages each row as it was when it came. Row 0
// decides what all the rows are: sequences of the columns' values, or mappings of column names to values;
// for mappings the staging table's columns are read through the cursor that `open` gives, inside the
// call's transaction.
class Batches {
public:
    Batches(PyObject* rows, PyObject* size, PyObject* table, bool null_missing, std::function<db::Cursor&()> open)
        : rows_(rows), chunk_(own(PyList_New(0))), table_(table), null_missing_(null_missing), open_(std::move(open)) {
        Ref n = own(PyNumber_Index(size));
        size_ = PyLong_AsSsize_t(n.get());
        if (size_ == -1 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PyError{};
            PyErr_Clear();
            raise(PyExc_ValueError, "batch must be a number of rows from 1 to %zd, not %S", PY_SSIZE_T_MAX,
                         n.get());
        }
        if (size_ < 1) {
            raise(PyExc_ValueError, "batch must be at least 1, not %zd", size_);
        }
    }
    // The next rows, an empty list once the iterable is exhausted.
    PyObject* next() {
        check(PyList_SetSlice(chunk_.get(), 0, PY_SSIZE_T_MAX, nullptr));
        SignalPoll poll;
        for (Py_ssize_t n = 0; n < size_; ++n, ++taken_) {
            poll();
            Ref row = rows_.next();
            if (!row) break;
            if (taken_ == 0 && kind_.mapping(row.get())) records_.emplace(open_(), table_, null_missing_);
            row = records_ ? record(row.get()) : values(std::move(row));
            check(PyList_Append(chunk_.get(), row.get()));
        }
        return chunk_.get();
    }

private:
    Ref values(Ref row) {
        const bool exact = PyTuple_CheckExact(row.get());
        if (!exact && !PyList_CheckExact(row.get())) {
            if (kind_.mapping(row.get())) {
                raise(PyExc_TypeError,
                      "row %zd is a mapping (type '%.200s'), but row 0 is a sequence: the rows of one load are "
                      "all sequences of column values or all mappings of column names to values",
                      taken_, Py_TYPE(row.get())->tp_name);
            }
            if (RowKind::no_values(row.get())) RowKind::refuse(row.get(), taken_);
        }
        if (!exact) row = own(PySequence_Tuple(row.get()));
        return numbers_.row(std::move(row), !exact);
    }
    Ref record(PyObject* row) {
        if (!PyDict_CheckExact(row) && !kind_.mapping(row)) {
            raise(PyExc_TypeError,
                  "row %zd is of type '%.200s', not a mapping, but row 0 is one: the rows of one load are all "
                  "sequences of column values or all mappings of column names to values",
                  taken_, Py_TYPE(row)->tp_name);
        }
        return records_->row(row, taken_, numbers_);
    }

    ForEach rows_;
    Ref chunk_;
    PyObject* table_;
    bool null_missing_;
    std::function<db::Cursor&()> open_;
    Py_ssize_t size_ = 0;
    Py_ssize_t taken_ = 0;
    RowKind kind_;
    Numbers numbers_;
    std::optional<Records> records_;
};


// The table's columns, each with the place of the source's column that gives its values (-1: none, NULL).
// Names match as SQLite matches them, ASCII letters in either case (as the keys of mappings, below). A source column the table lacks is an
// error; so is a table column the source lacks when the table has unique keys, unless `missing_null`
// says it is meant to be NULL: a merge would replace main rows by rows without those values.
std::vector<Py_ssize_t> match_columns(db::Cursor& cur, PyObject* table, const std::vector<Ref>& source,
                                      bool missing_null) {
    Ref staging = TextBuilder().ascii("temp_").text(table).finish();
    Ref columns = read_columns(cur, staging.get());
    const Py_ssize_t width = PyList_GET_SIZE(columns.get());
    std::vector<Py_ssize_t> from(static_cast<size_t>(width), -1);
    if (width == 0) {  // no staging table: the INSERT says so, with the source's columns in order
        from.resize(source.size());
        for (size_t i = 0; i < source.size(); ++i) from[i] = static_cast<Py_ssize_t>(i);
        return from;
    }
    auto folded = [](PyObject* name) { return ascii_lower(name); };
    Ref at = own(PyDict_New());
    for (Py_ssize_t j = 0; j < width; ++j)
        check(PyDict_SetItem(at.get(), folded(PyList_GET_ITEM(columns.get(), j)).get(), own(PyLong_FromSsize_t(j)).get()));
    for (size_t i = 0; i < source.size(); ++i) {
        PyObject* place = PyDict_GetItemWithError(at.get(), folded(source[i].get()).get());
        if (place == nullptr) {
            if (PyErr_Occurred()) throw PyError{};
            Ref listed = call_method(names->comma_space.get(), names->join.get(), {columns.get()});
            const bool index = PyUnicode_CompareWithASCIIString(source[i].get(), "__index_level_0__") == 0;
            raise(PyExc_ValueError, "column %R is not a column of %U (%U)%s", source[i].get(), table, listed.get(),
                  index ? ": it is a DataFrame's index (reset_index(drop=True) leaves it out)" : "");
        }
        const Py_ssize_t j = PyLong_AsSsize_t(place);
        if (from[static_cast<size_t>(j)] >= 0)
            raise(PyExc_ValueError, "columns %R and %R are both column %R of %U", source[static_cast<size_t>(from[static_cast<size_t>(j)])].get(),
                  source[i].get(), PyList_GET_ITEM(columns.get(), j), table);
        from[static_cast<size_t>(j)] = static_cast<Py_ssize_t>(i);
    }
    if (missing_null) return from;
    Ref lacking = own(PyList_New(0));
    for (Py_ssize_t j = 0; j < width; ++j)
        if (from[static_cast<size_t>(j)] < 0) check(PyList_Append(lacking.get(), PyList_GET_ITEM(columns.get(), j)));
    if (PyList_GET_SIZE(lacking.get()) > 0 && check(PyObject_IsTrue(read_uniques(cur, table).get()))) {
        Ref listed = call_method(names->comma_space.get(), names->join.get(), {lacking.get()});
        raise(PyExc_ValueError,
              "the data has no column %U of %U, which has unique keys: a merge would replace main rows by rows "
              "without those values; pass missing='null' if they are meant to be NULL",
              listed.get(), table);
    }
    return from;
}

// The staging table's indexes while morvel.load fills it from empty, inside the call's own transaction: its
// rollback brings them back if the load fails.
class Suspension {
public:
    Suspension(db::Cursor& cur, db::Atomic& atomic, PyObject* table) : cur_(cur), table_(table) {
        atomic.begin();
        on_ = atomic.undoes() && suspend_staging_indexes(cur, table);
    }
    void resume() const {
        if (on_) resume_staging_indexes(cur_, table_);
    }

private:
    db::Cursor& cur_;
    PyObject* table_;
    bool on_ = false;
};

// Arrow data staged through insert_temp's INSERT, one placeholder per column of the table, each value bound
// from the column buffers, a group of rows to a statement; the rows left at the end go one to a statement.
Ref load_arrow(PyObject* conn, PyObject* table, PyObject* data, PyObject* comm, bool missing_null) {
    arrow::Reader in(data);  // the schema and every column's type are checked before `conn` is asked anything
    db::Call call(conn, comm);
    std::vector<Ref> source;
    for (size_t i = 0; i < in.width(); ++i) source.push_back(Ref::borrow(in.name(i)));
    const std::vector<Py_ssize_t> from = match_columns(call.cur, table, source, missing_null);
    const size_t width = from.size();
    if (width == 0) raise(PyExc_ValueError, "the Arrow data has no columns");
    const StagingInsert insert(table, width);
    const size_t group = insert.group();
    std::vector<db::Value> values(width * group);
    for (size_t i = 0; i < in.width(); ++i) in.column(i).reserve(group);
    Py_ssize_t staged = 0;
    call.run_rows([&](db::Cursor& cur) {
        SignalPoll poll;
        std::optional<Suspension> suspended;  // at the first row: no row, nothing sent
        while (in.next()) {
            const int64_t rows = in.rows();
            for (int64_t r = 0; r < rows;) {
                poll();
                const size_t take = rows - r >= static_cast<int64_t>(group) ? group : 1;
                for (size_t k = 0; k < take; ++k, ++r) {
                    db::Value* row = values.data() + k * width;
                    const bool null_row = in.null_row(r);
                    for (size_t j = 0; j < width; ++j)
                        row[j] = from[j] < 0 || null_row ? db::Value{} : in.column(static_cast<size_t>(from[j])).value(r, k);
                }
                if (!suspended) suspended.emplace(cur, call.atomic, table);
                call.atomic.begin();
                insert.send(cur, values.data(), take);
                staged += static_cast<Py_ssize_t>(take);
            }
        }
        if (suspended) suspended->resume();
    });
    return own(PyLong_FromSsize_t(staged));
}

}  // namespace

StagingInsert::StagingInsert(PyObject* table, size_t width)
    : width_(width), group_(group_of(width)) {
    Ref one = placeholders(static_cast<Py_ssize_t>(width));
    single_ = sql(kInsertStaging, {table, one.get()});
    TextBuilder many;
    for (size_t k = 0; k < group_; ++k) many.ascii(k == 0 ? "" : "),(").text(one.get());
    grouped_ = sql(kInsertStaging, {table, many.finish().get()});
}

void StagingInsert::send(db::Cursor& cur, const db::Value* values, size_t rows) const {
    db::execute_values(cur, rows == 1 ? single_.get() : grouped_.get(), values, rows * width_);
}

// The loads begin their transaction before each row they send (insert_rows, run_rows): no row, nothing sent.

Ref insert_temp(PyObject* conn, PyObject* table, PyObject* rows, PyObject* comm) {
    // Before the cursor is taken: rows that are no rows are refused, and no rows ask nothing of `conn`.
    require_rows(rows, kStageWithLoad);
    if (check_size(PyObject_Size(rows)) == 0) return Ref::borrow(Py_None);
    db::Call call(conn, comm);
    // str(table), not f"{table}": the name as the INSERT writes it.
    Ref name = str_of(table);
    require_plain(name.get(), "table");
    Ref values = placeholders(rows);
    Ref statement = sql(kInsertStaging, {name.get(), values.get()});
    return call.run_rows([&](db::Cursor& cur) {
        insert_rows(cur, call.atomic, statement.get(), rows, placeholder_count(values.get()));
    });
}

Ref load(PyObject* conn, PyObject* table, PyObject* rows, PyObject* comm, PyObject* batch, PyObject* missing) {
    // The checks and the first batch come before the cursor, unless row 0 is a mapping: then the cursor
    // comes with it, to read the columns its keys name.
    Ref name = str_of(table);
    require_plain(name.get(), "table");  // before the first row is taken from the iterable
    if (arrow::Reader::exposes(rows)) return load_arrow(conn, name.get(), rows, comm, null_missing(missing));
    require_rows(rows, kRowsInstead);
    std::optional<db::Call> call;
    Batches batches(rows, batch, name.get(), null_missing(missing), [&]() -> db::Cursor& {
        call.emplace(conn, comm);
        call->atomic.begin();
        return call->cur;
    });
    PyObject* chunk = batches.next();
    if (PyList_GET_SIZE(chunk) == 0) return own(PyLong_FromLong(0));  // no row: nothing sent, as insert_temp
    if (!call) call.emplace(conn, comm);
    // The statements of insert_temp for the whole load: their placeholders come from the very first row.
    const StagingInsert insert(name.get(), static_cast<size_t>(placeholder_count(placeholders(chunk).get())));
    Py_ssize_t staged = 0;
    call->run_rows([&](db::Cursor& cur) {
        const Suspension suspended(cur, call->atomic, name.get());
        for (; PyList_GET_SIZE(chunk) > 0; chunk = batches.next()) {
            load_rows(cur, call->atomic, insert, chunk, staged);
            staged += PyList_GET_SIZE(chunk);
        }
        suspended.resume();
    });
    return own(PyLong_FromSsize_t(staged));
}

Ref insert_main(PyObject* conn, PyObject* table, PyObject* rows, PyObject* comm) {
    // Unlike insert_temp's, the cursor comes first, and the table is checked only when there are rows;
    // with none, nothing is committed either.
    db::Call call(conn, comm);
    require_rows(rows, kStageWithLoad);
    if (check_size(PyObject_Size(rows)) == 0) return Ref::borrow(Py_None);
    table_text(table);
    Ref values = placeholders(rows);
    // Plain concatenation: a table name that is not text fails here, before any row is sent.
    Ref statement = concat(ascii_text(kInsertMainHead).get(), table);
    statement = concat(statement.get(), ascii_text(kInsertMainValues).get());
    statement = concat(statement.get(), values.get());
    statement = concat(statement.get(), ascii_text(kInsertMainTail).get());
    return call.run_rows([&](db::Cursor& cur) {
        insert_rows(cur, call.atomic, statement.get(), rows, placeholder_count(values.get()));
    });
}

// As the loads, it begins before each statement it sends: no rowid, nothing sent.
Ref delete_row_main(PyObject* conn, PyObject* table, PyObject* ids, PyObject* comm) {
    db::Call call(conn, comm, table);
    Ref head = sql(kDeleteRowHead, {call.text.get()});
    db::IntStatement with_int(head.get(), kDeleteRowTail);
    return call.run_rows([&](db::Cursor& cur) {
        // One statement per rowid, its text written into the `in` list.
        SignalPoll poll;
        for (ForEach it(ids); Ref id = it.next();) {
            poll();
            call.atomic.begin();
            if (db::execute(cur, with_int, id.get())) continue;
            db::execute(cur, TextBuilder().text(head.get()).text(str_of(id.get()).get()).ascii(kDeleteRowTail).finish().get());
        }
    });
}

}  // namespace morvel
