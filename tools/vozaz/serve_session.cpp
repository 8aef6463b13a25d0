#include "serve_session.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "serve_log.h"
#include "serve_protocol.h"

namespace vozaz::serve {
namespace {

using clock = std::chrono::steady_clock;
constexpr auto kTick = std::chrono::milliseconds(1000 / kFps);
// Behind by more than this, the clock starts over instead of rushing frames out.
constexpr auto kMaxBehind = std::chrono::milliseconds(200);
// A client whose oldest waiting message is this old has stopped reading.
constexpr auto kStall = std::chrono::seconds(2);

double secondsSince(clock::time_point t) { return std::chrono::duration<double>(clock::now() - t).count(); }

std::string baseName(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p.substr(p.find_last_of('/') + 1);
}

}  // namespace

le_ctx_ptr ContextShelf::take() {
  {
    const std::lock_guard<std::mutex> lock(m_);
    if (spare_) return std::move(spare_);
  }
  le_ctx_ptr ctx(le_create(bundle_.c_str(), "render", threads_, nullptr));
  if (!ctx) throw std::runtime_error(le_last_error());
  return ctx;
}

void ContextShelf::put(le_ctx_ptr ctx) {
  const std::lock_guard<std::mutex> lock(m_);
  if (!spare_) spare_ = std::move(ctx);
}  // else ctx is destroyed here

Session::Session(int id, std::string peer, const Options& opts, ContextShelf& shelf, std::function<void()> wake,
                 std::function<void()> finished)
    : id_(id),
      peer_(std::move(peer)),
      opts_(opts),
      shelf_(shelf),
      wake_(std::move(wake)),
      finished_(std::move(finished)),
      pump_([this] { run(); }) {}

Session::~Session() {
  end(1001, "the server closed the session");
  pump_.join();
}

void Session::audio(const int16_t* samples, size_t n) {
  {
    const std::lock_guard<std::mutex> lock(m_);
    for (size_t i = 0; i < n; ++i) {
      if (inCount_ == kInbox) {  // only while the session still loads
        audioDropped_ += n - i;
        break;
      }
      inbox_[(inHead_ + inCount_++) % kInbox] = samples[i];
    }
  }
  cv_.notify_one();
}

void Session::endUtterance() {
  {
    const std::lock_guard<std::mutex> lock(m_);
    endMark_ = true;
  }
  cv_.notify_one();
}

void Session::interrupt() {
  {
    const std::lock_guard<std::mutex> lock(m_);
    interruptMark_ = true;
    endMark_ = false;
    inCount_ = 0;  // barge-in drops what the pump has not taken yet
  }
  cv_.notify_one();
}

void Session::end(int code, const std::string& reason) {
  {
    const std::lock_guard<std::mutex> lock(m_);
    if (stop_) return;
    stop_ = true;
    code_ = code;
    reason_ = reason;
  }
  cv_.notify_one();
}

bool Session::front(Message& m) {
  const std::lock_guard<std::mutex> lock(m_);
  if (!outCount_) return false;
  const Slot& s = slots_[outHead_];
  m = {s.bytes.data(), s.size, s.text};
  return true;
}

void Session::pop() {
  const std::lock_guard<std::mutex> lock(m_);
  if (!outCount_) return;
  outHead_ = (outHead_ + 1) % kSlots;
  --outCount_;
}

int Session::closeCode() {
  const std::lock_guard<std::mutex> lock(m_);
  return code_;
}

std::string Session::closeReason() {
  const std::lock_guard<std::mutex> lock(m_);
  return reason_;
}

bool Session::stopping() {
  const std::lock_guard<std::mutex> lock(m_);
  return stop_;
}

void Session::run() {
  try {
    load();
    serve();
  } catch (const std::exception& e) {
    end(1011, e.what());
  }
  logClose();
  utt_.reset();  // joins the session's threads before its context moves on
  if (ctx_) shelf_.put(std::move(ctx_));
  finished_();
}

void Session::load() {
  ctx_ = shelf_.take();
  le_utt_opts o{};
  o.motion_dir = opts_.motion.c_str();
  o.threads = opts_.threads;
  o.steady_model = steadyModelFor(opts_.bundle);
  utt_ = openReady(ctx_.get(), o, [](void* self) { return static_cast<Session*>(self)->stopping(); }, this);
  if (!utt_) return;  // ended while loading
  const int w = le_width(ctx_.get()), h = le_height(ctx_.get());
  jpeg_ = std::make_unique<JpegEncoder>(w, h, opts_.quality);
  rgb_.resize(static_cast<size_t>(w) * h * 3);
  {
    // Filled before the first publish; the network thread reads only published slots.
    const std::lock_guard<std::mutex> lock(m_);
    for (Slot& s : slots_) s.bytes.resize(std::max<size_t>(kFrameHeader + jpeg_->maxBytes(), 1024));
  }
  char json[512];
  std::snprintf(json, sizeof json,
                "{\"type\":\"ready\",\"session\":%d,\"width\":%d,\"height\":%d,\"fps\":%d,\"rate\":%d,"
                "\"packet\":%d,\"max_message\":%zu,\"bundle\":\"%s\"}",
                id_, w, h, kFps, kRate, kPacket, kMaxMessage, jsonEscape(baseName(opts_.bundle)).c_str());
  sendText(json);
}

void Session::serve() {
  next_ = lastStats_ = clock::now();
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(m_);
      cv_.wait_until(lock, next_, [this] { return stop_ || inCount_ || endMark_ || interruptMark_; });
      if (stop_) return;
    }
    takeInput();
    const auto now = clock::now();
    if (now < next_) continue;
    next_ += kTick;
    if (now - next_ > kMaxBehind) {  // the ticks skipped are frames the client never got
      late_ += static_cast<uint64_t>((now - next_) / kTick);
      next_ = now + kTick;
    }
    tick();
  }
}

// Pushes the waiting audio and applies the marks, outside the lock.
void Session::takeInput() {
  size_t n = 0;
  bool endMark = false, interruptMark = false;
  {
    const std::lock_guard<std::mutex> lock(m_);
    for (; n < inCount_; ++n) taken_[n] = inbox_[(inHead_ + n) % kInbox];
    inHead_ = (inHead_ + n) % kInbox;
    inCount_ = 0;
    std::swap(endMark, endMark_);
    std::swap(interruptMark, interruptMark_);
  }
  if (interruptMark) le_utt_interrupt(utt_.get());
  if (n) le_utt_push_audio(utt_.get(), taken_.data(), static_cast<int>(n));
  if (endMark) le_utt_end_utterance(utt_.get());
}

void Session::tick() {
  ++ticks_;
  if (ticks_ % (kFps / 2) == 0) sendStats();
  le_utt_frame_info info{};
  if (le_utt_pull_frame(utt_.get(), rgb_.data(), rgb_.size(), &info) != 1) {
    // Before an utterance's first frame the session is still waiting for
    // its first motion rows; any other tick without a frame is late.
    le_utt_stats s{};
    le_utt_get_stats(utt_.get(), &s);
    ++(s.state == LE_UTT_STATE_ONSET ? waiting_ : late_);
    return;
  }
  ++frames_;
  if (info.kind == LE_UTT_FRAME_SPEECH) ++speech_;
  if (info.kind == LE_UTT_FRAME_RAMP) ++ramp_;
  Slot* slot = reserve();
  if (!slot) return;
  writeFrameHeader(info, slot->bytes.data());
  publish(slot, kFrameHeader + jpeg_->encode(rgb_.data(), slot->bytes.data() + kFrameHeader), false);
}

void Session::sendStats() {
  le_utt_stats s{};
  le_utt_get_stats(utt_.get(), &s);
  uint64_t failures = 0;
  le_utt_render_status(utt_.get(), nullptr, 0, &failures);
  const double fps = (frames_ - statsFrames_) / std::max(secondsSince(lastStats_), 1e-3);
  statsFrames_ = frames_;
  lastStats_ = clock::now();
  char json[512];
  std::snprintf(json, sizeof json,
                "{\"type\":\"stats\",\"state\":\"%s\",\"frames\":%llu,\"speech\":%llu,\"ramp\":%llu,\"late\":%llu,"
                "\"waiting\":%llu,\"dropped\":%llu,\"fps\":%.1f,\"onsets\":%llu,\"onset_ms\":%.0f,"
                "\"render_ms\":%.1f,\"failures\":%llu}",
                stateName(s.state), static_cast<unsigned long long>(frames_), static_cast<unsigned long long>(speech_),
                static_cast<unsigned long long>(ramp_), static_cast<unsigned long long>(late_),
                static_cast<unsigned long long>(waiting_), static_cast<unsigned long long>(dropped_), fps,
                static_cast<unsigned long long>(s.onsets), s.onsets ? s.last_onset_ms : -1.0, s.render_ms_ema,
                static_cast<unsigned long long>(failures));
  sendText(json);
}

void Session::sendText(const std::string& json) {
  Slot* slot = reserve();
  if (!slot || json.size() > slot->bytes.size()) return;
  std::copy(json.begin(), json.end(), slot->bytes.begin());
  publish(slot, json.size(), true);
}

// The next free slot, or nullptr when the client is behind: the message is
// dropped, and a client that has taken nothing for kStall ends the session.
Session::Slot* Session::reserve() {
  const auto now = clock::now();
  const std::lock_guard<std::mutex> lock(m_);
  if (outCount_ < kSlots) return &slots_[(outHead_ + outCount_) % kSlots];
  ++dropped_;
  if (now - slots_[outHead_].at > kStall && !stop_) {
    stop_ = true;
    code_ = 1008;
    reason_ = "the client stopped reading frames";
  }
  return nullptr;
}

void Session::publish(Slot* slot, size_t size, bool text) {
  slot->size = size;
  slot->text = text;
  slot->at = clock::now();
  {
    const std::lock_guard<std::mutex> lock(m_);
    ++outCount_;
  }
  wake_();
}

void Session::logClose() {
  le_utt_stats s{};
  uint64_t failures = 0;
  char failure[256] = "";
  if (utt_) {
    le_utt_get_stats(utt_.get(), &s);
    le_utt_render_status(utt_.get(), failure, sizeof failure, &failures);
  }
  std::string why;
  uint64_t audioDropped = 0;
  {
    const std::lock_guard<std::mutex> lock(m_);
    why = reason_;
    audioDropped = audioDropped_;
  }
  std::string extra = s.onsets ? ", onset " + std::to_string(std::lround(s.last_onset_ms)) + " ms" : "";
  if (audioDropped) extra += ", " + std::to_string(audioDropped) + " samples dropped while loading";
  if (failures) extra += ", " + std::to_string(failures) + " render failures (last: " + failure + ")";
  logLine("[vozaz serve] session %d %s: open %.1f s, %llu frames (%llu speech, %llu ramp), %llu late, %llu dropped, "
          "render %.1f ms%s; closed: %s",
          id_, peer_.c_str(), secondsSince(opened_), static_cast<unsigned long long>(frames_),
          static_cast<unsigned long long>(speech_), static_cast<unsigned long long>(ramp_),
          static_cast<unsigned long long>(late_), static_cast<unsigned long long>(dropped_),
          s.render_ms_ema, extra.c_str(), why.c_str());
}

}  // namespace vozaz::serve
