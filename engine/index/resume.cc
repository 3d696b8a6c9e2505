#include "index/resume.h"

#include <string>
#include <vector>

#include "index/compound_index.h"
#include "index/geo_index.h"
#include "index/index_state.h"
#include "index/scalar_index.h"
#include "index/text_index.h"
#include "index/vector_index.h"
#include "storage/read_view.h"

namespace pallix {

namespace {

// One unfinished build: its fields and the cursor it goes on from.
struct PendingBuild {
  std::vector<std::string> fields;
  std::string cursor;
};

struct PendingBuilds {
  std::vector<PendingBuild> scalar;
  std::vector<PendingBuild> compound;
  std::vector<PendingBuild> geo;
  std::vector<PendingBuild> text;
  std::vector<PendingBuild> vector;
  bool empty() const { return scalar.empty() && compound.empty() && geo.empty() && text.empty() && vector.empty(); }
};

// The collection's rows of one registry that carry a cursor. Keys of the
// collection's indexes begin with its name and 0x00 (single-field and
// compound keys alike), so a prefix scan finds exactly them.
Result<std::vector<PendingBuild>> Pending(const ReadView& view, std::string_view registry, std::string_view collection,
                                          bool compound) {
  std::string prefix(collection);
  prefix.push_back('\0');
  ASSIGN_OR_RETURN(std::vector<Row> rows, view.view_scan_prefix(registry, prefix));
  std::vector<PendingBuild> out;
  for (const Row& row : rows) {
    IndexState state = decode_index_state(row.value);
    if (!state.cursor) continue;
    if (compound) {
      auto names = parse_compound_registry_key(row.key);
      if (names && names->first == collection) out.push_back(PendingBuild{std::move(names->second), *state.cursor});
    } else {
      auto names = split_index_key(row.key);
      if (names && names->first == collection) out.push_back(PendingBuild{{std::move(names->second)}, *state.cursor});
    }
  }
  return out;
}

Result<PendingBuilds> ReadPending(Engine& engine, std::string_view collection) {
  ASSIGN_OR_RETURN(ReadTxn txn, engine.store().BeginRead());
  ReadView view(txn);
  PendingBuilds out;
  ASSIGN_OR_RETURN(out.scalar, Pending(view, kScalarRegistry, collection, false));
  ASSIGN_OR_RETURN(out.compound, Pending(view, kCompoundRegistry, collection, true));
  ASSIGN_OR_RETURN(out.geo, Pending(view, kGeoRegistry, collection, false));
  ASSIGN_OR_RETURN(out.text, Pending(view, kTextRegistry, collection, false));
  ASSIGN_OR_RETURN(out.vector, Pending(view, kVectorRegistry, collection, false));
  return out;
}

Status RunBuilds(Engine& engine, std::string_view collection, PendingBuilds& pending) {
  for (PendingBuild& b : pending.scalar)
    RETURN_IF_ERROR(build_scalar_index(engine, collection, b.fields.front(), std::move(b.cursor)));
  for (PendingBuild& b : pending.compound)
    RETURN_IF_ERROR(build_compound_index(engine, collection, b.fields, std::move(b.cursor)));
  for (PendingBuild& b : pending.geo)
    RETURN_IF_ERROR(build_geo_index(engine, collection, b.fields.front(), std::move(b.cursor)));
  for (PendingBuild& b : pending.text)
    RETURN_IF_ERROR(build_disk_text_index(engine, collection, b.fields.front(), std::move(b.cursor)));
  for (PendingBuild& b : pending.vector)
    RETURN_IF_ERROR(build_disk_vector_index(engine, collection, b.fields.front(), std::move(b.cursor)));
  return Ok();
}

}  // namespace

Status resume_index_builds(Engine& engine, std::string_view collection) {
  ASSIGN_OR_RETURN(PendingBuilds pending, ReadPending(engine, collection));
  if (pending.empty()) return Ok();
  NamedMutex& lock = engine.index_resume_lock;
  if (lock.poisoned() || !lock.TryLock()) return Ok();
  TryLockHolder holder(lock);
  return RunBuilds(engine, collection, pending);
}

}  // namespace pallix
