#include "query/byte_search.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace pallix {

namespace {

using Byte = unsigned char;
using std::ptrdiff_t;

// The start of the maximal suffix of x under the byte order (or under its
// reverse when `reversed`), and that suffix's period in *period.
ptrdiff_t MaximalSuffix(const Byte* x, ptrdiff_t m, bool reversed, ptrdiff_t* period) {
  ptrdiff_t ms = -1, j = 0, k = 1, p = 1;
  while (j + k < m) {
    Byte a = x[j + k];
    Byte b = x[ms + k];
    if (reversed ? a > b : a < b) {
      j += k;
      k = 1;
      p = j - ms;
    } else if (a == b) {
      if (k != p) {
        ++k;
      } else {
        j += p;
        k = 1;
      }
    } else {
      ms = j;
      j = ms + 1;
      k = p = 1;
    }
  }
  *period = p;
  return ms;
}

// Needle x whose critical factorisation at `ell` has period `per` in full:
// the search remembers how much of the right half matched last time.
bool SearchPeriodic(const Byte* x, ptrdiff_t m, const Byte* y, ptrdiff_t n, ptrdiff_t ell, ptrdiff_t per) {
  ptrdiff_t j = 0, memory = -1;
  while (j <= n - m) {
    ptrdiff_t i = std::max(ell, memory) + 1;
    while (i < m && x[i] == y[i + j]) ++i;
    if (i >= m) {
      i = ell;
      while (i > memory && x[i] == y[i + j]) --i;
      if (i <= memory) return true;
      j += per;
      memory = m - per - 1;
    } else {
      j += i - ell;
      memory = -1;
    }
  }
  return false;
}

bool SearchAperiodic(const Byte* x, ptrdiff_t m, const Byte* y, ptrdiff_t n, ptrdiff_t ell) {
  ptrdiff_t per = std::max(ell + 1, m - ell - 1) + 1;
  ptrdiff_t j = 0;
  while (j <= n - m) {
    ptrdiff_t i = ell + 1;
    while (i < m && x[i] == y[i + j]) ++i;
    if (i >= m) {
      i = ell;
      while (i >= 0 && x[i] == y[i + j]) --i;
      if (i < 0) return true;
      j += per;
    } else {
      j += i - ell;
    }
  }
  return false;
}

}  // namespace

bool ContainsBytes(std::string_view haystack, std::string_view needle) {
  if (needle.empty()) return true;
  if (needle.size() > haystack.size()) return false;
  const Byte* x = reinterpret_cast<const Byte*>(needle.data());
  const Byte* y = reinterpret_cast<const Byte*>(haystack.data());
  auto m = static_cast<ptrdiff_t>(needle.size());
  auto n = static_cast<ptrdiff_t>(haystack.size());
  if (m == 1) return std::memchr(y, x[0], haystack.size()) != nullptr;
  ptrdiff_t p, q;
  ptrdiff_t i = MaximalSuffix(x, m, false, &p);
  ptrdiff_t j = MaximalSuffix(x, m, true, &q);
  ptrdiff_t ell = i > j ? i : j;
  ptrdiff_t per = i > j ? p : q;
  // The suffix's period never exceeds its length, so x + per stays inside x.
  if (per + ell + 1 <= m && std::memcmp(x, x + per, static_cast<size_t>(ell + 1)) == 0)
    return SearchPeriodic(x, m, y, n, ell, per);
  return SearchAperiodic(x, m, y, n, ell);
}

}  // namespace pallix
