#include "video_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace vozaz {
namespace {

void check(int rc, const char* what) {
  if (rc < 0) {
    char msg[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(rc, msg, sizeof msg);
    throw std::runtime_error(std::string(what) + ": " + msg);
  }
}

}  // namespace

struct VideoWriter::Impl {
  AVFormatContext* fmt = nullptr;
  AVCodecContext* enc = nullptr;
  AVStream* stream = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;
  SwsContext* sws = nullptr;
  int width = 0, height = 0;
  int64_t next_pts = 0;
  // The audio track: samples wait until a whole encoder frame is there.
  AVCodecContext* aenc = nullptr;
  AVStream* astream = nullptr;
  AVFrame* aframe = nullptr;
  std::vector<float> pending;
  int64_t audio_pts = 0;
  std::string path, part;  // the video is written to part and renamed when complete
  bool finished = false;

  ~Impl() {
    sws_freeContext(sws);
    av_frame_free(&aframe);
    avcodec_free_context(&aenc);
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&enc);
    if (fmt) avio_closep(&fmt->pb);
    avformat_free_context(fmt);
    if (!finished && !part.empty()) std::remove(part.c_str());
  }

  void drain(AVFrame* f) { drainTo(enc, stream, f); }

  void drainTo(AVCodecContext* c, AVStream* st, AVFrame* f) {
    check(avcodec_send_frame(c, f), "encode");
    for (;;) {
      const int rc = avcodec_receive_packet(c, packet);
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
      check(rc, "encode");
      // One frame each: without it the muxer cannot know how long the last one lasts.
      if (packet->duration == 0 && c == enc) packet->duration = 1;
      av_packet_rescale_ts(packet, c->time_base, st->time_base);
      packet->stream_index = st->index;
      check(av_interleaved_write_frame(fmt, packet), "write");
    }
  }

  void openAudio(int rate) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) throw std::runtime_error("this FFmpeg has no AAC encoder");
    astream = avformat_new_stream(fmt, nullptr);
    aenc = avcodec_alloc_context3(codec);
    if (!astream || !aenc) throw std::runtime_error("out of memory");
    aenc->sample_fmt = AV_SAMPLE_FMT_FLTP;
    aenc->sample_rate = rate;
    aenc->bit_rate = 64000;
    av_channel_layout_default(&aenc->ch_layout, 1);
    aenc->time_base = AVRational{1, rate};
    if (fmt->oformat->flags & AVFMT_GLOBALHEADER) aenc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    check(avcodec_open2(aenc, codec, nullptr), "open audio encoder");
    check(avcodec_parameters_from_context(astream->codecpar, aenc), "audio stream parameters");
    astream->time_base = aenc->time_base;
    aframe = av_frame_alloc();
    if (!aframe) throw std::runtime_error("out of memory");
  }

  // Encodes whole encoder frames of the pending samples; with last, the rest too.
  void encodeAudio(bool last) {
    const size_t size = aenc->frame_size > 0 ? static_cast<size_t>(aenc->frame_size) : 1024;
    size_t at = 0;
    while (pending.size() - at >= size || (last && pending.size() > at)) {
      const size_t n = std::min(size, pending.size() - at);
      av_frame_unref(aframe);
      aframe->format = AV_SAMPLE_FMT_FLTP;
      aframe->sample_rate = aenc->sample_rate;
      aframe->nb_samples = static_cast<int>(n);
      check(av_channel_layout_copy(&aframe->ch_layout, &aenc->ch_layout), "audio layout");
      check(av_frame_get_buffer(aframe, 0), "audio frame");
      std::copy_n(pending.data() + at, n, reinterpret_cast<float*>(aframe->data[0]));
      aframe->pts = audio_pts;
      audio_pts += static_cast<int64_t>(n);
      drainTo(aenc, astream, aframe);
      at += n;
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
  }
};

VideoWriter::VideoWriter(const std::string& path, int width, int height, int fps, int audioRate, int encoderThreads)
    : impl_(std::make_unique<Impl>()) {
  av_log_set_level(AV_LOG_ERROR);  // the encoder's banner is not the tool's output
  Impl& s = *impl_;
  s.width = width;
  s.height = height;
  s.path = path;
  // The container is guessed from the final name; bytes go to the .part file.
  check(avformat_alloc_output_context2(&s.fmt, nullptr, nullptr, path.c_str()), "output format");
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) codec = avcodec_find_encoder(AV_CODEC_ID_H264);
  if (!codec) throw std::runtime_error("this FFmpeg has no H.264 encoder");
  s.stream = avformat_new_stream(s.fmt, nullptr);
  s.enc = avcodec_alloc_context3(codec);
  if (!s.stream || !s.enc) throw std::runtime_error("out of memory");
  s.enc->width = width;
  s.enc->height = height;
  s.enc->pix_fmt = AV_PIX_FMT_YUV420P;
  s.enc->time_base = AVRational{1, fps};
  s.enc->framerate = AVRational{fps, 1};
  s.enc->gop_size = 2 * fps;
  s.enc->thread_count = encoderThreads;
  if (s.fmt->oformat->flags & AVFMT_GLOBALHEADER) s.enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  av_opt_set(s.enc->priv_data, "preset", "veryfast", 0);
  av_opt_set(s.enc->priv_data, "crf", "20", 0);
  check(avcodec_open2(s.enc, codec, nullptr), "open encoder");
  check(avcodec_parameters_from_context(s.stream->codecpar, s.enc), "stream parameters");
  s.stream->time_base = s.enc->time_base;
  if (audioRate > 0) s.openAudio(audioRate);
  s.part = path + ".part";
  if (avio_open(&s.fmt->pb, s.part.c_str(), AVIO_FLAG_WRITE) < 0)
    throw std::runtime_error("cannot write the output file " + path);
  check(avformat_write_header(s.fmt, nullptr), "header");
  s.frame = av_frame_alloc();
  s.packet = av_packet_alloc();
  if (!s.frame || !s.packet) throw std::runtime_error("out of memory");
  s.frame->format = AV_PIX_FMT_YUV420P;
  s.frame->width = width;
  s.frame->height = height;
  check(av_frame_get_buffer(s.frame, 0), "frame buffer");
  s.sws = sws_getContext(width, height, AV_PIX_FMT_RGB24, width, height, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr,
                         nullptr, nullptr);
  if (!s.sws) throw std::runtime_error("no RGB to YUV converter");
}

VideoWriter::~VideoWriter() = default;

void VideoWriter::write(const uint8_t* rgb) {
  Impl& s = *impl_;
  check(av_frame_make_writable(s.frame), "frame");
  const uint8_t* src[1] = {rgb};
  const int stride[1] = {3 * s.width};
  sws_scale(s.sws, src, stride, 0, s.height, s.frame->data, s.frame->linesize);
  s.frame->pts = s.next_pts++;
  s.drain(s.frame);
}

void VideoWriter::writeAudio(const int16_t* samples, size_t n) {
  Impl& s = *impl_;
  if (!s.aenc) throw std::runtime_error("this video has no audio track");
  for (size_t i = 0; i < n; ++i) s.pending.push_back(static_cast<float>(samples[i]) / 32768.0f);
  s.encodeAudio(false);
}

void VideoWriter::finish() {
  Impl& s = *impl_;
  if (s.finished) return;
  s.drain(nullptr);
  if (s.aenc) {
    s.encodeAudio(true);
    s.drainTo(s.aenc, s.astream, nullptr);
  }
  check(av_write_trailer(s.fmt), "trailer");
  check(avio_closep(&s.fmt->pb), "close");
  if (std::rename(s.part.c_str(), s.path.c_str()) != 0) throw std::runtime_error("cannot place " + s.path);
  s.finished = true;
}

}  // namespace vozaz
