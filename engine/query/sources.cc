#include "query/sources.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <span>
#include <string_view>

#include "base/numeric.h"
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

struct AnalysedDoc {
  const std::string* key;
  std::unordered_map<std::string, uint32_t> tf;
  float dl = 0.0f;
};

float Idf(float n, float df) { return std::log((n - df + 0.5f) / (df + 0.5f) + 1.0f); }

// tf * (k1 + 1) * idf / ((dl / avgdl * b + (1 - b)) * k1 + tf), in floats,
// with the constants written out as the phrase scorer writes them, so both
// give the same bits.
float TermScore(float tf, float idf, float dl, float avgdl) {
  return tf * 2.2f * idf / ((dl / avgdl * kB + 0.25f) * kK1 + tf);
}

bool BetterScore(const SourceEntry& a, const SourceEntry& b) {
  int c = TotalCompare(a.score, b.score);
  if (c != 0) return c > 0;
  return CompareKeys(a.key, b.key) < 0;
}

std::vector<std::string> DistinctTerms(const std::string& query) {
  std::vector<std::string> terms = analyze_text(query);
  std::vector<std::string> out;
  for (std::string& t : terms) {
    if (std::find(out.begin(), out.end(), t) == out.end()) out.push_back(std::move(t));
  }
  return out;
}

}  // namespace

SourceList ScoreTextSource(const std::vector<CandidateRow>& rows, const TextSource& source) {
  std::vector<std::string> terms = DistinctTerms(source.query);
  std::vector<AnalysedDoc> docs;
  uint64_t total_tokens = 0;
  for (const auto& [key, doc] : rows) {
    const Value* v = get_path(doc, source.field);
    if (v == nullptr || !v->is_text()) continue;
    AnalysedDoc d{&key, {}, 0.0f};
    std::vector<std::string> tokens = analyze_text(v->as_text());
    d.dl = static_cast<float>(tokens.size());
    total_tokens += tokens.size();
    for (std::string& t : tokens) {
      if (std::find(terms.begin(), terms.end(), t) != terms.end()) ++d.tf[t];
    }
    docs.push_back(std::move(d));
  }
  SourceList out;
  if (docs.empty() || terms.empty()) return out;
  const float n = static_cast<float>(docs.size());
  float avgdl = static_cast<float>(total_tokens) / n;
  if (avgdl == 0.0f) avgdl = 1.0f;
  std::vector<float> scores(docs.size(), 0.0f);
  for (const std::string& term : terms) {
    uint64_t df = 0;
    for (const AnalysedDoc& d : docs) df += d.tf.count(term);
    if (df == 0) continue;
    const float idf = Idf(n, static_cast<float>(df));
    for (size_t i = 0; i < docs.size(); ++i) {
      auto it = docs[i].tf.find(term);
      if (it != docs[i].tf.end()) scores[i] += TermScore(static_cast<float>(it->second), idf, docs[i].dl, avgdl);
    }
  }
  for (size_t i = 0; i < docs.size(); ++i) {
    if (scores[i] > 0.0f) out.push_back({*docs[i].key, scores[i]});
  }
  std::sort(out.begin(), out.end(), BetterScore);
  if (out.size() > source.k) out.resize(static_cast<size_t>(source.k));
  return out;
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

SourceList ScoreVectorSource(const std::vector<CandidateRow>& rows, const VectorSource& source) {
  SourceList out;
  if (source.k == 0) return out;
  for (const auto& [key, doc] : rows) {
    const Value* v = get_path(doc, source.field);
    if (v == nullptr || !v->is_vector() || v->as_vector().size() != source.query.size()) continue;
    out.push_back({key, distance_by_metric(source.metric, source.query, v->as_vector())});
  }
  CutNearest(out, source.k);
  return out;
}

namespace {

// One posting of a term query: the document, its term frequency and length.
struct TermHit {
  std::string_view key;
  uint64_t tf;
  uint64_t dl;
};

// BM25 over an index's statistics: n documents, total tokens, and per
// distinct query term its postings. Best first, ties by key, first k.
template <typename PostingsOf>
std::vector<std::string> TermQueryKeys(const std::vector<std::string>& terms, uint64_t n, uint64_t total, uint64_t k,
                                       PostingsOf postings_of) {
  std::vector<std::string> out;
  if (n == 0 || terms.empty()) return out;
  const float docs = static_cast<float>(n);
  float avgdl = static_cast<float>(total) / docs;
  if (avgdl == 0.0f) avgdl = 1.0f;
  std::unordered_map<std::string, float> scores;
  for (const std::string& term : terms) {
    std::vector<TermHit> hits = postings_of(term);
    if (hits.empty()) continue;
    const float idf = Idf(docs, static_cast<float>(hits.size()));
    for (const TermHit& h : hits) {
      scores[std::string(h.key)] += TermScore(static_cast<float>(h.tf), idf, static_cast<float>(h.dl), avgdl);
    }
  }
  SourceList ranked;
  for (auto& [key, score] : scores) {
    if (score > 0.0f) ranked.push_back({key, score});
  }
  std::sort(ranked.begin(), ranked.end(), BetterScore);
  if (ranked.size() > k) ranked.resize(static_cast<size_t>(k));
  for (SourceEntry& e : ranked) out.push_back(std::move(e.key));
  return out;
}

std::vector<std::string> MemoryTextKeys(const TextIndex& index, const std::vector<std::string>& terms, uint64_t k) {
  return TermQueryKeys(terms, index.doc_count(), index.total_tokens(), k, [&](const std::string& term) {
    std::vector<TermHit> hits;
    index.VisitPostings(term, [&](std::string_view key, std::span<const uint32_t> positions, uint64_t dl) {
      hits.push_back({key, positions.size(), dl});
    });
    return hits;
  });
}

Result<std::vector<std::string>> DiskTextKeys(const ReadView& view, const std::string& ns,
                                              const std::vector<std::string>& terms, uint64_t k) {
  ASSIGN_OR_RETURN(DftsMeta meta, dfts_read_meta_ro(view, ns));
  std::vector<std::vector<DftsPosting>> read;
  for (const std::string& term : terms) {
    ASSIGN_OR_RETURN(std::vector<DftsPosting> postings, dfts_read_postings(view, ns, term));
    read.push_back(std::move(postings));
  }
  size_t next = 0;
  return TermQueryKeys(terms, meta.doc_count, meta.total_tokens, k, [&](const std::string&) {
    std::vector<TermHit> hits;
    for (const DftsPosting& p : read[next]) hits.push_back({p.key, p.positions.size(), p.doc_length});
    ++next;
    return hits;
  });
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
                                                                    const TextSource& source) {
  const std::vector<std::string> terms = DistinctTerms(source.query);
  std::vector<std::string> keys;
  ASSIGN_OR_RETURN(bool in_memory, memory_text_index_for(engine, collection, source.field, [&](const TextIndex& index) {
                     keys = MemoryTextKeys(index, terms, source.k);
                   }));
  if (in_memory) return std::optional<std::vector<std::string>>(std::move(keys));
  ASSIGN_OR_RETURN(std::optional<std::string> ns, disk_text_index_namespace(engine, collection, source.field));
  if (!ns) return std::optional<std::vector<std::string>>();
  ASSIGN_OR_RETURN(keys, DiskTextKeys(view, *ns, terms, source.k));
  return std::optional<std::vector<std::string>>(std::move(keys));
}

// The in-memory graph when its dimension (once fixed) is the query's
// length, else a complete on-disk graph; a mismatch or no index answers
// nothing, and the source is scored exactly.
Result<std::optional<std::vector<std::string>>> IndexVectorCandidates(Engine& engine, const ReadView& view,
                                                                      const std::string& collection,
                                                                      const VectorSource& source) {
  std::optional<std::vector<HnswHit>> hits;
  ASSIGN_OR_RETURN(bool in_memory,
                   memory_vector_index_for(engine, collection, source.field, [&](const HnswIndex& graph) {
                     if (!graph.dim() || *graph.dim() == source.query.size()) {
                       hits = hnsw_search(graph, source.query, source.k);
                     }
                   }));
  if (in_memory) {
    if (!hits) return std::optional<std::vector<std::string>>();
    return std::optional<std::vector<std::string>>(HitKeys(std::move(*hits)));
  }
  ASSIGN_OR_RETURN(hits, disk_vector_index_search(engine, view, collection, source.field, source.query, source.k));
  if (!hits) return std::optional<std::vector<std::string>>();
  return std::optional<std::vector<std::string>>(HitKeys(std::move(*hits)));
}

}  // namespace pallix
