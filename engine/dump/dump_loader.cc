#include "dump/dump_loader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/port.h"
#include "db/edges.h"
#include "db/schema.h"
#include "db/ttl.h"
#include "doc/value.h"
#include "dump/dump_format.h"
#include "dump/dump_reader.h"
#include "dump/dump_replay.h"
#include "index/compound_index.h"
#include "index/geo_index.h"
#include "index/scalar_index.h"
#include "index/vector_index.h"
#include "index/vector_repair_batch.h"
#include "storage/rows.h"
#include "write/write.h"

namespace pallix {

namespace {

// Documents per durable commit, and the bytes after which a batch ends
// early, which bound the memory of the after-commit list.
constexpr size_t kBatchDocuments = 65536;
constexpr size_t kBatchBytes = size_t{64} << 20;
// Documents per nested transaction; more while on-disk graphs take their
// vectors, whose changed nodes are written at every fold (a neighbour of
// many new nodes is written once per fold rather than once per chunk of
// 64), at the price of a longer replay after a failure.
constexpr size_t kChunkDocuments = 64;
constexpr size_t kChunkDocumentsIntoGraphs = 2048;
// Up-front room for lists whose declared size the file could inflate.
constexpr uint64_t kReserveCap = 4096;

Status CheckRenames(const RenameMap& renames) {
  std::map<std::string, std::string, std::less<>> first_source;
  for (const auto& [source, target] : renames) {
    RETURN_IF_ERROR(validate_name(target));
    auto [it, fresh] = first_source.emplace(target, source);
    if (!fresh)
      return Fail(EngineError::InvalidArgument("rename collision: '" + it->second + "' and '" + source +
                                               "' both map to '" + target + "'"));
  }
  return Ok();
}

class Loader {
 public:
  Loader(Engine& engine, DumpReader& in, const RenameMap& renames) : engine_(engine), in_(in), renames_(renames) {
    repairs_.ShareInserts();
  }

  Status Run() {
    RETURN_IF_ERROR(in_.ReadHeader());
    RETURN_IF_ERROR(LoadDocuments());
    for (int section = 1; section < kDumpSections; ++section) {
      ASSIGN_OR_RETURN(uint64_t count, in_.ReadU64());
      RETURN_IF_ERROR(LoadSection(section, count));
    }
    if (!untrained_.empty()) {
      std::string names;
      for (const auto& [collection, field] : untrained_)
        names += (names.empty() ? "" : ", ") + ("collection '" + collection + "' field '" + field + "'");
      return Fail(EngineError::EmptyIndexTraining("for " + names +
                                                  " (left out; everything else in the dump was loaded)"));
    }
    return Ok();
  }

 private:
  // The target of a dump collection: reserved dump names are refused
  // before any rename, invalid targets before anything of the entry is
  // written, and two dump collections may not share a target.
  Result<std::string> Target(int section) {
    ASSIGN_OR_RETURN(std::string name, in_.ReadStr());
    const char* word = kDumpSectionWords[section];
    if (name.starts_with("__"))
      return Fail(EngineError::InvalidDump(std::string("dump contains ") + word +
                                           " for engine-reserved collection '" + name + "'"));
    auto renamed = renames_.find(name);
    std::string target = renamed == renames_.end() ? name : renamed->second;
    RETURN_IF_ERROR(validate_name(target));
    auto [it, fresh] = targets_.emplace(target, name);
    if (!fresh && it->second != name)
      return Fail(EngineError::InvalidArgument("rename collision: dump collection '" + it->second +
                                               "' already loads into '" + target + "', which '" + name +
                                               "' would also target"));
    return target;
  }

  struct Loaded {
    std::string collection;
    std::string key;
    std::string bytes;  // as read, stored verbatim
    Value doc;
  };

  Status LoadDocuments();
  Result<Loaded> ReadDocument();
  Result<Loaded> NextDocument();
  void RetireAhead(WriteCtx& ctx, const Loaded& first, uint64_t count);
  void UndoRetire(WriteCtx& ctx, size_t& chunk_start);
  Status PutDocument(WriteCtx& ctx, const Loaded& doc);
  void Replay(WriteCtx& ctx, std::vector<Loaded>& pending, size_t from);
  Status FoldChunk(WriteCtx& ctx);
  void RepairGraphs(WriteCtx& ctx);
  Status FinishBatch(std::optional<WriteCtx>& ctx, std::vector<Loaded>& pending);
  Status LoadSection(int section, uint64_t count);
  Status LoadEntry(int section, const std::string& target);
  Status LoadVectorIndex(const std::string& target);
  Status LoadSchema(const std::string& target);

  Engine& engine_;
  DumpReader& in_;
  const RenameMap& renames_;
  std::map<std::string, std::string, std::less<>> targets_;
  std::vector<std::pair<std::string, uint64_t>> counters_;
  // The (collection, field) of each product-quantized declaration no
  // codebook could be trained for, in the order first met, each once (a
  // dump may declare one field more than once), named by the error raised
  // once every section is loaded.
  std::vector<std::pair<std::string, std::string>> untrained_;
  // The vector graphs' repair of the batch under way: once per batch, not
  // once per replaced vector.
  VectorRepairBatch repairs_;
  // Documents read ahead of their put (a read failure in its place).
  std::deque<Result<Loaded>> ahead_;
  uint64_t read_ = 0;  // documents read from the dump
  // Whether the batch under way took the vectors it replaces out of the
  // on-disk graphs up front, in a nested transaction of its own that its
  // chunks' nested transactions go inside.
  bool retired_ = false;
};

// One document: the row put (counted) and the index upkeep of the target's
// declared indexes. Runs inside a nested transaction, so a failure (which
// may leave LMDB's transaction unusable) is dropped with it.
Status Loader::PutDocument(WriteCtx& ctx, const Loaded& doc) {
  RETURN_IF_ERROR(put_row(ctx, doc.collection, doc.key, doc.bytes));
  return index_upkeep_put(engine_, ctx, doc.collection, doc.key, doc.doc, &repairs_);
}

// The on-disk graphs' repair of the batch's replaced vectors, once, before
// its commit. In a nested transaction of its own: should it fail, the
// batch still commits, with the repair each replacement noted, which later
// writes then pay.
// Folds the nested transaction of a chunk of documents, the on-disk
// graphs' rows its inserts changed written first. On failure the nested
// transaction is gone, and with it what the shared inserts held.
Status Loader::FoldChunk(WriteCtx& ctx) {
  Status done = repairs_.FlushInserts(ctx);
  if (!done) {
    ctx.AbortNested();
  } else {
    done = ctx.CommitNested();
  }
  if (!done) repairs_.DropInserts();
  return done;
}

void Loader::RepairGraphs(WriteCtx& ctx) {
  if (!repairs_.has_disk() || !ctx.BeginNested()) return;
  if (repairs_.FinishDisk(engine_, ctx) && ctx.CommitNested()) return;
  if (ctx.txn().nesting() > 0) ctx.AbortNested();
  repairs_.DropInserts();
  repairs_.DropDisk();
}

// After documents [from, end) of the batch were dropped with their nested
// transaction, puts them again, each in a nested transaction of its own,
// so that exactly the documents before the failing one stay.
void Loader::Replay(WriteCtx& ctx, std::vector<Loaded>& pending, size_t from) {
  for (size_t i = from; i < pending.size(); ++i) {
    bool ok = ctx.BeginNested().has_value();
    if (ok && PutDocument(ctx, pending[i])) {
      if (FoldChunk(ctx)) continue;
      ok = false;  // gone with its nested transaction
    }
    if (ok && ctx.txn().nesting() > 0) ctx.AbortNested();
    repairs_.DropInserts();
    pending.resize(i);
    return;
  }
}

// Commits the batch, then brings in-memory indexes up to date with it.
Status Loader::FinishBatch(std::optional<WriteCtx>& ctx, std::vector<Loaded>& pending) {
  if (!ctx) return Ok();
  // The inserts of a chunk still open (its fold is the commit's).
  Status committed = repairs_.FlushInserts(*ctx);
  repairs_.DropInserts();  // the next batch may follow other threads' writes
  retired_ = false;
  // Folded now, so that the repair's nested transaction sits right on the
  // batch's (a failed fold leaves the commit to fail).
  while (committed && ctx->txn().nesting() > 0) committed = ctx->CommitNested();
  if (committed) RepairGraphs(*ctx);
  if (committed) committed = ctx->Commit();
  ctx.reset();
  if (committed) {
    // The replaced vectors leave the in-memory graphs, repaired around,
    // before the new ones go in: inserts then neither walk through nor
    // link to their tombstones.
    for (const Loaded& d : pending) retire_memory_vectors(engine_, d.collection, d.key, &d.doc, repairs_);
    repairs_.FinishMemory(engine_);
    for (const Loaded& d : pending) update_memory_indexes(engine_, d.collection, d.key, &d.doc, &repairs_);
    repairs_.FinishMemory(engine_);
  }
  pending.clear();
  return committed;
}

Result<Loader::Loaded> Loader::NextDocument() {
  if (ahead_.empty()) {
    ++read_;
    return ReadDocument();
  }
  Result<Loaded> doc = std::move(ahead_.front());
  ahead_.pop_front();
  return doc;
}

// At the start of a batch whose first document is `first`: reads the
// batch's other documents ahead (up to where the batch ends), and, in a
// nested transaction, takes the vectors they replace out of the on-disk
// graphs and repairs the graphs around them once, before any of the
// batch's inserts search those graphs: the inserts then neither walk
// through nor link to the replaced nodes, which cost the repair again
// afterwards, and a node that keeps its vector stays. The nested
// transaction stays open for the batch's chunks, so it commits with their
// puts or, should a put fail, goes with them (UndoRetire). Should the
// removal fail, or remove nothing, it is dropped at once, and the batch's
// inserts replace the vectors themselves, as a put does.
void Loader::RetireAhead(WriteCtx& ctx, const Loaded& first, uint64_t count) {
  retired_ = false;
  if (!ctx.BeginNested()) return;
  Status retired = retire_disk_vectors(engine_, ctx, first.collection, first.key, first.doc, repairs_);
  size_t docs = 1, bytes = first.key.size() + first.bytes.size();
  while (retired && read_ < count && docs < kBatchDocuments && bytes < kBatchBytes) {
    ++read_;
    ahead_.push_back(ReadDocument());
    if (!ahead_.back()) break;  // met when the batch reaches it
    const Loaded& doc = *ahead_.back();
    ++docs;
    bytes += doc.key.size() + doc.bytes.size();
    retired = retire_disk_vectors(engine_, ctx, doc.collection, doc.key, doc.doc, repairs_);
  }
  if (retired && repairs_.has_disk()) {
    retired_ = repairs_.FinishDisk(engine_, ctx).has_value();
    if (retired_) return;
  }
  if (ctx.txn().nesting() > 0) ctx.AbortNested();
  repairs_.DropInserts();
  repairs_.DropDisk();
}

// After a failure inside a batch that took its replaced vectors out up
// front, with the failing chunk's nested transaction gone: drops the
// removal and with it every document of the batch put so far, which are
// then put again from the batch's first (chunk_start 0).
void Loader::UndoRetire(WriteCtx& ctx, size_t& chunk_start) {
  if (!retired_) return;
  while (ctx.txn().nesting() > 0) ctx.AbortNested();
  repairs_.DropInserts();
  repairs_.DropDisk();
  retired_ = false;
  chunk_start = 0;
}

Result<Loader::Loaded> Loader::ReadDocument() {
  ASSIGN_OR_RETURN(std::string target, Target(0));
  ASSIGN_OR_RETURN(std::string key, in_.ReadBytes());
  ASSIGN_OR_RETURN(std::string bytes, in_.ReadBytes());
  ASSIGN_OR_RETURN(Value doc, decode_value(bytes));
  return Loaded{std::move(target), std::move(key), std::move(bytes), std::move(doc)};
}

// Documents go into batches of one write transaction each; inside a batch,
// runs of kChunkDocuments share a nested transaction (a nested transaction
// per document would copy the touched pages once per document). Only a
// storage failure can stop a put, and then the run is dropped and replayed
// document by document up to the failing one.
Status Loader::LoadDocuments() {
  ASSIGN_OR_RETURN(uint64_t count, in_.ReadU64());
  std::optional<Store::WriterTurn> turn;
  std::optional<WriteCtx> ctx;
  std::vector<Loaded> pending;
  size_t batch_bytes = 0, chunk_start = 0;
  // Every failure first commits the documents before it.
  auto stop = [&](Status failure) -> Status {
    Status committed = FinishBatch(ctx, pending);
    turn.reset();
    return committed ? failure : committed;
  };
  for (uint64_t i = 0; i < count; ++i) {
    Result<Loaded> doc = NextDocument();
    if (!doc) return stop(Fail(doc.error()));
    if (!ctx) {
      // Held until the batch is in the in-memory indexes too, so that a
      // write of another thread to a loaded key reaches them after it.
      Result<Store::WriterTurn> taken = engine_.store().TakeWriterTurn();
      if (!taken) return stop(Fail(taken.error()));
      turn.emplace(std::move(*taken));
      Result<WriteCtx> begun = BeginWriteCtx(engine_.store());
      if (!begun) return stop(Fail(begun.error()));
      ctx.emplace(std::move(*begun));
      RetireAhead(*ctx, *doc, count);
    }
    if (ctx->txn().nesting() == (retired_ ? 1 : 0)) {
      if (Status nested = ctx->BeginNested(); !nested) {
        if (retired_) {
          UndoRetire(*ctx, chunk_start);
          Replay(*ctx, pending, chunk_start);
        }
        return stop(nested);
      }
      chunk_start = pending.size();
    }
    if (Status put = PutDocument(*ctx, *doc); !put) {
      ctx->AbortNested();
      repairs_.DropInserts();
      UndoRetire(*ctx, chunk_start);
      Replay(*ctx, pending, chunk_start);
      return stop(put);
    }
    batch_bytes += doc->key.size() + doc->bytes.size();
    pending.push_back(std::move(*doc));
    if (pending.size() - chunk_start >= (repairs_.has_inserts() ? kChunkDocumentsIntoGraphs : kChunkDocuments)) {
      if (Status folded = FoldChunk(*ctx); !folded) {
        UndoRetire(*ctx, chunk_start);
        Replay(*ctx, pending, chunk_start);
        return stop(folded);
      }
    }
    if (pending.size() >= kBatchDocuments || batch_bytes >= kBatchBytes) {
      RETURN_IF_ERROR(FinishBatch(ctx, pending));
      turn.reset();
      batch_bytes = 0;
    }
  }
  return FinishBatch(ctx, pending);
}

Status Loader::LoadSection(int section, uint64_t count) {
  for (uint64_t i = 0; i < count; ++i) {
    ASSIGN_OR_RETURN(std::string target, Target(section));
    RETURN_IF_ERROR(LoadEntry(section, target));
  }
  if (section == 8 && !counters_.empty()) return raise_auto_counters(engine_, counters_);
  return Ok();
}

Status Loader::LoadVectorIndex(const std::string& target) {
  ASSIGN_OR_RETURN(std::string field, in_.ReadStr());
  ASSIGN_OR_RETURN(uint8_t metric, in_.ReadU8());
  if (metric >= 3) return Fail(EngineError::InvalidDump("bad metric"));
  ASSIGN_OR_RETURN(uint8_t quant, in_.ReadU8());
  if (quant >= 3) return Fail(EngineError::InvalidDump("bad quant"));
  ASSIGN_OR_RETURN(uint8_t kind, in_.ReadU8());
  if (kind > 3) return Fail(EngineError::InvalidDump("bad vector mode"));
  VectorDeclaration decl{field, metric, quant, kind, 0, 0};
  if (kind >= 2) {
    ASSIGN_OR_RETURN(decl.m, in_.ReadLen());
    ASSIGN_OR_RETURN(decl.k, in_.ReadLen());
  }
  // A dump of a working database must load back whole, yet the dump holds
  // no codebook: one that cannot be trained again (every vector deleted,
  // none of a length m divides) costs only its own declaration, reported
  // after the last section.
  Status replayed = replay_vector_index(engine_, target, decl);
  if (!replayed && kind >= 2 && replayed.error().kind() == ErrorKind::kEmptyIndexTraining) {
    std::pair<std::string, std::string> name(target, field);
    if (std::find(untrained_.begin(), untrained_.end(), name) == untrained_.end()) untrained_.push_back(std::move(name));
    return Ok();
  }
  return replayed;
}

Status Loader::LoadSchema(const std::string& target) {
  ASSIGN_OR_RETURN(uint64_t n, in_.ReadLen());
  std::vector<SchemaField> fields;
  fields.reserve(std::min(n, kReserveCap));
  for (uint64_t i = 0; i < n; ++i) {
    SchemaField f;
    ASSIGN_OR_RETURN(uint8_t type, in_.ReadU8());
    if (type > kMaxFieldType) return Fail(EngineError::InvalidDump("bad field type"));
    f.type = static_cast<FieldType>(type);
    ASSIGN_OR_RETURN(uint8_t required, in_.ReadU8());
    ASSIGN_OR_RETURN(uint8_t unique, in_.ReadU8());
    ASSIGN_OR_RETURN(f.name, in_.ReadStr());
    f.required = required != 0;
    f.unique = unique != 0;
    fields.push_back(std::move(f));
  }
  return set_schema(engine_, target, fields);
}

Status Loader::LoadEntry(int section, const std::string& target) {
  switch (section) {
    case 1: return LoadVectorIndex(target);
    case 2: {
      ASSIGN_OR_RETURN(std::string field, in_.ReadStr());
      ASSIGN_OR_RETURN(uint8_t on_disk, in_.ReadU8());
      return replay_text_index(engine_, target, field, on_disk != 0);
    }
    case 3: {
      ASSIGN_OR_RETURN(std::string field, in_.ReadStr());
      return create_scalar_index(engine_, target, field);
    }
    case 4: {
      ASSIGN_OR_RETURN(uint64_t n, in_.ReadLen());
      std::vector<std::string> fields;
      fields.reserve(std::min(n, kReserveCap));
      for (uint64_t i = 0; i < n; ++i) {
        ASSIGN_OR_RETURN(std::string f, in_.ReadStr());
        fields.push_back(std::move(f));
      }
      return create_compound_index(engine_, target, fields);
    }
    case 5: {
      ASSIGN_OR_RETURN(std::string field, in_.ReadStr());
      return create_geo_index(engine_, target, field);
    }
    case 6: return LoadSchema(target);
    case 7: {
      ASSIGN_OR_RETURN(std::string key, in_.ReadBytes());
      ASSIGN_OR_RETURN(uint64_t instant, in_.ReadU64());
      return set_ttl(engine_, target, key, static_cast<int64_t>(instant));
    }
    case 8: {
      ASSIGN_OR_RETURN(uint64_t counter, in_.ReadU64());
      if (counters_.capacity() == 0) counters_.reserve(kReserveCap);
      counters_.emplace_back(target, counter);
      return Ok();
    }
    default: {
      ASSIGN_OR_RETURN(std::string relation, in_.ReadStr());
      ASSIGN_OR_RETURN(std::string from, in_.ReadBytes());
      ASSIGN_OR_RETURN(std::string to, in_.ReadBytes());
      ASSIGN_OR_RETURN(double weight, in_.ReadF64());
      return link_weighted(engine_, target, from, relation, to, weight);
    }
  }
}

}  // namespace

Result<std::unique_ptr<DumpReader>> open_dump_file(const std::string& path) {
  if (path.find('\0') != std::string::npos)
    return Fail(EngineError::Io("file name contained an unexpected NUL byte"));
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Fail(EngineError::Io(port::OsErrorText(errno)));
  return std::make_unique<DumpReader>(fd);
}

Status load_dump(Engine& engine, DumpReader& in, const RenameMap& renames) {
  RETURN_IF_ERROR(CheckRenames(renames));
  Loader loader(engine, in, renames);
  return loader.Run();
}

Status load_dump_file(Engine& engine, const std::string& path, const RenameMap& renames) {
  ASSIGN_OR_RETURN(std::unique_ptr<DumpReader> in, open_dump_file(path));
  return load_dump(engine, *in, renames);
}

}  // namespace pallix
