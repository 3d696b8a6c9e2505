#include "text/fts.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <utility>

#include "base/lock.h"
#include "base/numeric.h"
#include "text/text.h"

namespace pallix {

// ------------------------------------------------------------ text index

std::optional<uint64_t> TextIndex::doc_length(std::string_view key) const {
  auto it = doc_lengths_.find(key);
  if (it == doc_lengths_.end()) return std::nullopt;
  return it->second;
}

const PostingMap* TextIndex::postings(std::string_view term) const {
  auto it = postings_.find(term);
  return it == postings_.end() ? nullptr : &it->second;
}

const PositionList* TextIndex::positions(std::string_view term, std::string_view key) const {
  const PostingMap* docs = postings(term);
  if (docs == nullptr) return nullptr;
  auto it = docs->find(key);
  return it == docs->end() ? nullptr : &it->second;
}

const std::vector<std::string>* TextIndex::doc_terms(std::string_view key) const {
  auto it = doc_terms_.find(key);
  return it == doc_terms_.end() ? nullptr : &it->second;
}

// Positions are stored as u32, so at most 2^32 tokens of one text are
// indexed. A stored text is shorter than 4 GiB and every token but the last
// needs at least two bytes, so only a caller passing a larger text can reach
// the cap; wrapping positions instead would break their ascending order.
constexpr uint64_t kMaxIndexedTokens = uint64_t{UINT32_MAX} + 1;

void fts_add_document(TextIndex& index, std::string_view key, std::string_view text) {
  fts_remove_document(index, key);
  const std::vector<std::string> tokens = analyze_text(text);
  const uint64_t length = std::min<uint64_t>(tokens.size(), kMaxIndexedTokens);
  std::vector<std::string> distinct;
  for (uint64_t p = 0; p < length; ++p) {
    const std::string& term = tokens[p];
    auto it = index.postings_.find(term);
    if (it == index.postings_.end()) it = index.postings_.emplace(term, PostingMap()).first;
    auto doc = it->second.find(key);
    if (doc == it->second.end()) {
      doc = it->second.emplace(std::string(key), PositionList()).first;
      distinct.push_back(term);
    }
    doc->second.push_back(static_cast<uint32_t>(p));
  }
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  index.doc_terms_.insert_or_assign(std::string(key), std::move(distinct));
  index.doc_lengths_.insert_or_assign(std::string(key), length);
  index.total_tokens_ += length;
}

void fts_remove_document(TextIndex& index, std::string_view key) {
  if (auto terms = index.doc_terms_.find(key); terms != index.doc_terms_.end()) {
    for (const std::string& term : terms->second) {
      auto it = index.postings_.find(term);
      if (it == index.postings_.end()) continue;
      if (auto doc = it->second.find(key); doc != it->second.end()) it->second.erase(doc);
      if (it->second.empty()) index.postings_.erase(it);
    }
    index.doc_terms_.erase(terms);
  }
  if (auto len = index.doc_lengths_.find(key); len != index.doc_lengths_.end()) {
    index.total_tokens_ -= len->second;
    index.doc_lengths_.erase(len);
  }
}

// ------------------------------------------------------------ BM25
//
// Every expression below is written in the order it must be evaluated;
// the build forbids contraction into fused multiply-adds, so each operation
// rounds to float exactly as written.

float Bm25Idf(uint64_t doc_count, uint64_t doc_freq) {
  const float n = static_cast<float>(doc_count);
  const float df = static_cast<float>(doc_freq);
  return logf((n - df + 0.5f) / (df + 0.5f) + 1.0f);
}

std::optional<float> Bm25AverageLength(uint64_t total_tokens, uint64_t doc_count) {
  if (doc_count == 0) return std::nullopt;
  const float avg = static_cast<float>(total_tokens) / static_cast<float>(doc_count);
  return avg == 0.0f ? 1.0f : avg;
}

float Bm25Term(uint64_t tf, float idf, uint64_t doc_length, float avg_length) {
  if (tf == 0) return 0.0f;
  const float f = static_cast<float>(tf);
  const float dl = static_cast<float>(doc_length);
  return f * 2.2f * idf / ((dl / avg_length * 0.75f + 0.25f) * 1.2f + f);
}

float Bm25TermWith(float k1, float b, uint64_t tf, float idf, uint64_t doc_length, float avg_length) {
  if (tf == 0) return 0.0f;
  const float f = static_cast<float>(tf);
  const float dl = static_cast<float>(doc_length);
  return (k1 + 1.0f) * f * idf / (k1 * ((1.0f - b) + dl / avg_length * b) + f);
}

// ------------------------------------------------------------ ranking

namespace {

template <typename Item>
bool RanksBefore(const Item& a, const Item& b) {
  const int c = TotalCompare(a.score, b.score);
  if (c != 0) return c > 0;
  return a.key < b.key;  // std::string compares bytes as unsigned char
}

template <typename Item>
void SortAndCut(std::vector<Item>& items, uint64_t k) {
  if (k < items.size()) {
    std::partial_sort(items.begin(), items.begin() + static_cast<ptrdiff_t>(k), items.end(), RanksBefore<Item>);
    items.resize(k);
  } else {
    std::sort(items.begin(), items.end(), RanksBefore<Item>);
  }
}

}  // namespace

void RankAndCut(std::vector<ScoredKey>& items, uint64_t k) { SortAndCut(items, k); }
void RankAndCut(std::vector<ScoredDoc>& items, uint64_t k) { SortAndCut(items, k); }

// ------------------------------------------------------------ phrases

bool MatchesPhrase(std::span<const std::span<const uint32_t>> positions) {
  if (positions.empty()) return false;
  for (const uint32_t start : positions[0]) {
    bool all = true;
    for (size_t i = 1; i < positions.size() && all; ++i) {
      // In 64 bits: a start near 2^32 must not wrap round to a small
      // position and match there.
      const uint64_t want = uint64_t{start} + i;
      if (want > UINT32_MAX) return false;  // later starts only go further
      all = std::binary_search(positions[i].begin(), positions[i].end(), static_cast<uint32_t>(want));
    }
    if (all) return true;
  }
  return false;
}

std::vector<ScoredKey> SearchPhraseInIndex(const TextIndex& index, std::string_view phrase, uint64_t k) {
  const std::vector<std::string> tokens = analyze_text(phrase);
  const std::optional<float> avg = Bm25AverageLength(index.total_tokens(), index.doc_count());
  if (k == 0 || !avg || tokens.empty()) return {};
  std::vector<const PostingMap*> maps;
  std::vector<float> idfs;
  for (const std::string& token : tokens) {
    const PostingMap* docs = index.postings(token);
    if (docs == nullptr) return {};  // no document can hold the whole phrase
    maps.push_back(docs);
    idfs.push_back(Bm25Idf(index.doc_count(), docs->size()));
  }
  std::vector<ScoredKey> out;
  std::vector<std::span<const uint32_t>> lists(tokens.size());
  for (const auto& [key, first] : *maps[0]) {
    lists[0] = first;
    bool present = true;
    for (size_t i = 1; i < maps.size() && present; ++i) {
      auto it = maps[i]->find(key);
      present = it != maps[i]->end();
      if (present) lists[i] = it->second;
    }
    if (!present || !MatchesPhrase(lists)) continue;
    const uint64_t dl = index.doc_length(key).value_or(0);
    float score = -0.0f;
    for (size_t i = 0; i < lists.size(); ++i) score += Bm25Term(lists[i].size(), idfs[i], dl, *avg);
    out.push_back({key, score});
  }
  RankAndCut(out, k);
  return out;
}

// ------------------------------------------------------------ phrase fallback

namespace {

uint32_t SaturateU32(uint64_t n) { return n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n); }

// Fills counts and occurrences of candidate from the document's tokens.
void CountPhrase(std::span<const std::string> doc, std::span<const std::string> phrase, PhraseCandidate& candidate) {
  candidate.counts.assign(phrase.size(), 0);
  for (size_t j = 0; j < phrase.size(); ++j)
    candidate.counts[j] = SaturateU32(std::count(doc.begin(), doc.end(), phrase[j]));
  candidate.doc_length = doc.size();
  candidate.occurrences = 0;
  if (phrase.empty() || phrase.size() > doc.size()) return;
  for (size_t p = 0; p + phrase.size() <= doc.size(); ++p)
    if (std::equal(phrase.begin(), phrase.end(), doc.begin() + static_cast<ptrdiff_t>(p))) ++candidate.occurrences;
}

}  // namespace

Status phrase_match_doc(std::string_view field, std::span<const std::string> phrase_tokens, std::string_view key,
                        std::string_view value, std::vector<PhraseCandidate>& out) {
  ASSIGN_OR_RETURN(Value document, decode_value(value));
  const Value* text = get_path(document, field);
  if (text == nullptr || !text->is_text()) return Ok();
  const std::vector<std::string> tokens = analyze_text(text->as_text());
  PhraseCandidate candidate;
  candidate.key = std::string(key);
  CountPhrase(tokens, phrase_tokens, candidate);
  candidate.document = std::move(document);
  out.push_back(std::move(candidate));
  return Ok();
}

std::vector<uint64_t> phrase_doc_freqs(std::span<const PhraseCandidate> records, size_t begin, size_t end) {
  std::vector<uint64_t> freqs;
  for (size_t j = begin; j < end; ++j) {
    uint64_t df = 0;
    for (const PhraseCandidate& r : records)
      if (j < r.counts.size() && r.counts[j] != 0) ++df;
    freqs.push_back(df);
  }
  return freqs;
}

std::vector<ScoredDoc> bm25_score_docs(std::vector<PhraseCandidate> records, const Bm25DocParams& params) {
  std::vector<float> idfs;
  for (const uint64_t df : params.doc_freqs) idfs.push_back(Bm25Idf(params.doc_count, df));
  std::vector<ScoredDoc> out;
  for (PhraseCandidate& r : records) {
    if (r.occurrences == 0) continue;
    PALLIX_INVARIANT(r.counts.size() == idfs.size(), "one document frequency per phrase token");
    float score = -0.0f;
    for (size_t j = 0; j < idfs.size(); ++j) {
      const float term =
          r.counts[j] == 0 ? 0.0f
                           : Bm25TermWith(params.k1, params.b, r.counts[j], idfs[j], r.doc_length, params.avg_length);
      score += term;
    }
    out.push_back({std::move(r.key), std::move(r.document), score});
  }
  return out;
}

std::vector<ScoredDoc> RankPhraseCandidates(std::vector<PhraseCandidate> records, size_t phrase_len, uint64_t k) {
  uint64_t total = 0;
  for (const PhraseCandidate& r : records) total += r.doc_length;
  const std::optional<float> avg = Bm25AverageLength(total, records.size());
  if (phrase_len == 0 || k == 0 || !avg) return {};
  Bm25DocParams params;
  params.doc_count = records.size();
  params.avg_length = *avg;
  params.doc_freqs = phrase_doc_freqs(records, 0, phrase_len);
  std::vector<ScoredDoc> out = bm25_score_docs(std::move(records), params);
  RankAndCut(out, k);
  return out;
}

}  // namespace pallix
