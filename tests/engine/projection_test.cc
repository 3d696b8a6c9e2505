#include "query/projection.h"

#include <gtest/gtest.h>

#include "tests/engine/test_util.h"

namespace pallix {
namespace {

using test::Doc;

Value Sample() {
  return Doc({{"a", Doc({{"b", Value::Int(1)}, {"c", Value::Int(2)}})},
              {"d", Value::Text("x")},
              {"n", Value::Null()},
              {"arr", Value::Array({Value::Int(7)})},
              {"dot.ted", Value::Int(3)}});
}

void ExpectProjects(const std::vector<std::string>& paths, const Value& want) {
  Value got = project_fields(Sample(), paths);
  EXPECT_TRUE(values_same(got, want)) << "paths[0]=" << (paths.empty() ? "" : paths[0]);
}

TEST(Projection, NestedPathComesBackNested) {
  ExpectProjects({"a.b"}, Doc({{"a", Doc({{"b", Value::Int(1)}})}}));
  ExpectProjects({"a.b", "d"}, Doc({{"a", Doc({{"b", Value::Int(1)}})}, {"d", Value::Text("x")}}));
}

TEST(Projection, WholeAndPartWhicheverComesFirst) {
  Value whole = Doc({{"a", Doc({{"b", Value::Int(1)}, {"c", Value::Int(2)}})}});
  ExpectProjects({"a", "a.b"}, whole);
  ExpectProjects({"a.b", "a"}, whole);
  ExpectProjects({"a.c", "a.b"}, whole);
}

TEST(Projection, MissingPathsLeaveNoKey) {
  ExpectProjects({}, Doc({}));
  ExpectProjects({"zz", "a.zz", "arr.0", "", "a.", ".a", "dot.ted"}, Doc({}));
  ExpectProjects({"n"}, Doc({{"n", Value::Null()}}));
  ExpectProjects({"d", "d"}, Doc({{"d", Value::Text("x")}}));
}

TEST(Projection, NonMapDocumentsComeBackWhole) {
  Value arr = Value::Array({Value::Int(1), Doc({{"a", Value::Int(2)}})});
  EXPECT_TRUE(values_same(project_fields(arr, {"a"}), arr));
  EXPECT_TRUE(values_same(project_fields(Value::Int(5), {}), Value::Int(5)));
}

TEST(Projection, DeepChainsAreBuiltLevelByLevel) {
  Value deep = Doc({{"p", Doc({{"q", Doc({{"r", Value::Float(-0.0)}, {"s", Value::Int(1)}})}})}});
  Value got = project_fields(deep, {"p.q.r", "p.q.zz"});
  EXPECT_TRUE(values_same(got, Doc({{"p", Doc({{"q", Doc({{"r", Value::Float(-0.0)}})}})}})));
}

}  // namespace
}  // namespace pallix
