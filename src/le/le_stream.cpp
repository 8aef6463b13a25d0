// le_stream_*: the C family of the offline stream. Its last error is its
// own thread-local text, cleared on entry to create and run.
#include "le/le_stream.h"

#include <string>

#include "session/offline_stream.h"

struct le_stream : le::session::OfflineStream {
  using OfflineStream::OfflineStream;
};

namespace {

std::string& streamError() {
  thread_local std::string text;
  return text;
}

// A refusal keeps its own text; any other exception gets the function's name.
template <class R, class Body>
R streamGuarded(const char* fn, R failed, Body&& body) noexcept {
  try {
    return body();
  } catch (const le::session::StreamRefusal& e) {
    streamError() = e.what();
  } catch (const std::exception& e) {
    streamError() = std::string(fn) + ": " + e.what();
  } catch (...) {
    streamError() = std::string(fn) + ": unknown exception";
  }
  return failed;
}

}  // namespace

extern "C" {

LE_API le_stream* le_stream_create(const char* bundle_dir, const char* w2v_path, int threads, int skip, float gain) {
  streamError().clear();
  return streamGuarded("le_stream_create", static_cast<le_stream*>(nullptr),
                 [&] { return new le_stream(bundle_dir, w2v_path, threads, skip, gain); });
}

LE_API void le_stream_destroy(le_stream* stream) { delete stream; }

LE_API const char* le_stream_last_error(void) { return streamError().c_str(); }

LE_API int le_stream_width(const le_stream* stream) { return stream ? stream->width() : 0; }
LE_API int le_stream_height(const le_stream* stream) { return stream ? stream->height() : 0; }

LE_API int le_stream_run(le_stream* stream, const float* audio, int n, le_stream_frame_cb cb, void* user) {
  streamError().clear();
  if (!stream || (n > 0 && !audio)) {
    streamError() = "le_stream_run: NULL stream/audio";
    return -1;
  }
  return streamGuarded("le_stream_run", -1, [&] {
    le::session::OfflineStream::FrameSink sink;
    if (cb) sink = [&](int frame, const uint8_t* rgb) { cb(user, frame, rgb, stream->width(), stream->height()); };
    return stream->run(audio, n, sink);
  });
}

}  // extern "C"
