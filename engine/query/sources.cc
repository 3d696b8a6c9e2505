#include "query/sources.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "base/numeric.h"
#include "base/port.h"
#include "base/work_pool.h"
#include "index/text_index.h"
#include "index/vector_index.h"
#include "query/ordering.h"
#include "text/disk_fts.h"
#include "text/fts.h"
#include "text/text.h"
#include "vector/hnsw.h"
#include "vector/quant.h"

namespace pallix {

namespace {

constexpr float kK1 = 1.2f;
constexpr float kB = 0.75f;

float Idf(float n, float df) { return std::log((n - df + 0.5f) / (df + 0.5f) + 1.0f); }

// tf * (k1 + 1) * idf / ((dl / avgdl * b + (1 - b)) * k1 + tf), in floats,
// with the constants written out as the phrase scorer writes them, so both
// give the same bits.
float TermScore(float tf, float idf, float dl, float avgdl) {
  return tf * 2.2f * idf / ((dl / avgdl * kB + 0.25f) * kK1 + tf);
}

std::vector<std::string> DistinctTerms(const std::string& query) {
  std::vector<std::string> terms = analyze_text(query);
  std::vector<std::string> out;
  for (std::string& t : terms) {
    if (std::find(out.begin(), out.end(), t) == out.end()) out.push_back(std::move(t));
  }
  return out;
}

// Candidates' texts are views of rows scattered over the store, each read
// in full (hashed or analysed) once: asking for a text a few candidates
// ahead overlaps its memory loads with the work on the ones before it.
constexpr size_t kPrefetchAhead = 4;

// Per candidate whose field is text: its key, its length and, per query
// term, how often it occurs (a row of counts per document, one column per
// term).
struct TermCounts {
  std::vector<std::string_view> keys;
  std::vector<float> lengths;
  std::vector<uint32_t> counts;
  uint64_t total_tokens = 0;
};

// The candidates' counts. from_index(candidate, counts) gives a document's
// length and fills its row of counts when an index knows the document as
// the candidate holds it, or nullopt (the row left at zero): the text is
// then analysed. Either way a document gets the same numbers, so the
// scores do not depend on which documents an index knew. reads_texts: the
// texts are read (by from_index or the analysis) and worth prefetching.
template <typename FromIndex>
Result<TermCounts> CountTerms(std::span<const TextCandidate> docs, const std::vector<std::string>& terms,
                              FromIndex from_index, bool reads_texts) {
  std::optional<TermCounter> counter;  // built for the first text analysed
  const size_t m = terms.size();
  TermCounts out;
  for (size_t i = 0; i < docs.size(); ++i) {
    const TextCandidate& doc = docs[i];
    if (reads_texts && i + kPrefetchAhead < docs.size()) port::PrefetchBytes(docs[i + kPrefetchAhead].text);
    out.counts.resize(out.counts.size() + m, 0);
    uint32_t* counts = out.counts.data() + out.counts.size() - m;
    ASSIGN_OR_RETURN(std::optional<uint64_t> length, from_index(doc, counts));
    if (!length) {
      if (!counter) counter.emplace(terms);
      length = counter->Count(doc.text, counts);
    }
    out.keys.push_back(doc.key);
    out.lengths.push_back(static_cast<float>(*length));
    out.total_tokens += *length;
  }
  return out;
}

// count(part) over the candidates, a part of kCountPart at a time on the
// threads of the WorkPool when there are many: the parts' counts put
// together in order are the whole's, so the scores are the same. The
// loaded index the parts read is held by the caller, under its lock, for
// the whole call, and reading it takes no lock of its own.
constexpr size_t kCountPart = 4096;

template <typename Count>
Result<TermCounts> CountTermsShared(std::span<const TextCandidate> docs, const Count& count) {
  const size_t parts = (docs.size() + kCountPart - 1) / kCountPart;
  if (parts < 2 || WorkPool::Shared().helpers() == 0) return count(docs);
  std::vector<std::optional<Result<TermCounts>>> counted(parts);
  WorkPool::Shared().ForEach(parts, [&](size_t i) {
    counted[i].emplace(count(docs.subspan(i * kCountPart, std::min(kCountPart, docs.size() - i * kCountPart))));
  });
  TermCounts out;
  size_t rows = 0, cells = 0;
  for (std::optional<Result<TermCounts>>& part : counted) {
    if (!part->has_value()) return Fail(std::move(part->error()));
    rows += (*part)->keys.size();
    cells += (*part)->counts.size();
  }
  out.keys.reserve(rows);
  out.lengths.reserve(rows);
  out.counts.reserve(cells);
  for (std::optional<Result<TermCounts>>& part : counted) {
    TermCounts& p = **part;
    out.keys.insert(out.keys.end(), p.keys.begin(), p.keys.end());
    out.lengths.insert(out.lengths.end(), p.lengths.begin(), p.lengths.end());
    out.counts.insert(out.counts.end(), p.counts.begin(), p.counts.end());
    out.total_tokens += p.total_tokens;
  }
  return out;
}

Result<std::optional<uint64_t>> NoIndex(const TextCandidate&, uint32_t*) {
  return std::optional<uint64_t>();
}

// BM25 over the counts: each document's score is summed term by term in
// query order from +0.0, as the index paths sum it.
SourceList RankCounts(const TermCounts& docs, size_t m, uint64_t k) {
  SourceList out;
  const size_t count = docs.keys.size();
  if (count == 0) return out;
  const float n = static_cast<float>(count);
  float avgdl = static_cast<float>(docs.total_tokens) / n;
  if (avgdl == 0.0f) avgdl = 1.0f;
  std::vector<float> scores(count, 0.0f);
  for (size_t j = 0; j < m; ++j) {
    uint64_t df = 0;
    for (size_t i = 0; i < count; ++i) df += docs.counts[i * m + j] != 0;
    if (df == 0) continue;
    const float idf = Idf(n, static_cast<float>(df));
    for (size_t i = 0; i < count; ++i) {
      const uint32_t tf = docs.counts[i * m + j];
      if (tf != 0) scores[i] += TermScore(static_cast<float>(tf), idf, docs.lengths[i], avgdl);
    }
  }
  TopKeys top(k);
  for (size_t i = 0; i < count; ++i) {
    if (scores[i] > 0.0f && top.Admits(scores[i], docs.keys[i])) top.Push(scores[i], docs.keys[i]);
  }
  for (ScoredKey& e : top.Take()) out.push_back({std::move(e.key), e.score});
  return out;
}

// The first i in [0, size) with !less(i) (size when none), for a sorted
// sequence searched for a run of targets: hint is where the last search
// ended, and while targets ascend the search gallops forward from it, so a
// walk in order costs about the gaps between targets rather than a
// bisection each. A target below the last starts again from 0.
template <typename Less>
size_t Seek(size_t size, size_t& hint, Less less) {
  size_t lo = std::min(hint, size);
  if (lo > 0 && !less(lo - 1)) lo = 0;
  size_t hi = lo, step = 1;
  while (hi < size && less(hi)) {
    lo = hi + 1;
    hi = lo + step;
    step *= 2;
  }
  hi = std::min(hi, size);
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (less(mid)) lo = mid + 1;
    else hi = mid;
  }
  hint = lo;
  return lo;
}

// Counts from a loaded in-memory index, for the documents it holds with the
// candidate's text; one it holds with another text (the index newer or
// older than the snapshot) is analysed. The candidates' hashes are used
// when taken with the index's own hasher (hashed_by).
class MemoryCounts {
 public:
  // in_step: the index holds what the candidates' snapshot holds
  // (MemoryIndexesInStep), so a candidate it holds has the text it holds.
  MemoryCounts(const TextIndex& index, const std::vector<std::string>& terms, const SeededHash* hashed_by,
               bool in_step)
      : index_(index),
        hints_(terms.size(), 0),
        hashed_(hashed_by != nullptr && *hashed_by == index.text_hasher()),
        in_step_(in_step) {
    for (const std::string& t : terms) docs_.push_back(index.term_docs(t));
  }
  // Whether the texts are read for more than the documents the index lacks.
  bool reads_texts() const { return !hashed_ && !in_step_; }
  Result<std::optional<uint64_t>> operator()(const TextCandidate& doc, uint32_t* counts) {
    const std::optional<uint32_t> id = Find(doc.key);
    if (!id) return std::optional<uint64_t>();
    if (!in_step_ && !(hashed_ ? index_.id_holds_hash(*id, doc.hash) : index_.id_holds_text(*id, doc.text)))
      return std::optional<uint64_t>();
    for (size_t j = 0; j < docs_.size(); ++j) {
      const TextIndex::TermDocs& d = docs_[j];
      const size_t i = Seek(d.ids.size(), hints_[j], [&](size_t at) { return d.ids[at] < *id; });
      if (i < d.ids.size() && d.ids[i] == *id) counts[j] = static_cast<uint32_t>(d.bounds[i + 1] - d.bounds[i]);
    }
    return std::optional<uint64_t>(index_.id_length(*id));
  }

 private:
  // A walk keeps its candidates in key order, and an index built from the
  // rows numbers them in key order too: the ids of ascending keys are then
  // found by walking the ids forward, a few string compares in one array
  // instead of a hash lookup each. Past kWalk ids, or for a key out of
  // order, the key map answers. Invariant: every live id below next_ has a
  // key at most last_.
  static constexpr size_t kWalk = 16;
  std::optional<uint32_t> Find(std::string_view key) {
    if (!index_.ids_follow_keys() || (last_ && key <= *last_)) return index_.id_of(key);
    last_ = key;
    for (size_t steps = 0; next_ < index_.id_limit() && steps < kWalk; ++next_, ++steps) {
      const auto id = static_cast<uint32_t>(next_);
      if (index_.id_length(id) == TextIndex::kRemoved) continue;
      const int c = index_.id_key(id).compare(key);
      if (c == 0) {
        ++next_;
        return id;
      }
      if (c > 0) return std::nullopt;
    }
    const std::optional<uint32_t> id = index_.id_of(key);
    if (id) next_ = *id + 1;
    return id;
  }

  const TextIndex& index_;
  std::vector<TextIndex::TermDocs> docs_;
  std::vector<size_t> hints_;
  bool hashed_;
  bool in_step_;
  size_t next_ = 0;
  std::optional<std::string_view> last_;
};

// Counts from a complete on-disk index, read through the candidates' own
// snapshot, so a document with a forward row is indexed as the candidate
// holds it. Few candidates against a large index read their posting rows
// one by one; otherwise each term's postings are read once and searched.
class DiskCounts {
 public:
  static Result<DiskCounts> Open(const ReadView& view, std::string ns, const std::vector<std::string>& terms,
                                 size_t candidates) {
    DiskCounts out(view, std::move(ns), terms);
    ASSIGN_OR_RETURN(DftsMeta meta, dfts_read_meta_ro(view, out.ns_));
    // A point read costs a descent of the tree, some tens of rows of a scan.
    out.point_ = candidates < meta.doc_count / 32;
    if (!out.point_) {
      out.postings_.resize(terms.size());
      for (size_t j = 0; j < terms.size(); ++j)
        RETURN_IF_ERROR(dfts_read_posting_rows(view, out.ns_, terms[j], out.postings_[j]));
    }
    return out;
  }
  Result<std::optional<uint64_t>> operator()(const TextCandidate& doc, uint32_t* counts) {
    const std::string_view key = doc.key;
    ASSIGN_OR_RETURN(std::optional<uint32_t> length, dfts_read_doc_length(*view_, ns_, key));
    if (!length) return std::optional<uint64_t>();
    for (size_t j = 0; j < terms_->size(); ++j) {
      if (point_) {
        ASSIGN_OR_RETURN(std::optional<std::string> row, view_->view_get(ns_, dfts_posting_key((*terms_)[j], key)));
        if (row) counts[j] = static_cast<uint32_t>(dfts_parse_posting(*row).positions.size());
        continue;
      }
      const DftsPostings& p = postings_[j];
      const size_t i = Seek(p.size(), hints_[j], [&](size_t at) { return p.key(at) < key; });
      if (i < p.size() && p.key(i) == key) counts[j] = p.tf(i);
    }
    return std::optional<uint64_t>(*length);
  }

 private:
  DiskCounts(const ReadView& view, std::string ns, const std::vector<std::string>& terms)
      : view_(&view), ns_(std::move(ns)), terms_(&terms), hints_(terms.size(), 0) {}
  const ReadView* view_;
  std::string ns_;
  const std::vector<std::string>* terms_;
  bool point_ = false;
  std::vector<DftsPostings> postings_;
  std::vector<size_t> hints_;
};

}  // namespace

namespace {

std::vector<TextCandidate> TextCandidates(const std::vector<CandidateRow>& rows, std::string_view field) {
  std::vector<TextCandidate> out;
  for (const auto& [key, doc] : rows) {
    const Value* v = get_path(doc, field);
    if (v != nullptr && v->is_text()) out.push_back({key, v->as_text()});
  }
  return out;
}

}  // namespace

SourceList ScoreTextSource(const std::vector<CandidateRow>& rows, const TextSource& source) {
  const std::vector<std::string> terms = DistinctTerms(source.query);
  if (terms.empty()) return {};
  Result<TermCounts> docs = CountTerms(TextCandidates(rows, source.field), terms, NoIndex, true);
  PALLIX_INVARIANT(docs.has_value(), "counting by analysis never fails");
  return RankCounts(*docs, terms.size(), source.k);
}

Result<SourceList> ScoreTextSourceIndexed(Engine& engine, const ReadView& view, const std::string& collection,
                                          const std::vector<CandidateRow>& rows, const TextSource& source) {
  return ScoreTextCandidates(engine, view, collection, TextCandidates(rows, source.field), source);
}

// The loaded in-memory index first, under "fts lock" for the whole count;
// then a complete on-disk one; else every text is analysed. An in-memory
// index not yet loaded is not built here: a filtered query with a handful
// of candidates would pay for analysing the whole collection.
Result<SourceList> ScoreTextCandidates(Engine& engine, const ReadView& view, const std::string& collection,
                                       std::span<const TextCandidate> texts, const TextSource& source,
                                       const SeededHash* hashed_by) {
  const std::vector<std::string> terms = DistinctTerms(source.query);
  if (terms.empty() || texts.empty()) return SourceList();
  std::optional<Result<TermCounts>> docs;
  ASSIGN_OR_RETURN(bool loaded, loaded_text_index_for(engine, collection, source.field, [&](const TextIndex& index) {
                     const bool in_step = MemoryIndexesInStep(engine, view);
                     docs.emplace(CountTermsShared(texts, [&](std::span<const TextCandidate> part) {
                       MemoryCounts from(index, terms, hashed_by, in_step);
                       const bool reads = from.reads_texts();
                       return CountTerms(part, terms, std::move(from), reads);
                     }));
                   }));
  if (!loaded) {
    ASSIGN_OR_RETURN(std::optional<std::string> ns, disk_text_index_namespace(engine, view, collection, source.field));
    if (ns) {
      ASSIGN_OR_RETURN(DiskCounts from, DiskCounts::Open(view, std::move(*ns), terms, texts.size()));
      docs.emplace(CountTerms(texts, terms, std::move(from), false));
    } else {
      docs.emplace(CountTerms(texts, terms, NoIndex, true));
    }
  }
  if (!docs->has_value()) return Fail(std::move(docs->error()));
  return RankCounts(**docs, terms.size(), source.k);
}

bool MemoryIndexesInStep(Engine& engine, const ReadView& view) {
  if (!view.txn().is_snapshot()) return false;
  Store& store = engine.store();
  // The turn first: a commit the snapshot holds whose upkeep is still to
  // come keeps the turn until that upkeep is done, and a commit after the
  // turn was seen free moves LastCommitId past the snapshot.
  return store.WriterTurnFree() && store.LastCommitId() == view.snapshot_tag().txn_id;
}

Result<std::optional<SeededHash>> LoadedTextHasher(Engine& engine, std::string_view collection,
                                                   std::string_view field) {
  std::optional<SeededHash> hasher;
  RETURN_IF_ERROR(loaded_text_index_for(engine, collection, field,
                                        [&](const TextIndex& index) { hasher = index.text_hasher(); }));
  return hasher;
}

void CutNearest(SourceList& list, uint64_t k) {
  auto nearer = [](const SourceEntry& a, const SourceEntry& b) {
    int c = TotalCompare(a.score, b.score);
    if (c != 0) return c < 0;
    return CompareKeys(a.key, b.key) < 0;
  };
  if (list.size() > k) {
    std::nth_element(list.begin(), list.begin() + static_cast<ptrdiff_t>(k), list.end(), nearer);
    list.resize(static_cast<size_t>(k));
  }
  std::sort(list.begin(), list.end(), nearer);
}

// Keys are copied only for the k nearest.
SourceList ScoreVectorSource(const std::vector<CandidateRow>& rows, const VectorSource& source) {
  SourceList out;
  if (source.k == 0) return out;
  struct Near {
    float distance;
    const std::string* key;
  };
  std::vector<Near> all;
  for (const auto& [key, doc] : rows) {
    const Value* v = get_path(doc, source.field);
    if (v == nullptr || !v->is_vector() || v->as_vector().size() != source.query.size()) continue;
    all.push_back({distance_by_metric(source.metric, source.query, v->as_vector()), &key});
  }
  auto nearer = [](const Near& a, const Near& b) {
    const int c = TotalCompare(a.distance, b.distance);
    if (c != 0) return c < 0;
    return CompareKeys(*a.key, *b.key) < 0;
  };
  if (all.size() > source.k) {
    std::nth_element(all.begin(), all.begin() + static_cast<ptrdiff_t>(source.k), all.end(), nearer);
    all.resize(static_cast<size_t>(source.k));
  }
  std::sort(all.begin(), all.end(), nearer);
  out.reserve(all.size());
  for (const Near& e : all) out.push_back({*e.key, e.distance});
  return out;
}

namespace {

// The postings of one term of an in-memory index, walked by id; removed
// documents are skipped.
class MemoryCursor {
 public:
  MemoryCursor(const TextIndex& index, std::string_view term) : index_(index), docs_(index.term_docs(term)) {
    Settle();
  }
  bool Done() const { return at_ == docs_.ids.size(); }
  uint32_t Head() const { return docs_.ids[at_]; }
  uint64_t Count() const { return docs_.bounds[at_ + 1] - docs_.bounds[at_]; }
  void Next() {
    ++at_;
    Settle();
  }

 private:
  void Settle() {
    while (!Done() && index_.id_length(Head()) == TextIndex::kRemoved) ++at_;
  }
  const TextIndex& index_;
  TextIndex::TermDocs docs_;
  size_t at_ = 0;
};

// The posting rows of one term of an on-disk index, walked in key order.
class DiskCursor {
 public:
  explicit DiskCursor(const DftsPostings& rows) : rows_(rows) {}
  bool Done() const { return at_ == rows_.size(); }
  std::string_view Head() const { return rows_.key(at_); }
  float Tf() const { return static_cast<float>(rows_.tf(at_)); }
  float Dl() const { return static_cast<float>(rows_.doc_length(at_)); }
  void Next() { ++at_; }

 private:
  const DftsPostings& rows_;
  size_t at_ = 0;
};

// BM25 over an index's statistics: docs documents of average length avgdl,
// and per distinct query term (in query order) the cursor over its
// postings and its idf. The postings are walked side by side in document
// order, so each document's score is summed in one go, in query-term order
// from +0.0, and offered at once to the top k: the same sum, term by term,
// that accumulating every term's postings into a per-document total gives.
// Documents whose score is not positive are left out. emit(doc, score) is
// called per document.
template <typename Cursor, typename Emit>
void SumByDocument(std::vector<Cursor>& cursors, const std::vector<float>& idfs, float avgdl, Emit emit) {
  std::vector<size_t> live;  // cursors not done, in term order
  for (size_t j = 0; j < cursors.size(); ++j)
    if (!cursors[j].Done()) live.push_back(j);
  while (!live.empty()) {
    auto doc = cursors[live[0]].Head();
    for (size_t a = 1; a < live.size(); ++a) doc = std::min(doc, cursors[live[a]].Head());
    float score = 0.0f;
    size_t kept = 0;
    for (const size_t j : live) {
      Cursor& c = cursors[j];
      if (c.Head() == doc) {
        score += TermScore(c.Tf(), idfs[j], c.Dl(), avgdl);
        c.Next();
      }
      if (!c.Done()) live[kept++] = j;
    }
    live.resize(kept);
    if (score > 0.0f) emit(doc, score);
  }
}

// The average length as the exact scoring computes it; nullopt for an
// empty index.
std::optional<float> AverageLength(uint64_t n, uint64_t total) {
  if (n == 0) return std::nullopt;
  const float avgdl = static_cast<float>(total) / static_cast<float>(n);
  return avgdl == 0.0f ? 1.0f : avgdl;
}

std::vector<std::string> TakeKeys(TopKeys& top) {
  std::vector<std::string> out;
  for (ScoredKey& e : top.Take()) out.push_back(std::move(e.key));
  return out;
}

// The smallest id under the live cursors (those not done, in term order),
// with in tfs each term's count there (0 for a term without it); the
// cursors at it move past it, and those done leave live.
uint32_t TakeNextDoc(std::vector<MemoryCursor>& cursors, std::vector<size_t>& live, std::vector<uint64_t>& tfs) {
  uint32_t doc = cursors[live[0]].Head();
  for (size_t a = 1; a < live.size(); ++a) doc = std::min(doc, cursors[live[a]].Head());
  std::fill(tfs.begin(), tfs.end(), 0);
  size_t kept = 0;
  for (const size_t j : live) {
    MemoryCursor& c = cursors[j];
    if (c.Head() == doc) {
      tfs[j] = c.Count();
      c.Next();
    }
    if (!c.Done()) live[kept++] = j;
  }
  live.resize(kept);
  return doc;
}

// Best first, ties by key, first k; a term no document holds adds nothing.
// The postings are walked side by side by id as in SumByDocument, and a
// document of an index has one length for all its terms, so LengthCutoffs
// skip the scoring of documents that cannot enter (idf is positive in an
// index, where df <= N).
std::vector<std::string> MemoryTextKeys(const TextIndex& index, const std::vector<std::string>& terms, uint64_t k) {
  const std::optional<float> avgdl = AverageLength(index.doc_count(), index.total_tokens());
  if (!avgdl || terms.empty() || k == 0) return {};
  const size_t m = terms.size();
  const auto n = static_cast<float>(index.doc_count());
  std::vector<MemoryCursor> cursors;
  std::vector<float> idfs;
  std::vector<size_t> live;  // cursors not done, in term order
  for (size_t j = 0; j < m; ++j) {
    cursors.emplace_back(index, terms[j]);
    idfs.push_back(Idf(n, static_cast<float>(index.doc_freq(terms[j]))));
    if (!cursors.back().Done()) live.push_back(j);
  }
  TopKeys top(k);
  LengthCutoffs cutoffs(m);
  std::vector<uint64_t> tfs(m);
  while (!live.empty()) {
    const uint32_t doc = TakeNextDoc(cursors, live, tfs);
    const uint64_t dl = index.id_length(doc);
    const size_t code = cutoffs.Code(m, [&](size_t j) { return tfs[j]; });
    if (cutoffs.Out(code, dl)) continue;
    float score = 0.0f;
    for (size_t j = 0; j < m; ++j)
      if (tfs[j] != 0) score += TermScore(static_cast<float>(tfs[j]), idfs[j], static_cast<float>(dl), *avgdl);
    if (!(score > 0.0f)) continue;
    // Most documents lose on the score alone; the key (another array, far
    // from the postings) is read only when it may decide.
    if (top.Excludes(score)) {
      cutoffs.MarkOut(code, dl);
      continue;
    }
    const std::string_view key = index.id_key(doc);
    if (top.Admits(score, key)) top.Push(score, key);
  }
  return TakeKeys(top);
}

// As MemoryTextKeys, with a term's document frequency the number of its
// posting rows (damaged ones included).
Result<std::vector<std::string>> DiskTextKeys(const ReadView& view, const std::string& ns,
                                              const std::vector<std::string>& terms, uint64_t k) {
  ASSIGN_OR_RETURN(DftsMeta meta, dfts_read_meta_ro(view, ns));
  std::vector<DftsPostings> read(terms.size());
  for (size_t j = 0; j < terms.size(); ++j) RETURN_IF_ERROR(dfts_read_posting_rows(view, ns, terms[j], read[j]));
  const std::optional<float> avgdl = AverageLength(meta.doc_count, meta.total_tokens);
  if (!avgdl || terms.empty()) return std::vector<std::string>();
  const auto n = static_cast<float>(meta.doc_count);
  std::vector<DiskCursor> cursors;
  std::vector<float> idfs;
  for (const DftsPostings& rows : read) {
    cursors.emplace_back(rows);
    idfs.push_back(Idf(n, static_cast<float>(rows.size())));
  }
  TopKeys top(k);
  SumByDocument(cursors, idfs, *avgdl, [&](std::string_view key, float score) {
    if (top.Admits(score, key)) top.Push(score, key);
  });
  return TakeKeys(top);
}

std::vector<std::string> HitKeys(std::vector<HnswHit> hits) {
  std::vector<std::string> keys;
  keys.reserve(hits.size());
  for (HnswHit& h : hits) keys.push_back(std::move(h.key));
  return keys;
}

}  // namespace

// The field's in-memory index first (built on first use), then a complete
// on-disk one; an on-disk build still running answers nothing here, so the
// source is scored exactly over every candidate.
Result<std::optional<std::vector<std::string>>> IndexTextCandidates(Engine& engine, const ReadView& view,
                                                                    const std::string& collection,
                                                                    const TextSource& source,
                                                                    std::optional<uint64_t> count, bool* in_memory) {
  const std::vector<std::string> terms = DistinctTerms(source.query);
  const uint64_t k = count.value_or(source.k);
  std::vector<std::string> keys;
  ASSIGN_OR_RETURN(bool loaded, memory_text_index_for(engine, collection, source.field, [&](const TextIndex& index) {
                     keys = MemoryTextKeys(index, terms, k);
                   }));
  if (in_memory != nullptr) *in_memory = loaded;
  if (loaded) return std::optional<std::vector<std::string>>(std::move(keys));
  ASSIGN_OR_RETURN(std::optional<std::string> ns, disk_text_index_namespace(engine, view, collection, source.field));
  if (!ns) return std::optional<std::vector<std::string>>();
  ASSIGN_OR_RETURN(keys, DiskTextKeys(view, *ns, terms, k));
  return std::optional<std::vector<std::string>>(std::move(keys));
}

// The in-memory graph when its dimension (once fixed) is the query's
// length, else a complete on-disk graph; a mismatch or no index answers
// nothing, and the source is scored exactly.
Result<std::optional<std::vector<std::string>>> IndexVectorCandidates(Engine& engine, const ReadView& view,
                                                                      const std::string& collection,
                                                                      const VectorSource& source,
                                                                      std::optional<uint64_t> count, bool* in_memory) {
  const uint64_t k = count.value_or(source.k);
  std::optional<std::vector<HnswHit>> hits;
  ASSIGN_OR_RETURN(bool loaded,
                   memory_vector_index_for(engine, collection, source.field, [&](const HnswIndex& graph) {
                     if (!graph.dim() || *graph.dim() == source.query.size()) {
                       hits = hnsw_search(graph, source.query, k);
                     }
                   }));
  if (in_memory != nullptr) *in_memory = loaded;
  if (loaded) {
    if (!hits) return std::optional<std::vector<std::string>>();
    return std::optional<std::vector<std::string>>(HitKeys(std::move(*hits)));
  }
  ASSIGN_OR_RETURN(hits, disk_vector_index_search(engine, view, collection, source.field, source.query, k));
  if (!hits) return std::optional<std::vector<std::string>>();
  return std::optional<std::vector<std::string>>(HitKeys(std::move(*hits)));
}

}  // namespace pallix
