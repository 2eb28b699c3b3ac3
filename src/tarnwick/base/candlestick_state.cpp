// The process-wide state of the candlestick module and the filling of its
// names and constants (see candlestick_state.hpp).
#include "candlestick_state.hpp"

#include "common.hpp"
#include "pyref.hpp"

namespace tarnwick {

CandlestickState state{};

int intern_once(PyObject** slot, const char* text) {
    if (*slot == nullptr) {
        *slot = PyUnicode_InternFromString(text);
    }
    return *slot != nullptr ? 0 : -1;
}

int keep_once(PyObject** slot, PyObject* (*make)()) {
    if (*slot == nullptr) {
        *slot = make();
    }
    return *slot != nullptr ? 0 : -1;
}

int fill_candlestick_state() {
    InternedNames& n = names;
    const struct {
        PyObject** slot;
        const char* text;
    } interned[] = {
        {&n.ticker, "ticker"},
        {&n.timestamp, "timestamp"},
        {&n.high_price, "high_price"},
        {&n.low_price, "low_price"},
        {&n.open_price, "open_price"},
        {&n.close_price, "close_price"},
        {&n.volume, "volume"},
        {&n.notional, "notional"},
        {&n.trade_count, "trade_count"},
        {&n.start_timestamp, "start_timestamp"},
        {&n.bar_span, "bar_span"},
        {&n.market_date, "market_date"},
        {&n.market_time, "market_time"},
        {&n.bar_span_seconds, "bar_span_seconds"},
        {&n.dunder_init, "__init__"},
        {&n.dunder_name, "__name__"},
        {&n.dunder_module, "__module__"},
        {&n.dunder_qualname, "__qualname__"},
        {&n.total_seconds, "total_seconds"},
        {&n.PROFILE, "PROFILE"},
        {&n.time_zone, "time_zone"},
        {&n.year, "year"},
        {&n.month, "month"},
        {&n.day, "day"},
        {&n.buffer, "buffer"},
        {&n.data, "data"},
        {&constants.empty_str, ""},
        {&constants.time_format, "%Y-%m-%d %H:%M:%S"},
        {&constants.label_hourly_plus, "Hourly-Plus"},
        {&constants.label_hourly, "Hourly"},
        {&constants.label_minute_plus, "Minute-Plus"},
        {&constants.label_minute, "Minute"},
        {&constants.label_sub_minute, "Sub-Minute"},
    };
    for (const auto& entry : interned) {
        if (intern_once(entry.slot, entry.text) < 0) {
            return -1;
        }
    }
    Constants& c = constants;
    if (keep_once(&c.empty_tuple, [] { return PyTuple_New(0); }) < 0 ||
        keep_once(&c.tz_kwnames, [] { return Py_BuildValue("(s)", "tz"); }) < 0 ||
        keep_once(&c.seconds_kwnames, [] { return Py_BuildValue("(s)", "seconds"); }) < 0 ||
        keep_once(&c.days_kwnames, [] { return Py_BuildValue("(s)", "days"); }) < 0 ||
        keep_once(&c.date_kwnames, [] { return Py_BuildValue("(sss)", "year", "month", "day"); }) < 0 ||
        keep_once(&c.fromtimestamp, [] {
            OwnedRef datetime_class = import_attribute("datetime", "datetime");
            return datetime_class ? PyObject_GetAttrString(datetime_class.get(), "fromtimestamp") : nullptr;
        }) < 0 ||
        keep_once(&c.timedelta_type, [] { return import_attribute("datetime", "timedelta").release(); }) < 0 ||
        keep_once(&c.date_type, [] { return import_attribute("datetime", "date").release(); }) < 0) {
        return -1;
    }
    return 0;
}

}  // namespace tarnwick
