// The teeth pass's per-frame records and working buffers, shared by its
// retrieval and blend halves. Everything is sized at construction: a frame
// allocates nothing.
#pragma once

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "tessera/teeth_pass.h"

namespace le::tessera {

// A pushed frame: the part of it the pass can reach (the window widened by
// the shift margin on every side), its shift and its donor list.
struct TeethPass::Pending {
  bool held = false;
  int index = 0;
  bool valid = false;
  const char* reason = "";
  int sr = 0, sc = 0;             // shift (row, column)
  std::vector<uint8_t> rgn;       // (WH + 2 pad) x (WW + 2 pad) x 3
  std::vector<uint8_t> rgnMask;   // (WH + 2 pad) x (WW + 2 pad)
  std::vector<int> selected;      // K donors
};

struct TeethPass::Scratch {
  // Geometry derived from the stamp.
  int WW = 0, WH = 0, pad = 0, RW = 0, RH = 0;  // window, shift margin, region
  int PW = 0, PH = 0;                           // pooled by 4
  int HW = 0, HH = 0;                           // half resolution
  // The query: the frame's window moved by its shift.
  std::vector<float> q;         // 3 planes of WH x WW, RGB / 255
  std::vector<uint8_t> qb;      // WH x WW x 3 bytes
  std::vector<uint8_t> qm;      // WH x WW mask bytes
  std::vector<float> w;         // teeth weights
  std::vector<uint16_t> qp, wp; // pooled by 4, half
  float wpSum = 0, wBand = 0;
  std::vector<int> bandRows;    // band rows holding a non-zero weight
  // Ranking.
  std::vector<float> P, E;
  std::vector<int> order, shortlist, selectOrder;
  // Emit.
  std::vector<int> cand;        // candidates, K at most
  std::vector<int> uniq, mult;  // distinct candidate donors and how often each is listed
  std::vector<int> candU;       // candidate -> its distinct index
  std::vector<uint8_t> valid;   // WH x WW
  std::vector<float> qh;        // 3 planes of HH x HW, the query pooled by 2
  std::vector<int> colX0, colX1;  // the bilinear upsample's columns and weights, per window column
  std::vector<float> colFx;
  std::vector<float> scores;    // per distinct donor, HH x HW; then its softmax weight
  std::vector<double> rowTot;   // WH x distinct: each row's weight sums
  std::vector<double> rowStatSum;
  std::vector<float> rowStatMax;
  std::vector<int> rowStatCount;
  std::vector<double> totals;
  std::vector<int> byTotal;
};

// The donor's stored byte at window pixel (r, c) of its canonical window,
// or null where the window pixel falls outside the stored patch.
inline const uint8_t* storedPixel(const BankData& bank, const int* donorShift, int d, int r, int c) {
  const GeometryStamp& s = bank.stamp;
  const int sh = s.storedH(), sw = s.storedW();
  const int pr = r - s.bandR0 + s.storedMargin + donorShift[2 * d];
  const int pc = c - s.bandC0 + s.storedMargin + donorShift[2 * d + 1];
  if (pr < 0 || pr >= sh || pc < 0 || pc >= sw) return nullptr;
  return bank.track.data() + ((static_cast<size_t>(d) * sh + pr) * sw + pc) * 3;
}

// Times one stage from construction to lap().
class StageClock {
 public:
  StageClock() : wall_(std::chrono::steady_clock::now()), cpu_(threadCpuMs()) {}
  void lap(TeethPass::Stage& into) {
    const auto now = std::chrono::steady_clock::now();
    const double cpu = threadCpuMs();
    into.ms = std::chrono::duration<double, std::milli>(now - wall_).count();
    into.cpuMs = cpu - cpu_;
    wall_ = now, cpu_ = cpu;
  }

 private:
  static double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
  }
  std::chrono::steady_clock::time_point wall_;
  double cpu_;
};

// Row r of donor d's canonical window: the stored row it shows (null when
// none), and the window columns [c0, c1) that fall inside the stored patch,
// whose pixel c is stored column c + off.
struct DonorRow {
  const uint8_t* row = nullptr;
  int c0 = 0, c1 = 0, off = 0;
  const uint8_t* at(int c) const { return row && c >= c0 && c < c1 ? row + 3 * (c + off) : nullptr; }
};

inline DonorRow donorRow(const BankData& bank, const int* donorShift, int d, int r, int windowW) {
  const GeometryStamp& s = bank.stamp;
  const int sh = s.storedH(), sw = s.storedW();
  DonorRow dr;
  const int pr = r - s.bandR0 + s.storedMargin + donorShift[2 * d];
  dr.off = s.storedMargin + donorShift[2 * d + 1] - s.bandC0;
  dr.c0 = std::max(0, -dr.off);
  dr.c1 = std::min(windowW, sw - dr.off);
  if (pr >= 0 && pr < sh && dr.c1 > dr.c0) dr.row = bank.track.data() + (static_cast<size_t>(d) * sh + pr) * sw * 3;
  return dr;
}

}  // namespace le::tessera
