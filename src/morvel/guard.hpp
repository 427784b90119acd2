// One thread at a time inside the module's calls on one connection.
#pragma once

#include "core.hpp"

namespace morvel {

struct Spec;

// Held for the whole body of a callable that takes `conn` first (any other callable holds nothing): while
// a thread is inside a call on a connection, the same thread may call the module on it again (nested
// calls, callbacks), but another thread's call on that connection object is refused with ProgrammingError
// before anything is sent. The connections are told apart by identity; the registry lives with the
// interpreter lock.
class CallGuard {
public:
    CallGuard(const Spec& spec, PyObject* const* args);  // throws PyError when refused
    CallGuard(const CallGuard&) = delete;
    CallGuard& operator=(const CallGuard&) = delete;
    ~CallGuard();

private:
    PyObject* conn_ = nullptr;  // null: nothing entered
};

}  // namespace morvel
