// The query engine's predicate tree: the filters a query (or a filtered
// delete) applies to each document. The binding builds trees from the
// Python builders (field(...).eq(...), and_, or_, not_); the executor, the
// planner and the aggregates read them; query/predicate_eval.h evaluates them.
//
// Nodes are immutable once built, so an inner node holds its children by
// shared_ptr<const Predicate> and a copy of a tree copies only its root:
// the children are shared, never copied. Every consumer (a query, a
// filtered delete, a larger tree built over it) therefore takes a copy in
// constant time, and folding or_(p, q) one argument at a time costs one node
// per call instead of a copy of everything built so far. Since nothing can
// change a node after it is built, a shared subtree reads exactly as a deep
// copy would.
//
// The builders fold and_(p1, ..., pn) into a left spine And(And(p1, p2), ...)
// as long as the argument list, and a chain folded one call at a time is as
// deep as the number of calls, so nothing here recurses on the tree: the
// destructor, NodeCount and SameAs walk with an explicit stack, and a tree of
// any depth is safe to build, copy and drop.
//
// Thread-safety: immutable values; copies may be used and dropped on any
// thread (the shared children's reference counts are atomic).

#ifndef PALLIX_QUERY_PREDICATE_H_
#define PALLIX_QUERY_PREDICATE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "doc/compare_op.h"
#include "doc/value.h"

namespace pallix {

// Node kinds, numbered as the variant below orders them. Never renumber.
enum class PredicateKind : uint8_t {
  kCompare = 0,
  kExists = 1,
  kIn = 2,
  kBetween = 3,
  kStartsWith = 4,
  kContains = 5,
  kWithinKm = 6,
  kAnd = 7,
  kOr = 8,
  kNot = 9,
};


class Predicate;

// Leaves: every one names a dotted field path, kept as the caller wrote it.
struct ComparePred {
  std::string path;
  Value value;
  CompareOp op = CompareOp::kEq;
};
struct ExistsPred {
  std::string path;
};
struct InPred {
  std::string path;
  std::vector<Value> values;  // in the caller's order, possibly empty
};
struct BetweenPred {
  std::string path;
  Value low;   // inclusive
  Value high;  // inclusive; low > high is kept as given
};
struct StartsWithPred {
  std::string path;
  std::string prefix;
};
struct ContainsPred {
  std::string path;
  std::string substring;
};
struct WithinKmPred {
  std::string path;
  double lat = 0;
  double lon = 0;
  double radius_km = 0;
};
// Inner nodes. Children are never null in a finished tree, and are shared
// with every copy of the node.
using PredicateRef = std::shared_ptr<const Predicate>;
struct AndPred {
  PredicateRef left;
  PredicateRef right;
};
struct OrPred {
  PredicateRef left;
  PredicateRef right;
};
struct NotPred {
  PredicateRef inner;
};

class Predicate {
 public:
  // The variant's index is the PredicateKind.
  using Node = std::variant<ComparePred, ExistsPred, InPred, BetweenPred, StartsWithPred, ContainsPred,
                            WithinKmPred, AndPred, OrPred, NotPred>;

  explicit Predicate(Node node) : node_(std::move(node)) {}
  // Copies the root node; the children are shared. Constant time for inner
  // nodes, a leaf's own fields for a leaf.
  Predicate(const Predicate& other) = default;
  Predicate& operator=(const Predicate& other);
  Predicate(Predicate&& other) noexcept = default;
  Predicate& operator=(Predicate&& other) noexcept;
  // Drops this node's hold on its children; frees every subtree no other
  // tree shares, without recursion.
  ~Predicate();

  static Predicate Compare(std::string path, CompareOp op, Value value);
  static Predicate Exists(std::string path);
  static Predicate In(std::string path, std::vector<Value> values);
  static Predicate Between(std::string path, Value low, Value high);
  static Predicate StartsWith(std::string path, std::string prefix);
  static Predicate Contains(std::string path, std::string substring);
  static Predicate WithinKm(std::string path, double lat, double lon, double radius_km);
  // Inner nodes over their operands, which they hold without copying their
  // subtrees: constant time whatever the operands' size.
  static Predicate And(Predicate left, Predicate right);
  static Predicate Or(Predicate left, Predicate right);
  static Predicate Not(Predicate inner);

  PredicateKind kind() const { return static_cast<PredicateKind>(node_.index()); }
  const Node& node() const { return node_; }

  // Number of nodes in the tree, a shared subtree counted at each place it
  // occurs (iterative).
  size_t NodeCount() const;
  // Structural equality (leaf values by values_same), iterative. For tests
  // and for callers that want to compare built trees.
  bool SameAs(const Predicate& other) const;

 private:
  // The child slots of this node (0, 1 or 2), in left-to-right order.
  int Children(PredicateRef* out[2]);
  int Children(const Predicate* out[2]) const;

  Node node_;
};

}  // namespace pallix

#endif  // PALLIX_QUERY_PREDICATE_H_
