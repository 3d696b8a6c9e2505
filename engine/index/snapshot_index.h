// Which on-disk index a read snapshot may search, and what it needs to.
//
// An on-disk index (text postings in "__dfts__<c>__<f>", a vector graph in
// "__dann__<c>__<f>") is kept inside the same write transactions as the
// rows it describes, so within one snapshot the index and the rows agree
// exactly when that snapshot's registry row says the index is complete.
// The in-memory declared entries cannot decide it: they describe the
// newest declaration, and a reader's snapshot may be older (the index not
// declared yet, a build or rebuild not finished then, a re-declaration
// with another codebook since) or newer than the entry (a re-declaration
// commits the emptied namespace before its entry says building). So one
// rule serves every reader of an on-disk index (the vector and text
// sources of the query executor, the exact route's text scoring, phrase
// search): the snapshot's own registry row, and for a product-quantized
// graph the snapshot's own codebook row "q", decide.
//
// Callers: the query executor's index seams (index/vector_index.h,
// index/text_index.h) and phrase search. Thread-safety: reads through the
// caller's view; takes "index lock" briefly (to share the declared
// codebook when it is the snapshot's own) and never across a read.

#ifndef PALLIX_INDEX_SNAPSHOT_INDEX_H_
#define PALLIX_INDEX_SNAPSHOT_INDEX_H_

#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "db/engine.h"
#include "storage/read_view.h"
#include "vector/disk_hnsw.h"

namespace pallix {

enum class DiskIndexFamily { kText, kVector };

// An on-disk index as one snapshot holds it.
struct SnapshotDiskIndex {
  std::string ns;  // the namespace to read through the same view
  // Vector indexes: metric and quantization from the snapshot's registry
  // payload, and the codebook from its "q" row (product-quantized graphs).
  DiskHnswParams params;
};

// The on-disk index of (collection, field) of the family when view may
// search it: view's registry row is present, has no build cursor, names an
// on-disk kind (text payload 1; vector storage kind 1 or 2, metric and
// quantization bytes below 3), and for a product-quantized graph view's
// codebook row decodes to a usable codebook (codes that no codebook
// decodes cannot be scored). nullopt otherwise: the reader then treats the
// field as having no on-disk index. Errors: Storage (the row reads),
// Transaction (the vector registry's first load).
Result<std::optional<SnapshotDiskIndex>> snapshot_disk_index(Engine& engine, const ReadView& view,
                                                             DiskIndexFamily family, std::string_view collection,
                                                             std::string_view field);

}  // namespace pallix

#endif  // PALLIX_INDEX_SNAPSHOT_INDEX_H_
