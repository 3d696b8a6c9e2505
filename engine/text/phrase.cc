#include "text/phrase.h"

#include <algorithm>
#include <optional>
#include <span>
#include <string>

#include "text/disk_fts.h"
#include "text/text.h"

namespace pallix {
namespace {

// The posting of key among postings sorted by key, or null.
const DftsPosting* FindPosting(const std::vector<DftsPosting>& postings, std::string_view key) {
  auto it = std::lower_bound(postings.begin(), postings.end(), key,
                             [](const DftsPosting& p, std::string_view k) { return p.key < k; });
  return it != postings.end() && it->key == key ? &*it : nullptr;
}

// Scores the candidates of the first token's postings that hold the whole
// phrase; dl comes from the first token's row.
std::vector<ScoredKey> ScoreCandidates(const std::vector<std::vector<DftsPosting>>& per_token,
                                       const std::vector<float>& idfs, float avg) {
  std::vector<ScoredKey> out;
  std::vector<std::span<const uint32_t>> lists(per_token.size());
  for (const DftsPosting& first : per_token[0]) {
    lists[0] = first.positions;
    bool present = true;
    for (size_t i = 1; i < per_token.size() && present; ++i) {
      const DftsPosting* p = FindPosting(per_token[i], first.key);
      present = p != nullptr;
      if (present) lists[i] = p->positions;
    }
    if (!present || !MatchesPhrase(lists)) continue;
    float score = -0.0f;
    for (size_t i = 0; i < lists.size(); ++i) score += Bm25Term(lists[i].size(), idfs[i], first.doc_length, avg);
    out.push_back({first.key, score});
  }
  return out;
}

}  // namespace

Result<std::vector<ScoredKey>> SearchPhraseOnDisk(const ReadView& view, std::string_view ns,
                                                  std::string_view phrase, uint64_t k) {
  if (k == 0) return std::vector<ScoredKey>{};
  ASSIGN_OR_RETURN(DftsMeta meta, dfts_read_meta_ro(view, ns));
  const std::vector<std::string> tokens = analyze_text(phrase);
  const std::optional<float> avg = Bm25AverageLength(meta.total_tokens, meta.doc_count);
  if (!avg || tokens.empty()) return std::vector<ScoredKey>{};
  std::vector<std::vector<DftsPosting>> per_token;
  std::vector<float> idfs;
  for (const std::string& token : tokens) {
    ASSIGN_OR_RETURN(std::vector<DftsPosting> postings, dfts_read_postings(view, ns, token));
    if (postings.empty()) return std::vector<ScoredKey>{};
    idfs.push_back(Bm25Idf(meta.doc_count, postings.size()));
    per_token.push_back(std::move(postings));
  }
  std::vector<ScoredKey> out = ScoreCandidates(per_token, idfs, *avg);
  RankAndCut(out, k);
  return out;
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
