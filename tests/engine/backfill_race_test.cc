// Index builds while another thread writes. Before each batch's write
// transaction (the test point kBuildBatchBeforeWrite), or once the last
// step has committed but the index is not yet marked built
// (kBuildComplete), another thread deletes and re-writes documents: in the
// batch about to be written, in earlier batches and in later ones, one of
// them without any indexed field. Afterwards the index of every kind must
// answer exactly as a scan of the final rows does; a batch that wrote its
// entries from rows read before those writes would leave a deleted
// document in the index, or a re-written one under its old value, and a
// compound index must not call itself covering past a document it lacks.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/test_point.h"
#include "index/compound_index.h"
#include "index/geo.h"
#include "index/geo_index.h"
#include "index/index_state.h"
#include "index/scalar_index.h"
#include "index/scalar_lookup.h"
#include "index/text_index.h"
#include "index/vector_index.h"
#include "storage/read_view.h"
#include "tests/engine/test_util.h"
#include "text/disk_fts.h"
#include "text/text.h"
#include "vector/disk_hnsw.h"
#include "write/write.h"

namespace pallix::test {
namespace {

using Rows = std::map<std::string, Value>;
using Lines = std::vector<std::string>;

// Each document's fields all derive from one value v in [0, kValues), so a
// re-write moves it in every kind of index at once.
constexpr int kValues = 40;
// Three batches of a build.
constexpr int kSeveralBatches = 2 * 2048 + 100;

std::string Key(int i) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "k%05d", i);
  return buf;
}

int ValueOf(int i, int version) { return (i * 7 + version * 13) % kValues; }
std::string TextOf(int v) { return "river x" + std::to_string(v) + (v % 3 == 0 ? " stone banks" : ""); }
GeoPoint PointOf(int v) { return GeoPoint{v % 8 + 0.05, v / 8 + 0.05}; }  // one 0.1-degree cell per value

// Document i as written for the version-th time.
Value Document(int i, int version) {
  const int v = ValueOf(i, version);
  const GeoPoint p = PointOf(v);
  return Doc({{"n", Value::Int(v)},
              {"a", Value::Int(v % 5)},
              {"b", Value::Int(v / 5)},
              {"p", Doc({{"lat", Value::Float(p.lat)}, {"lon", Value::Float(p.lon)}})},
              {"t", Value::Text(TextOf(v))},
              {"e", Value::Vector({static_cast<float>(i), static_cast<float>(v), static_cast<float>(version), 1})}});
}

std::string Join(const std::string& head, std::vector<std::string> keys) {
  std::sort(keys.begin(), keys.end());
  std::string line = head + ":";
  for (const std::string& k : keys) line += " " + k;
  return line;
}

// ------------------------------------------------------------ the kinds

// Scalar, compound and geo answers: for each value v, the keys the index
// files under v's entry.
using ValueProbe = std::function<Result<KeyList>(Engine&, const ReadView&, int v)>;

Lines ProbeValues(Engine& engine, const ReadView& view, const ValueProbe& probe) {
  Lines out;
  for (int v = 0; v < kValues; ++v) {
    Result<KeyList> keys = probe(engine, view, v);
    if (!keys) return {"error: " + keys.error().Message()};
    out.push_back(*keys ? Join(std::to_string(v), **keys) : std::to_string(v) + ": cannot answer");
  }
  return out;
}

// The documents holding `field`, by value.
std::function<Lines(const Rows&)> ScanValues(const char* field) {
  return [field](const Rows& rows) {
    std::map<int, std::vector<std::string>> keys;
    for (int v = 0; v < kValues; ++v) keys[v];
    for (const auto& [key, doc] : rows)
      if (get_path(doc, field) != nullptr) keys[static_cast<int>(get_path(doc, "n")->as_int())].push_back(key);
    Lines out;
    for (auto& [v, list] : keys) out.push_back(Join(std::to_string(v), std::move(list)));
    return out;
  };
}

Result<KeyList> ScalarProbe(Engine& engine, const ReadView& view, int v) {
  const Value value = Value::Int(v);
  const IndexComparison eq{&value, CompareOp::kEq};
  return scalar_index_lookup(engine, view, "c", "n", {&eq, 1});
}

Result<KeyList> CompoundProbe(Engine& engine, const ReadView& view, int v) {
  const Value a = Value::Int(v % 5), b = Value::Int(v / 5);
  const Value* equal[] = {&a, &b};
  return compound_index_scan(engine, view, "c", {"a", "b"}, equal, {});
}

Result<KeyList> GeoProbe(Engine& engine, const ReadView& view, int v) {
  const GeoPoint p = PointOf(v);
  return geo_cell_ranges(engine, "c", "p", view, GeoBox{p.lat - 0.01, p.lon - 0.01, p.lat + 0.01, p.lon + 0.01});
}

// A compound index may answer for its leading field only while every
// document has an entry.
Lines ProbeCompound(Engine& engine, const ReadView& view) {
  Lines out = ProbeValues(engine, view, CompoundProbe);
  Result<bool> covering = find_compound_index(engine, "c", {"a", "b"});
  out.push_back(!covering ? "error" : *covering ? "covering" : "not covering");
  return out;
}

Lines ScanCompound(const Rows& rows) {
  Lines out = ScanValues("a")(rows);
  bool covering = true;
  for (const auto& [key, doc] : rows) covering = covering && get_path(doc, "a") != nullptr;
  out.push_back(covering ? "covering" : "not covering");
  return out;
}

// On-disk text: the collection statistics BM25 weighs by, and each term's
// postings (key and document length).
std::set<std::string> Vocabulary() {
  std::set<std::string> terms;
  for (int v = 0; v < kValues; ++v)
    for (std::string& t : analyze_text(TextOf(v))) terms.insert(std::move(t));
  return terms;
}

Lines ProbeText(Engine&, const ReadView& view) {
  const std::string ns = text_namespace("c", "t");
  Result<DftsMeta> meta = dfts_read_meta_ro(view, ns);
  if (!meta) return {"error: " + meta.error().Message()};
  Lines out{"docs " + std::to_string(meta->doc_count) + " tokens " + std::to_string(meta->total_tokens)};
  for (const std::string& term : Vocabulary()) {
    Result<std::vector<DftsPosting>> postings = dfts_read_postings(view, ns, term);
    if (!postings) return {"error: " + postings.error().Message()};
    std::vector<std::string> keys;
    for (const DftsPosting& p : *postings) keys.push_back(p.key + "/" + std::to_string(p.doc_length));
    out.push_back(Join(term, std::move(keys)));
  }
  return out;
}

Lines ScanText(const Rows& rows) {
  uint64_t docs = 0, tokens = 0;
  std::map<std::string, std::vector<std::string>> postings;
  for (const std::string& term : Vocabulary()) postings[term];
  for (const auto& [key, doc] : rows) {
    if (get_path(doc, "t") == nullptr) continue;
    const std::vector<std::string> terms = analyze_text(get_path(doc, "t")->as_text());
    ++docs;
    tokens += terms.size();
    for (const std::string& term : std::set<std::string>(terms.begin(), terms.end()))
      postings[term].push_back(key + "/" + std::to_string(terms.size()));
  }
  Lines out{"docs " + std::to_string(docs) + " tokens " + std::to_string(tokens)};
  for (auto& [term, keys] : postings) out.push_back(Join(term, std::move(keys)));
  return out;
}

// On-disk vectors: every live node of the graph (what a search can return)
// with its vector.
std::string VectorLine(std::string_view key, const std::vector<float>& v) {
  std::string line(key);
  for (float x : v) line += " " + std::to_string(x);
  return line;
}

Lines ProbeVector(Engine&, const ReadView& view) {
  const std::string ns = vector_namespace("c", "e");
  Result<DiskHnswMeta> meta = read_dann_meta_ro(view, ns);
  if (!meta) return {"error: " + meta.error().Message()};
  Lines out;
  DannNodeCache cache;
  for (uint64_t id = 0; id < meta->next; ++id) {
    Result<std::optional<std::string>> row = view.view_get(ns, dann_node_row_key(id));
    if (!row || !*row) continue;  // a node some upkeep has dropped for good
    auto node = load_dann_node_ro(view, ns, cache, false, Quantization::kNone, id);
    if (!node) return {"error: " + node.error().Message()};
    if (!(*node)->deleted) out.push_back(VectorLine((*node)->key, (*node)->stored.f32));
  }
  std::sort(out.begin(), out.end());
  return out;
}

Lines ScanVector(const Rows& rows) {
  Lines out;
  for (const auto& [key, doc] : rows)
    if (get_path(doc, "e") != nullptr) out.push_back(VectorLine(key, get_path(doc, "e")->as_vector()));
  return out;
}

struct Kind {
  const char* name;
  std::string ns;  // the namespace whose build batches the other thread writes between
  int rows;        // documents before the build
  std::function<Status(Engine&)> build;   // runs the build, with the hook set
  std::function<Lines(Engine&, const ReadView&)> indexed;
  std::function<Lines(const Rows&)> scanned;
};

void PrintTo(const Kind& kind, std::ostream* os) { *os << kind.name; }

std::vector<Kind> Kinds() {
  auto values = [](ValueProbe probe) {
    return [probe](Engine& engine, const ReadView& view) { return ProbeValues(engine, view, probe); };
  };
  return {
      {"scalar", scalar_namespace("c", "n"), kSeveralBatches,
       [](Engine& e) { return create_scalar_index(e, "c", "n"); }, values(ScalarProbe), ScanValues("n")},
      {"compound", compound_table_name("c", {"a", "b"}), kSeveralBatches,
       [](Engine& e) { return create_compound_index(e, "c", {"a", "b"}); }, ProbeCompound, ScanCompound},
      {"geo", geo_namespace("c", "p"), kSeveralBatches,
       [](Engine& e) { return create_geo_index(e, "c", "p"); }, values(GeoProbe), ScanValues("p")},
      {"disk_text", text_namespace("c", "t"), kSeveralBatches,
       [](Engine& e) { return create_text_index_ondisk(e, "c", "t"); }, ProbeText, ScanText},
      {"disk_vector", vector_namespace("c", "e"), kSeveralBatches,
       [](Engine& e) { return create_vector_index_ondisk(e, "c", "e", Metric::kL2, Quantization::kNone); },
       ProbeVector, ScanVector},
  };
}

// At the call-th test point: from another thread, 45 keys spread evenly
// over the collection, a third deleted, one re-written without any indexed
// field, the rest re-written as version call + 1; and one new key.
void WriteMeanwhile(Engine& engine, int rows, int call) {
  std::thread other([&] {
    for (int t = 0; t < 45; ++t) {
      const int i = (call * 31 + t * rows / 45) % rows;
      if (t % 3 == 0) {
        EXPECT_TRUE(delete_document(engine, "c", Key(i)));
      } else if (t == 1) {
        EXPECT_TRUE(insert(engine, "c", Key(i), Doc({{"n", Value::Int(ValueOf(i, call + 1))}})));
      } else {
        EXPECT_TRUE(insert(engine, "c", Key(i), Document(i, call + 1)));
      }
    }
    EXPECT_TRUE(insert(engine, "c", Key(rows + call), Document(rows + call, call + 1)));
  });
  other.join();
}

class BackfillRace : public testing::TestWithParam<std::tuple<Kind, TestPoint>> {};

TEST_P(BackfillRace, IndexAnswersAsAScanOfTheFinalRows) {
  const auto& [kind, point] = GetParam();
  auto engine = MemEngine();
  std::vector<std::pair<std::string, Value>> docs;
  for (int i = 0; i < kind.rows; ++i) docs.emplace_back(Key(i), Document(i, 0));
  ASSERT_TRUE(put_many(*engine, "c", docs));
  int calls = 0;
  {
    ScopedTestHook hook(point, [&](std::string_view ns) {
      if (ns == kind.ns && calls < 3) WriteMeanwhile(*engine, kind.rows, calls++);
    });
    Status built = kind.build(*engine);
    ASSERT_TRUE(built) << built.error().Message();
  }
  ASSERT_GE(calls, 1);
  auto txn = engine->store().BeginRead();
  ASSERT_TRUE(txn);
  ReadView view(*txn);
  auto rows = scan_documents(view, "c");
  ASSERT_TRUE(rows);
  EXPECT_EQ(kind.indexed(*engine, view), kind.scanned(Rows(rows->begin(), rows->end())));
}

INSTANTIATE_TEST_SUITE_P(Kinds, BackfillRace,
                         testing::Combine(testing::ValuesIn(Kinds()),
                                          testing::Values(TestPoint::kBuildBatchBeforeWrite, TestPoint::kBuildComplete)),
                         [](const testing::TestParamInfo<std::tuple<Kind, TestPoint>>& info) {
                           const bool batch = std::get<1>(info.param) == TestPoint::kBuildBatchBeforeWrite;
                           return std::string(std::get<0>(info.param).name) + (batch ? "_batch" : "_complete");
                         });

}  // namespace
}  // namespace pallix::test
