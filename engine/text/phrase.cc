#include "text/phrase.h"

#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>

#include "text/disk_fts.h"
#include "text/text.h"

namespace pallix {
namespace {

// The rows of one distinct phrase token. Every row is counted (its document
// frequency), but only the rows of documents that every token read before
// it holds are kept: a document missing a token cannot match, and the
// first token read keeps all its rows.
struct TokenRows {
  std::string token;
  DftsPostings rows;
  uint64_t df = 0;
};

// Reads the rows of t.token, keeping those whose key is in narrow (sorted by
// key, as the rows arrive), or all of them when narrow is null.
Status ReadNarrowed(const ReadView& view, std::string_view ns, const DftsPostings* narrow, TokenRows& t) {
  size_t at = 0;
  return dfts_for_each_posting(view, ns, t.token, [&](std::string_view key, std::string_view value) {
    ++t.df;
    if (narrow != nullptr) {
      while (at < narrow->size() && narrow->key(at) < key) ++at;
      if (at == narrow->size() || narrow->key(at) != key) return;
    }
    t.rows.Add(key, value);
  });
}

// Scores the documents every token holds (the rows of the last token read)
// and offers those that would enter the top k, if the phrase occurs in
// them, to top; dl comes from the row of the phrase's first token. per_place
// maps each phrase token to its distinct token.
class DiskPhraseScorer {
 public:
  DiskPhraseScorer(const std::vector<TokenRows>& distinct, const std::vector<size_t>& per_place, uint64_t doc_count,
                   float avg, uint64_t k)
      : distinct_(distinct), per_place_(per_place), avg_(avg), top_(k), at_(distinct.size(), 0),
        positions_(distinct.size()), spans_(per_place.size()) {
    for (const size_t d : per_place_) idfs_.push_back(Bm25Idf(doc_count, distinct_[d].df));
  }

  std::vector<ScoredKey> Run() {
    const DftsPostings& common = distinct_.back().rows;
    for (size_t c = 0; c < common.size(); ++c) Offer(common.key(c));
    return top_.Take();
  }

 private:
  // Moves every token's cursor to key's row, which each holds.
  void SeekAll(std::string_view key) {
    for (size_t d = 0; d < distinct_.size(); ++d) {
      const DftsPostings& rows = distinct_[d].rows;
      while (rows.key(at_[d]) != key) ++at_[d];
    }
  }

  void Offer(std::string_view key) {
    SeekAll(key);
    // A row without positions (a short one) cannot hold an occurrence.
    for (const size_t d : per_place_)
      if (distinct_[d].rows.tf(at_[d]) == 0) return;
    const uint32_t dl = distinct_[per_place_[0]].rows.doc_length(at_[per_place_[0]]);
    float score = -0.0f;
    for (size_t i = 0; i < per_place_.size(); ++i) {
      const size_t d = per_place_[i];
      score += Bm25Term(distinct_[d].rows.tf(at_[d]), idfs_[i], dl, avg_);
    }
    if (!top_.Admits(score, key)) return;
    // Each distinct token's positions are decoded once; a token repeated
    // in the phrase shares them.
    for (size_t d = 0; d < distinct_.size(); ++d) distinct_[d].rows.Positions(at_[d], positions_[d]);
    for (size_t i = 0; i < per_place_.size(); ++i) spans_[i] = positions_[per_place_[i]];
    if (MatchesPhrase(spans_)) top_.Push(score, key);
  }

  const std::vector<TokenRows>& distinct_;
  const std::vector<size_t>& per_place_;
  const float avg_;
  TopKeys top_;
  std::vector<float> idfs_;                     // per phrase token
  std::vector<size_t> at_;                      // per distinct token: the current row
  std::vector<std::vector<uint32_t>> positions_;  // per distinct token, scratch
  std::vector<std::span<const uint32_t>> spans_;
};

}  // namespace

// Every token's rows are walked even once no document can match, so that a
// damaged row fails the search exactly as reading all of them does.
Result<std::vector<ScoredKey>> SearchPhraseOnDisk(const ReadView& view, std::string_view ns,
                                                  std::string_view phrase, uint64_t k) {
  if (k == 0) return std::vector<ScoredKey>{};
  ASSIGN_OR_RETURN(DftsMeta meta, dfts_read_meta_ro(view, ns));
  const std::vector<std::string> tokens = analyze_text(phrase);
  const std::optional<float> avg = Bm25AverageLength(meta.total_tokens, meta.doc_count);
  if (!avg || tokens.empty()) return std::vector<ScoredKey>{};
  std::vector<TokenRows> distinct;
  distinct.reserve(tokens.size());  // narrow points into it
  std::vector<size_t> per_place;
  // Keyed by views into tokens, which outlive the map: a long phrase of
  // many distinct tokens must not search the ones read before each time.
  std::unordered_map<std::string_view, size_t> seen;
  for (const std::string& token : tokens) {
    const auto [it, added] = seen.emplace(token, distinct.size());
    per_place.push_back(it->second);
    if (!added) continue;
    const DftsPostings* narrow = distinct.empty() ? nullptr : &distinct.back().rows;
    distinct.emplace_back();
    distinct.back().token = token;
    RETURN_IF_ERROR(ReadNarrowed(view, ns, narrow, distinct.back()));
    if (distinct.back().df == 0) return std::vector<ScoredKey>{};
  }
  return DiskPhraseScorer(distinct, per_place, meta.doc_count, *avg, k).Run();
}

Result<std::vector<ScoredDoc>> SearchPhraseByScan(const ReadView& view, std::string_view collection,
                                                  std::string_view field, std::string_view phrase, uint64_t k) {
  const std::vector<std::string> tokens = analyze_text(phrase);
  if (tokens.empty() || k == 0) return std::vector<ScoredDoc>{};
  std::vector<PhraseCandidate> records;
  RETURN_IF_ERROR(view.view_for_each(collection, [&](std::string_view key, std::string_view value) -> Result<bool> {
    RETURN_IF_ERROR(phrase_match_doc(field, tokens, key, value, records));
    return true;
  }));
  return RankPhraseCandidates(std::move(records), tokens.size(), k);
}

}  // namespace pallix
