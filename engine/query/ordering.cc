#include "query/ordering.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace pallix {

namespace {

bool IsNan(const Value& v) { return v.is_float() && std::isnan(v.as_float()); }

// 0 orderable, 1 present but unorderable, 2 missing.
int OrderClass(const Value* v) {
  if (v == nullptr) return 2;
  if (v->is_int() || v->is_text() || (v->is_float() && !IsNan(*v))) return 0;
  return 1;
}

// The value order of two present values of one class: a number before a
// non-number, then value_partial_cmp; unordered pairs tie.
std::weak_ordering CompareValues(const Value& a, const Value& b) {
  if (a.is_number() != b.is_number()) return a.is_number() ? std::weak_ordering::less : std::weak_ordering::greater;
  std::partial_ordering o = value_partial_cmp(a, b);
  if (o == std::partial_ordering::less) return std::weak_ordering::less;
  if (o == std::partial_ordering::greater) return std::weak_ordering::greater;
  return std::weak_ordering::equivalent;
}

std::weak_ordering Reverse(std::weak_ordering o) { return 0 <=> o; }

}  // namespace

std::weak_ordering CompareKeys(std::string_view a, std::string_view b) {
  // string_view compares bytes as unsigned char (char_traits<char>::compare
  // is memcmp), then the shorter first.
  int c = a.compare(b);
  return c < 0 ? std::weak_ordering::less : c > 0 ? std::weak_ordering::greater : std::weak_ordering::equivalent;
}

std::weak_ordering compare_rows_for_order(const Value* a, const Value* b, bool descending, std::string_view key_a,
                                          std::string_view key_b) {
  int ca = OrderClass(a);
  int cb = OrderClass(b);
  if (ca != cb) return ca <=> cb;
  if (ca != 2) {
    std::weak_ordering o = CompareValues(*a, *b);
    if (o != 0) return descending ? Reverse(o) : o;
  }
  return CompareKeys(key_a, key_b);
}

std::vector<size_t> OrderPermutation(const std::vector<const Value*>& values, const std::vector<std::string_view>& keys,
                                     bool descending) {
  std::vector<size_t> perm(values.size());
  std::iota(perm.begin(), perm.end(), size_t{0});
  std::stable_sort(perm.begin(), perm.end(), [&](size_t x, size_t y) {
    return compare_rows_for_order(values[x], values[y], descending, keys[x], keys[y]) < 0;
  });
  return perm;
}

void sort_rows_by_order(std::vector<QueryRow>& rows, std::string_view field, bool descending) {
  SortByOrder(
      rows, field, descending, [](const QueryRow& r) { return &r.document; },
      [](const QueryRow& r) { return std::string_view(r.key); });
}

}  // namespace pallix
