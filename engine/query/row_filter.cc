#include "query/row_filter.h"

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

Result<bool> RowFilter::PassesRaw(std::string_view bytes, std::span<const std::string_view> raw_names,
                                  std::span<std::string_view> raw_out, Value& scratch) const {
  RETURN_IF_ERROR(decode_selected_raw_into(bytes, filter_paths_, raw_names, raw_out, scratch));
  return EvalFilters(filters_, scratch);
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
