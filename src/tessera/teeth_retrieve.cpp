// Ranking the bank's donors against one frame: the query window and its
// teeth weights, a pooled distance over every donor, an exact distance over
// the shortlist, and the selection by aperture. Every distance emulates
// half-precision arithmetic exactly, so rankings tie-break the same way on
// every CPU.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <vector>

#include "pool/pool.h"
#include "simd/half.h"
#include "simd/kernels.h"
#include "tessera/teeth_pass.h"
#include "tessera/teeth_pass_state.h"

namespace le::tessera {
namespace {

struct Tables {
  float levels[256];
  std::vector<float> diff;  // 256 x 256
  Tables() : diff(256 * 256) {
    for (int v = 0; v < 256; ++v) levels[v] = simd::roundToF16(static_cast<float>(v) / 255.0f);
    for (int a = 0; a < 256; ++a)
      for (int b = 0; b < 256; ++b) diff[a * 256 + b] = simd::roundToF16(levels[b] - levels[a]);
  }
};

const Tables& tables() {
  static const Tables t;
  return t;
}

// Sums 4 x 4 blocks of a plane (w wide) in row order and rounds each mean to half.
void poolBy4(const float* plane, int w, int pw, int ph, uint16_t* out) {
  for (int i = 0; i < ph; ++i)
    for (int j = 0; j < pw; ++j) {
      float sum = 0.0f;
      for (int dy = 0; dy < 4; ++dy)
        for (int dx = 0; dx < 4; ++dx) sum += plane[static_cast<size_t>(4 * i + dy) * w + 4 * j + dx];
      out[static_cast<size_t>(i) * pw + j] = f32ToF16(sum / 16.0f);
    }
}

}  // namespace

const float* differenceTable() { return tables().diff.data(); }
const float* halfLevels() { return tables().levels; }

void TeethPass::buildPooledIndex() {
  const Scratch& s = *s_;
  const GeometryStamp& st = bank_.stamp;
  const size_t pooled = static_cast<size_t>(s.PW) * s.PH;
  pooled_.assign(static_cast<size_t>(bank_.n) * 3 * pooled, 0);
  le::pool::parallelRange(static_cast<size_t>(bank_.n), 1, [&](size_t begin, size_t end) {
    // The donor's canonical window, rows 0 .. 4 PH - 1, as three float planes.
    const size_t rows = static_cast<size_t>(4 * s.PH), plane = rows * s.WW;
    std::vector<uint16_t> half(3 * static_cast<size_t>(s.WW));
    std::vector<float> canon(3 * plane);
    for (size_t d = begin; d < end; ++d) {
      const int cs = donorShift_[2 * d + 1];
      // Window columns that fall inside the stored patch.
      const int c0 = std::max(0, st.bandC0 - st.storedMargin - cs);
      const int c1 = std::min(s.WW, st.bandC0 - st.storedMargin - cs + st.storedW());
      for (size_t r = 0; r < rows; ++r) {
        std::fill(half.begin(), half.end(), 0);
        if (c1 > c0)
          if (const uint8_t* src = storedPixel(bank_, donorShift_.data(), static_cast<int>(d), static_cast<int>(r), c0))
            simd::rgb8ToPlanarF16(src, half.data() + c0, static_cast<size_t>(s.WW), static_cast<size_t>(c1 - c0));
        for (int c = 0; c < 3; ++c)
          simd::f16ToF32(half.data() + static_cast<size_t>(c) * s.WW, canon.data() + c * plane + r * s.WW,
                         static_cast<size_t>(s.WW));
      }
      uint16_t* out = pooled_.data() + d * 3 * pooled;
      for (int c = 0; c < 3; ++c) poolBy4(canon.data() + c * plane, s.WW, s.PW, s.PH, out + c * pooled);
    }
  });
}

void TeethPass::buildQuery(const Pending& p) {
  Scratch& s = *s_;
  const size_t px = static_cast<size_t>(s.WW) * s.WH;
  for (int r = 0; r < s.WH; ++r) {
    const size_t from = static_cast<size_t>(s.pad + r + p.sr) * s.RW + s.pad + p.sc;
    const uint8_t* rgb = p.rgn.data() + from * 3;
    const size_t at = static_cast<size_t>(r) * s.WW;
    std::memcpy(s.qb.data() + at * 3, rgb, static_cast<size_t>(s.WW) * 3);
    std::memcpy(s.qm.data() + at, p.rgnMask.data() + from, static_cast<size_t>(s.WW));
    for (int c = 0; c < s.WW; ++c)
      for (int ch = 0; ch < 3; ++ch) s.q[ch * px + at + c] = static_cast<float>(rgb[3 * c + ch]) / 255.0f;
  }
}

void TeethPass::retrievePrepare(const Pending& p) {
  Scratch& s = *s_;
  const GeometryStamp& st = bank_.stamp;
  buildQuery(p);
  const size_t px = static_cast<size_t>(s.WW) * s.WH;
  long teeth = 0;
  for (size_t i = 0; i < px; ++i) {
    const uint8_t* v = s.qb.data() + 3 * i;
    const double luma = 0.299 * v[0] + 0.587 * v[1] + 0.114 * v[2];
    const bool on = s.qm[i] >= 128 && luma >= cfg_.lumaFloor && std::abs(int(v[1]) - int(v[0])) < cfg_.redGreenLimit;
    s.w[i] = on ? 1.0f : 0.0f;
    teeth += on;
  }
  if (teeth < cfg_.minTeethPixels)
    for (size_t i = 0; i < px; ++i) s.w[i] = s.qm[i] >= 128 ? 1.0f : 0.0f;
  if (hasPrevW_) {
    const float carry = static_cast<float>(cfg_.carry);
    for (size_t i = 0; i < px; ++i) s.w[i] = std::max(s.w[i], carry * prevW_[i]);
  }
  std::copy(s.w.begin(), s.w.end(), prevW_.begin());
  hasPrevW_ = true;

  const size_t pooled = static_cast<size_t>(s.PW) * s.PH;
  for (int c = 0; c < 3; ++c) poolBy4(s.q.data() + c * px, s.WW, s.PW, s.PH, s.qp.data() + c * pooled);
  poolBy4(s.w.data(), s.WW, s.PW, s.PH, s.wp.data());
  s.wpSum = 0.0f;
  for (size_t i = 0; i < pooled; ++i) s.wpSum += f16ToF32(s.wp[i]);
  s.wBand = 0.0f;
  s.bandRows.clear();
  for (int r = st.bandR0; r < st.bandR1; ++r) {
    bool any = false;
    for (int c = st.bandC0; c < st.bandC1; ++c) {
      const float w = s.w[static_cast<size_t>(r) * s.WW + c];
      s.wBand += w;
      any |= w != 0.0f;
    }
    if (any) s.bandRows.push_back(r);
  }
}

void TeethPass::retrieve(Pending& p) {
  Scratch& s = *s_;
  const GeometryStamp& st = bank_.stamp;
  const size_t n = static_cast<size_t>(bank_.n);
  const size_t pooled = static_cast<size_t>(s.PW) * s.PH;
  StageClock clock;
  const float pooledTotal = std::max(s.wpSum, 0.0001f);
  le::pool::parallelRange(n, 1, [&](size_t begin, size_t end) {
    for (size_t d = begin; d < end; ++d)
      s.P[d] = simd::roundToF16(simd::retrieveTermPooled(pooled_.data() + d * 3 * pooled, s.qp.data(), s.wp.data(),
                                                         pooled)) /
               pooledTotal;
  });
  std::iota(s.order.begin(), s.order.end(), 0);
  std::stable_sort(s.order.begin(), s.order.end(), [&](int a, int b) { return s.P[a] < s.P[b]; });
  clock.lap(stages_.pooled);

  const size_t ns = std::min(static_cast<size_t>(cfg_.kshort), n);
  s.shortlist.assign(s.order.begin(), s.order.begin() + static_cast<std::ptrdiff_t>(ns));
  const float total = s.wBand < 1.0f ? 1.0f : s.wBand;
  const float* T = differenceTable();
  const size_t bw = static_cast<size_t>(st.bandC1 - st.bandC0);
  le::pool::parallelRange(ns, 1, [&](size_t begin, size_t end) {
    // The exact term's rows, kept per thread.
    thread_local std::vector<float> mRow, tRow;
    mRow.resize(bw);
    tRow.resize(bw);
    static constexpr uint8_t kBlack[3] = {0, 0, 0};
    for (size_t i = begin; i < end; ++i) {
      const int d = s.shortlist[i];
      float sum = 0.0f;
      for (int r : s.bandRows) {
        const float* w = s.w.data() + static_cast<size_t>(r) * s.WW + st.bandC0;
        const uint8_t* q = s.qb.data() + (static_cast<size_t>(r) * s.WW + st.bandC0) * 3;
        const DonorRow dr = donorRow(bank_, donorShift_.data(), d, r, s.WW);
        for (size_t k = 0; k < bw; ++k) {
          if (w[k] == 0.0f) {
            mRow[k] = 0.0f;
            continue;
          }
          const uint8_t* dp = dr.at(st.bandC0 + static_cast<int>(k));
          if (!dp) dp = kBlack;
          const uint8_t* qp = q + 3 * k;
          mRow[k] = (std::fabs(T[qp[0] * 256 + dp[0]]) + std::fabs(T[qp[1] * 256 + dp[1]]) +
                     std::fabs(T[qp[2] * 256 + dp[2]])) /
                    3.0f;
        }
        simd::roundF16Mul(mRow.data(), w, tRow.data(), bw);
        float row = 0.0f;
        for (size_t k = 0; k < bw; ++k) row += tRow[k];
        sum += row;
      }
      s.E[i] = sum / total;
    }
  });
  retrieveSelect(p);
  clock.lap(stages_.exact);
}

void TeethPass::retrieveSelect(Pending& p) {
  Scratch& s = *s_;
  std::vector<int>& by = s.selectOrder;
  by.resize(s.shortlist.size());
  std::iota(by.begin(), by.end(), 0);
  std::stable_sort(by.begin(), by.end(), [&](int a, int b) { return s.E[a] < s.E[b]; });
  const int best = s.shortlist[by[0]];
  const double a0 = bank_.apertures[best];
  const double tol = cfg_.apertureTol * std::max(a0, 1e-6);
  const size_t walk = std::min(by.size(), static_cast<size_t>(cfg_.cut));
  p.selected.clear();
  for (size_t i = 0; i < walk && p.selected.size() < static_cast<size_t>(cfg_.K); ++i) {
    const int d = s.shortlist[by[i]];
    if (std::fabs(bank_.apertures[d] - a0) <= tol) p.selected.push_back(d);
  }
  if (p.selected.empty()) p.selected.push_back(best);
  while (p.selected.size() < static_cast<size_t>(cfg_.K)) p.selected.push_back(p.selected.back());
}

}  // namespace le::tessera
