// Renders equal the director run through plain Session::Run on inputs widened
// and laid out by the test itself, for both layouts, full and padded batches.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <vector>

#include "render/renderer_support.h"
#include "support/fixtures.h"

namespace {

struct ParityCase {
  const char* bundle;
  const char* key;
  bool featSynth;
  int batch;
  std::vector<int> si;     // n source frames
  std::vector<int> kpRow;  // n drive rows for the keypoints
};

// Keeps test listings readable instead of dumping the struct's bytes.
void PrintTo(const ParityCase& c, std::ostream* os) { *os << c.bundle << "/" << c.key << " n=" << c.si.size(); }

class RendererParity : public ::testing::TestWithParam<ParityCase> {};

TEST_P(RendererParity, MatchesPlainSessionRun) {
  const ParityCase& c = GetParam();
  lt::OpenBundle b(lt::fixture(c.bundle));
  auto r = b.renderer(c.key);
  ASSERT_EQ(r->batch(), c.batch);
  EXPECT_STREQ(r->backend(), "ort");
  EXPECT_STREQ(r->directorNote(), "");

  const int n = static_cast<int>(c.si.size());
  const std::vector<float> xs = lt::gatherRows(b.xs, c.kpRow), xd = lt::gatherRows(b.xd, c.kpRow);
  // The reference batch pads with the last real frame, as a caller would.
  std::vector<int> si = c.si, kpRow = c.kpRow;
  si.resize(c.batch, c.si.back());
  kpRow.resize(c.batch, c.kpRow.back());
  const std::vector<float> want = lt::referenceRender(b, c.key, c.featSynth, si, kpRow);

  const float* got = r->render(c.si.data(), xs.data(), xd.data(), n);
  ASSERT_EQ(0, std::memcmp(got, want.data(), want.size() * sizeof(float)));

  const size_t crop = static_cast<size_t>(b.manifest.crop) * b.manifest.crop * 3;
  for (int slot = n; slot < c.batch; ++slot)
    EXPECT_EQ(0, std::memcmp(got + slot * crop, got + (n - 1) * crop, crop * sizeof(float))) << "slot " << slot;

  // A second render over the same bindings sees fresh inputs.
  std::vector<int> again(c.si.rbegin(), c.si.rend());
  std::vector<int> againRows(c.kpRow.rbegin(), c.kpRow.rend());
  const std::vector<float> xs2 = lt::gatherRows(b.xs, againRows), xd2 = lt::gatherRows(b.xd, againRows);
  std::vector<int> si2 = again, rows2 = againRows;
  si2.resize(c.batch, again.back());
  rows2.resize(c.batch, againRows.back());
  const std::vector<float> want2 = lt::referenceRender(b, c.key, c.featSynth, si2, rows2);
  got = r->render(again.data(), xs2.data(), xd2.data(), n);
  EXPECT_EQ(0, std::memcmp(got, want2.data(), want2.size() * sizeof(float)));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, RendererParity,
    ::testing::Values(ParityCase{"bundle_director", "render", false, 1, {2}, {3}},
                      ParityCase{"bundle_director", "b4", false, 4, {0, 2, 1, 2}, {1, 4, 6, 2}},
                      ParityCase{"bundle_director", "b4", false, 4, {1, 2}, {5, 3}},
                      ParityCase{"bundle_featsynth", "render", true, 1, {1}, {4}},
                      ParityCase{"bundle_featsynth", "b4", true, 4, {2, 0, 1, 0}, {0, 7, 3, 5}},
                      ParityCase{"bundle_featsynth", "b4", true, 4, {0}, {6}}),
    [](const auto& info) {
      const ParityCase& c = info.param;
      return std::string(c.featSynth ? "FeatSynth" : "Prgb") + "B" + std::to_string(c.batch) + "N" +
             std::to_string(c.si.size());
    });

TEST(RendererRender, RefusesBatchCountsOutsideOneToBatch) {
  lt::OpenBundle b(lt::fixture("bundle_director"));
  auto r = b.renderer("b4");
  const int si[5] = {0, 0, 0, 0, 0};
  std::vector<float> kp(5 * 63, 0.f);
  for (int n : {0, -1, 5}) {
    try {
      r->render(si, kp.data(), kp.data(), n);
      ADD_FAILURE() << "n=" << n << " rendered";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "render: bad n");
    }
  }
}

}  // namespace
