// The key scanner decides which bytes of a manifest become engine numbers;
// these cases pin its ambiguity rules and the readers built on it.
#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>

#include "bundle/manifest_key.h"
#include "support/fixtures.h"

namespace mk = le::manifest_key;

namespace {

std::string errorOf(const std::string& text, const char* key) {
  return lt::errorOf([&] { mk::scalarValuePos(text, key); });
}

TEST(KeyScanner, WhichOccurrenceIsTheValue) {
  // expect: the text after which the chosen value starts ("" = none found).
  const struct {
    const char* text;
    const char* key;
    const char* expect;
  } cases[] = {
      {R"({"NT": 5, "sub": {"NT": 7}})", "NT", "5, "},                  // top level wins over nested
      {R"({"tessera": {"x": 1}, "x": {"tessera": 1}})", "tessera", "1}}"},   // blocks never count as values
      {R"({"N\u0054": 5, "NTX": 5, "xNT": 6})", "NT", ""},              // raw-byte comparison only
      {R"({"a": "NT", "b": ["NT", 1]})", "NT", ""},                     // strings that are not keys
      {R"({"s": "}}{\"NT\": 9 [", "NT": 4})", "NT", "4}"},              // strings hide brackets and quotes
      {"{\"NT\": 3, \"x\": \"never closed", "NT", "3, "},               // unterminated string ends the scan
      {"{\"NT\": 3, \"a\\", "NT", "3, "},                               // ... also on a final backslash
      {"{\"NT\":   ", "NT", ""},                                       // key at the end of the text
  };
  for (const auto& c : cases) {
    const std::string t = c.text;
    const size_t pos = mk::scalarValuePos(t, c.key);
    EXPECT_EQ(pos == mk::npos ? "" : t.substr(pos, std::string(c.expect).size()), c.expect) << t;
  }
  const auto end = mk::keyHits("{\"NT\":   ", "NT");
  ASSERT_EQ(end.size(), 1u);
  EXPECT_EQ(end[0].pos, 9u);
  EXPECT_FALSE(end[0].scalar);
}

TEST(KeyScanner, AmbiguityListsTheCompetingOffsets) {
  const std::string nested = R"({"a": {"NT": 5}, "b": {"NT": 7}})";
  EXPECT_EQ(errorOf(nested, "NT"),
            "manifest: key \"NT\" is AMBIGUOUS — 2 scalar occurrences (byte " + std::to_string(nested.find('5')) +
                ", byte " + std::to_string(nested.find('7')) +
                "). A loader that picks one silently installs a number nobody checks. Rename the colliding key (a "
                "nested block must not reuse a name the bundle loader reads: NT/frame_count, H, W, crop/crop_size, "
                "amount, sigma, ksize, frames, M_src_w/paste_source_width, M_src_h/paste_source_height), or produce "
                "the bundle with the legacy manifest layout.");
  // Two top-level scalars: only those are listed, not the nested one.
  const std::string top = R"({"W": 1, "x": {"W": 2}, "W": 3})";
  EXPECT_NE(errorOf(top, "W").find("2 scalar occurrences (byte " + std::to_string(top.find('1')) + ", byte " +
                                   std::to_string(top.find('3')) + ")"),
            std::string::npos);
}

TEST(FieldReaders, StringsNumbersAndOptionals) {
  const std::string t = R"({"agent": "ada", "odd": 12, "empty": "", "n": 2.9, "alias": 7, "gone": -1e300})";
  EXPECT_EQ(mk::strField(t, "agent"), "ada");
  EXPECT_EQ(mk::strField(t, "odd"), "empty");  // skips forward to the next quote, wherever it is
  EXPECT_THROW(mk::strField(R"({"x": 1})", "x"), std::runtime_error);
  EXPECT_EQ(mk::numFieldEither(t, "n", "alias"), 2.9);
  EXPECT_EQ(mk::numFieldEither(t, "gone", "alias"), 7.0);  // the sentinel counts as absent
  EXPECT_EQ(lt::errorOf([&] { mk::numFieldEither(t, "nope", "gone"); }), "manifest: missing key nope/gone");

  std::string out = "default";
  EXPECT_TRUE(mk::optStr(t, "odd", out));  // not a quoted string: absent, default kept
  EXPECT_EQ(out, "default");
  EXPECT_FALSE(mk::optStr(t, "empty", out));
  out = "default";
  EXPECT_TRUE(mk::optStrNonEmpty(t, "empty", out));
  EXPECT_EQ(out, "default");

  EXPECT_EQ(mk::truncToInt(-2.9), -2);
  EXPECT_EQ(mk::truncToInt(1e300), INT_MAX);
  EXPECT_EQ(mk::truncToInt(mk::parseNumber("nan")), 0);
}

}  // namespace
