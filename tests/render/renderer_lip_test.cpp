// The lip contour in the renderer: which load path ran (splice, bind or
// neither), and crops that equal a direct run of the bound graph fed the
// same contour, cutting the graph's own ellipse down and nothing else.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "graph/compose_v2_splice.h"
#include "graph/lip_contour_bind.h"
#include "render/renderer_impl.h"
#include "render/renderer_support.h"
#include "support/fixtures.h"
#include "tessera/lip_contour.h"

namespace {

using testing::HasSubstr;

// The contour of drive rows `rows`, one canvas each, as the renderer rasterises it.
std::vector<float> contours(const lt::OpenBundle& b, const std::vector<int>& rows) {
  auto lc = le::tessera::LipContour::fromTemplateJson(b.manifest.lipTemplate, b.manifest.crop);
  const size_t px = static_cast<size_t>(b.manifest.crop) * b.manifest.crop;
  std::vector<float> lip(rows.size() * px);
  for (size_t i = 0; i < rows.size(); ++i)
    lc.contourF32Canvas(b.drive.xd.data() + static_cast<size_t>(rows[i]) * 63, lip.data() + i * px);
  return lip;
}

TEST(RendererLip, TheLoadLineSaysWhichPathRan) {
  const struct {
    const char *bundle, *key;
    std::vector<std::string> lines;
  } rows[] = {
      {"bundle_lip", "render", {"[le] compose: COMPOSE V2 (render) — lip contour + mouth-window compose"}},
      {"bundle_lip",
       "b4",
       {"[le] !!! compose v2 NOT spliced (b4): compose_v2.graphs.model_b4.onnx is absent",
        "[le] compose alpha: LIP CONTOUR (b4) — Min(a, lip_delivery) bound at load, 16 verts, feather 2.0 px"}},
      {"bundle_lip_bind", "render", {"[le] compose alpha: LIP CONTOUR (render) — Min(a, lip_delivery) bound"}},
      {"bundle_lip_stale",
       "render",
       {"[le] !!! compose v2 NOT spliced (render): compose v2 structure was built for member ",
        " — refusing to splice a stale structure — this session falls back to the load-time lip-contour bind",
        "[le] compose alpha: LIP CONTOUR (render)"}},
      {"bundle_director", "render", {"[le] !!! compose alpha: ELLIPSE (render)"}},
  };
  for (const auto& r : rows) {
    const std::string log = lt::stderrOf([&] { lt::bundle(r.bundle).renderer(r.key); });
    for (const std::string& line : r.lines) EXPECT_THAT(log, HasSubstr(line)) << r.bundle << "/" << r.key;
  }
}

TEST(RendererLip, CropsEqualTheBoundGraphFedTheSameContour) {
  for (const char* bundle : {"bundle_lip_bind", "bundle_lip"}) {
    const lt::OpenBundle& b = lt::bundle(bundle);
    for (const auto& [key, si, kpRow] :
         {std::tuple{"render", std::vector<int>{1}, std::vector<int>{4}},
          std::tuple{"b4", std::vector<int>{0, 2, 1, 2}, std::vector<int>{1, 4, 6, 2}}}) {
      auto r = b.renderer(key);
      ASSERT_TRUE(r->internals().lipDelivery) << bundle << "/" << key;
      const std::vector<float> xs = lt::gatherRows(b.drive.xs, kpRow), xd = lt::gatherRows(b.drive.xd, kpRow);
      const float* got = r->render(si.data(), xs.data(), xd.data(), static_cast<int>(si.size()));
      const std::vector<float> lip = contours(b, kpRow);
      const std::vector<float> want = lt::referenceRender(b, key, false, si, kpRow, -1, false, &lip);
      EXPECT_EQ(0, std::memcmp(got, want.data(), want.size() * sizeof(float))) << bundle << "/" << key;
    }
  }
}

TEST(RendererLip, OnesServeTheEllipseAndTheContourOnlyCutsItDown) {
  const lt::OpenBundle& b = lt::bundle("bundle_lip_bind");
  const std::vector<int> si{0, 1, 2, 0}, rows{2, 3, 4, 5};  // mouths opening
  const size_t px = static_cast<size_t>(b.manifest.crop) * b.manifest.crop;
  const std::vector<float> ones(4 * px, 1.0f), zeros(4 * px, 0.0f), lip = contours(b, rows);
  const std::vector<float> ellipse = lt::referenceRender(b, "b4", false, si, rows);
  EXPECT_EQ(lt::referenceRender(b, "b4", false, si, rows, -1, false, &ones), ellipse);
  const std::vector<float> face = lt::referenceRender(b, "b4", false, si, rows, -1, false, &zeros);
  const std::vector<float> contour = lt::referenceRender(b, "b4", false, si, rows, -1, false, &lip);
  size_t inside = 0, cut = 0;
  for (size_t i = 0; i < ellipse.size(); ++i) {
    const bool inEllipse = ellipse[i] != face[i];
    inside += inEllipse;
    if (!inEllipse) {
      ASSERT_EQ(contour[i], ellipse[i]) << "outside the ellipse, element " << i;
      continue;
    }
    // The mouth interior is the face darkened: less alpha is never darker.
    ASSERT_GE(contour[i], ellipse[i] - 1e-6f) << "element " << i;
    cut += contour[i] != ellipse[i];
  }
  EXPECT_GT(inside, 0u);
  EXPECT_GT(cut, 0u);
  std::printf("[lip] the ellipse covers %zu values; the contour cuts %zu of them\n", inside, cut);
}

TEST(RendererLip, GraphRefusalsLeaveTheModelAsItWas) {
  const std::string file = lt::slurp(lt::fixture("bundle_lip/model_render.onnx"));
  const std::vector<uint8_t> original(file.begin(), file.end());
  std::vector<uint8_t> structure;
  std::string src, sha, reason;
  ASSERT_EQ(le::tessera::composeV2StructureFromTemplate(lt::slurp(lt::fixture("bundle_lip/lip_template.v1.json")),
                                                        "model_render.onnx", structure, src, sha, &reason),
            1);
  std::vector<uint8_t> changed = structure, twoGraphs = structure;
  changed[changed.size() / 2] ^= 1;
  twoGraphs.insert(twoGraphs.end(), structure.begin(), structure.end());  // two ModelProtos concatenated: two graphs
  std::vector<uint8_t> stale = original;
  stale.push_back(0);  // any change to the member moves its hash
  const struct {
    std::vector<uint8_t> model, structure;
    std::string expected, refusal;
  } rows[] = {
      {original, changed, sha, "compose v2 structure bytes hash to "},
      {original, changed, "", "compose v2 splice: "},  // without the template's hash the damage shows later, if at all
      {original, twoGraphs, "", "compose v2 splice: the structure carries 2 graph fields (one expected)"},
      {stale, structure, sha, "compose v2 structure was built for member " + src + ", not "},
  };
  for (const auto& r : rows) {
    std::vector<uint8_t> model = r.model;
    int canvas = -1, batch = -1;
    if (le::spliceComposeV2(model, r.structure, reason, "model_render.onnx", &canvas, &batch, r.expected, src)) {
      EXPECT_EQ(r.refusal, "compose v2 splice: ") << "a byte flip in an initializer may survive the splice";
      continue;
    }
    EXPECT_THAT(reason, testing::StartsWith(r.refusal));
    EXPECT_EQ(model, r.model);
    EXPECT_EQ(canvas, 0);
  }
  std::vector<uint8_t> model = original;
  int canvas = 0, batch = 0;
  ASSERT_EQ(le::spliceComposeV2(model, structure, reason, "model_render.onnx", &canvas, &batch, sha, src), 1) << reason;
  EXPECT_EQ(canvas, 64);
  EXPECT_EQ(batch, 1);

  model = original;
  ASSERT_EQ(le::rewriteBindLipContour(model, reason, &canvas, &batch), 1) << reason;
  EXPECT_EQ(canvas, 64);
  const std::vector<uint8_t> bound = model;
  EXPECT_EQ(le::rewriteBindLipContour(model, reason, &canvas, &batch), 0);
  EXPECT_EQ(reason, "the graph already carries an input named lip_delivery");
  EXPECT_EQ(model, bound);
  EXPECT_EQ(canvas, 0);
  const std::string fs = lt::slurp(lt::fixture("bundle_featsynth/model_render.onnx"));
  model.assign(fs.begin(), fs.end());
  EXPECT_EQ(le::rewriteBindLipContour(model, reason, nullptr, nullptr), 0);
  EXPECT_EQ(reason, "the graph does not carry the unified compose tail");
}

}  // namespace
