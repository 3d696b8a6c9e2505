#include "vector/disk_hnsw.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <map>
#include <thread>
#include <set>
#include <string>

#include "base/coding.h"
#include "tests/engine/clustered_vectors.h"
#include "tests/engine/test_util.h"
#include "vector/disk_hnsw_internal.h"

namespace pallix {
namespace {

constexpr char kNs[] = "__dann__c__v";

using Rng = test::LcgRng;

class DiskHnswTest : public ::testing::Test {
 protected:
  std::shared_ptr<Engine> engine_ = test::MemEngine();

  template <typename Fn>
  void Write(Fn fn) {
    auto ctx = BeginWriteCtx(engine_->store());
    ASSERT_TRUE(ctx.has_value());
    fn(*ctx);
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  void Upsert(const DiskHnswParams& params, const std::string& key, const std::vector<float>& v) {
    Write([&](WriteCtx& ctx) { ASSERT_TRUE(dann_upsert(ctx, kNs, params, key, v).has_value()); });
  }
  void PutRaw(const std::string& key, const std::string& value) {
    Write([&](WriteCtx& ctx) { ASSERT_TRUE(put_row(ctx, kNs, key, value).has_value()); });
  }
  Result<std::vector<HnswHit>> Search(const DiskHnswParams& params, const std::vector<float>& q, uint64_t k) {
    auto txn = engine_->store().BeginRead();
    EXPECT_TRUE(txn.has_value());
    return dann_search(ReadView(*txn), kNs, params, q, k);
  }
  // An exhaustive search (a small graph): exactly the model's keys, each at
  // its own vector's l2 distance. Returns the hits.
  std::vector<HnswHit> ExpectTheModel(const DiskHnswParams& params,
                                      const std::map<std::string, std::vector<float>>& model,
                                      const std::vector<float>& q) {
    auto hits = Search(params, q, 1000);
    EXPECT_TRUE(hits.has_value());
    if (!hits.has_value()) return {};
    std::map<std::string, float> got;
    for (const auto& hit : *hits) got[hit.key] = hit.distance;
    EXPECT_EQ(got.size(), model.size());
    for (const auto& [key, v] : model) {
      auto it = got.find(key);
      EXPECT_NE(it, got.end()) << key;
      if (it != got.end()) {
        EXPECT_EQ(it->second, l2_f32(q, v)) << key;
      }
    }
    return *hits;
  }
  DiskHnswMeta Meta() {
    auto txn = engine_->store().BeginRead();
    auto meta = read_dann_meta_ro(ReadView(*txn), kNs);
    EXPECT_TRUE(meta.has_value());
    return *meta;
  }
};

std::string MetaBytes(size_t len, uint8_t flag) {
  std::string b(std::max<size_t>(len, 26), '\0');
  b[0] = 1;
  EncodeFixed64BE(b.data() + 1, 7);
  EncodeFixed64BE(b.data() + 9, 9);
  b[17] = static_cast<char>(flag);
  for (size_t i = 18; i + 4 <= b.size(); i += 4) EncodeFixed32BE(b.data() + i, static_cast<uint32_t>(i));
  b.resize(len);
  return b;
}

TEST(DiskHnswRows, MetaAcceptedLengths) {
  auto m17 = decode_dann_meta(kNs, MetaBytes(17, 0));
  ASSERT_TRUE(m17.has_value());
  EXPECT_TRUE(m17->has_entry);
  EXPECT_EQ(m17->entry, 7u);
  EXPECT_EQ(m17->next, 9u);
  EXPECT_FALSE(m17->dim.has_value());
  EXPECT_EQ(m17->deleted, 0u);
  auto m18 = decode_dann_meta(kNs, MetaBytes(18, 0));
  ASSERT_TRUE(m18.has_value());
  EXPECT_EQ(m18->deleted, 0u);
  auto m22f1 = decode_dann_meta(kNs, MetaBytes(22, 1));
  ASSERT_TRUE(m22f1.has_value());
  EXPECT_EQ(m22f1->dim, 18u);
  EXPECT_EQ(m22f1->deleted, 0u);
  auto m22f0 = decode_dann_meta(kNs, MetaBytes(22, 0));
  ASSERT_TRUE(m22f0.has_value());
  EXPECT_FALSE(m22f0->dim.has_value());
  EXPECT_EQ(m22f0->deleted, 18u);
  auto m26 = decode_dann_meta(kNs, MetaBytes(26, 1));
  ASSERT_TRUE(m26.has_value());
  EXPECT_EQ(m26->dim, 18u);
  EXPECT_EQ(m26->deleted, 22u);
  for (size_t len : {0, 1, 16, 19, 20, 21, 23, 24, 25, 27, 40}) {
    for (uint8_t flag : {0, 1, 2}) {
      auto m = decode_dann_meta(kNs, MetaBytes(len, flag));
      ASSERT_FALSE(m.has_value()) << len;
      EXPECT_EQ(m.error().kind(), ErrorKind::kCorruptIndex);
      EXPECT_EQ(m.error().detail(), "malformed meta row in index namespace '__dann__c__v'");
    }
  }
  EXPECT_FALSE(decode_dann_meta(kNs, MetaBytes(18, 1)).has_value());
}

TEST(DiskHnswRows, MetaRoundTrip) {
  for (DiskHnswMeta meta : {DiskHnswMeta{}, DiskHnswMeta{true, 5, 6, 3u, 2}, DiskHnswMeta{true, 0, 1, {}, 9}}) {
    std::string b = encode_dann_meta(meta);
    EXPECT_EQ(b.size(), meta.dim.has_value() ? 26u : 22u);
    EXPECT_EQ(decode_dann_meta(kNs, b).value(), meta);
  }
}

// The node record written field by field as its layout reads, against
// the encoder, for float and code vectors, an empty key and upper layers.
TEST(DiskHnswRows, NodeEncodingFollowsTheLayout) {
  auto reference = [](const DiskHnswNode& node) {
    std::string out(1, node.deleted ? '\1' : '\0');
    PutFixed32LE(&out, static_cast<uint32_t>(node.key.size()));
    out.append(node.key);
    if (node.stored.kind == StoredKind::kCodes) {
      PutFixed32LE(&out, static_cast<uint32_t>(node.stored.codes.size()));
      out.append(node.stored.codes.begin(), node.stored.codes.end());
    } else {
      PutFixed32LE(&out, static_cast<uint32_t>(node.stored.f32.size() * 4));
      for (float x : node.stored.f32) PutFixed32LE(&out, std::bit_cast<uint32_t>(x));
    }
    PutFixed32LE(&out, static_cast<uint32_t>(node.layers.size()));
    for (const auto& list : node.layers) {
      PutFixed32LE(&out, static_cast<uint32_t>(list.size()));
      for (uint64_t v : list) PutFixed64BE(&out, v);
    }
    return out;
  };
  DiskHnswNode floats{true, "key", StoredVector::F32({1.5f, -0.0f, 3e-39f}), {{7, 1ull << 40}, {}, {9}}};
  DiskHnswNode codes{false, "", StoredVector::Codes({0, 255, 17}), {{}}};
  DiskHnswNode bare{false, "k", StoredVector::F32({}), {}};
  for (const DiskHnswNode* node : {&floats, &codes, &bare}) EXPECT_EQ(encode_dann_node(*node), reference(*node));
}

// The changed-id set against std::set under random marks, erasures and
// clears, ids past the dense range included: membership, size, and the
// ascending list the flush writes.
TEST(DiskHnswRows, ChangedIdsModel) {
  Rng rng(5);
  DannChangedIds ids;
  std::set<uint64_t> model;
  for (int step = 0; step < 20000; ++step) {
    const uint64_t r = rng.Next();
    const uint64_t id = r % 8 == 0 ? (uint64_t{1} << 26) + r % 50 : r % 300;
    switch (rng.Next() % 16) {
      case 0: case 1: case 2: case 3:
        ids.erase(id);
        model.erase(id);
        break;
      case 4:
        if (rng.Next() % 64 == 0) {
          ids.clear();
          model.clear();
        }
        break;
      default:
        EXPECT_EQ(ids.insert(id), model.insert(id).second);
    }
    EXPECT_EQ(ids.contains(id), model.contains(id));
    ASSERT_EQ(ids.size(), model.size());
    EXPECT_EQ(ids.empty(), model.empty());
    if (step % 500 == 0) {
      EXPECT_EQ(ids.Sorted(), std::vector<uint64_t>(model.begin(), model.end()));
    }
  }
  EXPECT_EQ(ids.Sorted(), std::vector<uint64_t>(model.begin(), model.end()));
}

TEST(DiskHnswRows, NodeCutAnywhereIsMalformedExtraBytesIgnored) {
  DiskHnswNode node;
  node.key = "doc";
  node.stored = StoredVector::F32({1.0f, 2.0f});
  node.layers = {{1, 2, 3}, {4}};
  std::string b = encode_dann_node(node);
  for (size_t cut = 0; cut < b.size(); ++cut) {
    auto d = decode_dann_node(kNs, 42, b.substr(0, cut), false, Quantization::kNone);
    ASSERT_FALSE(d.has_value()) << cut;
    EXPECT_EQ(d.error().kind(), ErrorKind::kCorruptIndex);
    EXPECT_EQ(d.error().detail(), "malformed node row for id 42 in index namespace '__dann__c__v'");
  }
  auto d = decode_dann_node(kNs, 42, b + "xyz", false, Quantization::kNone);
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->key, "doc");
  EXPECT_EQ(d->stored.f32, (std::vector<float>{1.0f, 2.0f}));
  EXPECT_EQ(d->layers, node.layers);
  // The same bytes read as codes under a quantized index.
  auto codes = decode_dann_node(kNs, 42, b, false, Quantization::kScalar);
  EXPECT_EQ(codes->stored.codes.size(), 8u);
}

TEST(DiskHnswRows, HugeLengthsFailBeforeAllocating) {
  std::string b(1, '\0');
  PutFixed32LE(&b, 0);  // key
  PutFixed32LE(&b, 0);  // vector
  PutFixed32LE(&b, 0xFFFFFFFFu);  // layer count
  EXPECT_FALSE(decode_dann_node(kNs, 1, b, false, Quantization::kNone).has_value());
  std::string c(1, '\0');
  PutFixed32LE(&c, 0);
  PutFixed32LE(&c, 0);
  PutFixed32LE(&c, 1);
  PutFixed32LE(&c, 0x20000000u);  // neighbour count
  EXPECT_FALSE(decode_dann_node(kNs, 1, c, false, Quantization::kNone).has_value());
  std::string d(1, '\0');
  PutFixed32LE(&d, 0xFFFFFFF0u);  // key length
  EXPECT_FALSE(decode_dann_node(kNs, 1, d, false, Quantization::kNone).has_value());
}

TEST(DiskHnswRows, CodebookAcceptance) {
  PqCodebook cb;
  cb.m = 2;
  cb.k = 3;
  cb.subspace_dim = 2;
  cb.dim = 4;
  for (int i = 0; i < 12; ++i) cb.centroids.push_back(static_cast<float>(i) * 0.5f);
  std::string b = encode_dann_codebook(cb);
  auto back = decode_dann_codebook(b);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->centroids, cb.centroids);
  EXPECT_TRUE(back->valid());
  EXPECT_FALSE(decode_dann_codebook(b.substr(0, b.size() - 1)).has_value());
  EXPECT_FALSE(decode_dann_codebook(b.substr(0, 15)).has_value());
  auto with = [&](size_t at, uint32_t v) {
    std::string c = b;
    EncodeFixed32LE(c.data() + at, v);
    return decode_dann_codebook(c);
  };
  EXPECT_FALSE(with(12, 5).has_value());            // dim != m * subspace_dim
  EXPECT_FALSE(with(4, 1).has_value());             // k below 2
  EXPECT_FALSE(with(4, 257).has_value());           // k above 256
  EXPECT_FALSE(with(0, 0).has_value());             // m zero
  EXPECT_FALSE(with(0, 0x80000000u).has_value());   // m * subspace_dim past 32 bits
  EXPECT_FALSE(with(8, 0xFFFFFFFFu).has_value());
}

TEST(DiskHnswRows, LevelDependsOnTheIdAlone) {
  std::map<uint32_t, int> histogram;
  for (uint64_t id = 0; id < 16000; ++id) {
    uint32_t level = dann_level(id, kHnswLevelMultiplier);
    EXPECT_EQ(level, dann_level(id, kHnswLevelMultiplier));
    ++histogram[level];
  }
  // P(level 0) = 15/16 under mL = 1/ln 16.
  EXPECT_NEAR(histogram[0] / 16000.0, 15.0 / 16.0, 0.01);
  EXPECT_LT(histogram.rbegin()->first, 8u);
}

// Brute force over the stored forms: the exact neighbours by the same
// distance rule the graph uses, so recall measures the graph alone.
std::vector<std::string> BruteForce(const DiskHnswParams& params, const std::map<std::string, std::vector<float>>& data,
                                    const std::vector<float>& q, size_t k) {
  PreparedQuery prepared = dann_query_prepare(params, q);
  std::vector<std::pair<float, std::string>> all;
  for (const auto& [key, v] : data) {
    StoredVector s = params.has_codebook() ? StoredVector::Codes(pq_encode(*params.codebook, v))
                                           : quantize_vector(params.quant, v);
    all.push_back({dann_code_distance(params, prepared.ref(), s.ref()), key});
  }
  std::sort(all.begin(), all.end());
  std::vector<std::string> out;
  for (size_t i = 0; i < std::min(k, all.size()); ++i) out.push_back(all[i].second);
  return out;
}

TEST_F(DiskHnswTest, RecallAgainstBruteForce) {
  constexpr size_t kN = 160, kDim = 16, kQueries = 10, kK = 10;
  Rng rng(7);
  std::map<std::string, std::vector<float>> data;
  for (size_t i = 0; i < kN; ++i) data["k" + std::to_string(i)] = rng.Vector(kDim);
  std::vector<std::vector<float>> training;
  for (const auto& [key, v] : data) training.push_back(v);
  auto codebook = std::make_shared<const PqCodebook>(*pq_train(training, 4, 16, 1));
  int ns = 0;
  for (int kind = 0; kind < 4; ++kind) {
    for (Metric metric : {Metric::kCosine, Metric::kDot, Metric::kL2}) {
      DiskHnswParams params;
      params.metric = metric;
      params.quant = kind == 1 ? Quantization::kBinary : kind == 2 ? Quantization::kScalar : Quantization::kNone;
      if (kind == 3) params.codebook = codebook;
      std::string name = "__dann__c__v" + std::to_string(ns++);
      Write([&](WriteCtx& ctx) {
        for (const auto& [key, v] : data) ASSERT_TRUE(dann_upsert(ctx, name, params, key, v).has_value());
      });
      auto txn = engine_->store().BeginRead();
      size_t found = 0;
      for (size_t qi = 0; qi < kQueries; ++qi) {
        std::vector<float> q = rng.Vector(kDim);
        auto hits = dann_search(ReadView(*txn), name, params, q, kK);
        ASSERT_TRUE(hits.has_value());
        ASSERT_EQ(hits->size(), kK);
        std::set<std::string> truth;
        for (auto& key : BruteForce(params, data, q, kK)) truth.insert(key);
        for (const auto& hit : *hits) found += truth.count(hit.key);
      }
      double recall = static_cast<double>(found) / (kQueries * kK);
      // Binary codes tie a lot (Hamming distances), so the order among
      // equal distances decides membership; the others must be near exact.
      EXPECT_GE(recall, kind == 1 ? 0.6 : 0.9) << "kind " << kind << " metric " << static_cast<int>(metric);
    }
  }
}

// A query's store borrows its slot tables from a pool, and their slots are
// stamped for each store instead of cleared: searches one after another
// (an exhaustive one growing the table among them, smaller ones then
// meeting its stale slots) and searches made while another store holds a
// set of tables answer exactly as the same search on new tables.
TEST_F(DiskHnswTest, QueryStoresReuseTheirThreadsTable) {
  constexpr size_t kDim = 4, kN = 2600;
  Rng rng(5);
  DiskHnswParams params;
  params.metric = Metric::kL2;
  Write([&](WriteCtx& ctx) {
    for (size_t i = 0; i < kN; ++i) {
      ASSERT_TRUE(dann_upsert(ctx, kNs, params, "k" + std::to_string(i), rng.Vector(kDim)).has_value());
    }
  });
  std::vector<std::pair<std::vector<float>, uint64_t>> queries;
  for (uint64_t k : std::initializer_list<uint64_t>{10, 1, kN, 40, 3, kN, 10, 64}) {
    queries.emplace_back(rng.Vector(kDim), k);
  }
  auto same = [](const std::vector<HnswHit>& a, const std::vector<HnswHit>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      if (a[i].key != b[i].key || std::bit_cast<uint32_t>(a[i].distance) != std::bit_cast<uint32_t>(b[i].distance))
        return false;
    }
    return true;
  };
  std::vector<std::vector<HnswHit>> fresh;
  for (const auto& [q, k] : queries) {
    dann_internal::DannStore::EmptyPoolForTesting();
    std::thread([&] {
      auto hits = Search(params, q, k);
      ASSERT_TRUE(hits.has_value());
      fresh.push_back(*hits);
    }).join();
  }
  ASSERT_EQ(fresh.size(), queries.size());
  EXPECT_EQ(fresh[2].size(), kN);
  for (int round = 0; round < 2; ++round) {
    for (size_t i = 0; i < queries.size(); ++i) {
      auto hits = Search(params, queries[i].first, queries[i].second);
      ASSERT_TRUE(hits.has_value());
      EXPECT_TRUE(same(*hits, fresh[i])) << "round " << round << " query " << i;
    }
  }
  auto txn = engine_->store().BeginRead();
  ASSERT_TRUE(txn.has_value());
  ReadView view(*txn);
  std::vector<float> q0 = queries[0].first;
  PreparedQuery prepared = dann_query_prepare(params, q0);
  QueryScorer scorer(nullptr, params.metric, params.quant, prepared.ref());
  dann_internal::DannStore holder(view, kNs, false, params.metric, scorer, prepared.floats);
  ASSERT_NE(holder.Node(0), nullptr);
  for (size_t i = 0; i < queries.size(); ++i) {
    auto hits = dann_search(view, kNs, params, queries[i].first, queries[i].second);
    ASSERT_TRUE(hits.has_value());
    EXPECT_TRUE(same(*hits, fresh[i])) << "beside a held store, query " << i;
  }
}

// Random inserts, replacements and removals against a std::map model: with
// a small graph every search is exhaustive, so it must return exactly the
// live keys, each with its own vector's distance.
TEST_F(DiskHnswTest, ModelOfUpsertsAndRemovals) {
  DiskHnswParams params;
  params.metric = Metric::kL2;
  Rng rng(11);
  std::map<std::string, std::vector<float>> model;
  uint32_t deleted = 0;
  for (int op = 0; op < 120; ++op) {
    std::string key = "k" + std::to_string(rng.Next() % 30);
    if (rng.Next() % 4 == 0) {
      bool had = false;
      Write([&](WriteCtx& ctx) { had = dann_remove_key(ctx, kNs, false, params.quant, key).value(); });
      EXPECT_EQ(had, model.erase(key) == 1);
      deleted += had;
    } else {
      auto v = rng.Vector(4);
      deleted += model.count(key);
      model[key] = v;
      Upsert(params, key, v);
    }
  }
  EXPECT_EQ(Meta().deleted, deleted);
  ExpectTheModel(params, model, rng.Vector(4));
}

// Searches remember where rows sit for as long as the snapshot is the
// newest commit. Interleaved with writes that move and rewrite rows (and
// free the pages of the old ones for reuse), every search, repeated or
// after a commit, must see exactly the live keys at their exact distances,
// as a search on new tables, which remember nothing, does.
TEST_F(DiskHnswTest, RememberedRowsFollowEveryCommit) {
  DiskHnswParams params;
  params.metric = Metric::kL2;
  Rng rng(23);
  std::map<std::string, std::vector<float>> model;
  auto check = [&](const std::vector<float>& q) {
    std::vector<HnswHit> hits = ExpectTheModel(params, model, q);
    Result<std::vector<HnswHit>> fresh = Fail(EngineError::Storage("not run"));
    dann_internal::DannStore::EmptyPoolForTesting();
    std::thread([&] { fresh = Search(params, q, 1000); }).join();
    ASSERT_TRUE(fresh.has_value());
    ASSERT_EQ(fresh->size(), hits.size());
    for (size_t i = 0; i < hits.size(); ++i) {
      EXPECT_EQ((*fresh)[i].key, hits[i].key);
      EXPECT_EQ((*fresh)[i].distance, hits[i].distance);
    }
  };
  for (int op = 0; op < 60; ++op) {
    Write([&](WriteCtx& ctx) {
      for (int i = 0; i < 4; ++i) {
        std::string key = "k" + std::to_string(rng.Next() % 40);
        if (rng.Next() % 5 == 0) {
          ASSERT_TRUE(dann_remove_key(ctx, kNs, false, params.quant, key).has_value());
          model.erase(key);
        } else {
          auto v = rng.Vector(6);
          ASSERT_TRUE(dann_upsert(ctx, kNs, params, key, v).has_value());
          model[key] = v;
        }
      }
    });
    auto q = rng.Vector(6);
    check(q);
    check(q);  // the same snapshot again, from remembered rows
  }
}

// A cosine query's store keeps the rows it parsed, and each vector's self
// product, for the next queries of the same snapshot and namespace. Two
// graphs searched in turn (so the kept rows change hands between
// namespaces), writes to either between the searches, and searches
// repeated in one snapshot must each return exactly the model's live keys
// at their own cosine distances, bit for bit as a search on new tables.
TEST_F(DiskHnswTest, KeptRowsFollowEveryCommitAndNamespace) {
  constexpr char kOther[] = "__dann__c__w";
  DiskHnswParams params;
  params.metric = Metric::kCosine;
  Rng rng(31);
  const std::string names[] = {kNs, kOther};
  std::map<std::string, std::vector<float>> models[2];
  auto search = [&](int g, const std::vector<float>& q) {
    auto txn = engine_->store().BeginRead();
    EXPECT_TRUE(txn.has_value());
    auto hits = dann_search(ReadView(*txn), names[g], params, q, 1000);
    EXPECT_TRUE(hits.has_value());
    return hits.value_or(std::vector<HnswHit>{});
  };
  auto same = [](const std::vector<HnswHit>& a, const std::vector<HnswHit>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      if (a[i].key != b[i].key || std::bit_cast<uint32_t>(a[i].distance) != std::bit_cast<uint32_t>(b[i].distance))
        return false;
    }
    return true;
  };
  for (int op = 0; op < 50; ++op) {
    const int written = static_cast<int>(rng.Next() % 2);
    Write([&](WriteCtx& ctx) {
      for (int i = 0; i < 3; ++i) {
        std::string key = "k" + std::to_string(rng.Next() % 40);
        if (rng.Next() % 4 == 0) {
          ASSERT_TRUE(dann_remove_key(ctx, names[written], false, params.quant, key).has_value());
          models[written].erase(key);
        } else {
          auto v = rng.Vector(8);
          ASSERT_TRUE(dann_upsert(ctx, names[written], params, key, v).has_value());
          models[written][key] = v;
        }
      }
    });
    // The first search of each graph meets rows kept from the last
    // snapshot; the repeats meet the rows kept from this one.
    const std::vector<float> q = rng.Vector(8);
    std::vector<std::pair<int, std::vector<HnswHit>>> got;
    for (int g : {written, written, 1 - written, 1 - written, written, 1 - written, 1 - written}) {
      std::vector<HnswHit> hits = search(g, q);
      // Exhaustive over a small graph: exactly the live keys, each at its
      // own vector's distance.
      ASSERT_EQ(hits.size(), models[g].size()) << "graph " << g << " op " << op;
      for (const auto& hit : hits) {
        auto it = models[g].find(hit.key);
        ASSERT_NE(it, models[g].end()) << hit.key;
        EXPECT_EQ(std::bit_cast<uint32_t>(hit.distance),
                  std::bit_cast<uint32_t>(distance_by_metric(Metric::kCosine, q, it->second)))
            << "graph " << g << " " << hit.key;
      }
      got.emplace_back(g, std::move(hits));
    }
    // A search on new tables, which keep nothing, answers the same.
    for (int g : {0, 1}) {
      std::vector<HnswHit> fresh;
      dann_internal::DannStore::EmptyPoolForTesting();
      std::thread([&] { fresh = search(g, q); }).join();
      for (const auto& [h, hits] : got) {
        if (h == g) {
          EXPECT_TRUE(same(hits, fresh)) << "graph " << g << " op " << op;
        }
      }
    }
  }
}

// Deleted nodes route a search but take no place among its ef results, in
// the first search of a snapshot as in those that follow it on kept slots:
// with the nodes nearest the query deleted, more than ef of them, a
// search for k still returns the k nearest live keys.
TEST_F(DiskHnswTest, DeletedNodesTakeNoPlaceInRepeatedSearches) {
  constexpr size_t kN = 160, kDeleted = 90, kK = 5;
  DiskHnswParams params;
  params.metric = Metric::kL2;
  Rng rng(41);
  std::vector<std::pair<std::string, std::vector<float>>> data;
  for (size_t i = 0; i < kN; ++i) data.emplace_back("k" + std::to_string(i), rng.Vector(4));
  Write([&](WriteCtx& ctx) {
    for (const auto& [key, v] : data) ASSERT_TRUE(dann_upsert(ctx, kNs, params, key, v).has_value());
  });
  const std::vector<float> q = rng.Vector(4);
  std::sort(data.begin(), data.end(),
            [&](const auto& a, const auto& b) { return l2_f32(q, a.second) < l2_f32(q, b.second); });
  Write([&](WriteCtx& ctx) {
    for (size_t i = 0; i < kDeleted; ++i) {
      ASSERT_TRUE(dann_remove_key(ctx, kNs, false, params.quant, data[i].first).has_value());
    }
  });
  ASSERT_GT(kDeleted, HnswSearchEf(kK));
  for (int again = 0; again < 3; ++again) {
    auto hits = Search(params, q, kK);
    ASSERT_TRUE(hits.has_value());
    ASSERT_EQ(hits->size(), kK) << "search " << again;
    for (size_t i = 0; i < kK; ++i) EXPECT_EQ((*hits)[i].key, data[kDeleted + i].first) << "search " << again;
  }
}

// A query's tables keep rows up to a bound: once a wide search has left
// more than that kept, the searches after keep no more and drop the rows
// they added when they end, while still using the kept ones. Each answers
// exactly as the same search on new tables.
TEST_F(DiskHnswTest, SearchesPastTheKeptRowsAnswerAsNewTables) {
  constexpr size_t kN = 30000, kDim = 3;
  DiskHnswParams params;
  params.metric = Metric::kL2;
  Rng rng(43);
  Write([&](WriteCtx& ctx) {
    DiskHnswMeta meta = read_dann_meta(ctx, kNs).value();
    DannNodeCache cache;
    for (size_t i = 0; i < kN; ++i) {
      ASSERT_TRUE(dann_insert(ctx, kNs, params, cache, meta, "k" + std::to_string(i), rng.Vector(kDim)).has_value());
    }
    ASSERT_TRUE(flush_dann_nodes(ctx, kNs, cache).has_value());
    ASSERT_TRUE(put_row(ctx, kNs, kDannMetaKey, encode_dann_meta(meta)).has_value());
  });
  auto same = [](const std::vector<HnswHit>& a, const std::vector<HnswHit>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      if (a[i].key != b[i].key || std::bit_cast<uint32_t>(a[i].distance) != std::bit_cast<uint32_t>(b[i].distance))
        return false;
    }
    return true;
  };
  std::vector<std::pair<std::vector<float>, uint64_t>> queries;
  queries.emplace_back(rng.Vector(kDim), 6000);  // meets most of the graph
  for (int i = 0; i < 12; ++i) queries.emplace_back(rng.Vector(kDim), i % 3 == 0 ? 400 : 10);
  std::vector<std::vector<HnswHit>> fresh;
  for (const auto& [q, k] : queries) {
    dann_internal::DannStore::EmptyPoolForTesting();
    std::thread([&] {
      auto hits = Search(params, q, k);
      ASSERT_TRUE(hits.has_value());
      fresh.push_back(*hits);
    }).join();
  }
  ASSERT_EQ(fresh.size(), queries.size());
  dann_internal::DannStore::EmptyPoolForTesting();
  for (int round = 0; round < 2; ++round) {
    for (size_t i = 0; i < queries.size(); ++i) {
      auto hits = Search(params, queries[i].first, queries[i].second);
      ASSERT_TRUE(hits.has_value());
      EXPECT_TRUE(same(*hits, fresh[i])) << "round " << round << " query " << i;
    }
  }
}

TEST_F(DiskHnswTest, RemoveTwiceAndSaturation) {
  DiskHnswParams params;
  Write([&](WriteCtx& ctx) { EXPECT_FALSE(dann_remove_key(ctx, kNs, false, params.quant, "x").value()); });
  EXPECT_EQ(Meta(), DiskHnswMeta{});
  Upsert(params, "x", {1, 0});
  Write([&](WriteCtx& ctx) { EXPECT_TRUE(dann_remove_key(ctx, kNs, false, params.quant, "x").value()); });
  Write([&](WriteCtx& ctx) { EXPECT_FALSE(dann_remove_key(ctx, kNs, false, params.quant, "x").value()); });
  EXPECT_EQ(Meta().deleted, 1u);
  DiskHnswMeta meta = Meta();
  meta.deleted = UINT32_MAX;
  PutRaw("m", encode_dann_meta(meta));
  Upsert(params, "y", {0, 1});
  Upsert(params, "y", {0, 2});
  EXPECT_EQ(Meta().deleted, UINT32_MAX);
  // A key row of the wrong length is dropped by remove, overwritten by insert.
  PutRaw(dann_key_row_key("z"), "abc");
  Write([&](WriteCtx& ctx) { EXPECT_FALSE(dann_remove_key(ctx, kNs, false, params.quant, "z").value()); });
  PutRaw(dann_key_row_key("z"), "abc");
  Upsert(params, "z", {1, 1});
  auto hits = Search(params, {1, 1}, 1);
  ASSERT_EQ(hits->size(), 1u);
  EXPECT_EQ(hits->front().key, "z");
}

// Rewriting a key with the vector it has (bit for bit in its stored form)
// writes nothing: no deleted node, no new id, not one row changed. A vector
// that differs, or one that comes back after its key was removed, takes a
// new node.
TEST_F(DiskHnswTest, UnchangedVectorWritesNothing) {
  Rng rng(31);
  std::vector<std::vector<float>> data;
  for (int i = 0; i < 60; ++i) data.push_back(rng.Vector(8));
  auto codebook = std::make_shared<const PqCodebook>(*pq_train(data, 2, 8, 1));
  auto rows = [&](const std::string& ns) {
    auto txn = engine_->store().BeginRead();
    auto all = ReadView(*txn).view_scan_all(ns);
    EXPECT_TRUE(all.has_value());
    std::map<std::string, std::string> out;
    for (const Row& row : *all) out[row.key] = row.value;
    return out;
  };
  for (int kind = 0; kind < 4; ++kind) {
    SCOPED_TRACE(kind);
    DiskHnswParams params;
    params.quant = kind == 1 ? Quantization::kBinary : kind == 2 ? Quantization::kScalar : Quantization::kNone;
    if (kind == 3) params.codebook = codebook;
    const std::string ns = "__dann__same__" + std::to_string(kind);
    auto upsert = [&](size_t i, const std::vector<float>& v) {
      Write([&](WriteCtx& ctx) { ASSERT_TRUE(dann_upsert(ctx, ns, params, "k" + std::to_string(i), v).has_value()); });
    };
    for (size_t i = 0; i < data.size(); ++i) upsert(i, data[i]);
    const auto before = rows(ns);
    for (size_t i = 0; i < data.size(); ++i) upsert(i, std::vector<float>(data[i]));
    EXPECT_EQ(rows(ns), before);
    std::vector<float> moved = data[5];
    for (float& x : moved) x = -x;
    upsert(5, moved);
    Write([&](WriteCtx& ctx) {
      ASSERT_TRUE(dann_remove_key(ctx, ns, params.has_codebook(), params.quant, "k6").value());
      ASSERT_TRUE(dann_upsert(ctx, ns, params, "k6", data[6]).has_value());
    });
    auto txn = engine_->store().BeginRead();
    auto meta = read_dann_meta_ro(ReadView(*txn), ns);
    ASSERT_TRUE(meta.has_value());
    EXPECT_EQ(meta->next, data.size() + 2);
    EXPECT_EQ(meta->deleted, 2u);
  }
}

TEST_F(DiskHnswTest, WrongDimensionRemovesTheKey) {
  DiskHnswParams params;
  Upsert(params, "a", {1, 0});
  Upsert(params, "b", {0, 1});
  Upsert(params, "a", {1, 0, 0});
  EXPECT_EQ(Meta().deleted, 1u);
  EXPECT_EQ(Meta().dim, 2u);
  auto hits = Search(params, {1, 0}, 10);
  ASSERT_EQ(hits->size(), 1u);
  EXPECT_EQ(hits->front().key, "b");
  EXPECT_TRUE(Search(params, {1, 0, 0}, 10)->empty());
}

TEST_F(DiskHnswTest, DamagedRows) {
  DiskHnswParams params;
  params.metric = Metric::kL2;
  Rng rng(3);
  for (int i = 0; i < 40; ++i) Upsert(params, "k" + std::to_string(i), rng.Vector(3));
  // A truncated meta row fails searches and inserts with one error.
  std::string meta = encode_dann_meta(Meta());
  PutRaw("m", meta.substr(0, 20));
  auto bad = Search(params, {0, 0, 0}, 3);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().kind(), ErrorKind::kCorruptIndex);
  PutRaw("m", meta);
  // A missing neighbour row is skipped; a cut node row fails the search.
  Write([&](WriteCtx& ctx) { ASSERT_TRUE(delete_row_counted(ctx, kNs, dann_node_row_key(5)).has_value()); });
  auto hits = Search(params, {0, 0, 0}, 100);
  ASSERT_TRUE(hits.has_value());
  EXPECT_EQ(hits->size(), 39u);
  Upsert(params, "new", {0.5f, 0.5f, 0.5f});
  PutRaw(dann_node_row_key(7), std::string("\0\3\0\0\0ab", 7));
  auto cut = Search(params, {0, 0, 0}, 100);
  ASSERT_FALSE(cut.has_value());
  EXPECT_EQ(cut.error().kind(), ErrorKind::kCorruptIndex);
}

TEST_F(DiskHnswTest, MissingEntryPointIsAbsent) {
  DiskHnswParams params;
  Upsert(params, "a", {1, 0});
  DiskHnswMeta meta = Meta();
  meta.entry = 999;
  PutRaw("m", encode_dann_meta(meta));
  EXPECT_TRUE(Search(params, {1, 0}, 5)->empty());
  Upsert(params, "b", {0, 1});
  EXPECT_EQ(Meta().entry, 1u);
  auto hits = Search(params, {0, 1}, 5);
  ASSERT_EQ(hits->size(), 1u);
  EXPECT_EQ(hits->front().key, "b");
}

TEST_F(DiskHnswTest, DamagedCodesRankLast) {
  PqCodebook cb;
  cb.m = 1;
  cb.k = 2;
  cb.subspace_dim = 2;
  cb.dim = 2;
  cb.centroids = {0, 0, 1, 1};
  DiskHnswParams params;
  params.metric = Metric::kL2;
  params.codebook = std::make_shared<const PqCodebook>(cb);
  Upsert(params, "a", {0, 0});
  Upsert(params, "b", {1, 1});
  Upsert(params, "c", {1, 1});
  auto node = [&](uint64_t id) {
    auto txn = engine_->store().BeginRead();
    DannNodeCache cache;
    return *load_dann_node_ro(ReadView(*txn), kNs, cache, true, params.quant, id).value();
  };
  DiskHnswNode damaged = node(0);
  damaged.stored.codes = {7};  // not below k
  PutRaw(dann_node_row_key(0), encode_dann_node(damaged));
  auto hits = Search(params, {0, 0}, 3);
  ASSERT_EQ(hits->size(), 3u);
  EXPECT_EQ(hits->back().key, "a");
  EXPECT_TRUE(std::isinf(hits->back().distance));
  EXPECT_TRUE(Search(params, {0, 0, 0}, 3)->empty());  // query length is not the codebook's
}

// The in-memory graph copied into rows, its tombstones as deleted nodes:
// both searches walk the same graph with the same width, through the
// removed nodes without returning them, so they return the same keys with
// bitwise the same distances. A length of 16 lets the kernels read the
// rows' float vectors in place, at whatever offset each key's length
// leaves them; 12 has them copied.
TEST_F(DiskHnswTest, SearchEqualsInMemorySearchOverTheSameGraph) {
  int ns = 0;
  for (const size_t kDim : {size_t{12}, size_t{16}}) {
    SCOPED_TRACE("dim " + std::to_string(kDim));
    Rng rng(21);
    std::vector<std::vector<float>> data;
    for (int i = 0; i < 150; ++i) data.push_back(rng.Vector(kDim));
    auto codebook = std::make_shared<const PqCodebook>(*pq_train(data, kDim == 12 ? 3 : 4, 8, 1));
    for (int kind = 0; kind < 4; ++kind) {
      for (Metric metric : {Metric::kCosine, Metric::kDot, Metric::kL2}) {
        DiskHnswParams params;
        params.metric = metric;
        params.quant = kind == 1 ? Quantization::kBinary : kind == 2 ? Quantization::kScalar : Quantization::kNone;
        if (kind == 3) params.codebook = codebook;
        HnswIndex graph(metric, params.quant, params.codebook);
        for (size_t i = 0; i < data.size(); ++i) hnsw_insert(graph, "k" + std::to_string(i), data[i]);
        // A third of the keys replaced or removed.
        for (size_t i = 0; i < data.size(); i += 3) {
          if (i % 2 == 0) {
            hnsw_insert(graph, "k" + std::to_string(i), rng.Vector(kDim));
          } else {
            hnsw_remove_key(graph, "k" + std::to_string(i));
          }
        }
        ASSERT_EQ(graph.tombstone_count(), 50u);
        std::string name = "__dann__eq__" + std::to_string(ns++);
        Write([&](WriteCtx& ctx) {
          for (uint64_t id = 0; id < graph.node_count(); ++id) {
            DiskHnswNode node;
            node.deleted = !graph.key(id).has_value();
            node.key = node.deleted ? "removed" + std::to_string(id) : std::string(*graph.key(id));
            StoredRef stored = graph.stored(id);
            node.stored = stored.kind == StoredKind::kF32
                              ? StoredVector::F32({stored.f32.begin(), stored.f32.end()})
                              : StoredVector::Codes({stored.codes.begin(), stored.codes.end()});
            for (uint32_t layer = 0; layer <= graph.level(id); ++layer) {
              auto list = graph.neighbours(id, layer);
              node.layers.emplace_back(list.begin(), list.end());
            }
            ASSERT_TRUE(put_row(ctx, name, dann_node_row_key(id), encode_dann_node(node)).has_value());
          }
          DiskHnswMeta meta{true, *graph.entry(), graph.node_count(), static_cast<uint32_t>(kDim),
                            static_cast<uint32_t>(graph.tombstone_count())};
          ASSERT_TRUE(put_row(ctx, name, "m", encode_dann_meta(meta)).has_value());
        });
        auto txn = engine_->store().BeginRead();
        for (int qi = 0; qi < 8; ++qi) {
          std::vector<float> q = rng.Vector(kDim);
          const uint64_t k = qi % 2 == 0 ? 7 : 40;
          auto want = hnsw_search(graph, q, k);
          auto got = dann_search(ReadView(*txn), name, params, q, k);
          ASSERT_TRUE(got.has_value());
          ASSERT_EQ(want.size(), k);
          ASSERT_EQ(got->size(), want.size());
          for (size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ((*got)[i].key, want[i].key);
            EXPECT_EQ(std::bit_cast<uint32_t>((*got)[i].distance), std::bit_cast<uint32_t>(want[i].distance));
          }
        }
      }
    }
  }
}

// Both graphs link a new node by the one shared insert, so given the same
// levels (the on-disk graph draws them from node ids; the in-memory one is
// given those) they build the same graph node for node, whatever the
// metric and stored form (product codes aside: pruning there measures from
// decoded codes in memory and from their distance table on disk). Small
// integer coordinates make ties, full lists and widened candidates common;
// upserts, removals and a wrong length leave deleted nodes behind. The
// on-disk inserts come one per transaction and in batches sharing a node
// cache (whose copied rows must read as the rows).
TEST_F(DiskHnswTest, InsertsBuildTheInMemoryGraphGivenTheSameLevels) {
  int ns = 0;
  for (Quantization quant : {Quantization::kNone, Quantization::kBinary, Quantization::kScalar}) {
    for (Metric metric : {Metric::kCosine, Metric::kDot, Metric::kL2}) {
      SCOPED_TRACE(std::string(MetricName(metric)) + " " + std::string(QuantizationName(quant)));
      DiskHnswParams params;
      params.metric = metric;
      params.quant = quant;
      const std::string name = "__dann__same__" + std::to_string(ns++);
      HnswIndex graph(metric, quant);
      Rng rng(static_cast<uint64_t>(ns));
      uint64_t next_id = 0;
      for (int step = 0; step < 420;) {
        // Batches of 1 (dann_upsert) and of up to 60 inserts sharing a cache.
        const int batch = step % 120 < 60 ? 1 : 60;
        Write([&](WriteCtx& ctx) {
          DiskHnswMeta meta = read_dann_meta(ctx, name).value();
          DannNodeCache cache;
          for (int i = 0; i < batch; ++i, ++step) {
            const std::string key = "k" + std::to_string(rng.Next() % 300);
            const uint64_t op = rng.Next() % 25;
            if (op == 0) {
              hnsw_remove_key(graph, key);
              ASSERT_TRUE(flush_dann_nodes(ctx, name, cache).has_value());
              ASSERT_TRUE(put_row(ctx, name, kDannMetaKey, encode_dann_meta(meta)).has_value());
              ASSERT_TRUE(dann_remove_key(ctx, name, false, quant, key).has_value());
              meta = read_dann_meta(ctx, name).value();
              cache = DannNodeCache{};
              continue;
            }
            std::vector<float> v(op == 1 ? 3 : 4);
            for (float& x : v) x = static_cast<float>(static_cast<int>(rng.Next() % 5) - 2);
            const size_t before = graph.node_count();
            hnsw_internal::InsertAtLevel(graph, key, v, dann_level(next_id, params.ml));
            if (graph.node_count() > before) ++next_id;
            ASSERT_TRUE(dann_insert(ctx, name, params, cache, meta, key, v).has_value());
            ASSERT_EQ(meta.next, next_id);
          }
          ASSERT_TRUE(flush_dann_nodes(ctx, name, cache).has_value());
          ASSERT_TRUE(put_row(ctx, name, kDannMetaKey, encode_dann_meta(meta)).has_value());
        });
      }
      auto txn = engine_->store().BeginRead();
      ReadView view(*txn);
      DiskHnswMeta meta = read_dann_meta_ro(view, name).value();
      ASSERT_EQ(meta.next, graph.node_count());
      ASSERT_EQ(meta.has_entry, graph.entry().has_value());
      ASSERT_EQ(meta.entry, *graph.entry());
      DannNodeCache cache;
      for (uint64_t id = 0; id < graph.node_count(); ++id) {
        auto node = load_dann_node_ro(view, name, cache, false, quant, id).value();
        ASSERT_NE(node, nullptr) << id;
        ASSERT_EQ(node->layers.size(), graph.level(id) + 1) << id;
        for (uint32_t layer = 0; layer <= graph.level(id); ++layer) {
          auto list = graph.neighbours(id, layer);
          ASSERT_EQ(node->layers[layer], std::vector<uint64_t>(list.begin(), list.end()))
              << "node " << id << " layer " << layer;
        }
      }
    }
  }
}

// The search written plainly, as an oracle: every node row decoded whole
// by decode_dann_node into a map on first use, visited sets in a std::set.
class DecodedStore {
 public:
  using Id = uint64_t;
  DecodedStore(const ReadView& view, const DiskHnswParams& params, QueryScorer& scorer)
      : view_(view), params_(params), scorer_(scorer) {}

  void StartVisits() { visited_.clear(); }
  bool Visit(Id id) { return visited_.insert(id).second && Node(id) != nullptr; }
  float Distance(Id id) {
    const DiskHnswNode* node = Node(id);
    return node != nullptr ? scorer_(node->stored.ref()) : std::numeric_limits<float>::infinity();
  }
  std::span<const uint64_t> Neighbours(Id id, uint32_t layer) {
    const DiskHnswNode* node = Node(id);
    if (node == nullptr || layer >= node->layers.size()) return {};
    return node->layers[layer];
  }
  bool ok() const { return status_.has_value(); }
  Status status() const { return status_; }
  const DiskHnswNode* Node(Id id) {
    if (!ok()) return nullptr;
    auto it = nodes_.find(id);
    if (it == nodes_.end()) {
      auto row = view_.view_get(kNs, dann_node_row_key(id));
      std::optional<DiskHnswNode> node;
      if (!row.has_value()) {
        status_ = Fail(row.error());
      } else if (row->has_value()) {
        auto decoded = decode_dann_node(kNs, id, **row, params_.has_codebook(), params_.quant);
        if (decoded.has_value()) node = std::move(*decoded);
        if (!decoded.has_value()) status_ = Fail(decoded.error());
      }
      if (!ok()) return nullptr;
      it = nodes_.emplace(id, std::move(node)).first;
    }
    return it->second.has_value() ? &*it->second : nullptr;
  }

 private:
  const ReadView& view_;
  const DiskHnswParams& params_;
  QueryScorer& scorer_;
  std::set<uint64_t> visited_;
  std::map<uint64_t, std::optional<DiskHnswNode>> nodes_;
  Status status_;
};

Result<std::vector<HnswHit>> OracleSearch(const ReadView& view, const DiskHnswParams& params,
                                          const std::vector<float>& query, uint64_t k) {
  ASSIGN_OR_RETURN(DiskHnswMeta meta, read_dann_meta_ro(view, kNs));
  if (k == 0 || !meta.has_entry || (meta.dim.has_value() && *meta.dim != query.size())) {
    return std::vector<HnswHit>{};
  }
  PreparedQuery prepared = dann_query_prepare(params, query);
  QueryScorer scorer(params.codebook.get(), params.metric, params.quant, prepared.ref());
  DecodedStore store(view, params, scorer);
  auto layer_search = [&](uint64_t ep, uint64_t ef, uint32_t layer) -> Result<std::vector<ScoredNode<uint64_t>>> {
    if (store.Node(ep) == nullptr) {
      RETURN_IF_ERROR(store.status());
      return std::vector<ScoredNode<uint64_t>>{};
    }
    // Only layer 0 gathers results; deleted nodes hold no place among them.
    auto live = [&](uint64_t id) {
      const DiskHnswNode* node = store.Node(id);
      return layer > 0 || (node != nullptr && !node->deleted);
    };
    auto found = hnsw_search_layer_admitting(store, ep, ef, layer, live);
    RETURN_IF_ERROR(store.status());
    return found;
  };
  const DiskHnswNode* entry = store.Node(meta.entry);
  RETURN_IF_ERROR(store.status());
  if (entry == nullptr) return std::vector<HnswHit>{};
  uint64_t ep = meta.entry;
  for (auto layer = static_cast<uint32_t>(entry->layers.empty() ? 0 : entry->layers.size() - 1); layer > 0; --layer) {
    ASSIGN_OR_RETURN(auto nearest, layer_search(ep, 1, layer));
    if (nearest.empty()) break;
    ep = nearest.front().id;
  }
  ASSIGN_OR_RETURN(auto nearest, layer_search(ep, HnswSearchEf(k), 0));
  std::vector<HnswHit> hits;
  for (const auto& scored : nearest) {
    if (hits.size() >= k) break;
    const DiskHnswNode* node = store.Node(scored.id);
    RETURN_IF_ERROR(store.status());
    if (node != nullptr && !node->deleted) hits.push_back(HnswHit{node->key, scored.distance});
  }
  return hits;
}

// Graphs with rows cut short, rows removed, neighbour lists pointing
// nowhere and keys of every length (so that vectors sit at every
// alignment): each search returns what the oracle does, bit for bit, or
// fails with the same error.
TEST_F(DiskHnswTest, SearchMatchesADecodingOracleOnDamagedGraphs) {
  Rng rng(99);
  for (int round = 0; round < 12; ++round) {
    DiskHnswParams params;
    params.metric = round % 3 == 0 ? Metric::kCosine : round % 3 == 1 ? Metric::kDot : Metric::kL2;
    params.quant = round % 4 == 3 ? Quantization::kScalar : Quantization::kNone;
    params.m = 4;
    params.m0 = 8;
    params.ef_construction = 16;
    // Keys of 1 to 7 bytes and dimensions not a multiple of 8.
    const size_t dim = 5 + rng.Next() % 20;
    const int n = 60 + static_cast<int>(rng.Next() % 120);
    Write([&](WriteCtx& ctx) {
      ASSERT_TRUE(clear_collection_rows(ctx, kNs).has_value());
      for (int i = 0; i < n; ++i) {
        std::string key(1 + rng.Next() % 7, 'a');
        key += std::to_string(i);
        ASSERT_TRUE(dann_upsert(ctx, kNs, params, key, rng.Vector(dim)).has_value());
      }
    });
    const int damaged = static_cast<int>(rng.Next() % 4);
    for (int d = 0; d < damaged; ++d) {
      uint64_t id = rng.Next() % n;
      auto txn = engine_->store().BeginRead();
      auto row = ReadView(*txn).view_get(kNs, dann_node_row_key(id));
      ASSERT_TRUE(row.has_value());
      if (!row->has_value()) continue;
      std::string bytes = **row;
      switch (rng.Next() % 3) {
        case 0: bytes.resize(rng.Next() % bytes.size()); break;                  // cut short
        case 1: bytes.append("extra"); break;                                    // trailing bytes
        default: EncodeFixed64BE(bytes.data() + bytes.size() - 8, 1000000 + id);  // a link to nowhere
      }
      PutRaw(dann_node_row_key(id), bytes);
    }
    if (rng.Next() % 2 == 0) {
      Write([&](WriteCtx& ctx) {
        ASSERT_TRUE(delete_row_counted(ctx, kNs, dann_node_row_key(rng.Next() % n)).has_value());
      });
    }
    auto txn = engine_->store().BeginRead();
    for (int qi = 0; qi < 6; ++qi) {
      std::vector<float> q = rng.Vector(dim);
      uint64_t k = 1 + rng.Next() % 12;
      auto want = OracleSearch(ReadView(*txn), params, q, k);
      auto got = dann_search(ReadView(*txn), kNs, params, q, k);
      ASSERT_EQ(got.has_value(), want.has_value()) << "round " << round;
      if (!want.has_value()) {
        EXPECT_EQ(got.error().kind(), want.error().kind());
        EXPECT_EQ(got.error().detail(), want.error().detail());
        continue;
      }
      ASSERT_EQ(got->size(), want->size());
      for (size_t i = 0; i < want->size(); ++i) {
        EXPECT_EQ((*got)[i].key, (*want)[i].key);
        EXPECT_EQ(std::bit_cast<uint32_t>((*got)[i].distance), std::bit_cast<uint32_t>((*want)[i].distance));
      }
    }
  }
}

// Inserts sharing one cache and one flush (as index builds do) read the
// nodes earlier inserts changed from the cache, not from their stale rows,
// so they leave exactly the rows that one upsert per key leaves.
TEST_F(DiskHnswTest, BatchedInsertsLeaveTheRowsOfSingleUpserts) {
  Rng rng(5);
  std::vector<std::pair<std::string, std::vector<float>>> docs;
  for (int i = 0; i < 120; ++i) docs.push_back({"k" + std::to_string(i % 100), rng.Vector(6)});
  DiskHnswParams params;
  params.m = 4;
  params.m0 = 8;
  params.ef_construction = 12;
  auto rows = [&](const std::string& ns) {
    auto txn = engine_->store().BeginRead();
    return ReadView(*txn).view_scan_all(ns).value();
  };
  const std::string single = "__dann__single", batched = "__dann__batched";
  for (const auto& [key, v] : docs) {
    Write([&](WriteCtx& ctx) { ASSERT_TRUE(dann_upsert(ctx, single, params, key, v).has_value()); });
  }
  Write([&](WriteCtx& ctx) {
    DiskHnswMeta meta = read_dann_meta(ctx, batched).value();
    DannNodeCache cache;
    for (const auto& [key, v] : docs) {
      ASSERT_TRUE(dann_insert(ctx, batched, params, cache, meta, key, v).has_value());
    }
    ASSERT_TRUE(flush_dann_nodes(ctx, batched, cache).has_value());
    EXPECT_TRUE(cache.changed.empty());
    ASSERT_TRUE(put_row(ctx, batched, kDannMetaKey, encode_dann_meta(meta)).has_value());
  });
  auto a = rows(single), b = rows(batched);
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].key, b[i].key);
    EXPECT_EQ(a[i].value, b[i].value) << i;
  }
}

// A node whose row the operation deleted (as the repair drops a node) and
// which the cache of a batch's inserts then forgets is gone for the
// batch's later inserts, whether the cache held it changed or kept a copy
// of its row, through the node table their stores share; no later insert
// links it again and the flush does not write its row back.
TEST_F(DiskHnswTest, ForgottenNodesStayGoneForTheBatchsLaterInserts) {
  Rng rng(11);
  DiskHnswParams params;
  params.m = 4;
  params.m0 = 8;
  params.ef_construction = 12;
  constexpr uint64_t kOld = 60;
  for (uint64_t i = 0; i < kOld; ++i) Upsert(params, "k" + std::to_string(i), rng.Vector(6));
  std::vector<uint64_t> gone;
  Write([&](WriteCtx& ctx) {
    DiskHnswMeta meta = read_dann_meta(ctx, kNs).value();
    DannNodeCache cache;
    for (int i = 0; i < 30; ++i) {
      ASSERT_TRUE(dann_insert(ctx, kNs, params, cache, meta, "a" + std::to_string(i), rng.Vector(6)).has_value());
    }
    // One old node the cache holds changed, one whose row it only copied.
    for (uint64_t id = 0; id < kOld && gone.empty(); ++id) {
      if (cache.changed.contains(id)) gone.push_back(id);
    }
    for (uint64_t id = 0; id < kOld && gone.size() < 2; ++id) {
      if (cache.Held(id) == nullptr && id < cache.rows.size() && !cache.rows[id].empty()) gone.push_back(id);
    }
    ASSERT_EQ(gone.size(), 2u);
    for (uint64_t id : gone) {
      ASSERT_TRUE(delete_row_counted(ctx, kNs, dann_node_row_key(id)).has_value());
      cache.Forget(id);
    }
    {
      QueryScorer unused(nullptr, params.metric, params.quant, QueryRef{});
      dann_internal::DannStore store(ctx, cache, kNs, params, unused, {});
      for (uint64_t id : gone) EXPECT_EQ(store.Node(id), nullptr) << id;
      EXPECT_TRUE(store.ok());
    }
    for (int i = 30; i < 60; ++i) {
      ASSERT_TRUE(dann_insert(ctx, kNs, params, cache, meta, "a" + std::to_string(i), rng.Vector(6)).has_value());
    }
    ASSERT_TRUE(flush_dann_nodes(ctx, kNs, cache).has_value());
    ASSERT_TRUE(put_row(ctx, kNs, kDannMetaKey, encode_dann_meta(meta)).has_value());
  });
  auto txn = engine_->store().BeginRead();
  ReadView view(*txn);
  for (uint64_t id : gone) EXPECT_FALSE(view.view_get(kNs, dann_node_row_key(id)).value().has_value()) << id;
  // No node the later inserts made links to them.
  for (uint64_t id = kOld + 30; id < kOld + 60; ++id) {
    DannNodeCache cache;
    auto node = load_dann_node_ro(view, kNs, cache, false, params.quant, id).value();
    ASSERT_NE(node, nullptr);
    for (const auto& list : node->layers) {
      for (uint64_t v : list) EXPECT_TRUE(std::find(gone.begin(), gone.end(), v) == gone.end()) << id;
    }
  }
}

// Tight clusters and far outliers in a database file: every node is
// reachable from the entry point and every stored vector is found by its
// own value, right after the writes and after the file is opened again. Half the vectors come in one transaction (as an index
// build writes them), the rest in small ones (as later writes do).
TEST(DiskHnswFileTest, EveryStoredVectorIsFoundByItsOwnValue) {
  test::ClusteredVectors data = test::TightClustersWithOutliers(3);
  test::TempDir dir;
  const std::string path = dir.path() + "/db";
  auto key = [](size_t i) { return "k" + std::to_string(i); };
  DiskHnswParams params;
  params.metric = Metric::kL2;
  auto expect_found = [&](Engine& engine) {
    auto txn = engine.store().BeginRead();
    ASSERT_TRUE(txn.has_value());
    ReadView view(*txn);
    auto meta = read_dann_meta_ro(view, kNs);
    ASSERT_TRUE(meta.has_value());
    std::set<uint64_t> seen{meta->entry};
    std::vector<uint64_t> todo{meta->entry};
    while (!todo.empty()) {
      uint64_t id = todo.back();
      todo.pop_back();
      auto row = view.view_get(kNs, dann_node_row_key(id));
      ASSERT_TRUE(row.has_value() && row->has_value());
      auto node = decode_dann_node(kNs, id, **row, false, params.quant);
      ASSERT_TRUE(node.has_value());
      for (const auto& list : node->layers) {
        for (uint64_t n : list) {
          if (seen.insert(n).second) todo.push_back(n);
        }
      }
    }
    EXPECT_EQ(seen.size(), meta->next);
    auto nearest = [&](size_t i) {
      auto hits = dann_search(view, kNs, params, data.vectors[i], 1);
      EXPECT_TRUE(hits.has_value());
      return hits.has_value() && !hits->empty() ? (*hits)[0].key : std::string();
    };
    test::Misses misses = test::CountMisses(data, nearest, key);
    EXPECT_LE(misses.total, data.vectors.size() / 200);
    EXPECT_EQ(misses.outliers, 0u);
  };
  {
    auto engine = open_engine(path);
    ASSERT_TRUE(engine.has_value());
    const size_t half = data.vectors.size() / 2;
    for (size_t lo = 0; lo < data.vectors.size(); lo = lo < half ? half : lo + 101) {
      auto ctx = BeginWriteCtx((*engine)->store());
      ASSERT_TRUE(ctx.has_value());
      size_t hi = lo < half ? half : std::min(data.vectors.size(), lo + 101);
      for (size_t i = lo; i < hi; ++i) ASSERT_TRUE(dann_upsert(*ctx, kNs, params, key(i), data.vectors[i]).has_value());
      ASSERT_TRUE(ctx->Commit().has_value());
    }
    SCOPED_TRACE("as written");
    expect_found(**engine);
  }
  auto engine = open_engine(path);
  ASSERT_TRUE(engine.has_value());
  SCOPED_TRACE("opened again");
  expect_found(**engine);
}

TEST_F(DiskHnswTest, ExhaustedNodeIdsAreMalformed) {
  DiskHnswParams params;
  DiskHnswMeta meta;
  meta.next = UINT64_MAX;
  PutRaw("m", encode_dann_meta(meta));
  auto ctx = BeginWriteCtx(engine_->store());
  auto status = dann_upsert(*ctx, kNs, params, "a", std::vector<float>{1, 2});
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().kind(), ErrorKind::kCorruptIndex);
}

}  // namespace
}  // namespace pallix
