#include "audio/shared_encoders.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "base/env.h"
#include "base/log.h"
#include "base/threads.h"
#include "bundle/paths.h"
#include "pool/pool.h"
#include "ort/api.h"
#include "ort/options.h"

namespace le::a2x {
namespace {

// Everything below lives until process exit: the mutex and the state are
// never destroyed, so a host thread still running at exit cannot touch a
// dead session.
struct Shared {
  std::unique_ptr<Ort::Session> w2v;
  std::string w2vPath;
  std::unique_ptr<Ort::Session> trunk;
  std::unique_ptr<Ort::Session> head;
  std::string trunkOut;
  bool winTried = false;
  std::vector<threads::Registration> census;
};

std::mutex& g_w2v_mtx() {
  static auto* m = new std::mutex;
  return *m;
}

Shared& shared() {
  static auto* s = new Shared;
  return *s;
}

std::atomic<int> g_w2vwin_LT{0};

void countIntraOp(Shared& s, const std::string& owner, int threads) {
  // The thread that calls Run is one of the pool's threads.
  const int t = threads >= 1 ? threads : pool::threads();
  if (t > 1) s.census.emplace_back("ort intra-op", owner, t - 1, "a shared speech encoder's Session::Run");
}

thread_local bool t_le_a2x_on_owner = false;

// One job at a time, handed over through `job` and acknowledged by `done`.
struct Owner {
  std::mutex mutex;
  std::condition_variable cv;
  const std::function<void()>* job = nullptr;
  bool done = false;
  threads::Registration census{"a2x owner", "shared speech encoders", 1,
                               "creates and runs every speech encoder session when CUDA is on"};
};

constexpr auto kWaitSlice = std::chrono::milliseconds(50);

[[noreturn]] void ownerLoop(Owner* o) {
  t_le_a2x_on_owner = true;
  for (;;) {
    const std::function<void()>* job = nullptr;
    {
      std::unique_lock<std::mutex> lock(o->mutex);
      while (!o->job) o->cv.wait_for(lock, kWaitSlice);
      job = o->job;
    }
    (*job)();  // the wrapper never throws
    std::lock_guard<std::mutex> lock(o->mutex);
    o->job = nullptr;
    o->done = true;
    o->cv.notify_all();
  }
}

Owner& owner() {
  static Owner* const o = [] {
    auto* made = new Owner;
    std::thread(ownerLoop, made).detach();
    return made;
  }();
  return *o;
}

bool containsBoth(const std::string& text, const char* a, const char* b) {
  return text.find(a) != std::string::npos && text.find(b) != std::string::npos;
}

// The pair's two files, or false when neither place has both.
bool pairPaths(const char* w2v_path, std::string& trunk, std::string& head) {
  if (env::nonEmpty("LE_A2X_W2V_WIN_ONNX") && env::nonEmpty("LE_A2X_W2V_HEAD_ONNX")) {
    trunk = env::text("LE_A2X_W2V_WIN_ONNX");
    head = env::text("LE_A2X_W2V_HEAD_ONNX");
    return true;
  }
  if (!w2v_path || !*w2v_path) return false;
  const std::string p = w2v_path;
  const size_t slash = p.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : p.substr(0, slash);
  static const char* const kPairs[][2] = {
      {"audio_encoder_fp16_window_trunk.onnx", "audio_encoder_fp16_window_head.onnx"},
      {"w2v_trunk32.onnx", "w2v_head32.onnx"},
  };
  for (const auto& pair : kPairs) {
    const std::string t = dir + "/" + pair[0];
    const std::string h = dir + "/" + pair[1];
    if (opensForReading(t) && opensForReading(h)) {
      trunk = t;
      head = h;
      return true;
    }
  }
  return false;
}

}  // namespace

std::unique_ptr<Ort::Session> le_a2x_open_session(const char* path, Ort::SessionOptions& options) {
  try {
    return ort::open(path, options);
  } catch (const Ort::Exception& e) {
    if (!containsBoth(e.what(), "Gelu", "float16")) throw;
  }
  log::warn(
      "[le_a2x] %s: ORT's level-2 Gelu fusion produced a float16 com.microsoft.Gelu this runtime has no CPU kernel "
      "for; reopening at ORT_ENABLE_BASIC\n",
      path);
  options.SetGraphOptimizationLevel(ORT_ENABLE_BASIC);
  return ort::open(path, options);
}

bool onOwnerThread() { return t_le_a2x_on_owner; }

void le_a2x_on_owner_thread(const std::function<void()>& job) {
  if (!env::equals("LE_A2X_CUDA", "1") || t_le_a2x_on_owner) {
    job();
    return;
  }
  static std::mutex one_at_a_time;
  Owner& o = owner();
  std::lock_guard<std::mutex> serial(one_at_a_time);
  std::exception_ptr failure;
  const std::function<void()> wrapper = [&] {
    try {
      job();
    } catch (...) {
      failure = std::current_exception();
    }
  };
  {
    std::unique_lock<std::mutex> lock(o.mutex);
    o.job = &wrapper;
    o.done = false;
    o.cv.notify_all();
    while (!o.done) o.cv.wait_for(lock, kWaitSlice);
  }
  if (failure) std::rethrow_exception(failure);
}

int64_t w2v_file_bytes(const char* path) {
  if (!path || !*path) return -1;
  FILE* f = std::fopen(path, "rb");
  if (!f) return -1;
  int64_t size = -1;
  if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
  std::fclose(f);
  return size;
}

Ort::Session* get_shared_w2v(const char* path, int threads) {
  std::lock_guard<std::mutex> lock(g_w2v_mtx());
  Shared& s = shared();
  if (s.w2v) return s.w2v.get();
  Ort::SessionOptions options = ort::speechOptions(threads >= 1 ? threads : pool::threads(), "w2v");
  std::unique_ptr<Ort::Session> made;
  le_a2x_on_owner_thread([&] { made = le_a2x_open_session(path ? path : "", options); });
  s.w2v = std::move(made);
  s.w2vPath = path ? path : "";
  countIntraOp(s, s.w2vPath, threads);
  return s.w2v.get();
}

bool get_shared_w2v_win(int threads, const char* w2v_path) {
  std::lock_guard<std::mutex> lock(g_w2v_mtx());
  Shared& s = shared();
  if (s.trunk && s.head) return true;
  if (s.winTried) return false;
  s.winTried = true;
  std::string trunk, head;
  if (!pairPaths(w2v_path, trunk, head)) {
    log::warn(
        "[le_a2x] short-window audio frontend NOT DEPLOYED on this plane: neither "
        "LE_A2X_W2V_WIN_ONNX/LE_A2X_W2V_HEAD_ONNX are set nor is the pair beside $W2V_ONNX (%s) as "
        "audio_encoder_fp16_window_{trunk,head}.onnx (legacy w2v_trunk32.onnx/w2v_head32.onnx). Serving the LEGACY "
        "8s window — same reference quality, 2.8-3.9x the audio hop cost. Ship the pair beside the encoder "
        "(tools/export_w2v_window.py).\n",
        w2v_path ? w2v_path : "");
    return false;
  }
  try {
    Ort::SessionOptions options = ort::speechOptions(threads >= 1 ? threads : pool::threads(), "w2v");
    le_a2x_on_owner_thread([&] {
      s.trunk = le_a2x_open_session(trunk.c_str(), options);
      s.head = le_a2x_open_session(head.c_str(), options);
    });
    Ort::AllocatorWithDefaultOptions alloc;
    s.trunkOut = s.trunk->GetOutputNameAllocated(0, alloc).get();
    const std::vector<int64_t> shape = s.trunk->GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
    const bool declared = shape.size() == 3 && shape[2] >= 1;
    g_w2vwin_LT = declared ? static_cast<int>(shape[2]) : 0;
    const std::string lt = declared ? std::to_string(shape[2]) : "from-first-run";
    log::report("[le_a2x] short-window w2v frontend loaded (LT=%s) trunk=%s (%lld B) head=%s (%lld B)\n", lt.c_str(),
              trunk.c_str(), static_cast<long long>(w2v_file_bytes(trunk.c_str())), head.c_str(),
              static_cast<long long>(w2v_file_bytes(head.c_str())));
    countIntraOp(s, trunk, threads);
    countIntraOp(s, head, threads);
    return true;
  } catch (const std::exception& e) {
    log::warn("[le_a2x] short-window w2v load FAILED (%s) — legacy 8s path\n", e.what());
    s.trunk.reset();
    s.head.reset();
    return false;
  }
}

Pair sharedPair() {
  std::lock_guard<std::mutex> lock(g_w2v_mtx());
  Shared& s = shared();
  if (!s.trunk || !s.head) return {};
  return {s.trunk.get(), s.head.get(), s.trunkOut};
}

int trunkSteps() { return g_w2vwin_LT.load(); }
void learnTrunkSteps(int steps) {
  int expected = 0;
  g_w2vwin_LT.compare_exchange_strong(expected, steps);
}

}  // namespace le::a2x
