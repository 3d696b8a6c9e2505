#include "db/edges.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "db/engine.h"
#include "storage/read_view.h"
#include "storage/rows.h"
#include "tests/engine/test_util.h"
#include "write/write.h"

namespace pallix {
namespace {

using test::Doc;
using test::MemEngine;

using Keys = std::vector<std::string>;

Keys Out(Engine& e, std::string_view from, std::string_view rel, std::string_view c = "c") {
  auto r = neighbors(e, c, from, rel);
  EXPECT_TRUE(r.has_value());
  return r.value_or(Keys{});
}

Keys In(Engine& e, std::string_view to, std::string_view rel, std::string_view c = "c") {
  auto r = in_neighbors(e, c, to, rel);
  EXPECT_TRUE(r.has_value());
  return r.value_or(Keys{});
}

Keys Walk(Engine& e, std::string_view start, uint64_t hops) {
  auto r = traverse(e, "c", start, "r", hops);
  EXPECT_TRUE(r.has_value());
  return r.value_or(Keys{});
}

size_t RowCount(Engine& e, const std::string& collection) { return scan_all_rows(e.store(), collection)->size(); }

// Rows in each of the four tables; the out-adjacency count excludes the marker.
std::vector<size_t> TableSizes(Engine& e) {
  size_t out = 0;
  auto rows = scan_all_rows(e.store(), "__adj_out__c");
  for (const Row& r : *rows) out += r.key != adjacency_marker_key();
  return {RowCount(e, "__edges__c"), RowCount(e, "__redges__c"), out, RowCount(e, "__adj_in__c")};
}

TEST(EdgesTest, KeyLayout) {
  EXPECT_EQ(edge_key("r", "ab"), std::string("\0\0\0\x01r\0\0\0\x02" "ab", 11));
  EXPECT_EQ(adjacency_key("n", "r", "o"), std::string("\x01\0\0\0\x01n\0\0\0\x01ro", 12));
  EXPECT_EQ(adjacency_prefix(""), std::string("\x01\0\0\0\0", 5));
  EXPECT_EQ(adjacency_marker_key(), std::string("\0adjacency", 10));
  EXPECT_EQ(parse_edge_key(edge_key("rel", "from") + "to"), (ParsedEdge{"rel", "from", "to"}));
  EXPECT_EQ(parse_edge_key(edge_key("", "")), (ParsedEdge{"", "", ""}));
  EXPECT_EQ(parse_edge_key("abc"), std::nullopt);
  EXPECT_EQ(parse_edge_key(std::string("\0\0\0\x09r", 5)), std::nullopt);
  EXPECT_EQ(parse_edge_key(std::string("\0\0\0\x01\xff\0\0\0\0", 9)), std::nullopt);
  EXPECT_EQ(parse_edge_key(std::string("\0\0\0\x01r\0\0\0", 8)), std::nullopt);
  EXPECT_EQ(parse_edge_key(std::string("\0\0\0\x01r\0\0\0\x05" "ab", 11)), std::nullopt);
  EXPECT_EQ(edge_weight(""), 1.0);
  EXPECT_EQ(edge_weight("abc"), 1.0);
  double w = -2.5;
  EXPECT_EQ(edge_weight(std::string(reinterpret_cast<const char*>(&w), 8)), -2.5);
}

TEST(EdgesTest, LinkAndRead) {
  auto e = MemEngine();
  ASSERT_TRUE(link(*e, "c", "a", "knows", "b").has_value());
  EXPECT_EQ(Out(*e, "a", "knows"), Keys{"b"});
  EXPECT_EQ(In(*e, "b", "knows"), Keys{"a"});
  EXPECT_EQ(*neighbors_weighted(*e, "c", "a", "knows"), (std::vector<std::pair<std::string, double>>{{"b", 1.0}}));
  // Edges need no documents and change no row counts.
  EXPECT_EQ(*count_rows(e->store(), "c"), 0u);
  EXPECT_EQ(*count_rows(e->store(), "__edges__c"), 0u);
  EXPECT_EQ(TableSizes(*e), (std::vector<size_t>{1, 1, 1, 1}));
  // Order is by key, whatever the order of linking.
  ASSERT_TRUE(link(*e, "c", "x", "r", "c").has_value());
  ASSERT_TRUE(link(*e, "c", "x", "r", "b").has_value());
  ASSERT_TRUE(link(*e, "c", "x", "r", "").has_value());
  EXPECT_EQ(Out(*e, "x", "r"), (Keys{"", "b", "c"}));
  // Relations are length-prefixed: r is neither rr nor r2.
  ASSERT_TRUE(link(*e, "c", "x", "rr", "z").has_value());
  EXPECT_EQ(Out(*e, "x", "rr"), Keys{"z"});
  EXPECT_TRUE(Out(*e, "x", "r2").empty());
  EXPECT_EQ(Out(*e, "x", "r"), (Keys{"", "b", "c"}));
  // No name check on reads; never-written collections read empty.
  EXPECT_TRUE(Out(*e, "a", "knows", "__x").empty());
  EXPECT_TRUE(Out(*e, "a", "knows", "nothing").empty());
  EXPECT_EQ(link(*e, "__x", "a", "r", "b").error().code(), 10u);
  EXPECT_EQ(link(*e, "a__b", "a", "r", "b").error().code(), 11u);
  EXPECT_EQ(unlink(*e, "__x", "a", "r", "b").error().code(), 10u);
  EXPECT_EQ(link(*e, "c", "a", "\xff", "b").error().code(), 12u);
}

TEST(EdgesTest, WeightsAndRelink) {
  auto e = MemEngine();
  ASSERT_TRUE(link_weighted(*e, "c", "a", "r", "b", 2.5).has_value());
  EXPECT_EQ(neighbors_weighted(*e, "c", "a", "r")->at(0).second, 2.5);
  ASSERT_TRUE(link(*e, "c", "a", "r", "b").has_value());
  EXPECT_EQ(neighbors_weighted(*e, "c", "a", "r")->at(0).second, 1.0);
  EXPECT_EQ(TableSizes(*e), (std::vector<size_t>{1, 1, 1, 1}));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  ASSERT_TRUE(link_weighted(*e, "c", "a", "r", "n", nan).has_value());
  ASSERT_TRUE(link_weighted(*e, "c", "a", "r", "i", -INFINITY).has_value());
  auto w = neighbors_weighted(*e, "c", "a", "r");
  ASSERT_EQ(w->size(), 3u);
  EXPECT_EQ(w->at(1), (std::pair<std::string, double>{"i", -INFINITY}));
  EXPECT_TRUE(std::isnan(w->at(2).second));
}

TEST(EdgesTest, Unlink) {
  auto e = MemEngine();
  EXPECT_FALSE(*unlink(*e, "c", "a", "r", "b"));
  ASSERT_TRUE(link(*e, "c", "a", "r", "b").has_value());
  ASSERT_TRUE(link(*e, "c", "a", "r", "c").has_value());
  auto before = test::StoreRows(e->store());
  EXPECT_FALSE(*unlink(*e, "c", "a", "r", "zz"));
  EXPECT_FALSE(*unlink(*e, "c", "a", "rr", "b"));
  EXPECT_EQ(test::StoreRows(e->store()), before);
  EXPECT_TRUE(*unlink(*e, "c", "a", "r", "b"));
  EXPECT_EQ(TableSizes(*e), (std::vector<size_t>{1, 1, 1, 1}));
  EXPECT_EQ(Out(*e, "a", "r"), Keys{"c"});
  EXPECT_TRUE(In(*e, "b", "r").empty());
}

TEST(EdgesTest, SelfLoop) {
  auto e = MemEngine();
  ASSERT_TRUE(link(*e, "c", "a", "r", "a").has_value());
  ASSERT_TRUE(link(*e, "c", "a", "r", "b").has_value());
  EXPECT_EQ(Out(*e, "a", "r"), (Keys{"a", "b"}));
  EXPECT_EQ(In(*e, "a", "r"), Keys{"a"});
  EXPECT_EQ(Walk(*e, "a", 3), Keys{"b"});
  ASSERT_TRUE(insert(*e, "c", "a", Value::Int(1)).has_value());
  EXPECT_TRUE(*delete_document(*e, "c", "a"));
  EXPECT_EQ(TableSizes(*e), (std::vector<size_t>{0, 0, 0, 0}));
}

TEST(EdgesTest, Traverse) {
  auto e = MemEngine();
  for (auto [a, b] : std::vector<std::pair<const char*, const char*>>{{"a", "b"}, {"b", "c"}, {"c", "a"}})
    ASSERT_TRUE(link(*e, "c", a, "r", b).has_value());
  EXPECT_TRUE(Walk(*e, "a", 0).empty());
  EXPECT_EQ(Walk(*e, "a", 1), Keys{"b"});
  EXPECT_EQ(Walk(*e, "a", 5), (Keys{"b", "c"}));
  EXPECT_EQ(Walk(*e, "a", UINT64_MAX), (Keys{"b", "c"}));
  EXPECT_TRUE(Walk(*e, "nobody", 3).empty());

  auto t = MemEngine();
  for (auto [a, b] : std::vector<std::pair<const char*, const char*>>{
           {"a", "c"}, {"a", "b"}, {"b", "d"}, {"c", "d"}, {"c", "e"}, {"d", "a"}})
    ASSERT_TRUE(link(*t, "c", a, "r", b).has_value());
  EXPECT_EQ(Walk(*t, "a", 1), (Keys{"b", "c"}));
  EXPECT_EQ(Walk(*t, "a", 2), (Keys{"b", "c", "d", "e"}));
  EXPECT_EQ(*traverse(*t, "c", "a", "other", 4), Keys{});
}

TEST(EdgesTest, DeletingADocumentRemovesItsEdges) {
  auto e = MemEngine();
  ASSERT_TRUE(insert(*e, "c", "b", Value::Int(1)).has_value());
  ASSERT_TRUE(link(*e, "c", "a", "r", "b").has_value());
  ASSERT_TRUE(link(*e, "c", "b", "r", "c").has_value());
  ASSERT_TRUE(link(*e, "c", "b", "s", "d").has_value());
  ASSERT_TRUE(link(*e, "c", "a", "r", "c").has_value());
  EXPECT_TRUE(*delete_document(*e, "c", "b"));
  EXPECT_EQ(Out(*e, "a", "r"), Keys{"c"});
  EXPECT_EQ(In(*e, "c", "r"), Keys{"a"});
  EXPECT_TRUE(In(*e, "d", "s").empty());
  EXPECT_EQ(TableSizes(*e), (std::vector<size_t>{1, 1, 1, 1}));
  // A key without a document loses its edges too; the other node's
  // document is never touched.
  ASSERT_TRUE(insert(*e, "c", "c", Value::Int(2)).has_value());
  EXPECT_FALSE(*delete_document(*e, "c", "a"));
  EXPECT_TRUE(In(*e, "c", "r").empty());
  EXPECT_EQ(TableSizes(*e), (std::vector<size_t>{0, 0, 0, 0}));
  EXPECT_TRUE(get_document(e->store(), "c", "c")->has_value());
  // Any delete makes sure adjacency is built, even in a collection without
  // edges.
  EXPECT_FALSE(*delete_document(*e, "d", "k"));
  EXPECT_EQ(*get_row_once(e->store(), "__adj_out__d", adjacency_marker_key()), std::optional<std::string>("1"));
}

// Edge rows written without adjacency (as by an older writer or a damaged
// marker) stay readable and removable.
TEST(EdgesTest, EdgeTableWithoutAdjacency) {
  auto e = MemEngine();
  {
    auto ctx = BeginWriteCtx(e->store());
    for (auto [a, b] : std::vector<std::pair<const char*, const char*>>{{"a", "b"}, {"b", "c"}, {"a", "c"}}) {
      ASSERT_TRUE(put_row_uncounted(*ctx, "__edges__c", edge_key("r", a) + b, "").has_value());
      ASSERT_TRUE(put_row_uncounted(*ctx, "__redges__c", edge_key("r", b) + a, "").has_value());
    }
    ASSERT_TRUE(put_row_uncounted(*ctx, "__edges__c", "garbage", "").has_value());
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  EXPECT_EQ(Out(*e, "a", "r"), (Keys{"b", "c"}));
  EXPECT_EQ(In(*e, "c", "r"), (Keys{"a", "b"}));
  EXPECT_EQ(Walk(*e, "a", 2), (Keys{"b", "c"}));
  // A marker that is not exactly "1" means not built.
  {
    auto ctx = BeginWriteCtx(e->store());
    ASSERT_TRUE(put_row_uncounted(*ctx, "__adj_out__c", adjacency_marker_key(), "1\n").has_value());
    ASSERT_TRUE(put_row_uncounted(*ctx, "__adj_out__c", adjacency_key("stale", "r", "x"), "").has_value());
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  EXPECT_EQ(Out(*e, "a", "r"), (Keys{"b", "c"}));
  // The next link builds adjacency from the edge table, dropping the stale
  // row and skipping the garbage one.
  ASSERT_TRUE(link(*e, "c", "d", "r", "a").has_value());
  EXPECT_EQ(TableSizes(*e), (std::vector<size_t>{5, 4, 4, 4}));
  EXPECT_TRUE(Out(*e, "stale", "r").empty());
  EXPECT_EQ(Walk(*e, "d", 3), (Keys{"a", "b", "c"}));
}

TEST(EdgesTest, DamagedAdjacencyRowTriggersRebuild) {
  auto e = MemEngine();
  ASSERT_TRUE(link(*e, "c", "a", "r", "b").has_value());
  ASSERT_TRUE(link(*e, "c", "b", "s", "c").has_value());
  ASSERT_TRUE(link(*e, "c", "x", "r", "b").has_value());
  {
    // Damage: b's out-adjacency row gets a relation length past its end,
    // and the in-adjacency row of x -> b goes missing.
    auto ctx = BeginWriteCtx(e->store());
    ASSERT_TRUE(delete_row(*ctx, "__adj_out__c", adjacency_key("b", "s", "c")).has_value());
    ASSERT_TRUE(put_row_uncounted(*ctx, "__adj_out__c", adjacency_prefix("b") + std::string("\0\0\x10\0s", 5), "")
                    .has_value());
    ASSERT_TRUE(delete_row(*ctx, "__adj_in__c", adjacency_key("b", "r", "x")).has_value());
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  EXPECT_FALSE(*delete_document(*e, "c", "b"));
  EXPECT_TRUE(Out(*e, "a", "r").empty());
  EXPECT_TRUE(Out(*e, "x", "r").empty());
  EXPECT_TRUE(In(*e, "c", "s").empty());
  EXPECT_EQ(TableSizes(*e), (std::vector<size_t>{0, 0, 0, 0}));
  EXPECT_EQ(*get_row_once(e->store(), "__adj_out__c", adjacency_marker_key()), std::optional<std::string>("1"));
}

TEST(EdgesTest, CollectEdges) {
  auto e = MemEngine();
  // b never stores a document: its edges are collected all the same.
  ASSERT_TRUE(link_weighted(*e, "b", "x", "r", "y", 0.5).has_value());
  ASSERT_TRUE(link(*e, "a", "p", "q", "").has_value());
  ASSERT_TRUE(link(*e, "a", "", "q", "p").has_value());
  ASSERT_TRUE(put_row_once(e->store(), "a", "doc", encode_value(Value::Int(1))).has_value());
  {
    auto ctx = BeginWriteCtx(e->store());
    ASSERT_TRUE(put_row_uncounted(*ctx, "__edges__a", "bad", "").has_value());
    ASSERT_TRUE(put_row_uncounted(*ctx, "__edges__a", edge_key("w", "s") + "t", "12345678").has_value());
    ASSERT_TRUE(ctx->Commit().has_value());
  }
  auto txn = e->store().BeginRead();
  auto edges = collect_edges(ReadView(*txn));
  ASSERT_TRUE(edges.has_value());
  ASSERT_EQ(edges->size(), 4u);
  auto at = [&](size_t i) {
    const EdgeRecord& r = (*edges)[i];
    return std::make_tuple(r.collection, r.relation, r.from, r.to);
  };
  EXPECT_EQ(at(0), std::make_tuple("a", "q", "", "p"));
  EXPECT_EQ(at(1), std::make_tuple("a", "q", "p", ""));
  EXPECT_EQ(at(2), std::make_tuple("a", "w", "s", "t"));
  EXPECT_EQ(at(3), std::make_tuple("b", "r", "x", "y"));
  EXPECT_EQ((*edges)[0].weight, 1.0);
  EXPECT_EQ((*edges)[3].weight, 0.5);
  double w;
  std::memcpy(&w, "12345678", 8);
  EXPECT_EQ((*edges)[2].weight, w);
}

}  // namespace
}  // namespace pallix
