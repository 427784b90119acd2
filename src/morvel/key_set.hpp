// The key tuples of staged rows, as morvel.query holds them: each tuple written as bytes that are equal
// exactly when the tuples are equal values (1 and 1.0 alike, a text never a blob), optionally as a column's
// collation compares it, in a hash set of its own with no Python object per tuple.
#pragma once

#include <climits>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalog.hpp"
#include "connection.hpp"
#include "core.hpp"

namespace morvel {

// How a column's `=` compares text: byte for byte, with ASCII letters folded, without trailing blanks, or by
// a collation that only SQLite itself knows.
enum class Collation { Binary, Nocase, Rtrim, Other };

// Appends one value of a key tuple, as its column's collation compares it (Binary: by value); false, with
// nothing appended, for NULL, which equals nothing. A value of another type than SQLite's is a TypeError.
bool append_key_value(std::string& out, PyObject* v, Collation c);
bool append_key_value(std::string& out, const db::Value& v, Collation c);
inline bool append_key_value(std::string& out, const Ref& v, Collation c) { return append_key_value(out, v.get(), c); }

// Memory that tracemalloc sees (the interpreter's raw domain), so that what a call holds is measured whole.
template <class T>
struct RawAllocator {
    using value_type = T;
    RawAllocator() noexcept = default;
    template <class U>
    RawAllocator(const RawAllocator<U>&) noexcept {}
    T* allocate(size_t n) {
        void* p = n > SIZE_MAX / sizeof(T) ? nullptr : PyMem_RawMalloc(n * sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t) noexcept { PyMem_RawFree(p); }
    template <class U>
    bool operator==(const RawAllocator<U>&) const noexcept { return true; }
};
template <class T>
using RawVector = std::vector<T, RawAllocator<T>>;

// A set of byte strings: open addressing over their hashes, the strings back to back in one buffer. A key of
// one integer, the usual one, is kept as that integer in a table of its own: half the memory that the probes
// touch, and no string.
class KeySet {
public:
    // Adds `key`; false when it was there already.
    bool insert(std::string_view key);
    bool contains(std::string_view key) const;
    // Brings the slot where `key` would go into the cache, for an insert or a look-up soon after.
    void prefetch(std::string_view key) const;
    // The memory the set holds, in bytes.
    size_t held() const {
        return ints_.capacity() * sizeof(long long) + slots_.capacity() * sizeof(Slot) + bytes_.capacity();
    }

private:
    // Integers by open addressing; kEmpty marks a free slot, and has_empty_ tells whether kEmpty itself is in.
    static constexpr long long kEmpty = LLONG_MIN;
    bool insert_int(long long v);
    bool contains_int(long long v) const;
    RawVector<long long> ints_;
    size_t int_count_ = 0;
    bool has_empty_ = false;

    struct Slot {
        uint64_t hash = 0;
        uint64_t at = 0;  // 1 + the offset of the string in bytes_; 0: an empty slot
    };
    size_t find(std::string_view key, uint64_t hash) const;  // its slot, or the empty one where it would go
    std::string_view at(const Slot& s) const;
    void grow();

    RawVector<Slot> slots_;
    RawVector<char> bytes_;  // each string as its length (4 bytes), then its bytes
    size_t size_ = 0;
};

// The staged rows up to rowid `bound` that a newer staged row supersedes under `keys`, ascending, found by
// these key sets as query reads staged rows (in bounded parts, newest first); nothing once the sets hold
// more than `budget` bytes. Defined in query.cpp.
std::optional<std::vector<long long>> superseded_staged(db::Cursor& cur, PyObject* table, PyObject* cols,
                                                        const std::vector<UniqueKey>& keys, long long bound,
                                                        size_t budget);

}  // namespace morvel
