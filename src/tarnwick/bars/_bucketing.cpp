// tarnwick.bars._bucketing: the module entry of the native pass behind
// tarnwick.bars.resample.  It stands for::
//
//     def resample(records, unit, count, origin, session_from, session_to, daily_source, check_kind,
//                  transitions, offsets, covered_from, covered_to, /) -> Records | None
//
// It checks the arguments, runs the pass (resample_pass.hpp) without the GIL
// and hands the new bars back as a Records buffer.  The Python side
// (tarnwick/bars/_resample.py) parses spans and zones and gives the zone as a
// table of offset changes over the data's time range (bucket_zone.hpp); the
// calendar and the buckets are in bucket_calendar.hpp and bucket_grids.hpp.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "held_buffer.hpp"
#include "pyref.hpp"
#include "records_buffer.hpp"
#include "bucket_arguments.hpp"
#include "resample_pass.hpp"

namespace tarnwick::bucketing {
namespace {

// ---- Records: the result, a buffer of bar records (records_buffer.hpp) -----------

PyType_Slot records_slots[] =
    TARNWICK_RECORDS_SLOTS("Bar records made by resample: a read-only buffer of 101-byte records.");

PyType_Spec records_spec = {
    "tarnwick.bars._bucketing.Records", sizeof(records_buffer::RecordsObject), 0, records_buffer::kRecordsFlags,
    records_slots,
};

// ---- the arguments -------------------------------------------------------------------

// ---- module --------------------------------------------------------------------------

struct ModuleState {
    PyObject* records_type;  // owned
};

ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

constexpr const char kResampleDoc[] =
    "resample(records, unit, count, origin, session_from, session_to, daily_source, check_kind,\n"
    "         transitions, offsets, covered_from, covered_to, /)\n--\n\n"
    "The native pass of tarnwick.bars.resample (which see): the new bars as Records, or None when\n"
    "the zone table (transitions and offsets as native doubles, covering the instants from\n"
    "covered_from to covered_to) does not reach an instant of the data.";

PyObject* resample(PyObject* module, PyObject* args) {
    HeldBuffer records;
    HeldBuffer transitions;
    HeldBuffer offsets;
    const char* unit_name = nullptr;
    PyObject* count_object = nullptr;
    Options options{};
    int daily_source = 0;
    int check_kind = 0;
    double covered_from = 0;
    double covered_to = 0;
    if (!PyArg_ParseTuple(args, "y*sOddd" "ppy*y*dd:resample", records.fill(), &unit_name, &count_object,
                          &options.origin, &options.session_from, &options.session_to, &daily_source, &check_kind,
                          transitions.fill(), offsets.fill(), &covered_from, &covered_to)) {
        return nullptr;
    }
    if (records.size() % static_cast<Py_ssize_t>(sizeof(Record)) != 0) {
        return PyErr_Format(PyExc_ValueError, "%zd bytes is not a whole number of %zu-byte bar records",
                            records.size(), sizeof(Record));
    }
    // Any integer the interpreter holds, checked against the calendar before it is cast.
    OwnedRef count = OwnedRef::steal(PyNumber_Index(count_object));
    if (!count) {
        return nullptr;
    }
    int overflow = 0;
    long long count_value = PyLong_AsLongLongAndOverflow(count.get(), &overflow);
    if (count_value == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    options.daily_source = daily_source != 0;
    options.check_kind = check_kind != 0;
    std::vector<Record> result;
    std::string failure;
    bool covered = true;
    bool out_of_memory = false;
    try {
        options.unit = unit_named(unit_name);
        options.count = bucket_count(options.unit, count_value, overflow);
        // The zone table is small: copied, its doubles are aligned wherever the buffers start.
        const std::vector<double> transition_table = transitions.copy_of<double>();
        const std::vector<double> offset_table = offsets.copy_of<double>();
        if (transitions.size() % 8 != 0 || offsets.size() % 8 != 0) {
            throw Failure{"a zone table is native doubles"};
        }
        check_zone_table(transition_table, offset_table);
        Zone zone(transition_table, offset_table, covered_from, covered_to);
        // Nothing may leave this block by a throw, which would skip taking the
        // GIL back: every outcome is caught inside, by handlers that allocate nothing.
        Py_BEGIN_ALLOW_THREADS
        try {
            result = resample_records(records.bytes(), options, zone);
        } catch (Failure& error) {
            failure = std::move(error.message);
        } catch (const NotCovered&) {
            covered = false;
        } catch (...) {
            out_of_memory = true;  // std::bad_alloc: the pass throws nothing else
        }
        Py_END_ALLOW_THREADS
    } catch (Failure& error) {
        failure = std::move(error.message);
    } catch (...) {
        out_of_memory = true;
    }
    if (out_of_memory) {
        return PyErr_NoMemory();
    }
    if (!failure.empty()) {
        PyErr_SetString(PyExc_ValueError, failure.c_str());
        return nullptr;
    }
    if (!covered) {
        Py_RETURN_NONE;
    }
    return records_buffer::records_object(state_of(module)->records_type, std::move(result)).release();
}

PyMethodDef methods[] = {
    {"resample", resample, METH_VARARGS, kResampleDoc},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &records_spec, nullptr);
    if (type == nullptr) {
        return -1;
    }
    state_of(module)->records_type = type;
    return PyModule_AddObjectRef(module, "Records", type);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = state_of(module);
    Py_VISIT(state != nullptr ? state->records_type : nullptr);
    return 0;
}

int clear_module(PyObject* module) {
    ModuleState* state = state_of(module);
    if (state != nullptr) {
        Py_CLEAR(state->records_type);
    }
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_bucketing", "The native pass of tarnwick.bars.resample.", sizeof(ModuleState), methods,
    slots, traverse_module, clear_module, free_module,
};

}  // namespace
}  // namespace tarnwick::bucketing

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): PyInit_ and the module's name, _bucketing
PyMODINIT_FUNC PyInit__bucketing() { return PyModuleDef_Init(&tarnwick::bucketing::module_def); }
