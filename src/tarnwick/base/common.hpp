// Small helpers that both extension modules use: importing an attribute,
// finding a name among interned names, and the checks every record operation
// starts with.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "market_data_abi.hpp"
#include "pyref.hpp"

namespace tarnwick {

// `from <module_name> import <attribute>`, the module found by absolute name.
inline OwnedRef import_attribute(const char* module_name, const char* attribute) {
    OwnedRef module = OwnedRef::steal(PyImport_ImportModule(module_name));
    return module ? OwnedRef::steal(PyObject_GetAttrString(module.get(), attribute)) : OwnedRef();
}

// ---- names --------------------------------------------------------------------

// What `find_name` returns when the key is none of the names.
inline constexpr Py_ssize_t kNoSuchName = -1;  // a str, naming none of them
inline constexpr Py_ssize_t kNotAString = -2;  // not a str at all

// Index of `key` among `count` interned names, `name_at(i)` giving each:
// by identity first, the usual hit, since keyword names and names written in
// code are interned; by value only after that, for str keys, compared
// without running any code of theirs.
template <class NameAt>
Py_ssize_t find_name(PyObject* key, Py_ssize_t count, NameAt name_at) {
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (name_at(i) == key) {
            return i;
        }
    }
    if (!PyUnicode_Check(key)) {
        return kNotAString;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyUnicode_Compare(name_at(i), key) == 0) {
            return i;
        }
    }
    return kNoSuchName;
}

// Whether two keys name the same thing: the same object, or equal strings.
inline bool same_name(PyObject* a, PyObject* b) {
    return a == b || (PyUnicode_Check(a) && PyUnicode_Check(b) && PyUnicode_Compare(a, b) == 0);
}

// ---- records ------------------------------------------------------------------

inline constexpr char kDataNotInitialized[] = "Data not initialized";

// The record of a market-data object, or null with ValueError "Data not
// initialized".
inline _MarketDataBuffer* record_of(const MarketDataObject* self) {
    if (self->_data == nullptr) {
        PyErr_SetString(PyExc_ValueError, kDataNotInitialized);
    }
    return self->_data;
}

// MemoryError "Can not initialize a view of <class name>.": no initialiser
// writes into memory the object does not own.  Returns -1.
inline int refuse_view_initialisation(PyObject* self) {
    OwnedRef class_name = OwnedRef::steal(PyType_GetName(Py_TYPE(self)));
    if (class_name) {
        PyErr_Format(PyExc_MemoryError, "Can not initialize a view of %U.", class_name.get());
    }
    return -1;
}

}  // namespace tarnwick
