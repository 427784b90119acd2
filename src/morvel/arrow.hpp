// Arrow's C Data and C Stream interfaces: the structs as their ABI lays them out, owned by RAII holders
// that call each struct's own release callback, and the capsules of the PyCapsule interface
// (`__arrow_c_stream__`, `__arrow_c_array__`, `__arrow_c_schema__`) that carry them between libraries.
#pragma once

#include <cstdint>
#include <utility>

#include "core.hpp"

namespace morvel::arrow {

// The ABI structs. A struct whose `release` is null has been released or moved from.
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};

struct ArrowArrayStream {
    int (*get_schema)(ArrowArrayStream*, ArrowSchema* out);
    int (*get_next)(ArrowArrayStream*, ArrowArray* out);
    const char* (*get_last_error)(ArrowArrayStream*);
    void (*release)(ArrowArrayStream*);
    void* private_data;
};

inline constexpr int64_t kFlagNullable = 2;

// The capsule names of the PyCapsule interface.
inline constexpr const char* kSchemaCapsule = "arrow_schema";
inline constexpr const char* kArrayCapsule = "arrow_array";
inline constexpr const char* kStreamCapsule = "arrow_array_stream";

// One of the structs, owned: released once, when the holder goes. Moving a struct out of a capsule leaves
// the capsule's copy released (release == null), as the interface asks of a consumer.
template <class T>
class Owned {
public:
    Owned() noexcept = default;
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& o) noexcept : value_(o.value_) { o.value_.release = nullptr; }
    Owned& operator=(Owned&& o) noexcept {
        if (this != &o) {
            reset();
            value_ = o.value_;
            o.value_.release = nullptr;
        }
        return *this;
    }
    ~Owned() { reset(); }

    // Takes over the struct at `from`, which is left released.
    static Owned take(T* from) noexcept {
        Owned o;
        o.value_ = *from;
        from->release = nullptr;
        return o;
    }
    void reset() noexcept {
        if (value_.release != nullptr) value_.release(&value_);
        value_.release = nullptr;
    }
    T* get() noexcept { return &value_; }
    const T* get() const noexcept { return &value_; }
    T* operator->() noexcept { return &value_; }
    const T* operator->() const noexcept { return &value_; }
    bool live() const noexcept { return value_.release != nullptr; }

private:
    T value_{};
};

using Schema = Owned<ArrowSchema>;
using Array = Owned<ArrowArray>;
using Stream = Owned<ArrowArrayStream>;

}  // namespace morvel::arrow
