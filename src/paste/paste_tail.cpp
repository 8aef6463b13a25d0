// The per-frame resample-and-blend over the footprint rectangle.
#include <cstddef>

#include "paste/paste.h"
#include "paste/small_window.h"
#include "pool/pool.h"
#include "simd/kernels.h"

namespace le {

void Paste::compositeTail(uint8_t* frame, int W, int x0, int x1, int y0, int y1) {
  if (mode_ == kLanczos8) {
    lanczosTail(frame, W, x0, x1, y0, y1);
    return;
  }
  SmallWindowRow proto{{planes_[0].data(), planes_[1].data(), planes_[2].data()},
                       side_,
                       mask_.data(),
                       &taps_.bilinear[0][0],
                       inverse_.colX(),
                       inverse_.colY(),
                       0,
                       0};
  const size_t rowBytes = static_cast<size_t>(W) * 3;
  pool::parallelRange(static_cast<size_t>(y1 - y0 + 1), kRowGrain, [&](size_t begin, size_t end) {
    SmallWindowRow row = proto;
    for (size_t i = begin; i < end; ++i) {
      const int Y = y0 + static_cast<int>(i);
      row.baseX = inverse_.rowBaseX(Y);
      row.baseY = inverse_.rowBaseY(Y);
      uint8_t* out = frame + static_cast<size_t>(Y) * rowBytes;
      if (mode_ == kBicubic)
        pasteCubicRow(row, &taps_.cubic[0][0], x0, x1, out);
      else
        pasteBilinearRow(row, x0, x1, out);
    }
  });
}

// The interleaved crop was filled while sharpening.
void Paste::lanczosTail(uint8_t* frame, int W, int x0, int x1, int y0, int y1) {
  const size_t rowBytes = static_cast<size_t>(W) * 3;
  pool::parallelRange(static_cast<size_t>(y1 - y0 + 1), kRowGrain, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      const int Y = y0 + static_cast<int>(i);
      simd::pasteLanczos8Row(interleaved_.data(), side_, mask_.data(), &taps_.lanczos[0][0], &taps_.bilinear[0][0],
                             inverse_.colX(), inverse_.colY(), inverse_.rowBaseX(Y), inverse_.rowBaseY(Y), x0, x1,
                             frame + static_cast<size_t>(Y) * rowBytes);
    }
  });
}

}  // namespace le
