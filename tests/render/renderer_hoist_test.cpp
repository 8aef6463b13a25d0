// The hoisted source cone in a renderer: frames equal to the un-hoisted
// graph across source-frame changes, the prefetch running ahead, a failed
// prep run as the permanent error, and the warp node taking the cone.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "render/renderer_impl.h"
#include "render/renderer_support.h"

namespace {

TEST(RendererHoist, FramesEqualTheUnhoistedGraphInOrderAndAtRandom) {
  const lt::OpenBundle& b = lt::bundle("bundle_director");
  std::unique_ptr<le::Renderer> r;
  lt::stderrOf([&] { r = b.renderer("render"); });
  le::Renderer::Impl& im = r->internals();
  ASSERT_TRUE(im.ring);
  EXPECT_EQ(im.boundaryName, "cone_tip");
  EXPECT_EQ(im.boundaryElements, 12u * 64 * 64);

  // Ping-pong over the three frames: after the first, every frame was prefetched.
  const std::vector<int> pingPong = {0, 1, 2, 1, 0, 1, 2};
  for (size_t i = 0; i < pingPong.size(); ++i) {
    EXPECT_EQ(lt::renderDiff(*r, b, pingPong[i], static_cast<int>(i % 8), false), 0.0f) << i;
    im.ring->drain();  // the prefetch has landed before the next render asks
  }
  EXPECT_EQ(im.ring->synchronous(), 1);
  EXPECT_EQ(im.ring->prefetched(), 4);  // frames 1, 2, 0, 2: at the turns the other frame is still held

  std::mt19937 rng(7);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(lt::renderDiff(*r, b, int(rng() % 3), int(rng() % 8), false), 0.0f) << i;
}

TEST(RendererHoist, AFailedPrepRunIsThePermanentError) {
  const lt::OpenBundle& b = lt::bundle("bundle_director");
  auto r = b.renderer("render");
  le::Renderer::Impl& im = r->internals();
  const std::vector<float> kp = lt::gatherRows(b.drive.xs, {0});
  const int first = 0, second = 2, third = 1;
  r->render(&first, kp.data(), kp.data(), 1);  // frame 0 held, frame 1 prefetched
  im.ring->drain();
  im.boundaryName = "no_such_value";  // the thread is idle: the next boundary run fails to bind
  const std::string e = lt::errorOf([&] { r->render(&second, kp.data(), kp.data(), 1); });
  EXPECT_EQ(e.rfind("Renderer: the hoisted source cone failed in ORT — ", 0), 0u) << e;
  EXPECT_GT(e.size(), std::string("Renderer: the hoisted source cone failed in ORT — ").size());
  EXPECT_EQ(lt::errorOf([&] { r->render(&third, kp.data(), kp.data(), 1); }), e);  // frame 1 is held, still refused
}

TEST(RendererHoist, TheWarpNodeTakesTheCone) {
  const lt::OpenBundle& b = lt::bundle("bundle_director");
  lt::ScopedEnv on("LE_WARP_NODE", "1");
  std::unique_ptr<le::Renderer> r;
  lt::stderrOf([&] { r = b.renderer("render"); });
  EXPECT_FALSE(r->internals().ring);
  // The bound of the operator's own test (a few ulps of the position, 64
  // pixels), which the head passes through about one for one.
  for (int si : {0, 2}) EXPECT_LE(lt::renderDiff(*r, b, si, 3, true), 2 * (16 * 64 + 64) * 1.2e-7f) << si;
}

}  // namespace
