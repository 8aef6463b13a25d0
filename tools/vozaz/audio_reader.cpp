#include "audio_reader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <memory>
#include <stdexcept>
#include <string>

#include "driver/ff_objects.h"

namespace vozaz {
namespace {

struct SwrFree {
  void operator()(SwrContext* s) const { swr_free(&s); }
};

constexpr int kRate = 16000;
// Outside these a header is lying: resampling would build a filter bank big
// enough to stall the tool, or blow a small file up into gigabytes of samples.
constexpr int kMinInputRate = 1000, kMaxInputRate = 768000;

}  // namespace

std::vector<int16_t> readSpeech16k(const std::string& path) {
  av_log_set_level(AV_LOG_ERROR);
  AVFormatContext* raw = nullptr;
  // A playlist inside the file may name other files, never a network address.
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  const int opened = avformat_open_input(&raw, path.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (opened < 0) {
    char why[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(opened, why, sizeof why);
    throw std::runtime_error("cannot open audio file " + path + " (" + why + ")");
  }
  le::driver::FormatPtr fmt(raw);
  const AVCodec* codec = nullptr;
  if (avformat_find_stream_info(fmt.get(), nullptr) < 0) throw std::runtime_error(path + " holds no readable streams");
  const int index = av_find_best_stream(fmt.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  if (index < 0 || !codec) throw std::runtime_error(path + " holds no decodable audio stream");
  le::driver::CodecPtr dec(avcodec_alloc_context3(codec));
  if (!dec || avcodec_parameters_to_context(dec.get(), fmt->streams[index]->codecpar) < 0 ||
      avcodec_open2(dec.get(), codec, nullptr) < 0)
    throw std::runtime_error("cannot open the audio decoder of " + path);

  const auto checkRate = [&](int rate) {
    if (rate < kMinInputRate || rate > kMaxInputRate)
      throw std::runtime_error(path + " declares " + std::to_string(rate) + " samples per second; vozaz reads " +
                               std::to_string(kMinInputRate) + " to " + std::to_string(kMaxInputRate));
  };
  checkRate(dec->sample_rate);

  // The resampler follows the decoded frames, not the header: an MP3 stream
  // may switch between mono and stereo or change rate from one frame to the
  // next, and feeding a resampler built for one layout with another reads
  // past the frame's planes.
  std::unique_ptr<SwrContext, SwrFree> swr;
  AVChannelLayout swrLayout{};
  struct LayoutRelease {
    AVChannelLayout* layout;
    ~LayoutRelease() { av_channel_layout_uninit(layout); }
  } releaseLayout{&swrLayout};
  int swrFormat = -1, swrRate = 0;
  std::vector<int16_t> out;

  const auto drain = [&](const uint8_t** data, int n) {
    const int room = swr_get_out_samples(swr.get(), n);
    if (room <= 0) return;
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(room));
    uint8_t* dst = reinterpret_cast<uint8_t*>(out.data() + at);
    const int got = swr_convert(swr.get(), &dst, room, data, n);
    if (got < 0) throw std::runtime_error("resampling failed in " + path);
    out.resize(at + static_cast<size_t>(got));
  };
  const auto follow = [&](const AVFrame& f) {
    if (swr && f.format == swrFormat && f.sample_rate == swrRate &&
        av_channel_layout_compare(&f.ch_layout, &swrLayout) == 0)
      return;
    checkRate(f.sample_rate);
    if (swr) drain(nullptr, 0);  // the old layout's delay line
    av_channel_layout_uninit(&swrLayout);
    if (av_channel_layout_copy(&swrLayout, &f.ch_layout) < 0 || swrLayout.nb_channels <= 0)
      throw std::runtime_error(path + " holds an audio frame with no channels");
    swrFormat = f.format;
    swrRate = f.sample_rate;
    SwrContext* raw = nullptr;
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    const int made = swr_alloc_set_opts2(&raw, &mono, AV_SAMPLE_FMT_S16, kRate, &swrLayout,
                                         static_cast<AVSampleFormat>(swrFormat), swrRate, 0, nullptr);
    swr.reset(raw);
    if (made < 0 || swr_init(swr.get()) < 0)
      throw std::runtime_error("cannot resample the audio of " + path + " to 16 kHz mono");
  };

  le::driver::FramePtr frame(av_frame_alloc());
  le::driver::PacketPtr packet(av_packet_alloc());
  const auto receive = [&] {
    for (;;) {
      const int rc = avcodec_receive_frame(dec.get(), frame.get());
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
      if (rc < 0) throw std::runtime_error("cannot decode the audio of " + path);
      follow(*frame);
      drain(const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
      av_frame_unref(frame.get());
    }
  };
  while (av_read_frame(fmt.get(), packet.get()) >= 0) {
    if (packet->stream_index == index) {
      const int rc = avcodec_send_packet(dec.get(), packet.get());
      av_packet_unref(packet.get());
      if (rc < 0 && rc != AVERROR(EAGAIN)) throw std::runtime_error("cannot decode the audio of " + path);
      receive();
    } else {
      av_packet_unref(packet.get());
    }
  }
  avcodec_send_packet(dec.get(), nullptr);
  receive();
  if (swr) drain(nullptr, 0);  // the resampler's delay line
  if (out.empty()) throw std::runtime_error(path + " decodes to no audio samples");
  return out;
}

}  // namespace vozaz
