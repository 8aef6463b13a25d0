#include "ops/velomark_domain.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ops/gridsample_fast.h"

namespace le {

namespace {

std::string shapeText(const std::vector<int64_t>& s) {
  std::string t = "[";
  for (size_t i = 0; i < s.size(); ++i) {
    if (i) t += ',';
    t += std::to_string(s[i]);
  }
  return t + "]";
}

OrtStatusPtr refuse(const std::string& text) { return Ort::GetApi().CreateStatus(ORT_RUNTIME_EXCEPTION, text.c_str()); }

// Stateless: the configuration is fixed by the operator's name.
struct GSFKernel {
  OrtStatusPtr ComputeV2(OrtKernelContext* context) noexcept {
    try {
      return compute(Ort::KernelContext(context));
    } catch (const Ort::Exception& e) {
      return Ort::GetApi().CreateStatus(e.GetOrtErrorCode(), e.what());
    } catch (const std::exception& e) {
      return refuse(e.what());
    }
  }

  static OrtStatusPtr compute(const Ort::KernelContext& ctx) {
    const Ort::ConstValue X = ctx.GetInput(0), grid = ctx.GetInput(1);
    const std::vector<int64_t> xs = X.GetTensorTypeAndShapeInfo().GetShape();
    const std::vector<int64_t> gs = grid.GetTensorTypeAndShapeInfo().GetShape();
    // The graphs that reach this kernel never carry a mismatch; one that did
    // would otherwise read past the grid.
    if (xs.size() != 4)
      return refuse("com.velomark::GridSampleFast: X must be [N,C,H,W], got " + shapeText(xs));
    const std::vector<int64_t> want{xs[0], xs[2], xs[3], 2};
    if (gs != want)
      return refuse("com.velomark::GridSampleFast: grid must be " + shapeText(want) + " for X " + shapeText(xs) +
                    ", got " + shapeText(gs));
    for (int64_t v : xs)
      if (v < 0 || v > INT32_MAX)
        return refuse("com.velomark::GridSampleFast: X dimension out of range in " + shapeText(xs));
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

struct GSFOp : Ort::CustomOpBase<GSFOp, GSFKernel, true> {
  GSFOp() { OrtCustomOp::version = ort::kApiVersion; }
  OrtStatusPtr CreateKernelV2(const OrtApi&, const OrtKernelInfo*, void** kernel) const {
    *kernel = new GSFKernel;
    return nullptr;
  }
  const char* GetName() const { return "GridSampleFast"; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return 2; }
  ONNXTensorElementDataType GetInputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
};

}  // namespace

void domainOps(Ort::CustomOpDomain& domain) {
  static GSFOp gridSampleFast;  // never freed: sessions may outlive any owner we could give it
  domain.Add(&gridSampleFast);
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
