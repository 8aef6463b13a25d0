#include "graph/compose_v2_splice.h"

#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include "graph/lip_contour_bind.h"
#include "graph/sha256.h"

namespace le {

namespace {

constexpr uint32_t kModelMetadata = 14;  // ModelProto.metadata_props
constexpr uint32_t kEntryKey = 1, kEntryValue = 2;

struct Refusal {
  std::string text;
};
[[noreturn]] void refuse(const std::string& text) { throw Refusal{text}; }

// The structure's source binding from its metadata_props; empty when absent.
std::string structureSource(GsSlice structure) {
  GsReader r(structure);
  GsField f;
  std::string value;
  while (r.next(f))
    if (f.field == kModelMetadata && f.wire == 2 && gsFirstStr(f.payload, kEntryKey) == kComposeV2SourceKey)
      value = gsFirstStr(f.payload, kEntryValue);
  return value;
}

size_t graphFields(GsSlice model) {
  size_t n = 0;
  GsReader r(model);
  GsField f;
  while (r.next(f)) n += f.field == onnxf::kModelGraph && f.wire == 2;
  return n;
}

std::string valueName(GsSlice valueInfo) { return gsFirstStr(valueInfo, onnxf::kValueName); }

int splice(std::vector<unsigned char>& model, const std::vector<unsigned char>& structure, int* canvas, int* batch, const std::string& expected, const std::string& templateSource) {
  if (!expected.empty()) {
    const std::string actual = sha256Hex(structure.data(), structure.size());
    if (actual != expected)
      refuse("compose v2 structure bytes hash to " + actual + ", not the " + expected +
             " the template names — refusing a structure whose own bytes moved");
  }
  const GsSlice sModel = gsSliceOf(structure);
  const size_t graphs = graphFields(sModel);
  if (graphs != 1)
    refuse("compose v2 splice: the structure carries " + std::to_string(graphs) + " graph fields (one expected)");
  const std::string source = structureSource(sModel);
  if (source.empty())
    refuse(std::string("compose v2 splice: the structure names no source member (no ") + kComposeV2SourceKey +
           " in its metadata_props)");
  if (!templateSource.empty() && templateSource != source)
    refuse("compose v2 splice: the template says the structure is for member " + templateSource +
           " and the structure itself says " + source + " — refusing a structure whose two bindings disagree");
  const std::string actual = sha256Hex(model.data(), model.size());
  if (actual != source)
    refuse("compose v2 structure was built for member " + source + ", not " + actual +
           " — refusing to splice a stale structure");

  const GsSlice mGraph = gsGraphOf(gsSliceOf(model));
  if (mGraph.empty()) refuse("compose v2 splice: the member carries no graph");
  std::unordered_map<std::string, GsSlice> memberNodes;  // by NodeProto.name, first wins
  std::unordered_set<std::string> available, mInputs;
  {
    GsReader r(mGraph);
    GsField f;
    while (r.next(f)) {
      if (f.wire != 2) continue;
      if (f.field == onnxf::kGraphNode) memberNodes.try_emplace(gsFirstStr(f.payload, onnxf::kNodeName), f.raw);
      if (f.field == onnxf::kGraphInitializer) available.insert(gsFirstStr(f.payload, onnxf::kTensorName));
      if (f.field == onnxf::kGraphInput) mInputs.insert(valueName(f.payload)), available.insert(valueName(f.payload));
    }
  }
  const GsSlice sGraph = gsGraphOf(sModel);
  std::vector<uint8_t> nodes, extra;  // the spliced node list; the structure's own inputs and initializers
  std::vector<std::string> read;
  size_t expectedNodes = 0;
  {
    GsReader r(sGraph);
    GsField f;
    while (r.next(f)) {
      if (f.wire != 2) continue;
      if (f.field == onnxf::kGraphInitializer) {
        available.insert(gsFirstStr(f.payload, onnxf::kTensorName));
        gsPutRaw(extra, f.raw);
      } else if (f.field == onnxf::kGraphInput && !mInputs.count(valueName(f.payload))) {
        available.insert(valueName(f.payload));
        gsPutRaw(extra, f.raw);
      } else if (f.field == onnxf::kGraphNode) {
        ++expectedNodes;
        const Cv2Node n = cv2ReadNode(f);
        if (n.opType == kComposeV2Placeholder && n.domain == kComposeV2Domain) {
          if (n.k.empty()) refuse("compose v2 splice: a MemberNode placeholder carries no `k`");
          const auto m = memberNodes.find(n.k);
          if (m == memberNodes.end())
            refuse("compose v2 splice: placeholder " + n.name + " does not name member node " + n.k);
          gsPutRaw(nodes, m->second);
        } else {
          gsPutRaw(nodes, f.raw);
        }
      }
    }
  }
  // Every value the spliced nodes read must come from somewhere.
  std::vector<std::string> missing;
  size_t count = 0, placeholders = 0;
  {
    GsReader r(gsSliceOf(nodes));
    GsField f;
    while (r.next(f)) {
      ++count;
      const Cv2Node n = cv2ReadNode(f);
      placeholders += n.opType == kComposeV2Placeholder && n.domain == kComposeV2Domain;
      for (const std::string& in : n.inputs)
        if (!in.empty() && !available.count(in)) {
          bool known = false;
          for (const std::string& m : missing) known = known || m == in;
          if (!known) missing.push_back(in);
        }
      for (const std::string& o : n.outputs) available.insert(o);
    }
  }
  if (!missing.empty()) {
    std::string list = "'" + missing[0];
    for (size_t i = 1; i < missing.size(); ++i) list += "', '" + missing[i];
    refuse("compose v2 splice: " + list + "' are read but neither member nor structure carries them");
  }

  std::vector<uint8_t> out;
  bool placed = false;
  const auto field = [&](const GsField& f, size_t, std::vector<uint8_t>& g) {
    if (f.field != onnxf::kGraphNode || f.wire != 2) return false;
    if (!placed) g.insert(g.end(), nodes.begin(), nodes.end()), placed = true;
    return true;
  };
  const auto tail = [&](std::vector<uint8_t>& g) {
    if (!placed) g.insert(g.end(), nodes.begin(), nodes.end()), placed = true;
    g.insert(g.end(), extra.begin(), extra.end());
  };
  gsCopyModel(gsSliceOf(model), model.size() + nodes.size() + extra.size() + 256, nodes.size() + extra.size(), field,
              tail, out);

  int64_t first = 0, last = 0;
  int rank = 0;
  ldInputDims(gsGraphOf(gsSliceOf(out)), kLipInputName, first, last, rank);
  if (count != expectedNodes || placeholders != 0)
    refuse("compose v2 splice self-check: " + std::to_string(count) + " nodes (" + std::to_string(expectedNodes) +
           " expected), " + std::to_string(placeholders) + " placeholder(s) left");
  if (rank != 4)
    refuse(std::string("compose v2 splice self-check: the spliced graph declares no rank-4 ") + kLipInputName +
           " input — not a compose v2 graph");
  model.swap(out);
  if (canvas) *canvas = last > 0 && last < (1 << 16) ? static_cast<int>(last) : 0;
  if (batch) *batch = first > 0 && first < (1 << 20) ? static_cast<int>(first) : 0;
  return 1;
}

}  // namespace

Cv2Node cv2ReadNode(const GsField& node) {
  Cv2Node n;
  GsReader r(node.payload);
  GsField f;
  while (r.next(f)) {
    if (f.wire != 2) continue;
    switch (f.field) {
      case onnxf::kNodeInput: n.inputs.push_back(f.payload.str()); break;
      case onnxf::kNodeOutput: n.outputs.push_back(f.payload.str()); break;
      case onnxf::kNodeName: n.name = f.payload.str(); break;
      case onnxf::kNodeOpType: n.opType = f.payload.str(); break;
      case onnxf::kNodeDomain: n.domain = f.payload.str(); break;
      case onnxf::kNodeAttribute: {
        const GsAttr a = gsReadAttr(f.payload);
        if (a.name == "k" && a.hasS) n.k = a.s;
        break;
      }
      default: break;
    }
  }
  return n;
}

int spliceComposeV2(std::vector<unsigned char>& model, const std::vector<unsigned char>& structure,
                    std::string& reason, const std::string& /*member*/, int* canvas, int* batch,
                    const std::string& expectedStructureSha256, const std::string& templateSource) {
  if (canvas) *canvas = 0;
  if (batch) *batch = 0;
  reason.clear();
  try {
    return splice(model, structure, canvas, batch, expectedStructureSha256, templateSource);
  } catch (const Refusal& r) {
    reason = r.text;
  } catch (const std::runtime_error& e) {
    reason = std::string("compose v2 splice: unreadable protobuf (") + e.what() + ")";
  }
  return 0;
}

}  // namespace le
