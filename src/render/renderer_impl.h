// State of a renderer: the director session, its bindings and the buffers
// the bindings point at. Tensors are made once over these buffers; a render
// rewrites the buffers in place and never reallocates them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/keypoints.h"
#include "base/threads.h"
#include "render/cone_ring.h"
#include "render/conv_backend.h"
#include "ort/api.h"
#include "render/renderer.h"
#include "tessera/lip_contour.h"

namespace le {

inline constexpr size_t kPooledFloats = 64 * 32 * 32;
inline constexpr size_t kFsFloats = 64 * 64 * 64;

struct Renderer::Impl {
  Impl();

  std::string epName;
  Ort::SessionOptions sessionOptions{nullptr};
  std::unique_ptr<Ort::Session> session;
  std::unique_ptr<Ort::IoBinding> binding;
  Ort::RunOptions runOptions{nullptr};
  bool profiling = false;
  double runMs = 0.0;
  int64_t runs = 0;
  const Identity* identity = nullptr;
  int batch = 0;
  int crop = 0;
  int threads = 0;  // intra-op threads the session was built with
  threads::Registration intraOpCensus;
  size_t pooledFloats = kPooledFloats;
  size_t pFloats = 0;
  size_t fsFloats = kFsFloats;
  bool featSynth = false;
  std::vector<float> pooled;
  std::vector<float> P;
  std::vector<float> fs;
  std::vector<float> kpDriving;
  std::vector<float> kpSource;
  std::vector<float> out;
  std::vector<Ort::Value> bound;
  std::vector<float> lipCanvas;  // batch x crop x crop, bound as lip_delivery
  bool lipDelivery = false;
  std::unique_ptr<tessera::LipContour> lip;  // from the bundle's lip template; null without one
  std::unique_ptr<ConvBackend> native;
  std::string directorNote;
  std::vector<const uint16_t*> pooledPtrs;
  std::vector<const uint16_t*> PPtrs;
  std::vector<uint16_t> PStaging;
  bool PFromPrior = false;  // P frames come from the prior cursor, not a mapping
  // The hoisted source cone: a prep session computes the boundary of one
  // source frame into a ring slot, ahead of time on the ring's thread.
  std::unique_ptr<Ort::Session> prepSession;
  std::unique_ptr<Ort::IoBinding> prepBinding;
  Ort::Value prepInput{nullptr};  // over P, [batch, 3, crop, crop]
  std::string boundaryName;
  size_t boundaryElements = 0;
  struct RingSlot {
    std::vector<float> boundary;
    Ort::Value tensor{nullptr};
  };
  std::vector<RingSlot> ringSlots;
  std::unique_ptr<ConeRing> ring;  // last: its thread stops before anything it uses goes

  // Writes the identity's members and the keypoints of n frames into the
  // bound buffers, padding the rest of the batch with frame n-1.
  void stageInputs(const int* si, const float* kpSource, const float* kpDriving, int n);
  // One director run over the binding, added to the run account.
  void runDirector();
  const float* renderNative(const int* si, const float* kpSource, const float* kpDriving, int n);
  const float* renderHoisted(int si, const float* kpSource, const float* kpDriving);
  // Lip slot b rasterised from the driven keypoints of that frame.
  void rasteriseLip(size_t b, const float* kpDriving);
  // Source frame s's boundary into ring slot k, on the prep session.
  void boundaryRun(int s, int k);
  // The ring slots, the prep binding and the ring's thread.
  void startRing(const std::string& key);
};

}  // namespace le
