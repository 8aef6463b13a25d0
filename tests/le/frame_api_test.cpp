// The context and frame family as a host uses it: every refusal text, the
// buffer rules, and whole frames checked against an independent composition.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/keypoints.h"
#include "le/context.h"
#include "le/le.h"
#include "le/le_cpp.h"
#include "paste/paste_reference.h"
#include "pool/pool.h"
#include "render/renderer_impl.h"
#include "render/renderer_support.h"
#include "support/fixtures.h"

namespace fs = std::filesystem;

namespace {

using Ctx = le_ctx_ptr;

const std::string kDirector = lt::fixture("bundle_director");

Ctx open(const std::string& dir, int threads = 1, const char* ep = nullptr) {
  Ctx c(le_create(dir.c_str(), "render", threads, ep));
  EXPECT_TRUE(c) << le_last_error();
  return c;
}

// `count` raw elements of member `name` starting at element `first`.
template <class T>
std::vector<T> readElements(const std::string& name, size_t first, size_t count) {
  const std::vector<T> all = lt::arrayOf<T>(kDirector + "/" + name);
  return {all.begin() + first, all.begin() + first + count};
}

// Each row is a call that must fail, and the sentence it must leave.
using Refusal = std::pair<std::function<bool()>, const char*>;

void expectRefusals(const std::vector<Refusal>& rows) {
  for (const auto& [fails, text] : rows) {
    EXPECT_TRUE(fails()) << text;
    EXPECT_STREQ(le_last_error(), text);
  }
}

class Frames : public testing::Test {
 protected:
  void SetUp() override {
    ctx_ = open(kDirector);
    ASSERT_TRUE(ctx_);
    W_ = le_width(ctx_.get());
    H_ = le_height(ctx_.get());
    xs_ = readElements<float>("drive/xs.f32", 0, le::kKpFloats);
    xd_ = readElements<float>("drive/xd.f32", 4 * le::kKpFloats, le::kKpFloats);
  }
  size_t rgbBytes() const { return static_cast<size_t>(W_) * H_ * 3; }
  Ctx ctx_;
  int W_ = 0, H_ = 0;
  std::vector<float> xs_, xd_;
};

TEST_F(Frames, NullContextCreateAndArgumentRefusals) {
  EXPECT_EQ(le_nt(nullptr) + le_width(nullptr) + le_height(nullptr) + le_crop(nullptr) + le_drive_frames(nullptr), 0);
  le_destroy(nullptr);
  EXPECT_EQ(le_render_kp_rgba(nullptr, 0, nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(le_render_drive_rgba(nullptr, 0, nullptr, 0), 0);
  // A paste mask one byte shorter than crop x crop.
  const std::string dir = lt::scratchDir() + "/short_mask";
  fs::copy(kDirector, dir, fs::copy_options::recursive);
  const std::string mask = lt::slurp(dir + "/mask_512.u8");
  lt::spit(dir + "/mask_512.u8", mask.substr(0, mask.size() - 1));
  const std::string missing = lt::scratchDir() + "/none";
  const std::string noManifest = "le_create: cannot open " + missing + "/manifest.json";
  le_ctx* c = ctx_.get();
  const int nt = le_nt(c);
  const float *xs = xs_.data(), *xd = xd_.data();
  std::vector<uint8_t> out(rgbBytes());
  const char* badRender = "le_render_kp_crop: bad args";
  const char* badPaste = "le_paste_crop: bad args / out too small";
  const char* noRender = "le_paste_last: bad args / no prior render";
  expectRefusals({
      {[] { return !le_create(nullptr, "render", 1, nullptr); }, "le_create: NULL bundle_dir/model_key"},
      {[] { return !le_create(kDirector.c_str(), nullptr, 1, nullptr); }, "le_create: NULL bundle_dir/model_key"},
      {[&] { return !le_create(missing.c_str(), "render", 1, nullptr); }, noManifest.c_str()},
      {[&] { return !le_create(dir.c_str(), "render", 1, nullptr); }, "le_create: mask read failed"},
      {[&] { return !le_paste_last(c, 0); }, noRender},
      {[&] { return !le_render_kp_crop(c, nt, xs, xd); }, badRender},
      {[&] { return !le_render_kp_crop(c, -1, xs, xd); }, badRender},
      {[&] { return !le_render_kp_crop(c, 0, nullptr, xd); }, badRender},
      {[&] { return !le_render_kp_crop(nullptr, 0, xs, xd); }, badRender},
      {[&] { return !le_render_drive_crop(c, le_drive_frames(c)); }, "le_render_drive_crop: bad frame index"},
      {[&] { return !le_target_frame(c, nt); }, "le_target_frame: bad args"},
  });
  const float* crop = le_render_kp_crop(c, 0, xs, xd);
  ASSERT_NE(crop, nullptr) << le_last_error();
  EXPECT_STREQ(le_last_error(), "");
  expectRefusals({
      {[&] { return !le_paste_crop(c, 0, crop, out.data(), out.size() - 1); }, badPaste},
      {[&] { return !le_paste_crop(c, nt, crop, out.data(), out.size()); }, badPaste},
      {[&] { return !le_paste_crop(c, 0, nullptr, out.data(), out.size()); }, badPaste},
      {[&] { return !le_paste_last(c, nt); }, noRender},
  });
  EXPECT_EQ(le_paste_crop(c, 0, crop, out.data(), out.size()), 1);
  EXPECT_STREQ(le_last_error(), "");
}

TEST_F(Frames, RgbaRendersFirstThenChecksTheBuffer) {
  le_ctx* c = ctx_.get();
  const float* first = le_render_kp_crop(c, 0, xs_.data(), xs_.data());
  ASSERT_NE(first, nullptr);
  const std::vector<float> closed(first, first + 3 * 64 * 64);

  std::vector<uint8_t> rgba(static_cast<size_t>(W_) * H_ * 4);
  EXPECT_EQ(le_render_kp_rgba(c, 0, xs_.data(), xd_.data(), rgba.data(), rgba.size() - 1), 0);
  EXPECT_STREQ(le_last_error(), "le_render_*_rgba: out buffer too small");
  // The render ran: the last crop is now the open-mouth one.
  const uint8_t* pasted = le_paste_last(c, 0);
  ASSERT_NE(pasted, nullptr);
  const std::vector<uint8_t> openRgb(pasted, pasted + rgbBytes());
  const float* again = le_render_kp_crop(c, 0, xs_.data(), xs_.data());
  EXPECT_EQ(std::vector<float>(again, again + closed.size()), closed);

  EXPECT_EQ(le_render_kp_rgba(c, 0, xs_.data(), xd_.data(), rgba.data(), rgba.size()), 1);
  for (size_t p = 0; p < static_cast<size_t>(W_) * H_; ++p) {
    ASSERT_EQ(rgba[4 * p + 3], 255) << p;
    ASSERT_EQ(rgba[4 * p], openRgb[3 * p]) << p;
  }
  EXPECT_EQ(le_render_drive_rgba(c, 4, nullptr, rgba.size()), 0);
  EXPECT_STREQ(le_last_error(), "le_render_*_rgba: out buffer too small");
  EXPECT_EQ(le_render_drive_rgba(c, 4, rgba.data(), rgba.size()), 1);
  EXPECT_STREQ(le_last_error(), "");
}

// The whole frame against a composition built without the library: the
// director run through plain Session::Run, the driver frame as the cursor
// serves it, and a double-precision paste.
TEST_F(Frames, PastedFrameMatchesAnIndependentComposition) {
  le_ctx* c = ctx_.get();
  const lt::OpenBundle bundle(kDirector);
  const std::string maskBytes = lt::slurp(kDirector + "/mask_512.u8");
  const std::vector<uint8_t> mask(maskBytes.begin(), maskBytes.begin() + 64 * 64);
  const auto& u = bundle.manifest.unsharp;
  for (int i : {2, 5}) {
    const int si = readElements<int32_t>("drive/si.i32", i, 1)[0];
    const std::vector<float> m = readElements<float>("M.f32", static_cast<size_t>(si) * 6, 6);

    const uint8_t* target = le_target_frame(c, si);
    ASSERT_NE(target, nullptr);
    const std::vector<uint8_t> background(target, target + rgbBytes());
    ASSERT_NE(le_render_drive_crop(c, i), nullptr) << le_last_error();
    const uint8_t* got = le_paste_last(c, si);
    ASSERT_NE(got, nullptr) << le_last_error();

    const std::vector<float> crop = lt::referenceRender(bundle, "render", false, {si}, {i});
    const auto planes = lt::refSharpen(crop.data(), 64, 255.0, {u.amount, u.sigma, u.ksize});

    int changed = 0;
    const int bad = lt::refFrameMismatches(planes, 64, mask, 8, m.data(), W_, H_, background.data(), got, &changed);
    EXPECT_EQ(bad, 0) << "drive frame " << i;
    EXPECT_GT(changed, 64) << "nothing was pasted";
  }
}

TEST(FrameApiThreads, NoteOnlyWhenTheCallerDidNotChoose) {
  const std::vector<float> kp = readElements<float>("drive/xs.f32", 0, le::kKpFloats);
  const int pool = le::pool::threads();
  for (const int asked : {0, 3}) {
    const int used = asked > 0 ? asked : std::min(pool, 2);
    Ctx c = open(kDirector, asked, nullptr);
    const std::string err = lt::stderrOf([&] { ASSERT_NE(le_render_kp_crop(c.get(), 0, kp.data(), kp.data()), nullptr); });
    const std::string note = "[le] director intra-op " + std::to_string(used) + " of pool " + std::to_string(pool) +
                             ": the caller did not choose, the core sized it for the le_utt pipeline\n";
    EXPECT_EQ(err.find(asked ? "director intra-op" : note) != std::string::npos, asked == 0) << err;
    EXPECT_EQ(c->renderer->internals().threads, used);
  }
}

}  // namespace
