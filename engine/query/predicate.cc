#include "query/predicate.h"

#include <utility>

namespace pallix {

namespace {

// A copy of a node with empty child slots for the inner kinds.
Predicate::Node ShallowCopy(const Predicate::Node& node) {
  switch (node.index()) {
    case static_cast<size_t>(PredicateKind::kAnd): return AndPred{};
    case static_cast<size_t>(PredicateKind::kOr): return OrPred{};
    case static_cast<size_t>(PredicateKind::kNot): return NotPred{};
    default: return std::visit([](const auto& leaf) -> Predicate::Node {
        using T = std::decay_t<decltype(leaf)>;
        if constexpr (std::is_copy_constructible_v<T>) {
          return leaf;
        } else {
          return ExistsPred{};  // unreachable: inner kinds are handled above
        }
      }, node);
  }
}

bool SameLeaf(const Predicate::Node& a, const Predicate::Node& b) {
  if (a.index() != b.index()) return false;
  switch (static_cast<PredicateKind>(a.index())) {
    case PredicateKind::kCompare: {
      const auto& x = std::get<ComparePred>(a);
      const auto& y = std::get<ComparePred>(b);
      return x.path == y.path && x.op == y.op && values_same(x.value, y.value);
    }
    case PredicateKind::kExists:
      return std::get<ExistsPred>(a).path == std::get<ExistsPred>(b).path;
    case PredicateKind::kIn: {
      const auto& x = std::get<InPred>(a);
      const auto& y = std::get<InPred>(b);
      if (x.path != y.path || x.values.size() != y.values.size()) return false;
      for (size_t i = 0; i < x.values.size(); ++i)
        if (!values_same(x.values[i], y.values[i])) return false;
      return true;
    }
    case PredicateKind::kBetween: {
      const auto& x = std::get<BetweenPred>(a);
      const auto& y = std::get<BetweenPred>(b);
      return x.path == y.path && values_same(x.low, y.low) && values_same(x.high, y.high);
    }
    case PredicateKind::kStartsWith: {
      const auto& x = std::get<StartsWithPred>(a);
      const auto& y = std::get<StartsWithPred>(b);
      return x.path == y.path && x.prefix == y.prefix;
    }
    case PredicateKind::kContains: {
      const auto& x = std::get<ContainsPred>(a);
      const auto& y = std::get<ContainsPred>(b);
      return x.path == y.path && x.substring == y.substring;
    }
    case PredicateKind::kWithinKm: {
      const auto& x = std::get<WithinKmPred>(a);
      const auto& y = std::get<WithinKmPred>(b);
      auto same = [](double p, double q) { return p == q || (p != p && q != q); };
      return x.path == y.path && same(x.lat, y.lat) && same(x.lon, y.lon) && same(x.radius_km, y.radius_km);
    }
    case PredicateKind::kAnd:
    case PredicateKind::kOr:
    case PredicateKind::kNot:
      return true;  // children are compared by the caller's walk
  }
  return false;
}

}  // namespace

Predicate::Predicate(ShallowTag, const Node& node) : node_(ShallowCopy(node)) {}

int Predicate::Children(std::unique_ptr<Predicate>* out[2]) {
  switch (kind()) {
    case PredicateKind::kAnd: {
      auto& n = std::get<AndPred>(node_);
      out[0] = &n.left;
      out[1] = &n.right;
      return 2;
    }
    case PredicateKind::kOr: {
      auto& n = std::get<OrPred>(node_);
      out[0] = &n.left;
      out[1] = &n.right;
      return 2;
    }
    case PredicateKind::kNot:
      out[0] = &std::get<NotPred>(node_).inner;
      return 1;
    default:
      return 0;
  }
}

int Predicate::Children(const Predicate* out[2]) const {
  std::unique_ptr<Predicate>* slots[2];
  int n = const_cast<Predicate*>(this)->Children(slots);
  for (int i = 0; i < n; ++i) out[i] = slots[i]->get();
  return n;
}

Predicate::Predicate(const Predicate& other) : node_(ShallowCopy(other.node_)) {
  // Each entry: a source node whose copy `dst` still has empty child slots.
  std::vector<std::pair<const Predicate*, Predicate*>> stack;
  stack.emplace_back(&other, this);
  while (!stack.empty()) {
    auto [src, dst] = stack.back();
    stack.pop_back();
    const Predicate* from[2];
    std::unique_ptr<Predicate>* to[2];
    int n = src->Children(from);
    dst->Children(to);
    for (int i = 0; i < n; ++i) {
      if (from[i] == nullptr) continue;
      *to[i] = std::unique_ptr<Predicate>(new Predicate(ShallowTag{}, from[i]->node_));
      stack.emplace_back(from[i], to[i]->get());
    }
  }
}

Predicate& Predicate::operator=(const Predicate& other) {
  if (this != &other) *this = Predicate(other);
  return *this;
}

Predicate& Predicate::operator=(Predicate&& other) noexcept {
  if (this != &other) {
    // The old tree goes with `old`, whose destructor is iterative.
    Predicate old(std::move(*this));
    node_ = std::move(other.node_);
  }
  return *this;
}

Predicate::~Predicate() {
  // Detach every child before its parent dies, so that no destructor ever
  // meets a child: the recursion depth stays 1 whatever the tree's depth.
  std::vector<std::unique_ptr<Predicate>> stack;
  auto detach = [&stack](Predicate& p) {
    std::unique_ptr<Predicate>* slots[2];
    int n = p.Children(slots);
    for (int i = 0; i < n; ++i)
      if (*slots[i]) stack.push_back(std::move(*slots[i]));
  };
  detach(*this);
  while (!stack.empty()) {
    std::unique_ptr<Predicate> p = std::move(stack.back());
    stack.pop_back();
    detach(*p);
  }
}

Predicate Predicate::Compare(std::string path, CompareOp op, Value value) {
  return Predicate(ComparePred{std::move(path), std::move(value), op});
}
Predicate Predicate::Exists(std::string path) { return Predicate(ExistsPred{std::move(path)}); }
Predicate Predicate::In(std::string path, std::vector<Value> values) {
  return Predicate(InPred{std::move(path), std::move(values)});
}
Predicate Predicate::Between(std::string path, Value low, Value high) {
  return Predicate(BetweenPred{std::move(path), std::move(low), std::move(high)});
}
Predicate Predicate::StartsWith(std::string path, std::string prefix) {
  return Predicate(StartsWithPred{std::move(path), std::move(prefix)});
}
Predicate Predicate::Contains(std::string path, std::string substring) {
  return Predicate(ContainsPred{std::move(path), std::move(substring)});
}
Predicate Predicate::WithinKm(std::string path, double lat, double lon, double radius_km) {
  return Predicate(WithinKmPred{std::move(path), lat, lon, radius_km});
}
Predicate Predicate::And(Predicate left, Predicate right) {
  return Predicate(AndPred{std::make_unique<Predicate>(std::move(left)), std::make_unique<Predicate>(std::move(right))});
}
Predicate Predicate::Or(Predicate left, Predicate right) {
  return Predicate(OrPred{std::make_unique<Predicate>(std::move(left)), std::make_unique<Predicate>(std::move(right))});
}
Predicate Predicate::Not(Predicate inner) {
  return Predicate(NotPred{std::make_unique<Predicate>(std::move(inner))});
}

size_t Predicate::NodeCount() const {
  size_t count = 0;
  std::vector<const Predicate*> stack{this};
  while (!stack.empty()) {
    const Predicate* p = stack.back();
    stack.pop_back();
    ++count;
    const Predicate* kids[2];
    int n = p->Children(kids);
    for (int i = 0; i < n; ++i)
      if (kids[i] != nullptr) stack.push_back(kids[i]);
  }
  return count;
}

bool Predicate::SameAs(const Predicate& other) const {
  std::vector<std::pair<const Predicate*, const Predicate*>> stack{{this, &other}};
  while (!stack.empty()) {
    auto [a, b] = stack.back();
    stack.pop_back();
    if (!SameLeaf(a->node_, b->node_)) return false;
    const Predicate* ka[2];
    const Predicate* kb[2];
    int n = a->Children(ka);
    b->Children(kb);
    for (int i = 0; i < n; ++i) {
      if ((ka[i] == nullptr) != (kb[i] == nullptr)) return false;
      if (ka[i] != nullptr) stack.emplace_back(ka[i], kb[i]);
    }
  }
  return true;
}

}  // namespace pallix
