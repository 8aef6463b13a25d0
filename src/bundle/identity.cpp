#include "bundle/identity.h"

#include <stdexcept>
#include <utility>

#include "bundle/files.h"
#include "bundle/paths.h"
#include "simd/kernels.h"

namespace le {

namespace {

constexpr size_t kPooledBytes = 131072;  // 65536 halves per frame
constexpr size_t kFsRedBytes = 524288;   // 262144 halves per frame

bool memberExists(const std::string& dir, const std::string& name) { return pathExists(resolveMember(dir, name)); }

}  // namespace

void ensureIdentityMembers(const Manifest& m) {
  const std::string& name = m.members.rawPrior;
  const bool haveP = memberExists(m.dir, "P.f16");
  const bool haveFsRed = memberExists(m.dir, "fs_red.f16");
  if (name != "P.f16" && memberExists(m.dir, name) && !haveP && !haveFsRed)
    throw std::runtime_error("this bundle's manifest names its raw warp prior '" + name +
                             "' (P_rgb) but le::Identity maps the welded name P.f16 and would find nothing — it maps "
                             "NOTHING silently and Identity::P(si) is then an offset from a null pointer. REFUSING "
                             "rather than rendering off a prior nothing will read.");
  if (haveP || haveFsRed) return;
  if (!m.members.videoPriorNamed)
    throw std::runtime_error("this bundle carries neither " + name +
                             " nor fs_red.f16, and its manifest names no P_hevc member to play one from — the renderer "
                             "has no warp prior and le::Identity would hand it a null pointer. REFUSING to create a "
                             "session.");
  const std::string& hevc = m.members.videoPrior;
  const std::string path = resolveMember(m.dir, hevc);
  if (!pathExists(path))
    throw std::runtime_error("this bundle's manifest names P_hevc '" + hevc + "' and the file is not there (" + path +
                             ") — the renderer has no warp prior. REFUSING to create a session.");
}

Identity::Identity(const Manifest& m, PriorOpener openPrior)
    : NT(m.NT), crop(m.crop), manifest_(m), openPrior_(std::move(openPrior)) {
  ensureIdentityMembers(m);
  const size_t nt = static_cast<size_t>(NT);
  pooled64_ = mapFile(resolveMember(m.dir, "pooled64.f16"), nt * kPooledBytes);
  const std::string pPath = resolveMember(m.dir, "P.f16");
  const std::string fsPath = resolveMember(m.dir, "fs_red.f16");
  if (opensForReading(pPath)) {
    P_ = mapFile(pPath, nt * static_cast<size_t>(crop) * crop * 6);
  } else if (!pathExists(fsPath)) {
    const std::string path = resolveMember(m.dir, m.members.videoPrior);
    if (opensForReading(path)) priorPath_ = path;
  }
  if (opensForReading(fsPath)) fsRed_ = mapFile(fsPath, nt * kFsRedBytes);
  Ms = readRawF32(resolveMember(m.dir, "M.f32"), nt * 6);
  rescaleM(m);
}

Identity::~Identity() = default;

void Identity::rescaleM(const Manifest& m) {
  if (m.M_src_w <= 0 || m.M_src_h <= 0)
    throw std::runtime_error(
        "le::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h) — refusing to paste M without knowing "
        "the space it was authored in");
  if (m.M_src_w == m.W && m.M_src_h == m.H) return;
  const double sx = static_cast<double>(m.W) / m.M_src_w;
  const double sy = static_cast<double>(m.H) / m.M_src_h;
  for (size_t f = 0; f + 6 <= Ms.size(); f += 6) {
    for (int k = 0; k < 3; ++k) Ms[f + k] = static_cast<float>(Ms[f + k] * sx);
    for (int k = 3; k < 6; ++k) Ms[f + k] = static_cast<float>(Ms[f + k] * sy);
  }
}

const uint16_t* Identity::pooled64(int i) const {
  return reinterpret_cast<const uint16_t*>(pooled64_.data() + static_cast<size_t>(i) * kPooledBytes);
}

const uint16_t* Identity::fsRed(int i) const {
  if (!fsRed_) return nullptr;
  return reinterpret_cast<const uint16_t*>(fsRed_.data() + static_cast<size_t>(i) * kFsRedBytes);
}

const uint16_t* Identity::P(int i) const {
  if (P_) return reinterpret_cast<const uint16_t*>(P_.data() + static_cast<size_t>(i) * crop * crop * 6);
  if (priorPath_.empty()) return nullptr;
  return reinterpret_cast<const uint16_t*>(prior()->frameAt(i));
}

void Identity::walkP(int i) const {
  if (P_ || priorPath_.empty()) return;
  prior()->frameAt(i);
}

PriorStream* Identity::prior() const {
  std::call_once(priorOnce_, [this] {
    if (!openPrior_) throw std::logic_error("le::Identity: a video prior was asked for and no prior opener was given");
    prior_ = openPrior_(manifest_);
  });
  return prior_.get();
}

std::string Identity::priorBackend() const {
  if (P_) return "mmap P.f16";
  if (!priorPath_.empty()) return prior()->backend();
  return "none";
}

size_t Identity::priorResidentBytes() const { return priorPath_.empty() || P_ ? 0 : prior()->residentBytes(); }

size_t Identity::priorSeeks() const { return priorPath_.empty() || P_ ? 0 : prior()->seeks(); }

void halfToFloat(const uint16_t* src, float* dst, size_t n) { simd::f16ToF32(src, dst, n); }

}  // namespace le
