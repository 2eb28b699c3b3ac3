// `DailyBar`: one ticker's bar over one or more days ending on a market date.
// It reads the same 101-byte record as `BarData`, but its `timestamp` holds
// the date number year * 10000 + month * 100 + day and its `bar_span` the
// number of days.  The class is made at import exactly as a class statement
// would make it, so it behaves like any class written in Python (instance
// dictionary, settable class attributes, subclassable), while its members
// are native functions.
#include "daily_bar.hpp"

#include <datetime.h>

#include <climits>
#include <cstdint>
#include <string_view>

#include "arguments.hpp"
#include "bar_data.hpp"
#include "candlestick_state.hpp"
#include "conversions.hpp"
#include "native_function.hpp"
#include "pyref.hpp"

namespace tarnwick {
namespace {

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

PyObject* daily_init(NativeFunction* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* self = args[0];
    PyObject* bound[kParameterCount];
    OwnedRef extras;
    if (bind_vectorcall(init_signature, args + 1, nargs - 1, kwnames, bound, &extras) < 0) {
        return nullptr;
    }
    // Prices, then volume and notional when given; then trade count and span.
    double floats[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    for (int i = 0; i < 6; ++i) {
        PyObject* value = bound[kHigh + i];
        if (value != nullptr && to_double(value, &floats[i]) < 0) {
            return nullptr;
        }
    }
    std::uint32_t trade_count = 0;
    std::int32_t bar_span = 1;
    if ((bound[kTradeCount] != nullptr && to_uint32(bound[kTradeCount], &trade_count) < 0) ||
        (bound[kBarSpan] != nullptr && to_int32(bound[kBarSpan], &bar_span) < 0)) {
        return nullptr;
    }
    PyObject* ticker = bound[kTicker];
    if (ticker != Py_None && !PyUnicode_CheckExact(ticker)) {
        raise_argument_type("ticker", "str", ticker);
        return nullptr;
    }
    // None has no year, month or day: it is refused like any other non-date.
    PyObject* market_date = bound[kMarketDate];
    if (!PyDate_Check(market_date)) {
        raise_argument_type("market_date", "datetime.date", market_date);
        return nullptr;
    }
    std::int32_t date_number = PyDateTime_GET_YEAR(market_date) * 10000 + PyDateTime_GET_MONTH(market_date) * 100 +
                               PyDateTime_GET_DAY(market_date);

    Py_ssize_t n_extras = extras ? PyDict_GET_SIZE(extras.get()) : 0;
    if (n_extras > 0) {
        int collides = PyDict_Contains(extras.get(), names.timestamp);
        if (collides != 0) {
            if (collides > 0) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", "function",
                             names.timestamp);
            }
            return nullptr;
        }
    }

    // super().__init__(ticker=..., timestamp=..., ..., bar_span=..., **kwargs)
    OwnedRef base_init = OwnedRef::steal(super_lookup(function, self, names.dunder_init));
    if (PyErr_Occurred()) {
        return nullptr;
    }
    // BarData's own initialiser is called directly; anything else is bound
    // and called as the super-call would.
    bool direct = base_init && is_bar_data_init(base_init.get());
    if (!direct) {
        base_init = OwnedRef::steal(super_attribute(function, self, names.dunder_init));
        if (!base_init) {
            return nullptr;
        }
    }
    const Py_ssize_t count = kBaseCount + n_extras;
    OwnedRef call_kwnames = OwnedRef::borrow(constants.daily_base_kwnames);
    OwnedRef values = OwnedRef::steal(PyTuple_New(count));  // owns the call's arguments
    if (!values) {
        return nullptr;
    }
    PyObject* items = values.get();
    PyTuple_SET_ITEM(items, kBaseTicker, Py_NewRef(ticker));
    PyTuple_SET_ITEM(items, kBaseTimestamp, PyLong_FromLong(date_number));
    for (int i = 0; i < 6; ++i) {
        PyTuple_SET_ITEM(items, kBaseHigh + i, PyFloat_FromDouble(floats[i]));
    }
    PyTuple_SET_ITEM(items, kBaseTradeCount, PyLong_FromUnsignedLong(trade_count));
    PyTuple_SET_ITEM(items, kBaseBarSpan, PyLong_FromLong(bar_span));
    for (Py_ssize_t i = 0; i < kBaseCount; ++i) {
        if (PyTuple_GET_ITEM(items, i) == nullptr) {
            return nullptr;
        }
    }
    if (n_extras > 0) {
        call_kwnames = OwnedRef::steal(PyTuple_New(count));
        if (!call_kwnames) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < kBaseCount; ++i) {
            PyTuple_SET_ITEM(call_kwnames.get(), i, Py_NewRef(PyTuple_GET_ITEM(constants.daily_base_kwnames, i)));
        }
        Py_ssize_t pos = 0;
        Py_ssize_t i = kBaseCount;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(extras.get(), &pos, &key, &value) && i < count) {
            PyTuple_SET_ITEM(call_kwnames.get(), i, Py_NewRef(key));
            PyTuple_SET_ITEM(items, i, Py_NewRef(value));
            ++i;
        }
    }
    if (direct) {
        return bar_data_init_vectorcall(self, &PyTuple_GET_ITEM(items, 0), 0, call_kwnames.get()) < 0
                   ? nullptr
                   : Py_NewRef(Py_None);
    }
    OwnedRef result = OwnedRef::steal(
        PyObject_Vectorcall(base_init.get(), &PyTuple_GET_ITEM(items, 0), 0, call_kwnames.get()));
    return result ? Py_NewRef(Py_None) : nullptr;
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

PyObject* make_date(PyObject* year, PyObject* month, PyObject* day) {
    PyObject* args[] = {year, month, day};
    return PyObject_Vectorcall(constants.date_type, args, 0, constants.date_kwnames);
}

PyObject* daily_market_date(NativeFunction* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (expect_self_only(function, nargs, kwnames) < 0) {
        return nullptr;
    }
    OwnedRef timestamp = OwnedRef::steal(PyObject_GetAttr(args[0], names.timestamp));
    if (!timestamp) {
        return nullptr;
    }
    OwnedRef number = OwnedRef::steal(PyNumber_Long(timestamp.get()));
    if (!number) {
        return nullptr;
    }
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (overflow == 0) {
        long long year, rest, month, day;
        floor_divmod(value, 10000, &year, &rest);
        floor_divmod(rest, 100, &month, &day);
        if (year >= INT_MIN && year <= INT_MAX) {
            // The date constructor's own checks and messages, without the call.
            return PyDate_FromDate(static_cast<int>(year), static_cast<int>(month), static_cast<int>(day));
        }
        OwnedRef y = OwnedRef::steal(PyLong_FromLongLong(year));
        OwnedRef m = OwnedRef::steal(PyLong_FromLongLong(month));
        OwnedRef d = OwnedRef::steal(PyLong_FromLongLong(day));
        return y && m && d ? make_date(y.get(), m.get(), d.get()) : nullptr;
    }
    // Beyond 64 bits: the interpreter's own arithmetic, then the date's checks.
    OwnedRef ten_thousand = OwnedRef::steal(PyLong_FromLong(10000));
    OwnedRef hundred = OwnedRef::steal(PyLong_FromLong(100));
    if (!ten_thousand || !hundred) {
        return nullptr;
    }
    OwnedRef year_rest = OwnedRef::steal(PyNumber_Divmod(number.get(), ten_thousand.get()));
    if (!year_rest) {
        return nullptr;
    }
    OwnedRef month_day = OwnedRef::steal(PyNumber_Divmod(PyTuple_GET_ITEM(year_rest.get(), 1), hundred.get()));
    if (!month_day) {
        return nullptr;
    }
    return make_date(PyTuple_GET_ITEM(year_rest.get(), 0), PyTuple_GET_ITEM(month_day.get(), 0),
                     PyTuple_GET_ITEM(month_day.get(), 1));
}

// Guards subclasses whose market_date or bar_span give something else.
PyObject* expect_date(PyObject* result) {
    if (result != nullptr && result != Py_None && !PyDate_Check(result)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(result)->tp_name, "datetime.date");
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

PyObject* daily_market_time(NativeFunction* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (expect_self_only(function, nargs, kwnames) < 0) {
        return nullptr;
    }
    return expect_date(PyObject_GetAttr(args[0], names.market_date));
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
    return expect_date(PyNumber_Subtract(market_date.get(), span.get()));
}

// The base class's bar_span_seconds of a member's instance (the day count),
// after checking the member was called with its instance alone.
PyObject* base_day_count(NativeFunction* function, Py_ssize_t nargs, PyObject* kwnames, PyObject* self) {
    if (expect_self_only(function, nargs, kwnames) < 0) {
        return nullptr;
    }
    return super_attribute(function, self, names.bar_span_seconds);
}

PyObject* daily_bar_span(NativeFunction* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    OwnedRef days = OwnedRef::steal(base_day_count(function, nargs, kwnames, args[0]));
    if (!days) {
        return nullptr;
    }
    PyObject* call_args[] = {days.get()};
    return PyObject_Vectorcall(constants.timedelta_type, call_args, 0, constants.days_kwnames);
}

PyObject* daily_bar_type(NativeFunction* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* self = args[0];
    OwnedRef days = OwnedRef::steal(base_day_count(function, nargs, kwnames, self));
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
    OwnedRef span = OwnedRef::steal(super_attribute(function, self, names.bar_span));
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
PyObject* format_plain(PyObject* value) { return PyObject_Format(value, constants.empty_str); }

PyObject* daily_repr(NativeFunction* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* self = args[0];
    OwnedRef days = OwnedRef::steal(base_day_count(function, nargs, kwnames, self));
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
    return keep_once(&constants.daily_base_kwnames, [] {
        return PyTuple_Pack(kBaseCount, names.ticker, names.timestamp, names.high_price, names.low_price,
                            names.open_price, names.close_price, names.volume, names.notional, names.trade_count,
                            names.bar_span);
    });
}

// The most derived metaclass of the bases, as the class statement finds it.
PyObject* metaclass_of(PyObject* bases) {
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
        return nullptr;
    }
    return Py_NewRef(reinterpret_cast<PyObject*>(winner));
}

// metaclass.__prepare__(name, bases), or a new dictionary when it has none.
PyObject* prepare_namespace(PyObject* metaclass, PyObject* name, PyObject* bases) {
    PyObject* prepare = nullptr;
    int found = PyObject_GetOptionalAttrString(metaclass, "__prepare__", &prepare);
    if (found <= 0) {
        return found < 0 ? nullptr : PyDict_New();
    }
    OwnedRef keep = OwnedRef::steal(prepare);
    PyObject* args[] = {name, bases};
    return PyObject_Vectorcall(prepare, args, 2, nullptr);
}

}  // namespace

PyObject* create_daily_bar_class(const char* module_name) {
    if (init_daily_state() < 0) {
        return nullptr;
    }
    OwnedRef name = OwnedRef::steal(PyUnicode_FromString("DailyBar"));
    OwnedRef bases = OwnedRef::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&BarDataType)));
    if (!name || !bases) {
        return nullptr;
    }
    OwnedRef metaclass = OwnedRef::steal(metaclass_of(bases.get()));
    if (!metaclass) {
        return nullptr;
    }
    OwnedRef ns = OwnedRef::steal(prepare_namespace(metaclass.get(), name.get(), bases.get()));
    if (!ns) {
        return nullptr;
    }
    OwnedRef module = OwnedRef::steal(PyUnicode_FromString(module_name));
    if (!module || PyObject_SetItem(ns.get(), names.dunder_module, module.get()) < 0 ||
        PyObject_SetItem(ns.get(), names.dunder_qualname, name.get()) < 0) {
        return nullptr;
    }
    OwnedRef init_defaults = OwnedRef::steal(Py_BuildValue("(ddii)", 0.0, 0.0, 0, 1));
    if (!init_defaults) {
        return nullptr;
    }
    OwnedRef functions[kMemberCount];
    for (std::size_t i = 0; i < kMemberCount; ++i) {
        const Member& member = members[i];
        bool is_init = std::string_view(member.function.name) == "__init__";
        functions[i] = OwnedRef::steal(
            new_native_function(member.function, module_name, "DailyBar", is_init ? init_defaults.get() : nullptr));
        if (!functions[i]) {
            return nullptr;
        }
        OwnedRef value = member.is_property
                             ? OwnedRef::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type),
                                                                   functions[i].get()))
                             : OwnedRef::borrow(functions[i].get());
        if (!value || PyMapping_SetItemString(ns.get(), member.function.name, value.get()) < 0) {
            return nullptr;
        }
    }
    PyObject* call_args[] = {name.get(), bases.get(), ns.get()};
    OwnedRef cls = OwnedRef::steal(PyObject_Vectorcall(metaclass.get(), call_args, 3, nullptr));
    if (!cls) {
        return nullptr;
    }
    for (std::size_t i = 0; i < kMemberCount; ++i) {
        if (members[i].uses_super) {
            set_native_function_owner(functions[i].get(), cls.get());
        }
    }
    return cls.release();
}

}  // namespace tarnwick
