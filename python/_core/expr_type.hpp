// PyExpr: an immutable expression tree over signals and constants.
#pragma once

#include "py.hpp"

namespace wq::py {

// Creates the PyExpr class; the module adds it under its name.
PyObject* make_expr_type(PyObject* module);

}  // namespace wq::py
