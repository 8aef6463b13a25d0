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

  // ONNX Runtime's answers once; then the untouched cases once and the
  // rewritten ones on every target.
  const lt::Onnx want(standard), got(ours, 2);
  struct Case {
    std::string what;
    const char* rule;
    bool rewritten;
    lt::Tensor x, a;
  };
  std::vector<Case> cases;
  for (const auto& [N, C, H, W] : {std::array{1, 2, 32, 32}, {2, 3, 5, 7}, {1, 1, 1, 1}, {1, 4, 40, 3}}) {
    lt::Tensor x{{N, C, H, W}, lt::uniform(size_t(N) * C * H * W, -1.0f, 1.0f, H * W)};
    for (const auto& [name, rewritten] : kRules) {
      const std::string what = std::string(name) + " " + std::to_string(N) + "x" + std::to_string(C) + "x" +
                               std::to_string(H) + "x" + std::to_string(W);
      cases.push_back({what, name, rewritten, x, want.run({{"X", &x}}, name)});
    }
  }
  const auto check = [&](bool rewritten) {
    for (Case& c : cases) {
      if (c.rewritten != rewritten) continue;
      const lt::Tensor b = got.run({{"X", &c.x}}, c.rule);
      ASSERT_EQ(b.shape, c.a.shape) << c.what;
      // At most four taps a side whose magnitudes sum to about 1.3, on values
      // within 1: a few ulps of each product and sum, both ways.
      for (size_t i = 0; i < c.a.data.size(); ++i)
        ASSERT_NEAR(b.data[i], c.a.data[i], rewritten ? 1e-5 : 0.0) << c.what << " @" << i;
    }
  };
  check(false);
  lt::forEachTarget([&] { check(true); });  // doubling rows of 32 take the two-phase path
}

}  // namespace
