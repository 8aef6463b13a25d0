#include "ops/velomark_domain.h"

#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ops/gridsample_fast.h"
#include "ops/kernel_status.h"
#include "ops/separable_resize.h"
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

// A standard Resize in linear or cubic mode with half-pixel centres, scales
// [1, 1, sh, sw] (the load-time rewrite keeps the node's inputs and
// attributes). The axis tables are rebuilt only when the shape or the
// scales change; runs of one node are serialised on `mutex`.
struct ResizeKernel {
  bool cubic = false;
  float a = -0.75f;
  std::mutex mutex;
  std::vector<int64_t> shape;
  float scales[2] = {0, 0};
  ResizeAxis rows, cols;

  explicit ResizeKernel(const OrtKernelInfo* info) {
    const Ort::ConstKernelInfo k(info);
    cubic = k.GetAttribute<std::string>("mode") == "cubic";
    try {
      a = k.GetAttribute<float>("cubic_coeff_a");
    } catch (const Ort::Exception&) {
      // absent: the standard default
    }
  }

  OrtStatusPtr ComputeV2(OrtKernelContext* context) noexcept { return guardedCompute(*this, context); }

  OrtStatusPtr compute(const Ort::KernelContext& ctx) {
    const char* op = "com.velomark::SeparableResize";
    const Ort::ConstValue X = ctx.GetInput(0), S = ctx.GetInput(2);
    const std::vector<int64_t> xs = X.GetTensorTypeAndShapeInfo().GetShape();
    if (xs.size() != 4) return refuseRun(std::string(op) + ": X must be [N,C,H,W], got " + shapeText(xs));
    if (S.GetTensorTypeAndShapeInfo().GetElementCount() != 4)
      return refuseRun(std::string(op) + ": scales must hold 4 values");
    const float* s = S.GetTensorData<float>();
    if (s[0] != 1.0f || s[1] != 1.0f || !(s[2] > 0.0f) || !(s[3] > 0.0f) || !std::isfinite(s[2]) ||
        !std::isfinite(s[3]))
      return refuseRun(std::string(op) + ": scales must be [1, 1, sh, sw] with sh, sw positive");
    const std::vector<int64_t> ys{xs[0], xs[1], resizedLength(xs[2], s[2]), resizedLength(xs[3], s[3])};
    for (int64_t v : ys)
      if (v < 0 || v > INT32_MAX) return refuseRun(std::string(op) + ": output " + shapeText(ys) + " out of range");
    float* out = ctx.GetOutput(0, ys).GetTensorMutableData<float>();
    const size_t planes = static_cast<size_t>(ys[0] * ys[1]);
    if (planes == 0 || ys[2] == 0 || ys[3] == 0) return nullptr;
    if (xs[2] == 0 || xs[3] == 0) return refuseRun(std::string(op) + ": empty X " + shapeText(xs) + " to resize");
    std::lock_guard<std::mutex> lock(mutex);
    if (xs != shape || s[2] != scales[0] || s[3] != scales[1]) {
      rows = resizeAxis(static_cast<int>(xs[2]), static_cast<int>(ys[2]), s[2], cubic, a);
      cols = resizeAxis(static_cast<int>(xs[3]), static_cast<int>(ys[3]), s[3], cubic, a);
      shape = xs;
      scales[0] = s[2], scales[1] = s[3];
    }
    const size_t bands = (static_cast<size_t>(ys[2]) + kResizeBandRows - 1) / kResizeBandRows;
    ResizeBandArgs args{X.GetTensorData<float>(), out, &rows, &cols, bands};
    ctx.ParallelFor(resize_band_fn, planes * bands, 0, &args);
    return nullptr;
  }
};

struct ResizeOp : Ort::CustomOpBase<ResizeOp, ResizeKernel, true> {
  ResizeOp() { OrtCustomOp::version = ort::kApiVersion; }
  OrtStatusPtr CreateKernelV2(const OrtApi&, const OrtKernelInfo* info, void** kernel) const {
    return guardedStatus([&]() -> OrtStatusPtr {
      *kernel = new ResizeKernel(info);
      return nullptr;
    });
  }
  const char* GetName() const { return "SeparableResize"; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return 3; }  // X, roi (unused, absent), scales
  ONNXTensorElementDataType GetInputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
  OrtCustomOpInputOutputCharacteristic GetInputCharacteristic(size_t i) const {
    return i == 1 ? OrtCustomOpInputOutputCharacteristic::INPUT_OUTPUT_OPTIONAL
                  : OrtCustomOpInputOutputCharacteristic::INPUT_OUTPUT_REQUIRED;
  }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
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
  static ResizeOp separableResize;
  domain.Add(&gridSampleFast);
  domain.Add(&warpDirector);
  domain.Add(&separableResize);
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
