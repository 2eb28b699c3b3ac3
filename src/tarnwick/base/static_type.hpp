// Static type objects: the classes of these modules are process-wide, so
// they are plain globals, described slot by slot before PyType_Ready.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarnwick {

// A type object with every slot empty and the object header that static
// types carry.
inline PyTypeObject empty_static_type() noexcept {
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    return type;
}

}  // namespace tarnwick
