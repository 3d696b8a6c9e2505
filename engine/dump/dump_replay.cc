#include "dump/dump_replay.h"

namespace pallix {

// The index layer does not declare text or vector indexes in this build;
// refusing keeps a load from silently dropping a declaration.
Status replay_vector_index(Engine&, const std::string& collection, const VectorDeclaration& decl) {
  return Fail(EngineError::InvalidArgument("vector index declarations cannot be loaded yet: " + collection + "." +
                                           decl.field));
}

Status replay_text_index(Engine&, const std::string& collection, const std::string& field, bool) {
  return Fail(EngineError::InvalidArgument("text index declarations cannot be loaded yet: " + collection + "." +
                                           field));
}

}  // namespace pallix
