// The one place the extension includes Python.h, with the helpers every
// class of the module shares: argument parsing and value conversion.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string_view>

#include "../../core/signal/store.hpp"

namespace wq::py {

// Method entry for METH_FASTCALL | METH_KEYWORDS functions.
using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction as_cfunction(FastMethod f) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)); }

// Matches positional and keyword arguments to the parameter `names` of
// `method`, storing one borrowed object per parameter in `out`. Every
// parameter is required. Raises TypeError and returns false on a missing,
// extra, duplicated or unknown argument.
bool bind_args(const char* method, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::initializer_list<const char*> names, PyObject** out);

// Typed conversions of one bound argument; each raises TypeError (wrong type)
// or OverflowError (out of range) naming the method and the argument.
bool arg_str(const char* method, const char* name, PyObject* obj, std::string_view& out);
bool arg_u64(const char* method, const char* name, PyObject* obj, uint64_t& out);
bool arg_i64(const char* method, const char* name, PyObject* obj, int64_t& out);
bool arg_u32(const char* method, const char* name, PyObject* obj, uint32_t& out);
bool arg_double(const char* method, const char* name, PyObject* obj, double& out);

// Binds and converts the single argument `param` of `method`.
bool one_str_arg(const char* method, const char* param, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, std::string_view& out);
bool one_u64_arg(const char* method, const char* param, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, uint64_t& out);

// Raises TypeError "<method>() argument '<name>' must be <expected>, not <type>"; returns false.
bool wrong_type(const char* method, const char* name, const char* expected, PyObject* obj);

// Creates a class from `spec` and keeps a reference in `keep`, for the
// static methods, which receive no class.
PyObject* make_class(PyType_Spec* spec, PyTypeObject*& keep);
// A new, uninitialised instance of a class made by make_class.
PyObject* alloc_instance(PyTypeObject* type);
// Frees an instance whose fields are already destroyed (the tp_dealloc tail).
void free_instance(PyObject* self);

// A SignalValue as a Python object: Int and the low word of Wide as int,
// Real as float, Text as str, Logic and Missing as None.
PyObject* value_to_py(const SignalValue& value);
// The same for point k of a column, without building a SignalValue.
PyObject* point_to_py(const Column& column, size_t k);

// New str from UTF-8 bytes; bytes that are not UTF-8 become U+FFFD.
PyObject* str_to_py(std::string_view s);
PyObject* u64_to_py(uint64_t v);

// A list made by `make` (returning new references) from each item; nullptr
// with the Python error when any conversion fails.
template <class Items, class Make>
PyObject* list_of(const Items& items, Make&& make) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& item : items) {
        PyObject* v = make(item);
        if (!v) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SetItem(list, i++, v);
    }
    return list;
}

// A list of str from strings.
template <class Strings>
PyObject* str_list(const Strings& items) {
    return list_of(items, [](const auto& s) { return str_to_py(s); });
}

}  // namespace wq::py
