// The teeth pass against a numpy reference written from its description
// (teeth_reference.py), its C calls, and its invariants on the demo bank.
#include "tessera/teeth_pass.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "le/le_tessera.h"
#include "support/fixtures.h"
#include "tessera/head_pt.h"
#include "tessera/members.h"
#include "tessera/tessera_support.h"

namespace {

using le::tessera::BankData;
using le::tessera::FrameResult;
using le::tessera::GeometryStamp;
using le::tessera::ServeConfig;
using le::tessera::TeethPass;

template <class T>
std::vector<T> arrayOf(const std::string& path) {
  const std::string b = lt::slurp(path);
  std::vector<T> v(b.size() / sizeof(T));
  std::memcpy(v.data(), b.data(), v.size() * sizeof(T));
  return v;
}

struct Bundle {
  explicit Bundle(const std::string& dir) : in(le::loadTesseraMembers(dir)), bank(le::tessera::loadBank(in)) {}
  le::TesseraAttachInputs in;
  BankData bank;
  const GeometryStamp& st() const { return bank.stamp; }
};

// Runs le_tessera_run (no shifts) or le_tessera_run_shift over the frames.
int runC(const Bundle& b, const std::string& headJson, const std::vector<uint8_t>& frames,
         const std::vector<uint8_t>& masks, const int* shifts, int n, std::vector<uint8_t>& windows,
         std::vector<int>& status, std::string& err) {
  windows.assign(static_cast<size_t>(n) * b.st().windowW * b.st().windowH * 3, 0);
  status.assign(static_cast<size_t>(n), -1);
  char text[512] = "";
  const int r = shifts ? le_tessera_run_shift(b.bank.track.data(), b.bank.n, b.in.cent.data(), b.in.c_canon.data(),
                                              b.in.aperture.data(), b.in.stamp.data(), b.in.head_pt.data(),
                                              static_cast<long>(b.in.head_pt.size()), headJson.c_str(), frames.data(),
                                              masks.data(), shifts, n, windows.data(), status.data(), text, sizeof text)
                       : le_tessera_run(b.bank.track.data(), b.bank.n, b.in.cent.data(), b.in.c_canon.data(),
                                        b.in.aperture.data(), b.in.stamp.data(), b.in.head_pt.data(),
                                        static_cast<long>(b.in.head_pt.size()), headJson.c_str(), frames.data(),
                                        masks.data(), n, windows.data(), status.data(), text, sizeof text);
  err = text;
  return r;
}

TEST(TeethPass, MatchesTheNumpyReference) {
  const std::string bundle = lt::fixture("bundle_teeth");
  const std::string dir = lt::scratchDir() + "/teeth_ref";
  ASSERT_EQ(lt::run(std::string(LE_TEST_PYTHON) + " " + LE_TEST_SOURCE_DIR + "/tests/tessera/teeth_reference.py " +
                    bundle + " " + dir),
            0);
  const Bundle b(bundle);
  const GeometryStamp& st = b.st();
  const std::vector<uint8_t> frames = arrayOf<uint8_t>(dir + "/frames.u8");
  const std::vector<uint8_t> masks = arrayOf<uint8_t>(dir + "/masks.u8");
  const size_t frameBytes = static_cast<size_t>(st.canvasW) * st.canvasH * 3, maskBytes = frameBytes / 3;
  const int n = static_cast<int>(masks.size() / maskBytes);
  ASSERT_EQ(n, 10);
  const size_t winPx = static_cast<size_t>(st.windowW) * st.windowH;
  for (const std::string c : {"run", "shift"}) {
    SCOPED_TRACE(c);
    const std::string head = lt::slurp(dir + "/" + c + "_head.json");
    const std::vector<int32_t> shifts = arrayOf<int32_t>(dir + "/" + c + "_shifts.i32");
    std::vector<uint8_t> windows;
    std::vector<int> status;
    std::string err;
    ASSERT_EQ(runC(b, head, frames, masks, c == "shift" ? shifts.data() : nullptr, n, windows, status, err), 0) << err;
    EXPECT_EQ(status, arrayOf<int32_t>(dir + "/" + c + "_status.i32"));
    // Pixels the head's blend reaches may round one level apart (float32
    // convolutions and exp here, float64 there); every other pixel is exact.
    const std::vector<uint8_t> want = arrayOf<uint8_t>(dir + "/" + c + "_windows.u8");
    const std::vector<uint8_t> blended = arrayOf<uint8_t>(dir + "/" + c + "_blended.u8");
    long off = 0, reached = 0;
    for (size_t i = 0; i < want.size(); ++i) {
      const int d = std::abs(int(windows[i]) - int(want[i]));
      const bool head = blended[i / 3] != 0;
      reached += head && i % 3 == 0;
      ASSERT_LE(d, head ? 1 : 0) << "frame " << i / (3 * winPx) << " pixel " << (i / 3) % winPx;
      off += d;
    }
    std::printf("[teeth] %s: %ld of %ld blended pixel values one level off, every other value exact\n", c.c_str(), off,
                3 * reached);

    // The donor lists: candidates frame by frame, exactly.
    const std::vector<int32_t> cands = arrayOf<int32_t>(dir + "/" + c + "_cands.i32");
    TeethPass pass(b.bank, le::tessera::loadHeadPt(b.in.head_pt), ServeConfig::fromHeadMemberJson(head));
    FrameResult r;
    size_t at = 0;
    int emitted = 0;
    const auto check = [&] {
      ASSERT_LT(at, cands.size());
      const std::vector<int> want(cands.begin() + at + 1, cands.begin() + at + 1 + cands[at]);
      EXPECT_EQ(r.donors, want) << "frame " << r.frameIndex;
      EXPECT_EQ(r.frameIndex, emitted++);
      at += 1 + cands[at];
    };
    for (int k = 0; k < n; ++k) {
      const int* s = c == "shift" && shifts[2 * k] != -10000 ? &shifts[2 * k] : nullptr;
      if (pass.push(k, frames.data() + k * frameBytes, masks.data() + k * maskBytes, s, &r)) check();
    }
    ASSERT_TRUE(pass.flush(&r));
    check();
    EXPECT_EQ(at, cands.size());
  }
}

// The invariants on the demo's own bank, at crop 512.
struct DemoTeeth : ::testing::Test {
  static const Bundle& demo() {
    static const Bundle b(lt::fixture("demo_teeth"));
    return b;
  }
};

TEST_F(DemoTeeth, PixelsOutsideTheMaskStayTheFramesAndFramesComeOneBehind) {
  const Bundle& b = demo();
  const GeometryStamp& st = b.st();
  TeethPass pass(b.bank, le::tessera::loadHeadPt(b.in.head_pt), ServeConfig::fromHeadMemberJson(b.in.head_json));
  const size_t px = static_cast<size_t>(st.canvasW) * st.canvasH;
  std::vector<uint8_t> frame(3 * px), mask(px, 0);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>((i * 7919) >> 5);
  // An elliptical mouth on the bank's centroid with a faint rim.
  const double cx = b.bank.refX, cy = b.bank.refY;
  for (int y = 0; y < st.canvasH; ++y)
    for (int x = 0; x < st.canvasW; ++x) {
      const double r = std::pow((x - cx) / 60, 2) + std::pow((y - cy) / 12, 2);
      mask[static_cast<size_t>(y) * st.canvasW + x] = r < 1 ? 255 : r < 1.4 ? 90 : 0;
    }
  const std::vector<uint8_t> empty(px, 0);
  FrameResult r;
  EXPECT_FALSE(pass.push(0, frame.data(), mask.data(), nullptr, &r));
  ASSERT_TRUE(pass.push(1, frame.data(), mask.data(), nullptr, &r));
  EXPECT_EQ(r.frameIndex, 0);
  ASSERT_FALSE(r.skipped) << r.reason;
  EXPECT_GT(r.donorsUsed, 0);
  long changed = 0;
  for (int y = 0; y < st.windowH; ++y)
    for (int x = 0; x < st.windowW; ++x) {
      // The window goes back where the stamp puts it; the mask there decides.
      const size_t f = static_cast<size_t>(st.windowY + y) * st.canvasW + st.windowX + x;
      const uint8_t* o = r.window.data() + (static_cast<size_t>(y) * st.windowW + x) * 3;
      for (int c = 0; c < 3; ++c) {
        if (mask[f] == 0) {
          ASSERT_EQ(o[c], frame[3 * f + c]) << "pixel " << x << "," << y;
        }
        changed += o[c] != frame[3 * f + c];
      }
    }
  EXPECT_GT(changed, 0);
  const int far[2] = {st.shiftMargin + 1, 0};
  ASSERT_TRUE(pass.push(2, frame.data(), empty.data(), nullptr, &r));
  EXPECT_EQ(r.frameIndex, 1);
  ASSERT_TRUE(pass.push(3, frame.data(), mask.data(), far, &r));
  EXPECT_EQ(r.frameIndex, 2);
  EXPECT_TRUE(r.skipped);
  EXPECT_STREQ(r.reason, "empty-pi");
  ASSERT_TRUE(pass.flush(&r));
  EXPECT_EQ(r.frameIndex, 3);
  EXPECT_TRUE(r.skipped);
  EXPECT_STREQ(r.reason, "shift-out-of-range");
  EXPECT_FALSE(pass.flush(&r));
  EXPECT_FALSE(pass.holding());
}

// Construction and configuration refusals, each with its sentence.
TEST(TeethPass, RefusesIncoherentInputsWithTheirSentences) {
  const Bundle b(lt::fixture("bundle_teeth"));
  const le::tessera::HeadWeights head = le::tessera::loadHeadPt(b.in.head_pt);
  const ServeConfig cfg = ServeConfig::fromHeadMemberJson(b.in.head_json);
  const auto refusal = [&](BankData bank) {
    return lt::errorOf([&] { TeethPass p(std::move(bank), head, cfg); });
  };
  BankData shortTrack = b.bank;
  shortTrack.track.pop_back();
  EXPECT_NE(refusal(shortTrack).find("teeth: reference track is "), std::string::npos);
  BankData fewApertures = b.bank;
  fewApertures.apertures.pop_back();
  EXPECT_EQ(refusal(fewApertures), "teeth: bank sidecar arrays disagree with n_donors");
  BankData bad = b.bank;
  bad.stamp.windowW = 0;
  bad.stamp.bandC1 = 1000;
  EXPECT_EQ(refusal(bad),
            "teeth: GeometryStamp incoherent: window dims must be positive; band cols escape window; stored band cols "
            "escape patch;");

  const std::string dir = lt::scratchDir() + "/cfg";
  lt::run("mkdir -p " + dir);
  const std::string member = lt::fixture("bundle_teeth") + "/tessera_head.v1.json";
  const std::vector<std::string> texts = tt::jsonVariants(
      member,
      {"del j['temporal']", "del j['retrieval']['kshort']", "j['decode']['envelope_clamp_255'] = 12",
       "j['decode']['envelope_clamp_255'] = 12.5", "del j['retrieval']['cut']"},
      dir);
  EXPECT_EQ(lt::errorOf([&] { ServeConfig::fromHeadMemberJson(texts[0]); }),
            "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema — refusing to serve "
            "defaults (W3-01)");
  EXPECT_EQ(ServeConfig::fromHeadMemberJson(texts[1]).kshort, 512);
  EXPECT_EQ(ServeConfig::fromHeadMemberJson(texts[2]).K, 64);
  EXPECT_EQ(lt::errorOf([&] { ServeConfig::fromHeadMemberJson(texts[3]); }),
            "teeth: member envelope_clamp_255 != the envelope of record (12/255) — the envelope is a gated quantity");
  EXPECT_EQ(lt::errorOf([&] { ServeConfig::fromHeadMemberJson(texts[4]); }), "teeth: member JSON lacks key 'cut'");

  // The C call copies its refusal, truncated, into the caller's buffer.
  char err[24];
  int status = 0;
  uint8_t window = 0;
  EXPECT_EQ(le_tessera_run(nullptr, 1, nullptr, nullptr, nullptr, nullptr, nullptr, 0, "", nullptr, nullptr, 0,
                           &window, &status, err, sizeof err),
            1);
  EXPECT_STREQ(err, "teeth: a required argum");
}

// With K = 4 and two donors within the aperture tolerance, the selection is
// those two, then the second repeated.
TEST(TeethPass, SelectionRepeatsTheLastDonorWithinTheTolerance) {
  Bundle b(lt::fixture("bundle_teeth"));
  for (double& a : b.bank.apertures) a = 1.0;
  b.bank.apertures[3] = b.bank.apertures[7] = 0.0;  // the only ones within tolerance of each other
  ServeConfig cfg = ServeConfig::fromHeadMemberJson(b.in.head_json);
  cfg.K = 4, cfg.hysteresis = 0, cfg.lookaheadOn = false, cfg.apertureTol = 0.3;
  const GeometryStamp& st = b.st();
  const size_t px = static_cast<size_t>(st.canvasW) * st.canvasH;
  std::vector<uint8_t> frame(3 * px, 0), mask(px, 0);
  // A black mouth, and every donor but 3 and 7 white: those two rank first.
  for (int d = 0; d < b.bank.n; ++d)
    if (d != 3 && d != 7) {
      const size_t band = b.bank.track.size() / b.bank.n;
      std::memset(b.bank.track.data() + d * band, 255, band);
    }
  TeethPass dark(b.bank, le::tessera::loadHeadPt(b.in.head_pt), cfg);
  for (int y = -3; y <= 3; ++y)
    for (int x = -10; x <= 10; ++x)
      mask[static_cast<size_t>(b.bank.refY + y) * st.canvasW + static_cast<size_t>(b.bank.refX + x)] = 255;
  FrameResult r;
  dark.push(0, frame.data(), mask.data(), nullptr, &r);
  ASSERT_TRUE(dark.flush(&r));
  ASSERT_EQ(r.donors.size(), 4u);
  EXPECT_EQ(r.donors[2], r.donors[1]);
  EXPECT_EQ(r.donors[3], r.donors[1]);
  EXPECT_TRUE((r.donors[0] == 3 && r.donors[1] == 7) || (r.donors[0] == 7 && r.donors[1] == 3))
      << r.donors[0] << " " << r.donors[1];
}

}  // namespace
