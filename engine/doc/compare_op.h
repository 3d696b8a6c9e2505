// The comparison operator of a Compare predicate and of a scalar index
// lookup: one enum for both, so the planner hands a predicate's operator to
// the index layer unchanged.
//
// Thread-safety: a plain enum.

#ifndef PALLIX_DOC_COMPARE_OP_H_
#define PALLIX_DOC_COMPARE_OP_H_

#include <cstdint>

namespace pallix {

// The binding's predicate builders number these; never renumber.
enum class CompareOp : uint8_t { kEq = 0, kNe = 1, kLt = 2, kLe = 3, kGt = 4, kGe = 5 };

}  // namespace pallix

#endif  // PALLIX_DOC_COMPARE_OP_H_
