// A render allocates nothing of its own: buffers, tensors and bindings are made
// once. Global operator new is replaced in this test binary to count the
// allocations a thread makes while it has counting switched on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <new>

#include "render/renderer_impl.h"
#include "render/renderer_support.h"
#include "support/fixtures.h"

namespace {

thread_local bool counting = false;
thread_local long allocations = 0;

void* allocate(std::size_t size) {
  if (counting) ++allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}

// Allocations the calling thread makes inside fn.
template <class Fn>
long allocationsIn(Fn&& fn) {
  allocations = 0;
  counting = true;
  fn();
  counting = false;
  return allocations;
}

}  // namespace

// The runtime's nothrow forms forward to these.
void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

class RendererAllocations : public ::testing::TestWithParam<const char*> {};

TEST_P(RendererAllocations, RenderAddsNoneToTheDirectorRun) {
  ASSERT_EQ(allocationsIn([] { delete new int(7); }), 1);  // the counter itself sees allocations
  lt::OpenBundle b(lt::fixture(GetParam()));
  auto r = b.renderer("b4");
  le::Renderer::Impl& im = r->internals();
  const int si[4] = {2, 0, 1, 1};
  const std::vector<float> xs = lt::gatherRows(b.xs, {1, 2, 3, 4}), xd = lt::gatherRows(b.xd, {1, 2, 3, 4});
  for (int n : {4, 2}) r->render(si, xs.data(), xd.data(), n);  // first runs settle the runtime

  const float* out = im.out.data();
  const float* pooled = im.pooled.data();
  for (int n : {4, 1, 3})
    EXPECT_EQ(allocationsIn([&] { im.stageInputs(si, xs.data(), xd.data(), n); }), 0) << "n=" << n;
  // The runtime's own allocations per run are whatever they are; render may
  // not add to them. The minimum over a few runs filters one-off growth.
  long bareRun = 1L << 30, render = 1L << 30;
  for (int i = 0; i < 4; ++i) {
    bareRun = std::min(bareRun, allocationsIn([&] { im.session->Run(im.runOptions, *im.binding); }));
    render = std::min(render, allocationsIn([&] { r->render(si, xs.data(), xd.data(), 3); }));
  }
  EXPECT_LE(render, bareRun) << "bare run " << bareRun;
  EXPECT_EQ(r->render(si, xs.data(), xd.data(), 4), out);
  EXPECT_EQ(im.pooled.data(), pooled);
}

INSTANTIATE_TEST_SUITE_P(Layouts, RendererAllocations, ::testing::Values("bundle_director", "bundle_featsynth"));

}  // namespace
