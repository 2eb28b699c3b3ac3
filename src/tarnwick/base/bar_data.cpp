// `BarData`: one intraday bar of one ticker over a span of seconds that ends
// at the bar's timestamp.  Its values live in one packed 101-byte record,
// which the object either owns (constructor, from_bytes, copy) or views in
// someone else's buffer (from_buffer).  Every member reads or writes that
// record in place; nothing is cached.
#include "bar_data.hpp"

#include <datetime.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

#include "arguments.hpp"
#include "candlestick_state.hpp"
#include "conversions.hpp"
#include "pyref.hpp"
#include "static_type.hpp"

namespace tarnwick {

PyTypeObject BarDataType = empty_static_type();

namespace {

// Set when the module readies the class; the module binds to one interpreter.
PyTypeObject* market_data_type = nullptr;
MarketDataVTable bar_data_vtable;
HeaderWriter header_writer = nullptr;  // the base initialiser's direct path, if it has one
PyObject* module_globals = nullptr;

constexpr const char kDataNotInitialized[] = "Data not initialized";

MarketDataObject* as_bar(PyObject* op) { return reinterpret_cast<MarketDataObject*>(op); }

// The record, or null with ValueError "Data not initialized".
unsigned char* record_of(PyObject* op) {
    _MarketDataBuffer* data = as_bar(op)->_data;
    if (data == nullptr) {
        PyErr_SetString(PyExc_ValueError, kDataNotInitialized);
        return nullptr;
    }
    return reinterpret_cast<unsigned char*>(data);
}

// Fields are read and written by offset with memcpy: the record may sit at
// any address, and a fixed-size memcpy compiles to one unaligned load/store.
double load_double(const unsigned char* record, std::size_t offset) {
    double value;
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

void store_double(unsigned char* record, std::size_t offset, double value) {
    std::memcpy(record + offset, &value, sizeof value);
}

std::uint32_t load_uint32(const unsigned char* record, std::size_t offset) {
    std::uint32_t value;
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

void store_uint32(unsigned char* record, std::size_t offset, std::uint32_t value) {
    std::memcpy(record + offset, &value, sizeof value);
}

constexpr std::size_t kTimestamp = offsetof(_CandlestickBuffer, timestamp);
constexpr std::size_t kBarSpan = offsetof(_CandlestickBuffer, bar_span);
constexpr std::size_t kHighPrice = offsetof(_CandlestickBuffer, high_price);
constexpr std::size_t kLowPrice = offsetof(_CandlestickBuffer, low_price);
constexpr std::size_t kOpenPrice = offsetof(_CandlestickBuffer, open_price);
constexpr std::size_t kClosePrice = offsetof(_CandlestickBuffer, close_price);
constexpr std::size_t kVolume = offsetof(_CandlestickBuffer, volume);
constexpr std::size_t kNotional = offsetof(_CandlestickBuffer, notional);
constexpr std::size_t kTradeCount = offsetof(_CandlestickBuffer, trade_count);

// ---- views over foreign memory ---------------------------------------------

// Keeps the buffer that a view bar reads: the exporter stays alive and its
// memory pinned (a bytearray cannot be resized under it) until the bar dies.
// It is kept in the base class's store of extra attributes under a key that
// is not a string, so no attribute access can reach or remove it.
struct BufferPin {
    PyObject_HEAD
    Py_buffer view;
};

int buffer_pin_traverse(PyObject* op, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<BufferPin*>(op)->view.obj);
    return 0;
}

void buffer_pin_dealloc(PyObject* op) {
    PyObject_GC_UnTrack(op);
    PyBuffer_Release(&reinterpret_cast<BufferPin*>(op)->view);
    PyObject_GC_Del(op);
}

// No clear slot on purpose: the view must outlive every bar that reads it,
// and the bars drop it themselves when the collector clears them.
PyTypeObject BufferPinType = empty_static_type();

int ready_buffer_pin_type() {
    if (PyType_HasFeature(&BufferPinType, Py_TPFLAGS_READY)) {
        return 0;
    }
    BufferPinType.tp_name = "tarnwick.base.candlestick._BufferPin";
    BufferPinType.tp_basicsize = sizeof(BufferPin);
    BufferPinType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    BufferPinType.tp_traverse = buffer_pin_traverse;
    BufferPinType.tp_dealloc = buffer_pin_dealloc;
    return PyType_Ready(&BufferPinType);
}

PyObject* pin_key() { return reinterpret_cast<PyObject*>(&BufferPinType); }

// Takes a buffer view of `exporter` (strides and format, writability not
// required); the pin releases it when it dies.
PyObject* acquire_pin(PyObject* exporter) {
    auto* pin = PyObject_GC_New(BufferPin, &BufferPinType);
    if (pin == nullptr) {
        return nullptr;
    }
    if (PyObject_GetBuffer(exporter, &pin->view, PyBUF_RECORDS_RO) < 0) {
        pin->view.obj = nullptr;  // nothing to release
        Py_DECREF(reinterpret_cast<PyObject*>(pin));
        return nullptr;
    }
    PyObject_GC_Track(reinterpret_cast<PyObject*>(pin));
    return reinterpret_cast<PyObject*>(pin);
}

// Whether item assignment may write into a view bar's memory.
bool view_is_writable(const MarketDataObject* self) {
    PyObject* pin = find_additional(self, pin_key());
    return pin != nullptr && Py_IS_TYPE(pin, &BufferPinType) && !reinterpret_cast<BufferPin*>(pin)->view.readonly;
}

// ---- construction ------------------------------------------------------------

enum Parameter : std::uint8_t {
    kTicker,
    kTimestampArg,
    kHighArg,
    kLowArg,
    kOpenArg,
    kCloseArg,
    kVolumeArg,
    kNotionalArg,
    kTradeCountArg,
    kStartTimestampArg,
    kBarSpanArg,
    kParameterCount
};

PyObject* const* const init_parameter_names[kParameterCount] = {
    &names.ticker,     &names.timestamp, &names.high_price,  &names.low_price,
    &names.open_price, &names.close_price, &names.volume,    &names.notional,
    &names.trade_count, &names.start_timestamp, &names.bar_span,
};

KeywordCache init_keywords;
const Signature init_signature{"BarData.__init__", init_parameter_names, kParameterCount, 6, &init_keywords};

PyObject* bar_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    PyObject* obj = market_data_type->tp_new(type, args, kwds);
    if (obj == nullptr) {
        return nullptr;
    }
    as_bar(obj)->vtable = &bar_data_vtable;
    as_bar(obj)->_owner = 1;
    return obj;
}

// MarketData.__init__(self, ticker=ticker, timestamp=timestamp, **extras),
// the attribute fetched from the base class itself.
int call_base_initialiser(PyObject* self, PyObject* ticker, double timestamp, PyObject* extras) {
    if (extras == nullptr && header_writer != nullptr) {
        return header_writer(as_bar(self), ticker, timestamp);
    }
    OwnedRef init = OwnedRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(market_data_type), names.dunder_init));
    OwnedRef timestamp_obj = OwnedRef::steal(PyFloat_FromDouble(timestamp));
    OwnedRef kwargs = OwnedRef::steal(PyDict_New());
    if (!init || !timestamp_obj || !kwargs || PyDict_SetItem(kwargs.get(), names.ticker, ticker) < 0 ||
        PyDict_SetItem(kwargs.get(), names.timestamp, timestamp_obj.get()) < 0 ||
        (extras != nullptr && PyDict_Update(kwargs.get(), extras) < 0)) {
        return -1;
    }
    OwnedRef args = OwnedRef::steal(PyTuple_Pack(1, self));
    if (!args) {
        return -1;
    }
    OwnedRef result = OwnedRef::steal(PyObject_Call(init.get(), args.get(), kwargs.get()));
    return result ? 0 : -1;
}

// The ticker check, the view check and the record: allocated on first use,
// zeroed on every use.
int attach_zeroed_record(PyObject* op, PyObject* ticker) {
    if (ticker != Py_None && !PyUnicode_CheckExact(ticker)) {
        raise_argument_type("ticker", "str", ticker);
        return -1;
    }
    MarketDataObject* self = as_bar(op);
    if (self->_owner == 0) {
        OwnedRef class_name = OwnedRef::steal(PyType_GetName(Py_TYPE(op)));
        if (class_name) {
            PyErr_Format(PyExc_MemoryError, "Can not initialize a view of %U.", class_name.get());
        }
        return -1;
    }
    // An owning bar that is initialised again refills the record it has: no
    // memory is lost, and buffer views taken earlier stay valid.
    if (self->_data == nullptr) {
        self->_data = static_cast<_MarketDataBuffer*>(PyMem_Malloc(kBarRecordSize));
        if (self->_data == nullptr) {
            PyErr_SetString(PyExc_MemoryError, "Failed to allocate memory for BarData");
            return -1;
        }
    }
    // A copy from a constant of zeros: a few wide stores, where a memset of
    // this odd size becomes a slow string instruction.
    static constexpr unsigned char kZeroRecord[kBarRecordSize] = {};
    std::memcpy(self->_data, kZeroRecord, kBarRecordSize);
    return 0;
}

// The fields the constructor writes itself, all but the span; the header is
// the base initialiser's.
void store_fields(unsigned char* record, const BarValues& values) {
    store_double(record, kHighPrice, values.high);
    store_double(record, kLowPrice, values.low);
    store_double(record, kOpenPrice, values.open);
    store_double(record, kClosePrice, values.close);
    store_double(record, kVolume, values.volume);
    store_double(record, kNotional, values.notional);
    store_uint32(record, kTradeCount, values.trade_count);
}

// The constructor's steps after binding, in their order: conversions, the
// ticker check, the view check, the record, the base initialiser, the span
// and the fields.
int init_bound(PyObject* op, PyObject* const* arg, PyObject* extras) {
    double timestamp, high, low, open, close, volume = 0.0, notional = 0.0, start = 0.0;
    std::uint32_t trade_count = 0;
    if (to_double(arg[kTimestampArg], &timestamp) < 0 || to_double(arg[kHighArg], &high) < 0 ||
        to_double(arg[kLowArg], &low) < 0 || to_double(arg[kOpenArg], &open) < 0 ||
        to_double(arg[kCloseArg], &close) < 0 ||
        (arg[kVolumeArg] != nullptr && to_double(arg[kVolumeArg], &volume) < 0) ||
        (arg[kNotionalArg] != nullptr && to_double(arg[kNotionalArg], &notional) < 0) ||
        (arg[kTradeCountArg] != nullptr && to_uint32(arg[kTradeCountArg], &trade_count) < 0) ||
        (arg[kStartTimestampArg] != nullptr && to_double(arg[kStartTimestampArg], &start) < 0)) {
        return -1;
    }
    PyObject* ticker = arg[kTicker];
    if (attach_zeroed_record(op, ticker) < 0 || call_base_initialiser(op, ticker, timestamp, extras) < 0) {
        return -1;
    }

    double span = 0.0;
    OwnedRef span_obj;  // a span still to be converted (from total_seconds or float())
    PyObject* bar_span = arg[kBarSpanArg];
    if (bar_span == nullptr || bar_span == Py_None) {
        if (start == 0.0) {
            PyErr_SetString(PyExc_ValueError, "Must assign either start_timestamp or bar_span or both.");
            return -1;
        }
        span = timestamp - start;
    } else if (PyObject_TypeCheck(bar_span, reinterpret_cast<PyTypeObject*>(constants.timedelta_type))) {
        span_obj = OwnedRef::steal(PyObject_CallMethodNoArgs(bar_span, names.total_seconds));
        if (!span_obj) {
            return -1;
        }
    } else if (PyFloat_CheckExact(bar_span) || PyLong_CheckExact(bar_span)) {
        if (to_double(bar_span, &span) < 0) {  // float() of these, without a new object
            return -1;
        }
    } else {
        span_obj = OwnedRef::steal(PyNumber_Float(bar_span));
        if (!span_obj) {
            return -1;
        }
    }

    // The base initialiser may have run arbitrary code: the record is read
    // from the object again rather than trusted from before the call.
    unsigned char* record = record_of(op);
    if (record == nullptr) {
        return -1;
    }
    store_fields(record, {timestamp, high, low, open, close, volume, notional, trade_count, 0.0});
    if (span_obj && to_double(span_obj.get(), &span) < 0) {
        return -1;
    }
    record = record_of(op);  // the conversion may have run code as well
    if (record == nullptr) {
        return -1;
    }
    store_double(record, kBarSpan, span);
    return 0;
}

int bar_init(PyObject* op, PyObject* args, PyObject* kwds) {
    PyObject* bound[kParameterCount];
    OwnedRef extras;
    if (bind_tuple_and_dict(init_signature, args, kwds, bound, &extras) < 0) {
        return -1;
    }
    return init_bound(op, bound, extras.get());
}

}  // namespace

int bar_data_init_values(PyObject* self, PyObject* ticker, const BarValues& values) {
    if (attach_zeroed_record(self, ticker) < 0 || call_base_initialiser(self, ticker, values.timestamp, nullptr) < 0) {
        return -1;
    }
    unsigned char* record = record_of(self);  // afresh: the base initialiser may have run code
    if (record == nullptr) {
        return -1;
    }
    store_fields(record, values);
    store_double(record, kBarSpan, values.bar_span);
    return 0;
}

int bar_data_init_vectorcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[kParameterCount];
    OwnedRef extras;
    if (bind_vectorcall(init_signature, args, nargs, kwnames, bound, &extras) < 0) {
        return -1;
    }
    return init_bound(self, bound, extras.get());
}

bool is_bar_data_init(PyObject* descriptor) {
    return Py_IS_TYPE(descriptor, &PyWrapperDescr_Type) &&
           reinterpret_cast<PyWrapperDescrObject*>(descriptor)->d_common.d_type == &BarDataType &&
           reinterpret_cast<PyWrapperDescrObject*>(descriptor)->d_wrapped == reinterpret_cast<void*>(bar_init);
}

namespace {

// Calling the class itself: allocation and initialisation without building
// an argument tuple or dictionary.  Subclasses do not inherit this and are
// called the usual way.
PyObject* bar_class_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    OwnedRef obj = OwnedRef::steal(bar_new(reinterpret_cast<PyTypeObject*>(type), constants.empty_tuple, nullptr));
    if (!obj) {
        return nullptr;
    }
    PyObject* bound[kParameterCount];
    OwnedRef extras;
    if (bind_vectorcall(init_signature, args, PyVectorcall_NARGS(nargsf), kwnames, bound, &extras) < 0 ||
        init_bound(obj.get(), bound, extras.get()) < 0) {
        return nullptr;
    }
    return obj.release();
}

// ---- properties --------------------------------------------------------------

template <std::size_t offset>
PyObject* get_float_field(PyObject* op, void* /*closure*/) {
    const unsigned char* record = record_of(op);
    return record ? PyFloat_FromDouble(load_double(record, offset)) : nullptr;
}

PyObject* get_trade_count(PyObject* op, void*) {
    const unsigned char* record = record_of(op);
    return record ? PyLong_FromUnsignedLong(load_uint32(record, kTradeCount)) : nullptr;
}

PyObject* get_start_timestamp(PyObject* op, void*) {
    const unsigned char* record = record_of(op);
    return record ? PyFloat_FromDouble(load_double(record, kTimestamp) - load_double(record, kBarSpan)) : nullptr;
}

PyObject* get_bar_span(PyObject* op, void*) {
    const unsigned char* record = record_of(op);
    if (record == nullptr) {
        return nullptr;
    }
    double span = load_double(record, kBarSpan);
    // Whole seconds that fit an int make the same timedelta directly (it
    // normalises them into days and seconds as the keyword call does).
    if (span >= INT_MIN && span <= INT_MAX && span == std::trunc(span)) {
        return PyDelta_FromDSU(0, static_cast<int>(span), 0);
    }
    OwnedRef seconds = OwnedRef::steal(PyFloat_FromDouble(span));
    if (!seconds) {
        return nullptr;
    }
    PyObject* args[] = {seconds.get()};
    return PyObject_Vectorcall(constants.timedelta_type, args, 0, constants.seconds_kwnames);
}

PyObject* get_vwap(PyObject* op, void*) {
    const unsigned char* record = record_of(op);
    if (record == nullptr) {
        return nullptr;
    }
    double volume = load_double(record, kVolume);
    if (volume <= 0.0) {
        return PyFloat_FromDouble(std::numeric_limits<double>::quiet_NaN());
    }
    return PyFloat_FromDouble(load_double(record, kNotional) / volume);
}

PyObject* get_bar_type(PyObject* op, void*) {
    const unsigned char* record = record_of(op);
    if (record == nullptr) {
        return nullptr;
    }
    double span = load_double(record, kBarSpan);
    PyObject* label = span > 3600.0    ? constants.label_hourly_plus
                      : span == 3600.0 ? constants.label_hourly
                      : span > 60.0    ? constants.label_minute_plus
                      : span == 60.0   ? constants.label_minute
                                       : constants.label_sub_minute;
    return Py_NewRef(label);
}

// `PROFILE` as a name of the module, looked up at each call: the module
// namespace first, then the builtins.
PyObject* lookup_profile() {
    PyObject* profile = nullptr;
    if (module_globals != nullptr && PyDict_GetItemRef(module_globals, names.PROFILE, &profile) != 0) {
        return profile;  // found, or null with the lookup's error
    }
    OwnedRef builtins = OwnedRef::steal(PyEval_GetFrameBuiltins());
    if (!builtins) {
        return nullptr;
    }
    if (PyDict_GetItemRef(builtins.get(), names.PROFILE, &profile) != 0) {
        return profile;
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", names.PROFILE);
    return nullptr;
}

// datetime.datetime.fromtimestamp(self.<attribute>, tz=PROFILE.time_zone)
PyObject* time_of(PyObject* op, PyObject* attribute) {
    if (record_of(op) == nullptr) {
        return nullptr;
    }
    OwnedRef timestamp = OwnedRef::steal(PyObject_GetAttr(op, attribute));
    if (!timestamp) {
        return nullptr;
    }
    OwnedRef profile = OwnedRef::steal(lookup_profile());
    if (!profile) {
        return nullptr;
    }
    OwnedRef zone = OwnedRef::steal(PyObject_GetAttr(profile.get(), names.time_zone));
    if (!zone) {
        return nullptr;
    }
    PyObject* args[] = {timestamp.get(), zone.get()};
    return PyObject_Vectorcall(constants.fromtimestamp, args, 1, constants.tz_kwnames);
}

PyObject* get_bar_end_time(PyObject* op, void*) { return time_of(op, names.timestamp); }
PyObject* get_bar_start_time(PyObject* op, void*) { return time_of(op, names.start_timestamp); }
PyObject* get_market_price(PyObject* op, void*) { return PyObject_GetAttr(op, names.close_price); }

PyGetSetDef bar_getset[] = {
    {"high_price", get_float_field<kHighPrice>, nullptr, PyDoc_STR("Get the highest price during the bar."),
     nullptr},
    {"low_price", get_float_field<kLowPrice>, nullptr, PyDoc_STR("Get the lowest price during the bar."),
     nullptr},
    {"open_price", get_float_field<kOpenPrice>, nullptr, PyDoc_STR("Get the opening price of the bar."),
     nullptr},
    {"close_price", get_float_field<kClosePrice>, nullptr, PyDoc_STR("Get the closing price of the bar."),
     nullptr},
    {"volume", get_float_field<kVolume>, nullptr, PyDoc_STR("Get the total volume of trades during the bar."),
     nullptr},
    {"notional", get_float_field<kNotional>, nullptr,
     PyDoc_STR("Get the total notional value of trades during the bar."), nullptr},
    {"trade_count", get_trade_count, nullptr, PyDoc_STR("Get the number of trades that occurred during the bar."),
     nullptr},
    {"start_timestamp", get_start_timestamp, nullptr, PyDoc_STR("Get the start time of the bar."), nullptr},
    {"bar_span_seconds", get_float_field<kBarSpan>, nullptr, PyDoc_STR("Get the duration of the bar."), nullptr},
    {"bar_span", get_bar_span, nullptr, nullptr, nullptr},
    {"vwap", get_vwap, nullptr, PyDoc_STR("Get the volume-weighted average price for the bar."), nullptr},
    {"bar_type", get_bar_type, nullptr,
     PyDoc_STR("Determines the type of the bar based on its span.\n"
               "\n"
               "Returns:\n"
               "    Literal['Hourly-Plus', 'Hourly', 'Minute-Plus', 'Minute', 'Sub-Minute']: The type of the bar."),
     nullptr},
    {"bar_end_time", get_bar_end_time, nullptr,
     PyDoc_STR("The end time of the bar.\n"
               "\n"
               "Returns:\n"
               "    datetime | date: The end time of the bar."),
     nullptr},
    {"bar_start_time", get_bar_start_time, nullptr,
     PyDoc_STR("The start time of the bar.\n"
               "\n"
               "Returns:\n"
               "    datetime: The start time of the bar."),
     nullptr},
    {"market_price", get_market_price, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- item access and text form ---------------------------------------------

struct ItemField {
    PyObject* const* key;
    std::size_t offset;
    bool is_count;  // the unsigned 32-bit trade count; the others are float64
};

const ItemField item_fields[] = {
    {&names.high_price, kHighPrice, false}, {&names.low_price, kLowPrice, false},
    {&names.open_price, kOpenPrice, false}, {&names.close_price, kClosePrice, false},
    {&names.volume, kVolume, false},        {&names.notional, kNotional, false},
    {&names.trade_count, kTradeCount, true},
};

// The field of an exact-str key, or null.  Identity first: keys written in
// code are interned, so equality is rarely needed.
const ItemField* find_item_field(PyObject* key) {
    for (const ItemField& field : item_fields) {
        if (*field.key == key) {
            return &field;
        }
    }
    for (const ItemField& field : item_fields) {
        if (PyUnicode_Compare(*field.key, key) == 0) {
            return &field;
        }
    }
    return nullptr;
}

PyObject* bar_getitem(PyObject* op, PyObject* key) {
    if (!PyUnicode_CheckExact(key)) {
        raise_argument_type("key", "str", key);
        return nullptr;
    }
    const ItemField* field = find_item_field(key);
    if (field == nullptr) {
        OwnedRef message = OwnedRef::steal(PyUnicode_FromFormat("Can not get %U value.", key));
        if (message) {
            PyErr_SetObject(PyExc_KeyError, message.get());
        }
        return nullptr;
    }
    const unsigned char* record = record_of(op);
    if (record == nullptr) {
        return nullptr;
    }
    if (field->is_count) {
        return PyLong_FromUnsignedLong(load_uint32(record, field->offset));
    }
    return PyFloat_FromDouble(load_double(record, field->offset));
}

int bar_delitem(PyObject* op, PyObject* key) {
    PyMappingMethods* base_mapping = market_data_type->tp_as_mapping;
    if (base_mapping != nullptr && base_mapping->mp_ass_subscript != nullptr) {
        return base_mapping->mp_ass_subscript(op, key, nullptr);
    }
    PyErr_Format(PyExc_NotImplementedError, "Subscript deletion not supported by %T", op);
    return -1;
}

int bar_setitem(PyObject* op, PyObject* key, PyObject* value) {
    if (value == nullptr) {
        return bar_delitem(op, key);
    }
    if (!PyUnicode_CheckExact(key)) {
        raise_argument_type("key", "str", key);
        return -1;
    }
    const ItemField* field = find_item_field(key);
    if (field == nullptr) {
        OwnedRef text = OwnedRef::steal(PyObject_Format(value, constants.empty_str));
        if (!text) {
            return -1;
        }
        OwnedRef message = OwnedRef::steal(PyUnicode_FromFormat("Can not set %U to the value %U.", key, text.get()));
        if (message) {
            PyErr_SetObject(PyExc_KeyError, message.get());
        }
        return -1;
    }
    if (record_of(op) == nullptr) {
        return -1;
    }
    double number = 0.0;
    std::uint32_t count = 0;
    if (field->is_count ? to_uint32(value, &count) < 0 : to_double(value, &number) < 0) {
        return -1;
    }
    // The conversion may have run arbitrary code: look at the object afresh.
    MarketDataObject* self = as_bar(op);
    unsigned char* record = record_of(op);
    if (record == nullptr) {
        return -1;
    }
    if (self->_owner == 0 && !view_is_writable(self)) {
        PyErr_Format(PyExc_TypeError, "cannot assign to %N: its memory is read-only", Py_TYPE(op));
        return -1;
    }
    if (field->is_count) {
        store_uint32(record, field->offset, count);
    } else {
        store_double(record, field->offset, number);
    }
    return 0;
}

// Integer indexing goes to the mapping subscript, which refuses non-str keys.
PyObject* bar_sq_item(PyObject* op, Py_ssize_t index) {
    OwnedRef key = OwnedRef::steal(PyLong_FromSsize_t(index));
    if (!key) {
        return nullptr;
    }
    PyMappingMethods* mapping = Py_TYPE(op)->tp_as_mapping;
    if (mapping == nullptr || mapping->mp_subscript == nullptr) {
        PyErr_Format(PyExc_TypeError, "'%T' object is not subscriptable", op);
        return nullptr;
    }
    return mapping->mp_subscript(op, key.get());
}

PyMappingMethods bar_as_mapping = {nullptr, bar_getitem, bar_setitem};
PySequenceMethods bar_as_sequence = {};

}  // namespace

int text_pieces(PyObject* self, PyObject* time_attribute, PyObject* (*format_time)(PyObject*),
                OwnedRef (&text)[kTextPieces]) {
    PyObject* const attributes[kTextPieces] = {time_attribute,   names.ticker,    names.open_price, names.high_price,
                                               names.low_price, names.close_price, names.volume};
    for (std::size_t i = 0; i < kTextPieces; ++i) {
        OwnedRef value = OwnedRef::steal(PyObject_GetAttr(self, attributes[i]));
        if (!value) {
            return -1;
        }
        text[i] = OwnedRef::steal(i == 0 ? format_time(value.get()) : PyObject_Format(value.get(), constants.empty_str));
        if (!text[i]) {
            return -1;
        }
    }
    return 0;
}

namespace {

// format(value, "%Y-%m-%d %H:%M:%S").  A plain datetime with a four-digit
// year gives the same text from its fields, without strftime.
PyObject* format_market_time(PyObject* value) {
    if (PyDateTime_CheckExact(value) && PyDateTime_GET_YEAR(value) >= 1000) {
        return PyUnicode_FromFormat("%04d-%02d-%02d %02d:%02d:%02d", PyDateTime_GET_YEAR(value),
                                    PyDateTime_GET_MONTH(value), PyDateTime_GET_DAY(value),
                                    PyDateTime_DATE_GET_HOUR(value), PyDateTime_DATE_GET_MINUTE(value),
                                    PyDateTime_DATE_GET_SECOND(value));
    }
    return PyObject_Format(value, constants.time_format);
}

PyObject* bar_repr(PyObject* op) {
    if (as_bar(op)->_data == nullptr) {
        return PyUnicode_FromString("<BarData>(uninitialized)");
    }
    OwnedRef text[kTextPieces];
    if (text_pieces(op, names.market_time, format_market_time, text) < 0) {
        return nullptr;
    }
    return PyUnicode_FromFormat("<BarData>([%U] %U, open=%U, high=%U, low=%U, close=%U, volume=%U)", text[0].get(),
                                text[1].get(), text[2].get(), text[3].get(), text[4].get(), text[5].get(),
                                text[6].get());
}

// ---- byte forms, copying, pickling -------------------------------------------

int bar_getbuffer(PyObject* op, Py_buffer* view, int flags) {
    _MarketDataBuffer* data = as_bar(op)->_data;
    if (data == nullptr) {
        view->obj = nullptr;
        PyErr_SetString(PyExc_ValueError, "Cannot get buffer from uninitialized data");
        return -1;
    }
    return PyBuffer_FillInfo(view, op, data, static_cast<Py_ssize_t>(kBarRecordSize), 1, flags);
}

PyBufferProcs bar_as_buffer = {bar_getbuffer, nullptr};

// The record as bytes, for native callers of the table.  The base's version
// sizes the copy by the class's `_dtype`, but a bar's record is one
// `_CandlestickBuffer` whatever kind its class names: reading more would run
// past the allocation (or past a view's buffer).
PyObject* bar_to_bytes(MarketDataObject* self) {
    const unsigned char* record = record_of(reinterpret_cast<PyObject*>(self));
    return record != nullptr ? PyBytes_FromStringAndSize(reinterpret_cast<const char*>(record),
                                                         static_cast<Py_ssize_t>(kBarRecordSize))
                             : nullptr;
}

// cls.__new__(cls), which must give a BarData without a record.
PyObject* allocate_instance(PyObject* cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    OwnedRef obj = OwnedRef::steal(type->tp_new(type, constants.empty_tuple, nullptr));
    if (!obj) {
        return nullptr;
    }
    if (!PyObject_TypeCheck(obj.get(), &BarDataType)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(obj.get())->tp_name,
                     BarDataType.tp_name);
        return nullptr;
    }
    // A __new__ that hands back a live bar must not have its record replaced
    // under whoever uses it.
    if (as_bar(obj.get())->_data != nullptr) {
        PyErr_Format(PyExc_TypeError, "%N.__new__() returned a bar that already holds a record", type);
        return nullptr;
    }
    return obj.release();
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

// Interned names of the class methods' single parameters.
PyObject* name_buffer = nullptr;
PyObject* name_data = nullptr;
PyObject* const* const buffer_parameter[] = {&name_buffer};
PyObject* const* const data_parameter[] = {&name_data};
const Signature from_buffer_signature{"from_buffer", buffer_parameter, 1, 1};
const Signature from_bytes_signature{"from_bytes", data_parameter, 1, 1};

PyObject* bar_from_buffer(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* buffer = nullptr;
    if (bind_vectorcall(from_buffer_signature, args, nargs, kwnames, &buffer, nullptr) < 0) {
        return nullptr;
    }
    OwnedRef pin;
    Py_ssize_t length = 0;
    if (buffer != Py_None) {
        pin = OwnedRef::steal(acquire_pin(buffer));
        if (!pin) {
            return nullptr;
        }
        const Py_buffer& view = reinterpret_cast<BufferPin*>(pin.get())->view;
        if (validate_view(view) < 0) {
            return nullptr;
        }
        length = view.len;
    }
    OwnedRef obj = OwnedRef::steal(allocate_instance(cls));
    if (!obj) {
        return nullptr;
    }
    if (length == 0) {
        PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0);
        return nullptr;
    }
    const Py_buffer& view = reinterpret_cast<BufferPin*>(pin.get())->view;
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
    MarketDataObject* self = as_bar(obj.get());
    self->vtable->_set_additional(self, pin_key(), pin.get());
    if (PyErr_Occurred()) {
        return nullptr;
    }
    self->_owner = 0;
    self->_data = static_cast<_MarketDataBuffer*>(view.buf);
    return obj.release();
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
    OwnedRef obj = OwnedRef::steal(allocate_instance(cls));
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
    MarketDataObject* self = as_bar(obj.get());
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
    if (as_bar(op)->_data == nullptr) {
        PyErr_SetString(PyExc_ValueError, "Cannot copy uninitialized data");
        return nullptr;
    }
    OwnedRef obj = OwnedRef::steal(bar_new(&BarDataType, constants.empty_tuple, nullptr));
    if (!obj) {
        return nullptr;
    }
    // The allocation may have run the collector, and with it arbitrary
    // code: the source record is looked up afresh.
    const _MarketDataBuffer* source = as_bar(op)->_data;
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
    as_bar(obj.get())->_owner = 1;
    as_bar(obj.get())->_data = record;
    return obj.release();
}

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
    bar_as_sequence.sq_item = bar_sq_item;
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
    if (PyDateTimeAPI == nullptr) {
        PyDateTime_IMPORT;
        if (PyDateTimeAPI == nullptr) {
            return -1;
        }
    }
    if (intern_once(&name_buffer, "buffer") < 0 || intern_once(&name_data, "data") < 0 ||
        ready_buffer_pin_type() < 0) {
        return -1;
    }
    bar_data_vtable = *base_vtable;
    bar_data_vtable.to_bytes = bar_to_bytes;  // a bar's record is 101 bytes, whatever its class's `_dtype`
    if (!PyType_HasFeature(&BarDataType, Py_TPFLAGS_READY)) {
        // A static class cannot derive from a class made at run time; refuse
        // before touching BarData, so that a later import can still ready it.
        if (PyType_HasFeature(base, Py_TPFLAGS_HEAPTYPE)) {
            PyErr_Format(PyExc_TypeError,
                         "%s needs a base class defined by an extension module, not one made at run time (%N)",
                         "tarnwick.base.candlestick.BarData", base);
            return -1;
        }
        market_data_type = base;
        describe_bar_data_type(base);
        if (PyType_Ready(&BarDataType) < 0) {
            return -1;
        }
    }
    header_writer = find_header_writer(market_data_type);
    if (set_slot_wrapper_doc("__init__", &init_wrapper_base, "Initialize the bar data with values.") < 0 ||
        set_slot_wrapper_doc("__repr__", &repr_wrapper_base, "String representation of the bar data.") < 0) {
        return -1;
    }
    OwnedRef capsule = OwnedRef::steal(PyCapsule_New(&bar_data_vtable, kVTableCapsuleName, nullptr));
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

void set_bar_data_globals(PyObject* module_dict) { Py_XSETREF(module_globals, Py_XNewRef(module_dict)); }

}  // namespace tarnwick
