// The daily bar class `DailyBar`: a `BarData` whose record holds a market
// date as its date number (year * 10000 + month * 100 + day) and a span in
// days.  Made at import as the class statement `class DailyBar(BarData)`
// would make it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "pyref.hpp"

namespace tarnwick {

// Creates the class `DailyBar` of the given module, or null with an exception set.
OwnedRef create_daily_bar_class(const char* module_name);

}  // namespace tarnwick
