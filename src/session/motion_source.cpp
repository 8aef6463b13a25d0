#include "session/motion_source.h"

#include <stdexcept>

#include "bundle/imx.h"
#include "bundle/manifest.h"
#include "bundle/paths.h"
#include "le/le_a2x.h"
#include "le/le_motion.h"

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

// The motion pipeline through its C family. Its calls report failures
// through their thread's last error, which each call clears on entry; a
// failure is raised here so the session ends the utterance instead of
// waiting for rows that will not come.
class MotionPipelineSource final : public MotionSource {
 public:
  MotionPipelineSource(const std::string& dir, int threads, const std::string& ep)
      : m_(le_motion_create(dir.c_str(), threads, ep.c_str())) {
    if (!m_) throw std::runtime_error(le_motion_last_error());
  }
  ~MotionPipelineSource() override { le_motion_destroy(m_); }
  MotionPipelineSource(const MotionPipelineSource&) = delete;
  MotionPipelineSource& operator=(const MotionPipelineSource&) = delete;

  void reset(int start, int direction, int loop) override { le_motion_reset(m_, start, direction, loop); }
  void setEager(int eager) override { le_motion_set_eager(m_, eager); }
  void push(const float* samples, int n) override { raise(le_motion_push(m_, samples, n)); }
  void finish() override { le_motion_finish(m_); }
  int avail() override { return raise(le_motion_avail(m_)); }
  int pull(int* idx, float* xs, float* xd, int max) override { return raise(le_motion_pull(m_, idx, xs, xd, max)); }
  int total() override { return le_motion_total(m_); }

 private:
  static int raise(int result) {
    const char* e = le_motion_last_error();
    if (e && *e) throw std::runtime_error(e);
    return result;
  }
  le_motion* m_;
};

}  // namespace

bool hasStreamingEncoder(const std::string& motionDir) {
  return opensForReading(resolveMember(resolveBundlePath(motionDir), "a2x_enc_stream.onnx"));
}

std::unique_ptr<MotionSource> openMotion(const std::string& motionDir, bool streaming, int threads,
                                         const std::string& ep) {
  if (streaming) return std::make_unique<A2xSource>(motionDir, threads);
  return std::make_unique<MotionPipelineSource>(motionDir, threads, ep);
}

}  // namespace le::session
