// tarnwick.bars._aggregating: the module entry of the native pass behind
// tarnwick.bars.aggregate.  It stands for::
//
//     class Batch:
//         def __init__(self, rule, threshold, fill, unit, count, origin, session_from, session_to, /): ...
//         def add_columns(self, times, prices, sizes, notionals, codes, names, first_row,
//                         transitions, offsets, covered_from, covered_to, /) -> bool: ...
//         def add_records(self, records, transitions, offsets, covered_from, covered_to, /) -> bool: ...
//         def finish(self) -> Records: ...
//     def record_times(records, /) -> bytes: ...
//
// It checks the arguments, runs the pass (aggregate_pass.hpp) without the GIL
// and hands the bars back as a Records buffer (records_buffer.hpp).  The
// Python side (tarnwick/bars/_aggregate.py) parses options, spans and zones.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "aggregate_pass.hpp"
#include "held_buffer.hpp"
#include "live_aggregator.hpp"
#include "pyref.hpp"
#include "records_buffer.hpp"

namespace tarnwick::aggregating {
namespace {

// ---- module state --------------------------------------------------------------------

struct ModuleState {
    PyObject* records_type;  // owned
    PyObject* batch_type;    // owned
};

ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

PyType_Slot records_slots[] =
    TARNWICK_RECORDS_SLOTS("Bar records made by aggregate: a read-only buffer of 101-byte records.");

PyType_Spec records_spec = {
    "tarnwick.bars._aggregating.Records", sizeof(records_buffer::RecordsObject), 0, records_buffer::kRecordsFlags,
    records_slots,
};

// ---- the arguments -------------------------------------------------------------------

Rule rule_named(std::string_view name) {
    if (name == "time") return Rule::time;
    if (name == "ticks") return Rule::ticks;
    if (name == "volume") return Rule::volume;
    if (name == "value") return Rule::value;
    throw Failure{"unknown rule " + std::string(name)};
}

// A zone table's two columns, checked and copied (aligned, and the pass's own).
struct ZoneColumns {
    std::vector<double> transitions;
    std::vector<double> offsets;
};

ZoneColumns zone_columns(const HeldBuffer& transitions, const HeldBuffer& offsets) {
    if (transitions.size() % 8 != 0 || offsets.size() % 8 != 0) {
        throw Failure{"a zone table is native doubles"};
    }
    ZoneColumns table{transitions.copy_of<double>(), offsets.copy_of<double>()};
    bucketing::check_zone_table(table.transitions, table.offsets);
    return table;
}

// Runs `work` without the GIL; a Failure or bad_alloc becomes the exception.
// Nothing may leave the unlocked block by a throw, which would skip taking
// the GIL back: every outcome is caught inside by handlers that allocate nothing.
template <typename Work>
bool without_gil(Work work) {
    std::string failure;
    bool out_of_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        work();
    } catch (Failure& error) {
        failure = std::move(error.message);
    } catch (...) {
        out_of_memory = true;  // std::bad_alloc: the pass throws nothing else
    }
    Py_END_ALLOW_THREADS
    if (out_of_memory) {
        PyErr_NoMemory();
        return false;
    }
    if (!failure.empty()) {
        PyErr_SetString(PyExc_ValueError, failure.c_str());
        return false;
    }
    return true;
}

// ---- Batch ---------------------------------------------------------------------------

struct BatchObject {
    PyObject_HEAD
    Batch* batch;  // owned
    bool busy;     // a call is running without the GIL: no other may use the batch
};

// The batch of `self` for one call, or null with an exception set.
class BatchUse {
public:
    explicit BatchUse(PyObject* self) : object_(reinterpret_cast<BatchObject*>(self)) {
        if (object_->busy) {
            PyErr_SetString(PyExc_RuntimeError, "the batch is in use by another thread");
            object_ = nullptr;
            return;
        }
        object_->busy = true;
    }
    BatchUse(const BatchUse&) = delete;
    BatchUse& operator=(const BatchUse&) = delete;
    ~BatchUse() {
        if (object_ != nullptr) {
            object_->busy = false;
        }
    }
    Batch* get() const { return object_ != nullptr ? object_->batch : nullptr; }

private:
    BatchObject* object_;
};

PyObject* batch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    const char* rule_name = nullptr;
    const char* unit_name = nullptr;
    double threshold = 0;
    int fill = 0;
    PyObject* count_object = nullptr;
    ClockOptions clock{};
    static const char* keywords[] = {"", "", "", "", "", "", "", "", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sdpsOddd:Batch", const_cast<char**>(keywords), &rule_name,
                                     &threshold, &fill, &unit_name, &count_object, &clock.origin,
                                     &clock.session_from, &clock.session_to)) {
        return nullptr;
    }
    OwnedRef count = OwnedRef::steal(PyNumber_Index(count_object));
    if (!count) {
        return nullptr;
    }
    int overflow = 0;
    long long count_value = PyLong_AsLongLongAndOverflow(count.get(), &overflow);
    if (count_value == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    OwnedRef self = OwnedRef::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    auto* object = reinterpret_cast<BatchObject*>(self.get());
    try {
        Rules rules{rule_named(rule_name), threshold, fill != 0};
        if (rules.rule != Rule::time && !(std::isfinite(threshold) && threshold > 0)) {
            throw Failure{"a threshold is finite and positive"};
        }
        clock.unit = bucketing::unit_named(unit_name);
        clock.count = bucketing::bucket_count(clock.unit, count_value, overflow);
        object->batch = new Batch(rules, clock);
    } catch (Failure& error) {
        PyErr_SetString(PyExc_ValueError, error.message.c_str());
        return nullptr;
    } catch (...) {
        return PyErr_NoMemory();
    }
    return self.release();
}

void batch_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<BatchObject*>(self)->batch;
    type->tp_free(self);
    Py_DECREF(type);
}

// The ticker names: bytes of at most 32, copied into the record's field.
bool read_names(PyObject* names, std::vector<TickerBytes>& out) {
    if (!PyTuple_Check(names)) {
        PyErr_SetString(PyExc_TypeError, "ticker names are a tuple of bytes");
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        if (!PyBytes_Check(name) || PyBytes_GET_SIZE(name) > static_cast<Py_ssize_t>(header::ticker_size)) {
            PyErr_SetString(PyExc_ValueError, "a ticker name is bytes of at most 32");
            return false;
        }
        TickerBytes bytes{};
        std::memcpy(bytes.data(), PyBytes_AS_STRING(name), static_cast<std::size_t>(PyBytes_GET_SIZE(name)));
        out.push_back(bytes);
    }
    if (out.empty()) {
        out.emplace_back();  // no names: every row has no ticker
    }
    return true;
}

// Acquires an optional column (None: empty), of `size`-byte items of `codes`,
// `rows` of them.
bool optional_column(PyObject* object, HeldBuffer& held, Py_ssize_t size, std::string_view codes, Py_ssize_t rows,
                     const char* what) {
    if (object == Py_None) {
        return true;
    }
    if (!held.acquire(object, PyBUF_FORMAT | PyBUF_ND)) {
        return false;
    }
    if (held.count_of(size, codes) != rows) {
        PyErr_Format(PyExc_ValueError, "%s are %zd native items of %zd bytes, like the times", what, rows, size);
        return false;
    }
    return true;
}

PyObject* batch_add_columns(PyObject* self, PyObject* args) {
    HeldBuffer times, prices, sizes, notionals, codes, transitions, offsets;
    PyObject* notional_object = nullptr;
    PyObject* code_object = nullptr;
    PyObject* names = nullptr;
    unsigned long long first_row = 0;
    double covered_from = 0;
    double covered_to = 0;
    if (!PyArg_ParseTuple(args, "y*y*y*OOOKy*y*dd:add_columns", times.fill(), prices.fill(), sizes.fill(),
                          &notional_object, &code_object, &names, &first_row, transitions.fill(), offsets.fill(),
                          &covered_from, &covered_to)) {
        return nullptr;
    }
    Columns columns{times.bytes(), prices.bytes(), sizes.bytes(), {}, {}, {}, first_row};
    Py_ssize_t rows = times.size() / 8;
    if (times.size() % 8 != 0 || prices.size() != times.size() || sizes.size() != times.size()) {
        return PyErr_Format(PyExc_ValueError, "times, prices and sizes are columns of as many doubles");
    }
    if (!optional_column(notional_object, notionals, 8, "d", rows, "notionals") ||
        !optional_column(code_object, codes, 4, "il", rows, "ticker codes") || !read_names(names, columns.names)) {
        return nullptr;
    }
    columns.notionals = notionals.bytes();
    columns.codes = codes.bytes();
    BatchUse use(self);
    if (use.get() == nullptr) {
        return nullptr;
    }
    bool done = false;
    try {
        ZoneColumns zone = zone_columns(transitions, offsets);
        if (!without_gil([&] {
                done = use.get()->add_columns(columns, std::move(zone.transitions), std::move(zone.offsets),
                                              covered_from, covered_to);
            })) {
            return nullptr;
        }
    } catch (Failure& error) {
        PyErr_SetString(PyExc_ValueError, error.message.c_str());
        return nullptr;
    } catch (...) {
        return PyErr_NoMemory();
    }
    return PyBool_FromLong(done ? 1 : 0);
}

PyObject* batch_add_records(PyObject* self, PyObject* args) {
    HeldBuffer records, transitions, offsets;
    double covered_from = 0;
    double covered_to = 0;
    if (!PyArg_ParseTuple(args, "y*y*y*dd:add_records", records.fill(), transitions.fill(), offsets.fill(),
                          &covered_from, &covered_to)) {
        return nullptr;
    }
    BatchUse use(self);
    if (use.get() == nullptr) {
        return nullptr;
    }
    bool done = false;
    try {
        ZoneColumns zone = zone_columns(transitions, offsets);
        if (!without_gil([&] {
                done = use.get()->add_records(records.bytes(), std::move(zone.transitions), std::move(zone.offsets),
                                              covered_from, covered_to);
            })) {
            return nullptr;
        }
    } catch (Failure& error) {
        PyErr_SetString(PyExc_ValueError, error.message.c_str());
        return nullptr;
    } catch (...) {
        return PyErr_NoMemory();
    }
    return PyBool_FromLong(done ? 1 : 0);
}

PyObject* batch_finish(PyObject* self, PyObject* /*unused*/) {
    BatchUse use(self);
    if (use.get() == nullptr) {
        return nullptr;
    }
    std::vector<Record> bars;
    if (!without_gil([&] { bars = use.get()->finish(); })) {
        return nullptr;
    }
    PyObject* module = PyType_GetModule(Py_TYPE(self));
    if (module == nullptr) {
        return nullptr;
    }
    return records_buffer::records_object(state_of(module)->records_type, std::move(bars)).release();
}

constexpr const char kAddColumnsDoc[] =
    "add_columns($self, times, prices, sizes, notionals, codes, names, first_row, transitions, offsets,\n"
    "            covered_from, covered_to, /)\n--\n\n"
    "Adds a piece of trades as columns of native doubles (notionals None: price * size; codes None or\n"
    "int32 codes into names, a tuple of ticker bytes).  False when the zone table does not reach a\n"
    "time: call again with the same piece and a wider table, and the batch carries on.";

constexpr const char kAddRecordsDoc[] =
    "add_records($self, records, transitions, offsets, covered_from, covered_to, /)\n--\n\n"
    "Adds packed trade and tick records; False as for add_columns.";

constexpr const char kFinishDoc[] =
    "finish($self, /)\n--\n\nEnds every ticker's last bar and gives all the bars as Records, ticker after ticker.";

PyMethodDef batch_methods[] = {
    {"add_columns", batch_add_columns, METH_VARARGS, kAddColumnsDoc},
    {"add_records", batch_add_records, METH_VARARGS, kAddRecordsDoc},
    {"finish", batch_finish, METH_NOARGS, kFinishDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot batch_slots[] = {
    {Py_tp_doc, const_cast<char*>("Batch(rule, threshold, fill, unit, count, origin, session_from, session_to, /)\n"
                                  "--\n\nThe native pass of tarnwick.bars.aggregate: bars from trades, piece by piece.")},
    {Py_tp_new, reinterpret_cast<void*>(batch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_methods, batch_methods},
    {0, nullptr},
};

PyType_Spec batch_spec = {
    "tarnwick.bars._aggregating.Batch", sizeof(BatchObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    batch_slots,
};

// ---- record_times --------------------------------------------------------------------

constexpr const char kRecordTimesDoc[] =
    "record_times(records, /)\n--\n\n"
    "The times of packed trade and tick records as bytes of native doubles (for the zone table);\n"
    "stops at a record of another kind or one cut short, which the pass refuses.";

PyObject* record_times(PyObject* /*module*/, PyObject* arg) {
    HeldBuffer records;
    if (!records.acquire(arg, PyBUF_SIMPLE)) {
        return nullptr;
    }
    std::span<const unsigned char> bytes = records.bytes();
    std::vector<double> times;
    try {
        for (std::size_t at = 0; at < bytes.size();) {
            std::uint8_t kind = read_field(bytes.data() + at, header::dtype);
            std::size_t size = kind == DTYPE_TRANSACTION || kind == DTYPE_TICK_LITE || kind == DTYPE_TICK
                                   ? record_size(kind) : 0;
            if (size == 0 || bytes.size() - at < size) {
                break;
            }
            times.push_back(read_field(bytes.data() + at, header::timestamp));
            at += size;
        }
    } catch (...) {
        return PyErr_NoMemory();
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(times.data()),
                                     static_cast<Py_ssize_t>(times.size() * sizeof(double)));
}

// ---- module --------------------------------------------------------------------------

PyMethodDef methods[] = {
    {"record_times", record_times, METH_O, kRecordTimesDoc},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    ModuleState* state = state_of(module);
    state->records_type = PyType_FromModuleAndSpec(module, &records_spec, nullptr);
    if (state->records_type == nullptr || PyModule_AddObjectRef(module, "Records", state->records_type) < 0) {
        return -1;
    }
    state->batch_type = PyType_FromModuleAndSpec(module, &batch_spec, nullptr);
    if (state->batch_type == nullptr) {
        return -1;
    }
    return PyModule_AddObjectRef(module, "Batch", state->batch_type);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = state_of(module);
    if (state != nullptr) {
        Py_VISIT(state->records_type);
        Py_VISIT(state->batch_type);
    }
    return 0;
}

int clear_module(PyObject* module) {
    ModuleState* state = state_of(module);
    if (state != nullptr) {
        Py_CLEAR(state->records_type);
        Py_CLEAR(state->batch_type);
    }
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_exec, reinterpret_cast<void*>(add_aggregator_type)},  // the live Aggregator (live_aggregator.cpp)
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_aggregating", "The native pass of tarnwick.bars.aggregate.", sizeof(ModuleState),
    methods, slots, traverse_module, clear_module, free_module,
};

}  // namespace
}  // namespace tarnwick::aggregating

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): PyInit_ and the module's name, _aggregating
PyMODINIT_FUNC PyInit__aggregating() { return PyModuleDef_Init(&tarnwick::aggregating::module_def); }
