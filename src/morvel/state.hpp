// Everything the module keeps between calls, in one object. The module serves one interpreter, the main one,
// for the life of the process (it refuses to be imported into any other), so there is one state. What the
// first import and the first native call make stays until the process ends and is never torn down: when
// static destructors run, the interpreter that owns those objects is gone. What a call in progress holds is
// given back when it ends. The interpreter lock guards all of it.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "function.hpp"
#include "sqlite_api.hpp"

namespace morvel {

namespace db {
struct Session;
struct SessionDelete {  // native.cpp, where a session is complete
    void operator()(Session* s) const noexcept;
};
struct Kept;
struct KeptDelete {  // native.cpp, where kept statements are complete
    void operator()(Kept* k) const noexcept;
};
}  // namespace db

struct State {
    // Made at the first import (function.cpp), and published only once complete, so that a failed import
    // can be retried: the interned names, the module's function type and one object per callable, then
    // the module itself once its initialisation has succeeded.
    std::unique_ptr<Names> names;
    Ref function_type;
    std::array<Ref, kFnCount> functions;
    Ref module;

    // One entry per connection with a call in progress, a handful at most (guard.cpp).
    struct Guarded {
        Ref conn;               // the connection object, held while its calls last
        PyThreadState* thread;  // the thread inside them
        unsigned depth;         // its calls in progress on the connection, the nested ones included
    };
    std::vector<Guarded> guarded;

    // The native sessions of the calls in progress, owned here (native.cpp).
    std::vector<std::unique_ptr<db::Session, db::SessionDelete>> sessions;
    // The statements that the native sessions of a connection prepared, kept from the end of one call for
    // the next call on it (native.cpp): a handful of connections, the least recently used given up first.
    // An entry goes, its statements finalized, when its connection drops its statement cache (close(), or
    // the connection's end), through `kept_gone`, the callback of the weak reference it holds to that cache.
    std::vector<std::unique_ptr<db::Kept, db::KeptDelete>> kept;
    Ref kept_gone;
    // From 3.12 on, a count of the adapter table's changes kept by a dict watcher (native.cpp); the watcher's
    // id, -1 before the first look and -2 when watching is not possible.
    unsigned long long adapter_changes = 0;
    int adapter_watcher = -1;

    // What the catalog said of the tables that queries answered through indexed staging (query.cpp), kept
    // while their connection's database stands where it stood then (db::Standing): a handful, the oldest
    // replaced first.
    struct QueryPlan {
        Ref cache;  // a weak reference to the connection's statement cache (db::Standing::cache)
        const void* db;
        Ref table;  // the table's text
        long long schema_version;
        unsigned data_version;
        int changes;
        Ref columns;                                // the main table's column names
        std::vector<std::vector<Py_ssize_t>> keys;  // per unique key, its columns' positions
        // The statement texts built from them: each key's NOT EXISTS for a staged and a main row, and the two
        // tables' statements for the last condition answered without a limit or an ordering (`where` null:
        // none built yet). Shared with the call that builds them, which may outlive the entry.
        struct Texts {
            Ref newer, staged, where, arms[2];
        };
        std::shared_ptr<Texts> texts = std::make_shared<Texts>();
    };
    std::vector<QueryPlan> query_plans;
    size_t next_query_plan = 0;

    // The native path (sqlite_api.cpp): probed at the first call that could use it; on, what the probe
    // found; off, why.
    enum class Probe { NotYet, Probing, On, Off } probed = Probe::NotYet;
    std::unique_ptr<sqlite::Native> native;
    std::string off_reason;
};

// Never destroyed (see above): a union's member is destroyed only by an explicit call, and none is made.
union StateStorage {
    State state;
    StateStorage() : state() {}
    ~StateStorage() {}
};
inline StateStorage state_storage;
inline State& state = state_storage.state;

}  // namespace morvel
