// Collection.phrase_search: parses its arguments before the lock, runs the
// engine's phrase search under it (index/text_index.h: pending builds are
// resumed, then the field's text index answers, in memory or on disk, or
// every document is scanned with the same scoring) and builds the Row
// objects after it. A search that may be long runs without the
// interpreter lock, as queries do: it touches no Python object, and
// "collection lock" stays held, so another thread using the same handle
// waits (with the interpreter lock released) while others go on. A
// resumed build writes its batches, so the search may wait for the writer
// turn: it lets go of the lock then, as a write does (WithOpenWrite).

#include "binding/collection.h"
#include "binding/handle.h"
#include "binding/value.h"
#include "index/text_index.h"
#include "storage/read_view.h"

namespace pallix::py {

namespace {

using Hits = std::vector<PhraseHit>;

// A phrase of at least this many bytes takes long enough to analyse and
// cross with the postings that giving the interpreter lock up is worth it.
// The work also grows with the collection (the scan reads every row, the
// first search builds an in-memory index from them): kLongRead rows or
// more count as long too.
constexpr size_t kLongPhrase = 4096;

// A list of Row objects, in the engine's order.
PyObject* HitsToPy(const Hits& hits) {
  return HitsToPyList(hits, [](const auto& hit, Ref key, Ref doc) {
    return NewRow(std::move(key), hit.score, std::move(doc));
  });
}

}  // namespace

PyObject* CollectionPhraseSearch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.phrase_search", 3, "field", "phrase", "k");
  PyObject* a[3];
  std::string field, phrase;
  uint64_t k;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgStr(kParams, 0, a[0], &field) ||
      !ArgStr(kParams, 1, a[1], &phrase) || !ArgU64(kParams, 2, a[2], &k))
    return nullptr;
  auto hits = WithOpenWrite(self, [&](const std::string& name, Engine& engine) -> BResult<Hits> {
    const Result<uint64_t> rows = count_rows(engine.store(), name);
    const bool long_search = phrase.size() >= kLongPhrase || (rows.has_value() && *rows >= kLongRead);
    return MaybeWithoutGil(long_search, [&] { return phrase_search_entry(engine, name, field, phrase, k); });
  });
  return Finish(std::move(hits), HitsToPy);
}

}  // namespace pallix::py
