#include "binding/repr.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdio>

namespace pallix::py {

namespace {

bool Printable(UChar32 c) {
  if (c == ' ') return true;
  switch (u_charType(c)) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_SURROGATE:
    case U_PRIVATE_USE_CHAR:
    case U_UNASSIGNED:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
    case U_SPACE_SEPARATOR:
      return false;
    default:
      return true;
  }
}

}  // namespace

std::string QuoteText(std::string_view utf8) {
  std::string out = "\"";
  const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
  int32_t i = 0, n = static_cast<int32_t>(utf8.size());
  while (i < n) {
    int32_t start = i;
    UChar32 c;
    U8_NEXT(s, i, n, c);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\t': out += "\\t"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (c < 0 || u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND) || !Printable(c)) {
      char buf[16];
      std::snprintf(buf, sizeof(buf), "\\u{%x}", c < 0 ? 0xFFFD : static_cast<unsigned>(c));
      out += buf;
    } else {
      out.append(utf8.substr(start, i - start));
    }
  }
  out += '"';
  return out;
}

}  // namespace pallix::py
