/* bigger_market_data: a static extension class derived from
 * tarnwick.base.market_data.MarketData with one pointer-sized field of its
 * own after the base layout, as a newer build of the base module might have.
 * Everything but the size is inherited, garbage-collector support included:
 * readying the class adds Py_TPFLAGS_HAVE_GC and the base's traverse and clear
 * (naming the flag here would demand a traverse function of our own).
 * Compiled by the import tests. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyMemberDef bigger_members[] = {
    {"extra", Py_T_PYSSIZET, 0, 0, NULL}, /* offset set at exec: after the base layout */
    {NULL, 0, 0, 0, NULL},
};

static PyTypeObject BiggerType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "bigger_market_data.Bigger",
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_members = bigger_members,
};

/* Copies the base's attribute `name` into the class's own dictionary. */
static int copy_from_base(PyObject *base, const char *name) {
    PyObject *value = PyObject_GetAttrString(base, name);
    if (value == NULL) {
        return -1;
    }
    int result = PyDict_SetItemString(BiggerType.tp_dict, name, value);
    Py_DECREF(value);
    return result;
}

static int bigger_exec(PyObject *module) {
    if (!PyType_HasFeature(&BiggerType, Py_TPFLAGS_READY)) {
        PyObject *base_module = PyImport_ImportModule("tarnwick.base.market_data");
        if (base_module == NULL) {
            return -1;
        }
        PyObject *base = PyObject_GetAttrString(base_module, "MarketData");
        Py_DECREF(base_module);
        if (base == NULL) {
            return -1;
        }
        if (!PyType_Check(base)) {
            PyErr_SetString(PyExc_TypeError, "MarketData is not a type");
            Py_DECREF(base);
            return -1;
        }
        PyTypeObject *base_type = (PyTypeObject *)base;
        BiggerType.tp_base = base_type; /* the class keeps this reference for good */
        BiggerType.tp_basicsize = base_type->tp_basicsize + (Py_ssize_t)sizeof(void *);
        bigger_members[0].offset = base_type->tp_basicsize;
        if (PyType_Ready(&BiggerType) < 0 || copy_from_base(base, "__market_data_vtable__") < 0 ||
            copy_from_base(base, "_dtype") < 0) {
            return -1;
        }
        PyType_Modified(&BiggerType);
    }
    return PyModule_AddObjectRef(module, "Bigger", (PyObject *)&BiggerType);
}

static PyModuleDef_Slot bigger_slots[] = {
    {Py_mod_exec, (void *)bigger_exec},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, NULL},
};

static PyModuleDef bigger_module = {
    PyModuleDef_HEAD_INIT, "bigger_market_data", NULL, 0, NULL, bigger_slots, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_bigger_market_data(void) { return PyModuleDef_Init(&bigger_module); }
