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

// A list of Row objects, in the engine's order; null with an error set (a
// document that cannot be converted drops the rows made so far).
PyObject* HitsToPy(const Hits& hits) {
  GcPause pause;
  Ref list = Ref::Steal(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < hits.size(); ++i) {
    Ref key = KeyToPy(hits[i].key);
    if (!key) return nullptr;
    Ref doc = ValueToPy(hits[i].document);
    if (!doc) return nullptr;
    PyObject* row = NewRow(std::move(key), hits[i].score, std::move(doc));
    if (row == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), row);
  }
  return list.release();
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
