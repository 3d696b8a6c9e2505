#include "text/text.h"

#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <cctype>
#include <clocale>
#include <random>
#include <string>
#include <vector>

namespace pallix {
namespace {

using Tokens = std::vector<std::string>;
using namespace std::string_view_literals;

Tokens Raw(std::string_view text, bool general) {
  Tokens out;
  if (general) {
    SplitTextRuns(text, out);
  } else {
    tokenize_words(text, out);
  }
  return out;
}

TEST(TextTest, StopWordsLeaveNoGap) {
  EXPECT_EQ(analyze_text("The cats are running"), (Tokens{"cat", "running"}));
  EXPECT_EQ(analyze_text("Hello, WORLD!"), (Tokens{"hello", "world"}));
}

TEST(TextTest, EmptyAndSeparatorOnlyTexts) {
  EXPECT_TRUE(analyze_text("").empty());
  EXPECT_TRUE(analyze_text("   ").empty());
  EXPECT_TRUE(analyze_text("the of and").empty());
  EXPECT_TRUE(analyze_text("-- ,;!? \t\n").empty());
}

TEST(TextTest, CjkRunsGiveCharactersOrBigrams) {
  EXPECT_EQ(analyze_text("abc中文"), (Tokens{"abc", "中文"}));
  EXPECT_EQ(analyze_text("中文abc"), (Tokens{"中文", "abc"}));
  EXPECT_EQ(analyze_text("中文字"), (Tokens{"中文", "文字"}));
  EXPECT_EQ(analyze_text("中"), (Tokens{"中"}));
  EXPECT_EQ(analyze_text("中 文"), (Tokens{"中", "文"}));
  // U+30FB KATAKANA MIDDLE DOT lies in the CJK range but is punctuation.
  EXPECT_EQ(analyze_text("カタ・カナ"), (Tokens{"カタ", "カナ"}));
  EXPECT_EQ(analyze_text("・"), Tokens{});
  // Four-byte characters of the supplementary CJK range.
  EXPECT_EQ(analyze_text("\U00020000\U00020001\U00020002"),
            (Tokens{"\U00020000\U00020001", "\U00020001\U00020002"}));
}

TEST(TextTest, CjkRunEmitter) {
  Tokens out;
  emit_cjk_run("", out);
  EXPECT_TRUE(out.empty());
  emit_cjk_run("文", out);
  emit_cjk_run("ひらがな", out);
  EXPECT_EQ(out, (Tokens{"文", "ひら", "らが", "がな"}));
}

TEST(TextTest, AlphanumericBoundaries) {
  EXPECT_EQ(analyze_text("x2y"), (Tokens{"x2y"}));
  EXPECT_EQ(analyze_text("e-mail"), (Tokens{"e", "mail"}));
  EXPECT_EQ(analyze_text("³"), (Tokens{"³"}));
  EXPECT_EQ(analyze_text("x³ ª ½©µ"), (Tokens{"x³", "ª", "½", "µ"}));
  EXPECT_TRUE(IsAlphanumeric(0xAA));    // ª, first non-ASCII Alphabetic
  EXPECT_FALSE(IsAlphanumeric(0xA9));   // ©
  EXPECT_TRUE(IsAlphanumeric(0xB2));    // ², first non-ASCII number
  EXPECT_FALSE(IsAlphanumeric(0xB7));   // middle dot
  EXPECT_FALSE(IsAlphanumeric(0x301));  // combining acute: not Alphabetic
  EXPECT_TRUE(IsAlphanumeric(0x660));   // Arabic-Indic zero, Nd
  EXPECT_TRUE(IsAlphanumeric(0x2160));  // Roman numeral one, Nl
  EXPECT_FALSE(IsAlphanumeric('_'));
  EXPECT_FALSE(IsAlphanumeric(0x110000));
  // A decomposed accent splits the word: the mark is a separator.
  EXPECT_EQ(analyze_text("cafe\u0301s"), (Tokens{"cafe", "s"}));
}

TEST(TextTest, CjkRangeBounds) {
  for (char32_t c : {0x3040u, 0x30FFu, 0x3400u, 0x4DBFu, 0x4E00u, 0x9FFFu, 0xF900u, 0xFAFFu, 0x20000u, 0x323AFu})
    EXPECT_TRUE(IsCjk(c)) << std::hex << uint32_t{c};
  for (char32_t c : {0x303Fu, 0x3100u, 0x33FFu, 0x4DC0u, 0xA000u, 0xF8FFu, 0xFB00u, 0x1FFFFu, 0x323B0u})
    EXPECT_FALSE(IsCjk(c)) << std::hex << uint32_t{c};
}

TEST(TextTest, PluralStemmer) {
  EXPECT_EQ(analyze_text("aies eies goes buses"), (Tokens{"aie", "eie", "goe", "buse"}));
  EXPECT_EQ(analyze_text("series ponies boxes cats"), (Tokens{"sery", "pony", "boxe", "cat"}));
  EXPECT_EQ(analyze_text("class status bus gas its"), (Tokens{"class", "status", "bus", "gas"}));
  EXPECT_EQ(analyze_text("toes fees aes ties 1990s"), (Tokens{"toe", "fee", "aes", "ty", "1990"}));
  // The stop-word test sees the token before stemming.
  EXPECT_EQ(analyze_text("thes"), (Tokens{"the"}));
  EXPECT_EQ(analyze_text("CAFÉS"), (Tokens{"cafés"}));
}

TEST(TextTest, StopWordTable) {
  const char* words[] = {"a",     "an",   "and",  "are",   "as",   "at",   "be",   "been", "but",  "by",
                         "do",    "does", "for",  "from",  "had",  "has",  "have", "he",   "i",    "if",
                         "in",    "into", "is",   "it",    "its",  "me",   "my",   "no",   "not",  "of",
                         "on",    "or",   "she",  "such",  "that", "the",  "their", "then", "there", "these",
                         "they",  "this", "to",   "was",   "we",   "were", "will", "with", "you"};
  for (const char* w : words) EXPECT_TRUE(IsStopWord(w)) << w;
  for (std::string_view w : {""sv, "A"sv, "the "sv, "thes"sv, "your"sv, "an\0"sv}) EXPECT_FALSE(IsStopWord(w)) << w;
}

TEST(TextTest, GreekFinalSigma) {
  EXPECT_EQ(analyze_text("ΟΔΟΣ"), (Tokens{"οδος"}));
  EXPECT_EQ(analyze_text("ΟΔΟΣ ΣΑΣ"), (Tokens{"οδος", "σας"}));
  // The sigma is final because its run ends, even where the text goes on.
  EXPECT_EQ(analyze_text("ΟΔΟΣ中"), (Tokens{"οδος", "中"}));
  // Followed by a letter of the same run it is not final.
  EXPECT_EQ(analyze_text("ΟΔΟΣA"), (Tokens{"οδοσa"}));
}

TEST(TextTest, SpecialCaseMappings) {
  // U+0130 maps to i + U+0307 in the root locale: three bytes from two.
  EXPECT_EQ(analyze_text("İ"), (Tokens{"i\u0307"}));
  EXPECT_EQ(analyze_text("İSTANBUL"), (Tokens{"i\u0307stanbul"}));
  // The Kelvin sign lower-cases to ASCII k; the token is then all ASCII and
  // goes through the stemmer.
  EXPECT_EQ(analyze_text("\u212A"), (Tokens{"k"}));
  EXPECT_EQ(analyze_text("\u212AELVINS"), (Tokens{"kelvin"}));
}

TEST(TextTest, TurkishLocaleChangesNothing) {
  const std::string text = "TITLE IĞDIR İZMİR INK";
  const Tokens expected = {"title", "iğdir", "i\u0307zmi\u0307r", "ink"};
  ASSERT_EQ(analyze_text(text), expected);

  const std::string saved_c = std::setlocale(LC_ALL, nullptr);
  const icu::Locale saved_icu = icu::Locale::getDefault();
  std::setlocale(LC_ALL, "tr_TR.UTF-8");  // may be missing on this machine; ICU's default is the real test
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale("tr", "TR"), status);
  EXPECT_TRUE(U_SUCCESS(status));
  std::string turkish;
  icu::UnicodeString::fromUTF8("I").toLower().toUTF8String(turkish);

  const Tokens got = analyze_text(text);
  Tokens general;
  SplitTextRuns(text, general);

  std::setlocale(LC_ALL, saved_c.c_str());
  icu::Locale::setDefault(saved_icu, status);
  EXPECT_EQ(turkish, "ı") << "the Turkish default locale did not take effect";
  EXPECT_EQ(got, expected);
  EXPECT_EQ(general, (Tokens{"title", "iğdir", "i\u0307zmi\u0307r", "ink"}));
}

TEST(TextTest, IllFormedBytesSeparate) {
  for (bool general : {false, true}) {
    EXPECT_EQ(Raw("ab\xFF" "cd", general), (Tokens{"ab", "cd"}));
    EXPECT_EQ(Raw("ab\xC0\xAF" "cd", general), (Tokens{"ab", "cd"}));      // overlong '/'
    EXPECT_EQ(Raw("ab\xED\xA0\x80" "cd", general), (Tokens{"ab", "cd"}));  // surrogate
    EXPECT_EQ(Raw("ab\xF4\x90\x80\x80", general), (Tokens{"ab"}));         // above U+10FFFF
    EXPECT_EQ(Raw("abc\xE4\xB8", general), (Tokens{"abc"}));               // truncated at the end
    EXPECT_EQ(Raw("\xC3" "A", general), (Tokens{"a"}));                    // lead byte before ASCII
  }
  EXPECT_EQ(analyze_text("中\xFF文"), (Tokens{"中", "文"}));
  EXPECT_EQ(analyze_text("\xE4\xB8中"), (Tokens{"中"}));
}

TEST(TextTest, CjkPrecheck) {
  EXPECT_FALSE(ContainsCjk(""));
  EXPECT_FALSE(ContainsCjk("plain ascii text longer than eight bytes"));
  EXPECT_FALSE(ContainsCjk("café ΟΔΟΣ straße \xFF\xE4"));
  EXPECT_TRUE(ContainsCjk("abcdefghijklmnop中"));
  EXPECT_TRUE(ContainsCjk("abcdefg・"));
  EXPECT_TRUE(ContainsCjk("é\U000323AF"));
}

// A word run far longer than any real word is lower-cased in pieces; the
// pieces must meet where no final-sigma context crosses them.
TEST(TextTest, HugeRunLowerCasesLikeAWhole) {
  std::string text, expected;
  const size_t reps = (size_t{1} << 20) + 1000;  // about 4.2 MB of "ΣAB"
  text.reserve(4 * reps + 2);
  expected.reserve(4 * reps + 2);
  for (size_t i = 0; i < reps; ++i) text += "ΣAB", expected += "σab";
  text += "Σ";
  expected += "ς";
  const Tokens got = analyze_text(text);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0] == expected);
}

// ------------------------------------------------------------ model

// The analyser written the slow, obvious way: ICU decoding, per-character
// property calls and whole-run UnicodeString lower-casing in the root
// locale. Phase 2 is shared (checked by the example tests above).
Tokens ModelAnalyze(const std::string& text) {
  Tokens raw;
  std::vector<UChar32> run;
  int kind = 0;  // 0 none, 1 word, 2 CJK
  auto close = [&] {
    if (kind == 1) {
      icu::UnicodeString s;
      for (UChar32 c : run) s.append(c);
      std::string lower;
      s.toLower(icu::Locale::getRoot()).toUTF8String(lower);
      raw.push_back(lower);
    } else if (kind == 2) {
      auto utf8 = [](UChar32 c) {
        std::string out;
        icu::UnicodeString(c).toUTF8String(out);
        return out;
      };
      if (run.size() == 1) raw.push_back(utf8(run[0]));
      for (size_t i = 0; i + 1 < run.size(); ++i) raw.push_back(utf8(run[i]) + utf8(run[i + 1]));
    }
    run.clear();
    kind = 0;
  };
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const int32_t length = static_cast<int32_t>(text.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    bool alnum = false;
    if (c >= 0) {
      alnum = (c < 0x80 && std::isalnum(c)) || (c >= 0xAA && u_hasBinaryProperty(c, UCHAR_ALPHABETIC)) ||
              (c >= 0xB2 && (u_charType(c) == U_DECIMAL_DIGIT_NUMBER || u_charType(c) == U_LETTER_NUMBER ||
                             u_charType(c) == U_OTHER_NUMBER));
    }
    const bool cjk = (c >= 0x3040 && c <= 0x30FF) || (c >= 0x3400 && c <= 0x4DBF) ||
                     (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xF900 && c <= 0xFAFF) ||
                     (c >= 0x20000 && c <= 0x323AF);
    const int want = !alnum ? 0 : cjk ? 2 : 1;
    if (want != kind) close();
    kind = want;
    if (want != 0) run.push_back(c);
  }
  close();
  Tokens out;
  for (std::string& t : raw)
    if (FilterToken(t)) out.push_back(t);
  return out;
}

std::string RandomText(std::mt19937& rng, bool with_cjk) {
  static const std::vector<std::string> kLatin = {
      "Hello", "WORLD", "cats",  "x2y",  "Series", "its",   "the",   "BOXES", "a1",     "Z",
      "CAFÉS", "Ñandú", "straße", "ÆON", "Øre",    "İ",     "\u212A", "³",    "ª",      "½",
      "ΟΔΟΣ",  "Σίσυφος", "ΣΑΣ", "ς",   "Σ",      "\u0301", "\u0345", "ǅ",    "ﬃ",     "\u1E9E"};
  static const std::vector<std::string> kCjk = {"中", "文", "字", "ひら", "カタ", "\U00020000", "・", "。", "ー"};
  static const std::vector<std::string> kSeparators = {" ", " ", ",", "-", "\t", ".", "'", "\xFF", "\xE4\xB8", ""};
  std::string text;
  const int pieces = std::uniform_int_distribution<int>(0, 12)(rng);
  for (int i = 0; i < pieces; ++i) {
    const int pick = std::uniform_int_distribution<int>(0, with_cjk ? 2 : 1)(rng);
    const auto& pool = pick == 0 ? kLatin : pick == 1 ? kSeparators : kCjk;
    text += pool[std::uniform_int_distribution<size_t>(0, pool.size() - 1)(rng)];
  }
  return text;
}

TEST(TextTest, FastAndGeneralSplittersAgree) {
  std::mt19937 rng(20240611);
  for (int i = 0; i < 4000; ++i) {
    const std::string text = RandomText(rng, false);
    ASSERT_FALSE(ContainsCjk(text));
    ASSERT_EQ(Raw(text, false), Raw(text, true)) << text;
  }
}

TEST(TextTest, AnalyserMatchesModel) {
  std::mt19937 rng(7);
  for (int i = 0; i < 4000; ++i) {
    const std::string text = RandomText(rng, i % 2 == 0);
    ASSERT_EQ(analyze_text(text), ModelAnalyze(text)) << text;
  }
}

// Term sets from the analysed tokens of random texts (plurals, long words
// and words that only lower-case or stem to a term among them): the counts
// are those of the analysed list.
TEST(TextTest, TermCounterMatchesTheAnalysedList) {
  std::mt19937 rng(13);
  const std::vector<std::string> extra = {"seri", "box", "cat", "category", "categories", std::string(70, 'q'),
                                          std::string(69, 'q'), "sss", "hello"};
  for (int i = 0; i < 3000; ++i) {
    std::string text = RandomText(rng, i % 3 == 0);
    for (int w = std::uniform_int_distribution<int>(0, 3)(rng); w > 0; --w)
      text += " " + extra[rng() % extra.size()] + (rng() % 2 ? "s" : "ES");
    std::vector<std::string> terms;
    for (int t = std::uniform_int_distribution<int>(0, 12)(rng); t > 0; --t) {
      std::vector<std::string> pool = analyze_text(RandomText(rng, true) + " " + extra[rng() % extra.size()]);
      if (pool.empty()) continue;
      std::string term = pool[rng() % pool.size()];
      if (std::find(terms.begin(), terms.end(), term) == terms.end()) terms.push_back(term);
    }
    const std::vector<std::string> tokens = analyze_text(text);
    std::vector<uint32_t> want(terms.size()), got(terms.size());
    for (size_t j = 0; j < terms.size(); ++j)
      want[j] = static_cast<uint32_t>(std::count(tokens.begin(), tokens.end(), terms[j]));
    TermCounter counter(terms);
    ASSERT_EQ(counter.Count(text, got.data()), tokens.size()) << text;
    ASSERT_EQ(got, want) << text;
  }
}

TEST(TextTest, VisitedTokensAreTheAnalysedOnes) {
  std::mt19937 rng(11);
  for (int i = 0; i < 4000; ++i) {
    const std::string text = RandomText(rng, i % 2 == 0);
    std::vector<std::string> visited;
    ForEachToken(text, [&](std::string_view token) { visited.emplace_back(token); });
    ASSERT_EQ(visited, analyze_text(text)) << text;
  }
}

}  // namespace
}  // namespace pallix
