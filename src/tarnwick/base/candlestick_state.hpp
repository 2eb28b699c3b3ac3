// Process-wide state of the candlestick module, all in one struct.
//
// The classes are static types (and DailyBar is made once), so the state is
// process-wide rather than the module object's: the module binds to the
// first interpreter that loads it (interpreter_binding.hpp), and only that
// interpreter fills anything here.
//
// Importing again after a failed import is safe: `fill_candlestick_state`
// fills only what is still empty, the base class is looked up afresh, and
// the steps that change classes (readying BarData) happen once and are
// skipped when done.
//
// Every object here lives as long as the process, so nothing is released:
// the static classes, which are never freed, use them until the interpreter
// ends, and releasing them at exit would only run code during teardown.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "arguments.hpp"
#include "interpreter_binding.hpp"
#include "market_data_abi.hpp"

namespace tarnwick {


struct InternedNames {
    // Constructor parameters, in the order of BarData's signature.
    PyObject* ticker;
    PyObject* timestamp;
    PyObject* high_price;
    PyObject* low_price;
    PyObject* open_price;
    PyObject* close_price;
    PyObject* volume;
    PyObject* notional;
    PyObject* trade_count;
    PyObject* start_timestamp;
    PyObject* bar_span;
    // DailyBar's own parameter.
    PyObject* market_date;
    // Attributes and keywords used by the members.
    PyObject* market_time;
    PyObject* bar_span_seconds;
    PyObject* dunder_init;  // "__init__", and so on
    PyObject* dunder_name;
    PyObject* dunder_module;
    PyObject* dunder_qualname;
    PyObject* total_seconds;
    PyObject* PROFILE;
    PyObject* time_zone;
    PyObject* year;
    PyObject* month;
    PyObject* day;
    // The class methods' single parameters.
    PyObject* buffer;
    PyObject* data;
};

struct Constants {
    PyObject* empty_tuple;
    PyObject* empty_str;
    PyObject* time_format;      // "%Y-%m-%d %H:%M:%S"
    PyObject* tz_kwnames;       // ("tz",)
    PyObject* seconds_kwnames;  // ("seconds",)
    PyObject* days_kwnames;     // ("days",)
    PyObject* date_kwnames;     // ("year", "month", "day")
    PyObject* fromtimestamp;    // datetime.datetime.fromtimestamp
    PyObject* timedelta_type;   // datetime.timedelta
    PyObject* date_type;        // datetime.date
    PyObject* label_hourly_plus;
    PyObject* label_hourly;
    PyObject* label_minute_plus;
    PyObject* label_minute;
    PyObject* label_sub_minute;
    // DailyBar's, filled when the class is made.
    PyObject* label_daily;
    PyObject* label_daily_plus;
    PyObject* one;                 // the int 1
    PyObject* daily_base_kwnames;  // keywords of DailyBar's call of BarData's initialiser, in order
};

struct CandlestickState {
    InterpreterBinding interpreter;  // the interpreter that loaded the module first
    PyObject* module;                // set while (and after) the exec step runs; dropped if it fails

    // The base class MarketData and its table of record operations, and
    // BarData's own table (the base's, with a `to_bytes` of its own).
    PyTypeObject* market_data_type;
    MarketDataVTable bar_data_vtable;
    HeaderWriter header_writer;  // the base initialiser's direct path, if it has one
    PyObject* data_type_class;   // tarnwick.base.market_data.DataType
    bool data_type_unavailable;  // its import failed; never tried again
    PyObject* module_globals;    // the module's namespace, where members look up PROFILE

    InternedNames names;
    Constants constants;
    // Filled on calls, by the bound interpreter only (see arguments.cpp).
    KeywordCache bar_init_keywords;
    KeywordCache daily_init_keywords;
};

extern CandlestickState state;
// Short names for the parts read everywhere (a constant reference: no
// indirection at run time).
inline constexpr InternedNames& names = state.names;
inline constexpr Constants& constants = state.constants;

// Fills `names` and `constants`, what of them is still empty.
int fill_candlestick_state();

// Fills an empty slot with the interned `text`, or with what `make` returns
// (a new reference); a filled slot is left alone.  -1 with an exception set
// when the slot stays empty.
int intern_once(PyObject** slot, const char* text);
int keep_once(PyObject** slot, PyObject* (*make)());

}  // namespace tarnwick
