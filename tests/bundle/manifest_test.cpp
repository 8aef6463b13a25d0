#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bundle/manifest.h"
#include "bundle/paths.h"
#include "support/fixtures.h"

namespace {

const char* const kBase =
    R"("format": "le-bundle-v0", "agent": "ada", "H": 720, "W": 1280, "crop": 512, "amount": 0.75,
       "sigma": 1.5, "ksize": 5, "frames": 10)";

std::string bundleWith(const std::string& dir, const std::string& body) {
  lt::spit(dir + "/manifest.json", "{" + body + "}");
  return dir;
}

std::string manifestError(const std::string& dir) {
  return lt::errorOf([&] { le::loadManifest(dir); });
}

TEST(Manifest, ForgedBundlesLoadUnderEitherKeySpelling) {
  const le::Manifest a = le::loadManifest(lt::fixture("bundle_legacy"));
  EXPECT_EQ(a.dir, lt::fixture("bundle_legacy"));
  const int legacy[] = {a.NT, a.W, a.H, a.M_src_w, a.M_src_h, a.crop, a.frames, a.unsharp.ksize};
  EXPECT_THAT(legacy, testing::ElementsAre(4, 96, 64, 96, 64, 32, 6, 5));
  EXPECT_EQ(a.agent, "forge");
  EXPECT_FLOAT_EQ(a.unsharp.amount, 0.5f);
  EXPECT_FLOAT_EQ(a.unsharp.sigma, 1.0f);

  // frame_count, crop_size, paste_source_* and a nested unsharp block; trailing slashes go.
  const le::Manifest b = le::loadManifest(lt::fixture("bundle_canonical") + "//");
  EXPECT_EQ(b.dir, lt::fixture("bundle_canonical"));
  const int canonical[] = {b.NT, b.crop, b.M_src_w, b.M_src_h, b.unsharp.ksize};
  EXPECT_THAT(canonical, testing::ElementsAre(4, 16, 160, 96, 5));
}

TEST(Manifest, AliasesNumberParsingAndTheLipTemplate) {
  const std::string d = lt::scratchDir();
  bundleWith(d, std::string(kBase) + R"(, "NT": 2.9, "frame_count": 8, "M_src_w": -1e300,
      "paste_source_width": 1920, "M_src_h": 1080)");
  const le::Manifest m = le::loadManifest(d);
  EXPECT_EQ(m.NT, 2);  // NT wins over frame_count, truncated toward zero
  EXPECT_EQ(m.M_src_w, 1920);
  EXPECT_EQ(m.M_src_h, 1080);
  EXPECT_EQ(m.modelPath("render"), d + "/model_render.onnx");
  const std::string big(20000, 'x');  // a lip template longer than one read chunk is read whole
  lt::spit(d + "/lip_template.v1.json", big);
  EXPECT_EQ(le::loadManifest(d).lipTemplate, big);
}

TEST(Manifest, RefusalsCarryTheirExactSentence) {
  const std::string d = lt::scratchDir();
  const std::string stamp = R"(, "M_src_w": 1280, "M_src_h": 720)";
  const struct {
    std::string body;
    std::string error;
  } cases[] = {
      {R"("format": "le-bundle-v1", "agent": "a")", "not an le-bundle-v0: " + d},
      {R"("agent": "a")", "manifest: missing key format"},
      {R"("format": "le-bundle-v0", "agent": 3)", "manifest: bad string agent"},
      {R"("format": "le-bundle-v0", "agent": "a", "H": 1)", "manifest: missing key NT/frame_count"},
      {std::string(kBase) + R"(, "NT": 0)" + stamp, "manifest: bad dims"},
      {std::string(kBase) + R"(, "NT": 3, "M_src_w": 0, "M_src_h": 720)",
       "manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)"},
      {std::string(kBase) + R"(, "NT": 3, "x": {"ksize": 3})" + stamp, ""},
      {std::string(kBase) + R"(, "NT": 3)" + stamp + R"(, "a": {"frame_count": 1}, "b": {"frame_count": 2}})", ""},
  };
  for (const auto& c : cases) {
    bundleWith(d, c.body);
    EXPECT_EQ(manifestError(d), c.error.empty() ? "(no error)" : c.error) << c.body;
  }
  // An ambiguous alias is only looked at when the primary key is missing.
  bundleWith(d, std::string(kBase) + stamp + R"(, "a": {"NT": 1}, "b": {"NT": 2})");
  EXPECT_NE(manifestError(d).find("manifest: key \"NT\" is AMBIGUOUS — 2 scalar occurrences"), std::string::npos);
  EXPECT_EQ(manifestError(lt::scratchDir() + "/absent"), "cannot open " + lt::scratchDir() + "/absent/manifest.json");
}

TEST(Manifest, MissingPasteStampIsRefusedUnlessExplicitlyAllowed) {
  const std::string d = bundleWith(lt::scratchDir(), std::string(kBase) + R"(, "NT": 3, "M_src_w": 1280)");
  const std::string refusal =
      d + "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka paste_source_width/height) — the "
          "canvas is 1280x720, so M cannot be placed: absence is not evidence that M was authored at that size. "
          "Re-stamp the bundle (models/vantice-2/inference/backfill_msrc.py), or set VANTICE2_MSRC_MISSING_OK=1 to "
          "restore the legacy assumption.";
  for (const char* value : {static_cast<const char*>(nullptr), "true"}) {
    lt::ScopedEnv env("VANTICE2_MSRC_MISSING_OK", value);
    EXPECT_EQ(manifestError(d), refusal) << (value ? value : "unset");
  }
  lt::ScopedEnv env("VANTICE2_MSRC_MISSING_OK", "1");
  le::Manifest m;
  EXPECT_EQ(lt::stderrOf([&] { m = le::loadManifest(d); }),
            "[le] WARNING VANTICE2_MSRC_MISSING_OK=1: " + d +
                "/manifest.json carries no paste-space stamp; ASSUMING M was authored on this 1280x720 canvas. If it "
                "was not, the face pastes off-target (bm#144) and nothing will say so.\n");
  EXPECT_EQ(m.M_src_w, 1280);
  EXPECT_EQ(m.M_src_h, 720);
}

TEST(MemberNames, EachRenamingRuleAndTheResolutionOrder) {
  // One case per rule: the fixed table, batched models, the drive folder, and names without a twin.
  const std::pair<const char*, const char*> cases[] = {
      {"P.f16", "source_frames.f16"},
      {"model_b4_fp16.onnx", "render_model.batch4.fp16.onnx"},
      {"model_b24_fp32_x.onnx", "render_model.batch24.fp32_x.onnx"},
      {"model_b.onnx", "model_b.onnx"},  // too short to carry a batch
      {"drive/si.i32", "idle_loop/source_index.i32"},
      {"drive/other.tar.gz", "idle_loop/other.tar.gz"},
      {"P.f16x", "P.f16x"},
  };
  for (const auto& [legacy, canonical] : cases) EXPECT_EQ(le::canonicalMemberName(legacy), canonical) << legacy;

  // Resolution prefers the legacy name, then the canonical one, then names the legacy one.
  const std::string d = lt::scratchDir();
  EXPECT_EQ(le::resolveMember(d, "P.f16"), d + "/P.f16");  // neither exists
  lt::spit(d + "/source_frames.f16", "c");
  EXPECT_EQ(le::resolveMember(d, "P.f16"), d + "/source_frames.f16");
  lt::spit(d + "/P.f16", "l");
  EXPECT_EQ(le::resolveMember(d, "P.f16"), d + "/P.f16");
  // A name without a canonical twin never looks at the disk.
  EXPECT_EQ(le::resolveMember(d, "anything.bin"), d + "/anything.bin");
}

}  // namespace
