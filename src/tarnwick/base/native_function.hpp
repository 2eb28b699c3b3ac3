// Native function objects that behave like functions written in Python where
// a class body needs them: they bind as methods, and carry `__module__`,
// `__qualname__`, `__annotations__` and `__defaults__`.  A function that uses
// the zero-argument super-call is told its class once the class exists.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "pyref.hpp"

namespace tarnwick {

struct NativeFunction;

// One class-attribute search remembered for one class while its version tag
// (which changes with the class, its bases and its MRO) stays the same.
// `found` is borrowed: an unchanged tag means the class dictionaries that
// hold it are unchanged, as the interpreter's own type cache assumes.
struct LookupCache {
    PyTypeObject* type = nullptr;  // compared only, never dereferenced
    unsigned int version = 0;      // 0: nothing remembered
    PyObject* name = nullptr;      // compared only
    PyObject* found = nullptr;     // null: not found
};

// Whether the cache's `found` is the answer for this class and name.
inline bool cache_holds(const LookupCache& cache, const PyTypeObject* type, const PyObject* name) {
    return cache.version != 0 && cache.version == type->tp_version_tag && cache.type == type && cache.name == name;
}

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
    LookupCache super_cache;  // the last super lookup
};

struct NativeFunctionSpec {
    const char* name;
    NativeBody body;
    const char* doc;                // null for none
    const char* return_annotation;  // null for none
};

// `object` as a native function with this body, or null when it is another object.
NativeFunction* as_native_function(PyObject* object, NativeBody body);

// A new function `qualname_prefix.name` of module `module`, or null with an exception set.
OwnedRef new_native_function(const NativeFunctionSpec& spec, const char* module, const char* qualname_prefix,
                              PyObject* defaults);

// Hands the class to a function that uses the zero-argument super-call.
void set_native_function_owner(PyObject* function, PyObject* owner);

// The first class in `type`'s MRO after `after` (from the start when null)
// whose dictionary holds `name`, and what it holds there, or null (with an exception only if a lookup failed) when none does or
// `after` is not in the MRO.  Remembered in `cache` while the class is
// unchanged.
OwnedRef find_in_mro(PyTypeObject* type, PyTypeObject* after, PyObject* name, LookupCache* cache);

// What super(<owner>, self).<name> finds, before binding, or null (with an exception only if a lookup failed) when it is not found
// in the classes after the owner.
OwnedRef super_lookup(NativeFunction* function, PyObject* self, PyObject* name);

// super(<owner>, self).<name>, as the zero-argument super-call in the
// function's class body would find it (null with an exception set if it fails).
OwnedRef super_attribute(NativeFunction* function, PyObject* self, PyObject* name);

// Checks that a property getter was called with exactly its instance.
int expect_self_only(NativeFunction* function, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tarnwick
