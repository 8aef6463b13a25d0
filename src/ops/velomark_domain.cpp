#include "ops/velomark_domain.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ops/gridsample_fast.h"
#include "ops/kernel_status.h"
#include "ops/warp_director.h"

namespace le {

namespace {

// Turns a kernel's exceptions into the status the runtime reports as the run's error.
template <class Kernel>
OrtStatusPtr guardedCompute(Kernel& k, OrtKernelContext* context) noexcept {
  return guardedStatus([&] { return k.compute(Ort::KernelContext(context)); });
}

// Input 0 must be [N,C,H,W] and input 1 the [N,H,W,2] grid over it; the
// graphs that reach these kernels never carry a mismatch, but one that did
// would otherwise read past the grid.
OrtStatusPtr checkShapes(const char* op, const std::vector<int64_t>& xs, const std::vector<int64_t>& gs) {
  if (xs.size() != 4) return refuseRun(std::string(op) + ": X must be [N,C,H,W], got " + shapeText(xs));
  const std::vector<int64_t> want{xs[0], xs[2], xs[3], 2};
  if (gs != want)
    return refuseRun(std::string(op) + ": grid must be " + shapeText(want) + " for X " + shapeText(xs) + ", got " +
                  shapeText(gs));
  for (int64_t v : xs)
    if (v < 0 || v > INT32_MAX) return refuseRun(std::string(op) + ": X dimension out of range in " + shapeText(xs));
  return nullptr;
}

// Stateless: the configuration is fixed by the operator's name.
struct GSFKernel {
  OrtStatusPtr ComputeV2(OrtKernelContext* context) noexcept { return guardedCompute(*this, context); }

  OrtStatusPtr compute(const Ort::KernelContext& ctx) {
    const Ort::ConstValue X = ctx.GetInput(0), grid = ctx.GetInput(1);
    const std::vector<int64_t> xs = X.GetTensorTypeAndShapeInfo().GetShape();
    if (OrtStatusPtr bad = checkShapes("com.velomark::GridSampleFast", xs, grid.GetTensorTypeAndShapeInfo().GetShape()))
      return bad;
    const size_t N = static_cast<size_t>(xs[0]);
    const int C = static_cast<int>(xs[1]), H = static_cast<int>(xs[2]), W = static_cast<int>(xs[3]);
    const size_t image = static_cast<size_t>(C) * H * W, gridFloats = static_cast<size_t>(H) * W * 2;
    const float* x = X.GetTensorData<float>();
    const float* g = grid.GetTensorData<float>();
    float* out = ctx.GetOutput(0, xs).GetTensorMutableData<float>();
    if (image == 0) return nullptr;
    const size_t bands = (static_cast<size_t>(H) + kGsfBandRows - 1) / kGsfBandRows;
    for (size_t n = 0; n < N; ++n) {
      GsfBandArgs args{x + n * image, g + n * gridFloats, out + n * image, C, H, W};
      ctx.ParallelFor(band_fn, bands, 0, &args);  // returns once every band of this item is done
    }
    return nullptr;
  }
};

// One per node. The plane buffer is the node's and reused across runs; runs
// of one node are serialised on `mutex`, so two threads running the same
// session never share it mid-run (each Run still spreads its bands over the
// runtime's intra-op threads).
struct WarpKernel {
  int H = 0, W = 0;
  std::vector<float> planes;
  std::mutex mutex;

  OrtStatusPtr ComputeV2(OrtKernelContext* context) noexcept { return guardedCompute(*this, context); }

  OrtStatusPtr compute(const Ort::KernelContext& ctx) {
    const Ort::ConstValue X = ctx.GetInput(0), grid = ctx.GetInput(1);
    const std::vector<int64_t> xs = X.GetTensorTypeAndShapeInfo().GetShape();
    if (OrtStatusPtr bad = checkShapes("com.velomark::WarpDirector", xs, grid.GetTensorTypeAndShapeInfo().GetShape()))
      return bad;
    float* out = ctx.GetOutput(0, xs).GetTensorMutableData<float>();
    if (xs[1] != 3)
      return refuseRun(
          "com.velomark::WarpDirector: this node warps the director's 3-channel source and the graph handed it C=" +
          std::to_string(xs[1]) + ". REFUSING rather than writing a frame nobody asked for.");
    const size_t N = static_cast<size_t>(xs[0]);
    const int h = static_cast<int>(xs[2]), w = static_cast<int>(xs[3]);
    const size_t pixels = static_cast<size_t>(h) * w;
    const float* x = X.GetTensorData<float>();
    const float* g = grid.GetTensorData<float>();
    std::lock_guard<std::mutex> lock(mutex);
    H = h;
    W = w;
    planes.resize(pixels * kWarpPlaneFloats);
    if (planes.capacity() > planes.size()) planes.shrink_to_fit();
    if (pixels == 0) return nullptr;
    const size_t bands = (static_cast<size_t>(h) + kWarpBandRows - 1) / kWarpBandRows;
    for (size_t n = 0; n < N; ++n) {
      WarpBandArgs args{x + n * 3 * pixels, g + n * 2 * pixels, planes.data(), out + n * 3 * pixels, w, h,
                        kWarpBandRows};
      ctx.ParallelFor(warp_planes_fn, bands, 0, &args);  // every plane row before any gather reads it
      ctx.ParallelFor(warp_gather_fn, bands, 0, &args);
    }
    return nullptr;
  }
};

// Both operators: two FLOAT inputs, one FLOAT output, on the CPU provider.
template <class Kernel, const char* Name>
struct FloatOp : Ort::CustomOpBase<FloatOp<Kernel, Name>, Kernel, true> {
  FloatOp() { OrtCustomOp::version = ort::kApiVersion; }
  OrtStatusPtr CreateKernelV2(const OrtApi&, const OrtKernelInfo*, void** kernel) const {
    *kernel = new Kernel;
    return nullptr;
  }
  const char* GetName() const { return Name; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return 2; }
  ONNXTensorElementDataType GetInputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
};

constexpr char kGsfName[] = "GridSampleFast";
constexpr char kWarpName[] = "WarpDirector";
using GSFOp = FloatOp<GSFKernel, kGsfName>;
using WarpOp = FloatOp<WarpKernel, kWarpName>;

}  // namespace

void domainOps(Ort::CustomOpDomain& domain) {
  // Never freed: sessions may outlive any owner we could give them.
  static GSFOp gridSampleFast;
  static WarpOp warpDirector;
  domain.Add(&gridSampleFast);
  domain.Add(&warpDirector);
}

Ort::CustomOpDomain& velomarkDomain() {
  // A throw leaves the static uninitialised, so the next call tries again.
  static const std::unique_ptr<Ort::CustomOpDomain> domain = [] {
    ort::api();
    auto d = std::make_unique<Ort::CustomOpDomain>("com.velomark");
    domainOps(*d);
    return d;
  }();
  return *domain;
}

void registerGridSampleFast(Ort::SessionOptions& options) { options.Add(velomarkDomain()); }

void registerWarpDirector(Ort::SessionOptions& options) { registerGridSampleFast(options); }

}  // namespace le
