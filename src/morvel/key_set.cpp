// Key tuples written as bytes, and the hash set that holds them (key_set.hpp).
#include "key_set.hpp"

#include <cmath>
#include <cstring>
#include <utility>

namespace morvel {

namespace {

void append_length(std::string& out, size_t n) {
    const auto n32 = static_cast<uint32_t>(n);
    out.append(reinterpret_cast<const char*>(&n32), sizeof n32);
}

void append_int(std::string& out, long long i) {
    out.push_back('i');
    out.append(reinterpret_cast<const char*>(&i), sizeof i);
}

// An integer beyond 64 bits (never one SQLite stores), by its digits: equal to a double of the same value.
void append_big(std::string& out, PyObject* integer) {
    Ref digits = own(PyObject_Str(integer));
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(digits.get(), &n);
    if (p == nullptr) throw PyError{};
    out.push_back('I');
    append_length(out, static_cast<size_t>(n));
    out.append(p, static_cast<size_t>(n));
}

// A double equals an integer of the same value (Python's 1 == 1.0, and SQLite's): such doubles are written as
// that integer.
void append_real(std::string& out, double d) {
    if (std::isfinite(d) && d == std::floor(d)) {
        if (d >= -9223372036854775808.0 && d < 9223372036854775808.0) return append_int(out, static_cast<long long>(d));
        append_big(out, own(PyLong_FromDouble(d)).get());
        return;
    }
    out.push_back('r');
    out.append(reinterpret_cast<const char*>(&d), sizeof d);
}

// A text as the collation compares it. NOCASE folds ASCII letters and stops at a NUL, but still tells texts
// of other lengths apart: past a NUL only the length counts, written after it in digits. RTRIM drops
// trailing blanks (U+0020 only).
void append_text(std::string& out, const char* p, size_t n, Collation c) {
    out.push_back('t');
    if (c == Collation::Rtrim)
        while (n > 0 && p[n - 1] == ' ') --n;
    if (c != Collation::Nocase) {
        append_length(out, n);
        out.append(p, n);
        return;
    }
    const auto* nul = static_cast<const char*>(std::memchr(p, '\0', n));
    const size_t head = nul == nullptr ? n : static_cast<size_t>(nul - p);
    std::string folded(p, head);
    for (char& ch : folded)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + ('a' - 'A'));
    if (nul != nullptr) folded += '\0' + std::to_string(n);
    append_length(out, folded.size());
    out += folded;
}

void append_blob(std::string& out, const char* p, size_t n) {
    out.push_back('b');
    append_length(out, n);
    out.append(p, n);
}

uint64_t hash_of(std::string_view key) {
    uint64_t h = 0x9E3779B97F4A7C15ULL ^ key.size();
    const char* p = key.data();
    size_t n = key.size();
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t w = 0;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * 0xFF51AFD7ED558CCDULL;
        h ^= h >> 32;
    }
    uint64_t w = 0;
    std::memcpy(&w, p, n);
    h ^= w;
    // Every bit of the words into the low bits, which pick the slot.
    h = (h ^ (h >> 33)) * 0xFF51AFD7ED558CCDULL;
    h = (h ^ (h >> 33)) * 0xC4CEB9FE1A85EC53ULL;
    return h ^ (h >> 33);
}

}  // namespace

bool append_key_value(std::string& out, PyObject* v, Collation c) {
    if (v == Py_None) return false;
    if (PyLong_Check(v)) {
        int overflow = 0;
        const long long i = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (i == -1 && PyErr_Occurred()) throw PyError{};
        if (overflow != 0)
            append_big(out, v);
        else
            append_int(out, i);
    } else if (PyFloat_Check(v)) {
        append_real(out, PyFloat_AS_DOUBLE(v));
    } else if (PyUnicode_Check(v)) {
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(v, &n);
        if (p == nullptr) throw PyError{};
        append_text(out, p, static_cast<size_t>(n), c);
    } else if (PyBytes_Check(v)) {
        append_blob(out, PyBytes_AS_STRING(v), static_cast<size_t>(PyBytes_GET_SIZE(v)));
    } else {
        raise(PyExc_TypeError, "a key column holds a value of type %.200s, which SQLite does not store",
              Py_TYPE(v)->tp_name);
    }
    return true;
}

bool append_key_value(std::string& out, const db::Value& v, Collation c) {
    switch (v.kind) {
        case db::Value::Kind::Int: append_int(out, v.i); return true;
        case db::Value::Kind::Real: append_real(out, v.d); return true;
        case db::Value::Kind::Text: append_text(out, v.p, v.n, c); return true;
        case db::Value::Kind::Blob: append_blob(out, v.p, v.n); return true;
        default: return false;
    }
}

std::string_view KeySet::at(const Slot& s) const {
    uint32_t n = 0;
    std::memcpy(&n, bytes_.data() + (s.at - 1), sizeof n);
    return {bytes_.data() + (s.at - 1) + sizeof n, n};
}

size_t KeySet::find(std::string_view key, uint64_t hash) const {
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& s = slots_[i];
        if (s.at == 0 || (s.hash == hash && at(s) == key)) return i;
    }
}

void KeySet::grow() {
    RawVector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 1024 : old.size() * 2, Slot{});
    const size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
        if (s.at == 0) continue;
        size_t i = s.hash & mask;
        while (slots_[i].at != 0) i = (i + 1) & mask;
        slots_[i] = s;
    }
}

namespace {

// The integer of a key that is one integer ('i' and its 8 bytes).
bool one_int(std::string_view key, long long& v) {
    if (key.size() != 1 + sizeof v || key[0] != 'i') return false;
    std::memcpy(&v, key.data() + 1, sizeof v);
    return true;
}

size_t int_slot(long long v, size_t mask) {
    auto h = static_cast<uint64_t>(v);
    h = (h ^ (h >> 33)) * 0xFF51AFD7ED558CCDULL;
    h = (h ^ (h >> 33)) * 0xC4CEB9FE1A85EC53ULL;
    return static_cast<size_t>(h ^ (h >> 33)) & mask;
}

}  // namespace

bool KeySet::insert_int(long long v) {
    if (v == kEmpty) return !std::exchange(has_empty_, true);
    if ((int_count_ + 1) * 2 > ints_.size()) {
        RawVector<long long> old = std::move(ints_);
        ints_.assign(old.empty() ? 1024 : old.size() * 2, kEmpty);
        const size_t mask = ints_.size() - 1;
        for (long long o : old) {
            if (o == kEmpty) continue;
            size_t i = int_slot(o, mask);
            while (ints_[i] != kEmpty) i = (i + 1) & mask;
            ints_[i] = o;
        }
    }
    const size_t mask = ints_.size() - 1;
    for (size_t i = int_slot(v, mask);; i = (i + 1) & mask) {
        if (ints_[i] == v) return false;
        if (ints_[i] == kEmpty) {
            ints_[i] = v;
            ++int_count_;
            return true;
        }
    }
}

bool KeySet::contains_int(long long v) const {
    if (v == kEmpty) return has_empty_;
    if (int_count_ == 0) return false;
    const size_t mask = ints_.size() - 1;
    for (size_t i = int_slot(v, mask);; i = (i + 1) & mask) {
        if (ints_[i] == v) return true;
        if (ints_[i] == kEmpty) return false;
    }
}

bool KeySet::insert(std::string_view key) {
    if (long long v = 0; one_int(key, v)) return insert_int(v);
    if ((size_ + 1) * 2 > slots_.size()) grow();
    const uint64_t hash = hash_of(key);
    Slot& s = slots_[find(key, hash)];
    if (s.at != 0) return false;
    const auto n = static_cast<uint32_t>(key.size());
    s = Slot{hash, bytes_.size() + 1};
    bytes_.insert(bytes_.end(), reinterpret_cast<const char*>(&n), reinterpret_cast<const char*>(&n) + sizeof n);
    bytes_.insert(bytes_.end(), key.begin(), key.end());
    ++size_;
    return true;
}

void KeySet::prefetch(std::string_view key) const {
    if (long long v = 0; one_int(key, v)) {
        if (!ints_.empty()) __builtin_prefetch(&ints_[int_slot(v, ints_.size() - 1)], 1);
    } else if (!slots_.empty()) {
        __builtin_prefetch(&slots_[hash_of(key) & (slots_.size() - 1)], 1);
    }
}

bool KeySet::contains(std::string_view key) const {
    if (long long v = 0; one_int(key, v)) return contains_int(v);
    if (size_ == 0) return false;
    return slots_[find(key, hash_of(key))].at != 0;
}

}  // namespace morvel
