// Writes RGB frames to an H.264 MP4 (libavcodec/libavformat). The library
// never encodes; only this tool does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vozaz {

class VideoWriter {
 public:
  VideoWriter(const std::string& path, int width, int height, int fps);
  ~VideoWriter();
  VideoWriter(const VideoWriter&) = delete;
  VideoWriter& operator=(const VideoWriter&) = delete;

  void write(const uint8_t* rgb);  // width*height*3 bytes
  void finish();                   // flushes and writes the trailer

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vozaz
