#include "render/renderer_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <new>
#include <utility>

#include "base/keypoints.h"
#include "driver/cursor.h"
#include "graph/gridsample_rewrite.h"
#include "graph/lip_contour_bind.h"
#include "graph/numerical_rewrites.h"
#include "graph/resize_rewrite.h"
#include "ops/ops_support.h"

// These replacements pair malloc with free by design; GCC cannot see that.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

static thread_local long allocations = -1;  // counting while not negative

void* operator new(std::size_t size) {
  if (allocations >= 0) ++allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
// Replaced too: ONNX Runtime allocates with the nothrow forms, and sanitizer
// runtimes would otherwise pair their own new[] with our free.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (allocations >= 0) ++allocations;
  return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace lt {

long allocationsIn(const std::function<void()>& fn) {
  allocations = 0;
  fn();
  return std::exchange(allocations, -1);
}

OpenBundle::OpenBundle(const std::string& dir)
    : manifest(le::loadManifest(dir)),
      identity(std::make_unique<le::Identity>(manifest, le::openPriorStream)),
      drive(le::loadDrive(manifest)) {}

const OpenBundle& bundle(const std::string& name) {
  static std::map<std::string, OpenBundle> open;
  return open.try_emplace(name, fixture(name)).first->second;
}

std::vector<float> gatherRows(const std::vector<float>& kp, const std::vector<int>& rows) {
  std::vector<float> out;
  for (int row : rows) out.insert(out.end(), kp.begin() + row * le::kKpFloats, kp.begin() + (row + 1) * le::kKpFloats);
  return out;
}

// Appends `count` halves of member `path` from element frame * count, widened by the binary16 definition.
static void appendFrame(std::vector<float>& out, const std::string& path, size_t frame, size_t count) {
  const std::string bytes = slurp(path);
  const uint16_t* h = reinterpret_cast<const uint16_t*>(bytes.data()) + frame * count;
  for (size_t i = 0; i < count; ++i) out.push_back(refWiden(h[i]));
}

std::vector<float> referenceRender(const OpenBundle& b, const std::string& key, bool fs, const std::vector<int>& si,
                                   const std::vector<int>& kpRow, int sourceRow, bool untouched,
                                   const std::vector<float>* lip) {
  const int64_t batch = static_cast<int64_t>(si.size()), crop = b.manifest.crop;
  Tensor pooled{{batch, 64, 32, 32}, {}}, src{{batch, fs ? 64 : 3, fs ? 64 : crop, fs ? 64 : crop}, {}},
      kd{{batch, 21, 3}, gatherRows(b.drive.xd, kpRow)},
      ks{{batch, 21, 3}, gatherRows(b.drive.xs, sourceRow < 0 ? kpRow : std::vector<int>(kpRow.size(), sourceRow))};
  for (int s : si) {
    appendFrame(pooled.data, b.manifest.dir + "/pooled64.f16", s, 64 * 32 * 32);
    appendFrame(src.data, b.manifest.dir + (fs ? "/fs_red.f16" : "/P.f16"), s, fs ? 64 * 64 * 64 : 3 * crop * crop);
  }
  const std::string file = slurp(b.manifest.modelPath(key));
  std::vector<uint8_t> model(file.begin(), file.end());
  if (!untouched) {  // what the renderer's load sequence does to a standard director
    le::rewriteGridSampleToFast(model);
    le::normaliseStudentBlend(model);
    le::rewriteResizeToSeparable(model);
    le::rewriteHeadCubicResize(model);
  }
  Inputs inputs = {{fs ? "fs_red" : "P_rgb", &src}, {fs ? "pooled" : "pooled64", &pooled},
                  {fs ? "kd" : "kp_driving", &kd}, {fs ? "ks" : "kp_source", &ks}};
  Tensor mask{{batch, 1, crop, crop}, lip ? *lip : std::vector<float>()};
  if (lip) {
    std::string reason;
    EXPECT_EQ(le::rewriteBindLipContour(model, reason, nullptr, nullptr), 1) << reason;
    inputs.push_back({"lip_delivery", &mask});
  }
  const Tensor rgb = runOnnx(model, inputs, "rgb");
  EXPECT_EQ(rgb.shape, (std::vector<int64_t>{batch, 3, crop, crop}));
  return rgb.data;
}

float renderDiff(le::Renderer& r, const OpenBundle& b, int si, int row, bool untouched) {
  const std::vector<float> xs = gatherRows(b.drive.xs, {row}), xd = gatherRows(b.drive.xd, {row});
  const float* got = r.render(&si, xs.data(), xd.data(), 1);
  const std::vector<float> want = referenceRender(b, "render", false, {si}, {row}, -1, untouched);
  return maxAbsDiff(got, want.data(), want.size());
}

}  // namespace lt
