#include "query/predicate_eval.h"

#include <array>
#include <compare>
#include <string_view>

#include "query/byte_search.h"
#include "index/geo.h"

namespace pallix {

namespace {

// A stack of nodes: inline up to kInline entries, then on the heap.
class NodeStack {
 public:
  bool empty() const { return size_ == 0; }
  void push(const Predicate* p) {
    if (size_ < kInline) {
      inline_[size_] = p;
    } else {
      spill_.push_back(p);
    }
    ++size_;
  }
  const Predicate* pop() {
    --size_;
    if (size_ < kInline) return inline_[size_];
    const Predicate* p = spill_.back();
    spill_.pop_back();
    return p;
  }

 private:
  static constexpr size_t kInline = 64;
  std::array<const Predicate*, kInline> inline_{};
  std::vector<const Predicate*> spill_;
  size_t size_ = 0;
};

bool CompareHolds(const ComparePred& c, const Value& v) {
  if (c.op == CompareOp::kEq) return FilterEqual(v, c.value);
  if (c.op == CompareOp::kNe) return !FilterEqual(v, c.value);
  std::partial_ordering o = value_partial_cmp(v, c.value);
  switch (c.op) {
    case CompareOp::kLt: return o == std::partial_ordering::less;
    case CompareOp::kLe: return o == std::partial_ordering::less || o == std::partial_ordering::equivalent;
    case CompareOp::kGt: return o == std::partial_ordering::greater;
    case CompareOp::kGe: return o == std::partial_ordering::greater || o == std::partial_ordering::equivalent;
    default: return false;
  }
}

bool InHolds(const InPred& in, const Value& v) {
  for (const Value& x : in.values)
    if (FilterEqual(v, x)) return true;
  return false;
}

bool BetweenHolds(const BetweenPred& b, const Value& v) {
  std::partial_ordering lo = value_partial_cmp(v, b.low);
  if (lo != std::partial_ordering::greater && lo != std::partial_ordering::equivalent) return false;
  std::partial_ordering hi = value_partial_cmp(v, b.high);
  return hi == std::partial_ordering::less || hi == std::partial_ordering::equivalent;
}

bool WithinHolds(const WithinKmPred& w, const Value& v) {
  // The geo index's own reader and distance, so a radius search and this
  // filter agree on every document.
  std::optional<GeoPoint> p = geo_point_from_value(v);
  if (!p) return false;
  // A NaN distance or radius fails the comparison, hence false.
  return haversine_km(w.lat, w.lon, *p) <= w.radius_km;
}

// A leaf node on the value at its path.
bool LeafHolds(const Predicate::Node& node, const Value& v) {
  switch (static_cast<PredicateKind>(node.index())) {
    case PredicateKind::kCompare: return CompareHolds(std::get<ComparePred>(node), v);
    case PredicateKind::kExists: return true;
    case PredicateKind::kIn: return InHolds(std::get<InPred>(node), v);
    case PredicateKind::kBetween: return BetweenHolds(std::get<BetweenPred>(node), v);
    case PredicateKind::kStartsWith:
      return v.is_text() && std::string_view(v.as_text()).starts_with(std::get<StartsWithPred>(node).prefix);
    case PredicateKind::kContains:
      return v.is_text() && ContainsBytes(v.as_text(), std::get<ContainsPred>(node).substring);
    case PredicateKind::kWithinKm: return WithinHolds(std::get<WithinKmPred>(node), v);
    default: return false;
  }
}

const std::string& LeafPath(const Predicate::Node& node) {
  return std::visit([](const auto& leaf) -> const std::string& {
    if constexpr (requires { leaf.path; }) {
      return leaf.path;
    } else {
      static const std::string kNone;
      return kNone;  // inner kinds never reach here
    }
  }, node);
}

// The value a leaf tests: its path in a whole document, or one of the
// top-level fields a walk read from a row's bytes.
struct InDocument {
  const Value& document;
  const Value* operator()(const std::string& path) const { return get_path(document, path); }
};

struct InFields {
  std::span<const std::string_view> names;
  std::span<const Value* const> values;
  // Called once per leaf per row: the path is matched against each name
  // as a prefix ending at a '.' or the end, without searching it first.
  const Value* operator()(std::string_view path) const {
    for (size_t i = 0; i < names.size(); ++i) {
      const std::string_view name = names[i];
      if (name.size() > path.size() || path.compare(0, name.size(), name) != 0) continue;
      if (name.size() == path.size()) return values[i];
      if (path[name.size()] != '.') continue;
      if (values[i] == nullptr) return nullptr;
      // A path that ends in '.' names the entry "" below the field, which
      // get_path of an empty path would not find.
      if (name.size() + 1 == path.size()) return values[i]->is_map() ? values[i]->as_map().Find("") : nullptr;
      return get_path(*values[i], path.substr(name.size() + 1));
    }
    return nullptr;
  }
};

template <typename Find>
bool EvalLeaf(const Predicate& leaf, const Find& find) {
  const Value* v = find(LeafPath(leaf.node()));
  return v != nullptr && LeafHolds(leaf.node(), *v);
}

// The walk descends to the leftmost leaf, stacking the inner nodes passed on
// the way, then climbs with the leaf's truth. An And whose left side held
// (or an Or whose left side failed) takes its right child's truth as its
// own, so the right child replaces it: nothing is stacked for it and the
// walk descends again from there. The stack holds only pending left sides
// and Not nodes, never more than the tree's depth.
template <typename Find>
bool Eval(const Predicate& predicate, const Find& find) {
  // Most filters are one leaf, tested once per row of a walk: no stack.
  if (predicate.kind() < PredicateKind::kAnd) return EvalLeaf(predicate, find);
  NodeStack pending;
  const Predicate* cur = &predicate;
  while (true) {
    while (cur->kind() >= PredicateKind::kAnd) {
      pending.push(cur);
      const Predicate::Node& n = cur->node();
      if (cur->kind() == PredicateKind::kAnd) cur = std::get<AndPred>(n).left.get();
      else if (cur->kind() == PredicateKind::kOr) cur = std::get<OrPred>(n).left.get();
      else cur = std::get<NotPred>(n).inner.get();
    }
    bool truth = EvalLeaf(*cur, find);
    cur = nullptr;
    while (cur == nullptr && !pending.empty()) {
      const Predicate* parent = pending.pop();
      switch (parent->kind()) {
        case PredicateKind::kNot: truth = !truth; break;
        case PredicateKind::kAnd:
          if (truth) cur = std::get<AndPred>(parent->node()).right.get();
          break;
        case PredicateKind::kOr:
          if (!truth) cur = std::get<OrPred>(parent->node()).right.get();
          break;
        default: break;
      }
    }
    if (cur == nullptr) return truth;
  }
}

}  // namespace

bool FilterEqual(const Value& stored, const Value& wanted) {
  if (stored.is_number() && wanted.is_number())
    return value_partial_cmp(stored, wanted) == std::partial_ordering::equivalent;
  return values_equal(stored, wanted);
}

bool eval_predicate(const Predicate& predicate, const Value& document) {
  return Eval(predicate, InDocument{document});
}

bool EvalFilters(const std::vector<Predicate>& filters, const Value& document) {
  for (const Predicate& f : filters)
    if (!eval_predicate(f, document)) return false;
  return true;
}

bool EvalFiltersOnFields(const std::vector<Predicate>& filters, std::span<const std::string_view> names,
                         std::span<const Value* const> values) {
  const InFields find{names, values};
  for (const Predicate& f : filters)
    if (!Eval(f, find)) return false;
  return true;
}

void flatten_or(const Predicate& predicate, std::vector<const Predicate*>& out) {
  // Right subtrees wait on the stack while the left spine is walked first.
  std::vector<const Predicate*> stack{&predicate};
  while (!stack.empty()) {
    const Predicate* p = stack.back();
    stack.pop_back();
    while (p->kind() == PredicateKind::kOr) {
      const auto& o = std::get<OrPred>(p->node());
      stack.push_back(o.right.get());
      p = o.left.get();
    }
    out.push_back(p);
  }
}

}  // namespace pallix
