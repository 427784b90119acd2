// The merge of the staging table into the main table under the newest-row-wins rule of the unique keys:
// temp_to_main, and morvel.merge with its copy by SQLite and its choice between live indexes and a rebuild.
#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "callables.hpp"
#include "catalog.hpp"
#include "connection.hpp"
#include "transaction.hpp"
#include "function.hpp"
#include "key_set.hpp"

namespace morvel {

namespace {

constexpr std::string_view kSelectStagedNewestFirst = R"(
            SELECT * FROM temp_{} ORDER BY rowid DESC
        )";

constexpr std::string_view kLookup = R"(
            SELECT rowid FROM {} WHERE {}
        )";

constexpr std::string_view kEmptyStaging = R"(
            DELETE From temp_{}
        )";


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

namespace {

// What the scan phase of a merge found: the main rows to remove and the staged rows to insert, newest first.
struct Scanned {
    Ref origin_ids, docs, dropped;  // dropped: the superseded staged rows
    Py_ssize_t staged = 0;
    std::vector<std::vector<Ref>> key_columns;  // without row lookups: each key's column names, to join on
    bool joined = false;                        // origin_ids holds what the joins on key_columns found
    bool in_sql = false;  // the joins' rowids go to a temporary table (kReplacedSet), not to origin_ids
    bool main_empty = false;  // no main row to replace: no join runs
    Py_ssize_t found = 0;     // the main rows the joins found
};

// The scan phase shared by temp_to_main and merge: the column names, the unique keys, the staged rows
// (`read_staged` sends that read, after the catalog's; each row's columns from `offset` on) and, with
// `row_lookups`, one lookup per new key tuple. Nothing here changes the database.
template <class ReadStaged>
Scanned scan(db::Cursor& cur, PyObject* table, PyObject* text, ReadStaged read_staged, bool row_lookups = true,
             int offset = 0) {
    Ref cols = read_columns(cur, table);
    Ref uniques = read_uniques(cur, table);
    std::vector<MergeKey> keys;
    for (UniqueKey& k : unique_keys(uniques.get())) keys.push_back({std::move(k.positions), own(PySet_New(nullptr)), {}});
    Scanned out{own(PySet_New(nullptr)), own(PyList_New(0)), own(PyList_New(0))};
    // All staged rows in one fetch, newest first: the seen sets then settle staged conflicts in memory.
    Ref staged = read_staged(cols.get(), keys);

    SignalPoll poll(256);  // a row costs a lookup per key
    for (ForEach it(staged.get()); Ref row = it.next(); ++out.staged) {
        poll();
        bool superseded = false;
        for (MergeKey& k : keys) {
            if (!k.lookup) {  // the first staged row: column names and values are read pairwise
                std::vector<Ref> columns;
                for (const Position& p : k.positions) {
                    columns.push_back(p.of(cols.get(), 0));
                    p.of(row.get(), offset);
                }
                k.lookup = sql(kLookup, {text, equalities(columns).get()});
                if (!row_lookups && !columns.empty()) out.key_columns.push_back(std::move(columns));
            }
            Ref key = seen_entry(k.positions, row.get(), offset);
            // A key holding NULL repeats no other, as under SQL's `=` of the lookups below.
            if (!holds_null(key.get(), k.positions.size()) && !add_new(k.seen.get(), key.get())) {
                superseded = true;
                continue;
            }
            if (k.positions.empty() || !row_lookups) continue;
            // The main-table rows that carry the same key values, found while the indexes still stand.
            Ref values = k.positions.size() == 1 ? list_of({key.get()}) : new_list(key.get());
            Ref found = db::query(cur, k.lookup.get(), values.get());
            for (ForEach f(found.get()); Ref hit = f.next();)
                check(PySet_Add(out.origin_ids.get(), item_at(hit.get(), 0).get()));
        }
        check(PyList_Append(superseded ? out.dropped.get() : out.docs.get(), row.get()));
    }
    return out;
}

// The write phase of temp_to_main: the main table is suspended from the first index drop to the
// reactivation.
void write(PyObject* conn, db::Cursor& cur, PyObject* table, PyObject* text, const Scanned& s) {
    call_module(Fn::drop_table_index, {conn, table, Py_False});
    call_module(Fn::delete_row_main, {conn, table, s.origin_ids.get(), Py_False});
    call_module(Fn::insert_main, {conn, table, s.docs.get(), Py_False});
    db::execute(cur, sql(kEmptyStaging, {text}).get());
    call_module(Fn::active_table_index, {conn, table, Py_False});
}

// The main-table rows that share a key's values with any staged row read, in one statement per key: what
// the lookups of every new key tuple find together (a dropped staged row's tuples are looked up too, and
// `=` never matches NULL), without a round trip per tuple. The staged rows are the outer loop, each a
// seek in the key's lookup index.
constexpr std::string_view kJoinHead = R"(
            SELECT m.rowid FROM temp_{} AS s CROSS JOIN {} AS m
            ON )";
constexpr std::string_view kJoinTail = R"(
            WHERE s.rowid <= ?
        )";

Ref join_statement(PyObject* text, const std::vector<Ref>& columns) {
    TextBuilder b;
    b.text(sql(kJoinHead, {text, text}).get());
    bool first = true;
    for (const Ref& c : columns) {
        Ref name = fstr_of(c.get());
        if (!first) b.ascii(" AND ");
        Ref quoted_name = identifier(name.get());
        b.ascii("m.").text(quoted_name.get()).ascii(" = s.").text(quoted_name.get());
        first = false;
    }
    return b.ascii(kJoinTail).finish();
}

// With the indexes live, the rows the join finds are deleted by the join itself, one statement per key:
// no rowid makes a round trip, and changes() counts them (a row two keys find is deleted by the first).
constexpr std::string_view kDeleteJoinedHead = R"(
            DELETE FROM {} WHERE rowid IN ()";
constexpr std::string_view kDeleteJoinedTail = ")";

constexpr std::string_view kChanges = R"(
            SELECT changes()
        )";

// The newest staged row, and the main table's rowid range for the rebuild choice: three seeks in one
// statement (each min() and max() alone is read from an end of the rowid B-tree, not by a scan).
// The count is of the same snapshot: every staged row up to the newest.
constexpr std::string_view kStagedHighWater = R"(
            SELECT (SELECT max(rowid) FROM temp_{}), (SELECT min(rowid) FROM {}), (SELECT max(rowid) FROM {}),
                (SELECT count(*) FROM temp_{})
        )";

constexpr std::string_view kSelectStagedUpTo = R"(
            SELECT {} FROM temp_{} WHERE rowid <= ? ORDER BY rowid DESC
        )";

// The select list of the staged rows read by the merge: the rowid, then each column in table order, by
// name where a key reads it and NULL elsewhere. The rows keep the shape of `rowid, *`, so every key
// position reads what it would there, while the values no key compares are neither read nor converted
// (the copy moves them). A position that is not a plain int reads `rowid, *`.
Ref key_select_list(PyObject* cols, const std::vector<MergeKey>& keys) {
    const Py_ssize_t n = check_size(PyObject_Size(cols));
    std::vector<bool> read(static_cast<size_t>(n), false);
    for (const MergeKey& k : keys)
        for (const Position& p : k.positions) {
            if (p.kind != Position::Fast) return ascii_text("rowid, *");
            const Py_ssize_t i = p.value < 0 ? p.value + n : p.value;  // out of range: the scan raises
            if (i >= 0 && i < n) read[static_cast<size_t>(i)] = true;
        }
    TextBuilder b;
    b.ascii("rowid");
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!read[static_cast<size_t>(i)]) {
            b.ascii(", NULL");
            continue;
        }
        Ref name = item_at(cols, i);
        if (!PyUnicode_Check(name.get())) return ascii_text("rowid, *");
        b.ascii(", ").text(identifier(name.get()).get());
    }
    return b.finish();
}

// A superseded staged row leaves the staging table before the copy below, which then takes the rest.
constexpr std::string_view kDropSuperseded = R"(
            DELETE FROM temp_{} WHERE rowid = ?
        )";

// The staged rows move inside SQLite, newest first as temp_to_main inserts them: each gets the rowid
// that temp_to_main's INSERT of it would, and the values stay as stored, without a trip through Python.
constexpr std::string_view kCopyStagedUpTo = R"(
            INSERT INTO {} SELECT * FROM temp_{} WHERE rowid <= ? ORDER BY rowid DESC
        )";

constexpr std::string_view kEmptyStagingUpTo = R"(
            DELETE FROM temp_{} WHERE rowid <= ?
        )";

constexpr std::string_view kCountMain = R"(
            SELECT count(*) FROM {}
        )";

double number(PyObject* v) {
    const double n = PyFloat_AsDouble(v);
    if (n == -1.0 && PyErr_Occurred()) throw PyError{};
    return n;
}

long long rowid_value(PyObject* v) {
    const long long n = PyLong_AsLongLong(v);
    if (n == -1 && PyErr_Occurred()) throw PyError{};
    return n;
}

Py_ssize_t changes(db::Cursor& cur) {
    Ref changed = item_at(item_at(db::query(cur, sql(kChanges, {}).get()).get(), 0).get(), 0);
    const Py_ssize_t n = PyLong_AsSsize_t(changed.get());
    if (n == -1 && PyErr_Occurred()) throw PyError{};
    return n;
}

// Sets of rowids that SQLite holds for the merge, in its temporary store: the superseded staged rows and
// the main rows to replace. Each is made anew (a call without a transaction of its own may have left one).
constexpr std::string_view kSupersededSet = "morvel_superseded";
constexpr std::string_view kReplacedSet = "morvel_replaced";

constexpr std::string_view kDropRowSet = R"(
            DROP TABLE IF EXISTS temp.{}
        )";

constexpr std::string_view kCreateRowSet = R"(
            CREATE TEMP TABLE {} (id INTEGER PRIMARY KEY)
        )";

void make_row_set(db::Cursor& cur, std::string_view name) {
    Ref n = ascii_text(name);
    db::execute(cur, sql(kDropRowSet, {n.get()}).get());
    db::execute(cur, sql(kCreateRowSet, {n.get()}).get());
}

void drop_row_set(db::Cursor& cur, std::string_view name) {
    db::execute(cur, sql(kDropRowSet, {ascii_text(name).get()}).get());
}

constexpr std::string_view kInsertReplaced = R"(
            INSERT OR IGNORE INTO temp.morvel_replaced)";

// The main rows that share a key with a staged row up to `bound`: into s.origin_ids, or with s.in_sql into
// the temporary kReplacedSet, their number into s.found.
void find_replaced(db::Cursor& cur, PyObject* text, Scanned& s, PyObject* bound) {
    s.joined = true;
    if (s.main_empty) return;
    if (s.in_sql) {
        make_row_set(cur, kReplacedSet);
        for (const std::vector<Ref>& columns : s.key_columns) {
            db::execute(cur, TextBuilder().ascii(kInsertReplaced).text(join_statement(text, columns).get()).finish().get(),
                        bound);
            s.found += changes(cur);  // a row two keys find counts once
        }
        return;
    }
    for (const std::vector<Ref>& columns : s.key_columns) {
        Ref found = db::query(cur, join_statement(text, columns).get(), bound);
        SignalPoll poll;
        for (ForEach f(found.get()); Ref hit = f.next();) {
            poll();
            check(PySet_Add(s.origin_ids.get(), item_at(hit.get(), 0).get()));
        }
    }
    s.found = PySet_GET_SIZE(s.origin_ids.get());
}

// The staged rows up to `bound` that a newer one repeats in this key, into the temporary kSupersededSet, in
// two steps: the key values held by more than one staged row, each with its newest rowid, into a temporary
// table keyed by them (kRepeatedSet); then the older staged rows that hold them, each staged row looking its
// values up in that key. A join with the grouping itself leaves the plan to SQLite, and some versions scan the
// staging table once for every repeated value. Values compare as the merge compares staged rows (by value:
// SQLite's `=` of the stored values under BINARY whatever the column's collation, which is Python's `==` of
// what the sqlite3 module reads; a NULL matches nothing). The grouping's sort spills to the temporary store.
constexpr std::string_view kRepeatedSet = "morvel_repeated";

constexpr std::string_view kCreateRepeatedHead = R"(
            CREATE TEMP TABLE morvel_repeated ()";
constexpr std::string_view kCreateRepeatedTail = R"()) WITHOUT ROWID
        )";

constexpr std::string_view kInsertRepeatedHead = R"(
            INSERT INTO temp.morvel_repeated
            SELECT )";
constexpr std::string_view kInsertRepeatedFrom = R"(max(rowid)
                FROM temp_{} WHERE rowid <= ?)";
constexpr std::string_view kInsertRepeatedGroup = R"(
                GROUP BY )";
constexpr std::string_view kInsertRepeatedTail = R"( HAVING count(*) > 1
        )";

constexpr std::string_view kInsertSupersededHead = R"(
            INSERT OR IGNORE INTO temp.morvel_superseded
            SELECT s.rowid FROM temp_{} AS s CROSS JOIN temp.morvel_repeated AS d
            ON )";
constexpr std::string_view kInsertSupersededTail = R"(s.rowid < d.newest
        )";

TextBuilder& key_alias(TextBuilder& b, size_t i) { return b.ascii("k").ascii(std::to_string(i)); }

Ref create_repeated(size_t width) {
    TextBuilder b;
    b.ascii(kCreateRepeatedHead);
    for (size_t i = 0; i < width; ++i) key_alias(b, i).ascii(", ");
    b.ascii("newest, PRIMARY KEY (");
    for (size_t i = 0; i < width; ++i) key_alias(b.ascii(i == 0 ? "" : ", "), i);
    return b.ascii(kCreateRepeatedTail).finish();
}

Ref repeated_statement(PyObject* text, const std::vector<Ref>& quoted) {
    TextBuilder b;
    b.ascii(kInsertRepeatedHead);
    for (const Ref& q : quoted) b.text(q.get()).ascii(" COLLATE BINARY, ");
    b.text(sql(kInsertRepeatedFrom, {text}).get());
    for (const Ref& q : quoted) b.ascii(" AND ").text(q.get()).ascii(" IS NOT NULL");
    b.ascii(kInsertRepeatedGroup);
    for (size_t i = 0; i < quoted.size(); ++i) b.ascii(i == 0 ? "" : ", ").text(quoted[i].get()).ascii(" COLLATE BINARY");
    return b.ascii(kInsertRepeatedTail).finish();
}

Ref superseded_statement(PyObject* text, const std::vector<Ref>& quoted) {
    TextBuilder b;
    b.text(sql(kInsertSupersededHead, {text}).get());
    for (size_t i = 0; i < quoted.size(); ++i) {
        b.ascii("s.").text(quoted[i].get()).ascii(" COLLATE BINARY = d.");
        key_alias(b, i).ascii(" AND ");
    }
    return b.ascii(kInsertSupersededTail).finish();
}

// The staged rows up to `bound` that a newer one repeats in some key: into kSupersededSet, their number.
Py_ssize_t find_superseded(db::Cursor& cur, PyObject* text, const std::vector<std::vector<Ref>>& keys, PyObject* bound) {
    Py_ssize_t superseded = 0;
    make_row_set(cur, kSupersededSet);
    drop_row_set(cur, kRepeatedSet);  // one an earlier call left, as for the row sets
    for (const std::vector<Ref>& columns : keys) {
        std::vector<Ref> quoted;
        for (const Ref& c : columns) quoted.push_back(identifier(c.get()));
        db::execute(cur, create_repeated(quoted.size()).get());
        db::execute(cur, repeated_statement(text, quoted).get(), bound);
        if (changes(cur) > 0) {
            db::execute(cur, superseded_statement(text, quoted).get());
            superseded += changes(cur);  // a row two keys find counts once
        }
        drop_row_set(cur, kRepeatedSet);
    }
    return superseded;
}

// Up to this many staged rows, the superseded ones are found by compiled key sets over the values read, in
// half the grouping's time, unless the sets outgrow kKeySetBytes (long texts); past either, by the grouping,
// whose sort spills to the temporary store.
constexpr Py_ssize_t kKeySetRows = 1 << 17;
constexpr size_t kKeySetBytes = 16 << 20;

constexpr std::string_view kDropSupersededSet = R"(
            DELETE FROM temp_{} WHERE rowid IN (SELECT id FROM temp.morvel_superseded)
        )";

constexpr std::string_view kDeleteReplacedSet = R"(
            DELETE FROM {} WHERE rowid IN (SELECT id FROM temp.morvel_replaced)
        )";

// Whether what the connection reads is what SQLite stores, so that comparing in SQL is comparing what
// the Python rows would hold: text as str, rows as tuples. An object without these settings (a proxy,
// another package's connection) is taken at its word. The converters registered with the module of the
// connection's type (or of a base) go into `converters`: detect_types cannot be read from every connection,
// so whether one could apply is decided by the key columns' declared types and names (has_converter).
bool reads_as_stored(PyObject* conn, std::vector<Ref>& converters) {
    auto optional = [](PyObject* o, PyObject* name) {
        PyObject* found = nullptr;
        if (compat::get_optional_attr(o, name, &found) < 0) throw PyError{};
        return Ref::steal(found);
    };
    Ref text = optional(conn, names->text_factory.get());
    if (text && text.get() != reinterpret_cast<PyObject*>(&PyUnicode_Type)) return false;
    Ref rows = optional(conn, names->row_factory.get());
    if (rows && rows.get() != Py_None) return false;
    PyObject* mro = Py_TYPE(conn)->tp_mro;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        Ref name = optional(PyTuple_GET_ITEM(mro, i), names->module.get());
        if (!name || !PyUnicode_Check(name.get())) continue;
        Ref module = Ref::steal(PyImport_GetModule(name.get()));
        if (!module) {
            if (PyErr_Occurred()) throw PyError{};
            continue;
        }
        Ref found = optional(module.get(), names->converters.get());
        if (found && check(PyObject_IsTrue(found.get()))) converters.push_back(std::move(found));
    }
    return true;
}

constexpr std::string_view kDeclaredTypes = R"(
            SELECT name, type FROM pragma_table_info('{}')
        )";

// Whether a registered converter could apply to a key column as the sqlite3 module reads it: by the
// declared type's first word (up to a blank or "("), upper-cased, or by a "[type]" in the column's name.
bool has_converter(db::Cursor& cur, PyObject* table, const std::vector<std::vector<Ref>>& keys,
                   const std::vector<Ref>& converters) {
    if (converters.empty() || keys.empty()) return false;
    Ref types = db::query(cur, sql(kDeclaredTypes, {quoted(fstr_of(table).get()).get()}).get());
    Ref declared = own(PyDict_New());
    for (ForEach it(types.get()); Ref row = it.next();)
        check(PyDict_SetItem(declared.get(), item_at(row.get(), 0).get(), item_at(row.get(), 1).get()));
    for (const std::vector<Ref>& columns : keys)
        for (const Ref& c : columns) {
            if (!PyUnicode_Check(c.get()) || PyUnicode_FindChar(c.get(), '[', 0, PyUnicode_GET_LENGTH(c.get()), 1) != -1)
                return true;
            PyObject* type = PyDict_GetItemWithError(declared.get(), c.get());
            if (type == nullptr && PyErr_Occurred()) throw PyError{};
            if (type == nullptr || !PyUnicode_Check(type)) continue;
            const Py_ssize_t length = PyUnicode_GET_LENGTH(type);
            Py_ssize_t end = 0;
            while (end < length && PyUnicode_READ_CHAR(type, end) != ' ' && PyUnicode_READ_CHAR(type, end) != '(') ++end;
            Ref word = own(PyUnicode_Substring(type, 0, end));
            Ref upper = call_method(word.get(), names->upper.get(), {});
            for (const Ref& conv : converters)
                if (check(PySequence_Contains(conv.get(), upper.get()))) return true;
        }
    return false;
}

// The cost model of `rebuild=None`, fitted to bench/run.py's growth sweep (main tables of 10,000 to
// 1,000,000 rows of four columns, batches of 0.3 % to 100 % of them, half replacing rows, the key's index and
// one more). Live indexes cost a B-tree update per index for each row written (deleted or inserted); the
// rebuild costs a sorted pass per index over the rows the table ends with, plus the same writes without the
// indexes. With two indexes or three the crossing is about the same, and the model does not count them;
// with the key's index alone, its keys arriving in order, live updates stay cheap and live wins up to
// larger batches (100,000 rows: still at 50 %), which the model does not see. What it does see is the size:
// while the table and its indexes fit SQLite's page cache, a live update is cheap and the rebuild pays only
// once the rows written reach about three quarters of the final rows (10,000 rows: the two cross between
// batches of 50 % and 100 %); past that each live update reads pages from the file, and the crossing falls
// to about a fifth (300,000 and 1,000,000 rows: between batches of 10 % and 20 %). In between the measured
// crossing falls by about 0.4 per tenfold size (30,000: 0.6; 100,000: 0.36).
constexpr double kSmallTableShare = 0.76, kLargeTableShare = 0.22, kShareFallPerTenfold = 0.40;
constexpr double kSmallTableRows = 10'000;

// The share of the final rows that the rows written must reach for the rebuild to pay. Times `rows` it
// grows with `rows` (its fall is slower than 1 / rows), so the choice below is monotone in each bound.
double rebuild_share(double rows) {
    const double share = kSmallTableShare - kShareFallPerTenfold * std::log10(std::max(rows, 1.0) / kSmallTableRows);
    return std::clamp(share, kLargeTableShare, kSmallTableShare);
}

bool pays(double main, double replaced, double merged) {
    const double final_rows = main - replaced + merged;
    return replaced + merged >= rebuild_share(final_rows) * final_rows;
}

// Whether the rebuild pays. What is not known yet is bounded first and learnt only when the bounds do not
// decide: the main rows lie between half the rowid `range` (at most half of it holes left by deletions)
// and all of it, then are counted (a scan of an index); the replaced rows lie between none and one per
// staged row and key, then are found by the join (which a rebuild needs anyway, before its drops).
bool rebuild_pays(db::Cursor& cur, PyObject* text, Scanned& s, Py_ssize_t merged, PyObject* bound, PyObject* range) {
    const double m = static_cast<double>(merged);  // doubles: rowids may span the whole 64-bit range
    const double most = static_cast<double>(s.staged) * static_cast<double>(s.key_columns.size());
    if (m + most == 0) return false;  // nothing to maintain: the indexes are only checked
    Ref low = item_at(range, 1), high = item_at(range, 2);
    double main = high.get() == Py_None ? 0 : number(high.get()) - number(low.get()) + 1;
    if (pays(main, 0, m)) return true;
    if (!pays(main / 2, std::min(most, main / 2), m)) return false;
    main = number(item_at(item_at(db::query(cur, sql(kCountMain, {text}).get()).get(), 0).get(), 0).get());
    if (pays(main, 0, m)) return true;
    if (!pays(main, std::min(most, main), m)) return false;
    find_replaced(cur, text, s, bound);
    return pays(main, static_cast<double>(s.found), m);
}

}  // namespace

Ref temp_to_main(PyObject* conn, PyObject* table, PyObject* comm) {
    // One transaction from the first read to the commit, also with comm=False: rows staged by others
    // meanwhile cannot be emptied unmerged, and a failure or a rollback leaves no table without its indexes.
    db::Call call(conn, comm, table, db::Atomic::Begin::Always);
    PyObject* text = call.text.get();
    return call.run([&](db::Cursor& cur) {
        Scanned s = scan(cur, table, text, [&](PyObject*, const std::vector<MergeKey>&) {
            return db::query(cur, sql(kSelectStagedNewestFirst, {text}).get());
        });
        write(conn, cur, table, text, s);
    });
}

Ref merge(PyObject* conn, PyObject* table, PyObject* comm, PyObject* rebuild) {
    // Checked before the cursor is taken.
    if (rebuild != Py_None && !PyBool_Check(rebuild)) {
        raise(PyExc_TypeError, "rebuild must be True, False or None, not %.200s", Py_TYPE(rebuild)->tp_name);
    }
    db::Call call(conn, comm, table, db::Atomic::Begin::Always);  // as temp_to_main
    PyObject* text = call.text.get();
    Py_ssize_t merged = 0, replaced = 0, staged = 0;
    bool rebuilt = false;
    // Where the rows read are SQLite's own values, SQLite itself finds the superseded staged rows: no key
    // is held in Python. Elsewhere each staged row's key values are read and compared as Python objects.
    std::vector<Ref> converters;
    bool in_sql = reads_as_stored(conn, converters);
    call.run([&](db::Cursor& cur) {
        // Only the rows up to the newest one staged now are read, moved and emptied: rowids grow, so a row
        // staged during the merge (by another thread of this connection) stays staged. Only the rowid and the
        // key values of a staged row are used here; its values are copied by SQLite.
        Ref high = Ref::borrow(Py_None), range;
        auto high_water = [&] {
            range = item_at(db::query(cur, sql(kStagedHighWater, {text, text, text, text}).get()).get(), 0);
            high = item_at(range.get(), 0);
        };
        Scanned s;
        Py_ssize_t superseded = 0;
        Ref cols;
        std::vector<UniqueKey> keys;
        if (in_sql) {
            cols = read_columns(cur, table);
            Ref uniques = read_uniques(cur, table);
            high_water();
            s.in_sql = true;
            if (high.get() != Py_None) {
                s.staged = PyLong_AsSsize_t(item_at(range.get(), 3).get());
                if (s.staged == -1 && PyErr_Occurred()) throw PyError{};
                keys = unique_keys(uniques.get());
                for (const UniqueKey& k : keys) {
                    std::vector<Ref> columns;
                    for (const Position& p : k.positions) columns.push_back(p.of(cols.get(), 0));
                    if (!columns.empty()) s.key_columns.push_back(std::move(columns));
                }
                // Keys that a converter may turn into other objects are compared as those objects.
                in_sql = !has_converter(cur, table, s.key_columns, converters);
            }
        }
        std::vector<long long> older;  // the superseded staged rows, where the key sets found them
        bool superseded_set = false;   // where the grouping found them: in kSupersededSet
        if (in_sql) {
            Ref bound = list_of({high.get()});
            std::optional<std::vector<long long>> in_sets;
            if (!s.key_columns.empty() && s.staged <= kKeySetRows)
                in_sets = superseded_staged(cur, table, cols.get(), keys, rowid_value(high.get()), kKeySetBytes);
            if (in_sets) {
                older = std::move(*in_sets);
                superseded = static_cast<Py_ssize_t>(older.size());
            } else if (!s.key_columns.empty()) {
                superseded = find_superseded(cur, text, s.key_columns, bound.get());
                superseded_set = true;
            }
            merged = s.staged - superseded;
        } else {
            s = scan(cur, table, text, [&](PyObject* cols, const std::vector<MergeKey>& keys) {
                high_water();
                if (high.get() == Py_None) return own(PyList_New(0));
                Ref select = sql(kSelectStagedUpTo, {key_select_list(cols, keys).get(), text});
                return db::query(cur, select.get(), list_of({high.get()}).get());
            }, false, 1);
            merged = PyList_GET_SIZE(s.docs.get());
            superseded = s.staged - merged;
        }
        staged = s.staged;
        s.main_empty = item_at(range.get(), 2).get() == Py_None;  // a merge into an empty table replaces nothing
        Ref bound = list_of({high.get()});
        rebuilt =
            rebuild == Py_None ? rebuild_pays(cur, text, s, merged, bound.get(), range.get()) : rebuild == Py_True;
        if (rebuilt) {
            if (!s.joined) find_replaced(cur, text, s, bound.get());  // before the drops
            call_module(Fn::drop_table_index, {conn, table, Py_False});
            if (!s.in_sql) {
                call_module(Fn::delete_row_main, {conn, table, s.origin_ids.get(), Py_False});
            } else if (s.found > 0) {
                db::execute(cur, sql(kDeleteReplacedSet, {text}).get());
            }
            replaced = s.found;
        } else if (s.joined && s.in_sql) {  // the choice found the rows already
            drop_indexes_off_catalog(cur, table);
            if (s.found > 0) db::execute(cur, sql(kDeleteReplacedSet, {text}).get());
            replaced = s.found;
        } else {
            // Only the indexes that the reactivation would not leave as they are go first.
            drop_indexes_off_catalog(cur, table);
            Ref head = sql(kDeleteJoinedHead, {text});
            for (const std::vector<Ref>& columns : s.key_columns) {
                if (s.main_empty) break;
                db::execute(cur, TextBuilder().text(head.get()).text(join_statement(text, columns).get())
                                     .ascii(kDeleteJoinedTail).finish().get(), bound.get());
                replaced += changes(cur);
            }
        }
        if (s.in_sql && s.joined && !s.main_empty) drop_row_set(cur, kReplacedSet);
        if (high.get() != Py_None) {
            Ref drop = sql(kDropSuperseded, {text});
            SignalPoll poll;
            if (superseded_set) {
                if (superseded > 0) db::execute(cur, sql(kDropSupersededSet, {text}).get());
            } else if (s.in_sql) {
                for (long long rowid : older) {
                    poll();
                    db::execute(cur, drop.get(), list_of({own(PyLong_FromLongLong(rowid)).get()}).get());
                }
            } else {
                for (ForEach it(s.dropped.get()); Ref row = it.next();) {
                    poll();
                    db::execute(cur, drop.get(), list_of({item_at(row.get(), 0).get()}).get());
                }
            }
            db::execute(cur, sql(kCopyStagedUpTo, {text, text}).get(), bound.get());
            db::execute(cur, sql(kEmptyStagingUpTo, {text}).get(), bound.get());
        }
        if (superseded_set) drop_row_set(cur, kSupersededSet);
        call_module(Fn::active_table_index, {conn, table, Py_False});
    });
    return own(Py_BuildValue("(nnnO)", merged, replaced, staged - merged, rebuilt ? Py_True : Py_False));
}

}  // namespace morvel
