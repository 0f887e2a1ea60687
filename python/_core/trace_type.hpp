// PyTrace: one loaded trace, with its loaders and queries.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "../../core/trace/trace.hpp"
#include "py.hpp"

namespace wq::py {

struct TraceObject {
    PyObject_HEAD
    std::shared_ptr<const Trace> trace;
};

// Creates the PyTrace class; the module adds it under its name.
PyObject* make_trace_type(PyObject* module);

inline const Trace& trace_of(PyObject* self) { return *reinterpret_cast<TraceObject*>(self)->trace; }

// The query methods of PyTrace, defined in queries.cpp.
#define WQ_QUERY(name) PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
WQ_QUERY(changed_at) WQ_QUERY(changed_at_scope) WQ_QUERY(transitions) WQ_QUERY(local_scopes)
WQ_QUERY(local_signals) WQ_QUERY(resolve) WQ_QUERY(find_signals_containing) WQ_QUERY(find_signals_glob)
WQ_QUERY(signal_stats) WQ_QUERY(snapshot) WQ_QUERY(snapshot_scope) WQ_QUERY(bit_slice_val)
WQ_QUERY(sign_extend_val)
#undef WQ_QUERY

}  // namespace wq::py
