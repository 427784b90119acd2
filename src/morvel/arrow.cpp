// Arrow data read in place: the record batches of an Arrow C stream (or one C array), each column's
// values taken straight from its buffers as SQLite values, without a Python object per value.
#include "arrow.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

namespace morvel::arrow {

enum class Column::Type : unsigned char {
    Null, Bool, Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64, Half, Float, Double,
    Utf8, LargeUtf8, Utf8View, Binary, LargeBinary, BinaryView, FixedBinary, Decimal,
    Date32, Date64, Time32, Time64, Timestamp,
};

// A timestamp's time zone: a fixed offset (UTC included), or a named zone whose offset at each instant
// Python's zoneinfo tells.
struct Column::Zone {
    bool named = false;
    int offset = 0;  // seconds east of UTC, for a fixed offset
    Ref zone;        // zoneinfo.ZoneInfo(name)
    Ref fromtimestamp, utcoffset_name, seconds_name;
};

namespace {

using Type = Column::Type;

// How many buffers an array of each type has at least (validity first).
int64_t buffers_of(Type t) {
    switch (t) {
        case Type::Null: return 0;
        case Type::Utf8: case Type::LargeUtf8: case Type::Binary: case Type::LargeBinary: return 3;
        case Type::Utf8View: case Type::BinaryView: return 3;  // validity, views, variadic sizes (maybe no data)
        default: return 2;
    }
}

// What a refused format is, for its message.
const char* kind_of_format(std::string_view f) {
    if (f.starts_with("+")) return "nested values (lists, structs, maps, unions, run-end encoded): not stored";
    if (f.starts_with("tD")) return "a duration: not stored (cast it to an integer of its unit first)";
    if (f.starts_with("ti")) return "an interval: not stored";
    return "a type that is not stored";
}

bool parse_int(std::string_view s, int& out) {
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc{} && end == s.data() + s.size();
}

int unit_of(char c) {
    switch (c) {
        case 's': return 0;
        case 'm': return 1;
        case 'u': return 2;
        case 'n': return 3;
        default: return -1;
    }
}

constexpr int64_t kPerSecond[] = {1, 1000, 1000000, 1000000000};

// Days since 1970-01-01 as a civil date, for any day in range (proleptic Gregorian).
void civil(int64_t days, int64_t& y, unsigned& m, unsigned& d) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2) ++y;
}

void digits(std::string& out, uint64_t v, int width) {
    char buf[24];
    int n = 0;
    do {
        buf[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (int i = n; i < width; ++i) out.push_back('0');
    while (n > 0) out.push_back(buf[--n]);
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

void write_date(std::string& out, int64_t days) {
    int64_t y;
    unsigned m, d;
    civil(days, y, m, d);
    if (y < 0) out.push_back('-');
    digits(out, static_cast<uint64_t>(y < 0 ? -y : y), 4);
    out.push_back('-');
    digits(out, m, 2);
    out.push_back('-');
    digits(out, d, 2);
}

// HH:MM:SS, then the fraction with the unit's digits.
void write_time(std::string& out, int64_t seconds_of_day, int64_t fraction, int unit) {
    digits(out, static_cast<uint64_t>(seconds_of_day / 3600), 2);
    out.push_back(':');
    digits(out, static_cast<uint64_t>(seconds_of_day / 60 % 60), 2);
    out.push_back(':');
    digits(out, static_cast<uint64_t>(seconds_of_day % 60), 2);
    if (unit > 0) {
        out.push_back('.');
        digits(out, static_cast<uint64_t>(fraction), 3 * unit);
    }
}

void write_offset(std::string& out, int offset) {
    out.push_back(offset < 0 ? '-' : '+');
    const int a = offset < 0 ? -offset : offset;
    digits(out, static_cast<uint64_t>(a / 3600), 2);
    out.push_back(':');
    digits(out, static_cast<uint64_t>(a / 60 % 60), 2);
    if (a % 60 != 0) {
        out.push_back(':');
        digits(out, static_cast<uint64_t>(a % 60), 2);
    }
}

// A decimal's two's-complement little-endian integer of `bits`, written with `scale` digits after the point.
void write_decimal(std::string& out, const unsigned char* p, int bits, int scale) {
    const int bytes = bits / 8;
    uint32_t limbs[8] = {0};  // little-endian 32-bit limbs of the magnitude
    const bool negative = (p[bytes - 1] & 0x80) != 0;
    for (int i = 0; i < bytes; ++i) limbs[i / 4] |= static_cast<uint32_t>(p[i]) << (8 * (i % 4));
    const int n = bytes / 4;
    if (negative) {  // the magnitude of a two's-complement value: invert and add one
        uint64_t carry = 1;
        for (int i = 0; i < n; ++i) {
            const uint64_t v = static_cast<uint64_t>(static_cast<uint32_t>(~limbs[i])) + carry;
            limbs[i] = static_cast<uint32_t>(v);
            carry = v >> 32;
        }
    }
    std::string ds;  // decimal digits, least significant first
    for (;;) {
        bool zero = true;
        uint64_t rem = 0;
        for (int i = n - 1; i >= 0; --i) {
            const uint64_t cur = (rem << 32) | limbs[i];
            limbs[i] = static_cast<uint32_t>(cur / 1000000000u);
            rem = cur % 1000000000u;
            if (limbs[i] != 0) zero = false;
        }
        for (int k = 0; k < 9; ++k) {
            ds.push_back(static_cast<char>('0' + rem % 10));
            rem /= 10;
        }
        if (zero) break;
    }
    while (ds.size() > 1 && ds.back() == '0') ds.pop_back();
    if (scale > 0)
        while (static_cast<int>(ds.size()) <= scale) ds.push_back('0');
    if (negative && !(ds.size() == 1 && ds[0] == '0')) out.push_back('-');
    for (size_t i = ds.size(); i-- > 0;) {
        out.push_back(ds[i]);
        if (scale > 0 && static_cast<int>(i) == scale) out.push_back('.');
    }
    for (int i = 0; i < -scale; ++i) out.push_back('0');
}

double half_to_double(uint16_t h) {
    const int exp = (h >> 10) & 0x1f;
    const int mant = h & 0x3ff;
    double v;
    if (exp == 0) v = std::ldexp(mant, -24);
    else if (exp == 31) v = mant != 0 ? std::nan("") : HUGE_VAL;
    else v = std::ldexp(mant | 0x400, exp - 25);
    return (h & 0x8000) != 0 ? -v : v;
}

template <class T>
T load_at(const void* buffer, int64_t i) {
    T v;
    std::memcpy(&v, static_cast<const char*>(buffer) + i * static_cast<int64_t>(sizeof(T)), sizeof v);
    return v;
}

bool bit(const void* bitmap, int64_t i) {
    return (static_cast<const unsigned char*>(bitmap)[i >> 3] >> (i & 7)) & 1;
}

}  // namespace

Column::Column(const ArrowSchema& schema, PyObject* name) : name_(Ref::borrow(name)) {
    const std::string_view f = schema.format != nullptr ? schema.format : "";
    auto refuse = [&](const char* why) -> void {
        raise(PyExc_ValueError, "column %R is of Arrow format '%s', %s", name, schema.format, why);
    };
    static constexpr std::pair<std::string_view, Type> kPlain[] = {
        {"n", Type::Null}, {"b", Type::Bool}, {"c", Type::Int8}, {"C", Type::UInt8}, {"s", Type::Int16},
        {"S", Type::UInt16}, {"i", Type::Int32}, {"I", Type::UInt32}, {"l", Type::Int64}, {"L", Type::UInt64},
        {"e", Type::Half}, {"f", Type::Float}, {"g", Type::Double}, {"u", Type::Utf8}, {"U", Type::LargeUtf8},
        {"vu", Type::Utf8View}, {"z", Type::Binary}, {"Z", Type::LargeBinary}, {"vz", Type::BinaryView},
        {"tdD", Type::Date32}, {"tdm", Type::Date64},
    };
    bool known = false;
    for (const auto& [text, type] : kPlain)
        if (f == text) {
            type_ = type;
            known = true;
        }
    if (!known && f.starts_with("w:")) {
        type_ = Type::FixedBinary;
        known = parse_int(f.substr(2), width_) && width_ >= 0;
    } else if (!known && f.starts_with("d:")) {
        // d:precision,scale[,bits]
        type_ = Type::Decimal;
        const std::string_view rest = f.substr(2);
        const size_t c1 = rest.find(',');
        const size_t c2 = c1 == std::string_view::npos ? c1 : rest.find(',', c1 + 1);
        int precision = 0;
        width_ = 128;
        known = c1 != std::string_view::npos && parse_int(rest.substr(0, c1), precision) &&
                parse_int(rest.substr(c1 + 1, c2 == std::string_view::npos ? c2 : c2 - c1 - 1), scale_) &&
                (c2 == std::string_view::npos || parse_int(rest.substr(c2 + 1), width_)) &&
                (width_ == 32 || width_ == 64 || width_ == 128 || width_ == 256);
    } else if (!known && f.size() == 3 && f.starts_with("tt") && unit_of(f[2]) >= 0) {
        unit_ = unit_of(f[2]);
        type_ = unit_ <= 1 ? Type::Time32 : Type::Time64;
        known = true;
    } else if (!known && f.size() >= 4 && f.starts_with("ts") && unit_of(f[2]) >= 0 && f[3] == ':') {
        type_ = Type::Timestamp;
        unit_ = unit_of(f[2]);
        known = true;
        const std::string_view tz = f.substr(4);
        if (!tz.empty()) {
            zone_ = std::make_unique<Zone>();
            int sign = 0, hh = 0, mm = 0;
            if (tz == "UTC" || tz == "Etc/UTC" || tz == "Z" || tz == "GMT" || tz == "Etc/GMT") {
                zone_->offset = 0;
            } else if (tz.size() == 6 && (tz[0] == '+' || tz[0] == '-') && tz[3] == ':' &&
                       parse_int(tz.substr(1, 2), hh) && parse_int(tz.substr(4, 2), mm)) {
                sign = tz[0] == '-' ? -1 : 1;
                zone_->offset = sign * (hh * 3600 + mm * 60);
            } else {
                zone_->named = true;
                Ref zoneinfo = own(PyImport_ImportModule("zoneinfo"));
                Ref zone_type = own(PyObject_GetAttrString(zoneinfo.get(), "ZoneInfo"));
                Ref key = own(PyUnicode_FromStringAndSize(tz.data(), static_cast<Py_ssize_t>(tz.size())));
                PyObject* z = PyObject_CallOneArg(zone_type.get(), key.get());
                if (z == nullptr) {
                    PyErr_Clear();
                    refuse("a timestamp in a time zone this interpreter's zoneinfo does not know");
                }
                zone_->zone = Ref::steal(z);
                Ref datetime = own(PyImport_ImportModule("datetime"));
                Ref dt = own(PyObject_GetAttrString(datetime.get(), "datetime"));
                zone_->fromtimestamp = own(PyObject_GetAttrString(dt.get(), "fromtimestamp"));
                zone_->utcoffset_name = own(PyUnicode_InternFromString("utcoffset"));
                zone_->seconds_name = own(PyUnicode_InternFromString("total_seconds"));
            }
        }
    }
    if (!known) refuse(kind_of_format(f));
    if (schema.dictionary != nullptr) {
        if (type_ > Type::UInt64 || type_ == Type::Null || type_ == Type::Bool)
            refuse("dictionary-encoded with indexes that are not integers");
        dictionary_ = std::make_unique<Column>(*schema.dictionary, name);
    }
}

Column::~Column() = default;

void Column::start(const ArrowArray& array, int64_t base, int64_t first) {
    if (array.n_buffers < buffers_of(type_) || (array.length > 0 && array.n_buffers > 1 && array.buffers[1] == nullptr &&
                                                  type_ != Type::Null && type_ != Type::Utf8View &&
                                                  type_ != Type::BinaryView))
        raise(PyExc_ValueError, "column %R: its Arrow array has %lld buffers, too few for its type", name_.get(),
              static_cast<long long>(array.n_buffers));
    array_ = &array;
    base_ = base;
    first_ = first;
    if (dictionary_) {
        if (array.dictionary == nullptr)
            raise(PyExc_ValueError, "column %R: a dictionary-encoded Arrow array without its dictionary", name_.get());
        dictionary_->start(*array.dictionary, 0, 0);
    }
}

void Column::refuse_value(int64_t i, const char* why) {
    raise(PyExc_ValueError, "column %R, row %lld: %s", name_.get(), static_cast<long long>(first_ + i - base_), why);
}

db::Value Column::text(const char* p, int64_t n, int64_t row) {
    if (n < 0) refuse_value(row, "a negative length in the Arrow array");
    if (!valid_utf8(p, static_cast<size_t>(n)))
        refuse_value(row, "the text is not valid UTF-8");
    db::Value v;
    v.kind = db::Value::Kind::Text;
    v.p = p;
    v.n = static_cast<size_t>(n);
    return v;
}

void Column::reserve(size_t slots) {
    if (rooms_.size() < slots) rooms_.resize(slots);
    if (dictionary_) dictionary_->reserve(slots);
}

db::Value Column::value(int64_t row, size_t slot) { return at(base_ + row, slot); }

db::Value Column::at(int64_t row, size_t slot) {
    const ArrowArray& a = *array_;
    const int64_t i = a.offset + row;  // the place in the buffers
    db::Value v;
    if (type_ == Type::Null) return v;
    if (a.null_count != 0 && a.buffers[0] != nullptr && !bit(a.buffers[0], i)) return v;
    const void* data = a.buffers[1];
    auto integer = [&](long long x) {
        v.kind = db::Value::Kind::Int;
        v.i = x;
        return v;
    };
    auto real = [&](double x) {
        if (std::isnan(x)) return v;
        v.kind = db::Value::Kind::Real;
        v.d = x;
        return v;
    };
    auto blob = [&](const char* p, int64_t n) {
        if (n < 0) refuse_value(row, "a negative length in the Arrow array");
        v.kind = db::Value::Kind::Blob;
        v.p = p;
        v.n = static_cast<size_t>(n);
        return v;
    };
    std::string& room = rooms_[slot];
    auto formatted = [&] {
        v.kind = db::Value::Kind::Text;
        v.p = room.data();
        v.n = room.size();
        return v;
    };
    if (dictionary_) {
        long long index = 0;
        switch (type_) {
            case Type::Int8: index = load_at<int8_t>(data, i); break;
            case Type::UInt8: index = load_at<uint8_t>(data, i); break;
            case Type::Int16: index = load_at<int16_t>(data, i); break;
            case Type::UInt16: index = load_at<uint16_t>(data, i); break;
            case Type::Int32: index = load_at<int32_t>(data, i); break;
            case Type::UInt32: index = load_at<uint32_t>(data, i); break;
            case Type::Int64: index = load_at<int64_t>(data, i); break;
            default: index = static_cast<long long>(load_at<uint64_t>(data, i) & INT64_MAX); break;
        }
        if (index < 0 || index >= dictionary_->array_->length) refuse_value(row, "a dictionary index out of range");
        return dictionary_->at(index, slot);
    }
    switch (type_) {
        case Type::Bool: return integer(bit(data, i) ? 1 : 0);
        case Type::Int8: return integer(load_at<int8_t>(data, i));
        case Type::UInt8: return integer(load_at<uint8_t>(data, i));
        case Type::Int16: return integer(load_at<int16_t>(data, i));
        case Type::UInt16: return integer(load_at<uint16_t>(data, i));
        case Type::Int32: return integer(load_at<int32_t>(data, i));
        case Type::UInt32: return integer(load_at<uint32_t>(data, i));
        case Type::Int64: return integer(load_at<int64_t>(data, i));
        case Type::UInt64: {
            const uint64_t x = load_at<uint64_t>(data, i);
            if (x > static_cast<uint64_t>(INT64_MAX)) refuse_value(row, "an unsigned integer beyond 2**63 - 1, which SQLite's integers cannot hold");
            return integer(static_cast<long long>(x));
        }
        case Type::Half: return real(half_to_double(load_at<uint16_t>(data, i)));
        case Type::Float: return real(load_at<float>(data, i));
        case Type::Double: return real(load_at<double>(data, i));
        case Type::Utf8: case Type::Binary: {
            const int32_t lo = load_at<int32_t>(data, i), hi = load_at<int32_t>(data, i + 1);
            const char* p = static_cast<const char*>(a.buffers[2]) + lo;
            return type_ == Type::Utf8 ? text(p, int64_t{hi} - lo, row) : blob(p, int64_t{hi} - lo);
        }
        case Type::LargeUtf8: case Type::LargeBinary: {
            const int64_t lo = load_at<int64_t>(data, i), hi = load_at<int64_t>(data, i + 1);
            const char* p = static_cast<const char*>(a.buffers[2]) + lo;
            return type_ == Type::LargeUtf8 ? text(p, hi - lo, row) : blob(p, hi - lo);
        }
        case Type::Utf8View: case Type::BinaryView: {
            // 16 bytes a view: the length, then the bytes themselves up to 12, or a prefix, a buffer and an offset
            const char* view = static_cast<const char*>(data) + 16 * i;
            int32_t n, buffer, offset;
            std::memcpy(&n, view, 4);
            const char* p = view + 4;
            if (n > 12) {
                std::memcpy(&buffer, view + 8, 4);
                std::memcpy(&offset, view + 12, 4);
                if (buffer < 0 || buffer >= a.n_buffers - 3 || offset < 0)
                    refuse_value(row, "a view into a buffer the Arrow array does not have");
                p = static_cast<const char*>(a.buffers[2 + buffer]) + offset;
            }
            return type_ == Type::Utf8View ? text(p, n, row) : blob(p, n);
        }
        case Type::FixedBinary: return blob(static_cast<const char*>(data) + int64_t{width_} * i, width_);
        case Type::Decimal:
            room.clear();
            write_decimal(room, static_cast<const unsigned char*>(data) + int64_t{width_ / 8} * i, width_, scale_);
            return formatted();
        case Type::Date32:
            room.clear();
            write_date(room, load_at<int32_t>(data, i));
            return formatted();
        case Type::Date64:
            room.clear();
            write_date(room, floor_div(load_at<int64_t>(data, i), 86400000));
            return formatted();
        case Type::Time32: case Type::Time64: {
            const int64_t t = type_ == Type::Time32 ? load_at<int32_t>(data, i) : load_at<int64_t>(data, i);
            const int64_t per = kPerSecond[unit_];
            if (t < 0 || t >= 86400 * per) refuse_value(row, "a time of day outside 00:00:00 to 24:00:00");
            room.clear();
            write_time(room, t / per, t % per, unit_);
            return formatted();
        }
        case Type::Timestamp: {
            const int64_t t = load_at<int64_t>(data, i);
            const int64_t per = kPerSecond[unit_];
            int64_t seconds = floor_div(t, per);
            const int64_t fraction = t - seconds * per;
            int offset = 0;
            if (zone_ && zone_->named) {
                // the zone's offset at this instant, as zoneinfo tells it
                Ref instant = own(PyLong_FromLongLong(seconds));
                Ref local = call(zone_->fromtimestamp.get(), {instant.get(), zone_->zone.get()});
                Ref delta = call_method(local.get(), zone_->utcoffset_name.get(), {});
                Ref total = call_method(delta.get(), zone_->seconds_name.get(), {});
                offset = static_cast<int>(PyFloat_AsDouble(total.get()));
                if (PyErr_Occurred()) throw PyError{};
            } else if (zone_) {
                offset = zone_->offset;
            }
            seconds += offset;
            room.clear();
            write_date(room, floor_div(seconds, 86400));
            room.push_back(' ');
            write_time(room, seconds - floor_div(seconds, 86400) * 86400, fraction, unit_);
            if (zone_) write_offset(room, offset);
            return formatted();
        }
        default: return v;
    }
}

// ---------------------------------------------------------------------------------------------------

namespace {

// The struct a capsule of the interface holds, checked by its name.
template <class T>
T* capsule_struct(PyObject* capsule, const char* name) {
    void* p = PyCapsule_GetPointer(capsule, name);
    if (p == nullptr) throw PyError{};
    return static_cast<T*>(p);
}

PyObject* stream_method() { return names->arrow_c_stream.get(); }

}  // namespace

bool Reader::exposes(PyObject* data) {
    for (PyObject* name : {names->arrow_c_stream.get(), names->arrow_c_array.get()}) {
        PyObject* found = nullptr;
        if (compat::get_optional_attr(data, name, &found) < 0) throw PyError{};
        if (Ref::steal(found)) return true;
    }
    return false;
}

Reader::Reader(PyObject* data) {
    PyObject* found = nullptr;
    if (compat::get_optional_attr(data, stream_method(), &found) < 0) throw PyError{};
    if (Ref method = Ref::steal(found)) {
        Ref capsule = call(method.get(), {});
        stream_ = Stream::take(capsule_struct<ArrowArrayStream>(capsule.get(), kStreamCapsule));
        if (!stream_.live()) raise(PyExc_ValueError, "the Arrow stream was released already");
        if (stream_->get_schema(stream_.get(), schema_.get()) != 0) {
            const char* why = stream_->get_last_error(stream_.get());
            raise(PyExc_ValueError, "the Arrow stream gave no schema: %s", why != nullptr ? why : "no reason given");
        }
    } else {
        Ref pair = call_method(data, names->arrow_c_array.get(), {});
        if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2)
            raise(PyExc_TypeError, "__arrow_c_array__() must return a (schema, array) pair of capsules");
        schema_ = Schema::take(capsule_struct<ArrowSchema>(PyTuple_GET_ITEM(pair.get(), 0), kSchemaCapsule));
        batch_ = Array::take(capsule_struct<ArrowArray>(PyTuple_GET_ITEM(pair.get(), 1), kArrayCapsule));
        single_ = true;
    }
    if (!schema_.live() || schema_->format == nullptr || std::string_view(schema_->format) != "+s")
        raise(PyExc_ValueError, "the Arrow data is not a table of named columns (its format is '%s', not a struct)",
              schema_.live() && schema_->format != nullptr ? schema_->format : "");
    for (int64_t i = 0; i < schema_->n_children; ++i) {
        const ArrowSchema& child = *schema_->children[i];
        const char* n = child.name != nullptr ? child.name : "";
        names_.push_back(own(PyUnicode_DecodeUTF8(n, static_cast<Py_ssize_t>(std::strlen(n)), "strict")));
        columns_.push_back(std::make_unique<Column>(child, names_.back().get()));
    }
}

Reader::~Reader() = default;

bool Reader::next() {
    if (single_) {
        single_ = false;  // the one batch is already here
    } else {
        if (batch_.live()) first_ += batch_->length;
        batch_.reset();
        if (!stream_.live()) return false;
        if (stream_->get_next(stream_.get(), batch_.get()) != 0) {
            if (PyErr_Occurred()) throw PyError{};
            const char* why = stream_->get_last_error(stream_.get());
            raise(PyExc_ValueError, "the Arrow stream failed: %s", why != nullptr ? why : "no reason given");
        }
        if (!batch_.live()) return false;  // the end of the stream
    }
    if (batch_->n_children != static_cast<int64_t>(columns_.size()))
        raise(PyExc_ValueError, "an Arrow batch has %lld columns, its schema %zu",
              static_cast<long long>(batch_->n_children), columns_.size());
    for (size_t i = 0; i < columns_.size(); ++i) {
        const ArrowArray& child = *batch_->children[i];
        if (child.length < batch_->offset + batch_->length)
            raise(PyExc_ValueError, "column %R: its Arrow array is shorter than its batch", names_[i].get());
        columns_[i]->start(child, batch_->offset, first_);
    }
    return true;
}

bool Reader::null_row(int64_t row) const noexcept {
    const ArrowArray& b = *batch_.get();
    return b.null_count != 0 && b.n_buffers > 0 && b.buffers[0] != nullptr && !bit(b.buffers[0], b.offset + row);
}

}  // namespace morvel::arrow
