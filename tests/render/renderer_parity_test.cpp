// Renders equal plain Session::Run on inputs the test lays out, for both layouts,
// full and padded batches, and allocate nothing; at the demo's crop of 512 with every
// load-time rewrite on, they stay within 1e-4 of the untouched model; the director
// moves only the mouth.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ostream>
#include <vector>

#include "render/renderer_impl.h"
#include "render/renderer_support.h"

namespace {

struct ParityCase {
  const char *bundle, *key;
  std::vector<int> si, kpRow;
};  // n source frames, n drive rows
void PrintTo(const ParityCase& c, std::ostream* os) { *os << c.bundle << "/" << c.key << " n=" << c.si.size(); }

class RendererParity : public ::testing::TestWithParam<ParityCase> {};

TEST_P(RendererParity, MatchesPlainSessionRun) {
  const ParityCase& c = GetParam();
  const lt::OpenBundle& b = lt::bundle(c.bundle);
  auto r = b.renderer(c.key);
  const int n = static_cast<int>(c.si.size()), batch = c.key == std::string("b4") ? 4 : 1;
  ASSERT_EQ(r->batch(), batch);
  const size_t crop = static_cast<size_t>(b.manifest.crop) * b.manifest.crop * 3;
  for (bool reversed : {false, true}) {  // a second render over the same bindings sees fresh inputs
    std::vector<int> si = c.si, rows = c.kpRow;
    if (reversed) si.assign(c.si.rbegin(), c.si.rend()), rows.assign(c.kpRow.rbegin(), c.kpRow.rend());
    const std::vector<float> xs = lt::gatherRows(b.drive.xs, rows), xd = lt::gatherRows(b.drive.xd, rows);
    const float* got = r->render(si.data(), xs.data(), xd.data(), n);
    si.resize(batch, si.back());  // the reference pads with the last real frame, as a caller would
    rows.resize(batch, rows.back());
    const std::vector<float> want = lt::referenceRender(b, c.key, b.identity->fsRed(0), si, rows);
    ASSERT_EQ(0, std::memcmp(got, want.data(), want.size() * sizeof(float))) << "reversed " << reversed;
    for (int slot = n; slot < batch; ++slot)
      EXPECT_EQ(0, std::memcmp(got + slot * crop, got + (n - 1) * crop, crop * sizeof(float))) << "slot " << slot;
  }
}

const std::vector<ParityCase> kParityCases = {{"bundle_director", "render", {2}, {3}},
                                              {"bundle_director", "b4", {0, 2, 1, 2}, {1, 4, 6, 2}},
                                              {"bundle_director", "b4", {1, 2}, {5, 2}},  // rows 5 and 3 drive alike
                                              {"bundle_featsynth", "render", {1}, {4}},
                                              {"bundle_featsynth", "b4", {2, 0, 1, 0}, {0, 7, 3, 5}},
                                              {"bundle_featsynth", "b4", {0}, {6}}};
INSTANTIATE_TEST_SUITE_P(Layouts, RendererParity, ::testing::ValuesIn(kParityCases));

// A cancelled renderer refuses until it is re-armed, then renders the same crop;
// a count outside 1..batch is refused.
TEST(RendererRender, CancelStopsRendersUntilLiftedAndBadCountsAreRefused) {
  const lt::OpenBundle& b = lt::bundle("bundle_director");
  auto r = b.renderer("render");
  const int si = 1, two[2] = {1, 1};
  for (int n : {0, -1, 2})
    EXPECT_EQ(lt::errorOf([&] { r->render(two, b.drive.xs.data(), b.drive.xd.data(), n); }), "render: bad n") << n;
  const size_t n = r->internals().out.size();
  const float* crop = r->render(&si, b.drive.xs.data(), b.drive.xd.data(), 1);
  const std::vector<float> before(crop, crop + n);
  r->cancel(true);
  EXPECT_NE(lt::errorOf([&] { r->render(&si, b.drive.xs.data(), b.drive.xd.data(), 1); }), "");
  r->cancel(false);
  crop = r->render(&si, b.drive.xs.data(), b.drive.xd.data(), 1);
  EXPECT_EQ(std::vector<float>(crop, crop + n), before);
}

TEST(RendererRender, AddsNoAllocationToTheDirectorRun) {
  ASSERT_EQ(lt::allocationsIn([] { ::operator delete(::operator new(8)); }), 1);  // the counter itself sees allocations
  for (const char* bundle : {"bundle_director", "bundle_featsynth"}) {
    const lt::OpenBundle& b = lt::bundle(bundle);
    auto r = b.renderer("b4");
    le::Renderer::Impl& im = r->internals();
    const int si[4] = {2, 0, 1, 1};
    const std::vector<float> xs = lt::gatherRows(b.drive.xs, {1, 2, 3, 4}),
                             xd = lt::gatherRows(b.drive.xd, {1, 2, 3, 4});
    for (int n : {4, 2}) r->render(si, xs.data(), xd.data(), n);  // first runs settle the runtime
    for (int n : {4, 1, 3})
      EXPECT_EQ(lt::allocationsIn([&] { im.stageInputs(si, xs.data(), xd.data(), n); }), 0) << bundle << " n=" << n;
    long bareRun = 1L << 30, render = 1L << 30;  // render adds nothing; the minimum filters one-off growth
    for (int i = 0; i < 4; ++i) {
      bareRun = std::min(bareRun, lt::allocationsIn([&] { im.session->Run(im.runOptions, *im.binding); }));
      render = std::min(render, lt::allocationsIn([&] { r->render(si, xs.data(), xd.data(), 3); }));
    }
    EXPECT_LE(render, bareRun) << bundle << " bare run " << bareRun;
  }
}

TEST(RendererRewrites, WholeDirectorMatchesTheUntouchedModel) {
  const std::string dir = lt::scratchDir() + "/director512";
  lt::forge("director-bundle " + dir + " --crop 512 --nt 2 --frames 6 --model model_render.onnx:1");
  const lt::OpenBundle b(dir);
  std::unique_ptr<le::Renderer> r;
  lt::stderrOf([&] { r = b.renderer("render", "", 2); });
  std::unique_ptr<le::Renderer> standardResize;
  {
    lt::ScopedEnv off("LE_RESIZE_FAST", "0");
    lt::stderrOf([&] { standardResize = b.renderer("render", "", 2); });
  }
  const size_t crop = size_t(3) * 512 * 512;
  for (const auto& [si, row] : {std::pair{0, 3}, {1, 5}}) {
    const float worst = lt::renderDiff(*r, b, si, row, true);
    EXPECT_LE(worst, 1e-4f) << "frame " << si << " row " << row;
    RecordProperty("max_abs_diff_frame" + std::to_string(si), ::testing::PrintToString(worst));
    // The separable Resize nodes against the runtime's own Resize, Pad, Conv and DepthToSpace.
    const std::vector<float> xs = lt::gatherRows(b.drive.xs, {row}), xd = lt::gatherRows(b.drive.xd, {row});
    const float* rendered = r->render(&si, xs.data(), xd.data(), 1);
    const std::vector<float> ours(rendered, rendered + crop);
    EXPECT_LE(lt::maxAbsDiff(ours.data(), standardResize->render(&si, xs.data(), xd.data(), 1), crop), 1e-5f) << si;
  }
}

TEST(DirectorModel, RendersInRangeAndLipRowsMoveOnlyTheMouth) {
  const lt::OpenBundle& b = lt::bundle("bundle_director");
  // Drive row 0 is closed, row 4 the widest opening; the source keypoints stay on row 0.
  const std::vector<float> closed = lt::referenceRender(b, "render", false, {1}, {0}, 0),
                           open = lt::referenceRender(b, "render", false, {1}, {4}, 0);
  for (float v : open) ASSERT_TRUE(v >= 0.f && v <= 1.f) << v;
  const auto meanAbsDiff = [&](int y0, int y1, int x0, int x1) {
    double sum = 0;
    for (int k = 0; k < 3 * 64 * 64; ++k)
      if (k / 64 % 64 >= y0 && k / 64 % 64 < y1 && k % 64 >= x0 && k % 64 < x1) sum += std::fabs(closed[k] - open[k]);
    return sum / (3 * (y1 - y0) * (x1 - x0));
  };
  EXPECT_GT(meanAbsDiff(40, 54, 22, 42), 0.03);  // the mouth, around y = 0.45 of the [-1, 1] crop
  EXPECT_EQ(meanAbsDiff(0, 12, 0, 12), 0.0);
  EXPECT_EQ(meanAbsDiff(0, 12, 52, 64), 0.0);
}

}  // namespace
