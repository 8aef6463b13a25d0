#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>

#include "bundle/identity.h"
#include "render/renderer_impl.h"
#include "simd/kernels.h"

namespace le {

namespace {

// Slot `to` of a per-frame buffer becomes a copy of slot `from`.
void copySlot(std::vector<float>& buffer, size_t stride, size_t from, size_t to) {
  std::copy_n(buffer.data() + from * stride, stride, buffer.data() + to * stride);
}

}  // namespace

void Renderer::Impl::stageInputs(const int* si, const float* kpS, const float* kpD, int n) {
  const size_t frames = static_cast<size_t>(n);
  for (size_t b = 0; b < frames; ++b) {
    simd::f16ToF32(identity->pooled64(si[b]), pooled.data() + b * pooledFloats, pooledFloats);
    if (featSynth)
      simd::f16ToF32(identity->fsRed(si[b]), fs.data() + b * fsFloats, fsFloats);
    else
      simd::f16ToF32(identity->P(si[b]), P.data() + b * pFloats, pFloats);
    if (lipDelivery && !featSynth) rasteriseLip(b, kpD + b * kKpFloats);
  }
  std::copy_n(kpS, frames * kKpFloats, kpSource.data());
  std::copy_n(kpD, frames * kKpFloats, kpDriving.data());
  // Padding slots repeat the last real frame so the whole batch stays valid input.
  for (size_t b = frames; b < static_cast<size_t>(batch); ++b) {
    copySlot(pooled, pooledFloats, frames - 1, b);
    if (featSynth)
      copySlot(fs, fsFloats, frames - 1, b);
    else
      copySlot(P, pFloats, frames - 1, b);
    copySlot(kpSource, kKpFloats, frames - 1, b);
    copySlot(kpDriving, kKpFloats, frames - 1, b);
    if (lipDelivery && !featSynth) copySlot(lipCanvas, static_cast<size_t>(crop) * crop, frames - 1, b);
  }
}

void Renderer::Impl::rasteriseLip(size_t b, const float* kpD) {
  // A bound graph without a contour keeps its 1.0 fill: the graph's own ellipse.
  if (lip) lip->contourF32Canvas(kpD, lipCanvas.data() + b * static_cast<size_t>(crop) * crop);
}

void Renderer::Impl::runDirector() {
  const auto t0 = std::chrono::steady_clock::now();
  session->Run(runOptions, *binding);
  runMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  ++runs;
}

const float* Renderer::Impl::renderNative(const int* si, const float* kpS, const float* kpD, int n) {
  const size_t pHalves = static_cast<size_t>(crop) * crop * 3;
  if (PFromPrior && PStaging.size() < static_cast<size_t>(n) * pHalves)
    PStaging.resize(static_cast<size_t>(n) * pHalves);
  for (int i = 0; i < n; ++i) {
    pooledPtrs[i] = identity->pooled64(si[i]);
    const uint16_t* p = identity->P(si[i]);
    if (PFromPrior) {
      // A prior frame lives only while the cursor retains it.
      std::copy_n(p, pHalves, PStaging.data() + static_cast<size_t>(i) * pHalves);
      p = PStaging.data() + static_cast<size_t>(i) * pHalves;
    }
    PPtrs[i] = p;
  }
  return native->render(pooledPtrs.data(), PPtrs.data(), kpS, kpD, n, out.data());
}

const float* Renderer::Impl::renderHoisted(int si, const float* kpS, const float* kpD) {
  const int slot = ring->acquire(si);
  binding->BindInput(boundaryName.c_str(), ringSlots[static_cast<size_t>(slot)].tensor);
  simd::f16ToF32(identity->pooled64(si), pooled.data(), pooledFloats);
  std::copy_n(kpS, kKpFloats, kpSource.data());
  std::copy_n(kpD, kKpFloats, kpDriving.data());
  if (lipDelivery) rasteriseLip(0, kpD);
  ring->prefetch(si);  // overlaps the next source frame's cone with this run
  runDirector();
  return out.data();
}

const float* Renderer::render(const int* si, const float* kpSource, const float* kpDriving, int n) {
  Impl& im = *impl_;
  if (n < 1 || n > im.batch) throw std::runtime_error("render: bad n");
  // Indices arrive from motion rows and hosts; a bad one must not read
  // outside the identity's arrays.
  for (int i = 0; i < n; ++i)
    if (si[i] < 0 || si[i] >= im.identity->NT)
      throw std::runtime_error("render: identity frame " + std::to_string(si[i]) + " outside [0, " +
                               std::to_string(im.identity->NT) + ")");
  if (im.native) return im.renderNative(si, kpSource, kpDriving, n);
  if (im.ring) return im.renderHoisted(si[0], kpSource, kpDriving);
  im.stageInputs(si, kpSource, kpDriving, n);
  im.runDirector();
  return im.out.data();
}

int Renderer::batch() const { return impl_->batch; }

void Renderer::cancel(bool on) {
  if (on)
    impl_->runOptions.SetTerminate();
  else
    impl_->runOptions.UnsetTerminate();
}

const char* Renderer::ep() const { return impl_->epName.c_str(); }

const char* Renderer::backend() const { return impl_->native ? "neon" : "ort"; }

const char* Renderer::directorNote() const { return impl_->directorNote.c_str(); }

}  // namespace le
