#include "driver/driver_support.h"

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
  spit(dir + "/manifest.json", text.replace(at, from.size(), to));
}

std::string capture(const std::string& cmd) {
  std::unique_ptr<FILE, int (*)(FILE*)> p(::popen(cmd.c_str(), "r"), ::pclose);
  std::string out;
  char buf[1 << 16];
  for (size_t n; p && (n = std::fread(buf, 1, sizeof buf, p.get())) > 0;) out.append(buf, n);
  return out;
}

std::vector<uint8_t> ffmpegDecode(const std::string& video, const std::string& pixFmt) {
  const std::string b =
      capture("ffmpeg -nostdin -v error -i '" + video + "' -vsync passthrough -f rawvideo -pix_fmt " + pixFmt + " -");
  return {b.begin(), b.end()};
}

}  // namespace lt
