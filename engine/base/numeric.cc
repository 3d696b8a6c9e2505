#include "base/numeric.h"

#include <charconv>

namespace pallix {
namespace {

template <typename F>
std::string Format(F x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  // The longest positional form of a double is the smallest subnormal,
  // "0." plus 323 zeros and a digit; 512 bytes cover every value.
  char buf[512];
  auto res = std::to_chars(buf, buf + sizeof(buf), x, std::chars_format::fixed);
  return std::string(buf, res.ptr);
}

}  // namespace

std::string FormatFloat(double x) { return Format(x); }
std::string FormatFloat32(float x) { return Format(x); }

}  // namespace pallix
