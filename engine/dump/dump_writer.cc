#include "dump/dump_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include "base/lock.h"
#include "base/port.h"
#include "db/edges.h"
#include "db/schema.h"
#include "dump/dump_format.h"
#include "index/registry.h"
#include "storage/read_view.h"

namespace pallix {

namespace {

constexpr size_t kWriteBuffer = size_t{1} << 20;
constexpr std::string_view kTtlPrefix = "__ttl__";

EngineError IoErrno(int err) { return EngineError::Io(port::OsErrorText(err)); }

// Writes all of bytes to fd. Errors: Io.
Status WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail(IoErrno(errno));
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return Ok();
}

// The dump file behind a 1 MiB buffer: small writes are gathered, and full
// buffers (and strings handed over whole) are written by a thread of the
// sink's own, one at a time and in order, while the caller fills the next:
// the file system's copy of the bytes overlaps the walk producing them, so
// the dump costs little more than the slower of the two.
class FileSink : public DumpSink {
 public:
  // rewritable: fd is a regular file, whose bytes can be written again at
  // an offset; any other target gets every byte once, in order.
  FileSink(int fd, bool rewritable) : fd_(fd), rewritable_(rewritable) {
    buffer_.reserve(kWriteBuffer);
    // Without a thread (the system refused one) the caller writes itself.
    try {
      writer_ = std::thread([this] { WriterLoop(); });
    } catch (const std::system_error&) {
    }
  }
  ~FileSink() override {
    StopWriter();
    if (fd_ >= 0) close(fd_);
  }

  bool CanRewrite() const override { return rewritable_; }
  uint64_t Position() const override { return submitted_ + buffer_.size(); }

  Status Rewrite(uint64_t offset, std::string_view bytes) override {
    RETURN_IF_ERROR(Flush());
    RETURN_IF_ERROR(WaitIdle());
    while (!bytes.empty()) {
      ssize_t n = pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Fail(IoErrno(errno));
      bytes.remove_prefix(static_cast<size_t>(n));
      offset += static_cast<uint64_t>(n);
    }
    return Ok();
  }

  Status Write(std::string_view bytes) override {
    if (buffer_.size() + bytes.size() < kWriteBuffer) {
      buffer_.append(bytes);
      return Ok();
    }
    RETURN_IF_ERROR(Flush());
    buffer_.append(bytes);
    if (buffer_.size() < kWriteBuffer) return Ok();
    return Flush();
  }

  Status Hand(std::string& bytes) override {
    RETURN_IF_ERROR(Flush());
    return Submit(bytes);
  }

  // Hands the gathered bytes to the writer thread.
  Status Flush() {
    if (buffer_.empty()) return Ok();
    return Submit(buffer_);
  }

  // Flushes, waits for every write, stops the writer and closes; a close
  // that fails (a delayed write error on some file systems) fails the dump.
  Status Close() {
    Status flushed = Flush();
    if (flushed) flushed = WaitIdle();
    StopWriter();
    int rc = close(std::exchange(fd_, -1));
    if (!flushed) return flushed;
    if (rc != 0) return Fail(IoErrno(errno));
    return Ok();
  }

 private:
  // Waits for the write in progress, then gives bytes to the writer in
  // exchange for the drained string (empty, capacity kept). The first
  // failed write is reported here and by every later call.
  Status Submit(std::string& bytes) {
    if (!writer_.joinable()) {
      if (error_) error_ = WriteAll(fd_, bytes);
      submitted_ += bytes.size();
      bytes.clear();
      return error_;
    }
    {
      std::unique_lock<std::mutex> lock(mu_);
      idle_.wait(lock, [&] { return !busy_; });
      if (!error_) return error_;
      submitted_ += bytes.size();
      pending_.swap(bytes);
      busy_ = true;
    }
    work_.notify_one();
    bytes.clear();
    return Ok();
  }

  Status WaitIdle() {
    std::unique_lock<std::mutex> lock(mu_);
    idle_.wait(lock, [&] { return !busy_; });
    return error_;
  }

  void WriterLoop() {
    std::unique_lock<std::mutex> lock(mu_);
    while (true) {
      work_.wait(lock, [&] { return busy_ || stop_; });
      if (!busy_) return;  // stopping, nothing left to write
      lock.unlock();
      // pending_ is the writer's alone while busy_ is set.
      Status written = error_ ? WriteAll(fd_, pending_) : Ok();
      lock.lock();
      if (!written && error_) error_ = written;
      pending_.clear();
      busy_ = false;
      idle_.notify_all();
    }
  }

  void StopWriter() {
    if (!writer_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    work_.notify_one();
    writer_.join();
  }

  int fd_;
  const bool rewritable_;
  uint64_t submitted_ = 0;
  std::string buffer_;
  std::mutex mu_;
  std::condition_variable work_, idle_;
  std::string pending_;  // guarded by mu_ while !busy_
  bool busy_ = false;
  bool stop_ = false;
  Status error_ = Ok();
  std::thread writer_;  // started once every member above exists
};

Result<std::vector<std::string>> UserCollections(const ReadView& view) {
  ASSIGN_OR_RETURN(std::vector<std::string> names, view.view_list_collections());
  std::erase_if(names, [](const std::string& n) { return n.starts_with("__"); });
  return names;
}

Result<uint64_t> CountDocuments(const ReadView& view, const std::vector<std::string>& collections) {
  uint64_t count = 0;
  for (const std::string& c : collections)
    RETURN_IF_ERROR(view.view_for_each_batch(c, [&](std::span<const RowRef> rows) -> Result<bool> {
      count += rows.size();
      return true;
    }));
  return count;
}

// Copies one document entry (collection, key, document) to p; returns the
// end of what it wrote.
char* PutDocumentEntry(char* p, std::string_view collection, std::string_view key, std::string_view doc) {
  for (std::string_view field : {collection, key, doc}) {
    EncodeFixed64LE(p, field.size());
    if (!field.empty()) std::memcpy(p + 8, field.data(), field.size());
    p += 8 + field.size();
  }
  return p;
}

// Appends the entries of a batch of the collection's rows to out: their
// size is known up front, so out grows once per batch and the fields are
// copied in, instead of six appends per row.
void AppendDocumentEntries(std::string& out, std::string_view collection, std::span<const RowRef> rows) {
  size_t size = 0;
  for (const RowRef& row : rows) size += 24 + collection.size() + row.key.size() + row.value.size();
  const size_t at = out.size();
  // The new size is returned as computed, not as the length handed to the
  // callback: g++ 12's library hands over the grown capacity there when it
  // reallocates, which would leave that much uninitialised tail.
  out.resize_and_overwrite(at + size, [&](char* p, size_t) {
    p += at;
    for (const RowRef& row : rows) p = PutDocumentEntry(p, collection, row.key, row.value);
    return at + size;
  });
}

// Section 1. The count precedes the records: a sink that can rewrite gets
// a placeholder, filled in after one pass; any other sink costs a counting
// pass over the same snapshot first. Entries are gathered into batches of
// at least the sink's buffer size, handed to the sink whole (a file sink
// writes one on its own thread while the next is filled): each document's
// bytes are copied once, from the map to the batch.
Status WriteDocuments(const ReadView& view, const std::vector<std::string>& collections, DumpSink& sink) {
  const bool rewrite = sink.CanRewrite();
  const uint64_t count_at = sink.Position();
  uint64_t expected = 0, count = 0;
  if (!rewrite) {
    ASSIGN_OR_RETURN(expected, CountDocuments(view, collections));
  }
  std::string batch;
  batch.reserve(kWriteBuffer + kWriteBuffer / 4);
  dump_put_u64(batch, expected);
  for (const std::string& c : collections)
    RETURN_IF_ERROR(view.view_for_each_batch(c, [&](std::span<const RowRef> rows) -> Result<bool> {
      AppendDocumentEntries(batch, c, rows);
      count += rows.size();
      if (batch.size() >= kWriteBuffer) RETURN_IF_ERROR(sink.Hand(batch));
      return true;
    }));
  RETURN_IF_ERROR(sink.Hand(batch));
  if (!rewrite) return Ok();
  dump_put_u64(batch, count);
  return sink.Rewrite(count_at, batch);
}

// The kind byte of a vector declaration: a PQ kind without its codebook
// is dumped as the plain kind of the same storage.
uint8_t DumpedVectorKind(const VectorIndexInfo& info) {
  if (info.storage_kind == kVectorOnDiskPq) return info.codebook ? kVectorOnDiskPq : kVectorOnDisk;
  if (info.storage_kind == kVectorInMemoryPq) return info.codebook ? kVectorInMemoryPq : kVectorInMemory;
  return info.storage_kind;
}

Status EncodeVectorIndexes(Engine& engine, std::string& out) {
  std::vector<std::pair<FieldKey, VectorIndexInfo>> copy;
  {
    NamedMutex::Guard guard(engine.index_lock);
    ASSIGN_OR_RETURN(VectorRegistry * reg, vector_registry(engine));
    copy.assign(reg->declared.begin(), reg->declared.end());
  }
  dump_put_u64(out, copy.size());
  for (const auto& [key, info] : copy) {
    dump_put_bytes(out, key.first);
    dump_put_bytes(out, key.second);
    dump_put_u8(out, info.metric);
    dump_put_u8(out, info.quantization);
    uint8_t kind = DumpedVectorKind(info);
    dump_put_u8(out, kind);
    if (kind == kVectorOnDiskPq || kind == kVectorInMemoryPq) {
      dump_put_u64(out, info.codebook->m);
      dump_put_u64(out, info.codebook->k);
    }
  }
  return Ok();
}

Status EncodeTextIndexes(Engine& engine, std::string& out) {
  std::vector<std::pair<FieldKey, TextIndexInfo>> copy;
  {
    NamedMutex::Guard guard(engine.fts_lock);
    ASSIGN_OR_RETURN(TextRegistry * reg, text_registry(engine));
    copy.assign(reg->declared.begin(), reg->declared.end());
  }
  dump_put_u64(out, copy.size());
  for (const auto& [key, info] : copy) {
    dump_put_bytes(out, key.first);
    dump_put_bytes(out, key.second);
    dump_put_u8(out, info.on_disk ? 1 : 0);
  }
  return Ok();
}

void EncodeFieldKeys(const std::vector<FieldKey>& keys, std::string& out) {
  dump_put_u64(out, keys.size());
  for (const auto& [collection, field] : keys) {
    dump_put_bytes(out, collection);
    dump_put_bytes(out, field);
  }
}

Status EncodeScalarAndCompound(Engine& engine, std::string& out) {
  std::vector<FieldKey> scalars;
  {
    NamedMutex::Guard guard(engine.scalar_lock);
    ASSIGN_OR_RETURN(ScalarRegistry * reg, scalar_registry(engine));
    for (const auto& entry : reg->scalars) scalars.push_back(entry.first);
  }
  EncodeFieldKeys(scalars, out);
  std::vector<CompoundKey> compounds;
  {
    NamedMutex::Guard guard(engine.scalar_lock);
    ASSIGN_OR_RETURN(ScalarRegistry * reg, scalar_registry(engine));
    for (const auto& entry : reg->compounds) compounds.push_back(entry.first);
  }
  dump_put_u64(out, compounds.size());
  for (const auto& [collection, fields] : compounds) {
    dump_put_bytes(out, collection);
    dump_put_u64(out, fields.size());
    for (const std::string& f : fields) dump_put_bytes(out, f);
  }
  return Ok();
}

Status EncodeGeoIndexes(Engine& engine, std::string& out) {
  std::vector<FieldKey> geos;
  {
    NamedMutex::Guard guard(engine.geo_lock);
    ASSIGN_OR_RETURN(GeoRegistry * reg, geo_registry(engine));
    for (const auto& entry : reg->fields) geos.push_back(entry.first);
  }
  EncodeFieldKeys(geos, out);
  return Ok();
}

void EncodeSchemas(Engine& engine, std::string& out) {
  std::vector<std::pair<std::string, std::vector<SchemaField>>> copy;
  {
    NamedMutex::Guard guard(engine.schema_lock);
    copy.assign(engine.schemas->by_collection.begin(), engine.schemas->by_collection.end());
  }
  // The schema map is a hash map; sorted, equal databases dump equal bytes.
  std::sort(copy.begin(), copy.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  dump_put_u64(out, copy.size());
  for (const auto& [collection, fields] : copy) {
    dump_put_bytes(out, collection);
    dump_put_u64(out, fields.size());
    for (const SchemaField& f : fields) {
      dump_put_u8(out, static_cast<uint8_t>(f.type));
      dump_put_u8(out, f.required ? 1 : 0);
      dump_put_u8(out, f.unique ? 1 : 0);
      dump_put_bytes(out, f.name);
    }
  }
}

// Section 8. The by-document expiry row of the empty key is the single
// byte 0x00; it is an expiry like any other and is dumped.
Status EncodeExpiries(const ReadView& view, std::string& out) {
  ASSIGN_OR_RETURN(std::vector<std::string> names, view.view_list_collections());
  std::string entries;
  uint64_t count = 0;
  for (const std::string& name : names) {
    if (!name.starts_with(kTtlPrefix)) continue;
    std::string_view collection = std::string_view(name).substr(kTtlPrefix.size());
    ASSIGN_OR_RETURN(std::vector<Row> rows, view.view_scan_prefix(name, std::string_view("\0", 1)));
    for (const Row& row : rows) {
      if (row.value.size() != 8) continue;
      uint64_t instant = DecodeFixed64BE(row.value.data()) ^ (uint64_t{1} << 63);
      dump_put_bytes(entries, collection);
      dump_put_bytes(entries, std::string_view(row.key).substr(1));
      dump_put_u64(entries, instant);
      ++count;
    }
  }
  dump_put_u64(out, count);
  out.append(entries);
  return Ok();
}

Status EncodeAutoCounters(const ReadView& view, std::string& out) {
  constexpr std::string_view kAuto = "auto:";
  std::string entries, upper = "auto;";
  uint64_t count = 0;
  RETURN_IF_ERROR(view.txn().Scan(StoreTable::kMeta, kAuto, &upper,
                                  [&](std::string_view key, std::string_view value) -> Result<bool> {
                                    if (value.size() != 8)
                                      return Fail(EngineError::Storage("damaged u64 value under " +
                                                                       std::string(key)));
                                    dump_put_bytes(entries, key.substr(kAuto.size()));
                                    dump_put_u64(entries, DecodeFixed64LE(value.data()));
                                    ++count;
                                    return true;
                                  }));
  dump_put_u64(out, count);
  out.append(entries);
  return Ok();
}

Status EncodeEdges(const ReadView& view, std::string& out) {
  ASSIGN_OR_RETURN(std::vector<EdgeRecord> edges, collect_edges(view));
  dump_put_u64(out, edges.size());
  for (const EdgeRecord& e : edges) {
    dump_put_bytes(out, e.collection);
    dump_put_bytes(out, e.relation);
    dump_put_bytes(out, e.from);
    dump_put_bytes(out, e.to);
    dump_put_f64(out, e.weight);
  }
  return Ok();
}

// An open dump target. Only a regular file is cut to nothing and written
// back into; anything else (/dev/null, a pipe, a terminal) is written
// front to back, and truncating it would fail or mean nothing.
struct DumpFile {
  int fd;
  bool regular;
};

// Opens path for writing without truncating it, and refuses the open
// database's own file before anything is cut.
Result<DumpFile> OpenDumpFile(Engine& engine, const std::string& path) {
  if (path.find('\0') != std::string::npos)
    return Fail(EngineError::Io("file name contained an unexpected NUL byte"));
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return Fail(IoErrno(errno));
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    close(fd);
    return Fail(IoErrno(err));
  }
  auto own = engine.store().FileIdentity();
  if (own && own->first == static_cast<uint64_t>(st.st_dev) && own->second == static_cast<uint64_t>(st.st_ino)) {
    close(fd);
    return Fail(EngineError::Io("refusing to dump into the open database's own file: " + path));
  }
  const bool regular = S_ISREG(st.st_mode);
  if (regular && ftruncate(fd, 0) != 0) {
    int err = errno;
    close(fd);
    return Fail(IoErrno(err));
  }
  return DumpFile{fd, regular};
}

}  // namespace

Status dump_database(Engine& engine, DumpSink& sink) {
  ASSIGN_OR_RETURN(ReadTxn txn, engine.store().BeginRead());
  ReadView view(txn);
  ASSIGN_OR_RETURN(std::vector<std::string> collections, UserCollections(view));
  RETURN_IF_ERROR(WriteDocuments(view, collections, sink));
  std::string declarations;
  RETURN_IF_ERROR(EncodeVectorIndexes(engine, declarations));
  RETURN_IF_ERROR(EncodeTextIndexes(engine, declarations));
  RETURN_IF_ERROR(EncodeScalarAndCompound(engine, declarations));
  RETURN_IF_ERROR(EncodeGeoIndexes(engine, declarations));
  EncodeSchemas(engine, declarations);
  RETURN_IF_ERROR(sink.Write(declarations));
  std::string section;
  RETURN_IF_ERROR(EncodeExpiries(view, section));
  RETURN_IF_ERROR(sink.Write(section));
  section.clear();
  RETURN_IF_ERROR(EncodeAutoCounters(view, section));
  RETURN_IF_ERROR(sink.Write(section));
  section.clear();
  RETURN_IF_ERROR(EncodeEdges(view, section));
  return sink.Write(section);
}

Status dump_to_path(Engine& engine, const std::string& path) {
  ASSIGN_OR_RETURN(DumpFile file, OpenDumpFile(engine, path));
  FileSink sink(file.fd, file.regular);
  Status written = sink.Write(kDumpMagic);
  if (written) written = dump_database(engine, sink);
  Status closed = sink.Close();
  if (!written) return written;
  return closed;
}

}  // namespace pallix
