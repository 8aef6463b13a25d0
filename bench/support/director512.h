// The forged crop-512 director bundle the render benchmarks share (its
// model_render.onnx is the demo's director), and its model run directly by
// ONNX Runtime on inputs laid out once: the anchor of every whole render.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bundle/drive.h"
#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "ort/api.h"

namespace lb {

inline constexpr int kDirectorFrames = 4;  // identity frames of the bundle

struct Director512 {
  Director512();
  le::Manifest manifest;
  le::Identity identity;
  le::Drive drive;
};

// Forged once per scratch directory, opened once per process.
Director512& director512();

struct DirectRun {
  // The model file as it is, or prepared bytes (com.velomark registered);
  // frames i % kDirectorFrames fill the batch.
  DirectRun(const std::string& path, int threads, int batch);
  DirectRun(const std::vector<uint8_t>& bytes, int threads, int batch);
  // Widens source frame si into batch slot 0, as an un-hoisted render does.
  void stage(int si);
  void run(const Ort::RunOptions& options);
  void run() { run(defaults); }

  Ort::Env env{ORT_LOGGING_LEVEL_ERROR, "anchor"};
  Ort::RunOptions defaults;
  // What every render used to ask for: the arena handed back after each run.
  Ort::RunOptions shrinking;
  std::unique_ptr<Ort::Session> session;
  std::vector<float> pooled, P, kd, ks, out;
  std::vector<Ort::Value> inputs;
  Ort::Value output{nullptr};

 private:
  Ort::SessionOptions options(int threads, bool customOps);
  void layOut(int batch);
};

}  // namespace lb
