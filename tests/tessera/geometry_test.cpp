// The compose geometry against a double-precision numpy reference of the
// same arithmetic (geometry_reference.py), and every refusal of the
// manifest's unified block, the lip template and the compose v2 block.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "support/fixtures.h"
#include "tessera/lip_contour.h"
#include "tessera/members.h"
#include "tessera/tessera_support.h"
#include "tessera/unified_pi.h"

namespace {

using le::tessera::Box;
using le::tessera::LipContour;
using le::tessera::UnifiedPi;
using testing::StartsWith;

constexpr int kCanvas = 128;

// Bytes that differ, and whether any differs by more than one level.
struct U8Diff {
  int off = 0, far = 0;
};
U8Diff compare(const uint8_t* a, const std::vector<uint8_t>& b) {
  U8Diff d;
  for (size_t i = 0; i < b.size(); ++i) {
    const int e = std::abs(a[i] - b[i]);
    d.off += e > 0;
    d.far += e > 1;
  }
  return d;
}

TEST(ComposeGeometry, MasksEqualTheNumpyReference) {
  const std::string bundle = lt::fixture("bundle_teeth");
  const std::string manifest = lt::slurp(bundle + "/manifest.json");
  const UnifiedPi pi = UnifiedPi::fromManifestJson(manifest, kCanvas);
  const size_t px = static_cast<size_t>(kCanvas) * kCanvas;
  for (const bool plate : {false, true}) {
    const std::string dir = lt::scratchDir() + (plate ? "/plate" : "/map");
    lt::run("mkdir -p " + dir);
    ASSERT_EQ(lt::run(std::string(LE_TEST_PYTHON) + " " + LE_TEST_SOURCE_DIR + "/tests/tessera/geometry_reference.py " +
                      bundle + "/manifest.json " + bundle + "/lip_template.v1.json " + std::to_string(kCanvas) + " " +
                      dir + (plate ? " plate" : "")),
              0);
    LipContour lc = LipContour::fromTemplateJson(lt::slurp(bundle + "/lip_template.v1.json"), kCanvas);
    ASSERT_TRUE(lc.hasMap());
    if (plate) lc.mapLip.clear();
    const std::vector<float> frames = lt::arrayOf<float>(dir + "/frames.f32");
    ASSERT_EQ(frames.size(), 4u * 63);
    std::vector<float> f(px), contour(px);
    std::vector<uint8_t> u(px);
    std::vector<double> poly(2 * static_cast<size_t>(lc.nv));
    int off = 0;
    for (int k = 0; k < 4; ++k) {
      const float* kp = frames.data() + 63 * k;
      const std::string at = dir + "/", n = std::string("_") + std::to_string(k);
      pi.lipMask(kp, f.data());
      const std::vector<float> lip = lt::arrayOf<float>(at + "lip" + n + ".f32");
      for (size_t i = 0; i < px; ++i) ASSERT_NEAR(f[i], lip[i], 2e-5) << "lip frame " << k << " pixel " << i;
      pi.propTeethGate(kp, f.data());
      const std::vector<float> gate = lt::arrayOf<float>(at + "gate" + n + ".f32");
      for (size_t i = 0; i < px; ++i) ASSERT_NEAR(f[i], gate[i], 2e-5) << "gate frame " << k << " pixel " << i;
      pi.piU8(kp, u.data());
      U8Diff d = compare(u.data(), lt::arrayOf<uint8_t>(at + "pi" + n + ".u8"));
      EXPECT_EQ(d.far, 0) << "pi frame " << k;
      off += d.off;

      lc.polygon(kp, poly.data());
      const std::vector<double> refPoly = lt::arrayOf<double>(at + "poly" + n + ".f64");
      for (size_t i = 0; i < poly.size(); ++i) ASSERT_NEAR(poly[i], refPoly[i], 1e-6) << "vertex " << i / 2;
      const Box b = lc.box(poly.data());
      const std::vector<int32_t> refBox = lt::arrayOf<int32_t>(at + "box" + n + ".i32");
      ASSERT_EQ((std::vector<int32_t>{b.x0, b.y0, b.x1, b.y1}), refBox) << "frame " << k;
      std::vector<uint8_t> raster(static_cast<size_t>(b.w() * b.h()));
      lc.fillScanline(poly.data(), b, raster.data());
      EXPECT_EQ(raster, lt::arrayOf<uint8_t>(at + "raster" + n + ".u8")) << "raster frame " << k;  // integer: exact
      lc.contourF32Canvas(kp, contour.data());
      const std::vector<float> refContour = lt::arrayOf<float>(at + "contour" + n + ".f32");
      for (size_t i = 0; i < px; ++i) ASSERT_NEAR(contour[i], refContour[i], 1e-5) << "contour pixel " << i;
      lc.deliveredU8(kp, pi, u.data());
      d = compare(u.data(), lt::arrayOf<uint8_t>(at + "deliv" + n + ".u8"));
      EXPECT_EQ(d.far, 0) << "delivered frame " << k;
      off += d.off;
      // The contour only cuts pi down.
      std::vector<uint8_t> whole(px);
      pi.piU8(kp, whole.data());
      for (size_t i = 0; i < px; ++i) ASSERT_LE(u[i], whole[i]);
    }
    // float against double may round a .5 boundary the other way; rarely.
    EXPECT_LT(off, 40) << "bytes one level off";
    std::printf("[geometry] %s: u8 masks off by one level in %d bytes of %zu\n", plate ? "plate" : "lip map", off,
                8 * px);
  }
}

// Moving the mask and the contour by whole pixels moves the delivered mask.
TEST(ComposeGeometry, ShiftedMasksAreTheMaskMoved) {
  const std::string bundle = lt::fixture("bundle_teeth");
  const UnifiedPi pi = UnifiedPi::fromManifestJson(lt::slurp(bundle + "/manifest.json"), kCanvas);
  LipContour lc = LipContour::fromTemplateJson(lt::slurp(bundle + "/lip_template.v1.json"), kCanvas);
  const std::vector<float> xs = lt::arrayOf(bundle + "/xs_target.bin");
  const size_t px = static_cast<size_t>(kCanvas) * kCanvas;
  std::vector<uint8_t> plain(px), delivered(px), moved(px);
  pi.piU8(xs.data(), plain.data());
  lc.deliveredU8(xs.data(), pi, delivered.data());
  // Even offsets keep the parity a .5 vertex rounds by.
  for (const auto& [dRow, dCol] : {std::pair{0, 0}, {2, -4}, {-6, 8}}) {
    const auto expectMoved = [&, r = dRow, c = dCol](const std::vector<uint8_t>& from) {
      for (int y = 0; y < kCanvas; ++y)
        for (int x = 0; x < kCanvas; ++x) {
          const int sy = y - r, sx = x - c;
          const bool in = sy >= 0 && sy < kCanvas && sx >= 0 && sx < kCanvas;
          ASSERT_EQ(moved[y * kCanvas + x], in ? from[sy * kCanvas + sx] : 0) << r << "," << c;
        }
    };
    pi.piU8AndShift(xs.data(), dRow, dCol, moved.data());
    expectMoved(plain);
    EXPECT_FALSE(lc.deliveredU8AndShift(xs.data(), pi, dRow, dCol, moved.data()).empty());
    expectMoved(delivered);
  }
  std::vector<uint8_t> full(px, 255);
  EXPECT_TRUE(lc.shrinkU8InPlace(xs.data(), {0, 0, kCanvas, kCanvas}, full.data()));
  std::vector<float> contour(px);
  lc.contourF32Canvas(xs.data(), contour.data());
  for (size_t i = 0; i < px; ++i) ASSERT_EQ(full[i], le::tessera::toU8(contour[i]));
}

TEST(ComposeGeometry, CorpusGeometryIsNamedOrRefused) {
  const std::string bundle = lt::fixture("bundle_teeth");
  const le::TesseraAttachInputs in = le::loadTesseraMembers(bundle);
  const std::vector<float> xs = lt::arrayOf(bundle + "/xs_target.bin");
  const int n = static_cast<int>(xs.size() / 63);
  std::string log;
  const UnifiedPi v1 = UnifiedPi::corpusFromManifestJson(in.manifest_json, kCanvas, xs.data(), n, in.c_canon.data(), &log);
  EXPECT_FLOAT_EQ(v1.down, 0.015f);
  EXPECT_EQ(log.rfind("corpus pi geometry v1: 0.", 0), 0u) << log;
  double far[2] = {in.c_canon[0] + 40, in.c_canon[1]};
  EXPECT_THAT(lt::errorOf([&] { UnifiedPi::corpusFromManifestJson(in.manifest_json, kCanvas, xs.data(), n, far); }), StartsWith("teeth-pi: no corpus pi geometry matches this bank's c_canon ("));
  // Halfway between v1 and v2's centroids neither wins by the margin.
  double cx = 0, cy = 0;
  UnifiedPi v2 = v1;
  v2.padX = 0.10f, v2.down = 0.074f;
  v2.canonicalCentroid(xs.data(), n, cx, cy);
  double mid[2] = {(cx + in.c_canon[0]) / 2, (cy + in.c_canon[1]) / 2};
  EXPECT_THAT(lt::errorOf([&] { UnifiedPi::corpusFromManifestJson(in.manifest_json, kCanvas, xs.data(), n, mid); }), StartsWith("teeth-pi: corpus pi geometry is AMBIGUOUS (best two"));
  EXPECT_THAT(lt::errorOf([&] { UnifiedPi::corpusFromManifestJson(in.manifest_json, kCanvas, nullptr, 0, mid); }), StartsWith("teeth-pi: the corpus frame is identified"));
}

TEST(ComposeGeometry, ManifestAndTemplateRefusals) {
  const std::string dir = lt::scratchDir();
  const struct {
    const char* edit;
    const char* refusal;
  } pi[] = {
      {"del j['unified']", "teeth-pi: manifest has no `unified` block"},
      {"del j['unified']['pi']['mode']", "teeth: member JSON lacks key 'mode'"},
      {"del j['unified']['pi']['lip_geom_params']", "teeth: member JSON lacks key 'lip_geom_params'"},
      {"j['unified']['pi']['mode'] = 3", "teeth-pi: unified.pi.mode is not a string"},
      {"j['unified']['pi']['mode'] = 'ellipse'", "teeth-pi: unified.pi.mode 'ellipse' is a compose-mask geometry"},
      {"j['unified']['pi']['corner_recovery'] = 'lip_landmark_half'", nullptr},
      {"j['unified']['pi']['corner_recovery'] = 1", "teeth-pi: unknown unified.pi.corner_recovery"},
      {"j['unified']['pi']['lip_idx'] = []", "teeth-pi: unified.pi.lip_idx is not a non-empty array"},
      {"j['unified']['pi']['lip_geom_params'] = [1, 2]", "teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]"},
      {"j['unified']['crop']['canvas'] = 256", "teeth-pi: engine renders at canvas 128 but unified.crop.canvas is 256"},
  };
  std::vector<std::string> edits;
  for (const auto& r : pi) edits.push_back(r.edit);
  std::vector<std::string> texts = tt::jsonVariants(lt::fixture("bundle_teeth/manifest.json"), edits, dir);
  for (size_t i = 0; i < edits.size(); ++i) {
    const std::string got = lt::errorOf([&] { UnifiedPi::fromManifestJson(texts[i], kCanvas); });
    EXPECT_THAT(got, StartsWith(pi[i].refusal ? pi[i].refusal : "(no error)")) << pi[i].edit;
  }
  EXPECT_TRUE(UnifiedPi::fromManifestJson(texts[5], kCanvas).cornerRecovery);  // "lip_landmark_half"

  const std::string p = "lip_template.v1.json: ";
  const struct {
    const char* edit;
    std::string refusal;
  } tm[] = {
      {"j = [1]", p + "is not a JSON object"},
      {"del j['format']", p + "carries no string `format`"},
      {"j['format'] = 'lip-template-v2'", p + "declares format 'lip-template-v2', not 'lip-template-v1'"},
      {"del j['edge']", "(no error)"},
      {"j['edge'] = 'inward'", p + "declares edge 'inward', and the contour feather is OUTWARD"},
      {"j['canvas'] = 512", p + "was baked on a 512 canvas but this bundle composes on 128"},
      {"j['feather_px'] = -1", p + "declares feather_px -1.000000, which is not positive"},
      {"j['u_canon'] = []", p + "carries no non-empty `u_canon` array"},
      {"j['u_canon'][2] = [1]", p + "u_canon row 2 is not a 2-vector"},
      {"j['lip_idx'] = [3, 21]", p + "lip_idx names keypoint row 21, and a kd row is 0..20"},
      {"j['lip_map']['schema'] = 'x'", p + "lip_map declares schema 'x', not 'lip-map-v1'"},
      {"j['lip_map']['kind'] = 'x'", p + "lip_map kind is not 'anchor-linear'"},
      {"j['lip_map']['lip_idx'] = [1] * 9", p + "lip_map lip_idx is not 1..8 kd rows"},
      {"j['lip_map']['lip_idx'] = [22]", p + "lip_map lip_idx names a row outside 0..20"},
      {"j['lip_map']['b'].pop()", p + "lip_map W/b have 32/31 rows, not 2*nv=32"},
      {"j['lip_map']['W'][3].pop()", p + "lip_map W row 3 is not 8 wide"},
      {"j['lip_map']['W'][3][0] = 1e999", p + "lip_map carries a non-finite coefficient"},
      {"j['lip_map']['canvas'] = 64", p + "lip_map was fitted on another canvas than this bundle composes on"},
  };
  edits.clear();
  for (const auto& r : tm) edits.push_back(r.edit);
  texts = tt::jsonVariants(lt::fixture("bundle_teeth/lip_template.v1.json"), edits, dir);
  for (size_t i = 0; i < edits.size(); ++i) {
    const std::string got = lt::errorOf([&] { LipContour::fromTemplateJson(texts[i], kCanvas); });
    EXPECT_THAT(got, StartsWith(tm[i].refusal)) << tm[i].edit;
  }
  EXPECT_EQ(lt::errorOf([&] { LipContour::fromTemplateJson("[", kCanvas); }),
            p + "is not parseable JSON (teeth: JSON truncated)");
}

TEST(ComposeGeometry, ComposeV2BlockIsCheckedAndDecodedStrictly) {
  const std::string tmpl = lt::slurp(lt::fixture("bundle_lip/lip_template.v1.json"));
  std::vector<uint8_t> s;
  std::string src, sha, reason;
  EXPECT_EQ(le::tessera::composeV2StructureFromTemplate(tmpl, "model_render.onnx", s, src, sha, &reason), 1);
  EXPECT_FALSE(s.empty());
  EXPECT_EQ(src.size(), 64u);
  EXPECT_EQ(le::tessera::composeV2StructureFromTemplate(R"({"format":"x"})", "m", s, src, sha, &reason), 0);
  const struct {
    const char* text;
    const char* why;
  } b64[] = {
      {"QUJD", nullptr}, {"QUI=", nullptr}, {"QQ==", nullptr},
      {"QUJ", "base64 length 3 is not a multiple of 4"},
      {"Q=JD", "base64 padding is not at the end"},
      {"QU-D", "base64 carries a byte outside the standard alphabet at 2"},
      {"QR==", "base64 tail carries non-zero padding bits (not canonical)"},
  };
  for (const auto& r : b64) {
    std::string why;
    std::vector<uint8_t> out;
    EXPECT_EQ(le::tessera::decodeBase64Strict(r.text, out, why), r.why == nullptr) << r.text;
    if (r.why) {
      EXPECT_EQ(why, r.why);
    }
  }
  const std::string dir = lt::scratchDir();
  const struct {
    const char* edit;
    const char* why;
  } rows[] = {
      {"j['compose_v2'] = 1", "compose_v2 is not a JSON object"},
      {"j['compose_v2']['schema'] = 's'", "compose_v2 schema 's' is not 'compose-v2-structure-v1'"},
      {"del j['compose_v2']['graphs']", "compose_v2 carries no `graphs` object"},
      {"j['compose_v2']['graphs']['model_render.onnx']['source_sha256'] = 'AB' * 32",
       "compose_v2.graphs.model_render.onnx.source_sha256 is not 64 lowercase hex"},
      {"j['compose_v2']['graphs']['model_render.onnx']['structure'] = ''",
       "compose_v2.graphs.model_render.onnx.structure is not a non-empty string"},
      {"j['compose_v2']['graphs']['model_render.onnx']['structure'] += 'A'",
       "compose_v2.graphs.model_render.onnx.structure: base64 length"},
  };
  std::vector<std::string> edits;
  for (const auto& r : rows) edits.push_back(r.edit);
  const std::vector<std::string> texts = tt::jsonVariants(lt::fixture("bundle_lip/lip_template.v1.json"), edits, dir);
  for (size_t i = 0; i < edits.size(); ++i) {
    reason.clear();
    EXPECT_EQ(le::tessera::composeV2StructureFromTemplate(texts[i], "model_render.onnx", s, src, sha, &reason), -1);
    EXPECT_THAT(reason, StartsWith(rows[i].why));
  }
}

}  // namespace
