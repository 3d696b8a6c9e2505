#include "query/aggregate.h"

#include <unordered_set>

#include "base/numeric.h"
#include "index/resume.h"
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

void FoldPlanned(const std::vector<CandidateRow>& rows, const std::vector<std::string_view>& fields,
                 const FieldFold& fold) {
  std::vector<const Value*> at(fields.size());
  for (const CandidateRow& row : rows) {
    for (size_t i = 0; i < fields.size(); ++i) at[i] = get_path(row.second, fields[i]);
    fold(at);
  }
}

// A walk decodes only the top-level fields the filters and fields begin
// with, a batch of rows at a time.
Status FoldWalked(const QuerySpec& spec, const ReadView& view, const std::vector<std::string_view>& fields,
                  const FieldFold& fold) {
  std::vector<const Value*> at(fields.size());
  RowFields walk(spec.filters, fields);
  return view.view_for_each_batch(spec.collection, [&](std::span<const RowRef> rows) -> Result<bool> {
    for (const RowRef& row : rows) {
      ASSIGN_OR_RETURN(bool passed, walk.Next(row.value));
      if (!passed) continue;
      for (size_t i = 0; i < fields.size(); ++i) at[i] = walk.At(i);
      fold(at);
    }
    return true;
  });
}

// The documents of an open snapshot that pass every filter, handed over
// as the values at fields.
Status Drive(const QuerySpec& spec, const ReadView& view, const std::vector<std::string_view>& fields,
             const FieldFold& fold) {
  ASSIGN_OR_RETURN(CandidateRows planned, plan_scalar_candidates(spec, view));
  if (!planned) return FoldWalked(spec, view, fields, fold);
  FoldPlanned(*planned, fields, fold);
  return Ok();
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
  RETURN_IF_ERROR(Prepare(spec));
  ASSIGN_OR_RETURN(ReadTxn txn, spec.engine->store().BeginRead());
  ReadView view(txn);
  return Drive(spec, view, fields, fold);
}

Result<uint64_t> run_count(const QuerySpec& spec) {
  if (spec.filters.empty()) {
    RETURN_IF_ERROR(Prepare(spec));
    return count_rows(spec.engine->store(), spec.collection);
  }
  uint64_t n = 0;
  RETURN_IF_ERROR(ForEachMatching(spec, {}, [&](std::span<const Value* const>) { ++n; }));
  return n;
}

Result<double> run_sum(const QuerySpec& spec, std::string_view field) {
  double sum = 0.0;
  RETURN_IF_ERROR(ForEachMatching(spec, {field}, [&](std::span<const Value* const> at) {
    if (std::optional<double> x = NumberOf(at[0])) sum = *x + sum;
  }));
  return sum;
}

Result<std::optional<double>> run_avg(const QuerySpec& spec, std::string_view field) {
  SumCount acc;
  RETURN_IF_ERROR(ForEachMatching(spec, {field}, [&](std::span<const Value* const> at) {
    if (std::optional<double> x = NumberOf(at[0])) acc.sum = *x + acc.sum, ++acc.count;
  }));
  if (acc.count == 0) return std::optional<double>();
  return acc.sum / static_cast<double>(acc.count);
}

Result<uint64_t> run_count_distinct(const QuerySpec& spec, std::string_view field) {
  std::unordered_set<std::string> seen;
  RETURN_IF_ERROR(ForEachMatching(spec, {field}, [&](std::span<const Value* const> at) {
    if (std::optional<std::string> g = KeyTextOf(at[0])) seen.insert(std::move(*g));
  }));
  return static_cast<uint64_t>(seen.size());
}

Result<std::map<std::string, uint64_t>> run_group_count(const QuerySpec& spec, std::string_view field) {
  std::map<std::string, uint64_t> groups;
  RETURN_IF_ERROR(ForEachMatching(spec, {field}, [&](std::span<const Value* const> at) {
    if (std::optional<std::string> g = KeyTextOf(at[0])) ++groups[std::move(*g)];
  }));
  return groups;
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
