// The exact route: every candidate scored for every source, by a walk of
// the collection or over the rows the planner gave. A walk keeps only what
// scoring and ordering read of each row; the few documents returned are
// read whole at the end. Also the ranked tail every route with sources
// ends in (fusion, MMR, ordering, the window, projection), which the
// index-backed route (executor.cc) enters with its own scored candidates.

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <limits>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "base/numeric.h"
#include "base/port.h"
#include "base/test_point.h"
#include "base/work_pool.h"
#include "query/executor_internal.h"
#include "query/fusion.h"
#include "query/ordering.h"
#include "query/projection.h"
#include "query/row_filter.h"
#include "query/sources.h"

namespace pallix {

namespace {

constexpr uint64_t kMinVectorPool = 1024;

// A hybrid walk reads most bytes of each row it meets, and the rows lie
// apart in the store: asking for the rows a few places ahead (their first
// kRowPrefetch bytes) overlaps their loads with the work on this one.
constexpr size_t kRowsAhead = 2;
constexpr size_t kRowPrefetch = 4096;

// The walk over encoded rows asks for a row's bytes kTestAhead rows before
// it tests the filters on them, and for a kept row's vector kVectorsAhead
// kept rows before it scores it.
constexpr size_t kTestAhead = 4;
constexpr size_t kVectorsAhead = 4;

const VectorSource* FirstVectorSource(const QuerySpec& spec) {
  for (const QuerySource& s : spec.sources) {
    if (const auto* v = std::get_if<VectorSource>(&s)) return v;
  }
  return nullptr;
}

// The bound of a vector source's pool of distances: max(4k, 1024), the
// product saturating.
uint64_t VectorPool(uint64_t k) {
  return std::max<uint64_t>(k > std::numeric_limits<uint64_t>::max() / 4 ? k : 4 * k, kMinVectorPool);
}

// The single-source vector walk over the whole collection when an ordering
// or MMR reads the candidates' documents: a pool of at most max(4k, 1024)
// distances, cut back to k whenever it fills, so memory does not grow with
// the collection. Only the winners' documents are kept.
Result<std::vector<CandidateRow>> PooledVectorWalk(const QuerySpec& spec, const ReadView& view,
                                                   const VectorSource& src, SourceList& list) {
  if (src.k == 0) return std::vector<CandidateRow>();
  const uint64_t pool = VectorPool(src.k);
  RowFilter filter(spec.filters, {src.field});
  RETURN_IF_ERROR(view.view_for_each(spec.collection, [&](std::string_view key, std::string_view bytes) -> Result<bool> {
    ASSIGN_OR_RETURN(std::optional<Value> doc, filter.Partial(bytes));
    if (!doc) return true;
    const Value* v = get_path(*doc, src.field);
    if (v == nullptr || !v->is_vector() || v->as_vector().size() != src.query.size()) return true;
    list.push_back({std::string(key), distance_by_metric(src.metric, src.query, v->as_vector())});
    if (list.size() >= pool) CutNearest(list, src.k);
    return true;
  }));
  CutNearest(list, src.k);
  std::vector<CandidateRow> rows;
  for (const SourceEntry& e : list) {
    ASSIGN_OR_RETURN(std::optional<std::string> bytes, view.view_get(spec.collection, e.key));
    if (!bytes) continue;
    ASSIGN_OR_RETURN(Value doc, decode_value(*bytes));
    rows.emplace_back(e.key, std::move(doc));
  }
  return rows;
}

// The rows of the fused keys by key: the views are the rows' own keys, so
// they outlive the fused list's reordering. A key given twice in rows
// keeps its first row.
std::unordered_map<std::string_view, size_t> RowsOfFused(const std::vector<CandidateRow>& rows,
                                                         const std::vector<FusedEntry>& fused) {
  std::unordered_set<std::string_view> wanted;
  wanted.reserve(fused.size());
  for (const FusedEntry& e : fused) wanted.insert(e.key);
  std::unordered_map<std::string_view, size_t> by_key;
  by_key.reserve(fused.size());
  for (size_t i = 0; i < rows.size(); ++i)
    if (wanted.contains(rows[i].first)) by_key.emplace(rows[i].first, i);
  return by_key;
}

// The sources' lists fused by RRF.
std::vector<FusedEntry> FuseLists(const QuerySpec& spec, const std::vector<SourceList>& lists) {
  std::vector<std::vector<std::string>> keys(lists.size());
  for (size_t i = 0; i < lists.size(); ++i) {
    for (const SourceEntry& e : lists[i]) keys[i].push_back(e.key);
  }
  return fuse_rrf(keys, spec.rrf_k);
}

// Fusion, window and projection over the lists of a walk that kept no
// documents: the few returned are read whole from view.
Result<std::vector<QueryRow>> WholeTail(const QuerySpec& spec, const std::vector<SourceList>& lists,
                                        const ReadView& view) {
  std::vector<FusedEntry> fused = FuseLists(spec, lists);
  apply_window(fused, spec.offset, spec.limit);
  std::vector<QueryRow> out;
  out.reserve(fused.size());
  for (FusedEntry& e : fused) {
    ASSIGN_OR_RETURN(std::optional<Value> doc, get_document_via(view, spec.collection, e.key));
    if (!doc) return Fail(EngineError::InvalidArgument("key came from filtered set"));
    if (spec.select) *doc = project_fields(std::move(*doc), *spec.select);
    out.push_back(QueryRow{std::move(e.key), std::move(*doc), e.score});
  }
  return out;
}

// The paths the sources and the ordering read from a candidate.
std::vector<std::string_view> RankedFields(const QuerySpec& spec) {
  std::vector<std::string_view> fields;
  for (const QuerySource& s : spec.sources) {
    if (const auto* t = std::get_if<TextSource>(&s)) fields.push_back(t->field);
    else fields.push_back(std::get<VectorSource>(s).field);
  }
  if (spec.order_by) fields.push_back(spec.order_by->field);
  return fields;
}

// Whether every source reads a top-level field (one segment), which the
// walk can read from the row's encoded bytes.
bool TopLevelSourceFields(const QuerySpec& spec) {
  for (std::string_view f : RankedFields(spec)) {
    if (f.empty() || f.find('.') != std::string_view::npos) return false;
  }
  return true;
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
  void AddText(size_t source, std::string_view text, bool stored) {
    const uint64_t hash = hashers_[source] ? (*hashers_[source])(text) : 0;
    if (!(stored && stable_)) text = copies_.emplace_back(text);
    texts_[source].push_back({key_ends_.size() - 1, text, hash});
  }
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
// of their bytes. A guess that misses costs only a wasted prefetch.
class RowLayout {
 public:
  void Learn(std::string_view row, std::string_view vector) {
    if (vector.empty() || vector.data() < row.data()) return;
    begin_ = static_cast<size_t>(vector.data() - row.data());
    end_ = begin_ + vector.size();
  }
  // Asks for the row's bytes outside the learnt vector span.
  void PrefetchTested(std::string_view row) const {
    if (end_ <= begin_ || end_ > row.size()) {
      port::PrefetchBytes(row.substr(0, kRowPrefetch));
      return;
    }
    port::PrefetchBytes(row.substr(0, begin_));
    port::PrefetchBytes(row.substr(end_));
  }

 private:
  size_t begin_ = 0, end_ = 0;
};

// StreamedExactRoute over encoded rows, a batch at a time in two passes:
// the filters are tested on every row (and the kept rows' texts taken),
// then the kept rows' vectors are scored, each pass asking for its bytes a
// few rows ahead.
class RawBatchWalk {
 public:
  RawBatchWalk(const RowFilter& filter, std::span<const std::string_view> fields,
               std::vector<std::optional<NearestPool>>& pools)
      : filter_(filter),
        pools_(pools),
        raw_(fields.size()),
        tested_(filter.NewRawScratch(fields)) {
    for (size_t i = 0; i < pools_.size(); ++i)
      if (pools_[i] && !first_pool_) first_pool_ = i;
  }

  // Tests and scores batch, adding the kept rows to rows.
  Status Batch(std::span<const RowRef> batch, StreamedRows& rows) {
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

 private:
  static constexpr size_t kGroup = 16;

  void Flush() {
    if (group_size_ == 0) return;
    pools_[group_source_]->OfferStored(group_keys_, group_vectors_, group_size_);
    group_size_ = 0;
  }

  struct Kept {
    std::string_view key;
    size_t source;
    std::string_view vector;  // encoded, as raw_vector_into reads it
  };

  Status Test(const RowRef& row) {
    ASSIGN_OR_RETURN(bool pass, filter_.PassesRaw(row.value, tested_, raw_));
    if (first_pool_) layout_.Learn(row.value, raw_[*first_pool_]);
    if (!pass) return Ok();
    rows_->AddRow(row.key);
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

  const RowFilter& filter_;
  StreamedRows* rows_ = nullptr;  // the current batch's
  std::vector<std::optional<NearestPool>>& pools_;
  std::vector<std::string_view> raw_;
  RowFilter::RawScratch tested_;  // the filters' fields of a row, reused
  ValueVector components_;
  std::vector<Kept> kept_;
  std::string_view group_keys_[kGroup];
  const std::byte* group_vectors_[kGroup];
  size_t group_size_ = 0;
  size_t group_source_ = 0;
  RowLayout layout_;
  std::optional<size_t> first_pool_;
};

// A walk over at least kSharedWalkRows rows is shared with the helpers,
// in about kPartsPerLane parts per lane, so that a lane that falls behind
// holds up the others by a small part only.
constexpr uint64_t kSharedWalkRows = 512;
constexpr size_t kPartsPerLane = 4;

// The vector pools of a walk's sources: one per vector source, none for a
// text source.
std::vector<std::optional<NearestPool>> PoolsOf(const QuerySpec& spec) {
  std::vector<std::optional<NearestPool>> pools(spec.sources.size());
  for (size_t i = 0; i < spec.sources.size(); ++i)
    if (const auto* v = std::get_if<VectorSource>(&spec.sources[i])) pools[i].emplace(*v);
  return pools;
}

// A RawBatchWalk shared with the helpers of the WorkPool. The
// collection's rows are cut into parts of about equal size by keys of the
// store's inner pages (ReadView::view_split_keys), and each part is walked
// and worked whole by one lane: the caller in its own snapshot, or a
// helper in a snapshot of the same commit (Store::BeginReadOf), so that
// the walk itself, whose steps onto rows lying apart wait for memory, runs
// on several cores, not only the work on the rows. A helper that finds
// that a commit came in between takes nothing. Lanes take the parts in key
// order; each part keeps its rows apart, they are put together in key
// order at the end and the lanes' vector pools merged (their order is
// total), so the answer is the serial walk's exactly, and so is the error:
// the first failing part's, the parts before it all worked. The rows a
// helper keeps view its snapshot's pages, which the caller's snapshot
// holds as long as it is open.
//
// Lifetime: a helper job holds this object, and may start after the
// caller is done; it then finds nothing to take and touches nothing else,
// the store included.
class SharedWalk : public std::enable_shared_from_this<SharedWalk> {
 public:
  SharedWalk(const QuerySpec& spec, const ReadView& view, const RowFilter& filter,
             std::span<const std::string_view> fields, const StreamedRows& like, std::vector<std::string> splits)
      : spec_(spec), view_(view), tag_(view.snapshot_tag()), filter_(filter), fields_(fields),
        splits_(std::move(splits)) {
    for (size_t i = 0; i <= splits_.size(); ++i) parts_.emplace_back().out.emplace(like.Fresh());
  }

  // Walks every part, with the helpers that start in time, and merges the
  // lanes' pools into pools. Returns the first failing part's error.
  Status Run(std::vector<std::optional<NearestPool>>& pools) {
    Lane& mine = lanes_.emplace_back(spec_, filter_, fields_);  // before a helper adds its own
    const size_t helpers = std::min(WorkPool::Shared().helpers(), parts_.size() - 1);
    for (size_t i = 0; i < helpers; ++i) WorkPool::Shared().Post([self = shared_from_this()] { self->HelperLane(); });
    ReachTestPoint(TestPoint::kWalkShared, spec_.collection);
    while (TakeAndWork(view_, mine)) {
    }
    std::unique_lock lock(mu_);
    idle_.wait(lock, [&] { return busy_ == 0; });
    finished_ = true;
    for (const Part& part : parts_) view_.add_rows_walked(part.rows);
    if (failed_at_ != kNone) {
      if (parts_[failed_at_].thrown) std::rethrow_exception(parts_[failed_at_].thrown);
      return parts_[failed_at_].status;
    }
    for (Lane& lane : lanes_)
      for (size_t i = 0; i < pools.size(); ++i)
        if (pools[i]) pools[i]->Absorb(std::move(*lane.pools[i]));
    // A helper that starts from now on finds the walk over: it takes
    // nothing.
    return Ok();
  }

  // For a caller leaving Run by an exception: the lanes stop taking parts,
  // and those taken are worked, before its frame goes.
  void Abandon() {
    std::unique_lock lock(mu_);
    if (finished_) return;
    failed_at_ = 0;
    idle_.wait(lock, [&] { return busy_ == 0; });
    finished_ = true;
  }

  // After Run: a text source's candidates, in key order; the keys view
  // this object.
  std::vector<TextCandidate> TextCandidates(size_t source) const {
    size_t count = 0;
    for (const Part& part : parts_) count += part.out->TextCount(source);
    std::vector<TextCandidate> out;
    out.reserve(count);
    for (const Part& part : parts_) part.out->AddTextCandidates(source, out);
    return out;
  }

 private:
  static constexpr size_t kNone = std::numeric_limits<size_t>::max();

  // Part i runs from splits_[i - 1] (the first: from the collection's
  // start) to splits_[i] (the last: to its end).
  struct Part {
    std::optional<StreamedRows> out;
    Status status = Ok();
    std::exception_ptr thrown;
    uint64_t rows = 0;           // walked by a helper
  };
  struct Lane {
    Lane(const QuerySpec& spec, const RowFilter& filter, std::span<const std::string_view> fields)
        : pools(PoolsOf(spec)), walk(filter, fields, pools) {}
    std::vector<std::optional<NearestPool>> pools;
    RawBatchWalk walk;
  };

  // A helper's lane: counted busy before it touches the store, so that the
  // caller waits for it, and only while parts are left.
  PALLIX_CATCHES_FORCED_UNWIND void HelperLane() {
    {
      std::lock_guard lock(mu_);
      if (!CanTake()) return;
      ++busy_;
    }
    struct Idle {
      SharedWalk* walk;
      ~Idle() {
        std::lock_guard lock(walk->mu_);
        if (--walk->busy_ == 0) walk->idle_.notify_all();
      }
    } idle{this};
    try {
      Result<std::optional<ReadTxn>> txn = view_.txn().store().BeginReadOf(tag_);
      if (!txn || !*txn) return;  // the caller walks the parts itself
      const ReadView view(**txn);
      Lane* lane;
      {
        std::lock_guard lock(mu_);
        lane = &lanes_.emplace_back(spec_, filter_, fields_);
      }
      while (TakeAndWork(view, *lane)) {
      }
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      // Only the lane's start can throw here (a part keeps what its work
      // throws): the other lanes walk the parts left.
    }
  }

  bool CanTake() const { return !finished_ && next_ < parts_.size() && next_ < failed_at_; }

  PALLIX_CATCHES_FORCED_UNWIND bool TakeAndWork(const ReadView& view, Lane& lane) {
    size_t at;
    {
      std::lock_guard lock(mu_);
      if (!CanTake()) return false;
      at = next_++;
    }
    Part& part = parts_[at];
    const uint64_t walked = view.rows_walked();
    bool failed;
    try {
      const std::string_view lower = at == 0 ? std::string_view() : std::string_view(splits_[at - 1]);
      const std::string* upper = at < splits_.size() ? &splits_[at] : nullptr;
      part.status = view.view_for_each_batch_between(
          spec_.collection, lower, upper, [&](std::span<const RowRef> rows) -> Result<bool> {
            RETURN_IF_ERROR(lane.walk.Batch(rows, *part.out));
            return true;
          });
      failed = !part.status.has_value();
    } catch (abi::__forced_unwind&) {
      Failed(at);
      throw;
    } catch (...) {
      // Thrown where the serial walk would have thrown: the caller throws
      // it again once every lane is idle.
      part.thrown = std::current_exception();
      failed = true;
    }
    if (&view != &view_) part.rows = view.rows_walked() - walked;  // the caller's view counts its own
    if (failed) Failed(at);
    return true;
  }

  void Failed(size_t at) {
    std::lock_guard lock(mu_);
    failed_at_ = std::min(failed_at_, at);
  }

  const QuerySpec& spec_;
  const ReadView& view_;
  const SnapshotTag tag_;
  const RowFilter& filter_;
  std::span<const std::string_view> fields_;
  const std::vector<std::string> splits_;

  std::mutex mu_;
  std::condition_variable idle_;  // busy_ fell to 0
  std::deque<Part> parts_;        // fixed once made
  std::deque<Lane> lanes_;        // never moves its lanes
  size_t next_ = 0;               // the first part not taken
  size_t busy_ = 0;               // helpers' lanes at work
  size_t failed_at_ = kNone;      // the first part that failed
  bool finished_ = false;
};

// The exact route over the whole collection when neither an ordering nor
// MMR reads the candidates' documents (any sources, a single vector source
// among them): each kept row's vector distances are taken during the walk
// (NearestPool) and its partial document is dropped there, so that only
// keys and the texts of the text sources are kept. The candidates'
// vectors, most of a hybrid query's bytes, are never held. The texts are
// scored once the walk is over (their statistics span every candidate),
// and the few documents returned are read whole at the end.
//
// When every source reads a top-level field, each row is decoded once, as
// far as the filters reach, and the sources' fields are read from their
// encoded bytes (raw_fields, RawBatchWalk): a text is kept as a view of the
// row, and the distance is taken over the stored components, copied into
// one reused vector, so no partial document is built; a vector's bytes are
// read only for rows the filters keep.
Result<std::vector<QueryRow>> StreamedExactRoute(const QuerySpec& spec, const ReadView& view, bool raw_fields,
                                                 bool shared) {
  const size_t n = spec.sources.size();
  const std::vector<std::string_view> fields = RankedFields(spec);
  RowFilter filter(spec.filters, fields);
  StreamedRows rows(n, view.txn().is_snapshot());
  std::vector<std::optional<NearestPool>> pools = PoolsOf(spec);
  for (size_t i = 0; i < n; ++i) {
    if (pools[i]) continue;
    // A loaded index in step with view needs neither the texts nor their
    // hashes (ScoreTextCandidates); should it fall behind by the time the
    // texts are scored, it reads the texts instead.
    if (MemoryIndexesInStep(*spec.engine, view)) continue;
    ASSIGN_OR_RETURN(std::optional<SeededHash> hasher, LoadedTextHasher(*spec.engine, spec.collection, fields[i]));
    if (hasher) rows.HashTexts(i, *hasher);
  }
  auto keep_partial = [&](std::string_view key, std::string_view bytes) -> Status {
    ASSIGN_OR_RETURN(std::optional<Value> doc, filter.Partial(bytes));
    if (!doc) return Ok();
    rows.AddRow(key);
    for (size_t i = 0; i < n; ++i) {
      const Value* v = get_path(*doc, fields[i]);
      if (v == nullptr) continue;
      if (pools[i]) {
        if (v->is_vector()) pools[i]->Offer(rows.LastKey(), v->as_vector());
      } else if (v->is_text()) {
        rows.AddText(i, v->as_text(), false);
      }
    }
    return Ok();
  };
  RawBatchWalk raw_walk(filter, std::span(fields).first(n), pools);
  std::shared_ptr<SharedWalk> sharing;
  if (raw_fields && shared && view.txn().is_snapshot() && WorkPool::Shared().helpers() > 0) {
    ASSIGN_OR_RETURN(const uint64_t count, view.view_count(spec.collection));
    if (count >= kSharedWalkRows) {
      ASSIGN_OR_RETURN(std::vector<std::string> splits,
                       view.view_split_keys(spec.collection, kPartsPerLane * (WorkPool::Shared().helpers() + 1) - 1));
      if (!splits.empty())
        sharing = std::make_shared<SharedWalk>(spec, view, filter, std::span(fields).first(n), rows,
                                               std::move(splits));
    }
  }
  struct AbandonOnThrow {
    SharedWalk* walk;
    ~AbandonOnThrow() {
      if (walk != nullptr) walk->Abandon();
    }
  } abandon{sharing.get()};
  auto serial = [&](std::span<const RowRef> batch) -> Result<bool> {
    if (raw_fields) {
      RETURN_IF_ERROR(raw_walk.Batch(batch, rows));
      return true;
    }
    for (size_t j = 0; j < batch.size(); ++j) {
      if (j + kRowsAhead < batch.size()) port::PrefetchBytes(batch[j + kRowsAhead].value.substr(0, kRowPrefetch));
      RETURN_IF_ERROR(keep_partial(batch[j].key, batch[j].value));
    }
    return true;
  };
  const Status walked = sharing ? sharing->Run(pools) : view.view_for_each_batch(spec.collection, serial);
  RETURN_IF_ERROR(walked);
  std::vector<SourceList> lists(n);
  for (size_t i = 0; i < n; ++i) {
    if (pools[i]) {
      lists[i] = pools[i]->Take();
      continue;
    }
    const std::vector<TextCandidate> candidates = sharing ? sharing->TextCandidates(i) : rows.TextCandidates(i);
    ASSIGN_OR_RETURN(lists[i], ScoreTextCandidates(*spec.engine, view, spec.collection, candidates,
                                                   std::get<TextSource>(spec.sources[i]), rows.Hasher(i)));
  }
  return WholeTail(spec, lists, view);
}

}  // namespace

Result<std::vector<QueryRow>> RankedTail(const QuerySpec& spec, std::vector<CandidateRow> rows,
                                         const std::vector<SourceList>& lists, const ReadView* whole) {
  std::vector<FusedEntry> fused = FuseLists(spec, lists);
  const std::unordered_map<std::string_view, size_t> by_key = RowsOfFused(rows, fused);
  auto doc_of = [&](std::string_view key) -> const Value* {
    auto it = by_key.find(key);
    return it == by_key.end() ? nullptr : &rows[it->second].second;
  };
  const VectorSource* vec = FirstVectorSource(spec);
  if (spec.mmr_lambda && vec != nullptr) {
    fused = ApplyMmr(std::move(fused), doc_of, vec->field, vec->query, vec->metric, *spec.mmr_lambda);
  }
  if (spec.order_by) {
    SortByOrder(
        fused, spec.order_by->field, spec.order_by->descending,
        [&](const FusedEntry& e) { return doc_of(e.key); }, [](const FusedEntry& e) { return std::string_view(e.key); });
  }
  apply_window(fused, spec.offset, spec.limit);
  std::vector<QueryRow> out;
  out.reserve(fused.size());
  for (FusedEntry& e : fused) {
    auto it = by_key.find(e.key);
    if (it == by_key.end()) return Fail(EngineError::InvalidArgument("key came from filtered set"));
    Value doc;
    if (whole != nullptr) {
      ASSIGN_OR_RETURN(std::optional<Value> read, get_document_via(*whole, spec.collection, e.key));
      if (!read) return Fail(EngineError::InvalidArgument("key came from filtered set"));
      doc = std::move(*read);
    } else {
      doc = std::move(rows[it->second].second);
    }
    if (spec.select) doc = project_fields(std::move(doc), *spec.select);
    out.push_back(QueryRow{std::move(e.key), std::move(doc), e.score});
  }
  return out;
}

Result<SourceList> ScoreSource(const QuerySpec& spec, const ReadView& view, const std::vector<CandidateRow>& rows,
                               const QuerySource& source) {
  if (const auto* t = std::get_if<TextSource>(&source))
    return ScoreTextSourceIndexed(*spec.engine, view, spec.collection, rows, *t);
  return ScoreVectorSource(rows, std::get<VectorSource>(source));
}

// Scores every candidate for every source; candidates nullopt = the whole
// collection, filtered. A walk keeps only what scoring and ordering read of
// each document, and the few documents returned are read whole at the end.
Result<std::vector<QueryRow>> ExactRoute(const QuerySpec& spec, const ReadView& view, CandidateRows candidates,
                                         const ExecuteOptions& options) {
  std::vector<SourceList> lists;
  std::vector<CandidateRow> rows;
  if (!candidates && !spec.order_by && !(spec.mmr_lambda && FirstVectorSource(spec) != nullptr)) {
    return StreamedExactRoute(spec, view, options.raw_field_reads && TopLevelSourceFields(spec),
                              options.shared_walk);
  }
  const VectorSource* only_vec = spec.sources.size() == 1 ? std::get_if<VectorSource>(&spec.sources[0]) : nullptr;
  if (!candidates && only_vec != nullptr) {
    lists.emplace_back();
    ASSIGN_OR_RETURN(rows, PooledVectorWalk(spec, view, *only_vec, lists.back()));
    return RankedTail(spec, std::move(rows), lists);
  }
  const ReadView* whole = nullptr;
  if (candidates) {
    rows = std::move(*candidates);
  } else {
    ASSIGN_OR_RETURN(rows, WalkFilteredPartial(spec, view, RankedFields(spec)));
    whole = &view;
  }
  for (const QuerySource& s : spec.sources) {
    ASSIGN_OR_RETURN(SourceList list, ScoreSource(spec, view, rows, s));
    lists.push_back(std::move(list));
  }
  return RankedTail(spec, std::move(rows), lists, whole);
}

}  // namespace pallix
