#include "index/declare.h"

#include "index/registry.h"
#include "storage/rows.h"

namespace pallix {

Status check_index_names(std::string_view collection, const std::vector<std::string>& fields) {
  RETURN_IF_ERROR(check_collection_name(collection));
  for (const std::string& f : fields) RETURN_IF_ERROR(validate_name(f));
  return Ok();
}

Status check_namespace_free(std::string_view name, std::string_view ns, std::string_view other_ns,
                            std::string_view other) {
  if (ns != other_ns) return Ok();
  return Fail(EngineError::InvalidName(std::string(name) + " (index namespace " + std::string(ns) +
                                       " is already used by " + std::string(other) + ")"));
}

Result<std::string> begin_registry_build(Engine& engine, std::string_view registry, std::string_view key,
                                         std::string_view payload) {
  ASSIGN_OR_RETURN(std::optional<IndexState> state, read_index_state_once(engine.store(), registry, key));
  if (state && state->cursor) return *state->cursor;
  RETURN_IF_ERROR(put_row_once(engine.store(), registry, key, encode_index_state(payload, std::string())));
  return std::string();
}

}  // namespace pallix
