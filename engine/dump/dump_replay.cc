#include "dump/dump_replay.h"

#include "index/text_index.h"
#include "index/vector_index.h"
#include "vector/quant.h"

namespace pallix {

// Kinds 2 and 3 (product quantization) are recreated from metric, m and k
// alone: their codebook is trained afresh on the loaded vectors, and the
// quantization byte, checked by the reader, is not used. A live index keeps
// its codebook while the field takes vectors of other lengths, so training
// here uses the vectors of the length most of them share.
Status replay_vector_index(Engine& engine, const std::string& collection, const VectorDeclaration& decl) {
  ASSIGN_OR_RETURN(Metric metric, parse_metric_byte(decl.metric));
  ASSIGN_OR_RETURN(Quantization quant, parse_quant_byte(decl.quantization));
  switch (decl.kind) {
    case 0: return create_vector_index_quantized(engine, collection, decl.field, metric, quant);
    case 1: return create_vector_index_ondisk(engine, collection, decl.field, metric, quant);
    case 2:
      return create_pq_vector_index(engine, collection, decl.field, metric, decl.m, decl.k, kVectorOnDiskPq,
                                    PqTrainingSet::kCommonLength);
    case 3:
      return create_pq_vector_index(engine, collection, decl.field, metric, decl.m, decl.k, kVectorInMemoryPq,
                                    PqTrainingSet::kCommonLength);
    default: return Fail(EngineError::InvalidDump("bad vector mode"));
  }
}

Status replay_text_index(Engine& engine, const std::string& collection, const std::string& field, bool on_disk) {
  return on_disk ? create_text_index_ondisk(engine, collection, field)
                 : create_text_index(engine, collection, field);
}

}  // namespace pallix
