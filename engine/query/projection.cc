#include "query/projection.h"

#include <string_view>

namespace pallix {

namespace {

// Puts `value` at the dotted `path` inside `root`, making (or replacing by)
// empty maps along the way.
void PutAtPath(ValueMap& root, std::string_view path, Value value) {
  ValueMap* cur = &root;
  size_t dot;
  while ((dot = path.find('.')) != std::string_view::npos) {
    std::string_view seg = path.substr(0, dot);
    Value* next = cur->FindMutable(seg);
    if (next == nullptr || !next->is_map()) {
      cur->Set(std::string(seg), Value::Map(ValueMap()));
      next = cur->FindMutable(seg);
    }
    cur = &next->mutable_map();
    path.remove_prefix(dot + 1);
  }
  cur->Set(std::string(path), std::move(value));
}

}  // namespace

Value project_fields(Value document, const std::vector<std::string>& paths) {
  if (!document.is_map()) return document;
  ValueMap result;
  for (const std::string& path : paths) {
    const Value* found = get_path(document, path);
    if (found == nullptr) continue;
    PutAtPath(result, path, *found);
  }
  return Value::Map(std::move(result));
}

}  // namespace pallix
