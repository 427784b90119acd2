// Statements on a genuine sqlite3.Connection's own SQLite handle, as the sqlite3 module would run them
// with default settings: each distinct text prepared once per session, the module's implicit BEGIN, its
// binding, row conversion and errors. Whatever this cannot reproduce exactly is refused before anything is
// sent, and the connection layer sends it through the connection's methods instead.
//
// Python code can run in the middle of a statement: in a step (a trace callback, a user function, a
// progress handler, the authorizer of a re-prepare), in sqlite3_reset and sqlite3_finalize (a user
// aggregate's finalize() when a statement stops in the middle of an aggregate), whenever the interpreter
// lock is let go (other threads), at a signal check (handlers), at the creation of a container (a garbage
// collection runs finalizers) and in a text factory. That code may close or re-open the connection, change its settings,
// its schema or the adapter table, or call this module again on the same connection (the same session).
// The rule: across any such point a run holds only what is its own, and reads everything else again.
// - Its own: the Session and the Statement it runs. A run marks the session busy before it looks anything
//   up, so a nested run sends its statements through the methods and never evicts, rebinds, steps or
//   resets this one; the bound texts belong to `params`, which the caller holds and nobody else sees.
//   Statements of the session that go through the methods mark it busy as well.
// - Read again after each such point, before it is used: the handle (after every step, the implicit
//   BEGIN included, after every reset before its error is read, and before every further step of a read;
//   gone: the statement stops and every cached statement is finalized), the handlers and the read gate
//   (after the prepare and after the BEGIN), the text factory (at every text value), the column count (at
//   every row), the adapter table (at every bind), whether another thread exists (at every step). The row
//   factory that counts is the cursor's own copy, fixed when it was made.
// - The handle's memory outlives another thread's close(): the session's pin statement keeps it (see
//   Session::pin). A throw out of a statement's run resets the statement first (unless it was finalized).
// - Binding runs no Python code: the adapter table is read without comparing keys.
#include "native.hpp"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "compat.hpp"
#include "state.hpp"

namespace morvel::db {

using sqlite::Native;

namespace {

// Where the statement's first keyword starts, past blanks and comments, as the sqlite3 module finds it;
// nullptr when nothing but blanks and comments is left.
const char* lstrip_sql(const char* sql) {
    for (const char* pos = sql; *pos; ++pos) {
        switch (*pos) {
            case ' ': case '\t': case '\f': case '\n': case '\r':
                break;
            case '-':
                if (pos[1] != '-') return pos;
                pos += 2;
                while (*pos && *pos != '\n') ++pos;
                if (*pos == '\0') return nullptr;
                break;
            case '/':
                if (pos[1] != '*') return pos;
                pos += 2;
                while (*pos && (pos[0] != '*' || pos[1] != '/')) ++pos;
                if (*pos == '\0') return nullptr;
                ++pos;
                break;
            default:
                return pos;
        }
    }
    return nullptr;
}

bool starts_with_word(const char* p, std::string_view word) {
    for (size_t i = 0; i < word.size(); ++i)
        if (p[i] == '\0' || (p[i] | 0x20) != word[i]) return false;
    return true;
}

// INSERT, UPDATE, DELETE and REPLACE get the implicit BEGIN.
bool is_dml(const char* sql) {
    const char* p = lstrip_sql(sql);
    return p != nullptr && (starts_with_word(p, "insert") || starts_with_word(p, "update") ||
                            starts_with_word(p, "delete") || starts_with_word(p, "replace"));
}

// Whether this thread is the only one the interpreters know of. Then no other thread can need the
// interpreter lock to let go of a database lock that a step waits for, and holding it changes nothing.
// Only the lists' heads and this thread's own states are read: another thread's state may be going away.
bool only_thread() {
    PyThreadState* self = PyThreadState_Get();
    PyInterpreterState* interp = PyThreadState_GetInterpreter(self);
    return PyInterpreterState_Head() == interp && PyInterpreterState_Next(interp) == nullptr &&
           PyInterpreterState_ThreadHead(interp) == self && PyThreadState_Next(self) == nullptr;
}

// A number that changes whenever the adapter table changes: the dict's own version up to 3.11, from 3.12
// on (where that is deprecated) a count kept by a dict watcher, in the main interpreter only (watchers
// belong to an interpreter). false when there is none: then the table is read at every bind.
#if PY_VERSION_HEX >= 0x030C0000
int count_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++state.adapter_changes;
    return 0;
}

bool table_version(PyObject* table, unsigned long long& version) {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) return false;
    if (state.adapter_watcher == -1) {
        state.adapter_watcher = PyDict_AddWatcher(count_change);
        if (state.adapter_watcher < 0 || PyDict_Watch(state.adapter_watcher, table) < 0) {
            PyErr_Clear();
            state.adapter_watcher = -2;
        }
    }
    version = state.adapter_changes;
    return state.adapter_watcher >= 0;
}
#else
bool table_version(PyObject* table, unsigned long long& version) {
    version = reinterpret_cast<PyDictObject*>(table)->ma_version_tag;
    return true;
}
#endif

// Value kinds that bind without adaptation unless an adapter is registered for them.
enum Kind { KInt, KFloat, KStr, KBytes, KByteArray, KNone, KCount };

// The kind of an exact type, KCount for any other; the common kinds first.
inline int kind_of(PyTypeObject* t) {
    if (t == &PyUnicode_Type) return KStr;
    if (t == &PyLong_Type) return KInt;
    if (t == &PyFloat_Type) return KFloat;
    if (t == Py_TYPE(Py_None)) return KNone;
    if (t == &PyBytes_Type) return KBytes;
    if (t == &PyByteArray_Type) return KByteArray;
    return KCount;
}

}  // namespace

// Lets other threads run during a long batch that holds the interpreter lock between statements: every
// few milliseconds the lock is released once, which is also when conn.interrupt() can get in.
class Pacer {
public:
    void tick() {
        if (++count_ % 128 != 0) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::milliseconds(5)) return;
        Py_BEGIN_ALLOW_THREADS
        Py_END_ALLOW_THREADS
        last_ = std::chrono::steady_clock::now();
    }
    void released() { count_ = 0; }  // it has just let go: no need to look at the clock soon

private:
    unsigned count_ = 0;
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// One prepared statement of a session.
struct Statement {
    Ref text;
    sqlite::sqlite3_stmt* stmt = nullptr;
    int params = 0;
    int columns = 0;
    bool dml = false;
    bool readonly = false;
    mutable bool bytes_bound = false;  // a text or blob is bound: a pointer into a Python object, or a copy
};

struct Session {
    static constexpr size_t kCacheSize = 32;

    Session(const Native* native, Ref connection, PyThreadState* owner, sqlite::sqlite3* handle) noexcept
        : n(native), conn(std::move(connection)), thread(owner), db(handle) {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const Native* n;
    Ref conn;
    PyThreadState* thread;
    sqlite::sqlite3* db;
    // A statement of the session's own from its start to its end, prepared while the interpreter lock is
    // held: while any statement is unfinalized, another thread's close() leaves the handle a zombie
    // instead of freeing it, so no step or prepare made without the lock can meet freed memory.
    sqlite::sqlite3_stmt* pin = nullptr;
    int users = 0;
    bool dead = false;  // the connection was closed or re-opened: the handle is no longer its own
    bool busy = false;  // a statement of this session is running, on either path
    std::optional<bool> inside;  // whether another statement of the connection is running (inside_other())
    // Each entry on the heap: `last` and a running statement point at one while others are added.
    std::vector<std::unique_ptr<Statement>> cache;
    size_t victim = 0;
    const Statement* last = nullptr;  // the previous statement run, to tell a batch
    Pacer pacer;
    unsigned adapted = 0;  // bit per Kind: an adapter is registered for that exact type
    unsigned long long adapters_version = 0;
    bool adapters_known = false;  // `adapted` holds for the table of `adapters_version`

    ~Session() { lose(); }

    bool prepare_pin();
    // Whether a statement of the connection other than the session's own is running: the session is inside
    // it (a call from a function that SQL runs, say). Looked at once, the first time it matters.
    bool inside_other();
    Statement* statement(PyObject* text);
    void refresh_adapted();
    bool bind(const Statement& prepared, PyObject* params);
    void begin(const char* level);
    int step(sqlite::sqlite3_stmt* stmt, bool hold);
    // The rows of `prepared` from the one its last step found (`rc`), at most `most` of them; `rc` is left
    // as the step after the last row converted found it (ROW: a row is waiting, and the statement runs on).
    Ref rows(const Statement& prepared, int& rc, bool repeated, size_t most = SIZE_MAX);
    Ref rows_of(const Statement& prepared, int& rc, bool repeated, size_t most);
    // The same rows handed to `visitor` as values, none converted into a Python object.
    void visit_rows(const Statement& prepared, int& rc, bool repeated, RowVisitor& visitor);
    bool may_hold(const Statement& prepared, bool repeated) const;
    // Whether the connection no longer holds the handle of this session: closed, or re-opened.
    bool gone() const { return n->handle(conn.get()) != db; }
    // Finalizes every statement, so that a closed handle can go, and runs nothing here again.
    void lose() noexcept;
    // Resets `stmt` (if any), loses the session and raises the closed-connection error.
    [[noreturn]] void closed(sqlite::sqlite3_stmt* stmt);
    PyObject* text_value(sqlite::sqlite3_stmt* stmt, int i, const char* text);
    [[noreturn]] void fail(sqlite::sqlite3_stmt* stmt);
};

void SessionDelete::operator()(Session* s) const noexcept { std::default_delete<Session>()(s); }

// The statements of a connection's sessions, between its calls (state.kept): reset, with no parameter bound.
struct Kept {
    Kept(const Native* native, Ref weak, sqlite::sqlite3* handle) noexcept
        : n(native), cache(std::move(weak)), db(handle) {}
    Kept(const Kept&) = delete;
    Kept& operator=(const Kept&) = delete;
    // Without the interpreter lock, as the sqlite3 module finalizes its own: a thread inside a statement of the
    // connection holds the handle's mutex, and may wait for that lock.
    ~Kept() {
        if (statements.empty() && pin == nullptr) return;
        Py_BEGIN_ALLOW_THREADS
        for (const auto& entry : statements) n->api.finalize(entry->stmt);
        if (pin != nullptr) n->api.finalize(pin);
        Py_END_ALLOW_THREADS
    }

    const Native* n;
    Ref cache;  // a weak reference to the connection's statement cache, with kept_gone as its callback
    sqlite::sqlite3* db;
    std::vector<std::unique_ptr<Statement>> statements;
    sqlite::sqlite3_stmt* pin = nullptr;  // the last session's pin, for the next one
};

void KeptDelete::operator()(Kept* k) const noexcept { std::default_delete<Kept>()(k); }

namespace {

// Preparing is most of the cost of a short call (a point query): the statements of the last few connections
// used wait for their next call. Their connection's statement cache is dropped by close() before the handle
// is closed, and when the connection goes: then they are finalized, so that no kept statement holds a closed
// connection's file open.
constexpr size_t kKeptConnections = 8;

void forget_kept(size_t i) {
    const auto gone = std::move(state.kept[i]);  // out of the list before its statements are finalized
    state.kept.erase(state.kept.begin() + static_cast<std::ptrdiff_t>(i));
}

PyObject* kept_gone(PyObject*, PyObject* weakref) {
    for (size_t i = 0; i < state.kept.size(); ++i)
        if (state.kept[i]->cache.get() == weakref) {
            forget_kept(i);
            break;
        }
    Py_RETURN_NONE;
}

PyMethodDef kKeptGone = {"_kept_gone", kept_gone, METH_O, nullptr};

// The entry of the statements kept for `conn` on the handle `db`, or -1.
std::ptrdiff_t kept_for(const Native* n, PyObject* conn, sqlite::sqlite3* db) {
    PyObject* cache = n->statement_cache(conn);
    if (cache == nullptr) return -1;
    for (size_t i = 0; i < state.kept.size(); ++i) {
        if (state.kept[i]->db != db) continue;
        const Ref referent = Ref::steal(compat::referent(state.kept[i]->cache.get()));
        if (referent.get() == cache) return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
}

// At the end of the last call that held `s`: its statements, kept for the next call on its connection. Where
// they cannot be kept (no statement cache to watch), the session finalizes them. Entries given up are
// finalized last, once the new one is watched: finalizing lets other threads run, and one of them may close
// this connection meanwhile.
void keep(Session& s) noexcept {
    if (s.dead || s.cache.empty() || s.gone()) return;
    PyObject* cache = s.n->statement_cache(s.conn.get());
    if (cache == nullptr) return;
    ErrorStash pending;  // the call's own error, if it failed, stays the one that leaves
    const std::ptrdiff_t old = kept_for(s.n, s.conn.get(), s.db);
    try {
        if (!state.kept_gone) state.kept_gone = own(PyCFunction_New(&kKeptGone, nullptr));
        Ref weak = own(PyWeakref_NewRef(cache, state.kept_gone.get()));
        std::unique_ptr<Kept, KeptDelete> kept(std::make_unique<Kept>(s.n, std::move(weak), s.db).release());
        state.kept.push_back(std::move(kept));
    } catch (...) {
        PyErr_Clear();  // a kept statement is an optimisation: without one, the next call prepares again
        return;
    }
    for (const auto& entry : s.cache)  // no pointer into freed memory, no copy held
        if (std::exchange(entry->bytes_bound, false)) s.n->api.clear_bindings(entry->stmt);
    state.kept.back()->statements = std::move(s.cache);
    state.kept.back()->pin = std::exchange(s.pin, nullptr);
    s.cache.clear();
    s.last = nullptr;
    if (old >= 0) forget_kept(static_cast<size_t>(old));  // an older entry of this connection
    if (state.kept.size() > kKeptConnections) forget_kept(0);  // the least recently used
}

// At the start of a session, before its pin is prepared: the pin kept for its connection, on the same handle.
void take_kept_pin(Session& s) {
    const std::ptrdiff_t i = kept_for(s.n, s.conn.get(), s.db);
    if (i >= 0) s.pin = std::exchange(state.kept[static_cast<size_t>(i)]->pin, nullptr);
}

// At the start of a session: the statements kept for its connection, on the same handle, become its own.
void take_kept(Session& s) {
    const std::ptrdiff_t i = kept_for(s.n, s.conn.get(), s.db);
    if (i < 0) return;
    s.cache = std::move(state.kept[static_cast<size_t>(i)]->statements);
    state.kept[static_cast<size_t>(i)]->statements.clear();
    forget_kept(static_cast<size_t>(i));
}

}  // namespace

Session* find(PyObject* conn) noexcept {
    PyThreadState* thread = PyThreadState_Get();
    for (const auto& s : state.sessions)
        if (s->conn.get() == conn && s->thread == thread) return s.get();
    return nullptr;
}

Session* acquire(const Native* n, PyObject* conn) {
    if (Session* s = find(conn)) {
        ++s->users;
        return s;
    }
    const sqlite::ConnectionView view = n->view(conn);
    std::unique_ptr<Session, SessionDelete> made(
        std::make_unique<Session>(n, Ref::borrow(conn), PyThreadState_Get(), view.db).release());
    Session* s = made.get();
    // A handler could run Python code inside the pin's prepare: with one set, or without a handle, the
    // session sends everything through the methods.
    const bool methods_only = s->db == nullptr || view.has_authorizer || view.has_progress_handler;
    if (!methods_only) take_kept_pin(*s);
    if (methods_only || !s->prepare_pin()) s->lose();
    state.sessions.push_back(std::move(made));
    s->users = 1;
    if (!s->dead) take_kept(*s);
    s->cache.reserve(Session::kCacheSize);
    return s;
}

// The pin is prepared with the interpreter lock held: close() sets the handle to NULL before it lets the
// lock go, so a handle read now is not being closed. Nothing here may wait while that lock is held, for a
// database lock or for the connection's mutex: their holder may be a thread that needs the interpreter
// lock to let go of them. So the pin is a BEGIN, never stepped, which SQLite prepares without reading the
// schema (a SELECT, from SQLite 3.42 on, reads it first, and would wait out the busy timeout for a writer
// that is committing), and the mutex is only tried. Another thread holds it while inside a statement of
// this connection, or while close() finalizes the sqlite3 module's statements before it lets go of the
// handle (the methods would crash then): the interpreter lock is let go between tries, and the handle
// read again after each. After about a second, the methods serve the session, and wait as they would.
// A pin kept from the last call is only checked so; given up, it is finalized without the lock, as in ~Kept.
bool Session::prepare_pin() {
    sqlite::sqlite3_mutex* mutex = n->api.db_mutex(db);
    auto give_up = [this] {
        if (sqlite::sqlite3_stmt* kept = std::exchange(pin, nullptr)) {
            Py_BEGIN_ALLOW_THREADS
            n->api.finalize(kept);
            Py_END_ALLOW_THREADS
        }
        return false;
    };
    for (int tries = 0; n->api.mutex_try(mutex) != sqlite::OK; ++tries) {
        if (tries == 20'000) return give_up();
        Py_BEGIN_ALLOW_THREADS
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        Py_END_ALLOW_THREADS
        if (gone()) return give_up();
    }
    const int rc = pin != nullptr ? sqlite::OK : n->api.prepare_v2(db, "BEGIN", -1, &pin, nullptr);
    n->api.mutex_leave(mutex);
    return rc == sqlite::OK && pin != nullptr;
}

// The connection's list of statements is walked under its mutex, which is waited for without the interpreter
// lock (its holder may need that lock to let go); the pin keeps the handle meanwhile, even through a close().
bool Session::inside_other() {
    if (inside) return *inside;
    bool running = false;
    Py_BEGIN_ALLOW_THREADS
    sqlite::sqlite3_mutex* mutex = n->api.db_mutex(db);
    n->api.mutex_enter(mutex);
    for (sqlite::sqlite3_stmt* stmt = n->api.next_stmt(db, nullptr); stmt != nullptr && !running;
         stmt = n->api.next_stmt(db, stmt)) {
        if (stmt == pin || n->api.stmt_busy(stmt) == 0) continue;
        running = std::none_of(cache.begin(), cache.end(), [stmt](const auto& entry) { return entry->stmt == stmt; });
    }
    n->api.mutex_leave(mutex);
    Py_END_ALLOW_THREADS
    if (gone()) closed(nullptr);
    inside = running;
    return running;
}

void release(Session* s) noexcept {
    if (s == nullptr || --s->users > 0) return;
    keep(*s);
    for (size_t i = 0; i < state.sessions.size(); ++i)
        if (state.sessions[i].get() == s) {
            // Out of the list before it goes: what its destruction runs finds no stale entry.
            const auto gone = std::move(state.sessions[i]);
            state.sessions.erase(state.sessions.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
}

Statement* Session::statement(PyObject* text) {
    for (const auto& entry : cache)
        if (entry->text.get() == text) return entry.get();
    if (!PyUnicode_CheckExact(text)) return nullptr;
    for (const auto& entry : cache)
        if (PyUnicode_GET_LENGTH(entry->text.get()) == PyUnicode_GET_LENGTH(text) &&
            PyUnicode_Compare(entry->text.get(), text) == 0)
            return entry.get();
    Py_ssize_t size = 0;
    const char* sql = PyUnicode_AsUTF8AndSize(text, &size);
    if (sql == nullptr) {  // the method raises the same encoding error
        PyErr_Clear();
        return nullptr;
    }
    if (size > n->api.limit(db, sqlite::LIMIT_SQL_LENGTH, -1) || std::strlen(sql) != static_cast<size_t>(size))
        return nullptr;
    sqlite::sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    int rc;
    Py_BEGIN_ALLOW_THREADS
    rc = n->api.prepare_v2(db, sql, static_cast<int>(size) + 1, &stmt, &tail);
    Py_END_ALLOW_THREADS
    pacer.released();
    // A refused text, an empty one or one holding more than one statement: the method reports it. So
    // does a named parameter, which newer sqlite3 modules warn about when given a sequence.
    bool named = false;
    if (rc == sqlite::OK && stmt != nullptr)
        for (int i = 1, count = n->api.bind_parameter_count(stmt); i <= count && !named; ++i)
            named = n->api.bind_parameter_name(stmt, i) != nullptr && n->api.bind_parameter_name(stmt, i)[0] != '?';
    if (rc != sqlite::OK || stmt == nullptr || named || lstrip_sql(tail) != nullptr) {
        if (stmt != nullptr) n->api.finalize(stmt);
        return nullptr;
    }
    Statement fresh{Ref::borrow(text), stmt, n->api.bind_parameter_count(stmt), n->api.column_count(stmt), is_dml(sql),
                    n->api.stmt_readonly(stmt) != 0};
    if (cache.size() < kCacheSize) {
        std::unique_ptr<Statement> entry;
        try {
            entry = std::make_unique<Statement>(std::move(fresh));
        } catch (...) {
            n->api.finalize(stmt);  // an unfinalized statement would keep a closed handle alive
            throw;
        }
        cache.push_back(std::move(entry));  // within the reserved room: cannot throw
        return cache.back().get();
    }
    Statement& slot = *cache[victim];
    victim = (victim + 1) % kCacheSize;
    if (&slot == last) last = nullptr;
    n->api.finalize(slot.stmt);
    slot = std::move(fresh);
    return &slot;
}

// Which exact types have an adapter, read again whenever the table has changed (an adapter may replace
// another of the same table size between two rows) and from the table itself: a look-up compares keys,
// and comparing a key whose class has a metaclass of its own may run Python code. Such a key runs it inside the sqlite3 module's own look-ups
// as well: while one is registered, nothing binds natively.
void Session::refresh_adapted() {
    unsigned long long version = 0;
    const bool versioned = table_version(n->adapters.get(), version);
    if (versioned && adapters_known && version == adapters_version) return;
    auto plain = [](PyObject* o) {
        const PyTypeObject* meta = Py_TYPE(o);
        return meta->tp_hash == PyType_Type.tp_hash && meta->tp_richcompare == PyType_Type.tp_richcompare;
    };
    unsigned mask = 0;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(n->adapters.get(), &pos, &key, &value)) {
        if (!PyTuple_CheckExact(key) || PyTuple_GET_SIZE(key) != 2 || !plain(PyTuple_GET_ITEM(key, 0)) ||
            !plain(PyTuple_GET_ITEM(key, 1))) {
            mask = (1u << KCount) - 1;
            break;
        }
        const int kind = kind_of(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(key, 0)));
        if (kind != KCount && PyTuple_GET_ITEM(key, 1) == n->prepare_protocol.get()) mask |= 1u << kind;
    }
    adapted = mask;
    adapters_version = version;
    adapters_known = versioned;
}

// Binds `params` (an exact list or tuple, or nullptr for none) when every value binds as the sqlite3
// module would bind it without adaptation. false: nothing can be sent natively for this row.
// Text and bytes are bound in place: the caller holds `params`, which holds them, until the statement
// has been reset, and neither can change meanwhile. A bytearray can, so SQLite copies it. A run that
// returns false after binding leaves such bindings behind in the cached statement; no step ever reads
// them, because every run binds its own parameters before it steps.
bool Session::bind(const Statement& prepared, PyObject* params) {
    const Py_ssize_t count = params == nullptr ? 0 : Py_SIZE(params);
    if (count != prepared.params) return false;  // the method raises the count error
    if (count == 0) return true;
    refresh_adapted();
    PyObject* const* items = PySequence_Fast_ITEMS(params);
    const sqlite::Api& api = n->api;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* v = items[i];
        const int at = static_cast<int>(i) + 1;
        int rc;
        const int kind = kind_of(Py_TYPE(v));
        if (kind == KCount || (adapted & (1u << kind))) return false;
        switch (kind) {
            case KInt: {
                int overflow = 0;
                const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
                if (overflow != 0) return false;  // the method raises its OverflowError
                rc = api.bind_int64(prepared.stmt, at, x);
                break;
            }
            case KFloat:
                rc = api.bind_double(prepared.stmt, at, PyFloat_AS_DOUBLE(v));
                break;
            case KStr: {
                Py_ssize_t len = 0;
                const char* utf8 = PyUnicode_AsUTF8AndSize(v, &len);
                if (utf8 == nullptr) {  // a lone surrogate: the method raises the encoding error
                    PyErr_Clear();
                    return false;
                }
                if (len > INT_MAX) return false;
                rc = api.bind_text(prepared.stmt, at, utf8, static_cast<int>(len), sqlite::STATIC);
                prepared.bytes_bound = true;
                break;
            }
            case KBytes:
                if (PyBytes_GET_SIZE(v) > INT_MAX) return false;
                rc = api.bind_blob(prepared.stmt, at, PyBytes_AS_STRING(v), static_cast<int>(PyBytes_GET_SIZE(v)),
                                   sqlite::STATIC);
                prepared.bytes_bound = true;
                break;
            case KByteArray:
                if (PyByteArray_GET_SIZE(v) > INT_MAX) return false;
                rc = api.bind_blob(prepared.stmt, at, PyByteArray_AS_STRING(v),
                                   static_cast<int>(PyByteArray_GET_SIZE(v)), sqlite::TRANSIENT);
                prepared.bytes_bound = true;
                break;
            default:
                rc = api.bind_null(prepared.stmt, at);
                break;
        }
        if (rc != sqlite::OK) return false;
    }
    return true;
}

void Session::lose() noexcept {
    dead = true;
    last = nullptr;
    for (const auto& entry : cache) n->api.finalize(entry->stmt);
    cache.clear();
    if (pin != nullptr) n->api.finalize(std::exchange(pin, nullptr));  // the last one: a zombie handle goes
}

void Session::closed(sqlite::sqlite3_stmt* stmt) {
    if (stmt != nullptr) n->api.reset(stmt);
    lose();
    raise(n->programming_error.get(), "Cannot operate on a closed database.");
}

// A step may keep the interpreter lock only where waiting with it stalls no thread whose database locks
// it may wait for: when no other thread exists, or for a repeated read inside a transaction, which holds
// its shared lock already. (A write may have to spill pages to the file, and so wait for other readers,
// in this process too.) Asked at every step: code run by the previous one may have started a thread.
bool Session::may_hold(const Statement& prepared, bool repeated) const {
    return only_thread() || (repeated && prepared.readonly && n->api.txn_state(db, nullptr) != sqlite::TXN_NONE);
}

void Session::fail(sqlite::sqlite3_stmt* stmt) {
    // The reset may run an aggregate's finalize(), which may close the connection: the error is read
    // after it, from the handle as it is then (as the sqlite3 module reads it after its own reset).
    n->api.reset(stmt);
    if (gone()) closed(nullptr);
    n->raise_error(db);
}

// The sqlite3 module's own implicit BEGIN: prepared, stepped and finalized on its own.
void Session::begin(const char* level) {
    const std::string text = std::string("BEGIN ") + level;
    int rc;
    Py_BEGIN_ALLOW_THREADS
    sqlite::sqlite3_stmt* stmt = nullptr;
    rc = n->api.prepare_v2(db, text.c_str(), -1, &stmt, nullptr);
    if (rc == sqlite::OK) {
        n->api.step(stmt);
        rc = n->api.finalize(stmt);
    }
    Py_END_ALLOW_THREADS
    pacer.released();
    // A trace callback runs inside the BEGIN's step and may have closed the connection.
    if (gone()) closed(nullptr);
    if (rc != sqlite::OK) n->raise_error(db);
}

// One step. A statement that may take long or wait for a lock runs without the interpreter lock, as the
// sqlite3 module runs every step; a batch of quick repeated steps keeps it and lets go every few
// milliseconds instead.
int Session::step(sqlite::sqlite3_stmt* stmt, bool hold) {
    int rc;
    if (hold) {
        rc = n->api.step(stmt);
        pacer.tick();
    } else {
        Py_BEGIN_ALLOW_THREADS
        rc = n->api.step(stmt);
        Py_END_ALLOW_THREADS
        pacer.released();
    }
    if (PyErr_Occurred()) {
        // A failed step drops what a callback left behind, as the sqlite3 module does; after a step that
        // succeeded, the error is the caller's to see.
        if (rc != sqlite::ROW && rc != sqlite::DONE) {
            PyErr_Clear();
        } else {
            n->api.reset(stmt);
            throw PyError{};
        }
    }
    return rc;
}

// A text column's value as the connection's text factory makes it. The sqlite3 module reads the factory
// at every value, so code that runs during the statement may change it between two rows.
PyObject* Session::text_value(sqlite::sqlite3_stmt* stmt, int i, const char* text) {
    const int size = n->api.column_bytes(stmt, i);
    PyObject* factory = n->text_factory(conn.get());
    if (factory == reinterpret_cast<PyObject*>(&PyBytes_Type)) return PyBytes_FromStringAndSize(text, size);
    if (factory == reinterpret_cast<PyObject*>(&PyByteArray_Type)) return PyByteArray_FromStringAndSize(text, size);
    if (factory != reinterpret_cast<PyObject*>(&PyUnicode_Type)) {
        PyObject* bytes = PyBytes_FromStringAndSize(text, size);
        if (bytes == nullptr) return nullptr;
        Ref arg = Ref::steal(bytes), held = Ref::borrow(factory);
        PyObject* argv[2] = {nullptr, arg.get()};
        return PyObject_Vectorcall(held.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }
    PyObject* v = PyUnicode_FromStringAndSize(text, size);
    if (v == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        PyErr_Clear();
        const char* name = n->api.column_name(stmt, i);
        if (name == nullptr)
            PyErr_NoMemory();
        else
            PyErr_Format(n->operational_error.get(), "Could not decode to UTF-8 column '%s' with text '%s'", name, text);
    }
    return v;
}

// The remaining rows of `prepared` (at most `most`) as tuples, converted as the sqlite3 module converts them by
// default. The column count is the current row's: a schema change made during the statement re-prepares it.
Ref Session::rows(const Statement& prepared, int& rc, bool repeated, size_t most) {
    try {
        return rows_of(prepared, rc, repeated, most);
    } catch (...) {
        // Every throw leaves the statement reset, unless losing the session has finalized it already.
        if (!dead) {
            ErrorStash pending;
            n->api.reset(prepared.stmt);
        }
        throw;
    }
}

Ref Session::rows_of(const Statement& prepared, int& rc, bool repeated, size_t most) {
    const sqlite::Api& api = n->api;
    sqlite::sqlite3_stmt* const stmt = prepared.stmt;
    Ref out = own(PyList_New(0));
    unsigned fetched = 0;
    for (size_t taken = 0; rc == sqlite::ROW; ++taken) {
        if (taken == most) return out;  // the row the last step found waits for the next call
        if (gone()) closed(stmt);
        const int columns = api.column_count(stmt);
        Ref row = own(PyTuple_New(columns));
        for (int i = 0; i < columns; ++i) {
            PyObject* v = nullptr;
            switch (api.column_type(stmt, i)) {
                case sqlite::INTEGER:
                    v = PyLong_FromLongLong(api.column_int64(stmt, i));
                    break;
                case sqlite::FLOAT:
                    v = PyFloat_FromDouble(api.column_double(stmt, i));
                    break;
                case sqlite::TEXT: {
                    const char* text = reinterpret_cast<const char*>(api.column_text(stmt, i));
                    if (text == nullptr) {
                        PyErr_NoMemory();
                        break;
                    }
                    v = text_value(stmt, i, text);
                    break;
                }
                case sqlite::BLOB: {
                    const void* blob = api.column_blob(stmt, i);
                    v = PyBytes_FromStringAndSize(static_cast<const char*>(blob), api.column_bytes(stmt, i));
                    break;
                }
                default:
                    v = Py_NewRef(Py_None);
                    break;
            }
            if (v == nullptr) {
                api.reset(stmt);
                throw PyError{};
            }
            PyTuple_SET_ITEM(row.get(), i, v);
        }
        if (PyList_Append(out.get(), row.get()) < 0 || (++fetched % 1024 == 0 && PyErr_CheckSignals() < 0)) {
            api.reset(stmt);
            throw PyError{};
        }
        if (gone()) closed(stmt);  // converting a row may have run Python code
        rc = step(stmt, may_hold(prepared, repeated));
    }
    if (gone()) closed(stmt);
    if (rc != sqlite::DONE) fail(stmt);
    api.reset(stmt);
    return out;
}

void Session::visit_rows(const Statement& prepared, int& rc, bool repeated, RowVisitor& visitor) {
    const sqlite::Api& api = n->api;
    sqlite::sqlite3_stmt* const stmt = prepared.stmt;
    std::vector<Value> values;
    unsigned fetched = 0;
    try {
        for (; rc == sqlite::ROW; rc = step(stmt, may_hold(prepared, repeated))) {
            if (gone()) closed(stmt);
            const int columns = api.column_count(stmt);
            values.assign(static_cast<size_t>(columns), Value{});
            for (int i = 0; i < columns; ++i) {
                Value& v = values[static_cast<size_t>(i)];
                switch (api.column_type(stmt, i)) {
                    case sqlite::INTEGER:
                        v.kind = Value::Kind::Int;
                        v.i = api.column_int64(stmt, i);
                        break;
                    case sqlite::FLOAT:
                        v.kind = Value::Kind::Real;
                        v.d = api.column_double(stmt, i);
                        break;
                    case sqlite::TEXT: {
                        const char* text = reinterpret_cast<const char*>(api.column_text(stmt, i));
                        if (text == nullptr) {
                            PyErr_NoMemory();
                            throw PyError{};
                        }
                        v.kind = Value::Kind::Text;
                        v.p = text;
                        v.n = static_cast<size_t>(api.column_bytes(stmt, i));
                        // Text the sqlite3 module could not read as str fails as it fails there.
                        if (!valid_utf8(v.p, v.n)) {
                            Ref made = Ref::steal(text_value(stmt, i, text));
                            if (!made) throw PyError{};
                        }
                        break;
                    }
                    case sqlite::BLOB:
                        v.kind = Value::Kind::Blob;
                        v.p = static_cast<const char*>(api.column_blob(stmt, i));
                        v.n = static_cast<size_t>(api.column_bytes(stmt, i));
                        break;
                    default:
                        break;
                }
            }
            visitor.row(values.data(), values.size());
            if (++fetched % 1024 == 0 && PyErr_CheckSignals() < 0) throw PyError{};
        }
        if (gone()) closed(stmt);
        if (rc != sqlite::DONE) fail(stmt);
        api.reset(stmt);
    } catch (...) {
        // Every throw leaves the statement reset, unless losing the session has finalized it already.
        if (!dead) {
            ErrorStash pending;
            api.reset(stmt);
        }
        throw;
    }
}

namespace {

// Runs `statement` natively, its parameters bound by `bind(statement)`; false when it must go through the
// cursor's own execute instead (nothing has been sent then).
// With `reading`, a read stops after `most` rows: while rows remain, `reading` keeps the statement.
// With `visitor`, the rows go to it instead.
template <class Bind>
bool run_bound(Session& s, PyObject* statement, Bind&& bind, bool tuples, Ref& rows, Reading* reading = nullptr,
               size_t most = SIZE_MAX, RowVisitor* visitor = nullptr) {
    if (s.dead || s.busy) return false;
    Busy busy(&s);
    if (s.gone()) {
        s.lose();
        return false;
    }
    // The connection's settings as they are now; false when a handler is set, which the method must call.
    sqlite::ConnectionView view{};
    auto look = [&] {
        view = s.n->view(s.conn.get());
        return !view.has_authorizer && !view.has_progress_handler;
    };
    if (!look()) return false;
    Statement* prepared = s.statement(statement);
    if (prepared == nullptr) return false;
    const bool reads = prepared->columns > 0;
    // A statement that returns rows runs here only for plain tuples, str text and no declared types.
    auto gate = [&] {
        return !reads || (tuples && view.text_factory == reinterpret_cast<PyObject*>(&PyUnicode_Type) &&
                          view.detect_types == 0);
    };
    if (!gate()) return false;
    // Text and blobs are bound without a copy (SQLITE_STATIC): they stay valid because every run binds
    // its own parameters again before its step, and the caller holds them until the run returns.
    if (!bind(*prepared)) return false;
    // Preparing let go of the interpreter lock: look again before anything is sent.
    if (s.gone()) {
        s.lose();
        return false;
    }
    // Preparing let go of the lock too: the settings the read gate looked at may have changed.
    if (!look() || !gate()) return false;
    const bool repeated = prepared == s.last;
    s.last = prepared;
    if (view.isolation_level != nullptr && prepared->dml && s.n->api.get_autocommit(s.db)) {
        s.begin(view.isolation_level);
        // Its trace callback may have closed the connection or set a handler; the method would find
        // the transaction open and send no second BEGIN.
        if (s.gone()) s.closed(nullptr);
        if (!look() || !gate()) return false;  // the BEGIN stays: the method finds the transaction open
    }
    int rc = s.step(prepared->stmt, s.may_hold(*prepared, repeated));
    if (s.gone() && (reads || (rc != sqlite::DONE && rc != sqlite::ROW))) s.closed(prepared->stmt);
    if (reads && visitor != nullptr) {
        s.visit_rows(*prepared, rc, repeated, *visitor);
    } else if (reads) {
        rows = s.rows(*prepared, rc, repeated, reading != nullptr ? most : SIZE_MAX);
        if (reading != nullptr && rc == sqlite::ROW) reading->keep(*prepared, repeated);
    } else {
        if (rc != sqlite::DONE && rc != sqlite::ROW) s.fail(prepared->stmt);
        s.n->api.reset(prepared->stmt);
        // A write that ran to its end keeps its effect, as the method's would; the next statement finds the
        // connection closed.
        if (s.gone()) s.lose();
    }
    return true;
}

}  // namespace

Busy::Busy(Session* s) noexcept : s_(s), was_(s != nullptr && s->busy) {
    if (s_ != nullptr) s_->busy = true;
}

Busy::~Busy() {
    if (s_ != nullptr) s_->busy = was_;
}

bool standing(Cursor& cur, Standing& out) {
    Session* s = cur.session_.get();
    if (s == nullptr || s->dead || s->gone()) return false;
    const sqlite::Api& api = s->n->api;
    unsigned version = 0;
    int rc;
    // It waits for the connection's mutex, which a thread inside a statement of the connection may hold
    // while it waits for the interpreter lock (a function of the statement's): the lock goes meanwhile, and
    // the pin keeps the handle from being freed by a close() in between.
    Py_BEGIN_ALLOW_THREADS
    rc = api.file_control(s->db, "main", sqlite::FCNTL_DATA_VERSION, &version);
    Py_END_ALLOW_THREADS
    if (rc != sqlite::OK || s->gone()) return false;
    out = {s->n->statement_cache(s->conn.get()), s->db, version, api.total_changes(s->db)};
    return out.cache != nullptr;
}

bool run(Session& s, PyObject* statement, PyObject* params, bool tuples, Ref& rows) {
    return run_bound(s, statement, [&](const Statement& prepared) { return s.bind(prepared, params); }, tuples, rows);
}

bool run_visiting(Session& s, PyObject* statement, PyObject* params, bool tuples, RowVisitor& visitor) {
    Ref unused;
    return run_bound(s, statement, [&](const Statement& prepared) { return s.bind(prepared, params); }, tuples, unused,
                     nullptr, SIZE_MAX, &visitor);
}

bool run_values(Session& s, PyObject* statement, const Value* values, size_t n, bool tuples, Ref& rows) {
    auto bind = [&](const Statement& prepared) {
        if (static_cast<size_t>(prepared.params) != n) return false;  // the method raises the count error
        s.refresh_adapted();
        if (s.adapted != 0) return false;
        const sqlite::Api& api = s.n->api;
        for (size_t i = 0; i < n; ++i) {
            const Value& v = values[i];
            const int at = static_cast<int>(i) + 1;
            if ((v.kind == Value::Kind::Text || v.kind == Value::Kind::Blob) && v.n > INT_MAX) return false;
            prepared.bytes_bound = prepared.bytes_bound || v.kind == Value::Kind::Text || v.kind == Value::Kind::Blob;
            int rc;
            switch (v.kind) {
                case Value::Kind::Int: rc = api.bind_int64(prepared.stmt, at, v.i); break;
                case Value::Kind::Real: rc = api.bind_double(prepared.stmt, at, v.d); break;
                case Value::Kind::Text:
                    rc = api.bind_text(prepared.stmt, at, v.p, static_cast<int>(v.n), sqlite::STATIC);
                    break;
                // A zero-length blob with no address would bind NULL: bind it from a byte of its own.
                case Value::Kind::Blob:
                    rc = api.bind_blob(prepared.stmt, at, v.n == 0 ? "" : v.p, static_cast<int>(v.n), sqlite::STATIC);
                    break;
                default: rc = api.bind_null(prepared.stmt, at); break;
            }
            if (rc != sqlite::OK) return false;
        }
        return true;
    };
    return run_bound(s, statement, bind, tuples, rows);
}

bool run_int(Session& s, PyObject* statement, long long value, bool tuples, Ref& rows) {
    // A trace callback is given the text of a statement run inside another one as it was prepared, not
    // with its parameters written in: there the integer must be in the text.
    if (s.inside_other()) return false;
    // Only where the integer's place is the statement's one parameter (a name may hold a "?").
    auto bind = [&](const Statement& prepared) {
        return prepared.params == 1 && s.n->api.bind_int64(prepared.stmt, 1, value) == sqlite::OK;
    };
    return run_bound(s, statement, bind, tuples, rows);
}

// ---------------------------------------------------------------------------------------------------
// Reads taken a bounded number of rows at a time

bool Reading::open(Session& s, PyObject* statement, PyObject* params, bool tuples, size_t most, Ref& rows) {
    s_ = &s;
    auto bind = [&](const Statement& prepared) { return s.bind(prepared, params); };
    if (!run_bound(s, statement, bind, tuples, rows, this, most)) return false;
    if (prepared_ != nullptr) busy_.emplace(&s);  // from here to the end of the read, nested statements take the methods
    return true;
}

void Reading::keep(Statement& prepared, bool repeated) noexcept {
    prepared_ = &prepared;
    repeated_ = repeated;
}

Ref Reading::more(size_t most) {
    Statement* prepared = std::exchange(prepared_, nullptr);
    if (prepared == nullptr) return own(PyList_New(0));
    // A connection lost meanwhile has finalized every statement of the session, this one included.
    if (s_->dead) s_->closed(nullptr);
    int rc = sqlite::ROW;  // the row that the last step found, not converted yet
    Ref rows = s_->rows(*prepared, rc, repeated_, most);
    if (rc == sqlite::ROW) prepared_ = prepared;
    return rows;
}

Reading::~Reading() {
    Statement* prepared = std::exchange(prepared_, nullptr);
    if (prepared == nullptr || s_->dead) return;
    ErrorStash pending;  // a reset may run Python code (an aggregate's finalize)
    s_->n->api.reset(prepared->stmt);
}

}  // namespace morvel::db
