// The text analyser: turns one text into the ordered list of index terms.
//
// Every text feature of the engine goes through analyze_text: the in-memory
// text index (fts), the on-disk text index, phrase search and the text
// sources of the query executor. Documents and queries are analysed by the
// same function, so a query term matches a document term exactly when both
// come out of it. Changing anything here changes the terms of documents that
// are already indexed on disk: treat the output as a stored format.
//
// The analysis, in two phases:
//   1. Split into raw tokens, in text order. A word run (alphanumeric
//      characters outside the CJK ranges) becomes one token, lower-cased by
//      the full Unicode mapping of the whole run in the root locale. A CJK
//      run (alphanumeric characters inside the CJK ranges) is not
//      lower-cased and becomes its single character, or its overlapping
//      bigrams. Everything else separates runs; a word run directly followed
//      by a CJK run (or the other way round) is two tokens.
//   2. Drop the 49 English stop words (compared before stemming) and apply a
//      small plural stemmer to ASCII tokens of at least 4 bytes.
// A token's position is its index in the result, so a dropped stop word
// leaves no gap.
//
// Unicode data (the Alphabetic property, the numeric general categories, the
// lower-case mapping) all come from the one ICU the engine links, so the
// Unicode version is the same everywhere in one build. The process locale
// and ICU's default locale are never consulted.
//
// Bytes that are not well-formed UTF-8 (the engine only stores valid UTF-8
// text, but these functions take any bytes) count as separators, one byte at
// a time; they never reach a token.
//
// Thread-safety: pure functions; no shared state.

#ifndef PALLIX_TEXT_TEXT_H_
#define PALLIX_TEXT_TEXT_H_

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace pallix {

// The tokens of text, in order, positions being their indexes. Never fails:
// an empty text, or one without an alphanumeric character, gives an empty
// list. Texts without CJK characters take the fast splitter
// (tokenize_words); the others the run splitter (SplitTextRuns). Both give
// the same raw tokens on texts without CJK.
std::vector<std::string> analyze_text(std::string_view text);

// Calls fn with each token analyze_text(text) gives, in order, without
// building the list; the view is valid only during the call. For callers
// that only count or look up tokens.
void ForEachToken(std::string_view text, const std::function<void(std::string_view)>& fn);

// Counts the tokens analyze_text gives, in total and per one of a few fixed
// terms, building only the tokens that could be one of the terms: an ASCII
// word of n bytes becomes a token of n, n - 1 or n - 2 bytes (the stemmer
// takes off at most two), so such a word whose possible lengths no term has
// is only checked against the stop words, without being built. Callers: the exact scoring of text sources, which needs each
// document's length and its query terms' frequencies. Not thread-safe (one
// buffer is reused); one per thread.
class TermCounter {
 public:
  // terms must be distinct.
  explicit TermCounter(std::vector<std::string> terms);
  // Returns the number of tokens of text and adds to counts[j] (one entry
  // per term) the number of tokens equal to terms[j].
  uint64_t Count(std::string_view text, uint32_t* counts);

 private:
  struct Sink;
  static constexpr size_t kScanned = 8;  // past this many terms, a hash table
  bool MayBeTerm(size_t word_bytes) const;
  size_t Find(std::string_view token) const;

  std::vector<std::string> terms_;
  std::unordered_map<std::string_view, size_t> by_term_;
  uint64_t lengths_ = 0;  // bit n: some term has n bytes (n < 64)
  bool long_terms_ = false;  // some term has 64 bytes or more
  std::string buffer_;
};

// Appends to out every maximal run of alphanumeric characters of text,
// lower-cased; empty pieces are never appended. Meant for texts without CJK
// characters (it does not tell CJK apart: a CJK character is simply part of
// a run). Raw tokens: no stop-word removal, no stemming.
void tokenize_words(std::string_view text, std::vector<std::string>& out);

// Appends the raw tokens of text to out with the general run splitter
// (word runs and CJK runs, phase 1 above). analyze_text uses it for texts
// that hold a CJK character; on other texts it gives exactly what
// tokenize_words gives.
void SplitTextRuns(std::string_view text, std::vector<std::string>& out);

// Appends the tokens of one run of CJK characters (UTF-8) to out: the single
// character for a run of one, otherwise its n - 1 overlapping bigrams in
// order. The run is not lower-cased. An empty run appends nothing.
void emit_cjk_run(std::string_view run, std::vector<std::string>& out);

// Phase 2 applied to one raw token: false when it is a stop word (to be
// dropped); otherwise true, with token stemmed in place by StemPlural.
bool FilterToken(std::string& token);

// Whether token is one of the 49 stop words (exact bytewise match).
bool IsStopWord(std::string_view token);

// The plural stemmer, in place. Applies only to tokens of at least 4 bytes,
// all ASCII; the first matching rule wins:
//   "...Xies", X not 'a' or 'e'   -> "...Xy"
//   "...es", not "aes"/"ees"/"oes" -> drop the final 's'
//   "...s",  not "us"/"ss"         -> drop the final 's'
// Anything else is left as it is.
void StemPlural(std::string& token);

// Character classes of the analyser, on Unicode scalar values.
// Alphanumeric: ASCII letters and digits; from U+00AA on, the Alphabetic
// property; from U+00B2 on, the general categories Nd, Nl and No.
bool IsAlphanumeric(char32_t c);
// CJK: U+3040-30FF, U+3400-4DBF, U+4E00-9FFF, U+F900-FAFF, U+20000-323AF.
bool IsCjk(char32_t c);
// Whether text holds a CJK character (alphanumeric or not).
bool ContainsCjk(std::string_view text);

}  // namespace pallix

#endif  // PALLIX_TEXT_TEXT_H_
