#include "text/fts.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "base/lock.h"
#include "doc/value.h"
#include "text/text.h"

namespace pallix {
namespace {

using Positions = std::map<std::string, std::vector<uint32_t>>;  // key -> positions
using Postings = std::map<std::string, Positions>;              // term -> ...

// Every term's postings through the public reads, checked consistent with
// each other on the way.
Postings Snapshot(const TextIndex& index) {
  Postings out;
  for (const std::string& term : index.terms()) {
    index.VisitPostings(term, [&](std::string_view key, std::span<const uint32_t> positions, uint64_t dl) {
      out[term][std::string(key)] = PositionList(positions.begin(), positions.end());
      EXPECT_EQ(index.positions(term, key), out[term][std::string(key)]);
      EXPECT_EQ(index.doc_length(key), dl);
    });
    EXPECT_EQ(index.doc_freq(term), out[term].size()) << term;
  }
  return out;
}

uint32_t Bits(float x) { return std::bit_cast<uint32_t>(x); }

// ------------------------------------------------------------ text index

TEST(FtsTest, ReAddReplacesPostings) {
  TextIndex index;
  fts_add_document(index, "k", "red fox");
  fts_add_document(index, "k", "blue fox");
  EXPECT_EQ(Snapshot(index), (Postings{{"blue", {{"k", {0}}}}, {"fox", {{"k", {1}}}}}));
  EXPECT_EQ(index.doc_length("k"), 2u);
  EXPECT_EQ(index.total_tokens(), 2u);
  EXPECT_EQ(index.doc_count(), 1u);
  EXPECT_EQ(index.doc_freq("red"), 0u);
}

TEST(FtsTest, RepeatedTermKeepsAscendingPositions) {
  TextIndex index;
  fts_add_document(index, "k", "fox fox fox");
  ASSERT_TRUE(index.positions("fox", "k").has_value());
  EXPECT_EQ(*index.positions("fox", "k"), (PositionList{0, 1, 2}));
  EXPECT_EQ(*index.doc_terms("k"), (std::vector<std::string>{"fox"}));
  EXPECT_EQ(index.doc_length("k"), 3u);
  fts_add_document(index, "j", "zeta alpha the zeta beta");
  EXPECT_EQ(*index.doc_terms("j"), (std::vector<std::string>{"alpha", "beta", "zeta"}));
  EXPECT_EQ(*index.positions("zeta", "j"), (PositionList{0, 2}));  // "the" leaves no gap
}

TEST(FtsTest, StopWordOnlyDocumentHasLengthZero) {
  TextIndex index;
  fts_add_document(index, "k", "the and of");
  EXPECT_EQ(index.doc_count(), 1u);
  EXPECT_EQ(index.doc_length("k"), 0u);
  ASSERT_TRUE(index.doc_terms("k").has_value());
  EXPECT_TRUE(index.doc_terms("k")->empty());
  EXPECT_TRUE(index.terms().empty());
  fts_remove_document(index, "k");
  EXPECT_EQ(index.doc_count(), 0u);
  EXPECT_EQ(index.doc_terms("k"), std::nullopt);
}

TEST(FtsTest, RemovalDropsEmptyTermsAndIgnoresUnknownKeys) {
  TextIndex index;
  fts_add_document(index, "a", "red fox");
  fts_add_document(index, "b", "red hen");
  fts_remove_document(index, "zzz");
  EXPECT_EQ(index.total_tokens(), 4u);
  EXPECT_EQ(index.doc_count(), 2u);
  fts_remove_document(index, "a");
  EXPECT_EQ(index.doc_freq("fox"), 0u);
  EXPECT_EQ(index.doc_freq("red"), 1u);
  EXPECT_EQ(index.total_tokens(), 2u);
  fts_remove_document(index, "a");
  EXPECT_EQ(index.total_tokens(), 2u);
  EXPECT_EQ(index.doc_length("a"), std::nullopt);
}

TEST(FtsTest, KeysAreBytes) {
  TextIndex index;
  const std::string nul_key("a\0b", 3), high_key("\xFF\x00", 2);
  fts_add_document(index, nul_key, "one");
  fts_add_document(index, "a", "two");
  fts_add_document(index, high_key, "one two");
  EXPECT_EQ(index.doc_count(), 3u);
  EXPECT_EQ(index.doc_freq("one"), 2u);
  EXPECT_TRUE(index.positions("one", nul_key).has_value());
  EXPECT_EQ(index.positions("one", "a"), std::nullopt);
}

TEST(FtsTest, HashersAreKeyedApart) {
  SeededHash a, b;
  const std::string s = "a term";
  EXPECT_EQ(a(s), a(std::string_view(s)));
  EXPECT_NE(a(s), b(s));  // fails with probability 2^-64
}

// Random adds, replaces and removes against a model holding each key's
// analysed tokens.
TEST(FtsTest, RandomOperationsMatchModel) {
  const std::vector<std::string> words = {"red", "fox", "the", "and", "boxes", "box", "中文字", "ΟΔΟΣ", "a1", "cats"};
  std::mt19937 rng(99);
  TextIndex index;
  std::map<std::string, std::vector<std::string>> model;
  for (int step = 0; step < 3000; ++step) {
    const std::string key = "k" + std::to_string(std::uniform_int_distribution<int>(0, 24)(rng));
    if (std::uniform_int_distribution<int>(0, 3)(rng) == 0) {
      fts_remove_document(index, key);
      model.erase(key);
    } else {
      std::string text;
      const int n = std::uniform_int_distribution<int>(0, 8)(rng);
      for (int i = 0; i < n; ++i) text += words[std::uniform_int_distribution<size_t>(0, words.size() - 1)(rng)] + " ";
      fts_add_document(index, key, text);
      model[key] = analyze_text(text);
    }
    if (step % 100 != 99) continue;
    Postings expected;
    uint64_t total = 0;
    for (const auto& [k, tokens] : model) {
      total += tokens.size();
      for (uint32_t p = 0; p < tokens.size(); ++p) expected[tokens[p]][k].push_back(p);
      std::vector<std::string> terms;
      for (const auto& [term, docs] : expected)
        if (docs.count(k)) terms.push_back(term);
      ASSERT_EQ(index.doc_length(k), tokens.size());
      ASSERT_TRUE(index.doc_terms(k).has_value());
      ASSERT_EQ(*index.doc_terms(k), terms);
    }
    ASSERT_EQ(Snapshot(index), expected);
    ASSERT_EQ(index.doc_count(), model.size());
    ASSERT_EQ(index.total_tokens(), total);
    if (!model.empty()) {
      ASSERT_EQ(Bm25AverageLength(index.total_tokens(), index.doc_count()),
                Bm25AverageLength(total, model.size()));
    }
  }
}

// ------------------------------------------------------------ phrase matching

TEST(FtsTest, MatchesPhraseRule) {
  using L = std::vector<uint32_t>;
  auto match = [](std::vector<L> lists) {
    std::vector<std::span<const uint32_t>> spans(lists.begin(), lists.end());
    return MatchesPhrase(spans);
  };
  EXPECT_FALSE(match({}));
  EXPECT_TRUE(match({{4}}));
  EXPECT_FALSE(match({{}}));
  EXPECT_TRUE(match({{1, 5}, {2, 6}, {7}}));
  EXPECT_FALSE(match({{1, 5}, {2, 6}, {8}}));
  EXPECT_FALSE(match({{1, 5}, {0, 3}}));
  // A start near the top of u32 must not wrap round to position 0.
  EXPECT_FALSE(match({{UINT32_MAX}, {0}}));
  EXPECT_TRUE(match({{UINT32_MAX - 1}, {UINT32_MAX}}));
}

TEST(FtsTest, PhraseNeedsOrder) {
  TextIndex index;
  fts_add_document(index, "d1", "the quick brown fox");
  fts_add_document(index, "d2", "brown quick fox");
  auto hits = SearchPhraseInIndex(index, "Quick Brown", 10);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].key, "d1");
  // 'the' is dropped from the phrase: every document holding quick matches.
  hits = SearchPhraseInIndex(index, "the quick", 10);
  EXPECT_EQ(hits.size(), 2u);
}

TEST(FtsTest, RepeatedPhraseToken) {
  TextIndex index;
  fts_add_document(index, "d1", "a fox fox");
  fts_add_document(index, "d2", "fox red");
  fts_add_document(index, "d3", "fox red fox");
  auto hits = SearchPhraseInIndex(index, "fox fox", 10);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].key, "d1");
  // A stop word leaves no gap, so it does not break a phrase either.
  fts_add_document(index, "d4", "fox a fox");
  hits = SearchPhraseInIndex(index, "fox fox", 10);
  EXPECT_EQ(hits.size(), 2u);
}

TEST(FtsTest, EmptyAnswers) {
  TextIndex index;
  EXPECT_TRUE(SearchPhraseInIndex(index, "fox", 5).empty());  // no document
  fts_add_document(index, "d1", "red fox");
  EXPECT_TRUE(SearchPhraseInIndex(index, "fox", 0).empty());
  EXPECT_TRUE(SearchPhraseInIndex(index, "the of", 5).empty());
  EXPECT_TRUE(SearchPhraseInIndex(index, " ,.", 5).empty());
  EXPECT_TRUE(SearchPhraseInIndex(index, "fox hen", 5).empty());
  EXPECT_TRUE(SearchPhraseInIndex(index, "hen fox", 5).empty());
}

TEST(FtsTest, TiesGoToTheSmallerKey) {
  TextIndex index;
  fts_add_document(index, "b", "red fox");
  fts_add_document(index, "ab", "red fox");
  fts_add_document(index, "a", "red fox");
  auto hits = SearchPhraseInIndex(index, "red fox", 10);
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].key, "a");
  EXPECT_EQ(hits[1].key, "ab");
  EXPECT_EQ(hits[2].key, "b");
  hits = SearchPhraseInIndex(index, "red fox", 1);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].key, "a");
}

// ------------------------------------------------------------ fallback

std::string Doc(const std::string& field, Value v) {
  ValueMap m;
  m.Set(field, std::move(v));
  return encode_value(Value::Map(std::move(m)));
}

TEST(FtsTest, PhraseMatchDocRecords) {
  const std::vector<std::string> phrase = {"b", "b"};
  std::vector<PhraseCandidate> out;
  ASSERT_TRUE(phrase_match_doc("body", phrase, "k1", Doc("body", Value::Text("B b b, c")), out));
  ASSERT_TRUE(phrase_match_doc("body", phrase, "k2", Doc("body", Value::Int(5)), out));
  ASSERT_TRUE(phrase_match_doc("body", phrase, "k3", Doc("title", Value::Text("b b")), out));
  ValueMap inner;
  inner.Set("text", Value::Text("c b"));
  ASSERT_TRUE(phrase_match_doc("body.text", phrase, "k4", Doc("body", Value::Map(inner)), out));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].key, "k1");
  EXPECT_EQ(out[0].counts, (std::vector<uint32_t>{3, 3}));
  EXPECT_EQ(out[0].occurrences, 2u);  // overlapping windows both count
  EXPECT_EQ(out[0].doc_length, 4u);
  EXPECT_TRUE(out[0].document.is_map());
  EXPECT_EQ(out[1].key, "k4");
  EXPECT_EQ(out[1].occurrences, 0u);  // recorded even without the phrase
  EXPECT_EQ(out[1].counts, (std::vector<uint32_t>{1, 1}));

  auto bad = phrase_match_doc("body", phrase, "k5", std::string("\x09", 1), out);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().kind(), ErrorKind::kDecode);
  EXPECT_EQ(out.size(), 2u);

  // With no phrase token nothing occurs.
  std::vector<PhraseCandidate> none;
  ASSERT_TRUE(phrase_match_doc("body", {}, "k1", Doc("body", Value::Text("b")), none));
  ASSERT_EQ(none.size(), 1u);
  EXPECT_EQ(none[0].occurrences, 0u);
}

TEST(FtsTest, FallbackIgnoresNonTextDocuments) {
  const std::vector<std::string> phrase = analyze_text("fox");
  std::vector<PhraseCandidate> records;
  ASSERT_TRUE(phrase_match_doc("body", phrase, "a", Doc("body", Value::Text("red fox")), records));
  ASSERT_TRUE(phrase_match_doc("body", phrase, "b", Doc("body", Value::Float(1.5)), records));
  auto hits = RankPhraseCandidates(std::move(records), phrase.size(), 10);
  ASSERT_EQ(hits.size(), 1u);
  // N = 1, not 2: the same score as an index holding only 'red fox'.
  EXPECT_EQ(Bits(hits[0].score), 0x3E934B12u);
}

// The fallback over stored rows and the index over the same texts must give
// the same keys in the same order with the same bits.
TEST(FtsTest, FallbackMatchesIndex) {
  const std::vector<std::string> words = {"red", "fox", "the", "hen", "boxes", "box", "中文", "run"};
  std::mt19937 rng(5);
  for (int round = 0; round < 60; ++round) {
    TextIndex index;
    std::vector<std::string> rows;  // encoded documents, by key "d<i>"
    const int docs = std::uniform_int_distribution<int>(1, 30)(rng);
    for (int d = 0; d < docs; ++d) {
      std::string text;
      const int n = std::uniform_int_distribution<int>(0, 12)(rng);
      for (int i = 0; i < n; ++i) text += words[std::uniform_int_distribution<size_t>(0, words.size() - 1)(rng)] + " ";
      const std::string key = "d" + std::to_string(d);
      if (d % 7 == 3) {
        rows.push_back(Doc("body", Value::Int(d)));
      } else {
        rows.push_back(Doc("body", Value::Text(text)));
        fts_add_document(index, key, text);
      }
    }
    for (int q = 0; q < 10; ++q) {
      std::string phrase;
      const int m = std::uniform_int_distribution<int>(1, 3)(rng);
      for (int i = 0; i < m; ++i) phrase += words[std::uniform_int_distribution<size_t>(0, words.size() - 1)(rng)] + " ";
      const uint64_t k = std::uniform_int_distribution<uint64_t>(0, 8)(rng);
      const std::vector<std::string> tokens = analyze_text(phrase);
      std::vector<PhraseCandidate> records;
      for (size_t d = 0; d < rows.size(); ++d)
        ASSERT_TRUE(phrase_match_doc("body", tokens, "d" + std::to_string(d), rows[d], records));
      const auto fallback = RankPhraseCandidates(std::move(records), tokens.size(), k);
      const auto indexed = SearchPhraseInIndex(index, phrase, k);
      ASSERT_EQ(fallback.size(), indexed.size()) << phrase;
      for (size_t i = 0; i < indexed.size(); ++i) {
        EXPECT_EQ(fallback[i].key, indexed[i].key) << phrase;
        EXPECT_EQ(Bits(fallback[i].score), Bits(indexed[i].score)) << phrase;
      }
    }
  }
}

// Checks SearchPhraseInIndex against the fallback over texts (key -> text),
// the documents the index should hold: same keys, same order, same bits.
void ExpectFallbackAnswer(const TextIndex& index, const std::map<std::string, std::string>& texts,
                          const std::string& phrase, uint64_t k) {
  const std::vector<std::string> tokens = analyze_text(phrase);
  std::vector<PhraseCandidate> records;
  for (const auto& [key, text] : texts)
    ASSERT_TRUE(phrase_match_doc("body", tokens, key, Doc("body", Value::Text(text)), records));
  const auto expected = RankPhraseCandidates(std::move(records), tokens.size(), k);
  const auto got = SearchPhraseInIndex(index, phrase, k);
  ASSERT_EQ(got.size(), expected.size()) << phrase;
  for (size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i].key, expected[i].key) << phrase << " k=" << k;
    ASSERT_EQ(Bits(got[i].score), Bits(expected[i].score)) << phrase;
  }
}

// Phrase search after many adds, replacements and removals (so postings
// hold removed documents, get compacted and are renumbered) against the
// fallback over the documents the index should hold. The vocabulary is
// skewed so that lists of very different lengths are crossed, and texts are
// short so that many scores tie and keys decide.
TEST(FtsTest, SearchAfterChurnMatchesFallback) {
  const std::vector<std::string> words = {"w", "w", "w", "w", "w", "w", "x", "x", "y", "z", "q"};
  std::mt19937 rng(17);
  TextIndex index;
  std::map<std::string, std::string> texts;  // key -> text
  auto word = [&] {
    // "q" is rare in texts: one pick in 150.
    const size_t i = std::uniform_int_distribution<size_t>(0, words.size() - 2)(rng);
    return std::uniform_int_distribution<int>(0, 149)(rng) == 0 ? std::string("q") : words[i];
  };
  auto query_word = [&] { return words[std::uniform_int_distribution<size_t>(5, words.size() - 1)(rng)]; };
  for (int round = 0; round < 40; ++round) {
    for (int op = 0; op < 150; ++op) {
      const std::string key = "k" + std::to_string(std::uniform_int_distribution<int>(0, 299)(rng));
      if (std::uniform_int_distribution<int>(0, 2)(rng) == 0) {
        fts_remove_document(index, key);
        texts.erase(key);
        continue;
      }
      std::string text;
      for (int n = std::uniform_int_distribution<int>(0, 6)(rng); n > 0; --n) text += word() + " ";
      fts_add_document(index, key, text);
      texts[key] = text;
    }
    ASSERT_EQ(index.doc_count(), texts.size());
    for (int q = 0; q < 20; ++q) {
      std::string phrase;
      for (int n = std::uniform_int_distribution<int>(1, 3)(rng); n > 0; --n) phrase += query_word() + " ";
      ExpectFallbackAnswer(index, texts, phrase, std::uniform_int_distribution<uint64_t>(1, 12)(rng));
    }
  }
}

// Keys added in ascending order (as an index built from rows), where ties
// are broken by id, then removals and an add out of order, which must switch
// back to comparing keys.
TEST(FtsTest, SearchWithKeysInIdOrderMatchesFallback) {
  const std::vector<std::string> words = {"w", "w", "w", "x", "y"};
  std::mt19937 rng(23);
  TextIndex index;
  std::map<std::string, std::string> texts;
  auto text = [&] {
    std::string t;
    for (int n = std::uniform_int_distribution<int>(1, 4)(rng); n > 0; --n)
      t += words[std::uniform_int_distribution<size_t>(0, words.size() - 1)(rng)] + " ";
    return t;
  };
  auto check = [&] {
    for (const std::string phrase : {"w", "x", "y", "w w", "w x", "x w y", "y y"})
      for (const uint64_t k : {1, 3, 10, 1000}) ExpectFallbackAnswer(index, texts, phrase, k);
  };
  char key[16];
  for (int i = 0; i < 400; ++i) {
    std::snprintf(key, sizeof key, "k%04d", i * 2);
    texts[key] = text();
    fts_add_document(index, key, texts[key]);
  }
  check();
  for (int i = 0; i < 300; ++i) {
    std::snprintf(key, sizeof key, "k%04d", std::uniform_int_distribution<int>(0, 399)(rng) * 2);
    fts_remove_document(index, key);
    texts.erase(key);
  }
  check();
  for (int i = 0; i < 50; ++i) {
    std::snprintf(key, sizeof key, "k%04d", std::uniform_int_distribution<int>(0, 399)(rng) * 2 + 1);
    texts[key] = text();
    fts_add_document(index, key, texts[key]);
  }
  check();
}

// ------------------------------------------------------------ BM25

// Expected bits below were computed independently, operation by operation
// in numpy float32 with the C library's logf.
TEST(Bm25Test, IdfBits) {
  EXPECT_EQ(Bits(Bm25Idf(1, 1)), 0x3E934B12u);
  EXPECT_EQ(Bits(Bm25Idf(3, 2)), 0x3EF0A451u);
  EXPECT_EQ(Bits(Bm25Idf(3, 1)), 0x3F7B179Fu);
  EXPECT_EQ(Bits(Bm25Idf(10, 3)), 0x3F9293B2u);
  EXPECT_EQ(Bits(Bm25Idf(1000000, 7)), 0x413CCF4Bu);
  EXPECT_EQ(Bits(Bm25Idf(2, 1)), 0x3F317218u);
  // More holders than documents (a stale on-disk count): negative, finite.
  EXPECT_EQ(Bits(Bm25Idf(5, 7)), 0xBE647FBDu);
}

TEST(Bm25Test, AverageLength) {
  EXPECT_EQ(Bm25AverageLength(0, 0), std::nullopt);
  EXPECT_EQ(Bm25AverageLength(9, 0), std::nullopt);
  EXPECT_EQ(Bm25AverageLength(0, 5), 1.0f);  // all documents empty
  EXPECT_EQ(Bm25AverageLength(12, 3), 4.0f);
  EXPECT_EQ(Bits(*Bm25AverageLength(7, 3)), 0x40155555u);
}

TEST(Bm25Test, TermBits) {
  EXPECT_EQ(Bits(Bm25Term(1, Bm25Idf(1, 1), 2, 2.0f)), 0x3E934B12u);
  EXPECT_EQ(Bits(Bm25Term(1, Bm25Idf(3, 2), 3, 4.0f)), 0x3F060744u);
  EXPECT_EQ(Bits(Bm25Term(3, Bm25Idf(10, 3), 17, *Bm25AverageLength(41, 10))), 0x3F8993F4u);
  EXPECT_EQ(Bits(Bm25Term(2, Bm25Idf(1000000, 7), 100, *Bm25AverageLength(7000001, 1000000))), 0x405B3D70u);
  EXPECT_EQ(Bits(Bm25Term(1, Bm25Idf(3, 1), 6, 4.0f)), 0x3F507437u);
  // A term that does not occur adds +0.0, even with a negative idf.
  EXPECT_EQ(Bits(Bm25Term(0, Bm25Idf(5, 7), 3, 2.0f)), 0u);
  EXPECT_EQ(Bits(Bm25TermWith(kBm25K1, kBm25B, 0, Bm25Idf(5, 7), 3, 2.0f)), 0u);
}

TEST(Bm25Test, WrittenFormsAgree) {
  static_assert(kBm25K1 + 1.0f == 2.2f);
  static_assert(1.0f - kBm25B == 0.25f);
  std::mt19937 rng(3);
  for (int i = 0; i < 100000; ++i) {
    const uint64_t n = std::uniform_int_distribution<uint64_t>(1, 1u << 30)(rng);
    const uint64_t df = std::uniform_int_distribution<uint64_t>(1, n)(rng);
    const uint64_t tf = std::uniform_int_distribution<uint64_t>(1, 500)(rng);
    const uint64_t dl = std::uniform_int_distribution<uint64_t>(tf, 100000)(rng);
    const float avg = *Bm25AverageLength(std::uniform_int_distribution<uint64_t>(0, 1ull << 40)(rng), n);
    const float idf = Bm25Idf(n, df);
    ASSERT_EQ(Bits(Bm25Term(tf, idf, dl, avg)), Bits(Bm25TermWith(kBm25K1, kBm25B, tf, idf, dl, avg)));
  }
}

TEST(Bm25Test, PhraseScoreBits) {
  TextIndex index;
  fts_add_document(index, "d1", "the quick brown fox");
  fts_add_document(index, "d2", "brown quick fox");
  fts_add_document(index, "d3", "lazy dogs sleep all day long");
  auto hits = SearchPhraseInIndex(index, "quick brown", 5);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(Bits(hits[0].score), 0x3F860744u);

  // A repeated phrase token is summed twice from -0.0.
  TextIndex twice;
  fts_add_document(twice, "d1", "a fox fox");
  fts_add_document(twice, "d2", "fox red");
  hits = SearchPhraseInIndex(twice, "fox fox", 5);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(Bits(hits[0].score), 0x3F005ABAu);
}

TEST(Bm25Test, ScoreDocsDropsNonMatchesInRecordedOrder) {
  std::vector<PhraseCandidate> records(3);
  records[0] = {"z", {1}, Value::Int(0), 2, 1};
  records[1] = {"m", {0}, Value::Int(1), 5, 0};
  records[2] = {"a", {2}, Value::Int(2), 4, 2};
  Bm25DocParams params;
  params.doc_count = 3;
  params.avg_length = *Bm25AverageLength(11, 3);
  params.doc_freqs = phrase_doc_freqs(records, 0, 1);
  ASSERT_EQ(params.doc_freqs, (std::vector<uint64_t>{2}));
  const auto scored = bm25_score_docs(records, params);
  ASSERT_EQ(scored.size(), 2u);
  EXPECT_EQ(scored[0].key, "z");
  EXPECT_EQ(scored[1].key, "a");
  EXPECT_EQ(Bits(scored[1].score), Bits(-0.0f + Bm25Term(2, Bm25Idf(3, 2), 4, params.avg_length)));

  params.doc_freqs = {2, 2};
  EXPECT_THROW(bm25_score_docs(records, params), InvariantError);
}

TEST(Bm25Test, DocFreqsOverARange) {
  std::vector<PhraseCandidate> records(2);
  records[0].counts = {1, 0, 4};
  records[1].counts = {1, 2};
  EXPECT_EQ(phrase_doc_freqs(records, 0, 3), (std::vector<uint64_t>{2, 1, 1}));
  EXPECT_EQ(phrase_doc_freqs(records, 1, 3), (std::vector<uint64_t>{1, 1}));
  EXPECT_TRUE(phrase_doc_freqs(records, 2, 2).empty());
}

TEST(Bm25Test, RankingOrder) {
  std::vector<ScoredKey> items = {{"b", 1.0f}, {"a\x80", 2.0f}, {"a", 2.0f}, {"", -0.0f}, {"c", 0.0f},
                                  {"ab", 2.0f}, {"d", INFINITY}};
  RankAndCut(items, 100);
  std::vector<std::string> keys;
  for (const auto& it : items) keys.push_back(it.key);
  // Bytes compare unsigned (0x80 after 'b'); +0.0 ranks above -0.0.
  EXPECT_EQ(keys, (std::vector<std::string>{"d", "a", "ab", "a\x80", "b", "c", ""}));
  RankAndCut(items, 2);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[1].key, "a");
  EXPECT_EQ(items[1].score, 2.0f);
}

}  // namespace
}  // namespace pallix
