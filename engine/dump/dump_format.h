// The dump file: a portable, logical image of one database (documents,
// index declarations, schemas, expiry instants, auto-id counters, edges),
// written by dump_writer and replayed by dump_loader. It holds no storage
// layout: collection ids, row counts, index entries and adjacency rows are
// rebuilt by the loader through the ordinary engine operations.
//
// Byte order little-endian; no alignment, no padding, no checksum.
//
//   offset  size  field
//   0       12    magic "PALLIXDUMPv2" (version 1: "PALLIXDUMPv1")
//   12      ...   ten sections, in this order, each:
//                   u64 entry count, then the entries back to back
//
// Primitives: u8; u64 and f64 (IEEE bits) as 8 bytes; len = 8 bytes in
// version 2, 4 bytes in version 1 (lengths of bytes/str and the element
// counts m, k, n below); bytes and str = len n, then n bytes (str: UTF-8).
// Section counts and u64 fields are 8 bytes in both versions.
//
//   #   section (word in messages)   entry (every entry starts with
//                                    collection: str)
//   1   documents ("records")        key bytes, document bytes (the stored
//                                    Value encoding, verbatim)
//   2   vector indexes               field str, metric u8 (0 cosine, 1 dot,
//       ("vector index")             2 l2), quantization u8 (0 none,
//                                    1 binary, 2 scalar), kind u8 (0 memory,
//                                    1 disk, 2 disk PQ, 3 memory PQ); kinds
//                                    2 and 3 add m len, k len
//   3   text indexes ("text index")  field str, on_disk u8 (0 memory)
//   4   scalar indexes               field str
//       ("scalar index")
//   5   compound indexes ("index")   n len, then n field str, declared order
//   6   geo indexes ("geo index")    field str
//   7   schemas ("schema")           n len, then n times: type u8 (0..8),
//                                    required u8, unique u8, name str
//   8   expiry instants ("TTL")      key bytes, expires_at u64 (the signed
//                                    instant's two's-complement bits)
//   9   auto-id counters             counter u64
//       ("auto-ids")
//   10  edges ("edges")              relation str, from bytes, to bytes,
//                                    weight f64
//
// The file ends with the last entry of section 10; later bytes are never
// read. Documents come first so that declarations replayed after them are
// built over stored rows. The magic, the section order and every field
// above are a file format: never change them.
//
// Thread-safety: constants and pure encoders.

#ifndef PALLIX_DUMP_DUMP_FORMAT_H_
#define PALLIX_DUMP_DUMP_FORMAT_H_

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/coding.h"

namespace pallix {

inline constexpr std::string_view kDumpMagic = "PALLIXDUMPv2";
inline constexpr std::string_view kDumpMagicV1 = "PALLIXDUMPv1";
inline constexpr int kDumpSections = 10;

// Section words, as the loader's messages name them.
inline constexpr const char* kDumpSectionWords[kDumpSections] = {
    "records", "vector index", "text index", "scalar index", "index", "geo index", "schema", "TTL", "auto-ids", "edges"};

// Appends the version-2 primitives to out.
inline void dump_put_u8(std::string& out, uint8_t v) { out.push_back(static_cast<char>(v)); }
inline void dump_put_u64(std::string& out, uint64_t v) { PutFixed64LE(&out, v); }
inline void dump_put_f64(std::string& out, double v) { PutFixed64LE(&out, std::bit_cast<uint64_t>(v)); }
inline void dump_put_bytes(std::string& out, std::string_view bytes) {
  PutFixed64LE(&out, bytes.size());
  out.append(bytes);
}

}  // namespace pallix

#endif  // PALLIX_DUMP_DUMP_FORMAT_H_
