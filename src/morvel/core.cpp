// The shared building blocks declared in core.hpp that are not inline: the statement template filler and
// the list and sequence helpers.
#include <cstring>

#include "core.hpp"

namespace morvel {

Ref sql(std::string_view tmpl, std::initializer_list<PyObject*> texts) {
    TextBuilder b;
    PyObject* const* next = texts.begin();
    for (;;) {
        size_t hole = tmpl.find("{}");
        if (hole == std::string_view::npos) break;
        b.ascii(tmpl.substr(0, hole)).text(*next++);
        tmpl.remove_prefix(hole + 2);
    }
    b.ascii(tmpl);
    return b.finish();
}

Ref list_of(std::initializer_list<PyObject*> items) {
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* v : items) PyList_SET_ITEM(list.get(), i++, Ref::borrow(v).release());
    return list;
}

Ref new_list(PyObject* values) {
    if (!PyList_CheckExact(values) && !PyTuple_CheckExact(values)) return own(PySequence_List(values));
    const Py_ssize_t n = Py_SIZE(values);
    Ref list = own(PyList_New(n));
    // The allocation may run the garbage collector, and a finalizer may resize a list row: its items
    // are read only after it, with nothing in between that could run Python code.
    if (Py_SIZE(values) != n) return own(PySequence_List(values));
    PyObject* const* items = PySequence_Fast_ITEMS(values);
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), i, Ref::borrow(items[i]).release());
    return list;
}

Ref item_at(PyObject* seq, Py_ssize_t i) {
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        const Py_ssize_t n = Py_SIZE(seq);
        const Py_ssize_t j = i < 0 ? i + n : i;
        if (j < 0 || j >= n) {
            raise(PyExc_IndexError,
                  PyList_CheckExact(seq) ? "list index out of range" : "tuple index out of range");
        }
        return Ref::borrow(PyList_CheckExact(seq) ? PyList_GET_ITEM(seq, j) : PyTuple_GET_ITEM(seq, j));
    }
    Ref key = own(PyLong_FromSsize_t(i));
    return own(PyObject_GetItem(seq, key.get()));
}

// Whether text[0, size) is UTF-8 as Python's strict decoder takes it: no overlong form, no surrogate, nothing
// beyond U+10FFFF.
bool valid_utf8(const char* text, size_t size) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    for (size_t i = 0; i < size;) {
        if (i + 8 <= size) {  // ASCII eight bytes at a time
            unsigned long long word = 0;
            std::memcpy(&word, s + i, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        const unsigned c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len = 0;
        unsigned low = 0x80, high = 0xBF;  // the second byte's range
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (i + len > size || s[i + 1] < low || s[i + 1] > high) return false;
        for (size_t k = 2; k < len; ++k)
            if ((s[i + k] & 0xC0) != 0x80) return false;
        i += len;
    }
    return true;
}

}  // namespace morvel
