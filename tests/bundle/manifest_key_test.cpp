// The key scanner decides which bytes of a manifest become engine numbers;
// these cases pin its ambiguity rules.
#include <gtest/gtest.h>

#include <stdexcept>

#include "bundle/manifest_key.h"

namespace mk = le::manifest_key;

namespace {

std::string errorOf(const std::string& text, const char* key) {
  try {
    mk::scalarValuePos(text, key);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(KeyScanner, TopLevelScalarWinsOverNestedOne) {
  const std::string t = R"({"NT": 5, "sub": {"NT": 7}})";
  EXPECT_EQ(mk::parseNumber(mk::findKey(t, "NT")), 5.0);
}

TEST(KeyScanner, TwoNestedScalarsAreAmbiguousWithTheirOffsets) {
  const std::string t = R"({"a": {"NT": 5}, "b": {"NT": 7}})";
  const size_t five = t.find('5'), seven = t.find('7');
  EXPECT_EQ(errorOf(t, "NT"),
            "manifest: key \"NT\" is AMBIGUOUS — 2 scalar occurrences (byte " + std::to_string(five) + ", byte " +
                std::to_string(seven) +
                "). A loader that picks one silently installs a number nobody checks. Rename the colliding key (a "
                "nested block must not reuse a name the bundle loader reads: NT/frame_count, H, W, crop/crop_size, "
                "amount, sigma, ksize, frames, M_src_w/paste_source_width, M_src_h/paste_source_height), or produce "
                "the bundle with the legacy manifest layout.");
}

TEST(KeyScanner, TwoTopLevelScalarsListOnlyTheTopLevel) {
  const std::string t = R"({"W": 1, "x": {"W": 2}, "W": 3})";
  const std::string err = errorOf(t, "W");
  EXPECT_NE(err.find("2 scalar occurrences (byte " + std::to_string(t.find('1')) + ", byte " +
                     std::to_string(t.find('3')) + ")"),
            std::string::npos)
      << err;
}

TEST(KeyScanner, BlocksNeverCountAsValues) {
  const std::string t = R"({"tessera": {"x": 1}, "x": {"tessera": 1}})";
  EXPECT_EQ(mk::scalarValuePos(t, "tessera"), t.rfind('1'));
  const auto hits = mk::keyHits(t, "tessera");
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_FALSE(hits[0].scalar);
  EXPECT_EQ(hits[0].depth, 1);
  EXPECT_TRUE(hits[1].scalar);
  EXPECT_EQ(hits[1].depth, 2);
}

TEST(KeyScanner, KeysCompareAsRawBytes) {
  EXPECT_EQ(mk::scalarValuePos(R"({"N\u0054": 5})", "NT"), mk::npos);
  EXPECT_EQ(mk::scalarValuePos(R"({"NTX": 5, "xNT": 6})", "NT"), mk::npos);
  // Strings that merely contain the key, and values spelled like it, are not keys.
  EXPECT_EQ(mk::scalarValuePos(R"({"a": "NT", "b": ["NT", 1]})", "NT"), mk::npos);
}

TEST(KeyScanner, StringsHideBracketsAndEscapedQuotes) {
  const std::string t = R"({"s": "}}{\"NT\": 9 [", "NT": 4})";
  EXPECT_EQ(mk::parseNumber(mk::findKey(t, "NT")), 4.0);
  EXPECT_EQ(mk::keyHits(t, "NT")[0].depth, 1);
}

TEST(KeyScanner, UnterminatedStringEndsTheScanWithEarlierHits) {
  const std::string t = "{\"NT\": 3, \"x\": \"never closed";
  EXPECT_EQ(mk::keyHits(t, "NT").size(), 1u);
  EXPECT_EQ(mk::keyHits("{\"NT\": 3, \"a\\", "NT").size(), 1u);  // backslash as last byte
}

TEST(KeyScanner, KeyAtEndOfTextRecordsTextLength) {
  const std::string t = "{\"NT\":   ";
  const auto hits = mk::keyHits(t, "NT");
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].pos, t.size());
  EXPECT_FALSE(hits[0].scalar);
  EXPECT_EQ(mk::scalarValuePos(t, "NT"), mk::npos);
}

TEST(FieldReaders, StringsNumbersAndOptionals) {
  const std::string t = R"({"agent": "ada", "odd": 12, "empty": "", "n": 2.9, "alias": 7, "gone": -1e300})";
  EXPECT_EQ(mk::strField(t, "agent"), "ada");
  // strField skips forward to the next quote, wherever it is.
  EXPECT_EQ(mk::strField(t, "odd"), "empty");
  EXPECT_THROW(mk::strField(R"({"x": 1})", "x"), std::runtime_error);
  EXPECT_EQ(mk::numFieldEither(t, "n", "alias"), 2.9);
  EXPECT_EQ(mk::numFieldEither(t, "missing", "alias"), 7.0);
  EXPECT_EQ(mk::numFieldEither(t, "gone", "alias"), 7.0);  // the sentinel counts as absent
  try {
    mk::numFieldEither(t, "nope", "gone");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "manifest: missing key nope/gone");
  }

  std::string out = "default";
  EXPECT_TRUE(mk::optStr(t, "absent", out));
  EXPECT_EQ(out, "default");
  EXPECT_TRUE(mk::optStr(t, "odd", out));  // not a quoted string: absent
  EXPECT_EQ(out, "default");
  EXPECT_FALSE(mk::optStr(t, "empty", out));
  EXPECT_EQ(out, "");
  out = "default";
  EXPECT_TRUE(mk::optStrNonEmpty(t, "empty", out));
  EXPECT_EQ(out, "default");
}

TEST(FieldReaders, NumbersTruncateAndSaturate) {
  EXPECT_EQ(mk::truncToInt(2.9), 2);
  EXPECT_EQ(mk::truncToInt(-2.9), -2);
  EXPECT_EQ(mk::truncToInt(1e300), INT_MAX);
  EXPECT_EQ(mk::truncToInt(-1e300), INT_MIN);
  EXPECT_EQ(mk::truncToInt(mk::parseNumber("nan")), 0);
  EXPECT_EQ(mk::parseNumber("0.5xyz"), 0.5);  // trailing text is ignored
}

}  // namespace
