#include "ops/int8_domain.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ops/int8_conv.h"
#include "ops/kernel_status.h"
#include "pool/pool.h"

namespace le {

namespace {

constexpr const char* kOp = "com.velomark.int8::Int8ConvVNNI";

std::vector<int64_t> pairOrOnes(const Ort::ConstKernelInfo& info, const char* name) {
  std::vector<int64_t> v;
  try {
    v = info.GetAttributes<int64_t>(name);
  } catch (const Ort::Exception&) {
  }
  return v.size() >= 2 ? std::vector<int64_t>{v[0], v[1]} : std::vector<int64_t>{1, 1};
}

struct Int8ConvKernel {
  // Attributes, read when the session creates the node.
  int64_t group = 1;
  std::vector<int64_t> strides, dilations, pads;

  // The weights of the first run, packed once however many runs start together.
  std::once_flag prepareOnce;
  std::vector<int64_t> preparedShape;
  Int8PackedWeights weights;

  // The quantised image, reused across runs; one run at a time uses it.
  std::mutex imageMutex;
  std::vector<uint16_t> image;

  explicit Int8ConvKernel(const OrtKernelInfo* info) {
    const Ort::ConstKernelInfo k(info);
    group = k.GetAttribute<int64_t>("group");
    strides = pairOrOnes(k, "strides");
    dilations = pairOrOnes(k, "dilations");
    try {
      pads = k.GetAttributes<int64_t>("pads");
    } catch (const Ort::Exception&) {
    }
    pads.resize(4, 0);
  }

  OrtStatusPtr ComputeV2(OrtKernelContext* context) noexcept {
    return guardedStatus([&] { return compute(Ort::KernelContext(context)); });
  }

  // The geometry of this run, or a refusal naming what does not fit.
  OrtStatusPtr geometry(const std::vector<int64_t>& xs, const std::vector<int64_t>& ws, size_t scales, size_t biases,
                        Int8ConvGeometry& g) const {
    if (xs.size() != 4 || ws.size() != 4)
      return refuseRun(std::string(kOp) + ": X must be [N,C,H,W] and W [M,C/group,kH,kW], got X " + shapeText(xs) +
                       " and W " + shapeText(ws));
    for (int64_t v : xs)
      if (v < 0 || v > INT32_MAX) return refuseRun(std::string(kOp) + ": X dimension out of range in " + shapeText(xs));
    for (int64_t v : ws)
      if (v < 1 || v > INT32_MAX) return refuseRun(std::string(kOp) + ": W dimension out of range in " + shapeText(ws));
    const auto attrsOk = [&] {
      for (int64_t v : {strides[0], strides[1], dilations[0], dilations[1]})
        if (v < 1 || v > 65536) return false;
      for (int64_t v : pads)
        if (v < 0 || v > 65536) return false;
      return group >= 1 && group <= xs[1];
    };
    if (!attrsOk())
      return refuseRun(std::string(kOp) + ": group " + std::to_string(group) + ", strides " + shapeText(strides) +
                       ", dilations " + shapeText(dilations) + " or pads " + shapeText(pads) +
                       " out of range for X " + shapeText(xs));
    if (xs[1] % group || ws[1] * group != xs[1] || ws[0] % group)
      return refuseRun(std::string(kOp) + ": W " + shapeText(ws) + " does not fit X " + shapeText(xs) + " in " +
                       std::to_string(group) + " group(s)");
    if (scales != static_cast<size_t>(ws[0]) || biases != static_cast<size_t>(ws[0]))
      return refuseRun(std::string(kOp) + ": scale and bias must hold one value per output channel (" +
                       std::to_string(ws[0]) + "), got " + std::to_string(scales) + " and " + std::to_string(biases));
    g.N = static_cast<int>(xs[0]), g.C = static_cast<int>(xs[1]), g.H = static_cast<int>(xs[2]);
    g.W = static_cast<int>(xs[3]), g.M = static_cast<int>(ws[0]), g.group = static_cast<int>(group);
    g.kH = static_cast<int>(ws[2]), g.kW = static_cast<int>(ws[3]);
    g.strideH = static_cast<int>(strides[0]), g.strideW = static_cast<int>(strides[1]);
    g.dilationH = static_cast<int>(dilations[0]), g.dilationW = static_cast<int>(dilations[1]);
    g.padTop = static_cast<int>(pads[0]), g.padLeft = static_cast<int>(pads[1]);
    g.padBottom = static_cast<int>(pads[2]), g.padRight = static_cast<int>(pads[3]);
    if (static_cast<int64_t>(g.Hp()) < int64_t{g.dilationH} * (g.kH - 1) + 1 ||
        static_cast<int64_t>(g.Wp()) < int64_t{g.dilationW} * (g.kW - 1) + 1)
      return refuseRun(std::string(kOp) + ": the " + std::to_string(g.kH) + "x" + std::to_string(g.kW) +
                       " kernel does not fit the padded input of X " + shapeText(xs));
    return nullptr;
  }

  OrtStatusPtr compute(const Ort::KernelContext& ctx) {
    const Ort::ConstValue X = ctx.GetInput(0), W = ctx.GetInput(1), S = ctx.GetInput(2), B = ctx.GetInput(3);
    const std::vector<int64_t> xs = X.GetTensorTypeAndShapeInfo().GetShape();
    const std::vector<int64_t> ws = W.GetTensorTypeAndShapeInfo().GetShape();
    Int8ConvGeometry g;
    if (OrtStatusPtr bad = geometry(xs, ws, S.GetTensorTypeAndShapeInfo().GetElementCount(),
                                    B.GetTensorTypeAndShapeInfo().GetElementCount(), g))
      return bad;
    std::call_once(prepareOnce, [&] {
      weights = int8PackWeights(g, W.GetTensorData<int8_t>());
      preparedShape = ws;
    });
    if (preparedShape != ws)
      return refuseRun(std::string(kOp) + ": W changed from " + shapeText(preparedShape) + " to " + shapeText(ws) +
                       " after its first run; its packed weights no longer fit");
    const int Ho = g.Ho(), Wo = g.Wo();
    float* out = ctx.GetOutput(0, {xs[0], ws[0], Ho, Wo}).GetTensorMutableData<float>();
    const size_t inItem = static_cast<size_t>(g.C) * g.H * g.W, outItem = static_cast<size_t>(g.M) * Ho * Wo;
    if (inItem == 0 || outItem == 0 || g.N == 0) return nullptr;
    const float* x = X.GetTensorData<float>();
    float lo, hi;
    minmax_par(x, static_cast<unsigned long>(inItem * g.N), lo, hi);
    const Int8Quantisation qz = int8Quantisation(lo, hi);

    std::lock_guard<std::mutex> lock(imageMutex);
    image.resize(g.imageValues());
    Int8ConvArgs a{&g, image.data(), &weights, qz, S.GetTensorData<float>(), B.GetTensorData<float>(), nullptr};
    for (int n = 0; n < g.N; ++n) {
      int8QuantiseImage(g, x + n * inItem, qz, image.data());
      a.out = out + n * outItem;
      pool::parallelRange(static_cast<size_t>(Ho), 1, [&](size_t y0, size_t y1) {
        int8ConvRows(a, static_cast<int>(y0), static_cast<int>(y1));
      });
    }
    return nullptr;
  }
};

struct Int8ConvOp : Ort::CustomOpBase<Int8ConvOp, Int8ConvKernel, true> {
  Int8ConvOp() { OrtCustomOp::version = ort::kApiVersion; }
  OrtStatusPtr CreateKernelV2(const OrtApi&, const OrtKernelInfo* info, void** kernel) const {
    return guardedStatus([&]() -> OrtStatusPtr {
      *kernel = new Int8ConvKernel(info);
      return nullptr;
    });
  }
  const char* GetName() const { return "Int8ConvVNNI"; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return 4; }
  ONNXTensorElementDataType GetInputType(size_t i) const {
    return i == 1 ? ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8 : ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
  }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
};

Ort::CustomOpDomain& int8Domain() {
  // A throw leaves the static uninitialised, so the next call tries again.
  static const std::unique_ptr<Ort::CustomOpDomain> domain = [] {
    ort::api();
    static Int8ConvOp op;  // never freed: sessions may outlive any owner we could give it
    auto d = std::make_unique<Ort::CustomOpDomain>("com.velomark.int8");
    d->Add(&op);
    return d;
  }();
  return *domain;
}

}  // namespace

void registerInt8ConvVNNI(Ort::SessionOptions& options) { options.Add(int8Domain()); }

}  // namespace le
