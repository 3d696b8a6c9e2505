#include "index/scalar_lookup.h"

#include <cmath>

#include "index/compound_index.h"
#include "index/entry.h"
#include "index/index_state.h"
#include "index/scalar_index.h"

namespace pallix {

namespace {

// Gathers document keys up to the cap; `over` is set when it is passed.
struct CappedKeys {
  std::vector<std::string> keys;
  bool over = false;
  // False (stop) once the cap is passed.
  bool Add(std::string_view key) {
    keys.emplace_back(key);
    over = keys.size() > kScalarLookupCap;
    return !over;
  }
  KeyList Take() {
    if (over) return std::nullopt;
    return std::move(keys);
  }
};

// The range scan of one scalar namespace; the caller checked the index.
Result<KeyList> RangeScan(const ReadView& view, const std::string& ns, const ScalarRange& range) {
  CappedKeys out;
  RETURN_IF_ERROR(scan_index_from(view, ns, range.lower, [&](std::string_view k, std::string_view) -> Result<bool> {
    if (k.empty() || static_cast<uint8_t>(k[0]) != range.type) return false;
    if (range.upper) {
      std::optional<size_t> t = find_key_terminator(k);
      if (t && k.substr(0, *t) > *range.upper) return false;
    }
    std::optional<std::string_view> doc = doc_key_from_scalar_key(k);
    if (!doc) return true;
    return out.Add(*doc);
  }));
  return out.Take();
}

// The offset just past `count` encoded values from the start of k.
std::optional<size_t> SkipValues(std::string_view k, size_t count) {
  size_t pos = 0;
  for (size_t i = 0; i < count; ++i) {
    std::optional<size_t> t = find_key_terminator(k, pos);
    if (!t) return std::nullopt;
    pos = *t + 2;
  }
  return pos;
}

}  // namespace

std::optional<ScalarRange> scalar_range_for_comparisons(std::span<const IndexComparison> comparisons) {
  if (comparisons.empty()) return std::nullopt;
  std::optional<uint8_t> type = scalar_key_type(*comparisons.front().value);
  if (!type) return std::nullopt;
  std::optional<std::string> lower, upper;
  for (const IndexComparison& c : comparisons) {
    if (scalar_key_type(*c.value) != type || c.op == CompareOp::kNe) return std::nullopt;
    std::string b = *scalar_key_bound(*c.value);
    bool raises_lower = c.op == CompareOp::kEq || c.op == CompareOp::kGt || c.op == CompareOp::kGe;
    bool lowers_upper = c.op == CompareOp::kEq || c.op == CompareOp::kLt || c.op == CompareOp::kLe;
    if (raises_lower && (!lower || b > *lower)) lower = b;
    if (lowers_upper && (!upper || b < *upper)) upper = b;
  }
  return ScalarRange{lower.value_or(std::string(1, static_cast<char>(*type))), *type, upper};
}

Result<KeyList> scalar_index_lookup(Engine& engine, const ReadView& view, std::string_view collection,
                                    std::string_view field, std::span<const IndexComparison> comparisons) {
  ASSIGN_OR_RETURN(bool usable, has_scalar_index(engine, collection, field));
  if (!usable) return std::nullopt;
  std::optional<ScalarRange> range = scalar_range_for_comparisons(comparisons);
  if (!range) return std::nullopt;
  return RangeScan(view, scalar_namespace(collection, field), *range);
}

Result<KeyList> scalar_in_lookup(Engine& engine, const ReadView& view, std::string_view collection,
                                 std::string_view field, std::span<const Value> values) {
  ASSIGN_OR_RETURN(bool usable, has_scalar_index(engine, collection, field));
  if (!usable) return std::nullopt;
  KeyUnion acc;
  for (const Value& v : values) {
    IndexComparison eq{&v, CompareOp::kEq};
    ASSIGN_OR_RETURN(KeyList keys, scalar_index_lookup(engine, view, collection, field, {&eq, 1}));
    if (!keys || !id_set_from_scan(acc, std::move(*keys))) return std::nullopt;
  }
  return std::move(acc.keys);
}

Result<KeyList> scalar_between_lookup(Engine& engine, const ReadView& view, std::string_view collection,
                                      std::string_view field, const Value& low, const Value& high) {
  const IndexComparison range[2] = {{&low, CompareOp::kGe}, {&high, CompareOp::kLe}};
  return scalar_index_lookup(engine, view, collection, field, range);
}

Result<KeyList> scalar_prefix_lookup(Engine& engine, const ReadView& view, std::string_view collection,
                                     std::string_view field, std::string_view prefix) {
  ASSIGN_OR_RETURN(bool usable, has_scalar_index(engine, collection, field));
  if (!usable) return std::nullopt;
  std::string start(1, static_cast<char>(kKeyTypeText));
  append_escaped(prefix, start);
  CappedKeys out;
  RETURN_IF_ERROR(scan_index_from(view, scalar_namespace(collection, field), start,
                                  [&](std::string_view k, std::string_view) -> Result<bool> {
                                    if (!k.starts_with(start)) return false;
                                    std::optional<std::string_view> doc = doc_key_from_scalar_key(k);
                                    return !doc || out.Add(*doc);
                                  }));
  return out.Take();
}

bool id_set_from_scan(KeyUnion& acc, std::vector<std::string> keys) {
  for (std::string& k : keys) {
    if (!acc.seen.insert(k).second) continue;
    acc.keys.push_back(std::move(k));
    if (acc.keys.size() > acc.limit) return false;
  }
  return true;
}

Result<KeyList> compound_index_scan(Engine& engine, const ReadView& view, std::string_view collection,
                                    const std::vector<std::string>& fields, std::span<const Value* const> equal,
                                    std::span<const IndexComparison> next) {
  ASSIGN_OR_RETURN(bool usable, has_compound_index(engine, collection, fields));
  if (!usable || equal.size() + (next.empty() ? 0 : 1) > fields.size()) return std::nullopt;
  std::optional<std::string> prefix = compound_key(equal);
  if (!prefix) return std::nullopt;
  std::optional<ScalarRange> range;
  if (!next.empty()) {
    range = scalar_range_for_comparisons(next);
    if (!range) return std::nullopt;
  }
  const size_t p = prefix->size();
  CappedKeys out;
  auto visit = [&](std::string_view k, std::string_view) -> Result<bool> {
    if (!k.starts_with(*prefix)) return false;
    if (range) {
      // Entries past the range's type hold values of another kind.
      if (k.size() <= p || static_cast<uint8_t>(k[p]) != range->type) return false;
      std::optional<size_t> t = find_key_terminator(k, p);
      if (range->upper && t && k.substr(p, *t - p) > *range->upper) return false;
    }
    std::optional<size_t> doc_at = SkipValues(k, fields.size());
    return !doc_at || out.Add(k.substr(*doc_at));
  };
  RETURN_IF_ERROR(scan_index_from(view, compound_table_name(collection, fields), *prefix + (range ? range->lower : ""),
                                  visit));
  return out.Take();
}

Status walk_scalar_entries(const ReadView& view, std::string_view ns, const ScalarEntryVisitor& visit) {
  return scan_index_from(view, ns, std::string(1, static_cast<char>(kKeyTypeNumber)),
                         [&](std::string_view k, std::string_view) -> Result<bool> {
                           if (!k.empty() && static_cast<uint8_t>(k[0]) > kKeyTypeText) return false;
                           ASSIGN_OR_RETURN(ParsedScalarKey entry, parse_scalar_key(ns, k));
                           if (entry.number && std::isnan(*entry.number)) return true;
                           return visit(entry);
                         });
}

Status scalar_range_rows(const ReadView& view, std::string_view ns, const ScalarGroupVisitor& group) {
  std::string bound;
  std::vector<std::string> pending;
  bool stopped = false;
  RETURN_IF_ERROR(walk_scalar_entries(view, ns, [&](const ParsedScalarKey& e) -> Result<bool> {
    if (!pending.empty() && e.bound != bound) {
      ASSIGN_OR_RETURN(bool go_on, group(bound, pending));
      pending.clear();
      if (!go_on) {
        stopped = true;
        return false;
      }
    }
    if (pending.empty()) bound.assign(e.bound);
    pending.emplace_back(e.doc_key);
    return true;
  }));
  if (!stopped && !pending.empty()) RETURN_IF_ERROR(group(bound, pending));
  return Ok();
}

Result<std::deque<ScalarGroup>> scalar_range_keys(const ReadView& view, std::string_view ns,
                                                  std::optional<size_t> target) {
  std::deque<ScalarGroup> groups;
  size_t count = 0;
  RETURN_IF_ERROR(walk_scalar_entries(view, ns, [&](const ParsedScalarKey& e) -> Result<bool> {
    if (groups.empty() || groups.back().bound != e.bound) groups.push_back(ScalarGroup{std::string(e.bound), {}});
    groups.back().keys.emplace_back(e.doc_key);
    ++count;
    while (target && groups.size() > 1 && count - groups.front().keys.size() >= *target) {
      count -= groups.front().keys.size();
      groups.pop_front();
    }
    return true;
  }));
  return groups;
}

}  // namespace pallix
