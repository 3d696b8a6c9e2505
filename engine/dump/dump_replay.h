// Replaying the text and vector index declarations of a dump: the one
// place that maps a dumped declaration onto the index layer's creators.
//
// Callers: the dump loader. Thread-safety: as the creators they call.

#ifndef PALLIX_DUMP_DUMP_REPLAY_H_
#define PALLIX_DUMP_DUMP_REPLAY_H_

#include <cstdint>
#include <string>

#include "base/error.h"
#include "db/engine.h"

namespace pallix {

// One vector declaration as dumped: metric and quantization bytes already
// checked (< 3), kind 0..3 (memory, disk, disk PQ, memory PQ), m and k only
// for the PQ kinds.
struct VectorDeclaration {
  std::string field;
  uint8_t metric = 0;
  uint8_t quantization = 0;
  uint8_t kind = 0;
  uint64_t m = 0;
  uint64_t k = 0;
};

// Declares (and builds) the index on `collection` as the matching
// Collection method would, except that the product-quantized kinds train
// on the vectors of the field's most common length (PqTrainingSet::
// kCommonLength). Errors: those of the creator (for the product-quantized
// kinds EmptyIndexTraining when no length m divides has a vector, or m or
// k is unusable; nothing is declared then).
Status replay_vector_index(Engine& engine, const std::string& collection, const VectorDeclaration& decl);
Status replay_text_index(Engine& engine, const std::string& collection, const std::string& field, bool on_disk);

}  // namespace pallix

#endif  // PALLIX_DUMP_DUMP_REPLAY_H_
