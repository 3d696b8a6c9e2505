#include "query/delete_where.h"

#include <string>
#include <vector>

#include "base/test_point.h"
#include "db/engine.h"
#include "index/resume.h"
#include "index/vector_repair_batch.h"
#include "storage/read_view.h"
#include "storage/rows.h"
#include "query/executor.h"
#include "write/write.h"

namespace pallix {

// The matches are collected before the first delete, so the deletes do
// not disturb the walk that finds them; both run in one write transaction.
Result<uint64_t> delete_where(const std::shared_ptr<Engine>& engine, std::string_view collection,
                              const Predicate& pred) {
  RETURN_IF_ERROR(check_collection_name(collection));
  QuerySpec spec;
  spec.engine = engine;
  spec.collection = std::string(collection);
  spec.filters.push_back(pred);
  RETURN_IF_ERROR(ValidateQuerySpec(spec));
  // Builds write in transactions of their own: before this one begins.
  RETURN_IF_ERROR(resume_index_builds(*engine, collection));
  ASSIGN_OR_RETURN(Store::WriterTurn turn, engine->store().TakeWriterTurn());
  ASSIGN_OR_RETURN(WriteCtx ctx, BeginWriteCtx(engine->store()));
  std::vector<std::string> keys;
  {
    ASSIGN_OR_RETURN(std::vector<QueryRow> rows, execute_query(spec, ReadView(ctx.txn())));
    keys.reserve(rows.size());
    for (QueryRow& r : rows) keys.push_back(std::move(r.key));
  }
  ReachTestPoint(TestPoint::kAfterRead, collection);
  // The vector graphs are repaired once, after the last delete, instead of
  // once per removed node.
  VectorRepairBatch batch;
  std::vector<std::string> removed;
  for (std::string& key : keys) {
    ASSIGN_OR_RETURN(bool existed, delete_in(*engine, ctx, collection, key, &batch));
    if (existed) removed.push_back(std::move(key));
  }
  RETURN_IF_ERROR(batch.FinishDisk(*engine, ctx));
  RETURN_IF_ERROR(ctx.Commit());
  for (const std::string& key : removed) update_memory_indexes(*engine, collection, key, nullptr, &batch);
  batch.FinishMemory(*engine);
  return removed.size();
}

}  // namespace pallix
