#include "query/query_spec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace pallix {
namespace {

std::string Message(float rrf_k, std::optional<float> lambda) {
  QuerySpec spec;
  spec.rrf_k = rrf_k;
  spec.mmr_lambda = lambda;
  Status s = ValidateQuerySpec(spec);
  if (s) return "ok";
  EXPECT_EQ(s.error().kind(), ErrorKind::kInvalidArgument);
  return s.error().detail();
}

TEST(QuerySpec, Defaults) {
  QuerySpec spec;
  EXPECT_EQ(spec.rrf_k, 60.0f);
  EXPECT_EQ(spec.offset, 0u);
  EXPECT_FALSE(spec.limit || spec.order_by || spec.select || spec.mmr_lambda || spec.approx);
  EXPECT_EQ(QueryRow{}.score, 0.0f);
}

TEST(QuerySpec, FusionConstantMustBeFinitePositive) {
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(Message(60.0f, std::nullopt), "ok");
  EXPECT_EQ(Message(std::numeric_limits<float>::denorm_min(), std::nullopt), "ok");
  EXPECT_EQ(Message(0.0f, std::nullopt), "fuse_rrf: k must be > 0, got 0");
  EXPECT_EQ(Message(-0.0f, std::nullopt), "fuse_rrf: k must be > 0, got -0");
  EXPECT_EQ(Message(-1.5f, std::nullopt), "fuse_rrf: k must be > 0, got -1.5");
  EXPECT_EQ(Message(inf, std::nullopt), "fuse_rrf: k must be > 0, got inf");
  EXPECT_EQ(Message(-inf, std::nullopt), "fuse_rrf: k must be > 0, got -inf");
  EXPECT_EQ(Message(std::nanf(""), std::nullopt), "fuse_rrf: k must be > 0, got NaN");
  EXPECT_EQ(Message(-1e20f, std::nullopt), "fuse_rrf: k must be > 0, got -100000000000000000000");
}

TEST(QuerySpec, LambdaMustLieInUnitInterval) {
  EXPECT_EQ(Message(60.0f, 0.0f), "ok");
  EXPECT_EQ(Message(60.0f, 1.0f), "ok");
  EXPECT_EQ(Message(60.0f, 1.5f), "rerank_mmr: lambda must be in [0, 1], got 1.5");
  EXPECT_EQ(Message(60.0f, -0.1f), "rerank_mmr: lambda must be in [0, 1], got -0.1");
  EXPECT_EQ(Message(60.0f, std::nanf("")), "rerank_mmr: lambda must be in [0, 1], got NaN");
  // Both wrong: only the constant is reported.
  EXPECT_EQ(Message(0.0f, 2.0f), "fuse_rrf: k must be > 0, got 0");
}

}  // namespace
}  // namespace pallix
