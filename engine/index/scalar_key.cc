#include "index/scalar_key.h"

#include <bit>

#include "base/coding.h"

namespace pallix {

namespace {

constexpr uint64_t kSignBit = uint64_t{1} << 63;

void AppendTerminator(std::string& out) { out.append(2, '\0'); }

// Appends type byte and escaped payload (the bound).
bool AppendBound(const Value& value, std::string& out) {
  switch (value.kind()) {
    case ValueKind::kBool:
      out.push_back(static_cast<char>(kKeyTypeBool));
      append_escaped(value.as_bool() ? std::string_view("\x01", 1) : std::string_view("\0", 1), out);
      return true;
    case ValueKind::kInt:
    case ValueKind::kFloat: {
      out.push_back(static_cast<char>(kKeyTypeNumber));
      char be[8];
      EncodeFixed64BE(be, number_key_bits(value.as_number()));
      append_escaped(std::string_view(be, 8), out);
      return true;
    }
    case ValueKind::kText:
      out.push_back(static_cast<char>(kKeyTypeText));
      append_escaped(value.as_text(), out);
      return true;
    default:
      return false;
  }
}

}  // namespace

std::optional<uint8_t> scalar_key_type(const Value& value) {
  switch (value.kind()) {
    case ValueKind::kBool: return kKeyTypeBool;
    case ValueKind::kInt:
    case ValueKind::kFloat: return kKeyTypeNumber;
    case ValueKind::kText: return kKeyTypeText;
    default: return std::nullopt;
  }
}

uint64_t number_key_bits(double x) {
  // Both zeros share one key, so 0 and -0.0 meet in one index position.
  if (x == 0.0) x = 0.0;
  uint64_t b = std::bit_cast<uint64_t>(x);
  return (b & kSignBit) != 0 ? ~b : b ^ kSignBit;
}

void append_escaped(std::string_view bytes, std::string& out) {
  for (char c : bytes) {
    out.push_back(c);
    if (c == '\0') out.push_back('\x01');
  }
}

bool append_scalar_key(const Value& value, std::string& out) {
  size_t mark = out.size();
  if (!AppendBound(value, out)) {
    out.resize(mark);
    return false;
  }
  AppendTerminator(out);
  return true;
}

std::optional<std::string> encode_scalar_key(const Value& value) {
  std::string out;
  if (!append_scalar_key(value, out)) return std::nullopt;
  return out;
}

std::optional<std::string> scalar_key_bound(const Value& value) {
  std::string out;
  if (!AppendBound(value, out)) return std::nullopt;
  return out;
}

std::optional<std::string> compound_key(std::span<const Value* const> values) {
  std::string out;
  for (const Value* v : values) {
    if (!append_scalar_key(*v, out)) return std::nullopt;
  }
  return out;
}

std::optional<size_t> find_key_terminator(std::string_view key, size_t start) {
  if (start > key.size() || key.size() - start < 3) return std::nullopt;
  size_t i = start + 1;
  while (i + 1 < key.size()) {
    if (key[i] != '\0') {
      ++i;
    } else if (key[i + 1] == '\0') {
      return i;
    } else {
      i += 2;
    }
  }
  return std::nullopt;
}

std::optional<std::string_view> doc_key_from_scalar_key(std::string_view key) {
  std::optional<size_t> t = find_key_terminator(key);
  if (!t) return std::nullopt;
  return key.substr(*t + 2);
}

std::optional<double> decode_scalar_key(std::string_view key) {
  std::optional<size_t> t = find_key_terminator(key);
  if (!t) return std::nullopt;
  char payload[8];
  size_t n = 0;
  for (size_t i = 1; i < *t; ++i) {
    if (n == 8) return std::nullopt;
    payload[n++] = key[i];
    if (key[i] == '\0') ++i;  // the escape byte after a 0x00
  }
  if (n != 8) return std::nullopt;
  uint64_t w = DecodeFixed64BE(payload);
  w = (w & kSignBit) != 0 ? w & ~kSignBit : ~w;
  return std::bit_cast<double>(w);
}

std::string byte_list(std::string_view bytes) {
  std::string out = "[";
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(static_cast<uint8_t>(bytes[i]));
  }
  out += "]";
  return out;
}

Result<ParsedScalarKey> parse_scalar_key(std::string_view ns, std::string_view key) {
  const std::string where = "index namespace '" + std::string(ns) + "'";
  if (key.empty()) return Fail(EngineError::CorruptIndex("empty index key in " + where));
  std::optional<size_t> t = find_key_terminator(key);
  if (!t) return Fail(EngineError::CorruptIndex("index key without a value terminator in " + where + ": " + byte_list(key)));
  ParsedScalarKey parsed{key.substr(0, *t), key.substr(*t + 2), std::nullopt};
  if (static_cast<uint8_t>(key[0]) == kKeyTypeNumber) {
    parsed.number = decode_scalar_key(key);
    if (!parsed.number)
      return Fail(EngineError::CorruptIndex("numeric index key payload is not 8 bytes in " + where + ": " + byte_list(key)));
  }
  return parsed;
}

}  // namespace pallix
