// The blend head's weights from a PyTorch checkpoint: a stored (uncompressed)
// ZIP holding a pickled state dictionary and one raw storage per tensor. Only
// the subset torch.save writes for this head is read; anything else is
// refused by name, and nothing is returned partially loaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace le::tessera {

struct HeadTensor {
  const char* name;
  std::vector<int64_t> shape;
};

// BlendHead(16): the cand branch, then the syn branch (absent in BlendHead8).
const std::vector<HeadTensor>& blendHeadTensors();
inline constexpr size_t kCandTensors = 6;
inline constexpr size_t kBlendHeadParams = 4082;
inline constexpr size_t kBlendHead8Params = 3489;

struct HeadWeights {
  // One vector per tensor in blendHeadTensors() order; the syn ones empty
  // for a BlendHead8.
  std::vector<std::vector<float>> tensors;
  size_t params() const;
};

HeadWeights loadHeadPt(const std::vector<uint8_t>& bytes);

}  // namespace le::tessera
