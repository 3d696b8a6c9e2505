// The phrase search that needs no index: each document's tokens are
// counted against the phrase, and the documents that hold it are scored by
// BM25 over the candidates alone.

#include "text/fts.h"

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <utility>

#include "base/lock.h"
#include "text/text.h"

namespace pallix {

namespace {

uint32_t SaturateU32(uint64_t n) { return n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n); }

// Past this many phrase tokens the counts come from one tally of the
// document's tokens: counting the document once per phrase token costs the
// product of the two lengths, minutes for a long phrase over long texts.
constexpr size_t kTallyPhrase = 8;

// counts[j] = the occurrences of phrase[j] among the document's tokens.
void CountTokens(std::span<const std::string> doc, std::span<const std::string> phrase,
                 std::vector<uint32_t>& counts) {
  counts.assign(phrase.size(), 0);
  if (phrase.size() <= kTallyPhrase) {
    for (size_t j = 0; j < phrase.size(); ++j) counts[j] = SaturateU32(std::count(doc.begin(), doc.end(), phrase[j]));
    return;
  }
  std::unordered_map<std::string_view, uint64_t> tally;
  for (const std::string& token : phrase) tally.emplace(token, 0);
  for (const std::string& token : doc) {
    const auto it = tally.find(token);
    if (it != tally.end()) ++it->second;
  }
  for (size_t j = 0; j < phrase.size(); ++j) counts[j] = SaturateU32(tally.find(phrase[j])->second);
}

// Fills counts and occurrences of candidate from the document's tokens.
void CountPhrase(std::span<const std::string> doc, std::span<const std::string> phrase, PhraseCandidate& candidate) {
  CountTokens(doc, phrase, candidate.counts);
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
