// The native engine for the fused m4b director. The model file only supplies
// weights; the network is written out here, phase by phase:
//   A      per frame at 32x32 and below: keypoint heat maps beside pooled64,
//          the pre layer, the encoder, the coefficient head, the decoder, the
//          flow and occlusion maps;
//   basis  the coefficient rows times the basis, 16 columns an item;
//   shared the basis images upsampled to the crop, 48 items (3 channels x 16 bands);
//   B      per frame: warp, occlusion and the basis mix in row bands, the
//          correction convolutions at half resolution in row bands, and the
//          tile refinement, one 64x64 output tile an item.
// Convolutions and the basis product run in half precision (conv_kernels);
// sampling positions, resizes and the dense head stay in float.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "base/env.h"
#include "render/conv_backend.h"
#include "render/conv_kernels.h"
#include "render/conv_model.h"
#include "render/m4b_topology.h"
#include "render/phase_pool.h"
#include "simd/kernels.h"

#if defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace le {

namespace {

using conv::half_t;
using conv::HalfBuffer;
using conv::HalfMaps;
using conv::PackedConv;

constexpr int kCrop = 512, kPlane = kCrop * kCrop, kLattice = 32, kBasisSide = 256, kHalfSide = 256;
constexpr int kTile = 64, kTilesPerFrame = 64, kBands = 16, kKpRows = 21, kPooled = 64, kPre = 96;
constexpr size_t kBasisCols = 196608, kBasisItems = kBasisCols / conv::kBasisColumns;
constexpr float kHeatScale = -50.0f;  // -1 / (2 sigma^2), sigma 0.1

bool cpuHasFp16() {
#if defined(__aarch64__)
  const unsigned long caps = getauxval(AT_HWCAP);
  return (caps & HWCAP_FPHP) && (caps & HWCAP_ASIMDHP);
#else
  return false;
#endif
}

// n IEEE half values (as stored in the bundle) into the engine's half type.
void loadHalves(const uint16_t* src, half_t* dst, size_t n) {
#if defined(__aarch64__)
  std::memcpy(dst, src, n * sizeof(uint16_t));
#else
  simd::f16ToF32(src, dst, n);
#endif
}

float sigmoid(float v) { return 1.0f / (1.0f + std::exp(-v)); }

// A linear resize's source taps along one axis (half_pixel, clamped), as the
// runtime computes them.
struct Taps {
  int i0, i1;
  float w0, w1;
};
Taps linearTaps(int out, float scale, int n) {
  float in = (static_cast<float>(out) + 0.5f) / scale - 0.5f;
  in = std::min(std::max(in, 0.0f), static_cast<float>(n - 1));
  Taps t;
  t.i0 = static_cast<int>(in);
  t.i1 = std::min(t.i0 + 1, n - 1);
  t.w1 = in - static_cast<float>(t.i0);
  t.w0 = 1.0f - t.w1;
  return t;
}

template <class At>
float bilinear(const Taps& ty, const Taps& tx, At at) {
  return ty.w0 * (tx.w0 * at(ty.i0, tx.i0) + tx.w1 * at(ty.i0, tx.i1)) +
         ty.w1 * (tx.w0 * at(ty.i1, tx.i0) + tx.w1 * at(ty.i1, tx.i1));
}

struct Dense {
  int in = 0, out = 0;
  std::vector<float> w, b;  // w: [out][in]
  void apply(const float* x, float* y, bool relu) const {
    for (int o = 0; o < out; ++o) {
      float s = b[o];
      const float* row = w.data() + static_cast<size_t>(o) * in;
      for (int i = 0; i < in; ++i) s += row[i] * x[i];
      y[o] = relu ? std::max(s, 0.0f) : s;
    }
  }
};

// A layer's weights and bias, their counts checked before any is read.
std::pair<std::vector<float>, std::vector<float>> layerData(const ConvModel& m, const std::string& name,
                                                            const ConvTensor& weight, const ConvTensor* bias,
                                                            size_t weights, size_t biases) {
  const size_t foundW = weight.elements(), foundB = bias ? bias->elements() : 0;
  if (foundW != weights || foundB != biases)
    throw std::runtime_error("le_conv: layer " + name + " needs " + std::to_string(weights) + " weights / " +
                             std::to_string(biases) + " bias but the graph supplies " + std::to_string(foundW) +
                             " / " + std::to_string(foundB) +
                             " — refusing to pack (graph is not the m4b this kernel implements)");
  return {m.floats(weight), m.floats(*bias)};
}

// Per frame: the maps of phase A (concatenations share one buffer, each part
// written by its producer) and the 512 and 256 maps of phase B.
struct Frame {
  HalfBuffer x85, refIn, d0In, d1In, e2, d1, d0, ref, flowOcc;
  std::vector<float> P, coeff, gridAdd, occ32, flat, hidden;
  std::vector<half_t> pooledPlane;
  std::vector<half_t> basisImg, basis512, maskocc;
  HalfBuffer corrIn, corr0, corr1, corr2;
  std::vector<float> warped, occ512;  // only when dumping
};

// Per thread: the tile refinement's maps, and the warp's two rows.
struct TileScratch {
  HalfBuffer in, t0, t1, t2, t3;
  std::vector<float> refined, rows;
};

class Engine final : public ConvBackend {
 public:
  Engine(const std::string& path, int threads);
  int batch() const override { return batch_; }
  const float* render(const uint16_t* const* pooled64, const uint16_t* const* P, const float* kpSource,
                      const float* kpDriving, int n, float* out) override;

 private:
  void phaseA(int f, const uint16_t* pooled, const uint16_t* P, const float* ks, const float* kd);
  void basisItem(size_t item);
  void sharedItem(size_t item, int n);
  void warpBand(int f, int band, int thread);
  void tileItem(int f, int tile, int thread, float* out);
  void dump(const std::string& dir, int n) const;

  int batch_ = 0;
  M4bWidths w_;
  PackedConv pre_, e0_, e1_, e2_, d1_, d0_, ref_, flowOcc_, corr0_, corr1_, corr2_, tile0_, tile1_, tile2_, tile3_;
  Dense wmlp0_, wmlp2_;
  std::vector<float> grid32_, feather_;
  std::vector<half_t> grid64_, basis_;  // basis: per item [64][16]
  std::vector<Frame> frames_;
  std::vector<half_t> coeff_;                      // [groups * 4][64]
  std::vector<half_t> basisSpill_;                 // the product's rows for padding frames
  std::vector<TileScratch> scratch_;               // per thread
  std::vector<float> tile2Dump_, tile3Dump_;       // only when dumping
  bool dumping_ = false;
  PhasePool pool_;
};

Engine::Engine(const std::string& path, int threads) : pool_(std::max(threads, 1)) {
  const ConvModel m(path);
  const M4bTopology t = m4bResolve(m);
  batch_ = m.batch();
  w_ = t.widths;
  const auto conv = [&](const std::string& name, int out, int in, int k, const ConvTensor& weight,
                        const ConvTensor* bias) {
    const auto [wv, bv] = layerData(m, name, weight, bias, static_cast<size_t>(out) * in * k * k, out);
    return conv::packConv(wv.data(), bv.data(), out, in, k);
  };
  const auto named = [&](const M4bLayer& l) {
    return conv(l.name, l.out, l.in, l.k, m.need(l.name + ".weight"), m.find(l.name + ".bias"));
  };
  const auto layer = [&](const char* name) {
    return *std::find_if(t.layers.begin(), t.layers.end(), [&](const M4bLayer& l) { return l.name == name; });
  };
  pre_ = conv("pre", kPre, kPooled + kKpRows, 1, *t.preWeight, t.preBias);
  e0_ = named(layer("s.e0.conv")), e1_ = named(layer("s.e1.conv")), e2_ = named(layer("s.e2.conv"));
  d1_ = named(layer("s.d1.conv")), d0_ = named(layer("s.d0.conv")), ref_ = named(layer("s.ref.conv"));
  corr0_ = named(layer("s.corr.0.conv")), corr1_ = named(layer("s.corr.1.conv")), corr2_ = named(layer("s.corr.2"));
  tile0_ = named(layer("s.tile.0.conv")), tile1_ = named(layer("s.tile.1.conv"));
  tile2_ = named(layer("s.tile.2.conv")), tile3_ = named(layer("s.tile.3"));
  {
    // The flow (2 channels) and the occlusion logit (1) read the same map: one layer of three.
    auto [mw, mb] = layerData(m, "s.mask", m.need("s.mask.weight"), m.find("s.mask.bias"), 2 * w_.ref * 9, 2);
    auto [ow, ob] = layerData(m, "s.occ", m.need("s.occ.weight"), m.find("s.occ.bias"), w_.ref * 9, 1);
    mw.insert(mw.end(), ow.begin(), ow.end());
    mb.insert(mb.end(), ob.begin(), ob.end());
    flowOcc_ = conv::packConv(mw.data(), mb.data(), 3, w_.ref, 3);
  }
  const auto dense = [&](const M4bLayer& l) {
    Dense d;
    d.in = l.in, d.out = l.out;
    std::tie(d.w, d.b) = layerData(m, l.name, m.need(l.name + ".weight"), m.find(l.name + ".bias"), l.weights(), l.out);
    return d;
  };
  wmlp0_ = dense(layer("s.wmlp.0")), wmlp2_ = dense(layer("s.wmlp.2"));
  grid32_ = m.floats(*t.grid32);
  const auto tensor = [&](const char* name, size_t count) {
    std::vector<float> v = m.floats(m.need(name));
    if (v.size() != count)
      throw std::runtime_error(std::string("le_conv: ") + name + " holds " + std::to_string(v.size()) +
                               " values where the m4b has " + std::to_string(count));
    return v;
  };
  feather_ = tensor("s.feather", kTile * kTile);
  for (float v : tensor("s.grid64", 2 * kTile * kTile)) grid64_.push_back(conv::toHalf(v));
  {
    const std::vector<float> basis = m.floats(*t.basis);
    basis_.resize(basis.size());
    for (size_t item = 0; item < kBasisItems; ++item)
      for (int k = 0; k < conv::kBasisRank; ++k)
        for (int c = 0; c < conv::kBasisColumns; ++c)
          basis_[(item * conv::kBasisRank + k) * conv::kBasisColumns + c] =
              conv::toHalf(basis[k * kBasisCols + item * conv::kBasisColumns + c]);
  }

  frames_.resize(static_cast<size_t>(batch_));
  for (Frame& f : frames_) {
    f.x85.allocate(kPooled + kKpRows, kLattice, kLattice, 0);
    f.refIn.allocate(w_.d0 + kPre, kLattice, kLattice, 1);
    f.d0In.allocate(w_.d1 + w_.e0, 16, 16, 1);
    f.d1In.allocate(w_.e2 + w_.e1, 8, 8, 1);
    f.e2.allocate(w_.e2, 4, 4, 1);
    f.d1.allocate(w_.d1, 8, 8, 0);
    f.d0.allocate(w_.d0, 16, 16, 0);
    f.ref.allocate(w_.ref, kLattice, kLattice, 1);
    f.flowOcc.allocate(3, kLattice, kLattice, 0);
    f.P.resize(3 * kPlane);
    f.coeff.resize(conv::kBasisRank);
    f.flat.resize(static_cast<size_t>(w_.e2) * 16);
    f.hidden.resize(static_cast<size_t>(w_.hidden));
    f.pooledPlane.resize(kLattice * kLattice);
    f.gridAdd.resize(kLattice * kLattice * 2);
    f.occ32.resize(kLattice * kLattice);
    f.basisImg.resize(kBasisCols);
    f.basis512.resize(3 * kPlane);
    f.maskocc.resize(3 * kPlane);
    f.corrIn.allocate(7, kHalfSide, kHalfSide, 1);
    f.corr0.allocate(w_.corr, kHalfSide, kHalfSide, 1);
    f.corr1.allocate(w_.corr, kHalfSide, kHalfSide, 1);
    f.corr2.allocate(3, kHalfSide, kHalfSide, 0);
  }
  const int groups = (batch_ + 3) / 4;
  coeff_.assign(static_cast<size_t>(groups) * 4 * conv::kBasisRank, half_t(0));
  basisSpill_.resize(kBasisCols);
  scratch_.resize(static_cast<size_t>(pool_.threads()));
  for (TileScratch& s : scratch_) {
    s.in.allocate(5, kTile, kTile, 1);
    s.t0.allocate(w_.tile, kTile, kTile, 1);
    s.t1.allocate(w_.tile, kTile, kTile, 1);
    s.t2.allocate(w_.tile, kTile, kTile, 1);
    s.t3.allocate(3, kTile, kTile, 0);
    s.refined.resize(3 * kTile * kTile);
    s.rows.resize(7 * 2 * kCrop);
  }
}

void Engine::phaseA(int fi, const uint16_t* pooled, const uint16_t* P, const float* ks, const float* kd) {
  Frame& f = frames_[static_cast<size_t>(fi)];
  simd::f16ToF32(P, f.P.data(), 3 * static_cast<size_t>(kPlane));
  const HalfMaps& x85 = f.x85.maps();
  std::vector<half_t>& plane = f.pooledPlane;
  for (int c = 0; c < kPooled; ++c) {
    loadHalves(pooled + static_cast<size_t>(c) * kLattice * kLattice, plane.data(), plane.size());
    for (int y = 0; y < kLattice; ++y) std::copy_n(plane.data() + y * kLattice, kLattice, x85.at(c, y, 0));
  }
  // Heat maps on the lattice of pixel centres: driven minus source keypoints.
  for (int k = 0; k < kKpRows; ++k)
    for (int y = 0; y < kLattice; ++y)
      for (int x = 0; x < kLattice; ++x) {
        const float px = (2.0f * x + 1.0f) / kLattice - 1.0f, py = (2.0f * y + 1.0f) / kLattice - 1.0f;
        const auto heat = [&](const float* kp) {
          const float dx = px - kp[k * 3], dy = py - kp[k * 3 + 1];
          return std::exp((dx * dx + dy * dy) * kHeatScale);
        };
        *x85.at(kPooled + k, y, x) = conv::toHalf(heat(kd) - heat(ks));
      }

  const HalfMaps preOut = f.refIn.maps().channels(w_.d0, kPre);
  const HalfMaps e0Out = f.d0In.maps().channels(w_.d1, w_.e0);
  const HalfMaps e1Out = f.d1In.maps().channels(w_.e2, w_.e1);
  conv::convRows(pre_, x85, preOut, 1, true, 0, kLattice);
  conv::convRows(e0_, preOut, e0Out, 2, true, 0, 16);
  conv::convRows(e1_, e0Out, e1Out, 2, true, 0, 8);
  conv::convRows(e2_, e1Out, f.e2.maps(), 2, true, 0, 4);

  for (int c = 0; c < w_.e2; ++c)
    for (int i = 0; i < 16; ++i) f.flat[c * 16 + i] = conv::fromHalf(*f.e2.maps().at(c, i / 4, i % 4));
  wmlp0_.apply(f.flat.data(), f.hidden.data(), true);
  wmlp2_.apply(f.hidden.data(), f.coeff.data(), false);

  // Decoder: the coarser map doubled (nearest) into the first channels of the
  // next input, whose other channels the encoder already wrote.
  const auto doubleInto = [](const HalfMaps& from, const HalfMaps& to) {
    for (int c = 0; c < from.C; ++c)
      for (int y = 0; y < to.H; ++y)
        for (int x = 0; x < to.W; ++x) *to.at(c, y, x) = *from.at(c, y / 2, x / 2);
  };
  doubleInto(f.e2.maps(), f.d1In.maps().channels(0, w_.e2));
  conv::convRows(d1_, f.d1In.maps(), f.d1.maps(), 1, true, 0, 8);
  doubleInto(f.d1.maps(), f.d0In.maps().channels(0, w_.d1));
  conv::convRows(d0_, f.d0In.maps(), f.d0.maps(), 1, true, 0, 16);
  doubleInto(f.d0.maps(), f.refIn.maps().channels(0, w_.d0));
  conv::convRows(ref_, f.refIn.maps(), f.ref.maps(), 1, true, 0, kLattice);
  conv::convRows(flowOcc_, f.ref.maps(), f.flowOcc.maps(), 1, false, 0, kLattice);

  for (int y = 0; y < kLattice; ++y)
    for (int x = 0; x < kLattice; ++x) {
      const size_t i = static_cast<size_t>(y) * kLattice + x;
      for (int a = 0; a < 2; ++a)
        f.gridAdd[i * 2 + a] = grid32_[i * 2 + a] + conv::fromHalf(*f.flowOcc.maps().at(a, y, x));
      f.occ32[i] = sigmoid(conv::fromHalf(*f.flowOcc.maps().at(2, y, x)));
    }
}

void Engine::basisItem(size_t item) {
  const size_t group = item / kBasisItems, column = (item % kBasisItems) * conv::kBasisColumns;
  half_t* out[4];
  for (int j = 0; j < 4; ++j) {
    const size_t f = group * 4 + j;
    out[j] = f < static_cast<size_t>(batch_) ? frames_[f].basisImg.data() : basisSpill_.data();
  }
  conv::basisColumns(coeff_.data() + group * 4 * conv::kBasisRank,
                     basis_.data() + (item % kBasisItems) * conv::kBasisRank * conv::kBasisColumns, out, column);
}

void Engine::sharedItem(size_t item, int n) {
  const int c = static_cast<int>(item / kBands), band = static_cast<int>(item % kBands);
  const int rows = kCrop / kBands;
  for (int fi = 0; fi < n; ++fi) {
    Frame& f = frames_[static_cast<size_t>(fi)];
    const half_t* src = f.basisImg.data() + static_cast<size_t>(c) * kBasisSide * kBasisSide;
    half_t* dst = f.basis512.data() + static_cast<size_t>(c) * kPlane;
    for (int y = band * rows; y < (band + 1) * rows; ++y) {
      const Taps ty = linearTaps(y, 2.0f, kBasisSide);
      for (int x = 0; x < kCrop; ++x) {
        const Taps tx = linearTaps(x, 2.0f, kBasisSide);
        dst[static_cast<size_t>(y) * kCrop + x] = conv::toHalf(
            bilinear(ty, tx, [&](int i, int j) { return conv::fromHalf(src[i * kBasisSide + j]); }));
      }
    }
  }
}

void Engine::warpBand(int fi, int band, int thread) {
  Frame& f = frames_[static_cast<size_t>(fi)];
  const int rows = kCrop / kBands;
  // Two rows at a time, so the half-resolution correction input can be pooled.
  std::vector<float>& pair = scratch_[static_cast<size_t>(thread)].rows;
  for (int y = band * rows; y < (band + 1) * rows; ++y) {
    const int r = y & 1;
    const Taps ty = linearTaps(y, 16.0f, kLattice);
    for (int x = 0; x < kCrop; ++x) {
      const Taps tx = linearTaps(x, 16.0f, kLattice);
      const float gx = bilinear(ty, tx, [&](int i, int j) { return f.gridAdd[(i * kLattice + j) * 2]; });
      const float gy = bilinear(ty, tx, [&](int i, int j) { return f.gridAdd[(i * kLattice + j) * 2 + 1]; });
      const float occ = bilinear(ty, tx, [&](int i, int j) { return f.occ32[i * kLattice + j]; });
      // Bilinear, border padding, align_corners 0.
      const float ix = std::min(std::max(((gx + 1.0f) * kCrop - 1.0f) * 0.5f, 0.0f), kCrop - 1.0f);
      const float iy = std::min(std::max(((gy + 1.0f) * kCrop - 1.0f) * 0.5f, 0.0f), kCrop - 1.0f);
      const int x0 = static_cast<int>(ix), y0 = static_cast<int>(iy);
      const float fx = ix - static_cast<float>(x0), fy = iy - static_cast<float>(y0);
      const Taps wx{x0, std::min(x0 + 1, kCrop - 1), 1.0f - fx, fx}, wy{y0, std::min(y0 + 1, kCrop - 1), 1.0f - fy, fy};
      const size_t at = static_cast<size_t>(y) * kCrop + x;
      for (int c = 0; c < 3; ++c) {
        const float* plane = f.P.data() + static_cast<size_t>(c) * kPlane;
        const float warped = bilinear(wy, wx, [&](int i, int j) { return plane[i * kCrop + j]; });
        const float basis = conv::fromHalf(f.basis512[c * static_cast<size_t>(kPlane) + at]);
        const float mixed = warped * occ + basis * (1.0f - occ);
        f.maskocc[c * static_cast<size_t>(kPlane) + at] = conv::toHalf(mixed);
        pair[(c * 2 + r) * kCrop + x] = mixed;
        pair[((3 + c) * 2 + r) * kCrop + x] = warped;
        if (dumping_) f.warped[c * static_cast<size_t>(kPlane) + at] = warped;
      }
      pair[(6 * 2 + r) * kCrop + x] = occ;
      if (dumping_) f.occ512[at] = occ;
    }
    if (r == 0) continue;
    const HalfMaps& in = f.corrIn.maps();
    for (int c = 0; c < 7; ++c) {
      const float* a = pair.data() + c * 2 * kCrop;
      for (int x = 0; x < kHalfSide; ++x)
        *in.at(c, y / 2, x) =
            conv::toHalf((a[2 * x] + a[2 * x + 1] + a[kCrop + 2 * x] + a[kCrop + 2 * x + 1]) * 0.25f);
    }
  }
}

void Engine::tileItem(int fi, int t, int thread, float* out) {
  const Frame& f = frames_[static_cast<size_t>(fi)];
  TileScratch& s = scratch_[static_cast<size_t>(thread)];
  const int Y0 = (t / 8) * kTile, X0 = (t % 8) * kTile;
  const HalfMaps& in = s.in.maps();
  const HalfMaps& c2 = f.corr2.maps();
  for (int i = 0; i < kTile; ++i) {
    const Taps ty = linearTaps(Y0 + i, 2.0f, kHalfSide);
    for (int j = 0; j < kTile; ++j) {
      const Taps tx = linearTaps(X0 + j, 2.0f, kHalfSide);
      const size_t at = static_cast<size_t>(Y0 + i) * kCrop + X0 + j;
      for (int c = 0; c < 3; ++c) {
        const float up = bilinear(ty, tx, [&](int a, int b) { return conv::fromHalf(*c2.at(c, a, b)); });
        const float refined = conv::fromHalf(f.maskocc[c * static_cast<size_t>(kPlane) + at]) + up;
        s.refined[(c * kTile + i) * kTile + j] = refined;
        *in.at(c, i, j) = conv::toHalf(refined);
      }
      for (int c = 0; c < 2; ++c) *in.at(3 + c, i, j) = grid64_[(c * kTile + i) * kTile + j];
    }
  }
  conv::convRows(tile0_, in, s.t0.maps(), 1, true, 0, kTile);
  conv::convRows(tile1_, s.t0.maps(), s.t1.maps(), 1, true, 0, kTile);
  conv::convRows(tile2_, s.t1.maps(), s.t2.maps(), 1, true, 0, kTile);
  conv::convRows(tile3_, s.t2.maps(), s.t3.maps(), 1, false, 0, kTile);
  for (int c = 0; c < 3; ++c)
    for (int i = 0; i < kTile; ++i)
      for (int j = 0; j < kTile; ++j) {
        const float v = s.refined[(c * kTile + i) * kTile + j] +
                        conv::fromHalf(*s.t3.maps().at(c, i, j)) * feather_[i * kTile + j];
        out[(static_cast<size_t>(fi) * 3 + c) * kPlane + static_cast<size_t>(Y0 + i) * kCrop + X0 + j] =
            std::min(std::max(v, 0.0f), 1.0f);
      }
  if (!dumping_) return;
  const size_t tileIndex = static_cast<size_t>(fi) * kTilesPerFrame + t;
  const auto copy = [&](const HalfMaps& m, std::vector<float>& to) {
    for (int c = 0; c < m.C; ++c)
      for (int i = 0; i < kTile; ++i)
        for (int j = 0; j < kTile; ++j)
          to[((tileIndex * m.C + c) * kTile + i) * kTile + j] = conv::fromHalf(*m.at(c, i, j));
  };
  copy(s.t2.maps(), tile2Dump_);
  copy(s.t3.maps(), tile3Dump_);
}

const float* Engine::render(const uint16_t* const* pooled64, const uint16_t* const* P, const float* kpSource,
                            const float* kpDriving, int n, float* out) {
  if (n < 1 || n > batch_) throw std::runtime_error("le_conv: bad n");
  const std::string dumpDir = env::text("LE_CONV_DUMP");
  dumping_ = !dumpDir.empty();
  if (dumping_) {
    for (Frame& f : frames_) f.warped.resize(3 * kPlane), f.occ512.resize(kPlane);
    tile2Dump_.resize(static_cast<size_t>(n) * kTilesPerFrame * w_.tile * kTile * kTile);
    tile3Dump_.resize(static_cast<size_t>(n) * kTilesPerFrame * 3 * kTile * kTile);
  }
  const size_t kp = kKpRows * 3;
  pool_.run(static_cast<size_t>(n), [&](size_t f, int) {
    phaseA(static_cast<int>(f), pooled64[f], P[f], kpSource + f * kp, kpDriving + f * kp);
  });
  // Coefficient rows in half, frames padded to a multiple of four with zeros.
  std::fill(coeff_.begin(), coeff_.end(), half_t(0));
  for (int f = 0; f < n; ++f)
    for (int k = 0; k < conv::kBasisRank; ++k)
      coeff_[static_cast<size_t>(f) * conv::kBasisRank + k] = conv::toHalf(frames_[f].coeff[k]);
  pool_.run(kBasisItems * static_cast<size_t>((n + 3) / 4), [&](size_t item, int) { basisItem(item); });
  pool_.run(3 * kBands, [&](size_t item, int) { sharedItem(item, n); });
  pool_.run(static_cast<size_t>(n) * kBands, [&](size_t item, int thread) {
    warpBand(static_cast<int>(item / kBands), static_cast<int>(item % kBands), thread);
  });
  const int rows = kHalfSide / kBands;
  const auto corr = [&](const PackedConv& L, HalfBuffer Frame::*in, HalfBuffer Frame::*to, bool relu) {
    pool_.run(static_cast<size_t>(n) * kBands, [&](size_t item, int) {
      Frame& f = frames_[item / kBands];
      const int y0 = static_cast<int>(item % kBands) * rows;
      conv::convRows(L, (f.*in).maps(), (f.*to).maps(), 1, relu, y0, y0 + rows);
    });
  };
  corr(corr0_, &Frame::corrIn, &Frame::corr0, true);
  corr(corr1_, &Frame::corr0, &Frame::corr1, true);
  corr(corr2_, &Frame::corr1, &Frame::corr2, false);
  pool_.run(static_cast<size_t>(n) * kTilesPerFrame, [&](size_t item, int thread) {
    tileItem(static_cast<int>(item / kTilesPerFrame), static_cast<int>(item % kTilesPerFrame), thread, out);
  });
  if (dumping_) dump(dumpDir, n);
  return out;
}

void Engine::dump(const std::string& dir, int n) const {
  const auto write = [&](const char* name, const std::vector<float>& v) {
    if (FILE* fp = std::fopen((dir + "/" + name + ".f32").c_str(), "wb")) {
      std::fwrite(v.data(), sizeof(float), v.size(), fp);
      std::fclose(fp);
    }
  };
  // Each tensor of the n frames one after another, in the layout of the value the graph names so.
  const auto maps = [&](const char* name, HalfBuffer Frame::*buffer, int c0, int count) {
    std::vector<float> v;
    for (int fi = 0; fi < n; ++fi) {
      const HalfMaps m = (frames_[fi].*buffer).maps().channels(c0, count);
      for (int c = 0; c < m.C; ++c)
        for (int y = 0; y < m.H; ++y)
          for (int x = 0; x < m.W; ++x) v.push_back(conv::fromHalf(*m.at(c, y, x)));
    }
    write(name, v);
  };
  const auto floats = [&](const char* name, std::vector<float> Frame::*buffer) {
    std::vector<float> v;
    for (int fi = 0; fi < n; ++fi) v.insert(v.end(), (frames_[fi].*buffer).begin(), (frames_[fi].*buffer).end());
    write(name, v);
  };
  const auto halves = [&](const char* name, std::vector<half_t> Frame::*buffer) {
    std::vector<float> v;
    for (int fi = 0; fi < n; ++fi)
      for (half_t h : frames_[fi].*buffer) v.push_back(conv::fromHalf(h));
    write(name, v);
  };
  maps("pre_relu", &Frame::refIn, w_.d0, kPre);
  maps("e0_relu", &Frame::d0In, w_.d1, w_.e0);
  maps("e1_relu", &Frame::d1In, w_.e2, w_.e1);
  maps("e2_relu", &Frame::e2, 0, w_.e2);
  maps("d1_relu", &Frame::d1, 0, w_.d1);
  maps("d0_relu", &Frame::d0, 0, w_.d0);
  maps("ref_relu", &Frame::ref, 0, w_.ref);
  maps("mask_conv", &Frame::flowOcc, 0, 2);
  floats("occ_sig", &Frame::occ32);
  floats("grid_add", &Frame::gridAdd);
  halves("basisimg", &Frame::basisImg);
  floats("occ512", &Frame::occ512);
  floats("warped", &Frame::warped);
  halves("maskocc", &Frame::maskocc);
  maps("corr0_relu", &Frame::corr0, 0, w_.corr);
  maps("corr1_relu", &Frame::corr1, 0, w_.corr);
  maps("corr2_conv", &Frame::corr2, 0, 3);
  write("tile2_relu", tile2Dump_);
  write("tile3_conv", tile3Dump_);
}

}  // namespace

bool ConvBackend::available() { return true; }

bool ConvBackend::graphSupported(const std::string& modelPath) {
  try {
    const ConvModel m(modelPath);
    m4bResolve(m);
    return true;
  } catch (...) {
    return false;
  }
}

std::unique_ptr<ConvBackend> ConvBackend::create(const std::string& modelPath, int threads) {
  if (!cpuHasFp16()) throw ConvBackendUnsupportedCpu();
  return std::make_unique<Engine>(modelPath, threads);
}

std::unique_ptr<ConvBackend> ConvBackend::createPortable(const std::string& modelPath, int threads) {
#if defined(__aarch64__)
  return create(modelPath, threads);
#else
  return std::make_unique<Engine>(modelPath, threads);
#endif
}

}  // namespace le
