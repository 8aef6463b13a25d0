#include "driver/ff_log.h"

#include <mutex>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "base/log.h"

namespace le::driver {
namespace {

// FFmpeg may hand a line over in pieces; each thread gathers its own.
thread_local std::string t_pending;
thread_local int t_printPrefix = 1;

void ffmpegLine(void* avcl, int level, const char* fmt, va_list vl) {
  if (level > av_log_get_level()) return;
  char piece[1024];
  av_log_format_line2(avcl, level, fmt, vl, piece, sizeof piece, &t_printPrefix);
  t_pending += piece;
  if (t_pending.empty() || t_pending.back() != '\n') return;
  log::write(log::Level::Debug, "%s", t_pending.c_str());
  t_pending.clear();
}

}  // namespace

void routeFfmpegLog() {
  static std::once_flag once;
  std::call_once(once, [] {
    av_log_set_level(AV_LOG_WARNING);
    av_log_set_callback(ffmpegLine);
  });
}

}  // namespace le::driver
