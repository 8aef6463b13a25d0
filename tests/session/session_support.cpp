#include "session/session_support.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
#include <regex>
#include <thread>

#include "audio/a2x_support.h"
#include "bundle/paths.h"
#include "le/le_a2x.h"
#include "support/fixtures.h"

namespace st {
namespace {

// Forges into a private directory and renames it into place, so concurrent
// test processes never see a half-written bundle.
std::string forgedOnce(const std::string& name, const std::string& args) {
  const std::string dir = lt::fixture("../session_fixtures/" + name);
  if (!le::pathExists(dir + "/.done")) {
    const std::string tmp = dir + ".tmp" + std::to_string(::getpid());
    le::rmTree(tmp);
    le::mkdirs(le::dirName(tmp));
    lt::forge(args + " " + tmp);
    lt::spit(tmp + "/.done", "");
    if (std::rename(tmp.c_str(), dir.c_str()) != 0) le::rmTree(tmp);  // another process won
  }
  return dir;
}

}  // namespace

const std::string& forged(const std::string& name, const std::string& args) {
  static std::mutex mutex;
  static std::map<std::string, std::string> made;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = made.find(name);
  if (it == made.end()) it = made.emplace(name, forgedOnce(name, args)).first;
  return it->second;
}

const std::string& directorBundle() {
  return forged("director",
                "director-bundle --nt 4 --frames 8 --model model_render.onnx:1 --model model_b24_fp32.onnx:24");
}

const std::string& teethBundle() {
  return forged("director_teeth",
                "director-bundle --crop 128 --w 160 --h 144 --nt 4 --frames 8 --model model_render.onnx:1 "
                "--model model_b24_fp32.onnx:24 --teeth");
}

const std::string& motionBundle() { return forged("motion", "motion-bundle --nt 4"); }
const std::string& motionPipelineBundle() { return forged("motion_pipeline", "motion-pipeline --nt 4"); }

const std::string& motionWithoutEncoder() {
  static const std::string d = [] {
    const std::string dir = lt::fixture("../session_fixtures/motion_no_encoder");
    le::mkdirs(dir);
    lt::spit(dir + "/xs_target.bin", lt::slurp(motionBundle() + "/xs_target.bin"));
    return dir;
  }();
  return d;
}

std::string w2vPath() { return lt::fixture("w2v_pair/w2v8.onnx"); }

std::vector<int16_t> speech16(const char* name) {
  const std::vector<float> f = at::speech(name);
  std::vector<int16_t> pcm(f.size());
  for (size_t i = 0; i < f.size(); ++i)
    pcm[i] = static_cast<int16_t>(std::lround(std::fmax(-1.f, std::fmin(f[i], 32767.f / 32768.f)) * 32768.f));
  return pcm;
}

std::vector<int16_t> clip() {
  const std::vector<int16_t> all = speech16();
  return std::vector<int16_t>(all.begin() + 12 * 640, all.begin() + 42 * 640);
}

void motionRows(const std::vector<int16_t>& pcm, int start, int want, std::vector<int>& idx, std::vector<float>& xs,
                std::vector<float>& xd) {
  constexpr int kKp = 63;
  idx.assign(want, 0);
  xs.assign(static_cast<size_t>(want) * kKp, 0.0f);
  xd.assign(static_cast<size_t>(want) * kKp, 0.0f);
  le_a2x* a = le_a2x_create(motionBundle().c_str(), 1);
  ASSERT_NE(a, nullptr) << le_a2x_last_error();
  le_a2x_reset(a, start, 1, 1);
  std::vector<float> audio(pcm.size());  // as the session sees the samples: x / 32768
  for (size_t i = 0; i < pcm.size(); ++i) audio[i] = static_cast<float>(pcm[i]) * 3.0517578e-5f;
  le_a2x_push(a, audio.data(), static_cast<int>(audio.size()));
  le_a2x_finish(a);
  for (int got = 0; got < want;) {
    const int n = le_a2x_pull(a, idx.data() + got, xs.data() + got * kKp, xd.data() + got * kKp, want - got);
    if (n <= 0) break;
    got += n;
  }
  le_a2x_destroy(a);
}

Ctx openCtx() {
  Ctx c(le_create(directorBundle().c_str(), "render", 0, ""));
  EXPECT_NE(c, nullptr) << le_last_error();
  return c;
}

le_utt_opts defaults() {
  le_utt_opts o{};
  o.motion_dir = motionBundle().c_str();
  return o;
}

Utt openReady(le_ctx* ctx, const le_utt_opts& opts) {
  Utt u(le_utt_create(ctx, &opts));
  EXPECT_NE(u, nullptr) << le_utt_last_error();
  if (!u) return u;
  waitFor([&] { return le_utt_ready(u.get()) != 0; }, 60);
  EXPECT_EQ(le_utt_ready(u.get()), 1) << le_utt_last_error();
  return u;
}

std::vector<Pulled> pullUntil(le_utt* utt, size_t frameBytes, const std::function<bool(const Pulled&)>& until,
                              double timeoutS) {
  std::vector<Pulled> out;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutS * kSlow);
  Pulled p;
  p.rgb.resize(frameBytes);
  while (std::chrono::steady_clock::now() < end) {
    if (le_utt_pull_frame(utt, p.rgb.data(), p.rgb.size(), &p.info) == 1) {
      out.push_back(p);
      if (until(p)) return out;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ADD_FAILURE() << "pulling timed out after " << out.size() << " frames: " << kindRuns(out);
  return out;
}

void pushAll(le_utt* utt, const std::vector<int16_t>& pcm) {
  for (size_t at = 0; at < pcm.size(); at += 320)
    ASSERT_EQ(le_utt_push_audio(utt, pcm.data() + at, static_cast<int>(std::min<size_t>(320, pcm.size() - at))), 1);
}

int waitAvailable(le_utt* utt, int want, double timeoutS) {
  int n = 0;
  waitFor([&] { return (n = le_utt_frames_available(utt)) == want; }, timeoutS);
  return n;
}

bool waitFor(const std::function<bool()>& done, double timeoutS) {
  const auto by = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutS * kSlow);
  for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(5)))
    if (std::chrono::steady_clock::now() > by) return false;
  return true;
}

Session::Session(const le_utt_opts& opts)
    : w2v("W2V_ONNX", w2vPath().c_str()),
      ctx(openCtx()),
      utt(openReady(ctx.get(), opts)),
      bytes(static_cast<size_t>(le_width(ctx.get())) * le_height(ctx.get()) * 3) {}

void Session::say(const std::vector<int16_t>& pcm, bool end) {
  pushAll(utt.get(), pcm);
  if (end) le_utt_end_utterance(utt.get());
}

std::vector<Pulled> pullUtterance(le_utt* utt, size_t frameBytes) {
  bool sawRamp = false;
  return pullUntil(utt, frameBytes, [&](const Pulled& p) {
    sawRamp = sawRamp || p.info.kind == 2;
    return sawRamp && p.info.kind == 0;
  });
}

std::vector<Pulled> Session::pullUtterance() { return st::pullUtterance(utt.get(), bytes); }

std::string kindRuns(const std::vector<Pulled>& frames) {
  std::string s;
  for (size_t i = 0; i < frames.size();) {
    size_t j = i;
    while (j < frames.size() && frames[j].info.kind == frames[i].info.kind) ++j;
    if (!s.empty()) s += ' ';
    s += std::to_string(frames[i].info.kind) + "x" + std::to_string(j - i);
    i = j;
  }
  return s;
}

Serve::Serve(const std::string& dir, const std::string& args)
    : child("env VELOMARK_ENGINE_QUIET=1 " LE_TEST_VOZAZ " serve " + directorBundle() + " " + motionBundle() +
                " --w2v " + w2vPath() + " --port 0 " + args,
            dir + "/serve.log") {
  const std::string port = child.waitForLog(std::regex(R"(listening on http://127\.0\.0\.1:(\d+)/)"), 120 * kSlow);
  port_ = port.empty() ? 0 : std::stoi(port);
  EXPECT_GT(port_, 0) << lt::slurp(dir + "/serve.log");
}

int Serve::sessions() const {
  std::smatch m;
  const std::string status = lt::httpGet(port_, "/status");
  return std::regex_search(status, m, std::regex(R"("sessions":(\d+))")) ? std::stoi(m[1]) : -1;
}

int Serve::waitSessions(int want, double timeoutS) const {
  int n = -1;
  waitFor([&] { return (n = sessions()) == want; }, timeoutS);
  return n;
}

int readyId(lt::WsClient& ws) {
  std::smatch m;
  for (lt::WsFrame f; (f = ws.read(60 * kSlow)).opcode >= 0;)
    if (f.opcode == 1 && std::regex_search(f.payload, m, std::regex(R"re("type":"ready","session":(\d+))re")))
      return std::stoi(m[1]);
  return -1;
}

}  // namespace st
