// Argument conversions shared by the bar classes, one per C type, with the
// exact messages their callers promise.  Each returns 0 on success and -1
// with an exception set on failure.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <limits>

#include "pyref.hpp"

namespace tarnwick {

// float(obj) as the interpreter converts numbers: float, int, __float__,
// __index__.  Text is refused with the interpreter's TypeError.
inline int to_double(PyObject* obj, double* out) {
    if (PyFloat_CheckExact(obj)) {
        *out = PyFloat_AS_DOUBLE(obj);
        return 0;
    }
    // An exact int converts as int.__float__ would, without the temporary
    // float object (same value, same OverflowError).
    double value = PyLong_CheckExact(obj) ? PyLong_AsDouble(obj) : PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
        return -1;
    }
    *out = value;
    return 0;
}

// An int as is; any other object through its own __int__, which must return
// an int.
inline OwnedRef integer_of(PyObject* obj) {
    if (PyLong_Check(obj)) {
        return OwnedRef::borrow(obj);
    }
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return {};
    }
    OwnedRef result = OwnedRef::steal(number->nb_int(obj));
    if (result && !PyLong_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result.get())->tp_name);
        return {};
    }
    return result;
}

// Unsigned 32-bit: negative and too large values have messages of their own;
// from 2**64 on the interpreter's unsigned long overflow comes through.
inline int to_uint32(PyObject* obj, std::uint32_t* out) {
    OwnedRef integer = integer_of(obj);
    if (!integer) {
        return -1;
    }
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (overflow < 0 || (overflow == 0 && value < 0)) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to uint32_t");
        return -1;
    }
    if (overflow > 0) {
        unsigned long wide = PyLong_AsUnsignedLong(integer.get());  // raises from 2**64 on
        if (wide == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
            return -1;
        }
    }
    if (overflow > 0 || value > std::numeric_limits<std::uint32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to uint32_t");
        return -1;
    }
    *out = static_cast<std::uint32_t>(value);
    return 0;
}

// Signed 32-bit: outside its range "value too large to convert to int";
// beyond the signed 64-bit range the interpreter's long overflow comes through.
inline int to_int32(PyObject* obj, std::int32_t* out) {
    OwnedRef integer = integer_of(obj);
    if (!integer) {
        return -1;
    }
    long value = PyLong_AsLong(integer.get());
    if (value == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return -1;
    }
    *out = static_cast<std::int32_t>(value);
    return 0;
}

// "Argument 'name' has incorrect type (expected T, got U)"
inline void raise_argument_type(const char* name, const char* expected, PyObject* given) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 expected, Py_TYPE(given)->tp_name);
}

}  // namespace tarnwick
