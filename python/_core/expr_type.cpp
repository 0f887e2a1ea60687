#include "expr_type.hpp"

#include <new>

namespace wq::py {

namespace {

struct ExprObject {
    PyObject_HEAD
    ExprRef tree;
};

// The class object, kept for the static builders, which receive no class.
PyTypeObject* g_expr_type = nullptr;

const ExprRef& tree_of(PyObject* self) { return reinterpret_cast<ExprObject*>(self)->tree; }

PyObject* new_expr(ExprRef tree) {
    PyObject* obj = alloc_instance(g_expr_type);
    if (!obj) return nullptr;
    new (&reinterpret_cast<ExprObject*>(obj)->tree) ExprRef(std::move(tree));
    return obj;
}

void expr_dealloc(PyObject* self) {
    reinterpret_cast<ExprObject*>(self)->tree.~ExprRef();
    free_instance(self);
}

ExprNode node_of(ExprKind kind) {
    ExprNode n;
    n.kind = kind;
    return n;
}

PyObject* const_leaf(SignalValue value) {
    ExprNode n = node_of(ExprKind::Const);
    n.value = std::move(value);
    return new_expr(make_leaf(std::move(n)));
}

// --- static builders -------------------------------------------------------

PyObject* signal(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* obj[1];
    ExprNode n = node_of(ExprKind::Signal);
    if (!bind_args("signal", args, nargs, kwnames, {"id"}, obj) || !arg_u64("signal", "id", obj[0], n.id))
        return nullptr;
    return new_expr(make_leaf(std::move(n)));
}

PyObject* const_int(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* obj[1];
    uint64_t v;
    if (!bind_args("const_int", args, nargs, kwnames, {"val"}, obj) || !arg_u64("const_int", "val", obj[0], v))
        return nullptr;
    return const_leaf(v);
}

PyObject* const_float(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* obj[1];
    double v;
    if (!bind_args("const_float", args, nargs, kwnames, {"val"}, obj) ||
        !arg_double("const_float", "val", obj[0], v))
        return nullptr;
    return const_leaf(v);
}

PyObject* const_str(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* obj[1];
    std::string_view v;
    if (!bind_args("const_str", args, nargs, kwnames, {"val"}, obj) || !arg_str("const_str", "val", obj[0], v))
        return nullptr;
    return const_leaf(Text{std::string(v)});
}

PyObject* always_true(PyObject*, PyObject*) { return new_expr(make_leaf(node_of(ExprKind::AlwaysTrue))); }

// --- instance builders -----------------------------------------------------

template <ExprKind K>
PyObject* unary(PyObject* self, PyObject*) {
    return new_expr(make_unary(node_of(K), tree_of(self)));
}

PyObject* rel_eval(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* obj[1];
    ExprNode n = node_of(ExprKind::RelEval);
    if (!bind_args("rel_eval", args, nargs, kwnames, {"offset"}, obj) ||
        !arg_i64("rel_eval", "offset", obj[0], n.offset))
        return nullptr;
    return new_expr(make_unary(std::move(n), tree_of(self)));
}

PyObject* slice(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* obj[2];
    ExprNode n = node_of(ExprKind::Slice);
    if (!bind_args("slice", args, nargs, kwnames, {"high", "low"}, obj) ||
        !arg_u32("slice", "high", obj[0], n.high) || !arg_u32("slice", "low", obj[1], n.low))
        return nullptr;
    return new_expr(make_unary(std::move(n), tree_of(self)));
}

template <ExprKind K>
struct BinaryName;
#define WQ_BINARY(kind, text) \
    template <>               \
    struct BinaryName<ExprKind::kind> { static constexpr const char* name = text; };
WQ_BINARY(And, "and_") WQ_BINARY(Or, "or_") WQ_BINARY(Eq, "eq_") WQ_BINARY(Neq, "neq") WQ_BINARY(Gt, "gt_")
WQ_BINARY(Lt, "lt_") WQ_BINARY(Gte, "gte") WQ_BINARY(Lte, "lte") WQ_BINARY(Add, "add") WQ_BINARY(Sub, "sub")
WQ_BINARY(BitAnd, "bit_and") WQ_BINARY(BitOr, "bit_or") WQ_BINARY(BitXor, "bit_xor")
#undef WQ_BINARY

template <ExprKind K>
PyObject* binary(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const char* method = BinaryName<K>::name;
    PyObject* obj[1];
    if (!bind_args(method, args, nargs, kwnames, {"other"}, obj)) return nullptr;
    const ExprRef* other = expr_arg(method, "other", obj[0]);
    if (!other) return nullptr;
    return new_expr(make_binary(node_of(K), tree_of(self), *other));
}

#define FAST(f) as_cfunction(f)
#define KW (METH_FASTCALL | METH_KEYWORDS)
#define BINARY(kind, text) {text, FAST(binary<ExprKind::kind>), KW, text "($self, other)\n--\n\n"}

PyMethodDef expr_methods[] = {
    {"signal", FAST(signal), KW | METH_STATIC, "signal(id)\n--\n\n"},
    {"const_int", FAST(const_int), KW | METH_STATIC, "const_int(val)\n--\n\n"},
    {"const_float", FAST(const_float), KW | METH_STATIC, "const_float(val)\n--\n\n"},
    {"const_str", FAST(const_str), KW | METH_STATIC, "const_str(val)\n--\n\n"},
    {"always_true", always_true, METH_NOARGS | METH_STATIC, "always_true()\n--\n\n"},
    {"rel_eval", FAST(rel_eval), KW, "rel_eval($self, offset)\n--\n\n"},
    {"not_", unary<ExprKind::Not>, METH_NOARGS, "not_($self)\n--\n\n"},
    BINARY(And, "and_"),
    BINARY(Or, "or_"),
    BINARY(Eq, "eq_"),
    BINARY(Neq, "neq"),
    BINARY(Gt, "gt_"),
    BINARY(Lt, "lt_"),
    BINARY(Gte, "gte"),
    BINARY(Lte, "lte"),
    BINARY(Add, "add"),
    BINARY(Sub, "sub"),
    BINARY(BitAnd, "bit_and"),
    BINARY(BitOr, "bit_or"),
    BINARY(BitXor, "bit_xor"),
    {"slice", FAST(slice), KW, "slice($self, high, low)\n--\n\n"},
    {"signed", unary<ExprKind::Signed>, METH_NOARGS, "signed($self)\n--\n\n"},
    {"is_x", unary<ExprKind::IsX>, METH_NOARGS, "is_x($self)\n--\n\n"},
    {"is_z", unary<ExprKind::IsZ>, METH_NOARGS, "is_z($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot expr_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(expr_dealloc)},
    {Py_tp_methods, expr_methods},
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

const ExprRef* expr_arg(const char* method, const char* name, PyObject* obj) {
    if (!PyObject_TypeCheck(obj, g_expr_type)) {
        wrong_type(method, name, "PyExpr", obj);
        return nullptr;
    }
    return &tree_of(obj);
}

std::optional<Expr> flat_expr_arg(const char* method, const char* name, PyObject* obj) {
    const ExprRef* tree = expr_arg(method, name, obj);
    if (!tree) return std::nullopt;
    std::optional<Expr> flat = flatten(**tree);
    if (!flat)
        PyErr_Format(PyExc_MemoryError, "%s(): expression has more than %llu nodes once shared operands are copied out",
                     method, static_cast<unsigned long long>(kMaxFlatNodes));
    return flat;
}

PyObject* make_expr_type(PyObject*) { return make_class(&expr_spec, g_expr_type); }

}  // namespace wq::py
