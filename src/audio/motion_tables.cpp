#include "audio/motion_tables.h"

#include <cstring>
#include <stdexcept>

#include "audio/motion_pose.h"
#include "bundle/files.h"
#include "bundle/manifest.h"

namespace le::motion {

std::vector<float> readExact(const std::string& path, size_t count) {
  const std::string bytes = readFile(path);
  if (bytes.size() != count * sizeof(float))
    throw std::runtime_error(path + " floats, expected " + std::to_string(count));
  std::vector<float> v(count);
  std::memcpy(v.data(), bytes.data(), bytes.size());
  return v;
}

Tables loadTables(const std::string& dir) {
  Tables t;
  t.meta = parseMeta(readFile(dir + "/meta.json"));
  const size_t nt = static_cast<size_t>(t.meta.nt);
  const auto member = [&](const char* name, size_t count) { return readExact(dir + name, count); };
  t.window = member("/hubert_stft_window.bin", 512);
  t.filters = member("/hubert_stft_binmat.bin", 80 * 257);
  t.fmean = member("/hubert_fmean.bin", 1024);
  t.fstd = member("/hubert_fstd.bin", 1024);
  t.emo = member("/emo.bin", static_cast<size_t>(t.meta.nEmo) * 8);
  t.chXs = member("/ch_xs_info.bin", kDesc);
  t.chSc = member("/ch_sc.bin", kKp);
  t.eyeOpen = member("/ch_eye_open.bin", 2);
  t.eyeBall = member("/ch_eye_ball.bin", 6);
  t.minmax = member("/v_min_max.bin", 2 * kMotion);
  t.srcXs = member("/src_xs_info.bin", nt * kDesc);
  t.xs = readExact(resolveMember(dir, "xs_target.bin"), nt * kKp);
  return t;
}

}  // namespace le::motion
