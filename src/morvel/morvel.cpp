// The module morvel.morvel: its initialisation and the table of its callables.
#include <cstdint>
#include <string_view>

#include "callables.hpp"
#include "function.hpp"

namespace morvel {

namespace doc {

constexpr const char* insert_index = R"(
    Insert index for fast search.
    index = {
    'table': 'homes',
    'name': 'index_0',
    'cols': 'name,type,address'
    }
    )";

constexpr const char* drop_index = R"(
    Drop one index of table.
    )";

constexpr const char* active_table_index = R"(
    Activate indexes of table after drooping them for fast insertion.
    )";

constexpr const char* drop_table_index = R"(
    Drop index of table for fast insert rows.
    )";

constexpr const char* insert_unique = R"(
    Insert uniques of table, the last one with unique features replaces old ones.
    table = 'homes'   # table ('name', 'type', 'address', 'age')
    name = 'unique_0'
    cols = 'name,address'
    cols_num = '0,2'
    )";

constexpr const char* drop_unique = R"(
    Delete one unique of table.
    )";

constexpr const char* create_table = R"(
    Create table with indexes and uniques.
    name = 'homes'
    cols = ['name', 'type', 'address', 'age']
    index = [
        {
            'name': 'index_0',
            'cols': 'name,type,address'
        },
        {
            'name': 'index_1',
            'cols': 'age'
        }
    ]
    unique = [
        {
            'name': 'unique_0',
            'cols': [0, 1]     # 'name, type'
        },
        {
            'name': 'unique_1',
            'cols': [2]     #'address'
        }
    ]
    )";

constexpr const char* insert_temp = R"(
    Fast temp_table insertion.
    )";

constexpr const char* delete_row_main = R"(
    Fast delete selcted rows from main_table.
    )";

constexpr const char* temp_to_main = R"(
    Fast temp to main insertion.
    )";

constexpr const char* drop_table = R"(
    Drop table with indexes and uniques.
    )";

constexpr const char* find = R"(
    Find rows from temp and main tables.
    select = '*' or 'name,age'
    table = 'persons'
    conditions = '''
        where (id, city) = (1093, 'Tehran')
        order by age desc
    '''
    )";

}  // namespace doc

// Fn, name, qualified name, documentation, first line, parameters, takes comm, body (whose signature gives the
// parameter count).
constexpr Spec kSpecs[kFnCount] = {
    {Fn::DB_init, "__init__", "DB.__init__", nullptr, 10, {"self", "name", "address"}, false, body<db_init>},
    {Fn::DB_connection, "connection", "DB.connection", nullptr, 44, {"self"}, false, body<db_connection>},
    {Fn::insert_index, "insert_index", "insert_index", doc::insert_index, 49, {"conn", "index", "comm"}, true,
     body<insert_index>},
    {Fn::drop_index, "drop_index", "drop_index", doc::drop_index, 102, {"conn", "table", "name", "comm"}, true,
     body<drop_index>},
    {Fn::active_table_index, "active_table_index", "active_table_index", doc::active_table_index, 133,
     {"conn", "table", "comm"}, true, body<active_table_index>},
    {Fn::drop_table_index, "drop_table_index", "drop_table_index", doc::drop_table_index, 162,
     {"conn", "table", "comm"}, true, body<drop_table_index>},
    {Fn::insert_unique, "insert_unique", "insert_unique", doc::insert_unique, 192,
     {"conn", "table", "name", "cols", "cols_num", "comm"}, true, body<insert_unique>},
    {Fn::drop_unique, "drop_unique", "drop_unique", doc::drop_unique, 237, {"conn", "table", "name", "comm"},
     true, body<drop_unique>},
    {Fn::create_table, "create_table", "create_table", doc::create_table, 270,
     {"conn", "name", "cols", "index", "unique", "comm"}, true, body<create_table>},
    {Fn::insert_temp, "insert_temp", "insert_temp", doc::insert_temp, 335, {"conn", "table", "rows", "comm"},
     true, body<insert_temp>},
    {Fn::delete_row_main, "delete_row_main", "delete_row_main", doc::delete_row_main, 364,
     {"conn", "table", "ids", "comm"}, true, body<delete_row_main>},
    {Fn::temp_to_main, "temp_to_main", "temp_to_main", doc::temp_to_main, 383, {"conn", "table", "comm"}, true,
     body<temp_to_main>},
    {Fn::insert_main, "_insert_main", "_insert_main", nullptr, 489, {"conn", "table", "rows", "comm"}, true,
     body<insert_main>},
    {Fn::drop_table, "drop_table", "drop_table", doc::drop_table, 513, {"conn", "table", "comm"}, true,
     body<drop_table>},
    {Fn::find, "find", "find", doc::find, 553, {"conn", "select", "table", "conditions"}, false, body<find>},
    {Fn::check_newest_unique, "_check_newest_unique", "_check_newest_unique", nullptr, 678,
     {"conn", "table", "rowid", "row", "uniques", "cols", "total_select", "eqivalent_set"}, false,
     body<check_newest_unique>},
    // Private callables behind the package's own functions (src/morvel/__init__.py), which give them their
    // signatures: every argument is passed, so none has a default.
    {Fn::load, "_load", "_load", nullptr, 700, {"conn", "table", "rows", "comm", "batch", "missing"}, false, body<load>},
    {Fn::merge, "_merge", "_merge", nullptr, 720, {"conn", "table", "comm", "rebuild"}, false, body<merge>},
    {Fn::query, "_query", "_query", nullptr, 760, {"conn", "table", "where", "params", "columns", "order_by", "limit",
                                                     "each"},
     false, body<query>},
    // The command line's loader: CSV fields to values (csv.cpp).
    {Fn::parse_csv, "_parse_csv", "_parse_csv", nullptr, 740,
     {"data", "pos", "line", "final", "delimiter", "convert", "shape", "limit"}, false, body<parse_csv>},
    // morvel.query_arrow and the stream of its answer (arrow_export.cpp).
    {Fn::query_arrow, "_query_arrow", "_query_arrow", nullptr, 780,
     {"conn", "table", "where", "params", "columns", "order_by", "limit"}, false, body<query_arrow>},
    {Fn::arrow_stream, "_arrow_stream", "_arrow_stream", nullptr, 800, {"answer", "requested_schema"}, false,
     body<arrow_stream>},
    {Fn::index_staging, "_index_staging", "_index_staging", nullptr, 820, {"conn", "table", "on", "comm"}, false,
     body<index_staging>},
    {Fn::stage_csv, "_stage_csv", "_stage_csv", nullptr, 840,
     {"conn", "table", "data", "pos", "line", "final", "delimiter", "convert", "shape", "limit"}, false,
     body<stage_csv>},
};

// spec_of indexes the table by Fn: every row must stand at its own place.
static_assert([] {
    for (int i = 0; i < kFnCount; ++i)
        if (kSpecs[i].fn != static_cast<Fn>(i)) return false;
    return true;
}(), "kSpecs must list the callables in the order of enum Fn");

// A row names exactly the parameters its body takes, and `comm` last where it has that default.
static_assert([] {
    for (const Spec& s : kSpecs) {
        int named = 0;
        while (named < kMaxParams && s.params[static_cast<size_t>(named)] != nullptr) ++named;
        if (named != s.nparams()) return false;
        if (s.has_comm && (named == 0 || std::string_view(s.params[static_cast<size_t>(named - 1)]) != "comm"))
            return false;
    }
    return true;
}(), "every row of kSpecs must name as many parameters as its body takes");

namespace {

// The module's objects live for the whole process and belong to the interpreter that made them: it
// serves the main interpreter only, which outlives every other (a subinterpreter that imported it first
// would take its objects away when it ends, and lock the main interpreter out meanwhile).

// Source lines of the initialisation steps, shown in the "init morvel.morvel" traceback entry.
constexpr int kLineState = 4, kLineSqlite = 6, kLineClass = 9;

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (PyObject* existing = module_object()) return Py_NewRef(existing);
    try {
        Ref name = own(PyObject_GetAttrString(spec, "name"));
        Ref module = own(PyModule_NewObject(name.get()));
        const std::pair<const char*, const char*> copied[] = {
            {"loader", "__loader__"}, {"origin", "__file__"}, {"parent", "__package__"}};
        for (auto [from, to] : copied) {
            Ref v = own(PyObject_GetAttrString(spec, from));
            check(PyObject_SetAttrString(module.get(), to, v.get()));
        }
        Ref locations = own(PyObject_GetAttrString(spec, "submodule_search_locations"));
        if (locations.get() != Py_None) check(PyObject_SetAttrString(module.get(), "__path__", locations.get()));
        return module.release();
    } catch (...) {
        set_error_from_exception();
        return nullptr;
    }
}

// The sibling registry module, as `from morvel import morvel_state` would find it.
Ref import_state(PyObject* module) {
    Ref fromlist = own(Py_BuildValue("(s)", "morvel_state"));
    Ref package = own(PyImport_ImportModuleLevel("morvel", PyModule_GetDict(module), nullptr, fromlist.get(), 0));
    PyObject* state = nullptr;
    if (compat::get_optional_attr(package.get(), names->morvel_state.get(), &state) < 0) throw PyError{};
    if (state != nullptr) return Ref::steal(state);
    Ref full_name = own(PyUnicode_FromString("morvel.morvel_state"));
    if (PyObject* loaded = PyImport_GetModule(full_name.get())) return Ref::steal(loaded);
    if (PyErr_Occurred()) throw PyError{};
    raise(PyExc_ImportError, "cannot import name %S", names->morvel_state.get());
}

// class DB: an ordinary class whose two methods are the module's own functions.
Ref make_db_class() {
    Ref dict = own(PyDict_New());
    Ref modname = own(PyUnicode_FromString("morvel.morvel"));
    Ref qualname = own(PyUnicode_FromString("DB"));
    check(PyDict_SetItemString(dict.get(), "__module__", modname.get()));
    check(PyDict_SetItemString(dict.get(), "__qualname__", qualname.get()));
    check(PyDict_SetItemString(dict.get(), "__init__", function_object(Fn::DB_init)));
    check(PyDict_SetItemString(dict.get(), "connection", function_object(Fn::DB_connection)));
    Ref name = own(PyUnicode_FromString("DB"));
    Ref bases = own(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    return call(reinterpret_cast<PyObject*>(&PyType_Type), {name.get(), bases.get(), dict.get()});
}

void warn_on_version_mismatch() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff), minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                           "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                           PY_MAJOR_VERSION, PY_MINOR_VERSION, "morvel.morvel", "does not match", major, minor));
}

int exec_module(PyObject* module) {
    if (PyObject* existing = module_object()) {
        if (existing == module) return 0;  // already filled: a re-import runs nothing twice
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'morvel' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    int line = 1;
    bool entered = false;
    try {
        init_functions();
        warn_on_version_mismatch();
        PyObject* modules = PyImport_GetModuleDict();
        Ref own_name = own(PyUnicode_FromString("morvel.morvel"));
        if (PyDict_GetItemWithError(modules, own_name.get()) == nullptr) {
            if (PyErr_Occurred()) throw PyError{};
            check(PyDict_SetItem(modules, own_name.get(), module));
            entered = true;
        }
        line = kLineState;
        Ref state = import_state(module);
        check(PyModule_AddObjectRef(module, "morvel_state", state.get()));
        line = kLineSqlite;
        Ref sqlite = own(PyImport_ImportModule("sqlite3"));
        check(PyModule_AddObjectRef(module, "sqlite3", sqlite.get()));
        line = kLineClass;
        Ref db_class = make_db_class();
        check(PyModule_AddObjectRef(module, "DB", db_class.get()));
        for (int i = static_cast<int>(Fn::insert_index); i < kFnCount; ++i) {
            line = kSpecs[i].first_line;
            check(PyModule_AddObjectRef(module, kSpecs[i].name, function_object(static_cast<Fn>(i))));
        }
    } catch (...) {  // a PyError, or anything else (std::bad_alloc): never past this point
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init morvel.morvel");
        set_error_from_exception();
        compat::add_traceback_entry("init morvel.morvel", kSourceFile, line);
        // Drop what was filled in, so that a later import starts afresh. The import's own error is the
        // one raised; a failure of this clean-up is reported as unraisable.
        ErrorStash pending;
        auto undo = [module](int rc, bool absent_is_fine) {
            if (rc == 0) return;
            if (absent_is_fine && PyErr_ExceptionMatches(PyExc_AttributeError))
                PyErr_Clear();
            else
                PyErr_WriteUnraisable(module);
        };
        if (entered) undo(PyDict_DelItemString(PyImport_GetModuleDict(), "morvel.morvel"), false);
        for (const char* bound : {"morvel_state", "sqlite3", "DB"}) undo(PyObject_DelAttrString(module, bound), true);
        for (const Spec& s : kSpecs) undo(PyObject_DelAttrString(module, s.name), true);
        return -1;
    }
    // Kept for the life of the process: every later import yields this same object.
    set_module(module);
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_multiple_interpreters
    // One interpreter per process (see create_module): interpreters that check it refuse the import
    // themselves, with their own message.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "morvel", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace morvel

PyMODINIT_FUNC PyInit_morvel() { return PyModuleDef_Init(&morvel::module_def); }
