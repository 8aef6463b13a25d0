// What the director session declares: its layout, its batch and whether its
// keypoint inputs honour the host contract; and the bindings over the buffers.
#pragma once

#include <string>

#include "render/renderer_impl.h"

namespace le {

struct DirectorInputs {
  bool featSynth = false;  // an input named "fs_red"
  int batch = 0;
};

// Walks the session's inputs; throws when the batch input is missing or its
// batch is not static, or when a keypoint input breaks the host contract.
DirectorInputs discoverInputs(const Ort::Session& session, const std::string& modelPath);

// The refusal for a keypoint input declaring `rows` rows.
std::string keypointContractMessage(const std::string& modelPath, const std::string& input, int64_t rows);

// Creates the layout's tensors over im's buffers and binds them once.
void bindLayout(Renderer::Impl& im);

}  // namespace le
