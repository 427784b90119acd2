// The module's own function type, argument binding, the error boundary and calls between module
// functions through the module namespace.
#pragma once

#include <array>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "core.hpp"

namespace morvel {

// Every callable of the module, in the order the import defines them.
enum class Fn : int {
    DB_init,
    DB_connection,
    insert_index,
    drop_index,
    active_table_index,
    drop_table_index,
    insert_unique,
    drop_unique,
    create_table,
    insert_temp,
    delete_row_main,
    temp_to_main,
    insert_main,
    drop_table,
    find,
    check_newest_unique,
    load,   // the package's morvel.load
    merge,  // the package's morvel.merge
    query,
    parse_csv,
    query_arrow,   // the package's morvel.query_arrow
    arrow_stream,  // its answer's __arrow_c_stream__
    index_staging,  // the package's morvel.index_staging
    stage_csv,      // the command line's CSV rows staged as they are read
    count
};
inline constexpr int kFnCount = static_cast<int>(Fn::count);
inline constexpr int kMaxParams = 10;

// A body as the call boundary runs it: the bound arguments in parameter order (borrowed), a new reference back.
using Body = Ref (*)(PyObject* const* args);

// A body as it is written, `Ref f(PyObject* conn, PyObject* table, ...)`, and its place in the table,
// `body<f>`: the arguments a[0..n-1] go to its parameters in order, n taken from its signature.
template <class... P>
constexpr size_t arity(Ref (*)(P...)) {
    static_assert((std::is_same_v<P, PyObject*> && ...), "a body takes every argument as a borrowed PyObject*");
    static_assert(sizeof...(P) <= kMaxParams, "a body takes at most kMaxParams arguments");
    return sizeof...(P);
}

template <auto F, size_t... I>
Ref apply_body(PyObject* const* a, std::index_sequence<I...>) {
    return F(a[I]...);
}

template <auto F>
Ref run_bound(PyObject* const* a) {
    return apply_body<F>(a, std::make_index_sequence<arity(F)>{});
}

struct BodyOf {
    Body run;
    int nparams;
};
template <auto F>
inline constexpr BodyOf body{&run_bound<F>, static_cast<int>(arity(F))};

struct Spec {
    Fn fn;  // its own place in kSpecs, checked when compiling
    const char* name;
    const char* qualname;
    const char* doc;  // nullptr: no documentation string
    // The line number of every traceback entry of this callable (binding errors included). These
    // numbers are part of the module's visible surface and are kept as they are; they are not lines
    // of kSourceFile, which is only the file name those entries show.
    int first_line;
    std::array<const char*, kMaxParams> params;
    bool has_comm;  // the last parameter is `comm`, default True
    BodyOf body;    // its parameter count comes from the body's signature (checked against `params`)

    constexpr int nparams() const noexcept { return body.nparams; }
};

// The table of callables (morvel.cpp), indexed by Fn.
extern const Spec kSpecs[kFnCount];
inline const Spec& spec_of(Fn fn) { return kSpecs[static_cast<int>(fn)]; }

// The source file shown in traceback entries.
inline constexpr const char* kSourceFile = "src/morvel/morvel.cpp";

// Adds the traceback entry "morvel.morvel.<qualname>" to the pending exception.
void add_traceback(const Spec& spec);

// Creates the function type and one function object per callable (at the first import).
void init_functions();
PyObject* function_object(Fn fn);  // borrowed
PyObject* name_of(Fn fn);          // the function's interned name (borrowed)
PyObject* kwnames_of(Fn fn);       // all parameter names, for a call by keyword (borrowed)

// The module object of this process, set once its initialisation has succeeded.
void set_module(PyObject* module);
PyObject* module_object();

// A module-level name as a Python function body would see it: module globals, then builtins;
// otherwise NameError "name '...' is not defined".
Ref global(PyObject* name);

// Inside a catch handler: makes the exception being handled the pending Python exception.
void set_error_from_exception() noexcept;

// The call boundary: runs a body, turns any C++ error into a pending Python exception, adds the
// callable's traceback entry on failure. Returns a new reference or nullptr.
PyObject* run_body(const Spec& spec, PyObject* const* args) noexcept;

// Calls the module function `fn` by name through the module namespace at the moment of the call,
// every argument by keyword in parameter order. While the name still holds the module's own
// function object, its body runs directly, without building Python call arguments.
Ref call_module(Fn fn, std::initializer_list<PyObject*> args);

}  // namespace morvel
