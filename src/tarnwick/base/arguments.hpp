// Binding of call arguments to a native function's named parameters, with
// the interpreter's own wording for every binding error.  Keyword names are
// matched by identity against interned names first (the usual case, since
// the compiler interns keyword names) and by value only after that.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "pyref.hpp"

namespace tarnwick {

// Where the keywords of the last call bound: a call site passes the same
// tuple of keyword names every time, so a repeated tuple binds by position.
struct KeywordCache {
    static constexpr Py_ssize_t kCapacity = 16;
    PyObject* kwnames = nullptr;  // a strong reference
    Py_ssize_t index[kCapacity] = {};
};

struct Signature {
    const char* function;           // as it is named in messages, e.g. "BarData.__init__"
    PyObject* const* const* names;  // the parameters' interned names, in order
    Py_ssize_t count;               // number of parameters
    Py_ssize_t required;            // the first `required` have no default
    KeywordCache* cache = nullptr;  // for signatures called with keywords often
};

// Binds `args[:nargs]` and the keywords (values follow the positional ones,
// names in `kwnames`) to `bound[0:count]`, borrowed; a parameter not given is
// left null.  Keywords of no parameter go into `extras`, a dict made on
// first use; with `extras` null, such a keyword is an error.  Returns -1
// with TypeError set on a binding error.
int bind_vectorcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound, OwnedRef* extras);

// The same for a classic call: an argument tuple and a keyword dict (or null).
int bind_tuple_and_dict(const Signature& sig, PyObject* args, PyObject* kwds, PyObject** bound, OwnedRef* extras);

}  // namespace tarnwick
