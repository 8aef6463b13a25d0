// The fp16 NEON engine for the fused m4b director, which replaces the ONNX
// Runtime session when asked for and the graph is the one it implements.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace le {

// What create() throws on a CPU without fp16 arithmetic, so the renderer can
// tell it from a refusal of the model.
struct ConvBackendUnsupportedCpu : std::runtime_error {
  ConvBackendUnsupportedCpu() : std::runtime_error("le_conv: fp16 NEON not supported on this CPU") {}
};

class ConvBackend {
 public:
  virtual ~ConvBackend() = default;
  virtual int batch() const = 0;
  // n frames (1..batch) of half pooled64 and P, keypoint sets of 63 floats;
  // writes n crops [3][512][512] into out and returns it.
  virtual const float* render(const uint16_t* const* pooled64, const uint16_t* const* P, const float* kpSource,
                              const float* kpDriving, int n, float* out) = 0;

  // True when this build carries the engine; create() checks the CPU.
  static bool available();
  // Whether the model resolves as the fused m4b graph; never throws.
  static bool graphSupported(const std::string& modelPath);
  // Throws "le_conv: fp16 NEON not supported on this CPU" first when the CPU
  // lacks fp16 arithmetic, then any refusal of the model.
  static std::unique_ptr<ConvBackend> create(const std::string& modelPath, int threads);
  // The same engine on any CPU: off Arm its half-precision arithmetic is
  // emulated on floats (for tests and timing there); on Arm it is create().
  static std::unique_ptr<ConvBackend> createPortable(const std::string& modelPath, int threads);
};

}  // namespace le
