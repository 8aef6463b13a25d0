// The motion pipeline's meta.json key scanner (whole-directory refusals: MotionApi).
#include "audio/motion_meta.h"

#include <gtest/gtest.h>

#include "support/fixtures.h"

namespace {

using le::motion::jsonNum;

TEST(MotionMeta, KeyScanFindsNumbersDefaultsAndRefusals) {
  const struct {
    const char* text;
    const char* key;
    bool required;
    const char* want;  // the number, or the exception's text
  } cases[] = {
      {R"({"s_bridge": 0.25})", "s_bridge", true, "0.25"},
      {R"({"s_bridge":-1.5e-2,"x":1})", "s_bridge", true, "-0.015"},
      {R"({"nt":  7})", "nt", true, "7"},
      {R"({"other": 3})", "delta_pitch", false, "9"},
      {R"({"s_bridge": "x"})", "s_bridge", true, "meta.json: bad s_bridge"},
      {R"({"s_bridge": 1e999})", "s_bridge", true, "meta.json: bad s_bridge"},
      {R"({"n_src": 4, "nt": 5})", "nt", true, "5"},  // the key in quotes, not a suffix of another
  };
  for (const auto& c : cases) {
    char number[32] = "";
    const std::string error =
        lt::errorOf([&] { std::snprintf(number, sizeof number, "%g", jsonNum(c.text, c.key, 9, c.required)); });
    EXPECT_EQ(error == "(no error)" ? number : error, c.want) << c.text;
  }
}

TEST(MotionMeta, CountsMustBeWholeAndPositive) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {R"({"nt": 0, "n_src": 0, "n_emo": 1, "s_bridge": 1})", "meta.json: bad nt"},
      {R"({"nt": 2, "n_src": 2, "n_emo": 1.5, "s_bridge": 1})", "meta.json: bad n_emo"},
      {R"({"nt": 2, "n_src": 2, "n_emo": 1, "s_bridge": 1e39})", "meta.json: bad s_bridge"},
      {R"({"nt": 2, "n_src": 2, "n_emo": 1, "s_bridge": 1})", "(no error)"},
  };
  for (const auto& c : cases) EXPECT_EQ(lt::errorOf([&] { le::motion::parseMeta(c.text); }), c.error) << c.text;
}

}  // namespace
