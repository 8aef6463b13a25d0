// Int8ConvVNNI beside ONNX Runtime on the same quantised layer, one-path
// sessions each: against the float Conv over the dequantised weights, and
// against the runtime's own int8 path (DynamicQuantizeLinear, ConvInteger,
// the dequantisation). Layers: 64 -> 64 3x3 at 128x128, and the m4b
// director's largest, corr.1 (32 -> 32 3x3 at 256x256). At one thread the
// operator's worker pool is held to the calling thread too.
#include <benchmark/benchmark.h>

#include <optional>
#include <string>

#include "pool/pool.h"
#include "support/bench_forge.h"
#include "support/onnx_session.h"
#include "support/versus.h"

namespace {

const struct {
  const char* name;
  std::vector<int64_t> shape;
} kLayers[] = {{"64x64_3x3_128", {1, 64, 128, 128}}, {"m4b_corr1_32x32_3x3_256", {1, 32, 256, 256}}};

std::string layerModel(const std::string& name) {
  static const std::string dir = lb::forged("int8-layers", "int8-layers", "", "/64x64_3x3_128_int8.onnx");
  return dir + "/" + name + ".onnx";
}

// Args: threads, layer, anchor (0: float Conv, 1: ConvInteger).
void BM_Int8ConvVsOrt(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  const auto& layer = kLayers[state.range(1)];
  const bool integer = state.range(2) == 1;
  const size_t n = size_t(layer.shape[1] * layer.shape[2] * layer.shape[3]);
  const std::vector<lb::Input> inputs = {{"X", layer.shape, lb::uniformFloats(n, -1, 2, 3)}};
  lb::OnnxRun ours(lb::fileBytes(layerModel(std::string(layer.name) + "_int8")), threads, inputs, "y");
  lb::OnnxRun anchor(lb::fileBytes(layerModel(std::string(layer.name) + (integer ? "_ort8" : "_float"))), threads,
                     inputs, "y");
  std::optional<le::pool::SerialScope> serial;
  if (threads == 1) serial.emplace();
  lb::versusAnchor(
      state, std::string("Int8ConvVNNI ") + layer.name + (integer ? " vs ConvInteger" : " vs float Conv"),
      [&] { ours.run(); }, [&] { anchor.run(); });
}
BENCHMARK(BM_Int8ConvVsOrt)
    ->ArgsProduct({{1, 2}, {0, 1}, {0, 1}})
    ->ArgNames({"threads", "layer", "convinteger"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
