// The row-level work of the exact route's walk over a whole collection:
// the nearest rows of each vector source as the walk meets them
// (NearestPool), the kept rows' keys and texts (StreamedRows), and the
// walk over encoded rows that fills both a batch at a time (RawBatchWalk).
//
// Callers: the exact route (exact_route.cc), which walks with one of each,
// and the shared walk (shared_walk.h), which gives each lane its own pools
// and walk and each part of the collection its own StreamedRows.
//
// Thread-safety: none; each object is used by one thread at a time.

#ifndef PALLIX_QUERY_EXACT_WALK_H_
#define PALLIX_QUERY_EXACT_WALK_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/numeric.h"
#include "base/port.h"
#include "base/siphash.h"
#include "doc/value.h"
#include "query/query_spec.h"
#include "query/row_filter.h"
#include "query/sources.h"
#include "storage/store.h"
#include "vector/quant.h"

namespace pallix {

constexpr uint64_t kMinVectorPool = 1024;

// A hybrid walk reads most bytes of each row it meets, and the rows lie
// apart in the store: asking for the rows a few places ahead (their first
// kRowPrefetch bytes) overlaps their loads with the work on this one.
constexpr size_t kRowsAhead = 2;
constexpr size_t kRowPrefetch = 4096;

// The bound of a vector source's pool of distances: max(4k, 1024), the
// product saturating.
inline uint64_t VectorPool(uint64_t k) {
  return std::max<uint64_t>(k > std::numeric_limits<uint64_t>::max() / 4 ? k : 4 * k, kMinVectorPool);
}

// One vector source's nearest rows as a walk meets them: a pool of at most
// max(4k, 1024) distances, cut back to the k nearest whenever it fills.
// Once cut, the k-th nearest only ever moves nearer, so a distance past it
// can never enter and is not pushed: after the first cut most rows cost a
// distance and one comparison. The distances are distance_by_metric's bits
// (QueryScorer, with the query's self product taken once).
class NearestPool {
 public:
  explicit NearestPool(const VectorSource& src)
      : k_(src.k),
        dim_(src.query.size()),
        scorer_(nullptr, src.metric, Quantization::kNone, QueryRef{QueryKind::kRaw, src.query, {}}) {}

  void Offer(std::string_view key, std::span<const float> v) {
    if (k_ == 0 || v.size() != dim_) return;
    OfferDistance(key, scorer_(StoredRef::F32(v)));
  }
  // Whether OfferStored applies: float vectors, scored without decoding.
  bool ScoresStored() const { return scorer_.float_batch(); }
  // Offers count rows whose float32 components (dim() each) lie in their
  // stored bytes at vectors[i], at any alignment: scored several at a
  // time, without copying them out where the kernels allow it.
  void OfferStored(const std::string_view* keys, const std::byte* const* vectors, size_t count) {
    if (k_ == 0) return;
    distances_.resize(count);
    scorer_.FloatBatchStored(vectors, count, distances_.data());
    for (size_t i = 0; i < count; ++i) OfferDistance(keys[i], distances_[i]);
  }
  size_t dim() const { return dim_; }
  void OfferDistance(std::string_view key, float d) {
    if (bound_ && TotalCompare(d, *bound_) > 0) return;
    Keep({std::string(key), d});
  }
  SourceList Take() {
    CutNearest(list_, k_);
    return std::move(list_);
  }
  // Adds the nearest rows another pool of the same source kept: the pools
  // of a shared walk's lanes, put together. The order is total (distance,
  // then key), so the k nearest are the serial walk's whatever lane met
  // which row.
  void Absorb(NearestPool&& other) {
    for (SourceEntry& e : other.Take())
      if (!bound_ || TotalCompare(e.score, *bound_) <= 0) Keep(std::move(e));
  }

 private:
  void Keep(SourceEntry&& e) {
    list_.push_back(std::move(e));
    if (list_.size() < VectorPool(k_)) return;
    CutNearest(list_, k_);
    if (list_.size() == k_) bound_ = list_.back().score;
  }

  uint64_t k_;
  size_t dim_;
  QueryScorer scorer_;
  SourceList list_;
  std::optional<float> bound_;  // the k-th nearest at the last cut
  std::vector<float> distances_;
};

// The vector pools of a walk's sources: one per vector source, none for a
// text source.
std::vector<std::optional<NearestPool>> PoolsOf(const QuerySpec& spec);

// The candidates of a streamed walk: the kept rows' keys end to end in one
// buffer, and per text source the kept rows' texts. In a read snapshot a
// text is a view of the row's stored bytes, which stay where they are until
// the transaction ends (store.h); otherwise, or when the text was decoded
// into a document that is dropped, it is copied. A text source whose field
// has a loaded in-memory index has its texts hashed with the index's hasher
// here, while their bytes are in cache, so that scoring need not read them
// again.
class StreamedRows {
 public:
  StreamedRows(size_t sources, bool stable_values) : texts_(sources), hashers_(sources), stable_(stable_values) {}

  void HashTexts(size_t source, const SeededHash& hasher) { hashers_[source] = hasher; }
  const SeededHash* Hasher(size_t source) const { return hashers_[source] ? &*hashers_[source] : nullptr; }

  void AddRow(std::string_view key) {
    keys_.append(key);
    key_ends_.push_back(keys_.size());
  }
  // A text of the row added last; stored is whether it views the row's
  // stored bytes (else it views a document about to be dropped).
  void AddText(size_t source, std::string_view text, bool stored) { AddTextOf(Rows() - 1, source, text, stored); }
  // A text of the row added row-th (from 0); a source's texts are added in
  // the order of their rows.
  void AddTextOf(size_t row, size_t source, std::string_view text, bool stored) {
    const uint64_t hash = hashers_[source] ? (*hashers_[source])(text) : 0;
    if (!(stored && stable_)) text = copies_.emplace_back(text);
    texts_[source].push_back({row, text, hash});
  }
  size_t Rows() const { return key_ends_.size(); }
  // The key of the row added last, valid until the next AddRow.
  std::string_view LastKey() const { return Key(key_ends_.size() - 1); }
  // No rows, with this object's sources and hashers: what one part of a
  // shared walk keeps.
  StreamedRows Fresh() const {
    StreamedRows fresh(texts_.size(), stable_);
    fresh.hashers_ = hashers_;
    return fresh;
  }
  // The source's candidates; the keys view this object.
  std::vector<TextCandidate> TextCandidates(size_t source) const {
    std::vector<TextCandidate> out;
    AddTextCandidates(source, out);
    return out;
  }
  void AddTextCandidates(size_t source, std::vector<TextCandidate>& out) const {
    out.reserve(out.size() + texts_[source].size());
    for (const Text& t : texts_[source]) out.push_back({Key(t.row), t.text, t.hash});
  }
  size_t TextCount(size_t source) const { return texts_[source].size(); }

 private:
  std::string_view Key(size_t row) const {
    const size_t begin = row == 0 ? 0 : key_ends_[row - 1];
    return std::string_view(keys_).substr(begin, key_ends_[row] - begin);
  }

  struct Text {
    size_t row;
    std::string_view text;
    uint64_t hash;
  };

  std::string keys_;
  std::vector<size_t> key_ends_;
  std::vector<std::vector<Text>> texts_;
  std::vector<std::optional<SeededHash>> hashers_;
  std::deque<std::string> copies_;  // never moves its strings
  bool stable_;
};

// Where a row's vector payload lay, to skip when the rows ahead are asked
// for: rows of a collection mostly share their layout, so the span the last
// row's vector took is the span the next rows' vectors take. The filters
// are tested first; a vector is read only for a row they keep, so a walk
// whose filter rejects half the rows does not pay for their vectors, most
// of their bytes. Past the vector only as far as the filters' fields
// reached in the last row is asked for (and a line more, for the headers
// the scan reads): a text after them, read only for rows the filters keep
// when at all, is not. A guess that misses costs only a wasted prefetch.
class RowLayout {
 public:
  // tested_end: where the last of the filters' fields ended in row (0:
  // none was found).
  void Learn(std::string_view row, std::string_view vector, size_t tested_end) {
    if (vector.empty() || vector.data() < row.data()) return;
    begin_ = static_cast<size_t>(vector.data() - row.data());
    end_ = begin_ + vector.size();
    tail_ = (tested_end > end_ ? tested_end - end_ : 0) + kLine;
  }
  // Asks for the row's bytes outside the learnt vector span that the
  // filters read.
  void PrefetchTested(std::string_view row) const {
    if (end_ <= begin_ || end_ > row.size()) {
      port::PrefetchBytes(row.substr(0, kRowPrefetch));
      return;
    }
    port::PrefetchBytes(row.substr(0, begin_));
    port::PrefetchBytes(row.substr(end_, tail_));
  }

 private:
  static constexpr size_t kLine = 64;

  size_t begin_ = 0, end_ = 0, tail_ = 0;
};

// The walk of StreamedExactRoute (exact_route.cc) over encoded rows, a
// batch at a time in passes: the filters are tested on every row, then the
// kept rows' texts are checked and taken, then their vectors are scored,
// each pass asking for its bytes a few rows ahead. A row that fails to
// decode ends the first pass; the texts of the rows kept before it are
// still checked first, so the error is the first in key order, as a walk
// row by row finds it.
class RawBatchWalk {
 public:
  RawBatchWalk(const RowFilter& filter, std::span<const std::string_view> fields,
               std::vector<std::optional<NearestPool>>& pools);

  // Tests and scores batch, adding the kept rows to rows.
  Status Batch(std::span<const RowRef> batch, StreamedRows& rows);

 private:
  static constexpr size_t kGroup = 16;

  void Flush();
  // The second pass: checks and takes the kept rows' texts.
  Status TakeTexts();

  struct Kept {
    std::string_view key;
    size_t source;
    std::string_view vector;  // encoded, as raw_vector_into reads it
  };
  struct KeptText {
    size_t row;  // in the batch's StreamedRows
    size_t source;
    std::string_view encoded;  // a Text, its UTF-8 not checked yet
  };

  Status Test(const RowRef& row);

  const RowFilter& filter_;
  StreamedRows* rows_ = nullptr;  // the current batch's
  std::vector<std::optional<NearestPool>>& pools_;
  std::vector<std::string_view> raw_;
  RowFilter::RawScratch tested_;  // the filters' fields of a row, reused
  ValueVector components_;
  std::vector<Kept> kept_;
  std::vector<KeptText> kept_texts_;
  std::string_view group_keys_[kGroup];
  const std::byte* group_vectors_[kGroup];
  size_t group_size_ = 0;
  size_t group_source_ = 0;
  RowLayout layout_;
  std::optional<size_t> first_pool_;
  bool reads_texts_ = false;  // a source is a text's
};

}  // namespace pallix

#endif  // PALLIX_QUERY_EXACT_WALK_H_
