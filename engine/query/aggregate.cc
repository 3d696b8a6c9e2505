#include "query/aggregate.h"

#include <deque>
#include <unordered_set>

#include "base/numeric.h"
#include "index/resume.h"
#include "query/part_walk.h"
#include "query/planner.h"
#include "query/predicate_eval.h"
#include "query/row_fields.h"

namespace pallix {

namespace {

std::optional<double> NumberOf(const Value* v) {
  if (v == nullptr || !v->is_number()) return std::nullopt;
  return v->as_number();
}

std::optional<std::string> KeyTextOf(const Value* v) {
  if (v == nullptr) return std::nullopt;
  return index_key_text(*v);
}

bool HasTypePrefix(const std::string& s) {
  if (s.size() < 2 || s[1] != ':') return false;
  return s[0] == 'i' || s[0] == 'f' || s[0] == 'b' || s[0] == 't';
}

Status Prepare(const QuerySpec& spec) {
  RETURN_IF_ERROR(ValidateQuerySpec(spec));
  return resume_index_builds(*spec.engine, spec.collection);
}

// fold(acc, part, at) on every planned row, all of them in part 0.
template <typename Acc, typename Fold>
void FoldPlanned(const std::vector<CandidateRow>& rows, const std::vector<std::string_view>& fields, Acc& acc,
                 const Fold& fold) {
  std::vector<const Value*> at(fields.size());
  for (const CandidateRow& row : rows) {
    for (size_t i = 0; i < fields.size(); ++i) at[i] = get_path(row.second, fields[i]);
    fold(acc, size_t{0}, std::span<const Value* const>(at));
  }
}

// A walk decodes only the top-level fields the filters and fields begin
// with, a batch of rows at a time, each part into its own accumulator with
// its own RowFields.
template <typename Acc, typename Fold>
Status FoldWalked(const QuerySpec& spec, const ReadView& view, const std::vector<std::string_view>& fields,
                  const std::vector<std::string>& splits, std::vector<Acc>& parts, const Fold& fold) {
  struct Lane {
    Lane(const QuerySpec& spec, const std::vector<std::string_view>& fields)
        : walk(spec.filters, fields), at(fields.size()) {}
    RowFields walk;
    std::vector<const Value*> at;
  };
  std::deque<Lane> lanes;  // one per part: a part is walked by one thread
  for (size_t i = 0; i < parts.size(); ++i) lanes.emplace_back(spec, fields);
  return WalkParts(view, spec.collection, splits, [&](size_t part, std::span<const RowRef> rows) -> Result<bool> {
    Lane& lane = lanes[part];
    for (const RowRef& row : rows) {
      ASSIGN_OR_RETURN(bool passed, lane.walk.Next(row.value));
      if (!passed) continue;
      for (size_t i = 0; i < lane.at.size(); ++i) lane.at[i] = lane.walk.At(i);
      fold(parts[part], part, std::span<const Value* const>(lane.at));
    }
    return true;
  });
}

// The documents of one snapshot that pass every filter, folded by
// fold(acc, part, at) with the values at fields, into one accumulator per
// part of the collection, in key order. With shared, a walk may be cut
// into parts walked side by side (part_walk.h): the caller merges the
// parts in order, so that the answer is the one-thread walk's. Planned
// rows, and a walk not shared, fold into part 0 alone.
template <typename Acc, typename Fold>
Result<std::vector<Acc>> FoldMatching(const QuerySpec& spec, const std::vector<std::string_view>& fields, bool shared,
                                      const Fold& fold) {
  RETURN_IF_ERROR(Prepare(spec));
  ASSIGN_OR_RETURN(ReadTxn txn, spec.engine->store().BeginRead());
  ReadView view(txn);
  ASSIGN_OR_RETURN(CandidateRows planned, plan_scalar_candidates(spec, view));
  std::vector<Acc> parts;
  if (planned) {
    FoldPlanned(*planned, fields, parts.emplace_back(), fold);
    return parts;
  }
  std::vector<std::string> splits;
  if (shared) {
    ASSIGN_OR_RETURN(splits, PartSplits(view, spec.collection));
  }
  parts.resize(splits.size() + 1);
  RETURN_IF_ERROR(FoldWalked(spec, view, fields, splits, parts, fold));
  return parts;
}

// A float sum's parts: the first adds its values as the one-thread walk
// does, from 0; a later part cannot, not knowing the sum it starts from, and
// keeps its values to be added in key order once the parts before it are.
// Float addition does not associate, so no part sums its own values apart.
struct SumPart {
  double sum = 0.0;
  uint64_t count = 0;
  std::vector<double> later;
};

Result<SumPart> SumMatching(const QuerySpec& spec, std::string_view field) {
  auto fold = [](SumPart& acc, size_t part, std::span<const Value* const> at) {
    const std::optional<double> x = NumberOf(at[0]);
    if (!x) return;
    ++acc.count;
    if (part == 0) {
      acc.sum = *x + acc.sum;
    } else {
      acc.later.push_back(*x);
    }
  };
  ASSIGN_OR_RETURN(std::vector<SumPart> parts, FoldMatching<SumPart>(spec, {field}, true, fold));
  SumPart total = std::move(parts[0]);
  for (size_t i = 1; i < parts.size(); ++i) {
    for (double x : parts[i].later) total.sum = x + total.sum;
    total.count += parts[i].count;
  }
  return total;
}

template <typename Acc>
Status GroupFold(const QuerySpec& spec, std::string_view group_field, std::string_view value_field,
                 std::map<std::string, Acc>& groups) {
  return ForEachMatching(spec, {group_field, value_field}, [&](std::span<const Value* const> at) {
    std::optional<std::string> g = KeyTextOf(at[0]);
    if (!g) return;
    std::optional<double> x = NumberOf(at[1]);
    if (!x) return;
    Acc& acc = groups[std::move(*g)];
    acc.sum = *x + acc.sum;
    ++acc.count;
  });
}

struct SumCount {
  double sum = 0.0;
  uint64_t count = 0;
};

}  // namespace

std::optional<std::string> index_key_text(const Value& value) {
  switch (value.kind()) {
    case ValueKind::kBool:
      return std::string(value.as_bool() ? "b:true" : "b:false");
    case ValueKind::kInt:
      return "i:" + std::to_string(value.as_int());
    case ValueKind::kFloat: {
      double x = value.as_float();
      return "f:" + FormatFloat(x == 0.0 ? 0.0 : x);  // -0 joins 0
    }
    case ValueKind::kText: {
      const std::string& s = value.as_text();
      return HasTypePrefix(s) ? "t:" + s : s;
    }
    default:
      return std::nullopt;
  }
}

Status ForEachMatching(const QuerySpec& spec, const std::vector<std::string_view>& fields,
                       const FieldFold& fold) {
  struct None {};
  auto each = [&](None&, size_t, std::span<const Value* const> at) { fold(at); };
  RETURN_IF_ERROR(FoldMatching<None>(spec, fields, false, each));
  return Ok();
}

Result<uint64_t> run_count(const QuerySpec& spec) {
  if (spec.filters.empty()) {
    RETURN_IF_ERROR(Prepare(spec));
    return count_rows(spec.engine->store(), spec.collection);
  }
  auto fold = [](uint64_t& n, size_t, std::span<const Value* const>) { ++n; };
  ASSIGN_OR_RETURN(std::vector<uint64_t> parts, FoldMatching<uint64_t>(spec, {}, true, fold));
  uint64_t n = 0;
  for (uint64_t part : parts) n += part;
  return n;
}

Result<double> run_sum(const QuerySpec& spec, std::string_view field) {
  ASSIGN_OR_RETURN(SumPart total, SumMatching(spec, field));
  return total.sum;
}

Result<std::optional<double>> run_avg(const QuerySpec& spec, std::string_view field) {
  ASSIGN_OR_RETURN(SumPart total, SumMatching(spec, field));
  if (total.count == 0) return std::optional<double>();
  return total.sum / static_cast<double>(total.count);
}

Result<uint64_t> run_count_distinct(const QuerySpec& spec, std::string_view field) {
  using Seen = std::unordered_set<std::string>;
  auto fold = [](Seen& seen, size_t, std::span<const Value* const> at) {
    if (std::optional<std::string> g = KeyTextOf(at[0])) seen.insert(std::move(*g));
  };
  ASSIGN_OR_RETURN(std::vector<Seen> parts, FoldMatching<Seen>(spec, {field}, true, fold));
  for (size_t i = 1; i < parts.size(); ++i) parts[0].merge(parts[i]);
  return static_cast<uint64_t>(parts[0].size());
}

Result<std::map<std::string, uint64_t>> run_group_count(const QuerySpec& spec, std::string_view field) {
  using Groups = std::map<std::string, uint64_t>;
  auto fold = [](Groups& groups, size_t, std::span<const Value* const> at) {
    if (std::optional<std::string> g = KeyTextOf(at[0])) ++groups[std::move(*g)];
  };
  ASSIGN_OR_RETURN(std::vector<Groups> parts, FoldMatching<Groups>(spec, {field}, true, fold));
  for (size_t i = 1; i < parts.size(); ++i)
    for (const auto& [g, n] : parts[i]) parts[0][g] += n;
  return std::move(parts[0]);
}

Result<std::map<std::string, double>> run_group_sum(const QuerySpec& spec, std::string_view group_field,
                                                    std::string_view value_field) {
  std::map<std::string, SumCount> groups;
  RETURN_IF_ERROR(GroupFold(spec, group_field, value_field, groups));
  std::map<std::string, double> out;
  for (auto& [k, acc] : groups) out.emplace(k, acc.sum);
  return out;
}

Result<std::map<std::string, double>> run_group_avg(const QuerySpec& spec, std::string_view group_field,
                                                    std::string_view value_field) {
  std::map<std::string, SumCount> groups;
  RETURN_IF_ERROR(GroupFold(spec, group_field, value_field, groups));
  std::map<std::string, double> out;
  for (auto& [k, acc] : groups) out.emplace(k, acc.sum / static_cast<double>(acc.count));
  return out;
}

Result<std::optional<Value>> run_min_max(const QuerySpec& spec, std::string_view field,
                                         std::partial_ordering wanted) {
  std::optional<Value> best;
  RETURN_IF_ERROR(ForEachMatching(spec, {field}, [&](std::span<const Value* const> at) {
    const Value* v = at[0];
    if (v == nullptr) return;
    if (!best) {
      if (value_partial_cmp(*v, *v) != std::partial_ordering::unordered) best = *v;
      return;
    }
    if (value_partial_cmp(*v, *best) == wanted) best = *v;
  }));
  return best;
}

}  // namespace pallix
