// Writes RGB frames to an H.264 MP4 (libavcodec/libavformat), optionally
// with a mono AAC audio track. The library never encodes; only this tool
// does. The file appears under its name only once finish() has completed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vozaz {

class VideoWriter {
 public:
  // audioRate > 0 adds a mono AAC track of that sample rate; encoderThreads
  // 0 lets FFmpeg choose.
  VideoWriter(const std::string& path, int width, int height, int fps, int audioRate = 0, int encoderThreads = 0);
  ~VideoWriter();
  VideoWriter(const VideoWriter&) = delete;
  VideoWriter& operator=(const VideoWriter&) = delete;

  void write(const uint8_t* rgb);  // width*height*3 bytes
  // Appends n samples to the audio track; its sample 0 plays with frame 0.
  void writeAudio(const int16_t* samples, size_t n);
  void finish();  // flushes and writes the trailer

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vozaz
