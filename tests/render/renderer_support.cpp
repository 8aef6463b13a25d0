#include "render/renderer_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "bundle/drive.h"
#include "render/ort_api.h"
#include "support/fixtures.h"

namespace lt {

OpenBundle::OpenBundle(const std::string& dir) : manifest(le::loadManifest(dir)) {
  identity = std::make_unique<le::Identity>(manifest);
  le::Drive d = le::loadDrive(manifest);
  xs = d.xs;
  xd = d.xd;
}

std::vector<float> gatherRows(const std::vector<float>& kp, const std::vector<int>& rows) {
  std::vector<float> out;
  for (int row : rows) out.insert(out.end(), kp.begin() + row * 63, kp.begin() + row * 63 + 63);
  return out;
}

static float halfBitsToFloat(uint16_t h) {
  const int exponent = (h >> 10) & 31, mantissa = h & 1023;
  using limits = std::numeric_limits<float>;
  const float v = exponent == 0    ? std::ldexp(static_cast<float>(mantissa), -24)
                  : exponent == 31 ? (mantissa ? limits::quiet_NaN() : limits::infinity())
                                   : std::ldexp(static_cast<float>(mantissa + 1024), exponent - 25);
  return (h & 0x8000) ? -v : v;
}

std::vector<float> memberFrame(const std::string& dir, const std::string& name, int frame, size_t count) {
  const std::string bytes = slurp(dir + "/" + name);
  std::vector<float> out(count);
  for (size_t i = 0; i < count; ++i) {
    uint16_t h;
    std::memcpy(&h, bytes.data() + (static_cast<size_t>(frame) * count + i) * 2, 2);
    out[i] = halfBitsToFloat(h);
  }
  return out;
}

std::vector<float> referenceRender(const OpenBundle& b, const std::string& key, bool fs, const std::vector<int>& si,
                                   const std::vector<int>& kpRow, int sourceRow) {
  le::ort::api();
  const int64_t batch = static_cast<int64_t>(si.size()), crop = b.manifest.crop;
  std::vector<float> pooled, src, kd = gatherRows(b.xd, kpRow),
                     ks = gatherRows(b.xs, sourceRow < 0 ? kpRow : std::vector<int>(kpRow.size(), sourceRow));
  for (int s : si) {
    const auto p = memberFrame(b.manifest.dir, "pooled64.f16", s, 64 * 32 * 32);
    const auto f = fs ? memberFrame(b.manifest.dir, "fs_red.f16", s, 64 * 64 * 64)
                      : memberFrame(b.manifest.dir, "P.f16", s, static_cast<size_t>(3 * crop * crop));
    pooled.insert(pooled.end(), p.begin(), p.end());
    src.insert(src.end(), f.begin(), f.end());
  }
  Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "reference");
  Ort::SessionOptions opts;
  opts.SetIntraOpNumThreads(1);
  Ort::Session session(env, b.manifest.modelPath(key).c_str(), opts);
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t pooledShape[] = {batch, 64, 32, 32}, kpShape[] = {batch, 21, 3};
  const int64_t srcShape[] = {batch, fs ? 64 : 3, fs ? 64 : crop, fs ? 64 : crop};
  Ort::Value inputs[] = {
      Ort::Value::CreateTensor<float>(mem, src.data(), src.size(), srcShape, 4),
      Ort::Value::CreateTensor<float>(mem, pooled.data(), pooled.size(), pooledShape, 4),
      Ort::Value::CreateTensor<float>(mem, kd.data(), kd.size(), kpShape, 3),
      Ort::Value::CreateTensor<float>(mem, ks.data(), ks.size(), kpShape, 3),
  };
  const char* prgbNames[] = {"P_rgb", "pooled64", "kp_driving", "kp_source"};
  const char* fsNames[] = {"fs_red", "pooled", "kd", "ks"};
  const char* outName[] = {"rgb"};
  auto out = session.Run(Ort::RunOptions{nullptr}, fs ? fsNames : prgbNames, inputs, 4, outName, 1);
  EXPECT_EQ(out[0].GetTensorTypeAndShapeInfo().GetShape(), (std::vector<int64_t>{batch, 3, crop, crop}));
  const float* rgb = out[0].GetTensorData<float>();
  return std::vector<float>(rgb, rgb + batch * 3 * crop * crop);
}

}  // namespace lt
