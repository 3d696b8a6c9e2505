#include "query/sources.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <unordered_map>

#include "base/numeric.h"
#include "index/resume.h"
#include "index/text_index.h"
#include "query/ordering.h"
#include "tests/engine/query_corpus.h"
#include "text/disk_fts.h"
#include "text/fts.h"
#include "text/text.h"
#include "vector/quant.h"
#include "write/write.h"

namespace pallix::test {
namespace {

// The models: the plain forms of the rankings, a hash map of per-key totals
// summed term by term, then one sort of everything.

float ModelIdf(float n, float df) { return std::log((n - df + 0.5f) / (df + 0.5f) + 1.0f); }

float ModelTerm(float tf, float idf, float dl, float avgdl) {
  return tf * 2.2f * idf / ((dl / avgdl * 0.75f + 0.25f) * 1.2f + tf);
}

std::vector<std::string> ModelTerms(const std::string& query) {
  std::vector<std::string> out;
  for (std::string& t : analyze_text(query))
    if (std::find(out.begin(), out.end(), t) == out.end()) out.push_back(std::move(t));
  return out;
}

bool ModelBetter(const SourceEntry& a, const SourceEntry& b) {
  const int c = TotalCompare(a.score, b.score);
  if (c != 0) return c > 0;
  return CompareKeys(a.key, b.key) < 0;
}

SourceList ModelCut(const std::unordered_map<std::string, float>& scores, uint64_t k) {
  SourceList ranked;
  for (const auto& [key, score] : scores)
    if (score > 0.0f) ranked.push_back({key, score});
  std::sort(ranked.begin(), ranked.end(), ModelBetter);
  if (ranked.size() > k) ranked.resize(static_cast<size_t>(k));
  return ranked;
}

struct Hit {
  std::string key;
  uint64_t tf, dl;
};

// A bag-of-words query over an index's statistics.
SourceList ModelIndexQuery(uint64_t n, uint64_t total, const std::vector<std::vector<Hit>>& per_term, uint64_t k) {
  std::unordered_map<std::string, float> scores;
  if (n == 0) return {};
  const float docs = static_cast<float>(n);
  float avgdl = static_cast<float>(total) / docs;
  if (avgdl == 0.0f) avgdl = 1.0f;
  for (const std::vector<Hit>& hits : per_term) {
    if (hits.empty()) continue;
    const float idf = ModelIdf(docs, static_cast<float>(hits.size()));
    for (const Hit& h : hits)
      scores[h.key] += ModelTerm(static_cast<float>(h.tf), idf, static_cast<float>(h.dl), avgdl);
  }
  return ModelCut(scores, k);
}

// The exact scoring of candidates, each document's text analysed whole.
SourceList ModelScoreText(const std::vector<CandidateRow>& rows, const TextSource& source) {
  const std::vector<std::string> terms = ModelTerms(source.query);
  std::vector<std::pair<std::string, std::vector<std::string>>> docs;
  uint64_t total = 0;
  for (const auto& [key, doc] : rows) {
    const Value* v = get_path(doc, source.field);
    if (v == nullptr || !v->is_text()) continue;
    docs.emplace_back(key, analyze_text(v->as_text()));
    total += docs.back().second.size();
  }
  std::vector<std::vector<Hit>> per_term;
  for (const std::string& term : terms) {
    per_term.emplace_back();
    for (const auto& [key, tokens] : docs) {
      const auto tf = static_cast<uint64_t>(std::count(tokens.begin(), tokens.end(), term));
      if (tf != 0) per_term.back().push_back({key, tf, tokens.size()});
    }
  }
  return ModelIndexQuery(docs.size(), total, per_term, source.k);
}

void ExpectSame(const SourceList& got, const SourceList& want, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].key, want[i].key) << what;
    EXPECT_EQ(std::bit_cast<uint32_t>(got[i].score), std::bit_cast<uint32_t>(want[i].score)) << what;
  }
}

std::vector<std::string> KeysOf(const SourceList& list) {
  std::vector<std::string> keys;
  for (const SourceEntry& e : list) keys.push_back(e.key);
  return keys;
}

const std::vector<std::string> kVocabulary = {"apple", "apples", "river", "stone", "the", "cloud", "tiger",
                                              "東京大学", "lamp", "ocean", "a", "green"};

std::string RandomText(std::mt19937_64& rng) {
  std::string text;
  for (uint64_t n = rng() % 14; n > 0; --n) text += kVocabulary[rng() % kVocabulary.size()] + " ";
  return text;
}

std::string RandomQuery(std::mt19937_64& rng) {
  std::string query;
  for (uint64_t n = rng() % 12; n > 0; --n) query += kVocabulary[rng() % kVocabulary.size()] + " ";
  if (rng() % 5 == 0) query += "unknown";
  return query;
}

// Random writes (replacements out of key order and deletions leave removed
// ids behind in the in-memory index), then random queries: the keys each
// index proposes are the model's over the index's own statistics, and the
// exact scoring of any candidates is the model's, bit for bit.
void IndexProposalsMatchModel(bool on_disk, uint64_t seed) {
  std::mt19937_64 rng(seed);
  auto e = MemEngine();
  ASSERT_TRUE(insert(*e, "c", "seed", Doc({{"t", Value::Text("apple")}})).has_value());
  if (on_disk) {
    ASSERT_TRUE(create_text_index_ondisk(*e, "c", "t").has_value());
  } else {
    ASSERT_TRUE(create_text_index(*e, "c", "t").has_value());
  }
  for (int op = 0; op < 400; ++op) {
    const std::string key = "k" + std::to_string(rng() % 150);
    if (rng() % 6 == 0) {
      ASSERT_TRUE(delete_document(*e, "c", key).has_value());
    } else {
      const Value body = rng() % 10 == 0 ? Value::Int(1) : Value::Text(RandomText(rng));
      ASSERT_TRUE(insert(*e, "c", key, Doc({{"t", body}})).has_value());
    }
  }
  if (on_disk) {
    // Damaged rows read leniently: a short posting row (length 0, no
    // position) and one whose count runs past its end.
    auto ctx = BeginWriteCtx(e->store());
    ASSERT_TRUE(put_row(*ctx, dfts_namespace("c", "t"), dfts_posting_key("river", "k3"), "ab").has_value());
    std::string overlong;
    for (uint32_t x : {4u, 9u, 1u}) overlong.append(reinterpret_cast<const char*>(&x), 4);
    ASSERT_TRUE(put_row(*ctx, dfts_namespace("c", "t"), dfts_posting_key("stone", "k4"), overlong).has_value());
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  auto txn = e->store().BeginRead();
  ASSERT_TRUE(txn.has_value());
  ReadView view(*txn);
  auto rows = scan_documents(view, "c");
  ASSERT_TRUE(rows.has_value());
  for (int round = 0; round < 200; ++round) {
    const TextSource source{"t", RandomQuery(rng), rng() % 6 == 0 ? 0 : 1 + rng() % 12};
    std::vector<std::vector<Hit>> per_term;
    uint64_t n = 0, total = 0;
    if (on_disk) {
      const DftsMeta meta = dfts_read_meta_ro(view, dfts_namespace("c", "t")).value();
      n = meta.doc_count, total = meta.total_tokens;
      for (const std::string& term : ModelTerms(source.query)) {
        per_term.emplace_back();
        auto postings = dfts_read_postings(view, dfts_namespace("c", "t"), term);
        ASSERT_TRUE(postings.has_value());
        for (const DftsPosting& p : *postings) per_term.back().push_back({p.key, p.positions.size(), p.doc_length});
      }
    } else {
      ASSERT_TRUE(memory_text_index_for(*e, "c", "t", [&](const TextIndex& index) {
                    n = index.doc_count(), total = index.total_tokens();
                    for (const std::string& term : ModelTerms(source.query)) {
                      per_term.emplace_back();
                      index.VisitPostings(term, [&](std::string_view key, std::span<const uint32_t> at, uint64_t dl) {
                        per_term.back().push_back({std::string(key), at.size(), dl});
                      });
                    }
                  }).value());
    }
    auto proposed = IndexTextCandidates(*e, view, "c", source);
    ASSERT_TRUE(proposed.has_value()) << proposed.error().Message();
    ASSERT_TRUE(proposed->has_value());
    EXPECT_EQ(**proposed, KeysOf(ModelIndexQuery(n, total, per_term, source.k))) << source.query;
    ExpectSame(ScoreTextSource(*rows, source), ModelScoreText(*rows, source), source.query);
  }
}

TEST(SourcesTest, InMemoryProposalsMatchModel) { IndexProposalsMatchModel(false, 3); }
TEST(SourcesTest, OnDiskProposalsMatchModel) { IndexProposalsMatchModel(true, 4); }

// ------------------------------------------------------------ counts from the index

// A field worth scoring: words (a plural the analyser folds, CJK), only
// stop words, nothing at all, a number, or no field.
Value VariedDoc(std::mt19937_64& rng) {
  ValueMap m;
  switch (rng() % 9) {
    case 0: m.Set("t", Value::Int(7)); break;
    case 1: break;
    case 2: m.Set("t", Value::Text(rng() % 2 ? "the a" : "")); break;
    default: m.Set("t", Value::Text(RandomText(rng))); break;
  }
  return Value::Map(std::move(m));
}

// Inserts, replacements (out of key order) and deletions over 150 keys.
void WriteRandomly(Engine& e, std::mt19937_64& rng, int ops) {
  for (int op = 0; op < ops; ++op) {
    const std::string key = "k" + std::to_string(rng() % 150);
    if (rng() % 6 == 0) {
      ASSERT_TRUE(delete_document(e, "c", key).has_value());
    } else {
      ASSERT_TRUE(insert(e, "c", key, VariedDoc(rng)).has_value());
    }
  }
}

// Candidates as a filter would give them: all rows, a random half, or a
// handful; in key order, or shuffled as a planner may answer them.
std::vector<CandidateRow> SomeRows(const std::vector<CandidateRow>& rows, std::mt19937_64& rng) {
  std::vector<CandidateRow> out;
  const uint64_t mode = rng() % 4;
  for (const CandidateRow& r : rows) {
    if (mode == 0 || (mode == 1 && rng() % 2 == 0) || (mode >= 2 && rng() % 40 == 0)) out.push_back(r);
  }
  if (mode == 3) std::shuffle(out.begin(), out.end(), rng);
  return out;
}

// The indexed scoring of any candidates is the analysing one, bit for bit:
// the index was built, then updated and deleted from, and then written to
// again after the candidates' snapshot was taken (an in-memory index then
// holds some documents with a newer text, which must be analysed).
void IndexedScoringMatchesAnalysis(bool on_disk, uint64_t seed) {
  std::mt19937_64 rng(seed);
  auto e = MemEngine();
  WriteRandomly(*e, rng, 200);
  if (on_disk) {
    ASSERT_TRUE(create_text_index_ondisk(*e, "c", "t").has_value());
  } else {
    ASSERT_TRUE(create_text_index(*e, "c", "t").has_value());
    ASSERT_TRUE(memory_text_index_for(*e, "c", "t", [](const TextIndex&) {}).value());
  }
  WriteRandomly(*e, rng, 200);
  auto txn = e->store().BeginRead();
  ASSERT_TRUE(txn.has_value());
  ReadView view(*txn);
  auto rows = scan_documents(view, "c");
  ASSERT_TRUE(rows.has_value());
  WriteRandomly(*e, rng, 60);
  for (int round = 0; round < 300; ++round) {
    const TextSource source{"t", RandomQuery(rng), rng() % 8 == 0 ? 1000 : rng() % 12};
    const std::vector<CandidateRow> some = SomeRows(*rows, rng);
    auto got = ScoreTextSourceIndexed(*e, view, "c", some, source);
    ASSERT_TRUE(got.has_value()) << got.error().Message();
    const SourceList want = ScoreTextSource(some, source);
    ExpectSame(*got, want, source.query);
    // The texts hashed ahead, by the loaded index's hasher (an in-memory
    // index then compares hashes) or by another one (which it must not).
    auto loaded = LoadedTextHasher(*e, "c", "t");
    ASSERT_TRUE(loaded.has_value());
    ASSERT_EQ(loaded->has_value(), !on_disk);
    for (const SeededHash& hasher : {loaded->value_or(SeededHash()), SeededHash()}) {
      std::vector<TextCandidate> texts;
      for (const auto& [key, doc] : some) {
        const Value* v = get_path(doc, "t");
        if (v != nullptr && v->is_text()) texts.push_back({key, v->as_text(), hasher(v->as_text())});
      }
      auto hashed = ScoreTextCandidates(*e, view, "c", texts, source, &hasher);
      ASSERT_TRUE(hashed.has_value()) << hashed.error().Message();
      ExpectSame(*hashed, want, source.query);
    }
  }
}

TEST(SourcesTest, InMemoryIndexedScoringMatchesAnalysis) { IndexedScoringMatchesAnalysis(false, 21); }
TEST(SourcesTest, OnDiskIndexedScoringMatchesAnalysis) { IndexedScoringMatchesAnalysis(true, 22); }

// An on-disk index is read only once its build has finished. A build
// stopped by a row that does not decode has indexed its first batch; one
// of those documents' posting rows is then given another count, which
// only a reader of the index would see.
TEST(SourcesTest, OnDiskIndexReadOnlyWhenComplete) {
  std::vector<std::pair<std::string, Value>> docs;
  for (int i = 0; i < 2100; ++i) {
    docs.emplace_back("k" + std::to_string(10000 + i), Doc({{"t", Value::Text(i % 3 ? "river stone" : "river")}}));
  }
  auto e = MemEngine();
  ASSERT_TRUE(put_many(*e, "c", docs).has_value());
  {
    auto ctx = BeginWriteCtx(e->store());
    ASSERT_TRUE(put_row(*ctx, "c", "k99999", "\xff").has_value());
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  ASSERT_FALSE(create_text_index_ondisk(*e, "c", "t").has_value());
  ASSERT_TRUE(delete_document(*e, "c", "k99999").has_value());
  {
    auto ctx = BeginWriteCtx(e->store());
    std::string tampered;
    for (uint32_t x : {2u, 2u, 0u, 1u}) tampered.append(reinterpret_cast<const char*>(&x), 4);
    ASSERT_TRUE(put_row(*ctx, dfts_namespace("c", "t"), dfts_posting_key("river", "k10001"), tampered).has_value());
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  const TextSource source{"t", "river", 3};
  auto score = [&]() -> SourceList {
    auto txn = e->store().BeginRead();
    ReadView view(*txn);
    auto rows = scan_documents(view, "c");
    EXPECT_TRUE(rows.has_value());
    auto got = ScoreTextSourceIndexed(*e, view, "c", *rows, source);
    EXPECT_TRUE(got.has_value());
    return got.value_or(SourceList());
  };
  auto txn = e->store().BeginRead();
  ReadView view(*txn);
  const SourceList analysed = ScoreTextSource(*scan_documents(view, "c"), source);
  ExpectSame(score(), analysed, "building");
  ASSERT_TRUE(resume_index_builds(*e, "c").has_value());
  const SourceList indexed = score();
  ASSERT_FALSE(indexed.empty());
  EXPECT_EQ(indexed[0].key, "k10001");  // the count of 2 puts it first
  EXPECT_NE(KeysOf(indexed), KeysOf(analysed));
}

TEST(SourcesTest, TextScoringOfManyTermsMatchesModel) {
  std::mt19937_64 rng(9);
  std::vector<CandidateRow> rows;
  std::string query;
  for (int i = 0; i < 40; ++i) query += "w" + std::to_string(i) + " ";
  for (int i = 0; i < 80; ++i) {
    std::string text;
    for (uint64_t n = rng() % 30; n > 0; --n) text += "w" + std::to_string(rng() % 60) + " ";
    rows.emplace_back("d" + std::to_string(i), Doc({{"t", Value::Text(text)}}));
  }
  for (uint64_t k : {0, 1, 5, 100}) {
    const TextSource source{"t", query, k};
    ExpectSame(ScoreTextSource(rows, source), ModelScoreText(rows, source), std::to_string(k));
  }
}

// Distances of the candidates holding a vector of the query's length,
// sorted and cut.
TEST(SourcesTest, VectorScoringMatchesModel) {
  std::mt19937_64 rng(5);
  auto rows = std::vector<CandidateRow>();
  for (int i = 0; i < 300; ++i) rows.emplace_back("k" + std::to_string(rng() % 1000), RandomDoc(rng));
  for (int round = 0; round < 50; ++round) {
    VectorSource source{"v", std::vector<float>(4), rng() % 20, round % 2 ? Metric::kCosine : Metric::kL2};
    for (float& x : source.query) x = static_cast<float>(rng() % 200) / 50.0f - 2.0f;
    SourceList want;
    for (const auto& [key, doc] : rows) {
      const Value* v = get_path(doc, "v");
      if (v == nullptr || !v->is_vector() || v->as_vector().size() != 4) continue;
      want.push_back({key, distance_by_metric(source.metric, source.query, v->as_vector())});
    }
    std::sort(want.begin(), want.end(), [](const SourceEntry& a, const SourceEntry& b) {
      const int c = TotalCompare(a.score, b.score);
      return c != 0 ? c < 0 : CompareKeys(a.key, b.key) < 0;
    });
    if (want.size() > source.k) want.resize(static_cast<size_t>(source.k));
    ExpectSame(ScoreVectorSource(rows, source), want, std::to_string(round));
  }
}

}  // namespace
}  // namespace pallix::test
