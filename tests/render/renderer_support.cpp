#include "render/renderer_support.h"

#include <cmath>
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

float halfBitsToFloat(uint16_t h) {
  const int exponent = (h >> 10) & 31;
  const int mantissa = h & 1023;
  float v;
  if (exponent == 0)
    v = std::ldexp(static_cast<float>(mantissa), -24);
  else if (exponent == 31)
    v = mantissa ? std::numeric_limits<float>::quiet_NaN() : std::numeric_limits<float>::infinity();
  else
    v = std::ldexp(static_cast<float>(mantissa + 1024), exponent - 25);
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

std::vector<float> referenceRender(const OpenBundle& b, const std::string& key, bool featSynth, const std::vector<int>& si,
                                   const std::vector<int>& kpRow) {
  le::ort::api();
  const std::string& dir = b.manifest.dir;
  const int64_t batch = static_cast<int64_t>(si.size());
  const int64_t crop = b.manifest.crop;
  const bool fs = featSynth;
  std::vector<float> pooled, src;
  std::vector<float> kd = gatherRows(b.xd, kpRow), ks = gatherRows(b.xs, kpRow);
  const size_t srcCount = fs ? 64 * 64 * 64 : static_cast<size_t>(3 * crop * crop);
  for (size_t s = 0; s < si.size(); ++s) {
    const auto p = memberFrame(dir, "pooled64.f16", si[s], 64 * 32 * 32);
    const auto f = memberFrame(dir, fs ? "fs_red.f16" : "P.f16", si[s], srcCount);
    pooled.insert(pooled.end(), p.begin(), p.end());
    src.insert(src.end(), f.begin(), f.end());
  }
  Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "reference");
  Ort::SessionOptions opts;
  opts.SetIntraOpNumThreads(1);
  Ort::Session session(env, b.manifest.modelPath(key).c_str(), opts);
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t pooledShape[] = {batch, 64, 32, 32};
  const int64_t kpShape[] = {batch, 21, 3};
  const int64_t pShape[] = {batch, 3, crop, crop};
  const int64_t fsShape[] = {batch, 64, 64, 64};
  Ort::Value inputs[] = {
      Ort::Value::CreateTensor<float>(mem, src.data(), src.size(), fs ? fsShape : pShape, 4),
      Ort::Value::CreateTensor<float>(mem, pooled.data(), pooled.size(), pooledShape, 4),
      Ort::Value::CreateTensor<float>(mem, kd.data(), kd.size(), kpShape, 3),
      Ort::Value::CreateTensor<float>(mem, ks.data(), ks.size(), kpShape, 3),
  };
  const char* prgbNames[] = {"P_rgb", "pooled64", "kp_driving", "kp_source"};
  const char* fsNames[] = {"fs_red", "pooled", "kd", "ks"};
  const char* outName[] = {"rgb"};
  auto out = session.Run(Ort::RunOptions{nullptr}, fs ? fsNames : prgbNames, inputs, 4, outName, 1);
  const float* rgb = out[0].GetTensorData<float>();
  return std::vector<float>(rgb, rgb + batch * 3 * crop * crop);
}

}  // namespace lt
