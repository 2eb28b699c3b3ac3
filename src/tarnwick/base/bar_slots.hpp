// The files of `BarData` and what they share with each other: the slot
// functions and tables that each file defines and bar_type.cpp puts into the
// class.
//
//   bar_data.cpp   construction, fields, item access, text form
//   bar_bytes.cpp  byte forms: views and their pins, the buffer export,
//                  from_bytes, copying
//   bar_type.cpp   the class itself: its set-up, method table, slot
//                  docstrings and the refusal of pickling
#pragma once

#include "bar_data.hpp"
#include "candlestick_state.hpp"
#include "common.hpp"

namespace tarnwick {

// A bar as the base class's object, which every `BarData` is.
inline MarketDataObject* as_market_data(PyObject* op) { return reinterpret_cast<MarketDataObject*>(op); }

// The record of a bar, or null with ValueError "Data not initialized".
inline _MarketDataBuffer* record_of(PyObject* op) { return record_of(as_market_data(op)); }

// ---- bar_data.cpp ----
int import_datetime_api();  // before any member runs
PyObject* bar_new(PyTypeObject* type, PyObject* args, PyObject* kwds);
int bar_init(PyObject* op, PyObject* args, PyObject* kwds);
PyObject* bar_class_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames);
PyObject* bar_repr(PyObject* op);
extern PyGetSetDef bar_getset[];
extern PyMappingMethods bar_as_mapping;
extern PySequenceMethods bar_as_sequence;

// ---- bar_bytes.cpp ----
int ready_buffer_pin_type();
// Whether item assignment may write into a view bar's memory.
bool view_is_writable(const MarketDataObject* self);
PyObject* bar_from_buffer(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* bar_from_bytes(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* bar_copy(PyObject* op, PyObject* unused);
PyObject* bar_pin(PyObject* cls, PyObject* exporter);
PyObject* bar_from_pin(PyObject* cls, PyObject* const* args, Py_ssize_t nargs);
PyObject* bar_to_bytes(MarketDataObject* self);
extern PyBufferProcs bar_as_buffer;

}  // namespace tarnwick
