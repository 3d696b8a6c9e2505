#include "base/numeric.h"

#include <charconv>
#include <string_view>

namespace pallix {
namespace {

// Shortest round-tripping digits come from the scientific form (fixed-format
// to_chars breaks ties towards the exact binary value, so 1e20f would print
// as 100000002004087734272); they are then laid out positionally.
template <typename F>
std::string Format(F x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof(buf), x, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
  size_t e = sci.find('e');
  std::string out;
  std::string digits;
  for (char c : sci.substr(0, e)) {
    if (c == '-') out.push_back('-');
    else if (c != '.') digits.push_back(c);
  }
  std::string_view exp_text = sci.substr(e + 1);
  if (exp_text.front() == '+') exp_text.remove_prefix(1);
  int exp = 0;
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exp);
  auto n = static_cast<int>(digits.size());
  if (exp >= n - 1) {
    out += digits + std::string(static_cast<size_t>(exp - (n - 1)), '0');
  } else if (exp >= 0) {
    out += digits.substr(0, static_cast<size_t>(exp + 1)) + "." + digits.substr(static_cast<size_t>(exp + 1));
  } else {
    out += "0." + std::string(static_cast<size_t>(-exp - 1), '0') + digits;
  }
  return out;
}

}  // namespace

std::string FormatFloat(double x) { return Format(x); }
std::string FormatFloat32(float x) { return Format(x); }

}  // namespace pallix
