// The teeth pass and the stream borrow on the demo's members: the skips, the
// borrow's construction checks, the crop's bytes, the one-frame delay, the
// pixels outside the mask and the two window write-backs.
#include "tessera/stream_borrow.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "support/fixtures.h"
#include "tessera/tessera_support.h"

namespace {

using namespace le::tessera;

struct Demo : tt::Members {
  Demo()
      : Members(lt::fixture("demo_teeth")),
        pi(UnifiedPi::fromManifestJson(in.manifest_json, bank.stamp.canvasW)),
        lip(lt::slurp(lt::fixture("demo_teeth") + "/lip_template.v1.json")),
        kp(lt::arrayOf<float>(lt::fixture("demo_teeth") + "/xs_target.bin")) {}
  UnifiedPi pi;
  std::string lip;
  std::vector<float> kp;
};

TEST(StreamBorrow, RefusesWhatItCannotComposeAndWritesTheWindowBackOneFrameLater) {
  Demo d;
  UnifiedPi other = d.pi;
  other.canvas = 256;
  EXPECT_EQ(lt::errorOf([&] { StreamBorrow b(d.bank, d.head, d.cfg, other, d.lip); }),
            "teeth stream: manifest pi canvas 256 != bank compose canvas 512 — refusing to compose a mouth on a canvas "
            "the stamp does not name");
  BankData wide = d.bank;
  wide.stamp.canvasW = 600;
  EXPECT_EQ(lt::errorOf([&] { StreamBorrow b(std::move(wide), d.head, d.cfg, d.pi, d.lip); }),
            "teeth stream: non-square compose canvas 600x512 — le_core renders a square crop");
  EXPECT_NE(lt::stderrOf([&] { StreamBorrow b(d.bank, d.head, d.cfg, d.pi, ""); }).find("delivery mask: ELLIPSE"),
            std::string::npos);

  {  // The pass alone on the demo bank: three frames pushed give two, the flush
     // the third, and the skips name their reason.
    TeethPass pass(d.bank, d.head, d.cfg);
    const size_t px = static_cast<size_t>(d.stamp().canvasW) * d.stamp().canvasH;
    const std::vector<uint8_t> frame(3 * px, 90), empty(px, 0);
    const int far[2] = {d.stamp().shiftMargin + 1, 0};
    FrameResult r;
    EXPECT_FALSE(pass.push(0, frame.data(), empty.data(), nullptr, &r));
    ASSERT_TRUE(pass.push(1, frame.data(), empty.data(), far, &r));
    EXPECT_STREQ(r.skipped ? r.reason : "served", "empty-pi");
    ASSERT_TRUE(pass.push(2, frame.data(), empty.data(), far, &r));
    EXPECT_EQ(r.frameIndex, 1);
    EXPECT_STREQ(r.skipped ? r.reason : "served", "shift-out-of-range");
    ASSERT_TRUE(pass.flush(&r));
    EXPECT_EQ(r.frameIndex, 2);
    EXPECT_FALSE(pass.flush(&r));
  }

  StreamBorrow b(d.bank, d.head, d.cfg, d.pi, d.lip);
  const int N = b.side();
  const GeometryStamp& st = b.pass().stamp();
  EXPECT_EQ(cropByte(0.5f), 128);  // 127.5 rounds to the even 128
  EXPECT_EQ(cropByte(0.50196f), 128);
  EXPECT_EQ(cropByte(-0.1f), 0);
  std::vector<float> crop(3 * static_cast<size_t>(N) * N);
  for (size_t i = 0; i < crop.size(); ++i) crop[i] = static_cast<float>((i * 37) % 1000) / 1000.0f;
  FrameResult r;
  EXPECT_FALSE(b.push(crop.data(), d.kp.data(), &r));
  ASSERT_TRUE(b.push(crop.data(), d.kp.data(), &r));
  EXPECT_EQ(r.frameIndex, 0);
  ASSERT_FALSE(r.skipped) << r.reason;

  // A window equal to the crop's own bytes leaves the float crop exactly.
  const size_t plane = static_cast<size_t>(N) * N;
  const auto eachWindowValue = [&](const std::function<void(size_t inCrop, size_t inWindow)>& f) {
    for (int y = 0; y < st.windowH; ++y)
      for (int x = 0; x < st.windowW; ++x)
        for (size_t c = 0; c < 3; ++c)
          f(c * plane + static_cast<size_t>(st.windowY + y) * N + st.windowX + x,
            (static_cast<size_t>(y) * st.windowW + x) * 3 + c);
  };
  // Where the frame's mask is zero the window keeps the frame's own bytes.
  long outside = 0, changedOutside = 0;
  eachWindowValue([&](size_t i, size_t w) {
    const size_t p = i % plane;
    if (b.mask()[p] != 0) return;
    ++outside;
    changedOutside += r.window[w] != b.canvas()[3 * p + i / plane];
  });
  EXPECT_EQ(changedOutside, 0);
  EXPECT_GT(outside, 0);
  FrameResult same = r;
  eachWindowValue([&](size_t i, size_t w) { same.window[w] = cropByte(crop[i]); });
  std::vector<float> kept = crop;
  StreamBorrow::writeWindowDelta(kept.data(), N, same, st);
  EXPECT_EQ(kept, crop);
  // The pass's window lands: every window byte of the crop becomes the
  // result's (the kept detail below a byte step may round a half level over).
  StreamBorrow::writeWindowDelta(kept.data(), N, r, st);
  long moved = 0, far = 0;
  eachWindowValue([&](size_t i, size_t w) {
    far += std::abs(int(cropByte(kept[i])) - int(r.window[w])) > 1;
    moved += kept[i] != crop[i];
  });
  EXPECT_EQ(far, 0);
  EXPECT_GT(moved, 0);

  std::vector<uint8_t> rgba(4 * plane, 7);
  FrameResult skipped;
  skipped.skipped = true;
  StreamBorrow::writeWindowDeltaRgba(rgba.data(), N, skipped, st);
  for (size_t i = 0; i < plane; ++i) ASSERT_EQ(rgba[4 * i + 3], 255);
  EXPECT_EQ(rgba[0], 7);
  StreamBorrow::writeWindowDeltaRgba(rgba.data(), N, r, st);
  EXPECT_EQ(0, std::memcmp(&rgba[(static_cast<size_t>(st.windowY) * N + st.windowX) * 4], r.window.data(), 3));
  FrameResult small = r;
  small.window.pop_back();
  EXPECT_NE(lt::errorOf([&] { StreamBorrow::writeWindowDelta(kept.data(), N, small, st); })
                .find("teeth stream: window "),
            std::string::npos);
}

}  // namespace
