// Argument binding for the native constructors (see arguments.hpp).
#include "arguments.hpp"

#include <algorithm>

#include "candlestick_state.hpp"
#include "common.hpp"

namespace tarnwick {
namespace {

// The parameter's index, kNoSuchName, or kNotAString (see common.hpp).
Py_ssize_t find_parameter(const Signature& sig, PyObject* key) {
    return find_name(key, sig.count, [&sig](Py_ssize_t i) { return *sig.names[i]; });
}

int bind_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** bound, OwnedRef* extras) {
    Py_ssize_t index = find_parameter(sig, key);
    if (index == kNotAString) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.function);
        return -1;
    }
    if (index >= 0) {
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", sig.function, key);
            return -1;
        }
        bound[index] = value;
        return 0;
    }
    if (extras == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, key);
        return -1;
    }
    if (!*extras) {
        *extras = OwnedRef::steal(PyDict_New());
        if (!*extras) {
            return -1;
        }
    }
    return PyDict_SetItem(extras->get(), key, value);
}

int bind_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject** bound) {
    if (nargs > sig.count) {
        // Counted as for a method written in Python: `self` included.
        if (sig.required == sig.count) {
            PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd were given", sig.function,
                         sig.count + 1, sig.count == 0 ? "" : "s", nargs + 1);
            return -1;
        }
        PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd were given",
                     sig.function, sig.required + 1, sig.count + 1, nargs + 1);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        bound[i] = args[i];
    }
    for (Py_ssize_t i = nargs; i < sig.count; ++i) {
        bound[i] = nullptr;
    }
    return 0;
}

// "f() missing 2 required positional arguments: 'a' and 'b'"
int check_required(const Signature& sig, PyObject** bound) {
    Py_ssize_t missing = 0;
    for (Py_ssize_t i = 0; i < sig.required; ++i) {
        missing += bound[i] == nullptr;
    }
    if (missing == 0) {
        return 0;
    }
    OwnedRef listing = OwnedRef::steal(PyUnicode_FromString(""));
    Py_ssize_t listed = 0;
    for (Py_ssize_t i = 0; i < sig.required && listing; ++i) {
        if (bound[i] != nullptr) {
            continue;
        }
        ++listed;
        const char* separator = listed == 1 ? "" : listed < missing ? ", " : missing == 2 ? " and " : ", and ";
        listing = OwnedRef::steal(PyUnicode_FromFormat("%U%s'%U'", listing.get(), separator, *sig.names[i]));
    }
    if (listing) {
        PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %U", sig.function, missing,
                     missing == 1 ? "" : "s", listing.get());
    }
    return -1;
}

// Binds the keywords where the same tuple bound last time; false (nothing
// bound) if one would land on a parameter already given by position.
bool bind_cached_keywords(const KeywordCache& cache, PyObject* const* args, Py_ssize_t nargs, Py_ssize_t nkw,
                          PyObject** bound) {
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (bound[cache.index[i]] != nullptr) {
            for (Py_ssize_t j = 0; j < i; ++j) {
                bound[cache.index[j]] = nullptr;
            }
            return false;  // the slow path reports it
        }
        bound[cache.index[i]] = args[nargs + i];
    }
    return true;
}

// Remembers where each keyword of `kwnames` bound, when every one of them
// named a parameter.
void remember_keywords(const Signature& sig, PyObject* kwnames, Py_ssize_t nkw, KeywordCache* cache) {
    if (nkw == 0 || nkw > KeywordCache::kCapacity || !state.interpreter.is_current()) {
        return;
    }
    Py_ssize_t index[KeywordCache::kCapacity];
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        index[i] = find_parameter(sig, PyTuple_GET_ITEM(kwnames, i));
        if (index[i] < 0) {
            return;
        }
    }
    std::copy(index, index + nkw, cache->index);
    Py_XSETREF(cache->kwnames, Py_NewRef(kwnames));
}

}  // namespace

int bind_vectorcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound, OwnedRef* extras) {
    Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nkw == 0 && nargs >= sig.required && nargs <= sig.count) {
        // Positional arguments alone, as many as the signature takes.
        for (Py_ssize_t i = 0; i < sig.count; ++i) {
            bound[i] = i < nargs ? args[i] : nullptr;
        }
        return 0;
    }
    if (bind_positional(sig, args, nargs, bound) < 0) {
        return -1;
    }
    KeywordCache* cache = sig.cache;
    if (cache != nullptr && kwnames == cache->kwnames && bind_cached_keywords(*cache, args, nargs, nkw, bound)) {
        return check_required(sig, bound);
    }
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (bind_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], bound, extras) < 0) {
            return -1;
        }
    }
    if (cache != nullptr) {
        remember_keywords(sig, kwnames, nkw, cache);
    }
    return check_required(sig, bound);
}

int bind_tuple_and_dict(const Signature& sig, PyObject* args, PyObject* kwds, PyObject** bound, OwnedRef* extras) {
    if (bind_positional(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), bound) < 0) {
        return -1;
    }
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (kwds != nullptr && PyDict_Next(kwds, &pos, &key, &value)) {
        if (bind_keyword(sig, key, value, bound, extras) < 0) {
            return -1;
        }
    }
    return check_required(sig, bound);
}

}  // namespace tarnwick
