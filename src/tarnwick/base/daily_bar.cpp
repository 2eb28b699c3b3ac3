// `DailyBar`: one ticker's bar over one or more days ending on a market date.
// It reads the same 101-byte record as `BarData`, but its `timestamp` holds
// the date number year * 10000 + month * 100 + day and its `bar_span` the
// number of days.  The class is made at import exactly as a class statement
// would make it, so it behaves like any class written in Python (instance
// dictionary, settable class attributes, subclassable), while its members
// are native functions.  It stands for this class statement in the module
// (helpers written out where the Python would be long):
//
//     class DailyBar(BarData):
//         def __init__(self, ticker, market_date, high_price, low_price, open_price, close_price,
//                      volume=0.0, notional=0.0, trade_count=0, bar_span=1, **kwargs):
//             high_price, low_price, open_price, close_price = map(float, (high_price, ...))
//             volume, notional = float(volume), float(notional)
//             trade_count, bar_span = uint32(trade_count), int32(bar_span)
//             check_type("ticker", ticker, str, or_none=True)          # exactly str
//             check_type("market_date", market_date, date)             # subclasses too
//             if "timestamp" in kwargs:
//                 raise TypeError("function() got multiple values for keyword argument 'timestamp'")
//             super().__init__(
//                 ticker=ticker,
//                 timestamp=market_date.year * 10000 + market_date.month * 100 + market_date.day,
//                 high_price=high_price, low_price=low_price, open_price=open_price,
//                 close_price=close_price, volume=volume, notional=notional,
//                 trade_count=trade_count, bar_span=bar_span, **kwargs)
//
//         def __repr__(self) -> "str":
//             n = super().bar_span_seconds
//             span = "" if n == 1 else f"span={n}d, "
//             return (f"<DailyBar>([{self.market_date}] {self.ticker}, {span}open={self.open_price}, "
//                     f"high={self.high_price}, low={self.low_price}, close={self.close_price}, "
//                     f"volume={self.volume})")
//
//         @property
//         def market_date(self) -> "date":
//             year, rest = divmod(int(self.timestamp), 10000)
//             month, day = divmod(rest, 100)
//             return date(year=year, month=month, day=day)
//
//         @property
//         def market_time(self) -> "date":
//             return as_date(self.market_date)
//
//         @property
//         def bar_start_time(self) -> "date":
//             return as_date(self.market_date - self.bar_span)
//
//         @property
//         def bar_end_time(self) -> "date":
//             return as_date(self.market_date)
//
//         @property
//         def bar_span(self) -> "timedelta":
//             return timedelta(days=super().bar_span_seconds)
//
//         @property
//         def bar_type(self) -> "Literal['Daily', 'Daily-Plus']":
//             n = super().bar_span_seconds
//             if n == 1:
//                 return "Daily"
//             if n > 1:
//                 return "Daily-Plus"
//             raise ValueError(f"Invalid bar_span for {self.__class__.__name__}! "
//                              f"Expect an int greater or equal to 1, got {super().bar_span}.")
//
// (`as_date` lets a date or None through and raises TypeError otherwise.)
// The docstrings are those of the member table below.  What the code adds
// to this is speed: direct paths for the usual case, each guarded by the
// version tags of the classes involved, so that any change to them (a
// member assigned, a class put into the MRO) is honoured.
#include "daily_bar.hpp"

#include <datetime.h>

#include <climits>
#include <cstdint>
#include <string_view>

#include "arguments.hpp"
#include "bar_data.hpp"
#include "candlestick_state.hpp"
#include "common.hpp"
#include "conversions.hpp"
#include "native_function.hpp"
#include "pyref.hpp"

namespace tarnwick {
namespace {

// What the direct paths checked last (candlestick_state.hpp).
constexpr DailyBarPaths& paths = state.daily_paths;

// ---- construction ------------------------------------------------------------

enum Parameter : std::uint8_t {
    kTicker,
    kMarketDate,
    kHigh,
    kLow,
    kOpen,
    kClose,
    kVolume,
    kNotional,
    kTradeCount,
    kBarSpan,
    kParameterCount
};

PyObject* const* const init_parameter_names[kParameterCount] = {
    &names.ticker,     &names.market_date, &names.high_price, &names.low_price,   &names.open_price,
    &names.close_price, &names.volume,     &names.notional,   &names.trade_count, &names.bar_span,
};

const Signature init_signature{"DailyBar.__init__", init_parameter_names, kParameterCount, 6,
                               &state.daily_init_keywords};

// The arguments of the base constructor call, in the order of its keywords.
enum BaseArgument : std::uint8_t {
    kBaseTicker,
    kBaseTimestamp,
    kBaseHigh,  // the six floats: high, low, open, close, volume, notional
    kBaseLow,
    kBaseOpen,
    kBaseClose,
    kBaseVolume,
    kBaseNotional,
    kBaseTradeCount,
    kBaseBarSpan,
    kBaseCount
};

// super().__init__(ticker=..., timestamp=..., ..., bar_span=..., **kwargs)
// with argument objects, for extra keywords or a class between DailyBar and
// BarData; `direct` when the super-call would reach BarData's own initialiser.
int call_base_init(NativeFunction* function, PyObject* self, PyObject* ticker, const BarValues& values,
                   PyObject* extras, bool direct) {
    OwnedRef base_init;
    if (!direct) {
        base_init = super_attribute(function, self, names.dunder_init);
        if (!base_init) {
            return -1;
        }
    }
    const Py_ssize_t n_extras = extras != nullptr ? PyDict_GET_SIZE(extras) : 0;
    const Py_ssize_t count = kBaseCount + n_extras;
    OwnedRef call_kwnames = OwnedRef::borrow(constants.daily_base_kwnames);
    OwnedRef items = OwnedRef::steal(PyTuple_New(count));  // owns the call's arguments
    if (!items) {
        return -1;
    }
    // The date number and the span go as the ints they were converted to.
    const double floats[6] = {values.high, values.low, values.open, values.close, values.volume, values.notional};
    PyObject* item = items.get();
    PyTuple_SET_ITEM(item, kBaseTicker, Py_NewRef(ticker));
    PyTuple_SET_ITEM(item, kBaseTimestamp, PyLong_FromLong(static_cast<long>(values.timestamp)));
    for (int i = 0; i < 6; ++i) {
        PyTuple_SET_ITEM(item, kBaseHigh + i, PyFloat_FromDouble(floats[i]));
    }
    PyTuple_SET_ITEM(item, kBaseTradeCount, PyLong_FromUnsignedLong(values.trade_count));
    PyTuple_SET_ITEM(item, kBaseBarSpan, PyLong_FromLong(static_cast<long>(values.bar_span)));
    for (Py_ssize_t i = 0; i < kBaseCount; ++i) {
        if (PyTuple_GET_ITEM(item, i) == nullptr) {
            return -1;
        }
    }
    if (n_extras > 0) {
        call_kwnames = OwnedRef::steal(PyTuple_New(count));
        if (!call_kwnames) {
            return -1;
        }
        for (Py_ssize_t i = 0; i < kBaseCount; ++i) {
            PyTuple_SET_ITEM(call_kwnames.get(), i, Py_NewRef(PyTuple_GET_ITEM(constants.daily_base_kwnames, i)));
        }
        Py_ssize_t pos = 0;
        Py_ssize_t i = kBaseCount;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(extras, &pos, &key, &value) && i < count) {
            PyTuple_SET_ITEM(call_kwnames.get(), i, Py_NewRef(key));
            PyTuple_SET_ITEM(item, i, Py_NewRef(value));
            ++i;
        }
    }
    PyObject* const* args = &PyTuple_GET_ITEM(item, 0);
    if (direct) {
        return bar_data_init_vectorcall(self, args, 0, call_kwnames.get());
    }
    OwnedRef result = OwnedRef::steal(PyObject_Vectorcall(base_init.get(), args, 0, call_kwnames.get()));
    return result ? 0 : -1;
}

// DailyBar.__init__(self, ...) with the arguments after `self`.
int daily_init_bound(NativeFunction* function, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    PyObject* bound[kParameterCount];
    OwnedRef extras;
    if (bind_vectorcall(init_signature, args, nargs, kwnames, bound, &extras) < 0) {
        return -1;
    }
    // Prices, then volume and notional when given; then trade count and span.
    double floats[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    for (int i = 0; i < 6; ++i) {
        PyObject* value = bound[kHigh + i];
        if (value != nullptr && to_double(value, &floats[i]) < 0) {
            return -1;
        }
    }
    std::uint32_t trade_count = 0;
    std::int32_t bar_span = 1;
    if ((bound[kTradeCount] != nullptr && to_uint32(bound[kTradeCount], &trade_count) < 0) ||
        (bound[kBarSpan] != nullptr && to_int32(bound[kBarSpan], &bar_span) < 0)) {
        return -1;
    }
    PyObject* ticker = bound[kTicker];
    if (ticker != Py_None && !PyUnicode_CheckExact(ticker)) {
        raise_argument_type("ticker", "str", ticker);
        return -1;
    }
    // None has no year, month or day: it is refused like any other non-date.
    PyObject* market_date = bound[kMarketDate];
    if (!PyDate_Check(market_date)) {
        raise_argument_type("market_date", "datetime.date", market_date);
        return -1;
    }
    std::int32_t date_number = PyDateTime_GET_YEAR(market_date) * 10000 + PyDateTime_GET_MONTH(market_date) * 100 +
                               PyDateTime_GET_DAY(market_date);
    const BarValues values{static_cast<double>(date_number), floats[0], floats[1], floats[2], floats[3], floats[4],
                           floats[5], trade_count, static_cast<double>(bar_span)};

    const bool has_extras = extras && PyDict_GET_SIZE(extras.get()) > 0;
    if (has_extras) {
        int collides = PyDict_Contains(extras.get(), names.timestamp);
        if (collides != 0) {
            if (collides > 0) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", "function",
                             names.timestamp);
            }
            return -1;
        }
    }
    // BarData's own initialiser, the usual end of the super-call, takes the
    // converted values directly; anything else gets the keyword call.
    OwnedRef base_init = super_lookup(function, self, names.dunder_init);
    if (PyErr_Occurred()) {
        return -1;
    }
    bool direct = base_init && is_bar_data_init(base_init.get());
    if (direct && !has_extras) {
        return bar_data_init_values(self, ticker, values);
    }
    return call_base_init(function, self, ticker, values, has_extras ? extras.get() : nullptr, direct);
}

PyObject* daily_init(NativeFunction* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return daily_init_bound(function, args[0], args + 1, nargs - 1, kwnames) < 0 ? nullptr : Py_NewRef(Py_None);
}

// ---- calls of the class --------------------------------------------------------

// Calling the class makes the interpreter allocate through the class's
// `__new__` slot, then call the `__init__` found on the class with `self`
// prepended, from an argument tuple and dictionary.  While those are still
// BarData's allocator and the `__init__` defined here, the call goes to
// them directly.  Whatever changes the class (a `__new__` or `__init__`
// assigned, new bases) changes its version tag, and the call is looked at
// again.

// The interpreter's own call of a class, from vectorcall arguments.
PyObject* generic_class_call(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    OwnedRef positional = OwnedRef::steal(PyTuple_New(nargs));
    if (!positional) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(positional.get(), i, Py_NewRef(args[i]));
    }
    OwnedRef keywords;
    Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw > 0) {
        keywords = OwnedRef::steal(PyDict_New());
        if (!keywords) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) {
                return nullptr;
            }
        }
    }
    return Py_TYPE(type)->tp_call(type, positional.get(), keywords.get());
}

PyObject* daily_class_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* type = reinterpret_cast<PyTypeObject*>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    OwnedRef init;
    if (type->tp_new == BarDataType.tp_new && type->tp_init == paths.init_slot) {
        init = find_in_mro(type, nullptr, names.dunder_init, &paths.class_init);
    }
    NativeFunction* function = init ? as_native_function(init.get(), daily_init) : nullptr;
    if (function == nullptr) {
        PyErr_Clear();  // a failed search: the interpreter's call searches again and reports
        return generic_class_call(callable, args, nargs, kwnames);
    }
    // BarData's allocator does not look at the arguments: none are passed.
    OwnedRef self = OwnedRef::steal(type->tp_new(type, constants.empty_tuple, nullptr));
    if (!self || daily_init_bound(function, self.get(), args, nargs, kwnames) < 0) {
        return nullptr;
    }
    return self.release();
}

// ---- dates, span, classification ------------------------------------------------

// Floor division and a remainder that is never negative, as the interpreter's.
void floor_divmod(long long value, long long divisor, long long* quotient, long long* remainder) {
    *quotient = value / divisor;
    *remainder = value % divisor;
    if (*remainder < 0) {
        *remainder += divisor;
        --*quotient;
    }
}

OwnedRef make_date(PyObject* year, PyObject* month, PyObject* day) {
    PyObject* args[] = {year, month, day};
    return OwnedRef::steal(PyObject_Vectorcall(constants.date_type, args, 0, constants.date_kwnames));
}

// The date of a number beyond 64 bits: the interpreter's own arithmetic,
// then the date's checks.
OwnedRef date_of_big_number(PyObject* number) {
    OwnedRef ten_thousand = OwnedRef::steal(PyLong_FromLong(10000));
    OwnedRef hundred = OwnedRef::steal(PyLong_FromLong(100));
    if (!ten_thousand || !hundred) {
        return {};
    }
    OwnedRef year_rest = OwnedRef::steal(PyNumber_Divmod(number, ten_thousand.get()));
    if (!year_rest) {
        return {};
    }
    OwnedRef month_day = OwnedRef::steal(PyNumber_Divmod(PyTuple_GET_ITEM(year_rest.get(), 1), hundred.get()));
    if (!month_day) {
        return {};
    }
    return make_date(PyTuple_GET_ITEM(year_rest.get(), 0), PyTuple_GET_ITEM(month_day.get(), 0),
                     PyTuple_GET_ITEM(month_day.get(), 1));
}

// The date of a date number that fits 64 bits.
OwnedRef date_of_number(long long value) {
    if (value >= 0 && value <= INT_MAX) {  // every valid date number: plain division will do
        auto number = static_cast<unsigned int>(value);
        return OwnedRef::steal(PyDate_FromDate(static_cast<int>(number / 10000),
                                               static_cast<int>(number / 100 % 100), static_cast<int>(number % 100)));
    }
    long long year, rest, month, day;
    floor_divmod(value, 10000, &year, &rest);
    floor_divmod(rest, 100, &month, &day);
    if (year >= INT_MIN && year <= INT_MAX) {
        // The date constructor's own checks and messages, without the call.
        return OwnedRef::steal(PyDate_FromDate(static_cast<int>(year), static_cast<int>(month), static_cast<int>(day)));
    }
    OwnedRef y = OwnedRef::steal(PyLong_FromLongLong(year));
    OwnedRef m = OwnedRef::steal(PyLong_FromLongLong(month));
    OwnedRef d = OwnedRef::steal(PyLong_FromLongLong(day));
    return y && m && d ? make_date(y.get(), m.get(), d.get()) : OwnedRef();
}

// date(int(timestamp) split into year, month and day), for any timestamp.
OwnedRef date_of_timestamp(PyObject* timestamp) {
    OwnedRef number = OwnedRef::steal(PyNumber_Long(timestamp));
    if (!number) {
        return {};
    }
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) {
        return {};
    }
    return overflow == 0 ? date_of_number(value) : date_of_big_number(number.get());
}


// Whether self.timestamp is the base class's own field of the record
// header: the instance's class finds the base's descriptor (a data
// descriptor, which no instance dictionary hides) through the generic
// lookup or the base's own, which only adds a fallback after an
// AttributeError that the field never raises; and the instance is one the
// descriptor applies to, so it has the base's layout.
bool reads_base_timestamp(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject* field = paths.base_timestamp;
    if (field == nullptr ||
        (type->tp_getattro != PyObject_GenericGetAttr && type->tp_getattro != BarDataType.tp_getattro)) {
        return false;
    }
    if (cache_holds(paths.timestamp, type, names.timestamp)) {
        return paths.timestamp_applies;
    }
    OwnedRef found = find_in_mro(type, nullptr, names.timestamp, &paths.timestamp);
    if (!found) {
        PyErr_Clear();  // a failed search: the attribute lookup searches again and reports
    }
    bool applies = found.get() == field && PyType_IsSubtype(type, PyDescr_TYPE(field));
    if (cache_holds(paths.timestamp, type, names.timestamp)) {
        paths.timestamp_applies = applies;  // remembered with the search it follows from
    }
    return applies;
}

PyObject* daily_market_date(NativeFunction* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (expect_self_only(function, nargs, kwnames) < 0) {
        return nullptr;
    }
    PyObject* self = args[0];
    if (!reads_base_timestamp(self)) {
        OwnedRef timestamp = OwnedRef::steal(PyObject_GetAttr(self, names.timestamp));
        return timestamp ? date_of_timestamp(timestamp.get()).release() : nullptr;
    }
    // The usual case: the field read from the record, without a float or
    // an int object in between.
    const _MarketDataBuffer* data = record_of(reinterpret_cast<MarketDataObject*>(self));
    if (data == nullptr) {
        return nullptr;
    }
    double timestamp = read_field(data, header::timestamp);
    if (timestamp > -9.2e18 && timestamp < 9.2e18) {   // NaN and the infinities fail too
        return date_of_number(static_cast<long long>(timestamp)).release();  // toward zero, as int() truncates
    }
    OwnedRef boxed = OwnedRef::steal(PyFloat_FromDouble(timestamp));
    return boxed ? date_of_timestamp(boxed.get()).release() : nullptr;
}

// Guards subclasses whose market_date or bar_span give something else.
OwnedRef expect_date(OwnedRef result) {
    if (result && result.get() != Py_None && !PyDate_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(result.get())->tp_name,
                     "datetime.date");
        return {};
    }
    return result;
}

PyObject* daily_market_time(NativeFunction* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (expect_self_only(function, nargs, kwnames) < 0) {
        return nullptr;
    }
    return expect_date(OwnedRef::steal(PyObject_GetAttr(args[0], names.market_date))).release();
}

PyObject* daily_bar_start_time(NativeFunction* function, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    if (expect_self_only(function, nargs, kwnames) < 0) {
        return nullptr;
    }
    OwnedRef market_date = OwnedRef::steal(PyObject_GetAttr(args[0], names.market_date));
    if (!market_date) {
        return nullptr;
    }
    OwnedRef span = OwnedRef::steal(PyObject_GetAttr(args[0], names.bar_span));
    if (!span) {
        return nullptr;
    }
    return expect_date(OwnedRef::steal(PyNumber_Subtract(market_date.get(), span.get()))).release();
}

// The base class's bar_span_seconds of a member's instance (the day count),
// after checking the member was called with its instance alone.
OwnedRef base_day_count(NativeFunction* function, Py_ssize_t nargs, PyObject* kwnames, PyObject* self) {
    if (expect_self_only(function, nargs, kwnames) < 0) {
        return {};
    }
    return super_attribute(function, self, names.bar_span_seconds);
}

PyObject* daily_bar_span(NativeFunction* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    OwnedRef days = base_day_count(function, nargs, kwnames, args[0]);
    if (!days) {
        return nullptr;
    }
    PyObject* call_args[] = {days.get()};
    return PyObject_Vectorcall(constants.timedelta_type, call_args, 0, constants.days_kwnames);
}

PyObject* daily_bar_type(NativeFunction* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* self = args[0];
    OwnedRef days = base_day_count(function, nargs, kwnames, self);
    if (!days) {
        return nullptr;
    }
    int is_one = PyObject_RichCompareBool(days.get(), constants.one, Py_EQ);
    if (is_one != 0) {
        return is_one > 0 ? Py_NewRef(constants.label_daily) : nullptr;
    }
    int is_more = PyObject_RichCompareBool(days.get(), constants.one, Py_GT);
    if (is_more != 0) {
        return is_more > 0 ? Py_NewRef(constants.label_daily_plus) : nullptr;
    }
    OwnedRef span = super_attribute(function, self, names.bar_span);
    if (!span) {
        return nullptr;
    }
    OwnedRef class_name = OwnedRef::steal(PyType_GetName(Py_TYPE(self)));
    if (!class_name) {
        return nullptr;
    }
    PyErr_Format(PyExc_ValueError, "Invalid bar_span for %U! Expect an int greater or equal to 1, got %S.",
                 class_name.get(), span.get());
    return nullptr;
}

// format(value, ""): a date shows in its ISO form.
OwnedRef format_plain(PyObject* value) { return OwnedRef::steal(PyObject_Format(value, constants.empty_str)); }

PyObject* daily_repr(NativeFunction* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* self = args[0];
    OwnedRef days = base_day_count(function, nargs, kwnames, self);
    if (!days) {
        return nullptr;
    }
    OwnedRef text[kTextPieces];
    if (text_pieces(self, names.market_date, format_plain, text) < 0) {
        return nullptr;
    }
    int is_one = PyObject_RichCompareBool(days.get(), constants.one, Py_EQ);
    if (is_one < 0) {
        return nullptr;
    }
    if (is_one) {
        return PyUnicode_FromFormat("<DailyBar>([%U] %U, open=%U, high=%U, low=%U, close=%U, volume=%U)",
                                    text[0].get(), text[1].get(), text[2].get(), text[3].get(), text[4].get(),
                                    text[5].get(), text[6].get());
    }
    OwnedRef span_text = OwnedRef::steal(PyObject_Format(days.get(), constants.empty_str));
    if (!span_text) {
        return nullptr;
    }
    return PyUnicode_FromFormat("<DailyBar>([%U] %U, span=%Ud, open=%U, high=%U, low=%U, close=%U, volume=%U)",
                                text[0].get(), text[1].get(), span_text.get(), text[2].get(), text[3].get(),
                                text[4].get(), text[5].get(), text[6].get());
}

// ---- the class ----------------------------------------------------------------------

struct Member {
    NativeFunctionSpec function;
    bool is_property;
    bool uses_super;
};

const Member members[] = {
    {{"__init__", daily_init, nullptr, nullptr}, false, true},
    {{"__repr__", daily_repr, nullptr, "str"}, false, true},
    {{"market_date", daily_market_date,
      "\n"
      "        The market date of the bar.\n"
      "\n"
      "        Returns:\n"
      "            date: The market date of the bar.\n"
      "        ",
      "date"},
     true, false},
    {{"market_time", daily_market_time,
      "\n"
      "        The market date of the bar (same as `market_date`).\n"
      "\n"
      "        Returns:\n"
      "            date: The market date of the bar.\n"
      "        ",
      "date"},
     true, false},
    {{"bar_start_time", daily_bar_start_time,
      "\n"
      "        The start date of the bar period.\n"
      "\n"
      "        Returns:\n"
      "            date: The start date of the bar.\n"
      "        ",
      "date"},
     true, false},
    {{"bar_end_time", daily_market_time,
      "\n"
      "        The end date of the bar period.\n"
      "\n"
      "        Returns:\n"
      "            date: The end date of the bar.\n"
      "        ",
      "date"},
     true, false},
    {{"bar_span", daily_bar_span, nullptr, "timedelta"}, true, true},
    {{"bar_type", daily_bar_type,
      "\n"
      "        Determines the type of the bar based on its span.\n"
      "\n"
      "        Returns:\n"
      "            Literal['Daily', 'Daily-Plus']: The type of the bar.\n"
      "\n"
      "        Raises:\n"
      "            ValueError: If `bar_span` is not valid for a daily bar.\n"
      "        ",
      "Literal['Daily', 'Daily-Plus']"},
     true, true},
};
constexpr std::size_t kMemberCount = sizeof members / sizeof members[0];

int init_daily_state() {
    if (PyDateTimeAPI == nullptr) {
        PyDateTime_IMPORT;
        if (PyDateTimeAPI == nullptr) {
            return -1;
        }
    }
    if (intern_once(&constants.label_daily, "Daily") < 0 ||
        intern_once(&constants.label_daily_plus, "Daily-Plus") < 0 ||
        keep_once(&constants.one, [] { return PyLong_FromLong(1); }) < 0) {
        return -1;
    }
    if (paths.base_timestamp == nullptr) {
        LookupCache scratch;
        OwnedRef found = find_in_mro(&BarDataType, nullptr, names.timestamp, &scratch);
        if (PyErr_Occurred()) {
            return -1;
        }
        // Only a field of a native base class is read from the record directly.
        if (found && Py_IS_TYPE(found.get(), &PyGetSetDescr_Type)) {
            paths.base_timestamp = found.release();
        }
    }
    return keep_once(&constants.daily_base_kwnames, [] {
        return PyTuple_Pack(kBaseCount, names.ticker, names.timestamp, names.high_price, names.low_price,
                            names.open_price, names.close_price, names.volume, names.notional, names.trade_count,
                            names.bar_span);
    });
}

// The most derived metaclass of the bases, as the class statement finds it.
OwnedRef metaclass_of(PyObject* bases) {
    auto* winner = Py_TYPE(PyTuple_GET_ITEM(bases, 0));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) {
            continue;
        }
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of "
                        "the metaclasses of all its bases");
        return {};
    }
    return OwnedRef::borrow(reinterpret_cast<PyObject*>(winner));
}

// metaclass.__prepare__(name, bases), or a new dictionary when it has none.
OwnedRef prepare_namespace(PyObject* metaclass, PyObject* name, PyObject* bases) {
    PyObject* found_prepare = nullptr;
    int found = PyObject_GetOptionalAttrString(metaclass, "__prepare__", &found_prepare);
    if (found <= 0) {
        return found < 0 ? OwnedRef() : OwnedRef::steal(PyDict_New());
    }
    OwnedRef prepare = OwnedRef::steal(found_prepare);
    PyObject* args[] = {name, bases};
    return OwnedRef::steal(PyObject_Vectorcall(prepare.get(), args, 2, nullptr));
}

}  // namespace

OwnedRef create_daily_bar_class(const char* module_name) {
    if (init_daily_state() < 0) {
        return {};
    }
    OwnedRef name = OwnedRef::steal(PyUnicode_FromString("DailyBar"));
    OwnedRef bases = OwnedRef::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&BarDataType)));
    if (!name || !bases) {
        return {};
    }
    OwnedRef metaclass = metaclass_of(bases.get());
    if (!metaclass) {
        return {};
    }
    OwnedRef ns = prepare_namespace(metaclass.get(), name.get(), bases.get());
    if (!ns) {
        return {};
    }
    OwnedRef module = OwnedRef::steal(PyUnicode_FromString(module_name));
    if (!module || PyObject_SetItem(ns.get(), names.dunder_module, module.get()) < 0 ||
        PyObject_SetItem(ns.get(), names.dunder_qualname, name.get()) < 0) {
        return {};
    }
    OwnedRef init_defaults = OwnedRef::steal(Py_BuildValue("(ddii)", 0.0, 0.0, 0, 1));
    if (!init_defaults) {
        return {};
    }
    OwnedRef functions[kMemberCount];
    for (std::size_t i = 0; i < kMemberCount; ++i) {
        const Member& member = members[i];
        bool is_init = std::string_view(member.function.name) == "__init__";
        functions[i] =
            new_native_function(member.function, module_name, "DailyBar", is_init ? init_defaults.get() : nullptr);
        if (!functions[i]) {
            return {};
        }
        OwnedRef value = member.is_property
                             ? OwnedRef::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type),
                                                                   functions[i].get()))
                             : OwnedRef::borrow(functions[i].get());
        if (!value || PyMapping_SetItemString(ns.get(), member.function.name, value.get()) < 0) {
            return {};
        }
    }
    PyObject* call_args[] = {name.get(), bases.get(), ns.get()};
    OwnedRef cls = OwnedRef::steal(PyObject_Vectorcall(metaclass.get(), call_args, 3, nullptr));
    if (!cls) {
        return {};
    }
    for (std::size_t i = 0; i < kMemberCount; ++i) {
        if (members[i].uses_super) {
            set_native_function_owner(functions[i].get(), cls.get());
        }
    }
    // The direct class call (daily_class_call) when the metaclass is `type`,
    // whose call it stands in for.  The slot is not inherited: subclasses
    // are called the usual way.
    if (Py_IS_TYPE(cls.get(), &PyType_Type)) {
        auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
        paths.init_slot = type->tp_init;
        type->tp_vectorcall = daily_class_call;
    }
    return cls;
}

}  // namespace tarnwick
