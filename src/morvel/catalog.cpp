// The catalog (index_table, unique_table) and the SQLite indexes it describes: registration,
// removal, suspension and reactivation of indexes and unique keys.
#include <string>
#include <string_view>

#include "callables.hpp"
#include "catalog.hpp"
#include "connection.hpp"
#include "transaction.hpp"
#include "function.hpp"

namespace morvel {

namespace {

constexpr std::string_view kDeleteIndexRow = R"(
            DELETE FROM index_table
            where table_name = '{}' AND index_name = '{}'
        )";

constexpr std::string_view kInsertIndexRow = R"(
            INSERT INTO index_table
            Values (?,?,?)
        )";

constexpr std::string_view kSelectIndexRows = R"(
            SELECT *
            FROM index_table
            WHERE table_name = '{}'
        )";

constexpr std::string_view kDeleteUniqueRow = R"(
            DELETE FROM unique_table
            where table_name = '{}' AND unique_name = '{}'
        )";

constexpr std::string_view kInsertUniqueRow = R"(
            INSERT INTO unique_table
            Values (?,?,?,?)
        )";

constexpr std::string_view kSelectUniqueRows = R"(
            SELECT *
            FROM unique_table
            WHERE table_name = '{}'
        )";

constexpr std::string_view kTableInfo = "PRAGMA table_info({})";

constexpr std::string_view kCreateIndex = R"(
            CREATE INDEX if not exists {}
            ON {} ({})
        )";

constexpr std::string_view kDropIndex = R"(
            DROP INDEX if exists {}
        )";

constexpr std::string_view kAllIndexes = R"(
            SELECT * FROM sqlite_master WHERE type = 'index'
        )";

// The SQLite name of an index registered as `name` on `table`: "{table}_{name}", checked.
Ref full_index_name(PyObject* table, PyObject* name) {
    Ref full = TextBuilder().text(str_of(table).get()).ascii("_").text(str_of(name).get()).finish();
    require_plain(full.get(), "index");
    return full;
}

void send(db::Cursor& cur, std::string_view statement, std::initializer_list<PyObject*> texts = {}) {
    db::execute(cur, sql(statement, texts).get());
}

void create_index(db::Cursor& cur, PyObject* table, PyObject* name, PyObject* columns) {
    send(cur, kCreateIndex, {full_index_name(table, name).get(), fstr_of(table).get(), fstr_of(columns).get()});
}

// Deletes the catalog row (table, name) of index_table or unique_table.
void delete_row(db::Cursor& cur, std::string_view statement, PyObject* table, PyObject* name) {
    send(cur, statement, {quoted(fstr_of(table).get()).get(), quoted(fstr_of(name).get()).get()});
}


}  // namespace

namespace {

// One DROP INDEX per name, every name collected before the first DROP.
void drop_each(db::Cursor& cur, PyObject* doomed) {
    SignalPoll each(1);
    for (ForEach it(doomed); Ref name = it.next();) {
        each();
        // A user's own index may have any name ("my idx", "order"): such a name is written quoted.
        Ref text = fstr_of(name.get());
        if (!is_plain(text.get()) || is_keyword(text.get())) text = identifier(text.get());
        send(cur, kDropIndex, {text.get()});
    }
}

}  // namespace

Position::Position(Ref o) : obj(std::move(o)) {
    if (PyLong_CheckExact(obj.get()) || PyBool_Check(obj.get())) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(obj.get(), &overflow);
        if (v == -1 && PyErr_Occurred()) throw PyError{};
        // Python raises for a position too large for an index only when it is used.
        if (overflow != 0 || v > PY_SSIZE_T_MAX || v < PY_SSIZE_T_MIN) {
            kind = TooLarge;
        } else {
            value = static_cast<Py_ssize_t>(v);
            kind = Fast;
        }
    }
}

Ref Position::of(PyObject* seq, int offset) const {
    if (kind == Fast && value < 0 && offset != 0) {
        // A negative position counts from the last column, as it does in the column names and in a row
        // without the `offset` values in front, which it never reaches.
        const Py_ssize_t n = check_size(PyObject_Size(seq));
        return item_at(seq, value >= offset - n ? value : -n - 1);  // the latter raises the IndexError
    }
    if (kind == Fast && value <= PY_SSIZE_T_MAX - offset) return item_at(seq, value + offset);
    if (kind == Generic) {
        if (offset == 0) return item(seq, obj.get());
        Ref shifted = own(PyNumber_Add(obj.get(), names->one.get()));
        return item(seq, shifted.get());
    }
    raise(PyExc_IndexError, "cannot fit 'int' into an index-sized integer");
}

Ref seen_entry(const std::vector<Position>& positions, PyObject* row, int offset) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(positions.size());
    if (n == 1) return positions[0].of(row, offset);
    Ref key = own(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        PyTuple_SET_ITEM(key.get(), i, positions[static_cast<size_t>(i)].of(row, offset).release());
    return key;
}

Ref read_columns(db::Cursor& cur, PyObject* table) {
    Ref info = db::query(cur, sql(kTableInfo, {fstr_of(table).get()}).get());
    Ref cols = own(PyList_New(0));
    SignalPoll poll;
    if (check(PyObject_IsTrue(info.get())))
        for (ForEach it(info.get()); Ref row = it.next();) {
            poll();
            Ref column = item_at(row.get(), 1);
            require_row_identity(column.get(), table);
            check(PyList_Append(cols.get(), column.get()));
        }
    return cols;
}



Ref read_uniques(db::Cursor& cur, PyObject* table) {
    Ref rows = db::query(cur, sql(kSelectUniqueRows, {quoted(fstr_of(table).get()).get()}).get());
    Ref uniques = own(PyDict_New());
    SignalPoll poll;
    for (ForEach it(rows.get()); Ref row = it.next();) {
        poll();
        Ref col_num = item_at(row.get(), 3);
        Ref pieces = call_method(col_num.get(), names->split.get(), {names->comma.get()});
        Ref positions = own(PyList_New(0));
        for (ForEach p(pieces.get()); Ref piece = p.next();)
            check(PyList_Append(positions.get(), own(PyNumber_Long(piece.get())).get()));
        check(PyObject_SetItem(uniques.get(), item_at(row.get(), 1).get(), positions.get()));
    }
    return uniques;
}

std::vector<Position> positions_of(PyObject* positions) {
    std::vector<Position> out;
    for (ForEach it(positions); Ref p = it.next();) out.emplace_back(std::move(p));
    return out;
}

std::vector<UniqueKey> unique_keys(PyObject* uniques) {
    std::vector<UniqueKey> keys;
    for (ForEach it(uniques); Ref name = it.next();) {
        Ref positions = item(uniques, name.get());
        keys.push_back({std::move(name), positions_of(positions.get())});
    }
    return keys;
}

void drop_indexes_off_catalog(db::Cursor& cur, PyObject* table) {
    // What SQLite keeps of each CREATE INDEX that active_table_index sends: "CREATE INDEX " and the text
    // from the index name on ("if not exists" is not kept).
    constexpr std::string_view kept = kCreateIndex.substr(kCreateIndex.find("{}"));
    Ref wanted = own(PyDict_New());  // full name -> the text kept of its first catalog row, as the rebuild
    Ref rows = db::query(cur, sql(kSelectIndexRows, {quoted(fstr_of(table).get()).get()}).get());
    for (ForEach it(rows.get()); Ref row = it.next();) {
        Ref t = item_at(row.get(), 0), n = item_at(row.get(), 1), c = item_at(row.get(), 2);
        Ref full = full_index_name(t.get(), n.get());
        Ref rest = sql(kept, {full.get(), fstr_of(t.get()).get(), fstr_of(c.get()).get()});
        Ref text = TextBuilder().ascii("CREATE INDEX ").text(rest.get()).finish();
        if (PyDict_SetDefault(wanted.get(), full.get(), text.get()) == nullptr) throw PyError{};
    }
    Ref all = db::query(cur, sql(kAllIndexes, {}).get());
    Ref doomed = own(PyList_New(0));
    for (ForEach it(all.get()); Ref row = it.next();) {
        Ref on = item_at(row.get(), 2);
        if (!check(PyObject_RichCompareBool(on.get(), table, Py_EQ))) continue;
        Ref name = item_at(row.get(), 1), text = item_at(row.get(), 4);
        PyObject* want = PyDict_GetItemWithError(wanted.get(), name.get());
        if (want == nullptr && PyErr_Occurred()) throw PyError{};
        if (want == nullptr || !check(PyObject_RichCompareBool(want, text.get(), Py_EQ)))
            check(PyList_Append(doomed.get(), name.get()));
    }
    drop_each(cur, doomed.get());
}

Ref insert_index(PyObject* conn, PyObject* index, PyObject* comm) {
    // The table name is in the description, read only once the cursor is taken: the Call checks no table.
    db::Call call(conn, comm);
    // The description is read by subscription each time a value is needed, as a mapping allows.
    auto key = [index](const Ref& k) { return item(index, k.get()); };
    table_text(key(names->table).get());
    Ref full = full_index_name(key(names->table).get(), key(names->name).get());
    return call.run([&](db::Cursor& cur) {
        send(cur, kCreateIndexTable);
        delete_row(cur, kDeleteIndexRow, key(names->table).get(), key(names->name).get());
        send(cur, kDropIndex, {full.get()});
        Ref t = key(names->table), n = key(names->name), c = key(names->cols);
        db::execute(cur, sql(kInsertIndexRow, {}).get(), list_of({t.get(), n.get(), c.get()}).get());
        t = key(names->table);
        c = key(names->cols);
        send(cur, kCreateIndex, {full.get(), fstr_of(t.get()).get(), fstr_of(c.get()).get()});
    });
}

Ref drop_index(PyObject* conn, PyObject* table, PyObject* name, PyObject* comm) {
    db::Call call(conn, comm, table);
    Ref full = full_index_name(table, name);
    return call.run([&](db::Cursor& cur) {
        send(cur, kCreateIndexTable);
        delete_row(cur, kDeleteIndexRow, table, name);
        send(cur, kDropIndex, {full.get()});
    });
}

Ref active_table_index(PyObject* conn, PyObject* table, PyObject* comm) {
    return db::Call(conn, comm, table).run([&](db::Cursor& cur) {
        Ref rows = db::query(cur, sql(kSelectIndexRows, {quoted(fstr_of(table).get()).get()}).get());
        SignalPoll poll(1);  // each index build can take long
        for (ForEach it(rows.get()); Ref row = it.next();) {
            poll();
            Ref t = item_at(row.get(), 0), n = item_at(row.get(), 1), c = item_at(row.get(), 2);
            create_index(cur, t.get(), n.get(), c.get());
        }
    });
}

Ref drop_table_index(PyObject* conn, PyObject* table, PyObject* comm) {
    return db::Call(conn, comm, table).run([&](db::Cursor& cur) {
        Ref rows = db::query(cur, sql(kAllIndexes, {}).get());
        // Every name is collected before the first DROP, filtered here rather than in SQL.
        Ref doomed = own(PyList_New(0));
        SignalPoll poll;
        for (ForEach it(rows.get()); Ref row = it.next();) {
            poll();
            Ref on = item_at(row.get(), 2);
            if (check(PyObject_RichCompareBool(on.get(), table, Py_EQ)))
                check(PyList_Append(doomed.get(), item_at(row.get(), 1).get()));
        }
        drop_each(cur, doomed.get());
    });
}

Ref insert_unique(PyObject* conn, PyObject* table, PyObject* name, PyObject* cols, PyObject* cols_num,
                  PyObject* comm) {
    db::Call call(conn, comm, table);
    full_index_name(table, name);  // the key's lookup index
    return call.run([&](db::Cursor& cur) {
        send(cur, kCreateUniqueTable);
        delete_row(cur, kDeleteUniqueRow, table, name);
        db::execute(cur, sql(kInsertUniqueRow, {}).get(), list_of({table, name, cols, cols_num}).get());
        // The key's lookup index is an ordinary registered index under the key's own name.
        Ref index = own(PyDict_New());
        check(PyDict_SetItem(index.get(), names->table.get(), table));
        check(PyDict_SetItem(index.get(), names->name.get(), name));
        check(PyDict_SetItem(index.get(), names->cols.get(), cols));
        call_module(Fn::insert_index, {conn, index.get(), Py_False});
    });
}

Ref drop_unique(PyObject* conn, PyObject* table, PyObject* name, PyObject* comm) {
    return db::Call(conn, comm, table).run([&](db::Cursor& cur) {
        send(cur, kCreateUniqueTable);
        delete_row(cur, kDeleteUniqueRow, table, name);
    });
}

}  // namespace morvel
