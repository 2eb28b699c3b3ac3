// The class `BarData` itself: its slots and method table put together from
// the files that define them (bar_slots.hpp), readied on the base class at
// import, with docstrings of its own on the shared slot wrappers and the
// refusal of pickling.
#include "bar_slots.hpp"

#include "pyref.hpp"
#include "static_type.hpp"

namespace tarnwick {

PyTypeObject BarDataType = empty_static_type();

namespace {

constexpr const char kNoReduce[] = "no default __reduce__ due to non-trivial __cinit__";

PyObject* bar_reduce(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, kNoReduce);
    return nullptr;
}

PyObject* bar_setstate(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, kNoReduce);
    return nullptr;
}

PyMethodDef bar_methods[] = {
    {"from_buffer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bar_from_buffer)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS, PyDoc_STR("Create a new instance from a buffer.")},
    {"from_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bar_from_bytes)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     PyDoc_STR("Create a new instance from bytes.\nCreates a copy of the data, so the instance owns the memory.")},
    {"__copy__", bar_copy, METH_NOARGS, PyDoc_STR("Create a copy of this instance.")},
    // Private: many view bars over one pinned exporter (see bar_bytes.cpp).
    {"_pin", bar_pin, METH_O | METH_STATIC, nullptr},
    {"_from_pin", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bar_from_pin)),
     METH_FASTCALL | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef pickling_refusal[] = {
    {"__reduce__", bar_reduce, METH_NOARGS, nullptr},
    {"__setstate__", bar_setstate, METH_O, nullptr},
};

// Slot wrappers share their docstring with every class; ours get copies of
// their descriptions that carry the class's own text.
wrapperbase init_wrapper_base;
wrapperbase repr_wrapper_base;

int set_slot_wrapper_doc(const char* name, wrapperbase* storage, const char* doc) {
    PyObject* wrapper = nullptr;
    if (PyDict_GetItemStringRef(BarDataType.tp_dict, name, &wrapper) <= 0) {
        return PyErr_Occurred() ? -1 : 0;
    }
    OwnedRef keep = OwnedRef::steal(wrapper);
    if (!PyObject_TypeCheck(wrapper, &PyWrapperDescr_Type)) {
        return 0;
    }
    auto* descriptor = reinterpret_cast<PyWrapperDescrObject*>(wrapper);
    if (descriptor->d_base != storage) {
        *storage = *descriptor->d_base;
        storage->doc = doc;
        descriptor->d_base = storage;
    }
    return 0;
}

void describe_bar_data_type(PyTypeObject* base) {
    PyTypeObject& t = BarDataType;
    t.tp_name = "tarnwick.base.candlestick.BarData";
    t.tp_doc = PyDoc_STR(
        "BarData(ticker, timestamp, high_price, low_price, open_price, close_price, volume=0.0, "
        "notional=0.0, trade_count=0, start_timestamp=0.0, bar_span=None, **kwargs)\n--\n\n"
        "Represents a single bar of market data for a specific ticker within a given time frame.");
    t.tp_basicsize = 0;  // no fields of its own: inherits the base layout
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_base = base;
    t.tp_new = bar_new;
    t.tp_init = bar_init;
    t.tp_vectorcall = bar_class_vectorcall;
    t.tp_dealloc = base->tp_dealloc;
    t.tp_traverse = base->tp_traverse;
    t.tp_clear = base->tp_clear;
    t.tp_repr = bar_repr;
    t.tp_getset = bar_getset;
    t.tp_methods = bar_methods;
    t.tp_as_mapping = &bar_as_mapping;
    t.tp_as_sequence = &bar_as_sequence;
    t.tp_as_buffer = &bar_as_buffer;
}

// The base's direct initialiser path, taken only from the base class's own
// dictionary: a stand-in subclass with an __init__ of its own has none there.
HeaderWriter find_header_writer(PyTypeObject* base) {
    PyObject* capsule = nullptr;
    if (PyDict_GetItemStringRef(base->tp_dict, kHeaderWriterKey, &capsule) <= 0) {
        PyErr_Clear();
        return nullptr;
    }
    OwnedRef keep = OwnedRef::steal(capsule);
    void* pointer = PyCapsule_GetPointer(capsule, kHeaderWriterCapsuleName);
    if (pointer == nullptr) {
        PyErr_Clear();
    }
    return reinterpret_cast<HeaderWriter>(pointer);
}

}  // namespace

int ready_bar_data_type(PyTypeObject* base, const MarketDataVTable* base_vtable) {
    if (import_datetime_api() < 0 || ready_buffer_pin_type() < 0) {
        return -1;
    }
    state.bar_data_vtable = *base_vtable;
    state.bar_data_vtable.to_bytes = bar_to_bytes;  // a bar's record is 101 bytes, whatever its class's `_dtype`
    if (!PyType_HasFeature(&BarDataType, Py_TPFLAGS_READY)) {
        // A static class cannot derive from a class made at run time; refuse
        // before touching BarData, so that a later import can still ready it.
        if (PyType_HasFeature(base, Py_TPFLAGS_HEAPTYPE)) {
            PyErr_Format(PyExc_TypeError,
                         "%s needs a base class defined by an extension module, not one made at run time (%N)",
                         "tarnwick.base.candlestick.BarData", base);
            return -1;
        }
        state.market_data_type = base;
        describe_bar_data_type(base);
        if (PyType_Ready(&BarDataType) < 0) {
            return -1;
        }
    }
    state.header_writer = find_header_writer(state.market_data_type);
    if (set_slot_wrapper_doc("__init__", &init_wrapper_base, "Initialize the bar data with values.") < 0 ||
        set_slot_wrapper_doc("__repr__", &repr_wrapper_base, "String representation of the bar data.") < 0) {
        return -1;
    }
    OwnedRef capsule = OwnedRef::steal(PyCapsule_New(&state.bar_data_vtable, kVTableCapsuleName, nullptr));
    if (!capsule || PyDict_SetItemString(BarDataType.tp_dict, kVTableKey, capsule.get()) < 0) {
        return -1;
    }
    PyType_Modified(&BarDataType);
    return 0;
}

namespace {

// Whether the class (or a base other than `object`) defines this hook itself.
int defines_own(PyTypeObject* type, const char* name) {
    PyObject* mro = type->tp_mro;
    Py_ssize_t n = mro != nullptr ? PyTuple_GET_SIZE(mro) : 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto* klass = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (klass == &PyBaseObject_Type || klass->tp_dict == nullptr) {
            continue;
        }
        PyObject* found = nullptr;
        int present = PyDict_GetItemStringRef(klass->tp_dict, name, &found);
        Py_XDECREF(found);
        if (present != 0) {
            return present;
        }
    }
    return 0;
}

}  // namespace

int install_pickling_refusal(PyTypeObject* base) {
    for (const char* hook : {"__getstate__", "__reduce_ex__", "__reduce__"}) {
        int own = defines_own(base, hook);
        if (own != 0) {
            return own < 0 ? -1 : 0;  // the base pickles by itself
        }
    }
    for (PyMethodDef& def : pickling_refusal) {
        OwnedRef method = OwnedRef::steal(PyDescr_NewMethod(&BarDataType, &def));
        if (!method || PyDict_SetItemString(BarDataType.tp_dict, def.ml_name, method.get()) < 0) {
            PyErr_Clear();
            PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", BarDataType.tp_name);
            return -1;
        }
    }
    PyType_Modified(&BarDataType);
    return 0;
}

void set_bar_data_globals(PyObject* module_dict) { Py_XSETREF(state.module_globals, Py_XNewRef(module_dict)); }

}  // namespace tarnwick
