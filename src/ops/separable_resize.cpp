#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "ops/separable_resize.cpp"
#include "ops/separable_resize.h"

#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cmath>
#include <vector>

HWY_BEFORE_NAMESPACE();
namespace le {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// dst[o] = sum over k of w[k n + o] src[idx[k n + o]] for o in [x, end): one
// source row across, the taps gathered.
void ResampleRow(const float* HWY_RESTRICT src, const int32_t* HWY_RESTRICT idx, const float* HWY_RESTRICT w,
                 int taps, size_t n, float* HWY_RESTRICT dst, size_t x, size_t end) {
  const hn::ScalableTag<float> d;
  const hn::RebindToSigned<decltype(d)> di;
  const size_t N = hn::Lanes(d);
  for (; x + N <= end; x += N) {
    auto acc = hn::Mul(hn::LoadU(d, w + x), hn::GatherIndex(d, src, hn::LoadU(di, idx + x)));
    for (int k = 1; k < taps; ++k)
      acc = hn::MulAdd(hn::LoadU(d, w + k * n + x), hn::GatherIndex(d, src, hn::LoadU(di, idx + k * n + x)), acc);
    hn::StoreU(acc, d, dst + x);
  }
  for (; x < end; ++x) {
    float s = w[x] * src[idx[x]];
    for (int k = 1; k < taps; ++k) s += w[k * n + x] * src[idx[k * n + x]];
    dst[x] = s;
  }
}

// The same row when the axis doubles: inside its periodic range the two
// phases are short filters over consecutive source values, interleaved on
// store, with no gathers.
void ResampleRowAcross(const float* HWY_RESTRICT src, const ResizeAxis& c, float* HWY_RESTRICT dst) {
  const size_t n = static_cast<size_t>(c.out);
  if (c.j0 >= c.j1) return ResampleRow(src, c.idx.data(), c.w.data(), c.taps, n, dst, 0, n);
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  size_t j = static_cast<size_t>(c.j0);
  ResampleRow(src, c.idx.data(), c.w.data(), c.taps, n, dst, 0, 2 * j);
  for (; j + N <= static_cast<size_t>(c.j1); j += N) {
    const float* s0 = src + j + c.off[0];
    const float* s1 = src + j + c.off[1];
    auto v0 = hn::Mul(hn::Set(d, c.pw[0][0]), hn::LoadU(d, s0));
    auto v1 = hn::Mul(hn::Set(d, c.pw[1][0]), hn::LoadU(d, s1));
    for (int k = 1; k < c.taps; ++k) {
      v0 = hn::MulAdd(hn::Set(d, c.pw[0][k]), hn::LoadU(d, s0 + k), v0);
      v1 = hn::MulAdd(hn::Set(d, c.pw[1][k]), hn::LoadU(d, s1 + k), v1);
    }
    hn::StoreInterleaved2(v0, v1, d, dst + 2 * j);
  }
  ResampleRow(src, c.idx.data(), c.w.data(), c.taps, n, dst, 2 * j, n);
}

// dst = sum over k of wk[k] rows[k]: one output row down.
void BlendRows(const float* const* rows, const float* wk, int taps, size_t n, float* HWY_RESTRICT dst) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  size_t x = 0;
  for (; x + N <= n; x += N) {
    auto acc = hn::Mul(hn::Set(d, wk[0]), hn::LoadU(d, rows[0] + x));
    for (int k = 1; k < taps; ++k) acc = hn::MulAdd(hn::Set(d, wk[k]), hn::LoadU(d, rows[k] + x), acc);
    hn::StoreU(acc, d, dst + x);
  }
  for (; x < n; ++x) {
    float s = wk[0] * rows[0][x];
    for (int k = 1; k < taps; ++k) s += wk[k] * rows[k][x];
    dst[x] = s;
  }
}

// The source rows the band reads are resampled across into `across`
// (consecutive rows of cols.out floats from row `lo`), then blended down.
void ResizeBand(const float* HWY_RESTRICT in, const ResizeAxis& rows, const ResizeAxis& cols, float* HWY_RESTRICT out,
                int y0, int y1, float* HWY_RESTRICT across) {
  const size_t wo = static_cast<size_t>(cols.out), ro = static_cast<size_t>(rows.out);
  const int lo = rows.idx[y0], hi = rows.idx[(rows.taps - 1) * ro + (y1 - 1)];
  for (int r = lo; r <= hi; ++r)
    ResampleRowAcross(in + static_cast<size_t>(r) * cols.in, cols, across + static_cast<size_t>(r - lo) * wo);
  const float* src[4];
  float wk[4];
  for (int y = y0; y < y1; ++y) {
    for (int k = 0; k < rows.taps; ++k) {
      src[k] = across + static_cast<size_t>(rows.idx[k * ro + y] - lo) * wo;
      wk[k] = rows.w[k * ro + y];
    }
    BlendRows(src, wk, rows.taps, wo, out + static_cast<size_t>(y) * wo);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le {

HWY_EXPORT(ResizeBand);

int64_t resizedLength(int64_t in, float scale) {
  // The standard operator truncates the float product.
  return static_cast<int64_t>(scale * static_cast<float>(in));
}

ResizeAxis resizeAxis(int in, int out, float scale, bool cubic, float a) {
  ResizeAxis ax;
  ax.in = in;
  ax.out = out;
  ax.taps = cubic ? 4 : 2;
  ax.idx.resize(static_cast<size_t>(ax.taps) * out);
  ax.w.resize(ax.idx.size());
  const auto clampIndex = [in](int64_t i) { return static_cast<int32_t>(std::clamp<int64_t>(i, 0, in - 1)); };
  for (int o = 0; o < out; ++o) {
    const float p = (static_cast<float>(o) + 0.5f) / scale - 0.5f;  // half-pixel centres
    if (cubic) {
      // Keys' kernel at the four distances; taps beyond an edge read the edge.
      const float fl = std::floor(p);
      const double t = p - fl;
      const auto keys = [a = static_cast<double>(a)](double s) {
        return s <= 1.0 ? ((a + 2) * s - (a + 3)) * s * s + 1 : ((s - 5) * s + 8) * s * a - 4 * a;
      };
      const double dist[4] = {t + 1, t, 1 - t, 2 - t};
      for (int k = 0; k < 4; ++k) {
        ax.idx[static_cast<size_t>(k) * out + o] = clampIndex(static_cast<int64_t>(fl) - 1 + k);
        ax.w[static_cast<size_t>(k) * out + o] = static_cast<float>(keys(dist[k]));
      }
    } else {
      // Linear clamps the position itself, so an edge output is the edge value.
      const float c = std::clamp(p, 0.0f, static_cast<float>(in - 1));
      const int i0 = static_cast<int>(c);
      const float t = c - static_cast<float>(i0);
      ax.idx[o] = i0;
      ax.idx[static_cast<size_t>(out) + o] = std::min(i0 + 1, in - 1);
      ax.w[o] = 1.0f - t;
      ax.w[static_cast<size_t>(out) + o] = t;
    }
  }
  // Doubling, every position is j + 0.25 or j - 0.25, exact in float, so the
  // taps of the middle pair hold wherever no tap is clamped.
  if (scale == 2.0f && out == 2 * in && in >= 8) {
    const int j = in / 2;
    for (int p = 0; p < 2; ++p) {
      ax.off[p] = ax.idx[2 * j + p] - j;
      for (int k = 0; k < ax.taps; ++k) ax.pw[p][k] = ax.w[static_cast<size_t>(k) * out + 2 * j + p];
    }
    ax.j0 = std::max({0, -ax.off[0], -ax.off[1]});
    ax.j1 = in - (std::max(ax.off[0], ax.off[1]) + ax.taps - 1);
  }
  return ax;
}

void separableResizeBand(const float* in, const ResizeAxis& rows, const ResizeAxis& cols, float* out, int y0,
                         int y1) {
  y0 = std::max(y0, 0);
  y1 = std::min(y1, rows.out);
  if (y0 >= y1 || cols.out <= 0 || rows.in <= 0 || cols.in <= 0) return;
  const int lo = rows.idx[y0], hi = rows.idx[static_cast<size_t>(rows.taps - 1) * rows.out + (y1 - 1)];
  thread_local std::vector<float> across;
  across.resize(static_cast<size_t>(hi - lo + 1) * cols.out);
  HWY_DYNAMIC_DISPATCH(ResizeBand)(in, rows, cols, out, y0, y1, across.data());
}

void resize_band_fn(void* args, size_t item) {
  const ResizeBandArgs& a = *static_cast<const ResizeBandArgs*>(args);
  const size_t plane = item / a.bands;
  const int y0 = static_cast<int>(item % a.bands) * kResizeBandRows;
  separableResizeBand(a.in + plane * a.rows->in * a.cols->in, *a.rows, *a.cols,
                      a.out + plane * a.rows->out * a.cols->out, y0, y0 + kResizeBandRows);
}

}  // namespace le
#endif  // HWY_ONCE
