#include "doc/utf8.h"

#include <cstdint>
#include <cstring>
#include <optional>

namespace pallix {

namespace {

// Where bytes first stop being valid UTF-8, or nullopt when they are
// valid: the one scan behind both the check and the error's text.
struct Utf8Fault {
  size_t at;
  int length;       // the bytes of the sequence that were read, 0: cut short
};

std::optional<Utf8Fault> FindUtf8Fault(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  size_t i = 0;
  auto cont = [](unsigned char c) { return (c & 0xC0) == 0x80; };
  while (i < n) {
    // ASCII fast path: sixteen bytes, then eight, at a time.
    while (i + 16 <= n) {
      uint64_t w0, w1;
      std::memcpy(&w0, p + i, 8);
      std::memcpy(&w1, p + i + 8, 8);
      if ((w0 | w1) & 0x8080808080808080ULL) break;
      i += 16;
    }
    while (i + 8 <= n) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      if (w & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    if (c >= 0xC2 && c <= 0xDF) {
      if (i + 1 >= n) return Utf8Fault{i, 0};
      if (!cont(p[i + 1])) return Utf8Fault{i, 1};
      i += 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      if (i + 1 >= n) return Utf8Fault{i, 0};
      unsigned char c1 = p[i + 1];
      bool ok = (c == 0xE0) ? (c1 >= 0xA0 && c1 <= 0xBF) : (c == 0xED) ? (c1 >= 0x80 && c1 <= 0x9F) : cont(c1);
      if (!ok) return Utf8Fault{i, 1};
      if (i + 2 >= n) return Utf8Fault{i, 0};
      if (!cont(p[i + 2])) return Utf8Fault{i, 2};
      i += 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      if (i + 1 >= n) return Utf8Fault{i, 0};
      unsigned char c1 = p[i + 1];
      bool ok = (c == 0xF0) ? (c1 >= 0x90 && c1 <= 0xBF) : (c == 0xF4) ? (c1 >= 0x80 && c1 <= 0x8F) : cont(c1);
      if (!ok) return Utf8Fault{i, 1};
      if (i + 2 >= n) return Utf8Fault{i, 0};
      if (!cont(p[i + 2])) return Utf8Fault{i, 2};
      if (i + 3 >= n) return Utf8Fault{i, 0};
      if (!cont(p[i + 3])) return Utf8Fault{i, 3};
      i += 4;
    } else {
      return Utf8Fault{i, 1};
    }
  }
  return std::nullopt;
}

}  // namespace

bool IsValidUtf8(std::string_view bytes) { return !FindUtf8Fault(bytes); }

std::string DescribeUtf8Fault(std::string_view bytes) {
  const std::optional<Utf8Fault> fault = FindUtf8Fault(bytes);
  if (!fault) return {};
  if (fault->length == 0) return "incomplete utf-8 byte sequence from index " + std::to_string(fault->at);
  return "invalid utf-8 sequence of " + std::to_string(fault->length) + " bytes from index " +
         std::to_string(fault->at);
}

}  // namespace pallix
