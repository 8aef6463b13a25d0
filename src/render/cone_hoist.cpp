#include "render/cone_hoist.h"

#include <array>
#include <exception>

#include "base/log.h"
#include "bundle/identity.h"
#include "graph/source_cone.h"
#include "graph/wire.h"
#include "ort/options.h"
#include "simd/kernels.h"

namespace le {

namespace {

std::vector<int64_t> shapeOf(const Ort::TypeInfo& info) {
  if (info.GetONNXType() != ONNX_TYPE_TENSOR) return {};
  return info.GetTensorTypeAndShapeInfo().GetShape();
}

bool tryHoist(Renderer::Impl& im, GraphPrep& g, std::string& reason) {
  im.prepSession = ort::open(g.prepBytes, ort::conePrepOptions());
  const std::vector<int64_t> in = shapeOf(im.prepSession->GetInputTypeInfo(0));
  if (in.size() != 4 || in[0] != 1) {
    reason = "batch-1 lever; this graph declares batch " + std::to_string(in.empty() ? 0 : in[0]);
    return false;
  }
  const std::vector<int64_t> out = shapeOf(im.prepSession->GetOutputTypeInfo(0));
  size_t elements = out.size() == 4 ? 1 : 0;
  for (int64_t d : out) elements *= d > 0 ? static_cast<size_t>(d) : 0;
  if (elements == 0) {
    reason = "boundary shape is not static";
    return false;
  }
  const std::array<long, 4> dims{static_cast<long>(out[0]), static_cast<long>(out[1]), static_cast<long>(out[2]),
                                 static_cast<long>(out[3])};
  std::vector<uint8_t> perFrame;
  if (!buildSourceConePerFrame(g.bytes, g.boundary, dims.data(), 4, perFrame, reason)) return false;
  gsDropUnreadInitializers(perFrame);  // the cone's kernels left with it
  im.session = ort::open(perFrame, im.sessionOptions);
  im.boundaryName = g.boundary;
  im.boundaryElements = elements;
  log::info(
      "[le] source-cone hoist: '%s' [%lld,%lld,%lld,%lld] leaves the per-frame graph and is prefetched per SOURCE "
      "FRAME on one spare core (%s)\n",
      g.boundary.c_str(), static_cast<long long>(out[0]), static_cast<long long>(out[1]),
      static_cast<long long>(out[2]), static_cast<long long>(out[3]), g.key.c_str());
  return true;
}

}  // namespace

bool hoistSessions(Renderer::Impl& im, GraphPrep& g, std::string& reason) {
  bool ok = false;
  try {
    ok = tryHoist(im, g, reason);
  } catch (const std::exception& e) {
    reason = e.what();
  }
  if (!ok) {
    im.prepSession.reset();
    im.session.reset();
    im.boundaryName.clear();
    im.boundaryElements = 0;
  }
  return ok;
}

void Renderer::Impl::startRing(const std::string& key) {
  const Ort::MemoryInfo& mem = ort::cpuMemory();
  const int64_t b = batch, c = crop;
  // The boundary's last two dimensions are the crop's; its channels are what remains.
  const std::array<int64_t, 4> shape{b, static_cast<int64_t>(boundaryElements) / (c * c * b), c, c};
  ringSlots.resize(ConeRing::kSlots);
  for (RingSlot& slot : ringSlots) {
    slot.boundary.assign(boundaryElements, 0.0f);
    slot.tensor = Ort::Value::CreateTensor<float>(mem, slot.boundary.data(), slot.boundary.size(), shape.data(), 4);
  }
  prepBinding = std::make_unique<Ort::IoBinding>(*prepSession);
  const std::array<int64_t, 4> pShape{b, 3, c, c};
  prepInput = Ort::Value::CreateTensor<float>(mem, P.data(), P.size(), pShape.data(), 4);
  prepBinding->BindInput("P_rgb", prepInput);
  ring = std::make_unique<ConeRing>(
      identity->NT, [this](int s, int k) { boundaryRun(s, k); }, key);
}

void Renderer::Impl::boundaryRun(int s, int k) {
  simd::f16ToF32(identity->P(s), P.data(), pFloats);
  prepBinding->BindOutput(boundaryName.c_str(), ringSlots[static_cast<size_t>(k)].tensor);
  prepSession->Run(Ort::RunOptions{nullptr}, *prepBinding);
}

}  // namespace le
