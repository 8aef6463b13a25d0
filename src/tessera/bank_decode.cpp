#include "tessera/bank_decode.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "driver/ff_log.h"
#include "driver/ff_objects.h"

extern "C" {
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

namespace le::tessera {

namespace {

using driver::CodecPtr;
using driver::FramePtr;
using driver::PacketPtr;

constexpr int kIoBuffer = 65536;

[[noreturn]] void refuseBank(const std::string& text) { throw std::runtime_error(text); }

struct IoFreer {
  void operator()(AVIOContext* io) const {
    av_freep(&io->buffer);  // the context may have replaced the buffer it was given
    avio_context_free(&io);
  }
};
struct SwsFreer {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};

// The format context, opened over the I/O context or not yet; the I/O
// context outlives it.
struct Demuxer {
  MemReader reader;
  std::unique_ptr<AVIOContext, IoFreer> io;
  AVFormatContext* fmt = nullptr;
  bool opened = false;
  ~Demuxer() {
    if (opened)
      avformat_close_input(&fmt);
    else
      avformat_free_context(fmt);
  }
};

void openDemuxer(Demuxer& d, const uint8_t* data, size_t size) {
  d.reader = {data, size, 0};
  auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBuffer));
  if (!buffer) refuseBank("reference bank decode: out of memory");
  AVIOContext* io = avio_alloc_context(buffer, kIoBuffer, 0, &d.reader, memRead, nullptr, memSeek);
  if (!io) {
    av_free(buffer);
    refuseBank("reference bank decode: avio_alloc_context failed");
  }
  d.io.reset(io);
  d.fmt = avformat_alloc_context();
  if (!d.fmt) refuseBank("reference bank decode: avformat_alloc_context failed");
  d.fmt->pb = io;
  d.fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
  if (avformat_open_input(&d.fmt, nullptr, nullptr, nullptr) < 0) {
    d.fmt = nullptr;  // freed by the failed open
    refuseBank("reference bank track is not a readable container — refusing to serve");
  }
  d.opened = true;
}

void checkOrder(const std::vector<int>& order, int n) {
  std::vector<uint8_t> seen(static_cast<size_t>(n), 0);
  for (int v : order) {
    if (v < 0 || v >= n) refuseBank("reference bank track_order is out of range — refusing to serve");
    if (seen[static_cast<size_t>(v)]++) refuseBank("reference bank track_order is not a permutation — refusing to serve");
  }
}

// Converts decoded frames into their donor slots.
struct Placer {
  int n, w, h;
  const std::vector<int>& order;
  std::vector<uint8_t>& out;
  std::unique_ptr<SwsContext, SwsFreer> sws;
  int count = 0;

  void place(const AVFrame* f) {
    if (f->width != w || f->height != h) refuseBank("reference bank frame changed size mid-track — refusing to serve");
    if (count >= n)
      refuseBank("bank track carries more frames than the sidecar's n_donors — sidecar/track mismatch, refusing to serve");
    if (!sws) {
      sws.reset(sws_getContext(w, h, static_cast<AVPixelFormat>(f->format), w, h, AV_PIX_FMT_RGB24, SWS_BILINEAR,
                               nullptr, nullptr, nullptr));
      if (!sws) refuseBank("reference bank decode: no rgb24 conversion — refusing to serve");
    }
    uint8_t* dst[4] = {out.data() + static_cast<size_t>(order[static_cast<size_t>(count)]) * w * h * 3, nullptr,
                       nullptr, nullptr};
    const int stride[4] = {w * 3, 0, 0, 0};
    sws_scale(sws.get(), f->data, f->linesize, 0, h, dst, stride);
    ++count;
  }
};

// Receives every frame the decoder has ready; true once it reports the end.
bool drain(AVCodecContext* codec, AVFrame* frame, Placer& placer) {
  for (;;) {
    const int r = avcodec_receive_frame(codec, frame);
    if (r == AVERROR(EAGAIN)) return false;
    if (r == AVERROR_EOF) return true;
    if (r < 0) return false;  // a damaged frame is skipped; the count check catches what it cost
    placer.place(frame);
    av_frame_unref(frame);
  }
}

}  // namespace

int memRead(void* opaque, uint8_t* buffer, int n) {
  auto* r = static_cast<MemReader*>(opaque);
  if (n <= 0) return 0;
  const size_t take = std::min(r->size - r->pos, static_cast<size_t>(n));
  if (take == 0) return AVERROR_EOF;
  std::memcpy(buffer, r->data + r->pos, take);
  r->pos += take;
  return static_cast<int>(take);
}

int64_t memSeek(void* opaque, int64_t offset, int whence) {
  auto* r = static_cast<MemReader*>(opaque);
  const int64_t size = static_cast<int64_t>(r->size);
  if (whence & AVSEEK_SIZE) return size;
  int64_t base = 0;
  switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = static_cast<int64_t>(r->pos); break;
    case SEEK_END: base = size; break;
    default: return -1;
  }
  if ((offset > 0 && base > INT64_MAX - offset)) return -1;
  const int64_t target = base + offset;
  if (target < 0 || target > size) return -1;
  r->pos = static_cast<size_t>(target);
  return target;
}

std::vector<uint8_t> decodeBankTrack(const uint8_t* data, size_t size, int n_donors, int band_h, int band_w,
                                     const std::vector<int>& track_order) {
  if (!data || size == 0) refuseBank("reference bank track is empty — refusing to serve");
  if (n_donors <= 0 || band_h <= 0 || band_w <= 0) refuseBank("reference bank geometry is not positive — refusing to serve");
  if (track_order.size() != static_cast<size_t>(n_donors))
    refuseBank("reference bank sidecar track_order has " + std::to_string(track_order.size()) + " entries, expected " +
           std::to_string(n_donors) + " — sidecar/track mismatch, refusing to serve");

  driver::routeFfmpegLog();
  Demuxer d;
  openDemuxer(d, data, size);
  if (avformat_find_stream_info(d.fmt, nullptr) < 0)
    refuseBank("reference bank track carries no stream info — refusing to serve");
  int stream = -1;
  for (unsigned i = 0; i < d.fmt->nb_streams && stream < 0; ++i)
    if (d.fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) stream = static_cast<int>(i);
  if (stream < 0) refuseBank("reference bank track has no video stream — refusing to serve");
  const AVCodecParameters* par = d.fmt->streams[stream]->codecpar;
  if (par->width != band_w || par->height != band_h)
    refuseBank("reference bank track is " + std::to_string(par->width) + "x" + std::to_string(par->height) +
           ", the geometry stamp says " + std::to_string(band_w) + "x" + std::to_string(band_h) +
           " — geometry mismatch, refusing to serve");

  const AVCodec* dec = avcodec_find_decoder(par->codec_id);
  if (!dec)
    refuseBank(
        "no decoder for the reference bank track — this build must carry the h264 decoder (see "
        "build_ffmpeg_android.sh); refusing to serve");
  CodecPtr codec(avcodec_alloc_context3(dec));
  if (!codec) refuseBank("reference bank decode: avcodec_alloc_context3 failed");
  if (avcodec_parameters_to_context(codec.get(), par) < 0)
    refuseBank("reference bank decode: avcodec_parameters_to_context failed");
  codec->thread_count = 1;
  if (avcodec_open2(codec.get(), dec, nullptr) < 0)
    refuseBank("reference bank decode: could not open the decoder — refusing to serve");
  PacketPtr packet(av_packet_alloc());
  FramePtr frame(av_frame_alloc());
  if (!packet || !frame) refuseBank("reference bank decode: out of memory");

  std::vector<uint8_t> out(static_cast<size_t>(n_donors) * band_h * band_w * 3, 0);
  checkOrder(track_order, n_donors);
  Placer placer{n_donors, band_w, band_h, track_order, out, nullptr};
  bool ended = false;
  while (!ended && av_read_frame(d.fmt, packet.get()) >= 0) {
    if (packet->stream_index == stream) {
      // A rejected packet is not retried: the decoder keeps nothing back here.
      avcodec_send_packet(codec.get(), packet.get());
      ended = drain(codec.get(), frame.get(), placer);
    }
    av_packet_unref(packet.get());
  }
  if (!ended) {
    avcodec_send_packet(codec.get(), nullptr);  // flush: what is held comes out, then the end
    drain(codec.get(), frame.get(), placer);
  }
  if (placer.count != n_donors)
    refuseBank("bank track decoded to " + std::to_string(placer.count) + " frames, expected " + std::to_string(n_donors) +
           " — geometry/N mismatch, refusing to serve");
  return out;
}

std::string bankDecoderBuild() {
  char version[32];
  std::snprintf(version, sizeof version, "%d.%d.%d", LIBAVCODEC_VERSION_MAJOR, LIBAVCODEC_VERSION_MINOR,
                LIBAVCODEC_VERSION_MICRO);
  return std::string("libavcodec ") + version + " / " + avcodec_configuration();
}

}  // namespace le::tessera
