// Records: the result of a native pass, a read-only buffer of packed bar
// records that owns them (std::vector<Record>).  Shared by the modules that
// make bars (_bucketing, _aggregating); each defines its type from
// `records_slots` under its own name and makes instances with `records_object`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <utility>
#include <vector>

#include "pyref.hpp"
#include "records.hpp"

namespace tarnwick::records_buffer {

using Record = _CandlestickBuffer;

struct RecordsObject {
    PyObject_HEAD
    std::vector<Record>* records;  // owned; never changes, so exports need no count
};

inline int records_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* object = reinterpret_cast<RecordsObject*>(self);
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "bar records made by a native pass are read-only");
        view->obj = nullptr;
        return -1;
    }
    static char empty = 0;  // a valid address for a buffer of no records
    auto size = static_cast<Py_ssize_t>(object->records->size() * sizeof(Record));
    void* data = object->records->empty() ? &empty : static_cast<void*>(object->records->data());
    return PyBuffer_FillInfo(view, self, data, size, 1, flags);
}

inline Py_ssize_t records_length(PyObject* self) {
    return static_cast<Py_ssize_t>(reinterpret_cast<RecordsObject*>(self)->records->size());
}

inline void records_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<RecordsObject*>(self)->records;
    type->tp_free(self);
    Py_DECREF(type);
}

// The slots of a Records type, with its docstring.
#define TARNWICK_RECORDS_SLOTS(doc)                                                                \
    {                                                                                              \
        {Py_tp_doc, const_cast<char*>(doc)},                                                       \
        {Py_tp_dealloc, reinterpret_cast<void*>(::tarnwick::records_buffer::records_dealloc)},     \
        {Py_bf_getbuffer, reinterpret_cast<void*>(::tarnwick::records_buffer::records_getbuffer)}, \
        {Py_sq_length, reinterpret_cast<void*>(::tarnwick::records_buffer::records_length)},       \
        {0, nullptr},                                                                              \
    }

inline constexpr unsigned kRecordsFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;

// Bars as a new object of the Records type `type`: a new reference, or null
// with an exception set.
inline OwnedRef records_object(PyObject* type_object, std::vector<Record>&& bars) {
    auto* type = reinterpret_cast<PyTypeObject*>(type_object);
    OwnedRef object = OwnedRef::steal(type->tp_alloc(type, 0));
    if (!object) {
        return {};
    }
    auto* out = reinterpret_cast<RecordsObject*>(object.get());
    out->records = new (std::nothrow) std::vector<Record>(std::move(bars));
    if (out->records == nullptr) {
        PyErr_NoMemory();
        return {};
    }
    return object;
}

}  // namespace tarnwick::records_buffer
