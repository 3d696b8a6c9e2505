#include "query/exact_walk.h"

namespace pallix {

namespace {

// The walk over encoded rows asks for a row's bytes kTestAhead rows before
// it tests the filters on them (over 60,000 rows of about 1.8 KB, 16 rows
// took 2-5% less CPU than 4), and for a kept row's vector that must be
// decoded kVectorsAhead kept rows before it decodes it. Vectors scored
// where they lie are asked for by the kernels as they go
// (QueryScorer::FloatBatchStored): asked for here, a group's lines at
// once, they took 10% more CPU.
constexpr size_t kTestAhead = 16;
constexpr size_t kVectorsAhead = 4;
// And for a kept row's text (its first kTextPrefetch bytes) kTextsAhead
// kept texts before it checks it.
constexpr size_t kTextsAhead = 4;
constexpr size_t kTextPrefetch = 1024;

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
  kept_texts_.clear();
  Status tested = Ok();
  for (size_t j = 0; j < batch.size() && tested; ++j) {
    if (j + kTestAhead < batch.size()) layout_.PrefetchTested(batch[j + kTestAhead].value);
    tested = Test(batch[j]);
  }
  RETURN_IF_ERROR(TakeTexts());
  RETURN_IF_ERROR(tested);
  for (size_t a = 0; a < kept_.size(); ++a) {
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
    if (a + kVectorsAhead < kept_.size()) port::PrefetchBytes(kept_[a + kVectorsAhead].vector);
    if (raw_vector_into(k.vector, components_)) pool.Offer(k.key, components_);
  }
  Flush();
  return Ok();
}

Status RawBatchWalk::TakeTexts() {
  for (size_t a = 0; a < kept_texts_.size(); ++a) {
    if (a + kTextsAhead < kept_texts_.size())
      port::PrefetchBytes(kept_texts_[a + kTextsAhead].encoded.substr(0, kTextPrefetch));
    const KeptText& t = kept_texts_[a];
    // The scan checked only the row's shape: a text read is checked
    // here, so a row the filters drop costs no pass over its text.
    RETURN_IF_ERROR(check_value(t.encoded));
    std::string_view text;
    raw_text(t.encoded, text);
    rows_->AddTextOf(t.row, t.source, text, true);
  }
  return Ok();
}

void RawBatchWalk::Flush() {
  if (group_size_ == 0) return;
  pools_[group_source_]->OfferStored(group_keys_, group_vectors_, group_size_);
  group_size_ = 0;
}

Status RawBatchWalk::Test(const RowRef& row) {
  bool pass;
  if (const std::optional<bool> on_layout = filter_.PassesOnLayout(row.value, tested_, raw_)) {
    pass = *on_layout;
  } else {
    ASSIGN_OR_RETURN(pass, filter_.PassesRaw(row.value, tested_, raw_));
  }
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
      kept_texts_.push_back({rows_->Rows() - 1, i, raw_[i]});
    }
  }
  return Ok();
}

}  // namespace pallix
