// Native function objects for class bodies (see native_function.hpp).
#include "native_function.hpp"

#include <cstddef>

#include "pyref.hpp"
#include "static_type.hpp"

namespace tarnwick {
namespace {

PyTypeObject NativeFunctionType = empty_static_type();

NativeFunction* as_function(PyObject* op) { return reinterpret_cast<NativeFunction*>(op); }

PyObject* native_function_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    NativeFunction* function = as_function(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "%U() missing 1 required positional argument: 'self'", function->qualname);
        return nullptr;
    }
    return function->body(function, args, nargs, kwnames);
}

// Bound to an instance it becomes a method, as a function does.
PyObject* native_function_get(PyObject* op, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) {
        return Py_NewRef(op);
    }
    return PyMethod_New(op, instance);
}

int native_function_traverse(PyObject* op, visitproc visit, void* arg) {
    NativeFunction* function = as_function(op);
    Py_VISIT(function->annotations);
    Py_VISIT(function->defaults);
    Py_VISIT(function->owner);
    return 0;
}

int native_function_clear(PyObject* op) {
    NativeFunction* function = as_function(op);
    Py_CLEAR(function->annotations);
    Py_CLEAR(function->defaults);
    Py_CLEAR(function->owner);
    return 0;
}

void native_function_dealloc(PyObject* op) {
    NativeFunction* function = as_function(op);
    PyObject_GC_UnTrack(op);
    native_function_clear(op);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->module);
    Py_CLEAR(function->doc);
    PyObject_GC_Del(op);
}

PyObject* native_function_repr(PyObject* op) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(op)->qualname, op);
}

PyMemberDef native_function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(NativeFunction, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(NativeFunction, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(NativeFunction, module), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(NativeFunction, doc), Py_READONLY, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(NativeFunction, annotations), Py_READONLY, nullptr},
    {"__defaults__", Py_T_OBJECT_EX, offsetof(NativeFunction, defaults), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

int ready_native_function_type() {
    PyTypeObject& t = NativeFunctionType;
    if (PyType_HasFeature(&t, Py_TPFLAGS_READY)) {
        return 0;
    }
    t.tp_name = "tarnwick.base.candlestick.native_function";
    t.tp_basicsize = sizeof(NativeFunction);
    // A method descriptor: `obj.method(...)` calls it without a bound method.
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    t.tp_vectorcall_offset = offsetof(NativeFunction, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_descr_get = native_function_get;
    t.tp_traverse = native_function_traverse;
    t.tp_clear = native_function_clear;
    t.tp_dealloc = native_function_dealloc;
    t.tp_repr = native_function_repr;
    t.tp_members = native_function_members;
    return PyType_Ready(&t);
}

}  // namespace

OwnedRef new_native_function(const NativeFunctionSpec& spec, const char* module, const char* qualname_prefix,
                             PyObject* defaults) {
    if (ready_native_function_type() < 0) {
        return {};
    }
    OwnedRef annotations = OwnedRef::steal(PyDict_New());
    if (!annotations) {
        return {};
    }
    if (spec.return_annotation != nullptr) {
        OwnedRef text = OwnedRef::steal(PyUnicode_FromString(spec.return_annotation));
        if (!text || PyDict_SetItemString(annotations.get(), "return", text.get()) < 0) {
            return {};
        }
    }
    OwnedRef name = OwnedRef::steal(PyUnicode_InternFromString(spec.name));
    OwnedRef qualname = OwnedRef::steal(PyUnicode_FromFormat("%s.%s", qualname_prefix, spec.name));
    OwnedRef module_name = OwnedRef::steal(PyUnicode_FromString(module));
    OwnedRef doc = OwnedRef::steal(spec.doc != nullptr ? PyUnicode_FromString(spec.doc) : Py_NewRef(Py_None));
    if (!name || !qualname || !module_name || !doc) {
        return {};
    }
    NativeFunction* function = PyObject_GC_New(NativeFunction, &NativeFunctionType);
    if (function == nullptr) {
        return {};
    }
    function->vectorcall = native_function_call;
    function->body = spec.body;
    function->name = name.release();
    function->qualname = qualname.release();
    function->module = module_name.release();
    function->doc = doc.release();
    function->annotations = annotations.release();
    function->defaults = Py_NewRef(defaults != nullptr ? defaults : Py_None);
    function->owner = nullptr;
    function->super_cache = LookupCache{};
    PyObject_GC_Track(function);
    return OwnedRef::steal(reinterpret_cast<PyObject*>(function));
}

NativeFunction* as_native_function(PyObject* object, NativeBody body) {
    return Py_IS_TYPE(object, &NativeFunctionType) && as_function(object)->body == body ? as_function(object)
                                                                                         : nullptr;
}

void set_native_function_owner(PyObject* function, PyObject* owner) {
    NativeFunction* self = as_function(function);
    Py_XSETREF(self->owner, Py_NewRef(owner));
    self->super_cache = LookupCache{};
}

OwnedRef find_in_mro(PyTypeObject* type, PyTypeObject* after, PyObject* name, LookupCache* cache) {
    if (cache_holds(*cache, type, name)) {
        return OwnedRef::borrow(cache->found);
    }
    // The tag is taken before the search, so that a search that runs code
    // which changes the class leaves nothing behind.
    unsigned int version = PyUnstable_Type_AssignVersionTag(type) != 0 ? type->tp_version_tag : 0;
    if (type->tp_mro == nullptr) {
        return {};
    }
    // Hold the MRO: a lookup in a class dictionary may run code that replaces it.
    OwnedRef mro = OwnedRef::borrow(type->tp_mro);
    Py_ssize_t size = PyTuple_GET_SIZE(mro.get());
    Py_ssize_t i = 0;
    if (after != nullptr) {
        while (i < size && PyTuple_GET_ITEM(mro.get(), i) != reinterpret_cast<PyObject*>(after)) {
            ++i;
        }
        ++i;
    }
    PyObject* found = nullptr;
    for (; i < size && found == nullptr; ++i) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i))->tp_dict;
        if (dict != nullptr && PyDict_GetItemRef(dict, name, &found) < 0) {
            return {};
        }
    }
    if (version != 0 && type->tp_version_tag == version) {
        *cache = LookupCache{type, version, name, found};
    }
    return OwnedRef::steal(found);
}

OwnedRef super_lookup(NativeFunction* function, PyObject* self, PyObject* name) {
    PyObject* owner = function->owner;
    PyTypeObject* start = Py_TYPE(self);
    if (owner == nullptr || !PyType_Check(owner) || !PyType_IsSubtype(start, reinterpret_cast<PyTypeObject*>(owner))) {
        return {};
    }
    return find_in_mro(start, reinterpret_cast<PyTypeObject*>(owner), name, &function->super_cache);
}

OwnedRef super_attribute(NativeFunction* function, PyObject* self, PyObject* name) {
    // The common case without a super object: find the attribute after the
    // owner in the instance's MRO and bind it as super() would.
    OwnedRef found = super_lookup(function, self, name);
    if (found) {
        descrgetfunc get = Py_TYPE(found.get())->tp_descr_get;
        if (get == nullptr) {
            return found;
        }
        return OwnedRef::steal(get(found.get(), self, reinterpret_cast<PyObject*>(Py_TYPE(self))));
    }
    if (PyErr_Occurred()) {
        return {};
    }
    // Everything else (not found, an owner missing, an instance of another
    // class) goes through super() itself, for its own results and errors.
    if (function->owner == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "super(): __class__ cell not found");
        return {};
    }
    PyObject* args[] = {function->owner, self};
    OwnedRef proxy = OwnedRef::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PySuper_Type), args, 2, nullptr));
    return proxy ? OwnedRef::steal(PyObject_GetAttr(proxy.get(), name)) : OwnedRef();
}

int expect_self_only(NativeFunction* function, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", function->qualname,
                     PyTuple_GET_ITEM(kwnames, 0));
        return -1;
    }
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "%U() takes 1 positional argument but %zd were given", function->qualname,
                     nargs);
        return -1;
    }
    return 0;
}

}  // namespace tarnwick
