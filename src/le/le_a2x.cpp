// le_a2x_*: the C family of the streaming audio-to-expression object and the
// shared speech encoders. Its last error is its own thread-local text,
// overwritten on each failure and never cleared.
#include "le/le_a2x.h"

#include <exception>
#include <string>

#include "audio/a2x_stream.h"
#include "audio/shared_encoders.h"
#include "base/env.h"
#include "le/last_error.h"
#include "pool/pool.h"

struct le_a2x : le::a2x::Stream {
  using Stream::Stream;
};

namespace {

std::string& a2xError() {
  thread_local std::string text;
  return text;
}

void fail(const char* fn, const std::string& msg) { a2xError() = std::string(fn) + ": " + msg; }

// Runs body; an exception becomes "<fn>: <what>" and `failed` is returned.
template <class R, class Body>
R a2xGuarded(const char* fn, R failed, Body&& body) noexcept {
  return le::guardInto(a2xError(), fn, failed, std::forward<Body>(body));
}

}  // namespace

extern "C" LE_API le_a2x* le_a2x_create(const char* bundle_dir, int threads) {
  if (!bundle_dir) {
    fail("le_a2x_create", "no bundle directory given");
    return nullptr;
  }
  return a2xGuarded("le_a2x_create", static_cast<le_a2x*>(nullptr), [&] { return new le_a2x(bundle_dir, threads); });
}

extern "C" LE_API void le_a2x_destroy(le_a2x* a) { delete a; }

extern "C" LE_API const char* le_a2x_last_error(void) { return a2xError().c_str(); }

extern "C" LE_API int le_a2x_nt(const le_a2x* a) { return a ? a->nt() : 0; }

extern "C" LE_API void le_a2x_set_eager(le_a2x* a, int eager) {
  if (a) a2xGuarded("le_a2x_set_eager", 0, [&] {
      a->setEager(eager);
      return 0;
    });
}

extern "C" LE_API int le_a2x_push(le_a2x* a, const float* samples, int n) {
  if (a) a2xGuarded("le_a2x_push", 0, [&] {
      a->push(samples, n);
      return 1;
    });
  return 1;
}

extern "C" LE_API void le_a2x_finish(le_a2x* a) {
  if (a) a2xGuarded("le_a2x_finish", 0, [&] {
      a->finish();
      return 0;
    });
}

extern "C" LE_API int le_a2x_total(const le_a2x* a) { return a ? a->total() : -1; }

extern "C" LE_API int le_a2x_width(const le_a2x* a) { return a ? a->width() : 0; }

extern "C" LE_API void le_a2x_reset(le_a2x* a, int start, int direction, int loop) {
  if (a) a2xGuarded("le_a2x_reset", 0, [&] {
      a->reset(start, direction, loop);
      return 0;
    });
}

// A failed run leaves the object good only for a reset; the calls answer 0.
extern "C" LE_API int le_a2x_avail(le_a2x* a) {
  return a ? a2xGuarded("le_a2x_avail", 0, [&] { return a->avail(); }) : 0;
}

extern "C" LE_API int le_a2x_pull(le_a2x* a, int* idx, float* xs, float* xd, int max) {
  if (!a || !idx || !xs || !xd) {
    fail("le_a2x_pull", "null object or output buffer");
    return 0;
  }
  return a2xGuarded("le_a2x_pull", 0, [&] { return a->pull(idx, xs, xd, max); });
}

extern "C" LE_API int le_a2x_pull_wn(le_a2x* a, int* idx, float* xs, float* xd, float* wn, int max) {
  if (!a || !idx || !xs || !xd || !wn) {
    fail("le_a2x_pull_wn", "null object or output buffer");
    return 0;
  }
  return a2xGuarded("le_a2x_pull_wn", 0, [&] { return a->pullWn(idx, xs, xd, wn, max); });
}

extern "C" LE_API int le_a2x_deltas(le_a2x* a, const float* audio, int n, float* out, int max_frames) {
  if (n >= 1 && (!a || !audio || !out)) {
    fail("le_a2x_deltas", "null object, audio or output buffer");
    return -1;
  }
  return a2xGuarded("le_a2x_deltas", -1, [&] { return n < 1 ? 0 : a->deltas(audio, n, out, max_frames); });
}

extern "C" LE_API int le_a2x_deltas_wn(le_a2x* a, const float* audio, int n, float* out, float* wn, int max_frames) {
  if (a && !a->width()) {
    fail("le_a2x_deltas_wn", "encoder declares no wn output");
    return -3;
  }
  if (n >= 1 && (!a || !audio || !out || !wn)) {
    fail("le_a2x_deltas_wn", "null object, audio or output buffer");
    return -1;
  }
  return a2xGuarded("le_a2x_deltas_wn", -1, [&] {
    if (n < 1) return 0;
    const int frames = a->deltas(audio, n, out, max_frames);
    if (frames < 0) return frames;
    const std::vector<float>& per = a->offlineWn();
    for (int f = 0; f < frames; ++f) wn[f] = static_cast<size_t>(f) < per.size() ? per[static_cast<size_t>(f)] : 0.f;
    return frames;
  });
}

extern "C" LE_API int le_a2x_preload_w2v(const char* path) {
  return a2xGuarded("le_a2x_preload_w2v", 0, [&] {
    std::string p = path ? path : "";
    if (p.empty()) {
      const char* fromEnv = le::env::raw("W2V_ONNX");
      if (!fromEnv) {
        fail("le_a2x_preload_w2v", "no path and $W2V_ONNX unset");
        return 0;
      }
      p = fromEnv;
    }
    return le::a2x::get_shared_w2v(p.c_str(), le::pool::threads()) ? 1 : 0;
  });
}

extern "C" LE_API int le_a2x_w2v8_lazy(void) { return 1; }
