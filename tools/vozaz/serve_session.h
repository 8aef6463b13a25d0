// One browser connection's utterance session. Its pump thread owns the
// context and the session: it pushes the audio the network thread received,
// pulls a frame every 40 ms, encodes it as JPEG into a short outbox the
// network thread sends from, and sends the session's figures twice a second.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "jpeg_encoder.h"
#include "le/le_cpp.h"
#include "utt_host.h"

namespace vozaz::serve {

struct Options {
  std::string bundle, motion;
  int threads = 0;  // le_create's and the session's; 0: the library's choice
  int quality = 80;
};

// Keeps one context between sessions, so a new connection skips the
// director load the previous one paid. Any thread.
class ContextShelf {
 public:
  ContextShelf(std::string bundle, int threads) : bundle_(std::move(bundle)), threads_(threads) {}
  // The shelved context, or a new one; throws with le_last_error.
  le_ctx_ptr take();
  // Shelves ctx when the shelf is empty, else destroys it.
  void put(le_ctx_ptr ctx);

 private:
  const std::string bundle_;
  const int threads_;
  std::mutex m_;
  le_ctx_ptr spare_;  // guarded by m_
};

// A message for the client, valid until Session::pop.
struct Message {
  const uint8_t* data;
  size_t size;
  bool text;
};

class Session {
 public:
  // wake asks the network thread to send; finished is called once, last, on
  // the pump thread, after the context and the session are released.
  Session(int id, std::string peer, const Options& opts, ContextShelf& shelf, std::function<void()> wake,
          std::function<void()> finished);
  ~Session();  // ends the session and joins the pump
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Network thread.
  void audio(const int16_t* samples, size_t n);
  void endUtterance();
  void interrupt();
  // Ends the session with a WebSocket close code and a reason; the first wins.
  void end(int code, const std::string& reason);
  // The oldest unsent message; pop once it is sent.
  bool front(Message& m);
  void pop();
  // How the session ended, once finished has been called.
  int closeCode();
  std::string closeReason();
  int id() const { return id_; }

 private:
  static constexpr int kSlots = 4;             // ~160 ms of frames
  static constexpr size_t kInbox = 2 * kRate;  // audio may run 2 s ahead of the pump
  struct Slot {
    std::vector<uint8_t> bytes;
    size_t size = 0;
    bool text = false;
    std::chrono::steady_clock::time_point at;
  };

  // Pump thread.
  void run();
  void load();
  void serve();
  void takeInput();
  void tick();
  void sendText(const std::string& json);
  Slot* reserve();
  void publish(Slot* slot, size_t size, bool text);
  void sendStats();
  void logClose();
  bool stopping();

  const int id_;
  const std::string peer_;
  const Options& opts_;
  ContextShelf& shelf_;
  const std::function<void()> wake_, finished_;

  std::mutex m_;
  std::condition_variable cv_;  // wakes the pump
  // Guarded by m_. Network thread to pump: an audio ring and the marks.
  std::vector<int16_t> inbox_ = std::vector<int16_t>(kInbox);
  size_t inHead_ = 0, inCount_ = 0;
  uint64_t audioDropped_ = 0;
  bool endMark_ = false, interruptMark_ = false;
  bool stop_ = false;
  int code_ = 1000;
  std::string reason_;
  // Guarded by m_. Pump to network thread: the outbox. A slot is the pump's
  // until published and the network thread's until popped.
  std::array<Slot, kSlots> slots_;
  size_t outHead_ = 0, outCount_ = 0;

  // Pump thread only.
  le_ctx_ptr ctx_;
  Utt utt_;
  std::unique_ptr<JpegEncoder> jpeg_;
  std::vector<uint8_t> rgb_;
  std::vector<int16_t> taken_ = std::vector<int16_t>(kInbox);
  std::chrono::steady_clock::time_point opened_ = std::chrono::steady_clock::now(), next_, lastStats_;
  uint64_t ticks_ = 0, frames_ = 0, speech_ = 0, ramp_ = 0, late_ = 0, waiting_ = 0, dropped_ = 0, statsFrames_ = 0;

  std::thread pump_;  // last: starts once the rest exists
};

}  // namespace vozaz::serve
