// Queries on other threads beside one writer whose patches, deletes and
// re-inserts make the vector graph repair around what they removed, and
// keep a scalar and a text index up, in memory and on disk. Each query answers from a snapshot, so what it returns
// depends on the moment; what is checked holds at every moment (no error,
// at most k rows, only keys the collection ever held, whole documents), and
// the final state is the writer's own. The test is there above all for the
// ThreadSanitizer build (scripts/test.sh), which checks that the graph, the
// registry and the shared filters are read and written under the locks and
// snapshots meant for them.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <latch>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "index/open.h"
#include "index/scalar_index.h"
#include "index/text_index.h"
#include "index/vector_index.h"
#include "query/executor.h"
#include "storage/read_view.h"
#include "test_util.h"
#include "write/write.h"

namespace pallix {
namespace {

using test::Doc;

constexpr size_t kDim = 8;
constexpr int kDocs = 200;
constexpr int kWrites = 150;
constexpr uint64_t kK = 5;

std::string Key(int i) {
  char key[16];
  snprintf(key, sizeof key, "k%04d", i);
  return key;
}

std::vector<float> Vec(std::mt19937& rng) {
  std::normal_distribution<float> unit(0.0f, 1.0f);
  std::vector<float> v(kDim);
  for (float& x : v) x = unit(rng);
  return v;
}

Value Text(std::mt19937& rng) {
  static const char* const kWords[] = {"alpha", "beta", "gamma", "delta"};
  return Value::Text(std::string(kWords[rng() % 4]) + " " + kWords[rng() % 4]);
}

class ReadersBesideWriter : public ::testing::TestWithParam<bool> {};  // on disk?

TEST_P(ReadersBesideWriter, QueriesAnswerWholeWhileTheGraphIsRepaired) {
  const bool on_disk = GetParam();
  test::TempDir dir;
  std::shared_ptr<Engine> engine;
  if (on_disk) {
    auto opened = open_engine(dir.path() + "/db");
    ASSERT_TRUE(opened.has_value()) << opened.error().Message();
    engine = *opened;
  } else {
    engine = test::MemEngine();
  }
  std::mt19937 rng(7);
  std::map<std::string, Value> model;
  for (int i = 0; i < kDocs; ++i) {
    Value doc = Doc({{"e", Value::Vector(Vec(rng))}, {"n", Value::Int(i % 10)}, {"t", Text(rng)}});
    ASSERT_TRUE(insert(*engine, "c", Key(i), doc).has_value());
    model[Key(i)] = doc;
  }
  Status declared = on_disk ? create_vector_index_ondisk(*engine, "c", "e", Metric::kL2, Quantization::kNone)
                            : create_vector_index(*engine, "c", "e", Metric::kL2);
  ASSERT_TRUE(declared.has_value()) << declared.error().Message();
  ASSERT_TRUE(create_scalar_index(*engine, "c", "n").has_value());
  Status text = on_disk ? create_text_index_ondisk(*engine, "c", "t") : create_text_index(*engine, "c", "t");
  ASSERT_TRUE(text.has_value()) << text.error().Message();

  // One filter tree whose subtrees every reader's query shares.
  const Predicate shared = Predicate::Or(Predicate::Compare("n", CompareOp::kLt, Value::Int(3)),
                                         Predicate::Not(Predicate::Exists("gone")));
  std::atomic<bool> writing{true};
  std::latch start(3);  // the readers and the writer begin together
  auto reader = [&](uint32_t seed) {
    std::mt19937 local(seed);
    int queries = 0;
    start.arrive_and_wait();
    while (writing.load(std::memory_order_acquire) || queries < 8) {
      QuerySpec spec;
      spec.engine = engine;
      spec.collection = "c";
      spec.limit = kK;
      spec.approx = true;
      switch (queries % 4) {
        case 0:  // the vector graph
          spec.sources.push_back(VectorSource{"e", Vec(local), kK, Metric::kL2});
          break;
        case 1:  // the vector graph under a filter
          spec.sources.push_back(VectorSource{"e", Vec(local), kK, Metric::kL2});
          spec.filters.push_back(shared);
          break;
        case 2:  // the text index
          spec.sources.push_back(TextSource{"t", "alpha", kK});
          break;
        default:  // the scalar index, in order
          spec.filters.push_back(Predicate::Compare("n", CompareOp::kLt, Value::Int(3)));
          spec.order_by = OrderBy{"n", false};
          break;
      }
      auto rows = run_query_entry(std::move(spec));
      ++queries;
      if (!rows.has_value()) {
        ADD_FAILURE() << rows.error().Message();
        return;
      }
      EXPECT_LE(rows->size(), kK);
      for (const QueryRow& row : *rows) {
        EXPECT_EQ(row.key.size(), 5u) << row.key;
        EXPECT_TRUE(row.document.is_map()) << row.key;
      }
      auto got = get_document(engine->store(), "c", Key(static_cast<int>(local() % kDocs)));
      EXPECT_TRUE(got.has_value());
    }
  };
  std::thread r1(reader, 1), r2(reader, 2);
  start.arrive_and_wait();
  for (int w = 0; w < kWrites; ++w) {
    const std::string key = Key(static_cast<int>(rng() % kDocs));
    switch (w % 3) {
      case 0: {  // a patch of another field: the vector stays
        Value patch_doc = Doc({{"n", Value::Int(w)}, {"t", Text(rng)}});
        Status patched = patch(*engine, "c", key, patch_doc);
        ASSERT_TRUE(patched.has_value()) << patched.error().Message();
        auto it = model.find(key);
        if (it == model.end()) {
          model[key] = patch_doc;  // a missing document becomes the patch itself
        } else {
          ValueMap merged = it->second.as_map();
          for (const MapEntry& entry : patch_doc.as_map()) merged.Set(entry.key, entry.value);
          it->second = Value::Map(std::move(merged));
        }
        break;
      }
      case 1: {  // a delete: the graph repairs around the removed node
        auto removed = delete_document(*engine, "c", key);
        ASSERT_TRUE(removed.has_value()) << removed.error().Message();
        EXPECT_EQ(*removed, model.erase(key) == 1) << key;
        break;
      }
      default: {  // a replacement with a new vector
        Value doc = Doc({{"e", Value::Vector(Vec(rng))}, {"n", Value::Int(w)}, {"t", Text(rng)}});
        auto stored = insert(*engine, "c", key, doc);
        ASSERT_TRUE(stored.has_value()) << stored.error().Message();
        model[key] = doc;
        break;
      }
    }
  }
  writing.store(false, std::memory_order_release);
  r1.join();
  r2.join();

  for (int i = 0; i < kDocs; ++i) {
    auto got = get_document(engine->store(), "c", Key(i));
    ASSERT_TRUE(got.has_value());
    auto it = model.find(Key(i));
    ASSERT_EQ(got->has_value(), it != model.end()) << Key(i);
    if (it != model.end()) {
      EXPECT_TRUE(values_same(**got, it->second)) << Key(i);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Storage, ReadersBesideWriter, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "disk" : "memory"; });

}  // namespace
}  // namespace pallix
