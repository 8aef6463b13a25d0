// Lip-contour delivery at load: the director's compose alpha a becomes
// Min(a, lip_delivery), a host-fed input, so the contour can only cut the
// graph's own ellipse down. All ones reproduces the ellipse.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace le {

inline constexpr const char* kLipInputName = "lip_delivery";
inline constexpr const char* kLipMinName = "tessera_lipdel_min";
inline constexpr const char* kLipShrunkName = "tessera_lipdel_alpha";

// 1 when bound, with the compose canvas and the batch dim of lip_delivery in
// canvas / batch (each optional, set to 0 first); 0 with `reason` set and the
// model unchanged otherwise. Never throws for a model's content.
int rewriteBindLipContour(std::vector<unsigned char>& model, std::string& reason, int* canvas, int* batch);

// The declared [N, 1, canvas, canvas] of lip_delivery: N from the source
// input (P_rgb, else pooled64), canvas off the rank-4 image inputs.
struct LipDims {
  int64_t batch = 0;
  int64_t canvas = 0;
};

}  // namespace le
