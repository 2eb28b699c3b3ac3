// tarnwick.base.candlestick: the module entry.  Loads the base class from
// tarnwick.base.market_data, readies the bar classes on it and binds the
// module's names.  The classes are static types, so the module's state is
// process-wide and bound to the first interpreter that loads it.
//
// Where each concern lives:
//
//   candlestick.cpp          this entry: the create and exec steps, in order
//   candlestick_state.hpp    all process-wide state, and why a re-import is safe
//   interpreter_binding.hpp  the one-interpreter rule (shared with market_data)
//   bar_slots.hpp            the files of BarData and what they share:
//     bar_data.cpp             construction, fields, item access, text form
//     bar_bytes.cpp            views and their pins, the buffer export,
//                              from_bytes, copying
//     bar_type.cpp             the class set-up, slot docstrings, no pickling
//   daily_bar.cpp            DailyBar, a class made as a class statement would
//   native_function.cpp      the function objects of DailyBar's members
//   arguments.hpp            binding call arguments to parameters
//   conversions.hpp          argument conversions to C numbers
//   records.hpp              the packed record layouts and the one way to
//                            read and write their fields
//   market_data_abi.hpp      the binary contract with the base class
//   common.hpp               helpers both extension modules use
//   pyref.hpp                reference ownership in types
//   market_data_external.cpp the exported C orderings of records
#include "bar_data.hpp"
#include "candlestick_state.hpp"
#include "common.hpp"
#include "daily_bar.hpp"
#include "market_data_abi.hpp"
#include "pyref.hpp"

namespace tarnwick {
namespace {

constexpr const char kModuleName[] = "tarnwick.base.candlestick";
constexpr const char kBaseModuleName[] = "tarnwick.base.market_data";
constexpr const char kBaseClassName[] = "MarketData";

// ---- imports ------------------------------------------------------------------

// `from <module> import <name>` on an imported module, with the interpreter's
// fallback to a submodule already in sys.modules.
OwnedRef import_from(PyObject* module, PyObject* name) {
    OwnedRef value = OwnedRef::steal(PyObject_GetAttr(module, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return value;
    }
    PyErr_Clear();
    OwnedRef module_name = OwnedRef::steal(PyModule_GetNameObject(module));
    if (module_name) {
        OwnedRef full_name = OwnedRef::steal(PyUnicode_FromFormat("%U.%U", module_name.get(), name));
        if (full_name) {
            value = OwnedRef::steal(PyImport_GetModule(full_name.get()));
            if (value || PyErr_Occurred()) {
                return value;
            }
        }
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return {};
}

// `from <name> import <attribute>` at the given relative level, resolved
// against the module's own namespace.
OwnedRef import_name(PyObject* module, const char* name, const char* attribute, int level) {
    OwnedRef module_name = OwnedRef::steal(PyUnicode_FromString(name));
    OwnedRef attribute_name = OwnedRef::steal(PyUnicode_FromString(attribute));
    if (!module_name || !attribute_name) {
        return {};
    }
    OwnedRef fromlist = OwnedRef::steal(PyTuple_Pack(1, attribute_name.get()));
    if (!fromlist) {
        return {};
    }
    OwnedRef imported = OwnedRef::steal(PyImport_ImportModuleLevelObject(
        module_name.get(), PyModule_GetDict(module), nullptr, fromlist.get(), level));
    return imported ? import_from(imported.get(), attribute_name.get()) : OwnedRef();
}

// The interpreter-level value of a record kind: DataType.<name>, or the plain
// code (after one UserWarning) when DataType cannot be imported.
OwnedRef data_type_value(PyObject* module, const char* name, int code) {
    if (state.data_type_class == nullptr && !state.data_type_unavailable) {
        OwnedRef data_type = import_name(module, kBaseModuleName, "DataType", 0);
        if (data_type) {
            state.data_type_class = data_type.release();
        } else {
            if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
                return {};
            }
            PyErr_Clear();
            state.data_type_unavailable = true;
            OwnedRef warn = import_name(module, "warnings", "warn", 0);
            OwnedRef result = OwnedRef::steal(
                warn ? PyObject_CallFunction(warn.get(), "s",
                                             "enum class DataType not importable from tarnwick.base.market_data. "
                                             "Using plain integer record kinds instead.")
                     : nullptr);
            if (!result) {
                return {};
            }
        }
    }
    if (state.data_type_class != nullptr) {
        return OwnedRef::steal(PyObject_GetAttrString(state.data_type_class, name));
    }
    return OwnedRef::steal(PyLong_FromLong(code));
}

// ---- the base class -------------------------------------------------------------

// Imports MarketData, checks it is a type of the expected size, and returns
// its table of record operations (null with an exception on failure).
const MarketDataVTable* import_base_class(PyTypeObject** base) {
    OwnedRef base_module = OwnedRef::steal(PyImport_ImportModule(kBaseModuleName));
    if (!base_module) {
        return nullptr;
    }
    OwnedRef base_class = OwnedRef::steal(PyObject_GetAttrString(base_module.get(), kBaseClassName));
    if (!base_class) {
        return nullptr;
    }
    if (!PyType_Check(base_class.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", kBaseModuleName, kBaseClassName);
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(base_class.get());
    if (type->tp_basicsize != kMarketDataObjectSize) {
        const char* format =
            "%.200s.%.200s size changed, may indicate binary incompatibility. "
            "Expected %zd from C header, got %zd from PyObject";
        if (type->tp_basicsize < kMarketDataObjectSize) {
            PyErr_Format(PyExc_ValueError, format, kBaseModuleName, kBaseClassName, kMarketDataObjectSize,
                         type->tp_basicsize);
            return nullptr;
        }
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 0, format, kBaseModuleName, kBaseClassName,
                             kMarketDataObjectSize, type->tp_basicsize) < 0) {
            return nullptr;
        }
    }
    OwnedRef capsule = OwnedRef::steal(PyObject_GetAttrString(base_class.get(), kVTableKey));
    if (!capsule) {
        return nullptr;
    }
    void* vtable = PyCapsule_GetPointer(capsule.get(), kVTableCapsuleName);
    if (vtable == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_RuntimeError, "invalid vtable found for imported type");
        return nullptr;
    }
    // Classes live as long as the process: the module keeps its base for good.
    *base = reinterpret_cast<PyTypeObject*>(base_class.release());
    return static_cast<const MarketDataVTable*>(vtable);
}

int bind(PyObject* module, const char* name, const OwnedRef& value) {
    return value ? PyModule_AddObjectRef(module, name, value.get()) : -1;
}

// ---- create and exec --------------------------------------------------------------

PyObject* candlestick_create(PyObject* spec, PyModuleDef*) {
    if (state.interpreter.bind() < 0) {
        return nullptr;
    }
    if (state.module != nullptr) {
        return Py_NewRef(state.module);
    }
    OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    OwnedRef module = OwnedRef::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    const struct {
        const char* from;
        const char* to;
        bool copy_none;
    } copies[] = {
        {"loader", "__loader__", true},
        {"origin", "__file__", true},
        {"parent", "__package__", true},
        {"submodule_search_locations", "__path__", false},
    };
    for (const auto& copy : copies) {
        OwnedRef value = OwnedRef::steal(PyObject_GetAttrString(spec, copy.from));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                return nullptr;
            }
            PyErr_Clear();
            continue;
        }
        if ((copy.copy_none || value.get() != Py_None) &&
            PyObject_SetAttrString(module.get(), copy.to, value.get()) < 0) {
            return nullptr;
        }
    }
    return module.release();
}

// The exec steps in their order; on failure the caller forgets the module.
int initialise(PyObject* module) {
    if (fill_candlestick_state() < 0) {
        return -1;
    }
    set_bar_data_globals(PyModule_GetDict(module));
    if (PyDict_SetItemString(PyImport_GetModuleDict(), kModuleName, module) < 0) {
        return -1;
    }

    PyTypeObject* base = nullptr;
    const MarketDataVTable* base_vtable = import_base_class(&base);
    if (base_vtable == nullptr) {
        return -1;
    }
    if (ready_bar_data_type(base, base_vtable) < 0 ||
        PyModule_AddObjectRef(module, "BarData", reinterpret_cast<PyObject*>(&BarDataType)) < 0 ||
        install_pickling_refusal(base) < 0) {
        return -1;
    }

    if (bind(module, "Literal", import_name(module, "typing", "Literal", 0)) < 0 ||
        bind(module, "PROFILE", import_name(module, "profile", "PROFILE", 2)) < 0) {
        return -1;
    }

    OwnedRef bar_kind = data_type_value(module, "DTYPE_BAR", DTYPE_BAR);
    if (!bar_kind || PyDict_SetItemString(BarDataType.tp_dict, "_dtype", bar_kind.get()) < 0) {
        return -1;
    }
    PyType_Modified(&BarDataType);
    // from_buffer and from_bytes are class methods from the start (METH_CLASS).

    return bind(module, "DailyBar", create_daily_bar_class(kModuleName));
}

int candlestick_exec(PyObject* module) {
    if (state.module != nullptr) {
        if (state.module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'candlestick' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    state.module = Py_NewRef(module);
    if (initialise(module) < 0) {
        Py_CLEAR(state.module);
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, "init tarnwick.base.candlestick");
        }
        return -1;
    }
    return 0;
}

PyModuleDef_Slot candlestick_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(candlestick_create)},
    {Py_mod_exec, reinterpret_cast<void*>(candlestick_exec)},
    {0, nullptr},
};

PyModuleDef candlestick_module = {
    PyModuleDef_HEAD_INIT, "candlestick", nullptr, 0, nullptr, candlestick_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace tarnwick

PyMODINIT_FUNC PyInit_candlestick() { return PyModuleDef_Init(&tarnwick::candlestick_module); }
