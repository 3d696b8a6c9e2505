#include "index/index_state.h"

#include <cstdint>

#include "base/coding.h"
#include "base/lock.h"
#include "doc/value.h"

namespace pallix {

namespace {

constexpr char kMarker = '\xFF';
constexpr char kComplete = 0;
constexpr char kHasCursor = 1;

std::string Namespace(std::string_view prefix, std::string_view collection, std::string_view field) {
  std::string out(prefix);
  out.append(collection);
  out.append("__");
  out.append(field);
  return out;
}

// The state a damaged value decodes to: rebuild from the first row.
IndexState Restart() { return IndexState{std::string(), std::string()}; }

}  // namespace

std::string scalar_namespace(std::string_view collection, std::string_view field) {
  return Namespace("__scalar__", collection, field);
}
std::string geo_namespace(std::string_view collection, std::string_view field) {
  return Namespace("__geo__", collection, field);
}
std::string text_namespace(std::string_view collection, std::string_view field) {
  return Namespace("__dfts__", collection, field);
}
std::string vector_namespace(std::string_view collection, std::string_view field) {
  return Namespace("__dann__", collection, field);
}

std::string compound_table_name(std::string_view collection, const std::vector<std::string>& fields) {
  std::string joined;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) joined.push_back('\x01');
    joined.append(fields[i]);
  }
  return Namespace("__cscalar__", collection, joined);
}

std::string registry_key(std::string_view collection, std::string_view field) {
  std::string out(collection);
  out.push_back('\0');
  out.append(field);
  return out;
}

std::optional<std::pair<std::string, std::string>> split_index_key(std::string_view key) {
  size_t zero = key.find('\0');
  if (zero == std::string_view::npos) return std::nullopt;
  std::string_view collection = key.substr(0, zero), field = key.substr(zero + 1);
  if (!IsValidUtf8(collection) || !IsValidUtf8(field)) return std::nullopt;
  return std::make_pair(std::string(collection), std::string(field));
}

std::string compound_registry_key(std::string_view collection, const std::vector<std::string>& fields) {
  std::string out(collection);
  for (const std::string& f : fields) {
    out.push_back('\0');
    out.append(f);
  }
  return out;
}

std::optional<std::pair<std::string, std::vector<std::string>>> parse_compound_registry_key(std::string_view key) {
  size_t zero = key.find('\0');
  if (zero == std::string_view::npos) return std::nullopt;
  std::string_view collection = key.substr(0, zero);
  if (!IsValidUtf8(collection)) return std::nullopt;
  std::vector<std::string> fields;
  std::string_view rest = key.substr(zero + 1);
  while (true) {
    size_t next = rest.find('\0');
    std::string_view piece = rest.substr(0, next);
    if (!IsValidUtf8(piece)) return std::nullopt;
    fields.emplace_back(piece);
    if (next == std::string_view::npos) break;
    rest = rest.substr(next + 1);
  }
  return std::make_pair(std::string(collection), std::move(fields));
}

std::string encode_index_state(std::string_view payload, const std::optional<std::string>& cursor) {
  std::string out;
  out.push_back(kMarker);
  if (cursor) {
    PALLIX_INVARIANT(cursor->size() <= UINT32_MAX, "index build cursor exceeds 4 GiB");
    out.push_back(kHasCursor);
    PutFixed32BE(&out, static_cast<uint32_t>(cursor->size()));
    out.append(*cursor);
  } else {
    out.push_back(kComplete);
  }
  out.append(payload);
  return out;
}

IndexState decode_index_state(std::string_view bytes) {
  if (bytes.empty()) return IndexState{};
  if (bytes[0] != kMarker) return IndexState{std::string(bytes), std::nullopt};
  if (bytes.size() < 2) return Restart();
  if (bytes[1] == kComplete) return IndexState{std::string(bytes.substr(2)), std::nullopt};
  if (bytes[1] != kHasCursor || bytes.size() < 6) return Restart();
  uint32_t len = DecodeFixed32BE(bytes.data() + 2);
  if (len > bytes.size() - 6) return Restart();
  return IndexState{std::string(bytes.substr(6 + len)), std::string(bytes.substr(6, len))};
}

}  // namespace pallix
