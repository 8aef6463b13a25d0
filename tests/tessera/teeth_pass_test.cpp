// The teeth pass against a numpy reference written from its description
// (teeth_reference.py), and its refusals.
#include "tessera/teeth_pass.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "le/le_tessera.h"
#include "support/fixtures.h"
#include "tessera/tessera_support.h"

namespace {

using namespace le::tessera;
using lt::arrayOf;

TEST(TeethPass, MatchesTheNumpyReference) {
  const std::string bundle = lt::fixture("bundle_teeth"), dir = lt::scratchDir() + "/teeth_ref";
  ASSERT_EQ(lt::run(std::string(LE_TEST_PYTHON) + " " + LE_TEST_SOURCE_DIR + "/tests/tessera/teeth_reference.py " +
                    bundle + " " + dir),
            0);
  const tt::Members m(bundle);
  const std::vector<uint8_t> frames = arrayOf<uint8_t>(dir + "/frames.u8"), masks = arrayOf<uint8_t>(dir + "/masks.u8");
  const size_t px = static_cast<size_t>(m.stamp().canvasW) * m.stamp().canvasH;
  const int n = static_cast<int>(masks.size() / px);
  ASSERT_EQ(n, 10);
  for (const std::string c : {"run", "shift"}) {
    SCOPED_TRACE(c);
    const std::string head = lt::slurp(dir + "/" + c + "_head.json");
    const std::vector<int32_t> shifts = arrayOf<int32_t>(dir + "/" + c + "_shifts.i32");
    const tt::CRun got = tt::runC(m, head, frames.data(), masks.data(), c == "shift" ? shifts.data() : nullptr, n);
    ASSERT_EQ(got.rc, 0) << got.err;
    EXPECT_EQ(got.status, arrayOf<int32_t>(dir + "/" + c + "_status.i32"));
    // Pixels the head's blend reaches may round one level apart (float32
    // convolutions and exp here, float64 there); every other pixel is exact.
    const std::vector<uint8_t> want = arrayOf<uint8_t>(dir + "/" + c + "_windows.u8");
    const std::vector<uint8_t> blended = arrayOf<uint8_t>(dir + "/" + c + "_blended.u8");
    ASSERT_EQ(got.windows.size(), want.size());
    long off = 0;
    for (size_t i = 0; i < want.size(); ++i) {
      const int d = std::abs(int(got.windows[i]) - int(want[i]));
      ASSERT_LE(d, blended[i / 3] ? 1 : 0) << "byte " << i;
      off += d;
    }
    std::printf("[teeth] %s: %ld blended values one level off, every other value exact\n", c.c_str(), off);

    // The donor lists (per frame a count, then the candidates), exactly, and
    // each frame once, one push behind.
    TeethPass pass(m.bank, m.head, ServeConfig::fromHeadMemberJson(head));
    std::vector<int32_t> lists;
    FrameResult r;
    for (int k = 0; k <= n; ++k) {
      const int* s = c == "shift" && k < n && shifts[2 * k] != -10000 ? &shifts[2 * k] : nullptr;
      if (k < n ? pass.push(k, &frames[k * 3 * px], &masks[k * px], s, &r) : pass.flush(&r)) {
        EXPECT_EQ(r.frameIndex, k - 1);
        lists.push_back(static_cast<int32_t>(r.donors.size()));
        lists.insert(lists.end(), r.donors.begin(), r.donors.end());
      }
    }
    EXPECT_EQ(lists, arrayOf<int32_t>(dir + "/" + c + "_cands.i32"));
    EXPECT_FALSE(pass.holding());
  }
}

// Construction and configuration refusals, each with its sentence.
TEST(TeethPass, RefusesIncoherentInputsWithTheirSentences) {
  const tt::Members m(lt::fixture("bundle_teeth"));
  const auto refusal = [&](const std::function<void(BankData&)>& edit) {
    BankData bank = m.bank;
    edit(bank);
    return lt::errorOf([&] { TeethPass p(std::move(bank), m.head, m.cfg); });
  };
  EXPECT_EQ(refusal([](BankData& b) { b.track.pop_back(); }).rfind("teeth: reference track is ", 0), 0u);
  EXPECT_EQ(refusal([](BankData& b) { b.apertures.pop_back(); }), "teeth: bank sidecar arrays disagree with n_donors");
  EXPECT_EQ(refusal([](BankData& b) { b.stamp.windowW = 0, b.stamp.bandC1 = 1000; }),
            "teeth: GeometryStamp incoherent: window dims must be positive; band cols escape window; stored band cols "
            "escape patch;");
  const std::string dir = lt::scratchDir();
  const std::vector<std::string> texts = tt::jsonVariants(
      lt::fixture("bundle_teeth") + "/tessera_head.v1.json",
      {"del j['temporal']", "j['decode']['envelope_clamp_255'] = 12.5", "del j['retrieval']['cut']",
       "del j['retrieval']['kshort']"},
      dir);
  const char* refusals[] = {
      "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema — refusing to serve "
      "defaults (W3-01)",
      "teeth: member envelope_clamp_255 != the envelope of record (12/255) — the envelope is a gated quantity",
      "teeth: member JSON lacks key 'cut'"};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(lt::errorOf([&] { ServeConfig::fromHeadMemberJson(texts[i]); }), refusals[i]);
  EXPECT_EQ(ServeConfig::fromHeadMemberJson(texts[3]).kshort, 512);

  // The C call copies its refusal, truncated, into the caller's buffer.
  char err[24];
  EXPECT_EQ(le_tessera_run(nullptr, 1, nullptr, nullptr, nullptr, nullptr, nullptr, 0, "", nullptr, nullptr, 0,
                           nullptr, nullptr, err, sizeof err),
            1);
  EXPECT_STREQ(err, "teeth: a required argum");
}

}  // namespace
