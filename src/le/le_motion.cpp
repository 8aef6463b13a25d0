// le_motion_*: the C family of the motion pipeline. Every call clears the
// family's thread-local last error on entry.
#include "le/le_motion.h"

#include <exception>
#include <string>
#include <utility>

#include "audio/motion_pipeline.h"
#include "le/last_error.h"

struct le_motion : le::motion::Pipeline {
  using Pipeline::Pipeline;
};

namespace {

std::string& motionError() {
  thread_local std::string text;
  return text;
}

void fail(const char* fn, const std::string& msg) { motionError() = std::string(fn) + ": " + msg; }

// Clears the last error and runs body; an exception becomes "<fn>: <what>"
// and `failed` is returned.
template <class R, class Body>
R motionGuarded(const char* fn, R failed, Body&& body) noexcept {
  motionError().clear();
  return le::guardInto(motionError(), fn, failed, std::forward<Body>(body));
}

}  // namespace

extern "C" LE_API le_motion* le_motion_create(const char* motion_dir, int threads, const char* ep) {
  return motionGuarded("le_motion_create", static_cast<le_motion*>(nullptr), [&]() -> le_motion* {
    if (!motion_dir) {
      fail("le_motion_create", "NULL motion_dir");
      return nullptr;
    }
    return new le_motion(motion_dir, threads, ep ? ep : "");
  });
}

extern "C" LE_API void le_motion_destroy(le_motion* m) {
  motionError().clear();
  delete m;
}

extern "C" LE_API const char* le_motion_last_error(void) { return motionError().c_str(); }

extern "C" LE_API int le_motion_nt(const le_motion* m) {
  motionError().clear();
  return m ? m->nt() : 0;
}

extern "C" LE_API void le_motion_set_eager(le_motion* m, int eager) {
  motionError().clear();
  if (m) m->setEager(eager);
}

extern "C" LE_API int le_motion_push(le_motion* m, const float* samples, int n) {
  return motionGuarded("le_motion_push", 0, [&] {
    if (!m || !samples || n < 0 || m->finished()) {
      fail("le_motion_push", "bad args / already finished");
      return 0;
    }
    m->push(samples, n);
    return 1;
  });
}

extern "C" LE_API void le_motion_finish(le_motion* m) {
  motionGuarded("le_motion_finish", 0, [&] {
    if (m) m->finish();
    return 0;
  });
}

extern "C" LE_API int le_motion_total(const le_motion* m) {
  motionError().clear();
  return m ? m->total() : -1;
}

extern "C" LE_API void le_motion_reset(le_motion* m, int start, int direction, int loop) {
  motionGuarded("le_motion_reset", 0, [&] {
    if (m) m->reset(start, direction, loop);
    return 0;
  });
}

extern "C" LE_API int le_motion_avail(le_motion* m) {
  return motionGuarded("le_motion_avail", 0, [&] { return m ? m->avail() : 0; });
}

extern "C" LE_API int le_motion_pull(le_motion* m, int* idx, float* xs, float* xd, int max) {
  return motionGuarded("le_motion_pull", 0, [&] {
    if (!m || !xs || !xd || max <= 0) {
      fail("le_motion_pull", "bad args");
      return 0;
    }
    return m->pull(idx, xs, xd, max);
  });
}
