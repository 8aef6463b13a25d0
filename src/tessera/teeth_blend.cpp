// The blend half of an emitted frame: which window pixels the donors may
// fill, the blend head's scores at half resolution, the per-pixel softmax
// across candidates, its bilinear upsample, the blend into the window, and
// the donors carried over to the next frame.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <vector>

#include "pool/pool.h"
#include "simd/kernels.h"
#include "tessera/teeth_pass.h"
#include "tessera/teeth_pass_state.h"

namespace le::tessera {
namespace {

constexpr int kHidden = 16;
constexpr int kInputs = 7;

// The distinct donors of the candidate list, each with its multiplicity: a
// donor listed twice scores the same twice, so its head runs once.
void distinct(const std::vector<int>& cand, std::vector<int>& uniq, std::vector<int>& mult, std::vector<int>& candU) {
  uniq.clear(), mult.clear(), candU.clear();
  for (int d : cand) {
    const auto it = std::find(uniq.begin(), uniq.end(), d);
    if (it == uniq.end()) {
      candU.push_back(static_cast<int>(uniq.size()));
      uniq.push_back(d);
      mult.push_back(1);
    } else {
      const size_t u = static_cast<size_t>(it - uniq.begin());
      candU.push_back(static_cast<int>(u));
      ++mult[u];
    }
  }
}

void relu(float* v, size_t n) {
  for (size_t i = 0; i < n; ++i) v[i] = v[i] > 0.0f ? v[i] : 0.0f;
}

}  // namespace

void TeethPass::validPixels(const Pending&) {
  Scratch& s = *s_;
  const GeometryStamp& st = bank_.stamp;
  distinct(s.cand, s.uniq, s.mult, s.candU);
  std::fill(s.valid.begin(), s.valid.end(), 0);
  for (int r = 0; r < st.bandR1; ++r)
    for (int c = st.bandC0; c < st.bandC1; ++c) {
      const size_t i = static_cast<size_t>(r) * s.WW + c;
      bool ok = r >= st.bandR0;
      if (!ok && s.qm[i] >= 128) {
        // Above the band only where the mouth is open and every candidate has pixels.
        ok = true;
        for (int d : s.uniq) ok = ok && storedPixel(bank_, donorShift_.data(), d, r, c) != nullptr;
      }
      s.valid[i] = ok;
    }
}

void TeethPass::headForward(const Pending&) {
  Scratch& s = *s_;
  const size_t px = static_cast<size_t>(s.WW) * s.WH, half = static_cast<size_t>(s.HW) * s.HH;
  const float* H = halfLevels();
  for (int c = 0; c < 3; ++c)
    for (int i = 0; i < s.HH; ++i)
      for (int j = 0; j < s.HW; ++j) {
        const float* q = s.q.data() + c * px + static_cast<size_t>(2 * i) * s.WW + 2 * j;
        s.qh[c * half + static_cast<size_t>(i) * s.HW + j] = (((q[0] + q[1]) + q[s.WW]) + q[s.WW + 1]) * 0.25f;
      }
  const std::vector<std::vector<float>>& t = head_.tensors;
  le::pool::parallelRange(s.uniq.size(), 1, [&](size_t begin, size_t end) {
    thread_local std::vector<float> in, a, b;
    in.resize(kInputs * half);
    a.resize(kHidden * half);
    b.resize(kHidden * half);
    for (size_t u = begin; u < end; ++u) {
      const int d = s.uniq[u];
      // Candidate R, G, B pooled by 2 from its canonical window (zero outside the stored patch).
      for (int i = 0; i < s.HH; ++i) {
        const DonorRow rows[2] = {donorRow(bank_, donorShift_.data(), d, 2 * i, s.WW),
                                  donorRow(bank_, donorShift_.data(), d, 2 * i + 1, s.WW)};
        for (int j = 0; j < s.HW; ++j) {
          float sum[3] = {0.0f, 0.0f, 0.0f};
          for (int dy = 0; dy < 2; ++dy)
            for (int dx = 0; dx < 2; ++dx) {
              const uint8_t* p = rows[dy].at(2 * j + dx);
              for (int c = 0; c < 3; ++c) sum[c] += p ? H[p[c]] : 0.0f;
            }
          const size_t at = static_cast<size_t>(i) * s.HW + j;
          float diff = 0.0f;
          for (int c = 0; c < 3; ++c) {
            const float cv = sum[c] * 0.25f, qv = s.qh[c * half + at];
            in[c * half + at] = cv;
            in[(3 + c) * half + at] = qv;
            diff += std::fabs(cv - qv);
          }
          in[6 * half + at] = diff / 3.0f;
        }
      }
      simd::conv3x3Range(in.data(), 1, kInputs, s.HH, s.HW, t[0].data(), t[1].data(), kHidden, a.data(), 0, kHidden);
      relu(a.data(), a.size());
      simd::conv3x3Range(a.data(), 1, kHidden, s.HH, s.HW, t[2].data(), t[3].data(), kHidden, b.data(), 0, kHidden);
      relu(b.data(), b.size());
      simd::conv3x3Range(b.data(), 1, kHidden, s.HH, s.HW, t[4].data(), t[5].data(), 1, s.scores.data() + u * half, 0,
                         1);
    }
  });
  // Softmax across the candidate list (a donor listed twice counts twice).
  const size_t U = s.uniq.size();
  le::pool::parallelRange(half, 256, [&](size_t begin, size_t end) {
    float e[1024];
    for (size_t i = begin; i < end; ++i) {
      float mx = s.scores[i];
      for (size_t u = 1; u < U; ++u) mx = std::max(mx, s.scores[u * half + i]);
      for (size_t u = 0; u < U; ++u) e[u] = std::exp(s.scores[u * half + i] - mx);
      float sum = 0.0f;
      for (int u : s.candU) sum += e[u];
      for (size_t u = 0; u < U; ++u) s.scores[u * half + i] = e[u] / sum;
    }
  });
}

void TeethPass::blendAndWrite(const Pending& p, FrameResult* out) {
  Scratch& s = *s_;
  const size_t px = static_cast<size_t>(s.WW) * s.WH, half = static_cast<size_t>(s.HW) * s.HH;
  const size_t U = s.uniq.size();
  const float* H = halfLevels();
  uint8_t* win = out->window.data();
  // Window pixels no canonical pixel lands on once moved back keep the frame's own.
  for (int r = 0; r < s.WH; ++r) {
    const uint8_t* own = p.rgn.data() + (static_cast<size_t>(s.pad + r) * s.RW + s.pad) * 3;
    uint8_t* row = win + static_cast<size_t>(r) * s.WW * 3;
    if (r - p.sr < 0 || r - p.sr >= s.WH) {
      std::memcpy(row, own, static_cast<size_t>(s.WW) * 3);
      continue;
    }
    for (int c = 0; c < s.WW; ++c)
      if (c - p.sc < 0 || c - p.sc >= s.WW) std::memcpy(row + 3 * c, own + 3 * c, 3);
  }
  le::pool::parallelRange(static_cast<size_t>(s.WH), 4, [&](size_t begin, size_t end) {
    thread_local std::vector<float> wrow;
    thread_local std::vector<DonorRow> rows;
    wrow.resize(U * s.WW);
    rows.resize(U);
    for (size_t y = begin; y < end; ++y) {
      for (size_t u = 0; u < U; ++u) rows[u] = donorRow(bank_, donorShift_.data(), s.uniq[u], static_cast<int>(y), s.WW);
      const float sy = std::max(0.0f, (static_cast<float>(y) + 0.5f) * 0.5f - 0.5f);
      const int y0 = std::min(static_cast<int>(sy), s.HH - 1), y1 = std::min(y0 + 1, s.HH - 1);
      const float fy = sy - static_cast<float>(y0);
      for (size_t u = 0; u < U; ++u) {
        const float* a = s.scores.data() + u * half + static_cast<size_t>(y0) * s.HW;
        const float* b = s.scores.data() + u * half + static_cast<size_t>(y1) * s.HW;
        float* w = wrow.data() + u * s.WW;
        double total = 0;
        for (int x = 0; x < s.WW; ++x) {
          const int x0 = s.colX0[x], x1 = s.colX1[x];
          const float fx = s.colFx[x];
          w[x] = (1.0f - fy) * ((1.0f - fx) * a[x0] + fx * a[x1]) + fy * ((1.0f - fx) * b[x0] + fx * b[x1]);
          total += w[x];
        }
        s.rowTot[y * U + u] = total;
      }
      double statSum = 0;
      float statMax = 0;
      int statCount = 0;
      const int r = static_cast<int>(y) + p.sr;  // where the row lands in the stamp's window
      for (int x = 0; x < s.WW; ++x) {
        const size_t i = y * s.WW + static_cast<size_t>(x);
        float blended[3] = {s.q[i], s.q[px + i], s.q[2 * px + i]};
        if (s.valid[i]) {
          float top = 0;
          blended[0] = blended[1] = blended[2] = 0.0f;
          for (size_t u = 0; u < U; ++u) {
            const float w = wrow[u * s.WW + x];
            top = std::max(top, w);
            const float wm = w * static_cast<float>(s.mult[u]);
            const uint8_t* d = rows[u].at(x);
            if (d)
              for (int c = 0; c < 3; ++c) blended[c] += wm * H[d[c]];
          }
          statSum += top;
          statMax = std::max(statMax, top);
          ++statCount;
        }
        const int c = x + p.sc;
        if (r < 0 || r >= s.WH || c < 0 || c >= s.WW) continue;
        const float m = static_cast<float>(s.qm[i]) / 255.0f;
        uint8_t* o = win + (static_cast<size_t>(r) * s.WW + c) * 3;
        for (int ch = 0; ch < 3; ++ch) {
          const float v = std::clamp((1.0f - m) * s.q[ch * px + i] + m * blended[ch], 0.0f, 1.0f);
          o[ch] = static_cast<uint8_t>(std::nearbyint(255.0f * v));
        }
      }
      s.rowStatSum[y] = statSum;
      s.rowStatMax[y] = statMax;
      s.rowStatCount[y] = statCount;
    }
  });
  double sum = 0;
  float mx = 0;
  long count = 0;
  for (int y = 0; y < s.WH; ++y) {
    sum += s.rowStatSum[y];
    mx = std::max(mx, s.rowStatMax[y]);
    count += s.rowStatCount[y];
  }
  out->weightMean = count > 0 ? sum / static_cast<double>(count) : 0.0;
  out->weightMax = mx;
  for (size_t u = 0; u < U; ++u) {
    double t = 0;
    for (int y = 0; y < s.WH; ++y) t += s.rowTot[static_cast<size_t>(y) * U + u];
    s.totals[u] = t;
  }
}

void TeethPass::carryOver() {
  Scratch& s = *s_;
  std::vector<int>& by = s.byTotal;
  by.resize(s.cand.size());
  std::iota(by.begin(), by.end(), 0);
  std::stable_sort(by.begin(), by.end(),
                   [&](int a, int b) { return -s.totals[s.candU[a]] < -s.totals[s.candU[b]]; });
  carried_.clear();
  const size_t keep = std::min(static_cast<size_t>(cfg_.hysteresis), by.size());
  for (size_t i = 0; i < keep; ++i) carried_.push_back(s.cand[by[i]]);
}

}  // namespace le::tessera
