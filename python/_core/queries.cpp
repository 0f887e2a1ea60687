// PyTrace's query methods: change tracking, hierarchy navigation, name
// search, statistics, snapshots and the two integer helpers.
#include <string>

#include "../../core/eval/changes.hpp"
#include "../../core/eval/expr.hpp"
#include "../../core/eval/names.hpp"
#include "../../core/eval/scope.hpp"
#include "../../core/eval/stats.hpp"
#include "trace_type.hpp"

namespace wq::py {

namespace {

// A tuple (first, old, new) of new references; steals `first`.
PyObject* change_tuple(PyObject* first, const SignalValue& old_value, const SignalValue& new_value) {
    if (!first) return nullptr;
    PyObject* a = value_to_py(old_value);
    PyObject* b = a ? value_to_py(new_value) : nullptr;
    PyObject* t = b ? PyTuple_New(3) : nullptr;
    if (!t) {
        Py_DECREF(first);
        Py_XDECREF(a);
        Py_XDECREF(b);
        return nullptr;
    }
    PyTuple_SetItem(t, 0, first);
    PyTuple_SetItem(t, 1, a);
    PyTuple_SetItem(t, 2, b);
    return t;
}


PyObject* change_list(const std::vector<ChangeRecord>& records) {
    return list_of(records, [](const ChangeRecord& r) {
        return change_tuple(str_to_py(r.name), r.old_value, r.new_value);
    });
}

bool index_scope_args(const char* method, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      uint64_t& index, std::string_view& scope) {
    PyObject* obj[2];
    return bind_args(method, args, nargs, kwnames, {"index", "scope"}, obj) &&
           arg_u64(method, "index", obj[0], index) && arg_str(method, "scope", obj[1], scope);
}

// Lower-cases with Python's str.lower: Unicode's full mapping, final sigma included.
std::string python_lower(std::string_view s) {
    PyObject* text = str_to_py(s);
    PyObject* lowered = text ? PyObject_CallMethod(text, "lower", nullptr) : nullptr;
    Py_XDECREF(text);
    std::string out;
    Py_ssize_t size = 0;
    const char* utf8 = lowered ? PyUnicode_AsUTF8AndSize(lowered, &size) : nullptr;
    if (utf8) out.assign(utf8, static_cast<size_t>(size));
    Py_XDECREF(lowered);
    PyErr_Clear();  // names are valid UTF-8, so lowering cannot fail short of memory
    return out;
}

// A dict of the values at `index` of the names that begin with `prefix`,
// keyed by the rest of the name; one value lookup per signal.
PyObject* snapshot_dict(const Trace& trace, uint64_t index, std::string_view prefix) {
    PyObject* dict = PyDict_New();
    if (!dict) return nullptr;
    for (const std::string& name : trace.signal_names()) {
        if (std::string_view(name).substr(0, prefix.size()) != prefix) continue;
        auto id = trace.signal_id(name);
        if (!id) continue;
        PyObject* key = str_to_py(std::string_view(name).substr(prefix.size()));
        PyObject* value = key ? value_to_py(trace.signal_value_by_id(*id, index)) : nullptr;
        int rc = value ? PyDict_SetItem(dict, key, value) : -1;
        Py_XDECREF(key);
        Py_XDECREF(value);
        if (rc < 0) {
            Py_DECREF(dict);
            return nullptr;
        }
    }
    return dict;
}

}  // namespace

PyObject* changed_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    uint64_t index;
    if (!one_u64_arg("changed_at", "index", args, nargs, kwnames, index)) return nullptr;
    return change_list(wq::changed_at(trace_of(self), index));
}

PyObject* changed_at_scope(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    uint64_t index;
    std::string_view scope;
    if (!index_scope_args("changed_at_scope", args, nargs, kwnames, index, scope)) return nullptr;
    return change_list(wq::changed_at_scope(trace_of(self), index, scope));
}

PyObject* transitions(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string_view name;
    if (!one_str_arg("transitions", "name", args, nargs, kwnames, name)) return nullptr;
    return list_of(wq::transitions(trace_of(self), name), [](const Transition& t) {
        return change_tuple(u64_to_py(t.index), t.old_value, t.new_value);
    });
}

PyObject* local_scopes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string_view scope;
    if (!one_str_arg("local_scopes", "scope_name", args, nargs, kwnames, scope)) return nullptr;
    return str_list(wq::local_scopes(trace_of(self), scope));
}

PyObject* local_signals(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string_view scope;
    if (!one_str_arg("local_signals", "scope_name", args, nargs, kwnames, scope)) return nullptr;
    return str_list(wq::local_signals(trace_of(self), scope));
}

PyObject* resolve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* obj[2];
    std::string_view scope, short_name;
    if (!bind_args("resolve", args, nargs, kwnames, {"scope_name", "short_name"}, obj) ||
        !arg_str("resolve", "scope_name", obj[0], scope) || !arg_str("resolve", "short_name", obj[1], short_name))
        return nullptr;
    auto found = wq::resolve(trace_of(self), scope, short_name);
    if (!found) Py_RETURN_NONE;
    return str_to_py(*found);
}

PyObject* find_signals_containing(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string_view substring;
    if (!one_str_arg("find_signals_containing", "substring", args, nargs, kwnames, substring)) return nullptr;
    return str_list(wq::find_signals_containing(trace_of(self), substring, python_lower));
}

PyObject* find_signals_glob(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string_view pattern;
    if (!one_str_arg("find_signals_glob", "pattern", args, nargs, kwnames, pattern)) return nullptr;
    return str_list(wq::find_signals_glob(trace_of(self), pattern));
}

PyObject* signal_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string_view name;
    if (!one_str_arg("signal_stats", "name", args, nargs, kwnames, name)) return nullptr;
    SignalStats s = compute_stats(trace_of(self), name);
    const uint64_t fields[] = {s.min, s.max, s.sum, s.count, s.transitions, s.num_x, s.num_z};
    PyObject* tuple = PyTuple_New(7);
    if (!tuple) return nullptr;
    for (int i = 0; i < 7; ++i) {
        PyObject* v = u64_to_py(fields[i]);
        if (!v) {
            Py_DECREF(tuple);
            return nullptr;
        }
        PyTuple_SetItem(tuple, i, v);
    }
    return tuple;
}

PyObject* snapshot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    uint64_t index;
    if (!one_u64_arg("snapshot", "index", args, nargs, kwnames, index)) return nullptr;
    return snapshot_dict(trace_of(self), index, {});
}

PyObject* snapshot_scope(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    uint64_t index;
    std::string_view scope;
    if (!index_scope_args("snapshot_scope", args, nargs, kwnames, index, scope)) return nullptr;
    return snapshot_dict(trace_of(self), index, std::string(scope) + ".");
}

PyObject* bit_slice_val(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* obj[3];
    uint64_t val;
    uint32_t high, low;
    if (!bind_args("bit_slice_val", args, nargs, kwnames, {"val", "high", "low"}, obj) ||
        !arg_u64("bit_slice_val", "val", obj[0], val) || !arg_u32("bit_slice_val", "high", obj[1], high) ||
        !arg_u32("bit_slice_val", "low", obj[2], low))
        return nullptr;
    return u64_to_py(slice_bits(val, high, low));
}

PyObject* sign_extend_val(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* obj[2];
    uint64_t val;
    uint32_t width;
    if (!bind_args("sign_extend_val", args, nargs, kwnames, {"val", "width"}, obj) ||
        !arg_u64("sign_extend_val", "val", obj[0], val) || !arg_u32("sign_extend_val", "width", obj[1], width))
        return nullptr;
    if (width >= 1 && width <= 63 && ((val >> (width - 1)) & 1)) val |= ~uint64_t{0} << width;
    return PyLong_FromLongLong(static_cast<long long>(val));
}

}  // namespace wq::py
