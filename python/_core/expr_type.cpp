#include "expr_type.hpp"

namespace wq::py {

namespace {

struct ExprObject {
    PyObject_HEAD
};

void expr_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

PyType_Slot expr_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(expr_dealloc)},
    {0, nullptr},
};

PyType_Spec expr_spec = {
    "wavequery._core.PyExpr",
    sizeof(ExprObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    expr_slots,
};

}  // namespace

PyObject* make_expr_type(PyObject*) { return PyType_FromSpec(&expr_spec); }

}  // namespace wq::py
