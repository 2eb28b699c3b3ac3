// Process-wide state of the candlestick module: interned names, constants and
// callables fetched once at module start, so that no hot path builds or looks
// them up again.  The module binds to one interpreter, so plain globals do.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "interpreter_binding.hpp"

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
};

// The interpreter that loaded the module first; only it fills caches.
extern InterpreterBinding bound_interpreter;
extern InternedNames names;
extern Constants constants;

// Fills `names` and `constants`; safe to call again after a failed import.
int init_candlestick_state();

// Fills an empty slot with the interned `text`, or with what `make` returns
// (a new reference); a filled slot is left alone.  -1 with an exception set
// when the slot stays empty.
int intern_once(PyObject** slot, const char* text);
int keep_once(PyObject** slot, PyObject* (*make)());

}  // namespace tarnwick
