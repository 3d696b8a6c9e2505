#include "index/registry.h"

#include <cstring>

#include "base/coding.h"
#include "base/lock.h"

namespace pallix {

namespace {


// Calls fn(collection, field, state) for every row of `registry` whose key
// splits; the caller holds the registry's lock.
template <typename F>
Status ForEachRegistryRow(Engine& engine, std::string_view registry, F&& fn) {
  ASSIGN_OR_RETURN(std::vector<Row> rows, scan_all_rows(engine.store(), registry));
  for (const Row& row : rows) {
    std::optional<std::pair<std::string, std::string>> names = split_index_key(row.key);
    if (!names) continue;
    RETURN_IF_ERROR(fn(std::move(names->first), std::move(names->second), decode_index_state(row.value)));
  }
  return Ok();
}

// The codebook of a product-quantized vector index, when its row decodes.
Result<std::shared_ptr<const PqCodebook>> LoadCodebook(Engine& engine, std::string_view collection,
                                                       std::string_view field) {
  ASSIGN_OR_RETURN(std::optional<std::string> row,
                   get_row_once(engine.store(), vector_namespace(collection, field), kDannCodebookKey));
  if (!row) return nullptr;
  std::optional<PqCodebook> codebook = decode_dann_codebook(*row);
  if (!codebook) return nullptr;
  return std::make_shared<const PqCodebook>(std::move(*codebook));
}

}  // namespace

std::optional<VectorIndexInfo> vector_info_of_payload(std::string_view p) {
  if (p.empty() || static_cast<uint8_t>(p[0]) >= 3) return std::nullopt;
  VectorIndexInfo info;
  info.metric = static_cast<uint8_t>(p[0]);
  if (p.size() > 1 && static_cast<uint8_t>(p[1]) < 3) info.quantization = static_cast<uint8_t>(p[1]);
  if (p.size() > 2 && static_cast<uint8_t>(p[2]) < 4) info.storage_kind = static_cast<uint8_t>(p[2]);
  return info;
}

Result<std::optional<IndexState>> read_index_state(const ReadView& view, std::string_view registry,
                                                   std::string_view key) {
  ASSIGN_OR_RETURN(std::optional<std::string> row, view.view_get(registry, key));
  if (!row) return std::nullopt;
  return decode_index_state(*row);
}

Result<std::optional<IndexState>> read_index_state_once(Store& store, std::string_view registry,
                                                        std::string_view key) {
  ASSIGN_OR_RETURN(std::optional<std::string> row, get_row_once(store, registry, key));
  if (!row) return std::nullopt;
  return decode_index_state(*row);
}

namespace {

Status LoadVectors(Engine& engine, VectorRegistry& reg) {
  return ForEachRegistryRow(engine, kVectorRegistry, [&](std::string c, std::string f, IndexState state) -> Status {
    std::optional<VectorIndexInfo> described = vector_info_of_payload(state.payload);
    if (!described) return Ok();
    VectorIndexInfo info = std::move(*described);
    if (info.storage_kind == kVectorOnDiskPq || info.storage_kind == kVectorInMemoryPq) {
      ASSIGN_OR_RETURN(info.codebook, LoadCodebook(engine, c, f));
    }
    info.building = state.cursor.has_value();
    engine.NoteIndexed(c);
    reg.declared[FieldKey(std::move(c), std::move(f))] = std::move(info);
    return Ok();
  });
}

Status LoadTexts(Engine& engine, TextRegistry& reg) {
  return ForEachRegistryRow(engine, kTextRegistry, [&](std::string c, std::string f, IndexState state) -> Status {
    bool on_disk = !state.payload.empty() && state.payload[0] == 1;
    engine.NoteIndexed(c);
    reg.declared[FieldKey(std::move(c), std::move(f))] = TextIndexInfo{on_disk, state.cursor.has_value()};
    return Ok();
  });
}

Status LoadScalars(Engine& engine, ScalarRegistry& reg) {
  RETURN_IF_ERROR(ForEachRegistryRow(engine, kScalarRegistry, [&](std::string c, std::string f, IndexState state) -> Status {
    engine.NoteIndexed(c);
    reg.scalars[FieldKey(std::move(c), std::move(f))] = state.cursor.has_value();
    return Ok();
  }));
  ASSIGN_OR_RETURN(std::vector<Row> rows, scan_all_rows(engine.store(), kCompoundRegistry));
  for (const Row& row : rows) {
    auto names = parse_compound_registry_key(row.key);
    if (!names) continue;
    IndexState state = decode_index_state(row.value);
    bool building = state.cursor.has_value();
    bool covering = !building && !state.payload.empty() && state.payload[0] == kCompoundCovering;
    engine.NoteIndexed(names->first);
    reg.compounds[CompoundKey(std::move(names->first), std::move(names->second))] = CompoundFlags{building, covering};
  }
  return Ok();
}

Status LoadGeos(Engine& engine, GeoRegistry& reg) {
  return ForEachRegistryRow(engine, kGeoRegistry, [&](std::string c, std::string f, IndexState state) -> Status {
    engine.NoteIndexed(c);
    reg.fields[FieldKey(std::move(c), std::move(f))] = state.cursor.has_value();
    return Ok();
  });
}

// The slot's registry, created and loaded when the slot is empty.
template <typename R>
Result<R*> Slot(Engine& engine, std::unique_ptr<RegistrySlot>& slot, Status (*load)(Engine&, R&)) {
  if (!slot) {
    auto fresh = std::make_unique<R>();
    RETURN_IF_ERROR(load(engine, *fresh));
    slot = std::move(fresh);
  }
  return static_cast<R*>(slot.get());
}

template <typename R>
Status LoadUnder(NamedMutex& lock, Result<R*> (*get)(Engine&), Engine& engine) {
  NamedMutex::Guard guard(lock);
  RETURN_IF_ERROR(get(engine));
  return Ok();
}

}  // namespace

Result<VectorRegistry*> vector_registry(Engine& engine) { return Slot(engine, engine.vector_registry, LoadVectors); }
Result<TextRegistry*> text_registry(Engine& engine) { return Slot(engine, engine.text_registry, LoadTexts); }
Result<ScalarRegistry*> scalar_registry(Engine& engine) { return Slot(engine, engine.scalar_registry, LoadScalars); }
Result<GeoRegistry*> geo_registry(Engine& engine) { return Slot(engine, engine.geo_registry, LoadGeos); }

Status load_index_registries(Engine& engine) {
  RETURN_IF_ERROR(LoadUnder(engine.index_lock, vector_registry, engine));
  RETURN_IF_ERROR(LoadUnder(engine.fts_lock, text_registry, engine));
  RETURN_IF_ERROR(LoadUnder(engine.scalar_lock, scalar_registry, engine));
  return LoadUnder(engine.geo_lock, geo_registry, engine);
}

}  // namespace pallix
