#include "graph/source_cone.h"

#include <unordered_map>

namespace le {

namespace {

// The graph's node table and names; false when the model has no graph.
struct GraphTables {
  std::vector<GsNodeInfo> nodes;
  std::unordered_set<std::string> initializers, inputs;
};

bool readTables(const std::vector<uint8_t>& model, GraphTables& t, std::string& reason) {
  const GsSlice graph = gsGraphOf(gsSliceOf(model));
  if (graph.empty()) {
    reason = "no graph";
    return false;
  }
  gsReadGraph(graph, t.nodes, t.initializers, t.inputs);
  if (!t.inputs.count(kHoistSource)) {
    reason = "no P_rgb input";
    return false;
  }
  return true;
}

}  // namespace

size_t findSourceConeBoundary(const std::vector<uint8_t>& model, std::string& tip) {
  tip.clear();
  const GsSlice graph = gsGraphOf(gsSliceOf(model));
  if (graph.empty()) return 0;
  GraphTables t;
  gsReadGraph(graph, t.nodes, t.initializers, t.inputs);
  size_t count = 0;
  std::string found;
  for (const GsNodeInfo& n : t.nodes) {
    if (n.op_type != "Concat" || n.outputs.empty() || n.outputs[0].empty()) continue;
    for (const std::string& in : n.inputs)
      if (in == kHoistSource) {
        ++count;
        found = n.outputs[0];
        break;
      }
  }
  if (count == 1) tip = found;
  return count;
}

bool gsSourceCone(const std::vector<GsNodeInfo>& nodes, const std::unordered_set<std::string>& initializers,
                  const std::unordered_set<std::string>& graphInputs, const std::string& tip,
                  std::vector<uint8_t>& mask, std::string& reason) {
  std::unordered_map<std::string, size_t> producer;
  for (size_t i = 0; i < nodes.size(); ++i)
    for (const std::string& o : nodes[i].outputs)
      if (!o.empty()) producer.emplace(o, i);
  mask.assign(nodes.size(), 0);
  std::vector<std::string> stack{tip};
  std::unordered_set<std::string> seen;
  while (!stack.empty()) {
    const std::string v = std::move(stack.back());
    stack.pop_back();
    if (!seen.insert(v).second) continue;
    if (v == kHoistSource || initializers.count(v) || v.empty()) continue;
    const auto p = producer.find(v);
    if (p == producer.end()) {
      reason = graphInputs.count(v) ? "cone reads graph input '" + v + "'" : "cone leaf '" + v + "' has no producer";
      return false;
    }
    const GsNodeInfo& n = nodes[p->second];
    // A Constant is a leaf the per-frame graph needs as much as the prep graph.
    if (n.op_type == "Constant" || mask[p->second]) continue;
    mask[p->second] = 1;
    for (const std::string& in : n.inputs) stack.push_back(in);
  }
  std::unordered_set<std::string> inside;
  for (size_t i = 0; i < nodes.size(); ++i)
    if (mask[i]) inside.insert(nodes[i].outputs.begin(), nodes[i].outputs.end());
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (mask[i]) continue;
    for (const std::string& in : nodes[i].inputs) {
      if (in == kHoistSource) {
        reason = "P_rgb is also read outside the cone by " + nodes[i].op_type;
        return false;
      }
      if (in != tip && !in.empty() && inside.count(in)) {
        reason = "cone value '" + in + "' escapes to " + nodes[i].op_type;
        return false;
      }
    }
  }
  return true;
}

bool buildSourceConePrep(const std::vector<uint8_t>& model, const std::string& tip, std::vector<uint8_t>& prep,
                         std::string& reason) {
  GraphTables t;
  std::vector<uint8_t> mask;
  if (!readTables(model, t, reason) || !gsSourceCone(t.nodes, t.initializers, t.inputs, tip, mask, reason))
    return false;
  size_t kept = 0;
  for (size_t i = 0; i < t.nodes.size(); ++i) {
    const bool keep = mask[i] || t.nodes[i].op_type == "Constant";
    mask[i] = !keep;  // now the drop mask
    kept += keep;
  }
  if (kept == 0) {
    reason = "empty cone";
    return false;
  }
  GsGraphEdit edit;
  edit.dropMask = &mask;
  edit.keepOnlyPrgbInput = true;
  edit.dropAllOutputs = true;
  edit.addedValueName = &tip;
  edit.addedValueRank = 4;
  edit.addedValueField = onnxf::kGraphOutput;
  gsRebuild(model, edit, prep);
  return true;
}

bool buildSourceConePerFrame(const std::vector<uint8_t>& model, const std::string& tip, const long* dims,
                             unsigned long rank, std::vector<uint8_t>& perFrame, std::string& reason) {
  GraphTables t;
  std::vector<uint8_t> mask;
  if (!readTables(model, t, reason) || !gsSourceCone(t.nodes, t.initializers, t.inputs, tip, mask, reason))
    return false;
  std::vector<int64_t> d;
  if (dims) d.assign(dims, dims + rank);
  GsGraphEdit edit;
  edit.dropMask = &mask;
  edit.dropPrgbInput = true;
  edit.addedValueName = &tip;
  edit.addedValueDims = dims ? d.data() : nullptr;
  edit.addedValueRank = static_cast<uint32_t>(rank);
  edit.addedValueField = onnxf::kGraphInput;
  gsRebuild(model, edit, perFrame);
  return true;
}

}  // namespace le
