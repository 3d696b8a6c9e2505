#include "query/exact_walk.h"

namespace pallix {

namespace {

// The walk over encoded rows asks for a row's bytes kTestAhead rows before
// it tests the filters on them, and for a kept row's vector kVectorsAhead
// kept rows before it scores it.
constexpr size_t kTestAhead = 4;
constexpr size_t kVectorsAhead = 4;

}  // namespace

std::vector<std::optional<NearestPool>> PoolsOf(const QuerySpec& spec) {
  std::vector<std::optional<NearestPool>> pools(spec.sources.size());
  for (size_t i = 0; i < spec.sources.size(); ++i)
    if (const auto* v = std::get_if<VectorSource>(&spec.sources[i])) pools[i].emplace(*v);
  return pools;
}

RawBatchWalk::RawBatchWalk(const RowFilter& filter, std::span<const std::string_view> fields,
                           std::vector<std::optional<NearestPool>>& pools)
    : filter_(filter),
      pools_(pools),
      raw_(fields.size()),
      tested_(filter.NewRawScratch(fields)) {
  for (size_t i = 0; i < pools_.size(); ++i) {
    if (pools_[i] && !first_pool_) first_pool_ = i;
    if (!pools_[i]) reads_texts_ = true;
  }
}

Status RawBatchWalk::Batch(std::span<const RowRef> batch, StreamedRows& rows) {
  rows_ = &rows;
  kept_.clear();
  for (size_t j = 0; j < batch.size(); ++j) {
    if (j + kTestAhead < batch.size()) layout_.PrefetchTested(batch[j + kTestAhead].value);
    RETURN_IF_ERROR(Test(batch[j]));
  }
  for (size_t a = 0; a < kept_.size(); ++a) {
    if (a + kVectorsAhead < kept_.size()) port::PrefetchBytes(kept_[a + kVectorsAhead].vector);
    const Kept& k = kept_[a];
    NearestPool& pool = *pools_[k.source];
    std::string_view components;
    if (pool.ScoresStored() && raw_vector_bytes(k.vector, components) &&
        components.size() == sizeof(float) * pool.dim()) {
      if (group_size_ > 0 && group_source_ != k.source) Flush();
      group_source_ = k.source;
      group_keys_[group_size_] = k.key;
      group_vectors_[group_size_++] = reinterpret_cast<const std::byte*>(components.data());
      if (group_size_ == kGroup) Flush();
      continue;
    }
    if (raw_vector_into(k.vector, components_)) pool.Offer(k.key, components_);
  }
  Flush();
  return Ok();
}

void RawBatchWalk::Flush() {
  if (group_size_ == 0) return;
  pools_[group_source_]->OfferStored(group_keys_, group_vectors_, group_size_);
  group_size_ = 0;
}

Status RawBatchWalk::Test(const RowRef& row) {
  ASSIGN_OR_RETURN(bool pass, filter_.PassesRaw(row.value, tested_, raw_));
  if (first_pool_) {
    size_t tested_end = 0;
    for (size_t i = 0; i < tested_.filter_fields; ++i) {
      const std::string_view f = tested_.raw[i];
      if (!f.empty() && f.data() >= row.value.data())
        tested_end = std::max<size_t>(tested_end, f.data() + f.size() - row.value.data());
    }
    layout_.Learn(row.value, raw_[*first_pool_], tested_end);
  }
  if (!pass) return Ok();
  // Only a text names its row by number (StreamedRows::AddText); a pool
  // keeps the key itself, and only of the few rows it keeps.
  if (reads_texts_) rows_->AddRow(row.key);
  for (size_t i = 0; i < raw_.size(); ++i) {
    std::string_view text;
    if (pools_[i]) {
      if (!raw_[i].empty()) kept_.push_back({row.key, i, raw_[i]});
    } else if (raw_text(raw_[i], text)) {
      // The scan checked only the row's shape: a text read is checked
      // here, so a row the filters drop costs no pass over its text.
      RETURN_IF_ERROR(check_value(raw_[i]));
      rows_->AddText(i, text, true);
    }
  }
  return Ok();
}

}  // namespace pallix
