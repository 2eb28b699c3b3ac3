// The one-interpreter rule of both extension modules.  Their classes are
// static types and their caches process-wide, so objects made by one
// interpreter would be used by another.  CPython refuses isolated
// sub-interpreters by itself, but not legacy ones (those made with the old
// configuration share the main allocator and skip the check): a module
// therefore binds to the first interpreter that loads it, refuses every
// other, and fills its lazily filled caches only from the bound one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace tarnwick {

inline constexpr const char kInterpreterChange[] =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";

class InterpreterBinding {
public:
    // Binds to the running interpreter the first time; afterwards 0 in that
    // interpreter and -1 with ImportError in any other.  -1 with the
    // interpreter's error when its identifier cannot be read.
    int bind() {
        std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (current == -1) {
            return -1;
        }
        if (id_ == -1) {
            id_ = current;
        } else if (current != id_) {
            PyErr_SetString(PyExc_ImportError, kInterpreterChange);
            return -1;
        }
        return 0;
    }

    // Whether the running interpreter is the bound one: checked before a
    // lazily filled cache is filled, never on the read path.
    bool is_current() const { return id_ != -1 && PyInterpreterState_GetID(PyInterpreterState_Get()) == id_; }

    // The same as a failure: 0, or -1 with ImportError.
    int require_current() const {
        if (is_current()) {
            return 0;
        }
        PyErr_SetString(PyExc_ImportError, kInterpreterChange);
        return -1;
    }

private:
    std::int64_t id_ = -1;  // interpreter identifiers are never reused in a process
};

}  // namespace tarnwick
