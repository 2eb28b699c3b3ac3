// The floor for the bar benchmarks: the least an extension type can do to
// hold one packed 101-byte bar record behind a pointer and serve the same
// calls as BarData.  No base class, no instance dictionary, no collector
// tracking, no checks beyond the argument conversions; keywords are matched
// by the identity of interned names.  Every cost measured above this type is
// a cost of the product's own choices.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

#pragma pack(push, 1)
struct Record {
    std::uint8_t dtype;
    char ticker[32];
    double timestamp;
    double bar_span;
    double high_price;
    double low_price;
    double open_price;
    double close_price;
    double volume;
    double notional;
    std::uint32_t trade_count;
};
#pragma pack(pop)
static_assert(sizeof(Record) == 101);

constexpr std::uint8_t kBarKind = 40;

struct LimitBar {
    PyObject_HEAD
    Record* rec;
};

PyTypeObject empty_type() {
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    return type;
}

PyTypeObject LimitBarType = empty_type();

// Constructor parameters, in BarData's order.
enum Param { kTicker, kTimestamp, kHigh, kLow, kOpen, kClose, kVolume, kNotional, kTradeCount, kStart, kSpan, kCount };
const char* const kParamText[kCount] = {"ticker",     "timestamp", "high_price",  "low_price",
                                        "open_price", "close_price", "volume",    "notional",
                                        "trade_count", "start_timestamp", "bar_span"};
PyObject* param_names[kCount];

PyObject* label_hourly_plus;
PyObject* label_hourly;
PyObject* label_minute_plus;
PyObject* label_minute;
PyObject* label_sub_minute;
PyObject* fromtimestamp;  // datetime.datetime.fromtimestamp
PyObject* tz_kwnames;     // ("tz",)
PyObject* utc;            // datetime.timezone.utc

LimitBar* as_limit(PyObject* op) { return reinterpret_cast<LimitBar*>(op); }

// An exact int is converted without the temporary float that float(int)
// would make; the value and the overflow error are the same.
inline int to_double(PyObject* obj, double* out) {
    if (PyFloat_CheckExact(obj)) {
        *out = PyFloat_AS_DOUBLE(obj);
        return 0;
    }
    double value = PyLong_CheckExact(obj) ? PyLong_AsDouble(obj) : PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
        return -1;
    }
    *out = value;
    return 0;
}

inline int to_uint32(PyObject* obj, std::uint32_t* out) {
    unsigned long value = PyLong_AsUnsignedLong(obj);
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
        return -1;
    }
    if (value > 0xFFFFFFFFul) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to uint32_t");
        return -1;
    }
    *out = static_cast<std::uint32_t>(value);
    return 0;
}

PyObject* alloc_limit(PyTypeObject* type) {
    LimitBar* self = PyObject_New(LimitBar, type);
    if (self == nullptr) {
        return nullptr;
    }
    self->rec = static_cast<Record*>(PyMem_Malloc(sizeof(Record)));
    if (self->rec == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject*>(self);
}

void limit_dealloc(PyObject* op) {
    PyMem_Free(as_limit(op)->rec);
    PyObject_Free(op);
}

Py_ssize_t find_keyword(PyObject* key) {
    for (Py_ssize_t i = 0; i < kCount; ++i) {
        if (param_names[i] == key) {
            return i;
        }
    }
    for (Py_ssize_t i = 0; i < kCount; ++i) {
        if (PyUnicode_Compare(param_names[i], key) == 0) {
            return i;
        }
    }
    return -1;
}

PyObject* limit_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > kCount) {
        PyErr_SetString(PyExc_TypeError, "LimitBar() takes at most 11 positional arguments");
        return nullptr;
    }
    // Filled slot by slot: a zero-initialised array or a bulk copy compiles
    // to `rep stos`/`rep movs`, whose start-up cost dominates at this size.
    PyObject* bound[kCount];
    for (Py_ssize_t i = 0; i < kCount; ++i) {
        bound[i] = i < nargs ? args[i] : nullptr;
    }
    Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        Py_ssize_t index = find_keyword(PyTuple_GET_ITEM(kwnames, i));
        if (index < 0 || bound[index] != nullptr) {
            PyErr_SetString(PyExc_TypeError, "LimitBar(): bad keyword argument");
            return nullptr;
        }
        bound[index] = args[nargs + i];
    }
    for (int i = 0; i <= kClose; ++i) {
        if (bound[i] == nullptr) {
            PyErr_SetString(PyExc_TypeError, "LimitBar(): missing required argument");
            return nullptr;
        }
    }
    double timestamp, high, low, open, close, volume = 0.0, notional = 0.0, start = 0.0, span = 0.0;
    std::uint32_t trade_count = 0;
    if (to_double(bound[kTimestamp], &timestamp) < 0 || to_double(bound[kHigh], &high) < 0 ||
        to_double(bound[kLow], &low) < 0 || to_double(bound[kOpen], &open) < 0 ||
        to_double(bound[kClose], &close) < 0 || (bound[kVolume] && to_double(bound[kVolume], &volume) < 0) ||
        (bound[kNotional] && to_double(bound[kNotional], &notional) < 0) ||
        (bound[kTradeCount] && to_uint32(bound[kTradeCount], &trade_count) < 0) ||
        (bound[kStart] && to_double(bound[kStart], &start) < 0)) {
        return nullptr;
    }
    if (bound[kSpan] == nullptr || bound[kSpan] == Py_None) {
        span = timestamp - start;
    } else if (to_double(bound[kSpan], &span) < 0) {
        return nullptr;
    }
    const char* text = "";
    Py_ssize_t size = 0;
    if (bound[kTicker] != Py_None) {
        text = PyUnicode_AsUTF8AndSize(bound[kTicker], &size);
        if (text == nullptr) {
            return nullptr;
        }
        if (size > 32) {
            size = 32;
        }
    }
    PyObject* obj = alloc_limit(reinterpret_cast<PyTypeObject*>(type));
    if (obj == nullptr) {
        return nullptr;
    }
    // Every byte is written below, so no fill of the whole record is needed.
    Record* r = as_limit(obj)->rec;
    std::memset(r->ticker, 0, sizeof r->ticker);
    r->dtype = kBarKind;
    std::memcpy(r->ticker, text, static_cast<std::size_t>(size));
    r->timestamp = timestamp;
    r->bar_span = span;
    r->high_price = high;
    r->low_price = low;
    r->open_price = open;
    r->close_price = close;
    r->volume = volume;
    r->notional = notional;
    r->trade_count = trade_count;
    return obj;
}

// ---- getters -------------------------------------------------------------------

PyObject* get_close_price(PyObject* op, void*) { return PyFloat_FromDouble(as_limit(op)->rec->close_price); }
PyObject* get_timestamp(PyObject* op, void*) { return PyFloat_FromDouble(as_limit(op)->rec->timestamp); }

PyObject* get_start_timestamp(PyObject* op, void*) {
    const Record* r = as_limit(op)->rec;
    return PyFloat_FromDouble(r->timestamp - r->bar_span);
}

PyObject* get_vwap(PyObject* op, void*) {
    const Record* r = as_limit(op)->rec;
    double volume = r->volume;
    return PyFloat_FromDouble(volume > 0.0 ? r->notional / volume : NAN);
}

PyObject* get_bar_type(PyObject* op, void*) {
    double span = as_limit(op)->rec->bar_span;
    PyObject* label = span > 3600.0    ? label_hourly_plus
                      : span == 3600.0 ? label_hourly
                      : span > 60.0    ? label_minute_plus
                      : span == 60.0   ? label_minute
                                       : label_sub_minute;
    return Py_NewRef(label);
}

// timedelta built directly from days, seconds and microseconds.
PyObject* get_bar_span(PyObject* op, void*) {
    double micros = std::nearbyint(as_limit(op)->rec->bar_span * 1e6);
    long long total = static_cast<long long>(micros);
    long long days = total / 86400000000LL;
    long long rest = total % 86400000000LL;
    if (rest < 0) {
        rest += 86400000000LL;
        --days;
    }
    return PyDelta_FromDSU(static_cast<int>(days), static_cast<int>(rest / 1000000), static_cast<int>(rest % 1000000));
}

PyObject* get_bar_end_time(PyObject* op, void*) {
    PyObject* timestamp = PyFloat_FromDouble(as_limit(op)->rec->timestamp);
    if (timestamp == nullptr) {
        return nullptr;
    }
    PyObject* args[] = {timestamp, utc};
    PyObject* result = PyObject_Vectorcall(fromtimestamp, args, 1, tz_kwnames);
    Py_DECREF(timestamp);
    return result;
}

// A daily bar's date number (year * 10000 + month * 100 + day) as a date.
PyObject* get_market_date(PyObject* op, void*) {
    long number = static_cast<long>(as_limit(op)->rec->timestamp);
    return PyDate_FromDate(static_cast<int>(number / 10000), static_cast<int>(number / 100 % 100),
                           static_cast<int>(number % 100));
}

PyGetSetDef limit_getset[] = {
    {"close_price", get_close_price, nullptr, nullptr, nullptr},
    {"timestamp", get_timestamp, nullptr, nullptr, nullptr},
    {"start_timestamp", get_start_timestamp, nullptr, nullptr, nullptr},
    {"vwap", get_vwap, nullptr, nullptr, nullptr},
    {"bar_type", get_bar_type, nullptr, nullptr, nullptr},
    {"bar_span", get_bar_span, nullptr, nullptr, nullptr},
    {"bar_end_time", get_bar_end_time, nullptr, nullptr, nullptr},
    {"market_date", get_market_date, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- mapping subscript -----------------------------------------------------------

// Offset of a float64 item, or 0 for trade_count, or -1 for no such item.
Py_ssize_t item_offset(PyObject* key) {
    if (key == param_names[kClose]) return offsetof(Record, close_price);
    if (key == param_names[kHigh]) return offsetof(Record, high_price);
    if (key == param_names[kLow]) return offsetof(Record, low_price);
    if (key == param_names[kOpen]) return offsetof(Record, open_price);
    if (key == param_names[kVolume]) return offsetof(Record, volume);
    if (key == param_names[kNotional]) return offsetof(Record, notional);
    if (key == param_names[kTradeCount]) return 0;
    return -1;
}

PyObject* limit_getitem(PyObject* op, PyObject* key) {
    Py_ssize_t offset = item_offset(key);
    if (offset < 0) {
        PyErr_SetObject(PyExc_KeyError, key);
        return nullptr;
    }
    const unsigned char* base = reinterpret_cast<const unsigned char*>(as_limit(op)->rec);
    if (offset == 0) {
        return PyLong_FromUnsignedLong(as_limit(op)->rec->trade_count);
    }
    double value;
    std::memcpy(&value, base + offset, sizeof value);
    return PyFloat_FromDouble(value);
}

int limit_setitem(PyObject* op, PyObject* key, PyObject* value) {
    Py_ssize_t offset = item_offset(key);
    if (offset < 0 || value == nullptr) {
        PyErr_SetObject(PyExc_KeyError, key);
        return -1;
    }
    if (offset == 0) {
        std::uint32_t count;
        if (to_uint32(value, &count) < 0) {
            return -1;
        }
        as_limit(op)->rec->trade_count = count;
        return 0;
    }
    double number;
    if (to_double(value, &number) < 0) {
        return -1;
    }
    std::memcpy(reinterpret_cast<unsigned char*>(as_limit(op)->rec) + offset, &number, sizeof number);
    return 0;
}

PyMappingMethods limit_as_mapping = {nullptr, limit_getitem, limit_setitem};

// ---- bytes -------------------------------------------------------------------------

int limit_getbuffer(PyObject* op, Py_buffer* view, int flags) {
    return PyBuffer_FillInfo(view, op, as_limit(op)->rec, sizeof(Record), 1, flags);
}

PyBufferProcs limit_as_buffer = {limit_getbuffer, nullptr};

PyObject* limit_from_bytes(PyObject* cls, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 1 || !PyBytes_CheckExact(args[0]) || PyBytes_GET_SIZE(args[0]) < static_cast<Py_ssize_t>(sizeof(Record))) {
        PyErr_SetString(PyExc_TypeError, "from_bytes() takes 101 or more bytes");
        return nullptr;
    }
    PyObject* obj = alloc_limit(reinterpret_cast<PyTypeObject*>(cls));
    if (obj != nullptr) {
        std::memcpy(as_limit(obj)->rec, PyBytes_AS_STRING(args[0]), sizeof(Record));
    }
    return obj;
}

PyObject* limit_copy(PyObject* op, PyObject*) {
    PyObject* obj = alloc_limit(Py_TYPE(op));
    if (obj != nullptr) {
        std::memcpy(as_limit(obj)->rec, as_limit(op)->rec, sizeof(Record));
    }
    return obj;
}

PyMethodDef limit_methods[] = {
    {"from_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(limit_from_bytes)),
     METH_FASTCALL | METH_CLASS, nullptr},
    {"__copy__", limit_copy, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef limit_module = {PyModuleDef_HEAD_INIT, "_limit", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

int intern_all() {
    for (int i = 0; i < kCount; ++i) {
        if ((param_names[i] = PyUnicode_InternFromString(kParamText[i])) == nullptr) {
            return -1;
        }
    }
    if ((label_hourly_plus = PyUnicode_InternFromString("Hourly-Plus")) == nullptr ||
        (label_hourly = PyUnicode_InternFromString("Hourly")) == nullptr ||
        (label_minute_plus = PyUnicode_InternFromString("Minute-Plus")) == nullptr ||
        (label_minute = PyUnicode_InternFromString("Minute")) == nullptr ||
        (label_sub_minute = PyUnicode_InternFromString("Sub-Minute")) == nullptr ||
        (tz_kwnames = Py_BuildValue("(s)", "tz")) == nullptr) {
        return -1;
    }
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) {
        return -1;
    }
    utc = PyDateTime_TimeZone_UTC;
    fromtimestamp = PyObject_GetAttrString(reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType), "fromtimestamp");
    return fromtimestamp != nullptr ? 0 : -1;
}

}  // namespace

PyMODINIT_FUNC PyInit__limit() {
    if (intern_all() < 0) {
        return nullptr;
    }
    PyTypeObject& t = LimitBarType;
    t.tp_name = "_limit.LimitBar";
    t.tp_basicsize = sizeof(LimitBar);
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_dealloc = limit_dealloc;
    t.tp_vectorcall = limit_vectorcall;
    t.tp_getset = limit_getset;
    t.tp_methods = limit_methods;
    t.tp_as_mapping = &limit_as_mapping;
    t.tp_as_buffer = &limit_as_buffer;
    if (PyType_Ready(&LimitBarType) < 0) {
        return nullptr;
    }
    PyObject* module = PyModule_Create(&limit_module);
    if (module == nullptr) {
        return nullptr;
    }
    if (PyModule_AddObjectRef(module, "LimitBar", reinterpret_cast<PyObject*>(&LimitBarType)) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
