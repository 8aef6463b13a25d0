#include "render/input_layout.h"

#include <array>
#include <stdexcept>

#include "le/le.h"

namespace le {

namespace {

// Shape of a tensor input; empty for anything else.
std::vector<int64_t> tensorShape(const Ort::TypeInfo& info) {
  if (info.GetONNXType() != ONNX_TYPE_TENSOR) return {};
  return info.GetTensorTypeAndShapeInfo().GetShape();
}

void checkKeypointRows(const std::string& modelPath, const std::string& name, const std::vector<int64_t>& shape) {
  if (shape.size() != 3) return;
  const int64_t rows = shape[1];
  if (rows < 1 || rows == kHostKpRows) return;
  throw std::runtime_error(keypointContractMessage(modelPath, name, rows));
}

Ort::Value tensorOver(const Ort::MemoryInfo& mem, std::vector<float>& buffer, std::array<int64_t, 4> shape,
                      size_t rank) {
  return Ort::Value::CreateTensor<float>(mem, buffer.data(), buffer.size(), shape.data(), rank);
}

}  // namespace

std::string keypointContractMessage(const std::string& modelPath, const std::string& input, int64_t rows) {
  const std::string host = std::to_string(kHostKpRows);
  std::string text = "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + modelPath + " — the graph declares " + input +
                     " with " + std::to_string(rows) + " keypoint rows, and this renderer feeds " + host +
                     " (le::kHostKpRows, le/le.h). ";
  if (rows == 22)
    text += "That is the recipe_v4 / kd_v4 shape: row " + host +
            " is the WIDTH ROW (wn, seal, 0), fed from the a2x encoder's second output. This engine has no width feed "
            "(see le_a2x_width / le_a2x_pull_wn in le/le_a2x.h, which nothing on this path calls yet), so it cannot "
            "drive this director. ";
  return text +
         "REFUSING AT LOAD rather than dying inside ORT at the first Run. This build must not have been published to a "
         "host that links this renderer: training/recipe/host_kp_contract is the publish gate that exists to prevent "
         "it.";
}

DirectorInputs discoverInputs(const Ort::Session& session, const std::string& modelPath) {
  std::vector<std::string> names;
  std::vector<std::vector<int64_t>> shapes;
  Ort::AllocatorWithDefaultOptions alloc;
  for (size_t i = 0; i < session.GetInputCount(); ++i) {
    names.emplace_back(session.GetInputNameAllocated(i, alloc).get());
    shapes.push_back(tensorShape(session.GetInputTypeInfo(i)));
  }
  DirectorInputs found;
  for (const std::string& n : names) found.featSynth = found.featSynth || n == "fs_red";

  const char* batchInput = found.featSynth ? "pooled" : "pooled64";
  const char* kd = found.featSynth ? "kd" : "kp_driving";
  const char* ks = found.featSynth ? "ks" : "kp_source";
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == batchInput && shapes[i].size() == 4 && shapes[i][0] > 0)
      found.batch = static_cast<int>(shapes[i][0]);
  if (found.batch < 1) throw std::runtime_error(std::string(batchInput) + " input not found / bad shape");
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == kd || names[i] == ks) checkKeypointRows(modelPath, names[i], shapes[i]);
  return found;
}

void bindLayout(Renderer::Impl& im) {
  const Ort::MemoryInfo& mem = ort::cpuMemory();
  im.binding = std::make_unique<Ort::IoBinding>(*im.session);
  const int64_t b = im.batch;
  const int64_t c = im.crop;
  const std::array<int64_t, 4> pooledShape{b, 64, 32, 32};
  const std::array<int64_t, 4> kpShape{b, kHostKpRows, 3, 0};
  const std::array<int64_t, 4> imageShape{b, 3, c, c};

  im.bound.clear();
  im.bound.reserve(6);
  auto bindInput = [&](const char* name, std::vector<float>& buffer, const std::array<int64_t, 4>& shape, size_t rank) {
    im.bound.push_back(tensorOver(mem, buffer, shape, rank));
    im.binding->BindInput(name, im.bound.back());
  };
  if (im.featSynth) {
    bindInput("fs_red", im.fs, {b, 64, 64, 64}, 4);
    bindInput("pooled", im.pooled, pooledShape, 4);
    bindInput("kd", im.kpDriving, kpShape, 3);
    bindInput("ks", im.kpSource, kpShape, 3);
  } else {
    bindInput("pooled64", im.pooled, pooledShape, 4);
    // A hoisted director reads a ring slot instead, bound per call.
    if (!im.prepSession) bindInput("P_rgb", im.P, imageShape, 4);
    bindInput("kp_driving", im.kpDriving, kpShape, 3);
    bindInput("kp_source", im.kpSource, kpShape, 3);
    if (im.lipDelivery) {
      im.lipCanvas.assign(static_cast<size_t>(b * c * c), 1.0f);
      bindInput("lip_delivery", im.lipCanvas, {b, 1, c, c}, 4);
    }
  }
  im.bound.push_back(tensorOver(mem, im.out, imageShape, 4));
  im.binding->BindOutput("rgb", im.bound.back());
}

}  // namespace le
