#include "query/row_fields.h"

#include <algorithm>

#include "query/predicate_eval.h"
#include "query/row_filter.h"

namespace pallix {

namespace {

std::string_view Head(std::string_view path) { return path.substr(0, path.find('.')); }

// get_path's walk from a value reached through a '.': rest may be empty
// (the path ended in '.'), which names the entry "" of a map.
const Value* Below(const Value* v, std::string_view rest) {
  while (v != nullptr) {
    const size_t dot = rest.find('.');
    if (!v->is_map()) return nullptr;
    v = v->as_map().Find(rest.substr(0, dot));
    if (dot == std::string_view::npos) return v;
    rest.remove_prefix(dot + 1);
  }
  return nullptr;
}

}  // namespace

RowFields::RowFields(const std::vector<Predicate>& filters, std::span<const std::string_view> fields)
    : filters_(filters) {
  PathSet filter_paths;
  for (const Predicate& f : filters) AddPredicatePaths(f, filter_paths);
  for (const auto& [name, node] : filter_paths.root().children) owned_.push_back(name);
  filter_names_ = owned_.size();
  for (std::string_view f : fields) {
    if (f.empty()) continue;
    const std::string_view head = Head(f);
    if (std::find(owned_.begin(), owned_.end(), head) == owned_.end()) owned_.emplace_back(head);
  }
  names_.assign(owned_.begin(), owned_.end());
  values_.resize(filters.empty() ? names_.size() : filter_names_);
  found_.resize(names_.size());
  raw_.resize(names_.size() - values_.size());
  values_.resize(names_.size());  // the caller's own fields decode after the filters pass
  for (std::string_view f : fields) {
    Path p;
    if (f.empty()) {
      p.name = names_.size();  // get_path of "" finds nothing
    } else {
      const std::string_view head = Head(f);
      p.name = static_cast<size_t>(std::find(names_.begin(), names_.end(), head) - names_.begin());
      p.below = head.size() < f.size();
      if (p.below) p.rest = std::string(f.substr(head.size() + 1));
    }
    paths_.push_back(std::move(p));
  }
  at_.resize(paths_.size());
}

Result<bool> RowFields::Next(std::string_view bytes) {
  const size_t decoded = names_.size() - raw_.size();
  RETURN_IF_ERROR(decode_top_fields(bytes, names_, std::span(values_).first(decoded),
                                    std::span(found_).first(decoded), raw_));
  if (!filters_.empty() &&
      !EvalFiltersOnFields(filters_, std::span(names_).first(filter_names_),
                           std::span(found_).first(filter_names_)))
    return false;
  RETURN_IF_ERROR(DecodeCallerFields());
  for (size_t i = 0; i < paths_.size(); ++i) {
    const Path& p = paths_[i];
    const Value* top = p.name < names_.size() ? found_[p.name] : nullptr;
    at_[i] = p.below ? Below(top, p.rest) : top;
  }
  return true;
}

Status RowFields::DecodeCallerFields() {
  const size_t first = names_.size() - raw_.size();
  for (size_t i = 0; i < raw_.size(); ++i) {
    found_[first + i] = nullptr;
    if (raw_[i].empty()) continue;
    // Checked whole by the row's pass: this decode cannot fail.
    RETURN_IF_ERROR(decode_value_into(raw_[i], values_[first + i]));
    found_[first + i] = &values_[first + i];
  }
  return Ok();
}

Value RowFields::Partial() const {
  ValueMap map;
  std::vector<bool> taken(names_.size(), false);
  for (const Path& p : paths_) {
    if (p.name >= names_.size() || taken[p.name] || found_[p.name] == nullptr) continue;
    taken[p.name] = true;
    map.AppendUnordered(std::string(names_[p.name]), Value(*found_[p.name]));
  }
  map.Normalize();
  return Value::Map(std::move(map));
}

}  // namespace pallix
