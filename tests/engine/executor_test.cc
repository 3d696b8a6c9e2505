#include "query/executor.h"

#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "base/numeric.h"
#include "index/scalar_index.h"
#include "index/text_index.h"
#include "index/vector_index.h"
#include "query/projection.h"
#include "storage/rows.h"
#include "tests/engine/at_snapshot.h"
#include "tests/engine/query_corpus.h"
#include "text/text.h"
#include "vector/quant.h"
#include "write/write.h"

namespace pallix::test {
namespace {

using Ranked = std::vector<std::pair<std::string, float>>;  // key, score/distance

// Independent BM25 over the candidates holding text at `field`.
Ranked OracleText(const std::vector<CandidateRow>& rows, const TextSource& src) {
  std::vector<std::string> terms;
  for (auto& t : analyze_text(src.query)) {
    if (std::find(terms.begin(), terms.end(), t) == terms.end()) terms.push_back(t);
  }
  std::vector<std::pair<std::string, std::vector<std::string>>> docs;
  uint64_t total = 0;
  for (const auto& [key, doc] : rows) {
    const Value* v = get_path(doc, src.field);
    if (v == nullptr || !v->is_text()) continue;
    docs.emplace_back(key, analyze_text(v->as_text()));
    total += docs.back().second.size();
  }
  Ranked out;
  if (docs.empty() || terms.empty()) return out;
  float n = static_cast<float>(docs.size());
  float avgdl = static_cast<float>(total) / n;
  if (avgdl == 0.0f) avgdl = 1.0f;
  std::vector<float> score(docs.size(), 0.0f);
  for (const std::string& term : terms) {
    float df = 0;
    for (auto& d : docs) df += std::count(d.second.begin(), d.second.end(), term) > 0 ? 1.0f : 0.0f;
    if (df == 0) continue;
    float idf = std::log((n - df + 0.5f) / (df + 0.5f) + 1.0f);
    for (size_t i = 0; i < docs.size(); ++i) {
      float tf = static_cast<float>(std::count(docs[i].second.begin(), docs[i].second.end(), term));
      float dl = static_cast<float>(docs[i].second.size());
      if (tf > 0) score[i] += tf * 2.2f * idf / ((dl / avgdl * 0.75f + 0.25f) * 1.2f + tf);
    }
  }
  for (size_t i = 0; i < docs.size(); ++i) {
    if (score[i] > 0) out.emplace_back(docs[i].first, score[i]);
  }
  std::sort(out.begin(), out.end(), [](auto& a, auto& b) {
    return TotalCompare(a.second, b.second) != 0 ? TotalCompare(a.second, b.second) > 0 : a.first < b.first;
  });
  if (out.size() > src.k) out.resize(src.k);
  return out;
}

Ranked OracleVector(const std::vector<CandidateRow>& rows, const VectorSource& src) {
  Ranked out;
  for (const auto& [key, doc] : rows) {
    const Value* v = get_path(doc, src.field);
    if (v == nullptr || !v->is_vector() || v->as_vector().size() != src.query.size()) continue;
    out.emplace_back(key, distance_by_metric(src.metric, src.query, v->as_vector()));
  }
  std::sort(out.begin(), out.end(), [](auto& a, auto& b) {
    return TotalCompare(a.second, b.second) != 0 ? TotalCompare(a.second, b.second) < 0 : a.first < b.first;
  });
  if (out.size() > src.k) out.resize(src.k);
  return out;
}

// filter, then score exactly, fuse, sort, cut, project.
std::vector<QueryRow> Oracle(const std::vector<CandidateRow>& docs, const QuerySpec& spec) {
  std::vector<CandidateRow> rows = OracleFilter(docs, spec.filters);
  std::map<std::string, const Value*> doc_of;
  for (auto& r : rows) doc_of[r.first] = &r.second;
  std::vector<QueryRow> out;
  if (spec.sources.empty()) {
    for (auto& r : rows) out.push_back(QueryRow{r.first, r.second, 0.0f});
  } else {
    std::map<std::string, float> fused;
    for (const QuerySource& s : spec.sources) {
      Ranked list = std::holds_alternative<TextSource>(s) ? OracleText(rows, std::get<TextSource>(s))
                                                          : OracleVector(rows, std::get<VectorSource>(s));
      for (size_t i = 0; i < list.size(); ++i) fused[list[i].first] += 1.0f / (spec.rrf_k + static_cast<float>(i + 1));
    }
    for (auto& [k, score] : fused) out.push_back(QueryRow{k, *doc_of[k], score});
    std::stable_sort(out.begin(), out.end(), [](const QueryRow& a, const QueryRow& b) {
      return TotalCompare(a.score, b.score) > 0;
    });
  }
  if (spec.order_by) sort_rows_by_order(out, spec.order_by->field, spec.order_by->descending);
  apply_window(out, spec.offset, spec.limit);
  if (spec.select) {
    for (auto& r : out) r.document = project_fields(std::move(r.document), *spec.select);
  }
  return out;
}

QuerySource RandomSource(std::mt19937_64& rng) {
  uint64_t k = rng() % 12;
  if (rng() % 2) {
    std::string q = std::string(kWords[rng() % 8]) + " " + kWords[rng() % 8];
    return TextSource{"t", q, k};
  }
  std::vector<float> v(4);
  for (float& x : v) x = static_cast<float>(rng() % 200) / 50.0f - 2.0f;
  if (rng() % 10 == 0) v.push_back(1.0f);  // a length nothing matches
  return VectorSource{"v", v, k, static_cast<Metric>(rng() % 3)};
}

QuerySpec RandomSpec(std::shared_ptr<Engine> e, std::mt19937_64& rng, bool with_sources) {
  QuerySpec spec = SpecOf(std::move(e), "c", RandomFilters(rng));
  if (with_sources) {
    for (int i = 0, n = 1 + static_cast<int>(rng() % 2); i < n; ++i) spec.sources.push_back(RandomSource(rng));
    spec.approx = rng() % 3 == 0;
    spec.rrf_k = rng() % 2 ? 60.0f : 1.5f;
  }
  if (rng() % 2) spec.order_by = OrderBy{rng() % 4 ? "n" : (rng() % 2 ? "g" : "m.x"), rng() % 2 == 0};
  if (rng() % 2) spec.limit = rng() % 15;
  if (rng() % 3 == 0) spec.offset = rng() % 10;
  if (rng() % 4 == 0) spec.select = std::vector<std::string>{"n", "m.x", "missing.path"};
  return spec;
}

void ExpectSame(const std::vector<QueryRow>& got, const std::vector<QueryRow>& want, int round) {
  ASSERT_EQ(KeysOf(got), KeysOf(want)) << "round " << round;
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].score, want[i].score) << "round " << round << " row " << i;
    EXPECT_TRUE(values_same(got[i].document, want[i].document)) << "round " << round << " row " << i;
  }
}

// Every route against the oracle, over a collection with and without a
// scalar index on the order field (the ordered scan runs only with one).
void RandomRoutes(bool indexed, bool with_sources, uint64_t seed) {
  std::mt19937_64 rng(seed);
  auto e = MemEngine();
  if (indexed) {
    ASSERT_TRUE(create_scalar_index(*e, "c", "n").has_value());
  }
  auto docs = FillRandom(*e, "c", rng, 300);
  for (int round = 0; round < 400; ++round) {
    QuerySpec spec = RandomSpec(e, rng, with_sources);
    if (!with_sources && round % 3 == 0) spec.filters.clear();  // reach the ordered scan often
    std::vector<QueryRow> want = Oracle(docs, spec);
    auto got = run_query_entry(spec);
    ASSERT_TRUE(got.has_value()) << got.error().Message();
    ExpectSame(*got, want, round);
  }
}

TEST(ExecutorTest, FilteredAndOrderedScansMatchOracle) { RandomRoutes(false, false, 11); }
TEST(ExecutorTest, IndexedOrderedScanMatchesOracle) { RandomRoutes(true, false, 12); }
TEST(ExecutorTest, SourcesMatchOracle) { RandomRoutes(false, true, 13); }
TEST(ExecutorTest, SourcesWithIndexMatchOracle) { RandomRoutes(true, true, 14); }

// Index-backed single sources: the text index proposes the same k keys the
// exact scoring ranks best over the whole collection (same statistics);
// the vector graph proposes nearly the exact k nearest. Both are then
// scored exactly over those candidates.
void IndexBackedSources(bool on_disk, uint64_t seed) {
  std::mt19937_64 rng(seed);
  auto e = MemEngine();
  auto docs = FillRandom(*e, "c", rng, 300);
  if (on_disk) {
    ASSERT_TRUE(create_text_index_ondisk(*e, "c", "t").has_value());
    ASSERT_TRUE(create_vector_index_ondisk(*e, "c", "v", Metric::kCosine, Quantization::kNone).has_value());
  } else {
    ASSERT_TRUE(create_text_index(*e, "c", "t").has_value());
    ASSERT_TRUE(create_vector_index(*e, "c", "v", Metric::kCosine).has_value());
  }
  size_t found = 0, wanted = 0;
  for (int round = 0; round < 60; ++round) {
    QuerySpec spec = SpecOf(e, "c");
    std::string q = std::string(kWords[rng() % 8]) + " " + kWords[rng() % 8];
    spec.sources.push_back(TextSource{"t", q, 1 + rng() % 10});
    std::vector<QueryRow> want = Oracle(docs, spec);
    auto got = run_query_entry(spec);
    ASSERT_TRUE(got.has_value()) << got.error().Message();
    std::vector<std::string> a = KeysOf(*got), b = KeysOf(want);
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    EXPECT_EQ(a, b) << "round " << round;
    QuerySpec vspec = SpecOf(e, "c");
    std::vector<float> v(4);
    for (float& x : v) x = static_cast<float>(rng() % 200) / 50.0f - 2.0f;
    vspec.sources.push_back(VectorSource{"v", v, 10, Metric::kCosine});
    std::vector<QueryRow> vwant = Oracle(docs, vspec);
    auto vgot = run_query_entry(vspec);
    ASSERT_TRUE(vgot.has_value()) << vgot.error().Message();
    std::set<std::string> truth;
    for (auto& r : vwant) truth.insert(r.key);
    for (auto& r : *vgot) found += truth.count(r.key);
    wanted += truth.size();
  }
  EXPECT_GE(static_cast<double>(found), 0.9 * static_cast<double>(wanted));
}

TEST(ExecutorTest, InMemoryIndexSources) { IndexBackedSources(false, 41); }
TEST(ExecutorTest, OnDiskIndexSources) { IndexBackedSources(true, 42); }

// Filtered text sources, alone or beside a vector source (RRF), give the
// same rows and the same score bits whether the text field has no index,
// a loaded in-memory one or an on-disk one, and whether the walk reads the
// sources' fields from the rows' bytes or from partial documents: three
// engines take the same writes, part of them after the indexes are built.
TEST(ExecutorTest, FilteredTextRouteSameWithAndWithoutIndex) {
  std::mt19937_64 rng(61);
  std::vector<std::shared_ptr<Engine>> engines = {MemEngine(), MemEngine(), MemEngine()};
  auto write_all = [&](int ops) {
    for (int op = 0; op < ops; ++op) {
      char key[16];
      snprintf(key, sizeof key, "k%04d", static_cast<int>(rng() % 400));
      const bool del = rng() % 7 == 0;
      const Value doc = RandomDoc(rng);
      for (auto& e : engines) {
        if (del) ASSERT_TRUE(delete_document(*e, "c", key).has_value());
        else ASSERT_TRUE(insert(*e, "c", key, doc).has_value());
      }
    }
  };
  write_all(500);
  ASSERT_TRUE(create_text_index(*engines[1], "c", "t").has_value());
  ASSERT_TRUE(memory_text_index_for(*engines[1], "c", "t", [](const TextIndex&) {}).value());
  ASSERT_TRUE(create_text_index_ondisk(*engines[2], "c", "t").has_value());
  write_all(300);
  for (int round = 0; round < 150; ++round) {
    std::vector<Predicate> filters = RandomFilters(rng);
    std::vector<QuerySource> sources;
    const std::string q = std::string(kWords[rng() % 8]) + " " + kWords[rng() % 8] + (rng() % 3 ? "s" : "");
    sources.push_back(TextSource{"t", q, 1 + rng() % 15});
    if (filters.empty() || rng() % 3 != 0) {
      std::vector<float> v(4);
      for (float& x : v) x = static_cast<float>(rng() % 200) / 50.0f - 2.0f;
      sources.insert(rng() % 2 ? sources.begin() : sources.end(), VectorSource{"v", v, 1 + rng() % 15, Metric::kCosine});
    }
    // approx() sends a single source to its index's proposals, which only
    // the indexed engines have; beside a vector source it changes nothing.
    const bool approx = sources.size() == 2 && rng() % 4 == 0;
    const std::optional<uint64_t> limit = rng() % 2 ? std::optional<uint64_t>(1 + rng() % 10) : std::nullopt;
    std::vector<std::vector<QueryRow>> got;
    for (bool raw : {true, false}) {
      for (auto& e : engines) {
        QuerySpec spec = SpecOf(e, "c", filters);
        spec.sources = sources;
        spec.approx = approx;
        spec.limit = limit;
        auto rows = run_query_entry(std::move(spec), ExecuteOptions{.raw_field_reads = raw});
        ASSERT_TRUE(rows.has_value()) << rows.error().Message();
        got.push_back(std::move(*rows));
      }
    }
    for (size_t i = 1; i < got.size(); ++i) {
      ASSERT_EQ(KeysOf(got[i]), KeysOf(got[0])) << "round " << round << " engine " << i;
      for (size_t r = 0; r < got[0].size(); ++r) {
        EXPECT_EQ(std::bit_cast<uint32_t>(got[i][r].score), std::bit_cast<uint32_t>(got[0][r].score));
        EXPECT_TRUE(values_same(got[i][r].document, got[0][r].document));
      }
    }
  }
}

// The hybrid walk reads its sources' fields from the rows' bytes or from
// partial documents: both give the same rows, score bits and documents over
// rows whose fields are of every kind (repeated keys, whose last entry
// wins, among them), and the same Decode error for a damaged row.
TEST(ExecutorTest, RawFieldReadsSameAsPartialDocuments) {
  auto u32 = [](uint32_t n) { return std::string(reinterpret_cast<const char*>(&n), 4); };
  auto text = [&](std::string_view t) { return "\x04" + u32(static_cast<uint32_t>(t.size())) + std::string(t); };
  auto vec = [&](std::vector<float> v) {
    return "\x08" + u32(static_cast<uint32_t>(v.size())) + std::string(reinterpret_cast<const char*>(v.data()), 4 * v.size());
  };
  auto int_ = [](int64_t n) { return "\x02" + std::string(reinterpret_cast<const char*>(&n), 8); };
  auto map = [&](std::vector<std::pair<std::string, std::string>> entries) {
    std::string out = "\x07" + u32(static_cast<uint32_t>(entries.size()));
    for (auto& [k, v] : entries) out += u32(static_cast<uint32_t>(k.size())) + k + v;
    return out;
  };
  std::mt19937_64 rng(67);
  auto rand_vec = [&](size_t n) {
    std::vector<float> v(n);
    for (float& x : v) x = static_cast<float>(static_cast<int>(rng() % 200) - 100) / 37.0f;
    return v;
  };
  auto rand_text = [&] {
    std::string t;
    for (int i = 0, n = 1 + static_cast<int>(rng() % 5); i < n; ++i) t += std::string(i ? " " : "") + kWords[rng() % 8];
    return rng() % 5 == 0 ? t + " \xc3\xa9t\xc3\xa9" : t;
  };
  auto rand_row = [&] {
    std::vector<std::pair<std::string, std::string>> e;
    if (rng() % 5) e.emplace_back("n", int_(static_cast<int64_t>(rng() % 30)));
    switch (rng() % 6) {
      case 0: break;
      case 1: e.emplace_back("t", int_(4)); break;
      case 2: e.emplace_back("t", "\x05" + u32(3) + "abc"); break;
      default: e.emplace_back("t", text(rand_text()));
    }
    switch (rng() % 6) {
      case 0: break;
      case 1: e.emplace_back("v", vec(rand_vec(3))); break;
      case 2: e.emplace_back("v", text("v")); break;
      default: e.emplace_back("v", vec(rand_vec(4)));
    }
    if (rng() % 3 == 0) e.emplace_back("m", map({{"t", text(rand_text())}, {"v", vec(rand_vec(4))}}));
    if (rng() % 6 == 0) e.emplace_back("t", text(rand_text()));  // a repeated key: this entry wins
    if (rng() % 6 == 0) e.emplace_back("v", vec(rand_vec(4)));
    if (rng() % 2) std::shuffle(e.begin(), e.end(), rng);
    return rng() % 40 == 0 ? int_(1) : map(e);
  };
  auto run = [&](std::shared_ptr<Engine> e, const std::vector<Predicate>& filters, const std::vector<QuerySource>& sources,
                 bool raw) {
    QuerySpec spec = SpecOf(e, "c", filters);
    spec.sources = sources;
    return run_query_entry(std::move(spec), ExecuteOptions{.raw_field_reads = raw});
  };
  auto random_sources = [&] {
    std::vector<QuerySource> sources;
    sources.push_back(TextSource{"t", std::string(kWords[rng() % 8]) + " " + kWords[rng() % 8], 1 + rng() % 15});
    sources.push_back(VectorSource{"v", rand_vec(4), 1 + rng() % 15, rng() % 2 ? Metric::kCosine : Metric::kL2});
    if (rng() % 3 == 0) sources.push_back(VectorSource{"v", rand_vec(4), rng() % 5, Metric::kDot});
    if (rng() % 2) std::shuffle(sources.begin(), sources.end(), rng);
    return sources;
  };
  auto e = MemEngine();
  for (int i = 0; i < 300; ++i) {
    char key[16];
    snprintf(key, sizeof key, "k%04d", i);
    ASSERT_TRUE(put_row_once(e->store(), "c", key, rand_row()).has_value());
  }
  for (int round = 0; round < 60; ++round) {
    std::vector<Predicate> filters;
    if (rng() % 4) filters.push_back(Predicate::Compare("n", CompareOp::kGt, Value::Int(static_cast<int64_t>(rng() % 30))));
    const std::vector<QuerySource> sources = random_sources();
    auto raw = run(e, filters, sources, true);
    auto partial = run(e, filters, sources, false);
    ASSERT_TRUE(raw.has_value()) << raw.error().Message();
    ASSERT_TRUE(partial.has_value()) << partial.error().Message();
    ASSERT_EQ(KeysOf(*raw), KeysOf(*partial)) << "round " << round;
    for (size_t r = 0; r < raw->size(); ++r) {
      EXPECT_EQ(std::bit_cast<uint32_t>((*raw)[r].score), std::bit_cast<uint32_t>((*partial)[r].score));
      EXPECT_TRUE(values_same((*raw)[r].document, (*partial)[r].document));
    }
  }
  // Damaged rows, in a field the walk reads and in one it skips.
  const std::string good = map({{"n", int_(20)}, {"t", text("alpha beta")}, {"v", vec({1, 2, 3, 4})}});
  const std::vector<std::string> damaged = {
      good.substr(0, good.size() - 3),
      good + "x",
      map({{"n", int_(20)}, {"t", text("al\xff")}, {"v", vec({1, 2, 3, 4})}}),
      map({{"n", int_(1)}, {"t", text("al\xff")}}),
      map({{"n", int_(20)}, {"x", "\x09"}, {"t", text("alpha")}}),
      map({{"n", int_(1)}, {"k\xff", int_(1)}}),
      map({{"n", int_(20)}, {"v", "\x08" + u32(4) + "abc"}}),
      "\x07" + u32(3) + u32(1) + "n" + int_(20),
  };
  // The raw walk checks the UTF-8 of what it reads only: a bad text in a
  // row the filter drops, or a bad key it never reads, leaves its answer
  // that of the collection without the row; the partial decode fails.
  auto undamaged = MemEngine();
  ASSERT_TRUE(put_row_once(undamaged->store(), "c", "a", good).has_value());
  ASSERT_TRUE(put_row_once(undamaged->store(), "c", "c", good).has_value());
  for (size_t i = 0; i < damaged.size(); ++i) {
    auto d = MemEngine();
    ASSERT_TRUE(put_row_once(d->store(), "c", "a", good).has_value());
    ASSERT_TRUE(put_row_once(d->store(), "c", "b", damaged[i]).has_value());
    ASSERT_TRUE(put_row_once(d->store(), "c", "c", good).has_value());
    for (bool filtered : {false, true}) {
      std::vector<Predicate> filters;
      if (filtered) filters.push_back(Predicate::Compare("n", CompareOp::kGt, Value::Int(10)));
      std::vector<QuerySource> sources = {TextSource{"t", "alpha", 5}, VectorSource{"v", {1, 0, 0, 0}, 5, Metric::kCosine}};
      auto raw = run(d, filters, sources, true);
      auto partial = run(d, filters, sources, false);
      ASSERT_FALSE(partial.has_value()) << "damaged row " << i;
      const bool unread = i == 5 || (i == 3 && filtered);
      if (unread) {
        ASSERT_TRUE(raw.has_value()) << "damaged row " << i << ": " << raw.error().Message();
        auto clean = run(undamaged, filters, sources, false);
        ASSERT_TRUE(clean.has_value());
        ASSERT_EQ(KeysOf(*raw), KeysOf(*clean)) << "damaged row " << i;
        for (size_t r = 0; r < raw->size(); ++r)
          EXPECT_EQ(std::bit_cast<uint32_t>((*raw)[r].score), std::bit_cast<uint32_t>((*clean)[r].score));
        continue;
      }
      ASSERT_FALSE(raw.has_value()) << "damaged row " << i;
      EXPECT_EQ(raw.error().Message(), partial.error().Message()) << "damaged row " << i;
    }
  }
  // Two damaged rows, kept rows between and around them, in one batch: the
  // error is the first damaged row's, however the walk splits its work on
  // a batch (the filters on every row, then the kept rows' texts).
  for (size_t i = 0; i < damaged.size(); ++i) {
    for (size_t j = 0; j < damaged.size(); ++j) {
      auto d = MemEngine();
      ASSERT_TRUE(put_row_once(d->store(), "c", "a", good).has_value());
      ASSERT_TRUE(put_row_once(d->store(), "c", "b", damaged[i]).has_value());
      ASSERT_TRUE(put_row_once(d->store(), "c", "c", good).has_value());
      ASSERT_TRUE(put_row_once(d->store(), "c", "d", damaged[j]).has_value());
      ASSERT_TRUE(put_row_once(d->store(), "c", "e", good).has_value());
      for (bool filtered : {false, true}) {
        if (i == 5 || (i == 3 && filtered)) continue;  // read by the partial decode only
        std::vector<Predicate> filters;
        if (filtered) filters.push_back(Predicate::Compare("n", CompareOp::kGt, Value::Int(10)));
        std::vector<QuerySource> sources = {TextSource{"t", "alpha", 5},
                                            VectorSource{"v", {1, 0, 0, 0}, 5, Metric::kCosine}};
        auto raw = run(d, filters, sources, true);
        auto partial = run(d, filters, sources, false);
        ASSERT_FALSE(partial.has_value());
        ASSERT_FALSE(raw.has_value()) << "damaged rows " << i << ", " << j;
        EXPECT_EQ(raw.error().Message(), partial.error().Message()) << "damaged rows " << i << ", " << j;
      }
    }
  }
}

// The in-memory indexes are kept up after each commit, so a query whose
// snapshot predates a commit meets keys its snapshot does not hold, or
// holds otherwise. At kQueryAfterSnapshot another thread commits documents
// the index ranks first, gives documents the source cannot rank in the
// snapshot (no vector, no query term) what makes the index rank them
// first, and deletes; the index-backed query (no filter) must still answer
// what the exact route answers over its snapshot: k rows while the
// snapshot holds k. In the last two rounds k exceeds every document and
// the deletes hit the best ones, which the index no longer has: once it
// runs out, the exact route answers, whether it passed keys over or (in
// the very last round, deletes alone) not.
void IndexAheadOfSnapshot(bool text) {
  std::mt19937_64 rng(text ? 71 : 72);
  auto engine = MemEngine();
  const std::string field = text ? "body" : "e";
  auto rand_vec = [&] {
    std::vector<float> v(4);
    for (float& x : v) x = static_cast<float>(static_cast<int>(rng() % 801) - 400) / 100.0f;
    return v;
  };
  // Text: every body has six tokens, so BM25 ranks by the count of "apple"
  // alone, whatever the statistics; new documents hold it six times.
  auto body = [](int apples) {
    std::string b;
    for (int i = 0; i < 6; ++i) b += i < apples ? "apple " : "pear ";
    return Value::Text(b);
  };
  const int docs = text ? 60 : 100;
  for (int i = 0; i < docs; ++i) {
    const Value v = text ? body(1 + i % 5) : Value::Vector(rand_vec());
    ASSERT_TRUE(insert(*engine, "c", "d" + std::to_string(100 + i), Doc({{field.c_str(), v}})));
  }
  // Documents the source cannot rank: "u<round>" becomes rankable, and
  // first, at the writes of that round.
  for (int round = 0; round < 8; ++round)
    ASSERT_TRUE(insert(*engine, "c", "u" + std::to_string(round), Doc({{field.c_str(), text ? body(0) : Value::Int(1)}})));
  if (text) {
    ASSERT_TRUE(create_text_index(*engine, "c", field).has_value());
    ASSERT_TRUE(memory_text_index_for(*engine, "c", field, [](const TextIndex&) {}).value());
  } else {
    ASSERT_TRUE(create_vector_index(*engine, "c", field, Metric::kL2).has_value());
    ASSERT_TRUE(memory_vector_index_for(*engine, "c", field, [](const HnswIndex&) {}).value());
  }
  const int inserted[] = {1, 3, 9, 10, 25, 2, 40, 5, 0};
  for (int round = 0; round < 9; ++round) {
    const bool last = round >= 7;
    const uint64_t k = last ? 1000 : 10;
    QuerySpec spec = SpecOf(engine, "c");
    const std::vector<float> q = rand_vec();
    if (text) spec.sources.push_back(TextSource{field, "apple", k});
    else spec.sources.push_back(VectorSource{field, q, k, Metric::kL2});
    QuerySpec exact = spec;
    exact.filters.push_back(Predicate::Exists(field));
    auto want = run_query_entry(exact);
    ASSERT_TRUE(want.has_value()) << want.error().Message();
    if (last) ASSERT_GT(want->size(), 10u);
    else ASSERT_EQ(want->size(), 10u);
    // Deleted: three of the answer in the last round, else three outside it.
    std::set<std::string> doomed;
    while (doomed.size() < 3) {
      const std::string key = "d" + std::to_string(100 + rng() % docs);
      const bool answered = std::any_of(want->begin(), want->end(), [&](const QueryRow& r) { return r.key == key; });
      if (answered == last) doomed.insert(key);
    }
    WritesAtSnapshot writes("c", [&] {
      for (int i = 0; i < inserted[round]; ++i) {
        std::vector<float> near = q;
        near[0] += 1e-3f * static_cast<float>(i + 1);
        const Value v = text ? body(6) : Value::Vector(near);
        EXPECT_TRUE(insert(*engine, "c", "n" + std::to_string(round) + "_" + std::to_string(i), Doc({{field.c_str(), v}})));
      }
      const Value first = text ? body(6) : Value::Vector(q);
      if (round < 8) {
        EXPECT_TRUE(insert(*engine, "c", "u" + std::to_string(round), Doc({{field.c_str(), first}})));
      }
      for (const std::string& key : doomed) EXPECT_TRUE(delete_document(*engine, "c", key));
    });
    auto got = run_query_entry(spec);
    ASSERT_TRUE(writes.fired());
    ASSERT_TRUE(got.has_value()) << got.error().Message();
    ASSERT_EQ(KeysOf(*got), KeysOf(*want)) << "round " << round;
    for (size_t i = 0; i < got->size(); ++i)
      EXPECT_EQ(std::bit_cast<uint32_t>((*got)[i].score), std::bit_cast<uint32_t>((*want)[i].score));
    // Later rounds' snapshots hold this round's writes.
  }
}

TEST(ExecutorTest, VectorIndexAheadOfTheSnapshotStillAnswersK) { IndexAheadOfSnapshot(false); }
TEST(ExecutorTest, TextIndexAheadOfTheSnapshotStillAnswersK) { IndexAheadOfSnapshot(true); }

TEST(ExecutorTest, OrderedScanLimitZeroReadsNothing) {
  auto e = MemEngine();
  ASSERT_TRUE(create_scalar_index(*e, "c", "n").has_value());
  ASSERT_TRUE(insert(*e, "c", "a", Doc({{"n", Value::Int(1)}})).has_value());
  QuerySpec spec = SpecOf(e, "c");
  spec.order_by = OrderBy{"n", true};
  spec.limit = 0;
  auto got = run_query_entry(spec);
  ASSERT_TRUE(got.has_value());
  EXPECT_TRUE(got->empty());
}

// A filter, no source, no ordering and a limit over a million rows whose
// first matches come early: the walk reads up to the window's last match
// and stops, however long the collection. The count is of rows read, not
// of time.
TEST(ExecutorTest, FilteredScanWithLimitStopsAtTheWindow) {
  auto e = MemEngine();
  constexpr int kRows = 1'000'000;
  std::vector<std::pair<std::string, Value>> batch;
  char key[16];
  for (int i = 0; i < kRows; ++i) {
    std::snprintf(key, sizeof key, "k%07d", i);
    batch.emplace_back(key, Doc({{"n", Value::Int(i % 100)}}));
    if (batch.size() == 100'000) {
      ASSERT_TRUE(put_many(*e, "c", batch).has_value());
      batch.clear();
    }
  }
  QuerySpec spec = SpecOf(e, "c", {Predicate::Compare("n", CompareOp::kGe, Value::Int(95))});
  spec.offset = 3;
  spec.limit = 10;
  auto txn = e->store().BeginRead();
  ASSERT_TRUE(txn.has_value());
  ReadView view(*txn);
  auto got = execute_query(spec, view);
  ASSERT_TRUE(got.has_value()) << got.error().Message();
  // Matches are rows 95..99, 195..199, 295..299: the 13th is row 297.
  ASSERT_EQ(got->size(), 10u);
  EXPECT_EQ(got->front().key, "k0000098");
  EXPECT_EQ(got->back().key, "k0000297");
  EXPECT_EQ(view.rows_walked(), 298u);
}

TEST(ExecutorTest, SingleSourceScoresAreReciprocalRanks) {
  auto e = MemEngine();
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(insert(*e, "c", "k" + std::to_string(i), Doc({{"v", Value::Vector({float(i), 0.0f})}})).has_value());
  }
  QuerySpec spec = SpecOf(e, "c");
  spec.sources.push_back(VectorSource{"v", {0.0f, 0.0f}, 3, Metric::kL2});
  auto got = run_query_entry(spec);
  ASSERT_TRUE(got.has_value());
  ASSERT_EQ(KeysOf(*got), (std::vector<std::string>{"k0", "k1", "k2"}));
  EXPECT_EQ((*got)[0].score, 1.0f / 61.0f);
  EXPECT_EQ((*got)[1].score, 1.0f / 62.0f);
}

std::string RunError(QuerySpec spec) {
  auto got = run_query_entry(std::move(spec));
  EXPECT_FALSE(got.has_value());
  if (got) return "";
  EXPECT_EQ(got.error().code(), 12u);
  return got.error().Message();
}

TEST(ExecutorTest, InvalidFusionConstantAndLambdaTexts) {
  auto e = MemEngine();
  auto with_k = [&](float k) {
    QuerySpec s = SpecOf(e, "c");
    s.rrf_k = k;
    return s;
  };
  EXPECT_EQ(RunError(with_k(0.0f)), "invalid argument: fuse_rrf: k must be > 0, got 0");
  EXPECT_EQ(RunError(with_k(-0.0f)), "invalid argument: fuse_rrf: k must be > 0, got -0");
  EXPECT_EQ(RunError(with_k(-1.0f)), "invalid argument: fuse_rrf: k must be > 0, got -1");
  EXPECT_EQ(RunError(with_k(INFINITY)), "invalid argument: fuse_rrf: k must be > 0, got inf");
  EXPECT_EQ(RunError(with_k(NAN)), "invalid argument: fuse_rrf: k must be > 0, got NaN");
  EXPECT_TRUE(run_query_entry(with_k(std::numeric_limits<float>::denorm_min())).has_value());
  QuerySpec lam = SpecOf(e, "c");
  lam.mmr_lambda = 1.5f;
  EXPECT_EQ(RunError(lam), "invalid argument: rerank_mmr: lambda must be in [0, 1], got 1.5");
  lam = SpecOf(e, "c");
  lam.mmr_lambda = NAN;
  EXPECT_EQ(RunError(lam), "invalid argument: rerank_mmr: lambda must be in [0, 1], got NaN");
  QuerySpec both = with_k(0.0f);
  both.mmr_lambda = 2.0f;
  EXPECT_EQ(RunError(both), "invalid argument: fuse_rrf: k must be > 0, got 0");
  for (float ok : {0.0f, 1.0f}) {
    QuerySpec s = SpecOf(e, "c");
    s.mmr_lambda = ok;
    EXPECT_TRUE(run_query_entry(s).has_value());
  }
}

TEST(ExecutorTest, UndecodableRowFailsTheWalk) {
  auto e = MemEngine();
  ASSERT_TRUE(insert(*e, "c", "a", Doc({{"n", Value::Int(1)}})).has_value());
  {
    auto ctx = BeginWriteCtx(e->store());
    ASSERT_TRUE(ctx.has_value());
    ASSERT_TRUE(put_row(*ctx, "c", "b", std::string("\xff\xff", 2)).has_value());
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  auto got = run_query_entry(SpecOf(e, "c"));
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().code(), 8u);
}

}  // namespace
}  // namespace pallix::test
