// The motion pipeline behind le_motion: pushed 16 kHz audio becomes log-mel
// windows of 5 frames, speech features (the student model) and conditioning
// rows; the motion model turns 80 rows at a time into motion vectors, which
// are overlap-blended into one sequence and, at finish, smoothed and
// clamped; each pulled frame becomes keypoints through the idle frame's
// descriptor and the stitching network.
//
// One thread at a time per object.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/frames.h"
#include "audio/log_mel.h"
#include "audio/motion_backend.h"
#include "audio/motion_dump.h"
#include "audio/motion_net.h"
#include "audio/motion_tables.h"
#include "base/threads.h"

namespace le::motion {

using audio::kFrameSamples;
inline constexpr int kWindowFrames = 5;    // conditioning rows per window
inline constexpr int kWindowLead = 2000;   // samples of a window's segment before its first frame
inline constexpr int kWindowReach = 4480;  // samples of audio a window needs past its first frame
inline constexpr int kFeatFrames = 20;     // speech-model frames per window (50 per second)
inline constexpr int kFeat = 1024;
inline constexpr int kCond = 1103;       // 1024 + 8 + 2 + 6 + 63
inline constexpr int kEagerCadence = 8;  // audio frames between provisional passes
using audio::kTrimSamples;
using audio::kTrimFrames;

class Pipeline : public audio::MotionBackend {
 public:
  // Reads and checks the directory and opens the three networks; throws the
  // creation refusals.
  Pipeline(const std::string& dir, int threads, const std::string& ep);
  ~Pipeline() override;
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  int nt() const override { return t_.meta.nt; }
  void setEager(int eager) override { eager_ = eager; }
  void push(const float* samples, int n) override;
  bool finished() const { return finished_; }
  // Runs the remaining windows and chunks and builds the final sequence.
  void finish() override;
  int total() const override { return finished_ ? total_ : -1; }
  void reset(int start, int direction, int loop) override;
  int avail() override;
  // idx may be null.
  int pull(int* idx, float* xs, float* xd, int max) override;

  // Where the stream stands, for hosts and tests.
  int64_t samples() const { return audioBase_ + static_cast<int64_t>(audio_.size()); }
  int made() const;
  int pulled() const { return pulled_; }
  int rows() const { return rowBase_ + static_cast<int>(rows_.size() / kCond); }
  // Floats held by the conditioning rows and the motion sequence.
  size_t retainedFloats() const { return rows_.capacity() + seq_.capacity() + final_.capacity(); }
  int chunks() const { return chunks_; }
  bool provisional() const { return provisional_; }
  int idleIndex(int t) const;
  const std::vector<float>& initialSeed() const { return initSeed_; }

 private:
  void processWindow(int w, std::vector<float>& out, bool real);
  void runChunk(int start, int end, bool real);
  void buildFinal();
  void emitFrame(const float* motion, int si, float* xs, float* xd);
  void eagerAdvance();
  // Real windows and chunks as far as the audio allows.
  void advance();
  // Undoes a provisional chunk: the real length, its last 10 frames, the seed.
  void rollback();
  const float* row(int i) const;
  // Drops the rows no chunk reads again and the frames no pull or seam
  // reads again; everything is kept while the dump wants whole tensors.
  void trim();

  Tables t_;
  std::unique_ptr<Net> student_, lmdm_, stitch_;
  std::vector<threads::Registration> census_;
  LogMel logMel_;
  Dump dump_;
  float ratio_ = 1.0f;
  std::vector<float> initSeed_;

  std::vector<float> audio_;
  int64_t audioBase_ = 0;
  bool finished_ = false;
  int total_ = 0;
  int pulled_ = 0;
  int start_ = 0, direction_ = 1, loop_ = 1;
  int eager_ = 0;
  int nextWindow_ = 0;
  std::vector<float> rows_;  // real conditioning rows from rowBase_ on, kCond each
  int rowBase_ = 0;
  int chunks_ = 0;           // real chunks run
  std::vector<float> seq_;   // motion sequence from seqBase_ on, 265 per frame
  int seqBase_ = 0;
  std::vector<float> seed_;
  std::vector<float> final_;  // from seqBase_ on
  std::vector<float> m0_;  // empty until the first frame after a reset

  // Eager mode: the provisional rows and what a provisional chunk replaced.
  bool provisional_ = false;
  std::vector<float> provRows_;
  int realFrames_ = 0;  // absolute
  std::vector<float> realTail_, realSeed_;
  int provMade_ = 0;
  int lastPass_ = 0;

  std::vector<float> segment_, mel_, feat_, block_, pred_, xsLa_, xdLa_, st_;
};

}  // namespace le::motion
