// Phrase search through the declared text index of a field, with the full
// scan behind it (declared in index/text_index.h). All three paths score
// with the same BM25 in float32 over the same statistics, so an answer does
// not depend on which one gave it.

#include <cstdint>
#include <unordered_set>
#include <utility>

#include "base/test_point.h"
#include "index/registry.h"
#include "index/resume.h"
#include "index/snapshot_index.h"
#include "index/text_index.h"
#include "text/phrase.h"

namespace pallix {

namespace {

using Answer = std::optional<std::vector<ScoredKey>>;

Result<std::optional<TextIndexInfo>> Declared(Engine& engine, std::string_view collection, std::string_view field) {
  NamedMutex::Guard guard(engine.fts_lock);
  ASSIGN_OR_RETURN(TextRegistry * reg, text_registry(engine));
  auto it = reg->declared.find(FieldKey(collection, field));
  if (it == reg->declared.end()) return std::optional<TextIndexInfo>();
  return std::optional<TextIndexInfo>(it->second);
}

// The snapshot's own registry row decides (index/snapshot_index.h), not
// the declared entry: a snapshot older than the declaration has no index
// rows, and one whose build had not reached every row lacks documents; it
// answers "no index", and the caller scans.
Result<Answer> OnDisk(Engine& engine, std::string_view collection, std::string_view field, const ReadView& view,
                      std::string_view phrase, uint64_t k) {
  ASSIGN_OR_RETURN(std::optional<SnapshotDiskIndex> index,
                   snapshot_disk_index(engine, view, DiskIndexFamily::kText, collection, field));
  if (!index) return Answer();
  ASSIGN_OR_RETURN(std::vector<ScoredKey> hits, SearchPhraseOnDisk(view, index->ns, phrase, k));
  return Answer(std::move(hits));
}

uint64_t Twice(uint64_t n) { return n > UINT64_MAX / 2 ? UINT64_MAX : 2 * n; }

// Whether the field's loaded in-memory index holds each document's text at
// field as the document has it. Without a
// loaded index (the answer came from an on-disk index, which is read
// through the same snapshot) every one is held.
Result<std::vector<bool>> HeldAsIs(Engine& engine, std::string_view collection, std::string_view field,
                                   const std::vector<std::pair<std::string_view, const Value*>>& documents) {
  std::vector<bool> held(documents.size(), true);
  RETURN_IF_ERROR(loaded_text_index_for(engine, collection, field, [&](const TextIndex& index) {
    for (size_t i = 0; i < documents.size(); ++i) {
      const Value* v = get_path(*documents[i].second, field);
      const std::optional<uint32_t> id = index.id_of(documents[i].first);
      held[i] = v != nullptr && v->is_text() && id && index.id_holds_text(*id, v->as_text());
    }
  }));
  return held;
}

// The index's hits as the snapshot holds them, best first, at most k. The
// in-memory index is kept up after each commit and may run ahead of the
// snapshot: a hit whose row the snapshot lacks, or holds with another text
// than the index has, is passed over and the index asked for twice as
// many, until k are found or it gives fewer than asked. The texts are
// compared only when something was committed since the snapshot began. An
// index that runs out short of k may also lack documents the snapshot has
// (removed since): when it has passed a hit over, or is in memory and
// something was committed since, nullopt then, as without an index, and
// the caller scans.
Result<std::optional<std::vector<PhraseHit>>> IndexHits(Engine& engine, std::string_view collection,
                                                        std::string_view field, const ReadView& view,
                                                        std::string_view phrase, uint64_t k) {
  using Hits = std::optional<std::vector<PhraseHit>>;
  std::vector<PhraseHit> out;
  std::unordered_set<std::string> seen;
  bool passed_over = false;
  for (uint64_t count = k;; count = Twice(count)) {
    ASSIGN_OR_RETURN(Answer answer, phrase_search(engine, collection, field, view, phrase, count));
    if (!answer) return Hits();
    std::vector<PhraseHit> fresh;
    for (ScoredKey& hit : *answer) {
      if (!seen.insert(hit.key).second) continue;
      ASSIGN_OR_RETURN(std::optional<Value> doc, get_document_via(view, collection, hit.key));
      if (doc) fresh.push_back(PhraseHit{std::move(hit.key), std::move(*doc), hit.score});
      else passed_over = true;
    }
    // Read after the search: a commit the index had applied then is seen.
    const bool committed_since = engine.store().LastCommitId() != view.snapshot_tag().txn_id;
    std::vector<bool> held(fresh.size(), true);
    if (committed_since) {
      std::vector<std::pair<std::string_view, const Value*>> asked;
      for (const PhraseHit& h : fresh) asked.emplace_back(h.key, &h.document);
      ASSIGN_OR_RETURN(held, HeldAsIs(engine, collection, field, asked));
    }
    for (size_t i = 0; i < fresh.size() && out.size() < k; ++i) {
      if (held[i]) out.push_back(std::move(fresh[i]));
      else passed_over = true;
    }
    if (out.size() == k) return Hits(std::move(out));
    if (answer->size() >= count) continue;
    if (passed_over) return Hits();
    if (committed_since) {
      ASSIGN_OR_RETURN(bool in_memory, loaded_text_index_for(engine, collection, field, [](const TextIndex&) {}));
      if (in_memory) return Hits();
    }
    return Hits(std::move(out));
  }
}

}  // namespace

Result<Answer> phrase_search(Engine& engine, std::string_view collection, std::string_view field,
                             const ReadView& view, std::string_view phrase, uint64_t k) {
  ASSIGN_OR_RETURN(std::optional<TextIndexInfo> info, Declared(engine, collection, field));
  if (!info) return Answer();
  if (info->on_disk) return OnDisk(engine, collection, field, view, phrase, k);
  std::vector<ScoredKey> hits;
  ASSIGN_OR_RETURN(bool found, memory_text_index_for(engine, collection, field, [&](const TextIndex& index) {
                     hits = SearchPhraseInIndex(index, phrase, k);
                   }));
  if (!found) return Answer();
  return Answer(std::move(hits));
}

Result<std::vector<PhraseHit>> phrase_search_entry(Engine& engine, std::string_view collection,
                                                   std::string_view field, std::string_view phrase, uint64_t k) {
  RETURN_IF_ERROR(resume_index_builds(engine, collection));
  ASSIGN_OR_RETURN(ReadTxn txn, engine.store().BeginRead());
  ReadView view(txn);
  ReachTestPoint(TestPoint::kQueryAfterSnapshot, collection);
  ASSIGN_OR_RETURN(std::optional<std::vector<PhraseHit>> hits, IndexHits(engine, collection, field, view, phrase, k));
  if (hits) return std::move(*hits);
  std::vector<PhraseHit> out;
  ASSIGN_OR_RETURN(std::vector<ScoredDoc> scanned, SearchPhraseByScan(view, collection, field, phrase, k));
  for (ScoredDoc& d : scanned) out.push_back(PhraseHit{std::move(d.key), std::move(d.document), d.score});
  return out;
}

}  // namespace pallix
