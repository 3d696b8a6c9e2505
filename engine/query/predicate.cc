#include "query/predicate.h"

#include <atomic>
#include <utility>

namespace pallix {

namespace {

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

int Predicate::Children(PredicateRef* out[2]) {
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
  PredicateRef* slots[2];
  int n = const_cast<Predicate*>(this)->Children(slots);
  for (int i = 0; i < n; ++i) out[i] = slots[i]->get();
  return n;
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
  // A child held by this node alone would die in this destructor, its own
  // children in that one, and so on: one stack frame per level, which a
  // chain folded one call at a time makes as deep as the number of calls.
  // Instead every such child moves to a local stack and is emptied of its
  // own sole-held children before it goes, so the frames never nest.
  // A child counted once may still have been read by another thread that
  // dropped its reference a moment ago, and emptying the child writes to it:
  // this thread must first see that thread's reads finished. use_count()
  // reads the count relaxed, so the sole holding is confirmed by taking a
  // reference (an atomic increment, which reads the latest count; holding
  // it and the slot, this thread is the only holder when the count is 2,
  // since only a holder can raise it) followed by an acquire fence, which
  // orders the other thread's drop before this thread's writes. libstdc++'s
  // increment is itself acquire-release, which ThreadSanitizer sees; it
  // does not see fences. A child shared with another tree only loses this
  // node's reference when the member destructors run.
  std::vector<PredicateRef> stack;
  auto detach = [&stack](Predicate& p) {
    PredicateRef* slots[2];
    int n = p.Children(slots);
    for (int i = 0; i < n; ++i) {
      if (!*slots[i] || slots[i]->use_count() != 1) continue;
      PredicateRef probe = *slots[i];
      if (probe.use_count() != 2) continue;
      std::atomic_thread_fence(std::memory_order_acquire);
      probe.reset();
      stack.push_back(std::move(*slots[i]));
    }
  };
  detach(*this);
  while (!stack.empty()) {
    PredicateRef p = std::move(stack.back());
    stack.pop_back();
    // Built non-const by the factories below and held by `p` alone.
    detach(const_cast<Predicate&>(*p));
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

namespace {

// The operand's root moved into a node of its own; its subtrees stay where
// they are. Made non-const so the destructor may empty it (see ~Predicate).
PredicateRef Hold(Predicate p) { return std::make_shared<Predicate>(std::move(p)); }

}  // namespace

Predicate Predicate::And(Predicate left, Predicate right) {
  return Predicate(AndPred{Hold(std::move(left)), Hold(std::move(right))});
}
Predicate Predicate::Or(Predicate left, Predicate right) {
  return Predicate(OrPred{Hold(std::move(left)), Hold(std::move(right))});
}
Predicate Predicate::Not(Predicate inner) { return Predicate(NotPred{Hold(std::move(inner))}); }

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
    if (a == b) continue;  // one shared subtree
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
