#include "query/row_filter.h"

#include <algorithm>
#include <compare>

#include "query/predicate_eval.h"

namespace pallix {

namespace {

std::string_view PathOf(const Predicate::Node& node) {
  return std::visit(
      [](const auto& n) -> std::string_view {
        if constexpr (requires { n.path; }) {
          return n.path;
        } else {
          return {};
        }
      },
      node);
}

}  // namespace

void AddPredicatePaths(const Predicate& predicate, PathSet& out) {
  std::vector<const Predicate*> stack{&predicate};
  while (!stack.empty()) {
    const Predicate* p = stack.back();
    stack.pop_back();
    switch (p->kind()) {
      case PredicateKind::kAnd: {
        const auto& a = std::get<AndPred>(p->node());
        stack.push_back(a.right.get());
        stack.push_back(a.left.get());
        break;
      }
      case PredicateKind::kOr: {
        const auto& o = std::get<OrPred>(p->node());
        stack.push_back(o.right.get());
        stack.push_back(o.left.get());
        break;
      }
      case PredicateKind::kNot:
        stack.push_back(std::get<NotPred>(p->node()).inner.get());
        break;
      default:
        out.Add(PathOf(p->node()));
    }
  }
}

RowFilter::RowFilter(const std::vector<Predicate>& filters, const std::vector<std::string_view>& fields)
    : filters_(filters) {
  for (const Predicate& f : filters) {
    AddPredicatePaths(f, filter_paths_);
    AddPredicatePaths(f, paths_);
  }
  for (std::string_view f : fields) paths_.Add(f);
  two_stage_ = !filters.empty() && !fields.empty();
  std::vector<std::string_view> top;
  for (const auto& [name, node] : filter_paths_.root().children) {
    if (!node.whole) return;
    top.push_back(name);
  }
  top_fields_ = std::move(top);
  compares_only_ = !filters.empty();
  for (const Predicate& f : filters) {
    const auto* c = f.kind() == PredicateKind::kCompare ? &std::get<ComparePred>(f.node()) : nullptr;
    const bool orders = c != nullptr && c->op != CompareOp::kEq && c->op != CompareOp::kNe;
    const auto at = orders ? std::find(top_fields_->begin(), top_fields_->end(), c->path) : top_fields_->end();
    if (at == top_fields_->end() || !c->value.is_number()) {
      compares_only_ = false;
      break;
    }
    // As CompareHolds: an unordered pair (a NaN) fails every ordering.
    const uint8_t holds = c->op == CompareOp::kLt   ? 1u << kOrderLess
                          : c->op == CompareOp::kLe ? (1u << kOrderLess) | (1u << kOrderEqual)
                          : c->op == CompareOp::kGt ? 1u << kOrderGreater
                                                    : (1u << kOrderGreater) | (1u << kOrderEqual);
    raw_compares_.push_back({static_cast<size_t>(at - top_fields_->begin()), holds, NumberLiteral::Of(c->value)});
  }
  if (!compares_only_) raw_compares_.clear();
}

Result<std::optional<Value>> RowFilter::Partial(std::string_view bytes) const {
  if (two_stage_) {
    ASSIGN_OR_RETURN(Value tested, decode_selected(bytes, filter_paths_));
    if (!EvalFilters(filters_, tested)) return std::optional<Value>();
    ASSIGN_OR_RETURN(Value doc, decode_selected(bytes, paths_));
    return std::optional<Value>(std::move(doc));
  }
  ASSIGN_OR_RETURN(Value doc, decode_selected(bytes, paths_));
  if (!EvalFilters(filters_, doc)) return std::optional<Value>();
  return std::optional<Value>(std::move(doc));
}

RowFilter::RawScratch RowFilter::NewRawScratch(std::span<const std::string_view> raw_names) const {
  RawScratch scratch;
  if (top_fields_) scratch.names = *top_fields_;
  scratch.filter_fields = scratch.names.size();
  scratch.names.insert(scratch.names.end(), raw_names.begin(), raw_names.end());
  scratch.raw.resize(scratch.names.size());
  scratch.values.resize(scratch.filter_fields);
  scratch.found.resize(scratch.filter_fields);
  return scratch;
}

Result<bool> RowFilter::PassesRaw(std::string_view bytes, RawScratch& scratch,
                                  std::span<std::string_view> raw_out) const {
  const size_t nf = scratch.filter_fields;
  const std::span<const std::string_view> names(scratch.names);
  if (!top_fields_) {
    RETURN_IF_ERROR(decode_selected_raw_into(bytes, filter_paths_, names.subspan(nf), raw_out, scratch.tested));
    return EvalFilters(filters_, scratch.tested);
  }
  RETURN_IF_ERROR(scratch.layout.Scan(bytes, names, scratch.raw));
  for (size_t i = 0; i < raw_out.size(); ++i) raw_out[i] = scratch.raw[nf + i];
  if (compares_only_) {
    // An Int or Float field has no bytes left to check that the scan has
    // not: comparing it on its bytes fails nowhere the decode would.
    if (const std::optional<bool> held = ComparesOnBytes(scratch.raw)) return *held;
  }
  for (size_t i = 0; i < nf; ++i) {
    scratch.found[i] = nullptr;
    if (scratch.raw[i].empty()) continue;
    RETURN_IF_ERROR(decode_value_into(scratch.raw[i], scratch.values[i]));
    scratch.found[i] = &scratch.values[i];
  }
  return EvalFiltersOnFields(filters_, names.first(nf), scratch.found);
}

Result<std::optional<Value>> RowFilter::Full(std::string_view bytes) const {
  if (filters_.empty()) {
    ASSIGN_OR_RETURN(Value doc, decode_value(bytes));
    return std::optional<Value>(std::move(doc));
  }
  ASSIGN_OR_RETURN(std::optional<Value> partial, Partial(bytes));
  if (!partial) return partial;
  ASSIGN_OR_RETURN(Value doc, decode_value(bytes));
  return std::optional<Value>(std::move(doc));
}

}  // namespace pallix
