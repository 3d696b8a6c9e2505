// The Collection class: the handle's life (close, __exit__, __repr__,
// name, query), its read methods (get, scan, scan_each, page, is_empty,
// len), and the type with its one method table, which also places the
// methods of collection_write.cc, collection_declare.cc and
// collection_graph.cc.
//
// Every method: arguments extracted (TypeError/OverflowError) before the
// lock; "collection lock" taken; closed handle refused; keys converted and
// the engine called under the lock; the lock released; then the Python
// result built or the error raised. Reads hand stored bytes out of the
// lock and decode them straight into Python objects (DocumentToPy); a
// scan or page of many rows reads them with the interpreter lock
// released.
// scan_each is the exception: its callback runs under the lock, once per
// row, inside the walk's read transaction.

#include "binding/collection.h"

#include "binding/repr.h"
#include "binding/value.h"
#include "storage/read_view.h"
#include "write/write.h"

namespace pallix::py {

namespace {

// At most this many stored rows per range read of page().
constexpr uint64_t kPageBatch = 1024;

CollectionHandle& H(PyObject* self) { return Unbox<CollectionHandle>(self); }

PyObject* CloseCollection(PyObject* self) {
  auto taken = UnderLock(H(self).lock, [&] { return H(self).Close(); });
  if (!taken) return nullptr;
  Py_RETURN_NONE;  // the references go with `taken`, after the lock
}

PyObject* CollectionExit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.__exit__", 3, "_exc_type", "_exc_value", "_traceback");
  PyObject* a[3];
  if (!MatchArgs(kParams, args, nargs, kwnames, a)) return nullptr;
  return CloseCollection(self);
}

PyObject* CollectionName(PyObject* self) {
  auto ok = WithOpen(self, [](const std::string&, Engine&) -> BResult<bool> { return true; });
  if (!ok) return nullptr;
  if (!*ok) return RaiseError(ok->error());
  return NewStr(H(self).name).release();
}

PyObject* CollectionRepr(PyObject* self) {
  // Never waits: the name is fixed for the handle's life and the open flag
  // mirrors the state, so neither needs the lock.
  if (!H(self).lock.CheckNotPoisoned()) return nullptr;
  if (!H(self).open.load(std::memory_order_acquire)) return PyUnicode_FromString("pallix.Collection(<closed>)");
  return NewStr("pallix.Collection(" + QuoteText(H(self).name) + ")").release();
}

PyObject* CollectionQuery(PyObject* self) {
  auto refs = WithOpen(self, [&](const std::string&, Engine&) -> BResult<EngineRefs> {
    H(self).state->count->value.fetch_add(1);
    return *H(self).state;
  });
  if (!refs) return nullptr;
  if (!*refs) return RaiseError(refs->error());
  return NewQuery(H(self).name, std::move(**refs));
}

// ------------------------------------------------------------ reads

PyObject* CollectionGet(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.get", 1, "key");
  PyObject* a[1];
  if (!MatchArgs(kParams, args, nargs, kwnames, a)) return nullptr;
  auto row = WithOpen(self, [&](const std::string& name, Engine& engine) -> BResult<std::optional<std::string>> {
    ASSIGN_OR_RETURN(std::string key, KeyFromPy(a[0]));
    return get_row_once(engine.store(), name, key);
  });
  if (!row) return nullptr;
  if (!*row) return RaiseError(row->error());
  if (!**row) Py_RETURN_NONE;
  return DocumentToPyOrRaise(***row).release();
}

// (key, document) tuples of stored rows, in order; null with an error set.
Ref RowsToPy(const std::vector<Row>& rows) {
  GcPause pause;
  Ref list = Ref::Steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!list) return list;
  for (size_t i = 0; i < rows.size(); ++i) {
    Ref key = KeyToPy(rows[i].key);
    if (!key) return key;
    Ref doc = DocumentToPyOrRaise(rows[i].value);
    if (!doc) return doc;
    Ref pair = Ref::Steal(PyTuple_Pack(2, key.get(), doc.get()));
    if (!pair) return pair;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release());
  }
  return list;
}

PyObject* CollectionScan(PyObject* self) {
  // A long scan reads its rows without the interpreter lock; they are
  // converted with it. The row count (one meta read) tells a long one.
  auto rows = WithOpen(self, [](const std::string& name, Engine& engine) -> BResult<std::vector<Row>> {
    Result<uint64_t> count = count_rows(engine.store(), name);
    bool long_read = count.has_value() && *count >= kLongRead;
    return MaybeWithoutGil(long_read, [&] { return scan_all_rows(engine.store(), name); });
  });
  if (!rows) return nullptr;
  if (!*rows) return RaiseError(rows->error());
  return RowsToPy(**rows).release();
}

// One row of scan_each: the callback's answer (true: go on), or the
// InvalidArgument error that ends the walk. A failing call (a non-callable
// cb included) is "scan callback failed: <type>: <text>"; a failing truth
// test or document conversion is "<type>: <text>" alone. The Python
// exception is consumed, never re-raised.
Result<bool> VisitRow(PyObject* cb, std::string_view key, const Value& doc) {
  Ref py_key = KeyToPy(key);
  Ref py_doc = py_key ? ValueToPy(doc) : Ref();
  if (!py_doc) return Fail(EngineError::InvalidArgument(TakePyErrText()));
  Ref answer = CallPositional(cb, py_key.get(), py_doc.get());
  if (!answer) return Fail(EngineError::InvalidArgument("scan callback failed: " + TakePyErrText()));
  int truth = PyObject_IsTrue(answer.get());
  if (truth < 0) return Fail(EngineError::InvalidArgument(TakePyErrText()));
  return truth != 0;
}

// The lock and the walk's read transaction stay held while cb runs; cb is
// not checked before the first row.
PyObject* CollectionScanEach(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.scan_each", 1, "cb");
  PyObject* a[1];
  if (!MatchArgs(kParams, args, nargs, kwnames, a)) return nullptr;
  PyObject* cb = a[0];
  auto visited = WithOpen(self, [cb](const std::string& name, Engine& engine) -> BResult<uint64_t> {
    uint64_t count = 0;
    RETURN_IF_ERROR(scan_each_walk(engine, name, count, [cb](std::string_view key, const Value& doc) {
      return VisitRow(cb, key, doc);
    }));
    return count;
  });
  return Finish(std::move(visited), [](uint64_t n) { return PyLong_FromUnsignedLongLong(n); });
}

// The stored rows of one page and whether the page is full.
struct RawPage {
  std::vector<Row> rows;
  bool full = false;
};

// Up to `limit` rows strictly after `after` (from the start without it),
// all read from one snapshot in batches of at most kPageBatch rows.
Result<RawPage> ReadPage(Engine& engine, const std::string& name, const std::optional<std::string>& after,
                         uint64_t limit) {
  RawPage page;
  if (limit == 0) return page;
  ASSIGN_OR_RETURN(ReadTxn txn, engine.store().BeginRead());
  ReadView view(txn);
  // The smallest key strictly greater than `after` is `after` + 0x00.
  std::string start = after ? *after + '\0' : std::string();
  while (page.rows.size() < limit) {
    uint64_t want = std::min<uint64_t>(kPageBatch, limit - page.rows.size());
    ASSIGN_OR_RETURN(std::vector<Row> batch, view.view_scan_from(name, start, want));
    if (batch.empty()) break;
    for (Row& row : batch) page.rows.push_back(std::move(row));
    start = page.rows.back().key + '\0';
  }
  page.full = page.rows.size() == limit;
  return page;
}

PyObject* CollectionPage(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Collection.page", 0, "after", "limit");
  PyObject* a[2];
  uint64_t limit = 10;
  if (!MatchArgs(kParams, args, nargs, kwnames, a)) return nullptr;
  if (a[1] != nullptr && !ArgU64(kParams, 1, a[1], &limit)) return nullptr;
  auto page = WithOpen(self, [&](const std::string& name, Engine& engine) -> BResult<RawPage> {
    std::optional<std::string> after;
    if (a[0] != nullptr && a[0] != Py_None) {
      ASSIGN_OR_RETURN(after, KeyFromPy(a[0]));
    }
    return MaybeWithoutGil(limit >= kLongRead, [&] { return ReadPage(engine, name, after, limit); });
  });
  if (!page) return nullptr;
  if (!*page) return RaiseError(page->error());
  Ref rows = RowsToPy((*page)->rows);
  if (!rows) return nullptr;
  Ref next = (*page)->full ? KeyToPy((*page)->rows.back().key) : None();
  if (!next) return nullptr;
  return NewPage(std::move(rows), std::move(next));
}

// The maintained row count (one meta read); null optional: error raised.
std::optional<uint64_t> RowCount(PyObject* self) {
  auto count = WithOpen(self, [](const std::string& name, Engine& engine) -> BResult<uint64_t> {
    return count_rows(engine.store(), name);
  });
  if (!count) return std::nullopt;
  if (!*count) {
    RaiseError(count->error());
    return std::nullopt;
  }
  return **count;
}

PyObject* CollectionIsEmpty(PyObject* self) {
  std::optional<uint64_t> count = RowCount(self);
  if (!count) return nullptr;
  return NewBool(*count == 0).release();
}

Py_ssize_t CollectionLen(PyObject* self) {
  std::optional<uint64_t> count = RowCount(self);
  if (!count) return -1;
  if (*count > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "collection length does not fit a Py_ssize_t");
    return -1;
  }
  return static_cast<Py_ssize_t>(*count);
}

// ------------------------------------------------------------ the type

// Methods in the order of the class's interface. Text and vector index
// declarations, batch and conditional writes and the phrase search have no
// entry yet.
constexpr int kArgs = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"__enter__", ReturnSelf, METH_NOARGS, kEnterDoc},
    {"__exit__", PALLIX_CFUNC(Fast<CollectionExit>), kArgs,
     "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"},
    // Writes (collection_write.cc).
    {"insert", PALLIX_CFUNC(Fast<CollectionInsert>), kArgs,
     "insert($self, key, doc)\n--\n\nInsert (replace) `doc` at `key`."},
    {"insert_many", PALLIX_CFUNC(Fast<CollectionInsertMany>), kArgs,
     "insert_many($self, entries)\n--\n\nBulk atomic insert (`put_many`): one transaction; a violating\n"
     "pair rolls the whole batch back."},
    {"insert_auto", PALLIX_CFUNC(Fast<CollectionInsertAuto>), kArgs,
     "insert_auto($self, doc)\n--\n\nInsert with an engine-generated key (20-digit, strictly\n"
     "monotonic per collection); returns the key."},
    // The update and scan_each texts are part of the published interface and
    // kept word for word. A callback's call into its own handle does not in
    // fact deadlock: the handle lock refuses it at once (code 12).
    {"update", PALLIX_CFUNC(Fast<CollectionUpdate>), kArgs,
     "update($self, key, f)\n--\n\nRead-modify-write: `fn` receives the current document (or `None`\n"
     "when absent) and returns the new document — `None` to delete. A\n"
     "raising callback aborts with code 12 and writes nothing. `fn`\n"
     "must NOT call methods on this same Collection: the handle's lock\n"
     "is non-reentrant (the FFI's portable contract), so a reentrant\n"
     "call deadlocks. (The engine's own `update` is the same\n"
     "get-then-write composition; see its docs for the linearizability\ncaveat.)"},
    {"patch", PALLIX_CFUNC(Fast<CollectionPatch>), kArgs,
     "patch($self, key, patch)\n--\n\nMerge the top-level fields of `patch` into the document at `key`\n"
     "(creating it if absent)."},
    {"compare_and_set", PALLIX_CFUNC(Fast<CollectionCompareAndSet>), kArgs,
     "compare_and_set($self, key, expected, replacement)\n--\n\nAtomically write `replacement` only if the "
     "current value equals\n`expected` (`None` = must be absent; `replacement=None` deletes\non match). Returns "
     "whether the write was applied."},
    {"delete", PALLIX_CFUNC(Fast<CollectionDelete>), kArgs,
     "delete($self, key)\n--\n\nDelete `key`; returns whether it existed."},
    // Expiry (collection_write.cc).
    {"delete_where", PALLIX_CFUNC(Fast<CollectionDeleteWhere>), kArgs,
     "delete_where($self, pred)\n--\n\nDelete every document matching `pred` (see `field()`); returns\n"
     "the removed count."},
    {"delete_batch", PALLIX_CFUNC(Fast<CollectionDeleteBatch>), kArgs,
     "delete_batch($self, keys)\n--\n\nDelete a batch of keys; returns the removed count."},
    {"insert_with_ttl", PALLIX_CFUNC(Fast<CollectionInsertWithTtl>), kArgs,
     "insert_with_ttl($self, key, doc, expires_at)\n--\n\nInsert with an expiry instant (`expires_at`, epoch units "
     "of your\nchoosing)."},
    {"set_ttl", PALLIX_CFUNC(Fast<CollectionSetTtl>), kArgs,
     "set_ttl($self, key, expires_at)\n--\n\nSet the expiry instant for an existing key."},
    {"get_ttl", PALLIX_CFUNC(Fast<CollectionGetTtl>), kArgs,
     "get_ttl($self, key)\n--\n\nThe key's expiry instant, or `None` when it has no TTL."},
    {"purge_expired", PALLIX_CFUNC(Fast<CollectionPurgeExpired>), kArgs,
     "purge_expired($self, now)\n--\n\nRemove every expired key as of `now`; returns the purged count."},
    // Reads.
    {"get", PALLIX_CFUNC(Fast<CollectionGet>), kArgs,
     "get($self, key)\n--\n\nThe document at `key`, or `None` when absent."},
    {"scan", PALLIX_CFUNC(NoArgs<CollectionScan>), METH_NOARGS,
     "scan($self)\n--\n\nEvery `(key, document)` in key order, as a list of tuples."},
    {"scan_each", PALLIX_CFUNC(Fast<CollectionScanEach>), kArgs,
     "scan_each($self, cb)\n--\n\nStream with a callback `fn(key, doc) -> bool` — returning a\n"
     "falsy value stops the walk early (not an error). Returns the\n"
     "number of rows visited. The callback must NOT call methods on\n"
     "this same Collection (non-reentrant handle lock)."},
    {"page", PALLIX_CFUNC(Fast<CollectionPage>), kArgs,
     "page($self, after=None, limit=10)\n--\n\nKeyset pagination: up to `limit` rows strictly after `after`\n"
     "(`None` starts at the beginning). Returns a `Page` with `rows`\nand the `next` cursor (`None` at the end)."},
    {"is_empty", PALLIX_CFUNC(NoArgs<CollectionIsEmpty>), METH_NOARGS,
     "is_empty($self)\n--\n\nWhether the collection is empty."},
    // Index declarations (collection_declare.cc).
    {"create_scalar_index", PALLIX_CFUNC(Fast<CollectionCreateScalarIndex>), kArgs,
     "create_scalar_index($self, field)\n--\n\nCreate a scalar index over `field`."},
    {"create_compound_index", PALLIX_CFUNC(Fast<CollectionCreateCompoundIndex>), kArgs,
     "create_compound_index($self, fields)\n--\n\nCreate a compound index over `fields`."},
    {"create_text_index", PALLIX_CFUNC(Fast<CollectionCreateTextIndex>), kArgs,
     "create_text_index($self, field)\n--\n\nCreate an in-memory BM25 inverted-text index over `field`."},
    {"create_text_index_ondisk", PALLIX_CFUNC(Fast<CollectionCreateTextIndexOndisk>), kArgs,
     "create_text_index_ondisk($self, field)\n--\n\nCreate an on-disk BM25 inverted-text index over `field`."},
    {"create_geo_index", PALLIX_CFUNC(Fast<CollectionCreateGeoIndex>), kArgs,
     "create_geo_index($self, field)\n--\n\nCreate a geospatial index over the point `field`."},
    {"create_vector_index", PALLIX_CFUNC(Fast<CollectionCreateVectorIndex>), kArgs,
     "create_vector_index($self, field, metric)\n--\n\nCreate an in-memory HNSW vector index (`metric`:\n"
     "'cosine'|'dot'|'l2')."},
    {"create_vector_index_quantized", PALLIX_CFUNC(Fast<CollectionCreateVectorIndexQuantized>), kArgs,
     "create_vector_index_quantized($self, field, metric, quant)\n--\n\nCreate an in-memory quantized HNSW "
     "vector index (`quant`:\n'none'|'binary'|'scalar')."},
    {"create_vector_index_ondisk", PALLIX_CFUNC(Fast<CollectionCreateVectorIndexOndisk>), kArgs,
     "create_vector_index_ondisk($self, field, metric)\n--\n\nCreate an on-disk HNSW vector index."},
    {"create_vector_index_ondisk_quantized", PALLIX_CFUNC(Fast<CollectionCreateVectorIndexOndiskQuantized>), kArgs,
     "create_vector_index_ondisk_quantized($self, field, metric, quant)\n--\n\nCreate an on-disk quantized HNSW "
     "vector index."},
    {"create_vector_index_pq", PALLIX_CFUNC(Fast<CollectionCreateVectorIndexPq>), kArgs,
     "create_vector_index_pq($self, field, metric, m, k)\n--\n\nCreate an in-memory product-quantized HNSW "
     "index (m subspaces,\nk centroids; `dim % m == 0` required)."},
    {"create_vector_index_ondisk_pq", PALLIX_CFUNC(Fast<CollectionCreateVectorIndexOndiskPq>), kArgs,
     "create_vector_index_ondisk_pq($self, field, metric, m, k)\n--\n\nCreate an on-disk product-quantized "
     "HNSW index."},
    // Schema (collection_declare.cc).
    {"set_schema", PALLIX_CFUNC(Fast<CollectionSetSchema>), kArgs,
     "set_schema($self, fields)\n--\n\nDeclare the collection's schema (a list of `SchemaField`s);\n"
     "replaces any previous one."},
    {"schema", PALLIX_CFUNC(NoArgs<CollectionSchema>), METH_NOARGS,
     "schema($self)\n--\n\nThe declared schema as `SchemaField`s, or `None` when none."},
    // Graph (collection_graph.cc).
    {"link", PALLIX_CFUNC(Fast<CollectionLink>), kArgs,
     "link($self, from, relation, to)\n--\n\nAdd a directed edge `from --relation--> to`."},
    {"link_weighted", PALLIX_CFUNC(Fast<CollectionLinkWeighted>), kArgs,
     "link_weighted($self, from, relation, to, weight)\n--\n\nAdd a weighted directed edge."},
    {"unlink", PALLIX_CFUNC(Fast<CollectionUnlink>), kArgs,
     "unlink($self, from, relation, to)\n--\n\nRemove an edge; returns whether it existed."},
    {"neighbors", PALLIX_CFUNC(Fast<CollectionNeighbors>), kArgs,
     "neighbors($self, from, relation)\n--\n\nOut-edge destinations from `from` over `relation`."},
    {"in_neighbors", PALLIX_CFUNC(Fast<CollectionInNeighbors>), kArgs,
     "in_neighbors($self, to, relation)\n--\n\nIn-edge sources to `to` over `relation`."},
    {"neighbors_weighted", PALLIX_CFUNC(Fast<CollectionNeighborsWeighted>), kArgs,
     "neighbors_weighted($self, from, relation)\n--\n\nWeighted out-edges as `(key, weight)` tuples."},
    {"traverse", PALLIX_CFUNC(Fast<CollectionTraverse>), kArgs,
     "traverse($self, start, relation, hops)\n--\n\nBFS `hops` out over `relation` (cycle-safe)."},
    // Geo searches (collection_geo.cc).
    {"geo_within_radius", PALLIX_CFUNC(Fast<CollectionGeoWithinRadius>), kArgs,
     "geo_within_radius($self, field, lat, lon, radius_km)\n--\n\nDocuments whose point `field` lies within "
     "`radius_km` of (`lat`, `lon`)\n(haversine), as `GeoHit`s nearest first, ties by key."},
    {"geo_within_bbox", PALLIX_CFUNC(Fast<CollectionGeoWithinBbox>), kArgs,
     "geo_within_bbox($self, field, min_lat, min_lon, max_lat, max_lon)\n--\n\nDocuments whose point `field` "
     "lies in the box (bounds inclusive;\nmin_lon > max_lon crosses the antimeridian), as `GeoHit`s in key\n"
     "order with distance_km 0.0."},
    {"geo_nearest", PALLIX_CFUNC(Fast<CollectionGeoNearest>), kArgs,
     "geo_nearest($self, field, lat, lon, k)\n--\n\nThe `k` documents whose point `field` is nearest to "
     "(`lat`, `lon`),\nas `GeoHit`s nearest first, ties by key."},
    // Phrase search (collection_phrase.cc).
    {"phrase_search", PALLIX_CFUNC(Fast<CollectionPhraseSearch>), kArgs,
     "phrase_search($self, field, phrase, k)\n--\n\nThe `k` documents whose text `field` holds `phrase` as a "
     "consecutive\nrun of tokens, as `Row`s best first (BM25), ties by key."},
    // Life.
    {"query", PALLIX_CFUNC(NoArgs<CollectionQuery>), METH_NOARGS,
     "query($self)\n--\n\nStart a one-shot fluent query over this collection."},
    {"close", PALLIX_CFUNC(NoArgs<CloseCollection>), METH_NOARGS,
     "close($self)\n--\n\nRelease the handle (idempotent); also runs on GC. Derived\n"
     "handles may outlive the parent Db close."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"name", Getter<CollectionName>, nullptr, "The collection's name.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(DeallocBoxed<CollectionHandle>)},
    {Py_tp_repr, reinterpret_cast<void*>(Unary<CollectionRepr>)},
    {Py_mp_length, reinterpret_cast<void*>(Length<CollectionLen>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.Collection", sizeof(Boxed<CollectionHandle>), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kSlots};

PyTypeObject* g_type = nullptr;

}  // namespace

std::optional<EngineRefs> CollectionHandle::Close() {
  std::optional<EngineRefs> taken = std::exchange(state, std::nullopt);
  if (taken) taken->count->value.fetch_sub(1);
  open.store(false, std::memory_order_release);
  return taken;
}

CollectionHandle::~CollectionHandle() { Close(); }

PyTypeObject* CollectionType() { return TypeOnce(&g_type, &kSpec); }

PyObject* NewCollection(std::string name, EngineRefs refs) {
  PyTypeObject* type = CollectionType();
  // Kept apart from `refs`, which the new handle takes over.
  std::shared_ptr<LiveHandleCount> count = refs.count;
  PyObject* obj = type != nullptr ? NewBoxed<CollectionHandle>(type, std::move(name), std::move(refs)) : nullptr;
  if (obj == nullptr) count->value.fetch_sub(1);  // never constructed: give the count back
  return obj;
}

}  // namespace pallix::py
