// The extension module wavequery._core: registers PyTrace, then PyExpr.
#include "expr_type.hpp"
#include "trace_type.hpp"

namespace {

int add_type(PyObject* module, const char* name, PyObject* type) {
    if (!type) return -1;
    int rc = PyModule_AddObjectRef(module, name, type);
    Py_DECREF(type);
    return rc;
}

int core_exec(PyObject* module) {
    if (add_type(module, "PyTrace", wq::py::make_trace_type(module)) < 0) return -1;
    if (add_type(module, "PyExpr", wq::py::make_expr_type(module)) < 0) return -1;
    return 0;
}

PyModuleDef_Slot core_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(core_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef core_module = {
    PyModuleDef_HEAD_INIT, "_core", "", 0, nullptr, core_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__core() { return PyModuleDef_Init(&core_module); }
