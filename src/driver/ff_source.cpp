// Demuxes and decodes a bundle video member frame by frame, straight into
// the caller's buffer: the driver as packed RGB, the prior as half planes.
#include "driver/ff_source.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "base/env.h"
#include "base/log.h"
#include "base/threads.h"
#include "driver/ff_log.h"
#include "driver/ff_objects.h"
#include "driver/source.h"
#include "simd/half.h"
#include "simd/kernels.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace le {

namespace {

std::string builtVersion() {
  return std::to_string(LIBAVCODEC_VERSION_MAJOR) + "." + std::to_string(LIBAVCODEC_VERSION_MINOR) + "." +
         std::to_string(LIBAVCODEC_VERSION_MICRO);
}

}  // namespace

std::string movieDecoderBuild() { return "libavcodec " + builtVersion() + " / " + avcodec_configuration(); }

namespace driver {
namespace {

constexpr const char* kCuvid = "h264_cuvid";
constexpr int kSoftwareThreads = 4;

inline uint8_t clampByte(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

class FfSource final : public Source {
 public:
  enum Kind { kDriver = 0, kPrior = 1 };

  FfSource(Kind kind, std::string path, int nt, int w, int h)
      : kind_(kind), path_(std::move(path)), NT_(nt), W_(w), H_(h) {
    if (kind_ == kPrior)
      for (int i = 0; i < 256; ++i) lut_[i] = f32ToF16(static_cast<float>(i) / 255.0f);
    routeFfmpegLog();
    open();
  }

  int NT() const override { return NT_; }
  int W() const override { return W_; }
  int H() const override { return H_; }
  size_t frameBytes() const override { return static_cast<size_t>(W_) * H_ * (kind_ == kPrior ? 6 : 3); }
  std::string name() const override { return name_; }

  size_t residentBytes() const override {
    const size_t frame = kind_ == kPrior ? static_cast<size_t>(W_) * H_ * 3 : static_cast<size_t>(W_) * H_ * 3 / 2;
    return maxPacket_.load() + frame * static_cast<size_t>(threads_.load() + 5);
  }

  bool next(uint8_t* dst) override {
    if (!receive()) return false;
    if (frame_->width != W_ || frame_->height != H_) {
      av_frame_unref(frame_.get());
      throw std::runtime_error("le_driver: " + path_ + " changed size mid-stream — refusing");
    }
    try {
      if (kind_ == kPrior)
        convertPrior(reinterpret_cast<uint16_t*>(dst));
      else
        convertDriver(dst);
    } catch (...) {
      av_frame_unref(frame_.get());
      throw;
    }
    av_frame_unref(frame_.get());
    ++decoded_;
    return true;
  }

  void rewind() override {
    if (av_seek_frame(fmt_.get(), stream_, 0, AVSEEK_FLAG_BACKWARD) < 0) {
      close();
      open();
    } else {
      avcodec_flush_buffers(codec_.get());
      draining_ = false;
    }
    decoded_ = 0;
  }

  void seek(int i) override {
    if (i < 0 || i >= NT_) throw std::runtime_error("le_driver: seek outside the member");
    if (i < decoded_) rewind();
    std::vector<uint8_t> scratch(frameBytes());
    while (decoded_ < i)
      if (!next(scratch.data()))
        throw std::runtime_error("le_driver: " + path_ + " ended at frame " + std::to_string(decoded_) +
                                 " while seeking to " + std::to_string(i));
  }

 private:
  void open() {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path_.c_str(), nullptr, nullptr) < 0)
      throw std::runtime_error("le_driver: " + path_ + " is not a readable container");
    fmt_.reset(raw);
    if (avformat_find_stream_info(fmt_.get(), nullptr) < 0)
      throw std::runtime_error("le_driver: " + path_ + " carries no stream info");
    stream_ = -1;
    for (unsigned s = 0; s < fmt_->nb_streams; ++s)
      if (fmt_->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        stream_ = static_cast<int>(s);
        break;
      }
    if (stream_ < 0) throw std::runtime_error("le_driver: " + path_ + " has no video stream");
    const AVStream* st = fmt_->streams[stream_];
    const AVCodecParameters* par = st->codecpar;
    if (par->width != W_ || par->height != H_)
      throw std::runtime_error("le_driver: " + path_ + " is " + std::to_string(par->width) + "x" +
                               std::to_string(par->height) + ", the manifest says " + std::to_string(W_) + "x" +
                               std::to_string(H_) + " — refusing to rescale the driver");
    if (st->nb_frames > 0 && st->nb_frames != NT_)
      throw std::runtime_error("le_driver: " + path_ + " carries " + std::to_string(st->nb_frames) +
                               " frames, the manifest says NT=" + std::to_string(NT_) +
                               " — member/manifest mismatch, refusing");
    openDecoder(par);
    packet_.reset(av_packet_alloc());
    frame_.reset(av_frame_alloc());
    if (!packet_ || !frame_) throw std::runtime_error("le_driver: out of memory");
    draining_ = false;
    decoded_ = 0;
    name_ = std::string(kind_ == kPrior ? "hevc444/libavcodec " : "mp4/libavcodec ") + builtVersion() + " " +
            codec_->codec->name;
  }

  void openDecoder(const AVCodecParameters* par) {
    if (env::equals("LE_DRIVER_HWDEC", "0")) {
      log::warn(
          "[le-driver] LE_DRIVER_HWDEC=0 — %s not attempted; the software decoder is the one decoder on "
          "this fleet (same samples)\n",
          kCuvid);
    } else if (kind_ == kDriver && par->codec_id == AV_CODEC_ID_H264) {
      if (const AVCodec* cuvid = avcodec_find_decoder_by_name(kCuvid)) {
        CodecPtr ctx(avcodec_alloc_context3(cuvid));
        if (ctx && avcodec_parameters_to_context(ctx.get(), par) >= 0) {
          ctx->thread_count = 1;
          if (avcodec_open2(ctx.get(), cuvid, nullptr) == 0) {
            codec_ = std::move(ctx);
            threads_ = 1;
            return;
          }
        }
        log::warn("[le-driver] %s refused %s — falling back to the software h264 decoder (same samples, more CPU)\n",
                  kCuvid, path_.c_str());
      }
    }
    const AVCodec* dec = avcodec_find_decoder(par->codec_id);
    if (!dec)
      throw std::runtime_error("le_driver: no decoder for " + path_ + " (codec id " +
                               std::to_string(static_cast<int>(par->codec_id)) + ")");
    CodecPtr ctx(avcodec_alloc_context3(dec));
    if (!ctx) throw std::runtime_error("le_driver: avcodec_alloc_context3 failed");
    if (avcodec_parameters_to_context(ctx.get(), par) < 0)
      throw std::runtime_error("le_driver: avcodec_parameters_to_context failed");
    ctx->thread_count = kSoftwareThreads;
    ctx->thread_type = FF_THREAD_FRAME;
    if (avcodec_open2(ctx.get(), dec, nullptr) < 0)
      throw std::runtime_error("le_driver: could not open the decoder for " + path_);
    codec_ = std::move(ctx);
    threads_ = std::max(codec_->thread_count, 1);
    // FFmpeg's frame threads beyond the one that calls it.
    if (threads_ > 1)
      census_ = threads::Registration("ffmpeg decode", path_, threads_ - 1, "frame-parallel software decoding");
  }

  void close() {
    frame_.reset();
    packet_.reset();
    codec_.reset();
    census_ = {};
    fmt_.reset();
    stream_ = -1;
    threads_ = 1;
  }

  // Leaves the next decoded frame in frame_; false at the end of the stream.
  bool receive() {
    for (;;) {
      const int r = avcodec_receive_frame(codec_.get(), frame_.get());
      if (r == 0) return true;
      if (r == AVERROR_EOF) return false;
      if (r != AVERROR(EAGAIN))
        throw std::runtime_error("le_driver: " + path_ + " decode fault at frame " + std::to_string(decoded_) + " (" +
                                 avErrorText(r) + ")");
      if (draining_) return false;
      feed();
    }
  }

  // Reads one packet and hands it to the decoder (or starts the flush).
  void feed() {
    const int r = av_read_frame(fmt_.get(), packet_.get());
    if (r == AVERROR_EOF) {
      draining_ = true;
      avcodec_send_packet(codec_.get(), nullptr);
      return;
    }
    if (r < 0) throw std::runtime_error("le_driver: " + path_ + " read fault (" + avErrorText(r) + ")");
    if (packet_->stream_index == stream_) {
      const size_t size = static_cast<size_t>(packet_->size);
      if (size > maxPacket_.load()) maxPacket_ = size;
      const int s = avcodec_send_packet(codec_.get(), packet_.get());
      av_packet_unref(packet_.get());
      if (s < 0 && s != AVERROR(EAGAIN))
        throw std::runtime_error("le_driver: " + path_ + " packet refused (" + avErrorText(s) + ")");
    } else {
      av_packet_unref(packet_.get());
    }
  }

  void convertDriver(uint8_t* dst) {
    const AVFrame* f = frame_.get();
    const size_t rowBytes = static_cast<size_t>(W_) * 3;
    if (f->format == AV_PIX_FMT_YUV420P) {
      for (int y = 0; y < H_; ++y)
        simd::yuv420RowToRgb24(f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0],
                               f->data[1] + static_cast<ptrdiff_t>(y / 2) * f->linesize[1],
                               f->data[2] + static_cast<ptrdiff_t>(y / 2) * f->linesize[2], W_, 1, dst + y * rowBytes);
    } else if (f->format == AV_PIX_FMT_NV12) {
      for (int y = 0; y < H_; ++y) {
        const uint8_t* uv = f->data[1] + static_cast<ptrdiff_t>(y / 2) * f->linesize[1];
        simd::yuv420RowToRgb24(f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0], uv, uv + 1, W_, 2,
                               dst + y * rowBytes);
      }
    } else {
      const char* fmtName = av_get_pix_fmt_name(static_cast<AVPixelFormat>(f->format));
      throw std::runtime_error("le_driver: " + path_ + " decoded to " + (fmtName ? fmtName : "?") +
                               ", not the 4:2:0 layout the canvas conversion is written for (yuv420p / nv12) — "
                               "refusing rather than pasting onto a different pixel domain");
    }
  }

  // Limited-range BT.601 in 16.16 fixed point, then the 256-entry half table.
  void convertPrior(uint16_t* dst) {
    const AVFrame* f = frame_.get();
    if (f->format != AV_PIX_FMT_YUV444P) {
      const char* fmtName = av_get_pix_fmt_name(static_cast<AVPixelFormat>(f->format));
      throw std::runtime_error("le_driver: " + path_ + " decoded to " + (fmtName ? fmtName : "?") +
                               ", not the yuv444p a warp prior is authored in — a subsampled prior is a different "
                               "mouth, refusing");
    }
    const size_t plane = static_cast<size_t>(W_) * H_;
    for (int y = 0; y < H_; ++y) {
      const uint8_t* Y = f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0];
      const uint8_t* Cb = f->data[1] + static_cast<ptrdiff_t>(y) * f->linesize[1];
      const uint8_t* Cr = f->data[2] + static_cast<ptrdiff_t>(y) * f->linesize[2];
      uint16_t* r = dst + static_cast<size_t>(y) * W_;
      uint16_t* g = r + plane;
      uint16_t* b = g + plane;
      for (int x = 0; x < W_; ++x) {
        const int c = 76312 * (Y[x] - 16);
        const int d = Cb[x] - 128;
        const int e = Cr[x] - 128;
        r[x] = lut_[clampByte((c + 104600 * e + 32768) >> 16)];
        g[x] = lut_[clampByte((c - 25672 * d - 53280 * e + 32768) >> 16)];
        b[x] = lut_[clampByte((c + 132200 * d + 32768) >> 16)];
      }
    }
  }

  const Kind kind_;
  const std::string path_;
  const int NT_, W_, H_;
  uint16_t lut_[256] = {};
  FormatPtr fmt_;
  CodecPtr codec_;
  PacketPtr packet_;
  FramePtr frame_;
  int stream_ = -1;
  bool draining_ = false;
  int decoded_ = 0;
  std::atomic<size_t> maxPacket_{0};
  std::atomic<int> threads_{1};
  threads::Registration census_;
  std::string name_;
};

}  // namespace

std::unique_ptr<Source> openMp4(const std::string& path, int NT, int W, int H) {
  return std::make_unique<FfSource>(FfSource::kDriver, path, NT, W, H);
}

std::unique_ptr<Source> openPriorHevc(const std::string& path, int NT, int crop) {
  return std::make_unique<FfSource>(FfSource::kPrior, path, NT, crop, crop);
}

}  // namespace driver
}  // namespace le
