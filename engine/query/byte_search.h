// Plain byte-substring search in linear time, for the `contains` filter.
//
// A filter's needle and the documents it scans both come from callers, so a
// quadratic search (the naive scan, or memmem on some platforms) would let a
// hostile needle such as "aaa...ab" over "aaa...a" cost length x length per
// document. The two-way algorithm of Crochemore and Perrin runs in time
// linear in the haystack, in constant extra space, and allocates nothing.
//
// Thread-safety: pure function.

#ifndef PALLIX_QUERY_BYTE_SEARCH_H_
#define PALLIX_QUERY_BYTE_SEARCH_H_

#include <string_view>

namespace pallix {

// True when needle occurs in haystack as a contiguous byte run. An empty
// needle occurs everywhere.
bool ContainsBytes(std::string_view haystack, std::string_view needle);

}  // namespace pallix

#endif  // PALLIX_QUERY_BYTE_SEARCH_H_
