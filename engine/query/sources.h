// Candidate sources of a ranked query: the exact per-source ranking of a
// set of candidate documents (BM25 for a text source, the metric's
// distance for a vector source), and the seam through which a source's
// declared index proposes its candidates.
//
// Exact scoring is the judge of every source: an index only proposes at
// most k keys, whose documents are then filtered and scored here exactly
// like any other candidates.
//
// Callers: the query executor. Thread-safety: pure functions, except the
// index seam, which takes "index lock" / "fts lock" one at a time.

#ifndef PALLIX_QUERY_SOURCES_H_
#define PALLIX_QUERY_SOURCES_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/siphash.h"
#include "query/planner.h"
#include "query/query_spec.h"
#include "storage/read_view.h"

namespace pallix {

// One ranked entry: a BM25 score (text, best = highest) or a distance
// (vector, best = lowest).
struct SourceEntry {
  std::string key;
  float score = 0.0f;
};
using SourceList = std::vector<SourceEntry>;

// BM25 (k1 1.2, b 0.75, 32-bit arithmetic) of the candidates whose field is
// Text, with N, the average length and the document frequencies taken over
// those candidates only; documents without a query term are left out. Best
// first, ties by key ascending, cut to k.
SourceList ScoreTextSource(const std::vector<CandidateRow>& rows, const TextSource& source);

// The same list, the same bits: where the field has a complete text index
// (loaded in memory, or on disk with its build finished), each candidate
// whose text the index holds as the candidate has it takes its token count
// and term counts from the index instead of analysing its text again; the
// statistics stay those of the candidates. Errors: Storage (the on-disk
// rows), Transaction (the registry load).
Result<SourceList> ScoreTextSourceIndexed(Engine& engine, const ReadView& view, const std::string& collection,
                                          const std::vector<CandidateRow>& rows, const TextSource& source);

// Whether the in-memory indexes hold exactly what view's snapshot holds:
// view is a read snapshot, no writer holds the turn (so no commit waits for
// its after-commit upkeep, Store::WriterTurnFree) and nothing was committed
// since the snapshot began. Asked under the lock of the index about to be
// read, which every upkeep of it takes: an answer of true then holds for
// as long as the lock is held. A reader that finds it true may take what
// the index holds of a document as the document's own.
bool MemoryIndexesInStep(Engine& engine, const ReadView& view);

// One candidate of a text source: its key and the text at the source's
// field (views of the caller's rows), and the text's hash when the caller
// took it (see ScoreTextCandidates).
struct TextCandidate {
  std::string_view key;
  std::string_view text;
  uint64_t hash = 0;
};

// As ScoreTextSourceIndexed, over the candidates whose field holds text.
// With hashed_by, every candidate's hash is hashed_by(text): when the
// loaded index's text_hasher() is that hasher, whether the index holds a
// candidate's text is then decided without reading the text again. A
// loaded index in step with view (MemoryIndexesInStep) holds every
// candidate's text as the candidate has it: no text is read or hashed.
Result<SourceList> ScoreTextCandidates(Engine& engine, const ReadView& view, const std::string& collection,
                                       std::span<const TextCandidate> texts, const TextSource& source,
                                       const SeededHash* hashed_by = nullptr);
// The text hasher of the field's loaded in-memory index, for a walk that
// hashes its candidates' texts as it meets them; nullopt when none is
// loaded. Errors: those of loaded_text_index_for.
Result<std::optional<SeededHash>> LoadedTextHasher(Engine& engine, std::string_view collection,
                                                   std::string_view field);

// Distances of the candidates whose field is a Vector as long as the query;
// nearest first, ties by key ascending, cut to k.
SourceList ScoreVectorSource(const std::vector<CandidateRow>& rows, const VectorSource& source);

// Keeps the k best of a distance list: sorted by (distance total order,
// key), then cut.
void CutNearest(SourceList& list, uint64_t k);

// The keys a declared index proposes for the source, best first, at most
// count (the source's k when not given); fewer only when the index holds
// no more. nullopt when no usable index exists (none declared, a build
// unfinished, a vector query whose length differs from the index's
// dimension), and the executor then scores every candidate exactly. With
// in_memory, *in_memory tells whether an in-memory index answered (kept
// up after each commit, so it may be ahead of view) rather than an
// on-disk one (read through view).
Result<std::optional<std::vector<std::string>>> IndexTextCandidates(Engine& engine, const ReadView& view,
                                                                    const std::string& collection,
                                                                    const TextSource& source,
                                                                    std::optional<uint64_t> count = std::nullopt,
                                                                    bool* in_memory = nullptr);
Result<std::optional<std::vector<std::string>>> IndexVectorCandidates(Engine& engine, const ReadView& view,
                                                                      const std::string& collection,
                                                                      const VectorSource& source,
                                                                      std::optional<uint64_t> count = std::nullopt,
                                                                      bool* in_memory = nullptr);

}  // namespace pallix

#endif  // PALLIX_QUERY_SOURCES_H_
