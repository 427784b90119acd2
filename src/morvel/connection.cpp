// Connection and Cursor calls, and the one place where the path of a statement is chosen. Every object
// gets the method path: each operation is the method of that name, looked up when it is called. A genuine
// sqlite3.Connection (the exact type) gets the native path as well (native.cpp): its statements run on the
// connection's own SQLite handle. Whatever the native path cannot reproduce exactly (a value that needs
// adaptation, an authorizer or progress handler, a row or text factory, a closed connection, a statement
// SQLite refuses to prepare) goes through the method.
#include "connection.hpp"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "compat.hpp"
#include "native.hpp"
#include "sql.hpp"
#include "sqlite_api.hpp"

namespace morvel::db {

namespace {

// Off with MORVEL_NATIVE=0; with MORVEL_NATIVE=require a genuine connection without it is an error.
enum class Mode { Off, Auto, Require };
Mode mode() {
    const char* v = std::getenv("MORVEL_NATIVE");
    if (v == nullptr) return Mode::Auto;
    if (std::strcmp(v, "0") == 0) return Mode::Off;
    if (std::strcmp(v, "require") == 0) return Mode::Require;
    return Mode::Auto;
}

// The value of an exact int that fits 64 bits.
bool int64_of(PyObject* n, long long& value) {
    if (!PyLong_CheckExact(n)) return false;
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(n, &overflow);
    return overflow == 0;
}

}  // namespace

Cursor::Cursor(Ref cursor, Session* session, bool tuples) noexcept
    : object_(std::move(cursor)), session_(session), tuples_(tuples) {}

void SessionRelease::operator()(Session* s) const noexcept { release(s); }

namespace {

// The sqlite3 module refuses a text of several statements; a connection that took one without an error ran
// the first, or all: either way not what the same call does on sqlite3.
void refuse_several(PyObject* statement) {
    if (PyUnicode_Check(statement) && several_statements(statement)) {
        raise(PyExc_ValueError,
              "the connection took a text of several statements without an error: it does not refuse them "
              "as sqlite3 does, and may have run the first of them, or all");
    }
}

}  // namespace

void Cursor::through_method(PyObject* statement, PyObject* params) {
    rows_ = Ref{};
    method_ = true;
    Busy busy(session_.get());
    if (params == nullptr)
        call_method(object_.get(), names->execute.get(), {statement});
    else
        call_method(object_.get(), names->execute.get(), {statement, params});
    refuse_several(statement);
}

Cursor cursor(PyObject* conn) {
    const sqlite::Native* n = nullptr;
    const char* off = nullptr;  // why a genuine connection gets no native path under MORVEL_NATIVE=require
    // The name is a cheap first filter: only a genuine connection makes the native path probe.
    if (std::strcmp(Py_TYPE(conn)->tp_name, "sqlite3.Connection") == 0) {
        const Mode m = mode();
        if (m != Mode::Off) {
            const char* why = nullptr;
            n = sqlite::native(&why);
            if (n != nullptr && Py_TYPE(conn) != n->connection_type) n = nullptr;
            if (n == nullptr && m == Mode::Require && why != nullptr) off = why;
        }
    }
    Ref object = call_method(conn, names->cursor.get(), {});
    if (off != nullptr) {
        raise(PyExc_RuntimeError, "MORVEL_NATIVE=require, but the native path is off: %s", off);
    }
    if (n == nullptr) return Cursor(std::move(object), nullptr, false);
    // The cursor has just taken its copy of the row factory; its rows follow that copy for its whole life.
    const bool tuples = n->view(conn).row_factory == Py_None;
    return Cursor(std::move(object), acquire(n, conn), tuples);
}

bool Cursor::native(PyObject* statement, PyObject* params) {
    if (session_ == nullptr || !run(*session_, statement, params, tuples_, rows_)) return false;
    method_ = false;
    return true;
}

void execute(Cursor& cur, PyObject* statement) {
    if (!cur.native(statement, nullptr)) cur.through_method(statement, nullptr);
}

void execute(Cursor& cur, PyObject* statement, PyObject* params) {
    const bool exact = PyList_CheckExact(params) || PyTuple_CheckExact(params);
    if (!(exact && cur.native(statement, params))) cur.through_method(statement, params);
}

namespace {

Ref executemany_of(PyObject* object) {
    PyObject* found = nullptr;
    if (compat::get_optional_attr(object, names->executemany.get(), &found) < 0) throw PyError{};
    return Ref::steal(found);
}

}  // namespace

bool takes_many(Cursor& cur) { return cur.session_ == nullptr && executemany_of(cur.object_.get()); }

bool execute_many(Cursor& cur, PyObject* statement, PyObject* rows) {
    if (cur.session_ != nullptr) return false;
    const Ref method = executemany_of(cur.object_.get());
    if (!method) return false;
    cur.rows_ = Ref{};
    cur.method_ = true;
    call(method.get(), {statement, rows});
    refuse_several(statement);
    return true;
}

Py_ssize_t execute_row(Cursor& cur, PyObject* statement, PyObject* row) {
    // A tuple cannot change while it is bound: its items are bound in place, without the copy. Whatever
    // keeps a tuple row from the native path keeps its list too: that row goes through the method.
    const bool tuple = PyTuple_CheckExact(row);
    if (tuple && cur.native(statement, row)) return PyTuple_GET_SIZE(row);
    Ref values = new_list(row);
    const Py_ssize_t sent = PyList_GET_SIZE(values.get());  // before the connection's execute may change it
    if (tuple || !cur.native(statement, values.get())) cur.through_method(statement, values.get());
    return sent;
}

void execute_values(Cursor& cur, PyObject* statement, const Value* values, size_t n) {
    if (cur.session_ != nullptr && run_values(*cur.session_, statement, values, n, cur.tuples_, cur.rows_)) {
        cur.method_ = false;
        return;
    }
    Ref row = own(PyTuple_New(static_cast<Py_ssize_t>(n)));
    for (size_t i = 0; i < n; ++i) {
        const Value& v = values[i];
        PyObject* o = nullptr;
        switch (v.kind) {
            case Value::Kind::Int: o = PyLong_FromLongLong(v.i); break;
            case Value::Kind::Real: o = PyFloat_FromDouble(v.d); break;
            case Value::Kind::Text:
                o = PyUnicode_DecodeUTF8(v.p, static_cast<Py_ssize_t>(v.n), "strict");
                break;
            case Value::Kind::Blob: o = PyBytes_FromStringAndSize(v.p, static_cast<Py_ssize_t>(v.n)); break;
            default: o = Py_NewRef(Py_None); break;
        }
        if (o == nullptr) throw PyError{};
        PyTuple_SET_ITEM(row.get(), static_cast<Py_ssize_t>(i), o);
    }
    cur.through_method(statement, row.get());
}

IntStatement::IntStatement(PyObject* head, std::string_view tail) : head_(Ref::borrow(head)), tail_(tail) {
    if (PyUnicode_IS_ASCII(head))
        ascii_head_.assign(static_cast<const char*>(PyUnicode_DATA(head)), static_cast<size_t>(PyUnicode_GET_LENGTH(head)));
}

// head + str(n) + tail, written straight into a new str when the head is ASCII.
Ref IntStatement::text(long long n) const {
    char digits[24];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, n);
    const std::string_view number(digits, static_cast<size_t>(end - digits));
    if (ascii_head_.empty()) return TextBuilder().text(head_.get()).ascii(number).ascii(tail_).finish();
    const size_t size = ascii_head_.size() + number.size() + tail_.size();
    Ref out = own(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
    char* p = static_cast<char*>(PyUnicode_DATA(out.get()));
    std::memcpy(p, ascii_head_.data(), ascii_head_.size());
    std::memcpy(p + ascii_head_.size(), number.data(), number.size());
    std::memcpy(p + ascii_head_.size() + number.size(), tail_.data(), tail_.size());
    return out;
}

bool execute(Cursor& cur, const IntStatement& statement, PyObject* n) {
    long long value = 0;
    if (!int64_of(n, value)) return false;
    if (cur.session_ != nullptr) {
        if (!statement.parameterised_)
            statement.parameterised_ = TextBuilder().text(statement.head_.get()).ascii("?").ascii(statement.tail_).finish();
        if (run_int(*cur.session_, statement.parameterised_.get(), value, cur.tuples_, cur.rows_)) {
            cur.method_ = false;
            return true;
        }
    }
    cur.through_method(statement.text(value).get(), nullptr);
    return true;
}

bool visit(Cursor& cur, PyObject* statement, PyObject* params, RowVisitor& visitor) {
    const bool exact = params == nullptr || PyList_CheckExact(params) || PyTuple_CheckExact(params);
    if (!exact || cur.session_ == nullptr || !run_visiting(*cur.session_, statement, params, cur.tuples_, visitor))
        return false;
    cur.method_ = false;
    cur.rows_ = Ref{};
    return true;
}

Ref fetchall(Cursor& cur) {
    if (cur.method_) {
        Busy busy(cur.session_.get());
        return call_method(cur.object_.get(), names->fetchall.get(), {});
    }
    Ref rows = std::move(cur.rows_);
    return rows ? rows : own(PyList_New(0));
}

Ref query(Cursor& cur, PyObject* statement) {
    execute(cur, statement);
    return fetchall(cur);
}

Ref query(Cursor& cur, PyObject* statement, PyObject* params) {
    execute(cur, statement, params);
    return fetchall(cur);
}

// ---------------------------------------------------------------------------------------------------
// Reads taken a bounded number of rows at a time

Stream::Stream(Cursor& cur, PyObject* statement, PyObject* params)
    : cur_(cur), statement_(Ref::borrow(statement)), params_(Ref::borrow(params)) {}

Stream::~Stream() = default;  // a native read still open resets its statement

Ref Stream::next(Py_ssize_t most) {
    const size_t count = most > 0 ? static_cast<size_t>(most) : 1;
    if (state_ == State::Unsent) {
        state_ = State::Ended;  // whatever fails below ends the read
        PyObject* params = params_.get();
        const bool exact = params == nullptr || PyList_CheckExact(params) || PyTuple_CheckExact(params);
        if (cur_.session_ != nullptr && exact) {
            auto reading = std::make_unique<Reading>();
            Ref rows;
            if (reading->open(*cur_.session_, statement_.get(), params, cur_.tuples_, count, rows)) {
                cur_.method_ = false;
                cur_.rows_ = Ref{};
                if (reading->active()) {
                    native_ = std::move(reading);
                    state_ = State::Native;
                }
                return rows ? rows : own(PyList_New(0));
            }
        }
        cur_.through_method(statement_.get(), params);
        state_ = State::Method;
    }
    if (state_ == State::Native) {
        Ref rows = native_->more(count);
        if (!native_->active()) {
            native_.reset();
            state_ = State::Ended;
        }
        return rows;
    }
    if (state_ == State::Method) {
        PyObject* fetchmany = nullptr;
        if (compat::get_optional_attr(cur_.object_.get(), names->fetchmany.get(), &fetchmany) < 0) throw PyError{};
        const Ref method = Ref::steal(fetchmany);
        Busy busy(cur_.session_.get());
        if (!method) {
            state_ = State::Ended;
            return call_method(cur_.object_.get(), names->fetchall.get(), {});
        }
        Ref size = own(PyLong_FromSize_t(count));
        Ref rows = call(method.get(), {size.get()});
        if (check_size(PyObject_Size(rows.get())) == 0) state_ = State::Ended;
        return rows;
    }
    return own(PyList_New(0));
}

void commit(PyObject* conn) {
    Busy busy(find(conn));
    call_method(conn, names->commit.get(), {});
}

void rollback(PyObject* conn) noexcept {
    Ref first = Ref::steal(compat::take_exception());
    PyObject* args[2] = {nullptr, conn};
    PyObject* done;
    {
        Busy busy(find(conn));
        done = PyObject_VectorcallMethod(names->rollback.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }
    if (done != nullptr) {
        Py_DECREF(done);
        if (first) compat::restore_exception(first.release());
        return;
    }
    if (!first) return;
    Ref second = Ref::steal(compat::take_exception());
    PyException_SetContext(second.get(), first.release());
    compat::restore_exception(second.release());
}

void close(PyObject* conn) { call_method(conn, names->close.get(), {}); }

}  // namespace morvel::db
