// The protobuf wire layer every load-time rewrite of a director model works
// through: a forward-only field reader over byte slices of the serialised
// ModelProto, readers for the few ONNX fields the rewrites need, emitters for
// the records they add, and one rebuilder that copies a model while dropping
// or adding graph members. Nothing here parses into an object tree; whatever
// the layer does not understand is carried through byte for byte.
//
// Malformed bytes raise std::runtime_error with exactly one of
// "onnx: bad varint", "onnx: truncated" or "onnx: bad wire type"; no reader
// ever looks outside the slice it was given. These names are internal to the
// graph module (the shared library exports none of them); they sit in a header
// so the tests and the fuzz harness can reach them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace le {

// A non-owning view into a buffer that outlives it.
struct GsSlice {
  const uint8_t* p = nullptr;
  size_t n = 0;
  bool empty() const { return n == 0; }
  std::string str() const { return n ? std::string(reinterpret_cast<const char*>(p), n) : std::string(); }
  bool equals(const char* s) const;
};

GsSlice gsSliceOf(const std::vector<uint8_t>& bytes);

struct GsField {
  uint32_t field = 0;   // tag >> 3
  uint32_t wire = 0;    // tag & 7
  uint64_t varint = 0;  // wire type 0 only
  GsSlice payload;      // wire type 2 only
  GsSlice raw;          // the whole field as stored, tag included
};

class GsReader {
 public:
  explicit GsReader(GsSlice s) : s_(s) {}
  // False at the end of the slice; throws on malformed input.
  bool next(GsField& f);

 private:
  GsSlice s_;
  size_t pos_ = 0;
};

// What the rewrites keep about one NodeProto, in graph order.
struct GsNodeInfo {
  GsSlice raw;  // the node's field record inside the graph, tag included
  std::string op_type;
  std::vector<std::string> inputs;  // empty names kept
  std::vector<std::string> outputs;
};

struct GsGraphEdit {
  const std::vector<uint8_t>* dropMask = nullptr;  // by node position; non-zero drops it
  bool dropPrgbInput = false;
  bool keepOnlyPrgbInput = false;
  bool dropAllOutputs = false;
  const std::string* addedValueName = nullptr;
  const int64_t* addedValueDims = nullptr;
  uint32_t addedValueRank = 0;
  uint32_t addedValueField = 0;  // 11 = input, 12 = output, 0 = add nothing
};

// Field numbers the rewrites read and write.
namespace onnxf {
inline constexpr uint32_t kModelGraph = 7, kModelOpsetImport = 8;
inline constexpr uint32_t kOpsetDomain = 1, kOpsetVersion = 2;
inline constexpr uint32_t kGraphNode = 1, kGraphInitializer = 5, kGraphInput = 11, kGraphOutput = 12,
                          kGraphValueInfo = 13;
inline constexpr uint32_t kNodeInput = 1, kNodeOutput = 2, kNodeName = 3, kNodeOpType = 4, kNodeAttribute = 5,
                          kNodeDomain = 7;
inline constexpr uint32_t kAttrName = 1, kAttrF = 2, kAttrI = 3, kAttrS = 4, kAttrInts = 8, kAttrType = 20;
inline constexpr uint32_t kTensorDims = 1, kTensorDataType = 2, kTensorFloatData = 4, kTensorName = 8,
                          kTensorRawData = 9;
inline constexpr uint32_t kValueName = 1, kValueType = 2;
inline constexpr uint32_t kFloat = 1, kInt64 = 7;
}  // namespace onnxf

// One AttributeProto, scalar fields last-wins.
struct GsAttr {
  std::string name, s;
  int64_t i = 0;
  float f = 0.0f;
  bool hasS = false, hasI = false, hasF = false, hasInts = false;
};

// --- reading ---

GsSlice gsGraphOf(GsSlice model);
std::string gsFirstStr(GsSlice msg, uint32_t field);
void gsAllStr(GsSlice msg, uint32_t field, std::vector<std::string>& out);
GsAttr gsReadAttr(GsSlice attribute);
GsSlice hcPayload(GsSlice stored);
GsSlice hcConstValue(GsSlice node);
bool hcTensorFloats(GsSlice tensor, std::vector<float>& out);
void hcTensorDims(GsSlice tensor, std::vector<int64_t>& out);
void ldInputDims(GsSlice graph, const std::string& name, int64_t& first, int64_t& last, int& rank);
void gsReadGraph(GsSlice graph, std::vector<GsNodeInfo>& nodes, std::unordered_set<std::string>& initializers,
                 std::unordered_set<std::string>& graphInputs);

// The graph's initializers by name (the first of a repeated name wins).
std::unordered_map<std::string, GsSlice> gsInitializerPayloads(GsSlice graph);

// --- writing (all append) ---

void gsPutVarint(std::vector<uint8_t>& out, uint64_t value);
void gsPutVarintField(std::vector<uint8_t>& out, uint32_t field, uint64_t value);
void gsPutBytes(std::vector<uint8_t>& out, uint32_t field, const void* bytes, size_t length);
void gsPutStr(std::vector<uint8_t>& out, uint32_t field, const std::string& s);
void gsPutRaw(std::vector<uint8_t>& out, GsSlice s);
void hcAttrI(std::vector<uint8_t>& out, const char* name, int64_t value);
void hcAttrIs(std::vector<uint8_t>& out, const char* name, const int64_t* values, size_t count);
void hcAttrS(std::vector<uint8_t>& out, const char* value);
void hcInit(std::vector<uint8_t>& out, const std::string& name, uint32_t dataType, const std::vector<int64_t>& dims,
            const void* raw, size_t length);
void hcNode(std::vector<uint8_t>& out, const char* opType, const std::vector<std::string>& inputs,
            const std::string& output, const std::string& nodeName, const std::vector<uint8_t>& attributes);
void gsPutTensorValueInfo(std::vector<uint8_t>& out, uint32_t field, const std::string& name, const int64_t* dims,
                          uint32_t rank);
void gsRebuild(const std::vector<uint8_t>& model, const GsGraphEdit& edit, std::vector<uint8_t>& out);

// --- shared by the rewrites ---

// Copies the model's top-level fields in stored order; each graph field's
// fields go through `graphField`, which appends whatever replaces the field
// (or nothing, to drop it) and returns false to have it copied verbatim.
// `node` counts GraphProto.node fields from 0. `tail` may append to each new
// graph payload after its last field.
template <class FieldFn, class TailFn>
void gsCopyModel(GsSlice model, size_t modelReserve, size_t graphExtra, FieldFn&& graphField, TailFn&& tail,
                 std::vector<uint8_t>& out) {
  out.clear();
  out.reserve(modelReserve);
  GsReader top(model);
  GsField f;
  std::vector<uint8_t> graph;
  while (top.next(f)) {
    if (f.field != onnxf::kModelGraph || f.wire != 2) {
      gsPutRaw(out, f.raw);
      continue;
    }
    graph.clear();
    graph.reserve(f.payload.n + graphExtra);
    GsReader g(f.payload);
    GsField gf;
    size_t node = 0;
    while (g.next(gf)) {
      const bool isNode = gf.field == onnxf::kGraphNode && gf.wire == 2;
      if (!graphField(gf, node, graph)) gsPutRaw(graph, gf.raw);
      if (isNode) ++node;
    }
    tail(graph);
    gsPutBytes(out, onnxf::kModelGraph, graph.data(), graph.size());
  }
}

// Every top-level graph node for which match(node payload) holds is re-emitted
// in place by gsRetypeNode; `modelTail` is appended to the model when any
// matched. Returns the count; 0 leaves the model untouched.
size_t gsRetypeMatching(std::vector<uint8_t>& model, bool (*match)(GsSlice), const char* opType, const char* domain,
                        bool dropAttributes, const std::vector<uint8_t>& modelTail);

// Drops the initializers no node reads (and no graph input or output names): the
// rewrites leave the constants of the nodes they replaced behind, and the
// runtime warns once for each. Returns the count; 0 leaves the model untouched.
size_t gsDropUnreadInitializers(std::vector<uint8_t>& model);

// Drops the nodes whose outputs no node reads and no graph output names, until
// none is left (a rewrite that consumes a value can orphan its producers).
// Returns the count; 0 leaves the model untouched.
size_t gsDropUnreadNodes(std::vector<uint8_t>& model);

// The node's fields without op_type, domain and (when asked) its attributes,
// then the new op_type and, when not empty, domain; emitted as one graph node.
void gsRetypeNode(std::vector<uint8_t>& out, GsSlice node, const char* opType, const char* domain,
                  bool dropAttributes);

}  // namespace le
