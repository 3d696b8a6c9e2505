// The in-memory text index and BM25 scoring.
//
// TextIndex is the positional inverted index of one text field of one
// collection, held only in memory: the index layer builds it from the
// collection's rows on first use, keeps it in the engine's map of loaded
// text indexes and updates it after each committed write with
// fts_add_document / fts_remove_document. Phrase search and the query
// executor's text sources read it to score documents with BM25.
//
// The BM25 half of this module is pure arithmetic shared by every text path
// (in-memory index, on-disk index, the full-scan phrase fallback, the query
// executor): one variant, k1 = 1.2 and b = 0.75, computed in 32-bit floats
// in a fixed operation order with the single-precision logarithm, so that
// every path gives the same bits for the same statistics. Results are ranked
// by score descending in the engine's float total order, ties by key bytes
// ascending.
//
// The phrase fallback (phrase_match_doc, phrase_doc_freqs, bm25_score_docs,
// RankPhraseCandidates) scores a collection without any index and gives the
// same keys and scores as SearchPhraseInIndex over an index of the same
// documents.
//
// Thread-safety: TextIndex has no lock of its own. Every caller (index
// build, after-commit update, phrase search, query executor) holds the
// engine's "fts lock" around every call that reads or changes one. All
// other functions here are pure.

#ifndef PALLIX_TEXT_FTS_H_
#define PALLIX_TEXT_FTS_H_

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/error.h"
#include "base/numeric.h"
#include "base/siphash.h"
#include "doc/value.h"

namespace pallix {

// Maps keyed by user bytes (terms, document keys) use a per-map seeded hash.
template <typename V>
using BytesMap = std::unordered_map<std::string, V, SeededHash, std::equal_to<>>;

// Token positions of one term in one document, strictly ascending.
using PositionList = std::vector<uint32_t>;

// ------------------------------------------------------------ text index

// Layout: every document gets a dense id (u32) when it is added, with its
// key, length and distinct terms kept in arrays indexed by id; the key -> id
// map serves only adds, removals and the per-key reads. Each term holds its
// postings as parallel arrays ordered by id: the ids, and bounds into one
// pool of positions per term. A new document takes the next id, so an add
// only appends. A removal leaves its id in the postings as a tombstone
// (length kRemoved) that readers skip; a term is compacted when its
// tombstones outnumber its live postings, and all ids are renumbered (in
// order, so postings stay sorted) when removed documents outnumber live
// ones. Either way the work is paid for by the removals that caused it.
//
// Invariants, kept by the two operations below:
//  - the documents of the index are the live ids, each in the key map; a
//    document whose text yields no token is a document with length 0 and
//    no terms;
//  - a live d is under t in the postings exactly when t is in the terms of
//    d, with at least one position; a term is present only while some live
//    document holds it, and its live count is its document frequency;
//  - total_tokens() is the sum of the live documents' lengths.
class TextIndex {
 public:
  TextIndex() = default;

  // The number of documents, stop-word-only ones included.
  uint64_t doc_count() const { return live_docs_; }
  // The sum of all document lengths.
  uint64_t total_tokens() const { return total_tokens_; }
  // The token count of a document; nullopt when the key is not indexed.
  std::optional<uint64_t> doc_length(std::string_view key) const;
  // How many documents hold term; 0 when none does.
  uint64_t doc_freq(std::string_view term) const;
  // The positions of a term in a document; nullopt when it holds none.
  std::optional<PositionList> positions(std::string_view term, std::string_view key) const;
  // The distinct terms of a document, bytewise ascending; nullopt when the
  // key is not indexed.
  std::optional<std::vector<std::string>> doc_terms(std::string_view key) const;
  // Every term some document holds, bytewise ascending (for checks).
  std::vector<std::string> terms() const;
  // Calls fn(key, positions, doc_length) for each document holding term, in
  // no promised order; the views live until the index next changes.
  template <typename Fn>
  void VisitPostings(std::string_view term, Fn&& fn) const;

  // ---- by dense document id, for scorers that walk the postings of several
  // terms side by side and keep per-document state in arrays.

  // The length of a removed document's id until the ids are renumbered.
  static constexpr uint64_t kRemoved = UINT64_MAX;

  // One term's postings, ascending by id, removed documents included (their
  // id_length is kRemoved): ids[i] holds the term bounds[i + 1] - bounds[i]
  // times. The views live until the index next changes.
  struct TermDocs {
    std::span<const uint32_t> ids;
    std::span<const uint64_t> bounds;
  };
  // The postings of term; empty spans when no document holds it.
  TermDocs term_docs(std::string_view term) const;
  // The length of the document with id (one of some TermDocs' ids), or
  // kRemoved.
  uint64_t id_length(uint32_t id) const { return lengths_[id]; }
  // The key of the document with id, which is not removed.
  std::string_view id_key(uint32_t id) const { return keys_[id]; }

  // The id of the document under key; nullopt when the key is not indexed.
  std::optional<uint32_t> id_of(std::string_view key) const { return IdOf(key); }
  // One past the largest id (removed ones included).
  size_t id_limit() const { return keys_.size(); }
  // Whether ids ascend with keys among the documents (as when the index is
  // built from rows in key order), so that a reader given keys in
  // ascending order can find their ids by walking the ids forward.
  bool ids_follow_keys() const { return ids_follow_keys_; }
  // Whether the document with id (not removed) was added with exactly this
  // text. A filtered scorer reads its candidates from a snapshot while the
  // index follows every commit, so either may be ahead of the other: only a
  // document the index holds as the snapshot has it can take its length and
  // term counts from the index. Texts are compared through a keyed 64-bit
  // hash kept per document, the key drawn per index, so that no crafted
  // text can aim at a collision.
  bool id_holds_text(uint32_t id, std::string_view text) const { return text_hashes_[id] == text_hash_(text); }
  // The same test for a text hashed ahead with text_hasher() (a copy of
  // which a reader may take and use while it holds no lock): a walk hashes
  // each text while its bytes are still in cache, and scores later.
  bool id_holds_hash(uint32_t id, uint64_t hash) const { return text_hashes_[id] == hash; }
  const SeededHash& text_hasher() const { return text_hash_; }

 private:
  using DocId = uint32_t;
  using TermId = uint32_t;

  struct Postings {
    std::string term;
    std::vector<DocId> docs;  // ascending; may hold removed ids
    // The positions of docs[i] are pool[bounds[i], bounds[i + 1]).
    std::vector<uint64_t> bounds = {0};
    std::vector<uint32_t> pool;
    uint64_t live = 0;  // postings of live documents: the document frequency

    uint64_t Tf(size_t i) const { return bounds[i + 1] - bounds[i]; }
    std::span<const uint32_t> At(size_t i) const {
      return {pool.data() + bounds[i], static_cast<size_t>(Tf(i))};
    }
  };

  friend void fts_add_document(TextIndex& index, std::string_view key, std::string_view text);
  friend void fts_remove_document(TextIndex& index, std::string_view key);
  friend class PhraseScorer;

  const Postings* Find(std::string_view term) const;
  std::optional<DocId> IdOf(std::string_view key) const;
  void Add(std::string_view key, std::string_view text);
  void Remove(std::string_view key);
  DocId NewDoc(std::string_view key, uint64_t length, uint64_t text_hash);
  TermId TermFor(const std::string& term);
  void FreeTerm(TermId t);
  template <typename Renumber>
  void CompactPostings(Postings& p, Renumber renumber);
  void RenumberDocs();

  BytesMap<TermId> term_ids_;
  std::vector<Postings> terms_;  // by term id; a freed id has no term
  std::vector<TermId> free_terms_;
  BytesMap<DocId> doc_ids_;  // live documents only
  std::vector<std::string> keys_;
  std::vector<uint64_t> lengths_;
  std::vector<uint64_t> text_hashes_;  // by id: text_hash_ of the text added
  std::vector<std::vector<TermId>> doc_terms_;
  SeededHash text_hash_;
  uint64_t live_docs_ = 0;
  uint64_t removed_docs_ = 0;
  uint64_t total_tokens_ = 0;
  // Whether id order is key order among live documents, as when the index is
  // built from rows in key order: ties of score then go to the smaller id
  // without comparing keys. last_key_ is the key of the newest id.
  bool ids_follow_keys_ = true;
  std::string last_key_;
};

template <typename Fn>
void TextIndex::VisitPostings(std::string_view term, Fn&& fn) const {
  const Postings* p = Find(term);
  if (p == nullptr) return;
  for (size_t i = 0; i < p->docs.size(); ++i) {
    const DocId d = p->docs[i];
    if (lengths_[d] != kRemoved) fn(std::string_view(keys_[d]), p->At(i), lengths_[d]);
  }
}

// Adds the document under key with the tokens of text (analyze_text), or
// replaces it when the key is already present: the old document is removed
// first (its postings left to no reader), so none go stale; the new one
// takes a new id. Positions are token indexes; a text of more than
// 2^32 tokens (beyond any stored text) is indexed up to its 2^32nd token,
// which then is its length. Never fails.
void fts_add_document(TextIndex& index, std::string_view key, std::string_view text);

// Removes the document under key; a key that is not present changes
// nothing. Never fails.
void fts_remove_document(TextIndex& index, std::string_view key);

// ------------------------------------------------------------ BM25

inline constexpr float kBm25K1 = 1.2f;
inline constexpr float kBm25B = 0.75f;

// idf = logf((N - df + 0.5) / (df + 0.5) + 1.0), N and df converted to float
// first. Finite and positive whenever df <= N.
float Bm25Idf(uint64_t doc_count, uint64_t doc_freq);

// avgdl = T / N in float; a quotient of 0 (T = 0) becomes 1.0. nullopt when
// N is 0: an empty index scores nothing.
std::optional<float> Bm25AverageLength(uint64_t total_tokens, uint64_t doc_count);

// One term's score in one document, with k1 = 1.2 and b = 0.75:
//   tf * 2.2 * idf / ((dl / avgdl * 0.75 + 0.25) * 1.2 + tf)
// evaluated left to right in float. A term with tf = 0 contributes +0.0.
// avg_length must come from Bm25AverageLength.
float Bm25Term(uint64_t tf, float idf, uint64_t doc_length, float avg_length);

// The same term with explicit constants, in the fallback's written form:
//   (k1 + 1) * tf * idf / (k1 * ((1 - b) + dl / avgdl * b) + tf)
// For (1.2, 0.75) it gives exactly the bits of Bm25Term.
float Bm25TermWith(float k1, float b, uint64_t tf, float idf, uint64_t doc_length, float avg_length);

// ------------------------------------------------------------ ranking

// One ranked document key.
struct ScoredKey {
  std::string key;
  float score;
};

// Sorts best first (score descending in the float total order, ties by key
// bytes ascending, a key that prefixes another first) and keeps the first k.
void RankAndCut(std::vector<ScoredKey>& items, uint64_t k);

// The k best of scored keys offered one at a time, in the order of
// RankAndCut: a heap whose top is the worst kept, so a key that cannot enter
// costs one comparison and nothing is sorted but the winners. It keeps views
// of the keys, which must outlive it; keys offered must be distinct.
class TopKeys {
 public:
  explicit TopKeys(uint64_t k) : k_(k) {}
  // Whether Push would keep the pair.
  bool Admits(float score, std::string_view key) const {
    return heap_.size() < k_ || (!heap_.empty() && Before({score, key}, heap_.front()));
  }
  // For a score just refused: whether every score at most as high is
  // refused from now on, the worst kept only ever rising. A tie is not, as
  // the keys decide it.
  bool Excludes(float score) const {
    return !heap_.empty() && heap_.size() == k_ && TotalCompare(score, heap_.front().score) < 0;
  }
  // Adds a pair that Admits, dropping the worst when k are kept.
  void Push(float score, std::string_view key);
  // The pairs kept, best first; the keys are copied.
  std::vector<ScoredKey> Take();

 private:
  struct Entry {
    float score;
    std::string_view key;
  };
  static bool Before(const Entry& a, const Entry& b) {
    const int c = TotalCompare(a.score, b.score);
    if (c != 0) return c > 0;
    return a.key < b.key;  // bytes as unsigned char, a prefix first
  }

  uint64_t k_;
  std::vector<Entry> heap_;
};

// Per combination of the term frequencies of a document's scored terms
// (when small; 0 for a term it lacks), the shortest length seen whose
// document the top k excludes for good. A term's score never rises with the
// document length at a fixed frequency (every float operation of Bm25Term
// is monotonic, and idf is never negative in an index, where df <= N), nor
// does a sum of such terms in a fixed order, so any later document of the
// same frequencies and at least that length is out without computing its
// score (a division per term). Only sound while every idf is non-negative.
class LengthCutoffs {
 public:
  explicit LengthCutoffs(size_t terms) : radix_(terms < kRadix.size() ? kRadix[terms] : 0) {
    shortest_out_.fill(UINT64_MAX);
  }
  // The code of one document's frequencies, or kNone when one is too large.
  template <typename TfOf>
  size_t Code(size_t terms, TfOf tf_of) const {
    size_t code = 0;
    for (size_t j = 0; j < terms; ++j) {
      const uint64_t tf = tf_of(j);
      if (tf >= radix_) return kNone;
      code = code * radix_ + tf;
    }
    return code;
  }
  bool Out(size_t code, uint64_t dl) const { return code != kNone && dl >= shortest_out_[code]; }
  void MarkOut(size_t code, uint64_t dl) {
    if (code != kNone) shortest_out_[code] = std::min(shortest_out_[code], dl);
  }

 private:
  static constexpr size_t kCodes = 64;
  static constexpr size_t kNone = kCodes;
  // The largest radix r with r^terms <= kCodes; 0 (no code) past 6 terms.
  static constexpr std::array<uint64_t, 7> kRadix = {0, 64, 8, 4, 2, 2, 2};
  uint64_t radix_;
  std::array<uint64_t, kCodes> shortest_out_;
};

// ------------------------------------------------------------ phrases

// Whether a phrase occurs: positions[i] lists, ascending, where phrase token
// i appears in the document; true when some p of positions[0] has p + i in
// positions[i] for every i >= 1 (bisection). A single list matches when it
// is not empty; no list never matches.
bool MatchesPhrase(std::span<const std::span<const uint32_t>> positions);

// Phrase search over one in-memory index: the documents whose tokens hold
// the analysed tokens of phrase as one consecutive in-order run, scored by
// the sum over the phrase tokens in phrase order (from -0.0, a repeated token
// counting each time) of Bm25Term with N and T of the index, df the number
// of documents holding the token, tf its number of positions in the document
// and dl the document's length; ranked as RankAndCut and cut to k. Empty when k is 0, the index is
// empty, the phrase has no token or no document matches. Never fails.
std::vector<ScoredKey> SearchPhraseInIndex(const TextIndex& index, std::string_view phrase, uint64_t k);

// ------------------------------------------------------------ phrase fallback

// What the fallback walk records per document whose field holds text.
struct PhraseCandidate {
  std::string key;
  // counts[j]: occurrences in the document of phrase token j (a token
  // repeated in the phrase gets the same count at each place).
  std::vector<uint32_t> counts;
  Value document;
  uint64_t doc_length = 0;
  // Start positions of the whole phrase, overlapping ones included.
  uint64_t occurrences = 0;
};

// One ranked document of the fallback.
struct ScoredDoc {
  std::string key;
  Value document;
  float score;
};

// The per-row step of the fallback walk: decodes value (a stored document
// row), and when its field (a dotted path) holds text, analyses it and
// appends a candidate to out, matching or not. Rows whose field is absent
// or not text append nothing. phrase_tokens is the analysed phrase; with no
// phrase token nothing can occur, so every candidate then has 0
// occurrences. Errors: Decode when value does not decode (the walk should
// end with it).
Status phrase_match_doc(std::string_view field, std::span<const std::string> phrase_tokens, std::string_view key,
                        std::string_view value, std::vector<PhraseCandidate>& out);

// For each token index j in [begin, end): how many records have a non-zero
// count j (a record too short to have one counts as zero).
std::vector<uint64_t> phrase_doc_freqs(std::span<const PhraseCandidate> records, size_t begin, size_t end);

// Statistics and constants for bm25_score_docs.
struct Bm25DocParams {
  uint64_t doc_count = 0;
  float avg_length = 1.0f;
  float k1 = kBm25K1;
  float b = kBm25B;
  // One per phrase token, as phrase_doc_freqs gives them.
  std::vector<uint64_t> doc_freqs;
};

// Consumes the records, drops those without a phrase occurrence and scores
// the rest, in recorded order: the sum over j, from -0.0, of 0 when count j
// is 0, else Bm25TermWith(k1, b, count j, Bm25Idf(N, df j), dl, avgdl).
// Throws InvariantError when a record's counts and the df list differ in
// length (a caller bug, never user input).
std::vector<ScoredDoc> bm25_score_docs(std::vector<PhraseCandidate> records, const Bm25DocParams& params);

// The fallback's ranking over all recorded documents of a collection, for a
// phrase of phrase_len tokens: N = the number of records, avgdl = their
// summed lengths / N, df = phrase_doc_freqs, bm25_score_docs, then best
// first and cut to k. Empty when phrase_len or k is 0 or there is no record.
std::vector<ScoredDoc> RankPhraseCandidates(std::vector<PhraseCandidate> records, size_t phrase_len, uint64_t k);

// As RankAndCut, for fallback results.
void RankAndCut(std::vector<ScoredDoc>& items, uint64_t k);

}  // namespace pallix

#endif  // PALLIX_TEXT_FTS_H_
