#include "driver/driver_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "support/fixtures.h"

namespace lt {

std::string copyFixture(const std::string& name) {
  const std::string dir = scratchDir() + "/" + name;
  EXPECT_EQ(run("cp -r '" + fixture(name) + "' '" + dir + "'"), 0);
  return dir;
}

void editManifest(const std::string& dir, const std::string& from, const std::string& to) {
  std::string text = slurp(dir + "/manifest.json");
  const size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  text.replace(at, from.size(), to);
  spit(dir + "/manifest.json", text);
}

void addManifestKeys(const std::string& dir, const std::string& keys) {
  std::string text = slurp(dir + "/manifest.json");
  text.insert(text.find('{') + 1, keys);
  spit(dir + "/manifest.json", text);
}

namespace {

std::string capture(const std::string& cmd) {
  std::unique_ptr<FILE, int (*)(FILE*)> p(::popen(cmd.c_str(), "r"), ::pclose);
  std::string out;
  if (!p) return out;
  char buf[1 << 16];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p.get())) > 0) out.append(buf, n);
  return out;
}

}  // namespace

std::vector<uint8_t> ffmpegDecode(const std::string& video, const std::string& pixFmt) {
  const std::string bytes = capture("ffmpeg -nostdin -v error -i '" + video + "' -vsync passthrough -f rawvideo -pix_fmt " +
                                    pixFmt + " -");
  return {bytes.begin(), bytes.end()};
}

size_t ffprobeMaxPacket(const std::string& video) {
  const std::string text =
      capture("ffprobe -v error -select_streams v:0 -show_entries packet=size -of csv=p=0 '" + video + "'");
  size_t best = 0, pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    if (end > pos) best = std::max(best, static_cast<size_t>(std::stoul(text.substr(pos, end - pos))));
    pos = end + 1;
  }
  return best;
}

double halfValue(uint16_t h) {
  const int sign = h >> 15, exp = (h >> 10) & 31, man = h & 1023;
  double v = exp == 0 ? std::ldexp(man, -24) : std::ldexp(1024 + man, exp - 25);
  if (exp == 31) v = man ? NAN : INFINITY;
  return sign ? -v : v;
}

}  // namespace lt
