// vozaz serve under hostile clients: each bad client ends only its own
// session, with the close code and the log line that say why, while a
// well-behaved client keeps talking and getting frames; once all are gone
// the server is back to its idle thread count.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "session/session_support.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string packetBytes(const std::vector<int16_t>& pcm, size_t at) {
  std::string p(640, '\0');
  for (size_t i = 0; i < 320; ++i) {
    const int16_t s = pcm[(at + i) % pcm.size()];
    p[2 * i] = static_cast<char>(s & 0xff);
    p[2 * i + 1] = static_cast<char>((s >> 8) & 0xff);
  }
  return p;
}

// Speaks at the real-time pace until a speech frame comes back, 30 s at most; whether one came.
bool speakUntilSpeech(lt::WsClient& c, const std::vector<int16_t>& pcm) {
  auto next = Clock::now();
  for (size_t at = 0; at < 30 * 16000; at += 320) {
    c.send(2, packetBytes(pcm, at));
    std::this_thread::sleep_until(next += std::chrono::milliseconds(20));
    for (lt::WsFrame f; (f = c.read(0)).opcode >= 0;)
      if (f.opcode == 2 && f.payload[0] == 1) return true;
  }
  return false;
}

// Speaks the test speech in a loop at the real-time pace and reads frames.
class Talker {
 public:
  explicit Talker(int port) : ws_(port, "/ws") {
    EXPECT_GE(st::readyId(ws_), 1);
    sender_ = std::thread([this] {
      const auto pcm = st::speech16();
      auto next = Clock::now();
      for (size_t at = 0; !stop_; at += 320) {
        ws_.send(2, packetBytes(pcm, at));
        std::this_thread::sleep_until(next += std::chrono::milliseconds(20));
      }
    });
    reader_ = std::thread([this] {
      while (!stop_)
        if (ws_.read(0.2).opcode == 2) ++frames_;
    });
  }
  ~Talker() { hangUp(); }
  void hangUp() {
    stop_ = true;
    if (sender_.joinable()) sender_.join();
    if (reader_.joinable()) reader_.join();
    ws_.send(8, std::string("\x03\xe8", 2));
  }
  int frames() const { return frames_; }

 private:
  lt::WsClient ws_;
  std::atomic<bool> stop_{false};
  std::atomic<int> frames_{0};
  std::thread sender_, reader_;
};

TEST(VozazServe, BadClientsEndOnlyTheirOwnSession) {
  const std::string dir = lt::scratchDir();
  st::Serve serve(dir, "--max-sessions 2");
  ASSERT_GT(serve.port(), 0);
  const int idleThreads = serve.child.threads();
  const std::string idleStatus = lt::httpGet(serve.port(), "/status");
  const auto pcm = st::speech16();
  Talker talker(serve.port());

  const struct {
    const char* name;
    int recvBuffer;
    std::function<void(lt::WsClient&)> act;
    int code;  // the close frame the client gets; 0: it cannot read one
    std::string reason;
  } cases[] = {
      {"unmasked frame", 0, [&](lt::WsClient& c) { c.send(2, packetBytes(pcm, 0), false); }, 1002,
       "the client broke the WebSocket protocol"},
      {"reserved opcode", 0, [](lt::WsClient& c) { c.send(3, "x"); }, 1002, "the client broke the WebSocket protocol"},
      {"text that is not UTF-8", 0, [](lt::WsClient& c) { c.send(1, "\xff\xfe"); }, 1007,
       "the client broke the WebSocket protocol"},
      {"half a sample", 0, [](lt::WsClient& c) { c.send(2, "abc"); }, 1003,
       "the client sent an audio message that is not a whole number of 16-bit samples"},
      {"unknown command", 0, [](lt::WsClient& c) { c.send(1, "dance"); }, 1003,
       "the client sent an unknown command (the commands are end, interrupt and report)"},
      {"64 KiB message", 0, [](lt::WsClient& c) { c.send(2, std::string(65536, '\0')); }, 1009,
       "the client sent a message over 4096 bytes"},
      {"3 s of audio at once", 0,
       [&](lt::WsClient& c) {
         for (size_t at = 0; at < 48000; at += 320) c.send(2, packetBytes(pcm, at));
       },
       1008, "the client sent audio faster than real time"},
      {"stops reading", 4096, [](lt::WsClient&) {}, 0, "the client stopped reading frames"},
      {"hangs up mid-utterance", 0,
       [&](lt::WsClient& c) {
         EXPECT_TRUE(speakUntilSpeech(c, pcm));
         c.drop();
       },
       0, "the client disconnected"},
  };
  for (const auto& k : cases) {
    const int served = talker.frames();
    lt::WsClient c(serve.port(), "/ws", k.recvBuffer);
    ASSERT_TRUE(c.upgraded()) << k.name;
    const int id = st::readyId(c);
    k.act(c);
    if (k.code) {
      lt::WsFrame f;
      while ((f = c.read(30 * st::kSlow)).opcode >= 0 && f.opcode != 8) {
      }
      EXPECT_EQ(f.closeCode(), k.code) << k.name;
    }
    const std::string why = serve.child.waitForLog(
        std::regex("session " + std::to_string(id) + " [^\n]*closed: ([^\n]*)"), 30 * st::kSlow);
    EXPECT_EQ(why.substr(0, k.reason.size()), k.reason) << k.name;
    EXPECT_EQ(serve.waitSessions(1, 10), 1) << k.name;
    for (int i = 0; i < 200 && talker.frames() == served; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_GT(talker.frames(), served) << "the well-behaved client got no frame while a client sent " << k.name;
  }

  {  // past --max-sessions: a refusal the client can read
    lt::WsClient holder(serve.port(), "/ws"), extra(serve.port(), "/ws");
    EXPECT_GE(st::readyId(holder), 1);
    ASSERT_TRUE(extra.upgraded());
    const lt::WsFrame f = extra.read(10 * st::kSlow);
    EXPECT_EQ(f.closeCode(), 1013);
    EXPECT_EQ(f.closeReason(), "all 2 sessions are in use (--max-sessions); try again when one closes");
  }
  const std::string bad = lt::httpRaw(serve.port(), "NONSENSE\r\n\r\n");
  EXPECT_EQ(bad.substr(0, 24), "HTTP/1.1 400 Bad Request") << bad;

  talker.hangUp();
  EXPECT_EQ(serve.waitSessions(0, 10), 0);
  int threads = 0;
  for (int i = 0; i < 200 && (threads = serve.child.threads()) != idleThreads; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(threads, idleThreads);
  std::smatch idle, now;
  const std::string status = lt::httpGet(serve.port(), "/status");
  ASSERT_TRUE(std::regex_search(idleStatus, idle, std::regex(R"("library_threads":(\d+))")));
  ASSERT_TRUE(std::regex_search(status, now, std::regex(R"("library_threads":(\d+))")));
  EXPECT_EQ(now[1], idle[1]);
  EXPECT_EQ(serve.child.stop(), 0) << serve.child.log();
}

// Barge-in from the wire: the session drops the rest of the utterance and
// eases back to idle; no speech frame follows the ramp.
TEST(VozazServe, InterruptEasesBackToIdle) {
  st::Serve serve(lt::scratchDir(), "");
  ASSERT_GT(serve.port(), 0);
  lt::WsClient c(serve.port(), "/ws");
  ASSERT_GE(st::readyId(c), 1);
  ASSERT_TRUE(speakUntilSpeech(c, st::speech16()));
  c.send(1, "interrupt");
  // The speech frames already on their way, the ramp, then idle for good.
  std::string kinds;
  for (lt::WsFrame f; kinds.size() < 40 && (f = c.read(10 * st::kSlow)).opcode >= 0;)
    if (f.opcode == 2) kinds += static_cast<char>('0' + f.payload[0]);
  EXPECT_TRUE(std::regex_match(kinds, std::regex("1{0,12}2{1,4}0+"))) << kinds;
  EXPECT_EQ(serve.child.stop(), 0) << serve.child.log();  // under ASan, also no leak
}

}  // namespace
