// `BarData`: one intraday bar of one ticker over a span of seconds that ends
// at the bar's timestamp.  Its values live in one packed 101-byte record,
// which the object either owns (constructor, from_bytes, copy) or views in
// someone else's buffer (from_buffer).  Every member reads or writes that
// record in place; nothing is cached.
//
// This file: construction, fields, item access and the text form (the other
// files of the class are listed in bar_slots.hpp).
#include "bar_slots.hpp"

#include <datetime.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

#include "arguments.hpp"
#include "conversions.hpp"
#include "pyref.hpp"

namespace tarnwick {
namespace {

// ---- construction ------------------------------------------------------------

// Positions of the constructor's parameters, in the order of its signature.
enum class Param : std::uint8_t {
    ticker,
    timestamp,
    high_price,
    low_price,
    open_price,
    close_price,
    volume,
    notional,
    trade_count,
    start_timestamp,
    bar_span,
    count
};
constexpr Py_ssize_t kParameterCount = static_cast<Py_ssize_t>(Param::count);

// The arguments bound to the parameters, borrowed; null where not given.
class BoundArguments {
public:
    PyObject** slots() { return arguments_; }  // for the binding, in parameter order
    PyObject* operator[](Param parameter) const { return arguments_[static_cast<std::size_t>(parameter)]; }

private:
    PyObject* arguments_[kParameterCount];  // every one set by the binding
};

PyObject* const* const init_parameter_names[kParameterCount] = {
    &names.ticker,     &names.timestamp, &names.high_price,  &names.low_price,
    &names.open_price, &names.close_price, &names.volume,    &names.notional,
    &names.trade_count, &names.start_timestamp, &names.bar_span,
};

const Signature init_signature{"BarData.__init__", init_parameter_names, kParameterCount, 6,
                               &state.bar_init_keywords};

}  // namespace

PyObject* bar_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    PyObject* obj = state.market_data_type->tp_new(type, args, kwds);
    if (obj == nullptr) {
        return nullptr;
    }
    as_market_data(obj)->vtable = &state.bar_data_vtable;
    as_market_data(obj)->_owner = 1;
    return obj;
}

namespace {

// MarketData.__init__(self, ticker=ticker, timestamp=timestamp, **extras),
// the attribute fetched from the base class itself.
int call_base_initialiser(PyObject* self, PyObject* ticker, double timestamp, PyObject* extras) {
    if (extras == nullptr && state.header_writer != nullptr) {
        return state.header_writer(as_market_data(self), ticker, timestamp);
    }
    OwnedRef init = OwnedRef::steal(
        PyObject_GetAttr(reinterpret_cast<PyObject*>(state.market_data_type), names.dunder_init));
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

// The fields the constructor writes itself, all but the span; the header is
// the base initialiser's.
void write_fields(void* record, const BarValues& values) {
    write_field(record, bar::high_price, values.high);
    write_field(record, bar::low_price, values.low);
    write_field(record, bar::open_price, values.open);
    write_field(record, bar::close_price, values.close);
    write_field(record, bar::volume, values.volume);
    write_field(record, bar::notional, values.notional);
    write_field(record, bar::trade_count, values.trade_count);
}

// The checks before a record is touched, in their order: the ticker's type,
// then the view refusal.
int check_ticker_and_owner(PyObject* op, PyObject* ticker) {
    if (ticker != Py_None && !PyUnicode_CheckExact(ticker)) {
        raise_argument_type("ticker", "str", ticker);
        return -1;
    }
    if (as_market_data(op)->_owner == 0) {
        return refuse_view_initialisation(op);
    }
    return 0;
}

// Runs `refill` (zeros, header, fields) on the record of an owning bar.  A
// bar without a record gets a new one.  A bar initialised again refills the
// record it has: no memory is lost, and buffer views taken earlier stay
// valid; a refill that fails puts back the record and the extra attributes
// as they were (the store is an immutable tuple, so keeping it keeps its
// contents), so a failed call changes nothing.
template <typename Refill>
[[gnu::always_inline]] inline int fill_or_keep(PyObject* op, Refill&& refill) {
    MarketDataObject* self = as_market_data(op);
    if (self->_data == nullptr) {
        self->_data = static_cast<_MarketDataBuffer*>(PyMem_Malloc(kBarRecordSize));
        if (self->_data == nullptr) {
            PyErr_SetString(PyExc_MemoryError, "Failed to allocate memory for BarData");
            return -1;
        }
        return refill();
    }
    unsigned char saved_record[kBarRecordSize];
    std::memcpy(saved_record, self->_data, kBarRecordSize);
    OwnedRef saved_store = OwnedRef::borrow(self->_additional);
    if (refill() == 0) {
        return 0;
    }
    if (self->_data != nullptr) {
        std::memcpy(self->_data, saved_record, kBarRecordSize);
    }
    Py_XSETREF(self->_additional, saved_store.release());
    return -1;
}

// Zeros the record, then has the base initialiser write the header.
int zero_and_write_header(PyObject* op, PyObject* ticker, double timestamp, PyObject* extras) {
    // A copy from a constant of zeros: a few wide stores, where a memset of
    // this odd size becomes a slow string instruction.
    static constexpr unsigned char kZeroRecord[kBarRecordSize] = {};
    std::memcpy(as_market_data(op)->_data, kZeroRecord, kBarRecordSize);
    return call_base_initialiser(op, ticker, timestamp, extras);
}

// Writes the record of an owning bar from bound arguments whose numbers are
// already converted (`start` is start_timestamp, 0 when not given): zeros,
// the header, then the span and the fields.
[[gnu::always_inline]] inline int fill_record(PyObject* op, const BoundArguments& arg, PyObject* extras,
                                              const BarValues& values, double start) {
    if (zero_and_write_header(op, arg[Param::ticker], values.timestamp, extras) < 0) {
        return -1;
    }

    double span = 0.0;
    OwnedRef span_obj;  // a span still to be converted (from total_seconds or float())
    PyObject* bar_span = arg[Param::bar_span];
    if (bar_span == nullptr || bar_span == Py_None) {
        if (start == 0.0) {
            PyErr_SetString(PyExc_ValueError, "Must assign either start_timestamp or bar_span or both.");
            return -1;
        }
        span = values.timestamp - start;
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
    void* record = record_of(op);
    if (record == nullptr) {
        return -1;
    }
    write_fields(record, values);
    if (span_obj && to_double(span_obj.get(), &span) < 0) {
        return -1;
    }
    record = record_of(op);  // the conversion may have run code as well
    if (record == nullptr) {
        return -1;
    }
    write_field(record, bar::bar_span, span);
    return 0;
}

// The constructor's steps after binding, in their order: conversions, the
// ticker check, the view check, the record, the base initialiser, the span
// and the fields.
int init_bound(PyObject* op, const BoundArguments& arg, PyObject* extras) {
    BarValues values{};
    double start = 0.0;
    if (to_double(arg[Param::timestamp], &values.timestamp) < 0 ||
        to_double(arg[Param::high_price], &values.high) < 0 || to_double(arg[Param::low_price], &values.low) < 0 ||
        to_double(arg[Param::open_price], &values.open) < 0 || to_double(arg[Param::close_price], &values.close) < 0 ||
        (arg[Param::volume] != nullptr && to_double(arg[Param::volume], &values.volume) < 0) ||
        (arg[Param::notional] != nullptr && to_double(arg[Param::notional], &values.notional) < 0) ||
        (arg[Param::trade_count] != nullptr && to_uint32(arg[Param::trade_count], &values.trade_count) < 0) ||
        (arg[Param::start_timestamp] != nullptr && to_double(arg[Param::start_timestamp], &start) < 0)) {
        return -1;
    }
    if (check_ticker_and_owner(op, arg[Param::ticker]) < 0) {
        return -1;
    }
    return fill_or_keep(op, [&] { return fill_record(op, arg, extras, values, start); });
}

}  // namespace

int bar_init(PyObject* op, PyObject* args, PyObject* kwds) {
    BoundArguments bound;
    OwnedRef extras;
    if (bind_tuple_and_dict(init_signature, args, kwds, bound.slots(), &extras) < 0) {
        return -1;
    }
    return init_bound(op, bound, extras.get());
}

int bar_data_init_vectorcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound;
    OwnedRef extras;
    if (bind_vectorcall(init_signature, args, nargs, kwnames, bound.slots(), &extras) < 0) {
        return -1;
    }
    return init_bound(self, bound, extras.get());
}

int bar_data_init_values(PyObject* self, PyObject* ticker, const BarValues& values) {
    if (check_ticker_and_owner(self, ticker) < 0) {
        return -1;
    }
    return fill_or_keep(self, [&] {
        if (zero_and_write_header(self, ticker, values.timestamp, nullptr) < 0) {
            return -1;
        }
        void* record = record_of(self);  // afresh: the base initialiser may have run code
        if (record == nullptr) {
            return -1;
        }
        write_fields(record, values);
        write_field(record, bar::bar_span, values.bar_span);
        return 0;
    });
}

bool is_bar_data_init(PyObject* descriptor) {
    return Py_IS_TYPE(descriptor, &PyWrapperDescr_Type) &&
           reinterpret_cast<PyWrapperDescrObject*>(descriptor)->d_common.d_type == &BarDataType &&
           reinterpret_cast<PyWrapperDescrObject*>(descriptor)->d_wrapped == reinterpret_cast<void*>(bar_init);
}

// Calling the class itself: allocation and initialisation without building
// an argument tuple or dictionary.  Subclasses do not inherit this and are
// called the usual way.
PyObject* bar_class_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    OwnedRef obj = OwnedRef::steal(bar_new(reinterpret_cast<PyTypeObject*>(type), constants.empty_tuple, nullptr));
    if (!obj) {
        return nullptr;
    }
    BoundArguments bound;
    OwnedRef extras;
    if (bind_vectorcall(init_signature, args, PyVectorcall_NARGS(nargsf), kwnames, bound.slots(), &extras) < 0 ||
        init_bound(obj.get(), bound, extras.get()) < 0) {
        return nullptr;
    }
    return obj.release();
}

namespace {

// ---- properties --------------------------------------------------------------

template <Field<double> field>
PyObject* get_float_field(PyObject* op, void* /*closure*/) {
    const void* record = record_of(op);
    return record ? PyFloat_FromDouble(read_field(record, field)) : nullptr;
}

PyObject* get_trade_count(PyObject* op, void*) {
    const void* record = record_of(op);
    return record ? PyLong_FromUnsignedLong(read_field(record, bar::trade_count)) : nullptr;
}

PyObject* get_start_timestamp(PyObject* op, void*) {
    const void* record = record_of(op);
    if (record == nullptr) {
        return nullptr;
    }
    return PyFloat_FromDouble(read_field(record, header::timestamp) - read_field(record, bar::bar_span));
}

PyObject* get_bar_span(PyObject* op, void*) {
    const void* record = record_of(op);
    if (record == nullptr) {
        return nullptr;
    }
    double span = read_field(record, bar::bar_span);
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
    const void* record = record_of(op);
    if (record == nullptr) {
        return nullptr;
    }
    double volume = read_field(record, bar::volume);
    if (volume <= 0.0) {
        return PyFloat_FromDouble(std::numeric_limits<double>::quiet_NaN());
    }
    return PyFloat_FromDouble(read_field(record, bar::notional) / volume);
}

PyObject* get_bar_type(PyObject* op, void*) {
    const void* record = record_of(op);
    if (record == nullptr) {
        return nullptr;
    }
    double span = read_field(record, bar::bar_span);
    PyObject* label = span > 3600.0    ? constants.label_hourly_plus
                      : span == 3600.0 ? constants.label_hourly
                      : span > 60.0    ? constants.label_minute_plus
                      : span == 60.0   ? constants.label_minute
                                       : constants.label_sub_minute;
    return Py_NewRef(label);
}

// `PROFILE` as a name of the module, looked up at each call: the module
// namespace first, then the builtins.
OwnedRef lookup_profile() {
    PyObject* profile = nullptr;
    if (state.module_globals != nullptr && PyDict_GetItemRef(state.module_globals, names.PROFILE, &profile) != 0) {
        return OwnedRef::steal(profile);  // found, or null with the lookup's error
    }
    OwnedRef builtins = OwnedRef::steal(PyEval_GetFrameBuiltins());
    if (!builtins) {
        return {};
    }
    if (PyDict_GetItemRef(builtins.get(), names.PROFILE, &profile) != 0) {
        return OwnedRef::steal(profile);
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", names.PROFILE);
    return {};
}

// datetime.datetime.fromtimestamp(self.<attribute>, tz=PROFILE.time_zone)
OwnedRef time_of(PyObject* op, PyObject* attribute) {
    if (record_of(op) == nullptr) {
        return {};
    }
    OwnedRef timestamp = OwnedRef::steal(PyObject_GetAttr(op, attribute));
    if (!timestamp) {
        return {};
    }
    OwnedRef profile = lookup_profile();
    if (!profile) {
        return {};
    }
    OwnedRef zone = OwnedRef::steal(PyObject_GetAttr(profile.get(), names.time_zone));
    if (!zone) {
        return {};
    }
    PyObject* args[] = {timestamp.get(), zone.get()};
    return OwnedRef::steal(PyObject_Vectorcall(constants.fromtimestamp, args, 1, constants.tz_kwnames));
}

PyObject* get_bar_end_time(PyObject* op, void*) { return time_of(op, names.timestamp).release(); }
PyObject* get_bar_start_time(PyObject* op, void*) { return time_of(op, names.start_timestamp).release(); }
PyObject* get_market_price(PyObject* op, void*) { return PyObject_GetAttr(op, names.close_price); }

}  // namespace

PyGetSetDef bar_getset[] = {
    {"high_price", get_float_field<bar::high_price>, nullptr, PyDoc_STR("Get the highest price during the bar."),
     nullptr},
    {"low_price", get_float_field<bar::low_price>, nullptr, PyDoc_STR("Get the lowest price during the bar."),
     nullptr},
    {"open_price", get_float_field<bar::open_price>, nullptr, PyDoc_STR("Get the opening price of the bar."),
     nullptr},
    {"close_price", get_float_field<bar::close_price>, nullptr, PyDoc_STR("Get the closing price of the bar."),
     nullptr},
    {"volume", get_float_field<bar::volume>, nullptr, PyDoc_STR("Get the total volume of trades during the bar."),
     nullptr},
    {"notional", get_float_field<bar::notional>, nullptr,
     PyDoc_STR("Get the total notional value of trades during the bar."), nullptr},
    {"trade_count", get_trade_count, nullptr, PyDoc_STR("Get the number of trades that occurred during the bar."),
     nullptr},
    {"start_timestamp", get_start_timestamp, nullptr, PyDoc_STR("Get the start time of the bar."), nullptr},
    {"bar_span_seconds", get_float_field<bar::bar_span>, nullptr, PyDoc_STR("Get the duration of the bar."), nullptr},
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

namespace {

struct ItemField {
    PyObject* const* key;
    Field<double> number;
    bool is_count;  // the unsigned 32-bit trade count instead of a float64
};

const ItemField item_fields[] = {
    {&names.high_price, bar::high_price, false}, {&names.low_price, bar::low_price, false},
    {&names.open_price, bar::open_price, false}, {&names.close_price, bar::close_price, false},
    {&names.volume, bar::volume, false},         {&names.notional, bar::notional, false},
    {&names.trade_count, {}, true},
};

// The field of an exact-str key, or null.
const ItemField* find_item_field(PyObject* key) {
    constexpr Py_ssize_t count = sizeof item_fields / sizeof item_fields[0];
    Py_ssize_t index = find_name(key, count, [](Py_ssize_t i) { return *item_fields[i].key; });
    return index >= 0 ? &item_fields[index] : nullptr;
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
    const void* record = record_of(op);
    if (record == nullptr) {
        return nullptr;
    }
    if (field->is_count) {
        return PyLong_FromUnsignedLong(read_field(record, bar::trade_count));
    }
    return PyFloat_FromDouble(read_field(record, field->number));
}

int bar_delitem(PyObject* op, PyObject* key) {
    PyMappingMethods* base_mapping = state.market_data_type->tp_as_mapping;
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
    MarketDataObject* self = as_market_data(op);
    void* record = record_of(op);
    if (record == nullptr) {
        return -1;
    }
    if (self->_owner == 0 && !view_is_writable(self)) {
        PyErr_Format(PyExc_TypeError, "cannot assign to %N: its memory is read-only", Py_TYPE(op));
        return -1;
    }
    if (field->is_count) {
        write_field(record, bar::trade_count, count);
    } else {
        write_field(record, field->number, number);
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

}  // namespace

PyMappingMethods bar_as_mapping = {nullptr, bar_getitem, bar_setitem};
// Only sq_item, in its place among the ten slots.
PySequenceMethods bar_as_sequence = {nullptr, nullptr, nullptr, bar_sq_item, nullptr,
                                     nullptr, nullptr, nullptr, nullptr,     nullptr};

int text_pieces(PyObject* self, PyObject* time_attribute, OwnedRef (*format_time)(PyObject*),
                OwnedRef (&text)[kTextPieces]) {
    PyObject* const attributes[kTextPieces] = {time_attribute,   names.ticker,    names.open_price, names.high_price,
                                               names.low_price, names.close_price, names.volume};
    for (std::size_t i = 0; i < kTextPieces; ++i) {
        OwnedRef value = OwnedRef::steal(PyObject_GetAttr(self, attributes[i]));
        if (!value) {
            return -1;
        }
        text[i] = i == 0 ? format_time(value.get()) : OwnedRef::steal(PyObject_Format(value.get(), constants.empty_str));
        if (!text[i]) {
            return -1;
        }
    }
    return 0;
}

namespace {

// format(value, "%Y-%m-%d %H:%M:%S").  A plain datetime with a four-digit
// year gives the same text from its fields, without strftime.
OwnedRef format_market_time(PyObject* value) {
    if (PyDateTime_CheckExact(value) && PyDateTime_GET_YEAR(value) >= 1000) {
        return OwnedRef::steal(PyUnicode_FromFormat("%04d-%02d-%02d %02d:%02d:%02d", PyDateTime_GET_YEAR(value),
                                                    PyDateTime_GET_MONTH(value), PyDateTime_GET_DAY(value),
                                                    PyDateTime_DATE_GET_HOUR(value), PyDateTime_DATE_GET_MINUTE(value),
                                                    PyDateTime_DATE_GET_SECOND(value)));
    }
    return OwnedRef::steal(PyObject_Format(value, constants.time_format));
}

}  // namespace

// The datetime module's C interface is kept per file: this file reads it.
int import_datetime_api() {
    if (PyDateTimeAPI == nullptr) {
        PyDateTime_IMPORT;
    }
    return PyDateTimeAPI != nullptr ? 0 : -1;
}

PyObject* bar_repr(PyObject* op) {
    if (as_market_data(op)->_data == nullptr) {
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

}  // namespace tarnwick
