#include "graph/lip_contour_bind.h"

#include <stdexcept>
#include <unordered_map>

#include "graph/wire.h"

namespace le {

namespace {

constexpr int kMaxPassThrough = 4;

struct Tail {
  std::string alpha;
  std::string reason;
};

std::string firstOutput(GsSlice graph) {
  GsReader r(graph);
  GsField f;
  while (r.next(f))
    if (f.field == onnxf::kGraphOutput && f.wire == 2) return gsFirstStr(f.payload, onnxf::kValueName);
  return "";
}

// Whether `value` is a constant holding exactly the float 1.0.
bool isOne(GsSlice graph, const std::unordered_map<std::string, size_t>& producer,
           const std::vector<GsNodeInfo>& nodes, const std::string& value) {
  std::vector<float> v;
  const auto p = producer.find(value);
  if (p != producer.end()) {
    const GsNodeInfo& n = nodes[p->second];
    return n.op_type == "Constant" && hcTensorFloats(hcConstValue(hcPayload(n.raw)), v) && v.size() == 1 &&
           v[0] == 1.0f;
  }
  GsReader r(graph);
  GsField f;
  while (r.next(f))
    if (f.field == onnxf::kGraphInitializer && f.wire == 2 && gsFirstStr(f.payload, onnxf::kTensorName) == value)
      return hcTensorFloats(f.payload, v) && v.size() == 1 && v[0] == 1.0f;
  return false;
}

// The compose alpha: Add(Mul, Mul) where one Mul reads Sub(1.0, alpha) and
// alpha comes from a Clip, behind at most four Identity/Cast pass-throughs.
Tail findComposeTail(GsSlice graph, const std::vector<GsNodeInfo>& nodes,
                     const std::unordered_map<std::string, size_t>& producer) {
  const Tail none{"", "the graph does not carry the unified compose tail"};
  const auto nodeOf = [&](const std::string& v) -> const GsNodeInfo* {
    const auto p = producer.find(v);
    return p == producer.end() ? nullptr : &nodes[p->second];
  };
  const GsNodeInfo* n = nodeOf(firstOutput(graph));
  for (int i = 0; n && i < kMaxPassThrough && (n->op_type == "Identity" || n->op_type == "Cast") &&
                  n->inputs.size() == 1;
       ++i)
    n = nodeOf(n->inputs[0]);
  if (!n || n->op_type != "Add" || n->inputs.size() != 2) return none;
  const GsNodeInfo* muls[2] = {nodeOf(n->inputs[0]), nodeOf(n->inputs[1])};
  for (const GsNodeInfo* m : muls)
    if (!m || m->op_type != "Mul" || m->inputs.size() != 2) return none;
  for (const GsNodeInfo* m : muls)
    for (const std::string& in : m->inputs) {
      const GsNodeInfo* sub = nodeOf(in);
      if (!sub || sub->op_type != "Sub" || sub->inputs.size() != 2 || !isOne(graph, producer, nodes, sub->inputs[0]))
        continue;
      const std::string& alpha = sub->inputs[1];
      const GsNodeInfo* clip = nodeOf(alpha);
      if (!clip) return {"", "the compose alpha '" + alpha + "' has no producer node"};
      if (clip->op_type == "Clip") return {alpha, ""};
    }
  return none;
}

LipDims lipDims(GsSlice graph, const std::unordered_set<std::string>& inputs) {
  LipDims d;
  int64_t first = 0, last = 0;
  int rank = 0;
  for (const char* source : {"P_rgb", "pooled64"}) {
    ldInputDims(graph, source, first, last, rank);
    if (rank == 4) {
      d.batch = first;
      break;
    }
  }
  // P_rgb is at crop resolution; otherwise any rank-4 image input but the
  // feature inputs, which are not.
  std::vector<std::string> images{"P_rgb"};
  for (const std::string& name : inputs)
    if (name != "P_rgb" && name != "pooled64" && name != "pooled" && name != "fs_red") images.push_back(name);
  for (const std::string& image : images) {
    ldInputDims(graph, image, first, last, rank);
    if (rank == 4 && last > 0) {
      d.canvas = last;
      break;
    }
  }
  return d;
}

// The node's fields with every input named `from` renamed `to`.
void renameInput(GsSlice node, const std::string& from, const std::string& to, std::vector<uint8_t>& out) {
  std::vector<uint8_t> n;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.field == onnxf::kNodeInput && f.wire == 2 && f.payload.str() == from)
      gsPutStr(n, onnxf::kNodeInput, to);
    else
      gsPutRaw(n, f.raw);
  }
  gsPutBytes(out, onnxf::kGraphNode, n.data(), n.size());
}

bool reads(const GsNodeInfo& n, const std::string& v) {
  for (const std::string& in : n.inputs)
    if (in == v) return true;
  return false;
}

// The checks a rebuilt model must pass; empty when it does.
std::string selfCheck(const std::vector<uint8_t>& model, const std::string& alpha) {
  const GsSlice graph = gsGraphOf(gsSliceOf(model));
  std::vector<GsNodeInfo> nodes;
  std::unordered_set<std::string> inits, inputs;
  gsReadGraph(graph, nodes, inits, inputs);
  if (!inputs.count(kLipInputName)) return "self-check: the input did not survive the rebuild";
  size_t consumers = 0;
  bool other = false, minFound = false;
  for (const GsNodeInfo& n : nodes) {
    const bool isMin = gsFirstStr(hcPayload(n.raw), onnxf::kNodeName) == kLipMinName;
    minFound = minFound || isMin;
    if (reads(n, alpha)) ++consumers, other = other || !isMin;
  }
  if (consumers != 1 || other)
    return "self-check: rewire did not take: " + std::to_string(consumers) + " consumers of " + alpha +
           (other ? ", one still reads the alpha" : "") +
           " — refusing a graph that would serve the ellipse with the input attached and ignored";
  if (!minFound) return "self-check: the Min node did not survive the rebuild";
  std::unordered_map<std::string, size_t> producer;
  for (size_t i = 0; i < nodes.size(); ++i)
    for (const std::string& o : nodes[i].outputs)
      if (!o.empty()) producer.try_emplace(o, i);
  for (size_t i = 0; i < nodes.size(); ++i)
    for (const std::string& in : nodes[i].inputs) {
      const auto p = producer.find(in);
      if (p != producer.end() && p->second >= i)
        return "self-check: node " + std::to_string(i) + " reads '" + in + "' produced at " +
               std::to_string(p->second) + " — the rewritten graph is not topologically ordered";
    }
  return "";
}

int bind(std::vector<unsigned char>& model, std::string& reason, int* canvas, int* batch) {
  const GsSlice graph = gsGraphOf(gsSliceOf(model));
  if (graph.empty()) return reason = "no graph", 0;
  std::vector<GsNodeInfo> nodes;
  std::unordered_set<std::string> inits, inputs;
  gsReadGraph(graph, nodes, inits, inputs);
  if (inputs.count(kLipInputName))
    return reason = std::string("the graph already carries an input named ") + kLipInputName, 0;
  std::unordered_map<std::string, size_t> producer;
  for (size_t i = 0; i < nodes.size(); ++i)
    for (const std::string& o : nodes[i].outputs)
      if (!o.empty()) producer.try_emplace(o, i);
  const Tail tail = findComposeTail(graph, nodes, producer);
  if (tail.alpha.empty()) return reason = tail.reason, 0;
  const LipDims dims = lipDims(graph, inputs);
  if (dims.canvas <= 0 || dims.canvas > (1 << 16)) return reason = "cannot read the compose canvas off the graph", 0;

  const std::string& alpha = tail.alpha;
  bool inserted = false;
  const auto field = [&](const GsField& f, size_t node, std::vector<uint8_t>& g) {
    if (f.field != onnxf::kGraphNode || f.wire != 2 || node >= nodes.size() || !reads(nodes[node], alpha)) return false;
    if (!inserted) {
      hcNode(g, "Min", {alpha, kLipInputName}, kLipShrunkName, kLipMinName, {});
      inserted = true;
    }
    renameInput(f.payload, alpha, kLipShrunkName, g);
    return true;
  };
  const int64_t shape[4] = {dims.batch, 1, dims.canvas, dims.canvas};
  const auto addInput = [&](std::vector<uint8_t>& g) {
    gsPutTensorValueInfo(g, onnxf::kGraphInput, kLipInputName, shape, 4);
  };
  std::vector<uint8_t> out;
  gsCopyModel(gsSliceOf(model), model.size() + 512, 512, field, addInput, out);
  const std::string bad = selfCheck(out, alpha);
  if (!bad.empty()) return reason = bad, 0;
  model.swap(out);
  if (canvas) *canvas = static_cast<int>(dims.canvas);
  if (batch) *batch = dims.batch > 0 && dims.batch < (1 << 20) ? static_cast<int>(dims.batch) : 0;
  return 1;
}

}  // namespace

int rewriteBindLipContour(std::vector<unsigned char>& model, std::string& reason, int* canvas, int* batch) {
  if (canvas) *canvas = 0;
  if (batch) *batch = 0;
  reason.clear();
  try {
    return bind(model, reason, canvas, batch);
  } catch (const std::runtime_error& e) {
    reason = std::string("unreadable protobuf (") + e.what() + ")";
    return 0;
  }
}

}  // namespace le
