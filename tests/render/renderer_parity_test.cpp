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
  std::vector<int> si, kpRow;  // n source frames and n drive rows
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
  const size_t crop = static_cast<size_t>(b.manifest.crop) * b.manifest.crop * 3;

  // A second render over the same bindings, frames reversed, sees fresh inputs.
  for (bool reversed : {false, true}) {
    std::vector<int> si = c.si, rows = c.kpRow;
    if (reversed) si.assign(c.si.rbegin(), c.si.rend()), rows.assign(c.kpRow.rbegin(), c.kpRow.rend());
    const std::vector<float> xs = lt::gatherRows(b.xs, rows), xd = lt::gatherRows(b.xd, rows);
    const float* got = r->render(si.data(), xs.data(), xd.data(), n);
    // The reference batch pads with the last real frame, as a caller would.
    si.resize(c.batch, si.back());
    rows.resize(c.batch, rows.back());
    const std::vector<float> want = lt::referenceRender(b, c.key, c.featSynth, si, rows);
    ASSERT_EQ(0, std::memcmp(got, want.data(), want.size() * sizeof(float))) << "reversed " << reversed;
    for (int slot = n; slot < c.batch; ++slot)
      EXPECT_EQ(0, std::memcmp(got + slot * crop, got + (n - 1) * crop, crop * sizeof(float))) << "slot " << slot;
  }
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
  for (int n : {0, -1, 5})
    EXPECT_EQ(lt::thrown([&] { r->render(si, kp.data(), kp.data(), n); }), "render: bad n") << "n=" << n;
}

}  // namespace
