// Native function objects that behave like functions written in Python where
// a class body needs them: they bind as methods, and carry `__module__`,
// `__qualname__`, `__annotations__` and `__defaults__`.  A function that uses
// the zero-argument super-call is told its class once the class exists.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarnwick {

struct NativeFunction;

// The body of a native function: the arguments as in a vectorcall, with
// `self` (the instance the function is bound to) first.
using NativeBody = PyObject* (*)(NativeFunction* function, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    NativeBody body;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;  // dict
    PyObject* defaults;     // tuple or None
    PyObject* owner;        // the class for the zero-argument super-call, or null
};

struct NativeFunctionSpec {
    const char* name;
    NativeBody body;
    const char* doc;                // null for none
    const char* return_annotation;  // null for none
};

// A new function `qualname_prefix.name` of module `module`.
PyObject* new_native_function(const NativeFunctionSpec& spec, const char* module, const char* qualname_prefix,
                              PyObject* defaults);

// Hands the class to a function that uses the zero-argument super-call.
void set_native_function_owner(PyObject* function, PyObject* owner);

// What super(<owner>, self).<name> finds, before binding: a new reference,
// or null (with an exception only if a lookup failed) when it is not found
// in the classes after the owner.
PyObject* super_lookup(NativeFunction* function, PyObject* self, PyObject* name);

// super(<owner>, self).<name>, as the zero-argument super-call in the
// function's class body would find it.
PyObject* super_attribute(NativeFunction* function, PyObject* self, PyObject* name);

// Checks that a property getter was called with exactly its instance.
int expect_self_only(NativeFunction* function, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tarnwick
