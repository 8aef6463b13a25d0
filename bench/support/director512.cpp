#include "support/director512.h"

#include "ops/velomark_domain.h"
#include "simd/kernels.h"
#include "driver/cursor.h"
#include "support/bench_forge.h"

namespace lb {

Director512::Director512()
    : manifest(le::loadManifest(
          forgedBundle("director-bundle", "director512",
                       "--crop 512 --nt 4 --frames 24 --model model_render.onnx:1 --model model_b24.onnx:24"))),
      identity(manifest, le::openPriorStream),
      drive(le::loadDrive(manifest)) {}

Director512& director512() {
  static Director512 b;
  return b;
}

Ort::SessionOptions DirectRun::options(int threads, bool customOps) {
  le::ort::api();
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(threads);
  o.SetInterOpNumThreads(1);
  o.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  o.AddConfigEntry("session.intra_op.allow_spinning", "0");
  if (customOps) le::registerGridSampleFast(o);
  shrinking.AddConfigEntry("memory.enable_memory_arena_shrinkage", "cpu:0");
  return o;
}

DirectRun::DirectRun(const std::string& path, int threads, int batch) {
  session = std::make_unique<Ort::Session>(env, path.c_str(), options(threads, false));
  layOut(batch);
}

DirectRun::DirectRun(const std::vector<uint8_t>& bytes, int threads, int batch) {
  session = std::make_unique<Ort::Session>(env, bytes.data(), bytes.size(), options(threads, true));
  layOut(batch);
}

void DirectRun::layOut(int batch) {
  const Director512& b = director512();
  const int64_t crop = b.manifest.crop;
  pooled.resize(size_t(batch) * 64 * 32 * 32), P.resize(size_t(batch) * 3 * crop * crop);
  for (int i = 0; i < batch; ++i) {
    le::simd::f16ToF32(b.identity.pooled64(i % kDirectorFrames), pooled.data() + i * 65536, 65536);
    le::simd::f16ToF32(b.identity.P(i % kDirectorFrames), P.data() + i * 3 * crop * crop, 3 * crop * crop);
  }
  kd.assign(b.drive.xd.begin(), b.drive.xd.begin() + batch * 63);
  ks.assign(b.drive.xs.begin(), b.drive.xs.begin() + batch * 63);
  out.resize(P.size());
  const auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t pooledShape[] = {batch, 64, 32, 32}, pShape[] = {batch, 3, crop, crop}, kpShape[] = {batch, 21, 3};
  inputs.push_back(Ort::Value::CreateTensor<float>(mem, pooled.data(), pooled.size(), pooledShape, 4));
  inputs.push_back(Ort::Value::CreateTensor<float>(mem, P.data(), P.size(), pShape, 4));
  inputs.push_back(Ort::Value::CreateTensor<float>(mem, kd.data(), kd.size(), kpShape, 3));
  inputs.push_back(Ort::Value::CreateTensor<float>(mem, ks.data(), ks.size(), kpShape, 3));
  output = Ort::Value::CreateTensor<float>(mem, out.data(), out.size(), pShape, 4);
}

void DirectRun::stage(int si) {
  const Director512& b = director512();
  le::simd::f16ToF32(b.identity.pooled64(si), pooled.data(), 65536);
  le::simd::f16ToF32(b.identity.P(si), P.data(), size_t(3) * b.manifest.crop * b.manifest.crop);
}

void DirectRun::run(const Ort::RunOptions& o) {
  const char* in[] = {"pooled64", "P_rgb", "kp_driving", "kp_source"};
  const char* outName = "rgb";
  session->Run(o, in, inputs.data(), inputs.size(), &outName, &output, 1);
}

}  // namespace lb
