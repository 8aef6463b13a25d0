#include "graph/gridsample_rewrite.h"

#include <string>

namespace le {

namespace {

constexpr const char* kDomain = "com.velomark";

bool standardDomain(const std::string& d) { return d.empty() || d == "ai.onnx"; }

}  // namespace

bool gsIsRewritableGridSample(GsSlice node) {
  std::string opType, domain;
  // Absent mode and padding mode refuse: the configuration must be spelled out.
  bool modeOk = false, paddingOk = false, alignOk = true;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.wire != 2) continue;
    if (f.field == onnxf::kNodeOpType) opType = f.payload.str();
    if (f.field == onnxf::kNodeDomain) domain = f.payload.str();
    if (f.field != onnxf::kNodeAttribute) continue;
    const GsAttr a = gsReadAttr(f.payload);
    if (a.name == "mode") modeOk = a.s == "bilinear" || a.s == "linear";
    if (a.name == "padding_mode") paddingOk = a.s == "border";
    if (a.name == "align_corners") alignOk = a.i == 0;
  }
  return opType == "GridSample" && standardDomain(domain) && modeOk && paddingOk && alignOk;
}

std::vector<uint8_t> velomarkImportTail(const std::vector<uint8_t>& model) {
  GsReader top(gsSliceOf(model));
  GsField f;
  while (top.next(f))
    if (f.field == onnxf::kModelOpsetImport && f.wire == 2 && gsFirstStr(f.payload, onnxf::kOpsetDomain) == kDomain)
      return {};  // an existing import stays as it is, whatever its version
  std::vector<uint8_t> opset, tail;
  gsPutStr(opset, onnxf::kOpsetDomain, kDomain);
  gsPutVarintField(opset, onnxf::kOpsetVersion, 1);
  gsPutBytes(tail, onnxf::kModelOpsetImport, opset.data(), opset.size());
  return tail;
}

size_t rewriteGridSampleToFast(std::vector<uint8_t>& model) {
  return gsRetypeMatching(model, gsIsRewritableGridSample, "GridSampleFast", kDomain, true, velomarkImportTail(model));
}

bool graphHasBakedGridSampleFast(const std::vector<uint8_t>& model) {
  GsReader top(gsSliceOf(model));
  GsField f;
  while (top.next(f)) {
    if (f.field != onnxf::kModelGraph || f.wire != 2) continue;
    GsReader g(f.payload);
    GsField n;
    while (g.next(n))
      if (n.field == onnxf::kGraphNode && n.wire == 2 &&
          gsFirstStr(n.payload, onnxf::kNodeOpType) == "GridSampleFast" &&
          gsFirstStr(n.payload, onnxf::kNodeDomain) == kDomain)
        return true;
  }
  return false;
}

}  // namespace le
