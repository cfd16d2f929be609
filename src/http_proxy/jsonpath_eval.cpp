// Evaluating a compiled JSONPath: an evaluator that moves a set of
// document nodes through the path's segments.
//
// Each document value the evaluation reaches gets one entry in a node table
// holding its parent and its place there; a value reached along two routes
// is one node. Sets of nodes are deduplicated as they are built,
// descendants are walked with an explicit stack, and the selected nodes are
// put into document order at the end by walking only the part of the tree
// that leads to them. Every unit of work is charged against a budget
// proportional to the size of the document, so no path can make an
// evaluation run away.
#include <algorithm>
#include <limits>
#include <optional>
#include <utility>

#include "http_proxy/jsonpath.h"
#include "http_proxy/jsonpath_query.h"

namespace vostrelin::jsonpath {
namespace {

// ---------------------------------------------------------------------------
// Comparing values

static_assert(std::numeric_limits<long double>::digits >= 64,
              "comparisons hold 64-bit integers exactly in a long double");

long double number_value(const Json& v) {
  switch (v.type()) {
    case Json::value_t::number_integer: return static_cast<long double>(v.get<int64_t>());
    case Json::value_t::number_unsigned: return static_cast<long double>(v.get<uint64_t>());
    default: return static_cast<long double>(v.get<double>());
  }
}

// Evaluation limits: the work allowed per value of the document, on top of
// a fixed allowance, and a ceiling that keeps node numbers within 32 bits.
constexpr uint64_t BUDGET_PER_VALUE = 100;
constexpr uint64_t BUDGET_BASE = 1'000'000;
constexpr uint64_t BUDGET_CEILING = 2'000'000'000;

uint64_t count_values(const Json& root) {
  uint64_t count = 0;
  std::vector<const Json*> stack{&root};
  while (!stack.empty()) {
    const Json* v = stack.back();
    stack.pop_back();
    ++count;
    if (v->is_structured()) {
      for (const Json& child : *v) stack.push_back(&child);
    }
  }
  return count;
}

}  // namespace

class Evaluator {
 public:
  Evaluator(const Query& query, const Json& root, uint64_t budget)
      : query_(query), budget_(budget), root_values_(query.root_slots) {
    nodes_.push_back({&root, 0, 0});
  }

  Result<Matches> run() {
    std::vector<uint32_t> selected = follow(query_.segments, {0});
    if (exhausted_) return Error("the path costs too much to evaluate on this document");
    return in_document_order(selected);
  }

 private:
  static constexpr uint32_t UNNUMBERED = UINT32_MAX;

  // A document value the evaluation has reached. The children of a value
  // are numbered all at once and consecutively, the first time any of them
  // is needed, so every value has exactly one number and a value reached
  // along two routes is recognised as the same node.
  struct Node {
    const Json* value;
    uint32_t parent;
    uint32_t position;  // among the parent's children
    uint32_t first_child = UNNUMBERED;
    uint32_t added_in = 0;    // the set-building pass that last took this node
    uint32_t visited_in = 0;  // the descendant walk that last reached this node
  };

  bool charge(uint64_t units) {
    if (exhausted_ || units > budget_) {
      exhausted_ = true;
      budget_ = 0;
      return false;
    }
    budget_ -= units;
    return true;
  }

  // The number of the node's first child (the others follow it), or
  // UNNUMBERED when the budget runs out. The budget's ceiling keeps every
  // number and position within 32 bits.
  uint32_t children(uint32_t id) {
    if (nodes_[id].first_child != UNNUMBERED) return nodes_[id].first_child;
    const Json* v = nodes_[id].value;
    if (!charge(v->size())) return UNNUMBERED;
    auto first = static_cast<uint32_t>(nodes_.size());
    uint32_t position = 0;
    if (v->is_object()) {
      for (const auto& member : v->get_ref<const Json::object_t&>()) {
        nodes_.push_back({&member.second, id, position++});
      }
    } else {
      for (const Json& element : v->get_ref<const Json::array_t&>()) {
        nodes_.push_back({&element, id, position++});
      }
    }
    nodes_[id].first_child = first;
    return first;
  }

  void add(uint32_t id, uint32_t pass, std::vector<uint32_t>& out) {
    if (nodes_[id].added_in == pass) return;
    nodes_[id].added_in = pass;
    out.push_back(id);
  }

  std::vector<uint32_t> follow(const std::vector<Segment>& segments, std::vector<uint32_t> nodes) {
    for (const Segment& seg : segments) {
      if (nodes.empty() || !charge(1)) break;
      uint32_t pass = ++passes_;
      std::vector<uint32_t> next;
      if (seg.descendant) nodes = self_and_descendants(nodes);
      for (uint32_t id : nodes) {
        for (const Selector& sel : seg.selectors) select(sel, id, pass, next);
        if (exhausted_) return {};
      }
      nodes = std::move(next);
    }
    if (exhausted_) return {};
    return nodes;
  }

  // The nodes and everything below them, each once. A node reached a second
  // time has had its whole subtree taken already and is passed over.
  std::vector<uint32_t> self_and_descendants(const std::vector<uint32_t>& from) {
    uint32_t walk = ++passes_;
    std::vector<uint32_t> out;
    std::vector<uint32_t> stack(from.rbegin(), from.rend());
    while (!stack.empty()) {
      uint32_t id = stack.back();
      stack.pop_back();
      if (nodes_[id].visited_in == walk) continue;
      if (!charge(1)) return {};
      nodes_[id].visited_in = walk;
      out.push_back(id);
      const Json* v = nodes_[id].value;
      if (!v->is_structured() || v->empty()) continue;
      uint32_t first = children(id);
      if (first == UNNUMBERED) return {};
      for (auto k = static_cast<uint32_t>(v->size()); k > 0; --k) stack.push_back(first + k - 1);
    }
    return out;
  }

  static std::optional<size_t> element_index(int64_t index, size_t size) {
    if (index >= 0) {
      if (static_cast<uint64_t>(index) < size) return static_cast<size_t>(index);
      return std::nullopt;
    }
    uint64_t back = static_cast<uint64_t>(-index);
    if (back <= size) return size - back;
    return std::nullopt;
  }

  // Adds the child at position i, numbering the children first.
  void add_child(uint32_t id, size_t i, uint32_t pass, std::vector<uint32_t>& out) {
    uint32_t first = children(id);
    if (first != UNNUMBERED) add(first + static_cast<uint32_t>(i), pass, out);
  }

  void select(const Selector& sel, uint32_t id, uint32_t pass, std::vector<uint32_t>& out) {
    const Json* v = nodes_[id].value;
    switch (sel.kind) {
      case Selector::Kind::Name: {
        if (!v->is_object()) return;
        const auto& members = v->get_ref<const Json::object_t&>();
        if (!charge(members.size() + 1)) return;
        for (size_t i = 0; i < members.size(); ++i) {
          if ((members.begin() + static_cast<ptrdiff_t>(i))->first == sel.name) {
            add_child(id, i, pass, out);
            return;
          }
        }
        return;
      }
      case Selector::Kind::Wildcard:
        if (!v->is_structured() || !charge(v->size())) return;
        for (size_t i = 0; i < v->size(); ++i) add_child(id, i, pass, out);
        return;
      case Selector::Kind::Index:
        if (!v->is_array() || !charge(1)) return;
        if (std::optional<size_t> i = element_index(sel.index, v->size())) add_child(id, *i, pass, out);
        return;
      case Selector::Kind::Slice:
        if (v->is_array()) slice(sel.slice, id, pass, out);
        return;
      case Selector::Kind::Filter: {
        if (!v->is_structured() || v->empty()) return;
        uint32_t first = children(id);
        if (first == UNNUMBERED) return;
        for (uint32_t k = 0; k < v->size(); ++k) {
          if (!charge(1)) return;
          if (test(*sel.filter, first + k)) add(first + k, pass, out);
        }
        return;
      }
    }
  }

  void slice(const Slice& s, uint32_t id, uint32_t pass, std::vector<uint32_t>& out) {
    const auto& elements = nodes_[id].value->get_ref<const Json::array_t&>();
    const int64_t n = static_cast<int64_t>(elements.size());
    // Bounds are at least -INT64_MAX, so adding n cannot overflow.
    auto bound = [n](int64_t i, int64_t lo, int64_t hi) { return std::clamp(i >= 0 ? i : n + i, lo, hi); };
    auto take = [&](int64_t i) {
      if (!charge(1)) return false;
      add_child(id, static_cast<size_t>(i), pass, out);
      return true;
    };
    if (s.step > 0) {
      int64_t lo = s.start ? bound(*s.start, 0, n) : 0;
      int64_t hi = s.end ? bound(*s.end, 0, n) : n;
      for (int64_t i = lo; i < hi; i += s.step) {
        if (!take(i) || hi - i <= s.step) break;
      }
    } else {
      int64_t hi = s.start ? bound(*s.start, -1, n - 1) : n - 1;
      int64_t lo = s.end ? bound(*s.end, -1, n - 1) : -1;
      for (int64_t i = hi; i > lo; i += s.step) {
        if (!take(i) || i - lo <= -s.step) break;
      }
    }
  }

  using Values = std::span<const Json* const>;

  // The values an operand stands for at the node under test; scratch holds
  // them unless they are kept elsewhere.
  Values values(const Operand& operand, uint32_t current, std::vector<const Json*>& scratch) {
    switch (operand.kind) {
      case Operand::Kind::Literal:
        scratch.assign(1, &operand.literal);
        return scratch;
      case Operand::Kind::Current:
        scratch = values_of(follow(operand.segments, {current}));
        return scratch;
      case Operand::Kind::Root: {
        // A path from the root means the same at every node under test.
        std::optional<std::vector<const Json*>>& cached = root_values_[operand.root_slot];
        if (!cached) cached = values_of(follow(operand.segments, {0}));
        return *cached;
      }
    }
    return {};
  }

  std::vector<const Json*> values_of(const std::vector<uint32_t>& ids) const {
    std::vector<const Json*> out;
    out.reserve(ids.size());
    for (uint32_t id : ids) out.push_back(nodes_[id].value);
    return out;
  }

  bool test(const Expr& e, uint32_t current) {
    if (exhausted_) return false;
    switch (e.kind) {
      case Expr::Kind::Or:
        for (const Expr& t : e.terms) {
          if (test(t, current)) return true;
        }
        return false;
      case Expr::Kind::And:
        for (const Expr& t : e.terms) {
          if (!test(t, current)) return false;
        }
        return true;
      case Expr::Kind::Exists: {
        std::vector<const Json*> scratch;
        return !values(e.lhs, current, scratch).empty();
      }
      case Expr::Kind::Compare: {
        std::vector<const Json*> left, right;
        Values a = values(e.lhs, current, left);
        Values b = values(e.rhs, current, right);
        return compare(a, e.op, b);
      }
    }
    return false;
  }

  // A side that selects nothing compares equal only to another such side.
  // Otherwise the comparison holds when it holds for some pair of values.
  bool compare(Values a, CompareOp op, Values b) {
    if (a.empty() || b.empty()) {
      bool both = a.empty() && b.empty();
      switch (op) {
        case CompareOp::Eq: case CompareOp::Le: case CompareOp::Ge: return both;
        case CompareOp::Ne: return !both;
        case CompareOp::Lt: case CompareOp::Gt: return false;
      }
    }
    for (const Json* x : a) {
      for (const Json* y : b) {
        if (!charge(1)) return false;
        if (holds(*x, op, *y)) return true;
      }
    }
    return false;
  }

  bool holds(const Json& x, CompareOp op, const Json& y) {
    switch (op) {
      case CompareOp::Eq: return equal(x, y);
      case CompareOp::Ne: return !equal(x, y);
      case CompareOp::Lt: return less(x, y);
      case CompareOp::Gt: return less(y, x);
      case CompareOp::Le: return less(x, y) || equal(x, y);
      case CompareOp::Ge: return less(y, x) || equal(x, y);
    }
    return false;
  }

  static bool less(const Json& x, const Json& y) {
    if (x.is_number() && y.is_number()) return number_value(x) < number_value(y);
    if (x.is_string() && y.is_string()) {
      return x.get_ref<const std::string&>() < y.get_ref<const std::string&>();
    }
    return false;
  }

  // Deep equality: numbers by value, objects regardless of member order.
  bool equal(const Json& x, const Json& y) {
    std::vector<std::pair<const Json*, const Json*>> stack{{&x, &y}};
    while (!stack.empty()) {
      auto [a, b] = stack.back();
      stack.pop_back();
      if (!charge(1)) return false;
      if (a->is_number() && b->is_number()) {
        if (number_value(*a) != number_value(*b)) return false;
        continue;
      }
      if (a->type() != b->type()) return false;
      switch (a->type()) {
        case Json::value_t::array:
          if (a->size() != b->size()) return false;
          for (size_t i = 0; i < a->size(); ++i) stack.push_back({&(*a)[i], &(*b)[i]});
          break;
        case Json::value_t::object:
          if (a->size() != b->size() || !charge(a->size() * b->size())) return false;
          for (auto it = a->begin(); it != a->end(); ++it) {
            auto other = b->find(it.key());
            if (other == b->end()) return false;
            stack.push_back({&it.value(), &*other});
          }
          break;
        default:
          if (*a != *b) return false;
      }
    }
    return true;
  }

  // Orders the selected nodes as the document holds them: the nodes that
  // lead to them are sorted under their parents and walked from the root.
  Matches in_document_order(const std::vector<uint32_t>& selected) {
    std::vector<uint8_t> flags(nodes_.size(), 0);
    constexpr uint8_t SELECTED = 1, ON_PATH = 2;
    std::vector<uint32_t> on_path;
    for (uint32_t id : selected) {
      flags[id] |= SELECTED;
      for (uint32_t x = id; x != 0 && !(flags[x] & ON_PATH); x = nodes_[x].parent) {
        flags[x] |= ON_PATH;
        on_path.push_back(x);
      }
    }
    // Siblings are numbered in their order, so sorting by number groups them
    // under their parent in order.
    std::sort(on_path.begin(), on_path.end(), [this](uint32_t a, uint32_t b) {
      return nodes_[a].parent != nodes_[b].parent ? nodes_[a].parent < nodes_[b].parent : a < b;
    });
    // The children of node p on the path are on_path[first[p] .. first[p] + count[p]).
    std::vector<uint32_t> first(nodes_.size(), 0), count(nodes_.size(), 0);
    for (size_t i = 0; i < on_path.size(); ++i) {
      uint32_t p = nodes_[on_path[i]].parent;
      if (count[p]++ == 0) first[p] = static_cast<uint32_t>(i);
    }

    Matches out;
    out.nodes_.reserve(on_path.size() + 1);
    std::vector<uint32_t> renumbered(nodes_.size(), 0);
    std::vector<uint32_t> stack{0};
    while (!stack.empty()) {
      uint32_t id = stack.back();
      stack.pop_back();
      auto mine = static_cast<uint32_t>(out.nodes_.size());
      renumbered[id] = mine;
      out.nodes_.push_back({id == 0 ? 0 : renumbered[nodes_[id].parent], step_to(id)});
      if (flags[id] & SELECTED) out.selected_.push_back(mine);
      for (uint32_t k = count[id]; k > 0; --k) stack.push_back(on_path[first[id] + k - 1]);
    }
    return out;
  }

  Step step_to(uint32_t id) const {
    if (id == 0) return {};
    const Node& n = nodes_[id];
    const Json* parent = nodes_[n.parent].value;
    if (!parent->is_object()) return {false, {}, n.position};
    const auto& members = parent->get_ref<const Json::object_t&>();
    return {true, (members.begin() + n.position)->first, n.position};
  }

  const Query& query_;
  uint64_t budget_;
  bool exhausted_ = false;
  uint32_t passes_ = 0;
  std::vector<Node> nodes_;
  std::vector<std::optional<std::vector<const Json*>>> root_values_;
};

Result<Matches> find(const Path& path, const Json& root) {
  uint64_t budget = std::min(BUDGET_PER_VALUE * count_values(root) + BUDGET_BASE, BUDGET_CEILING);
  return Evaluator(path.query(), root, budget).run();
}

std::vector<Step> Matches::location(size_t i) const {
  std::vector<Step> steps;
  for (uint32_t id = selected_[i]; id != 0; id = nodes_[id].parent) steps.push_back(nodes_[id].step);
  std::reverse(steps.begin(), steps.end());
  return steps;
}

std::string format_location(std::span<const Step> location) {
  std::string out = "$";
  for (const Step& step : location) {
    if (!step.is_member) {
      out += '[' + std::to_string(step.index) + ']';
      continue;
    }
    out += "['";
    for (char c : step.name) {
      if (c == '\'' || c == '\\') out += '\\';
      out += c;
    }
    out += "']";
  }
  return out;
}

}  // namespace vostrelin::jsonpath
