#include "bundle/drive.h"

#include <stdexcept>

#include "base/keypoints.h"
#include "bundle/mapped_file.h"

namespace le {

Drive loadDrive(const Manifest& m) {
  Drive d;
  d.n = m.frames;
  const size_t n = static_cast<size_t>(m.frames < 0 ? 0 : m.frames);
  d.xs = readRawF32(resolveMember(m.dir, "drive/xs.f32"), n * kKpFloats);
  d.xd = readRawF32(resolveMember(m.dir, "drive/xd.f32"), n * kKpFloats);
  d.si = readRawI32(resolveMember(m.dir, "drive/si.i32"), n);
  for (const int32_t s : d.si)
    if (s < 0 || s >= m.NT) throw std::runtime_error("drive: si out of range");
  return d;
}

}  // namespace le
