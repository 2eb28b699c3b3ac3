// The intraday bar class `BarData`: a `MarketData` whose record is one packed
// 101-byte `_CandlestickBuffer`.
#pragma once

#include <cstdint>

#include "market_data_abi.hpp"
#include "pyref.hpp"

namespace tarnwick {

extern PyTypeObject BarDataType;

// Readies `BarData` on the given base class and its table of record
// operations, publishes its own table, and gives the slot wrappers their
// docstrings.  Readying happens once per process; a later call (after a
// failed import) only refreshes the table.
int ready_bar_data_type(PyTypeObject* base, const MarketDataVTable* base_vtable);

// Installs the refusal of pickling unless the base class pickles by itself.
int install_pickling_refusal(PyTypeObject* base);

// BarData.__init__(self, *args, **kwargs) with the arguments as in a
// vectorcall: the direct path for subclass constructors whose super-call
// reaches BarData's own initialiser (see is_bar_data_init).
int bar_data_init_vectorcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// A bar's values as the constructor stores them.
struct BarValues {
    double timestamp;
    double high, low, open, close;
    double volume, notional;
    std::uint32_t trade_count;
    double bar_span;
};

// BarData.__init__(self, ticker, timestamp, ..., bar_span) without extra
// keywords, for arguments already converted to these values: the same
// checks, record and base initialiser, without argument objects.
int bar_data_init_values(PyObject* self, PyObject* ticker, const BarValues& values);

// Whether a class-dictionary entry is BarData's own `__init__` slot wrapper.
bool is_bar_data_init(PyObject* descriptor);

// The pieces of a bar's text form, read by attribute lookup in this order:
// its time (formatted by `format_time`), ticker, open, high, low, close and
// volume (each as format(value, "")).
inline constexpr std::size_t kTextPieces = 7;
int text_pieces(PyObject* self, PyObject* time_attribute, OwnedRef (*format_time)(PyObject*),
                OwnedRef (&text)[kTextPieces]);

// The module namespace in which members look up `PROFILE` at each call.
void set_bar_data_globals(PyObject* module_dict);

}  // namespace tarnwick
