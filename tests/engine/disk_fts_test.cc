#include "text/disk_fts.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "base/coding.h"
#include "tests/engine/test_util.h"
#include "text/fts.h"

namespace pallix {
namespace {

constexpr char kNs[] = "__dfts__c__body";

std::string U32s(std::initializer_list<uint32_t> values) {
  std::string out;
  for (uint32_t v : values) PutFixed32LE(&out, v);
  return out;
}

class DiskFtsTest : public ::testing::Test {
 protected:
  std::shared_ptr<Engine> engine_ = test::MemEngine();

  template <typename Fn>
  void Write(Fn fn) {
    auto ctx = BeginWriteCtx(engine_->store());
    ASSERT_TRUE(ctx.has_value());
    fn(*ctx);
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  void Index(const std::string& key, const std::string& text) {
    Write([&](WriteCtx& ctx) { ASSERT_TRUE(dfts_index_document(ctx, kNs, key, text).has_value()); });
  }
  void Upkeep(const std::string& key, const Value* doc) {
    Write([&](WriteCtx& ctx) { ASSERT_TRUE(dfts_upkeep_document(ctx, kNs, "body", key, doc).has_value()); });
  }
  void Remove(const std::string& key) {
    Write([&](WriteCtx& ctx) { ASSERT_TRUE(dfts_delete_document_rows(ctx, kNs, key).has_value()); });
  }
  std::map<std::string, std::string> Rows() {
    std::map<std::string, std::string> out;
    auto rows = scan_all_rows(engine_->store(), kNs);
    EXPECT_TRUE(rows.has_value());
    for (auto& row : *rows) out[row.key] = row.value;
    EXPECT_EQ(count_rows(engine_->store(), kNs).value(), out.size());
    return out;
  }
};

TEST_F(DiskFtsTest, RowsOfOneDocument) {
  Index("k", "Red fox");
  std::map<std::string, std::string> want = {
      {dfts_posting_key("red", "k"), U32s({2, 1, 0})},
      {dfts_posting_key("fox", "k"), U32s({2, 1, 1})},
      {"Fk", U32s({2, 2, 3}) + "fox" + U32s({3}) + "red"},
      {"M", dfts_meta_value(1, 2)},
  };
  EXPECT_EQ(Rows(), want);
  EXPECT_EQ(dfts_posting_prefix("red"), std::string("P\0\0\0\3red", 8));
  Index("k", "fox");
  want = {{dfts_posting_key("fox", "k"), U32s({1, 1, 0})}, {"Fk", U32s({1, 1, 3}) + "fox"}, {"M", dfts_meta_value(1, 1)}};
  EXPECT_EQ(Rows(), want);
  Value number = test::Doc({{"body", Value::Int(5)}});
  Upkeep("k", &number);
  EXPECT_EQ(Rows(), (std::map<std::string, std::string>{{"M", dfts_meta_value(0, 0)}}));
}

TEST_F(DiskFtsTest, StopWordsOnlyAndAbsentKeys) {
  Remove("never");
  EXPECT_TRUE(Rows().empty());  // no meta row written
  Index("s", "the and of");
  auto rows = Rows();
  EXPECT_EQ(rows.at("Fs"), std::string(8, '\0'));
  EXPECT_EQ(dfts_parse_meta(rows.at("M")), (DftsMeta{1, 0}));
  EXPECT_EQ(rows.size(), 2u);
}

TEST_F(DiskFtsTest, CountsSaturateAtZero) {
  Index("d", "one two three");
  Write([&](WriteCtx& ctx) { ASSERT_TRUE(put_row(ctx, kNs, "M", dfts_meta_value(0, 5)).has_value()); });
  Remove("d");
  EXPECT_EQ(dfts_parse_meta(Rows().at("M")), (DftsMeta{0, 2}));
}

TEST_F(DiskFtsTest, DamagedRowsAreReadLeniently) {
  EXPECT_EQ(dfts_parse_meta("short"), DftsMeta{});
  EXPECT_EQ(dfts_parse_meta(dfts_meta_value(3, 4) + "xx"), (DftsMeta{3, 4}));
  DftsPosting p = dfts_parse_posting(U32s({9, 1000, 4, 5}));
  EXPECT_EQ(p.doc_length, 9u);
  EXPECT_EQ(p.positions, (std::vector<uint32_t>{4, 5}));
  EXPECT_TRUE(dfts_parse_posting("abc").positions.empty());
  DftsPostings gathered;
  gathered.Add("a", U32s({9, 1000, 4, 5}));
  gathered.Add("bb", "abc");
  gathered.Add("", U32s({7, 0}));
  ASSERT_EQ(gathered.size(), 3u);
  std::vector<uint32_t> positions;
  gathered.Positions(0, positions);
  EXPECT_EQ(positions, (std::vector<uint32_t>{4, 5}));
  EXPECT_EQ(gathered.tf(0), 2u);
  EXPECT_EQ(gathered.key(1), "bb");
  EXPECT_EQ(gathered.doc_length(1), 0u);
  EXPECT_EQ(gathered.tf(1), 0u);
  EXPECT_EQ(gathered.key(2), "");
  EXPECT_EQ(gathered.doc_length(2), 7u);
  Index("k", "red fox");
  auto before = Rows();
  // Forward rows that are short, run past their end or hold a term that is
  // not UTF-8 are treated as absent: nothing is removed.
  for (std::string bad : {std::string("abc"), U32s({2, 5}) + U32s({3}) + "red", U32s({2, 0x40000000}),
                          U32s({2, 1, 2}) + "\xff\xfe"}) {
    Write([&](WriteCtx& ctx) { ASSERT_TRUE(put_row(ctx, kNs, "Fk", bad).has_value()); });
    Remove("k");
    auto after = Rows();
    EXPECT_EQ(after.at("Fk"), bad);
    EXPECT_EQ(after.size(), before.size());
    EXPECT_EQ(after.at("M"), before.at("M"));
  }
}

TEST_F(DiskFtsTest, ClearEmptiesTheNamespace) {
  Index("a", "red fox");
  Write([&](WriteCtx& ctx) { ASSERT_TRUE(dfts_clear(ctx, kNs).has_value()); });
  EXPECT_TRUE(Rows().empty());
}

// Random writes and removals, checked against the in-memory index fed the
// same operations: every term's postings (keys, document lengths,
// positions), the meta pair and the number of rows agree.
TEST_F(DiskFtsTest, ModelAgainstInMemoryIndex) {
  const std::vector<std::string> words = {"red", "fox", "foxes", "the", "jumps", "over", "東京", "大学",
                                          "学生", "Lazy", "dog", "日本語", "a1", "x"};
  uint64_t s = 99;
  auto next = [&s] {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return s >> 33;
  };
  TextIndex model;
  for (int op = 0; op < 300; ++op) {
    std::string key = "d" + std::to_string(next() % 25);
    if (next() % 5 == 0) {
      fts_remove_document(model, key);
      Remove(key);
      continue;
    }
    std::string text;
    for (uint64_t n = next() % 9; n > 0; --n) text += words[next() % words.size()] + (next() % 3 ? " " : "");
    fts_add_document(model, key, text);
    Index(key, text);
  }
  auto txn = engine_->store().BeginRead();
  ReadView view(*txn);
  EXPECT_EQ(dfts_read_meta_ro(view, kNs).value(), (DftsMeta{model.doc_count(), model.total_tokens()}));
  size_t postings = 0;
  for (const std::string& term : model.terms()) {
    auto rows = dfts_read_postings(view, kNs, term).value();
    ASSERT_EQ(rows.size(), model.doc_freq(term)) << term;
    DftsPostings gathered;
    ASSERT_TRUE(dfts_read_posting_rows(view, kNs, term, gathered).has_value());
    ASSERT_EQ(gathered.size(), rows.size()) << term;
    std::vector<uint32_t> positions;
    for (size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(gathered.key(i), rows[i].key);
      EXPECT_EQ(gathered.doc_length(i), rows[i].doc_length);
      EXPECT_EQ(gathered.tf(i), rows[i].positions.size());
      gathered.Positions(i, positions);
      EXPECT_EQ(positions, rows[i].positions);
    }
    postings += rows.size();
    for (const DftsPosting& row : rows) {
      EXPECT_EQ(model.positions(term, row.key), row.positions) << term;
      EXPECT_EQ(row.doc_length, model.doc_length(row.key).value());
    }
  }
  // Posting rows, one forward row per document and the meta row.
  EXPECT_EQ(view.view_count(kNs).value(), postings + model.doc_count() + 1);
}

}  // namespace
}  // namespace pallix
