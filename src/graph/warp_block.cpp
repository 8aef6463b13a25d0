#include "graph/warp_block.h"

#include <unordered_set>

#include "graph/gridsample_rewrite.h"
#include "graph/source_cone.h"

namespace le {

namespace {

bool samplesTip(const WdNode& n, const std::string& tip) {
  return (n.op_type == "GridSample" || n.op_type == "GridSampleFast") && n.inputs.size() >= 2 && n.inputs[0] == tip;
}

bool reads(const WdNode& n, const std::unordered_set<std::string>& values) {
  for (const std::string& in : n.inputs)
    if (values.count(in)) return true;
  return false;
}

// Marks the Slices that read the sampler's output, then every Mul, Sub and
// Add fed from what is marked, until nothing changes; returns the values.
std::unordered_set<std::string> growBlock(const std::vector<WdNode>& nodes, size_t sampler,
                                          std::vector<uint8_t>& marked) {
  marked[sampler] = 1;
  const std::string& sampled = nodes[sampler].outputs[0];
  std::unordered_set<std::string> values{sampled};
  for (size_t i = 0; i < nodes.size(); ++i)
    if (!marked[i] && nodes[i].op_type == "Slice" && reads(nodes[i], {sampled})) {
      marked[i] = 1;
      values.insert(nodes[i].outputs.begin(), nodes[i].outputs.end());
    }
  for (bool grown = true; grown;) {
    grown = false;
    for (size_t i = 0; i < nodes.size(); ++i) {
      const std::string& op = nodes[i].op_type;
      if (marked[i] || (op != "Mul" && op != "Sub" && op != "Add") || !reads(nodes[i], values)) continue;
      marked[i] = 1;
      values.insert(nodes[i].outputs.begin(), nodes[i].outputs.end());
      grown = true;
    }
  }
  return values;
}

std::vector<std::string> graphOutputs(GsSlice graph) {
  std::vector<std::string> names;
  GsReader r(graph);
  GsField f;
  while (r.next(f))
    if (f.field == onnxf::kGraphOutput && f.wire == 2) names.push_back(gsFirstStr(f.payload, onnxf::kValueName));
  return names;
}

void emitWarpNode(std::vector<uint8_t>& graph, const WarpBlock& b) {
  std::vector<uint8_t> n;
  gsPutStr(n, onnxf::kNodeInput, kHoistSource);
  gsPutStr(n, onnxf::kNodeInput, b.grid);
  gsPutStr(n, onnxf::kNodeOutput, b.out);
  gsPutStr(n, onnxf::kNodeName, "le_warp_director");
  gsPutStr(n, onnxf::kNodeOpType, "WarpDirector");
  gsPutStr(n, onnxf::kNodeDomain, "com.velomark");
  gsPutBytes(graph, onnxf::kGraphNode, n.data(), n.size());
}

}  // namespace

void wdReadNodes(GsSlice graph, std::vector<WdNode>& nodes) {
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.field != onnxf::kGraphNode || f.wire != 2) continue;
    WdNode n;
    n.payload = f.payload;
    n.raw = f.raw;
    n.op_type = gsFirstStr(f.payload, onnxf::kNodeOpType);
    gsAllStr(f.payload, onnxf::kNodeInput, n.inputs);
    gsAllStr(f.payload, onnxf::kNodeOutput, n.outputs);
    nodes.push_back(std::move(n));
  }
}

size_t findWarpBlock(const std::vector<uint8_t>& model, WarpBlock* block, std::string& reason) {
  if (!block) {
    reason = "no out param";
    return 0;
  }
  *block = WarpBlock{};
  const GsSlice graph = gsGraphOf(gsSliceOf(model));
  if (graph.empty()) {
    reason = "no graph";
    return 0;
  }
  std::string tip;
  if (findSourceConeBoundary(model, tip) != 1) {
    reason = std::string("not one Concat consuming ") + kHoistSource;
    return 0;
  }
  std::vector<WdNode> nodes;
  wdReadNodes(graph, nodes);
  size_t sampler = nodes.size();
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (!samplesTip(nodes[i], tip)) continue;
    if (sampler != nodes.size()) {
      reason = "two GridSamples on the cone's tip";
      return 0;
    }
    sampler = i;
  }
  if (sampler == nodes.size()) {
    reason = "no GridSample consuming '" + tip + "'";
    return 0;
  }
  const WdNode& gs = nodes[sampler];
  if (gs.op_type == "GridSample" && !gsIsRewritableGridSample(gs.payload)) {
    reason = "the fused GridSample is not bilinear/border/align_corners=0";
    return 0;
  }
  if (gs.outputs.empty() || gs.outputs[0].empty()) {
    reason = "the fused GridSample has no output";
    return 0;
  }
  std::vector<uint8_t> marked(nodes.size(), 0);
  const std::unordered_set<std::string> values = growBlock(nodes, sampler, marked);
  std::unordered_set<std::string> exits;
  for (size_t i = 0; i < nodes.size(); ++i)
    if (!marked[i])
      for (const std::string& in : nodes[i].inputs)
        if (in != gs.outputs[0] && values.count(in)) exits.insert(in);
  for (const std::string& o : graphOutputs(graph))
    if (values.count(o)) exits.insert(o);
  if (exits.size() != 1) {
    reason = "the recombination has " + std::to_string(exits.size()) + " exits, not 1";
    return 0;
  }
  bool gridMade = false;
  for (const WdNode& n : nodes)
    for (const std::string& o : n.outputs) gridMade = gridMade || o == gs.inputs[1];
  if (!gridMade) {
    reason = "the grid has no producer";
    return 0;
  }
  block->source = tip;
  block->grid = gs.inputs[1];
  block->out = *exits.begin();
  for (uint8_t m : marked) block->nodes += m;
  return block->nodes;
}

size_t rewriteWarpBlockToCustomOp(std::vector<uint8_t>& model, std::string& reason) {
  WarpBlock block;
  if (findWarpBlock(model, &block, reason) == 0) return 0;
  const GsSlice graph = gsGraphOf(gsSliceOf(model));
  std::vector<GsNodeInfo> infos;
  std::unordered_set<std::string> initializers, inputs;
  gsReadGraph(graph, infos, initializers, inputs);
  std::vector<uint8_t> dropped;
  if (!gsSourceCone(infos, initializers, inputs, block.source, dropped, reason)) return 0;
  std::vector<WdNode> nodes;
  wdReadNodes(graph, nodes);
  size_t sampler = nodes.size();
  for (size_t i = 0; i < nodes.size(); ++i)
    if (samplesTip(nodes[i], block.source)) sampler = i;
  if (sampler == nodes.size() || nodes[sampler].outputs.empty() || dropped.size() != nodes.size()) {
    reason = "the GridSample moved between passes";
    return 0;
  }
  growBlock(nodes, sampler, dropped);
  // The cone leaves with the block, so nothing else may still read its tip.
  for (size_t i = 0; i < nodes.size(); ++i)
    if (!dropped[i])
      for (const std::string& in : nodes[i].inputs)
        if (in == block.source) {
          reason = "the cone's tip is also read outside the warp block by " + nodes[i].op_type;
          return 0;
        }

  std::vector<uint8_t> out;
  const auto field = [&](const GsField& f, size_t node, std::vector<uint8_t>& g) {
    if (f.field == onnxf::kGraphNode && f.wire == 2) {
      if (node == sampler) emitWarpNode(g, block);
      return node < dropped.size() && dropped[node] != 0;
    }
    // The tip no longer exists; a stale declaration of it would confuse the runtime.
    return f.field == onnxf::kGraphValueInfo && f.wire == 2 && gsFirstStr(f.payload, onnxf::kValueName) == block.source;
  };
  const std::vector<uint8_t> tail = velomarkImportTail(model);
  gsCopyModel(
      gsSliceOf(model), model.size() + 256, 256, field, [](std::vector<uint8_t>&) {}, out);
  out.insert(out.end(), tail.begin(), tail.end());
  model.swap(out);
  return block.nodes;
}

}  // namespace le
