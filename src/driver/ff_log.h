// FFmpeg's own log output, routed into the library's log.
#pragma once

namespace le::driver {

// Installs the av_log callback once per process: FFmpeg's warnings and
// errors become debug lines ("[h264_cuvid @ 0x...] Cannot load ..." is a
// probe that failed as expected, not an error of ours); the rest is dropped.
void routeFfmpegLog();

}  // namespace le::driver
