// The stream borrow: its construction checks, the crop's bytes, the
// one-frame delay and the two window write-backs.
#include "tessera/stream_borrow.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/fixtures.h"
#include "tessera/head_pt.h"
#include "tessera/members.h"

namespace {

using namespace le::tessera;

struct Demo {
  Demo()
      : in(le::loadTesseraMembers(lt::fixture("demo_teeth"))),
        bank(loadBank(in)),
        head(loadHeadPt(in.head_pt)),
        cfg(ServeConfig::fromHeadMemberJson(in.head_json)),
        pi(UnifiedPi::fromManifestJson(in.manifest_json, bank.stamp.canvasW)),
        lip(lt::slurp(lt::fixture("demo_teeth") + "/lip_template.v1.json")),
        xs(lt::slurp(lt::fixture("demo_teeth") + "/xs_target.bin")) {}
  le::TesseraAttachInputs in;
  BankData bank;
  HeadWeights head;
  ServeConfig cfg;
  UnifiedPi pi;
  std::string lip, xs;
  const float* kp() const { return reinterpret_cast<const float*>(xs.data()); }
};

TEST(StreamBorrow, RefusesACanvasThePiDoesNotName) {
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
}

TEST(StreamBorrow, PushesOneFrameBehindAndWritesTheWindowBack) {
  Demo d;
  StreamBorrow b(d.bank, d.head, d.cfg, d.pi, d.lip);
  const int N = b.side();
  const GeometryStamp& st = b.pass().stamp();
  EXPECT_EQ(cropByte(0.5f), 128);  // 127.5 rounds to the even 128
  EXPECT_EQ(cropByte(0.50196f), 128);
  EXPECT_EQ(cropByte(-0.1f), 0);
  std::vector<float> crop(3 * static_cast<size_t>(N) * N);
  for (size_t i = 0; i < crop.size(); ++i) crop[i] = static_cast<float>((i * 37) % 1000) / 1000.0f;
  FrameResult r;
  EXPECT_FALSE(b.push(crop.data(), d.kp(), &r));
  ASSERT_TRUE(b.push(crop.data(), d.kp(), &r));
  EXPECT_EQ(r.frameIndex, 0);
  ASSERT_FALSE(r.skipped) << r.reason;

  // A window equal to the crop's own bytes leaves the float crop exactly.
  FrameResult same = r;
  const size_t plane = static_cast<size_t>(N) * N;
  for (int y = 0; y < st.windowH; ++y)
    for (int x = 0; x < st.windowW; ++x)
      for (int c = 0; c < 3; ++c)
        same.window[(static_cast<size_t>(y) * st.windowW + x) * 3 + c] =
            cropByte(crop[c * plane + static_cast<size_t>(st.windowY + y) * N + st.windowX + x]);
  std::vector<float> kept = crop;
  StreamBorrow::writeWindowDelta(kept.data(), N, same, st);
  EXPECT_EQ(kept, crop);
  // The pass's window lands: every window byte of the crop becomes the
  // result's (the kept detail below a byte step may round a half level over).
  StreamBorrow::writeWindowDelta(kept.data(), N, r, st);
  long moved = 0;
  for (int y = 0; y < st.windowH; ++y)
    for (int x = 0; x < st.windowW; ++x)
      for (int c = 0; c < 3; ++c) {
        const size_t i = c * plane + static_cast<size_t>(st.windowY + y) * N + st.windowX + x;
        const uint8_t want = r.window[(static_cast<size_t>(y) * st.windowW + x) * 3 + c];
        ASSERT_LE(std::abs(int(cropByte(kept[i])) - int(want)), 1);
        moved += kept[i] != crop[i];
      }
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
