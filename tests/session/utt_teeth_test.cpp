// A session with its teeth pass armed, inline or on its own thread: speech
// frames equal render, the pass's C call, write-back and paste; every frame
// comes out once across both drains; the attach refuses with its sentences.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "le/bundle_teeth.h"
#include "session/session_support.h"
#include "support/fixtures.h"
#include "tessera/stream_borrow.h"
#include "tessera/tessera_support.h"
#include "tessera/unified_pi.h"

namespace {

using namespace le::tessera;
using st::teethBundle;
constexpr size_t kKp = 63;

// The teeth bundle's renderer on one thread: ONNX Runtime's own workers hand
// tensors over where ThreadSanitizer cannot see, and it spends seconds on
// each such report before the suppressions drop it.
st::Ctx render1() { return st::Ctx(le_create(teethBundle().c_str(), "render", 1, "")); }

// A session on the teeth bundle, its pass inline or on its own thread.
struct TeethSession {
  explicit TeethSession(bool ownThread, bool arm = true)
      : w2v("W2V_ONNX", st::w2vPath().c_str()),
        pipe("LE_UTT_PIPELINE_PASTE", ownThread ? "1" : "0"),
        ctx(render1()),
        utt(st::openReady(ctx.get(), [] {
          le_utt_opts o = st::defaults();
          o.steady_model = "-";  // every crop from the model the host renders with
          return o;
        }())),
        bytes(static_cast<size_t>(le_width(ctx.get())) * le_height(ctx.get()) * 3) {
    if (arm) le::attachBundleTeeth(utt.get(), teethBundle());
  }
  std::vector<st::Pulled> pullUtterance() { return st::pullUtterance(utt.get(), bytes); }
  lt::ScopedEnv w2v, pipe;
  st::Ctx ctx;
  st::Utt utt;
  size_t bytes;
};

// The kind runs of an utterance's frames from its first speech frame, each
// speech frame checked to carry its number in the utterance.
std::string shapeOf(const std::vector<st::Pulled>& frames) {
  int k = 0;
  for (const auto& f : frames)
    if (f.info.kind == 1) {
      EXPECT_EQ(f.info.utt_frame, k++);
    }
  const std::string runs = st::kindRuns(frames);
  return runs.substr(std::min(runs.find("1x"), runs.size()));
}

class UttTeeth : public ::testing::TestWithParam<bool> {};

TEST_P(UttTeeth, FramesAreRenderThenTheCPassThenPasteAndEachHeldFrameComesOutOnce) {
  TeethSession s(GetParam());
  const std::vector<int16_t> pcm = st::clip();
  const int want = static_cast<int>((pcm.size() + 639) / 640);
  st::pushAll(s.utt.get(), pcm);
  le_utt_end_utterance(s.utt.get());
  const auto frames = s.pullUtterance();
  // The end of speech drained the held frame: every speech and ramp frame came out once.
  const std::string whole = "1x" + std::to_string(want) + " 2x6 0x1";
  ASSERT_EQ(shapeOf(frames), whole);
  std::vector<const st::Pulled*> speech;
  for (const auto& f : frames)
    if (f.info.kind == 1) speech.push_back(&f);
  std::vector<int> idx;
  std::vector<float> xs, xd;
  st::motionRows(pcm, speech[0]->info.si, want, idx, xs, xd);

  // The host's side: render every speech crop, let a stream borrow draw its
  // masks and shifts, and run the pass through its C call on those.
  const tt::Members m(teethBundle());
  const std::vector<float> table = lt::arrayOf<float>(st::motionBundle() + "/xs_target.bin");
  StreamBorrow borrow(m.bank, m.head, m.cfg,
                      UnifiedPi::corpusFromManifestJson(m.in.manifest_json, le_crop(s.ctx.get()), table.data(),
                                                        st::kNt, m.in.c_canon.data()),
                      lt::slurp(teethBundle() + "/lip_template.v1.json"));
  st::Ctx ref = render1();
  const int N = le_crop(ref.get());
  const size_t plane = static_cast<size_t>(N) * N;
  std::vector<float> crops(want * plane * 3);
  std::vector<uint8_t> canvas(want * plane * 3), masks(want * plane);
  std::vector<int> shifts(2 * want, -10000);
  FrameResult r;
  for (int k = 0; k < want; ++k) {
    const float* crop = le_render_kp_crop(ref.get(), idx[k], &xs[k * kKp], &xd[k * kKp]);
    ASSERT_NE(crop, nullptr) << le_last_error();
    std::memcpy(&crops[k * plane * 3], crop, plane * 3 * sizeof(float));
    for (size_t i = 0; i < plane; ++i)
      for (int c = 0; c < 3; ++c) canvas[(k * plane + i) * 3 + c] = cropByte(crop[c * plane + i]);
    if (borrow.push(crop, &xd[k * kKp], &r) && !r.skipped) {
      shifts[2 * r.frameIndex] = r.shiftRow;
      shifts[2 * r.frameIndex + 1] = r.shiftCol;
    }
    std::memcpy(&masks[k * plane], borrow.mask(), plane);
  }
  const tt::CRun run = tt::runC(m, m.in.head_json, canvas.data(), masks.data(), shifts.data(), want);
  ASSERT_EQ(run.rc, 0) << run.err;

  // The last speech frame looks ahead to the first ramp frame, which the
  // host's run does not have: every frame before it must match.
  const size_t window = run.windows.size() / want;
  int served = 0, worst = 0;
  std::vector<uint8_t> pasted(s.bytes);
  for (int k = 0; k + 1 < want; ++k) {
    FrameResult w;
    w.skipped = run.status[k] != 0;
    w.window.assign(run.windows.begin() + k * window, run.windows.begin() + (k + 1) * window);
    served += !w.skipped;
    StreamBorrow::writeWindowDelta(&crops[k * plane * 3], N, w, m.stamp());
    ASSERT_EQ(le_paste_crop(ref.get(), idx[k], &crops[k * plane * 3], pasted.data(), pasted.size()), 1);
    for (size_t i = 0; i < pasted.size(); ++i) worst = std::max(worst, std::abs(pasted[i] - speech[k]->rgb[i]));
  }
  EXPECT_EQ(worst, 0);  // the same bytes
  EXPECT_GT(served, want / 2) << "most speech frames show teeth";
  uint64_t a = 0, b = 0;
  char text[256] = "";
  EXPECT_EQ(le_utt_tessera_stats(s.utt.get(), &a, &b, text, sizeof text), 1) << text;
  EXPECT_EQ(a + b, static_cast<uint64_t>(want + 6)) << text;  // every speech and ramp frame went through
  double mean = 0, last = 0;
  uint64_t n = 0;
  EXPECT_EQ(le_utt_tessera_synth_w(s.utt.get(), &mean, &last, &n), 1);
  EXPECT_EQ(n, a);
  EXPECT_GT(mean, 0.0);
  EXPECT_EQ(le_utt_tessera_geometry(s.utt.get(), text, sizeof text), 1);
  EXPECT_NE(std::string(text).find("lip contour"), std::string::npos) << text;

  // Interrupted part way: the frames after it are the ease back, then a
  // fresh utterance comes out whole, nothing of the first in it.
  st::pushAll(s.utt.get(), pcm);
  int spoken = 0;
  st::pullUntil(s.utt.get(), s.bytes, [&](const st::Pulled& p) { return p.info.kind == 1 && ++spoken == 5; });
  ASSERT_EQ(st::waitAvailable(s.utt.get(), 8, 30), 8);
  le_utt_interrupt(s.utt.get());
  EXPECT_EQ(st::kindRuns(s.pullUtterance()), "2x4 0x1");
  st::pushAll(s.utt.get(), pcm);
  le_utt_end_utterance(s.utt.get());
  const auto again = s.pullUtterance();
  EXPECT_EQ(shapeOf(again), whole);
  for (size_t i = 1; i < again.size(); ++i) EXPECT_GT(again[i].info.seq, again[i - 1].info.seq);
  // And the pass, its held frame let go at the interrupt, served it all.
  uint64_t a2 = 0, b2 = 0;
  EXPECT_EQ(le_utt_tessera_stats(s.utt.get(), &a2, &b2, text, sizeof text), 1) << text;
  EXPECT_GE(a2 + b2, a + b + want + 6) << text;
}

INSTANTIATE_TEST_SUITE_P(InlineAndOwnThread, UttTeeth, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "OwnThread" : "Inline"; });

TEST(UttTeethAttach, RefusesWithItsSentencesInOrderAndServesOnUnarmed) {
  TeethSession s(false, false);
  const tt::Members m(teethBundle());
  le::TesseraStamp wide = m.in.stamp;
  wide[0] = wide[1] = 256;  // canvas_w, canvas_h
  const auto attach = [&](le_utt* utt, const uint8_t* track, int donors, const int* stamp) {
    char err[512] = "";
    EXPECT_EQ(le_utt_tessera_attach(utt, track, donors, m.in.cent.data(), m.in.c_canon.data(), m.in.aperture.data(),
                                    stamp, m.in.head_json.c_str(), m.in.head_pt.data(),
                                    static_cast<long>(m.in.head_pt.size()), m.in.manifest_json.c_str(), err,
                                    sizeof err),
              1);
    return std::string(err);
  };
  const uint8_t* track = m.bank.track.data();
  EXPECT_EQ(attach(nullptr, track, m.bank.n, m.in.stamp.data()), "le_utt_tessera_attach: null session");
  EXPECT_EQ(attach(s.utt.get(), nullptr, m.bank.n, m.in.stamp.data()),
            "le_utt_tessera_attach: a required member is null — this ABI has no partial-attach state");
  EXPECT_EQ(attach(s.utt.get(), track, 0, m.in.stamp.data()), "le_utt_tessera_attach: n_donors <= 0");
  EXPECT_EQ(attach(s.utt.get(), track, m.bank.n, wide.data()),
            "le_utt_tessera_attach: bank canvas 256x256 != this bundle's render crop");
  char text[8] = "x";
  EXPECT_EQ(le_utt_tessera_stats(s.utt.get(), nullptr, nullptr, text, sizeof text), 0);
  EXPECT_STREQ(text, "");
  le::attachBundleTeeth(s.utt.get(), teethBundle());
  EXPECT_EQ(lt::errorOf([&] { le::attachBundleTeeth(s.utt.get(), teethBundle()); }),
            "le_utt_tessera_attach: a teeth pass is already armed on this session");
  EXPECT_EQ(le_utt_tessera_stats(s.utt.get(), nullptr, nullptr, text, sizeof text), 1);
}

}  // namespace
