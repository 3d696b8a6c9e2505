#include "engine/value.h"

#include <gtest/gtest.h>

namespace pallix {
namespace {

TEST(ValueTest, NullRoundTrip) {
  auto v = decode_value(std::string(1, '\0'));
  ASSERT_TRUE(v.has_value());
  EXPECT_TRUE(v->is_null());
}

}  // namespace
}  // namespace pallix
