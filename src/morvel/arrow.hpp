// Arrow's C Data and C Stream interfaces: the structs as their ABI lays them out, owned by RAII holders
// that call each struct's own release callback, and the capsules of the PyCapsule interface
// (`__arrow_c_stream__`, `__arrow_c_array__`, `__arrow_c_schema__`) that carry them between libraries.
#pragma once

#include <cstdint>
#include <utility>

#include <memory>
#include <string>
#include <vector>

#include "connection.hpp"
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

// ---------------------------------------------------------------------------------------------------
// Reading Arrow data in place (arrow.cpp)

// The values of one column, read from the buffers of each batch's array as SQLite values: integers of
// every width (unsigned ones beyond 2^63 - 1 refused), floats (NaN as NULL), booleans as 1 and 0, text
// and binary of every layout, decimals as their exact text, dates, times and timestamps as ISO-8601 text,
// dictionary-encoded columns as their values. A type it cannot store so is refused, naming the column,
// before any value is read.
class Column {
public:
    Column(const ArrowSchema& schema, PyObject* name);
    Column(const Column&) = delete;
    Column& operator=(const Column&) = delete;
    ~Column();

    // The column's array for the next batch; `base` is the batch's own offset and `first` the place of the
    // batch's first row in the whole source (for messages). `array` must outlive the batch's reads.
    void start(const ArrowArray& array, int64_t base, int64_t first);
    // The value of the batch's `row`: text and blobs point into the array's buffers, or into this column's
    // room `slot` (below `slots`, given first) until the next call with that slot: the values of one
    // statement's rows stay valid together.
    void reserve(size_t slots);
    db::Value value(int64_t row, size_t slot = 0);

    enum class Type : unsigned char;
    struct Zone;

private:
    db::Value at(int64_t i, size_t slot);
    db::Value text(const char* p, int64_t n, int64_t i);
    [[noreturn]] void refuse_value(int64_t i, const char* why);

    Ref name_;
    Type type_;
    int unit_ = 0;     // times and timestamps: 0 s, 1 ms, 2 us, 3 ns
    int width_ = 0;    // fixed-size binary: bytes; decimals: bits
    int scale_ = 0;    // decimals
    std::unique_ptr<Zone> zone_;  // timestamps with a time zone
    std::unique_ptr<Column> dictionary_;  // dictionary-encoded: the values; this column reads the indexes
    const ArrowArray* array_ = nullptr;
    int64_t base_ = 0, first_ = 0;
    std::vector<std::string> rooms_ = std::vector<std::string>(1);
};

// A source of record batches: an object's `__arrow_c_stream__()`, or its `__arrow_c_array__()` (one batch).
// The schema is read, and every column's type checked, when it is made.
class Reader {
public:
    // Whether `data` exposes either method.
    static bool exposes(PyObject* data);
    explicit Reader(PyObject* data);
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    ~Reader();

    size_t width() const noexcept { return columns_.size(); }
    PyObject* name(size_t i) const noexcept { return names_[i].get(); }
    Column& column(size_t i) noexcept { return *columns_[i]; }
    // Moves to the next batch; false once there is none. rows(): its length.
    bool next();
    int64_t rows() const noexcept { return batch_->length; }
    // Whether the batch's `row` is itself null (every value of it is then NULL).
    bool null_row(int64_t row) const noexcept;

private:
    Stream stream_;  // not live for a single batch
    Schema schema_;
    Array batch_;
    bool single_ = false;  // the one batch of __arrow_c_array__, not yet read
    int64_t first_ = 0;    // rows in the batches before this one
    std::vector<Ref> names_;
    std::vector<std::unique_ptr<Column>> columns_;
};

}  // namespace morvel::arrow
