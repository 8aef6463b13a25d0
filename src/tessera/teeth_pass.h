// The teeth pass: for each frame, rank the bank's donors by how well their
// teeth match the frame's mouth window (a pooled distance over every donor,
// then an exact one over a shortlist), keep the donor set consistent from
// frame to frame, and let the blend head mix the donors' real teeth into
// the window. It runs one frame behind its input: the next frame's ranking
// steers the current frame's donors.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tessera/head_pt.h"
#include "tessera/serve_config.h"

namespace le {
struct TesseraAttachInputs;
}

namespace le::tessera {

// The reference bank as the pass uses it.
struct BankData {
  int n = 0;
  std::vector<uint8_t> track;      // n stored patches of storedH x storedW x 3 bytes, donor order
  std::vector<double> apertures;   // n
  std::vector<double> centroids;   // n x (x, y)
  double refX = 0, refY = 0;       // the reference mouth centroid of the bank's geometry
  GeometryStamp stamp;
};

struct FrameResult {
  int frameIndex = -1;
  std::vector<uint8_t> window;  // window width x height x 3, at the stamp's window
  bool skipped = false;
  const char* reason = "";      // "empty-pi" or "shift-out-of-range" when skipped
  int donorsUsed = 0;
  std::vector<int> donors;      // the candidates the head weighed, in order
  int shiftRow = 0, shiftCol = 0;
  // The head's decisiveness over the valid pixels: the mean and the largest
  // of each pixel's largest candidate weight.
  double weightMean = 0, weightMax = 0;
};

// The bank of a bundle's checked teeth members: its track decoded from the
// member file into donor order.
BankData loadBank(const TesseraAttachInputs& members);
// A bank from a host's arrays (donor-order patches, n x (x, y) centroids,
// the reference centroid, n apertures, the twelve stamp ints); throws when
// the stamp is incoherent.
BankData bankFromArrays(const uint8_t* track, int n, const double* centroids, const double* ref,
                        const double* apertures, const int* stampInts);

class TeethPass {
 public:
  // Throws on an incoherent stamp, a configuration out of range, or bank
  // arrays that disagree with the stamp or the donor count.
  TeethPass(BankData bank, const HeadWeights& head, const ServeConfig& config);
  ~TeethPass();
  TeethPass(const TeethPass&) = delete;
  TeethPass& operator=(const TeethPass&) = delete;

  // frameRgb: canvas width x height x 3; mouthMask: canvas-sized (0..255);
  // shift: null (taken from the mask) or (row, column). True when a result,
  // for the previous frame, was written into out. Frames come in order.
  bool push(int frameIndex, const uint8_t* frameRgb, const uint8_t* mouthMask, const int* shift, FrameResult* out);
  // Emits the held frame, if any.
  bool flush(FrameResult* out);
  bool holding() const;

  const GeometryStamp& stamp() const { return bank_.stamp; }
  const ServeConfig& config() const { return cfg_; }
  int donors() const { return bank_.n; }
  double refX() const { return bank_.refX; }
  double refY() const { return bank_.refY; }
  // Frames the head has blended, and the sums of their two statistics.
  uint64_t blended() const { return blended_; }
  double weightMeanSum() const { return weightMeanSum_; }

  // What the benchmarks time: the last push's stages, in wall ms and in CPU
  // ms of the calling thread (all of it when the pool runs inline).
  struct Stage {
    double ms = 0, cpuMs = 0;
  };
  struct Stages {
    Stage pooled, exact;  // the pushed frame's ranking
    Stage head, blend;    // the emitted frame's
  };
  const Stages& lastStages() const { return stages_; }

  struct Pending;
  struct Scratch;

 private:
  void buildPooledIndex();
  // Fills the record's shift (or its reason) from the given shift or the mask.
  void deriveShift(const uint8_t* mask, const int* shift, Pending& p) const;
  void copyRegion(const uint8_t* frame, const uint8_t* mask, Pending& p) const;
  // The query window, its bytes and its mask from the record's region.
  void buildQuery(const Pending& p);
  void retrievePrepare(const Pending& p);
  void retrieve(Pending& p);
  void retrieveSelect(Pending& p);
  void emit(Pending& p, const std::vector<int>* next, FrameResult* out);
  void candidates(const Pending& p, const std::vector<int>* next);
  void validPixels(const Pending& p);
  void headForward(const Pending& p);
  void blendAndWrite(const Pending& p, FrameResult* out);
  void carryOver();

  BankData bank_;
  HeadWeights head_;
  ServeConfig cfg_;
  std::vector<int> donorShift_;  // n x (row, column), clamped to the shift margin
  std::vector<uint16_t> pooled_; // n x 3 pooled planes (half)

  std::unique_ptr<Pending> pending_;   // the held frame
  std::unique_ptr<Pending> incoming_;  // the frame being pushed
  std::unique_ptr<Scratch> s_;
  std::vector<float> prevW_;
  bool hasPrevW_ = false;
  std::vector<int> carried_;
  int carriedFrom_ = -2;
  uint64_t blended_ = 0;
  double weightMeanSum_ = 0;
  Stages stages_;
};

// The process-wide half-precision difference table: T[a][b] = h(h(b/255) -
// h(a/255)), 256 x 256, signed.
const float* differenceTable();
// h(v/255) for every byte value.
const float* halfLevels();

}  // namespace le::tessera
