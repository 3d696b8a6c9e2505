#include "text/fts.h"

#include <algorithm>
#include <array>
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

namespace {

// Marks an id that renumbering drops.
constexpr uint32_t kNoDoc = UINT32_MAX;

// Below this many removed documents the ids are never renumbered: the
// tombstones of a small index cost less than rebuilding it.
constexpr uint64_t kMinRenumber = 64;
// A term's postings are compacted only past this many tombstones.
constexpr uint64_t kMinTermCompaction = 8;

// Positions are stored as u32, so at most 2^32 tokens of one text are
// indexed. A stored text is shorter than 4 GiB and every token but the last
// needs at least two bytes, so only a caller passing a larger text can reach
// the cap; wrapping positions instead would break their ascending order.
constexpr uint64_t kMaxIndexedTokens = uint64_t{UINT32_MAX} + 1;

}  // namespace

std::optional<TextIndex::DocId> TextIndex::IdOf(std::string_view key) const {
  auto it = doc_ids_.find(key);
  if (it == doc_ids_.end()) return std::nullopt;
  return it->second;
}

const TextIndex::Postings* TextIndex::Find(std::string_view term) const {
  auto it = term_ids_.find(term);
  return it == term_ids_.end() ? nullptr : &terms_[it->second];
}

std::optional<uint64_t> TextIndex::doc_length(std::string_view key) const {
  const std::optional<DocId> id = IdOf(key);
  if (!id) return std::nullopt;
  return lengths_[*id];
}

TextIndex::TermDocs TextIndex::term_docs(std::string_view term) const {
  const Postings* p = Find(term);
  if (p == nullptr) return {};
  return {p->docs, p->bounds};
}

uint64_t TextIndex::doc_freq(std::string_view term) const {
  const Postings* p = Find(term);
  return p == nullptr ? 0 : p->live;
}

std::optional<PositionList> TextIndex::positions(std::string_view term, std::string_view key) const {
  const std::optional<DocId> id = IdOf(key);
  const Postings* p = Find(term);
  if (!id || p == nullptr) return std::nullopt;
  auto it = std::lower_bound(p->docs.begin(), p->docs.end(), *id);
  if (it == p->docs.end() || *it != *id) return std::nullopt;
  const std::span<const uint32_t> at = p->At(static_cast<size_t>(it - p->docs.begin()));
  return PositionList(at.begin(), at.end());
}

std::optional<std::vector<std::string>> TextIndex::doc_terms(std::string_view key) const {
  const std::optional<DocId> id = IdOf(key);
  if (!id) return std::nullopt;
  std::vector<std::string> out;
  for (const TermId t : doc_terms_[*id]) out.push_back(terms_[t].term);
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> TextIndex::terms() const {
  std::vector<std::string> out;
  out.reserve(term_ids_.size());
  for (const auto& [term, id] : term_ids_) out.push_back(term);
  std::sort(out.begin(), out.end());
  return out;
}

TextIndex::DocId TextIndex::NewDoc(std::string_view key, uint64_t length, uint64_t text_hash) {
  // Ids are u32 and kNoDoc is reserved; only a long run of replacements
  // without a removal-triggered renumbering can get here.
  if (keys_.size() >= kNoDoc) RenumberDocs();
  PALLIX_INVARIANT(keys_.size() < kNoDoc, "fewer than 2^32 - 1 documents in one text index");
  const auto id = static_cast<DocId>(keys_.size());
  // A replaced key was removed first, so meeting the newest key again keeps
  // the order.
  if (!keys_.empty() && key < std::string_view(last_key_)) ids_follow_keys_ = false;
  last_key_.assign(key);
  keys_.emplace_back(key);
  lengths_.push_back(length);
  text_hashes_.push_back(text_hash);
  doc_terms_.emplace_back();
  doc_ids_.emplace(std::string(key), id);
  ++live_docs_;
  total_tokens_ += length;
  return id;
}

TextIndex::TermId TextIndex::TermFor(const std::string& term) {
  auto it = term_ids_.find(term);
  if (it != term_ids_.end()) return it->second;
  TermId t;
  if (!free_terms_.empty()) {
    t = free_terms_.back();
    free_terms_.pop_back();
  } else {
    PALLIX_INVARIANT(terms_.size() < UINT32_MAX, "fewer than 2^32 terms in one text index");
    t = static_cast<TermId>(terms_.size());
    terms_.emplace_back();
  }
  terms_[t].term = term;
  term_ids_.emplace(term, t);
  return t;
}

void TextIndex::FreeTerm(TermId t) {
  term_ids_.erase(terms_[t].term);
  terms_[t] = Postings();
  free_terms_.push_back(t);
}

// Keeps the postings whose id renumber maps to an id (not kNoDoc), under
// that id, with their positions moved down the pool. renumber must keep the
// order of the ids it keeps.
template <typename Renumber>
void TextIndex::CompactPostings(Postings& p, Renumber renumber) {
  size_t out = 0;
  uint64_t filled = 0;
  for (size_t i = 0; i < p.docs.size(); ++i) {
    const DocId d = renumber(p.docs[i]);
    if (d == kNoDoc) continue;
    // Only entries at or below i are written, so bounds[i] and bounds[i+1]
    // are still the old ones here.
    const uint64_t begin = p.bounds[i], tf = p.Tf(i);
    if (filled != begin) std::memmove(p.pool.data() + filled, p.pool.data() + begin, tf * sizeof(uint32_t));
    p.docs[out] = d;
    p.bounds[out] = filled;
    filled += tf;
    ++out;
  }
  p.bounds[out] = filled;
  p.docs.resize(out);
  p.bounds.resize(out + 1);
  p.pool.resize(filled);
}

// Drops every removed id and numbers the live documents 0, 1, ... in their
// old order, so every posting list stays sorted.
void TextIndex::RenumberDocs() {
  std::vector<DocId> renumber(keys_.size(), kNoDoc);
  DocId next = 0;
  for (size_t id = 0; id < keys_.size(); ++id)
    if (lengths_[id] != kRemoved) renumber[id] = next++;
  for (Postings& p : terms_)
    if (!p.docs.empty()) CompactPostings(p, [&](DocId d) { return renumber[d]; });
  for (size_t id = 0; id < keys_.size(); ++id) {
    const DocId to = renumber[id];
    if (to == kNoDoc || to == id) continue;
    keys_[to] = std::move(keys_[id]);
    lengths_[to] = lengths_[id];
    text_hashes_[to] = text_hashes_[id];
    doc_terms_[to] = std::move(doc_terms_[id]);
  }
  keys_.resize(next);
  lengths_.resize(next);
  text_hashes_.resize(next);
  doc_terms_.resize(next);
  for (auto& [key, id] : doc_ids_) id = renumber[id];
  removed_docs_ = 0;
  // Removals may have taken out every key that was out of order.
  ids_follow_keys_ = std::is_sorted(keys_.begin(), keys_.end());
  if (!keys_.empty()) last_key_ = keys_.back();
}

void TextIndex::Add(std::string_view key, std::string_view text) {
  Remove(key);
  const std::vector<std::string> tokens = analyze_text(text);
  const uint64_t length = std::min<uint64_t>(tokens.size(), kMaxIndexedTokens);
  const DocId id = NewDoc(key, length, text_hash_(text));
  std::vector<TermId> held;
  for (uint64_t pos = 0; pos < length; ++pos) {
    const TermId t = TermFor(tokens[pos]);
    Postings& p = terms_[t];
    // The document has the largest id, so its postings go at the end, and
    // its positions of one term arrive in order.
    if (p.docs.empty() || p.docs.back() != id) {
      p.docs.push_back(id);
      p.bounds.push_back(p.bounds.back());
      ++p.live;
      held.push_back(t);
    }
    p.pool.push_back(static_cast<uint32_t>(pos));
    ++p.bounds.back();
  }
  doc_terms_[id] = std::move(held);
}

void TextIndex::Remove(std::string_view key) {
  auto it = doc_ids_.find(key);
  if (it == doc_ids_.end()) return;
  const DocId id = it->second;
  doc_ids_.erase(it);
  total_tokens_ -= lengths_[id];
  lengths_[id] = kRemoved;
  std::string().swap(keys_[id]);
  --live_docs_;
  ++removed_docs_;
  auto keep_live = [&](DocId d) { return lengths_[d] == kRemoved ? kNoDoc : d; };
  for (const TermId t : std::exchange(doc_terms_[id], {})) {
    Postings& p = terms_[t];
    --p.live;
    const uint64_t dead = p.docs.size() - p.live;
    if (p.live == 0) {
      FreeTerm(t);
    } else if (dead > p.live && dead >= kMinTermCompaction) {
      CompactPostings(p, keep_live);
    }
  }
  if (removed_docs_ > live_docs_ && removed_docs_ >= kMinRenumber) RenumberDocs();
}

void fts_add_document(TextIndex& index, std::string_view key, std::string_view text) { index.Add(key, text); }

void fts_remove_document(TextIndex& index, std::string_view key) { index.Remove(key); }

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

namespace {

// The body of Bm25Term, visible to the compiler in this file: the engine is
// position-independent code, where a call to an exported function is not
// inlined, and phrase search calls it once per candidate posting.
inline float TermScore(uint64_t tf, float idf, uint64_t doc_length, float avg_length) {
  if (tf == 0) return 0.0f;
  const float f = static_cast<float>(tf);
  const float dl = static_cast<float>(doc_length);
  return f * 2.2f * idf / ((dl / avg_length * 0.75f + 0.25f) * 1.2f + f);
}

}  // namespace

float Bm25Term(uint64_t tf, float idf, uint64_t doc_length, float avg_length) {
  return TermScore(tf, idf, doc_length, avg_length);
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

void TopKeys::Push(float score, std::string_view key) {
  if (heap_.size() == k_) {
    std::pop_heap(heap_.begin(), heap_.end(), Before);
    heap_.back() = {score, key};
  } else {
    heap_.push_back({score, key});
  }
  std::push_heap(heap_.begin(), heap_.end(), Before);
}

std::vector<ScoredKey> TopKeys::Take() {
  std::sort_heap(heap_.begin(), heap_.end(), Before);
  std::vector<ScoredKey> out;
  out.reserve(heap_.size());
  for (const Entry& e : heap_) out.push_back({std::string(e.key), e.score});
  heap_.clear();
  return out;
}
void RankAndCut(std::vector<ScoredDoc>& items, uint64_t k) { SortAndCut(items, k); }

// ------------------------------------------------------------ phrases

bool MatchesPhrase(std::span<const std::span<const uint32_t>> positions) {
  if (positions.empty() || positions.back().empty()) return false;
  // A start whose last token would sit past the last token's last position
  // cannot match, nor can any later start: without this bound a phrase
  // longer than a text of one repeated word would try every start, each
  // for the text's remaining length.
  const uint64_t last = positions.back().back();
  const uint64_t span = positions.size() - 1;
  for (const uint32_t start : positions[0]) {
    if (uint64_t{start} + span > last) return false;
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

namespace {

// The first index at or after from whose id is at least target, by
// galloping then bisecting, so crossing a long list from a much shorter one
// costs about the log of the gap between consecutive hits per hit.
size_t SeekDoc(std::span<const uint32_t> docs, size_t from, uint32_t target) {
  if (from >= docs.size() || docs[from] >= target) return from;
  size_t lo = from;  // docs[lo] < target throughout
  size_t step = 1;
  while (lo + step < docs.size() && docs[lo + step] < target) {
    lo += step;
    step *= 2;
  }
  const auto first = docs.begin() + static_cast<ptrdiff_t>(lo + 1);
  const auto last = docs.begin() + static_cast<ptrdiff_t>(std::min(lo + step + 1, docs.size()));
  return static_cast<size_t>(std::lower_bound(first, last, target) - docs.begin());
}

// The first index at or after from whose id is at least target, for a
// target usually a few entries ahead: each block of 8 ids is counted
// without a branch (sorted ids below target form a prefix of the block).
size_t ScanToDoc(std::span<const uint32_t> docs, size_t from, uint32_t target) {
  constexpr size_t kBlock = 8;
  while (from + kBlock <= docs.size()) {
    uint32_t below = 0;
    for (size_t i = 0; i < kBlock; ++i) below += docs[from + i] < target;
    from += below;
    if (below < kBlock) return from;
  }
  while (from < docs.size() && docs[from] < target) ++from;
  return from;
}

// Past this ratio of list lengths galloping beats marking: a seek
// mispredicts a few branches, marking looks at every entry of both lists.
constexpr size_t kGallopRatio = 32;

// The number of set bits, inline: the portable build has no popcount
// instruction, and the library call std::popcount becomes would dominate a
// probe.
inline uint32_t CountBits(uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return static_cast<uint32_t>((x * 0x0101010101010101ULL) >> 56);
}

// A set of ascending document ids as a bitmap over their range, which also
// tells each member's rank. Probing it has no branch and no step that waits
// on the previous one, unlike a merge of two lists of similar lengths.
class DocMarks {
 public:
  explicit DocMarks(std::span<const uint32_t> docs)
      : first_(docs.front()), last_(docs.back()), base_(docs.front() / 64) {
    const size_t words = last_ / 64 - base_ + 1;
    bits_.assign(words, 0);
    ranks_.assign(words, 0);
    for (const uint32_t d : docs) bits_[d / 64 - base_] |= uint64_t{1} << (d % 64);
    uint32_t rank = 0;
    for (size_t w = 0; w < words; ++w) {
      ranks_[w] = rank;
      rank += CountBits(bits_[w]);
    }
  }
  // Probes every id of docs (ascending) within the members' range: for
  // each member found, appends its rank to ranks and its index in docs to
  // ats, which must have room for one more entry than docs holds. Returns
  // how many were found.
  size_t Probe(std::span<const uint32_t> docs, uint32_t* ranks, uint32_t* ats) const {
    // Locals, so the loop keeps them in registers: its stores could alias
    // the vectors' own fields.
    const uint64_t* const bits = bits_.data();
    const uint32_t* const before = ranks_.data();
    const size_t base = base_;
    size_t found = 0;
    auto at = static_cast<size_t>(std::lower_bound(docs.begin(), docs.end(), first_) - docs.begin());
    for (; at < docs.size() && docs[at] <= last_; ++at) {
      const uint32_t d = docs[at];
      const uint64_t word = bits[d / 64 - base];
      // Every probe writes its pair; only a member advances past it.
      ranks[found] = before[d / 64 - base] + CountBits(word & ((uint64_t{1} << (d % 64)) - 1));
      ats[found] = static_cast<uint32_t>(at);
      found += (word >> (d % 64)) & 1;
    }
    return found;
  }

 private:
  uint32_t first_, last_;
  size_t base_;
  std::vector<uint64_t> bits_;
  std::vector<uint32_t> ranks_;  // members in the words before each word
};

// The best k documents seen so far, as a heap whose top is the worst of
// them, so a candidate that cannot enter costs one comparison. Keys are
// looked at only to break a tie of scores.
class TopDocs {
 public:
  // ids_follow_keys: id order is key order, so ties compare ids.
  TopDocs(uint64_t k, const std::vector<std::string>& keys, bool ids_follow_keys)
      : k_(k), keys_(keys), ids_follow_keys_(ids_follow_keys) {}

  bool Admits(float score, uint32_t doc) const {
    return heap_.size() < k_ || Before({score, doc}, heap_.front());
  }
  // For a score that was just refused: whether every later document (of a
  // larger id) scoring at most as much will be refused too. The worst of the
  // top only ever rises, so this holds when the score is below it, or equal
  // to it when a larger id means a larger key.
  bool Excludes(float score) const {
    const int c = TotalCompare(score, heap_.front().score);
    return c < 0 || (c == 0 && ids_follow_keys_);
  }
  // Adds a document that Admits, dropping the worst one when full.
  void Push(float score, uint32_t doc) {
    if (heap_.size() < k_) {
      heap_.push_back({score, doc});
      std::push_heap(heap_.begin(), heap_.end(), [this](const Entry& a, const Entry& b) { return Before(a, b); });
    } else {
      ReplaceWorst({score, doc});
    }
  }
  // Best first, as RankAndCut orders them.
  std::vector<ScoredKey> Take() {
    std::sort_heap(heap_.begin(), heap_.end(), [this](const Entry& a, const Entry& b) { return Before(a, b); });
    std::vector<ScoredKey> out;
    out.reserve(heap_.size());
    for (const Entry& e : heap_) out.push_back({keys_[e.doc], e.score});
    return out;
  }

 private:
  struct Entry {
    float score;
    uint32_t doc;
  };
  bool Before(const Entry& a, const Entry& b) const {
    const int c = TotalCompare(a.score, b.score);
    if (c != 0) return c > 0;
    return ids_follow_keys_ ? a.doc < b.doc : keys_[a.doc] < keys_[b.doc];
  }
  // Puts e in place of the top and sifts it down: half the comparisons of
  // popping the top and pushing e.
  void ReplaceWorst(const Entry& e) {
    size_t at = 0;
    for (;;) {
      size_t worst = at;
      const Entry* w = &e;
      for (const size_t child : {2 * at + 1, 2 * at + 2}) {
        if (child < heap_.size() && Before(*w, heap_[child])) {
          worst = child;
          w = &heap_[child];
        }
      }
      if (worst == at) break;
      heap_[at] = heap_[worst];
      at = worst;
    }
    heap_[at] = e;
  }

  uint64_t k_;
  const std::vector<std::string>& keys_;
  bool ids_follow_keys_;
  std::vector<Entry> heap_;
};

}  // namespace

// One phrase search over one index: the postings of every distinct phrase
// token, crossed by document id, each match scored and offered to the top
// k. A token repeated in the phrase is looked up and crossed once, and the
// work per candidate is one pass over the phrase, so a long phrase costs
// time in proportion to its length (and to the postings of its distinct
// tokens), never to its length squared.
class PhraseScorer {
 public:
  PhraseScorer(const TextIndex& index, uint64_t k, float avg)
      : index_(index), avg_(avg), top_(k, index.keys_, index.ids_follow_keys_) {}

  // False when some token is in no document: then nothing can match.
  bool Prepare(std::span<const std::string> tokens) {
    std::unordered_map<const TextIndex::Postings*, uint32_t> seen;
    places_.reserve(tokens.size());
    for (const std::string& token : tokens) {
      const TextIndex::Postings* p = index_.Find(token);
      if (p == nullptr) return false;
      const auto [it, added] = seen.emplace(p, static_cast<uint32_t>(lists_.size()));
      if (added) {
        lists_.push_back(p);
        idfs_.push_back(Bm25Idf(index_.doc_count(), p->live));
      }
      places_.push_back(it->second);
    }
    return true;
  }

  std::vector<ScoredKey> Run() {
    if (places_.size() == 1) {
      ScoreOneToken();
    } else {
      FindCommonDocs();
      ScoreCommonDocs();
    }
    return top_.Take();
  }

 private:
  using DocId = TextIndex::DocId;

  // One narrowing of the candidates by list `list`: candidate `kept` of
  // the narrowed set was candidate from[kept] before it and sits at
  // at[kept] in the list.
  struct Step {
    size_t list;
    std::vector<uint32_t> from, at;
  };

  // Every live posting matches a one-token phrase.
  void ScoreOneToken() {
    const TextIndex::Postings& p = *lists_[0];
    LengthCutoffs cutoffs(1);
    for (size_t i = 0; i < p.docs.size(); ++i) {
      const DocId d = p.docs[i];
      const uint64_t dl = index_.lengths_[d];
      const uint64_t tf = p.Tf(i);
      const size_t code = cutoffs.Code(1, [&](size_t) { return tf; });
      if (dl == TextIndex::kRemoved || cutoffs.Out(code, dl)) continue;
      const float score = -0.0f + TermScore(tf, idfs_[0], dl, avg_);
      if (top_.Admits(score, d)) {
        top_.Push(score, d);
      } else if (top_.Excludes(score)) {
        cutoffs.MarkOut(code, dl);
      }
    }
  }

  // Leaves in docs_ the documents holding every distinct token (removed
  // ones included: few survive, and they are dropped when scored),
  // ascending, and in where_[j] the index of each in list j: the shortest
  // list first, then narrowed by the others from the shortest up. Each
  // narrowing records only how the survivors map to the candidates before
  // it; the indexes are put together once at the end, walking the steps
  // backwards, so that a narrowing costs nothing per list already crossed.
  void FindCommonDocs() {
    std::vector<size_t> order(lists_.size());
    for (size_t j = 0; j < order.size(); ++j) order[j] = j;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return lists_[a]->docs.size() < lists_[b]->docs.size(); });
    const TextIndex::Postings& lead = *lists_[order[0]];
    docs_.assign(lead.docs.begin(), lead.docs.end());
    std::vector<Step> steps;
    for (size_t o = 1; o < order.size() && !docs_.empty(); ++o) steps.push_back(Narrow(order[o]));
    where_.assign(lists_.size(), {});
    if (docs_.empty()) return;
    // back[c]: the index, in the candidates before the step being undone,
    // of the final candidate c; before the first step that is its index in
    // the lead list.
    std::vector<uint32_t> back(docs_.size());
    for (size_t c = 0; c < back.size(); ++c) back[c] = static_cast<uint32_t>(c);
    for (auto s = steps.rbegin(); s != steps.rend(); ++s) {
      std::vector<uint32_t>& w = where_[s->list];
      w.resize(back.size());
      for (size_t c = 0; c < back.size(); ++c) {
        w[c] = s->at[back[c]];
        back[c] = s->from[back[c]];
      }
    }
    where_[order[0]] = std::move(back);
  }

  // Keeps the candidates that list j holds, noting where.
  Step Narrow(size_t j) {
    const std::vector<DocId>& docs = lists_[j]->docs;
    Step step{j, {}, {}};
    step.from.reserve(std::min(docs_.size(), docs.size()));
    step.at.reserve(step.from.capacity());
    size_t kept = 0;
    auto keep = [&](size_t r, size_t at) {
      docs_[kept++] = docs_[r];
      step.from.push_back(static_cast<uint32_t>(r));
      step.at.push_back(static_cast<uint32_t>(at));
    };
    const bool gallop = docs.size() / kGallopRatio > docs_.size();
    if (gallop || ScanBeatsMarks(docs.size())) {
      for (size_t r = 0, at = 0; r < docs_.size(); ++r) {
        at = gallop ? SeekDoc(docs, at, docs_[r]) : ScanToDoc(docs, at, docs_[r]);
        if (at == docs.size()) break;
        if (docs[at] == docs_[r]) keep(r, at);
      }
    } else {
      const DocMarks marks(docs_);
      hit_rank_.resize(docs.size() + 1);
      hit_at_.resize(docs.size() + 1);
      const size_t hits = marks.Probe(docs, hit_rank_.data(), hit_at_.data());
      for (size_t h = 0; h < hits; ++h) keep(hit_rank_[h], hit_at_[h]);
    }
    docs_.resize(kept);
    return step;
  }

  // A scan from each candidate waits on the previous one (about 24 cycles
  // a candidate, measured); marks cost a few cycles per word of the
  // candidates' id range and per entry of the other list, of length other.
  bool ScanBeatsMarks(size_t other) const {
    const size_t words = (docs_.back() - docs_.front()) / 64 + 1;
    return 24 * docs_.size() + other / 4 < 3 * words + 7 * other + 2 * docs_.size();
  }

  // The score needs only term frequencies, so it comes first and the
  // positions are checked only for a document that would enter the top k.
  // A document shorter than the phrase cannot hold it (every position is
  // below the length) and is passed over before anything is summed.
  void ScoreCommonDocs() {
    const size_t m = places_.size();
    std::vector<std::span<const uint32_t>> spans(m);
    std::vector<uint64_t> tfs(lists_.size());
    LengthCutoffs cutoffs(m);
    for (size_t c = 0; c < docs_.size(); ++c) {
      const DocId d = docs_[c];
      const uint64_t dl = index_.lengths_[d];
      if (dl == TextIndex::kRemoved || dl < m) continue;
      for (size_t j = 0; j < lists_.size(); ++j) tfs[j] = lists_[j]->Tf(where_[j][c]);
      const size_t code = cutoffs.Code(m, [&](size_t i) { return tfs[places_[i]]; });
      if (cutoffs.Out(code, dl)) continue;
      float score = -0.0f;
      for (size_t i = 0; i < m; ++i) score += TermScore(tfs[places_[i]], idfs_[places_[i]], dl, avg_);
      if (!top_.Admits(score, d)) {
        if (top_.Excludes(score)) cutoffs.MarkOut(code, dl);
        continue;
      }
      for (size_t i = 0; i < m; ++i) spans[i] = lists_[places_[i]]->At(where_[places_[i]][c]);
      if (MatchesPhrase(spans)) top_.Push(score, d);
    }
  }

  const TextIndex& index_;
  const float avg_;
  TopDocs top_;
  std::vector<const TextIndex::Postings*> lists_;  // one per distinct token
  std::vector<float> idfs_;                        // per distinct token
  std::vector<uint32_t> places_;  // per phrase token: its distinct token
  std::vector<DocId> docs_;                   // candidates, ascending
  std::vector<std::vector<uint32_t>> where_;  // [distinct token][candidate]
  std::vector<uint32_t> hit_rank_, hit_at_;   // Narrow's scratch
};

std::vector<ScoredKey> SearchPhraseInIndex(const TextIndex& index, std::string_view phrase, uint64_t k) {
  const std::optional<float> avg = Bm25AverageLength(index.total_tokens(), index.doc_count());
  if (k == 0 || !avg) return {};
  const std::vector<std::string> tokens = analyze_text(phrase);
  if (tokens.empty()) return {};
  PhraseScorer scorer(index, k, *avg);
  if (!scorer.Prepare(tokens)) return {};
  return scorer.Run();
}

}  // namespace pallix
