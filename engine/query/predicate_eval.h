// Evaluating predicate trees on documents, and splitting a disjunction into
// its disjuncts for the filter planner.
//
// The evaluator is the final judge of every filtered read: the planner only
// narrows which documents are tested; the executor, the aggregates and the
// filtered delete call eval_predicate (through EvalFilters) on every
// document they keep.
//
// Neither function recurses on the tree: the builders fold and_/or_ into a
// left spine as long as their argument list, so both walk with an explicit
// stack. Evaluation keeps that stack inline for ordinary trees and moves it
// to the heap only for trees nested deeper than the inline capacity.
//
// Thread-safety: pure functions over their arguments.

#ifndef PALLIX_QUERY_PREDICATE_EVAL_H_
#define PALLIX_QUERY_PREDICATE_EVAL_H_

#include <span>
#include <string_view>
#include <vector>

#include "doc/value.h"
#include "query/predicate.h"

namespace pallix {

// The truth of `predicate` on `document`. A leaf whose path is missing is
// false (ne and exists included); And and Or short-circuit left to right.
// Cannot fail.
bool eval_predicate(const Predicate& predicate, const Value& document);

// Every filter in list order; the first false one ends the test with false.
// An empty list accepts every document.
bool EvalFilters(const std::vector<Predicate>& filters, const Value& document);

// EvalFilters on a document given as some of its top-level fields: the
// field named names[i] holds *values[i], or is missing when values[i] is
// null. Every path the filters read must begin with one of names; the
// truth is then EvalFilters' on the whole document.
bool EvalFiltersOnFields(const std::vector<Predicate>& filters, std::span<const std::string_view> names,
                         std::span<const Value* const> values);

// Appends the disjuncts of `predicate` to `out` in left-to-right order: an Or
// node contributes those of its left subtree, then those of its right; any
// other node is appended itself. The pointers refer into the tree.
void flatten_or(const Predicate& predicate, std::vector<const Predicate*>& out);

// The equality of eq, ne and in: numbers (Int and Float in any mix) compare
// by value (1 == 1.0, -0.0 == 0.0, NaN equals nothing); other pairs by
// structural equality of the same kind.
bool FilterEqual(const Value& stored, const Value& wanted);

}  // namespace pallix

#endif  // PALLIX_QUERY_PREDICATE_EVAL_H_
