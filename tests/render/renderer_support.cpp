#include "render/renderer_support.h"

#include <gtest/gtest.h>

#include <cmath>
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
#include "ops/velomark_domain.h"
#include "ort/api.h"
#include "support/fixtures.h"

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
  for (const uint16_t *h = reinterpret_cast<const uint16_t*>(bytes.data()) + frame * count, *end = h + count; h < end;
       ++h) {
    const int e = (*h >> 10) & 31, m = *h & 1023;
    const float v = e == 0    ? std::ldexp(float(m), -24)
                    : e == 31 ? (m ? NAN : INFINITY)
                              : std::ldexp(float(m + 1024), e - 25);
    out.push_back(*h & 0x8000 ? -v : v);
  }
}

std::vector<float> referenceRender(const OpenBundle& b, const std::string& key, bool fs, const std::vector<int>& si,
                                   const std::vector<int>& kpRow, int sourceRow, bool untouched,
                                   const std::vector<float>* lip) {
  le::ort::api();
  const int64_t batch = static_cast<int64_t>(si.size()), crop = b.manifest.crop;
  std::vector<float> pooled, src,
      kd = gatherRows(b.drive.xd, kpRow),
      ks = gatherRows(b.drive.xs, sourceRow < 0 ? kpRow : std::vector<int>(kpRow.size(), sourceRow));
  for (int s : si) {
    appendFrame(pooled, b.manifest.dir + "/pooled64.f16", s, 64 * 32 * 32);
    appendFrame(src, b.manifest.dir + (fs ? "/fs_red.f16" : "/P.f16"), s, fs ? 64 * 64 * 64 : 3 * crop * crop);
  }
  Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "reference");
  Ort::SessionOptions opts;
  opts.SetIntraOpNumThreads(1);
  // The renderer's kernels: on Arm CPUs with SME, KleidiAI's would sum in another order.
  opts.AddConfigEntry("mlas.disable_kleidiai", "1");
  const std::string file = slurp(b.manifest.modelPath(key));
  std::vector<uint8_t> model(file.begin(), file.end());
  if (!untouched) {  // what the renderer's load sequence does to a standard director
    le::registerGridSampleFast(opts);
    le::rewriteGridSampleToFast(model);
    le::normaliseStudentBlend(model);
    le::rewriteHeadCubicResize(model);
  }
  std::string reason;
  if (lip) {
    EXPECT_EQ(le::rewriteBindLipContour(model, reason, nullptr, nullptr), 1) << reason;
  }
  Ort::Session session(env, model.data(), model.size(), opts);
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t pooledShape[] = {batch, 64, 32, 32}, kpShape[] = {batch, 21, 3}, lipShape[] = {batch, 1, crop, crop};
  const int64_t srcShape[] = {batch, fs ? 64 : 3, fs ? 64 : crop, fs ? 64 : crop};
  Ort::Value inputs[] = {Ort::Value::CreateTensor<float>(mem, src.data(), src.size(), srcShape, 4),
                         Ort::Value::CreateTensor<float>(mem, pooled.data(), pooled.size(), pooledShape, 4),
                         Ort::Value::CreateTensor<float>(mem, kd.data(), kd.size(), kpShape, 3),
                         Ort::Value::CreateTensor<float>(mem, ks.data(), ks.size(), kpShape, 3),
                         lip ? Ort::Value::CreateTensor<float>(mem, const_cast<float*>(lip->data()), lip->size(),
                                                               lipShape, 4)
                             : Ort::Value(nullptr)};
  const char* prgbNames[] = {"P_rgb", "pooled64", "kp_driving", "kp_source", "lip_delivery"};
  const char* fsNames[] = {"fs_red", "pooled", "kd", "ks"};
  const char* outName[] = {"rgb"};
  auto out = session.Run(Ort::RunOptions{nullptr}, fs ? fsNames : prgbNames, inputs, lip ? 5 : 4, outName, 1);
  EXPECT_EQ(out[0].GetTensorTypeAndShapeInfo().GetShape(), (std::vector<int64_t>{batch, 3, crop, crop}));
  const float* rgb = out[0].GetTensorData<float>();
  return std::vector<float>(rgb, rgb + batch * 3 * crop * crop);
}

}  // namespace lt
