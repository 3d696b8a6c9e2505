// The dump writer and loader: round trips of every section, the version-1
// reader, renames, and loads of truncated, corrupted and mutated dumps.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <random>

#include <gtest/gtest.h>

#include "db/edges.h"
#include "db/schema.h"
#include "db/ttl.h"
#include "dump/dump_format.h"
#include "dump/dump_loader.h"
#include "dump/dump_writer.h"
#include "index/compound_index.h"
#include "index/geo_index.h"
#include "index/index_state.h"
#include "index/scalar_index.h"
#include "index/text_index.h"
#include "index/vector_index.h"
#include "storage/read_view.h"
#include "storage/rows.h"
#include "test_util.h"
#include "write/write.h"

namespace pallix {
namespace {

using test::Doc;
using test::MemEngine;

class StringSink : public DumpSink {
 public:
  Status Write(std::string_view bytes) override {
    out.append(bytes);
    return Ok();
  }
  std::string out;
};

std::string DumpBytes(Engine& engine) {
  StringSink sink;
  sink.out.append(kDumpMagic);
  EXPECT_TRUE(dump_database(engine, sink).has_value());
  return sink.out;
}

void WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Every kind the index layer declares, schemas, expiry instants (the empty
// key's and a negative one), counters, plain and weighted edges, and edges
// of a collection that holds no document.
std::shared_ptr<Engine> Populated() {
  auto e = MemEngine();
  for (int i = 0; i < 5; ++i) {
    Value point = Value::Array({Value::Float(10 + i), Value::Float(20 - i)});
    EXPECT_TRUE(insert(*e, "users", "u" + std::to_string(i),
                       Doc({{"age", Value::Int(i)}, {"name", Value::Text("n" + std::to_string(i))}, {"loc", point}}))
                    .has_value());
  }
  EXPECT_TRUE(insert_with_ttl(*e, "users", "", Doc({{"age", Value::Int(-1)}}), 77).has_value());
  EXPECT_TRUE(insert_with_ttl(*e, "b", std::string("\x00\xff", 2), Value::Bytes("raw"), -3).has_value());
  EXPECT_TRUE(insert_auto(*e, "b", Value::Null()).has_value());
  EXPECT_TRUE(create_scalar_index(*e, "users", "age").has_value());
  EXPECT_TRUE(create_compound_index(*e, "users", {"name", "age"}).has_value());
  EXPECT_TRUE(create_geo_index(*e, "users", "loc").has_value());
  EXPECT_TRUE(set_schema(*e, "users", {SchemaField{"age", FieldType::kInt, true, false}}).has_value());
  EXPECT_TRUE(set_schema(*e, "b", {}).has_value());
  EXPECT_TRUE(link(*e, "users", "u1", "knows", "u2").has_value());
  EXPECT_TRUE(link_weighted(*e, "users", "u2", "knows", "u3", 0.5).has_value());
  EXPECT_TRUE(link_weighted(*e, "graph_only", "x", "r", "y", -2.25).has_value());
  return e;
}

Status LoadBytes(Engine& engine, std::string_view bytes, const RenameMap& renames = {}) {
  test::TempDir dir;
  std::string path = dir.path() + "/d.dump";
  WriteFile(path, bytes);
  return load_dump_file(engine, path, renames);
}

// Rewrites a version-2 dump as version 1: every len field 4 bytes wide.
class V1Writer {
 public:
  explicit V1Writer(std::string_view v2) : in_(v2.substr(kDumpMagic.size())) {}
  std::string Convert() {
    out_ = std::string(kDumpMagicV1);
    for (int section = 0; section < kDumpSections; ++section) {
      uint64_t n = U64();
      for (uint64_t i = 0; i < n; ++i) Entry(section);
    }
    return out_;
  }

 private:
  uint64_t U64() {
    uint64_t v = DecodeFixed64LE(in_.data());
    out_.append(in_.substr(0, 8));
    in_.remove_prefix(8);
    return v;
  }
  uint64_t Len() {
    uint64_t v = DecodeFixed64LE(in_.data());
    PutFixed32LE(&out_, static_cast<uint32_t>(v));
    in_.remove_prefix(8);
    return v;
  }
  void Raw(size_t n) {
    out_.append(in_.substr(0, n));
    in_.remove_prefix(n);
  }
  void Bytes() { Raw(Len()); }
  void Entry(int section) {
    Bytes();
    switch (section) {
      case 0: Bytes(), Bytes(); break;
      case 1: {
        Bytes();
        Raw(2);
        uint8_t kind = static_cast<uint8_t>(in_[0]);
        Raw(1);
        if (kind >= 2) Len(), Len();
        break;
      }
      case 2: Bytes(), Raw(1); break;
      case 3: case 5: Bytes(); break;
      case 4: for (uint64_t n = Len(); n > 0; --n) Bytes(); break;
      case 6: for (uint64_t n = Len(); n > 0; --n) Raw(3), Bytes(); break;
      case 7: Bytes(), Raw(8); break;
      case 8: Raw(8); break;
      default: Bytes(), Bytes(), Bytes(), Raw(8); break;
    }
  }
  std::string_view in_;
  std::string out_;
};

TEST(DumpTest, EmptyDatabaseIsMagicAndTenZeroCounts) {
  auto e = MemEngine();
  std::string bytes = DumpBytes(*e);
  EXPECT_EQ(bytes, std::string(kDumpMagic) + std::string(80, '\0'));
}

TEST(DumpTest, RoundTripIsByteIdentical) {
  auto source = Populated();
  std::string first = DumpBytes(*source);
  auto target = MemEngine();
  ASSERT_TRUE(LoadBytes(*target, first).has_value());
  EXPECT_EQ(DumpBytes(*target), first);
  // The loaded indexes answer: the scalar index holds every document.
  auto count = count_rows(target->store(), scalar_namespace("users", "age"));
  ASSERT_TRUE(count.has_value());
  EXPECT_EQ(*count, 2u * 6u);
}

TEST(DumpTest, EmptyKeyExpiryAndDocumentlessEdgesAreDumped) {
  auto source = Populated();
  auto target = MemEngine();
  ASSERT_TRUE(LoadBytes(*target, DumpBytes(*source)).has_value());
  auto ttl = get_row_once(target->store(), "__ttl__users", std::string_view("\0", 1));
  ASSERT_TRUE(ttl.has_value());
  EXPECT_TRUE(ttl->has_value());
  auto edges = scan_all_rows(target->store(), "__edges__graph_only");
  ASSERT_TRUE(edges.has_value());
  EXPECT_EQ(edges->size(), 1u);
}

TEST(DumpTest, VersionOneReadsTheSameContent) {
  auto source = Populated();
  std::string v2 = DumpBytes(*source);
  std::string v1 = V1Writer(v2).Convert();
  EXPECT_LT(v1.size(), v2.size());
  auto target = MemEngine();
  ASSERT_TRUE(LoadBytes(*target, v1).has_value());
  EXPECT_EQ(DumpBytes(*target), v2);
}

TEST(DumpTest, LoadingTwiceConvergesAndCountersOnlyRise) {
  auto source = Populated();
  std::string bytes = DumpBytes(*source);
  auto target = MemEngine();
  ASSERT_TRUE(raise_auto_counters(*target, {{"b", 50}}).has_value());
  ASSERT_TRUE(LoadBytes(*target, bytes).has_value());
  ASSERT_TRUE(LoadBytes(*target, bytes).has_value());
  auto rows = count_rows(target->store(), "users");
  ASSERT_TRUE(rows.has_value());
  EXPECT_EQ(*rows, 6u);
  auto txn = target->store().BeginRead();
  ASSERT_TRUE(txn.has_value());
  auto counter = txn->GetU64(StoreTable::kMeta, "auto:b");
  ASSERT_TRUE(counter.has_value());
  EXPECT_EQ(**counter, 50u);
}

TEST(DumpTest, MergeKeepsIndexesTheDumpDoesNotDeclare) {
  auto source = MemEngine();
  ASSERT_TRUE(insert(*source, "c", "k1", Doc({{"f", Value::Int(7)}})).has_value());
  auto target = MemEngine();
  ASSERT_TRUE(insert(*target, "c", "k0", Doc({{"f", Value::Int(1)}})).has_value());
  ASSERT_TRUE(create_scalar_index(*target, "c", "f").has_value());
  ASSERT_TRUE(LoadBytes(*target, DumpBytes(*source)).has_value());
  auto entries = count_rows(target->store(), scalar_namespace("c", "f"));
  ASSERT_TRUE(entries.has_value());
  EXPECT_EQ(*entries, 4u);  // a forward and a back-pointer row per document
}

TEST(DumpTest, RenamesAndTheirRefusals) {
  auto source = Populated();
  std::string bytes = DumpBytes(*source);
  auto target = MemEngine();
  ASSERT_TRUE(LoadBytes(*target, bytes, {{"users", "people"}, {"absent", "x"}}).has_value());
  auto moved = count_rows(target->store(), "people");
  ASSERT_TRUE(moved.has_value());
  EXPECT_EQ(*moved, 6u);

  auto collide = LoadBytes(*MemEngine(), "garbage", {{"a", "c"}, {"b", "c"}});
  ASSERT_FALSE(collide.has_value());
  EXPECT_EQ(collide.error().Message(), "invalid argument: rename collision: 'a' and 'b' both map to 'c'");
  auto bad_target = LoadBytes(*MemEngine(), bytes, {{"q", "x__y"}});
  ASSERT_FALSE(bad_target.has_value());
  EXPECT_EQ(bad_target.error().kind(), ErrorKind::kInvalidName);

  auto onto = MemEngine();
  auto clash = LoadBytes(*onto, bytes, {{"b", "users"}});
  ASSERT_FALSE(clash.has_value());
  EXPECT_EQ(clash.error().Message(),
            "invalid argument: rename collision: dump collection 'b' already loads into 'users', which 'users' "
            "would also target");
  auto kept = count_rows(onto->store(), "users");  // b's documents stay committed
  ASSERT_TRUE(kept.has_value());
  EXPECT_EQ(*kept, 2u);
}

std::string OneDocument(std::string_view collection, std::string_view key, std::string_view doc) {
  std::string out(kDumpMagic);
  dump_put_u64(out, 1);
  dump_put_bytes(out, collection);
  dump_put_bytes(out, key);
  dump_put_bytes(out, doc);
  for (int i = 1; i < kDumpSections; ++i) dump_put_u64(out, 0);
  return out;
}

TEST(DumpTest, BadNamesAreRefusedBeforeAnythingIsWritten) {
  auto e = MemEngine();
  std::string doc = encode_value(Value::Int(1));
  auto reserved = LoadBytes(*e, OneDocument("__indexes__", "k", doc));
  ASSERT_FALSE(reserved.has_value());
  EXPECT_EQ(reserved.error().Message(), "invalid dump: dump contains records for engine-reserved collection "
                                        "'__indexes__'");
  auto inner = LoadBytes(*e, OneDocument("a__b", "k", doc));
  ASSERT_FALSE(inner.has_value());
  EXPECT_EQ(inner.error().kind(), ErrorKind::kInvalidName);
  auto names = list_collections(*e);
  ASSERT_TRUE(names.has_value());
  EXPECT_TRUE(names->empty());
  auto nul = load_dump_file(*e, std::string("a\0b", 3), {});
  ASSERT_FALSE(nul.has_value());
  EXPECT_EQ(nul.error().kind(), ErrorKind::kIo);
}

// Number of whole document entries within the first `len` bytes.
size_t WholeDocuments(std::string_view dump, size_t len) {
  size_t pos = kDumpMagic.size() + 8, n = 0;
  uint64_t count = DecodeFixed64LE(dump.data() + kDumpMagic.size());
  while (n < count) {
    size_t p = pos;
    for (int f = 0; f < 3; ++f) p += 8 + DecodeFixed64LE(dump.data() + p);
    if (p > len) break;
    pos = p;
    ++n;
  }
  return n;
}

TEST(DumpTest, EveryTruncationFailsCleanlyKeepingEarlierDocuments) {
  auto source = Populated();
  std::string full = DumpBytes(*source);
  auto all = scan_all_rows(source->store(), "b");
  auto users = scan_all_rows(source->store(), "users");
  ASSERT_TRUE(all.has_value() && users.has_value());
  std::vector<Row> docs = *all;  // dump order: b, then users
  docs.insert(docs.end(), users->begin(), users->end());
  for (size_t len = 0; len < full.size(); ++len) {
    auto e = MemEngine();
    auto s = LoadBytes(*e, std::string_view(full).substr(0, len));
    ASSERT_FALSE(s.has_value()) << len;
    ASSERT_EQ(s.error().Message(), "invalid dump: unexpected end of dump") << len;
    size_t whole = len < kDumpMagic.size() + 8 ? 0 : WholeDocuments(full, len);
    size_t in_b = std::min<size_t>(whole, all->size());
    auto b_rows = scan_all_rows(e->store(), "b");
    auto u_rows = scan_all_rows(e->store(), "users");
    ASSERT_TRUE(b_rows.has_value() && u_rows.has_value());
    ASSERT_EQ(b_rows->size(), in_b) << len;
    ASSERT_EQ(u_rows->size(), whole - in_b) << len;
    auto counted = count_rows(e->store(), "users");
    ASSERT_TRUE(counted.has_value());
    ASSERT_EQ(*counted, u_rows->size()) << len;
  }
}

// A load of damaged bytes ends in success or one engine error, and leaves
// row counts that match the rows.
void ExpectCleanLoad(std::string_view bytes) {
  auto e = MemEngine();
  Status s = LoadBytes(*e, bytes);
  if (!s) {
    ErrorKind k = s.error().kind();
    EXPECT_TRUE(k == ErrorKind::kInvalidDump || k == ErrorKind::kDecode || k == ErrorKind::kInvalidName ||
                k == ErrorKind::kInvalidArgument || k == ErrorKind::kReservedCollection ||
                k == ErrorKind::kSchemaViolation)
        << s.error().Message();
  }
  auto names = list_collections(*e);
  ASSERT_TRUE(names.has_value());
  for (const std::string& n : *names) {
    if (n.starts_with("__")) continue;
    auto rows = scan_all_rows(e->store(), n);
    auto count = count_rows(e->store(), n);
    ASSERT_TRUE(rows.has_value() && count.has_value());
    EXPECT_EQ(rows->size(), *count) << n;
  }
}

TEST(DumpTest, EveryCorruptedByteEndsCleanly) {
  auto source = Populated();
  std::string full = DumpBytes(*source);
  for (size_t i = 0; i < full.size(); ++i) {
    std::string bad = full;
    bad[i] = static_cast<char>(bad[i] ^ 0xA5);
    ExpectCleanLoad(bad);
  }
}

TEST(DumpTest, MutatedDumpsEndCleanly) {
  auto source = Populated();
  std::string full = DumpBytes(*source);
  std::mt19937_64 rng(20261207);
  for (int round = 0; round < 400; ++round) {
    std::string bad = full;
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int j = 0; j < edits; ++j) {
      size_t at = rng() % bad.size();
      switch (rng() % 3) {
        case 0: bad[at] = static_cast<char>(rng()); break;
        case 1: bad.erase(at, 1 + rng() % 8); break;
        default: bad.insert(at, std::string(1 + rng() % 8, static_cast<char>(rng()))); break;
      }
      if (bad.empty()) bad = "x";
    }
    ExpectCleanLoad(bad);
  }
}

TEST(DumpTest, BadHeaderAndBadBytesMessages) {
  auto e = MemEngine();
  EXPECT_EQ(LoadBytes(*e, "PALLIXDUMPv3" + std::string(80, '\0')).error().Message(),
            "invalid dump: bad magic / unknown dump version");
  EXPECT_EQ(LoadBytes(*e, kDumpMagic).error().Message(), "invalid dump: unexpected end of dump");
  std::string extra = std::string(kDumpMagic) + std::string(80, '\0') + "trailing";
  EXPECT_TRUE(LoadBytes(*e, extra).has_value());
  std::string vec(kDumpMagic);
  dump_put_u64(vec, 0);
  dump_put_u64(vec, 1);
  dump_put_bytes(vec, "c");
  dump_put_bytes(vec, "f");
  vec += std::string("\x00\x00\x04", 3);
  EXPECT_EQ(LoadBytes(*e, vec).error().Message(), "invalid dump: bad vector mode");
  vec.back() = '\x03';  // a valid kind (PQ in memory) whose m and k are missing
  EXPECT_EQ(LoadBytes(*e, vec).error().Message(), "invalid dump: unexpected end of dump");
  vec.resize(vec.size() - 3);
  vec += std::string("\x03\x00\x00", 3);
  EXPECT_EQ(LoadBytes(*e, vec).error().Message(), "invalid dump: bad metric");
}

// Text and vector declarations of every kind come back from a dump
// (the product-quantized ones trained afresh on the loaded vectors).
TEST(DumpTest, TextAndVectorDeclarationsRoundTrip) {
  auto source = MemEngine();
  for (int i = 0; i < 40; ++i) {
    ValueVector v;
    for (int d = 0; d < 8; ++d) v.push_back(static_cast<float>((i * 7 + d * 3) % 11) - 5.0f);
    ASSERT_TRUE(insert(*source, "v", "k" + std::to_string(i),
                       Doc({{"e", Value::Vector(v)}, {"t", Value::Text("word " + std::to_string(i))}}))
                    .has_value());
  }
  ASSERT_TRUE(create_vector_index_quantized(*source, "v", "e", Metric::kDot, Quantization::kBinary).has_value());
  ASSERT_TRUE(create_vector_index_ondisk(*source, "v", "e1", Metric::kL2, Quantization::kScalar).has_value());
  ASSERT_TRUE(create_vector_index_pq(*source, "v", "e", Metric::kCosine, 2, 4).has_value());
  ASSERT_TRUE(create_vector_index_ondisk_pq(*source, "w", "e", Metric::kCosine, 2, 4).has_value() == false);
  ASSERT_TRUE(create_text_index(*source, "v", "t").has_value());
  ASSERT_TRUE(create_text_index_ondisk(*source, "v", "t2").has_value());
  std::string first = DumpBytes(*source);
  auto target = MemEngine();
  ASSERT_TRUE(LoadBytes(*target, first).has_value());
  EXPECT_EQ(DumpBytes(*target), first);
}

// Product-quantized declarations that cannot be trained again (no vectors)
// are left out and named once each, in the order first met, however often
// the dump declares them; the rest of the dump loads.
TEST(DumpTest, UntrainableDeclarationsAreNamedOnceEach) {
  std::string dump(kDumpMagic);
  dump_put_u64(dump, 1);
  dump_put_bytes(dump, "v");
  dump_put_bytes(dump, "k");
  dump_put_bytes(dump, encode_value(Doc({{"n", Value::Int(1)}})));
  struct Declared {
    const char* field;
    uint8_t kind;
  };
  const Declared declared[] = {{"e", 3}, {"e", 2}, {"f", 3}, {"e", 3}, {"f", 2}};
  dump_put_u64(dump, std::size(declared));
  for (const Declared& d : declared) {
    dump_put_bytes(dump, "v");
    dump_put_bytes(dump, d.field);
    dump_put_u8(dump, 2);  // l2
    dump_put_u8(dump, 0);
    dump_put_u8(dump, d.kind);
    dump_put_u64(dump, 2);  // m
    dump_put_u64(dump, 4);  // k
  }
  dump_put_u64(dump, 0);  // text indexes
  dump_put_u64(dump, 1);  // scalar indexes
  dump_put_bytes(dump, "v");
  dump_put_bytes(dump, "n");
  for (int i = 4; i < kDumpSections; ++i) dump_put_u64(dump, 0);
  auto e = MemEngine();
  Status loaded = LoadBytes(*e, dump);
  ASSERT_FALSE(loaded.has_value());
  EXPECT_EQ(loaded.error().code(), 14u);
  EXPECT_EQ(loaded.error().Message(),
            "cannot train a PQ codebook: no usable training vectors for collection 'v' field 'e', "
            "collection 'v' field 'f' (left out; everything else in the dump was loaded)");
  EXPECT_EQ(count_rows(e->store(), "v").value_or(0), 1u);
  auto indexed = has_scalar_index(*e, "v", "n");
  ASSERT_TRUE(indexed.has_value());
  EXPECT_TRUE(*indexed);
}

// The documents section built entry by entry from a row-by-row walk of the
// same snapshot: what the writer's batched copy must reproduce byte for
// byte.
std::string DocumentsSection(Engine& engine) {
  auto txn = engine.store().BeginRead();
  EXPECT_TRUE(txn.has_value());
  ReadView view(*txn);
  auto names = view.view_list_collections();
  EXPECT_TRUE(names.has_value());
  std::string entries;
  uint64_t count = 0;
  for (const std::string& c : *names) {
    if (c.starts_with("__")) continue;
    EXPECT_TRUE(view.view_for_each(c, [&](std::string_view k, std::string_view v) -> Result<bool> {
                      dump_put_bytes(entries, c);
                      dump_put_bytes(entries, k);
                      dump_put_bytes(entries, v);
                      ++count;
                      return true;
                    }).has_value());
  }
  std::string out;
  dump_put_u64(out, count);
  return out + entries;
}

// Documents past several write buffers and row batches, in several
// collections, with long keys and documents larger than the buffer: the
// file and a sink that cannot rewrite get the same bytes, and their
// documents section is the entry-by-entry encoding of the stored rows.
TEST(DumpTest, LargeDocumentSectionIsTheStoredRowsVerbatim) {
  test::TempDir dir;
  auto e = open_engine(dir.path() + "/a.db");
  ASSERT_TRUE(e.has_value());
  for (const char* c : {"a", "b"}) {
    std::vector<std::pair<std::string, Value>> docs;
    for (int i = 0; i < 6000; ++i) docs.emplace_back("k" + std::to_string(i), Value::Text(std::string(300, 'x')));
    for (int i = 0; i < 20; ++i) docs.emplace_back(std::string(700, 'l') + std::to_string(i), Value::Int(i));
    docs.emplace_back("big", Value::Bytes(std::string(3 << 20, 'b')));
    ASSERT_TRUE(put_many(**e, c, docs).has_value());
  }
  ASSERT_TRUE(dump_to_path(**e, dir.path() + "/d.dump").has_value());
  std::string file = test::ReadFile(dir.path() + "/d.dump");
  EXPECT_EQ(file, DumpBytes(**e));
  std::string section = DocumentsSection(**e);
  EXPECT_EQ(DecodeFixed64LE(section.data()), 2u * 6021u);
  ASSERT_GT(file.size(), kDumpMagic.size() + section.size());
  EXPECT_TRUE(std::string_view(file).substr(kDumpMagic.size(), section.size()) == section);
}

// A write that fails partway (the file size limit, in a child process so
// the limit stays there) fails the dump with an Io error, whether the file
// system refuses the first buffer or a later one, and the bytes written
// before it are the dump's, in order.
TEST(DumpTest, FailedFileWriteFailsTheDump) {
  test::TempDir dir;
  auto e = open_engine(dir.path() + "/a.db");
  ASSERT_TRUE(e.has_value());
  std::vector<std::pair<std::string, Value>> docs;
  for (int i = 0; i < 20000; ++i) docs.emplace_back("k" + std::to_string(i), Value::Text(std::string(300, 'x')));
  ASSERT_TRUE(put_many(**e, "c", docs).has_value());
  const std::string whole = DumpBytes(**e);
  ASSERT_GT(whole.size(), size_t{5} << 20);
  for (rlim_t limit : {rlim_t{100}, rlim_t{(3 << 20) + 5}}) {
    const std::string path = dir.path() + "/d" + std::to_string(limit) + ".dump";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit rl = {limit, limit};
      if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(2);
      auto s = dump_to_path(**e, path);
      _exit(s.has_value() ? 3 : s.error().kind() == ErrorKind::kIo ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << limit;
    // The document count is filled in only after the last document, so
    // it stays the placeholder; every byte around it is the dump's.
    std::string written = test::ReadFile(path);
    ASSERT_GE(written.size(), kDumpMagic.size() + 8);
    EXPECT_LE(written.size(), limit);
    EXPECT_TRUE(written.compare(0, kDumpMagic.size(), kDumpMagic) == 0);
    EXPECT_EQ(DecodeFixed64LE(written.data() + kDumpMagic.size()), 0u);
    EXPECT_TRUE(written.compare(kDumpMagic.size() + 8, std::string::npos, whole, kDumpMagic.size() + 8,
                                written.size() - kDumpMagic.size() - 8) == 0);
  }
}

TEST(DumpTest, DumpRefusesTheDatabaseOwnFile) {
  test::TempDir dir;
  std::string db = dir.path() + "/a.db";
  auto e = open_engine(db);
  ASSERT_TRUE(e.has_value());
  ASSERT_TRUE(insert(**e, "c", "k", Value::Int(1)).has_value());
  std::string before = test::ReadFile(db);
  ASSERT_EQ(::link(db.c_str(), (dir.path() + "/hard").c_str()), 0);
  for (const std::string& target : {db, dir.path() + "/hard"}) {
    auto s = dump_to_path(**e, target);
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error().kind(), ErrorKind::kIo);
  }
  EXPECT_EQ(test::ReadFile(db), before);
  auto doc = get_document((*e)->store(), "c", "k");
  ASSERT_TRUE(doc.has_value() && doc->has_value());
  ASSERT_TRUE(dump_to_path(**e, dir.path() + "/ok.dump").has_value());
  EXPECT_EQ(test::ReadFile(dir.path() + "/ok.dump"), DumpBytes(**e));
}

}  // namespace
}  // namespace pallix
