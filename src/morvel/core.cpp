// The shared building blocks declared in core.hpp that are not inline: the statement template filler and
// the list and sequence helpers.
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

}  // namespace morvel
