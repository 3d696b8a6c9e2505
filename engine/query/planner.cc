#include "query/planner.h"

#include <algorithm>
#include <numeric>
#include <unordered_set>

#include "index/compound_index.h"
#include "index/geo.h"
#include "index/geo_index.h"
#include "index/scalar_index.h"
#include "index/scalar_lookup.h"
#include "query/ordering.h"
#include "query/predicate_eval.h"

namespace pallix {

namespace {

using Keys = std::vector<std::string>;
using MaybeKeys = std::optional<Keys>;

struct PlanContext {
  Engine& engine;
  const ReadView& view;
  const std::string& collection;
};

// Drops repeated keys, keeping each key's first position.
Keys Dedup(Keys keys) {
  std::unordered_set<std::string_view> seen;
  seen.reserve(keys.size());
  Keys out;
  out.reserve(keys.size());
  for (std::string& k : keys) {
    if (seen.insert(k).second) out.push_back(std::move(k));
  }
  return out;
}

// The current choice keeps the strictly shorter list; a tie keeps the older.
void keep_shorter(MaybeKeys& choice, MaybeKeys answer) {
  if (!answer) return;
  Keys keys = Dedup(std::move(*answer));
  if (!choice || keys.size() < choice->size()) choice = std::move(keys);
}

const ComparePred* AsCompare(const Predicate& p) {
  return p.kind() == PredicateKind::kCompare ? &std::get<ComparePred>(p.node()) : nullptr;
}

// The geo candidates of a within_km leaf; nullopt without a geo index or a box.
Result<MaybeKeys> GeoCandidates(const PlanContext& ctx, const WithinKmPred& w) {
  ASSIGN_OR_RETURN(bool indexed, has_geo_index(ctx.engine, ctx.collection, w.path));
  if (!indexed) return MaybeKeys();
  std::optional<GeoBox> box = radius_box(w.lat, w.lon, w.radius_km);
  if (!box) return MaybeKeys();
  return geo_cell_ranges(ctx.engine, ctx.collection, w.path, ctx.view, *box);
}

// One leaf's own index answer (the lookup of an Or disjunct).
Result<MaybeKeys> scan_scalar_index(const PlanContext& ctx, const Predicate& p) {
  switch (p.kind()) {
    case PredicateKind::kCompare: {
      const ComparePred& c = std::get<ComparePred>(p.node());
      if (c.op == CompareOp::kNe) return MaybeKeys();
      IndexComparison one{&c.value, c.op};
      return scalar_index_lookup(ctx.engine, ctx.view, ctx.collection, c.path, std::span(&one, 1));
    }
    case PredicateKind::kIn: {
      const InPred& in = std::get<InPred>(p.node());
      return scalar_in_lookup(ctx.engine, ctx.view, ctx.collection, in.path, in.values);
    }
    case PredicateKind::kBetween: {
      const BetweenPred& b = std::get<BetweenPred>(p.node());
      return scalar_between_lookup(ctx.engine, ctx.view, ctx.collection, b.path, b.low, b.high);
    }
    case PredicateKind::kStartsWith: {
      const StartsWithPred& s = std::get<StartsWithPred>(p.node());
      return scalar_prefix_lookup(ctx.engine, ctx.view, ctx.collection, s.path, s.prefix);
    }
    case PredicateKind::kWithinKm:
      return GeoCandidates(ctx, std::get<WithinKmPred>(p.node()));
    default:
      return MaybeKeys();
  }
}

// Scalar comparisons: every comparison on one indexed field merged into one range read.
Status PlanComparisons(const PlanContext& ctx, const std::vector<Predicate>& filters, MaybeKeys& choice) {
  std::vector<std::string_view> handled;
  for (const Predicate& f : filters) {
    const ComparePred* c = AsCompare(f);
    if (c == nullptr || c->op == CompareOp::kNe) continue;
    if (std::find(handled.begin(), handled.end(), c->path) != handled.end()) continue;
    ASSIGN_OR_RETURN(bool indexed, has_scalar_index(ctx.engine, ctx.collection, c->path));
    if (!indexed) continue;
    handled.push_back(c->path);
    std::vector<IndexComparison> same_field;
    for (const Predicate& g : filters) {
      const ComparePred* d = AsCompare(g);
      if (d != nullptr && d->path == c->path) same_field.push_back({&d->value, d->op});
    }
    ASSIGN_OR_RETURN(MaybeKeys keys, scalar_index_lookup(ctx.engine, ctx.view, ctx.collection, c->path, same_field));
    keep_shorter(choice, std::move(keys));
  }
  return Ok();
}

// Other scalar leaves: In, Between and StartsWith leaves.
Status PlanOtherLeaves(const PlanContext& ctx, const std::vector<Predicate>& filters, MaybeKeys& choice) {
  for (const Predicate& f : filters) {
    PredicateKind k = f.kind();
    if (k != PredicateKind::kIn && k != PredicateKind::kBetween && k != PredicateKind::kStartsWith) continue;
    ASSIGN_OR_RETURN(MaybeKeys keys, scan_scalar_index(ctx, f));
    keep_shorter(choice, std::move(keys));
  }
  return Ok();
}

// What one compound index can use of the filters.
struct CompoundUse {
  size_t run = 0;      // leading fields with an eq filter
  bool range = false;  // the next field has some comparison
  size_t coverage() const { return run + (range ? 1 : 0); }
};

CompoundUse UseOf(const std::vector<std::string>& fields, const std::vector<Predicate>& filters) {
  auto has = [&](const std::string& field, bool eq_only) {
    return std::any_of(filters.begin(), filters.end(), [&](const Predicate& p) {
      const ComparePred* c = AsCompare(p);
      return c != nullptr && c->path == field && (!eq_only || c->op == CompareOp::kEq);
    });
  };
  CompoundUse use;
  while (use.run < fields.size() && has(fields[use.run], true)) ++use.run;
  use.range = use.run < fields.size() && has(fields[use.run], false);
  return use;
}

// Compound indexes: the one with the largest coverage.
Status PlanCompound(const PlanContext& ctx, const std::vector<Predicate>& filters, MaybeKeys& choice) {
  ASSIGN_OR_RETURN(std::vector<CompoundInfo> infos, compound_indexes_of(ctx.engine, ctx.collection));
  const CompoundInfo* best = nullptr;
  CompoundUse best_use;
  for (const CompoundInfo& info : infos) {
    if (info.building) continue;
    CompoundUse use = UseOf(info.fields, filters);
    if (use.coverage() < info.fields.size() && !info.covering) continue;
    if (best == nullptr || use.coverage() > best_use.coverage()) best = &info, best_use = use;
  }
  if (best == nullptr || best_use.coverage() == 0) return Ok();
  std::vector<const Value*> equal;
  for (size_t i = 0; i < best_use.run; ++i) {
    for (const Predicate& p : filters) {
      const ComparePred* c = AsCompare(p);
      if (c != nullptr && c->path == best->fields[i] && c->op == CompareOp::kEq) {
        equal.push_back(&c->value);
        break;
      }
    }
  }
  std::vector<IndexComparison> next;
  if (best_use.range) {
    for (const Predicate& p : filters) {
      const ComparePred* c = AsCompare(p);
      if (c != nullptr && c->path == best->fields[best_use.run]) next.push_back({&c->value, c->op});
    }
  }
  ASSIGN_OR_RETURN(MaybeKeys keys,
                   compound_index_scan(ctx.engine, ctx.view, ctx.collection, best->fields, equal, next));
  keep_shorter(choice, std::move(keys));
  return Ok();
}

// Geo: within_km leaves over geo-indexed fields.
Status PlanGeo(const PlanContext& ctx, const std::vector<Predicate>& filters, MaybeKeys& choice) {
  for (const Predicate& f : filters) {
    if (f.kind() != PredicateKind::kWithinKm) continue;
    ASSIGN_OR_RETURN(MaybeKeys keys, GeoCandidates(ctx, std::get<WithinKmPred>(f.node())));
    keep_shorter(choice, std::move(keys));
  }
  return Ok();
}

// One disjunction: the first Or filter, as the union of its disjuncts' answers.
Status PlanDisjunction(const PlanContext& ctx, const std::vector<Predicate>& filters, MaybeKeys& choice) {
  auto first_or = std::find_if(filters.begin(), filters.end(),
                               [](const Predicate& p) { return p.kind() == PredicateKind::kOr; });
  if (first_or == filters.end()) return Ok();
  std::vector<const Predicate*> disjuncts;
  flatten_or(*first_or, disjuncts);
  KeyUnion acc;
  for (const Predicate* d : disjuncts) {
    ASSIGN_OR_RETURN(MaybeKeys keys, scan_scalar_index(ctx, *d));
    if (!keys || !id_set_from_scan(acc, std::move(*keys))) return Ok();
  }
  keep_shorter(choice, std::move(acc.keys));
  return Ok();
}

// Point reads of each candidate, in list order.
Result<std::vector<CandidateRow>> FetchEach(const ReadView& view, const std::string& collection, const Keys& keys,
                                            const std::vector<Predicate>& filters) {
  std::vector<CandidateRow> rows;
  for (const std::string& key : keys) {
    ASSIGN_OR_RETURN(std::optional<std::string> bytes, view.view_get(collection, key));
    if (!bytes) continue;
    ASSIGN_OR_RETURN(Value doc, decode_value(*bytes));
    if (EvalFilters(filters, doc)) rows.emplace_back(key, std::move(doc));
  }
  return rows;
}

// One walk in key order matched against the sorted candidates, stopping
// after the last one; the survivors go back into list order.
Result<std::vector<CandidateRow>> FetchByWalk(const ReadView& view, const std::string& collection, const Keys& keys,
                                              const std::vector<Predicate>& filters) {
  std::vector<size_t> order(keys.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return CompareKeys(keys[a], keys[b]) < 0; });
  std::vector<std::optional<Value>> found(keys.size());
  size_t cursor = 0;
  RETURN_IF_ERROR(view.view_for_each(collection, [&](std::string_view key, std::string_view bytes) -> Result<bool> {
    while (cursor < order.size() && CompareKeys(keys[order[cursor]], key) < 0) ++cursor;
    if (cursor == order.size()) return false;
    if (keys[order[cursor]] != key) return true;
    ASSIGN_OR_RETURN(Value doc, decode_value(bytes));
    if (EvalFilters(filters, doc)) found[order[cursor]] = std::move(doc);
    ++cursor;
    return cursor < order.size();
  }));
  std::vector<CandidateRow> rows;
  for (size_t i = 0; i < keys.size(); ++i) {
    if (found[i]) rows.emplace_back(keys[i], std::move(*found[i]));
  }
  return rows;
}

}  // namespace

Result<std::optional<std::vector<std::string>>> plan_candidate_keys(const QuerySpec& spec, const ReadView& view) {
  MaybeKeys choice;
  if (spec.filters.empty()) return choice;
  PlanContext ctx{*spec.engine, view, spec.collection};
  RETURN_IF_ERROR(PlanComparisons(ctx, spec.filters, choice));
  RETURN_IF_ERROR(PlanOtherLeaves(ctx, spec.filters, choice));
  RETURN_IF_ERROR(PlanCompound(ctx, spec.filters, choice));
  RETURN_IF_ERROR(PlanGeo(ctx, spec.filters, choice));
  RETURN_IF_ERROR(PlanDisjunction(ctx, spec.filters, choice));
  return choice;
}

Result<CandidateRows> plan_scalar_candidates(const QuerySpec& spec, const ReadView& view) {
  ASSIGN_OR_RETURN(MaybeKeys keys, plan_candidate_keys(spec, view));
  if (!keys) return CandidateRows();
  if (keys->empty()) return CandidateRows(std::vector<CandidateRow>());
  ASSIGN_OR_RETURN(uint64_t total, view.view_count(spec.collection));
  if (kSelectivityFactor * keys->size() < total) return FetchEach(view, spec.collection, *keys, spec.filters);
  return FetchByWalk(view, spec.collection, *keys, spec.filters);
}

}  // namespace pallix
