#include "index/index_state.h"

#include <gtest/gtest.h>

namespace pallix {
namespace {

std::string B(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out.push_back(static_cast<char>(b));
  return out;
}

TEST(IndexStateTest, EncodeAndDecode) {
  EXPECT_EQ(encode_index_state("", std::nullopt), B({0xFF, 0}));
  EXPECT_EQ(encode_index_state("", std::string()), B({0xFF, 1, 0, 0, 0, 0}));
  EXPECT_EQ(encode_index_state(B({2}), std::string("a")), B({0xFF, 1, 0, 0, 0, 1, 'a', 2}));
  for (auto cursor : {std::optional<std::string>(), std::optional<std::string>(""), std::optional<std::string>("k\0x")})
    for (std::string payload : {"", "\x02", "\x00\x07"})
      EXPECT_EQ(decode_index_state(encode_index_state(payload, cursor)), (IndexState{payload, cursor}));

  struct Case {
    std::string stored;
    IndexState state;
  } cases[] = {
      {"", {"", std::nullopt}},
      {B({1}), {B({1}), std::nullopt}},                                   // older form: all payload
      {B({0xFF}), {"", ""}},                                              // damaged: rebuild
      {B({0xFF, 2}), {"", ""}},
      {B({0xFF, 1, 0, 0, 0}), {"", ""}},
      {B({0xFF, 1, 0, 0, 0, 5, 'a'}), {"", ""}},                          // length past the end
      {B({0xFF, 1, 0, 0, 0, 1, 'a', 2, 0, 1}), {B({2, 0, 1}), "a"}},
      {B({0xFF, 0, 7, 7}), {B({7, 7}), std::nullopt}},
  };
  for (const Case& c : cases) EXPECT_EQ(decode_index_state(c.stored), c.state);
}

TEST(IndexStateTest, KeysAndNames) {
  EXPECT_EQ(registry_key("docs", "emb"), std::string("docs\0emb", 8));
  using Split = std::optional<std::pair<std::string, std::string>>;
  EXPECT_EQ(split_index_key(std::string("docs\0emb", 8)), Split({"docs", "emb"}));
  EXPECT_EQ(split_index_key(std::string("docs\0", 5)), Split({"docs", ""}));
  EXPECT_EQ(split_index_key("docs"), Split());
  EXPECT_EQ(split_index_key(std::string("d\xff\0e", 4)), Split());

  std::vector<std::string> fields = {"a", "b.c"};
  EXPECT_EQ(compound_registry_key("c", fields), std::string("c\0a\0b.c", 7));
  auto parsed = parse_compound_registry_key(compound_registry_key("c", fields));
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->first, "c");
  EXPECT_EQ(parsed->second, fields);
  EXPECT_FALSE(parse_compound_registry_key("c").has_value());
  EXPECT_EQ(parse_compound_registry_key(std::string("c\0", 2))->second, std::vector<std::string>{""});

  EXPECT_EQ(compound_table_name("c", fields), "__cscalar__c__a\x01" "b.c");
  EXPECT_EQ(scalar_namespace("c", "f"), "__scalar__c__f");
  EXPECT_EQ(geo_namespace("c", "f"), "__geo__c__f");
  EXPECT_EQ(text_namespace("c", "f"), "__dfts__c__f");
  EXPECT_EQ(vector_namespace("c", "f"), "__dann__c__f");
  // The clash the creators refuse: two declarations, one namespace.
  EXPECT_EQ(scalar_namespace("a_", "b"), scalar_namespace("a", "_b"));
}

}  // namespace
}  // namespace pallix
