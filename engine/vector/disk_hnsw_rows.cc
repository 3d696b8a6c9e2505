// The on-disk graph's node records parsed in place, and the row locations
// query stores remember across searches (declared in disk_hnsw_internal.h).

#include <algorithm>
#include <string>

#include "base/coding.h"
#include "vector/disk_hnsw_internal.h"

namespace pallix {

namespace dann_internal {

EngineError MalformedDannNode(std::string_view ns, uint64_t id) {
  return EngineError::CorruptIndex("malformed node row for id " + std::to_string(id) + " in index namespace '" +
                                   std::string(ns) + "'");
}

// Node ids past this are not remembered, so that a table stays within
// 32 MiB however large the graph.
constexpr uint64_t kMaxRememberedIds = uint64_t{1} << 21;
RowLocations* RowLocationTables::For(std::string_view ns, const SnapshotTag& tag) {
  if (tag.mapping == 0) return nullptr;
  RowLocations* pick = &tables_[0];
  for (RowLocations& t : tables_) {
    if (t.ns_ == ns) {
      pick = &t;
      break;
    }
    if (t.last_use_ < pick->last_use_) pick = &t;
  }
  if (pick->ns_ != ns || !pick->tag_.SameSnapshot(tag)) {
    // Another snapshot may have moved or rewritten every row.
    pick->ns_.assign(ns);
    pick->tag_ = tag;
    pick->rows_.clear();
  }
  pick->last_use_ = ++clock_;
  return pick;
}

size_t RowLocationTables::Bytes() const {
  size_t bytes = 0;
  for (const RowLocations& t : tables_) bytes += t.rows_.capacity() * sizeof(RowLocations::Location);
  return bytes;
}

std::string_view RowLocations::Find(uint64_t id) const {
  if (id >= rows_.size()) return {};
  const Location& at = rows_[id];
  return at.data == nullptr ? std::string_view() : std::string_view(at.data, at.size);
}

void RowLocations::Remember(uint64_t id, std::string_view row) {
  if (id >= kMaxRememberedIds || row.empty() || row.size() > INT32_MAX) return;
  if (id >= rows_.size()) {
    const size_t size = std::min<size_t>(std::max<size_t>(id + 1, rows_.size() * 2), kMaxRememberedIds);
    rows_.reserve(size);
    rows_.resize(size);
  }
  Location& at = rows_[id];
  at.data = row.data();
  at.size = static_cast<uint32_t>(row.size());
  at.has_self = 0;
}

DannLinks DannNodeView::Links(uint32_t layer) const {
  if (layer >= layer_count) return {};
  const char* p = layers;
  for (uint32_t l = 0; l < layer; ++l) p += 4 + size_t{DecodeFixed32LE(p)} * 8;
  return {p + 4, DecodeFixed32LE(p)};
}

bool ParseDannNode(std::string_view bytes, DannNodeView& out, std::vector<const char*>* upper) {
  ByteCursor in(bytes);
  uint8_t deleted;
  uint32_t key_len, vec_len, layer_count;
  if (!in.Byte(deleted) || !in.U32(key_len) || !in.Take(key_len, out.key) || !in.U32(vec_len) ||
      !in.Take(vec_len, out.stored) || !in.U32(layer_count) || layer_count > in.Left() / 4) {
    return false;
  }
  out.deleted = deleted != 0;
  out.layer_count = layer_count;
  out.layers = bytes.data() + in.Mark();
  if (upper != nullptr) out.upper = static_cast<uint32_t>(upper->size());
  for (uint32_t l = 0; l < layer_count; ++l) {
    if (l > 0 && upper != nullptr) upper->push_back(bytes.data() + in.Mark());
    uint32_t n;
    std::string_view ids;
    if (!in.U32(n) || n > in.Left() / 8 || !in.Take(size_t{n} * 8, ids)) return false;
  }
  return true;
}

}  // namespace dann_internal

}  // namespace pallix
