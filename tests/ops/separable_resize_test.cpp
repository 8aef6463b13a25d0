// SeparableResize against ONNX Runtime's own Resize running the original
// nodes: every case of the forged rule table, on square, odd, single-pixel
// and batched inputs, on every SIMD target; the cases the rewrite must leave
// alone stay standard.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "graph/resize_rewrite.h"
#include "graph/wire.h"
#include "ops/ops_support.h"

namespace {

// The forged rule table's outputs, in order, and whether the rewrite takes each.
const std::vector<std::pair<const char*, bool>> kRules = {
    {"linear_x2", true},      {"linear_x16", true},       {"linear_3x5", true},  {"linear_down", true},
    {"cubic_x2", true},       {"cubic_a05", true},        {"cubic_frac", true},  {"nearest", false},
    {"asymmetric", false},    {"no_transform", false},    {"exclude_outside", false}, {"antialias", false},
    {"channels", false},      {"with_roi", false},           {"axes", false}};

TEST(SeparableResize, MatchesOnnxRuntimeResize) {
  const std::vector<uint8_t> standard = lt::modelBytes("resize_rules.onnx");
  std::vector<uint8_t> ours = standard;
  size_t taken = 0;
  for (const auto& rule : kRules) taken += rule.second;
  ASSERT_EQ(le::rewriteResizeToSeparable(ours), taken);
  std::vector<le::GsNodeInfo> nodes;
  std::unordered_set<std::string> inits, inputs;
  le::gsReadGraph(le::gsGraphOf(le::gsSliceOf(ours)), nodes, inits, inputs);
  ASSERT_EQ(nodes.size(), kRules.size());
  for (size_t i = 0; i < nodes.size(); ++i)
    EXPECT_EQ(nodes[i].op_type, kRules[i].second ? "SeparableResize" : "Resize") << kRules[i].first;

  const lt::Onnx want(standard), got(ours, 2);
  lt::forEachTarget([&] {  // doubling rows of 32 take the two-phase path
    for (const auto& [N, C, H, W] : {std::array{1, 2, 32, 32}, {2, 3, 5, 7}, {1, 1, 1, 1}, {1, 4, 40, 3}}) {
      lt::Tensor x{{N, C, H, W}, lt::uniform(size_t(N) * C * H * W, -1.0f, 1.0f, H * W)};
      for (const auto& [name, rewritten] : kRules) {
        const lt::Tensor a = want.run({{"X", &x}}, name), b = got.run({{"X", &x}}, name);
        ASSERT_EQ(b.shape, a.shape) << name;
        // At most four taps a side whose magnitudes sum to about 1.3, on values
        // within 1: a few ulps of each product and sum, both ways.
        for (size_t i = 0; i < a.data.size(); ++i)
          ASSERT_NEAR(b.data[i], a.data[i], rewritten ? 1e-5 : 0.0)
              << name << " " << N << "x" << C << "x" << H << "x" << W << " @" << i;
      }
    }
  });
}

}  // namespace
