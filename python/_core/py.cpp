#include "py.hpp"

#include <climits>

#include <cstring>

namespace wq::py {

bool bind_args(const char* method, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::initializer_list<const char*> names, PyObject** out) {
    const auto count = static_cast<Py_ssize_t>(names.size());
    if (nargs > count) {
        if (count == 0)
            PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", method, nargs);
        else
            PyErr_Format(PyExc_TypeError, "%s() takes at most %zd argument%s (%zd given)", method, count,
                         count == 1 ? "" : "s", nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GetItem(kwnames, k);
        Py_ssize_t slot = -1;
        Py_ssize_t i = 0;
        for (const char* name : names) {
            if (PyUnicode_CompareWithASCIIString(key, name) == 0) {
                slot = i;
                break;
            }
            ++i;
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", method, key);
            return false;
        }
        if (out[slot]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", method,
                         names.begin()[slot]);
            return false;
        }
        out[slot] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", method,
                         names.begin()[i], i + 1);
            return false;
        }
    }
    return true;
}

bool wrong_type(const char* method, const char* name, const char* expected, PyObject* obj) {
    PyObject* type_name = PyType_GetName(Py_TYPE(obj));
    if (!type_name) return false;
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %U", method, name, expected, type_name);
    Py_DECREF(type_name);
    return false;
}

static bool out_of_range(const char* method, const char* name, const char* range) {
    PyErr_Format(PyExc_OverflowError, "%s() argument '%s' must be an integer from %s", method, name, range);
    return false;
}

bool one_str_arg(const char* method, const char* param, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, std::string_view& out) {
    PyObject* obj[1];
    return bind_args(method, args, nargs, kwnames, {param}, obj) && arg_str(method, param, obj[0], out);
}

bool one_u64_arg(const char* method, const char* param, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, uint64_t& out) {
    PyObject* obj[1];
    return bind_args(method, args, nargs, kwnames, {param}, obj) && arg_u64(method, param, obj[0], out);
}

bool arg_str(const char* method, const char* name, PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) return wrong_type(method, name, "str", obj);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!data) return false;
    out = std::string_view(data, static_cast<size_t>(size));
    return true;
}

// Converts an int with `convert`; an out-of-range value raises OverflowError
// naming the argument and the accepted `range`.
template <class T, class Convert>
static bool int_arg(const char* method, const char* name, PyObject* obj, const char* range, Convert convert, T& out) {
    if (!PyLong_Check(obj)) return wrong_type(method, name, "int", obj);
    T v = convert(obj);
    if (v == static_cast<T>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        return out_of_range(method, name, range);
    }
    out = v;
    return true;
}

bool arg_u64(const char* method, const char* name, PyObject* obj, uint64_t& out) {
    unsigned long long v = 0;
    if (!int_arg(method, name, obj, "0 to 2**64-1", PyLong_AsUnsignedLongLong, v)) return false;
    out = v;
    return true;
}

bool arg_u32(const char* method, const char* name, PyObject* obj, uint32_t& out) {
    uint64_t v;
    if (!PyLong_Check(obj)) return wrong_type(method, name, "int", obj);
    if (!arg_u64(method, name, obj, v) || v > UINT32_MAX) {
        PyErr_Clear();
        return out_of_range(method, name, "0 to 2**32-1");
    }
    out = static_cast<uint32_t>(v);
    return true;
}

bool arg_i64(const char* method, const char* name, PyObject* obj, int64_t& out) {
    long long v = 0;
    if (!int_arg(method, name, obj, "-2**63 to 2**63-1", PyLong_AsLongLong, v)) return false;
    out = v;
    return true;
}

bool arg_double(const char* method, const char* name, PyObject* obj, double& out) {
    // An int is accepted as the float it converts to.
    if (!PyFloat_Check(obj) && !PyLong_Check(obj)) return wrong_type(method, name, "float", obj);
    out = PyFloat_AsDouble(obj);
    return !(out == -1.0 && PyErr_Occurred());
}

PyObject* make_class(PyType_Spec* spec, PyTypeObject*& keep) {
    PyObject* type = PyType_FromSpec(spec);
    if (!type) return nullptr;
    Py_XDECREF(reinterpret_cast<PyObject*>(keep));
    keep = reinterpret_cast<PyTypeObject*>(Py_NewRef(type));
    return type;
}

PyObject* alloc_instance(PyTypeObject* type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return alloc(type, 0);
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);  // heap types are referenced by their instances
}

PyObject* str_to_py(std::string_view s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

PyObject* u64_to_py(uint64_t v) {
    // The signed constructor has a quicker path for values of one digit.
    return v <= static_cast<uint64_t>(LONG_MAX) ? PyLong_FromLong(static_cast<long>(v))
                                                 : PyLong_FromUnsignedLongLong(v);
}

PyObject* value_to_py(const SignalValue& value) {
    switch (tag_of(value)) {
        case kInt:
            return u64_to_py(std::get<uint64_t>(value));
        case kWide: {
            const auto& words = std::get<Wide>(value).words;
            return u64_to_py(words.empty() ? 0 : words[0]);
        }
        case kReal:
            return PyFloat_FromDouble(std::get<double>(value));
        case kText:
            return str_to_py(std::get<Text>(value).text);
        default:
            Py_RETURN_NONE;
    }
}

PyObject* point_to_py(const Column& column, size_t k) {
    switch (column.tag(k)) {
        case kInt:
            return u64_to_py(column.word(k));
        case kMissing:
        case kLogic:
            Py_RETURN_NONE;
        default:
            return value_to_py(column.value(k));
    }
}

}  // namespace wq::py
