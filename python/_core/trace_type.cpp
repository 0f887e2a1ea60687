#include "trace_type.hpp"

#include <new>
#include <string>

#include "../../core/trace/vcd.hpp"

namespace wq::py {

namespace {

// The class object, kept for the static loaders, which receive no class.
PyTypeObject* g_trace_type = nullptr;

const Trace& trace_of(PyObject* self) { return *reinterpret_cast<TraceObject*>(self)->trace; }

PyObject* new_trace_object(std::shared_ptr<const Trace> trace) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(g_trace_type, Py_tp_alloc));
    PyObject* obj = alloc(g_trace_type, 0);
    if (!obj) return nullptr;
    new (&reinterpret_cast<TraceObject*>(obj)->trace) std::shared_ptr<const Trace>(std::move(trace));
    return obj;
}

void trace_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<TraceObject*>(self)->trace.~shared_ptr();
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// Runs a reader with the interpreter released (it touches no Python object)
// and turns its outcome into a PyTrace or a ValueError.
template <class Reader>
PyObject* load(Reader&& reader) {
    LoadResult result;
    Py_BEGIN_ALLOW_THREADS
    result = reader();
    Py_END_ALLOW_THREADS
    if (!result.trace) {
        PyErr_SetString(PyExc_ValueError, result.error.c_str());
        return nullptr;
    }
    return new_trace_object(std::move(result.trace));
}

// Parses the one str argument `param` of `method`.
bool one_str_arg(const char* method, const char* param, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, std::string_view& out) {
    PyObject* obj[1];
    return bind_args(method, args, nargs, kwnames, {param}, obj) && arg_str(method, param, obj[0], out);
}

// Loader taking a file path.
template <LoadResult (*Reader)(const std::string&)>
PyObject* path_loader(const char* method, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string_view path;
    if (!one_str_arg(method, "path", args, nargs, kwnames, path)) return nullptr;
    std::string p(path);
    return load([&] { return Reader(p); });
}

PyObject* from_vcd(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return path_loader<vcd::from_file>("from_vcd", args, nargs, kwnames);
}

PyObject* from_vcd_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string_view data;
    if (!one_str_arg("from_vcd_string", "data", args, nargs, kwnames, data)) return nullptr;
    // The str owns the UTF-8 bytes and stays alive for the call.
    return load([&] { return vcd::parse(data); });
}

PyObject* str_list(const std::vector<std::string>& items) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (!list) return nullptr;
    for (size_t i = 0; i < items.size(); ++i) {
        PyObject* s = str_to_py(items[i]);
        if (!s) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SetItem(list, static_cast<Py_ssize_t>(i), s);
    }
    return list;
}

PyObject* signal_names(PyObject* self, PyObject*) { return str_list(trace_of(self).signal_names()); }
PyObject* scopes(PyObject* self, PyObject*) { return str_list(trace_of(self).scopes()); }
PyObject* max_index(PyObject* self, PyObject*) { return u64_to_py(trace_of(self).max_index()); }

PyObject* timestamp(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* obj[1];
    uint64_t index;
    if (!bind_args("timestamp", args, nargs, kwnames, {"index"}, obj) ||
        !arg_u64("timestamp", "index", obj[0], index))
        return nullptr;
    return u64_to_py(trace_of(self).timestamp(index));
}

// Parses (name, index) for the two value accessors.
bool name_index_args(const char* method, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::string_view& name, uint64_t& index) {
    PyObject* obj[2];
    return bind_args(method, args, nargs, kwnames, {"name", "index"}, obj) &&
           arg_str(method, "name", obj[0], name) && arg_u64(method, "index", obj[1], index);
}

PyObject* signal_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string_view name;
    uint64_t index;
    if (!name_index_args("signal_value", args, nargs, kwnames, name, index)) return nullptr;
    return value_to_py(trace_of(self).signal_value(name, index));
}

PyObject* signal_value_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string_view name;
    uint64_t index;
    if (!name_index_args("signal_value_raw", args, nargs, kwnames, name, index)) return nullptr;
    return u64_to_py(to_u64(trace_of(self).signal_value(name, index)).value_or(0));
}

PyObject* signal_width(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string_view name;
    if (!one_str_arg("signal_width", "name", args, nargs, kwnames, name)) return nullptr;
    return PyLong_FromUnsignedLong(trace_of(self).signal_width(name));
}

PyObject* signal_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string_view name;
    if (!one_str_arg("signal_id", "name", args, nargs, kwnames, name)) return nullptr;
    auto id = trace_of(self).signal_id(name);
    if (!id) Py_RETURN_NONE;
    return u64_to_py(*id);
}

// Walks the signal's change points and converts each once: every index of a
// run shares the object of the point in force there.
PyObject* signal_values_range(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const char* method = "signal_values_range";
    PyObject* obj[3];
    std::string_view name;
    uint64_t start, end;
    if (!bind_args(method, args, nargs, kwnames, {"name", "start", "end"}, obj) ||
        !arg_str(method, "name", obj[0], name) || !arg_u64(method, "start", obj[1], start) ||
        !arg_u64(method, "end", obj[2], end))
        return nullptr;
    if (end <= start) return PyList_New(0);
    uint64_t count = end - start;
    if (count > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));  // MemoryError at once when too large
    if (!list) return nullptr;

    const Trace& trace = trace_of(self);
    auto id = trace.signal_id(name);
    const Column* column = id ? trace.store().column(*id) : nullptr;
    uint64_t length = trace.store().length();
    size_t next = column ? column->points_through(start) : 0;  // first point after `start`
    PyObject* current = (column && next > 0 && start < length) ? point_to_py(*column, next - 1) : Py_NewRef(Py_None);
    if (!current) {
        Py_DECREF(list);
        return nullptr;
    }
    for (uint64_t pos = 0; pos < count;) {
        uint64_t i = start + pos;
        uint64_t run_end = end;  // where the value `current` stops holding
        if (i >= length) {
            Py_DECREF(current);
            current = Py_NewRef(Py_None);
        } else {
            if (column && next < column->size() && column->times[next] <= i) {
                Py_DECREF(current);
                current = point_to_py(*column, next);
                ++next;
                if (!current) {
                    Py_DECREF(list);
                    return nullptr;
                }
            }
            if (column && next < column->size()) run_end = std::min<uint64_t>(run_end, column->times[next]);
            run_end = std::min(run_end, length);
        }
        for (; start + pos < run_end; ++pos) PyList_SetItem(list, static_cast<Py_ssize_t>(pos), Py_NewRef(current));
    }
    Py_DECREF(current);
    return list;
}

#define FAST(name) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name))
#define KW (METH_FASTCALL | METH_KEYWORDS)

PyMethodDef trace_methods[] = {
    {"from_vcd", FAST(from_vcd), KW | METH_STATIC, "from_vcd(path)\n--\n\n"},
    {"from_vcd_string", FAST(from_vcd_string), KW | METH_STATIC, "from_vcd_string(data)\n--\n\n"},
    {"signal_names", signal_names, METH_NOARGS, "signal_names($self)\n--\n\n"},
    {"scopes", scopes, METH_NOARGS, "scopes($self)\n--\n\n"},
    {"max_index", max_index, METH_NOARGS, "max_index($self)\n--\n\n"},
    {"timestamp", FAST(timestamp), KW, "timestamp($self, index)\n--\n\n"},
    {"signal_value", FAST(signal_value), KW, "signal_value($self, name, index)\n--\n\n"},
    {"signal_value_raw", FAST(signal_value_raw), KW, "signal_value_raw($self, name, index)\n--\n\n"},
    {"signal_width", FAST(signal_width), KW, "signal_width($self, name)\n--\n\n"},
    {"signal_id", FAST(signal_id), KW, "signal_id($self, name)\n--\n\n"},
    {"signal_values_range", FAST(signal_values_range), KW, "signal_values_range($self, name, start, end)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot trace_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(trace_dealloc)},
    {Py_tp_methods, trace_methods},
    {0, nullptr},
};

PyType_Spec trace_spec = {
    "wavequery._core.PyTrace",
    sizeof(TraceObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    trace_slots,
};

}  // namespace

PyObject* make_trace_type(PyObject*) {
    PyObject* type = PyType_FromSpec(&trace_spec);
    if (!type) return nullptr;
    Py_XDECREF(reinterpret_cast<PyObject*>(g_trace_type));
    g_trace_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type));
    return type;
}

}  // namespace wq::py
