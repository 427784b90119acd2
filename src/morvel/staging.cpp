// Indexed staging, chosen per table: the staging table temp_<t> gets the indexes of t's catalog under
// names of its own (temp_<t>_<index>), and the choice is recorded in staging_index, a table that only
// index_staging creates, so that files without it and the catalog's own functions stay as they were.
#include <string_view>

#include "callables.hpp"
#include "catalog.hpp"
#include "connection.hpp"
#include "transaction.hpp"
#include "function.hpp"

namespace morvel {

namespace {

constexpr std::string_view kCreateStagingRecord = R"(
            CREATE TABLE IF NOT EXISTS staging_index (table_name)
        )";

constexpr std::string_view kForgetStaging = R"(
            DELETE FROM staging_index WHERE table_name = ?
        )";

constexpr std::string_view kRecordStaging = R"(
            INSERT INTO staging_index VALUES (?)
        )";

// The catalog's indexes of a table, as active_table_index reads them (the first row of a name counts).
constexpr std::string_view kCatalogIndexes = R"(
            SELECT index_name, columns FROM index_table WHERE table_name = ?
        )";

// Every index of the file with the table it is on and its text: to keep those already as wanted, drop the
// rest of the staging table's own, and refuse a name another table's index already holds.
constexpr std::string_view kFileIndexes = R"(
            SELECT name, tbl_name, sql FROM sqlite_master WHERE type = 'index'
        )";

// "CREATE INDEX " and the rest below is what SQLite keeps of it.
constexpr std::string_view kCreateStagingIndex = "CREATE INDEX IF NOT EXISTS {} ON temp_{} ({})";
constexpr std::string_view kStagingIndexKept = "CREATE INDEX {} ON temp_{} ({})";

constexpr std::string_view kDropStagingIndex = R"(
            DROP INDEX IF EXISTS {}
        )";

// Whether the record exists, and the staging table's indexes: one read for a file without the record.
constexpr std::string_view kStagingState = R"(
            SELECT type, name FROM sqlite_master
            WHERE (type = 'table' AND name = 'staging_index') OR (type = 'index' AND tbl_name = ? COLLATE NOCASE)
        )";

constexpr std::string_view kStagingRecorded = R"(
            SELECT count(*) FROM staging_index WHERE table_name = ?
        )";

constexpr std::string_view kStagingEmpty = R"(
            SELECT 1 FROM temp_{} LIMIT 1
        )";

Ref staging_name(PyObject* text) { return TextBuilder().ascii("temp_").text(text).finish(); }

// The name of the staging table's copy of the catalog index `name`.
Ref staged_index_name(PyObject* text, PyObject* name) {
    Ref full = TextBuilder().ascii("temp_").text(text).ascii("_").text(str_of(name).get()).finish();
    require_plain(full.get(), "index");
    return full;
}

// Whether two names are the same as SQLite compares names: ASCII letters without case.
bool lower_equal(PyObject* a, PyObject* b) {
    if (!PyUnicode_Check(a) || !PyUnicode_Check(b)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b)) return false;
    const int ka = PyUnicode_KIND(a), kb = PyUnicode_KIND(b);
    const void *da = PyUnicode_DATA(a), *db_ = PyUnicode_DATA(b);
    auto fold = [](Py_UCS4 c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    for (Py_ssize_t i = 0; i < n; ++i)
        if (fold(PyUnicode_READ(ka, da, i)) != fold(PyUnicode_READ(kb, db_, i))) return false;
    return true;
}

// Whether an index name is one of the staging table's own: "temp_<t>_..." (SQLite's names ignore case).
bool staged_prefix(PyObject* name, PyObject* prefix) {
    if (!PyUnicode_Check(name) || PyUnicode_GET_LENGTH(name) <= PyUnicode_GET_LENGTH(prefix)) return false;
    Ref head = own(PyUnicode_Substring(name, 0, PyUnicode_GET_LENGTH(prefix)));
    return lower_equal(head.get(), prefix);
}

bool table_exists(db::Cursor& cur, PyObject* text) { return PyList_GET_SIZE(read_columns(cur, text).get()) > 0; }

// Makes the staging table's indexes those of the catalog (want true) or none (false): an index already
// as wanted stays, the others of its names go first.
void sync_indexes(db::Cursor& cur, PyObject* text, bool want) {
    Ref staging = staging_name(text);
    Ref prefix = TextBuilder().text(staging.get()).ascii("_").finish();
    Ref wanted = own(PyDict_New());  // name -> the text SQLite keeps of its CREATE INDEX
    Ref creates = own(PyList_New(0));
    if (want) {
        db::execute(cur, sql(kCreateIndexTable, {}).get());
        Ref rows = db::query(cur, sql(kCatalogIndexes, {}).get(), list_of({text}).get());
        for (ForEach it(rows.get()); Ref row = it.next();) {
            Ref name = staged_index_name(text, item_at(row.get(), 0).get());
            Ref cols = fstr_of(item_at(row.get(), 1).get());
            Ref kept = sql(kStagingIndexKept, {name.get(), text, cols.get()});
            if (PyDict_GetItemWithError(wanted.get(), name.get()) != nullptr) continue;
            if (PyErr_Occurred()) throw PyError{};
            check(PyDict_SetItem(wanted.get(), name.get(), kept.get()));
            check(PyList_Append(creates.get(), sql(kCreateStagingIndex, {name.get(), text, cols.get()}).get()));
        }
    }
    Ref all = db::query(cur, sql(kFileIndexes, {}).get());
    Ref doomed = own(PyList_New(0));
    for (ForEach it(all.get()); Ref row = it.next();) {
        Ref name = item_at(row.get(), 0), on = item_at(row.get(), 1), text_kept = item_at(row.get(), 2);
        const bool ours = lower_equal(on.get(), staging.get());
        PyObject* want_text = PyUnicode_Check(name.get()) ? PyDict_GetItemWithError(wanted.get(), name.get()) : nullptr;
        if (want_text == nullptr && PyErr_Occurred()) throw PyError{};
        if (!ours) {
            if (want_text != nullptr)
                raise(PyExc_ValueError, "index name %R, which the staging table's copy of an index takes, is "
                      "the name of an index of %R", name.get(), on.get());
            continue;
        }
        if (want_text != nullptr && check(PyObject_RichCompareBool(want_text, text_kept.get(), Py_EQ))) continue;
        if (staged_prefix(name.get(), prefix.get())) check(PyList_Append(doomed.get(), name.get()));
    }
    SignalPoll each(1);  // each index build can take long
    for (ForEach it(doomed.get()); Ref name = it.next();) {
        each();
        db::execute(cur, sql(kDropStagingIndex, {name.get()}).get());
    }
    for (ForEach it(creates.get()); Ref create = it.next();) {
        each();
        db::execute(cur, create.get());
    }
}

}  // namespace

Ref index_staging(PyObject* conn, PyObject* table, PyObject* on, PyObject* comm) {
    db::Call call(conn, comm, table);
    const bool want = check(PyObject_IsTrue(on)) == 1;
    PyObject* text = call.text.get();
    return call.run([&](db::Cursor& cur) {
        Ref staging = staging_name(text);
        if (!table_exists(cur, text) || !table_exists(cur, staging.get()))
            raise(PyExc_ValueError, "%U is not a managed table: it needs both %U and %U", text, text, staging.get());
        Ref found = db::query(cur, sql(kStagingState, {}).get(), list_of({staging.get()}).get());
        bool recorded = false;
        for (ForEach it(found.get()); Ref row = it.next();)
            recorded = recorded || PyUnicode_CompareWithASCIIString(item_at(row.get(), 0).get(), "table") == 0;
        if (want) {
            db::execute(cur, sql(kCreateStagingRecord, {}).get());
            recorded = true;
        }
        if (recorded) db::execute(cur, sql(kForgetStaging, {}).get(), list_of({text}).get());
        if (want) db::execute(cur, sql(kRecordStaging, {}).get(), list_of({text}).get());
        sync_indexes(cur, text, want);
    });
}

namespace {

// Whether the table's choice of indexed staging is recorded; `present` receives the staging table's index names.
bool staging_recorded(db::Cursor& cur, PyObject* text, PyObject* present) {
    Ref staging = staging_name(text);
    Ref found = db::query(cur, sql(kStagingState, {}).get(), list_of({staging.get()}).get());
    bool recorded = false;
    for (ForEach it(found.get()); Ref row = it.next();) {
        Ref name = item_at(row.get(), 1);
        if (PyUnicode_CompareWithASCIIString(item_at(row.get(), 0).get(), "table") == 0)
            recorded = true;
        else
            check(PySet_Add(present, name.get()));
    }
    if (!recorded) return false;
    Ref count = item_at(item_at(db::query(cur, sql(kStagingRecorded, {}).get(), list_of({text}).get()).get(), 0).get(), 0);
    return check(PyObject_IsTrue(count.get()));
}

}  // namespace

bool suspend_staging_indexes(db::Cursor& cur, PyObject* text) {
    Ref present = own(PySet_New(nullptr));
    if (!staging_recorded(cur, text, present.get()) || PySet_GET_SIZE(present.get()) == 0) return false;
    if (PyList_GET_SIZE(db::query(cur, sql(kStagingEmpty, {text}).get()).get()) != 0) return false;
    sync_indexes(cur, text, false);
    return true;
}

void resume_staging_indexes(db::Cursor& cur, PyObject* text) { sync_indexes(cur, text, true); }

bool staging_indexed(db::Cursor& cur, PyObject* text, const std::vector<Ref>& key_names) {
    Ref present = own(PySet_New(nullptr));
    if (!staging_recorded(cur, text, present.get())) return false;
    // Each key's lookup index, under the key's name: without one, every staged row would be a scan.
    for (const Ref& key : key_names) {
        Ref name = TextBuilder().ascii("temp_").text(text).ascii("_").text(str_of(key.get()).get()).finish();
        if (!check(PySet_Contains(present.get(), name.get()))) return false;
    }
    return true;
}

}  // namespace morvel
