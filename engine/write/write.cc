#include "write/write.h"

#include <array>
#include <cstdio>

#include "base/test_point.h"

#include "db/edges.h"
#include "db/engine.h"
#include "db/schema.h"
#include "db/ttl.h"
#include "index/compound_index.h"
#include "index/geo_index.h"
#include "index/scalar_index.h"
#include "index/text_index.h"
#include "index/vector_index.h"
#include "index/vector_repair_batch.h"
#include "storage/read_view.h"
#include "storage/rows.h"
#include "write/unique.h"

namespace pallix {

namespace {

using SchemaCopy = std::optional<std::vector<SchemaField>>;

// One index kind's share of a write: put replaces the key's entries in
// every index of that kind the collection has (removing them when the
// document no longer holds the field); remove drops them. A collection
// without an index of the kind makes both do nothing.
// A bulk call's batch holds back the vector graphs' repair to its end
// (index/vector_repair_batch.h); other kinds have nothing to hold back.
struct IndexKindUpkeep {
  const char* kind;
  Status (*put)(Engine&, WriteCtx&, std::string_view collection, std::string_view key, const Value& doc,
                VectorRepairBatch* batch);
  Status (*remove)(Engine&, WriteCtx&, std::string_view collection, std::string_view key, VectorRepairBatch* batch);
};

// The upkeep of a kind without a batch's part.
template <auto Put>
Status PutWithoutBatch(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                       const Value& doc, VectorRepairBatch*) {
  return Put(engine, ctx, collection, key, doc);
}
template <auto Remove>
Status RemoveWithoutBatch(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                          VectorRepairBatch*) {
  return Remove(engine, ctx, collection, key);
}

// The index kinds, in the order every write visits them (stored entries
// of one kind never depend on another's, but a fixed order keeps failures
// and fault-injection runs reproducible):
//   1. on-disk vector   vector_index_put / vector_index_remove
//   2. on-disk text     dfts_put_document / dfts_remove_document
//   3. scalar           scalar_index_put / scalar_index_remove
//   4. compound         compound_index_put / compound_index_remove
//   5. geo              geo_index_put / geo_index_remove
constexpr std::array<IndexKindUpkeep, 5> kIndexKinds{{
    {"vector", vector_index_put, vector_index_remove},
    {"text", PutWithoutBatch<dfts_put_document>, RemoveWithoutBatch<dfts_remove_document>},
    {"scalar", PutWithoutBatch<scalar_index_put>, RemoveWithoutBatch<scalar_index_remove>},
    {"compound", PutWithoutBatch<compound_index_put>, RemoveWithoutBatch<compound_index_remove>},
    {"geo", PutWithoutBatch<geo_index_put>, RemoveWithoutBatch<geo_index_remove>},
}};

// One after-commit step: applies a put (doc) or delete (null) to in-memory
// structures; never fails.
using MemoryUpkeep = void (*)(Engine&, std::string_view collection, std::string_view key, const Value* doc,
                              VectorRepairBatch* batch);

void TextUpkeep(Engine& engine, std::string_view collection, std::string_view key, const Value* doc,
                VectorRepairBatch*) {
  update_memory_text_indexes(engine, collection, key, doc);
}

// The after-commit steps, in order:
//   1. in-memory vector indexes (insert or remove the key's node, and a
//      bounded step of the graph's repair around removed nodes)
//   2. in-memory text indexes (add or remove the key's postings)
// Each takes its registry lock alone ("index lock", then "fts lock"), never
// two at once. On-disk vector graphs are repaired inside the write's own
// transaction (vector_index_put, vector_index_remove), never rebuilt whole
// by a write.
constexpr std::array<MemoryUpkeep, 2> kMemoryUpkeep{
    update_memory_vector_indexes,
    TextUpkeep,
};


EngineError CounterExhausted(std::string_view collection) {
  return EngineError::InvalidArgument("auto-id counter exhausted for collection " + std::string(collection));
}

// Whether doc can be stored under key: check_document_key, every length
// within the encoding's u32 fields and the row within LMDB's value limit.
// These checks run before any transaction, so that such a write is refused
// as bad input with nothing locked or written; the encoder and the row put
// would otherwise meet it inside the transaction.
// Returns the document's encoded size, which the encoder then reuses.
Result<size_t> CheckStorable(std::string_view key, const Value& doc) {
  RETURN_IF_ERROR(check_document_key(key));
  ASSIGN_OR_RETURN(size_t size, encoded_size(doc));
  RETURN_IF_ERROR(check_row_fits(key.size(), size));
  return size;
}

// Put steps of one document inside the transaction: unique check, encode
// (doc's size is `size`, from CheckStorable), row put, index upkeep. The
// expiry rows are the caller's next step. `buffer` is reused across the
// pairs of a batch.
Status PutSteps(Engine& engine, WriteCtx& ctx, const SchemaCopy& schema, std::string_view collection,
                std::string_view key, const Value& doc, size_t size, std::string& buffer,
                UniqueBatch* batch = nullptr) {
  RETURN_IF_ERROR(check_unique_fields(engine, ctx, schema, collection, key, doc, batch));
  buffer.clear();
  encode_value_into(doc, size, buffer);
  RETURN_IF_ERROR(put_row(ctx, collection, key, buffer));
  return index_upkeep_put(engine, ctx, collection, key, doc);
}

// Removes the document row, and when there was one lowers the count and
// removes its index entries. Returns whether a row was removed.
Result<bool> RemoveDocumentRow(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                               VectorRepairBatch* batch = nullptr) {
  ASSIGN_OR_RETURN(bool removed, delete_row(ctx, collection, key));
  if (!removed) return false;
  RETURN_IF_ERROR(adjust_row_count(ctx, collection, -1));
  RETURN_IF_ERROR(index_upkeep_remove(engine, ctx, collection, key, batch));
  return true;
}

// Delete steps inside the transaction. Edges can join keys that hold no
// document, so they go whether or not a row existed; the expiry rows go
// only with a document.
Result<bool> DeleteSteps(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                         VectorRepairBatch* batch = nullptr) {
  ASSIGN_OR_RETURN(bool removed, RemoveDocumentRow(engine, ctx, collection, key, batch));
  RETURN_IF_ERROR(remove_node_edges(ctx, collection, key));
  if (removed) RETURN_IF_ERROR(drop_ttl_rows(ctx, collection, key));
  return removed;
}

// write_document with the schema copy already taken.
Result<bool> WriteWithSchema(Engine& engine, const SchemaCopy& schema, std::string_view collection,
                             std::string_view key, const Value* doc, std::optional<int64_t> expiry) {
  size_t size = 0;
  if (doc != nullptr) {
    ASSIGN_OR_RETURN(size, CheckStorable(key, *doc));
  } else {
    RETURN_IF_ERROR(check_document_key(key));
  }
  ASSIGN_OR_RETURN(WriteCtx ctx, BeginWriteCtx(engine.store()));
  bool changed = true;
  if (doc != nullptr) {
    std::string buffer;
    RETURN_IF_ERROR(PutSteps(engine, ctx, schema, collection, key, *doc, size, buffer));
    if (expiry) {
      RETURN_IF_ERROR(put_ttl_rows(ctx, collection, key, *expiry));
    } else {
      RETURN_IF_ERROR(drop_ttl_rows(ctx, collection, key));
    }
  } else {
    ASSIGN_OR_RETURN(changed, DeleteSteps(engine, ctx, collection, key));
  }
  RETURN_IF_ERROR(ctx.Commit());
  return changed;
}

// The merged document of a patch.
Value Patched(const std::optional<Value>& current, const Value& patch_doc) {
  if (!current || !current->is_map() || !patch_doc.is_map()) return patch_doc;
  Value merged = *current;
  for (const MapEntry& e : patch_doc.as_map()) merged.mutable_map().Set(e.key, e.value);
  return merged;
}

// The first auto-id number from `next` on whose key holds no document.
Result<uint64_t> FreeAutoNumber(WriteCtx& ctx, std::string_view collection, uint64_t next) {
  while (true) {
    ASSIGN_OR_RETURN(std::optional<std::string> taken, get_row(ctx, collection, auto_key(next)));
    if (!taken) return next;
    if (next == UINT64_MAX) return Fail(CounterExhausted(collection));
    ++next;
  }
}

// One purge candidate in its own transaction. Returns whether a document
// was removed.
Result<bool> PurgeOne(Engine& engine, std::string_view collection, const std::string& ttl_coll,
                      const ExpiredKey& candidate) {
  ASSIGN_OR_RETURN(WriteCtx ctx, BeginWriteCtx(engine.store()));
  ASSIGN_OR_RETURN(ExpiryState state, expiry_candidate_state(ctx, ttl_coll, candidate));
  std::string by_expiry = ttl_key_by_expiry(candidate.expiry, candidate.key);
  if (state == ExpiryState::kStale) {
    // The key's expiry moved or went after this row was written; the row
    // is a leftover that no later purge would otherwise remove.
    RETURN_IF_ERROR(delete_row_counted(ctx, ttl_coll, by_expiry));
    RETURN_IF_ERROR(ctx.Commit());
    return false;
  }
  ASSIGN_OR_RETURN(bool removed, RemoveDocumentRow(engine, ctx, collection, candidate.key));
  RETURN_IF_ERROR(remove_node_edges(ctx, collection, candidate.key));
  RETURN_IF_ERROR(delete_row_counted(ctx, ttl_coll, by_expiry));
  RETURN_IF_ERROR(delete_row_counted(ctx, ttl_coll, ttl_key_by_doc(candidate.key)));
  RETURN_IF_ERROR(ctx.Commit());
  return removed;
}

}  // namespace

std::string auto_key(uint64_t n) {
  char buf[24];
  std::snprintf(buf, sizeof(buf), "%020llu", static_cast<unsigned long long>(n));
  return buf;
}

Status index_upkeep_put(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                        const Value& doc, VectorRepairBatch* batch) {
  if (!engine.MaybeIndexed(collection)) return Ok();
  for (const IndexKindUpkeep& kind : kIndexKinds)
    RETURN_IF_ERROR(kind.put(engine, ctx, collection, key, doc, batch));
  return Ok();
}

Status index_upkeep_remove(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                           VectorRepairBatch* batch) {
  if (!engine.MaybeIndexed(collection)) return Ok();
  for (const IndexKindUpkeep& kind : kIndexKinds) RETURN_IF_ERROR(kind.remove(engine, ctx, collection, key, batch));
  return Ok();
}

void update_memory_indexes(Engine& engine, std::string_view collection, std::string_view key, const Value* doc,
                           VectorRepairBatch* batch) {
  if (!engine.MaybeIndexed(collection)) return;
  for (MemoryUpkeep step : kMemoryUpkeep) step(engine, collection, key, doc, batch);
}

Result<bool> write_document(Engine& engine, std::string_view collection, std::string_view key, const Value* doc,
                            std::optional<int64_t> expiry) {
  SchemaCopy schema = doc != nullptr ? get_schema(engine, collection) : std::nullopt;
  return WriteWithSchema(engine, schema, collection, key, doc, expiry);
}

Result<bool> insert_document(Engine& engine, std::string_view collection, std::string_view key, const Value& doc,
                             std::optional<int64_t> expiry) {
  RETURN_IF_ERROR(check_collection_name(collection));
  SchemaCopy schema = get_schema(engine, collection);
  if (schema) RETURN_IF_ERROR(validate_against(*schema, doc));
  ASSIGN_OR_RETURN(Store::WriterTurn turn, engine.store().TakeWriterTurn());
  ASSIGN_OR_RETURN(bool changed, WriteWithSchema(engine, schema, collection, key, &doc, expiry));
  ReachTestPoint(TestPoint::kAfterCommit, collection);
  if (changed) update_memory_indexes(engine, collection, key, &doc);
  return changed;
}

Result<bool> insert(Engine& engine, std::string_view collection, std::string_view key, const Value& doc) {
  return insert_document(engine, collection, key, doc, std::nullopt);
}

Result<bool> insert_with_ttl(Engine& engine, std::string_view collection, std::string_view key, const Value& doc,
                             int64_t expiry) {
  return insert_document(engine, collection, key, doc, expiry);
}

Result<bool> delete_document(Engine& engine, std::string_view collection, std::string_view key) {
  RETURN_IF_ERROR(check_collection_name(collection));
  ASSIGN_OR_RETURN(Store::WriterTurn turn, engine.store().TakeWriterTurn());
  ASSIGN_OR_RETURN(bool changed, WriteWithSchema(engine, std::nullopt, collection, key, nullptr, std::nullopt));
  ReachTestPoint(TestPoint::kAfterCommit, collection);
  if (changed) update_memory_indexes(engine, collection, key, nullptr);
  return changed;
}

Result<bool> compare_and_set(Engine& engine, std::string_view collection, std::string_view key,
                             const std::optional<Value>& expected, const std::optional<Value>& replacement) {
  RETURN_IF_ERROR(check_collection_name(collection));
  SchemaCopy schema = replacement ? get_schema(engine, collection) : std::nullopt;
  if (schema) RETURN_IF_ERROR(validate_against(*schema, *replacement));
  size_t size = 0;
  if (replacement) {
    ASSIGN_OR_RETURN(size, CheckStorable(key, *replacement));
  } else {
    RETURN_IF_ERROR(check_document_key(key));
  }
  ASSIGN_OR_RETURN(Store::WriterTurn turn, engine.store().TakeWriterTurn());
  ASSIGN_OR_RETURN(WriteCtx ctx, BeginWriteCtx(engine.store()));
  ASSIGN_OR_RETURN(std::optional<std::string> stored, get_row(ctx, collection, key));
  bool applies = !stored && !expected;
  if (stored) {
    ASSIGN_OR_RETURN(Value current, decode_value(*stored));
    applies = expected && values_same(current, *expected);
  }
  if (!applies) {
    RETURN_IF_ERROR(ctx.Commit());
    return false;
  }
  bool changed = true;
  if (replacement) {
    std::string buffer;
    RETURN_IF_ERROR(PutSteps(engine, ctx, schema, collection, key, *replacement, size, buffer));
    RETURN_IF_ERROR(drop_ttl_rows(ctx, collection, key));
  } else {
    ASSIGN_OR_RETURN(changed, DeleteSteps(engine, ctx, collection, key));
  }
  RETURN_IF_ERROR(ctx.Commit());
  if (changed) update_memory_indexes(engine, collection, key, replacement ? &*replacement : nullptr);
  return changed;
}

// The stored document is read in the write transaction, so the merge sees
// the last committed version and nothing can commit between; the merged
// document is only known there, so its validation and size checks run
// inside the transaction too.
Status patch(Engine& engine, std::string_view collection, std::string_view key, const Value& patch_doc) {
  RETURN_IF_ERROR(check_collection_name(collection));
  RETURN_IF_ERROR(check_document_key(key));
  SchemaCopy schema = get_schema(engine, collection);
  ASSIGN_OR_RETURN(Store::WriterTurn turn, engine.store().TakeWriterTurn());
  ASSIGN_OR_RETURN(WriteCtx ctx, BeginWriteCtx(engine.store()));
  ASSIGN_OR_RETURN(std::optional<std::string> stored, get_row(ctx, collection, key));
  std::optional<Value> current;
  if (stored) {
    ASSIGN_OR_RETURN(current, decode_value(*stored));
  }
  ReachTestPoint(TestPoint::kAfterRead, collection);
  Value merged = Patched(current, patch_doc);
  if (schema) RETURN_IF_ERROR(validate_against(*schema, merged));
  ASSIGN_OR_RETURN(size_t size, CheckStorable(key, merged));
  std::string buffer;
  RETURN_IF_ERROR(PutSteps(engine, ctx, schema, collection, key, merged, size, buffer));
  RETURN_IF_ERROR(drop_ttl_rows(ctx, collection, key));
  RETURN_IF_ERROR(ctx.Commit());
  update_memory_indexes(engine, collection, key, &merged);
  return Ok();
}

// fn may run for long (a Python callback), so it cannot run inside a write
// transaction: the writer turn keeps other threads' writes out instead,
// while this thread's own writes, fn's included, go on.
Status update(Engine& engine, std::string_view collection, std::string_view key, const UpdateFn& fn) {
  ASSIGN_OR_RETURN(Store::WriterTurn turn, engine.store().TakeWriterTurn());
  ASSIGN_OR_RETURN(std::optional<std::string> stored, get_row_once(engine.store(), collection, key));
  ReachTestPoint(TestPoint::kAfterRead, collection);
  ASSIGN_OR_RETURN(std::optional<Value> next, fn(stored));
  if (next) {
    RETURN_IF_ERROR(insert(engine, collection, key, *next));
  } else {
    RETURN_IF_ERROR(delete_document(engine, collection, key));
  }
  return Ok();
}

Result<bool> delete_in(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                       VectorRepairBatch* batch) {
  return DeleteSteps(engine, ctx, collection, key, batch);
}

namespace {

// Each key as delete_document deletes it, its graph repair noted in the
// batch.
Result<uint64_t> DeleteEach(Engine& engine, std::string_view collection, const std::vector<std::string>& keys,
                            VectorRepairBatch& batch) {
  uint64_t removed = 0;
  for (const std::string& key : keys) {
    RETURN_IF_ERROR(check_document_key(key));
    ASSIGN_OR_RETURN(Store::WriterTurn turn, engine.store().TakeWriterTurn());
    ASSIGN_OR_RETURN(WriteCtx ctx, BeginWriteCtx(engine.store()));
    ASSIGN_OR_RETURN(bool changed, DeleteSteps(engine, ctx, collection, key, &batch));
    RETURN_IF_ERROR(ctx.Commit());
    ReachTestPoint(TestPoint::kAfterCommit, collection);
    if (!changed) continue;
    update_memory_indexes(engine, collection, key, nullptr, &batch);
    ++removed;
  }
  return removed;
}

}  // namespace

// The graphs are repaired once the deletes are over, whether all of them
// went or one failed: the removals up to the failure are committed.
Result<uint64_t> delete_batch(Engine& engine, std::string_view collection, const std::vector<std::string>& keys) {
  RETURN_IF_ERROR(check_collection_name(collection));
  VectorRepairBatch batch;
  Result<uint64_t> removed = DeleteEach(engine, collection, keys, batch);
  Status repaired = batch.FinishDiskAlone(engine);
  batch.FinishMemory(engine);
  if (!removed) return removed;
  RETURN_IF_ERROR(repaired);
  return removed;
}

Status put_many(Engine& engine, std::string_view collection,
                const std::vector<std::pair<std::string, Value>>& pairs) {
  RETURN_IF_ERROR(check_collection_name(collection));
  SchemaCopy schema = get_schema(engine, collection);
  if (schema) {
    for (const auto& [key, doc] : pairs) RETURN_IF_ERROR(validate_against(*schema, doc));
  }
  std::vector<size_t> sizes;
  sizes.reserve(pairs.size());
  for (const auto& [key, doc] : pairs) {
    ASSIGN_OR_RETURN(size_t size, CheckStorable(key, doc));
    sizes.push_back(size);
  }
  ASSIGN_OR_RETURN(Store::WriterTurn turn, engine.store().TakeWriterTurn());
  ASSIGN_OR_RETURN(WriteCtx ctx, BeginWriteCtx(engine.store()));
  const std::string ttl_coll = ttl_collection(collection);
  std::string buffer;
  // Unique fields without an index are checked against one table for the
  // whole batch instead of one scan per pair.
  std::optional<UniqueBatch> batch;
  if (schema) batch.emplace(*schema);
  for (size_t i = 0; i < pairs.size(); ++i) {
    const auto& [key, doc] = pairs[i];
    RETURN_IF_ERROR(PutSteps(engine, ctx, schema, collection, key, doc, sizes[i], buffer, batch ? &*batch : nullptr));
    if (batch && batch->loaded()) batch->Record(key, doc);
    RETURN_IF_ERROR(clear_ttl(ctx, ttl_coll, key));
  }
  RETURN_IF_ERROR(ctx.Commit());
  for (const auto& [key, doc] : pairs) update_memory_indexes(engine, collection, key, &doc);
  return Ok();
}

Result<std::string> insert_auto(Engine& engine, std::string_view collection, const Value& doc) {
  RETURN_IF_ERROR(check_collection_name(collection));
  // Every generated key has the same length.
  ASSIGN_OR_RETURN(const size_t size, CheckStorable(auto_key(0), doc));
  ASSIGN_OR_RETURN(Store::WriterTurn turn, engine.store().TakeWriterTurn());
  ASSIGN_OR_RETURN(WriteCtx ctx, BeginWriteCtx(engine.store()));
  const std::string counter = AutoKey(collection);
  ASSIGN_OR_RETURN(std::optional<uint64_t> last, ctx.txn().GetU64(StoreTable::kMeta, counter));
  // The counter may stand at the largest value (a dump load can raise it
  // there); adding one would wrap to 0 and hand out keys again.
  if (last.value_or(0) == UINT64_MAX) return Fail(CounterExhausted(collection));
  SchemaCopy schema = get_schema(engine, collection);
  if (schema) RETURN_IF_ERROR(validate_against(*schema, doc));
  // A caller may have stored a document under a key of the generated form
  // with a plain insert; such numbers are passed over, never overwritten.
  ASSIGN_OR_RETURN(uint64_t number, FreeAutoNumber(ctx, collection, last.value_or(0) + 1));
  RETURN_IF_ERROR(ctx.txn().PutU64(StoreTable::kMeta, counter, number));
  std::string key = auto_key(number), buffer;
  RETURN_IF_ERROR(PutSteps(engine, ctx, schema, collection, key, doc, size, buffer));
  RETURN_IF_ERROR(drop_ttl_rows(ctx, collection, key));
  RETURN_IF_ERROR(ctx.Commit());
  update_memory_indexes(engine, collection, key, &doc);
  return key;
}

Result<uint64_t> purge_expired(Engine& engine, std::string_view collection, int64_t now) {
  RETURN_IF_ERROR(check_collection_name(collection));
  ASSIGN_OR_RETURN(std::vector<ExpiredKey> candidates, collect_expired(engine, collection, now));
  const std::string ttl_coll = ttl_collection(collection);
  uint64_t removed = 0;
  for (const ExpiredKey& candidate : candidates) {
    ASSIGN_OR_RETURN(Store::WriterTurn turn, engine.store().TakeWriterTurn());
    ASSIGN_OR_RETURN(bool gone, PurgeOne(engine, collection, ttl_coll, candidate));
    if (!gone) continue;
    update_memory_indexes(engine, collection, candidate.key, nullptr);
    ++removed;
  }
  return removed;
}

Status scan_each_walk(Engine& engine, std::string_view collection, uint64_t& visited, const DocumentVisitor& visit) {
  visited = 0;
  ASSIGN_OR_RETURN(ReadTxn txn, engine.store().BeginRead());
  return ReadView(txn).view_for_each(collection, [&](std::string_view key, std::string_view bytes) -> Result<bool> {
    ASSIGN_OR_RETURN(Value doc, decode_value(bytes));
    ++visited;
    return visit(key, doc);
  });
}

}  // namespace pallix
