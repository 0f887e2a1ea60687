#include "expr.hpp"

#include <functional>

namespace wq {

int child_count(ExprKind kind) {
    switch (kind) {
        case ExprKind::Signal:
        case ExprKind::Const:
        case ExprKind::AlwaysTrue:
            return 0;
        case ExprKind::RelEval:
        case ExprKind::Not:
        case ExprKind::Slice:
        case ExprKind::Signed:
        case ExprKind::IsX:
        case ExprKind::IsZ:
            return 1;
        default:
            return 2;
    }
}

std::vector<int32_t> expr_parents(const Expr& expr) {
    // In post-order each node adopts the subtree roots it consumes.
    size_t n = expr.nodes.size();
    std::vector<int32_t> parent(n, -1), roots;
    for (size_t i = 0; i < n; ++i) {
        for (int c = child_count(expr.nodes[i].kind); c > 0 && !roots.empty(); --c) {
            parent[roots.back()] = static_cast<int32_t>(i);
            roots.pop_back();
        }
        roots.push_back(static_cast<int32_t>(i));
    }
    return parent;
}

ExprTree::ExprTree(ExprNode n, ExprRef l, ExprRef r) : node(std::move(n)), left(std::move(l)), right(std::move(r)) {
    for (const ExprRef& child : {std::cref(left), std::cref(right)})
        if (child) size = child->size > UINT64_MAX - size ? UINT64_MAX : size + child->size;
}

ExprTree::~ExprTree() {
    // Children owned by nobody else are detached onto a list, and theirs in
    // turn, so each node is destroyed with no children left to free. A child
    // that is still shared is only released.
    std::vector<ExprRef> pending;
    auto detach = [&pending](ExprRef& child) {
        if (child && child.use_count() == 1) pending.push_back(std::move(child));
    };
    detach(left);
    detach(right);
    while (!pending.empty()) {
        ExprRef sole = std::move(pending.back());
        pending.pop_back();
        // Sole ownership makes the node ours to change: nobody else can see it.
        auto& node = const_cast<ExprTree&>(*sole);
        detach(node.left);
        detach(node.right);
    }
}

ExprRef make_leaf(ExprNode node) { return std::make_shared<const ExprTree>(std::move(node), nullptr, nullptr); }

ExprRef make_unary(ExprNode node, ExprRef operand) {
    return std::make_shared<const ExprTree>(std::move(node), std::move(operand), nullptr);
}

ExprRef make_binary(ExprNode node, ExprRef left, ExprRef right) {
    return std::make_shared<const ExprTree>(std::move(node), std::move(left), std::move(right));
}

std::optional<Expr> flatten(const ExprTree& tree) {
    if (tree.size > kMaxFlatNodes) return std::nullopt;
    Expr flat;
    flat.nodes.reserve(tree.size);
    // Post-order with an explicit stack: a node is emitted once both of its
    // children have been.
    struct Visit {
        const ExprTree* tree;
        bool children_done;
    };
    std::vector<Visit> stack{{&tree, false}};
    while (!stack.empty()) {
        Visit v = stack.back();
        stack.pop_back();
        if (v.children_done) {
            flat.nodes.push_back(v.tree->node);
            continue;
        }
        stack.push_back({v.tree, true});
        if (v.tree->right) stack.push_back({v.tree->right.get(), false});
        if (v.tree->left) stack.push_back({v.tree->left.get(), false});
    }
    return flat;
}

bool truthy(const SignalValue& v) {
    switch (tag_of(v)) {
        case kInt:
            return std::get<uint64_t>(v) != 0;
        case kWide:
            for (uint64_t w : std::get<Wide>(v).words)
                if (w) return true;
            return false;
        case kLogic:
            for (uint8_t c : std::get<Logic>(v).codes)
                if (c == kLogic1) return true;
            return false;
        case kReal:
            return std::get<double>(v) != 0.0;
        case kText:
            return !std::get<Text>(v).text.empty();
        case kMissing:
            return false;
    }
    return false;
}

namespace {

SignalValue flag(bool b) { return uint64_t{b}; }

bool has_code(const SignalValue& v, uint8_t code) {
    if (tag_of(v) != kLogic) return false;
    for (uint8_t c : std::get<Logic>(v).codes)
        if (c == code) return true;
    return false;
}

bool values_eq(const SignalValue& a, const SignalValue& b) {
    if (a == b) return true;
    auto x = to_u64(a), y = to_u64(b);
    return x && y && *x == *y;
}

SignalValue binary(ExprKind kind, const SignalValue& a, const SignalValue& b) {
    switch (kind) {
        case ExprKind::And: return flag(truthy(a) && truthy(b));
        case ExprKind::Or: return flag(truthy(a) || truthy(b));
        case ExprKind::Eq: return flag(values_eq(a, b));
        case ExprKind::Neq: return flag(!values_eq(a, b));
        default: break;
    }
    auto x = to_u64(a), y = to_u64(b);
    if (!x || !y) return Missing{};
    switch (kind) {
        case ExprKind::Gt: return flag(*x > *y);
        case ExprKind::Lt: return flag(*x < *y);
        case ExprKind::Gte: return flag(*x >= *y);
        case ExprKind::Lte: return flag(*x <= *y);
        case ExprKind::Add: return *x + *y;
        case ExprKind::Sub: return *x - *y;
        case ExprKind::BitAnd: return *x & *y;
        case ExprKind::BitOr: return *x | *y;
        case ExprKind::BitXor: return *x ^ *y;
        default: return Missing{};
    }
}

SignalValue slice(const SignalValue& v, uint32_t high, uint32_t low) {
    auto n = to_u64(v);
    if (!n) return Missing{};
    return slice_bits(*n, high, low);
}

}  // namespace

Evaluator::Evaluator(const Trace& trace, const Expr& expr)
    : expr_(expr), max_index_(trace.max_index()) {
    const auto& nodes = expr.nodes;
    size_t n = nodes.size();
    std::vector<int32_t> parent = expr_parents(expr);
    rel_parent_.assign(n, -1);
    for (size_t i = n; i-- > 0;) {  // parents before children
        int32_t p = parent[i];
        if (p >= 0) rel_parent_[i] = nodes[p].kind == ExprKind::RelEval ? p : rel_parent_[p];
    }
    target_.assign(n, 0);
    in_range_.assign(n, 1);
    cursors_.resize(n);
    for (size_t i = 0; i < n; ++i)
        if (nodes[i].kind == ExprKind::Signal) cursors_[i] = ValueCursor(trace.store(), nodes[i].id);
    stack_.reserve(n);
}

SignalValue Evaluator::eval(uint64_t index) {
    const auto& nodes = expr_.nodes;
    size_t n = nodes.size();
    // Targets of the RelEval nodes, outermost first: each adds its offset to
    // the index its own ancestors chose and checks it against 0..max_index.
    for (size_t i = n; i-- > 0;) {
        if (nodes[i].kind != ExprKind::RelEval) continue;
        int32_t p = rel_parent_[i];
        uint64_t base = p < 0 ? index : target_[p];
        bool ok = p < 0 || in_range_[p];
        uint64_t t = base + static_cast<uint64_t>(nodes[i].offset);
        target_[i] = t;
        in_range_[i] = ok && static_cast<int64_t>(t) >= 0 && t <= max_index_;
    }
    stack_.clear();
    for (size_t i = 0; i < n; ++i) {
        const ExprNode& node = nodes[i];
        int32_t p = rel_parent_[i];
        uint64_t at = p < 0 ? index : target_[p];
        switch (node.kind) {
            case ExprKind::Signal:
                // Under an out-of-range RelEval the value is discarded: skip the read.
                stack_.push_back(p >= 0 && !in_range_[p] ? SignalValue{Missing{}} : cursors_[i].value_at(at));
                break;
            case ExprKind::Const:
                stack_.push_back(node.value);
                break;
            case ExprKind::AlwaysTrue:
                stack_.emplace_back(std::in_place_type<uint64_t>, uint64_t{1});
                break;
            case ExprKind::RelEval:
                if (!in_range_[i]) stack_.back() = Missing{};
                break;
            case ExprKind::Not:
                stack_.back() = flag(!truthy(stack_.back()));
                break;
            case ExprKind::Slice:
                stack_.back() = slice(stack_.back(), node.high, node.low);
                break;
            case ExprKind::Signed: {
                auto v = to_u64(stack_.back());
                stack_.back() = v ? SignalValue{*v} : SignalValue{Missing{}};
                break;
            }
            case ExprKind::IsX: {
                const SignalValue& v = stack_.back();
                stack_.back() = flag(tag_of(v) == kMissing || has_code(v, kLogicX));
                break;
            }
            case ExprKind::IsZ:
                stack_.back() = flag(has_code(stack_.back(), kLogicZ));
                break;
            default: {
                SignalValue right = std::move(stack_.back());
                stack_.pop_back();
                stack_.back() = binary(node.kind, stack_.back(), right);
                break;
            }
        }
    }
    if (stack_.empty()) return Missing{};
    return std::move(stack_.back());
}

SignalValue eval(const Trace& trace, const Expr& expr, uint64_t index) {
    return Evaluator(trace, expr).eval(index);
}

bool eval_bool(const Trace& trace, const Expr& expr, uint64_t index) {
    return Evaluator(trace, expr).eval_bool(index);
}

}  // namespace wq
