#include "graph/resize_rewrite.h"

#include <cmath>
#include <string>

#include "graph/gridsample_rewrite.h"
#include "graph/numerical_rewrites.h"

namespace le {

bool rzIsSeparable(GsSlice node, const std::unordered_map<std::string, GsSlice>& initializers) {
  const std::string domain = gsFirstStr(node, onnxf::kNodeDomain);
  if (gsFirstStr(node, onnxf::kNodeOpType) != "Resize" || !(domain.empty() || domain == "ai.onnx")) return false;
  const HcAttrs a = hcReadAttrs(node);
  if ((a.mode != "linear" && a.mode != "cubic") || a.coordinate_transformation_mode != "half_pixel" ||
      a.excludeOutside || a.antialias || a.hasAxes ||
      (a.hasKeepAspectRatioPolicy && a.keep_aspect_ratio_policy != "stretch"))
    return false;
  std::vector<std::string> inputs, outputs;
  gsAllStr(node, onnxf::kNodeInput, inputs);
  gsAllStr(node, onnxf::kNodeOutput, outputs);
  if (inputs.size() != 3 || inputs[0].empty() || !inputs[1].empty() || outputs.size() != 1) return false;
  const auto scales = initializers.find(inputs[2]);
  std::vector<float> s;
  return scales != initializers.end() && hcTensorFloats(scales->second, s) && s.size() == 4 && s[0] == 1.0f &&
         s[1] == 1.0f && s[2] > 0.0f && s[3] > 0.0f && std::isfinite(s[2]) && std::isfinite(s[3]);
}

size_t rewriteResizeToSeparable(std::vector<uint8_t>& model) {
  const GsSlice graph = gsGraphOf(gsSliceOf(model));
  if (graph.empty()) return 0;
  const auto inits = gsInitializerPayloads(graph);
  const auto match = [&](const GsField& f) {
    return f.field == onnxf::kGraphNode && f.wire == 2 && rzIsSeparable(f.payload, inits);
  };
  size_t count = 0;
  GsReader r(graph);
  GsField f;
  while (r.next(f)) count += match(f);
  if (count == 0) return 0;
  const std::vector<uint8_t> tail = velomarkImportTail(model);
  std::vector<uint8_t> out;
  const auto field = [&](const GsField& gf, size_t, std::vector<uint8_t>& g) {
    if (!match(gf)) return false;
    gsRetypeNode(g, gf.payload, "SeparableResize", "com.velomark", false);
    return true;
  };
  gsCopyModel(gsSliceOf(model), model.size() + 64 * count + tail.size(), 64 * count, field,
              [](std::vector<uint8_t>&) {}, out);
  out.insert(out.end(), tail.begin(), tail.end());
  model.swap(out);  // only now: a throw above leaves the model as it was
  return count;
}

}  // namespace le
