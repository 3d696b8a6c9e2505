// Lookups over scalar and compound index entries: key ranges formed from
// comparisons, equality / range / in / between / prefix lookups, the
// compound prefix-and-range scan, and the ordered walks the query executor
// uses to return rows in field order.
//
// A lookup answers a list of document keys in index order (by value, then
// key), or nullopt: the index cannot answer (not declared, still building,
// no usable range, or more than 100000 keys) and the caller proceeds as
// without an index. Ranges are inclusive at both ends, so strict
// comparisons over-approximate and callers evaluate their predicates on
// the fetched documents.
//
// Callers: the query planner and executor, the aggregates.
// Thread-safety: reads through the caller's read view; takes "scalar lock"
// only to ask whether an index may answer.

#ifndef PALLIX_INDEX_SCALAR_LOOKUP_H_
#define PALLIX_INDEX_SCALAR_LOOKUP_H_

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "base/error.h"
#include "base/siphash.h"
#include "db/engine.h"
#include "doc/compare_op.h"
#include "doc/value.h"
#include "index/scalar_key.h"
#include "storage/read_view.h"

namespace pallix {

// The most keys one lookup returns; past it the answer is "cannot answer".
inline constexpr size_t kScalarLookupCap = 100000;


struct IndexComparison {
  const Value* value;
  CompareOp op;
};

// An inclusive range of bounds (type byte + escaped payload) of one type.
struct ScalarRange {
  std::string lower;  // the type byte alone when there is no lower bound
  uint8_t type = 0;
  std::optional<std::string> upper;
};

// Merges comparisons on one field into one range; nullopt for an empty
// list, a value without a key, mixed types, or any ne.
std::optional<ScalarRange> scalar_range_for_comparisons(std::span<const IndexComparison> comparisons);

using KeyList = std::optional<std::vector<std::string>>;

// The keys of the documents whose value of `field` lies in the merged range.
Result<KeyList> scalar_index_lookup(Engine& engine, const ReadView& view, std::string_view collection,
                                    std::string_view field, std::span<const IndexComparison> comparisons);
// The union of one equality lookup per value, first-seen order, no repeats;
// an empty list gives an empty answer. nullopt when any lookup cannot
// answer or the union exceeds the cap.
Result<KeyList> scalar_in_lookup(Engine& engine, const ReadView& view, std::string_view collection,
                                 std::string_view field, std::span<const Value> values);
// low <= value <= high.
Result<KeyList> scalar_between_lookup(Engine& engine, const ReadView& view, std::string_view collection,
                                      std::string_view field, const Value& low, const Value& high);
// Text values starting with `prefix` (bytewise; a NUL in the prefix matches
// only a NUL).
Result<KeyList> scalar_prefix_lookup(Engine& engine, const ReadView& view, std::string_view collection,
                                     std::string_view field, std::string_view prefix);

// A union of key lists in first-seen order without repeats.
struct KeyUnion {
  size_t limit = kScalarLookupCap;
  std::unordered_set<std::string, SeededHash, std::equal_to<>> seen;
  std::vector<std::string> keys;
};
// Adds keys; false as soon as the union holds more than its limit.
bool id_set_from_scan(KeyUnion& acc, std::vector<std::string> keys);

// The compound index (collection, fields), built: the documents whose
// leading fields equal `equal` (one value per leading field, in order) and,
// when `next` is not empty, whose following field lies in the range merged
// from `next`. nullopt: the index is not declared or still building, a
// value has no key, the range cannot be formed, or the cap is exceeded.
// Whether a prefix of the fields may be used at all (covering) is the
// caller's decision (find_compound_index).
Result<KeyList> compound_index_scan(Engine& engine, const ReadView& view, std::string_view collection,
                                    const std::vector<std::string>& fields, std::span<const Value* const> equal,
                                    std::span<const IndexComparison> next);

// Ordered walk over the number and text entries of one scalar namespace:
// from the first number key on, each forward key split by parse_scalar_key
// (its CorruptIndex errors end the walk); the walk ends at a type byte above
// 3. NaN entries are skipped. visit returns false to stop.
using ScalarEntryVisitor = std::function<Result<bool>(const ParsedScalarKey& entry)>;
Status walk_scalar_entries(const ReadView& view, std::string_view ns, const ScalarEntryVisitor& visit);

// Ascending groups: calls `group(bound, keys)` for each run of entries with
// one value, in value order; group returns false to stop.
using ScalarGroupVisitor = std::function<Result<bool>(std::string_view bound, std::vector<std::string>& keys)>;
Status scalar_range_rows(const ReadView& view, std::string_view ns, const ScalarGroupVisitor& group);

// The highest values holding at least `target` keys (all when nullopt), as
// groups from the smallest kept value (front) to the largest (back), each
// group's keys in key order; the executor walks it from the back.
struct ScalarGroup {
  std::string bound;
  std::vector<std::string> keys;
};
Result<std::deque<ScalarGroup>> scalar_range_keys(const ReadView& view, std::string_view ns,
                                                  std::optional<size_t> target);

}  // namespace pallix

#endif  // PALLIX_INDEX_SCALAR_LOOKUP_H_
