// Query: the newest check over a row's linked group, and find across the staging and main tables.
#include <string_view>
#include <vector>

#include "callables.hpp"
#include "catalog.hpp"
#include "names.hpp"
#include "connection.hpp"
#include "transaction.hpp"
#include "function.hpp"

namespace morvel {

namespace {

// The newest check's statements: staging pass and main pass over one unique key.
constexpr std::string_view kCheckStaging = R"(
                    SELECT {}
                    FROM temp_{}
                    WHERE {}
                )";

constexpr std::string_view kCheckMain = R"(
                    SELECT {}
                    FROM {}
                    WHERE {}
                )";

constexpr std::string_view kFindStaging = R"(
            SELECT {}
            FROM temp_{}
            {}
        )";

constexpr std::string_view kFindMain = R"(
            SELECT {}
            FROM {}
            {}
        )";

bool truthy(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }

bool contains(PyObject* visited, PyObject* key) {
    if (PyAnySet_CheckExact(visited)) return check(PySet_Contains(visited, key)) != 0;
    return check(PySequence_Contains(visited, key)) != 0;
}

void add_to(PyObject* visited, PyObject* key) {
    if (PySet_CheckExact(visited))
        check(PySet_Add(visited, key));
    else
        call_method(visited, names->add.get(), {key});
}

// One unique key as the check walks it. Its positions and its two statements depend only on the
// arguments of the top-level call, so they are worked out the first time a visit needs them.
struct CheckKey {
    Ref name;
    bool resolved = false;
    std::vector<Position> positions;
    Ref staging_sql, main_sql;
};

// What every visit of one check shares; find keeps one for all its checks.
struct CheckContext {
    PyObject *conn, *table, *uniques, *cols, *total_select;
    SignalPoll poll{32};  // a step of the walk is a statement or a fetched row
    bool listed = false;
    std::vector<CheckKey> keys;

    void list_keys() {
        if (listed) return;
        for (ForEach it(uniques); Ref name = it.next();) keys.push_back({std::move(name)});
        listed = true;
    }

    // The key's values in `row`, the parameters of both statements.
    Ref values(CheckKey& k, PyObject* row) {
        if (k.resolved) {
            const Py_ssize_t n = static_cast<Py_ssize_t>(k.positions.size());
            Ref out = own(PyList_New(n));
            for (Py_ssize_t i = 0; i < n; ++i)
                PyList_SET_ITEM(out.get(), i, k.positions[static_cast<size_t>(i)].of(row, 1).release());
            return out;
        }
        k.positions = positions_of(item(uniques, k.name.get()).get());
        std::vector<Ref> columns;
        Ref out = own(PyList_New(0));
        for (const Position& p : k.positions) {  // each column name read before its value, as the walk does
            columns.push_back(p.of(cols, 0));
            check(PyList_Append(out.get(), p.of(row, 1).get()));
        }
        Ref condition = equalities(columns);
        Ref select = fstr_of(total_select), from = fstr_of(table);
        k.staging_sql = sql(kCheckStaging, {select.get(), from.get(), condition.get()});
        k.main_sql = sql(kCheckMain, {select.get(), from.get(), condition.get()});
        k.resolved = true;
        return out;
    }
};

// Whether the row key (source, found) is newer than the candidate's row key.
bool newer(PyObject* source, PyObject* found, PyObject* candidate) {
    Ref cand_source = item_at(candidate, 0);
    if (check(PyObject_RichCompareBool(source, cand_source.get(), Py_GT))) return true;
    if (!check(PyObject_RichCompareBool(source, cand_source.get(), Py_EQ))) return false;
    Ref cand_rowid = item_at(candidate, 1);
    return check(PyObject_RichCompareBool(found, cand_rowid.get(), Py_GT)) != 0;
}

// One pending visit of the walk: what a nested call of the recursive definition would hold.
struct Frame {
    enum Stage { NextKey, Staging, Main };
    Ref row;      // the row whose key values are searched
    Ref visited;  // the visited set as this visit knows it
    db::Cursor cur;  // each visit uses a cursor of its own
    size_t key = 0;
    Stage stage = NextKey;
    Ref values;
    Ref found;  // iterator over the rows of the statement just sent
};

// The unpacking `result, visited = replacement(...)`.
std::pair<Ref, Ref> unpack_two(PyObject* result) {
    if (Py_TYPE(result)->tp_iter == nullptr && !PySequence_Check(result)) {
        raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(result)->tp_name);
    }
    ForEach it(result);
    Ref first = it.next();
    Ref second = first ? it.next() : Ref{};
    if (!second) {
        raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", first ? 1 : 0);
    }
    if (it.next()) {
        compat::set_too_many_values(result, 2);
        throw PyError{};
    }
    return {std::move(first), std::move(second)};
}

// Walks the candidate's linked group depth first on an explicit stack, sending exactly the statements
// of a recursive walk in the same order, so that no group is too large for the native stack.
// Returns the final visited set when no row is newer than the candidate, an empty Ref otherwise.
Ref walk(CheckContext& ctx, PyObject* candidate, PyObject* row, PyObject* visited) {
    const Spec& self = spec_of(Fn::check_newest_unique);
    std::vector<Frame> stack;
    try {
        stack.push_back({Ref::borrow(row), Ref::borrow(visited), db::cursor(ctx.conn)});
        ctx.list_keys();
        while (!stack.empty()) {
            ctx.poll();
            Frame& f = stack.back();
            if (f.stage == Frame::NextKey) {
                if (f.key == ctx.keys.size()) {  // this visit returns (True, visited)
                    Ref done = std::move(f.visited);
                    stack.pop_back();
                    if (stack.empty()) return done;
                    stack.back().visited = std::move(done);
                    continue;
                }
                CheckKey& k = ctx.keys[f.key];
                f.values = ctx.values(k, f.row.get());
                if (PyList_GET_SIZE(f.values.get()) == 0) {  // a key without columns links nothing
                    ++f.key;
                    continue;
                }
                f.found = own(PyObject_GetIter(db::query(f.cur, k.staging_sql.get(), f.values.get()).get()));
                f.stage = Frame::Staging;
            }
            Ref res = Ref::steal(PyIter_Next(f.found.get()));
            if (!res) {
                if (PyErr_Occurred()) throw PyError{};
                if (f.stage == Frame::Staging) {
                    CheckKey& k = ctx.keys[f.key];
                    f.found = own(PyObject_GetIter(db::query(f.cur, k.main_sql.get(), f.values.get()).get()));
                    f.stage = Frame::Main;
                } else {
                    f.stage = Frame::NextKey;
                    ++f.key;
                }
                continue;
            }
            PyObject* source = f.stage == Frame::Staging ? names->one.get() : names->zero.get();
            Ref found_rowid = item_at(res.get(), 0);
            Ref key = own(PyTuple_Pack(2, source, found_rowid.get()));
            if (contains(f.visited.get(), key.get())) continue;
            add_to(f.visited.get(), key.get());
            if (newer(source, found_rowid.get(), candidate)) return {};
            Ref target = global(name_of(Fn::check_newest_unique));
            if (target.get() == function_object(Fn::check_newest_unique)) {
                db::Cursor cur = db::cursor(ctx.conn);
                Ref shared = f.visited;  // `f` is invalid once the stack grows
                stack.push_back({std::move(res), std::move(shared), std::move(cur)});
                continue;
            }
            // A replacement is called as the recursive definition calls itself: every argument by keyword.
            PyObject* args[kMaxParams + 1] = {nullptr,    ctx.conn, ctx.table,        candidate,      res.get(),
                                              ctx.uniques, ctx.cols, ctx.total_select, f.visited.get()};
            Ref result = own(PyObject_Vectorcall(target.get(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                 kwnames_of(Fn::check_newest_unique)));
            auto [verdict, returned] = unpack_two(result.get());
            f.visited = std::move(returned);
            if (!truthy(verdict.get())) return {};
        }
    } catch (const PyError&) {
        // Every pending visit stands for a nested call, and each of those gains its traceback entry.
        for (size_t i = 1; i < stack.size(); ++i) add_traceback(self);
        throw;
    }
    return {};
}

// find's newest check: through the module attribute, looked up at each call.
bool newest(CheckContext& ctx, PyObject* candidate, PyObject* row) {
    Ref visited = own(PySet_New(nullptr));
    check(PySet_Add(visited.get(), candidate));
    Ref target = global(name_of(Fn::check_newest_unique));
    if (target.get() == function_object(Fn::check_newest_unique)) {
        try {
            return static_cast<bool>(walk(ctx, candidate, row, visited.get()));
        } catch (const PyError&) {
            add_traceback(spec_of(Fn::check_newest_unique));
            throw;
        }
    }
    PyObject* args[kMaxParams + 1] = {nullptr,    ctx.conn, ctx.table,        candidate,    row,
                                      ctx.uniques, ctx.cols, ctx.total_select, visited.get()};
    Ref result = own(PyObject_Vectorcall(target.get(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         kwnames_of(Fn::check_newest_unique)));
    return truthy(item_at(result.get(), 0).get());
}

}  // namespace

Ref check_newest_unique(PyObject* conn, PyObject* table, PyObject* rowid, PyObject* row, PyObject* uniques,
                        PyObject* cols, PyObject* total_select, PyObject* eqivalent_set) {
    table_text(table);
    CheckContext ctx{conn, table, uniques, cols, total_select};
    Ref visited = walk(ctx, rowid, row, eqivalent_set);
    if (!visited) return own(PyTuple_Pack(2, Py_False, Py_None));
    return own(PyTuple_Pack(2, Py_True, visited.get()));
}

Ref find(PyObject* conn, PyObject* select, PyObject* table, PyObject* conditions) {
    // One snapshot for all statements: a write committed between two of them would be half seen.
    db::Read read(conn, table);
    db::Cursor& cur = read.cur;
    Ref cols = read_columns(cur, table);
    TextBuilder select_list;
    select_list.ascii("rowid");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cols.get()); ++i) {
        Ref column = Ref::borrow(PyList_GET_ITEM(cols.get(), i));  // formatting may run Python code
        select_list.ascii(",").text(column_text(column.get()).get());
    }
    Ref total_select = select_list.finish();
    Ref uniques = read_uniques(cur, table);
    std::vector<UniqueKey> keys = unique_keys(uniques.get());
    std::vector<Ref> seen;
    for (size_t i = 0; i < keys.size(); ++i) seen.push_back(own(PySet_New(nullptr)));

    // Output columns: every column for "*", else the position of each named column, in order.
    std::vector<Py_ssize_t> out_index;
    Ref star = own(PyObject_RichCompare(select, names->star.get(), Py_EQ));
    if (truthy(star.get())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cols.get()); ++i) out_index.push_back(i);
    } else {
        Ref pieces = call_method(select, names->split.get(), {names->comma.get()});
        for (ForEach it(pieces.get()); Ref piece = it.next();) {
            Ref pos = call_method(cols.get(), names->index.get(), {piece.get()});
            const Py_ssize_t p = PyLong_AsSsize_t(pos.get());
            if (p == -1 && PyErr_Occurred()) throw PyError{};
            out_index.push_back(p);
        }
    }

    Ref docs = own(PyList_New(0));
    CheckContext ctx{conn, table, uniques.get(), cols.get(), total_select.get()};
    Ref text = fstr_of(table), cond = fstr_of(conditions);
    std::vector<Ref> key_tuples(keys.size());

    auto scan = [&](std::string_view statement, PyObject* source) {
        Ref rows = db::query(cur, sql(statement, {total_select.get(), text.get(), cond.get()}).get());
        SignalPoll poll(64);  // a row costs a newest check
        for (ForEach it(rows.get()); Ref row = it.next();) {
            poll();
            bool repeated = false;
            for (size_t k = 0; k < keys.size(); ++k) {
                key_tuples[k] = seen_entry(keys[k].positions, row.get(), 1);
                // A key holding NULL repeats nothing and is never recorded (see holds_null).
                if (holds_null(key_tuples[k].get(), keys[k].positions.size())) key_tuples[k] = Ref{};
                else if (check(PySet_Contains(seen[k].get(), key_tuples[k].get()))) repeated = true;
            }
            if (repeated) continue;  // a row met earlier in this call carries the same key values
            Ref rowid = own(PyTuple_Pack(2, source, item_at(row.get(), 0).get()));
            if (!newest(ctx, rowid.get(), row.get())) continue;
            Ref out = own(PyList_New(static_cast<Py_ssize_t>(out_index.size())));
            for (size_t i = 0; i < out_index.size(); ++i)
                PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item_at(row.get(), out_index[i] + 1).release());
            check(PyList_Append(docs.get(), out.get()));
            // Only a returned row's key values pass later rows over: an older row of a group that is
            // met first must not hide the newer one.
            for (size_t k = 0; k < keys.size(); ++k)
                if (key_tuples[k]) check(PySet_Add(seen[k].get(), key_tuples[k].get()));
        }
    };
    scan(kFindStaging, names->one.get());
    scan(kFindMain, names->zero.get());
    return read.done(std::move(docs));
}

}  // namespace morvel
