// tarnwick.base.market_data: the base class `MarketData` of every market-data
// record object, and the `DataType` enumeration of record kinds.
//
// A `MarketData` holds a pointer to a packed record, whether it owns that
// record, and a private store of extra attributes.  Its initialiser writes the
// record header (kind code, ticker, timestamp) into a record that a subclass
// has already attached; subclasses write the rest.  Its table of record
// operations is published to native subclasses through a capsule in the class
// dictionary (see market_data_abi.hpp).
#include <cstring>

#include "common.hpp"
#include "interpreter_binding.hpp"
#include "market_data_abi.hpp"
#include "pyref.hpp"
#include "static_type.hpp"

namespace tarnwick {
namespace {

// ---- process-wide state ------------------------------------------------------

// Whether a record kind answer is still good: the last class asked, with its
// version tag (see class_record_kind).
struct RecordKindCache {
    PyTypeObject* type = nullptr;  // compared only, never dereferenced
    unsigned int version = 0;
    std::uint8_t kind = 0;
};

// Everything the module keeps between calls.  The class is a static type, so
// this state is process-wide: the module binds to the first interpreter that
// loads it and refuses any other, and only that interpreter fills the state.
// The exec step fills what is still empty, so an import that failed half-way
// can simply run again.  The objects live as long as the process, because
// the static class uses them until the end: none is ever released.
struct ModuleState {
    InterpreterBinding interpreter;
    // Interned names.
    PyObject* ticker = nullptr;
    PyObject* timestamp = nullptr;
    PyObject* dtype = nullptr;  // "_dtype"
    PyObject* PROFILE = nullptr;
    PyObject* time_zone = nullptr;
    // datetime.datetime.fromtimestamp and its keyword names ("tz",).
    PyObject* fromtimestamp = nullptr;
    PyObject* tz_kwnames = nullptr;
    // Filled on first use.
    PyObject* profile_module = nullptr;  // tarnwick.profile, at the first market_time
    RecordKindCache record_kind;
};

ModuleState state;

constexpr std::size_t kTickerBytes = header::ticker_size;

// ---- record operations -----------------------------------------------------

// Index of the entry `key` in the store, or -1.
Py_ssize_t find_entry(PyObject* store, PyObject* key) {
    Py_ssize_t size = store != nullptr ? PyTuple_GET_SIZE(store) : 0;
    for (Py_ssize_t i = 0; i + 1 < size; i += 2) {
        if (same_name(PyTuple_GET_ITEM(store, i), key)) {
            return i;
        }
    }
    return -1;
}

// Sets one extra attribute: a new store with the entry replaced or added.
void set_additional(MarketDataObject* self, PyObject* name, PyObject* value) {
    PyObject* store = self->_additional;
    Py_ssize_t size = store != nullptr ? PyTuple_GET_SIZE(store) : 0;
    Py_ssize_t index = find_entry(store, name);
    PyObject* updated = PyTuple_New(index >= 0 ? size : size + 2);
    if (updated == nullptr) {
        return;
    }
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyTuple_SET_ITEM(updated, i, Py_NewRef(PyTuple_GET_ITEM(store, i)));
    }
    if (index < 0) {
        index = size;
        PyTuple_SET_ITEM(updated, index, Py_NewRef(name));
        PyTuple_SET_ITEM(updated, index + 1, Py_NewRef(value));
    } else {
        Py_SETREF(PyTuple_GET_ITEM(updated, index + 1), Py_NewRef(value));
    }
    Py_XSETREF(self->_additional, updated);
}

std::size_t get_size(std::uint8_t dtype) { return record_size(dtype); }
std::size_t min_size() { return sizeof(_MetaInfo); }
std::size_t max_size() { return sizeof(_MarketDataBuffer); }

// The record kind of an object is its class's `_dtype`; this is what the
// object's allocation was sized for.  The `dtype` byte inside the record is
// not trusted for sizes: records can arrive as foreign bytes.
//
// Looking it up is a large part of writing a header, so the last answer is
// kept with the class's version tag, which changes whenever the class or one
// of its bases changes.  Only for classes whose metaclass is `type`: another
// metaclass may compute the attribute.
int class_record_kind(PyObject* self, std::uint8_t* kind) {
    PyTypeObject* type = Py_TYPE(self);
    RecordKindCache& cache = state.record_kind;
    if (type == cache.type && type->tp_version_tag == cache.version && cache.version != 0) {
        *kind = cache.kind;
        return 0;
    }
    OwnedRef value = OwnedRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), state.dtype));
    if (!value) {
        return -1;
    }
    long code = PyLong_AsLong(value.get());
    if (code == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (code < 0 || code > 255) {
        PyErr_Format(PyExc_ValueError, "%.200s._dtype must be a record kind code from 0 to 255, got %ld",
                     Py_TYPE(self)->tp_name, code);
        return -1;
    }
    *kind = static_cast<std::uint8_t>(code);
    if (Py_IS_TYPE(reinterpret_cast<PyObject*>(type), &PyType_Type) && state.interpreter.is_current() &&
        PyUnstable_Type_AssignVersionTag(type) != 0) {
        cache = {type, type->tp_version_tag, *kind};
    }
    return 0;
}

PyObject* to_bytes(MarketDataObject* self) {
    if (record_of(self) == nullptr) {
        return nullptr;
    }
    std::uint8_t kind = 0;
    if (class_record_kind(reinterpret_cast<PyObject*>(self), &kind) < 0) {
        return nullptr;
    }
    std::size_t size = record_size(kind);
    if (size == 0) {
        PyErr_Format(PyExc_ValueError, "no record layout for kind %d", static_cast<int>(kind));
        return nullptr;
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(self->_data), static_cast<Py_ssize_t>(size));
}

MarketDataVTable market_data_vtable = {
    set_additional, get_size, min_size, max_size, to_bytes,
};

// ---- allocation, initialisation, end of life -------------------------------

PyObject* market_data_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwds*/) {
    // Any arguments are accepted: subclasses define their own signatures.
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) {
        return nullptr;
    }
    auto* self = reinterpret_cast<MarketDataObject*>(obj);
    self->vtable = &market_data_vtable;
    self->_data = nullptr;
    self->_owner = 1;
    self->_additional = nullptr;
    return obj;
}

// The ticker as the bytes to store: UTF-8, at most 32 bytes, no NUL (a NUL
// would silently cut the symbol short when it is read back).
int ticker_bytes(PyObject* ticker, const char** text, Py_ssize_t* size) {
    if (ticker == Py_None) {
        *text = "";
        *size = 0;
        return 0;
    }
    if (!PyUnicode_Check(ticker)) {
        PyErr_Format(PyExc_TypeError, "ticker must be str or None, not %.200s", Py_TYPE(ticker)->tp_name);
        return -1;
    }
    *text = PyUnicode_AsUTF8AndSize(ticker, size);
    if (*text == nullptr) {
        return -1;
    }
    if (static_cast<std::size_t>(*size) > kTickerBytes) {
        PyErr_Format(PyExc_ValueError, "ticker %R takes %zd bytes in UTF-8; at most %zu fit in a record", ticker,
                     *size, kTickerBytes);
        return -1;
    }
    if (std::memchr(*text, '\0', static_cast<std::size_t>(*size)) != nullptr) {
        PyErr_Format(PyExc_ValueError, "ticker %R contains a NUL character", ticker);
        return -1;
    }
    return 0;
}

// Writes the header of the attached record: the class's kind code, the
// ticker and the timestamp.  Everything is checked before the first byte is
// written, so a failure leaves the record as it was.
int write_header(MarketDataObject* self, PyObject* ticker, double timestamp) {
    if (record_of(self) == nullptr) {
        return -1;
    }
    std::uint8_t kind = 0;
    if (class_record_kind(reinterpret_cast<PyObject*>(self), &kind) < 0) {
        return -1;
    }
    const char* text = nullptr;
    Py_ssize_t text_size = 0;
    if (ticker_bytes(ticker, &text, &text_size) < 0) {
        return -1;
    }
    // A view reads memory that is not ours and may be read-only (bytes, a
    // read-only memoryview): like the subclasses' constructors, the header
    // writer refuses it.  The class lookup above may have run code, so the
    // record is looked at afresh.
    void* record = record_of(self);
    if (record == nullptr) {
        return -1;
    }
    if (self->_owner == 0) {
        return refuse_view_initialisation(reinterpret_cast<PyObject*>(self));
    }
    write_field(record, header::dtype, kind);
    std::memset(ticker_field(record), 0, kTickerBytes);
    std::memcpy(ticker_field(record), text, static_cast<std::size_t>(text_size));
    write_field(record, header::timestamp, timestamp);
    return 0;
}

// MarketData.__init__(self, ticker=None, timestamp, **kwargs)
int market_data_init(PyObject* op, PyObject* args, PyObject* kwds) {
    auto* self = reinterpret_cast<MarketDataObject*>(op);
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError, "MarketData.__init__() takes at most 2 positional arguments (%zd given)",
                     nargs);
        return -1;
    }
    PyObject* ticker = nargs > 0 ? PyTuple_GET_ITEM(args, 0) : nullptr;
    PyObject* timestamp = nargs > 1 ? PyTuple_GET_ITEM(args, 1) : nullptr;
    Py_ssize_t n_named = 0;  // keywords that bound a named parameter

    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (kwds != nullptr && PyDict_Next(kwds, &pos, &key, &value)) {
        PyObject** slot = same_name(key, state.ticker)      ? &ticker
                          : same_name(key, state.timestamp) ? &timestamp
                                                            : nullptr;
        if (slot == nullptr) {
            continue;
        }
        if (*slot != nullptr) {
            PyErr_Format(PyExc_TypeError, "MarketData.__init__() got multiple values for argument '%U'", key);
            return -1;
        }
        *slot = value;
        ++n_named;
    }
    if (timestamp == nullptr) {
        PyErr_SetString(PyExc_TypeError, "MarketData.__init__() missing required argument 'timestamp'");
        return -1;
    }
    double ts = PyFloat_AsDouble(timestamp);
    if (ts == -1.0 && PyErr_Occurred()) {
        return -1;
    }
    if (write_header(self, ticker != nullptr ? ticker : Py_None, ts) < 0) {
        return -1;
    }
    if (kwds != nullptr && PyDict_GET_SIZE(kwds) > n_named) {
        pos = 0;
        while (PyDict_Next(kwds, &pos, &key, &value)) {
            if (same_name(key, state.ticker) || same_name(key, state.timestamp)) {
                continue;
            }
            self->vtable->_set_additional(self, key, value);
            if (PyErr_Occurred()) {
                return -1;
            }
        }
    }
    return 0;
}

int market_data_traverse(PyObject* op, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<MarketDataObject*>(op)->_additional);
    return 0;
}

// The collector breaks cycles through the extra attributes, the entries
// under str keys.  Entries under other keys can only come from native code
// (a view's buffer pin, say) and stay until the object dies: the record of a
// view, and every memoryview taken of it, must stay readable for as long as
// anything can reach the object, and such entries hold nothing the collector
// could see.
int market_data_clear(PyObject* op) {
    auto* self = reinterpret_cast<MarketDataObject*>(op);
    PyObject* store = self->_additional;
    if (store == nullptr) {
        return 0;
    }
    Py_ssize_t size = PyTuple_GET_SIZE(store);
    Py_ssize_t native = 0;
    for (Py_ssize_t i = 0; i + 1 < size; i += 2) {
        native += PyUnicode_Check(PyTuple_GET_ITEM(store, i)) ? 0 : 2;
    }
    if (native == size) {
        return 0;
    }
    PyObject* kept = nullptr;
    if (native > 0) {
        kept = PyTuple_New(native);
        if (kept == nullptr) {
            // Keeping the whole store only leaves the cycle uncollected.
            PyErr_Clear();
            return 0;
        }
        for (Py_ssize_t i = 0, j = 0; i + 1 < size; i += 2) {
            if (!PyUnicode_Check(PyTuple_GET_ITEM(store, i))) {
                PyTuple_SET_ITEM(kept, j, Py_NewRef(PyTuple_GET_ITEM(store, i)));
                PyTuple_SET_ITEM(kept, j + 1, Py_NewRef(PyTuple_GET_ITEM(store, i + 1)));
                j += 2;
            }
        }
    }
    Py_XSETREF(self->_additional, kept);
    return 0;
}

void market_data_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<MarketDataObject*>(op);
    PyObject_GC_UnTrack(op);
    if (self->_owner != 0 && self->_data != nullptr) {
        PyMem_Free(self->_data);
    }
    self->_data = nullptr;
    Py_CLEAR(self->_additional);
    Py_TYPE(op)->tp_free(op);
}

// Extra attributes given to the initialiser are found after the ordinary
// lookup fails.
PyObject* market_data_getattro(PyObject* op, PyObject* name) {
    PyObject* result = PyObject_GenericGetAttr(op, name);
    if (result != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return result;
    }
    // Read afresh: the generic lookup may have run code.  Searching the store
    // runs none, so the pending AttributeError can simply stand or go.
    PyObject* store = reinterpret_cast<MarketDataObject*>(op)->_additional;
    Py_ssize_t index = PyUnicode_Check(name) ? find_entry(store, name) : -1;
    if (index < 0) {
        return nullptr;
    }
    PyErr_Clear();
    return Py_NewRef(PyTuple_GET_ITEM(store, index + 1));
}

// ---- properties ------------------------------------------------------------

PyObject* get_ticker(PyObject* op, void*) {
    const _MarketDataBuffer* data = record_of(reinterpret_cast<MarketDataObject*>(op));
    if (data == nullptr) {
        return nullptr;
    }
    const char* text = ticker_field(data);
    // Foreign records may hold any bytes: stop at the field's end, and show
    // bytes that are not UTF-8 rather than failing to read the record.
    std::size_t size = strnlen(text, kTickerBytes);
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(size), "replace");
}

PyObject* get_timestamp(PyObject* op, void*) {
    const _MarketDataBuffer* data = record_of(reinterpret_cast<MarketDataObject*>(op));
    if (data == nullptr) {
        return nullptr;
    }
    return PyFloat_FromDouble(read_field(data, header::timestamp));
}

// PROFILE.time_zone of tarnwick.profile, read at each call; the module is
// imported once, by the interpreter the module is bound to.
OwnedRef profile_time_zone() {
    if (state.profile_module == nullptr) {
        if (state.interpreter.require_current() < 0) {
            return {};
        }
        state.profile_module = PyImport_ImportModule("tarnwick.profile");
        if (state.profile_module == nullptr) {
            return {};
        }
    }
    OwnedRef profile = OwnedRef::steal(PyObject_GetAttr(state.profile_module, state.PROFILE));
    return profile ? OwnedRef::steal(PyObject_GetAttr(profile.get(), state.time_zone)) : OwnedRef();
}

PyObject* get_market_time(PyObject* op, void*) {
    const _MarketDataBuffer* data = record_of(reinterpret_cast<MarketDataObject*>(op));
    if (data == nullptr) {
        return nullptr;
    }
    OwnedRef timestamp = OwnedRef::steal(PyFloat_FromDouble(read_field(data, header::timestamp)));
    if (!timestamp) {
        return nullptr;
    }
    OwnedRef tz = profile_time_zone();
    if (!tz) {
        return nullptr;
    }
    PyObject* call_args[] = {timestamp.get(), tz.get()};
    return PyObject_Vectorcall(state.fromtimestamp, call_args, 1, state.tz_kwnames);
}

PyObject* get_owner(PyObject* op, void*) {
    return PyLong_FromLong(reinterpret_cast<MarketDataObject*>(op)->_owner);
}

PyGetSetDef market_data_getset[] = {
    {"ticker", get_ticker, nullptr, PyDoc_STR("The instrument symbol."), nullptr},
    {"timestamp", get_timestamp, nullptr, PyDoc_STR("The time of the record, seconds since the Unix epoch."),
     nullptr},
    {"market_time", get_market_time, nullptr,
     PyDoc_STR("The timestamp as a datetime in the time zone of tarnwick.profile.PROFILE."), nullptr},
    {"_owner", get_owner, nullptr, PyDoc_STR("1 when the object owns its record, 0 when it views foreign memory."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject MarketDataType = empty_static_type();

void describe_market_data_type() {
    PyTypeObject& t = MarketDataType;
    t.tp_name = "tarnwick.base.market_data.MarketData";
    t.tp_doc = PyDoc_STR(
        "MarketData(ticker=None, timestamp, **kwargs)\n--\n\n"
        "Base class of the market-data record objects: holds the packed record,\n"
        "whether the object owns it, and extra attributes given as keywords.");
    t.tp_basicsize = kMarketDataObjectSize;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_new = market_data_new;
    t.tp_init = market_data_init;
    t.tp_dealloc = market_data_dealloc;
    t.tp_traverse = market_data_traverse;
    t.tp_clear = market_data_clear;
    t.tp_getattro = market_data_getattro;
    t.tp_getset = market_data_getset;
}

// ---- module ----------------------------------------------------------------

constexpr struct {
    const char* name;
    int code;
} kDataTypes[] = {
    {"DTYPE_UNKNOWN", DTYPE_UNKNOWN},         {"DTYPE_MARKET_DATA", DTYPE_MARKET_DATA},
    {"DTYPE_TRANSACTION", DTYPE_TRANSACTION}, {"DTYPE_ORDER", DTYPE_ORDER},
    {"DTYPE_TICK_LITE", DTYPE_TICK_LITE},     {"DTYPE_TICK", DTYPE_TICK},
    {"DTYPE_BAR", DTYPE_BAR},                 {"DTYPE_REPORT", DTYPE_REPORT},
    {"DTYPE_INSTRUCTION", DTYPE_INSTRUCTION},
};

// DataType = enum.IntEnum("DataType", [...], module=..., qualname="DataType")
OwnedRef make_data_type_enum() {
    OwnedRef members = OwnedRef::steal(PyList_New(0));
    if (!members) {
        return {};
    }
    for (const auto& member : kDataTypes) {
        OwnedRef pair = OwnedRef::steal(Py_BuildValue("(si)", member.name, member.code));
        if (!pair || PyList_Append(members.get(), pair.get()) < 0) {
            return {};
        }
    }
    OwnedRef int_enum = import_attribute("enum", "IntEnum");
    OwnedRef args = OwnedRef::steal(Py_BuildValue("(sO)", "DataType", members.get()));
    OwnedRef kwargs = OwnedRef::steal(
        Py_BuildValue("{ssss}", "module", "tarnwick.base.market_data", "qualname", "DataType"));
    if (!int_enum || !args || !kwargs) {
        return {};
    }
    return OwnedRef::steal(PyObject_Call(int_enum.get(), args.get(), kwargs.get()));
}

// Fills what of the state is still empty (a failed import may have filled
// part of it).
int fill_state() {
    const struct {
        PyObject** slot;
        const char* text;
    } names[] = {
        {&state.ticker, "ticker"},   {&state.timestamp, "timestamp"}, {&state.dtype, "_dtype"},
        {&state.PROFILE, "PROFILE"}, {&state.time_zone, "time_zone"},
    };
    for (const auto& name : names) {
        if (*name.slot == nullptr) {
            *name.slot = PyUnicode_InternFromString(name.text);
            if (*name.slot == nullptr) {
                return -1;
            }
        }
    }
    if (state.tz_kwnames == nullptr) {
        state.tz_kwnames = Py_BuildValue("(s)", "tz");
        if (state.tz_kwnames == nullptr) {
            return -1;
        }
    }
    if (state.fromtimestamp == nullptr) {
        OwnedRef datetime_class = import_attribute("datetime", "datetime");
        if (!datetime_class) {
            return -1;
        }
        state.fromtimestamp = PyObject_GetAttrString(datetime_class.get(), "fromtimestamp");
        if (state.fromtimestamp == nullptr) {
            return -1;
        }
    }
    return 0;
}

// Readies the static class once per process and publishes its table.
int ready_market_data_type(PyObject* data_type) {
    if (PyType_HasFeature(&MarketDataType, Py_TPFLAGS_READY)) {
        return 0;
    }
    describe_market_data_type();
    if (PyType_Ready(&MarketDataType) < 0) {
        return -1;
    }
    PyObject* dict = MarketDataType.tp_dict;
    OwnedRef capsule = OwnedRef::steal(PyCapsule_New(&market_data_vtable, kVTableCapsuleName, nullptr));
    if (!capsule || PyDict_SetItemString(dict, kVTableKey, capsule.get()) < 0) {
        return -1;
    }
    OwnedRef writer = OwnedRef::steal(
        PyCapsule_New(reinterpret_cast<void*>(&write_header), kHeaderWriterCapsuleName, nullptr));
    if (!writer || PyDict_SetItemString(dict, kHeaderWriterKey, writer.get()) < 0) {
        return -1;
    }
    OwnedRef kind = OwnedRef::steal(PyObject_GetAttrString(data_type, "DTYPE_MARKET_DATA"));
    if (!kind || PyDict_SetItemString(dict, "_dtype", kind.get()) < 0) {
        return -1;
    }
    PyType_Modified(&MarketDataType);
    return 0;
}

int market_data_exec(PyObject* module) {
    if (state.interpreter.bind() < 0 || fill_state() < 0) {
        return -1;
    }
    OwnedRef data_type = make_data_type_enum();
    if (!data_type || ready_market_data_type(data_type.get()) < 0) {
        return -1;
    }
    if (PyModule_AddObjectRef(module, "DataType", data_type.get()) < 0) {
        return -1;
    }
    return PyModule_AddObjectRef(module, "MarketData", reinterpret_cast<PyObject*>(&MarketDataType));
}

PyModuleDef_Slot market_data_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(market_data_exec)},
    // The class is a static type shared by the whole process.  CPython
    // enforces this for isolated interpreters only; the exec step binds the
    // module to one interpreter for the others.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef market_data_module = {
    PyModuleDef_HEAD_INIT,
    "market_data",
    PyDoc_STR("Base class and record kinds of the packed market-data records."),
    0,
    nullptr,
    market_data_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tarnwick

PyMODINIT_FUNC PyInit_market_data() { return PyModuleDef_Init(&tarnwick::market_data_module); }
