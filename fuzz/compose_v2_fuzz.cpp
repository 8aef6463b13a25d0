// A compose v2 block and structure from an untrusted bundle: the template's
// block is extracted or refused with a reason; the structure bytes are
// (taken as a structure's graph) spliced into a small member model or
// refused, leaving the model as it was.
// The same bytes, taken as a member model, go through the lip-contour bind.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "graph/compose_v2_splice.h"
#include "graph/sha256.h"
#include "graph/lip_contour_bind.h"
#include "graph/wire.h"
#include "tessera/lip_contour.h"

namespace {

// Add(Mul(face, Sub(1, alpha)), Mul(face, alpha)) over alpha = Clip(x): the
// smallest member a structure can name nodes of.
std::vector<uint8_t> member() {
  std::vector<uint8_t> g, m;
  le::hcNode(g, "Clip", {"x"}, "alpha", "clip", {});
  le::hcNode(g, "Sub", {"one", "alpha"}, "rest", "sub", {});
  le::hcNode(g, "Mul", {"face", "rest"}, "a", "mul_a", {});
  le::hcNode(g, "Mul", {"face", "alpha"}, "b", "mul_b", {});
  le::hcNode(g, "Add", {"a", "b"}, "rgb", "add", {});
  const float one = 1.0f;
  le::hcInit(g, "one", le::onnxf::kFloat, {1}, &one, sizeof one);
  const int64_t dims[4] = {1, 3, 8, 8};
  le::gsPutTensorValueInfo(g, le::onnxf::kGraphInput, "P_rgb", dims, 4);
  le::gsPutTensorValueInfo(g, le::onnxf::kGraphInput, "x", dims, 4);
  le::gsPutTensorValueInfo(g, le::onnxf::kGraphInput, "face", dims, 4);
  le::gsPutTensorValueInfo(g, le::onnxf::kGraphOutput, "rgb", dims, 4);
  le::gsPutVarintField(m, 1, 8);
  le::gsPutBytes(m, le::onnxf::kModelGraph, g.data(), g.size());
  return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<uint8_t> kMember = member();
  const std::vector<uint8_t> bytes(data, data + size);
  std::vector<uint8_t> structure;
  std::string source, sha, reason;
  le::tessera::composeV2StructureFromTemplate(std::string(bytes.begin(), bytes.end()), "model_render.onnx", structure,
                                              source, sha, &reason);
  // The fuzzed bytes as a structure's graph, bound to this member, so the
  // splice reaches the node walk.
  static const std::string kSource = le::sha256Hex(kMember.data(), kMember.size());
  std::vector<uint8_t> wrapped, entry;
  le::gsPutBytes(wrapped, le::onnxf::kModelGraph, bytes.data(), bytes.size());
  le::gsPutStr(entry, 1, le::kComposeV2SourceKey);
  le::gsPutStr(entry, 2, kSource);
  le::gsPutBytes(wrapped, 14, entry.data(), entry.size());
  std::vector<uint8_t> model = kMember;
  int canvas = -1, batch = -1;
  if (!le::spliceComposeV2(model, wrapped, reason, "model_render.onnx", &canvas, &batch, "") && model != kMember)
    __builtin_trap();
  model = bytes;
  if (!le::rewriteBindLipContour(model, reason, &canvas, &batch) && model != bytes) __builtin_trap();
  return 0;
}
