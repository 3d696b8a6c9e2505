// The Db class: opening a database (file or memory), closing it, and the
// database-level methods collection() and collections().
//
// A Db holds, under "db lock", either (engine, live-handle count) or
// nothing (closed). Closing drops its engine reference only; derived
// Collection and Query handles hold their own and keep the engine (and the
// file lock) alive until the last of them goes.

#include "binding/error.h"
#include "binding/types.h"
#include "binding/value.h"
#include "dump/dump_loader.h"
#include "dump/dump_writer.h"
#include "index/open.h"
#include "storage/copy.h"

namespace pallix::py {

namespace {

struct DbHandle {
  explicit DbHandle(EngineRefs refs) noexcept : state(std::move(refs)) {}

  HandleLock lock{"db lock", "database handle is busy: a callback must not call back into the handle it runs under"};
  std::optional<EngineRefs> state;  // guarded by lock; empty when closed
  std::atomic<bool> open{true};     // mirrors state, for __repr__
};

DbHandle& H(PyObject* self) { return Unbox<DbHandle>(self); }

// Opens a file database at `path`, or an in-memory one without a path, with
// its index registries and schemas loaded (a registry that cannot be read
// fails the open).
Result<std::shared_ptr<Engine>> OpenEngine(const std::string* path) {
  return path != nullptr ? open_engine(*path) : open_in_memory();
}

PyObject* OpenDb(const std::string* path) {
  // Opening reads the file and loads the registries: no Python object.
  Result<std::shared_ptr<Engine>> engine = WithoutGil([&] { return OpenEngine(path); });
  if (!engine) return RaiseError(FromEngineError(engine.error()));
  PyTypeObject* type = DbType();
  if (type == nullptr) return nullptr;
  return NewBoxed<DbHandle>(type, EngineRefs{std::move(*engine), std::make_shared<LiveHandleCount>()});
}

// close() and __exit__: drop the pair; idempotent.
PyObject* CloseDb(PyObject* self) {
  auto taken = UnderLock(H(self).lock, [&] {
    H(self).open.store(false, std::memory_order_release);
    return std::exchange(H(self).state, std::nullopt);
  });
  if (!taken) return nullptr;
  Py_RETURN_NONE;  // the references go with `taken`, after the lock
}

// ------------------------------------------------------------ methods

PyObject* DbOpen(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Db.open", 1, "path");
  PyObject* a[1];
  std::string path;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgStr(kParams, 0, a[0], &path)) return nullptr;
  return OpenDb(&path);
}

PyObject* DbOpenMemory(PyObject*) { return OpenDb(nullptr); }

PyObject* DbNew(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  PALLIX_PARAMS(kParams, "Db", 0, "path");
  PyObject* a[1];
  if (!MatchTupleArgs(kParams, args, kwargs, a)) return nullptr;
  if (a[0] == nullptr || a[0] == Py_None) return OpenDb(nullptr);
  std::string path;
  if (!ArgStr(kParams, 0, a[0], &path)) return nullptr;
  return OpenDb(&path);
}

PyObject* DbExit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Db.__exit__", 3, "_exc_type", "_exc_value", "_traceback");
  PyObject* a[3];
  if (!MatchArgs(kParams, args, nargs, kwnames, a)) return nullptr;
  return CloseDb(self);
}

PyObject* DbCollection(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Db.collection", 1, "name");
  PyObject* a[1];
  std::string name;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgStr(kParams, 0, a[0], &name)) return nullptr;
  auto refs = UnderLock(H(self).lock, [&]() -> BResult<EngineRefs> {
    if (!H(self).state) return Invalid(kDbClosed);
    H(self).state->count->value.fetch_add(1);
    return *H(self).state;
  });
  if (!refs) return nullptr;
  if (!*refs) return RaiseError(refs->error());
  return NewCollection(std::move(name), std::move(**refs));
}

PyObject* DbCollections(PyObject* self) {
  auto names = UnderLock(H(self).lock, [&]() -> BResult<std::vector<std::string>> {
    if (!H(self).state) return Invalid(kDbClosed);
    ASSIGN_OR_RETURN(std::vector<std::string> all, list_collections(*H(self).state->engine));
    std::erase_if(all, [](const std::string& n) { return n.starts_with("__"); });
    return all;
  });
  if (!names) return nullptr;
  if (!*names) return RaiseError(names->error());
  return KeysToPyList(**names).release();
}

// The engine of an open Db, under "db lock", to run `body` on; the
// method's result or its error. Null with an exception set.
template <class F>
PyObject* WithOpenEngine(PyObject* self, F&& body) {
  auto out = UnderLock(H(self).lock, [&]() -> BResult<PyObject*> {
    if (!H(self).state) return Invalid(kDbClosed);
    return body(*H(self).state);
  });
  if (!out) return nullptr;
  if (!*out) return RaiseError(out->error());
  return **out;
}

// Runs a long engine operation on a file without the interpreter lock;
// None or the error.
template <class F>
BResult<PyObject*> NoneOr(F&& op) {
  Status s = WithoutGil([&] { return op(); });
  if (!s) return std::unexpected(FromEngineError(s.error()));
  Py_RETURN_NONE;
}

PyObject* DbDumpToPath(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Db.dump_to_path", 1, "path");
  PyObject* a[1];
  std::string path;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgStr(kParams, 0, a[0], &path)) return nullptr;
  return WithOpenEngine(self, [&](EngineRefs& refs) { return NoneOr([&] { return dump_to_path(*refs.engine, path); }); });
}

// The renames dict as a map; a key or value that is not a str is code 12.
BResult<RenameMap> RenamesFrom(PyObject* dict) {
  RenameMap out;
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    if (!PyUnicode_Check(k)) return Invalid("renames keys must be strings");
    if (!PyUnicode_Check(v)) return Invalid("renames values must be strings");
    std::string from, to;
    if (!Utf8Of(k, &from) || !Utf8Of(v, &to)) return std::unexpected(ErrorFromPyErr());
    out[std::move(from)] = std::move(to);
  }
  return out;
}

// Both load methods, in this order under "db lock": the closed check, the
// file's open (Io), then the renames dict (null for none), then the load
// (which goes on without the lock once it waits for the writer turn).
// The open leaves the interpreter lock: a FIFO's open waits for a writer.
PyObject* LoadDump(PyObject* self, const std::string& path, PyObject* renames_dict) {
  return WithOpenEngine(self, [&](EngineRefs& refs) -> BResult<PyObject*> {
    ASSIGN_OR_RETURN(std::unique_ptr<DumpReader> file, WithoutGil([&] { return open_dump_file(path); }));
    RenameMap renames;
    if (renames_dict != nullptr) {
      ASSIGN_OR_RETURN(renames, RenamesFrom(renames_dict));
    }
    // The load lets go of "db lock" if it has to wait for the writer turn
    // (LetGoWhileWaiting, handle.h), so it keeps a reference of its own.
    std::shared_ptr<Engine> engine = refs.engine;
    LetGoWhileWaiting let_go(&H(self).lock);
    return NoneOr([&] { return load_dump(*engine, *file, renames); });
  });
}

PyObject* DbLoadFromPath(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Db.load_from_path", 1, "path");
  PyObject* a[1];
  std::string path;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgStr(kParams, 0, a[0], &path)) return nullptr;
  return LoadDump(self, path, nullptr);
}

PyObject* DbLoadWithRenames(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Db.load_from_path_with_renames", 2, "path", "renames");
  PyObject* a[2];
  std::string path;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgStr(kParams, 0, a[0], &path)) return nullptr;
  if (!PyDict_Check(a[1])) {
    RaiseArgType(kParams, 1, a[1], "dict");
    return nullptr;
  }
  return LoadDump(self, path, a[1]);
}

PyObject* DbBackup(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PALLIX_PARAMS(kParams, "Db.backup", 1, "path");
  PyObject* a[1];
  std::string path;
  if (!MatchArgs(kParams, args, nargs, kwnames, a) || !ArgStr(kParams, 0, a[0], &path)) return nullptr;
  return WithOpenEngine(self, [&](EngineRefs& refs) {
    return NoneOr([&] { return backup_store(refs.engine->store(), path); });
  });
}

// Compaction needs the engine to itself: no derived handle may be live and
// no other reference to the engine may exist.
PyObject* DbCompact(PyObject* self) {
  return WithOpenEngine(self, [&](EngineRefs& refs) -> BResult<PyObject*> {
    if (refs.count->value.load(std::memory_order_acquire) != 1)
      return std::unexpected(BindingError("compact: derived handles are still open", kBusyCode));
    if (refs.engine.use_count() != 1)
      return std::unexpected(BindingError("compact: engine handles are still open", kBusyCode));
    Result<bool> shrank = WithoutGil([&] { return compact_engine(*refs.engine); });
    if (!shrank) return std::unexpected(FromEngineError(shrank.error()));
    return PyBool_FromLong(*shrank ? 1 : 0);
  });
}

PyObject* DbRepr(PyObject* self) {
  // Never waits: the open flag mirrors the state without the lock.
  if (!H(self).lock.CheckNotPoisoned()) return nullptr;
  return PyUnicode_FromString(H(self).open.load(std::memory_order_acquire) ? "pallix.Db(<open>)"
                                                                            : "pallix.Db(<closed>)");
}

PyMethodDef kMethods[] = {
    {"open", PALLIX_CFUNC(Fast<DbOpen>), METH_CLASS | METH_FASTCALL | METH_KEYWORDS,
     "open($cls, path)\n--\n\nOpen (or create) a file-backed database at `path`."},
    {"open_memory", PALLIX_CFUNC(NoArgs<DbOpenMemory>), METH_CLASS | METH_NOARGS,
     "open_memory($cls)\n--\n\nOpen a new, private, in-memory database."},
    {"__enter__", ReturnSelf, METH_NOARGS, kEnterDoc},
    {"__exit__", PALLIX_CFUNC(Fast<DbExit>), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\nClose the handle at the end of a `with` block."},
    {"collection", PALLIX_CFUNC(Fast<DbCollection>), METH_FASTCALL | METH_KEYWORDS,
     "collection($self, name)\n--\n\nAcquire a collection handle (lazily created by the engine on\n"
     "first write; names are validated at write time, like the ABI)."},
    {"collections", PALLIX_CFUNC(NoArgs<DbCollections>), METH_NOARGS,
     "collections($self)\n--\n\nThe names of the user collections, in bytewise order (internal\n"
     "`__` collections are not listed)."},
    {"backup", PALLIX_CFUNC(Fast<DbBackup>), METH_FASTCALL | METH_KEYWORDS,
     "backup($self, path)\n--\n\nCopy the database to `path` (which must not already exist)."},
    {"dump_to_path", PALLIX_CFUNC(Fast<DbDumpToPath>), METH_FASTCALL | METH_KEYWORDS,
     "dump_to_path($self, path)\n--\n\nDump the whole database (documents, indexes, schemas, TTLs,\n"
     "edges, auto-id counters) to `path`."},
    {"load_from_path", PALLIX_CFUNC(Fast<DbLoadFromPath>), METH_FASTCALL | METH_KEYWORDS,
     "load_from_path($self, path)\n--\n\nReplay a dump file into this database (merging)."},
    {"load_from_path_with_renames", PALLIX_CFUNC(Fast<DbLoadWithRenames>), METH_FASTCALL | METH_KEYWORDS,
     "load_from_path_with_renames($self, path, renames)\n--\n\nReplay a dump file into this database, loading each "
     "dump\ncollection under the name `renames` maps it to (`{from: to}`)."},
    {"compact", PALLIX_CFUNC(NoArgs<DbCompact>), METH_NOARGS,
     "compact($self)\n--\n\nCompact the database file; every Collection and Query derived from\n"
     "this Db must be closed (a Query: executed) first, else BUSY (19).\n"
     "Returns whether the file shrank."},
    {"close", PALLIX_CFUNC(NoArgs<CloseDb>), METH_NOARGS,
     "close($self)\n--\n\nClose the handle (idempotent). Derived handles may legitimately\n"
     "outlive it — the engine lives until the last handle drops."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Db(path=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(NewFunc<DbNew>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(DeallocBoxed<DbHandle>)},
    {Py_tp_repr, reinterpret_cast<void*>(Unary<DbRepr>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.Db", sizeof(Boxed<DbHandle>), 0, Py_TPFLAGS_DEFAULT, kSlots};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* DbType() { return TypeOnce(&g_type, &kSpec); }

}  // namespace pallix::py
