#include "query/sources.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "base/numeric.h"
#include "query/ordering.h"
#include "text/text.h"
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

// The in-memory and on-disk text and vector indexes are built and searched
// by the index layer's lifecycle functions; until a source can reach them
// it answers "no usable index", which the executor serves exactly.
Result<std::optional<std::vector<std::string>>> IndexTextCandidates(Engine&, const ReadView&, const std::string&,
                                                                    const TextSource&) {
  return std::optional<std::vector<std::string>>();
}

Result<std::optional<std::vector<std::string>>> IndexVectorCandidates(Engine&, const ReadView&, const std::string&,
                                                                      const VectorSource&) {
  return std::optional<std::vector<std::string>>();
}

}  // namespace pallix
