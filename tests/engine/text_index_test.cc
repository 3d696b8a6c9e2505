// The text index lifecycle: phrase search answers the same keys with
// bitwise the same scores from an in-memory index, an on-disk index and a
// full scan, over random documents and random writes; declarations,
// re-declarations, builds, long texts and keys, damaged rows.

#include "index/text_index.h"

#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "index/index_state.h"
#include "index/registry.h"
#include "storage/read_view.h"
#include "test_util.h"
#include "tests/engine/at_snapshot.h"
#include "text/disk_fts.h"
#include "text/phrase.h"
#include "write/write.h"

namespace pallix {
namespace {

using test::Doc;

struct Hit {
  std::string key;
  uint32_t score_bits;
  bool operator==(const Hit&) const = default;
};

void PrintTo(const Hit& h, std::ostream* os) {
  float f;
  memcpy(&f, &h.score_bits, 4);
  *os << h.key << ":" << f;
}

std::vector<Hit> Search(Engine& engine, std::string_view c, std::string_view phrase, uint64_t k) {
  auto hits = phrase_search_entry(engine, c, "body", phrase, k);
  EXPECT_TRUE(hits.has_value()) << hits.error().Message();
  std::vector<Hit> out;
  if (!hits) return out;
  for (const PhraseHit& h : *hits) {
    uint32_t bits;
    memcpy(&bits, &h.score, 4);
    out.push_back(Hit{h.key, bits});
  }
  return out;
}

// Whether (c, "body") answers from its index (true) or needs the scan.
bool Indexed(Engine& engine, std::string_view c, std::string_view phrase) {
  auto txn = engine.store().BeginRead();
  EXPECT_TRUE(txn.has_value());
  ReadView view(*txn);
  auto r = phrase_search(engine, c, "body", view, phrase, 10);
  EXPECT_TRUE(r.has_value());
  return r && r->has_value();
}

const char* kWords[] = {"the", "fox", "foxes", "quick", "brown", "dog", "a", "jumps", "over", "lazy",
                        "东京", "大学", "研究", "Über", "naïve", "run", "runs", "of", "and", "x"};

std::string RandomText(std::mt19937& rng, int max_words) {
  std::string out;
  int n = rng() % max_words;
  for (int i = 0; i < n; ++i) {
    if (!out.empty()) out += (rng() % 7 == 0) ? ", " : " ";
    out += kWords[rng() % std::size(kWords)];
  }
  return out;
}

// Applies the same random write to the three collections.
void RandomWrite(Engine& engine, std::mt19937& rng) {
  std::string key = "d" + std::to_string(rng() % 60);
  int what = rng() % 10;
  for (const char* c : {"mem", "disk", "scan"}) {
    if (what == 0) {
      ASSERT_TRUE(delete_document(engine, c, key).has_value());
    } else if (what == 1) {
      ASSERT_TRUE(insert(engine, c, key, Doc({{"body", Value::Int(5)}})).has_value());
    } else {
      std::mt19937 copy = rng;
      ASSERT_TRUE(insert(engine, c, key, Doc({{"body", Value::Text(RandomText(copy, 14))}})).has_value());
    }
  }
  if (what > 1) (void)RandomText(rng, 14);  // keep the three copies' draws in step
}

TEST(TextIndex, MemoryDiskAndScanAgreeBitwise) {
  auto engine = test::MemEngine();
  std::mt19937 rng(42);
  for (int i = 0; i < 40; ++i) RandomWrite(*engine, rng);
  ASSERT_TRUE(create_text_index(*engine, "mem", "body").has_value());
  ASSERT_TRUE(create_text_index_ondisk(*engine, "disk", "body").has_value());
  for (int round = 0; round < 300; ++round) {
    if (round % 3 == 0) RandomWrite(*engine, rng);
    std::string phrase = RandomText(rng, 4);
    uint64_t k = rng() % 12;
    std::vector<Hit> scan = Search(*engine, "scan", phrase, k);
    EXPECT_EQ(Search(*engine, "mem", phrase, k), scan) << "phrase '" << phrase << "'";
    EXPECT_EQ(Search(*engine, "disk", phrase, k), scan) << "phrase '" << phrase << "'";
    EXPECT_TRUE(Indexed(*engine, "mem", phrase));
    EXPECT_TRUE(Indexed(*engine, "disk", phrase));
    EXPECT_FALSE(Indexed(*engine, "scan", phrase));
  }
}

TEST(TextIndex, PhraseRules) {
  auto engine = test::MemEngine();
  ASSERT_TRUE(create_text_index(*engine, "c", "body").has_value());
  ASSERT_TRUE(insert(*engine, "c", "d1", Doc({{"body", Value::Text("the quick brown fox")}})));
  ASSERT_TRUE(insert(*engine, "c", "d2", Doc({{"body", Value::Text("brown quick fox")}})));
  ASSERT_TRUE(insert(*engine, "c", "d3", Doc({{"body", Value::Text("a fox fox")}})));
  ASSERT_TRUE(insert(*engine, "c", "d4", Doc({{"body", Value::Text("fox red fox")}})));
  auto keys = [&](std::string_view phrase, uint64_t k) {
    std::vector<std::string> out;
    for (const Hit& h : Search(*engine, "c", phrase, k)) out.push_back(h.key);
    return out;
  };
  EXPECT_EQ(keys("Quick Brown", 10), std::vector<std::string>{"d1"});
  EXPECT_EQ(keys("the quick", 10), (std::vector<std::string>{"d1", "d2"}));  // "the" is a stop word
  EXPECT_EQ(keys("fox fox", 10), std::vector<std::string>{"d3"});
  EXPECT_EQ(keys("quick", 1), std::vector<std::string>{"d1"});  // equal scores: the smaller key
  EXPECT_TRUE(keys("the of and", 10).empty());
  EXPECT_TRUE(keys("fox", 0).empty());
}

// ------------------------------------------------------------ declarations

TEST(TextIndex, DeclarationChecks) {
  auto engine = test::MemEngine();
  EXPECT_EQ(create_text_index_ondisk(*engine, "__x", "body").error().kind(), ErrorKind::kReservedCollection);
  EXPECT_EQ(create_text_index_ondisk(*engine, "c", "a__b").error().kind(), ErrorKind::kInvalidName);
  ASSERT_TRUE(create_text_index(*engine, "a_", "b").has_value());
  EXPECT_EQ(create_text_index_ondisk(*engine, "a", "_b").error().kind(), ErrorKind::kInvalidName);
  auto state = read_index_state_once(engine->store(), kTextRegistry, registry_key("a_", "b"));
  ASSERT_TRUE(state.has_value() && state->has_value());
  EXPECT_EQ(**state, (IndexState{std::string(1, '\0'), std::nullopt}));
}

// All rows of a namespace, keys and values.
std::vector<Row> Rows(Engine& engine, std::string_view ns) {
  auto rows = scan_all_rows(engine.store(), ns);
  EXPECT_TRUE(rows.has_value());
  return rows ? *rows : std::vector<Row>{};
}

TEST(TextIndex, RedeclaringOnDiskForgetsDocumentsDeletedMeanwhile) {
  auto engine = test::MemEngine();
  for (const char* c : {"c", "fresh"})
    for (int i = 0; i < 5; ++i)
      ASSERT_TRUE(insert(*engine, c, "k" + std::to_string(i),
                         Doc({{"body", Value::Text("red fox " + std::to_string(i))}})));
  ASSERT_TRUE(create_text_index_ondisk(*engine, "c", "body").has_value());
  ASSERT_TRUE(create_text_index(*engine, "c", "body").has_value());  // the on-disk rows are no longer kept up
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(delete_document(*engine, "c", "k" + std::to_string(i)));
    ASSERT_TRUE(delete_document(*engine, "fresh", "k" + std::to_string(i)));
  }
  ASSERT_TRUE(create_text_index_ondisk(*engine, "c", "body").has_value());
  ASSERT_TRUE(create_text_index_ondisk(*engine, "fresh", "body").has_value());
  EXPECT_EQ(Rows(*engine, text_namespace("c", "body")), Rows(*engine, text_namespace("fresh", "body")));
  EXPECT_EQ(Search(*engine, "c", "red fox", 10), Search(*engine, "fresh", "red fox", 10));
}

TEST(TextIndex, AFailedBuildAnswersNothingAndResumesFromItsCursor) {
  auto engine = test::MemEngine();
  for (int i = 0; i < 3000; ++i)
    ASSERT_TRUE(insert(*engine, "c", "k" + std::to_string(10000 + i), Doc({{"body", Value::Text("red fox")}})));
  // A row that does not decode, past the first batch.
  ASSERT_TRUE(put_row_once(engine->store(), "c", "k12500", "\x09garbage"));
  auto failed = create_text_index_ondisk(*engine, "c", "body");
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().kind(), ErrorKind::kDecode);
  auto state = read_index_state_once(engine->store(), kTextRegistry, registry_key("c", "body"));
  ASSERT_TRUE(state.has_value() && state->has_value() && (*state)->cursor.has_value());
  EXPECT_EQ(*(*state)->cursor, std::string("k12047") + '\0');
  EXPECT_FALSE(Indexed(*engine, "c", "red fox"));  // building: no answer from it
  auto scanned = phrase_search_entry(*engine, "c", "body", "red fox", 3);
  EXPECT_EQ(scanned.error().kind(), ErrorKind::kDecode);  // the resume meets the row again
  ASSERT_TRUE(put_row_once(engine->store(), "c", "k12500", std::string("\x07\x00\x00\x00\x00", 5)));  // an empty map
  ASSERT_TRUE(create_text_index_ondisk(*engine, "c", "body").has_value());
  EXPECT_TRUE(Indexed(*engine, "c", "red fox"));
  EXPECT_EQ(Search(*engine, "c", "red fox", 5000).size(), 2999u);
}

TEST(TextIndex, InMemoryIndexIsBuiltOnFirstUseWithEarlierWrites) {
  auto engine = test::MemEngine();
  ASSERT_TRUE(create_text_index(*engine, "c", "body").has_value());
  ASSERT_TRUE(insert(*engine, "c", "a", Doc({{"body", Value::Text("red fox")}})));
  {
    NamedMutex::Guard guard(engine->fts_lock);
    auto reg = text_registry(*engine);
    ASSERT_TRUE(reg.has_value());
    EXPECT_TRUE((*reg)->loaded.empty());
  }
  EXPECT_EQ(Search(*engine, "c", "red fox", 10).size(), 1u);
  ASSERT_TRUE(insert(*engine, "c", "b", Doc({{"body", Value::Text("a red fox")}})));
  ASSERT_TRUE(insert(*engine, "c", "a", Doc({{"body", Value::Text("blue")}})));
  uint64_t docs = 0;
  ASSERT_TRUE(memory_text_index_for(*engine, "c", "body", [&](const TextIndex& index) { docs = index.doc_count(); }));
  EXPECT_EQ(docs, 2u);
  std::vector<Hit> hits = Search(*engine, "c", "red fox", 10);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].key, "b");
}

// The in-memory index is kept up after each commit, so a phrase search
// whose snapshot predates a commit meets hits the snapshot does not hold,
// or holds with another text. At the search's snapshot another thread
// commits documents the index ranks first, makes a document that lacks the
// phrase in the snapshot the index's best, and deletes; the search must
// still answer the keys a search in step with its snapshot answers, k of
// them while the snapshot holds k. Every body has six tokens, so the ranking
// follows the phrase's token counts alone, whatever the statistics. In the
// last two rounds k exceeds every match and the deletes hit matches the
// index no longer has: once it runs out, the scan answers, whether it
// passed hits over or (in the very last round, deletes alone) not.
TEST(TextIndex, PhraseSearchWithTheIndexAheadOfItsSnapshot) {
  auto engine = test::MemEngine();
  auto body = [](int phrases) {
    std::string b;
    for (int i = 0; i < 3; ++i) b += i < phrases ? "quick brown " : "lazy dog ";
    return Doc({{"body", Value::Text(b)}});
  };
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(insert(*engine, "c", "d" + std::to_string(100 + i), body(i % 3)));
  ASSERT_TRUE(create_text_index(*engine, "c", "body").has_value());
  ASSERT_TRUE(memory_text_index_for(*engine, "c", "body", [](const TextIndex&) {}).value());
  auto keys = [](const std::vector<PhraseHit>& hits) {
    std::vector<std::string> out;
    for (const PhraseHit& h : hits) out.push_back(h.key);
    return out;
  };
  const int inserted[] = {1, 4, 9, 20, 3, 0};
  for (int round = 0; round < 6; ++round) {
    const bool last = round >= 4;
    const uint64_t k = last ? 1000 : 10;
    auto want = phrase_search_entry(*engine, "c", "body", "quick brown", k);  // the index, in step
    ASSERT_TRUE(want.has_value());
    if (!last) {
      ASSERT_EQ(want->size(), 10u);
    }
    std::vector<std::string> doomed;
    for (int i = 0; doomed.size() < 2; ++i) {
      const std::string key = "d" + std::to_string(100 + (i * 7 + round) % 40);
      const bool answered = std::any_of(want->begin(), want->end(), [&](const PhraseHit& h) { return h.key == key; });
      if (answered == last && std::find(doomed.begin(), doomed.end(), key) == doomed.end()) doomed.push_back(key);
    }
    test::WritesAtSnapshot writes("c", [&] {
      for (int i = 0; i < inserted[round]; ++i)
        EXPECT_TRUE(insert(*engine, "c", "n" + std::to_string(round) + "_" + std::to_string(i), body(3)));
      if (round < 5) {
        EXPECT_TRUE(insert(*engine, "c", "d" + std::to_string(100 + 3 * round), body(3)));  // lacks it before
      }
      for (const std::string& key : doomed) EXPECT_TRUE(delete_document(*engine, "c", key));
    });
    auto got = phrase_search_entry(*engine, "c", "body", "quick brown", k);
    ASSERT_TRUE(writes.fired());
    ASSERT_TRUE(got.has_value()) << got.error().Message();
    EXPECT_EQ(keys(*got), keys(*want)) << "round " << round;
  }
}

// ------------------------------------------------------------ sizes and damage

TEST(TextIndex, LongTextsAndKeys) {
  auto engine = test::MemEngine();
  ASSERT_TRUE(create_text_index(*engine, "mem", "body").has_value());
  ASSERT_TRUE(create_text_index_ondisk(*engine, "disk", "body").has_value());
  std::mt19937 rng(3);
  std::string text;
  while (text.size() < 100 * 1024) text += RandomText(rng, 40) + " ";
  text += "needle in haystack";
  const std::string long_key(2048, 'k');
  for (const char* c : {"mem", "disk", "scan"}) {
    ASSERT_TRUE(insert(*engine, c, long_key, Doc({{"body", Value::Text(text)}})).has_value());
    ASSERT_TRUE(insert(*engine, c, long_key + "2", Doc({{"body", Value::Text("haystack needle")}})).has_value());
  }
  std::vector<Hit> scan = Search(*engine, "scan", "needle in haystack", 10);
  ASSERT_EQ(scan.size(), 1u);
  EXPECT_EQ(scan[0].key, long_key);
  EXPECT_EQ(Search(*engine, "mem", "needle in haystack", 10), scan);
  EXPECT_EQ(Search(*engine, "disk", "needle in haystack", 10), scan);
  EXPECT_EQ(Search(*engine, "disk", "fox", 10), Search(*engine, "scan", "fox", 10));
  ASSERT_TRUE(delete_document(*engine, "disk", long_key));
  EXPECT_TRUE(Search(*engine, "disk", "needle in haystack", 10).empty());
}

TEST(TextIndex, DamagedRowsNeverFailASearchOrAWrite) {
  auto engine = test::MemEngine();
  ASSERT_TRUE(create_text_index_ondisk(*engine, "c", "body").has_value());
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(insert(*engine, "c", "k" + std::to_string(i), Doc({{"body", Value::Text("red fox")}})));
  const std::string ns = text_namespace("c", "body");
  ASSERT_TRUE(put_row_once(engine->store(), ns, dfts_posting_key("red", "k1"), "\x01"));  // short
  ASSERT_TRUE(put_row_once(engine->store(), ns, dfts_posting_key("red", "k2"),
                           std::string("\x02\x00\x00\x00\xff\xff\xff\xff\x00\x00\x00\x00", 12)));  // tf past the end
  ASSERT_TRUE(put_row_once(engine->store(), ns, dfts_forward_key("k3"), std::string("\x02\x00\x00\x00\x09", 5)));
  ASSERT_TRUE(put_row_once(engine->store(), ns, dfts_meta_key(), "xx"));  // short: (0, 0)
  std::vector<Hit> hits = Search(*engine, "c", "red fox", 10);
  for (const Hit& h : hits) EXPECT_NE(h.key, "k1");
  ASSERT_TRUE(insert(*engine, "c", "k3", Doc({{"body", Value::Text("blue")}})).has_value());
  ASSERT_TRUE(delete_document(*engine, "c", "k1").has_value());
  ASSERT_TRUE(insert(*engine, "c", "k9", Doc({{"body", Value::Text("red fox")}})).has_value());
  hits = Search(*engine, "c", "red fox", 10);
  EXPECT_FALSE(hits.empty());
  // Declaring it again starts over from clean rows.
  ASSERT_TRUE(create_text_index_ondisk(*engine, "c", "body").has_value());
  ASSERT_TRUE(create_text_index(*engine, "clean", "body").has_value());
  for (const char* k : {"k0", "k2", "k3", "k4", "k9"}) {
    auto doc = get_document(engine->store(), "c", k);
    ASSERT_TRUE(doc.has_value() && doc->has_value());
    ASSERT_TRUE(insert(*engine, "clean", k, **doc).has_value());
  }
  EXPECT_EQ(Search(*engine, "c", "red fox", 10), Search(*engine, "clean", "red fox", 10));
}

}  // namespace
}  // namespace pallix
