#include "tools/media_support.h"

#include <gtest/gtest.h>

#include "audio/a2x_support.h"
#include "support/fixtures.h"

namespace lt {

std::string speechFile(const std::string& dir, const std::string& name, const std::string& flags) {
  EXPECT_EQ(run("ffmpeg -nostdin -loglevel error -y -f f32le -ar 16000 -ac 1 -i " + fixture("speech_b.f32") + " " +
                flags + " " + dir + "/" + name),
            0);
  return dir + "/" + name;
}

std::vector<float> decodedAudio(const std::string& mp4) {
  const std::string raw = mp4 + ".f32";
  EXPECT_EQ(run("ffmpeg -nostdin -loglevel error -y -i " + mp4 + " -vn -ar 16000 -ac 1 -f f32le " + raw), 0);
  return at::loadF32(raw);
}

long bestLag(const std::vector<float>& a, const std::vector<float>& b, long want, long maxLag) {
  long best = want;
  double bestScore = -1e300;
  for (long lag = want - maxLag; lag <= want + maxLag; ++lag) {
    double score = 0;
    for (size_t i = 0; i < b.size(); i += 2) {
      const long j = static_cast<long>(i) + lag;
      if (j >= 0 && j < static_cast<long>(a.size())) score += static_cast<double>(a[j]) * b[i];
    }
    if (score > bestScore) {
      bestScore = score;
      best = lag;
    }
  }
  return best;
}

}  // namespace lt
