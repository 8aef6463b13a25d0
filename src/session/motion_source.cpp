#include "session/motion_source.h"

#include <stdexcept>

#include "bundle/imx.h"
#include "bundle/manifest.h"
#include "bundle/paths.h"
#include "le/le_a2x.h"

namespace le::session {
namespace {

// The streaming audio-to-expression object through its C family, whose
// create and destroy are the ones the session's lifecycle names.
class A2xSource final : public MotionSource {
 public:
  A2xSource(const std::string& dir, int threads) : a_(le_a2x_create(dir.c_str(), threads)) {
    if (!a_) throw std::runtime_error(le_a2x_last_error());
  }
  ~A2xSource() override { le_a2x_destroy(a_); }
  A2xSource(const A2xSource&) = delete;
  A2xSource& operator=(const A2xSource&) = delete;

  void reset(int start, int direction, int loop) override { le_a2x_reset(a_, start, direction, loop); }
  void setEager(int eager) override { le_a2x_set_eager(a_, eager); }
  void push(const float* samples, int n) override { le_a2x_push(a_, samples, n); }
  void finish() override { le_a2x_finish(a_); }
  int avail() override { return le_a2x_avail(a_); }
  int pull(int* idx, float* xs, float* xd, int max) override { return le_a2x_pull(a_, idx, xs, xd, max); }
  int total() override { return le_a2x_total(a_); }

 private:
  le_a2x* a_;
};

}  // namespace

bool hasStreamingEncoder(const std::string& motionDir) {
  return opensForReading(resolveMember(resolveBundlePath(motionDir), "a2x_enc_stream.onnx"));
}

void checkServable(const std::string& motionDir, bool streaming) {
  if (!streaming)
    throw std::runtime_error("motion directory " + motionDir +
                             " holds no a2x_enc_stream.onnx, and this build has no motion pipeline back-end to "
                             "serve it");
}

std::unique_ptr<MotionSource> openMotion(const std::string& motionDir, bool streaming, int threads,
                                         const std::string& /*ep*/) {
  checkServable(motionDir, streaming);
  return std::make_unique<A2xSource>(motionDir, threads);
}

}  // namespace le::session
