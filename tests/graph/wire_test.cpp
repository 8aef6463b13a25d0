// The wire layer against hand-encoded bytes and models the onnx package wrote:
// its three refusals, varint and tensor edge cases and rebuilds. Declared dims
// are checked on the source cone's per-frame model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "graph/gridsample_rewrite.h"
#include "graph/numerical_rewrites.h"
#include "graph/wire.h"
#include "support/fixtures.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Every field of `b`, or the error text the reader threw.
std::string walk(const Bytes& b) {
  try {
    le::GsReader r(le::gsSliceOf(b));
    le::GsField f;
    std::string out;
    while (r.next(f))
      out += std::to_string(f.field) + "/" + std::to_string(f.wire) + "=" +
             (f.wire == 2 ? f.payload.str() : std::to_string(f.varint)) + " raw " + std::to_string(f.raw.n) + ";";
    return out;
  } catch (const std::exception& e) {
    return e.what();
  }
}

TEST(GraphWire, ReaderFieldsAndRefusals) {
  const struct {
    Bytes bytes;
    const char* want;
  } cases[] = {
      {{}, ""},
      {{0x08, 0x96, 0x01}, "1/0=150 raw 3;"},
      {{0x12, 0x02, 'h', 'i', 0x1d, 1, 2, 3, 4}, "2/2=hi raw 4;3/5=0 raw 5;"},
      {{0x09, 1, 2, 3, 4, 5, 6, 7, 8}, "1/1=0 raw 9;"},
      {{0x80}, "onnx: bad varint"},  // continuation bit on the slice's last byte
      {{0x08, 0x80}, "onnx: bad varint"},
      {{0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}, "onnx: bad varint"},  // 11 bytes
      {{0x0a, 0x02, 'a'}, "onnx: truncated"},  // one byte past the end
      {{0x0a, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}, "onnx: truncated"},
      {{0x09, 1, 2, 3, 4, 5, 6, 7}, "onnx: truncated"},
      {{0x0d, 1, 2, 3}, "onnx: truncated"},
      {{0x0b}, "onnx: bad wire type"},  // group start
      {{0x0c}, "onnx: bad wire type"},
      {{0x0e}, "onnx: bad wire type"},
      {{0x0f}, "onnx: bad wire type"},
  };
  for (const auto& c : cases) EXPECT_EQ(walk(c.bytes), c.want) << c.bytes.size() << " bytes";
  EXPECT_EQ(le::gsFirstStr({}, 1), "");
  EXPECT_TRUE(le::gsGraphOf({}).empty());
}

TEST(GraphWire, VarintsRoundTripInTheShortestForm) {
  const struct {
    uint64_t value;
    Bytes want;
  } cases[] = {{0, {0}},
               {127, {0x7f}},
               {128, {0x80, 0x01}},
               {300, {0xac, 0x02}},
               {~0ull, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}}};  // int64 -1
  for (const auto& c : cases) {
    Bytes out;
    le::gsPutVarint(out, c.value);
    EXPECT_EQ(out, c.want) << c.value;
    Bytes field;
    le::gsPutVarintField(field, 3, c.value);
    le::GsReader r(le::gsSliceOf(field));
    le::GsField f;
    ASSERT_TRUE(r.next(f));
    EXPECT_EQ(f.varint, c.value);
  }
}

// Little-endian floats, then `tail`.
Bytes floatsBytes(const std::vector<float>& v, const Bytes& tail = {}) {
  Bytes b(v.size() * 4);
  std::memcpy(b.data(), v.data(), b.size());
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}

// A TensorProto: data type, `unpacked` float_data fields, then the length-delimited `fields`.
Bytes tensor(uint64_t dataType, const std::vector<float>& unpacked, const std::vector<std::pair<uint32_t, Bytes>>& fields) {
  Bytes t;
  le::gsPutVarintField(t, 2, dataType);
  for (float v : unpacked) {
    le::gsPutVarint(t, (4 << 3) | 5);
    const Bytes b = floatsBytes({v});
    t.insert(t.end(), b.begin(), b.end());
  }
  for (const auto& [field, b] : fields) le::gsPutBytes(t, field, b.data(), b.size());
  return t;
}

TEST(GraphWire, TensorFloatsAndDims) {
  const struct {
    Bytes tensor;
    bool ok;
    std::vector<float> want;
  } cases[] = {
      {tensor(1, {1.5f, -2.0f}, {}), true, {1.5f, -2.0f}},
      {tensor(1, {}, {{4, floatsBytes({3.0f, 4.0f}, {0x7f})}}), true, {3.0f, 4.0f}},  // a partial group is ignored
      {tensor(1, {1.5f, -2.0f}, {{9, floatsBytes({9.0f})}}), true, {9.0f}},           // raw_data wins
      {tensor(1, {}, {{9, floatsBytes({7.0f}, {1, 2})}}), true, {7.0f}},
      {tensor(10, {}, {{9, floatsBytes({9.0f})}}), false, {}},  // FLOAT16
      {tensor(1, {}, {{9, {'a', 'b', 'c'}}}), false, {}},
      {tensor(1, {}, {}), false, {}},
  };
  for (const auto& c : cases) {
    std::vector<float> got;
    EXPECT_EQ(le::hcTensorFloats(le::gsSliceOf(c.tensor), got), c.ok) << c.tensor.size();
    if (c.ok) {
      EXPECT_EQ(got, c.want);
    }
  }
  Bytes dims;
  le::gsPutVarintField(dims, 1, 4);
  const Bytes run = {0x02, 0xac, 0x02, 0x85};  // 2, 300, then a varint cut short
  le::gsPutBytes(dims, 1, run.data(), run.size());
  std::vector<int64_t> got;
  le::hcTensorDims(le::gsSliceOf(dims), got);
  EXPECT_EQ(got, (std::vector<int64_t>{4, 2, 300, 5}));
}

TEST(GraphWire, RebuildReproducesOnnxModelsAndAppliesEdits) {
  for (const char* name : {"director_probe.onnx", "bundle_director/model_b4.onnx", "gridsample.onnx"}) {
    const Bytes model = lt::modelBytes(name);
    Bytes out;
    le::gsRebuild(model, {}, out);
    EXPECT_TRUE(out == model) << name;  // byte for byte, length prefixes included
  }
  const Bytes model = lt::modelBytes("director_probe.onnx");
  const lt::Graph before = lt::graphOf(model);
  const Bytes drop = {1, 0, 1};
  const std::string added = "tip";
  const int64_t dims[] = {1, 12, 64, 64};
  const le::GsGraphEdit edit{.dropMask = &drop, .keepOnlyPrgbInput = true, .dropAllOutputs = true,
                             .addedValueName = &added, .addedValueDims = dims, .addedValueRank = 4, .addedValueField = 12};
  Bytes out;
  le::gsRebuild(model, edit, out);
  const lt::Graph after = lt::graphOf(out);
  ASSERT_EQ(after.nodes.size(), before.nodes.size() - 2);
  EXPECT_EQ(after.nodes[0].raw.str(), before.nodes[1].raw.str());
  EXPECT_EQ(after.inputs, (std::unordered_set<std::string>{"P_rgb"}));
  EXPECT_EQ(after.inits, before.inits);
  EXPECT_EQ(lt::declared(out, 12), std::vector<std::string>{"tip"});
}

// Constants left behind by a removed node go; a model whose every initializer
// is read stays byte for byte.
TEST(GraphWire, UnreadInitializersAreDropped) {
  Bytes model = lt::modelBytes("director_probe.onnx");
  const Bytes whole = model;
  EXPECT_EQ(le::gsDropUnreadInitializers(model), 0u);
  EXPECT_TRUE(model == whole);

  const auto [nodes, inits, inputs] = lt::graphOf(model);
  Bytes drop(nodes.size(), 0);
  size_t victim = 0;  // the first node that reads an initializer nothing else reads
  std::unordered_multiset<std::string> readers;
  for (const auto& n : nodes) readers.insert(n.inputs.begin(), n.inputs.end());
  for (; victim < nodes.size(); ++victim)
    if (std::any_of(nodes[victim].inputs.begin(), nodes[victim].inputs.end(),
                    [&](const std::string& in) { return inits.count(in) && readers.count(in) == 1; }))
      break;
  ASSERT_LT(victim, nodes.size());
  drop[victim] = 1;
  Bytes cut;
  le::gsRebuild(model, {.dropMask = &drop}, cut);
  EXPECT_GT(le::gsDropUnreadInitializers(cut), 0u);

  const lt::Graph kept = lt::graphOf(cut);
  std::unordered_set<std::string> expected;
  for (const auto& n : kept.nodes)
    for (const std::string& in : n.inputs)
      if (inits.count(in)) expected.insert(in);
  EXPECT_EQ(kept.inits, expected);
}

// Every prefix of a real model: readers and rewrites either succeed or throw
// one of the three texts, and a rewrite that throws leaves its input unchanged.
TEST(GraphWire, TruncatedModelsRefuseCleanly) {
  const Bytes model = lt::modelBytes("gs_rules.onnx");
  const std::string texts = "onnx: bad varint|onnx: truncated|onnx: bad wire type";
  using Rewrite = size_t (*)(Bytes&);
  const Rewrite rewrites[] = {le::rewriteGridSampleToFast, le::normaliseStudentBlend, le::rewriteHeadCubicResize};
  for (size_t cut = 0; cut < model.size(); cut += 7) {
    const Bytes prefix(model.begin(), model.begin() + cut);
    for (Rewrite rw : rewrites) {
      Bytes m = prefix;
      try {
        rw(m);
      } catch (const std::runtime_error& e) {
        EXPECT_NE(texts.find(e.what()), std::string::npos) << e.what();
        EXPECT_TRUE(m == prefix) << "cut " << cut;
      }
    }
    try {
      Bytes out;
      le::gsRebuild(prefix, {}, out);
      lt::graphOf(prefix);
    } catch (const std::runtime_error& e) {
      EXPECT_NE(texts.find(e.what()), std::string::npos) << e.what();
    }
  }
}

}  // namespace
