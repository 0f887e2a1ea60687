// PyTrace: one loaded trace, with its loaders and queries.
#pragma once

#include <memory>

#include "../../core/trace/trace.hpp"
#include "py.hpp"

namespace wq::py {

struct TraceObject {
    PyObject_HEAD
    std::shared_ptr<const Trace> trace;
};

// Creates the PyTrace class; the module adds it under its name.
PyObject* make_trace_type(PyObject* module);

}  // namespace wq::py
