#include "graph/wire.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <unordered_map>

namespace le {

namespace {

[[noreturn]] void badVarint() { throw std::runtime_error("onnx: bad varint"); }
[[noreturn]] void truncated() { throw std::runtime_error("onnx: truncated"); }

// One varint of s from pos; at most ten bytes, all inside the slice.
uint64_t readVarint(GsSlice s, size_t& pos) {
  uint64_t v = 0;
  for (int i = 0; i < 10; ++i) {
    if (pos >= s.n) badVarint();
    const uint8_t b = s.p[pos++];
    v |= static_cast<uint64_t>(b & 0x7f) << (7 * i);
    if (!(b & 0x80)) return v;
  }
  badVarint();
}

GsSlice sub(GsSlice s, size_t at, size_t n) { return n ? GsSlice{s.p + at, n} : GsSlice{}; }

// Walks msg and calls fn(field) for each field; stops early when fn returns false.
template <class Fn>
void eachField(GsSlice msg, Fn&& fn) {
  GsReader r(msg);
  GsField f;
  while (r.next(f))
    if (!fn(f)) return;
}

bool isLen(const GsField& f, uint32_t field) { return f.field == field && f.wire == 2; }

std::string valueInfoName(GsSlice valueInfo) { return gsFirstStr(valueInfo, onnxf::kValueName); }

}  // namespace

bool GsSlice::equals(const char* s) const {
  const size_t len = std::strlen(s);
  return len == n && (n == 0 || std::memcmp(p, s, n) == 0);
}

GsSlice gsSliceOf(const std::vector<uint8_t>& bytes) { return sub({bytes.data(), bytes.size()}, 0, bytes.size()); }

bool GsReader::next(GsField& f) {
  if (pos_ >= s_.n) return false;
  const size_t start = pos_;
  const uint64_t tag = readVarint(s_, pos_);
  f.field = static_cast<uint32_t>(tag >> 3);
  f.wire = static_cast<uint32_t>(tag & 7);
  f.varint = 0;
  f.payload = {};
  switch (f.wire) {
    case 0: f.varint = readVarint(s_, pos_); break;
    case 2: {
      const uint64_t len = readVarint(s_, pos_);
      if (len > s_.n - pos_) truncated();
      f.payload = sub(s_, pos_, static_cast<size_t>(len));
      pos_ += static_cast<size_t>(len);
      break;
    }
    case 1:
    case 5: {
      const size_t skip = f.wire == 1 ? 8 : 4;
      if (skip > s_.n - pos_) truncated();
      pos_ += skip;
      break;
    }
    default: throw std::runtime_error("onnx: bad wire type");
  }
  f.raw = sub(s_, start, pos_ - start);
  return true;
}

GsSlice gsGraphOf(GsSlice model) {
  GsSlice graph;
  eachField(model, [&](const GsField& f) {
    if (!isLen(f, onnxf::kModelGraph)) return true;
    graph = f.payload;
    return false;
  });
  return graph;
}

std::string gsFirstStr(GsSlice msg, uint32_t field) {
  std::string s;
  eachField(msg, [&](const GsField& f) {
    if (!isLen(f, field)) return true;
    s = f.payload.str();
    return false;
  });
  return s;
}

void gsAllStr(GsSlice msg, uint32_t field, std::vector<std::string>& out) {
  eachField(msg, [&](const GsField& f) {
    if (isLen(f, field)) out.push_back(f.payload.str());
    return true;
  });
}

GsAttr gsReadAttr(GsSlice attribute) {
  GsAttr a;
  eachField(attribute, [&](const GsField& f) {
    if (isLen(f, onnxf::kAttrName)) a.name = f.payload.str();
    if (isLen(f, onnxf::kAttrS)) a.s = f.payload.str(), a.hasS = true;
    if (f.field == onnxf::kAttrI && f.wire == 0) a.i = static_cast<int64_t>(f.varint), a.hasI = true;
    if (f.field == onnxf::kAttrF && f.wire == 5) std::memcpy(&a.f, f.raw.p + f.raw.n - 4, 4), a.hasF = true;
    if (f.field == onnxf::kAttrInts) a.hasInts = true;
    return true;
  });
  return a;
}

GsSlice hcPayload(GsSlice stored) {
  GsReader r(stored);
  GsField f;
  return r.next(f) && f.wire == 2 ? f.payload : GsSlice{};
}

GsSlice hcConstValue(GsSlice node) {
  GsSlice value;
  eachField(node, [&](const GsField& f) {
    if (!isLen(f, onnxf::kNodeAttribute) || gsFirstStr(f.payload, onnxf::kAttrName) != "value") return true;
    eachField(f.payload, [&](const GsField& a) {
      if (!isLen(a, 5)) return true;  // AttributeProto.t
      value = a.payload;
      return false;
    });
    return value.empty();
  });
  return value;
}

bool hcTensorFloats(GsSlice tensor, std::vector<float>& out) {
  out.clear();
  uint64_t dataType = 0;
  bool haveRaw = false;
  GsSlice raw;
  const auto appendGroups = [&](GsSlice s) {
    for (size_t i = 0; i + 4 <= s.n; i += 4) {
      float v;
      std::memcpy(&v, s.p + i, 4);
      out.push_back(v);
    }
  };
  eachField(tensor, [&](const GsField& f) {
    if (f.field == onnxf::kTensorDataType && f.wire == 0) dataType = f.varint;
    if (isLen(f, onnxf::kTensorRawData)) haveRaw = true, raw = f.payload;
    if (f.field == onnxf::kTensorFloatData && f.wire == 5) appendGroups(sub(f.raw, f.raw.n - 4, 4));
    if (isLen(f, onnxf::kTensorFloatData)) appendGroups(f.payload);
    return true;
  });
  if (dataType != onnxf::kFloat) return false;
  if (haveRaw) {
    out.clear();
    if (raw.n < 4) return false;
    appendGroups(raw);
  }
  return !out.empty();
}

void hcTensorDims(GsSlice tensor, std::vector<int64_t>& out) {
  out.clear();
  eachField(tensor, [&](const GsField& f) {
    if (f.field != onnxf::kTensorDims) return true;
    if (f.wire == 0) out.push_back(static_cast<int64_t>(f.varint));
    if (f.wire != 2) return true;
    // A packed run that ends inside a varint still yields the bits read so far.
    uint64_t v = 0;
    int shift = 0;
    for (size_t i = 0; i < f.payload.n; ++i) {
      const uint8_t b = f.payload.p[i];
      if (shift < 64) v |= static_cast<uint64_t>(b & 0x7f) << shift;
      shift += 7;
      if (!(b & 0x80) || i + 1 == f.payload.n) {
        out.push_back(static_cast<int64_t>(v));
        v = 0, shift = 0;
      }
    }
    return true;
  });
}

void ldInputDims(GsSlice graph, const std::string& name, int64_t& first, int64_t& last, int& rank) {
  first = last = 0;
  rank = 0;
  GsSlice input;
  bool found = false;
  eachField(graph, [&](const GsField& f) {
    if (!isLen(f, onnxf::kGraphInput) || valueInfoName(f.payload) != name) return true;
    input = f.payload, found = true;
    return false;
  });
  if (!found) return;
  // ValueInfoProto.type -> TypeProto.tensor_type -> Tensor.shape -> dims
  const auto child = [](GsSlice msg, uint32_t field) {
    GsSlice c;
    eachField(msg, [&](const GsField& f) {
      if (!isLen(f, field)) return true;
      c = f.payload;
      return false;
    });
    return c;
  };
  const GsSlice shape = child(child(child(input, onnxf::kValueType), 1), 2);
  eachField(shape, [&](const GsField& f) {
    if (!isLen(f, 1)) return true;
    int64_t value = 0;
    eachField(f.payload, [&](const GsField& d) {
      if (d.field == 1 && d.wire == 0) value = static_cast<int64_t>(d.varint);
      return true;
    });
    if (rank == 0) first = value;
    last = value;
    ++rank;
    return true;
  });
}

void gsReadGraph(GsSlice graph, std::vector<GsNodeInfo>& nodes, std::unordered_set<std::string>& initializers,
                 std::unordered_set<std::string>& graphInputs) {
  eachField(graph, [&](const GsField& f) {
    if (isLen(f, onnxf::kGraphNode)) {
      GsNodeInfo n;
      n.raw = f.raw;
      n.op_type = gsFirstStr(f.payload, onnxf::kNodeOpType);
      gsAllStr(f.payload, onnxf::kNodeInput, n.inputs);
      gsAllStr(f.payload, onnxf::kNodeOutput, n.outputs);
      nodes.push_back(std::move(n));
    } else if (isLen(f, onnxf::kGraphInitializer)) {
      initializers.insert(gsFirstStr(f.payload, onnxf::kTensorName));
    } else if (isLen(f, onnxf::kGraphInput)) {
      graphInputs.insert(valueInfoName(f.payload));
    }
    return true;
  });
}

std::unordered_map<std::string, GsSlice> gsInitializerPayloads(GsSlice graph) {
  std::unordered_map<std::string, GsSlice> inits;
  GsReader r(graph);
  GsField f;
  while (r.next(f))
    if (f.field == onnxf::kGraphInitializer && f.wire == 2)
      inits.try_emplace(gsFirstStr(f.payload, onnxf::kTensorName), f.payload);
  return inits;
}

void gsPutVarint(std::vector<uint8_t>& out, uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<uint8_t>(value));
}

void gsPutVarintField(std::vector<uint8_t>& out, uint32_t field, uint64_t value) {
  gsPutVarint(out, static_cast<uint64_t>(field) << 3);
  gsPutVarint(out, value);
}

void gsPutBytes(std::vector<uint8_t>& out, uint32_t field, const void* bytes, size_t length) {
  gsPutVarint(out, (static_cast<uint64_t>(field) << 3) | 2);
  gsPutVarint(out, length);
  const uint8_t* b = static_cast<const uint8_t*>(bytes);
  if (length) out.insert(out.end(), b, b + length);
}

void gsPutStr(std::vector<uint8_t>& out, uint32_t field, const std::string& s) {
  gsPutBytes(out, field, s.data(), s.size());
}

void gsPutRaw(std::vector<uint8_t>& out, GsSlice s) {
  if (s.n) out.insert(out.end(), s.p, s.p + s.n);
}

void hcAttrI(std::vector<uint8_t>& out, const char* name, int64_t value) {
  std::vector<uint8_t> a;
  gsPutStr(a, onnxf::kAttrName, name);
  gsPutVarintField(a, onnxf::kAttrI, static_cast<uint64_t>(value));
  gsPutVarintField(a, onnxf::kAttrType, 2);
  gsPutBytes(out, onnxf::kNodeAttribute, a.data(), a.size());
}

void hcAttrIs(std::vector<uint8_t>& out, const char* name, const int64_t* values, size_t count) {
  std::vector<uint8_t> a;
  gsPutStr(a, onnxf::kAttrName, name);
  for (size_t i = 0; i < count; ++i) gsPutVarintField(a, onnxf::kAttrInts, static_cast<uint64_t>(values[i]));
  gsPutVarintField(a, onnxf::kAttrType, 7);
  gsPutBytes(out, onnxf::kNodeAttribute, a.data(), a.size());
}

void hcAttrS(std::vector<uint8_t>& out, const char* value) {
  std::vector<uint8_t> a;
  gsPutStr(a, onnxf::kAttrName, "mode");
  gsPutStr(a, onnxf::kAttrS, value);
  gsPutVarintField(a, onnxf::kAttrType, 3);
  gsPutBytes(out, onnxf::kNodeAttribute, a.data(), a.size());
}

void hcInit(std::vector<uint8_t>& out, const std::string& name, uint32_t dataType, const std::vector<int64_t>& dims,
            const void* raw, size_t length) {
  std::vector<uint8_t> t;
  for (int64_t d : dims) gsPutVarintField(t, onnxf::kTensorDims, static_cast<uint64_t>(d));
  gsPutVarintField(t, onnxf::kTensorDataType, dataType);
  gsPutStr(t, onnxf::kTensorName, name);
  gsPutBytes(t, onnxf::kTensorRawData, raw, length);
  gsPutBytes(out, onnxf::kGraphInitializer, t.data(), t.size());
}

void hcNode(std::vector<uint8_t>& out, const char* opType, const std::vector<std::string>& inputs,
            const std::string& output, const std::string& nodeName, const std::vector<uint8_t>& attributes) {
  std::vector<uint8_t> n;
  for (const std::string& in : inputs) gsPutStr(n, onnxf::kNodeInput, in);
  gsPutStr(n, onnxf::kNodeOutput, output);
  gsPutStr(n, onnxf::kNodeName, nodeName);
  gsPutStr(n, onnxf::kNodeOpType, opType);
  n.insert(n.end(), attributes.begin(), attributes.end());
  gsPutBytes(out, onnxf::kGraphNode, n.data(), n.size());
}

void gsPutTensorValueInfo(std::vector<uint8_t>& out, uint32_t field, const std::string& name, const int64_t* dims,
                          uint32_t rank) {
  std::vector<uint8_t> shape, dim, tensor, type, value;
  for (uint32_t i = 0; i < rank; ++i) {
    dim.clear();
    if (dims && dims[i] > 0) {
      gsPutVarintField(dim, 1, static_cast<uint64_t>(dims[i]));
    } else {
      char param[24];
      std::snprintf(param, sizeof param, "le_hoist_d%u", i);
      gsPutStr(dim, 2, param);
    }
    gsPutBytes(shape, 1, dim.data(), dim.size());
  }
  gsPutVarintField(tensor, 1, onnxf::kFloat);
  gsPutBytes(tensor, 2, shape.data(), shape.size());
  gsPutBytes(type, 1, tensor.data(), tensor.size());
  gsPutStr(value, onnxf::kValueName, name);
  gsPutBytes(value, onnxf::kValueType, type.data(), type.size());
  gsPutBytes(out, field, value.data(), value.size());
}

void gsRebuild(const std::vector<uint8_t>& model, const GsGraphEdit& edit, std::vector<uint8_t>& out) {
  const auto field = [&](const GsField& f, size_t node, std::vector<uint8_t>&) {
    if (f.wire != 2) return false;
    switch (f.field) {
      case onnxf::kGraphNode:
        return edit.dropMask && node < edit.dropMask->size() && (*edit.dropMask)[node] != 0;
      case onnxf::kGraphInput: {
        const bool prgb = valueInfoName(f.payload) == "P_rgb";
        return (edit.keepOnlyPrgbInput && !prgb) || (edit.dropPrgbInput && prgb);
      }
      case onnxf::kGraphOutput: return edit.dropAllOutputs;
      case onnxf::kGraphValueInfo:
        return edit.addedValueName && valueInfoName(f.payload) == *edit.addedValueName;
      default: return false;
    }
  };
  const auto tail = [&](std::vector<uint8_t>& graph) {
    if (edit.addedValueName && edit.addedValueField != 0)
      gsPutTensorValueInfo(graph, edit.addedValueField, *edit.addedValueName, edit.addedValueDims,
                           edit.addedValueRank);
  };
  gsCopyModel(gsSliceOf(model), model.size() + 256, 256, field, tail, out);
}

size_t gsRetypeMatching(std::vector<uint8_t>& model, bool (*match)(GsSlice), const char* opType, const char* domain,
                        bool dropAttributes, const std::vector<uint8_t>& modelTail) {
  const GsSlice m = gsSliceOf(model);
  size_t count = 0;
  eachField(m, [&](const GsField& f) {
    if (isLen(f, onnxf::kModelGraph))
      eachField(f.payload, [&](const GsField& n) {
        count += isLen(n, onnxf::kGraphNode) && match(n.payload);
        return true;
      });
    return true;
  });
  if (count == 0) return 0;
  std::vector<uint8_t> out;
  const auto field = [&](const GsField& gf, size_t, std::vector<uint8_t>& graph) {
    if (!isLen(gf, onnxf::kGraphNode) || !match(gf.payload)) return false;
    gsRetypeNode(graph, gf.payload, opType, domain, dropAttributes);
    return true;
  };
  gsCopyModel(m, model.size() + 64 + modelTail.size(), 64 * count, field, [](std::vector<uint8_t>&) {}, out);
  out.insert(out.end(), modelTail.begin(), modelTail.end());
  model.swap(out);  // only now: a throw above leaves the model as it was
  return count;
}

size_t gsDropUnreadNodes(std::vector<uint8_t>& model) {
  const GsSlice graph = gsGraphOf(gsSliceOf(model));
  std::vector<GsNodeInfo> nodes;
  std::unordered_set<std::string> initializers, inputs;
  gsReadGraph(graph, nodes, initializers, inputs);
  std::unordered_map<std::string, size_t> readers;
  for (const GsNodeInfo& n : nodes) {
    if (n.op_type == "If" || n.op_type == "Loop" || n.op_type == "Scan") return 0;  // subgraphs read by name alone
    for (const std::string& in : n.inputs) ++readers[in];
  }
  eachField(graph, [&](const GsField& f) {
    if (isLen(f, onnxf::kGraphOutput)) ++readers[valueInfoName(f.payload)];
    return true;
  });
  std::vector<uint8_t> drop(nodes.size(), 0);
  size_t count = 0;
  for (bool grown = true; grown;) {
    grown = false;
    for (size_t i = nodes.size(); i-- > 0;) {
      if (drop[i]) continue;
      bool read = false;
      for (const std::string& out : nodes[i].outputs) read = read || (!out.empty() && readers[out] > 0);
      if (read) continue;
      drop[i] = 1, ++count, grown = true;
      for (const std::string& in : nodes[i].inputs) --readers[in];
    }
  }
  if (count == 0) return 0;
  GsGraphEdit edit;
  edit.dropMask = &drop;
  std::vector<uint8_t> out;
  gsRebuild(model, edit, out);
  model.swap(out);
  return count;
}

size_t gsDropUnreadInitializers(std::vector<uint8_t>& model) {
  const GsSlice m = gsSliceOf(model);
  std::vector<GsNodeInfo> nodes;
  std::unordered_set<std::string> initializers, inputs;
  gsReadGraph(gsGraphOf(m), nodes, initializers, inputs);
  std::unordered_set<std::string> read;
  for (const GsNodeInfo& n : nodes) {
    // A subgraph can read an outer initializer by name alone: leave such graphs be.
    if (n.op_type == "If" || n.op_type == "Loop" || n.op_type == "Scan") return 0;
    read.insert(n.inputs.begin(), n.inputs.end());
  }
  eachField(gsGraphOf(m), [&](const GsField& f) {
    if (isLen(f, onnxf::kGraphOutput)) read.insert(valueInfoName(f.payload));
    return true;
  });
  const auto unread = [&](GsSlice tensor) {
    const std::string name = gsFirstStr(tensor, onnxf::kTensorName);
    return !read.count(name) && !inputs.count(name);
  };
  size_t count = 0;
  eachField(gsGraphOf(m), [&](const GsField& f) {
    count += isLen(f, onnxf::kGraphInitializer) && unread(f.payload);
    return true;
  });
  if (count == 0) return 0;
  std::vector<uint8_t> out;
  const auto field = [&](const GsField& gf, size_t, std::vector<uint8_t>&) {
    return isLen(gf, onnxf::kGraphInitializer) && unread(gf.payload);
  };
  gsCopyModel(m, model.size(), 0, field, [](std::vector<uint8_t>&) {}, out);
  model.swap(out);
  return count;
}

void gsRetypeNode(std::vector<uint8_t>& out, GsSlice node, const char* opType, const char* domain,
                  bool dropAttributes) {
  std::vector<uint8_t> n;
  n.reserve(node.n + 64);
  eachField(node, [&](const GsField& f) {
    const bool drop = f.field == onnxf::kNodeOpType || f.field == onnxf::kNodeDomain ||
                      (dropAttributes && f.field == onnxf::kNodeAttribute);
    if (!drop) gsPutRaw(n, f.raw);
    return true;
  });
  gsPutStr(n, onnxf::kNodeOpType, opType);
  if (*domain) gsPutStr(n, onnxf::kNodeDomain, domain);
  gsPutBytes(out, onnxf::kGraphNode, n.data(), n.size());
}

}  // namespace le
