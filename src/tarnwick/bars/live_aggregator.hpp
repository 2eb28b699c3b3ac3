// tarnwick.bars.Aggregator, the live aggregator: a type of the
// _aggregating module, defined in live_aggregator.cpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarnwick::aggregating {

// Makes the Aggregator type and adds it to `module` (from the module's exec
// step); -1 with an exception set on failure.
int add_aggregator_type(PyObject* module);

}  // namespace tarnwick::aggregating
