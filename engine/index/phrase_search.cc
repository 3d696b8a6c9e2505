// Phrase search through the declared text index of a field, with the full
// scan behind it (declared in index/text_index.h). All three paths score
// with the same BM25 in float32 over the same statistics, so an answer does
// not depend on which one gave it.

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
  ASSIGN_OR_RETURN(Answer answer, phrase_search(engine, collection, field, view, phrase, k));
  std::vector<PhraseHit> out;
  if (answer) {
    for (ScoredKey& hit : *answer) {
      ASSIGN_OR_RETURN(std::optional<Value> doc, get_document_via(view, collection, hit.key));
      if (doc) out.push_back(PhraseHit{std::move(hit.key), std::move(*doc), hit.score});
    }
    return out;
  }
  ASSIGN_OR_RETURN(std::vector<ScoredDoc> scanned, SearchPhraseByScan(view, collection, field, phrase, k));
  for (ScoredDoc& d : scanned) out.push_back(PhraseHit{std::move(d.key), std::move(d.document), d.score});
  return out;
}

}  // namespace pallix
