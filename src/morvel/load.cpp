// Loading and merge: bulk appends to the staging or main table, deletion by rowid, and the merge of
// the staging table into the main table under the newest-row-wins rule of the unique keys.
#include <string_view>
#include <vector>

#include "callables.hpp"
#include "catalog.hpp"
#include "connection.hpp"
#include "function.hpp"

namespace morvel {

namespace {

constexpr std::string_view kInsertStaging = R"(
            INSERT INTO temp_{} Values ({})
        )";

constexpr std::string_view kSelectStagedNewestFirst = R"(
            SELECT * FROM temp_{} ORDER BY rowid DESC
        )";

constexpr std::string_view kLookup = R"(
            SELECT rowid FROM {} WHERE {}
        )";

constexpr std::string_view kEmptyStaging = R"(
            DELETE From temp_{}
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

// The placeholder list for the values of the first row: "?" then ",?" for each further value.
Ref placeholders(PyObject* rows) {
    Ref first = item_at(rows, 0);
    const Py_ssize_t n = check_size(PyObject_Size(first.get()));
    TextBuilder b;
    b.ascii("?");
    for (Py_ssize_t i = 1; i < n; ++i) b.ascii(",?");
    return b.finish();
}

// How many values a placeholder list takes: "?" and then ",?" per further value.
Py_ssize_t placeholder_count(PyObject* placeholders) { return (PyUnicode_GET_LENGTH(placeholders) + 1) / 2; }

// Text, bytes and mappings are iterable, but their items are characters, byte values or keys, never
// the row's column values: such a row is refused at its place in the batch, before its INSERT.
class RowKind {
public:
    void require_row(PyObject* row, Py_ssize_t at) {
        if (PyList_CheckExact(row) || PyTuple_CheckExact(row)) return;
        bool refused = PyUnicode_Check(row) || PyBytes_Check(row) || PyByteArray_Check(row) || PyDict_Check(row);
        if (!refused) {
            if (!mapping_) {
                Ref abc = own(PyImport_ImportModule("collections.abc"));
                mapping_ = own(PyObject_GetAttrString(abc.get(), "Mapping"));
            }
            refused = check(PyObject_IsInstance(row, mapping_.get())) != 0;
        }
        if (refused) {
            PyErr_Format(PyExc_TypeError, "row %zd is of type '%.200s', not a sequence of column values", at,
                         Py_TYPE(row)->tp_name);
            throw PyError{};
        }
    }

private:
    Ref mapping_;
};

// A row of another length than the statement's placeholders is refused by the sqlite3 module's execute.
// A connection that binds it all the same (with NULL for the missing values, or without the extra ones)
// would store another row than the one given: that is said here, once its execute has returned.
void require_bound_width(Py_ssize_t bound, Py_ssize_t width, Py_ssize_t at) {
    if (bound == width) return;
    PyErr_Format(PyExc_ValueError,
                 "row %zd has %zd values for %zd placeholders, and the connection bound it without an error: it "
                 "does not check the number of parameters. The row was sent: roll back to undo it",
                 at, bound, width);
    throw PyError{};
}

// One execute per row, each row bound as a new list, all through the same statement object, whose
// placeholders are `width` in number.
void insert_rows(db::Cursor& cur, PyObject* statement, PyObject* rows, Py_ssize_t width) {
    SignalPoll poll;
    RowKind kind;
    Py_ssize_t at = 0;
    for (ForEach it(rows); Ref row = it.next(); ++at) {
        poll();
        kind.require_row(row.get(), at);
        require_bound_width(db::execute_row(cur, statement, row.get()), width, at);
    }
}

Ref concat(PyObject* a, PyObject* b) { return own(PyNumber_Add(a, b)); }

Ref ascii_text(std::string_view s) {
    return own(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// The SQL condition "a = ? AND b = ? " over the key's columns.
Ref lookup_condition(const std::vector<Ref>& columns) {
    TextBuilder b;
    bool first = true;
    for (const Ref& c : columns) {
        if (!first) b.ascii("AND ");
        b.text(fstr_of(c.get()).get()).ascii(" = ? ");
        first = false;
    }
    return b.finish();
}

// Adds `key` to `seen`; false when it was there already. One hash computation per key tuple.
bool add_new(PyObject* seen, PyObject* key) {
    const Py_ssize_t before = PySet_GET_SIZE(seen);
    check(PySet_Add(seen, key));
    return PySet_GET_SIZE(seen) != before;
}

// What the merge knows of one unique key: its positions, its seen set and its lookup statement,
// built from the column names the first time a staged row needs it.
struct MergeKey {
    std::vector<Position> positions;
    Ref seen;
    Ref lookup;
};

}  // namespace

Ref insert_temp(Args a) {
    PyObject *conn = a[0], *table = a[1], *rows = a[2], *comm = a[3];
    if (check_size(PyObject_Size(rows)) == 0) return Ref::borrow(Py_None);
    db::Cursor cur = db::cursor(conn);
    Ref values = placeholders(rows);
    Ref statement = sql(kInsertStaging, {str_of(table).get(), values.get()});
    insert_rows(cur, statement.get(), rows, placeholder_count(values.get()));
    db::commit_if(conn, comm);
    return Ref::borrow(Py_None);
}

Ref insert_main(Args a) {
    PyObject *conn = a[0], *table = a[1], *rows = a[2], *comm = a[3];
    db::Cursor cur = db::cursor(conn);
    if (check_size(PyObject_Size(rows)) > 0) {
        Ref values = placeholders(rows);
        // Plain concatenation: a table name that is not text fails here, before any row is sent.
        Ref statement = concat(ascii_text(kInsertMainHead).get(), table);
        statement = concat(statement.get(), ascii_text(kInsertMainValues).get());
        statement = concat(statement.get(), values.get());
        statement = concat(statement.get(), ascii_text(kInsertMainTail).get());
        insert_rows(cur, statement.get(), rows, placeholder_count(values.get()));
        db::commit_if(conn, comm);
    }
    return Ref::borrow(Py_None);
}

Ref delete_row_main(Args a) {
    PyObject *conn = a[0], *table = a[1], *ids = a[2], *comm = a[3];
    db::Cursor cur = db::cursor(conn);
    Ref head = sql(kDeleteRowHead, {fstr_of(table).get()});
    db::IntStatement with_int(head.get(), kDeleteRowTail);
    // One statement per rowid, its text written into the `in` list.
    SignalPoll poll;
    for (ForEach it(ids); Ref id = it.next();) {
        poll();
        if (db::execute(cur, with_int, id.get())) continue;
        db::execute(cur, TextBuilder().text(head.get()).text(str_of(id.get()).get()).ascii(kDeleteRowTail).finish().get());
    }
    db::commit_if(conn, comm);
    return Ref::borrow(Py_None);
}

Ref temp_to_main(Args a) {
    PyObject *conn = a[0], *table = a[1], *comm = a[2];
    db::Cursor cur = db::cursor(conn);
    // One transaction from the first read to the commit: rows staged by others meanwhile cannot be
    // emptied unmerged, and a failure or a rollback leaves no table without its indexes.
    db::begin_transaction(conn, cur);
    Ref text = fstr_of(table);

    // Scan phase: nothing here changes the database.
    Ref cols = read_columns(cur, table);
    Ref uniques = read_uniques(cur, table);
    std::vector<MergeKey> keys;
    for (UniqueKey& k : unique_keys(uniques.get())) keys.push_back({std::move(k.positions), own(PySet_New(nullptr)), {}});
    Ref origin_ids = own(PySet_New(nullptr));
    Ref docs = own(PyList_New(0));
    // All staged rows in one fetch, newest first: the seen sets then settle staged conflicts in memory.
    Ref staged = db::query(cur, sql(kSelectStagedNewestFirst, {text.get()}).get());

    SignalPoll poll(256);  // a row costs a lookup per key
    for (ForEach it(staged.get()); Ref row = it.next();) {
        poll();
        bool superseded = false;
        for (MergeKey& k : keys) {
            if (!k.lookup) {  // the first staged row: column names and values are read pairwise
                std::vector<Ref> columns;
                for (const Position& p : k.positions) {
                    columns.push_back(p.of(cols.get(), 0));
                    p.of(row.get(), 0);
                }
                k.lookup = sql(kLookup, {text.get(), lookup_condition(columns).get()});
            }
            Ref key = seen_entry(k.positions, row.get(), 0);
            // A key holding NULL repeats no other, as under SQL's `=` of the lookups below.
            if (!holds_null(key.get(), k.positions.size()) && !add_new(k.seen.get(), key.get())) {
                superseded = true;
                continue;
            }
            if (k.positions.empty()) continue;
            // The main-table rows that carry the same key values, found while the indexes still stand.
            Ref values = k.positions.size() == 1 ? list_of({key.get()}) : new_list(key.get());
            Ref found = db::query(cur, k.lookup.get(), values.get());
            for (ForEach f(found.get()); Ref hit = f.next();) check(PySet_Add(origin_ids.get(), item_at(hit.get(), 0).get()));
        }
        if (!superseded) check(PyList_Append(docs.get(), row.get()));
    }

    // Write phase: the main table is suspended from the first index drop to the reactivation.
    call_module(Fn::drop_table_index, {conn, table, Py_False});
    call_module(Fn::delete_row_main, {conn, table, origin_ids.get(), Py_False});
    call_module(Fn::insert_main, {conn, table, docs.get(), Py_False});
    db::execute(cur, sql(kEmptyStaging, {text.get()}).get());
    call_module(Fn::active_table_index, {conn, table, Py_False});
    db::commit_if(conn, comm);
    return Ref::borrow(Py_None);
}

}  // namespace morvel
