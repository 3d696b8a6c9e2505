// The on-disk text index: a positional inverted index of one text field of
// one collection, kept as rows of the internal collection
// "__dfts__<collection>__<field>" and maintained inside the same write
// transaction as each document write, so it survives restarts and never
// needs a rebuild.
//
// Callers: the index layer's write upkeep calls dfts_upkeep_document for
// every written or deleted document of a collection with an on-disk text
// index (once per such index), and its resumable build calls dfts_clear
// before a fresh build and dfts_index_document per row. Phrase search
// (text/phrase.h) and the query executor read through dfts_read_meta_ro and
// dfts_for_each_posting / dfts_read_posting_rows (dfts_read_postings, which
// decodes every row into owned strings and vectors, serves checks).
//
// Rows (integers little-endian unless marked BE):
//
//   meta     key "M" (0x4D)
//            value: offset 0 size 8 document count (u64)
//                   offset 8 size 8 total tokens (u64)
//            absent or shorter than 16 bytes reads as (0, 0); bytes after
//            the first 16 are ignored.
//   posting  key: offset 0 size 1 "P" (0x50)
//                 offset 1 size 4 term length t (u32 BE)
//                 offset 5 size t term (UTF-8)
//                 offset 5+t      document key
//            value: document length (u32), tf (u32), tf positions (u32
//                   each, ascending)
//   forward  key: "F" (0x46) followed by the document key
//            value: document length (u32), distinct term count n (u32),
//                   then n times term length (u32) and the term bytes
//
// Row tags are stored on disk, never change. The length before the term
// makes the posting rows of one term, and only those, share the prefix
// "P" + length + term, so a prefix scan lists a term's postings and its
// size is the term's document frequency. A document whose text yields no
// token has the forward row of 8 zero bytes, no posting row, and counts in
// the meta row. Every row is written and deleted through the counted row
// operations, so the namespace's row count is its number of rows.
//
// Damaged rows never fail an operation: a short meta row reads as (0, 0);
// a malformed forward row (short, a term past its end, a term that is not
// UTF-8) is treated as absent; a short posting row reads as a document of
// length 0 without positions.
//
// Thread-safety: every call runs inside the caller's transaction on its
// thread; nothing here locks.

#ifndef PALLIX_TEXT_DISK_FTS_H_
#define PALLIX_TEXT_DISK_FTS_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "doc/value.h"
#include "storage/read_view.h"
#include "storage/rows.h"

namespace pallix {

// Row tags; stored on disk, never change.
inline constexpr char kDftsMetaTag = 'M';
inline constexpr char kDftsPostingTag = 'P';
inline constexpr char kDftsForwardTag = 'F';

// The namespace of the on-disk text index of (collection, field).
std::string dfts_namespace(std::string_view collection, std::string_view field);

struct DftsMeta {
  uint64_t doc_count = 0;
  uint64_t total_tokens = 0;
  bool operator==(const DftsMeta&) const = default;
};

// One posting row as read: the document, its length and the positions read.
struct DftsPosting {
  std::string key;
  uint32_t doc_length = 0;
  std::vector<uint32_t> positions;
};

// Posting rows gathered into one buffer, so that reading a term's postings
// allocates per list rather than per row: each row keeps its document key,
// its document length and its positions as dfts_parse_posting reads them
// (a short row: length 0, no position). Rows are numbered in the order
// added.
class DftsPostings {
 public:
  // Adds the posting row of doc_key whose value is value.
  void Add(std::string_view doc_key, std::string_view value);
  void Clear() {
    bytes_.clear();
    rows_.clear();
  }
  size_t size() const { return rows_.size(); }
  bool empty() const { return rows_.empty(); }
  // Views valid until the next Add or Clear.
  std::string_view key(size_t i) const { return {bytes_.data() + rows_[i].at, rows_[i].key_size}; }
  uint32_t doc_length(size_t i) const { return rows_[i].doc_length; }
  // The number of positions read, which the text paths use as the term
  // frequency.
  uint32_t tf(size_t i) const { return rows_[i].tf; }
  // Replaces out with the positions of row i.
  void Positions(size_t i, std::vector<uint32_t>& out) const;

 private:
  struct RowRef {
    size_t at;  // the key, then tf positions (u32 little-endian)
    uint32_t key_size;
    uint32_t doc_length;
    uint32_t tf;
  };
  std::string bytes_;
  std::vector<RowRef> rows_;
};

// Row builders.
std::string dfts_posting_prefix(std::string_view term);
std::string dfts_posting_key(std::string_view term, std::string_view key);
std::string dfts_forward_key(std::string_view key);
std::string dfts_meta_key();
std::string dfts_meta_value(uint64_t count, uint64_t total);
// The meta value read by the rule above.
DftsMeta dfts_parse_meta(std::string_view value);
// A posting value read by the rule above (key left empty).
DftsPosting dfts_parse_posting(std::string_view value);

// ------------------------------------------------------------ upkeep

// (Re)writes one document's rows for text: removes its previous rows, then
// writes a posting row per distinct term, the forward row and the meta row
// (count + 1, total + length). Errors: Storage.
Status dfts_index_document(WriteCtx& ctx, std::string_view ns, std::string_view key, std::string_view text);

// Removes the posting and forward rows of key and lowers meta by the
// document; false (nothing deleted, meta unchanged) when the key has no
// forward row or a malformed one. Errors: Storage.
Result<bool> dfts_delete_postings(WriteCtx& ctx, std::string_view ns, std::string_view key, DftsMeta& meta);

// Removes one document's rows and writes the lowered meta row; a key
// without rows writes nothing. Errors: Storage.
Status dfts_delete_document_rows(WriteCtx& ctx, std::string_view ns, std::string_view key);

// The write path's upkeep of one index for one document: document is the
// written value, or null for a deleted document. A document whose field (a
// dotted path) holds text is (re)indexed; any other value, or none, leaves
// the key without rows. Errors: Storage.
Status dfts_upkeep_document(WriteCtx& ctx, std::string_view ns, std::string_view field, std::string_view key,
                            const Value* document);

// Removes every row of the namespace (and sets its count to 0). A fresh
// build calls it first, so rows of a former index of the same name (left in
// place when the index was re-declared in memory) never mix with the new
// ones. Errors: Storage.
Status dfts_clear(WriteCtx& ctx, std::string_view ns);

// ------------------------------------------------------------ reads

// The meta row through a write context or a read view. Errors: Storage.
Result<DftsMeta> dfts_read_meta(WriteCtx& ctx, std::string_view ns);
Result<DftsMeta> dfts_read_meta_ro(const ReadView& view, std::string_view ns);
// The token count of the document under key, from its forward row; nullopt
// when the key has no forward row or a malformed one (the document is then
// not known to the index). Errors: Storage.
Result<std::optional<uint32_t>> dfts_read_doc_length(const ReadView& view, std::string_view ns, std::string_view key);
// The posting rows of term, in document key order. Errors: Storage.
Result<std::vector<DftsPosting>> dfts_read_postings(const ReadView& view, std::string_view ns, std::string_view term);
// Calls fn(document key, posting value) for each posting row of term, in
// document key order; the views are valid only during the call. Errors:
// Storage.
Status dfts_for_each_posting(const ReadView& view, std::string_view ns, std::string_view term,
                             const std::function<void(std::string_view, std::string_view)>& fn);
// Replaces out with the posting rows of term. Errors: Storage.
Status dfts_read_posting_rows(const ReadView& view, std::string_view ns, std::string_view term, DftsPostings& out);

}  // namespace pallix

#endif  // PALLIX_TEXT_DISK_FTS_H_
