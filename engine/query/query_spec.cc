#include "query/query_spec.h"

#include <cmath>

#include "base/numeric.h"

namespace pallix {

Status ValidateQuerySpec(const QuerySpec& spec) {
  if (!(std::isfinite(spec.rrf_k) && spec.rrf_k > 0.0f))
    return Fail(EngineError::InvalidArgument("fuse_rrf: k must be > 0, got " + FormatFloat32(spec.rrf_k)));
  if (spec.mmr_lambda) {
    float lambda = *spec.mmr_lambda;
    if (!(lambda >= 0.0f && lambda <= 1.0f))
      return Fail(EngineError::InvalidArgument("rerank_mmr: lambda must be in [0, 1], got " + FormatFloat32(lambda)));
  }
  return Ok();
}

}  // namespace pallix
