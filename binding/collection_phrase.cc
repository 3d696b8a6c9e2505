// Collection.phrase_search: parses its arguments before the lock, runs the
// engine's phrase search under it (index/text_index.h: pending builds are
// resumed, then the field's text index answers, in memory or on disk, or
// every document is scanned with the same scoring) and builds the Row
// objects after it.

#include "binding/collection.h"
#include "binding/value.h"
#include "index/text_index.h"

namespace pallix::py {

namespace {

using Hits = std::vector<PhraseHit>;

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
  auto hits = WithOpen(self, [&](const std::string& name, Engine& engine) -> BResult<Hits> {
    return phrase_search_entry(engine, name, field, phrase, k);
  });
  return Finish(std::move(hits), HitsToPy);
}

}  // namespace pallix::py
