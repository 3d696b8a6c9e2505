#include "text/text.h"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/stringpiece.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>

#include "base/lock.h"

namespace pallix {
namespace {

// ------------------------------------------------------------ UTF-8 decoding

// Stands for a byte that does not start a well-formed UTF-8 sequence. It is
// above U+10FFFF, so every class test says no and it separates runs.
constexpr char32_t kIllFormed = 0xFFFFFFFF;

// Decodes the character at p (p < end) into *c and returns its byte length.
// An ill-formed sequence (bad lead byte, missing or bad continuation byte,
// overlong form, surrogate, above U+10FFFF) gives kIllFormed and length 1,
// so the caller resynchronises on the next byte.
size_t DecodeUtf8(const unsigned char* p, const unsigned char* end, char32_t* c) {
  const unsigned b0 = p[0];
  if (b0 < 0x80) {
    *c = b0;
    return 1;
  }
  size_t n;
  char32_t cp, min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2, cp = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3, cp = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    *c = kIllFormed;
    return 1;
  }
  if (static_cast<size_t>(end - p) < n) {
    *c = kIllFormed;
    return 1;
  }
  for (size_t i = 1; i < n; ++i) {
    const unsigned b = p[i];
    if ((b & 0xC0) != 0x80) {
      *c = kIllFormed;
      return 1;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    *c = kIllFormed;
    return 1;
  }
  *c = cp;
  return n;
}

const unsigned char* Bytes(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

std::string_view Span(const unsigned char* from, const unsigned char* to) {
  return {reinterpret_cast<const char*>(from), static_cast<size_t>(to - from)};
}

// ------------------------------------------------------------ lower-casing

constexpr std::array<bool, 128> kAsciiAlnum = [] {
  std::array<bool, 128> t{};
  for (int c = '0'; c <= '9'; ++c) t[c] = true;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = true;
  for (int c = 'a'; c <= 'z'; ++c) t[c] = true;
  return t;
}();

// ICU measures strings in int32_t; a run longer than this is lower-cased in
// pieces (see CaseSafeSplit). Real words are far shorter.
constexpr size_t kMaxCaseMapPiece = size_t{1} << 22;

constexpr char32_t kCapitalSigma = 0x03A3;

// Whether a piece boundary next to c cannot change the mapping of any
// character. In the root locale the only context-dependent lower-case rule
// is the final sigma, which looks outward from a capital sigma across
// case-ignorable characters for a cased letter. A boundary whose two
// neighbours are neither case-ignorable nor capital sigmas stops every such
// look at the same place whether the run is mapped whole or in pieces.
bool StopsSigmaContext(char32_t c) {
  return c != kCapitalSigma && !u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_CASE_IGNORABLE);
}

// A character boundary in (0, limit] of run (valid UTF-8, longer than
// limit) at which run can be split for lower-casing without changing the
// result, or the last boundary at or before limit when the piece holds no
// such place (only possible for a run made entirely of case-ignorable
// letters or sigmas; such a run may then differ in one final sigma).
size_t CaseSafeSplit(std::string_view run, size_t limit) {
  auto is_boundary = [&](size_t i) { return (static_cast<unsigned char>(run[i]) & 0xC0) != 0x80; };
  size_t last = limit;
  while (!is_boundary(last)) --last;
  const unsigned char* p = Bytes(run);
  const unsigned char* end = p + run.size();
  char32_t next;
  DecodeUtf8(p + last, end, &next);
  for (size_t b = last; b > 0;) {
    size_t a = b - 1;
    while (!is_boundary(a)) --a;
    char32_t prev;
    DecodeUtf8(p + a, end, &prev);
    if (StopsSigmaContext(prev) && StopsSigmaContext(next)) return b;
    next = prev;
    b = a;
  }
  return last;
}

void AppendLowerWithIcu(std::string_view piece, std::string& out) {
  UErrorCode status = U_ZERO_ERROR;
  icu::StringByteSink<std::string> sink(&out);
  // "" is ICU's root locale: the result never depends on the process locale
  // or on ICU's default locale (a Turkish default would map I to dotless ı).
  icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(piece.data(), static_cast<int32_t>(piece.size())), sink,
                            nullptr, status);
  // The run is valid UTF-8 and short enough for ICU; only memory exhaustion
  // can fail here.
  PALLIX_INVARIANT(U_SUCCESS(status), "lower-case mapping of a valid word run");
}

// Replaces out with the run lower-cased with the full mapping of the whole
// string. ascii says the run holds only ASCII bytes, which map one to one.
void LowerRunInto(std::string_view run, bool ascii, std::string& out) {
  out.clear();
  if (ascii) {
    out.resize(run.size());
    for (size_t i = 0; i < run.size(); ++i) {
      const auto ch = static_cast<unsigned char>(run[i]);
      // Adds 0x20 exactly to 'A'..'Z', without a branch.
      out[i] = static_cast<char>(ch + (static_cast<unsigned>(static_cast<unsigned>(ch - 'A') < 26u) << 5));
    }
    return;
  }
  out.reserve(run.size());
  while (run.size() > kMaxCaseMapPiece) {
    const size_t cut = CaseSafeSplit(run, kMaxCaseMapPiece);
    AppendLowerWithIcu(run.substr(0, cut), out);
    run.remove_prefix(cut);
  }
  AppendLowerWithIcu(run, out);
}

// Calls fn with each token of one run of CJK characters (UTF-8), as
// emit_cjk_run describes them.
template <typename Fn>
void ForEachCjkToken(std::string_view run, Fn&& fn) {
  const unsigned char* const base = Bytes(run);
  const unsigned char* const end = base + run.size();
  auto next = [&](size_t at) {
    char32_t c;
    return at + DecodeUtf8(base + at, end, &c);
  };
  if (run.empty()) return;
  size_t first = 0, second = next(0);
  if (second == run.size()) {
    fn(run);
    return;
  }
  while (second < run.size()) {
    const size_t third = next(second);
    fn(run.substr(first, third - first));
    first = second;
    second = third;
  }
}

// ------------------------------------------------------------ stop words

// Sorted bytewise, so membership is a bisection.
constexpr std::array<std::string_view, 49> kStopWords = {
    "a",    "an",   "and",   "are",   "as",   "at",   "be",    "been", "but",  "by",   "do",   "does", "for",
    "from", "had",  "has",   "have",  "he",   "i",    "if",    "in",   "into", "is",   "it",   "its",  "me",
    "my",   "no",   "not",   "of",    "on",   "or",   "she",   "such", "that", "the",  "their", "then", "there",
    "these", "they", "this", "to",    "was",  "we",   "were",  "will", "with", "you",
};
static_assert(std::is_sorted(kStopWords.begin(), kStopWords.end()));
constexpr size_t kLongestStopWord = 5;

// A word of at most 5 bytes packed into one integer: the bytes from the top,
// the length in the lowest byte. Distinct words get distinct keys, so
// membership can bisect integers instead of comparing strings; for words
// without NUL bytes (all stop words) the integer order is the bytewise
// order, so the packed table stays sorted.
constexpr uint64_t PackShortWord(std::string_view w) {
  uint64_t key = 0;
  for (size_t i = 0; i < kLongestStopWord; ++i)
    key = (key << 8) | (i < w.size() ? static_cast<unsigned char>(w[i]) : 0u);
  return (key << 8) | w.size();
}

constexpr std::array<uint64_t, kStopWords.size()> kPackedStopWords = [] {
  std::array<uint64_t, kStopWords.size()> packed{};
  for (size_t i = 0; i < kStopWords.size(); ++i) packed[i] = PackShortWord(kStopWords[i]);
  return packed;
}();
static_assert(std::is_sorted(kPackedStopWords.begin(), kPackedStopWords.end()));


// Per first letter a-z, the stop words starting with it: a range of
// kPackedStopWords, which is sorted, so words of one first letter are
// contiguous. A token is checked against at most the nine words of one
// letter, with no bisection's unpredictable branches.
struct LetterRange {
  uint8_t begin, end;
};
constexpr std::array<LetterRange, 26> kStopWordsByLetter = [] {
  std::array<LetterRange, 26> ranges{};
  for (size_t i = kStopWords.size(); i-- > 0;) {
    LetterRange& r = ranges[static_cast<size_t>(kStopWords[i][0] - 'a')];
    if (r.end == 0) r.end = static_cast<uint8_t>(i + 1);
    r.begin = static_cast<uint8_t>(i);
  }
  return ranges;
}();

// IsStopWord, visible to the compiler in this file: the engine is
// position-independent code, where a call to an exported function is not
// inlined, and the analyser asks once per token.
inline bool IsStopWordHere(std::string_view token) {
  if (token.empty() || token.size() > kLongestStopWord) return false;
  const auto first = static_cast<unsigned char>(token[0]);
  if (first < 'a' || first > 'z') return false;  // every stop word starts with one
  const LetterRange r = kStopWordsByLetter[first - 'a'];
  const uint64_t key = PackShortWord(token);
  for (size_t i = r.begin; i < r.end; ++i)
    if (kPackedStopWords[i] == key) return true;
  return false;
}

// Whether an ASCII run lower-cases to a stop word, without building it.
inline bool IsStopRun(std::string_view run) {
  if (run.empty() || run.size() > kLongestStopWord) return false;
  char lowered[kLongestStopWord];
  for (size_t i = 0; i < run.size(); ++i) {
    const auto ch = static_cast<unsigned char>(run[i]);
    lowered[i] = static_cast<char>(ch + (static_cast<unsigned>(static_cast<unsigned>(ch - 'A') < 26u) << 5));
  }
  return IsStopWordHere(std::string_view(lowered, run.size()));
}

// The rules of StemPlural for a token known to be all ASCII.
inline void StemAscii(std::string& token) {
  const size_t n = token.size();
  if (n < 4) return;
  auto ends = [&](std::string_view suffix) { return std::string_view(token).ends_with(suffix); };
  if (ends("ies") && token[n - 4] != 'a' && token[n - 4] != 'e') {
    token.replace(n - 3, 3, "y");
  } else if (ends("es") && !ends("aes") && !ends("ees") && !ends("oes")) {
    token.pop_back();
  } else if (ends("s") && !ends("us") && !ends("ss")) {
    token.pop_back();
  }
}

bool IsAscii(std::string_view token) {
  for (const char ch : token)
    if (static_cast<unsigned char>(ch) >= 0x80) return false;
  return true;
}

// FilterToken for a word lower-cased from a run; ascii says the run was all
// ASCII, and so is the word. A run that was not may still lower-case to an
// ASCII word (the Kelvin sign becomes "k"), so its word is checked.
inline bool FilterWord(std::string& token, bool ascii) {
  if (IsStopWordHere(token)) return false;
  if (ascii || IsAscii(token)) StemAscii(token);
  return true;
}

// ------------------------------------------------------------ splitters

// Receives word runs and CJK runs as they close, into a list of tokens. CJK
// tokens skip phase 2, which never changes them (no stop word and no
// stemmed token holds a non-ASCII byte).
struct TokenSink {
  std::vector<std::string>& out;
  bool filter;  // apply phase 2 (analyze_text) or keep raw tokens

  void Word(std::string_view run, bool ascii) {
    std::string token;
    LowerRunInto(run, ascii, token);
    if (filter && !FilterWord(token, ascii)) return;
    out.push_back(std::move(token));
  }
  void Cjk(std::string_view run) { emit_cjk_run(run, out); }
};

// As TokenSink with phase 2, handing each token to fn instead: a word is
// lower-cased into one buffer reused for every token.
struct VisitingSink {
  const std::function<void(std::string_view)>& fn;
  std::string buffer;

  void Word(std::string_view run, bool ascii) {
    LowerRunInto(run, ascii, buffer);
    if (FilterWord(buffer, ascii)) fn(buffer);
  }
  void Cjk(std::string_view run) { ForEachCjkToken(run, fn); }
};

// Per byte: 1 for an ASCII letter or digit, 2 for any other ASCII byte, 0
// for a byte of a longer character, which the splitter decodes.
constexpr std::array<uint8_t, 256> kByteClass = [] {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 0x80; ++c) t[c] = kAsciiAlnum[c] ? 1 : 2;
  return t;
}();

// The fast splitter: every maximal alphanumeric run is a word run. ASCII
// bytes are classified by table, a stretch of one class in a tight loop;
// only other characters ask ICU.
template <typename Sink>
void SplitWords(std::string_view text, Sink& sink) {
  const unsigned char* p = Bytes(text);
  const unsigned char* const end = p + text.size();
  const unsigned char* run = nullptr;
  bool ascii = true;
  while (p < end) {
    const uint8_t cls = kByteClass[*p];
    if (cls == 1) {
      if (run == nullptr) run = p, ascii = true;
      do ++p;
      while (p < end && kByteClass[*p] == 1);
      continue;
    }
    if (cls == 2) {
      if (run != nullptr) sink.Word(Span(run, p), ascii);
      run = nullptr;
      do ++p;
      while (p < end && kByteClass[*p] == 2);
      continue;
    }
    char32_t c;
    const size_t n = DecodeUtf8(p, end, &c);
    if (IsAlphanumeric(c)) {
      if (run == nullptr) run = p;
      ascii = false;
    } else if (run != nullptr) {
      sink.Word(Span(run, p), ascii);
      run = nullptr;
    }
    p += n;
  }
  if (run != nullptr) sink.Word(Span(run, end), ascii);
}

enum class RunKind { kNone, kWord, kCjk };

// The general splitter: at most one open run, word or CJK; a character of
// the other kind, or a separator, closes it.
template <typename Sink>
void SplitRuns(std::string_view text, Sink& sink) {
  const unsigned char* p = Bytes(text);
  const unsigned char* const end = p + text.size();
  const unsigned char* run = nullptr;
  RunKind open = RunKind::kNone;
  bool ascii = true;
  auto close = [&](const unsigned char* at) {
    if (open == RunKind::kWord) sink.Word(Span(run, at), ascii);
    if (open == RunKind::kCjk) sink.Cjk(Span(run, at));
    open = RunKind::kNone;
  };
  while (p < end) {
    char32_t c;
    const size_t n = DecodeUtf8(p, end, &c);
    const RunKind kind = !IsAlphanumeric(c) ? RunKind::kNone : IsCjk(c) ? RunKind::kCjk : RunKind::kWord;
    if (kind != open) {
      close(p);
      open = kind;
      run = p;
      ascii = true;
    }
    if (c >= 0x80) ascii = false;
    p += n;
  }
  close(end);
}

}  // namespace

// ------------------------------------------------------------ public

bool IsAlphanumeric(char32_t c) {
  if (c < 0x80) return kAsciiAlnum[c];
  if (c < 0xAA || c > 0x10FFFF) return false;
  const auto uc = static_cast<UChar32>(c);
  if (u_hasBinaryProperty(uc, UCHAR_ALPHABETIC)) return true;
  return c >= 0xB2 && (U_GET_GC_MASK(uc) & (U_GC_ND_MASK | U_GC_NL_MASK | U_GC_NO_MASK)) != 0;
}

bool IsCjk(char32_t c) {
  return (c >= 0x3040 && c <= 0x30FF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) ||
         (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x20000 && c <= 0x323AF);
}

bool ContainsCjk(std::string_view text) {
  const unsigned char* p = Bytes(text);
  const unsigned char* const end = p + text.size();
  while (p < end) {
    if (end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      if ((word & 0x8080808080808080ULL) == 0) {
        p += 8;
        continue;
      }
    }
    if (*p < 0x80) {
      ++p;
      continue;
    }
    char32_t c;
    p += DecodeUtf8(p, end, &c);
    if (IsCjk(c)) return true;
  }
  return false;
}

void emit_cjk_run(std::string_view run, std::vector<std::string>& out) {
  ForEachCjkToken(run, [&](std::string_view token) { out.emplace_back(token); });
}

void tokenize_words(std::string_view text, std::vector<std::string>& out) {
  TokenSink sink{out, false};
  SplitWords(text, sink);
}

void SplitTextRuns(std::string_view text, std::vector<std::string>& out) {
  TokenSink sink{out, false};
  SplitRuns(text, sink);
}

std::vector<std::string> analyze_text(std::string_view text) {
  std::vector<std::string> out;
  out.reserve(text.size() / 8);
  TokenSink sink{out, true};
  if (ContainsCjk(text)) {
    SplitRuns(text, sink);
  } else {
    SplitWords(text, sink);
  }
  return out;
}

void ForEachToken(std::string_view text, const std::function<void(std::string_view)>& fn) {
  VisitingSink sink{fn, {}};
  if (ContainsCjk(text)) {
    SplitRuns(text, sink);
  } else {
    SplitWords(text, sink);
  }
}

TermCounter::TermCounter(std::vector<std::string> terms) : terms_(std::move(terms)) {
  for (size_t j = 0; j < terms_.size(); ++j) {
    if (terms_[j].size() < 64) {
      lengths_ |= uint64_t{1} << terms_[j].size();
    } else {
      long_terms_ = true;
    }
    if (terms_.size() > kScanned) by_term_.emplace(terms_[j], j);
  }
}

bool TermCounter::MayBeTerm(size_t word_bytes) const {
  for (size_t n = word_bytes >= 2 ? word_bytes - 2 : 0; n <= word_bytes; ++n) {
    if (n >= 64 ? long_terms_ : ((lengths_ >> n) & 1) != 0) return true;
  }
  return false;
}

size_t TermCounter::Find(std::string_view token) const {
  if (terms_.size() <= kScanned) {
    for (size_t j = 0; j < terms_.size(); ++j)
      if (terms_[j] == token) return j;
    return SIZE_MAX;
  }
  auto it = by_term_.find(token);
  return it == by_term_.end() ? SIZE_MAX : it->second;
}

// Only words that could be a term are built; the rest are only counted.
struct TermCounter::Sink {
  TermCounter& counter;
  uint32_t* counts;
  uint64_t tokens = 0;

  void Token(std::string_view token) {
    ++tokens;
    const size_t j = counter.Find(token);
    if (j != SIZE_MAX) ++counts[j];
  }
  void Word(std::string_view run, bool ascii) {
    if (ascii && !counter.MayBeTerm(run.size())) {
      tokens += !IsStopRun(run);
      return;
    }
    LowerRunInto(run, ascii, counter.buffer_);
    if (FilterWord(counter.buffer_, ascii)) Token(counter.buffer_);
  }
  void Cjk(std::string_view run) {
    ForEachCjkToken(run, [&](std::string_view token) { Token(token); });
  }
};

uint64_t TermCounter::Count(std::string_view text, uint32_t* counts) {
  Sink sink{*this, counts};
  if (ContainsCjk(text)) {
    SplitRuns(text, sink);
  } else {
    SplitWords(text, sink);
  }
  return sink.tokens;
}

bool IsStopWord(std::string_view token) { return IsStopWordHere(token); }

void StemPlural(std::string& token) {
  if (IsAscii(token)) StemAscii(token);
}

bool FilterToken(std::string& token) {
  if (IsStopWordHere(token)) return false;
  StemPlural(token);
  return true;
}

}  // namespace pallix
