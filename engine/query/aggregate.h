// Aggregates over the documents of a query that satisfy every filter:
// count, sum, avg, min, max, count_distinct and the grouped count, sum and
// average, plus the group-key text that names a value in the distinct count
// and in the groups.
//
// Every aggregate ignores the query's sources, ranking, ordering, window
// and projection; it validates the fusion constant and lambda like a run,
// resumes the collection's pending builds as a run does, reads one
// snapshot, and takes its documents from the planner's candidate rows (in
// their order) or from one walk of the collection in key order.
//
// Callers: the binding's Query terminal methods.
// Thread-safety: as the executor: one snapshot, registry locks one at a
// time inside the planner only.

#ifndef PALLIX_QUERY_AGGREGATE_H_
#define PALLIX_QUERY_AGGREGATE_H_

#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "doc/value.h"
#include "query/query_spec.h"

namespace pallix {

// "b:true"/"b:false", "i:<decimal>", "f:<shortest positional>" (-0 as 0,
// NaN, inf, -inf), a Text as itself unless it begins with "i:", "f:", "b:"
// or "t:" (then "t:" + text); nullopt for Null, Bytes, Array, Map, Vector.
std::optional<std::string> index_key_text(const Value& value);

// Calls fold on every document that satisfies every filter, planned or
// walked, inside one snapshot, with the values at `fields` (in their
// order; null where a path is missing), as get_path finds them in the
// whole document; the values last only for the call. Errors: Transaction,
// Storage, Decode, the planner's and the resume's.
using FieldFold = std::function<void(std::span<const Value* const> at)>;
Status ForEachMatching(const QuerySpec& spec, const std::vector<std::string_view>& fields,
                       const FieldFold& fold);

// Each validates first (InvalidArgument, the run's texts).
// count: without filters, the stored row count (read after the resume).
Result<uint64_t> run_count(const QuerySpec& spec);
Result<double> run_sum(const QuerySpec& spec, std::string_view field);
Result<std::optional<double>> run_avg(const QuerySpec& spec, std::string_view field);
Result<uint64_t> run_count_distinct(const QuerySpec& spec, std::string_view field);
// Ordered maps: group-key texts bytewise ascending.
Result<std::map<std::string, uint64_t>> run_group_count(const QuerySpec& spec, std::string_view field);
Result<std::map<std::string, double>> run_group_sum(const QuerySpec& spec, std::string_view group_field,
                                                    std::string_view value_field);
Result<std::map<std::string, double>> run_group_avg(const QuerySpec& spec, std::string_view group_field,
                                                    std::string_view value_field);
// The least (wanted = less) or greatest (greater) value at `field`: the
// first orderable value decides whether numbers or texts compete; ties keep
// the value met first. nullopt when no value is orderable.
Result<std::optional<Value>> run_min_max(const QuerySpec& spec, std::string_view field,
                                         std::partial_ordering wanted);

}  // namespace pallix

#endif  // PALLIX_QUERY_AGGREGATE_H_
