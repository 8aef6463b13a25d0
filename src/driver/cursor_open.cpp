// Which bundle member a cursor plays: the target frames (JPEG directory or
// MP4) and the HEVC warp prior.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "base/env.h"
#include "base/log.h"
#include "bundle/manifest.h"
#include "bundle/paths.h"
#include "driver/cursor.h"

namespace le {

std::unique_ptr<DriverCursor> DriverCursor::open(const Manifest& m, int ahead, int behind) {
  const std::string& dirName = m.members.targetDir;
  const std::string& videoName = m.members.targetVideo;

  const std::string dirPath = m.dir + "/" + dirName;
  char last[1088];
  std::snprintf(last, sizeof last, "%s/frame_%06d.jpg", dirPath.c_str(), m.NT - 1);
  const bool populated = pathExists(last);
  const std::string videoPath = resolveMember(m.dir, videoName);
  const bool haveVideo = pathExists(videoPath);

  const bool preferVideo = env::equals("LE_DRIVER_PREFER_MP4", "1") && haveVideo;
  if (preferVideo && populated)
    log::warn(
        "[le-driver] LE_DRIVER_PREFER_MP4=1 — %s/ is populated and NOT used; %s is the member this consumer reads\n",
        dirName.c_str(), videoName.c_str());
  if (!preferVideo && populated) {
    log::report("[le-driver] %s/ (raw jpg, %d frames) — read one frame per pull\n", dirName.c_str(), m.NT);
    return over(driver::openJpgDir(dirPath, m.NT, m.W, m.H), ahead, behind);
  }
  if (!haveVideo)
    throw std::runtime_error("this bundle carries neither a populated " + dirName + "/ nor " + videoName + " (" +
                             videoPath + ") — there is no driver video to play. REFUSING to create a session.");
  auto cursor = over(driver::openMp4(videoPath, m.NT, m.W, m.H), ahead, behind);
  log::report(
      "[le-driver] %s decoded IN PLACE (%s, %d frames %dx%d, look-ahead %d, history %d) — no frame of the "
      "driver is expanded ahead of the paste\n",
      videoName.c_str(), cursor->name.c_str(), m.NT, m.W, m.H, std::max(ahead, 1), std::max(behind, 0));
  return cursor;
}

std::unique_ptr<DriverCursor> DriverCursor::openPrior(const Manifest& m, int ahead, int behind) {
  const std::string& name = m.members.videoPrior;
  const std::string path = resolveMember(m.dir, name);
  if (!pathExists(path))
    throw std::runtime_error("this bundle carries neither a raw P.f16 nor " + name + " (" + path +
                             ") — there is no warp prior to play. REFUSING to create a session.");
  auto cursor = over(driver::openPriorHevc(path, m.NT, m.crop), ahead, behind);
  log::report(
      "velomark: identity source ready — %d frames %dx%d, played straight from %s (%s); nothing is unpacked to disk\n",
      m.NT, m.crop, m.crop, name.c_str(), cursor->name.c_str());
  return cursor;
}

namespace {

class CursorPrior final : public PriorStream {
 public:
  explicit CursorPrior(std::unique_ptr<DriverCursor> cursor) : cursor_(std::move(cursor)) {}
  const uint8_t* frameAt(int i) override {
    int index = -1;
    return cursor_->pullAt(i, &index);
  }
  std::string backend() const override { return cursor_->name; }
  size_t residentBytes() const override { return cursor_->residentBytes(); }
  size_t seeks() const override { return cursor_->seeks(); }

 private:
  std::unique_ptr<DriverCursor> cursor_;
};

constexpr int kPriorAhead = 2;
constexpr int kPriorHistory = 11;

}  // namespace

std::unique_ptr<PriorStream> openPriorStream(const Manifest& m) {
  return std::make_unique<CursorPrior>(DriverCursor::openPrior(m, kPriorAhead, kPriorHistory));
}

}  // namespace le
