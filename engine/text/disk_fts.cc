#include "text/disk_fts.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "base/coding.h"
#include "text/text.h"

namespace pallix {
namespace {

constexpr size_t kMetaBytes = 16;
constexpr size_t kHeaderBytes = 8;  // document length and a count

uint64_t SaturatingSub(uint64_t a, uint64_t b) { return a > b ? a - b : 0; }

// The distinct terms of a forward row with the document length; false for
// a malformed row. Every length is checked against the bytes left first.
// Kept out of line: inlined into its caller, GCC 12 warns that the bytes of
// a short string may be uninitialised although every read is bounds-checked.
[[gnu::noinline]] bool ParseForward(std::string_view value, uint32_t& doc_length, std::vector<std::string_view>& terms) {
  if (value.size() < kHeaderBytes) return false;
  doc_length = DecodeFixed32LE(value.data());
  const uint32_t n = DecodeFixed32LE(value.data() + 4);
  ByteCursor in(value.substr(kHeaderBytes));
  if (n > in.Left() / 4) return false;
  terms.reserve(n);
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t len;
    std::string_view term;
    if (!in.U32(len) || !in.Take(len, term) || !IsValidUtf8(term)) return false;
    terms.push_back(term);
  }
  return true;
}

// Term -> ascending positions, from the analysed tokens; positions past
// 2^32 - 1 cannot be stored, so a longer text is indexed up to there.
std::map<std::string, std::vector<uint32_t>> GroupPositions(const std::vector<std::string>& tokens, uint32_t length) {
  std::map<std::string, std::vector<uint32_t>> terms;
  for (uint32_t i = 0; i < length; ++i) terms[tokens[i]].push_back(i);
  return terms;
}

std::string PostingValue(uint32_t length, const std::vector<uint32_t>& positions) {
  std::string v;
  PutFixed32LE(&v, length);
  PutFixed32LE(&v, static_cast<uint32_t>(positions.size()));
  for (uint32_t p : positions) PutFixed32LE(&v, p);
  return v;
}

std::string ForwardValue(uint32_t length, const std::map<std::string, std::vector<uint32_t>>& terms) {
  std::string v;
  PutFixed32LE(&v, length);
  PutFixed32LE(&v, static_cast<uint32_t>(terms.size()));
  for (const auto& [term, positions] : terms) {
    PutFixed32LE(&v, static_cast<uint32_t>(term.size()));
    v.append(term);
  }
  return v;
}

Status PutMeta(WriteCtx& ctx, std::string_view ns, const DftsMeta& meta) {
  return put_row(ctx, ns, dfts_meta_key(), dfts_meta_value(meta.doc_count, meta.total_tokens));
}

}  // namespace

std::string dfts_namespace(std::string_view collection, std::string_view field) {
  return "__dfts__" + std::string(collection) + "__" + std::string(field);
}

std::string dfts_posting_prefix(std::string_view term) {
  std::string out(1, kDftsPostingTag);
  PutFixed32BE(&out, static_cast<uint32_t>(term.size()));
  out.append(term);
  return out;
}

std::string dfts_posting_key(std::string_view term, std::string_view key) {
  std::string out = dfts_posting_prefix(term);
  out.append(key);
  return out;
}

std::string dfts_forward_key(std::string_view key) {
  std::string out(1, kDftsForwardTag);
  out.append(key);
  return out;
}

std::string dfts_meta_key() { return std::string(1, kDftsMetaTag); }

std::string dfts_meta_value(uint64_t count, uint64_t total) {
  std::string out;
  PutFixed64LE(&out, count);
  PutFixed64LE(&out, total);
  return out;
}

DftsMeta dfts_parse_meta(std::string_view value) {
  if (value.size() < kMetaBytes) return {};
  return {DecodeFixed64LE(value.data()), DecodeFixed64LE(value.data() + 8)};
}

namespace {

// The document length and the number of positions a posting value holds by
// the lenient rule of the layout: a short value has neither, and a count
// past the end is cut to the positions present.
void ParsePostingHeader(std::string_view value, uint32_t& doc_length, uint32_t& tf) {
  doc_length = 0;
  tf = 0;
  if (value.size() < kHeaderBytes) return;
  doc_length = DecodeFixed32LE(value.data());
  const uint64_t stored = DecodeFixed32LE(value.data() + 4);
  tf = static_cast<uint32_t>(std::min<uint64_t>(stored, (value.size() - kHeaderBytes) / 4));
}

}  // namespace

DftsPosting dfts_parse_posting(std::string_view value) {
  DftsPosting posting;
  uint32_t n;
  ParsePostingHeader(value, posting.doc_length, n);
  posting.positions.resize(n);
  for (uint64_t i = 0; i < n; ++i) posting.positions[i] = DecodeFixed32LE(value.data() + kHeaderBytes + i * 4);
  return posting;
}

void DftsPostings::Add(std::string_view doc_key, std::string_view value) {
  uint32_t doc_length, tf;
  ParsePostingHeader(value, doc_length, tf);
  const size_t at = bytes_.size();
  const size_t positions = size_t{tf} * 4;
  bytes_.resize(at + doc_key.size() + positions);
  char* out = bytes_.data() + at;
  if (!doc_key.empty()) std::memcpy(out, doc_key.data(), doc_key.size());
  if (positions != 0) std::memcpy(out + doc_key.size(), value.data() + kHeaderBytes, positions);
  // Field by field into place: a row built on the stack and copied in is
  // read back wider than it was written, which stalls on every row.
  RowRef& row = rows_.emplace_back();
  row.at = at;
  row.key_size = static_cast<uint32_t>(doc_key.size());
  row.doc_length = doc_length;
  row.tf = tf;
}

void DftsPostings::Positions(size_t i, std::vector<uint32_t>& out) const {
  const RowRef& row = rows_[i];
  const char* p = bytes_.data() + row.at + row.key_size;
  out.resize(row.tf);
  for (uint32_t j = 0; j < row.tf; ++j) out[j] = DecodeFixed32LE(p + size_t{j} * 4);
}

// ------------------------------------------------------------ upkeep

Status dfts_index_document(WriteCtx& ctx, std::string_view ns, std::string_view key, std::string_view text) {
  ASSIGN_OR_RETURN(DftsMeta meta, dfts_read_meta(ctx, ns));
  // Previous rows of the key go first; when there were some, meta is
  // already lowered by that document.
  RETURN_IF_ERROR(dfts_delete_postings(ctx, ns, key, meta));
  const std::vector<std::string> tokens = analyze_text(text);
  const auto length = static_cast<uint32_t>(std::min<size_t>(tokens.size(), UINT32_MAX));
  const auto terms = GroupPositions(tokens, length);
  for (const auto& [term, positions] : terms) {
    RETURN_IF_ERROR(put_row(ctx, ns, dfts_posting_key(term, key), PostingValue(length, positions)));
  }
  RETURN_IF_ERROR(put_row(ctx, ns, dfts_forward_key(key), ForwardValue(length, terms)));
  meta.doc_count += 1;
  meta.total_tokens += length;
  return PutMeta(ctx, ns, meta);
}

Result<bool> dfts_delete_postings(WriteCtx& ctx, std::string_view ns, std::string_view key, DftsMeta& meta) {
  const std::string forward_key = dfts_forward_key(key);
  ASSIGN_OR_RETURN(std::optional<std::string> forward, get_row(ctx, ns, forward_key));
  if (!forward.has_value()) return false;
  uint32_t length = 0;
  std::vector<std::string_view> terms;
  if (!ParseForward(*forward, length, terms)) return false;
  for (std::string_view term : terms) {
    // A posting row already missing is nothing to undo.
    RETURN_IF_ERROR(delete_row_counted(ctx, ns, dfts_posting_key(term, key)));
  }
  RETURN_IF_ERROR(delete_row_counted(ctx, ns, forward_key));
  meta.doc_count = SaturatingSub(meta.doc_count, 1);
  meta.total_tokens = SaturatingSub(meta.total_tokens, length);
  return true;
}

Status dfts_delete_document_rows(WriteCtx& ctx, std::string_view ns, std::string_view key) {
  ASSIGN_OR_RETURN(DftsMeta meta, dfts_read_meta(ctx, ns));
  ASSIGN_OR_RETURN(bool removed, dfts_delete_postings(ctx, ns, key, meta));
  if (!removed) return Ok();
  return PutMeta(ctx, ns, meta);
}

Status dfts_upkeep_document(WriteCtx& ctx, std::string_view ns, std::string_view field, std::string_view key,
                            const Value* document) {
  const Value* text = document != nullptr ? get_path(*document, field) : nullptr;
  if (text != nullptr && text->is_text()) return dfts_index_document(ctx, ns, key, text->as_text());
  return dfts_delete_document_rows(ctx, ns, key);
}

Status dfts_clear(WriteCtx& ctx, std::string_view ns) { return clear_collection_rows(ctx, ns); }

// ------------------------------------------------------------ reads

Result<DftsMeta> dfts_read_meta(WriteCtx& ctx, std::string_view ns) {
  ASSIGN_OR_RETURN(std::optional<std::string> row, get_row(ctx, ns, dfts_meta_key()));
  return row.has_value() ? dfts_parse_meta(*row) : DftsMeta{};
}

Result<DftsMeta> dfts_read_meta_ro(const ReadView& view, std::string_view ns) {
  ASSIGN_OR_RETURN(std::optional<std::string> row, view.view_get(ns, dfts_meta_key()));
  return row.has_value() ? dfts_parse_meta(*row) : DftsMeta{};
}

Result<std::optional<uint32_t>> dfts_read_doc_length(const ReadView& view, std::string_view ns, std::string_view key) {
  ASSIGN_OR_RETURN(std::optional<std::string> row, view.view_get(ns, dfts_forward_key(key)));
  uint32_t length = 0;
  std::vector<std::string_view> terms;
  if (!row.has_value() || !ParseForward(*row, length, terms)) return std::optional<uint32_t>();
  return std::optional<uint32_t>(length);
}

Result<std::vector<DftsPosting>> dfts_read_postings(const ReadView& view, std::string_view ns, std::string_view term) {
  const std::string prefix = dfts_posting_prefix(term);
  ASSIGN_OR_RETURN(std::vector<Row> rows, view.view_scan_prefix(ns, prefix));
  std::vector<DftsPosting> out;
  out.reserve(rows.size());
  for (const Row& row : rows) {
    DftsPosting posting = dfts_parse_posting(row.value);
    posting.key = row.key.substr(prefix.size());
    out.push_back(std::move(posting));
  }
  return out;
}

Status dfts_for_each_posting(const ReadView& view, std::string_view ns, std::string_view term,
                             const std::function<void(std::string_view, std::string_view)>& fn) {
  const std::string prefix = dfts_posting_prefix(term);
  return view.view_for_each_prefix(ns, prefix, [&](std::string_view key, std::string_view value) -> Result<bool> {
    fn(key.substr(prefix.size()), value);
    return true;
  });
}

Status dfts_read_posting_rows(const ReadView& view, std::string_view ns, std::string_view term, DftsPostings& out) {
  out.Clear();
  return dfts_for_each_posting(view, ns, term, [&](std::string_view key, std::string_view value) { out.Add(key, value); });
}

}  // namespace pallix
