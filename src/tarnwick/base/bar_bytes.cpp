// The byte forms of `BarData`: views over someone else's memory and the pins
// that keep it alive, the export of a bar's record through the buffer
// protocol, `from_bytes`, and copying.
#include <cstring>
#include <utility>

#include "arguments.hpp"
#include "bar_slots.hpp"
#include "conversions.hpp"
#include "pyref.hpp"
#include "static_type.hpp"

namespace tarnwick {
namespace {

// ---- views and their pins ----------------------------------------------------

// Keeps the buffer that a view bar reads: the exporter stays alive and its
// memory pinned (a bytearray cannot be resized under it) until the bar dies.
// It is kept in the base class's store of extra attributes under a key that
// is not a string, so no attribute access can reach or remove it, and the
// base class's clear slot keeps such entries.
//
// The pin is invisible to the cycle collector on purpose (no traverse, not
// tracked): were the exporter visited, the collector could count it as
// garbage and clear it (a memoryview's managed buffer releases its exporter
// when cleared) while our export is still out, and the bar would read freed
// memory.  Unseen, the exporter counts as referenced from outside for as
// long as the pin lives.  The price: a cycle that runs through the exporter
// back to the bar is never collected.
struct BufferPin {
    PyObject_HEAD
    Py_buffer view;
};

void buffer_pin_dealloc(PyObject* op) {
    PyBuffer_Release(&reinterpret_cast<BufferPin*>(op)->view);
    Py_TYPE(op)->tp_free(op);
}

PyTypeObject BufferPinType = empty_static_type();

}  // namespace

int ready_buffer_pin_type() {
    if (PyType_HasFeature(&BufferPinType, Py_TPFLAGS_READY)) {
        return 0;
    }
    BufferPinType.tp_name = "tarnwick.base.candlestick._BufferPin";
    BufferPinType.tp_basicsize = sizeof(BufferPin);
    BufferPinType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    BufferPinType.tp_dealloc = buffer_pin_dealloc;
    return PyType_Ready(&BufferPinType);
}

namespace {

PyObject* pin_key() { return reinterpret_cast<PyObject*>(&BufferPinType); }

// Takes a buffer view of `exporter` (strides and format, writability not
// required); the pin releases it when it dies.
OwnedRef acquire_pin(PyObject* exporter) {
    // Allocated zeroed: a view that was never filled has nothing to release.
    OwnedRef pin = OwnedRef::steal(PyType_GenericAlloc(&BufferPinType, 0));
    if (!pin || PyObject_GetBuffer(exporter, &reinterpret_cast<BufferPin*>(pin.get())->view, PyBUF_RECORDS_RO) < 0) {
        return {};
    }
    return pin;
}

const Py_buffer& pinned_view(const OwnedRef& pin) { return reinterpret_cast<BufferPin*>(pin.get())->view; }

}  // namespace

bool view_is_writable(const MarketDataObject* self) {
    BorrowedRef pin = find_additional(self, pin_key());
    return pin && Py_IS_TYPE(pin.get(), &BufferPinType) && !reinterpret_cast<BufferPin*>(pin.get())->view.readonly;
}

// ---- the buffer export and the byte forms ------------------------------------

namespace {

int bar_getbuffer(PyObject* op, Py_buffer* view, int flags) {
    _MarketDataBuffer* data = as_market_data(op)->_data;
    if (data == nullptr) {
        view->obj = nullptr;
        PyErr_SetString(PyExc_ValueError, "Cannot get buffer from uninitialized data");
        return -1;
    }
    return PyBuffer_FillInfo(view, op, data, static_cast<Py_ssize_t>(kBarRecordSize), 1, flags);
}

}  // namespace

PyBufferProcs bar_as_buffer = {bar_getbuffer, nullptr};

// The record as bytes, for native callers of the table.  The base's version
// sizes the copy by the class's `_dtype`, but a bar's record is one
// `_CandlestickBuffer` whatever kind its class names: reading more would run
// past the allocation (or past a view's buffer).
PyObject* bar_to_bytes(MarketDataObject* self) {
    const void* record = record_of(self);
    return record != nullptr ? PyBytes_FromStringAndSize(static_cast<const char*>(record),
                                                         static_cast<Py_ssize_t>(kBarRecordSize))
                             : nullptr;
}

namespace {

// cls.__new__(cls), which must give a BarData without a record.
OwnedRef allocate_instance(PyObject* cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    OwnedRef obj = OwnedRef::steal(type->tp_new(type, constants.empty_tuple, nullptr));
    if (!obj) {
        return {};
    }
    if (!PyObject_TypeCheck(obj.get(), &BarDataType)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(obj.get())->tp_name,
                     BarDataType.tp_name);
        return {};
    }
    // A __new__ that hands back a live bar must not have its record replaced
    // under whoever uses it.
    if (as_market_data(obj.get())->_data != nullptr) {
        PyErr_Format(PyExc_TypeError, "%N.__new__() returned a bar that already holds a record", type);
        return {};
    }
    return obj;
}

bool is_unsigned_byte_format(const char* format) {
    if (format == nullptr) {
        return true;  // no format means unsigned bytes
    }
    if (*format == '@' || *format == '=' || *format == '<' || *format == '>' || *format == '!') {
        ++format;  // byte order means nothing for one byte
    }
    return (format[0] == 'B' || format[0] == 'c' || format[0] == '?') && format[1] == '\0';
}

// The checks on a view's shape, in their order.
int validate_view(const Py_buffer& view) {
    if (view.ndim != 1) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", 1, view.ndim);
        return -1;
    }
    if (!is_unsigned_byte_format(view.format)) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected 'const unsigned char' but got '%s'",
                     view.format);
        return -1;
    }
    if (view.itemsize != 1) {
        PyErr_Format(PyExc_ValueError,
                     "Item size of buffer (%zd byte%s) does not match size of '%s' (%d byte)", view.itemsize,
                     view.itemsize == 1 ? "" : "s", "const unsigned char", 1);
        return -1;
    }
    if (view.suboffsets != nullptr) {
        if (view.strides == nullptr) {
            PyErr_SetString(PyExc_ValueError, "Buffer exposes suboffsets but no strides");
        } else {
            PyErr_Format(PyExc_ValueError, "Buffer not compatible with direct access in dimension %d.", 0);
        }
        return -1;
    }
    return 0;
}

// The checks on memory a bar may be laid over, in their order: the shape,
// then contiguity (a record is 101 contiguous bytes: never read across gaps
// between items).
int validate_contiguous_view(const Py_buffer& view) {
    if (validate_view(view) < 0) {
        return -1;
    }
    if (view.len > 0 && view.strides != nullptr && view.strides[0] != 1) {
        PyErr_SetString(PyExc_ValueError, "Buffer is not contiguous; a bar record needs contiguous bytes");
        return -1;
    }
    return 0;
}

// Lays the new view bar `obj` over `record`, kept alive by `pin`: the bar,
// or null with an exception set.
OwnedRef lay_view(OwnedRef obj, BorrowedRef pin, void* record) {
    MarketDataObject* self = as_market_data(obj.get());
    self->vtable->_set_additional(self, pin_key(), pin.get());
    if (PyErr_Occurred()) {
        return {};
    }
    self->_owner = 0;
    self->_data = static_cast<_MarketDataBuffer*>(record);
    return obj;
}

// The class methods' single parameters.
PyObject* const* const buffer_parameter[] = {&names.buffer};
PyObject* const* const data_parameter[] = {&names.data};
const Signature from_buffer_signature{"from_buffer", buffer_parameter, 1, 1};
const Signature from_bytes_signature{"from_bytes", data_parameter, 1, 1};

}  // namespace

PyObject* bar_from_buffer(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* buffer = nullptr;
    if (bind_vectorcall(from_buffer_signature, args, nargs, kwnames, &buffer, nullptr) < 0) {
        return nullptr;
    }
    OwnedRef pin;
    Py_ssize_t length = 0;
    if (buffer != Py_None) {
        pin = acquire_pin(buffer);
        if (!pin) {
            return nullptr;
        }
        const Py_buffer& view = pinned_view(pin);
        if (validate_view(view) < 0) {
            return nullptr;
        }
        length = view.len;
    }
    OwnedRef obj = allocate_instance(cls);
    if (!obj) {
        return nullptr;
    }
    if (length == 0) {
        PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0);
        return nullptr;
    }
    const Py_buffer& view = pinned_view(pin);
    // A record is 101 contiguous bytes from the first item: never read
    // beyond what the exporter provides, nor across gaps between items.
    if (length < static_cast<Py_ssize_t>(kBarRecordSize)) {
        PyErr_Format(PyExc_ValueError, "Buffer holds %zd bytes, a bar record needs %zu", length, kBarRecordSize);
        return nullptr;
    }
    if (view.strides != nullptr && view.strides[0] != 1) {
        PyErr_SetString(PyExc_ValueError, "Buffer is not contiguous; a bar record needs contiguous bytes");
        return nullptr;
    }
    return lay_view(std::move(obj), BorrowedRef(pin.get()), view.buf).release();
}

PyObject* bar_from_bytes(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* data = nullptr;
    if (bind_vectorcall(from_bytes_signature, args, nargs, kwnames, &data, nullptr) < 0) {
        return nullptr;
    }
    if (data != Py_None && !PyBytes_CheckExact(data)) {
        raise_argument_type("data", "bytes", data);
        return nullptr;
    }
    OwnedRef obj = allocate_instance(cls);
    if (!obj) {
        return nullptr;
    }
    if (data == Py_None) {
        PyErr_SetString(PyExc_TypeError, "expected bytes, NoneType found");
        return nullptr;
    }
    Py_ssize_t size = PyBytes_GET_SIZE(data);
    if (size < static_cast<Py_ssize_t>(kBarRecordSize)) {
        PyErr_Format(PyExc_ValueError, "Bytes hold %zd bytes, a bar record needs %zu", size, kBarRecordSize);
        return nullptr;
    }
    MarketDataObject* self = as_market_data(obj.get());
    self->_owner = 1;
    auto* record = static_cast<_MarketDataBuffer*>(PyMem_Malloc(kBarRecordSize));
    if (record == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate memory for BarData");
        return nullptr;
    }
    std::memcpy(record, PyBytes_AS_STRING(data), kBarRecordSize);
    self->_data = record;
    return obj.release();
}

PyObject* bar_copy(PyObject* op, PyObject* /*unused*/) {
    if (as_market_data(op)->_data == nullptr) {
        PyErr_SetString(PyExc_ValueError, "Cannot copy uninitialized data");
        return nullptr;
    }
    OwnedRef obj = OwnedRef::steal(bar_new(&BarDataType, constants.empty_tuple, nullptr));
    if (!obj) {
        return nullptr;
    }
    // The allocation may have run the collector, and with it arbitrary
    // code: the source record is looked up afresh.
    const _MarketDataBuffer* source = as_market_data(op)->_data;
    if (source == nullptr) {
        PyErr_SetString(PyExc_ValueError, "Cannot copy uninitialized data");
        return nullptr;
    }
    auto* record = static_cast<_MarketDataBuffer*>(PyMem_Malloc(kBarRecordSize));
    if (record == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate memory for copy");
        return nullptr;
    }
    std::memcpy(record, source, kBarRecordSize);
    as_market_data(obj.get())->_owner = 1;
    as_market_data(obj.get())->_data = record;
    return obj.release();
}

}  // namespace tarnwick

namespace tarnwick {

// ---- many views over one pin -------------------------------------------------
//
// The private path of the bar-file library: `BarData._pin(exporter)` pins an
// exporter once, and `cls._from_pin(pin, offset)` lays a bar over the record
// at `offset` inside the pinned memory.  The bars share the pin, so a bar
// costs its object and a two-entry store, without a pin and a slice of its
// own.  The same rules hold as for from_buffer: the memory stays alive and
// pinned while any of the bars lives, and read-only memory refuses item
// assignment.

PyObject* bar_pin(PyObject* /*cls*/, PyObject* exporter) {
    OwnedRef pin = acquire_pin(exporter);
    if (!pin || validate_contiguous_view(pinned_view(pin)) < 0) {
        return nullptr;
    }
    return pin.release();
}

PyObject* bar_from_pin(PyObject* cls, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "_from_pin() takes exactly 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    PyObject* pin = args[0];
    if (!Py_IS_TYPE(pin, &BufferPinType)) {
        PyErr_Format(PyExc_TypeError, "_from_pin() needs a pin made by _pin(), not %.200s", Py_TYPE(pin)->tp_name);
        return nullptr;
    }
    Py_ssize_t offset = PyNumber_AsSsize_t(args[1], PyExc_IndexError);
    if (offset == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    const Py_buffer& view = reinterpret_cast<BufferPin*>(pin)->view;
    if (offset < 0 || offset > view.len - static_cast<Py_ssize_t>(kBarRecordSize)) {
        PyErr_Format(PyExc_IndexError, "no whole record at offset %zd of %zd pinned bytes", offset, view.len);
        return nullptr;
    }
    OwnedRef obj = allocate_instance(cls);
    if (!obj) {
        return nullptr;
    }
    // The pin's view cannot change: its exporter stays pinned by it.
    return lay_view(std::move(obj), BorrowedRef(pin), static_cast<unsigned char*>(view.buf) + offset).release();
}

}  // namespace tarnwick
