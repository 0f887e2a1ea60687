// PyExpr: an immutable expression tree over signals and constants.
#pragma once

#include "../../core/eval/expr.hpp"
#include "py.hpp"

namespace wq::py {

// Creates the PyExpr class; the module adds it under its name.
PyObject* make_expr_type(PyObject* module);

// The tree of a PyExpr argument, or nullptr with TypeError naming it.
const ExprRef* expr_arg(const char* method, const char* name, PyObject* obj);

// The flat form of a PyExpr argument, or nothing with TypeError naming it or
// MemoryError for a tree too large to expand.
std::optional<Expr> flat_expr_arg(const char* method, const char* name, PyObject* obj);

}  // namespace wq::py
