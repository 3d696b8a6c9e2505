// The lifecycle of text indexes: declaring an in-memory or on-disk BM25
// index, the resumable build of an on-disk index over the stored rows, its
// upkeep inside every write transaction, the in-memory index built from the
// rows on first use (memory_text_index_for) and kept up after each commit,
// and phrase search through whichever index can answer.
//
// The registry row ("__text_indexes__", index/index_state.h) carries one
// payload byte, 0 in memory or 1 on disk; the on-disk rows live in
// "__dfts__<collection>__<field>" (layout in text/disk_fts.h).
//
// Callers: the binding and the dump loader (creators), the write path
// (dfts_put_document, dfts_remove_document, update_memory_text_indexes),
// resume_index_builds (build_disk_text_index), the query executor
// (memory_text_index_for, disk_text_index_namespace) and the binding's
// phrase search (phrase_search_entry).
//
// Locks: "fts lock" guards the declared and loaded maps. It is released
// before any row is touched, except while an in-memory index is built from
// the rows and while a loaded index is searched, so that no committed
// write slips between the build's snapshot and the index's entry in the
// loaded map (the write's after-commit step waits for the lock and then
// applies itself to the index).

#ifndef PALLIX_INDEX_TEXT_INDEX_H_
#define PALLIX_INDEX_TEXT_INDEX_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "db/engine.h"
#include "doc/value.h"
#include "storage/read_view.h"
#include "storage/rows.h"
#include "text/fts.h"

namespace pallix {

// Payload bytes of a text registry row. Stored on disk, never change.
inline constexpr char kTextInMemory = 0;
inline constexpr char kTextOnDisk = 1;

// ------------------------------------------------------------ declaration
//
// Both make the name checks first (ReservedCollection, then InvalidName for
// the collection, the field, or a namespace another text index already
// uses). Errors besides: Transaction, Storage, Commit; the on-disk build's
// Decode (a stored document that does not decode), after which the index
// stays declared and building with the cursor of its last committed batch.

// Declares an in-memory index: the registry row is written complete; the
// index is built from the rows on first use. A loaded index is dropped.
Status create_text_index(Engine& engine, std::string_view collection, std::string_view field);
// Declares an on-disk index and builds it: an unfinished earlier build
// goes on from its cursor; otherwise the namespace is emptied (rows of a
// former index of the field would describe documents deleted since) and
// the build starts from the first row.
Status create_text_index_ondisk(Engine& engine, std::string_view collection, std::string_view field);

// The registry step of both: writes the row (kind 0: complete; kind 1: see
// above) and then the declared entry. Returns the cursor an on-disk build
// starts from. Errors: Transaction, Storage, Commit.
Result<std::string> register_text_index(Engine& engine, std::string_view collection, std::string_view field,
                                        char kind);

// Builds or resumes the on-disk index from start; on success the entry
// stops building. A field declared in memory builds nothing. Errors: those
// of backfill_index (index/backfill.h).
Status build_disk_text_index(Engine& engine, std::string_view collection, std::string_view field,
                             std::string start);

// ------------------------------------------------------------ write upkeep

// Inside the caller's write transaction, for every on-disk index of the
// collection, building or not: the field's text is (re)indexed; a field
// that is absent or not text leaves the key without rows. Errors: Storage.
Status dfts_put_document(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key,
                         const Value& doc);
// Removes the key's rows from every on-disk index. Errors: Storage.
Status dfts_remove_document(Engine& engine, WriteCtx& ctx, std::string_view collection, std::string_view key);

// After a commit: applies a put (doc) or delete (null) to the loaded
// in-memory indexes of the collection; indexes not loaded are left to their
// first use. Never fails.
void update_memory_text_indexes(Engine& engine, std::string_view collection, std::string_view key,
                                const Value* doc);

// ------------------------------------------------------------ in memory

// An index of every text at field in the collection's rows (one read
// transaction). Errors: Transaction, Storage, Decode.
Result<TextIndex> text_index_from_rows(Engine& engine, std::string_view collection, std::string_view field);

// The in-memory index of (collection, field), built from the rows when
// first asked for, handed to visit under "fts lock" (visit must not call
// back into the text registry). false, without calling visit, when the
// field has no in-memory text index. Errors: those of text_index_from_rows
// (nothing is loaded then).
Result<bool> memory_text_index_for(Engine& engine, std::string_view collection, std::string_view field,
                                   const std::function<void(const TextIndex&)>& visit);

// As memory_text_index_for, but only an index already loaded is handed to
// visit; false when there is none, and nothing is built. For readers that
// can do without the index (a filtered scorer with few candidates must not
// pay for a build over the whole collection).
Result<bool> loaded_text_index_for(Engine& engine, std::string_view collection, std::string_view field,
                                   const std::function<void(const TextIndex&)>& visit);

// The namespace of the on-disk index of (collection, field) that view may
// read (index/snapshot_index.h: view's own registry row says it is complete),
// to be read through view with text/disk_fts.h's readers; nullopt
// otherwise. Errors: Transaction, Storage (the registry reads).
Result<std::optional<std::string>> disk_text_index_namespace(Engine& engine, const ReadView& view,
                                                             std::string_view collection, std::string_view field);

// ------------------------------------------------------------ phrase search

// The phrase from the field's index: a loaded (or now built) in-memory
// index, else an on-disk one that view may read (index/snapshot_index.h).
// nullopt ("no index") when no text index is declared, or the field is
// declared on disk but view's registry row does not show a complete
// on-disk index (declared after the snapshot, or its build unfinished). Results best first, ties by key, cut to k.
// Errors: Storage, and those of an in-memory build.
Result<std::optional<std::vector<ScoredKey>>> phrase_search(Engine& engine, std::string_view collection,
                                                            std::string_view field, const ReadView& view,
                                                            std::string_view phrase, uint64_t k);

struct PhraseHit {
  std::string key;
  Value document;
  float score;
};

// The whole phrase search of the binding: resumes the collection's
// pending builds, then in one read transaction asks phrase_search and reads
// each hit's document, or, without an index, scores every document by a
// full scan (text/phrase.h), which gives the same keys and scores an index
// would. The in-memory index may run ahead of the transaction: a hit whose
// row the snapshot lacks, or holds with another text, is passed over and
// the index asked for more, until k hits are found; an index that runs out
// first, after passing one over or (in memory) with something committed
// since the snapshot began, leaves the answer to the scan. Errors:
// Transaction, Storage, Decode, CorruptIndex, and those of the resumed
// builds.
Result<std::vector<PhraseHit>> phrase_search_entry(Engine& engine, std::string_view collection,
                                                   std::string_view field, std::string_view phrase, uint64_t k);

}  // namespace pallix

#endif  // PALLIX_INDEX_TEXT_INDEX_H_
