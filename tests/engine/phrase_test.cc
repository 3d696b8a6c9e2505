#include "text/phrase.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <map>
#include <string>

#include "tests/engine/test_util.h"
#include "text/disk_fts.h"
#include "text/fts.h"
#include "text/text.h"

namespace pallix {
namespace {

constexpr char kNs[] = "__dfts__c__body";

// One collection "c" whose documents are indexed three ways: rows of the
// collection (for the scan), the on-disk index and an in-memory index.
class PhraseTest : public ::testing::Test {
 protected:
  std::shared_ptr<Engine> engine_ = test::MemEngine();
  TextIndex memory_;

  void Add(const std::string& key, const Value& body) {
    Value doc = test::Doc({{"body", body}});
    auto ctx = BeginWriteCtx(engine_->store());
    ASSERT_TRUE(put_row(*ctx, "c", key, encode_value(doc)).has_value());
    ASSERT_TRUE(dfts_upkeep_document(*ctx, kNs, "body", key, &doc).has_value());
    ASSERT_TRUE(ctx->Commit().has_value());
    if (body.is_text()) fts_add_document(memory_, key, body.as_text());
  }
  void AddText(const std::string& key, const std::string& text) { Add(key, Value::Text(text)); }

  // The three answers, checked equal (keys, and scores bit for bit).
  std::vector<ScoredKey> SearchAll(const std::string& phrase, uint64_t k) {
    auto txn = engine_->store().BeginRead();
    ReadView view(*txn);
    std::vector<ScoredKey> in_memory = SearchPhraseInIndex(memory_, phrase, k);
    auto on_disk = SearchPhraseOnDisk(view, kNs, phrase, k);
    auto scanned = SearchPhraseByScan(view, "c", "body", phrase, k);
    EXPECT_TRUE(on_disk.has_value());
    EXPECT_TRUE(scanned.has_value());
    EXPECT_EQ(on_disk->size(), in_memory.size()) << phrase;
    EXPECT_EQ(scanned->size(), in_memory.size()) << phrase;
    for (size_t i = 0; i < in_memory.size() && i < on_disk->size() && i < scanned->size(); ++i) {
      EXPECT_EQ((*on_disk)[i].key, in_memory[i].key) << phrase;
      EXPECT_EQ((*scanned)[i].key, in_memory[i].key) << phrase;
      EXPECT_EQ(std::bit_cast<uint32_t>((*on_disk)[i].score), std::bit_cast<uint32_t>(in_memory[i].score));
      EXPECT_EQ(std::bit_cast<uint32_t>((*scanned)[i].score), std::bit_cast<uint32_t>(in_memory[i].score));
    }
    return in_memory;
  }
  std::vector<std::string> Keys(const std::string& phrase, uint64_t k) {
    std::vector<std::string> keys;
    for (auto& item : SearchAll(phrase, k)) keys.push_back(item.key);
    return keys;
  }
};

TEST_F(PhraseTest, OrderMatters) {
  AddText("d1", "the quick brown fox");
  AddText("d2", "brown quick fox");
  EXPECT_EQ(Keys("Quick Brown", 10), (std::vector<std::string>{"d1"}));
  EXPECT_EQ(Keys("the quick", 10).size(), 2u);  // the stop word leaves one token
}

TEST_F(PhraseTest, RepeatedTokens) {
  AddText("a", "red fox fox");
  AddText("b", "fox red fox");
  auto hits = SearchAll("fox fox", 10);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].key, "a");
  auto single = SearchAll("fox", 10);
  // The repeated token counts twice.
  EXPECT_GT(hits[0].score, single[0].score);
}

TEST_F(PhraseTest, TiesByKeyAndEdgeCases) {
  AddText("y", "red fox");
  AddText("x", "red fox");
  Add("n", Value::Int(7));
  EXPECT_EQ(Keys("red fox", 10), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(Keys("red fox", 1), (std::vector<std::string>{"x"}));
  EXPECT_TRUE(Keys("red fox", 0).empty());
  EXPECT_TRUE(Keys("the of", 10).empty());
  EXPECT_TRUE(Keys("...", 10).empty());
  EXPECT_TRUE(Keys("blue", 10).empty());
}

TEST_F(PhraseTest, EmptyIndexAndDamagedPostings) {
  EXPECT_TRUE(Keys("red", 10).empty());
  AddText("k", "red fox");
  auto ctx = BeginWriteCtx(engine_->store());
  ASSERT_TRUE(put_row(*ctx, kNs, dfts_posting_key("fox", "k"), "ab").has_value());
  ASSERT_TRUE(ctx->Commit().has_value());
  auto txn = engine_->store().BeginRead();
  EXPECT_TRUE(SearchPhraseOnDisk(ReadView(*txn), kNs, "red fox", 10)->empty());
  EXPECT_EQ(SearchPhraseOnDisk(ReadView(*txn), kNs, "red", 10)->size(), 1u);
}

TEST_F(PhraseTest, ScanFailsOnUndecodableDocument) {
  AddText("k", "red fox");
  auto ctx = BeginWriteCtx(engine_->store());
  ASSERT_TRUE(put_row(*ctx, "c", "bad", "\x63").has_value());
  ASSERT_TRUE(ctx->Commit().has_value());
  auto txn = engine_->store().BeginRead();
  auto result = SearchPhraseByScan(ReadView(*txn), "c", "body", "red", 10);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), ErrorKind::kDecode);
}

// Random texts over a small vocabulary (words, plurals, stop words and CJK
// runs) and random phrases taken from them: the three paths agree exactly.
TEST_F(PhraseTest, ThreePathsAgreeOnRandomTexts) {
  const std::vector<std::string> words = {"red", "fox", "foxes", "the", "jumps", "dog", "dogs", "東京大学",
                                          "大学", "学生です", "a", "b", "Lazy"};
  uint64_t s = 5;
  auto next = [&s] {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return s >> 33;
  };
  std::vector<std::string> texts;
  for (int i = 0; i < 60; ++i) {
    std::string text;
    for (uint64_t n = next() % 12; n > 0; --n) text += words[next() % words.size()] + " ";
    texts.push_back(text);
    AddText("d" + std::to_string(next() % 40), text);
  }
  size_t non_empty = 0;
  for (int q = 0; q < 150; ++q) {
    const std::vector<std::string> tokens = analyze_text(texts[next() % texts.size()]);
    if (tokens.empty()) continue;
    size_t start = next() % tokens.size(), len = 1 + next() % 3;
    std::string phrase;
    for (size_t i = start; i < std::min(tokens.size(), start + len); ++i) phrase += tokens[i] + " ";
    if (next() % 4 == 0) phrase += words[next() % words.size()];
    non_empty += !SearchAll(phrase, 1 + next() % 8).empty();
  }
  EXPECT_GT(non_empty, 50u);
}

std::string Repeat(const std::string& piece, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// Phrases of thousands of tokens (a word repeated, a sentence repeated, a
// long run of a random text, stop words, a word no document holds) over
// short texts and a few long ones, some replaced so that the in-memory
// index holds removed documents: the three paths agree, and every long run
// a text holds is found.
TEST_F(PhraseTest, LongPhrasesAgree) {
  const std::vector<std::string> words = {"red", "fox", "jumps", "dog", "lazy", "blue", "cat", "the", "of"};
  uint64_t s = 11;
  auto next = [&s] {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return s >> 33;
  };
  auto random_text = [&](size_t n) {
    std::string text;
    for (size_t i = 0; i < n; ++i) text += words[next() % words.size()] + " ";
    return text;
  };
  for (int i = 0; i < 60; ++i) AddText("s" + std::to_string(i), random_text(5 + next() % 30));
  const std::string sentence = "red fox jumps over the lazy dog ";
  const std::string long_random = random_text(3000);
  AddText("l-fox", Repeat("fox ", 2500));
  AddText("l-sentence", Repeat(sentence, 400));
  AddText("l-sentence2", Repeat(sentence, 400));
  AddText("l-random", long_random);
  AddText("s0", "blue cat");
  AddText("l-sentence2", Repeat(sentence, 300));
  AddText("s1", Repeat(sentence, 2));

  using KeyList = std::vector<std::string>;
  EXPECT_EQ(Keys(Repeat("fox ", 2000), 10), KeyList{"l-fox"});
  EXPECT_EQ(Keys(Repeat("the FOX of ", 2500), 10), KeyList{"l-fox"});
  EXPECT_TRUE(Keys(Repeat("fox ", 2501), 10).empty());
  EXPECT_TRUE(Keys(Repeat("fox ", 2000) + "nowhere", 10).empty());
  EXPECT_EQ(Keys(Repeat(sentence, 350), 10), KeyList{"l-sentence"});
  KeyList both = Keys(Repeat(sentence, 250), 10);
  std::sort(both.begin(), both.end());
  EXPECT_EQ(both, (KeyList{"l-sentence", "l-sentence2"}));
  EXPECT_EQ(Keys(Repeat(sentence, 250), 1).size(), 1u);
  EXPECT_EQ(Keys(sentence + sentence, 100).size(), 3u);  // s1 too

  const std::vector<std::string> tokens = analyze_text(long_random);
  std::string run;
  ASSERT_GT(tokens.size(), 2000u);
  for (size_t i = 100; i + 100 < tokens.size(); ++i) run += tokens[i] + " ";
  EXPECT_EQ(Keys(run, 10), KeyList{"l-random"});
  EXPECT_EQ(Keys("The " + run + " of", 3), KeyList{"l-random"});
  EXPECT_TRUE(Keys(run + "nowhere", 10).empty());
  EXPECT_TRUE(Keys(run + run, 10).empty());
  for (int q = 0; q < 5; ++q) SearchAll(random_text(8000), 1 + q * 3);
}

}  // namespace
}  // namespace pallix
