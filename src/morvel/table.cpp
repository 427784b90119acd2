// Table lifecycle: a managed table is created with its staging table, indexes and unique keys in one
// call, and removed with all of it.
#include <string_view>

#include "callables.hpp"
#include "names.hpp"
#include "catalog.hpp"
#include "connection.hpp"
#include "transaction.hpp"
#include "function.hpp"

namespace morvel {

namespace {

constexpr std::string_view kCreateMain = R"(
            CREATE TABLE {} ({})
        )";

constexpr std::string_view kCreateStaging = R"(
            CREATE TABLE temp_{} ({})
        )";

constexpr std::string_view kDropMain = R"(
            DROP Table IF EXISTS {}
        )";

constexpr std::string_view kDeleteIndexRows = R"(
            DELETE
            FROM index_table
            Where table_name = '{}'
        )";

constexpr std::string_view kDeleteUniqueRows = R"(
            DELETE
            FROM unique_table
            Where table_name = '{}'
        )";

constexpr std::string_view kDropStaging = R"(
            DROP Table IF EXISTS temp_{}
        )";

// `left + ("," + right)`, with Python's own rules (and errors) for the operands.
Ref join_comma(PyObject* left, PyObject* right) { return concat(left, concat(names->comma.get(), right).get()); }

// Refuses, before anything is sent, a column whose definition names it rowid. A sequence that cannot
// be read here raises later, where the columns are joined.
void require_named_columns(PyObject* cols, PyObject* table) {
    if (!PyList_Check(cols) && !PyTuple_Check(cols)) return;
    Ref items = own(PySequence_Tuple(cols));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i)
        if (Ref name = spec_name(PyTuple_GET_ITEM(items.get(), i))) require_row_identity(name.get(), table);
}

}  // namespace

Ref create_table(PyObject* conn, PyObject* name, PyObject* cols, PyObject* index, PyObject* unique, PyObject* comm) {
    db::Call call(conn, comm, name);
    require_own_table(call.cur, call.text.get());
    require_named_columns(cols, call.text.get());
    return call.run([&](db::Cursor& cur) {
        call_module(Fn::drop_table, {conn, name, Py_False});

        Ref col_str = item_at(cols, 0);
        const Py_ssize_t ncols = check_size(PyObject_Size(cols));
        for (Py_ssize_t i = 1; i < ncols; ++i) col_str = join_comma(col_str.get(), item_at(cols, i).get());
        Ref name_text = fstr_of(name);
        Ref col_text = fstr_of(col_str.get());
        db::execute(cur, sql(kCreateMain, {name_text.get(), col_text.get()}).get());
        db::execute(cur, sql(kCreateStaging, {name_text.get(), col_text.get()}).get());

        for (ForEach it(index); Ref desc = it.next();) {
            check(PyObject_SetItem(desc.get(), names->table.get(), name));  // the caller's dict keeps the key
            call_module(Fn::insert_index, {conn, desc.get(), Py_False});
        }

        for (ForEach it(unique); Ref desc = it.next();) {
            Ref positions = item(desc.get(), names->cols.get());
            Ref first = item_at(positions.get(), 0);
            Ref key_cols = key_column(item(cols, first.get()).get());
            Ref key_nums = str_of(first.get());
            const Py_ssize_t npos = check_size(PyObject_Size(positions.get()));
            for (Py_ssize_t i = 1; i < npos; ++i) {
                Ref p = item_at(positions.get(), i);
                key_cols = join_comma(key_cols.get(), key_column(item(cols, p.get()).get()).get());
                key_nums = join_comma(key_nums.get(), str_of(p.get()).get());
            }
            Ref key_name = item(desc.get(), names->name.get());
            call_module(Fn::insert_unique, {conn, name, key_name.get(), key_cols.get(), key_nums.get(), Py_False});
        }
    });
}

Ref drop_table(PyObject* conn, PyObject* table, PyObject* comm) {
    db::Call call(conn, comm, table);
    Ref literal = quoted(call.text.get());
    require_own_table(call.cur, call.text.get());
    return call.run([&](db::Cursor& cur) {
        PyObject* text = call.text.get();
        // The main table goes first (its indexes with it), then its catalog rows, the staging table last.
        db::execute(cur, sql(kDropMain, {text}).get());
        db::execute(cur, sql(kDeleteIndexRows, {literal.get()}).get());
        db::execute(cur, sql(kDeleteUniqueRows, {literal.get()}).get());
        db::execute(cur, sql(kDropStaging, {text}).get());
    });
}

}  // namespace morvel
