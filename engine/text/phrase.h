// Phrase search over the on-disk text index and by full scan: the two
// paths beside the in-memory one (SearchPhraseInIndex in text/fts.h), all
// three giving the same keys and bitwise the same BM25 scores for the same
// documents.
//
// Callers: the index layer's phrase search picks the path from the declared
// text index of (collection, field): a loaded in-memory index answers with
// SearchPhraseInIndex; a complete on-disk index with SearchPhraseOnDisk
// (when that gives nothing, the caller reads the index's registry state and
// answers "no index" while its build is unfinished); otherwise the caller
// falls back to SearchPhraseByScan. It resumes pending index builds before
// any of this.
//
// Scoring (all paths): tokens are the analysed phrase (text/text.h), in
// order, repeats kept; a document matches when positions p, p+1, ... of the
// tokens in turn all occur in it; its score is the sum in phrase order,
// from -0.0, of Bm25Term(tf, idf(N, df), dl, avgdl) in float, with N and T
// the index's document count and total tokens (avgdl = T / N, 0 read as
// 1.0). Results are best first (float total order, ties by key bytes) and
// cut to k.
//
// Thread-safety: reads through the caller's read view on its thread.

#ifndef PALLIX_TEXT_PHRASE_H_
#define PALLIX_TEXT_PHRASE_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "storage/read_view.h"
#include "text/fts.h"

namespace pallix {

// The phrase over the on-disk index in namespace ns: reads the meta row and
// the posting rows of the phrase tokens only, each token's once, every row
// counted but only those of documents holding every token read before it
// kept; candidates are the documents holding every token, and only those
// that would enter the top k are checked for the phrase. Empty when k is 0, the index holds no document, the
// phrase has no token, a token has no posting or nothing matches. Damaged
// rows never fail it (a short posting row is a document of length 0
// without positions, which cannot match). Errors: Storage.
Result<std::vector<ScoredKey>> SearchPhraseOnDisk(const ReadView& view, std::string_view ns,
                                                  std::string_view phrase, uint64_t k);

// The phrase by a walk over every document of collection, counting the
// phrase tokens in the field's text (a dotted path); documents whose field
// holds no text do not count in N. Errors: Storage, Decode of a document
// that does not decode.
Result<std::vector<ScoredDoc>> SearchPhraseByScan(const ReadView& view, std::string_view collection,
                                                  std::string_view field, std::string_view phrase, uint64_t k);

}  // namespace pallix

#endif  // PALLIX_TEXT_PHRASE_H_
