// Loading: rows appended to the staging or the main table, one INSERT per row (morvel.load a batch of rows
// at a time from any iterable), and main rows deleted by rowid.
#include <algorithm>
#include <string_view>
#include <vector>

#include "arrow.hpp"
#include "callables.hpp"
#include "catalog.hpp"
#include "connection.hpp"
#include "transaction.hpp"
#include "function.hpp"

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
        bool refused = PyUnicode_Check(row) || PyBytes_Check(row) || PyByteArray_Check(row) || PyDict_Check(row) ||
                       PyAnySet_Check(row) || PyMemoryView_Check(row);
        if (!refused) {
            if (!mapping_) {
                Ref abc = own(PyImport_ImportModule("collections.abc"));
                mapping_ = own(PyObject_GetAttrString(abc.get(), "Mapping"));
            }
            refused = check(PyObject_IsInstance(row, mapping_.get())) != 0;
        }
        if (refused) {
            raise(PyExc_TypeError, "row %zd is of type '%.200s', not a sequence of column values", at,
                         Py_TYPE(row)->tp_name);
        }
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



// Rows taken from an iterator `size` at a time into one list, reused: what a load holds at once. Each
// row's values are taken as the row is taken, into a tuple of their own: an iterable that refills one row
// object for every row (as readers of binary formats do) stages each row as it was when it came.
class Batches {
public:
    Batches(PyObject* rows, PyObject* size) : rows_(rows), chunk_(own(PyList_New(0))) {
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
            kind_.require_row(row.get(), taken_);
            if (!PyTuple_CheckExact(row.get())) row = own(PySequence_Tuple(row.get()));
            check(PyList_Append(chunk_.get(), row.get()));
        }
        return chunk_.get();
    }

private:
    ForEach rows_;
    Ref chunk_;
    Py_ssize_t size_ = 0;
    Py_ssize_t taken_ = 0;
    RowKind kind_;
};


// The table's columns, each with the place of the source's column that gives its values (-1: none, NULL).
// Names match as SQLite matches them, ASCII letters in either case. A source column the table lacks is an
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
    auto folded = [&](PyObject* name) { return call_method(name, names->lower.get(), {}); };
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
              "without those values; give missing=\"null\" if they are meant to be NULL",
              listed.get(), table);
    }
    return from;
}

// Arrow data staged through insert_temp's INSERT, one placeholder per column of the table, each value bound
// from the column buffers. Rows go `group` to a statement ("Values (?,...),(?,...)"): a row's share of
// SQLite's work per statement is most of the cost of a row bound without Python objects. The rows left at
// the end go one to a statement.
Ref load_arrow(PyObject* conn, PyObject* table, PyObject* data, PyObject* comm, bool missing_null) {
    arrow::Reader in(data);  // the schema and every column's type are checked before `conn` is asked anything
    db::Call call(conn, comm);
    std::vector<Ref> source;
    for (size_t i = 0; i < in.width(); ++i) source.push_back(Ref::borrow(in.name(i)));
    const std::vector<Py_ssize_t> from = match_columns(call.cur, table, source, missing_null);
    const size_t width = from.size();
    if (width == 0) raise(PyExc_ValueError, "the Arrow data has no columns");
    // Within the 999 parameters that every SQLite build takes.
    const size_t group = std::max<size_t>(1, std::min<size_t>(16, 999 / width));
    Ref one = placeholders(static_cast<Py_ssize_t>(width));
    Ref single = sql(kInsertStaging, {table, one.get()});
    TextBuilder many;
    for (size_t k = 0; k < group; ++k) many.ascii(k == 0 ? "" : "),(").text(one.get());
    Ref grouped = sql(kInsertStaging, {table, many.finish().get()});
    std::vector<db::Value> values(width * group);
    for (size_t i = 0; i < in.width(); ++i) in.column(i).reserve(group);
    Py_ssize_t staged = 0;
    call.run_rows([&](db::Cursor& cur) {
        SignalPoll poll;
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
                call.atomic.begin();
                db::execute_values(cur, take == 1 ? single.get() : grouped.get(), values.data(), take * width);
                staged += static_cast<Py_ssize_t>(take);
            }
        }
    });
    return own(PyLong_FromSsize_t(staged));
}

}  // namespace

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

Ref load(PyObject* conn, PyObject* table, PyObject* rows, PyObject* comm, PyObject* batch) {
    // The checks and the first batch come before the cursor.
    Ref name = str_of(table);
    require_plain(name.get(), "table");  // before the first row is taken from the iterable
    if (arrow::Reader::exposes(rows)) return load_arrow(conn, name.get(), rows, comm, false);
    require_rows(rows, kRowsInstead);
    Batches batches(rows, batch);
    PyObject* chunk = batches.next();
    if (PyList_GET_SIZE(chunk) == 0) return own(PyLong_FromLong(0));  // no row: nothing sent, as insert_temp
    db::Call call(conn, comm);
    // The statement of insert_temp for the whole load: its placeholders come from the very first row.
    Ref values = placeholders(chunk);
    Ref statement = sql(kInsertStaging, {name.get(), values.get()});
    const Py_ssize_t width = placeholder_count(values.get());
    Py_ssize_t staged = 0;
    call.run_rows([&](db::Cursor& cur) {
        for (; PyList_GET_SIZE(chunk) > 0; chunk = batches.next()) {
            insert_rows(cur, call.atomic, statement.get(), chunk, width, staged);
            staged += PyList_GET_SIZE(chunk);
        }
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
