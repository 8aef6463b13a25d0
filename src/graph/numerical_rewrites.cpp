#include "graph/numerical_rewrites.h"

#include <cmath>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

namespace le {

namespace {

// Channels a depthwise Conv may carry before the weights stop being a small table.
constexpr int64_t kMaxChannels = 1048576;

// Rebuilds the model with node `index` of every graph replaced by what
// `emit` appends, and `tail` appended to each graph payload.
template <class Emit, class Tail>
void replaceNode(std::vector<uint8_t>& model, size_t index, size_t extra, Emit&& emit, Tail&& tail) {
  std::vector<uint8_t> out;
  const auto field = [&](const GsField& f, size_t node, std::vector<uint8_t>& graph) {
    if (f.field != onnxf::kGraphNode || f.wire != 2 || node != index) return false;
    emit(f.payload, graph);
    return true;
  };
  gsCopyModel(gsSliceOf(model), model.size() + 256 + extra, 256 + extra, field, tail, out);
  model.swap(out);
}

// Whether a node of the table is the head's cubic x2 upsampler.
bool isHeadCubic(const GsNodeInfo& n, const std::unordered_map<std::string, GsSlice>& inits) {
  if (n.op_type != "Resize" || n.inputs.size() != 3 || !n.inputs[1].empty() || n.outputs.size() != 1) return false;
  const GsSlice node = hcPayload(n.raw);
  if (!gsFirstStr(node, onnxf::kNodeDomain).empty()) return false;
  const HcAttrs a = hcReadAttrs(node);
  if (a.mode != "cubic" || a.coordinate_transformation_mode != "half_pixel" || a.excludeOutside || a.antialias ||
      a.hasAxes || (a.hasKeepAspectRatioPolicy && a.keep_aspect_ratio_policy != "stretch"))
    return false;
  const auto scales = inits.find(n.inputs[2]);
  std::vector<float> s;
  return scales != inits.end() && hcTensorFloats(scales->second, s) && s == std::vector<float>{1, 1, 2, 2};
}

// C of the Conv that reads `value`: group x dim 1 of its weight initializer; 0 when unknown.
int64_t consumerChannels(const std::vector<GsNodeInfo>& nodes, const std::unordered_map<std::string, GsSlice>& inits,
                         const std::string& value) {
  for (const GsNodeInfo& n : nodes) {
    if (n.op_type != "Conv") continue;
    bool reads = false;
    for (const std::string& in : n.inputs) reads = reads || in == value;
    if (!reads) continue;
    if (n.inputs.size() < 2) return 0;
    const auto w = inits.find(n.inputs[1]);
    if (w == inits.end()) return 0;
    std::vector<int64_t> dims;
    hcTensorDims(w->second, dims);
    if (dims.size() < 2) return 0;
    int64_t group = 1;
    GsReader r(hcPayload(n.raw));
    GsField f;
    while (r.next(f))
      if (f.field == onnxf::kNodeAttribute && f.wire == 2) {
        const GsAttr a = gsReadAttr(f.payload);
        if (a.name == "group" && a.hasI) group = a.i;
      }
    // Bounded before multiplying, so a hostile pair cannot overflow.
    if (group < 1 || group > kMaxChannels || dims[1] < 1 || dims[1] > kMaxChannels) return 0;
    return group * dims[1];
  }
  return 0;
}

// The 5-tap phase vectors of a cubic x2 half-pixel upsampler.
void phaseVectors(double a, double k[2][5]) {
  double taps[4];
  std::memset(k, 0, sizeof(double) * 10);
  hcTaps(0.75, a, taps);  // even outputs sit a quarter pixel before an input centre
  for (int i = 0; i < 4; ++i) k[0][i] = taps[i];
  hcTaps(0.25, a, taps);  // odd ones a quarter pixel after
  for (int i = 0; i < 4; ++i) k[1][i + 1] = taps[i];
}

}  // namespace

bool gsIsStudentBlendMatMul(GsSlice node) {
  std::string name, opType, domain;
  size_t inputs = 0;
  bool attributes = false;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.wire != 2) continue;
    if (f.field == onnxf::kNodeName) name = f.payload.str();
    if (f.field == onnxf::kNodeOpType) opType = f.payload.str();
    if (f.field == onnxf::kNodeDomain) domain = f.payload.str();
    if (f.field == onnxf::kNodeInput) ++inputs;
    if (f.field == onnxf::kNodeAttribute) attributes = true;
  }
  return name == "/s2/blend" && opType == "MatMul" && inputs == 2 && !attributes &&
         (domain.empty() || domain == "ai.onnx");
}

size_t normaliseStudentBlend(std::vector<uint8_t>& model) {
  // The default Gemm: alpha 1, beta 1, no transposes, no bias.
  return gsRetypeMatching(model, gsIsStudentBlendMatMul, "Gemm", "", false, {});
}

HcAttrs hcReadAttrs(GsSlice node) {
  HcAttrs h;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.field != onnxf::kNodeAttribute || f.wire != 2) continue;
    const GsAttr a = gsReadAttr(f.payload);
    if (a.name == "mode") h.mode = a.s;
    if (a.name == "coordinate_transformation_mode") h.coordinate_transformation_mode = a.s;
    if (a.name == "keep_aspect_ratio_policy") h.keep_aspect_ratio_policy = a.s, h.hasKeepAspectRatioPolicy = true;
    if (a.name == "cubic_coeff_a" && a.hasF) h.cubic_coeff_a = a.f;
    if (a.name == "exclude_outside") h.excludeOutside = a.i != 0;
    if (a.name == "antialias") h.antialias = a.i != 0;
    if (a.name == "axes") h.hasAxes = true;
  }
  return h;
}

void hcTaps(double t, double a, double* taps) {
  const auto w = [a](double d) {
    return d <= 1.0 ? ((a + 2) * d - (a + 3)) * d * d + 1 : ((d - 5) * d + 8) * d * a - 4 * a;
  };
  const double d[4] = {t + 1, t, 1 - t, 2 - t};
  double sum = 0;
  for (int i = 0; i < 4; ++i) sum += taps[i] = w(d[i]);
  for (int i = 0; i < 4; ++i) taps[i] /= sum;
}

size_t rewriteHeadCubicResize(std::vector<uint8_t>& model) {
  const GsSlice graph = gsGraphOf(gsSliceOf(model));
  if (graph.empty()) return 0;
  std::vector<GsNodeInfo> nodes;
  std::unordered_set<std::string> initNames, inputNames;
  gsReadGraph(graph, nodes, initNames, inputNames);
  const auto inits = gsInitializerPayloads(graph);
  size_t matches = 0, index = 0;
  for (size_t i = 0; i < nodes.size(); ++i)
    if (isHeadCubic(nodes[i], inits)) ++matches, index = i;
  if (matches != 1) return 0;
  const GsNodeInfo& resize = nodes[index];
  const int64_t C = consumerChannels(nodes, inits, resize.outputs[0]);
  if (C < 1 || C > kMaxChannels) return 0;

  double k[2][5];
  phaseVectors(hcReadAttrs(hcPayload(resize.raw)).cubic_coeff_a, k);
  std::vector<float> weights(static_cast<size_t>(C) * 4 * 25);
  for (int64_t c = 0; c < C; ++c)
    for (int py = 0; py < 2; ++py)
      for (int px = 0; px < 2; ++px) {
        float* w = weights.data() + (static_cast<size_t>(c) * 4 + 2 * py + px) * 25;
        for (int i = 0; i < 5; ++i)
          for (int j = 0; j < 5; ++j) w[i * 5 + j] = static_cast<float>(k[py][i] * k[px][j]);
      }

  const std::string p = "rz" + std::to_string(index);
  std::string name = gsFirstStr(hcPayload(resize.raw), onnxf::kNodeName);
  if (name.empty()) name = "/Resize";
  const auto emit = [&](GsSlice, std::vector<uint8_t>& g) {
    std::vector<uint8_t> attrs;
    hcAttrS(attrs, "edge");
    hcNode(g, "Pad", {resize.inputs[0], p + "_pads"}, p + "_padout", name + "/pad", attrs);
    attrs.clear();
    const int64_t ones[2] = {1, 1}, fives[2] = {5, 5}, zeros[4] = {0, 0, 0, 0};
    hcAttrIs(attrs, "dilations", ones, 2);
    hcAttrI(attrs, "group", C);
    hcAttrIs(attrs, "kernel_shape", fives, 2);
    hcAttrIs(attrs, "pads", zeros, 4);
    hcAttrIs(attrs, "strides", ones, 2);
    hcNode(g, "Conv", {p + "_padout", p + "_dw_w"}, p + "_convout", name + "/dwconv", attrs);
    attrs.clear();
    hcAttrI(attrs, "blocksize", 2);
    hcAttrS(attrs, "CRD");
    hcNode(g, "DepthToSpace", {p + "_convout"}, resize.outputs[0], name + "/d2s", attrs);
  };
  const auto tail = [&](std::vector<uint8_t>& g) {
    const int64_t pads[8] = {0, 0, 2, 2, 0, 0, 2, 2};
    hcInit(g, p + "_pads", onnxf::kInt64, {8}, pads, sizeof pads);
    hcInit(g, p + "_dw_w", onnxf::kFloat, {4 * C, 1, 5, 5}, weights.data(), weights.size() * sizeof(float));
  };
  replaceNode(model, index, weights.size() * sizeof(float), emit, tail);
  return 1;
}

}  // namespace le
