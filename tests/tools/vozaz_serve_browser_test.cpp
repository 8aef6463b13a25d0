// vozaz serve with a real browser: headless Chromium takes a fake
// microphone playing espeak-ng speech, the page runs its self-test and
// reports what it received. A screenshot of the page mid-utterance is taken
// through the DevTools protocol.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include "session/session_support.h"

namespace {

// One DevTools call on the page; the answer's text.
std::string devtools(lt::WsClient& page, int id, const std::string& method, const std::string& params) {
  page.send(1, "{\"id\":" + std::to_string(id) + ",\"method\":\"" + method + "\",\"params\":" + params + "}");
  const std::string tag = "{\"id\":" + std::to_string(id) + ",";
  for (lt::WsFrame f; (f = page.read(30)).opcode >= 0;)
    if (f.payload.rfind(tag, 0) == 0) return f.payload;
  return "";
}

TEST(VozazServeBrowser, SelfTestSeesIdleThenSpeechThenIdle) {
#ifdef LE_TEST_CROSS_BUILD
  GTEST_SKIP() << "the browser test runs on the build machine's own architecture";
#endif
  if (lt::run("command -v chromium > /dev/null") != 0)
    GTEST_SKIP() << "chromium is not installed, so the browser test of vozaz serve is skipped (make deps installs it)";
  const std::string dir = lt::scratchDir(), wav = dir + "/speech.wav", profile = dir + "/profile";
  ASSERT_EQ(lt::run("ffmpeg -nostdin -loglevel error -y -f f32le -ar 16000 -ac 1 -i " + lt::fixture("speech_a.f32") +
                    " -c:a pcm_s16le " + wav),
            0);
  st::Serve serve(dir, "");
  ASSERT_GT(serve.port(), 0);
  lt::Child browser("chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
                    "--disable-background-networking --disable-component-update --disable-sync --user-data-dir=" +
                        profile +
                        " --window-size=1280,800 --remote-debugging-port=0 --autoplay-policy=no-user-gesture-required "
                        "--use-fake-ui-for-media-stream --use-fake-device-for-media-stream "
                        "--use-file-for-fake-audio-capture=" +
                        wav + " about:blank",
                    dir + "/chromium.log");

  // The page's DevTools socket: Chromium writes its port into the profile.
  std::string devPort;
  for (int i = 0; i < 600 && (devPort = lt::slurp(profile + "/DevToolsActivePort")).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_FALSE(devPort.empty()) << lt::slurp(dir + "/chromium.log");
  std::smatch m;
  const std::string list = lt::httpGet(std::stoi(devPort), "/json/list");
  ASSERT_TRUE(std::regex_search(list, m, std::regex(R"("webSocketDebuggerUrl": "ws://[^/]+(/devtools/page/[^"]+))")))
      << list;
  lt::WsClient page(std::stoi(devPort), m[1]);
  ASSERT_TRUE(page.upgraded());
  // Opened from here, so that the screenshot below cannot miss the utterance.
  devtools(page, 1, "Page.navigate",
           "{\"url\":\"http://127.0.0.1:" + std::to_string(serve.port()) + "/?selftest=3\"}");

  // Mid-utterance: once the page has counted 10 speech frames, the microphone still on.
  int speechSeen = 0;
  for (int id = 2; id < 600 && speechSeen < 10; ++id) {
    const std::string r = devtools(page, id, "Runtime.evaluate", R"({"expression":"seen.speech"})");
    if (std::regex_search(r, m, std::regex(R"("value":(\d+))"))) speechSeen = std::stoi(m[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
  }
  EXPECT_GE(speechSeen, 10);
  const std::string shot = devtools(page, 1000, "Page.captureScreenshot", R"({"format":"png"})");
  const size_t data = shot.find("\"data\":\"");  // too long for std::regex
  ASSERT_NE(data, std::string::npos) << shot.substr(0, 200);
  lt::spit(dir + "/page.b64", shot.substr(data + 8, shot.find('"', data + 8) - data - 8));
  EXPECT_EQ(lt::run("base64 -d " + dir + "/page.b64 > " + dir + "/page.png"), 0);
  EXPECT_EQ(lt::slurp(dir + "/page.png").substr(0, 4), "\x89PNG");

  const std::string report =
      serve.child.waitForLog(std::regex(R"(session \d+ self-test: ([^\n]*))"), 60 * st::kSlow);
  ASSERT_FALSE(report.empty()) << lt::slurp(dir + "/serve.log");
  // Idle frames before the microphone, speech while it plays, a ramp, idle after.
  EXPECT_TRUE(std::regex_search(report, std::regex(R"( runs=0x\d+,1x\d+(,2x\d+)?,0x\d+$)"))) << report;
  ASSERT_TRUE(std::regex_search(report, m, std::regex(R"(speech=(\d+))")));
  EXPECT_GE(std::stoi(m[1]), 60);  // 3 s of microphone is 75 frames
  EXPECT_EQ(serve.child.stop(), 0);
}

}  // namespace
