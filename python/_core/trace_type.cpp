#include "trace_type.hpp"

#include <new>
#include <string>

#include "../../core/eval/find.hpp"
#include "../../core/trace/fsdb.hpp"
#include "../../core/trace/fst.hpp"
#include "../../core/trace/shm.hpp"
#include "../../core/trace/vcd.hpp"
#include "../../core/trace/vpd.hpp"
#include "../../core/trace/wlf.hpp"
#include "expr_type.hpp"

namespace wq::py {

namespace {

// The class object, kept for the static loaders, which receive no class.
PyTypeObject* g_trace_type = nullptr;

PyObject* new_trace_object(std::shared_ptr<const Trace> trace) {
    PyObject* obj = alloc_instance(g_trace_type);
    if (!obj) return nullptr;
    new (&reinterpret_cast<TraceObject*>(obj)->trace) std::shared_ptr<const Trace>(std::move(trace));
    return obj;
}

void trace_dealloc(PyObject* self) {
    reinterpret_cast<TraceObject*>(self)->trace.~shared_ptr();
    free_instance(self);
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

// Loader taking a file path.
template <LoadResult (*Reader)(const std::string&)>
PyObject* path_loader(const char* method, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string_view path;
    if (!one_str_arg(method, "path", args, nargs, kwnames, path)) return nullptr;
    std::string p(path);
    return load([&] { return Reader(p); });
}

#define WQ_PATH_LOADER(method, reader)                                                      \
    PyObject* method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
        return path_loader<reader>(#method, args, nargs, kwnames);                            \
    }
WQ_PATH_LOADER(from_vcd, vcd::from_file)
WQ_PATH_LOADER(from_fst, fst::from_file)
WQ_PATH_LOADER(from_fsdb, fsdb::from_file)
WQ_PATH_LOADER(from_shm, shm::from_file)
WQ_PATH_LOADER(from_vpd, vpd::from_file)
WQ_PATH_LOADER(from_wlf, wlf::from_file)
#undef WQ_PATH_LOADER

PyObject* from_vcd_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string_view data;
    if (!one_str_arg("from_vcd_string", "data", args, nargs, kwnames, data)) return nullptr;
    // The str owns the UTF-8 bytes and stays alive for the call.
    return load([&] { return vcd::parse(data); });
}


PyObject* signal_names(PyObject* self, PyObject*) { return str_list(trace_of(self).signal_names()); }
PyObject* scopes(PyObject* self, PyObject*) { return str_list(trace_of(self).scopes()); }
PyObject* max_index(PyObject* self, PyObject*) { return u64_to_py(trace_of(self).max_index()); }

PyObject* timestamp(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    uint64_t index;
    if (!one_u64_arg("timestamp", "index", args, nargs, kwnames, index)) return nullptr;
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

// --- condition search ------------------------------------------------------

// Parses the one PyExpr argument `expr`.
std::optional<Expr> expr_only_arg(const char* method, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* obj[1];
    if (!bind_args(method, args, nargs, kwnames, {"expr"}, obj)) return std::nullopt;
    return flat_expr_arg(method, "expr", obj[0]);
}

// A list of every index of the runs.
PyObject* runs_to_list(const std::vector<IndexRun>& runs) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(run_length(runs)));
    if (!list) return nullptr;
    Py_ssize_t pos = 0;
    for (const auto& r : runs) {
        for (uint64_t i = r.begin; i < r.end; ++i) {
            PyObject* v = u64_to_py(i);
            if (!v) {
                Py_DECREF(list);
                return nullptr;
            }
            PyList_SetItem(list, pos++, v);
        }
    }
    return list;
}

// Runs a search with the interpreter released: it reads only the trace and
// the tree, which no Python code can change.
template <class Search>
std::vector<IndexRun> search_released(Search&& search) {
    std::vector<IndexRun> runs;
    Py_BEGIN_ALLOW_THREADS
    runs = search();
    Py_END_ALLOW_THREADS
    return runs;
}

PyObject* find(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::optional<Expr> expr = expr_only_arg("find", args, nargs, kwnames);
    if (!expr) return nullptr;
    return runs_to_list(search_released([&] { return find_runs(trace_of(self), *expr); }));
}

PyObject* parallel_find(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::optional<Expr> expr = expr_only_arg("parallel_find", args, nargs, kwnames);
    if (!expr) return nullptr;
    return runs_to_list(search_released([&] { return parallel_find_runs(trace_of(self), *expr); }));
}

PyObject* parallel_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::optional<Expr> expr = expr_only_arg("parallel_count", args, nargs, kwnames);
    if (!expr) return nullptr;
    uint64_t count;
    Py_BEGIN_ALLOW_THREADS
    count = wq::parallel_count(trace_of(self), *expr);
    Py_END_ALLOW_THREADS
    return u64_to_py(count);
}

// Parses (expr, index) for the two single-index evaluations.
std::optional<Expr> expr_index_args(const char* method, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames, uint64_t& index) {
    PyObject* obj[2];
    if (!bind_args(method, args, nargs, kwnames, {"expr", "index"}, obj)) return std::nullopt;
    std::optional<Expr> expr = flat_expr_arg(method, "expr", obj[0]);
    if (!expr || !arg_u64(method, "index", obj[1], index)) return std::nullopt;
    return expr;
}

PyObject* eval_expr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    uint64_t index;
    std::optional<Expr> expr = expr_index_args("eval_expr", args, nargs, kwnames, index);
    if (!expr) return nullptr;
    return value_to_py(eval(trace_of(self), *expr, index));
}

PyObject* eval_expr_bool(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    uint64_t index;
    std::optional<Expr> expr = expr_index_args("eval_expr_bool", args, nargs, kwnames, index);
    if (!expr) return nullptr;
    return PyBool_FromLong(eval_bool(trace_of(self), *expr, index));
}

// The ids of a sequence of names (absent for unknown names); TypeError
// naming `param` for a str or an item that is not a str.
bool name_ids(const char* method, const char* param, const Trace& trace, PyObject* seq,
              std::vector<std::optional<uint64_t>>& ids) {
    if (PyUnicode_Check(seq) || !PySequence_Check(seq)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a sequence of str", method, param);
        return false;
    }
    Py_ssize_t n = PySequence_Size(seq);
    if (n < 0) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_GetItem(seq, i);
        if (!item) return false;
        std::string_view name;
        bool ok = PyUnicode_Check(item) && arg_str(method, param, item, name);
        if (ok) ids.push_back(trace.signal_id(name));
        Py_DECREF(item);
        if (!ok) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a sequence of str", method, param);
            return false;
        }
    }
    return true;
}

PyObject* find_with_values(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const char* method = "find_with_values";
    PyObject* obj[2];
    if (!bind_args(method, args, nargs, kwnames, {"expr", "signal_names"}, obj)) return nullptr;
    std::optional<Expr> expr = flat_expr_arg(method, "expr", obj[0]);
    if (!expr) return nullptr;
    const Trace& trace = trace_of(self);
    std::vector<std::optional<uint64_t>> ids;
    if (!name_ids(method, "signal_names", trace, obj[1], ids)) return nullptr;

    std::vector<IndexRun> runs = search_released([&] { return find_runs(trace, *expr); });
    std::vector<ValueCursor> cursors;
    for (const auto& id : ids) cursors.push_back(id ? ValueCursor(trace.store(), *id) : ValueCursor());
    PyObject* out = PyList_New(0);
    if (!out) return nullptr;
    for (const auto& r : runs) {
        for (uint64_t i = r.begin; i < r.end; ++i) {
            PyObject* row = PyList_New(static_cast<Py_ssize_t>(ids.size()));
            PyObject* index = row ? u64_to_py(i) : nullptr;
            PyObject* pair = index ? PyTuple_New(2) : nullptr;
            bool ok = pair != nullptr;
            for (size_t k = 0; ok && k < ids.size(); ++k) {
                PyObject* v = value_to_py(cursors[k].value_at(i));
                ok = v != nullptr;
                if (ok) PyList_SetItem(row, static_cast<Py_ssize_t>(k), v);
            }
            if (ok) {
                PyTuple_SetItem(pair, 0, index);
                PyTuple_SetItem(pair, 1, row);
                ok = PyList_Append(out, pair) == 0;
                Py_DECREF(pair);
            } else {
                Py_XDECREF(pair);
                Py_XDECREF(index);
                Py_XDECREF(row);
            }
            if (!ok) {
                Py_DECREF(out);
                return nullptr;
            }
        }
    }
    return out;
}

#define FAST(name) as_cfunction(name)
#define KW (METH_FASTCALL | METH_KEYWORDS)

PyMethodDef trace_methods[] = {
    {"from_vcd", FAST(from_vcd), KW | METH_STATIC, "from_vcd(path)\n--\n\n"},
    {"from_vcd_string", FAST(from_vcd_string), KW | METH_STATIC, "from_vcd_string(data)\n--\n\n"},
    {"from_fst", FAST(from_fst), KW | METH_STATIC, "from_fst(path)\n--\n\n"},
    {"from_fsdb", FAST(from_fsdb), KW | METH_STATIC, "from_fsdb(path)\n--\n\n"},
    {"from_shm", FAST(from_shm), KW | METH_STATIC, "from_shm(path)\n--\n\n"},
    {"from_vpd", FAST(from_vpd), KW | METH_STATIC, "from_vpd(path)\n--\n\n"},
    {"from_wlf", FAST(from_wlf), KW | METH_STATIC, "from_wlf(path)\n--\n\n"},
    {"signal_names", signal_names, METH_NOARGS, "signal_names($self)\n--\n\n"},
    {"scopes", scopes, METH_NOARGS, "scopes($self)\n--\n\n"},
    {"max_index", max_index, METH_NOARGS, "max_index($self)\n--\n\n"},
    {"timestamp", FAST(timestamp), KW, "timestamp($self, index)\n--\n\n"},
    {"signal_value", FAST(signal_value), KW, "signal_value($self, name, index)\n--\n\n"},
    {"signal_value_raw", FAST(signal_value_raw), KW, "signal_value_raw($self, name, index)\n--\n\n"},
    {"signal_width", FAST(signal_width), KW, "signal_width($self, name)\n--\n\n"},
    {"signal_id", FAST(signal_id), KW, "signal_id($self, name)\n--\n\n"},
    {"signal_values_range", FAST(signal_values_range), KW, "signal_values_range($self, name, start, end)\n--\n\n"},
    {"resolve", FAST(resolve), KW, "resolve($self, scope_name, short_name)\n--\n\n"},
    {"local_signals", FAST(local_signals), KW, "local_signals($self, scope_name)\n--\n\n"},
    {"local_scopes", FAST(local_scopes), KW, "local_scopes($self, scope_name)\n--\n\n"},
    {"find", FAST(find), KW, "find($self, expr)\n--\n\n"},
    {"parallel_find", FAST(parallel_find), KW,
     "parallel_find($self, expr)\n--\n\nFind matching indices by parallel iteration across all CPU cores (oneTBB work-stealing pool)."},
    {"parallel_count", FAST(parallel_count), KW,
     "parallel_count($self, expr)\n--\n\nCount matching indices by parallel iteration (oneTBB work-stealing pool)."},
    {"eval_expr", FAST(eval_expr), KW, "eval_expr($self, expr, index)\n--\n\n"},
    {"eval_expr_bool", FAST(eval_expr_bool), KW, "eval_expr_bool($self, expr, index)\n--\n\n"},
    {"bit_slice_val", FAST(bit_slice_val), KW, "bit_slice_val($self, val, high, low)\n--\n\n"},
    {"sign_extend_val", FAST(sign_extend_val), KW, "sign_extend_val($self, val, width)\n--\n\n"},
    {"changed_at", FAST(changed_at), KW,
     "changed_at($self, index)\n--\n\nGet all signals that changed value at a specific index.\n"
     "Returns list of (name, old_value, new_value) tuples."},
    {"changed_at_scope", FAST(changed_at_scope), KW,
     "changed_at_scope($self, index, scope)\n--\n\nGet signals that changed at index within a scope."},
    {"transitions", FAST(transitions), KW,
     "transitions($self, name)\n--\n\nGet all transitions for a signal: [(index, old, new), ...]"},
    {"find_signals_containing", FAST(find_signals_containing), KW,
     "find_signals_containing($self, substring)\n--\n\nFind signals containing a substring (case-insensitive)."},
    {"find_signals_glob", FAST(find_signals_glob), KW,
     "find_signals_glob($self, pattern)\n--\n\nFind signals matching a glob pattern."},
    {"snapshot", FAST(snapshot), KW,
     "snapshot($self, index)\n--\n\nSnapshot: get all signal values at a specific index as a dict.\n"
     "Uses signal_value_by_id for O(1) access per signal."},
    {"snapshot_scope", FAST(snapshot_scope), KW,
     "snapshot_scope($self, index, scope)\n--\n\nSnapshot within a scope.\n"
     "Uses signal_value_by_id for O(1) access per signal."},
    {"signal_stats", FAST(signal_stats), KW,
     "signal_stats($self, name)\n--\n\nCompute stats for a signal: (min, max, sum, count, transitions, num_x, num_z)"},
    {"find_with_values", FAST(find_with_values), KW,
     "find_with_values($self, expr, signal_names)\n--\n\nFind with value extraction in one pass: returns list of (index, [values]) tuples.\n"
     "Resolves signal IDs once upfront, uses signal_value_by_id in the hot loop."},
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

PyObject* make_trace_type(PyObject*) { return make_class(&trace_spec, g_trace_type); }

}  // namespace wq::py
