// The teeth members: the JSON reader's exact behaviour, the carriage, the
// all-or-nothing rule, every sidecar refusal, and the C family over them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "le/le_tessera.h"
#include "support/fixtures.h"
#include "tessera/json.h"
#include "tessera/members.h"
#include "tessera/tessera_support.h"

extern "C" int le_test_tessera_header_from_c(void);

namespace {

using le::tessera::json::JVal;
using testing::StartsWith;

JVal parse(const std::string& s) { return le::tessera::json::JParser(s.data(), s.size()).parse(); }

TEST(TesseraJson, ReadsWhatTheMembersWriteAndNamesWhatItCannot) {
  const struct {
    const char* text;
    const char* error;  // nullptr: parses
  } rows[] = {
      {R"({"a":truex})", "teeth: malformed JSON object"},  // the literal is a prefix match
      {R"({"a":tru})", "teeth: bad JSON number"},
      {R"({"a":)", "teeth: JSON truncated"},
      {R"([1 2])", "teeth: malformed JSON array"},
      {R"({"a" 1})", "teeth: malformed JSON object"},
      {R"({1:2})", "teeth: malformed JSON object"},
      {"", "teeth: JSON truncated"},
      {R"("open)", nullptr},  // an unterminated string runs to the end
      {R"({"a":[1,2.5e1,-3],"b":null,"c":false} trailing)", nullptr},
  };
  for (const auto& r : rows) {
    const std::string got = lt::errorOf([&] { parse(r.text); });
    EXPECT_EQ(got, r.error ? r.error : "(no error)") << r.text;
  }
  const JVal v = parse(R"( {"s":"a\nb\tc\"d\\e\/\u00e9f\qg", "d":1, "d":2, "n":[1,2.5e1,-3]})");
  EXPECT_EQ(v.get("s")->str, "a\nb\tc\"d\\e/?f" "qg");
  EXPECT_EQ(v.get("d")->num, 1);  // the first of duplicates
  ASSERT_EQ(v.obj.size(), 4u);
  EXPECT_EQ(v.get("n")->arr[1].num, 25);
  EXPECT_EQ(parse(R"("open)").str, "open");
  EXPECT_EQ(lt::errorOf([] { le::tessera::json::parseJson("[", "side.json"); }),
            "teeth: side.json is not readable JSON: teeth: JSON truncated");
  EXPECT_EQ(lt::errorOf([] { le::tessera::json::reqNum(parse(R"({"k":"1"})"), "k", "ctx"); }),
            "teeth: ctx lacks numeric 'k'");
  EXPECT_NE(lt::errorOf([] { parse(std::string(100000, '[')); }), "(no error)");  // deep nesting is refused
}

TEST(TesseraMembers, CarriageFindsRenamedAndMissingMembers) {
  const std::string dir = tt::teethCopy();
  tt::editJson(dir + "/manifest.json", "del j['tessera']");
  le::TesseraCarriage c = le::tesseraCarriage(dir);
  EXPECT_TRUE(c.complete);
  EXPECT_FALSE(c.declared);
  EXPECT_EQ(le::loadTesseraMembers(dir).bank_container, "mp4");  // defaults without a tessera block
  tt::editJson(dir + "/manifest.json", "j['tessera'] = {'members': {'bank_track': 'teeth.mp4'}, 'planes': ['a', 1]}");
  c = le::tesseraCarriage(dir);
  EXPECT_TRUE(c.declared);
  EXPECT_EQ(c.path("bank_track"), dir + "/teeth.mp4");
  EXPECT_EQ(c.planes, std::vector<std::string>{"a"});
  ASSERT_EQ(c.missing, std::vector<std::string>{"bank_track"});
  EXPECT_EQ(lt::errorOf([&] { c.path("bank"); }), "teeth: no such member slot 'bank'");
  const std::string refusal = lt::errorOf([&] { le::loadTesseraMembers(dir); });
  EXPECT_THAT(refusal, StartsWith("missing teeth member(s): bank_track (teeth.mp4) — carries 3 of 4 and declares"));
  EXPECT_NE(refusal.find("Re-stage the bundle with the bank builder."), std::string::npos);

  // The C family: the same carriage, and the refusal cut to the caller's buffer.
  le_tessera_carriage* h = le_tessera_carriage_open(dir.c_str());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(le_tessera_carriage_complete(h), 0);
  EXPECT_EQ(le_tessera_carriage_declared(h), 1);
  EXPECT_EQ(le_tessera_carriage_missing_count(h), 1);
  EXPECT_STREQ(le_tessera_carriage_missing(h, 0), "bank_track");
  EXPECT_EQ(le_tessera_carriage_missing(h, 1), nullptr);
  EXPECT_STREQ(le_tessera_carriage_path(h, "nope"), "");
  le_tessera_carriage_close(h);
  char err[10];
  std::memset(err, 'x', sizeof err);
  EXPECT_EQ(le_tessera_members_open(dir.c_str(), err, 10), nullptr);
  EXPECT_EQ(std::string(err), refusal.substr(0, 9));
  EXPECT_EQ(le_tessera_members_open(nullptr, err, 0), nullptr);  // nothing written at err_len 0
  EXPECT_EQ(std::string(err), refusal.substr(0, 9));

  h = le_tessera_carriage_open((dir + "/no-such-bundle").c_str());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(le_tessera_carriage_missing_count(h), 4);
  le_tessera_carriage_close(h);
  EXPECT_EQ(le_tessera_carriage_open(nullptr), nullptr);
  EXPECT_EQ(le_tessera_slot_count(), 4);
  EXPECT_STREQ(le_tessera_slot_key(3), "head_config");
  EXPECT_EQ(le_tessera_slot_key(4), nullptr);
  EXPECT_EQ(le_test_tessera_header_from_c(), 1);
}

TEST(TesseraMembers, EverySidecarDisagreementIsRefused) {
  const struct {
    const char* file;  // "s" sidecar, "m" manifest
    const char* edit;
    const char* refusal;  // where the text starts after the member path, or the whole text
  } rows[] = {
      {"s", "j['format'] = 'tessera_bank.v2'", " declares format 'tessera_bank.v2', not 'tessera_bank.v1'"},
      {"s", "del j['geometry']", " carries no `geometry` stamp"},
      {"s", "del j['geometry']['pad']", "teeth: SIDE.geometry lacks numeric 'pad'"},
      {"m", "j['tessera']['geometry']['pad'] += 1",
       "teeth geometry DISAGREES between the manifest and the bank sidecar — manifest {canvas_w=128"},
      {"s", "g = j['geometry']; g['band_c1'] = g['band_c0']; g['shift_margin'] = 0; j['manifest_geometry'] = 0",
       "teeth stamp yields a non-positive stored patch (0x"},
      {"s", "j['n_donors'] = 0", " says n_donors=0"},
      {"s", "j['n_donors'] = 1025", " carries n_donors=1025, over the owner's cap of 1024"},
      {"s", "j['cent'] = 5", " lacks one of track_order/cent/aperture/c_canon as an array"},
      {"s", "j['aperture'].pop()", " says n_donors=18 but carries track_order=18, cent=18, aperture=17"},
      {"s", "j['c_canon'] = [1]", " c_canon is not a pair"},
      {"s", "j['track_order'][3] = 18", " track_order[3]=18 is outside [0,18)"},
      {"s", "j['track_order'][3] = j['track_order'][4]", " track_order is not a permutation (reference "},
      {"s", "j['cent'][2] = [1, 2, 3]", " cent[2] is not an (x,y) pair"},
      {"s", "del j['codec']['pix_fmt']", nullptr},
      {"m", "del j['tessera']['bank_pix_fmt']", nullptr},
  };
  std::vector<std::string> sideEdits, manifestEdits;
  for (const auto& r : rows) {
    const bool side = std::string(r.file) == "s";
    const bool both = std::string(r.edit).find("manifest_geometry") != std::string::npos;
    sideEdits.push_back(side ? r.edit : "pass");
    manifestEdits.push_back(!side ? r.edit : both ? "del j['tessera']['geometry']" : "pass");
  }
  const std::string from = lt::fixture("bundle_teeth");
  const std::string scratch = lt::scratchDir();
  const auto sides = tt::jsonVariants(from + "/tessera_bank.v1.json", sideEdits, scratch);
  const auto manifests = tt::jsonVariants(from + "/manifest.json", manifestEdits, scratch);
  const std::string dir = tt::teethCopy();
  const std::string side = dir + "/tessera_bank.v1.json";
  for (size_t i = 0; i < sideEdits.size(); ++i) {
    lt::spit(side, sides[i]);
    lt::spit(dir + "/manifest.json", manifests[i]);
    const std::string got = lt::errorOf([&] { le::loadTesseraMembers(dir); });
    if (!rows[i].refusal) {
      EXPECT_EQ(got, "(no error)") << rows[i].edit;  // one of the two pixel-format statements is enough
      continue;
    }
    std::string want = rows[i].refusal;
    if (want.rfind("teeth: SIDE", 0) == 0) want.replace(7, 4, side);
    if (want[0] == ' ') want = side + want;
    EXPECT_THAT(got, StartsWith(want)) << rows[i].edit;
  }
  // With neither pixel-format statement the decoder would guess: refused.
  lt::spit(side, lt::slurp(from + "/tessera_bank.v1.json"));
  lt::spit(dir + "/manifest.json", lt::slurp(from + "/manifest.json"));
  tt::editJson(dir + "/tessera_bank.v1.json", "del j['codec']['pix_fmt']");
  tt::editJson(dir + "/manifest.json", "del j['tessera']['bank_pix_fmt']");
  EXPECT_THAT(lt::errorOf([&] { le::loadTesseraMembers(dir); }),
              StartsWith(dir + ": neither manifest.tessera.bank_pix_fmt nor "));
  // The cap itself is accepted.
  tt::editJson(dir + "/tessera_bank.v1.json",
               "j['n_donors'] = 1024; j['track_order'] = list(range(1024)); j['cent'] = [[0, 0]] * 1024; "
               "j['aperture'] = [0] * 1024; j['codec']['pix_fmt'] = 'gbrp'");
  EXPECT_EQ(le::loadTesseraMembers(dir).n_donors, 1024);
}

// The demo-shaped bundle loads, and the C reorder puts each track band in its donor slot.
TEST(TesseraMembers, TheDemoShapedBundleLoadsAndReorders) {
  const le::TesseraAttachInputs in = le::loadTesseraMembers(lt::fixture("bundle_teeth"));
  EXPECT_EQ(in.n_donors, 18);
  EXPECT_EQ(in.band_w, 64 * 85 / 100 - 64 * 15 / 100 + 2);
  EXPECT_EQ(in.bank_container, "mp4");
  EXPECT_EQ(in.bank_pix_fmt, "gbrp");
  EXPECT_EQ(in.bank_packing, "rgb24_frames");
  EXPECT_EQ(in.cent.size(), 36u);
  EXPECT_FALSE(in.head_pt.empty());
  EXPECT_EQ(le::tesseraStampText(in.stamp).substr(0, 30), "{canvas_w=128, canvas_h=128, w");
  char err[256] = "";
  le_tessera_members* m = le_tessera_members_open(lt::fixture("bundle_teeth").c_str(), err, sizeof err);
  ASSERT_NE(m, nullptr) << err;
  const long bytes = le_tessera_members_band_bytes(m);
  const int n = le_tessera_members_n_donors(m);
  ASSERT_EQ(bytes, static_cast<long>(n) * le_tessera_members_band_w(m) * le_tessera_members_band_h(m) * 3);
  const size_t band = static_cast<size_t>(bytes / n);
  std::vector<uint8_t> track(static_cast<size_t>(bytes)), donor(track.size(), 0);
  for (int i = 0; i < n; ++i) std::memset(track.data() + i * band, i, band);
  ASSERT_EQ(le_tessera_members_reorder(m, track.data(), donor.data(), err, sizeof err), 0) << err;
  for (int i = 0; i < n; ++i) EXPECT_EQ(donor[static_cast<size_t>(in.track_order[static_cast<size_t>(i)]) * band], i);
  EXPECT_EQ(le_tessera_members_reorder(m, nullptr, donor.data(), err, sizeof err), 1);
  EXPECT_STREQ(err, "le_tessera_members_reorder: null argument");
  EXPECT_STREQ(le_tessera_members_bank_codec(m), "h264");
  EXPECT_EQ(le_tessera_members_head_pt_len(m), static_cast<long>(in.head_pt.size()));
  EXPECT_EQ(le_tessera_members_stamp(m)[0], 128);
  le_tessera_members_close(m);
  EXPECT_STREQ(le_tessera_members_head_json(nullptr), "");
  EXPECT_EQ(le_tessera_members_cent(nullptr), nullptr);

  le::TesseraAttachInputs bad = in;
  bad.track_order.pop_back();
  EXPECT_EQ(lt::errorOf([&] { le::reorderTrackToDonor(bad, track.data(), donor.data()); }),
            "teeth: track_order does not match n_donors");
  bad = in;
  bad.band_w = 0;
  EXPECT_EQ(lt::errorOf([&] { le::reorderTrackToDonor(bad, track.data(), donor.data()); }),
            "teeth: zero reference stride");
}

}  // namespace
