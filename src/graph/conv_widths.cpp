#include "graph/conv_widths.h"

#include <string>
#include <unordered_map>

#include "graph/wire.h"

namespace le {

bool graphHasWideConv(const std::vector<uint8_t>& model, int64_t channels) {
  const GsSlice graph = gsGraphOf(gsSliceOf(model));
  std::unordered_map<std::string, std::vector<int64_t>> dims;
  std::vector<GsSlice> convs;
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.wire != 2) continue;
    if (f.field == onnxf::kGraphInitializer) {
      hcTensorDims(f.payload, dims[gsFirstStr(f.payload, onnxf::kTensorName)]);
    } else if (f.field == onnxf::kGraphNode && gsFirstStr(f.payload, onnxf::kNodeOpType) == "Conv") {
      const std::string domain = gsFirstStr(f.payload, onnxf::kNodeDomain);
      if (domain.empty() || domain == "ai.onnx") convs.push_back(f.payload);
    }
  }
  for (GsSlice node : convs) {
    std::vector<std::string> inputs;
    gsAllStr(node, onnxf::kNodeInput, inputs);
    const auto w = inputs.size() > 1 ? dims.find(inputs[1]) : dims.end();
    if (w == dims.end() || w->second.size() != 4) continue;
    if (w->second[0] >= channels && w->second[1] >= channels) return true;
  }
  return false;
}

}  // namespace le
