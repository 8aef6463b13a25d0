// Model bytes from an untrusted bundle: the wire reader, every field reader,
// the rebuilder and every rewrite entry point must refuse with one of the
// three wire errors or succeed; nothing may look outside the input, and a
// rewrite that throws must leave the model as it was.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "graph/gridsample_rewrite.h"
#include "graph/numerical_rewrites.h"
#include "graph/source_cone.h"
#include "graph/warp_block.h"
#include "graph/wire.h"

namespace {

using Bytes = std::vector<uint8_t>;

void expectWireError(const std::runtime_error& e) {
  const std::string t = e.what();
  if (t != "onnx: bad varint" && t != "onnx: truncated" && t != "onnx: bad wire type") __builtin_trap();
}

// Every field of the slice must lie inside it.
void walk(le::GsSlice s, int depth) {
  le::GsReader r(s);
  le::GsField f;
  while (r.next(f)) {
    if (f.raw.p < s.p || f.raw.p + f.raw.n > s.p + s.n) __builtin_trap();
    if (f.wire == 2 && f.payload.n && (f.payload.p < f.raw.p || f.payload.p + f.payload.n > f.raw.p + f.raw.n))
      __builtin_trap();
    if (f.wire == 2 && depth < 3) {
      try {
        walk(f.payload, depth + 1);
      } catch (const std::runtime_error& e) {
        expectWireError(e);
      }
    }
  }
}

template <class F>
void guarded(F&& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    expectWireError(e);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Bytes model(data, data + size);
  const le::GsSlice m = le::gsSliceOf(model);
  guarded([&] { walk(m, 0); });
  guarded([&] {
    const le::GsSlice graph = le::gsGraphOf(m);
    std::vector<le::GsNodeInfo> nodes;
    std::unordered_set<std::string> inits, inputs;
    le::gsReadGraph(graph, nodes, inits, inputs);
    int64_t first, last;
    int rank;
    le::ldInputDims(graph, "P_rgb", first, last, rank);
    std::vector<float> floats;
    std::vector<int64_t> dims;
    for (const le::GsNodeInfo& n : nodes) {
      const le::GsSlice node = le::hcPayload(n.raw);
      le::gsIsRewritableGridSample(node);
      le::gsIsStudentBlendMatMul(node);
      le::hcReadAttrs(node);
      const le::GsSlice value = le::hcConstValue(node);
      le::hcTensorFloats(value, floats);
      le::hcTensorDims(value, dims);
    }
  });
  guarded([&] { le::graphHasBakedGridSampleFast(model); });
  guarded([&] {
    const Bytes drop = {1, 0, 1};
    const std::string name = "tip";
    const int64_t d[] = {1, -1, 512};
    le::GsGraphEdit edit{&drop, true, false, true, &name, d, 3, 11};
    Bytes out;
    le::gsRebuild(model, edit, out);
    walk(le::gsSliceOf(out), 0);
  });
  guarded([&] {
    std::string tip, reason;
    le::findSourceConeBoundary(model, tip);
    le::WarpBlock block;
    le::findWarpBlock(model, &block, reason);
    const std::string name = tip.empty() ? "cone_tip" : tip;
    Bytes prep, perFrame;
    if (le::buildSourceConePrep(model, name, prep, reason)) walk(le::gsSliceOf(prep), 0);
    const long dims[] = {1, 12, 0, 64};
    if (le::buildSourceConePerFrame(model, name, dims, 4, perFrame, reason)) walk(le::gsSliceOf(perFrame), 0);
  });
  {
    Bytes copy = model;
    std::string reason;
    try {
      if (le::rewriteWarpBlockToCustomOp(copy, reason) == 0 && copy != model) __builtin_trap();
      walk(le::gsSliceOf(copy), 0);
    } catch (const std::runtime_error& e) {
      expectWireError(e);
      if (copy != model) __builtin_trap();
    }
  }
  using Rewrite = size_t (*)(Bytes&);
  for (Rewrite rw : {le::rewriteGridSampleToFast, le::normaliseStudentBlend, le::rewriteHeadCubicResize,
                     le::gsDropUnreadInitializers}) {
    Bytes copy = model;
    try {
      if (rw(copy) == 0 && copy != model) __builtin_trap();  // nothing rewritten: untouched
      walk(le::gsSliceOf(copy), 0);
    } catch (const std::runtime_error& e) {
      expectWireError(e);
      if (copy != model) __builtin_trap();
    }
  }
  return 0;
}
